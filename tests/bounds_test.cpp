// What a decode may cost: how far a GIF frame is decoded, and the memory a
// decode takes. Every file is made here, with the encoders or byte by byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/kor.h"
#include "platform/lumo.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

namespace {

using lumo::Bitmap;
using lumo::BitmapInfo;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer's allocator keeps freed memory for a while: what a process
// holds after a decode says nothing about the engine there.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct BitmapDeleter {
  void operator()(Bitmap* b) const { lumo::Engine::getInstance().destroyBitmap(b); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

std::string status(const char* key) {
  std::ifstream file("/proc/self/status");
  std::string line;
  while (std::getline(file, line))
    if (line.rfind(key, 0) == 0) return line;
  return "";
}

// VmRSS or VmHWM of this process, in bytes.
uint64_t memoryOf(const char* key) {
  std::string line = status(key);
  return line.empty() ? 0 : std::stoull(line.substr(line.find_first_of("0123456789"))) * 1024;
}

// Starts a new peak: VmHWM falls back to the present VmRSS.
bool resetPeak() {
  FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (file == nullptr) return false;
  const bool ok = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && ok;
}

class BoundsTest : public ::testing::Test {
 protected:
  void TearDown() override { kor::ErrorStorage::ack(); }

  BitmapPtr decode(const std::string& path) {
    return BitmapPtr(engine.createBitmap(util::UnicodeString8(path.c_str()),
                                         BitmapInfo::FORMAT_DEFAULT, nullptr));
  }
  BitmapPtr scaled(const std::string& path, uint32_t w, uint32_t h) {
    return BitmapPtr(engine.createBitmap(util::UnicodeString8(path.c_str()),
                                         BitmapInfo::FORMAT_DEFAULT, {w, h},
                                         Bitmap::SCALING_AREA_AVERAGE, false, nullptr));
  }
  // Decoding |path| fails; returns the reason.
  std::string failure(const std::string& path) {
    kor::ErrorStorage::ack();
    BitmapPtr bitmap = decode(path);
    EXPECT_EQ(bitmap, nullptr) << path;
    std::string reason = kor::ErrorStorage::reason();
    kor::ErrorStorage::ack();
    return reason;
  }
  std::string gif(const std::string& name, uint32_t frameWidth, uint32_t frameHeight,
                  const imagefiles::GifOptions& options) {
    std::vector<uint8_t> indices(size_t{frameWidth} * frameHeight);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 7 % 3);
    std::string path = dir.file(name);
    EXPECT_TRUE(imagefiles::writeGif(path, frameWidth, frameHeight, indices.data(), options));
    return path;
  }
  // A BMP with RLE8 |data| after the header of a |width| x |height| image.
  std::string rle(const std::string& name, uint32_t width, uint32_t height,
                  const std::string& data) {
    imagefiles::BmpOptions o;
    o.bpp = 8;
    o.rle = true;
    o.palette = {{10, 20, 30}, {200, 100, 0}};
    std::vector<uint8_t> unused(size_t{width} * height);
    std::string path = dir.file(name);
    EXPECT_TRUE(imagefiles::writeBmp(path, width, height, unused.data(), o));
    std::string file = imagefiles::readFile(path);
    const uint32_t offset = uint8_t(file[10]) | uint8_t(file[11]) << 8;
    EXPECT_TRUE(imagefiles::writeFile(path, file.substr(0, offset) + data));
    return path;
  }

  lumo::Engine& engine = lumo::Engine::getInstance();
  testsupport::TempDir dir;
};

// ---------------------------------------------------------------------------
// Work.

TEST_F(BoundsTest, AnInterlacedGifIsDecodedOnlyToItsLastRowOnTheScreen) {
  // The screen shows the frame's first row, which comes first in the file:
  // the rest is never read, and may as well be missing.
  const uint32_t width = 4096, height = 64;
  std::vector<uint8_t> indices(size_t{width} * height);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 2654435761u >> 13);
  imagefiles::GifOptions o;
  o.globalPalette.resize(256);
  for (int i = 0; i < 256; ++i) o.globalPalette[i] = {uint8_t(i), uint8_t(255 - i), 7};
  o.screenWidth = width;
  o.screenHeight = 1;
  o.interlace = true;
  ASSERT_TRUE(imagefiles::writeGif(dir.file("i.gif"), width, height, indices.data(), o));
  std::string bytes = imagefiles::readFile(dir.file("i.gif"));
  std::string path = dir.write("cut.gif", bytes.substr(0, bytes.size() / 2));
  BitmapPtr b = decode(path);
  ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
  ASSERT_EQ(b->height, 1u);
  for (uint32_t x = 0; x < width; ++x)
    ASSERT_EQ(b->pixels[x * 3], indices[x]) << x;  // red is the index
}

// ---------------------------------------------------------------------------
// Memory.

// The peak memory of |work| above what the process held before it.
uint64_t peakOf(const std::function<void()>& work) {
  const uint64_t before = memoryOf("VmRSS");
  if (!resetPeak()) return UINT64_MAX;
  work();
  const uint64_t peak = memoryOf("VmHWM");
  return peak > before ? peak - before : 0;
}

TEST_F(BoundsTest, ScaledDecodesTakeMemoryForTheTargetNotTheImage) {
  if (!resetPeak()) GTEST_SKIP() << "this kernel cannot reset the peak memory";
  constexpr uint64_t kSmall = 4u << 20;
  // A 16384 x 16384 screen around one pixel: 1 GiB as a canvas.
  imagefiles::GifOptions o;
  o.globalPalette = {{0, 0, 0}, {255, 0, 0}};
  o.screenWidth = 16384;
  o.screenHeight = 16384;
  const std::string screen = gif("screen.gif", 1, 1, o);
  // RLE data that ends at once: 4096 x 4096 pixels of palette entry 0, 64 MiB
  // as RGBA.
  const std::string empty = rle("empty.bmp", 4096, 4096, std::string("\x00\x01", 2));
  // 2048 x 2048 palette indices, uncompressed: 16 MiB as RGBA.
  std::vector<uint8_t> indices(2048u * 2048u, 1);
  imagefiles::BmpOptions palette;
  palette.bpp = 8;
  palette.palette = o.globalPalette;
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("plain.bmp"), 2048, 2048, indices.data(), palette));
  // 2048 x 2048 grey, interlaced: 16 MiB as RGBA.
  std::vector<uint16_t> grey(2048u * 2048u, 77);
  imagefiles::PngOptions interlaced;
  interlaced.colorType = 0;
  interlaced.interlace = true;
  ASSERT_TRUE(imagefiles::writePng(dir.file("i.png"), 2048, 2048, grey, interlaced));
  grey = {};
  indices = {};
  for (const std::string& path : {screen, empty, dir.file("plain.bmp"), dir.file("i.png")}) {
    uint64_t peak = peakOf([&] {
      BitmapPtr b = scaled(path, 128, 128);
      EXPECT_NE(b, nullptr) << path << ": " << kor::ErrorStorage::reason();
    });
    EXPECT_LT(peak, kSmall) << path;
  }
}

TEST_F(BoundsTest, AFullDecodeTakesOneCopyOfItsOutput) {
  if (!resetPeak()) GTEST_SKIP() << "this kernel cannot reset the peak memory";
  imagefiles::GifOptions o;
  o.globalPalette = {{0, 0, 0}, {255, 0, 0}};
  o.screenWidth = 4096;
  o.screenHeight = 4096;
  const std::string path = gif("s.gif", 1, 1, o);
  const uint64_t output = 4096ull * 4096 * 4;
  EXPECT_LT(peakOf([&] {
              BitmapPtr b = decode(path);
              ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
              ASSERT_EQ(b->format, BitmapInfo::FORMAT_RGBA8888);
            }),
            output + (16u << 20));
}

}  // namespace
