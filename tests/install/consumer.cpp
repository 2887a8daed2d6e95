// Starts a service object through the C control interface, asks it for the
// interface version through the client library, and prints the version.
// Usage: consumer INSTANCE   (COMM_RUNTIME_DIR names a private folder)
#include <imageserver/ImageServerControl.h>
#include <svx/imageserver/client/ImageServerClient.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern "C" ImageServer* consumerStart(uint32_t instance);
extern "C" void consumerStop(ImageServer* server);

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const uint32_t instance = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  ImageServer* server = consumerStart(instance);
  if (server == nullptr) return 1;
  kor::Status status;
  imageserver::client::VersionUpdate update;
  auto client = imageserver::client::SyncClient::connect(instance, &status);
  // A subscriber that comes before the service's worker has published the
  // version is told that there is none yet: ask again, for 10 seconds at most.
  bool ok = client != nullptr;
  for (int attempt = 0; ok && !update.hasVersion && attempt < 1000; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    status = client->interfaceVersion(10, &update);
    ok = status.ok();
  }
  if (ok && !update.hasVersion) {
    ok = false;
    status = kor::Status::error(kor::Status::kNotFound, "the service published no version");
  }
  client.reset();
  consumerStop(server);
  if (!ok) {
    std::fprintf(stderr, "consumer: %s\n", status.message());
    return 1;
  }
  std::printf("%s\n", update.version.c_str());
  return 0;
}
