// The cross-process transport of the IPC framework: makes a registered
// service reachable from other processes over a Unix domain socket, and lets
// a client process talk to it.
//
// Runtime folder and socket names
// -------------------------------
// A service registered as (name, instance) listens on the stream socket
// "<folder>/<name>.<instance>", e.g. "svx.imageserver.ImageServer.0". The
// folder is, in order of preference:
//   - $COMM_RUNTIME_DIR when set and not empty (used as given; created 0700
//     when missing, so an operator can prepare a group-shared 0770 folder),
//   - $XDG_RUNTIME_DIR/imageserver,
//   - /tmp/imageserver-<uid>.
// A default folder is created 0700, must be a directory owned by the user
// (not a link) and is tightened to 0700 when it is not. Sockets are bound
// with umask 0177, so they are 0600; in a folder named by $COMM_RUNTIME_DIR
// that gives its group full access (0770, e.g. an operator's group-shared
// folder) they are bound with umask 0117, so they are 0660 and members of
// the folder's group can connect. A socket file left by a dead process
// (connect fails with ECONNREFUSED) is replaced; a live one makes the
// registration fail. Unregistration closes the listener, removes the socket
// file and closes every connection of the service.
//
// Wire format (version 1)
// -----------------------
// A connection carries messages, each a 16-byte header followed by the
// payload. All integers are little-endian.
//   offset 0  u32 magic    0x57504943 (the bytes "CIPW")
//   offset 4  u8  version  1
//   offset 5  u8  kind     1 request (client to service), 2 reply (service to
//                          client), 3 segment release (client to service),
//                          4 segment drop (service to client)
//   offset 6  u16 fds      descriptors sent with the message (0..2), attached
//                          (SCM_RIGHTS) to the message's first byte
//   offset 8  u32 slot     operation slot of the interface
//   offset 12 u32 size     payload bytes (header + payload <= 1 MiB)
// The payload is the operation's arguments, positionally:
//   u8, i8, bool (u8 0 or 1), u32, i32, i64   fixed width
//   string        u8 present (0/1); if present u32 length (<= 4096) and the
//                 bytes (UTF-8, no NUL)
//   string array  u8 present; u32 count (<= 16384); that many strings
//   u32 array     u8 present; u32 count (<= 16384); that many u32
//   byte array    u8 tag: 0 absent; 1 inline: u32 length (< 64 KiB) and the
//                 bytes; 2 segment: u32 length, and the next descriptor of
//                 the message is a sealed memfd of at least that size;
//                 3 pooled segment: u32 length, u32 segment id, and the next
//                 descriptor is the segment (replies only, see below);
//                 4 transient segment: as 3, for one answer only (see
//                 "A client's shared memory")
// Segment release and drop messages have slot 0 and carry u32 count
// (1..1024) and that many items: a release item is u32 segment id and u32
// receipts (replies in that segment the client is done with), a drop item a
// u32 segment id.
// Every length and count is checked against the bytes that remain before it
// is used. A message must be consumed exactly. A bad magic or version, an
// unknown kind or slot, an oversized message, too many descriptors,
// truncated control data or a malformed field closes that connection (with a
// level 3 trace on "COMM_Transport"); other connections are not affected.
//
// Shared segments
// ---------------
// Byte arrays of 64 KiB and more are allocated in memfd segments (through
// CITypesFactory's allocator hook) so that they travel without a copy: the
// descriptor is passed, the receiver maps it read-only. Before a segment is
// first sent it is sealed against shrinking, growing and (where the kernel
// has it) future writes, then against further sealing. The sender keeps its
// writable mapping (a write seal is impossible while one exists) and does not
// write after sending; the receiver cannot map it writable or truncate it.
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
// Limits per connection: kPoolMaxSegments segments and kPoolMaxBytes bytes;
// for the process: kPoolMaxTotalBytes. An array beyond them gets a transient
// segment (tag 4): made for that answer alone, with an id like a pooled one;
// the client maps it for the answer and sends a release when the answer's
// bytes are gone, upon which the service frees it. (Tag 2, a one-off segment
// the client keeps for itself, is left for arrays that could not be made in
// a segment at first and are copied into one as they are sent.)
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
// asked for longest ago to make room; while no service listens it holds
// nothing.
// A segment is never shown to two clients: a reserved segment has never
// been sent; the reserve gives it to one pool and forgets it; a pool sends
// its segments to its own client only and frees them when it drops them or
// closes (the client may still be reading its mapping), never handing them
// back to the reserve or to another pool.
//
// A client's shared memory
// ------------------------
// Every segment made for a client counts against it from the moment its
// array is made until the client releases it, or its connection ends: the
// bytes of its answers that it holds, or that wait to be sent. A client may
// hold kClientMemoryBytes (256 MiB; the host's --client-memory sets
// COMM_CLIENT_MEMORY_MIB), or one answer of any size when it holds nothing
// else. Past that:
//   - an array for it is not made: the job answers RESULT_OUT_OF_MEMORY;
//   - while it holds its limit, its requests are read but held, in order,
//     without making jobs for them (up to kMaxHeldRequestBytes; beyond that
//     its socket is not read), and go on as soon as it releases memory;
//   - a client whose requests are held and that releases nothing for
//     kClientMemoryGraceMs (30 s) is disconnected, with one level 3 trace.
// Other clients are served as usual throughout.
//
// Dispatch and sending
// --------------------
// A pool of two dispatch threads (epoll, edge-triggered) accepts connections
// and reads requests; each connection's requests are dispatched in order,
// one at a time, under a ServiceDirectory::Lease. Replies are sent from the
// calling thread without blocking: a connection has a bounded outgoing queue
// (8 MiB of message bytes, 1 GiB of shared segments carried, 65536
// messages), and the loop watches the socket for output only while the
// queue holds something; a client whose queue is full is disconnected. The
// bounds apply to what waits behind the message being written: an empty
// queue takes one message of any size, so a client that reads gets even an
// answer larger than them (a file of 1.5 GB, say). All descriptors are
// close-on-exec; sends use MSG_NOSIGNAL.
//
// A client may shut down its sending side (shutdown(SHUT_WR)) after its
// requests and read on: the end of its stream does not close the
// connection. The service closes it once every answer is written and none is
// owed any more (no job or subscription holds the client's reply endpoint),
// within kHalfClosedCheckMs; a full close or an error by the client closes it
// at once.
//
// When accept runs out of descriptors or memory, the clients already
// connected are served on, and the waiting ones are accepted once
// descriptors are free (retried every 100 ms). A level 3 trace says when
// such a stall begins and when it ends, with the number of failed tries.
//
// Stop
// ----
// Unregistering a service closes its listener at once: nobody new connects.
// A request read after it is not served (a level 3 trace, once per
// connection); the connection stays open, since the service may still be
// answering earlier requests (the job in hand). When the service's object is
// destroyed (ServiceTarget's destructor, after the worker has ended), each
// of its connections closes as soon as everything queued for it is written,
// or at once if the client has gone away. The destructor waits for that at
// most kStopDrainMs (5 s; Transport::setStopDrainTime changes it); then the
// connections still open are closed, and a level 3 trace says how many
// answers were dropped for how many clients. So a client that keeps reading
// receives every answer a job produced, and one that stops reading delays a
// stop by the drain time at most.
#ifndef PLATFORM_TRANSPORT_H_
#define PLATFORM_TRANSPORT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/tracing.h"

namespace comm {

// --- Limits and constants ----------------------------------------------------

constexpr uint32_t kWireMagic = 0x57504943;
constexpr uint8_t kWireVersion = 1;
constexpr uint32_t kWireHeaderSize = 16;
constexpr uint32_t kMaxMessageSize = 1024 * 1024;  // header included
constexpr uint32_t kMaxArrayCount = 16384;
constexpr uint32_t kMaxFdsPerMessage = 2;
// Byte arrays of this size and more go into shared segments.
constexpr uint32_t kSegmentThreshold = 64 * 1024;
// A client's outgoing queue: a request may ask for up to kMaxArrayCount
// answers at once, which a client that reads them slower than they come must
// not lose; what the queue holds is bounded by bytes: the messages' own and
// those of the shared segments they carry.
constexpr uint32_t kMaxQueuedMessages = 65536;
constexpr size_t kMaxQueuedBytes = 8u * 1024 * 1024;
constexpr uint64_t kMaxQueuedSegmentBytes = 1024ull * 1024 * 1024;

// How long a stop waits for its clients to read the answers already queued
// for them (see "Stop").
constexpr uint32_t kStopDrainMs = 5000;
// How often a half-closed connection is checked for whether it is owed
// anything more.
constexpr uint32_t kHalfClosedCheckMs = 100;

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
// A client at its limit whose requests are held waits at most this long for
// a release before it is disconnected.
constexpr uint32_t kClientMemoryGraceMs = 30000;
// Requests held for a client at its limit, in bytes: beyond it, its socket is
// not read until it releases memory.
constexpr size_t kMaxHeldRequestBytes = 4u * 1024 * 1024;

// Segment pools.
constexpr uint32_t kPoolMaxSegments = 4;
constexpr uint64_t kPoolMaxBytes = 256ull * 1024 * 1024;
constexpr uint64_t kPoolMaxTotalBytes = 1024ull * 1024 * 1024;
constexpr uint32_t kPoolIdleMs = 10000;
constexpr uint32_t kMaxSegmentIdsPerMessage = 1024;
// Received pooled segments a client keeps mapped at most (a service that
// sends more is refused).
constexpr uint32_t kMaxCachedSegments = 16;
// The reserve of pre-faulted segments (see "Pre-faulted segments").
constexpr uint64_t kSegmentReserveBytes = 64ull * 1024 * 1024;
constexpr uint32_t kMaxSegmentReserveMiB = 65536;
extern const char* const kSegmentReserveVariable;  // "COMM_SEGMENT_RESERVE_MIB"

enum MessageKind : uint8_t {
  kKindRequest = 1,
  kKindReply = 2,
  kKindSegmentRelease = 3,
  kKindSegmentDrop = 4,
};

// The environment variable that chooses the runtime folder.
extern const char* const kRuntimeDirVariable;  // "COMM_RUNTIME_DIR"

// The transport's tracing channel, "COMM_Transport".
tracing::Channel& transportChannel();

// --- Descriptors --------------------------------------------------------------

// Owns one file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int m_fd = -1;
};

// --- Shared segments ----------------------------------------------------------

// A memfd segment and its mapping. The sender's segments are writable until
// sealed; received segments are mapped read-only and hold no descriptor.
// Thread-safe.
class Segment {
 public:
  ~Segment();
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  // A new writable segment of |size| bytes (at least 1); null with the
  // reason in kor::ErrorStorage.
  static std::shared_ptr<Segment> create(uint32_t size);
  // As create(), but leaves kor::ErrorStorage alone (errno says why).
  static std::shared_ptr<Segment> tryCreate(uint32_t size);
  // Maps the received descriptor |fd| read-only after checking that it is a
  // memfd sealed against shrinking and holds at least |length| bytes. The
  // descriptor is closed either way. Null with the reason in ErrorStorage.
  static std::shared_ptr<Segment> mapReceived(UniqueFd fd, uint32_t length);
  // The first |length| bytes of |base| (length <= base->size()) as a segment
  // of their own that keeps |base| mapped; |onRelease| runs when it is
  // destroyed.
  static std::shared_ptr<Segment> view(const std::shared_ptr<Segment>& base, uint32_t length,
                                       std::function<void()> onRelease);

  const uint8_t* data() const { return m_data; }
  uint8_t* writableData() const { return m_writable ? m_data : nullptr; }
  uint32_t size() const { return m_size; }
  // The descriptor of a segment made here (-1 for a received one).
  int fd() const { return m_fd.get(); }
  // Seals the segment once (see above); 0, or -1 with the reason.
  int seal();
  bool isSealed() const { return m_sealed.load(std::memory_order_acquire); }

 private:
  Segment() = default;
  UniqueFd m_fd;
  uint8_t* m_data = nullptr;
  size_t m_mapped = 0;
  uint32_t m_size = 0;
  bool m_writable = false;
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

  // Storage for an array of |size| bytes for the pool's client: an idle
  // pooled segment that is large enough, a new pooled one, or, beyond the
  // pool's limits, a transient one. Null when memory is short, or (with
  // |*refused| set) when the client's shared memory would pass its limit:
  // the array must not be made then.
  static CIInt8Array::Storage* allocate(const std::shared_ptr<SegmentPool>& pool, uint32_t size,
                                        bool* refused);
  // The bytes of the client's segments in use: held by an array here or out
  // with the client.
  uint64_t outstandingBytes();
  // True when the client holds its limit or more.
  bool atLimit();
  // When the client last released something (steady clock, ms).
  uint64_t lastReleaseMs();

  // A reply carrying segment |id| was queued for the client.
  void markSent(uint32_t id);
  // The client is done with |receipts| replies in segment |id|. False
  // (nothing changed) when that many are not out with it: a protocol error.
  bool release(uint32_t id, uint32_t receipts);
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
  uint64_t bytes();

  // The bytes held idle by all pools of the process.
  static uint64_t idleBytesTotal();

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
  // Frees |entry| (idle); the caller holds m_mutex.
  void dropLocked(size_t index, std::vector<uint32_t>* known);
  // Entry |index| is idle now: kept for reuse, or freed when transient or
  // the pool is closed.
  void becameIdleLocked(size_t index);
  // A pooled segment for |size| bytes, or m_entries.size() when the pool's
  // limits leave no room.
  size_t pooledLocked(uint32_t size);

  const uint64_t m_limit;
  std::mutex m_mutex;
  std::vector<Entry> m_entries;  // Guarded by m_mutex, as is all below.
  std::vector<uint32_t> m_dropped;
  uint32_t m_nextId = 1;
  uint64_t m_bytes = 0;        // pooled segments' bytes
  uint64_t m_outstanding = 0;  // bytes of the arrays in the entries in use
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
  // descriptor must then be the same segment). Null with the reason in
  // kor::ErrorStorage.
  std::shared_ptr<Segment> acquire(uint32_t id, UniqueFd fd, uint32_t length);
  // The bytes of transient segment |id|, mapped for this answer alone: a
  // release message goes out when they are gone. Null with the reason in
  // kor::ErrorStorage.
  std::shared_ptr<Segment> acquireTransient(uint32_t id, UniqueFd fd, uint32_t length);
  // The service dropped |id|: unmapped once no view uses it. False for an
  // unknown id.
  bool drop(uint32_t id);
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
  static SegmentReserve& instance();

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

// --- Wire format ---------------------------------------------------------------

// Builds one message. A value that breaks a limit (or memory running short)
// marks the writer failed; ok() then is false and error() says why.
class WireWriter {
 public:
  WireWriter(MessageKind kind, uint32_t slot);

  void putU8(uint8_t value);
  void putBool(bool value) { putU8(value ? 1 : 0); }
  void putI8(int8_t value) { putU8(static_cast<uint8_t>(value)); }
  void putU32(uint32_t value);
  void putI32(int32_t value) { putU32(static_cast<uint32_t>(value)); }
  void putI64(int64_t value);
  // A present string of |length| bytes.
  void putString(const char* bytes, size_t length);
  void putString(const CIPtr<CIString>& text);  // absent when empty
  void putStringArray(const CIPtr<CIPtrArray<CIString>>& array);
  void putUInt32Array(const CIPtr<CIUInt32Array>& array);
  // Inline below kSegmentThreshold, otherwise as a segment: the array's own
  // when it lives in one (sealed here), else a copy in a new segment.
  void putByteArray(const CIPtr<CIInt8Array>& array);
  // A segment field for |length| bytes of |segment| (sealed here).
  void putSegment(const std::shared_ptr<Segment>& segment, uint32_t length);

  bool ok() const { return m_error.empty(); }
  const std::string& error() const { return m_error; }
  void fail(const std::string& reason);

  // The finished message (header filled in). Only when ok().
  std::vector<uint8_t>& finish();
  const std::vector<std::shared_ptr<Segment>>& segments() const { return m_segments; }
  // The pooled segments in the message: (pool, id).
  const std::vector<std::pair<SegmentPool*, uint32_t>>& pooled() const { return m_pooled; }

 private:
  bool reserve(size_t more);
  // Writes an array's present flag and count; false when no elements follow
  // (absent, or too long: then the writer has failed).
  bool beginArray(bool present, uint32_t count);
  std::vector<uint8_t> m_bytes;
  std::vector<std::shared_ptr<Segment>> m_segments;
  std::vector<std::pair<SegmentPool*, uint32_t>> m_pooled;
  std::string m_error;
};

// A received message, valid during the call it is handed to.
struct WireMessage {
  uint8_t kind = 0;
  uint32_t slot = 0;
  const uint8_t* payload = nullptr;
  uint32_t size = 0;
  std::vector<UniqueFd> fds;
  // The receiving client's pooled segments (null on the service side,
  // where pooled segments are refused).
  ReceivedSegments* segments = nullptr;
};

// A byte array read from a message.
struct WireBytes {
  bool present = false;
  uint32_t length = 0;
  const uint8_t* inlineBytes = nullptr;  // inline: points into the message
  std::shared_ptr<Segment> segment;      // segment: mapped read-only
  const uint8_t* data() const { return segment ? segment->data() : inlineBytes; }
};

// Reads the fields of one payload. Every getter checks the remaining bytes
// and the limits first; the first failure sticks: ok() turns false, error()
// says what was wrong, and every later getter fails.
class WireReader {
 public:
  WireReader(const uint8_t* data, size_t size, std::vector<UniqueFd>* fds = nullptr);
  // The payload of |message|, with its descriptors and segments.
  explicit WireReader(WireMessage& message);

  bool getU8(uint8_t* value);
  bool getBool(bool* value);
  bool getI8(int8_t* value);
  bool getU32(uint32_t* value);
  bool getI32(int32_t* value);
  bool getI64(int64_t* value);
  // A string field: |present| false for an absent one. |bytes| points into
  // the message.
  bool getString(bool* present, const char** bytes, uint32_t* length);
  bool getString(CIPtr<CIString>* text);
  bool getStringArray(CIPtr<CIPtrArray<CIString>>* array);
  bool getUInt32Array(CIPtr<CIUInt32Array>* array);
  bool getByteArray(WireBytes* bytes);
  // A count of elements each at least |minElementSize| bytes long; fails
  // above |limit| or when the remaining bytes cannot hold them.
  bool getCount(uint32_t* count, uint32_t limit, uint32_t minElementSize);

  // True when every byte and descriptor was consumed (and nothing failed);
  // otherwise fails with "trailing bytes" or "unused descriptors".
  bool finish();
  bool ok() const { return m_error == nullptr; }
  const char* error() const { return m_error != nullptr ? m_error : ""; }
  size_t remaining() const { return m_size - m_offset; }

 private:
  bool fail(const char* reason);
  bool take(size_t count, const uint8_t** bytes);
  const uint8_t* m_data;
  size_t m_size;
  size_t m_offset = 0;
  std::vector<UniqueFd>* m_fds;
  ReceivedSegments* m_received = nullptr;
  size_t m_nextFd = 0;
  const char* m_error = nullptr;
};

// A release message carries (id, receipts) pairs, a drop message ids: u32
// count (1..kMaxSegmentIdsPerMessage), then the values.
void putSegmentList(WireWriter& writer, const std::vector<uint32_t>& values,
                    uint32_t valuesPerItem);
// |valuesPerItem| u32 values per item (2 for releases, 1 for drops).
bool getSegmentList(WireReader& reader, uint32_t valuesPerItem, std::vector<uint32_t>* values);

// Checks a message header. 0 when valid (kind, slot, payload size and fd
// count filled in), otherwise the reason.
const char* parseHeader(const uint8_t* header, uint8_t* kind, uint32_t* slot, uint32_t* size,
                        uint32_t* fds);

// --- Connections -------------------------------------------------------------

// One end of a stream connection. Sending queues the message and writes what
// the socket takes at once, never blocking; the rest is written by flush()
// when the socket is writable again. Reading is done by one thread at a
// time (the owner's event loop). Thread-safe otherwise.
class Connection {
 public:
  // Takes |fd| (connected, non-blocking, close-on-exec). |name| names the
  // peer in traces.
  Connection(UniqueFd fd, std::string name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& name() const { return m_name; }

  // Runs once when the connection closes, on the thread that closed it,
  // with the reason (not when close() is called with notify false). Set
  // before the connection is used.
  void setCloseHandler(std::function<void(const std::string&)> handler);
  // Runs after send() left bytes queued (the client's loop polls for
  // output then). Set before the connection is used.
  void setOutputWaker(std::function<void()> waker);
  // The service side: the descriptor is registered in |epollFd| with |id|
  // for input; the connection adds output when a message could not be
  // written at once (so that the client's reads do not wake the loop for
  // nothing), and removes the descriptor when closing.
  void setEpoll(int epollFd, uint64_t id) {
    m_epollFd = epollFd;
    m_epollId = id;
  }

  // The service side: the end of the peer's stream does not close the
  // connection (a client may shut down its sending side and still read its
  // answers); inputEnded() turns true instead, and the owner closes the
  // connection when nothing more is owed. Set before the connection is used.
  void setHalfCloseAllowed(bool allowed) { m_halfCloseAllowed = allowed; }
  bool inputEnded() const;

  // Queues |writer|'s message. 0, or -1 with the reason in kor::ErrorStorage
  // (closed, full queue: the connection is then closed, write error). The
  // queue's limits apply to what waits behind the message in hand: a message
  // is always taken by an empty queue, whatever the size of the segments it
  // carries.
  int send(WireWriter& writer);
  // Closes the connection with |reason| (running the close handler) as soon
  // as every queued message is written: at once when none is queued.
  void closeWhenFlushed(const std::string& reason);
  // Writes queued bytes. False when the connection closed.
  bool flush();
  bool hasPendingOutput();

  // Reads what is available and hands each complete message to |onMessage|
  // (which returns false, with a reason, to reject it). Returns false when
  // the connection closed (end of stream, error, bad message). With
  // |stopAtShortRead| it returns after a read that emptied the socket
  // instead of reading on until EAGAIN, which saves a system call per
  // wake-up; only for a caller whose next wait reports data and end of
  // stream that were already there (poll, or epoll when no hang-up was
  // reported with the event).
  bool readAvailable(const std::function<bool(WireMessage&, std::string*)>& onMessage,
                     bool stopAtShortRead = false);

  // Closes the descriptor and drops the queue; the close handler runs when
  // |notify| is true. Later calls do nothing. Returns true for the first.
  bool close(const std::string& reason, bool notify = true);
  bool isClosed() const { return m_closed.load(std::memory_order_acquire); }
  std::string closeReason();
  // The descriptor for polling (-1 once closed); only the event loop uses it.
  int pollFd();

  // The pool of segments for this connection's client (service side; made
  // on first use). Null when memory is short.
  std::shared_ptr<SegmentPool> segmentPool();
  // Sends a drop message for |ids| (none when empty).
  void sendDropped(const std::vector<uint32_t>& ids);
  // Storage for a byte array of |size| bytes among this connection's
  // segments (telling the client of pooled segments dropped to make room),
  // or null; |*refused| as for SegmentPool::allocate.
  CIInt8Array::Storage* allocatePooled(uint32_t size, bool* refused);
  // Frees the pool's segments idle since before |nowMs| - kPoolIdleMs
  // (steady clock) and tells the client.
  void trimPool(uint64_t nowMs);

  // For tests and diagnostics.
  size_t queuedMessages();

 private:
  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    std::vector<std::shared_ptr<Segment>> segments;  // keep their fds open until sent
    uint64_t segmentBytes = 0;
  };
  // Writes what the socket takes; false on a write error.
  bool flushLocked(std::string* error);
  bool writeQueueLocked(std::string* error);
  bool closeLocked(const std::string& reason);
  void runCloseHandler(const std::string& reason);

  const std::string m_name;
  std::mutex m_io;  // guards the descriptor, the queue and the reason
  UniqueFd m_fd;    // Guarded by m_io; invalid once closed.
  // The same descriptor for the reading thread (-1 once closed), guarded by
  // m_readLock, which the closer takes too (after m_io).
  std::mutex m_readLock;
  int m_readFd;
  // Read without the lock by the event loop: the descriptor (-1 once
  // closed) and the queue's length.
  std::atomic<int> m_pollFd;
  std::atomic<size_t> m_queueLength{0};
  std::deque<Outgoing> m_queue;
  size_t m_queuedBytes = 0;
  uint64_t m_queuedSegmentBytes = 0;
  std::string m_closeReason;
  std::atomic<bool> m_closed{false};
  bool m_finishing = false;  // Guarded by m_io; closeWhenFlushed() was called.
  std::string m_finishReason;
  bool m_halfCloseAllowed = false;
  std::atomic<bool> m_inputEnded{false};
  int m_epollFd = -1;
  uint64_t m_epollId = 0;
  bool m_watchingOutput = false;  // Guarded by m_io.
  std::function<void(const std::string&)> m_closeHandler;
  std::function<void()> m_outputWaker;
  std::shared_ptr<SegmentPool> m_pool;  // Guarded by m_io.

  // Reader state; only the reading thread touches it.
  std::vector<uint8_t> m_in;
  size_t m_inFill = 0;
  std::vector<UniqueFd> m_inFds;
};

// --- Service side ---------------------------------------------------------------

// The interface-specific half of one accepted connection: decodes requests
// and calls the service's slots; owns the client's reply endpoint.
class ServiceSession {
 public:
  virtual ~ServiceSession() = default;
  // Decodes |message| and calls the matching slot of |target|. False (with
  // |reason|) when the message is malformed or its slot unknown.
  virtual bool dispatch(ServiceTarget* target, WireMessage& message, std::string* reason) = 0;
  // The connection has closed (close the reply endpoint, so that the
  // service forgets the client's subscriptions). Called once, on any thread.
  virtual void onClosed() = 0;
  // True when nothing can be sent to the client unless it asks again: no
  // copy of its reply endpoint is held by pending work or a subscription.
  // Any thread.
  virtual bool idle() = 0;
};

// Makes sessions for the services of one name (the generated wire code of
// an interface provides it).
class InterfaceBinding {
 public:
  virtual ~InterfaceBinding() = default;
  // Null when memory is short (the connection is then refused).
  virtual ServiceSession* openSession(const std::shared_ptr<Connection>& connection) = 0;
};

// The process's transport: the ServiceDirectory listener that gives each
// registered service of a bound name a listening socket, and the dispatch
// pool. Thread-safe.
class Transport : public ServiceDirectory::Listener {
 public:
  static Transport& instance();

  // Binds |binding| to |serviceName|; services of unbound names stay
  // reachable in the process only. |binding| must live as long as the
  // process.
  void bindInterface(const char* serviceName, InterfaceBinding* binding);
  // Creates the event loop's descriptor now (the dispatch threads start
  // with the first listening service) and installs the transport as the
  // directory's listener. Idempotent. False when the loop cannot be made.
  bool activate();

  bool onServiceAdded(ServiceRegistrationRecord* record) override;
  // Stops listening; the service's connections stay open (see "Stop").
  void onServiceRemoved(ServiceRegistrationRecord* record) override;
  // Finishes the connections of |target|'s removed services; returns when
  // they have closed, at the latest after the stop's drain time.
  void onTargetDestroyed(ServiceTarget* target) override;
  // The stop's drain time (default kStopDrainMs); for hosts and tests.
  void setStopDrainTime(uint32_t milliseconds);
  // How long a client at its shared-memory limit may release nothing while
  // requests of its are held (default kClientMemoryGraceMs); for tests.
  void setClientMemoryGraceTime(uint32_t milliseconds);

  // Open client connections (all services); for tests and diagnostics.
  size_t connectionCount();

  struct State;

 private:
  Transport();
  State* m_state;
};

// --- Runtime folder and client side -------------------------------------------------

// The runtime folder as described above; |override| (when not empty) wins.
std::string runtimeDirectory(const std::string& override = std::string());
// "<folder>/<name>.<instance>".
std::string socketPath(const std::string& folder, const std::string& serviceName,
                       uint32_t instance);

// A client's connection with its own thread, which reads the replies and
// hands them to the message callback in order. Thread-safe.
class ClientConnection {
 public:
  struct Callbacks {
    // One complete message; return false (with a reason) to reject it: the
    // connection then closes.
    std::function<bool(WireMessage&, std::string*)> onMessage;
    // The connection closed, except through close()/the destructor.
    std::function<void(const std::string&)> onClosed;
  };

  // Connects to |path| and starts the thread. Null with |error| set.
  // Without |ownThread| no thread is started: the owner runs pump() on a
  // thread of its own, one at a time, and the callbacks run there (a
  // synchronous client waiting for its answers saves a thread switch per
  // answer so).
  // The connect waits at most |connectTimeoutMs| for the service to take
  // the connection (its backlog may be full); negative: as long as it takes.
  static std::unique_ptr<ClientConnection> open(const std::string& path, Callbacks callbacks,
                                                std::string* error, bool ownThread = true,
                                                int connectTimeoutMs = -1);
  // close() and join the thread.
  ~ClientConnection();

  // Without an own thread: waits up to |timeoutMs| for the connection to be
  // readable (or writable while output is queued), writes and reads what it
  // can, and hands the messages to the callbacks. False once the connection
  // has closed (onClosed has run then, once).
  bool pump(int timeoutMs);

  // 0, or -1 with the reason in kor::ErrorStorage.
  int send(WireWriter& writer);
  // Runs |task| on the thread that runs the callbacks, before the messages
  // read after it (own thread: soon; otherwise in the next pump()). False
  // when the connection is closed or memory is short: it will not run.
  bool post(std::function<void()> task);
  bool isConnected() const;
  // Closes without onClosed; when called from another thread than the
  // connection's own, waits until its thread has stopped, so that no
  // callback runs afterwards.
  void close();

  struct State;

 private:
  explicit ClientConnection(State* state);
  State* m_state;
};

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_H_
