// The wire format: message writer, bounds-checked reader, header check and
// the descriptor holder. See platform/transport.h for the layout.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/transport.h"
#include "platform/transport/connection.h"

namespace comm {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (m_fd >= 0) {
    // close() is not retried on EINTR: the descriptor is released either way.
    ::close(m_fd);
  }
  m_fd = fd;
}

namespace {

void storeU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t loadU32(const uint8_t* at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// Header.

Status parseHeader(const uint8_t* header, uint8_t* kind, uint32_t* slot, uint32_t* size,
                   uint32_t* fds) {
  if (loadU32(header) != kWireMagic) return Status::error(Status::kProtocol, "bad magic");
  if (header[4] != kWireVersion)
    return Status::error(Status::kProtocol, "unsupported wire version");
  if (header[5] < kKindRequest || header[5] > kKindSegmentDrop)
    return Status::error(Status::kProtocol, "unknown message kind");
  const uint32_t fdCount = static_cast<uint32_t>(header[6]) | static_cast<uint32_t>(header[7]) << 8;
  if (fdCount > kMaxFdsPerMessage) return Status::error(Status::kLimit, "too many descriptors");
  const uint32_t payload = loadU32(header + 12);
  if (payload > kMaxMessageSize - kWireHeaderSize)
    return Status::error(Status::kLimit, "message too large");
  *kind = header[5];
  *slot = loadU32(header + 8);
  *size = payload;
  *fds = fdCount;
  return Status();
}

// ---------------------------------------------------------------------------
// Writer.

WireWriter::WireWriter(MessageKind kind, uint32_t slot) {
  if (!reserve(kWireHeaderSize)) return;
  m_bytes.resize(kWireHeaderSize, 0);
  storeU32(m_bytes.data(), kWireMagic);
  m_bytes[4] = kWireVersion;
  m_bytes[5] = kind;
  storeU32(m_bytes.data() + 8, slot);
}

void WireWriter::fail(Status status) {
  if (m_status.ok()) m_status = std::move(status);
}

bool WireWriter::reserve(size_t more) {
  if (!ok()) return false;
  if (m_bytes.size() + more > kMaxMessageSize) {
    fail(Status::error(Status::kLimit, "message too large"));
    return false;
  }
  try {
    // Geometric growth, bounded by the message limit.
    const size_t needed = m_bytes.size() + more;
    if (needed > m_bytes.capacity())
      m_bytes.reserve(
          std::min(std::max(needed, 2 * m_bytes.capacity()), static_cast<size_t>(kMaxMessageSize)));
  } catch (...) {
    fail(Status::error(Status::kNoMemory, "out of memory"));
    return false;
  }
  return true;
}

void WireWriter::putU8(uint8_t value) {
  if (reserve(1)) m_bytes.push_back(value);
}

void WireWriter::putU32(uint32_t value) {
  if (!reserve(4)) return;
  uint8_t bytes[4];
  storeU32(bytes, value);
  m_bytes.insert(m_bytes.end(), bytes, bytes + 4);
}

void WireWriter::putI64(int64_t value) {
  const uint64_t bits = static_cast<uint64_t>(value);
  putU32(static_cast<uint32_t>(bits));
  putU32(static_cast<uint32_t>(bits >> 32));
}

void WireWriter::putString(const char* bytes, size_t length) {
  if (!reserve(5 + length)) return;
  putU8(1);
  putU32(static_cast<uint32_t>(length));
  m_bytes.insert(m_bytes.end(), reinterpret_cast<const uint8_t*>(bytes),
                 reinterpret_cast<const uint8_t*>(bytes) + length);
}

void WireWriter::putString(const CIPtr<CIString>& text) {
  if (text.isNull()) {
    putU8(0);
    return;
  }
  putString(text->utf8(), text->length());
}

bool WireWriter::beginArray(bool present, uint32_t count) {
  if (!present) {
    putU8(0);
    return false;
  }
  if (count > kMaxArrayCount) {
    fail(Status::error(Status::kLimit, "array longer than %u elements", kMaxArrayCount));
    return false;
  }
  putU8(1);
  putU32(count);
  return true;
}

void WireWriter::putStringArray(const CIPtr<CIPtrArray<CIString>>& array) {
  if (!beginArray(!array.isNull(), array.isNull() ? 0 : array->size())) return;
  for (uint32_t i = 0; i < array->size() && ok(); ++i) putString((*array)[i]);
}

void WireWriter::putUInt32Array(const CIPtr<CIUInt32Array>& array) {
  if (!beginArray(!array.isNull(), array.isNull() ? 0 : array->size())) return;
  for (uint32_t i = 0; i < array->size() && ok(); ++i) putU32((*array)[i]);
}

void WireWriter::putByteArray(const CIPtr<CIInt8Array>& array) {
  if (array.isNull()) {
    putU8(0);
    return;
  }
  const uint32_t size = array->size();
  const SegmentStorage* storage = dynamic_cast<const SegmentStorage*>(array->storage());
  const PooledStorage* pooled = dynamic_cast<const PooledStorage*>(storage);
  if (pooled != nullptr) {
    // Its client's segment: the connection checks that it goes to that
    // client (Connection::send).
    putSegment(storage->segment(), size);
    if (!ok()) return;
    try {
      m_pooled.emplace_back(pooled->pool(), pooled->id());
    } catch (...) {
      fail(Status::error(Status::kNoMemory, "out of memory"));
      return;
    }
    m_bytes[m_bytes.size() - 5] = pooled->transient() ? 4 : 3;  // the tag putSegment wrote
    putU32(pooled->id());
    return;
  }
  if (storage != nullptr) {
    putSegment(storage->segment(), size);
    return;
  }
  if (size < kSegmentThreshold) {
    if (!reserve(5 + size)) return;
    putU8(1);
    putU32(size);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(array->data());
    if (size > 0) m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    return;
  }
  // A large array on the heap (made before the segment allocator was
  // installed, or when a segment could not be had): one copy into a segment.
  std::shared_ptr<Segment> copy;
  const Status made = Segment::create(size, &copy);
  if (!made.ok()) {
    fail(std::move(made));
    return;
  }
  std::memcpy(copy->writableData(), array->data(), size);
  putSegment(copy, size);
}

void WireWriter::putSegment(const std::shared_ptr<Segment>& segment, uint32_t length) {
  if (!ok()) return;
  if (segment == nullptr || segment->fd() < 0 || length > segment->size()) {
    fail(Status::error(Status::kInvalidArgument, "segment cannot be sent"));
    return;
  }
  if (m_segments.size() >= kMaxFdsPerMessage) {
    fail(Status::error(Status::kLimit, "too many segments in one message"));
    return;
  }
  const Status sealed = segment->seal();
  if (!sealed.ok()) {
    fail(std::move(sealed));
    return;
  }
  try {
    m_segments.push_back(segment);
  } catch (...) {
    fail(Status::error(Status::kNoMemory, "out of memory"));
    return;
  }
  putU8(2);
  putU32(length);
}

// The descriptor count is a u16 of which the writer fills the low byte.
static_assert(kMaxFdsPerMessage <= 0xff);

std::vector<uint8_t>& WireWriter::finish() {
  if (m_bytes.size() >= kWireHeaderSize) {
    m_bytes[6] = static_cast<uint8_t>(m_segments.size());
    m_bytes[7] = 0;
    storeU32(m_bytes.data() + 12, static_cast<uint32_t>(m_bytes.size() - kWireHeaderSize));
  }
  return m_bytes;
}

// ---------------------------------------------------------------------------
// Reader.

WireReader::WireReader(const uint8_t* data, size_t size, std::vector<UniqueFd>* fds)
    : m_data(data), m_size(data != nullptr ? size : 0), m_fds(fds) {}

WireReader::WireReader(WireMessage& message)
    : WireReader(message.payload, message.size, &message.fds) {
  m_received = message.segments;
}

bool WireReader::fail(const char* reason) {
  if (m_status.ok())
    m_status = Status::error(
        std::strcmp(reason, "out of memory") == 0 ? Status::kNoMemory : Status::kProtocol, "%s",
        reason);
  return false;
}

bool WireReader::take(size_t count, const uint8_t** bytes) {
  if (!ok()) return false;
  if (count > m_size - m_offset) return fail("field runs past the end of the message");
  *bytes = m_data + m_offset;
  m_offset += count;
  return true;
}

bool WireReader::getU8(uint8_t* value) {
  const uint8_t* bytes;
  if (!take(1, &bytes)) return false;
  *value = bytes[0];
  return true;
}

bool WireReader::getBool(bool* value) {
  uint8_t byte;
  if (!getU8(&byte)) return false;
  if (byte > 1) return fail("bad boolean");
  *value = byte == 1;
  return true;
}

bool WireReader::getI8(int8_t* value) {
  uint8_t byte;
  if (!getU8(&byte)) return false;
  *value = static_cast<int8_t>(byte);
  return true;
}

bool WireReader::getU32(uint32_t* value) {
  const uint8_t* bytes;
  if (!take(4, &bytes)) return false;
  *value = loadU32(bytes);
  return true;
}

bool WireReader::getI32(int32_t* value) {
  uint32_t bits;
  if (!getU32(&bits)) return false;
  *value = static_cast<int32_t>(bits);
  return true;
}

bool WireReader::getI64(int64_t* value) {
  uint32_t low, high;
  if (!getU32(&low) || !getU32(&high)) return false;
  *value = static_cast<int64_t>(static_cast<uint64_t>(high) << 32 | low);
  return true;
}

bool WireReader::getCount(uint32_t* count, uint32_t limit, uint32_t minElementSize) {
  uint32_t n;
  if (!getU32(&n)) return false;
  if (n > limit) return fail("count above limit");
  if (static_cast<uint64_t>(n) * minElementSize > remaining()) return fail("count exceeds message");
  *count = n;
  return true;
}

bool WireReader::getString(bool* present, const char** bytes, uint32_t* length) {
  if (!getBool(present)) return false;
  if (!*present) {
    *bytes = nullptr;
    *length = 0;
    return true;
  }
  uint32_t n;
  if (!getCount(&n, kMaxMessageSize, 1)) return false;
  const uint8_t* raw;
  if (!take(n, &raw)) return false;
  *bytes = reinterpret_cast<const char*>(raw);
  *length = n;
  return true;
}

bool WireReader::getString(CIPtr<CIString>* text) {
  bool present;
  const char* bytes;
  uint32_t length;
  if (!getString(&present, &bytes, &length)) return false;
  text->reset();
  if (!present) return true;
  *text = CIPtr<CIString>(kor::tryNew<CIString>("CIString", bytes, static_cast<size_t>(length),
                                                util::UnicodeString_common::kUtf8));
  return text->isNull() ? fail("out of memory") : true;
}

bool WireReader::getStringArray(CIPtr<CIPtrArray<CIString>>* array) {
  bool present;
  if (!getBool(&present)) return false;
  array->reset();
  if (!present) return true;
  uint32_t count;
  if (!getCount(&count, kMaxArrayCount, 1)) return false;
  CIPtr<CIPtrArray<CIString>> made = CITypesFactory::createStringArray(count);
  if (made.isNull()) return fail("out of memory");
  for (uint32_t i = 0; i < count; ++i) {
    if (!getString(&(*made)[i])) return false;
  }
  *array = made;
  return true;
}

bool WireReader::getUInt32Array(CIPtr<CIUInt32Array>* array) {
  bool present;
  if (!getBool(&present)) return false;
  array->reset();
  if (!present) return true;
  uint32_t count;
  if (!getCount(&count, kMaxArrayCount, 4)) return false;
  CIPtr<CIUInt32Array> made = CITypesFactory::createUInt32Array(count);
  if (made.isNull()) return fail("out of memory");
  for (uint32_t i = 0; i < count; ++i) {
    if (!getU32(&(*made)[i])) return false;
  }
  *array = made;
  return true;
}

bool WireReader::getByteArray(WireBytes* bytes) {
  *bytes = WireBytes();
  uint8_t tag;
  if (!getU8(&tag)) return false;
  if (tag == 0) return true;
  uint32_t length;
  if (tag == 1) {
    if (!getCount(&length, kMaxMessageSize, 1)) return false;
    const uint8_t* raw;
    if (!take(length, &raw)) return false;
    bytes->present = true;
    bytes->length = length;
    bytes->inlineBytes = raw;
    return true;
  }
  if (tag < 2 || tag > 4) return fail("bad byte array tag");
  uint32_t id = 0;
  if (!getU32(&length) || (tag != 2 && !getU32(&id))) return false;
  if (tag != 2 && m_received == nullptr) return fail("pooled segment not expected");
  if (m_fds == nullptr || m_nextFd >= m_fds->size()) return fail("segment without descriptor");
  UniqueFd fd = std::move((*m_fds)[m_nextFd++]);
  std::shared_ptr<Segment> segment;
  const Status mapped = tag == 2 ? Segment::mapReceived(std::move(fd), length, &segment)
                        : tag == 3
                            ? m_received->acquire(id, std::move(fd), length, &segment)
                            : m_received->acquireTransient(id, std::move(fd), length, &segment);
  if (!mapped.ok()) return fail("bad segment");
  bytes->present = true;
  bytes->length = length;
  bytes->segment = std::move(segment);
  return true;
}

void putSegmentList(WireWriter& writer, const std::vector<uint32_t>& values,
                    uint32_t valuesPerItem) {
  const size_t items = values.size() / valuesPerItem;
  if (items == 0 || items > kMaxSegmentIdsPerMessage || items * valuesPerItem != values.size()) {
    writer.fail(Status::error(Status::kInvalidArgument, "bad segment list"));
    return;
  }
  writer.putU32(static_cast<uint32_t>(items));
  for (uint32_t value : values) writer.putU32(value);
}

bool getSegmentList(WireReader& reader, uint32_t valuesPerItem, std::vector<uint32_t>* values) {
  uint32_t items;
  if (!reader.getCount(&items, kMaxSegmentIdsPerMessage, 4 * valuesPerItem) || items == 0)
    return false;
  try {
    values->resize(static_cast<size_t>(items) * valuesPerItem);
  } catch (...) {
    return false;
  }
  for (uint32_t& value : *values) {
    if (!reader.getU32(&value)) return false;
  }
  return reader.finish();
}

bool WireReader::finish() {
  if (!ok()) return false;
  if (m_offset != m_size) return fail("trailing bytes");
  if (m_fds != nullptr && m_nextFd != m_fds->size()) return fail("unused descriptors");
  return true;
}

}  // namespace comm
