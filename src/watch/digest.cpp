#include "watch/digest.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "common/fd.h"
#include "common/hex.h"

namespace {

constexpr size_t PieceSize = 64 * 1024;

// The hash context, freed with its scope.
struct HashContext {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~HashContext() { EVP_MD_CTX_free(context); }
};

// Hashes and counts what fd holds to its end.
bool digestDescriptor(int fd, FileDigest& digest, const std::atomic<bool>* stop) {
    HashContext hash;
    if (hash.context == nullptr || EVP_DigestInit_ex(hash.context, EVP_sha256(), nullptr) != 1) return false;
    thread_local unsigned char piece[PieceSize];
    for (;;) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            errno = ECANCELED;
            return false;
        }
        ssize_t got = read(fd, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        digest.bytes += got;
        digest.lines += std::count(piece, piece + got, static_cast<unsigned char>('\n'));
        if (EVP_DigestUpdate(hash.context, piece, static_cast<size_t>(got)) != 1) return false;
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(hash.context, value, &length) != 1) return false;
    digest.sha256 = hexOf(std::string_view(reinterpret_cast<const char*>(value), length));
    return true;
}

}  // namespace

bool digestOpenFile(int fd, FileDigest& digest) {
    digest = FileDigest();
    return digestDescriptor(fd, digest, nullptr);
}

bool digestFile(const std::string& path, FileDigest& digest, const std::atomic<bool>* stop) {
    digest = FileDigest();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return fd.valid() && digestDescriptor(fd.get(), digest, stop);
}

std::string sha256Of(const std::string& bytes) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), value, &length, EVP_sha256(), nullptr) != 1) return "";
    return hexOf(std::string_view(reinterpret_cast<const char*>(value), length));
}
