// The socket side of the transport: runtime folder, the listening sockets of
// registered services, the dispatch pool, and the client's connection with
// its own thread.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "platform/transport.h"

namespace comm {

const char* const kRuntimeDirVariable = "COMM_RUNTIME_DIR";

namespace {

constexpr int kDispatchThreads = 2;
constexpr int kListenBacklog = 64;

tracing::Channel& channel() { return transportChannel(); }

// ---------------------------------------------------------------------------
// Runtime folder.

// Makes |folder| usable: created 0700 when missing. A default folder must be
// a real directory of this user and is tightened to 0700. |groupShared| is
// set when the folder grants its group full access (an operator's 0770
// folder): sockets in it are then made 0660, so that the group can connect.
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

// Connects |fd| to |address|; 0 or the errno. A blocking socket waits while
// the listener's backlog is full: at most |timeoutMs| when that is not
// negative (then ETIMEDOUT).
int connectTo(int fd, const struct sockaddr_un& address, int timeoutMs = -1) {
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

std::mutex g_umaskMutex;

uint64_t steadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// The dispatch threads run for the rest of the process, so the code they run
// must stay mapped even if the library holding it is dlclose()d (a host may
// unload the service library after stopping it): the library is pinned.
void pinLoadedCode() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&pinLoadedCode), &info) == 0 || info.dli_fname == nullptr)
    return;
  // Never closed: the reference is what keeps the code loaded.
  void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  if (handle == nullptr && channel().isEnabled(1))
    channel().logCV(1, "cannot pin %s: %s", info.dli_fname, dlerror());
}

// ---------------------------------------------------------------------------
// Service side.

struct Listening {
  ServiceRegistration registration;  // keeps the record alive
  ServiceRegistrationRecord* record = nullptr;
  InterfaceBinding* binding = nullptr;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  UniqueFd fd;                        // Guarded by the transport's mutex.
  std::vector<uint64_t> connections;  // Guarded by the transport's mutex.
  bool removed = false;               // Guarded by the transport's mutex.
};

struct Served {
  uint64_t id = 0;
  std::shared_ptr<Connection> connection;
  std::shared_ptr<Listening> service;
  std::unique_ptr<ServiceSession> session;
  bool inputEnded = false;     // Guarded by the transport's mutex.
  bool refusedLogged = false;  // Only the reading thread touches it.
  // Requests held while the client is at its shared-memory limit, oldest
  // first, and whether its socket is left unread meanwhile. Only the
  // reading thread touches them.
  struct Held {
    uint32_t slot;
    std::vector<uint8_t> payload;
  };
  std::deque<Held> held;
  size_t heldBytes = 0;
  bool inputPaused = false;
  uint64_t heldSinceMs = 0;
  // Held requests or paused input: the loop looks at it again and again.
  std::atomic<bool> waiting{false};
  // One reader at a time; a wake-up during a read makes the reader go again.
  std::mutex readMutex;
  bool reading = false;  // Guarded by readMutex.
  bool again = false;    // Guarded by readMutex.
  bool hungUp = false;   // Guarded by readMutex.
};

}  // namespace

struct Transport::State {
  std::mutex mutex;
  UniqueFd epoll;
  bool activated = false;
  bool threadsStarted = false;
  uint64_t nextId = 1;
  std::vector<std::pair<std::string, InterfaceBinding*>> bindings;
  std::map<uint64_t, std::shared_ptr<Listening>> listeners;
  std::map<uint64_t, std::shared_ptr<Served>> connections;
  std::vector<std::thread> threads;
  // Set when accept ran out of descriptors or memory: the pending
  // connections stay in the backlog, and no new readiness event comes for
  // them (edge-triggered), so the loop retries every kAcceptRetryMs.
  std::atomic<bool> acceptStalled{false};
  static constexpr int kAcceptRetryMs = 100;
  // One stall, from the first failed accept to the first accept that
  // succeeds or finds the backlog empty: logged once at each end.
  std::mutex stallMutex;
  bool stalling = false;       // Guarded by stallMutex.
  uint64_t stallFailures = 0;  // Guarded by stallMutex.
  std::chrono::steady_clock::time_point stallStart;
  void acceptFailed(const Listening& listening, int error);
  void acceptWorks(const Listening& listening);

  // Signalled whenever a connection closes (a stop waits for its clients'
  // connections to finish).
  std::condition_variable connectionClosed;
  uint32_t drainMs = kStopDrainMs;  // Guarded by mutex.
  // Open connections whose client has shut down its sending side. While
  // there are any, the loop looks every kHalfClosedCheckMs for those that
  // are owed nothing more, and closes them.
  std::atomic<size_t> halfClosed{0};
  // Connections whose requests are held (Served::waiting), and how long a
  // client at its limit may release nothing before it is disconnected.
  std::atomic<size_t> waitingCount{0};
  std::atomic<uint32_t> graceMs{kClientMemoryGraceMs};
  void closeFinishedHalfClosed();

  void run();
  void retryStalledAccepts();
  // Frees pooled segments idle for long (at most once per kTrimIntervalMs).
  void trimPools();
  std::atomic<int64_t> lastTrimMs{0};
  static constexpr int kTrimIntervalMs = 1000;
  void accept(const std::shared_ptr<Listening>& listening);
  // |hangUp|: the event reported the end of the stream or an error, so the
  // socket is read until EAGAIN (the edge will not come again).
  void read(const std::shared_ptr<Served>& served, bool hangUp);
  // The client of |served| shut down its sending side.
  void inputEnded(Served& served);
  bool dispatch(Served& served, WireMessage& message, std::string* reason);
  bool dispatchRequest(Served& served, WireMessage& message, std::string* reason);
  // Holds the request |message| of a client at its limit. False (with
  // |reason|) for a request that no service would take.
  bool hold(Served& served, const WireMessage& message, std::string* reason);
  // Dispatches held requests while the client is below its limit;
  // disconnects it when it has released nothing for the grace time.
  void resumeHeld(Served& served);
  void setWaiting(Served& served, bool waiting);
  bool atLimit(Served& served);
  void closed(uint64_t id, const std::string& reason);
};

Transport& Transport::instance() {
  static Transport* transport = new Transport();  // lives as long as the process
  return *transport;
}

Transport::Transport() : m_state(new State()) {}

void Transport::bindInterface(const char* serviceName, InterfaceBinding* binding) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  for (auto& entry : m_state->bindings) {
    if (entry.first == serviceName) {
      entry.second = binding;
      return;
    }
  }
  try {
    m_state->bindings.emplace_back(serviceName, binding);
  } catch (...) {
    kor::GlobalErrorHandler::doOutOfMem("Transport::bindInterface");
  }
}

bool Transport::activate() {
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->activated) return true;
    if (!m_state->epoll.valid()) {
      m_state->epoll.reset(epoll_create1(EPOLL_CLOEXEC));
      if (!m_state->epoll.valid()) {
        if (channel().isEnabled(4))
          channel().logCV(4, "cannot create event loop: %s", std::strerror(errno));
        return false;
      }
    }
    m_state->activated = true;
  }
  ServiceDirectory::instance().setListener(this);
  return true;
}

size_t Transport::connectionCount() {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->connections.size();
}

bool Transport::onServiceAdded(ServiceRegistrationRecord* record) {
  InterfaceBinding* binding = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    for (auto& entry : m_state->bindings) {
      if (entry.first == record->serviceName()) binding = entry.second;
    }
  }
  if (binding == nullptr) return true;  // reachable in this process only

  const char* override = std::getenv(kRuntimeDirVariable);
  const bool isDefault = override == nullptr || *override == '\0';
  const std::string folder = runtimeDirectory();
  const std::string path = socketPath(folder, record->serviceName(), record->instance());
  std::string error;
  struct sockaddr_un address;
  bool groupShared = false;
  if (!prepareFolder(folder, isDefault, &groupShared, &error) ||
      !fillAddress(path, &address, &error)) {
    kor::ErrorStorage::set("cannot serve %s: %s", record->serviceName().c_str(), error.c_str());
    return false;
  }

  // A socket file that is there already: replaced when nobody answers on it
  // (left by a dead process), refused when somebody does.
  struct stat existing;
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      kor::ErrorStorage::set("cannot serve %s: %s exists and is not a socket",
                             record->serviceName().c_str(), path.c_str());
      return false;
    }
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int result = probe.valid() ? connectTo(probe.get(), address) : errno;
    if (result == ECONNREFUSED) {
      if (channel().isEnabled(2)) channel().logCV(2, "replacing stale socket %s", path.c_str());
      unlink(path.c_str());
    } else if (result == ENOENT) {
      // Gone meanwhile.
    } else {
      kor::ErrorStorage::set("service %s instance %u is served already at %s%s%s",
                             record->serviceName().c_str(), record->instance(), path.c_str(),
                             result == 0 || result == EAGAIN ? "" : ": ",
                             result == 0 || result == EAGAIN ? "" : std::strerror(result));
      return false;
    }
  }

  std::shared_ptr<Listening> listening;
  try {
    listening = std::make_shared<Listening>();
  } catch (...) {
    kor::ErrorStorage::set("cannot serve %s: out of memory", record->serviceName().c_str());
    return false;
  }
  listening->fd.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listening->fd.valid()) {
    kor::ErrorStorage::setErrno("cannot create socket", errno);
    return false;
  }
  int bound;
  {
    // umask is process-wide: other threads creating files meanwhile get the
    // stricter mask for that moment, which errs on the safe side.
    std::lock_guard<std::mutex> lock(g_umaskMutex);
    mode_t previous = umask(groupShared ? 0117 : 0177);
    bound =
        bind(listening->fd.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
    int error = errno;
    umask(previous);
    errno = error;
  }
  if (bound != 0 || listen(listening->fd.get(), kListenBacklog) != 0) {
    int error = errno;
    if (bound == 0) unlink(path.c_str());
    kor::ErrorStorage::set("cannot listen on %s: %s", path.c_str(), std::strerror(error));
    return false;
  }
  struct stat made;
  if (lstat(path.c_str(), &made) == 0) {
    listening->device = made.st_dev;
    listening->inode = made.st_ino;
  }
  listening->registration = ServiceRegistration(record);
  listening->record = record;
  listening->binding = binding;
  listening->path = path;

  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const uint64_t id = m_state->nextId++;
    struct epoll_event event;
    std::memset(&event, 0, sizeof(event));
    event.events = EPOLLIN | EPOLLET;
    event.data.u64 = id;
    bool ok = m_state->epoll.valid() &&
              epoll_ctl(m_state->epoll.get(), EPOLL_CTL_ADD, listening->fd.get(), &event) == 0;
    if (ok) {
      try {
        m_state->listeners[id] = listening;
        if (!m_state->threadsStarted) {
          pinLoadedCode();
          for (int i = 0; i < kDispatchThreads; ++i)
            m_state->threads.emplace_back([state = m_state] { state->run(); });
          m_state->threadsStarted = true;
        }
      } catch (...) {
        ok = m_state->threadsStarted;  // a missing second thread only costs parallelism
        if (!ok) m_state->listeners.erase(id);
      }
    }
    if (!ok) {
      unlink(path.c_str());
      kor::ErrorStorage::set("cannot serve %s: event loop unavailable",
                             record->serviceName().c_str());
      return false;
    }
  }
  SegmentReserve::instance().resume();
  if (channel().isEnabled(2)) channel().logCV(2, "listening on %s", path.c_str());
  return true;
}

void Transport::onServiceRemoved(ServiceRegistrationRecord* record) {
  std::shared_ptr<Listening> listening;
  size_t open = 0;
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    for (auto it = m_state->listeners.begin(); it != m_state->listeners.end(); ++it) {
      if (it->second->record == record) {
        listening = it->second;
        m_state->listeners.erase(it);
        break;
      }
    }
    if (listening == nullptr) return;
    listening->removed = true;
    epoll_ctl(m_state->epoll.get(), EPOLL_CTL_DEL, listening->fd.get(), nullptr);
    // Remove the socket file only if it is still the one bound here.
    struct stat status;
    if (lstat(listening->path.c_str(), &status) == 0 && status.st_dev == listening->device &&
        status.st_ino == listening->inode)
      unlink(listening->path.c_str());
    listening->fd.reset();
    open = listening->connections.size();
    last = m_state->listeners.empty();
  }
  // Nobody new connects, so nobody needs a segment made ahead.
  if (last) SegmentReserve::instance().suspend();
  // The connections stay open: the service may still be answering them.
  // They close when its object is gone (onTargetDestroyed).
  if (channel().isEnabled(2))
    channel().logCV(2, "stopped listening on %s; %zu clients still connected",
                    listening->path.c_str(), open);
}

void Transport::setClientMemoryGraceTime(uint32_t milliseconds) {
  m_state->graceMs.store(milliseconds, std::memory_order_release);
}

bool Transport::State::atLimit(Served& served) {
  std::shared_ptr<SegmentPool> pool = served.connection->segmentPool();
  return pool != nullptr && pool->atLimit();
}

void Transport::State::setWaiting(Served& served, bool waiting) {
  std::lock_guard<std::mutex> lock(mutex);
  if (connections.count(served.id) == 0) return;  // closed: nothing to look at
  if (served.waiting.exchange(waiting, std::memory_order_acq_rel) == waiting) return;
  if (waiting)
    waitingCount.fetch_add(1, std::memory_order_acq_rel);
  else
    waitingCount.fetch_sub(1, std::memory_order_acq_rel);
}

bool Transport::State::hold(Served& served, const WireMessage& message, std::string* reason) {
  if (!message.fds.empty()) {
    *reason = "request carries descriptors";
    return false;
  }
  try {
    served.held.push_back(Served::Held{
        message.slot, std::vector<uint8_t>(message.payload, message.payload + message.size)});
  } catch (...) {
    *reason = "out of memory";
    return false;
  }
  served.heldBytes += message.size;
  if (served.held.size() == 1) {
    served.heldSinceMs = steadyMs();
    setWaiting(served, true);
    if (channel().isEnabled(2)) {
      std::shared_ptr<SegmentPool> pool = served.connection->segmentPool();
      channel().logCV(
          2, "holding the requests of %s: it holds %llu bytes of answers",
          served.connection->name().c_str(),
          static_cast<unsigned long long>(pool != nullptr ? pool->outstandingBytes() : 0));
    }
  }
  return true;
}

void Transport::State::resumeHeld(Served& served) {
  if (served.held.empty() && !served.inputPaused) return;
  while (!served.held.empty() && !atLimit(served) && !served.connection->isClosed()) {
    Served::Held request = std::move(served.held.front());
    served.held.pop_front();
    served.heldBytes -= request.payload.size();
    WireMessage message;
    message.kind = kKindRequest;
    message.slot = request.slot;
    message.payload = request.payload.data();
    message.size = static_cast<uint32_t>(request.payload.size());
    std::string reason;
    if (!dispatchRequest(served, message, &reason)) {
      if (channel().isEnabled(3))
        channel().logCV(3, "closing connection to %s: %s", served.connection->name().c_str(),
                        reason.c_str());
      served.connection->close(reason);
      return;
    }
  }
  if (served.held.empty()) {
    served.inputPaused = false;
    setWaiting(served, false);
    return;
  }
  // Still at its limit: a client that releases nothing for the grace time
  // is not going to.
  std::shared_ptr<SegmentPool> pool = served.connection->segmentPool();
  const uint64_t since =
      std::max(served.heldSinceMs, pool != nullptr ? pool->lastReleaseMs() : uint64_t{0});
  const uint32_t grace = graceMs.load(std::memory_order_acquire);
  if (steadyMs() - since <= grace) return;
  const std::string why =
      "it released no answer for " + std::to_string(grace) + " ms while at its shared-memory limit";
  if (served.connection->close(why) && channel().isEnabled(3))
    channel().logCV(3, "disconnecting %s: %s", served.connection->name().c_str(), why.c_str());
}

void Transport::setStopDrainTime(uint32_t milliseconds) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->drainMs = milliseconds;
}

void Transport::onTargetDestroyed(ServiceTarget* target) {
  std::vector<std::shared_ptr<Served>> finishing;
  uint32_t drainMs;
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    drainMs = m_state->drainMs;
    try {
      for (auto& entry : m_state->connections) {
        const Listening& service = *entry.second->service;
        if (service.removed && service.record->target() == target)
          finishing.push_back(entry.second);
      }
    } catch (...) {
      drainMs = 0;  // out of memory: close what was collected without waiting
    }
  }
  if (finishing.empty()) return;
  // Nothing more will be sent to these clients: each connection closes once
  // what is queued for it is written, or the client goes away.
  for (auto& served : finishing) served->connection->closeWhenFlushed("service stopped");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(drainMs);
  {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->connectionClosed.wait_until(lock, deadline, [&] {
      for (auto& served : finishing)
        if (m_state->connections.count(served->id) != 0) return false;
      return true;
    });
  }
  // The rest did not read their answers in time.
  size_t dropped = 0, clients = 0;
  for (auto& served : finishing) {
    if (served->connection->isClosed()) continue;
    const size_t queued = served->connection->queuedMessages();
    if (served->connection->close("answers not read within the stop's drain time")) {
      dropped += queued;
      ++clients;
    }
  }
  if (clients > 0 && channel().isEnabled(3))
    channel().logCV(3,
                    "stop: dropped %zu answers to %zu clients that did not read them within %u ms",
                    dropped, clients, drainMs);
}

void Transport::State::acceptFailed(const Listening& listening, int error) {
  std::lock_guard<std::mutex> lock(stallMutex);
  ++stallFailures;
  if (stalling) return;
  stalling = true;
  stallFailures = 1;
  stallStart = std::chrono::steady_clock::now();
  if (channel().isEnabled(3))
    channel().logCV(3, "accept on %s failed: %s; retrying every %d ms", listening.path.c_str(),
                    std::strerror(error), kAcceptRetryMs);
}

void Transport::State::acceptWorks(const Listening& listening) {
  std::lock_guard<std::mutex> lock(stallMutex);
  if (!stalling) return;
  stalling = false;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - stallStart).count();
  if (channel().isEnabled(3))
    channel().logCV(3, "accept on %s works again after %llu failed attempts in %.1f s",
                    listening.path.c_str(), static_cast<unsigned long long>(stallFailures),
                    seconds);
}

void Transport::State::run() {
  struct epoll_event events[16];
  for (;;) {
    const bool stalled = acceptStalled.load(std::memory_order_acquire);
    // While pools hold idle segments the loop wakes up now and then to
    // free the ones unused for long.
    const bool idleSegments = SegmentPool::idleBytesTotal() > 0;
    const bool halfOpen = halfClosed.load(std::memory_order_acquire) > 0;
    const bool holding = waitingCount.load(std::memory_order_acquire) > 0;
    int timeout = stalled || holding ? kAcceptRetryMs
                  : halfOpen         ? static_cast<int>(kHalfClosedCheckMs)
                  : idleSegments     ? kTrimIntervalMs
                                     : -1;
    int count = epoll_wait(epoll.get(), events, 16, timeout);
    if (count < 0) {
      if (errno == EINTR) continue;
      if (channel().isEnabled(4)) channel().logCV(4, "event loop failed: %s", std::strerror(errno));
      return;
    }
    if (stalled) retryStalledAccepts();
    if (idleSegments) trimPools();
    if (halfOpen) closeFinishedHalfClosed();
    if (holding) {
      std::vector<std::shared_ptr<Served>> waitingOnes;
      {
        std::lock_guard<std::mutex> lock(mutex);
        try {
          for (auto& entry : connections)
            if (entry.second->waiting.load(std::memory_order_acquire))
              waitingOnes.push_back(entry.second);
        } catch (...) {
        }
      }
      for (auto& served : waitingOnes) read(served, false);
    }
    for (int i = 0; i < count; ++i) {
      const uint64_t id = events[i].data.u64;
      std::shared_ptr<Listening> listening;
      std::shared_ptr<Served> served;
      {
        std::lock_guard<std::mutex> lock(mutex);
        auto l = listeners.find(id);
        if (l != listeners.end()) listening = l->second;
        auto c = connections.find(id);
        if (c != connections.end()) served = c->second;
      }
      if (listening != nullptr) accept(listening);
      if (served == nullptr) continue;
      if (events[i].events & EPOLLOUT) served->connection->flush();
      if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        read(served, (events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0);
      // A hang-up is the end of both directions (a client that only shut
      // down its sending side reports EPOLLRDHUP alone): nothing written
      // from now on can arrive.
      if (events[i].events & (EPOLLHUP | EPOLLERR)) {
        if (served->connection->close(events[i].events & EPOLLERR ? "connection error"
                                                                  : "peer closed the connection") &&
            channel().isEnabled(1))
          channel().logCV(1, "%s closed the connection", served->connection->name().c_str());
      }
    }
  }
}

void Transport::State::retryStalledAccepts() {
  if (!acceptStalled.exchange(false, std::memory_order_acq_rel)) return;
  std::vector<std::shared_ptr<Listening>> all;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : listeners) all.push_back(entry.second);
  }
  for (auto& listening : all) accept(listening);
}

void Transport::State::trimPools() {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t last = lastTrimMs.load(std::memory_order_relaxed);
  if (now - last < kTrimIntervalMs ||
      !lastTrimMs.compare_exchange_strong(last, now, std::memory_order_relaxed))
    return;
  std::vector<std::shared_ptr<Served>> all;
  {
    std::lock_guard<std::mutex> lock(mutex);
    try {
      for (auto& entry : connections) all.push_back(entry.second);
    } catch (...) {
      return;
    }
  }
  for (auto& served : all) served->connection->trimPool(static_cast<uint64_t>(now));
}

void Transport::State::accept(const std::shared_ptr<Listening>& listening) {
  for (;;) {
    // Accepting and registering under one hold of the mutex: once
    // onServiceRemoved has run, no connection of the service is open.
    std::lock_guard<std::mutex> lock(mutex);
    if (listening->removed || !listening->fd.valid()) return;
    UniqueFd fd(accept4(listening->fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.valid()) {
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED) continue;
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // Out of descriptors: existing clients go on being served; the
        // waiting ones are accepted once descriptors are free again.
        acceptStalled.store(true, std::memory_order_release);
        acceptFailed(*listening, error);
        return;
      }
      if (error == EAGAIN || error == EWOULDBLOCK)
        acceptWorks(*listening);
      else if (channel().isEnabled(4))
        channel().logCV(4, "accept on %s failed: %s", listening->path.c_str(),
                        std::strerror(error));
      return;
    }
    acceptWorks(*listening);
    struct ucred credentials;
    socklen_t length = sizeof(credentials);
    std::memset(&credentials, 0, sizeof(credentials));
    getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length);
    if (channel().isEnabled(1))
      channel().logCV(1, "connection on %s from pid %d uid %u gid %u", listening->path.c_str(),
                      static_cast<int>(credentials.pid), static_cast<unsigned>(credentials.uid),
                      static_cast<unsigned>(credentials.gid));

    std::shared_ptr<Served> served;
    try {
      std::string name = "client pid " + std::to_string(credentials.pid) + " of " +
                         listening->record->serviceName() + "." +
                         std::to_string(listening->record->instance());
      served = std::make_shared<Served>();
      served->connection = std::make_shared<Connection>(std::move(fd), std::move(name));
    } catch (...) {
      if (channel().isEnabled(4)) channel().logC(4, "cannot accept connection: out of memory");
      continue;
    }
    served->service = listening;
    served->session.reset(listening->binding->openSession(served->connection));
    if (served->session == nullptr) {
      if (channel().isEnabled(4)) channel().logC(4, "cannot open session: out of memory");
      continue;
    }
    served->id = nextId++;
    const uint64_t id = served->id;
    served->connection->setEpoll(epoll.get(), id);
    served->connection->setHalfCloseAllowed(true);
    served->connection->setCloseHandler(
        [this, id](const std::string& reason) { closed(id, reason); });
    struct epoll_event event;
    std::memset(&event, 0, sizeof(event));
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.u64 = id;
    bool registered = false;
    try {
      connections[id] = served;
      listening->connections.push_back(id);
      registered = epoll_ctl(epoll.get(), EPOLL_CTL_ADD, served->connection->pollFd(), &event) == 0;
    } catch (...) {
    }
    if (!registered) {
      connections.erase(id);
      auto& ids = listening->connections;
      ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
      served->connection->close("not accepted", false);
      served->session->onClosed();
    }
  }
}

void Transport::State::read(const std::shared_ptr<Served>& served, bool hangUp) {
  {
    std::lock_guard<std::mutex> lock(served->readMutex);
    served->hungUp = served->hungUp || hangUp;
    if (served->reading) {
      served->again = true;
      return;
    }
    served->reading = true;
  }
  for (;;) {
    bool drain;
    {
      std::lock_guard<std::mutex> lock(served->readMutex);
      drain = served->hungUp;
    }
    resumeHeld(*served);
    bool open = !served->connection->isClosed();
    if (open && !served->inputPaused) {
      open = served->connection->readAvailable(
          [&](WireMessage& message, std::string* reason) {
            return dispatch(*served, message, reason);
          },
          !drain);
      // Releases read just now may let held requests go.
      if (open) resumeHeld(*served);
      // Too much held: the rest waits in the socket.
      if (open && served->heldBytes >= kMaxHeldRequestBytes) served->inputPaused = true;
    }
    {
      std::lock_guard<std::mutex> lock(served->readMutex);
      if (open && served->again) {
        served->again = false;
        continue;
      }
      served->reading = false;
      served->again = false;
    }
    if (open && served->connection->inputEnded()) inputEnded(*served);
    return;
  }
}

void Transport::State::inputEnded(Served& served) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (served.inputEnded || connections.count(served.id) == 0) return;
    served.inputEnded = true;
    halfClosed.fetch_add(1, std::memory_order_acq_rel);
  }
  // Owed nothing: it closes once written. Otherwise the loop looks again
  // every kHalfClosedCheckMs.
  if (served.session->idle() && !served.waiting.load(std::memory_order_acquire))
    served.connection->closeWhenFlushed("the client has sent all it will and has its answers");
}

void Transport::State::closeFinishedHalfClosed() {
  std::vector<std::shared_ptr<Served>> candidates;
  {
    std::lock_guard<std::mutex> lock(mutex);
    try {
      for (auto& entry : connections)
        if (entry.second->inputEnded) candidates.push_back(entry.second);
    } catch (...) {
      return;
    }
  }
  for (auto& served : candidates)
    if (served->session->idle() && !served->waiting.load(std::memory_order_acquire))
      served->connection->closeWhenFlushed("the client has sent all it will and has its answers");
}

bool Transport::State::dispatch(Served& served, WireMessage& message, std::string* reason) {
  if (message.kind == kKindSegmentRelease) {
    WireReader reader(message.payload, message.size, &message.fds);
    std::vector<uint32_t> items;
    std::shared_ptr<SegmentPool> pool = served.connection->segmentPool();
    if (!getSegmentList(reader, 2, &items) || pool == nullptr) {
      *reason = "malformed segment release";
      return false;
    }
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
      if (!pool->release(items[i], items[i + 1])) {
        *reason = "release of segment " + std::to_string(items[i]) + " that is not out";
        return false;
      }
    }
    return true;
  }
  if (message.kind != kKindRequest) {
    *reason = "unexpected message kind";
    return false;
  }
  // A client at its shared-memory limit: its requests wait, in order, until
  // it releases memory (no job is made for them meanwhile).
  if (!served.held.empty() || atLimit(served)) return hold(served, message, reason);
  return dispatchRequest(served, message, reason);
}

bool Transport::State::dispatchRequest(Served& served, WireMessage& message, std::string* reason) {
  ServiceDirectory::Lease lease;
  if (!ServiceDirectory::instance().acquire(served.service->record, &lease)) {
    // The service is stopping: the request is not served. The client gets
    // the answers of the jobs that ran, then the end of the stream.
    if (!served.refusedLogged && channel().isEnabled(3)) {
      served.refusedLogged = true;
      channel().logCV(3, "request from %s after the service stopped: not served",
                      served.connection->name().c_str());
    }
    return true;
  }
  return served.session->dispatch(lease.target(), message, reason);
}

void Transport::State::closed(uint64_t id, const std::string& reason) {
  std::shared_ptr<Served> served;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = connections.find(id);
    if (found == connections.end()) return;
    served = found->second;
    connections.erase(found);
    auto& ids = served->service->connections;
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    if (served->inputEnded) halfClosed.fetch_sub(1, std::memory_order_acq_rel);
    if (served->waiting.exchange(false, std::memory_order_acq_rel))
      waitingCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  connectionClosed.notify_all();
  if (channel().isEnabled(1))
    channel().logCV(1, "connection of %s closed: %s", served->connection->name().c_str(),
                    reason.c_str());
  served->session->onClosed();
}

// ---------------------------------------------------------------------------
// Runtime folder.

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

// ---------------------------------------------------------------------------
// Client side.

struct ClientConnection::State {
  std::shared_ptr<Connection> connection;
  std::shared_ptr<ReceivedSegments> segments;
  Callbacks callbacks;
  UniqueFd wake;  // eventfd: output queued, closed, or stop
  std::thread thread;
  std::atomic<bool> stopping{false};
  bool closedReported = false;  // onClosed has run; only the reading thread touches it

  // Handles drop messages itself and hands the rest, with the pooled
  // segments, to the callback.
  bool onMessage(WireMessage& message, std::string* reason) {
    if (message.kind == kKindSegmentDrop) {
      WireReader reader(message.payload, message.size, &message.fds);
      std::vector<uint32_t> ids;
      if (!getSegmentList(reader, 1, &ids)) {
        *reason = "malformed segment drop";
        return false;
      }
      for (uint32_t id : ids) {
        if (!segments->drop(id)) {
          *reason = "drop of unknown segment " + std::to_string(id);
          return false;
        }
      }
      return true;
    }
    message.segments = segments.get();
    return callbacks.onMessage(message, reason);
  }

  void signal() {
    uint64_t one = 1;
    ssize_t ignored;
    do {
      ignored = write(wake.get(), &one, sizeof(one));
    } while (ignored < 0 && errno == EINTR);
  }
  // Work handed to the connection's thread by post().
  std::mutex postedMutex;
  std::vector<std::function<void()>> posted;  // Guarded by postedMutex.
  // Runs what was posted; false when nothing was.
  bool runPosted() {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> lock(postedMutex);
      work.swap(posted);
    }
    for (auto& task : work) task();
    return !work.empty();
  }

  bool turn(int timeoutMs);
  void run();
};

// The state whose thread is the calling one (null on other threads).
thread_local ClientConnection::State* t_runningClient = nullptr;

// One turn of the event loop: waits up to |timeoutMs| (-1: no limit) for the
// connection or the wake-up descriptor, then writes and reads. False when
// the loop is to end: stopping, or the connection closed (onClosed has run
// then unless stopping).
bool ClientConnection::State::turn(int timeoutMs) {
  if (stopping.load(std::memory_order_acquire)) return false;
  if (runPosted()) return true;  // the caller may be waiting for just that
  int fd = connection->pollFd();
  bool open = fd >= 0;
  if (open) {
    struct pollfd watched[2] = {
        {fd, static_cast<short>(POLLIN | (connection->hasPendingOutput() ? POLLOUT : 0)), 0},
        {wake.get(), POLLIN, 0}};
    int ready = poll(watched, 2, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) return true;
      connection->close(std::string("poll failed: ") + std::strerror(errno));
      open = false;
    } else {
      if (watched[1].revents & POLLIN) {
        uint64_t value;
        while (::read(wake.get(), &value, sizeof(value)) < 0 && errno == EINTR) {
        }
      }
      if (stopping.load(std::memory_order_acquire)) return false;
      if ((watched[0].revents & POLLOUT) && !connection->flush()) open = false;
      if (open && (watched[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) &&
          !connection->readAvailable(
              [this](WireMessage& message, std::string* reason) {
                return onMessage(message, reason);
              },
              true))
        open = false;
    }
  }
  if (open) return true;
  if (!stopping.load(std::memory_order_acquire) && !closedReported) {
    closedReported = true;
    if (callbacks.onClosed) callbacks.onClosed(connection->closeReason());
  }
  return false;
}

void ClientConnection::State::run() {
  t_runningClient = this;
  while (turn(-1)) {
  }
}

bool ClientConnection::pump(int timeoutMs) {
  if (m_state->thread.joinable()) return m_state->connection->pollFd() >= 0;  // its thread reads
  return m_state->turn(timeoutMs);
}

std::unique_ptr<ClientConnection> ClientConnection::open(const std::string& path,
                                                         Callbacks callbacks, std::string* error,
                                                         bool ownThread, int connectTimeoutMs) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  struct sockaddr_un address;
  if (!fillAddress(path, &address, error)) return nullptr;
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *error = std::string("cannot create socket: ") + std::strerror(errno);
    return nullptr;
  }
  int result = connectTo(fd.get(), address, connectTimeoutMs);
  if (result == ETIMEDOUT) {
    *error = "cannot connect to " + path + ": the service accepted no connection within " +
             std::to_string(connectTimeoutMs) + " ms";
    return nullptr;
  }
  if (result != 0) {
    *error = "cannot connect to " + path + ": " + std::strerror(result);
    return nullptr;
  }
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = std::string("cannot configure socket: ") + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<State> state(new (std::nothrow) State());
  if (state == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  state->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!state->wake.valid()) {
    *error = std::string("cannot create event descriptor: ") + std::strerror(errno);
    return nullptr;
  }
  try {
    state->connection = std::make_shared<Connection>(std::move(fd), path);
  } catch (...) {
    *error = "out of memory";
    return nullptr;
  }
  try {
    // Releases go out from whichever thread drops the last answer using a
    // segment; a closed connection takes none.
    std::weak_ptr<Connection> weak = state->connection;
    state->segments = std::make_shared<ReceivedSegments>([weak](uint32_t id, uint32_t receipts) {
      std::shared_ptr<Connection> connection = weak.lock();
      if (connection == nullptr || connection->isClosed()) return;
      WireWriter writer(kKindSegmentRelease, 0);
      putSegmentList(writer, {id, receipts}, 2);
      if (connection->send(writer) != 0) kor::ErrorStorage::ack();
    });
  } catch (...) {
    *error = "out of memory";
    return nullptr;
  }
  state->callbacks = std::move(callbacks);
  State* raw = state.get();
  state->connection->setOutputWaker([raw] { raw->signal(); });
  state->connection->setCloseHandler([raw](const std::string&) { raw->signal(); });
  std::unique_ptr<ClientConnection> client(new (std::nothrow) ClientConnection(raw));
  if (client == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  state.release();
  if (!ownThread) return client;
  try {
    raw->thread = std::thread([raw] { raw->run(); });
  } catch (...) {
    *error = "cannot start the connection's thread";
    return nullptr;  // the destructor closes what was made
  }
  return client;
}

ClientConnection::ClientConnection(State* state) : m_state(state) {}

ClientConnection::~ClientConnection() {
  close();
  if (m_state->thread.joinable()) {
    // Destroyed on its own thread (from a callback): the thread still runs
    // this object's code, so its state is left to it.
    m_state->thread.detach();
    return;
  }
  delete m_state;
}

int ClientConnection::send(WireWriter& writer) { return m_state->connection->send(writer); }

bool ClientConnection::post(std::function<void()> task) {
  if (!isConnected()) return false;
  try {
    std::lock_guard<std::mutex> lock(m_state->postedMutex);
    m_state->posted.push_back(std::move(task));
  } catch (...) {
    return false;
  }
  m_state->signal();
  return true;
}

bool ClientConnection::isConnected() const {
  return !m_state->stopping.load(std::memory_order_acquire) && !m_state->connection->isClosed();
}

void ClientConnection::close() {
  m_state->stopping.store(true, std::memory_order_release);
  m_state->connection->close("closed by the client", false);
  if (m_state->segments != nullptr) m_state->segments->close();
  if (m_state->wake.valid()) m_state->signal();
  if (m_state->thread.joinable() && t_runningClient != m_state) m_state->thread.join();
}

}  // namespace comm
