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

  // A fixed text.
  void logC(int16_t level, const char* text) const;
  // A printf-style format; the text is written whole, however long.
  void logCV(int16_t level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  // A prebuilt string (same as logC; kept for callers that build their text).
  void log(int16_t level, const char* text) const { logC(level, text); }

 private:
  const char* m_name;
  int16_t m_maxLevel;
  std::atomic<int16_t> m_level;
};

// Installs |sink| (null restores the stderr sink); returns the previous one,
// or null when it was the stderr sink. The sink must outlive its installation.
Sink* setSink(Sink* sink);

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
