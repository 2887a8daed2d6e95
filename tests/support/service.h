// A real service in this process, registered in a runtime folder of the
// test suite's own and reached through its socket.
#ifndef TESTS_SUPPORT_SERVICE_H_
#define TESTS_SUPPORT_SERVICE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "imageserver/ImageServer.h"
#include "support/harness.h"
#include "svx/imageserver/client/ImageServerClient.h"

namespace testsupport {

// Starts the service of kInstance before each test (with an empty
// configuration) and stops it, and every other one the test started, after.
class ServiceTest : public ::testing::Test {
 public:
  static constexpr uint32_t kInstance = 700;
  static constexpr double kTimeout = 30.0;

 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Starts another service; stopped with the test.
  ImageServer* start(uint32_t instance);
  // Stops the service of kInstance now.
  void stopServer();
  std::string socketPath(uint32_t instance = kInstance) const;
  // A raw connection to |path|; -1 when it was refused.
  static int rawConnect(const std::string& path);
  std::unique_ptr<imageserver::client::SyncClient> connect(uint32_t instance = kInstance);
  // True when the service still answers an information request for |image|.
  bool serves(const std::string& image, uint32_t instance = kInstance);
  // Writes a |width| x |height| BMP of varied pixels; its path.
  std::string bmp(const std::string& name, uint32_t width, uint32_t height);

  static TempDir* s_runtime;
  static std::string s_runDir;
  TempDir m_config;
  TempDir m_files;
  ImageServer* m_server = nullptr;
  std::vector<ImageServer*> m_others;
  int m_fdsAtStart = 0;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SERVICE_H_
