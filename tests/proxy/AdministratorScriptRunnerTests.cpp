// The administrator run: the command handed to the scripting service, and how its error
// dictionary becomes an outcome.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/NSLog.h"
#include "platform/macos_tools/MacOSTools.h"
#include "platform/scripting/AppleScriptSource.h"
#include "proxy/AdministratorScriptRunner.h"
#include "proxy/ProxyScriptBuilder.h"
#include "tests/proxy/ProxyTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using Outcome = proxy::AdminRunOutcome;
using proxy_test::FakeScripting;
using ::testing::StartsWith;

const std::string kHead = "do shell script \"echo '";
const std::string kTail = "' | /usr/bin/base64 -D | /bin/bash\" with administrator privileges";

TEST(AdministratorRun, HandsTheScriptOverAsBase64BetweenTheFixedTexts) {
  FakeScripting scripting;
  EXPECT_EQ(proxy::runAsAdministrator("#!/bin/bash\nset -e"), Outcome::success());
  ASSERT_EQ(scripting.sources().size(), 1u);
  EXPECT_EQ(scripting.sources()[0], kHead + "IyEvYmluL2Jhc2gKc2V0IC1l" + kTail);
  EXPECT_EQ(kHead.size(), 23u);
  EXPECT_EQ(kTail.size(), 65u);
}

TEST(AdministratorRun, AnEmptyScriptStillMakesACompleteCommandAndRunsIt) {
  FakeScripting scripting;
  EXPECT_EQ(proxy::runAsAdministrator(""), Outcome::success());
  EXPECT_EQ(scripting.sources(), std::vector<std::string>{kHead + kTail});
  EXPECT_EQ(scripting.scriptsRun(), std::vector<std::string>{""});
}

TEST(AdministratorRun, EveryScriptByteArrivesAndTheCommandCompiles) {
  // Whatever the script holds, the command is the same three pieces and the platform's own
  // compiler takes it as an administrator command whose Base64 gives back the exact bytes.
  const std::vector<std::string> scripts = {
      "echo 'it'\\''s' \"q\" \\\\ $HOME `id`\nline two\n",
      std::string("\x01\x7f tab\there", 12),
      "Réseau 局域网 🛜",
      "a",
      "ab",
      "abc",
      proxy::buildEnableProxyScript({"Wi-Fi", "Office's LAN"}, "127.0.0.1", 8080, 1080, {"localhost", "*.local"}),
  };
  FakeScripting scripting;
  for (const auto& script : scripts) {
    EXPECT_EQ(proxy::runAsAdministrator(script), Outcome::success());
  }
  ASSERT_EQ(scripting.sources().size(), scripts.size());
  for (size_t i = 0; i < scripts.size(); ++i) {
    const std::string source = scripting.sources()[i];
    EXPECT_EQ(proxy_test::scriptInAdministratorSource(source), scripts[i]);
    auto compiled = parseShellScriptSource(source);
    ASSERT_TRUE(compiled) << source;
    EXPECT_TRUE(compiled->withAdministratorPrivileges);
    EXPECT_EQ(compiled->command.substr(0, 6), "echo '");
    EXPECT_EQ(compiled->command.substr(compiled->command.size() - 34), "' | /usr/bin/base64 -D | /bin/bash");
  }
}

TEST(AdministratorRun, ErrorDictionariesBecomeOutcomes) {
  struct Case {
    const char* what;
    std::optional<NSDictionary> error;
    Outcome expected;
  };
  const std::string number(NSAppleScriptErrorNumber), message(NSAppleScriptErrorMessage);
  const std::vector<Case> cases = {
      {"no error dictionary", std::nullopt, Outcome::success()},
      {"-128 is a cancelled prompt", NSDictionary{{number, int64_t{-128}}, {message, std::string("User canceled.")}},
       Outcome::cancelled()},
      {"-128 whatever the message says", NSDictionary{{number, int64_t{-128}}, {message, std::string("anything")}},
       Outcome::cancelled()},
      {"-128 without a message", NSDictionary{{number, int64_t{-128}}}, Outcome::cancelled()},
      {"a script failure keeps its number and message",
       NSDictionary{{number, int64_t{4}},
                    {message, std::string("Nowhere is not a recognized network service.\n** Error: The "
                                          "parameters were not valid.")}},
       Outcome::failed("AppleScript error 4: Nowhere is not a recognized network service.\n** Error: The "
                       "parameters were not valid.")},
      {"a negative number keeps its sign", NSDictionary{{number, int64_t{-60005}}, {message, std::string("no")}},
       Outcome::failed("AppleScript error -60005: no")},
      {"no number", NSDictionary{{message, std::string("boom")}}, Outcome::failed("AppleScript error -1: boom")},
      {"a number that is not an integer counts as none", NSDictionary{{number, 4.0}, {message, std::string("boom")}},
       Outcome::failed("AppleScript error -1: boom")},
      {"a number given as text counts as none",
       NSDictionary{{number, std::string("-128")}, {message, std::string("boom")}},
       Outcome::failed("AppleScript error -1: boom")},
      {"no message", NSDictionary{{number, int64_t{1}}},
       Outcome::failed("AppleScript error 1: Unknown AppleScript error")},
      {"a message that is not text counts as none", NSDictionary{{number, int64_t{2}}, {message, int64_t{7}}},
       Outcome::failed("AppleScript error 2: Unknown AppleScript error")},
      {"an empty message stays empty", NSDictionary{{number, int64_t{3}}, {message, std::string()}},
       Outcome::failed("AppleScript error 3: ")},
      {"neither number nor message", NSDictionary{},
       Outcome::failed("AppleScript error -1: Unknown AppleScript error")},
      {"other keys are ignored", NSDictionary{{"NSAppleScriptErrorBriefMessage", std::string("x")}},
       Outcome::failed("AppleScript error -1: Unknown AppleScript error")},
  };
  for (const auto& c : cases) {
    FakeScripting scripting([&](const std::string&) { return c.error; });
    EXPECT_EQ(proxy::runAsAdministrator("#!/bin/bash"), c.expected) << c.what;
  }
}

TEST(AdministratorRun, ASourceTheServiceRejectsFailsBeforeAnythingRuns) {
  NSAppleScript::setCompilerForTesting([](const std::string&) { return nullptr; });
  EXPECT_EQ(proxy::runAsAdministrator("#!/bin/bash"), Outcome::failed("Failed to create NSAppleScript"));
  NSAppleScript::setCompilerForTesting({});
}

TEST(AdministratorRun, AScriptThatIsNotUTF8IsRefusedUntouched) {
  FakeScripting scripting;
  for (const std::string& bad : {std::string("caf\xe9"), std::string("\xc0\xaf"), std::string("\xed\xa0\x80"),
                                 std::string("ok\xf4\x90\x80\x80")}) {
    EXPECT_EQ(proxy::runAsAdministrator(bad), Outcome::failed("Failed to encode shell script"));
  }
  EXPECT_TRUE(scripting.sources().empty());
}

// Where the product's base64 is missing or broken, bash would read an empty script and the run pass
// for a success: every run fails with why, before any prompt, until the step works; then it is not
// asked again.
TEST(AdministratorRun, ABrokenDecodeStepFailsEachRunUntilItWorks) {
  NSLogCapture log;
  FakeScripting scripting;
  int checks = 0;
  std::optional<std::string> problem = "/usr/bin/base64 -D does not start (gone)";
  proxy::setDecodeStepCheckForTesting([&]() -> posix::Expected<void> {
    ++checks;
    if (problem) return posix::Error(*problem);
    return {};
  });
  const Outcome expected = Outcome::failed("The administrator command cannot run here: " + *problem);
  EXPECT_EQ(proxy::runAsAdministrator("#!/bin/bash\nset -e"), expected);
  EXPECT_EQ(proxy::runAsAdministrator("#!/bin/bash\nset -e"), expected);
  EXPECT_EQ(checks, 2);
  EXPECT_TRUE(scripting.scriptsRun().empty());

  problem.reset();  // mended while the host runs
  EXPECT_EQ(proxy::runAsAdministrator("#!/bin/bash\nset -e"), Outcome::success());
  problem = "broken again";
  EXPECT_EQ(proxy::runAsAdministrator("#!/bin/bash\nset -e"), Outcome::success());
  EXPECT_EQ(checks, 3);
  EXPECT_EQ(scripting.scriptsRun().size(), 2u);

  // Said once while the problem stays the same.
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("cannot run here") != std::string::npos; }),
            1)
      << testing::PrintToString(lines);
  proxy::setDecodeStepCheckForTesting(proxy_test::decodeStepWorks);
}

// The check runs the tool that stands for /usr/bin/base64, found through the tool folder.
TEST(AdministratorRun, TheDecodeStepCheckTellsAWorkingToolFromAWrongOne) {
  testing_support::TempDir wrong, gnu;
  auto tool = [](const testing_support::TempDir& dir, const std::string& script) {
    std::ofstream(dir.file("base64")) << script;
    ::chmod(dir.file("base64").c_str(), 0755);
  };
  tool(wrong, "#!/bin/sh\ncat >/dev/null\n");
  tool(gnu, "#!/bin/sh\nexec /usr/bin/base64 \"$@\"\n");
  macos_tools::setToolFolderForTesting(wrong.path());
  auto problem = [] {
    const posix::Expected<void> checked = proxy::checkDecodeStep();
    return checked ? std::string() : checked.error().message();
  };
  EXPECT_EQ(problem(), "/usr/bin/base64 -D turns \"cHJveHlob3N0\" into \"\"");
  macos_tools::setToolFolderForTesting(gnu.path());
  EXPECT_THAT(problem(), StartsWith("/usr/bin/base64 -D does not decode (status 1: "));
  macos_tools::setToolFolderForTesting(wrong.file("missing"));
  EXPECT_THAT(problem(), StartsWith("/usr/bin/base64 -D does not start ("));
  macos_tools::setToolFolderForTesting(PROXYHOST_BIN_DIR);
  EXPECT_EQ(problem(), "");
}

}  // namespace
