// The checks a delivered file must pass before the importer sees it. They
// need no database, and a file that fails one is never imported: a transfer
// that was cut off, an empty file (which would empty or sweep its table),
// too many lines of the wrong length, the wrong encoding. A UTF-8 file whose
// section says so is converted to Windows-1252 here, and its lines are
// judged after the conversion.
#pragma once
#include <string>

#include "watch/config.h"

// Checks the file at path against its rule; with encoding = utf-8 the
// converted file is written to converted. False, with the reason in one
// line of plain English, when the file may not be imported.
bool checkFile(const std::string& path, const FileRule& rule, const std::string& converted, std::string& reason);
