// The supervised process group: whatever ends it (the member itself, a stop, the deadline, the death
// of the process that started it, of an owner of another user, or an owner's hang-up), the whole
// group goes, the member's own children included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "platform/posix/ProcessGroup.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using posix::SupervisedGroup;
using testing_support::eventually;
using testing_support::TempDir;

bool gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] == 'Z' || line[paren + 2] == 'X';
}

pid_t readPid(const std::string& file) {
  pid_t pid = 0;
  eventually([&] { return (std::ifstream(file) >> pid) && pid > 0; }, 10s);
  return pid;
}

// The member: a shell that starts a sleeper in the background, notes its pid and waits for it.
std::function<int()> sleeperBody(const std::string& pidFile) {
  return [command = "sleep 60 & echo $! > " + pidFile + "; wait"] {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    return 127;
  };
}

TEST(SupervisedGroup, EndsAsItsMemberDid) {
  struct Case {
    const char* command;
    int status;
    int signal;
  };
  for (const Case& c : {Case{"exit 3", 3, 0}, Case{"kill -USR1 $$", 128 + SIGUSR1, SIGUSR1}, Case{"true", 0, 0}}) {
    auto group = SupervisedGroup::start(
        [&] {
          ::execl("/bin/sh", "sh", "-c", c.command, static_cast<char*>(nullptr));
          return 127;
        },
        {});
    ASSERT_TRUE(group) << group.error().message();
    const SupervisedGroup::End end = group->wait(std::chrono::steady_clock::now() + 20s);
    EXPECT_EQ(end.status, c.status) << c.command;
    EXPECT_EQ(end.signal, c.signal) << c.command;
    EXPECT_FALSE(end.timedOut) << c.command;
  }
}

// Each way of ending the group, with the member's own child as the witness that all of it went.
TEST(SupervisedGroup, TheWholeGroupEndsWhenStoppedAtTheDeadlineOrWithItsOwner) {
  struct Case {
    const char* what;
    // Starts the group, with the member's child noting its pid in the file, and ends it.
    std::function<void(const std::string& pidFile)> run;
  };
  const std::vector<Case> cases = {
      {"stopGroup from another thread",
       [](const std::string& pidFile) {
         auto group = SupervisedGroup::start(sleeperBody(pidFile), {});
         ASSERT_TRUE(group);
         readPid(pidFile);
         posix::UniqueFd descriptor = group->duplicateDescriptor();
         std::thread([&] { posix::stopGroup(descriptor.get()); }).join();
         EXPECT_EQ(group->wait(std::chrono::steady_clock::now() + 10s).signal, SIGKILL);
       }},
      {"the deadline, kept by the supervisor itself",
       [](const std::string& pidFile) {
         auto group =
             SupervisedGroup::start(sleeperBody(pidFile), {.deadline = std::chrono::steady_clock::now() + 500ms});
         ASSERT_TRUE(group);
         readPid(pidFile);
         // Waited for without a bound of the waiter's: the supervisor ends it.
         ASSERT_TRUE(eventually([&] { return gone(group->pid()); }, 10s));
         EXPECT_TRUE(group->wait().timedOut);
       }},
      {"the process that started it killed",
       [](const std::string& pidFile) {
         const pid_t starter = ::fork();
         if (starter == 0) {
           auto group = SupervisedGroup::start(sleeperBody(pidFile), {});
           ::pause();
           ::_exit(0);
         }
         readPid(pidFile);
         ::kill(starter, SIGKILL);
         ::waitpid(starter, nullptr, 0);
       }},
      {"an owner's socket hanging up",
       [](const std::string& pidFile) {
         int ends[2];
         ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
         posix::UniqueFd ours(ends[0]), owners(ends[1]);
         auto group =
             SupervisedGroup::start(sleeperBody(pidFile), {.deadline = std::nullopt, .ownerHangUp = ours.get()});
         ASSERT_TRUE(group);
         readPid(pidFile);
         owners.reset();
         EXPECT_EQ(group->wait(std::chrono::steady_clock::now() + 10s).signal, SIGKILL);
       }},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string pidFile = dir.file("pid");
    c.run(pidFile);
    const pid_t sleeper = readPid(pidFile);
    ASSERT_GT(sleeper, 0) << c.what;
    EXPECT_TRUE(eventually([&] { return gone(sleeper); }, 10s)) << c.what;
    if (!gone(sleeper)) ::kill(sleeper, SIGKILL);
  }
}

// Root starts the group for a caller of an ordinary user: no parent-death signal could tell it
// the caller died, its process descriptor does.
TEST(SupervisedGroup, ARootGroupEndsWhenItsCallerOfAnotherUserDies) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a group for another user";
  TempDir dir;
  const std::string pidFile = dir.file("pid");
  const pid_t caller = ::fork();
  if (caller == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  posix::UniqueFd callerProcess = posix::openProcessDescriptor(caller);
  ASSERT_TRUE(callerProcess.valid());
  auto group =
      SupervisedGroup::start(sleeperBody(pidFile), {.deadline = std::nullopt, .ownerProcess = callerProcess.get()});
  ASSERT_TRUE(group);
  const pid_t sleeper = readPid(pidFile);
  ASSERT_GT(sleeper, 0);
  ASSERT_TRUE(eventually(
      [&] {
        std::ifstream status("/proc/" + std::to_string(caller) + "/status");
        std::string text((std::istreambuf_iterator<char>(status)), {});
        return text.find("Uid:\t65534") != std::string::npos;
      },
      10s));
  ::kill(caller, SIGKILL);
  ::waitpid(caller, nullptr, 0);
  EXPECT_EQ(group->wait(std::chrono::steady_clock::now() + 10s).signal, SIGKILL);
  EXPECT_TRUE(eventually([&] { return gone(sleeper); }, 10s));
}

}  // namespace
