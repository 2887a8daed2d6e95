// The decode pipeline: limits, bitmap allocation, scaling set-up, direct
// rows, whole images turned in place and scattered rows.
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {

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

// The stages go before the bitmap they write into (the members' order).
Pipeline::~Pipeline() = default;

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
  BitmapRecordPtr record(kor::tryNew<BitmapRecord>("lumo::Bitmap"));
  if (record == nullptr) {
    kor::ErrorStorage::set("out of memory allocating a bitmap");
    return nullptr;
  }
  const size_t bytes = size_t{m_stride} * m_bitmapHeight;
  // Not zeroed: finish() hands the bitmap over only when every row has been
  // written, so no byte of a delivered bitmap is left undefined.
  if (!kor::allocationShouldFail("lumo::Bitmap")) {
    PixelBufferProvider* const provider = pixelProvider();
    if (provider != nullptr) {
      record->pixels = provider->allocatePixels(bytes);
      if (record->pixels != nullptr) record->provider = provider;
    }
    if (record->pixels == nullptr) record->pixels = takePixelBuffer(bytes);
  }
  if (record->pixels == nullptr) {
    kor::ErrorStorage::set("out of memory allocating a bitmap of %u x %u", m_bitmapWidth,
                           m_bitmapHeight);
    return nullptr;
  }
  record->width = m_bitmapWidth;
  record->height = m_bitmapHeight;
  record->format = m_bitmapFormat;
  record->stride = m_stride;
  m_bitmap = std::move(record);
  return m_bitmap->pixels;
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

BitmapPtr Pipeline::finish() {
  if (!m_writer || m_bitmap == nullptr || m_writer->rowsWritten() != m_storedTargetHeight) {
    kor::ErrorStorage::set("image data incomplete");
    return nullptr;
  }
  return std::move(m_bitmap);
}

}  // namespace lumo::internal
