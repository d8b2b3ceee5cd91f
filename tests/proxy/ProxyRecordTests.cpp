// The proxy record: its text both ways, what a torn or foreign file reads as, and how enables
// and disables change it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "proxy/ProxyRecord.h"
#include "tests/support/TestSupport.h"

namespace {

using proxy::ProcessIdentity;
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
  for (const std::string& bad :
       {text + "x", "X" + text, std::string(text).replace(text.find("port ") + 5, 1, "z"),
        std::string(text).replace(text.find("\\\\"), 2, "\\q"), std::string(text).replace(0, 24, "proxyhost proxy record 2")}) {
    EXPECT_FALSE(proxy::decodeProxyRecord(bad)) << bad;
  }
}

class ProxyRecordFile : public ::testing::Test {
 protected:
  testing_support::TempDir dir_;
  std::string folder_ = dir_.file("state/net.example");
  ProxyRecord record_{folder_};
};

TEST_F(ProxyRecordFile, EnablesAddServicesForThisProcessAndDisablesTakeThemOff) {
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

  record_.removeDisabled({"Wi-Fi", "USB", "Not there"});
  EXPECT_EQ(record_.read().content->services, std::vector<std::string>{"Ethernet"});
  record_.removeDisabled({"Ethernet"});
  EXPECT_EQ(record_.read().state, ProxyRecord::State::absent);
  EXPECT_FALSE(std::filesystem::exists(record_.path()));
}

TEST_F(ProxyRecordFile, ATornRecordMayMeanProxiesOnAndADisableLeavesIt) {
  ASSERT_TRUE(record_.addEnabled({"Wi-Fi"}, "h", 1, 2));
  std::string whole = proxy::encodeProxyRecord(*record_.read().content);
  std::ofstream(record_.path(), std::ios::trunc) << whole.substr(0, whole.size() / 2);
  EXPECT_EQ(record_.read().state, ProxyRecord::State::unreadable);
  EXPECT_TRUE(record_.read().mayBeOn());
  record_.removeDisabled({"Wi-Fi"});
  EXPECT_TRUE(record_.read().mayBeOn());
  record_.clear();
  EXPECT_FALSE(record_.read().mayBeOn());
}

TEST(ProcessIdentityOf, TellsAnEndedProcessAndAReusedPidApart) {
  EXPECT_TRUE(ProcessIdentity::current().isAlive());
  ProcessIdentity reused = ProcessIdentity::current();
  reused.startTime += 1;
  EXPECT_FALSE(reused.isAlive());

  pid_t child = ::fork();
  if (child == 0) _exit(0);
  auto before = ProcessIdentity::of(child);
  // Ended but not yet reaped counts as ended.
  for (int i = 0; i < 500 && ProcessIdentity::of(child); ++i) ::usleep(2000);
  EXPECT_FALSE(ProcessIdentity::of(child));
  if (before) {
    EXPECT_FALSE(before->isAlive());
  }
  ::waitpid(child, nullptr, 0);
}

}  // namespace
