// Native half of the just_audio plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class JustAudioPlugin final : public ObjCStandInPlugin<JustAudioPlugin> {
 public:
  static constexpr std::string_view kChannelName = "just_audio";
};
