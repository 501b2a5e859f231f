// A set of byte strings in fixed memory: an open-addressing table of hashes
// over one arena of the bytes, so that a hit is always confirmed byte for
// byte. When it fills up it forgets everything; callers use it only where
// forgetting costs speed, never correctness.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr int TextSetSlots = 8192;           // a power of two
constexpr size_t TextSetArenaSize = 1 << 20;

struct TextSet {
    struct Slot {
        uint64_t hash;
        uint32_t offset;
        uint32_t length;   // 0: the slot is free (empty texts are never stored)
    };
    Slot slots[TextSetSlots];
    char arena[TextSetArenaSize];
    size_t arenaUsed = 0;
    int count = 0;
};

void clearTextSet(TextSet& set);
bool textSetContains(const TextSet& set, std::string_view text);

// Whether text can be added without the set being emptied first.
bool textSetHasRoom(const TextSet& set, std::string_view text);

// Adds text; when the set is full it is emptied first. Empty texts are not
// stored.
void addToTextSet(TextSet& set, std::string_view text);
