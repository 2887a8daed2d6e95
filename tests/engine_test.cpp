// Tests of the image engine: header information, decoded pixels of every
// format, scaling, orientation, output formats, limits and failure paths.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/colour.h"
#include "platform/lumo/sandbox.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

// Options are given with designated initializers: the members left out keep
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using imagefiles::Rgb;
using lumo::Bitmap;
using lumo::BitmapInfo;

struct Destroy {
  void operator()(Bitmap* b) const { lumo::Engine::getInstance().destroyBitmap(b); }
  void operator()(BitmapInfo* i) const { lumo::Engine::getInstance().destroyBitmapInfo(i); }
};
using BitmapPtr = std::unique_ptr<Bitmap, Destroy>;
using InfoPtr = std::unique_ptr<BitmapInfo, Destroy>;

// RGBA pixels, 4 bytes each, top row first.
struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* at(uint32_t x, uint32_t y) const { return &rgba[(size_t{y} * width + x) * 4]; }
};

// A smooth colour pattern (JPEG-friendly); each alpha byte is alpha(its
// index in rgba), or opaque without |alpha|.
Image gradient(uint32_t w, uint32_t h, uint8_t (*alpha)(size_t) = nullptr) {
  Image image{w, h, {}};
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      image.rgba.insert(image.rgba.end(), {uint8_t(x * 255 / (w - 1)), uint8_t(y * 255 / (h - 1)),
                                           uint8_t(128 + 100 * std::sin(x * 0.1 + y * 0.07)),
                                           uint8_t(alpha ? alpha(image.rgba.size() + 3) : 255)});
  return image;
}

Image toImage(const Bitmap& b) {
  EXPECT_EQ(b.format, BitmapInfo::kFormatRGBA8888);
  EXPECT_EQ(b.stride, b.width * 4);
  return Image{b.width, b.height,
               std::vector<uint8_t>(b.pixels, b.pixels + size_t{b.stride} * b.height)};
}

double psnr(const Image& a, const Image& b, int channelCount = 3) {
  double sum = 0;
  const double n = a.rgba.size() / 4 * channelCount;
  for (size_t i = 0; i < a.rgba.size(); ++i)
    if (int(i % 4) < channelCount) sum += std::pow(double(a.rgba[i]) - b.rgba[i], 2);
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / n));
}

// Reference area average, premultiplied by alpha, in exact integers:
// measured in 1/dw of a source column and 1/dh of a source row, every overlap
// of a source pixel with an output pixel is whole. Results round half up.
Image boxFilter(const Image& src, uint32_t dw, uint32_t dh) {
  Image out{dw, dh, std::vector<uint8_t>(size_t{dw} * dh * 4)};
  const uint64_t sw = src.width, sh = src.height;
  auto overlap = [](uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    return std::min(b, d) > std::max(a, c) ? std::min(b, d) - std::max(a, c) : 0;
  };
  for (uint32_t j = 0; j < dh; ++j)
    for (uint32_t i = 0; i < dw; ++i) {
      uint64_t sum[4] = {};
      for (uint32_t y = j * sh / dh; y < sh && y * dh < (j + 1) * sh; ++y)
        for (uint32_t x = i * sw / dw; x < sw && x * dw < (i + 1) * sw; ++x) {
          const uint64_t w = overlap(x * dw, (x + 1) * dw, i * sw, (i + 1) * sw) *
                             overlap(y * dh, (y + 1) * dh, j * sh, (j + 1) * sh);
          const uint8_t* p = src.at(x, y);
          for (int c = 0; c < 3; ++c) sum[c] += w * p[c] * p[3];
          sum[3] += w * p[3];
        }
      uint8_t* q = &out.rgba[(size_t{j} * dw + i) * 4];
      q[3] = uint8_t((sum[3] + sw * sh / 2) / (sw * sh));
      for (int c = 0; c < 3; ++c) q[c] = sum[3] > 0 ? uint8_t((sum[c] + sum[3] / 2) / sum[3]) : 0;
    }
  return out;
}

// |image| turned as EXIF orientation |o| says: its pixel (x, y) lands at
//   1 (x, y)          2 (W-1-x, y)        3 (W-1-x, H-1-y)    4 (x, H-1-y)
//   5 (y, x)          6 (H-1-y, x)        7 (H-1-y, W-1-x)    8 (y, W-1-x)
Image turn(const Image& image, int o) {
  const uint32_t w = image.width, h = image.height;
  Image out{o >= 5 ? h : w, o >= 5 ? w : h, std::vector<uint8_t>(image.rgba.size())};
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t across[9] = {0, x, w - 1 - x, w - 1 - x, x, y, h - 1 - y, h - 1 - y, y};
      const uint32_t down[9] = {0, y, y, h - 1 - y, h - 1 - y, x, x, w - 1 - x, w - 1 - x};
      std::memcpy(&out.rgba[(size_t{down[o]} * out.width + across[o]) * 4], image.at(x, y), 4);
    }
  return out;
}

// |v|, a field of |bits| bits, as 8 bits: up to 8 bits the field's bits
// repeat, a wider field rounds.
uint8_t widen(uint32_t v, int bits) {
  const uint64_t max = (uint64_t{1} << bits) - 1;
  if (bits > 8) return uint8_t((v * 255 + max / 2) / max);
  uint32_t out = 0;
  for (int shift = 8 - bits; shift > -bits; shift -= bits)
    out |= shift >= 0 ? v << shift : v >> -shift;
  return uint8_t(out);
}

std::string be16(uint32_t v) { return {char(v >> 8), char(v)}; }
std::string be32(uint32_t v) { return be16(v >> 16) + be16(v); }

// Copies of a HEIF file, one per item of its location box, with that item's
// data made empty (every extent 0 bytes long).
std::vector<std::string> eachItemWithoutData(const std::string& heif) {
  size_t at = heif.find("iloc") + 8;  // past the version and flags
  auto field = [&](size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = v << 8 | uint8_t(heif[at++]);
    return v;
  };
  const int version = heif[at - 4];
  const uint64_t sizes = field(2);
  const size_t offsetSize = sizes >> 12, lengthSize = sizes >> 8 & 15;
  const size_t baseSize = sizes >> 4 & 15, indexSize = version > 0 ? sizes & 15 : 0;
  std::vector<std::string> out;
  for (uint64_t items = field(version < 2 ? 2 : 4); items > 0; --items) {
    at += (version < 2 ? 2 : 4) + (version > 0 ? 2 : 0) + 2 + baseSize;
    std::string emptied = heif;
    for (uint64_t extents = field(2); extents > 0; --extents) {
      at += indexSize + offsetSize;
      emptied.replace(at, lengthSize, std::string(lengthSize, '\0'));
      at += lengthSize;
    }
    out.push_back(emptied);
  }
  return out;
}

// A TIFF header alone: a |w| x |h| grey image, Deflate-compressed (libtiff
// would cut an uncompressed strip into small ones), in one strip of |rows| rows
// or, with |tileWidth|, in tiles of |tileWidth| x |rows|, whose data is one
// byte.
std::string tiffHeader(uint32_t w, uint32_t h, uint32_t rows, uint32_t tileWidth = 0) {
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += char(v >> (8 * i));
    return s;
  };
  std::vector<std::pair<uint16_t, uint32_t>> tags = {{256, w}, {257, h}, {258, 8},
                                                     {259, 8}, {262, 1}, {277, 1}};
  if (tileWidth != 0) {
    tags.insert(tags.end(), {{322, tileWidth}, {323, rows}, {324, 8}, {325, 1}});
  } else {
    tags.insert(tags.end() - 1, {273, 8});
    tags.insert(tags.end(), {{278, rows}, {279, 1}});
  }
  std::string bytes = std::string("II*\0", 4) + le(10, 4) + std::string(2, '\0');
  bytes += le(uint32_t(tags.size()), 2);
  for (const auto& [tag, value] : tags) bytes += le(tag, 2) + le(4, 2) + le(1, 4) + le(value, 4);
  return bytes + le(0, 4);
}

// The headers of a bare JPEG XL codestream of |w| x |h| (every other header
// field at its default) and no image.
std::string jxlHeader(uint32_t w, uint32_t h) {
  std::string bytes = "\xFF\x0A";
  uint32_t bit = 0;
  auto put = [&](uint32_t value, int count) {  // least significant bit first
    for (int i = 0; i < count; ++i, ++bit) {
      if (bit % 8 == 0) bytes += '\0';
      bytes.back() = char(bytes.back() | ((value >> i) & 1) << (bit % 8));
    }
  };
  put(0, 1);  // not a multiple of 8
  put(2, 2);  // the height less 1 in 18 bits
  put(h - 1, 18);
  put(0, 3);  // no aspect ratio: the width follows
  put(2, 2);
  put(w - 1, 18);
  put(1, 1);  // the image metadata at its defaults
  put(1, 1);  // the transform data at its defaults
  return bytes;
}

// A PNG chunk with its CRC.
std::string pngChunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
  return be32(uint32_t(data.size())) + body + be32(uint32_t(crc));
}

// Declares |image|, the pixels that |call| decodes, or ends the test.
#define DECODE(image, call) \
  Image image;              \
  ASSERT_NO_FATAL_FAILURE(pixels(call, image))

class EngineTest : public ::testing::Test {
 protected:
  void TearDown() override { kor::ErrorStorage::ack(); }

  BitmapPtr decode(const std::string& path,
                   BitmapInfo::Format format = BitmapInfo::kFormatRGBA8888) {
    return BitmapPtr(engine.createBitmap(util::UnicodeString8(path.c_str()), format, nullptr));
  }
  BitmapPtr scaled(const std::string& path, uint32_t w, uint32_t h) {
    return BitmapPtr(engine.createBitmap(util::UnicodeString8(path.c_str()),
                                         BitmapInfo::kFormatRGBA8888, {w, h},
                                         Bitmap::kScalingAreaAverage, false, nullptr));
  }
  // |out| = the pixels of |b|, which must have been decoded.
  void pixels(BitmapPtr b, Image& out) {
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    out = toImage(*b);
  }
  InfoPtr info(const std::string& path) {
    return InfoPtr(engine.getImageInfo(util::UnicodeString8(path.c_str())));
  }
  // Decoding |path| fails; returns the failure's code.
  kor::Status::Code failure(const std::string& path) {
    kor::ErrorStorage::ack();
    EXPECT_EQ(decode(path), nullptr) << path;
    return kor::ErrorStorage::takeStatus().code();
  }
  // Writes |name| with one of imagefiles' writers; returns its path.
  template <class Writer, class... Args>
  std::string make(const std::string& name, Writer writer, const Args&... args) {
    EXPECT_TRUE(writer(dir.file(name), args...)) << name;
    return dir.file(name);
  }
  std::string png(const Image& image, const imagefiles::PngOptions& options = {},
                  const std::string& name = "image.png") {
    return make(name, imagefiles::writePng, image.width, image.height,
                std::vector<uint16_t>(image.rgba.begin(), image.rgba.end()), options);
  }
  std::string jpeg(const Image& image, const imagefiles::JpegOptions& options = {},
                   const std::string& name = "image.jpg") {
    std::vector<uint8_t> samples;  // the first options.channels of each pixel
    for (size_t i = 0; i < image.rgba.size(); i += 4)
      samples.insert(samples.end(), &image.rgba[i], &image.rgba[i] + options.channels);
    return make(name, imagefiles::writeJpeg, image.width, image.height, samples.data(), options);
  }

  // A file of each format and variant that the decoders tell apart, made
  // from a 64 x 48 image (the animation puts it on an 80 x 60 canvas).
  struct Sample {
    std::string path;
    BitmapInfo::SourceType type;
    bool alpha = false, grey = false;
    uint32_t width = 64, height = 48;
  };
  std::vector<Sample> everyFormat() {
    const Image image = gradient(64, 48);
    Image translucent = image;
    translucent.rgba[7] = 100;
    const uint8_t *pixels = image.rgba.data(), *alpha = translucent.rgba.data();
    std::vector<uint8_t> indices(64 * 48);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 13 % 200);
    const std::vector<Rgb> palette(256, Rgb{1, 2, 3});
    const std::vector<uint16_t> ga(64 * 48 * 2, 100);
    using namespace imagefiles;
    using B = BitmapInfo;
    return {{jpeg(image, {}, "photo.png"), B::kSourceJpeg},  // the name never matters
            {jpeg(image, {.progressive = true}, "p.jpg"), B::kSourceJpeg},
            {jpeg(image, {.channels = 1}, "g.jpg"), B::kSourceJpeg, false, true},
            {png(image), B::kSourcePng, true},
            {png(image, {.interlace = true}, "i.png"), B::kSourcePng, true},
            {make("ga.png", writePng, 64, 48, ga, PngOptions{.colorType = 4}), B::kSourcePng, true,
             true},
            {make("a.gif", writeGif, 64, 48, indices.data(), GifOptions{.globalPalette = palette}),
             B::kSourceGif},
            {make("t.gif", writeGif, 64, 48, indices.data(),
                  GifOptions{.globalPalette = palette, .transparentIndex = 0}),
             B::kSourceGif, true},
            {make("a.bmp", writeBmp, 64, 48, pixels, BmpOptions{}), B::kSourceBmp},
            {make("b.bmp", writeBmp, 64, 48, pixels, BmpOptions{.bpp = 32}), B::kSourceBmp, true},
            {make("r.bmp", writeBmp, 64, 48, indices.data(),
                  BmpOptions{.bpp = 8, .rle = true, .palette = palette}),
             B::kSourceBmp},
            {make("a.webp", writeWebp, 64, 48, pixels, WebpOptions{}), B::kSourceWebp},
            {make("t.webp", writeWebp, 64, 48, alpha, WebpOptions{}), B::kSourceWebp, true},
            {make("l.webp", writeWebp, 64, 48, alpha, WebpOptions{.lossless = true}),
             B::kSourceWebp, true},
            {make("f.webp", writeWebp, 64, 48, pixels,
                  WebpOptions{.canvasWidth = 80, .canvasHeight = 60}),
             B::kSourceWebp, true, false, 80, 60},
            {make("a.heic", writeHeif, 64, 48, pixels, HeifOptions{}), B::kSourceHeif},
            {make("a.tif", writeTiff, 64, 48, std::vector<uint16_t>(64 * 48 * 3, 7), TiffOptions{}),
             B::kSourceUnknown},
            {make("g.tif", writeTiff, 64, 48, std::vector<uint16_t>(64 * 48, 9),
                  TiffOptions{.photometric = 1, .channels = 1, .tileWidth = 32, .tileHeight = 32}),
             B::kSourceUnknown, false, true},
            {make("a.jxl", writeJxl, 64, 48, pixels, JxlOptions{}), B::kSourceUnknown},
            {make("t.jxl", writeJxl, 64, 48, alpha,
                  JxlOptions{.lossless = true, .alpha = true, .container = true}),
             B::kSourceUnknown, true},
            {make("t.heic", writeHeif, 64, 48, alpha, HeifOptions{.alpha = true}), B::kSourceHeif,
             true},
            {make("a.avif", writeHeif, 64, 48, alpha, HeifOptions{.avif = true, .alpha = true}),
             B::kSourceHeif, true}};
  }

  lumo::Engine& engine = lumo::Engine::getInstance();
  testsupport::TempDir dir;
};

// With IMAGESERVER_TEST_IN_DECODERS set (a test of its own in CTest), every
// test reads its images in decoder processes: the same answers, under the
// decoders' confinement and limits.
class DecoderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!enabled()) return;
    lumo::internal::setDecoderExecutable(IMAGESERVER_TEST_DECODER);
    ASSERT_TRUE(lumo::startDecoders());
  }
  void TearDown() override {
    if (enabled()) lumo::stopDecoders();
  }
  static bool enabled() { return std::getenv("IMAGESERVER_TEST_IN_DECODERS") != nullptr; }
};
::testing::Environment* const g_decoders =
    ::testing::AddGlobalTestEnvironment(new DecoderEnvironment);

// |image| converted from the space of |icc| (RGB or grey) to sRGB by
// little-cms itself, alpha kept: what a tagged image must decode to.
Image toSrgb(const Image& image, const std::string& icc) {
  cmsHPROFILE in = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  const bool grey = cmsGetColorSpace(in) == cmsSigGrayData;
  cmsHTRANSFORM t = cmsCreateTransform(in, grey ? TYPE_GRAY_8 : TYPE_RGBA_8, srgb,
                                       grey ? TYPE_RGB_8 : TYPE_RGBA_8, INTENT_PERCEPTUAL,
                                       cmsFLAGS_COPY_ALPHA | cmsFLAGS_NOCACHE);
  Image out = image;
  for (size_t i = 0; t != nullptr && i < out.rgba.size(); i += 4) {
    uint8_t rgb[4] = {};
    cmsDoTransform(t, &image.rgba[i], rgb, 1);
    std::memcpy(&out.rgba[i], rgb, grey ? 3 : 4);
  }
  EXPECT_NE(t, nullptr);
  if (t != nullptr) cmsDeleteTransform(t);
  cmsCloseProfile(srgb);
  cmsCloseProfile(in);
  return out;
}

// |icc| made |size| bytes long by zeros at its end, its header saying so.
std::string padded(std::string icc, size_t size) {
  icc.resize(size, '\0');
  for (int i = 0; i < 4; ++i) icc[i] = char(size >> (24 - 8 * i));
  return icc;
}

int maxDifference(const Image& a, const Image& b) {
  EXPECT_EQ(a.rgba.size(), b.rgba.size());
  int most = 0;
  for (size_t i = 0; i < std::min(a.rgba.size(), b.rgba.size()); ++i)
    most = std::max(most, std::abs(int(a.rgba[i]) - int(b.rgba[i])));
  return most;
}

// ---------------------------------------------------------------------------
// Information and pixels.

// The format comes from the content; kFormatDefault keeps what the image
// has: L8 for grey, LA88 for grey with alpha, RGB888, RGBA8888.
TEST_F(EngineTest, InfoAndDefaultFormatFollowTheContent) {
  for (const Sample& s : everyFormat()) {
    SCOPED_TRACE(s.path);
    InfoPtr i = info(s.path);
    ASSERT_NE(i, nullptr) << kor::ErrorStorage::reason();
    EXPECT_EQ(std::make_tuple(i->width, i->height, i->sourceType, i->hasAlpha, i->isGrey),
              std::make_tuple(s.width, s.height, s.type, s.alpha, s.grey));
    BitmapPtr b = decode(s.path, BitmapInfo::kFormatDefault);
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    EXPECT_EQ(b->format, s.grey
                             ? (s.alpha ? BitmapInfo::kFormatLA88 : BitmapInfo::kFormatL8)
                             : (s.alpha ? BitmapInfo::kFormatRGBA8888 : BitmapInfo::kFormatRGB888));
  }
}

// Every colour type and depth, plain and interlaced (odd sizes leave Adam7
// passes partly empty, and in images of up to 8 x 8 some passes are empty
// altogether): palettes with tRNS alpha, grey and colour with a tRNS key
// colour (pixel 0's), 16-bit samples rounded to 8 bits.
TEST_F(EngineTest, PngEveryColourTypeAndDepthDecodesExactly) {
  std::vector<std::tuple<uint32_t, uint32_t, bool>> sizes = {{13, 7, false}, {13, 7, true}};
  for (uint32_t w = 1; w <= 8; ++w)
    for (uint32_t h = 1; h <= 8; ++h) sizes.emplace_back(w, h, true);
  const int cases[][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                          {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
  for (const auto& [type, depth] : cases)
    for (const auto& [w, h, interlace] : sizes) {
      SCOPED_TRACE(testing::Message() << "type " << type << " depth " << depth << " " << w << "x"
                                      << h << (interlace ? " interlaced" : ""));
      imagefiles::PngOptions o{.colorType = type, .bitDepth = depth, .interlace = interlace};
      o.hasKey = type == 0 || type == 2;
      const int n = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
      const uint32_t max = (1u << depth) - 1;
      if (type == 3) {
        for (uint32_t i = 0; i <= max; ++i)
          o.palette.push_back({uint8_t(i * 37), uint8_t(255 - i), uint8_t(i * 11)});
        for (uint32_t i = 0; i <= max && i < 3; ++i) o.paletteAlpha.push_back(uint8_t(i * 100));
      }
      std::vector<uint16_t> samples(size_t{w} * h * n);
      for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t((i * 2654435761u >> 7) & max);
      std::copy_n(samples.begin(), o.hasKey ? n : 0, o.key.begin());
      const std::string path = make("p.png", imagefiles::writePng, w, h, samples, o);
      InfoPtr i = info(path);
      ASSERT_NE(i, nullptr) << kor::ErrorStorage::reason();
      EXPECT_TRUE(i->hasAlpha);
      EXPECT_EQ(i->isGrey, type == 0 || type == 4);
      DECODE(got, decode(path));
      auto to8 = [&](uint16_t v) {
        return depth == 16 ? uint8_t((v * 255u + 32767) / 65535) : uint8_t(v * 255 / max);
      };
      for (uint32_t p = 0; p < w * h; ++p) {
        const uint16_t* s = &samples[size_t{p} * n];
        uint8_t want[4];
        if (type == 3) {
          std::memcpy(want, o.palette[s[0]].data(), 3);
          want[3] = s[0] < o.paletteAlpha.size() ? o.paletteAlpha[s[0]] : 255;
        } else {
          const bool grey = type == 0 || type == 4;
          for (int k = 0; k < 3; ++k) want[k] = to8(s[grey ? 0 : k]);
          want[3] = (type == 4 || type == 6) ? to8(s[n - 1]) : 255;
          if (o.hasKey && std::equal(s, s + n, o.key.begin())) want[3] = 0;
        }
        ASSERT_EQ(0, std::memcmp(want, got.at(p % w, p / w), 4)) << "pixel " << p;
      }
    }
}

// Every chunk's CRC and the image data's zlib checksum are verified, on each
// way through the decoder (straight into the bitmap, averaged, interlaced),
// including when the checksum comes in an IDAT chunk of its own after the
// last row's data, where the decoder stops reading by itself.
TEST_F(EngineTest, PngChecksumsAreVerified) {
  const uint32_t w = 13, h = 7;
  const Image image = gradient(w, h);
  const size_t zlibBytes = h * (1 + w * 4) + 11;  // one stored block
  auto write = [&](const imagefiles::PngOptions& o) {
    return imagefiles::readFile(png(image, o, "c.png"));
  };
  // Flips the last byte of the CRC of the |nth| chunk of |type|.
  auto breakCrc = [&](std::string bytes, const char* type, int nth = 0) {
    size_t at = bytes.find(type);
    for (int i = 0; i < nth; ++i) at = bytes.find(type, at + 4);
    const size_t length = uint8_t(bytes[at - 1]) | uint8_t(bytes[at - 2]) << 8;
    bytes[at + 4 + length + 3] ^= 1;
    return bytes;
  };
  const auto attempt = [&](const std::string& bytes, int way) {
    const std::string path = dir.write("d.png", bytes);
    kor::ErrorStorage::ack();
    BitmapPtr b = way == 1 ? scaled(path, 5, 3) : decode(path);
    std::string reason = b ? "" : kor::ErrorStorage::reason();
    kor::ErrorStorage::ack();
    return reason;
  };
  const std::string adler = "invalid PNG data: image data checksum (Adler-32) mismatch";
  const std::string crc = "invalid PNG data: chunk checksum (CRC) mismatch";
  for (int way = 0; way < 3; ++way) {  // direct, averaged, interlaced
    SCOPED_TRACE(way);
    imagefiles::PngOptions o{.interlace = way == 2};
    // The checksum's bytes split off into a last IDAT chunk, 1 to 9 of them.
    for (size_t tail = 1; tail <= 9; ++tail)
      for (bool wrong : {false, true}) {
        o.idatSplits = {zlibBytes / 2, zlibBytes - tail};
        o.wrongAdler = wrong;
        EXPECT_EQ(attempt(write(o), way), wrong ? adler : "") << tail;
      }
    o.idatSplits = {};
    EXPECT_EQ(attempt(write(o), way), adler);
    o.wrongAdler = false;
    o.idatSplits = {zlibBytes / 2};
    for (const std::string& bytes : {breakCrc(write(o), "IDAT"), breakCrc(write(o), "IDAT", 1),
                                     breakCrc(write(o), "IEND"), breakCrc(write(o), "IHDR")})
      EXPECT_EQ(attempt(bytes, way), crc);
    // A file that ends right after the last IDAT chunk's CRC lacks only its
    // end marker; one byte less is truncated.
    const std::string whole = write(o);
    EXPECT_EQ(attempt(whole.substr(0, whole.size() - 12), way), "");
    EXPECT_EQ(attempt(whole.substr(0, whole.size() - 13), way), "truncated PNG data");
  }
  // An ancillary chunk with a bad CRC is refused too, not skipped.
  std::string text = imagefiles::readFile(png(image));
  text.insert(33, std::string("\0\0\0\4tEXta\0bc\0\0\0\0", 16));  // after IHDR
  EXPECT_EQ(attempt(text, 0), crc);
  EXPECT_EQ(info(dir.file("d.png")), nullptr);
}

// The ancillary chunks kept may hold 64 MiB in all (less the decoder's
// record of each, a few hundred bytes). A compressed text chunk is inflated
// into a buffer that doubles and may not outgrow the 16 MiB of one chunk
// with the text's terminator: 8 MiB of text fits, one byte more does not.
TEST_F(EngineTest, PngChunkLimitsFromBothSides) {
  const std::string base = imagefiles::readFile(png(gradient(4, 4)));
  auto text = [](size_t bytes) {
    return pngChunk("tEXt", std::string("Comment\0", 8) + std::string(bytes, 'x'));
  };
  auto compressed = [](size_t bytes) {
    const std::string raw(bytes, 'x');
    uLongf size = compressBound(uLong(bytes));
    std::string z(size, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(z.data()), &size,
                       reinterpret_cast<const Bytef*>(raw.data()), uLong(bytes)),
              Z_OK);
    return pngChunk("zTXt", std::string("Comment\0\0", 9) + z.substr(0, size));
  };
  const size_t half = 32u << 20;
  const std::tuple<size_t, size_t, bool> cases[] = {{2 * half - 1024, 0, true},
                                                    {2 * half + 1, 0, false},
                                                    {0, 8u << 20, true},
                                                    {0, (8u << 20) + 1, false}};
  for (const auto& [plain, packed, accepted] : cases) {
    SCOPED_TRACE(testing::Message() << plain << " bytes of text, " << packed << " compressed");
    std::string bytes = base;
    bytes.insert(33,
                 plain != 0 ? text(half) + text(plain - half) : compressed(packed));  // after IHDR
    const std::string path = dir.write("chunks.png", bytes);
    if (accepted) {
      EXPECT_NE(decode(path), nullptr) << kor::ErrorStorage::reason();
    } else {
      EXPECT_EQ(failure(path), kor::Status::kLimit);
    }
  }
}

// Baseline, progressive and grey JPEG; CMYK with and without the Adobe
// marker (inverted or plain ink) and YCCK, C, M, Y, K stored as given.
TEST_F(EngineTest, JpegOfEveryColourSpaceDecodesWithinPsnr) {
  const Image image = gradient(48, 32), ink = gradient(48, 32, [](size_t) { return uint8_t(200); });
  const std::tuple<int, bool, bool, bool> cases[] = {
      {3, false, false, false}, {3, true, false, false},  {1, false, false, false},
      {4, false, true, false},  {4, false, false, false}, {4, false, true, true}};
  for (const auto& [channels, progressive, adobe, ycck] : cases) {
    SCOPED_TRACE(testing::Message() << channels << (progressive ? " progressive" : "")
                                    << (adobe ? " adobe" : "") << (ycck ? " ycck" : ""));
    imagefiles::JpegOptions o{.quality = 95, .progressive = progressive, .channels = channels};
    o.ycck = ycck;
    o.adobeMarker = adobe;
    Image want = image;
    for (size_t i = 0; channels == 4 && i < want.rgba.size(); i += 4)
      for (int k = 0; k < 3; ++k) {
        const int v = ink.rgba[i + k];
        want.rgba[i + k] = adobe ? uint8_t(v * 200 / 255) : uint8_t((255 - v) * 55 / 255);
      }
    DECODE(got, decode(jpeg(channels == 4 ? ink : image, o)));
    EXPECT_GE(psnr(got, want, channels == 1 ? 1 : 3), 30.0);
  }
}

// The first frame of a GIF or a WebP animation at its place on a transparent
// canvas of the screen's size, the frames after it unread; a WebP still
// image, and a frame at (0, 0) on a canvas of its size, are the image. GIF:
// the transparent index, either colour table, interlaced rows.
TEST_F(EngineTest, FirstFrameOnATransparentCanvas) {
  const uint32_t w = 9, h = 11;
  const std::vector<Rgb> palette = {{1, 2, 3}, {40, 50, 60}, {200, 0, 0}, {0, 200, 0}, {0, 0, 9}};
  std::vector<uint8_t> indices(w * h);
  Image frame{w, h, std::vector<uint8_t>(w * h * 4)};  // the GIF's: index 3 is transparent
  for (size_t i = 0; i < indices.size(); ++i) {
    indices[i] = uint8_t(i % 5);
    if (i % 5 == 3) continue;
    std::memcpy(&frame.rgba[i * 4], palette[i % 5].data(), 3);
    frame.rgba[i * 4 + 3] = 255;
  }
  const Image image = gradient(w, h, [](size_t i) { return uint8_t(i * 7); });
  // A file, its frame, the canvas's width and height, where the frame lies.
  std::vector<std::tuple<std::string, const Image*, uint32_t, uint32_t, uint32_t, uint32_t>> cases;
  for (bool local : {false, true}) {  // the local table with interlaced rows
    imagefiles::GifOptions o{.screenWidth = 15, .screenHeight = 14, .left = 4, .top = 2};
    o.globalPalette = local ? std::vector<Rgb>(2, Rgb{9, 9, 9}) : palette;
    o.localPalette = local ? palette : std::vector<Rgb>{};
    o.transparentIndex = 3;
    o.interlace = local;
    o.extraFrames = 200;
    cases.push_back({make(local ? "l.gif" : "g.gif", imagefiles::writeGif, w, h, indices.data(), o),
                     &frame, 15, 14, 4, 2});
  }
  // A WebP still image, a frame covering its canvas, one at (4, 2) on a larger one.
  const uint32_t webp[][4] = {{0, 0, 0, 0}, {w, h, 0, 0}, {w + 8, h + 4, 4, 2}};
  for (const auto& [width, height, x, y] : webp) {
    imagefiles::WebpOptions o{.lossless = true, .canvasWidth = width, .canvasHeight = height};
    o.frameX = x;
    o.frameY = y;
    o.extraFrames = 3;
    cases.push_back({make("f" + std::to_string(width) + ".webp", imagefiles::writeWebp, w, h,
                          image.rgba.data(), o),
                     &image, width == 0 ? w : width, height == 0 ? h : height, x, y});
  }
  for (const auto& [path, frameImage, width, height, left, top] : cases) {
    SCOPED_TRACE(path);
    DECODE(got, decode(path));
    ASSERT_EQ(got.width, width);
    ASSERT_EQ(got.height, height);
    const uint8_t clear[4] = {};
    for (uint32_t y = 0; y < height; ++y)
      for (uint32_t x = 0; x < width; ++x) {
        const uint32_t fx = x - left, fy = y - top;
        const uint8_t* want = fx < w && fy < h ? frameImage->at(fx, fy) : clear;
        ASSERT_EQ(0, std::memcmp(want, got.at(x, y), 4)) << x << "," << y;
      }
  }
}

// Colour within a PSNR of 30. WebP keeps alpha exactly; HEIF and AVIF code
// it as an image of its own (monochrome), lossy too. Without alpha every
// pixel is opaque. AV1 comes in every chroma layout at 8, 10 and 12 bits.
TEST_F(EngineTest, LossyWebpHeifAndAvifDecodeWithinPsnr) {
  const Image opaque = gradient(64, 48),
              translucent = gradient(64, 48, [](size_t i) { return uint8_t(128 + (i / 4) % 128); });
  using imagefiles::HeifOptions;
  const struct {
    const char* name;
    HeifOptions heif;
  } cases[] = {{"webp", {}},
               {"heic", {}},
               {"avif", {.avif = true}},
               {"avif 10-bit 4:2:2", {.avif = true, .bitDepth = 10, .chroma = "422"}},
               {"avif 12-bit 4:4:4", {.avif = true, .bitDepth = 12, .chroma = "444"}}};
  for (const auto& c : cases)
    for (bool alpha : {false, true}) {
      if (alpha && c.heif.chroma != nullptr && c.heif.chroma[1] == '2')
        continue;  // libheif cannot code it
      SCOPED_TRACE(testing::Message() << c.name << (alpha ? " alpha" : ""));
      const Image& image = alpha ? translucent : opaque;
      HeifOptions heif = c.heif;
      heif.alpha = alpha;
      const bool webp = c.name[0] == 'w';
      const std::string path = webp ? make("l.webp", imagefiles::writeWebp, 64, 48,
                                           image.rgba.data(), imagefiles::WebpOptions{})
                                    : make(heif.avif ? "l.avif" : "l.heic", imagefiles::writeHeif,
                                           64, 48, image.rgba.data(), heif);
      DECODE(got, decode(path));
      EXPECT_GE(psnr(got, image), 30.0);
      if (alpha && !webp) {
        EXPECT_GE(psnr(got, image, 4), 30.0);
      } else {
        for (size_t i = 3; i < got.rgba.size(); i += 4) ASSERT_EQ(got.rgba[i], image.rgba[i]) << i;
      }
    }
}

// Every photometric kind, depth, layout and compression of baseline TIFF
// against the pixels written: exact, colour under any alpha included;
// within 1 where 16-bit samples are narrowed and CMYK is mixed; within a
// PSNR for JPEG. Of a file of three pages the first is read.
TEST_F(EngineTest, TiffEveryKindDecodes) {
  const uint32_t w = 37, h = 21;
  const Image image = gradient(w, h, [](size_t i) { return uint8_t(i * 7); });
  const std::vector<Rgb> palette = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {9, 99, 199}};
  using O = imagefiles::TiffOptions;
  const std::pair<O, const char*> cases[] = {
      {{}, "rgb"},
      {{.channels = 4, .alpha = true}, "rgba"},
      {{.bitsPerSample = 16}, "rgb 16"},
      {{.photometric = 1, .channels = 1}, "grey"},
      {{.photometric = 1, .bitsPerSample = 16, .channels = 1}, "grey 16"},
      {{.photometric = 0, .bitsPerSample = 1, .channels = 1}, "bilevel min-is-white"},
      {{.photometric = 3, .channels = 1, .palette = palette}, "palette"},
      {{.photometric = 5, .channels = 4}, "cmyk"},
      {{.compression = 5}, "lzw"},
      {{.compression = 8, .tileWidth = 16, .tileHeight = 32}, "deflate tiles"},
      {{.compression = 32773, .rowsPerStrip = 5}, "packbits"},
      {{.compression = 7, .rowsPerStrip = 16}, "jpeg"},
      {{.compression = 7, .tileWidth = 16, .tileHeight = 16}, "jpeg tiles"},
      {{.channels = 4, .alpha = true, .tileWidth = 32, .tileHeight = 16, .extraPages = 2},
       "rgba tiles, three pages"}};
  for (const auto& [o, what] : cases) {
    SCOPED_TRACE(what);
    std::vector<uint16_t> samples;
    Image want{w, h, {}};
    for (uint32_t p = 0; p < w * h; ++p) {
      const uint8_t* px = image.at(p % w, p / w);
      uint8_t out[4] = {px[0], px[1], px[2], o.alpha ? px[3] : uint8_t(255)};
      if (o.photometric == 3) {
        samples.push_back(p % 4);
        std::copy_n(palette[p % 4].data(), 3, out);
      } else if (o.photometric == 5) {
        for (int c = 0; c < 3; ++c) out[c] = uint8_t((255 - 30) * (255 - px[c]) / 255);
        samples.insert(samples.end(), {px[0], px[1], px[2], 30});
      } else if (o.bitsPerSample == 1) {
        samples.push_back(px[0] >> 7);
        std::fill_n(out, 3, px[0] >> 7 ? 0 : 255);
      } else {
        for (int c = 0; c < o.channels; ++c)
          samples.push_back(o.bitsPerSample == 16 ? uint16_t(px[c] * 256 + p % 100) : px[c]);
        if (o.photometric == 1) std::fill_n(out, 3, px[0]);
      }
      want.rgba.insert(want.rgba.end(), out, out + 4);
    }
    DECODE(got, decode(make("k.tif", imagefiles::writeTiff, w, h, samples, o)));
    if (o.compression == 7) {  // the writer pads edge tiles with black, which rings
      EXPECT_GE(psnr(got, want), o.tileWidth != 0 ? 25.0 : 30.0);
      continue;
    }
    const int tolerance = o.bitsPerSample == 16 || o.photometric == 5 ? 1 : 0;
    for (size_t i = 0; i < want.rgba.size(); ++i)
      ASSERT_NEAR(got.rgba[i], want.rgba[i], tolerance) << i;
  }
}

// Threads from kThreadedCodedBytes of coded data on: the cores this process
// may run on, at most 8; none below.
TEST_F(EngineTest, OnlyEnoughCodedDataIsDecodedOnThreads) {
  cpu_set_t cores;
  ASSERT_EQ(sched_getaffinity(0, sizeof cores, &cores), 0);
  ASSERT_TRUE(lumo::internal::useOwnHeifDecoders());
  EXPECT_EQ(lumo::internal::heifCodecThreads(lumo::internal::kThreadedCodedBytes - 1), 1);
  EXPECT_EQ(lumo::internal::heifCodecThreads(lumo::internal::kThreadedCodedBytes),
            std::min(CPU_COUNT(&cores), 8));
}

TEST_F(EngineTest, BmpEveryDepthAndLayoutDecodesExactly) {
  const uint32_t w = 11, h = 6;
  std::vector<Rgb> palette;
  for (int i = 0; i < 256; ++i) palette.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
  const Image image = gradient(w, h, [](size_t i) { return uint8_t(i * 3); });
  const std::tuple<int, bool, bool, bool, int> cases[] = {
      {1, false, false, false, 40},  {4, false, false, false, 40},  {8, true, false, false, 40},
      {8, false, false, false, 12},  {8, false, true, false, 40},   {4, false, true, false, 40},
      {16, false, false, false, 40}, {16, true, false, true, 40},   {24, false, false, false, 124},
      {24, false, false, false, 12}, {32, false, false, false, 40}, {32, true, false, true, 108},
      {2, false, false, false, 40},  {8, false, false, false, 16},  {24, true, false, false, 64},
      {24, false, true, false, 64}};  // OS/2 2.x headers, RLE24
  std::vector<uint8_t> indices(w * h);
  for (const auto& [bpp, topDown, rle, fields, header] : cases) {
    SCOPED_TRACE(testing::Message() << bpp << " bits, header " << header << (rle ? " rle" : "")
                                    << (topDown ? " top-down" : "") << (fields ? " fields" : ""));
    const auto colours = std::min<size_t>(palette.size(), size_t{1} << bpp);
    imagefiles::BmpOptions o{.bpp = bpp, .topDown = topDown, .rle = rle, .bitFields = fields};
    o.palette.assign(palette.begin(), palette.begin() + colours);
    o.headerSize = header;
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t((i / 3 * 5 + i % 2) % colours);
    DECODE(got, decode(make("a.bmp", imagefiles::writeBmp, w, h,
                            bpp <= 8 ? indices.data() : image.rgba.data(), o)));
    for (uint32_t p = 0; p < w * h; ++p) {
      uint8_t want[4] = {0, 0, 0, 255};
      const uint8_t* s = &image.rgba[p * 4];
      if (bpp <= 8) {
        std::memcpy(want, palette[indices[p]].data(), 3);
      } else if (bpp == 16) {  // 5-5-5, or 5-6-5 with bit fields
        want[0] = widen(s[0] >> 3, 5);
        want[1] = fields ? widen(s[1] >> 2, 6) : widen(s[1] >> 3, 5);
        want[2] = widen(s[2] >> 3, 5);
      } else {
        std::memcpy(want, s, bpp == 32 ? 4 : 3);
      }
      ASSERT_EQ(0, std::memcmp(want, got.at(p % w, p / w), 4)) << "pixel " << p;
    }
  }
}

// Masks of any width up to 32 bits, in every header that holds them, widened
// as widen() does. Alpha all 0 reads as opaque; one pixel with alpha makes it
// count.
TEST_F(EngineTest, BmpBitFieldsOfAnyWidth) {
  const uint32_t w = 9, h = 5;
  const Image image = gradient(w, h, [](size_t i) { return uint8_t(i * 29); });
  const std::tuple<const char*, int, int, std::array<uint32_t, 4>> cases[] = {
      {"A1R5G5B5", 16, 108, {0x7c00, 0x03e0, 0x001f, 0x8000}},
      {"A4R4G4B4", 16, 124, {0x0f00, 0x00f0, 0x000f, 0xf000}},
      {"R3G3B2", 16, 56, {0x00e0, 0x001c, 0x0003, 0}},
      {"R11G11B10", 32, 56, {0xffe00000, 0x001ffc00, 0x000003ff, 0}},
      {"A2R10G10B10", 32, 108, {0x3ff00000, 0x000ffc00, 0x000003ff, 0xc0000000}},
      {"R16G16 B1 A15", 32, 40, {0xffff0000, 0x0000ff00, 0x00000080, 0x0000007f}},
      {"A8B8G8R8 in four masks after the header", 32, 40, {0xff, 0xff00, 0xff0000, 0xff000000}},
  };
  for (const auto& [name, bpp, header, masks] : cases)
    for (bool clearAlpha : {false, true}) {
      SCOPED_TRACE(testing::Message() << name << (clearAlpha ? ", alpha all 0" : ""));
      Image source = image;
      for (size_t i = 3; clearAlpha && i < source.rgba.size(); i += 4) source.rgba[i] = 0;
      const std::string path =
          make("f.bmp", imagefiles::writeBmp, w, h, source.rgba.data(),
               imagefiles::BmpOptions{.bpp = bpp, .masks = masks, .headerSize = header});
      EXPECT_EQ(info(path)->hasAlpha, masks[3] != 0);
      DECODE(got, decode(path));
      for (uint32_t p = 0; p < w * h; ++p)
        for (int k = 0; k < 4; ++k) {
          const int bits = std::popcount(masks[k]);
          const uint64_t max = (uint64_t{1} << bits) - 1;
          const auto stored = uint32_t((source.rgba[p * 4 + k] * max + 127) / 255);
          const int want = bits == 0 || (k == 3 && clearAlpha) ? 255 : widen(stored, bits);
          ASSERT_EQ(got.rgba[p * 4 + k], want) << "pixel " << p << " channel " << k;
        }
    }
}

TEST_F(EngineTest, BmpRleDeltaAndShortPalette) {
  // RLE8, 4 x 3: row 0 (bottom) "run of 2 x index 1", delta (+1, +1) to
  // (3, 1), one pixel of index 2, end of bitmap. Skipped pixels take
  // entry 0; index 2 lies beyond the 2-entry palette and reads black.
  const uint8_t unused[12] = {};
  std::string file = imagefiles::readFile(
      make("r.bmp", imagefiles::writeBmp, 4, 3, unused,
           imagefiles::BmpOptions{.bpp = 8, .rle = true, .palette = {{10, 20, 30}, {40, 50, 60}}}));
  file =
      file.substr(0, uint8_t(file[10])) + std::string("\x02\x01\0\x02\x01\x01\x01\x02\0\x01", 10);
  const Image got = toImage(*decode(dir.write("r.bmp", file)));
  const uint8_t a[4] = {10, 20, 30, 255}, b[4] = {40, 50, 60, 255}, black[4] = {0, 0, 0, 255};
  const uint8_t* want[3][4] = {{a, a, a, a}, {a, a, a, black}, {b, b, a, a}};
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x)
      EXPECT_EQ(0, std::memcmp(got.at(x, y), want[y][x], 4)) << x << y;
}

// Headers that mean nothing the decoder could draw are refused with the
// reason before anything is allocated.
TEST_F(EngineTest, BmpHeadersThatMeanNothingAreRefused) {
  const uint8_t pixels[8 * 4 * 4] = {};
  const auto bad = kor::Status::kCorrupt;
  // Bits per pixel, masks, a byte of the header (if not 0) set to a value.
  const std::tuple<int, std::array<uint32_t, 4>, size_t, uint8_t, kor::Status::Code> cases[] = {
      {16, {0xf800, 0x07e0, 0x001d, 0}, 0, 0, bad},           // a gap in blue
      {16, {0x1f0000, 0x07e0, 0x001f, 0}, 0, 0, bad},         // red beyond the pixel
      {16, {0, 0x07e0, 0x001f, 0}, 0, 0, bad},                // no red
      {32, {0xff, 0xff, 0xff, 0}, 0, 0, bad},                 // all three the same
      {32, {0xff0000, 0xff00, 0xff, 0x50000000}, 0, 0, bad},  // a gap in alpha
      {24, {}, 30, 3, bad},                                   // bit fields
      {24, {}, 30, 1, bad},                                   // RLE8
      {24, {}, 30, 4, kor::Status::kUnsupported},             // JPEG inside
      {24, {}, 30, 5, kor::Status::kUnsupported},             // PNG inside
      {24, {}, 26, 2, bad},                                   // planes
      {24, {}, 28, 3, bad},                                   // bit depth
      {24, {}, 10, 10, bad},                                  // data offset
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const auto& [bpp, masks, at, byte, code] = c;
    std::string bytes =
        imagefiles::readFile(make("h.bmp", imagefiles::writeBmp, 8, 4, pixels,
                                  imagefiles::BmpOptions{.bpp = bpp, .masks = masks}));
    if (at != 0) bytes[at] = char(byte);
    EXPECT_EQ(failure(dir.write("h.bmp", bytes)), code);
  }
}

// ---------------------------------------------------------------------------
// Output formats.

TEST_F(EngineTest, ExplicitFormatsHaveTheRightBytes) {
  const std::string path = png(Image{1, 1, {255, 128, 0, 200}});
  using B = BitmapInfo;
  const std::pair<B::Format, std::vector<uint8_t>> cases[] = {
      {B::kFormatL8, {152}},
      {B::kFormatLA88, {152, 200}},
      {B::kFormatRGB565, {0x00, 0xFC}},
      {B::kFormatRGB888, {255, 128, 0}},
      {B::kFormatBGR888, {0, 128, 255}},
      {B::kFormatRGBA8888, {255, 128, 0, 200}},
      {B::kFormatBGRA8888, {0, 128, 255, 200}},
      {B::kFormatARGB8888, {200, 255, 128, 0}}};
  for (const auto& [format, bytes] : cases) {
    BitmapPtr b = decode(path, format);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->format, format);
    EXPECT_EQ(std::vector<uint8_t>(b->pixels, b->pixels + b->stride), bytes) << format;
  }
  // An unknown format or scaling method, and keeping the aspect ratio.
  EXPECT_EQ(decode(path, static_cast<BitmapInfo::Format>(9)), nullptr);
  EXPECT_STREQ(kor::ErrorStorage::reason(), "unsupported pixel format 9");
  const util::UnicodeString8 at(path.c_str());
  for (int method : {0, 1})
    EXPECT_EQ(engine.createBitmap(at, BitmapInfo::kFormatDefault, {2, 2},
                                  static_cast<Bitmap::ScalingMethod>(method), method == 0, nullptr),
              nullptr);
}

// ---------------------------------------------------------------------------
// Scaling.

// Every format against a box filter in floating point over its full decode,
// premultiplied by alpha (transparent colour does not bleed): exact; JPEG
// first scales by its IDCT (s/8 for the smallest s not below the target),
// within a PSNR of 30; WebP, lossless and lossy, is scaled by libwebp,
// within a PSNR of 35 in colour and alpha. The target is clamped to 1 ..
// the image's size.
TEST_F(EngineTest, ScalingMatchesAReferenceAreaAverage) {
  const uint32_t w = 80, h = 48;
  const Image image =
      gradient(w, h, [](size_t i) { return uint8_t((i / 4) % 7 == 0 ? 0 : (i - 3) % 251); });
  std::vector<uint8_t> indices(w * h);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 7 % 16);
  std::vector<Rgb> palette;
  for (int i = 0; i < 16; ++i)
    palette.push_back({uint8_t(i * 16), uint8_t(i * 3), uint8_t(255 - i)});
  using namespace imagefiles;
  const std::string paths[] = {
      png(image),
      make("s.bmp", writeBmp, w, h, indices.data(), BmpOptions{.bpp = 4, .palette = palette}),
      make("s.gif", writeGif, w, h, indices.data(),
           GifOptions{.globalPalette = palette, .transparentIndex = 5}),
      make("s.webp", writeWebp, w, h, image.rgba.data(), WebpOptions{.lossless = true}),
      make("y.webp", writeWebp, w, h, image.rgba.data(), WebpOptions{.quality = 95}),
      make("s.heic", writeHeif, w, h, image.rgba.data(), HeifOptions{}),
      make("g.heic", writeHeifGrid, 48, 48, gradient(96, 48).rgba.data(),
           HeifGridOptions{.columns = 2, .width = w, .height = h}),
      jpeg(image, {.quality = 95}),
      jpeg(image, {.quality = 95, .progressive = true}, "p.jpg")};
  const uint32_t sizes[][2] = {{40, 24}, {10, 6}, {33, 21}, {31, 18}, {80, 5},
                               {79, 47}, {1, 1},  {0, 0},   {500, 20}};
  for (const std::string& path : paths) {
    const Image full = toImage(*decode(path));
    for (const auto& [tw, th] : sizes) {
      SCOPED_TRACE(testing::Message() << path << " at " << tw << " x " << th);
      DECODE(got, scaled(path, tw, th));
      ASSERT_EQ(got.width, std::clamp(tw, 1u, w));
      ASSERT_EQ(got.height, std::clamp(th, 1u, h));
      const Image want = boxFilter(full, got.width, got.height);
      if (path.find(".jpg") != std::string::npos) {
        EXPECT_GE(psnr(got, want), 30.0);
      } else if (path.find(".webp") != std::string::npos) {
        EXPECT_GE(psnr(got, want, 4), 35.0);
      } else {
        EXPECT_EQ(got.rgba, want.rgba);
      }
    }
  }
  // The first frame of a WebP animation is scaled to its place on the
  // scaled canvas; at a half, its edges fall on whole pixels.
  const std::string frame =
      make("a.webp", writeWebp, w, h, image.rgba.data(),
           WebpOptions{
               .lossless = true, .canvasWidth = 96, .canvasHeight = 60, .frameX = 8, .frameY = 4});
  DECODE(half, scaled(frame, 48, 30));
  EXPECT_GE(psnr(half, boxFilter(toImage(*decode(frame)), 48, 30), 4), 35.0);
}

// A scaled HEIF decode takes the smallest thumbnail at least the target
// size, here one of a flat red picture, so that its pixels tell where they
// came from.
TEST_F(EngineTest, ScaledHeifTakesTheSmallestThumbnailThatSuffices) {
  const Image image = gradient(64, 48);
  imagefiles::HeifOptions o{.thumbnailSize = 32};  // 32 x 24
  for (size_t i = 0; i < image.rgba.size(); i += 4)
    o.thumbnailRgba.insert(o.thumbnailRgba.end(), {255, 0, 0, 255});
  for (int orientation : {1, 6}) {
    SCOPED_TRACE(orientation);
    o.orientation = orientation;
    const std::string path = make("t.heic", imagefiles::writeHeif, 64, 48, image.rgba.data(), o);
    const bool turned = orientation == 6;
    const Image full = toImage(*decode(path));
    const std::tuple<uint32_t, uint32_t, bool> cases[] = {
        {16, 12, true}, {32, 24, true}, {33, 24, false}, {32, 25, false}};
    for (const auto& [w, h, thumbnail] : cases) {
      const uint32_t tw = turned ? h : w, th = turned ? w : h;
      DECODE(got, scaled(path, tw, th));
      ASSERT_EQ(got.width, tw);
      if (thumbnail) {
        EXPECT_GT(got.at(tw / 2, th / 2)[0], 200) << w;
        EXPECT_LT(got.at(tw / 2, th / 2)[1], 50) << w;
      } else {
        EXPECT_EQ(got.rgba, boxFilter(full, tw, th).rgba) << w;
      }
    }
  }
}

// A grid is decoded tile by tile, each tile a coded image of its own (here
// of an odd size, with a clean aperture of its own); those of the last row
// and column are cut by the grid's edge. Every tile must land in its place.
TEST_F(EngineTest, HeifGridsAreDecodedTileByTile) {
  const Image image = gradient(180, 100);
  Image want{170, 90, {}};
  for (uint32_t y = 0; y < want.height; ++y)
    want.rgba.insert(want.rgba.end(), image.at(0, y), image.at(want.width, y));
  for (bool avif : {false, true}) {
    SCOPED_TRACE(avif ? "AV1" : "HEVC");
    DECODE(got,
           decode(make("g.heif", imagefiles::writeHeifGrid, 60, 50, image.rgba.data(),
                       imagefiles::HeifGridOptions{
                           .columns = 3, .rows = 2, .avif = avif, .width = 170, .height = 90})));
    ASSERT_EQ(std::make_pair(got.width, got.height), std::make_pair(170u, 90u));
    EXPECT_GE(psnr(got, want), 30.0);
  }
}

// Interlaced images, bottom-up BMP and RLE take other ways through the
// decoders than their plain twins (held rows, sums of the whole target,
// rows turned upside down); the pixels must come out the same, at full size
// and at target sizes that choose each way.
TEST_F(EngineTest, EveryLayoutDecodesAndScalesLikeItsPlainTwin) {
  const uint32_t w = 41, h = 29;
  const Image image = gradient(w, h, [](size_t i) { return uint8_t(i * 37 % 256); });
  std::vector<uint16_t> wide(image.rgba.size());
  for (size_t i = 0; i < wide.size(); ++i) wide[i] = uint16_t(image.rgba[i] * 257 + i % 200);
  std::vector<uint8_t> indices(size_t{w} * h);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 11 % 7);
  const std::vector<Rgb> palette = {{0, 0, 0},    {255, 0, 0},  {0, 255, 0},   {0, 0, 255},
                                    {9, 99, 199}, {50, 60, 70}, {200, 200, 10}};
  using namespace imagefiles;
  // A frame partly off the screen on every side but the left, with a
  // transparent index.
  GifOptions g{.screenWidth = 37, .screenHeight = 25, .left = 3, .top = 2};
  g.globalPalette = palette;
  g.transparentIndex = 4;
  BmpOptions b{.bpp = 8, .topDown = true, .palette = palette};
  std::vector<std::pair<std::string, std::string>> twins = {
      {png(image, {}, "p.png"), png(image, {.interlace = true}, "i.png")},
      {make("p16.png", writePng, w, h, wide, PngOptions{.bitDepth = 16}),
       make("i16.png", writePng, w, h, wide, PngOptions{.bitDepth = 16, .interlace = true})},
      {make("p.gif", writeGif, w, h, indices.data(), g), ""},
      {make("t.bmp", writeBmp, w, h, indices.data(), b), ""}};
  g.interlace = true;
  twins[2].second = make("i.gif", writeGif, w, h, indices.data(), g);
  b.topDown = false;
  twins[3].second = make("b.bmp", writeBmp, w, h, indices.data(), b);
  b.rle = true;
  twins.emplace_back(twins[3].first, make("r.bmp", writeBmp, w, h, indices.data(), b));
  // JPEG XL streams its pixels a group at a time; TIFF strips and tiles.
  twins.emplace_back(twins[0].first, make("l.jxl", writeJxl, w, h, image.rgba.data(),
                                          JxlOptions{.lossless = true, .alpha = true}));
  const std::vector<uint16_t> samples(image.rgba.begin(), image.rgba.end());
  twins.emplace_back(
      make("s.tif", writeTiff, w, h, samples, TiffOptions{.channels = 4, .alpha = true}),
      make("t.tif", writeTiff, w, h, samples,
           TiffOptions{.channels = 4, .alpha = true, .tileWidth = 16, .tileHeight = 16}));
  // 40 x 28 holds the even rows; 5 x 4 sums the whole target.
  const uint32_t sizes[][2] = {{0, 0}, {40, 28}, {20, 14}, {5, 4}, {1, 1}};
  for (const auto& [plain, other] : twins)
    for (const auto& [tw, th] : sizes) {
      SCOPED_TRACE(testing::Message() << other << " at " << tw << " x " << th);
      DECODE(want, tw == 0 ? decode(plain) : scaled(plain, tw, th));
      DECODE(got, tw == 0 ? decode(other) : scaled(other, tw, th));
      EXPECT_EQ(got.rgba, want.rgba);
    }
}

// ---------------------------------------------------------------------------
// Orientation.

TEST_F(EngineTest, ExifOrientationTurnsInfoAndPixels) {
  // Stored 32 x 16: a white block top-left, a grey block top-right, black
  // elsewhere. Expected corners of the displayed image per orientation.
  Image image{32, 16, {}};
  for (uint32_t p = 0; p < 32 * 16; ++p) {
    const uint8_t v = p / 32 >= 8 ? 0 : p % 32 < 8 ? 255 : p % 32 >= 24 ? 120 : 0;
    image.rgba.insert(image.rgba.end(), {v, v, v, 255});
  }
  enum Corner { TL, TR, BL, BR };
  const Corner white[9] = {TL, TL, TR, BR, BL, TL, TR, BR, BL};
  const Corner grey[9] = {TL, TR, TL, BL, BR, BL, BR, TR, TL};
  // JPEG and WebP carry it in Exif data (either byte order; WebP's with or
  // without the header of a JPEG segment), HEIF in the container's rotation
  // and mirroring. A lossless WebP, which is turned in its bitmap, must come
  // out as the image turned, to the last pixel.
  for (int o = 1; o <= 8; ++o)
    for (const char* format : {"jpeg", "webp", "lossless webp", "heif", "tiff", "xl"}) {
      SCOPED_TRACE(testing::Message() << format << " " << o);
      const bool even = o % 2 == 0, lossless = format[0] == 'l' || format[0] >= 't';
      std::vector<uint16_t> rgb;
      for (size_t p = 0; p < image.rgba.size(); p += 4)
        rgb.insert(rgb.end(), &image.rgba[p], &image.rgba[p] + 3);
      const std::string path =
          format[0] == 'j'
              ? jpeg(image, {.quality = 95, .exifOrientation = o, .exifBigEndian = even})
          : format[0] == 'h' ? make("o.heic", imagefiles::writeHeif, 32, 16, image.rgba.data(),
                                    imagefiles::HeifOptions{.orientation = o})
          : format[0] == 't' ? make("o.tif", imagefiles::writeTiff, 32, 16, rgb,
                                    imagefiles::TiffOptions{.rowsPerStrip = 3, .orientation = o})
          : format[0] == 'x' ? make("o.jxl", imagefiles::writeJxl, 32, 16, image.rgba.data(),
                                    imagefiles::JxlOptions{.lossless = true, .orientation = o})
                             : make("o.webp", imagefiles::writeWebp, 32, 16, image.rgba.data(),
                                    imagefiles::WebpOptions{.lossless = lossless,
                                                            .quality = 95,
                                                            .exifOrientation = o,
                                                            .exifHeader = even});
      const bool turned = o >= 5;
      InfoPtr i = info(path);
      ASSERT_NE(i, nullptr);
      EXPECT_EQ(i->width, turned ? 16u : 32u);
      EXPECT_EQ(i->height, turned ? 32u : 16u);
      const Image got = toImage(*decode(path));
      ASSERT_EQ(got.width, i->width);
      if (lossless) {
        EXPECT_EQ(got.rgba, turn(image, o).rgba);
      }
      for (Corner c : {TL, TR, BL, BR}) {
        const uint32_t x = (c == TR || c == BR) ? got.width - 4 : 3;
        const uint32_t y = (c == BL || c == BR) ? got.height - 4 : 3;
        EXPECT_NEAR(got.at(x, y)[1], c == white[o] ? 255 : c == grey[o] ? 120 : 0, 12) << c;
      }
      // The target size is given as displayed.
      BitmapPtr small = scaled(path, turned ? 8 : 16, turned ? 16 : 8);
      ASSERT_NE(small, nullptr);
      EXPECT_EQ(small->width, turned ? 8u : 16u);
      if (lossless) {
        EXPECT_GE(psnr(toImage(*small), boxFilter(turn(image, o), small->width, small->height)),
                  35.0);
      }
    }
}

// ---------------------------------------------------------------------------
// Files longer than one read of the engine (128 KiB), and headers beyond the
// first read of an information request (4 KiB).

TEST_F(EngineTest, FilesLongerThanOneReadDecodeExactly) {
  const uint32_t w = 400, h = 400;
  std::vector<uint8_t> indices(size_t{w} * h);
  uint64_t state = 1;  // noise, so that neither LZW nor RLE can shrink it
  for (uint8_t& index : indices) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    index = uint8_t(state >> 56);
  }
  std::vector<Rgb> palette;
  for (int i = 0; i < 256; ++i) palette.push_back({uint8_t(i), uint8_t(i * 3), uint8_t(255 - i)});
  const Image image = gradient(w, h, [](size_t i) { return uint8_t(i >> 5); });
  Image indexed{w, h, std::vector<uint8_t>(size_t{w} * h * 4, 255)};
  for (size_t i = 0; i < indices.size(); ++i)
    std::memcpy(&indexed.rgba[i * 4], palette[indices[i]].data(), 3);
  // A 300 KB comment before the image data: even the information request
  // reads on through several reads to reach the first image data chunk.
  std::string text = imagefiles::readFile(png(image));
  text.insert(33, pngChunk("tEXt", std::string("Comment\0", 8) + std::string(300000, 'x')));
  const std::pair<std::string, const Image&> cases[] = {
      {dir.write("text.png", text), image},
      {make("rle.bmp", imagefiles::writeBmp, w, h, indices.data(),
            imagefiles::BmpOptions{.bpp = 8, .rle = true, .palette = palette}),
       indexed},
      {make("a.gif", imagefiles::writeGif, w, h, indices.data(),
            imagefiles::GifOptions{.globalPalette = palette}),
       indexed}};
  for (const auto& [path, want] : cases) {
    SCOPED_TRACE(path);
    ASSERT_GT(imagefiles::readFile(path).size(), size_t{160} << 10);
    DECODE(got, decode(path));
    EXPECT_EQ(got.rgba, want.rgba);
    InfoPtr i = info(path);
    ASSERT_NE(i, nullptr) << kor::ErrorStorage::reason();
    EXPECT_EQ(std::make_pair(i->width, i->height), std::make_pair(w, h));
  }
}

TEST_F(EngineTest, JpegSegmentsBeyondTheFirstReadAreReadOrSkipped) {
  // Stored 40 x 24 with Exif orientation 6 (shown 24 x 40). In front of the
  // Exif block go three segments of 64 KiB that the decoder skips, so the
  // block starts far beyond one read; it is padded to almost 64 KiB itself.
  const std::string plain = jpeg(gradient(40, 24), {.exifOrientation = 6}, "plain.jpg");
  const std::string bytes = imagefiles::readFile(plain);
  auto segment = [](uint8_t marker, const std::string& data) {
    return std::string{char(0xFF), char(marker)} + be16(uint32_t(data.size() + 2)) + data;
  };
  std::string big = bytes.substr(0, 2);
  size_t pos = 2, exifAt = 0;
  while (pos + 4 <= bytes.size() && uint8_t(bytes[pos + 1]) != 0xDA) {
    const size_t length = (uint8_t(bytes[pos + 2]) << 8 | uint8_t(bytes[pos + 3])) + 2;
    if (uint8_t(bytes[pos + 1]) == 0xE1) {
      // End-of-image markers throughout: a skip that lands anywhere but at
      // the segment's end stops the decoder.
      std::string skipped;
      while (skipped.size() < 65533) skipped += "\xFF\xD9";
      for (int k = 0; k < 3; ++k) big += segment(0xE2, skipped.substr(0, 65533));
      exifAt = big.size();
      std::string exif = bytes.substr(pos + 4, length - 4);
      big += segment(0xE1, exif + std::string(65533 - exif.size(), '\0'));
    } else {
      big += bytes.substr(pos, length);
    }
    pos += length;
  }
  ASSERT_NE(exifAt, 0u);
  const std::string path = dir.write("big.jpg", big + bytes.substr(pos));
  InfoPtr i = info(path);
  ASSERT_NE(i, nullptr) << kor::ErrorStorage::reason();
  EXPECT_EQ(std::make_pair(i->width, i->height), std::make_pair(24u, 40u));
  EXPECT_EQ(toImage(*decode(path)).rgba, toImage(*decode(plain)).rgba);
  EXPECT_EQ(toImage(*scaled(path, 12, 20)).rgba, toImage(*scaled(plain, 12, 20)).rgba);
  // Cut inside the skipped segments and inside the Exif block.
  for (size_t cut : {size_t{100000}, exifAt + 30000}) {
    SCOPED_TRACE(cut);
    const std::string cutPath = dir.write("cut.jpg", big.substr(0, cut));
    kor::ErrorStorage::ack();
    EXPECT_EQ(info(cutPath), nullptr);
    EXPECT_EQ(kor::ErrorStorage::code(), kor::Status::kCorrupt);
    EXPECT_EQ(failure(cutPath), kor::Status::kCorrupt);
  }
}

// ---------------------------------------------------------------------------
// Limits and failures.

// At most 256 Mi pixels, a row counting as at least 16 pixels wide, from the
// header of every format: a decode refuses before anything of the image's
// size is allocated; the information is read on both sides of the limit.
TEST_F(EngineTest, SizeLimitFromBothSides) {
  const uint8_t pixel[4] = {1, 2, 3, 255};
  const std::string jpegBytes = imagefiles::readFile(jpeg(Image{1, 1, {1, 2, 3, 255}}));
  const std::string heifBytes =
      imagefiles::readFile(make("h.heic", imagefiles::writeHeif, 64, 48,
                                gradient(64, 48).rgba.data(), imagefiles::HeifOptions{}));
  // A file of |format| that claims |w| x |h|.
  auto claim = [&](char format, uint32_t w, uint32_t h) {
    const std::string path = dir.file("claim");
    std::string bytes = format == 'j' ? jpegBytes : heifBytes;
    if (format == 'j') bytes.replace(bytes.find("\xFF\xC0") + 5, 4, be16(h) + be16(w));
    if (format == 'h') bytes.replace(bytes.rfind("ispe") + 8, 8, be32(w) + be32(h));
    if (format == 't') bytes = tiffHeader(w, h, h);
    if (format == 'x') bytes = jxlHeader(w, h);
    const std::vector<Rgb> palette = {{0, 0, 0}, {1, 1, 1}};
    using namespace imagefiles;
    EXPECT_TRUE(
        format == 'b'   ? writeBmpHeader(path, w, h)
        : format == 'p' ? writePngHeader(path, w, h)
        : format == 'g' ? writeGif(path, 1, 1, pixel,
                                   {.screenWidth = w, .screenHeight = h, .globalPalette = palette})
        : format == 'w' ? writeWebp(path, 1, 1, pixel, {.canvasWidth = w, .canvasHeight = h})
                        : writeFile(path, bytes));
    return path;
  };
  std::vector<std::tuple<char, uint32_t, uint32_t, bool>> cases = {
      {'b', 1, 16777216, true},  {'b', 1, 16777217, false},
      {'b', 16, 16777216, true}, {'b', 15, 17895697, false},
      {'b', 17, 15790320, true}, {'b', 17, 15790321, false}};  // 2^28 + 1 pixels
  for (char format : {'p', 'g', 'w', 'j', 'h', 't', 'x'})  // the WebP's is an animation's canvas
    cases.insert(cases.end(), {{format, 16384, 16384, true}, {format, 16384, 16385, false}});
  for (const auto& [format, width, height, accepted] : cases) {
    SCOPED_TRACE(testing::Message() << format << " " << width << " x " << height);
    const std::string path = claim(format, width, height);
    InfoPtr i = info(path);
    // The information is read whatever the size; only decoding is limited.
    ASSERT_NE(i, nullptr) << kor::ErrorStorage::reason();
    EXPECT_EQ(std::make_tuple(i->width, i->height), std::make_tuple(width, height));
    if (accepted) {
      // A BMP's data is checked to be there before the bitmap is made.
      if (format == 'b') {
        kor::testing::failAllocations("lumo::Bitmap");
        EXPECT_EQ(failure(path), kor::Status::kCorrupt);
        kor::testing::resetAllocationFailures();
      }
    } else {
      EXPECT_EQ(failure(path), kor::Status::kLimit);
    }
  }
  // No size at all is no image, for the information too. (A GIF screen or
  // WebP canvas of 0 takes its frame's size.)
  for (char format : {'b', 'p', 'j', 'h', 't'}) {
    SCOPED_TRACE(format);
    EXPECT_EQ(info(claim(format, 0, 1)), nullptr);
  }
}

// A TIFF strip, or row of tiles, may take 256 MiB as RGBA: 16384 pixels by
// 4096 rows goes on to its (missing) data, one row more is refused before
// anything of its size is allocated. Tiles may cover twice the image plus
// 1 Mi pixels: a 1024 x 1024 tile for one pixel is read, 1024 x 1040 not.
TEST_F(EngineTest, TiffStripAndTileSizesFromBothSides) {
  const std::tuple<uint32_t, uint32_t, uint32_t, kor::Status::Code> cases[] = {
      {16384, 4096, 0, kor::Status::kCorrupt},  // the missing data
      {16384, 4097, 0, kor::Status::kLimit},
      {1, 1024, 1024, kor::Status::kCorrupt},
      {1, 1040, 1024, kor::Status::kLimit}};
  for (const auto& [w, rows, tile, code] : cases) {
    SCOPED_TRACE(rows);
    EXPECT_EQ(failure(dir.write("s.tif", tiffHeader(w, tile != 0 ? 1 : rows, rows, tile))), code);
  }
}

// The sizes a HEIF file states besides its size boxes are checked before
// libheif decodes: that of a grid in its own data (libheif makes the image at
// that size), the primary image's or a thumbnail's (which a scaled decode
// takes; found by fuzz_engine_heif), and that of the 'meta' box that holds
// them, which is read whole to find them. A grid's data is read across all
// of its extents, as libheif reads it; and libheif is told to compose no
// image larger than the larger side of its size box rounded up to 64 pixels
// (coding may pad a side that far), so that a grid whose data says more
// fails, whatever it gets past, before libheif allocates it.
TEST_F(EngineTest, HeifStatedSizesAreCheckedBeforeDecoding) {
  const std::string heif = imagefiles::readFile(make("t.heic", imagefiles::writeHeif, 64, 48,
                                                     gradient(64, 48).rgba.data(),
                                                     imagefiles::HeifOptions{.thumbnailSize = 32}));
  const size_t grid = heif.find("idat") + 8;  // the primary image's, then the thumbnail's
  ASSERT_EQ(heif.substr(grid, 12), std::string("\0\x40\0\x30\0\0\0\0\0\x20\0\x18", 12));
  for (size_t at : {grid, grid + 8}) {
    std::string bytes = heif;
    bytes.replace(at, 4, be16(16384) + be16(16385));
    EXPECT_EQ(scaled(dir.write("grid.heic", bytes), 16, 12), nullptr);
    EXPECT_STREQ(kor::ErrorStorage::reason(), "image too large: 16384 x 16385");
  }
  // A grid of one 64 x 64 tile in a size box of 100 x 100 (the grid's data
  // split in two extents: a reader of the first alone finds 100 x 100).
  // 128: decoded larger than the box says; 129: refused by libheif.
  const std::vector<uint8_t> tile(64 * 64 * 4, 90);
  const std::tuple<uint32_t, bool, kor::Status::Code> grids[] = {
      {20000, true, kor::Status::kLimit},
      {128, false, kor::Status::kCorrupt},
      {129, false, kor::Status::kLimit}};
  for (const auto& [side, split, code] : grids) {
    SCOPED_TRACE(side);
    const imagefiles::HeifGridOptions o{
        .width = side, .height = side, .boxWidth = 100, .boxHeight = 100, .splitData = split};
    EXPECT_EQ(failure(make("g.heic", imagefiles::writeHeifGrid, 64, 64, tile.data(), o)), code);
  }
  // The 'meta' box grown to 16 MiB of payload, and one byte more: its
  // 'mdat' becomes a 'free' box inside it, so the coded data keeps its
  // offsets.
  const size_t meta = heif.find("meta") - 4;
  const size_t mdat = meta + (uint8_t(heif[meta + 2]) << 8 | uint8_t(heif[meta + 3]));
  ASSERT_EQ(heif.substr(mdat + 4, 4), "mdat");
  for (uint32_t extra : {0u, 1u}) {
    const uint32_t metaSize = (16u << 20) + 8 + extra;
    std::string bytes = heif + std::string(meta + metaSize - heif.size(), '\0');
    bytes.replace(meta, 4, be32(metaSize));
    bytes.replace(mdat, 8, be32(uint32_t(bytes.size() - mdat)) + "free");
    const std::string path = dir.write("meta.heic", bytes);
    if (extra == 0) {
      EXPECT_NE(decode(path), nullptr) << kor::ErrorStorage::reason();
    } else {
      EXPECT_EQ(failure(path), kor::Status::kLimit);
    }
  }
}

// A file cut short before the end of its image fails to decode, at full size
// and scaled: no made-up pixel is ever delivered. Cut at many more places,
// or with a byte of its header flipped, each request succeeds or fails with a
// reason (and the sanitizer builds watch for leaks and overruns), never with
// a decoder process killed.
TEST_F(EngineTest, DamagedFilesFailCleanly) {
  // The information, a decode and a scaled decode of |bytes|: how many of
  // the decodes succeeded.
  auto request = [&](const std::string& bytes) {
    const std::string path = dir.write("damaged", bytes);
    int decoded = 0;
    for (int kind = 0; kind < 3; ++kind) {
      kor::ErrorStorage::ack();
      const bool ok = kind == 0 ? info(path) != nullptr
                                : (kind == 1 ? decode(path) : scaled(path, 7, 5)) != nullptr;
      const kor::Status::Code code = kor::ErrorStorage::code();
      EXPECT_TRUE(ok || code != kor::Status::kOk) << kind;
      // In decoder processes: the decoder refused the file, it did not die.
      EXPECT_TRUE(code != kor::Status::kClosed && code != kor::Status::kProtocol &&
                  code != kor::Status::kTimedOut)
          << kor::ErrorStorage::reason();
      decoded += ok && kind > 0;
    }
    kor::ErrorStorage::ack();
    return decoded;
  };
  for (const Sample& s : everyFormat()) {
    SCOPED_TRACE(s.path);
    const std::string bytes = imagefiles::readFile(s.path);
    for (size_t cut :
         {size_t{5}, size_t{30}, bytes.size() / 3, bytes.size() / 2, bytes.size() * 4 / 5})
      EXPECT_EQ(request(bytes.substr(0, cut)), 0) << "cut at " << cut;
    if (s.type == BitmapInfo::kSourceJpeg) {
      EXPECT_EQ(failure(dir.write("cut", bytes.substr(0, bytes.size() / 2))),
                kor::Status::kCorrupt);
    }
    request(bytes.substr(0, bytes.size() - 1));
    for (size_t n = 0; n < 80; n += 3) request(bytes.substr(0, n));
    for (size_t k = 1; k < 16; ++k) request(bytes.substr(0, bytes.size() * k / 16));
    for (size_t i = 0; i < 96; ++i) request(std::string(bytes).replace(i, 1, 1, char(~bytes[i])));
    // An item without data, the alpha plane's included: libheif decodes
    // alpha with its preferred AV1 decoder, whose dav1d plug-in leaked here.
    if (s.type == BitmapInfo::kSourceHeif) {
      for (const std::string& emptied : eachItemWithoutData(bytes)) EXPECT_EQ(request(emptied), 0);
    }
  }
}

TEST_F(EngineTest, OpenFailuresAndUnknownContent) {
  EXPECT_EQ(failure(dir.file("missing.png")), kor::Status::kNotFound);
  for (const char* content : {"", "just some text, not an image"})
    EXPECT_EQ(failure(dir.write("text.jpg", content)), kor::Status::kUnsupported);
  // A lossless JPEG: a process the decoder does not implement.
  std::string lossless = imagefiles::readFile(jpeg(gradient(16, 16)));
  lossless[lossless.find("\xFF\xC0") + 1] = char(0xC3);
  EXPECT_EQ(failure(dir.write("lossless.jpg", lossless)), kor::Status::kUnsupported);
}

TEST_F(EngineTest, AllocationFailuresReturnNullWithAReason) {
  const std::string path = png(gradient(8, 8));
  kor::testing::failAllocations("lumo::Bitmap");  // the record
  EXPECT_EQ(failure(path), kor::Status::kNoMemory);
  kor::testing::failAllocations("lumo::Bitmap", 1, 1);  // the pixel buffer
  EXPECT_EQ(failure(path), kor::Status::kNoMemory);
  kor::testing::failAllocations("lumo::BitmapInfo");
  EXPECT_EQ(info(path), nullptr);
  EXPECT_EQ(kor::ErrorStorage::code(), kor::Status::kNoMemory);
  EXPECT_NE(decode(path), nullptr);  // nothing left armed
}

// ---------------------------------------------------------------------------
// Colour.

// An image that describes its colour decodes to what little-cms makes of
// its stored values in sRGB, on each path of the pipeline: rows (scaled or
// not), direct rows (JPEG into RGB888, PNG into RGBA8888), whole images
// (WebP), scattered rows (interlaced PNG, into the bitmap or averaged), a
// profile split over three APP2 segments, grey through a grey profile, and
// the nclx code points of AVIF. The untagged twin gives the stored values.
TEST_F(EngineTest, TaggedImagesDecodeToSrgbOnEveryPath) {
  using imagefiles::Profile;
  using B = BitmapInfo;
  const Image image = gradient(64, 48, [](size_t i) { return uint8_t(60 + i % 190); });
  const std::string p3 = imagefiles::iccProfile(Profile::kDisplayP3);
  const std::string adobe = imagefiles::iccProfile(Profile::kAdobeRgb);
  const std::string pro = imagefiles::iccProfile(Profile::kProPhoto);
  const std::string grey = imagefiles::iccProfile(Profile::kGrey);
  ASSERT_FALSE(p3.empty() || adobe.empty() || pro.empty() || grey.empty());
  using MakeFile = std::function<std::string(const std::string& icc, const char* name)>;
  const MakeFile jpg = [&](auto& icc, auto name) { return jpeg(image, {.icc = icc}, name); };
  const MakeFile greyJpg = [&](auto& icc, auto name) {
    return jpeg(image, {.channels = 1, .icc = icc}, name);
  };
  const MakeFile rgba = [&](auto& icc, auto name) { return png(image, {.icc = icc}, name); };
  const MakeFile rgb = [&](auto& icc, auto name) {
    std::vector<uint16_t> samples;
    for (size_t i = 0; i < image.rgba.size(); ++i)
      if (i % 4 != 3) samples.push_back(image.rgba[i]);
    return make(name, imagefiles::writePng, 64, 48, samples,
                imagefiles::PngOptions{.colorType = 2, .icc = icc});
  };
  const MakeFile interlaced = [&](auto& icc, auto name) {
    return png(image, {.interlace = true, .icc = icc}, name);
  };
  const MakeFile webp = [&](auto& icc, auto name) {
    return make(name, imagefiles::writeWebp, 64, 48, image.rgba.data(),
                imagefiles::WebpOptions{.lossless = true, .icc = icc});
  };
  const MakeFile heic = [&](auto& icc, auto name) {
    return make(name, imagefiles::writeHeif, 64, 48, image.rgba.data(),
                imagefiles::HeifOptions{.icc = icc});
  };
  // Display P3 as nclx code points; the twin is nclx sRGB.
  const MakeFile avif = [&](auto& icc, auto name) {
    return make(
        name, imagefiles::writeHeif, 64, 48, image.rgba.data(),
        imagefiles::HeifOptions{.avif = true, .primaries = icc.empty() ? 1 : 12, .transfer = 13});
  };
  const struct {
    const char* name;
    MakeFile file;
    std::string icc;
    B::Format format = B::kFormatRGBA8888;
    uint32_t width = 0, height = 0;  // scaled to, when not 0
  } cases[] = {{"jpeg rows", jpg, p3},
               {"jpeg direct rows", jpg, p3, B::kFormatRGB888},
               {"jpeg scaled", jpg, adobe, B::kFormatRGBA8888, 21, 17},
               {"jpeg split profile", jpg, padded(p3, 150000)},
               {"grey jpeg rows", greyJpg, grey},
               {"grey jpeg direct rows", greyJpg, grey, B::kFormatL8},
               {"png direct rows", rgba, pro},
               {"png rows", rgb, pro},
               {"png scattered", interlaced, p3},
               {"png scattered, averaged", interlaced, p3, B::kFormatRGBA8888, 30, 20},
               {"webp whole image", webp, adobe},
               {"heic", heic, adobe},
               {"avif nclx", avif, p3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decodeAs = [&](const std::string& path) {
      BitmapPtr b(c.width != 0 ? scaled(path, c.width, c.height).release()
                               : decode(path, c.format).release());
      Image out;
      EXPECT_NE(b, nullptr) << kor::ErrorStorage::reason();
      if (b == nullptr) return out;
      const uint32_t bpp = B::getBpp(b->format);
      out = {b->width, b->height, {}};
      for (size_t i = 0; i < size_t{b->stride} * b->height; i += bpp)
        out.rgba.insert(out.rgba.end(),
                        {b->pixels[i], b->pixels[i + (bpp > 1)], b->pixels[i + (bpp > 1) * 2],
                         uint8_t(bpp == 4 ? b->pixels[i + 3] : 255)});
      return out;
    };
    const Image stored = decodeAs(c.file("", "untagged"));
    const Image got = decodeAs(c.file(c.icc, "tagged"));
    EXPECT_LE(maxDifference(got, toSrgb(stored, c.icc)), 1);
    EXPECT_GE(maxDifference(got, stored), 8);
  }
}

// RGB matrix-shaper profiles go through tables that agree with little-cms's
// own transform within one code value, on a grid through the RGB cube
// (every fifth level, 0 and 255 included), nclx Display P3 too.
TEST_F(EngineTest, MatrixShaperTablesAgreeWithLittleCms) {
  auto saved = [](cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
  };
  const cmsCIExyY d65 = {0.3127, 0.3290, 1};
  const cmsCIExyYTRIPLE p3 = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
  const double srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  const std::string nclxP3 = saved(cmsCreateRGBProfile(&d65, &p3, curves));
  cmsFreeToneCurve(curve);
  Image cube;
  for (int r = 0; r < 256; r += 5)
    for (int g = 0; g < 256; g += 5)
      for (int b = 0; b < 256; b += 5)
        cube.rgba.insert(cube.rgba.end(), {uint8_t(r), uint8_t(g), uint8_t(b), uint8_t(r ^ b)});
  cube.width = uint32_t(cube.rgba.size() / 4);
  cube.height = 1;
  using imagefiles::Profile;
  const struct {
    const char* name;
    std::string icc;
    uint16_t primaries = 0, transfer = 0;  // nclx, when not 0
  } cases[] = {{"display p3", imagefiles::iccProfile(Profile::kDisplayP3)},
               {"adobe rgb", imagefiles::iccProfile(Profile::kAdobeRgb)},
               {"prophoto", imagefiles::iccProfile(Profile::kProPhoto)},
               {"nclx display p3", nclxP3, 12, 13}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto* bytes = c.primaries != 0 ? nullptr : reinterpret_cast<const uint8_t*>(c.icc.data());
    const char* unusable = nullptr;
    lumo::internal::ColourTransform* t = lumo::internal::acquireColourTransform(
        {bytes, bytes != nullptr ? c.icc.size() : 0, c.primaries, c.transfer},
        lumo::internal::ColourLayout::kRgba, &unusable);
    ASSERT_NE(t, nullptr);
    Image got = cube;
    lumo::internal::applyColourTransform(t, cube.rgba.data(), got.rgba.data(), cube.width);
    lumo::internal::releaseColourTransform(t);
    EXPECT_LE(maxDifference(got, toSrgb(cube, c.icc)), 1);
  }
}

// Pixels go out as stored, bit for bit, when the description is sRGB (a
// profile or nclx: no transform), cannot be used (logged at level 2 on
// LUMO_Colour), or colour is not managed; and a profile may be 4 MiB long,
// not a byte more.
TEST_F(EngineTest, ColourThatNeedsNoOrCannotTakeAConversionLeavesPixelsAsStored) {
  using imagefiles::Profile;
  const Image image = gradient(64, 48);
  const std::string p3 = imagefiles::iccProfile(Profile::kDisplayP3);
  std::string damaged = p3;
  damaged[36] = 'X';  // the 'acsp' signature
  DECODE(stored, decode(jpeg(image, {}, "untagged.jpg")));
  const struct {
    const char* name;
    std::string icc;
    const char* note;  // logged, or null
  } cases[] = {
      {"srgb", imagefiles::iccProfile(Profile::kSrgb), nullptr},
      {"damaged", damaged, "little-cms cannot read the profile"},
      {"not rgb", imagefiles::iccProfile(Profile::kCmyk), "the profile's colour space"},
      {"4 MiB + 1", padded(p3, lumo::internal::kMaxIccProfileBytes + 1), "larger than 4 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::traces().clear();
    DECODE(got, decode(jpeg(image, {.icc = c.icc}, "tagged.jpg")));
    EXPECT_EQ(got.rgba, stored.rgba);
    EXPECT_EQ(testsupport::traces().countContaining("LUMO_Colour", 2, c.note ? c.note : "colour"),
              c.note != nullptr ? 1u : 0u);
  }
  DECODE(nclx, decode(make("srgb.avif", imagefiles::writeHeif, 64, 48, image.rgba.data(),
                           imagefiles::HeifOptions{.avif = true, .primaries = 1, .transfer = 13})));
  DECODE(plain, decode(make("plain.avif", imagefiles::writeHeif, 64, 48, image.rgba.data(),
                            imagefiles::HeifOptions{.avif = true, .primaries = 2, .transfer = 2})));
  EXPECT_EQ(nclx.rgba, plain.rgba);
  const std::string largest =
      jpeg(image, {.icc = padded(p3, lumo::internal::kMaxIccProfileBytes)}, "largest.jpg");
  DECODE(converted, decode(largest));
  EXPECT_LE(maxDifference(converted, toSrgb(stored, p3)), 1);
  // Decoder processes take the setting from their environment.
  if (DecoderEnvironment::enabled()) return;
  lumo::internal::setColourManaged(false);
  DECODE(unmanaged, decode(largest));
  lumo::internal::setColourManaged(true);
  EXPECT_EQ(unmanaged.rgba, stored.rgba);
}

// HDR transfer functions put diffuse white (203 cd/m²: PQ's code 148, HLG's
// 75 %, code 191) at sRGB's white and clip what is brighter; black stays
// black, and mid-tones land where the mapping puts them (sRGB's curve of
// luminance / 203).
TEST_F(EngineTest, HdrTransfersPutDiffuseWhiteAtSrgbWhite) {
  const struct {
    int transfer;
    uint8_t in, out;
  } cases[] = {{16, 148, 255}, {16, 250, 255}, {16, 100, 107}, {16, 0, 0},  // 30 cd/m²
               {18, 191, 255}, {18, 128, 137}, {18, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.transfer << ": " << int(c.in));
    const std::vector<uint8_t> flat(16 * 16 * 4, c.in);
    DECODE(got, decode(make("hdr.avif", imagefiles::writeHeif, 16, 16, flat.data(),
                            imagefiles::HeifOptions{
                                .avif = true, .primaries = 9, .transfer = c.transfer})));
    for (size_t i = 0; i < got.rgba.size(); i += 4) ASSERT_NEAR(got.rgba[i + 1], c.out, 3) << i;
  }
}

// A CMYK JPEG with a profile goes through it (Adobe's inverted CMYK and
// plain), not through the plain formula.
TEST_F(EngineTest, CmykJpegWithAProfileIsConvertedThroughIt) {
  const std::string cmyk = imagefiles::iccProfile(imagefiles::Profile::kCmyk);
  cmsHPROFILE in = cmsOpenProfileFromMem(cmyk.data(), cmsUInt32Number(cmyk.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  const Image ink = gradient(48, 32, [](size_t) { return uint8_t(100); });  // K: mid-grey
  for (bool adobe : {true, false}) {
    SCOPED_TRACE(adobe ? "adobe" : "plain");
    cmsHTRANSFORM t = cmsCreateTransform(in, adobe ? TYPE_CMYK_8_REV : TYPE_CMYK_8, srgb,
                                         TYPE_RGBA_8, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
    ASSERT_NE(t, nullptr);
    Image want = ink;
    cmsDoTransform(t, ink.rgba.data(), want.rgba.data(), 48 * 32);
    cmsDeleteTransform(t);
    for (size_t i = 3; i < want.rgba.size(); i += 4) want.rgba[i] = 255;
    imagefiles::JpegOptions o{.quality = 95, .channels = 4, .icc = cmyk};
    o.adobeMarker = adobe;
    DECODE(got, decode(jpeg(ink, o)));
    o.icc.clear();
    DECODE(plain, decode(jpeg(ink, o, "plain.jpg")));
    EXPECT_GE(psnr(got, want), 35.0);
    EXPECT_LT(psnr(plain, want), 25.0);
  }
  cmsCloseProfile(srgb);
  cmsCloseProfile(in);
}

TEST_F(EngineTest, ConcurrentDecodesAgree) {
  const Image image = gradient(120, 90);
  const std::string paths[] = {jpeg(image), png(image)};
  const Image want[] = {toImage(*scaled(paths[0], 50, 40)), toImage(*scaled(paths[1], 50, 40))};
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        BitmapPtr b = scaled(paths[t % 2], 50, 40);
        if (!b || std::memcmp(b->pixels, want[t % 2].rgba.data(), want[t % 2].rgba.size()) != 0)
          ++mismatches;
      }
      kor::ErrorStorage::ack();
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, 0);
}

// ---------------------------------------------------------------------------
// Decoder processes. The test decoder reads a file that starts with
// "IMAGESERVER-TEST <what>" as a request to misbehave, or to give its pid as
// the image's width.

class DecoderTest : public EngineTest {
 protected:
  void SetUp() override {
    lumo::internal::setDecoderExecutable(IMAGESERVER_TEST_DECODER);
    ASSERT_TRUE(lumo::startDecoders());
  }
  void TearDown() override {
    lumo::internal::setDecoderDeadlines(0, 0);
    lumo::stopDecoders();
    EngineTest::TearDown();
  }
  std::string test(const std::string& what) {
    return dir.write(what + ".png", "IMAGESERVER-TEST " + what);
  }
  // The pid of the decoder that serves |client|.
  int pidFor(uint64_t client) {
    lumo::DecoderScope scope(client);
    InfoPtr pid = info(test("pid"));
    return pid ? int(pid->width) : -1;
  }
  // Reading |path| fails; the failure.
  kor::Status infoFailure(const std::string& path) {
    kor::ErrorStorage::ack();
    EXPECT_EQ(info(path), nullptr);
    return kor::ErrorStorage::takeStatus();
  }
};

TEST_F(DecoderTest, ADecoderIsConfinedBeforeItReadsAnything) {
  const int pid = pidFor(1);
  ASSERT_GT(pid, 0);
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string status = imagefiles::readFile(proc + "/status");
  EXPECT_NE(status.find("NoNewPrivs:\t1"), std::string::npos);
  EXPECT_NE(status.find("Seccomp:\t2"), std::string::npos);
  // Only its channel is open.
  size_t open = 0;
  if (DIR* fds = opendir((proc + "/fd").c_str())) {
    while (dirent* entry = readdir(fds)) open += entry->d_name[0] != '.';
    closedir(fds);
  }
  EXPECT_EQ(open, 1u);
  const std::string limits = imagefiles::readFile(proc + "/limits");
  EXPECT_NE(limits.find("Max open files            4"), std::string::npos) << limits;
  EXPECT_NE(limits.find("Max cpu time              600"), std::string::npos) << limits;
  // Its namespaces are not ours (this kernel allows unprivileged ones).
  for (const char* ns : {"user", "net", "mnt", "ipc"}) {
    char ours[64] = {}, its[64] = {};
    ASSERT_GT(readlink(("/proc/self/ns/" + std::string(ns)).c_str(), ours, sizeof(ours) - 1), 0);
    ASSERT_GT(readlink((proc + "/ns/" + ns).c_str(), its, sizeof(its) - 1), 0);
    EXPECT_STRNE(ours, its) << ns;
  }
}

// dav1d and libde265 decode on threads of their own inside the confined
// decoder (the filter lets dav1d start and name them) once the coded data
// is large enough (noise codes large); they end with the decode, as the
// long-lived decoder must not gather them.
TEST_F(DecoderTest, Av1AndHevcDecodeOnThreadsThatEndWithTheDecode) {
  cpu_set_t cores;
  ASSERT_EQ(sched_getaffinity(0, sizeof cores, &cores), 0);
  if (CPU_COUNT(&cores) < 2) GTEST_SKIP() << "on one core the codecs decode on one thread";
  const int pid = pidFor(1);
  auto threads = [&] {
    const std::string status = imagefiles::readFile("/proc/" + std::to_string(pid) + "/status");
    return std::atoi(status.c_str() + status.find("Threads:") + 8);
  };
  const int idle = threads();
  std::vector<uint8_t> noise(256 * 192 * 4);
  for (size_t i = 0; i < noise.size(); ++i)
    noise[i] = uint8_t(i % 4 == 3 ? 255 : i * i * 2654435761u >> 24);
  lumo::DecoderScope scope(1);
  for (bool avif : {true, false}) {
    SCOPED_TRACE(avif ? "AV1" : "HEVC");
    const std::string path = make(avif ? "t.avif" : "t.heic", imagefiles::writeHeif, 256, 192,
                                  noise.data(), imagefiles::HeifOptions{.avif = avif});
    ASSERT_GE(imagefiles::readFile(path).size(), lumo::internal::kThreadedCodedBytes);
    DECODE(got, decode(path));
    EXPECT_EQ(lumo::internal::decoderOf(1), pid);
    for (int i = 0; i < 100 && threads() != idle; ++i) usleep(10 * 1000);
    EXPECT_EQ(threads(), idle);
  }
}

TEST_F(DecoderTest, ForbiddenCallsCrashesAndHangsFailOnlyTheirOwnCall) {
  const std::string good = png(gradient(8, 8));
  lumo::DecoderScope scope(7);
  int pid = pidFor(7);
  for (const char* call : {"openat", "socket"}) {
    EXPECT_EQ(infoFailure(test(call)).message(),
              "decoder process " + std::to_string(pid) + " killed by signal 31 (SIGSYS)");
    EXPECT_NE(info(good), nullptr) << kor::ErrorStorage::reason();  // a fresh decoder
    const int next = pidFor(7);
    EXPECT_NE(next, pid);
    pid = next;
  }
  EXPECT_EQ(infoFailure(test("crash")).message(),
            "decoder process " + std::to_string(pid) + " killed by signal 11 (SIGSEGV)");
  // Out of memory: the call fails with the decoder's code, and a fresh
  // process serves the next; so does a failure with a code that is none.
  for (const char* call : {"oom", "badcode"}) {
    pid = pidFor(7);
    EXPECT_EQ(infoFailure(test(call)).code(),
              call[0] == 'o' ? kor::Status::kNoMemory : kor::Status::kProtocol);
    EXPECT_NE(pidFor(7), pid);
  }
  lumo::internal::setDecoderDeadlines(300, 300);
  pid = pidFor(7);
  EXPECT_EQ(infoFailure(test("hang")).message(),
            "decoder process " + std::to_string(pid) + " ran past its deadline of 300 ms");
  EXPECT_NE(decode(good), nullptr) << kor::ErrorStorage::reason();
}

// Lends memfd memory, as a client's segments are lent: the decoder writes
// the pixels there itself, and this process maps them read-only (a copy
// here would fault). |shared| false lends plain memory instead.
class LendingProvider : public lumo::PixelBufferProvider {
 public:
  explicit LendingProvider(bool shared) : m_shared(shared) {}
  ~LendingProvider() override {
    if (m_data != nullptr) munmap(m_data, m_bytes);
    if (m_fd >= 0) close(m_fd);
  }
  uint8_t* allocatePixels(size_t bytes) override {
    m_bytes = bytes;
    if (!m_shared) {
      m_data = static_cast<uint8_t*>(
          mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
      return m_data;
    }
    m_fd = memfd_create("lent", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    EXPECT_EQ(ftruncate(m_fd, off_t(bytes)), 0);
    EXPECT_EQ(fcntl(m_fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW), 0);
    m_data = static_cast<uint8_t*>(mmap(nullptr, bytes, PROT_READ, MAP_SHARED, m_fd, 0));
    return m_data;
  }
  void releasePixels(uint8_t* pixels) override { EXPECT_EQ(pixels, m_data); }
  int sharedPixels(const uint8_t* pixels, uint64_t* id) override {
    EXPECT_EQ(pixels, m_data);
    *id = 0;
    return m_shared ? m_fd : -1;
  }
  uint8_t* lent() const { return m_data; }

 private:
  const bool m_shared;
  int m_fd = -1;
  uint8_t* m_data = nullptr;
  size_t m_bytes = 0;
};

TEST_F(DecoderTest, PixelsGoStraightIntoLentMemoryOrAreCopiedIntoIt) {
  const Image image = gradient(300, 200);
  const std::string path = png(image);
  for (bool shared : {true, false}) {
    LendingProvider provider(shared);
    lumo::PixelBufferScope scope(&provider);
    BitmapPtr bitmap = decode(path);
    ASSERT_NE(bitmap, nullptr) << kor::ErrorStorage::reason();
    EXPECT_EQ(bitmap->pixels, provider.lent()) << shared;
    EXPECT_EQ(toImage(*bitmap).rgba, image.rgba) << shared;
  }
}

TEST_F(DecoderTest, ADecoderThatClaimsMorePixelsThanItHoldsIsEnded) {
  const std::string small = png(gradient(8, 8));
  lumo::DecoderScope scope(5);
  // The first decode leaves the decoder a scratch segment, which the next
  // requests offer: small bitmaps go there without a grant.
  ASSERT_NE(decode(small), nullptr) << kor::ErrorStorage::reason();
  ASSERT_NE(decode(small), nullptr) << kor::ErrorStorage::reason();
  const int pid = pidFor(5);
  EXPECT_EQ(failure(test("overreach")), kor::Status::kProtocol);
  EXPECT_NE(pidFor(5), pid);
  EXPECT_NE(decode(small), nullptr) << kor::ErrorStorage::reason();
}

TEST_F(DecoderTest, EachClientHasADecoderOfItsOwnUntilItIsReleased) {
  const int first = pidFor(1);
  const int second = pidFor(2);
  EXPECT_GT(first, 0);
  EXPECT_GT(second, 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(pidFor(1), first);
  EXPECT_EQ(lumo::internal::decoderOf(1), first);
  lumo::releaseDecoder(1);
  EXPECT_EQ(lumo::internal::decoderOf(1), 0);
  EXPECT_EQ(kill(first, 0), -1);  // ended and reaped
  EXPECT_NE(pidFor(1), first);
  EXPECT_EQ(pidFor(2), second);
}

TEST_F(DecoderTest, SparesAreStartedAheadAndDecodersBounded) {
  for (int i = 0; i < 2000 && lumo::internal::spareCount() < lumo::kSpareDecoders; ++i)
    usleep(1000);
  EXPECT_EQ(lumo::internal::spareCount(), lumo::kSpareDecoders);
  // A spare taken while another is ready is replaced only once clients
  // have stopped arriving for a while (a start would take a core from the
  // one that just arrived).
  pidFor(1000);  // a client no earlier test had
  usleep(50 * 1000);
  EXPECT_EQ(lumo::internal::spareCount(), lumo::kSpareDecoders - 1);
  for (uint64_t client = 1; client <= lumo::kMaxDecoders + 2; ++client) pidFor(client);
  // The decoders used longest ago have ended; the last one used is there.
  EXPECT_EQ(lumo::internal::decoderOf(1), 0);
  EXPECT_NE(lumo::internal::decoderOf(lumo::kMaxDecoders + 2), 0);
  EXPECT_LE(lumo::internal::decoderCount(), lumo::kMaxDecoders + lumo::kSpareDecoders);
}

}  // namespace
