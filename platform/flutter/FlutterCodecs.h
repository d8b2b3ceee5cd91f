// The engine's standard message and method codecs, byte for byte as the Dart side writes them.
//
// Layout: one type byte (0 null, 1 true, 2 false, 3 int32, 4 int64, 5 large integer as hex text,
// 6 float64, 7 string, 8 uint8 list, 9 int32 list, 10 int64 list, 11 float64 list, 12 list,
// 13 map, 14 float32 list), little-endian payloads, sizes in one byte below 254, else 254 + u16,
// else 255 + u32. float64 values and typed-list elements are aligned to their own size counted
// from the first byte of the whole message.
//
// Decoding never throws and never trusts a size: a payload that is truncated, carries an unknown
// type byte, trailing bytes, nests deeper than kMaxNesting, or would decode into more memory than
// its budget (below) gives no value and a reason.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/flutter/EncodableValue.h"
#include "platform/posix/Expected.h"

using ByteSpan = std::span<const uint8_t>;

struct FlutterMethodCall {
  std::string method;
  EncodableValue arguments;

  bool operator==(const FlutterMethodCall&) const = default;
};

struct FlutterError {
  std::string code;
  std::optional<std::string> message;
  EncodableValue details;

  bool operator==(const FlutterError&) const = default;
};

class StandardMessageCodec {
 public:
  // Deepest list/map nesting a decoder follows; deeper payloads are refused, not recursed into.
  static constexpr int kMaxNesting = 64;
  // What a decoded value may take in memory: kMaxDecodeExpansion times the encoded size, and never
  // less than kMinDecodeBudget. Each element is a whole EncodableValue (40 bytes) however small
  // its encoding: a list of int32 values takes 8 times its bytes, and passes; a list of nulls or
  // booleans would take 40 times, and a large one is refused before anything is allocated.
  static constexpr size_t kMaxDecodeExpansion = 8;
  static constexpr size_t kMinDecodeBudget = 1u << 20;

  static const StandardMessageCodec& getInstance();

  std::vector<uint8_t> encodeMessage(const EncodableValue& value) const;
  posix::Expected<EncodableValue> decodeMessage(ByteSpan bytes) const;
};

// A reply envelope: the success value or the error.
using MethodEnvelope = std::variant<EncodableValue, FlutterError>;

class StandardMethodCodec {
 public:
  static const StandardMethodCodec& getInstance();

  std::vector<uint8_t> encodeMethodCall(const FlutterMethodCall& call) const;
  posix::Expected<FlutterMethodCall> decodeMethodCall(ByteSpan bytes) const;

  std::vector<uint8_t> encodeSuccessEnvelope(const EncodableValue& result) const;
  std::vector<uint8_t> encodeErrorEnvelope(const FlutterError& error) const;
  // Accepts the optional fourth (stack trace) value of an error envelope and drops it.
  posix::Expected<MethodEnvelope> decodeEnvelope(ByteSpan bytes) const;
};
