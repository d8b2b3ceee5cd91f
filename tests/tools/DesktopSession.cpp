#include "tests/tools/DesktopSession.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tools_testing {

namespace {

const std::string kLookup = PROXY_LOOKUP_BIN;
const std::vector<std::string> kUrls = {"http://example.org/", "https://example.org/x", "imap://mail.example.org/",
                                        "http://localhost/",   "http://printer.local/", "https://intranet/"};

void makeFolder(const std::string& path, std::optional<uid_t> owner) {
  std::filesystem::create_directories(path);
  ::chmod(path.c_str(), 0700);
  if (owner) {
    EXPECT_EQ(::chown(path.c_str(), *owner, *owner), 0) << path;
  }
}

}  // namespace

DesktopSession::DesktopSession() : dir_(std::make_unique<testing_support::TempDir>()), home_(dir_->file("home")) {
  makeFolder(home_, std::nullopt);
  makeFolder(home_ + "/runtime", std::nullopt);
  environment_["XDG_RUNTIME_DIR"] = home_ + "/runtime";
  start();
}

DesktopSession::DesktopSession(uid_t user, const std::string& home) : user_(user), home_(home) {
  makeFolder(home_, user);
  const std::string runtime = "/run/user/" + std::to_string(user);
  makeFolder(runtime, user);
  environment_["XDG_RUNTIME_DIR"] = runtime;
  start();
}

void DesktopSession::start() {
  makeFolder(home_ + "/.config", user_);
  std::ofstream(configFile("kdeglobals")) << "[General]\n";
  if (user_) {
    EXPECT_EQ(::chown(configFile("kdeglobals").c_str(), *user_, *user_), 0);
  }
  environment_["HOME"] = home_;
  environment_["XDG_CONFIG_HOME"] = home_ + "/.config";
  environment_["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + *environment_["XDG_RUNTIME_DIR"] + "/bus";
  environment_["GSETTINGS_BACKEND"] = "dconf";
  environment_["GIO_USE_PROXY_RESOLVER"] = "gnome";
  environment_["XDG_CURRENT_DESKTOP"] = "GNOME";
  environment_["PKEXEC_UID"] = std::nullopt;
  environment_["SUDO_UID"] = std::nullopt;
  startBus();
}

void DesktopSession::startBus() {
  const std::string bus = *environment_["XDG_RUNTIME_DIR"] + "/bus";
  bus_ = std::make_unique<ToolProcess>(std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork",
                                                                "--print-address", "--address=unix:path=" + bus},
                                       asUser());
  ASSERT_TRUE(bus_->readLine(std::chrono::seconds(10))) << "the private session bus did not start";
}

DesktopSession::~DesktopSession() {
  if (bus_) {
    ::kill(bus_->pid(), SIGCONT);
    stopBus();
  }
}

void DesktopSession::stopBus() {
  ::kill(bus_->pid(), SIGTERM);
  EXPECT_TRUE(bus_->finish(std::chrono::seconds(10)));
  bus_.reset();
  std::filesystem::remove(*environment_["XDG_RUNTIME_DIR"] + "/bus");
}

ToolOptions DesktopSession::asUser() const {
  ToolOptions options = withEnvironment(environment_);
  options.user = user_;
  return options;
}

std::string DesktopSession::lookup(const std::string& url) const {
  ToolResult result = runTool({kLookup, url}, asUser());
  std::string answer = result.standardOutput;
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  return answer;
}

std::string DesktopSession::kde(const std::string& key) const {
  ToolResult result =
      runTool({"/usr/bin/kreadconfig5", "--file", configFile("kioslaverc"), "--group", "Proxy Settings", "--key", key},
              asUser());
  std::string value = result.standardOutput;
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

void DesktopSession::gsettings(std::vector<std::string> args) const {
  args.insert(args.begin(), "/usr/bin/gsettings");
  ToolResult result = runTool(args, asUser());
  EXPECT_EQ(result.exitCode(), 0) << result.standardError;
}

std::string DesktopSession::gnomeProxySettings() const {
  return runTool({"/usr/bin/gsettings", "list-recursively", "org.gnome.system.proxy"}, asUser()).standardOutput;
}

std::string DesktopSession::proxyView() const {
  std::string view;
  for (const auto& url : kUrls) view += url + " -> " + lookup(url) + "\n";
  for (const char* key : {"ProxyType", "httpProxy", "httpsProxy", "socksProxy", "NoProxyFor"}) {
    view += std::string(key) + "=" + kde(key) + "\n";
  }
  return view;
}

void DesktopSession::useOwnProxy() const {
  gsettings({"set", "org.gnome.system.proxy", "mode", "manual"});
  gsettings({"set", "org.gnome.system.proxy.http", "host", "corp.example"});
  gsettings({"set", "org.gnome.system.proxy.http", "port", "3128"});
  gsettings({"set", "org.gnome.system.proxy", "ignore-hosts", "['*.corp.example']"});
  std::ofstream(configFile("kioslaverc")) << "[Proxy Settings]\nProxyType=1\nhttpProxy=http://corp.example 3128\n";
  if (user_) {
    EXPECT_EQ(::chown(configFile("kioslaverc").c_str(), *user_, *user_), 0);
  }
}

void DesktopSession::expectClientProxy() const {
  EXPECT_EQ(lookup("http://example.org/"), "http://127.0.0.1:7890");
  EXPECT_EQ(lookup("https://example.org/x"), "http://127.0.0.1:7890");
  EXPECT_TRUE(lookup("imap://mail.example.org/").starts_with("socks5://127.0.0.1:7891"));
  for (const char* bypassed : {"http://localhost/", "http://printer.local/", "https://intranet/"}) {
    EXPECT_EQ(lookup(bypassed), "direct://") << bypassed;
  }
  EXPECT_EQ(kde("ProxyType"), "1");
  EXPECT_EQ(kde("httpProxy"), "http://127.0.0.1 7890");
  EXPECT_EQ(kde("httpsProxy"), "http://127.0.0.1 7890");
  EXPECT_EQ(kde("socksProxy"), "socks://127.0.0.1 7891");
  EXPECT_EQ(kde("NoProxyFor"), "intranet,*.local,localhost");
}

}  // namespace tools_testing
