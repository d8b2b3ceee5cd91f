// What a channel handler of this application sees of the Flutter side: the method call, the
// result callback it must call exactly once, errors and the not-implemented marker.
#pragma once

#include "platform/flutter/FlutterChannels.h"
