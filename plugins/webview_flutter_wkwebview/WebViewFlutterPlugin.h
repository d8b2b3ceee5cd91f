// Native half of the webview_flutter_wkwebview plug-in.
#pragma once

#include "plugins/StandInPlugin.h"

class WebViewFlutterPlugin final : public SwiftStandInPlugin<WebViewFlutterPlugin> {
 public:
  static constexpr std::string_view kChannelName = "webview_flutter_wkwebview";
};
