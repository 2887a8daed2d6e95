// One end of a stream connection: the bounded, non-blocking outgoing queue
// and the reader that cuts the byte stream into messages.
#include "platform/transport/connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/transport.h"

namespace comm {

tracing::Channel& transportChannel() {
  static tracing::Channel* channel = new tracing::Channel("COMM_Transport", 7, 2);  // never freed
  return *channel;
}

const char* const kClientMemoryVariable = "COMM_CLIENT_MEMORY_MIB";

namespace {
constexpr size_t kReadChunk = 64 * 1024;

// kClientMemoryBytes, or the host's choice in COMM_CLIENT_MEMORY_MIB.
uint64_t limitFromEnvironment() {
  static const uint64_t limit =
      mibFromEnvironment(kClientMemoryVariable, 1, 1ull << 20, kClientMemoryBytes);
  return limit;
}

std::atomic<uint64_t> g_clientMemoryLimit{0};  // 0: from the environment
}  // namespace

uint64_t clientMemoryLimit() {
  const uint64_t chosen = g_clientMemoryLimit.load(std::memory_order_acquire);
  return chosen != 0 ? chosen : limitFromEnvironment();
}

void setClientMemoryLimit(uint64_t bytes) {
  g_clientMemoryLimit.store(bytes, std::memory_order_release);
}

Connection::Connection(UniqueFd fd, std::string name)
    : m_name(std::move(name)), m_fd(std::move(fd)), m_readFd(m_fd.get()), m_pollFd(m_fd.get()) {}

Connection::~Connection() { close("connection destroyed", false); }

void Connection::setCloseHandler(std::function<void(const std::string&)> handler) {
  m_closeHandler = std::move(handler);
}

void Connection::setOutputWaker(std::function<void()> waker) { m_outputWaker = std::move(waker); }

Status Connection::queue(WireWriter& writer) {
  if (!writer.ok())
    return Status::error(writer.status().code(), "cannot encode message for %s: %s", m_name.c_str(),
                         writer.status().message());
  std::vector<uint8_t>& bytes = writer.finish();
  uint64_t segmentBytes = 0;
  for (const auto& segment : writer.segments()) segmentBytes += segment->size();
  Status failure;
  bool pending = false;
  bool closedNow = false;
  bool finished = false;
  {
    std::lock_guard<std::mutex> lock(m_io);
    if (!m_fd.valid())
      return Status::error(Status::kClosed, "connection to %s is closed (%s)", m_name.c_str(),
                           m_closeReason.c_str());
    if (queueFullLocked(bytes.size(), segmentBytes)) {
      failure = Status::error(Status::kLimit, "outgoing queue full");
    } else {
      Status refused = appendLocked(writer, bytes, segmentBytes);
      if (!refused.ok()) return refused;  // the connection stays as it was
      failure = flushLocked();
      if (failure.ok()) failure = afterFlushLocked(&finished, &pending);
    }
    if (!failure.ok()) closedNow = closeLocked(failure.message());
  }
  if (!failure.ok()) {
    if (closedNow) {
      TRACE(transportChannel(), 3, "disconnecting %s: %s", m_name.c_str(), failure.message());
      runCloseHandler(failure.message());
    }
    return Status::error(failure.code(), "cannot send to %s: %s", m_name.c_str(),
                         failure.message());
  }
  if (finished) runCloseHandler(m_finishReason);
  if (pending && m_outputWaker) m_outputWaker();
  return Status();
}

bool Connection::queueFullLocked(size_t bytes, uint64_t segmentBytes) const {
  // The limits bound what waits behind the message being written: one
  // message of any size is always taken, so that a client that reads gets
  // even an answer larger than the limits.
  return !m_queue.empty() &&
         (m_queue.size() >= kMaxQueuedMessages || m_queuedBytes + bytes > kMaxQueuedBytes ||
          m_queuedSegmentBytes + segmentBytes > kMaxQueuedSegmentBytes);
}

Status Connection::appendLocked(WireWriter& writer, std::vector<uint8_t>& bytes,
                                uint64_t segmentBytes) {
  // Pooled segments go only to the client of their pool; each one sent stays
  // reserved until that client releases it.
  for (const auto& pooled : writer.pooled()) {
    if (m_pool == nullptr || pooled.first != m_pool.get())
      return Status::error(Status::kProtocol, "cannot send to %s: segment of another client",
                           m_name.c_str());
  }
  try {
    m_queue.emplace_back();
  } catch (...) {
    return Status::error(Status::kNoMemory, "cannot queue message for %s: out of memory",
                         m_name.c_str());
  }
  for (const auto& pooled : writer.pooled()) m_pool->markSent(pooled.second);
  Outgoing& out = m_queue.back();
  out.bytes.swap(bytes);
  out.segments = writer.segments();
  out.segmentBytes = segmentBytes;
  m_queuedBytes += out.bytes.size();
  m_queuedSegmentBytes += segmentBytes;
  return Status();
}

Status Connection::afterFlushLocked(bool* finished, bool* pending) {
  if (m_queue.empty() && m_finishing) {
    *finished = closeLocked(m_finishReason);
    return Status();
  }
  *pending = !m_queue.empty();
  if (!*pending || m_epollFd < 0 || m_watchingOutput) return Status();
  struct epoll_event watch;
  std::memset(&watch, 0, sizeof(watch));
  watch.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  watch.data.u64 = m_epollId;
  // Reports a socket that is writable by now at once.
  if (epoll_ctl(m_epollFd, EPOLL_CTL_MOD, m_fd.get(), &watch) != 0)
    return Status::fromErrno(errno, "cannot watch for output");
  m_watchingOutput = true;
  return Status();
}

Status Connection::flushLocked() {
  Status written = writeQueueLocked();
  m_queueLength.store(m_queue.size(), std::memory_order_release);
  return written;
}

Status Connection::writeQueueLocked() {
  while (!m_queue.empty()) {
    Outgoing& out = m_queue.front();
    struct iovec iov;
    iov.iov_base = out.bytes.data() + out.offset;
    iov.iov_len = out.bytes.size() - out.offset;
    struct msghdr message;
    std::memset(&message, 0, sizeof(message));
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
    if (out.offset == 0 && !out.segments.empty()) {
      const size_t count = out.segments.size();
      std::memset(control, 0, sizeof(control));
      message.msg_control = control;
      message.msg_controllen = CMSG_SPACE(sizeof(int) * count);
      struct cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int) * count);
      int fds[kMaxFdsPerMessage];
      for (size_t i = 0; i < count; ++i) fds[i] = out.segments[i]->fd();
      std::memcpy(CMSG_DATA(header), fds, sizeof(int) * count);
    }
    ssize_t sent = sendmsg(m_fd.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Status();
      return Status::fromErrno(errno, "write failed");
    }
    // The descriptors went with the first byte; the kernel holds them now.
    out.segments.clear();
    m_queuedSegmentBytes -= out.segmentBytes;
    out.segmentBytes = 0;
    out.offset += static_cast<size_t>(sent);
    if (out.offset == out.bytes.size()) {
      m_queuedBytes -= out.bytes.size();
      m_queue.pop_front();
    }
  }
  return Status();
}

bool Connection::flush() {
  Status written;
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(m_io);
    if (!m_fd.valid()) return false;
    written = flushLocked();
    if (written.ok() && (!m_queue.empty() || !m_finishing)) return true;
    // Finishing, and every message is written; or a write failed.
    reason = written.ok() ? m_finishReason : written.message();
    closeLocked(reason);
  }
  if (!written.ok())
    TRACE(transportChannel(), 3, "disconnecting %s: %s", m_name.c_str(), reason.c_str());
  runCloseHandler(reason);
  return false;
}

void Connection::closeWhenFlushed(const std::string& reason) {
  bool closedNow = false;
  {
    std::lock_guard<std::mutex> lock(m_io);
    if (!m_fd.valid() || m_finishing) return;
    m_finishing = true;
    m_finishReason = reason;
    if (m_queue.empty()) closedNow = closeLocked(reason);
  }
  if (closedNow) runCloseHandler(reason);
}

bool Connection::inputEnded() const { return m_inputEnded.load(std::memory_order_acquire); }

bool Connection::hasPendingOutput() { return m_queueLength.load(std::memory_order_acquire) > 0; }

std::shared_ptr<SegmentPool> Connection::segmentPool() {
  std::lock_guard<std::mutex> lock(m_io);
  if (m_pool == nullptr && m_fd.valid()) {
    try {
      m_pool = std::make_shared<SegmentPool>(clientMemoryLimit());
    } catch (...) {
      return nullptr;
    }
  }
  return m_pool;
}

void Connection::sendDropped(const std::vector<uint32_t>& ids) {
  if (ids.empty()) return;
  WireWriter writer(kKindSegmentDrop, 0);
  putSegmentList(writer, ids, 1);
  static_cast<void>(queue(writer));  // fails only when closing: the client unmaps everything
}

CIInt8Array::Storage* Connection::allocatePooled(uint32_t size, bool* refused) {
  *refused = false;
  std::shared_ptr<SegmentPool> pool = segmentPool();
  if (pool == nullptr) return nullptr;
  CIInt8Array::Storage* storage = SegmentPool::allocate(pool, size, refused);
  sendDropped(pool->takeDropped());
  return storage;
}

void Connection::trimPool(uint64_t nowMs) {
  std::shared_ptr<SegmentPool> pool;
  {
    std::lock_guard<std::mutex> lock(m_io);
    pool = m_pool;
  }
  if (pool != nullptr) sendDropped(pool->trim(nowMs));
}

size_t Connection::queuedMessages() {
  std::lock_guard<std::mutex> lock(m_io);
  return m_queue.size();
}

int Connection::pollFd() { return m_pollFd.load(std::memory_order_acquire); }

std::string Connection::closeReason() {
  std::lock_guard<std::mutex> lock(m_io);
  return m_closeReason;
}

bool Connection::closeLocked(const std::string& reason) {
  if (!m_fd.valid()) return false;
  if (m_epollFd >= 0) epoll_ctl(m_epollFd, EPOLL_CTL_DEL, m_fd.get(), nullptr);
  {
    // The reading thread holds m_readLock, not m_io, while it reads.
    std::lock_guard<std::mutex> reading(m_readLock);
    m_fd.reset();
    m_readFd = -1;
  }
  m_pollFd.store(-1, std::memory_order_release);
  m_queue.clear();
  m_queueLength.store(0, std::memory_order_release);
  m_queuedBytes = 0;
  m_queuedSegmentBytes = 0;
  if (m_pool != nullptr) m_pool->close();
  m_closeReason = reason;
  m_closed.store(true, std::memory_order_release);
  return true;
}

bool Connection::close(const std::string& reason, bool notify) {
  bool first;
  {
    std::lock_guard<std::mutex> lock(m_io);
    first = closeLocked(reason);
  }
  if (first && notify) runCloseHandler(reason);
  return first;
}

void Connection::runCloseHandler(const std::string& reason) {
  if (m_closeHandler) m_closeHandler(reason);
}

void Connection::reject(const std::string& reason) {
  m_inFds.clear();  // descriptors of the rejected peer go before its socket
  TRACE(transportChannel(), 3, "closing connection to %s: %s", m_name.c_str(), reason.c_str());
  close(reason);
}

Connection::Turn Connection::dispatchBuffered(const std::function<Status(WireMessage&)>& onMessage,
                                              const std::function<bool()>& mayGoOn) {
  size_t start = 0;
  Turn turn = Turn::kGoOn;
  while (m_inFill - start >= kWireHeaderSize) {
    uint8_t kind;
    uint32_t slot, size, fds;
    const Status header = parseHeader(m_in.data() + start, &kind, &slot, &size, &fds);
    if (!header.ok()) {
      reject(header.message());
      return Turn::kClosed;
    }
    const size_t total = kWireHeaderSize + static_cast<size_t>(size);
    if (m_inFill - start < total) break;
    if (m_inFds.size() < fds) {
      reject("descriptors missing");
      return Turn::kClosed;
    }
    if (mayGoOn && !mayGoOn()) {
      turn = Turn::kPaused;
      break;
    }
    WireMessage complete;
    complete.kind = kind;
    complete.slot = slot;
    complete.payload = m_in.data() + start + kWireHeaderSize;
    complete.size = size;
    try {
      for (uint32_t i = 0; i < fds; ++i) complete.fds.push_back(std::move(m_inFds[i]));
    } catch (...) {
      reject("out of memory");
      return Turn::kClosed;
    }
    m_inFds.erase(m_inFds.begin(), m_inFds.begin() + fds);
    const Status handled = onMessage(complete);
    if (!handled.ok()) {
      complete.fds.clear();
      reject(handled.message());
      return Turn::kClosed;
    }
    if (isClosed()) return Turn::kClosed;
    start += total;
  }
  if (start > 0) {
    std::memmove(m_in.data(), m_in.data() + start, m_inFill - start);
    m_inFill -= start;
  }
  if (turn == Turn::kGoOn && m_inFill == 0 && !m_inFds.empty()) {
    reject("descriptors without a message");
    return Turn::kClosed;
  }
  return turn;
}

bool Connection::readAvailable(const std::function<Status(WireMessage&)>& onMessage,
                               bool stopAtShortRead, const std::function<bool()>& mayGoOn,
                               size_t turnBytes, bool* stopped) {
  if (stopped != nullptr) *stopped = false;
  auto stop = [stopped] {
    if (stopped != nullptr) *stopped = true;
    return true;
  };
  // Messages read in an earlier turn go first.
  Turn turn = dispatchBuffered(onMessage, mayGoOn);
  if (turn == Turn::kClosed) return false;
  if (turn == Turn::kPaused) return stop();
  if (m_inputEnded.load(std::memory_order_relaxed)) return !isClosed();
  size_t readThisTurn = 0;
  for (;;) {
    if (readThisTurn >= turnBytes) return stop();
    bool carriedFds = false, emptied = false;
    size_t received = 0;
    const Receive got = receive(&received, &carriedFds, &emptied);
    if (got == Receive::kClosed) return false;
    if (got == Receive::kNothing) return true;
    readThisTurn += received;
    turn = dispatchBuffered(onMessage, mayGoOn);
    if (turn == Turn::kClosed) return false;
    if (turn == Turn::kPaused) return stop();
    // A read that did not fill the buffer emptied the socket, unless it
    // stopped after data carrying descriptors (the kernel ends a read
    // there): no need for another read to see EAGAIN.
    if (stopAtShortRead && emptied && !carriedFds) return true;
  }
}

bool Connection::growInput() {
  // Room for at least one chunk, or for the whole message being received.
  size_t needed = m_inFill + kReadChunk;
  if (m_inFill >= kWireHeaderSize) {
    uint8_t kind;
    uint32_t slot, size, fds;
    if (parseHeader(m_in.data(), &kind, &slot, &size, &fds).ok())
      needed = std::max(needed, static_cast<size_t>(kWireHeaderSize) + size);
  }
  needed = std::min(needed, std::max(m_inFill + kReadChunk, static_cast<size_t>(kMaxMessageSize)));
  if (m_in.size() >= needed) return true;
  try {
    m_in.resize(needed);
  } catch (...) {
    reject("out of memory");
    return false;
  }
  return true;
}

void Connection::takeDescriptors(::msghdr& message, bool* carriedFds) {
  for (struct cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const size_t fds = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    *carriedFds = *carriedFds || fds > 0;
    for (size_t i = 0; i < fds; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
      try {
        m_inFds.emplace_back(fd);
      } catch (...) {
        UniqueFd discard(fd);
      }
    }
  }
}

Connection::Receive Connection::receive(size_t* received, bool* carriedFds, bool* emptied) {
  if (!growInput()) return Receive::kClosed;

  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
  struct iovec iov;
  iov.iov_base = m_in.data() + m_inFill;
  iov.iov_len = m_in.size() - m_inFill;
  struct msghdr message;
  std::memset(&message, 0, sizeof(message));
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  ssize_t count;
  int error = 0;
  {
    // Not under m_io, so that a reply being sent does not hold up the
    // next request; m_readLock keeps the descriptor from being closed
    // meanwhile.
    std::lock_guard<std::mutex> reading(m_readLock);
    if (m_readFd < 0) return Receive::kClosed;
    do {
      count = recvmsg(m_readFd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (count < 0 && errno == EINTR);
    error = errno;
  }
  // Take every descriptor that came, so that none leaks on any path below.
  if (count >= 0) takeDescriptors(message, carriedFds);
  if (count < 0) {
    if (error == EAGAIN || error == EWOULDBLOCK) return Receive::kNothing;
    reject(std::string("read failed: ") + std::strerror(error));
    return Receive::kClosed;
  }
  if (message.msg_flags & MSG_CTRUNC) {
    reject("truncated control data");
    return Receive::kClosed;
  }
  if (count == 0 && m_halfCloseAllowed) {
    // The peer shut down its sending side; it still reads its answers.
    if (m_inFill > 0 || !m_inFds.empty()) {
      reject("stream ended inside a message");
      return Receive::kClosed;
    }
    m_inputEnded.store(true, std::memory_order_release);
    TRACE(transportChannel(), 1, "%s has sent all it will", m_name.c_str());
    return Receive::kNothing;
  }
  if (count == 0) {
    TRACE(transportChannel(), 1, "%s closed the connection", m_name.c_str());
    close("peer closed the connection");
    return Receive::kClosed;
  }
  m_inFill += static_cast<size_t>(count);
  if (m_inFds.size() > kMaxFdsPerMessage) {
    reject("too many descriptors");
    return Receive::kClosed;
  }
  *received = static_cast<size_t>(count);
  *emptied = static_cast<size_t>(count) < iov.iov_len;
  return Receive::kGot;
}

}  // namespace comm
