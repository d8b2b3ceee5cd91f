#include "platform/scripting/TextEncoding.h"

#include "platform/Utf8.h"

std::optional<std::vector<uint8_t>> dataUsingUTF8Encoding(std::string_view text) {
  if (!utf8::isValid(text)) return std::nullopt;
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string base64EncodedString(std::span<const uint8_t> data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    uint32_t triple = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out.push_back(kAlphabet[(triple >> 18) & 0x3F]);
    out.push_back(kAlphabet[(triple >> 12) & 0x3F]);
    out.push_back(kAlphabet[(triple >> 6) & 0x3F]);
    out.push_back(kAlphabet[triple & 0x3F]);
  }
  const size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t triple = uint32_t{data[i]} << 16;
    if (rest == 2) triple |= uint32_t{data[i + 1]} << 8;
    out.push_back(kAlphabet[(triple >> 18) & 0x3F]);
    out.push_back(kAlphabet[(triple >> 12) & 0x3F]);
    out.push_back(rest == 2 ? kAlphabet[(triple >> 6) & 0x3F] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<std::string> base64DecodedData(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int held = 0;     // bits waiting in `bits`
  int padding = 0;  // "=" seen; nothing but blanks and more "=" may follow
  for (const char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else if (c == '=') {
      ++padding;
      continue;
    } else if (c == '\n' || c == '\r' || c == ' ' || c == '\t') {
      continue;
    } else {
      return std::nullopt;
    }
    if (padding > 0) return std::nullopt;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<char>((bits >> held) & 0xFF));
    }
  }
  // A last group of 2 or 3 characters leaves 4 or 2 bits over, which must be zero; one of a single
  // character cannot stand for a byte. Padding, when present, completes the group.
  if (held >= 6 || (bits & ((1u << held) - 1)) != 0) return std::nullopt;
  if (padding > 0 && (held / 2 != padding || padding > 2)) return std::nullopt;
  return out;
}
