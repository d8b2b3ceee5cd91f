// Everything the host uses of the Flutter engine's macOS embedding.
#pragma once

#include "platform/flutter/EncodableValue.h"
#include "platform/flutter/FlutterAppDelegate.h"
#include "platform/flutter/FlutterBinaryMessenger.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterCodecs.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/FlutterViewController.h"
