// A section's marker pattern: the name of the marker of a data file, with
// the file's name as "{name}" or its stem (the name without its last
// extension) as "{stem}" in it.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

constexpr std::string_view MarkerNameField = "{name}";
constexpr std::string_view MarkerStemField = "{stem}";

// Where the pattern names the file, and which field; npos when nowhere.
size_t markerFieldIn(const std::string& pattern, std::string_view& field);

// Whether a marker pattern is one the watcher can use: it names {name} or
// {stem} once and adds something to it.
bool isMarkerPattern(const std::string& pattern);
