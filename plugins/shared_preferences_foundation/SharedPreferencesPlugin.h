// Native half of the shared_preferences_foundation plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class SharedPreferencesPlugin final : public SwiftStandInPlugin<SharedPreferencesPlugin> {
 public:
  static constexpr std::string_view kChannelName = "shared_preferences_foundation";
};
