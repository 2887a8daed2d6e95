// The platform layer: base library, strings, paths, tracing and value types.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/osal.h"
#include "platform/tracing.h"
#include "platform/util.h"
#include "support/harness.h"

namespace {

// --- kor ------------------------------------------------------------------------

TEST(Kor, EachThreadHasItsOwnPendingError) {
  kor::ErrorStorage::set("main %d", 1);
  std::thread other([] {
    EXPECT_FALSE(kor::ErrorStorage::pending());
    kor::ErrorStorage::set("other");
    kor::ErrorStorage::ack();
  });
  other.join();
  EXPECT_STREQ(kor::ErrorStorage::reason(), "main 1");
  kor::ErrorStorage::ack();
  EXPECT_STREQ(kor::ErrorStorage::reason(), "");
}

TEST(Kor, AStatusKeepsItsCodeThroughTheErrorStorage) {
  using kor::Status;
  // System calls are coded by their errno; a code of ok made as an error is
  // still a failure.
  const struct {
    int errnum;
    Status::Code code;
  } errnos[] = {{ENOENT, Status::kNotFound},
                {EACCES, Status::kPermissionDenied},
                {EPERM, Status::kPermissionDenied},
                {ENOMEM, Status::kNoMemory},
                {EPIPE, Status::kClosed},
                {ETIMEDOUT, Status::kTimedOut},
                {EIO, Status::kIo}};
  for (const auto& c : errnos) {
    const Status status = Status::fromErrno(c.errnum, "open %s", "x");
    EXPECT_EQ(status.code(), c.code) << c.errnum;
    EXPECT_EQ(status.message(), "open x: " + std::string(std::strerror(c.errnum)));
  }
  EXPECT_EQ(Status::error(Status::kOk, "no").code(), Status::kFailed);
  // Into the storage and back out with its code; an ok status clears it.
  EXPECT_FALSE(kor::toErrorStorage(Status::error(Status::kLimit, "too big: %d", 3)));
  EXPECT_EQ(kor::ErrorStorage::code(), Status::kLimit);
  const Status back = kor::ErrorStorage::takeStatus();
  EXPECT_EQ(back.code(), Status::kLimit);
  EXPECT_STREQ(back.message(), "too big: 3");
  EXPECT_FALSE(kor::ErrorStorage::pending());
  kor::ErrorStorage::setErrno("read", ENOENT);
  EXPECT_EQ(kor::ErrorStorage::code(), Status::kNotFound);
  kor::ErrorStorage::set(Status());
  EXPECT_FALSE(kor::ErrorStorage::pending());
  EXPECT_TRUE(kor::ErrorStorage::takeStatus().ok());
}

TEST(Kor, FaultsFireAtTheArmedSiteOnlyAndAfterTheSkips) {
  kor::testing::failAllocations("CIString", 1, 2);
  EXPECT_FALSE(kor::allocationShouldFail("other"));
  std::vector<bool> fired;
  for (int i = 0; i < 4; ++i) fired.push_back(kor::allocationShouldFail("CIString"));
  EXPECT_EQ(fired, (std::vector<bool>{false, false, true, false}));
}

TEST(Kor, CancellationScopesNestPerThreadAndEndWithTheirScope) {
  EXPECT_FALSE(kor::isCancelled());  // no scope
  bool outer = true;
  bool inner = false;
  {
    kor::CancellationScope outerScope([&] { return outer; });
    EXPECT_TRUE(kor::isCancelled());
    std::thread other([] { EXPECT_FALSE(kor::isCancelled()); });
    other.join();
    {
      // An inner scope adds its condition; the outer one still counts.
      kor::CancellationScope innerScope([&] { return inner; });
      EXPECT_TRUE(kor::isCancelled());
      outer = false;
      EXPECT_FALSE(kor::isCancelled());
      inner = true;
      kor::CancellationScope empty{std::function<bool()>()};
      EXPECT_TRUE(kor::isCancelled());
    }
    EXPECT_FALSE(kor::isCancelled());  // the inner scope has ended
    outer = true;
  }
  EXPECT_FALSE(kor::isCancelled());
}

// --- osal threads -----------------------------------------------------------------

// Two threads handing a turn back and forth with one mutex and one variable
// never miss a wake-up, in both ways of waiting: sleeping at once, and
// watching for a while first.
class Osal : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(SpinMicros, Osal, ::testing::Values(0u, 50u));

TEST_P(Osal, SignalsUnderTheMutexAreNeverMissed) {
  osal::Mutex mutex;
  osal::ConditionVariable turnChanged(GetParam());
  int turn = 0;
  constexpr int kRounds = 2000;
  auto player = [&](int me) {
    for (int round = 0; round < kRounds; ++round) {
      mutex.lock();
      while (turn % 2 != me) turnChanged.wait(mutex);
      ++turn;
      turnChanged.signal();
      mutex.unlock();
    }
  };
  std::thread other(player, 1);
  player(0);
  other.join();
  EXPECT_EQ(turn, 2 * kRounds);
}

// What a started thread sees of its own scheduling and stack.
struct ThreadView {
  int nice = 0;
  size_t stack = 0;
  static void record(void* self) {
    auto* view = static_cast<ThreadView*>(self);
    view->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstacksize(&attributes, &view->stack);
      pthread_attr_destroy(&attributes);
    }
  }
};

TEST(Osal, AThreadTakesItsPriorityAndStackSize) {
  // A creator at nice 19 (tests run under nice) cannot show a lowering: the
  // creating thread starts from 10 where it may.
  const id_t self = static_cast<id_t>(gettid());
  const int outer = getpriority(PRIO_PROCESS, self);
  if (outer > 10) setpriority(PRIO_PROCESS, self, 10);
  const int creator = getpriority(PRIO_PROCESS, self);
  ThreadView plain, lowered;
  osal::Thread first(&ThreadView::record, &plain, "plain");
  // A stack larger than the usual default (8 MiB from the shell's limit).
  osal::Thread second(&ThreadView::record, &lowered, "lowered", 5, 24u << 20);
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(second.start());
  ASSERT_TRUE(first.join());
  ASSERT_TRUE(second.join());
  setpriority(PRIO_PROCESS, self, outer);
  EXPECT_EQ(plain.nice, creator);
  EXPECT_EQ(lowered.nice, std::min(creator + 5, 19));
  EXPECT_GE(lowered.stack, 24u << 20);
  EXPECT_FALSE(second.start());  // once only
  EXPECT_FALSE(second.join());
  kor::ErrorStorage::ack();
}

// --- osal paths and files ---------------------------------------------------------

// Paths are resolved by openat2 where the kernel has it, and by walking them
// where it does not: every case holds both ways.
class PathResolution : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { osal::testing::walkPathsWithoutOpenat2(GetParam()); }
  void TearDown() override { osal::testing::walkPathsWithoutOpenat2(false); }
};
INSTANTIATE_TEST_SUITE_P(Ways, PathResolution, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Walked" : "Openat2"; });

TEST_P(PathResolution, CanonicalFormsResolveWhatExistsAndNormaliseTheRest) {
  testsupport::TempDir tmp;
  std::string root = osal::Path(tmp.path().c_str()).getCanonicalized().str();
  ASSERT_EQ(mkdir((root + "/real").c_str(), 0755), 0);
  ASSERT_EQ(symlink((root + "/real").c_str(), (root + "/abs").c_str()), 0);
  ASSERT_EQ(symlink("real", (root + "/rel").c_str()), 0);
  ASSERT_EQ(symlink("loop", (root + "/loop").c_str()), 0);
  ASSERT_EQ(symlink("../real/x", (root + "/real/up").c_str()), 0);
  tmp.write("real/f.png", "f");
  // The longest result is PATH_MAX - 1 bytes (the name of a missing file).
  const std::string longest = "/missing/" + std::string(PATH_MAX - 1 - 9, 'l');

  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {root + "/real", root + "/real"},
      {root + "/real/f.png", root + "/real/f.png"},
      {root + "/abs/f.png", root + "/real/f.png"},  // existing file behind a link
      {root + "//real/./", root + "/real"},
      {root + "/rel/../abs/", root + "/real"},
      {root + "/abs/a.png", root + "/real/a.png"},
      {root + "/rel/sub/../b.png", root + "/real/b.png"},
      {root + "/real/up", root + "/real/x"},            // link whose target is missing
      {root + "/missing/../real/c", root + "/real/c"},  // ".." over a missing part
      {"/../../etc/./passwd", "/etc/passwd"},
      {"/", "/"},
      {"", ""},
      {root + "/loop/x", ""},         // link loop
      {std::string("/a\0b", 4), ""},  // embedded NUL
      {longest, longest},
      {longest + "l", ""},
      {"/missing/.." + longest, longest},  // the limit holds for the result, not the spelling
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in.substr(0, 80));
    EXPECT_EQ(osal::Path(c.in).getCanonicalized().str(), c.out);
  }

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(root.c_str()), 0);
  EXPECT_EQ(osal::Path("rel/d.png").getCanonicalized().str(), root + "/real/d.png");
  ASSERT_EQ(chdir(cwd), 0);
}

// The links of /proc that lead to what a process holds, not to a path, are
// never followed: not to canonicalise a locator, not to open it. Ordinary
// links and plain /proc files are.
TEST_P(PathResolution, MagicLinksAreNeitherResolvedNorOpened) {
  testsupport::TempDir tmp;
  const std::string root = osal::Path(tmp.path().c_str()).getCanonicalized().str();
  ASSERT_EQ(mkdir((root + "/real").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/fd").c_str(), 0755), 0);  // a folder so named, not on procfs
  const std::string file = tmp.write("real/f.png", "f");
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  const int dirFd = open((root + "/real").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_GE(dirFd, 0);
  const std::string n = std::to_string(fd);
  ASSERT_EQ(symlink(("/proc/self/fd/" + n).c_str(), (root + "/to-fd").c_str()), 0);
  ASSERT_EQ(symlink("/proc/self/root", (root + "/to-root").c_str()), 0);
  ASSERT_EQ(symlink("/dev/fd", (root + "/to-dev-fd").c_str()), 0);
  ASSERT_EQ(symlink(file.c_str(), (root + "/fd/" + n).c_str()), 0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(root.c_str()), 0);

  const std::string refused[] = {
      "/proc/self/fd/" + n,
      "/proc/thread-self/fd/" + n,
      "/proc/" + std::to_string(getpid()) + "/fd/" + n,
      "/proc/self/task/" + std::to_string(gettid()) + "/fd/" + n,
      "/dev/fd/" + n,
      "/proc/self/fd/" + std::to_string(dirFd) + "/f.png",  // into a folder held open
      "/proc/self/root" + file,
      "/proc/thread-self/root" + file,
      "/proc/self/cwd/real/f.png",
      "/proc/self/fd/" + n + "/../real/f.png",
      "/proc/self/exe",
      "/dev/stdin",
      root + "/to-fd",  // ordinary links that lead there
      root + "/to-root" + file,
      root + "/to-dev-fd/" + n,
  };
  osal::RegularFile opened;
  for (const std::string& path : refused) {
    SCOPED_TRACE(path);
    EXPECT_EQ(osal::Path(path).getCanonicalized().str(), "");
    EXPECT_EQ(std::string(opened.open(path.c_str()).message()),
              "cannot open " + path + ": the path passes through a magic link of /proc");
  }

  const std::string self = "/proc/" + std::to_string(getpid());
  struct Case {
    std::string in;
    std::string out;
  } accepted[] = {
      {"/proc/self/status", self + "/status"},  // /proc/self itself is an ordinary link
      {"/proc/self/fd", self + "/fd"},          // the folder, not a link in it
      {root + "/fd/" + n, file},
      {"real/f.png", file},
  };
  for (const Case& c : accepted) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(osal::Path(c.in).getCanonicalized().str(), c.out);
  }
  EXPECT_TRUE(opened.open("/proc/self/status").ok());
  EXPECT_TRUE(opened.open((root + "/fd/" + n).c_str()).ok());
  EXPECT_EQ(opened.size(), 1);
  opened.close();

  ASSERT_EQ(chdir(cwd), 0);
  close(dirFd);
  close(fd);
}

TEST(Paths, ExtensionIsTheLastDotOfTheLastComponent) {
  struct Case {
    const char* path;
    const char* extension;
  } cases[] = {{"/a/b.PNG", "PNG"}, {"/a/b.png.txt", "txt"}, {"/a/.profile", ""}, {"/a/b", ""},
               {"/a.d/b", ""},      {"/a/b.", ""},           {"c.jpeg", "jpeg"},  {"", ""}};
  for (const Case& c : cases) EXPECT_EQ(osal::BasicPath(c.path).getExtension(true), c.extension);
  EXPECT_EQ(osal::BasicPath("/a/b.png").getExtension(false), ".png");
}

TEST_P(PathResolution, OpeningRefusesWhatIsNotARegularFileWithoutBlocking) {
  testsupport::TempDir tmp;
  std::string fifo = tmp.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  osal::RegularFile file;
  for (const std::string& path : {fifo, tmp.path(), std::string("/dev/zero")}) {
    EXPECT_EQ(file.open(path.c_str()).code(), kor::Status::kInvalidArgument) << path;
  }
  ASSERT_TRUE(file.open(tmp.write("ok", "abcdef").c_str()).ok());
  EXPECT_EQ(file.size(), 6);
}

// --- tracing --------------------------------------------------------------------

TEST(Tracing, LevelsGateMessagesBeforeTheArgumentsAreEvaluatedAndAreClamped) {
  tracing::Channel channel("TEST_Channel", 7, 2);
  channel.logC(1, "silent");
  channel.logCV(2, "written %d", 2);
  int evaluated = 0;
  TRACE(channel, 1, "silent %d", ++evaluated);
  TRACE(channel, 2, "traced %d", ++evaluated);
  EXPECT_EQ(evaluated, 1);
  // Texts at and past the formatting buffer's length are written whole.
  for (size_t length : {1023u, 1024u}) TRACE(channel, 3, "%s", std::string(length, 'x').c_str());
  EXPECT_EQ(testsupport::traces().count("TEST_Channel", 2, "written 2"), 1u);
  EXPECT_EQ(testsupport::traces().count("TEST_Channel", 2, "traced 1"), 1u);
  EXPECT_EQ(testsupport::traces().count("TEST_Channel", 3, std::string(1023, 'x')), 1u);
  EXPECT_EQ(testsupport::traces().count("TEST_Channel", 3, std::string(1024, 'x')), 1u);
  EXPECT_EQ(testsupport::traces().messages().size(), 4u);

  // Levels are clamped to 1 .. the maximum plus one (silent).
  struct Case {
    int16_t set;
    int16_t level;  // what the channel keeps
  } cases[] = {{0, 1}, {1, 1}, {7, 7}, {8, 8}, {100, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    channel.setLevel(c.set);
    EXPECT_EQ(channel.level(), c.level);
    EXPECT_EQ(channel.isEnabled(7), c.level <= 7);
    EXPECT_FALSE(channel.isEnabled(c.level - 1));
  }
  EXPECT_FALSE(channel.isEnabled(8));  // above the channel's maximum, whatever its level
  EXPECT_TRUE(tracing::setLevel("TEST_Channel", 5));
  EXPECT_EQ(channel.level(), 5);
  EXPECT_FALSE(tracing::setLevel("NO_Such_Channel", 1));
}

TEST(Tracing, TheEnvironmentSetsLevelsByNameOrForAll) {
  setenv("TRACE_LEVELS", "*=4,TEST_Named=1,TEST_Bad=x", 1);
  tracing::Channel named("TEST_Named", 7, 2);
  tracing::Channel other("TEST_Other", 7, 2);
  tracing::Channel bad("TEST_Bad", 7, 2);
  unsetenv("TRACE_LEVELS");
  EXPECT_EQ(named.level(), 1);
  EXPECT_EQ(other.level(), 4);
  EXPECT_EQ(bad.level(), 4);  // an unreadable item is ignored
}

// Writes with the default sink to |stderrFd| in a child process, with
// JOURNAL_STREAM naming it when |journal|: a level 4, 3, 2 and 1 line.
void writeToStderr(int stderrFd, bool journal) {
  const pid_t child = fork();
  if (child == 0) {
    dup2(stderrFd, STDERR_FILENO);
    struct stat status;
    fstat(STDERR_FILENO, &status);
    const std::string stream = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    setenv("JOURNAL_STREAM", journal ? stream.c_str() : "1:1", 1);
    tracing::setSink(nullptr);
    tracing::Channel channel("TEST_Journal", 7, 1);
    channel.logC(4, "failed");
    channel.logC(3, "refused");
    channel.logC(2, "started");
    channel.logC(1, "step");
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

TEST(Tracing, LinesToTheJournalCarryTheirPriorityAndNoTime) {
  testsupport::TempDir dir;
  for (bool journal : {true, false}) {
    const std::string file = dir.file(journal ? "journal" : "plain");
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    writeToStderr(fd, journal);
    close(fd);
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (journal) {
      EXPECT_EQ(text,
                "<3>TEST_Journal [4] failed\n<4>TEST_Journal [3] refused\n"
                "<6>TEST_Journal [2] started\n<7>TEST_Journal [1] step\n");
    } else {
      // Elsewhere (JOURNAL_STREAM naming another stream): a time, no priority.
      EXPECT_NE(text.find("Z TEST_Journal [4] failed\n"), std::string::npos) << text;
      EXPECT_EQ(text.find('<'), std::string::npos) << text;
    }
  }
}

// The repeat limit's clock in these tests: stepped by the test, never read
// from the system.
constexpr int64_t kSecond = 1000000000;
std::atomic<int64_t> g_now{0};
int64_t steppedClock() { return g_now.load(); }

// "<level> <text>" of every message written on |channel|, in order.
std::vector<std::string> written(const std::string& channel) {
  std::vector<std::string> out;
  for (const auto& m : testsupport::traces().messages())
    if (m.channel == channel) out.push_back(std::to_string(m.level) + " " + m.text);
  return out;
}

std::vector<std::string> numbered(const char* prefix, int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Tracing, EachFormatWritesUpToTheLineLimitInAWindowAndReportsTheRestBeforeItsNextLine) {
  g_now = 5000 * kSecond;
  tracing::setRepeatClock(&steppedClock);
  tracing::Channel channel("TEST_Repeat", 7, 2);
  tracing::Channel other("TEST_Other", 7, 2);
  // Lines below the level never reach the limit.
  for (int i = 0; i < 300; ++i) channel.logCV(1, "line %d", i);
  for (int i = 0; i < 105; ++i) TRACE(channel, 3, "line %d", i);
  // Another format, and the same one on another channel, are limited apart.
  TRACE(channel, 3, "another %d", 0);
  TRACE(other, 3, "line %d", 0);
  g_now += kSecond - 1;  // the window's last nanosecond
  TRACE(channel, 4, "line %d", 105);
  g_now += 1;  // the next window
  TRACE(channel, 3, "line %d", 106);
  const std::vector<std::string> rest = {
      "3 another 0",
      "4 6 similar lines suppressed: line %d",  // at the level of the last line counted
      "3 line 106",
  };
  EXPECT_EQ(written("TEST_Repeat"), numbered("3 line ", 0, 100) + rest);
  EXPECT_EQ(written("TEST_Other"), std::vector<std::string>{"3 line 0"});

  // Fixed texts are limited by their pointer; without a limit all are written.
  testsupport::traces().clear();
  for (int i = 0; i < 101; ++i) channel.logC(3, "fixed");
  EXPECT_EQ(written("TEST_Repeat").size(), 100u);
  tracing::setRepeatLimit(0, 0);
  for (int i = 0; i < 150; ++i) TRACE(channel, 3, "line %d", i);
  EXPECT_EQ(written("TEST_Repeat").size(), 100u + 1 + 150);  // with the report of "fixed"
}

TEST(Tracing, AFormatThatRanOverItsBytesStaysSilentUntilLaterWindowsHavePaidForThem) {
  g_now = 7000 * kSecond;
  tracing::setRepeatClock(&steppedClock);
  tracing::setRepeatLimit(0, 100);
  tracing::Channel channel("TEST_Bytes", 7, 2);
  auto line = [&](size_t bytes) { TRACE(channel, 3, "%s", std::string(bytes, 'b').c_str()); };
  line(99);
  line(1);  // 99 bytes so far: under the limit
  line(1);  // 100 bytes: at it
  g_now += kSecond;
  line(350);  // the first line of a window is written whole
  g_now += 2 * kSecond;
  line(1);  // 350 - 2 x 100 = 150 bytes still owed
  g_now += kSecond;
  line(2);  // 50 owed: under the limit
  // Fixed texts count their bytes the same way.
  const std::string fixed(150, 'f');
  channel.logC(3, fixed.c_str());
  channel.logC(3, fixed.c_str());
  EXPECT_EQ(written("TEST_Bytes"), (std::vector<std::string>{
                                       "3 " + std::string(99, 'b'),
                                       "3 b",
                                       "3 1 similar lines suppressed: %s",
                                       "3 " + std::string(350, 'b'),
                                       "3 1 similar lines suppressed: %s",
                                       "3 bb",
                                       "3 " + fixed,
                                   }));
}

TEST(Tracing, ARunIsReportedWhenItsFormatNeverComesBack) {
  g_now = 9000 * kSecond;
  tracing::setRepeatClock(&steppedClock);
  tracing::setRepeatLimit(1, 0);
  // By its channel's destructor; a format longer than 60 bytes is cut.
  const std::string longText = std::string(60, 'x') + "yz";
  {
    tracing::Channel gone("TEST_Gone", 7, 2);
    for (int i = 0; i < 3; ++i) gone.logC(3, longText.c_str());
  }
  EXPECT_EQ(written("TEST_Gone"),
            (std::vector<std::string>{
                "3 " + longText,
                "3 2 similar lines suppressed: " + std::string(60, 'x') + "...",
            }));
  tracing::Channel channel("TEST_Runs", 7, 2);
  // On request.
  channel.logC(3, "a");
  channel.logC(3, "a");
  tracing::flushSuppressed();
  // After a line of another format, once the run's window has ended.
  channel.logC(3, "a");
  g_now += kSecond - 1;
  channel.logC(3, "b");
  g_now += 1;
  channel.logC(3, "c");
  // When the limit is set: counting starts afresh.
  channel.logC(3, "c");
  tracing::setRepeatLimit(1, 0);
  channel.logC(3, "c");
  // When the sink is replaced: to the one that took the lines.
  channel.logC(3, "c");
  testsupport::TraceCapture next;
  tracing::setSink(&next);
  tracing::setSink(&testsupport::traces());
  EXPECT_TRUE(next.messages().empty());
  EXPECT_EQ(written("TEST_Runs"), (std::vector<std::string>{
                                      "3 a",
                                      "3 1 similar lines suppressed: a",
                                      "3 b",
                                      "3 c",
                                      "3 1 similar lines suppressed: a",
                                      "3 1 similar lines suppressed: c",
                                      "3 c",
                                      "3 1 similar lines suppressed: c",
                                  }));
}

TEST(Tracing, TheLimitHoldsAcrossThreadsAndAFormatTheTableCannotHoldIsWrittenUnlimited) {
  g_now = 11000 * kSecond;
  tracing::setRepeatClock(&steppedClock);
  tracing::Channel channel("TEST_Shared", 7, 2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) TRACE(channel, 3, "shared %d", i);
    });
  for (std::thread& thread : threads) thread.join();
  tracing::flushSuppressed();
  const auto lines = written("TEST_Shared");
  ASSERT_EQ(lines.size(), 101u);
  EXPECT_EQ(lines.back(), "3 1900 similar lines suppressed: shared %d");

  // More formats at once than the table has room for: each writes its first
  // line; of the second, only a format without room is written.
  testsupport::traces().clear();
  tracing::setRepeatLimit(1, 0);
  const std::vector<std::string> texts = numbered("format ", 0, 300);
  for (int round = 0; round < 2; ++round)
    for (const std::string& text : texts) channel.logC(3, text.c_str());
  std::map<std::string, int> counts;
  for (const std::string& line : written("TEST_Shared")) ++counts[line];
  size_t limited = 0;
  for (const std::string& text : texts) {
    ASSERT_TRUE(counts["3 " + text] == 1 || counts["3 " + text] == 2) << text;
    limited += counts["3 " + text] == 1;
  }
  EXPECT_LE(limited, 256u);
  EXPECT_GE(limited, 200u);
  // None of their runs is lost.
  testsupport::traces().clear();
  tracing::flushSuppressed();
  EXPECT_EQ(written("TEST_Shared").size(), limited);
}

// --- value types ----------------------------------------------------------------

TEST(ValueTypes, FactoriesGiveEmptyHandlesWhenMemoryIsShort) {
  struct Case {
    const char* site;
    bool (*madeNothing)();
  } cases[] = {
      {"CIString",
       [] {
         return CITypesFactory::createString("x", util::UnicodeString_common::kUtf8).isNull();
       }},
      {"CIPtr",
       [] {
         return CITypesFactory::createString("x", util::UnicodeString_common::kUtf8).isNull();
       }},
      {"CIInt8Array", [] { return CITypesFactory::createInt8Array(10).isNull(); }},
      {"CIUInt32Array", [] { return CITypesFactory::createUInt32Array(3).isNull(); }},
      {"CIPtrArray", [] { return CITypesFactory::createStringArray(3).isNull(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.site);
    kor::testing::failAllocations(c.site);
    EXPECT_TRUE(c.madeNothing());
    EXPECT_FALSE(c.madeNothing());  // the fault is consumed
  }
  CIPtr<CIInt8Array> bytes = CITypesFactory::createInt8Array(0);
  ASSERT_FALSE(bytes.isNull());
  EXPECT_EQ(bytes->size(), 0u);
}

// --- endpoints and subscriptions ------------------------------------------------------

TEST(Endpoints, CloseRunsEachListenerOnceAndLateListenersAtOnce) {
  testsupport::ReplyFixture client;
  int early = 0;
  int late = 0;
  client.endpoint->addCloseListener([&](comm::Endpoint*) { ++early; });
  client.endpoint->close();
  client.endpoint->close();
  client.endpoint->addCloseListener([&](comm::Endpoint*) { ++late; });
  EXPECT_EQ(early, 1);
  EXPECT_EQ(late, 1);
}

TEST(Endpoints, AContainerKeepsSubscriptionsOnceAndUnservedOnesUpToTheBoundOfEachSubscriber) {
  constexpr uint32_t kBound = comm::kMaxUnservedSubscriptionsPerSubscriber;
  testsupport::ReplyFixture greedy, other;
  tracing::Channel channel("TEST_Container", 7, 1);
  {
    comm::AttributeNotificationContainer container(svx::imageserver::replyInterfaceUuid(), {23},
                                                   &channel);
    container.addNotification(other.proxy, 23);
    container.addNotification(other.proxy, 5);
    container.removeNotification(other.proxy, 5);
    // Up to the bound, then one past it twice: stored up to the bound, said
    // once. A served id is stored past it; one removed makes room again.
    constexpr uint32_t kFirst = 100;  // ids kFirst.. are not served
    for (uint32_t id = kFirst; id < kFirst + kBound; ++id)
      container.addNotification(greedy.proxy, id);
    container.addNotification(greedy.proxy, kFirst);  // recorded already: no new one
    EXPECT_EQ(container.count(), kBound + 1);
    container.addNotification(greedy.proxy, kFirst + kBound);
    container.addNotification(greedy.proxy, kFirst + kBound + 1);
    EXPECT_EQ(container.count(), kBound + 1);
    EXPECT_EQ(testsupport::traces().count("TEST_Container", 3,
                                          "a subscriber holds 1024 attribute ids that are not "
                                          "published; further ones are not recorded"),
              1u);
    container.addNotification(greedy.proxy, 23);
    EXPECT_EQ(container.count(), kBound + 2);
    container.removeNotification(greedy.proxy, kFirst);
    container.addNotification(greedy.proxy, kFirst + kBound);
    EXPECT_EQ(container.count(), kBound + 2);
    EXPECT_FALSE(greedy.endpoint->isClosed());
    kor::vector<comm::Proxy> proxies;
    EXPECT_NE(container.getNotifiedProxies(23, proxies), 0);
    ASSERT_EQ(proxies.size(), 2u);
    EXPECT_EQ(proxies[0], other.proxy);
    greedy.endpoint->close();
    EXPECT_EQ(container.count(), 1u);  // the tracker dropped every one of its ids
  }
  // The container is gone: closing an endpoint it watched must not reach it.
  other.endpoint->close();
}

}  // namespace
