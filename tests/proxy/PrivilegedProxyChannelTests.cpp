// The privileged proxy channel as the Flutter side sees it: encoded calls through a test binary
// messenger, with a scripting double behind the administrator run.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "proxy/PrivilegedProxyChannel.h"
#include "proxy/ProxyScriptBuilder.h"
#include "tests/proxy/ProxyTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using proxy_test::FakeScripting;
using proxy_test::Gate;
using testing_support::NotImplemented;
using testing_support::Reply;

const std::string kChannel = "org.example.proxy/privileged_proxy";

Reply error(const std::string& code, const std::string& message) { return FlutterError{code, message, {}}; }
const Reply kServicesError = error("bad_args", "services missing or empty");
const Reply kSettingsError = error("bad_args", "host/port/socks/bypass missing");

EncodableList strings(std::initializer_list<const char*> items) {
  EncodableList list;
  for (const char* s : items) list.emplace_back(s);
  return list;
}

EncodableMap goodEnableArguments() {
  return EncodableMap{{"services", strings({"Wi-Fi"})},
                      {"host", "127.0.0.1"},
                      {"port", int32_t{8080}},
                      {"socks", int32_t{1080}},
                      {"bypass", strings({"localhost"})}};
}

EncodableMap with(EncodableMap map, const char* key, EncodableValue value) {
  map.set(EncodableValue(key), std::move(value));
  return map;
}

EncodableMap without(const EncodableMap& map, const char* key) {
  EncodableMap out;
  for (const auto& [k, v] : map) {
    if (!(k == EncodableValue(key))) out.append(k, v);
  }
  return out;
}

class PrivilegedProxyChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FlutterMethodChannel::methodChannelWithName(kChannel, messenger_)
        ->setMethodCallHandler(proxy::handlePrivilegedProxyCall);
  }

  Reply call(const std::string& method, EncodableValue arguments) {
    auto reply = testing_support::callMethod(messenger_, method, std::move(arguments));
    EXPECT_TRUE(reply) << method << ": no reply";
    return reply.value_or(NotImplemented{});
  }

  // Sends a call without waiting; its reply lands in `replies` in arrival order, and
  // `offMainThread` counts replies that came on any other thread.
  void post(const std::string& method, EncodableValue arguments) {
    auto bytes = StandardMethodCodec::getInstance().encodeMethodCall({method, std::move(arguments)});
    messenger_.deliver(bytes, [this](std::vector<uint8_t> reply) {
      if (!isMainThread()) ++offMainThread_;
      replies_->push_back(testing_support::decodeReply(reply));
    });
  }
  bool waitForReplies(size_t count) {
    return runMainQueueUntil([&] { return replies_->size() >= count; }, 10s);
  }

  testing_support::TestBinaryMessenger messenger_;
  std::shared_ptr<std::vector<Reply>> replies_ = std::make_shared<std::vector<Reply>>();
  std::atomic<int> offMainThread_{0};
};

TEST_F(PrivilegedProxyChannelTest, BadServicesAreRefusedForEveryMethodNameBeforeAnythingRuns) {
  FakeScripting scripting;
  const std::vector<std::pair<const char*, EncodableValue>> arguments = {
      {"no arguments", EncodableValue()},
      {"a list instead of a dictionary", EncodableValue(strings({"Wi-Fi"}))},
      {"a dictionary with a key that is not a string",
       EncodableValue(EncodableMap{{"services", strings({"Wi-Fi"})}, {int32_t{1}, "x"}})},
      {"no services", EncodableValue(EncodableMap{{"host", "h"}})},
      {"services as one string", EncodableValue(EncodableMap{{"services", "Wi-Fi"}})},
      {"an empty list", EncodableValue(EncodableMap{{"services", EncodableList{}}})},
      {"a list with a number in it",
       EncodableValue(EncodableMap{{"services", EncodableList{EncodableValue("Wi-Fi"), EncodableValue(int32_t{1})}}})},
      {"a list of null", EncodableValue(EncodableMap{{"services", EncodableList{EncodableValue()}}})},
      {"null services", EncodableValue(EncodableMap{{"services", EncodableValue()}})},
  };
  for (const char* method : {"setProxyElevated", "disableProxyElevated", "somethingElse", "SETPROXYELEVATED"}) {
    for (const auto& [what, args] : arguments) {
      EXPECT_EQ(call(method, args), kServicesError) << method << ", " << what;
    }
  }
  EXPECT_TRUE(scripting.sources().empty());
}

TEST_F(PrivilegedProxyChannelTest, OtherMethodNamesAreNotImplementedOnceServicesPass) {
  FakeScripting scripting;
  for (const char* method : {"somethingElse", "setproxyelevated", "disableProxyElevated ", ""}) {
    EXPECT_EQ(call(method, EncodableMap{{"services", strings({"Wi-Fi"})}}), Reply(NotImplemented{})) << method;
  }
  EXPECT_TRUE(scripting.sources().empty());
}

TEST_F(PrivilegedProxyChannelTest, EnableRefusesAnyMissingOrMistypedSetting) {
  FakeScripting scripting;
  const EncodableMap good = goodEnableArguments();
  const std::vector<std::pair<const char*, EncodableMap>> cases = {
      {"services alone", EncodableMap{{"services", strings({"Wi-Fi"})}}},
      {"no host", without(good, "host")},
      {"no port", without(good, "port")},
      {"no socks", without(good, "socks")},
      {"no bypass", without(good, "bypass")},
      {"host as a number", with(good, "host", int32_t{1})},
      {"host as null", with(good, "host", EncodableValue())},
      {"port as text", with(good, "port", "8080")},
      {"port as a double", with(good, "port", 8080.0)},
      {"port as a boolean", with(good, "port", true)},
      {"socks as text", with(good, "socks", "1080")},
      {"bypass as one string", with(good, "bypass", "localhost")},
      {"bypass with a number in it",
       with(good, "bypass", EncodableList{EncodableValue("a"), EncodableValue(int32_t{2})})},
  };
  for (const auto& [what, args] : cases) EXPECT_EQ(call("setProxyElevated", args), kSettingsError) << what;
  EXPECT_TRUE(scripting.sources().empty());
}

// A NUL cannot reach networksetup: "Wi-\0Fi" must not switch Wi-Fi.
TEST_F(PrivilegedProxyChannelTest, ATextWithANulIsRefusedNeverCut) {
  FakeScripting scripting;
  const EncodableValue withNul(std::string("Wi-\0Fi", 6));
  const EncodableList servicesWithNul{EncodableValue("Ethernet"), withNul};
  for (const char* method : {"setProxyElevated", "disableProxyElevated"}) {
    EXPECT_EQ(call(method, with(goodEnableArguments(), "services", servicesWithNul)), kServicesError) << method;
  }
  EXPECT_EQ(call("setProxyElevated", with(goodEnableArguments(), "host", std::string("127.0.0.1\0evil", 14))),
            kSettingsError);
  EXPECT_EQ(call("setProxyElevated",
                 with(goodEnableArguments(), "bypass", EncodableList{EncodableValue("localhost"), withNul})),
            kSettingsError);
  EXPECT_TRUE(scripting.sources().empty());
}

TEST_F(PrivilegedProxyChannelTest, EnableRunsTheEnableScriptAndAnswersTrue) {
  FakeScripting scripting;
  const EncodableMap args{{"services", strings({"Wi-Fi", "Office's LAN"})},
                          {"host", "127.0.0.1"},
                          {"port", int32_t{8080}},
                          {"socks", int64_t{1080}},  // either integer width is an integer
                          {"bypass", strings({"localhost", "*.local"})},
                          {"extra", "ignored"}};
  EXPECT_EQ(call("setProxyElevated", args), Reply(EncodableValue(true)));
  EXPECT_EQ(scripting.scriptsRun(), std::vector<std::string>{proxy::buildEnableProxyScript(
                                        {"Wi-Fi", "Office's LAN"}, "127.0.0.1", 8080, 1080, {"localhost", "*.local"})});
}

TEST_F(PrivilegedProxyChannelTest, EnableTakesAnEmptyBypassListAndWidePorts) {
  FakeScripting scripting;
  const EncodableMap args{{"services", strings({"Wi-Fi"})},
                          {"host", ""},
                          {"port", int64_t{1} << 40},
                          {"socks", int32_t{-1}},
                          {"bypass", EncodableList{}}};
  EXPECT_EQ(call("setProxyElevated", args), Reply(EncodableValue(true)));
  EXPECT_EQ(scripting.scriptsRun(),
            std::vector<std::string>{proxy::buildEnableProxyScript({"Wi-Fi"}, "", int64_t{1} << 40, -1, {})});
}

TEST_F(PrivilegedProxyChannelTest, DisableIgnoresEveryKeyButServices) {
  FakeScripting scripting;
  const EncodableMap args{{"host", int32_t{1}},
                          {"port", "not a port"},
                          {"services", strings({"Wi-Fi", "Wi-Fi"})},
                          {"bypass", EncodableValue()}};
  EXPECT_EQ(call("disableProxyElevated", args), Reply(EncodableValue(true)));
  EXPECT_EQ(scripting.scriptsRun(), std::vector<std::string>{proxy::buildDisableProxyScript({"Wi-Fi", "Wi-Fi"})});
}

TEST_F(PrivilegedProxyChannelTest, RunOutcomesBecomeTheirAnswers) {
  const std::string number(NSAppleScriptErrorNumber), message(NSAppleScriptErrorMessage);
  struct Case {
    const char* what;
    std::optional<NSDictionary> error;
    Reply expected;
  };
  const std::vector<Case> cases = {
      {"success", std::nullopt, EncodableValue(true)},
      {"cancelled, whatever the platform said",
       NSDictionary{{number, int64_t{-128}}, {message, std::string("Benutzer hat abgebrochen.")}},
       error("cancelled", "User cancelled authorization")},
      {"failed with the run's message",
       NSDictionary{{number, int64_t{4}}, {message, std::string("Nowhere is not a recognized network service.")}},
       error("failed", "AppleScript error 4: Nowhere is not a recognized network service.")},
      {"failed without a number or message", NSDictionary{},
       error("failed", "AppleScript error -1: Unknown AppleScript error")},
  };
  for (const auto& c : cases) {
    FakeScripting scripting([&](const std::string&) { return c.error; });
    EXPECT_EQ(call("disableProxyElevated", EncodableMap{{"services", strings({"Wi-Fi"})}}), c.expected) << c.what;
    EXPECT_EQ(call("setProxyElevated", goodEnableArguments()), c.expected) << c.what;
  }
}

TEST_F(PrivilegedProxyChannelTest, AScriptThatCannotBeEncodedFails) {
  FakeScripting scripting;
  EXPECT_EQ(call("disableProxyElevated", EncodableMap{{"services", EncodableList{EncodableValue("caf\xe9")}}}),
            error("failed", "Failed to encode shell script"));
  EXPECT_TRUE(scripting.sources().empty());
}

TEST_F(PrivilegedProxyChannelTest, CallsRunOneAtATimeInArrivalOrderAndAreAnsweredOnTheMainThread) {
  Gate releaseFirst, releaseSecond;
  std::atomic<int> runsOnMainThread{0};
  FakeScripting scripting([&](const std::string& script) -> std::optional<NSDictionary> {
    if (isMainThread()) ++runsOnMainThread;
    bool first = script.find("'first'") != std::string::npos;
    EXPECT_TRUE((first ? releaseFirst : releaseSecond).wait(10s));
    if (first) return NSDictionary{{std::string(NSAppleScriptErrorNumber), int64_t{-128}}};
    return std::nullopt;
  });

  post("disableProxyElevated", EncodableMap{{"services", strings({"first"})}});
  post("setProxyElevated", with(goodEnableArguments(), "services", strings({"second"})));
  // The handler returned at once; the second run waits for the first, even when it could go.
  ASSERT_TRUE(scripting.waitForRuns(1, 10s));
  releaseSecond.open();
  EXPECT_FALSE(scripting.waitForRuns(2, 200ms));
  EXPECT_TRUE(replies_->empty());

  releaseFirst.open();
  ASSERT_TRUE(waitForReplies(2));
  EXPECT_EQ((*replies_)[0], error("cancelled", "User cancelled authorization"));
  EXPECT_EQ((*replies_)[1], Reply(EncodableValue(true)));
  EXPECT_EQ(scripting.scriptsRun().size(), 2u);

  EXPECT_EQ(runsOnMainThread, 0);
  EXPECT_EQ(offMainThread_, 0);
}

TEST_F(PrivilegedProxyChannelTest, ArgumentErrorsAreAnsweredBeforeTheHandlerReturns) {
  FakeScripting scripting;
  post("setProxyElevated", EncodableMap{{"services", EncodableList{}}});
  post("setProxyElevated", EncodableMap{{"services", strings({"Wi-Fi"})}});
  post("other", EncodableMap{{"services", strings({"Wi-Fi"})}});
  // No draining of the main queue: these answers must already be there.
  ASSERT_EQ(replies_->size(), 3u);
  EXPECT_EQ((*replies_)[0], kServicesError);
  EXPECT_EQ((*replies_)[1], kSettingsError);
  EXPECT_EQ((*replies_)[2], Reply(NotImplemented{}));
  EXPECT_EQ(offMainThread_, 0);
}

}  // namespace
