// The delivery jobs and the image information: every answer, status and
// message, executed directly on the test thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
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
  return CITypesFactory::createString(text.c_str(), util::UnicodeString_common::kUtf8);
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
  // Writes an opaque BMP whose pixels (in |rgba|) have a pattern, so that
  // scaling and copying show.
  std::string bmp(const std::string& name, uint32_t width, uint32_t height,
                  std::vector<uint8_t>* rgba = nullptr) {
    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); ++i)
      pixels[i] = i % 4 == 3 ? 255 : uint8_t(i * 7 + i / 9);
    std::string path = m_dir.file(name);
    EXPECT_TRUE(imagefiles::writeBmp(path, width, height, pixels.data()));
    if (rgba != nullptr) *rgba = pixels;
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

TEST_F(JobsTest, EachJobAnswersWithWhatItReadAndLogsItsProgressAtLevelOne) {
  tracing::setLevel("IMS_Worker", 1);
  const uint32_t w = 6, h = 4;
  std::vector<uint8_t> rgba;
  const std::string text = "file://" + bmp("d.bmp", w, h, &rgba);
  const std::string bytes = imagefiles::readFile(m_dir.file("d.bmp"));
  const long long size = static_cast<long long>(bytes.size());
  CIPtr<CIString> at = locator(text);
  auto information = info(at);
  EXPECT_EQ(information.operation, RecordingReply::INFORMATION);
  EXPECT_EQ(information.locator, at);
  ASSERT_EQ(information.result, RESULT_OK);
  EXPECT_EQ(information.information->format, svx::imageserver::IMAGE_FORMAT_BMP);
  EXPECT_EQ(information.information->width, w);
  EXPECT_EQ(information.information->height, h);
  EXPECT_EQ(information.information->fileSize, size);
  EXPECT_EQ(information.information->hash, (size << 32) | size);

  for (bool withInfo : {false, true}) {
    auto answer = read(at, withInfo);
    ASSERT_EQ(answer.result, RESULT_OK);
    EXPECT_EQ(answer.operation, RecordingReply::IMAGE);
    EXPECT_EQ(answer.locator, at);
    EXPECT_FALSE(answer.image->decoded);
    ASSERT_EQ(answer.image->dataLength, bytes.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(answer.image->data->data()), bytes.size()),
              bytes);
    const auto& record = answer.image->imageInformation;
    EXPECT_EQ(record.isNull() ? 0u : record->width, withInfo ? w : 0u);
  }

  auto answer = decode(at, 1);
  ASSERT_EQ(answer.result, RESULT_OK);
  EXPECT_EQ(answer.locator, at);
  const auto& image = *answer.image;
  EXPECT_TRUE(image.decoded);
  ASSERT_EQ(image.imageInformation->format, svx::imageserver::IMAGE_FORMAT_RGB888);
  EXPECT_EQ(image.imageInformation->width, w);
  EXPECT_EQ(image.imageInformation->height, h);
  EXPECT_EQ(image.imageInformation->hash, information.information->hash);
  EXPECT_EQ(image.imageInformation->fileSize, size);
  ASSERT_EQ(image.dataLength, w * h * 3);
  ASSERT_EQ(image.data->size(), w * h * 3);
  const uint8_t* got = reinterpret_cast<const uint8_t*>(image.data->data());
  for (uint32_t i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) ASSERT_EQ(got[i * 3 + c], rgba[i * 4 + c]) << i;

  EXPECT_EQ(logged(1, "getting file info for " + text), 1u);
  EXPECT_EQ(logged(1, "reading undecoded image for " + text), 2u);
  EXPECT_EQ(logged(1, "reading decoded image for " + text + ", scaling 1"), 1u);
}

TEST_F(JobsTest, TheHashHoldsTheFileSizeInBothHalvesUpToTheSigned32BitRange) {
  const util::UnicodeString8 path(bmp("k.bmp", 4, 4).c_str());
  long long size = -1;
  // Sizes up to INT32_MAX measure; a larger one counts as unmeasurable
  // (sparse files: nothing is written).
  struct Case {
    long long length, hash, size;
  } cases[] = {{1000, 4294967297000LL, 1000},
               {0, 0, 0},
               {INT32_MAX, (static_cast<long long>(INT32_MAX) << 32) | INT32_MAX, INT32_MAX},
               {INT32_MAX + 1LL, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    ASSERT_EQ(truncate(path.utf8(), c.length), 0);
    EXPECT_EQ(ImageServer::calcHash(path, size), c.hash);
    EXPECT_EQ(size, c.size);
  }
  size = -1;
  EXPECT_EQ(ImageServer::calcHash(util::UnicodeString8(m_dir.file("none").c_str()), size), 0);
  EXPECT_EQ(size, 0);
}

TEST_F(JobsTest, EngineValuesMapOntoTheFormatEnumeration) {
  using lumo::BitmapInfo;
  struct Case {
    int engine, type, format;
  } cases[] = {{0, 13, 13}, {1, 0, 5},   {4, 3, 8},    {5, 4, 9},           {6, 13, 10},
               {8, 13, 12}, {9, 13, 13}, {-1, 13, 13}, {0x7fffffff, 13, 13}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.engine);
    EXPECT_EQ(ImageServer::getType(static_cast<BitmapInfo::SourceType>(c.engine)), c.type);
    EXPECT_EQ(ImageServer::getFormat(static_cast<BitmapInfo::Format>(c.engine)), c.format);
  }
}

TEST_F(JobsTest, UnreadableInformationIsInvalidAndLoggedWithTheLocator) {
  const std::string missing = m_dir.file("missing.png");
  CIPtr<CIString> at = locator(missing);
  auto answer = info(at);
  EXPECT_EQ(answer.result, RESULT_INVALID_IMAGE);
  EXPECT_TRUE(answer.information.isNull());
  EXPECT_EQ(answer.locator, at);
  EXPECT_EQ(logged(4, "getting file info for " + missing + " failed; cannot open " + missing +
                          ": No such file or directory"),
            1u);

  // Silenced channel: nothing written, the error still acknowledged.
  tracing::setLevel("IMS_Worker", 5);
  testsupport::traces().clear();
  EXPECT_EQ(info(locator(missing)).result, RESULT_INVALID_IMAGE);
  EXPECT_TRUE(testsupport::traces().messages().empty());
}

// --- Undecoded read ------------------------------------------------------------

TEST_F(JobsTest, ReadAndInformationFailuresAnswerWithTheirStatus) {
  imagefiles::writeFile(m_dir.file("junk.bmp"), "BM but not really");
  EXPECT_EQ(read(locator(m_dir.file("junk.bmp")), true).result, RESULT_INVALID_IMAGE);

  CIPtr<CIString> at = locator(bmp("o.bmp", 2, 2));
  for (const char* site : {"ImageInformation", "CIInt8Array", "Image"}) {
    SCOPED_TRACE(site);
    kor::testing::failAllocations(site);
    auto answer = read(at, true);
    EXPECT_EQ(answer.result, RESULT_OUT_OF_MEMORY);
    EXPECT_TRUE(answer.image.isNull());
  }
  kor::testing::failAllocations("ImageInformation");
  auto answer = info(at);
  EXPECT_EQ(answer.result, RESULT_OUT_OF_MEMORY);
  EXPECT_TRUE(answer.information.isNull());
  EXPECT_EQ(logged(4, "getInfo: OOM"), 2u);  // the read's and this one

  // No 32-bit array holds a file past 2 GiB (a sparse one).
  ASSERT_EQ(truncate(m_dir.file("o.bmp").c_str(), INT32_MAX + 1LL), 0);
  EXPECT_EQ(read(at, false).result, RESULT_OUT_OF_MEMORY);
}

// Every open of a job (the engine's, the undecoded read's, the size
// measurement's) refuses a path through a magic link of /proc, even one that
// passed validation: what it reaches is whatever the descriptor is by the
// time the job runs. (Which paths are such links is the platform's to say.)
TEST_F(JobsTest, LocatorsThroughMagicLinksAreInvalidWhenTheJobRuns) {
  const int fd = open(bmp("m.bmp", 2, 2).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string n = std::to_string(fd);
  CIPtr<CIString> at = locator("/proc/self/fd/" + n);
  EXPECT_EQ(info(at).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(read(at, true).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(decode(at, 1).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(decode(at, 2).result, RESULT_INVALID_IMAGE);
  long long size = -1;
  EXPECT_EQ(ImageServer::calcHash(util::UnicodeString8(at->utf8()), size), 0);
  EXPECT_EQ(size, 0);
  close(fd);
  EXPECT_EQ(
      logged(4, "getting file info for /proc/self/fd/" + n + " failed; cannot open /proc/self/fd/" +
                    n + ": the path passes through a magic link of /proc"),
      2u);  // the information job's and the read's
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

// --- Decode ----------------------------------------------------------------------

TEST_F(JobsTest, ScalingDividesBothSidesAndOnlyTwoOrMoreScales) {
  CIPtr<CIString> at = locator(bmp("big.bmp", 641, 480));
  // 1 and less decode at full size, 2 is the smallest divisor; a target side
  // of 0 is clamped to 1 by the engine.
  struct Case {
    int32_t scaling;
    uint32_t width, height;
  } cases[] = {{0, 641, 480}, {1, 641, 480}, {-1, 641, 480}, {-128, 641, 480},
               {2, 320, 240}, {3, 213, 160}, {127, 5, 3},    {1000, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scaling);
    auto answer = decode(at, c.scaling);
    ASSERT_EQ(answer.result, RESULT_OK);
    EXPECT_EQ(answer.image->imageInformation->width, c.width);
    EXPECT_EQ(answer.image->imageInformation->height, c.height);
    EXPECT_EQ(answer.image->dataLength, c.width * c.height * 3);
  }
}

// The decode limit bounds pixels, not what a client may learn of a file.
TEST_F(JobsTest, AnImageBeyondTheDecodeLimitHasItsInformationAndBytesButNoPixels) {
  const std::string path = m_dir.file("huge.png");
  ASSERT_TRUE(imagefiles::writePngHeader(path, 20000, 15000));
  CIPtr<CIString> at = locator(path);
  auto information = info(at);
  ASSERT_EQ(information.result, RESULT_OK);
  EXPECT_EQ(std::make_tuple(information.information->width, information.information->height),
            std::make_tuple(20000u, 15000u));
  auto bytes = read(at, true);
  ASSERT_EQ(bytes.result, RESULT_OK);
  EXPECT_EQ(bytes.image->dataLength, imagefiles::readFile(path).size());
  EXPECT_EQ(bytes.image->imageInformation->width, 20000u);
  EXPECT_EQ(decode(at, 8).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(logged(4, "decoding image (processing data) for " + path +
                          " failed; image too large: 20000 x 15000"),
            1u);
}

TEST_F(JobsTest, AnUnreadableHeaderIsReportedByStage) {
  const std::string path = m_dir.file("bad.png");
  imagefiles::writeFile(path, "definitely not a PNG");
  EXPECT_EQ(decode(locator(path), 2).result, RESULT_INVALID_IMAGE);
  EXPECT_EQ(decode(locator(path), 0).result, RESULT_INVALID_IMAGE);
  auto messages = testsupport::traces().messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].text.rfind("decoding image (reading header) for " + path + " failed; ", 0),
            0u);
  EXPECT_EQ(messages[2].text.rfind("decoding image (processing data) for " + path + " failed; ", 0),
            0u);
  // Each failure line is followed by its cause, at the level of a refused
  // request.
  for (size_t i : {1, 3}) {
    EXPECT_EQ(messages[i].level, 3);
    EXPECT_EQ(messages[i].text, "resourceLocator " + path + " refused: not an image");
  }
}

TEST_F(JobsTest, AFileTheEngineCannotReadIsLoggedWithItsCause) {
  const std::string png = m_dir.file("cut.png");
  ASSERT_TRUE(imagefiles::writePng(png, 8, 8, std::vector<uint16_t>(8 * 8 * 4, 200)));
  std::string bytes = imagefiles::readFile(png);
  imagefiles::writeFile(png, bytes.substr(0, 20));  // the signature and part of the header
  const std::string text = m_dir.file("notes.png");
  imagefiles::writeFile(text, "plain text");
  const std::string fine = bmp("fine.bmp", 2, 2);
  const struct {
    std::string path;
    const char* cause;  // null: no cause line
  } cases[] = {{png, "damaged image"},
               {text, "not an image"},
               {m_dir.file("gone.png"), "no such file"},
               {fine, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    testsupport::traces().clear();
    info(locator(c.path));
    decode(locator(c.path), 0);
    EXPECT_EQ(logged(3, "resourceLocator " + c.path + " refused: " + (c.cause ? c.cause : "")),
              c.cause ? 2u : 0u);
    EXPECT_EQ(testsupport::traces().messages().size(), c.cause ? 4u : 0u);
  }
}

TEST_F(JobsTest, DecodeOutOfMemoryRows) {
  CIPtr<CIString> at = locator(bmp("oom.bmp", 4, 4));
  struct Case {
    const char *site, *message;
    bool recordSent;
  } cases[] = {{"Image", "Decoding image: OOM1", false},
               {"ImageInformation", "Decoding image: OOM2", false},
               {"CIPtr", "Decoding image: OOM1", false},  // the record's own handle
               {"CIInt8Array", "Decoding image: OOM3", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.site);
    testsupport::traces().clear();
    kor::testing::failAllocations(c.site);
    auto answer = decode(at, 0);
    EXPECT_EQ(answer.result, RESULT_OUT_OF_MEMORY);
    EXPECT_EQ(logged(4, c.message), 1u);
    ASSERT_EQ(!answer.image.isNull(), c.recordSent);
    if (c.recordSent) {
      EXPECT_TRUE(answer.image->decoded);
      EXPECT_TRUE(answer.image->data.isNull());
      EXPECT_EQ(answer.image->dataLength, 0u);
      EXPECT_EQ(answer.image->imageInformation->width, 4u);
    }
  }
  kor::testing::failAllocations("lumo::Bitmap");
  EXPECT_EQ(decode(at, 0).result, RESULT_INVALID_IMAGE);
}

TEST_F(JobsTest, ACancelledDecodeIsAnsweredAsAFailedOneButNotLoggedAsAFailure) {
  CIPtr<CIString> at = locator(bmp("c.bmp", 8, 8));
  kor::CancellationScope cancelled([] { return true; });
  for (int scaling : {0, 2}) EXPECT_EQ(decode(at, scaling).result, RESULT_INVALID_IMAGE);
  // Only a departed client cancels: a routine line, no failure.
  EXPECT_EQ(
      logged(2, "decoding image for " + m_dir.file("c.bmp") + " cancelled: its client has gone"),
      2u);
  for (const auto& m : testsupport::traces().messages()) EXPECT_LT(m.level, 4) << m.text;
  // Reading a header or the bytes is not worth cancelling.
  EXPECT_EQ(info(at).result, RESULT_OK);
  EXPECT_EQ(read(at, true).result, RESULT_OK);
}

}  // namespace
