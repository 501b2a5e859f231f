// The site's option file for the connection: socket, port, TLS and the
// connect, read and write timeouts, in the client library's own format, read
// by the client library itself (the read and write timeouts by this file's
// code, as the library does not read them from a file). Used by
// db/connection.cpp; the other folders see only what connection.h passes on.
#pragma once
#include <cstddef>
#include <cstdint>

struct st_mysql;

// What became of the option file: none to read, one to read, or one that
// is refused (it sets what only the settings file may set, or it cannot
// be read).
enum class OptionFileState { None, Used, Refused };

// How long the connection waits for the server to answer a query, or to take
// one, when the option file does not say: a peer that went silent (a network
// partition) then ends the run with the client's "lost connection" (2013)
// instead of holding it, and the files behind it, for ever. Long enough for
// any statement of an import that a healthy server runs.
constexpr unsigned DefaultNetTimeoutSeconds = 600;
// The longest read-timeout or write-timeout a file may set: a day.
constexpr unsigned LongestNetTimeoutSeconds = 86400;

struct OptionFileChoice {
    OptionFileState state = OptionFileState::None;
    const char* path = nullptr;   // the file looked at, or nullptr
    char reason[512] = "";        // why it is refused, or why there is none
    char socket[256] = "";        // the socket it sets, or empty
    unsigned port = 0;            // the port it sets, or 0
    bool asksForTls = false;      // it names a certificate authority, certificate or key
    unsigned readTimeout = DefaultNetTimeoutSeconds;    // seconds: the file's read-timeout, or the default
    unsigned writeTimeout = DefaultNetTimeoutSeconds;   // seconds: the file's write-timeout, or the default
};

// Looks for the option file (KELVORA_OPTION_FILE, else the site's default
// path; only a file that exists counts) and finds out what it sets without
// connecting anywhere: through the client library's option getters, and for
// what they do not answer (login, host, database, character set, socket,
// port, read and write timeouts) by reading the file the way the library
// does. A timeout that is not a whole number of seconds from 1 to
// LongestNetTimeoutSeconds refuses the file. Done once per
// process; later calls return the same answer.
const OptionFileChoice& chooseOptionFile();

// Gives the connection object its read and write timeouts (the file's, or
// the defaults), then hands a file that chooseOptionFile found usable to it,
// so the client library reads it when it connects.
void applyOptionFile(st_mysql* connection, const OptionFileChoice& choice);

// After connecting: a file that asks for TLS must get an encrypted session.
// The client library goes on without TLS when the server offers none;
// nothing may be sent then. nullptr when the session is as the file asks,
// else why it is not.
const char* sessionFallsShortOf(st_mysql* connection, const OptionFileChoice& choice);
