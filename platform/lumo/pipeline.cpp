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
kor::Status orientInPlace(uint8_t* pixels, uint32_t width, uint32_t height, int orientation) {
  const size_t count = size_t{width} * height;
  kor::Status status;
  if (orientation >= 5) {
    auto* moved =
        reinterpret_cast<uint64_t*>(scratch(Scratch::kImage, (count + 63) / 64 * 8, &status));
    if (moved == nullptr) return status;
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
  return status;
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

kor::Status Pipeline::start(const Header& header) {
  m_header = header;
  if (m_header.orientation < 1 || m_header.orientation > 8) m_header.orientation = 1;
  // The information of an image larger than the decode limit is still
  // read: only a size that is no size at all is refused there.
  if (m_infoOnly) {
    if (header.width == 0 || header.height == 0)
      return kor::Status::error(kor::Status::kCorrupt, "invalid image dimensions: %u x %u",
                                header.width, header.height);
    m_headerSeen = true;
    return kor::Status::error(kor::Status::kCancelled, "header read");
  }
  if (kor::Status status = checkDimensions(header.width, header.height); !status.ok())
    return status;
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
  if (bytes > UINT32_MAX)
    return kor::Status::error(kor::Status::kLimit, "image too large: %u x %u", targetWidth,
                              targetHeight);
  m_bitmapFormat = format;
  m_bitmapWidth = targetWidth;
  m_bitmapHeight = targetHeight;
  m_stride = static_cast<uint32_t>(stride);
  m_writer.emplace(*this, format, m_stride, m_storedTargetWidth, m_storedTargetHeight,
                   m_header.orientation);
  return kor::Status();
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

uint8_t* Pipeline::pixels(kor::Status* status) {
  if (m_bitmap != nullptr) return m_bitmap->pixels;
  BitmapRecordPtr record(kor::tryNew<BitmapRecord>("lumo::Bitmap"));
  if (record == nullptr) {
    *status = outOfMemory("allocating a bitmap");
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
    *status =
        kor::Status::error(kor::Status::kNoMemory, "out of memory allocating a bitmap of %u x %u",
                           m_bitmapWidth, m_bitmapHeight);
    return nullptr;
  }
  record->width = m_bitmapWidth;
  record->height = m_bitmapHeight;
  record->format = m_bitmapFormat;
  record->stride = m_stride;
  m_bitmap = std::move(record);
  return m_bitmap->pixels;
}

kor::Status Pipeline::setRowSize(uint32_t width, uint32_t height) {
  if (width < m_storedTargetWidth || height < m_storedTargetHeight || width > m_header.width ||
      height > m_header.height)
    return kor::Status::error(kor::Status::kFailed,
                              "internal error: decoder row size %u x %u does not fit", width,
                              height);
  if (width == m_storedTargetWidth && height == m_storedTargetHeight) return kor::Status();
  m_averager.emplace(width, height, m_storedTargetWidth, m_storedTargetHeight, *m_writer);
  return m_averager->init();
}

bool Pipeline::acceptsDirectRows(BitmapInfo::Format native, uint32_t width, uint32_t height) const {
  return m_writer && m_bitmapFormat == native && m_header.orientation == 1 &&
         width == m_storedTargetWidth && height == m_storedTargetHeight;
}

uint8_t* Pipeline::directRow(kor::Status* status) {
  if (m_bitmap == nullptr) return scratch(Scratch::kConverted, m_stride, status);
  return m_bitmap->pixels + size_t{m_writer->rowsWritten()} * m_stride;
}

kor::Status Pipeline::directRowDone() {
  kor::Status status;
  // The row directRow() gave out: it holds its buffer already.
  colourInPlace(directRow(&status), m_storedTargetWidth);
  if (m_bitmap == nullptr) {
    // The first row has arrived, in the scratch row of directRow().
    const uint8_t* first = scratch(Scratch::kConverted, m_stride, &status);
    uint8_t* bitmap = pixels(&status);
    if (first == nullptr || bitmap == nullptr) return status;
    std::memcpy(bitmap, first, m_stride);
  }
  m_writer->countDirectRow();
  return status;
}

kor::Status Pipeline::wholeImageDone() {
  kor::Status status;
  uint8_t* image = pixels(&status);
  if (image == nullptr) return status;
  const uint32_t width = m_storedTargetWidth;
  const uint32_t height = m_storedTargetHeight;
  colourInPlace(image, size_t{width} * height);
  const int o = m_header.orientation;
  switch (BitmapInfo::getBpp(m_bitmapFormat)) {
    case 1:
      status = orientInPlace<1>(image, width, height, o);
      break;
    case 2:
      status = orientInPlace<2>(image, width, height, o);
      break;
    case 3:
      status = orientInPlace<3>(image, width, height, o);
      break;
    default:
      status = orientInPlace<4>(image, width, height, o);
      break;
  }
  if (status.ok()) m_writer->markAllRows();
  return status;
}

RowSink& Pipeline::sink() {
  if (m_averager) return *m_averager;
  return *m_writer;
}

uint64_t Pipeline::scatteredBytes() const {
  if (m_storedTargetWidth == m_header.width && m_storedTargetHeight == m_header.height) return 0;
  return uint64_t{m_storedTargetWidth} * m_storedTargetHeight * kAccumulatorBytesPerPixel;
}

kor::Status Pipeline::startScattered() {
  if (m_header.orientation != 1)
    return kor::Status::error(kor::Status::kFailed,
                              "internal error: scattered rows need orientation 1");
  if (scatteredBytes() != 0)
    m_accumulator.emplace(m_header.width, m_header.height, m_storedTargetWidth,
                          m_storedTargetHeight, *m_writer);
  return kor::Status();
}

kor::Status Pipeline::startAccumulating() {
  if (m_accumulating) return kor::Status();
  kor::Status status = m_accumulator->init();
  m_accumulating = status.ok();
  return status;
}

kor::Status Pipeline::putScattered(uint32_t y, const uint8_t* rgba, uint32_t xStart,
                                   uint32_t xStep) {
  if (y >= m_header.height || xStart >= m_header.width) return kor::Status();
  if (!m_accumulator) return m_writer->placePixels(y, rgba, xStart, xStep);
  if (kor::Status status = startAccumulating(); !status.ok()) return status;
  m_accumulator->add(y, rgba, xStart, xStep);
  return kor::Status();
}

kor::Status Pipeline::putScatteredClear(uint32_t y) {
  // The accumulator's sums start at zero: a transparent row adds nothing.
  if (m_accumulator || y >= m_header.height) return kor::Status();
  return m_writer->clearRow(y);
}

kor::Status Pipeline::finishScattered() {
  if (!m_accumulator) {
    m_writer->markAllRows();
    return kor::Status();
  }
  // Every row transparent: the sums are all zero.
  kor::Status status = startAccumulating();
  if (status.ok()) status = checkCancelled();
  return status.ok() ? m_accumulator->finish() : status;
}

BitmapPtr Pipeline::finish(kor::Status* status) {
  if (!m_writer || m_bitmap == nullptr || m_writer->rowsWritten() != m_storedTargetHeight) {
    *status = kor::Status::error(kor::Status::kCorrupt, "image data incomplete");
    return nullptr;
  }
  return std::move(m_bitmap);
}

}  // namespace lumo::internal
