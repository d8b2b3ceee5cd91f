// The host under many probes at once, driven over its engine link as the Flutter side would, inside
// a network lab (root):
//
//   probe_storm_bench
//
// 1. Storm: 1000 "tcpPing" calls sent at once, half to a silent address (timeoutMs 1000), half to
//    the delay line's server: wall time until the last reply, every reply checked, the host's peak
//    resident memory and threads, and the round trip of an unrelated call during the storm next to
//    the same call's round trip on an idle host.
// 2. Accuracy: 1000 probes, 100 in flight, through the delay line at D = 20 ms and D = 100 ms: the
//    share of results in [D, D+1] ms.
// 3. Descriptors: the host's open descriptors before and after 10,000 probes of every outcome.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
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
    std::string error;
    auto reply = client.waitReply(id, 30s, &error);
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

int main() {
  std::string error;
  const int roundTripMs = 20;
  auto lab = netlab::Lab::build({.roundTrip = std::chrono::milliseconds(roundTripMs)}, &error);
  if (!lab) {
    std::fprintf(stderr, "probe_storm_bench: no network lab: %s\n", error.c_str());
    return 1;
  }
  netlab::NetlabHost host(*lab, &error);
  auto client = host.connect(20s, &error);
  auto side = client ? host.connect(20s, &error) : nullptr;
  if (!client || !side) {
    std::fprintf(stderr, "probe_storm_bench: the host does not serve: %s\n", error.c_str());
    return 1;
  }
  bool allGood = true;

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
    std::printf("storm: 1000 tcpPing at once (500 silent, timeoutMs 1000; 500 through D=%d ms)\n", roundTripMs);
    std::printf("  wall time to the last reply: %.0f ms (aim: under 1300 ms)\n", wall);
    std::printf("  replies: silent -1: %d/500, delayed >= D: %d/500 (in [D, D+1]: %d), missing: %d\n", silentRight,
                delayedRight, delayedExact, missing);
    std::printf("  host peak RSS: %.1f MB (aim: under 150 MB), peak threads: %zu\n",
                static_cast<double>(host.peakResidentKiB()) / 1024.0, busy.peakThreads);
    std::printf("  unrelated call round trip: idle p50 %.2f / p99 %.2f ms; in the storm p50 %.2f / p99 %.2f / max %.2f ms "
                "over %zu calls (aim: p99 under 5 ms)\n",
                percentile(idle.roundTrips, 0.5), percentile(idle.roundTrips, 0.99),
                percentile(busy.roundTrips, 0.5), percentile(busy.roundTrips, 0.99),
                percentile(busy.roundTrips, 1.0), busy.roundTrips.size());
    allGood = allGood && silentRight == 500 && delayedRight == 500 && missing == 0;
  }

  // --- 2. Accuracy ----------------------------------------------------------------------------
  for (int d : {20, 100}) {
    lab->setRoundTrip(std::chrono::milliseconds(d));
    auto results = run(*client, {{netlab::kDelayedAddress, netlab::kOpenPort, 5000}}, 1000, 100);
    int exact = 0, below = 0;
    std::map<int64_t, int> histogram;
    for (const auto& r : results) {
      if (!r) continue;
      exact += *r >= d && *r <= d + 1;
      below += *r >= 0 && *r < d;
      ++histogram[*r];
    }
    std::printf("accuracy at D=%d ms: %.1f%% of 1000 in [D, D+1] (aim: at least 99%%), below D: %d; results:", d,
                exact / 10.0, below);
    for (const auto& [ms, n] : histogram) std::printf(" %lldms x%d", static_cast<long long>(ms), n);
    std::printf("\n");
    allGood = allGood && below == 0;
  }

  // --- 3. Descriptors -------------------------------------------------------------------------
  {
    lab->setRoundTrip(std::chrono::milliseconds(roundTripMs));
    const std::vector<Target> mix = {{netlab::kServerAddress, netlab::kOpenPort, 2000},    // connects
                                     {netlab::kServerAddress, netlab::kClosedPort, 2000},  // refused
                                     {netlab::kDelayedAddress, netlab::kOpenPort, 0},      // wait times out
                                     {"nosuch.netlab", netlab::kOpenPort, 2000},           // does not resolve
                                     {netlab::kServerAddress6, netlab::kOpenPort, 2000}};  // IPv6
    run(*client, mix, 100, 20);  // warm-up: whatever the host opens once and keeps
    size_t before = host.openDescriptors();
    auto start = Clock::now();
    auto results = run(*client, mix, 10000, 100);
    double wall = millisSince(start);
    size_t after = host.openDescriptors();
    int missing = static_cast<int>(std::count(results.begin(), results.end(), std::nullopt));
    std::printf("descriptors: %zu before, %zu after 10000 probes of five outcomes (%.1f s, %d missing replies): %s\n",
                before, after, wall / 1000.0, missing, before == after ? "equal" : "DIFFERENT");
    allGood = allGood && before == after && missing == 0;
  }
  return allGood ? 0 : 1;
}
