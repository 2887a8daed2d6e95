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

using kor::Status;

Status invalid(const char* what) {
  return Status::error(Status::kCorrupt, "invalid BMP data: %s", what);
}

Status truncated() { return Status::error(Status::kCorrupt, "truncated BMP data"); }

// The file header's data offset and the info header's size, which must be
// a known version and wholly among the |n| bytes read.
Status readVersion(const uint8_t* bytes, size_t n, BmpHeader* h) {
  if (n < 18) return truncated();
  h->dataOffset = le32(bytes + 10);
  h->headerSize = le32(bytes + 14);
  const uint32_t hsz = h->headerSize;
  if (hsz != 12 && hsz != 16 && hsz != 40 && hsz != 52 && hsz != 56 && hsz != 64 && hsz != 108 &&
      hsz != 124)
    return Status::error(Status::kUnsupported, "unsupported BMP header (%u bytes)", hsz);
  if (n < 14 + hsz) return truncated();
  return Status();
}

// The size, plane count, bit depth and compression: 16-bit fields in the
// 12-byte header, 32-bit ones in the others, where a negative height marks
// a top-down image.
Status readDimensions(const uint8_t* bytes, BmpHeader* h) {
  uint32_t planes;
  if (h->headerSize == 12) {
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
    if (h->headerSize >= 40) h->compression = le32(bytes + 30);
  }
  if (planes != 1) return invalid("bad plane count");
  const uint32_t bpp = h->bpp;
  if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
    return invalid("bad bit depth");
  return Status();
}

// Whether the compression is one decoded here, at a bit depth it allows.
Status checkCompression(const BmpHeader& h) {
  // The OS/2 2.x headers: 16 bytes, or 64 whose first 40 are laid out as
  // the Windows header's, with compressions of their own.
  const bool os2 = h.headerSize == 16 || h.headerSize == 64;
  if (os2 && h.compression == kBitFields)
    return Status::error(Status::kUnsupported, "unsupported BMP compression (OS/2 Huffman)");
  if (os2 && h.compression == kRle24) {
    if (h.bpp != 24) return invalid("bad RLE bit depth");
    if (h.topDown) return invalid("top-down RLE image");
    return Status();
  }
  switch (h.compression) {
    case kRgb:
      return Status();
    case kRle8:
    case kRle4:
      if (h.bpp != (h.compression == kRle8 ? 8u : 4u)) return invalid("bad RLE bit depth");
      if (h.topDown) return invalid("top-down RLE image");
      return Status();
    case kBitFields:
    case kAlphaBitFields:
      if (h.bpp != 16 && h.bpp != 32) return invalid("bit fields need 16 or 32 bits per pixel");
      return Status();
    default:
      return Status::error(Status::kUnsupported, "unsupported BMP compression %u", h.compression);
  }
}

// The bit masks of a bit-field image: after a 40-byte header, which they
// extend (|headerEnd| moves past them), or inside the later headers.
Status readMasks(const uint8_t* bytes, size_t n, BmpHeader* h, uint32_t* headerEnd) {
  const uint32_t hsz = h->headerSize;
  const bool alpha = h->compression == kAlphaBitFields;
  if (hsz == 40) {
    const uint32_t masks = alpha ? 16 : 12;
    if (n < 14 + 40 + masks) return truncated();
    *headerEnd += masks;
  }
  for (int i = 0; i < 3; ++i) h->masks[i] = le32(bytes + 54 + 4 * i);
  if (hsz >= 56 || alpha) h->masks[3] = le32(bytes + 66);
  if (h->masks[0] == 0 || h->masks[1] == 0 || h->masks[2] == 0) return invalid("bad bit masks");
  // Files with the three masks equal exist but cannot mean anything.
  if (hsz <= 56 && h->masks[0] == h->masks[1] && h->masks[1] == h->masks[2])
    return invalid("bad bit masks");
  return Status();
}

// The masks that 16 and 32-bit pixels have without bit fields.
void defaultMasks(BmpHeader* h) {
  if (h->bpp == 16) {
    h->masks[0] = 0x7c00;
    h->masks[1] = 0x03e0;
    h->masks[2] = 0x001f;
  } else if (h->bpp == 32) {
    h->masks[0] = 0x00ff0000;
    h->masks[1] = 0x0000ff00;
    h->masks[2] = 0x000000ff;
    h->masks[3] = 0xff000000;
  }
}

// Where each field lies and how wide it is; every mask must be one run of
// contiguous bits, within the pixel's bits.
Status layOutFields(BmpHeader* h) {
  for (int i = 0; i < 4; ++i) {
    const uint32_t mask = h->masks[i];
    h->shifts[i] = lowBit(mask);
    h->widths[i] = bitCount(mask);
    const uint32_t field = mask >> h->shifts[i];
    if ((field & (field + 1)) != 0 || (h->bpp == 16 && mask > 0xffff))
      return invalid("bad bit masks");
  }
  return Status();
}

// Where the palette lies and how many entries of it are read: as many as
// the bit depth allows, or fewer where the header says it uses fewer, and
// no more than fit between the header and the data.
void layOutPalette(const uint8_t* bytes, uint32_t headerEnd, BmpHeader* h) {
  h->paletteOffset = headerEnd;
  h->paletteEntrySize = h->headerSize == 12 ? 3 : 4;
  uint32_t count = 1u << h->bpp;
  if (h->headerSize >= 40) {
    const uint32_t used = le32(bytes + 46);
    if (used != 0 && used < count) count = used;
  }
  const uint32_t room = (h->dataOffset - headerEnd) / h->paletteEntrySize;
  h->paletteCount = count < room ? count : room;
}

// Reads and checks the headers, in the order of the steps above; nothing of
// the pixel data is read.
Status parseHeader(Source& source, uint64_t fileSize, BmpHeader* h) {
  uint8_t bytes[14 + 124 + 12] = {};
  const size_t n = source.read(bytes, sizeof(bytes));
  Status status = readVersion(bytes, n, h);
  if (status.ok()) status = readDimensions(bytes, h);
  if (status.ok()) status = checkCompression(*h);
  if (!status.ok()) return status;
  uint32_t headerEnd = 14 + h->headerSize;
  if (h->compression == kBitFields || h->compression == kAlphaBitFields)
    status = readMasks(bytes, n, h, &headerEnd);
  else
    defaultMasks(h);
  if (!status.ok()) return status;
  if (h->dataOffset < headerEnd || h->dataOffset > fileSize) return invalid("bad data offset");
  status = layOutFields(h);
  if (status.ok() && h->bpp <= 8) layOutPalette(bytes, headerEnd, h);
  return status;
}

Status readPalette(Source& source, BmpHeader* h) {
  if (h->paletteCount == 0) return Status();
  uint8_t bytes[256 * 4];
  const size_t size = size_t{h->paletteCount} * h->paletteEntrySize;
  source.seek(h->paletteOffset);
  if (source.read(bytes, size) != size) return truncated();
  for (uint32_t i = 0; i < h->paletteCount; ++i) {
    const uint8_t* entry = bytes + i * h->paletteEntrySize;
    h->palette[i][0] = entry[0];
    h->palette[i][1] = entry[1];
    h->palette[i][2] = entry[2];
  }
  return Status();
}

// Uncompressed data has a known size; a shorter file is refused before
// anything is allocated for it.
Status hasAllRows(const BmpHeader& h, uint64_t fileSize) {
  if (h.compression == kRle8 || h.compression == kRle4 || h.compression == kRle24) return Status();
  const uint64_t rowBytes = (uint64_t{h.width} * h.bpp + 31) / 32 * 4;
  if (h.dataOffset + rowBytes * h.height <= fileSize) return Status();
  return truncated();
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

Status decodeUncompressed(Source& source, const BmpHeader& h, Pipeline& pipeline) {
  const uint32_t width = h.width;
  const size_t rowBytes = (size_t{width} * h.bpp + 31) / 32 * 4;
  Status status;
  uint8_t* row = scratch(Scratch::kDecoderRow, rowBytes, &status);
  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{width} * 4, &status);
  if (row == nullptr || rgba == nullptr) return status;
  uint8_t colours[256][4];
  paletteColours(h, colours);
  const FieldReader fields(h);
  const bool opaque = h.bpp >= 16 && h.masks[3] != 0 && alphaAllZero(source, h, row, rowBytes);
  source.seek(h.dataOffset);
  RowSink& sink = pipeline.sink();
  for (uint32_t y = 0; y < h.height; ++y) {
    if (source.read(row, rowBytes) != rowBytes) {
      if (source.failed()) return Status::error(Status::kIo, "error reading BMP data");
      return truncated();
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
    status = sink.putRow(rgba);
    if (status.ok()) status = pipeline.rowCheck();
    if (!status.ok()) return status;
  }
  return status;
}

// Decodes RLE8, RLE4 or RLE24 data row by row, bottom row first. Runs past
// the right edge are clipped; data ending before the image is complete is
// refused as truncated, and data longer than the image needs
// (kRleSlackBytes) as invalid. One method per kind of code: a run of one
// value, and the escapes (end of line, end of bitmap, delta, literal
// pixels). The loops over pixels keep the column in a local: the row is
// written a byte at a time, which would otherwise make the compiler reload
// every member after each byte.
class RleDecoder {
 public:
  RleDecoder(Source& source, const BmpHeader& h, Pipeline& pipeline, uint8_t* row)
      : m_source(source),
        m_pipeline(pipeline),
        m_row(row),
        m_width(h.width),
        m_height(h.height),
        m_four(h.compression == kRle4),
        m_rgb(h.compression == kRle24),
        m_dataOffset(h.dataOffset) {
    const uint64_t perPixel = m_rgb ? kRle24BytesPerPixel : kRleBytesPerPixel;
    m_budget = perPixel * uint64_t{m_width} * m_height + 4 * uint64_t{m_height} + kRleSlackBytes;
    paletteColours(h, m_colours);
  }
  Status run();

 private:
  int next() { return m_source.getByte(); }
  // The colour of pixel |i| of a run or of literal pixels: in RLE4 the high
  // and low 4 bits of |value| in turn, else |value| itself.
  const uint8_t* colourAt(int value, int i) const {
    return m_colours[m_four ? ((i & 1) ? value & 0x0f : value >> 4) : value];
  }
  void clearRow() {
    uint8_t* row = m_row;
    for (uint32_t x = 0; x < m_width; ++x) std::memcpy(row + size_t{x} * 4, m_colours[0], 4);
  }
  Status endRow();
  bool readColour(int blue, uint8_t* colour);
  Status repeat(int count, int value);
  Status delta();
  Status literalColours(int count);
  Status literalIndices(int count);

  Source& m_source;
  Pipeline& m_pipeline;
  uint8_t* const m_row;
  const uint32_t m_width;
  const uint32_t m_height;
  const bool m_four;
  const bool m_rgb;
  const uint32_t m_dataOffset;
  uint64_t m_budget = 0;
  uint32_t m_x = 0;
  uint32_t m_y = 0;  // rows delivered, counted from the bottom
  uint8_t m_colours[256][4];
};

Status RleDecoder::run() {
  clearRow();
  m_source.seek(m_dataOffset);
  Status status;
  while (m_y < m_height && status.ok()) {
    // Every byte read so far was there: a missing one ends the decode.
    if (m_source.position() - m_dataOffset > m_budget)
      return Status::error(Status::kLimit, "invalid BMP data: RLE data longer than the image");
    const int first = next();
    const int second = next();
    if (first < 0 || second < 0) return truncated();
    if (first > 0) {
      status = repeat(first, second);
    } else if (second == 0) {  // end of line
      status = endRow();
      m_x = 0;
    } else if (second == 1) {  // end of bitmap
      break;
    } else if (second == 2) {
      status = delta();
    } else {
      status = m_rgb ? literalColours(second) : literalIndices(second);
    }
  }
  // The rows the data did not reach take palette entry 0.
  while (m_y < m_height && status.ok()) status = endRow();
  return status;
}

// Delivers the current row and starts the next.
Status RleDecoder::endRow() {
  Status status = m_pipeline.sink().putRow(m_row);
  if (status.ok()) status = m_pipeline.rowCheck();
  clearRow();
  ++m_y;
  return status;
}

// An RLE24 colour, stored B, G, R, whose first byte |blue| has been read.
bool RleDecoder::readColour(int blue, uint8_t* colour) {
  const int green = next();
  const int red = next();
  colour[0] = static_cast<uint8_t>(red);
  colour[1] = static_cast<uint8_t>(green);
  colour[2] = static_cast<uint8_t>(blue);
  colour[3] = 255;
  return green >= 0 && red >= 0;
}

// A run of |count| pixels of |value|: a colour index (two alternating ones
// in RLE4) or the first byte of an RLE24 colour.
Status RleDecoder::repeat(int count, int value) {
  uint8_t colour[4];
  if (m_rgb && !readColour(value, colour)) return truncated();
  const uint8_t* even = m_rgb ? colour : colourAt(value, 0);
  const uint8_t* odd = m_rgb ? colour : colourAt(value, 1);
  const uint32_t n = std::min(static_cast<uint32_t>(count), m_width - m_x);
  uint8_t* out = m_row + size_t{m_x} * 4;
  for (uint32_t i = 0; i < n; ++i) std::memcpy(out + size_t{i} * 4, (i & 1) ? odd : even, 4);
  m_x += n;
  return Status();
}

// Moves right and up by the next two bytes; the rows passed are delivered.
Status RleDecoder::delta() {
  const int dx = next();
  const int dy = next();
  if (dx < 0 || dy < 0) return truncated();
  m_x = std::min<uint32_t>(m_x + static_cast<uint32_t>(dx), m_width);
  Status status;
  for (int i = 0; i < dy && m_y < m_height && status.ok(); ++i) status = endRow();
  return status;
}

// |count| literal RLE24 colours, padded to an even byte count.
Status RleDecoder::literalColours(int count) {
  uint32_t x = m_x;
  for (int i = 0; i < count; ++i) {
    uint8_t colour[4];
    if (!readColour(next(), colour)) return truncated();
    if (x < m_width) std::memcpy(m_row + size_t{x++} * 4, colour, 4);
  }
  m_x = x;
  if ((count & 1) != 0 && next() < 0) return truncated();
  return Status();
}

// |count| literal colour indices (two to a byte in RLE4), padded to an
// even byte count.
Status RleDecoder::literalIndices(int count) {
  uint32_t x = m_x;
  int value = 0;
  for (int i = 0; i < count; ++i) {
    if (!m_four || (i & 1) == 0) {
      value = next();
      if (value < 0) return truncated();
    }
    if (x < m_width) std::memcpy(m_row + size_t{x++} * 4, colourAt(value, i), 4);
  }
  m_x = x;
  const int bytes = m_four ? (count + 1) / 2 : count;
  if ((bytes & 1) != 0 && next() < 0) return truncated();
  return Status();
}

Status decodeRle(Source& source, const BmpHeader& h, Pipeline& pipeline) {
  Status status;
  uint8_t* row = scratch(Scratch::kRgbaRow, size_t{h.width} * 4, &status);
  if (row == nullptr) return status;
  RleDecoder decoder(source, h, pipeline, row);
  return decoder.run();
}

}  // namespace

Status decodeBmp(Source& source, Pipeline& pipeline) {
  const uint64_t fileSize = source.size();
  auto* h = new (std::nothrow) BmpHeader;
  if (h == nullptr) return outOfMemory("starting a BMP decoder");
  Status status = parseHeader(source, fileSize, h);
  if (status.ok()) {
    Header header;
    header.width = h->width;
    header.height = h->height;
    // Rows are delivered in file order: bottom-up files upside down.
    header.orientation = h->topDown ? 1 : 4;
    header.sourceType = BitmapInfo::kSourceBmp;
    header.hasAlpha = h->bpp >= 16 && h->masks[3] != 0;
    // The size limit first (a huge header reads "image too large"), then
    // the data length, both before start() allocates the bitmap.
    if (!pipeline.infoOnly()) status = checkDimensions(h->width, h->height);
    if (status.ok() && !pipeline.infoOnly()) status = hasAllRows(*h, fileSize);
    if (status.ok()) status = pipeline.start(header);
    if (status.ok()) status = pipeline.setRowSize(h->width, h->height);
    if (status.ok()) status = readPalette(source, h);
  }
  if (status.ok()) {
    if (h->compression == kRle8 || h->compression == kRle4 || h->compression == kRle24)
      status = decodeRle(source, *h, pipeline);
    else
      status = decodeUncompressed(source, *h, pipeline);
  }
  delete h;
  return status;
}

}  // namespace lumo::internal
