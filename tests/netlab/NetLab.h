// A network test bed made of network namespaces, veth pairs and TUN devices, for measuring the
// latency probe against a real kernel. Root only. Nothing in it is connected to the machine's own
// network: every address below lives in a namespace the lab made, and goes with it.
//
//   client ns                      router ns                          server ns
//   lo                             gw0 198.18.1.1 ─ lan0 198.51.100.1 ─ srv0 198.51.100.10 :8443
//   en0 198.18.1.2 ── veth ──────  blackhole 203.0.113.99 (silent)        2001:db8:2::10 :8443
//       2001:db8:1::2              tunR ══ delay line (D/2 each way) ══ delay ns: tunD 203.0.113.20 :8443
//   utun4 198.19.0.2 ══ VPN pump (no delay, counts SYNs) ═════════════ server ns: vpn0
//
// In the client namespace the default route is utun4's (0.0.0.0/1, 128.0.0.0/1, ::/1, 8000::/1,
// as VPN clients set it); en0 keeps a default route of its own (metric 100) that only a socket
// bound to en0 takes. So an unbound connection to the server goes through the TUN, a bound one
// through en0's gateway. The TUN devices are served by a packet pump thread in this process.
//
// The client namespace has its own /etc/hosts (through `ip netns exec`): kSilentThenLiveName
// resolves to the silent address first and the delayed server second; kServerName6 to the IPv6
// server. Its resolv.conf names 127.0.0.1, so no query leaves the namespace.
//
//   std::string error;
//   auto lab = netlab::Lab::build({.roundTrip = 20ms}, &error);
//   netlab::NetlabHost host(*lab, &error);      // build/bin/proxyhost inside the client ns
//   auto client = host.connect(10s, &error);
//   auto ms = netlab::tcpPing(*client, netlab::kServerAddress, netlab::kOpenPort, 2000, &error);
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/proxyhostctl/LinkClient.h"

namespace netlab {

inline constexpr const char* kClientAddress = "198.18.1.2";     // en0
inline constexpr const char* kServerAddress = "198.51.100.10";  // only through en0's gateway (or the TUN)
inline constexpr const char* kServerAddress6 = "2001:db8:2::10";
inline constexpr const char* kSilentAddress = "203.0.113.99";   // dropped without a word at the gateway
inline constexpr const char* kDelayedAddress = "203.0.113.20";  // behind the delay line
inline constexpr const char* kTunAddress = "198.19.0.2";        // utun4
inline constexpr int kOpenPort = 8443;
inline constexpr int kClosedPort = 8444;
inline constexpr const char* kSilentThenLiveName = "silent-then-live.netlab";
inline constexpr const char* kServerName6 = "v6.netlab";

// Why the lab cannot be built on this machine (not root, no TUN device, no `ip`), or nothing.
std::optional<std::string> whyUnavailable();
// The `ip` tool's path.
std::string ipTool();

class PacketPump;
class LineRecorder;

// One TCP handshake through the delay line as the kernel saw it at the line's near end (tunR):
// when the SYN went into the line and when its SYN-ACK came out of it, from the kernel's packet
// timestamps (nanoseconds of one clock), not from when the pump got round to reading.
struct LineHandshake {
  int64_t synNs = 0;
  int64_t synAckNs = 0;
  int64_t nanos() const { return synAckNs - synNs; }
};

class Lab {
 public:
  struct Options {
    std::chrono::microseconds roundTrip{20000};  // the delay line's D
  };

  // Builds the namespaces, links, routes, listeners and the pump. nullptr and `error` when a step
  // fails (what was made is taken down again).
  static std::unique_ptr<Lab> build(const Options& options, std::string* error);
  ~Lab();
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  const std::string& clientNamespace() const { return client_; }
  const std::string& routerNamespace() const { return router_; }
  const std::string& delayedNamespace() const { return delayed_; }

  // Runs `ip -n <namespace> ARGS...`; empty on success, else what went wrong.
  std::string ipIn(const std::string& ns, const std::vector<std::string>& args) const;
  // `ip -n <ns> route get ADDRESS` as the kernel answers it.
  std::string routeTo(const std::string& address) const;
  // en0's index in the client namespace.
  uint32_t clientInterfaceIndex(const std::string& name) const;

  void setRoundTrip(std::chrono::microseconds roundTrip);
  std::chrono::microseconds roundTrip() const;
  // TCP connection requests (SYNs) that left the client through utun4 toward `address`. Only
  // those: the kernel answers stray segments of closed connections (RSTs) by the routing table,
  // binding or not.
  size_t tunnelConnectionRequestsTo(const std::string& address) const;
  // The handshakes completed through the delay line since the last call, in completion order.
  std::vector<LineHandshake> takeLineHandshakes();

  // Moves the calling thread into the client namespace: it and the threads it starts from then on
  // see the client's interfaces and routes (though not its /etc/hosts).
  bool enterClientNamespace(std::string* error) const;

 private:
  Lab() = default;
  bool setUp(const Options& options, std::string* error);
  void tearDown();

  std::string prefix_, client_, router_, server_, delayed_;
  std::vector<std::string> namespaces_;
  std::vector<int> listeners_;
  std::unique_ptr<PacketPump> pump_;
  std::unique_ptr<LineRecorder> recorder_;
  std::thread acceptor_;
  int stopAcceptor_ = -1;
};

// build/bin/proxyhost running in the lab's client namespace (under `ip netns exec`), its engine
// link on a socket outside the namespace, its log in a file. Killed when this goes, and also when
// the test process dies.
class NetlabHost {
 public:
  struct Options {
    // The host's nice value. Tests that judge a measurement to the millisecond raise the host's
    // priority, so that on a busy machine a worker whose connection is up gets a core at once.
    int nice = 0;
  };
  NetlabHost(const Lab& lab, std::string* error) : NetlabHost(lab, Options{}, error) {}
  NetlabHost(const Lab& lab, const Options& options, std::string* error);
  ~NetlabHost();
  NetlabHost(const NetlabHost&) = delete;
  NetlabHost& operator=(const NetlabHost&) = delete;

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Connects once the host serves; nullptr and `error` when it does not within `timeout`.
  std::unique_ptr<enginelink::LinkClient> connect(std::chrono::milliseconds timeout, std::string* error);
  // The "[NativeTcpPing]" lines logged since the last call, message text only, in order.
  std::vector<std::string> takeProbeLines();
  std::string log() const;
  // What the kernel says of the host process right now.
  size_t openDescriptors() const;
  size_t peakResidentKiB() const;
  size_t threadCount() const;

 private:
  std::string dir_, socket_, logPath_;
  pid_t pid_ = -1;
  size_t logOffset_ = 0;
};

// One "tcpPing" over the link. The integer result, or nothing and `error` (no reply, or a reply
// that is not an integer).
std::optional<int64_t> tcpPing(enginelink::LinkClient& client, const std::string& host, int64_t port,
                               std::optional<int64_t> timeoutMs, std::string* error,
                               std::chrono::milliseconds wait = std::chrono::seconds(30));
// The encoded "tcpPing" call, for callers that post many at once.
std::vector<uint8_t> tcpPingCall(const std::string& host, int64_t port, std::optional<int64_t> timeoutMs);
// The integer in a reply payload, or nothing.
std::optional<int64_t> integerReply(const std::vector<uint8_t>& payload);

}  // namespace netlab
