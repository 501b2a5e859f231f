// Filling a window: its lines as entries, each record cut and planned by
// its member, and its statements formatted into slots, in file order, with
// what decides which of them may travel together (a known duplicate that is
// not sent again, an update key that must not repeat on the set path).
#pragma once
#include <cstddef>
#include <string_view>

#include "import/windowdata.h"

// The length of an insert's text up to and including VALUES: the part
// before it is fixed text of the member's format, the same for every record
// that the same builder formats. 0 when there is no VALUES.
size_t insertPrefixLength(std::string_view text);

// An empty window, ready to be filled.
void clearWindow(Window& win);

// Whether the window has no room for one more line of lineLength bytes.
bool windowIsFull(const Window& win, size_t lineLength);

// A new entry with a copy of its line; returns its index.
int addEntry(Window& win, const char* line, long lineNumber, long actualLength, bool isRecord);

// The last entry is taken back out of the window; its slots and arena go
// back to slotsBefore and arenaBefore, as they were before it came.
void dropLastEntry(Window& win, int slotsBefore, size_t arenaBefore);

// Cuts the entry's line into run.row and lets the member plan it; the same
// line always gives the same row and plan.
void planEntry(WindowState& run, const Window& win, Entry& entry);

// The statements of an entry, in order, formatted from run.row into slots.
// A Sto or link row whose text was refused as a duplicate before in this
// run is a no-op with an ignored result, and is not sent again. False when
// a statement that is always sent did not fit.
bool formatEntry(const WindowState& run, Window& win, int index);

// On the set path the records of a window differ in their keys as the
// server compares them (rowkey.h). False when the entry's key (from
// run.row, into run.keyText, its length in keyLength) repeats one in the
// window, or there is no room to hold it: the window goes first.
bool keyFitsTheWindow(WindowState& run, const Window& win, const Entry& entry, size_t& keyLength);

// Takes the Sto and link rows whose text has been refused as a duplicate
// out of the slots from first on: each of them would be refused again.
void dropKnownDuplicates(WindowState& run, Window& win, int first);
