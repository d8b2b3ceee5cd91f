// Native half of the window_ext plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class WindowExtPlugin final : public SwiftStandInPlugin<WindowExtPlugin> {
 public:
  static constexpr std::string_view kChannelName = "window_ext";
};
