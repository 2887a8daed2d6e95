// One end of a stream connection of the transport, with its outgoing queue
// and, on the service side, its client's segment pool.
#ifndef PLATFORM_TRANSPORT_CONNECTION_H_
#define PLATFORM_TRANSPORT_CONNECTION_H_

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/transport/segment.h"
#include "platform/transport/unique_fd.h"
#include "platform/transport/wire.h"

namespace comm {

// A client's outgoing queue: a request may ask for up to kMaxArrayCount
// answers at once, which a client that reads them slower than they come must
// not lose; what the queue holds is bounded by bytes: the messages' own and
// those of the shared segments they carry.
constexpr uint32_t kMaxQueuedMessages = 65536;
constexpr size_t kMaxQueuedBytes = 8u * 1024 * 1024;
constexpr uint64_t kMaxQueuedSegmentBytes = 1024ull * 1024 * 1024;
static_assert(kMaxQueuedMessages > kMaxArrayCount, "the answers to one request fit the queue");

// One end of a stream connection. Sending queues the message and writes what
// the socket takes at once, never blocking; the rest is written by flush()
// when the socket is writable again. Reading is done by one thread at a
// time (the owner's event loop). Thread-safe otherwise.
class Connection {
 public:
  // Takes |fd| (connected, non-blocking, close-on-exec). |name| names the
  // peer in traces.
  Connection(UniqueFd fd, std::string name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& name() const { return m_name; }

  // Runs once when the connection closes, on the thread that closed it,
  // with the reason (not when close() is called with notify false). Set
  // before the connection is used.
  void setCloseHandler(std::function<void(const std::string&)> handler);
  // Runs after send() left bytes queued (the client's loop polls for
  // output then). Set before the connection is used.
  void setOutputWaker(std::function<void()> waker);
  // The service side: the descriptor is registered in |epollFd| with |id|
  // for input; the connection adds output when a message could not be
  // written at once (so that the client's reads do not wake the loop for
  // nothing), and removes the descriptor when closing.
  void setEpoll(int epollFd, uint64_t id) {
    m_epollFd = epollFd;
    m_epollId = id;
  }

  // The service side: the end of the peer's stream does not close the
  // connection (a client may shut down its sending side and still read its
  // answers); inputEnded() turns true instead, and the owner closes the
  // connection when nothing more is owed. Set before the connection is used.
  void setHalfCloseAllowed(bool allowed) { m_halfCloseAllowed = allowed; }
  bool inputEnded() const;

  // Queues |writer|'s message. Fails when closed, on a full queue (the
  // connection is then closed) or a write error. The queue's limits apply to
  // what waits behind the message in hand: a message is always taken by an
  // empty queue, whatever the size of the segments it carries.
  Status queue(WireWriter& writer);
  // As queue(), for the service's reply proxies: 0, or -1 with the reason in
  // kor::ErrorStorage.
  int send(WireWriter& writer) {
    if (!toErrorStorage(queue(writer))) return -1;
    s_sent.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  // Messages queued through send() by every connection of the process.
  static uint64_t sentTotal() { return s_sent.load(std::memory_order_relaxed); }
  // Closes the connection with |reason| (running the close handler) as soon
  // as every queued message is written: at once when none is queued.
  void closeWhenFlushed(const std::string& reason);
  // Writes queued bytes. False when the connection closed.
  bool flush();
  bool hasPendingOutput();

  // Reads what is available and hands each complete message to |onMessage|
  // (which fails to reject it). Returns false when
  // the connection closed (end of stream, error, bad message). With
  // |stopAtShortRead| it returns after a read that emptied the socket
  // instead of reading on until EAGAIN, which saves a system call per
  // wake-up; only for a caller whose next wait reports data and end of
  // stream that were already there (poll, or epoll when no hang-up was
  // reported with the event).
  // A turn can end early, with |*stopped| set (when given): before a message
  // for which |mayGoOn| (when given) says false, or once |turnBytes| have
  // been read. What was read and not handed over stays for the next call,
  // which hands it over first; more may wait in the socket then, and no new
  // readiness event may come for it.
  bool readAvailable(const std::function<Status(WireMessage&)>& onMessage,
                     bool stopAtShortRead = false, const std::function<bool()>& mayGoOn = {},
                     size_t turnBytes = SIZE_MAX, bool* stopped = nullptr);

  // Closes the descriptor and drops the queue; the close handler runs when
  // |notify| is true. Later calls do nothing. Returns true for the first.
  bool close(const std::string& reason, bool notify = true);
  bool isClosed() const { return m_closed.load(std::memory_order_acquire); }
  std::string closeReason();
  // The descriptor for polling (-1 once closed); only the event loop uses it.
  int pollFd();

  // The pool of segments for this connection's client (service side; made
  // on first use). Null when memory is short.
  std::shared_ptr<SegmentPool> segmentPool();
  // Sends a drop message for |ids| (none when empty).
  void sendDropped(const std::vector<uint32_t>& ids);
  // Storage for a byte array of |size| bytes among this connection's
  // segments (telling the client of pooled segments dropped to make room),
  // or null; |*refused| as for SegmentPool::allocate.
  CIInt8Array::Storage* allocatePooled(uint32_t size, bool* refused);
  // Frees the pool's segments idle since before |nowMs| - kPoolIdleMs
  // (steady clock) and tells the client.
  void trimPool(uint64_t nowMs);

  // For tests and diagnostics.
  size_t queuedMessages();

 private:
  static inline std::atomic<uint64_t> s_sent{0};
  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    std::vector<std::shared_ptr<Segment>> segments;  // keep their fds open until sent
    uint64_t segmentBytes = 0;
  };
  enum class Turn { kGoOn, kPaused, kClosed };
  enum class Receive { kGot, kNothing, kClosed };
  // Closes the connection for a broken message; traced.
  void reject(const std::string& reason);
  // Hands over the complete messages read, while |mayGoOn| lets it.
  Turn dispatchBuffered(const std::function<Status(WireMessage&)>& onMessage,
                        const std::function<bool()>& mayGoOn);
  // One read from the socket into the buffer: |*received| bytes, whether
  // descriptors came, and whether the read left the socket empty.
  Receive receive(size_t* received, bool* carriedFds, bool* emptied);
  // Makes room in the input buffer for the next read; false (closed) when
  // memory is short.
  bool growInput();
  // Moves the descriptors |message| carried into m_inFds.
  void takeDescriptors(::msghdr& message, bool* carriedFds);
  // Whether a message of |bytes| and |segmentBytes| would take the queue past
  // its limits.
  bool queueFullLocked(size_t bytes, uint64_t segmentBytes) const;
  // Appends the message |writer| made (|bytes|) to the queue; a refusal
  // (a segment of another client, memory) leaves the connection as it was.
  Status appendLocked(WireWriter& writer, std::vector<uint8_t>& bytes, uint64_t segmentBytes);
  // After a flush: closes a finishing connection whose queue ran empty, or
  // watches for output while messages wait.
  Status afterFlushLocked(bool* finished, bool* pending);
  // Writes what the socket takes; fails on a write error.
  Status flushLocked();
  Status writeQueueLocked();
  bool closeLocked(const std::string& reason);
  void runCloseHandler(const std::string& reason);

  const std::string m_name;
  std::mutex m_io;  // guards the descriptor, the queue and the reason
  UniqueFd m_fd;    // Guarded by m_io; invalid once closed.
  // The same descriptor for the reading thread (-1 once closed), guarded by
  // m_readLock, which the closer takes too (after m_io).
  std::mutex m_readLock;
  int m_readFd;
  // Read without the lock by the event loop: the descriptor (-1 once
  // closed) and the queue's length.
  std::atomic<int> m_pollFd;
  std::atomic<size_t> m_queueLength{0};
  std::deque<Outgoing> m_queue;
  size_t m_queuedBytes = 0;
  uint64_t m_queuedSegmentBytes = 0;
  std::string m_closeReason;
  std::atomic<bool> m_closed{false};
  bool m_finishing = false;  // Guarded by m_io; closeWhenFlushed() was called.
  std::string m_finishReason;
  bool m_halfCloseAllowed = false;
  std::atomic<bool> m_inputEnded{false};
  int m_epollFd = -1;
  uint64_t m_epollId = 0;
  bool m_watchingOutput = false;  // Guarded by m_io.
  std::function<void(const std::string&)> m_closeHandler;
  std::function<void()> m_outputWaker;
  std::shared_ptr<SegmentPool> m_pool;  // Guarded by m_io.

  // Reader state; only the reading thread touches it.
  std::vector<uint8_t> m_in;
  size_t m_inFill = 0;
  std::vector<UniqueFd> m_inFds;
};

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_CONNECTION_H_
