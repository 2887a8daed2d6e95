// The service side's event loop: reading requests, dispatching them in
// order, holding those of a client at its shared-memory limit, and closing
// half-closed connections that are owed nothing more.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/transport/service_state.h"

namespace comm {

using service::channel;
using service::Listening;
using service::Served;
using service::steadyMs;

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

Status Transport::State::hold(Served& served, const WireMessage& message) {
  if (!message.fds.empty()) return Status::error(Status::kProtocol, "request carries descriptors");
  try {
    served.held.push_back(Served::Held{
        message.slot, std::vector<uint8_t>(message.payload, message.payload + message.size)});
  } catch (...) {
    return Status::error(Status::kNoMemory, "out of memory");
  }
  served.heldBytes += message.size;
  if (served.held.size() == 1) {
    served.heldSinceMs = steadyMs();
    if (channel().isEnabled(2)) {
      std::shared_ptr<SegmentPool> pool = served.connection->segmentPool();
      channel().logCV(
          2, "holding the requests of %s: it holds %llu bytes of answers",
          served.connection->name().c_str(),
          static_cast<unsigned long long>(pool != nullptr ? pool->outstandingBytes() : 0));
    }
  }
  return Status();
}

bool Transport::State::mustHold(Served& served, const WireMessage& message) {
  if (!served.session->answersTakeSharedMemory(message.slot)) return false;
  if (!served.held.empty()) return true;
  if (!atLimit(served)) {
    served.graceSpent = false;
    return false;
  }
  if (!served.graceSpent) return true;
  // Past the grace time nothing is held until the client releases memory.
  std::shared_ptr<SegmentPool> pool = served.connection->segmentPool();
  served.graceSpent = pool != nullptr && pool->lastReleaseMs() == served.graceSpentAt;
  return !served.graceSpent;
}

void Transport::State::resumeHeld(Served& served) {
  if (served.held.empty() && !served.inputPaused) return;
  std::shared_ptr<SegmentPool> pool = served.connection->segmentPool();
  const uint64_t lastRelease = pool != nullptr ? pool->lastReleaseMs() : uint64_t{0};
  // Still at its limit after the grace time: a client that releases nothing
  // now is not going to soon. Its requests go on, and their answers are
  // refused the shared memory they would need.
  if (!served.held.empty() && atLimit(served)) {
    const uint32_t grace = graceMs.load(std::memory_order_acquire);
    if (steadyMs() - std::max(served.heldSinceMs, lastRelease) <= grace) return;
    served.graceSpent = true;
    served.graceSpentAt = lastRelease;
    TRACE(channel(), 3,
          "dispatching the held requests of %s: it released no answer for %u ms while at its "
          "shared-memory limit",
          served.connection->name().c_str(), grace);
  }
  while (!served.held.empty() && (served.graceSpent || !atLimit(served)) &&
         !served.connection->isClosed()) {
    Served::Held request = std::move(served.held.front());
    served.held.pop_front();
    served.heldBytes -= request.payload.size();
    WireMessage message;
    message.kind = kKindRequest;
    message.slot = request.slot;
    message.payload = request.payload.data();
    message.size = static_cast<uint32_t>(request.payload.size());
    const Status dispatched = dispatchRequest(served, message);
    if (!dispatched.ok()) {
      TRACE(channel(), 3, "closing connection to %s: %s", served.connection->name().c_str(),
            dispatched.message());
      served.connection->close(dispatched.message());
      return;
    }
  }
  if (served.held.empty()) served.inputPaused = false;
}

void Transport::State::readWaiting() {
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

void Transport::State::handleEvent(const struct epoll_event& event) {
  const uint64_t id = event.data.u64;
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
  if (served == nullptr) return;
  if (event.events & EPOLLOUT) served->connection->flush();
  if (event.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
    read(served, (event.events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0);
  // A hang-up is the end of both directions (a client that only shut down
  // its sending side reports EPOLLRDHUP alone): nothing written from now on
  // can arrive.
  if (event.events & (EPOLLHUP | EPOLLERR)) {
    if (served->connection->close(event.events & EPOLLERR ? "connection error"
                                                          : "peer closed the connection"))
      TRACE(channel(), 1, "%s closed the connection", served->connection->name().c_str());
  }
}

void Transport::State::run(const std::shared_ptr<std::atomic<bool>>& stop) {
  struct epoll_event events[16];
  for (;;) {
    if (stop->load(std::memory_order_acquire)) {
      uint64_t count;
      while (::read(stopEvent.get(), &count, sizeof(count)) < 0 && errno == EINTR) {
      }
      return;
    }
    const bool stalled = acceptStalled.load(std::memory_order_acquire);
    // While pools hold idle segments the loop wakes up now and then to
    // free the ones unused for long.
    const bool idleSegments = SegmentPool::idleBytesTotal() > 0;
    const bool halfOpen = halfClosed.load(std::memory_order_acquire) > 0;
    const bool holding = waitingCount.load(std::memory_order_acquire) > 0;
    const bool turnsWaiting = turnCount.load(std::memory_order_acquire) > 0;
    int timeout = turnsWaiting   ? 0
                  : holding      ? kWaitingRetryMs
                  : stalled      ? kAcceptRetryMs
                  : halfOpen     ? static_cast<int>(kHalfClosedCheckMs)
                  : idleSegments ? kTrimIntervalMs
                                 : -1;
    int count = epoll_wait(epoll.get(), events, 16, timeout);
    if (count < 0) {
      if (errno == EINTR) continue;
      TRACE(channel(), 4, "event loop failed: %s", std::strerror(errno));
      return;
    }
    if (stalled) retryStalledAccepts();
    if (idleSegments) trimPools();
    if (halfOpen) closeFinishedHalfClosed();
    if (holding) readWaiting();
    for (int i = 0; i < count; ++i) handleEvent(events[i]);
    if (turnsWaiting) serveTurns();
  }
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

bool Transport::State::owesTooMuch(Served& served) {
  return served.session->owedAnswers() >= kMaxOwedAnswers ||
         owedTotal() >= maxOwedTotal.load(std::memory_order_relaxed);
}

size_t Transport::State::owedTotal() {
  // Summed over the connections at most once a millisecond while no request
  // is dispatched (the waiting connections are looked at often).
  const uint64_t now = steadyMs();
  if (owedTotalAtMs.load(std::memory_order_acquire) == now)
    return owedTotalCached.load(std::memory_order_acquire);
  size_t total = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : connections) total += entry.second->session->owedAnswers();
  }
  owedTotalCached.store(total, std::memory_order_release);
  owedTotalAtMs.store(now, std::memory_order_release);
  return total;
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
    // A client owed many answers is not read until the worker has caught
    // up with it, so that it cannot fill the queue before others.
    served->busy = open && owesTooMuch(*served);
    bool stopped = false;
    if (open && !served->inputPaused && !served->busy) {
      open = served->connection->readAvailable(
          [&](WireMessage& message) { return dispatch(*served, message); }, !drain,
          [&] { return !owesTooMuch(*served); }, kReadTurnBytes, &stopped);
      // Releases read just now may let held requests go.
      if (open) resumeHeld(*served);
      // Too much held: the rest waits in the socket.
      if (open && served->heldBytes >= kMaxHeldRequestBytes) served->inputPaused = true;
      served->busy = open && stopped && owesTooMuch(*served);
    }
    const bool waiting = open && (!served->held.empty() || served->inputPaused || served->busy);
    if (waiting != served->waiting.load(std::memory_order_acquire)) setWaiting(*served, waiting);
    {
      std::lock_guard<std::mutex> lock(served->readMutex);
      // A turn that ended with more to read goes to the back of the line,
      // after the other connections waiting for one.
      if (open && served->again && !stopped) {
        served->again = false;
        continue;
      }
      served->reading = false;
      served->again = false;
    }
    if (open && stopped && !served->busy) queueTurn(served);
    if (open && served->connection->inputEnded()) inputEnded(*served);
    return;
  }
}

void Transport::State::queueTurn(const std::shared_ptr<Served>& served) {
  std::lock_guard<std::mutex> lock(turnMutex);
  try {
    turns.push_back(served);
  } catch (...) {
    // Left for the next readiness event of its socket, or the next look at
    // waiting connections.
    setWaiting(*served, true);
    return;
  }
  turnCount.store(turns.size(), std::memory_order_release);
}

void Transport::State::serveTurns() {
  // One turn for each connection in line now; those that still have more
  // join the line again at its back.
  size_t count;
  {
    std::lock_guard<std::mutex> lock(turnMutex);
    count = turns.size();
  }
  for (size_t i = 0; i < count; ++i) {
    std::shared_ptr<Served> served;
    {
      std::lock_guard<std::mutex> lock(turnMutex);
      if (turns.empty()) return;
      served = std::move(turns.front());
      turns.pop_front();
      turnCount.store(turns.size(), std::memory_order_release);
    }
    read(served, false);
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

Status Transport::State::dispatch(Served& served, WireMessage& message) {
  if (message.kind == kKindSegmentRelease) {
    WireReader reader(message.payload, message.size, &message.fds);
    std::vector<uint32_t> items;
    std::shared_ptr<SegmentPool> pool = served.connection->segmentPool();
    if (!getSegmentList(reader, 2, &items) || pool == nullptr)
      return Status::error(Status::kProtocol, "malformed segment release");
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
      Status released = pool->release(items[i], items[i + 1]);
      if (!released.ok()) return released;
    }
    return Status();
  }
  if (message.kind != kKindRequest)
    return Status::error(Status::kProtocol, "unexpected message kind");
  // A client at its shared-memory limit: its requests for answers that take
  // shared memory wait, in order, until it releases memory or its grace
  // time runs out (no job is made for them meanwhile).
  if (mustHold(served, message)) return hold(served, message);
  return dispatchRequest(served, message);
}

Status Transport::State::dispatchRequest(Served& served, WireMessage& message) {
  ServiceDirectory::Lease lease;
  if (!ServiceDirectory::getInstance().acquire(served.service->record, &lease)) {
    // The service is stopping: the request is not served. The client gets
    // the answers of the jobs that ran, then the end of the stream.
    if (!served.refusedLogged && channel().isEnabled(3)) {
      served.refusedLogged = true;
      channel().logCV(3, "request from %s after the service stopped: not served",
                      served.connection->name().c_str());
    }
    return Status();
  }
  const Status dispatched = served.session->dispatch(lease.target(), message);
  // What the clients are owed may have grown: sum it anew.
  owedTotalAtMs.store(0, std::memory_order_release);
  return dispatched;
}

}  // namespace comm
