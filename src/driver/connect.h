// The connection step of a run: the values from the settings file, the
// connection, and what the operator needs to know when it fails.
#pragma once
#include <cstdint>

struct ConnectionValues;

// Connects with the values of the settings file. On failure prints
// "Datenbankverbindung fehlgeschlagen, Fehler: %d\n" and returns the client
// error number; an empty login is refused as 1045 without being sent. The
// reasons go to standard error.
int32_t connectFromSettings();

// Once per run after connecting: warns on standard error of a server that
// compares table names case-sensitively.
void checkServer();

// Who connected where, and why it failed; for a socket or host that does
// not answer, the environment and the option file that choose them; for a
// refused option file, what it sets. On standard error.
void diagnoseConnection(const ConnectionValues& values, int32_t result);
