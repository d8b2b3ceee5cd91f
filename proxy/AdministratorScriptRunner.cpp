#include "proxy/AdministratorScriptRunner.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSTask.h"
#include "platform/scripting/NSAppleScript.h"
#include "platform/scripting/TextEncoding.h"

namespace {

// The script travels as Base64: its alphabet needs no escaping inside either the AppleScript
// literal or the shell's apostrophes, so whatever the script holds reaches bash byte for byte.
constexpr std::string_view kCommandHead = "do shell script \"echo '";
constexpr std::string_view kCommandTail = "' | /usr/bin/base64 -D | /bin/bash\" with administrator privileges";
static_assert(kCommandHead.size() == 23 && kCommandTail.size() == 65);

// The decode step's check: a known text through `/usr/bin/base64 -D`, as the command pipes it.
constexpr std::string_view kDecodeProbe = "cHJveHlob3N0";
constexpr std::string_view kDecoded = "proxyhost";
constexpr std::chrono::seconds kDecodeCheckLimit{5};

struct DecodeStep {
  Mutex mutex;
  std::function<posix::Expected<void>()> check GUARDED_BY(mutex);  // none: checkDecodeStep
  bool works GUARDED_BY(mutex) = false;                            // once it has, it does
  std::optional<std::string> problem GUARDED_BY(mutex);            // the last failed check's
};

// The error dictionary's message; nothing when it holds none.
std::optional<std::string> messageOf(const NSDictionary& error) {
  auto it = error.find(NSAppleScriptErrorMessage);
  if (it == error.end()) return std::nullopt;
  if (const auto* message = std::get_if<std::string>(&it->second)) return *message;
  return std::nullopt;
}

DecodeStep& decodeStep() {
  static NoDestructor<DecodeStep> step;
  return *step;
}

// Whether the administrator command can run here, and why not. Checked until it has worked once,
// so a step mended while the host runs (the product's tools reinstalled) is seen at the next call;
// a problem is logged when it first shows or changes.
posix::Expected<void> decodeStepWorks() {
  DecodeStep& step = decodeStep();
  MutexLock lock(step.mutex);
  if (step.works) return {};
  const posix::Expected<void> checked = step.check ? step.check() : proxy::checkDecodeStep();
  if (checked) {
    step.works = true;
    step.problem.reset();
    return {};
  }
  const std::string problem = checked.error().message();
  if (problem != step.problem) {
    NSLog("[proxy] ⚠️ The administrator command cannot run here: %@; proxy calls answer \"failed\"", problem);
  }
  step.problem = problem;
  return checked.error().prefixed("The administrator command cannot run here");
}

}  // namespace

posix::Expected<void> proxy::checkDecodeStep() {
  NSTask task;
  NSPipe input, output, errors;
  task.setLaunchPath("/usr/bin/base64");
  task.setArguments({"-D"});
  task.setStandardInput(input);
  task.setStandardOutput(output);
  task.setStandardError(errors);
  // A few bytes: the pipe holds them until the tool reads.
  input.fileHandleForWriting().writeData(std::string(kDecodeProbe) + "\n");
  input.fileHandleForWriting().closeFile();
  std::optional<NSError> error;
  if (!runTaskWithTimeLimit(task, kDecodeCheckLimit, &error)) {
    return posix::Error("/usr/bin/base64 -D does not start (" + (error ? error->localizedDescription() : "no reason") +
                        ")");
  }
  std::string text = output.fileHandleForReading().readDataToEndOfFile();
  if (task.terminationStatus() != 0) {
    std::string why = errors.fileHandleForReading().readDataToEndOfFile();
    while (!why.empty() && why.back() == '\n') why.pop_back();
    return posix::Error("/usr/bin/base64 -D does not decode (status " + std::to_string(task.terminationStatus()) +
                        ": " + why + ")");
  }
  if (text != kDecoded) {
    return posix::Error("/usr/bin/base64 -D turns \"" + std::string(kDecodeProbe) + "\" into \"" + text + "\"");
  }
  return {};
}

void proxy::setDecodeStepCheckForTesting(std::function<posix::Expected<void>()> check) {
  DecodeStep& step = decodeStep();
  MutexLock lock(step.mutex);
  step.check = std::move(check);
  step.works = false;
  step.problem.reset();
}

proxy::AdminRunOutcome proxy::runAsAdministrator(const std::string& script) {
  auto bytes = dataUsingUTF8Encoding(script);
  if (!bytes) return AdminRunOutcome::failed("Failed to encode shell script");

  std::string source;
  source += kCommandHead;
  source += base64EncodedString(*bytes);
  source += kCommandTail;

  auto appleScript = NSAppleScript::initWithSource(source);
  if (!appleScript) return AdminRunOutcome::failed("Failed to create NSAppleScript");

  // Where the decode step fails, bash would read an empty script and the run would pass for a
  // success with nothing switched.
  if (auto works = decodeStepWorks(); !works) return AdminRunOutcome::failed(works.error().message());

  std::optional<NSDictionary> error;
  appleScript->executeAndReturnError(&error);
  if (!error) return AdminRunOutcome::success();

  int64_t number = -1;
  if (auto it = error->find(NSAppleScriptErrorNumber); it != error->end()) {
    if (const auto* n = std::get_if<int64_t>(&it->second)) number = *n;
  }
  if (number == -128) return AdminRunOutcome::cancelled();
  return AdminRunOutcome::failed("AppleScript error " + std::to_string(number) + ": " +
                                 messageOf(*error).value_or("Unknown AppleScript error"));
}
