#include "tests/e2e/HostProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace testing_support {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                           const std::string& outputDir)
    : stdoutPath_(outputDir + "/stdout"), stderrPath_(outputDir + "/stderr") {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    if (!env.contains(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
  }
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvCopy = argv;
  for (auto& s : argvCopy) args.push_back(s.data());
  args.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    int out = open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  if (pid_ < 0) ADD_FAILURE() << "fork failed";
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
}

void ChildProcess::signal(int sig) const { kill(pid_, sig); }

void ChildProcess::signalGroup(int sig) const { kill(-pid_, sig); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  eventually(
      [&] {
        int status = 0;
        if (status_ || waitpid(pid_, &status, WNOHANG) != pid_) return status_.has_value();
        status_ = status;
        return true;
      },
      timeout);
  return status_;
}

std::string ChildProcess::standardOutput() const { return readFile(stdoutPath_); }
std::string ChildProcess::standardError() const { return readFile(stderrPath_); }

std::map<std::string, std::string> isolatedHostEnvironment(const std::string& folder,
                                                           std::map<std::string, std::string> env) {
  env.emplace("XDG_STATE_HOME", folder + "/state");
  env.emplace("NETWORKSETUP_STATE_DIR", folder + "/networksetup");
  env.emplace("NETWORKSETUP_WORLD", "simulated");
  return env;
}

HostProcess::HostProcess(std::map<std::string, std::string> env) {
  socketPath_ = env.emplace("PROXYHOST_ENGINE_SOCKET", dir_.file("engine.sock")).first->second;
  env = isolatedHostEnvironment(dir_.path(), std::move(env));
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{PROXYHOST_BIN}, env, dir_.path());
}

std::unique_ptr<enginelink::LinkClient> connectWhileRunning(ChildProcess& host, const std::string& socketPath,
                                                            std::chrono::milliseconds timeout, std::string* error) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto client = enginelink::LinkClient::connect(socketPath, std::chrono::seconds(5));
    if (client) return std::move(*client);
    if (error != nullptr) *error = client.error().message();
    if (std::chrono::steady_clock::now() >= deadline || host.wait(std::chrono::milliseconds(0))) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Reply callOver(enginelink::LinkClient& client, const std::string& channel, const std::string& method,
               EncodableValue arguments, std::chrono::milliseconds timeout) {
  auto call = StandardMethodCodec::getInstance().encodeMethodCall({method, std::move(arguments)});
  auto reply = client.call(channel, call, timeout);
  if (!reply) {
    ADD_FAILURE() << method << ": no reply on " << channel << ": " << reply.error().message();
    return NotImplemented{};
  }
  return decodeReply(*reply);
}

bool waitUntilArmed(enginelink::LinkClient& client) {
  auto call = StandardMethodCodec::getInstance().encodeMethodCall({"launchAtStartupIsEnabled", EncodableValue()});
  return client.call("launch_at_startup", call, std::chrono::seconds(30)).has_value();
}

std::unique_ptr<enginelink::LinkClient> HostProcess::connect(std::chrono::milliseconds timeout) {
  std::string error;
  auto client = connectWhileRunning(*process_, socketPath_, timeout, &error);
  if (client) return client;
  ADD_FAILURE() << "the host never served " << socketPath_ << ": " << error << "\nits log:\n"
                << process_->standardError();
  return nullptr;
}

}  // namespace testing_support
