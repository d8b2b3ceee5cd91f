// The host as a whole process, driven over its engine link the way the Flutter side drives it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <thread>

#include "platform/flutter/FlutterCodecs.h"
#include "tests/e2e/HostProcess.h"

namespace {

using namespace std::chrono_literals;
using enginelink::LinkClient;
using testing_support::callOver;
using testing_support::ChildProcess;
using testing_support::decodeReply;
using testing_support::HostProcess;
using testing_support::NotImplemented;
using testing_support::Reply;

const std::string kBundle = PROXYHOST_BUNDLE_ID;

std::vector<uint8_t> encodeCall(const std::string& method, EncodableValue args = {}) {
  return StandardMethodCodec::getInstance().encodeMethodCall({method, std::move(args)});
}

int exitStatusAfter(ChildProcess& process, int sig) {
  process.signal(sig);
  auto status = process.wait(15s);
  if (!status) {
    ADD_FAILURE() << "the host did not end after signal " << sig;
    return -1;
  }
  if (!WIFEXITED(*status)) {
    ADD_FAILURE() << "the host died of signal " << WTERMSIG(*status) << "\n" << process.standardError();
    return -1;
  }
  return WEXITSTATUS(*status);
}

TEST(HostShell, GreetsEveryConnectionWithItsBundleIdentifierAndServesEveryChannel) {
  HostProcess host;
  auto client = host.connect();
  ASSERT_TRUE(client);
  EXPECT_EQ(client->bundleIdentifier(), kBundle);

  // The plug-in stand-ins and a channel nobody serves: the empty reply.
  const std::vector<std::string> channels = {"window_manager", "no/such/channel"};
  for (const auto& channel : channels) {
    EXPECT_EQ(callOver(*client, channel, "anything", EncodableMap{{"a", 1}}), Reply(NotImplemented{})) << channel;
  }

  auto second = host.connect();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->bundleIdentifier(), kBundle);
  EXPECT_EQ(exitStatusAfter(host.process(), SIGINT), 0);
}

TEST(HostShell, RepliesFollowArrivalOrder) {
  HostProcess host;
  auto client = host.connect();
  ASSERT_TRUE(client);
  std::vector<uint32_t> sent;
  for (int i = 0; i < 200; ++i) {
    auto id = client->post(i % 2 ? "window_manager" : "no/such/channel", encodeCall("m" + std::to_string(i)));
    ASSERT_TRUE(id);
    sent.push_back(*id);
  }
  std::vector<uint32_t> answered;
  while (answered.size() < sent.size()) {
    auto frame = client->readFrame(10s);
    ASSERT_TRUE(frame) << frame.error().message();
    auto* reply = std::get_if<enginelink::ReplyFrame>(&*frame);
    ASSERT_NE(reply, nullptr);
    answered.push_back(reply->id);
  }
  EXPECT_EQ(answered, sent);
}

TEST(HostShell, AMalformedFrameClosesOnlyItsOwnConnection) {
  HostProcess host;
  auto good = host.connect();
  auto unknownType = host.connect();
  auto oversize = host.connect();
  auto undecodable = host.connect();
  ASSERT_TRUE(good && unknownType && oversize && undecodable);

  (void)unknownType->sendRaw(std::vector<uint8_t>{5, 0, 0, 0, 0x09, 1, 2, 3, 4});
  // A length past the cap, with no body at all: refused on the length alone.
  (void)oversize->sendRaw(std::vector<uint8_t>{0xff, 0xff, 0xff, 0x7f});
  EXPECT_TRUE(unknownType->waitForClose(5s));
  EXPECT_TRUE(oversize->waitForClose(5s));

  // A well-formed frame whose payload is not a method call: answered empty, connection kept.
  auto reply = undecodable->call("window_manager", std::vector<uint8_t>{0x63, 0x00}, 5s);
  ASSERT_TRUE(reply) << reply.error().message();
  EXPECT_TRUE(reply->empty());

  EXPECT_EQ(callOver(*good, "window_manager", "still there?"), Reply(NotImplemented{}));
  EXPECT_EQ(callOver(*undecodable, "window_manager", "and me?"), Reply(NotImplemented{}));
}

TEST(HostShell, AClientThatLeavesBeforeItsReplyDisturbsNoOne) {
  HostProcess host;
  auto stays = host.connect();
  ASSERT_TRUE(stays);
  {
    auto leaves = host.connect();
    ASSERT_TRUE(leaves);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(leaves->post("window_manager", encodeCall("x")));
  }
  EXPECT_EQ(callOver(*stays, "window_manager", "x"), Reply(NotImplemented{}));
}

TEST(HostShell, QuitBySigintEndsWithStatusZeroAndASecondHostTakesTheStaleSocket) {
  testing_support::TempDir dir;
  const std::string socket = dir.file("engine.sock");
  {
    ChildProcess first({PROXYHOST_BIN},
                       testing_support::isolatedHostEnvironment(dir.path(), {{"PROXYHOST_ENGINE_SOCKET", socket}}),
                       dir.path());
    std::string error;
    std::unique_ptr<LinkClient> client;
    for (int i = 0; i < 500 && !client; ++i) {
      auto connected = LinkClient::connect(socket, 2s);
      if (connected) {
        client = std::move(*connected);
      } else {
        error = connected.error().message();
        std::this_thread::sleep_for(10ms);
      }
    }
    ASSERT_TRUE(client) << error;
    struct stat st {};
    ASSERT_EQ(stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(exitStatusAfter(first, SIGINT), 0);
  }
  HostProcess again({{"PROXYHOST_ENGINE_SOCKET", socket}});
  auto client = again.connect();
  ASSERT_TRUE(client);
  EXPECT_EQ(client->bundleIdentifier(), kBundle);
}

TEST(HostShell, ASecondHostNeverStealsALiveSocket) {
  HostProcess first;
  auto client = first.connect();
  ASSERT_TRUE(client);

  testing_support::TempDir logs;
  ChildProcess second(
      {PROXYHOST_BIN},
      testing_support::isolatedHostEnvironment(logs.path(), {{"PROXYHOST_ENGINE_SOCKET", first.socketPath()}}),
      logs.path());
  auto status = second.wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << second.standardError();
  EXPECT_NE(second.standardError().find(first.socketPath()), std::string::npos) << second.standardError();

  EXPECT_EQ(callOver(*client, "window_manager", "still mine"), Reply(NotImplemented{}));
}

TEST(Proxyhostctl, PrintsOneJsonLineWithTheExitCodeOfItsKind) {
  HostProcess host;
  ASSERT_TRUE(host.connect());
  testing_support::TempDir out;
  auto run = [&](std::vector<std::string> args, const std::string& socket) {
    std::vector<std::string> argv = {PROXYHOSTCTL_BIN, "--socket", socket};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess ctl(argv, {}, out.path());
    auto status = ctl.wait(15s);
    EXPECT_TRUE(status && WIFEXITED(*status));
    return std::make_pair(status ? WEXITSTATUS(*status) : -1, ctl.standardOutput());
  };

  auto [code, output] =
      run({"call", "/native_tcp_ping", "TcpPing", R"({"host":"127.0.0.1","port":1})"}, host.socketPath());
  EXPECT_EQ(code, 2);
  EXPECT_EQ(output, "{\"notImplemented\": true}\n");

  std::tie(code, output) = run({"call", "launch_at_startup", "launchAtStartupIsEnabled"}, host.dir().file("nobody"));
  EXPECT_EQ(code, 3);
  EXPECT_EQ(output, "");
}

}  // namespace
