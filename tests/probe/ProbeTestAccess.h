// The probe's private operations, for the tests of the rules they implement.
#pragma once

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
  static int64_t elapsedMillis(uint64_t start) { return NativeTcpPing::elapsedMillis(start); }
  static timeval waitInterval(int64_t timeoutMs) { return NativeTcpPing::waitInterval(timeoutMs); }
};
