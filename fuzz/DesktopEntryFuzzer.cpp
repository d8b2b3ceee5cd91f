// The autostart entry reader against arbitrary files. The first byte gives the length of an
// executable path taken from the bytes after it; the rest is the entry's text. Whatever the text,
// an entry that starts that executable starts some program; and the entry written for any path
// (named by the text) reads back as starting exactly that path.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/service_management/XDGDesktopEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t length = std::min<size_t>(data[0], size - 1);
  const std::string executable(reinterpret_cast<const char*>(data) + 1, length);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1 + length, size - 1 - length);

  if (XDGAutostartEntryStarts(text, executable) && !XDGAutostartEntryStarts(text, std::nullopt)) std::abort();

  if (executable.empty() || executable.find('\0') != std::string::npos) return 0;
  const auto arguments = XDGDesktopEntryExecArguments(XDGDesktopEntryExecValue(executable));
  if (!arguments || arguments->size() != 1 || arguments->front() != executable) std::abort();
  std::string name(text);
  name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
  if (!XDGAutostartEntryStarts(XDGAutostartEntryText(name, executable), executable)) std::abort();
  return 0;
}
