// The host under many probes at once, driven over its engine link as the Flutter side would, inside
// a network lab (root):
//
//   probe_storm_bench [--nice N]      (N: the host's nice value, 0 by default)
//
// 1. Storm: 1000 "tcpPing" calls sent at once, half to a silent address (timeoutMs 1000), half to
//    the delay line's server: wall time until the last reply against the longest timeout, every
//    reply checked, the host's peak resident memory and threads, and the round trip of an
//    unrelated call during the storm next to the same call's round trip on an idle host.
// 2. Accuracy against ground truth: at D = 5, 20 and 100 ms and 1, 10 and 100 probes in flight,
//    the share of tcpPing results in [D, D+1] ms next to the delay line's own share over the same
//    handshakes (from the kernel's packet stamps at the line), and nping --tcp-connect run
//    sequentially through the same line as the outside reference; the machine's load beside.
// 3. Descriptors and threads: the host's counts when idle, and again after 10,000 probes of every
//    outcome once its idle workers have retired.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/flutter/FlutterCodecs.h"
#include "tests/netlab/NetLab.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using enginelink::LinkClient;

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The 1-minute load average and the core count, as "load 4.12 on 2 cores".
std::string machineLoad() {
  std::ifstream in("/proc/loadavg");
  double one = 0;
  in >> one;
  char text[64];
  std::snprintf(text, sizeof text, "load %.2f on %u cores", one, std::thread::hardware_concurrency());
  return text;
}

// Whole milliseconds in [D, D+1], as the probe's truncated results are judged.
bool inRange(int64_t ms, int d) { return ms >= d && ms <= d + 1; }

double share(int hits, size_t of) { return of == 0 ? 0 : 100.0 * hits / static_cast<double>(of); }

// The delay line's own share over `handshakes`: its time from SYN in to SYN-ACK out, truncated.
double lineShare(const std::vector<netlab::LineHandshake>& handshakes, int d) {
  int hits = 0;
  for (const auto& h : handshakes) hits += inRange(h.nanos() / 1'000'000, d);
  return share(hits, handshakes.size());
}

// nping --tcp-connect in the client namespace, bound to en0 as the host's probe is, `count`
// handshakes one after the other; the round trips in milliseconds (from its SENT and RCVD times,
// 0.1 ms apart at best), or nothing when nping is not there.
std::optional<std::vector<double>> npingRoundTrips(const netlab::Lab& lab, int d, int count) {
  const std::string command = "ip netns exec " + lab.clientNamespace() + " nping --tcp-connect -e en0 -p " +
                              std::to_string(netlab::kOpenPort) + " -c " + std::to_string(count) + " --delay " +
                              std::to_string(d + 15) + "ms " + netlab::kDelayedAddress + " 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return std::nullopt;
  std::vector<double> trips;
  double sent = -1;
  char line[512];
  bool any = false;
  while (std::fgets(line, sizeof line, out) != nullptr) {
    double at = 0;
    if (std::sscanf(line, "SENT (%lfs) Starting TCP Handshake", &at) == 1) {
      sent = at;
      any = true;
    } else if (std::sscanf(line, "RCVD (%lfs) Handshake", &at) == 1 && sent >= 0) {
      trips.push_back((at - sent) * 1000.0);
      sent = -1;
    }
  }
  const int status = pclose(out);
  if (!any || status != 0) return std::nullopt;
  return trips;
}

struct Target {
  std::string host;
  int port;
  int64_t timeoutMs;
};

// Runs `count` probes, `inFlight` at a time, cycling through `targets`; the results in call order.
std::vector<std::optional<int64_t>> run(LinkClient& client, const std::vector<Target>& targets, int count,
                                        int inFlight) {
  const std::string channel = client.bundleIdentifier() + "/native_tcp_ping";
  std::vector<std::optional<int64_t>> results(static_cast<size_t>(count));
  std::deque<std::pair<uint32_t, int>> pending;
  int sent = 0;
  auto post = [&] {
    const Target& t = targets[static_cast<size_t>(sent) % targets.size()];
    auto id = client.post(channel, netlab::tcpPingCall(t.host, t.port, t.timeoutMs));
    if (id) pending.emplace_back(*id, sent);
    ++sent;
  };
  while (sent < count && static_cast<int>(pending.size()) < inFlight) post();
  while (!pending.empty()) {
    auto [id, index] = pending.front();
    pending.pop_front();
    auto reply = client.waitReply(id, 30s);
    if (reply) results[static_cast<size_t>(index)] = netlab::integerReply(*reply);
    if (sent < count) post();
  }
  return results;
}

// Round trips of a call the probe does not serve, until `stop`; the host's threads sampled beside.
struct Sampler {
  std::vector<double> roundTrips;
  size_t peakThreads = 0;
  std::thread thread;

  void start(netlab::NetlabHost& host, std::unique_ptr<LinkClient> client, std::atomic<bool>& stop) {
    thread = std::thread([this, &host, &stop, client = std::move(client)] {
      const auto call = StandardMethodCodec::getInstance().encodeMethodCall({"isFocused", {}});
      while (!stop) {
        auto start = Clock::now();
        if (client->call("window_manager", call, 10s)) roundTrips.push_back(millisSince(start));
        peakThreads = std::max(peakThreads, host.threadCount());
        std::this_thread::sleep_for(2ms);  // pacing: a user interface's calls, not a flood
      }
    });
  }
};

}  // namespace

int main(int argc, char** argv) {
  int nice = 0;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--nice") == 0) nice = std::atoi(argv[i + 1]);
  }
  std::string error;
  const int roundTripMs = 20;
  auto lab = netlab::Lab::build({.roundTrip = std::chrono::milliseconds(roundTripMs)}, &error);
  if (!lab) {
    std::fprintf(stderr, "probe_storm_bench: no network lab: %s\n", error.c_str());
    return 1;
  }
  netlab::NetlabHost host(*lab, netlab::NetlabHost::Options{.nice = nice}, &error);
  auto client = host.connect(20s, &error);
  auto side = client ? host.connect(20s, &error) : nullptr;
  if (!client || !side) {
    std::fprintf(stderr, "probe_storm_bench: the host does not serve: %s\n", error.c_str());
    return 1;
  }
  bool allGood = true;
  std::printf("host nice %d; %s at the start\n", nice, machineLoad().c_str());

  // --- 1. Storm -------------------------------------------------------------------------------
  {
    std::atomic<bool> stop{false};
    Sampler idle;
    idle.start(host, host.connect(20s, &error), stop);
    std::this_thread::sleep_for(500ms);  // a baseline window of round trips on an idle host
    stop = true;
    idle.thread.join();

    stop = false;
    Sampler busy;
    busy.start(host, std::move(side), stop);
    const std::vector<Target> storm = {{netlab::kSilentAddress, netlab::kOpenPort, 1000},
                                       {netlab::kDelayedAddress, netlab::kOpenPort, 1000}};
    auto start = Clock::now();
    auto results = run(*client, storm, 1000, 1000);
    double wall = millisSince(start);
    stop = true;
    busy.thread.join();

    int silentRight = 0, delayedRight = 0, delayedExact = 0, missing = 0;
    for (size_t i = 0; i < results.size(); ++i) {
      if (!results[i]) {
        ++missing;
      } else if (i % 2 == 0) {
        silentRight += *results[i] == -1;
      } else {
        delayedRight += *results[i] >= roundTripMs && *results[i] < 1000;
        delayedExact += *results[i] >= roundTripMs && *results[i] <= roundTripMs + 1;
      }
    }
    const double longestTimeout = 1000;
    const double p99 = percentile(busy.roundTrips, 0.99), worst = percentile(busy.roundTrips, 1.0);
    const double peakMiB = static_cast<double>(host.peakResidentKiB()) / 1024.0;
    std::printf("storm: 1000 tcpPing at once (500 silent, timeoutMs 1000; 500 through D=%d ms); %s\n", roundTripMs,
                machineLoad().c_str());
    std::printf("  last reply after %.0f ms = %.2fx the longest timeout (aim: at most 1.3x)\n", wall,
                wall / longestTimeout);
    std::printf("  replies: silent -1: %d/500, delayed >= D: %d/500 (in [D, D+1]: %d), missing: %d\n", silentRight,
                delayedRight, delayedExact, missing);
    std::printf("  host peak RSS: %.1f MB (aim: under 50 MB), peak threads: %zu\n", peakMiB, busy.peakThreads);
    std::printf(
        "  unrelated call round trip: idle p50 %.2f / p99 %.2f ms; in the storm p50 %.2f / p99 %.2f / max %.2f ms "
        "over %zu calls (aim: p99 under 2 ms, max under 10 ms)\n",
        percentile(idle.roundTrips, 0.5), percentile(idle.roundTrips, 0.99), percentile(busy.roundTrips, 0.5), p99,
        worst, busy.roundTrips.size());
    allGood = allGood && silentRight == 500 && delayedRight == 500 && missing == 0;
  }

  // --- 2. Accuracy ----------------------------------------------------------------------------
  std::printf("accuracy: share of results in [D, D+1] ms; the line's own share over the same handshakes\n");
  for (int d : {5, 20, 100}) {
    lab->setRoundTrip(std::chrono::milliseconds(d));
    for (int inFlight : {1, 10, 100}) {
      const int count = inFlight == 1 ? 300 : 1000;
      lab->takeLineHandshakes();
      auto results = run(*client, {{netlab::kDelayedAddress, netlab::kOpenPort, 5000}}, count, inFlight);
      auto handshakes = lab->takeLineHandshakes();
      int exact = 0, below = 0, failed = 0;
      std::map<int64_t, int> histogram;
      for (const auto& r : results) {
        if (!r || *r < 0) {
          ++failed;
          continue;
        }
        exact += inRange(*r, d);
        below += *r < d;
        ++histogram[*r];
      }
      const double probeShare = share(exact, results.size()), line = lineShare(handshakes, d);
      std::printf(
          "  D=%3d ms, %3d in flight: tcpPing %6.2f%% of %d, line %6.2f%% of %zu, gap %+.2f points, "
          "below D %d, failed %d; %s; results:",
          d, inFlight, probeShare, count, line, handshakes.size(), probeShare - line, below, failed,
          machineLoad().c_str());
      for (const auto& [ms, n] : histogram) std::printf(" %lld:%d", static_cast<long long>(ms), n);
      std::printf("\n");
      allGood = allGood && below == 0 && failed == 0;
    }
    const int npingCount = 200;
    lab->takeLineHandshakes();
    auto trips = npingRoundTrips(*lab, d, npingCount);
    auto handshakes = lab->takeLineHandshakes();
    if (!trips) {
      std::printf("  D=%3d ms, nping --tcp-connect: not run (is nmap installed?)\n", d);
      continue;
    }
    int exact = 0, below = 0;
    for (double ms : *trips) {
      exact += inRange(static_cast<int64_t>(std::floor(ms)), d);
      below += ms < d;
    }
    std::printf("  D=%3d ms, nping --tcp-connect, sequential: %6.2f%% of %zu, line %6.2f%% of %zu, below D %d; %s\n", d,
                share(exact, trips->size()), trips->size(), lineShare(handshakes, d), handshakes.size(), below,
                machineLoad().c_str());
  }

  // --- 3. Descriptors and threads ------------------------------------------------------------
  {
    lab->setRoundTrip(std::chrono::milliseconds(roundTripMs));
    const std::vector<Target> mix = {{netlab::kServerAddress, netlab::kOpenPort, 2000},    // connects
                                     {netlab::kServerAddress, netlab::kClosedPort, 2000},  // refused
                                     {netlab::kDelayedAddress, netlab::kOpenPort, 0},      // wait times out
                                     {"nosuch.netlab", netlab::kOpenPort, 2000},           // does not resolve
                                     {netlab::kServerAddress6, netlab::kOpenPort, 2000}};  // IPv6
    run(*client, mix, 100, 20);  // warm-up: whatever the host opens once and keeps
    // Idle: the workers of everything so far have retired (after 10 s without work).
    std::this_thread::sleep_for(11s);
    const size_t idleThreads = host.threadCount();
    const size_t before = host.openDescriptors();
    auto start = Clock::now();
    auto results = run(*client, mix, 10000, 100);
    double wall = millisSince(start);
    const size_t after = host.openDescriptors();
    const size_t busyThreads = host.threadCount();
    // Back to idle once the workers have retired: polled for up to 25 s.
    const auto retireStart = Clock::now();
    size_t afterThreads = busyThreads;
    while (afterThreads != idleThreads && millisSince(retireStart) < 25'000) {
      std::this_thread::sleep_for(250ms);
      afterThreads = host.threadCount();
    }
    const double retireWait = millisSince(retireStart);
    int missing = static_cast<int>(std::count(results.begin(), results.end(), std::nullopt));
    std::printf("descriptors: %zu idle, %zu after 10000 probes of five outcomes (%.1f s, %d missing replies): %s\n",
                before, after, wall / 1000.0, missing, before == after ? "equal" : "DIFFERENT");
    std::printf("threads: %zu idle, %zu right after the probes, %zu %.1f s later: %s\n", idleThreads, busyThreads,
                afterThreads, retireWait / 1000.0, afterThreads == idleThreads ? "back to idle" : "NOT BACK");
    allGood = allGood && before == after && missing == 0 && afterThreads == idleThreads;
  }
  return allGood ? 0 : 1;
}
