// The client side's mappings of the segments a service sends: pooled ones
// kept mapped by id until the service drops them, transient ones for one
// answer.
#include <sys/stat.h>

#include "platform/transport.h"
#include "platform/transport/segment.h"

namespace comm {

Status ReceivedSegments::acquire(uint32_t id, UniqueFd fd, uint32_t length,
                                 std::shared_ptr<Segment>* view) {
  struct stat status;
  if (fstat(fd.get(), &status) != 0)
    return Status::fromErrno(errno, "cannot inspect received segment");
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_closed) return Status::error(Status::kClosed, "connection closed");
  auto found = m_entries.find(id);
  if (found == m_entries.end()) {
    if (m_entries.size() >= kMaxCachedSegments)
      return Status::error(Status::kLimit, "too many pooled segments");
    // The whole segment is mapped, so that later replies in it that are
    // larger than this one fit.
    if (status.st_size < static_cast<off_t>(length) || status.st_size > UINT32_MAX)
      return Status::error(Status::kProtocol, "received segment has a bad size");
    Entry entry;
    Status mapped =
        Segment::mapReceived(std::move(fd), static_cast<uint32_t>(status.st_size), &entry.mapping);
    if (!mapped.ok()) return mapped;
    entry.device = static_cast<uint64_t>(status.st_dev);
    entry.inode = static_cast<uint64_t>(status.st_ino);
    try {
      found = m_entries.emplace(id, std::move(entry)).first;
    } catch (...) {
      return Status::error(Status::kNoMemory, "cannot map received segment: out of memory");
    }
  } else {
    // A known id must come with the same segment, large enough.
    const Entry& entry = found->second;
    if (entry.dropped || entry.device != static_cast<uint64_t>(status.st_dev) ||
        entry.inode != static_cast<uint64_t>(status.st_ino) || entry.mapping->size() < length)
      return Status::error(Status::kProtocol, "pooled segment does not match its id");
  }
  std::weak_ptr<ReceivedSegments> self = weak_from_this();
  std::shared_ptr<Segment> made;
  Status viewed = Segment::view(
      found->second.mapping, length,
      [self, id] {
        if (std::shared_ptr<ReceivedSegments> segments = self.lock()) segments->viewGone(id);
      },
      &made);
  if (!viewed.ok()) return viewed;
  ++found->second.views;
  ++found->second.receipts;
  lock.unlock();  // what |view| held may be the last view of a segment
  *view = std::move(made);
  return Status();
}

Status ReceivedSegments::acquireTransient(uint32_t id, UniqueFd fd, uint32_t length,
                                          std::shared_ptr<Segment>* view) {
  std::shared_ptr<Segment> mapping;
  Status mapped = Segment::mapReceived(std::move(fd), length, &mapping);
  if (!mapped.ok()) return mapped;
  std::weak_ptr<ReceivedSegments> self = weak_from_this();
  return Segment::view(
      mapping, length,
      [self, id] {
        std::shared_ptr<ReceivedSegments> segments = self.lock();
        if (segments == nullptr) return;
        {
          std::lock_guard<std::mutex> lock(segments->m_mutex);
          if (segments->m_closed) return;
        }
        segments->m_sendRelease(id, 1);
      },
      view);
}

void ReceivedSegments::viewGone(uint32_t id) {
  bool release = false;
  uint32_t receipts = 0;
  std::shared_ptr<Segment> unmap;  // unmapped outside the lock
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_entries.find(id);
    if (found == m_entries.end() || --found->second.views > 0) return;
    receipts = found->second.receipts;
    found->second.receipts = 0;
    if (found->second.dropped) {
      unmap = std::move(found->second.mapping);
      m_entries.erase(found);
    } else {
      release = !m_closed;
    }
  }
  // Every reply received in the segment is released at once, now that none
  // is in use: the service may write the segment again.
  if (release) m_sendRelease(id, receipts);
}

Status ReceivedSegments::drop(uint32_t id) {
  std::shared_ptr<Segment> unmap;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_entries.find(id);
  if (found == m_entries.end() || found->second.dropped)
    return Status::error(Status::kProtocol, "drop of unknown segment %u", id);
  if (found->second.views > 0) {
    found->second.dropped = true;  // unmapped with its last view
    return Status();
  }
  unmap = std::move(found->second.mapping);
  m_entries.erase(found);
  return Status();
}

void ReceivedSegments::close() {
  std::map<uint32_t, Entry> entries;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    entries.swap(m_entries);
  }
}

size_t ReceivedSegments::mappedCount() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_entries.size();
}

}  // namespace comm
