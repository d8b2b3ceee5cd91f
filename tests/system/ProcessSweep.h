// The processes of a private system seen from outside and ended: those of its test user or of its
// mount namespace, with their descendants (a root child of the user's pkexec may sit in a namespace
// of its own). Shared by the fixture's teardown and its reaper, which ends them when the test
// process dies without a teardown. Uses no test framework, so the reaper can link it alone.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace system_testing {

struct WorldMarks {
  uid_t user = 0;              // 0: no user of the world yet
  std::string mountNamespace;  // as /proc/PID/ns/mnt names it; empty: none yet
};

// "mnt:[...]" for `pid` (0: the caller), or empty when it cannot be read.
std::string mountNamespaceOf(pid_t pid);

// True when a live process runs with `uid` as its real uid.
bool uidRunsProcesses(uid_t uid);

// The live processes of the world, `except` left out.
std::vector<pid_t> worldProcesses(const WorldMarks& marks, pid_t except);

// SIGKILLs the world's processes until a look finds none alive (those that forked meanwhile
// included); false when they kept coming for a few seconds.
bool killWorld(const WorldMarks& marks, pid_t except);

}  // namespace system_testing
