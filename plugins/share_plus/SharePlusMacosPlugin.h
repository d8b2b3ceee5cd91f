// Native half of the share_plus plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class SharePlusMacosPlugin final : public SwiftStandInPlugin<SharePlusMacosPlugin> {
 public:
  static constexpr std::string_view kChannelName = "share_plus";
};
