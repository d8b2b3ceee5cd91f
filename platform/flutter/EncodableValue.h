// The value type that crosses a Flutter channel: every type the standard codec carries.
//
// Integers keep the width they arrived in (int32 or int64); code that wants "an integer" asks
// for asInteger(), which accepts either, as the Dart side writes whichever width fits.
// Maps keep insertion order, as a Dart map literal does, so a value re-encodes byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

class EncodableValue;

using EncodableList = std::vector<EncodableValue>;

// An insertion-ordered map. Look-ups are linear: channel arguments hold a handful of keys.
class EncodableMap {
 public:
  using Entry = std::pair<EncodableValue, EncodableValue>;

  EncodableMap() = default;
  EncodableMap(std::initializer_list<Entry> entries);

  // The value of the first entry whose key equals `key`, or nullptr.
  const EncodableValue* find(const EncodableValue& key) const;
  const EncodableValue* find(std::string_view stringKey) const;
  const EncodableValue* find(const char* stringKey) const { return find(std::string_view(stringKey)); }
  // Replaces the value of an existing key, else appends.
  void set(EncodableValue key, EncodableValue value);
  // Appends without looking for an existing key (decoding keeps what the peer sent).
  void append(EncodableValue key, EncodableValue value);
  void reserve(size_t entries);

  const std::vector<Entry>& entries() const { return entries_; }
  // Defined below EncodableValue: clang wants Entry complete to instantiate them.
  size_t size() const;
  bool empty() const;
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;

  bool operator==(const EncodableMap& other) const;

 private:
  std::vector<Entry> entries_;
};

class EncodableValue {
 public:
  using Storage = std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                               std::vector<int32_t>, std::vector<int64_t>, std::vector<double>, EncodableList,
                               EncodableMap, std::vector<float>>;

  EncodableValue() = default;
  EncodableValue(std::nullptr_t) {}
  // Exactly bool: a pointer would otherwise convert, so `EncodableValue v = map.find("a");`
  // would compile and hold true.
  template <typename T>
  requires std::is_same_v<T, bool> EncodableValue(T v) : storage_(v) {}
  EncodableValue(int32_t v) : storage_(v) {}
  EncodableValue(int64_t v) : storage_(v) {}
  EncodableValue(double v) : storage_(v) {}
  EncodableValue(const char* v) : storage_(std::string(v)) {}
  EncodableValue(std::string_view v) : storage_(std::string(v)) {}
  EncodableValue(std::string v) : storage_(std::move(v)) {}
  EncodableValue(std::vector<uint8_t> v) : storage_(std::move(v)) {}
  EncodableValue(std::vector<int32_t> v) : storage_(std::move(v)) {}
  EncodableValue(std::vector<int64_t> v) : storage_(std::move(v)) {}
  EncodableValue(std::vector<double> v) : storage_(std::move(v)) {}
  EncodableValue(std::vector<float> v) : storage_(std::move(v)) {}
  EncodableValue(EncodableList v) : storage_(std::move(v)) {}
  EncodableValue(EncodableMap v) : storage_(std::move(v)) {}
  // Other integer types are ambiguous on purpose: say int32_t or int64_t.
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, int32_t> &&
           !std::is_same_v<T, int64_t>) EncodableValue(T)
  = delete;

  // The integer in the narrowest width the codec would use for it, as the Dart side sends it.
  static EncodableValue integer(int64_t v);

  bool isNull() const { return std::holds_alternative<std::monostate>(storage_); }
  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(storage_);
  }
  template <typename T>
  const T& get() const {
    return std::get<T>(storage_);
  }
  template <typename T>
  const T* getIf() const {
    return std::get_if<T>(&storage_);
  }

  // int32 or int64, whichever came.
  std::optional<int64_t> asInteger() const;
  const std::string* asString() const { return getIf<std::string>(); }
  const EncodableMap* asMap() const { return getIf<EncodableMap>(); }
  const EncodableList* asList() const { return getIf<EncodableList>(); }
  std::optional<bool> asBool() const;

  const Storage& storage() const { return storage_; }
  bool operator==(const EncodableValue& other) const { return storage_ == other.storage_; }

 private:
  Storage storage_;
};

inline size_t EncodableMap::size() const { return entries_.size(); }
inline bool EncodableMap::empty() const { return entries_.empty(); }
inline std::vector<EncodableMap::Entry>::const_iterator EncodableMap::begin() const { return entries_.begin(); }
inline std::vector<EncodableMap::Entry>::const_iterator EncodableMap::end() const { return entries_.end(); }
