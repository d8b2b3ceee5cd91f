#include "proxy/SystemProxy.h"

#include <string>

#include "platform/scripting/NSAppleScript.h"
#include "platform/scripting/TextEncoding.h"

namespace {

// The script travels as Base64: its alphabet needs no escaping inside either the AppleScript
// literal or the shell's apostrophes, so whatever the script holds reaches bash byte for byte.
constexpr std::string_view kCommandHead = "do shell script \"echo '";
constexpr std::string_view kCommandTail = "' | /usr/bin/base64 -D | /bin/bash\" with administrator privileges";
static_assert(kCommandHead.size() == 23 && kCommandTail.size() == 65);

}  // namespace

proxy::AdminRunOutcome proxy::runAsAdministrator(const std::string& script) {
  auto bytes = dataUsingUTF8Encoding(script);
  if (!bytes) return AdminRunOutcome::failed("Failed to encode shell script");

  std::string source;
  source += kCommandHead;
  source += base64EncodedString(*bytes);
  source += kCommandTail;

  auto appleScript = NSAppleScript::initWithSource(source);
  if (!appleScript) return AdminRunOutcome::failed("Failed to create NSAppleScript");

  std::optional<NSDictionary> error;
  appleScript->executeAndReturnError(&error);
  if (!error) return AdminRunOutcome::success();

  int64_t number = -1;
  if (auto it = error->find(NSAppleScriptErrorNumber); it != error->end()) {
    if (const auto* n = std::get_if<int64_t>(&it->second)) number = *n;
  }
  std::string message = "Unknown AppleScript error";
  if (auto it = error->find(NSAppleScriptErrorMessage); it != error->end()) {
    if (const auto* m = std::get_if<std::string>(&it->second)) message = *m;
  }
  if (number == -128) return AdminRunOutcome::cancelled();
  return AdminRunOutcome::failed("AppleScript error " + std::to_string(number) + ": " + message);
}
