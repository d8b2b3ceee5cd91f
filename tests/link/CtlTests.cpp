// proxyhostctl as a script sees it: the binary run against a link served by this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/flutter/EngineLinkFrame.h"
#include "platform/flutter/FlutterCodecs.h"
#include "tests/link/LinkTestSupport.h"

extern char** environ;

using namespace linktest;
using Bytes = std::vector<uint8_t>;

namespace {

struct CtlRun {
  int status = -1;
  std::string out, err;
};

std::string drain(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

const auto& codec = StandardMethodCodec::getInstance();

// A process of another user serving a socket at `path` and greeting like the host, as an
// impostor that got there first would.
class Impostor {
 public:
  Impostor(const std::string& path, uid_t uid) {
    const Bytes hello = enginelink::encodeFrame(enginelink::HelloFrame{kBundle}).value();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int ready[2];
    EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {  // only async-signal-safe calls from here
      int fd = -1;
      if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0 ||
          (fd = ::socket(AF_UNIX, SOCK_STREAM, 0)) < 0 ||
          ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::_exit(10);
      }
      (void)!::write(ready[1], "r", 1);
      for (;;) {
        int client = ::accept(fd, nullptr, nullptr);
        if (client >= 0) (void)!::write(client, hello.data(), hello.size());
      }
    }
    ::close(ready[1]);
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1) << "the impostor could not serve " << path;
    ::close(ready[0]);
  }
  ~Impostor() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

// `depth` arrays, one inside the other.
std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

class CtlTest : public LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    startLink([this](const std::string& channel, Bytes payload, FlutterBinaryReply reply) {
      auto call = codec.decodeMethodCall(payload);
      ASSERT_TRUE(call);
      channels_.push_back(channel);
      calls_.push_back(*call);
      if (call->method == "launchAtStartupIsEnabled") return reply(codec.encodeSuccessEnvelope(false));
      if (call->method == "echo") return reply(codec.encodeSuccessEnvelope(call->arguments));
      if (call->method == "fail") return reply(codec.encodeErrorEnvelope({"E", std::nullopt, EncodableList{3}}));
      if (call->method == "garbage") return reply(Bytes{7});
      if (call->method == "typed") {
        return reply(codec.encodeSuccessEnvelope(EncodableMap{
            {EncodableValue(int32_t{1}), "one"},
            {"k", std::vector<int32_t>{1, 2}},
            {EncodableList{int32_t{1}}, std::vector<double>{0.5}},
        }));
      }
      reply({});
    });
  }

  // Runs proxyhostctl with `args` (the socket given through the environment unless `args` name
  // one), serving the link on this thread until it exits.
  CtlRun ctl(std::vector<std::string> args) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    args.insert(args.begin(), PROXYHOSTCTL_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"PROXYHOST_ENGINE_SOCKET=" + path_};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string_view(*e).starts_with("PROXYHOST_ENGINE_SOCKET=")) continue;
      env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, PROXYHOSTCTL_PATH, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    CtlRun run;
    EXPECT_TRUE(runMainQueueUntil([&] { return ::waitpid(pid, &run.status, WNOHANG) == pid; }, 20s));
    run.status = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
    run.out = drain(out[0]);
    run.err = drain(err[0]);
    return run;
  }

  std::vector<std::string> channels_;
  std::vector<FlutterMethodCall> calls_;
};

TEST_F(CtlTest, EachKindOfReplyHasItsLineAndStatus) {
  struct Case {
    std::string method;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {"launchAtStartupIsEnabled", 0, R"({"success": false})"},
      {"fail", 1, R"({"error": {"code": "E", "message": null, "details": [3]}})"},
      {"nothing", 2, R"({"notImplemented": true})"},
      {"typed", 0, R"({"success": {"1": "one", "k": [1, 2], "[1]": [0.5]}})"},
  };
  for (const auto& c : cases) {
    CtlRun run = ctl({"call", "launch_at_startup", c.method});
    EXPECT_EQ(run.status, c.status) << c.method << ": " << run.err;
    EXPECT_EQ(run.out, c.out + "\n") << c.method;
  }
  ASSERT_FALSE(calls_.empty());
  EXPECT_EQ(channels_[0], "launch_at_startup");
  EXPECT_EQ(calls_[0], (FlutterMethodCall{"launchAtStartupIsEnabled", EncodableValue()}));
}

TEST_F(CtlTest, ArgumentsTravelAsTheDartSideWritesThem) {
  CtlRun run =
      ctl({"--socket", path_, "call", "/probe", "echo",
           R"({"small":-2147483648,"big":2147483648,"huge":18446744073709551615,"f":1.0,"l":[true,null,"s"]})"});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(channels_[0], std::string(kBundle) + "/probe");
  const EncodableMap* map = calls_[0].arguments.asMap();
  ASSERT_NE(map, nullptr);
  auto arg = [&](std::string_view key) {
    const EncodableValue* v = map->find(key);
    return v != nullptr ? *v : EncodableValue("missing");
  };
  EXPECT_TRUE(arg("small").is<int32_t>());
  EXPECT_TRUE(arg("big").is<int64_t>());
  EXPECT_TRUE(arg("huge").is<double>());
  EXPECT_TRUE(arg("f").is<double>());
  EXPECT_EQ(arg("l"), (EncodableList{true, EncodableValue(), "s"}));
  EXPECT_EQ(run.out, R"({"success": {"small": -2147483648, "big": 2147483648, "huge": 1.8446744073709552e+19, )"
                     R"("f": 1.0, "l": [true, null, "s"]}})"
                     "\n");
}

TEST_F(CtlTest, FailuresToReachOrUnderstandTheHost) {
  CtlRun garbage = ctl({"call", "c", "garbage"});
  EXPECT_EQ(garbage.status, 3);
  EXPECT_NE(garbage.err.find("cannot be decoded"), std::string::npos) << garbage.err;
  EXPECT_EQ(garbage.out, "");

  CtlRun nobody = ctl({"--socket", dir_ + "/none.sock", "call", "c", "m"});
  EXPECT_EQ(nobody.status, 3);
  EXPECT_NE(nobody.err.find("cannot connect"), std::string::npos) << nobody.err;

  CtlRun ping = ctl({"ping"});
  EXPECT_EQ(ping.status, 0);
  EXPECT_EQ(ping.out, R"({"bundleIdentifier": "net.test.host"})"
                      "\n");
}

TEST_F(CtlTest, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"call"},
      {"call", "c"},
      {"call", "c", "m", "{not json"},
      {"frobnicate"},
      {"--timeout", "-1", "ping"},
      // Inputs that once crashed the tool: deep nesting overflowed its stack, a number beyond
      // float64 escaped as an exception, a timeout of NaN or 1e300 did not convert.
      {"call", "c", "m", nested(30000)},
      {"call", "c", "m", nested(StandardMessageCodec::kMaxNesting + 1)},
      {"call", "c", "m", R"({"port": 1e400})"},
      {"call", "c", "m", "[-1e400]"},
      {"--timeout", "nan", "ping"},
      {"--timeout", "1e300", "ping"},
  };
  for (const auto& args : cases) {
    CtlRun run = ctl(args);
    EXPECT_EQ(run.status, 64) << ::testing::PrintToString(args);
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(calls_.empty());
}

TEST_F(CtlTest, ArgumentsAsDeepAsTheCodecTakesGoThrough) {
  CtlRun run = ctl({"call", "c", "echo", nested(StandardMessageCodec::kMaxNesting)});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, R"({"success": )" + nested(StandardMessageCodec::kMaxNesting) + "}\n");
}

TEST_F(CtlTest, NeverTalksToAnotherUsersSocket) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to serve as another user";
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);  // let the other user reach its folder
  const std::string theirs = dir_ + "/theirs", mine = dir_ + "/mine";
  ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::mkdir(mine.c_str(), 0700), 0);
  Impostor impostor(theirs + "/engine.sock", 65534);

  auto expectRefused = [&](const std::string& socket, const std::string& why) {
    CtlRun run = ctl({"--socket", socket, "ping"});
    EXPECT_EQ(run.status, 3) << why;
    EXPECT_EQ(run.out, "") << why;
    EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
  };
  // In a folder of theirs.
  expectRefused(theirs + "/engine.sock", "belongs to uid 65534");
  // Their socket in a folder of ours.
  ASSERT_EQ(::link((theirs + "/engine.sock").c_str(), (mine + "/engine.sock").c_str()), 0);
  expectRefused(mine + "/engine.sock", "the socket " + mine + "/engine.sock belongs to uid 65534");
  // A socket file that looks like ours, served by their process.
  ASSERT_EQ(::chown((mine + "/engine.sock").c_str(), 0, 0), 0);
  expectRefused(mine + "/engine.sock", "runs as uid 65534");
}
