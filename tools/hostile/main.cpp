// A hostile client for soak runs: it speaks the wire protocol directly and
// does what a well-behaved client never does, so that the host's defences
// are exercised under load. Not installed.
//
//   imageserver-hostile SOCKET hoard LOCATOR COUNT SECONDS
//       COUNT separate requests for LOCATOR's bytes; never reads; holds the
//       connection open for SECONDS.
//   imageserver-hostile SOCKET subscribe LISTS SECONDS
//       LISTS subscriptions to the most distinct attribute ids a message may
//       hold each.
//   imageserver-hostile SOCKET vanish LOCATOR COUNT
//       one request for COUNT full decodes of LOCATOR, then goes away.
//   imageserver-hostile SOCKET flood LOCATOR SECONDS
//       information requests of the most locators a message may hold, sent
//       for SECONDS as fast as the host reads them, every answer read; then
//       the end of its requests, and every answer still owed.
// Exit status: 0 when everything was sent or the host cut the connection
// (that is its defence working), 2 for usage errors, 1 when no connection.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/transport.h"
#include "platform/transport/wire.h"
#include "svx/imageserver/ImageServerWire.h"

namespace {

namespace wire = svx::imageserver::wire;

int connectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    std::fprintf(stderr, "imageserver-hostile: cannot connect to %s: %s\n", path.c_str(),
                 std::strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// Writes the whole message; false once the host has cut the connection.
bool sendAll(int fd, comm::WireWriter& writer) {
  if (!writer.ok()) return false;
  const std::vector<uint8_t>& bytes = writer.finish();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

void putLocators(comm::WireWriter& writer, const std::string& locator, uint32_t count) {
  writer.putU8(1);
  writer.putU32(count);
  for (uint32_t i = 0; i < count; ++i) writer.putString(locator.data(), locator.size());
}

int usage() {
  std::fprintf(stderr,
               "usage: imageserver-hostile SOCKET hoard LOCATOR COUNT SECONDS\n"
               "       imageserver-hostile SOCKET subscribe LISTS SECONDS\n"
               "       imageserver-hostile SOCKET vanish LOCATOR COUNT\n"
               "       imageserver-hostile SOCKET flood LOCATOR SECONDS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[2];
  auto number = [&](int index) {
    return static_cast<uint32_t>(std::strtoul(argv[index], nullptr, 10));
  };
  if (!((mode == "hoard" && argc == 6) || (mode == "subscribe" && argc == 5) ||
        (mode == "vanish" && argc == 5) || (mode == "flood" && argc == 5)))
    return usage();
  int fd = connectTo(argv[1]);
  if (fd < 0) return 1;
  unsigned hold = 0;
  if (mode == "hoard") {
    for (uint32_t i = 0; i < number(4); ++i) {
      comm::WireWriter request(comm::kKindRequest, wire::kRequestImage);
      putLocators(request, argv[3], 1);
      request.putI8(0);
      request.putBool(false);
      if (!sendAll(fd, request)) break;
    }
    hold = number(5);
  } else if (mode == "subscribe") {
    for (uint32_t i = 0; i < number(3); ++i) {
      comm::WireWriter request(comm::kKindRequest, wire::kSetNotificationList);
      request.putU8(1);
      request.putU32(comm::kMaxArrayCount);
      for (uint32_t id = 0; id < comm::kMaxArrayCount; ++id)
        request.putU32(1000 + i * comm::kMaxArrayCount + id);
      if (!sendAll(fd, request)) break;
    }
    hold = number(4);
  } else if (mode == "flood") {
    std::thread reader([fd] {
      char buffer[65536];
      while (recv(fd, buffer, sizeof buffer, 0) > 0) {
      }
    });
    comm::WireWriter request(comm::kKindRequest, wire::kRequestImageInformation);
    putLocators(request, argv[3], comm::kMaxArrayCount);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(number(4));
    unsigned long sent = 0;
    while (std::chrono::steady_clock::now() < end && sendAll(fd, request)) ++sent;
    shutdown(fd, SHUT_WR);
    reader.join();
    std::printf("%lu requests of %u locators\n", sent, comm::kMaxArrayCount);
  } else {
    comm::WireWriter request(comm::kKindRequest, wire::kRequestImage);
    putLocators(request, argv[3], number(4));
    request.putI8(1);
    request.putBool(true);
    sendAll(fd, request);
  }
  if (hold > 0) sleep(hold);
  close(fd);
  return 0;
}
