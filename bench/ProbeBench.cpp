// The cost of one probe next to the bare system calls it is made of: sequential probes to a
// listener reached through the loopback (interface choice, resolution and the log lines
// included), against a bare socket/connect/poll/close loop to the same listener, in one run.
//
//   probe_bench [probes per round]          (root: it runs inside a network lab's client namespace)
//
// The lab's client namespace has en0 as its physical interface, so the probe binds there; the
// listener is on en0's own address, which the kernel delivers through the loopback whatever the
// binding. The log lines are written to /dev/null, one write each, as the host writes them to a
// file or a terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "bench/Median.h"
#include "probe/NativeTcpPing.h"
#include "tests/netlab/NetLab.h"

namespace {

using Clock = std::chrono::steady_clock;

int bareConnect(const sockaddr_in& address) {
  int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) return -1;
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (ok != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    ok = poll(&p, 1, 1000) > 0 ? 0 : -1;
    int pending = 0;
    socklen_t length = sizeof pending;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
    if (pending != 0) ok = -1;
  }
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int perRound = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = 5;

  std::string error;
  auto lab = netlab::Lab::build({}, &error);
  if (!lab) {
    std::fprintf(stderr, "probe_bench: no network lab: %s\n", error.c_str());
    return 1;
  }
  if (!lab->enterClientNamespace(&error)) {
    std::fprintf(stderr, "probe_bench: %s\n", error.c_str());
    return 1;
  }
  // Tens of thousands of short connections to one listener: let TIME_WAIT ports be reused.
  std::ofstream("/proc/sys/net/ipv4/tcp_tw_reuse") << "1\n";

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, netlab::kClientAddress, &address.sin_addr);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4096) != 0) {
    std::perror("probe_bench: listener");
    return 1;
  }
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const int port = ntohs(address.sin_port);
  std::atomic<bool> stop{false};
  std::thread acceptor([&] {
    while (!stop) {
      pollfd p{listener, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn >= 0) close(conn);
    }
  });

  // The probe's log goes where nobody reads it; the summary goes to standard output.
  int savedStderr = dup(STDERR_FILENO);
  int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, STDERR_FILENO);

  std::vector<double> probeMicros, bareMicros;
  int probeFailures = 0, bareFailures = 0;
  for (int round = 0; round < rounds; ++round) {
    auto start = Clock::now();
    for (int i = 0; i < perRound; ++i) {
      if (NativeTcpPing::tcpPingBoundToPhysical(netlab::kClientAddress, port, 1000) < 0) ++probeFailures;
    }
    probeMicros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / perRound);

    start = Clock::now();
    for (int i = 0; i < perRound; ++i) {
      if (bareConnect(address) != 0) ++bareFailures;
    }
    bareMicros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / perRound);
  }

  dup2(savedStderr, STDERR_FILENO);
  stop = true;
  acceptor.join();
  close(listener);

  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  const double probe = median(probeMicros), bare = median(bareMicros);
  std::printf("per-probe cost, %d sequential probes x %d rounds to %s:%d (median of rounds)\n", perRound, rounds,
              netlab::kClientAddress, port);
  std::printf("  probe (kept interface choice, resolve, bind, connect, wait, 4 log lines): %8.1f us\n", probe);
  std::printf("  bare socket/connect/poll/close:                                           %8.1f us\n", bare);
  std::printf("  ratio: %.2fx (aim: at most 1.5x); rounds alternate; load %.2f on %u cores\n", probe / bare, load,
              std::thread::hardware_concurrency());
  std::printf("  failures: probe %d, bare %d\n", probeFailures, bareFailures);
  return probeFailures == 0 && bareFailures == 0 ? 0 : 1;
}
