// The reserve of pre-faulted segments: made ahead of need by a thread of low
// priority, taken by the pools of the service side (see "Pre-faulted
// segments" in transport.h).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>

#include "platform/osal.h"
#include "platform/transport.h"
#include "platform/transport/connection.h"

namespace comm {

const char* const kSegmentReserveVariable = "COMM_SEGMENT_RESERVE_MIB";

namespace {

// A reserved segment fits an array whose segment capacity is |capacity|
// when it holds it and is at most twice as large: a much larger one would
// tie up memory in the pool of a client that asks for small answers.
bool fits(uint64_t size, uint64_t capacity) { return size >= capacity && size <= 2 * capacity; }

}  // namespace

struct SegmentReserve::State {
  struct Ready {
    std::shared_ptr<Segment> segment;
    uint64_t stamp = 0;  // when it was asked for: the oldest goes first
  };
  struct Wish {
    uint32_t capacity = 0;
    uint64_t stamp = 0;
  };

  std::mutex mutex;
  std::condition_variable wake;  // for the thread: a wish, or the end
  std::condition_variable done;  // for waitIdle(): the thread has nothing to do
  std::vector<Ready> ready;      // Guarded by mutex, as is all below.
  std::deque<Wish> wishes;
  uint32_t making = 0;  // the capacity the thread is making now, or 0
  uint64_t bytes = 0;   // ready segments and the one being made
  uint64_t limit = 0;
  uint64_t nextStamp = 1;
  uint64_t hits = 0;
  bool suspended = false;
  // Started with the first wish; runs for the rest of the process.
  std::unique_ptr<osal::Thread> thread;

  // True when a segment that fits |capacity| is ready, being made, or wished.
  bool coveredLocked(uint32_t capacity) const {
    if (making != 0 && fits(making, capacity)) return true;
    for (const Wish& wish : wishes)
      if (fits(wish.capacity, capacity)) return true;
    for (const Ready& entry : ready)
      if (fits(entry.segment->size(), capacity)) return true;
    return false;
  }
  // Frees ready segments of at most |largest| bytes, oldest wish first,
  // until |more| bytes fit within the limit; the segments are moved to
  // |freed| (unmapped outside the lock). False when they cannot be made to
  // fit: then nothing is freed. A wish never frees a larger segment, which
  // costs more to make on the spot (its pages are zeroed and mapped), so a
  // client's churn of small answers cannot push out the segment the next
  // new client's first large answer needs.
  bool makeRoomLocked(uint64_t more, uint64_t largest,
                      std::vector<std::shared_ptr<Segment>>* freed) {
    uint64_t freeable = 0;
    for (const Ready& entry : ready)
      if (entry.segment->size() <= largest) freeable += entry.segment->size();
    if (bytes + more > limit + freeable) return false;
    while (bytes + more > limit) {
      auto oldest = ready.end();
      for (auto it = ready.begin(); it != ready.end(); ++it) {
        if (it->segment->size() <= largest && (oldest == ready.end() || it->stamp < oldest->stamp))
          oldest = it;
      }
      bytes -= oldest->segment->size();
      freed->push_back(std::move(oldest->segment));
      ready.erase(oldest);
    }
    return true;
  }
  void run();
};

namespace {

// kSegmentReserveBytes, or the host's choice in COMM_SEGMENT_RESERVE_MIB (0
// turns the reserve off).
uint64_t reserveFromEnvironment() {
  return mibFromEnvironment(kSegmentReserveVariable, 0, kMaxSegmentReserveMiB,
                            kSegmentReserveBytes);
}

}  // namespace

SegmentReserve& SegmentReserve::getInstance() {
  // Lives as long as the process, like its thread (the transport pins the
  // library's code while threads of it run).
  static SegmentReserve* reserve = new SegmentReserve();
  return *reserve;
}

SegmentReserve::SegmentReserve() : m_state(new State()) {
  m_state->limit = reserveFromEnvironment();
}

void SegmentReserve::State::run() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (wishes.empty() || suspended) {
      done.notify_all();
      wake.wait(lock);
      continue;
    }
    const Wish wish = wishes.front();
    wishes.pop_front();
    std::vector<std::shared_ptr<Segment>> freed;
    if (!makeRoomLocked(wish.capacity, wish.capacity, &freed)) continue;
    making = wish.capacity;
    bytes += wish.capacity;
    lock.unlock();
    freed.clear();
    std::shared_ptr<Segment> segment;
    const bool made = Segment::create(wish.capacity, &segment).ok();
    lock.lock();
    making = 0;
    if (made && !suspended && bytes <= limit) {
      try {
        ready.push_back(Ready{std::move(segment), wish.stamp});
        continue;
      } catch (...) {
      }
    }
    bytes -= wish.capacity;
    if (segment != nullptr) {
      lock.unlock();
      segment.reset();
      lock.lock();
    }
  }
}

std::shared_ptr<Segment> SegmentReserve::take(uint32_t capacity) {
  State& s = *m_state;
  std::shared_ptr<Segment> taken;
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.suspended || s.limit == 0 || capacity == 0) return nullptr;
  // The smallest ready segment that fits.
  auto best = s.ready.end();
  for (auto it = s.ready.begin(); it != s.ready.end(); ++it) {
    if (fits(it->segment->size(), capacity) &&
        (best == s.ready.end() || it->segment->size() < best->segment->size()))
      best = it;
  }
  if (best != s.ready.end()) {
    taken = std::move(best->segment);
    s.bytes -= taken->size();
    s.ready.erase(best);
    ++s.hits;
  }
  // One like it for the next time, unless one is there or on its way.
  if (capacity <= s.limit && !s.coveredLocked(capacity)) {
    try {
      s.wishes.push_back(State::Wish{capacity, s.nextStamp++});
      if (s.thread == nullptr) {
        // The lowest priority: the reserve is made with time that decoding
        // does not use.
        auto thread = std::make_unique<osal::Thread>(
            [](void* state) { static_cast<State*>(state)->run(); }, m_state, "comm-reserve", 19);
        if (thread->start())
          s.thread = std::move(thread);
        else
          kor::ErrorStorage::ack();  // traced by nobody: the answer is made on the spot
      }
    } catch (...) {
    }
    // Without its thread the reserve makes nothing.
    if (s.thread == nullptr) s.wishes.clear();
    s.wake.notify_one();
  }
  return taken;
}

void SegmentReserve::suspend() {
  std::vector<State::Ready> freed;
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->suspended = true;
    m_state->wishes.clear();
    for (const State::Ready& entry : m_state->ready) m_state->bytes -= entry.segment->size();
    freed.swap(m_state->ready);
  }
}

void SegmentReserve::resume() {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->suspended = false;
}

void SegmentReserve::setLimit(uint64_t bytes) {
  std::vector<std::shared_ptr<Segment>> freed;
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->limit = bytes;
  m_state->makeRoomLocked(0, UINT64_MAX, &freed);
}

uint64_t SegmentReserve::limit() {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->limit;
}

uint64_t SegmentReserve::bytes() {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->bytes;
}

size_t SegmentReserve::readyCount() {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->ready.size();
}

uint64_t SegmentReserve::hits() {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->hits;
}

bool SegmentReserve::waitIdle(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(m_state->mutex);
  return m_state->done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
    return m_state->making == 0 && (m_state->wishes.empty() || m_state->suspended);
  });
}

}  // namespace comm
