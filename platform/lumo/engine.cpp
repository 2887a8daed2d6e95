// The engine's entry points, the decode pipeline (limits, bitmap allocation,
// format conversion, orientation) and the per-thread scratch buffers.
// Larger than most files here: the pipeline's steps share its private state
// and read best in order, from the limits to the last conversion.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
// __GLIBC__ comes with the C library's headers above.
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/sandbox.h"
#include "platform/osal.h"

namespace lumo {

uint32_t BitmapInfo::getBpp(Format format) {
  switch (format) {
    case kFormatL8:
      return 1;
    case kFormatLA88:
    case kFormatRGB565:
      return 2;
    case kFormatRGB888:
    case kFormatBGR888:
      return 3;
    case kFormatRGBA8888:
    case kFormatBGRA8888:
    case kFormatARGB8888:
      return 4;
    default:
      return 0;
  }
}

namespace internal {

bool checkDimensions(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) {
    kor::ErrorStorage::set("invalid image dimensions: %u x %u", width, height);
    return false;
  }
  const uint64_t pixels = static_cast<uint64_t>(width) * height;
  const uint64_t rowCost = static_cast<uint64_t>(std::max(width, kMinRowPixels)) * height;
  if (pixels > kMaxPixels || rowCost > kMaxPixels || pixels * 4 > UINT32_MAX) {
    kor::ErrorStorage::set("image too large: %u x %u", width, height);
    return false;
  }
  return true;
}

bool cancelled() {
  if (!kor::isCancelled()) return false;
  kor::ErrorStorage::set("decoding cancelled");
  return true;
}

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

uint8_t* scratch(Scratch slot, size_t bytes) {
  const int i = static_cast<int>(slot);
  if (bytes == 0) bytes = 1;
  if (bytes <= t_scratch.size[i]) return t_scratch.data[i];
  freeBuffer(t_scratch.data[i], t_scratch.size[i]);
  t_scratch.data[i] = nullptr;
  t_scratch.size[i] = 0;
  auto* buffer = static_cast<uint8_t*>(std::malloc(bytes));
  if (buffer == nullptr) {
    kor::ErrorStorage::set("out of memory (%zu bytes for decoding)", bytes);
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

// ---------------------------------------------------------------------------
// Source.

bool Source::open(const char* path) {
  if (!m_file.open(path)) return false;
  m_buffer = scratch(Scratch::kFileBuffer, kSourceBufferBytes);
  if (m_buffer == nullptr) {
    m_file.close();
    return false;
  }
  return true;
}

bool Source::adopt(int fd, uint64_t size) {
  m_file.adopt(fd, static_cast<int64_t>(size));
  m_buffer = scratch(Scratch::kFileBuffer, kSourceBufferBytes);
  if (m_buffer == nullptr) {
    m_file.close();
    return false;
  }
  return true;
}

bool Source::fill() {
  m_start = m_position;
  m_length = 0;
  if (m_atEnd) return false;
  const size_t want = std::min(m_nextRead, kSourceBufferBytes);
  m_nextRead = std::min(want * 4, kSourceBufferBytes);
  const int64_t n = m_file.readAt(m_buffer, want, m_position);
  if (n < 0) {
    m_failed = true;
    return false;
  }
  if (n == 0) {
    m_atEnd = true;
    return false;
  }
  m_length = static_cast<size_t>(n);
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

// ---------------------------------------------------------------------------
// Format conversion.

namespace {

// Rec. 601 luma in 8.8 fixed point; the weights sum to 256, so grey input
// (r == g == b) comes out unchanged.
inline uint8_t luma(const uint8_t* p) {
  return static_cast<uint8_t>((77u * p[0] + 150u * p[1] + 29u * p[2] + 128u) >> 8);
}

inline uint32_t scaleTo(uint32_t value, uint32_t max) { return (value * max + 127u) / 255u; }

}  // namespace

void convertRow(const uint8_t* rgba, uint32_t count, BitmapInfo::Format format, uint8_t* out) {
  const uint8_t* p = rgba;
  switch (format) {
    case BitmapInfo::kFormatL8:
      for (uint32_t i = 0; i < count; ++i, p += 4) *out++ = luma(p);
      break;
    case BitmapInfo::kFormatLA88:
      for (uint32_t i = 0; i < count; ++i, p += 4) {
        *out++ = luma(p);
        *out++ = p[3];
      }
      break;
    case BitmapInfo::kFormatRGB565:
      for (uint32_t i = 0; i < count; ++i, p += 4) {
        uint32_t v = (scaleTo(p[0], 31) << 11) | (scaleTo(p[1], 63) << 5) | scaleTo(p[2], 31);
        *out++ = static_cast<uint8_t>(v & 0xff);
        *out++ = static_cast<uint8_t>(v >> 8);
      }
      break;
    case BitmapInfo::kFormatRGB888:
      for (uint32_t i = 0; i < count; ++i, p += 4) {
        *out++ = p[0];
        *out++ = p[1];
        *out++ = p[2];
      }
      break;
    case BitmapInfo::kFormatBGR888:
      for (uint32_t i = 0; i < count; ++i, p += 4) {
        *out++ = p[2];
        *out++ = p[1];
        *out++ = p[0];
      }
      break;
    case BitmapInfo::kFormatRGBA8888:
      std::memcpy(out, rgba, static_cast<size_t>(count) * 4);
      break;
    case BitmapInfo::kFormatBGRA8888:
      for (uint32_t i = 0; i < count; ++i, p += 4) {
        *out++ = p[2];
        *out++ = p[1];
        *out++ = p[0];
        *out++ = p[3];
      }
      break;
    case BitmapInfo::kFormatARGB8888:
      for (uint32_t i = 0; i < count; ++i, p += 4) {
        *out++ = p[3];
        *out++ = p[0];
        *out++ = p[1];
        *out++ = p[2];
      }
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Writer: stored row y of a W x H image lands, per EXIF orientation, at
//   1 (x, y)          2 (W-1-x, y)        3 (W-1-x, H-1-y)    4 (x, H-1-y)
//   5 (y, x)          6 (H-1-y, x)        7 (H-1-y, W-1-x)    8 (y, W-1-x)
// of the bitmap, whose size is W x H for 1-4 and H x W for 5-8.

bool Writer::putRow(const uint8_t* rgba) {
  if (m_y >= m_height) {
    kor::ErrorStorage::set("decoder delivered more rows than the image has");
    return false;
  }
  uint8_t* pixels = m_pipeline.pixels();
  rgba = m_pipeline.colourRow(rgba, m_width);
  if (pixels == nullptr || rgba == nullptr) return false;
  const uint32_t bpp = BitmapInfo::getBpp(m_format);
  const uint32_t y = m_y++;
  const int o = m_orientation;
  if (o == 1 || o == 4) {
    uint32_t dy = o == 1 ? y : m_height - 1 - y;
    convertRow(rgba, m_width, m_format, pixels + size_t{dy} * m_stride);
    return true;
  }
  uint8_t* line = scratch(Scratch::kConverted, size_t{m_width} * bpp);
  if (line == nullptr) return false;
  convertRow(rgba, m_width, m_format, line);
  if (o == 2 || o == 3) {
    uint32_t dy = o == 2 ? y : m_height - 1 - y;
    uint8_t* row = pixels + size_t{dy} * m_stride;
    for (uint32_t x = 0; x < m_width; ++x)
      std::memcpy(row + size_t{m_width - 1 - x} * bpp, line + size_t{x} * bpp, bpp);
    return true;
  }
  // 5..8: the stored row becomes a column of the bitmap.
  const uint32_t dx = (o == 5 || o == 8) ? y : m_height - 1 - y;
  const bool down = o == 5 || o == 6;
  uint8_t* column = pixels + size_t{dx} * bpp;
  for (uint32_t x = 0; x < m_width; ++x) {
    uint32_t dy = down ? x : m_width - 1 - x;
    std::memcpy(column + size_t{dy} * m_stride, line + size_t{x} * bpp, bpp);
  }
  return true;
}

// Transparent black is all zero bytes in every format.
bool Writer::putClearRow() {
  const int o = m_orientation;
  if ((o == 1 || o == 4) && m_y < m_height) {
    uint8_t* pixels = m_pipeline.pixels();
    if (pixels == nullptr) return false;
    const uint32_t y = m_y++;
    const uint32_t dy = o == 1 ? y : m_height - 1 - y;
    std::memset(pixels + size_t{dy} * m_stride, 0, m_stride);
    return true;
  }
  uint8_t* zeros = scratch(Scratch::kClearRow, size_t{m_width} * 4);
  if (zeros == nullptr) return false;
  std::memset(zeros, 0, size_t{m_width} * 4);
  return putRow(zeros);
}

bool Writer::placePixels(uint32_t y, const uint8_t* rgba, uint32_t xStart, uint32_t xStep) {
  uint8_t* pixels = m_pipeline.pixels();
  rgba = m_pipeline.colourScattered(rgba, m_width, xStart, xStep);
  if (pixels == nullptr || rgba == nullptr) return false;
  const uint32_t bpp = BitmapInfo::getBpp(m_format);
  uint8_t* row = pixels + size_t{y} * m_stride;
  if (xStep == 1) {
    convertRow(rgba + size_t{xStart} * 4, m_width - xStart, m_format, row + size_t{xStart} * bpp);
    return true;
  }
  for (uint32_t x = xStart; x < m_width; x += xStep)
    convertRow(rgba + size_t{x} * 4, 1, m_format, row + size_t{x} * bpp);
  return true;
}

bool Writer::clearRow(uint32_t y) {
  uint8_t* pixels = m_pipeline.pixels();
  if (pixels == nullptr) return false;
  std::memset(pixels + size_t{y} * m_stride, 0, m_stride);
  return true;
}

// ---------------------------------------------------------------------------
// Orientation in place: the same placement as the Writer's, for an image
// that is already whole in the bitmap.

namespace {

template <uint32_t kBpp>
void reversePixels(uint8_t* first, size_t count) {
  if (count < 2) return;
  uint8_t* last = first + (count - 1) * kBpp;
  uint8_t held[kBpp];
  for (; first < last; first += kBpp, last -= kBpp) {
    std::memcpy(held, first, kBpp);
    std::memcpy(first, last, kBpp);
    std::memcpy(last, held, kBpp);
  }
}

void swapRows(uint8_t* pixels, uint32_t height, size_t stride) {
  for (uint32_t y = 0; y < height / 2; ++y)
    std::swap_ranges(pixels + y * stride, pixels + (y + 1) * stride,
                     pixels + (height - 1 - y) * stride);
}

// Transposes a |width| x |height| image into a |height| x |width| one:
// pixel i = y * width + x moves to x * height + y. Each cycle of that
// permutation is followed once, from its first pixel; |moved| (a bit per
// pixel, all clear) marks the pixels already in place.
template <uint32_t kBpp>
void transpose(uint8_t* pixels, uint64_t width, uint64_t height, uint64_t* moved) {
  const uint64_t count = width * height;
  uint8_t carried[kBpp];
  uint8_t displaced[kBpp];
  // The first and the last pixel stay where they are.
  for (uint64_t start = 1; start + 1 < count; ++start) {
    if ((moved[start / 64] >> (start % 64)) & 1) continue;
    std::memcpy(carried, pixels + start * kBpp, kBpp);
    uint64_t i = start;
    do {
      const uint64_t to = (i % width) * height + i / width;
      moved[to / 64] |= uint64_t{1} << (to % 64);
      std::memcpy(displaced, pixels + to * kBpp, kBpp);
      std::memcpy(pixels + to * kBpp, carried, kBpp);
      std::memcpy(carried, displaced, kBpp);
      i = to;
    } while (i != start);
  }
}

template <uint32_t kBpp>
bool orientInPlace(uint8_t* pixels, uint32_t width, uint32_t height, int orientation) {
  const size_t count = size_t{width} * height;
  if (orientation >= 5) {
    auto* moved = reinterpret_cast<uint64_t*>(scratch(Scratch::kImage, (count + 63) / 64 * 8));
    if (moved == nullptr) return false;
    std::memset(moved, 0, (count + 63) / 64 * 8);
    transpose<kBpp>(pixels, width, height, moved);
    std::swap(width, height);
  }
  // What is left after the transposition: 6 is 2, 7 is 3, 8 is 4.
  const int flip = orientation >= 5 ? orientation - 4 : orientation;
  if (flip == 2) {
    for (uint32_t y = 0; y < height; ++y)
      reversePixels<kBpp>(pixels + size_t{y} * width * kBpp, width);
  } else if (flip == 3) {
    reversePixels<kBpp>(pixels, count);
  } else if (flip == 4) {
    swapRows(pixels, height, size_t{width} * kBpp);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Pipeline.

Pipeline::Pipeline(BitmapInfo::Format format, uint32_t targetWidth, uint32_t targetHeight,
                   bool scaled, bool infoOnly)
    : m_format(format),
      m_targetWidth(targetWidth),
      m_targetHeight(targetHeight),
      m_scaled(scaled),
      m_infoOnly(infoOnly) {}

Pipeline::~Pipeline() {
  m_accumulator.reset();
  m_averager.reset();
  m_writer.reset();
  Engine::getInstance().destroyBitmap(m_bitmap);
}

bool Pipeline::start(const Header& header) {
  m_header = header;
  if (m_header.orientation < 1 || m_header.orientation > 8) m_header.orientation = 1;
  // The information of an image larger than the decode limit is still
  // read: only a size that is no size at all is refused there.
  if (m_infoOnly) {
    if (header.width == 0 || header.height == 0) {
      kor::ErrorStorage::set("invalid image dimensions: %u x %u", header.width, header.height);
      return false;
    }
    m_headerSeen = true;
    return false;
  }
  if (!checkDimensions(header.width, header.height)) return false;
  const bool turned = m_header.orientation >= 5;
  const uint32_t width = turned ? header.height : header.width;
  const uint32_t height = turned ? header.width : header.height;
  uint32_t targetWidth = 0;
  uint32_t targetHeight = 0;
  targetFor(width, height, &targetWidth, &targetHeight);
  m_storedTargetWidth = turned ? targetHeight : targetWidth;
  m_storedTargetHeight = turned ? targetWidth : targetHeight;

  BitmapInfo::Format format = m_format;
  if (format == BitmapInfo::kFormatDefault) {
    if (header.isGrey)
      format = header.hasAlpha ? BitmapInfo::kFormatLA88 : BitmapInfo::kFormatL8;
    else
      format = header.hasAlpha ? BitmapInfo::kFormatRGBA8888 : BitmapInfo::kFormatRGB888;
  }
  const uint32_t bpp = BitmapInfo::getBpp(format);
  const uint64_t stride = uint64_t{targetWidth} * bpp;
  const uint64_t bytes = stride * targetHeight;
  if (bytes > UINT32_MAX) {
    kor::ErrorStorage::set("image too large: %u x %u", targetWidth, targetHeight);
    return false;
  }
  m_bitmapFormat = format;
  m_bitmapWidth = targetWidth;
  m_bitmapHeight = targetHeight;
  m_stride = static_cast<uint32_t>(stride);
  m_writer.emplace(*this, format, m_stride, m_storedTargetWidth, m_storedTargetHeight,
                   m_header.orientation);
  return true;
}

void Pipeline::targetFor(uint32_t width, uint32_t height, uint32_t* targetWidth,
                         uint32_t* targetHeight) const {
  *targetWidth = width;
  *targetHeight = height;
  if (m_scaled) {
    // No upscaling: each dimension is clamped to 1..the image's own.
    *targetWidth = std::clamp<uint32_t>(m_targetWidth, 1, width);
    *targetHeight = std::clamp<uint32_t>(m_targetHeight, 1, height);
  }
}

uint8_t* Pipeline::pixels() {
  if (m_bitmap != nullptr) return m_bitmap->pixels;
  BitmapRecord* record = kor::tryNew<BitmapRecord>("lumo::Bitmap");
  if (record == nullptr) {
    kor::ErrorStorage::set("out of memory allocating a bitmap");
    return nullptr;
  }
  const size_t bytes = size_t{m_stride} * m_bitmapHeight;
  // Not zeroed: finish() hands the bitmap over only when every row has been
  // written, so no byte of a delivered bitmap is left undefined.
  if (!kor::allocationShouldFail("lumo::Bitmap")) {
    if (t_pixelProvider != nullptr) {
      record->pixels = t_pixelProvider->allocatePixels(bytes);
      if (record->pixels != nullptr) record->provider = t_pixelProvider;
    }
    if (record->pixels == nullptr) record->pixels = takePixelBuffer(bytes);
  }
  if (record->pixels == nullptr) {
    delete record;
    kor::ErrorStorage::set("out of memory allocating a bitmap of %u x %u", m_bitmapWidth,
                           m_bitmapHeight);
    return nullptr;
  }
  record->width = m_bitmapWidth;
  record->height = m_bitmapHeight;
  record->format = m_bitmapFormat;
  record->stride = m_stride;
  m_bitmap = record;
  return record->pixels;
}

bool Pipeline::setRowSize(uint32_t width, uint32_t height) {
  if (width < m_storedTargetWidth || height < m_storedTargetHeight || width > m_header.width ||
      height > m_header.height) {
    kor::ErrorStorage::set("internal error: decoder row size %u x %u does not fit", width, height);
    return false;
  }
  if (width == m_storedTargetWidth && height == m_storedTargetHeight) return true;
  m_averager.emplace(width, height, m_storedTargetWidth, m_storedTargetHeight, *m_writer);
  return m_averager->init();
}

bool Pipeline::acceptsDirectRows(BitmapInfo::Format native, uint32_t width, uint32_t height) const {
  return m_writer && m_bitmapFormat == native && m_header.orientation == 1 &&
         width == m_storedTargetWidth && height == m_storedTargetHeight;
}

uint8_t* Pipeline::directRow() {
  if (m_bitmap == nullptr) return scratch(Scratch::kConverted, m_stride);
  return m_bitmap->pixels + size_t{m_writer->rowsWritten()} * m_stride;
}

bool Pipeline::directRowDone() {
  colourInPlace(directRow(), m_storedTargetWidth);
  if (m_bitmap == nullptr) {
    // The first row has arrived, in the scratch row of directRow().
    const uint8_t* first = scratch(Scratch::kConverted, m_stride);
    uint8_t* bitmap = pixels();
    if (first == nullptr || bitmap == nullptr) return false;
    std::memcpy(bitmap, first, m_stride);
  }
  m_writer->countDirectRow();
  return true;
}

bool Pipeline::wholeImageDone() {
  uint8_t* image = pixels();
  if (image == nullptr) return false;
  const uint32_t width = m_storedTargetWidth;
  const uint32_t height = m_storedTargetHeight;
  colourInPlace(image, size_t{width} * height);
  const int o = m_header.orientation;
  bool ok = true;
  switch (BitmapInfo::getBpp(m_bitmapFormat)) {
    case 1:
      ok = orientInPlace<1>(image, width, height, o);
      break;
    case 2:
      ok = orientInPlace<2>(image, width, height, o);
      break;
    case 3:
      ok = orientInPlace<3>(image, width, height, o);
      break;
    default:
      ok = orientInPlace<4>(image, width, height, o);
      break;
  }
  if (ok) m_writer->markAllRows();
  return ok;
}

RowSink& Pipeline::sink() {
  if (m_averager) return *m_averager;
  return *m_writer;
}

uint64_t Pipeline::scatteredBytes() const {
  if (m_storedTargetWidth == m_header.width && m_storedTargetHeight == m_header.height) return 0;
  return uint64_t{m_storedTargetWidth} * m_storedTargetHeight * kAccumulatorBytesPerPixel;
}

bool Pipeline::startScattered() {
  if (m_header.orientation != 1) {
    kor::ErrorStorage::set("internal error: scattered rows need orientation 1");
    return false;
  }
  if (scatteredBytes() == 0) return true;
  m_accumulator.emplace(m_header.width, m_header.height, m_storedTargetWidth, m_storedTargetHeight,
                        *m_writer);
  return true;
}

bool Pipeline::putScattered(uint32_t y, const uint8_t* rgba, uint32_t xStart, uint32_t xStep) {
  if (y >= m_header.height || xStart >= m_header.width) return true;
  if (!m_accumulator) return m_writer->placePixels(y, rgba, xStart, xStep);
  if (!m_accumulating) {
    if (!m_accumulator->init()) return false;
    m_accumulating = true;
  }
  m_accumulator->add(y, rgba, xStart, xStep);
  return true;
}

bool Pipeline::putScatteredClear(uint32_t y) {
  // The accumulator's sums start at zero: a transparent row adds nothing.
  if (m_accumulator || y >= m_header.height) return true;
  return m_writer->clearRow(y);
}

bool Pipeline::finishScattered() {
  if (m_accumulator) {
    // Every row transparent: the sums are all zero.
    if (!m_accumulating) {
      if (!m_accumulator->init()) return false;
      m_accumulating = true;
    }
    return !cancelled() && m_accumulator->finish();
  }
  m_writer->markAllRows();
  return true;
}

Bitmap* Pipeline::finish() {
  if (!m_writer || m_bitmap == nullptr || m_writer->rowsWritten() != m_storedTargetHeight) {
    kor::ErrorStorage::set("image data incomplete");
    return nullptr;
  }
  Bitmap* bitmap = m_bitmap;
  m_bitmap = nullptr;
  return bitmap;
}

namespace {

// The first read of an information request: the headers of almost every
// file lie within it (JPEG files with a large Exif block read on).
constexpr size_t kHeaderReadBytes = 4096;

// Opens |path| (or takes the open file |fd|), recognises the format and runs
// its decoder on |pipeline|. An information request reads only the start of
// the file at first; a decode reads whole buffers from the start.
bool run(const util::UnicodeString8& path, int fd, uint64_t size, Pipeline& pipeline) {
  Source source(pipeline.infoOnly() ? kHeaderReadBytes : kSourceBufferBytes);
  if (!(fd >= 0 ? source.adopt(fd, size) : source.open(path.utf8()))) return false;
  const FormatDecoder decoder = findDecoder(source);
  if (decoder != nullptr) return decoder(source, pipeline);
  kor::ErrorStorage::set("not a supported image file: %s", path.utf8());
  return false;
}

}  // namespace

Bitmap* localDecode(const util::UnicodeString8& path, int fd, uint64_t size,
                    BitmapInfo::Format format, uint32_t width, uint32_t height, bool scaled) {
  if (format < BitmapInfo::kFormatDefault || format > BitmapInfo::kFormatARGB8888) {
    kor::ErrorStorage::set("unsupported pixel format %d", static_cast<int>(format));
    return nullptr;
  }
  // A cancelled job costs no more than this.
  if (cancelled()) return nullptr;
  Bitmap* bitmap = nullptr;
  {
    Pipeline pipeline(format, width, height, scaled, false);
    if (run(path, fd, size, pipeline)) bitmap = pipeline.finish();
  }
  trimScratch();
  return bitmap;
}

BitmapInfo* localImageInfo(const util::UnicodeString8& path, int fd, uint64_t size) {
  Pipeline pipeline(BitmapInfo::kFormatDefault, 0, 0, false, true);
  run(path, fd, size, pipeline);
  trimScratch();
  if (!pipeline.headerSeen()) return nullptr;
  BitmapInfo* info = kor::tryNew<BitmapInfo>("lumo::BitmapInfo");
  if (info == nullptr) {
    kor::ErrorStorage::set("out of memory allocating image information");
    return nullptr;
  }
  const Header& header = pipeline.header();
  const bool turned = header.orientation >= 5;
  info->width = turned ? header.height : header.width;
  info->height = turned ? header.width : header.height;
  info->sourceType = header.sourceType;
  info->hasAlpha = header.hasAlpha;
  info->isGrey = header.isGrey;
  return info;
}

}  // namespace internal

Engine& Engine::getInstance() {
  static Engine engine;
  return engine;
}

// While the process runs decoder processes (startDecoders()), every image
// is read there; otherwise here.
BitmapInfo* Engine::getImageInfo(const util::UnicodeString8& path) {
  if (internal::decodersRunning()) return internal::remoteImageInfo(path);
  return internal::localImageInfo(path, -1, 0);
}

void Engine::destroyBitmapInfo(BitmapInfo* info) { delete info; }

Bitmap* Engine::createBitmap(const util::UnicodeString8& path, BitmapInfo::Format format,
                             LoadingListener* /*listener*/) {
  if (internal::decodersRunning()) return internal::remoteDecode(path, format, 0, 0, false);
  return internal::localDecode(path, -1, 0, format, 0, 0, false);
}

Bitmap* Engine::createBitmap(const util::UnicodeString8& path, BitmapInfo::Format format,
                             const Vec2<unsigned int>& size, Bitmap::ScalingMethod method,
                             bool keepAspect, LoadingListener* /*listener*/) {
  if (method != Bitmap::kScalingAreaAverage) {
    kor::ErrorStorage::set("unsupported scaling method %d", static_cast<int>(method));
    return nullptr;
  }
  if (keepAspect) {
    kor::ErrorStorage::set("keeping the aspect ratio is not supported");
    return nullptr;
  }
  if (internal::decodersRunning())
    return internal::remoteDecode(path, format, size.x, size.y, true);
  return internal::localDecode(path, -1, 0, format, size.x, size.y, true);
}

void Engine::destroyBitmap(Bitmap* bitmap) {
  if (bitmap == nullptr) return;
  auto* record = static_cast<internal::BitmapRecord*>(bitmap);
  if (record->provider != nullptr) {
    record->provider->releasePixels(record->pixels);
  } else {
    internal::givePixelBuffer(record->pixels, size_t{record->stride} * record->height);
    internal::trimHeap();
  }
  delete record;
}

PixelBufferScope::PixelBufferScope(PixelBufferProvider* provider)
    : m_previous(internal::t_pixelProvider) {
  internal::t_pixelProvider = provider;
}

PixelBufferScope::~PixelBufferScope() { internal::t_pixelProvider = m_previous; }

FileFault classifyFailure(const char* reason) {
  if (reason == nullptr) return FileFault::kOther;
  const std::string_view text(reason);
  if (text.starts_with("not a supported image file")) return FileFault::kNotAnImage;
  if (text.starts_with("cannot open ")) {
    if (text.ends_with(": Permission denied") || text.ends_with(": Operation not permitted"))
      return FileFault::kUnreadable;
    if (text.ends_with(": No such file or directory")) return FileFault::kMissing;
  }
  // The codecs' texts for data that breaks its format.
  static const char* const kDamaged[] = {"invalid ", "truncated ", "image data incomplete"};
  for (const char* prefix : kDamaged)
    if (text.starts_with(prefix)) return FileFault::kDamaged;
  return FileFault::kOther;
}

}  // namespace lumo
