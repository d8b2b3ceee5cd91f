// The main interface file: the application delegate and the main window with its initial frame.
#include <memory>

#include "app/AppDelegate.h"
#include "app/MainFlutterWindow.h"
#include "platform/appkit/NSNib.h"

namespace {

const NSNibRegistration mainMenu{NSNibDescription{
    .name = "MainMenu",
    .makeDelegate = [] { return std::make_shared<AppDelegate>(); },
    .windows = {{
        .make = NSNibWindowOf<MainFlutterWindow>,
        .contentRect = NSMakeRect(335, 390, 1100, 720),
        .title = "ProxyHost",
        .visibleAtLaunch = true,
    }},
}};

}  // namespace
