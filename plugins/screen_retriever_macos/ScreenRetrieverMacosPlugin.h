// Native half of the screen_retriever_macos plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class ScreenRetrieverMacosPlugin final : public SwiftStandInPlugin<ScreenRetrieverMacosPlugin> {
 public:
  static constexpr std::string_view kChannelName = "screen_retriever_macos";
};
