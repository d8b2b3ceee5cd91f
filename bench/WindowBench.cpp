// The host with its window, on an X server of the bench's own (Xvfb, openbox, a private session
// bus): how long from exec until the window is mapped and until the engine link serves, with the
// built-in Flutter side, against the headless start and against the view that shows only its text
// (the host without ui/, PlainView.app) in the same run; and an unrelated engine-link call's round
// trip while the window is being resized (so laid out and redrawn) as a drag of its corner does,
// sixty new sizes a second, while the latency page tests 200 targets again and again (Ctrl+T), and
// while a privileged change from the window waits (Ctrl+Shift+P, its networksetup run held at the
// state folder's lock as a password prompt would hold it), against the same calls with the window
// idle.
//
//   window_bench [STARTS] [SECONDS]        (10 starts of each, 3 s of calls each way by default)
//
// GTK draws with OpenGL by default, on this machine's Xvfb through Mesa's software renderer;
// GSK_RENDERER=cairo in the bench's environment measures GTK's software renderer instead.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/flutter/FlutterCodecs.h"
#include "tests/e2e/XDesktop.h"
#include "tests/support/TestSupport.h"
#include "tools/networksetup/RunLog.h"
#include "tools/networksetup/StateFolder.h"
#include "tools/proxyhostctl/LinkClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::XDesktop;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The viewable top-level window titled `title` (under the window manager's frame), or 0.
Window findShown(Display* display, Window under, const std::string& title, int depth = 0) {
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, under, &root, &parent, &children, &count)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable) continue;
    char* name = nullptr;
    if (XFetchName(display, children[i], &name) && name != nullptr) {
      if (title == name) found = children[i];
      XFree(name);
    }
    if (found == 0 && depth < 2) found = findShown(display, children[i], title, depth + 1);
  }
  if (children != nullptr) XFree(children);
  return found;
}

struct Start {
  double mapped = -1, serving = -1;
};

// One start of `binary`: exec to mapped window (when `windowed`) and exec to engine-link hello.
Start startOnce(XDesktop& desktop, Display* display, bool windowed, const std::string& dir,
                const std::string& binary = PROXYHOST_BIN) {
  const std::string socket = dir + "/engine.sock";
  std::filesystem::remove(socket);
  auto env = desktop.environment();
  env["PROXYHOST_ENGINE_SOCKET"] = socket;
  env["XDG_STATE_HOME"] = dir + "/state";
  env["PROXYHOST_HEADLESS"] = windowed ? "0" : "1";
  Start result;
  const auto start = Clock::now();
  ChildProcess host({binary}, env, dir);
  while (msSince(start) < 20000 && (result.serving < 0 || (windowed && result.mapped < 0))) {
    if (result.serving < 0 && enginelink::LinkClient::connect(socket, 5s)) result.serving = msSince(start);
    if (windowed && result.mapped < 0 && findShown(display, DefaultRootWindow(display), "ProxyHost") != 0) {
      result.mapped = msSince(start);
    }
    std::this_thread::sleep_for(200us);
  }
  host.signal(SIGKILL);
  host.wait(5s);
  return result;
}

// Round trips of an unrelated call (a plug-in channel that answers not-implemented at once), one
// every millisecond for `seconds`, as a Flutter side that keeps talking would send them.
std::vector<double> roundTrips(enginelink::LinkClient& client, double seconds) {
  const auto call = StandardMethodCodec::getInstance().encodeMethodCall({"ping", EncodableValue()});
  std::vector<double> times;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  auto next = Clock::now();
  while (Clock::now() < end) {
    std::this_thread::sleep_until(next);
    next += 1ms;
    const auto start = Clock::now();
    if (auto reply = client.call("window_manager", call, 10s); !reply) {
      std::fprintf(stderr, "call failed: %s\n", reply.error().message().c_str());
      break;
    }
    times.push_back(msSince(start));
  }
  return times;
}

void printStarts(const char* what, const std::vector<double>& ms) {
  std::printf("  %-34s median %7.1f ms   worst %7.1f ms\n", what, percentile(ms, 0.5), percentile(ms, 1.0));
}

void printTrips(const char* what, const std::vector<double>& ms) {
  std::printf("  %-34s p50 %6.3f ms   p99 %6.3f ms   worst %6.3f ms   (%zu calls)\n", what, percentile(ms, 0.5),
              percentile(ms, 0.99), percentile(ms, 1.0), ms.size());
}

}  // namespace

int main(int argc, char* argv[]) {
  const int starts = argc > 1 ? std::atoi(argv[1]) : 10;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3;
  XDesktop desktop;
  if (!desktop.ready()) {
    std::fprintf(stderr, "no desktop for the bench: %s\n", desktop.failure().c_str());
    return 1;
  }
  // Windows come and go while findShown walks the tree (a host of the last start still unmapping):
  // a window gone between two requests is not there, where Xlib's default handler would end the bench.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  Display* display = XOpenDisplay(desktop.environment().at("DISPLAY").c_str());
  if (display == nullptr) return 1;
  const std::string dir = desktop.dir().file("bench");
  std::filesystem::create_directories(dir);

  std::vector<double> headlessServing, windowedServing, windowedMapped, plainServing, plainMapped;
  for (int i = 0; i < starts; ++i) {
    Start headless = startOnce(desktop, display, false, dir);
    Start windowed = startOnce(desktop, display, true, dir);
    Start plain = startOnce(desktop, display, true, dir, PLAIN_VIEW_HOST);
    if (headless.serving >= 0) headlessServing.push_back(headless.serving);
    if (windowed.serving >= 0) windowedServing.push_back(windowed.serving);
    if (windowed.mapped >= 0) windowedMapped.push_back(windowed.mapped);
    if (plain.serving >= 0) plainServing.push_back(plain.serving);
    if (plain.mapped >= 0) plainMapped.push_back(plain.mapped);
  }
  std::printf("Start (%d runs of each, alternating):\n", starts);
  printStarts("headless: exec to serving", headlessServing);
  printStarts("text-only view: exec to serving", plainServing);
  printStarts("text-only view: exec to mapped", plainMapped);
  printStarts("built-in side: exec to serving", windowedServing);
  printStarts("built-in side: exec to mapped", windowedMapped);
  std::printf("  ratio built-in/text-only to mapped window: %.2f; built-in/headless to serving: %.2f\n",
              percentile(windowedMapped, 0.5) / percentile(plainMapped, 0.5),
              percentile(windowedServing, 0.5) / percentile(headlessServing, 0.5));

  // The round trips' host has 200 latency targets, loopback ports nothing listens on: each answered at once, so a test
  // is a burst of 200 calls and 200 row updates.
  {
    std::string targets = "[Latency]\ntargets=";
    for (int port = 20000; port < 20200; ++port) targets += "127.0.0.1:" + std::to_string(port) + ";";
    const std::string folder = desktop.environment().at("XDG_CONFIG_HOME") + "/" + "net.proxyhost.client";
    std::filesystem::create_directories(folder);
    FILE* file = std::fopen((folder + "/interface.conf").c_str(), "w");
    std::fprintf(file, "%s\ntimeoutMs=1000\n", targets.c_str());
    std::fclose(file);
  }

  // One host for the round trips.
  const std::string socket = dir + "/engine.sock";
  std::filesystem::remove(socket);
  auto env = desktop.environment();
  env["PROXYHOST_ENGINE_SOCKET"] = socket;
  env["XDG_STATE_HOME"] = dir + "/state";
  // The bench runs as root, so the host's administrator runs need no prompt; networksetup acts in
  // its simulated world, in a folder of the bench's, and never on this machine's desktop.
  const std::string stateFolder = dir + "/networksetup";
  std::filesystem::create_directories(stateFolder);
  env["NETWORKSETUP_STATE_DIR"] = stateFolder;
  env["NETWORKSETUP_WORLD"] = "simulated";
  ChildProcess host({PROXYHOST_BIN}, env, dir);
  std::string error;
  std::unique_ptr<enginelink::LinkClient> client;
  for (int i = 0; i < 2000 && !client; ++i) {
    auto connected = enginelink::LinkClient::connect(socket, 5s);
    if (connected) {
      client = std::move(*connected);
    } else {
      error = connected.error().message();
      std::this_thread::sleep_for(5ms);
    }
  }
  Window window = 0;
  for (int i = 0; i < 2000 && window == 0; ++i) {
    window = findShown(display, DefaultRootWindow(display), "ProxyHost");
    if (window == 0) std::this_thread::sleep_for(5ms);
  }
  if (!client || window == 0) {
    std::fprintf(stderr, "the host did not come up: %s\n", error.c_str());
    return 1;
  }
  roundTrips(*client, 0.2);  // warm-up
  std::vector<double> idle = roundTrips(*client, seconds);

  // A privileged change from the window that cannot finish while the calls run: every networksetup
  // run takes the state folder's lock first, and the bench holds it, so the change waits on the
  // privileged queue with its spinner turning, as it would at the password prompt. A run logs
  // itself only once it has the lock, so the log tells that the change waited and then finished.
  const std::string runLog = stateFolder + "/" + networksetup::kRunLogFileName;
  auto switchedOn = [&] { return testing_support::readFile(runLog).find(",\"on\"]") != std::string::npos; };
  std::vector<double> prompting;
  bool heldUntilLetGo = false, finishedAfter = false;
  {
    const std::string lockPath = stateFolder + "/" + networksetup::kLockFileName;
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
      std::fprintf(stderr, "the state folder's lock could not be taken: %s\n", lockPath.c_str());
      return 1;
    }
    desktop.pressKeys({"ctrl+shift+p"});
    prompting = roundTrips(*client, seconds);
    heldUntilLetGo = !switchedOn();
    ::close(lock);
    finishedAfter = testing_support::eventually(switchedOn, 20s);
  }

  std::atomic<bool> resizing{true};
  std::atomic<int> resizes{0};
  std::thread resizer([&] {
    // A display connection of its own: Xlib connections are not shared between threads here.
    Display* own = XOpenDisplay(desktop.environment().at("DISPLAY").c_str());
    for (int i = 0; resizing; ++i) {
      XResizeWindow(own, window, 700 + (i % 40) * 10, 500 + (i % 30) * 10);
      XSync(own, False);
      ++resizes;
      // A drag of the window's corner: one new size a frame.
      std::this_thread::sleep_for(16ms);
    }
    XCloseDisplay(own);
  });
  std::vector<double> busy = roundTrips(*client, seconds);
  resizing = false;
  resizer.join();

  // The latency page tests its 200 targets, again every 100 ms, while the calls run.
  std::atomic<bool> testing{true};
  std::atomic<int> tests{0};
  std::thread tester([&] {
    while (testing) {
      desktop.pressKeys({"ctrl+t"});
      ++tests;
      std::this_thread::sleep_for(100ms);
    }
  });
  std::vector<double> pinging = roundTrips(*client, seconds);
  testing = false;
  tester.join();

  std::printf("Engine-link round trip of an unrelated call:\n");
  printTrips("window idle", idle);
  printTrips("window resized at 60 Hz", busy);
  printTrips("latency page testing 200 targets", pinging);
  printTrips("privileged change waiting", prompting);
  std::printf(
      "  the change waited until the lock was let go: %s, then finished: %s; ratio to idle of p99 %.2f, "
      "of worst %.2f\n",
      heldUntilLetGo ? "yes" : "no", finishedAfter ? "yes" : "no", percentile(prompting, 0.99) / percentile(idle, 0.99),
      percentile(prompting, 1.0) / percentile(idle, 1.0));
  std::printf("  %d tests of 200 targets during the calls\n", tests.load());
  std::printf("  %d resizes during the calls; ratio of p99 %.2f, of worst %.2f\n", resizes.load(),
              percentile(busy, 0.99) / percentile(idle, 0.99), percentile(busy, 1.0) / percentile(idle, 1.0));
  host.signal(SIGKILL);
  host.wait(5s);
  XCloseDisplay(display);
  return 0;
}
