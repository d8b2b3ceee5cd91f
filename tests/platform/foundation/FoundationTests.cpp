// NSLog, NSBundle, NSNotificationCenter and NSProcessInfo.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSProcessInfo.h"
#include "tests/platform/foundation/StderrToFile.h"
#include "tests/support/TestSupport.h"

namespace {

// ---- NSLog ----

TEST(NSLog, Formatting) {
  struct Case {
    const char* name;
    std::function<void()> log;
    std::string expected;
  };
  const std::string owned = "from std::string";
  const char* cString = "from const char*";
  const std::string_view view = std::string_view("from string_view, cut here", 16);
  const std::vector<Case> cases = {
      {"%@ std::string", [&] { NSLog("<%@>", owned); }, "<from std::string>"},
      {"%@ const char*", [&] { NSLog("<%@>", cString); }, "<from const char*>"},
      {"%@ string literal", [] { NSLog("<%@>", "literal"); }, "<literal>"},
      {"%@ string_view stops at its size", [&] { NSLog("<%@>", view); }, "<from string_view>"},
      {"%s", [&] { NSLog("%s!", cString); }, "from const char*!"},
      {"%@ null C string",
       [] {
         const char* none = nullptr;
         NSLog("<%@>", none);
       },
       "<(null)>"},
      {"%d int32", [] { NSLog("%d", int32_t{-42}); }, "-42"},
      {"%i int32", [] { NSLog("%i", int32_t{7}); }, "7"},
      {"%d int32 min", [] { NSLog("%d", std::numeric_limits<int32_t>::min()); }, "-2147483648"},
      {"%d int64 keeps low 32 bits", [] { NSLog("%d", int64_t{4294967297}); }, "1"},
      {"%d int64 2^31 wraps negative", [] { NSLog("%d", int64_t{2147483648}); }, "-2147483648"},
      {"%d int64 -1", [] { NSLog("%d", int64_t{-1}); }, "-1"},
      {"%d bool", [] { NSLog("%d", true); }, "1"},
      {"%ld int64", [] { NSLog("%ld", int64_t{9007199254740993}); }, "9007199254740993"},
      {"%ld int64 min", [] { NSLog("%ld", std::numeric_limits<int64_t>::min()); }, "-9223372036854775808"},
      {"%lld", [] { NSLog("%lld", int64_t{-5000000000}); }, "-5000000000"},
      {"%u uint32 max", [] { NSLog("%u", std::numeric_limits<uint32_t>::max()); }, "4294967295"},
      {"%u of -1", [] { NSLog("%u", int32_t{-1}); }, "4294967295"},
      {"%lu uint64 max", [] { NSLog("%lu", std::numeric_limits<uint64_t>::max()); }, "18446744073709551615"},
      {"%f", [] { NSLog("%f", 1.5); }, "1.500000"},
      {"%%", [] { NSLog("100%% done"); }, "100% done"},
      {"%% does not take an argument", [] { NSLog("%%%d", int32_t{5}); }, "%5"},
      {"trailing lone %", [] { NSLog("50%"); }, "50%"},
      {"arguments in order", [] { NSLog("%@=%d (%@)", "a", int32_t{1}, "b"); }, "a=1 (b)"},
      {"specifier without argument", [] { NSLog("%@ and %d", "x"); }, "x and %d"},
      {"no arguments at all", [] { NSLog("%@ %ld %u"); }, "%@ %ld %u"},
      {"marks and Chinese unchanged", [] { NSLog("→ ✓ ⚠️ 代理 %@ 完成", "状态"); },
       "→ ✓ ⚠️ 代理 状态 完成"},
      {"non-ASCII argument next to a specifier", [] { NSLog("%@%d", "✓", int32_t{3}); }, "✓3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NSLogCapture capture;
    c.log();
    EXPECT_EQ(capture.lines(), std::vector<std::string>{c.expected});
  }
}

TEST(NSLogCapture, CollectsLinesAndRestoresWhatWasBefore) {
  std::vector<std::string> toSink;
  {
    NSLogCapture outerSink([&](const std::string& line) { toSink.push_back(line); });
    NSLog("to sink 1");
    {
      NSLogCapture outer;
      NSLog("outer %d", int32_t{1});
      {
        NSLogCapture inner;
        NSLog("inner");
        EXPECT_EQ(inner.lines(), std::vector<std::string>{"inner"});
      }
      NSLog("outer %d", int32_t{2});
      // The inner capture neither took the outer one's lines nor left its own behind.
      EXPECT_EQ(outer.lines(), (std::vector<std::string>{"outer 1", "outer 2"}));
    }
    NSLog("to sink 2");
  }
  EXPECT_EQ(toSink, (std::vector<std::string>{"to sink 1", "to sink 2"}));
}

TEST(NSLogCapture, LinesFromManyThreadsArriveWhole) {
  constexpr int kThreads = 8;
  constexpr int kLines = 100;
  NSLogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) NSLog("thread %d line %d %@", int32_t{t}, int32_t{i}, std::string(40, 'x'));
    });
  }
  for (auto& th : threads) th.join();
  std::multiset<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(40, 'x'));
    }
  }
  auto lines = capture.lines();
  EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), expected);
}

TEST(NSLog, StandardErrorLinesFromManyThreadsArriveWholeWithPrefix) {
  testing_support::TempDir dir;
  const std::string file = dir.file("stderr.txt");
  constexpr int kThreads = 8;
  constexpr int kLines = 100;
  const std::string payload(300, 'y');
  {
    StderrToFile redirect(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &payload] {
        for (int i = 0; i < kLines; ++i) NSLog("t%d-%d %@\n", int32_t{t}, int32_t{i}, payload);
      });
    }
    for (auto& th : threads) th.join();
  }
  std::ifstream in(file);
  // "2026-12-07 20:03:56.123 name[pid:tid] message"
  const std::regex lineShape(R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) (.+)\[(\d+):(\d+)\] (t\d+-\d+ y+))");
  const std::string pid = std::to_string(getpid());
  const std::string name = NSProcessInfo::processInfo().processName();
  std::multiset<std::string> messages;
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, lineShape)) << "torn or malformed line: " << line.substr(0, 120);
    EXPECT_EQ(m[2].str(), name);
    EXPECT_EQ(m[3].str(), pid);
    EXPECT_NE(m[4].str(), pid) << "logged from a worker thread, not the main one";
    messages.insert(m[5].str());
  }
  // The message's own trailing newline is not doubled: no empty lines.
  EXPECT_EQ(count, kThreads * kLines);
  std::multiset<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) expected.insert("t" + std::to_string(t) + "-" + std::to_string(i) + " " + payload);
  }
  EXPECT_EQ(messages, expected);
}

// ---- NSBundle ----

const char* kXmlInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key>
  <string>net.proxyhost.client</string>
  <key>CFBundleName</key>
  <string>代理 ✓</string>
  <key>CFBundleVersionNumber</key>
  <integer>7</integer>
  <key>LSUIElement</key>
  <true/>
</dict>
</plist>
)";

std::string binaryInfoPlist() {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string("net.proxyhost.client"));
  plist_dict_set_item(dict, "CFBundleName", plist_new_string("代理 ✓"));
  plist_dict_set_item(dict, "CFBundleVersionNumber", plist_new_uint(7));
  plist_dict_set_item(dict, "LSUIElement", plist_new_bool(1));
  char* data = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &data, &length);
  std::string bytes(data, length);
  plist_to_bin_free(data);
  plist_free(dict);
  return bytes;
}

void writeInfoPlist(const std::string& bundle, const std::string& contents) {
  std::filesystem::create_directories(bundle + "/Contents");
  std::ofstream(bundle + "/Contents/Info.plist", std::ios::binary) << contents;
}

TEST(NSBundle, ReadsInfoPlistInXmlAndBinaryForm) {
  struct Case {
    const char* name;
    std::string contents;
  };
  const std::vector<Case> cases = {{"xml", kXmlInfoPlist}, {"binary", binaryInfoPlist()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.contents.empty());
    testing_support::TempDir dir;
    const std::string path = dir.file("ProxyHost.app");
    writeInfoPlist(path, c.contents);
    NSBundle bundle = NSBundle::bundleWithPath(path);
    EXPECT_EQ(bundle.bundlePath(), path);
    EXPECT_EQ(bundle.resourcePath(), path + "/Contents/Resources");
    EXPECT_EQ(bundle.bundleIdentifier(), std::optional<std::string>("net.proxyhost.client"));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleName"), std::optional<std::string>("代理 ✓"));
    // Only string values are kept.
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersionNumber"), std::nullopt);
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("LSUIElement"), std::nullopt);
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("Missing"), std::nullopt);
  }
}

TEST(NSBundle, NoUsableInfoPlistMeansNoIdentifier) {
  struct Case {
    const char* name;
    std::optional<std::string> infoPlist;  // nullopt: only an empty Contents folder
  };
  const std::vector<Case> cases = {
      {"no Info.plist", std::nullopt},
      {"empty Info.plist", ""},
      {"not a plist", "this is not a property list"},
      {"truncated binary plist", binaryInfoPlist().substr(0, 20)},
      {"root is an array",
       R"(<?xml version="1.0"?><plist version="1.0"><array><string>net.proxyhost.client</string></array></plist>)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempDir dir;
    const std::string path = dir.file("Broken.app");
    if (c.infoPlist) {
      writeInfoPlist(path, *c.infoPlist);
    } else {
      std::filesystem::create_directories(path + "/Contents");
    }
    EXPECT_EQ(NSBundle::bundleWithPath(path).bundleIdentifier(), std::nullopt);
  }
  EXPECT_EQ(NSBundle::bundleWithPath("/nonexistent/Nowhere.app").bundleIdentifier(), std::nullopt);
}

TEST(NSBundle, MainBundleCanBeOverriddenForTesting) {
  // The test executable sits outside any bundle: no identifier, the executable's folder as path.
  const std::string exeDir = std::filesystem::canonical("/proc/self/exe").parent_path().string();
  EXPECT_EQ(NSBundle::mainBundle().bundleIdentifier(), std::nullopt);
  EXPECT_EQ(NSBundle::mainBundle().bundlePath(), exeDir);

  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({{"CFBundleIdentifier", "test.override"}}));
  EXPECT_EQ(NSBundle::mainBundle().bundleIdentifier(), std::optional<std::string>("test.override"));

  testing_support::TempDir dir;
  writeInfoPlist(dir.file("Fake.app"), kXmlInfoPlist);
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithPath(dir.file("Fake.app")));
  EXPECT_EQ(NSBundle::mainBundle().bundleIdentifier(), std::optional<std::string>("net.proxyhost.client"));
  EXPECT_EQ(NSBundle::mainBundle().bundlePath(), dir.file("Fake.app"));

  NSBundle::overrideMainBundleForTesting(std::nullopt);
  EXPECT_EQ(NSBundle::mainBundle().bundleIdentifier(), std::nullopt);
  EXPECT_EQ(NSBundle::mainBundle().bundlePath(), exeDir);
}

// ---- NSNotificationCenter ----

const std::string kNameA = "TestNotificationA";
const std::string kNameB = "TestNotificationB";

TEST(NSNotificationCenter, ObserversAreCalledInTheOrderAdded) {
  NSNotificationCenter center;
  std::vector<int> calls;
  int o1 = 0, o2 = 0, o3 = 0;
  center.addObserver(
      &o1, [&](const NSNotification&) { calls.push_back(1); }, kNameA);
  center.addObserver(
      &o2, [&](const NSNotification&) { calls.push_back(2); }, kNameA);
  center.addObserver(
      &o3, [&](const NSNotification&) { calls.push_back(3); }, kNameB);
  center.addObserver(
      &o3, [&](const NSNotification&) { calls.push_back(4); }, kNameA);
  center.postNotificationName(kNameA);
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 4}));
}

TEST(NSNotificationCenter, ObjectFilter) {
  int senderX, senderY, observer;
  struct Case {
    const char* name;
    const void* postedObject;
    std::vector<std::string> heard;
  };
  const std::vector<Case> cases = {
      {"posted by X", &senderX, {"any", "only X"}},
      {"posted by Y", &senderY, {"any", "only Y"}},
      {"posted with no object", nullptr, {"any"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NSNotificationCenter center;
    std::vector<std::string> heard;
    const void* seenObject = &observer;  // anything but what is posted
    center.addObserver(
        &observer,
        [&](const NSNotification& n) {
          heard.push_back("any");
          seenObject = n.object;
        },
        kNameA);
    center.addObserver(
        &observer, [&](const NSNotification&) { heard.push_back("only X"); }, kNameA, &senderX);
    center.addObserver(
        &observer, [&](const NSNotification&) { heard.push_back("only Y"); }, kNameA, &senderY);
    center.postNotificationName(kNameA, c.postedObject);
    EXPECT_EQ(heard, c.heard);
    EXPECT_EQ(seenObject, c.postedObject);
  }
}

TEST(NSNotificationCenter, RemoveObserverEverywhereOrByName) {
  NSNotificationCenter center;
  int x = 0, y = 0;
  std::vector<std::string> heard;
  center.addObserver(
      &x, [&](const NSNotification& n) { heard.push_back("x " + n.name); }, kNameA);
  center.addObserver(
      &x, [&](const NSNotification& n) { heard.push_back("x " + n.name); }, kNameB);
  center.addObserver(
      &y, [&](const NSNotification& n) { heard.push_back("y " + n.name); }, kNameA);
  EXPECT_EQ(center.registrationCount(&x), 2u);
  EXPECT_EQ(center.registrationCount(&x, kNameA), 1u);

  center.removeObserver(&x, kNameA);
  EXPECT_EQ(center.registrationCount(&x), 1u);
  EXPECT_EQ(center.registrationCount(&x, kNameA), 0u);
  EXPECT_EQ(center.registrationCount(&y), 1u);
  center.postNotificationName(kNameA);
  center.postNotificationName(kNameB);
  EXPECT_EQ(heard, (std::vector<std::string>{"y " + kNameA, "x " + kNameB}));

  heard.clear();
  center.removeObserver(&x);
  EXPECT_EQ(center.registrationCount(&x), 0u);
  EXPECT_EQ(center.registrationCount(&y), 1u);
  center.postNotificationName(kNameA);
  center.postNotificationName(kNameB);
  EXPECT_EQ(heard, (std::vector<std::string>{"y " + kNameA}));
}

struct SelectorObserver {
  std::vector<std::string> names;
  void handle(const NSNotification& n) { names.push_back(n.name); }
};

TEST(NSNotificationCenter, SelectorStyleObserverIsRemovedByItsAddress) {
  NSNotificationCenter center;
  SelectorObserver observer;
  center.addObserver(&observer, &SelectorObserver::handle, kNameA);
  center.postNotificationName(kNameA);
  EXPECT_EQ(center.registrationCount(&observer), 1u);
  center.removeObserver(&observer);
  center.postNotificationName(kNameA);
  EXPECT_EQ(observer.names, std::vector<std::string>{kNameA});
}

TEST(NSNotificationCenter, ObserverMayRemoveItselfOrPostWhileBeingNotified) {
  NSNotificationCenter center;
  int once, always;
  std::vector<std::string> calls;
  center.addObserver(
      &once,
      [&](const NSNotification&) {
        calls.push_back("once");
        center.removeObserver(&once);  // destroys this very registration while it runs
        center.postNotificationName(kNameB);
      },
      kNameA);
  center.addObserver(
      &always, [&](const NSNotification&) { calls.push_back("always"); }, kNameA);
  center.addObserver(
      &always, [&](const NSNotification&) { calls.push_back("nested B"); }, kNameB);
  center.postNotificationName(kNameA);
  center.postNotificationName(kNameA);
  EXPECT_EQ(calls, (std::vector<std::string>{"once", "nested B", "always", "always"}));
  EXPECT_EQ(center.registrationCount(&once), 0u);
}

TEST(NSNotificationCenter, ObserversRunOnThePostingThread) {
  NSNotificationCenter center;
  int observer = 0;
  std::thread::id calledOn;
  center.addObserver(
      &observer, [&](const NSNotification&) { calledOn = std::this_thread::get_id(); }, kNameA);
  std::thread::id postedFrom;
  std::thread poster([&] {
    postedFrom = std::this_thread::get_id();
    center.postNotificationName(kNameA);
  });
  poster.join();
  EXPECT_EQ(calledOn, postedFrom);
  EXPECT_NE(calledOn, std::this_thread::get_id());
}

TEST(NSNotificationCenter, ConcurrentAddRemoveAndPost) {
  NSNotificationCenter center;
  std::atomic<int> delivered{0};
  int stable = 0;
  center.addObserver(
      &stable, [&](const NSNotification&) { ++delivered; }, kNameA);
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    int churner;
    while (!stop) {
      center.addObserver(
          &churner, [](const NSNotification&) {}, kNameA);
      center.removeObserver(&churner);
    }
  });
  std::thread poster([&] {
    for (int i = 0; i < 2000; ++i) center.postNotificationName(kNameA);
  });
  poster.join();
  stop = true;
  churn.join();
  EXPECT_EQ(delivered.load(), 2000);
}

// ---- NSProcessInfo ----

TEST(NSProcessInfo, SuddenTerminationCounterBalances) {
  auto& info = NSProcessInfo::processInfo();
  const int base = info.suddenTerminationDisableCount();
  info.disableSuddenTermination();
  info.disableSuddenTermination();
  EXPECT_EQ(info.suddenTerminationDisableCount(), base + 2);
  info.enableSuddenTermination();
  EXPECT_EQ(info.suddenTerminationDisableCount(), base + 1);
  info.enableSuddenTermination();
  EXPECT_EQ(info.suddenTerminationDisableCount(), base);

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&info] {
      for (int i = 0; i < 1000; ++i) {
        info.disableSuddenTermination();
        info.enableSuddenTermination();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(info.suddenTerminationDisableCount(), base);
}

TEST(NSProcessInfo, OperatingSystemVersionComparisons) {
  auto& info = NSProcessInfo::processInfo();
  const NSOperatingSystemVersion saved = info.operatingSystemVersion();
  struct Restore {
    NSOperatingSystemVersion v;
    ~Restore() { NSProcessInfo::processInfo().setOperatingSystemVersionForTesting(v); }
  } restore{saved};

  info.setOperatingSystemVersionForTesting({13, 4, 1});
  struct Case {
    NSOperatingSystemVersion asked;
    bool atLeast;
  };
  const std::vector<Case> cases = {
      {{13, 4, 1}, true},  {{13, 4, 0}, true},   {{13, 4, 2}, false}, {{13, 3, 9}, true},
      {{13, 5, 0}, false}, {{12, 99, 99}, true}, {{14, 0, 0}, false}, {{0, 0, 0}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.asked.majorVersion << "." << c.asked.minorVersion << "."
                                    << c.asked.patchVersion);
    EXPECT_EQ(info.isOperatingSystemAtLeastVersion(c.asked), c.atLeast);
  }
  const auto now = info.operatingSystemVersion();
  EXPECT_EQ(now.majorVersion, 13);
  EXPECT_EQ(now.minorVersion, 4);
  EXPECT_EQ(now.patchVersion, 1);
}

}  // namespace
