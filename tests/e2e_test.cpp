// End to end: a real service in this process, reached through its socket by
// the client library (in this process and in child processes) and by raw
// connections that break the protocol.
#include <fcntl.h>
#include <grp.h>
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
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/transport.h"
#include "platform/transport/connection.h"
#include "support/service.h"
#include "svx/imageserver/ImageServerWire.h"
#include "tools/common/image_files.h"

extern char** environ;

namespace {

using comm::WireWriter;
using imageserver::client::Answer;
using imageserver::client::RESULT_INVALID_IMAGE;
using imageserver::client::RESULT_OK;
using imageserver::client::SyncClient;
using namespace std::chrono_literals;

constexpr double kTimeout = testsupport::ServiceTest::kTimeout;

// Records what a Client's handler receives.
class RecordingHandler : public imageserver::client::Handler {
 public:
  void onAnswer(const Answer& answer) override {
    note([&] { m_answers.push_back(answer); });
  }
  void onVersion(const imageserver::client::VersionUpdate& update) override {
    note([&] { m_versions.push_back(update.version); });
  }
  void onClosed(const std::string&) override {
    note([&] { ++m_closed; });
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
  bool waitClosed() {
    return waitUntil([&] { return m_closed > 0; });
  }
  int closed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Answer> m_answers;
  std::vector<std::string> m_versions;
  int m_closed = 0;

 private:
  template <class F>
  void note(F change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    change();
    m_changed.notify_all();
  }
};

// Level 3 transport messages that contain |part|.
size_t transportLogs(const std::string& part) {
  size_t count = 0;
  for (const auto& m : testsupport::traces().messages())
    count +=
        m.channel == "COMM_Transport" && m.level == 3 && m.text.find(part) != std::string::npos;
  return count;
}

// Waits (at most 5 s) until |done| holds.
template <class P>
bool eventually(P done) {
  for (int i = 0; i < 5000 && !done(); ++i) usleep(1000);
  return done();
}

class E2eTest : public testsupport::ServiceTest {};

// --- Answers ------------------------------------------------------------------

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
  EXPECT_EQ(answers[0].result, RESULT_OK);
  EXPECT_FALSE(answers[0].hasInfo);
  EXPECT_FALSE(answers[0].decoded);
  EXPECT_FALSE(answers[0].payload.isShared());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(answers[0].data()), answers[0].length()),
            bytes);
  ASSERT_TRUE(client->requestImages({"file://" + image}, 1, false, kTimeout, &answers, &error));
  ASSERT_TRUE(answers[0].hasInfo);
  EXPECT_EQ(answers[0].info.format, imageserver::client::IMAGE_FORMAT_BMP);
  EXPECT_EQ(answers[0].info.height, 2u);
  EXPECT_EQ(answers[0].info.fileSize, static_cast<int64_t>(bytes.size()));

  // Pixels.
  ASSERT_TRUE(client->requestImages({image}, 0, true, kTimeout, &answers, &error)) << error;
  EXPECT_TRUE(answers[0].decoded);
  ASSERT_TRUE(answers[0].hasInfo);
  EXPECT_EQ(answers[0].info.width, 3u);
  EXPECT_GE(answers[0].info.format, imageserver::client::IMAGE_FORMAT_L8);
  EXPECT_EQ(answers[0].dataLength % 6, 0u);
  EXPECT_EQ(answers[0].length(), answers[0].dataLength);

  // Information, and the failures of both operations.
  ASSERT_TRUE(client->requestInformation({image, missing}, kTimeout, &answers, &error)) << error;
  ASSERT_EQ(answers.size(), 2u);
  std::sort(answers.begin(), answers.end(),
            [](const Answer& a, const Answer& b) { return a.locator < b.locator; });
  EXPECT_EQ(answers[0].locator, missing);
  EXPECT_EQ(answers[0].result, RESULT_INVALID_IMAGE);
  EXPECT_FALSE(answers[0].hasInfo);
  EXPECT_EQ(answers[1].kind, Answer::INFORMATION);
  EXPECT_EQ(answers[1].info.width, 3u);
  ASSERT_TRUE(client->requestImages({garbage}, 0, true, kTimeout, &answers, &error)) << error;
  EXPECT_EQ(answers[0].result, RESULT_INVALID_IMAGE);
  EXPECT_FALSE(answers[0].hasImage);

  imageserver::client::VersionUpdate version;
  ASSERT_TRUE(client->interfaceVersion(kTimeout, &version, &error)) << error;
  EXPECT_EQ(version.version, "2.0.1");
  EXPECT_TRUE(version.valid);
}

TEST_F(E2eTest, EveryLocatorIsAnsweredWhateverItsLength) {
  // A real file at a path of the kernel's greatest length, behind file://:
  // folders until a file name (at most 255 bytes) fills the path.
  std::string folder = m_files.path();
  for (size_t left = PATH_MAX - 2 - folder.size(); left > 255;
       left = PATH_MAX - 2 - folder.size()) {
    folder += "/" + std::string(std::min<size_t>(255, left - 101), 'd');
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << folder.size();
  }
  const std::string longest =
      folder + "/" + std::string(PATH_MAX - 1 - folder.size() - 1 - 4, 'n') + ".bmp";
  ASSERT_EQ(longest.size(), size_t{PATH_MAX - 1});
  ASSERT_TRUE(imagefiles::writeBmp(longest, 1, 1, std::vector<uint8_t>(4).data()));
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
  EXPECT_EQ(results, (std::map<std::string, int32_t>{{"file://" + longest, RESULT_OK},
                                                     {image, RESULT_OK},
                                                     {tooLong, RESULT_INVALID_IMAGE},
                                                     {atLimit, RESULT_INVALID_IMAGE},
                                                     {pastLimit, RESULT_INVALID_IMAGE}}));
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
  const std::string image = bmp("large.bmp", 160, 120);  // 57,600 bytes of pixels
  const std::string big = bmp("big.bmp", 300, 200);      // 180 KiB file
  const std::string bytes = imagefiles::readFile(big);
  auto client = connect();
  ASSERT_NE(client, nullptr);
  std::vector<Answer> answers;
  std::string error;
  ASSERT_TRUE(client->requestImages({big}, 0, false, kTimeout, &answers, &error)) << error;
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
    EXPECT_EQ(answer.length(), answer.dataLength);
    // Arrays at the threshold and above are shared, smaller ones inline.
    EXPECT_EQ(answer.payload.isShared(), answer.dataLength >= comm::kSegmentThreshold)
        << answer.locator << " " << answer.dataLength;
  }
  // The answers outlive the connection: their mappings stay valid.
  client.reset();
  EXPECT_EQ(std::memcmp(file.data(), bytes.data(), bytes.size()), 0);
}

TEST_F(E2eTest, AnswersAClientHoldsStayIntactWhileItsSegmentsAreReused) {
  const std::string first = bmp("first.bmp", 160, 160);  // shared memory
  const std::string second = bmp("second.bmp", 161, 160);
  const std::string firstBytes = imagefiles::readFile(first);
  const std::string secondBytes = imagefiles::readFile(second);
  auto client = connect();
  ASSERT_NE(client, nullptr);
  auto fetch = [&](SyncClient& from, const std::string& file) {
    std::vector<Answer> answers;
    EXPECT_TRUE(from.requestImages({file}, 0, false, kTimeout, &answers));
    return answers.empty() ? Answer() : answers[0];
  };
  auto bytes = [](const Answer& answer) {
    return std::string(reinterpret_cast<const char*>(answer.data()), answer.length());
  };

  Answer held = fetch(*client, first);
  ASSERT_TRUE(held.payload.isShared());
  const uint8_t* firstMemory = held.data();
  // While the first answer is held its memory is not written again.
  for (int i = 0; i < 3; ++i) {
    Answer next = fetch(*client, second);
    EXPECT_NE(next.data(), firstMemory);
    EXPECT_EQ(bytes(next), secondBytes);
  }
  EXPECT_EQ(bytes(held), firstBytes);
  // Released, it serves the next answer, in the mapping the client has.
  held = Answer();
  bool reused = false;
  for (int i = 0; i < 50 && !reused; ++i) {  // the release travels meanwhile
    Answer next = fetch(*client, first);
    EXPECT_EQ(bytes(next), firstBytes);
    reused = next.data() == firstMemory;
  }
  EXPECT_TRUE(reused);
  // Ever larger answers: the pool drops segments too small to make room,
  // and the client unmaps them.
  for (uint32_t side : {150u, 220u, 260u, 300u, 330u, 360u}) {
    const std::string file = bmp("square" + std::to_string(side) + ".bmp", side, side);
    EXPECT_EQ(bytes(fetch(*client, file)), imagefiles::readFile(file));
  }
  // Another client gets memory of its own, and both stay correct.
  auto other = connect();
  ASSERT_NE(other, nullptr);
  Answer mine = fetch(*client, first);
  EXPECT_EQ(bytes(fetch(*other, second)), secondBytes);
  EXPECT_EQ(bytes(mine), firstBytes);
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
  // Up to the limit the answers come; one past it the array cannot be made.
  ASSERT_TRUE(client->requestImage(std::vector<std::string>(7, image), 0, false));
  ASSERT_TRUE(handler.waitAnswers(7));
  EXPECT_EQ(results(), (std::map<int32_t, size_t>{{RESULT_OK, 6},
                                                  {imageserver::client::RESULT_OUT_OF_MEMORY, 1}}));
  // At the limit, a new request waits unread: no job is made for it, while
  // another client is served.
  ASSERT_TRUE(client->requestImage({image}, 0, false));
  EXPECT_TRUE(serves(image));
  usleep(100 * 1000);
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
  EXPECT_EQ(results(), (std::map<int32_t, size_t>{{RESULT_OK, 6}}));
  // A client that holds its limit, asks again and releases nothing for the
  // grace time is disconnected, and that is logged once.
  ASSERT_TRUE(client->requestImage({image}, 0, false));
  ASSERT_TRUE(handler.waitClosed());
  EXPECT_TRUE(eventually([] { return transportLogs("released no answer for 300 ms") > 0; }));
  EXPECT_EQ(transportLogs("released no answer for 300 ms"), 1u);
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
  EXPECT_EQ(first.m_versions[0], "2.0.1");
  // The current value is sent before the subscription is recorded.
  EXPECT_TRUE(eventually([&] { return container.count() == 2; }));

  // A version update reaches both subscribers over their own connections.
  m_server->updateSVXVersion(
      CITypesFactory::createString("2.0.2", util::UnicodeString_common::UTF8));
  ASSERT_TRUE(first.waitVersions(2));
  ASSERT_TRUE(second.waitVersions(2));
  EXPECT_EQ(second.m_versions[1], "2.0.2");
  // Clearing on one connection leaves the other's subscription.
  ASSERT_TRUE(b->clearNotification());
  ASSERT_TRUE(b->setNotification());
  ASSERT_TRUE(second.waitVersions(3));
  ASSERT_TRUE(b->clearNotification(imageserver::client::kVersionAttributeId));
  EXPECT_TRUE(eventually([&] { return container.count() == 1; }));
  // A connection that goes away takes its subscriptions with it.
  a.reset();
  EXPECT_TRUE(eventually([&] { return container.count() == 0; }));
  EXPECT_EQ(first.closed(), 0);  // closing it ourselves is not reported

  // The container's bound disconnects the subscriber over its socket.
  std::vector<uint32_t> ids(comm::kMaxSubscriptionsPerSubscriber + 1);
  for (uint32_t i = 0; i < ids.size(); ++i) ids[i] = 1000 + i;
  ASSERT_TRUE(b->setNotification(ids));
  ASSERT_TRUE(second.waitClosed());
  EXPECT_TRUE(eventually([&] {
    return transportLogs(": too many attribute subscriptions") == 1 && container.count() == 0;
  }));
  EXPECT_TRUE(serves(bmp("one.bmp", 1, 1)));
}

// --- Stopping -----------------------------------------------------------------

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
  tracing::setLevel("IMS_Worker", 1);
  RecordingHandler handler;
  auto client = imageserver::client::Client::connect(kInstance, &handler);
  ASSERT_NE(client, nullptr);
  TraceGate gate("reading undecoded image for");
  // The worker is held inside the first job; the second waits in the queue.
  ASSERT_TRUE(client->requestImage({image, image}, 0, false));
  ASSERT_TRUE(gate.waitEntered());
  EXPECT_TRUE(eventually([&] { return getNumPendingRequests(m_server) == 1; }));

  std::thread stopper([&] { stopServer(); });
  struct stat status;
  for (int i = 0; i < 10000 && lstat(socketPath().c_str(), &status) == 0; ++i) usleep(1000);
  ASSERT_NE(lstat(socketPath().c_str(), &status), 0) << "the service did not unregister";
  // Unregistered: nobody new gets in, and a new request is not served;
  // the connection stays open for the answer of the job in hand.
  EXPECT_EQ(SyncClient::connect(kInstance), nullptr);
  ASSERT_TRUE(client->requestImageInformation({image}));
  usleep(100 * 1000);
  EXPECT_TRUE(client->isConnected());
  EXPECT_EQ(handler.closed(), 0);

  gate.open();
  stopper.join();
  ASSERT_TRUE(handler.waitClosed());
  std::lock_guard<std::mutex> lock(handler.m_mutex);
  ASSERT_EQ(handler.m_answers.size(), 1u);  // the queued job was discarded unanswered
  EXPECT_EQ(handler.m_answers[0].kind, Answer::IMAGE);
  EXPECT_EQ(handler.m_answers[0].result, RESULT_OK);
  EXPECT_EQ(handler.m_answers[0].length(), imagefiles::readFile(image).size());
}

TEST_F(E2eTest, AStopDeliversEveryAnswerOfTheJobsThatRanToAClientThatReads) {
  // A client that reads slowly must see one answer for every job that ran,
  // although the stop comes while they are queued.
  class SlowHandler : public RecordingHandler {
   public:
    void onAnswer(const Answer& answer) override {
      usleep(200);
      RecordingHandler::onAnswer(answer);
    }
  };
  const std::string image = bmp("load.bmp", 16, 16);
  constexpr size_t kRequested = 4000;
  tracing::setLevel("IMS_Worker", 1);
  SlowHandler handler;
  auto client = imageserver::client::Client::connect(kInstance, &handler);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->requestImageInformation(std::vector<std::string>(kRequested, image)));
  for (int i = 0; i < 30000 && getNumPendingRequests(m_server) == 0; ++i) usleep(1000);
  for (int i = 0; i < 30000 && getNumPendingRequests(m_server) > kRequested / 2; ++i) usleep(1000);
  stopServer();
  ASSERT_TRUE(handler.waitClosed());
  const size_t ran = testsupport::traces().count("IMS_Worker", 1, "getting file info for " + image);
  std::lock_guard<std::mutex> lock(handler.m_mutex);
  EXPECT_GT(ran, 0u);
  EXPECT_EQ(handler.m_answers.size(), ran);
  for (const auto& answer : handler.m_answers) EXPECT_EQ(answer.result, RESULT_OK);
}

// Sends a request for |count| undecoded copies of |image| on |fd|.
void requestCopies(int fd, const std::string& image, uint32_t count) {
  WireWriter request(comm::kKindRequest, svx::imageserver::wire::kRequestImage);
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
std::vector<uint8_t> readToEnd(int fd) {
  struct timeval limit = {30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  std::vector<uint8_t> stream;
  uint8_t buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof(buffer))) > 0)
    stream.insert(stream.end(), buffer, buffer + got);
  EXPECT_EQ(got, 0) << "the stream did not end";
  return stream;
}

TEST_F(E2eTest, AStopWaitsNoLongerThanItsDrainTimeForAClientThatNeverReads) {
  const std::string image = bmp("mid.bmp", 100, 100);  // about 30 KiB: inline answers
  constexpr uint32_t kDrainMs = 300;
  comm::Transport::instance().setStopDrainTime(kDrainMs);
  int fd = rawConnect(socketPath());
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
  EXPECT_GE(took, std::chrono::milliseconds(kDrainMs));
  EXPECT_LT(took, std::chrono::milliseconds(kDrainMs) + 20s);  // a guard against a hang
  size_t logged = 0;
  for (const auto& m : testsupport::traces().messages())
    logged += m.channel == "COMM_Transport" && m.level == 3 &&
              m.text.rfind("stop: dropped ", 0) == 0 &&
              m.text.find(" answers to 1 clients that did not read them within 300 ms") !=
                  std::string::npos;
  EXPECT_EQ(logged, 1u);
  // What was written before can still be read; then the stream ends.
  EXPECT_LT(readToEnd(fd).size(), kAnswers * 30000u);
  close(fd);
}

TEST_F(E2eTest, AClientThatShutsDownItsSendingSideGetsEveryAnswerThenTheEnd) {
  const std::string image = bmp("ok.bmp", 2, 2);
  // Accepted and refused locators: answered later by the worker and at once.
  constexpr uint32_t kAccepted = 50;
  WireWriter request(comm::kKindRequest, svx::imageserver::wire::kRequestImageInformation);
  request.putU8(1);
  request.putU32(kAccepted + 1);
  for (uint32_t i = 0; i < kAccepted; ++i) request.putString(image.data(), image.size());
  request.putString("/missing", 8);
  std::vector<uint8_t>& bytes = request.finish();
  int fd = rawConnect(socketPath());
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
  const std::vector<uint8_t> stream = readToEnd(fd);
  close(fd);
  uint32_t answers = 0;
  for (size_t offset = 0; offset + comm::kWireHeaderSize <= stream.size(); ++answers) {
    uint8_t kind;
    uint32_t slot, size, fds;
    ASSERT_TRUE(comm::parseHeader(stream.data() + offset, &kind, &slot, &size, &fds).ok());
    offset += comm::kWireHeaderSize + size;
  }
  EXPECT_EQ(answers, kAccepted + 1);
}

// --- Broken and hostile clients -----------------------------------------------

TEST_F(E2eTest, BrokenPeersAreDisconnectedAndOthersStillServed) {
  const std::string image = bmp("ok.bmp", 2, 2);
  auto header = [](uint8_t kind, uint32_t slot, uint32_t size, uint16_t fds) {
    WireWriter writer(static_cast<comm::MessageKind>(kind), slot);
    std::vector<uint8_t> bytes = writer.finish();
    bytes[6] = static_cast<uint8_t>(fds);
    for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<uint8_t>(size >> (8 * i));
    return bytes;
  };
  auto request = [](uint32_t slot, std::function<void(WireWriter&)> fields) {
    WireWriter writer(comm::kKindRequest, slot);
    fields(writer);
    return writer.finish();
  };
  auto release = [](std::vector<uint32_t> values) {
    WireWriter writer(comm::kKindSegmentRelease, 0);
    writer.putU32(static_cast<uint32_t>(values.size() / 2));
    for (uint32_t value : values) writer.putU32(value);
    return writer.finish();
  };
  std::vector<uint8_t> badMagic = header(1, 1, 0, 0);
  badMagic[0] ^= 0xff;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int fds;  // descriptors sent with the bytes
  };
  const Case cases[] = {
      {"bad magic", badMagic, 0},
      {"oversized message", header(1, 0, comm::kMaxMessageSize, 0), 0},
      {"reply kind from a client", header(2, 0, 0, 0), 0},
      {"unknown slot", header(1, 10, 0, 0), 0},
      {"truncated field",
       request(1,
               [](WireWriter& w) {
                 w.putU8(1);
                 w.putU32(2);
                 w.putU8(1);
                 w.putU32(50);  // a 50-byte string that is not there
               }),
       0},
      {"trailing bytes", request(2, [](WireWriter& w) { w.putU32(1); }), 0},
      {"bad bool",
       request(0,
               [](WireWriter& w) {
                 w.putU8(0);
                 w.putI8(0);
                 w.putU8(9);
               }),
       0},
      {"descriptor on a request", header(1, 2, 0, 1), 1},
      {"too many descriptors", header(1, 2, 0, 2), 3},
      {"descriptors the header does not announce", header(1, 5, 0, 0), 1},
      {"release of a segment never sent", release({7, 1}), 0},
      {"empty release", release({}), 0},
      {"drop kind from a client", header(comm::kKindSegmentDrop, 0, 0, 0), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::traces().clear();
    int fd = rawConnect(socketPath());
    struct iovec iov = {const_cast<uint8_t*>(c.bytes.data()), c.bytes.size()};
    struct msghdr message;
    std::memset(&message, 0, sizeof(message));
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * 3)];
    int sent[3] = {-1, -1, -1};
    if (c.fds > 0) {
      for (int i = 0; i < c.fds; ++i) sent[i] = open("/dev/null", O_RDONLY | O_CLOEXEC);
      message.msg_control = control;
      message.msg_controllen = CMSG_SPACE(sizeof(int) * c.fds);
      struct cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
      cmsg->cmsg_level = SOL_SOCKET;
      cmsg->cmsg_type = SCM_RIGHTS;
      cmsg->cmsg_len = CMSG_LEN(sizeof(int) * c.fds);
      std::memcpy(CMSG_DATA(cmsg), sent, sizeof(int) * c.fds);
    }
    ASSERT_EQ(sendmsg(fd, &message, MSG_NOSIGNAL), static_cast<ssize_t>(c.bytes.size()));
    for (int i = 0; i < c.fds; ++i) close(sent[i]);
    // The service hangs up on this client only.
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 0);
    close(fd);
    EXPECT_GE(transportLogs("closing connection"), 1u);
    EXPECT_TRUE(serves(image));
  }
  // A client that sends half a message and goes away.
  int fd = rawConnect(socketPath());
  std::vector<uint8_t> half = header(1, 1, 100, 0);
  ASSERT_EQ(write(fd, half.data(), 10), 10);
  close(fd);
  EXPECT_TRUE(serves(image));
}

TEST_F(E2eTest, AClientThatNeverReadsIsDisconnectedAndOthersAreServed) {
  const std::string image = bmp("mid.bmp", 100, 100);  // about 30 KiB: inline answers
  int fd = rawConnect(socketPath());
  ASSERT_GE(fd, 0);
  // More answers than the outgoing queue holds in bytes.
  constexpr uint32_t kAnswers = 400;
  static_assert(kAnswers * 30000u > comm::kMaxQueuedBytes + 1024 * 1024);
  requestCopies(fd, image, kAnswers);
  EXPECT_TRUE(serves(image));  // meanwhile
  // The worker answers them all; the silent client's queue overflows.
  for (int i = 0; i < 30000 && getNumPendingRequests(m_server) > 0; ++i) usleep(1000);
  EXPECT_TRUE(eventually([] { return transportLogs("outgoing queue full") > 0; }));
  // What was written before the disconnection can still be read; then the
  // stream ends.
  EXPECT_LT(readToEnd(fd).size(), kAnswers * 30000u);
  close(fd);
  EXPECT_TRUE(serves(image));
}

TEST_F(E2eTest, AThousandClientsComeAndGo) {
  const std::string image = bmp("small.bmp", 8, 8);
  for (int i = 0; i < 1000; ++i) {
    auto client = connect();
    ASSERT_NE(client, nullptr) << i;
    std::vector<Answer> answers;
    ASSERT_TRUE(i % 100 != 0 || client->requestInformation({image}, kTimeout, &answers)) << i;
  }
  EXPECT_TRUE(serves(image));
}

// --- Other processes ------------------------------------------------------------

// Starts this test program as a child process running the disabled test
// E2eChild.|test|, with |env| added to its environment.
pid_t spawnChild(const std::string& test, const std::vector<std::string>& env) {
  std::string filter = "--gtest_filter=E2eChild." + test;
  std::string all = "--gtest_also_run_disabled_tests";
  std::string exe = "/proc/self/exe";
  std::vector<std::string> environment(env);
  for (char** e = environ; *e != nullptr; ++e) environment.push_back(*e);
  std::vector<char*> envp;
  for (auto& item : environment) envp.push_back(item.data());
  envp.push_back(nullptr);
  std::vector<char*> argv = {exe.data(), filter.data(), all.data(), nullptr};
  pid_t pid;
  return posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) == 0 ? pid : -1;
}

// The exit status of child |pid|.
int waitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(E2eTest, AClientThatDiesWhileALargeAnswerIsUnderWayHarmsNobody) {
  const std::string big = bmp("big.bmp", 400, 300);
  const std::string huge = bmp("huge.bmp", 2800, 2700);  // 30 MB of pixels
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(waitChild(spawnChild("DISABLED_Client", {"E2E_CHILD_FILE=" + (i == 0 ? huge : big)})),
              0);
  // The service goes on serving, once the worker is through the abandoned
  // jobs (slow in sanitizer builds: three decodes of the huge picture).
  auto client = connect();
  ASSERT_NE(client, nullptr);
  std::vector<Answer> answers;
  ASSERT_TRUE(client->requestImages({big}, 0, true, 4 * kTimeout, &answers));
  EXPECT_EQ(answers[0].result, RESULT_OK);
}

// The child process's side of the test above: it asks for large answers
// and vanishes before they come.
TEST(E2eChild, DISABLED_Client) {
  const std::string file = std::getenv("E2E_CHILD_FILE");
  imageserver::client::Handler handler;
  auto client = imageserver::client::Client::connect(testsupport::ServiceTest::kInstance, &handler);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->requestImage({file, file, file}, 0, true));
  ASSERT_TRUE(client->requestImage({file}, 0, false));
  _exit(0);
}

TEST_F(E2eTest, AServiceOutOfDescriptorsKeepsServingAndAcceptsLater) {
#if defined(__SANITIZE_ADDRESS__)
  // The address and undefined-behaviour checkers probe memory through a
  // pipe: with no descriptor left they take valid objects for broken ones.
  GTEST_SKIP() << "needs free descriptors for the sanitizer runtime";
#endif
  const std::string ready = m_files.file("ready");
  pid_t pid = spawnChild("DISABLED_LimitedService", {"E2E_CHILD_FILE=" + m_files.path()});
  ASSERT_GT(pid, 0);
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
  // Existing clients go on being served.
  for (auto& client : first)
    EXPECT_TRUE(client->interfaceVersion(kTimeout, &version, &error)) << error;
  // Free descriptors: the waiting client is accepted and served.
  first.clear();
  EXPECT_TRUE(waiting->interfaceVersion(kTimeout, &version, &error)) << error;
  waiting.reset();
  auto again = SyncClient::connect(options, &error);
  ASSERT_NE(again, nullptr) << error;
  EXPECT_TRUE(again->interfaceVersion(kTimeout, &version, &error)) << error;
  EXPECT_EQ(version.version, "2.0.1");

  imagefiles::writeFile(m_files.file("stop"), "");
  EXPECT_EQ(waitChild(pid), 0);
}

// The child's side: a service whose process has only three descriptors to
// spare once it listens.
TEST(E2eChild, DISABLED_LimitedService) {
  const std::string control = std::getenv("E2E_CHILD_FILE");
  testsupport::TempDir config;
  util::config::Provider::setStoreRoot(config.path().c_str());
  ASSERT_TRUE(svx::imageserver::wire::installTransport());
  ImageServer* server = startImageServer(testsupport::ServiceTest::kInstance + 1);
  ASSERT_TRUE(server->registration().isAlive());
  // Count the descriptors once the worker is done with its configuration.
  for (int i = 0; i < 2000 && !testsupport::workerReady(); ++i) usleep(1000);
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

// --- The runtime folder and socket ------------------------------------------------

TEST_F(E2eTest, FolderAndSocketArePrivateAndGoWithTheService) {
  EXPECT_EQ(testsupport::threadCount("comm-dispatch"), 2u);
  struct stat status;
  ASSERT_EQ(stat(s_runDir.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  ASSERT_EQ(lstat(socketPath().c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  stopServer();
  EXPECT_NE(lstat(socketPath().c_str(), &status), 0);
  // The transport's threads end with the last service, and come back with
  // the next one.
  EXPECT_EQ(testsupport::threadCount("comm-dispatch"), 0u);
  m_server = startImageServer(kInstance);
  EXPECT_TRUE(serves(bmp("ok.bmp", 2, 2)));
}

TEST_F(E2eTest, AGroupSharedFolderLetsTheGroupConnectAndNobodyElse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  // An operator's folder: group 65534 may enter, others may not.
  const std::string folder = m_files.file("group");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(m_files.path().c_str(), 0711), 0);
  ASSERT_EQ(chown(folder.c_str(), 0, 65534), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0770), 0);
  setenv(comm::kRuntimeDirVariable, folder.c_str(), 1);
  ASSERT_TRUE(start(kInstance + 1)->registration().isAlive());
  const std::string socket = comm::socketPath(folder, "svx.imageserver.ImageServer", kInstance + 1);
  struct stat status;
  ASSERT_EQ(lstat(socket.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0660u);
  EXPECT_EQ(lstat(folder.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0770u);  // left as the operator made it

  // A member of the group connects; a user outside it is refused. The socket
  // file belongs to root's group here, so the member is given it as well.
  ASSERT_EQ(chown(socket.c_str(), 0, 65534), 0);
  for (gid_t gid : {gid_t(65534), gid_t(65533)}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Only async-signal-safe calls between fork and _exit.
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(65534) != 0) _exit(2);
      int fd = rawConnect(socket);
      _exit(fd >= 0 ? 0 : (errno == EACCES ? 1 : 3));
    }
    EXPECT_EQ(waitChild(pid), gid == 65534 ? 0 : 1) << "gid " << gid;
  }
}

TEST_F(E2eTest, DefaultFolderComesFromTheUsersRuntimeDirectory) {
  unsetenv(comm::kRuntimeDirVariable);
  const char* previous = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = previous != nullptr ? previous : "";
  setenv("XDG_RUNTIME_DIR", m_files.path().c_str(), 1);
  const std::string folder = m_files.file("imageserver");
  EXPECT_EQ(comm::runtimeDirectory(), folder);
  EXPECT_EQ(comm::runtimeDirectory("/elsewhere"), "/elsewhere");
  // A default folder that is too open is tightened.
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  chmod(folder.c_str(), 0755);
  EXPECT_TRUE(start(kInstance + 1)->registration().isAlive());
  struct stat status;
  ASSERT_EQ(stat(folder.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  EXPECT_EQ(lstat(comm::socketPath(folder, "svx.imageserver.ImageServer", kInstance + 1).c_str(),
                  &status),
            0);
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(comm::runtimeDirectory(), "/tmp/imageserver-" + std::to_string(getuid()));
  if (!saved.empty()) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

TEST_F(E2eTest, StaleSocketIsReplacedLiveSocketRefuses) {
  auto bindAt = [](const std::string& where, bool listening) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, where.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_TRUE(!listening || listen(fd, 4) == 0);
    return fd;
  };
  close(bindAt(socketPath(kInstance + 1), false));  // its process is gone
  EXPECT_TRUE(start(kInstance + 1)->registration().isAlive());

  int live = bindAt(socketPath(kInstance + 2), true);
  EXPECT_FALSE(start(kInstance + 2)->registration().isAlive());
  EXPECT_FALSE(comm::ServiceDirectory::instance().isRegistered("svx.imageserver.ImageServer",
                                                               kInstance + 2));
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("served already"), std::string::npos)
      << kor::ErrorStorage::reason();
  kor::ErrorStorage::ack();
  // The other owner's socket is left alone.
  struct stat status;
  EXPECT_EQ(lstat(socketPath(kInstance + 2).c_str(), &status), 0);
  // The probe connection waits in the live socket's backlog; take it.
  int probe = accept(live, nullptr, nullptr);
  if (probe >= 0) close(probe);
  close(live);
}

TEST_F(E2eTest, ServicesOfOtherNamesStayInProcess) {
  class Target : public comm::ServiceTarget {};
  Target target;
  comm::ServiceRegistration registration(new comm::ServiceRegistrationRecord(
      kor::UUID(), 1, kor::UUID(), "some.other.Service", &target));
  ASSERT_EQ(registration.registerService(), 0);
  struct stat status;
  EXPECT_NE(lstat(comm::socketPath(s_runDir, "some.other.Service", 1).c_str(), &status), 0);
  EXPECT_EQ(registration.unregisterService(), 0);
}

}  // namespace
