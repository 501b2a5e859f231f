// Small operations on NUL-terminated single-byte texts in caller-owned
// buffers, and on views of texts. None allocates; sizes are passed so that
// no call can write past the end of its target.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

char* trimRight(char* text);
char* toUpperInPlace(char* text);
void cutSubstring(const char* source, int32_t start, int32_t length, char* target, size_t targetSize);
int32_t findNthChar(const char* text, char c, int32_t n);

// The text without blanks and tabs around it, nor line ends after it (the
// keys and values of the watcher's configuration and of marker files).
std::string_view trimmedText(std::string_view text);

bool endsWith(std::string_view text, std::string_view end);

// A whole number from low to high, the whole text and nothing else (no
// blank, no sign for a positive one); false otherwise, number unchanged.
bool parseWholeNumber(std::string_view text, long low, long high, long& number);
