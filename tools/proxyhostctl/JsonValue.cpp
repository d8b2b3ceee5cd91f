#include "tools/proxyhostctl/JsonValue.h"

#include <cstdint>
#include <limits>

namespace proxyhostctl {

EncodableValue fromJson(const Json& json) {
  switch (json.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return EncodableValue();
    case Json::value_t::boolean:
      return EncodableValue(json.get<bool>());
    case Json::value_t::number_integer:
      return EncodableValue::integer(json.get<int64_t>());
    case Json::value_t::number_unsigned: {
      const uint64_t u = json.get<uint64_t>();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return EncodableValue::integer(static_cast<int64_t>(u));
      }
      return EncodableValue(static_cast<double>(u));
    }
    case Json::value_t::number_float:
      return EncodableValue(json.get<double>());
    case Json::value_t::string:
      return EncodableValue(json.get<std::string>());
    case Json::value_t::binary: {
      const auto& bytes = json.get_binary();
      return EncodableValue(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    case Json::value_t::array: {
      EncodableList list;
      list.reserve(json.size());
      for (const auto& element : json) list.push_back(fromJson(element));
      return EncodableValue(std::move(list));
    }
    case Json::value_t::object: {
      EncodableMap map;
      for (const auto& [key, value] : json.items()) map.append(EncodableValue(key), fromJson(value));
      return EncodableValue(std::move(map));
    }
  }
  return EncodableValue();
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
