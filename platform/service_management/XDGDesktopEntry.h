// Desktop entries as the XDG autostart folder holds them: the one this platform writes for a login
// item, and the reading of any file found there. Pure text functions; no file is touched.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The Exec value (as written in the file) that starts `executable` with no arguments: quoted
// and escaped so that spaces, quotes, "$", "%", backslashes and line breaks in the path stay
// part of the one path.
std::string XDGDesktopEntryExecValue(const std::string& executable);

// The arguments an Exec value (as written in the file) stands for: the string escapes undone,
// then split at blanks, a double-quoted argument taking \", \`, \$ and \\ as escapes, "%%" a
// percent sign; field codes (%U, ...) stay as they are. Nothing when the value breaks that grammar.
std::optional<std::vector<std::string>> XDGDesktopEntryExecArguments(std::string_view value);

// The autostart entry that registering writes: it starts `executable` and shows `name`.
std::string XDGAutostartEntryText(const std::string& name, const std::string& executable);

// Whether `text` would start `executable` at login: it parses as a desktop entry (comments, groups
// and key=value lines only, the first group [Desktop Entry]) whose Type is Application, whose Exec
// runs `executable` (any program when none is given), and which neither Hidden=true nor
// X-GNOME-Autostart-enabled=false switches off (the desktop's own "startup applications" settings
// write those). Anything else, an empty or garbled file included, starts nothing.
// Read by hand rather than with GLib's GKeyFile, which merges a repeated [Desktop Entry] group,
// takes a group before it and keys holding blanks or other characters, all of which this refuses.
bool XDGAutostartEntryStarts(std::string_view text, const std::optional<std::string>& executable);
