#include "platform/kor.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kor {

// ---------------------------------------------------------------------------
// Fault injection.

namespace {

struct ArmedSite {
  std::string site;
  int skip;
  int count;
};

std::atomic<bool> g_anyArmed{false};
std::mutex g_armedMutex;
std::vector<ArmedSite>* g_armed = nullptr;  // Guarded by g_armedMutex.

}  // namespace

namespace testing {

void failAllocations(const char* site, int count, int skip) {
  std::lock_guard<std::mutex> lock(g_armedMutex);
  if (g_armed == nullptr) g_armed = new std::vector<ArmedSite>();
  g_armed->push_back({site, skip, count});
  g_anyArmed.store(true, std::memory_order_release);
}

void resetAllocationFailures() {
  std::lock_guard<std::mutex> lock(g_armedMutex);
  if (g_armed != nullptr) g_armed->clear();
  g_anyArmed.store(false, std::memory_order_release);
}

}  // namespace testing

bool allocationShouldFail(const char* site) {
  if (!g_anyArmed.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(g_armedMutex);
  if (g_armed == nullptr) return false;
  for (auto it = g_armed->begin(); it != g_armed->end(); ++it) {
    if (it->site != site) continue;
    if (it->skip > 0) {
      --it->skip;
      return false;
    }
    if (--it->count <= 0) g_armed->erase(it);
    if (g_armed->empty()) g_anyArmed.store(false, std::memory_order_release);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Cancellation.

namespace {

thread_local CancellationScope* t_cancellation = nullptr;

}  // namespace

CancellationScope::CancellationScope(std::function<bool()> isCancelled)
    : m_isCancelled(std::move(isCancelled)), m_previous(t_cancellation) {
  t_cancellation = this;
}

CancellationScope::~CancellationScope() { t_cancellation = m_previous; }

bool isCancelled() {
  for (CancellationScope* scope = t_cancellation; scope != nullptr; scope = scope->m_previous)
    if (scope->m_isCancelled && scope->m_isCancelled()) return true;
  return false;
}

// ---------------------------------------------------------------------------
// GlobalErrorHandler.

namespace {

GlobalErrorHandler g_defaultHandler;
std::atomic<GlobalErrorHandler*> g_handler{&g_defaultHandler};

GlobalErrorHandler& handler() { return *g_handler.load(std::memory_order_acquire); }

}  // namespace

void GlobalErrorHandler::onAssert(const char* condition, const char* function) {
  std::fprintf(stderr, "assertion failed: %s in %s\n", condition, function);
}

void GlobalErrorHandler::onWarning(const char* text) {
  std::fprintf(stderr, "warning: %s\n", text);
}

void GlobalErrorHandler::onOutOfMem(const char* what) {
  std::fprintf(stderr, "out of memory: %s\n", what);
}

void GlobalErrorHandler::onAbort(const char* text) {
  std::fprintf(stderr, "abort: %s\n", text);
  std::abort();
}

void GlobalErrorHandler::onError(const char* type, int32_t code, const char* text) {
  std::fprintf(stderr, "error (%s, %d): %s\n", type, code, text);
}

void GlobalErrorHandler::onFatal(const char* text, const char* file, int line) {
  std::fprintf(stderr, "fatal: %s (%s:%d)\n", text, file, line);
}

void GlobalErrorHandler::doAssert(const char* condition, const char* function) {
  handler().onAssert(condition, function);
}
void GlobalErrorHandler::doWarning(const char* text) { handler().onWarning(text); }
void GlobalErrorHandler::doOutOfMem(const char* what) { handler().onOutOfMem(what); }
void GlobalErrorHandler::doAbort(const char* text) { handler().onAbort(text); }
void GlobalErrorHandler::doError(const char* type, int32_t code, const char* text) {
  handler().onError(type, code, text);
}
void GlobalErrorHandler::doFatal(const char* text, const char* file, int line) {
  handler().onFatal(text, file, line);
}

GlobalErrorHandler* GlobalErrorHandler::install(GlobalErrorHandler* replacement) {
  GlobalErrorHandler* previous =
      g_handler.exchange(replacement != nullptr ? replacement : &g_defaultHandler);
  return previous == &g_defaultHandler ? nullptr : previous;
}

// ---------------------------------------------------------------------------
// ErrorStorage.

namespace {

// A fixed buffer, so that recording an error never allocates.
struct PendingError {
  Status::Code code = Status::kOk;
  char text[512] = {0};
};

thread_local PendingError t_error;

}  // namespace

void ErrorStorage::set(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(t_error.text, sizeof(t_error.text), format, args);
  va_end(args);
  t_error.code = Status::kFailed;
}

void ErrorStorage::setErrno(const char* prefix, int errnum) {
  char buf[128];
  const char* text = strerror_r(errnum, buf, sizeof(buf));
  std::snprintf(t_error.text, sizeof(t_error.text), "%s: %s", prefix, text);
  t_error.code = Status::codeOfErrno(errnum);
}

void ErrorStorage::set(const Status& status) {
  if (status.ok()) {
    ack();
    return;
  }
  std::snprintf(t_error.text, sizeof(t_error.text), "%s", status.message());
  t_error.code = status.code();
}

bool ErrorStorage::pending() { return t_error.code != Status::kOk; }

const char* ErrorStorage::reason() { return pending() ? t_error.text : ""; }

Status::Code ErrorStorage::code() { return t_error.code; }

Status ErrorStorage::takeStatus() {
  if (!pending()) return Status();
  Status status = Status::error(t_error.code, "%s", t_error.text);
  ack();
  return status;
}

void ErrorStorage::ack() {
  t_error.code = Status::kOk;
  t_error.text[0] = '\0';
}

void ErrorOutput::report(const ErrorType& type, int32_t code, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  GlobalErrorHandler::doError(type.name, code, text);
}

// ---------------------------------------------------------------------------
// UUID.

UUID::UUID() { std::memset(m_bytes, 0, sizeof(m_bytes)); }

UUID::UUID(uint32_t timeLow, uint32_t timeMid, uint32_t timeHiAndVersion, uint16_t clockSeq,
           uint8_t node0, uint8_t node1, uint8_t node2, uint8_t node3, uint8_t node4,
           uint8_t node5) {
  m_bytes[0] = static_cast<uint8_t>(timeLow >> 24);
  m_bytes[1] = static_cast<uint8_t>(timeLow >> 16);
  m_bytes[2] = static_cast<uint8_t>(timeLow >> 8);
  m_bytes[3] = static_cast<uint8_t>(timeLow);
  m_bytes[4] = static_cast<uint8_t>(timeMid >> 8);
  m_bytes[5] = static_cast<uint8_t>(timeMid);
  m_bytes[6] = static_cast<uint8_t>(timeHiAndVersion >> 8);
  m_bytes[7] = static_cast<uint8_t>(timeHiAndVersion);
  m_bytes[8] = static_cast<uint8_t>(clockSeq >> 8);
  m_bytes[9] = static_cast<uint8_t>(clockSeq);
  m_bytes[10] = node0;
  m_bytes[11] = node1;
  m_bytes[12] = node2;
  m_bytes[13] = node3;
  m_bytes[14] = node4;
  m_bytes[15] = node5;
}

std::string UUID::toString() const {
  char text[37];
  std::snprintf(text, sizeof(text),
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", m_bytes[0],
                m_bytes[1], m_bytes[2], m_bytes[3], m_bytes[4], m_bytes[5], m_bytes[6], m_bytes[7],
                m_bytes[8], m_bytes[9], m_bytes[10], m_bytes[11], m_bytes[12], m_bytes[13],
                m_bytes[14], m_bytes[15]);
  return text;
}

bool UUID::operator==(const UUID& other) const {
  return std::memcmp(m_bytes, other.m_bytes, sizeof(m_bytes)) == 0;
}

}  // namespace kor
