// The per-thread scratch buffers, the pixel buffers of the engine's own
// bitmaps kept between decodes, and the thread's pixel buffer provider.
#include <cstdlib>
// __GLIBC__ comes with the C library's headers above.
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"

namespace lumo {

namespace internal {

namespace {

// Bytes of large blocks freed since the heap was last trimmed. Blocks of a
// few megabytes can stay with the heap after free(); once that much has
// been freed, trimScratch() hands it back to the system.
thread_local size_t t_freedLarge = 0;

void freeBuffer(void* buffer, size_t bytes) {
  std::free(buffer);
  if (bytes >= kScratchKeepBytes) t_freedLarge += bytes;
}

struct ScratchBuffers {
  uint8_t* data[static_cast<int>(Scratch::kCount)] = {};
  size_t size[static_cast<int>(Scratch::kCount)] = {};
  ~ScratchBuffers() {
    for (uint8_t* buffer : data) std::free(buffer);
  }
};

thread_local ScratchBuffers t_scratch;

}  // namespace

uint8_t* scratch(Scratch slot, size_t bytes, kor::Status* status) {
  const int i = static_cast<int>(slot);
  if (bytes == 0) bytes = 1;
  if (bytes <= t_scratch.size[i]) return t_scratch.data[i];
  freeBuffer(t_scratch.data[i], t_scratch.size[i]);
  t_scratch.data[i] = nullptr;
  t_scratch.size[i] = 0;
  auto* buffer = static_cast<uint8_t*>(std::malloc(bytes));
  if (buffer == nullptr) {
    *status =
        kor::Status::error(kor::Status::kNoMemory, "out of memory (%zu bytes for decoding)", bytes);
    return nullptr;
  }
  t_scratch.data[i] = buffer;
  t_scratch.size[i] = bytes;
  return buffer;
}

namespace {

// The largest pixel buffer given back on this thread, kept for the next
// bitmap of about its size: a fresh multi-megabyte buffer costs a page fault
// per page, which can exceed the decode itself. Small buffers are not worth
// keeping, and a thread keeps no more than kKeepPixelMaxBytes between
// decodes.
struct PixelCache {
  uint8_t* data = nullptr;
  size_t size = 0;
  ~PixelCache() { std::free(data); }
};

thread_local PixelCache t_pixels;

}  // namespace

uint8_t* takePixelBuffer(size_t bytes) {
  if (bytes == 0) bytes = 1;
  // A kept buffer much larger than needed stays kept for the next large
  // image; a small bitmap is cheap to allocate afresh.
  if (t_pixels.data != nullptr && t_pixels.size >= bytes && t_pixels.size / 2 <= bytes) {
    uint8_t* buffer = t_pixels.data;
    t_pixels.data = nullptr;
    t_pixels.size = 0;
    return buffer;
  }
  return static_cast<uint8_t*>(std::malloc(bytes));
}

void givePixelBuffer(uint8_t* buffer, size_t bytes) {
  if (buffer == nullptr) return;
  if (bytes < kKeepPixelBytes || bytes > kKeepPixelMaxBytes || bytes <= t_pixels.size) {
    freeBuffer(buffer, bytes);
    return;
  }
  freeBuffer(t_pixels.data, t_pixels.size);
  t_pixels.data = buffer;
  t_pixels.size = bytes;
}

void trimScratch() {
  for (int i = 0; i < static_cast<int>(Scratch::kCount); ++i) {
    if (t_scratch.size[i] > kScratchKeepBytes) {
      freeBuffer(t_scratch.data[i], t_scratch.size[i]);
      t_scratch.data[i] = nullptr;
      t_scratch.size[i] = 0;
    }
  }
  trimHeap();
}

void trimHeap() {
  if (t_freedLarge == 0) return;
  t_freedLarge = 0;
#if defined(__GLIBC__)
  // glibc keeps freed blocks below its mmap threshold in the heap; other C
  // libraries return large blocks by themselves.
  malloc_trim(0);
#endif
}

// ---------------------------------------------------------------------------
// Bitmaps and where their pixels come from.

namespace {

thread_local PixelBufferProvider* t_pixelProvider = nullptr;

}  // namespace

PixelBufferProvider* pixelProvider() { return t_pixelProvider; }

}  // namespace internal

PixelBufferScope::PixelBufferScope(PixelBufferProvider* provider)
    : m_previous(internal::t_pixelProvider) {
  internal::t_pixelProvider = provider;
}

PixelBufferScope::~PixelBufferScope() { internal::t_pixelProvider = m_previous; }

}  // namespace lumo
