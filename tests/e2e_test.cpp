// End to end: a real service in this process, reached through its socket by
// the client library (in this process and in a child process) and by raw
// connections that break the protocol. What the parts behind the socket
// decide (validation, statuses, log texts, the wire format, the pools'
// arithmetic) is tested with those parts; here, what only the whole path
// shows.
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
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "imageserver/jobs/Job.h"
#include "platform/lumo/sandbox.h"
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
namespace wire = svx::imageserver::wire;

constexpr double kTimeout = testsupport::ServiceTest::kTimeout;

// Records what a Client's handler receives. Tests read the lists with copy()
// and wait for them with waitFor(), both under the lock.
class RecordingHandler : public imageserver::client::Handler {
 public:
  void onAnswer(const Answer& answer) override { add(answers, answer); }
  void onVersion(const imageserver::client::VersionUpdate& update) override {
    add(versions, update.version);
  }
  void onClosed(const std::string& reason) override { add(closings, reason); }
  template <class T>
  std::vector<T> copy(const std::vector<T>& list) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return list;
  }
  template <class T>
  bool waitFor(const std::vector<T>& list, size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::duration<double>(kTimeout),
                              [&] { return list.size() >= count; });
  }
  void clearAnswers() {
    std::lock_guard<std::mutex> lock(m_mutex);
    answers.clear();
  }
  std::vector<Answer> answers;  // Guarded by m_mutex, as are the two below.
  std::vector<std::string> versions;
  std::vector<std::string> closings;

 private:
  template <class T>
  void add(std::vector<T>& list, const T& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    list.push_back(value);
    m_changed.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

// Level 3 transport messages that contain |part|.
size_t transportLogs(const std::string& part) {
  return testsupport::traces().countContaining("COMM_Transport", 3, part);
}

// Waits (at most |ms| milliseconds, a guard against a hang) until |done|
// holds; whether it does.
template <class P>
bool eventually(P done, int ms = 5000) {
  for (int i = 0; i < ms && !done(); ++i) usleep(1000);
  return done();
}

std::string bytesOf(const Answer& answer) {
  return std::string(reinterpret_cast<const char*>(answer.data()), answer.length());
}

// The answer to a request for |file|'s bytes, which it checks.
Answer fetch(SyncClient& client, const std::string& file) {
  std::vector<Answer> answers;
  EXPECT_TRUE(client.requestImages({file}, 0, false, kTimeout, &answers).ok());
  if (answers.empty()) return Answer();
  EXPECT_EQ(bytesOf(answers[0]), imagefiles::readFile(file));
  return answers[0];
}

// Puts the arguments of a request for the undecoded files |locators|.
void putFileRequest(WireWriter& request, const std::vector<std::string>& locators) {
  request.putU8(1);
  request.putU32(static_cast<uint32_t>(locators.size()));
  for (const std::string& locator : locators) request.putString(locator.data(), locator.size());
  request.putI8(0);
  request.putBool(false);
}

// Sends a request for the undecoded files |locators| on |fd|.
void requestFiles(int fd, const std::vector<std::string>& locators) {
  WireWriter request(comm::kKindRequest, wire::kRequestImage);
  putFileRequest(request, locators);
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

// The payloads of the messages in |stream|, each as a reader of it.
std::vector<comm::WireReader> messagesIn(const std::vector<uint8_t>& stream) {
  std::vector<comm::WireReader> out;
  for (size_t offset = 0; offset + comm::kWireHeaderSize <= stream.size();) {
    uint8_t kind;
    uint32_t slot, size, fds;
    EXPECT_TRUE(comm::parseHeader(stream.data() + offset, &kind, &slot, &size, &fds).ok());
    out.emplace_back(stream.data() + offset + comm::kWireHeaderSize, size);
    offset += comm::kWireHeaderSize + size;
  }
  return out;
}

// Declares |name|, the client that |call| connects, or ends the test.
#define CONNECTED(name, call) \
  auto name = call;           \
  ASSERT_NE(name, nullptr)

class E2eTest : public testsupport::ServiceTest {};

// --- Answers ------------------------------------------------------------------

TEST_F(E2eTest, EveryAnswerKindAndStatusCrossesTheSocket) {
  const std::string image = bmp("small.bmp", 3, 2);
  const int64_t size = static_cast<int64_t>(imagefiles::readFile(image).size());
  const std::string garbage = m_files.write("garbage.bmp", "not an image at all");
  const std::string missing = m_files.file("missing.bmp");
  CONNECTED(client, connect());
  std::vector<Answer> answers;
  // Every field of the information record (the hash holds the file size in
  // both halves).
  auto expectInfo = [&](const Answer& answer, int32_t format) {
    EXPECT_EQ(std::make_tuple(answer.hasInfo, answer.info.format, answer.info.width,
                              answer.info.height, answer.info.hash, answer.info.fileSize),
              std::make_tuple(true, format, 3u, 2u, size * 4294967297LL, size));
  };

  // File bytes, without and with the information record; pixels.
  Answer bytes = fetch(*client, image);
  EXPECT_EQ(std::make_tuple(bytes.kind, bytes.locator, bytes.result, bytes.hasInfo, bytes.decoded),
            std::make_tuple(Answer::IMAGE, image, int32_t{RESULT_OK}, false, false));
  ASSERT_TRUE(client->requestFiles({"file://" + image}, true, kTimeout, &answers).ok());
  expectInfo(answers[0], imageserver::client::IMAGE_FORMAT_BMP);
  EXPECT_TRUE(answers[0].hasImage && !answers[0].decoded);
  ASSERT_TRUE(client->requestImages({image}, 0, true, kTimeout, &answers).ok());
  EXPECT_TRUE(answers[0].decoded);
  expectInfo(answers[0], answers[0].info.format);
  EXPECT_EQ(answers[0].length(), answers[0].dataLength);
  // Information.
  ASSERT_TRUE(client->requestInformation({image}, kTimeout, &answers).ok());
  EXPECT_EQ(answers[0].kind, Answer::INFORMATION);
  expectInfo(answers[0], imageserver::client::IMAGE_FORMAT_BMP);
  // Failures, refused as the request arrives and by the job, carry no record
  // (and read as no format).
  for (int operation = 0; operation < 3; ++operation) {
    ASSERT_TRUE(
        operation < 2
            ? client->requestImages({missing, garbage}, 0, operation == 1, kTimeout, &answers).ok()
            : client->requestInformation({missing, garbage}, kTimeout, &answers).ok());
    for (const Answer& answer : answers)
      EXPECT_EQ(std::make_tuple(answer.result, answer.hasImage, answer.hasInfo, answer.info.format),
                std::make_tuple(int32_t{RESULT_INVALID_IMAGE}, false, false,
                                int32_t{imageserver::client::IMAGE_FORMAT_UNKNOWN}))
          << operation << " " << answer.locator;
  }

  // The attribute carries the interface's own version, whatever the
  // package's is.
  static_assert(std::string_view(svx::imageserver::kInterfaceVersion) == "2.0.1");
  imageserver::client::VersionUpdate version;
  ASSERT_TRUE(client->interfaceVersion(kTimeout, &version).ok());
  EXPECT_EQ(std::make_tuple(version.version, version.valid),
            std::make_tuple(std::string(svx::imageserver::kInterfaceVersion), true));
}

TEST_F(E2eTest, EveryLocatorIsAnsweredWhateverItsLengthOrNumber) {
  // A real file at a path of the kernel's greatest length, behind file://:
  // folders until a file name (at most 255 bytes) fills the path.
  std::string longest = m_files.path();
  while (PATH_MAX - 2 - longest.size() > 255) {
    longest += "/" + std::string(std::min<size_t>(255, PATH_MAX - 2 - longest.size() - 101), 'd');
    ASSERT_EQ(mkdir(longest.c_str(), 0700), 0) << longest.size();
  }
  longest += "/" + std::string(PATH_MAX - 1 - longest.size() - 1 - 4, 'n') + ".bmp";
  ASSERT_EQ(longest.size(), size_t{PATH_MAX - 1});
  ASSERT_TRUE(imagefiles::writeBmp(longest, 1, 1, std::vector<uint8_t>(4).data()));
  // The longest locator the library sends, and one byte more.
  const std::string atLimit = "/" + std::string(imageserver::client::kMaxLocatorLength - 1, 'y');
  const std::string pastLimit = atLimit + "y";
  CONNECTED(client, connect());
  std::vector<Answer> answers;
  ASSERT_TRUE(
      client->requestInformation({"file://" + longest, atLimit, pastLimit}, kTimeout, &answers)
          .ok());
  std::map<std::string, int32_t> results;
  for (const Answer& answer : answers) results[answer.locator] = answer.result;
  EXPECT_EQ(results, (std::map<std::string, int32_t>{{"file://" + longest, RESULT_OK},
                                                     {atLimit, RESULT_INVALID_IMAGE},
                                                     {pastLimit, RESULT_INVALID_IMAGE}}));
  // The service refused the one it got; the library answered the one it
  // could not send.
  auto refusals = [](const std::string& locator) {
    return testsupport::traces().count(
        "IMS_Interface", 3,
        "requestImageInformation: resourceLocator " + locator + " appears to be no valid image");
  };
  EXPECT_EQ(std::make_pair(refusals(atLimit), refusals(pastLimit)), std::make_pair(1ul, 0ul));

  // A request larger than one message, in bytes or in locators, goes as
  // several; five locators of this length fill a message to the byte.
  const size_t filling = (comm::kMaxMessageSize - comm::kWireHeaderSize - 5) / 5 - 5;
  ASSERT_EQ(comm::kWireHeaderSize + 5 + 5 * (5 + filling), comm::kMaxMessageSize);
  std::vector<std::string> many(6, "/missing/" + std::string(filling - 9, 'm'));
  many.resize(6 + comm::kMaxArrayCount + 1, "/missing/short");
  ASSERT_TRUE(client->requestInformation(many, kTimeout, &answers).ok());
  EXPECT_EQ(answers.size(), many.size());
}

TEST_F(E2eTest, ArraysFromTheThresholdUpArriveInSealedSharedMemoryUntilReleased) {
  // File bytes one below and at the threshold: readers ignore the bytes
  // after the pixels, the service delivers them.
  auto padded = [&](const std::string& name, size_t size) {
    std::string bytes = imagefiles::readFile(bmp(name, 8, 8));
    bytes.resize(size, name[0]);
    return m_files.write(name, bytes);
  };
  const std::string at = padded("at.bmp", comm::kSegmentThreshold);
  const std::string other = padded("other.bmp", comm::kSegmentThreshold);
  CONNECTED(client, connect());
  EXPECT_FALSE(fetch(*client, padded("below.bmp", comm::kSegmentThreshold - 1)).payload.isShared());
  Answer held = fetch(*client, at);
  ASSERT_TRUE(held.payload.isShared());

  // While the answer is held its memory is not written again; released, it
  // serves a later answer, in the mapping the client has.
  const uint8_t* memory = held.data();
  for (int i = 0; i < 3; ++i) EXPECT_NE(fetch(*client, other).data(), memory);
  EXPECT_EQ(bytesOf(held), imagefiles::readFile(at));
  held = Answer();
  bool reused = false;
  for (int i = 0; i < 50 && !reused; ++i)  // the release travels meanwhile
    reused = fetch(*client, at).data() == memory;
  EXPECT_TRUE(reused);
  // Ever larger answers: the pool drops segments too small to make room,
  // and the client unmaps them.
  for (uint32_t side : {150u, 220u, 260u, 300u, 330u, 360u})
    fetch(*client, bmp("square" + std::to_string(side) + ".bmp", side, side));
  // Another client gets memory of its own; answers outlive the connection.
  CONNECTED(second, connect());
  held = fetch(*client, at);
  fetch(*second, other);
  client.reset();
  EXPECT_EQ(bytesOf(held), imagefiles::readFile(at));
}

TEST_F(E2eTest, AClientAtItsSharedMemoryLimitIsHeldBackUntilItReleasesOrItsGraceEnds) {
  const std::string image = bmp("quarter.bmp", 256, 256);  // 196,662 bytes: shared memory
  // Room for six answers: four in the pool's segments (rounded up to 64 KiB
  // units), two more in segments of their own (their exact size).
  const uint64_t size = imagefiles::readFile(image).size();
  comm::setClientMemoryLimit(4 * 262144 + 2 * size);
  comm::Transport::getInstance().setClientMemoryGraceTime(60000);
  RecordingHandler handler;  // keeps every answer, so it releases nothing
  CONNECTED(client, imageserver::client::Client::connect(kInstance, &handler));
  auto results = [&] {
    std::map<int32_t, size_t> counts;
    for (const Answer& answer : handler.copy(handler.answers)) ++counts[answer.result];
    return counts;
  };
  constexpr int32_t kOutOfMemory = imageserver::client::RESULT_OUT_OF_MEMORY;
  // Up to the limit the answers come; one past it the array cannot be made.
  ASSERT_TRUE(client->requestImage(std::vector<std::string>(7, image), 0, false).ok() &&
              handler.waitFor(handler.answers, 7));
  EXPECT_EQ(results(), (std::map<int32_t, size_t>{{RESULT_OK, 6}, {kOutOfMemory, 1}}));
  // At the limit, a new image request waits: no job is made for it, while
  // another client is served, and an information request of its own is
  // answered at once.
  ASSERT_TRUE(client->requestImage({image}, 0, false).ok());
  EXPECT_TRUE(serves(image));
  ASSERT_TRUE(client->requestImageInformation({image}).ok() && handler.waitFor(handler.answers, 8));
  EXPECT_EQ(handler.copy(handler.answers).back().kind, Answer::INFORMATION);
  usleep(100 * 1000);
  EXPECT_EQ(handler.copy(handler.answers).size(), 8u);
  EXPECT_EQ(getNumPendingRequests(m_server), 0u);
  // Released, the held request is served, and every byte of the limit is
  // free again: six more answers fit.
  handler.clearAnswers();
  ASSERT_TRUE(handler.waitFor(handler.answers, 1));
  ASSERT_TRUE(client->requestImage(std::vector<std::string>(5, image), 0, false).ok() &&
              handler.waitFor(handler.answers, 6));
  EXPECT_EQ(results(), (std::map<int32_t, size_t>{{RESULT_OK, 6}}));
  // Holding its limit and releasing nothing for the grace time, its held
  // request is dispatched and refused the memory (logged once); so is the
  // next one at once. The connection stays.
  comm::Transport::getInstance().setClientMemoryGraceTime(300);
  ASSERT_TRUE(client->requestImage({image}, 0, false).ok() && handler.waitFor(handler.answers, 7));
  ASSERT_TRUE(client->requestImage({image}, 0, false).ok() && handler.waitFor(handler.answers, 8));
  EXPECT_EQ(results(), (std::map<int32_t, size_t>{{RESULT_OK, 6}, {kOutOfMemory, 2}}));
  EXPECT_TRUE(client->isConnected());
  EXPECT_TRUE(handler.copy(handler.closings).empty());
  EXPECT_EQ(transportLogs("released no answer for 300 ms"), 1u);
  // A release ends that: the next request is served.
  handler.clearAnswers();
  ASSERT_TRUE(client->requestImage({image}, 0, false).ok() && handler.waitFor(handler.answers, 1));
  EXPECT_EQ(results(), (std::map<int32_t, size_t>{{RESULT_OK, 1}}));
}

TEST_F(E2eTest, EverySubscriptionCallArrivesAndBelongsToItsConnection) {
  using imageserver::client::kVersionAttributeId;
  comm::AttributeNotificationContainer& container = m_server->notificationContainer();
  auto stored = [&](size_t n) { return eventually([&] { return container.count() == n; }); };
  RecordingHandler first, second;
  EXPECT_EQ(imageserver::client::Client::connect(kInstance, nullptr), nullptr);  // no handler
  auto a = imageserver::client::Client::connect(kInstance, &first);
  auto b = imageserver::client::Client::connect(kInstance, &second);
  ASSERT_TRUE(a != nullptr && b != nullptr);
  // Each way to subscribe: the current value comes at once. Id 5 is stored
  // but has no value; a connection's id is stored once.
  ASSERT_TRUE(a->setNotification(kVersionAttributeId).ok() && b->setNotification().ok() &&
              b->setNotification(std::vector<uint32_t>{kVersionAttributeId, 5}).ok());
  ASSERT_TRUE(first.waitFor(first.versions, 1) && second.waitFor(second.versions, 2));
  EXPECT_EQ(first.copy(first.versions)[0], "2.0.1");
  EXPECT_TRUE(stored(3));
  // An update reaches both subscribers over their own connections.
  m_server->updateSVXVersion(
      CITypesFactory::createString("2.0.2", util::UnicodeString_common::kUtf8));
  ASSERT_TRUE(first.waitFor(first.versions, 2) && second.waitFor(second.versions, 3));
  EXPECT_EQ(second.copy(second.versions)[2], "2.0.2");
  // Each way to unsubscribe removes what it names on its own connection.
  ASSERT_TRUE(b->clearNotification(std::vector<uint32_t>{5}).ok() && stored(2));
  ASSERT_TRUE(b->clearNotification(kVersionAttributeId).ok() && stored(1));
  ASSERT_TRUE(b->setNotification(5).ok() && stored(2));
  ASSERT_TRUE(b->clearNotification().ok() && stored(1));
  // A connection that goes away takes its subscriptions with it; closing it
  // ourselves is not reported.
  a.reset();
  EXPECT_TRUE(stored(0));
  EXPECT_TRUE(first.copy(first.closings).empty());

  // A list one past the array bound is refused by the library.
  EXPECT_FALSE(b->setNotification(std::vector<uint32_t>(comm::kMaxArrayCount + 1, 1000)).ok());
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
  const std::string image = bmp("one.bmp", 40, 30);
  tracing::setLevel("IMS_Worker", 1);
  RecordingHandler handler;
  CONNECTED(client, imageserver::client::Client::connect(kInstance, &handler));
  TraceGate gate("reading decoded image for");
  // The worker is held inside the first decode, before the engine starts;
  // the second waits in the queue.
  ASSERT_TRUE(client->requestImage({image, image}, 0, true).ok());
  ASSERT_TRUE(gate.waitEntered());
  EXPECT_TRUE(eventually([&] { return getNumPendingRequests(m_server) == 1; }));

  std::thread stopper([&] { stopServer(); });
  struct stat status;
  ASSERT_TRUE(eventually([&] { return lstat(socketPath().c_str(), &status) != 0; }, 10000))
      << "the service did not unregister";
  // Unregistered: nobody new gets in, and a new request is not served;
  // the connection stays open for the answer of the job in hand.
  EXPECT_EQ(SyncClient::connect(kInstance), nullptr);
  ASSERT_TRUE(client->requestImageInformation({image}).ok());
  usleep(100 * 1000);
  EXPECT_TRUE(client->isConnected());
  EXPECT_TRUE(handler.copy(handler.closings).empty());

  gate.open();
  stopper.join();
  ASSERT_TRUE(handler.waitFor(handler.closings, 1));
  const std::vector<Answer> answers = handler.copy(handler.answers);
  ASSERT_EQ(answers.size(), 1u);  // the queued job was discarded unanswered
  // The decode ran to its end during the stop: bmp()'s pattern, its fourth
  // byte of each pixel left out.
  EXPECT_EQ(std::make_tuple(answers[0].kind, answers[0].result, answers[0].decoded),
            std::make_tuple(Answer::IMAGE, int32_t{RESULT_OK}, true));
  const std::string pixels = bytesOf(answers[0]);
  ASSERT_EQ(pixels.size(), 40u * 30 * 3);
  for (size_t i = 0; i < pixels.size(); ++i)
    ASSERT_EQ(uint8_t(pixels[i]), uint8_t((i / 3 * 4 + i % 3) * 7 % 251)) << i;
}

TEST_F(E2eTest, AClientOwedManyAnswersIsNotReadUntilTheServiceCatchesUp) {
  const std::string image = bmp("tiny.bmp", 1, 1);
  tracing::setLevel("IMS_Worker", 1);
  TraceGate gate("getting file info for");
  auto request = [&](int fd, size_t count) {
    WireWriter writer(comm::kKindRequest, wire::kRequestImageInformation);
    writer.putU8(1);
    writer.putU32(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) writer.putString(image.data(), image.size());
    std::vector<uint8_t>& bytes = writer.finish();
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  };
  // With the worker held in its first job, the flooder's first request
  // brings it one short of the bound, its second reaches it, and its third
  // is not read.
  int flooder = rawConnect(socketPath());
  request(flooder, comm::kMaxOwedAnswers - 1);
  request(flooder, 1);
  request(flooder, 1);
  ASSERT_TRUE(gate.waitEntered());
  const uint32_t queued = comm::kMaxOwedAnswers - 1;  // one is in the worker's hands
  EXPECT_TRUE(eventually([&] { return getNumPendingRequests(m_server) == queued; }));
  usleep(100 * 1000);
  EXPECT_EQ(getNumPendingRequests(m_server), queued);
  // Another client is read meanwhile, until all clients together are owed
  // their bound: its first request brings them to it, its second waits.
  comm::Transport::getInstance().setMaxOwedAnswersTotal(comm::kMaxOwedAnswers + 1);
  int other = rawConnect(socketPath());
  request(other, 1);
  request(other, 1);
  EXPECT_TRUE(eventually([&] { return getNumPendingRequests(m_server) == queued + 1; }));
  usleep(100 * 1000);
  EXPECT_EQ(getNumPendingRequests(m_server), queued + 1);
  gate.open();
  // Once the worker catches up, the rest is read: every locator answered.
  for (int fd : {flooder, other}) ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
  EXPECT_EQ(messagesIn(readToEnd(flooder)).size(), comm::kMaxOwedAnswers + 1);
  EXPECT_EQ(messagesIn(readToEnd(other)).size(), 2u);
  close(flooder);
  close(other);
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
  // The jobs that ran are counted by their progress lines: every one of them.
  tracing::setLevel("IMS_Worker", 1);
  tracing::setRepeatLimit(0, 0);
  SlowHandler handler;
  CONNECTED(client, imageserver::client::Client::connect(kInstance, &handler));
  ASSERT_TRUE(client->requestImageInformation(std::vector<std::string>(kRequested, image)).ok());
  eventually([&] { return getNumPendingRequests(m_server) > 0; }, 30000);
  eventually([&] { return getNumPendingRequests(m_server) <= kRequested / 2; }, 30000);
  stopServer();
  ASSERT_TRUE(handler.waitFor(handler.closings, 1));
  const size_t ran = testsupport::traces().count("IMS_Worker", 1, "getting file info for " + image);
  const std::vector<Answer> answers = handler.copy(handler.answers);
  EXPECT_GT(ran, 0u);
  EXPECT_EQ(answers.size(), ran);
  for (const auto& answer : answers) EXPECT_EQ(answer.result, RESULT_OK);
}

TEST_F(E2eTest, AClientThatNeverReadsIsCutOffPastItsQueueAndAStopWaitsOnlyItsDrainTime) {
  const std::string image = bmp("mid.bmp", 100, 100);  // about 30 KiB: inline answers
  comm::Transport::getInstance().setStopDrainTime(300);
  // Two clients that never read: one asks for more answers than the socket
  // buffers hold but fewer than its outgoing queue does, one for more than
  // the queue holds.
  constexpr uint32_t kUnder = 200, kOver = 400;
  static_assert(kUnder * 30100u < comm::kMaxQueuedBytes);
  static_assert(kOver * 30000u > comm::kMaxQueuedBytes + 1024 * 1024);
  int under = rawConnect(socketPath()), over = rawConnect(socketPath());
  requestFiles(under, std::vector<std::string>(kUnder, image));
  requestFiles(over, std::vector<std::string>(kOver, image));
  EXPECT_TRUE(serves(image));  // meanwhile
  eventually([&] { return getNumPendingRequests(m_server) == 0; }, 30000);
  usleep(100 * 1000);  // the last job's answer
  // Only the second is cut off. What was written before can still be read;
  // then the stream ends.
  EXPECT_EQ(transportLogs("outgoing queue full"), 1u);
  EXPECT_LT(readToEnd(over).size(), kOver * 30000u);
  close(over);
  EXPECT_TRUE(serves(image));

  // The stop waits its drain time for the first, then drops the rest.
  const auto started = std::chrono::steady_clock::now();
  stopServer();
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 20s);  // a guard against a hang
  EXPECT_EQ(transportLogs(" answers to 1 clients that did not read them within 300 ms"), 1u);
  EXPECT_LT(readToEnd(under).size(), kUnder * 30000u);
  close(under);
}

TEST_F(E2eTest, AClientThatShutsDownItsSendingSideGetsEveryAnswerThenTheEnd) {
  // Accepted and refused locators: answered later by the worker and at once.
  // A locator holding a NUL byte (which the client library never sends) is
  // refused like any that does not validate, never cut short at the NUL.
  const std::string image = bmp("ok.bmp", 2, 2);
  const std::string withNul = image + std::string("\0.png", 5);
  std::vector<std::string> locators(50, image);
  locators.push_back("/missing");
  locators.push_back(withNul);
  int fd = rawConnect(socketPath());
  requestFiles(fd, locators);
  ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
  const std::vector<uint8_t> stream = readToEnd(fd);
  close(fd);
  std::vector<comm::WireReader> answers = messagesIn(stream);
  int32_t nulResult = -1;
  for (comm::WireReader& reply : answers) {
    bool present = false;
    const char* text = nullptr;
    uint32_t length = 0;
    uint8_t hasImage = 1;
    if (reply.getString(&present, &text, &length) && std::string(text, length) == withNul &&
        reply.getU8(&hasImage) && hasImage == 0)
      reply.getI32(&nulResult);
  }
  EXPECT_EQ(answers.size(), locators.size());
  EXPECT_EQ(nulResult, RESULT_INVALID_IMAGE);
}

// --- Broken and hostile clients -----------------------------------------------

// A client written from the transport alone that keeps a mapping of every
// segment it is sent (a duplicate of its descriptor, mapped) however the
// protocol goes on: what it pins is whatever the service leaves it. It
// releases the answers it holds when told to, or never.
class MappingKeeper {
 public:
  explicit MappingKeeper(const std::string& path) {
    comm::ClientConnection::Callbacks callbacks;
    callbacks.onMessage = [this](comm::WireMessage& message) { return onMessage(message); };
    EXPECT_TRUE(comm::ClientConnection::open(path, std::move(callbacks), &m_connection).ok());
  }
  ~MappingKeeper() {
    m_connection.reset();
    for (const Kept& kept : m_kept) munmap(kept.memory, kept.length);
  }

  bool requestFiles(const std::vector<std::string>& locators) {
    WireWriter request(comm::kKindRequest, wire::kRequestImage);
    putFileRequest(request, locators);
    return m_connection != nullptr && m_connection->send(request).ok();
  }
  // The results of the answers so far, once there are |count| of them.
  std::map<int32_t, size_t> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, 30s, [&] { return m_results.size() >= count; });
    std::map<int32_t, size_t> counts;
    for (int32_t result : m_results) ++counts[result];
    return counts;
  }
  // Lets go of the answers held, as a client does when it is done with
  // them (the mappings it made of its own stay).
  void releaseAll() {
    std::vector<std::shared_ptr<comm::Segment>> views;
    std::lock_guard<std::mutex> lock(m_mutex);
    views.swap(m_views);
  }
  // The memory still behind the segments it was sent, each counted once.
  uint64_t pinnedBytes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<ino_t, uint64_t> bytes;
    for (const Kept& kept : m_kept) {
      struct stat status;
      if (fstat(kept.fd.get(), &status) == 0)
        bytes[status.st_ino] = uint64_t(status.st_blocks) * 512;
    }
    uint64_t total = 0;
    for (const auto& [inode, each] : bytes) total += each;
    return total;
  }

 private:
  struct Kept {
    comm::UniqueFd fd;
    void* memory;
    size_t length;
  };
  // An answer's locator, record and result; a segment's descriptor is kept
  // and mapped, and the array handed to the library's own bookkeeping so
  // that releases go out as the protocol says.
  comm::Status onMessage(comm::WireMessage& message) {
    if (message.kind != comm::kKindReply || message.slot != wire::kRequestImageResult)
      return comm::Status();
    comm::WireReader reader(message.payload, message.size);
    bool present = false, decoded = false;
    const char* text = nullptr;
    uint32_t length = 0, dataLength = 0, id = 0;
    uint8_t hasImage = 0, hasInfo = 0, tag = 0;
    int32_t result = -1;
    reader.getString(&present, &text, &length);
    reader.getU8(&hasImage);
    std::shared_ptr<comm::Segment> view;
    if (hasImage != 0) {
      reader.getU8(&hasInfo);
      EXPECT_EQ(hasInfo, 0);
      reader.getBool(&decoded);
      reader.getU8(&tag);
      if (tag == 3 || tag == 4) {
        reader.getU32(&length);
        reader.getU32(&id);
        int fd = message.fds.empty() ? -1 : fcntl(message.fds[0].get(), F_DUPFD_CLOEXEC, 0);
        void* memory = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
        EXPECT_NE(memory, MAP_FAILED);
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          m_kept.push_back({comm::UniqueFd(fd), memory, length});
        }
        comm::Status acquired =
            tag == 3
                ? message.segments->acquire(id, std::move(message.fds[0]), length, &view)
                : message.segments->acquireTransient(id, std::move(message.fds[0]), length, &view);
        if (!acquired.ok()) return acquired;
      } else if (tag == 1) {
        reader.getU32(&length);
        std::vector<uint8_t> skipped(length);
        for (uint8_t& byte : skipped) reader.getU8(&byte);
      }
      reader.getU32(&dataLength);
    }
    reader.getI32(&result);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (view != nullptr) m_views.push_back(std::move(view));
    m_results.push_back(result);
    m_changed.notify_all();
    return comm::Status();
  }

  std::unique_ptr<comm::ClientConnection> m_connection;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<int32_t> m_results;                       // Guarded by m_mutex.
  std::vector<std::shared_ptr<comm::Segment>> m_views;  // Guarded by m_mutex.
  std::vector<Kept> m_kept;                             // Guarded by m_mutex.
};

TEST_F(E2eTest, AClientThatKeepsItsMappingsPinsNoMoreThanItsLimit) {
  const std::string image = bmp("quarter.bmp", 256, 256);  // 196,662 bytes: shared memory
  constexpr uint64_t kLimit = 4 * 1024 * 1024;
  comm::setClientMemoryLimit(kLimit);
  MappingKeeper keeper(socketPath());
  // Each round holds twelve answers at once: four in the pool's segments,
  // eight in segments of their own, which the service frees once released.
  for (size_t round = 1; round <= 5; ++round) {
    ASSERT_TRUE(keeper.requestFiles(std::vector<std::string>(12, image)));
    EXPECT_EQ(keeper.waitFor(12 * round), (std::map<int32_t, size_t>{{RESULT_OK, 12 * round}}));
    keeper.releaseAll();
  }
  // Every segment freed had its pages taken back: what the client maps is
  // the pool's four segments, which it may hold.
  EXPECT_TRUE(eventually([&] { return keeper.pinnedBytes() <= 4 * 262144; }))
      << keeper.pinnedBytes();
  EXPECT_LE(keeper.pinnedBytes(), kLimit);
}

TEST_F(E2eTest, AClientHoardingSegmentsGetsNoMoreThanItsShareAndOthersAreServed) {
  const std::string image = bmp("small.bmp", 160, 150);  // 72,054 bytes: shared memory
  MappingKeeper hoarder(socketPath());
  ASSERT_TRUE(hoarder.requestFiles(std::vector<std::string>(comm::kMaxClientSegments + 6, image)));
  // Up to its share of segments, and not one past it; it releases none.
  EXPECT_EQ(hoarder.waitFor(comm::kMaxClientSegments + 6),
            (std::map<int32_t, size_t>{{RESULT_OK, comm::kMaxClientSegments},
                                       {imageserver::client::RESULT_OUT_OF_MEMORY, 6}}));
  EXPECT_EQ(comm::SegmentPool::segmentsTotal(), comm::kMaxClientSegments);
  EXPECT_TRUE(serves(image));
  CONNECTED(other, connect());
  fetch(*other, image);
}

TEST_F(E2eTest, BrokenPeersAreDisconnectedAndOthersStillServed) {
  const std::string image = bmp("ok.bmp", 2, 2);
  auto header = [](uint8_t kind, uint32_t slot, uint32_t size, uint16_t fds) {
    std::vector<uint8_t> bytes = WireWriter(static_cast<comm::MessageKind>(kind), slot).finish();
    bytes[6] = static_cast<uint8_t>(fds);
    for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<uint8_t>(size >> (8 * i));
    return bytes;
  };
  std::vector<uint8_t> badMagic = header(1, 1, 0, 0);
  badMagic[0] ^= 0xff;
  WireWriter trailing(comm::kKindRequest, wire::kSetNotificationAll);
  trailing.putU32(1);
  WireWriter release(comm::kKindSegmentRelease, 0);
  for (uint32_t value : {1, 7, 1}) release.putU32(value);  // one segment, never sent
  // One case for each place that rejects a peer; what the header and field
  // checks take is the wire format's.
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    int fds;  // descriptors sent with the bytes
  } cases[] = {
      {"bad header", badMagic, 0},
      {"reply kind from a client", header(2, 0, 0, 0), 0},
      {"unknown slot", header(1, 10, 0, 0), 0},
      {"trailing bytes", trailing.finish(), 0},
      {"descriptor on a request", header(1, 2, 0, 1), 1},
      {"too many descriptors", header(1, 2, 0, 2), 3},
      {"descriptors the header does not announce", header(1, 5, 0, 0), 1},
      {"release of a segment never sent", release.finish(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::traces().clear();
    int fd = rawConnect(socketPath());
    struct iovec iov = {const_cast<uint8_t*>(c.bytes.data()), c.bytes.size()};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * 3)];
    const size_t size = sizeof(int) * c.fds;
    struct msghdr message = {
        nullptr, 0, &iov, 1, c.fds > 0 ? control : nullptr, c.fds > 0 ? CMSG_SPACE(size) : 0, 0};
    std::vector<int> sent(c.fds);
    for (int& each : sent) each = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (c.fds > 0) {
      *CMSG_FIRSTHDR(&message) = {CMSG_LEN(size), SOL_SOCKET, SCM_RIGHTS};
      std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&message)), sent.data(), size);
    }
    ASSERT_EQ(sendmsg(fd, &message, MSG_NOSIGNAL), static_cast<ssize_t>(c.bytes.size()));
    for (int each : sent) close(each);
    // The service hangs up on this client only.
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 0);
    close(fd);
    EXPECT_GE(transportLogs("closing connection"), 1u);
    EXPECT_TRUE(serves(image));
  }
  // A client that sends half a message and goes away.
  int fd = rawConnect(socketPath());
  ASSERT_EQ(write(fd, header(1, 1, 100, 0).data(), 10), 10);
  close(fd);
  EXPECT_TRUE(serves(image));
}

TEST_F(E2eTest, ClientsThatGoWhileLargeAnswersAreUnderWayHarmNobody) {
  const std::string big = bmp("big.bmp", 400, 300);
  const std::string huge = bmp("huge.bmp", 2800, 2700);  // 30 MB of pixels
  imageserver::client::Handler ignoring;
  for (const std::string& file : {huge, big, big}) {
    CONNECTED(client, imageserver::client::Client::connect(kInstance, &ignoring));
    ASSERT_TRUE(client->requestImage({file, file, file}, 0, true).ok());
    ASSERT_TRUE(client->requestImage({file}, 0, false).ok());
  }
  // The service goes on serving, once the worker is through the abandoned
  // jobs (slow in sanitizer builds: three decodes of the huge picture).
  CONNECTED(client, connect());
  std::vector<Answer> answers;
  ASSERT_TRUE(client->requestImages({big}, 0, true, 4 * kTimeout, &answers).ok());
  // The pixels, written straight into shared memory: bmp()'s pattern, its
  // fourth byte of each pixel left out.
  const Answer& pixels = answers[0];
  EXPECT_TRUE(pixels.payload.isShared());
  ASSERT_EQ(pixels.length(), 400u * 300 * 3);
  for (size_t i = 0; i < pixels.length(); ++i)
    ASSERT_EQ(pixels.data()[i], uint8_t((i / 3 * 4 + i % 3) * 7 % 251)) << i;
}

// This program again, in a child process, running only the disabled test
// E2eChild.DISABLED_<name> with E2E_CHILD_FOLDER set to |folder|; its pid,
// or -1.
pid_t spawnChildTest(const std::string& name, const std::string& folder) {
  setenv("E2E_CHILD_FOLDER", folder.c_str(), 1);
  const std::string filter = "--gtest_filter=E2eChild.DISABLED_" + name;
  char exe[] = "/proc/self/exe", disabled[] = "--gtest_also_run_disabled_tests";
  char* argv[] = {exe, const_cast<char*>(filter.c_str()), disabled, nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, exe, nullptr, nullptr, argv, environ) != 0) pid = -1;
  unsetenv("E2E_CHILD_FOLDER");
  return pid;
}

TEST_F(E2eTest, AServiceOutOfDescriptorsKeepsServingAndAcceptsLater) {
#if defined(__SANITIZE_ADDRESS__)
  // The address and undefined-behaviour checkers probe memory through a
  // pipe: with no descriptor left they take valid objects for broken ones.
  GTEST_SKIP() << "needs free descriptors for the sanitizer runtime";
#endif
  // This program again, running the service below in a child process.
  const std::string ready = m_files.file("ready");
  const pid_t pid = spawnChildTest("LimitedService", m_files.path());
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }, 30000));

  // The child has a few descriptors to spare: connect clients until one is
  // left waiting in the backlog, unaccepted.
  imageserver::client::ConnectOptions options;
  options.instance = kInstance + 1;
  imageserver::client::VersionUpdate version;
  kor::Status reached;
  std::vector<std::unique_ptr<SyncClient>> first;
  std::unique_ptr<SyncClient> waiting;
  while (waiting == nullptr && first.size() < 10) {
    auto client = SyncClient::connect(options, &reached);
    ASSERT_NE(client, nullptr) << reached.message();  // the backlog takes it in any case
    reached = client->interfaceVersion(2.0, &version);
    (reached.ok() ? first.emplace_back() : waiting) = std::move(client);
  }
  ASSERT_NE(waiting, nullptr) << "the child never ran out of descriptors";
  ASSERT_FALSE(first.empty()) << reached.message();
  // Existing clients go on being served.
  for (auto& client : first)
    EXPECT_EQ(client->interfaceVersion(kTimeout, &version).code(), kor::Status::kOk);
  // Free descriptors: the waiting client is accepted and served.
  first.clear();
  EXPECT_EQ(waiting->interfaceVersion(kTimeout, &version).code(), kor::Status::kOk);

  imagefiles::writeFile(m_files.file("stop"), "");
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The child's side: a service whose process has only three descriptors to
// spare once it listens.
TEST(E2eChild, DISABLED_LimitedService) {
  const std::string control = std::getenv("E2E_CHILD_FOLDER");
  testsupport::TempDir config;
  util::config::Provider::setStoreRoot(config.path().c_str());
  ImageServer* server = startImageServer(testsupport::ServiceTest::kInstance + 1);
  ASSERT_TRUE(server->registration().isAlive());
  // Count the descriptors once the worker is done with its configuration.
  eventually(testsupport::workerReady, 2000);
  // Descriptor numbers must stay below the limit: set it just above the
  // third free number, so that three more can be opened.
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  int free = 0, fd = 0;
  for (; free < 3; ++fd) free += fcntl(fd, F_GETFD) < 0 ? 1 : 0;
  limit.rlim_cur = static_cast<rlim_t>(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  imagefiles::writeFile(control + "/ready", "");
  eventually([&] { return access((control + "/stop").c_str(), F_OK) == 0; }, 60000);
  // Each stall (the last accept of a burst may run out too) was logged
  // once as it began and once as it ended, not at every retry.
  size_t began = 0, ended = 0;
  for (const auto& m : testsupport::traces().messages()) {
    if (m.channel != "COMM_Transport" || m.text.rfind("accept on ", 0) != 0) continue;
    began += m.text.find(" failed: ") != std::string::npos;
    ended += m.text.find(" works again after ") != std::string::npos;
  }
  EXPECT_TRUE(began >= 1 && began <= 3 && ended == began) << began << " began, ended " << ended;
  stopImageServer(server);
  util::config::Provider::setStoreRoot(nullptr);
}

// The service resolves a relative path in its own working directory; the
// client library sends it made absolute in the client's.
TEST_F(E2eTest, RelativeLocatorsAreTakenInTheClientsWorkingFolderNotTheServices) {
  const std::string folder = m_files.file("client");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  bmp("client/rel.bmp", 2, 2);
  // In this process's working folder, there is no such file.
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
  ASSERT_NE(access((std::string(here) + "/rel.bmp").c_str(), F_OK), 0);
  const pid_t pid = spawnChildTest("RelativeLocators", folder);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The child's side: a client in its own working folder.
TEST(E2eChild, DISABLED_RelativeLocators) {
  const std::string folder = std::getenv("E2E_CHILD_FOLDER");
  ASSERT_EQ(chdir(folder.c_str()), 0);
  CONNECTED(client, imageserver::client::SyncClient::connect(testsupport::ServiceTest::kInstance));
  std::vector<Answer> answers;
  const std::vector<std::string> sent = {"rel.bmp", "file://rel.bmp", folder + "/rel.bmp"};
  const std::vector<std::string> named = {folder + "/rel.bmp", "file://" + folder + "/rel.bmp",
                                          folder + "/rel.bmp"};
  ASSERT_TRUE(client->requestInformation(sent, testsupport::ServiceTest::kTimeout, &answers).ok());
  ASSERT_EQ(answers.size(), sent.size());
  std::vector<std::pair<std::string, int32_t>> got, expected;
  for (const Answer& answer : answers) got.emplace_back(answer.locator, answer.result);
  for (const std::string& locator : named) expected.emplace_back(locator, RESULT_OK);
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
  for (std::string same : {"", "file://", "/abs.bmp", "file:///abs.bmp"}) {
    const std::string before = same;
    ASSERT_TRUE(imageserver::client::makeLocatorAbsolute(&same));
    EXPECT_EQ(same, before);
  }
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
  // Services of other names stay in the process.
  class Target : public comm::ServiceTarget {
  } target;
  comm::ServiceRegistration other(new comm::ServiceRegistrationRecord(
      kor::UUID(), 1, kor::UUID(), "some.other.Service", &target));
  ASSERT_EQ(other.registerService(), 0);
  EXPECT_NE(lstat(comm::socketPath(s_runDir, "some.other.Service", 1).c_str(), &status), 0);
  EXPECT_EQ(other.unregisterService(), 0);

  stopServer();
  EXPECT_NE(lstat(socketPath().c_str(), &status), 0);
  // The transport's threads end with the last service, and come back with
  // the next one. (A joined thread can stay listed in /proc for a moment,
  // while the kernel finishes its exit.)
  EXPECT_TRUE(eventually([] { return testsupport::threadCount("comm-dispatch") == 0; }));
  m_server = startImageServer(kInstance);
  EXPECT_TRUE(serves(bmp("ok.bmp", 2, 2)));
}

TEST_F(E2eTest, AGroupSharedFolderIsLeftAsItIsATooOpenDefaultOneTightened) {
  const char* previous = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = previous != nullptr ? previous : "";
  const std::string base = m_files.file("base");
  ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
  const struct {
    std::string folder;
    mode_t made, kept, socket;
  } cases[] = {
      {m_files.file("group"), 0770, 0770, 0660},  // an operator's, for a group
      {base + "/imageserver", 0755, 0700, 0600},  // the default, below XDG_RUNTIME_DIR
  };
  setenv(comm::kRuntimeDirVariable, cases[0].folder.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
  for (uint32_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(cases[i].folder);
    ASSERT_EQ(mkdir(cases[i].folder.c_str(), 0700), 0);
    ASSERT_EQ(chmod(cases[i].folder.c_str(), cases[i].made), 0);
    ASSERT_TRUE(start(kInstance + 1 + i)->registration().isAlive());
    struct stat status;
    ASSERT_EQ(stat(cases[i].folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, cases[i].kept);
    const std::string socket =
        comm::socketPath(cases[i].folder, "svx.imageserver.ImageServer", kInstance + 1 + i);
    ASSERT_EQ(lstat(socket.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, cases[i].socket);
    unsetenv(comm::kRuntimeDirVariable);
  }
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(comm::runtimeDirectory(), "/tmp/imageserver-" + std::to_string(getuid()));
  if (!saved.empty()) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

TEST_F(E2eTest, AStaleSocketIsReplacedALiveOneRefused) {
  auto bindAt = [](const std::string& where) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_un address = {AF_UNIX, {}};
    where.copy(address.sun_path, sizeof(address.sun_path) - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0);
    return fd;
  };
  close(bindAt(socketPath(kInstance + 1)));  // its process is gone
  EXPECT_TRUE(start(kInstance + 1)->registration().isAlive());

  int live = bindAt(socketPath(kInstance + 2));
  ASSERT_EQ(listen(live, 4), 0);
  EXPECT_FALSE(start(kInstance + 2)->registration().isAlive());
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("served already"), std::string::npos)
      << kor::ErrorStorage::reason();
  kor::ErrorStorage::ack();
  // The other owner's socket is left alone.
  struct stat status;
  EXPECT_EQ(lstat(socketPath(kInstance + 2).c_str(), &status), 0);
  // The probe connection waits in the live socket's backlog; take it.
  close(accept(live, nullptr, nullptr));  // -1 when none: a harmless failure
  close(live);
}

// --- Decoder processes -----------------------------------------------------------
// The test decoder reads a file that starts with "IMAGESERVER-TEST <what>"
// as a request to misbehave as a compromised decoder would, or to give its
// pid as the image's width.

class DecoderE2eTest : public E2eTest {
 protected:
  std::string test(const std::string& what) {
    return m_files.write(what + ".png", "IMAGESERVER-TEST " + what);
  }
  // The pid of the decoder process that serves |client|.
  int decoderOf(SyncClient& client) {
    std::vector<Answer> answers;
    EXPECT_TRUE(client.requestInformation({test("pid")}, kTimeout, &answers).ok());
    return answers.size() == 1 && answers[0].result == RESULT_OK ? int(answers[0].info.width) : 0;
  }
};

TEST_F(DecoderE2eTest, ACrashOrAHangSpoilsOnlyTheAnswerForItsOwnFile) {
  lumo::internal::setDecoderDeadlines(0, 500);
  const std::string good = bmp("good.bmp", 40, 30);
  CONNECTED(client, connect());
  CONNECTED(other, connect());
  std::vector<Answer> answers;
  std::thread bystander([&] {
    std::vector<Answer> seen;
    EXPECT_TRUE(other->requestImages({good}, 2, true, kTimeout, &seen).ok());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].result, RESULT_OK);
  });
  ASSERT_TRUE(client
                  ->requestImages({good, test("crash"), good, test("hang"), good}, 0, true,
                                  kTimeout, &answers)
                  .ok());
  bystander.join();
  ASSERT_EQ(answers.size(), 5u);
  const int32_t want[] = {RESULT_OK, RESULT_INVALID_IMAGE, RESULT_OK, RESULT_INVALID_IMAGE,
                          RESULT_OK};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(answers[i].result, want[i]) << i;
    if (want[i] == RESULT_OK) {
      EXPECT_EQ(answers[i].length(), 40u * 30 * 3) << i;
    }
  }
  // Information is read ahead in a batch; a crash there spoils one answer too.
  answers.clear();
  ASSERT_TRUE(
      client->requestInformation({good, test("crash"), good, good}, kTimeout, &answers).ok());
  ASSERT_EQ(answers.size(), 4u);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(answers[i].result, i == 1 ? RESULT_INVALID_IMAGE : RESULT_OK) << i;
}

TEST_F(DecoderE2eTest, ABatchOfInformationReadAheadAnswersEachLocatorWithItsOwnFile) {
  // Longer than the read-ahead, with repeats near and far and a file that
  // fails in the middle: each answer must still be its own file's.
  std::vector<std::string> files;
  for (uint32_t i = 1; i <= 6; ++i) files.push_back(bmp("f" + std::to_string(i) + ".bmp", i, 1));
  const std::string garbage = m_files.write("garbage.bmp", "not an image at all");
  const std::vector<int> order = {0, 1, 1, 2, 3, -1, 4, 0, 5, 5, 5, 1, 2, -1, 3, 4, 0, 1, 2, 3};
  ASSERT_GT(order.size(), size_t{lumo::kInfoReadAhead} * 2);
  std::vector<std::string> locators;
  for (int i : order) locators.push_back(i < 0 ? garbage : files[size_t(i)]);
  CONNECTED(client, connect());
  std::vector<Answer> answers;
  ASSERT_TRUE(client->requestInformation(locators, kTimeout, &answers).ok());
  ASSERT_EQ(answers.size(), order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    if (order[i] < 0) {
      EXPECT_EQ(answers[i].result, RESULT_INVALID_IMAGE) << i;
    } else {
      EXPECT_EQ(answers[i].result, RESULT_OK) << i;
      EXPECT_EQ(answers[i].info.width, uint32_t(order[i] + 1)) << i;
    }
  }
}

// A job that holds the worker until its gate opens.
class GateJob : public ImageServer::Job {
 public:
  GateJob(std::shared_future<void> gate, std::atomic<bool>* started)
      : Job({}), m_gate(std::move(gate)), m_started(started) {}
  void execute() override {
    *m_started = true;
    m_gate.wait();
  }

 private:
  std::shared_future<void> m_gate;
  std::atomic<bool>* m_started;
};

TEST_F(DecoderE2eTest, ALinkSwappedWhileItsJobsWaitLeadsThemToNoOtherFile) {
  // A locator is judged when it arrives and read when its job runs; the
  // link it names is repointed in between, at a file that would be refused.
  enableFileExtensionCheck(m_server, 1);
  const std::string accepted = bmp("accepted.bmp", 5, 4);
  const std::string refused =
      m_files.write("refused.txt", imagefiles::readFile(bmp("refused.bmp", 7, 3)));
  const std::string link = m_files.file("link.bmp");
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped ? "swapped" : "kept");
    unlink(link.c_str());
    ASSERT_EQ(symlink(accepted.c_str(), link.c_str()), 0);
    std::promise<void> gate;
    std::atomic<bool> started{false};
    m_server->enqueueJob(new GateJob(gate.get_future().share(), &started));
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    RecordingHandler handler;
    CONNECTED(client, imageserver::client::Client::connect(kInstance, &handler));
    // A batch of information (read ahead), the bytes and the pixels.
    ASSERT_TRUE(client->requestImageInformation({link, link, link}).ok());
    ASSERT_TRUE(client->requestImage({link}, 0, false).ok());
    ASSERT_TRUE(client->requestImage({link}, 0, true).ok());
    ASSERT_TRUE(eventually([&] { return getNumPendingRequests(m_server) == 5; }));
    if (swapped) {
      unlink(link.c_str());
      ASSERT_EQ(symlink(refused.c_str(), link.c_str()), 0);
    }
    testsupport::traces().clear();
    gate.set_value();
    ASSERT_TRUE(handler.waitFor(handler.answers, 5));
    for (const Answer& answer : handler.copy(handler.answers)) {
      EXPECT_EQ(answer.result, swapped ? RESULT_INVALID_IMAGE : RESULT_OK);
      if (answer.hasInfo) {
        EXPECT_EQ(answer.info.width, 5u);
      }
    }
    EXPECT_EQ(testsupport::traces().countContaining(
                  "IMS_Worker", 4, link + ": it is no longer the file that was accepted"),
              swapped ? 5u : 0u);
  }
}

TEST_F(DecoderE2eTest, EachClientHasItsOwnDecoderWhichEndsWhenItLeaves) {
  CONNECTED(first, connect());
  CONNECTED(second, connect());
  const int a = decoderOf(*first), b = decoderOf(*second);
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(decoderOf(*first), a);
  first.reset();
  EXPECT_TRUE(eventually([&] { return kill(a, 0) != 0; })) << "the decoder outlived its client";
  EXPECT_EQ(decoderOf(*second), b);
}

TEST_F(DecoderE2eTest, AClientThatLeavesWithQueuedDecodesFreesTheWorkerAtOnce) {
  // The decode in hand hangs; only the client's leaving can end it before
  // its deadline (the default, 10 s and more).
  const std::string good = bmp("good.bmp", 40, 30);
  std::vector<std::string> locators(100, good);
  locators[0] = test("hang");
  tracing::setLevel("IMS_Worker", 1);
  {
    RecordingHandler handler;
    CONNECTED(leaving, imageserver::client::Client::connect(kInstance, &handler));
    ASSERT_TRUE(leaving->requestImage(locators, 0, true).ok());
    ASSERT_TRUE(eventually([&] { return getNumPendingRequests(m_server) == 99; }));
  }
  const auto left = std::chrono::steady_clock::now();
  CONNECTED(other, connect());
  std::vector<Answer> answers;
  ASSERT_TRUE(other->requestInformation({good}, kTimeout, &answers).ok());
  EXPECT_EQ(answers[0].result, RESULT_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - left, 2s);
  EXPECT_EQ(getNumPendingRequests(m_server), 0u);
}

}  // namespace
