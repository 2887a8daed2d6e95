// Tests of the image engine: header information, decoded pixels of every
// format, scaling, orientation, output formats, limits and failure paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/kor.h"
#include "platform/lumo.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

namespace {

using imagefiles::Rgb;
using lumo::Bitmap;
using lumo::BitmapInfo;

struct BitmapDeleter {
  void operator()(Bitmap* b) const { lumo::Engine::getInstance().destroyBitmap(b); }
};
struct InfoDeleter {
  void operator()(BitmapInfo* i) const { lumo::Engine::getInstance().destroyBitmapInfo(i); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;
using InfoPtr = std::unique_ptr<BitmapInfo, InfoDeleter>;

// RGBA pixels, 4 bytes each, top row first.
struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* at(uint32_t x, uint32_t y) const { return &rgba[(size_t{y} * width + x) * 4]; }
};

// A smooth colour pattern (JPEG-friendly), opaque.
Image gradient(uint32_t w, uint32_t h) {
  Image image{w, h, std::vector<uint8_t>(size_t{w} * h * 4)};
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &image.rgba[(size_t{y} * w + x) * 4];
      p[0] = static_cast<uint8_t>(x * 255 / (w - 1));
      p[1] = static_cast<uint8_t>(y * 255 / (h - 1));
      p[2] = static_cast<uint8_t>(128 + 100 * std::sin(x * 0.1 + y * 0.07));
      p[3] = 255;
    }
  return image;
}

std::vector<uint8_t> channels(const Image& image, int count) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < image.rgba.size(); i += 4)
    out.insert(out.end(), &image.rgba[i], &image.rgba[i] + count);
  return out;
}

Image toImage(const Bitmap& b) {
  EXPECT_EQ(b.format, BitmapInfo::FORMAT_RGBA8888);
  EXPECT_EQ(b.stride, b.width * 4);
  return Image{b.width, b.height,
               std::vector<uint8_t>(b.pixels, b.pixels + size_t{b.stride} * b.height)};
}

double psnr(const Image& a, const Image& b, int channelCount = 3) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = 0; i < a.rgba.size(); i += 4)
    for (int c = 0; c < channelCount; ++c, ++n) {
      double d = double(a.rgba[i + c]) - b.rgba[i + c];
      sum += d * d;
    }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / n));
}

// Reference area average in floating point, premultiplied by alpha.
Image boxFilter(const Image& src, uint32_t dw, uint32_t dh) {
  Image out{dw, dh, std::vector<uint8_t>(size_t{dw} * dh * 4)};
  const double sx = double(src.width) / dw, sy = double(src.height) / dh;
  for (uint32_t j = 0; j < dh; ++j)
    for (uint32_t i = 0; i < dw; ++i) {
      double sum[4] = {}, area = 0;
      for (uint32_t y = uint32_t(j * sy); y < src.height && y < (j + 1) * sy; ++y)
        for (uint32_t x = uint32_t(i * sx); x < src.width && x < (i + 1) * sx; ++x) {
          double w = (std::min(x + 1.0, (i + 1) * sx) - std::max<double>(x, i * sx)) *
                     (std::min(y + 1.0, (j + 1) * sy) - std::max<double>(y, j * sy));
          const uint8_t* p = src.at(x, y);
          for (int c = 0; c < 3; ++c) sum[c] += w * p[c] * p[3];
          sum[3] += w * p[3];
          area += w;
        }
      uint8_t* q = &out.rgba[(size_t{j} * dw + i) * 4];
      q[3] = uint8_t(std::lround(sum[3] / area));
      for (int c = 0; c < 3; ++c) q[c] = sum[3] > 0 ? uint8_t(std::lround(sum[c] / sum[3])) : 0;
    }
  return out;
}

int maxDifference(const Image& a, const Image& b) {
  int worst = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i)
    worst = std::max(worst, std::abs(a.rgba[i] - b.rgba[i]));
  return worst;
}

class EngineTest : public ::testing::Test {
 protected:
  void TearDown() override { kor::ErrorStorage::ack(); }

  BitmapPtr decode(const std::string& path,
                   BitmapInfo::Format format = BitmapInfo::FORMAT_RGBA8888) {
    return BitmapPtr(engine.createBitmap(util::UnicodeString8(path.c_str()), format, nullptr));
  }
  BitmapPtr scaled(const std::string& path, uint32_t w, uint32_t h,
                   BitmapInfo::Format format = BitmapInfo::FORMAT_RGBA8888) {
    return BitmapPtr(engine.createBitmap(util::UnicodeString8(path.c_str()), format, {w, h},
                                         Bitmap::SCALING_AREA_AVERAGE, false, nullptr));
  }
  InfoPtr info(const std::string& path) {
    return InfoPtr(engine.getImageInfo(util::UnicodeString8(path.c_str())));
  }
  // Decoding |path| fails; returns the reason.
  std::string failure(const std::string& path) {
    kor::ErrorStorage::ack();
    BitmapPtr bitmap = decode(path);
    EXPECT_EQ(bitmap, nullptr) << path;
    std::string reason = kor::ErrorStorage::reason();
    EXPECT_FALSE(reason.empty()) << path;
    kor::ErrorStorage::ack();
    return reason;
  }
  std::string png(const Image& image, const std::string& name = "image.png") {
    std::vector<uint16_t> samples(image.rgba.begin(), image.rgba.end());
    std::string path = dir.file(name);
    EXPECT_TRUE(imagefiles::writePng(path, image.width, image.height, samples));
    return path;
  }
  std::string jpeg(const Image& image, imagefiles::JpegOptions options = {},
                   const std::string& name = "image.jpg") {
    std::string path = dir.file(name);
    EXPECT_TRUE(imagefiles::writeJpeg(path, image.width, image.height,
                                      channels(image, options.channels).data(), options));
    return path;
  }

  lumo::Engine& engine = lumo::Engine::getInstance();
  testsupport::TempDir dir;
};

// ---------------------------------------------------------------------------
// Information.

TEST_F(EngineTest, InfoReportsEachFormatFromItsContent) {
  Image image = gradient(20, 10);
  std::string jpg = jpeg(image, {}, "photo.png");  // names never matter
  imagefiles::JpegOptions grey;
  grey.channels = 1;
  std::string greyJpg = jpeg(image, grey, "grey.jpg");
  std::vector<uint16_t> ga(20 * 10 * 2, 100);
  imagefiles::PngOptions gaOptions;
  gaOptions.colorType = 4;
  ASSERT_TRUE(imagefiles::writePng(dir.file("ga.png"), 20, 10, ga, gaOptions));
  std::vector<uint8_t> indices(20 * 10, 1);
  imagefiles::GifOptions gifOptions;
  gifOptions.globalPalette = {{0, 0, 0}, {255, 0, 0}};
  ASSERT_TRUE(imagefiles::writeGif(dir.file("a.gif"), 20, 10, indices.data(), gifOptions));
  gifOptions.transparentIndex = 0;
  ASSERT_TRUE(imagefiles::writeGif(dir.file("t.gif"), 20, 10, indices.data(), gifOptions));
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("a.bmp"), 20, 10, image.rgba.data()));
  imagefiles::BmpOptions bmp32;
  bmp32.bpp = 32;
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("b.bmp"), 20, 10, image.rgba.data(), bmp32));
  Image translucent = image;
  translucent.rgba[7] = 100;
  imagefiles::WebpOptions lossless;
  lossless.lossless = true;
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("a.webp"), 20, 10, image.rgba.data()));
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("t.webp"), 20, 10, translucent.rgba.data()));
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("l.webp"), 20, 10, translucent.rgba.data(), lossless));
  imagefiles::HeifOptions heif;
  ASSERT_TRUE(imagefiles::writeHeif(dir.file("a.heic"), 20, 10, image.rgba.data(), heif));
  heif.avif = true;
  heif.alpha = true;
  ASSERT_TRUE(imagefiles::writeHeif(dir.file("a.avif"), 20, 10, translucent.rgba.data(), heif));

  struct Case {
    std::string path;
    BitmapInfo::SourceType type;
    bool alpha, grey;
  } cases[] = {
      {jpg, BitmapInfo::SOURCE_JPEG, false, false},
      {greyJpg, BitmapInfo::SOURCE_JPEG, false, true},
      {png(image), BitmapInfo::SOURCE_PNG, true, false},
      {dir.file("ga.png"), BitmapInfo::SOURCE_PNG, true, true},
      {dir.file("a.gif"), BitmapInfo::SOURCE_GIF, false, false},
      {dir.file("t.gif"), BitmapInfo::SOURCE_GIF, true, false},
      {dir.file("a.bmp"), BitmapInfo::SOURCE_BMP, false, false},
      {dir.file("b.bmp"), BitmapInfo::SOURCE_BMP, true, false},
      {dir.file("a.webp"), BitmapInfo::SOURCE_WEBP, false, false},
      {dir.file("t.webp"), BitmapInfo::SOURCE_WEBP, true, false},
      {dir.file("l.webp"), BitmapInfo::SOURCE_WEBP, true, false},
      {dir.file("a.heic"), BitmapInfo::SOURCE_HEIF, false, false},
      {dir.file("a.avif"), BitmapInfo::SOURCE_HEIF, true, false},
  };
  for (const Case& c : cases) {
    InfoPtr i = info(c.path);
    ASSERT_NE(i, nullptr) << c.path << ": " << kor::ErrorStorage::reason();
    EXPECT_EQ(i->width, 20u) << c.path;
    EXPECT_EQ(i->height, 10u) << c.path;
    EXPECT_EQ(i->sourceType, c.type) << c.path;
    EXPECT_EQ(i->hasAlpha, c.alpha) << c.path;
    EXPECT_EQ(i->isGrey, c.grey) << c.path;
  }
}

TEST_F(EngineTest, DefaultFormatFollowsWhatTheImageHas) {
  std::vector<uint16_t> grey(4 * 4, 7);
  imagefiles::PngOptions o;
  o.colorType = 0;
  ASSERT_TRUE(imagefiles::writePng(dir.file("g.png"), 4, 4, grey, o));
  o.colorType = 4;
  grey.resize(4 * 4 * 2, 9);
  ASSERT_TRUE(imagefiles::writePng(dir.file("ga.png"), 4, 4, grey, o));
  Image image = gradient(4, 4);
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("rgb.bmp"), 4, 4, image.rgba.data()));
  EXPECT_EQ(decode(dir.file("g.png"), BitmapInfo::FORMAT_DEFAULT)->format, BitmapInfo::FORMAT_L8);
  EXPECT_EQ(decode(dir.file("ga.png"), BitmapInfo::FORMAT_DEFAULT)->format,
            BitmapInfo::FORMAT_LA88);
  EXPECT_EQ(decode(dir.file("rgb.bmp"), BitmapInfo::FORMAT_DEFAULT)->format,
            BitmapInfo::FORMAT_RGB888);
  BitmapPtr rgba = decode(png(image), BitmapInfo::FORMAT_DEFAULT);
  EXPECT_EQ(rgba->format, BitmapInfo::FORMAT_RGBA8888);
  EXPECT_EQ(rgba->stride, 16u);
}

// ---------------------------------------------------------------------------
// Pixels.

TEST_F(EngineTest, PngEveryColourTypeAndDepthDecodesExactly) {
  const uint32_t w = 13, h = 7;  // odd sizes leave Adam7 passes partly empty
  struct Case {
    int type, depth;
  } cases[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
               {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
  for (const Case& c : cases)
    for (bool interlace : {false, true}) {
      SCOPED_TRACE(testing::Message() << "type " << c.type << " depth " << c.depth
                                      << (interlace ? " interlaced" : ""));
      imagefiles::PngOptions o;
      o.colorType = c.type;
      o.bitDepth = c.depth;
      o.interlace = interlace;
      const int n = c.type == 2 ? 3 : c.type == 4 ? 2 : c.type == 6 ? 4 : 1;
      const uint32_t max = (1u << c.depth) - 1;
      if (c.type == 3) {
        for (uint32_t i = 0; i <= max; ++i)
          o.palette.push_back({uint8_t(i * 37), uint8_t(255 - i), uint8_t(i * 11)});
        for (uint32_t i = 0; i <= max && i < 3; ++i) o.paletteAlpha.push_back(uint8_t(i * 100));
      }
      std::vector<uint16_t> samples(size_t{w} * h * n);
      for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t((i * 2654435761u >> 7) & max);
      ASSERT_TRUE(imagefiles::writePng(dir.file("p.png"), w, h, samples, o));
      BitmapPtr b = decode(dir.file("p.png"));
      ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
      Image got = toImage(*b);
      auto to8 = [&](uint16_t v) {
        return c.depth == 16 ? uint8_t((v * 255u + 32767) / 65535) : uint8_t(v * 255 / max);
      };
      for (uint32_t p = 0; p < w * h; ++p) {
        const uint16_t* s = &samples[size_t{p} * n];
        uint8_t want[4];
        if (c.type == 3) {
          const Rgb& colour = o.palette[s[0]];
          std::memcpy(want, colour.data(), 3);
          want[3] = s[0] < o.paletteAlpha.size() ? o.paletteAlpha[s[0]] : 255;
        } else {
          const bool grey = c.type == 0 || c.type == 4;
          for (int k = 0; k < 3; ++k) want[k] = to8(s[grey ? 0 : k]);
          want[3] = (c.type == 4 || c.type == 6) ? to8(s[n - 1]) : 255;
        }
        ASSERT_EQ(0, std::memcmp(want, got.at(p % w, p / w), 4)) << "pixel " << p;
      }
    }
}

TEST_F(EngineTest, PngKeyColourTransparency) {
  std::vector<uint16_t> samples = {10, 20, 30, 40, 50, 60};
  imagefiles::PngOptions o;
  o.colorType = 2;
  o.hasKey = true;
  o.key = {40, 50, 60};
  ASSERT_TRUE(imagefiles::writePng(dir.file("k.png"), 2, 1, samples, o));
  EXPECT_TRUE(info(dir.file("k.png"))->hasAlpha);
  Image got = toImage(*decode(dir.file("k.png")));
  EXPECT_EQ(got.rgba, (std::vector<uint8_t>{10, 20, 30, 255, 40, 50, 60, 0}));
}

// Every chunk's CRC and the image data's zlib checksum are verified, on each
// way through the decoder (straight into the bitmap, averaged, interlaced),
// including when the checksum comes in an IDAT chunk of its own after the
// last row's data, where the decoder stops reading by itself.
TEST_F(EngineTest, PngChecksumsAreVerified) {
  const uint32_t w = 13, h = 7;
  Image image = gradient(w, h);
  const std::vector<uint16_t> samples(image.rgba.begin(), image.rgba.end());
  const size_t zlibBytes = h * (1 + w * 4) + 11;  // one stored block
  auto write = [&](imagefiles::PngOptions o) {
    EXPECT_TRUE(imagefiles::writePng(dir.file("c.png"), w, h, samples, o));
    return imagefiles::readFile(dir.file("c.png"));
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
    EXPECT_TRUE(imagefiles::writeFile(dir.file("d.png"), bytes));
    kor::ErrorStorage::ack();
    BitmapPtr b = way == 1 ? scaled(dir.file("d.png"), 5, 3) : decode(dir.file("d.png"));
    std::string reason = b ? "" : kor::ErrorStorage::reason();
    kor::ErrorStorage::ack();
    return reason;
  };
  for (int way = 0; way < 3; ++way) {  // direct, averaged, interlaced
    SCOPED_TRACE(way);
    imagefiles::PngOptions o;
    o.interlace = way == 2;
    // The checksum's bytes split off into a last IDAT chunk, 1 to 9 of them.
    for (size_t tail = 1; tail <= 9; ++tail) {
      o.idatSplits = {zlibBytes / 2, zlibBytes - tail};
      o.wrongAdler = false;
      EXPECT_EQ(attempt(write(o), way), "") << tail;
      o.wrongAdler = true;
      EXPECT_NE(attempt(write(o), way).find("checksum (Adler-32) mismatch"), std::string::npos)
          << tail;
    }
    o.idatSplits = {};
    EXPECT_NE(attempt(write(o), way).find("checksum (Adler-32) mismatch"), std::string::npos);
    o.wrongAdler = false;
    o.idatSplits = {zlibBytes / 2};
    for (const std::string& bytes : {breakCrc(write(o), "IDAT"), breakCrc(write(o), "IDAT", 1),
                                     breakCrc(write(o), "IEND"), breakCrc(write(o), "IHDR")})
      EXPECT_EQ(attempt(bytes, way), "invalid PNG data: chunk checksum (CRC) mismatch");
    // A file that ends right after the last IDAT chunk's CRC lacks only its
    // end marker; one byte less is truncated.
    const std::string whole = write(o);
    EXPECT_EQ(attempt(whole.substr(0, whole.size() - 12), way), "");
    EXPECT_EQ(attempt(whole.substr(0, whole.size() - 13), way), "truncated PNG data");
  }
  // An ancillary chunk with a bad CRC is refused too, not skipped.
  std::string text = imagefiles::readFile(png(image));
  text.insert(33, std::string("\0\0\0\4tEXta\0bc\0\0\0\0", 16));
  EXPECT_EQ(attempt(text, 0), "invalid PNG data: chunk checksum (CRC) mismatch");
  EXPECT_EQ(info(dir.file("d.png")), nullptr);
}

TEST_F(EngineTest, JpegDecodesWithinPsnr) {
  Image image = gradient(67, 45);
  imagefiles::JpegOptions o;
  o.quality = 95;
  for (bool progressive : {false, true}) {
    o.progressive = progressive;
    BitmapPtr b = decode(jpeg(image, o));
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    EXPECT_GE(psnr(toImage(*b), image), 30.0) << progressive;
  }
  o.channels = 1;
  BitmapPtr grey = decode(jpeg(image, o), BitmapInfo::FORMAT_DEFAULT);
  ASSERT_EQ(grey->format, BitmapInfo::FORMAT_L8);
  double error = 0;
  for (uint32_t i = 0; i < 67 * 45; ++i) error += std::abs(grey->pixels[i] - image.rgba[i * 4]);
  EXPECT_LT(error / (67 * 45), 2.0);
}

TEST_F(EngineTest, CmykAndYcckJpegConvertToRgb) {
  Image image = gradient(48, 32);
  // C, M, Y, K values as stored; the expected colour depends on the marker.
  std::vector<uint8_t> cmyk;
  for (size_t i = 0; i < image.rgba.size(); i += 4)
    cmyk.insert(cmyk.end(), {image.rgba[i], image.rgba[i + 1], image.rgba[i + 2], 200});
  struct Case {
    bool adobe, ycck;
  } cases[] = {{true, false}, {false, false}, {true, true}};
  for (const Case& c : cases) {
    imagefiles::JpegOptions o;
    o.quality = 95;
    o.channels = 4;
    o.adobeMarker = c.adobe;
    o.ycck = c.ycck;
    ASSERT_TRUE(imagefiles::writeJpeg(dir.file("c.jpg"), 48, 32, cmyk.data(), o));
    Image want = image;
    for (size_t i = 0; i < want.rgba.size(); i += 4)
      for (int k = 0; k < 3; ++k) {
        int v = cmyk[i + k];
        want.rgba[i + k] = c.adobe ? uint8_t(v * 200 / 255) : uint8_t((255 - v) * 55 / 255);
      }
    BitmapPtr b = decode(dir.file("c.jpg"));
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    EXPECT_GE(psnr(toImage(*b), want), 30.0) << c.adobe << c.ycck;
  }
}

TEST_F(EngineTest, GifFirstFrameOnTransparentCanvas) {
  const uint32_t fw = 9, fh = 11;
  std::vector<uint8_t> indices(fw * fh);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i % 5);
  std::vector<Rgb> palette = {{1, 2, 3}, {40, 50, 60}, {200, 0, 0}, {0, 200, 0}, {0, 0, 200}};
  for (bool interlace : {false, true})
    for (bool local : {false, true}) {
      imagefiles::GifOptions o;
      o.screenWidth = 15;
      o.screenHeight = 14;
      o.left = 4;
      o.top = 2;
      o.transparentIndex = 3;
      o.interlace = interlace;
      (local ? o.localPalette : o.globalPalette) = palette;
      if (local) o.globalPalette = {{9, 9, 9}, {9, 9, 9}};
      o.extraFrames = 200;  // only the first is read
      ASSERT_TRUE(imagefiles::writeGif(dir.file("a.gif"), fw, fh, indices.data(), o));
      BitmapPtr b = decode(dir.file("a.gif"));
      ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
      Image got = toImage(*b);
      ASSERT_EQ(got.width, 15u);
      ASSERT_EQ(got.height, 14u);
      for (uint32_t y = 0; y < 14; ++y)
        for (uint32_t x = 0; x < 15; ++x) {
          uint8_t want[4] = {0, 0, 0, 0};
          if (x >= 4 && x < 4 + fw && y >= 2 && y < 2 + fh) {
            uint8_t index = indices[(y - 2) * fw + (x - 4)];
            if (index != 3) {
              std::memcpy(want, palette[index].data(), 3);
              want[3] = 255;
            }
          }
          ASSERT_EQ(0, std::memcmp(want, got.at(x, y), 4)) << x << "," << y << " " << interlace;
        }
    }
}

TEST_F(EngineTest, WebpStillAndFirstFrameOfAnAnimation) {
  const uint32_t w = 23, h = 17;
  Image image = gradient(w, h);
  for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = uint8_t(i * 7);
  Image opaque = gradient(w, h);
  imagefiles::WebpOptions lossless;
  lossless.lossless = true;
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("l.webp"), w, h, image.rgba.data(), lossless));
  EXPECT_EQ(toImage(*decode(dir.file("l.webp"))).rgba, image.rgba);
  // Lossy colour; the alpha channel is stored losslessly.
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("o.webp"), w, h, opaque.rgba.data()));
  EXPECT_GE(psnr(toImage(*decode(dir.file("o.webp"))), opaque), 30.0);
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("a.webp"), w, h, image.rgba.data()));
  Image got = toImage(*decode(dir.file("a.webp")));
  for (size_t i = 3; i < got.rgba.size(); i += 4) ASSERT_EQ(got.rgba[i], image.rgba[i]) << i;

  // The first frame at (4, 2) on a 31 x 22 canvas, transparent around it;
  // the frames after it are not read. At (0, 0) on a canvas of its own size
  // it is the still image.
  for (bool partial : {true, false}) {
    SCOPED_TRACE(partial);
    imagefiles::WebpOptions animation = lossless;
    animation.canvasWidth = partial ? 31 : w;
    animation.canvasHeight = partial ? 22 : h;
    animation.frameX = partial ? 4 : 0;
    animation.frameY = partial ? 2 : 0;
    animation.extraFrames = 3;
    ASSERT_TRUE(imagefiles::writeWebp(dir.file("f.webp"), w, h, image.rgba.data(), animation));
    BitmapPtr b = decode(dir.file("f.webp"));
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    Image canvas = toImage(*b);
    ASSERT_EQ(canvas.width, animation.canvasWidth);
    ASSERT_EQ(canvas.height, animation.canvasHeight);
    for (uint32_t y = 0; y < canvas.height; ++y)
      for (uint32_t x = 0; x < canvas.width; ++x) {
        const uint32_t fx = x - animation.frameX, fy = y - animation.frameY;
        const uint8_t clear[4] = {0, 0, 0, 0};
        const uint8_t* want = fx < w && fy < h ? image.at(fx, fy) : clear;
        ASSERT_EQ(0, std::memcmp(want, canvas.at(x, y), 4)) << x << "," << y;
      }
  }
}

TEST_F(EngineTest, HeifAndAvifDecodeWithinPsnr) {
  Image image = gradient(64, 48);
  for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = uint8_t(128 + (i / 4) % 128);
  for (bool avif : {false, true})
    for (bool alpha : {false, true}) {
      SCOPED_TRACE(testing::Message() << (avif ? "avif" : "heic") << (alpha ? " alpha" : ""));
      imagefiles::HeifOptions o;
      o.avif = avif;
      o.alpha = alpha;
      ASSERT_TRUE(imagefiles::writeHeif(dir.file("h"), 64, 48, image.rgba.data(), o));
      BitmapPtr b = decode(dir.file("h"));
      ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
      Image got = toImage(*b);
      EXPECT_GE(psnr(got, image), 30.0);
      if (alpha) {
        EXPECT_GE(psnr(got, image, 4), 30.0);
      } else {
        for (size_t i = 3; i < got.rgba.size(); i += 4) ASSERT_EQ(got.rgba[i], 255);
      }
    }
}

TEST_F(EngineTest, BmpEveryDepthAndLayoutDecodesExactly) {
  const uint32_t w = 11, h = 6;
  std::vector<Rgb> palette;
  for (int i = 0; i < 256; ++i) palette.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
  Image image = gradient(w, h);
  for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = uint8_t(i * 3);
  struct Case {
    int bpp;
    bool topDown, rle, fields;
    int header;
  } cases[] = {
      {1, false, false, false, 40},  {4, false, false, false, 40},  {8, true, false, false, 40},
      {8, false, false, false, 12},  {8, false, true, false, 40},   {4, false, true, false, 40},
      {16, false, false, false, 40}, {16, true, false, true, 40},   {24, false, false, false, 124},
      {24, false, false, false, 12}, {32, false, false, false, 40}, {32, true, false, true, 108},
      {2, false, false, false, 40},  {8, false, false, false, 16},  {24, true, false, false, 64},
      {24, false, true, false, 64}};  // OS/2 2.x headers, RLE24
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.bpp << " bits, header " << c.header << (c.rle ? " rle" : "")
                 << (c.topDown ? " top-down" : "") << (c.fields ? " fields" : ""));
    imagefiles::BmpOptions o;
    o.bpp = c.bpp;
    o.topDown = c.topDown;
    o.rle = c.rle;
    o.bitFields = c.fields;
    o.headerSize = c.header;
    std::vector<uint8_t> indices(w * h);
    for (size_t i = 0; i < indices.size(); ++i)
      indices[i] = uint8_t((i / 3 * 5 + i % 2) % (1 << std::min(c.bpp, 8)));
    if (c.bpp <= 8) o.palette.assign(palette.begin(), palette.begin() + (1 << c.bpp));
    ASSERT_TRUE(imagefiles::writeBmp(dir.file("a.bmp"), w, h,
                                     c.bpp <= 8 ? indices.data() : image.rgba.data(), o));
    BitmapPtr b = decode(dir.file("a.bmp"));
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    Image got = toImage(*b);
    // n-bit fields widen by repeating their top bits.
    auto widen = [](int v, int bits) {
      return bits == 5 ? (v << 3) | (v >> 2) : (v << 2) | (v >> 4);
    };
    for (uint32_t p = 0; p < w * h; ++p) {
      uint8_t want[4] = {0, 0, 0, 255};
      const uint8_t* s = &image.rgba[p * 4];
      if (c.bpp <= 8) {
        std::memcpy(want, palette[indices[p]].data(), 3);
      } else if (c.bpp == 16) {
        want[0] = uint8_t(widen(s[0] >> 3, 5));
        want[1] = uint8_t(c.fields ? widen(s[1] >> 2, 6) : widen(s[1] >> 3, 5));
        want[2] = uint8_t(widen(s[2] >> 3, 5));
      } else {
        std::memcpy(want, s, c.bpp == 32 ? 4 : 3);
      }
      ASSERT_EQ(0, std::memcmp(want, got.at(p % w, p / w), 4)) << "pixel " << p;
    }
  }
}

// Masks of any width up to 32 bits, in every header that holds them. A
// field of up to 8 bits widens by repeating its bits, a wider one rounds.
// Alpha all 0 reads as opaque; one pixel with alpha makes it count.
TEST_F(EngineTest, BmpBitFieldsOfAnyWidth) {
  const uint32_t w = 9, h = 5;
  Image image = gradient(w, h);
  for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = uint8_t(i * 29);
  struct Case {
    const char* name;
    int bpp, header;
    std::array<uint32_t, 4> masks;
  } cases[] = {
      {"A1R5G5B5", 16, 108, {0x7c00, 0x03e0, 0x001f, 0x8000}},
      {"A4R4G4B4", 16, 124, {0x0f00, 0x00f0, 0x000f, 0xf000}},
      {"R3G3B2", 16, 56, {0x00e0, 0x001c, 0x0003, 0}},
      {"R11G11B10", 32, 56, {0xffe00000, 0x001ffc00, 0x000003ff, 0}},
      {"A2R10G10B10", 32, 108, {0x3ff00000, 0x000ffc00, 0x000003ff, 0xc0000000}},
      {"R16G16 B1 A15", 32, 40, {0xffff0000, 0x0000ff00, 0x00000080, 0x0000007f}},
      {"A8B8G8R8 in four masks after the header", 32, 40, {0xff, 0xff00, 0xff0000, 0xff000000}},
  };
  // |v| of a field of |max| (2^bits - 1) as 8 bits.
  auto widen = [](uint32_t v, uint32_t max) -> uint32_t {
    switch (max) {
      case 1:
        return v * 255;
      case 3:
        return v * 0x55;
      case 7:
        return v << 5 | v << 2 | v >> 1;
      case 15:
        return v * 0x11;
      case 31:
        return v << 3 | v >> 2;
      case 127:
        return v << 1 | v >> 6;
      case 255:
        return v;
      default:
        return uint32_t((v * uint64_t{255} + max / 2) / max);
    }
  };
  for (const Case& c : cases)
    for (bool clearAlpha : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.name << (clearAlpha ? ", alpha all 0" : ""));
      Image source = image;
      if (clearAlpha)
        for (size_t i = 3; i < source.rgba.size(); i += 4) source.rgba[i] = 0;
      imagefiles::BmpOptions o;
      o.bpp = c.bpp;
      o.headerSize = c.header;
      o.masks = c.masks;
      ASSERT_TRUE(imagefiles::writeBmp(dir.file("f.bmp"), w, h, source.rgba.data(), o));
      EXPECT_EQ(info(dir.file("f.bmp"))->hasAlpha, c.masks[3] != 0);
      BitmapPtr b = decode(dir.file("f.bmp"));
      ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
      Image got = toImage(*b);
      for (uint32_t p = 0; p < w * h; ++p)
        for (int k = 0; k < 4; ++k) {
          uint32_t max = c.masks[k];
          while (max != 0 && (max & 1) == 0) max >>= 1;
          const uint32_t stored = uint32_t((source.rgba[p * 4 + k] * uint64_t{max} + 127) / 255);
          const uint32_t want = max == 0 || (k == 3 && clearAlpha) ? 255 : widen(stored, max);
          ASSERT_EQ(got.rgba[p * 4 + k], want) << "pixel " << p << " channel " << k;
        }
    }
  // A wide field rounds rather than cuts: blue 3 of 1023 is 0.75 of a level.
  const uint8_t black[4] = {0, 0, 0, 255};
  imagefiles::BmpOptions o;
  o.bpp = 32;
  o.masks = cases[3].masks;
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("r.bmp"), 1, 1, black, o));
  std::string bytes = imagefiles::readFile(dir.file("r.bmp"));
  bytes[bytes.size() - 4] = 3;
  ASSERT_TRUE(imagefiles::writeFile(dir.file("r.bmp"), bytes));
  EXPECT_EQ(toImage(*decode(dir.file("r.bmp"))).rgba, (std::vector<uint8_t>{0, 0, 1, 255}));
}

TEST_F(EngineTest, BmpRleDeltaAndShortPalette) {
  // RLE8, 4 x 3: row 0 (bottom) "run of 2 x index 1", delta (+1, +1) to
  // (3, 1), one pixel of index 2, end of bitmap. Skipped pixels take
  // entry 0; index 2 lies beyond the 2-entry palette and reads black.
  imagefiles::BmpOptions o;
  o.bpp = 8;
  o.rle = true;
  o.palette = {{10, 20, 30}, {40, 50, 60}};
  std::vector<uint8_t> unused(12);
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("r.bmp"), 4, 3, unused.data(), o));
  std::string file = imagefiles::readFile(dir.file("r.bmp"));
  uint32_t offset = uint8_t(file[10]) | uint8_t(file[11]) << 8;
  file = file.substr(0, offset) + std::string("\x02\x01\x00\x02\x01\x01\x01\x02\x00\x01", 10);
  ASSERT_TRUE(imagefiles::writeFile(dir.file("r.bmp"), file));
  Image got = toImage(*decode(dir.file("r.bmp")));
  const uint8_t a[4] = {10, 20, 30, 255}, b[4] = {40, 50, 60, 255}, black[4] = {0, 0, 0, 255};
  EXPECT_EQ(0, std::memcmp(got.at(0, 2), b, 4));
  EXPECT_EQ(0, std::memcmp(got.at(1, 2), b, 4));
  EXPECT_EQ(0, std::memcmp(got.at(2, 2), a, 4));
  EXPECT_EQ(0, std::memcmp(got.at(3, 1), black, 4));
  EXPECT_EQ(0, std::memcmp(got.at(0, 0), a, 4));
}

// ---------------------------------------------------------------------------
// Output formats.

TEST_F(EngineTest, ExplicitFormatsHaveTheRightBytes) {
  Image pixel{1, 1, {255, 128, 0, 200}};
  std::string path = png(pixel);
  struct Case {
    BitmapInfo::Format format;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {BitmapInfo::FORMAT_L8, {152}},
      {BitmapInfo::FORMAT_LA88, {152, 200}},
      {BitmapInfo::FORMAT_RGB565, {0x00, 0xFC}},
      {BitmapInfo::FORMAT_RGB888, {255, 128, 0}},
      {BitmapInfo::FORMAT_BGR888, {0, 128, 255}},
      {BitmapInfo::FORMAT_RGBA8888, {255, 128, 0, 200}},
      {BitmapInfo::FORMAT_BGRA8888, {0, 128, 255, 200}},
      {BitmapInfo::FORMAT_ARGB8888, {200, 255, 128, 0}},
  };
  for (const Case& c : cases) {
    BitmapPtr b = decode(path, c.format);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->format, c.format);
    EXPECT_EQ(b->stride, BitmapInfo::getBpp(c.format));
    EXPECT_EQ(std::vector<uint8_t>(b->pixels, b->pixels + b->stride), c.bytes) << c.format;
  }
  EXPECT_EQ(BitmapInfo::getBpp(BitmapInfo::FORMAT_DEFAULT), 0u);
  EXPECT_EQ(BitmapInfo::getBpp(static_cast<BitmapInfo::Format>(9)), 0u);
}

TEST_F(EngineTest, RefusesBadArguments) {
  std::string path = png(gradient(4, 4));
  EXPECT_EQ(decode(path, static_cast<BitmapInfo::Format>(9)), nullptr);
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("format"), std::string::npos);
  EXPECT_EQ(engine.createBitmap(util::UnicodeString8(path.c_str()), BitmapInfo::FORMAT_DEFAULT,
                                {2, 2}, static_cast<Bitmap::ScalingMethod>(1), false, nullptr),
            nullptr);
  EXPECT_EQ(engine.createBitmap(util::UnicodeString8(path.c_str()), BitmapInfo::FORMAT_DEFAULT,
                                {2, 2}, Bitmap::SCALING_AREA_AVERAGE, true, nullptr),
            nullptr);
}

// ---------------------------------------------------------------------------
// Scaling.

TEST_F(EngineTest, ScalingMatchesAReferenceAreaAverage) {
  Image image = gradient(37, 23);
  for (size_t i = 0; i < image.rgba.size(); i += 4)
    image.rgba[i + 3] = uint8_t((i / 4) % 7 == 0 ? 0 : i % 251);
  std::string path = png(image);
  std::vector<uint8_t> indices(37 * 23);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 7 % 16);
  imagefiles::BmpOptions bmpOptions;
  bmpOptions.bpp = 4;
  for (int i = 0; i < 16; ++i)
    bmpOptions.palette.push_back({uint8_t(i * 16), uint8_t(i * 3), uint8_t(255 - i)});
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("s.bmp"), 37, 23, indices.data(), bmpOptions));
  Image bmp = toImage(*decode(dir.file("s.bmp")));
  imagefiles::WebpOptions lossless;
  lossless.lossless = true;
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("s.webp"), 37, 23, image.rgba.data(), lossless));
  ASSERT_TRUE(imagefiles::writeHeif(dir.file("s.heic"), 37, 23, image.rgba.data()));
  Image heif = toImage(*decode(dir.file("s.heic")));
  const uint32_t sizes[][2] = {{10, 7}, {37, 5}, {1, 1}, {18, 23}, {36, 22}};
  for (auto size : sizes) {
    SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1]);
    BitmapPtr b = scaled(path, size[0], size[1]);
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    EXPECT_LE(maxDifference(toImage(*b), boxFilter(image, size[0], size[1])), 1);
    BitmapPtr fromBmp = scaled(dir.file("s.bmp"), size[0], size[1]);
    EXPECT_LE(maxDifference(toImage(*fromBmp), boxFilter(bmp, size[0], size[1])), 1);
    BitmapPtr fromWebp = scaled(dir.file("s.webp"), size[0], size[1]);
    ASSERT_NE(fromWebp, nullptr) << kor::ErrorStorage::reason();
    EXPECT_LE(maxDifference(toImage(*fromWebp), boxFilter(image, size[0], size[1])), 1);
    BitmapPtr fromHeif = scaled(dir.file("s.heic"), size[0], size[1]);
    ASSERT_NE(fromHeif, nullptr) << kor::ErrorStorage::reason();
    EXPECT_LE(maxDifference(toImage(*fromHeif), boxFilter(heif, size[0], size[1])), 1);
  }
}

// A scaled HEIF decode takes the smallest thumbnail at least the target
// size, here one of a flat red picture, so that its pixels tell where they
// came from.
TEST_F(EngineTest, ScaledHeifTakesTheSmallestThumbnailThatSuffices) {
  Image image = gradient(64, 48);
  imagefiles::HeifOptions o;
  o.thumbnailSize = 32;  // 32 x 24
  for (size_t i = 0; i < image.rgba.size(); i += 4)
    o.thumbnailRgba.insert(o.thumbnailRgba.end(), {255, 0, 0, 255});
  for (int orientation : {1, 6}) {
    SCOPED_TRACE(orientation);
    o.orientation = orientation;
    ASSERT_TRUE(imagefiles::writeHeif(dir.file("t.heic"), 64, 48, image.rgba.data(), o));
    const bool turned = orientation == 6;
    Image full = toImage(*decode(dir.file("t.heic")));
    struct Case {
      uint32_t w, h;
      bool thumbnail;
    } cases[] = {{16, 12, true}, {32, 24, true}, {33, 24, false}, {32, 25, false}};
    for (const Case& c : cases) {
      const uint32_t tw = turned ? c.h : c.w, th = turned ? c.w : c.h;
      BitmapPtr b = scaled(dir.file("t.heic"), tw, th);
      ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
      Image got = toImage(*b);
      ASSERT_EQ(got.width, tw);
      if (c.thumbnail) {
        EXPECT_GT(got.at(tw / 2, th / 2)[0], 200) << c.w;
        EXPECT_LT(got.at(tw / 2, th / 2)[1], 50) << c.w;
      } else {
        EXPECT_LE(maxDifference(got, boxFilter(full, tw, th)), 1) << c.w;
      }
    }
  }
}

// Interlaced images, bottom-up BMP and RLE take other ways through the
// decoders than their plain twins (held rows, sums of the whole target,
// rows turned upside down); the pixels must come out the same, at full size
// and at target sizes that choose each way.
TEST_F(EngineTest, EveryLayoutDecodesAndScalesLikeItsPlainTwin) {
  const uint32_t w = 41, h = 29;
  Image image = gradient(w, h);
  for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = uint8_t(i * 37 % 256);
  std::vector<uint16_t> samples(image.rgba.begin(), image.rgba.end());
  std::vector<uint16_t> wide(samples.size());
  for (size_t i = 0; i < wide.size(); ++i) wide[i] = uint16_t(samples[i] * 257 + i % 200);
  std::vector<uint8_t> indices(size_t{w} * h);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 11 % 7);
  const std::vector<Rgb> palette = {{0, 0, 0},    {255, 0, 0},  {0, 255, 0},   {0, 0, 255},
                                    {9, 99, 199}, {50, 60, 70}, {200, 200, 10}};
  auto file = [&](const std::string& name, bool ok) {
    EXPECT_TRUE(ok) << name;
    return dir.file(name);
  };
  struct Twins {
    std::string plain, other;
  };
  std::vector<Twins> twins;
  for (int depth : {8, 16}) {
    imagefiles::PngOptions o;
    o.bitDepth = depth;
    const auto& values = depth == 8 ? samples : wide;
    std::string plain =
        file("p.png" + std::to_string(depth),
             imagefiles::writePng(dir.file("p.png" + std::to_string(depth)), w, h, values, o));
    o.interlace = true;
    twins.push_back({plain, file("i.png" + std::to_string(depth),
                                 imagefiles::writePng(dir.file("i.png" + std::to_string(depth)), w,
                                                      h, values, o))});
  }
  // A frame partly off the screen on every side but the left, with a
  // transparent index.
  imagefiles::GifOptions g;
  g.globalPalette = palette;
  g.screenWidth = 37;
  g.screenHeight = 25;
  g.left = 3;
  g.top = 2;
  g.transparentIndex = 4;
  std::string plainGif =
      file("p.gif", imagefiles::writeGif(dir.file("p.gif"), w, h, indices.data(), g));
  g.interlace = true;
  twins.push_back(
      {plainGif, file("i.gif", imagefiles::writeGif(dir.file("i.gif"), w, h, indices.data(), g))});
  imagefiles::BmpOptions b;
  b.bpp = 8;
  b.palette = palette;
  b.topDown = true;
  std::string topDown =
      file("t.bmp", imagefiles::writeBmp(dir.file("t.bmp"), w, h, indices.data(), b));
  b.topDown = false;
  twins.push_back(
      {topDown, file("b.bmp", imagefiles::writeBmp(dir.file("b.bmp"), w, h, indices.data(), b))});
  b.rle = true;
  twins.push_back(
      {topDown, file("r.bmp", imagefiles::writeBmp(dir.file("r.bmp"), w, h, indices.data(), b))});

  // 40 x 28 holds the even rows; 5 x 4 sums the whole target.
  const uint32_t sizes[][2] = {{0, 0}, {40, 28}, {20, 14}, {5, 4}, {1, 1}};
  for (const Twins& t : twins)
    for (auto size : sizes) {
      SCOPED_TRACE(t.other + " at " + std::to_string(size[0]) + " x " + std::to_string(size[1]));
      BitmapPtr want = size[0] == 0 ? decode(t.plain) : scaled(t.plain, size[0], size[1]);
      BitmapPtr got = size[0] == 0 ? decode(t.other) : scaled(t.other, size[0], size[1]);
      ASSERT_NE(want, nullptr) << kor::ErrorStorage::reason();
      ASSERT_NE(got, nullptr) << kor::ErrorStorage::reason();
      EXPECT_EQ(toImage(*got).rgba, toImage(*want).rgba);
    }
}

TEST_F(EngineTest, TransparentColourDoesNotBleed) {
  Image image{2, 1, {255, 0, 0, 0, 0, 0, 255, 255}};
  Image got = toImage(*scaled(png(image), 1, 1));
  EXPECT_EQ(got.rgba, (std::vector<uint8_t>{0, 0, 255, 128}));
}

TEST_F(EngineTest, TargetSizeIsClampedToOneAndTheImage) {
  std::string path = png(gradient(30, 20));
  auto size = [&](uint32_t w, uint32_t h) {
    BitmapPtr b = scaled(path, w, h);
    return b ? std::make_pair(b->width, b->height) : std::make_pair(0u, 0u);
  };
  EXPECT_EQ(size(100, 100), std::make_pair(30u, 20u));
  EXPECT_EQ(size(100, 10), std::make_pair(30u, 10u));
  EXPECT_EQ(size(0, 0), std::make_pair(1u, 1u));
}

TEST_F(EngineTest, ScaledJpegMatchesFullDecodeThenAverage) {
  Image image = gradient(256, 160);
  imagefiles::JpegOptions o;
  o.quality = 95;
  for (bool progressive : {false, true}) {
    o.progressive = progressive;
    std::string path = jpeg(image, o);
    Image full = toImage(*decode(path));
    const uint32_t sizes[][2] = {{128, 80}, {32, 20}, {50, 41}, {200, 150}, {3, 2}};
    for (auto s : sizes) {
      BitmapPtr b = scaled(path, s[0], s[1]);
      ASSERT_NE(b, nullptr);
      ASSERT_EQ(b->width, s[0]);
      ASSERT_EQ(b->height, s[1]);
      EXPECT_GE(psnr(toImage(*b), boxFilter(full, s[0], s[1])), 30.0) << s[0] << "x" << s[1];
    }
  }
}

// ---------------------------------------------------------------------------
// Orientation.

TEST_F(EngineTest, ExifOrientationTurnsInfoAndPixels) {
  // Stored 32 x 16: a white block top-left, a grey block top-right, black
  // elsewhere. Expected corners of the displayed image per orientation.
  Image image{32, 16, std::vector<uint8_t>(32 * 16 * 4, 0)};
  for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = 255;
  for (uint32_t y = 0; y < 8; ++y)
    for (uint32_t x = 0; x < 8; ++x) {
      std::memset(&image.rgba[(y * 32 + x) * 4], 255, 3);
      std::memset(&image.rgba[(y * 32 + 24 + x) * 4], 120, 3);
    }
  enum Corner { TL, TR, BL, BR };
  const Corner white[9] = {TL, TL, TR, BR, BL, TL, TR, BR, BL};
  const Corner grey[9] = {TL, TR, TL, BL, BR, BL, BR, TR, TL};
  // JPEG and WebP carry it in Exif data, HEIF in the container's rotation
  // and mirroring.
  for (int orientation = 1; orientation <= 8; ++orientation)
    for (const char* format : {"jpeg", "webp", "heif"}) {
      SCOPED_TRACE(testing::Message() << format << " " << orientation);
      std::string path = dir.file(std::string("o.") + format);
      if (format[0] == 'j') {
        imagefiles::JpegOptions o;
        o.quality = 95;
        o.exifOrientation = orientation;
        o.exifBigEndian = orientation % 2 == 0;
        path = jpeg(image, o);
      } else if (format[0] == 'w') {
        imagefiles::WebpOptions o;
        o.quality = 95;
        o.exifOrientation = orientation;
        o.exifHeader = orientation % 2 == 0;
        ASSERT_TRUE(imagefiles::writeWebp(path, 32, 16, image.rgba.data(), o));
      } else {
        imagefiles::HeifOptions o;
        o.orientation = orientation;
        ASSERT_TRUE(imagefiles::writeHeif(path, 32, 16, image.rgba.data(), o));
      }
      const bool turned = orientation >= 5;
      InfoPtr i = info(path);
      ASSERT_NE(i, nullptr);
      EXPECT_EQ(i->width, turned ? 16u : 32u);
      EXPECT_EQ(i->height, turned ? 32u : 16u);
      Image got = toImage(*decode(path));
      ASSERT_EQ(got.width, i->width);
      auto sample = [&](Corner c) {
        uint32_t x = (c == TR || c == BR) ? got.width - 4 : 3;
        uint32_t y = (c == BL || c == BR) ? got.height - 4 : 3;
        return int(got.at(x, y)[1]);
      };
      EXPECT_NEAR(sample(white[orientation]), 255, 12);
      EXPECT_NEAR(sample(grey[orientation]), 120, 12);
      for (Corner c : {TL, TR, BL, BR})
        if (c != white[orientation] && c != grey[orientation]) {
          EXPECT_NEAR(sample(c), 0, 12);
        }
      // The target size is given as displayed.
      BitmapPtr small = scaled(path, turned ? 8 : 16, turned ? 16 : 8);
      ASSERT_NE(small, nullptr);
      EXPECT_EQ(small->width, turned ? 8u : 16u);
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
  Image image = gradient(w, h);
  for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = uint8_t(i >> 5);
  Image indexed{w, h, std::vector<uint8_t>(size_t{w} * h * 4)};
  for (size_t i = 0; i < indices.size(); ++i) {
    std::memcpy(&indexed.rgba[i * 4], palette[indices[i]].data(), 3);
    indexed.rgba[i * 4 + 3] = 255;
  }

  imagefiles::BmpOptions rle;
  rle.bpp = 8;
  rle.rle = true;
  rle.palette = palette;
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("rle.bmp"), w, h, indices.data(), rle));
  imagefiles::GifOptions gif;
  gif.globalPalette = palette;
  ASSERT_TRUE(imagefiles::writeGif(dir.file("a.gif"), w, h, indices.data(), gif));

  // A 300 KB comment before the image data: even the information request
  // reads on through several reads to reach the first image data chunk.
  std::string text = imagefiles::readFile(png(image));
  const std::string chunk = "tEXtComment" + std::string(1, '\0') + std::string(300000, 'x');
  uint32_t crc = 0xFFFFFFFFu;
  for (char byte : chunk) {
    crc ^= uint8_t(byte);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  crc = ~crc;
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  text.insert(33, be32(uint32_t(chunk.size() - 4)) + chunk + be32(crc));  // after IHDR
  ASSERT_TRUE(imagefiles::writeFile(dir.file("text.png"), text));

  struct Case {
    std::string path;
    const Image& want;
  } cases[] = {{png(image), image},
               {dir.file("text.png"), image},
               {dir.file("rle.bmp"), indexed},
               {dir.file("a.gif"), indexed}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_GT(imagefiles::readFile(c.path).size(), size_t{160} << 10);
    BitmapPtr b = decode(c.path);
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    Image got = toImage(*b);
    ASSERT_EQ(got.width, w);
    ASSERT_EQ(got.height, h);
    EXPECT_EQ(got.rgba, c.want.rgba);
    InfoPtr i = info(c.path);
    ASSERT_NE(i, nullptr) << kor::ErrorStorage::reason();
    EXPECT_EQ(i->width, w);
    EXPECT_EQ(i->height, h);
  }
}

TEST_F(EngineTest, JpegSegmentsBeyondTheFirstReadAreReadOrSkipped) {
  // Stored 40 x 24 with Exif orientation 6 (shown 24 x 40). In front of the
  // Exif block go three segments of 64 KiB that the decoder skips, so the
  // block starts far beyond one read; it is padded to almost 64 KiB itself.
  imagefiles::JpegOptions o;
  o.exifOrientation = 6;
  const std::string bytes = imagefiles::readFile(jpeg(gradient(40, 24), o, "plain.jpg"));
  auto segment = [](uint8_t marker, const std::string& data) {
    const size_t length = data.size() + 2;
    return std::string{char(0xFF), char(marker), char(length >> 8), char(length & 0xFF)} + data;
  };
  std::string big = bytes.substr(0, 2);
  size_t pos = 2;
  size_t exifAt = 0;
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
  big += bytes.substr(pos);
  ASSERT_TRUE(imagefiles::writeFile(dir.file("big.jpg"), big));

  InfoPtr i = info(dir.file("big.jpg"));
  ASSERT_NE(i, nullptr) << kor::ErrorStorage::reason();
  EXPECT_EQ(i->width, 24u);
  EXPECT_EQ(i->height, 40u);
  EXPECT_EQ(toImage(*decode(dir.file("big.jpg"))).rgba,
            toImage(*decode(dir.file("plain.jpg"))).rgba);
  EXPECT_EQ(toImage(*scaled(dir.file("big.jpg"), 12, 20)).rgba,
            toImage(*scaled(dir.file("plain.jpg"), 12, 20)).rgba);

  // Cut inside the skipped segments and inside the Exif block.
  for (size_t cut : {size_t{100000}, exifAt + 30000}) {
    SCOPED_TRACE(cut);
    ASSERT_TRUE(imagefiles::writeFile(dir.file("cut.jpg"), big.substr(0, cut)));
    kor::ErrorStorage::ack();
    EXPECT_EQ(info(dir.file("cut.jpg")), nullptr);
    EXPECT_STREQ(kor::ErrorStorage::reason(), "truncated JPEG data");
    EXPECT_EQ(failure(dir.file("cut.jpg")), "truncated JPEG data");
  }
}

// ---------------------------------------------------------------------------
// Limits and failures.

TEST_F(EngineTest, HugeHeadersAreRefusedBeforeAllocating) {
  ASSERT_TRUE(imagefiles::writePngHeader(dir.file("bomb.png"), 70000, 70000));
  ASSERT_TRUE(imagefiles::writeBmpHeader(dir.file("bomb.bmp"), 70000, 70000));
  std::vector<uint8_t> one = {0};
  imagefiles::GifOptions o;
  o.globalPalette = {{0, 0, 0}, {1, 1, 1}};
  o.screenWidth = 65535;
  o.screenHeight = 65535;
  ASSERT_TRUE(imagefiles::writeGif(dir.file("bomb.gif"), 1, 1, one.data(), o));
  for (const char* name : {"bomb.png", "bomb.bmp"}) {
    EXPECT_EQ(failure(dir.file(name)), "image too large: 70000 x 70000");
    EXPECT_EQ(info(dir.file(name)), nullptr);
    EXPECT_STREQ(kor::ErrorStorage::reason(), "image too large: 70000 x 70000");
  }
  EXPECT_EQ(failure(dir.file("bomb.gif")), "image too large: 65535 x 65535");
  // An animation's canvas, and a HEIF image whose size box claims more than
  // its data holds.
  const uint8_t pixel[4] = {1, 2, 3, 255};
  imagefiles::WebpOptions canvas;
  canvas.canvasWidth = 40000;
  canvas.canvasHeight = 40000;
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("bomb.webp"), 1, 1, pixel, canvas));
  EXPECT_EQ(failure(dir.file("bomb.webp")), "image too large: 40000 x 40000");
  EXPECT_EQ(info(dir.file("bomb.webp")), nullptr);
  ASSERT_TRUE(imagefiles::writeHeif(dir.file("bomb.heic"), 64, 48, gradient(64, 48).rgba.data()));
  std::string heif = imagefiles::readFile(dir.file("bomb.heic"));
  const size_t ispe = heif.rfind("ispe");  // the primary image's
  ASSERT_NE(ispe, std::string::npos);
  heif.replace(ispe + 8, 8, std::string("\0\0\x4e\x20\0\0\x4e\x20", 8));  // 20000 x 20000
  ASSERT_TRUE(imagefiles::writeFile(dir.file("bomb.heic"), heif));
  EXPECT_EQ(failure(dir.file("bomb.heic")), "image too large: 20000 x 20000");
  EXPECT_EQ(info(dir.file("bomb.heic")), nullptr);
  // A grid whose own data claims 20000 x 20000 (libheif would make it at
  // that size) behind a size box of 64 x 48.
  ASSERT_TRUE(imagefiles::writeHeif(dir.file("grid.heic"), 64, 48, gradient(64, 48).rgba.data()));
  heif = imagefiles::readFile(dir.file("grid.heic"));
  const size_t grid = heif.find("idat");
  ASSERT_NE(grid, std::string::npos);
  ASSERT_EQ(heif.substr(grid + 8, 4), std::string("\0\x40\0\x30", 4));
  heif.replace(grid + 8, 4, "\x4e\x20\x4e\x20");
  ASSERT_TRUE(imagefiles::writeFile(dir.file("grid.heic"), heif));
  EXPECT_EQ(failure(dir.file("grid.heic")), "image too large: 20000 x 20000");
  // The same claim by the grid of a thumbnail, which a scaled decode would
  // take (found by fuzz_engine_heif).
  imagefiles::HeifOptions thumbnail;
  thumbnail.thumbnailSize = 32;
  ASSERT_TRUE(imagefiles::writeHeif(dir.file("thumb.heic"), 64, 48, gradient(64, 48).rgba.data(),
                                    thumbnail));
  heif = imagefiles::readFile(dir.file("thumb.heic"));
  const size_t thumbGrid = heif.find("idat") + 4 + 8;  // the second grid's data
  ASSERT_EQ(heif.substr(thumbGrid + 4, 4), std::string("\0\x20\0\x18", 4));
  heif.replace(thumbGrid + 4, 4, "\x4e\x20\x4e\x20");
  ASSERT_TRUE(imagefiles::writeFile(dir.file("thumb.heic"), heif));
  EXPECT_EQ(scaled(dir.file("thumb.heic"), 16, 12), nullptr);
  EXPECT_STREQ(kor::ErrorStorage::reason(), "image too large: 20000 x 20000");
  // Exactly at the limit is accepted as far as the header goes.
  ASSERT_TRUE(imagefiles::writeBmpHeader(dir.file("edge.bmp"), 16384, 16384));
  ASSERT_NE(info(dir.file("edge.bmp")), nullptr);
  EXPECT_EQ(failure(dir.file("edge.bmp")), "truncated BMP data");
}

TEST_F(EngineTest, TooManyProgressiveScansAreRefused) {
  imagefiles::JpegOptions o;
  o.exhaustiveScans = true;
  std::string path = jpeg(gradient(16, 16), o);
  EXPECT_EQ(failure(path), "too many progressive JPEG scans (more than 1000)");
}

TEST_F(EngineTest, TruncatedFilesFailCleanly) {
  Image image = gradient(64, 48);
  std::vector<uint8_t> indices(64 * 48);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 13 % 200);
  std::vector<Rgb> palette(256, Rgb{1, 2, 3});
  imagefiles::GifOptions gif;
  gif.globalPalette = palette;
  imagefiles::BmpOptions rle;
  rle.bpp = 8;
  rle.rle = true;
  rle.palette = palette;
  imagefiles::JpegOptions progressive;
  progressive.progressive = true;
  ASSERT_TRUE(imagefiles::writeGif(dir.file("t.gif"), 64, 48, indices.data(), gif));
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("t.bmp"), 64, 48, image.rgba.data()));
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("r.bmp"), 64, 48, indices.data(), rle));
  imagefiles::PngOptions interlaced;
  interlaced.interlace = true;
  ASSERT_TRUE(imagefiles::writePng(dir.file("i.png"), 64, 48,
                                   std::vector<uint16_t>(image.rgba.begin(), image.rgba.end()),
                                   interlaced));
  imagefiles::WebpOptions lossless;
  lossless.lossless = true;
  imagefiles::WebpOptions animation;
  animation.canvasWidth = 80;
  animation.canvasHeight = 60;
  imagefiles::HeifOptions avif;
  avif.avif = true;
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("t.webp"), 64, 48, image.rgba.data()));
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("l.webp"), 64, 48, image.rgba.data(), lossless));
  ASSERT_TRUE(imagefiles::writeWebp(dir.file("a.webp"), 64, 48, image.rgba.data(), animation));
  ASSERT_TRUE(imagefiles::writeHeif(dir.file("t.heic"), 64, 48, image.rgba.data()));
  ASSERT_TRUE(imagefiles::writeHeif(dir.file("t.avif"), 64, 48, image.rgba.data(), avif));
  const std::string files[] = {jpeg(image),        jpeg(image, progressive, "p.jpg"),
                               png(image),         dir.file("i.png"),
                               dir.file("t.gif"),  dir.file("t.bmp"),
                               dir.file("r.bmp"),  dir.file("t.webp"),
                               dir.file("l.webp"), dir.file("a.webp"),
                               dir.file("t.heic"), dir.file("t.avif")};
  for (const std::string& path : files) {
    const std::string bytes = imagefiles::readFile(path);
    for (size_t cut :
         {size_t{5}, size_t{30}, bytes.size() / 3, bytes.size() / 2, bytes.size() * 4 / 5}) {
      SCOPED_TRACE(path + " cut at " + std::to_string(cut));
      ASSERT_TRUE(imagefiles::writeFile(dir.file("cut"), bytes.substr(0, cut)));
      std::string reason = failure(dir.file("cut"));
      if (cut == bytes.size() / 2 && path.find(".jpg") != std::string::npos) {
        EXPECT_EQ(reason, "truncated JPEG data");
      }
      BitmapPtr small = scaled(dir.file("cut"), 7, 5);
      EXPECT_EQ(small, nullptr);
    }
  }
}

TEST_F(EngineTest, OpenFailuresAndUnknownContent) {
  EXPECT_EQ(failure(dir.file("missing.png")),
            "cannot open " + dir.file("missing.png") + ": No such file or directory");
  ASSERT_TRUE(imagefiles::writeFile(dir.file("text.png"), "just some text, not an image"));
  EXPECT_EQ(failure(dir.file("text.png")).rfind("not a supported image file", 0), 0u);
  ASSERT_TRUE(imagefiles::writeFile(dir.file("empty.jpg"), ""));
  failure(dir.file("empty.jpg"));
  // A FIFO with no writer would block a plain open; it is refused at once.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  failure(dir.file("fifo"));
  EXPECT_EQ(info(dir.file("fifo")), nullptr);
}

TEST_F(EngineTest, AllocationFailuresReturnNullWithAReason) {
  std::string path = png(gradient(8, 8));
  kor::testing::failAllocations("lumo::Bitmap");  // the record
  EXPECT_NE(failure(path).find("out of memory"), std::string::npos);
  kor::testing::failAllocations("lumo::Bitmap", 1, 1);  // the pixel buffer
  EXPECT_NE(failure(path).find("out of memory"), std::string::npos);
  kor::testing::failAllocations("lumo::BitmapInfo");
  EXPECT_EQ(info(path), nullptr);
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("out of memory"), std::string::npos);
  EXPECT_NE(decode(path), nullptr);  // nothing left armed
}

TEST_F(EngineTest, ConcurrentDecodesAgree) {
  Image image = gradient(120, 90);
  std::string paths[] = {jpeg(image), png(image)};
  Image want[] = {toImage(*scaled(paths[0], 50, 40)), toImage(*scaled(paths[1], 50, 40))};
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

}  // namespace
