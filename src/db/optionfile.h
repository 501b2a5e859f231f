// The site's option file for the connection: socket, port, TLS and the
// connect timeout, in the client library's own format, read by the client
// library itself. Used by db/connection.cpp; the other folders see only
// what connection.h passes on.
#pragma once
#include <cstddef>
#include <cstdint>

struct st_mysql;

// What became of the option file: none to read, one to read, or one that
// is refused (it sets what only the settings file may set, or it cannot
// be read).
enum class OptionFileState { None, Used, Refused };

struct OptionFileChoice {
    OptionFileState state = OptionFileState::None;
    const char* path = nullptr;   // the file looked at, or nullptr
    char reason[512] = "";        // why it is refused, or why there is none
    char socket[256] = "";        // the socket it sets, or empty
    unsigned port = 0;            // the port it sets, or 0
    bool asksForTls = false;      // it names a certificate authority, certificate or key
};

// Looks for the option file (KELVORA_OPTION_FILE, else the site's default
// path; only a file that exists counts) and finds out what it sets without
// connecting anywhere: through the client library's option getters, and for
// what they do not answer (login, host, database, character set, socket,
// port) by reading the file the way the library does. Done once per
// process; later calls return the same answer.
const OptionFileChoice& chooseOptionFile();

// Hands a file that chooseOptionFile found usable to the connection object,
// so the client library reads it when it connects.
void applyOptionFile(st_mysql* connection, const OptionFileChoice& choice);

// After connecting: a file that asks for TLS must get an encrypted session.
// The client library goes on without TLS when the server offers none;
// nothing may be sent then. nullptr when the session is as the file asks,
// else why it is not.
const char* sessionFallsShortOf(st_mysql* connection, const OptionFileChoice& choice);
