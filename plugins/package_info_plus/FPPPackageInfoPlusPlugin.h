// Native half of the package_info_plus plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class FPPPackageInfoPlusPlugin final : public ObjCStandInPlugin<FPPPackageInfoPlusPlugin> {
 public:
  static constexpr std::string_view kChannelName = "package_info_plus";
};
