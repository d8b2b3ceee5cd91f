// The real world's model in-process: devices found under a sysfs tree, their macOS names, services
// that come and go, the effective proxy, what a desktop can carry, and the saved settings' file form.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TestSupport.h"
#include "tools/networksetup/Commands.h"
#include "tools/networksetup/Desktop.h"
#include "tools/networksetup/NetworkDevices.h"

namespace {

using namespace networksetup;
using testing_support::TempDir;

std::vector<std::string> listed(const NetworkState& state) {
  std::vector<std::string> names;
  for (const auto& service : state.services) {
    if (service.present) names.push_back(service.name);
  }
  return names;
}

// /sys/class/net as the kernel lays it out: links into the device tree, virtual ones under devices/virtual.
void addInterface(const TempDir& sys, const std::string& name, const std::string& device, int type, int index,
                  bool wireless = false) {
  const std::string folder = sys.file("devices/" + device + "/net/" + name);
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/type") << type << "\n";
  std::ofstream(folder + "/ifindex") << index << "\n";
  if (wireless) std::filesystem::create_directories(folder + "/wireless");
  std::filesystem::create_directories(sys.file("class/net"));
  std::filesystem::create_symlink(folder, sys.file("class/net/" + name));
}

TEST(MachineDevices, SysfsGivesHardwareInterfacesInIndexOrderClassifiedByKind) {
  TempDir sys;
  addInterface(sys, "lo", "virtual", 772, 1);
  addInterface(sys, "wlp3s0", "pci0000:00/0000:03:00.0", 1, 4, true);
  addInterface(sys, "enp0s31f6", "pci0000:00/0000:00:1f.6", 1, 2);
  addInterface(sys, "veth1", "virtual", 1, 3);
  addInterface(sys, "docker0", "virtual", 1, 5);
  addInterface(sys, "enx00e04c", "pci0000:00/usb1/1-2", 1, 7);
  addInterface(sys, "ib0", "pci0000:00/0000:05:00.0", 32, 8);
  EXPECT_EQ(devicesFromSysfs(sys.file("class/net")), (std::vector<NetworkDevice>{{"enp0s31f6", DeviceKind::wired},
                                                                                 {"wlp3s0", DeviceKind::wireless},
                                                                                 {"enx00e04c", DeviceKind::wired},
                                                                                 {"ib0", DeviceKind::infiniband}}));
  EXPECT_TRUE(devicesFromSysfs(sys.file("missing")).empty());
}

TEST(MachineDevices, ServicesAreNamedByHardwareAndKeepTheirSettingsWhileTheirDeviceIsAway) {
  NetworkState state;
  EXPECT_TRUE(joinDevices(state, {{"eth0", DeviceKind::wired},
                                  {"wlan0", DeviceKind::wireless},
                                  {"eth1", DeviceKind::wired},
                                  {"bnep0", DeviceKind::bluetooth},
                                  {"wwan0", DeviceKind::modem}}));
  EXPECT_EQ(listed(state), (std::vector<std::string>{"Ethernet", "Wi-Fi", "Ethernet 2", "Bluetooth PAN", "Modem"}));
  ASSERT_EQ(runCommand({"-setwebproxy", "Ethernet 2", "10.0.0.1", "3128"}, state).status, 0);

  // eth1 unplugged: unlisted and unknown by name, its settings kept; a new dongle does not take its name.
  EXPECT_TRUE(
      joinDevices(state, {{"eth0", DeviceKind::wired}, {"wlan0", DeviceKind::wireless}, {"eth2", DeviceKind::wired}}));
  EXPECT_EQ(listed(state), (std::vector<std::string>{"Ethernet", "Wi-Fi", "Ethernet 3"}));
  EXPECT_EQ(runCommand({"-getwebproxy", "Ethernet 2"}, state).status, exitInvalidParameters);
  EXPECT_EQ(runCommand({"-listallnetworkservices"}, state).standardOutput,
            "An asterisk (*) denotes that a network service is disabled.\nEthernet\nWi-Fi\nEthernet 3\n");

  // Back again, with what it had; nothing new to save.
  EXPECT_FALSE(
      joinDevices(state, {{"eth0", DeviceKind::wired}, {"eth1", DeviceKind::wired}, {"eth2", DeviceKind::wired}}));
  EXPECT_EQ(listed(state), (std::vector<std::string>{"Ethernet", "Ethernet 2", "Ethernet 3"}));
  EXPECT_EQ(runCommand({"-getwebproxy", "Ethernet 2"}, state).standardOutput,
            "Enabled: No\nServer: 10.0.0.1\nPort: 3128\nAuthenticated Proxy Enabled: 0\n");

  // A created service has no device and stays; the names survive the file.
  ASSERT_EQ(runCommand({"-createnetworkservice", "Office", "Ethernet"}, state).status, 0);
  EXPECT_FALSE(joinDevices(state, {}));
  EXPECT_EQ(listed(state), (std::vector<std::string>{"Office"}));
  auto decoded = decodeStatePlist(encodeStatePlist(state));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->services[1].device, "wlan0");
  EXPECT_EQ(decoded->services.back().device, "");
}

TEST(EffectiveProxy, IsTheFirstListedEnabledServiceWithAnyProxyOn) {
  NetworkState state = NetworkState::fresh();
  EXPECT_EQ(effectiveProxy(state), std::nullopt);
  auto run = [&](std::vector<std::string> args) { ASSERT_EQ(runCommand(args, state).status, 0); };
  run({"-setwebproxy", "Ethernet", "127.0.0.1", "7890"});
  run({"-setsocksfirewallproxy", "Ethernet", "127.0.0.1", "7891"});
  run({"-setproxybypassdomains", "Ethernet", "localhost", "*.local"});
  run({"-setsocksfirewallproxystate", "Ethernet", "on"});
  EXPECT_EQ(effectiveProxy(state),
            (DesktopProxy{std::nullopt, std::nullopt, ProxyEndpoint{"127.0.0.1", 7891}, {"localhost", "*.local"}}));

  // Wi-Fi comes first in service order, but only once it has a proxy on, and not while it is disabled.
  run({"-setwebproxy", "Wi-Fi", "10.1.1.1", "8080"});
  EXPECT_EQ(effectiveProxy(state)->socks, (ProxyEndpoint{"127.0.0.1", 7891}));
  run({"-setwebproxystate", "Wi-Fi", "on"});
  EXPECT_EQ(effectiveProxy(state), (DesktopProxy{ProxyEndpoint{"10.1.1.1", 8080}, std::nullopt, std::nullopt, {}}));
  run({"-setnetworkserviceenabled", "Wi-Fi", "off"});
  EXPECT_EQ(effectiveProxy(state)->socks, (ProxyEndpoint{"127.0.0.1", 7891}));
  run({"-setsocksfirewallproxystate", "Ethernet", "off"});
  EXPECT_EQ(effectiveProxy(state), std::nullopt);
}

TEST(EffectiveProxy, WhatADesktopCannotCarryIsNamed) {
  const ProxyEndpoint good{"proxy.example-1.org", 8080};
  EXPECT_TRUE(representable({good,
                             ProxyEndpoint{"::1", 1},
                             ProxyEndpoint{"[fe80::1]", 65535},
                             {"localhost", "*.local", ".lan", "10.0.0.0/8", "café.fr"}}));
  for (const std::string host :
       {"", "two words", "a,b", "http://x", "x/y", "user@host", "tab\there", "h\n", "[::1", "127.0.0.1:80", "a:b",
        "1.2.3", "300.1.1.1", "a..b", ".a", "a.", "[10.0.0.1]", "fe80::1%eth0"}) {
    EXPECT_FALSE(representable({ProxyEndpoint{host, 80}, std::nullopt, std::nullopt, {}})) << host;
  }
  EXPECT_NE(representable({std::nullopt, ProxyEndpoint{"h", 0}, std::nullopt, {}}).error().message().find("port 0"),
            std::string::npos);
  for (const std::string& entry : std::vector<std::string>{"", "a b", "a,b", "x\n", "raw \xff"}) {
    EXPECT_FALSE(representable({good, std::nullopt, std::nullopt, {"localhost", entry}})) << entry;
  }
  for (const std::string host :
       {"::1", "[::1]", "2001:db8::7", "10.0.0.1", "localhost", "a_b.example", "xn--caf-dma.fr"}) {
    EXPECT_TRUE(isHostOrAddress(host)) << host;
  }
  EXPECT_EQ(urlHost("::1"), "[::1]");
  EXPECT_EQ(urlHost("[::1]"), "[::1]");
  EXPECT_EQ(urlHost("10.0.0.1"), "10.0.0.1");
}

// Values are checked as they are set, for every service; switching off is never refused.
TEST(EffectiveProxy, UncarriableValuesAreNamedWhenSetAndAnOffIsNeverRefused) {
  NetworkState state = NetworkState::fresh();
  auto check = [&](std::vector<std::string> args) {
    EXPECT_EQ(runCommand(args, state).status, 0);
    return carriableSetting(args, state);
  };
  EXPECT_FALSE(check({"-setwebproxy", "Bluetooth PAN", "a:b", "80"}));  // a disabled service too
  EXPECT_FALSE(check({"-setsocksfirewallproxy", "Wi-Fi", "10.0.0.1", "0"}));
  EXPECT_FALSE(check({"-setsecurewebproxystate", "Wi-Fi", "on"}));  // no server yet
  EXPECT_FALSE(check({"-setproxybypassdomains", "Wi-Fi", "ok", "not ok"}));
  EXPECT_TRUE(check({"-setwebproxystate", "Wi-Fi", "off"}));
  EXPECT_TRUE(check({"-setnetworkserviceenabled", "Wi-Fi", "on"}));
  EXPECT_TRUE(check({"-setproxybypassdomains", "Ethernet", "Empty"}));
  EXPECT_TRUE(check({"-setwebproxy", "Ethernet", "::1", "8080"}));
  EXPECT_TRUE(check({"-setwebproxystate", "Ethernet", "on"}));
  EXPECT_EQ(describe(std::nullopt), "");
  EXPECT_NE(describe(effectiveProxy(state)), describe(DesktopProxy{}));
}

TEST(DesktopChoice, BackendsAndTheUserWhoAsked) {
  EXPECT_EQ(chooseBackends(nullptr).ok(), kDesktopBackendNames);
  EXPECT_EQ(chooseBackends("auto").ok(), kDesktopBackendNames);
  EXPECT_EQ(chooseBackends("none").ok(), std::vector<std::string>{});
  EXPECT_EQ(chooseBackends("kde,gsettings,kde").ok(), (std::vector<std::string>{"kde", "gsettings"}));
  const auto unknown = chooseBackends("gconf");
  ASSERT_FALSE(unknown);
  EXPECT_NE(unknown.error().message().find("gconf"), std::string::npos);
  EXPECT_FALSE(chooseBackends("kde,"));

  if (geteuid() != 0) GTEST_SKIP() << "acting for another user is for root";
  setenv("SUDO_UID", "1234", 1);
  EXPECT_EQ(desktopUser(), 1234u);
  setenv("PKEXEC_UID", "4321", 1);
  EXPECT_EQ(desktopUser(), 4321u);
  setenv("PKEXEC_UID", "12x", 1);
  EXPECT_EQ(desktopUser(), 1234u);
  unsetenv("PKEXEC_UID");
  unsetenv("SUDO_UID");
  EXPECT_EQ(desktopUser(), 0u);
}

TEST(NetworkStatePlist, KeepsTheUsersOwnDesktopSettingsPerUserAndBackend) {
  NetworkState state = NetworkState::fresh();
  state.desktopSaved[1000]["gsettings"] = {{"mode", "'auto'"}, {"ignore-hosts", "['localhost', '*.corp']"}};
  state.desktopSaved[1000]["kde"] = {};
  state.desktopSaved[0]["kde"] = {{"httpProxy", "http://corp \"proxy\" 3128"}};
  state.desktopCarried[1000]["gsettings"] = {"127.0.0.1 7890\n-\n-\nlocalhost\n", {{"mode", "'manual'"}}};
  state.desktopCarried[1000]["kde"] = {"", {}};
  EXPECT_EQ(decodeStatePlist(encodeStatePlist(state)), state);
}

}  // namespace
