// Native half of the flutter_js plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class FlutterJsPlugin final : public SwiftStandInPlugin<FlutterJsPlugin> {
 public:
  static constexpr std::string_view kChannelName = "flutter_js";
};
