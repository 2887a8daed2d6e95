// The transport's parts: wire format bounds, shared segments and their pools,
// and a connection's outgoing queue. The service behind its socket is tested
// end to end (e2e_test).
#include "platform/transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/transport/connection.h"
#include "support/harness.h"

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
      {"array of absent strings at the limit", rawCount(comm::kMaxArrayCount, comm::kMaxArrayCount),
       readStrings, true},
      {"array one past the limit", rawCount(comm::kMaxArrayCount + 1, comm::kMaxArrayCount + 1),
       readStrings, false},
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

TEST(WireTest, WriterTakesWhatTheReaderTakesAndRefusesOneByteMore) {
  // The longest string: the payload less its presence flag and length.
  const std::string text(comm::kMaxMessageSize - comm::kWireHeaderSize - 5, 'a');
  for (size_t excess : {0, 1}) {
    WireWriter writer(comm::kKindRequest, 0);
    writer.putString(text.data(), text.size() + excess);
    EXPECT_EQ(writer.error(), excess == 0 ? "" : "message too large") << excess;
  }
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
  static constexpr size_t kOverhead = comm::kWireHeaderSize + 5;  // of a one-string message

  void SetUp() override { open(); }
  // A fresh connection to a fresh peer.
  void open() {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
    m_peer.reset(fds[1]);
    m_connection = std::make_unique<comm::Connection>(comm::UniqueFd(fds[0]), "pair");
    m_closes = 0;
    m_connection->setCloseHandler([this](const std::string& reason) {
      ++m_closes;
      m_reason = reason;
    });
  }
  // Sends a message of kOverhead + |payloadBytes| bytes.
  int send(size_t payloadBytes) {
    WireWriter writer(comm::kKindReply, 0);
    std::string bytes(payloadBytes, 'q');
    writer.putString(bytes.data(), bytes.size());
    return m_connection->send(writer);
  }
  int carrying(const std::shared_ptr<comm::Segment>& segment) {
    WireWriter writer(comm::kKindReply, 0);
    writer.putSegment(segment, 1);
    return m_connection->send(writer);
  }
  // Sends until the peer's socket is full and one message waits in the
  // queue; the bytes it counts there.
  size_t fill() {
    while (m_connection->queuedMessages() == 0) EXPECT_EQ(send(60000), 0);
    return kOverhead + 60000;
  }
  comm::UniqueFd m_peer;
  std::unique_ptr<comm::Connection> m_connection;
  int m_closes = 0;
  std::string m_reason;
};

TEST_F(ConnectionTest, TheQueueTakesBytesUpToItsLimitAndCutsThePeerOffOnePast) {
  for (size_t excess : {0, 1}) {
    SCOPED_TRACE(excess);
    open();
    // Messages up to the limit (or one byte past it), the last one decides.
    size_t left = comm::kMaxQueuedBytes - fill() + excess;
    for (constexpr size_t kChunk = comm::kMaxMessageSize / 2; left >= kChunk + kOverhead;
         left -= kChunk)
      ASSERT_EQ(send(kChunk - kOverhead), 0);
    EXPECT_EQ(send(left - kOverhead) == 0, excess == 0);
    EXPECT_EQ(m_connection->isClosed(), excess == 1);
  }
  EXPECT_STREQ(kor::ErrorStorage::reason(), "cannot send to pair: outgoing queue full");
  kor::ErrorStorage::ack();
  EXPECT_EQ(m_closes, 1);
  EXPECT_EQ(m_reason, "outgoing queue full");
  EXPECT_EQ(m_connection->queuedMessages(), 0u);
  EXPECT_NE(send(1), 0);
  kor::ErrorStorage::ack();
  EXPECT_EQ(m_closes, 1);
}

TEST_F(ConnectionTest, TheQueueTakesMessagesAndSegmentsUpToTheirLimitsBehindAWaitingOne) {
  fill();
  for (uint32_t queued = 1; queued < comm::kMaxQueuedMessages; ++queued) ASSERT_EQ(send(0), 0);
  EXPECT_NE(send(0), 0);
  kor::ErrorStorage::ack();

  open();
  auto atLimit = comm::Segment::create(comm::kMaxQueuedSegmentBytes);
  auto larger = comm::Segment::create(comm::kMaxQueuedSegmentBytes + 1);
  auto small = comm::Segment::create(1);
  ASSERT_TRUE(atLimit != nullptr && larger != nullptr && small != nullptr);
  // One message of any size is taken by an empty queue.
  ASSERT_EQ(carrying(larger), 0);
  fill();
  EXPECT_EQ(carrying(atLimit), 0);
  EXPECT_NE(carrying(small), 0);
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

}  // namespace
