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

Status prepareFolder(const std::string& folder, bool isDefault, bool* groupShared) {
  if (mkdir(folder.c_str(), 0700) == 0)
    chmod(folder.c_str(), 0700);  // whatever the umask said
  else if (errno != EEXIST)
    return Status::fromErrno(errno, "cannot create runtime folder %s", folder.c_str());
  struct stat status;
  if ((isDefault ? lstat(folder.c_str(), &status) : stat(folder.c_str(), &status)) != 0)
    return Status::fromErrno(errno, "cannot inspect runtime folder %s", folder.c_str());
  if (!S_ISDIR(status.st_mode))
    return Status::error(Status::kInvalidArgument, "runtime folder %s is not a directory",
                         folder.c_str());
  if (isDefault && status.st_uid != getuid())
    return Status::error(Status::kPermissionDenied, "runtime folder %s belongs to another user",
                         folder.c_str());
  if (isDefault && (status.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0)
    return Status::fromErrno(errno, "cannot restrict runtime folder %s", folder.c_str());
  *groupShared = !isDefault && (status.st_mode & S_IRWXG) == S_IRWXG;
  return Status();
}

Status fillAddress(const std::string& path, struct sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path))
    return Status::error(Status::kLimit, "socket path too long: %s", path.c_str());
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return Status();
}

Status connectTo(int fd, const struct sockaddr_un& address, int timeoutMs) {
  auto failed = [&](int error) {
    if (error == ETIMEDOUT && timeoutMs >= 0)
      return Status::error(Status::kTimedOut,
                           "cannot connect to %s: the service accepted no connection within %d ms",
                           address.sun_path, timeoutMs);
    return Status::fromErrno(error, "cannot connect to %s", address.sun_path);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (timeoutMs >= 0) {
    // A Unix socket's connect waits for room in the backlog no longer than
    // the send timeout (zero would mean no limit).
    const int ms = std::max(timeoutMs, 1);
    struct timeval limit = {ms / 1000, (ms % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0) return failed(errno);
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
      if (ready == 0) return failed(ETIMEDOUT);
      if (errno != EINTR) return failed(errno);
    }
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return failed(errno);
  }
  if (timeoutMs >= 0) {
    struct timeval none = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
    if (error == EAGAIN || error == EINPROGRESS) error = ETIMEDOUT;  // the wait ran out
  }
  return error == 0 ? Status() : failed(error);
}

std::string runtimeDirectory(const std::string& override) {
  if (!override.empty()) return override;
  const char* chosen = std::getenv(kRuntimeDirVariable);
  if (chosen != nullptr && *chosen != '\0') return chosen;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/imageserver";
  return "/tmp/imageserver-" + std::to_string(static_cast<unsigned long>(getuid()));
}

const char* const kSystemRuntimeDir = "/run/imageserver";

std::vector<RuntimeFolder> clientRuntimeFolders(const std::string& override) {
  std::vector<RuntimeFolder> folders;
  try {
    const char* chosen = std::getenv(kRuntimeDirVariable);
    if (!override.empty() || (chosen != nullptr && *chosen != '\0')) {
      folders.push_back(
          {override.empty() ? std::string(chosen) : override, RuntimeFolder::kChosen});
      return folders;
    }
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && *xdg != '\0')
      folders.push_back({std::string(xdg) + "/imageserver", RuntimeFolder::kUser});
    folders.push_back({kSystemRuntimeDir, RuntimeFolder::kSystem});
    folders.push_back({"/tmp/imageserver-" + std::to_string(static_cast<unsigned long>(getuid())),
                       RuntimeFolder::kUser});
  } catch (...) {
    folders.clear();
  }
  return folders;
}

Status checkClientFolder(const RuntimeFolder& folder) {
  if (folder.kind == RuntimeFolder::kChosen) return Status();
  struct stat status;
  if (lstat(folder.path.c_str(), &status) != 0)
    return Status::error(Status::codeOfErrno(errno), "%s", errorName(errno));
  if (!S_ISDIR(status.st_mode)) return Status::error(Status::kInvalidArgument, "not a folder");
  const uid_t me = getuid();
  if (folder.kind == RuntimeFolder::kUser) {
    if (status.st_uid != me)
      return Status::error(Status::kPermissionDenied, "the folder belongs to another user");
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
      return Status::error(Status::kPermissionDenied, "the folder is writable by others");
    return Status();
  }
  if ((status.st_mode & S_IWOTH) != 0)
    return Status::error(Status::kPermissionDenied, "the folder is writable by others");
  if (status.st_uid == me || status.st_uid == 0) return Status();
  // Another account's folder is trusted only where root alone could have
  // made it theirs: in a folder of root's that nobody else may write.
  const size_t slash = folder.path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : folder.path.substr(0, slash);
  struct stat parentStatus;
  if (stat(parent.c_str(), &parentStatus) != 0 || parentStatus.st_uid != 0 ||
      (parentStatus.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return Status::error(Status::kPermissionDenied, "the folder belongs to another user");
  return Status();
}

const char* errorName(int error) {
  switch (error) {
    case ENOENT:
      return "no such file";
    case EACCES:
    case EPERM:
      return "permission denied";
    case ECONNREFUSED:
      return "nobody listens there";
    case ENOTDIR:
      return "not a folder";
    default:
      return std::strerror(error);
  }
}

std::string socketPath(const std::string& folder, const std::string& serviceName,
                       uint32_t instance) {
  return folder + "/" + serviceName + "." + std::to_string(instance);
}

}  // namespace comm
