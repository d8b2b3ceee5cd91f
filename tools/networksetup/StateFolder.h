// The folder where the networksetup stand-in keeps its state and its run log.
//
// Several runs may race (a script and a shutdown cleanup, parallel tests), so each run holds an
// exclusive flock on <folder>/state.lock from open() to the end: it appends its line to runs.log,
// reads state.plist, and writes the new state to a temporary file that is synced and renamed over
// state.plist. A reader never sees a half-written file and no run loses another's change.
//
// Errors name the call that failed, its path and errno's message.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/Expected.h"
#include "platform/posix/UniqueFd.h"
#include "tools/networksetup/NetworkState.h"

namespace networksetup {

inline constexpr const char* kLockFileName = "state.lock";

class StateFolder {
 public:
  // Creates the folder itself when it is missing (with `parents`, the folders above it too, private
  // to the user) and waits for the lock.
  static posix::Expected<StateFolder> open(const std::string& path, bool parents = false);

  StateFolder(StateFolder&& other) noexcept = default;
  StateFolder& operator=(StateFolder&&) = delete;
  StateFolder(const StateFolder&) = delete;
  ~StateFolder() = default;  // releases the lock

  // Appends one run-log line with one write(2) on an O_APPEND descriptor.
  posix::Expected<void> appendRun(const std::vector<std::string>& argv);

  // The saved state, or `initial` when nothing has been saved yet; an error when the file cannot be
  // read or is not a state property list (it is then left as it is, never overwritten silently).
  posix::Expected<NetworkState> load(const NetworkState& initial = NetworkState::fresh());

  // Replaces the saved state atomically and durably.
  posix::Expected<void> save(const NetworkState& state);

 private:
  StateFolder(std::string path, posix::UniqueFd lock) : path_(std::move(path)), lock_(std::move(lock)) {}
  std::string file(const char* name) const { return path_ + "/" + name; }

  std::string path_;
  posix::UniqueFd lock_;
};

}  // namespace networksetup
