// Registers every plug-in the Flutter side uses with the engine's plug-in registry.
#pragma once

#include "platform/flutter/FlutterChannels.h"

void RegisterGeneratedPlugins(FlutterPluginRegistry& registry);
