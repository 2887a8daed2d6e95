// Shared memory segments (memfd): creation, sealing, read-only mapping of a
// received one, and the byte-array allocator that places large arrays in
// segments.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "platform/transport.h"
#include "platform/transport/connection.h"

#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace comm {

Segment::~Segment() {
  if (m_data != nullptr && m_mapped > 0) munmap(m_data, m_mapped);
  if (m_onRelease) m_onRelease();
}

Status Segment::view(const std::shared_ptr<Segment>& base, uint32_t length,
                     std::function<void()> onRelease, std::shared_ptr<Segment>* made) {
  std::shared_ptr<Segment> view;
  try {
    view.reset(new Segment(), [](Segment* s) { delete s; });
  } catch (...) {
    return Status::error(Status::kNoMemory, "cannot map received segment: out of memory");
  }
  view->m_base = base;
  view->m_data = base->m_data;
  view->m_size = length < base->m_size ? length : base->m_size;
  view->m_sealed.store(true, std::memory_order_relaxed);
  view->m_onRelease = std::move(onRelease);
  *made = std::move(view);
  return Status();
}

Status Segment::create(uint32_t size, std::shared_ptr<Segment>* made, bool mapHere) {
  auto failed = [](int error) { return Status::fromErrno(error, "cannot create segment"); };
  std::shared_ptr<Segment> segment(new (std::nothrow) Segment(), [](Segment* s) { delete s; });
  if (segment == nullptr) return failed(ENOMEM);
  int fd = memfd_create("comm-segment", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return failed(errno);
  segment->m_fd.reset(fd);
  int result;
  do {
    result = ftruncate(fd, size);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return failed(errno);
  // The pages are allocated, zeroed and mapped writable now, all at once: a
  // segment whose memory runs out later would kill the writer with SIGBUS,
  // while a failure here is an ordinary "no memory"; and one call is much
  // cheaper than a page fault per page while the job fills it.
  // MADV_POPULATE_WRITE does that in one step; kernels before 5.14 lack it,
  // and there fallocate() reserves the pages and MAP_POPULATE maps them.
  // Pages only, for another process to map, cost a third of that here.
  const size_t mapped = size > 0 ? size : 1;
  if (!mapHere && size > 0) {
    do {
      result = fallocate(fd, 0, 0, size);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return failed(errno);
  }
  void* data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return failed(errno);
  if (mapHere && size > 0 && madvise(data, mapped, MADV_POPULATE_WRITE) != 0) {
    const int error = errno;
    munmap(data, mapped);
    if (error != EINVAL) return failed(error);
    do {
      result = fallocate(fd, 0, 0, size);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return failed(errno);
    data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (data == MAP_FAILED) return failed(errno);
  }
  segment->m_data = static_cast<uint8_t*>(data);
  segment->m_mapped = mapped;
  segment->m_size = size;
  segment->m_writable = true;
  *made = std::move(segment);
  return Status();
}

Status Segment::seal() {
  std::lock_guard<std::mutex> lock(m_sealMutex);
  if (m_sealed.load(std::memory_order_relaxed)) return Status();
  if (!m_fd.valid()) return Status::error(Status::kFailed, "segment has no descriptor");
  // A write seal is refused while a writable shared mapping exists (ours), so
  // the strongest seal available is against future writes: the receiver can
  // neither map the segment writable nor write to it. Older kernels lack it.
  // A reclaimable segment goes without it (see "Shared segments").
  const int base = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
  bool sealed = false;
  if (!m_reclaimable) {
    sealed = fcntl(m_fd.get(), F_ADD_SEALS, base | F_SEAL_FUTURE_WRITE) == 0;
    if (!sealed && errno != EINVAL) return Status::fromErrno(errno, "cannot seal segment");
  }
  if (!sealed && fcntl(m_fd.get(), F_ADD_SEALS, base) != 0)
    return Status::fromErrno(errno, "cannot seal segment");
  m_sealed.store(true, std::memory_order_release);
  return Status();
}

bool Segment::reclaimPages() {
  if (!m_fd.valid() || m_size == 0) return true;
  // Whole pages: the last, partly used one would only be zeroed.
  const off_t page = sysconf(_SC_PAGESIZE);
  const off_t length = (static_cast<off_t>(m_size) + page - 1) / page * page;
  int result;
  do {
    result = fallocate(m_fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, length);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

Status Segment::mapReceived(UniqueFd fd, uint32_t length, std::shared_ptr<Segment>* mapped) {
  int seals = fcntl(fd.get(), F_GET_SEALS);
  if (seals < 0) return Status::fromErrno(errno, "received descriptor is not a segment");
  // Without these seals the sender could shrink the file under the mapping
  // (SIGBUS on access) or change the seals later.
  if ((seals & F_SEAL_SHRINK) == 0 || (seals & F_SEAL_SEAL) == 0)
    return Status::error(Status::kProtocol, "received segment is not sealed");
  struct stat status;
  if (fstat(fd.get(), &status) != 0)
    return Status::fromErrno(errno, "cannot inspect received segment");
  if (!S_ISREG(status.st_mode) || status.st_size < static_cast<off_t>(length))
    return Status::error(Status::kProtocol, "received segment is smaller than its array");
  std::shared_ptr<Segment> segment(new (std::nothrow) Segment(), [](Segment* s) { delete s; });
  if (segment == nullptr)
    return Status::error(Status::kNoMemory, "cannot map received segment: out of memory");
  if (length > 0) {
    // Mapped with its page tables filled at once: the reader touches every
    // page, and one call is cheaper than a fault per page.
    void* data = mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    if (data == MAP_FAILED) return Status::fromErrno(errno, "cannot map received segment");
    segment->m_data = static_cast<uint8_t*>(data);
    segment->m_mapped = length;
  }
  segment->m_size = length;
  segment->m_sealed.store(true, std::memory_order_relaxed);
  *mapped = std::move(segment);
  return Status();  // |fd| closes here: the mapping keeps the memory
}

// ---------------------------------------------------------------------------
// The service side's pool.

const char* const kTotalClientMemoryVariable = "COMM_TOTAL_CLIENT_MEMORY_MIB";

namespace {

std::atomic<uint64_t> g_idleBytes{0};         // all pools' idle segments
std::atomic<uint64_t> g_chargedBytes{0};      // counted against all clients
std::atomic<uint32_t> g_liveSegments{0};      // all pools' segments
std::atomic<uint64_t> g_totalLimit{0};        // 0: from the environment
std::atomic<uint32_t> g_descriptorBudget{0};  // 0: the default

uint64_t nowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// A quarter of the physical memory, or the host's choice in
// COMM_TOTAL_CLIENT_MEMORY_MIB.
uint64_t totalFromEnvironment() {
  static const uint64_t limit = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    const uint64_t quarter = pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) *
                                                             static_cast<uint64_t>(pageSize) / 4
                                                       : 1024ull * 1024 * 1024;
    return mibFromEnvironment(kTotalClientMemoryVariable, 1, 1ull << 30, quarter);
  }();
  return limit;
}

uint32_t defaultDescriptorBudget() {
  static const uint32_t budget = [] {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1u << 16;
    return static_cast<uint32_t>(std::min<rlim_t>(limit.rlim_cur / 2, 1u << 30));
  }();
  return budget;
}

// Segments are made a little larger than asked, so that arrays of nearly
// the same size (the same picture decoded again, a slightly different file)
// reuse them.
uint64_t roundedCapacity(uint32_t size) {
  const uint64_t unit = size >= 1024 * 1024 ? 1024 * 1024 : 64 * 1024;
  const uint64_t rounded = (static_cast<uint64_t>(size) + unit - 1) / unit * unit;
  return std::min<uint64_t>(rounded, UINT32_MAX);
}

// A segment of at least |size| bytes that no client has seen, reclaimable:
// from the reserve when it has one ready of at most |most| bytes, else made
// now at |size| (null when that fails: the caller answers "no memory").
std::shared_ptr<Segment> freshSegment(uint32_t size, uint64_t most) {
  std::shared_ptr<Segment> segment = SegmentReserve::getInstance().take(size);
  if (segment != nullptr && segment->size() > most) segment.reset();
  if (segment == nullptr && !Segment::create(size, &segment, !ForeignWriterScope::active()).ok())
    return nullptr;
  segment->setReclaimable();
  return segment;
}

}  // namespace

uint64_t mibFromEnvironment(const char* variable, uint64_t least, uint64_t most,
                            uint64_t fallback) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long mib = std::strtoull(text, &end, 10);
  if (*end != '\0' || mib < least || mib > most) {
    TRACE(transportChannel(), 3, "ignoring %s=%s: not a number of MiB from %llu to %llu", variable,
          text, static_cast<unsigned long long>(least), static_cast<unsigned long long>(most));
    return fallback;
  }
  return static_cast<uint64_t>(mib) * 1024 * 1024;
}

uint64_t totalClientMemoryLimit() {
  const uint64_t chosen = g_totalLimit.load(std::memory_order_acquire);
  return chosen != 0 ? chosen : totalFromEnvironment();
}

void setTotalClientMemoryLimit(uint64_t bytes) {
  g_totalLimit.store(bytes, std::memory_order_release);
}

uint32_t segmentDescriptorBudget() {
  const uint32_t chosen = g_descriptorBudget.load(std::memory_order_acquire);
  return chosen != 0 ? chosen : defaultDescriptorBudget();
}

void setSegmentDescriptorBudget(uint32_t segments) {
  g_descriptorBudget.store(segments, std::memory_order_release);
}

SegmentPool::~SegmentPool() {
  // What is left was out with the client when its connection ended: its
  // answers stay readable as long as it keeps them.
  for (Entry& entry : m_entries)
    if (entry.idle()) g_idleBytes.fetch_sub(entry.segment->size(), std::memory_order_relaxed);
  g_chargedBytes.fetch_sub(m_bytes, std::memory_order_relaxed);
  g_liveSegments.fetch_sub(static_cast<uint32_t>(m_entries.size()), std::memory_order_relaxed);
}

uint64_t SegmentPool::idleBytesTotal() { return g_idleBytes.load(std::memory_order_relaxed); }
uint64_t SegmentPool::bytesTotal() { return g_chargedBytes.load(std::memory_order_relaxed); }
uint32_t SegmentPool::segmentsTotal() { return g_liveSegments.load(std::memory_order_relaxed); }

void SegmentPool::becameIdleLocked(size_t index) {
  Entry& entry = m_entries[index];
  m_inUse -= entry.segment->size();
  --m_inUseCount;
  entry.idleSinceMs = nowMs();
  g_idleBytes.fetch_add(entry.segment->size(), std::memory_order_relaxed);
  if (entry.transient || m_closed) dropLocked(index, nullptr);
}

void SegmentPool::dropLocked(size_t index, std::vector<uint32_t>* known) {
  Entry& entry = m_entries[index];
  const uint32_t size = entry.segment->size();
  g_idleBytes.fetch_sub(size, std::memory_order_relaxed);
  g_liveSegments.fetch_sub(1, std::memory_order_relaxed);
  // A segment the client has mapped stays counted against it unless its
  // pages can be taken back.
  if (entry.clientKnows && !entry.segment->reclaimPages()) {
    m_pinned += size;
    m_inUse += size;
  } else {
    m_bytes -= size;
    g_chargedBytes.fetch_sub(size, std::memory_order_relaxed);
  }
  if (entry.clientKnows && !entry.transient && known != nullptr) known->push_back(entry.id);
  m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
}

template <class Fits>
bool SegmentPool::makeRoomLocked(Fits fits) {
  while (!fits()) {
    size_t oldest = m_entries.size();
    for (size_t i = 0; i < m_entries.size(); ++i) {
      const Entry& entry = m_entries[i];
      if (entry.idle() &&
          (oldest == m_entries.size() || entry.idleSinceMs < m_entries[oldest].idleSinceMs))
        oldest = i;
    }
    if (oldest == m_entries.size()) return false;
    dropLocked(oldest, &m_dropped);
  }
  return true;
}

size_t SegmentPool::chooseLocked(uint32_t size, bool* refused) {
  const size_t none = m_entries.size();
  // The smallest idle segment that holds the array: no fresh pages. One
  // more than twice its size would hold memory the array does not need
  // (the client's one large answer, say); it is freed instead when room is
  // needed.
  const uint64_t most = 2 * roundedCapacity(size);
  size_t best = none;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    const Entry& entry = m_entries[i];
    if (!entry.idle() || entry.segment->size() < size || entry.segment->size() > most) continue;
    if (best == none || entry.segment->size() < m_entries[best].segment->size()) best = i;
  }
  if (best != none) {
    g_idleBytes.fetch_sub(m_entries[best].segment->size(), std::memory_order_relaxed);
    return best;
  }
  // A new segment: pooled while the pool has room, else for this answer
  // alone. Idle segments too small for it are freed, oldest first, while a
  // bound would be broken; a client holding nothing gets one answer of any
  // size.
  size_t pooled = 0;
  for (const Entry& entry : m_entries) pooled += entry.transient ? 0 : 1;
  bool transient = pooled >= kPoolMaxSegments;
  if (transient && makeRoomLocked([&] {
        size_t count = 0;
        for (const Entry& entry : m_entries) count += entry.transient ? 0 : 1;
        return count < kPoolMaxSegments;
      }))
    transient = false;
  const uint64_t capacity = transient ? std::max<uint32_t>(size, 1) : roundedCapacity(size);
  const uint64_t total = totalClientMemoryLimit();
  const uint32_t descriptors = segmentDescriptorBudget();
  const bool fits = makeRoomLocked([&] {
    return (m_bytes == 0 || m_bytes + capacity <= m_limit) &&
           m_entries.size() < kMaxClientSegments &&
           g_chargedBytes.load(std::memory_order_relaxed) + capacity <= total &&
           g_liveSegments.load(std::memory_order_relaxed) < descriptors;
  });
  if (!fits) {
    *refused = true;
    return none;
  }
  // A reserved segment may be up to twice the size asked for; it is taken
  // only where all of it fits the bounds.
  const uint64_t charged = g_chargedBytes.load(std::memory_order_relaxed);
  const uint64_t room = std::min(m_bytes == 0 ? UINT64_MAX : m_limit - m_bytes,
                                 charged < total ? total - charged : 0);
  std::shared_ptr<Segment> segment =
      freshSegment(static_cast<uint32_t>(capacity), std::max(room, capacity));
  if (segment == nullptr) return none;
  const uint32_t made = segment->size();
  Entry entry;
  entry.id = m_nextId++;
  entry.segment = std::move(segment);
  entry.transient = transient;
  m_entries.push_back(std::move(entry));
  m_bytes += made;
  g_chargedBytes.fetch_add(made, std::memory_order_relaxed);
  g_liveSegments.fetch_add(1, std::memory_order_relaxed);
  return m_entries.size() - 1;
}

CIInt8Array::Storage* SegmentPool::allocate(const std::shared_ptr<SegmentPool>& pool, uint32_t size,
                                            bool* refused) {
  SegmentPool& self = *pool;
  std::lock_guard<std::mutex> lock(self.m_mutex);
  *refused = self.m_closed;
  if (self.m_closed) return nullptr;
  size_t chosen;
  try {
    chosen = self.chooseLocked(size, refused);
  } catch (...) {
    return nullptr;
  }
  if (chosen == self.m_entries.size()) return nullptr;
  Entry& entry = self.m_entries[chosen];
  entry.storageAlive = true;
  self.m_inUse += entry.segment->size();
  ++self.m_inUseCount;
  PooledStorage* storage =
      new (std::nothrow) PooledStorage(entry.segment, pool, entry.id, entry.transient);
  if (storage == nullptr) {
    entry.storageAlive = false;
    self.becameIdleLocked(chosen);
    return nullptr;
  }
  return storage;
}

uint64_t SegmentPool::outstandingBytes() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inUse;
}

bool SegmentPool::atLimit() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inUse >= m_limit || m_inUseCount >= kMaxClientSegments;
}

uint64_t SegmentPool::lastReleaseMs() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lastReleaseMs;
}

void SegmentPool::storageGone(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (size_t i = 0; i < m_entries.size(); ++i) {
    Entry& entry = m_entries[i];
    if (entry.id != id) continue;
    entry.storageAlive = false;
    if (entry.idle()) becameIdleLocked(i);
    return;
  }
}

void SegmentPool::markSent(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (Entry& entry : m_entries) {
    if (entry.id != id) continue;
    ++entry.outWithClient;
    entry.clientKnows = true;
    return;
  }
}

Status SegmentPool::release(uint32_t id, uint32_t receipts) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (size_t i = 0; i < m_entries.size(); ++i) {
    Entry& entry = m_entries[i];
    if (entry.id != id || receipts == 0 || receipts > entry.outWithClient) continue;
    entry.outWithClient -= receipts;
    m_lastReleaseMs = nowMs();
    if (entry.idle()) becameIdleLocked(i);
    return Status();
  }
  return Status::error(Status::kProtocol, "release of segment %u that is not out", id);
}

std::vector<uint32_t> SegmentPool::trim(uint64_t now, bool all) {
  std::vector<uint32_t> known;
  std::lock_guard<std::mutex> lock(m_mutex);
  try {
    for (size_t i = m_entries.size(); i-- > 0;) {
      const Entry& entry = m_entries[i];
      if (entry.idle() && (all || entry.idleSinceMs + kPoolIdleMs <= now)) dropLocked(i, &known);
    }
    known.insert(known.end(), m_dropped.begin(), m_dropped.end());
    m_dropped.clear();
  } catch (...) {
  }
  return known;
}

std::vector<uint32_t> SegmentPool::takeDropped() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<uint32_t> dropped;
  dropped.swap(m_dropped);
  return dropped;
}

void SegmentPool::close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_closed = true;
  for (size_t i = m_entries.size(); i-- > 0;) {
    if (m_entries[i].idle()) dropLocked(i, nullptr);
  }
  m_dropped.clear();
}

size_t SegmentPool::segmentCount() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_entries.size();
}

size_t SegmentPool::idleCount() {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t count = 0;
  for (const Entry& entry : m_entries) count += entry.idle() ? 1 : 0;
  return count;
}

uint64_t SegmentPool::bytes() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bytes;
}

// ---------------------------------------------------------------------------
// Allocator.

namespace {

class SegmentAllocator : public CIInt8ArrayAllocator {
 public:
  CIInt8Array::Storage* allocate(uint32_t size) override {
    std::shared_ptr<Segment> segment;
    const Status made = Segment::create(size, &segment);
    if (!made.ok()) {
      // The heap takes over; the array is copied into a segment when sent.
      TRACE(transportChannel(), 3, "segment of %u bytes unavailable (%s); using the heap", size,
            made.message());
      return nullptr;
    }
    return new (std::nothrow) SegmentStorage(std::move(segment));
  }
};

}  // namespace

void installSegmentAllocator(uint32_t threshold) {
  static std::once_flag once;
  std::call_once(once, [threshold] {
    static SegmentAllocator* allocator = new SegmentAllocator();  // lives as long as the process
    CITypesFactory::setInt8ArrayAllocator(allocator, threshold);
  });
}

}  // namespace comm
