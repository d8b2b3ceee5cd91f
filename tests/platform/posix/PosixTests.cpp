// The POSIX basics: the owning descriptor, the EINTR retry, pipes, folder creation, the atomic write
// and the readers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/Files.h"
#include "platform/posix/Process.h"
#include "platform/posix/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;

std::vector<int>& closed() {
  static std::vector<int> list;
  return list;
}
struct RecordClose {
  void operator()(int fd) const { closed().push_back(fd); }
};
using RecordedFd = posix::BasicUniqueFd<RecordClose>;

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Sets the umask for one scope, so that a mode that is "exact" is seen not to depend on it.
struct Umask {
  explicit Umask(mode_t mask) : previous(::umask(mask)) {}
  ~Umask() { ::umask(previous); }
  mode_t previous;
};

TEST(UniqueFd, ClosesExactlyOnceWhereverOwnershipEnds) {
  closed().clear();
  {
    RecordedFd a(7);
    RecordedFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    RecordedFd c(8);
    c = std::move(b);  // 8 goes now, 7 moves on
    EXPECT_EQ(closed(), std::vector<int>{8});
    c = std::move(c);
    EXPECT_EQ(c.get(), 7);
    RecordedFd d(9);
    EXPECT_EQ(d.release(), 9);  // given up, never closed
    RecordedFd e(10);
    e.reset(11);
    EXPECT_EQ(closed(), (std::vector<int>{8, 10}));
  }
  EXPECT_EQ(closed(), (std::vector<int>{8, 10, 11, 7}));

  int raw;
  {
    posix::UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    raw = fd.get();
    ASSERT_TRUE(isOpen(raw));
  }
  EXPECT_FALSE(isOpen(raw));
}

TEST(RetryOnInterrupt, RepeatsOnlyInterruptedCallsAndKeepsTheOtherErrno) {
  int calls = 0;
  EXPECT_EQ(posix::retryOnInterrupt([&] {
              errno = ++calls < 3 ? EINTR : 0;
              return calls < 3 ? -1 : 42;
            }),
            42);
  EXPECT_EQ(calls, 3);

  calls = 0;
  EXPECT_EQ(posix::retryOnInterrupt([&] {
              ++calls;
              errno = EBADF;
              return -1;
            }),
            -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(calls, 1);
}

void ignoreSignal(int) {}

TEST(RetryOnInterrupt, AReadInterruptedByASignalGoesOnUntilTheDataComes) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: the read returns EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  auto pipe = posix::openPipe();
  ASSERT_TRUE(pipe);
  std::atomic<bool> started{false};
  char got = 0;
  ssize_t n = 0;
  std::thread reader([&] {
    started = true;
    n = posix::retryOnInterrupt([&] { return ::read(pipe->read.get(), &got, 1); });
  });
  while (!started) std::this_thread::yield();
  for (int i = 0; i < 5; ++i) {
    ::pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(posix::writeAll(pipe->write.get(), "x"));
  reader.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(got, 'x');
}

TEST(OpenPipe, BothEndsAreCloseOnExecAndNonBlockingOnlyWhenAsked) {
  for (auto blocking : {posix::PipeBlocking::Blocking, posix::PipeBlocking::NonBlocking}) {
    auto pipe = posix::openPipe(blocking);
    ASSERT_TRUE(pipe);
    for (int fd : {pipe->read.get(), pipe->write.get()}) {
      EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
      EXPECT_EQ((::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0, blocking == posix::PipeBlocking::NonBlocking);
    }
  }
}

TEST(FolderOf, NamesTheFolderAnEntryIsIn) {
  EXPECT_EQ(posix::folderOf("/a/b/c"), "/a/b");
  EXPECT_EQ(posix::folderOf("a/b"), "a");
  EXPECT_EQ(posix::folderOf("b"), ".");
  EXPECT_EQ(posix::folderOf("/b"), "/");
}

TEST(CreateFolders, MakesEveryMissingFolderWithExactlyTheModeAndLeavesExistingOnesAlone) {
  TempDir dir;
  Umask mask(0077);
  ASSERT_EQ(::mkdir(dir.file("kept").c_str(), 0750), 0);
  ::chmod(dir.file("kept").c_str(), 0750);
  EXPECT_TRUE(posix::createFolders(dir.file("kept/a/b"), 0755));
  EXPECT_EQ(modeOf(dir.file("kept")), 0750u);
  EXPECT_EQ(modeOf(dir.file("kept/a")), 0755u);
  EXPECT_EQ(modeOf(dir.file("kept/a/b")), 0755u);
  EXPECT_TRUE(posix::createFolders(dir.file("kept/a/b"), 0700));  // already there: nothing changes
  EXPECT_EQ(modeOf(dir.file("kept/a/b")), 0755u);

  // A relative path is made below the working folder.
  const fs::path before = fs::current_path();
  fs::current_path(dir.path());
  EXPECT_TRUE(posix::createFolders("rel/x", 0700));
  fs::current_path(before);
  EXPECT_TRUE(fs::is_directory(dir.file("rel/x")));
}

TEST(CreateFolders, AFileInThePathIsAnErrorNamingTheCall) {
  TempDir dir;
  ASSERT_TRUE(posix::writeFileAtomically(dir.file("file"), "x", 0644));
  auto below = posix::createFolders(dir.file("file/sub"), 0700);
  ASSERT_FALSE(below);
  EXPECT_EQ(below.error().code(), ENOTDIR);
  EXPECT_EQ(below.error().message(), "mkdir(" + dir.file("file/sub") + "): Not a directory");
  EXPECT_EQ(below.error().prefixed("the state").prefixed("networksetup").message(),
            "networksetup: the state: mkdir(" + dir.file("file/sub") + "): Not a directory");
  auto itself = posix::createFolders(dir.file("file"), 0700);
  ASSERT_FALSE(itself);
  EXPECT_EQ(itself.error().code(), ENOTDIR);
  EXPECT_FALSE(posix::createFolders("", 0700));
}

TEST(WriteFileAtomically, WritesOrReplacesWithExactlyTheModeAndLeavesNoTemporaryFile) {
  TempDir dir;
  Umask mask(0077);
  const std::string path = dir.file("state.plist");
  EXPECT_TRUE(posix::writeFileAtomically(path, "first", 0644));
  EXPECT_EQ(readFile(path), "first");
  EXPECT_EQ(modeOf(path), 0644u);
  EXPECT_TRUE(posix::writeFileAtomically(path, std::string(1 << 20, 'z'), 0600));
  EXPECT_EQ(readFile(path), std::string(1 << 20, 'z'));
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(WriteFileAtomically, AFailureLeavesTheOldContentAndNoTemporaryFile) {
  TempDir dir;
  auto missing = posix::writeFileAtomically(dir.file("no/such/folder/file"), "x", 0644);
  ASSERT_FALSE(missing);
  ASSERT_NE(missing.error().system(), nullptr);
  EXPECT_EQ(missing.error().system()->call, "mkostemp");
  EXPECT_EQ(missing.error().code(), ENOENT);

  // A folder in the way cannot be replaced by a file: the rename fails and the folder stays.
  ASSERT_TRUE(posix::createFolders(dir.file("taken/inside"), 0700));
  auto taken = posix::writeFileAtomically(dir.file("taken"), "x", 0644);
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().system()->call, "rename");
  EXPECT_TRUE(fs::is_directory(dir.file("taken/inside")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(WriteFileAtomically, AReaderSeesTheOldContentOrTheNewNeverAMix) {
  TempDir dir;
  const std::string path = dir.file("data");
  const std::string a(256 * 1024, 'a'), b(512 * 1024, 'b');
  ASSERT_TRUE(posix::writeFileAtomically(path, a, 0644));
  std::atomic<bool> done{false};
  int mixed = 0, reads = 0;
  std::thread reader([&] {
    while (!done) {
      const std::string seen = readFile(path);
      ++reads;
      if (seen != a && seen != b) ++mixed;
    }
  });
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(posix::writeFileAtomically(path, i % 2 ? a : b, 0644));
  done = true;
  reader.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(mixed, 0);
}

// Whole files past any buffer size, the first line alone, and what a caller needs to tell a missing
// file from one that is too large or not a file.
TEST(ReadFile, ReadsWholeFilesAndFirstLinesAndSaysWhyNot) {
  TempDir dir;
  const std::string big(100'000, 'x');
  ASSERT_TRUE(posix::writeFileAtomically(dir.file("big"), big + "\nsecond\n", 0644));
  EXPECT_EQ(posix::readFile(dir.file("big")).value_or("?"), big + "\nsecond\n");
  EXPECT_EQ(posix::readFirstLine(dir.file("big"), 200'000).value_or("?"), big);
  ASSERT_TRUE(posix::writeFileAtomically(dir.file("one"), "no line feed", 0644));
  EXPECT_EQ(posix::readFirstLine(dir.file("one")).value_or("?"), "no line feed");
  ASSERT_TRUE(posix::writeFileAtomically(dir.file("empty"), "", 0644));
  EXPECT_EQ(posix::readFile(dir.file("empty")).value_or("?"), "");
  EXPECT_EQ(posix::readFirstLine(dir.file("empty")).value_or("?"), "");

  auto failure = [](const posix::Expected<std::string>& read) { return read ? 0 : read.error().code(); };
  const auto missing = posix::readFile(dir.file("missing"));
  EXPECT_EQ(failure(missing), ENOENT);
  EXPECT_EQ(missing.error().message(), "open(" + dir.file("missing") + "): No such file or directory");
  EXPECT_EQ(failure(posix::readFile(dir.file("big"), 1000)), EFBIG);
  EXPECT_EQ(failure(posix::readFirstLine(dir.file("big"))), EFBIG) << "a first line past 64 KiB";
  EXPECT_EQ(failure(posix::readFile(dir.path())), EISDIR);
  // Endless files end at the limit.
  EXPECT_EQ(failure(posix::readFile("/dev/zero", 1 << 20)), EFBIG);
}

TEST(ProcessIdentityOf, TellsAnEndedProcessAndAReusedPidApart) {
  EXPECT_TRUE(posix::ProcessIdentity::current().isAlive());
  posix::ProcessIdentity reused = posix::ProcessIdentity::current();
  reused.startTime += 1;
  EXPECT_FALSE(reused.isAlive());

  pid_t child = ::fork();
  if (child == 0) _exit(0);
  auto before = posix::ProcessIdentity::of(child);
  // Ended but not yet reaped counts as ended.
  for (int i = 0; i < 500 && posix::ProcessIdentity::of(child); ++i) ::usleep(2000);
  EXPECT_FALSE(posix::ProcessIdentity::of(child));
  if (before) {
    EXPECT_FALSE(before->isAlive());
  }
  ::waitpid(child, nullptr, 0);
}

}  // namespace
