// The service object: start and stop through the C interface, the job queue
// and its worker thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
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
  std::vector<int> executed;  // ids in execution order
  int destroyed = 0;
  int running = 0;
  int maxRunning = 0;
  bool gateOpen = true;
  int waitingAtGate = 0;

  void openGate() {
    std::lock_guard<std::mutex> lock(mutex);
    gateOpen = true;
    changed.notify_all();
  }
  // Waits until |predicate| holds (at most 10 s).
  template <class P>
  bool waitUntil(P predicate) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 10s, predicate);
  }
};

// A job that records its execution and destruction; a gated job waits in
// execute() until the probe's gate opens.
class ProbeJob : public ImageServer::Job {
 public:
  ProbeJob(Probe& probe, int id, bool gated = false)
      : Job(svx::imageserver::ImageServerProxyReply()), m_probe(probe), m_id(id), m_gated(gated) {}
  ~ProbeJob() override {
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    ++m_probe.destroyed;
    m_probe.changed.notify_all();
  }
  void execute() override {
    std::unique_lock<std::mutex> lock(m_probe.mutex);
    m_probe.maxRunning = std::max(m_probe.maxRunning, ++m_probe.running);
    if (m_gated) {
      ++m_probe.waitingAtGate;
      m_probe.changed.notify_all();
      m_probe.changed.wait(lock, [this] { return m_probe.gateOpen; });
      --m_probe.waitingAtGate;
    } else {
      // Give a concurrent execution, if there were one, time to show.
      lock.unlock();
      std::this_thread::sleep_for(100us);
      lock.lock();
    }
    m_probe.executed.push_back(m_id);
    --m_probe.running;
    m_probe.changed.notify_all();
  }

 private:
  Probe& m_probe;
  int m_id;
  bool m_gated;
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

  // Hold the worker so that the queue order is decided by enqueueJob alone.
  probe.gateOpen = false;
  server->enqueueJob(new ProbeJob(probe, -1, true));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.waitingAtGate == 1; }));

  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::vector<int> enqueued;
  std::mutex orderMutex;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Enqueue and note the order under one lock, so the noted order is the
        // order in which the queue received the jobs.
        std::lock_guard<std::mutex> lock(orderMutex);
        int id = t * kPerThread + i;
        server->enqueueJob(new ProbeJob(probe, id));
        enqueued.push_back(id);
      }
    });
  }
  for (auto& producer : producers) producer.join();
  EXPECT_EQ(getNumPendingRequests(server), static_cast<uint32_t>(kThreads * kPerThread));

  probe.openGate();
  ASSERT_TRUE(probe.waitUntil([&] { return probe.destroyed == kThreads * kPerThread + 1; }));
  stopImageServer(server);

  std::vector<int> expected = {-1};
  expected.insert(expected.end(), enqueued.begin(), enqueued.end());
  EXPECT_EQ(probe.executed, expected);
  EXPECT_EQ(probe.maxRunning, 1);
}

TEST_F(CoreTest, PendingCountFallsWhenTheWorkerTakesAJobNotWhenItEnds) {
  Probe probe;
  ImageServer* server = startImageServer(101);
  EXPECT_EQ(getNumPendingRequests(server), 0u);

  probe.gateOpen = false;
  server->enqueueJob(new ProbeJob(probe, 1, true));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.waitingAtGate == 1; }));
  EXPECT_EQ(getNumPendingRequests(server), 0u);  // taken, still running

  for (uint32_t i = 1; i <= 3; ++i) {
    server->enqueueJob(new ProbeJob(probe, static_cast<int>(i) + 1));
    EXPECT_EQ(getNumPendingRequests(server), i);
  }
  probe.openGate();
  ASSERT_TRUE(probe.waitUntil([&] { return probe.destroyed == 4; }));
  EXPECT_EQ(getNumPendingRequests(server), 0u);
  stopImageServer(server);
}

TEST_F(CoreTest, StopFinishesTheJobInHandAndDiscardsTheQueuedOnes) {
  Probe probe;
  ImageServer* server = startImageServer(102);
  probe.gateOpen = false;
  server->enqueueJob(new ProbeJob(probe, 1, true));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.waitingAtGate == 1; }));
  server->enqueueJob(new ProbeJob(probe, 2));
  server->enqueueJob(new ProbeJob(probe, 3));

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    stopImageServer(server);
    stopped = true;
  });
  // The stop must wait for the running job.
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(stopped.load());
  probe.openGate();
  stopper.join();

  EXPECT_EQ(probe.executed, std::vector<int>{1});
  EXPECT_EQ(probe.destroyed, 3);
}

TEST_F(CoreTest, StoppingAnIdleServiceReturnsPromptly) {
  ImageServer* server = startImageServer(103);
  // Let the worker reach its wait on the empty queue.
  std::this_thread::sleep_for(20ms);
  auto begin = std::chrono::steady_clock::now();
  stopImageServer(server);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

TEST_F(CoreTest, WorkerLogsItsStartAndTheMissingConfiguration) {
  ImageServer* server = startImageServer(104);
  stopImageServer(server);
  EXPECT_EQ(testsupport::traces().count("IMS_Worker", 2, "Image server worker thread started"), 1u);
  size_t configMessages = 0;
  for (const auto& m : testsupport::traces().messages())
    configMessages += m.level == 3 && m.text.rfind("Cannot load image server config (", 0) == 0;
  EXPECT_EQ(configMessages, 1u);
}

// Observes the service as the transport would when it is registered.
class RegistrationObserver : public comm::ServiceDirectory::Listener {
 public:
  bool onServiceAdded(comm::ServiceRegistrationRecord* record) override {
    auto* server = dynamic_cast<ImageServer*>(record->target());
    extensionCheckAtRegistration = server != nullptr && server->extensionCheck();
    ++added;
    return true;
  }
  void onServiceRemoved(comm::ServiceRegistrationRecord*) override { ++removed; }
  bool extensionCheckAtRegistration = false;
  int added = 0;
  int removed = 0;
};

TEST_F(CoreTest, ExtensionCheckVariantSetsTheCheckBeforeRegistration) {
  RegistrationObserver observer;
  comm::ServiceDirectory::instance().setListener(&observer);

  ImageServer* plain = startImageServer(105);
  EXPECT_FALSE(observer.extensionCheckAtRegistration);
  EXPECT_FALSE(plain->extensionCheck());
  ImageServer* checked = startImageServerWithExtCheck(106);
  EXPECT_TRUE(observer.extensionCheckAtRegistration);
  EXPECT_TRUE(checked->extensionCheck());

  enableFileExtensionCheck(plain, 2);
  EXPECT_TRUE(plain->extensionCheck());
  enableFileExtensionCheck(checked, 0);
  EXPECT_FALSE(checked->extensionCheck());

  stopImageServer(plain);
  stopImageServer(checked);
  comm::ServiceDirectory::instance().setListener(nullptr);
  EXPECT_EQ(observer.added, 2);
  EXPECT_EQ(observer.removed, 2);
}

TEST_F(CoreTest, EveryControlFunctionIgnoresANullHandleOrPath) {
  EXPECT_EQ(getNumPendingRequests(nullptr), 0u);
  stopImageServer(nullptr);
  enableFileExtensionCheck(nullptr, 1);
  addToBlacklist(nullptr, "/tmp");
  addToWhitelist(nullptr, "/tmp");
  clearBlacklist(nullptr);
  clearWhitelist(nullptr);

  ImageServer* server = startImageServer(107);
  addToWhitelist(server, nullptr);
  addToBlacklist(server, nullptr);
  EXPECT_EQ(server->whitelist().size(), 0u);
  EXPECT_EQ(server->blacklist().size(), 0u);
  stopImageServer(server);
}

TEST_F(CoreTest, AStartWhoseRegistrationFailsStillGivesAUsableHandle) {
  ImageServer* first = startImageServer(108);
  ImageServer* second = startImageServer(108);  // same name and instance: refused
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(first->registration().isAlive());
  EXPECT_FALSE(second->registration().isAlive());
  kor::ErrorStorage::ack();  // the refusal's reason

  Probe probe;
  second->enqueueJob(new ProbeJob(probe, 1));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.destroyed == 1; }));
  stopImageServer(second);  // must not unregister the first one's name
  EXPECT_TRUE(comm::ServiceDirectory::instance().isRegistered(svx::imageserver::kServiceName, 108));
  stopImageServer(first);
  EXPECT_FALSE(
      comm::ServiceDirectory::instance().isRegistered(svx::imageserver::kServiceName, 108));
  EXPECT_EQ(testsupport::errors().count("assert"), 0u);
}

TEST_F(CoreTest, AFailedAllocationOfTheServiceGivesANullHandle) {
  kor::testing::failAllocations("ImageServer");
  EXPECT_EQ(startImageServer(109), nullptr);
  EXPECT_FALSE(
      comm::ServiceDirectory::instance().isRegistered(svx::imageserver::kServiceName, 109));
}

TEST_F(CoreTest, AFailedQueueNodeAllocationGoesToTheAssertionHandler) {
  testsupport::errors().expectFailures();
  Probe probe;
  ImageServer* server = startImageServer(110);
  kor::testing::failAllocations("list_node");
  server->enqueueJob(new ProbeJob(probe, 1));  // not linked: destroyed at once
  stopImageServer(server);
  EXPECT_TRUE(probe.executed.empty());
  EXPECT_EQ(probe.destroyed, 1);
  auto calls = testsupport::errors().calls();
  ASSERT_EQ(testsupport::errors().count("assert"), 1u);
  for (const auto& call : calls) {
    if (call.kind != "assert") continue;
    EXPECT_EQ(call.text, "new_node");
    EXPECT_EQ(call.where, "insert");
  }
}

TEST_F(CoreTest, DeletingThroughTheThreadBaseRunsTheWholeDestructor) {
  Probe probe;
  ImageServer* server = startImageServer(111);
  probe.gateOpen = false;
  server->enqueueJob(new ProbeJob(probe, 1, true));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.waitingAtGate == 1; }));
  server->enqueueJob(new ProbeJob(probe, 2));
  std::thread opener([&] {
    std::this_thread::sleep_for(20ms);
    probe.openGate();
  });
  server->unregisterSelf();
  osal::Thread* thread = server;
  delete thread;
  opener.join();
  EXPECT_EQ(probe.destroyed, 2);
  EXPECT_EQ(probe.executed, std::vector<int>{1});
}

// --- What the worker sets up around each job ----------------------------------

// Notes whether its execution was cancelled; a waiting one waits (at most
// 10 s) until it is.
class CancellationProbeJob : public ImageServer::Job {
 public:
  CancellationProbeJob(const svx::imageserver::ImageServerProxyReply& reply, Probe& probe,
                       bool wait)
      : Job(reply), m_probe(probe), m_wait(wait) {}
  void execute() override {
    {
      std::lock_guard<std::mutex> lock(m_probe.mutex);
      ++m_probe.waitingAtGate;
      m_probe.changed.notify_all();
    }
    const auto end = std::chrono::steady_clock::now() + 10s;
    bool cancelled = kor::isCancelled();
    while (m_wait && !cancelled && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(1ms);
      cancelled = kor::isCancelled();
    }
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    m_probe.executed.push_back(cancelled ? 1 : 0);
    m_probe.changed.notify_all();
  }

 private:
  Probe& m_probe;
  bool m_wait;
};

TEST_F(CoreTest, AJobIsCancelledWhenItsClientHasGoneOrTheServiceStops) {
  Probe probe;
  ImageServer* server = startImageServer(112);
  testsupport::ReplyFixture present;
  testsupport::ReplyFixture gone;
  gone.endpoint->close();
  server->enqueueJob(new CancellationProbeJob(present.proxy, probe, false));
  server->enqueueJob(new CancellationProbeJob(gone.proxy, probe, false));
  server->enqueueJob(new CancellationProbeJob(present.proxy, probe, true));
  ASSERT_TRUE(probe.waitUntil([&] { return probe.waitingAtGate == 3; }));
  stopImageServer(server);  // the waiting job sees it and ends
  EXPECT_EQ(probe.executed, (std::vector<int>{0, 1, 1}));
}

// A client that lends the memory of its answers, as one in another process
// does, and notes what it lent.
class LendingReply : public testsupport::RecordingReply {
 public:
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
    Storage* storage = new Storage(size, returned);
    lent.push_back(storage);
    return storage;
  }
  std::vector<CIInt8Array::Storage*> lentStorages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return lent;
  }
  std::atomic<int> returned{0};

 private:
  std::mutex m_mutex;
  std::vector<CIInt8Array::Storage*> lent;
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
  // 256 x 256 RGB (192 KiB) is offered to the client; 64 x 64 (12 KiB) is not.
  for (uint32_t side : {256u, 64u}) {
    SCOPED_TRACE(side);
    std::vector<uint8_t> rgba(size_t{side} * side * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 7 + (i >> 10));
    const std::string path = dir.file("a.bmp");
    ASSERT_TRUE(imagefiles::writeBmp(path, side, side, rgba.data()));
    auto* client = new LendingReply();
    svx::imageserver::ImageServerProxyReply proxy(client);
    CIPtr<CIString> at =
        CITypesFactory::createString(path.c_str(), util::UnicodeString_common::UTF8);
    ImageServer* server = startImageServer(113);
    server->enqueueJob(new ImageServer::FileDecodeJob(proxy, at, 0));
    ASSERT_TRUE(client->waitFor(1));
    // Memory lent for pixels that no answer takes goes back when the
    // bitmap is destroyed.
    kor::testing::failAllocations("Image");
    server->enqueueJob(new ImageServer::FileDecodeJob(proxy, at, 0));
    ASSERT_TRUE(client->waitFor(2));
    stopImageServer(server);
    EXPECT_EQ(client->answers()[1].result, svx::imageserver::RESULT_OUT_OF_MEMORY);

    auto answer = client->answers()[0];
    ASSERT_EQ(answer.result, svx::imageserver::RESULT_OK);
    const CIInt8Array& data = *answer.image->data;
    ASSERT_EQ(data.size(), side * side * 3);
    const auto* got = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t i = 0; i < size_t{side} * side; ++i)
      ASSERT_EQ(0, std::memcmp(got + i * 3, &rgba[i * 4], 3)) << i;
    // The one storage lent held the decoded pixels and became the answer's.
    // Lent while decoding, before the answer existed.
    const auto lent = client->lentStorages();
    if (side == 256) {
      ASSERT_EQ(lent.size(), 2u);
      EXPECT_EQ(data.storage(), lent[0]);
      EXPECT_EQ(client->returned, 1);
    } else {
      EXPECT_TRUE(lent.empty());
    }
  }
  CITypesFactory::setInt8ArrayAllocator(previous, 64 * 1024);
}

}  // namespace
