#include "tools/proxyhostctl/JsonValue.h"

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "platform/flutter/FlutterCodecs.h"

namespace proxyhostctl {

namespace {

// Builds the value as the parser reports it, holding open arrays and objects on an explicit stack.
class ValueBuilder {
 public:
  using Number = Json::number_float_t;

  bool null() { return add(EncodableValue()); }
  bool boolean(bool b) { return add(EncodableValue(b)); }
  bool number_integer(Json::number_integer_t i) { return add(EncodableValue::integer(i)); }
  bool number_unsigned(Json::number_unsigned_t u) {
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return add(EncodableValue::integer(static_cast<int64_t>(u)));
    }
    return add(EncodableValue(static_cast<double>(u)));
  }
  bool number_float(Number d, const std::string&) { return add(EncodableValue(static_cast<double>(d))); }
  bool string(std::string& s) { return add(EncodableValue(std::move(s))); }
  bool binary(Json::binary_t& bytes) { return add(EncodableValue(std::vector<uint8_t>(bytes.begin(), bytes.end()))); }

  bool start_object(std::size_t) { return open(true); }
  bool key(std::string& k) {
    open_.back().key = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(false); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t, const std::string& token, const nlohmann::detail::exception& e) {
    // 406: a number the lexer read but float64 cannot hold (1e400).
    if (e.id == 406) return fail("the number " + token + " is out of range");
    return fail(std::string("not JSON: ") + e.what());
  }

  std::optional<EncodableValue> take() { return std::move(root_); }
  // Why the text was refused.
  posix::Error refusal() const { return posix::Error(why_); }

 private:
  struct Open {
    bool isObject;
    EncodableList list;
    EncodableMap map;
    std::string key;
  };

  bool fail(std::string reason) {
    why_ = std::move(reason);
    return false;
  }

  bool open(bool isObject) {
    if (open_.size() >= static_cast<size_t>(StandardMessageCodec::kMaxNesting)) {
      return fail("arrays and objects nest deeper than " + std::to_string(StandardMessageCodec::kMaxNesting) +
                  " levels");
    }
    open_.push_back(Open{isObject, {}, {}, {}});
    return true;
  }

  bool close() {
    Open done = std::move(open_.back());
    open_.pop_back();
    return done.isObject ? add(EncodableValue(std::move(done.map))) : add(EncodableValue(std::move(done.list)));
  }

  bool add(EncodableValue value) {
    if (open_.empty()) {
      root_ = std::move(value);
    } else if (Open& parent = open_.back(); parent.isObject) {
      parent.map.set(EncodableValue(std::move(parent.key)), std::move(value));
    } else {
      parent.list.push_back(std::move(value));
    }
    return true;
  }

  std::string why_;
  std::vector<Open> open_;
  std::optional<EncodableValue> root_;
};

}  // namespace

posix::Expected<EncodableValue> parseJson(std::string_view text) {
  ValueBuilder builder;
  try {
    if (!Json::sax_parse(text, &builder)) return builder.refusal();
  } catch (const Json::exception& e) {  // the parser reports through the builder; this is a backstop
    return posix::Error(std::string("not JSON: ") + e.what());
  }
  if (auto value = builder.take()) return std::move(*value);
  return builder.refusal();
}

namespace {

template <typename T>
Json arrayOf(const std::vector<T>& values) {
  Json array = Json::array();
  for (const T& v : values) array.push_back(v);
  return array;
}

Json number(double d) {
  // nlohmann would print these as null anyway; say so explicitly.
  if (d != d || d == std::numeric_limits<double>::infinity() || d == -std::numeric_limits<double>::infinity()) {
    return nullptr;
  }
  return d;
}

}  // namespace

Json toJson(const EncodableValue& value) {
  return std::visit(
      [](const auto& v) -> Json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, double>) {
          return number(v);
        } else if constexpr (std::is_same_v<T, std::vector<double>> || std::is_same_v<T, std::vector<float>>) {
          Json array = Json::array();
          for (auto d : v) array.push_back(number(static_cast<double>(d)));
          return array;
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>> || std::is_same_v<T, std::vector<int32_t>> ||
                             std::is_same_v<T, std::vector<int64_t>>) {
          return arrayOf(v);
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          Json array = Json::array();
          for (const auto& e : v) array.push_back(toJson(e));
          return array;
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          Json object = Json::object();
          for (const auto& [key, element] : v) {
            const std::string* s = key.asString();
            object[s != nullptr ? *s : dumpLine(toJson(key))] = toJson(element);
          }
          return object;
        } else {
          return v;  // bool, int32, int64, string
        }
      },
      value.storage());
}

// One line with a blank after every ':' and ',', the shape people and scripts read most easily:
// {"success": [1, 2]}.
std::string dumpLine(const Json& json) {
  if (json.is_object()) {
    std::string out = "{";
    const char* separator = "";
    for (const auto& [key, value] : json.items()) {
      out += separator + Json(key).dump(-1, ' ', false, Json::error_handler_t::replace) + ": " + dumpLine(value);
      separator = ", ";
    }
    return out + "}";
  }
  if (json.is_array()) {
    std::string out = "[";
    const char* separator = "";
    for (const auto& value : json) {
      out += separator + dumpLine(value);
      separator = ", ";
    }
    return out + "]";
  }
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace proxyhostctl
