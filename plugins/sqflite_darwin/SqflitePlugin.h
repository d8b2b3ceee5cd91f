// Native half of the sqflite_darwin plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class SqflitePlugin final : public ObjCStandInPlugin<SqflitePlugin> {
 public:
  static constexpr std::string_view kChannelName = "sqflite_darwin";
};
