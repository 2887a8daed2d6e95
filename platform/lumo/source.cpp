// The Source: the file a decoder reads, through the thread's file buffer.
#include <algorithm>
#include <cstring>

#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {

kor::Status Source::open(const char* path) {
  kor::Status opened = m_file.open(path);
  return opened.ok() ? takeBuffer() : opened;
}

kor::Status Source::adopt(int fd, uint64_t size) {
  m_file.adopt(fd, static_cast<int64_t>(size));
  return takeBuffer();
}

kor::Status Source::takeBuffer() {
  kor::Status status;
  m_buffer = scratch(Scratch::kFileBuffer, kSourceBufferBytes, &status);
  if (m_buffer == nullptr) m_file.close();
  return status;
}

bool Source::fill() {
  m_start = m_position;
  m_length = 0;
  if (m_atEnd) return false;
  const size_t want = std::min(m_nextRead, kSourceBufferBytes);
  m_nextRead = std::min(want * 4, kSourceBufferBytes);
  size_t n = 0;
  if (!m_file.readAt(m_buffer, want, m_position, &n).ok()) {
    m_failed = true;
    return false;
  }
  if (n == 0) {
    m_atEnd = true;
    return false;
  }
  m_length = n;
  return true;
}

size_t Source::read(void* out, size_t count) {
  auto* bytes = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < count) {
    if (m_position - m_start < m_length) {
      const size_t offset = static_cast<size_t>(m_position - m_start);
      const size_t step = std::min(count - done, m_length - offset);
      std::memcpy(bytes + done, m_buffer + offset, step);
      done += step;
      m_position += step;
      continue;
    }
    if (!fill()) break;
  }
  return done;
}

size_t Source::next(const uint8_t** data) {
  if (m_position - m_start >= m_length && !fill()) return 0;
  const size_t offset = static_cast<size_t>(m_position - m_start);
  const size_t count = m_length - offset;
  *data = m_buffer + offset;
  m_position += count;
  return count;
}

}  // namespace lumo::internal
