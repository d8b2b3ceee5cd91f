// Where a user's files are: NSHomeDirectory and the user-domain folders of
// NSSearchPathForDirectoriesInDomains.
#pragma once

#include <string>

// $HOME when it is an absolute path, else the password database's home of this user, else /tmp.
std::string NSHomeDirectory();

// The folder an application keeps its own state in between runs, the parent of a folder named
// after its bundle identifier. macOS: ~/Library/Application Support (NSApplicationSupportDirectory
// in NSUserDomainMask). Here: $XDG_STATE_HOME when it is an absolute path, else ~/.local/state.
std::string applicationSupportDirectory();
