// BMP decoding: 1, 4, 8, 16, 24 and 32 bits per pixel, bottom-up and
// top-down, bit fields, and RLE8/RLE4.
//
// The header is parsed here, which gives the image information without
// touching pixel data and lets every check run before the decoder allocates.
// Uncompressed images are then unpacked by stb_image's BMP decoder, fed a
// normalised stream: a V4 header with the masks already resolved, a palette
// padded to the full 2^bpp entries (so an out-of-range index reads black
// instead of undefined memory) and then the file's pixel data. That decoder
// reads zeros past the end of the data, so a file shorter than its header
// promises is refused up front as truncated.
//
// stb_image does not decode RLE; RLE8 and RLE4 are decoded by decodeRle()
// below. Pixels that the RLE data skips (delta and end-of-line codes) take
// palette entry 0.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/kor.h"
#include "platform/lumo/codec.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_FAILURE_USERMSG
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace lumo::internal {
namespace {

constexpr uint32_t kRgb = 0;
constexpr uint32_t kRle8 = 1;
constexpr uint32_t kRle4 = 2;
constexpr uint32_t kBitFields = 3;
constexpr size_t kV4HeaderSize = 108;

inline uint32_t le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put32(uint8_t* p, uint32_t v) {
  p[0] = v & 0xff;
  p[1] = (v >> 8) & 0xff;
  p[2] = (v >> 16) & 0xff;
  p[3] = v >> 24;
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

// stb_image reads the normalised header and palette from |prefix| and the
// pixel data straight from the file.
struct Stream {
  const uint8_t* prefix;
  size_t prefixSize;
  size_t position;
  Source* source;
};

int streamRead(void* user, char* data, int size) {
  auto* s = static_cast<Stream*>(user);
  size_t wanted = size > 0 ? static_cast<size_t>(size) : 0;
  size_t done = 0;
  if (s->position < s->prefixSize) {
    done = std::min(wanted, s->prefixSize - s->position);
    std::memcpy(data, s->prefix + s->position, done);
    s->position += done;
  }
  if (done < wanted) done += s->source->read(data + done, wanted - done);
  return static_cast<int>(done);
}

void streamSkip(void* user, int n) {
  auto* s = static_cast<Stream*>(user);
  if (n <= 0) return;
  size_t count = static_cast<size_t>(n);
  if (s->position < s->prefixSize) {
    size_t step = std::min(count, s->prefixSize - s->position);
    s->position += step;
    count -= step;
  }
  if (count > 0) s->source->skip(count);
}

int streamEof(void* user) {
  auto* s = static_cast<Stream*>(user);
  return s->position >= s->prefixSize && (s->source->atEnd() || s->source->failed());
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

bool decodeUncompressed(Source& source, const BmpHeader& h, uint64_t fileSize, RowSink& sink) {
  if (!hasAllRows(h, fileSize)) return false;
  const uint32_t paletteBytes = h.bpp <= 8 ? (4u << h.bpp) : 0;
  uint8_t prefix[14 + kV4HeaderSize + 256 * 4] = {};
  const uint32_t offset = 14 + kV4HeaderSize + paletteBytes;
  prefix[0] = 'B';
  prefix[1] = 'M';
  put32(prefix + 10, offset);
  uint8_t* v4 = prefix + 14;
  put32(v4, kV4HeaderSize);
  put32(v4 + 4, h.width);
  put32(v4 + 8, h.topDown ? static_cast<uint32_t>(-static_cast<int64_t>(h.height)) : h.height);
  v4[12] = 1;  // planes
  v4[14] = static_cast<uint8_t>(h.bpp);
  put32(v4 + 16, h.compression);
  for (int i = 0; i < 4; ++i) put32(v4 + 40 + 4 * i, h.masks[i]);
  std::memcpy(prefix + 14 + kV4HeaderSize, h.palette, paletteBytes);

  source.seek(h.dataOffset);
  Stream stream{prefix, offset, 0, &source};
  stbi_io_callbacks callbacks{streamRead, streamSkip, streamEof};
  int width = 0, height = 0, channels = 0;
  stbi_uc* image = stbi_load_from_callbacks(&callbacks, &stream, &width, &height, &channels, 4);
  if (image == nullptr) {
    const char* reason = stbi_failure_reason();
    kor::ErrorStorage::set("invalid BMP data: %s", reason != nullptr ? reason : "unknown error");
    return false;
  }
  bool ok = static_cast<uint32_t>(width) == h.width && static_cast<uint32_t>(height) == h.height;
  if (!ok) kor::ErrorStorage::set("invalid BMP data: unexpected image size");
  for (uint32_t y = 0; ok && y < h.height; ++y) ok = sink.putRow(image + size_t{y} * h.width * 4);
  stbi_image_free(image);
  return ok;
}

// Decodes RLE8 or RLE4 data into a bottom-up-corrected RGBA image. Every
// write is bounds-checked; runs past the right edge are clipped, and data
// ending before the image is complete is refused as truncated.
bool decodeRle(Source& source, const BmpHeader& h, RowSink& sink) {
  const uint32_t width = h.width;
  const uint32_t height = h.height;
  uint8_t* image = scratch(Scratch::kImage, size_t{width} * height * 4);
  if (image == nullptr) return false;
  uint8_t colours[256][4];
  for (int i = 0; i < 256; ++i) {
    colours[i][0] = h.palette[i][2];
    colours[i][1] = h.palette[i][1];
    colours[i][2] = h.palette[i][0];
    colours[i][3] = 255;
  }
  for (size_t i = 0; i < size_t{width} * height; ++i) std::memcpy(image + i * 4, colours[0], 4);
  source.seek(h.dataOffset);

  const bool four = h.compression == kRle4;
  uint32_t x = 0;
  uint32_t y = 0;  // counted from the bottom row
  auto put = [&](uint32_t index) {
    if (x < width && y < height)
      std::memcpy(image + (size_t{height - 1 - y} * width + x) * 4, colours[index], 4);
    ++x;
  };
  bool done = false;
  while (!done && y < height) {
    const int first = source.getByte();
    const int second = source.getByte();
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
        x = 0;
        ++y;
        break;
      case 1:  // end of bitmap
        done = true;
        break;
      case 2: {  // delta
        const int dx = source.getByte();
        const int dy = source.getByte();
        if (dx < 0 || dy < 0) {
          kor::ErrorStorage::set("truncated BMP data");
          return false;
        }
        x += static_cast<uint32_t>(dx);
        y += static_cast<uint32_t>(dy);
        break;
      }
      default: {  // |second| literal pixels, padded to an even byte count
        const int count = second;
        const int bytes = four ? (count + 1) / 2 : count;
        int value = 0;
        for (int i = 0; i < count; ++i) {
          if (!four || (i & 1) == 0) {
            value = source.getByte();
            if (value < 0) {
              kor::ErrorStorage::set("truncated BMP data");
              return false;
            }
          }
          put(four ? ((i & 1) ? value & 0x0f : value >> 4) : value);
        }
        if ((bytes & 1) != 0 && source.getByte() < 0) {
          kor::ErrorStorage::set("truncated BMP data");
          return false;
        }
        break;
      }
    }
  }
  for (uint32_t row = 0; row < height; ++row)
    if (!sink.putRow(image + size_t{row} * width * 4)) return false;
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
      ok = decodeRle(source, *h, pipeline.sink());
    else
      ok = decodeUncompressed(source, *h, fileSize, pipeline.sink());
  }
  delete h;
  return ok;
}

}  // namespace lumo::internal
