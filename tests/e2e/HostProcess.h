// The host binary as a child process with its own engine-link socket, for whole-process tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/proxyhostctl/LinkClient.h"

namespace testing_support {

// Runs `argv` with `env` added to this process's environment; stdout and stderr go to files. The
// child leads a process group of its own, as a shell's job does, so a test can signal the whole
// group as a terminal would without signalling itself.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& outputDir);
  ~ChildProcess();  // kills a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig) const;
  // To the child's whole process group, as a terminal's hang-up or Ctrl-C goes to a job.
  void signalGroup(int sig) const;
  // The raw wait status once the child has ended within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  std::string standardOutput() const;
  std::string standardError() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string stdoutPath_, stderrPath_;
};

// Connects to `socketPath` once the host there serves (it may still be starting); nothing when
// `host` ended or `timeout` passed first, with the last connect error in `error`.
std::unique_ptr<enginelink::LinkClient> connectWhileRunning(ChildProcess& host, const std::string& socketPath,
                                                            std::chrono::milliseconds timeout, std::string* error);

// One method call over the link, decoded; no reply within `timeout` fails the test.
Reply callOver(enginelink::LinkClient& client, const std::string& channel, const std::string& method,
               EncodableValue arguments = {}, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The link is served before launching ends; a channel's answer comes from the application loop,
// which runs only after it. True once such an answer came: the host is armed.
bool waitUntilArmed(enginelink::LinkClient& client);

// The variables that keep a host started in `folder` to it: its record and window state, and its
// cleanup's networksetup runs (the simulated world), never this machine's. `env` keeps what it has.
std::map<std::string, std::string> isolatedHostEnvironment(const std::string& folder,
                                                           std::map<std::string, std::string> env = {});

// build/bin/proxyhost serving its engine link at <dir>/engine.sock, or where the given
// PROXYHOST_ENGINE_SOCKET says.
class HostProcess {
 public:
  explicit HostProcess(std::map<std::string, std::string> env = {});
  const std::string& socketPath() const { return socketPath_; }
  ChildProcess& process() { return *process_; }
  const TempDir& dir() const { return dir_; }
  // Connects once the host serves (it may still be starting); fails the test otherwise.
  std::unique_ptr<enginelink::LinkClient> connect(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  TempDir dir_;
  std::string socketPath_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace testing_support
