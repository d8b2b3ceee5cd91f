#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/flutter/EngineLinkFrame.h"
#include "platform/foundation/NSLog.h"
#include "tests/link/LinkTestSupport.h"
#include "tools/proxyhostctl/LinkClient.h"

using namespace enginelink;
using namespace linktest;
using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

namespace {

std::unique_ptr<LinkClient> connectOrFail(const std::string& path) {
  auto client = LinkClient::connect(path, 5s);
  EXPECT_TRUE(client) << client.error().message();
  return std::move(client).ok().value_or(nullptr);
}

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Answers every message with "<channel>:" followed by its payload.
void echo(const std::string& channel, Bytes payload, FlutterBinaryReply reply) {
  Bytes answer = bytesOf(channel + ":");
  answer.insert(answer.end(), payload.begin(), payload.end());
  reply(std::move(answer));
}

size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
  return std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != std::string::npos; });
}

}  // namespace

class EngineLinkTest : public LinkFixture {};

TEST_F(EngineLinkTest, EveryConnectionStartsWithTheHello) {
  startLink(echo);
  for (int i = 0; i < 2; ++i) {
    auto client = LinkClient::connectRaw(path_);
    ASSERT_TRUE(client) << client.error().message();
    auto first = (*client)->readFrame(2s);
    ASSERT_TRUE(first) << first.error().message();
    EXPECT_EQ(*first, Frame(HelloFrame{kBundle}));
  }
}

TEST_F(EngineLinkTest, MessagesReachTheMainThreadAndRepliesComeBack) {
  bool onMain = false;
  startLink([&](const std::string& channel, Bytes payload, FlutterBinaryReply reply) {
    onMain = isMainThread();
    echo(channel, std::move(payload), std::move(reply));
  });
  auto reply = offMain([&] { return connectOrFail(path_)->call("c", Bytes{1, 2}, 5s).ok(); });
  EXPECT_EQ(reply, bytesOf("c:\x01\x02"));
  EXPECT_TRUE(onMain);
}

TEST_F(EngineLinkTest, DeliversInArrivalOrderAcrossClients) {
  std::vector<std::string> seen;
  startLink([&](const std::string& channel, Bytes payload, FlutterBinaryReply reply) {
    seen.push_back(channel + std::to_string(payload.at(0)));
    echo(channel, std::move(payload), std::move(reply));
  });
  auto a = connectOrFail(path_), b = connectOrFail(path_);
  // One client's earlier message, seen on the main queue, comes before another's later one.
  ASSERT_TRUE(offMain([&] { return a->post("a", Bytes{0}).has_value(); }));
  ASSERT_TRUE(runMainQueueUntil([&] { return seen.size() == 1; }, 5s));
  ASSERT_TRUE(offMain([&] { return b->post("b", Bytes{0}).has_value(); }));
  ASSERT_TRUE(runMainQueueUntil([&] { return seen.size() == 2; }, 5s));
  EXPECT_EQ(seen, (std::vector<std::string>{"a0", "b0"}));

  // Pipelined from two threads at once: each connection's order holds, and each reply matches.
  auto burst = [](LinkClient& client, const std::string& channel) {
    std::vector<uint32_t> ids;
    for (uint8_t i = 1; i <= 200; ++i) ids.push_back(*client.post(channel, Bytes{i}));
    for (uint8_t i = 1; i <= 200; ++i) {
      if (client.waitReply(ids[i - 1], 5s).ok() != bytesOf(channel + ":") + Bytes{i}) return false;
    }
    return true;
  };
  auto fromA = std::async(std::launch::async, burst, std::ref(*a), "a");
  auto fromB = std::async(std::launch::async, burst, std::ref(*b), "b");
  ASSERT_TRUE(runMainQueueUntil([&] { return seen.size() == 402; }, 10s));
  EXPECT_TRUE(fromA.get());
  EXPECT_TRUE(fromB.get());
  int lastA = 0, lastB = 0;
  for (size_t i = 2; i < seen.size(); ++i) {
    int& last = seen[i][0] == 'a' ? lastA : lastB;
    EXPECT_EQ(std::stoi(seen[i].substr(1)), last + 1) << "out of order at " << seen[i];
    last = std::stoi(seen[i].substr(1));
  }
}

TEST_F(EngineLinkTest, ReplyFromAWorkerThread) {
  startLink([](const std::string& channel, Bytes payload, FlutterBinaryReply reply) {
    DispatchQueue::global().async([=] { echo(channel, payload, reply); });
  });
  EXPECT_EQ(offMain([&] { return connectOrFail(path_)->call("w", Bytes{7}, 5s).ok(); }), bytesOf("w:\x07"));
}

TEST_F(EngineLinkTest, EachMessageGetsExactlyOneReply) {
  NSLogCapture log;
  startLink([](const std::string& channel, Bytes payload, FlutterBinaryReply reply) {
    if (channel == "drop") return;  // never answered: the link answers empty for it
    reply(Bytes{1});
    reply(Bytes{2});  // a second answer must not reach the client
  });
  auto client = connectOrFail(path_);
  EXPECT_EQ(offMain([&] { return client->call("drop", Bytes{}, 5s).ok(); }), Bytes{});
  EXPECT_EQ(offMain([&] { return client->call("twice", Bytes{}, 5s).ok(); }), Bytes{1});
  EXPECT_EQ(offMain([&] { return client->call("twice", Bytes{}, 5s).ok(); }), Bytes{1});
  EXPECT_FALSE(offMain([&] { return client->readFrame(200ms).has_value(); }));
  EXPECT_EQ(countContaining(log.lines(), "without a reply"), 1u);
  EXPECT_EQ(countContaining(log.lines(), "answered twice"), 2u);
}

TEST_F(EngineLinkTest, MalformedFrameClosesOnlyItsConnection) {
  startLink(echo);
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"hello", encodeFrame(HelloFrame{"me"}).value()},
      {"unknown frame type", Bytes{5, 0, 0, 0, 0x07, 0, 0, 0, 0}},
      {"reply frame too short", Bytes{2, 0, 0, 0, 0x02, 0}},
      {"exceeds the limit", Bytes{0x01, 0x00, 0x00, 0x01, 0x01}},  // 16 MiB + 1; no body follows
  };
  auto keeper = connectOrFail(path_);
  for (const auto& [expected, bytes] : cases) {
    NSLogCapture log;
    auto bad = connectOrFail(path_);
    ASSERT_TRUE(bad->sendRaw(bytes));
    EXPECT_TRUE(offMain([&] { return bad->waitForClose(5s); })) << expected;
    EXPECT_EQ(offMain([&] { return keeper->call("k", Bytes{}, 5s).ok(); }), bytesOf("k:")) << expected;
    ASSERT_EQ(log.lines().size(), 1u) << expected;
    EXPECT_THAT(log.lines()[0], HasSubstr(expected));
  }
}

TEST_F(EngineLinkTest, AClientThatGoesBeforeItsReplyLosesOnlyThatReply) {
  std::vector<FlutterBinaryReply> held;
  startLink([&](const std::string&, Bytes, FlutterBinaryReply reply) { held.push_back(std::move(reply)); });
  auto leaving = connectOrFail(path_), staying = connectOrFail(path_);
  ASSERT_TRUE(leaving->post("x", Bytes{}));
  ASSERT_TRUE(runMainQueueUntil([&] { return held.size() == 1; }, 5s));
  leaving.reset();
  auto id = staying->post("y", Bytes{});
  ASSERT_TRUE(runMainQueueUntil([&] { return held.size() == 2; }, 5s));
  held[0](Bytes{1});  // to the client that has gone
  held[1](Bytes{2});
  EXPECT_EQ(offMain([&] { return staying->waitReply(*id, 5s).ok(); }), Bytes{2});
}

TEST_F(EngineLinkTest, HalfClosedClientStillGetsItsReplies) {
  startLink(echo);
  auto client = connectOrFail(path_);
  auto id = client->post("h", Bytes{});
  client->shutdownWrite();
  EXPECT_EQ(offMain([&] { return client->waitReply(*id, 5s).ok(); }), bytesOf("h:"));
  EXPECT_TRUE(offMain([&] { return client->waitForClose(5s); }));
}

TEST_F(EngineLinkTest, AClientThatStopsReadingIsCutOffNotWaitedFor) {
  NSLogCapture log;
  startLink([](const std::string&, Bytes, FlutterBinaryReply reply) { reply(Bytes(8 << 20, 0x42)); });
  auto client = connectOrFail(path_);
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(client->post("big", Bytes{}));
  // The main thread keeps going: replies queue without blocking until the cap closes the link.
  EXPECT_TRUE(runMainQueueUntil([&] { return countContaining(log.lines(), "unread") == 1; }, 30s));
  EXPECT_TRUE(client->waitForClose(5s));
}

TEST_F(EngineLinkTest, MessagesWaitingForRepliesAreBoundedInBytesNotCount) {
  std::vector<FlutterBinaryReply> held;
  startLink([&](const std::string&, Bytes, FlutterBinaryReply reply) { held.push_back(std::move(reply)); });
  auto client = connectOrFail(path_);
  constexpr size_t kMessages = 8;
  auto sending = std::async(std::launch::async, [&] {
    for (size_t i = 0; i < kMessages; ++i) {
      if (!client->post("big", Bytes(8u << 20, 1))) return false;
    }
    return true;
  });
  // Eight messages of 8 MiB, none answered: the host takes in what fits in 32 MiB, then waits.
  // The frame still being read counts too, at what its buffer holds, so two or three get in
  // depending on where the reads fell.
  EXPECT_TRUE(runMainQueueUntil([&] { return held.size() >= 2; }, 20s));
  EXPECT_FALSE(runMainQueueUntil([&] { return held.size() > 4; }, 1s));
  EXPECT_LE(held.size(), 4u);
  // Answers make room for the rest.
  size_t answered = 0;
  EXPECT_TRUE(runMainQueueUntil(
      [&] {
        for (; answered < held.size(); ++answered) held[answered](Bytes{});
        return answered == kMessages;
      },
      20s));
  EXPECT_TRUE(sending.get());
}

// The frame still coming in counts at what its buffer holds: beside two unanswered messages of
// 12 MiB, a third of 12 MiB does not fit in the client's 32 MiB, so it is not read until one of
// them is answered.
TEST_F(EngineLinkTest, TheFrameComingInCountsTowardTheClientsInboundBudget) {
  std::vector<FlutterBinaryReply> held;
  startLink([&](const std::string&, Bytes, FlutterBinaryReply reply) { held.push_back(std::move(reply)); });
  auto client = connectOrFail(path_);
  auto sending = std::async(std::launch::async, [&] {
    for (int i = 0; i < 3; ++i) {
      if (!client->post("big", Bytes(12u << 20, 1))) return false;
    }
    return true;
  });
  EXPECT_TRUE(runMainQueueUntil([&] { return held.size() >= 2; }, 20s));
  EXPECT_FALSE(runMainQueueUntil([&] { return held.size() > 2; }, 1s));
  size_t answered = 0;
  EXPECT_TRUE(runMainQueueUntil(
      [&] {
        for (; answered < held.size(); ++answered) held[answered](Bytes{});
        return answered == 3;
      },
      20s));
  EXPECT_TRUE(sending.get());
}

TEST_F(EngineLinkTest, SocketFolderAndFileArePrivate) {
  path_ = dir_ + "/made/here/engine.sock";
  startLink(echo);
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat((dir_ + "/made/here").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  auto client = connectOrFail(path_);
  link_.reset();
  EXPECT_TRUE(client->waitForClose(2s));
  EXPECT_NE(::access(path_.c_str(), F_OK), 0) << "the socket file outlived the link";
}

TEST_F(EngineLinkTest, ASocketFolderAnotherUserCouldControlIsRefusedAndLeftAlone) {
  const std::string good = dir_ + "/good";
  ASSERT_EQ(::mkdir(good.c_str(), 0700), 0);
  struct Case {
    std::string folder;
    std::function<bool(const std::string&)> make;
    std::string expected;
  };
  auto folderWithMode = [](mode_t mode) {
    return [mode](const std::string& f) { return ::mkdir(f.c_str(), 0700) == 0 && ::chmod(f.c_str(), mode) == 0; };
  };
  std::vector<Case> cases = {
      {"open", folderWithMode(0777), "can be written by other users (mode 0777)"},
      {"group", folderWithMode(0770), "(mode 0770)"},
      {"link", [&](const std::string& f) { return ::symlink(good.c_str(), f.c_str()) == 0; }, "symbolic link"},
  };
  if (::geteuid() == 0) {
    // Made first by another user, as /tmp/<bundle>-<uid> could be.
    cases.push_back(
        {"theirs",
         [](const std::string& f) { return ::mkdir(f.c_str(), 0700) == 0 && ::chown(f.c_str(), 65534, 65534) == 0; },
         "belongs to uid 65534"});
  }
  for (const auto& c : cases) {
    const std::string folder = dir_ + "/" + c.folder;
    ASSERT_TRUE(c.make(folder)) << c.folder;
    struct stat before {
    }, after{};
    ASSERT_EQ(::lstat(folder.c_str(), &before), 0);
    const auto refused = EngineLink::start(folder + "/engine.sock", kBundle, echo);
    ASSERT_FALSE(refused) << c.folder;
    EXPECT_THAT(refused.error().message(), HasSubstr(c.expected));
    EXPECT_THAT(refused.error().message(), HasSubstr("refusing to serve"));
    ASSERT_EQ(::lstat(folder.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode) << c.folder;
    EXPECT_EQ(after.st_uid, before.st_uid) << c.folder;
    EXPECT_NE(::access((good + "/engine.sock").c_str(), F_OK), 0) << c.folder;
  }

  // A sticky folder such as /tmp protects what is in it: serving there stays possible.
  const std::string sticky = dir_ + "/sticky";
  ASSERT_TRUE(folderWithMode(01777)(sticky));
  const auto served = EngineLink::start(sticky + "/engine.sock", kBundle, echo);
  EXPECT_TRUE(served) << served.error().message();
}

TEST_F(EngineLinkTest, StaleSocketIsReplaced) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path_.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);  // a host that died without cleaning up
  startLink(echo);
  EXPECT_EQ(offMain([&] { return connectOrFail(path_)->call("s", Bytes{}, 5s).ok(); }), bytesOf("s:"));
}

TEST_F(EngineLinkTest, LiveSocketOrOtherFileIsNeverTaken) {
  startLink(echo);
  const auto second = EngineLink::start(path_, kBundle, echo);
  ASSERT_FALSE(second);
  EXPECT_THAT(second.error().message(), HasSubstr("already serving"));
  EXPECT_EQ(offMain([&] { return connectOrFail(path_)->call("l", Bytes{}, 5s).ok(); }), bytesOf("l:"));

  const std::string file = dir_ + "/notes";
  std::ofstream(file) << "keep";
  const auto onAFile = EngineLink::start(file, kBundle, echo);
  ASSERT_FALSE(onAFile);
  EXPECT_THAT(onAFile.error().message(), HasSubstr("not a socket"));
  EXPECT_EQ(std::filesystem::file_size(file), 4u);
}

TEST_F(EngineLinkTest, SendGoesToTheOldestClientAndBringsItsReply) {
  startLink(echo);
  auto oldest = connectOrFail(path_), newer = connectOrFail(path_);
  std::string gotChannel;
  oldest->setMessageHandler([&](const MessageFrame& m) {
    gotChannel = m.channel;
    return m.payload + Bytes{9};
  });
  std::optional<Bytes> answer;
  bool answeredOnMain = false;
  link_->send("to/flutter", Bytes{1}, [&](Bytes reply) {
    answeredOnMain = isMainThread();
    answer = std::move(reply);
  });
  auto pumping = std::async(std::launch::async, [&] { return oldest->pump(1s); });
  EXPECT_TRUE(runMainQueueUntil([&] { return answer.has_value(); }, 5s));
  EXPECT_TRUE(pumping.get());
  EXPECT_EQ(answer, (Bytes{1, 9}));
  EXPECT_EQ(gotChannel, "to/flutter");
  EXPECT_TRUE(answeredOnMain);
  EXPECT_FALSE(newer->readFrame(100ms).has_value());
}

TEST_F(EngineLinkTest, SendWithNobodyToAnswerGetsTheEmptyReply) {
  startLink(echo);
  std::optional<Bytes> answer;
  link_->send("c", Bytes{1}, [&](Bytes reply) { answer = std::move(reply); });
  EXPECT_TRUE(runMainQueueUntil([&] { return answer.has_value(); }, 5s));
  EXPECT_EQ(answer, Bytes{});

  // A client that takes the message and leaves without answering.
  auto client = connectOrFail(path_);
  answer.reset();
  link_->send("c", Bytes{2}, [&](Bytes reply) { answer = std::move(reply); });
  auto taken = offMain([&] { return client->readFrame(5s); });
  ASSERT_TRUE(taken && std::holds_alternative<MessageFrame>(*taken));
  client.reset();
  EXPECT_TRUE(runMainQueueUntil([&] { return answer.has_value(); }, 5s));
  EXPECT_EQ(answer, Bytes{});
}

// What the Flutter view shows: who is connected, told on the main thread as clients come and go.
TEST_F(EngineLinkTest, ConnectedClientsAreToldOnTheMainThreadAsTheyComeAndGo) {
  std::vector<std::vector<int>> reports;
  bool allOnMain = true;
  startLink(echo, [&](std::vector<int> pids) {
    allOnMain = allOnMain && isMainThread();
    reports.push_back(std::move(pids));
  });
  const std::vector<int> one = {getpid()}, two = {getpid(), getpid()};
  auto waitFor = [&](const std::vector<int>& expected) {
    return runMainQueueUntil([&] { return !reports.empty() && reports.back() == expected; }, 5s);
  };
  auto first = connectOrFail(path_);
  EXPECT_TRUE(waitFor(one));
  auto second = connectOrFail(path_);
  EXPECT_TRUE(waitFor(two));
  first.reset();
  EXPECT_TRUE(waitFor(one));
  second.reset();
  EXPECT_TRUE(waitFor({}));
  // Only changes are told: each list differs from the one before.
  EXPECT_EQ(reports, (std::vector<std::vector<int>>{one, two, one, {}}));
  EXPECT_TRUE(allOnMain);
}

TEST_F(EngineLinkTest, AnotherUsersConnectionIsClosedAtOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  NSLogCapture log;
  startLink(echo);
  // Let the other user reach the socket at all, so the credential check is what stops it.
  ::chmod(dir_.c_str(), 0755);
  ::chmod(path_.c_str(), 0666);
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(11);
    char byte;
    ::_exit(::recv(fd, &byte, 1, 0) == 0 ? 0 : 12);  // EOF, no hello
  }
  int status = -1;
  EXPECT_TRUE(runMainQueueUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 5s));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(countContaining(log.lines(), "from uid 65534"), 1u);
}

TEST(EngineLinkExit, ExitWhileTheLinkThreadRunsIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        char tmpl[] = "/tmp/linkexit-XXXXXX";
        std::string path = std::string(::mkdtemp(tmpl)) + "/engine.sock";
        auto started = EngineLink::start(path, kBundle, echo);
        if (!started) std::exit(1);
        [[maybe_unused]] static EngineLink* link = started->release();  // never destroyed
        std::thread([path] {
          auto client = LinkClient::connect(path, 5s).ok().value_or(nullptr);
          while (client && client->post("busy", Bytes(100))) {
          }
        }).detach();
        runMainQueueUntil([] { return false; }, 200ms);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
