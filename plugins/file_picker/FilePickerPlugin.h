// Native half of the file_picker plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class FilePickerPlugin final : public SwiftStandInPlugin<FilePickerPlugin> {
 public:
  static constexpr std::string_view kChannelName = "file_picker";
};
