// A desktop of the test's own for whole-process window tests, never this machine's: an X server
// (Xvfb, on a display number it picks itself), a small window manager (openbox) and a private
// D-Bus session bus, with a temporary home. It reads the screen as a person would: which windows
// are shown, which has the focus, screenshots and the text in them.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/HostProcess.h"

namespace testing_support {

// What every application in a private desktop session of a test has, on X or on Wayland: the
// temporary `home` and its XDG folders (the runtime folder made, 0700), PROXYHOST_HEADLESS cleared so
// the host uses the display, GDK's `backend` ("x11", "wayland"), and no OpenGL: GDK's probe would
// load the machine's Mesa driver into every GTK process started here (also a second instance that
// only reaches the first), and what it draws and leaks then depends on that driver's version. The
// window is drawn with cairo, as on a machine without GL. The display and the bus are the caller's.
std::map<std::string, std::string> desktopSessionEnvironment(const std::string& home, const std::string& backend);

// A private session bus listening on `folder`/socket: the started daemon, and once it serves its
// address in `address`; nothing when it did not come up (the daemon's words in `failure`).
std::unique_ptr<ChildProcess> startSessionBus(const std::string& folder, std::string* address, std::string* failure);

struct WindowGeometry {
  int width = 0, height = 0;
};

class XDesktop {
 public:
  // With accessibility, the desktop runs an accessibility bus (at-spi-bus-launcher) on its session
  // bus, and applications expose their widgets there, as for a screen reader.
  enum class Accessibility { off, on };
  explicit XDesktop(Accessibility accessibility = Accessibility::off);
  ~XDesktop();
  XDesktop(const XDesktop&) = delete;
  XDesktop& operator=(const XDesktop&) = delete;

  // False, with the reason in failure(), when the X server, the window manager or the bus did not
  // come up.
  bool ready() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

  // What an application started in this desktop has: DISPLAY, the session bus, the home and its
  // XDG folders; PROXYHOST_HEADLESS cleared so the host uses the display.
  const std::map<std::string, std::string>& environment() const { return environment_; }
  const TempDir& dir() const { return dir_; }

  // Runs an X tool in this desktop and returns its standard output ("" when it failed).
  std::string tool(const std::vector<std::string>& argv) const;

  // The shown (mapped) top-level windows named exactly `title`.
  std::vector<std::string> shownWindows(const std::string& title) const;
  // The name of the window that has the focus, as the window manager reports it.
  std::string focusedWindowName() const;
  std::optional<WindowGeometry> geometry(const std::string& window) const;
  // Asks the window manager to close `title`'s window, as its close button does.
  void closeWindow(const std::string& title) const;
  // Destroys `window` as another X client may (XDestroyWindow), behind its owner's and the window
  // manager's back; true once the X server has done it.
  bool destroyWindow(const std::string& window) const;
  // Presses keys one after the other (xdotool's names: "ctrl+q", "F10", "Down") in the focused window.
  void pressKeys(const std::vector<std::string>& keys) const;

  // Stops the X server, as the end of a desktop session without a session manager does.
  void stopDisplay();

  // Writes a PNG of `window` to `path`; false when it could not.
  bool screenshot(const std::string& window, const std::string& path) const;
  // How many distinct colours the image has: 1 for a blank (single-colour) picture.
  int colourCount(const std::string& png) const;
  // The text in the rectangle of `png` (an OCR reading, lines joined by blanks).
  std::string textIn(const std::string& png, int x, int y, int width, int height) const;

 private:
  TempDir dir_;
  std::string failure_;
  std::map<std::string, std::string> environment_;
  std::unique_ptr<ChildProcess> server_, bus_, windowManager_, accessibilityBus_;
};

}  // namespace testing_support
