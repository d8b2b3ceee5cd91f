// Native half of the video_player_avfoundation plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class FVPVideoPlayerPlugin final : public ObjCStandInPlugin<FVPVideoPlayerPlugin> {
 public:
  static constexpr std::string_view kChannelName = "video_player_avfoundation";
};
