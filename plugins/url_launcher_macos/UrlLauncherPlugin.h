// Native half of the url_launcher_macos plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class UrlLauncherPlugin final : public SwiftStandInPlugin<UrlLauncherPlugin> {
 public:
  static constexpr std::string_view kChannelName = "url_launcher_macos";
};
