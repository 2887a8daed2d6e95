#include "platform/tracing.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace tracing {

namespace {

// The syslog priority of a level: failures are errors, rejected input and
// recoverable problems warnings, notable events information, routine
// progress debugging.
int syslogPriority(int16_t level) { return level >= 4 ? 3 : level == 3 ? 4 : level == 2 ? 6 : 7; }

class StderrSink : public Sink {
 public:
  void write(const Channel& channel, int16_t level, const char* text) override {
    // The journal stamps and files each line by itself.
    static const bool journal = isJournalStream(STDERR_FILENO);
    if (journal) {
      std::fprintf(stderr, "<%d>%s [%d] %s\n", syslogPriority(level), channel.name(), level, text);
      return;
    }
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &utc);
    // One fprintf per line: stdio locks the stream, so lines never interleave.
    std::fprintf(stderr, "%s.%03dZ %s [%d] %s\n", stamp, static_cast<int>(now.tv_usec / 1000),
                 channel.name(), level, text);
  }
};

// Never destroyed: channels of other libraries report their suppressed runs
// from their destructors at exit, possibly after this file's objects are gone.
union StderrSinkHolder {
  constexpr StderrSinkHolder() : sink() {}
  ~StderrSinkHolder() {}
  StderrSink sink;
};
constinit StderrSinkHolder g_stderr;
constinit std::atomic<Sink*> g_sink{&g_stderr.sink};

// The registry of live channels. Function-local so that it exists before the
// first channel of any translation unit is constructed.
struct Registry {
  std::mutex mutex;
  std::vector<Channel*> channels;  // Guarded by mutex.
};

Registry& registry() {
  static Registry* instance = new Registry();  // never destroyed: channels outlive statics
  return *instance;
}

// The level that TRACE_LEVELS gives |name|, or -1 when it names none.
int levelFromEnvironment(const char* name) {
  const char* setting = std::getenv("TRACE_LEVELS");
  if (setting == nullptr) return -1;
  int result = -1;
  std::string items(setting);
  size_t start = 0;
  while (start < items.size()) {
    size_t end = items.find(',', start);
    if (end == std::string::npos) end = items.size();
    std::string item = items.substr(start, end - start);
    size_t eq = item.find('=');
    if (eq != std::string::npos) {
      std::string key = item.substr(0, eq);
      char* tail = nullptr;
      long value = std::strtol(item.c_str() + eq + 1, &tail, 10);
      if (tail != item.c_str() + eq + 1 && *tail == '\0') {
        if (key == name) return static_cast<int>(value);  // a named entry wins over "*"
        if (key == "*") result = static_cast<int>(value);
      }
    }
    start = end + 1;
  }
  return result;
}

// ---------------------------------------------------------------------------
// The repeat limit.

constexpr int64_t kWindowNanos = 1000000000;
constexpr size_t kSlots = 256;                     // a power of two
constexpr size_t kProbes = 8;                      // slots a format may take, from its hash on
constexpr size_t kSampleChars = 60;                // of a format, in its run's report
constexpr size_t kSampleBytes = kSampleChars + 4;  // and "..." when cut
constexpr size_t kReportBatch = 16;

// One format on one channel.
struct Slot {
  const Channel* channel = nullptr;  // null: free
  const void* format = nullptr;
  int64_t windowStart = 0;  // when the current window opened
  uint32_t lines = 0;       // lines written in the current window
  // Bytes written in the current window, and what earlier windows wrote over
  // their limit and has not been paid for by later ones.
  uint64_t bytes = 0;
  uint64_t suppressed = 0;         // lines not written since the last report
  int16_t level = 0;               // of the last line not written
  char sample[kSampleBytes] = {};  // the format's beginning, for the report
};

// A suppressed run, taken out of its slot to be written.
struct Report {
  const Channel* channel;
  int16_t level;
  uint64_t count;
  char sample[kSampleBytes];
};

int64_t monotonicNanos() {
  struct timespec now;
  // The coarse clock is read without a system call; its few milliseconds of
  // resolution are plenty for one-second windows.
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * kWindowNanos + now.tv_nsec;
}

struct Limiter {
  std::mutex mutex;  // guards slots
  Slot slots[kSlots];
  // Held while reports taken out of other threads' slots are written, so that
  // a channel's destructor waits until none names it any more.
  std::mutex reporting;
  std::atomic<uint32_t> lines{kRepeatLines};
  std::atomic<uint32_t> bytes{kRepeatBytes};
  std::atomic<int64_t (*)()> clock{&monotonicNanos};
  std::atomic<uint32_t> pending{0};  // slots with a run to report
  // When the first of those runs' windows ends (changed under the mutex).
  std::atomic<int64_t> nextSweep{INT64_MAX};
};

Limiter& limiter() {
  static Limiter* instance = new Limiter();  // never destroyed: channels outlive statics
  return *instance;
}

size_t slotIndex(const Channel* channel, const void* format) {
  uint64_t hash =
      static_cast<uint64_t>(reinterpret_cast<uintptr_t>(channel)) * 0x9E3779B97F4A7C15ull ^
      static_cast<uint64_t>(reinterpret_cast<uintptr_t>(format)) * 0xC2B2AE3D27D4EB4Full;
  hash ^= hash >> 29;
  return static_cast<size_t>(hash) & (kSlots - 1);
}

// The bytes a slot still owes after |windows| whole windows have passed.
uint64_t owedAfter(const Slot& slot, int64_t windows, uint32_t bytesLimit) {
  const uint64_t paid = static_cast<uint64_t>(windows) * bytesLimit;
  return bytesLimit == 0 || slot.bytes <= paid ? 0 : slot.bytes - paid;
}

// Takes the run of |slot| into |report|; the caller holds the mutex.
void takeRun(Limiter& lim, Slot& slot, Report* report) {
  report->channel = slot.channel;
  report->level = slot.level;
  report->count = slot.suppressed;
  std::memcpy(report->sample, slot.sample, kSampleBytes);
  slot.suppressed = 0;
  lim.pending.fetch_sub(1, std::memory_order_relaxed);
}

void writeReport(const Report& report) {
  char text[kSampleBytes + 64];
  std::snprintf(text, sizeof(text), "%llu similar lines suppressed: %s",
                static_cast<unsigned long long>(report.count), report.sample);
  g_sink.load(std::memory_order_acquire)->write(*report.channel, report.level, text);
}

// What admit() decided for one line.
struct Admission {
  bool write = true;
  bool hasReport = false;  // |report| is to be written before the line
  size_t slot = kSlots;    // where a logCV() line's bytes go; kSlots: nowhere
  Report report;
};

// Counts a line of |format| on |channel|, of |length| bytes when known (a
// logCV() line is charged once formatted: charge()).
void admit(const Channel& channel, const void* format, int16_t level, const char* sampleText,
           size_t length, bool lengthKnown, Admission* out) {
  Limiter& lim = limiter();
  const uint32_t linesLimit = lim.lines.load(std::memory_order_relaxed);
  const uint32_t bytesLimit = lim.bytes.load(std::memory_order_relaxed);
  if (linesLimit == 0 && bytesLimit == 0) return;
  const int64_t now = lim.clock.load(std::memory_order_relaxed)();
  const size_t home = slotIndex(&channel, format);
  std::lock_guard<std::mutex> lock(lim.mutex);
  Slot* found = nullptr;
  Slot* reusable = nullptr;
  for (size_t probe = 0; probe < kProbes && found == nullptr; ++probe) {
    Slot& slot = lim.slots[(home + probe) & (kSlots - 1)];
    if (slot.channel == &channel && slot.format == format) {
      found = &slot;
    } else if (reusable == nullptr) {
      const int64_t quiet = (now - slot.windowStart) / kWindowNanos;
      if (slot.channel == nullptr ||
          (quiet >= 1 && slot.suppressed == 0 && owedAfter(slot, quiet, bytesLimit) == 0))
        reusable = &slot;
    }
  }
  if (found == nullptr) {
    if (reusable == nullptr) return;  // no room: written without limit
    found = reusable;
    *found = Slot();
    found->channel = &channel;
    found->format = format;
    found->windowStart = now;
    const size_t sampleLength = strnlen(sampleText, kSampleChars + 1);
    std::memcpy(found->sample, sampleText, std::min(sampleLength, kSampleChars));
    if (sampleLength > kSampleChars) std::memcpy(found->sample + kSampleChars, "...", 4);
  }
  Slot& slot = *found;
  const int64_t windows = (now - slot.windowStart) / kWindowNanos;
  if (windows >= 1) {
    // A new window opens with this line; a run of the old one is reported.
    slot.bytes = owedAfter(slot, windows, bytesLimit);
    slot.lines = 0;
    slot.windowStart = now;
    if (slot.suppressed != 0) {
      takeRun(lim, slot, &out->report);
      out->hasReport = true;
    }
  }
  if ((linesLimit != 0 && slot.lines >= linesLimit) ||
      (bytesLimit != 0 && slot.bytes >= bytesLimit)) {
    if (slot.suppressed++ == 0) {
      lim.pending.fetch_add(1, std::memory_order_relaxed);
      const int64_t due = slot.windowStart + kWindowNanos;
      if (due < lim.nextSweep.load(std::memory_order_relaxed))
        lim.nextSweep.store(due, std::memory_order_relaxed);
    }
    slot.level = level;
    out->write = false;
    return;
  }
  ++slot.lines;
  if (lengthKnown)
    slot.bytes += length;
  else
    out->slot = static_cast<size_t>(found - lim.slots);
}

// Adds the |length| bytes of an admitted logCV() line to its format.
void charge(const Channel& channel, const void* format, size_t slotIndex, size_t length) {
  if (slotIndex >= kSlots) return;
  Limiter& lim = limiter();
  std::lock_guard<std::mutex> lock(lim.mutex);
  Slot& slot = lim.slots[slotIndex];
  if (slot.channel == &channel && slot.format == format) slot.bytes += length;
}

// When the first window of a run still to report ends; the caller holds
// the mutex.
void scheduleSweep(Limiter& lim) {
  int64_t due = INT64_MAX;
  for (const Slot& slot : lim.slots)
    if (slot.channel != nullptr && slot.suppressed != 0)
      due = std::min(due, slot.windowStart + kWindowNanos);
  lim.nextSweep.store(due, std::memory_order_relaxed);
}

// Writes the runs of the slots that |select| picks, then lets |after| change
// the table, under the mutex, once none is left to report. Runs are taken
// out a batch at a time and written without the mutex held. Unless |wait|,
// does nothing while another thread is writing runs.
template <class Select, class After>
void drain(bool wait, Select select, After after) {
  Limiter& lim = limiter();
  std::unique_lock<std::mutex> reporting(lim.reporting, std::defer_lock);
  if (wait)
    reporting.lock();
  else if (!reporting.try_lock())
    return;
  for (;;) {
    Report reports[kReportBatch];
    size_t count = 0;
    bool done = true;
    {
      std::lock_guard<std::mutex> lock(lim.mutex);
      for (Slot& slot : lim.slots) {
        if (slot.channel == nullptr || slot.suppressed == 0 || !select(slot)) continue;
        if (count == kReportBatch) {
          done = false;
          break;
        }
        takeRun(lim, slot, &reports[count++]);
      }
      if (done) {
        after(lim);
        scheduleSweep(lim);
      }
    }
    for (size_t i = 0; i < count; ++i) writeReport(reports[i]);
    if (done) return;
  }
}

// Reports, after a line is written, the runs whose window has ended and
// whose format has not come back since to report its own. Never waits: when
// another thread is writing runs, a later line does it.
void sweep() {
  Limiter& lim = limiter();
  if (lim.pending.load(std::memory_order_relaxed) == 0) return;
  const int64_t now = lim.clock.load(std::memory_order_relaxed)();
  if (now < lim.nextSweep.load(std::memory_order_relaxed)) return;
  drain(
      false, [now](const Slot& slot) { return now - slot.windowStart >= kWindowNanos; },
      [](Limiter&) {});
}

}  // namespace

void setRepeatLimit(uint32_t lines, uint32_t bytes) {
  drain(
      true, [](const Slot&) { return true; },
      [lines, bytes](Limiter& lim) {
        for (Slot& slot : lim.slots) slot = Slot();
        lim.lines.store(lines, std::memory_order_relaxed);
        lim.bytes.store(bytes, std::memory_order_relaxed);
      });
}

void flushSuppressed() {
  drain(
      true, [](const Slot&) { return true; }, [](Limiter&) {});
}

void setRepeatClock(int64_t (*nanoseconds)()) {
  limiter().clock.store(nanoseconds != nullptr ? nanoseconds : &monotonicNanos,
                        std::memory_order_relaxed);
}

Channel::Channel(const char* name, int16_t maxLevel, uint32_t defaultLevel)
    : m_name(name), m_maxLevel(maxLevel), m_level(static_cast<int16_t>(defaultLevel)) {
  int fromEnv = levelFromEnvironment(name);
  if (fromEnv >= 0) setLevel(static_cast<int16_t>(fromEnv));
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.channels.push_back(this);
}

Channel::~Channel() {
  // The channel's runs are reported while it still exists, and its slots
  // freed for a channel that may come at the same address.
  drain(
      true, [this](const Slot& slot) { return slot.channel == this; },
      [this](Limiter& lim) {
        for (Slot& slot : lim.slots)
          if (slot.channel == this) slot = Slot();
      });
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  for (auto it = reg.channels.begin(); it != reg.channels.end(); ++it) {
    if (*it == this) {
      reg.channels.erase(it);
      break;
    }
  }
}

void Channel::setLevel(int16_t level) {
  if (level < 1) level = 1;
  if (level > m_maxLevel) level = static_cast<int16_t>(m_maxLevel + 1);
  m_level.store(level, std::memory_order_relaxed);
}

void Channel::logC(int16_t level, const char* text) const {
  if (!isEnabled(level)) return;
  if (text == nullptr) text = "";
  Admission admission;
  admit(*this, text, level, text, std::strlen(text), true, &admission);
  if (admission.hasReport) writeReport(admission.report);
  if (!admission.write) return;
  g_sink.load(std::memory_order_acquire)->write(*this, level, text);
  sweep();
}

void Channel::logCV(int16_t level, const char* format, ...) const {
  if (!isEnabled(level)) return;
  // Counted before it is formatted: a line that is not written costs no
  // formatting.
  Admission admission;
  admit(*this, format, level, format, 0, false, &admission);
  if (admission.hasReport) writeReport(admission.report);
  if (!admission.write) return;
  // Most messages fit the stack buffer; a longer one (a rejected locator
  // can be as long as a request message) is formatted again, whole, on the
  // heap. Memory running short then cuts it to the stack buffer's length.
  char text[1024];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  std::unique_ptr<char[]> whole;
  if (length >= static_cast<int>(sizeof(text))) {
    whole.reset(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
    if (whole != nullptr)
      std::vsnprintf(whole.get(), static_cast<size_t>(length) + 1, format, again);
  }
  va_end(again);
  charge(*this, format, admission.slot, length > 0 ? static_cast<size_t>(length) : 0);
  g_sink.load(std::memory_order_acquire)
      ->write(*this, level, whole != nullptr ? whole.get() : text);
  sweep();
}

bool isJournalStream(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  struct stat status;
  return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
         fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

Sink* setSink(Sink* sink) {
  flushSuppressed();  // into the sink that saw the lines before them
  Sink* previous = g_sink.exchange(sink != nullptr ? sink : &g_stderr.sink);
  return previous == &g_stderr.sink ? nullptr : previous;
}

void setAllLevels(int16_t level) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  for (Channel* channel : reg.channels) channel->setLevel(level);
}

bool setLevel(const char* name, int16_t level) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  bool found = false;
  for (Channel* channel : reg.channels) {
    if (std::strcmp(channel->name(), name) == 0) {
      channel->setLevel(level);
      found = true;
    }
  }
  return found;
}

}  // namespace tracing
