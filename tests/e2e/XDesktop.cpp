#include "tests/e2e/XDesktop.h"

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <sstream>

namespace testing_support {

namespace {

using namespace std::chrono_literals;

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

std::map<std::string, std::string> desktopSessionEnvironment(const std::string& home, const std::string& backend) {
  std::filesystem::create_directories(home + "/runtime");
  ::chmod((home + "/runtime").c_str(), 0700);
  return {
      {"HOME", home},
      {"XDG_RUNTIME_DIR", home + "/runtime"},
      {"XDG_CONFIG_HOME", home + "/.config"},
      {"XDG_DATA_HOME", home + "/.local/share"},
      {"PROXYHOST_HEADLESS", "0"},
      {"GDK_BACKEND", backend},
      {"GDK_DEBUG", "gl-disable"},
      {"GSK_RENDERER", "cairo"},
  };
}

std::unique_ptr<ChildProcess> startSessionBus(const std::string& folder, std::string* address, std::string* failure) {
  std::filesystem::create_directories(folder);
  const std::string socket = folder + "/socket";
  auto bus =
      std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork",
                                                              "--print-address=1", "--address=unix:path=" + socket},
                                     std::map<std::string, std::string>{}, folder);
  if (!eventually([&] { return !bus->standardOutput().empty(); }, 15s)) {
    *failure = "the session bus did not start: " + bus->standardError();
    return nullptr;
  }
  *address = "unix:path=" + socket;
  return bus;
}

XDesktop::XDesktop(Accessibility accessibility) {
  environment_ = desktopSessionEnvironment(dir_.file("home"), "x11");
  std::filesystem::create_directories(dir_.file("x"));
  std::filesystem::create_directories(dir_.file("wm"));

  // -displayfd: the server takes the first free display number and writes it to its output.
  server_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1600x1000x24", "-nolisten", "tcp"},
      std::map<std::string, std::string>{}, dir_.file("x"));
  if (!eventually([&] { return server_->standardOutput().find('\n') != std::string::npos; }, 15s)) {
    failure_ = "Xvfb did not start: " + server_->standardError();
    return;
  }
  environment_["DISPLAY"] = ":" + firstLine(server_->standardOutput());
  environment_["WAYLAND_DISPLAY"] = "";
  // No accessibility bus in this desktop: GTK would look for one and say so on every start.
  environment_["GTK_A11Y"] = "none";
  environment_["NO_AT_BRIDGE"] = "1";
  std::string address;
  bus_ = startSessionBus(dir_.file("bus"), &address, &failure_);
  if (!bus_) return;
  environment_["DBUS_SESSION_BUS_ADDRESS"] = address;
  if (accessibility == Accessibility::on) {
    environment_.erase("GTK_A11Y");
    environment_.erase("NO_AT_BRIDGE");
    std::filesystem::create_directories(dir_.file("a11y"));
    accessibilityBus_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher"},
                                                       environment_, dir_.file("a11y"));
    // Ready once it owns its name on the session bus.
    if (!eventually(
            [&] {
              return tool({"/usr/bin/gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                           "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner", "org.a11y.Bus"})
                         .find("true") != std::string::npos;
            },
            15s)) {
      failure_ = "the accessibility bus did not start: " + accessibilityBus_->standardError();
      return;
    }
  }
  // On a loaded machine openbox can take a while to take over the screen, and now and then it ends
  // at once with status 1 and nothing said; a window manager that ended is started again.
  bool managed = false;
  for (int attempt = 0; attempt < 3 && !managed; ++attempt) {
    windowManager_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/openbox", "--sm-disable"},
                                                    environment_, dir_.file("wm"));
    managed = eventually(
                  [&] {
                    return tool({"/usr/bin/wmctrl", "-m"}).find("Name:") != std::string::npos ||
                           windowManager_->wait(0s).has_value();
                  },
                  30s) &&
              !windowManager_->wait(0s).has_value();
  }
  if (!managed) {
    auto ended = windowManager_->wait(0s);
    failure_ = "the window manager did not start on " + environment_["DISPLAY"] +
               (ended ? " (it ended, status " + std::to_string(*ended) + ")" : " (it still runs)") + ": " +
               windowManager_->standardError();
  }
}

XDesktop::~XDesktop() {
  // Politely, so the X server removes its lock and socket.
  for (auto* process : {&accessibilityBus_, &windowManager_, &bus_, &server_}) {
    if (*process) {
      (*process)->signal(SIGTERM);
      (*process)->wait(5s);
    }
  }
}

std::string XDesktop::tool(const std::vector<std::string>& argv) const {
  static std::atomic<int> serial{0};
  const std::string out = dir_.file("tool-" + std::to_string(serial++));
  std::filesystem::create_directories(out);
  ChildProcess run(argv, environment_, out);
  auto status = run.wait(20s);
  std::string output = run.standardOutput();
  std::filesystem::remove_all(out);
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return "";
  return output;
}

bool XDesktop::destroyWindow(const std::string& window) const {
  Display* display = XOpenDisplay(environment_.at("DISPLAY").c_str());
  if (display == nullptr) return false;
  XDestroyWindow(display, std::stoul(window));
  XSync(display, False);
  XCloseDisplay(display);
  return true;
}

std::vector<std::string> XDesktop::shownWindows(const std::string& title) const {
  std::vector<std::string> windows;
  std::istringstream lines(tool({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) windows.push_back(line);
  }
  return windows;
}

std::string XDesktop::focusedWindowName() const {
  return firstLine(tool({"/usr/bin/xdotool", "getactivewindow", "getwindowname"}));
}

std::optional<WindowGeometry> XDesktop::geometry(const std::string& window) const {
  std::istringstream lines(tool({"/usr/bin/xdotool", "getwindowgeometry", "--shell", window}));
  WindowGeometry g;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("WIDTH=")) g.width = std::stoi(line.substr(6));
    if (line.starts_with("HEIGHT=")) g.height = std::stoi(line.substr(7));
  }
  if (g.width == 0 || g.height == 0) return std::nullopt;
  return g;
}

void XDesktop::closeWindow(const std::string& title) const { tool({"/usr/bin/wmctrl", "-F", "-c", title}); }

void XDesktop::pressKeys(const std::vector<std::string>& keys) const {
  std::vector<std::string> argv = {"/usr/bin/xdotool", "key", "--clearmodifiers"};
  argv.insert(argv.end(), keys.begin(), keys.end());
  tool(argv);
}

void XDesktop::stopDisplay() {
  server_->signal(SIGTERM);
  server_->wait(10s);
}

bool XDesktop::screenshot(const std::string& window, const std::string& path) const {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::filesystem::remove(path);
  tool({"/usr/bin/import", "-window", window, path});
  return std::filesystem::exists(path);
}

int XDesktop::colourCount(const std::string& png) const {
  std::string count = tool({"/usr/bin/convert", png, "-format", "%k", "info:"});
  return count.empty() ? 0 : std::stoi(count);
}

std::string XDesktop::textIn(const std::string& png, int x, int y, int width, int height) const {
  const std::string crop = dir_.file("ocr.png");
  std::ostringstream area;
  area << width << "x" << height << "+" << x << "+" << y;
  // Enlarged and grey: the OCR reads screen-sized type poorly as it is.
  tool({"/usr/bin/convert", png, "-crop", area.str(), "+repage", "-resize", "300%", "-colorspace", "Gray", crop});
  std::string text = tool({"/usr/bin/tesseract", crop, "-", "--psm", "6"});
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

}  // namespace testing_support
