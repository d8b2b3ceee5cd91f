// Native half of the tray_manager plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class TrayManagerPlugin final : public SwiftStandInPlugin<TrayManagerPlugin> {
 public:
  static constexpr std::string_view kChannelName = "tray_manager";
};
