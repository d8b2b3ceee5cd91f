#include "tools/networksetup/NetworkDevices.h"

#include <dirent.h>
#include <net/if_arp.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/posix/Files.h"

namespace networksetup {

namespace {

constexpr const char* kNetworkManager = "org.freedesktop.NetworkManager";
constexpr const char* kDeviceInterface = "org.freedesktop.NetworkManager.Device";

// NetworkManager's NMDeviceType values for hardware; everything else it manages is software
// (bridges, VLANs, tunnels, veth, loopback, ...) and no network service.
DeviceKind kindOfNetworkManagerType(uint32_t type, bool* hardware) {
  *hardware = true;
  switch (type) {
    case 1: return DeviceKind::wired;
    case 2: return DeviceKind::wireless;
    case 5: return DeviceKind::bluetooth;
    case 8: return DeviceKind::modem;
    case 9: return DeviceKind::infiniband;
    case 12: return DeviceKind::other;  // ADSL
    default: *hardware = false; return DeviceKind::other;
  }
}

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

const char* baseName(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::wired: return "Ethernet";
    case DeviceKind::wireless: return "Wi-Fi";
    case DeviceKind::bluetooth: return "Bluetooth PAN";
    case DeviceKind::modem: return "Modem";
    case DeviceKind::infiniband: return "InfiniBand";
    case DeviceKind::other: break;
  }
  return "Network Device";
}

bool nameTaken(const NetworkState& state, const std::string& name) {
  return std::any_of(state.services.begin(), state.services.end(),
                     [&](const NetworkService& service) { return service.name == name; });
}

}  // namespace

posix::Expected<std::vector<NetworkDevice>> devicesFromNetworkManager() {
  sd_bus* raw = nullptr;
  int r = sd_bus_open_system(&raw);
  std::unique_ptr<sd_bus, BusDeleter> bus(raw);
  if (r < 0) return posix::Error(std::string("no system bus: ") + std::strerror(-r));
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(bus.get(), kNetworkManager, "/org/freedesktop/NetworkManager", kNetworkManager, "GetDevices",
                         &error, &reply, "");
  Message devicesReply(reply);
  if (r < 0) {
    posix::Error why(std::string("NetworkManager does not answer: ") +
                     (error.message ? error.message : std::strerror(-r)));
    sd_bus_error_free(&error);
    return why;
  }
  std::vector<std::string> paths;
  if (sd_bus_message_enter_container(reply, 'a', "o") < 0) {
    return posix::Error("NetworkManager's device list is not an object path array");
  }
  const char* path = nullptr;
  while (sd_bus_message_read(reply, "o", &path) > 0) paths.emplace_back(path);
  std::vector<NetworkDevice> devices;
  for (const auto& device : paths) {
    char* interface = nullptr;
    uint32_t type = 0;
    if (sd_bus_get_property_string(bus.get(), kNetworkManager, device.c_str(), kDeviceInterface, "Interface", nullptr,
                                   &interface) < 0 ||
        sd_bus_get_property_trivial(bus.get(), kNetworkManager, device.c_str(), kDeviceInterface, "DeviceType", nullptr,
                                    'u', &type) < 0) {
      std::free(interface);
      continue;  // gone between the list and the question
    }
    bool hardware = false;
    const DeviceKind kind = kindOfNetworkManagerType(type, &hardware);
    if (hardware && interface != nullptr && *interface != '\0') devices.push_back({interface, kind});
    std::free(interface);
  }
  return devices;
}

std::vector<NetworkDevice> devicesFromSysfs(const std::string& classNet) {
  std::vector<std::pair<long, NetworkDevice>> found;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(classNet.c_str()), ::closedir);
  if (!folder) return {};
  while (const dirent* entry = ::readdir(folder.get())) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    const std::string base = classNet + "/" + name;
    char* resolved = ::realpath(base.c_str(), nullptr);
    if (resolved == nullptr) continue;
    const bool isVirtual = std::string(resolved).find("/devices/virtual/") != std::string::npos;
    std::free(resolved);
    if (isVirtual) continue;
    struct stat info {};
    const bool wireless =
        ::stat((base + "/wireless").c_str(), &info) == 0 || ::stat((base + "/phy80211").c_str(), &info) == 0;
    const long type = std::strtol(posix::readFirstLine(base + "/type").value_or("").c_str(), nullptr, 10);
    DeviceKind kind = DeviceKind::other;
    if (wireless) {
      kind = DeviceKind::wireless;
    } else if (type == ARPHRD_ETHER) {
      kind = DeviceKind::wired;
    } else if (type == ARPHRD_INFINIBAND) {
      kind = DeviceKind::infiniband;
    } else if (type == ARPHRD_LOOPBACK) {
      continue;
    }
    found.push_back(
        {std::strtol(posix::readFirstLine(base + "/ifindex").value_or("").c_str(), nullptr, 10), {name, kind}});
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<NetworkDevice> devices;
  for (auto& [index, device] : found) devices.push_back(std::move(device));
  return devices;
}

std::vector<NetworkDevice> machineDevices() {
  if (auto devices = devicesFromNetworkManager()) return std::move(*devices);
  return devicesFromSysfs("/sys/class/net");
}

std::string serviceNameFor(DeviceKind kind, const NetworkState& state) {
  const std::string base = baseName(kind);
  if (!nameTaken(state, base)) return base;
  for (int n = 2;; ++n) {
    std::string numbered = base + " " + std::to_string(n);
    if (!nameTaken(state, numbered)) return numbered;
  }
}

bool joinDevices(NetworkState& state, const std::vector<NetworkDevice>& devices) {
  bool added = false;
  for (auto& service : state.services) {
    if (service.device.empty()) continue;
    service.present = std::any_of(devices.begin(), devices.end(),
                                  [&](const NetworkDevice& device) { return device.interface == service.device; });
  }
  for (const auto& device : devices) {
    const bool known = std::any_of(state.services.begin(), state.services.end(),
                                   [&](const NetworkService& service) { return service.device == device.interface; });
    if (known) continue;
    NetworkService service;
    service.name = serviceNameFor(device.kind, state);
    service.hardwarePort = baseName(device.kind);
    service.device = device.interface;
    state.services.push_back(std::move(service));
    added = true;
  }
  return added;
}

}  // namespace networksetup
