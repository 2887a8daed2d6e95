// The runtime folder: where it is, how it is made safe, and the socket
// addresses in it.
#include "platform/transport/runtime_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/transport.h"

namespace comm {

const char* const kRuntimeDirVariable = "COMM_RUNTIME_DIR";

bool prepareFolder(const std::string& folder, bool isDefault, bool* groupShared,
                   std::string* error) {
  if (mkdir(folder.c_str(), 0700) == 0) {
    chmod(folder.c_str(), 0700);  // whatever the umask said
  } else if (errno != EEXIST) {
    *error = "cannot create runtime folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat status;
  if ((isDefault ? lstat(folder.c_str(), &status) : stat(folder.c_str(), &status)) != 0) {
    *error = "cannot inspect runtime folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    *error = "runtime folder " + folder + " is not a directory";
    return false;
  }
  if (isDefault) {
    if (status.st_uid != getuid()) {
      *error = "runtime folder " + folder + " belongs to another user";
      return false;
    }
    if ((status.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) {
      *error = "cannot restrict runtime folder " + folder + ": " + std::strerror(errno);
      return false;
    }
  }
  *groupShared = !isDefault && (status.st_mode & S_IRWXG) == S_IRWXG;
  return true;
}

bool fillAddress(const std::string& path, struct sockaddr_un* address, std::string* error) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) {
    *error = "socket path too long: " + path;
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

int connectTo(int fd, const struct sockaddr_un& address, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (timeoutMs >= 0) {
    // A Unix socket's connect waits for room in the backlog no longer than
    // the send timeout (zero would mean no limit).
    const int ms = std::max(timeoutMs, 1);
    struct timeval limit = {ms / 1000, (ms % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0) return errno;
  }
  int error = 0;
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof(address)) != 0)
    error = errno;
  if (error == EINTR) {
    // Interrupted: the connection completes in the background.
    struct pollfd wait = {fd, POLLOUT, 0};
    for (;;) {
      int waitMs = -1;
      if (timeoutMs >= 0)
        waitMs = static_cast<int>(
            std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now())
                                     .count()));
      const int ready = poll(&wait, 1, waitMs);
      if (ready > 0) break;
      if (ready == 0) return ETIMEDOUT;
      if (errno != EINTR) return errno;
    }
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  }
  if (timeoutMs >= 0) {
    struct timeval none = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
    if (error == EAGAIN || error == EINPROGRESS) error = ETIMEDOUT;  // the wait ran out
  }
  return error;
}

std::string runtimeDirectory(const std::string& override) {
  if (!override.empty()) return override;
  const char* chosen = std::getenv(kRuntimeDirVariable);
  if (chosen != nullptr && *chosen != '\0') return chosen;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/imageserver";
  return "/tmp/imageserver-" + std::to_string(static_cast<unsigned long>(getuid()));
}

std::string socketPath(const std::string& folder, const std::string& serviceName,
                       uint32_t instance) {
  return folder + "/" + serviceName + "." + std::to_string(instance);
}

}  // namespace comm
