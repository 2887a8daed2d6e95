// The transport's parts: wire format bounds, shared segments and their pools,
// and a connection's outgoing queue. The service behind its socket is tested
// end to end (e2e_test).
#include "platform/transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/transport/connection.h"
#include "platform/transport/unique_fd.h"
#include "support/harness.h"

namespace {

using comm::Segment;
using comm::Status;
using comm::WireReader;
using comm::WireWriter;

// ---------------------------------------------------------------------------
// Wire format.

TEST(WireTest, EveryFieldReadsBackAndEveryTruncationFailsCleanly) {
  WireWriter writer(comm::kKindReply, 7);
  writer.putU8(200);
  writer.putBool(true);
  writer.putI8(-3);
  writer.putU32(0xdeadbeef);
  writer.putI32(-42);
  writer.putI64(-1234567890123LL);
  writer.putString("hello", 5);
  writer.putString(CIPtr<CIString>());
  writer.putStringArray(testsupport::locators({nullptr, "ccc"}));
  CIPtr<CIUInt32Array> ids = CITypesFactory::createUInt32Array(1);
  (*ids)[0] = 23;
  writer.putUInt32Array(ids);
  CIPtr<CIInt8Array> array = CITypesFactory::createInt8Array(3);
  std::memcpy(array->data(), "xyz", 3);
  writer.putByteArray(array);
  const std::vector<uint8_t>& message = writer.finish();
  const std::vector<uint8_t> payload(message.begin() + comm::kWireHeaderSize, message.end());
  for (size_t length = 0; length <= payload.size() + 1; ++length) {
    // Exactly |length| bytes, so that the sanitizers see a read past them;
    // one byte more is trailing.
    std::vector<uint8_t> cut(payload.begin(), payload.begin() + std::min(length, payload.size()));
    cut.resize(length, 0);
    WireReader reader(cut.data(), cut.size());
    std::tuple<uint8_t, bool, int8_t, uint32_t, int32_t, int64_t> scalars;
    auto& [u8, flag, i8, u32, i32, i64] = scalars;
    CIPtr<CIString> text, absent;
    CIPtr<CIPtrArray<CIString>> strings;
    comm::WireBytes bytes;
    const bool read = reader.getU8(&u8) && reader.getBool(&flag) && reader.getI8(&i8) &&
                      reader.getU32(&u32) && reader.getI32(&i32) && reader.getI64(&i64) &&
                      reader.getString(&text) && reader.getString(&absent) &&
                      reader.getStringArray(&strings) && reader.getUInt32Array(&ids) &&
                      reader.getByteArray(&bytes) && reader.finish();
    ASSERT_EQ(read, length == payload.size()) << "length " << length;
    EXPECT_EQ(length > payload.size(), std::string(reader.status().message()) == "trailing bytes");
    if (!read) continue;
    EXPECT_EQ(scalars, std::make_tuple(200, true, -3, 0xdeadbeef, -42, -1234567890123LL));
    EXPECT_TRUE(text->length() == 5 && absent.isNull() && (*strings)[0].isNull());
    EXPECT_STREQ((*strings)[1]->utf8(), "ccc");
    EXPECT_EQ((*ids)[0], 23u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.length), "xyz");
  }
}

// |head|, then u32 |count|, then |fill| bytes of |value|.
std::vector<uint8_t> counted(std::vector<uint8_t> head, uint32_t count, size_t fill,
                             uint8_t value = 'a') {
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(count >> (8 * i)));
  head.insert(head.end(), fill, value);
  return head;
}

// A new segment of |size| bytes, sealed when |sealed|.
std::shared_ptr<Segment> segment(uint32_t size, bool sealed = false) {
  std::shared_ptr<Segment> made;
  EXPECT_TRUE(Segment::create(size, &made).ok() && (!sealed || made->seal().ok()));
  return made;
}

enum Field { kString, kStrings, kIds, kBytes, kReleases, kDrops };

// Reads one field of kind |field| that fills |payload|: whether it read,
// and the reader's code.
std::pair<bool, Status::Code> readField(Field field, const std::vector<uint8_t>& payload) {
  WireReader reader(payload.data(), payload.size());
  CIPtr<CIString> text;
  CIPtr<CIPtrArray<CIString>> strings;
  CIPtr<CIUInt32Array> ids;
  comm::WireBytes bytes;
  std::vector<uint32_t> items;
  const bool read = field == kString    ? reader.getString(&text) && reader.finish()
                    : field == kStrings ? reader.getStringArray(&strings) && reader.finish()
                    : field == kIds     ? reader.getUInt32Array(&ids) && reader.finish()
                    : field == kBytes
                        ? reader.getByteArray(&bytes) && reader.finish()
                        : comm::getSegmentList(reader, field == kReleases ? 2 : 1, &items);
  return {read, reader.status().code()};
}

TEST(WireTest, TheReaderTakesEachLimitAndRefusesOnePast) {
  constexpr uint32_t kLongest = comm::kMaxMessageSize - comm::kWireHeaderSize - 5;
  constexpr uint32_t kArray = comm::kMaxArrayCount;
  constexpr uint32_t kList = comm::kMaxSegmentIdsPerMessage;
  // Refused by the reader (a broken protocol), or by the list it reads.
  const std::pair<bool, Status::Code> kReads{true, Status::kOk}, kRefused{false, Status::kProtocol},
      kListRefuses{false, Status::kOk};
  const struct {
    const char* what;
    Field field;
    std::vector<uint8_t> payload;
    std::pair<bool, Status::Code> outcome;
  } cases[] = {
      // Strings and inline bytes are bounded by their message alone.
      {"string filling the message", kString, counted({1}, kLongest, kLongest), kReads},
      {"string one byte short", kString, counted({1}, 10, 9), kRefused},
      // Bytes as they are: the receiver judges a NUL (a path cannot hold one).
      {"string of a NUL", kString, counted({1}, 1, 1, 0), kReads},
      {"present flag 2", kString, {2}, kRefused},
      {"bytes filling the message", kBytes, counted({1}, kLongest, kLongest), kReads},
      {"bytes one short", kBytes, counted({1}, 10, 9), kRefused},
      {"byte array tag 5", kBytes, {5}, kRefused},
      {"pooled segment to a service", kBytes, counted({3}, 10, 4), kRefused},
      {"segment without descriptor", kBytes, counted({2}, 10, 0), kRefused},
      {"strings at the count limit", kStrings, counted({1}, kArray, kArray, 0), kReads},
      {"one string more", kStrings, counted({1}, kArray + 1, kArray + 1, 0), kRefused},
      {"strings beyond the bytes", kStrings, counted({1}, 100, 99, 0), kRefused},
      {"u32s at the count limit", kIds, counted({1}, kArray, 4 * kArray), kReads},
      {"one u32 more", kIds, counted({1}, kArray + 1, 4 * kArray + 4), kRefused},
      {"u32s one byte short", kIds, counted({1}, 3, 11), kRefused},
      {"releases at the limit", kReleases, counted({}, kList, 8 * kList, 1), kReads},
      {"one release more", kReleases, counted({}, kList + 1, 8 * kList + 8), kRefused},
      {"no release", kReleases, counted({}, 0, 0), kListRefuses},
      {"release and a byte", kReleases, counted({}, 1, 9), kRefused},
      {"drops at the limit", kDrops, counted({}, kList, 4 * kList, 1), kReads},
  };
  for (const auto& c : cases) EXPECT_EQ(readField(c.field, c.payload), c.outcome) << c.what;
}

TEST(WireTest, TheWriterTakesEachLimitAndRefusesOnePast) {
  // What writing says: the writer's code, then the segments it holds.
  auto wrote = [](const std::function<void(WireWriter&)>& write) {
    WireWriter writer(comm::kKindRequest, 0);
    write(writer);
    return std::make_pair(writer.status().code(), writer.segments().size());
  };
  auto was = [](Status::Code code, size_t segments) { return std::make_pair(code, segments); };
  const std::string text(comm::kMaxMessageSize - comm::kWireHeaderSize - 5, 'a');
  EXPECT_EQ(wrote([&](WireWriter& w) { w.putString(text.data(), text.size()); }),
            was(Status::kOk, 0));
  EXPECT_EQ(wrote([&](WireWriter& w) { w.putString(text.data(), text.size() + 1); }),
            was(Status::kLimit, 0));
  auto strings = [](uint32_t n) { return CITypesFactory::createStringArray(n); };
  EXPECT_EQ(wrote([&](WireWriter& w) { w.putStringArray(strings(comm::kMaxArrayCount)); }),
            was(Status::kOk, 0));
  EXPECT_EQ(wrote([&](WireWriter& w) { w.putStringArray(strings(comm::kMaxArrayCount + 1)); }),
            was(Status::kLimit, 0));
  auto array = [](uint32_t n) { return CITypesFactory::createInt8Array(n); };
  EXPECT_EQ(wrote([&](WireWriter& w) { w.putByteArray(array(comm::kSegmentThreshold - 1)); }),
            was(Status::kOk, 0));
  EXPECT_EQ(wrote([&](WireWriter& w) { w.putByteArray(array(comm::kSegmentThreshold)); }),
            was(Status::kOk, 1));
  const std::shared_ptr<Segment> s[] = {segment(1), segment(1), segment(1)};
  auto carrying = [&](size_t n, uint32_t length) {
    return wrote([&](WireWriter& w) {
      for (size_t i = 0; i < n; ++i) w.putSegment(s[i], length);
    });
  };
  EXPECT_EQ(carrying(2, 1), was(Status::kOk, 2));
  EXPECT_EQ(carrying(3, 1), was(Status::kLimit, 2));
  EXPECT_EQ(carrying(1, 2), was(Status::kInvalidArgument, 0));
  auto releases = [&](uint32_t items) {
    return wrote([&](WireWriter& w) { putSegmentList(w, std::vector<uint32_t>(2 * items), 2); });
  };
  EXPECT_EQ(releases(comm::kMaxSegmentIdsPerMessage), was(Status::kOk, 0));
  EXPECT_EQ(releases(comm::kMaxSegmentIdsPerMessage + 1), was(Status::kInvalidArgument, 0));
  EXPECT_EQ(releases(0), was(Status::kInvalidArgument, 0));
}

TEST(WireTest, HeaderChecksMagicVersionKindSizeAndDescriptors) {
  WireWriter writer(comm::kKindRequest, 9);
  writer.putU8(0xab);
  const std::vector<uint8_t> header = writer.finish();
  // The layout, byte for byte: magic, version, kind, fds, slot, size.
  EXPECT_EQ(header,
            (std::vector<uint8_t>{'C', 'I', 'P', 'W', 1, 1, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0xab}));
  uint8_t kind;
  uint32_t slot, size, fds;
  auto with = [&](size_t offset, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> changed = header;
    std::copy(bytes.begin(), bytes.end(), changed.begin() + offset);
    return comm::parseHeader(changed.data(), &kind, &slot, &size, &fds).code();
  };
  constexpr uint32_t kMaxPayload = comm::kMaxMessageSize - comm::kWireHeaderSize;
  EXPECT_EQ(with(0, {'X'}), Status::kProtocol);
  EXPECT_EQ(with(4, {2}), Status::kProtocol);
  EXPECT_EQ(with(5, {0}), Status::kProtocol);
  EXPECT_EQ(with(5, {4}), Status::kOk);
  EXPECT_EQ(with(5, {5}), Status::kProtocol);
  EXPECT_EQ(with(6, {2, 0}), Status::kOk);
  EXPECT_EQ(fds, 2u);
  EXPECT_EQ(with(6, {3, 0}), Status::kLimit);
  EXPECT_EQ(with(6, {0, 1}), Status::kLimit);
  EXPECT_EQ(with(12, counted({}, kMaxPayload, 0)), Status::kOk);
  EXPECT_EQ(size, kMaxPayload);
  EXPECT_EQ(with(12, counted({}, kMaxPayload + 1, 0)), Status::kLimit);
}

// ---------------------------------------------------------------------------
// Segments.

comm::UniqueFd dup(const std::shared_ptr<Segment>& segment) {
  return comm::UniqueFd(fcntl(segment->fd(), F_DUPFD_CLOEXEC, 0));
}

TEST(SegmentTest, ReceiverRejectsUnsealedShortOrForeignDescriptors) {
  std::shared_ptr<Segment> made = segment(4096), mapped;
  EXPECT_EQ(Segment::mapReceived(dup(made), 4096, &mapped).code(), Status::kProtocol);
  ASSERT_TRUE(made->seal().ok());
  EXPECT_EQ(Segment::mapReceived(dup(made), 4097, &mapped).code(), Status::kProtocol);
  ASSERT_TRUE(Segment::mapReceived(dup(made), 4096, &mapped).ok());
  EXPECT_EQ(mapped->writableData(), nullptr);
  // Sealed: the receiver can neither shrink it nor map it writable.
  EXPECT_NE(ftruncate(made->fd(), 10), 0);
  EXPECT_EQ(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, made->fd(), 0), MAP_FAILED);
  const Status refused =
      Segment::mapReceived(comm::UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC)), 0, &mapped);
  EXPECT_EQ(refused.sysError(), EINVAL);
  // Its pages cannot be taken back; a reclaimable segment's can, however
  // the receiver keeps its mapping, which then reads zeros.
  EXPECT_FALSE(made->reclaimPages());
  std::shared_ptr<Segment> pooled;
  ASSERT_TRUE(Segment::create(3 * 4096 + 10, &pooled).ok());
  pooled->setReclaimable();
  std::memset(pooled->writableData(), 0x5a, pooled->size());
  ASSERT_TRUE(pooled->seal().ok());
  EXPECT_NE(ftruncate(pooled->fd(), 10), 0);
  comm::UniqueFd kept = dup(pooled);
  ASSERT_TRUE(Segment::mapReceived(dup(pooled), pooled->size(), &mapped).ok());
  ASSERT_EQ(mapped->data()[pooled->size() - 1], 0x5a);
  EXPECT_TRUE(pooled->reclaimPages());
  struct stat status;
  ASSERT_EQ(fstat(kept.get(), &status), 0);
  EXPECT_EQ(status.st_blocks, 0);
  EXPECT_EQ(mapped->data()[pooled->size() - 1], 0);
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
  auto first = allocateFrom(pool, 100000);
  ASSERT_NE(first, nullptr);
  const uint32_t id = first->id();
  const uint8_t* memory = first->segment()->data();
  pool->markSent(id);
  first.reset();
  // Out with the client: not handed out again until it releases it.
  auto second = allocateFrom(pool, 100000);
  ASSERT_TRUE(second != nullptr && second->segment()->data() != memory);
  EXPECT_FALSE(pool->release(id, 2).ok());  // only one reply is out
  EXPECT_TRUE(pool->release(id, 1).ok());
  EXPECT_EQ(pool->release(id, 1).code(), Status::kProtocol);  // not out
  auto again = allocateFrom(pool, 90000);  // fits: the same memory, no fresh pages
  ASSERT_TRUE(again != nullptr && again->segment()->data() == memory);
  // All segments busy: one more is made for its answer alone, freed with it.
  std::vector<std::unique_ptr<comm::PooledStorage>> busy;
  while (pool->segmentCount() < comm::kPoolMaxSegments) busy.push_back(allocateFrom(pool, 70000));
  EXPECT_TRUE(allocateFrom(pool, 70000)->transient());
  EXPECT_EQ(pool->segmentCount(), comm::kPoolMaxSegments);
  // An idle segment too small for a request is dropped to make room, and the
  // client is told when it had seen it.
  const uint32_t known = second->id();
  pool->markSent(known);
  second.reset();
  ASSERT_TRUE(pool->release(known, 1).ok());
  EXPECT_NE(allocateFrom(pool, 300000), nullptr);
  EXPECT_EQ(pool->takeDropped(), std::vector<uint32_t>{known});
  // Idle segments go after a while; busy ones stay.
  busy.clear();
  EXPECT_TRUE(pool->trim(0).empty());
  EXPECT_EQ(pool->idleCount(), comm::kPoolMaxSegments - 1);
  EXPECT_TRUE(pool->trim(UINT64_MAX / 2).empty());  // none of them was sent
  EXPECT_EQ(pool->segmentCount(), 1u);
  pool->close();
  EXPECT_EQ(allocateFrom(pool, 1000), nullptr);
  again.reset();
  EXPECT_EQ(pool->segmentCount(), 0u);
  EXPECT_EQ(comm::SegmentPool::idleBytesTotal(), 0u);
}

// Kilobytes of this process's mapping that starts at |data| that are
// mapped in (its Rss in /proc/self/smaps); -1 when there is no such mapping.
long residentKb(const void* data) {
  char start[32];
  std::snprintf(start, sizeof(start), "%lx-", reinterpret_cast<unsigned long>(data));
  std::ifstream smaps("/proc/self/smaps");
  bool found = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.rfind(start, 0) == 0) found = true;
    if (found && line.rfind("Rss:", 0) == 0) return std::atol(line.c_str() + 4);
  }
  return -1;
}

TEST(SegmentPoolTest, ASegmentForAnotherWriterHasItsPagesAllocatedButNotMappedHere) {
  constexpr uint32_t kSize = 4u << 20;
  auto pool = std::make_shared<comm::SegmentPool>();
  std::unique_ptr<comm::PooledStorage> own, foreign;
  own = allocateFrom(pool, kSize);
  {
    const comm::ForeignWriterScope scope;
    foreign = allocateFrom(pool, kSize);
  }
  ASSERT_NE(own, nullptr);
  ASSERT_NE(foreign, nullptr);
  for (const auto* storage : {own.get(), foreign.get()}) {
    struct stat status;
    ASSERT_EQ(fstat(storage->segment()->fd(), &status), 0);
    EXPECT_GE(status.st_blocks * 512, kSize);  // allocated now: no SIGBUS later
  }
  EXPECT_GE(residentKb(own->segment()->data()), long{kSize / 1024});
  EXPECT_EQ(residentKb(foreign->segment()->data()), 0);
}

TEST(SegmentPoolTest, AClientHoldsNoMoreThanItsLimitUnlessOneAnswerAloneIsLarger) {
  constexpr uint32_t kLimit = 1024 * 1024;
  auto pool = std::make_shared<comm::SegmentPool>(kLimit);
  bool refused = false;
  // One answer larger than the limit, while the client holds nothing: made,
  // and counted until the client releases it.
  auto huge = allocateFrom(pool, 2 * kLimit, &refused);
  ASSERT_NE(huge, nullptr);
  const uint32_t id = huge->id();
  pool->markSent(id);
  huge.reset();
  EXPECT_EQ(allocateFrom(pool, 1, &refused), nullptr);
  EXPECT_TRUE(refused);
  ASSERT_TRUE(pool->release(id, 1).ok());
  // Up to the limit, and not a byte past it; an array never sent frees its
  // part when it goes.
  auto half = allocateFrom(pool, kLimit / 2, &refused);
  auto rest = allocateFrom(pool, kLimit / 2, &refused);
  EXPECT_TRUE(half != nullptr && rest != nullptr && pool->atLimit());
  EXPECT_EQ(allocateFrom(pool, 1, &refused), nullptr);
  EXPECT_TRUE(refused);
  rest.reset();
  EXPECT_NE(allocateFrom(pool, kLimit / 2, &refused), nullptr);
}

TEST(SegmentPoolTest, AllClientsTogetherStayWithinTheTotalBounds) {
  constexpr uint32_t kMiB = 1024 * 1024;
  auto a = std::make_shared<comm::SegmentPool>(8 * kMiB);
  auto b = std::make_shared<comm::SegmentPool>(8 * kMiB);
  auto c = std::make_shared<comm::SegmentPool>(8 * kMiB);
  bool refused = false;
  // Memory: up to the total across clients, and not a byte past it, not
  // even for a client's first answer, which its own limit would allow.
  comm::setTotalClientMemoryLimit(3 * kMiB);
  auto first = allocateFrom(a, 2 * kMiB, &refused);
  auto second = allocateFrom(b, kMiB, &refused);
  ASSERT_TRUE(first != nullptr && second != nullptr);
  EXPECT_EQ(comm::SegmentPool::bytesTotal(), 3u * kMiB);
  EXPECT_EQ(allocateFrom(c, 1, &refused), nullptr);
  EXPECT_TRUE(refused);
  // A client's idle segment makes room for its own next answer.
  first.reset();
  auto again = allocateFrom(a, kMiB + 1, &refused);
  EXPECT_NE(again, nullptr);
  EXPECT_EQ(comm::SegmentPool::bytesTotal(), 3u * kMiB);
  second.reset();
  comm::setTotalClientMemoryLimit(0);
  // Descriptors: up to the budget across clients, and not one past it.
  const uint32_t held = comm::SegmentPool::segmentsTotal();
  comm::setSegmentDescriptorBudget(held + 2);
  auto third = allocateFrom(c, 100000, &refused);
  auto fourth = allocateFrom(c, 100000, &refused);
  ASSERT_TRUE(third != nullptr && fourth != nullptr);
  EXPECT_EQ(allocateFrom(a, 100000, &refused), nullptr);
  EXPECT_TRUE(refused);
  comm::setSegmentDescriptorBudget(0);
}

TEST(SegmentReserveTest, ReservedSegmentsAreMadeAheadWithinTheBoundAndNeverShared) {
  constexpr uint32_t kMiB = 1024 * 1024;
  comm::SegmentReserve& reserve = comm::SegmentReserve::getInstance();
  auto take = [&](uint32_t capacity) {
    const bool hit = reserve.take(capacity) != nullptr;
    EXPECT_TRUE(reserve.waitIdle(10000));
    return hit;
  };
  reserve.resume();  // empty: the harness turned it off
  reserve.setLimit(3 * kMiB);
  // A miss makes one of that size ready for the next time; a larger one up
  // to the bound pushes out a smaller one; one past it is not made.
  EXPECT_FALSE(take(2 * kMiB));
  EXPECT_EQ(reserve.bytes(), 2u * kMiB);
  EXPECT_FALSE(take(3 * kMiB));
  EXPECT_FALSE(take(3 * kMiB + 1));
  EXPECT_EQ(reserve.bytes(), 3u * kMiB);
  // Not for an array of less than half its size; and a smaller one never
  // pushes out a larger one, which costs more to make on the spot.
  EXPECT_FALSE(take(kMiB));
  EXPECT_EQ(reserve.bytes(), 3u * kMiB);
  reserve.setLimit(kMiB);  // a lower bound frees what is over it
  EXPECT_EQ(reserve.bytes(), 0u);
  EXPECT_FALSE(take(kMiB));
  EXPECT_EQ(reserve.bytes(), uint64_t{kMiB});
  // A pool takes the reserved segment, and one is made again; the next
  // client's is zeroed, never the first client's, nor after that one went.
  auto first = std::make_shared<comm::SegmentPool>();
  const uint64_t hits = reserve.hits();
  auto written = allocateFrom(first, kMiB);
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(reserve.hits(), hits + 1);
  std::memset(written->bytes(), 0x5a, kMiB);
  auto freshOneIsZeroed = [&] {
    EXPECT_TRUE(reserve.waitIdle(10000));
    EXPECT_EQ(reserve.readyCount(), 1u);
    auto fresh = allocateFrom(std::make_shared<comm::SegmentPool>(), kMiB);
    const uint8_t* bytes = fresh != nullptr ? fresh->segment()->data() : nullptr;
    return bytes != nullptr && std::all_of(bytes, bytes + kMiB, [](uint8_t b) { return b == 0; });
  };
  EXPECT_TRUE(freshOneIsZeroed());
  written.reset();
  first.reset();
  EXPECT_TRUE(freshOneIsZeroed());
  // Off (as for the other tests): nothing is held or made.
  reserve.setLimit(0);
  EXPECT_FALSE(take(kMiB));
  EXPECT_EQ(reserve.bytes(), 0u);
}

TEST(SegmentPoolTest, AClientMapsEachSegmentOnceAndReleasesItWhenTheLastViewGoes) {
  std::vector<std::pair<uint32_t, uint32_t>> releases;
  auto received = std::make_shared<comm::ReceivedSegments>(
      [&](uint32_t id, uint32_t receipts) { releases.emplace_back(id, receipts); });
  std::shared_ptr<Segment> served = segment(8192, true), other = segment(8192, true), a, b;
  served->writableData()[100] = 42;
  ASSERT_TRUE(received->acquire(5, dup(served), 4096, &a).ok());
  ASSERT_TRUE(received->acquire(5, dup(served), 8192, &b).ok());
  EXPECT_TRUE(a->data() == b->data() && a->size() == 4096 && b->data()[100] == 42);
  // A known id with another segment, or longer than the segment: refused.
  EXPECT_EQ(received->acquire(5, dup(other), 10, &a).code(), Status::kProtocol);
  EXPECT_FALSE(received->acquire(5, dup(served), 8193, &a).ok());
  a.reset();
  EXPECT_TRUE(releases.empty());
  b.reset();
  EXPECT_EQ(releases, (std::vector<std::pair<uint32_t, uint32_t>>{{5, 2}}));
  EXPECT_EQ(received->mappedCount(), 1u);  // kept for the next reply
  // Dropped while a view is in use: unmapped with the view, no release.
  ASSERT_TRUE(received->acquire(5, dup(served), 1, &a).ok());
  EXPECT_TRUE(received->drop(5).ok());
  EXPECT_EQ(received->drop(5).code(), Status::kProtocol);  // unknown
  a.reset();
  EXPECT_EQ(releases.size(), 1u);
  EXPECT_EQ(received->mappedCount(), 0u);
  // No more than kMaxCachedSegments ids are kept mapped.
  for (uint32_t id = 1; id <= comm::kMaxCachedSegments; ++id)
    ASSERT_TRUE(received->acquire(id, dup(other), 1, &a).ok()) << id;
  EXPECT_EQ(received->acquire(99, dup(other), 1, &b).code(), Status::kLimit);
}

// ---------------------------------------------------------------------------
// Connections over a socket pair.

class ConnectionTest : public ::testing::Test {
 protected:
  static constexpr size_t kOverhead = comm::kWireHeaderSize + 4 + 5;  // of send(0)

  void SetUp() override { open(); }
  // A fresh connection to a fresh peer.
  void open() {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
    m_peer.reset(fds[1]);
    m_connection = std::make_unique<comm::Connection>(comm::UniqueFd(fds[0]), "pair");
    m_closes.clear();
    m_connection->setCloseHandler([this](const std::string& why) { m_closes.push_back(why); });
  }
  // Queues a message numbered m_sent, carrying |segments| or a string that
  // makes it kOverhead + |payloadBytes| long; how that went.
  Status::Code send(size_t payloadBytes,
                    const std::vector<std::shared_ptr<Segment>>& segments = {}) {
    WireWriter writer(comm::kKindReply, 0);
    writer.putU32(m_sent++);
    for (const auto& segment : segments) writer.putSegment(segment, 1);
    if (segments.empty()) writer.putString(std::string(payloadBytes, 'q').c_str(), payloadBytes);
    return m_connection->queue(writer).code();
  }
  // Sends until the peer's socket is full and one message waits in the
  // queue; the bytes it counts there.
  size_t fill() {
    while (m_connection->queuedMessages() == 0) EXPECT_EQ(send(60000), Status::kOk);
    return kOverhead + 60000;
  }
  comm::UniqueFd m_peer;
  std::unique_ptr<comm::Connection> m_connection;
  uint32_t m_sent = 0;
  std::vector<std::string> m_closes;  // the close handler's reasons
};

TEST_F(ConnectionTest, TheQueueTakesEachLimitBehindAWaitingMessageAndCutsThePeerOffOnePast) {
  constexpr Status::Code kFull = Status::kLimit, kOk = Status::kOk;
  // Bytes: messages up to the limit, or one byte past it; the last decides.
  for (size_t excess : {0, 1}) {
    open();
    size_t left = comm::kMaxQueuedBytes - fill() + excess;
    for (constexpr size_t kChunk = comm::kMaxMessageSize / 2; left >= kChunk + kOverhead;
         left -= kChunk)
      ASSERT_EQ(send(kChunk - kOverhead), kOk);
    EXPECT_EQ(send(left - kOverhead), excess == 0 ? kOk : kFull) << excess;
  }
  EXPECT_EQ(m_closes, std::vector<std::string>{"outgoing queue full"});
  EXPECT_EQ(send(1), Status::kClosed);
  // Messages.
  open();
  fill();
  while (m_connection->queuedMessages() < comm::kMaxQueuedMessages) ASSERT_EQ(send(0), kOk);
  EXPECT_EQ(send(0), kFull);
  // The segments' bytes; an empty queue takes a message of any size.
  open();
  ASSERT_EQ(send(0, {segment(comm::kMaxQueuedSegmentBytes + 1)}), kOk);
  fill();
  EXPECT_EQ(send(0, {segment(comm::kMaxQueuedSegmentBytes)}), kOk);
  EXPECT_EQ(send(0, {segment(1)}), kFull);
  EXPECT_EQ(m_closes.size(), 1u);
}

TEST_F(ConnectionTest, SendingToAGonePeerFailsWithoutSignalAndSaysWhyInErrorStorage) {
  m_peer.reset();
  WireWriter writer(comm::kKindReply, 0);
  EXPECT_EQ(m_connection->send(writer), -1);  // EPIPE, not SIGPIPE
  EXPECT_EQ(kor::ErrorStorage::code(), Status::kClosed);
  kor::ErrorStorage::ack();
  EXPECT_EQ(m_closes.size(), 1u);
}

TEST_F(ConnectionTest, WaitingMessagesAreWrittenInOrderWhenTheLoopReportsOutput) {
  // The service's registration: input only, output once something waits.
  comm::UniqueFd loop(epoll_create1(EPOLL_CLOEXEC));
  struct epoll_event event = {EPOLLIN | EPOLLRDHUP | EPOLLET, {.u64 = 7}};
  ASSERT_EQ(epoll_ctl(loop.get(), EPOLL_CTL_ADD, m_connection->pollFd(), &event), 0);
  m_connection->setEpoll(loop.get(), 7);
  comm::Connection peer(std::move(m_peer), "peer");
  uint32_t received = 0;
  size_t descriptors = 0;  // close-on-exec ones
  auto readPeer = [&] {
    return peer.readAvailable([&](comm::WireMessage& message) {
      for (const auto& fd : message.fds) descriptors += fcntl(fd.get(), F_GETFD) == FD_CLOEXEC;
      uint32_t number = 0;
      const bool inOrder = WireReader(message).getU32(&number) && number == received++;
      return inOrder ? Status() : Status::error(kor::Status::kFailed, "out of order");
    });
  };
  // Written at once, with as many descriptors as a message may carry; the
  // peer's read wakes nobody.
  ASSERT_EQ(send(0, {segment(1), segment(1)}), Status::kOk);
  ASSERT_TRUE(readPeer());
  EXPECT_EQ(descriptors, 2u);
  EXPECT_EQ(epoll_wait(loop.get(), &event, 1, 0), 0);
  // What waits goes out when the peer has read and the loop reports output.
  fill();
  ASSERT_TRUE(readPeer());
  ASSERT_EQ(epoll_wait(loop.get(), &event, 1, 10000), 1);
  EXPECT_TRUE(event.data.u64 == 7 && (event.events & EPOLLOUT));
  ASSERT_TRUE(m_connection->flush());
  EXPECT_FALSE(m_connection->hasPendingOutput());
  ASSERT_TRUE(readPeer());
  EXPECT_EQ(received, m_sent);
}

TEST_F(ConnectionTest, AReadingTurnEndsAtItsBytesOrWhereTheCallerPausesAndGoesOnNextTime) {
  comm::Connection peer(std::move(m_peer), "peer");
  std::vector<uint32_t> numbers;
  auto readPeer = [&](size_t turnBytes, std::function<bool()> mayGoOn, bool* stopped) {
    return peer.readAvailable(
        [&](comm::WireMessage& message) {
          uint32_t number = 0;
          WireReader(message).getU32(&number);
          numbers.push_back(number);
          return Status();
        },
        false, mayGoOn, turnBytes, stopped);
  };
  constexpr size_t kPayload = 100000;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(send(kPayload), Status::kOk);
  // A turn of a little more than one message reads part of the rest and
  // stops; what it read is handed over first the next time.
  bool stopped = false;
  ASSERT_TRUE(readPeer(kOverhead + kPayload + 1, {}, &stopped));
  EXPECT_TRUE(stopped);
  ASSERT_GE(numbers.size(), 1u);
  ASSERT_LT(numbers.size(), 4u);
  // The caller pauses before the next message: nothing more, and the turn
  // says it stopped.
  const size_t before = numbers.size();
  ASSERT_TRUE(readPeer(
      SIZE_MAX, [] { return false; }, &stopped));
  EXPECT_TRUE(stopped);
  EXPECT_EQ(numbers.size(), before);
  // Then the rest, as the sender writes what its socket did not take at
  // first.
  for (int i = 0; i < 100 && numbers.size() < 4; ++i) {
    ASSERT_TRUE(m_connection->flush());
    ASSERT_TRUE(readPeer(SIZE_MAX, {}, &stopped));
    EXPECT_FALSE(stopped);
  }
  EXPECT_EQ(numbers, (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST(ClientConnectionTest, ASocketPathFillsItsAddressAndNotAByteMore) {
  const std::string longest = "/" + std::string(sizeof(sockaddr_un::sun_path) - 2, 'p');
  std::unique_ptr<comm::ClientConnection> client;
  EXPECT_EQ(comm::ClientConnection::open(longest, {}, &client).code(), Status::kNotFound);
  EXPECT_EQ(comm::ClientConnection::open(longest + "p", {}, &client).code(), Status::kLimit);
}

// The folders a client tries, and the order, by what the environment holds.
TEST(ClientConnectionTest, AClientTriesTheChosenFolderAloneOrTheUsersThenTheSystemsThenTmp) {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedXdg = xdg != nullptr ? xdg : "";
  const std::string tmp = "/tmp/imageserver-" + std::to_string(getuid());
  using Kind = comm::RuntimeFolder::Kind;
  auto listed = [](const std::vector<comm::RuntimeFolder>& folders) {
    std::vector<std::pair<std::string, Kind>> out;
    for (const auto& folder : folders) out.emplace_back(folder.path, folder.kind);
    return out;
  };
  using Expected = std::vector<std::pair<std::string, Kind>>;
  setenv("XDG_RUNTIME_DIR", "/run/user/77", 1);
  EXPECT_EQ(listed(comm::clientRuntimeFolders()),
            (Expected{{"/run/user/77/imageserver", comm::RuntimeFolder::kUser},
                      {"/run/imageserver", comm::RuntimeFolder::kSystem},
                      {tmp, comm::RuntimeFolder::kUser}}));
  EXPECT_EQ(listed(comm::clientRuntimeFolders("/given")),
            (Expected{{"/given", comm::RuntimeFolder::kChosen}}));
  setenv(comm::kRuntimeDirVariable, "/chosen", 1);
  EXPECT_EQ(listed(comm::clientRuntimeFolders()),
            (Expected{{"/chosen", comm::RuntimeFolder::kChosen}}));
  setenv(comm::kRuntimeDirVariable, "", 1);
  setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(listed(comm::clientRuntimeFolders()),
            (Expected{{"/run/imageserver", comm::RuntimeFolder::kSystem},
                      {tmp, comm::RuntimeFolder::kUser}}));
  unsetenv(comm::kRuntimeDirVariable);
  setenv("XDG_RUNTIME_DIR", savedXdg.c_str(), 1);
}

class ServiceFolderTest : public ::testing::Test {
 protected:
  // Makes |name| below the test's folder with |mode|, and returns it.
  std::string folder(const std::string& name, mode_t mode) {
    const std::string path = m_dir.file(name);
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }
  // A listener at the service's socket in |where|; it takes connections
  // into its backlog, which is all a connect needs.
  void listenIn(const std::string& where) {
    const std::string path = comm::socketPath(where, "svc", 3);
    m_listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un address = {AF_UNIX, {}};
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(m_listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(m_listener.get(), 4), 0);
  }
  // The connect's failure, or "" with |path| where it connected.
  std::string open(const std::vector<comm::RuntimeFolder>& folders, std::string* path = nullptr) {
    std::unique_ptr<comm::ClientConnection> client;
    std::string where;
    Status status =
        comm::ClientConnection::openService(folders, "svc", 3, {}, &client, &where, false);
    if (path != nullptr) *path = where;
    return status.message();
  }

  testsupport::TempDir m_dir;
  comm::UniqueFd m_listener;
};

TEST_F(ServiceFolderTest, AServiceOnlyInALaterFolderIsFoundAndAFailureNamesEveryFolder) {
  const std::string user = m_dir.file("user");  // missing
  const std::string system = folder("system", 02770);
  const std::string last = folder("last", 0700);
  const std::vector<comm::RuntimeFolder> folders = {{user, comm::RuntimeFolder::kUser},
                                                    {system, comm::RuntimeFolder::kSystem},
                                                    {last, comm::RuntimeFolder::kUser}};
  EXPECT_EQ(open(folders), "no service at " + user + "/svc.3 (no such file), nor at " + system +
                               "/svc.3 (no such file), nor at " + last + "/svc.3 (no such file)");
  listenIn(system);
  std::string path;
  EXPECT_EQ(open(folders, &path), "");
  EXPECT_EQ(path, system + "/svc.3");
  // A socket nobody listens on is passed over too.
  m_listener.reset();
  EXPECT_EQ(open(folders), "no service at " + user + "/svc.3 (no such file), nor at " + system +
                               "/svc.3 (nobody listens there), nor at " + last +
                               "/svc.3 (no such file)");
}

// Only a folder that nobody but its owner could have put a socket in is
// used; a chosen one is taken as it is.
TEST_F(ServiceFolderTest, AClientConnectsOnlyInAFolderNobodyElseCouldHaveFilled) {
  using comm::RuntimeFolder;
  const struct {
    const char* name;
    mode_t mode;
    RuntimeFolder::Kind kind;
    const char* refusal;  // "": used
  } cases[] = {
      {"private", 0700, RuntimeFolder::kUser, ""},
      {"group-writable", 0770, RuntimeFolder::kUser, "the folder is writable by others"},
      {"readable", 0755, RuntimeFolder::kUser, ""},
      {"shared", 02770, RuntimeFolder::kSystem, ""},
      {"open", 0777, RuntimeFolder::kSystem, "the folder is writable by others"},
      {"open-chosen", 0777, RuntimeFolder::kChosen, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string where = folder(c.name, c.mode);
    listenIn(where);
    const std::string socket = where + "/svc.3";
    EXPECT_EQ(open({{where, c.kind}}),
              *c.refusal ? "no service at " + socket + " (" + c.refusal + ")" : "");
  }
  const std::string link = m_dir.file("link");
  ASSERT_EQ(symlink(m_dir.file("private").c_str(), link.c_str()), 0);
  EXPECT_EQ(open({{link, RuntimeFolder::kUser}}),
            "no service at " + link + "/svc.3 (not a folder)");

  // Another account's folder: refused as the user's own; as the system's
  // only where root alone could have given it to that account.
  if (getuid() != 0) GTEST_SKIP() << "only root can give a folder to another account";
  const std::string service = folder("service", 02770);
  listenIn(service);
  ASSERT_EQ(chown(service.c_str(), 65534, 65534), 0);
  EXPECT_EQ(open({{service, RuntimeFolder::kUser}}),
            "no service at " + service + "/svc.3 (the folder belongs to another user)");
  ASSERT_EQ(chmod(m_dir.path().c_str(), 0700), 0);
  EXPECT_EQ(open({{service, RuntimeFolder::kSystem}}), "");
  ASSERT_EQ(chmod(m_dir.path().c_str(), 0770), 0);  // its group could have made it
  EXPECT_EQ(open({{service, RuntimeFolder::kSystem}}),
            "no service at " + service + "/svc.3 (the folder belongs to another user)");
  ASSERT_EQ(chmod(m_dir.path().c_str(), 0700), 0);
}

}  // namespace
