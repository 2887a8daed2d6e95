// Shared memory segments of the transport: the segments, the service
// side's pools and reserve, and the client side's mappings.
//
// Shared segments
// ---------------
// Byte arrays of 64 KiB and more are allocated in memfd segments (through
// CITypesFactory's allocator hook) so that they travel without a copy: the
// descriptor is passed, the receiver maps it read-only. Before a segment is
// first sent it is sealed against shrinking and growing, then against
// further sealing, so the receiver can trust its size. A one-off segment is
// also sealed against future writes (where the kernel has that seal): the
// receiver can neither map it writable nor write to it. A pool's segments
// (below) are not: the service must be able to take their pages back
// (reclaimPages) whatever the client does with its mapping, and the kernel
// refuses that for a write-sealed file. A client can therefore write into
// the memory of its own answers, which the service reuses for that client
// alone and never reads back.
//
// Pooled segments
// ---------------
// Fresh memory is expensive: every page of a new segment is faulted in and
// zeroed, and the receiver maps it page by page again. So the service keeps
// a small pool of segments per connection and reuses them for the same
// client only (a segment is never shown to two clients, so no client can
// see another's data). A byte array made while a job for a client runs (see
// ArrayAllocationScope in comm.h) comes from that client's pool; the reply
// carries it as a pooled segment with its id, which is unique on the
// connection and never reused. The client maps a segment the first time it
// sees its id and keeps the mapping; when the last answer using the segment
// is released it sends a release message, and only then may the service
// write the segment again. The service drops idle segments (too many, too
// much memory, or unused for kPoolIdleMs) and tells the client with a drop
// message, upon which the client unmaps its copy. A release of an id that
// is not out with the client, a drop of an unknown id or a pooled segment
// whose descriptor does not match the id's closes the connection.
// A connection keeps kPoolMaxSegments segments for reuse. An array beyond
// them gets a transient segment (tag 4): made for that answer alone, with an
// id like a pooled one; the client maps it for the answer and sends a
// release when the answer's bytes are gone, upon which the service frees
// it. (Tag 2, a one-off segment the client keeps for itself, is left for
// arrays that could not be made in a segment at first and are copied into
// one as they are sent.) Whenever the service frees a segment the client has
// seen and released (a drop, a released transient one, an idle one at the
// end of the connection), it first takes its pages back
// (Segment::reclaimPages): a client that keeps its mapping then maps a
// hole, and holds no memory of the service's. Answers a client still holds
// when its connection ends stay readable for as long as it keeps them.
//
// Segments written by decoder processes
// --------------------------------------
// Decoded pixels are written by a decoder process (see lumo.h) straight
// into the segment of the answer: the service hands it the segment's
// descriptor, sealed against shrinking and growing first (so that no
// decoder can make the service or the client fault on a mapping), and the
// decoder keeps its mapping for the client's later answers, as the client
// does. A segment made on the spot for a decoder to write
// (ForeignWriterScope) has its pages allocated but not mapped in the
// service, which never writes it: for a 12-MP bitmap that is about 10 ms
// instead of 30 on the request's path. A pool per decoder, not a seal per
// answer, keeps one decoder's writes out of the answers it did not make: a
// connection's pool (above) is only ever written by the decoders of that
// connection, one at a time (a decoder serves one client for its life, and
// one is killed and reaped before another takes its place), so a decoder
// can only ever write into answers of the client whose files it was given,
// which it could spoil anyway. Sealing each answer against writes once the
// decoder has unmapped it would need a fresh mapping per answer in both
// processes and would make the segment's pages impossible to take back
// (reclaimPages), so the pool could not reuse it.
//
// Pre-faulted segments
// --------------------
// A new segment costs a zeroed page and a page-table entry per 4 KiB
// (about 20 ms for the 36 MB of a decoded 12-MP photo), which would fall on
// the first answer of every new client. The service process therefore keeps
// a reserve of segments made ahead of need by a thread of the lowest
// priority: fresh memfd segments whose pages are allocated, zeroed and
// mapped writable. A pool that needs a new segment takes the smallest
// reserved one that holds the array and is at most twice its size; the
// thread then makes one of the same size for the next time. When none fits,
// the segment is made on the spot, and one of its size is made for the next
// time. So the reserve learns the answer sizes clients ask for; the first
// answer of a size after the start pays for its own segment. It holds at
// most kSegmentReserveBytes (64 MiB; the host's --segment-reserve sets
// COMM_SEGMENT_RESERVE_MIB; 0 turns the reserve off), freeing the segments
// asked for longest ago to make room, but never one larger than the one to
// be made: a large segment costs the most to make on the spot, and one
// client's churn of smaller answers must not push out what the next new
// client's first large answer needs. While no service listens it holds
// nothing.
// A segment is never shown to two clients: a reserved segment has never
// been sent; the reserve gives it to one pool and forgets it; a pool sends
// its segments to its own client only and frees them when it drops them or
// closes (the client may still be reading its mapping), never handing them
// back to the reserve or to another pool.
//
// A client's shared memory
// ------------------------
// Every segment made for a client counts against it, at its full size, from
// its making until its pages are taken back, or its connection ends: the
// segments of its answers that it holds or that wait to be sent, and the
// idle ones kept for its next answers. Whatever it does with its mappings,
// it holds no more than that. A client may hold kClientMemoryBytes (256
// MiB; the host's --client-memory sets COMM_CLIENT_MEMORY_MIB) and
// kMaxClientSegments segments (each is a descriptor in the service), or one
// answer of any size when it holds nothing else; idle segments are freed to
// make room. All clients together hold at most the total bound (a quarter
// of the machine's memory; the host's --total-client-memory sets
// COMM_TOTAL_CLIENT_MEMORY_MIB), one answer of any size included, and at
// most half the process's descriptor limit in segments. Past a bound:
//   - an array is not made: the job answers RESULT_OUT_OF_MEMORY (past the
//     total bounds, that is all);
//   - while a client holds its own limit (in segments in use), its requests
//     whose answers can take shared memory
//     (ServiceSession::answersTakeSharedMemory; for the image service,
//     image requests) are read but held, in order, without making
//     jobs for them (up to kMaxHeldRequestBytes; beyond that its socket is
//     not read), and go on as soon as it releases memory. Its other requests
//     (information, subscriptions) are dispatched as usual, so they may
//     overtake held ones. A held request is judged (its locators validated)
//     when it is dispatched, not when it arrives;
//   - when it has released nothing for kClientMemoryGraceMs (30 s) while
//     requests are held, they are dispatched all the same, and so is every
//     request it sends until it next releases memory: their arrays are
//     refused, so each locator still gets its one answer,
//     RESULT_OUT_OF_MEMORY where it needs shared memory. One level 3 trace
//     says so. The connection stays.
// Other clients are served as usual throughout, within the total bounds.
#ifndef PLATFORM_TRANSPORT_SEGMENT_H_
#define PLATFORM_TRANSPORT_SEGMENT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/transport/unique_fd.h"

namespace comm {

// Byte arrays of this size and more go into shared segments.
constexpr uint32_t kSegmentThreshold = 64 * 1024;

// The shared memory one client may hold at once (the segments of its answers
// from their making until it releases them), unless one answer alone is
// larger. The host may set another value through the environment variable
// COMM_CLIENT_MEMORY_MIB (read once, at the first connection).
constexpr uint64_t kClientMemoryBytes = 256ull * 1024 * 1024;
extern const char* const kClientMemoryVariable;  // "COMM_CLIENT_MEMORY_MIB"
// The limit for connections accepted from now on: the one set, else the
// environment's, else kClientMemoryBytes.
uint64_t clientMemoryLimit();
// Sets it (0: back to the environment's or the default); for tests.
void setClientMemoryLimit(uint64_t bytes);

// A size the host chose in MiB through the environment variable |variable|,
// in bytes: |fallback| when it is unset or empty, and (with a level 3
// trace) when it is not a whole number of MiB from |least| to |most|.
uint64_t mibFromEnvironment(const char* variable, uint64_t least, uint64_t most, uint64_t fallback);

// The shared memory all clients together may hold (see "A client's shared
// memory"): the host may set it through COMM_TOTAL_CLIENT_MEMORY_MIB (read
// once); by default a quarter of the machine's physical memory.
extern const char* const kTotalClientMemoryVariable;  // "COMM_TOTAL_CLIENT_MEMORY_MIB"
uint64_t totalClientMemoryLimit();
// Sets it (0: back to the environment's or the default); for tests.
void setTotalClientMemoryLimit(uint64_t bytes);
// The segments all clients together may hold: half the process's soft
// limit on descriptors at the first call, so that accepting connections
// and opening files never run short because of them.
uint32_t segmentDescriptorBudget();
// Sets it (0: back to the default); for tests.
void setSegmentDescriptorBudget(uint32_t segments);

// Segment pools.
constexpr uint32_t kPoolMaxSegments = 4;
constexpr uint32_t kMaxClientSegments = 64;
constexpr uint32_t kPoolIdleMs = 10000;
// Received pooled segments a client keeps mapped at most (a service that
// sends more is refused).
constexpr uint32_t kMaxCachedSegments = 16;
// The reserve of pre-faulted segments (see "Pre-faulted segments").
constexpr uint64_t kSegmentReserveBytes = 64ull * 1024 * 1024;
constexpr uint32_t kMaxSegmentReserveMiB = 65536;
extern const char* const kSegmentReserveVariable;  // "COMM_SEGMENT_RESERVE_MIB"

// A memfd segment and its mapping. The sender's segments are writable until
// sealed; received segments are mapped read-only and hold no descriptor.
// Thread-safe.
class Segment {
 public:
  ~Segment();
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  // A new writable segment of |size| bytes (at least 1 is mapped), its
  // pages allocated; |mapHere| false leaves them unmapped in this process
  // (for a segment written by another one).
  static Status create(uint32_t size, std::shared_ptr<Segment>* made, bool mapHere = true);
  // Maps the received descriptor |fd| read-only after checking that it is a
  // memfd sealed against shrinking and holds at least |length| bytes. The
  // descriptor is closed either way.
  static Status mapReceived(UniqueFd fd, uint32_t length, std::shared_ptr<Segment>* mapped);
  // The first |length| bytes of |base| (length <= base->size()) as a segment
  // of their own that keeps |base| mapped; |onRelease| runs when it is
  // destroyed.
  static Status view(const std::shared_ptr<Segment>& base, uint32_t length,
                     std::function<void()> onRelease, std::shared_ptr<Segment>* made);

  const uint8_t* data() const { return m_data; }
  uint8_t* writableData() const { return m_writable ? m_data : nullptr; }
  uint32_t size() const { return m_size; }
  // The descriptor of a segment made here (-1 for a received one).
  int fd() const { return m_fd.get(); }
  // Seals the segment once (see above): against future writes too unless
  // it is reclaimable.
  Status seal();
  bool isSealed() const { return m_sealed.load(std::memory_order_acquire); }
  // Leaves the future-write seal off, so that reclaimPages() works after
  // the segment has been sent. Before the first seal().
  void setReclaimable() { m_reclaimable = true; }
  // Frees the segment's pages, whatever mappings of it exist here or in
  // other processes: they read zeros afterwards. False when the kernel
  // refuses (a write-sealed segment).
  bool reclaimPages();

 private:
  Segment() = default;
  UniqueFd m_fd;
  uint8_t* m_data = nullptr;
  size_t m_mapped = 0;
  uint32_t m_size = 0;
  bool m_writable = false;
  bool m_reclaimable = false;
  std::mutex m_sealMutex;
  std::atomic<bool> m_sealed{false};
  std::shared_ptr<Segment> m_base;  // a view's mapping
  std::function<void()> m_onRelease;
};

// The storage of a CIInt8Array that lives in a segment.
class SegmentStorage : public CIInt8Array::Storage {
 public:
  explicit SegmentStorage(std::shared_ptr<Segment> segment) : m_segment(std::move(segment)) {}
  int8_t* bytes() override { return reinterpret_cast<int8_t*>(m_segment->writableData()); }
  const std::shared_ptr<Segment>& segment() const { return m_segment; }

 private:
  std::shared_ptr<Segment> m_segment;
};

// The service side's segments of one connection (see "Pooled segments" and
// "A client's shared memory"). Thread-safe.
class SegmentPool {
 public:
  // |limit|: the shared memory the client may hold at once.
  explicit SegmentPool(uint64_t limit = kClientMemoryBytes) : m_limit(limit) {}
  ~SegmentPool();
  SegmentPool(const SegmentPool&) = delete;
  SegmentPool& operator=(const SegmentPool&) = delete;

  // Storage for an array of |size| bytes for the pool's client: the
  // smallest idle pooled segment that is large enough, a new pooled one,
  // or, beyond kPoolMaxSegments, a transient one; idle segments are freed
  // to make room. Null when memory is short, or (with |*refused| set) when
  // a bound would be passed: the array must not be made then.
  static CIInt8Array::Storage* allocate(const std::shared_ptr<SegmentPool>& pool, uint32_t size,
                                        bool* refused);
  // The bytes of the client's segments in use: held by an array here or out
  // with the client (and those freed whose pages could not be taken back).
  uint64_t outstandingBytes();
  // True when the client holds its limit or more in segments in use, or
  // kMaxClientSegments of them.
  bool atLimit();
  // When the client last released something (steady clock, ms).
  uint64_t lastReleaseMs();

  // A reply carrying segment |id| was queued for the client.
  void markSent(uint32_t id);
  // The client is done with |receipts| replies in segment |id|. Fails
  // (nothing changed) when that many are not out with it: a protocol error.
  Status release(uint32_t id, uint32_t receipts);
  // Drops the segments idle since before |nowMs| - kPoolIdleMs (all idle
  // ones when |all|) and returns the ids the client knows, for a drop
  // message.
  std::vector<uint32_t> trim(uint64_t nowMs, bool all = false);
  // Ids dropped to make room since the last call (for a drop message).
  std::vector<uint32_t> takeDropped();
  // No more allocations; idle segments are freed now, the others when their
  // array and the client are done with them.
  void close();

  // For tests and diagnostics.
  size_t segmentCount();
  size_t idleCount();
  // The bytes counted against the client (see "A client's shared memory").
  uint64_t bytes();

  // The bytes held idle by all pools of the process.
  static uint64_t idleBytesTotal();
  // The bytes and segments counted against all clients together.
  static uint64_t bytesTotal();
  static uint32_t segmentsTotal();

  // Called by the array's storage when it is destroyed.
  void storageGone(uint32_t id);

 private:
  struct Entry {
    uint32_t id = 0;
    std::shared_ptr<Segment> segment;
    bool transient = false;  // freed as soon as it is idle; not kept for reuse
    uint32_t used = 0;       // bytes of the array it holds, while in use
    bool storageAlive = false;
    uint32_t outWithClient = 0;  // replies sent and not yet released
    bool clientKnows = false;    // sent at least once: the client maps it
    uint64_t idleSinceMs = 0;
    bool idle() const { return !storageAlive && outWithClient == 0; }
  };
  // Frees entry |index| (idle), taking its pages back when the client has
  // seen it; |known| gets its id when it is a pooled one the client maps.
  // The caller holds m_mutex.
  void dropLocked(size_t index, std::vector<uint32_t>* known);
  // Entry |index| is idle now: kept for reuse, or freed when transient or
  // the pool is closed.
  void becameIdleLocked(size_t index);
  // The entry for an array of |size| bytes: an idle pooled one, else a new
  // one; m_entries.size() with |*refused| set when a bound leaves no room,
  // or without it when memory is short.
  size_t chooseLocked(uint32_t size, bool* refused);
  // Frees idle entries, oldest first, until |fits| holds; whether it does.
  template <class Fits>
  bool makeRoomLocked(Fits fits);

  const uint64_t m_limit;
  std::mutex m_mutex;
  std::vector<Entry> m_entries;  // Guarded by m_mutex, as is all below.
  std::vector<uint32_t> m_dropped;
  uint32_t m_nextId = 1;
  uint64_t m_bytes = 0;   // counted against the client: its segments' and m_pinned
  uint64_t m_inUse = 0;   // of which in segments in use
  uint64_t m_pinned = 0;  // of which in freed segments whose pages stayed
  uint32_t m_inUseCount = 0;
  uint64_t m_lastReleaseMs = 0;
  bool m_closed = false;
};

// The storage of an array in a pooled segment.
class PooledStorage : public SegmentStorage {
 public:
  PooledStorage(std::shared_ptr<Segment> segment, std::shared_ptr<SegmentPool> pool, uint32_t id,
                bool transient)
      : SegmentStorage(std::move(segment)),
        m_pool(std::move(pool)),
        m_id(id),
        m_transient(transient) {}
  ~PooledStorage() override { m_pool->storageGone(m_id); }
  SegmentPool* pool() const { return m_pool.get(); }
  uint32_t id() const { return m_id; }
  // Sent as a transient segment: the client maps it for this answer only.
  bool transient() const { return m_transient; }

 private:
  const std::shared_ptr<SegmentPool> m_pool;
  const uint32_t m_id;
  const bool m_transient;
};

// The client side's mappings of pooled segments, by id. Hands out views,
// and sends a release message through |sendRelease| when the last view of a
// segment is gone. Thread-safe.
class ReceivedSegments : public std::enable_shared_from_this<ReceivedSegments> {
 public:
  // |sendRelease| sends a release message for |receipts| replies in one
  // segment (it may fail quietly: the connection is then closing).
  explicit ReceivedSegments(std::function<void(uint32_t id, uint32_t receipts)> sendRelease)
      : m_sendRelease(std::move(sendRelease)) {}

  // A view of |length| bytes of segment |id|, whose descriptor came as
  // |fd|: mapped now when the id is new, else the mapping made before (the
  // descriptor must then be the same segment).
  Status acquire(uint32_t id, UniqueFd fd, uint32_t length, std::shared_ptr<Segment>* view);
  // The bytes of transient segment |id|, mapped for this answer alone: a
  // release message goes out when they are gone.
  Status acquireTransient(uint32_t id, UniqueFd fd, uint32_t length,
                          std::shared_ptr<Segment>* view);
  // The service dropped |id|: unmapped once no view uses it. Fails for an
  // unknown id.
  Status drop(uint32_t id);
  // Forgets every mapping (views keep theirs) and sends no more releases.
  void close();

  size_t mappedCount();  // for tests

 private:
  struct Entry {
    std::shared_ptr<Segment> mapping;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t views = 0;     // live views
    uint32_t receipts = 0;  // replies received since the last release
    bool dropped = false;
  };
  void viewGone(uint32_t id);

  std::function<void(uint32_t, uint32_t)> m_sendRelease;
  std::mutex m_mutex;
  std::map<uint32_t, Entry> m_entries;  // Guarded by m_mutex.
  bool m_closed = false;
};

// The process's reserve of pre-faulted segments for the service side (see
// "Pre-faulted segments"). Thread-safe.
class SegmentReserve {
 public:
  static SegmentReserve& getInstance();

  // A reserved segment of |capacity| bytes or up to twice that, or null when
  // none is ready. Either way one of |capacity| bytes is made ready for the
  // next call, unless one that fits is ready or on its way already.
  std::shared_ptr<Segment> take(uint32_t capacity);
  // Frees the ready segments and makes no more until resume().
  void suspend();
  void resume();

  // The bound on the bytes held (ready and being made): at first the
  // environment's or kSegmentReserveBytes. A lower one frees the segments
  // asked for longest ago. For tests.
  void setLimit(uint64_t bytes);
  uint64_t limit();
  // For tests and diagnostics: the bytes held, the segments ready, and the
  // calls of take() that got one.
  uint64_t bytes();
  size_t readyCount();
  uint64_t hits();
  // Waits until nothing is being made or waits to be made; false after
  // |timeoutMs|.
  bool waitIdle(uint32_t timeoutMs);

  struct State;

 private:
  SegmentReserve();
  State* m_state;
};

// Installs (once per process) the allocator that places byte arrays of
// |threshold| bytes or more in segments.
void installSegmentAllocator(uint32_t threshold = kSegmentThreshold);

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_SEGMENT_H_
