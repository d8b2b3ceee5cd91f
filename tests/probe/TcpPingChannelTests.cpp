// The TCP ping channel as the Flutter side sees it: encoded calls through the binary messenger,
// decoded replies, with the probe's outside world (interfaces, resolver, sockets, clock) scripted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSLog.h"
#include "probe/NativeTcpPing.h"
#include "tests/probe/FakeDarwin.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using probe_testing::FakeAttempt;
using probe_testing::FakeDarwin;
using probe_testing::FakeResolution;
using testing_support::callMethod;
using testing_support::NotImplemented;
using testing_support::Reply;

const std::string kChannel = "org.example.B/native_tcp_ping";
constexpr unsigned kUpRunning = IFF_UP | IFF_RUNNING;
constexpr uint64_t kMs = 1'000'000;  // ticks at 1/1

// The log lines, as the Flutter side's developer reads them.
const std::string kChosen = "log: [NativeTcpPing]   选中物理网卡: en0 (idx=4)";
const std::string kNotFound =
    "log: [NativeTcpPing]   ⚠️ 未找到物理网卡，将走默认路由（可能受 TUN 干扰）";
const std::string kBound = "log: [NativeTcpPing]   bound to iface en0(idx=4)";
std::string started(const std::string& target, const std::string& timeout, const std::string& iface = "en0") {
  return "log: [NativeTcpPing] → tcpPing " + target + " (timeout=" + timeout + "ms, iface=" + iface + ")";
}
std::string bindRefused(int error) {
  return "log: [NativeTcpPing] ⚠️ setsockopt(IP_BOUND_IF, en0(4)) failed: errno=" + std::to_string(error);
}
std::string socketFailed(int error) { return "log: [NativeTcpPing] ✗ socket() failed: errno=" + std::to_string(error); }
std::string connectFailed(int error) {
  return "log: [NativeTcpPing] ✗ connect() failed: errno=" + std::to_string(error);
}
std::string waitFailed(int ret, int error) {
  return "log: [NativeTcpPing] ✗ select timeout/error: ret=" + std::to_string(ret) + " errno=" + std::to_string(error);
}
std::string soError(int error) { return "log: [NativeTcpPing] ✗ SO_ERROR=" + std::to_string(error); }
std::string connectedAtOnce(const std::string& target, int ms) {
  return "log: [NativeTcpPing] ✓ connect immediate " + target + " → " + std::to_string(ms) + "ms";
}
std::string connected(const std::string& target, int ms) {
  return "log: [NativeTcpPing] ✓ connect ok " + target + " → " + std::to_string(ms) + "ms";
}
std::string allFailed(const std::string& target) {
  return "log: [NativeTcpPing] ✗ all addrinfo entries failed for " + target;
}
std::string unresolved(const std::string& host, int code) {
  return "log: [NativeTcpPing] ✗ DNS resolution failed for " + host + ": " + std::to_string(code);
}

void withPhysicalInterface(FakeDarwin& fake) {
  fake.interfaces = {{"lo0", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, AF_INET, "127.0.0.1"},
                     {"en0", kUpRunning, AF_INET6, "fe80::1"},
                     {"en0", kUpRunning, AF_INET, "192.0.2.5"}};
  fake.indexes = {{"en0", 4}};
}

std::optional<int64_t> integerOf(const Reply& reply) {
  const auto* value = std::get_if<EncodableValue>(&reply);
  return value != nullptr ? value->asInteger() : std::nullopt;
}

class TcpPingChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FlutterMethodChannel::methodChannelWithName(kChannel, messenger_)
        ->setMethodCallHandler(NativeTcpPing::handleNativeTcpPingCall);
  }

  Reply call(const std::string& method, EncodableValue arguments) {
    auto reply = callMethod(messenger_, method, std::move(arguments), 10s);
    if (!reply) {
      ADD_FAILURE() << "no reply to " << method;
      return NotImplemented{};
    }
    return *reply;
  }
  Reply ping(EncodableValue arguments) { return call("tcpPing", std::move(arguments)); }

  testing_support::TestBinaryMessenger messenger_;
};

TEST_F(TcpPingChannelTest, EveryArgumentFaultGetsTheSameErrorAtOnceAndStartsNoProbe) {
  const FlutterError badArgs{"BAD_ARGS", std::string("host/port missing"), {}};
  const EncodableValue port(int32_t{443});
  struct Case {
    const char* what;
    EncodableValue arguments;
  };
  const std::vector<Case> cases = {
      {"no arguments", EncodableValue()},
      {"a list", EncodableList{"h.example", 443}},
      {"a key that is not a string", EncodableMap{{"host", "h.example"}, {"port", 443}, {int32_t{1}, "x"}}},
      {"host missing", EncodableMap{{"port", port}}},
      {"host not a string", EncodableMap{{"host", 7}, {"port", port}}},
      {"host empty", EncodableMap{{"host", ""}, {"port", port}}},
      {"host null", EncodableMap{{"host", EncodableValue()}, {"port", port}}},
      {"host with a NUL", EncodableMap{{"host", std::string("h.example\0.evil", 15)}, {"port", port}}},
      {"host that is one NUL", EncodableMap{{"host", std::string(1, '\0')}, {"port", port}}},
      {"port missing", EncodableMap{{"host", "h.example"}}},
      {"port a string", EncodableMap{{"host", "h.example"}, {"port", "443"}}},
      {"port a double", EncodableMap{{"host", "h.example"}, {"port", 443.0}}},
      {"port a bool", EncodableMap{{"host", "h.example"}, {"port", true}}},
      {"port above 32 bits", EncodableMap{{"host", "h.example"}, {"port", int64_t{2147483648LL}}}},
      {"port below 32 bits", EncodableMap{{"host", "h.example"}, {"port", int64_t{-2147483649LL}}}},
      {"port far out", EncodableMap{{"host", "h.example"}, {"port", std::numeric_limits<int64_t>::max()}}},
  };
  for (const Case& c : cases) {
    FakeDarwin fake;
    withPhysicalInterface(fake);
    EXPECT_EQ(ping(c.arguments), Reply(badArgs)) << c.what;
    drainMainQueue();
    EXPECT_EQ(fake.journal(), std::vector<std::string>{}) << c.what;
  }
}

TEST_F(TcpPingChannelTest, AnyOtherMethodNameIsNotImplementedAndLogsNothing) {
  const EncodableMap good{{"host", "h.example"}, {"port", 443}};
  for (const char* method : {"TcpPing", "tcpping", "TCPPING", "tcpPing ", "ping", ""}) {
    FakeDarwin fake;
    EXPECT_EQ(call(method, good), Reply(NotImplemented{})) << method;
    EXPECT_EQ(fake.journal(), std::vector<std::string>{}) << method;
  }
}

TEST_F(TcpPingChannelTest, PassesHostPortAndTimeoutOnAsTheProbeTakesThem) {
  struct Case {
    const char* what;
    EncodableMap arguments;
    std::string startLine;
    std::string resolution;  // the getaddrinfo call
    std::string wait;        // the select call
  };
  const std::string host = "h.example";
  const std::string asked = "getaddrinfo(h.example,";
  const std::string hints = ",flags=0,family=0,socktype=1,protocol=6)";
  const std::vector<Case> cases = {
      {"no timeout: 5000 ms",
       {{"host", host}, {"port", 443}},
       started("h.example:443", "5000"),
       asked + "443" + hints,
       "select(1501,write={1500},5s+0us)"},
      {"port as a 64-bit integer",
       {{"host", host}, {"port", int64_t{443}}},
       started("h.example:443", "5000"),
       asked + "443" + hints,
       "select(1501,write={1500},5s+0us)"},
      {"the largest 32-bit port",
       {{"host", host}, {"port", std::numeric_limits<int32_t>::max()}},
       started("h.example:2147483647", "5000"),
       asked + "2147483647" + hints,
       "select(1501,write={1500},5s+0us)"},
      {"the smallest 32-bit port, sent 64 bits wide",
       {{"host", host}, {"port", int64_t{std::numeric_limits<int32_t>::min()}}},
       started("h.example:-2147483648", "5000"),
       asked + "-2147483648" + hints,
       "select(1501,write={1500},5s+0us)"},
      {"no port range check",
       {{"host", host}, {"port", 70000}},
       started("h.example:70000", "5000"),
       asked + "70000" + hints,
       "select(1501,write={1500},5s+0us)"},
      {"timeout a string: 5000 ms",
       {{"host", host}, {"port", 443}, {"timeoutMs", "fast"}},
       started("h.example:443", "5000"),
       asked + "443" + hints,
       "select(1501,write={1500},5s+0us)"},
      {"timeout a double: 5000 ms",
       {{"host", host}, {"port", 443}, {"timeoutMs", 1.5}},
       started("h.example:443", "5000"),
       asked + "443" + hints,
       "select(1501,write={1500},5s+0us)"},
      {"timeout null: 5000 ms",
       {{"host", host}, {"port", 443}, {"timeoutMs", EncodableValue()}},
       started("h.example:443", "5000"),
       asked + "443" + hints,
       "select(1501,write={1500},5s+0us)"},
      {"timeout 1500",
       {{"host", host}, {"port", 443}, {"timeoutMs", 1500}},
       started("h.example:443", "1500"),
       asked + "443" + hints,
       "select(1501,write={1500},1s+500000us)"},
      {"timeout past 32 bits: logged through its low 32 bits, waited in full",
       {{"host", host}, {"port", 443}, {"timeoutMs", int64_t{4'294'967'301LL}}},
       started("h.example:443", "5"),
       asked + "443" + hints,
       "select(1501,write={1500},4294967s+301000us)"},
      {"negative timeout: passed on as it is",
       {{"host", host}, {"port", 443}, {"timeoutMs", -1500}},
       started("h.example:443", "-1500"),
       asked + "443" + hints,
       "select(1501,write={1500},-1s+-500000us)"},
      {"other keys are not read",
       {{"host", host}, {"port", 443}, {"socks", "x"}, {"timeout", 1}},
       started("h.example:443", "5000"),
       asked + "443" + hints,
       "select(1501,write={1500},5s+0us)"},
  };
  for (const Case& c : cases) {
    FakeDarwin fake;
    withPhysicalInterface(fake);
    fake.hosts[host] = FakeResolution{0, {FakeAttempt::at("192.0.2.10")}};
    EXPECT_EQ(integerOf(ping(c.arguments)), 0) << c.what;
    auto journal = fake.journal();
    auto has = [&](const std::string& entry) {
      return std::find(journal.begin(), journal.end(), entry) != journal.end();
    };
    EXPECT_TRUE(has(c.startLine)) << c.what << "\n" << testing::PrintToString(journal);
    EXPECT_TRUE(has(c.resolution)) << c.what << "\n" << testing::PrintToString(journal);
    EXPECT_TRUE(has(c.wait)) << c.what << "\n" << testing::PrintToString(journal);
  }
}

// Every outcome of an attempt, with its exact lines in order around the closes and the free, and
// the value the Flutter side gets. The set-up calls take clock time, which must never be counted.
TEST_F(TcpPingChannelTest, ReportsEveryAttemptOutcomeWithItsLinesInOrder) {
  struct Case {
    const char* what;
    std::vector<FakeAttempt> attempts;
    int64_t expected;
    std::vector<std::string> afterStart;
  };
  const std::string target = "svc.example:443";
  auto a = [] { return FakeAttempt::at("192.0.2.10"); };
  auto b = [] { return FakeAttempt::at("192.0.2.11"); };
  const std::vector<Case> cases = {
      {"socket() fails", {a().socketFails(EMFILE)}, -1, {socketFailed(EMFILE), allFailed(target), "freeaddrinfo"}},
      {"the binding is refused: warned, and the attempt goes on unbound",
       {a().bindFails(EPERM).takes(7 * kMs)},
       7,
       {bindRefused(EPERM), connected(target, 7), "close(1500)", "freeaddrinfo"}},
      {"connect refused at once",
       {a().connectFails(ECONNREFUSED)},
       -1,
       {kBound, connectFailed(ECONNREFUSED), "close(1500)", allFailed(target), "freeaddrinfo"}},
      {"the wait times out: errno still holds connect's EINPROGRESS",
       {a().waitReturns(0).takes(1500 * kMs)},
       -1,
       {kBound, waitFailed(0, EINPROGRESS), "close(1500)", allFailed(target), "freeaddrinfo"}},
      {"the wait fails",
       {a().waitReturns(-1, EBADF)},
       -1,
       {kBound, waitFailed(-1, EBADF), "close(1500)", allFailed(target), "freeaddrinfo"}},
      {"the connection is refused while waiting",
       {a().pendingError(ECONNREFUSED).takes(kMs)},
       -1,
       {kBound, soError(ECONNREFUSED), "close(1500)", allFailed(target), "freeaddrinfo"}},
      {"connected at once, under a millisecond: 0, and the next address is never tried",
       {a().connectsAtOnce().takes(999'999), b()},
       0,
       {kBound, connectedAtOnce(target, 0), "close(1500)", "freeaddrinfo"}},
      {"connected during the wait",
       {a().takes(12'990'000)},
       12,
       {kBound, connected(target, 12), "close(1500)", "freeaddrinfo"}},
      {"a failing getsockopt counts as no pending error",
       {a().cannotReadPendingError().takes(3 * kMs)},
       3,
       {kBound, connected(target, 3), "close(1500)", "freeaddrinfo"}},
      {"the second address answers: only its own attempt is timed",
       {a().waitReturns(0).takes(1500 * kMs), b().takes(12 * kMs)},
       12,
       {kBound, waitFailed(0, EINPROGRESS), "close(1500)", kBound, connected(target, 12), "close(1501)",
        "freeaddrinfo"}},
      {"an IPv6 entry's refused binding is still reported as IP_BOUND_IF",
       {FakeAttempt::at("2001:db8::10").bindFails(EACCES).takes(2 * kMs)},
       2,
       {bindRefused(EACCES), connected(target, 2), "close(1500)", "freeaddrinfo"}},
      {"every entry fails, each its own way",
       {a().socketFails(ENFILE), a().connectFails(ENETUNREACH), a().waitReturns(0), a().pendingError(ETIMEDOUT)},
       -1,
       {socketFailed(ENFILE), kBound, connectFailed(ENETUNREACH), "close(1500)", kBound, waitFailed(0, EINPROGRESS),
        "close(1501)", kBound, soError(ETIMEDOUT), "close(1502)", allFailed(target), "freeaddrinfo"}},
  };
  for (const Case& c : cases) {
    FakeDarwin fake;
    withPhysicalInterface(fake);
    fake.setupTicks = 3 * kMs;
    fake.hosts["svc.example"] = FakeResolution{0, c.attempts};
    EXPECT_EQ(integerOf(ping(EncodableMap{{"host", "svc.example"}, {"port", 443}, {"timeoutMs", 1500}})), c.expected)
        << c.what;
    std::vector<std::string> expected = {kChosen, "freeifaddrs", started(target, "1500")};
    expected.insert(expected.end(), c.afterStart.begin(), c.afterStart.end());
    EXPECT_EQ(fake.transcript(), expected) << c.what;
    EXPECT_EQ(fake.leaks(), std::vector<std::string>{}) << c.what;
  }
}

TEST_F(TcpPingChannelTest, AHostThatDoesNotResolveOpensNoSocketAndFreesNothing) {
  struct Case {
    const char* what;
    std::string host;
    std::optional<FakeResolution> resolution;
    int code;
  };
  const std::vector<Case> cases = {
      {"the resolver's own code", "nowhere.example", std::nullopt, EAI_NONAME},
      {"another code", "later.example", FakeResolution{EAI_AGAIN, {}}, EAI_AGAIN},
      {"resolved to an empty list", "empty.example", FakeResolution{0, {}}, 0},
  };
  for (const Case& c : cases) {
    FakeDarwin fake;
    withPhysicalInterface(fake);
    if (c.resolution) fake.hosts[c.host] = *c.resolution;
    EXPECT_EQ(integerOf(ping(EncodableMap{{"host", c.host}, {"port", 80}})), -1) << c.what;
    EXPECT_EQ(fake.transcript(), (std::vector<std::string>{kChosen, "freeifaddrs", started(c.host + ":80", "5000"),
                                                           unresolved(c.host, c.code)}))
        << c.what;
    for (const std::string& entry : fake.journal()) EXPECT_FALSE(entry.starts_with("socket(")) << c.what;
    EXPECT_EQ(fake.leaks(), std::vector<std::string>{}) << c.what;
  }
}

TEST_F(TcpPingChannelTest, WithoutAPhysicalInterfaceRunsUnboundOverTheDefaultRoute) {
  FakeDarwin fake;
  fake.interfaces = {{"lo0", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.1"},
                     {"utun4", kUpRunning, AF_INET, "198.19.0.2"}};
  fake.indexes = {{"utun4", 12}};
  fake.hosts["svc.example"] = FakeResolution{0, {FakeAttempt::at("192.0.2.10")}};
  fake.hosts["svc.example"].attempts[0].ticks = 5 * kMs;

  EXPECT_EQ(integerOf(ping(EncodableMap{{"host", "svc.example"}, {"port", 443}})), 5);
  EXPECT_EQ(fake.transcript(),
            (std::vector<std::string>{kNotFound, "freeifaddrs",
                                      started("svc.example:443", "5000", "<none, fallback default route>"),
                                      connected("svc.example:443", 5), "close(1500)", "freeaddrinfo"}));
  for (const std::string& entry : fake.journal()) EXPECT_FALSE(entry.starts_with("setsockopt(")) << entry;
}

// The whole conversation of a two-address probe with the platform, call by call: the hints, one
// socket per entry from the entry's own values, the binding option by family, non-blocking mode,
// the full interval for every wait (the fake lowers what it is given, as Linux does), and the
// pending error read with a 4-byte length.
TEST_F(TcpPingChannelTest, TalksToThePlatformExactlyAsTheProbeIsDefined) {
  FakeDarwin fake;
  withPhysicalInterface(fake);
  fake.hosts["svc.example"] = FakeResolution{0,
                                             {FakeAttempt::at("192.0.2.10").waitReturns(0).takes(1500 * kMs),
                                              FakeAttempt::at("2001:db8::10").takes(12 * kMs)}};

  EXPECT_EQ(integerOf(ping(EncodableMap{{"host", "svc.example"}, {"port", 443}, {"timeoutMs", 1500}})), 12);

  const std::string nonBlocking = std::to_string(O_RDWR | O_NONBLOCK);
  EXPECT_EQ(fake.journal(),
            (std::vector<std::string>{"getifaddrs",
                                      "if_nametoindex(en0)",
                                      kChosen,
                                      "freeifaddrs",
                                      started("svc.example:443", "1500"),
                                      "getaddrinfo(svc.example,443,flags=0,family=0,socktype=1,protocol=6)",
                                      "socket(" + std::to_string(AF_INET) + ",1,6)=1500",
                                      "setsockopt(1500,IPPROTO_IP,IP_BOUND_IF,index=4,length=4)",
                                      kBound,
                                      "fcntl(1500,F_GETFL)",
                                      "fcntl(1500,F_SETFL," + nonBlocking + ")",
                                      "connect(1500,192.0.2.10:443)",
                                      "select(1501,write={1500},1s+500000us)",
                                      waitFailed(0, EINPROGRESS),
                                      "close(1500)",
                                      "socket(" + std::to_string(AF_INET6) + ",1,6)=1501",
                                      "setsockopt(1501,IPPROTO_IPV6,IPV6_BOUND_IF,index=4,length=4)",
                                      kBound,
                                      "fcntl(1501,F_GETFL)",
                                      "fcntl(1501,F_SETFL," + nonBlocking + ")",
                                      "connect(1501,[2001:db8::10]:443)",
                                      "select(1502,write={1501},1s+500000us)",
                                      "getsockopt(1501,SO_ERROR,length=4)",
                                      connected("svc.example:443", 12),
                                      "close(1501)",
                                      "freeaddrinfo"}));
  EXPECT_EQ(fake.leaks(), std::vector<std::string>{});
}

// Two calls in flight at once: the slow one blocks its worker in the wait, the fast one is
// answered meanwhile, each on the main thread through its own reply.
TEST_F(TcpPingChannelTest, ProbesRunInParallelAndTheFasterAnswersFirst) {
  FakeDarwin fake;
  withPhysicalInterface(fake);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  fake.hosts["slow.example"] = FakeResolution{
      0, {FakeAttempt::at("192.0.2.20").takes(80 * kMs).whileWaiting([released] { released.wait_for(10s); })}};
  fake.hosts["fast.example"] = FakeResolution{0, {FakeAttempt::at("192.0.2.21").takes(3 * kMs)}};

  std::vector<std::pair<std::string, Reply>> answers;  // touched on the main thread only
  bool allOnMainThread = true;
  auto send = [&](const std::string& host) {
    auto bytes = StandardMethodCodec::getInstance().encodeMethodCall(
        {"tcpPing", EncodableMap{{"host", host}, {"port", 443}, {"timeoutMs", 9000}}});
    messenger_.deliver(bytes, [&, host](std::vector<uint8_t> reply) {
      allOnMainThread = allOnMainThread && isMainThread();
      answers.emplace_back(host, testing_support::decodeReply(reply));
    });
  };
  send("slow.example");
  send("fast.example");

  ASSERT_TRUE(runMainQueueUntil([&] { return !answers.empty(); }, 10s));
  EXPECT_EQ(answers.size(), 1u) << "the slow probe answered before it was let go";
  release.set_value();
  ASSERT_TRUE(runMainQueueUntil([&] { return answers.size() == 2; }, 10s));

  EXPECT_EQ(answers[0].first, "fast.example");
  EXPECT_EQ(integerOf(answers[0].second), 3);
  EXPECT_EQ(answers[1].first, "slow.example");
  EXPECT_EQ(integerOf(answers[1].second), 80);
  EXPECT_TRUE(allOnMainThread);
  EXPECT_EQ(fake.leaks(), std::vector<std::string>{});
}

// A thread limit when a ping comes: it waits, one line says why, and it is answered once a
// worker can start.
TEST_F(TcpPingChannelTest, APingThatFindsNoWorkerIsAnsweredOnceOneCanStart) {
  FakeDarwin fake;
  withPhysicalInterface(fake);
  fake.hosts["h.example"] = FakeResolution{0, {FakeAttempt::at("192.0.2.10")}};
  NSLogCapture log;
  testing_support::ThreadLimit limit;
  // Every worker there is busy, so the ping needs a new one.
  auto blockers = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = blockers->get_future().share();
  for (size_t i = 0; i <= globalQueueThreadCount(); ++i) {
    DispatchQueue::global(DispatchQoS::userInitiated).async([released] { released.wait(); });
  }
  std::shared_ptr<std::optional<Reply>> reply = std::make_shared<std::optional<Reply>>();
  auto bytes = StandardMethodCodec::getInstance().encodeMethodCall(
      {"tcpPing", EncodableValue(EncodableMap{{"host", "h.example"}, {"port", 443}})});
  messenger_.deliver(bytes, [reply](std::vector<uint8_t> r) { *reply = testing_support::decodeReply(r); });
  EXPECT_FALSE(runMainQueueUntil([&] { return reply->has_value(); }, 300ms));

  limit.lift();
  blockers->set_value();
  ASSERT_TRUE(runMainQueueUntil([&] { return reply->has_value(); }, 10s));
  EXPECT_EQ(integerOf(**reply), 0);
  const auto lines = log.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.starts_with("[dispatch] ⚠️ cannot start a worker thread: errno=" + std::to_string(EAGAIN));
  })) << testing::PrintToString(lines);
}

}  // namespace
