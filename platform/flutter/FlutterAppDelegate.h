// The base class of the application's delegate. It keeps the platform's defaults for every
// operation the application's own delegate does not override.
#pragma once

#include "platform/appkit/NSApplication.h"

class FlutterAppDelegate : public NSApplicationDelegate {};
