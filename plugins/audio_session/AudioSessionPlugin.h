// Native half of the audio_session plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class AudioSessionPlugin final : public ObjCStandInPlugin<AudioSessionPlugin> {
 public:
  static constexpr std::string_view kChannelName = "audio_session";
};
