// The standard message and method codecs against bytes written out by hand, as the Dart side
// lays them down. Every expected byte here is spelled out rather than computed, so a change in
// the writer's layout shows up as a byte diff.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/flutter/FlutterCodecs.h"

namespace {

// "" for a decoded value, else why it was refused.
template <typename T>
std::string whyNot(const posix::Expected<T>& decoded) {
  return decoded ? std::string() : decoded.error().message();
}

using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;

// Only a bool makes a Boolean value: a pointer that slipped in (a map lookup's result) must not
// compile into `true`.
static_assert(std::is_convertible_v<bool, EncodableValue>);
static_assert(!std::is_convertible_v<const EncodableValue*, EncodableValue>);
static_assert(!std::is_constructible_v<EncodableValue, const EncodableValue*>);

const StandardMessageCodec& messageCodec() { return StandardMessageCodec::getInstance(); }
const StandardMethodCodec& methodCodec() { return StandardMethodCodec::getInstance(); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Little-endian by shifting, so the expectation does not depend on how the host stores numbers.
Bytes le(uint64_t v, size_t width) {
  Bytes out;
  for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}
Bytes le16(uint16_t v) { return le(v, 2); }
Bytes le32(uint32_t v) { return le(v, 4); }
Bytes le64(uint64_t v) { return le(v, 8); }
Bytes zeros(size_t n) { return Bytes(n, 0); }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// `depth` lists, each holding the next, around a null.
Bytes deepLists(int depth) {
  Bytes b;
  for (int i = 0; i < depth; ++i) b.insert(b.end(), {12, 1});
  b.push_back(0);
  return b;
}

// `depth` maps, each mapping null to the next, around a null.
Bytes deepMaps(int depth) {
  Bytes b;
  for (int i = 0; i < depth; ++i) b.insert(b.end(), {13, 1, 0});
  b.push_back(0);
  return b;
}

// IEEE-754 bit patterns of the doubles and floats used below.
constexpr uint64_t kBits1_5 = 0x3FF8000000000000ull;
constexpr uint64_t kBitsMinus2 = 0xC000000000000000ull;
constexpr uint32_t kBits1_5f = 0x3FC00000u;

std::string hex(const Bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < b.size(); ++i) {
    if (i > 0) out += ' ';
    out += digits[b[i] >> 4];
    out += digits[b[i] & 15];
  }
  return out;
}

// Encodes `value`, compares with `golden` byte for byte, decodes `golden` and compares with
// `decoded` (the value itself unless the wire changes its shape, e.g. a small int64 comes back
// as int32), and re-encodes the decoded value to the same bytes.
void expectGolden(const EncodableValue& value, const Bytes& golden, const EncodableValue& decoded) {
  EXPECT_EQ(hex(messageCodec().encodeMessage(value)), hex(golden));
  auto back = messageCodec().decodeMessage(golden);
  ASSERT_TRUE(back.has_value()) << whyNot(back);
  EXPECT_EQ(*back, decoded);
  EXPECT_EQ(hex(messageCodec().encodeMessage(*back)), hex(golden));
}
void expectGolden(const EncodableValue& value, const Bytes& golden) { expectGolden(value, golden, value); }

struct GoldenCase {
  const char* name;
  EncodableValue value;
  Bytes bytes;
};

void runGoldenTable(const std::vector<GoldenCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectGolden(c.value, c.bytes);
  }
}

TEST(StandardMessageCodec, ScalarsAndStrings) {
  runGoldenTable({
      {"null", EncodableValue(), {0}},
      {"true", EncodableValue(true), {1}},
      {"false", EncodableValue(false), {2}},
      {"int32 zero", EncodableValue(int32_t{0}), Bytes{3} + le32(0)},
      {"int32 -1", EncodableValue(int32_t{-1}), {3, 0xff, 0xff, 0xff, 0xff}},
      {"int32 byte order", EncodableValue(int32_t{0x12345678}), {3, 0x78, 0x56, 0x34, 0x12}},
      {"int64 byte order", EncodableValue(int64_t{0x0102030405060708}), {4, 8, 7, 6, 5, 4, 3, 2, 1}},
      // The type byte sits at offset 0, so the double starts at 8 after seven bytes of padding.
      {"float64 padded to 8", EncodableValue(1.5), Bytes{6} + zeros(7) + le64(kBits1_5)},
      {"float64 negative", EncodableValue(-2.0), Bytes{6} + zeros(7) + le64(kBitsMinus2)},
      {"empty string", EncodableValue(""), {7, 0}},
      {"ascii string", EncodableValue("hello"), Bytes{7, 5} + text("hello")},
  });
}

TEST(StandardMessageCodec, TypedLists) {
  runGoldenTable({
      {"uint8 list", EncodableValue(std::vector<uint8_t>{1, 2, 255}), {8, 3, 1, 2, 255}},
      {"empty uint8 list", EncodableValue(std::vector<uint8_t>{}), {8, 0}},
      // Elements start at offset 2, padded to 4.
      {"int32 list", EncodableValue(std::vector<int32_t>{1, -1}), Bytes{9, 2, 0, 0} + le32(1) + le32(0xffffffff)},
      {"empty int32 list still padded", EncodableValue(std::vector<int32_t>{}), {9, 0, 0, 0}},
      {"int64 list", EncodableValue(std::vector<int64_t>{-2}), Bytes{10, 1} + zeros(6) + le64(0xfffffffffffffffe)},
      {"empty int64 list still padded", EncodableValue(std::vector<int64_t>{}), Bytes{10, 0} + zeros(6)},
      {"float64 list", EncodableValue(std::vector<double>{1.5, -2.0}),
       Bytes{11, 2} + zeros(6) + le64(kBits1_5) + le64(kBitsMinus2)},
      {"empty float64 list still padded", EncodableValue(std::vector<double>{}), Bytes{11, 0} + zeros(6)},
      {"float32 list", EncodableValue(std::vector<float>{1.5f}), Bytes{14, 1, 0, 0} + le32(kBits1_5f)},
      {"empty float32 list still padded", EncodableValue(std::vector<float>{}), {14, 0, 0, 0}},
  });
}

TEST(StandardMessageCodec, ListsAndMapsNestAndKeepOrder) {
  runGoldenTable({
      {"empty list", EncodableValue(EncodableList{}), {12, 0}},
      {"empty map", EncodableValue(EncodableMap{}), {13, 0}},
      {"mixed list", EncodableValue(EncodableList{nullptr, true, "a"}), Bytes{12, 3, 0, 1, 7, 1} + text("a")},
      // Insertion order survives: "b" was added first and is written first.
      {"map order kept", EncodableValue(EncodableMap{{"b", int32_t{1}}, {"a", int32_t{2}}}),
       Bytes{13, 2} + Bytes{7, 1} + text("b") + Bytes{3} + le32(1) + Bytes{7, 1} + text("a") + Bytes{3} + le32(2)},
      // Decoding appends: a key the peer sent twice stays twice, in the peer's order.
      {"duplicate keys kept", EncodableValue(EncodableMap{{"z", true}, {"a", false}, {"z", nullptr}}),
       Bytes{13, 3, 7, 1} + text("z") + Bytes{1, 7, 1} + text("a") + Bytes{2, 7, 1} + text("z") + Bytes{0}},
      {"non-string keys", EncodableValue(EncodableMap{{int32_t{7}, nullptr}, {false, "x"}}),
       Bytes{13, 2, 3} + le32(7) + Bytes{0, 2, 7, 1} + text("x")},
      {"map in list in map",
       EncodableValue(
           EncodableMap{{"outer", EncodableList{EncodableMap{{"k", EncodableList{int32_t{1}, EncodableList{true}}}}}}}),
       Bytes{13, 1, 7, 5} + text("outer") + Bytes{12, 1, 13, 1, 7, 1} + text("k") + Bytes{12, 2, 3} + le32(1) +
           Bytes{12, 1, 1}},
  });
}

TEST(StandardMessageCodec, IntegerWidthFollowsTheValue) {
  constexpr int64_t kMax32 = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin32 = std::numeric_limits<int32_t>::min();
  struct Case {
    const char* name;
    int64_t value;
    Bytes bytes;
    bool fitsInt32;
  };
  const std::vector<Case> cases = {
      {"zero", 0, Bytes{3} + le32(0), true},
      {"INT32_MAX", kMax32, {3, 0xff, 0xff, 0xff, 0x7f}, true},
      {"INT32_MAX + 1", kMax32 + 1, {4, 0, 0, 0, 0x80, 0, 0, 0, 0}, false},
      {"INT32_MIN", kMin32, {3, 0, 0, 0, 0x80}, true},
      {"INT32_MIN - 1", kMin32 - 1, {4, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff, 0xff}, false},
      {"INT64_MAX", std::numeric_limits<int64_t>::max(), {4, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, false},
      {"INT64_MIN", std::numeric_limits<int64_t>::min(), {4, 0, 0, 0, 0, 0, 0, 0, 0x80}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Held as int64 on the host: written as int32 when it fits, and read back in that width.
    const EncodableValue narrow = EncodableValue::integer(c.value);
    EXPECT_EQ(narrow.is<int32_t>(), c.fitsInt32);
    expectGolden(EncodableValue(c.value), c.bytes, narrow);
    EXPECT_EQ(narrow.asInteger(), c.value);
  }
}

TEST(StandardMessageCodec, SizePrefixWidths) {
  struct Case {
    size_t length;
    Bytes prefix;
  };
  const std::vector<Case> cases = {
      {253, {7, 253}},
      {254, {7, 254, 254, 0}},
      {0xffff, {7, 254, 0xff, 0xff}},
      {0x10000, {7, 255, 0, 0, 1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    const std::string s(c.length, 'x');
    expectGolden(EncodableValue(s), c.prefix + text(s));
  }
}

TEST(StandardMessageCodec, TypedListAlignmentAfterWideSizePrefix) {
  // 254 int32s: type byte, 254, u16 size, then offset 4 is already aligned.
  std::vector<int32_t> ints(254, 0x01020304);
  Bytes expectedInts = Bytes{9, 254} + le16(254);
  for (size_t i = 0; i < ints.size(); ++i) expectedInts = expectedInts + le32(0x01020304);
  expectGolden(EncodableValue(ints), expectedInts);

  // 300 int64s: the elements start at 4 and need four bytes of padding to reach 8.
  std::vector<int64_t> longs(300, -1);
  Bytes expectedLongs = Bytes{10, 254} + le16(300) + zeros(4);
  for (size_t i = 0; i < longs.size(); ++i) expectedLongs = expectedLongs + le64(~0ull);
  expectGolden(EncodableValue(longs), expectedLongs);
}

TEST(StandardMessageCodec, AlignmentCountsFromTheStartOfTheMessage) {
  runGoldenTable({
      // list, 2, "a" puts the float64 type byte at offset 5; the value goes to 8.
      {"double after odd offset", EncodableValue(EncodableList{"a", 1.5}),
       Bytes{12, 2, 7, 1} + text("a") + Bytes{6, 0, 0} + le64(kBits1_5)},
      // The type byte at 7 leaves the value already at 8: no padding at all.
      {"double needing no padding", EncodableValue(EncodableList{"abc", 1.5}),
       Bytes{12, 2, 7, 3} + text("abc") + Bytes{6} + le64(kBits1_5)},
      {"double after aligned string", EncodableValue(EncodableList{"abcd", 1.5}),
       Bytes{12, 2, 7, 4} + text("abcd") + Bytes{6} + zeros(7) + le64(kBits1_5)},
      {"int32 list at 6", EncodableValue(EncodableList{"", std::vector<int32_t>{1}}),
       Bytes{12, 2, 7, 0, 9, 1, 0, 0} + le32(1)},
      {"int32 list at 7", EncodableValue(EncodableList{"a", std::vector<int32_t>{1}}),
       Bytes{12, 2, 7, 1} + text("a") + Bytes{9, 1, 0} + le32(1)},
      {"int32 list at 8", EncodableValue(EncodableList{"ab", std::vector<int32_t>{1}}),
       Bytes{12, 2, 7, 2} + text("ab") + Bytes{9, 1} + le32(1)},
      {"int64 list at 7", EncodableValue(EncodableList{"a", std::vector<int64_t>{1}}),
       Bytes{12, 2, 7, 1} + text("a") + Bytes{10, 1, 0} + le64(1)},
      {"int64 list at 9", EncodableValue(EncodableList{"abc", std::vector<int64_t>{1}}),
       Bytes{12, 2, 7, 3} + text("abc") + Bytes{10, 1} + zeros(7) + le64(1)},
      {"float32 list at 7", EncodableValue(EncodableList{"a", std::vector<float>{1.5f}}),
       Bytes{12, 2, 7, 1} + text("a") + Bytes{14, 1, 0} + le32(kBits1_5f)},
      {"float64 list at 7", EncodableValue(EncodableList{"a", std::vector<double>{1.5}}),
       Bytes{12, 2, 7, 1} + text("a") + Bytes{11, 1, 0} + le64(kBits1_5)},
      {"uint8 list never padded", EncodableValue(EncodableList{"a", std::vector<uint8_t>{5}}),
       Bytes{12, 2, 7, 1} + text("a") + Bytes{8, 1, 5}},
      {"empty float64 list padded mid-message", EncodableValue(EncodableList{"a", std::vector<double>{}}),
       Bytes{12, 2, 7, 1} + text("a") + Bytes{11, 0, 0}},
      {"empty int64 list then a value", EncodableValue(EncodableList{std::vector<int64_t>{}, true}),
       Bytes{12, 2, 10, 0, 0, 0, 0, 0, 1}},
      {"empty float32 list then a value", EncodableValue(EncodableList{std::vector<float>{}, false}),
       Bytes{12, 2, 14, 0, 2}},
      {"double as a map value", EncodableValue(EncodableMap{{"x", 1.5}}),
       Bytes{13, 1, 7, 1} + text("x") + Bytes{6, 0, 0} + le64(kBits1_5)},
  });
}

TEST(StandardMessageCodec, NonAsciiStringsKeepTheirUtf8Bytes) {
  struct Case {
    const char* name;
    std::string value;
    Bytes utf8;
  };
  const std::vector<Case> cases = {
      {"arrow", "→", {0xe2, 0x86, 0x92}},
      {"check mark", "✓", {0xe2, 0x9c, 0x93}},
      {"warning with variation selector", "⚠️", {0xe2, 0x9a, 0xa0, 0xef, 0xb8, 0x8f}},
      {"chinese", "中文", {0xe4, 0xb8, 0xad, 0xe6, 0x96, 0x87}},
      {"mixed", "a→b", {'a', 0xe2, 0x86, 0x92, 'b'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The size counts bytes, not characters.
    expectGolden(EncodableValue(c.value), Bytes{7, static_cast<uint8_t>(c.utf8.size())} + c.utf8);
    expectGolden(EncodableValue(EncodableMap{{c.value, c.value}}),
                 Bytes{13, 1, 7, static_cast<uint8_t>(c.utf8.size())} + c.utf8 +
                     Bytes{7, static_cast<uint8_t>(c.utf8.size())} + c.utf8);
  }
}

TEST(StandardMessageCodec, LargeIntegerTypeDecodesAsItsHexText) {
  auto v = messageCodec().decodeMessage(Bytes{5, 18} + text("7fffffffffffffffff"));
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, EncodableValue("7fffffffffffffffff"));
}

TEST(StandardMessageCodec, NestingLimitIsExact) {
  for (auto* build : {&deepLists, &deepMaps}) {
    EXPECT_EQ(whyNot(messageCodec().decodeMessage(build(StandardMessageCodec::kMaxNesting))), "");
    EXPECT_FALSE(messageCodec().decodeMessage(build(StandardMessageCodec::kMaxNesting + 1)).has_value());
  }
}

TEST(StandardMessageCodec, DecodedSizeIsBoundedByTheMessageSize) {
  // A list of `count` elements of `element` bytes each.
  auto list = [](size_t count, const Bytes& element) {
    Bytes out = Bytes{12, 255} + le(count, 4);
    for (size_t i = 0; i < count; ++i) out.insert(out.end(), element.begin(), element.end());
    return out;
  };
  // int32 values grow eightfold (5 bytes to a 40-byte value): the most that is taken.
  EXPECT_EQ(whyNot(messageCodec().decodeMessage(list(400000, Bytes{3, 1, 0, 0, 0}))), "");
  // Nulls would grow fortyfold; a small message may, a large one is refused before it is built.
  EXPECT_EQ(whyNot(messageCodec().decodeMessage(list(20000, Bytes{0}))), "");
  EXPECT_THAT(whyNot(messageCodec().decodeMessage(list(4u << 20, Bytes{0}))), HasSubstr("8 times the size"));
  // Maps of tiny entries grow the same way: {"": null} is 3 bytes, 80 once decoded.
  Bytes map = Bytes{13, 255} + le(1u << 20, 4);
  for (size_t i = 0; i < (1u << 20); ++i) map.insert(map.end(), {7, 0, 0});
  EXPECT_THAT(whyNot(methodCodec().decodeMethodCall(Bytes{7, 1} + text("m") + map)), HasSubstr("8 times the size"));
}

TEST(StandardMethodCodec, MethodCalls) {
  struct Case {
    const char* name;
    FlutterMethodCall call;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"no arguments", {"ping", EncodableValue()}, Bytes{7, 4} + text("ping") + Bytes{0}},
      {"map arguments",
       {"set", EncodableMap{{"enabled", true}}},
       Bytes{7, 3} + text("set") + Bytes{13, 1, 7, 7} + text("enabled") + Bytes{1}},
      // The double's type byte lands at 3, so four padding bytes bring it to 8.
      {"double argument", {"m", 1.5}, Bytes{7, 1} + text("m") + Bytes{6, 0, 0, 0, 0} + le64(kBits1_5)},
      {"int32 list argument", {"ab", std::vector<int32_t>{9}}, Bytes{7, 2} + text("ab") + Bytes{9, 1, 0, 0} + le32(9)},
      {"non-ascii name", {"状态", EncodableValue()}, Bytes{7, 6, 0xe7, 0x8a, 0xb6, 0xe6, 0x80, 0x81, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hex(methodCodec().encodeMethodCall(c.call)), hex(c.bytes));
    auto back = methodCodec().decodeMethodCall(c.bytes);
    ASSERT_TRUE(back.has_value()) << whyNot(back);
    EXPECT_EQ(*back, c.call);
  }
}

// Decodes `bytes` as an envelope that must hold exactly `expected` (a value, or an error).
template <typename T>
void expectEnvelope(const Bytes& bytes, const T& expected) {
  auto back = methodCodec().decodeEnvelope(bytes);
  ASSERT_TRUE(back.has_value()) << whyNot(back);
  ASSERT_TRUE(std::holds_alternative<T>(*back));
  EXPECT_EQ(std::get<T>(*back), expected);
}

TEST(StandardMethodCodec, SuccessEnvelopes) {
  struct Case {
    const char* name;
    EncodableValue result;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"null", EncodableValue(), {0, 0}},
      {"string", EncodableValue("ok"), Bytes{0, 7, 2} + text("ok")},
      // The envelope byte counts: the double's type byte is at 1, its value at 8.
      {"double", EncodableValue(1.5), Bytes{0, 6} + zeros(6) + le64(kBits1_5)},
      {"int64 list", EncodableValue(std::vector<int64_t>{3}), Bytes{0, 10, 1} + zeros(5) + le64(3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hex(methodCodec().encodeSuccessEnvelope(c.result)), hex(c.bytes));
    expectEnvelope(c.bytes, c.result);
  }
}

TEST(StandardMethodCodec, ErrorEnvelopes) {
  struct Case {
    const char* name;
    FlutterError error;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"null message", {"E", std::nullopt, EncodableValue()}, Bytes{1, 7, 1} + text("E") + Bytes{0, 0}},
      {"empty message is not null", {"E", "", EncodableValue()}, Bytes{1, 7, 1} + text("E") + Bytes{7, 0, 0}},
      {"message and details",
       {"bad", "oops", EncodableMap{{"n", int32_t{7}}}},
       Bytes{1, 7, 3} + text("bad") + Bytes{7, 4} + text("oops") + Bytes{13, 1, 7, 1} + text("n") + Bytes{3} + le32(7)},
      {"double details aligned",
       {"c", std::nullopt, 1.5},
       Bytes{1, 7, 1} + text("c") + Bytes{0, 6, 0, 0} + le64(kBits1_5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hex(methodCodec().encodeErrorEnvelope(c.error)), hex(c.bytes));
    expectEnvelope(c.bytes, c.error);
  }
}

TEST(StandardMethodCodec, ErrorEnvelopeStackTraceIsAcceptedAndDropped) {
  struct Case {
    const char* name;
    Bytes bytes;
    FlutterError expected;
  };
  const std::vector<Case> cases = {
      {"string stack trace",
       Bytes{1, 7, 1} + text("E") + Bytes{7, 2} + text("hi") + Bytes{0, 7, 5} + text("trace"),
       {"E", "hi", EncodableValue()}},
      {"null stack trace",
       Bytes{1, 7, 1} + text("E") + Bytes{0, 3} + le32(4) + Bytes{0},
       {"E", std::nullopt, int32_t{4}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectEnvelope(c.bytes, c.expected);
  }
}

// Every malformed payload gives no value and says why, without crashing or allocating for sizes
// the payload cannot hold.
TEST(StandardCodecs, MalformedPayloadsAreRefusedWithAReason) {
  enum class Decoder { message, methodCall, envelope };
  struct Case {
    const char* name;
    Decoder decoder;
    Bytes bytes;
    std::string reasonHas;  // empty: any reason will do
  };
  const std::vector<Case> cases = {
      {"empty message", Decoder::message, {}, ""},
      {"unknown type byte 15", Decoder::message, {15}, "unknown type byte"},
      {"unknown type byte 255", Decoder::message, {255}, "unknown type byte"},
      {"unknown type inside a list", Decoder::message, {12, 1, 42}, "unknown type byte"},
      {"string size past the end", Decoder::message, Bytes{7, 5} + text("ab"), ""},
      {"u16 size cut short", Decoder::message, {7, 254, 1}, ""},
      {"u32 size cut short", Decoder::message, {7, 255, 1, 0, 0}, ""},
      {"list size past the end", Decoder::message, {12, 3, 0}, ""},
      {"map value missing", Decoder::message, {13, 1, 0}, ""},
      {"truncated int32", Decoder::message, {3, 1, 2}, ""},
      {"truncated int64", Decoder::message, {4, 1, 2, 3, 4, 5, 6, 7}, ""},
      {"truncated double", Decoder::message, Bytes{6} + zeros(7) + Bytes{0, 0, 0}, ""},
      {"double padding cut short", Decoder::message, {6, 0, 0}, ""},
      {"empty float64 list padding cut short", Decoder::message, {11, 0, 0}, ""},
      {"int32 list padding cut short", Decoder::message, {9, 1, 0}, ""},
      {"typed list elements past the end", Decoder::message, Bytes{9, 2, 0, 0} + le32(1), ""},
      {"trailing byte after null", Decoder::message, {0, 0}, "trailing"},
      {"trailing byte after a list", Decoder::message, {12, 0, 1}, "trailing"},
      {"lists nested too deep", Decoder::message, deepLists(StandardMessageCodec::kMaxNesting + 1), "nesting"},
      {"maps nested too deep", Decoder::message, deepMaps(StandardMessageCodec::kMaxNesting + 1), "nesting"},
      {"nesting far too deep", Decoder::message, deepLists(200000), "nesting"},
      {"huge list size", Decoder::message, {12, 255, 0xff, 0xff, 0xff, 0xff, 0}, ""},
      {"huge map size", Decoder::message, {13, 255, 0xff, 0xff, 0xff, 0xff, 0, 0}, ""},
      {"huge string size", Decoder::message, {7, 255, 0xff, 0xff, 0xff, 0xff, 'a'}, ""},
      {"huge uint8 list size", Decoder::message, {8, 255, 0xff, 0xff, 0xff, 0xff, 1}, ""},
      {"huge int64 list size", Decoder::message, Bytes{10, 255, 0xff, 0xff, 0xff, 0xff, 0, 0} + le64(1), ""},
      {"huge float32 list size", Decoder::message, Bytes{14, 255, 0xff, 0xff, 0xff, 0xff, 0, 0} + le32(1), ""},

      {"empty method call", Decoder::methodCall, {}, ""},
      {"method name not a string", Decoder::methodCall, Bytes{3} + le32(1) + Bytes{0}, "not a string"},
      {"method name null", Decoder::methodCall, {0, 0}, "not a string"},
      {"method call without arguments", Decoder::methodCall, Bytes{7, 1} + text("m"), ""},
      {"method call with trailing bytes", Decoder::methodCall, Bytes{7, 1} + text("m") + Bytes{0, 0}, "trailing"},

      {"empty envelope", Decoder::envelope, {}, "empty envelope"},
      {"envelope kind 2", Decoder::envelope, {2, 0}, "kind"},
      {"envelope kind 255", Decoder::envelope, {255}, "kind"},
      {"success envelope without a value", Decoder::envelope, {0}, ""},
      {"success envelope with trailing bytes", Decoder::envelope, {0, 0, 0}, "trailing"},
      {"error envelope without details", Decoder::envelope, Bytes{1, 7, 1} + text("E") + Bytes{0}, ""},
      {"error envelope with only a kind", Decoder::envelope, {1}, ""},
      {"error code not a string", Decoder::envelope, Bytes{1, 3} + le32(1) + Bytes{0, 0}, ""},
      {"error message not a string", Decoder::envelope, Bytes{1, 7, 1} + text("E") + Bytes{1, 0}, ""},
      {"error envelope with a fifth value", Decoder::envelope, Bytes{1, 7, 1} + text("E") + Bytes{0, 0, 0, 0},
       "trailing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    switch (c.decoder) {
      case Decoder::message: why = whyNot(messageCodec().decodeMessage(c.bytes)); break;
      case Decoder::methodCall: why = whyNot(methodCodec().decodeMethodCall(c.bytes)); break;
      case Decoder::envelope: why = whyNot(methodCodec().decodeEnvelope(c.bytes)); break;
    }
    EXPECT_FALSE(why.empty()) << "decoded";
    if (!c.reasonHas.empty()) {
      EXPECT_NE(why.find(c.reasonHas), std::string::npos) << why;
    }
  }
}

}  // namespace
