// The one kind of AppleScript source the scripting stand-in compiles:
//
//   do shell script "COMMAND"
//   do shell script "COMMAND" with administrator privileges
//
// COMMAND is an AppleScript string literal with the escapes AppleScript knows (\" \\ \n \r \t);
// any other backslash sequence does not compile, as it does not on the platform. Keywords are
// case-insensitive, blanks (spaces, tabs) separate them, and the source may begin and end with
// white space including line feeds. Anything else — another statement, a comment, a second
// literal, another parameter of "do shell script" — does not compile: the stand-in would rather
// refuse a source than run something other than what its author meant.
//
// Pure text, no platform calls, so the fuzzer can take this file alone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct AppleScriptShellCommand {
  std::string command;  // the literal's text after escapes, as /bin/sh -c gets it
  bool withAdministratorPrivileges = false;

  bool operator==(const AppleScriptShellCommand&) const = default;
};

// The command the source stands for, or nothing when it does not compile. A source that is not
// valid UTF-8 does not compile (a platform source is text), and neither does a literal holding a
// NUL, which no command line can carry.
std::optional<AppleScriptShellCommand> parseShellScriptSource(std::string_view source);

// `text` as an AppleScript string literal, quotes included: the inverse of the literal parsing
// above (backslash and double quote escaped, everything else as it stands).
std::string appleScriptStringLiteral(std::string_view text);
