#include "settings/cipher.h"

#include <cstring>

BlowfishContext CipherContext = {};

namespace {

constexpr int HexLetterOffset = 0x37;   // 'A' - 10
constexpr int HexDigitOffset = 0x30;    // '0'
constexpr char HexPadDigit = '0';

// The round function: the four bytes of x, most significant first, index
// the four S-boxes; additions wrap modulo 2^32.
uint32_t roundFunction(const BlowfishContext& context, uint32_t x) {
    uint32_t a = (x >> 24) & 0xFF;
    uint32_t b = (x >> 16) & 0xFF;
    uint32_t c = (x >> 8) & 0xFF;
    uint32_t d = x & 0xFF;
    return ((context.S[0][a] + context.S[1][b]) ^ context.S[2][c]) + context.S[3][d];
}

// The next four key bytes, the first most significant, cycling through the
// key; position is advanced past them.
uint32_t nextKeyWord(const unsigned char* key, size_t keyLength, size_t& position) {
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        word = (word << 8) | key[position];
        position = (position + 1) % keyLength;
    }
    return word;
}

// Replaces the words of table, two at a time, with the successive
// encryptions of the running block.
void fillFromEncryptions(const BlowfishContext& context, uint32_t* table, int count,
                         uint32_t& left, uint32_t& right) {
    for (int i = 0; i < count; i += 2) {
        blowfishEncryptBlock(context, left, right);
        table[i] = left;
        table[i + 1] = right;
    }
}

// Value of one hex character as the settings values count it.
unsigned hexDigitValue(char c) {
    unsigned code = static_cast<unsigned char>(c);
    if (c >= 'A' && c <= 'F') return code - HexLetterOffset;
    return code - HexDigitOffset;   // wraps for codes below '0'; only the low byte counts
}

// The 8 bytes of the block whose digits start at digits. Fewer than 16
// digits left (a text whose length is not a multiple of 16) are decoded as
// if the text went on with '0' characters up to 16, so nothing past the end
// of the text is read.
void decodeBlockDigits(const char* digits, size_t available, unsigned char* block) {
    char group[HexDigitsPerBlock];
    memset(group, HexPadDigit, sizeof group);
    memcpy(group, digits, available < sizeof group ? available : sizeof group);
    hexToBytes(group, sizeof group, block);
}

// Copies the decrypted block to output at offset, as far as output has
// room with one byte kept for the terminator.
void copyBlockToOutput(const unsigned char* block, size_t offset, char* output, size_t outputSize) {
    for (size_t i = 0; i < BlowfishBlockBytes && offset + i + 1 < outputSize; ++i) {
        output[offset + i] = static_cast<char>(block[i]);
    }
}

}  // namespace

// Standard Blowfish key schedule: the pi constants, the P-array XORed with
// the cycled key, then every P and S word replaced by encryptions of the
// running block that starts all zeros. An empty key leaves the P-array
// unmixed.
void blowfishKeySchedule(BlowfishContext& context, const unsigned char* key, size_t keyLength) {
    memcpy(context.S, BlowfishInitialS, sizeof context.S);
    size_t position = 0;
    for (int i = 0; i < BlowfishPWords; ++i) {
        uint32_t keyWord = keyLength > 0 ? nextKeyWord(key, keyLength, position) : 0;
        context.P[i] = BlowfishInitialP[i] ^ keyWord;
    }
    uint32_t left = 0;
    uint32_t right = 0;
    fillFromEncryptions(context, context.P, BlowfishPWords, left, right);
    for (int box = 0; box < BlowfishSBoxes; ++box) {
        fillFromEncryptions(context, context.S[box], BlowfishSBoxWords, left, right);
    }
}

// One block through the 16 rounds with P[0] to P[15], then the output
// whitening with P[16] and P[17]. The key schedule is its only user in the
// program.
void blowfishEncryptBlock(const BlowfishContext& context, uint32_t& left, uint32_t& right) {
    uint32_t l = left;
    uint32_t r = right;
    for (int i = 0; i < BlowfishRounds; ++i) {
        l ^= context.P[i];
        r ^= roundFunction(context, l);
        uint32_t swap = l;
        l = r;
        r = swap;
    }
    left = r ^ context.P[BlowfishRounds + 1];
    right = l ^ context.P[BlowfishRounds];
}

// The inverse of blowfishEncryptBlock: the P-array in reverse order.
void blowfishDecryptBlock(const BlowfishContext& context, uint32_t& left, uint32_t& right) {
    uint32_t l = left;
    uint32_t r = right;
    for (int i = BlowfishRounds + 1; i > 1; --i) {
        l ^= context.P[i];
        r ^= roundFunction(context, l);
        uint32_t swap = l;
        l = r;
        r = swap;
    }
    left = r ^ context.P[0];
    right = l ^ context.P[1];
}

// Blocks in the settings values hold their words least significant byte
// first.
uint32_t loadWordLittleEndian(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Writes word least significant byte first.
void storeWordLittleEndian(uint32_t word, unsigned char* bytes) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(word >> (8 * i));
}

// Hex text to bytes, two characters per byte, most significant digit first.
// The value of a pair is taken modulo 256, so stray characters give wrong
// bytes rather than an error.
void hexToBytes(const char* source, size_t count, unsigned char* target) {
    for (size_t i = 0; i + 1 < count; i += 2) {
        unsigned value = hexDigitValue(source[i]) * 16 + hexDigitValue(source[i + 1]);
        target[i / 2] = static_cast<unsigned char>(value & 0xFF);
    }
}

// Turns a settings value back into its text: every 16 hex digits are one
// block decrypted on its own and written at its byte position; the text ends
// at its first zero byte or at the terminator stored after the last block.
// The key schedule lives in CipherContext only for this call and is wiped
// before returning.
int decryptHexText(const char* hex, char* output, size_t outputSize, const char* key) {
    blowfishKeySchedule(CipherContext, reinterpret_cast<const unsigned char*>(key), strlen(key));
    size_t hexLength = strlen(hex);
    size_t blocks = 0;
    for (size_t i = 0; i < hexLength; i += HexDigitsPerBlock, ++blocks) {
        unsigned char block[BlowfishBlockBytes];
        decodeBlockDigits(hex + i, hexLength - i, block);
        uint32_t left = loadWordLittleEndian(block);
        uint32_t right = loadWordLittleEndian(block + 4);
        blowfishDecryptBlock(CipherContext, left, right);
        storeWordLittleEndian(left, block);
        storeWordLittleEndian(right, block + 4);
        copyBlockToOutput(block, i / 2, output, outputSize);
    }
    if (outputSize > 0) {
        size_t end = blocks * BlowfishBlockBytes;
        output[end < outputSize ? end : outputSize - 1] = '\0';
    }
    memset(&CipherContext, 0, sizeof CipherContext);
    return 1;
}
