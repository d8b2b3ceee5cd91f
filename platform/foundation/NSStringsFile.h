// The string tables of a bundle's localizations (<name>.strings): parsing one file's bytes.
//
// Accepted: the old-style form
//   /* comment */  "key" = "value";  // comment
//   unquoted_key = unquoted.value;  "key only";   (the value is the key)
// in UTF-8 (an optional byte order mark) or UTF-16 with a byte order mark, with the escapes
// \" \\ \' \n \t \r \a \b \f \v, \Uxxxx or \uxxxx (UTF-16 units, surrogate pairs joined) and up
// to three octal digits; and XML or binary property lists whose root is a dictionary of strings.
// A later duplicate key replaces the earlier one. Any syntax error rejects the whole file, as a
// half-read table would show some texts translated and others not.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>

std::optional<std::map<std::string, std::string>> NSParseStringsFile(std::span<const char> bytes);

// The string entries of a property list (XML or binary) whose root is a dictionary, and whether
// every entry was a string (the others are left out). Nothing when the bytes are no such list.
struct PropertyListStrings {
  std::map<std::string, std::string> strings;
  bool onlyStrings = true;
};
std::optional<PropertyListStrings> parsePropertyListStrings(std::span<const char> bytes);
