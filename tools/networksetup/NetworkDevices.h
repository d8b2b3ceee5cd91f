// The machine's own network devices, as the real world's network services: where they come from
// (NetworkManager over the system bus, else the non-virtual interfaces under /sys/class/net) and the
// names macOS gives services by hardware.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/Expected.h"
#include "tools/networksetup/NetworkState.h"

namespace networksetup {

enum class DeviceKind { wired, wireless, bluetooth, modem, infiniband, other };

struct NetworkDevice {
  std::string interface;  // the kernel's name, "eth0", "wlp2s0"
  DeviceKind kind = DeviceKind::other;
  bool operator==(const NetworkDevice&) const = default;
};

// The devices NetworkManager manages that are hardware, in its order; an error when it does not
// answer on the system bus.
posix::Expected<std::vector<NetworkDevice>> devicesFromNetworkManager();

// The interfaces under `classNet` (normally /sys/class/net) whose device is not virtual, in
// interface index order, each classified by its link type and wireless folder.
std::vector<NetworkDevice> devicesFromSysfs(const std::string& classNet);

// NetworkManager's devices, else sysfs's.
std::vector<NetworkDevice> machineDevices();

// The service name macOS gives the next device of `kind`: "Ethernet", "Wi-Fi", "Bluetooth PAN", ...
// numbered from 2 ("Ethernet 2") when a service of that name exists already.
std::string serviceNameFor(DeviceKind kind, const NetworkState& state);

// Brings the state's device services up to the machine: a device without a service gets one,
// appended; a service whose device is gone is marked absent (settings kept). True when a service
// was added, so the state must be saved.
bool joinDevices(NetworkState& state, const std::vector<NetworkDevice>& devices);

}  // namespace networksetup
