// BMP decoding: 1, 4, 8, 16, 24 and 32 bits per pixel, bottom-up and
// top-down, bit fields, and RLE8/RLE4.
//
// The header is parsed here, which gives the image information without
// touching pixel data and lets every check run before the decoder allocates.
// The pixels are then decoded a row at a time and streamed through the
// pipeline, in the order the file stores them: a bottom-up file delivers its
// bottom row first, which the header describes as orientation 4 (turned
// upside down), so no image-sized buffer is ever made. Uncompressed data has
// a known size, and a file shorter than its header promises is refused up
// front as truncated.
//
// Bit fields are widened to 8 bits by repeating their top bits; a field of
// more than 8 bits is refused. In a 32-bit image without bit fields whose
// alpha bytes are all 0 the alpha is taken as opaque, which needs a look at
// the alpha bytes before the first row (the look stops at the first that is
// not 0). RLE8 and RLE4 are decoded by decodeRle(); pixels that the RLE data
// skips (delta and end-of-line codes) take palette entry 0.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/kor.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

constexpr uint32_t kRgb = 0;
constexpr uint32_t kRle8 = 1;
constexpr uint32_t kRle4 = 2;
constexpr uint32_t kBitFields = 3;

inline uint32_t le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
struct BmpHeader {
  uint32_t dataOffset = 0;
  uint32_t headerSize = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool topDown = false;
  uint32_t bpp = 0;
  uint32_t compression = kRgb;
  uint32_t masks[4] = {};  // red, green, blue, alpha
  uint32_t paletteOffset = 0;
  uint32_t paletteEntrySize = 4;
  uint32_t paletteCount = 0;
  uint8_t palette[256][4] = {};  // B, G, R, 0; padded with black
  // Bit fields: where the top bit of each field lies and how wide it is.
  int shifts[4] = {};
  int widths[4] = {};
};

int highBit(uint32_t value) {
  int bit = -1;
  while (value != 0) {
    ++bit;
    value >>= 1;
  }
  return bit;
}

int bitCount(uint32_t value) {
  int count = 0;
  for (; value != 0; value &= value - 1) ++count;
  return count;
}

// Field |mask| of |value| widened to 8 bits by repeating its top bits: the
// field is moved so that its top bit is bit 7, cut to its width and
// multiplied by the pattern that repeats it.
inline uint32_t extract(uint32_t value, uint32_t mask, int shift, int width) {
  static const uint32_t kRepeat[9] = {0, 0xff, 0x55, 0x49, 0x11, 0x21, 0x41, 0x81, 0x01};
  static const int kRepeatShift[9] = {0, 0, 0, 1, 0, 2, 4, 6, 0};
  uint32_t v = value & mask;
  v = shift < 0 ? v << -shift : v >> shift;
  v = (v & 0xff) >> (8 - width);
  return (v * kRepeat[width]) >> kRepeatShift[width];
}

bool invalid(const char* what) {
  kor::ErrorStorage::set("invalid BMP data: %s", what);
  return false;
}

bool parseHeader(Source& source, uint64_t fileSize, BmpHeader* h) {
  uint8_t bytes[14 + 124 + 12] = {};
  size_t n = source.read(bytes, sizeof(bytes));
  if (n < 18) {
    kor::ErrorStorage::set("truncated BMP data");
    return false;
  }
  h->dataOffset = le32(bytes + 10);
  h->headerSize = le32(bytes + 14);
  const uint32_t hsz = h->headerSize;
  if (hsz != 12 && hsz != 40 && hsz != 52 && hsz != 56 && hsz != 108 && hsz != 124) {
    kor::ErrorStorage::set("unsupported BMP header (%u bytes)", hsz);
    return false;
  }
  const uint32_t masksAfterHeader = 12;  // bit fields follow a 40-byte header
  if (n < 14 + hsz) {
    kor::ErrorStorage::set("truncated BMP data");
    return false;
  }
  uint32_t planes;
  if (hsz == 12) {
    h->width = le16(bytes + 18);
    h->height = le16(bytes + 20);
    planes = le16(bytes + 22);
    h->bpp = le16(bytes + 24);
  } else {
    const auto width = static_cast<int32_t>(le32(bytes + 18));
    const auto height = static_cast<int32_t>(le32(bytes + 22));
    if (width <= 0 || height == 0 || height == INT32_MIN) return invalid("bad dimensions");
    h->width = static_cast<uint32_t>(width);
    h->topDown = height < 0;
    h->height = static_cast<uint32_t>(height < 0 ? -height : height);
    planes = le16(bytes + 26);
    h->bpp = le16(bytes + 28);
    h->compression = le32(bytes + 30);
  }
  if (planes != 1) return invalid("bad plane count");
  const uint32_t bpp = h->bpp;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
    return invalid("bad bit depth");
  switch (h->compression) {
    case kRgb:
      break;
    case kRle8:
    case kRle4:
      if (bpp != (h->compression == kRle8 ? 8u : 4u)) return invalid("bad RLE bit depth");
      if (h->topDown) return invalid("top-down RLE image");
      break;
    case kBitFields:
      if (bpp != 16 && bpp != 32) return invalid("bit fields need 16 or 32 bits per pixel");
      break;
    default:
      kor::ErrorStorage::set("unsupported BMP compression %u", h->compression);
      return false;
  }

  uint32_t headerEnd = 14 + hsz;
  if (h->compression == kBitFields) {
    if (hsz == 40) {
      if (n < 14 + 40 + masksAfterHeader) {
        kor::ErrorStorage::set("truncated BMP data");
        return false;
      }
      headerEnd += masksAfterHeader;
    }
    for (int i = 0; i < 3; ++i) h->masks[i] = le32(bytes + 54 + 4 * i);
    if (hsz >= 56) h->masks[3] = le32(bytes + 66);
    if (h->masks[0] == 0 || h->masks[1] == 0 || h->masks[2] == 0) return invalid("bad bit masks");
    // Files with the three masks equal exist but cannot mean anything.
    if (hsz <= 56 && h->masks[0] == h->masks[1] && h->masks[1] == h->masks[2])
      return invalid("bad bit masks");
  } else if (bpp == 16) {
    h->masks[0] = 0x7c00;
    h->masks[1] = 0x03e0;
    h->masks[2] = 0x001f;
  } else if (bpp == 32) {
    h->masks[0] = 0x00ff0000;
    h->masks[1] = 0x0000ff00;
    h->masks[2] = 0x000000ff;
    h->masks[3] = 0xff000000;
  }
  if (h->dataOffset < headerEnd || h->dataOffset > fileSize) return invalid("bad data offset");
  for (int i = 0; i < 4; ++i) {
    h->shifts[i] = highBit(h->masks[i]) - 7;
    h->widths[i] = bitCount(h->masks[i]);
    if (h->widths[i] > 8) return invalid("bad bit masks");
  }

  if (bpp <= 8) {
    h->paletteOffset = headerEnd;
    h->paletteEntrySize = hsz == 12 ? 3 : 4;
    uint32_t count = 1u << bpp;
    if (hsz != 12) {
      uint32_t used = le32(bytes + 46);
      if (used != 0 && used < count) count = used;
    }
    uint32_t room = (h->dataOffset - headerEnd) / h->paletteEntrySize;
    h->paletteCount = count < room ? count : room;
  }
  return true;
}

bool readPalette(Source& source, BmpHeader* h) {
  if (h->paletteCount == 0) return true;
  uint8_t bytes[256 * 4];
  const size_t size = size_t{h->paletteCount} * h->paletteEntrySize;
  source.seek(h->paletteOffset);
  if (source.read(bytes, size) != size) {
    kor::ErrorStorage::set("truncated BMP data");
    return false;
  }
  for (uint32_t i = 0; i < h->paletteCount; ++i) {
    const uint8_t* entry = bytes + i * h->paletteEntrySize;
    h->palette[i][0] = entry[0];
    h->palette[i][1] = entry[1];
    h->palette[i][2] = entry[2];
  }
  return true;
}

// Uncompressed data has a known size; a shorter file is refused before
// anything is allocated for it.
bool hasAllRows(const BmpHeader& h, uint64_t fileSize) {
  if (h.compression == kRle8 || h.compression == kRle4) return true;
  const uint64_t rowBytes = (uint64_t{h.width} * h.bpp + 31) / 32 * 4;
  if (h.dataOffset + rowBytes * h.height <= fileSize) return true;
  kor::ErrorStorage::set("truncated BMP data");
  return false;
}

// The palette as RGBA, padded with opaque black.
void paletteColours(const BmpHeader& h, uint8_t (*colours)[4]) {
  for (int i = 0; i < 256; ++i) {
    colours[i][0] = h.palette[i][2];
    colours[i][1] = h.palette[i][1];
    colours[i][2] = h.palette[i][0];
    colours[i][3] = 255;
  }
}

// True when the alpha bytes of a 32-bit image without bit fields are all 0
// (it then reads as opaque). Reads until the first byte that is not.
bool alphaAllZero(Source& source, const BmpHeader& h) {
  source.seek(h.dataOffset);
  uint64_t left = uint64_t{h.width} * h.height * 4;
  uint64_t position = 0;  // within the pixel data
  while (left > 0) {
    const uint8_t* data = nullptr;
    const size_t count = source.next(&data);
    if (count == 0) break;
    const size_t usable = static_cast<size_t>(std::min<uint64_t>(count, left));
    // The alpha byte of a pixel is its fourth.
    for (size_t i = (3 - position % 4) % 4; i < usable; i += 4)
      if (data[i] != 0) return false;
    position += usable;
    left -= usable;
  }
  return true;
}

bool decodeUncompressed(Source& source, const BmpHeader& h, Pipeline& pipeline) {
  const uint32_t width = h.width;
  const size_t rowBytes = (size_t{width} * h.bpp + 31) / 32 * 4;
  uint8_t* row = scratch(Scratch::kDecoderRow, rowBytes);
  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{width} * 4);
  if (row == nullptr || rgba == nullptr) return false;
  uint8_t colours[256][4];
  paletteColours(h, colours);
  const bool opaque = h.bpp == 32 && h.compression == kRgb && alphaAllZero(source, h);
  source.seek(h.dataOffset);
  RowSink& sink = pipeline.sink();
  for (uint32_t y = 0; y < h.height; ++y) {
    if (source.read(row, rowBytes) != rowBytes) {
      kor::ErrorStorage::set(source.failed() ? "error reading BMP data" : "truncated BMP data");
      return false;
    }
    uint8_t* out = rgba;
    if (h.bpp <= 8) {
      const uint32_t perByte = 8 / h.bpp;
      const uint32_t mask = (1u << h.bpp) - 1;
      for (uint32_t x = 0; x < width; ++x, out += 4) {
        const uint32_t shift = 8 - h.bpp * (x % perByte + 1);
        std::memcpy(out, colours[(row[x / perByte] >> shift) & mask], 4);
      }
    } else if (h.bpp == 24) {
      for (uint32_t x = 0; x < width; ++x, out += 4) {
        const uint8_t* p = row + size_t{x} * 3;
        out[0] = p[2];
        out[1] = p[1];
        out[2] = p[0];
        out[3] = 255;
      }
    } else {
      const bool wide = h.bpp == 32;
      for (uint32_t x = 0; x < width; ++x, out += 4) {
        const uint32_t v = wide ? le32(row + size_t{x} * 4) : le16(row + size_t{x} * 2);
        for (int c = 0; c < 3; ++c)
          out[c] = static_cast<uint8_t>(extract(v, h.masks[c], h.shifts[c], h.widths[c]));
        out[3] = h.masks[3] == 0 || opaque
                     ? 255
                     : static_cast<uint8_t>(extract(v, h.masks[3], h.shifts[3], h.widths[3]));
      }
    }
    if (!sink.putRow(rgba) || pipeline.rowCancelled()) return false;
  }
  return true;
}

// Decodes RLE8 or RLE4 data row by row, bottom row first. Runs past the
// right edge are clipped; data ending before the image is complete is
// refused as truncated, and data longer than the image needs
// (kRleSlackBytes) as invalid.
bool decodeRle(Source& source, const BmpHeader& h, Pipeline& pipeline) {
  const uint32_t width = h.width;
  const uint32_t height = h.height;
  uint8_t* row = scratch(Scratch::kRgbaRow, size_t{width} * 4);
  if (row == nullptr) return false;
  uint8_t colours[256][4];
  paletteColours(h, colours);
  RowSink& sink = pipeline.sink();
  auto clearRow = [&] {
    for (uint32_t x = 0; x < width; ++x) std::memcpy(row + size_t{x} * 4, colours[0], 4);
  };
  clearRow();
  source.seek(h.dataOffset);
  const uint64_t budget = 2 * uint64_t{width} * height + 4 * uint64_t{height} + kRleSlackBytes;
  uint64_t read = 0;
  auto next = [&] {
    ++read;
    return source.getByte();
  };

  const bool four = h.compression == kRle4;
  uint32_t x = 0;
  uint32_t y = 0;  // rows delivered, counted from the bottom
  auto put = [&](uint32_t index) {
    if (x < width) std::memcpy(row + size_t{x++} * 4, colours[index], 4);
  };
  // Delivers the current row and starts the next.
  auto endRow = [&] {
    if (!sink.putRow(row) || pipeline.rowCancelled()) return false;
    clearRow();
    ++y;
    return true;
  };
  bool done = false;
  while (!done && y < height) {
    if (read > budget) {
      kor::ErrorStorage::set("invalid BMP data: RLE data longer than the image");
      return false;
    }
    const int first = next();
    const int second = next();
    if (first < 0 || second < 0) {
      kor::ErrorStorage::set("truncated BMP data");
      return false;
    }
    if (first > 0) {  // a run of |first| pixels
      for (int i = 0; i < first && x < width; ++i)
        put(four ? ((i & 1) ? second & 0x0f : second >> 4) : second);
      continue;
    }
    switch (second) {
      case 0:  // end of line
        if (!endRow()) return false;
        x = 0;
        break;
      case 1:  // end of bitmap
        done = true;
        break;
      case 2: {  // delta
        const int dx = next();
        const int dy = next();
        if (dx < 0 || dy < 0) {
          kor::ErrorStorage::set("truncated BMP data");
          return false;
        }
        x = std::min<uint32_t>(x + static_cast<uint32_t>(dx), width);
        for (int i = 0; i < dy && y < height; ++i)
          if (!endRow()) return false;
        break;
      }
      default: {  // |second| literal pixels, padded to an even byte count
        const int count = second;
        const int bytes = four ? (count + 1) / 2 : count;
        int value = 0;
        for (int i = 0; i < count; ++i) {
          if (!four || (i & 1) == 0) {
            value = next();
            if (value < 0) {
              kor::ErrorStorage::set("truncated BMP data");
              return false;
            }
          }
          put(four ? ((i & 1) ? value & 0x0f : value >> 4) : value);
        }
        if ((bytes & 1) != 0 && next() < 0) {
          kor::ErrorStorage::set("truncated BMP data");
          return false;
        }
        break;
      }
    }
  }
  // The rows the data did not reach take palette entry 0.
  while (y < height)
    if (!endRow()) return false;
  return true;
}

}  // namespace

bool decodeBmp(Source& source, Pipeline& pipeline) {
  const uint64_t fileSize = source.size();
  auto* h = new (std::nothrow) BmpHeader;
  if (h == nullptr) {
    kor::ErrorStorage::set("out of memory starting a BMP decoder");
    return false;
  }
  bool ok = parseHeader(source, fileSize, h);
  if (ok) {
    Header header;
    header.width = h->width;
    header.height = h->height;
    // Rows are delivered in file order: bottom-up files upside down.
    header.orientation = h->topDown ? 1 : 4;
    header.sourceType = BitmapInfo::SOURCE_BMP;
    header.hasAlpha = h->bpp == 32 && h->masks[3] != 0;
    // The size limit first (a huge header reads "image too large"), then
    // the data length, both before start() allocates the bitmap.
    if (!pipeline.infoOnly()) ok = checkDimensions(h->width, h->height) && hasAllRows(*h, fileSize);
    ok = ok && pipeline.start(header) && pipeline.setRowSize(h->width, h->height) &&
         readPalette(source, h);
  }
  if (ok) {
    if (h->compression == kRle8 || h->compression == kRle4)
      ok = decodeRle(source, *h, pipeline);
    else
      ok = decodeUncompressed(source, *h, pipeline);
  }
  delete h;
  return ok;
}

}  // namespace lumo::internal
