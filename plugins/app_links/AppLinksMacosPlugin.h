// Native half of the app_links plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class AppLinksMacosPlugin final : public SwiftStandInPlugin<AppLinksMacosPlugin> {
 public:
  static constexpr std::string_view kChannelName = "app_links";
};
