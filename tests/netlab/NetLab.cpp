#include "tests/netlab/NetLab.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <utility>

#include "platform/flutter/FlutterCodecs.h"
#include "platform/posix/UniqueFd.h"

extern char** environ;

namespace netlab {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char* const kNetnsDir = "/run/netns";
const char* const kNetnsEtc = "/etc/netns";
const char* const kPrefix = "phl";

// ---------------------------------------------------------------------------------------------
// Child processes

struct ToolResult {
  int status = -1;  // exit status, -1 when it did not exit normally
  std::string errorOutput;
};

// Runs argv[0] with `input` on its standard input; collects its standard error.
ToolResult runTool(const std::vector<std::string>& argv, const std::string& input = {}) {
  std::vector<char*> args;
  std::vector<std::string> copy = argv;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);

  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return {-1, "pipe failed"};
  if (pipe2(err, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return {-1, "pipe failed"};
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(err[1], 2);
    execve(args[0], args.data(), environ);
    _exit(127);
  }
  ::close(in[0]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(in[1]);
    ::close(err[0]);
    return {-1, "fork failed"};
  }
  // The inputs are a few kilobytes: they fit the pipe, so writing all first cannot deadlock.
  size_t off = 0;
  while (off < input.size()) {
    ssize_t n = write(in[1], input.data() + off, input.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  ::close(in[1]);
  ToolResult result;
  char buf[4096];
  for (;;) {
    ssize_t n = read(err[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.errorOutput.append(buf, static_cast<size_t>(n));
  }
  ::close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string describeFailure(const std::vector<std::string>& argv, const ToolResult& r) {
  std::string line;
  for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
  return line + " failed (status " + std::to_string(r.status) + "): " + r.errorOutput;
}

// Runs `fn` on a thread of its own that has entered network namespace `ns`; the thread ends with
// it, so no other thread of this process changes namespace.
bool inNamespace(const std::string& ns, const std::function<void()>& fn, std::string* error) {
  bool entered = false;
  std::string why;
  std::thread worker([&] {
    int fd = open((std::string(kNetnsDir) + "/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      why = "cannot enter namespace " + ns + ": " + strerror(errno);
      if (fd >= 0) ::close(fd);
      return;
    }
    ::close(fd);
    entered = true;
    fn();
  });
  worker.join();
  if (!entered && error != nullptr) *error = why;
  return entered;
}

int64_t monotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The destination of a TCP connection request (SYN without ACK), or "" for any other packet.
std::string connectionRequestTo(const uint8_t* packet, size_t size) {
  char text[INET6_ADDRSTRLEN] = {};
  const uint8_t* tcp = nullptr;
  if (size >= 20 && (packet[0] >> 4) == 4 && packet[9] == IPPROTO_TCP) {
    size_t headerLength = (packet[0] & 0x0f) * 4u;
    if (size >= headerLength + 20) tcp = packet + headerLength;
    inet_ntop(AF_INET, packet + 16, text, sizeof text);
  } else if (size >= 60 && (packet[0] >> 4) == 6 && packet[6] == IPPROTO_TCP) {
    tcp = packet + 40;
    inet_ntop(AF_INET6, packet + 24, text, sizeof text);
  }
  const uint8_t kSyn = 0x02, kAck = 0x10;
  if (tcp == nullptr || (tcp[13] & (kSyn | kAck)) != kSyn) return {};
  return text;
}

bool pidAlive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

void removeNamespace(const std::string& name) {
  runTool({ipTool(), "netns", "del", name});
  std::error_code ignored;
  fs::remove_all(fs::path(kNetnsEtc) / name, ignored);
}

// Labs of test processes that died without cleaning up (killed on a timeout, say).
void sweepStaleLabs() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kNetnsDir, ec)) {
    std::string name = entry.path().filename().string();
    if (!name.starts_with(kPrefix)) continue;
    size_t dash = name.find('-');
    if (dash == std::string::npos) continue;
    pid_t pid = static_cast<pid_t>(std::atoi(name.substr(std::strlen(kPrefix), dash - std::strlen(kPrefix)).c_str()));
    if (pid > 0 && !pidAlive(pid)) removeNamespace(name);
  }
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The packet pump: moves packets between pairs of TUN devices in different namespaces, each way
// after its own delay.

class PacketPump {
 public:
  struct Link {
    int a = -1, b = -1;
    bool delayed = false;  // takes the pump's one-way delay; else forwards at once
    bool countFromA = false;
  };

  explicit PacketPump(std::vector<Link> links) : links_(std::move(links)) {
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    for (const Link& link : links_) {
      ports_.push_back(Port{link.a, link.b, link.delayed, link.countFromA, {}});
      ports_.push_back(Port{link.b, link.a, link.delayed, false, {}});
    }
    thread_ = std::thread([this] { run(); });
    // The delay line is only as exact as this thread's wake-ups: on a busy machine a real-time
    // priority keeps compilers and test runs from standing between a due packet and its write.
    // Where that is not allowed the lab still works, with coarser timing.
    sched_param priority{};
    priority.sched_priority = 10;
    pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &priority);
  }

  ~PacketPump() {
    uint64_t one = 1;
    (void)!write(stop_, &one, sizeof one);
    thread_.join();
    ::close(stop_);
    for (const Link& link : links_) {
      ::close(link.a);
      ::close(link.b);
    }
  }

  void setOneWayDelay(std::chrono::nanoseconds delay) { oneWayNanos_.store(delay.count()); }
  std::chrono::nanoseconds oneWayDelay() const { return std::chrono::nanoseconds(oneWayNanos_.load()); }

  size_t countTo(const std::string& address) const {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(address);
    return it == counts_.end() ? 0 : it->second;
  }

 private:
  struct Held {
    int64_t due;
    std::vector<uint8_t> bytes;
  };
  struct Port {
    int from, to;
    bool delayed, counted;
    std::deque<Held> queue;  // read from `from`, waiting to be written to `to`
  };

  void run() {
    std::vector<pollfd> fds;
    for (const Port& p : ports_) fds.push_back(pollfd{p.from, POLLIN, 0});
    fds.push_back(pollfd{stop_, POLLIN, 0});
    std::vector<uint8_t> buffer(65536);
    for (;;) {
      // Sleep until a packet arrives or the earliest held one is due, to the nanosecond: the
      // lab's round trip is only as exact as this wait.
      int64_t earliest = -1;
      for (const Port& p : ports_) {
        if (!p.queue.empty() && (earliest < 0 || p.queue.front().due < earliest)) earliest = p.queue.front().due;
      }
      timespec wait{};
      timespec* waitFor = nullptr;
      if (earliest >= 0) {
        int64_t left = std::max<int64_t>(0, earliest - monotonicNanos());
        wait.tv_sec = left / 1'000'000'000;
        wait.tv_nsec = left % 1'000'000'000;
        waitFor = &wait;
      }
      int ready = ppoll(fds.data(), fds.size(), waitFor, nullptr);
      if (ready < 0 && errno != EINTR) return;
      if (fds.back().revents & POLLIN) return;

      for (size_t i = 0; i < ports_.size(); ++i) {
        // A device that broke would poll ready for ever: at this thread's priority, a core lost.
        if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) fds[i].fd = -1;
        if (!(fds[i].revents & POLLIN)) continue;
        Port& port = ports_[i];
        for (;;) {
          ssize_t n = read(port.from, buffer.data(), buffer.size());
          if (n <= 0) break;
          const int64_t arrived = monotonicNanos();
          if (port.counted) {
            std::string to = connectionRequestTo(buffer.data(), static_cast<size_t>(n));
            std::lock_guard lock(mutex_);
            if (!to.empty()) ++counts_[to];
          }
          int64_t due = arrived + (port.delayed ? oneWayNanos_.load() : 0);
          port.queue.push_back(Held{due, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)});
        }
      }
      const int64_t now = monotonicNanos();
      for (Port& port : ports_) {
        while (!port.queue.empty() && port.queue.front().due <= now) {
          const auto& bytes = port.queue.front().bytes;
          (void)!write(port.to, bytes.data(), bytes.size());  // a full queue drops, as a wire would
          port.queue.pop_front();
        }
      }
    }
  }

  std::vector<Link> links_;
  std::vector<Port> ports_;
  int stop_ = -1;
  std::atomic<int64_t> oneWayNanos_{0};
  mutable std::mutex mutex_;
  std::map<std::string, size_t> counts_;
  std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// The line's own truth: a packet socket on tunR with kernel receive timestamps. The kernel stamps
// an outgoing packet when it hands it to the device (the SYN entering the line) and an incoming
// one when it takes it from the device (the SYN-ACK leaving it), whenever the pump reads or
// writes. A filter keeps only SYNs, so the socket's buffer holds thousands of handshakes, and the
// socket is read when asked: the stamps do not depend on when, and what is asked for is complete.

class LineRecorder {
 public:
  // `fd`: a packet socket bound to the line's device, with SO_TIMESTAMPNS on.
  explicit LineRecorder(posix::UniqueFd fd) : fd_(std::move(fd)) {}

  std::vector<LineHandshake> take() {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> packet(65536);
    alignas(cmsghdr) char control[256];
    for (;;) {
      sockaddr_ll from{};
      iovec io{packet.data(), packet.size()};
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &io;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = posix::retryOnInterrupt([&] { return recvmsg(fd_.get(), &msg, MSG_DONTWAIT); });
      if (n <= 0) break;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
          note(packet.data(), static_cast<size_t>(n), from.sll_pkttype == PACKET_OUTGOING,
               static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec);
        }
      }
    }
    return std::exchange(completed_, {});
  }

  // Lets through IPv4 TCP segments with SYN set, nothing else (offsets from the IP header: the
  // socket is SOCK_DGRAM on a device without a link header).
  static bool filterSyns(int fd) {
    static sock_filter code[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // x = IP header length
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),   // a = version and header length
        BPF_STMT(BPF_ALU | BPF_RSH | BPF_K, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 4, 0, 5),  // IPv4?
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_TCP, 0, 3),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 13),  // TCP flags
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x02, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
  }

 private:
  // A SYN going in opens a handshake, keyed by the client's address and port; its SYN-ACK coming
  // out completes it. A retransmitted SYN keeps the first one's time, as the connecting side's
  // clock does.
  void note(const uint8_t* p, size_t size, bool intoLine, int64_t stamp) {
    if (size < 20 || (p[0] >> 4) != 4 || p[9] != IPPROTO_TCP) return;
    const size_t header = (p[0] & 0x0f) * 4u;
    if (size < header + 20) return;
    const uint8_t* tcp = p + header;
    const uint8_t flags = tcp[13] & 0x12;  // SYN and ACK
    uint32_t client;
    uint16_t port;
    if (intoLine && flags == 0x02) {
      std::memcpy(&client, p + 12, 4);
      std::memcpy(&port, tcp, 2);
      open_.emplace((uint64_t{client} << 16) | port, stamp);
    } else if (!intoLine && flags == 0x12) {
      std::memcpy(&client, p + 16, 4);
      std::memcpy(&port, tcp + 2, 2);
      auto it = open_.find((uint64_t{client} << 16) | port);
      if (it == open_.end()) return;
      completed_.push_back(LineHandshake{it->second, stamp});
      open_.erase(it);
    }
  }

  const posix::UniqueFd fd_;
  std::mutex mutex_;
  std::map<uint64_t, int64_t> open_;
  std::vector<LineHandshake> completed_;
};

// ---------------------------------------------------------------------------------------------

std::string ipTool() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return {};
}

std::optional<std::string> whyUnavailable() {
  if (geteuid() != 0) return "the network lab needs root (namespaces, veth and TUN devices)";
  if (ipTool().empty()) return "the ip tool (iproute2) is not installed";
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::string("/dev/net/tun cannot be opened: ") + strerror(errno);
  ::close(fd);
  return std::nullopt;
}

std::unique_ptr<Lab> Lab::build(const Options& options, std::string* error) {
  if (auto why = whyUnavailable()) {
    if (error != nullptr) *error = *why;
    return nullptr;
  }
  std::unique_ptr<Lab> lab(new Lab);
  if (!lab->setUp(options, error)) return nullptr;  // the destructor takes down what was made
  return lab;
}

Lab::~Lab() { tearDown(); }

void Lab::tearDown() {
  if (stopAcceptor_ >= 0) {
    uint64_t one = 1;
    (void)!write(stopAcceptor_, &one, sizeof one);
    if (acceptor_.joinable()) acceptor_.join();
    ::close(stopAcceptor_);
    stopAcceptor_ = -1;
  }
  for (int fd : listeners_) ::close(fd);
  listeners_.clear();
  recorder_.reset();
  pump_.reset();  // closes the TUN descriptors: the devices go with them
  for (const std::string& ns : namespaces_) removeNamespace(ns);
  namespaces_.clear();
}

std::string Lab::ipIn(const std::string& ns, const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {ipTool(), "-n", ns};
  argv.insert(argv.end(), args.begin(), args.end());
  ToolResult r = runTool(argv);
  return r.status == 0 ? std::string() : describeFailure(argv, r);
}

std::string Lab::routeTo(const std::string& address) const {
  // `ip route get` prints to standard output; run it through a shell-free pipe of our own.
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  std::vector<std::string> copy = {ipTool(), "-n", client_, "route", "get", address};
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    execve(args[0], args.data(), environ);
    _exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buf[1024];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) text.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status;
  if (pid > 0) waitpid(pid, &status, 0);
  return text;
}

uint32_t Lab::clientInterfaceIndex(const std::string& name) const {
  uint32_t index = 0;
  inNamespace(
      client_, [&] { index = if_nametoindex(name.c_str()); }, nullptr);
  return index;
}

void Lab::setRoundTrip(std::chrono::microseconds roundTrip) {
  pump_->setOneWayDelay(std::chrono::duration_cast<std::chrono::nanoseconds>(roundTrip) / 2);
}

std::chrono::microseconds Lab::roundTrip() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(pump_->oneWayDelay() * 2);
}

size_t Lab::tunnelConnectionRequestsTo(const std::string& address) const { return pump_->countTo(address); }

std::vector<LineHandshake> Lab::takeLineHandshakes() {
  return recorder_ ? recorder_->take() : std::vector<LineHandshake>{};
}

bool Lab::enterClientNamespace(std::string* error) const {
  int fd = open((std::string(kNetnsDir) + "/" + client_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
    if (error != nullptr) *error = std::string("cannot enter the client namespace: ") + strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

bool Lab::setUp(const Options& options, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  sweepStaleLabs();
  static std::atomic<int> labs{0};
  prefix_ = std::string(kPrefix) + std::to_string(getpid()) + "-" + std::to_string(labs++);
  client_ = prefix_ + "c";
  router_ = prefix_ + "r";
  server_ = prefix_ + "s";
  delayed_ = prefix_ + "d";

  for (const std::string& ns : {client_, router_, server_, delayed_}) {
    std::vector<std::string> argv = {ipTool(), "netns", "add", ns};
    ToolResult r = runTool(argv);
    if (r.status != 0) return fail(describeFailure(argv, r));
    namespaces_.push_back(ns);
  }

  // No duplicate address detection: a link-local address still tentative for its first second
  // makes IPv6 take odd paths, and nothing in the lab can clash.
  for (const std::string& ns : namespaces_) {
    bool written = false;
    std::string why;
    inNamespace(
        ns,
        [&] {
          written = writeFile("/proc/sys/net/ipv6/conf/all/accept_dad", "0\n") &&
                    writeFile("/proc/sys/net/ipv6/conf/default/accept_dad", "0\n");
        },
        &why);
    if (!written) return fail("cannot turn duplicate address detection off in " + ns + " " + why);
  }

  // The TUN devices are made by opening them inside their namespace; they live as long as this
  // process holds them, so even a crash leaves none behind.
  struct Tun {
    std::string ns, name;
    int fd = -1;
  };
  std::vector<Tun> tuns = {{client_, "utun4"}, {server_, "vpn0"}, {router_, "tunR"}, {delayed_, "tunD"}};
  for (Tun& tun : tuns) {
    std::string why;
    bool ok = inNamespace(
        tun.ns,
        [&] {
          int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
          if (fd < 0) {
            why = std::string("/dev/net/tun: ") + strerror(errno);
            return;
          }
          ifreq ifr{};
          std::strncpy(ifr.ifr_name, tun.name.c_str(), IFNAMSIZ - 1);
          ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
          if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
            why = "TUNSETIFF " + tun.name + ": " + strerror(errno);
            ::close(fd);
            return;
          }
          tun.fd = fd;
        },
        &why);
    if (!ok || tun.fd < 0) {
      for (Tun& t : tuns) {
        if (t.fd >= 0) ::close(t.fd);
      }
      return fail(why);
    }
  }
  pump_ = std::make_unique<PacketPump>(std::vector<PacketPump::Link>{
      {tuns[0].fd, tuns[1].fd, false, true},  // utun4 <-> vpn0: the VPN, counting what goes in
      {tuns[2].fd, tuns[3].fd, true, false},  // tunR <-> tunD: the delay line
  });
  setRoundTrip(options.roundTrip);

  // One `ip -batch` per namespace: the whole plan, stopping at the first line that fails. The
  // neighbours are fixed, so no address resolution ever stands in a measurement's way (and the
  // first IPv6 one here costs a retransmission second).
  const std::vector<std::pair<std::string, std::string>> plan = {
      {client_,
       "link set lo up\n"
       "link add en0 address 02:70:68:01:00:02 type veth peer name gw0 address 02:70:68:01:00:01 netns " +
           router_ +
           "\n"
           "addr add 198.18.1.2/24 dev en0\n"
           "addr add 2001:db8:1::2/64 dev en0 nodad\n"
           "link set en0 up\n"
           "neigh replace 198.18.1.1 lladdr 02:70:68:01:00:01 dev en0 nud permanent\n"
           "neigh replace 2001:db8:1::1 lladdr 02:70:68:01:00:01 dev en0 nud permanent\n"
           "addr add 198.19.0.2/32 dev utun4\n"
           "link set utun4 up\n"
           "route add default via 198.18.1.1 dev en0 metric 100\n"
           "route add 0.0.0.0/1 dev utun4\n"
           "route add 128.0.0.0/1 dev utun4\n"
           "route add ::/0 via 2001:db8:1::1 dev en0 metric 100\n"
           "route add ::/1 dev utun4\n"
           "route add 8000::/1 dev utun4\n"},
      {router_,
       "link set lo up\n"
       "link add lan0 address 02:70:68:02:00:01 type veth peer name srv0 address 02:70:68:02:00:10 netns " +
           server_ +
           "\n"
           "addr add 198.18.1.1/24 dev gw0\n"
           "addr add 2001:db8:1::1/64 dev gw0 nodad\n"
           "link set gw0 up\n"
           "addr add 198.51.100.1/24 dev lan0\n"
           "addr add 2001:db8:2::1/64 dev lan0 nodad\n"
           "link set lan0 up\n"
           "neigh replace 198.18.1.2 lladdr 02:70:68:01:00:02 dev gw0 nud permanent\n"
           "neigh replace 2001:db8:1::2 lladdr 02:70:68:01:00:02 dev gw0 nud permanent\n"
           "neigh replace 198.51.100.10 lladdr 02:70:68:02:00:10 dev lan0 nud permanent\n"
           "neigh replace 2001:db8:2::10 lladdr 02:70:68:02:00:10 dev lan0 nud permanent\n"
           "link set tunR up\n"
           "route add 203.0.113.20/32 dev tunR\n"
           "route add blackhole 203.0.113.99/32\n"},
      {server_,
       "link set lo up\n"
       "addr add 198.51.100.10/24 dev srv0\n"
       "addr add 2001:db8:2::10/64 dev srv0 nodad\n"
       "link set srv0 up\n"
       "neigh replace 198.51.100.1 lladdr 02:70:68:02:00:01 dev srv0 nud permanent\n"
       "neigh replace 2001:db8:2::1 lladdr 02:70:68:02:00:01 dev srv0 nud permanent\n"
       "route add default via 198.51.100.1\n"
       "route add ::/0 via 2001:db8:2::1\n"
       "link set vpn0 up\n"
       "route add 198.19.0.0/16 dev vpn0\n"},
      {delayed_,
       "link set lo up\n"
       "addr add 203.0.113.20/32 dev tunD\n"
       "link set tunD up\n"
       "route add default dev tunD\n"},
  };
  for (const auto& [ns, script] : plan) {
    std::vector<std::string> argv = {ipTool(), "-n", ns, "-batch", "-"};
    ToolResult r = runTool(argv, script);
    if (r.status != 0) return fail(describeFailure(argv, r));
  }

  // The line's own truth, watched at its near end.
  {
    posix::UniqueFd fd;
    std::string why;
    inNamespace(
        router_,
        [&] {
          fd.reset(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL)));
          if (!fd.valid()) {
            why = std::string("packet socket: ") + strerror(errno);
            return;
          }
          int on = 1, buffer = 32 << 20;
          setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
          setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
          sockaddr_ll at{};
          at.sll_family = AF_PACKET;
          at.sll_protocol = htons(ETH_P_ALL);
          at.sll_ifindex = static_cast<int>(if_nametoindex("tunR"));
          if (!LineRecorder::filterSyns(fd.get()) || at.sll_ifindex == 0 ||
              bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
            why = std::string("packet socket on tunR: ") + strerror(errno);
            fd.reset();
          }
        },
        &why);
    if (!fd.valid()) return fail(why);
    recorder_ = std::make_unique<LineRecorder>(std::move(fd));
  }

  std::string why;
  bool forwarding = false;
  inNamespace(
      router_,
      [&] {
        forwarding = writeFile("/proc/sys/net/ipv4/ip_forward", "1\n") &&
                     writeFile("/proc/sys/net/ipv6/conf/all/forwarding", "1\n");
      },
      &why);
  if (!forwarding) return fail("cannot turn forwarding on in the router namespace " + why);

  // The client's own /etc/hosts and resolv.conf, which `ip netns exec` mounts over the machine's.
  std::error_code ec;
  fs::create_directories(fs::path(kNetnsEtc) / client_, ec);
  if (ec) return fail("cannot make " + std::string(kNetnsEtc) + "/" + client_ + ": " + ec.message());
  bool written = writeFile(std::string(kNetnsEtc) + "/" + client_ + "/hosts",
                           "127.0.0.1 localhost\n"
                           "::1 localhost\n"
                           "203.0.113.99 " +
                               std::string(kSilentThenLiveName) +
                               "\n"
                               "203.0.113.20 " +
                               std::string(kSilentThenLiveName) +
                               "\n"
                               "2001:db8:2::10 " +
                               std::string(kServerName6) + "\n") &&
                 writeFile(std::string(kNetnsEtc) + "/" + client_ + "/resolv.conf",
                           "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
  if (!written) return fail("cannot write the client namespace's hosts file");

  // Listeners that accept and close at once, enough of them queued for a storm of probes.
  auto listenIn = [&](const std::string& ns) {
    int fd = -1;
    inNamespace(
        ns,
        [&] {
          fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
          int no = 0, yes = 1;
          setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
          setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
          sockaddr_in6 any{};
          any.sin6_family = AF_INET6;
          any.sin6_port = htons(kOpenPort);
          any.sin6_addr = in6addr_any;
          if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 || listen(fd, 4096) != 0) {
            why = "cannot listen in " + ns + ": " + strerror(errno);
            ::close(fd);
            fd = -1;
          }
        },
        &why);
    return fd;
  };
  for (const std::string& ns : {server_, delayed_}) {
    int fd = listenIn(ns);
    if (fd < 0) return fail(why);
    listeners_.push_back(fd);
  }
  stopAcceptor_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  acceptor_ = std::thread([this] {
    std::vector<pollfd> fds;
    for (int fd : listeners_) fds.push_back(pollfd{fd, POLLIN, 0});
    fds.push_back(pollfd{stopAcceptor_, POLLIN, 0});
    for (;;) {
      if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
      if (fds.back().revents & POLLIN) return;
      for (size_t i = 0; i + 1 < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        int conn;
        while ((conn = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) ::close(conn);
      }
    }
  });
  return true;
}

// ---------------------------------------------------------------------------------------------

NetlabHost::NetlabHost(const Lab& lab, const Options& options, std::string* error) {
  char pattern[] = "/tmp/proxyhost-netlab-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    if (error != nullptr) *error = "mkdtemp failed";
    return;
  }
  dir_ = pattern;
  socket_ = dir_ + "/engine.sock";
  logPath_ = dir_ + "/host.log";

  std::vector<std::string> argv = {ipTool(), "netns", "exec", lab.clientNamespace(), PROXYHOST_BIN};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const char* name :
         {"PROXYHOST_ENGINE_SOCKET=", "XDG_STATE_HOME=", "NETWORKSETUP_STATE_DIR=", "NETWORKSETUP_WORLD="}) {
      replaced = replaced || entry.starts_with(name);
    }
    if (!replaced) env.push_back(entry);
  }
  env.push_back("PROXYHOST_ENGINE_SOCKET=" + socket_);
  // Its record and its cleanup's networksetup runs stay in the lab's folder, never this machine's.
  env.push_back("XDG_STATE_HOME=" + dir_ + "/state");
  env.push_back("NETWORKSETUP_STATE_DIR=" + dir_ + "/networksetup");
  env.push_back("NETWORKSETUP_WORLD=simulated");
  std::vector<char*> args, envp;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // A host left running would keep serving: it dies with the test process.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    if (options.nice != 0) setpriority(PRIO_PROCESS, 0, options.nice);
    int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(log, 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  if (pid_ < 0 && error != nullptr) *error = std::string("fork failed: ") + strerror(errno);
}

NetlabHost::~NetlabHost() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (!dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
}

std::unique_ptr<enginelink::LinkClient> NetlabHost::connect(std::chrono::milliseconds timeout, std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto client = enginelink::LinkClient::connect(socket_, 5s);
    if (client) return std::move(*client);
    if (error != nullptr) *error = client.error().message();
    int status;
    if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == pid_) {
      if (pid_ > 0) pid_ = -1;
      if (error != nullptr) *error = "the host ended before serving; its log:\n" + log();
      return nullptr;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      if (error != nullptr) *error += "; its log:\n" + log();
      return nullptr;
    }
    std::this_thread::sleep_for(10ms);  // polling for a socket file to appear; nothing to wait on
  }
}

std::string NetlabHost::log() const {
  std::ifstream in(logPath_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> NetlabHost::takeProbeLines() {
  std::string text = log();
  std::vector<std::string> lines;
  size_t end = text.rfind('\n');
  if (end == std::string::npos || end + 1 <= logOffset_) return lines;
  std::istringstream in(text.substr(logOffset_, end + 1 - logOffset_));
  logOffset_ = end + 1;
  std::string line;
  while (std::getline(in, line)) {
    size_t at = line.find("[NativeTcpPing]");
    if (at != std::string::npos) lines.push_back(line.substr(at));
  }
  return lines;
}

size_t NetlabHost::openDescriptors() const {
  size_t count = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

namespace {
size_t statusField(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(field + ":")) return static_cast<size_t>(std::atoll(line.c_str() + field.size() + 1));
  }
  return 0;
}
}  // namespace

size_t NetlabHost::peakResidentKiB() const { return statusField(pid_, "VmHWM"); }
size_t NetlabHost::threadCount() const { return statusField(pid_, "Threads"); }

// ---------------------------------------------------------------------------------------------

std::vector<uint8_t> tcpPingCall(const std::string& host, int64_t port, std::optional<int64_t> timeoutMs) {
  EncodableMap args{{"host", host}, {"port", EncodableValue::integer(port)}};
  if (timeoutMs) args.set("timeoutMs", EncodableValue::integer(*timeoutMs));
  return StandardMethodCodec::getInstance().encodeMethodCall({"tcpPing", EncodableValue(std::move(args))});
}

std::optional<int64_t> integerReply(const std::vector<uint8_t>& payload) {
  if (payload.empty()) return std::nullopt;
  auto envelope = StandardMethodCodec::getInstance().decodeEnvelope(payload);
  if (!envelope) return std::nullopt;
  const auto* value = std::get_if<EncodableValue>(&*envelope);
  return value != nullptr ? value->asInteger() : std::nullopt;
}

std::optional<int64_t> tcpPing(enginelink::LinkClient& client, const std::string& host, int64_t port,
                               std::optional<int64_t> timeoutMs, std::string* error, std::chrono::milliseconds wait) {
  auto reply = client.call(client.bundleIdentifier() + "/native_tcp_ping", tcpPingCall(host, port, timeoutMs), wait);
  if (!reply) {
    if (error != nullptr) *error = reply.error().message();
    return std::nullopt;
  }
  auto value = integerReply(*reply);
  if (!value && error != nullptr) *error = "the reply is not an integer";
  return value;
}

}  // namespace netlab
