// The proxy record: its text both ways, what a torn or foreign file reads as, and how enables
// and disables change it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "proxy/ProxyRecord.h"
#include "tests/support/TestSupport.h"

namespace {

using ::testing::HasSubstr;

using posix::ProcessIdentity;
using proxy::ProxyRecord;
using proxy::ProxyRecordContent;

ProxyRecordContent sample() {
  return {.owner = {4242, 987654321},
          .services = {"Wi-Fi", "Bob's LAN \\ 2", "line\nfeed", "cr\rhere", "局域网 🛜", "*"},
          .host = "127.0.0.1\\n",
          .port = int64_t{1} << 40,
          .socks = -1};
}

TEST(ProxyRecordText, RoundTripsAwkwardNamesAndWideNumbers) {
  const std::string text = proxy::encodeProxyRecord(sample());
  EXPECT_EQ(proxy::decodeProxyRecord(text), sample());
  // One value a line: nothing a name holds can start a line of its own.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6 + 6);
}

TEST(ProxyRecordText, EveryCutAndEveryStrayByteIsNotARecord) {
  const std::string text = proxy::encodeProxyRecord(sample());
  for (size_t cut = 0; cut < text.size(); ++cut) {
    EXPECT_FALSE(proxy::decodeProxyRecord(text.substr(0, cut))) << "cut at " << cut;
  }
  for (const std::string& bad : {text + "x", "X" + text, std::string(text).replace(text.find("port ") + 5, 1, "z"),
                                 std::string(text).replace(text.find("\\\\"), 2, "\\q"),
                                 std::string(text).replace(0, 24, "proxyhost proxy record 2")}) {
    EXPECT_FALSE(proxy::decodeProxyRecord(bad)) << bad;
  }
}

class ProxyRecordFile : public ::testing::Test {
 protected:
  testing_support::TempDir dir_;
  std::string folder_ = dir_.file("state/net.example");
  ProxyRecord record_{folder_};
};

TEST_F(ProxyRecordFile, EnablesAddServicesForThisProcessUntilCleared) {
  EXPECT_EQ(record_.read().state, ProxyRecord::State::absent);
  ASSERT_TRUE(record_.addEnabled({"Wi-Fi", "Ethernet"}, "127.0.0.1", 7890, 7891));
  ASSERT_TRUE(record_.addEnabled({"Ethernet", "USB"}, "10.0.0.1", 3128, 1080));
  ProxyRecord::Reading reading = record_.read();
  ASSERT_EQ(reading.state, ProxyRecord::State::present);
  EXPECT_EQ(reading.content->services, (std::vector<std::string>{"Wi-Fi", "Ethernet", "USB"}));
  EXPECT_EQ(reading.content->host, "10.0.0.1");
  EXPECT_EQ(reading.content->port, 3128);
  EXPECT_EQ(reading.content->owner, ProcessIdentity::current());
  EXPECT_TRUE(reading.content->owner.isAlive());
  struct stat info {};
  ASSERT_EQ(::stat(record_.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  record_.clear();
  EXPECT_EQ(record_.read().state, ProxyRecord::State::absent);
  EXPECT_FALSE(std::filesystem::exists(record_.path()));
}

TEST_F(ProxyRecordFile, ATornRecordMayMeanProxiesOnUntilCleared) {
  ASSERT_TRUE(record_.addEnabled({"Wi-Fi"}, "h", 1, 2));
  std::string whole = proxy::encodeProxyRecord(*record_.read().content);
  std::ofstream(record_.path(), std::ios::trunc) << whole.substr(0, whole.size() / 2);
  EXPECT_EQ(record_.read().state, ProxyRecord::State::unreadable);
  EXPECT_TRUE(record_.read().mayBeOn());
  record_.clear();
  EXPECT_FALSE(record_.read().mayBeOn());
}

// A FIFO would hold a reader forever, a device or a link could lead anywhere: none of them is
// read, each counts as "may be on" at once, and clearing removes the entry itself.
TEST_F(ProxyRecordFile, AnythingButARegularFileReadsUnreadableWithoutBlocking) {
  std::filesystem::create_directories(folder_);
  const std::string real = dir_.file("a real record");
  std::ofstream(real) << proxy::encodeProxyRecord({{1, 2}, {"Wi-Fi"}, "h", 1, 2});
  const std::vector<std::pair<std::string, std::function<void()>>> plants = {
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(record_.path().c_str(), 0600), 0); }},
      {"link to a whole record", [&] { std::filesystem::create_symlink(real, record_.path()); }},
      {"link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", record_.path()); }},
      {"folder", [&] { std::filesystem::create_directory(record_.path()); }},
  };
  for (const auto& [what, plant] : plants) {
    SCOPED_TRACE(what);
    plant();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(record_.read().state, ProxyRecord::State::unreadable);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    if (what != "folder") {
      record_.clear();
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(record_.path())));
    }
    std::filesystem::remove(record_.path());
  }
  EXPECT_TRUE(std::filesystem::exists(real));
}

// An enable is only as safe as its record: where the record cannot be written, the answer says
// why; nothing is written into a folder of another user's.
TEST(ProxyRecordFolder, ARecordThatCannotBeWrittenSaysWhy) {
  testing_support::TempDir dir;
  std::ofstream(dir.file("in the way")) << "a file";
  // Why an enable may not be recorded there; "" when it may.
  auto refusal = [](const std::string& folder) {
    const posix::Expected<void> kept = ProxyRecord(folder).addEnabled({"Wi-Fi"}, "h", 1, 2);
    return kept ? std::string() : kept.error().message();
  };
  EXPECT_THAT(refusal(dir.file("in the way/net.example")), HasSubstr("in the way"));

  std::filesystem::create_directory(dir.file("elsewhere"));
  std::filesystem::create_directory_symlink(dir.file("elsewhere"), dir.file("linked"));
  EXPECT_THAT(refusal(dir.file("linked")), HasSubstr("is not a folder"));
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("elsewhere")));

  if (::getuid() != 0) GTEST_SKIP() << "handing a folder to another user needs root";
  std::filesystem::create_directory(dir.file("home of 4242"));
  ASSERT_EQ(::chown(dir.file("home of 4242").c_str(), 4242, 4242), 0);
  for (const std::string& folder : {dir.file("home of 4242"), dir.file("home of 4242/.local/state/net.example")}) {
    EXPECT_EQ(refusal(folder), folder + " belongs to user 4242, not to user 0");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("home of 4242")));
}

}  // namespace
