// The two Foundation conversions the administrator runner needs before it hands a script to the
// scripting service: a string's UTF-8 bytes, refused rather than repaired when the string is not
// valid UTF-8, and Base64 with no options (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The bytes of `text`, or nothing when `text` is not well-formed UTF-8: nothing is lost or
// replaced on the way.
std::optional<std::vector<uint8_t>> dataUsingUTF8Encoding(std::string_view text);

std::string base64EncodedString(std::span<const uint8_t> data);

// The bytes that Base64 `text` stands for, as the macOS tool's -D reads it: line breaks and blanks
// between the characters are skipped, "=" may pad only the end. Nothing for any other text.
std::optional<std::string> base64DecodedData(std::string_view text);
