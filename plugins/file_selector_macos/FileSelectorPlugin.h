// Native half of the file_selector_macos plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class FileSelectorPlugin final : public SwiftStandInPlugin<FileSelectorPlugin> {
 public:
  static constexpr std::string_view kChannelName = "file_selector_macos";
};
