// Encryption of settings values, the exact inverse of decryptHexText. It
// lives with the settings tool only: the program itself never encrypts.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "settings/cipher.h"

// The longest plaintext whose hex text still fits the reader's value room
// whole: 12 blocks of 8 bytes give 192 hex digits.
constexpr size_t MaxSettingsPlaintext = 96;

// Encrypts plain with key and returns the ciphertext as upper-case hex. The
// plaintext is filled up with zero bytes to whole 8-byte blocks; an empty
// plaintext still gives one block, so no value field is ever empty. A
// plaintext of exactly 8k bytes needs no zero byte: the reader ends it at
// the terminator it stores after the last block.
inline std::string encryptToHex(std::string_view plain, const char* key) {
    BlowfishContext context;
    blowfishKeySchedule(context, reinterpret_cast<const unsigned char*>(key), strlen(key));
    std::string hex;
    size_t blocks = plain.empty() ? 1 : (plain.size() + BlowfishBlockBytes - 1) / BlowfishBlockBytes;
    for (size_t b = 0; b < blocks; ++b) {
        unsigned char block[BlowfishBlockBytes] = {0};
        std::string_view part = plain.substr(std::min(plain.size(), b * BlowfishBlockBytes), BlowfishBlockBytes);
        memcpy(block, part.data(), part.size());
        uint32_t left = loadWordLittleEndian(block);
        uint32_t right = loadWordLittleEndian(block + 4);
        blowfishEncryptBlock(context, left, right);
        storeWordLittleEndian(left, block);
        storeWordLittleEndian(right, block + 4);
        char digits[HexDigitsPerBlock + 1];
        for (int i = 0; i < BlowfishBlockBytes; ++i) snprintf(digits + 2 * i, 3, "%02X", block[i]);
        hex.append(digits, HexDigitsPerBlock);
    }
    memset(&context, 0, sizeof context);
    return hex;
}
