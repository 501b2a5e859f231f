#include "watch/sequence.h"

#include <cerrno>
#include <sys/file.h>

#include "common/strutil.h"
#include "watch/durable.h"

namespace {

constexpr long long BlockSize = 1000;
constexpr size_t MaxSequenceBytes = 64;
constexpr long long MaxSequence = 1000000000000000000LL;

// The staging area's lock while a block is reserved: watchers that share a
// working directory reserve in turn.
struct StagingLock {
    int folder;
    explicit StagingLock(int staging) : folder(staging) {
        while (flock(folder, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~StagingLock() { flock(folder, LOCK_UN); }
    StagingLock(const StagingLock&) = delete;
    StagingLock& operator=(const StagingLock&) = delete;
};

// The first number no block has had yet: 1 in a new staging area.
bool firstFree(int staging, long long& first) {
    std::string text;
    if (!readSmallFile(staging, SequenceFileName, MaxSequenceBytes, text)) {
        first = 1;
        return errno == ENOENT;
    }
    long value = 0;
    if (!parseWholeNumber(trimmedText(text), 1, MaxSequence, value)) {
        errno = EINVAL;
        return false;
    }
    first = value;
    return true;
}

}  // namespace

bool nextSequence(int staging, SequenceBlock& block, long long& number) {
    if (block.next >= block.end) {
        const StagingLock lock(staging);
        long long first = 0;
        if (!firstFree(staging, first) ||
            !writeFileDurably(staging, SequenceFileName, std::to_string(first + BlockSize) + "\n")) {
            return false;
        }
        block.next = first;
        block.end = first + BlockSize;
    }
    number = block.next++;
    return true;
}
