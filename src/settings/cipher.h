// Blowfish as the settings values use it: 64-bit blocks, 16 rounds, each
// 8-byte block on its own (no chaining), the two 32-bit halves of a block
// read from and written to its bytes little-endian. Values are stored as
// upper-case hex text of the ciphertext. The program itself only decrypts.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int BlowfishRounds = 16;
constexpr int BlowfishPWords = BlowfishRounds + 2;
constexpr int BlowfishSBoxes = 4;
constexpr int BlowfishSBoxWords = 256;
constexpr int BlowfishBlockBytes = 8;
constexpr int HexDigitsPerBlock = 2 * BlowfishBlockBytes;

// The key every settings value is encrypted with: its 7 characters, no
// terminator.
constexpr char SettingsCipherKey[] = "KWOLBRE";

// P-array and S-boxes after the key schedule.
struct BlowfishContext {
    uint32_t P[BlowfishPWords];
    uint32_t S[BlowfishSBoxes][BlowfishSBoxWords];
};

// The published initial values (hex digits of pi).
extern const uint32_t BlowfishInitialP[BlowfishPWords];
extern const uint32_t BlowfishInitialS[BlowfishSBoxes][BlowfishSBoxWords];

// The one process-wide context of the value decryption: built at the start
// of each decryption, all zeros again at its end.
extern BlowfishContext CipherContext;

void blowfishKeySchedule(BlowfishContext& context, const unsigned char* key, size_t keyLength);
void blowfishEncryptBlock(const BlowfishContext& context, uint32_t& left, uint32_t& right);
void blowfishDecryptBlock(const BlowfishContext& context, uint32_t& left, uint32_t& right);

// Little-endian 32-bit word at bytes[0..3], and its inverse.
uint32_t loadWordLittleEndian(const unsigned char* bytes);
void storeWordLittleEndian(uint32_t word, unsigned char* bytes);

// Turns count hex characters (count / 2 pairs) into count / 2 bytes. Only
// "0"-"9" and upper-case "A"-"F" give their values; any other character
// gives a wrong byte without an error.
void hexToBytes(const char* source, size_t count, unsigned char* target);

// Decrypts the hex text with key into output (outputSize bytes, always
// terminated when outputSize > 0). Returns 1.
int decryptHexText(const char* hex, char* output, size_t outputSize, const char* key);
