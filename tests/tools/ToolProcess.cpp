#include "tests/tools/ToolProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/UniqueFd.h"

extern char** environ;

namespace tools_testing {

namespace {

std::vector<std::string> mergedEnvironment(const ToolOptions& options) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    if (!options.environment.contains(text.substr(0, text.find('=')))) result.push_back(text);
  }
  for (const auto& [name, value] : options.environment) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

int ToolResult::exitCode() const { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

ToolProcess::ToolProcess(const std::vector<std::string>& argv, const ToolOptions& options) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env = mergedEnvironment(options);
  auto argp = pointers(args);
  auto envp = pointers(env);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(options.standardInput >= 0 ? options.standardInput : in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // A test runner started in the background may ignore or block signals; the tools must not inherit that.
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.user && (setgroups(0, nullptr) != 0 || setgid(*options.user) != 0 || setuid(*options.user) != 0)) {
      _exit(120);
    }
    execve(argp[0], argp.data(), envp.data());
    _exit(errno == ENOENT ? 127 : 126);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (pid_ < 0) ADD_FAILURE() << "fork failed";
  // Inputs are small enough for the pipe's buffer, so this never waits for the child to read. A
  // child that ends without reading (one that refuses its input) is its own answer, not a fault:
  // the write then fails with EPIPE rather than kill this process.
  signal(SIGPIPE, SIG_IGN);
  if (!options.input.empty() && write(in[1], options.input.data(), options.input.size()) < 0 && errno != EPIPE) {
    ADD_FAILURE() << "writing the child's input failed";
  }
  close(in[1]);
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

bool ToolProcess::pump(std::chrono::steady_clock::time_point deadline, bool untilLine) {
  while (out_ >= 0 || err_ >= 0) {
    if (untilLine && result_.standardOutput.find('\n') != std::string::npos) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result_.standardOutput : result_.standardError).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        (i == 0 ? out_ : err_) = -1;
      }
    }
  }
  return !untilLine || result_.standardOutput.find('\n') != std::string::npos;
}

std::optional<std::string> ToolProcess::readLine(std::chrono::milliseconds timeout) {
  if (!pump(std::chrono::steady_clock::now() + timeout, true)) return std::nullopt;
  return result_.standardOutput;
}

std::optional<ToolResult> ToolProcess::finish(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (pid_ <= 0 || !pump(deadline, false)) return std::nullopt;
  // The streams are closed; the process may still be on its way out, so wait on its pidfd, bounded.
  const posix::UniqueFd pidfd = posix::openProcessDescriptor(pid_);
  if (!pidfd.valid()) return std::nullopt;
  pollfd fd = {pidfd.get(), POLLIN, 0};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  const bool ended = poll(&fd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) == 1;
  if (!ended || waitpid(pid_, &result_.waitStatus, 0) != pid_) return std::nullopt;
  pid_ = -1;
  return result_;
}

ToolResult runTool(const std::vector<std::string>& argv, const ToolOptions& options) {
  ToolProcess process(argv, options);
  auto result = process.finish();
  if (!result) {
    ADD_FAILURE() << "timed out: " << argv[0];
    return ToolResult{-1, {}, {}};
  }
  return *result;
}

}  // namespace tools_testing
