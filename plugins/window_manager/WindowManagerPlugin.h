// Native half of the window_manager plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class WindowManagerPlugin final : public SwiftStandInPlugin<WindowManagerPlugin> {
 public:
  static constexpr std::string_view kChannelName = "window_manager";
};
