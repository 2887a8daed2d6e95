#include "support/service.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/lumo/sandbox.h"
#include "platform/transport.h"
#include "platform/transport/segment.h"
#include "svx/imageserver/ImageServerWire.h"
#include "tools/common/image_files.h"

namespace testsupport {

TempDir* ServiceTest::s_runtime = nullptr;
std::string ServiceTest::s_runDir;

void ServiceTest::SetUpTestSuite() {
  s_runtime = new TempDir();
  s_runDir = s_runtime->file("run");
  setenv(comm::kRuntimeDirVariable, s_runDir.c_str(), 1);
  // The decoder that honours the test requests (see the engine's tests).
  lumo::internal::setDecoderExecutable(IMAGESERVER_TEST_DECODER);
  ASSERT_TRUE(svx::imageserver::wire::installTransport());
}

void ServiceTest::TearDownTestSuite() {
  unsetenv(comm::kRuntimeDirVariable);
  delete s_runtime;
}

void ServiceTest::SetUp() {
  m_fdsAtStart = openFdCount();
  util::config::Provider::setStoreRoot(m_config.path().c_str());
  m_server = startImageServer(kInstance);
  ASSERT_NE(m_server, nullptr);
  ASSERT_TRUE(m_server->registration().isAlive());
  for (int i = 0; i < 2000 && !workerReady(); ++i) usleep(1000);
  ASSERT_TRUE(workerReady());
}

void ServiceTest::TearDown() {
  stopServer();
  for (ImageServer* server : m_others) stopImageServer(server);
  util::config::Provider::setStoreRoot(nullptr);
  // Settings a test may have changed.
  setenv(comm::kRuntimeDirVariable, s_runDir.c_str(), 1);
  comm::Transport::getInstance().setStopDrainTime(comm::kStopDrainMs);
  comm::Transport::getInstance().setClientMemoryGraceTime(comm::kClientMemoryGraceMs);
  comm::Transport::getInstance().setMaxOwedAnswersTotal(comm::kMaxOwedAnswersTotal);
  comm::setClientMemoryLimit(0);
  comm::setTotalClientMemoryLimit(0);
  comm::setSegmentDescriptorBudget(0);
  lumo::internal::setDecoderDeadlines(0, 0);
  // A dispatch thread may still hold a closed connection, and with it the
  // descriptors of its segments, for a moment after the stop returned.
  for (int i = 0; i < 2000 && openFdCount() > m_fdsAtStart; ++i) usleep(1000);
}

ImageServer* ServiceTest::start(uint32_t instance) {
  ImageServer* server = startImageServer(instance);
  m_others.push_back(server);
  return server;
}

void ServiceTest::stopServer() {
  if (m_server != nullptr) stopImageServer(m_server);
  m_server = nullptr;
}

std::string ServiceTest::socketPath(uint32_t instance) const {
  return comm::socketPath(s_runDir, "svx.imageserver.ImageServer", instance);
}

int ServiceTest::rawConnect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0) return fd;
  close(fd);
  return -1;
}

std::unique_ptr<imageserver::client::SyncClient> ServiceTest::connect(uint32_t instance) {
  kor::Status reached;
  auto client = imageserver::client::SyncClient::connect(instance, &reached);
  EXPECT_NE(client, nullptr) << reached.message();
  return client;
}

bool ServiceTest::serves(const std::string& image, uint32_t instance) {
  auto client = imageserver::client::SyncClient::connect(instance);
  std::vector<imageserver::client::Answer> answers;
  return client != nullptr && client->requestInformation({image}, kTimeout, &answers).ok() &&
         answers[0].result == imageserver::client::RESULT_OK;
}

std::string ServiceTest::bmp(const std::string& name, uint32_t width, uint32_t height) {
  std::string pixels(size_t{width} * height * 4, '\0');
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<char>((i * 7) % 251);
  const std::string path = m_files.file(name);
  EXPECT_TRUE(
      imagefiles::writeBmp(path, width, height, reinterpret_cast<const uint8_t*>(pixels.data())));
  return path;
}

}  // namespace testsupport
