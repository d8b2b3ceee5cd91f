// Text and the keys it is looked up by.
//
//   SwiftUI::Text("Launch at login")                   // a literal is a key: looked up
//   SwiftUI::Text(SwiftUI::LocalizedStringKey(name))   // looked up
//   SwiftUI::Text(someString)                          // shown as it is
//   SwiftUI::Text::verbatim("Launch at login")         // shown as it is
//
// A key is looked up each time the text is drawn, in the main bundle's default string table
// ("Localizable") unless a table or bundle is given; a key the table lacks shows as itself.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/foundation/NSBundle.h"
#include "platform/swiftui/View.h"

namespace SwiftUI {

struct LocalizedStringKey {
  explicit LocalizedStringKey(std::string k) : key(std::move(k)) {}
  // A string literal is a key, as on the platform.
  template <std::size_t N>
  LocalizedStringKey(const char (&literal)[N]) : key(literal) {}

  std::string key;
  bool operator==(const LocalizedStringKey&) const = default;
};

class Text {
 public:
  // A string literal is a key to look up, as on the platform.
  template <std::size_t N>
  Text(const char (&literal)[N]) : Text(LocalizedStringKey(literal)) {}
  explicit Text(LocalizedStringKey key, std::string tableName = "", std::optional<NSBundle> bundle = std::nullopt);
  // Any other string is shown as it is.
  explicit Text(std::string content);
  static Text verbatim(std::string content);

  // What the text shows now: the content, or the key looked up now.
  std::string resolvedText() const;
  // The key, for a text made from one.
  const std::optional<LocalizedStringKey>& key() const { return key_; }

  ViewNode makeNode() const;

 private:
  Text() = default;

  std::string verbatim_;
  std::optional<LocalizedStringKey> key_;
  std::string tableName_;
  std::optional<NSBundle> bundle_;
};

}  // namespace SwiftUI
