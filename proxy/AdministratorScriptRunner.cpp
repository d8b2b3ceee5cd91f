#include "proxy/AdministratorScriptRunner.h"

#include <functional>
#include <optional>
#include <string>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/foundation/NSLog.h"
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

struct DecodeStep {
  Mutex mutex;
  std::function<std::optional<std::string>()> check GUARDED_BY(mutex);  // none: checkDecodeStep
  bool checked GUARDED_BY(mutex) = false;
  std::optional<std::string> problem GUARDED_BY(mutex);
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

// Why the administrator command cannot run here, checked at the first run and said once; nothing
// when it can.
std::optional<std::string> decodeStepProblem() {
  DecodeStep& step = decodeStep();
  MutexLock lock(step.mutex);
  if (!step.checked) {
    step.checked = true;
    step.problem = step.check ? step.check() : proxy::checkDecodeStep();
    if (step.problem) {
      NSLog("[proxy] ⚠️ The administrator command cannot run here: %@; proxy calls answer \"failed\"", *step.problem);
    }
  }
  if (!step.problem) return std::nullopt;
  return "The administrator command cannot run here: " + *step.problem;
}

}  // namespace

std::optional<std::string> proxy::checkDecodeStep() {
  const std::string source = std::string(kCommandHead) + std::string(kDecodeProbe) + "' | /usr/bin/base64 -D\"";
  auto appleScript = NSAppleScript::initWithSource(source);
  if (!appleScript) return "Failed to create NSAppleScript";
  std::optional<NSDictionary> error;
  std::optional<NSAppleEventDescriptor> decoded = appleScript->executeAndReturnError(&error);
  if (error) return "/usr/bin/base64 -D does not decode (" + messageOf(*error).value_or("no message") + ")";
  const std::string text = decoded ? decoded->stringValue() : std::string();
  if (text != kDecoded) return "/usr/bin/base64 -D turns \"" + std::string(kDecodeProbe) + "\" into \"" + text + "\"";
  return std::nullopt;
}

void proxy::setDecodeStepCheckForTesting(std::function<std::optional<std::string>()> check) {
  DecodeStep& step = decodeStep();
  MutexLock lock(step.mutex);
  step.check = std::move(check);
  step.checked = false;
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
  if (auto problem = decodeStepProblem()) return AdminRunOutcome::failed(*problem);

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
