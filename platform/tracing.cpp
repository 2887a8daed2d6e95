#include "platform/tracing.h"

#include <sys/time.h>

#include <cstdarg>
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

class StderrSink : public Sink {
 public:
  void write(const Channel& channel, int16_t level, const char* text) override {
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

StderrSink g_stderrSink;
std::atomic<Sink*> g_sink{&g_stderrSink};

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

}  // namespace

Channel::Channel(const char* name, int16_t maxLevel, uint32_t defaultLevel)
    : m_name(name), m_maxLevel(maxLevel), m_level(static_cast<int16_t>(defaultLevel)) {
  int fromEnv = levelFromEnvironment(name);
  if (fromEnv >= 0) setLevel(static_cast<int16_t>(fromEnv));
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.channels.push_back(this);
}

Channel::~Channel() {
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
  g_sink.load(std::memory_order_acquire)->write(*this, level, text != nullptr ? text : "");
}

void Channel::logCV(int16_t level, const char* format, ...) const {
  if (!isEnabled(level)) return;
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
  g_sink.load(std::memory_order_acquire)
      ->write(*this, level, whole != nullptr ? whole.get() : text);
}

Sink* setSink(Sink* sink) {
  Sink* previous = g_sink.exchange(sink != nullptr ? sink : &g_stderrSink);
  return previous == &g_stderrSink ? nullptr : previous;
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
