#include "import/textset.h"

#include <cstring>

namespace {

constexpr uint64_t FnvOffset = 14695981039346656037ull;
constexpr uint64_t FnvPrime = 1099511628211ull;
constexpr int MaxFill = TextSetSlots * 3 / 4;

uint64_t hashOf(std::string_view text) {
    uint64_t hash = FnvOffset;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= FnvPrime;
    }
    return hash;
}

// The slot that holds text, or the free slot where it would go.
int findSlot(const TextSet& set, std::string_view text, uint64_t hash) {
    int index = static_cast<int>(hash & (TextSetSlots - 1));
    for (;;) {
        const TextSet::Slot& slot = set.slots[index];
        if (slot.length == 0) return index;
        if (slot.hash == hash && slot.length == text.size() &&
            memcmp(set.arena + slot.offset, text.data(), text.size()) == 0) {
            return index;
        }
        index = (index + 1) & (TextSetSlots - 1);
    }
}

}  // namespace

void clearTextSet(TextSet& set) {
    if (set.count == 0) return;
    memset(set.slots, 0, sizeof set.slots);
    set.arenaUsed = 0;
    set.count = 0;
}

bool textSetContains(const TextSet& set, std::string_view text) {
    if (text.empty() || set.count == 0) return false;
    return set.slots[findSlot(set, text, hashOf(text))].length != 0;
}

bool textSetHasRoom(const TextSet& set, std::string_view text) {
    return set.count < MaxFill && set.arenaUsed + text.size() <= TextSetArenaSize;
}

void addToTextSet(TextSet& set, std::string_view text) {
    if (text.empty() || text.size() > TextSetArenaSize) return;
    if (!textSetHasRoom(set, text)) clearTextSet(set);
    uint64_t hash = hashOf(text);
    TextSet::Slot& slot = set.slots[findSlot(set, text, hash)];
    if (slot.length != 0) return;
    memcpy(set.arena + set.arenaUsed, text.data(), text.size());
    slot = {hash, static_cast<uint32_t>(set.arenaUsed), static_cast<uint32_t>(text.size())};
    set.arenaUsed += text.size();
    set.count++;
}
