// Bytes as lower-case hexadecimal text and back: for names of any bytes in
// JSON (which holds text) and for digests.
#pragma once
#include <string>
#include <string_view>

// Two digits per byte, the high half first.
std::string hexOf(std::string_view bytes);

// The bytes of a text of hexadecimal pairs (lower case); false when the text
// is not one.
bool bytesOfHex(std::string_view hex, std::string& bytes);
