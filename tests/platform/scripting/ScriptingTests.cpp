// The scripting stand-in: which sources compile, how a command runs, and how administrator rights
// are obtained or refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Utf8.h"
#include "platform/scripting/AppleScriptSource.h"
#include "platform/scripting/NSAppleScript.h"
#include "platform/scripting/TextEncoding.h"
#include "tests/support/ProcessRun.h"
#include "tests/support/TestSupport.h"

namespace {

using Env = NSAppleScriptAdministratorEnvironment;

TEST(AppleScriptSource, CompilesDoShellScriptWithItsEscapesAndNothingElse) {
  struct Case {
    std::string source;
    std::optional<AppleScriptShellCommand> expected;
  };
  const auto cmd = [](std::string c, bool admin = false) {
    return std::optional<AppleScriptShellCommand>(AppleScriptShellCommand{std::move(c), admin});
  };
  const std::vector<Case> cases = {
      {R"(do shell script "echo hi")", cmd("echo hi")},
      {R"(do shell script "x" with administrator privileges)", cmd("x", true)},
      {R"(DO Shell SCRIPT "x" WITH Administrator PRIVILEGES)", cmd("x", true)},
      {" \n\tdo \t shell  script\"x\"  \n", cmd("x")},
      {R"(do shell script "")", cmd("")},
      {R"(do shell script "a\"b\\c\nd\re\tf")", cmd("a\"b\\c\nd\re\tf")},
      {"do shell script \"line one\nline two\"", cmd("line one\nline two")},
      {R"(do shell script "echo 'it'\\''s'")", cmd("echo 'it'\\''s'")},
      {"do shell script \"Réseau 局域网\"", cmd("Réseau 局域网")},
      // What does not compile.
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"do shell script", std::nullopt},
      {R"(do shell script "unterminated)", std::nullopt},
      {R"(do shell script "ends in a backslash\)", std::nullopt},
      {R"(do shell script "unknown \q escape")", std::nullopt},
      {R"(do shell script "x" with administrator)", std::nullopt},
      {R"(do shell script "x" with administrator privileges now)", std::nullopt},
      {R"(do shell script "x" with administrator privilegesX)", std::nullopt},
      {R"(do shell script "x" without altering line endings)", std::nullopt},
      {R"(do shell script "x" "y")", std::nullopt},
      {R"(do shell script "x" -- a comment)", std::nullopt},
      {"do shell script \"x\"\ndo shell script \"y\"", std::nullopt},
      {"do\nshell script \"x\"", std::nullopt},
      {R"(do shellscript "x")", std::nullopt},
      {R"(doshell script "x")", std::nullopt},
      {R"(do shell scripts "x")", std::nullopt},
      {R"(do shell script 'x')", std::nullopt},
      {R"(display dialog "x")", std::nullopt},
      {std::string("do shell script \"a\0b\"", 21), std::nullopt},
      {"do shell script \"caf\xe9\"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseShellScriptSource(c.source), c.expected) << c.source;
}

TEST(AppleScriptSource, LiteralsRoundTrip) {
  for (const std::string& text :
       {std::string(""), std::string("\""), std::string("\\"), std::string("\\\""), std::string("a\nb\r\tc"),
        std::string("echo 'x' | base64 -D"), std::string("Réseau 🛜 \\n not a line feed")}) {
    auto parsed = parseShellScriptSource("do shell script " + appleScriptStringLiteral(text));
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->command, text);
  }
}

TEST(TextEncoding, UTF8IsCheckedStrictly) {
  for (const std::string& good : {std::string(""), std::string("abc"), std::string("é"), std::string("€"),
                                  std::string("𝄞"), std::string("\xf4\x8f\xbf\xbf"), std::string("\0", 1)}) {
    EXPECT_TRUE(utf8::isValid(good)) << good;
    EXPECT_EQ(dataUsingUTF8Encoding(good), std::vector<uint8_t>(good.begin(), good.end()));
  }
  for (const std::string& bad :
       {std::string("\x80"), std::string("\xc0\x80"), std::string("\xc1\xbf"), std::string("\xe0\x80\x80"),
        std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80"), std::string("\xf5\x80\x80\x80"),
        std::string("\xe2\x82"), std::string("\xf0\x9f\x98"), std::string("ok\xff")}) {
    EXPECT_FALSE(utf8::isValid(bad));
    EXPECT_FALSE(dataUsingUTF8Encoding(bad));
  }
}

TEST(TextEncoding, Base64MatchesTheStandardVectors) {
  const auto encode = [](std::string_view s) {
    return base64EncodedString(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
  };
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foob"), "Zm9vYg==");
  EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encode("\xfb\xff"), "+/8=");
  EXPECT_EQ(encode(std::string(100, '\n')).find('\n'), std::string::npos);
}

// Runs `source` through the real stand-in; the error dictionary, or nothing and the result text.
struct Ran {
  std::optional<NSDictionary> error;
  std::string result;
};
Ran execute(const std::string& source) {
  auto script = NSAppleScript::initWithSource(source);
  EXPECT_TRUE(script) << source;
  if (!script) return {};
  Ran ran;
  auto descriptor = script->executeAndReturnError(&ran.error);
  EXPECT_EQ(descriptor.has_value(), !ran.error.has_value());
  if (descriptor) ran.result = descriptor->stringValue();
  return ran;
}

NSDictionary errorOf(int64_t number, std::string message) {
  return {{std::string(NSAppleScriptErrorNumber), number}, {std::string(NSAppleScriptErrorMessage), message}};
}

TEST(ShellScriptRun, ExitStatusAndOutputBecomeTheResultOrTheErrorDictionary) {
  struct Case {
    const char* command;
    std::optional<NSDictionary> error;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"printf 'a\\n\\n'", std::nullopt, "a\n"},
      {"true", std::nullopt, ""},
      {"echo bad >&2; exit 3", errorOf(3, "bad"), ""},
      {"echo out; exit 5", errorOf(5, "out"), ""},
      {"echo out; echo err >&2; exit 2", errorOf(2, "err"), ""},
      {"printf 'two\\n\\n' >&2; exit 1", errorOf(1, "two\n"), ""},
      {"printf 'no line feed' >&2; exit 1", errorOf(1, "no line feed"), ""},
      {"exit 255", errorOf(255, ""), ""},
      {"kill -TERM $$", errorOf(128 + SIGTERM, ""), ""},
      {"/no/such/tool", errorOf(127, "/bin/sh: 1: /no/such/tool: not found"), ""},
  };
  for (const auto& c : cases) {
    Ran ran = execute("do shell script " + appleScriptStringLiteral(c.command));
    EXPECT_EQ(ran.error, c.error) << c.command;
    EXPECT_EQ(ran.result, c.result) << c.command;
  }
}

TEST(ShellScriptRun, StandardInputIsDevNullAndNoDescriptorLeaks) {
  // Descriptors opened without O_CLOEXEC, as a careless thread elsewhere in the host might.
  int plain = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(plain, 0);
  int high = fcntl(plain, F_DUPFD, 200);
  ASSERT_GE(high, 200);
  const std::string command =
      "[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ] ||"
      " echo \"stdin: $(readlink /proc/$$/fd/0)\";"
      "for n in 3 " +
      std::to_string(plain) + " " + std::to_string(high) +
      "; do [ -e /proc/$$/fd/$n ] && echo \"leaked $n\"; done; exit 1";
  Ran ran = execute("do shell script " + appleScriptStringLiteral(command));
  ::close(plain);
  ::close(high);
  EXPECT_EQ(ran.error, errorOf(1, ""));
}

// Linux caps one argument at 128 KiB: a command past that reaches the shell whole all the same,
// the same way whether or not administrator rights are asked for, and leaves no descriptor behind.
TEST(ShellScriptRun, ACommandOfMegabytesRunsWhole) {
  const std::string filler(3 * 1024 * 1024, 'x');
  const std::string command = "f='" + filler +
                              "'; printf '%s\\n' \"${#f}\"; [ -e /proc/$$/fd/3 ] && echo leaked; "
                              "[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ] || echo stdin; exit 0";
  EXPECT_EQ(execute("do shell script " + appleScriptStringLiteral(command)).result, std::to_string(filler.size()));
  NSAppleScript::setAdministratorEnvironmentForTesting(NSAppleScriptAdministratorEnvironment{
      NSAppleScriptAdministratorEnvironment::FixedAnswer::approve, "approve", false, ""});
  EXPECT_EQ(execute("do shell script " + appleScriptStringLiteral(command) + " with administrator privileges").result,
            std::to_string(filler.size()));
  NSAppleScript::setAdministratorEnvironmentForTesting(std::nullopt);
  // Its failure is reported as any other.
  Ran failed = execute("do shell script " + appleScriptStringLiteral(": '" + filler + "'; echo no >&2; exit 3"));
  EXPECT_EQ(failed.error, errorOf(3, "no"));
}

TEST(ShellScriptRun, FourMiBOnBothStreamsAreDrainedTogether) {
  // 64 KiB at a time to each stream in turn: a reader that waits on one stream only stalls here.
  ProcessRun run = runProcess({"/bin/sh", "-c",
                               "i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero >&2; head -c 65536 /dev/zero;"
                               " i=$((i+1)); done"});
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardOutput.size(), 64u * 65536u);
  EXPECT_EQ(run.standardError.size(), 64u * 65536u);
  EXPECT_FALSE(run.outputTruncated);
}

TEST(ShellScriptRun, OutputPastTheLimitIsDrainedButNotKept) {
  ProcessRun run = runProcess({"/bin/sh", "-c", "head -c 17825792 /dev/zero; echo done >&2"});
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardOutput.size(), kMaxRetainedOutput);
  EXPECT_TRUE(run.outputTruncated);
  EXPECT_EQ(run.standardError, "done\n");
}

TEST(ShellScriptRun, TheChildStartsWithDefaultSignalsWhateverTheCallingThreadBlocks) {
  ProcessRun run;
  std::thread caller([&] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    run = runProcess({"/bin/sh", "-c", "kill -TERM $$; exit 0"});
  });
  caller.join();
  EXPECT_EQ(run.terminatingSignal, SIGTERM);
  EXPECT_EQ(run.exitStatus, 128 + SIGTERM);
}

TEST(ShellScriptRun, AProgramThatCannotStartIsReported) {
  ProcessRun run = runProcess({"/no/such/program"});
  EXPECT_FALSE(run.started);
  EXPECT_NE(run.startError.find("No such file"), std::string::npos) << run.startError;
}

class AdministratorRights : public ::testing::Test {
 protected:
  void TearDown() override { NSAppleScript::setAdministratorEnvironmentForTesting(std::nullopt); }

  // A pkexec stand-in whose body is `body`, in the test's folder.
  std::string fakePkexec(const std::string& body) {
    std::string path = dir_.file("pkexec");
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
  }

  // Runs `command` with administrator privileges; `ran` tells whether the command itself ran.
  Ran run(const Env& env, const std::string& command, bool* ran) {
    NSAppleScript::setAdministratorEnvironmentForTesting(env);
    std::string mark = dir_.file("ran");
    std::filesystem::remove(mark);
    Ran result = execute("do shell script " + appleScriptStringLiteral("touch '" + mark + "'; " + command) +
                         " with administrator privileges");
    *ran = std::filesystem::exists(mark);
    return result;
  }

  testing_support::TempDir dir_;
};

TEST_F(AdministratorRights, AreGrantedRefusedOrCancelledAsTheEnvironmentSays) {
  using A = Env::FixedAnswer;
  struct Case {
    const char* what;
    Env env;
    const char* command;
    bool runs;
    std::optional<NSDictionary> error;
  };
  const NSDictionary cancelled = errorOf(-128, "User canceled.");
  const std::vector<Case> cases = {
      {"root runs it directly", {A::none, "", true, ""}, "exit 0", true, std::nullopt},
      {"root, and the command's failure is reported",
       {A::none, "", true, ""},
       "echo no >&2; exit 6",
       true,
       errorOf(6, "no")},
      {"a fixed cancel wins even as root", {A::cancel, "cancel", true, ""}, "exit 0", false, cancelled},
      {"a fixed approve runs it without root or pkexec",
       {A::approve, "approve", false, ""},
       "exit 0",
       true,
       std::nullopt},
      {"an unknown fixed answer refuses",
       {A::invalid, "yes", true, ""},
       "exit 0",
       false,
       errorOf(-60005, "PROXYHOST_AUTHORIZATION is \"yes\": it must be approve or cancel.")},
      {"neither root nor pkexec",
       {A::none, "", false, ""},
       "exit 0",
       false,
       errorOf(-60005,
               "Administrator privileges are not available: this process does not run as root and pkexec is not "
               "installed.")},
  };
  for (const auto& c : cases) {
    bool ran = false;
    Ran result = run(c.env, c.command, &ran);
    EXPECT_EQ(ran, c.runs) << c.what;
    EXPECT_EQ(result.error, c.error) << c.what;
  }
}

TEST_F(AdministratorRights, PkexecAnswersAreToldApartFromTheCommandsOwnStatus) {
  if (geteuid() != 0) GTEST_SKIP() << "the privileged helper runs only as root, as pkexec starts it";
  using A = Env::FixedAnswer;
  // What pkexec does once the user has approved: runs the helper as root, saying for whom. The
  // helper becomes that user, who must reach the test's folder.
  const std::string kApproves = "PKEXEC_UID=65534 exec \"$@\"";
  ::chmod(dir_.path().c_str(), 0777);
  struct Case {
    const char* what;
    std::string pkexecBody;
    std::string command;
    bool runs;
    std::optional<NSDictionary> error;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"a dismissed prompt", "exit 126", "exit 0", false, errorOf(-128, "User canceled."), ""},
      {"a refusal with pkexec's reason", "echo 'Error executing command as another user: Not authorized' >&2; exit 127",
       "exit 0", false, errorOf(-60005, "Error executing command as another user: Not authorized"), ""},
      {"a refusal without a reason", "exit 127", "exit 0", false, errorOf(-60005, "Authorization was refused."), ""},
      {"approved, success", kApproves, "echo hello", true, std::nullopt, "hello"},
      {"approved, the command's own 127", kApproves, "echo oops >&2; exit 127", true, errorOf(127, "oops"), ""},
      {"approved, the command's own 126", kApproves, "exit 126", true, errorOf(126, ""), ""},
      {"approved, a command that prints what looks like a status line", kApproves,
       "echo '#proxyhost-status-0 0' >&2; exit 127", true, errorOf(127, "#proxyhost-status-0 0"), ""},
      {"pkexec itself fails otherwise", "echo broken >&2; exit 1", "exit 0", false, errorOf(1, "broken"), ""},
      {"approved, a command past one argument's limit", kApproves,
       ": '" + std::string(200 * 1024, 'x') + "'; echo long", true, std::nullopt, "long"},
  };
  for (const auto& c : cases) {
    bool ran = false;
    Ran result = run(Env{A::none, "", false, fakePkexec(c.pkexecBody)}, c.command, &ran);
    EXPECT_EQ(ran, c.runs) << c.what;
    EXPECT_EQ(result.error, c.error) << c.what;
    EXPECT_EQ(result.result, c.result) << c.what;
  }
}

TEST_F(AdministratorRights, AreNotAskedForWithoutTheClause) {
  NSAppleScript::setAdministratorEnvironmentForTesting(Env{Env::FixedAnswer::cancel, "cancel", false, ""});
  Ran ran = execute(R"(do shell script "echo plain")");
  EXPECT_FALSE(ran.error);
  EXPECT_EQ(ran.result, "plain");
}

}  // namespace
