#include "platform/flutter/FlutterCodecs.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

enum class Type : uint8_t {
  null = 0,
  true_ = 1,
  false_ = 2,
  int32 = 3,
  int64 = 4,
  largeInt = 5,
  float64 = 6,
  string = 7,
  uint8List = 8,
  int32List = 9,
  int64List = 10,
  float64List = 11,
  list = 12,
  map = 13,
  float32List = 14,
};

class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}

  void byte(uint8_t b) { out_.push_back(b); }
  void type(Type t) { byte(static_cast<uint8_t>(t)); }

  template <typename T>
  void raw(const T& v) {  // little-endian host assumed, as the engine does
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out_.insert(out_.end(), p, p + sizeof(T));
  }

  void bytes(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + n);
  }

  void align(size_t alignment) {
    while (out_.size() % alignment != 0) out_.push_back(0);
  }

  void size(size_t n) {
    if (n < 254) {
      byte(static_cast<uint8_t>(n));
    } else if (n <= 0xffff) {
      byte(254);
      raw(static_cast<uint16_t>(n));
    } else {
      byte(255);
      raw(static_cast<uint32_t>(n));
    }
  }

  template <typename T>
  void typedList(Type listType, const std::vector<T>& list) {
    type(listType);
    size(list.size());
    align(sizeof(T));
    bytes(list.data(), list.size() * sizeof(T));
  }

  void value(const EncodableValue& v) {
    std::visit([this](const auto& x) { write(x); }, v.storage());
  }

 private:
  void write(std::monostate) { type(Type::null); }
  void write(bool b) { type(b ? Type::true_ : Type::false_); }
  void write(int32_t i) {
    type(Type::int32);
    raw(i);
  }
  void write(int64_t i) {
    // The Dart side writes every integer that fits in 32 bits as int32; so does the host.
    if (i >= INT32_MIN && i <= INT32_MAX) return write(static_cast<int32_t>(i));
    type(Type::int64);
    raw(i);
  }
  void write(double d) {
    type(Type::float64);
    align(8);
    raw(d);
  }
  void write(const std::string& s) {
    type(Type::string);
    size(s.size());
    bytes(s.data(), s.size());
  }
  void write(const std::vector<uint8_t>& l) { typedList(Type::uint8List, l); }
  void write(const std::vector<int32_t>& l) { typedList(Type::int32List, l); }
  void write(const std::vector<int64_t>& l) { typedList(Type::int64List, l); }
  void write(const std::vector<double>& l) { typedList(Type::float64List, l); }
  void write(const std::vector<float>& l) { typedList(Type::float32List, l); }
  void write(const EncodableList& l) {
    type(Type::list);
    size(l.size());
    for (const auto& e : l) value(e);
  }
  void write(const EncodableMap& m) {
    type(Type::map);
    size(m.size());
    for (const auto& [k, v] : m) {
      value(k);
      value(v);
    }
  }

  std::vector<uint8_t>& out_;
};

class Reader {
 public:
  explicit Reader(ByteSpan in)
      : in_(in),
        budget_(
            std::max(StandardMessageCodec::kMinDecodeBudget, StandardMessageCodec::kMaxDecodeExpansion * in.size())) {}

  bool atEnd() const { return pos_ == in_.size(); }
  size_t remaining() const { return in_.size() - pos_; }
  const std::string& why() const { return why_; }

  bool fail(std::string reason) {
    if (why_.empty()) why_ = std::move(reason) + " at byte " + std::to_string(pos_);
    return false;
  }

  bool byte(uint8_t& b) {
    if (remaining() < 1) return fail("unexpected end");
    b = in_[pos_++];
    return true;
  }

  template <typename T>
  bool raw(T& v) {
    if (remaining() < sizeof(T)) return fail("unexpected end");
    std::memcpy(&v, in_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }

  // Counts `bytes` of memory about to be allocated for the value; false once the budget is spent.
  bool charge(size_t bytes) {
    if (bytes > budget_)
      return fail("decoded value would take more than " + std::to_string(StandardMessageCodec::kMaxDecodeExpansion) +
                  " times the size of the message");
    budget_ -= bytes;
    return true;
  }

  bool align(size_t alignment) {
    size_t mod = pos_ % alignment;
    if (mod == 0) return true;
    size_t pad = alignment - mod;
    if (remaining() < pad) return fail("unexpected end in padding");
    pos_ += pad;
    return true;
  }

  bool size(size_t& n) {
    uint8_t b = 0;
    if (!byte(b)) return false;
    if (b < 254) {
      n = b;
    } else if (b == 254) {
      uint16_t v = 0;
      if (!raw(v)) return false;
      n = v;
    } else {
      uint32_t v = 0;
      if (!raw(v)) return false;
      n = v;
    }
    return true;
  }

  template <typename T>
  bool typedList(EncodableValue& out) {
    size_t n = 0;
    if (!size(n) || !align(sizeof(T))) return false;
    if (n > remaining() / sizeof(T)) return fail("typed list runs past the end");
    if (!charge(n * sizeof(T))) return false;
    std::vector<T> list(n);
    if (n > 0) std::memcpy(list.data(), in_.data() + pos_, n * sizeof(T));
    pos_ += n * sizeof(T);
    out = EncodableValue(std::move(list));
    return true;
  }

  bool value(EncodableValue& out, int depth) {
    uint8_t type = 0;
    if (!byte(type)) return false;
    switch (static_cast<Type>(type)) {
      case Type::null: out = EncodableValue(); return true;
      case Type::true_: out = EncodableValue(true); return true;
      case Type::false_: out = EncodableValue(false); return true;
      case Type::int32: {
        int32_t v = 0;
        if (!raw(v)) return false;
        out = EncodableValue(v);
        return true;
      }
      case Type::int64: {
        int64_t v = 0;
        if (!raw(v)) return false;
        out = EncodableValue(v);
        return true;
      }
      case Type::float64: {
        double v = 0;
        if (!align(8) || !raw(v)) return false;
        out = EncodableValue(v);
        return true;
      }
      case Type::largeInt:  // older peers send big integers as hex text; read them as that text
      case Type::string: {
        size_t n = 0;
        if (!size(n)) return false;
        if (n > remaining()) return fail("string runs past the end");
        if (!charge(n)) return false;
        out = EncodableValue(std::string(reinterpret_cast<const char*>(in_.data() + pos_), n));
        pos_ += n;
        return true;
      }
      case Type::uint8List: return typedList<uint8_t>(out);
      case Type::int32List: return typedList<int32_t>(out);
      case Type::int64List: return typedList<int64_t>(out);
      case Type::float64List: return typedList<double>(out);
      case Type::float32List: return typedList<float>(out);
      case Type::list: {
        if (depth >= StandardMessageCodec::kMaxNesting) return fail("nesting too deep");
        size_t n = 0;
        if (!size(n)) return false;
        if (n > remaining()) return fail("list runs past the end");  // each element takes a byte
        if (!charge(n * sizeof(EncodableValue))) return false;
        EncodableList list;
        list.reserve(n);
        for (size_t i = 0; i < n; ++i) {
          EncodableValue e;
          if (!value(e, depth + 1)) return false;
          list.push_back(std::move(e));
        }
        out = EncodableValue(std::move(list));
        return true;
      }
      case Type::map: {
        if (depth >= StandardMessageCodec::kMaxNesting) return fail("nesting too deep");
        size_t n = 0;
        if (!size(n)) return false;
        if (n > remaining() / 2) return fail("map runs past the end");
        if (!charge(n * sizeof(EncodableMap::Entry))) return false;
        EncodableMap map;
        map.reserve(n);
        for (size_t i = 0; i < n; ++i) {
          EncodableValue k, v;
          if (!value(k, depth + 1) || !value(v, depth + 1)) return false;
          map.append(std::move(k), std::move(v));
        }
        out = EncodableValue(std::move(map));
        return true;
      }
      default: pos_--; return fail("unknown type byte " + std::to_string(type));
    }
  }

 private:
  ByteSpan in_;
  size_t pos_ = 0;
  size_t budget_;  // bytes the decoded value may still take
  std::string why_;
};

// Reads `values` in turn, then `optional` if anything is left, and then requires the end of the
// input.
posix::Expected<void> readWhole(Reader& r, std::initializer_list<EncodableValue*> values,
                                EncodableValue* optional = nullptr) {
  for (EncodableValue* v : values) {
    if (!r.value(*v, 0)) return posix::Error(r.why());
  }
  if (optional != nullptr && !r.atEnd() && !r.value(*optional, 0)) return posix::Error(r.why());
  if (!r.atEnd()) {
    r.fail("trailing bytes");
    return posix::Error(r.why());
  }
  return {};
}

}  // namespace

const StandardMessageCodec& StandardMessageCodec::getInstance() {
  static const StandardMessageCodec instance;
  return instance;
}

std::vector<uint8_t> StandardMessageCodec::encodeMessage(const EncodableValue& value) const {
  std::vector<uint8_t> out;
  Writer(out).value(value);
  return out;
}

posix::Expected<EncodableValue> StandardMessageCodec::decodeMessage(ByteSpan bytes) const {
  Reader r(bytes);
  EncodableValue v;
  if (auto read = readWhole(r, {&v}); !read) return read.error();
  return v;
}

const StandardMethodCodec& StandardMethodCodec::getInstance() {
  static const StandardMethodCodec instance;
  return instance;
}

std::vector<uint8_t> StandardMethodCodec::encodeMethodCall(const FlutterMethodCall& call) const {
  std::vector<uint8_t> out;
  Writer w(out);
  w.value(EncodableValue(call.method));
  w.value(call.arguments);
  return out;
}

posix::Expected<FlutterMethodCall> StandardMethodCodec::decodeMethodCall(ByteSpan bytes) const {
  Reader r(bytes);
  EncodableValue method, arguments;
  if (auto read = readWhole(r, {&method, &arguments}); !read) return read.error();
  const std::string* name = method.asString();
  if (name == nullptr) return posix::Error("method name is not a string");
  return FlutterMethodCall{*name, std::move(arguments)};
}

std::vector<uint8_t> StandardMethodCodec::encodeSuccessEnvelope(const EncodableValue& result) const {
  std::vector<uint8_t> out{0};
  Writer(out).value(result);
  return out;
}

std::vector<uint8_t> StandardMethodCodec::encodeErrorEnvelope(const FlutterError& error) const {
  std::vector<uint8_t> out{1};
  Writer w(out);
  w.value(EncodableValue(error.code));
  w.value(error.message ? EncodableValue(*error.message) : EncodableValue());
  w.value(error.details);
  return out;
}

posix::Expected<MethodEnvelope> StandardMethodCodec::decodeEnvelope(ByteSpan bytes) const {
  Reader r(bytes);
  uint8_t kind = 0;
  if (!r.byte(kind)) return posix::Error("empty envelope");
  if (kind == 0) {
    EncodableValue v;
    if (auto read = readWhole(r, {&v}); !read) return read.error();
    return MethodEnvelope(std::move(v));
  }
  if (kind != 1) return posix::Error("unknown envelope kind " + std::to_string(kind));
  // A fourth value, the stack trace, may follow; it is read and dropped.
  EncodableValue code, message, details, stackTrace;
  if (auto read = readWhole(r, {&code, &message, &details}, &stackTrace); !read) return read.error();
  if (!code.is<std::string>() || !(message.isNull() || message.is<std::string>())) {
    return posix::Error("error envelope with a non-string code or message");
  }
  FlutterError error{code.get<std::string>(), std::nullopt, std::move(details)};
  if (!message.isNull()) error.message = message.get<std::string>();
  return MethodEnvelope(std::move(error));
}
