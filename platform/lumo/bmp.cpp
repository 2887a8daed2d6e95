// BMP decoding: 1, 2, 4, 8, 16, 24 and 32 bits per pixel, bottom-up and
// top-down, bit fields of any width (alpha included), RLE8, RLE4 and the
// RLE24 of OS/2 2.x files; the Windows headers (12, 40, 52, 56, 108 and 124
// bytes) and the OS/2 2.x ones (16 and 64 bytes).
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
// A bit field is any run of contiguous bits of the pixel (masks beyond the
// pixel's bits, or with gaps, are refused). A field of up to 8 bits is
// widened to 8 by repeating its bits, as 5 bits abcde become abcdeabc; a
// wider one is rounded to 8 bits. When a file's alpha field (its alpha mask,
// or the fourth byte of a 32-bit pixel) is 0 in every pixel, the image is
// taken as opaque: such files come from writers that leave the byte unused,
// and readers differ here; this needs a look at the alpha values before the
// first row (the look stops at the first that is not 0). RLE data is
// decoded by decodeRle(); pixels that it skips (delta and end-of-line codes)
// take palette entry 0 (black for RLE24).
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
constexpr uint32_t kRle24 = 4;  // in an OS/2 2.x header; BI_JPEG elsewhere
constexpr uint32_t kAlphaBitFields = 6;

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
  // Bit fields: where the lowest bit of each field lies and how wide it is.
  int shifts[4] = {};
  int widths[4] = {};
};

int lowBit(uint32_t value) {
  int bit = 0;
  for (; value != 0 && (value & 1) == 0; value >>= 1) ++bit;
  return bit;
}

int bitCount(uint32_t value) {
  int count = 0;
  for (; value != 0; value &= value - 1) ++count;
  return count;
}

// The 8-bit values of the bit fields. Fields of up to 8 bits are looked up
// in a table of their widened values.
class FieldReader {
 public:
  explicit FieldReader(const BmpHeader& h) {
    for (int c = 0; c < 4; ++c) {
      m_masks[c] = h.masks[c];
      m_shifts[c] = h.shifts[c];
      const int width = h.widths[c];
      m_max[c] = width == 0 ? 0 : static_cast<uint32_t>((uint64_t{1} << width) - 1);
      if (width == 0 || width > 8) continue;
      for (uint32_t v = 0; v <= m_max[c]; ++v) {
        uint32_t repeated = 0;
        int bits = 0;
        for (; bits < 8; bits += width) repeated = (repeated << width) | v;
        m_table[c][v] = static_cast<uint8_t>(repeated >> (bits - 8));
      }
    }
  }
  // Field |c| of |pixel|; 255 for a missing alpha field.
  uint8_t get(int c, uint32_t pixel) const {
    if (m_max[c] == 0) return 255;
    const uint32_t v = (pixel & m_masks[c]) >> m_shifts[c];
    if (m_max[c] <= 0xff) return m_table[c][v];
    return static_cast<uint8_t>((uint64_t{v} * 255 + m_max[c] / 2) / m_max[c]);
  }

 private:
  uint32_t m_masks[4] = {};
  int m_shifts[4] = {};
  uint32_t m_max[4] = {};
  uint8_t m_table[4][256] = {};
};

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
  if (hsz != 12 && hsz != 16 && hsz != 40 && hsz != 52 && hsz != 56 && hsz != 64 && hsz != 108 &&
      hsz != 124) {
    kor::ErrorStorage::set("unsupported BMP header (%u bytes)", hsz);
    return false;
  }
  // The OS/2 2.x headers: 16 bytes, or 64 whose first 40 are laid out as
  // the Windows header's, with compressions of their own.
  const bool os2 = hsz == 16 || hsz == 64;
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
    if (hsz >= 40) h->compression = le32(bytes + 30);
  }
  if (planes != 1) return invalid("bad plane count");
  const uint32_t bpp = h->bpp;
  if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
    return invalid("bad bit depth");
  if (os2 && h->compression == kBitFields) {
    kor::ErrorStorage::set("unsupported BMP compression (OS/2 Huffman)");
    return false;
  }
  const bool rle24 = os2 && h->compression == kRle24;
  if (rle24) {
    if (bpp != 24) return invalid("bad RLE bit depth");
    if (h->topDown) return invalid("top-down RLE image");
  } else {
    switch (h->compression) {
      case kRgb:
        break;
      case kRle8:
      case kRle4:
        if (bpp != (h->compression == kRle8 ? 8u : 4u)) return invalid("bad RLE bit depth");
        if (h->topDown) return invalid("top-down RLE image");
        break;
      case kBitFields:
      case kAlphaBitFields:
        if (bpp != 16 && bpp != 32) return invalid("bit fields need 16 or 32 bits per pixel");
        break;
      default:
        kor::ErrorStorage::set("unsupported BMP compression %u", h->compression);
        return false;
    }
  }

  uint32_t headerEnd = 14 + hsz;
  const bool fields = h->compression == kBitFields || h->compression == kAlphaBitFields;
  if (fields) {
    const bool alpha = h->compression == kAlphaBitFields;
    // After a 40-byte header the masks follow it; later headers hold them.
    if (hsz == 40) {
      const uint32_t masks = alpha ? 16 : 12;
      if (n < 14 + 40 + masks) {
        kor::ErrorStorage::set("truncated BMP data");
        return false;
      }
      headerEnd += masks;
    }
    for (int i = 0; i < 3; ++i) h->masks[i] = le32(bytes + 54 + 4 * i);
    if (hsz >= 56 || alpha) h->masks[3] = le32(bytes + 66);
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
    const uint32_t mask = h->masks[i];
    h->shifts[i] = lowBit(mask);
    h->widths[i] = bitCount(mask);
    // Contiguous, and within the pixel's bits.
    const uint32_t field = mask >> h->shifts[i];
    if ((field & (field + 1)) != 0 || (bpp == 16 && mask > 0xffff)) return invalid("bad bit masks");
  }
  if (rle24) h->compression = kRle24;

  if (bpp <= 8) {
    h->paletteOffset = headerEnd;
    h->paletteEntrySize = hsz == 12 ? 3 : 4;
    uint32_t count = 1u << bpp;
    if (hsz >= 40) {
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
  if (h.compression == kRle8 || h.compression == kRle4 || h.compression == kRle24) return true;
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

// True when the alpha field of every pixel is 0 (the image then reads as
// opaque). Reads until the first pixel whose alpha is not.
bool alphaAllZero(Source& source, const BmpHeader& h, uint8_t* row, size_t rowBytes) {
  source.seek(h.dataOffset);
  const bool wide = h.bpp == 32;
  for (uint32_t y = 0; y < h.height; ++y) {
    // A short file: the decode that follows says so.
    if (source.read(row, rowBytes) != rowBytes) return true;
    for (uint32_t x = 0; x < h.width; ++x) {
      const uint32_t v = wide ? le32(row + size_t{x} * 4) : le16(row + size_t{x} * 2);
      if ((v & h.masks[3]) != 0) return false;
    }
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
  const FieldReader fields(h);
  const bool opaque = h.bpp >= 16 && h.masks[3] != 0 && alphaAllZero(source, h, row, rowBytes);
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
        for (int c = 0; c < 3; ++c) out[c] = fields.get(c, v);
        out[3] = opaque ? 255 : fields.get(3, v);
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
  const bool four = h.compression == kRle4;
  const bool rgb = h.compression == kRle24;
  const uint64_t perPixel = rgb ? kRle24BytesPerPixel : kRleBytesPerPixel;
  const uint64_t budget =
      perPixel * uint64_t{width} * height + 4 * uint64_t{height} + kRleSlackBytes;
  uint64_t read = 0;
  auto next = [&] {
    ++read;
    return source.getByte();
  };

  uint32_t x = 0;
  uint32_t y = 0;  // rows delivered, counted from the bottom
  auto put = [&](uint32_t index) {
    if (x < width) std::memcpy(row + size_t{x++} * 4, colours[index], 4);
  };
  // RLE24: a colour stored B, G, R, whose first byte |blue| has been read.
  uint8_t colour[4] = {0, 0, 0, 255};
  auto readColour = [&](int blue) {
    const int green = next();
    const int red = next();
    colour[0] = static_cast<uint8_t>(red);
    colour[1] = static_cast<uint8_t>(green);
    colour[2] = static_cast<uint8_t>(blue);
    return green >= 0 && red >= 0;
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
    if (first > 0 && rgb) {  // a run of |first| pixels of one colour
      if (!readColour(second)) {
        kor::ErrorStorage::set("truncated BMP data");
        return false;
      }
      for (int i = 0; i < first && x < width; ++i) std::memcpy(row + size_t{x++} * 4, colour, 4);
      continue;
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
        const int bytes = four ? (count + 1) / 2 : rgb ? count * 3 : count;
        int value = 0;
        for (int i = 0; rgb && i < count; ++i) {
          if (!readColour(next())) {
            kor::ErrorStorage::set("truncated BMP data");
            return false;
          }
          if (x < width) std::memcpy(row + size_t{x++} * 4, colour, 4);
        }
        for (int i = 0; !rgb && i < count; ++i) {
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
    header.sourceType = BitmapInfo::kSourceBmp;
    header.hasAlpha = h->bpp >= 16 && h->masks[3] != 0;
    // The size limit first (a huge header reads "image too large"), then
    // the data length, both before start() allocates the bitmap.
    if (!pipeline.infoOnly()) ok = checkDimensions(h->width, h->height) && hasAllRows(*h, fileSize);
    ok = ok && pipeline.start(header) && pipeline.setRowSize(h->width, h->height) &&
         readPalette(source, h);
  }
  if (ok) {
    if (h->compression == kRle8 || h->compression == kRle4 || h->compression == kRle24)
      ok = decodeRle(source, *h, pipeline);
    else
      ok = decodeUncompressed(source, *h, pipeline);
  }
  delete h;
  return ok;
}

}  // namespace lumo::internal
