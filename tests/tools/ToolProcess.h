// Runs the tools' real binaries for the tests: argv, environment changes, standard input, an
// optional user to run as; standard output and error captured through pipes; every wait bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tools_testing {

struct ToolOptions {
  std::map<std::string, std::optional<std::string>> environment;  // nullopt removes the variable
  std::string input;
  int standardInput = -1;     // a descriptor the child reads instead of `input`; the caller keeps it
  std::optional<uid_t> user;  // runs as this uid and its own group (needs root)
};

using Environment = std::map<std::string, std::optional<std::string>>;
inline ToolOptions withEnvironment(Environment environment) {
  ToolOptions options;
  options.environment = std::move(environment);
  return options;
}
inline ToolOptions withInput(std::string input) {
  ToolOptions options;
  options.input = std::move(input);
  return options;
}

struct ToolResult {
  int waitStatus = 0;
  std::string standardOutput;
  std::string standardError;
  int exitCode() const;  // -1 when the process did not exit normally
};

class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& argv, const ToolOptions& options = {});
  ~ToolProcess();  // kills a process still running
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Reads standard output until it holds a line feed; the text so far, or nothing on timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Reads both streams to their end and reaps the process; nothing on timeout.
  std::optional<ToolResult> finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  bool pump(std::chrono::steady_clock::time_point deadline, bool untilLine);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  ToolResult result_;
};

// Runs to the end; a timeout fails the test and gives an empty result with wait status -1.
ToolResult runTool(const std::vector<std::string>& argv, const ToolOptions& options = {});

}  // namespace tools_testing
