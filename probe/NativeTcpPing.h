// The TCP latency probe: how long a TCP connect to a host and port takes when the socket is bound
// to the machine's physical interface, so that a TUN interface holding the default route does not
// carry (and disturb) the measurement.
//
//   int64_t ms = NativeTcpPing::tcpPingBoundToPhysical("example.org", 443, 5000);  // -1: no connection
//
// Synchronous: it blocks for the resolution plus up to `timeoutMs` per resolved address, so the
// channel runs it on a global queue. Any number may run at once; nothing is shared between calls.
// Every path writes "[NativeTcpPing]" log lines (NSLog); every socket, address list and interface
// list is released on every path. All outside calls go through platform/darwin's seam.
#pragma once

#include <ifaddrs.h>
#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/FlutterChannels.h"

class NativeTcpPing {
 public:
  // The connect time of the first resolved address that accepts, in whole milliseconds (0 or more),
  // or -1 when the host does not resolve or no address accepts within `timeoutMs` (per address).
  static int64_t tcpPingBoundToPhysical(const std::string& host, int32_t port, int64_t timeoutMs);

  // Serves "tcpPing" (host, port, timeoutMs: 5000 when missing). Main thread: argument faults are
  // answered at once ("BAD_ARGS"); each probe is a task of its own on a global queue, answered on
  // the main queue.
  static void handleNativeTcpPingCall(const FlutterMethodCall& call, FlutterResult result);

 private:
  friend struct NativeTcpPingTestAccess;

  struct PhysicalInterface {
    std::string name;
    uint32_t index = 0;  // never 0
    bool operator==(const PhysicalInterface&) const = default;
  };

  // One entry of the interface address list, as far as the choice looks at it.
  struct InterfaceAddressEntry {
    std::string name;
    unsigned int flags = 0;
    std::optional<int> family;  // none: the entry has no address
    uint32_t ipv4 = 0;          // AF_INET only: the address in network byte order
  };
  using IndexLookup = std::function<uint32_t(const std::string& name)>;

  // The first entry, in list order, of an interface that is up, not the loopback, not named like
  // a tunnel or other virtual interface, with a usable IPv4 address and an index. Pure: logs
  // nothing; asks `indexOf` only about entries that qualify otherwise.
  static std::optional<PhysicalInterface> choosePhysicalInterface(const std::vector<InterfaceAddressEntry>& entries,
                                                                  const IndexLookup& indexOf);
  // The entries of a getifaddrs() list, in its order.
  static std::vector<InterfaceAddressEntry> interfaceEntries(const ifaddrs* list);
  // The choice over the live interface list, with its one log line. The list is read again only
  // after the platform has reported a change, so the answer is the one a fresh read would give.
  static std::optional<PhysicalInterface> pickPhysicalInterface();

  // Whole milliseconds since `start`, a mach_absolute_time() tick count.
  static int64_t elapsedMillis(uint64_t start);
  // The wait of one connection attempt: seconds and microseconds, both truncated toward zero.
  static timeval waitInterval(int64_t timeoutMs);
};
