#include <gtest/gtest.h>

#include "shutdown/NetworkServices.h"
#include "tests/support/TestSupport.h"

namespace {

using Names = std::vector<std::string>;

struct ParseCase {
  const char* what;
  std::string text;
  Names expected;
};

const std::string kLegend = "An asterisk (*) denotes that a network service is disabled.\n";

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.what; }

class ServiceListParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ServiceListParsing, KeepsEnabledNamesExactlyAsPrinted) {
  EXPECT_EQ(parseNetworkServices(GetParam().text), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Rule, ServiceListParsing,
    ::testing::Values(
        ParseCase{"legend and a disabled service dropped",
                  kLegend + "Wi-Fi\n*Ethernet\nThunderbolt Bridge\n",
                  {"Wi-Fi", "Thunderbolt Bridge"}},
        ParseCase{"asterisk inside a name drops it", kLegend + "Wi*Fi\nVPN (*)\nEthernet\n", {"Ethernet"}},
        ParseCase{"blanks and tabs kept", "  Wi-Fi \n\tEthernet\t\n", {"  Wi-Fi ", "\tEthernet\t"}},
        ParseCase{"repeated feed and no final feed", "Wi-Fi\n\nEthernet", {"Wi-Fi", "Ethernet"}},
        ParseCase{"leading feeds make no lines", "\n\n\nWi-Fi\n", {"Wi-Fi"}},
        ParseCase{"duplicates kept in order", "Wi-Fi\nEthernet\nWi-Fi\n", {"Wi-Fi", "Ethernet", "Wi-Fi"}},
        ParseCase{"empty text", "", {}}, ParseCase{"only the legend", kLegend, {}}, ParseCase{"only feeds", "\n\n", {}},
        ParseCase{"CR LF does not split", "Wi-Fi\r\nEthernet", {"Wi-Fi\r\nEthernet"}},
        ParseCase{"CR LF then a plain feed splits after", "Wi-Fi\r\nEthernet\nUSB\n", {"Wi-Fi\r\nEthernet", "USB"}},
        ParseCase{"lone CR does not split", "Wi-Fi\rEthernet\n", {"Wi-Fi\rEthernet"}},
        ParseCase{"trailing CR kept", "Wi-Fi\r\n", {"Wi-Fi\r\n"}},
        ParseCase{"a line of one CR is not empty", "\r\n\nA\n", {"\r\n", "A"}},
        ParseCase{"non-ASCII and apostrophe untouched",
                  "Bob’s iPhone\nÉthernet 2\nO'Brien\n",
                  {"Bob’s iPhone", "Éthernet 2", "O'Brien"}},
        ParseCase{"NUL characters stay inside a name", std::string("A\0B\n", 4), {std::string("A\0B", 3)}}),
    [](const auto& info) { return testing_support::testNameFrom(info.param.what); });

}  // namespace
