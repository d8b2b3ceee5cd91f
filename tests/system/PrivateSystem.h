// A machine of the test's own, for whole-process tests of a desktop user with a real polkit: in a
// private mount namespace, a test user on copies of /etc/passwd and /etc/group, a system bus on a
// private /run/dbus, polkitd with a rule that approves or denies that user, that user's session bus
// with dconf and a KDE configuration, and python3-dbusmock's NetworkManager and logind on the system
// bus. Needs root. The machine's own /run, buses, polkit rules and settings are never touched.
//
// The calling thread enters the namespace for the fixture's lifetime, so everything it starts lives
// in that world (setuid pkexec included, which ignores DBUS_SYSTEM_BUS_ADDRESS and talks to
// /run/dbus/system_bus_socket). When it ends, every process of the test user or of the namespace is
// killed, the thread returns to the machine's namespace and the mounts go with the private one; a
// test process that dies without its teardown leaves a reaper that kills the same set. Threads
// started on the same thread meanwhile share its file-system view and keep the namespace until the
// process ends. docs/system-tests.md tells more.
//
//   PrivateSystem system({.answer = PolkitAnswer::deny});
//   ASSERT_TRUE(system.ready()) << system.problem();
//   system.addEthernet("eth0");
//   auto result = runTool({"/usr/bin/pkexec", "/usr/bin/id", "-u"}, system.asUser());
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/tools/DesktopSession.h"
#include "tests/tools/ToolProcess.h"

namespace system_testing {

// approve and deny answer at once; authenticate asks for the user's own password through an
// authentication agent and keeps the answer for a while (AUTH_ADMIN_KEEP), the test user being a
// polkit administrator with kPassword.
enum class PolkitAnswer { approve, deny, authenticate };

// The test user's password, with PolkitAnswer::authenticate.
inline constexpr const char* kPassword = "proxyhost-secret";

struct PrivateSystemOptions {
  // What the rule answers the test user for the actions below; polkit's own defaults answer others.
  PolkitAnswer answer = PolkitAnswer::approve;
  // The action ids the rule answers; empty: every action.
  std::vector<std::string> actionIds = {};
  // Action files (.policy) that polkitd reads beside the machine's own actions.
  std::vector<std::string> actionFiles = {};
  // A Debian package installed in this system only: extracted into a private root whose /usr and
  // /etc folders are laid, read-only, over the machine's, so its files appear in place. Empty: none.
  std::string package = {};
};

class PrivateSystem {
 public:
  explicit PrivateSystem(PrivateSystemOptions options = {});
  ~PrivateSystem();
  PrivateSystem(const PrivateSystem&) = delete;
  PrivateSystem& operator=(const PrivateSystem&) = delete;

  // True once every part serves; otherwise problem() says which part failed and why.
  bool ready() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }
  // How long the constructor took to bring the whole world up.
  std::chrono::milliseconds startUpTime() const { return startUpTime_; }

  uid_t uid() const { return uid_; }
  const std::string& userName() const { return userName_; }
  const std::string& home() const { return home_; }
  tools_testing::DesktopSession& desktop() { return *desktop_; }

  // Runs a process as the test user in its session (HOME, USER, XDG_RUNTIME_DIR,
  // DBUS_SESSION_BUS_ADDRESS, ...), with `extra` on top; the system bus is the private one.
  tools_testing::ToolOptions asUser(tools_testing::Environment extra = {}) const;

  // Rewrites the rule to give `answer` from now on, and waits until polkitd decides by it (for
  // approve and deny).
  void answer(PolkitAnswer answer);

  // A real authentication agent on polkit's agent library (tests/system/PolkitTestAgent.cpp), as the
  // test user on a pseudo-terminal of its own, registered for process `subject` as a desktop's agent
  // would be for the user's session. It shows the request's message and "Password: ", and says how
  // the request ended ("==== AUTHENTICATION COMPLETE ====", FAILED or CANCELED).
  class Agent {
   public:
    Agent(const PrivateSystem& system, pid_t subject);
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;
    bool registered() const { return registered_; }
    // Waits until the terminal shows `text` after what earlier waits consumed; false on timeout.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout);
    // Types a line at the password prompt, once the agent reads it (echo off).
    void type(const std::string& line);
    // The user's Cancel at the prompt (Ctrl-C on the agent's terminal): polkit takes the request as
    // dismissed, as it does a dialog's Cancel.
    void cancel();
    // Everything the terminal showed so far.
    const std::string& screen() const { return screen_; }

   private:
    pid_t pid_ = -1;
    int terminal_ = -1;
    bool registered_ = false;
    std::string screen_;
    size_t consumed_ = 0;
  };

  // Adds an activated device to the NetworkManager mock through its own methods; its object path.
  std::string addEthernet(const std::string& interface);
  std::string addWiFi(const std::string& interface);
  // The logind mock announces power-off: PrepareForShutdown(true).
  void announcePowerOff();
  // The logind mock's inhibitor locks as "WHAT WHO MODE", one per held lock.
  std::vector<std::string> inhibitors();

  // Every live process of the test user or of the namespace, and their descendants: what the end
  // of the fixture kills.
  std::vector<pid_t> processes() const;

 private:
  struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
  };

  void start(const PrivateSystemOptions& options);
  bool fail(const std::string& what);
  bool mountPrivate(const char* source, const std::string& target, const char* type, unsigned long flags,
                    const std::string& data = {});
  bool addUser();
  bool addPassword();
  bool installPackage(const std::string& package);
  bool writePolkitRules(const PrivateSystemOptions& options);
  bool writeRule(PolkitAnswer answer);
  bool bindPolkitActions(const std::vector<std::string>& actionFiles);
  bool startSystemBus();
  bool waitForName(const std::string& name, tools_testing::ToolProcess& daemon, const std::string& log);
  std::string addDevice(const char* method, const std::string& prefix, const std::string& interface);
  bool startReaper();

  std::string problem_;
  std::chrono::milliseconds startUpTime_{0};
  testing_support::TempDir root_;
  int machineNamespace_ = -1;
  int workingFolder_ = -1;
  std::vector<std::string> actionIds_;
  std::string privateNamespace_;  // empty until the calling thread has a namespace of its own
  uid_t uid_ = 0;
  std::string userName_;
  std::string home_;
  std::unique_ptr<tools_testing::ToolProcess> systemBus_;
  std::unique_ptr<sd_bus, BusCloser> bus_;
  std::unique_ptr<tools_testing::ToolProcess> polkitd_;
  std::unique_ptr<tools_testing::ToolProcess> networkManager_;
  std::unique_ptr<tools_testing::ToolProcess> logind_;
  std::unique_ptr<tools_testing::DesktopSession> desktop_;
  int devices_ = 0;
};

}  // namespace system_testing
