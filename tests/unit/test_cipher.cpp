#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "../../tools/settings_encrypt.h"
#include "settings/cipher.h"

namespace {

// Bytes of a hex text written as the test vectors are (two digits a byte).
std::string bytesOf(const char* hex) {
    std::string bytes(strlen(hex) / 2, '\0');
    hexToBytes(hex, strlen(hex), reinterpret_cast<unsigned char*>(bytes.data()));
    return bytes;
}

uint32_t wordBigEndian(const std::string& bytes, size_t at) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
           static_cast<uint32_t>(b[2]) << 8 | b[3];
}

// The same block with each 32-bit word's bytes reversed: what the settings
// values hold when the published vectors' big-endian words are read
// little-endian.
std::string swapWords(const std::string& hex) {
    std::string swapped;
    for (size_t word = 0; word + 8 <= hex.size(); word += 8) {
        for (int pair = 3; pair >= 0; --pair) swapped += hex.substr(word + 2 * pair, 2);
    }
    return swapped;
}

std::string decrypt(const std::string& hex) {
    char output[256];
    memset(output, 'x', sizeof output);
    EXPECT_EQ(decryptHexText(hex.c_str(), output, sizeof output, SettingsCipherKey), 1);
    return output;
}

bool contextIsWiped() {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&CipherContext);
    for (size_t i = 0; i < sizeof CipherContext; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

struct KnownAnswer {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Eric Young's published Blowfish ECB vectors (8-byte keys).
const KnownAnswer KnownAnswers[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(Cipher, PublishedVectorsEncryptAndDecrypt) {
    BlowfishContext context;
    for (const KnownAnswer& vector : KnownAnswers) {
        SCOPED_TRACE(vector.key + std::string(" ") + vector.plain);
        std::string key = bytesOf(vector.key);
        std::string plain = bytesOf(vector.plain);
        std::string cipher = bytesOf(vector.cipher);
        blowfishKeySchedule(context, reinterpret_cast<const unsigned char*>(key.data()), key.size());
        uint32_t left = wordBigEndian(plain, 0);
        uint32_t right = wordBigEndian(plain, 4);
        blowfishEncryptBlock(context, left, right);
        EXPECT_EQ(left, wordBigEndian(cipher, 0));
        EXPECT_EQ(right, wordBigEndian(cipher, 4));
        blowfishDecryptBlock(context, left, right);
        EXPECT_EQ(left, wordBigEndian(plain, 0));
        EXPECT_EQ(right, wordBigEndian(plain, 4));
    }
}

// Keys and plaintexts without zero bytes go through decryptHexText itself,
// with the words byte-swapped because it reads them little-endian.
TEST(Cipher, DecryptHexTextReadsWordsLittleEndian) {
    const KnownAnswer textVectors[] = {
        {"\x11\x11\x11\x11\x11\x11\x11\x11", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
        {"\x01\x23\x45\x67\x89\xAB\xCD\xEF", "1111111111111111", "61F9C3802281B096"},
        {"\x01\x01\x01\x01\x01\x01\x01\x01", "0123456789ABCDEF", "FA34EC4847B268B2"},
    };
    for (const KnownAnswer& vector : textVectors) {
        char output[9];
        EXPECT_EQ(decryptHexText(swapWords(vector.cipher).c_str(), output, sizeof output, vector.key), 1);
        EXPECT_EQ(std::string(output), bytesOf(swapWords(vector.plain).c_str()));
    }
}

TEST(Cipher, HexDigitsCountOnlyUpperCaseLetters) {
    unsigned char bytes[4];
    hexToBytes("0AFF9a0a", 8, bytes);
    EXPECT_EQ(bytes[0], 0x0A);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], (9 * 16 + 0x31) & 0xFF);   // 'a' counts 0x31
    EXPECT_EQ(bytes[3], 0x31);
}

TEST(Cipher, ToolEncryptionRoundTrips) {
    const std::string values[] = {
        "", "x", "kelvora", "geheim12", "geheim123", "host;with;semicolons",
        "\xD6lf\xFC\xDF", std::string(MaxSettingsPlaintext, 'Z'),
    };
    for (const std::string& value : values) {
        std::string hex = encryptToHex(value, SettingsCipherKey);
        size_t blocks = value.empty() ? 1 : (value.size() + 7) / 8;
        EXPECT_EQ(hex.size(), blocks * HexDigitsPerBlock) << value;
        EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << hex;
        EXPECT_EQ(decrypt(hex), value);
    }
}

TEST(Cipher, EightCharacterValueEndsAtStoredTerminator) {
    std::string hex = encryptToHex("ABCDEFGH", SettingsCipherKey);
    ASSERT_EQ(hex.size(), 16u);
    char output[20];
    memset(output, 'x', sizeof output);
    decryptHexText(hex.c_str(), output, sizeof output, SettingsCipherKey);
    EXPECT_EQ(output[8], '\0');
    EXPECT_EQ(std::string(output), "ABCDEFGH");
}

TEST(Cipher, BlocksAreDecryptedIndependently) {
    std::string hex = encryptToHex("firstbk!secondbk", SettingsCipherKey);
    ASSERT_EQ(hex.size(), 32u);
    std::string swapped = hex.substr(16) + hex.substr(0, 16);
    EXPECT_EQ(decrypt(swapped), "secondbkfirstbk!");
    EXPECT_EQ(decrypt(hex), decrypt(hex));
}

TEST(Cipher, EmptyTextGivesEmptyValueAndContextIsWiped) {
    char output[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(decryptHexText("", output, sizeof output, SettingsCipherKey), 1);
    EXPECT_EQ(output[0], '\0');
    EXPECT_TRUE(contextIsWiped());
    decrypt(encryptToHex("kelvora", SettingsCipherKey));
    EXPECT_TRUE(contextIsWiped());
}

TEST(Cipher, LowerCaseHexGivesAWrongValue) {
    std::string hex = encryptToHex("kelvora", SettingsCipherKey);
    std::string lower = hex;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, hex) << "ciphertext without letters, pick another value";
    EXPECT_NE(decrypt(lower), "kelvora");
}

// A text that is not a multiple of 16 digits long is decoded as if padded
// with '0'; the heap copies have no slack, so a read past the end would be
// caught by the address sanitizer.
TEST(Cipher, ShortLastGroupIsNotReadPastItsEnd) {
    std::string hex = encryptToHex("abcdefghijk", SettingsCipherKey);   // two blocks
    std::string shortText = hex.substr(0, 20);
    auto exact = std::make_unique<char[]>(shortText.size() + 1);
    memcpy(exact.get(), shortText.c_str(), shortText.size() + 1);
    char output[32];
    decryptHexText(exact.get(), output, sizeof output, SettingsCipherKey);
    std::string padded = decrypt(shortText.substr(16) + std::string(12, '0'));
    EXPECT_EQ(std::string(output), "abcdefgh" + padded);

    auto odd = std::make_unique<char[]>(2);
    odd[0] = 'F';
    odd[1] = '\0';
    EXPECT_EQ(decryptHexText(odd.get(), output, sizeof output, SettingsCipherKey), 1);
}

TEST(Cipher, OutputIsNeverWrittenPastItsSize) {
    std::string hex = encryptToHex("a value of twenty-four!!", SettingsCipherKey);
    auto small = std::make_unique<char[]>(5);
    decryptHexText(hex.c_str(), small.get(), 5, SettingsCipherKey);
    EXPECT_EQ(std::string(small.get()), "a va");
}

}  // namespace
