#include "tools/common/image_files.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

// clang-format off
#include <jpeglib.h>
// clang-format on
#include <gif_lib.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <webp/encode.h>
#include <webp/mux.h>

// LeakSanitizer, in the sanitizer builds of the programs that write HEIF
// files: libx265, libheif's HEVC encoder, keeps buffers until the process
// ends and never frees them. Only that library's own allocations are left
// out of the leak report. (Defined here, beside the writer, so that every
// program that can call it links it, and visible, so that a sanitizer
// runtime in a shared library finds it.)
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libx265.so\n";
}

namespace imagefiles {
namespace {

void put16le(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>((v >> 8) & 0xff);
}
void put32le(std::string& s, uint32_t v) {
  put16le(s, v & 0xffff);
  put16le(s, v >> 16);
}
void put16be(std::string& s, uint32_t v) {
  s += static_cast<char>((v >> 8) & 0xff);
  s += static_cast<char>(v & 0xff);
}
void put32be(std::string& s, uint32_t v) {
  put16be(s, v >> 16);
  put16be(s, v & 0xffff);
}

// ---------------------------------------------------------------------------
// JPEG

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

std::string exifBlock(int orientation, bool bigEndian) {
  auto p16 = bigEndian ? put16be : put16le;
  auto p32 = bigEndian ? put32be : put32le;
  std::string s("Exif\0\0", 6);
  s += bigEndian ? "MM" : "II";
  p16(s, 42);
  p32(s, 8);  // IFD0 right after the TIFF header
  p16(s, 1);  // one entry
  p16(s, 0x0112);
  p16(s, 3);  // SHORT
  p32(s, 1);
  p16(s, static_cast<uint32_t>(orientation));
  p16(s, 0);
  p32(s, 0);  // no next IFD
  return s;
}

// A progressive script with one scan per DCT coefficient, component and bit.
std::vector<jpeg_scan_info> exhaustiveScript() {
  std::vector<jpeg_scan_info> scans;
  auto add = [&scans](int count, int component, int ss, int ah, int al) {
    jpeg_scan_info scan = {};
    scan.comps_in_scan = count;
    for (int i = 0; i < count; ++i) scan.component_index[i] = count == 1 ? component : i;
    scan.Ss = ss;
    scan.Se = ss;
    scan.Ah = ah;
    scan.Al = al;
    scans.push_back(scan);
  };
  add(3, 0, 0, 0, 10);
  for (int al = 9; al >= 0; --al) add(3, 0, 0, al + 1, al);
  for (int c = 0; c < 3; ++c) {
    for (int k = 1; k < 64; ++k) {
      add(1, c, k, 0, 10);
      for (int al = 9; al >= 0; --al) add(1, c, k, al + 1, al);
    }
  }
  return scans;
}

// No object with a destructor lives in this frame (libjpeg errors longjmp).
bool writeJpegTo(FILE* file, uint32_t width, uint32_t height, const uint8_t* pixels,
                 const JpegOptions& o, const std::string* exif,
                 const std::vector<jpeg_scan_info>& scans) {
  jpeg_compress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = jpegErrorExit;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = o.channels;
  cinfo.in_color_space = o.channels == 1 ? JCS_GRAYSCALE : o.channels == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  if (o.channels == 4) {
    jpeg_set_colorspace(&cinfo, o.ycck ? JCS_YCCK : JCS_CMYK);
    cinfo.write_Adobe_marker = o.adobeMarker ? TRUE : FALSE;
  }
  jpeg_set_quality(&cinfo, o.quality, TRUE);
  if (o.progressive) jpeg_simple_progression(&cinfo);
  if (!scans.empty()) {
    cinfo.scan_info = scans.data();
    cinfo.num_scans = static_cast<int>(scans.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  if (!o.icc.empty())
    jpeg_write_icc_profile(&cinfo, reinterpret_cast<const JOCTET*>(o.icc.data()),
                           static_cast<unsigned int>(o.icc.size()));
  if (exif != nullptr)
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif->data()),
                      static_cast<unsigned int>(exif->size()));
  const size_t stride = size_t{width} * o.channels;
  while (cinfo.next_scanline < height) {
    JSAMPROW row = const_cast<JSAMPROW>(pixels + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

// ---------------------------------------------------------------------------
// PNG

uint32_t crc32(const std::string& bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t c = 0xffffffffu;
  for (unsigned char b : bytes) c = table[(c ^ b) & 0xff] ^ (c >> 8);
  return c ^ 0xffffffffu;
}

void chunk(std::string& png, const char* type, const std::string& data) {
  put32be(png, static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  png += body;
  put32be(png, crc32(body));
}

// A zlib stream of stored blocks.
std::string zlibStored(const std::string& data) {
  std::string z("\x78\x01", 2);
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(65535, data.size() - pos);
    z += static_cast<char>(pos + n == data.size() ? 1 : 0);
    put16le(z, static_cast<uint32_t>(n));
    put16le(z, static_cast<uint32_t>(~n & 0xffff));
    z.append(data, pos, n);
    pos += n;
  } while (pos < data.size());
  uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  put32be(z, (b << 16) | a);
  return z;
}

int pngChannels(int colorType) {
  switch (colorType) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

// Appends the filtered (filter 0) scanlines of the pixels at (x0 + i * dx,
// y0 + j * dy).
void scanlines(std::string& out, uint32_t width, uint32_t height, const uint16_t* samples,
               int channels, int depth, uint32_t x0, uint32_t y0, uint32_t dx, uint32_t dy) {
  if (x0 >= width || y0 >= height) return;
  for (uint32_t y = y0; y < height; y += dy) {
    out += '\0';
    uint32_t acc = 0;
    int bits = 0;
    for (uint32_t x = x0; x < width; x += dx) {
      for (int c = 0; c < channels; ++c) {
        uint16_t v = samples[(size_t{y} * width + x) * channels + c];
        if (depth == 16) {
          put16be(out, v);
        } else if (depth == 8) {
          out += static_cast<char>(v);
        } else {
          acc = (acc << depth) | (v & ((1u << depth) - 1));
          bits += depth;
          if (bits == 8) {
            out += static_cast<char>(acc);
            acc = 0;
            bits = 0;
          }
        }
      }
    }
    if (bits > 0) out += static_cast<char>(acc << (8 - bits));
  }
}

std::string ihdr(uint32_t width, uint32_t height, int depth, int colorType, bool interlace) {
  std::string s;
  put32be(s, width);
  put32be(s, height);
  s += static_cast<char>(depth);
  s += static_cast<char>(colorType);
  s += '\0';
  s += '\0';
  s += static_cast<char>(interlace ? 1 : 0);
  return s;
}

const char kPngSignature[] = "\x89PNG\r\n\x1a\n";

// ---------------------------------------------------------------------------
// BMP

void rle8Row(std::string& out, const uint8_t* row, uint32_t width) {
  uint32_t x = 0;
  while (x < width) {
    uint32_t run = 1;
    while (x + run < width && run < 255 && row[x + run] == row[x]) ++run;
    if (run >= 2) {
      out += static_cast<char>(run);
      out += static_cast<char>(row[x]);
      x += run;
      continue;
    }
    // A literal stretch: up to the next pair of equal values.
    uint32_t n = 1;
    while (x + n < width && n < 255 && !(x + n + 1 < width && row[x + n] == row[x + n + 1])) ++n;
    if (n < 3) {
      for (uint32_t i = 0; i < n; ++i) {
        out += '\x01';
        out += static_cast<char>(row[x + i]);
      }
    } else {
      out += '\0';
      out += static_cast<char>(n);
      out.append(reinterpret_cast<const char*>(row + x), n);
      if (n & 1) out += '\0';
    }
    x += n;
  }
}

// RLE24 of RGBA pixels: runs of equal colours, and literal runs (of at
// least 3 pixels, padded to an even byte count) for the rest.
void rle24Row(std::string& out, const uint8_t* rgba, uint32_t width) {
  auto same = [&](uint32_t a, uint32_t b) {
    return std::memcmp(rgba + a * 4, rgba + b * 4, 3) == 0;
  };
  auto bgr = [&](uint32_t x) {
    out += static_cast<char>(rgba[x * 4 + 2]);
    out += static_cast<char>(rgba[x * 4 + 1]);
    out += static_cast<char>(rgba[x * 4]);
  };
  uint32_t x = 0;
  while (x < width) {
    uint32_t run = 1;
    while (x + run < width && run < 255 && same(x, x + run)) ++run;
    uint32_t literal = 0;
    while (run == 1 && x + literal < width && literal < 255 &&
           (x + literal + 1 >= width || !same(x + literal, x + literal + 1)))
      ++literal;
    if (literal >= 3) {
      out += '\0';
      out += static_cast<char>(literal);
      for (uint32_t i = 0; i < literal; ++i) bgr(x + i);
      if ((literal * 3) % 2 != 0) out += '\0';
      x += literal;
      continue;
    }
    out += static_cast<char>(run);
    bgr(x);
    x += run;
  }
}

void rle4Row(std::string& out, const uint8_t* row, uint32_t width) {
  uint32_t x = 0;
  while (x < width) {
    // Runs of alternating pairs are what RLE4 encodes; use a single value.
    uint32_t run = 1;
    while (x + run < width && run < 255 && row[x + run] == row[x]) ++run;
    if (run >= 2 || x + 3 > width) {
      out += static_cast<char>(run);
      out += static_cast<char>((row[x] << 4) | row[x]);
      x += run;
      continue;
    }
    uint32_t n = 3;
    while (x + n < width && n < 255 && !(x + n + 1 < width && row[x + n] == row[x + n + 1])) ++n;
    out += '\0';
    out += static_cast<char>(n);
    std::string packed;
    for (uint32_t i = 0; i < n; i += 2) {
      uint8_t hi = row[x + i] & 0x0f;
      uint8_t lo = i + 1 < n ? row[x + i + 1] & 0x0f : 0;
      packed += static_cast<char>((hi << 4) | lo);
    }
    if (packed.size() & 1) packed += '\0';
    out += packed;
    x += n;
  }
}

}  // namespace

bool writeJpeg(const std::string& path, uint32_t width, uint32_t height, const uint8_t* pixels,
               const JpegOptions& options) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::string exif;
  if (options.exifOrientation != 0)
    exif = exifBlock(options.exifOrientation, options.exifBigEndian);
  std::vector<jpeg_scan_info> scans;
  if (options.exhaustiveScans && options.channels == 3) scans = exhaustiveScript();
  bool ok =
      writeJpegTo(file, width, height, pixels, options, exif.empty() ? nullptr : &exif, scans);
  return std::fclose(file) == 0 && ok;
}

bool writePng(const std::string& path, uint32_t width, uint32_t height,
              const std::vector<uint16_t>& samples, const PngOptions& o) {
  const int channels = pngChannels(o.colorType);
  if (samples.size() != size_t{width} * height * channels) return false;
  std::string png(kPngSignature, 8);
  chunk(png, "IHDR", ihdr(width, height, o.bitDepth, o.colorType, o.interlace));
  if (!o.icc.empty()) chunk(png, "iCCP", std::string("icc\0\0", 5) + zlibStored(o.icc));
  if (o.colorType == 3) {
    std::string plte;
    for (const Rgb& c : o.palette) plte.append(reinterpret_cast<const char*>(c.data()), 3);
    chunk(png, "PLTE", plte);
    if (!o.paletteAlpha.empty())
      chunk(
          png, "tRNS",
          std::string(reinterpret_cast<const char*>(o.paletteAlpha.data()), o.paletteAlpha.size()));
  } else if (o.hasKey && (o.colorType == 0 || o.colorType == 2)) {
    std::string trns;
    for (int c = 0; c < (o.colorType == 0 ? 1 : 3); ++c) put16be(trns, o.key[c]);
    chunk(png, "tRNS", trns);
  }
  std::string raw;
  if (!o.interlace) {
    scanlines(raw, width, height, samples.data(), channels, o.bitDepth, 0, 0, 1, 1);
  } else {
    static const uint32_t kX0[7] = {0, 4, 0, 2, 0, 1, 0};
    static const uint32_t kY0[7] = {0, 0, 4, 0, 2, 0, 1};
    static const uint32_t kDx[7] = {8, 8, 4, 4, 2, 2, 1};
    static const uint32_t kDy[7] = {8, 8, 8, 4, 4, 2, 2};
    for (int pass = 0; pass < 7; ++pass)
      scanlines(raw, width, height, samples.data(), channels, o.bitDepth, kX0[pass], kY0[pass],
                kDx[pass], kDy[pass]);
  }
  std::string z = zlibStored(raw);
  if (o.wrongAdler) z.back() = static_cast<char>(z.back() ^ 1);
  size_t start = 0;
  for (size_t split : o.idatSplits) {
    if (split <= start || split >= z.size()) return false;
    chunk(png, "IDAT", z.substr(start, split - start));
    start = split;
  }
  chunk(png, "IDAT", z.substr(start));
  chunk(png, "IEND", "");
  return writeFile(path, png);
}

bool writePngHeader(const std::string& path, uint32_t width, uint32_t height, bool interlace) {
  std::string png(kPngSignature, 8);
  chunk(png, "IHDR", ihdr(width, height, 8, 6, interlace));
  chunk(png, "IDAT", zlibStored(std::string(5, '\0')));
  chunk(png, "IEND", "");
  return writeFile(path, png);
}

bool writeGif(const std::string& path, uint32_t frameWidth, uint32_t frameHeight,
              const uint8_t* indices, const GifOptions& o) {
  auto makeMap = [](const std::vector<Rgb>& palette) -> ColorMapObject* {
    if (palette.empty()) return nullptr;
    int count = 2;
    while (count < static_cast<int>(palette.size())) count *= 2;
    std::vector<GifColorType> colours(count, GifColorType{0, 0, 0});
    for (size_t i = 0; i < palette.size(); ++i)
      colours[i] = GifColorType{palette[i][0], palette[i][1], palette[i][2]};
    return GifMakeMapObject(count, colours.data());
  };
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  if (gif == nullptr) return false;
  EGifSetGifVersion(gif, true);
  ColorMapObject* global = makeMap(o.globalPalette);
  ColorMapObject* local = makeMap(o.localPalette);
  const uint32_t screenWidth = o.screenWidth != 0 ? o.screenWidth : o.left + frameWidth;
  const uint32_t screenHeight = o.screenHeight != 0 ? o.screenHeight : o.top + frameHeight;
  bool ok = EGifPutScreenDesc(gif, static_cast<int>(screenWidth), static_cast<int>(screenHeight), 8,
                              0, global) == GIF_OK;
  std::vector<GifPixelType> line(frameWidth);
  for (int frame = 0; ok && frame <= o.extraFrames; ++frame) {
    if (o.transparentIndex >= 0) {
      GifByteType control[4] = {0x01, 0, 0, static_cast<GifByteType>(o.transparentIndex)};
      ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_OK;
    }
    ok = ok && EGifPutImageDesc(gif, static_cast<int>(o.left), static_cast<int>(o.top),
                                static_cast<int>(frameWidth), static_cast<int>(frameHeight),
                                o.interlace, local) == GIF_OK;
    std::vector<uint32_t> order;
    if (o.interlace) {
      static const uint32_t kStart[4] = {0, 4, 2, 1};
      static const uint32_t kStep[4] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (uint32_t y = kStart[pass]; y < frameHeight; y += kStep[pass]) order.push_back(y);
    } else {
      for (uint32_t y = 0; y < frameHeight; ++y) order.push_back(y);
    }
    for (uint32_t y : order) {
      if (!ok) break;
      std::memcpy(line.data(), indices + size_t{y} * frameWidth, frameWidth);
      ok = EGifPutLine(gif, line.data(), static_cast<int>(frameWidth)) == GIF_OK;
    }
  }
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  GifFreeMapObject(global);
  GifFreeMapObject(local);
  return ok;
}

namespace {

const uint32_t kMasks16[3] = {0xf800, 0x07e0, 0x001f};
const uint32_t kMasks32[4] = {0x000000ff, 0x0000ff00, 0x00ff0000, 0xff000000};

// What the options of a BMP come to: its header version and compression.
struct BmpLayout {
  int bpp;
  bool paletted;
  bool customMasks;
  bool fields32;  // 32-bit pixels stored R, G, B, A under kMasks32
  int headerSize;
  uint32_t compression;
};

BmpLayout bmpLayout(const BmpOptions& o) {
  BmpLayout l;
  l.bpp = o.bpp;
  l.paletted = o.bpp <= 8;
  l.customMasks = o.masks[0] != 0 || o.masks[1] != 0 || o.masks[2] != 0;
  l.fields32 = o.bpp == 32 && o.bitFields;
  l.headerSize = l.fields32 && o.headerSize < 108 ? 108 : o.headerSize;
  l.compression = 0;
  if (o.rle) l.compression = o.bpp == 8 ? 1 : o.bpp == 4 ? 2 : 4;
  if (o.bitFields || l.customMasks) l.compression = 3;
  if (l.customMasks && l.headerSize == 40 && o.masks[3] != 0) l.compression = 6;
  return l;
}

// A channel rounded to the width of |mask| and put in place.
uint32_t bmpField(uint8_t value, uint32_t mask) {
  if (mask == 0) return 0;
  int shift = 0;
  while (((mask >> shift) & 1) == 0) ++shift;
  const uint64_t max = mask >> shift;
  return static_cast<uint32_t>((value * max + 127) / 255) << shift;
}

// The RLE data: rows bottom first, each but the last ended by an end of
// line code, then the end of bitmap code.
std::string bmpRleData(uint32_t width, uint32_t height, const uint8_t* pixels, int bpp) {
  std::string data;
  for (uint32_t i = 0; i < height; ++i) {
    const uint32_t y = height - 1 - i;
    if (bpp == 24)
      rle24Row(data, pixels + size_t{y} * width * 4, width);
    else if (bpp == 8)
      rle8Row(data, pixels + size_t{y} * width, width);
    else
      rle4Row(data, pixels + size_t{y} * width, width);
    if (i + 1 < height) data += std::string("\0\0", 2);
  }
  data += std::string("\0\1", 2);
  return data;
}

// One R, G, B, A pixel of a 16, 24 or 32-bit row.
void bmpPixel(std::string& row, const uint8_t* p, const BmpLayout& l, const BmpOptions& o) {
  if (l.customMasks) {
    uint32_t v = 0;
    for (int c = 0; c < 4; ++c) v |= bmpField(p[c], o.masks[c]);
    if (l.bpp == 16)
      put16le(row, v);
    else
      put32le(row, v);
  } else if (l.bpp == 16) {
    uint32_t v = o.bitFields ? ((p[0] >> 3) << 11) | ((p[1] >> 2) << 5) | (p[2] >> 3)
                             : ((p[0] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[2] >> 3);
    put16le(row, v);
  } else if (l.bpp == 24) {
    row += static_cast<char>(p[2]);
    row += static_cast<char>(p[1]);
    row += static_cast<char>(p[0]);
  } else if (l.fields32) {
    row.append(reinterpret_cast<const char*>(p), 4);  // matches kMasks32
  } else {
    row += static_cast<char>(p[2]);
    row += static_cast<char>(p[1]);
    row += static_cast<char>(p[0]);
    row += static_cast<char>(p[3]);
  }
}

// Row |y| of the image, uncompressed: palette indices packed from the high
// bits, or pixels; padded to a multiple of 4 bytes.
std::string bmpRow(uint32_t width, uint32_t y, const uint8_t* pixels, const BmpLayout& l,
                   const BmpOptions& o) {
  std::string row;
  uint32_t acc = 0;
  int bits = 0;
  for (uint32_t x = 0; x < width; ++x) {
    if (!l.paletted) {
      bmpPixel(row, pixels + (size_t{y} * width + x) * 4, l, o);
      continue;
    }
    acc = (acc << l.bpp) | (pixels[size_t{y} * width + x] & ((1u << l.bpp) - 1));
    bits += l.bpp;
    if (bits == 8) {
      row += static_cast<char>(acc);
      acc = 0;
      bits = 0;
    }
  }
  if (bits > 0) row += static_cast<char>(acc << (8 - bits));
  row.resize((size_t{width} * l.bpp + 31) / 32 * 4, '\0');
  return row;
}

// The masks and colour space that follow the 40 bytes of a Windows
// header, or the OS/2 fields of a 64-byte one.
void bmpHeaderTail(std::string& header, const BmpLayout& l, const BmpOptions& o) {
  const int headerSize = l.headerSize;
  if (l.customMasks && headerSize != 64) {
    const int count = headerSize == 52 ? 3 : headerSize == 40 && o.masks[3] == 0 ? 3 : 4;
    for (int i = 0; i < count; ++i) put32le(header, o.masks[i]);
  } else if (headerSize >= 108) {
    for (int i = 0; i < 4; ++i)
      put32le(header, l.fields32                              ? kMasks32[i]
                      : (l.bpp == 16 && o.bitFields && i < 3) ? kMasks16[i]
                                                              : 0);
  } else if (headerSize == 64) {
    header.append(24, '\0');  // the OS/2 fields: units, rendering, colour encoding
  } else if (o.bitFields) {
    for (int i = 0; i < 3; ++i) put32le(header, l.bpp == 16 ? kMasks16[i] : kMasks32[i]);
  }
  if (headerSize >= 108) {
    put32le(header, 0x73524742);  // 'sRGB'
    header.append(36 + 12, '\0');
    if (headerSize == 124) header.append(16, '\0');
  }
}

// The info header, of |l.headerSize| bytes, before a palette and
// |dataSize| bytes of pixel data.
std::string bmpInfoHeader(uint32_t width, uint32_t height, const BmpLayout& l, const BmpOptions& o,
                          size_t dataSize) {
  std::string header;
  put32le(header, static_cast<uint32_t>(l.headerSize));
  if (l.headerSize == 12) {
    put16le(header, width);
    put16le(header, height);
  } else {
    put32le(header, width);
    put32le(header, o.topDown ? static_cast<uint32_t>(-static_cast<int64_t>(height)) : height);
  }
  put16le(header, 1);
  put16le(header, static_cast<uint32_t>(l.bpp));
  if (l.headerSize <= 16) return header;
  put32le(header, l.compression);
  put32le(header, static_cast<uint32_t>(dataSize));
  put32le(header, 2835);
  put32le(header, 2835);
  put32le(header, l.paletted ? static_cast<uint32_t>(o.palette.size()) : 0);
  put32le(header, 0);
  bmpHeaderTail(header, l, o);
  return header;
}

// The palette: B, G, R entries, each with a fourth byte after all but the
// 12-byte header.
std::string bmpPalette(const BmpOptions& o, int headerSize) {
  std::string palette;
  for (const Rgb& c : o.palette) {
    palette += static_cast<char>(c[2]);
    palette += static_cast<char>(c[1]);
    palette += static_cast<char>(c[0]);
    if (headerSize != 12) palette += '\0';
  }
  return palette;
}

}  // namespace

bool writeBmp(const std::string& path, uint32_t width, uint32_t height, const uint8_t* pixels,
              const BmpOptions& o) {
  const BmpLayout l = bmpLayout(o);
  std::string data;
  if (o.rle) {
    data = bmpRleData(width, height, pixels, l.bpp);
  } else {
    for (uint32_t i = 0; i < height; ++i)
      data += bmpRow(width, o.topDown ? i : height - 1 - i, pixels, l, o);
  }
  const std::string header = bmpInfoHeader(width, height, l, o, data.size());
  const std::string palette = l.paletted ? bmpPalette(o, l.headerSize) : std::string();
  std::string file("BM", 2);
  const uint32_t offset = static_cast<uint32_t>(14 + header.size() + palette.size());
  put32le(file, static_cast<uint32_t>(offset + data.size()));
  put32le(file, 0);
  put32le(file, offset);
  file += header + palette + data;
  return writeFile(path, file);
}

bool writeBmpHeader(const std::string& path, uint32_t width, uint32_t height) {
  std::string file("BM", 2);
  put32le(file, 54);
  put32le(file, 0);
  put32le(file, 54);
  put32le(file, 40);
  put32le(file, width);
  put32le(file, height);
  put16le(file, 1);
  put16le(file, 24);
  file.append(24, '\0');
  return writeFile(path, file);
}

namespace {

// Bits of a lossless WebP bitstream, least significant first.
class BitWriter {
 public:
  void put(uint32_t value, int bits) {
    for (int i = 0; i < bits; ++i) {
      if (m_used == 0) m_bytes += '\0';
      if ((value >> i) & 1) m_bytes.back() = static_cast<char>(m_bytes.back() | (1 << m_used));
      m_used = (m_used + 1) % 8;
    }
  }
  // A prefix code of one symbol: reading it takes no bits.
  void oneSymbol(uint32_t symbol) {
    put(1, 1);  // a simple code
    put(0, 1);  // of one symbol
    put(symbol < 2 ? 0 : 1, 1);
    put(symbol, symbol < 2 ? 1 : 8);
  }
  // The five codes of a group (green, red, blue, alpha, distance), each of
  // one symbol.
  void oneColour(uint32_t green, uint32_t red, uint32_t blue, uint32_t alpha) {
    for (uint32_t symbol : {green, red, blue, alpha, 0u}) oneSymbol(symbol);
  }
  const std::string& bytes() const { return m_bytes; }

 private:
  std::string m_bytes;
  int m_used = 0;
};

// The lossless bitstream (with its RIFF container) of a |width| x |height|
// image of the one colour |rgba|, optionally through a palette of that
// colour.
std::string flatLossless(uint32_t width, uint32_t height, const uint8_t* rgba, bool palette) {
  BitWriter bits;
  bits.put(0x2f, 8);  // signature
  bits.put(width - 1, 14);
  bits.put(height - 1, 14);
  bits.put(rgba[3] != 255 ? 1 : 0, 1);
  bits.put(0, 3);  // version
  if (palette) {
    bits.put(1, 1);  // a transform:
    bits.put(3, 2);  // colour indexing
    bits.put(0, 8);  // one colour, as a 1 x 1 image:
    bits.put(0, 1);  // no colour cache
    bits.oneColour(rgba[1], rgba[0], rgba[2], rgba[3]);
  }
  bits.put(0, 1);  // no (further) transform
  bits.put(0, 1);  // no colour cache
  bits.put(0, 1);  // one group of codes for the whole image
  if (palette)
    bits.oneColour(0, 0, 0, 0);  // index 0 everywhere
  else
    bits.oneColour(rgba[1], rgba[0], rgba[2], rgba[3]);
  std::string stream = bits.bytes();
  if (stream.size() % 2 != 0) stream += '\0';
  std::string file("RIFF", 4);
  put32le(file, static_cast<uint32_t>(4 + 8 + stream.size()));
  file += "WEBPVP8L";
  put32le(file, static_cast<uint32_t>(bits.bytes().size()));
  return file + stream;
}

}  // namespace

bool writeWebp(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba,
               const WebpOptions& o) {
  std::string encoded;
  if (o.flat) {
    encoded = flatLossless(width, height, rgba, o.flatPalette);
  } else {
    uint8_t* bytes = nullptr;
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    const size_t size = o.lossless ? WebPEncodeLosslessRGBA(rgba, w, h, w * 4, &bytes)
                                   : WebPEncodeRGBA(rgba, w, h, w * 4, float(o.quality), &bytes);
    if (size > 0) encoded.assign(reinterpret_cast<const char*>(bytes), size);
    WebPFree(bytes);
  }
  if (encoded.empty()) return false;
  if (o.exifOrientation == 0 && o.canvasWidth == 0 && o.icc.empty())
    return writeFile(path, encoded);
  WebPMux* mux = WebPMuxNew();
  const WebPData image = {reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size()};
  bool ok = mux != nullptr;
  if (ok && o.canvasWidth == 0) {
    ok = WebPMuxSetImage(mux, &image, 1) == WEBP_MUX_OK;
  } else if (ok) {
    WebPMuxFrameInfo frame = {};
    frame.bitstream = image;
    frame.x_offset = static_cast<int>(o.frameX);
    frame.y_offset = static_cast<int>(o.frameY);
    frame.duration = 100;
    frame.id = WEBP_CHUNK_ANMF;
    frame.dispose_method = WEBP_MUX_DISPOSE_NONE;
    frame.blend_method = WEBP_MUX_NO_BLEND;
    for (int i = 0; ok && i <= o.extraFrames; ++i)
      ok = WebPMuxPushFrame(mux, &frame, 1) == WEBP_MUX_OK;
    const WebPMuxAnimParams params = {0, 0};
    ok = ok && WebPMuxSetAnimationParams(mux, &params) == WEBP_MUX_OK &&
         WebPMuxSetCanvasSize(mux, static_cast<int>(o.canvasWidth),
                              static_cast<int>(o.canvasHeight)) == WEBP_MUX_OK;
  }
  if (ok && o.exifOrientation != 0) {
    std::string exif = exifBlock(o.exifOrientation, false);
    if (!o.exifHeader) exif.erase(0, 6);
    const WebPData chunk = {reinterpret_cast<const uint8_t*>(exif.data()), exif.size()};
    ok = WebPMuxSetChunk(mux, "EXIF", &chunk, 1) == WEBP_MUX_OK;
  }
  if (ok && !o.icc.empty()) {
    const WebPData chunk = {reinterpret_cast<const uint8_t*>(o.icc.data()), o.icc.size()};
    ok = WebPMuxSetChunk(mux, "ICCP", &chunk, 1) == WEBP_MUX_OK;
  }
  WebPData assembled = {};
  ok = ok && WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
  ok = ok &&
       writeFile(path, std::string(reinterpret_cast<const char*>(assembled.bytes), assembled.size));
  WebPDataClear(&assembled);
  WebPMuxDelete(mux);
  return ok;
}

namespace {

// A libheif RGB(A) image of |rgba|, its samples widened to |depth| bits
// (stored little-endian in 16 bits) when that is more than 8.
heif_image* heifImage(uint32_t width, uint32_t height, const uint8_t* rgba, bool alpha,
                      int depth = 8) {
  heif_image* image = nullptr;
  const int w = static_cast<int>(width);
  const int h = static_cast<int>(height);
  const bool wide = depth > 8;
  const heif_chroma chroma =
      wide ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
           : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  if (heif_image_create(w, h, heif_colorspace_RGB, chroma, &image).code != heif_error_Ok)
    return nullptr;
  int stride = 0;
  uint8_t* plane = nullptr;
  if (heif_image_add_plane(image, heif_channel_interleaved, w, h, depth).code == heif_error_Ok)
    plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  if (plane == nullptr) {
    heif_image_release(image);
    return nullptr;
  }
  const int channels = alpha ? 4 : 3;
  const uint32_t max = (1u << depth) - 1;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c) {
        const uint32_t v = rgba[(size_t{y} * width + x) * 4 + c];
        uint8_t* out = plane + size_t{y} * stride + (size_t{x} * channels + c) * (wide ? 2 : 1);
        const uint32_t sample = (v * max + 127) / 255;
        out[0] = static_cast<uint8_t>(sample);
        if (wide) out[1] = static_cast<uint8_t>(sample >> 8);
      }
  return image;
}

}  // namespace

bool writeHeif(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba,
               const HeifOptions& o) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_image* image = heifImage(width, height, rgba, o.alpha, o.bitDepth);
  heif_image* thumbnail = nullptr;
  heif_encoding_options* options = heif_encoding_options_alloc();
  heif_image_handle* handle = nullptr;
  heif_image_handle* thumbnailHandle = nullptr;
  bool ok = context != nullptr && image != nullptr && options != nullptr &&
            heif_context_get_encoder_for_format(
                context, o.avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder)
                    .code == heif_error_Ok &&
            heif_encoder_set_lossy_quality(encoder, o.quality).code == heif_error_Ok;
  if (ok && o.chroma != nullptr)
    ok = heif_encoder_set_parameter_string(encoder, "chroma", o.chroma).code == heif_error_Ok;
  if (ok && !o.icc.empty())
    ok = heif_image_set_raw_color_profile(image, "prof", o.icc.data(), o.icc.size()).code ==
         heif_error_Ok;
  heif_color_profile_nclx* nclx = nullptr;
  if (ok && o.icc.empty() && o.primaries != 0) {
    nclx = heif_nclx_color_profile_alloc();
    ok = nclx != nullptr;
    if (ok) {
      nclx->color_primaries = static_cast<heif_color_primaries>(o.primaries);
      nclx->transfer_characteristics = static_cast<heif_transfer_characteristics>(o.transfer);
      ok = heif_image_set_nclx_color_profile(image, nclx).code == heif_error_Ok;
      options->output_nclx_profile = nclx;
    }
  }
  if (ok) {
    options->image_orientation = static_cast<heif_orientation>(o.orientation);
    ok = heif_context_encode_image(context, image, encoder, options, &handle).code == heif_error_Ok;
  }
  if (ok && o.thumbnailSize != 0) {
    if (!o.thumbnailRgba.empty())
      thumbnail = heifImage(width, height, o.thumbnailRgba.data(), o.alpha);
    ok = heif_context_encode_thumbnail(context, thumbnail != nullptr ? thumbnail : image, handle,
                                       encoder, options, static_cast<int>(o.thumbnailSize),
                                       &thumbnailHandle)
             .code == heif_error_Ok;
  }
  ok = ok && heif_context_write_to_file(context, path.c_str()).code == heif_error_Ok;
  heif_image_handle_release(thumbnailHandle);
  heif_image_handle_release(handle);
  if (options != nullptr) options->output_nclx_profile = nullptr;
  heif_encoding_options_free(options);
  heif_nclx_color_profile_free(nclx);
  heif_image_release(thumbnail);
  heif_image_release(image);
  if (encoder != nullptr) heif_encoder_release(encoder);
  heif_context_free(context);
  return ok;
}

namespace {

// The boxes of an ISO base media file, as far as the grid writer reads them.
struct Box {
  std::string type;
  std::string payload;  // after the size and type
  size_t at;            // the payload's offset in the bytes read
};

uint64_t getBe(const std::string& s, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

void putBe(std::string& s, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

std::vector<Box> children(const std::string& s, size_t at = 0) {
  std::vector<Box> boxes;
  while (at + 8 <= s.size()) {
    const size_t size = static_cast<size_t>(getBe(s, at, 4));
    if (size < 8 || at + size > s.size()) break;
    boxes.push_back({s.substr(at + 4, 4), s.substr(at + 8, size - 8), at + 8});
    at += size;
  }
  return boxes;
}

std::string box(const std::string& type, const std::string& payload) {
  std::string s;
  putBe(s, 8 + payload.size(), 4);
  return s + type + payload;
}

const Box* find(const std::vector<Box>& boxes, const std::string& type) {
  for (const Box& b : boxes)
    if (b.type == type) return &b;
  return nullptr;
}

heif_error appendBytes(heif_context*, const void* data, size_t size, void* user) {
  static_cast<std::string*>(user)->append(static_cast<const char*>(data), size);
  return {heif_error_Ok, heif_suberror_Unspecified, ""};
}

// Codes each image as an item of its own, items 1, 2, ... in order.
bool encodeItems(const std::vector<heif_image*>& images, const HeifGridOptions& o,
                 std::string* file) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  bool ok = context != nullptr &&
            heif_context_get_encoder_for_format(
                context, o.avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder)
                    .code == heif_error_Ok &&
            heif_encoder_set_lossy_quality(encoder, o.quality).code == heif_error_Ok;
  // Each tile a coded image of its own size, not wrapped in a grid of its
  // own when its size is not a whole number of coding units.
  heif_encoding_options* options = heif_encoding_options_alloc();
  ok = ok && options != nullptr;
  if (ok) options->macOS_compatibility_workaround = 0;
  for (heif_image* image : images)
    ok = ok && image != nullptr &&
         heif_context_encode_image(context, image, encoder, options, nullptr).code == heif_error_Ok;
  heif_encoding_options_free(options);
  heif_writer writer = {1, appendBytes};
  ok = ok && heif_context_write(context, &writer, file).code == heif_error_Ok;
  if (encoder != nullptr) heif_encoder_release(encoder);
  heif_context_free(context);
  return ok;
}

// Cuts the tiles out of |rgba| (the first tile alone with oneTile) and
// codes them as items 1, 2, ... of a file of their own.
bool encodeTiles(uint32_t tileWidth, uint32_t tileHeight, const uint8_t* rgba,
                 const HeifGridOptions& o, uint32_t coded, std::string* encoded) {
  std::vector<heif_image*> images;
  const size_t rowBytes = size_t{tileWidth} * (o.oneTile ? 1 : o.columns) * 4;
  std::vector<uint8_t> tile(size_t{tileWidth} * tileHeight * 4);
  for (uint32_t i = 0; i < coded; ++i) {
    const uint32_t column = i % o.columns, row = i / o.columns;
    for (uint32_t y = 0; y < tileHeight; ++y)
      std::memcpy(&tile[size_t{y} * tileWidth * 4],
                  rgba + (size_t{row} * tileHeight + y) * rowBytes + size_t{column} * tileWidth * 4,
                  size_t{tileWidth} * 4);
    images.push_back(heifImage(tileWidth, tileHeight, tile.data(), false));
  }
  const bool ok = encodeItems(images, o, encoded);
  for (heif_image* image : images) heif_image_release(image);
  return ok;
}

// What the grid file takes over from the coded items: the file type and
// handler boxes, their properties (ipco, ipma) and their data, the extents
// of each item within mdat's payload (iloc, version 0 or 1, construction
// method 0).
struct CodedItems {
  struct Extent {
    uint64_t offset, length;  // offset within mdat's payload
  };
  Box ftyp, hdlr, ipco, ipma, mdat;
  std::vector<std::vector<Extent>> data;  // by item, from item 1
  uint32_t propertyCount = 0;
};

bool readExtents(const std::string& iloc, CodedItems* items) {
  size_t at = 4;
  const int offsetBytes = static_cast<uint8_t>(iloc[at]) >> 4;
  const int lengthBytes = static_cast<uint8_t>(iloc[at]) & 15;
  const int baseBytes = static_cast<uint8_t>(iloc[at + 1]) >> 4;
  const bool v1 = iloc[0] == 1;
  at += 2;
  const uint64_t count = getBe(iloc, at, 2);
  at += 2;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t id = getBe(iloc, at, 2);
    at += 2 + (v1 ? 2 : 0) + 2;
    const uint64_t base = getBe(iloc, at, baseBytes);
    at += baseBytes;
    const uint64_t extents = getBe(iloc, at, 2);
    at += 2;
    for (uint64_t e = 0; e < extents; ++e) {
      const uint64_t offset = base + getBe(iloc, at, offsetBytes);
      const uint64_t length = getBe(iloc, at + offsetBytes, lengthBytes);
      at += offsetBytes + lengthBytes;
      if (id == 0 || id > items->data.size() || offset < items->mdat.at) return false;
      items->data[id - 1].push_back({offset - items->mdat.at, length});
    }
  }
  return true;
}

bool readCoded(const std::string& encoded, uint32_t coded, CodedItems* items) {
  const std::vector<Box> top = children(encoded);
  const Box* ftyp = find(top, "ftyp");
  const Box* meta = find(top, "meta");
  const Box* mdat = find(top, "mdat");
  if (ftyp == nullptr || meta == nullptr || mdat == nullptr) return false;
  const std::vector<Box> metaBoxes = children(meta->payload, 4);
  const Box* hdlr = find(metaBoxes, "hdlr");
  const Box* iloc = find(metaBoxes, "iloc");
  const Box* iprp = find(metaBoxes, "iprp");
  if (hdlr == nullptr || iloc == nullptr || iprp == nullptr) return false;
  const std::vector<Box> properties = children(iprp->payload);
  const Box* ipco = find(properties, "ipco");
  const Box* ipma = find(properties, "ipma");
  if (ipco == nullptr || ipma == nullptr) return false;
  items->ftyp = *ftyp;
  items->hdlr = *hdlr;
  items->ipco = *ipco;
  items->ipma = *ipma;
  items->mdat = *mdat;
  items->data.resize(coded);
  items->propertyCount = static_cast<uint32_t>(children(ipco->payload).size());
  return readExtents(iloc->payload, items);
}

// The grid item (the item after the coded ones) and what the file says of
// it: its data, as it lies in 'idat' and in the pieces that iloc points at,
// and the size its size box states.
struct Grid {
  uint32_t id;
  uint32_t boxWidth;
  uint32_t boxHeight;
  std::string head;  // version, flags, rows - 1, columns - 1
  std::string size;
  std::string idat;
};

Grid gridData(uint32_t tileWidth, uint32_t tileHeight, const HeifGridOptions& o, uint32_t coded) {
  Grid g;
  g.id = coded + 1;
  const uint32_t width = o.width != 0 ? o.width : o.columns * tileWidth;
  const uint32_t height = o.height != 0 ? o.height : o.rows * tileHeight;
  const bool wide = width > 65535 || height > 65535;
  g.head += '\0';
  g.head += static_cast<char>(wide ? 1 : 0);
  g.head += static_cast<char>(o.rows - 1);
  g.head += static_cast<char>(o.columns - 1);
  putBe(g.size, width, wide ? 4 : 2);
  putBe(g.size, height, wide ? 4 : 2);
  g.boxWidth = o.boxWidth != 0 ? o.boxWidth : width;
  g.boxHeight = o.boxHeight != 0 ? o.boxHeight : height;
  g.idat = g.head;
  if (o.splitData) {
    // A reader of the first extent alone takes these bytes for the size.
    putBe(g.idat, g.boxWidth, wide ? 4 : 2);
    putBe(g.idat, g.boxHeight, wide ? 4 : 2);
  }
  g.idat += g.size;
  return g;
}

// The item information: the coded items, hidden, and the grid.
std::string itemInfo(const Grid& g, const HeifGridOptions& o) {
  std::string iinf("\0\0\0\0", 4);
  putBe(iinf, g.id, 2);
  for (uint32_t id = 1; id <= g.id; ++id) {
    std::string infe("\x02\0\0", 3);
    infe += id == g.id ? '\0' : '\1';  // the tiles are hidden
    putBe(infe, id, 2);
    infe += std::string("\0\0", 2);
    infe += id == g.id ? "grid" : o.avif ? "av01" : "hvc1";
    infe += '\0';
    iinf += box("infe", infe);
  }
  return iinf;
}

// The grid's references to its tiles, row by row.
std::string tileReferences(const Grid& g, const HeifGridOptions& o, uint32_t tiles) {
  std::string iref("\0\0\0\0", 4);
  std::string dimg;
  putBe(dimg, g.id, 2);
  putBe(dimg, tiles, 2);
  for (uint32_t i = 0; i < tiles; ++i) putBe(dimg, o.oneTile ? 1 : i + 1, 2);
  return iref + box("dimg", dimg);
}

// The coded items' properties with the grid's size box added and
// associated with it; false where ipma's form leaves no room for it.
bool gridProperties(const CodedItems& items, const Grid& g, std::string* ipco, std::string* ipma) {
  std::string ispe("\0\0\0\0", 4);
  putBe(ispe, g.boxWidth, 4);
  putBe(ispe, g.boxHeight, 4);
  *ipco = items.ipco.payload + box("ispe", ispe);
  const std::string& old = items.ipma.payload;
  if (old[0] != 0) return false;  // 16-bit item numbers
  const bool wideIndices = (old[3] & 1) != 0;
  if (items.propertyCount + 1 > (wideIndices ? 32767u : 127u)) return false;
  *ipma = old.substr(0, 4);
  putBe(*ipma, getBe(old, 4, 4) + 1, 4);
  *ipma += old.substr(8);
  putBe(*ipma, g.id, 2);
  *ipma += '\1';
  putBe(*ipma, items.propertyCount + 1, wideIndices ? 2 : 1);
  return true;
}

// The location box, whose size does not depend on the offsets in it: the
// mdat payload's offset |payload| follows from the sizes of everything
// before it.
std::string locations(const CodedItems& items, const Grid& g, const HeifGridOptions& o,
                      uint64_t payload) {
  std::string s("\x01\0\0\0", 4);
  s += static_cast<char>(0x44);  // 4-byte offsets and lengths
  s += '\0';                     // no base offset, no index
  putBe(s, g.id, 2);
  for (uint32_t id = 1; id < g.id; ++id) {
    putBe(s, id, 2);
    putBe(s, 0, 2);  // construction method 0: in the file
    putBe(s, 0, 2);
    putBe(s, items.data[id - 1].size(), 2);
    for (const CodedItems::Extent& e : items.data[id - 1]) {
      putBe(s, payload + e.offset, 4);
      putBe(s, e.length, 4);
    }
  }
  putBe(s, g.id, 2);
  putBe(s, 1, 2);  // construction method 1: in 'idat'
  putBe(s, 0, 2);
  if (o.splitData) {
    putBe(s, 2, 2);
    putBe(s, 0, 4);
    putBe(s, g.head.size(), 4);
    putBe(s, g.head.size() + g.size.size(), 4);
    putBe(s, g.size.size(), 4);
  } else {
    putBe(s, 1, 2);
    putBe(s, 0, 4);
    putBe(s, g.idat.size(), 4);
  }
  return s;
}

}  // namespace

bool writeHeifGrid(const std::string& path, uint32_t tileWidth, uint32_t tileHeight,
                   const uint8_t* rgba, const HeifGridOptions& o) {
  const uint32_t tiles = o.columns * o.rows;
  const uint32_t coded = o.oneTile ? 1 : tiles;
  if (tiles == 0 || o.columns > 256 || o.rows > 256) return false;
  std::string encoded;
  CodedItems items;
  if (!encodeTiles(tileWidth, tileHeight, rgba, o, coded, &encoded) ||
      !readCoded(encoded, coded, &items))
    return false;
  const Grid g = gridData(tileWidth, tileHeight, o, coded);
  std::string pitm("\0\0\0\0", 4);
  putBe(pitm, g.id, 2);
  const std::string iinf = itemInfo(g, o);
  const std::string iref = tileReferences(g, o, tiles);
  std::string ipco, ipma;
  if (!gridProperties(items, g, &ipco, &ipma)) return false;
  auto assemble = [&](uint64_t payload) {
    const std::string metaPayload =
        std::string("\0\0\0\0", 4) + box("hdlr", items.hdlr.payload) + box("pitm", pitm) +
        box("iloc", locations(items, g, o, payload)) + box("iinf", iinf) + box("iref", iref) +
        box("iprp", box("ipco", ipco) + box("ipma", ipma)) + box("idat", g.idat);
    return box("ftyp", items.ftyp.payload) + box("meta", metaPayload);
  };
  const std::string front = assemble(0);
  return writeFile(path, assemble(front.size() + 8) + box("mdat", items.mdat.payload));
}

namespace {

// The printer's ink to colour: each ink darkens its channel, mid-tones more
// than the plain formula does; in sRGB, converted to Lab for the table.
cmsInt32Number sampleInk(const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) {
  double ink[4];
  for (int i = 0; i < 4; ++i) ink[i] = in[i] / 65535.0;
  double rgb[3];
  for (int c = 0; c < 3; ++c) rgb[c] = std::pow((1 - ink[c]) * (1 - ink[3]), 1.3);
  cmsCIELab lab;
  cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), rgb, &lab, 1);
  cmsFloat2LabEncoded(out, &lab);
  return TRUE;
}

cmsHPROFILE cmykProfile() {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL,
                                           INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsPipeline* table = cmsPipelineAlloc(nullptr, 4, 3);
  cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  bool ok = toLab != nullptr && profile != nullptr && table != nullptr && clut != nullptr &&
            cmsStageSampleCLut16bit(clut, sampleInk, toLab, 0) &&
            cmsPipelineInsertStage(table, cmsAT_BEGIN, clut);
  if (!ok) cmsStageFree(clut);
  // A lutAtoBType holds a table between curves (identities here).
  ok = ok &&
       cmsPipelineInsertStage(table, cmsAT_BEGIN, cmsStageAllocToneCurves(nullptr, 4, nullptr)) &&
       cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  if (ok) {
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    ok = cmsWriteTag(profile, cmsSigAToB0Tag, table) &&
         cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  }
  cmsPipelineFree(table);
  if (toLab != nullptr) cmsDeleteTransform(toLab);
  cmsCloseProfile(lab);
  cmsCloseProfile(srgb);
  if (!ok && profile != nullptr) {
    cmsCloseProfile(profile);
    profile = nullptr;
  }
  return profile;
}

cmsHPROFILE rgbProfile(const cmsCIExyY& white, const cmsCIExyYTRIPLE& primaries,
                       cmsToneCurve* curve) {
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile =
      curve != nullptr ? cmsCreateRGBProfile(&white, &primaries, curves) : nullptr;
  cmsFreeToneCurve(curve);
  return profile;
}

}  // namespace

std::string iccProfile(Profile kind) {
  static const double kSrgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
  cmsHPROFILE profile = nullptr;
  switch (kind) {
    case Profile::kSrgb:
      profile = cmsCreate_sRGBProfile();
      break;
    case Profile::kDisplayP3:
      profile = rgbProfile(d65, {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}},
                           cmsBuildParametricToneCurve(nullptr, 4, kSrgbCurve));
      break;
    case Profile::kAdobeRgb:
      profile = rgbProfile(d65, {{0.640, 0.330, 1}, {0.210, 0.710, 1}, {0.150, 0.060, 1}},
                           cmsBuildGamma(nullptr, 563.0 / 256));
      break;
    case Profile::kProPhoto:
      profile = rgbProfile({0.3457, 0.3585, 1.0},
                           {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}},
                           cmsBuildGamma(nullptr, 1.8));
      break;
    case Profile::kGrey: {
      cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
      if (curve != nullptr) profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
      cmsFreeToneCurve(curve);
      break;
    }
    case Profile::kCmyk:
      profile = cmykProfile();
      break;
  }
  std::string bytes;
  cmsUInt32Number size = 0;
  if (profile != nullptr && cmsSaveProfileToMem(profile, nullptr, &size) && size > 0) {
    bytes.resize(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) bytes.clear();
  }
  if (profile != nullptr) cmsCloseProfile(profile);
  return bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace imagefiles
