// Fuzz target: the hex decoding and decryption of settings values.
//
// Input layout: byte 0 picks the output room (1 to 256 bytes), byte 1 the
// key length (0 to 15); then come the key bytes, and the rest is taken
// both as hex text (any bytes, as a damaged settings file may hold) and as
// a plaintext for a round trip.
//
// Checks beyond the sanitizers: the output is always terminated within its
// room; the cipher context is all zeros after each decryption; and any
// plaintext without zero bytes, encrypted with any key that has no zero
// byte, decrypts to itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/cipher.h"
#include "tools/settings_encrypt.h"

namespace {

constexpr size_t HeaderBytes = 2;
constexpr size_t MaxKeyLength = 15;
constexpr size_t MaxOutputRoom = 256;
constexpr size_t RoundTripRoom = 2 * MaxOutputRoom;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_cipher: %s\n", what);
    abort();
}

bool contextIsWiped() {
    static const BlowfishContext zero = {};
    return memcmp(&CipherContext, &zero, sizeof zero) == 0;
}

// Any text, however malformed, decrypts into the room given and leaves the
// context wiped.
void checkDecryption(const std::string& hex, size_t room, const std::string& key) {
    char output[MaxOutputRoom];
    memset(output, 'x', sizeof output);
    if (decryptHexText(hex.c_str(), output, room, key.c_str()) != 1) fail("result is not 1");
    if (memchr(output, '\0', room) == nullptr) fail("output not terminated within its room");
    if (!contextIsWiped()) fail("cipher context not wiped");
    unsigned char bytes[MaxOutputRoom];
    size_t pairs = hex.size() < sizeof bytes ? hex.size() : sizeof bytes;
    hexToBytes(hex.data(), pairs, bytes);
}

// Encrypting and decrypting gives the plaintext back; a zero byte would end
// the value early, so the plaintext is taken up to the first one.
void checkRoundTrip(const std::string& data, const std::string& key) {
    if (key.empty()) return;
    std::string plain = data.substr(0, data.find('\0'));
    if (plain.size() >= RoundTripRoom / 2) plain.resize(RoundTripRoom / 2 - 1);
    std::string hex = encryptToHex(plain, key.c_str());
    char output[RoundTripRoom];
    decryptHexText(hex.c_str(), output, sizeof output, key.c_str());
    if (plain != output) fail("round trip does not give the plaintext back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < HeaderBytes) return 0;
    size_t room = static_cast<size_t>(data[0]) % MaxOutputRoom + 1;
    size_t keyLength = static_cast<size_t>(data[1]) % (MaxKeyLength + 1);
    const char* rest = reinterpret_cast<const char*>(data + HeaderBytes);
    size_t restSize = size - HeaderBytes;
    if (keyLength > restSize) keyLength = restSize;
    std::string key(rest, keyLength);
    key = key.substr(0, key.find('\0'));
    std::string text(rest + keyLength, restSize - keyLength);

    checkDecryption(text.substr(0, text.find('\0')), room, key);
    checkRoundTrip(text, key);
    return 0;
}
