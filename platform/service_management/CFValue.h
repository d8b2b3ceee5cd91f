// A property-list value as the platform's C interfaces hand it out: Boolean, number, string,
// array or dictionary. Dictionary keys are values too (usually strings, but nothing promises
// it), kept in insertion order, so a caller can meet, and must cope with, any shape.
//
//   CFValue job = CFValue::dictionary({{"Label", "net.example.helper"}, {"OnDemand", true}});
//   if (auto* label = job.valueForKey("Label"); label && label->asString()) ...
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

class CFValue {
 public:
  using Array = std::vector<CFValue>;
  using Dictionary = std::vector<std::pair<CFValue, CFValue>>;
  using Storage = std::variant<bool, int64_t, double, std::string, Array, Dictionary>;

  CFValue(bool v) : storage_(v) {}
  CFValue(int v) : storage_(int64_t{v}) {}
  CFValue(int64_t v) : storage_(v) {}
  CFValue(double v) : storage_(v) {}
  CFValue(const char* v) : storage_(std::string(v)) {}
  CFValue(std::string v) : storage_(std::move(v)) {}
  CFValue(Array v) : storage_(std::move(v)) {}
  CFValue(Dictionary v) : storage_(std::move(v)) {}

  static CFValue array(std::initializer_list<CFValue> items) { return CFValue(Array(items)); }
  static CFValue dictionary(std::initializer_list<std::pair<CFValue, CFValue>> entries) {
    return CFValue(Dictionary(entries));
  }

  const bool* asBool() const { return std::get_if<bool>(&storage_); }
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }

  // The value of the first entry whose key is the string `key`; nullptr when this is no
  // dictionary or has no such entry.
  const CFValue* valueForKey(std::string_view key) const {
    const Dictionary* d = asDictionary();
    if (d == nullptr) return nullptr;
    for (const auto& [k, v] : *d) {
      if (const std::string* s = k.asString(); s != nullptr && *s == key) return &v;
    }
    return nullptr;
  }

  const Storage& storage() const { return storage_; }
  bool operator==(const CFValue& other) const { return storage_ == other.storage_; }

 private:
  Storage storage_;
};
