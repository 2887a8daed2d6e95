// The service object: start and stop through the C interface, the job queue
// and its worker thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "imageserver/ImageServer.h"
#include "imageserver/jobs/Job.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

namespace {

using namespace std::chrono_literals;

// What the probe jobs of one test observed.
struct Probe {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> executed;    // ids in execution order
  std::vector<bool> cancelled;  // whether each saw its execution cancelled
  int started = 0, destroyed = 0, running = 0, maxRunning = 0;
  std::promise<void> gate;  // gated jobs wait until it is set
  std::shared_future<void> gateOpen = gate.get_future().share();
  // Waits until |predicate| holds (at most 10 s).
  template <class P>
  bool waitUntil(P predicate) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 10s, predicate);
  }
};

// A job that records its execution and destruction. A gated one waits in
// execute() until the probe's gate opens; a patient one until its execution
// is cancelled (10 s at most).
class ProbeJob : public ImageServer::Job {
 public:
  enum Mode { RUN, GATED, UNTIL_CANCELLED };
  ProbeJob(Probe& probe, int id, Mode mode = RUN,
           const svx::imageserver::ImageServerProxyReply& reply = {})
      : Job(reply), m_probe(probe), m_id(id), m_mode(mode) {}
  ~ProbeJob() override {
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    ++m_probe.destroyed;
    m_probe.changed.notify_all();
  }
  void execute() override {
    std::unique_lock<std::mutex> lock(m_probe.mutex);
    m_probe.maxRunning = std::max(m_probe.maxRunning, ++m_probe.running);
    ++m_probe.started;
    m_probe.changed.notify_all();
    if (m_mode == GATED) {
      lock.unlock();
      m_probe.gateOpen.wait();
      lock.lock();
    }
    // A plain job gives a concurrent execution, if there were one, time to show.
    const int looks = m_mode == UNTIL_CANCELLED ? 10000 : 1;
    for (int i = 0; i < looks && !kor::isCancelled(); ++i)
      m_probe.changed.wait_for(lock, m_mode == UNTIL_CANCELLED ? 1ms : 100us);
    m_probe.executed.push_back(m_id);
    m_probe.cancelled.push_back(kor::isCancelled());
    --m_probe.running;
    m_probe.changed.notify_all();
  }

 private:
  Probe& m_probe;
  int m_id;
  Mode m_mode;
};

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override { util::config::Provider::setStoreRoot(m_configRoot.path().c_str()); }
  void TearDown() override { util::config::Provider::setStoreRoot(nullptr); }
  testsupport::TempDir m_configRoot;  // empty: no configuration
};

TEST_F(CoreTest, JobsFromSeveralProducersRunOneAtATimeInQueueOrder) {
  Probe probe;
  ImageServer* server = startImageServer(100);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(getNumPendingRequests(server), 0u);

  // Hold the worker so that the queue order is decided by enqueueJob alone.
  server->enqueueJob(new ProbeJob(probe, -1, ProbeJob::GATED));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.started == 1; }));
  EXPECT_EQ(getNumPendingRequests(server), 0u);  // taken, still running: not counted

  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::vector<int> expected = {-1};
  std::mutex orderMutex;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Enqueue and note the order under one lock, so the noted order is the
        // order in which the queue received the jobs.
        std::lock_guard<std::mutex> lock(orderMutex);
        server->enqueueJob(new ProbeJob(probe, t * kPerThread + i));
        expected.push_back(t * kPerThread + i);
      }
    });
  }
  for (auto& producer : producers) producer.join();
  EXPECT_EQ(getNumPendingRequests(server), static_cast<uint32_t>(kThreads * kPerThread));

  probe.gate.set_value();
  ASSERT_TRUE(probe.waitUntil([&] { return probe.destroyed == kThreads * kPerThread + 1; }));
  EXPECT_EQ(getNumPendingRequests(server), 0u);
  stopImageServer(server);
  EXPECT_EQ(probe.executed, expected);
  EXPECT_EQ(probe.maxRunning, 1);
  EXPECT_EQ(testsupport::traces().count("IMS_Worker", 2, "Image server worker thread started"), 1u);
}

TEST_F(CoreTest, StopFinishesTheJobInHandAndDiscardsTheQueuedOnes) {
  Probe probe;
  ImageServer* server = startImageServer(102);
  server->enqueueJob(new ProbeJob(probe, 1, ProbeJob::GATED));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.started == 1; }));
  server->enqueueJob(new ProbeJob(probe, 2));
  server->enqueueJob(new ProbeJob(probe, 3));

  // The gate opens a while after the stop began; a stop that did not wait
  // for the job in hand would have returned by then.
  std::atomic<bool> stopped{false};
  std::thread opener([&] {
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(stopped.load());
    probe.gate.set_value();
  });
  // Deleting through the thread base must run the whole destructor.
  server->unregisterSelf();
  delete static_cast<osal::Thread*>(server);
  stopped = true;
  opener.join();
  EXPECT_EQ(probe.executed, std::vector<int>{1});
  EXPECT_EQ(probe.cancelled, std::vector<bool>{false});  // a stop cancels nothing
  EXPECT_EQ(probe.destroyed, 3);
}

TEST_F(CoreTest, AJobIsCancelledOnlyWhenItsClientHasGone) {
  Probe probe;
  ImageServer* server = startImageServer(112);
  testsupport::ReplyFixture present;
  testsupport::ReplyFixture gone;
  gone.endpoint->close();
  server->enqueueJob(new ProbeJob(probe, 1, ProbeJob::RUN, present.proxy));
  server->enqueueJob(new ProbeJob(probe, 2, ProbeJob::RUN, gone.proxy));
  server->enqueueJob(new ProbeJob(probe, 3, ProbeJob::UNTIL_CANCELLED, present.proxy));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.started == 3; }));
  present.endpoint->close();  // the waiting job sees it and ends
  ASSERT_TRUE(probe.waitUntil([&] { return probe.executed.size() == 3; }));
  stopImageServer(server);
  EXPECT_EQ(probe.cancelled, (std::vector<bool>{false, true, true}));
}

// Observes the service as the transport would when it is registered.
class RegistrationObserver : public comm::ServiceDirectory::Listener {
 public:
  bool onServiceAdded(comm::ServiceRegistrationRecord* record) override {
    auto* server = dynamic_cast<ImageServer*>(record->target());
    checkAtRegistration.push_back(server != nullptr && server->extensionCheck());
    return true;
  }
  void onServiceRemoved(comm::ServiceRegistrationRecord*) override { ++removed; }
  std::vector<bool> checkAtRegistration;
  int removed = 0;
};

TEST_F(CoreTest, ExtensionCheckVariantSetsTheCheckBeforeRegistrationAndNullPathsAreIgnored) {
  RegistrationObserver observer;
  comm::ServiceDirectory::getInstance().setListener(&observer);
  ImageServer* plain = startImageServer(105);
  ImageServer* checked = startImageServerWithExtCheck(106);
  EXPECT_EQ(observer.checkAtRegistration, (std::vector<bool>{false, true}));
  enableFileExtensionCheck(plain, 2);  // any value but 0 enables
  EXPECT_TRUE(plain->extensionCheck());
  enableFileExtensionCheck(checked, 0);
  EXPECT_FALSE(checked->extensionCheck());
  addToWhitelist(plain, nullptr);
  addToBlacklist(plain, nullptr);
  EXPECT_EQ(plain->whitelist().size() + plain->blacklist().size(), 0u);
  stopImageServer(plain);
  stopImageServer(checked);
  comm::ServiceDirectory::getInstance().setListener(nullptr);
  EXPECT_EQ(observer.removed, 2);
}

TEST_F(CoreTest, EveryControlFunctionIgnoresANullHandle) {
  EXPECT_EQ(getNumPendingRequests(nullptr), 0u);
  stopImageServer(nullptr);
  enableFileExtensionCheck(nullptr, 1);
  addToBlacklist(nullptr, "/tmp");
  addToWhitelist(nullptr, "/tmp");
  clearBlacklist(nullptr);
  clearWhitelist(nullptr);
}

TEST_F(CoreTest, AStartWhoseRegistrationFailsStillGivesAHandleThatStopsAlone) {
  ImageServer* first = startImageServer(108);
  ImageServer* second = startImageServer(108);  // same name and instance: refused
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(second->registration().isAlive());
  kor::ErrorStorage::ack();  // the refusal's reason
  stopImageServer(second);   // must not unregister the first one's name
  auto& directory = comm::ServiceDirectory::getInstance();
  EXPECT_TRUE(directory.isRegistered(svx::imageserver::kServiceName, 108));
  stopImageServer(first);
  EXPECT_FALSE(directory.isRegistered(svx::imageserver::kServiceName, 108));
}

TEST_F(CoreTest, FailedAllocationsGiveANullHandleOrDropTheJob) {
  kor::testing::failAllocations("ImageServer");
  EXPECT_EQ(startImageServer(109), nullptr);
  EXPECT_FALSE(
      comm::ServiceDirectory::getInstance().isRegistered(svx::imageserver::kServiceName, 109));

  // A job whose queue entry cannot be allocated is reported and destroyed.
  testsupport::errors().expectFailures();
  Probe probe;
  ImageServer* server = startImageServer(110);
  kor::testing::failAllocations("list_node");
  server->enqueueJob(new ProbeJob(probe, 1));
  stopImageServer(server);
  EXPECT_TRUE(probe.executed.empty());
  EXPECT_EQ(probe.destroyed, 1);
  ASSERT_EQ(testsupport::errors().count("assert"), 1u);
  for (const auto& call : testsupport::errors().calls()) {
    if (call.kind != "assert") continue;
    EXPECT_EQ(call.text, "new_node");
    EXPECT_EQ(call.where, "insert");
  }
}

// --- Answers in memory their client lends ---------------------------------------

// A client that lends the memory of its answers, as one in another process
// does, and notes what it lent.
class LendingReply : public testsupport::RecordingReply {
 public:
  explicit LendingReply(std::atomic<int>& returned) : m_returned(returned) {}
  class Storage : public CIInt8Array::Storage {
   public:
    Storage(uint32_t size, std::atomic<int>& returned)
        : m_bytes(new int8_t[size]), m_returned(returned) {}
    ~Storage() override { ++m_returned; }
    int8_t* bytes() override { return m_bytes.get(); }

   private:
    std::unique_ptr<int8_t[]> m_bytes;
    std::atomic<int>& m_returned;
  };
  CIInt8Array::Storage* allocateArrayStorage(uint32_t size, bool* refused) override {
    *refused = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lent.push_back(new Storage(size, m_returned));
    return m_lent.back();
  }
  std::vector<CIInt8Array::Storage*> lent() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lent;
  }

 private:
  std::atomic<int>& m_returned;
  std::mutex m_mutex;
  std::vector<CIInt8Array::Storage*> m_lent;
};

// The transport's part: large arrays are offered to the client's endpoint.
class OfferingAllocator : public CIInt8ArrayAllocator {
 public:
  CIInt8Array::Storage* allocate(uint32_t) override { return nullptr; }
};

TEST_F(CoreTest, ADecodeWritesStraightIntoTheMemoryItsClientLends) {
  testsupport::TempDir dir;
  OfferingAllocator allocator;
  CIInt8ArrayAllocator* previous = CITypesFactory::setInt8ArrayAllocator(&allocator, 64 * 1024);
  // Grey pixels take one byte each: 64 KiB, the transport's segment
  // threshold, is lent; a byte less is not.
  struct Case {
    uint32_t width, height;
    bool lent;
  } cases[] = {{256, 256, true}, {255, 257, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    std::vector<uint16_t> grey(size_t{c.width} * c.height);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint16_t((i * 7 + (i >> 10)) & 0xff);
    imagefiles::PngOptions png;
    png.colorType = 0;
    const std::string path = dir.file("a.png");
    ASSERT_TRUE(imagefiles::writePng(path, c.width, c.height, grey, png));
    std::atomic<int> returned{0};
    auto* client = new LendingReply(returned);
    svx::imageserver::ImageServerProxyReply proxy(client);
    CIPtr<CIString> at =
        CITypesFactory::createString(path.c_str(), util::UnicodeString_common::kUtf8);
    ImageServer* server = startImageServer(113);
    server->enqueueJob(new ImageServer::FileDecodeJob(proxy, at, 0));
    ASSERT_TRUE(client->waitFor(1));
    // Memory lent for pixels that no answer takes goes back with the bitmap.
    kor::testing::failAllocations("Image");
    server->enqueueJob(new ImageServer::FileDecodeJob(proxy, at, 0));
    ASSERT_TRUE(client->waitFor(2));
    stopImageServer(server);
    auto answers = client->answers();
    EXPECT_EQ(answers[1].result, svx::imageserver::RESULT_OUT_OF_MEMORY);
    ASSERT_EQ(answers[0].result, svx::imageserver::RESULT_OK);
    const CIInt8Array& data = *answers[0].image->data;
    ASSERT_EQ(data.size(), grey.size());
    for (size_t i = 0; i < grey.size(); ++i) ASSERT_EQ(uint8_t(data.data()[i]), grey[i]) << i;
    // Lent while decoding, before the answer existed, and then the answer's.
    const auto lent = client->lent();
    ASSERT_EQ(lent.size(), c.lent ? 2u : 0u);
    if (c.lent) {
      EXPECT_EQ(data.storage(), lent[0]);
      EXPECT_EQ(returned, 1);
    }
  }
  CITypesFactory::setInt8ArrayAllocator(previous, 64 * 1024);
}

}  // namespace
