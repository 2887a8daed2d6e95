// The pipeline's last stage: rows converted to the bitmap's format and
// placed in the bitmap as the image is meant to be seen.
#include <cstring>

#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {

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

kor::Status Writer::putRow(const uint8_t* rgba) {
  if (m_y >= m_height)
    return kor::Status::error(kor::Status::kFailed,
                              "decoder delivered more rows than the image has");
  kor::Status status;
  uint8_t* pixels = m_pipeline.pixels(&status);
  rgba = m_pipeline.colourRow(rgba, m_width, &status);
  if (pixels == nullptr || rgba == nullptr) return status;
  const uint32_t bpp = BitmapInfo::getBpp(m_format);
  const uint32_t y = m_y++;
  const int o = m_orientation;
  if (o == 1 || o == 4) {
    uint32_t dy = o == 1 ? y : m_height - 1 - y;
    convertRow(rgba, m_width, m_format, pixels + size_t{dy} * m_stride);
    return status;
  }
  uint8_t* line = scratch(Scratch::kConverted, size_t{m_width} * bpp, &status);
  if (line == nullptr) return status;
  convertRow(rgba, m_width, m_format, line);
  if (o == 2 || o == 3) {
    uint32_t dy = o == 2 ? y : m_height - 1 - y;
    uint8_t* row = pixels + size_t{dy} * m_stride;
    for (uint32_t x = 0; x < m_width; ++x)
      std::memcpy(row + size_t{m_width - 1 - x} * bpp, line + size_t{x} * bpp, bpp);
    return status;
  }
  // 5..8: the stored row becomes a column of the bitmap.
  const uint32_t dx = (o == 5 || o == 8) ? y : m_height - 1 - y;
  const bool down = o == 5 || o == 6;
  uint8_t* column = pixels + size_t{dx} * bpp;
  for (uint32_t x = 0; x < m_width; ++x) {
    uint32_t dy = down ? x : m_width - 1 - x;
    std::memcpy(column + size_t{dy} * m_stride, line + size_t{x} * bpp, bpp);
  }
  return status;
}

// Transparent black is all zero bytes in every format.
kor::Status Writer::putClearRow() {
  const int o = m_orientation;
  kor::Status status;
  if ((o == 1 || o == 4) && m_y < m_height) {
    uint8_t* pixels = m_pipeline.pixels(&status);
    if (pixels == nullptr) return status;
    const uint32_t y = m_y++;
    const uint32_t dy = o == 1 ? y : m_height - 1 - y;
    std::memset(pixels + size_t{dy} * m_stride, 0, m_stride);
    return status;
  }
  uint8_t* zeros = scratch(Scratch::kClearRow, size_t{m_width} * 4, &status);
  if (zeros == nullptr) return status;
  std::memset(zeros, 0, size_t{m_width} * 4);
  return putRow(zeros);
}

kor::Status Writer::placePixels(uint32_t y, const uint8_t* rgba, uint32_t xStart, uint32_t xStep) {
  kor::Status status;
  uint8_t* pixels = m_pipeline.pixels(&status);
  rgba = m_pipeline.colourScattered(rgba, m_width, xStart, xStep, &status);
  if (pixels == nullptr || rgba == nullptr) return status;
  const uint32_t bpp = BitmapInfo::getBpp(m_format);
  uint8_t* row = pixels + size_t{y} * m_stride;
  if (xStep == 1) {
    convertRow(rgba + size_t{xStart} * 4, m_width - xStart, m_format, row + size_t{xStart} * bpp);
    return status;
  }
  for (uint32_t x = xStart; x < m_width; x += xStep)
    convertRow(rgba + size_t{x} * 4, 1, m_format, row + size_t{x} * bpp);
  return status;
}

kor::Status Writer::clearRow(uint32_t y) {
  kor::Status status;
  uint8_t* pixels = m_pipeline.pixels(&status);
  if (pixels != nullptr) std::memset(pixels + size_t{y} * m_stride, 0, m_stride);
  return status;
}

}  // namespace lumo::internal
