// Which interface the probe binds to: the first physical one the platform lists with a usable
// IPv4 address. No ranking: the platform's own order already puts the primary interface first.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/darwin/DarwinSystem.h"
#include "platform/foundation/NSLog.h"
#include "probe/NativeTcpPing.h"

namespace {

// Tunnels (utun: the VPN's TUN among them) and the platform's other virtual interfaces.
constexpr std::array<std::string_view, 6> kExcludedPrefixes = {"utun", "awdl", "llw", "bridge", "anpi", "ap"};

bool hasExcludedPrefix(std::string_view name) {
  for (std::string_view prefix : kExcludedPrefixes) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

struct InterfaceListFree {
  void operator()(ifaddrs* list) const { darwin::freeifaddrs(list); }
};

}  // namespace

std::optional<NativeTcpPing::PhysicalInterface> NativeTcpPing::choosePhysicalInterface(
    const std::vector<InterfaceAddressEntry>& entries, const IndexLookup& indexOf) {
  for (const InterfaceAddressEntry& entry : entries) {
    // Up and not the loopback; whether it is running (has a carrier) is not asked.
    if ((entry.flags & (IFF_UP | IFF_LOOPBACK)) != IFF_UP) continue;
    if (hasExcludedPrefix(entry.name)) continue;
    if (!entry.family || *entry.family != AF_INET) continue;
    uint32_t address = ntohl(entry.ipv4);
    if (address == 0 || (address >> 16) == ((169u << 8) | 254u)) continue;
    uint32_t index = indexOf(entry.name);
    if (index == 0) continue;
    return PhysicalInterface{entry.name, index};
  }
  return std::nullopt;
}

std::vector<NativeTcpPing::InterfaceAddressEntry> NativeTcpPing::interfaceEntries(const ifaddrs* list) {
  std::vector<InterfaceAddressEntry> entries;
  for (const ifaddrs* e = list; e != nullptr; e = e->ifa_next) {
    InterfaceAddressEntry entry;
    entry.name = e->ifa_name != nullptr ? e->ifa_name : "";
    entry.flags = e->ifa_flags;
    if (e->ifa_addr != nullptr) {
      entry.family = e->ifa_addr->sa_family;
      if (e->ifa_addr->sa_family == AF_INET) {
        in_addr address{};
        std::memcpy(&address, reinterpret_cast<const char*>(e->ifa_addr) + offsetof(sockaddr_in, sin_addr),
                    sizeof address);
        entry.ipv4 = address.s_addr;
      }
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<NativeTcpPing::PhysicalInterface> NativeTcpPing::pickPhysicalInterface() {
  // The choice over the last snapshot, kept until the platform reports a change of interfaces or
  // addresses. The change count is read before the snapshot, so a change in between is seen by
  // the next probe; a snapshot that could not be taken is not kept. The platform in force is part
  // of the key, so a test's double never sees another's snapshot.
  struct Kept {
    Mutex mutex;
    const darwin::DarwinSystem* system GUARDED_BY(mutex) = nullptr;
    uint64_t generation GUARDED_BY(mutex) = 0;
    std::optional<PhysicalInterface> chosen GUARDED_BY(mutex);
  };
  static NoDestructor<Kept> keptStorage;  // used by worker threads, also while exit runs
  Kept& kept = *keptStorage;

  std::optional<PhysicalInterface> chosen;
  std::unique_ptr<ifaddrs, InterfaceListFree> snapshot;  // freed after the log line, when one was taken
  {
    MutexLock lock(kept.mutex);
    const darwin::DarwinSystem* system = &darwin::DarwinSystem::current();
    const uint64_t generation = darwin::interfaceListGeneration();
    if (kept.system != system || kept.generation != generation) {
      kept.system = nullptr;
      ifaddrs* raw = nullptr;
      if (darwin::getifaddrs(&raw) != 0 || raw == nullptr) {
        const int error = errno;
        NSLog("[NativeTcpPing] ⚠️ getifaddrs failed: errno=%d", error);
        return std::nullopt;
      }
      snapshot.reset(raw);
      kept.chosen = choosePhysicalInterface(interfaceEntries(snapshot.get()), [](const std::string& name) {
        return darwin::if_nametoindex(name.c_str());
      });
      kept.system = system;
      kept.generation = generation;
    }
    chosen = kept.chosen;
  }
  if (chosen) {
    NSLog("[NativeTcpPing]   选中物理网卡: %@ (idx=%d)", chosen->name, chosen->index);
  } else {
    NSLog("[NativeTcpPing]   ⚠️ 未找到物理网卡，将走默认路由（可能受 TUN 干扰）");
  }
  snapshot.reset();
  return chosen;
}
