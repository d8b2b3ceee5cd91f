#include "tests/system/PrivateSystem.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/system/ProcessSweep.h"

namespace system_testing {

namespace {

using namespace std::chrono_literals;
using tools_testing::Environment;
using tools_testing::ToolProcess;

constexpr const char* kUserName = "proxyhost-tester";
// Test users get a uid from here on; a random start keeps two fixtures of parallel test runs apart.
constexpr uid_t kFirstUid = 47231;
constexpr uid_t kUidRange = 4000;
constexpr const char* kSystemSocket = "unix:path=/run/dbus/system_bus_socket";
constexpr const char* kPolkitd = "/usr/lib/polkit-1/polkitd";
constexpr const char* kMachineActions = "/usr/share/polkit-1/actions";
constexpr const char* kNetworkManager = "org.freedesktop.NetworkManager";
// The template serves its own methods (AddEthernetDevice, ...) on its main object.
constexpr const char* kNetworkManagerMock = "/org/freedesktop";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";
constexpr uint32_t kDeviceActivated = 100;  // NMDeviceState

// The system bus of Debian with its system.d policies, plus what the mocks need: root may own their
// names and everyone may call them, as the real services' own policy files would allow.
constexpr const char* kSystemBusConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>/usr/share/dbus-1/system.conf</include>
  <policy user="root">
    <allow own="org.freedesktop.NetworkManager"/>
    <allow own="org.freedesktop.login1"/>
  </policy>
  <policy context="default">
    <allow send_destination="org.freedesktop.NetworkManager"/>
    <allow send_destination="org.freedesktop.login1"/>
  </policy>
</busconfig>
)";

// Daemons find the private system bus at its default place; nothing of the caller's may redirect them.
const Environment kDaemonEnvironment = {{"DBUS_SYSTEM_BUS_ADDRESS", std::nullopt},
                                        {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                                        {"PYTHONPATH", std::nullopt},
                                        {"PYTHONHOME", std::nullopt}};

std::string errnoText(const std::string& call) { return call + ": " + std::strerror(errno); }

bool uidIsFree(uid_t uid) { return getpwuid(uid) == nullptr && getgrgid(uid) == nullptr && !uidRunsProcesses(uid); }

// Polkit action ids are dotted names of letters, digits and dashes; anything else in a rule's
// string literal would be a script injection, not an id.
bool isActionId(const std::string& id) {
  return !id.empty() &&
         id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") == std::string::npos;
}

bool writeFile(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream(path) << content;
  return ::chmod(path.c_str(), mode) == 0 && testing_support::readFile(path) == content;
}

}  // namespace

PrivateSystem::PrivateSystem(PrivateSystemOptions options) {
  const auto began = std::chrono::steady_clock::now();
  start(options);
  startUpTime_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
}

bool PrivateSystem::fail(const std::string& what) {
  if (problem_.empty()) problem_ = what;
  return false;
}

void PrivateSystem::start(const PrivateSystemOptions& options) {
  if (geteuid() != 0) {
    fail("a private system needs root (mount namespaces, a system bus, setuid pkexec)");
    return;
  }
  for (const char* needed : {"/usr/bin/dbus-daemon", kPolkitd, "/usr/bin/pkexec", "/usr/bin/python3",
                             "/usr/lib/python3/dist-packages/dbusmock"}) {
    if (::access(needed, F_OK) != 0) {
      fail(std::string(needed) + " is missing: run scripts/install-deps.sh");
      return;
    }
  }
  // The user must reach its home below this folder.
  if (::chmod(root_.path().c_str(), 0755) != 0) {
    fail(errnoText("chmod " + root_.path()));
    return;
  }
  machineNamespace_ = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  workingFolder_ = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  const std::string machine = mountNamespaceOf(0);
  if (machineNamespace_ < 0 || workingFolder_ < 0 || ::unshare(CLONE_NEWNS) != 0) {
    fail(errnoText("entering a mount namespace"));
    return;
  }
  privateNamespace_ = mountNamespaceOf(0);
  if (privateNamespace_.empty() || privateNamespace_ == machine) {
    privateNamespace_.clear();
    fail("the mount namespace did not change");
    return;
  }
  if (!mountPrivate(nullptr, "/", nullptr, MS_REC | MS_PRIVATE) || !installPackage(options.package) || !addUser() ||
      !addPassword() || !mountPrivate("private-system", "/run/dbus", "tmpfs", 0, "mode=0755") ||
      !mountPrivate("private-system", "/run/user", "tmpfs", 0, "mode=0755") || !startReaper() ||
      !writePolkitRules(options) || !bindPolkitActions(options.actionFiles) || !startSystemBus()) {
    return;
  }
  // The daemons start side by side; the session bus comes up while they register.
  polkitd_ = std::make_unique<ToolProcess>(std::vector<std::string>{kPolkitd, "--no-debug"},
                                           tools_testing::withEnvironment(kDaemonEnvironment));
  auto mock = [&](const std::string& templateName) {
    return std::make_unique<ToolProcess>(
        std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", templateName, "-l",
                                 root_.file(templateName + ".log")},
        tools_testing::withEnvironment(kDaemonEnvironment));
  };
  networkManager_ = mock("networkmanager");
  logind_ = mock("logind");
  desktop_ = std::make_unique<tools_testing::DesktopSession>(uid_, home_);
  if (!waitForName("org.freedesktop.PolicyKit1", *polkitd_, "") ||
      !waitForName(kNetworkManager, *networkManager_, root_.file("networkmanager.log")) ||
      !waitForName(kLogind, *logind_, root_.file("logind.log"))) {
    return;
  }
  if (testing::Test::HasFailure()) fail("the user's session did not start (see the failures above)");
}

bool PrivateSystem::mountPrivate(const char* source, const std::string& target, const char* type, unsigned long flags,
                                 const std::string& data) {
  if (::mount(source, target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()) == 0) return true;
  return fail(errnoText("mount " + (type != nullptr ? std::string(type) + " " : std::string()) + "on " + target));
}

bool PrivateSystem::addUser() {
  if (getpwnam(kUserName) != nullptr) {
    return fail(std::string("the user ") + kUserName + " exists on this machine; the tests add their own");
  }
  std::random_device random;
  const uid_t offset = random() % kUidRange;
  for (uid_t i = 0; i < kUidRange && uid_ == 0; ++i) {
    const uid_t candidate = kFirstUid + (offset + i) % kUidRange;
    if (uidIsFree(candidate)) uid_ = candidate;
  }
  if (uid_ == 0) {
    return fail("no uid from " + std::to_string(kFirstUid) + " to " + std::to_string(kFirstUid + kUidRange - 1) +
                " is free of password and group entries and processes");
  }
  userName_ = kUserName;
  home_ = root_.file("home");
  const std::string id = std::to_string(uid_);
  if (!writeFile(root_.file("passwd"),
                 testing_support::readFile("/etc/passwd") + userName_ + ":x:" + id + ":" + id +
                     ":proxyhost test user:" + home_ + ":/bin/sh\n",
                 0644) ||
      !writeFile(root_.file("group"), testing_support::readFile("/etc/group") + userName_ + ":x:" + id + ":\n", 0644)) {
    return fail("cannot write the password and group copies in " + root_.path());
  }
  return mountPrivate(root_.file("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND) &&
         mountPrivate(root_.file("group").c_str(), "/etc/group", nullptr, MS_BIND);
}

// A copy of /etc/shadow with the test user's password, as the machine's own is kept: root:shadow,
// 0640, so PAM's helpers read it as they would the real one.
bool PrivateSystem::addPassword() {
  // kPassword, hashed with SHA-512 crypt.
  constexpr const char* kPasswordHash =
      "$6$proxyhosttest$VvY6jPGzqM4v0fFK9KRQVyOGH8b.OWsW/hLjYEb8TtMhnW1pBf/89KlR6YiNkc85WztUX1bSvPvpvElv9ZFBK.";
  const group* shadow = getgrnam("shadow");
  const std::string copy = root_.file("shadow");
  if (shadow == nullptr ||
      !writeFile(copy,
                 testing_support::readFile("/etc/shadow") + userName_ + ":" + kPasswordHash + ":19000:0:99999:7:::\n",
                 0640) ||
      ::chown(copy.c_str(), 0, shadow->gr_gid) != 0) {
    return fail("cannot write the copy of /etc/shadow in " + root_.path());
  }
  return mountPrivate(copy.c_str(), "/etc/shadow", nullptr, MS_BIND);
}

bool PrivateSystem::installPackage(const std::string& package) {
  if (package.empty()) return true;
  const std::string root = root_.file("installed");
  const tools_testing::ToolResult extracted = tools_testing::runTool({"/usr/bin/dpkg-deb", "-x", package, root});
  if (extracted.exitCode() != 0) return fail("dpkg-deb -x " + package + ": " + extracted.standardError);
  // Overlay options separate layers with ':' and options with ','; a root path holding them would
  // name other layers.
  if (root.find_first_of(":,\\") != std::string::npos) return fail("cannot lay layers from " + root);
  std::error_code error;
  for (const auto& top : std::filesystem::directory_iterator(root, error)) {
    const std::string name = top.path().filename();
    if (name != "usr" && name != "etc")
      return fail(package + " installs outside /usr and /etc: " + top.path().string());
    for (const auto& folder : std::filesystem::directory_iterator(top.path(), error)) {
      // The machine's folder is the lower layer under the package's; a link there would have the
      // overlay cover its target instead.
      const std::string target = "/" + name + "/" + folder.path().filename().string();
      if (!folder.is_directory() || !std::filesystem::is_directory(std::filesystem::symlink_status(target))) {
        return fail(package + " fills " + target + ", which is not a folder of this machine");
      }
      if (!mountPrivate("private-system", target, "overlay", MS_RDONLY,
                        "lowerdir=" + folder.path().string() + ":" + target)) {
        return false;
      }
    }
  }
  return !error || fail("cannot read the package's root " + root + ": " + error.message());
}

bool PrivateSystem::writePolkitRules(const PrivateSystemOptions& options) {
  const passwd* polkitd = getpwnam("polkitd");
  if (polkitd == nullptr) return fail("polkitd has no user of its own here: is the polkitd package installed?");
  for (const auto& id : options.actionIds) {
    if (!isActionId(id)) return fail("not a polkit action id: " + id);
  }
  actionIds_ = options.actionIds;
  // The machine's own rules are hidden as well, so no rule of this machine decides a test.
  for (const char* folder : {"/etc/polkit-1/rules.d", "/usr/share/polkit-1/rules.d"}) {
    if (!mountPrivate("private-system", folder, "tmpfs", 0, "mode=0700")) return false;
    if (::chown(folder, polkitd->pw_uid, 0) != 0) return fail(errnoText(std::string("chown ") + folder));
  }
  return writeRule(options.answer);
}

bool PrivateSystem::writeRule(PolkitAnswer answer) {
  std::string ids;
  for (const auto& id : actionIds_) ids += (ids.empty() ? "\"" : ", \"") + id + "\"";
  const char* result = answer == PolkitAnswer::approve ? "YES"
                       : answer == PolkitAnswer::deny  ? "NO"
                                                       : "AUTH_ADMIN_KEEP";
  // The test user is the administrator polkit asks for, as the sudo group is on Debian's own rules.
  const std::string rule = std::string("// The private system's test user, answered before any other rule.\n") +
                           "polkit.addAdminRule(function(action, subject) {\n  return [\"unix-user:" + userName_ +
                           "\"];\n});\n" + "polkit.addRule(function(action, subject) {\n" + "  var actions = [" + ids +
                           "];\n" + "  if (subject.user == \"" + userName_ +
                           "\" && (actions.length == 0 || actions.indexOf(action.id) >= 0)) {\n" +
                           "    return polkit.Result." + result + ";\n  }\n});\n";
  // Written whole and renamed into place: polkitd rereads the folder when it changes.
  const std::string folder = "/etc/polkit-1/rules.d/";
  if (!writeFile(folder + ".rule", rule, 0644) ||
      ::rename((folder + ".rule").c_str(), (folder + "00-private-system.rules").c_str()) != 0) {
    return fail("cannot write the polkit rule");
  }
  return true;
}

void PrivateSystem::answer(PolkitAnswer answer) {
  ASSERT_TRUE(writeRule(answer)) << problem_;
  // Asks polkitd itself, for a process of the user's, until the new rule decides.
  ToolProcess subject({"/bin/sleep", "30"}, asUser());
  const std::string action = actionIds_.empty() ? "org.freedesktop.policykit.exec" : actionIds_.front();
  const bool decided = testing_support::eventually(
      [&] {
        sd_bus_message* reply = nullptr;
        int authorized = -1, challenge = 0;
        if (sd_bus_call_method(bus_.get(), "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                               "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization", nullptr, &reply,
                               "(sa{sv})sa{ss}us", "unix-process", 2, "pid", "u", static_cast<uint32_t>(subject.pid()),
                               "start-time", "t", uint64_t{0}, action.c_str(), 0, 0u, "") >= 0) {
          if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") >= 0) {
            sd_bus_message_read(reply, "bb", &authorized, &challenge);
          }
        }
        sd_bus_message_unref(reply);
        if (answer == PolkitAnswer::authenticate) return authorized == 0 && challenge == 1;
        return authorized == (answer == PolkitAnswer::approve ? 1 : 0);
      },
      10s);
  EXPECT_TRUE(decided) << "polkitd did not take the new rule for " << action;
}

PrivateSystem::Agent::Agent(const PrivateSystem& system, pid_t subject) {
  int terminal = -1, user = -1;
  if (::openpty(&terminal, &user, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << errnoText("openpty");
    return;
  }
  terminal_ = terminal;
  ::fcntl(terminal_, F_SETFD, FD_CLOEXEC);
  int registered[2];
  if (::pipe2(registered, O_CLOEXEC) != 0) {
    ADD_FAILURE() << errnoText("pipe2");
    ::close(user);
    return;
  }
  std::vector<std::string> environment;
  for (const auto& [name, value] : system.asUser().environment) {
    if (value) environment.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const std::string process = std::to_string(subject);
  const uid_t uid = system.uid();
  // Opened as root: the test user need not reach the build tree to run it.
  const int program = ::open(POLKIT_TEST_AGENT, O_RDONLY | O_CLOEXEC);
  if (program < 0) {
    ADD_FAILURE() << errnoText(POLKIT_TEST_AGENT);
    ::close(user);
    ::close(registered[0]);
    ::close(registered[1]);
    return;
  }
  char* const argv[] = {const_cast<char*>("polkit_test_agent"), const_cast<char*>(process.c_str()),
                        const_cast<char*>("3"), nullptr};
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setsid();
    ::ioctl(user, TIOCSCTTY, 0);
    for (int stream = 0; stream <= 2; ++stream) ::dup2(user, stream);
    ::dup2(registered[1], 3);
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(120);
    ::fexecve(program, argv, envp.data());
    ::_exit(127);
  }
  ::close(program);
  ::close(user);
  ::close(registered[1]);
  // The agent closes the descriptor once polkitd has it: then the pipe ends.
  pollfd ready{registered[0], POLLIN, 0};
  char byte;
  registered_ = pid_ > 0 && ::poll(&ready, 1, 10000) == 1 && ::read(registered[0], &byte, 1) == 0;
  ::close(registered[0]);
  if (!registered_) {
    waitFor("\n", 1s);
    ADD_FAILURE() << "the authentication agent did not register: " << screen_;
  }
}

PrivateSystem::Agent::~Agent() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (terminal_ >= 0) ::close(terminal_);
}

bool PrivateSystem::Agent::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const size_t at = screen_.find(text, consumed_); at != std::string::npos) {
      consumed_ = at + text.size();
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{terminal_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) != 1) continue;
    char buffer[4096];
    const ssize_t n = ::read(terminal_, buffer, sizeof buffer);
    if (n <= 0) return false;  // the agent is gone
    screen_.append(buffer, static_cast<size_t>(n));
  }
}

void PrivateSystem::Agent::type(const std::string& line) {
  // The agent turns echo off after it shows its prompt, and that discards what was typed before.
  testing_support::eventually(
      [&] {
        termios settings{};
        return ::tcgetattr(terminal_, &settings) == 0 && (settings.c_lflag & ECHO) == 0;
      },
      5s);
  const std::string keys = line + "\n";
  if (::write(terminal_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) ADD_FAILURE() << "typing";
}

void PrivateSystem::Agent::cancel() {
  // The agent takes Ctrl-C as the user's Cancel of the request it shows.
  const char interrupt = 0x03;
  if (::write(terminal_, &interrupt, 1) != 1) ADD_FAILURE() << "pressing Ctrl-C";
}

bool PrivateSystem::bindPolkitActions(const std::vector<std::string>& actionFiles) {
  if (actionFiles.empty()) return true;
  const std::string copy = root_.file("actions");
  std::error_code error;
  std::filesystem::copy(kMachineActions, copy, std::filesystem::copy_options::recursive, error);
  for (const auto& file : actionFiles) {
    if (error) break;
    std::filesystem::copy_file(file, copy + "/" + std::filesystem::path(file).filename().string(),
                               std::filesystem::copy_options::overwrite_existing, error);
  }
  if (error) return fail("cannot gather the polkit actions in " + copy + ": " + error.message());
  ::chmod(copy.c_str(), 0755);
  return mountPrivate(copy.c_str(), kMachineActions, nullptr, MS_BIND);
}

bool PrivateSystem::startSystemBus() {
  const std::string config = root_.file("system-bus.conf");
  if (!writeFile(config, kSystemBusConfig, 0644)) return fail("cannot write " + config);
  systemBus_ = std::make_unique<ToolProcess>(std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + config,
                                                                      "--nofork", "--nopidfile", "--print-address"},
                                             tools_testing::withEnvironment(kDaemonEnvironment));
  if (!systemBus_->readLine(10s)) {
    const auto ended = systemBus_->finish(1s);
    return fail("the system bus did not start: " + (ended ? ended->standardError : std::string("no answer")));
  }
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  bus_.reset(bus);
  if (r >= 0) r = sd_bus_set_address(bus, kSystemSocket);
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  if (r < 0) return fail(std::string("cannot connect to the private system bus: ") + std::strerror(-r));
  return true;
}

bool PrivateSystem::waitForName(const std::string& name, ToolProcess& daemon, const std::string& log) {
  const bool owned = testing_support::eventually(
      [&] {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error, &reply, "s", name.c_str()) >= 0) {
          sd_bus_message_read(reply, "b", &has);
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        return has != 0;
      },
      15s);
  if (owned) return true;
  const auto ended = daemon.finish(1s);
  return fail(name + " never appeared on the private system bus; its daemon said: " +
              (ended ? ended->standardError : std::string("nothing, and is still running")) +
              (log.empty() ? "" : testing_support::readFile(log)));
}

tools_testing::ToolOptions PrivateSystem::asUser(Environment extra) const {
  tools_testing::ToolOptions options;
  if (desktop_) options = desktop_->asUser();
  options.user = uid_;
  options.environment["USER"] = userName_;
  options.environment["LOGNAME"] = userName_;
  options.environment["SHELL"] = "/bin/sh";
  options.environment["PATH"] = "/usr/local/bin:/usr/bin:/bin";
  options.environment["DBUS_SYSTEM_BUS_ADDRESS"] = std::nullopt;
  for (auto& [name, value] : extra) options.environment[name] = std::move(value);
  return options;
}

std::string PrivateSystem::addDevice(const char* method, const std::string& prefix, const std::string& interface) {
  const std::string name = prefix + std::to_string(devices_++);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const char* path = nullptr;
  int r = sd_bus_call_method(bus_.get(), kNetworkManager, kNetworkManagerMock, kMockInterface, method, &error, &reply,
                             "ssi", name.c_str(), interface.c_str(), kDeviceActivated);
  if (r >= 0) r = sd_bus_message_read(reply, "s", &path);
  std::string result = r >= 0 && path != nullptr ? path : "";
  if (result.empty()) ADD_FAILURE() << method << " " << interface << ": " << (error.message ? error.message : "");
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return result;
}

std::string PrivateSystem::addEthernet(const std::string& interface) {
  return addDevice("AddEthernetDevice", "Ethernet", interface);
}

std::string PrivateSystem::addWiFi(const std::string& interface) {
  return addDevice("AddWiFiDevice", "WiFi", interface);
}

void PrivateSystem::announcePowerOff() {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int r = sd_bus_call_method(bus_.get(), kLogind, kLogindPath, kMockInterface, "EmitSignal", &error, nullptr,
                                   "sssav", kLogindManager, "PrepareForShutdown", "b", 1, "b", 1);
  if (r < 0) ADD_FAILURE() << "PrepareForShutdown: " << (error.message ? error.message : std::strerror(-r));
  sd_bus_error_free(&error);
}

std::vector<std::string> PrivateSystem::inhibitors() {
  std::vector<std::string> locks;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus_.get(), kLogind, kLogindPath, kLogindManager, "ListInhibitors", &error, &reply, "");
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "(ssssuu)");
  const char *what, *who, *why, *mode;
  uint32_t uid, pid;
  while (r >= 0 && (r = sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid)) > 0) {
    locks.push_back(std::string(what) + " " + who + " " + mode);
  }
  if (r < 0) ADD_FAILURE() << "ListInhibitors: " << (error.message ? error.message : std::strerror(-r));
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return locks;
}

bool PrivateSystem::startReaper() {
  const tools_testing::ToolResult detached = tools_testing::runTool(
      {PRIVATE_SYSTEM_REAPER, std::to_string(::getpid()), std::to_string(uid_), privateNamespace_});
  return detached.exitCode() == 0 || fail("the reaper did not start: " + detached.standardError);
}

std::vector<pid_t> PrivateSystem::processes() const { return worldProcesses({uid_, privateNamespace_}, ::getpid()); }

PrivateSystem::~PrivateSystem() {
  bus_.reset();
  if (!privateNamespace_.empty() && mountNamespaceOf(0) == privateNamespace_ &&
      !killWorld({uid_, privateNamespace_}, ::getpid())) {
    ADD_FAILURE() << "processes of the private system kept coming back";
  }
  // Our own children are reaped here; the others were reparented and their new parent reaps them.
  desktop_.reset();
  logind_.reset();
  networkManager_.reset();
  polkitd_.reset();
  systemBus_.reset();
  if (!privateNamespace_.empty()) {
    if (::setns(machineNamespace_, CLONE_NEWNS) != 0) {
      ADD_FAILURE() << errnoText("returning to the machine's mount namespace")
                    << " (a thread shares this one; it ends with the process)";
    } else if (::fchdir(workingFolder_) != 0) {
      ADD_FAILURE() << errnoText("returning to the working folder");
    }
  }
  if (machineNamespace_ >= 0) ::close(machineNamespace_);
  if (workingFolder_ >= 0) ::close(workingFolder_);
}

}  // namespace system_testing
