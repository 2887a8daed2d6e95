// Shared memory segments (memfd): creation, sealing, read-only mapping of a
// received one, and the byte-array allocator that places large arrays in
// segments.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/transport.h"

#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010
#endif

namespace comm {

Segment::~Segment() {
  if (m_data != nullptr) munmap(m_data, m_mapped);
}

std::shared_ptr<Segment> Segment::tryCreate(uint32_t size) {
  std::shared_ptr<Segment> segment(new (std::nothrow) Segment(), [](Segment* s) { delete s; });
  if (segment == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  int fd = memfd_create("comm-segment", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return nullptr;
  segment->m_fd.reset(fd);
  int result;
  do {
    result = ftruncate(fd, size);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return nullptr;
  // Reserve the pages now: a segment whose memory runs out later would kill
  // the writer with SIGBUS, while a failure here is an ordinary "no
  // memory". Allocating and mapping them in one go (MAP_POPULATE) is also
  // much cheaper than one page fault per page when the job fills them.
  if (size > 0) {
    do {
      result = fallocate(fd, 0, 0, size);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return nullptr;
  }
  const size_t mapped = size > 0 ? size : 1;
  void* data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (data == MAP_FAILED) return nullptr;
  segment->m_data = static_cast<uint8_t*>(data);
  segment->m_mapped = mapped;
  segment->m_size = size;
  segment->m_writable = true;
  return segment;
}

std::shared_ptr<Segment> Segment::create(uint32_t size) {
  std::shared_ptr<Segment> segment = tryCreate(size);
  if (segment == nullptr) kor::ErrorStorage::setErrno("cannot create segment", errno);
  return segment;
}

int Segment::seal() {
  std::lock_guard<std::mutex> lock(m_sealMutex);
  if (m_sealed.load(std::memory_order_relaxed)) return 0;
  if (!m_fd.valid()) {
    kor::ErrorStorage::set("segment has no descriptor");
    return -1;
  }
  // A write seal is refused while a writable shared mapping exists (ours), so
  // the strongest seal available is against future writes: the receiver can
  // neither map the segment writable nor write to it. Older kernels lack it.
  const int base = F_SEAL_SHRINK | F_SEAL_GROW;
  if (fcntl(m_fd.get(), F_ADD_SEALS, base | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0) {
    if (errno != EINVAL || fcntl(m_fd.get(), F_ADD_SEALS, base | F_SEAL_SEAL) != 0) {
      kor::ErrorStorage::setErrno("cannot seal segment", errno);
      return -1;
    }
  }
  m_sealed.store(true, std::memory_order_release);
  return 0;
}

std::shared_ptr<Segment> Segment::mapReceived(UniqueFd fd, uint32_t length) {
  int seals = fcntl(fd.get(), F_GET_SEALS);
  if (seals < 0) {
    kor::ErrorStorage::setErrno("received descriptor is not a segment", errno);
    return nullptr;
  }
  // Without these seals the sender could shrink the file under the mapping
  // (SIGBUS on access) or change the seals later.
  if ((seals & F_SEAL_SHRINK) == 0 || (seals & F_SEAL_SEAL) == 0) {
    kor::ErrorStorage::set("received segment is not sealed");
    return nullptr;
  }
  struct stat status;
  if (fstat(fd.get(), &status) != 0) {
    kor::ErrorStorage::setErrno("cannot inspect received segment", errno);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode) || status.st_size < static_cast<off_t>(length)) {
    kor::ErrorStorage::set("received segment is smaller than its array");
    return nullptr;
  }
  std::shared_ptr<Segment> segment(new (std::nothrow) Segment(), [](Segment* s) { delete s; });
  if (segment == nullptr) {
    kor::ErrorStorage::set("cannot map received segment: out of memory");
    return nullptr;
  }
  if (length > 0) {
    // Mapped with its page tables filled at once: the reader touches every
    // page, and one call is cheaper than a fault per page.
    void* data = mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    if (data == MAP_FAILED) {
      kor::ErrorStorage::setErrno("cannot map received segment", errno);
      return nullptr;
    }
    segment->m_data = static_cast<uint8_t*>(data);
    segment->m_mapped = length;
  }
  segment->m_size = length;
  segment->m_sealed.store(true, std::memory_order_relaxed);
  return segment;  // |fd| closes here: the mapping keeps the memory
}

// ---------------------------------------------------------------------------
// Allocator.

namespace {

class SegmentAllocator : public CIInt8ArrayAllocator {
 public:
  CIInt8Array::Storage* allocate(uint32_t size) override {
    std::shared_ptr<Segment> segment = Segment::tryCreate(size);
    if (segment == nullptr) {
      // The heap takes over; the array is copied into a segment when sent.
      if (transportChannel().isEnabled(3))
        transportChannel().logCV(3, "segment of %u bytes unavailable (errno %d); using the heap",
                                 size, errno);
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
