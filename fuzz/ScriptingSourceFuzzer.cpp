// The scripting stand-in's source parser against arbitrary text. Parsing only: nothing that the
// fuzzer makes is ever run. Whatever compiles must carry a command a shell can be given (no NUL),
// and writing that command back as a literal must compile to the very same command.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Utf8.h"
#include "platform/scripting/AppleScriptSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  auto parsed = parseShellScriptSource(source);
  if (!parsed) return 0;

  if (parsed->command.find('\0') != std::string::npos) std::abort();
  if (!utf8::isValid(parsed->command)) std::abort();

  std::string again = "do shell script " + appleScriptStringLiteral(parsed->command);
  if (parsed->withAdministratorPrivileges) again += " with administrator privileges";
  auto reparsed = parseShellScriptSource(again);
  if (!reparsed || !(*reparsed == *parsed)) std::abort();
  return 0;
}
