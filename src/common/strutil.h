// Small operations on NUL-terminated single-byte texts in caller-owned
// buffers. None allocates; sizes are passed so that no call can write past
// the end of its target.
#pragma once
#include <cstddef>
#include <cstdint>

char* trimRight(char* text);
char* toUpperInPlace(char* text);
void cutSubstring(const char* source, int32_t start, int32_t length, char* target, size_t targetSize);
int32_t findNthChar(const char* text, char c, int32_t n);
