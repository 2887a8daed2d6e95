// The client side of the transport: a connection to a service, with its own
// thread or pumped by its owner.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/transport.h"
#include "platform/transport/connection.h"
#include "platform/transport/runtime_dir.h"

namespace comm {

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
  Status onMessage(WireMessage& message) {
    if (message.kind != kKindSegmentDrop) {
      message.segments = segments.get();
      return callbacks.onMessage(message);
    }
    WireReader reader(message.payload, message.size, &message.fds);
    std::vector<uint32_t> ids;
    if (!getSegmentList(reader, 1, &ids))
      return Status::error(Status::kProtocol, "malformed segment drop");
    for (uint32_t id : ids) {
      Status dropped = segments->drop(id);
      if (!dropped.ok()) return dropped;
    }
    return Status();
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
          !connection->readAvailable([this](WireMessage& message) { return onMessage(message); },
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
  // The callbacks run on this thread for the time of the turn.
  ClientConnection::State* const outer = t_runningClient;
  t_runningClient = m_state;
  const bool open = m_state->turn(timeoutMs);
  t_runningClient = outer;
  return open;
}

Status ClientConnection::open(const std::string& path, Callbacks callbacks,
                              std::unique_ptr<ClientConnection>* connection, bool ownThread,
                              int connectTimeoutMs) {
  struct sockaddr_un address;
  Status status = fillAddress(path, &address);
  if (!status.ok()) return status;
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return Status::fromErrno(errno, "cannot create socket");
  status = connectTo(fd.get(), address, connectTimeoutMs);
  if (!status.ok()) return status;
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0)
    return Status::fromErrno(errno, "cannot configure socket");
  std::unique_ptr<State> state(new (std::nothrow) State());
  if (state == nullptr) return Status::error(Status::kNoMemory, "out of memory");
  state->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!state->wake.valid()) return Status::fromErrno(errno, "cannot create event descriptor");
  try {
    state->connection = std::make_shared<Connection>(std::move(fd), path);
    // Releases go out from whichever thread drops the last answer using a
    // segment; a closed connection takes none.
    std::weak_ptr<Connection> weak = state->connection;
    state->segments = std::make_shared<ReceivedSegments>([weak](uint32_t id, uint32_t receipts) {
      std::shared_ptr<Connection> connection = weak.lock();
      if (connection == nullptr || connection->isClosed()) return;
      WireWriter writer(kKindSegmentRelease, 0);
      putSegmentList(writer, {id, receipts}, 2);
      static_cast<void>(connection->queue(writer));  // fails only when closing
    });
  } catch (...) {
    return Status::error(Status::kNoMemory, "out of memory");
  }
  state->callbacks = std::move(callbacks);
  State* raw = state.get();
  state->connection->setOutputWaker([raw] { raw->signal(); });
  state->connection->setCloseHandler([raw](const std::string&) { raw->signal(); });
  std::unique_ptr<ClientConnection> client(new (std::nothrow) ClientConnection(raw));
  if (client == nullptr) return Status::error(Status::kNoMemory, "out of memory");
  state.release();
  if (ownThread) {
    try {
      raw->thread = std::thread([raw] { raw->run(); });
    } catch (...) {
      return Status::error(Status::kFailed,
                           "cannot start the connection's thread");  // |client| closes
    }
  }
  *connection = std::move(client);
  return Status();
}

Status ClientConnection::openService(const std::vector<RuntimeFolder>& folders,
                                     const std::string& serviceName, uint32_t instance,
                                     Callbacks callbacks,
                                     std::unique_ptr<ClientConnection>* connection,
                                     std::string* path, bool ownThread, int connectTimeoutMs) {
  if (folders.empty()) return Status::error(Status::kNoMemory, "out of memory");
  std::string tried;
  Status::Code code = Status::kNotFound;
  try {
    for (const RuntimeFolder& folder : folders) {
      const std::string socket = socketPath(folder.path, serviceName, instance);
      Status status = checkClientFolder(folder);
      if (status.ok()) {
        status = open(socket, callbacks, connection, ownThread, connectTimeoutMs);
        if (status.ok()) {
          *path = socket;
          return status;
        }
      }
      const char* why = status.sysError() != 0 ? errorName(status.sysError()) : status.message();
      code = status.code();
      tried += (tried.empty() ? "no service at " : ", nor at ") + socket + " (" + why + ")";
    }
  } catch (...) {
    return Status::error(Status::kNoMemory, "out of memory");
  }
  return Status::error(code, "%s", tried.c_str());
}

ClientConnection::ClientConnection(State* state) : m_state(state) {}

ClientConnection::~ClientConnection() {
  if (t_runningClient == m_state) {
    // Destroyed from one of its own callbacks, which the rule forbids: the
    // thread still runs this object's code. Reported, and its state is left
    // to the thread rather than freed under it.
    kor::GlobalErrorHandler::doAssert("ClientConnection not destroyed from its own callback",
                                      "~ClientConnection");
    close();
    if (m_state->thread.joinable()) m_state->thread.detach();
    return;
  }
  close();
  delete m_state;
}

Status ClientConnection::send(WireWriter& writer) { return m_state->connection->queue(writer); }

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
