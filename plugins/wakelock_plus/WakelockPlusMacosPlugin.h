// Native half of the wakelock_plus plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class WakelockPlusMacosPlugin final : public SwiftStandInPlugin<WakelockPlusMacosPlugin> {
 public:
  static constexpr std::string_view kChannelName = "wakelock_plus";
};
