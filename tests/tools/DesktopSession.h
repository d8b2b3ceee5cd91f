// A desktop user's session for the tests, never this machine's own: a temporary home with its own
// XDG folders, a private D-Bus session bus (dconf activated on it) and a KDE configuration, and the
// readers GTK and KDE applications use: GLib's proxy resolver with glib-networking's GNOME module,
// and kreadconfig5.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "tests/support/TestSupport.h"
#include "tests/tools/ToolProcess.h"

namespace tools_testing {

class DesktopSession {
 public:
  // For this process's own user, with the bus at <home>/runtime/bus; or, with `user` (as root, in a
  // mount namespace where /run/user is the test's), for that user with the bus at /run/user/UID/bus
  // and `home` as the home its password entry names.
  DesktopSession();
  DesktopSession(uid_t user, const std::string& home);
  ~DesktopSession();

  // The session's variables, as its applications have them; PKEXEC_UID and SUDO_UID removed.
  const Environment& environment() const { return environment_; }
  // GLib's answer for `url`: the proxies, space-separated ("direct://" for none).
  std::string lookup(const std::string& url) const;
  // KDE's reader: kioslaverc's [Proxy Settings] KEY.
  std::string kde(const std::string& key) const;
  // Runs `gsettings ARGS` in the session (the user changing their own settings).
  void gsettings(std::vector<std::string> args) const;
  // Every org.gnome.system.proxy setting, as gsettings lists them.
  std::string gnomeProxySettings() const;
  std::string configFile(const std::string& name) const { return home_ + "/.config/" + name; }
  // What the session's applications see for a few URLs (proxied, SOCKS-only, bypassed), and what
  // KDE's reader sees, as one text to compare before and after.
  std::string proxyView() const;
  // The user's own corporate proxy in both desktops, set before the client touches anything.
  void useOwnProxy() const;
  // Expects the client's proxy as the tests set it: 127.0.0.1 port 7890 for web and secure web,
  // 7891 for SOCKS, bypassing intranet, *.local and localhost.
  void expectClientProxy() const;
  // Runs a process in the session: its variables, as its user.
  ToolOptions asUser() const;
  // The session bus: ended as at log-out (dconf goes with it), started again as at the next log-in,
  // or its daemon's pid for SIGSTOP and SIGCONT.
  void stopBus();
  void startBus();
  pid_t busPid() const { return bus_->pid(); }

 private:
  void start();

  std::unique_ptr<testing_support::TempDir> dir_;
  std::optional<uid_t> user_;
  std::string home_;
  Environment environment_;
  std::unique_ptr<ToolProcess> bus_;
};

}  // namespace tools_testing
