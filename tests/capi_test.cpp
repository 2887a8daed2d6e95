// The C interface of the client library against a service in this process.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "imageserver/client.h"
#include "support/service.h"
#include "tools/common/image_files.h"

namespace {

class CApiTest : public testsupport::ServiceTest {
 protected:
  imageserver_client* open(uint32_t instance = kInstance) {
    imageserver_connect_options options;
    imageserver_connect_options_init(&options);
    options.instance = instance;
    options.runtime_dir = s_runDir.c_str();
    imageserver_error error;
    imageserver_client* client = imageserver_connect(&options, &error);
    EXPECT_NE(client, nullptr) << error.message;
    return client;
  }
};

// Bytes per pixel of the decoded formats.
size_t pixelSize(int32_t format) {
  switch (format) {
    case IMAGESERVER_FORMAT_L8:
      return 1;
    case IMAGESERVER_FORMAT_LA88:
    case IMAGESERVER_FORMAT_RGB565:
      return 2;
    case IMAGESERVER_FORMAT_RGB888:
    case IMAGESERVER_FORMAT_BGR888:
      return 3;
    default:
      return 4;
  }
}

// Whether |address| lies in a shared memory mapping of this process.
bool inSharedMemory(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long begin = 0, end = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &begin, &end) == 2 && begin <= at && at < end)
      return line.find("memfd:") != std::string::npos;
  }
  return false;
}

TEST_F(CApiTest, AFailedConnectOrABadArgumentIsAnErrorWithItsReason) {
  imageserver_connect_options options;
  imageserver_connect_options_init(&options);
  options.instance = kInstance + 1;
  options.runtime_dir = s_runDir.c_str();
  imageserver_error error;
  EXPECT_EQ(imageserver_connect(&options, &error), nullptr);
  EXPECT_EQ(error.code, IMAGESERVER_ERROR_CONNECT);
  EXPECT_NE(std::string(error.message).find(socketPath(kInstance + 1)), std::string::npos)
      << error.message;

  imageserver_client* client = open();
  ASSERT_NE(client, nullptr);
  const std::string image = bmp("a.bmp", 4, 4);
  const char* good[] = {image.c_str()};
  const char* empty[] = {""};
  const char* null[] = {nullptr};
  imageserver_answers* answers = nullptr;
  EXPECT_EQ(imageserver_info(client, empty, 1, &answers, &error),
            IMAGESERVER_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(error.code, IMAGESERVER_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(imageserver_read(client, null, 1, &answers, &error),
            IMAGESERVER_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(imageserver_read(client, nullptr, 1, &answers, &error),
            IMAGESERVER_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(answers, nullptr);
  // The scale's limits, from both sides.
  for (int32_t scale : {-1, 128})
    EXPECT_EQ(imageserver_decode(client, good, 1, scale, &answers, &error),
              IMAGESERVER_ERROR_INVALID_ARGUMENT)
        << scale;
  for (int32_t scale : {0, 127}) {
    ASSERT_EQ(imageserver_decode(client, good, 1, scale, &answers, &error), IMAGESERVER_OK)
        << error.message;
    EXPECT_EQ(error.code, IMAGESERVER_OK);
    EXPECT_EQ(imageserver_answers_count(answers), 1u);
    imageserver_answers_release(answers);
  }
  // No locators, no answers.
  ASSERT_EQ(imageserver_info(client, good, 0, &answers, nullptr), IMAGESERVER_OK);
  EXPECT_EQ(imageserver_answers_count(answers), 0u);
  EXPECT_EQ(imageserver_answers_get(answers, 0), nullptr);
  imageserver_answers_release(answers);

  // A service gone shows at the next request.
  stopServer();
  EXPECT_EQ(imageserver_info(client, good, 1, &answers, &error), IMAGESERVER_ERROR_CLOSED);
  EXPECT_EQ(answers, nullptr);
  EXPECT_STRNE(error.message, "");
  imageserver_close(client);
}

TEST_F(CApiTest, NLocatorsGetTheirAnswersInRequestOrder) {
  const std::string large = bmp("large.bmp", 300, 200);
  const std::string small = bmp("small.bmp", 6, 5);
  const std::string missing = m_files.file("missing.bmp");
  const char* locators[] = {large.c_str(), missing.c_str(), small.c_str(), large.c_str()};
  imageserver_client* client = open();
  ASSERT_NE(client, nullptr);
  imageserver_error error;

  char version[64];
  ASSERT_EQ(imageserver_interface_version(client, version, sizeof version, &error), IMAGESERVER_OK)
      << error.message;
  EXPECT_STRNE(version, "");

  const uint32_t sizes[][2] = {{300, 200}, {0, 0}, {6, 5}, {300, 200}};
  imageserver_answers* info = nullptr;
  ASSERT_EQ(imageserver_info(client, locators, 4, &info, &error), IMAGESERVER_OK) << error.message;
  ASSERT_EQ(imageserver_answers_count(info), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const imageserver_answer* answer = imageserver_answers_get(info, i);
    EXPECT_STREQ(answer->locator, locators[i]);
    EXPECT_EQ(answer->data, nullptr);
    if (i == 1) {
      EXPECT_EQ(answer->result, IMAGESERVER_RESULT_INVALID_IMAGE);
      continue;
    }
    EXPECT_EQ(answer->result, IMAGESERVER_RESULT_OK);
    EXPECT_EQ(answer->has_info, 1);
    EXPECT_EQ(answer->format, IMAGESERVER_FORMAT_BMP);
    EXPECT_EQ(answer->width, sizes[i][0]);
    EXPECT_EQ(answer->height, sizes[i][1]);
    EXPECT_EQ(answer->file_size, static_cast<int64_t>(imagefiles::readFile(locators[i]).size()));
  }
  imageserver_answers_release(info);

  imageserver_answers* bytes = nullptr;
  ASSERT_EQ(imageserver_read(client, locators, 4, &bytes, &error), IMAGESERVER_OK) << error.message;
  ASSERT_EQ(imageserver_answers_count(bytes), 4u);
  for (size_t i : {0, 2, 3}) {
    const imageserver_answer* answer = imageserver_answers_get(bytes, i);
    EXPECT_STREQ(answer->locator, locators[i]);
    EXPECT_EQ(answer->decoded, 0);
    EXPECT_EQ(answer->format, IMAGESERVER_FORMAT_BMP);
    EXPECT_EQ(answer->shared, i != 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(answer->data), answer->length),
              imagefiles::readFile(locators[i]));
  }
  EXPECT_EQ(imageserver_answers_get(bytes, 1)->result, IMAGESERVER_RESULT_INVALID_IMAGE);
  imageserver_answers_release(bytes);

  imageserver_answers* pixels = nullptr;
  ASSERT_EQ(imageserver_decode(client, locators, 4, 2, &pixels, &error), IMAGESERVER_OK)
      << error.message;
  ASSERT_EQ(imageserver_answers_count(pixels), 4u);
  for (size_t i : {0, 2, 3}) {
    const imageserver_answer* answer = imageserver_answers_get(pixels, i);
    EXPECT_STREQ(answer->locator, locators[i]);
    EXPECT_EQ(answer->result, IMAGESERVER_RESULT_OK);
    EXPECT_EQ(answer->decoded, 1);
    EXPECT_GE(answer->format, IMAGESERVER_FORMAT_L8);
    EXPECT_LE(answer->format, IMAGESERVER_FORMAT_ARGB8888);
    EXPECT_EQ(answer->width, sizes[i][0] / 2);
    EXPECT_EQ(answer->height, sizes[i][1] / 2);
    EXPECT_EQ(answer->length, size_t{answer->width} * answer->height * pixelSize(answer->format));
  }
  EXPECT_EQ(imageserver_answers_get(pixels, 1)->data, nullptr);
  imageserver_answers_release(pixels);
  imageserver_close(client);
}

TEST_F(CApiTest, AnswersKeepTheirMemoryPastTheClientUntilReleased) {
  std::vector<std::string> files;
  std::vector<const char*> locators;
  for (int i = 0; i < 3; ++i)
    files.push_back(bmp("big" + std::to_string(i) + ".bmp", 200 + i, 200));
  for (const std::string& file : files) locators.push_back(file.c_str());
  imageserver_client* client = open();
  ASSERT_NE(client, nullptr);
  imageserver_answers* answers = nullptr;
  imageserver_error error;
  ASSERT_EQ(imageserver_read(client, locators.data(), locators.size(), &answers, &error),
            IMAGESERVER_OK)
      << error.message;
  imageserver_close(client);
  stopServer();  // nothing maps anything new meanwhile

  std::vector<const void*> memory;
  for (size_t i = 0; i < files.size(); ++i) {
    const imageserver_answer* answer = imageserver_answers_get(answers, i);
    ASSERT_EQ(answer->shared, 1);
    EXPECT_TRUE(inSharedMemory(answer->data));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(answer->data), answer->length),
              imagefiles::readFile(files[i]));
    memory.push_back(answer->data);
  }
  imageserver_answers_release(answers);
  for (const void* address : memory) EXPECT_FALSE(inSharedMemory(address));
}

}  // namespace
