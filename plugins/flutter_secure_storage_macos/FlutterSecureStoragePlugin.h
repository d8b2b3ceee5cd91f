// Native half of the flutter_secure_storage_macos plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class FlutterSecureStoragePlugin final : public SwiftStandInPlugin<FlutterSecureStoragePlugin> {
 public:
  static constexpr std::string_view kChannelName = "flutter_secure_storage_macos";
};
