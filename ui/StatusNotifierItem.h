// The tray item: a StatusNotifierItem on the session bus with its menu over com.canonical.dbusmenu,
// written directly on GDBus. The desktop's StatusNotifierWatcher shows it; where none runs there is
// no tray (one log line), and the item registers when a watcher appears later. Main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace ui {

class StatusNotifierItem {
 public:
  struct Callbacks {
    std::function<void()> showWindow;   // the item activated, or "Show ProxyHost"
    std::function<void()> toggleProxy;  // the "System proxy" check item
    std::function<void()> quit;         // "Quit"
  };
  // Nothing when there is no session bus.
  static std::unique_ptr<StatusNotifierItem> start(const std::string& id, const std::string& title,
                                                   Callbacks callbacks);
  virtual ~StatusNotifierItem() = default;
  // The icon and the check item follow whether the system proxy is on.
  virtual void setProxyOn(bool on) = 0;
};

}  // namespace ui
