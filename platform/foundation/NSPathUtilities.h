// Where a user's files are: NSHomeDirectory and the user-domain folders of
// NSSearchPathForDirectoriesInDomains.
#pragma once

#include <string>

// $HOME when it is an absolute path, else accountHomeDirectory().
std::string NSHomeDirectory();

// The home of the account this process runs as (its real user id), from the password database,
// whatever $HOME says; /tmp when the account has none. What macOS's NSHomeDirectory gives a
// process started through sudo, whose HOME may still name the invoking user's home.
std::string accountHomeDirectory();

// The folder an application keeps its own state in between runs, the parent of a folder named
// after its bundle identifier. macOS: ~/Library/Application Support (NSApplicationSupportDirectory
// in NSUserDomainMask). Here: $XDG_STATE_HOME when it is an absolute path, else ~/.local/state.
std::string applicationSupportDirectory();

// applicationSupportDirectory() of the account, from accountHomeDirectory(): neither
// $XDG_STATE_HOME nor $HOME, which a process started through sudo may have kept from another
// user, can move it.
std::string accountApplicationSupportDirectory();
