// Tracing: named channels with a severity threshold.
//
// Levels rise with severity: 1 routine progress, 2 notable events, 3 rejected
// input and recoverable problems, 4 failures. A channel writes a message of
// level L only when L >= its current level; the test is inline and comes
// before any argument is evaluated, so callers write
//   TRACE(channel, 3, "rejected %s: %s", path.c_str(), expensive());
// and a fixed text as channel.logC(3, "...").
//
// Output goes to the installed Sink; the default sink writes one line per
// message to stderr: "<UTC time> <channel> [<level>] <text>".
//
// Operators set levels with the environment variable TRACE_LEVELS, read when a
// channel is constructed: a comma-separated list of "<channel>=<level>" items,
// where "*" names every channel, e.g. "*=3,IMS_Worker=1". Hosts may also call
// Channel::setLevel() or tracing::setAllLevels().
//
// Repeats are limited. A client can make the library write the same message
// as often as it likes (one line per refused locator, per unsupported
// attribute id), so every message format is limited on each channel: within a
// window of one second that opens with a line of the format, at most
// kRepeatLines lines and kRepeatBytes bytes of text of it are written (the
// line that crosses the byte limit is written whole). The rest are counted,
// not written. A format is the printf format of logCV() (and TRACE), the text
// pointer of logC(); formats are told apart by address, not by content. A
// format whose bytes ran over the limit stays silent until the windows since
// have paid for them, so that a few very long lines cannot pass the limit.
// The first line of every format is always written, and the texts are never
// changed. A suppressed run is reported as one line of its own, on the
// channel and at the level of the suppressed lines:
//   "<count> similar lines suppressed: <the format's first 60 bytes>"
// and it is reported
//   - before the next line of its format once its window has ended (so that a
//     flood shows as up to kRepeatLines lines and one report a second),
//   - otherwise after the next line of any other format written once its
//     window has ended,
//   - otherwise when its channel is destroyed (the library's channels: when
//     the library is unloaded or the process exits normally), when the sink
//     is replaced, or when the host calls flushSuppressed() or
//     setRepeatLimit().
// A process that ends without running its destructors (_exit, a crash) loses
// the counts of runs not reported yet.
//
// The bookkeeping is a fixed table of 256 formats, entered as formats are
// used and reused once a format has been quiet for a window: a format that
// finds no room in it is written without limit. The check takes one mutex
// briefly and reads a coarse monotonic clock; a suppressed logCV() line is
// never formatted. A message below its channel's level is stopped by the
// inline level test and never reaches the limit.
#ifndef PLATFORM_TRACING_H_
#define PLATFORM_TRACING_H_

#include <atomic>
#include <cstdint>

namespace tracing {

class Channel;

// Receives every message that passes a channel's level. Must be thread-safe.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Channel& channel, int16_t level, const char* text) = 0;
};

class Channel {
 public:
  // |maxLevel| is the highest level a message can have on this channel; a
  // channel set above it is silent. |defaultLevel| is the current level when
  // TRACE_LEVELS names no level for this channel. The library's channels are
  // built with (name, 7, 2): routine progress (level 1) is silent, levels 2
  // and above are written, and levels up to 7 can be set (5 to 7 silence the
  // channel completely). The channel registers itself so that setAllLevels()
  // and TRACE_LEVELS reach it; it unregisters on destruction. |name| must
  // outlive the channel (a string literal).
  Channel(const char* name, int16_t maxLevel, uint32_t defaultLevel);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  const char* name() const { return m_name; }
  int16_t level() const { return m_level.load(std::memory_order_relaxed); }
  // Values below 1 are taken as 1, values above the channel's maximum as the
  // maximum plus one (silent).
  void setLevel(int16_t level);

  bool isEnabled(int16_t level) const { return level >= this->level() && level <= m_maxLevel; }

  // A fixed text. Its pointer keys the repeat limit: a text built at run
  // time in a buffer of its own is best written with logCV("%s", text).
  void logC(int16_t level, const char* text) const;
  // A printf-style format; the text is written whole, however long.
  void logCV(int16_t level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

 private:
  const char* m_name;
  int16_t m_maxLevel;
  std::atomic<int16_t> m_level;
};

// Installs |sink| (null restores the stderr sink); returns the previous one,
// or null when it was the stderr sink. The sink must outlive its installation.
// The runs suppressed so far are reported to the outgoing sink first. A sink
// must not write to a channel itself.
Sink* setSink(Sink* sink);

// True when |fd| is a stream of the journal: JOURNAL_STREAM, which the
// service manager sets, names its device and inode. Lines written there
// start with their syslog priority and carry no time of their own.
bool isJournalStream(int fd);

// The default repeat limit per format and channel, per second.
constexpr uint32_t kRepeatLines = 100;
constexpr uint32_t kRepeatBytes = 32 * 1024;

// Sets the repeat limit: at most |lines| lines and |bytes| bytes of text of
// one format per channel and second; 0 lifts that part of the limit, and
// (0, 0) turns repeat limiting off. Every format starts afresh: the runs
// suppressed so far are reported first. Thread-safe; for hosts and tests.
void setRepeatLimit(uint32_t lines, uint32_t bytes);

// Reports every run suppressed so far, now. Thread-safe.
void flushSuppressed();

// The repeat limit's clock: nanoseconds on a monotonic scale. Null restores
// the system's monotonic clock. For tests, which step time instead of
// sleeping; set it while nothing logs.
void setRepeatClock(int64_t (*nanoseconds)());

// Sets the level of every existing channel.
void setAllLevels(int16_t level);

// Sets the level of the channel called |name|; false when there is none.
bool setLevel(const char* name, int16_t level);

}  // namespace tracing

// Writes a printf-style message on |channel| at |level| when the level
// passes; the format's arguments are evaluated only then.
#define TRACE(channel, level, ...)                                                 \
  do {                                                                             \
    const ::tracing::Channel& traceChannel_ = (channel);                           \
    if (traceChannel_.isEnabled(level)) traceChannel_.logCV((level), __VA_ARGS__); \
  } while (0)

#endif  // PLATFORM_TRACING_H_
