// The network service list parser against arbitrary tool output. Every name it keeps must be a
// non-empty piece of the text without an asterisk, and the names must appear in the text in order.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "shutdown/NetworkServices.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t from = 0;
  for (const std::string& name : parseNetworkServices(text)) {
    if (name.empty() || name.find('*') != std::string::npos) std::abort();
    size_t at = text.find(name, from);
    if (at == std::string_view::npos) std::abort();
    from = at + name.size();
  }
  return 0;
}
