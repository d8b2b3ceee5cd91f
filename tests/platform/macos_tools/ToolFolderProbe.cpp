// Prints the tool folder the running executable finds, or "none": a stand-in for the host, copied
// into a test's bundle so that /proc/self/exe lies inside it.
#include <cstdio>

#include "platform/macos_tools/MacOSTools.h"

int main() {
  std::puts(macos_tools::toolFolder().value_or("none").c_str());
  return 0;
}
