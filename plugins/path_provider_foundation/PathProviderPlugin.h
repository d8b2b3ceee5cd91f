// Native half of the path_provider_foundation plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class PathProviderPlugin final : public SwiftStandInPlugin<PathProviderPlugin> {
 public:
  static constexpr std::string_view kChannelName = "path_provider_foundation";
};
