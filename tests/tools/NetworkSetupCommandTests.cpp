// The networksetup stand-in in-process: the commands' exact texts and statuses, the state's property-list
// form, and the run-log encoding.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "platform/Utf8.h"
#include "tools/networksetup/Commands.h"
#include "tools/networksetup/NetworkState.h"
#include "tools/networksetup/RunLog.h"

namespace networksetup {
namespace {

using Args = std::vector<std::string>;

const std::string kLegend = "An asterisk (*) denotes that a network service is disabled.\n";
const std::string kNotValid = "** Error: The parameters were not valid.\n";

std::string proxyText(const char* enabled, const std::string& server, int port) {
  return std::string("Enabled: ") + enabled + "\nServer: " + server + "\nPort: " + std::to_string(port) +
         "\nAuthenticated Proxy Enabled: 0\n";
}

// Names a test must be able to hand to the tool, store and get back unchanged.
const Args kAwkwardNames = {
    "Office's LAN",
    "say \"hi\"",
    "$HOME `id` $(id)",
    "back\\slash",
    "two\nlines",
    "*starred",
    "star*red",
    "Café Ünïcödé 😀",
    "",
    " padded ",
    "cr\r\nlf",
    "tab\there",
    std::string("raw \xff\xfe byte"),
    "Empty",
    "\x01\x7f",
};

struct CommandRow {
  const char* behaviour;
  std::vector<Args> setup;
  Args command;
  int status;
  std::string standardOutput;
};

void PrintTo(const CommandRow& row, std::ostream* os) { *os << row.behaviour; }

class CommandTable : public testing::TestWithParam<CommandRow> {};

TEST_P(CommandTable, PrintsTheRealToolsTextsAndStatus) {
  const CommandRow& row = GetParam();
  NetworkState state = NetworkState::fresh();
  for (const auto& setup : row.setup) ASSERT_EQ(runCommand(setup, state).status, exitSuccess) << setup[0];
  const CommandOutcome outcome = runCommand(row.command, state);
  EXPECT_EQ(outcome.status, row.status);
  EXPECT_EQ(outcome.standardOutput, row.standardOutput);
  EXPECT_EQ(outcome.standardError, "");
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTable,
    testing::Values(CommandRow{"FreshListing",
                               {},
                               {"-listallnetworkservices"},
                               0,
                               kLegend + "Wi-Fi\nEthernet\nThunderbolt Bridge\n*Bluetooth PAN\n"},
                    CommandRow{"FreshProxyIsOffAndEmpty", {}, {"-getwebproxy", "Wi-Fi"}, 0, proxyText("No", "", 0)},
                    CommandRow{"WebProxySetAndOn",
                               {{"-setwebproxy", "Wi-Fi", "127.0.0.1", "8080"}, {"-setwebproxystate", "Wi-Fi", "on"}},
                               {"-getwebproxy", "Wi-Fi"},
                               0,
                               proxyText("Yes", "127.0.0.1", 8080)},
                    CommandRow{"SecureWebProxyIsItsOwnSetting",
                               {{"-setwebproxy", "Wi-Fi", "a", "1"},
                                {"-setsecurewebproxy", "Wi-Fi", "b", "443"},
                                {"-setsecurewebproxystate", "Wi-Fi", "on"}},
                               {"-getsecurewebproxy", "Wi-Fi"},
                               0,
                               proxyText("Yes", "b", 443)},
                    CommandRow{"WebProxyUntouchedBySecureWeb",
                               {{"-setwebproxy", "Wi-Fi", "a", "1"},
                                {"-setsecurewebproxy", "Wi-Fi", "b", "443"},
                                {"-setsecurewebproxystate", "Wi-Fi", "on"}},
                               {"-getwebproxy", "Wi-Fi"},
                               0,
                               proxyText("No", "a", 1)},
                    CommandRow{"SocksOnAnotherService",
                               {{"-setsocksfirewallproxy", "Ethernet", "s", "1080"},
                                {"-setsocksfirewallproxystate", "Ethernet", "on"}},
                               {"-getsocksfirewallproxy", "Ethernet"},
                               0,
                               proxyText("Yes", "s", 1080)},
                    CommandRow{"StateOffKeepsHostAndPort",
                               {{"-setwebproxy", "Wi-Fi", "h", "3128"},
                                {"-setwebproxystate", "Wi-Fi", "on"},
                                {"-setwebproxystate", "Wi-Fi", "off"}},
                               {"-getwebproxy", "Wi-Fi"},
                               0,
                               proxyText("No", "h", 3128)},
                    CommandRow{"PortWithLeadingZeros",
                               {{"-setwebproxy", "Wi-Fi", "h", "0008080"}},
                               {"-getwebproxy", "Wi-Fi"},
                               0,
                               proxyText("No", "h", 8080)},
                    CommandRow{"HighestPort",
                               {{"-setwebproxy", "Wi-Fi", "h", "65535"}},
                               {"-getwebproxy", "Wi-Fi"},
                               0,
                               proxyText("No", "h", 65535)},
                    CommandRow{"NoBypassDomains",
                               {},
                               {"-getproxybypassdomains", "Wi-Fi"},
                               0,
                               "There aren't any bypass domains set on Wi-Fi.\n"},
                    CommandRow{"BypassDomainsKeepOrderAndRepeats",
                               {{"-setproxybypassdomains", "Wi-Fi", "b", "a", "b"}},
                               {"-getproxybypassdomains", "Wi-Fi"},
                               0,
                               "b\na\nb\n"},
                    CommandRow{"TheWordEmptyClears",
                               {{"-setproxybypassdomains", "Wi-Fi", "x"}, {"-setproxybypassdomains", "Wi-Fi", "Empty"}},
                               {"-getproxybypassdomains", "Wi-Fi"},
                               0,
                               "There aren't any bypass domains set on Wi-Fi.\n"},
                    CommandRow{"NoDomainClears",
                               {{"-setproxybypassdomains", "Wi-Fi", "x"}, {"-setproxybypassdomains", "Wi-Fi"}},
                               {"-getproxybypassdomains", "Wi-Fi"},
                               0,
                               "There aren't any bypass domains set on Wi-Fi.\n"},
                    CommandRow{"EmptyAmongOthersIsADomain",
                               {{"-setproxybypassdomains", "Wi-Fi", "Empty", "x"}},
                               {"-getproxybypassdomains", "Wi-Fi"},
                               0,
                               "Empty\nx\n"},
                    CommandRow{"LowerCaseEmptyIsADomain",
                               {{"-setproxybypassdomains", "Wi-Fi", "empty"}},
                               {"-getproxybypassdomains", "Wi-Fi"},
                               0,
                               "empty\n"},
                    CommandRow{"EnablingAndDisablingServices",
                               {{"-setnetworkserviceenabled", "Ethernet", "off"},
                                {"-setnetworkserviceenabled", "Bluetooth PAN", "on"}},
                               {"-listallnetworkservices"},
                               0,
                               kLegend + "Wi-Fi\n*Ethernet\nThunderbolt Bridge\nBluetooth PAN\n"},
                    CommandRow{
                        "CreatedServiceComesLastAndEnabled",
                        {{"-createnetworkservice", "Office's LAN", "Ethernet"}, {"-removenetworkservice", "Wi-Fi"}},
                        {"-listallnetworkservices"},
                        0,
                        kLegend + "Ethernet\nThunderbolt Bridge\n*Bluetooth PAN\nOffice's LAN\n"},
                    CommandRow{"CreatingATakenName",
                               {},
                               {"-createnetworkservice", "Wi-Fi", "Wi-Fi"},
                               4,
                               "A network service named Wi-Fi already exists.\n" + kNotValid},
                    CommandRow{"NamesMatchCaseAndBlanksExactly",
                               {},
                               {"-getwebproxy", "wi-fi "},
                               4,
                               "wi-fi  is not a recognized network service.\n" + kNotValid},
                    CommandRow{"RemovedServiceIsUnknown",
                               {{"-removenetworkservice", "Ethernet"}},
                               {"-getwebproxy", "Ethernet"},
                               4,
                               "Ethernet is not a recognized network service.\n" + kNotValid}),
    [](const auto& info) { return std::string(info.param.behaviour); });

TEST(NetworkSetupCommands, EveryServiceCommandReportsAnUnknownServiceOnStandardOutputAndChangesNothing) {
  const std::vector<Args> commands = {{"-getwebproxy"},
                                      {"-getsecurewebproxy"},
                                      {"-getsocksfirewallproxy"},
                                      {"-getproxybypassdomains"},
                                      {"-setwebproxy", "h", "80"},
                                      {"-setsecurewebproxy", "h", "80"},
                                      {"-setsocksfirewallproxy", "h", "80"},
                                      {"-setwebproxystate", "on"},
                                      {"-setsecurewebproxystate", "on"},
                                      {"-setsocksfirewallproxystate", "on"},
                                      {"-setproxybypassdomains", "x"},
                                      {"-setproxybypassdomains"},
                                      {"-removenetworkservice"},
                                      {"-setnetworkserviceenabled", "on"}};
  for (const auto& command : commands) {
    Args args = {command[0], "Nope's \"LAN\""};
    args.insert(args.end(), command.begin() + 1, command.end());
    NetworkState state = NetworkState::fresh();
    const CommandOutcome outcome = runCommand(args, state);
    EXPECT_EQ(outcome.status, 4) << command[0];
    EXPECT_EQ(outcome.standardOutput, "Nope's \"LAN\" is not a recognized network service.\n" + kNotValid);
    EXPECT_EQ(outcome.standardError, "");
    EXPECT_FALSE(outcome.changedState);
    EXPECT_EQ(state, NetworkState::fresh());
  }
}

TEST(NetworkSetupCommands, BadCommandLinesGiveAUsageLineOnStandardErrorAndChangeNothing) {
  const std::string general = "Usage: networksetup <command> [<argument> ...], where <command> is one of";
  const std::string proxy = "Usage: networksetup -setwebproxy <networkservice> <domain> <port number>";
  const std::string state = "Usage: networksetup -setwebproxystate <networkservice> <on off>";
  const std::vector<std::pair<Args, std::string>> rows = {
      {{}, general},
      {{"-bogus"}, general},
      {{"listallnetworkservices"}, general},
      {{"-LISTALLNETWORKSERVICES"}, general},
      {{"-listallnetworkservices", "extra"}, "Usage: networksetup -listallnetworkservices"},
      {{"-setwebproxy", "Wi-Fi", "h"}, proxy},
      {{"-setwebproxy", "Wi-Fi", "h", "80", "extra"}, proxy},
      {{"-setwebproxy", "Wi-Fi", "h", "abc"}, proxy},
      {{"-setwebproxy", "Wi-Fi", "h", "-1"}, proxy},
      {{"-setwebproxy", "Wi-Fi", "h", "65536"}, proxy},
      {{"-setwebproxy", "Wi-Fi", "h", "99999999999999999999"}, proxy},
      {{"-setwebproxy", "Wi-Fi", "h", ""}, proxy},
      {{"-setwebproxy", "Wi-Fi", "h", "+80"}, proxy},
      {{"-setwebproxy", "Wi-Fi", "h", " 80"}, proxy},
      {{"-setwebproxystate", "Wi-Fi", "yes"}, state},
      {{"-setwebproxystate", "Wi-Fi", "ON"}, state},
      {{"-setnetworkserviceenabled", "Wi-Fi", "1"},
       "Usage: networksetup -setnetworkserviceenabled <networkservice> <on off>"},
      {{"-setproxybypassdomains"},
       "Usage: networksetup -setproxybypassdomains <networkservice> [domain1] [domain2] [...]"},
      {{"-getwebproxy"}, "Usage: networksetup -getwebproxy <networkservice>"},
      {{"-createnetworkservice", "X"}, "Usage: networksetup -createnetworkservice <networkservicename> <hardwareport>"},
  };
  for (const auto& [args, usage] : rows) {
    SCOPED_TRACE(args.empty() ? "(nothing)" : args[0] + (args.size() > 3 ? " " + args[3] : ""));
    NetworkState before = NetworkState::fresh();
    const CommandOutcome outcome = runCommand(args, before);
    EXPECT_EQ(outcome.status, exitUsage);
    EXPECT_EQ(outcome.standardOutput, "");
    ASSERT_TRUE(outcome.standardError.ends_with("\n"));
    const std::string lastLine =
        outcome.standardError.substr(outcome.standardError.rfind('\n', outcome.standardError.size() - 2) + 1);
    EXPECT_TRUE(lastLine.starts_with(usage)) << lastLine;
    EXPECT_FALSE(outcome.changedState);
    EXPECT_EQ(before, NetworkState::fresh());
  }
}

TEST(NetworkStatePlist, KeepsEveryServiceAndSettingByteForByte) {
  NetworkState state = NetworkState::fresh();
  state.services[3].enabled = true;
  uint16_t port = 1;
  for (const auto& name : kAwkwardNames) {
    NetworkService service;
    service.name = name;
    service.hardwarePort = name + " port";
    service.enabled = port % 2 == 0;
    service.webProxy = {true, name, port++};
    service.secureWebProxy = {false, "s" + name, port++};
    service.socksFirewallProxy = {true, name + "\t", 65535};
    service.bypassDomains = {name, "*.local", name};
    state.services.push_back(service);
  }
  const std::string plist = encodeStatePlist(state);
  EXPECT_EQ(decodeStatePlist(plist), state);
  // Readable where it can be, raw data where XML could not carry the bytes.
  EXPECT_NE(plist.find("<string>Thunderbolt Bridge</string>"), std::string::npos);
  EXPECT_EQ(plist.find("\xff"), std::string::npos);
  EXPECT_EQ(plist.find("\x01"), std::string::npos);
}

TEST(NetworkStatePlist, RejectsWhatIsNotAStateFile) {
  const std::string good = encodeStatePlist(NetworkState::fresh());
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    return s.replace(s.find(from), from.size(), to);
  };
  const std::vector<std::pair<const char*, std::string>> rows = {
      {"empty", ""},
      {"garbage", "not a plist"},
      {"truncated", good.substr(0, good.size() / 2)},
      {"other version", replaced("<integer>1</integer>", "<integer>2</integer>")},
      {"port out of range",
       replaced("<key>Port</key>\n\t\t\t\t<integer>0</integer>", "<key>Port</key>\n\t\t\t\t<integer>65536</integer>")},
      {"enabled not a bool", replaced("<key>Enabled</key>\n\t\t\t<true/>", "<key>Enabled</key><string>y</string>")},
      {"no bypass list", replaced("<key>BypassDomains</key>", "<key>Other</key>")},
      {"an array at the top", "<plist><array/></plist>"},
  };
  for (const auto& [what, bytes] : rows) EXPECT_EQ(decodeStatePlist(bytes), std::nullopt) << what;
}

TEST(RunLog, Utf8ArgumentsAreWrittenAsNlohmannWritesThem) {
  const std::vector<Args> rows = {
      {},
      {"/usr/sbin/networksetup", "-setwebproxy", "Wi-Fi", "127.0.0.1", "8080"},
      {"a\"b\\c/d", "\b\f\n\r\t", std::string("\x00\x01\x1f\x7f", 4), "é 😀 \u2028", ""},
      kAwkwardNames,  // one of them is not UTF-8: nlohmann would refuse it, so drop it first
  };
  for (Args args : rows) {
    std::erase_if(args, [](const std::string& s) { return !utf8::isValid(s); });
    EXPECT_EQ(formatRunLogLine(args), nlohmann::json(args).dump() + "\n");
  }
}

TEST(RunLog, AnyBytesComeBackExactly) {
  std::mt19937 random(20240611);
  std::vector<Args> rows = {kAwkwardNames, {"\xed\xa0\x80", "\xc0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xdc\x80"}};
  Args everyByte;
  for (int b = 0; b < 256; ++b) everyByte.emplace_back(1, static_cast<char>(b));
  rows.push_back(everyByte);
  for (int i = 0; i < 300; ++i) {
    std::string s(random() % 12, '\0');
    for (auto& c : s) c = static_cast<char>(random() % 256);
    rows.push_back({s, "x" + s});
  }
  for (const auto& args : rows) {
    const std::string line = formatRunLogLine(args);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    EXPECT_EQ(parseRunLogLine(line), args);
  }
  EXPECT_EQ(formatRunLogLine({"\xff"}), "[\"\\udcff\"]\n");
}

TEST(RunLog, MalformedLinesDoNotParse) {
  for (const char* line : {"", "[", "[\"a\"", "[\"a\",]", "[1]", "{}", "[\"a\"] x", "[\"\\ud800\"]", "[\"\\udc00\"]",
                           "[\"\\ud800\\u0041\"]", "[\"\\x\"]", "[\"\\u12\"]", "[\"a\tb\"]"}) {
    EXPECT_EQ(parseRunLogLine(line), std::nullopt) << line;
  }
  EXPECT_EQ(parseRunLogLine(" [ \"a\" , \"\\u00e9\\/\\ud83d\\ude00\" ] \n"), (Args{"a", "é/😀"}));
}

TEST(RunLog, Utf8ValidityFollowsTheStrictRules) {
  const std::vector<std::pair<std::string, bool>> rows = {{"", true},
                                                          {"ascii", true},
                                                          {"é", true},
                                                          {"\xef\xbf\xbf", true},
                                                          {"\xf4\x8f\xbf\xbf", true},
                                                          {"\xc0\x80", false},
                                                          {"\xc1\xbf", false},
                                                          {"\xe0\x80\x80", false},
                                                          {"\xed\xa0\x80", false},
                                                          {"\xf0\x80\x80\x80", false},
                                                          {"\xf4\x90\x80\x80", false},
                                                          {"\xf5\x80\x80\x80", false},
                                                          {"\xe2\x82", false},
                                                          {"\x80", false},
                                                          {"é\xff", false}};
  for (const auto& [bytes, valid] : rows) EXPECT_EQ(utf8::isValid(bytes), valid) << testing::PrintToString(bytes);
}

}  // namespace
}  // namespace networksetup
