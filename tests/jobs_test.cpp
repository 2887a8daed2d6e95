// The delivery jobs and the image information: every answer, status and
// message, executed directly on the test thread.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "imageserver/ImageServer.h"
#include "imageserver/jobs/Job.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

namespace {

using svx::imageserver::RESULT_INVALID_IMAGE;
using svx::imageserver::RESULT_OK;
using svx::imageserver::RESULT_OUT_OF_MEMORY;
using svx::imageserver::RESULT_READ_INCOMPLETE;
using testsupport::RecordingReply;

CIPtr<CIString> locator(const std::string& text) {
  return CITypesFactory::createString(text.c_str(), util::UnicodeString_common::UTF8);
}

// Opaque RGB pixels with a pattern, so that scaling and copying show.
std::vector<uint8_t> pattern(uint32_t width, uint32_t height, int channels) {
  std::vector<uint8_t> pixels(size_t(width) * height * channels);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c)
        pixels[(size_t(y) * width + x) * channels + c] = uint8_t((x * 7 + y * 13 + c * 50) & 0xff);
  if (channels == 4)
    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
  return pixels;
}

class JobsTest : public ::testing::Test {
 protected:
  // Runs |job| and returns its one answer.
  RecordingReply::Answer run(ImageServer::Job&& job) {
    job.execute();
    auto answers = m_client.endpoint->answers();
    EXPECT_EQ(answers.size(), m_seen + 1) << "exactly one answer per job";
    m_seen = answers.size();
    return answers.back();
  }
  RecordingReply::Answer info(const CIPtr<CIString>& at) {
    return run(ImageServer::FileInfoJob(m_client.proxy, at));
  }
  RecordingReply::Answer read(const CIPtr<CIString>& at, bool withInfo) {
    return run(ImageServer::FileReadJob(m_client.proxy, at, withInfo));
  }
  RecordingReply::Answer decode(const CIPtr<CIString>& at, int32_t scaling) {
    return run(ImageServer::FileDecodeJob(m_client.proxy, at, scaling));
  }
  std::string bmp(const std::string& name, uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels = pattern(width, height, 4);
    std::string path = m_dir.file(name);
    EXPECT_TRUE(imagefiles::writeBmp(path, width, height, pixels.data()));
    return path;
  }
  size_t logged(int16_t level, const std::string& text) {
    return testsupport::traces().count("IMS_Worker", level, text);
  }

  testsupport::TempDir m_dir;
  testsupport::ReplyFixture m_client;
  size_t m_seen = 0;
};

// --- Information -------------------------------------------------------------

TEST_F(JobsTest, InformationOfEachFormat) {
  std::vector<uint8_t> rgb = pattern(5, 3, 3);
  std::vector<uint16_t> samples(rgb.begin(), rgb.end());
  std::vector<uint8_t> indices(15, 1);
  imagefiles::GifOptions gif;
  gif.globalPalette = {{0, 0, 0}, {255, 0, 0}};
  struct Case {
    std::string path;
    svx::imageserver::ImageFormat format;
  } cases[] = {
      {m_dir.file("a.jpg"), svx::imageserver::IMAGE_FORMAT_JPEG},
      {m_dir.file("a.png"), svx::imageserver::IMAGE_FORMAT_PNG},
      {m_dir.file("a.gif"), svx::imageserver::IMAGE_FORMAT_GIF},
      {bmp("a.bmp", 5, 3), svx::imageserver::IMAGE_FORMAT_BMP},
      {m_dir.file("a.webp"), svx::imageserver::IMAGE_FORMAT_WEBP},
      // No source type of the interface: unknown, with its size.
      {m_dir.file("a.heic"), svx::imageserver::IMAGE_FORMAT_UNKNOWN},
  };
  imagefiles::PngOptions png;
  png.colorType = 2;
  ASSERT_TRUE(imagefiles::writeJpeg(cases[0].path, 5, 3, rgb.data()));
  ASSERT_TRUE(imagefiles::writePng(cases[1].path, 5, 3, samples, png));
  ASSERT_TRUE(imagefiles::writeGif(cases[2].path, 5, 3, indices.data(), gif));
  std::vector<uint8_t> rgba = pattern(5, 3, 4);
  ASSERT_TRUE(imagefiles::writeWebp(cases[4].path, 5, 3, rgba.data()));
  ASSERT_TRUE(imagefiles::writeHeif(cases[5].path, 5, 3, rgba.data()));

  for (const Case& c : cases) {
    CIPtr<CIString> at = locator("file://" + c.path);
    auto answer = info(at);
    EXPECT_EQ(answer.operation, RecordingReply::INFORMATION);
    EXPECT_EQ(answer.locator, at);
    ASSERT_EQ(answer.result, RESULT_OK) << c.path;
    EXPECT_EQ(answer.information->format, c.format);
    EXPECT_EQ(answer.information->width, 5u);
    EXPECT_EQ(answer.information->height, 3u);
    long long size = static_cast<long long>(imagefiles::readFile(c.path).size());
    EXPECT_EQ(answer.information->fileSize, size);
    EXPECT_EQ(answer.information->hash, (size << 32) | size);
  }
}

TEST_F(JobsTest, TheHashHoldsTheFileSizeInBothHalves) {
  std::string path = bmp("k.bmp", 4, 4);
  std::string bytes = imagefiles::readFile(path);
  bytes.resize(1000, '\0');  // trailing bytes after the pixels are ignored by readers
  imagefiles::writeFile(path, bytes);
  long long size = -1;
  EXPECT_EQ(ImageServer::calcHash(util::UnicodeString8(path.c_str()), size), 4294967297000LL);
  EXPECT_EQ(size, 1000);
  imagefiles::writeFile(m_dir.file("empty"), "");
  EXPECT_EQ(ImageServer::calcHash(util::UnicodeString8(m_dir.file("empty").c_str()), size), 0);
  EXPECT_EQ(size, 0);
  size = -1;
  EXPECT_EQ(ImageServer::calcHash(util::UnicodeString8(m_dir.file("none").c_str()), size), 0);
  EXPECT_EQ(size, 0);
  EXPECT_FALSE(kor::ErrorStorage::pending());
}

TEST_F(JobsTest, EngineValuesMapOntoTheFormatEnumeration) {
  using lumo::BitmapInfo;
  struct Case {
    int engine;
    int type;
    int format;
  } cases[] = {{0, 13, 13}, {1, 0, 5},   {4, 3, 8},    {5, 4, 9},           {6, 13, 10},
               {8, 13, 12}, {9, 13, 13}, {-1, 13, 13}, {0x7fffffff, 13, 13}};
  for (const Case& c : cases) {
    EXPECT_EQ(ImageServer::getType(static_cast<BitmapInfo::SourceType>(c.engine)), c.type)
        << c.engine;
    EXPECT_EQ(ImageServer::getFormat(static_cast<BitmapInfo::Format>(c.engine)), c.format)
        << c.engine;
  }
}

TEST_F(JobsTest, UnreadableInformationIsInvalidAndLoggedWithTheLocator) {
  imagefiles::writeFile(m_dir.file("text.png"), "this is not an image");
  const std::string missing = m_dir.file("missing.png");
  for (const std::string& path : {m_dir.file("text.png"), missing}) {
    CIPtr<CIString> at = locator(path);
    auto answer = info(at);
    EXPECT_EQ(answer.result, RESULT_INVALID_IMAGE);
    EXPECT_TRUE(answer.information.isNull());
    EXPECT_EQ(answer.locator, at);
  }
  auto messages = testsupport::traces().messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].text.rfind("getting file info for " + missing + " failed; ", 0), 0u);
  EXPECT_FALSE(kor::ErrorStorage::pending());

  // Silenced channel: nothing written, the error still acknowledged.
  tracing::setLevel("IMS_Worker", 5);
  testsupport::traces().clear();
  EXPECT_EQ(info(locator(missing)).result, RESULT_INVALID_IMAGE);
  EXPECT_TRUE(testsupport::traces().messages().empty());
  EXPECT_FALSE(kor::ErrorStorage::pending());
}

TEST_F(JobsTest, NoMemoryForTheInformationRecord) {
  CIPtr<CIString> at = locator(bmp("m.bmp", 2, 2));
  kor::testing::failAllocations("ImageInformation");
  auto answer = info(at);
  EXPECT_EQ(answer.result, RESULT_OUT_OF_MEMORY);
  EXPECT_TRUE(answer.information.isNull());
  EXPECT_EQ(logged(4, "getInfo: OOM"), 1u);
}

TEST_F(JobsTest, RoutineProgressIsLoggedAtLevelOne) {
  tracing::setLevel("IMS_Worker", 1);
  std::string path = bmp("r.bmp", 2, 2);
  info(locator(path));
  read(locator(path), false);
  decode(locator(path), -7);
  EXPECT_EQ(logged(1, "getting file info for " + path), 1u);
  EXPECT_EQ(logged(1, "reading undecoded image for " + path), 1u);
  EXPECT_EQ(logged(1, "reading decoded image for " + path + ", scaling -7"), 1u);
}

// --- Undecoded read ------------------------------------------------------------

TEST_F(JobsTest, ReadDeliversTheFileBytesWithInformationWhenAsked) {
  std::string path = bmp("b.bmp", 3, 2);
  std::string bytes = imagefiles::readFile(path);
  for (bool withInfo : {false, true}) {
    CIPtr<CIString> at = locator(path);
    auto answer = read(at, withInfo);
    ASSERT_EQ(answer.result, RESULT_OK);
    EXPECT_EQ(answer.operation, RecordingReply::IMAGE);
    EXPECT_EQ(answer.locator, at);
    EXPECT_FALSE(answer.image->decoded);
    ASSERT_EQ(answer.image->dataLength, bytes.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(answer.image->data->data()), bytes.size()),
              bytes);
    EXPECT_EQ(answer.image->imageInformation.isNull(), !withInfo);
    if (withInfo) {
      EXPECT_EQ(answer.image->imageInformation->width, 3u);
      EXPECT_EQ(answer.image->imageInformation->fileSize, static_cast<long long>(bytes.size()));
    }
  }
}

TEST_F(JobsTest, ReadFailuresAnswerWithTheirStatus) {
  imagefiles::writeFile(m_dir.file("junk.bmp"), "BM but not really");
  EXPECT_EQ(read(locator(m_dir.file("junk.bmp")), true).result, RESULT_INVALID_IMAGE);

  CIPtr<CIString> at = locator(bmp("o.bmp", 2, 2));
  const char* sites[] = {"ImageInformation", "CIInt8Array", "Image"};
  for (const char* site : sites) {
    kor::testing::failAllocations(site);
    auto answer = read(at, true);
    EXPECT_EQ(answer.result, RESULT_OUT_OF_MEMORY) << site;
    EXPECT_TRUE(answer.image.isNull()) << site;
  }
  EXPECT_FALSE(kor::ErrorStorage::pending());
}

// Changes the file while the job holds its measured size: the byte array is
// allocated between the measurement and the read.
class ResizingAllocator : public CIInt8ArrayAllocator {
 public:
  ResizingAllocator(std::string path, long newSize) : m_path(std::move(path)), m_size(newSize) {}
  CIInt8Array::Storage* allocate(uint32_t) override {
    EXPECT_EQ(truncate(m_path.c_str(), m_size), 0);
    return nullptr;  // the heap as usual
  }

 private:
  std::string m_path;
  long m_size;
};

TEST_F(JobsTest, AFileThatShrinksIsIncompleteAndOneThatGrowsIsCut) {
  // Larger than the stream buffer, so that the read reaches the file.
  std::string path = bmp("s.bmp", 64, 64);
  const std::string original = imagefiles::readFile(path);
  CIPtr<CIString> at = locator(path);

  ResizingAllocator shrink(path, 10);
  CITypesFactory::setInt8ArrayAllocator(&shrink, 0);
  auto answer = read(at, true);
  CITypesFactory::setInt8ArrayAllocator(nullptr, 0);
  EXPECT_EQ(answer.result, RESULT_READ_INCOMPLETE);
  ASSERT_FALSE(answer.image.isNull());
  EXPECT_TRUE(answer.image->imageInformation.isNull());
  EXPECT_TRUE(answer.image->data.isNull());
  EXPECT_EQ(answer.image->dataLength, 0u);

  imagefiles::writeFile(path, original);
  ResizingAllocator grow(path, static_cast<long>(original.size()) + 4096);
  CITypesFactory::setInt8ArrayAllocator(&grow, 0);
  answer = read(at, false);
  CITypesFactory::setInt8ArrayAllocator(nullptr, 0);
  EXPECT_EQ(answer.result, RESULT_OK);
  EXPECT_EQ(answer.image->dataLength, original.size());
}

TEST_F(JobsTest, AFileReplacedByAFifoAfterValidationFailsWithoutBlocking) {
  util::config::Provider::setStoreRoot(m_dir.path().c_str());
  ImageServer* server = startImageServer(500);
  std::string path = bmp("swap.bmp", 2, 2);
  CIPtr<CIString> at = locator(path);
  EXPECT_TRUE(server->isImagePath(at));
  stopImageServer(server);
  util::config::Provider::setStoreRoot(nullptr);

  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(info(at).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(read(at, false).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(decode(at, 0).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(decode(at, 2).result, RESULT_INVALID_IMAGE);
}

// --- Decode ----------------------------------------------------------------------

TEST_F(JobsTest, DecodedPixelsAreTheImagesAndDescribeThemselves) {
  const uint32_t w = 6, h = 4;
  std::vector<uint8_t> rgba = pattern(w, h, 4);
  std::string path = m_dir.file("d.bmp");
  ASSERT_TRUE(imagefiles::writeBmp(path, w, h, rgba.data()));
  CIPtr<CIString> at = locator(path);
  auto answer = decode(at, 1);
  ASSERT_EQ(answer.result, RESULT_OK);
  EXPECT_EQ(answer.locator, at);
  const auto& image = *answer.image;
  EXPECT_TRUE(image.decoded);
  ASSERT_EQ(image.imageInformation->format, svx::imageserver::IMAGE_FORMAT_RGB888);
  EXPECT_EQ(image.imageInformation->width, w);
  EXPECT_EQ(image.imageInformation->height, h);
  ASSERT_EQ(image.dataLength, w * h * 3);
  ASSERT_EQ(image.data->size(), w * h * 3);
  const uint8_t* got = reinterpret_cast<const uint8_t*>(image.data->data());
  for (uint32_t i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) ASSERT_EQ(got[i * 3 + c], rgba[i * 4 + c]) << i;

  auto information = info(at);
  EXPECT_EQ(image.imageInformation->hash, information.information->hash);
  EXPECT_EQ(image.imageInformation->fileSize, information.information->fileSize);
}

TEST_F(JobsTest, ScalingDividesBothSidesAndOnlyTwoOrMoreScales) {
  CIPtr<CIString> at = locator(bmp("big.bmp", 641, 480));
  struct Case {
    int32_t scaling;
    uint32_t width;
    uint32_t height;
  } cases[] = {
      {0, 641, 480}, {1, 641, 480}, {-1, 641, 480}, {-128, 641, 480}, {2, 320, 240},
      {3, 213, 160}, {127, 5, 3},   {1000, 1, 1},  // a target side of 0 is clamped to 1 by the
                                                   // engine
  };
  for (const Case& c : cases) {
    auto answer = decode(at, c.scaling);
    ASSERT_EQ(answer.result, RESULT_OK) << c.scaling;
    EXPECT_EQ(answer.image->imageInformation->width, c.width) << c.scaling;
    EXPECT_EQ(answer.image->imageInformation->height, c.height) << c.scaling;
    EXPECT_EQ(answer.image->dataLength, c.width * c.height * 3);
  }
}

TEST_F(JobsTest, AnUnreadableHeaderIsReportedByStage) {
  imagefiles::writeFile(m_dir.file("bad.png"), "definitely not a PNG");
  const std::string path = m_dir.file("bad.png");
  EXPECT_EQ(decode(locator(path), 2).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(decode(locator(path), 0).result, RESULT_INVALID_IMAGE);
  auto messages = testsupport::traces().messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text.rfind("decoding image (reading header) for " + path + " failed; ", 0),
            0u);
  EXPECT_EQ(messages[1].text.rfind("decoding image (processing data) for " + path + " failed; ", 0),
            0u);
  EXPECT_FALSE(kor::ErrorStorage::pending());
}

TEST_F(JobsTest, DecodeOutOfMemoryRows) {
  CIPtr<CIString> at = locator(bmp("oom.bmp", 4, 4));
  struct Case {
    const char* site;
    const char* message;
    bool recordSent;
  } cases[] = {{"Image", "Decoding image: OOM1", false},
               {"ImageInformation", "Decoding image: OOM2", false},
               {"CIPtr", "Decoding image: OOM1", false},  // the record's own handle
               {"CIInt8Array", "Decoding image: OOM3", true}};
  for (const Case& c : cases) {
    testsupport::traces().clear();
    kor::testing::failAllocations(c.site);
    auto answer = decode(at, 0);
    EXPECT_EQ(answer.result, RESULT_OUT_OF_MEMORY) << c.site;
    EXPECT_EQ(logged(4, c.message), 1u) << c.site;
    ASSERT_EQ(!answer.image.isNull(), c.recordSent) << c.site;
    if (c.recordSent) {
      EXPECT_TRUE(answer.image->decoded);
      EXPECT_TRUE(answer.image->data.isNull());
      EXPECT_EQ(answer.image->dataLength, 0u);
      EXPECT_EQ(answer.image->imageInformation->width, 4u);
    }
  }
  kor::testing::failAllocations("lumo::Bitmap");
  EXPECT_EQ(decode(at, 0).result, RESULT_INVALID_IMAGE);
  EXPECT_FALSE(kor::ErrorStorage::pending());
}

TEST_F(JobsTest, ACancelledDecodeIsAnsweredAsAFailedOne) {
  CIPtr<CIString> at = locator(bmp("c.bmp", 8, 8));
  kor::CancellationScope cancelled([] { return true; });
  EXPECT_EQ(decode(at, 0).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(logged(4, "decoding image (processing data) for " + m_dir.file("c.bmp") +
                          " failed; decoding cancelled"),
            1u);
  // Reading a header or the bytes is not worth cancelling.
  EXPECT_EQ(info(at).result, RESULT_OK);
  EXPECT_EQ(read(at, true).result, RESULT_OK);
  EXPECT_FALSE(kor::ErrorStorage::pending());
}

}  // namespace
