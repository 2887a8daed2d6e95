#include "imageserver/AnswerBuffers.h"

#include "platform/kor.h"
#include "platform/transport.h"
#include "platform/transport/segment.h"

AnswerBuffers::AnswerBuffers() : comm::Endpoint(kor::UUID()) {}

AnswerBuffers::~AnswerBuffers() { delete m_lentStorage; }

uint8_t* AnswerBuffers::allocatePixels(size_t bytes) {
  // Smaller arrays never reach an endpoint: they travel inside the message.
  if (m_lentPixels != nullptr || m_reply == nullptr || m_reply->isClosed() ||
      bytes < comm::kSegmentThreshold || bytes > UINT32_MAX)
    return nullptr;
  const uint32_t size = static_cast<uint32_t>(bytes);
  // A client at its shared-memory limit lends nothing: the engine uses its
  // own buffer, and the answer's array is refused after the decode.
  bool refused = false;
  CIInt8Array::Storage* storage = m_reply->allocateArrayStorage(size, &refused);
  if (storage == nullptr) return nullptr;
  m_lentStorage = storage;
  m_lentSize = size;
  m_lentPixels = reinterpret_cast<uint8_t*>(storage->bytes());
  return m_lentPixels;
}

void AnswerBuffers::releasePixels(uint8_t* pixels) {
  if (pixels == nullptr || pixels != m_lentPixels) return;
  // Still here when no array took it: the bitmap was the only user.
  delete m_lentStorage;
  m_lentStorage = nullptr;
  m_lentPixels = nullptr;
}

int AnswerBuffers::sharedPixels(const uint8_t* pixels, uint64_t* id) {
  *id = 0;
  auto* shared = dynamic_cast<comm::SegmentStorage*>(m_lentStorage);
  if (pixels == nullptr || pixels != m_lentPixels || shared == nullptr) return -1;
  if (!shared->segment()->seal().ok()) return -1;
  auto* pooled = dynamic_cast<comm::PooledStorage*>(shared);
  if (pooled != nullptr && !pooled->transient()) *id = pooled->id();
  return shared->segment()->fd();
}

uint8_t* AnswerBuffers::allocateForeignPixels(size_t bytes) {
  const comm::ForeignWriterScope foreign;
  return allocatePixels(bytes);
}

size_t AnswerBuffers::smallestLent() const { return comm::kSegmentThreshold; }

CIInt8Array::Storage* AnswerBuffers::allocateArrayStorage(uint32_t size, bool* refused) {
  *refused = false;
  if (m_lentStorage != nullptr && size == m_lentSize) {
    CIInt8Array::Storage* storage = m_lentStorage;
    m_lentStorage = nullptr;  // the array owns it now
    return storage;
  }
  if (m_reply == nullptr || m_reply->isClosed()) return nullptr;
  return m_reply->allocateArrayStorage(size, refused);
}
