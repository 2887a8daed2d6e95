// The service manager: listening sockets it hands over, and the status line
// the service reports to it (see "Service manager" in transport.h).
#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/transport.h"

namespace comm {

const char* const kStatusReportVariable = "COMM_NOTIFY_STATUS";

namespace {

std::mutex g_handedMutex;
// Descriptors taken once: never looked at again, as the number may since
// name something else. Guarded by g_handedMutex.
std::set<int> g_taken;

// The handed-over listening stream socket bound to |path|, or -1.
int findHanded(const std::string& path) {
  const int count = sd_listen_fds(0);  // checks LISTEN_PID against this process
  for (int fd = SD_LISTEN_FDS_START; count > 0 && fd < SD_LISTEN_FDS_START + count; ++fd) {
    if (g_taken.count(fd) != 0) continue;
    if (sd_is_socket_unix(fd, SOCK_STREAM, 1, path.c_str(), 0) > 0) return fd;
  }
  return -1;
}

// The reporter's thread: the status line when it changes, at most once per
// kStatusIntervalMs.
struct Reporter {
  std::mutex mutex;
  std::condition_variable wake;
  std::thread thread;
  bool stop = false;  // Guarded by mutex.
  std::function<std::string()> compose;

  void run() {
    std::string sent;
    std::unique_lock<std::mutex> lock(mutex);
    while (!stop) {
      std::string line;
      lock.unlock();
      try {
        line = compose();
      } catch (...) {
      }
      if (!line.empty() && line != sent) {
        sd_notify(0, ("STATUS=" + line).c_str());
        sent = line;
      }
      lock.lock();
      wake.wait_for(lock, std::chrono::milliseconds(kStatusIntervalMs), [this] { return stop; });
    }
  }
};

std::mutex g_reporterMutex;
Reporter* g_reporter = nullptr;  // Guarded by g_reporterMutex.

}  // namespace

int takeHandedSocket(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_handedMutex);
  const int fd = findHanded(path);
  if (fd < 0) return -1;
  try {
    g_taken.insert(fd);
  } catch (...) {
    return -1;
  }
  // The manager hands it over inheritable and blocking; the event loop
  // needs neither.
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

bool isHandedSocket(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_handedMutex);
  return findHanded(path) >= 0;
}

bool startStatusReports(std::function<std::string()> compose) {
  const char* wanted = std::getenv(kStatusReportVariable);
  if (wanted == nullptr || std::strcmp(wanted, "1") != 0 || std::getenv("NOTIFY_SOCKET") == nullptr)
    return false;
  std::lock_guard<std::mutex> lock(g_reporterMutex);
  if (g_reporter != nullptr) return true;
  auto* reporter = new (std::nothrow) Reporter;
  if (reporter == nullptr) return false;
  reporter->compose = std::move(compose);
  try {
    reporter->thread = std::thread([reporter] { reporter->run(); });
  } catch (...) {
    delete reporter;
    return false;
  }
  g_reporter = reporter;
  return true;
}

void stopStatusReports() {
  Reporter* reporter = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_reporterMutex);
    std::swap(reporter, g_reporter);
  }
  if (reporter == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(reporter->mutex);
    reporter->stop = true;
  }
  reporter->wake.notify_all();
  reporter->thread.join();
  delete reporter;
}

}  // namespace comm
