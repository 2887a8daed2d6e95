// Corrupt and hostile files, generated from valid images of every format, run
// through every kind of job: each is answered exactly once, as invalid (or as
// a success where the decoder legitimately recovers), leaving no error pending
// and nothing leaked (the sanitizer builds check the latter).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imageserver/ImageServer.h"
#include "imageserver/jobs/Job.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

namespace {

using svx::imageserver::RESULT_INVALID_IMAGE;
using svx::imageserver::RESULT_OK;

std::vector<uint8_t> rgbPattern(uint32_t w, uint32_t h) {
  std::vector<uint8_t> p(size_t(w) * h * 3);
  for (size_t i = 0; i < p.size(); ++i) p[i] = uint8_t(i * 31 + (i >> 5));
  return p;
}

class CorruptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint32_t w = 40, h = 30;
    std::vector<uint8_t> rgb = rgbPattern(w, h);
    std::vector<uint8_t> rgba;
    std::vector<uint8_t> indices;
    for (size_t i = 0; i < size_t(w) * h; ++i) {
      rgba.insert(rgba.end(), {rgb[i * 3], rgb[i * 3 + 1], rgb[i * 3 + 2], 255});
      indices.push_back(uint8_t(i % 4));
    }
    imagefiles::JpegOptions progressive;
    progressive.progressive = true;
    ASSERT_TRUE(imagefiles::writeJpeg(m_dir.file("base.jpg"), w, h, rgb.data()));
    ASSERT_TRUE(imagefiles::writeJpeg(m_dir.file("prog.jpg"), w, h, rgb.data(), progressive));
    std::vector<uint16_t> samples(rgba.begin(), rgba.end());
    ASSERT_TRUE(imagefiles::writePng(m_dir.file("base.png"), w, h, samples));
    imagefiles::GifOptions gif;
    gif.globalPalette = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    ASSERT_TRUE(imagefiles::writeGif(m_dir.file("base.gif"), w, h, indices.data(), gif));
    imagefiles::BmpOptions rle;
    rle.bpp = 8;
    rle.rle = true;
    rle.palette = gif.globalPalette;
    ASSERT_TRUE(imagefiles::writeBmp(m_dir.file("base.bmp"), w, h, rgba.data()));
    ASSERT_TRUE(imagefiles::writeBmp(m_dir.file("rle.bmp"), w, h, indices.data(), rle));
    imagefiles::BmpOptions rle24;
    rle24.bpp = 24;
    rle24.rle = true;
    rle24.headerSize = 64;
    ASSERT_TRUE(imagefiles::writeBmp(m_dir.file("rle24.bmp"), w, h, rgba.data(), rle24));
    for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = uint8_t(i);
    imagefiles::WebpOptions animation;
    animation.lossless = true;
    animation.canvasWidth = w + 4;
    animation.canvasHeight = h + 2;
    animation.frameX = 2;
    animation.exifOrientation = 6;
    imagefiles::HeifOptions heif;
    heif.orientation = 6;
    heif.thumbnailSize = 16;
    imagefiles::HeifOptions avif;
    avif.avif = true;
    avif.alpha = true;
    ASSERT_TRUE(imagefiles::writeWebp(m_dir.file("base.webp"), w, h, rgba.data()));
    ASSERT_TRUE(imagefiles::writeWebp(m_dir.file("anim.webp"), w, h, rgba.data(), animation));
    ASSERT_TRUE(imagefiles::writeHeif(m_dir.file("base.heic"), w, h, rgba.data(), heif));
    ASSERT_TRUE(imagefiles::writeHeif(m_dir.file("base.avif"), w, h, rgba.data(), avif));
  }

  // Runs every kind of job on |bytes| (written as |name|) and checks the
  // answers. Returns how many jobs succeeded.
  int runAll(const std::string& name, const std::string& bytes) {
    std::string path = m_dir.write(name, bytes);
    CIPtr<CIString> at =
        CITypesFactory::createString(path.c_str(), util::UnicodeString_common::UTF8);
    testsupport::ReplyFixture client;
    ImageServer::FileInfoJob(client.proxy, at).execute();
    ImageServer::FileReadJob(client.proxy, at, true).execute();
    ImageServer::FileDecodeJob(client.proxy, at, 0).execute();
    ImageServer::FileDecodeJob(client.proxy, at, 2).execute();
    auto answers = client.endpoint->answers();
    EXPECT_EQ(answers.size(), 4u) << name;
    int ok = 0;
    for (const auto& answer : answers) {
      EXPECT_EQ(answer.locator, at) << name;
      EXPECT_TRUE(answer.result == RESULT_OK || answer.result == RESULT_INVALID_IMAGE)
          << name << ": " << answer.result;
      if (answer.result == RESULT_OK) ++ok;
      if (answer.result == RESULT_OK && answer.image && answer.image->decoded) {
        const auto& info = *answer.image->imageInformation;
        EXPECT_EQ(answer.image->dataLength, answer.image->data->size());
        EXPECT_GT(info.width, 0u);
        EXPECT_GT(info.height, 0u);
      }
    }
    EXPECT_FALSE(kor::ErrorStorage::pending()) << name;
    return ok;
  }

  std::string base(const char* name) { return imagefiles::readFile(m_dir.file(name)); }

  testsupport::TempDir m_dir;
  const char* m_bases[11] = {"base.jpg",  "prog.jpg",  "base.png",  "base.gif",
                             "base.bmp",  "rle.bmp",   "rle24.bmp", "base.webp",
                             "anim.webp", "base.heic", "base.avif"};
};

TEST_F(CorruptTest, FilesCutShortAtManyOffsets) {
  for (const char* name : m_bases) {
    const std::string whole = base(name);
    std::vector<size_t> cuts;
    for (size_t n = 0; n < 80 && n < whole.size(); n += 3) cuts.push_back(n);
    for (int k = 1; k < 16; ++k) cuts.push_back(whole.size() * k / 16);
    cuts.push_back(whole.size() - 1);
    for (size_t cut : cuts) runAll(std::string("cut-") + name, whole.substr(0, cut));
  }
}

TEST_F(CorruptTest, FlippedHeaderBytes) {
  for (const char* name : m_bases) {
    const std::string whole = base(name);
    for (size_t i = 0; i < 96 && i < whole.size(); ++i) {
      std::string bytes = whole;
      bytes[i] = static_cast<char>(bytes[i] ^ 0xff);
      runAll(std::string("flip-") + name, bytes);
    }
  }
}

TEST_F(CorruptTest, HugeDeclaredDimensionsAreRefused) {
  ASSERT_TRUE(imagefiles::writePngHeader(m_dir.file("huge.png"), 70000, 70000));
  ASSERT_TRUE(imagefiles::writeBmpHeader(m_dir.file("huge.bmp"), 70000, 70000));
  EXPECT_EQ(runAll("huge.png", base("huge.png")), 0);
  EXPECT_EQ(runAll("huge.bmp", base("huge.bmp")), 0);

  // A JPEG whose frame header claims 65535 x 65535.
  std::string jpeg = base("base.jpg");
  size_t sof = jpeg.find("\xff\xc0");
  ASSERT_NE(sof, std::string::npos);
  jpeg.replace(sof + 5, 4, "\xff\xff\xff\xff");
  EXPECT_EQ(runAll("huge.jpg", jpeg), 0);

  // A GIF whose logical screen is 65535 x 65535 around a small frame.
  std::string gif = base("base.gif");
  gif.replace(6, 4, "\xff\xff\xff\xff");
  EXPECT_EQ(runAll("huge.gif", gif), 0);
}

TEST_F(CorruptTest, ContentDecidesNotTheName) {
  EXPECT_EQ(runAll("empty.png", ""), 0);
  EXPECT_EQ(runAll("text.jpg", "GIF89a is not enough to be an image"), 0);
  EXPECT_EQ(runAll("png-named.jpg", base("base.png")), 4);  // a real PNG: served
}

TEST_F(CorruptTest, UnsupportedSubFormatsAreRefused) {
  std::string bmp = base("base.bmp");
  bmp[30] = 4;  // compression: embedded JPEG
  EXPECT_EQ(runAll("jpeg-in.bmp", bmp), 0);
  bmp[30] = 5;  // compression: embedded PNG
  EXPECT_EQ(runAll("png-in.bmp", bmp), 0);

  std::string lossless = base("base.jpg");
  size_t sof = lossless.find("\xff\xc0");
  lossless[sof + 1] = '\xc3';  // lossless frame type
  EXPECT_EQ(runAll("lossless.jpg", lossless), 0);
}

TEST_F(CorruptTest, ProgressiveJpegWithThousandsOfScansIsRefused) {
  std::vector<uint8_t> rgb = rgbPattern(16, 16);
  imagefiles::JpegOptions options;
  options.progressive = true;
  options.exhaustiveScans = true;
  ASSERT_TRUE(imagefiles::writeJpeg(m_dir.file("scans.jpg"), 16, 16, rgb.data(), options));
  // The header alone is readable; decoding stops at the scan limit.
  EXPECT_LE(runAll("scans.jpg", base("scans.jpg")), 2);
}

TEST_F(CorruptTest, PngWithAHugeAncillaryChunkStaysBounded) {
  std::string png = base("base.png");
  std::string text = std::string("Comment") + '\0' + std::string(20u << 20, 'x');
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  // Inserted after IHDR (8 signature + 25 chunk bytes); the CRC is left
  // wrong on purpose: a reader must not need to hold the chunk to notice.
  png.insert(33, be32(uint32_t(text.size())) + "tEXt" + text + be32(0));
  runAll("chunk.png", png);
}

// Regression: an AVIF file (found by fuzz_engine_avif, from an AVIF with
// alpha) whose coded data the AV1 decoder refuses; libheif's dav1d plugin
// leaked memory on it, which the sanitizer builds report.
TEST_F(CorruptTest, AvifThatTheAv1DecoderRefusesLeaksNothing) {
  static const char kFile[] =
      "\x00\x00\x00\x1c\x66\x74\x79\x70\x61\x76\x69\x66\x00\x00\x00\x00\x61\x76"
      "\x69\x66\x6d\x69\x66\x31\x6d\x69\x61\x66\x00\x00\x01\x98\x6d\x65\x74\x61"
      "\x00\x00\x00\x00\x00\x00\x00\x21\x68\x64\x6c\x72\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x70\x69\x63\x74\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x0e\x70\x69\x74\x6d\x00\x00\x00\x00\x00\x01\x00\x00\x00"
      "\x34\x69\x6c\x6f\x63\x00\x00\x00\x00\x44\x40\x00\x02\x00\x02\x00\x00\x00"
      "\x00\x01\xbc\x00\x01\x00\x00\x00\x00\x00\x00\x00\x61\x00\x01\x00\x00\x00"
      "\x00\x02\x1d\x00\x00\x00\x00\x00\x00\x00\x00\x01\x7c\x00\x00\x00\x38\x69"
      "\x69\x6e\x66\x00\x00\x00\x00\x00\x02\x00\x00\x00\x15\x69\x6e\x66\x65\x02"
      "\x00\x00\x00\x00\x01\x00\x00\x61\x76\x30\x31\x00\x00\x00\x00\x15\x69\x6e"
      "\x66\x64\x98\x00\x00\x00\x00\x02\x00\x00\x61\x76\x30\x31\x00\x00\x00\x00"
      "\xd7\x69\x70\x72\x70\x00\x00\x00\xb1\x69\x70\x63\x6f\x00\x00\x00\x13\x63"
      "\x6f\x6c\x72\x6e\x63\x6c\x78\x38\x00\x00\x00\x00\x00\x00\x00\x00\x00\x0c"
      "\x61\x76\x31\x43\x81\x00\x1c\x00\x00\x00\x00\x14\x69\x73\x70\x65\x00\x00"
      "\x00\x00\x00\x00\x00\x09\x00\x00\x00\x07\x00\x00\x00\x0e\x69\x70\x69\x00"
      "\x78\x00\x00\x00\x01\x08\x00\x00\x00\x38\x61\x75\x78\x43\x00\x00\x00\x00"
      "\x75\x72\x6e\x3a\x6d\x70\x65\x67\x3a\x6d\x70\x65\x67\x42\x3a\x63\x69\x63"
      "\x70\x3a\x73\x79\x73\x74\x65\x6d\x73\x3a\x61\x75\x78\x69\x6c\x69\x61\x72"
      "\x79\x3a\x61\x6c\x70\x68\x61\x00\x00\x00\x00\x0c\x61\x76\x31\x43\x81\x00"
      "\x0c\x00\x00\x00\x00\x14\x69\x73\x70\x65\x00\x00\x00\x00\x00\x00\x00\x01"
      "\x00\x00\x00\x07\x00\x00\x00\x10\x70\x69\x78\x69\x00\x00\x00\x00\x03\x08"
      "\x08\x08\x00\x00\x00\x1e\x69\x70\x6d\x61\x00\x76\x00\x00\x00\x00\x00\x02"
      "\x00\x01\x04\x81\x86\x07\x88\x00\x02\x04\x82\x03\x84\x85\x00\x00\x00\x1a"
      "\x69\x72\x65\x66\x00\x00\x00\x00\x8d\xa5\xae\xb2\x2f\x38\x29\x72\x5e\x27"
      "\x28\xd7\x10\x9c";
  const std::string bytes(kFile, sizeof(kFile) - 1);
  EXPECT_EQ(runAll("refused.avif", bytes), 2);  // information and bytes, no pixels
}

// Regression: an AVIF file (found by fuzz_engine_avif) whose primary image
// is an overlay of 7 x 9 pixels by its size box, on a canvas of 25708 x
// 29184 by its own data, at which libheif made it: gigabytes and half a
// minute. The canvas is now checked before libheif decodes.
TEST_F(CorruptTest, HeifOverlayOnAHugeCanvasIsRefusedBeforeDecoding) {
  static const char kFile[] =
      "\x00\x00\x00\x28\x66\x74\x79\x70\x61\x76\x69\x66\x00\x00\x00\x00\x61\x76"
      "\x69\x66\x6d\x69\x66\x31\x6d\x69\x61\x00\x00\x04\x8a\x66\x6d\x69\x66\x31"
      "\x6d\x69\x61\x66\x00\x00\x01\x89\x6d\x65\x74\x61\x00\x00\x00\x00\x00\x00"
      "\x00\x21\x68\x64\x6c\x72\x00\x00\x00\x00\x00\x00\x00\x00\x70\x69\x63\x74"
      "\x00\x01\x00\x00\x00\x68\x65\x69\x6d\x00\x00\x00\x00\x00\x00\x00\x0e\x70"
      "\x69\x74\x6d\x00\x00\x00\x00\x00\x01\x00\x00\x00\x34\x69\x6c\x6f\x63\x00"
      "\x00\x00\x00\x44\x40\x00\x02\x00\x01\x00\x00\x00\x00\x01\xb9\x00\x01\x00"
      "\x00\x00\x00\x00\x00\x00\x7c\x00\x02\x00\x00\x00\x00\x02\x35\x00\x01\x00"
      "\x00\x00\x00\x00\x00\x00\x34\x00\x00\x00\x38\x69\x69\x6e\x66\x00\x00\x00"
      "\x00\x00\x02\x00\x00\x00\x15\x69\x6e\x66\x65\x02\x00\x00\x00\x00\x01\x00"
      "\x00\x69\x6f\x76\x6c\x00\x00\x00\x00\x15\x69\x6e\x47\x49\x46\x38\x37\x61"
      "\x00\x02\x00\x00\x61\x76\x30\x31\x00\x00\x00\x00\xc8\x69\x70\x72\x70\x00"
      "\x00\x00\xa0\x69\x70\x63\x6f\x00\x00\x00\x13\x63\x6f\x6c\x72\x6e\x63\x6c"
      "\x78\x00\x02\x00\x02\x00\x06\x80\x00\x00\x00\x0c\x61\x76\x31\x43\x81\x00"
      "\x0c\x00\x00\x00\x00\x09\x69\x72\x6f\x74\x03\x00\x00\x00\x14\x69\x73\x70"
      "\x65\x00\x00\x00\x00\x00\x00\x00\x07\x00\x00\x00\x09\x00\x00\x00\x10\x70"
      "\x69\x78\x69\x00\x00\x00\x00\x03\x08\x08\x08\x00\x00\x00\x13\x63\x6f\x6c"
      "\x72\x6e\x63\x6c\x78\x00\x02\x00\x02\x00\x06\x80\x00\x00\x00\x0c\x61\x76"
      "\x31\x43\x81\x00\x0c\x00\x00\x00\x00\x09\x69\x2f\x6f\x74\x03\x00\x00\x00"
      "\x14\x70\x69\x73\x65\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x04\x00"
      "\x00\x00\x10\x28\x69\x78\xcf\xff\xff\xff\x00\x03\x08\x08\x08\x00\x00\x00"
      "\x20\x69\x70\x6d\x61\x00\x00\x00\x00\x00\x00\x00\x02\x00\x01\x05\x81\x82"
      "\x03\x04\x85\x00\x02\x05\x86\x87\x08\x09\x84\x00\x00\x00\x1a\x69\x72\x65"
      "\x66\x00\x00\x00\x00\x00\x00\x74\x68\x6d\x62\x00\x02\x00\x01\x00\x01\x00"
      "\x00\x00\xb8\x6d\x64\x61\x74\x00\x00\x00\x12\x00\x00\x00\x0a\x21\x68\x64"
      "\x6c\x72\x00\x39\xe6\xb8\x7c\x00\x10\x36\x62\x4c\x93\x29\xdd\xc9\xf9\x9c"
      "\x1e\x84\x7a\xd3\x2c\x00\x00\x00\x00\x00\x00\x00\x0e\x70\x69\x74\x00\x10"
      "\x36\x62\x4c\x93\x29\xdd\xc9\xf9\x9c\x1e\x84\x7a\xd3\x00\x00\x00\x00\x44"
      "\x40\x00\x02\x00\x01\x00\x00\x00\x00\x01\xb9\x00\x01\x00\x00\x00\x00\x00"
      "\x00\x00\x7c\x00\x02\x00\x32\x26\x11\x80\x00\x00\x50\x46\xad\x5a\x82\x6f"
      "\x46\xa4\x4e\xd6\x04\x96\x97\x0d\x95\x39\xe6\xb8\x7c\x00\x10\x36\x62\x4c"
      "\x93\x29\xdd\xc9\xf9\x9c\x1e\x84\x7a\xd3";
  const std::string bytes(kFile, sizeof(kFile) - 1);
  EXPECT_EQ(runAll("overlay.avif", bytes), 2);  // information and bytes, no pixels
}

TEST_F(CorruptTest, GifWithThousandsOfFramesServesTheFirst) {
  std::vector<uint8_t> indices(64, 1);
  imagefiles::GifOptions options;
  options.globalPalette = {{0, 0, 0}, {255, 255, 255}};
  options.extraFrames = 5000;
  ASSERT_TRUE(imagefiles::writeGif(m_dir.file("frames.gif"), 8, 8, indices.data(), options));
  EXPECT_EQ(runAll("frames.gif", base("frames.gif")), 4);
}

}  // namespace
