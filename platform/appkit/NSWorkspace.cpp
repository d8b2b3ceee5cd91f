#include "platform/appkit/NSWorkspace.h"

NSWorkspace& NSWorkspace::sharedWorkspace() {
  static NSWorkspace* workspace = new NSWorkspace;
  return *workspace;
}
