// The transport: wire format bounds, shared segments, the outgoing queue,
// the runtime folder and socket, and a service's defence against broken
// peers on a raw socket.
#include "platform/transport.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "imageserver/ImageServer.h"
#include "platform/transport/connection.h"
#include "support/harness.h"
#include "svx/imageserver/ImageServerWire.h"
#include "svx/imageserver/client/ImageServerClient.h"
#include "tools/common/image_files.h"

namespace {

using comm::WireReader;
using comm::WireWriter;

// ---------------------------------------------------------------------------
// Wire format.

// A payload with one field of every kind (segment excluded).
std::vector<uint8_t> everyField() {
  WireWriter writer(comm::kKindReply, 7);
  writer.putU8(200);
  writer.putBool(true);
  writer.putI8(-3);
  writer.putU32(0xdeadbeef);
  writer.putI32(-42);
  writer.putI64(-1234567890123LL);
  writer.putString("hello", 5);
  writer.putString(CIPtr<CIString>());
  writer.putStringArray(testsupport::locators({"a", nullptr, "ccc"}));
  CIPtr<CIUInt32Array> ids = CITypesFactory::createUInt32Array(2);
  (*ids)[0] = 23;
  (*ids)[1] = 5;
  writer.putUInt32Array(ids);
  CIPtr<CIInt8Array> bytes = CITypesFactory::createInt8Array(3);
  std::memcpy(bytes->data(), "xyz", 3);
  writer.putByteArray(bytes);
  EXPECT_TRUE(writer.ok()) << writer.error();
  std::vector<uint8_t> message = writer.finish();
  return std::vector<uint8_t>(message.begin() + comm::kWireHeaderSize, message.end());
}

// Reads what everyField() wrote; false at the first failing field.
bool readEveryField(WireReader& reader) {
  uint8_t u8;
  bool flag;
  int8_t i8;
  uint32_t u32;
  int32_t i32;
  int64_t i64;
  CIPtr<CIString> text, absent;
  CIPtr<CIPtrArray<CIString>> strings;
  CIPtr<CIUInt32Array> ids;
  comm::WireBytes bytes;
  bool ok = reader.getU8(&u8) && reader.getBool(&flag) && reader.getI8(&i8) &&
            reader.getU32(&u32) && reader.getI32(&i32) && reader.getI64(&i64) &&
            reader.getString(&text) && reader.getString(&absent) &&
            reader.getStringArray(&strings) && reader.getUInt32Array(&ids) &&
            reader.getByteArray(&bytes) && reader.finish();
  if (!ok) return false;
  EXPECT_EQ(u8, 200);
  EXPECT_TRUE(flag);
  EXPECT_EQ(i8, -3);
  EXPECT_EQ(u32, 0xdeadbeefu);
  EXPECT_EQ(i32, -42);
  EXPECT_EQ(i64, -1234567890123LL);
  EXPECT_STREQ(text->utf8(), "hello");
  EXPECT_TRUE(absent.isNull());
  EXPECT_EQ(strings->size(), 3u);
  EXPECT_TRUE((*strings)[1].isNull());
  EXPECT_STREQ((*strings)[2]->utf8(), "ccc");
  EXPECT_EQ((*ids)[0], 23u);
  EXPECT_EQ(bytes.length, 3u);
  EXPECT_EQ(std::memcmp(bytes.data(), "xyz", 3), 0);
  return true;
}

TEST(WireTest, EveryTruncationFailsCleanlyAndTheWholeMessageReads) {
  const std::vector<uint8_t> payload = everyField();
  for (size_t length = 0; length <= payload.size(); ++length) {
    // A copy of exactly |length| bytes, so that a read past it is caught by
    // the sanitizers as well as by the reader.
    std::vector<uint8_t> cut(payload.begin(), payload.begin() + length);
    WireReader reader(cut.data(), cut.size());
    EXPECT_EQ(readEveryField(reader), length == payload.size()) << "length " << length;
    if (length < payload.size()) {
      EXPECT_FALSE(reader.ok());
    }
  }
  // One byte more is trailing garbage.
  std::vector<uint8_t> longer = payload;
  longer.push_back(0);
  WireReader reader(longer.data(), longer.size());
  EXPECT_FALSE(readEveryField(reader));
  EXPECT_STREQ(reader.error(), "trailing bytes");
}

TEST(WireTest, LimitsHoldAtTheirBoundaries) {
  struct Case {
    const char* what;
    std::function<void(WireWriter&)> write;
    std::function<bool(WireReader&)> read;
    bool readable;
  };
  auto rawString = [](uint32_t length, uint32_t actual) {
    return [=](WireWriter& w) {
      w.putU8(1);
      w.putU32(length);
      for (uint32_t i = 0; i < actual; ++i) w.putU8('a');
    };
  };
  auto readString = [](WireReader& r) {
    CIPtr<CIString> s;
    return r.getString(&s) && r.finish();
  };
  auto readStrings = [](WireReader& r) {
    CIPtr<CIPtrArray<CIString>> a;
    return r.getStringArray(&a) && r.finish();
  };
  auto readIds = [](WireReader& r) {
    CIPtr<CIUInt32Array> a;
    return r.getUInt32Array(&a) && r.finish();
  };
  auto rawCount = [](uint32_t count, uint32_t bytes) {
    return [=](WireWriter& w) {
      w.putU8(1);
      w.putU32(count);
      for (uint32_t i = 0; i < bytes; ++i) w.putU8(0);
    };
  };
  const uint32_t kMaxString = comm::kMaxMessageSize - comm::kWireHeaderSize - 5;
  const Case cases[] = {
      // A string is bounded by its message alone.
      {"string filling the message", rawString(kMaxString, kMaxString), readString, true},
      {"string longer than the message", rawString(10, 9), readString, false},
      {"string length 2^32-1", rawString(0xffffffffu, 4), readString, false},
      {"string with a NUL", [](WireWriter& w) { w.putString("a\0b", 3); }, readString, false},
      {"present flag 2", [](WireWriter& w) { w.putU8(2); }, readString, false},
      {"array of absent strings at the limit", rawCount(16384, 16384), readStrings, true},
      {"array above the limit", rawCount(16385, 16385), readStrings, false},
      {"array count beyond the bytes", rawCount(100, 99), readStrings, false},
      {"u32 array that fits", rawCount(3, 12), readIds, true},
      {"u32 array one byte short", rawCount(3, 11), readIds, false},
      {"u32 array count 2^32-1", rawCount(0xffffffffu, 8), readIds, false},
      {"bad bool", [](WireWriter& w) { w.putU8(7); },
       [](WireReader& r) {
         bool b;
         return r.getBool(&b);
       },
       false},
      {"byte array tag 3", [](WireWriter& w) { w.putU8(3); },
       [](WireReader& r) {
         comm::WireBytes b;
         return r.getByteArray(&b);
       },
       false},
      {"segment without descriptor",
       [](WireWriter& w) {
         w.putU8(2);
         w.putU32(10);
       },
       [](WireReader& r) {
         comm::WireBytes b;
         return r.getByteArray(&b);
       },
       false},
  };
  for (const Case& c : cases) {
    WireWriter writer(comm::kKindRequest, 0);
    c.write(writer);
    ASSERT_TRUE(writer.ok()) << c.what;
    std::vector<uint8_t>& message = writer.finish();
    WireReader reader(message.data() + comm::kWireHeaderSize,
                      message.size() - comm::kWireHeaderSize);
    EXPECT_EQ(c.read(reader), c.readable) << c.what;
  }
}

TEST(WireTest, HeaderChecksMagicVersionKindSizeAndDescriptors) {
  WireWriter writer(comm::kKindRequest, 9);
  std::vector<uint8_t> header = writer.finish();
  ASSERT_EQ(header.size(), comm::kWireHeaderSize);
  uint8_t kind;
  uint32_t slot, size, fds;
  ASSERT_EQ(comm::parseHeader(header.data(), &kind, &slot, &size, &fds), nullptr);
  EXPECT_EQ(slot, 9u);
  EXPECT_EQ(size, 0u);

  auto with = [&](size_t offset, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> changed = header;
    std::copy(bytes.begin(), bytes.end(), changed.begin() + offset);
    return comm::parseHeader(changed.data(), &kind, &slot, &size, &fds);
  };
  const uint32_t maxPayload = comm::kMaxMessageSize - comm::kWireHeaderSize;
  auto le = [](uint32_t v) {
    return std::vector<uint8_t>{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  };
  EXPECT_STREQ(with(0, {'X'}), "bad magic");
  EXPECT_STREQ(with(4, {2}), "unsupported wire version");
  EXPECT_STREQ(with(5, {0}), "unknown message kind");
  EXPECT_STREQ(with(5, {5}), "unknown message kind");
  EXPECT_EQ(with(6, {2, 0}), nullptr);
  EXPECT_STREQ(with(6, {3, 0}), "too many descriptors");
  EXPECT_STREQ(with(6, {0, 1}), "too many descriptors");
  EXPECT_EQ(with(12, le(maxPayload)), nullptr);
  EXPECT_STREQ(with(12, le(maxPayload + 1)), "message too large");
  EXPECT_STREQ(with(12, le(0xffffffffu)), "message too large");
}

TEST(WireTest, WriterRefusesWhatTheReaderWouldReject) {
  WireWriter longString(comm::kKindRequest, 0);
  std::string text(comm::kMaxMessageSize - comm::kWireHeaderSize - 4, 'a');
  longString.putString(text.data(), text.size());
  EXPECT_EQ(longString.error(), "message too large");

  WireWriter tooLarge(comm::kKindRequest, 0);
  std::string chunk(4096, 'b');
  for (int i = 0; i < 300 && tooLarge.ok(); ++i) tooLarge.putString(chunk.data(), chunk.size());
  EXPECT_EQ(tooLarge.error(), "message too large");
}

// ---------------------------------------------------------------------------
// Segments.

TEST(SegmentTest, ReceiverRejectsUnsealedShortOrForeignDescriptors) {
  std::shared_ptr<comm::Segment> unsealed = comm::Segment::create(4096);
  ASSERT_NE(unsealed, nullptr);
  auto dup = [](int fd) { return comm::UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 0)); };
  EXPECT_EQ(comm::Segment::mapReceived(dup(unsealed->fd()), 4096), nullptr);
  kor::ErrorStorage::ack();

  ASSERT_EQ(unsealed->seal(), 0);
  EXPECT_EQ(comm::Segment::mapReceived(dup(unsealed->fd()), 4097), nullptr);
  kor::ErrorStorage::ack();
  std::shared_ptr<comm::Segment> mapped = comm::Segment::mapReceived(dup(unsealed->fd()), 4096);
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(mapped->writableData(), nullptr);
  // Sealed: the receiver can neither shrink it nor map it writable.
  EXPECT_NE(ftruncate(unsealed->fd(), 10), 0);
  EXPECT_EQ(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, unsealed->fd(), 0), MAP_FAILED);

  testsupport::TempDir dir;
  comm::UniqueFd file(open(dir.write("plain", "0123456789").c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(comm::Segment::mapReceived(std::move(file), 4), nullptr);
  kor::ErrorStorage::ack();
}

// An array's storage from |pool|; null when it was refused or failed.
std::unique_ptr<comm::PooledStorage> allocateFrom(const std::shared_ptr<comm::SegmentPool>& pool,
                                                  uint32_t size, bool* refused = nullptr) {
  bool ignored;
  return std::unique_ptr<comm::PooledStorage>(static_cast<comm::PooledStorage*>(
      comm::SegmentPool::allocate(pool, size, refused != nullptr ? refused : &ignored)));
}

TEST(SegmentPoolTest, ASegmentIsWrittenAgainOnlyAfterItsClientIsDoneAndLimitsHold) {
  auto pool = std::make_shared<comm::SegmentPool>();
  auto allocate = [&](uint32_t size) { return allocateFrom(pool, size); };
  auto first = allocate(100000);
  ASSERT_NE(first, nullptr);
  const uint32_t id = first->id();
  const uint8_t* memory = first->segment()->data();
  pool->markSent(id);
  first.reset();
  // Out with the client: not handed out again.
  auto second = allocate(100000);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->id(), id);
  EXPECT_FALSE(pool->release(id, 2));  // only one reply is out
  EXPECT_TRUE(pool->release(id, 1));
  EXPECT_FALSE(pool->release(id, 1));
  EXPECT_FALSE(pool->release(999, 1));
  auto again = allocate(90000);  // fits: the same memory, no fresh pages
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->id(), id);
  EXPECT_EQ(again->segment()->data(), memory);

  // All segments busy: no more than the limit are kept; one more is made
  // for its answer alone, and freed with it.
  std::vector<std::unique_ptr<comm::PooledStorage>> busy;
  while (pool->segmentCount() < comm::kPoolMaxSegments) busy.push_back(allocate(70000));
  for (const auto& storage : busy) EXPECT_FALSE(storage->transient());
  auto extra = allocate(70000);
  ASSERT_NE(extra, nullptr);
  EXPECT_TRUE(extra->transient());
  EXPECT_EQ(pool->segmentCount(), comm::kPoolMaxSegments + 1);
  extra.reset();
  EXPECT_EQ(pool->segmentCount(), comm::kPoolMaxSegments);
  // An idle segment too small for a request is dropped to make room, and the
  // client is told when it had seen it.
  pool->markSent(second->id());
  const uint32_t known = second->id();
  second.reset();
  ASSERT_TRUE(pool->release(known, 1));
  auto large = allocate(300000);
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(pool->takeDropped(), std::vector<uint32_t>{known});
  EXPECT_EQ(pool->segmentCount(), comm::kPoolMaxSegments);

  // Idle segments go after a while; busy ones stay.
  large.reset();
  busy.clear();
  EXPECT_EQ(pool->idleCount(), comm::kPoolMaxSegments - 1);
  EXPECT_TRUE(pool->trim(0).empty());
  EXPECT_TRUE(pool->trim(UINT64_MAX / 2).empty());  // none of them was sent
  EXPECT_EQ(pool->segmentCount(), 1u);
  pool->close();
  EXPECT_EQ(allocate(1000), nullptr);
  again.reset();
  EXPECT_EQ(pool->segmentCount(), 0u);
  EXPECT_EQ(comm::SegmentPool::idleBytesTotal(), 0u);
}

TEST(SegmentPoolTest, AClientHoldsNoMoreThanItsLimitUnlessOneAnswerAloneIsLarger) {
  constexpr uint32_t kLimit = 1024 * 1024;
  auto pool = std::make_shared<comm::SegmentPool>(kLimit);
  bool refused = false;
  // One answer larger than the limit, while the client holds nothing: made.
  auto huge = allocateFrom(pool, 2 * kLimit, &refused);
  ASSERT_NE(huge, nullptr);
  EXPECT_TRUE(pool->atLimit());
  EXPECT_EQ(allocateFrom(pool, 1, &refused), nullptr);
  EXPECT_TRUE(refused);
  // Counted while it is out with the client, until the client releases it.
  const uint32_t id = huge->id();
  pool->markSent(id);
  huge.reset();
  EXPECT_EQ(pool->outstandingBytes(), 2u * kLimit);
  ASSERT_TRUE(pool->release(id, 1));
  EXPECT_EQ(pool->outstandingBytes(), 0u);
  // Up to the limit, and not a byte past it.
  auto half = allocateFrom(pool, kLimit / 2, &refused);
  auto rest = allocateFrom(pool, kLimit / 2, &refused);
  ASSERT_NE(half, nullptr);
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(pool->outstandingBytes(), uint64_t{kLimit});
  EXPECT_TRUE(pool->atLimit());
  EXPECT_EQ(allocateFrom(pool, 1, &refused), nullptr);
  EXPECT_TRUE(refused);
  // An array that was never sent frees its part when it goes.
  rest.reset();
  EXPECT_FALSE(pool->atLimit());
  EXPECT_NE(allocateFrom(pool, kLimit / 2, &refused), nullptr);
}

TEST(SegmentReserveTest, ReservedSegmentsAreMadeAheadWithinTheBoundAndNeverShared) {
  constexpr uint32_t kMiB = 1024 * 1024;
  comm::SegmentReserve& reserve = comm::SegmentReserve::instance();
  reserve.suspend();  // starts empty
  reserve.resume();
  reserve.setLimit(3 * kMiB);
  // A miss makes one of that size ready for the next time.
  EXPECT_EQ(reserve.take(2 * kMiB), nullptr);
  ASSERT_TRUE(reserve.waitIdle(10000));
  EXPECT_EQ(reserve.bytes(), 2u * kMiB);
  // One up to the bound pushes out the older one; one past it is not made.
  EXPECT_EQ(reserve.take(3 * kMiB), nullptr);
  ASSERT_TRUE(reserve.waitIdle(10000));
  EXPECT_EQ(reserve.bytes(), 3u * kMiB);
  EXPECT_EQ(reserve.take(3 * kMiB + 1), nullptr);
  ASSERT_TRUE(reserve.waitIdle(10000));
  EXPECT_EQ(reserve.bytes(), 3u * kMiB);
  EXPECT_EQ(reserve.readyCount(), 1u);
  // Not for an array of less than half its size.
  EXPECT_EQ(reserve.take(kMiB), nullptr);
  ASSERT_TRUE(reserve.waitIdle(10000));
  reserve.setLimit(kMiB);  // a lower bound frees the older ones
  EXPECT_EQ(reserve.bytes(), uint64_t{kMiB});

  // A pool takes the reserved segment: allocated and zeroed already.
  const uint64_t hits = reserve.hits();
  auto first = std::make_shared<comm::SegmentPool>();
  auto written = allocateFrom(first, kMiB);
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(reserve.hits(), hits + 1);
  std::memset(written->bytes(), 0x5a, kMiB);
  first->markSent(written->id());
  ASSERT_TRUE(reserve.waitIdle(10000));
  ASSERT_EQ(reserve.readyCount(), 1u);  // made again for the next client
  // The next client's segment is a fresh one, never the first client's.
  auto second = std::make_shared<comm::SegmentPool>();
  auto fresh = allocateFrom(second, kMiB);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh->segment()->data(), written->segment()->data());
  const uint8_t* bytes = fresh->segment()->data();
  EXPECT_TRUE(std::all_of(bytes, bytes + kMiB, [](uint8_t b) { return b == 0; }));
  // Nor after the first client has gone and its segment was dropped.
  const uint32_t id = written->id();
  written.reset();
  ASSERT_TRUE(first->release(id, 1));
  first->close();
  first.reset();
  ASSERT_TRUE(reserve.waitIdle(10000));
  auto third = allocateFrom(std::make_shared<comm::SegmentPool>(), kMiB);
  ASSERT_NE(third, nullptr);
  bytes = third->segment()->data();
  EXPECT_TRUE(std::all_of(bytes, bytes + kMiB, [](uint8_t b) { return b == 0; }));

  // Off (as for the other tests): nothing is held or made.
  ASSERT_TRUE(reserve.waitIdle(10000));
  reserve.setLimit(0);
  EXPECT_EQ(reserve.bytes(), 0u);
  EXPECT_EQ(reserve.take(kMiB), nullptr);
  EXPECT_TRUE(reserve.waitIdle(10000));
  EXPECT_EQ(reserve.bytes(), 0u);
}

TEST(SegmentPoolTest, AClientMapsEachSegmentOnceAndReleasesItWhenTheLastViewGoes) {
  std::vector<std::pair<uint32_t, uint32_t>> releases;
  auto received = std::make_shared<comm::ReceivedSegments>(
      [&](uint32_t id, uint32_t receipts) { releases.emplace_back(id, receipts); });
  std::shared_ptr<comm::Segment> served = comm::Segment::create(8192);
  std::shared_ptr<comm::Segment> other = comm::Segment::create(8192);
  ASSERT_TRUE(served != nullptr && other != nullptr);
  ASSERT_EQ(served->seal(), 0);
  ASSERT_EQ(other->seal(), 0);
  auto dup = [](const std::shared_ptr<comm::Segment>& s) {
    return comm::UniqueFd(fcntl(s->fd(), F_DUPFD_CLOEXEC, 0));
  };
  served->writableData()[100] = 42;

  std::shared_ptr<comm::Segment> a = received->acquire(5, dup(served), 4096);
  std::shared_ptr<comm::Segment> b = received->acquire(5, dup(served), 8192);
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_EQ(a->data(), b->data());  // one mapping
  EXPECT_EQ(a->size(), 4096u);
  EXPECT_EQ(b->data()[100], 42);
  EXPECT_EQ(received->mappedCount(), 1u);
  // A known id with another segment, or longer than the segment: refused.
  EXPECT_EQ(received->acquire(5, dup(other), 10), nullptr);
  EXPECT_EQ(received->acquire(5, dup(served), 8193), nullptr);
  kor::ErrorStorage::ack();
  a.reset();
  EXPECT_TRUE(releases.empty());
  b.reset();
  EXPECT_EQ(releases, (std::vector<std::pair<uint32_t, uint32_t>>{{5, 2}}));
  EXPECT_EQ(received->mappedCount(), 1u);  // kept for the next reply

  // Dropped while a view is in use: unmapped with the view, no release.
  std::shared_ptr<comm::Segment> c = received->acquire(5, dup(served), 1);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(received->drop(5));
  EXPECT_FALSE(received->drop(5));
  EXPECT_FALSE(received->drop(6));
  c.reset();
  EXPECT_EQ(releases.size(), 1u);
  EXPECT_EQ(received->mappedCount(), 0u);
}

// ---------------------------------------------------------------------------
// Connections over a socket pair.

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
    m_peer.reset(fds[1]);
    m_connection = std::make_unique<comm::Connection>(comm::UniqueFd(fds[0]), "pair");
    m_connection->setCloseHandler([this](const std::string& reason) {
      ++m_closes;
      m_reason = reason;
    });
  }
  int send(size_t payloadBytes) {
    WireWriter writer(comm::kKindReply, 0);
    std::string bytes(payloadBytes, 'q');
    writer.putString(bytes.data(), bytes.size());
    return m_connection->send(writer);
  }
  comm::UniqueFd m_peer;
  std::unique_ptr<comm::Connection> m_connection;
  int m_closes = 0;
  std::string m_reason;
};

TEST_F(ConnectionTest, APeerThatStopsReadingIsCutOffWhenTheQueueIsFull) {
  int sent = 0;
  while (send(4000) == 0) ++sent;
  EXPECT_STREQ(kor::ErrorStorage::reason(), "cannot send to pair: outgoing queue full");
  kor::ErrorStorage::ack();
  // The socket took some, the queue the rest up to its limit of bytes.
  EXPECT_GE(static_cast<size_t>(sent) * 4000, comm::kMaxQueuedBytes);
  EXPECT_TRUE(m_connection->isClosed());
  EXPECT_EQ(m_closes, 1);
  EXPECT_EQ(m_reason, "outgoing queue full");
  EXPECT_EQ(m_connection->queuedMessages(), 0u);
  EXPECT_NE(send(1), 0);
  kor::ErrorStorage::ack();
  EXPECT_EQ(m_closes, 1);
}

TEST_F(ConnectionTest, OneMessageOfAnySizeIsTakenAndTheLimitsBoundWhatWaitsBehindIt) {
  std::shared_ptr<comm::Segment> large = comm::Segment::create(comm::kMaxQueuedSegmentBytes + 1);
  std::shared_ptr<comm::Segment> small = comm::Segment::create(1);
  ASSERT_NE(large, nullptr);
  ASSERT_NE(small, nullptr);
  auto carrying = [&](const std::shared_ptr<comm::Segment>& segment) {
    WireWriter writer(comm::kKindReply, 0);
    writer.putSegment(segment, 1);
    return m_connection->send(writer);
  };
  // An answer larger than the limit, with nothing queued: taken.
  ASSERT_EQ(carrying(large), 0);
  // Behind a message that waits, the limit holds.
  while (m_connection->queuedMessages() == 0) ASSERT_EQ(send(60000), 0);
  EXPECT_EQ(carrying(small), 0);
  EXPECT_NE(carrying(large), 0);
  EXPECT_STREQ(kor::ErrorStorage::reason(), "cannot send to pair: outgoing queue full");
  kor::ErrorStorage::ack();
  EXPECT_EQ(m_closes, 1);
}

TEST_F(ConnectionTest, SendingToAGonePeerFailsWithoutSignal) {
  m_peer.reset();
  EXPECT_NE(send(10), 0);  // EPIPE, not SIGPIPE
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("write failed"), std::string::npos);
  kor::ErrorStorage::ack();
  EXPECT_EQ(m_closes, 1);
}

TEST_F(ConnectionTest, QueuedBytesAreWrittenWhenTheLoopReportsOutputInOrder) {
  // The service's registration: input only, output once something waits.
  comm::UniqueFd loop(epoll_create1(EPOLL_CLOEXEC));
  struct epoll_event event;
  std::memset(&event, 0, sizeof(event));
  event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
  event.data.u64 = 7;
  ASSERT_EQ(epoll_ctl(loop.get(), EPOLL_CTL_ADD, m_connection->pollFd(), &event), 0);
  m_connection->setEpoll(loop.get(), 7);
  std::vector<uint8_t> stream;
  char buffer[65536];
  ASSERT_EQ(send(100), 0);  // written at once; the peer's read wakes nobody
  ssize_t got = read(m_peer.get(), buffer, sizeof(buffer));
  ASSERT_GT(got, 0);
  stream.insert(stream.end(), buffer, buffer + got);
  EXPECT_EQ(epoll_wait(loop.get(), &event, 1, 0), 0);

  // As many answers as one request may ask for, while the peer does not
  // read: none is refused.
  const int kMessages = 1 + static_cast<int>(comm::kMaxArrayCount);
  int sent = 1;
  while (sent < kMessages && send(200) == 0) ++sent;
  ASSERT_EQ(sent, kMessages);
  ASSERT_GT(m_connection->queuedMessages(), 0u);
  // Drain the peer, flushing when the loop reports output; every message
  // arrives whole and in order.
  for (int i = 0; i < 100000 && m_connection->hasPendingOutput(); ++i) {
    got = read(m_peer.get(), buffer, sizeof(buffer));
    if (got > 0) stream.insert(stream.end(), buffer, buffer + got);
    if (epoll_wait(loop.get(), &event, 1, 50) == 1) {  // none until enough was read
      EXPECT_EQ(event.data.u64, 7u);
      EXPECT_TRUE(event.events & EPOLLOUT);
      ASSERT_TRUE(m_connection->flush());
    }
  }
  while ((got = read(m_peer.get(), buffer, sizeof(buffer))) > 0)
    stream.insert(stream.end(), buffer, buffer + got);
  size_t offset = 0;
  int messages = 0;
  while (offset + comm::kWireHeaderSize <= stream.size()) {
    uint8_t kind;
    uint32_t slot, size, fds;
    ASSERT_EQ(comm::parseHeader(stream.data() + offset, &kind, &slot, &size, &fds), nullptr);
    offset += comm::kWireHeaderSize + size;
    ++messages;
  }
  EXPECT_EQ(offset, stream.size());
  EXPECT_EQ(messages, kMessages);
}

// ---------------------------------------------------------------------------
// The service's socket.

constexpr uint32_t kInstance = 800;

class ServiceSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    svx::imageserver::wire::installTransport();
    m_runDir = m_runtime.file("run");
    setenv(comm::kRuntimeDirVariable, m_runDir.c_str(), 1);
    util::config::Provider::setStoreRoot(m_config.path().c_str());
  }
  void TearDown() override {
    for (ImageServer* server : m_servers) stopImageServer(server);
    util::config::Provider::setStoreRoot(nullptr);
    unsetenv(comm::kRuntimeDirVariable);
  }
  ImageServer* start(uint32_t instance) {
    ImageServer* server = startImageServer(instance);
    m_servers.push_back(server);
    return server;
  }
  std::string path(uint32_t instance) {
    return comm::socketPath(m_runDir, "svx.imageserver.ImageServer", instance);
  }
  int rawConnect(uint32_t instance) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path(instance).c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0);
    return fd;
  }
  // A socket file at |path|, listening or not.
  int bindAt(const std::string& where, bool listening) {
    mkdir(m_runDir.c_str(), 0700);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, where.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0);
    if (listening) {
      EXPECT_EQ(listen(fd, 4), 0);
    }
    return fd;
  }
  // True when the service still answers an information request.
  bool serves(uint32_t instance, const std::string& image) {
    imageserver::client::ConnectOptions options;
    options.instance = instance;
    std::unique_ptr<imageserver::client::SyncClient> client =
        imageserver::client::SyncClient::connect(options);
    if (client == nullptr) return false;
    std::vector<imageserver::client::Answer> answers;
    return client->requestInformation({image}, 30.0, &answers) &&
           answers[0].result == imageserver::client::RESULT_OK;
  }

  testsupport::TempDir m_runtime;
  testsupport::TempDir m_config;
  std::string m_runDir;
  std::vector<ImageServer*> m_servers;
};

// Threads of this process.
size_t threadCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST_F(ServiceSocketTest, FolderAndSocketArePrivateAndRemovedSocketGoesWithTheService) {
  const size_t threadsBefore = threadCount();
  ImageServer* server = start(kInstance);
  ASSERT_TRUE(server->registration().isAlive());
  struct stat status;
  ASSERT_EQ(stat(m_runDir.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  ASSERT_EQ(lstat(path(kInstance).c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  stopImageServer(server);
  m_servers.clear();
  EXPECT_NE(lstat(path(kInstance).c_str(), &status), 0);
  // The transport's threads end with the last service, and come back with
  // the next one.
  EXPECT_EQ(threadCount(), threadsBefore);
  testsupport::TempDir files;
  const uint8_t pixels[16] = {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 1, 2, 3, 255};
  const std::string image = files.file("ok.bmp");
  ASSERT_TRUE(imagefiles::writeBmp(image, 2, 2, pixels));
  start(kInstance);
  EXPECT_TRUE(serves(kInstance, image));
}

TEST_F(ServiceSocketTest, AGroupSharedFolderLetsTheGroupConnectAndNobodyElse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  // An operator's folder: group 65534 may enter, others may not.
  mkdir(m_runDir.c_str(), 0700);
  const std::string parent = m_runDir.substr(0, m_runDir.rfind('/'));
  ASSERT_EQ(chmod(parent.c_str(), 0711), 0);  // the temporary folder above it
  ASSERT_EQ(chown(m_runDir.c_str(), 0, 65534), 0);
  ASSERT_EQ(chmod(m_runDir.c_str(), 0770), 0);
  ImageServer* server = start(kInstance);
  ASSERT_TRUE(server->registration().isAlive());
  struct stat status;
  ASSERT_EQ(lstat(path(kInstance).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0660u);
  EXPECT_EQ(lstat(m_runDir.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0770u);  // left as the operator made it

  // A member of the group connects; a user outside it is refused. The socket
  // file belongs to root's group here, so the member is given it as well.
  ASSERT_EQ(chown(path(kInstance).c_str(), 0, 65534), 0);
  for (gid_t gid : {gid_t(65534), gid_t(65533)}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(65534) != 0) _exit(2);
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      struct sockaddr_un address;
      std::memset(&address, 0, sizeof(address));
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, path(kInstance).c_str(), sizeof(address.sun_path) - 1);
      int rc = connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
      _exit(rc == 0 ? 0 : (errno == EACCES ? 1 : 3));
    }
    int code = 0;
    ASSERT_EQ(waitpid(pid, &code, 0), pid);
    ASSERT_TRUE(WIFEXITED(code));
    EXPECT_EQ(WEXITSTATUS(code), gid == 65534 ? 0 : 1) << "gid " << gid;
  }
}

TEST_F(ServiceSocketTest, DefaultFolderComesFromTheUsersRuntimeDirectory) {
  unsetenv(comm::kRuntimeDirVariable);
  const char* previous = std::getenv("XDG_RUNTIME_DIR");
  std::string saved = previous != nullptr ? previous : "";
  setenv("XDG_RUNTIME_DIR", m_runtime.path().c_str(), 1);
  const std::string folder = m_runtime.file("imageserver");
  EXPECT_EQ(comm::runtimeDirectory(), folder);
  EXPECT_EQ(comm::runtimeDirectory("/elsewhere"), "/elsewhere");
  // A default folder that is too open is tightened.
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  chmod(folder.c_str(), 0755);
  ImageServer* server = start(kInstance);
  EXPECT_TRUE(server->registration().isAlive());
  struct stat status;
  ASSERT_EQ(stat(folder.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  EXPECT_EQ(lstat((folder + "/svx.imageserver.ImageServer." + std::to_string(kInstance)).c_str(),
                  &status),
            0);
  stopImageServer(server);
  m_servers.clear();

  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(comm::runtimeDirectory(), "/tmp/imageserver-" + std::to_string(getuid()));
  if (!saved.empty()) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

TEST_F(ServiceSocketTest, StaleSocketIsReplacedLiveSocketRefuses) {
  close(bindAt(path(kInstance), false));  // its process is gone
  ImageServer* server = start(kInstance);
  EXPECT_TRUE(server->registration().isAlive());

  int live = bindAt(path(kInstance + 1), true);
  ImageServer* refused = start(kInstance + 1);
  EXPECT_FALSE(refused->registration().isAlive());
  EXPECT_FALSE(comm::ServiceDirectory::instance().isRegistered("svx.imageserver.ImageServer",
                                                               kInstance + 1));
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("served already"), std::string::npos)
      << kor::ErrorStorage::reason();
  kor::ErrorStorage::ack();
  // The other owner's socket is left alone.
  struct stat status;
  EXPECT_EQ(lstat(path(kInstance + 1).c_str(), &status), 0);
  // The probe connection waits in the live socket's backlog; take it.
  int probe = accept(live, nullptr, nullptr);
  if (probe >= 0) close(probe);
  close(live);
}

TEST_F(ServiceSocketTest, BrokenPeersAreDisconnectedAndOthersStillServed) {
  testsupport::TempDir files;
  const uint8_t pixels[16] = {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 1, 2, 3, 255};
  const std::string image = files.file("ok.bmp");
  ASSERT_TRUE(imagefiles::writeBmp(image, 2, 2, pixels));
  ImageServer* server = start(kInstance);
  ASSERT_TRUE(server->registration().isAlive());

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
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int fds;  // descriptors sent with the bytes
  };
  std::vector<uint8_t> badMagic = header(1, 1, 0, 0);
  badMagic[0] ^= 0xff;
  std::vector<uint8_t> truncatedField = request(1, [](WireWriter& w) {
    w.putU8(1);
    w.putU32(2);
    w.putU8(1);
    w.putU32(50);  // a 50-byte string that is not there
  });
  std::vector<uint8_t> trailing = request(2, [](WireWriter& w) { w.putU32(1); });
  std::vector<uint8_t> withFd = header(1, 2, 0, 1);
  auto release = [](std::vector<uint32_t> values) {
    WireWriter writer(comm::kKindSegmentRelease, 0);
    writer.putU32(static_cast<uint32_t>(values.size() / 2));
    for (uint32_t value : values) writer.putU32(value);
    return writer.finish();
  };
  const Case cases[] = {
      {"bad magic", badMagic, 0},
      {"oversized message", header(1, 0, comm::kMaxMessageSize, 0), 0},
      {"reply kind from a client", header(2, 0, 0, 0), 0},
      {"unknown slot", header(1, 10, 0, 0), 0},
      {"truncated field", truncatedField, 0},
      {"trailing bytes", trailing, 0},
      {"bad bool",
       request(0,
               [](WireWriter& w) {
                 w.putU8(0);
                 w.putI8(0);
                 w.putU8(9);
               }),
       0},
      {"descriptor on a request", withFd, 1},
      {"too many descriptors", header(1, 2, 0, 2), 3},
      {"descriptors the header does not announce", header(1, 5, 0, 0), 1},
      {"release of a segment never sent", release({7, 1}), 0},
      {"empty release", release({}), 0},
      {"drop kind from a client", header(comm::kKindSegmentDrop, 0, 0, 0), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::traces().clear();
    int fd = rawConnect(kInstance);
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
    bool logged = false;
    for (const auto& m : testsupport::traces().messages())
      logged |= m.channel == "COMM_Transport" && m.level == 3 &&
                m.text.find("closing connection") != std::string::npos;
    EXPECT_TRUE(logged);
    EXPECT_TRUE(serves(kInstance, image));
  }

  // A client that sends half a message and goes away.
  int fd = rawConnect(kInstance);
  std::vector<uint8_t> half = header(1, 1, 100, 0);
  ASSERT_EQ(write(fd, half.data(), 10), 10);
  close(fd);
  EXPECT_TRUE(serves(kInstance, image));
}

TEST_F(ServiceSocketTest, AClientThatShutsDownItsSendingSideGetsEveryAnswerThenTheEnd) {
  const uint8_t pixels[16] = {};
  const std::string image = m_runtime.file("ok.bmp");
  ASSERT_TRUE(imagefiles::writeBmp(image, 2, 2, pixels));
  start(kInstance);
  // Accepted and refused locators: answered later by the worker and at once.
  constexpr uint32_t kAccepted = 50;
  WireWriter request(comm::kKindRequest, svx::imageserver::wire::kRequestImageInformation);
  request.putU8(1);
  request.putU32(kAccepted + 1);
  for (uint32_t i = 0; i < kAccepted; ++i) request.putString(image.data(), image.size());
  request.putString("/missing", 8);
  std::vector<uint8_t>& bytes = request.finish();
  int fd = rawConnect(kInstance);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(shutdown(fd, SHUT_WR), 0);

  struct timeval limit = {30, 0};  // a guard against a hang
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  std::vector<uint8_t> stream;
  uint8_t buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof(buffer))) > 0)
    stream.insert(stream.end(), buffer, buffer + got);
  EXPECT_EQ(got, 0) << "the service did not close the connection";
  close(fd);
  uint32_t answers = 0;
  for (size_t offset = 0; offset + comm::kWireHeaderSize <= stream.size(); ++answers) {
    uint8_t kind;
    uint32_t slot, size, fds;
    ASSERT_EQ(comm::parseHeader(stream.data() + offset, &kind, &slot, &size, &fds), nullptr);
    offset += comm::kWireHeaderSize + size;
  }
  EXPECT_EQ(answers, kAccepted + 1);
}

TEST_F(ServiceSocketTest, AnswersAClientHoldsStayIntactWhileItsSegmentsAreReused) {
  // Two pictures large enough for shared memory, with different bytes.
  std::vector<uint8_t> pixels(160 * 160 * 4);  // RGBA in, 24-bit BMP out
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7);
  const std::string first = m_runtime.file("first.bmp");
  ASSERT_TRUE(imagefiles::writeBmp(first, 160, 160, pixels.data()));
  for (uint8_t& value : pixels) value = static_cast<uint8_t>(~value);
  const std::string second = m_runtime.file("second.bmp");
  ASSERT_TRUE(imagefiles::writeBmp(second, 160, 160, pixels.data()));
  const std::string firstBytes = imagefiles::readFile(first);
  const std::string secondBytes = imagefiles::readFile(second);
  start(kInstance);
  imageserver::client::ConnectOptions options;
  options.instance = kInstance;
  auto client = imageserver::client::SyncClient::connect(options);
  ASSERT_NE(client, nullptr);
  auto fetch = [&](imageserver::client::SyncClient& from, const std::string& file) {
    std::vector<imageserver::client::Answer> answers;
    EXPECT_TRUE(from.requestImages({file}, 0, false, 30.0, &answers));
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? imageserver::client::Answer() : answers[0];
  };
  auto bytes = [](const imageserver::client::Answer& answer) {
    return std::string(reinterpret_cast<const char*>(answer.data()), answer.length());
  };

  imageserver::client::Answer held = fetch(*client, first);
  ASSERT_TRUE(held.payload.isShared());
  const uint8_t* firstMemory = held.data();
  // While the first answer is held its memory is not written again.
  for (int i = 0; i < 3; ++i) {
    imageserver::client::Answer next = fetch(*client, second);
    EXPECT_NE(next.data(), firstMemory);
    EXPECT_EQ(bytes(next), secondBytes);
  }
  EXPECT_EQ(bytes(held), firstBytes);
  // Released, it serves the next answer, in the mapping the client has.
  held = imageserver::client::Answer();
  bool reused = false;
  for (int i = 0; i < 50 && !reused; ++i) {  // the release travels meanwhile
    imageserver::client::Answer next = fetch(*client, first);
    EXPECT_EQ(bytes(next), firstBytes);
    reused = next.data() == firstMemory;
  }
  EXPECT_TRUE(reused);

  // Ever larger answers: the pool drops segments too small to make room,
  // and the client unmaps them.
  for (uint32_t side : {150u, 220u, 260u, 300u, 330u, 360u}) {
    std::vector<uint8_t> square(side * side * 4, static_cast<uint8_t>(side));
    const std::string file = m_runtime.file("square" + std::to_string(side) + ".bmp");
    ASSERT_TRUE(imagefiles::writeBmp(file, side, side, square.data()));
    EXPECT_EQ(bytes(fetch(*client, file)), imagefiles::readFile(file));
  }

  // Another client gets memory of its own, and both stay correct.
  auto other = imageserver::client::SyncClient::connect(options);
  ASSERT_NE(other, nullptr);
  imageserver::client::Answer mine = fetch(*client, first);
  imageserver::client::Answer theirs = fetch(*other, second);
  EXPECT_EQ(bytes(mine), firstBytes);
  EXPECT_EQ(bytes(theirs), secondBytes);
}

TEST_F(ServiceSocketTest, ServicesOfOtherNamesStayInProcess) {
  class Target : public comm::ServiceTarget {};
  Target target;
  comm::ServiceRegistration registration(new comm::ServiceRegistrationRecord(
      kor::UUID(), 1, kor::UUID(), "some.other.Service", &target));
  ASSERT_EQ(registration.registerService(), 0);
  struct stat status;
  EXPECT_NE(lstat(comm::socketPath(m_runDir, "some.other.Service", 1).c_str(), &status), 0);
  EXPECT_EQ(registration.unregisterService(), 0);
}

}  // namespace
