#include "platform/scripting/NSAppleScript.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/foundation/Subprocess.h"
#include "platform/macos_tools/MacOSTools.h"
#include "platform/posix/ProcessGroup.h"
#include "platform/posix/UniqueFd.h"
#include "platform/scripting/AppleScriptSource.h"
#include "platform/scripting/ShellCommand.h"

namespace {

// What one command of a script left: how it ended and what it wrote.
using ProcessRun = SubprocessResult;

constexpr const char* kPkexec = "/usr/bin/pkexec";

// pkexec answers 126 when the user dismissed its prompt and 127 when authorization was refused
// or could not be asked for.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

struct Seams {
  Mutex mutex;
  NSAppleScript::Compiler compiler GUARDED_BY(mutex);
  std::optional<NSAppleScriptAdministratorEnvironment> environment GUARDED_BY(mutex);
  std::string administratorRunLock GUARDED_BY(mutex);
};

Seams& seams() {
  static Seams instance;
  return instance;
}

std::string administratorRunLock() {
  MutexLock lock(seams().mutex);
  return seams().administratorRunLock;
}

// The scripts running now, so that terminateRunningScripts can reach them from any thread without
// mistaking a reused pid: a process descriptor of each one's supervisor (or of pkexec), and for an
// administrator run the host's end of the helper's standard input, whose shutdown ends the run
// whoever it runs as by then.
struct RunningScript {
  int process = -1;
  int callerEnd = -1;
  auto operator<=>(const RunningScript&) const = default;
};

struct RunningScripts {
  Mutex mutex;
  std::set<RunningScript> scripts GUARDED_BY(mutex);
};

RunningScripts& runningScripts() {
  static NoDestructor<RunningScripts> scripts;  // a shutdown may still call in while exiting
  return *scripts;
}

// Keeps a script in the list while it lives.
class RunningScriptEntry {
 public:
  explicit RunningScriptEntry(RunningScript script) : script_(script) {
    MutexLock lock(runningScripts().mutex);
    runningScripts().scripts.insert(script_);
  }
  ~RunningScriptEntry() {
    MutexLock lock(runningScripts().mutex);
    runningScripts().scripts.erase(script_);
  }
  RunningScriptEntry(const RunningScriptEntry&) = delete;
  RunningScriptEntry& operator=(const RunningScriptEntry&) = delete;

 private:
  RunningScript script_;
};

// A command of a script: it and everything it starts form one process group that dies with the
// thread running it, so no script outlives this process, and terminateRunningScripts can end it.
ProcessRun runScriptCommand(const std::vector<std::string>& argv) {
  SubprocessOptions options;
  options.argv = argv;
  options.containment = SubprocessContainment::processGroupEndingWithParent;
  ProcessRun run;
  std::optional<Subprocess> child = Subprocess::start(options, run);
  if (!child) return run;
  // -1 when the kernel has none: stopGroup passes over it.
  const posix::UniqueFd descriptor(child->duplicateProcessDescriptor());
  const RunningScriptEntry entry({descriptor.get(), -1});
  child->finish(run);
  return run;
}

std::string withoutFinalLineFeed(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

NSDictionary errorDictionary(int64_t number, std::string message) {
  return NSDictionary{{std::string(NSAppleScriptErrorNumber), number},
                      {std::string(NSAppleScriptErrorMessage), std::move(message)}};
}

// How a run ended: its error dictionary, or nothing and its output.
struct Execution {
  std::optional<NSDictionary> error;
  std::string output;
};

Execution failure(int64_t number, std::string message) { return {errorDictionary(number, std::move(message)), {}}; }

// The product's launcher of that name in its tool folder; an error when the installation lacks it.
posix::Expected<std::string> launcher(std::string_view name) {
  const std::optional<std::string> folder = macos_tools::toolFolder();
  if (!folder) {
    return posix::Error(
        "the product's macOS tools are missing (no Contents/Helpers folder beside its executable holds them)");
  }
  return *folder + "/" + std::string(name);
}

ProcessRun notStarted(std::string why) {
  ProcessRun run;
  run.startError = std::move(why);
  return run;
}

// `command` run by /bin/sh in the macOS tool view, with the rights this process has.
ProcessRun runShellCommand(const std::string& command) {
  const posix::Expected<std::string> shellLauncher = launcher(macos_tools::kShellLauncherName);
  if (!shellLauncher) return notStarted(shellLauncher.error().message());
  ShellCommand shell(command);
  if (shell.arguments().empty()) return notStarted(shell.startError());
  std::vector<std::string> argv{*shellLauncher};
  argv.insert(argv.end(), shell.arguments().begin(), shell.arguments().end());
  return runScriptCommand(argv);
}

// A command that ended: success with its output, or the error dictionary of its status and output.
Execution outcomeOf(const ProcessRun& run) {
  if (!run.started) return failure(-1, "Could not run the shell command: " + run.startError);
  if (run.exitStatus == 0) return {std::nullopt, run.standardOutput};
  const std::string& text = run.standardError.empty() ? run.standardOutput : run.standardError;
  return failure(run.exitStatus, withoutFinalLineFeed(text));
}

std::string randomToken() {
  std::random_device device;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 4; ++i) {
    uint32_t word = device();
    for (int k = 0; k < 8; ++k) {
      token.push_back(kHex[word & 0xF]);
      word >>= 4;
    }
  }
  return token;
}

// Under pkexec a status of 126 or 127 may be pkexec's own answer or the command's. The privileged
// helper writes a line with an unguessable marker and the command's status to standard error as its
// last act: with the marker there, the status is the command's (and the line is taken off again);
// without it, the command never ran.
class PkexecRun {
 public:
  PkexecRun() : marker_("#proxyhost-status-" + randomToken()) {}

  // pkexec, the helper, its marker and the lock it holds while it runs (when there is one); the
  // helper reads the command on standard input.
  std::vector<std::string> argv(const std::string& pkexecPath, const std::string& helper,
                                const std::string& lock) const {
    std::vector<std::string> argv{pkexecPath, helper, marker_};
    if (!lock.empty()) argv.push_back(lock);
    return argv;
  }

  // Takes the marker line off `run`'s standard error; true when it was there.
  bool commandRan(ProcessRun& run) const {
    std::string& err = run.standardError;
    size_t at = err.rfind(marker_);
    if (at == std::string::npos) return false;
    std::string_view rest = std::string_view(err).substr(at + marker_.size());
    if (rest.size() < 3 || rest.front() != ' ' || rest.back() != '\n') return false;
    for (char c : rest.substr(1, rest.size() - 2)) {
      if (c < '0' || c > '9') return false;
    }
    err.erase(at);
    return true;
  }

 private:
  std::string marker_;
};

// `command` run by the product's privileged helper, which pkexec starts once the user has
// authorized it, as that user. pkexec is this process's own child: polkit keys a kept
// authorization (auth_admin_keep) to pkexec's parent, which must live on from one change to the
// next. Containment is the helper's: the command reaches it on a socket whose other end this process
// keeps until the run is over; when this process ends, or shuts that end down, the helper refuses
// to start the command or ends it with all it started, whichever user it runs as by then.
ProcessRun runThroughPkexec(const std::string& pkexecPath, const std::string& command, const PkexecRun& pkexec) {
  const posix::Expected<std::string> helper = launcher(macos_tools::kAdministratorHelperName);
  if (!helper) return notStarted(helper.error().message());
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return notStarted(std::string("socketpair: ") + std::strerror(errno));
  }
  posix::UniqueFd callers(ends[0]), helpers(ends[1]);
  SubprocessOptions options;
  options.argv = pkexec.argv(pkexecPath, *helper, administratorRunLock());
  options.standardInput = helpers.get();
  ProcessRun run;
  std::optional<Subprocess> child = Subprocess::start(options, run);
  helpers.reset();
  if (!child) return run;
  const posix::UniqueFd descriptor = posix::openProcessDescriptor(child->pid());
  const RunningScriptEntry entry({descriptor.get(), callers.get()});
  // The helper reads the command once authorized, which may take minutes: this blocks until then,
  // or until pkexec ends without it, or terminateRunningScripts shuts the socket down.
  std::string_view rest = command;
  while (!rest.empty()) {
    const ssize_t sent =
        posix::retryOnInterrupt([&] { return ::send(callers.get(), rest.data(), rest.size(), MSG_NOSIGNAL); });
    if (sent <= 0) break;
    rest.remove_prefix(static_cast<size_t>(sent));
  }
  ::shutdown(callers.get(), SHUT_WR);
  child->finish(run);
  return run;
}

NSAppleScriptAdministratorEnvironment administratorEnvironment() {
  {
    MutexLock lock(seams().mutex);
    if (seams().environment) return *seams().environment;
  }
  return NSAppleScriptAdministratorEnvironment::current();
}

Execution runWithAdministratorPrivileges(const std::string& command) {
  using FixedAnswer = NSAppleScriptAdministratorEnvironment::FixedAnswer;
  const NSAppleScriptAdministratorEnvironment env = administratorEnvironment();
  switch (env.fixedAnswer) {
    case FixedAnswer::cancel: return failure(NSAppleScript::kUserCanceledErrorNumber, "User canceled.");
    case FixedAnswer::approve: return outcomeOf(runShellCommand(command));
    case FixedAnswer::invalid:
      return failure(NSAppleScript::kAuthorizationDeniedErrorNumber,
                     "PROXYHOST_AUTHORIZATION is \"" + env.fixedAnswerText + "\": it must be approve or cancel.");
    case FixedAnswer::none: break;
  }
  if (env.processIsRoot) return outcomeOf(runShellCommand(command));
  if (env.pkexecPath.empty()) {
    return failure(NSAppleScript::kAuthorizationDeniedErrorNumber,
                   "Administrator privileges are not available: this process does not run as root "
                   "and pkexec is not installed.");
  }

  PkexecRun pkexec;
  ProcessRun run = runThroughPkexec(env.pkexecPath, command, pkexec);
  if (run.started && !pkexec.commandRan(run)) {
    if (run.exitStatus == kPkexecDismissed) {
      return failure(NSAppleScript::kUserCanceledErrorNumber, "User canceled.");
    }
    if (run.exitStatus == kPkexecNotAuthorized) {
      std::string why = withoutFinalLineFeed(run.standardError);
      // pkexec's own words for it (no agent registered, and none of its own without a terminal)
      // name no remedy.
      if (why.find("No authentication agent found") != std::string::npos ||
          why.find("Error creating textual authentication agent") != std::string::npos) {
        why =
            "Administrator rights cannot be asked for: no authentication agent is running for this session "
            "(a desktop session starts one; in a terminal, pkttyagent).";
      }
      return failure(NSAppleScript::kAuthorizationDeniedErrorNumber, why.empty() ? "Authorization was refused." : why);
    }
  }
  return outcomeOf(run);
}

class ShellScriptAppleScript final : public NSAppleScript {
 public:
  ShellScriptAppleScript(std::string source, AppleScriptShellCommand command)
      : NSAppleScript(std::move(source)), command_(std::move(command)) {}

  std::optional<NSAppleEventDescriptor> executeAndReturnError(std::optional<NSDictionary>* errorInfo) override {
    Execution run = command_.withAdministratorPrivileges ? runWithAdministratorPrivileges(command_.command)
                                                         : outcomeOf(runShellCommand(command_.command));
    if (run.error) {
      if (errorInfo != nullptr) *errorInfo = std::move(run.error);
      return std::nullopt;
    }
    return NSAppleEventDescriptor(withoutFinalLineFeed(std::move(run.output)));
  }

 private:
  AppleScriptShellCommand command_;
};

}  // namespace

NSAppleScriptAdministratorEnvironment NSAppleScriptAdministratorEnvironment::current() {
  // Read once: the environment is the process's launch configuration, and getenv must not race
  // with anything that changes it later.
  static const std::string fixedAnswerText = [] {
    const char* value = std::getenv("PROXYHOST_AUTHORIZATION");
    return std::string(value != nullptr ? value : "");
  }();

  NSAppleScriptAdministratorEnvironment env;
  env.fixedAnswerText = fixedAnswerText;
  if (fixedAnswerText.empty()) {
    env.fixedAnswer = FixedAnswer::none;
  } else if (fixedAnswerText == "approve") {
    env.fixedAnswer = FixedAnswer::approve;
  } else if (fixedAnswerText == "cancel") {
    env.fixedAnswer = FixedAnswer::cancel;
  } else {
    env.fixedAnswer = FixedAnswer::invalid;
  }
  env.processIsRoot = geteuid() == 0;
  if (access(kPkexec, X_OK) == 0) env.pkexecPath = kPkexec;
  return env;
}

std::unique_ptr<NSAppleScript> NSAppleScript::initWithSource(const std::string& source) {
  Compiler compiler;
  {
    MutexLock lock(seams().mutex);
    compiler = seams().compiler;
  }
  if (compiler) return compiler(source);
  return compileShellScriptSource(source);
}

std::unique_ptr<NSAppleScript> NSAppleScript::compileShellScriptSource(const std::string& source) {
  auto command = parseShellScriptSource(source);
  if (!command) return nullptr;
  return std::make_unique<ShellScriptAppleScript>(source, std::move(*command));
}

void NSAppleScript::terminateRunningScripts() {
  MutexLock lock(runningScripts().mutex);
  for (const RunningScript& script : runningScripts().scripts) {
    // Ends an administrator run also while its helper is root, which no signal of ours reaches.
    if (script.callerEnd >= 0) ::shutdown(script.callerEnd, SHUT_RDWR);
    // The supervisor ends its group; pkexec still asking (it runs with our real uid then) ends.
    posix::stopGroup(script.process);
  }
}

void NSAppleScript::setAdministratorRunLock(std::string path) {
  MutexLock lock(seams().mutex);
  seams().administratorRunLock = std::move(path);
}

void NSAppleScript::setCompilerForTesting(Compiler compiler) {
  MutexLock lock(seams().mutex);
  seams().compiler = std::move(compiler);
}

void NSAppleScript::setAdministratorEnvironmentForTesting(
    std::optional<NSAppleScriptAdministratorEnvironment> environment) {
  MutexLock lock(seams().mutex);
  seams().environment = std::move(environment);
}
