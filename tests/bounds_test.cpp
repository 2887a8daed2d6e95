// What a decode may cost: the work limits of each format (JPEG scans, rows,
// GIF frames beyond the screen, RLE data that draws nothing), cancellation,
// the memory a decode takes and keeps, and the pixel buffer provider. Every
// hostile file is made here, with the encoders or byte by byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "platform/kor.h"
#include "platform/lumo.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

// Options are given with designated initializers: the members left out keep
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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
#if defined(__SANITIZE_THREAD__)
// The thread sanitizer's shadow of the memory a decode writes is several
// times its size.
constexpr bool kShadowed = true;
#else
constexpr bool kShadowed = false;
#endif

struct BitmapDeleter {
  void operator()(Bitmap* b) const { lumo::Engine::getInstance().destroyBitmap(b); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

// A progressive greyscale JPEG of a flat |width| x |height| image, written
// with |script|; its last scan is then repeated until the file has |scans|
// scans (the decoder takes a repeated scan as a harmless bogus progression).
std::string progressiveJpeg(uint32_t width, uint32_t height,
                            const std::vector<jpeg_scan_info>& script, size_t scans) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr error;
  cinfo.err = jpeg_std_error(&error);
  jpeg_create_compress(&cinfo);
  unsigned char* memory = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &memory, &size);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = 1;
  cinfo.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  cinfo.scan_info = script.data();
  cinfo.num_scans = static_cast<int>(script.size());
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<JSAMPLE> row(width, 128);
  JSAMPROW rows[1] = {row.data()};
  while (cinfo.next_scanline < height) jpeg_write_scanlines(&cinfo, rows, 1);
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string bytes(reinterpret_cast<char*>(memory), size - 2);  // less the end marker
  std::free(memory);
  const std::string scan = bytes.substr(bytes.rfind("\xff\xda"));
  for (size_t n = script.size(); n < scans; ++n) bytes += scan;
  return bytes + "\xff\xd9";
}

// A DC scan and a first AC scan over the whole band: one pass each.
const std::vector<jpeg_scan_info> kPlainScript = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
// A DC scan, a first AC scan of the high bits and an AC refinement scan,
// which the decoder pays for with a visit of every coefficient of the band.
const std::vector<jpeg_scan_info> kRefiningScript = {
    {1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 1}, {1, {0}, 1, 63, 1, 0}};

// VmRSS or VmHWM of this process, in bytes.
uint64_t memoryOf(const char* key) {
  std::ifstream file("/proc/self/status");
  std::string line;
  while (std::getline(file, line))
    if (line.rfind(key, 0) == 0)
      return std::stoull(line.substr(line.find_first_of("0123456789"))) * 1024;
  return 0;
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
                                         BitmapInfo::kFormatDefault, nullptr));
  }
  BitmapPtr scaled(const std::string& path, uint32_t w, uint32_t h) {
    return BitmapPtr(engine.createBitmap(util::UnicodeString8(path.c_str()),
                                         BitmapInfo::kFormatDefault, {w, h},
                                         Bitmap::kScalingAreaAverage, false, nullptr));
  }
  // Decoding |path| fails; returns the failure's code.
  kor::Status::Code failure(const std::string& path) {
    kor::ErrorStorage::ack();
    EXPECT_EQ(decode(path), nullptr) << path;
    return kor::ErrorStorage::takeStatus().code();
  }
  // A GIF with a |frameWidth| x |frameHeight| frame of indices 0..2.
  std::string gif(const std::string& name, uint32_t frameWidth, uint32_t frameHeight,
                  const imagefiles::GifOptions& options) {
    std::vector<uint8_t> indices(size_t{frameWidth} * frameHeight);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 7 % 3);
    EXPECT_TRUE(
        imagefiles::writeGif(dir.file(name), frameWidth, frameHeight, indices.data(), options));
    return dir.file(name);
  }
  // A BMP with RLE8 |data| after the header of a |width| x |height| image,
  // or RLE24 (an OS/2 2.x file) with |bpp| 24.
  std::string rle(const std::string& name, uint32_t width, uint32_t height, const std::string& data,
                  int bpp = 8) {
    const std::vector<uint8_t> unused(size_t{width} * height * 4);
    imagefiles::BmpOptions o{.bpp = bpp, .rle = true, .palette = {{10, 20, 30}, {200, 100, 0}}};
    o.headerSize = bpp == 24 ? 64 : 40;
    EXPECT_TRUE(imagefiles::writeBmp(dir.file(name), width, height, unused.data(), o));
    const std::string file = imagefiles::readFile(dir.file(name));
    return dir.write(name, file.substr(0, uint8_t(file[10]) | uint8_t(file[11]) << 8) + data);
  }

  lumo::Engine& engine = lumo::Engine::getInstance();
  testsupport::TempDir dir;
  const std::vector<imagefiles::Rgb> palette = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}};
};

// ---------------------------------------------------------------------------
// Work.

// A scan costs a pass over the blocks it covers, a refinement of AC 1..63
// (16 + 63) / 16 of one. An image may use 32 passes over its blocks, and at
// least a million blocks' worth; at most 1000 scans. A file beyond is
// refused before the scan that breaks the budget is decoded.
TEST_F(BoundsTest, JpegScansAreBudgetedByTheBlocksTheyCover) {
  // Width and height (2048: 256 x 256 blocks; 512: 64 x 64, 256 passes make
  // the million), script, scans, refused.
  const std::tuple<uint32_t, const std::vector<jpeg_scan_info>&, size_t, bool> cases[] = {
      {2048, kPlainScript, 32, false},   {2048, kPlainScript, 33, true},
      {2048, kRefiningScript, 8, false},  // after the first two scans, 6 refinements fit
      {2048, kRefiningScript, 9, true},  {512, kPlainScript, 256, false},
      {512, kPlainScript, 257, true},    {16, kPlainScript, 1000, false},
      {16, kPlainScript, 1001, true}};
  for (const auto& [size, script, scans, refused] : cases) {
    SCOPED_TRACE(testing::Message()
                 << size << ": " << scans << " scans, " << script.size() << " written");
    const std::string path = dir.write("p.jpg", progressiveJpeg(size, size, script, scans));
    if (!refused) {
      BitmapPtr b = decode(path);
      ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
      EXPECT_EQ(b->pixels[size_t{size} * (size / 2) + size / 2], 128);
    } else {
      EXPECT_EQ(failure(path), kor::Status::kLimit);
    }
  }
}

TEST_F(BoundsTest, AGifFrameFarLargerThanItsScreenIsRefused) {
  // Screen 1 x 1024: up to 2 * 1024 + 1 Mi pixels of the frame may be
  // decoded, which a frame 1026 wide reaches exactly over its 1024 rows.
  const imagefiles::GifOptions o{.screenWidth = 1, .screenHeight = 1024, .globalPalette = palette};
  BitmapPtr b = decode(gif("edge.gif", 1026, 1024, o));
  ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
  EXPECT_EQ(b->width, 1u);
  EXPECT_EQ(failure(gif("past.gif", 1027, 1024, o)), kor::Status::kLimit);
}

TEST_F(BoundsTest, AnInterlacedGifIsDecodedOnlyToItsLastRowOnTheScreen) {
  // The screen shows the frame's first row, which comes first in the file:
  // the rest is never read, and may as well be missing.
  const uint32_t width = 4096, height = 64;
  std::vector<uint8_t> indices(size_t{width} * height);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 2654435761u >> 13);
  imagefiles::GifOptions o{.screenWidth = width, .screenHeight = 1};
  for (int i = 0; i < 256; ++i) o.globalPalette.push_back({uint8_t(i), uint8_t(255 - i), 7});
  o.interlace = true;
  ASSERT_TRUE(imagefiles::writeGif(dir.file("i.gif"), width, height, indices.data(), o));
  const std::string bytes = imagefiles::readFile(dir.file("i.gif"));
  BitmapPtr b = decode(dir.write("cut.gif", bytes.substr(0, bytes.size() / 2)));
  ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
  ASSERT_EQ(b->height, 1u);
  for (uint32_t x = 0; x < width; ++x) ASSERT_EQ(b->pixels[x * 3], indices[x]) << x;  // red
}

TEST_F(BoundsTest, RleDataThatDrawsNothingIsBounded) {
  // 4 x 2: 2 * 8 + 4 * 2 + 4096 bytes may be read (RLE24: 4 * 8 + ...).
  // Empty deltas (4 bytes each) up to exactly that, then the end of the
  // bitmap, are accepted.
  const std::string emptyDelta("\x00\x02\x00\x00", 4), end("\x00\x01", 2);
  std::string edge;
  for (int i = 0; i < 1030; ++i) edge += emptyDelta;
  for (int bpp : {8, 24}) {
    SCOPED_TRACE(bpp);
    if (bpp == 24) edge += emptyDelta + emptyDelta + emptyDelta + emptyDelta;
    BitmapPtr b = decode(rle("edge.bmp", 4, 2, edge + end, bpp));
    ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
    EXPECT_EQ(b->pixels[0], bpp == 8 ? 10 : 0);  // palette entry 0, or black
    EXPECT_EQ(failure(rle("past.bmp", 4, 2, edge + emptyDelta + end, bpp)), kor::Status::kLimit);
  }
}

// ---------------------------------------------------------------------------
// Cancellation.

// A decode asks every few rows (at least every 16) whether it is cancelled,
// and stops with the reason when it is, in each layout the decoders treat
// their own way; a cancelled decode does not even open the file.
TEST_F(BoundsTest, DecodesAskEveryFewRowsAndStopWhenCancelled) {
  const uint32_t w = 64, h = 200;
  std::vector<uint8_t> rgba(size_t{w} * h * 4), rgb, indices(size_t{w} * h);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 13 + 255 * (i % 4 == 3));
  for (size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), &rgba[i], &rgba[i] + 3);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i % 2);
  const std::vector<uint16_t> samples(rgba.begin(), rgba.end());
  using namespace imagefiles;
  ASSERT_TRUE(writeJpeg(dir.file("a.jpg"), w, h, rgb.data()) &&
              writeJpeg(dir.file("p.jpg"), w, h, rgb.data(), {.progressive = true}) &&
              writePng(dir.file("a.png"), w, h, samples) &&
              writePng(dir.file("i.png"), w, h, samples, {.interlace = true}) &&
              writeGif(dir.file("a.gif"), w, h, indices.data(), {.globalPalette = palette}) &&
              writeGif(dir.file("i.gif"), w, h, indices.data(),
                       {.globalPalette = palette, .interlace = true}) &&
              writeBmp(dir.file("a.bmp"), w, h, rgba.data()) &&
              writeBmp(dir.file("r.bmp"), w, h, indices.data(),
                       {.bpp = 8, .rle = true, .palette = palette}) &&
              // libheif decodes the whole image at once; its rows then stream.
              writeHeif(dir.file("a.heic"), w, h, rgba.data()) &&
              writeTiff(dir.file("a.tif"), w, h, samples,
                        {.channels = 4, .alpha = true, .rowsPerStrip = 8}) &&
              writeJxl(dir.file("a.jxl"), w, h, rgba.data()));
  for (const char* name : {"a.jpg", "p.jpg", "a.png", "i.png", "a.gif", "i.gif", "a.bmp", "r.bmp",
                           "a.heic", "a.tif", "a.jxl"})
    for (bool scale : {false, true}) {
      SCOPED_TRACE(std::string(name) + (scale ? " scaled" : ""));
      const std::string path = dir.file(name);
      auto run = [&] { return scale ? scaled(path, 20, 30) : decode(path); };
      int asked = 0;
      {
        kor::CancellationScope scope([&] { return ++asked < 0; });  // counts, never cancels
        ASSERT_NE(run(), nullptr) << kor::ErrorStorage::reason();
      }
      EXPECT_GE(asked, 200 / 16);
      // Cancelled halfway.
      int left = asked / 2;
      kor::CancellationScope scope([&] { return --left < 0; });
      EXPECT_EQ(run(), nullptr);
      EXPECT_EQ(kor::ErrorStorage::takeStatus().code(), kor::Status::kCancelled);
    }
  kor::CancellationScope scope([] { return true; });
  EXPECT_EQ(failure(dir.file("missing.png")), kor::Status::kCancelled);
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

// Lends buffers whose every page is in memory from the start, as the
// service's shared memory is: a bitmap counts in full in the peak memory of
// its decode, as it does in the service.
class PopulatingProvider : public lumo::PixelBufferProvider {
 public:
  uint8_t* allocatePixels(size_t bytes) override {
    auto* pixels = static_cast<uint8_t*>(std::malloc(bytes));
    // Not zeros, which the compiler may leave to calloc() and its untouched
    // fresh pages.
    if (pixels != nullptr) std::memset(pixels, 0xa5, bytes);
    return pixels;
  }
  void releasePixels(uint8_t* pixels) override { std::free(pixels); }
};

// A decode takes memory for its output: not for the image that a header
// claims before its data has arrived, and, scaled, not for the image at its
// own size. Each file is decoded at full size (target 0 x 0) or to a
// target, succeeds or fails with the reason given, and peaks below the
// bound.
TEST_F(BoundsTest, DecodesTakeMemoryForTheirOutputNotForTheImage) {
  if (!resetPeak()) GTEST_SKIP() << "this kernel cannot reset the peak memory";
  const uint64_t MiB = 1u << 20;
  // A 16384 x 16384 screen around one pixel: 1 GiB as a canvas.
  const std::string screen = gif(
      "screen.gif", 1, 1, {.screenWidth = 16384, .screenHeight = 16384, .globalPalette = palette});
  // RLE data that ends at once: 4096 x 4096 pixels of palette entry 0, 64 MiB
  // as RGBA.
  const std::string empty = rle("empty.bmp", 4096, 4096, std::string("\x00\x01", 2));
  // 2048 x 2048 palette indices, uncompressed, and grey, interlaced: 16 MiB
  // each as RGBA (the samples are gone before anything is measured).
  ASSERT_TRUE(imagefiles::writeBmp(dir.file("plain.bmp"), 2048, 2048,
                                   std::vector<uint8_t>(2048u * 2048u, 1).data(),
                                   {.bpp = 8, .palette = palette}));
  ASSERT_TRUE(imagefiles::writePng(dir.file("i.png"), 2048, 2048,
                                   std::vector<uint16_t>(2048u * 2048u, 77),
                                   {.colorType = 0, .interlace = true}));
  // Headers of 16384 x 16384 images whose data is missing: PNG, plain and
  // interlaced; a GIF frame of a row far down its screen, plain and
  // interlaced (the file ends after the frame's header); a JPEG with the
  // data of one block and no end marker.
  ASSERT_TRUE(imagefiles::writePngHeader(dir.file("h.png"), 16384, 16384) &&
              imagefiles::writePngHeader(dir.file("hi.png"), 16384, 16384, true));
  auto headerOnly = [&](const std::string& name, bool interlace) {
    const std::string path = gif(name, 16384, 1,
                                 {.screenWidth = 16384,
                                  .screenHeight = 16384,
                                  .top = 16000,
                                  .globalPalette = palette,
                                  .interlace = interlace});
    // Signature and screen (13 bytes), a palette of 4 entries, the frame's
    // header (10) and its code size (1).
    return dir.write(name, imagefiles::readFile(path).substr(0, 13 + 12 + 10 + 1));
  };
  std::string jpeg;
  {
    const uint8_t pixel[3] = {1, 2, 3};
    ASSERT_TRUE(imagefiles::writeJpeg(dir.file("h.jpg"), 1, 1, pixel));
    jpeg = imagefiles::readFile(dir.file("h.jpg"));
    jpeg.replace(jpeg.find("\xFF\xC0") + 5, 4, std::string("\x40\x00\x40\x00", 4));
    jpeg.resize(jpeg.size() - 2);
  }
  // Lossless WebP images of one colour, 6144 x 6144 through a palette, which
  // libwebp holds packed (4 bytes for 8 pixels, 18 MiB), with and without
  // EXIF orientation 6; 4096 x 4096 without, which libwebp holds whole (4
  // bytes a pixel, 64 MiB); and a 16383 x 16383 one cut short.
  const uint8_t grey[4] = {128, 128, 128, 255};
  auto webp = [&](const std::string& name, uint32_t size, imagefiles::WebpOptions o) {
    EXPECT_TRUE(imagefiles::writeWebp(dir.file(name), size, size, grey, o));
    return dir.file(name);
  };
  const std::string packed = webp("p.webp", 6144, {.flat = true, .flatPalette = true});
  const std::string turned =
      webp("t.webp", 6144, {.exifOrientation = 6, .flat = true, .flatPalette = true});
  const std::string whole = webp("w.webp", 4096, {.flat = true});
  const std::string cut = webp("c.webp", 16383, {.flat = true});
  dir.write("c.webp", imagefiles::readFile(cut).substr(0, 26));  // the size, not the codes
  const uint64_t full6144 = 6144ull * 6144 * 3;                  // RGB
  // A HEIF grid of 16 x 16 tiles of 512 x 512, every place the same tile
  // (libheif would compose it whole, in RGB twice over: 384 MiB), and a
  // grid of 20000 x 20000 split between two extents of its data.
  const std::vector<uint8_t> tile(512 * 512 * 4, 128);
  ASSERT_TRUE(
      imagefiles::writeHeifGrid(dir.file("g.heic"), 512, 512, tile.data(),
                                {.columns = 16, .rows = 16, .oneTile = true}) &&
      imagefiles::writeHeifGrid(
          dir.file("s.heic"), 64, 64, tile.data(),
          {.width = 20000, .height = 20000, .boxWidth = 100, .boxHeight = 100, .splitData = true}));
  // 2048 x 2048 grey in strips of 16 rows.
  ASSERT_TRUE(imagefiles::writeTiff(dir.file("s.tif"), 2048, 2048,
                                    std::vector<uint16_t>(2048u * 2048u, 77),
                                    {.photometric = 1, .channels = 1, .rowsPerStrip = 16}));
  struct Case {
    std::string path;
    uint32_t width, height;
    kor::Status::Code code;
    uint64_t bound;
  };
  const auto ok = kor::Status::kOk;
  const auto stops = kor::Status::kCorrupt;  // the data stops after the header
  const Case cases[] = {
      {screen, 128, 128, ok, 4 * MiB},
      {empty, 128, 128, ok, 4 * MiB},
      {dir.file("plain.bmp"), 128, 128, ok, 4 * MiB},
      {dir.file("i.png"), 128, 128, ok, 4 * MiB},
      {dir.file("h.png"), 0, 0, stops, 4 * MiB},
      {dir.file("h.png"), 2048, 2048, stops, 4 * MiB},
      {dir.file("hi.png"), 0, 0, stops, 4 * MiB},
      {dir.file("hi.png"), 2048, 2048, stops, 4 * MiB},
      {headerOnly("h.gif", false), 0, 0, stops, 4 * MiB},
      {headerOnly("hi.gif", true), 0, 0, stops, 4 * MiB},
      {dir.write("h.jpg", jpeg), 0, 0, stops, 4 * MiB},
      {packed, 96, 96, ok, 64 * MiB},
      {turned, 0, 0, ok, full6144 + 64 * MiB},
      {whole, 64, 64, ok, 80 * MiB},
      {cut, 0, 0, stops, 4 * MiB},
      {dir.file("g.heic"), 1024, 1024, ok, 1024 * 1024 * 3 + 64 * MiB},
      {dir.file("s.heic"), 0, 0, kor::Status::kLimit, 4 * MiB},
      // A strip buffer of libtiff's per band: under AddressSanitizer's
      // quarantine they add up to a few MiB, still far from the image's 16.
      {dir.file("s.tif"), 128, 128, ok, 8 * MiB},
  };
  PopulatingProvider provider;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.path << " to " << c.width << " x " << c.height);
    const uint64_t peak = peakOf([&] {
      lumo::PixelBufferScope scope(&provider);
      kor::ErrorStorage::ack();
      BitmapPtr b = c.width == 0 ? decode(c.path) : scaled(c.path, c.width, c.height);
      EXPECT_EQ(b != nullptr ? kor::Status::kOk : kor::ErrorStorage::code(), c.code);
    });
    // Under the thread sanitizer only the bounds of what fails before its
    // data arrives say something: its shadow grows with every output.
    if (!kShadowed || c.bound <= 4 * MiB) {
      EXPECT_LT(peak, c.bound);
    }
  }
}

TEST_F(BoundsTest, AFullDecodeTakesOneCopyOfItsOutput) {
  if (kShadowed) GTEST_SKIP() << "the sanitizer's shadow memory grows with the output";
  if (!resetPeak()) GTEST_SKIP() << "this kernel cannot reset the peak memory";
  const std::string path =
      gif("s.gif", 1, 1, {.screenWidth = 4096, .screenHeight = 4096, .globalPalette = palette});
  EXPECT_LT(peakOf([&] {
              BitmapPtr b = decode(path);
              ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
              ASSERT_EQ(b->format, BitmapInfo::kFormatRGBA8888);
            }),
            4096ull * 4096 * 4 + (16u << 20));
}

TEST_F(BoundsTest, AThreadKeepsAtMostSixtyFourMiBBetweenDecodes) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
  if (!resetPeak()) GTEST_SKIP() << "this kernel cannot reset the peak memory";
  // 4096 x 4096 RGBA is exactly the 64 MiB a thread may keep for its next
  // bitmap; one row more is beyond it. The second decode finds the buffer
  // kept, already in memory, or takes fresh memory and gives it back.
  for (uint32_t height : {4096u, 4097u}) {
    SCOPED_TRACE(height);
    const std::string path =
        gif("s.gif", 1, 1, {.screenWidth = 4096, .screenHeight = height, .globalPalette = palette});
    auto once = [&] { EXPECT_NE(decode(path), nullptr) << kor::ErrorStorage::reason(); };
    once();
    const uint64_t before = memoryOf("VmRSS");
    const uint64_t second = peakOf(once);
    const uint64_t after = memoryOf("VmRSS");
    if (height == 4096) {
      EXPECT_LT(second, 8u << 20);
    } else {
      EXPECT_GT(second, 4096ull * height * 2);
      EXPECT_LT(after, before + (8u << 20));
    }
  }
}

// ---------------------------------------------------------------------------
// Pixel buffer provider.

// Lends buffers of its own and notes what comes back.
class LendingProvider : public lumo::PixelBufferProvider {
 public:
  uint8_t* allocatePixels(size_t bytes) override {
    ++asked;
    if (!lend) return nullptr;
    buffers.emplace_back(new uint8_t[bytes]);
    return buffers.back().get();
  }
  void releasePixels(uint8_t* pixels) override { released.push_back(pixels); }

  bool lend = true;
  int asked = 0;
  std::vector<std::unique_ptr<uint8_t[]>> buffers;
  std::vector<uint8_t*> released;
};

TEST_F(BoundsTest, BitmapsTakeTheirPixelsFromTheProviderInScope) {
  // The image data in two chunks: cut in the second, the file still brings
  // the first rows, so the failed decode has its buffer by then.
  ASSERT_TRUE(imagefiles::writePng(
      dir.file("a.png"), 40, 30, std::vector<uint16_t>(40 * 30 * 4, 200), {.idatSplits = {2000}}));
  const std::string bytes = imagefiles::readFile(dir.file("a.png"));
  const std::string cut = dir.write("cut.png", bytes.substr(0, bytes.size() - 100));
  LendingProvider provider;
  {
    lumo::PixelBufferScope scope(&provider);
    BitmapPtr b = decode(dir.file("a.png"));
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(provider.buffers.size(), 1u);
    EXPECT_EQ(b->pixels, provider.buffers[0].get());
    EXPECT_EQ(b->pixels[40 * 4 * 29 + 3], 200);
    // A failed decode gives its buffer back at once.
    EXPECT_EQ(decode(cut), nullptr);
    ASSERT_EQ(provider.released.size(), 1u);
    EXPECT_EQ(provider.released[0], provider.buffers[1].get());
    {
      // Nested: no provider; the engine's own buffer.
      lumo::PixelBufferScope none(nullptr);
      EXPECT_NE(decode(dir.file("a.png")), nullptr);
      EXPECT_EQ(provider.asked, 2);
    }
    // A provider that lends nothing leaves the engine to allocate.
    provider.lend = false;
    EXPECT_NE(decode(dir.file("a.png")), nullptr);
    EXPECT_EQ(provider.asked, 3);
    EXPECT_EQ(provider.released.size(), 1u);
    // The lent buffer goes back to the provider, on any thread, after the
    // scope has ended too.
    Bitmap* outliving = b.release();
    std::thread([&] { engine.destroyBitmap(outliving); }).join();
  }
  ASSERT_EQ(provider.released.size(), 2u);
  EXPECT_EQ(provider.released[1], provider.buffers[0].get());
  EXPECT_NE(decode(dir.file("a.png")), nullptr);
  EXPECT_EQ(provider.asked, 3);
}

}  // namespace
