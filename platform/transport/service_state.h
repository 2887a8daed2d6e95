// What the service side of the transport keeps: the listening sockets, the
// connections it serves, and the transport's state. Shared by service.cpp
// (listening, accepting, stopping) and dispatch.cpp (the event loop,
// reading and dispatching).
#ifndef PLATFORM_TRANSPORT_SERVICE_STATE_H_
#define PLATFORM_TRANSPORT_SERVICE_STATE_H_

#include <sys/epoll.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/transport.h"
#include "platform/transport/connection.h"

namespace comm {
namespace service {

// Milliseconds of the steady clock.
uint64_t steadyMs();
inline tracing::Channel& channel() { return transportChannel(); }

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
  bool handed = false;                // the service manager's socket: its file is not ours
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
  // The grace time ran out at the client's release time |graceSpentAt|
  // (SegmentPool::lastReleaseMs): until it releases again, nothing is held.
  bool graceSpent = false;
  uint64_t graceSpentAt = 0;
  // Not read while it is owed kMaxOwedAnswers answers. Only the reading
  // thread touches it.
  bool busy = false;
  // Held requests, paused input or a busy client: the loop looks at it
  // again and again.
  std::atomic<bool> waiting{false};
  // One reader at a time; a wake-up during a read makes the reader go again.
  std::mutex readMutex;
  bool reading = false;  // Guarded by readMutex.
  bool again = false;    // Guarded by readMutex.
  bool hungUp = false;   // Guarded by readMutex.
};

}  // namespace service

struct Transport::State {
  std::mutex mutex;
  UniqueFd epoll;
  bool activated = false;
  bool threadsStarted = false;
  uint64_t nextId = 1;
  std::vector<std::pair<std::string, InterfaceBinding*>> bindings;
  std::map<uint64_t, std::shared_ptr<service::Listening>> listeners;
  std::map<uint64_t, std::shared_ptr<service::Served>> connections;
  std::vector<std::thread> threads;
  // The dispatch threads run while a service listens or a connection is
  // open; stopWhenIdle() ends them once a stopped service's object is gone
  // (not in onServiceRemoved, which runs under the directory's lock that a
  // dispatch thread may be waiting for). Each thread watches the flag of its own
  // start; |stopEvent| (an eventfd in semaphore mode, in the epoll set as
  // id 0) wakes the ones being stopped, each taking one count.
  std::shared_ptr<std::atomic<bool>> stopFlag;  // Guarded by mutex.
  UniqueFd stopEvent;
  void startThreadsLocked();
  void stopWhenIdle();
  // Set when accept ran out of descriptors or memory: the pending
  // connections stay in the backlog, and no new readiness event comes for
  // them (edge-triggered), so the loop retries every kAcceptRetryMs.
  std::atomic<bool> acceptStalled{false};
  static constexpr int kAcceptRetryMs = 100;
  // How often connections that wait (held requests, paused input, a busy
  // client) are looked at again: soon, since a busy client's turn comes as
  // soon as the worker has caught up with it.
  static constexpr int kWaitingRetryMs = 5;
  // One stall, from the first failed accept to the first accept that
  // succeeds or finds the backlog empty: logged once at each end.
  std::mutex stallMutex;
  bool stalling = false;       // Guarded by stallMutex.
  uint64_t stallFailures = 0;  // Guarded by stallMutex.
  std::chrono::steady_clock::time_point stallStart;
  void acceptFailed(const service::Listening& listening, int error);
  void acceptWorks(const service::Listening& listening);

  // Signalled whenever a connection closes (a stop waits for its clients'
  // connections to finish).
  std::condition_variable connectionClosed;
  uint32_t drainMs = kStopDrainMs;  // Guarded by mutex.
  // Open connections whose client has shut down its sending side. While
  // there are any, the loop looks every kHalfClosedCheckMs for those that
  // are owed nothing more, and closes them.
  std::atomic<size_t> halfClosed{0};
  // Connections whose requests are held (Served::waiting), and how long a
  // client at its limit may release nothing before they are dispatched.
  std::atomic<size_t> waitingCount{0};
  std::atomic<uint32_t> graceMs{kClientMemoryGraceMs};
  void closeFinishedHalfClosed();

  // Connections whose last turn of reading ended with more to read, in the
  // order they ended it: the loop gives each another turn, so that every
  // client is read in turn however much one of them sends.
  std::mutex turnMutex;
  std::deque<std::shared_ptr<service::Served>> turns;  // Guarded by turnMutex.
  std::atomic<size_t> turnCount{0};
  void queueTurn(const std::shared_ptr<service::Served>& served);
  void serveTurns();
  // Whether |served| is owed kMaxOwedAnswers, or all clients together
  // |maxOwedTotal| (then nobody is read until the worker catches up).
  bool owesTooMuch(service::Served& served);
  size_t owedTotal();
  std::atomic<size_t> maxOwedTotal{kMaxOwedAnswersTotal};
  std::atomic<uint64_t> owedTotalAtMs{0};
  std::atomic<size_t> owedTotalCached{0};

  // The binding registered for |serviceName|, or null.
  InterfaceBinding* bindingFor(const std::string& serviceName);
  // Makes |record|'s service listen on its socket (see onServiceAdded).
  Status serve(ServiceRegistrationRecord* record);
  // serve() for a socket the service manager handed over.
  Status serveHanded(ServiceRegistrationRecord* record, InterfaceBinding* binding,
                     const std::string& path, UniqueFd fd);
  // Registers |listening| (its socket listening) with the event loop.
  Status listen(ServiceRegistrationRecord* record, InterfaceBinding* binding,
                const std::string& path, std::shared_ptr<service::Listening> listening);
  // The status line for the service manager (see transport.h).
  std::string statusLine();
  void run(const std::shared_ptr<std::atomic<bool>>& stop);
  // Reads on for the connections whose turn ended with input left.
  void readWaiting();
  // One event of the loop: a listener's or a connection's.
  void handleEvent(const struct epoll_event& event);
  void retryStalledAccepts();
  // Frees pooled segments idle for long (at most once per kTrimIntervalMs).
  void trimPools();
  std::atomic<int64_t> lastTrimMs{0};
  static constexpr int kTrimIntervalMs = 1000;
  void accept(const std::shared_ptr<service::Listening>& listening);
  // After accept4() failed with |error|: a stall, the queue emptied, or a
  // failure to trace.
  void acceptEnded(service::Listening& listening, int error);
  // The state of a connection just accepted on |listening|; null (logged)
  // when memory is short.
  std::shared_ptr<service::Served> newServed(const std::shared_ptr<service::Listening>& listening,
                                             UniqueFd fd);
  // Gives |served| its id and adds it to the event loop; under |mutex|.
  void registerServedLocked(const std::shared_ptr<service::Listening>& listening,
                            const std::shared_ptr<service::Served>& served);
  // |hangUp|: the event reported the end of the stream or an error, so the
  // socket is read until EAGAIN (the edge will not come again).
  void read(const std::shared_ptr<service::Served>& served, bool hangUp);
  // The client of |served| shut down its sending side.
  void inputEnded(service::Served& served);
  Status dispatch(service::Served& served, WireMessage& message);
  Status dispatchRequest(service::Served& served, WireMessage& message);
  // Whether |message| must wait: its answers can take shared memory, and
  // the client is at its limit (within its grace time) or has requests
  // held already.
  bool mustHold(service::Served& served, const WireMessage& message);
  // Holds the request |message| of a client at its limit. Fails for a
  // request that no service would take.
  Status hold(service::Served& served, const WireMessage& message);
  // Dispatches held requests while the client is below its limit, and all
  // of them once it has released nothing for the grace time.
  void resumeHeld(service::Served& served);
  void setWaiting(service::Served& served, bool waiting);
  bool atLimit(service::Served& served);
  void closed(uint64_t id, const std::string& reason);
};

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_SERVICE_STATE_H_
