#include "platform/flutter/EncodableValue.h"

#include <limits>

EncodableMap::EncodableMap(std::initializer_list<Entry> entries) : entries_(entries) {}

const EncodableValue* EncodableMap::find(const EncodableValue& key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) return &v;
  }
  return nullptr;
}

const EncodableValue* EncodableMap::find(std::string_view stringKey) const {
  for (const auto& [k, v] : entries_) {
    const std::string* s = k.asString();
    if (s != nullptr && *s == stringKey) return &v;
  }
  return nullptr;
}

void EncodableMap::set(EncodableValue key, EncodableValue value) {
  for (auto& [k, v] : entries_) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

void EncodableMap::append(EncodableValue key, EncodableValue value) {
  entries_.emplace_back(std::move(key), std::move(value));
}

void EncodableMap::reserve(size_t entries) { entries_.reserve(entries); }

bool EncodableMap::operator==(const EncodableMap& other) const { return entries_ == other.entries_; }

EncodableValue EncodableValue::integer(int64_t v) {
  if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
    return EncodableValue(static_cast<int32_t>(v));
  }
  return EncodableValue(v);
}

std::optional<int64_t> EncodableValue::asInteger() const {
  if (const auto* v = getIf<int32_t>()) return *v;
  if (const auto* v = getIf<int64_t>()) return *v;
  return std::nullopt;
}

std::optional<bool> EncodableValue::asBool() const {
  if (const auto* v = getIf<bool>()) return *v;
  return std::nullopt;
}
