// NSAppleScript: compiles and runs an AppleScript source. The stand-in knows one statement,
// `do shell script "COMMAND"`, optionally `with administrator privileges` (AppleScriptSource.h).
//
//   auto script = NSAppleScript::initWithSource(R"(do shell script "id -u" with administrator privileges)");
//   if (!script) return;                     // the source does not compile
//   std::optional<NSDictionary> error;
//   script->executeAndReturnError(&error);   // blocks until the command has ended
//   if (error) { /* error->at(NSAppleScriptErrorNumber), error->at(NSAppleScriptErrorMessage) */ }
//
// Running: COMMAND goes to `/bin/sh -c` and the call waits for it. The shell and all it starts
// form one process group that ends with the thread that runs it, so no script outlives this
// process, even one killed with SIGKILL (through pkexec, the privileged helper's group ends with
// this process the same way). Exit status 0 is success (the
// result holds standard output less one final line feed). Any other status gives an error
// dictionary: the number is the exit status (128 + the signal for a command killed by one), the
// message is standard error, or standard output when standard error is empty, less one final
// line feed.
//
// Administrator privileges, in this order:
//   - a fixed authorization answer (PROXYHOST_AUTHORIZATION=approve|cancel, or the test seam)
//     wins: "cancel" is a dismissed prompt, "approve" an approved one and runs the command with the
//     rights this process has;
//   - a process that is already root runs the command directly;
//   - otherwise pkexec, when installed, asks the user; this process starts pkexec itself, so a
//     kept authorization keeps: a dismissed prompt (pkexec's 126) is -128 "User canceled.", a
//     refusal (127) is -60005;
//   - otherwise -60005 with a message that says why nothing could be asked.
// docs/scripting.md has the details.
//
// Thread-safe: each object is used by one thread at a time; any number may run at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// What an error dictionary holds under a key. The scripting service puts an integer under
// NSAppleScriptErrorNumber and text under NSAppleScriptErrorMessage, but a reader must not count
// on it, so other kinds of value can be represented.
using NSDictionaryValue = std::variant<int64_t, double, bool, std::string>;
using NSDictionary = std::map<std::string, NSDictionaryValue, std::less<>>;

inline constexpr std::string_view NSAppleScriptErrorNumber = "NSAppleScriptErrorNumber";
inline constexpr std::string_view NSAppleScriptErrorMessage = "NSAppleScriptErrorMessage";

// The result of a successful run: the command's standard output less one final line feed.
class NSAppleEventDescriptor {
 public:
  explicit NSAppleEventDescriptor(std::string stringValue) : stringValue_(std::move(stringValue)) {}
  const std::string& stringValue() const { return stringValue_; }

 private:
  std::string stringValue_;
};

// How a run with administrator privileges gets its rights. current() is what the process has;
// tests put another in place with NSAppleScript::setAdministratorEnvironmentForTesting.
struct NSAppleScriptAdministratorEnvironment {
  enum class FixedAnswer { none, approve, cancel, invalid };

  FixedAnswer fixedAnswer = FixedAnswer::none;
  std::string fixedAnswerText;  // the variable's text, for the message when it is invalid
  bool processIsRoot = false;
  std::string pkexecPath;  // empty when pkexec is not installed

  // PROXYHOST_AUTHORIZATION as read at first use ("approve", "cancel"; empty or unset: none;
  // anything else: invalid, which refuses every run rather than guess), the effective user, and
  // /usr/bin/pkexec when it is executable.
  static NSAppleScriptAdministratorEnvironment current();
};

class NSAppleScript {
 public:
  // Error numbers this stand-in reports of its own.
  static constexpr int64_t kUserCanceledErrorNumber = -128;
  static constexpr int64_t kAuthorizationDeniedErrorNumber = -60005;

  // A scripting object for `source`, or nullptr when the source does not compile.
  static std::unique_ptr<NSAppleScript> initWithSource(const std::string& source);

  virtual ~NSAppleScript() = default;

  // Runs the script and waits. On failure `*errorInfo` holds the error dictionary and the result is
  // empty; on success `*errorInfo` is left as it was. `errorInfo` may be null.
  virtual std::optional<NSAppleEventDescriptor> executeAndReturnError(std::optional<NSDictionary>* errorInfo) = 0;

  const std::string& source() const { return source_; }

  // Not on the original platform: ends every script running now, with all it started (its run
  // then fails with the signal's status). A shutdown that must not wait for a run in flight calls
  // it. An administrator run is told through the socket its command came on, which reaches the
  // privileged helper whatever user it runs as. On macOS a script run with administrator
  // privileges belongs to root and cannot be ended so; there the privileged helper that runs it
  // would be told to stop. Any thread.
  static void terminateRunningScripts();
  // Not on the original platform: the file an administrator run holds a shared lock on while it
  // runs (empty: none), so that a cleanup taking it exclusively, in whatever process, waits until
  // no run is left. Set once, before the first run.
  static void setAdministratorRunLock(std::string path);

  // Seams. A compiler makes the scripting object for a source (nullptr: does not compile);
  // an empty function puts the real one back.
  using Compiler = std::function<std::unique_ptr<NSAppleScript>(const std::string& source)>;
  static void setCompilerForTesting(Compiler compiler);
  // The real compiler, for doubles that wrap it.
  static std::unique_ptr<NSAppleScript> compileShellScriptSource(const std::string& source);
  // Another administrator environment for the real scripting objects; nullopt puts current() back.
  static void setAdministratorEnvironmentForTesting(std::optional<NSAppleScriptAdministratorEnvironment> environment);

 protected:
  explicit NSAppleScript(std::string source) : source_(std::move(source)) {}

 private:
  std::string source_;
};
