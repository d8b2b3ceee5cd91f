// Native half of the device_info_plus plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class DeviceInfoPlusMacosPlugin final : public SwiftStandInPlugin<DeviceInfoPlusMacosPlugin> {
 public:
  static constexpr std::string_view kChannelName = "device_info_plus";
};
