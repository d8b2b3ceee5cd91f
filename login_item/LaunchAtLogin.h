// Launch at login: whether the application starts when the user logs in.
//
// The state is kept by the platform's login-item registry and nowhere else: every read asks the
// registry, every write changes it and then tells the observers, in this order: the shared
// Observable's objectWillChange, the KVO object's will-change for "isEnabled", the registry
// change, the did-change, and publisher() gets the value that was asked for (also when the
// registry refused it, which is only logged). Every write does all of this, whatever face it came
// through and also when the value does not change.
//
// On macOS 13 and later the application is its own login item (SMAppService::mainAppService());
// before, a helper application inside the bundle, "<bundle identifier>-LaunchAtLoginHelper", is
// switched with the legacy calls. Without a bundle identifier there is no helper to name: the
// legacy path then reads false and changes nothing.
//
// Synchronous, on the caller's thread; the channel handler and the toggle view use the main
// thread. The shared objects are made once, on first use, safely from any thread.
#pragma once

#include <memory>

#include "platform/combine/Combine.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/NSKeyValueObserving.h"

namespace LaunchAtLogin {

bool isEnabled();
void setIsEnabled(bool newValue);

// Subscribers get the value at once, then every value written.
const Combine::AnyPublisher<bool, Combine::Never>& publisher();

// For the declarative user interface (LaunchAtLogin::Toggle observes it).
class Observable : public Combine::ObservableObject {
 public:
  bool isEnabled() const;
  // Writes LaunchAtLogin's state, which announces the change on the shared instance.
  void setIsEnabled(bool newValue);
};
const std::shared_ptr<Observable>& observable();

// For key-value observing, under the key "isEnabled".
class KVO : public NSObject {
 public:
  bool isEnabled() const;
  void setIsEnabled(bool newValue);
  std::any valueForKey(const std::string& key) const override;
};
const std::shared_ptr<KVO>& kvo();

// Moves a login item made the legacy way to the modern form, once per user: on macOS 13 and
// later, the first call marks the migration done (the user default "LaunchAtLogin__hasMigrated"),
// registers the application when the legacy item was on, and removes the legacy item.
void migrateIfNeeded();

// Serves the "launch_at_startup" channel: "launchAtStartupIsEnabled" answers the state,
// "launchAtStartupSetEnabled" writes {"setEnabledValue": Boolean} and answers nothing, also when the
// registry refused the change (that is logged only).
void handleLaunchAtStartupCall(const FlutterMethodCall& call, FlutterResult result);

}  // namespace LaunchAtLogin
