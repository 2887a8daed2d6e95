// End to end: a real service in this process, reached through its socket by
// the client library (in this process and in child processes).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "imageserver/ImageServer.h"
#include "imageserver/jobs/Job.h"
#include "platform/transport.h"
#include "platform/transport/connection.h"
#include "support/harness.h"
#include "svx/imageserver/ImageServerWire.h"
#include "svx/imageserver/client/ImageServerClient.h"
#include "tools/common/image_files.h"

extern char** environ;

namespace {

using imageserver::client::Answer;
using imageserver::client::SyncClient;
using namespace std::chrono_literals;

constexpr uint32_t kInstance = 700;
constexpr double kTimeout = 30.0;

// Records what a Client's handler receives.
class RecordingHandler : public imageserver::client::Handler {
 public:
  void onAnswer(const Answer& answer) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.push_back(answer);
    m_changed.notify_all();
  }
  void onVersion(const imageserver::client::VersionUpdate& update) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_versions.push_back(update);
    m_changed.notify_all();
  }
  void onClosed(const std::string& reason) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_closed;
    m_reason = reason;
    m_changed.notify_all();
  }
  template <class P>
  bool waitUntil(P predicate) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::duration<double>(kTimeout), predicate);
  }
  bool waitAnswers(size_t n) {
    return waitUntil([&] { return m_answers.size() >= n; });
  }
  bool waitVersions(size_t n) {
    return waitUntil([&] { return m_versions.size() >= n; });
  }
  std::string version(size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return i < m_versions.size() ? m_versions[i].version : "";
  }
  int closed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
  }
  bool waitClosed() {
    return waitUntil([&] { return m_closed > 0; });
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Answer> m_answers;
  std::vector<imageserver::client::VersionUpdate> m_versions;
  int m_closed = 0;
  std::string m_reason;
};

std::string bmpPixels(uint32_t width, uint32_t height) {
  std::string pixels(width * height * 4, '\0');
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<char>((i * 7) % 251);
  return pixels;
}

class E2eTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_runtime = new testsupport::TempDir();
    s_runDir = s_runtime->file("run");
    setenv(comm::kRuntimeDirVariable, s_runDir.c_str(), 1);
    ASSERT_TRUE(svx::imageserver::wire::installTransport());
  }
  static void TearDownTestSuite() {
    unsetenv(comm::kRuntimeDirVariable);
    delete s_runtime;
  }

  void SetUp() override {
    m_fdsAtStart = testsupport::openFdCount();
    util::config::Provider::setStoreRoot(m_config.path().c_str());
    m_server = startImageServer(kInstance);
    ASSERT_NE(m_server, nullptr);
    ASSERT_TRUE(m_server->registration().isAlive());
    for (int i = 0; i < 2000 && !workerReady(); ++i) usleep(1000);
    ASSERT_TRUE(workerReady());
  }

 public:
  static bool workerReady() {
    for (const auto& m : testsupport::traces().messages())
      if (m.text.rfind("Cannot load image server config", 0) == 0) return true;
    return false;
  }

 protected:
  void TearDown() override {
    stopServer();
    util::config::Provider::setStoreRoot(nullptr);
    // A dispatch thread may still hold a closed connection, and with it the
    // descriptors of its segments, for a moment after the stop returned.
    for (int i = 0; i < 2000 && testsupport::openFdCount() > m_fdsAtStart; ++i) usleep(1000);
  }
  void stopServer() {
    if (m_server != nullptr) stopImageServer(m_server);
    m_server = nullptr;
  }

  std::unique_ptr<SyncClient> connect() {
    std::string error;
    std::unique_ptr<SyncClient> client = SyncClient::connect(kInstance, &error);
    EXPECT_NE(client, nullptr) << error;
    return client;
  }

  std::string bmp(const std::string& name, uint32_t width, uint32_t height) {
    std::string path = m_files.file(name);
    std::string pixels = bmpPixels(width, height);
    EXPECT_TRUE(
        imagefiles::writeBmp(path, width, height, reinterpret_cast<const uint8_t*>(pixels.data())));
    return path;
  }

  static testsupport::TempDir* s_runtime;
  static std::string s_runDir;
  testsupport::TempDir m_config;
  testsupport::TempDir m_files;
  ImageServer* m_server = nullptr;
  int m_fdsAtStart = 0;
};

testsupport::TempDir* E2eTest::s_runtime = nullptr;
std::string E2eTest::s_runDir;

TEST_F(E2eTest, EveryAnswerKindAndStatusCrossesTheSocket) {
  const std::string image = bmp("small.bmp", 3, 2);
  const std::string bytes = imagefiles::readFile(image);
  const std::string garbage = m_files.write("garbage.bmp", "not an image at all");
  const std::string missing = m_files.file("missing.bmp");
  auto client = connect();
  ASSERT_NE(client, nullptr);
  std::vector<Answer> answers;
  std::string error;

  // File bytes, without and with the information record.
  ASSERT_TRUE(client->requestImages({image}, 0, false, kTimeout, &answers, &error)) << error;
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].kind, Answer::IMAGE);
  EXPECT_EQ(answers[0].locator, image);
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_OK);
  EXPECT_TRUE(answers[0].hasImage);
  EXPECT_FALSE(answers[0].hasInfo);
  EXPECT_FALSE(answers[0].decoded);
  EXPECT_FALSE(answers[0].payload.isShared());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(answers[0].data()), answers[0].length()),
            bytes);

  ASSERT_TRUE(client->requestImages({"file://" + image}, 1, false, kTimeout, &answers, &error));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0].hasInfo);
  EXPECT_EQ(answers[0].info.format, imageserver::client::IMAGE_FORMAT_BMP);
  EXPECT_EQ(answers[0].info.width, 3u);
  EXPECT_EQ(answers[0].info.height, 2u);
  EXPECT_EQ(answers[0].info.fileSize, static_cast<int64_t>(bytes.size()));

  // Pixels.
  ASSERT_TRUE(client->requestImages({image}, 0, true, kTimeout, &answers, &error)) << error;
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_OK);
  EXPECT_TRUE(answers[0].decoded);
  ASSERT_TRUE(answers[0].hasInfo);
  EXPECT_EQ(answers[0].info.width, 3u);
  EXPECT_EQ(answers[0].info.height, 2u);
  EXPECT_GE(answers[0].info.format, imageserver::client::IMAGE_FORMAT_L8);
  EXPECT_EQ(answers[0].dataLength % 6, 0u);
  EXPECT_EQ(answers[0].length(), answers[0].dataLength);

  // Information, and the failures of both operations.
  ASSERT_TRUE(client->requestInformation({image, missing}, kTimeout, &answers, &error)) << error;
  ASSERT_EQ(answers.size(), 2u);
  std::sort(answers.begin(), answers.end(),
            [](const Answer& a, const Answer& b) { return a.locator < b.locator; });
  EXPECT_EQ(answers[0].locator, missing);
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_INVALID_IMAGE);
  EXPECT_FALSE(answers[0].hasInfo);
  EXPECT_EQ(answers[1].kind, Answer::INFORMATION);
  EXPECT_EQ(answers[1].result, imageserver::client::RESULT_OK);
  EXPECT_EQ(answers[1].info.format, imageserver::client::IMAGE_FORMAT_BMP);
  EXPECT_EQ(answers[1].info.width, 3u);

  ASSERT_TRUE(client->requestImages({garbage}, 0, true, kTimeout, &answers, &error)) << error;
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_INVALID_IMAGE);
  EXPECT_FALSE(answers[0].hasImage);

  // The interface version, through a subscription.
  imageserver::client::VersionUpdate version;
  ASSERT_TRUE(client->interfaceVersion(kTimeout, &version, &error)) << error;
  EXPECT_TRUE(version.hasVersion);
  EXPECT_EQ(version.version, "2.0.1");
  EXPECT_TRUE(version.valid);
}

TEST_F(E2eTest, EveryLocatorIsAnsweredWhateverItsLength) {
  // A real file at a path of the kernel's greatest length, behind file://.
  std::string folder = m_files.path();
  // Folders until a file name (at most 255 bytes) fills the path.
  for (size_t left = PATH_MAX - 2 - folder.size(); left > 255;
       left = PATH_MAX - 2 - folder.size()) {
    folder += "/" + std::string(std::min<size_t>(255, left - 101), 'd');
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << folder.size();
  }
  const std::string longest =
      folder + "/" + std::string(PATH_MAX - 1 - folder.size() - 1 - 4, 'n') + ".bmp";
  ASSERT_EQ(longest.size(), size_t{PATH_MAX - 1});
  const std::string pixels = bmpPixels(2, 2);
  ASSERT_TRUE(imagefiles::writeBmp(longest, 2, 2, reinterpret_cast<const uint8_t*>(pixels.data())));
  const std::string image = bmp("small.bmp", 3, 2);
  const std::string tooLong = "/" + std::string(4999, 'x');  // longer than any path
  const std::string atLimit = std::string(imageserver::client::kMaxLocatorLength, 'y');
  const std::string pastLimit = atLimit + "y";
  auto client = connect();
  ASSERT_NE(client, nullptr);
  std::vector<Answer> answers;
  std::string error;
  const std::vector<std::string> locators = {"file://" + longest, tooLong, image, atLimit,
                                             pastLimit};
  ASSERT_TRUE(client->requestInformation(locators, kTimeout, &answers, &error)) << error;
  ASSERT_EQ(answers.size(), locators.size());
  std::map<std::string, int32_t> results;
  for (const Answer& answer : answers) results[answer.locator] = answer.result;
  EXPECT_EQ(results["file://" + longest], imageserver::client::RESULT_OK);
  EXPECT_EQ(results[image], imageserver::client::RESULT_OK);
  EXPECT_EQ(results[tooLong], imageserver::client::RESULT_INVALID_IMAGE);
  EXPECT_EQ(results[atLimit], imageserver::client::RESULT_INVALID_IMAGE);
  EXPECT_EQ(results[pastLimit], imageserver::client::RESULT_INVALID_IMAGE);
  // The service refused the long ones it got and logged each whole; the
  // library answered the one it could not send.
  auto refusals = [](const std::string& locator) {
    return testsupport::traces().count(
        "IMS_Interface", 3,
        "requestImageInformation: resourceLocator " + locator + " appears to be no valid image");
  };
  EXPECT_EQ(refusals(tooLong), 1u);
  EXPECT_EQ(refusals(atLimit), 1u);
  EXPECT_EQ(refusals(pastLimit), 0u);

  // A request larger than one message, in bytes or in locators, goes as
  // several; every locator is answered.
  std::vector<std::string> many(300, "/missing/" + std::string(4000, 'm'));
  many.resize(300 + comm::kMaxArrayCount + 1, "/missing/short");
  ASSERT_TRUE(client->requestInformation(many, kTimeout, &answers, &error)) << error;
  EXPECT_EQ(answers.size(), many.size());
}

TEST_F(E2eTest, LargeArraysArriveAsReadOnlySharedMemory) {
  const std::string image = bmp("large.bmp", 160, 120);  // about 57 KiB pixels, 57 KiB file
  const std::string big = bmp("big.bmp", 300, 200);      // 180 KiB file
  const std::string bytes = imagefiles::readFile(big);
  auto client = connect();
  ASSERT_NE(client, nullptr);
  std::vector<Answer> answers;
  std::string error;

  ASSERT_TRUE(client->requestImages({big}, 0, false, kTimeout, &answers, &error)) << error;
  ASSERT_EQ(answers.size(), 1u);
  const Answer& file = answers[0];
  EXPECT_TRUE(file.payload.isShared());
  ASSERT_EQ(file.length(), bytes.size());
  EXPECT_EQ(std::memcmp(file.data(), bytes.data(), bytes.size()), 0);

  // The mapping cannot be made writable: the segment is sealed against it.
  const long page = sysconf(_SC_PAGESIZE);
  void* start = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(file.data()) &
                                        ~static_cast<uintptr_t>(page - 1));
  EXPECT_NE(mprotect(start, static_cast<size_t>(page), PROT_READ | PROT_WRITE), 0);

  std::vector<Answer> decoded;
  ASSERT_TRUE(client->requestImages({big, image}, 0, true, kTimeout, &decoded, &error)) << error;
  ASSERT_EQ(decoded.size(), 2u);
  for (const Answer& answer : decoded) {
    EXPECT_EQ(answer.result, imageserver::client::RESULT_OK);
    EXPECT_TRUE(answer.decoded);
    EXPECT_EQ(answer.length(), answer.dataLength);
    // Arrays at the threshold and above are shared, smaller ones inline.
    EXPECT_EQ(answer.payload.isShared(), answer.dataLength >= comm::kSegmentThreshold)
        << answer.locator << " " << answer.dataLength;
  }
  // The answers outlive the connection: their mappings stay valid.
  client.reset();
  EXPECT_EQ(std::memcmp(file.data(), bytes.data(), bytes.size()), 0);
}

TEST_F(E2eTest, SubscriptionsBelongToTheirConnection) {
  comm::AttributeNotificationContainer& container = m_server->notificationContainer();
  RecordingHandler first, second;
  auto a = imageserver::client::Client::connect(kInstance, &first);
  auto b = imageserver::client::Client::connect(kInstance, &second);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);

  ASSERT_TRUE(a->setNotification(imageserver::client::kVersionAttributeId));
  ASSERT_TRUE(b->setNotification(std::vector<uint32_t>{imageserver::client::kVersionAttributeId}));
  ASSERT_TRUE(first.waitVersions(1));
  ASSERT_TRUE(second.waitVersions(1));
  EXPECT_EQ(first.version(0), "2.0.1");
  // The current value is sent before the subscription is recorded.
  for (int i = 0; i < 5000 && container.count() != 2; ++i) usleep(1000);
  EXPECT_EQ(container.count(), 2u);

  // A version update reaches both subscribers over their own connections.
  m_server->updateSVXVersion(
      CITypesFactory::createString("2.0.2", util::UnicodeString_common::UTF8));
  ASSERT_TRUE(first.waitVersions(2));
  ASSERT_TRUE(second.waitVersions(2));
  EXPECT_EQ(second.version(1), "2.0.2");

  // Clearing on one connection leaves the other's subscription.
  ASSERT_TRUE(b->clearNotification());
  ASSERT_TRUE(b->setNotification());
  ASSERT_TRUE(second.waitVersions(3));
  ASSERT_TRUE(b->clearNotification(imageserver::client::kVersionAttributeId));
  for (int i = 0; i < 5000 && container.count() != 1; ++i) usleep(1000);
  EXPECT_EQ(container.count(), 1u);

  // A connection that goes away takes its subscriptions with it.
  a.reset();
  for (int i = 0; i < 5000 && container.count() != 0; ++i) usleep(1000);
  EXPECT_EQ(container.count(), 0u);
  EXPECT_EQ(first.closed(), 0);  // closing it ourselves is not reported

  // One asking for more ids than a subscriber may hold is cut off; the
  // others are served.
  std::vector<uint32_t> ids(comm::kMaxSubscriptionsPerSubscriber + 1);
  for (uint32_t i = 0; i < ids.size(); ++i) ids[i] = 1000 + i;
  ASSERT_TRUE(b->setNotification(ids));
  ASSERT_TRUE(second.waitClosed());
  // The client sees the end of the stream before the service is through.
  auto logged = [] {
    size_t count = 0;
    for (const auto& m : testsupport::traces().messages())
      count +=
          m.level == 3 && m.text.find(": too many attribute subscriptions") != std::string::npos;
    return count;
  };
  for (int i = 0; i < 5000 && (logged() == 0 || container.count() != 0); ++i) usleep(1000);
  EXPECT_EQ(logged(), 1u);
  EXPECT_EQ(container.count(), 0u);
  auto c = connect();
  imageserver::client::VersionUpdate version;
  std::string error;
  EXPECT_TRUE(c->interfaceVersion(kTimeout, &version, &error)) << error;
}

// A trace sink that holds the thread writing a message that begins with a
// given text until the gate opens: a job that logs before its work is then
// held inside that job. Every message also goes to the test's capture.
class TraceGate : public tracing::Sink {
 public:
  explicit TraceGate(std::string prefix) : m_prefix(std::move(prefix)) { tracing::setSink(this); }
  ~TraceGate() override {
    open();
    tracing::setSink(&testsupport::traces());
  }
  void write(const tracing::Channel& channel, int16_t level, const char* text) override {
    testsupport::traces().write(channel, level, text);
    if (std::string(text).rfind(m_prefix, 0) != 0) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_entered = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_open; });
  }
  bool waitEntered() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, 30s, [this] { return m_entered; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }

 private:
  const std::string m_prefix;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_entered = false;
  bool m_open = false;
};

TEST_F(E2eTest, AStopLetsTheJobInHandAnswerAndServesNothingNew) {
  const std::string image = bmp("one.bmp", 2, 2);
  const std::string socket = comm::socketPath(s_runDir, "svx.imageserver.ImageServer", kInstance);
  tracing::setLevel("IMS_Worker", 1);
  RecordingHandler handler;
  auto client = imageserver::client::Client::connect(kInstance, &handler);
  ASSERT_NE(client, nullptr);
  std::unique_ptr<TraceGate> gate(new TraceGate("reading undecoded image for"));
  // The worker is held inside the first job; the second waits in the queue.
  ASSERT_TRUE(client->requestImage({image, image}, 0, false));
  ASSERT_TRUE(gate->waitEntered());
  for (int i = 0; i < 5000 && getNumPendingRequests(m_server) == 0; ++i) usleep(1000);
  ASSERT_EQ(getNumPendingRequests(m_server), 1u);

  std::thread stopper([&] { stopServer(); });
  struct stat status;
  for (int i = 0; i < 10000 && lstat(socket.c_str(), &status) == 0; ++i) usleep(1000);
  ASSERT_NE(lstat(socket.c_str(), &status), 0) << "the service did not unregister";
  // Unregistered: nobody new gets in, and a new request is not served;
  // the connection stays open for the answer of the job in hand.
  std::string error;
  EXPECT_EQ(SyncClient::connect(kInstance, &error), nullptr);
  ASSERT_TRUE(client->requestImageInformation({image}));
  usleep(100 * 1000);
  EXPECT_TRUE(client->isConnected());
  EXPECT_EQ(handler.closed(), 0);

  gate->open();
  stopper.join();
  ASSERT_TRUE(handler.waitClosed());
  std::lock_guard<std::mutex> lock(handler.m_mutex);
  ASSERT_EQ(handler.m_answers.size(), 1u);  // the queued job was discarded unanswered
  EXPECT_EQ(handler.m_answers[0].kind, Answer::IMAGE);
  EXPECT_EQ(handler.m_answers[0].result, imageserver::client::RESULT_OK);
  EXPECT_EQ(handler.m_answers[0].length(), imagefiles::readFile(image).size());
}

TEST_F(E2eTest, AClientAtItsSharedMemoryLimitIsHeldBackUntilItReleases) {
  const std::string image = bmp("quarter.bmp", 256, 256);  // 196,662 bytes: shared memory
  const uint64_t size = imagefiles::readFile(image).size();
  // Room for six answers: four in the pool's segments, two more of their own.
  comm::setClientMemoryLimit(6 * size);
  comm::Transport::instance().setClientMemoryGraceTime(300);
  RecordingHandler handler;  // keeps every answer, so it releases nothing
  auto client = imageserver::client::Client::connect(kInstance, &handler);
  ASSERT_NE(client, nullptr);
  auto results = [&] {
    std::lock_guard<std::mutex> lock(handler.m_mutex);
    std::map<int32_t, size_t> counts;
    for (const Answer& answer : handler.m_answers) ++counts[answer.result];
    return counts;
  };
  // Up to the limit the answers come; past it the arrays cannot be made.
  ASSERT_TRUE(client->requestImage(std::vector<std::string>(7, image), 0, false));
  ASSERT_TRUE(handler.waitAnswers(7));
  EXPECT_EQ(results(), (std::map<int32_t, size_t>{{imageserver::client::RESULT_OK, 6},
                                                  {imageserver::client::RESULT_OUT_OF_MEMORY, 1}}));
  // At the limit, a new request waits unread: no job is made for it, while
  // another client is served.
  ASSERT_TRUE(client->requestImage({image}, 0, false));
  auto other = connect();
  std::vector<Answer> answers;
  std::string error;
  ASSERT_TRUE(other->requestImages({image}, 0, false, kTimeout, &answers, &error)) << error;
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_OK);
  usleep(100 * 1000);
  EXPECT_EQ(results().size(), 2u);
  EXPECT_EQ(handler.m_answers.size(), 7u);
  EXPECT_EQ(getNumPendingRequests(m_server), 0u);
  // Released, the held request is served, and every byte of the limit is
  // free again: six more answers fit.
  {
    std::lock_guard<std::mutex> lock(handler.m_mutex);
    handler.m_answers.clear();
  }
  ASSERT_TRUE(handler.waitAnswers(1));
  ASSERT_TRUE(client->requestImage(std::vector<std::string>(5, image), 0, false));
  ASSERT_TRUE(handler.waitAnswers(6));
  EXPECT_EQ(results(), (std::map<int32_t, size_t>{{imageserver::client::RESULT_OK, 6}}));
  // A client that holds its limit, asks again and releases nothing for the
  // grace time is disconnected, and that is logged once.
  ASSERT_TRUE(client->requestImage({image}, 0, false));
  ASSERT_TRUE(handler.waitClosed());
  size_t logged = 0;
  for (int i = 0; i < 5000 && logged == 0; ++i) {
    for (const auto& m : testsupport::traces().messages())
      logged += m.level == 3 && m.text.find("released no answer for 300 ms") != std::string::npos;
    if (logged == 0) usleep(1000);
  }
  EXPECT_EQ(logged, 1u);
  comm::setClientMemoryLimit(0);
  comm::Transport::instance().setClientMemoryGraceTime(comm::kClientMemoryGraceMs);
}

// Answers delivered to a client that reads slowly: it must see one answer
// for every job that ran, although the stop comes while they are queued.
class SlowHandler : public RecordingHandler {
 public:
  void onAnswer(const Answer& answer) override {
    usleep(200);
    RecordingHandler::onAnswer(answer);
  }
};

TEST_F(E2eTest, AStopDeliversEveryAnswerOfTheJobsThatRanToAClientThatReads) {
  const std::string image = bmp("load.bmp", 16, 16);
  constexpr size_t kRequested = 4000;
  tracing::setLevel("IMS_Worker", 1);
  SlowHandler handler;
  auto client = imageserver::client::Client::connect(kInstance, &handler);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->requestImageInformation(std::vector<std::string>(kRequested, image)));
  // Stop once many answers are produced and most still wait in the
  // client's queue.
  for (int i = 0; i < 30000 && getNumPendingRequests(m_server) == 0; ++i) usleep(1000);
  for (int i = 0; i < 30000 && getNumPendingRequests(m_server) > kRequested / 2; ++i) usleep(1000);
  stopServer();
  ASSERT_TRUE(handler.waitClosed());
  const size_t ran = testsupport::traces().count("IMS_Worker", 1, "getting file info for " + image);
  std::lock_guard<std::mutex> lock(handler.m_mutex);
  EXPECT_GT(ran, 0u);
  EXPECT_EQ(handler.m_answers.size(), ran);
  for (const auto& answer : handler.m_answers) EXPECT_EQ(answer.result, 0);
}

// A raw connection that sends one request and then never reads.
int rawConnect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends a request for |count| undecoded copies of |image| on |fd|.
void requestCopies(int fd, const std::string& image, uint32_t count) {
  comm::WireWriter request(comm::kKindRequest, svx::imageserver::wire::kRequestImage);
  request.putU8(1);
  request.putU32(count);
  for (uint32_t i = 0; i < count; ++i) request.putString(image.data(), image.size());
  request.putI8(0);
  request.putBool(false);
  ASSERT_TRUE(request.ok());
  std::vector<uint8_t>& bytes = request.finish();
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads |fd| to its end (with a guard against a hang); the bytes read.
size_t readToEnd(int fd) {
  struct timeval limit = {30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  char buffer[65536];
  ssize_t got;
  size_t total = 0;
  while ((got = read(fd, buffer, sizeof(buffer))) > 0) total += static_cast<size_t>(got);
  EXPECT_EQ(got, 0) << "the stream did not end";
  return total;
}

TEST_F(E2eTest, AStopWaitsNoLongerThanItsDrainTimeForAClientThatNeverReads) {
  const std::string image = bmp("mid.bmp", 100, 100);  // about 30 KiB: inline answers
  constexpr uint32_t kDrainMs = 300;
  comm::Transport::instance().setStopDrainTime(kDrainMs);
  int fd = rawConnect(comm::socketPath(s_runDir, "svx.imageserver.ImageServer", kInstance));
  ASSERT_GE(fd, 0);
  // More than the socket buffers hold, less than the outgoing queue does.
  constexpr uint32_t kAnswers = 200;
  static_assert(kAnswers * 30100u < comm::kMaxQueuedBytes);
  requestCopies(fd, image, kAnswers);
  for (int i = 0; i < 30000 && getNumPendingRequests(m_server) > 0; ++i) usleep(1000);
  usleep(100 * 1000);  // the last job's answer

  const auto started = std::chrono::steady_clock::now();
  stopServer();
  const auto took = std::chrono::steady_clock::now() - started;
  comm::Transport::instance().setStopDrainTime(comm::kStopDrainMs);
  EXPECT_GE(took, std::chrono::milliseconds(kDrainMs));
  EXPECT_LT(took, std::chrono::milliseconds(kDrainMs) + 20s);  // a guard against a hang
  bool logged = false;
  for (const auto& m : testsupport::traces().messages())
    logged |= m.channel == "COMM_Transport" && m.level == 3 &&
              m.text.rfind("stop: dropped ", 0) == 0 &&
              m.text.find(" answers to 1 clients that did not read them within 300 ms") !=
                  std::string::npos;
  EXPECT_TRUE(logged);
  // What was written before can still be read; then the stream ends.
  EXPECT_LT(readToEnd(fd), kAnswers * 30000u);
  close(fd);
}

// Runs this test program as a child process executing the disabled test
// |test| with |mode| and |file|; returns its exit status.
int runChild(const std::string& test, const std::string& mode, const std::string& file) {
  std::string filter = "--gtest_filter=E2eChild." + test;
  std::string all = "--gtest_also_run_disabled_tests";
  std::string exe = "/proc/self/exe";
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  env.push_back("E2E_CHILD_MODE=" + mode);
  env.push_back("E2E_CHILD_FILE=" + file);
  env.push_back("E2E_CHILD_INSTANCE=" + std::to_string(kInstance));
  std::vector<char*> envp;
  for (auto& item : env) envp.push_back(item.data());
  envp.push_back(nullptr);
  std::vector<char*> argv = {exe.data(), filter.data(), all.data(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(E2eTest, AClientInAnotherProcessIsServed) {
  const std::string big = bmp("big.bmp", 300, 200);
  EXPECT_EQ(runChild("DISABLED_Client", "verify", big), 0);
}

TEST_F(E2eTest, AClientThatDiesWhileALargeAnswerIsUnderWayHarmsNobody) {
  const std::string big = bmp("big.bmp", 400, 300);
  const std::string huge = bmp("huge.bmp", 2800, 2700);  // 30 MB of pixels
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(runChild("DISABLED_Client", "abandon", i == 0 ? huge : big), 0);
  // The service goes on serving, once the worker is through the abandoned
  // jobs (slow in sanitizer builds: three decodes of the huge picture).
  auto client = connect();
  ASSERT_NE(client, nullptr);
  std::vector<Answer> answers;
  std::string error;
  ASSERT_TRUE(client->requestImages({big}, 0, true, 4 * kTimeout, &answers, &error)) << error;
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_OK);
}

// The child process's side of the two tests above.
TEST(E2eChild, DISABLED_Client) {
  const char* mode = std::getenv("E2E_CHILD_MODE");
  const char* file = std::getenv("E2E_CHILD_FILE");
  ASSERT_NE(mode, nullptr);
  ASSERT_NE(file, nullptr);
  const uint32_t instance = static_cast<uint32_t>(std::atoi(std::getenv("E2E_CHILD_INSTANCE")));
  if (std::string(mode) == "abandon") {
    // Ask for large answers and vanish before they come.
    imageserver::client::Handler handler;
    auto client = imageserver::client::Client::connect(instance, &handler);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->requestImage({file, file, file}, 0, true));
    ASSERT_TRUE(client->requestImage({file}, 0, false));
    _exit(0);
  }
  std::string error;
  auto client = SyncClient::connect(instance, &error);
  ASSERT_NE(client, nullptr) << error;
  std::vector<Answer> answers;
  ASSERT_TRUE(client->requestImages({file}, 0, true, kTimeout, &answers, &error)) << error;
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_OK);
  EXPECT_TRUE(answers[0].payload.isShared());
  EXPECT_EQ(answers[0].info.width, 300u);
  ASSERT_TRUE(client->requestInformation({file}, kTimeout, &answers, &error)) << error;
  EXPECT_EQ(answers[0].info.height, 200u);
}

TEST_F(E2eTest, AClientThatNeverReadsIsDisconnectedAndOthersAreServed) {
  const std::string image = bmp("mid.bmp", 100, 100);  // about 30 KiB: inline answers
  int fd = rawConnect(comm::socketPath(s_runDir, "svx.imageserver.ImageServer", kInstance));
  ASSERT_GE(fd, 0);
  // More answers than the outgoing queue holds in bytes.
  constexpr uint32_t kAnswers = 400;
  static_assert(kAnswers * 30000u > comm::kMaxQueuedBytes + 1024 * 1024);
  requestCopies(fd, image, kAnswers);

  // Meanwhile another client is served.
  auto client = connect();
  ASSERT_NE(client, nullptr);
  std::vector<Answer> answers;
  std::string error;
  ASSERT_TRUE(client->requestInformation({image}, kTimeout, &answers, &error)) << error;

  // The worker answers them all; the silent client's queue overflows.
  for (int i = 0; i < 30000 && getNumPendingRequests(m_server) > 0; ++i) usleep(1000);
  bool disconnected = false;
  for (int i = 0; i < 10000 && !disconnected; ++i) {
    for (const auto& m : testsupport::traces().messages())
      disconnected |= m.channel == "COMM_Transport" && m.level == 3 &&
                      m.text.find("outgoing queue full") != std::string::npos;
    if (!disconnected) usleep(1000);
  }
  EXPECT_TRUE(disconnected);
  // What was written before the disconnection can still be read; then the
  // stream ends.
  EXPECT_LT(readToEnd(fd), kAnswers * 30000u);
  close(fd);

  ASSERT_TRUE(client->requestInformation({image}, kTimeout, &answers, &error)) << error;
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_OK);
}

// --- Faults under load ---------------------------------------------------------

TEST_F(E2eTest, TenThousandQueuedJobsFromSeveralClientsThenStop) {
  const std::string image = bmp("load.bmp", 160, 120);
  constexpr int kClients = 4;
  constexpr int kPerClient = 2500;
  constexpr int kPerRequest = 500;
  std::vector<RecordingHandler> handlers(kClients);
  std::vector<std::unique_ptr<imageserver::client::Client>> clients;
  for (auto& handler : handlers) {
    clients.push_back(imageserver::client::Client::connect(kInstance, &handler));
    ASSERT_NE(clients.back(), nullptr);
  }
  std::vector<std::string> batch(kPerRequest, image);
  for (int sent = 0; sent < kPerClient; sent += kPerRequest)
    for (auto& client : clients) ASSERT_TRUE(client->requestImage(batch, 2, true));
  // Let the queue fill, then stop with most of it still waiting.
  for (int i = 0; i < 10000 && getNumPendingRequests(m_server) < 1000; ++i) usleep(1000);
  ASSERT_GE(getNumPendingRequests(m_server), 1000u);
  stopServer();

  size_t answered = 0;
  size_t cancelled = 0;  // the decode in hand at the stop is cancelled
  for (auto& handler : handlers) {
    ASSERT_TRUE(handler.waitClosed());
    std::lock_guard<std::mutex> lock(handler.m_mutex);
    for (const auto& answer : handler.m_answers) {
      if (answer.result == 0) continue;
      EXPECT_EQ(answer.result, 2);
      ++cancelled;
    }
    answered += handler.m_answers.size();
  }
  EXPECT_LE(cancelled, 1u);
  // Discarded jobs were not answered; nothing was answered twice.
  EXPECT_LT(answered, size_t(kClients) * kPerClient - 1000);
  clients.clear();
}

TEST_F(E2eTest, AThousandClientsComeAndGo) {
  const std::string image = bmp("small.bmp", 8, 8);
  for (int i = 0; i < 1000; ++i) {
    std::string error;
    auto client = SyncClient::connect(kInstance, &error);
    ASSERT_NE(client, nullptr) << i << ": " << error;
    if (i % 100 == 0) {
      std::vector<Answer> answers;
      ASSERT_TRUE(client->requestInformation({image}, kTimeout, &answers, &error)) << error;
    }
  }
  auto client = connect();
  std::vector<Answer> answers;
  std::string error;
  ASSERT_TRUE(client->requestInformation({image}, kTimeout, &answers, &error)) << error;
  EXPECT_EQ(answers[0].result, imageserver::client::RESULT_OK);
}

TEST_F(E2eTest, AnotherUsersConnectionIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::string path = comm::socketPath(s_runDir, "svx.imageserver.ImageServer", kInstance);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Only async-signal-safe calls between fork and _exit.
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int fd = rawConnect(path);
    _exit(fd < 0 && errno == EACCES ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: cannot change user; 1: the connection was not refused";
}

TEST_F(E2eTest, AServiceOutOfDescriptorsKeepsServingAndAcceptsLater) {
#if defined(__SANITIZE_ADDRESS__)
  // The address and undefined-behaviour checkers probe memory through a
  // pipe: with no descriptor left they take valid objects for broken ones.
  GTEST_SKIP() << "needs free descriptors for the sanitizer runtime";
#endif
  testsupport::TempDir control;
  const std::string ready = control.file("ready");
  const std::string stop = control.file("stop");
  std::string filter = "--gtest_filter=E2eChild.DISABLED_LimitedService";
  std::string all = "--gtest_also_run_disabled_tests";
  std::string exe = "/proc/self/exe";
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  env.push_back("E2E_CHILD_FILE=" + control.path());
  std::vector<char*> envp;
  for (auto& item : env) envp.push_back(item.data());
  envp.push_back(nullptr);
  std::vector<char*> argv = {exe.data(), filter.data(), all.data(), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
  for (int i = 0; i < 30000 && access(ready.c_str(), F_OK) != 0; ++i) usleep(1000);
  ASSERT_EQ(access(ready.c_str(), F_OK), 0);

  // The child has a few descriptors to spare: connect clients until one is
  // left waiting in the backlog, unaccepted.
  imageserver::client::ConnectOptions options;
  options.instance = kInstance + 1;
  imageserver::client::VersionUpdate version;
  std::string error;
  std::vector<std::unique_ptr<SyncClient>> first;
  std::unique_ptr<SyncClient> waiting;
  while (waiting == nullptr && first.size() < 10) {
    auto client = SyncClient::connect(options, &error);
    ASSERT_NE(client, nullptr) << error;  // the backlog takes it in any case
    if (client->interfaceVersion(2.0, &version, &error))
      first.push_back(std::move(client));
    else
      waiting = std::move(client);
  }
  ASSERT_NE(waiting, nullptr) << "the child never ran out of descriptors";
  ASSERT_FALSE(first.empty()) << error;
  ASSERT_FALSE(first.empty());
  // Existing clients go on being served.
  for (auto& client : first)
    EXPECT_TRUE(client->interfaceVersion(kTimeout, &version, &error)) << error;
  // Free descriptors: the waiting client is accepted and served.
  first.clear();
  EXPECT_TRUE(waiting->interfaceVersion(kTimeout, &version, &error)) << error;
  EXPECT_EQ(version.version, "2.0.1");
  waiting.reset();
  auto again = SyncClient::connect(options, &error);
  ASSERT_NE(again, nullptr) << error;
  EXPECT_TRUE(again->interfaceVersion(kTimeout, &version, &error)) << error;
  EXPECT_EQ(version.version, "2.0.1");

  imagefiles::writeFile(stop, "");
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The child's side: a service whose process has only three descriptors to
// spare once it listens.
TEST(E2eChild, DISABLED_LimitedService) {
  const std::string control = std::getenv("E2E_CHILD_FILE");
  testsupport::TempDir config;
  util::config::Provider::setStoreRoot(config.path().c_str());
  ASSERT_TRUE(svx::imageserver::wire::installTransport());
  ImageServer* server = startImageServer(kInstance + 1);
  ASSERT_TRUE(server->registration().isAlive());
  // Count the descriptors once the worker is done with its configuration.
  for (int i = 0; i < 2000 && !E2eTest::workerReady(); ++i) usleep(1000);
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  // Descriptor numbers must stay below the limit: set it just above the
  // third free number, so that three more can be opened.
  int free = 0;
  int fd = 0;
  for (; free < 3; ++fd) free += fcntl(fd, F_GETFD) < 0 ? 1 : 0;
  limit.rlim_cur = static_cast<rlim_t>(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  imagefiles::writeFile(control + "/ready", "");
  for (int i = 0; i < 60000 && access((control + "/stop").c_str(), F_OK) != 0; ++i) usleep(1000);
  // Each stall (the last accept of a burst may run out too) was logged
  // once as it began and once as it ended, not at every retry.
  size_t began = 0, ended = 0;
  for (const auto& m : testsupport::traces().messages()) {
    if (m.channel != "COMM_Transport" || m.text.rfind("accept on ", 0) != 0) continue;
    began += m.text.find(" failed: ") != std::string::npos ? 1 : 0;
    ended += m.text.find(" works again after ") != std::string::npos ? 1 : 0;
  }
  EXPECT_GE(began, 1u);
  EXPECT_LE(began, 3u);
  EXPECT_EQ(ended, began);
  stopImageServer(server);
  util::config::Provider::setStoreRoot(nullptr);
}

}  // namespace
