// The record layout of a type code as plain text, written from the
// member's own description: what kelvora-samples --layout prints and what
// the manual page kelvora-files(5) shows, so that neither can drift from
// what the importer cuts.
#pragma once
#include <string>

#include "import/member.h"

// The tables, the record length, how the tables are written, what UPD
// changes, and one line per field: its number, first and last column
// (counted from 1), width, whether trailing blanks are cut, and the column
// it goes to. Lines end with "\n" and are at most about 72 characters wide.
std::string layoutText(const ImportMember& member);
