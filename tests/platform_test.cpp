// The platform layer: base library, strings, paths, tracing and value types.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/osal.h"
#include "platform/tracing.h"
#include "platform/util.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

namespace {

// --- kor ------------------------------------------------------------------------

TEST(Kor, EachThreadHasItsOwnPendingError) {
  kor::ErrorStorage::set("main %d", 1);
  std::thread other([] {
    EXPECT_FALSE(kor::ErrorStorage::pending());
    kor::ErrorStorage::set("other");
    EXPECT_STREQ(kor::ErrorStorage::reason(), "other");
    kor::ErrorStorage::ack();
  });
  other.join();
  EXPECT_STREQ(kor::ErrorStorage::reason(), "main 1");
  kor::ErrorStorage::ack();
  EXPECT_FALSE(kor::ErrorStorage::pending());
  EXPECT_STREQ(kor::ErrorStorage::reason(), "");
}

TEST(Kor, FaultsFireAtTheArmedSiteOnlyAndAfterTheSkips) {
  kor::testing::failAllocations("CIString", 1, 2);
  EXPECT_FALSE(kor::allocationShouldFail("other"));
  EXPECT_FALSE(kor::allocationShouldFail("CIString"));
  EXPECT_FALSE(kor::allocationShouldFail("CIString"));
  EXPECT_TRUE(kor::allocationShouldFail("CIString"));
  EXPECT_FALSE(kor::allocationShouldFail("CIString"));
}

TEST(Kor, CancellationScopesNestPerThreadAndEndWithTheirScope) {
  EXPECT_FALSE(kor::isCancelled());  // no scope
  bool outer = false;
  bool inner = false;
  {
    kor::CancellationScope outerScope([&] { return outer; });
    EXPECT_FALSE(kor::isCancelled());
    outer = true;
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
      EXPECT_TRUE(kor::isCancelled());
      kor::CancellationScope empty{std::function<bool()>()};
      EXPECT_TRUE(kor::isCancelled());
    }
    EXPECT_FALSE(kor::isCancelled());  // the inner scope has ended
  }
  outer = true;
  EXPECT_FALSE(kor::isCancelled());
}

// --- util -----------------------------------------------------------------------

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

  // A broadcast reaches every waiter.
  bool open = false;
  int woken = 0;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      mutex.lock();
      while (!open) turnChanged.wait(mutex);
      ++woken;
      mutex.unlock();
    });
  }
  mutex.lock();
  open = true;
  turnChanged.broadcast();
  mutex.unlock();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken, 3);
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
  const int creator = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  ThreadView plain, lowered;
  osal::Thread first(&ThreadView::record, &plain, "plain");
  // A stack larger than the usual default (8 MiB from the shell's limit).
  osal::Thread second(&ThreadView::record, &lowered, "lowered", 5, 24u << 20);
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(second.start());
  ASSERT_TRUE(first.join());
  ASSERT_TRUE(second.join());
  EXPECT_EQ(plain.nice, creator);
  EXPECT_EQ(lowered.nice, std::min(creator + 5, 19));
  EXPECT_GE(lowered.stack, 24u << 20);
}

TEST(UnicodeString, ReplaceRemovesTheFirstOccurrenceOnlyAndLeavesTheOriginal) {
  util::UnicodeString8 prefix("file://");
  util::UnicodeString8 none("");
  util::UnicodeString8 locator("file:///data/pic.png");
  EXPECT_STREQ(locator.replace(prefix, none).utf8(), "/data/pic.png");
  EXPECT_STREQ(locator.utf8(), "file:///data/pic.png");
  EXPECT_STREQ(util::UnicodeString8("file://file:///a").replace(prefix, none).utf8(), "file:///a");
  EXPECT_STREQ(util::UnicodeString8("/plain").replace(prefix, none).utf8(), "/plain");
  util::UnicodeString8 withNul("a\0b", 3);
  EXPECT_EQ(withNul.length(), 3u);
}

// --- osal -----------------------------------------------------------------------

TEST(Paths, CanonicalFormsResolveWhatExistsAndNormaliseTheRest) {
  testsupport::TempDir tmp;
  std::string root = osal::Path(tmp.path().c_str()).getCanonicalized().str();
  ASSERT_EQ(mkdir((root + "/real").c_str(), 0755), 0);
  ASSERT_EQ(symlink((root + "/real").c_str(), (root + "/abs").c_str()), 0);
  ASSERT_EQ(symlink("real", (root + "/rel").c_str()), 0);
  ASSERT_EQ(symlink("loop", (root + "/loop").c_str()), 0);
  ASSERT_EQ(symlink("../real/x", (root + "/real/up").c_str()), 0);
  tmp.write("real/f.png", "f");

  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {root + "/real", root + "/real"},
      {root + "/real/f.png", root + "/real/f.png"},
      {root + "/abs/f.png", root + "/real/f.png"},  // existing file behind a link
      {root + "//real/./", root + "/real"},
      {root + "/abs", root + "/real"},
      {root + "/rel/../abs/", root + "/real"},
      {root + "/abs/a.png", root + "/real/a.png"},
      {root + "/rel/sub/../b.png", root + "/real/b.png"},
      {root + "/real/up", root + "/real/x"},            // link whose target is missing
      {root + "/missing/../real/c", root + "/real/c"},  // ".." over a missing part
      {root + "/missing/deeper/x.png", root + "/missing/deeper/x.png"},
      {"/../../etc/./passwd", "/etc/passwd"},
      {"/", "/"},
      {"", ""},
      {root + "/loop/x", ""},         // link loop
      {std::string("/a\0b", 4), ""},  // embedded NUL
  };
  for (const Case& c : cases) EXPECT_EQ(osal::Path(c.in).getCanonicalized().str(), c.out) << c.in;

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(root.c_str()), 0);
  EXPECT_EQ(osal::Path("rel/d.png").getCanonicalized().str(), root + "/real/d.png");
  EXPECT_EQ(osal::Path("rel/../abs").getCanonicalized().str(), root + "/real");
  ASSERT_EQ(chdir(cwd), 0);

  // A link whose target is no path (a pipe's descriptor) is taken as text.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string fd = "/proc/self/fd/" + std::to_string(fds[0]);
  char target[64];
  const ssize_t n = readlink(fd.c_str(), target, sizeof(target));
  ASSERT_GT(n, 0);
  EXPECT_EQ(osal::Path(fd).getCanonicalized().str(),
            "/proc/" + std::to_string(getpid()) + "/fd/" + std::string(target, size_t(n)));
  close(fds[0]);
  close(fds[1]);
}

TEST(Paths, ExtensionIsTheLastDotOfTheLastComponent) {
  struct Case {
    const char* path;
    const char* extension;
  } cases[] = {{"/a/b.PNG", "PNG"}, {"/a/b.png.txt", "txt"}, {"/a/.profile", ""}, {"/a/b", ""},
               {"/a.d/b", ""},      {"/a/b.", ""},           {"c.jpeg", "jpeg"},  {"", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(osal::BasicPath(c.path).getExtension(true), c.extension) << c.path;
  }
  EXPECT_EQ(osal::BasicPath("/a/b.png").getExtension(false), ".png");
}

TEST(Paths, FileStatusReportsTypeAndLeavesAReasonOnFailure) {
  testsupport::TempDir tmp;
  std::string file = tmp.write("f.bin", "12345");
  osal::FileInfo info;
  ASSERT_TRUE(info.init(file.c_str(), true));
  EXPECT_TRUE(info.isRegularFile());
  EXPECT_EQ(info.size(), 5);
  ASSERT_TRUE(info.init(tmp.path().c_str(), true));
  EXPECT_EQ(info.mode() & 0xF000u, 0x4000u);
  EXPECT_FALSE(info.init((tmp.path() + "/none").c_str(), true));
  EXPECT_FALSE(info.isValid());
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("/none: No such file"),
            std::string::npos);
  kor::ErrorStorage::ack();
}

TEST(Paths, OpeningRefusesWhatIsNotARegularFileWithoutBlocking) {
  testsupport::TempDir tmp;
  std::string fifo = tmp.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  osal::RegularFile file;
  for (const std::string& path : {fifo, tmp.path(), std::string("/dev/zero")}) {
    EXPECT_FALSE(file.open(path.c_str())) << path;
    EXPECT_TRUE(kor::ErrorStorage::pending());
    kor::ErrorStorage::ack();
  }
  ASSERT_TRUE(file.open(tmp.write("ok", "abcdef").c_str()));
  EXPECT_EQ(file.size(), 6);
  char buf[8] = {0};
  EXPECT_EQ(file.readFully(buf, 4, 1), 4);
  EXPECT_STREQ(buf, "bcde");
  EXPECT_EQ(file.readFully(buf, 8, 4), 2);  // to the end of the file
}

// --- tracing --------------------------------------------------------------------

TEST(Tracing, LevelsGateMessagesAndClampToTheChannelRange) {
  tracing::Channel channel("TEST_Channel", 7, 2);
  channel.logC(1, "silent");
  channel.logCV(2, "written %d", 2);
  channel.log(4, "failure");
  // TRACE evaluates its arguments only for a message that passes.
  int evaluated = 0;
  TRACE(channel, 1, "silent %d", ++evaluated);
  TRACE(channel, 2, "traced %d", ++evaluated);
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(testsupport::traces().count("TEST_Channel", 2, "written 2"), 1u);
  EXPECT_EQ(testsupport::traces().count("TEST_Channel", 2, "traced 1"), 1u);
  EXPECT_EQ(testsupport::traces().count("TEST_Channel", 4, "failure"), 1u);
  EXPECT_EQ(testsupport::traces().messages().size(), 3u);

  channel.setLevel(0);
  EXPECT_EQ(channel.level(), 1);
  channel.setLevel(100);
  EXPECT_FALSE(channel.isEnabled(7));
  EXPECT_TRUE(tracing::setLevel("TEST_Channel", 5));
  EXPECT_FALSE(channel.isEnabled(4));
  EXPECT_TRUE(channel.isEnabled(5));
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

// --- value types ----------------------------------------------------------------

TEST(ValueTypes, HandlesShareAndFreeTheirValue) {
  CIPtr<CIString> a = CITypesFactory::createString("x", util::UnicodeString_common::UTF8);
  EXPECT_EQ(a.useCount(), 1);
  {
    CIPtr<CIString> b = a;
    EXPECT_EQ(a.useCount(), 2);
    EXPECT_EQ(a, b);
  }
  EXPECT_EQ(a.useCount(), 1);
  CIPtr<CIString> copy;
  comm::idl::copyIt(copy, a);
  EXPECT_NE(copy, a);
  EXPECT_STREQ(copy->utf8(), "x");
  comm::idl::copyIt(copy, CIPtr<CIString>());
  EXPECT_TRUE(copy.isNull());
}

TEST(ValueTypes, FactoriesGiveEmptyHandlesWhenMemoryIsShort) {
  struct Case {
    const char* site;
    bool (*madeNothing)();
  } cases[] = {
      {"CIString",
       [] { return CITypesFactory::createString("x", util::UnicodeString_common::UTF8).isNull(); }},
      {"CIPtr",
       [] { return CITypesFactory::createString("x", util::UnicodeString_common::UTF8).isNull(); }},
      {"CIInt8Array", [] { return CITypesFactory::createInt8Array(10).isNull(); }},
      {"CIUInt32Array", [] { return CITypesFactory::createUInt32Array(3).isNull(); }},
      {"CIPtrArray", [] { return CITypesFactory::createStringArray(3).isNull(); }},
  };
  for (const Case& c : cases) {
    kor::testing::failAllocations(c.site);
    EXPECT_TRUE(c.madeNothing()) << c.site;
    EXPECT_FALSE(c.madeNothing()) << c.site << " (fault consumed)";
  }
  CIPtr<CIInt8Array> bytes = CITypesFactory::createInt8Array(0);
  ASSERT_FALSE(bytes.isNull());
  EXPECT_EQ(bytes->size(), 0u);
}

TEST(Endpoints, CloseRunsEachListenerOnceAndLateListenersAtOnce) {
  class Plain : public comm::Endpoint {
   public:
    Plain() : comm::Endpoint(kor::UUID()) {}
  };
  comm::Proxy proxy(new Plain());
  int early = 0;
  int late = 0;
  proxy.endpoint()->addCloseListener([&](comm::Endpoint*) { ++early; });
  proxy.endpoint()->close();
  proxy.endpoint()->close();
  proxy.endpoint()->addCloseListener([&](comm::Endpoint*) { ++late; });
  EXPECT_EQ(early, 1);
  EXPECT_EQ(late, 1);
  EXPECT_TRUE(proxy.endpoint()->isClosed());
}

TEST(Endpoints, ContainerStoresEachSubscriptionOnceAndOutlivesNoEndpoint) {
  testsupport::ReplyFixture client;
  {
    comm::AttributeNotificationContainer container(svx::imageserver::replyInterfaceUuid());
    container.addNotification(client.proxy, 23);
    container.addNotification(client.proxy, 23);
    container.addNotification(client.proxy, 5);
    kor::vector<comm::Proxy> proxies;
    EXPECT_NE(container.getNotifiedProxies(23, proxies), 0);
    EXPECT_EQ(proxies.size(), 1u);
    EXPECT_EQ(proxies[0], client.proxy);
    container.removeNotification(client.proxy, 5);
    EXPECT_EQ(container.count(), 1u);
  }
  // The container is gone: closing the endpoint must not reach it.
  client.endpoint->close();
}

TEST(Endpoints, ASubscriberPastItsBoundIsDisconnectedAndOthersKeepTheirs) {
  testsupport::ReplyFixture greedy, other;
  comm::AttributeNotificationContainer container(svx::imageserver::replyInterfaceUuid());
  container.addNotification(other.proxy, 23);
  for (uint32_t id = 0; id < comm::kMaxSubscriptionsPerSubscriber; ++id)
    container.addNotification(greedy.proxy, id);
  container.addNotification(greedy.proxy, 0);  // recorded already: no new one
  EXPECT_FALSE(greedy.endpoint->isClosed());
  EXPECT_EQ(container.count(), comm::kMaxSubscriptionsPerSubscriber + 1);
  container.addNotification(greedy.proxy, comm::kMaxSubscriptionsPerSubscriber);
  EXPECT_TRUE(greedy.endpoint->isClosed());
  EXPECT_EQ(container.count(), 1u);  // the tracker dropped every one of its ids
  kor::vector<comm::Proxy> proxies;
  EXPECT_NE(container.getNotifiedProxies(23, proxies), 0);
  ASSERT_EQ(proxies.size(), 1u);
  EXPECT_EQ(proxies[0], other.proxy);
}

}  // namespace
