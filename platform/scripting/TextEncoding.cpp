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
