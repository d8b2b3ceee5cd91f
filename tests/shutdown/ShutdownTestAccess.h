// Reaches the shutdown handler's private operations from the tests.
#pragma once

#include "shutdown/ShutdownHandler.h"

struct ShutdownHandlerTestAccess {
  static std::vector<std::string> getNetworkServices(ShutdownHandler& h) { return h.getNetworkServices().enabled; }
  static bool isRegistered(const ShutdownHandler& h) { return h.isRegistered_; }
};
