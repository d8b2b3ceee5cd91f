// The networksetup stand-in's run log: one line per run, holding that run's argument vector.
//
// A line is a JSON array of strings followed by a line feed, argv[0] first:
//   ["/usr/sbin/networksetup","-setwebproxystate","Wi-Fi","off"]
// Arguments that are valid UTF-8 are written exactly as nlohmann::json(args).dump() writes them, so a
// test may compare whole lines with that. A byte that is not part of valid UTF-8 (0x80..0xFF) is
// written as the escape \udcXX, a lone low surrogate whose low byte is the byte itself (Python's
// "surrogateescape"). Valid UTF-8 never encodes a surrogate, so decoding is exact: parseRunLogLine
// gives back the bytes that ran. Generic JSON parsers that reject lone surrogates only see them for
// arguments that were not UTF-8 in the first place.
//
// Pure functions plus one reader; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace networksetup {

// The name of the run log inside the state folder.
inline constexpr const char* kRunLogFileName = "runs.log";

// One log line for `arguments`, with its final line feed.
std::string formatRunLogLine(const std::vector<std::string>& arguments);

// The arguments of one line (with or without its line feed); nothing when the line is not a JSON array
// of strings or holds a surrogate escape that this scheme never writes.
std::optional<std::vector<std::string>> parseRunLogLine(std::string_view line);

// Every run recorded in `stateFolder`/runs.log, in order; an empty list when there is no log yet,
// nothing when the file cannot be read or a line does not parse.
std::optional<std::vector<std::vector<std::string>>> readRunLog(const std::string& stateFolder);

}  // namespace networksetup
