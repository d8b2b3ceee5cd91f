// The probe's private operations, for the tests of the rules they implement.
#pragma once

#include <ifaddrs.h>
#include <net/if.h>

#include "probe/NativeTcpPing.h"

struct NativeTcpPingTestAccess {
  using PhysicalInterface = NativeTcpPing::PhysicalInterface;
  using Entry = NativeTcpPing::InterfaceAddressEntry;
  using IndexLookup = NativeTcpPing::IndexLookup;

  static std::optional<PhysicalInterface> choosePhysicalInterface(const std::vector<Entry>& entries,
                                                                  const IndexLookup& indexOf) {
    return NativeTcpPing::choosePhysicalInterface(entries, indexOf);
  }
  static std::optional<PhysicalInterface> pickPhysicalInterface() { return NativeTcpPing::pickPhysicalInterface(); }
  // What a fresh snapshot of the calling thread's interfaces gives, nothing kept and nothing logged:
  // the answer the kept snapshot must agree with; nothing when the list cannot be read.
  static std::optional<PhysicalInterface> freshChoice() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0 || list == nullptr) return std::nullopt;
    auto chosen = NativeTcpPing::choosePhysicalInterface(
        NativeTcpPing::interfaceEntries(list), [](const std::string& name) { return ::if_nametoindex(name.c_str()); });
    ::freeifaddrs(list);
    return chosen;
  }
  static int64_t elapsedMillis(uint64_t start) { return NativeTcpPing::elapsedMillis(start); }
  static timeval waitInterval(int64_t timeoutMs) { return NativeTcpPing::waitInterval(timeoutMs); }
};
