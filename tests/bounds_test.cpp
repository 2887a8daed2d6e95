// What a decode may cost: the work limits of each format (JPEG scans, rows,
// GIF frames beyond the screen, RLE data that draws nothing), cancellation,
// the memory a decode takes and keeps, and the pixel buffer provider. Every
// hostile file is made here, with the encoders or byte by byte.
#include <gtest/gtest.h>

#include <cstdio>
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
  while (cinfo.next_scanline < height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string bytes(reinterpret_cast<char*>(memory), size);
  std::free(memory);
  const size_t lastScan = bytes.rfind("\xff\xda");
  const size_t end = bytes.size() - 2;  // the end marker
  const std::string scan = bytes.substr(lastScan, end - lastScan);
  std::string out = bytes.substr(0, end);
  for (size_t n = script.size(); n < scans; ++n) out += scan;
  return out + "\xff\xd9";
}

// A DC scan and a first AC scan over the whole band: one pass each.
const std::vector<jpeg_scan_info> kPlainScript = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
// A DC scan, a first AC scan of the high bits and an AC refinement scan,
// which the decoder pays for with a visit of every coefficient of the band.
const std::vector<jpeg_scan_info> kRefiningScript = {
    {1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 1}, {1, {0}, 1, 63, 1, 0}};

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
  // An RLE8 file, or RLE24 (an OS/2 2.x file) with |bpp| 24.
  std::string rle(const std::string& name, uint32_t width, uint32_t height, const std::string& data,
                  int bpp = 8) {
    imagefiles::BmpOptions o;
    o.bpp = bpp;
    o.rle = true;
    if (bpp == 24) o.headerSize = 64;
    o.palette = {{10, 20, 30}, {200, 100, 0}};
    std::vector<uint8_t> unused(size_t{width} * height * 4);
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

TEST_F(BoundsTest, JpegScansAreBudgetedByTheBlocksTheyCover) {
  // 256 x 256 blocks: the budget is 32 passes over them. A plain scan is one
  // pass, a refinement of AC 1..63 is (16 + 63) / 16: after the first two
  // scans of the refining script, 6 of them fit and the 7th does not.
  struct Case {
    const std::vector<jpeg_scan_info>& script;
    size_t scans;
    bool accepted;
  } cases[] = {{kPlainScript, 32, true},
               {kPlainScript, 33, false},
               {kRefiningScript, 8, true},
               {kRefiningScript, 9, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.scans << " scans, " << c.script.size() << " written");
    std::string path = dir.write("p.jpg", progressiveJpeg(2048, 2048, c.script, c.scans));
    if (c.accepted) {
      BitmapPtr b = decode(path);
      ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
      EXPECT_EQ(b->pixels[2048 * 1000 + 1000], 128);
    } else {
      // Refused before the scan that breaks the budget is decoded.
      EXPECT_EQ(failure(path), "too many JPEG scans for a 2048 x 2048 image (" +
                                   std::to_string(c.scans) + " scans)");
    }
  }
}

TEST_F(BoundsTest, SmallJpegsMayUseAMillionBlocksOfScansUpToAThousandScans) {
  // 64 x 64 blocks: 256 passes make the million; 2 x 2 blocks: the scan
  // count is the limit.
  std::string path = dir.write("p.jpg", progressiveJpeg(512, 512, kPlainScript, 256));
  EXPECT_NE(decode(path), nullptr) << kor::ErrorStorage::reason();
  path = dir.write("p.jpg", progressiveJpeg(512, 512, kPlainScript, 257));
  EXPECT_EQ(failure(path), "too many JPEG scans for a 512 x 512 image (257 scans)");
  path = dir.write("p.jpg", progressiveJpeg(16, 16, kPlainScript, 1000));
  EXPECT_NE(decode(path), nullptr) << kor::ErrorStorage::reason();
  path = dir.write("p.jpg", progressiveJpeg(16, 16, kPlainScript, 1001));
  EXPECT_EQ(failure(path), "too many progressive JPEG scans (more than 1000)");
}

TEST_F(BoundsTest, ARowCountsAsAtLeastSixteenPixels) {
  struct Case {
    uint32_t width, height;
    bool accepted;
  } cases[] = {{1, 16777216, true},
               {1, 16777217, false},
               {16, 16777216, true},
               {17, 15790320, true},
               {15, 17895697, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
    ASSERT_TRUE(imagefiles::writeBmpHeader(dir.file("h.bmp"), c.width, c.height));
    BitmapInfo* info = engine.getImageInfo(util::UnicodeString8(dir.file("h.bmp").c_str()));
    EXPECT_EQ(info != nullptr, c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(std::string(kor::ErrorStorage::reason()),
                "image too large: " + std::to_string(c.width) + " x " + std::to_string(c.height));
    }
    engine.destroyBitmapInfo(info);
    kor::ErrorStorage::ack();
  }
}

TEST_F(BoundsTest, AGifFrameFarLargerThanItsScreenIsRefused) {
  // Screen 1 x 1024: up to 2 * 1024 + 1 Mi pixels of the frame may be
  // decoded, which a frame 1026 wide reaches exactly over its 1024 rows.
  imagefiles::GifOptions o;
  o.globalPalette = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}};
  o.screenWidth = 1;
  o.screenHeight = 1024;
  BitmapPtr b = decode(gif("edge.gif", 1026, 1024, o));
  ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
  EXPECT_EQ(b->width, 1u);
  EXPECT_EQ(failure(gif("past.gif", 1027, 1024, o)),
            "invalid GIF data: the first image (1027 x 1024 at 0, 0) is far larger than the "
            "screen (1 x 1024)");
}

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

TEST_F(BoundsTest, RleDataThatDrawsNothingIsBounded) {
  // 4 x 2: 2 * 8 + 4 * 2 + 4096 bytes may be read. Empty deltas (4 bytes
  // each) up to exactly that, then the end of the bitmap, are accepted.
  const std::string emptyDelta("\x00\x02\x00\x00", 4);
  const std::string end("\x00\x01", 2);
  std::string edge;
  for (int i = 0; i < 1030; ++i) edge += emptyDelta;
  BitmapPtr b = decode(rle("edge.bmp", 4, 2, edge + end));
  ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
  EXPECT_EQ(b->pixels[0], 10);  // palette entry 0 everywhere
  EXPECT_EQ(failure(rle("past.bmp", 4, 2, edge + emptyDelta + end)),
            "invalid BMP data: RLE data longer than the image");
  // RLE24 may take 4 bytes per pixel: 4 * 8 + 4 * 2 + 4096 bytes.
  for (int i = 0; i < 4; ++i) edge += emptyDelta;
  b = decode(rle("edge24.bmp", 4, 2, edge + end, 24));
  ASSERT_NE(b, nullptr) << kor::ErrorStorage::reason();
  EXPECT_EQ(b->pixels[0], 0);  // black
  EXPECT_EQ(failure(rle("past24.bmp", 4, 2, edge + emptyDelta + end, 24)),
            "invalid BMP data: RLE data longer than the image");
}

// ---------------------------------------------------------------------------
// Cancellation.

// Each layout the decoders treat their own way, at about 200 rows.
class CancellationTest : public BoundsTest {
 protected:
  std::vector<std::string> layouts() {
    const uint32_t w = 64, h = 200;
    std::vector<uint8_t> rgba(size_t{w} * h * 4), indices(size_t{w} * h);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 13 + 255 * (i % 4 == 3));
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i % 2);
    std::vector<uint16_t> samples(rgba.begin(), rgba.end());
    imagefiles::JpegOptions progressive;
    progressive.progressive = true;
    imagefiles::PngOptions interlaced;
    interlaced.interlace = true;
    imagefiles::GifOptions gifOptions;
    gifOptions.globalPalette = {{0, 0, 0}, {255, 0, 0}};
    imagefiles::BmpOptions rleOptions;
    rleOptions.bpp = 8;
    rleOptions.rle = true;
    rleOptions.palette = gifOptions.globalPalette;
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), &rgba[i], &rgba[i] + 3);
    std::vector<std::string> paths;
    auto add = [&](const std::string& name, bool ok) {
      EXPECT_TRUE(ok) << name;
      paths.push_back(dir.file(name));
    };
    add("a.jpg", imagefiles::writeJpeg(dir.file("a.jpg"), w, h, rgb.data()));
    add("p.jpg", imagefiles::writeJpeg(dir.file("p.jpg"), w, h, rgb.data(), progressive));
    add("a.png", imagefiles::writePng(dir.file("a.png"), w, h, samples));
    add("i.png", imagefiles::writePng(dir.file("i.png"), w, h, samples, interlaced));
    add("a.gif", imagefiles::writeGif(dir.file("a.gif"), w, h, indices.data(), gifOptions));
    gifOptions.interlace = true;
    add("i.gif", imagefiles::writeGif(dir.file("i.gif"), w, h, indices.data(), gifOptions));
    add("a.bmp", imagefiles::writeBmp(dir.file("a.bmp"), w, h, rgba.data()));
    add("r.bmp", imagefiles::writeBmp(dir.file("r.bmp"), w, h, indices.data(), rleOptions));
    // libheif decodes the whole image at once; its rows then stream.
    add("a.heic", imagefiles::writeHeif(dir.file("a.heic"), w, h, rgba.data()));
    return paths;
  }
};

TEST_F(CancellationTest, DecodesAskEveryFewRowsAndStopWhenCancelled) {
  for (const std::string& path : layouts()) {
    for (bool scale : {false, true}) {
      SCOPED_TRACE(path + (scale ? " scaled" : ""));
      auto run = [&] { return scale ? scaled(path, 20, 30) : decode(path); };
      // Uncancelled: asked at least every 16 rows of the 200.
      int asked = 0;
      {
        kor::CancellationScope scope([&] {
          ++asked;
          return false;
        });
        ASSERT_NE(run(), nullptr) << kor::ErrorStorage::reason();
      }
      EXPECT_GE(asked, 200 / 16);
      // Cancelled halfway: the decode stops with the reason.
      int left = asked / 2;
      kor::CancellationScope scope([&] { return --left < 0; });
      EXPECT_EQ(run(), nullptr);
      EXPECT_STREQ(kor::ErrorStorage::reason(), "decoding cancelled");
      kor::ErrorStorage::ack();
    }
  }
}

TEST_F(CancellationTest, ACancelledDecodeDoesNotEvenOpenTheFile) {
  kor::CancellationScope scope([] { return true; });
  EXPECT_EQ(failure(dir.file("missing.png")), "decoding cancelled");
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
  if (kShadowed) GTEST_SKIP() << "the sanitizer's shadow memory grows with the output";
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

TEST_F(BoundsTest, AThreadKeepsAtMostSixtyFourMiBBetweenDecodes) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
  if (!resetPeak()) GTEST_SKIP() << "this kernel cannot reset the peak memory";
  imagefiles::GifOptions o;
  o.globalPalette = {{0, 0, 0}, {255, 0, 0}};
  o.screenWidth = 4096;
  // 4096 x 4096 RGBA is exactly the 64 MiB a thread may keep for its next
  // bitmap; one row more is beyond it. The second decode finds the buffer
  // kept, already in memory, or takes fresh memory and gives it back.
  for (uint32_t height : {4096u, 4097u}) {
    SCOPED_TRACE(height);
    o.screenHeight = height;
    const std::string path = gif("s.gif", 1, 1, o);
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
  std::vector<uint16_t> samples(40 * 30 * 4, 200);
  ASSERT_TRUE(imagefiles::writePng(dir.file("a.png"), 40, 30, samples));
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
      BitmapPtr own = decode(dir.file("a.png"));
      ASSERT_NE(own, nullptr);
      EXPECT_EQ(provider.asked, 2);
    }
    // A provider that lends nothing leaves the engine to allocate.
    provider.lend = false;
    BitmapPtr own = decode(dir.file("a.png"));
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(provider.asked, 3);
    own.reset();
    EXPECT_EQ(provider.released.size(), 1u);
    // The lent buffer goes back to the provider, on any thread, after the
    // scope has ended too.
    Bitmap* outliving = b.release();
    std::thread([&] { engine.destroyBitmap(outliving); }).join();
  }
  ASSERT_EQ(provider.released.size(), 2u);
  EXPECT_EQ(provider.released[1], provider.buffers[0].get());
  BitmapPtr after = decode(dir.file("a.png"));
  EXPECT_EQ(provider.asked, 3);
}

}  // namespace
