// The service side of the transport: the listening sockets of registered
// services, accepting, the dispatch pool, and a service's stop.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/transport.h"
#include "platform/transport/connection.h"
#include "platform/transport/runtime_dir.h"
#include "platform/transport/service_state.h"

namespace comm {

uint64_t service::steadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

using service::channel;
using service::Listening;
using service::Served;

namespace {

constexpr int kDispatchThreads = 2;
constexpr int kListenBacklog = 64;

std::mutex g_umaskMutex;

// The dispatch threads run for the rest of the process, so the code they run
// must stay mapped even if the library holding it is dlclose()d (a host may
// unload the service library after stopping it): the library is pinned.
void pinLoadedCode() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&pinLoadedCode), &info) == 0 || info.dli_fname == nullptr)
    return;
  // Never closed: the reference is what keeps the code loaded.
  void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  if (handle == nullptr) TRACE(channel(), 1, "cannot pin %s: %s", info.dli_fname, dlerror());
}

}  // namespace

Transport& Transport::getInstance() {
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
      UniqueFd epoll(epoll_create1(EPOLL_CLOEXEC));
      UniqueFd stopEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE));
      struct epoll_event event;
      std::memset(&event, 0, sizeof(event));
      event.events = EPOLLIN;
      event.data.u64 = 0;  // no listener or connection has id 0
      if (!epoll.valid() || !stopEvent.valid() ||
          epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stopEvent.get(), &event) != 0) {
        TRACE(channel(), 4, "cannot create event loop: %s", std::strerror(errno));
        return false;
      }
      m_state->epoll = std::move(epoll);
      m_state->stopEvent = std::move(stopEvent);
    }
    m_state->activated = true;
  }
  ServiceDirectory::getInstance().setListener(this);
  return true;
}

size_t Transport::connectionCount() {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->connections.size();
}

bool Transport::onServiceAdded(ServiceRegistrationRecord* record) {
  return toErrorStorage(m_state->serve(record));
}

namespace {

// A socket file at |path| that is there already: replaced when nobody
// answers on it (left by a dead process), refused when somebody does.
Status claimSocketPath(const std::string& path, const struct sockaddr_un& address,
                       const ServiceRegistrationRecord& record) {
  const char* name = record.serviceName().c_str();
  struct stat existing;
  if (lstat(path.c_str(), &existing) != 0) return Status();
  if (!S_ISSOCK(existing.st_mode))
    return Status::error(Status::kInvalidArgument, "cannot serve %s: %s exists and is not a socket",
                         name, path.c_str());
  UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int result = probe.valid() ? connectTo(probe.get(), address).sysError() : errno;
  if (result == ECONNREFUSED) {
    TRACE(channel(), 2, "replacing stale socket %s", path.c_str());
    unlink(path.c_str());
  } else if (result != ENOENT) {  // ENOENT: gone meanwhile
    const bool answered = result == 0 || result == EAGAIN;
    return Status::error(Status::kFailed, "service %s instance %u is served already at %s%s%s",
                         name, record.instance(), path.c_str(), answered ? "" : ": ",
                         answered ? "" : std::strerror(result));
  }
  return Status();
}

// A listening socket bound to |address|, its file readable and writable by
// the owner (and the group when |groupShared|).
Status bindListening(const struct sockaddr_un& address, const std::string& path, bool groupShared,
                     UniqueFd* fd) {
  fd->reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd->valid()) return Status::fromErrno(errno, "cannot create socket");
  int bound;
  {
    // umask is process-wide: other threads creating files meanwhile get the
    // stricter mask for that moment, which errs on the safe side.
    std::lock_guard<std::mutex> lock(g_umaskMutex);
    mode_t previous = umask(groupShared ? 0117 : 0177);
    bound = bind(fd->get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof(address));
    int error = errno;
    umask(previous);
    errno = error;
  }
  if (bound != 0 || ::listen(fd->get(), kListenBacklog) != 0) {
    const int error = errno;
    if (bound == 0) unlink(path.c_str());
    return Status::fromErrno(error, "cannot listen on %s", path.c_str());
  }
  return Status();
}

Status newListening(const ServiceRegistrationRecord& record,
                    std::shared_ptr<service::Listening>* listening) {
  try {
    *listening = std::make_shared<service::Listening>();
  } catch (...) {
    return Status::error(Status::kNoMemory, "cannot serve %s: out of memory",
                         record.serviceName().c_str());
  }
  return Status();
}

}  // namespace

InterfaceBinding* Transport::State::bindingFor(const std::string& serviceName) {
  std::lock_guard<std::mutex> lock(mutex);
  InterfaceBinding* binding = nullptr;
  for (auto& entry : bindings) {
    if (entry.first == serviceName) binding = entry.second;
  }
  return binding;
}

Status Transport::State::serve(ServiceRegistrationRecord* record) {
  InterfaceBinding* binding = bindingFor(record->serviceName());
  if (binding == nullptr) return Status();  // reachable in this process only

  const char* override = std::getenv(kRuntimeDirVariable);
  const bool isDefault = override == nullptr || *override == '\0';
  const std::string folder = runtimeDirectory();
  const std::string path = socketPath(folder, record->serviceName(), record->instance());
  UniqueFd handed(takeHandedSocket(path));
  if (handed.valid()) return serveHanded(record, binding, path, std::move(handed));
  struct sockaddr_un address;
  bool groupShared = false;
  Status usable = prepareFolder(folder, isDefault, &groupShared);
  if (usable.ok()) usable = fillAddress(path, &address);
  if (!usable.ok())
    return Status::error(usable.code(), "cannot serve %s: %s", record->serviceName().c_str(),
                         usable.message());
  Status claimed = claimSocketPath(path, address, *record);
  if (!claimed.ok()) return claimed;

  std::shared_ptr<Listening> listening;
  Status made = newListening(*record, &listening);
  if (made.ok()) made = bindListening(address, path, groupShared, &listening->fd);
  if (!made.ok()) return made;
  struct stat bound;
  if (lstat(path.c_str(), &bound) == 0) {
    listening->device = bound.st_dev;
    listening->inode = bound.st_ino;
  }
  return listen(record, binding, path, std::move(listening));
}

Status Transport::State::serveHanded(ServiceRegistrationRecord* record, InterfaceBinding* binding,
                                     const std::string& path, UniqueFd fd) {
  std::shared_ptr<Listening> listening;
  Status made = newListening(*record, &listening);
  if (!made.ok()) return made;
  listening->fd = std::move(fd);
  listening->handed = true;
  TRACE(channel(), 2, "serving the socket %s handed over by the service manager", path.c_str());
  return listen(record, binding, path, std::move(listening));
}

Status Transport::State::listen(ServiceRegistrationRecord* record, InterfaceBinding* binding,
                                const std::string& path, std::shared_ptr<Listening> listening) {
  const char* name = record->serviceName().c_str();
  listening->registration = ServiceRegistration(record);
  listening->record = record;
  listening->binding = binding;
  listening->path = path;

  {
    std::lock_guard<std::mutex> lock(mutex);
    const uint64_t id = nextId++;
    struct epoll_event event;
    std::memset(&event, 0, sizeof(event));
    event.events = EPOLLIN | EPOLLET;
    event.data.u64 = id;
    bool ok =
        epoll.valid() && epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listening->fd.get(), &event) == 0;
    if (ok) {
      try {
        listeners[id] = listening;
        startThreadsLocked();
      } catch (...) {
        ok = threadsStarted;  // a missing second thread only costs parallelism
        if (!ok) listeners.erase(id);
      }
    }
    if (!ok) {
      if (!listening->handed) unlink(path.c_str());
      return Status::error(Status::kFailed, "cannot serve %s: event loop unavailable", name);
    }
  }
  SegmentReserve::getInstance().resume();
  startStatusReports([this] { return statusLine(); });
  TRACE(channel(), 2, "listening on %s", path.c_str());
  return Status();
}

std::string Transport::State::statusLine() {
  size_t clients;
  {
    std::lock_guard<std::mutex> lock(mutex);
    clients = connections.size();
  }
  char line[160];
  std::snprintf(line, sizeof(line),
                "%zu clients, %zu requests queued, %llu MiB shared memory in use, %llu answers "
                "served",
                clients, owedTotal(),
                static_cast<unsigned long long>((SegmentPool::bytesTotal() + (1u << 20) - 1) >> 20),
                static_cast<unsigned long long>(Connection::sentTotal()));
  return line;
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
    // Remove the socket file only if it is still the one bound here (a
    // handed-over one is the service manager's).
    struct stat status;
    if (!listening->handed && lstat(listening->path.c_str(), &status) == 0 &&
        status.st_dev == listening->device && status.st_ino == listening->inode)
      unlink(listening->path.c_str());
    listening->fd.reset();
    open = listening->connections.size();
    last = m_state->listeners.empty();
  }
  // Nobody new connects, so nobody needs a segment made ahead.
  if (last) SegmentReserve::getInstance().suspend();
  if (last) stopStatusReports();
  // The connections stay open: the service may still be answering them.
  // They close when its object is gone (onTargetDestroyed).
  TRACE(channel(), 2, "stopped listening on %s; %zu clients still connected",
        listening->path.c_str(), open);
}

void Transport::setMaxOwedAnswersTotal(uint32_t answers) {
  m_state->maxOwedTotal.store(answers, std::memory_order_release);
}

void Transport::setClientMemoryGraceTime(uint32_t milliseconds) {
  m_state->graceMs.store(milliseconds, std::memory_order_release);
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
  if (finishing.empty()) {
    m_state->stopWhenIdle();
    return;
  }
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
  if (clients > 0)
    TRACE(channel(), 3,
          "stop: dropped %zu answers to %zu clients that did not read them within %u ms", dropped,
          clients, drainMs);
  m_state->stopWhenIdle();
}

void Transport::State::startThreadsLocked() {
  if (threadsStarted) return;
  pinLoadedCode();
  stopFlag = std::make_shared<std::atomic<bool>>(false);
  for (int i = 0; i < kDispatchThreads; ++i) {
    threads.emplace_back([this, stop = stopFlag] { run(stop); });
    pthread_setname_np(threads.back().native_handle(), "comm-dispatch");
  }
  threadsStarted = true;
}

void Transport::State::stopWhenIdle() {
  std::vector<std::thread> ending;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!threadsStarted || !listeners.empty() || !connections.empty()) return;
    threadsStarted = false;
    stopFlag->store(true, std::memory_order_release);
    ending.swap(threads);
  }
  const uint64_t count = ending.size();
  while (write(stopEvent.get(), &count, sizeof(count)) < 0 && errno == EINTR) {
  }
  for (std::thread& thread : ending) {
    // A dispatch thread that stops the transport (it closed the last
    // connection) cannot wait for itself; it ends on its next turn.
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();
    else
      thread.join();
  }
  TRACE(channel(), 2, "no service listens: dispatch threads stopped");
}

void Transport::State::acceptFailed(const Listening& listening, int error) {
  std::lock_guard<std::mutex> lock(stallMutex);
  ++stallFailures;
  if (stalling) return;
  stalling = true;
  stallFailures = 1;
  stallStart = std::chrono::steady_clock::now();
  TRACE(channel(), 3, "accept on %s failed: %s; retrying every %d ms", listening.path.c_str(),
        std::strerror(error), kAcceptRetryMs);
}

void Transport::State::acceptWorks(const Listening& listening) {
  std::lock_guard<std::mutex> lock(stallMutex);
  if (!stalling) return;
  stalling = false;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - stallStart).count();
  TRACE(channel(), 3, "accept on %s works again after %llu failed attempts in %.1f s",
        listening.path.c_str(), static_cast<unsigned long long>(stallFailures), seconds);
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
      acceptEnded(*listening, error);
      return;
    }
    acceptWorks(*listening);
    std::shared_ptr<Served> served = newServed(listening, std::move(fd));
    if (served != nullptr) registerServedLocked(listening, served);
  }
}

void Transport::State::acceptEnded(Listening& listening, int error) {
  if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
    // Out of descriptors: existing clients go on being served; the waiting
    // ones are accepted once descriptors are free again.
    acceptStalled.store(true, std::memory_order_release);
    acceptFailed(listening, error);
  } else if (error == EAGAIN || error == EWOULDBLOCK) {
    acceptWorks(listening);
  } else {
    TRACE(channel(), 4, "accept on %s failed: %s", listening.path.c_str(), std::strerror(error));
  }
}

std::shared_ptr<Served> Transport::State::newServed(const std::shared_ptr<Listening>& listening,
                                                    UniqueFd fd) {
  struct ucred credentials;
  socklen_t length = sizeof(credentials);
  std::memset(&credentials, 0, sizeof(credentials));
  getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length);
  TRACE(channel(), 1, "connection on %s from pid %d uid %u gid %u", listening->path.c_str(),
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
    channel().logC(4, "cannot accept connection: out of memory");
    return nullptr;
  }
  served->service = listening;
  served->session.reset(listening->binding->openSession(served->connection));
  if (served->session == nullptr) {
    channel().logC(4, "cannot open session: out of memory");
    return nullptr;
  }
  return served;
}

void Transport::State::registerServedLocked(const std::shared_ptr<Listening>& listening,
                                            const std::shared_ptr<Served>& served) {
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
  TRACE(channel(), 1, "connection of %s closed: %s", served->connection->name().c_str(),
        reason.c_str());
  served->session->onClosed();
}

}  // namespace comm
