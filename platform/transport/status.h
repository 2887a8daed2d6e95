// How the transport's fallible steps say how they went.
#ifndef PLATFORM_TRANSPORT_STATUS_H_
#define PLATFORM_TRANSPORT_STATUS_H_

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/kor.h"

namespace comm {

// Ok, or failed with a short reason for a trace, a close reason or the
// caller's error text. An ok status holds no text, so making and passing one
// costs no allocation; making a failure never throws (when memory is too
// short for its text, the reason reads "out of memory").
class [[nodiscard]] Status {
 public:
  Status() = default;  // ok
  // A failure whose reason is |format| filled in as by printf.
  [[gnu::format(printf, 1, 2)]] static Status failure(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    Status status = make(0, format, args);
    va_end(args);
    return status;
  }
  // A system call that failed with |error|: "<reason>: <strerror(error)>".
  [[gnu::format(printf, 2, 3)]] static Status fromErrno(int error, const char* format,
                                                        ...) noexcept {
    va_list args;
    va_start(args, format);
    Status status = make(error, format, args);
    va_end(args);
    return status;
  }

  bool ok() const { return m_reason.empty(); }
  const char* reason() const { return m_reason.c_str(); }
  // The errno of the failed system call, or 0.
  int error() const { return m_error; }

 private:
  static Status make(int error, const char* format, va_list args) noexcept {
    char text[512];
    int length = std::vsnprintf(text, sizeof(text), format, args);
    if (length >= 0 && error != 0 && static_cast<size_t>(length) < sizeof(text))
      std::snprintf(text + length, sizeof(text) - length, ": %s", std::strerror(error));
    Status status;
    status.m_error = error;
    try {
      status.m_reason = text[0] != '\0' ? text : "failed";
    } catch (...) {
      status.m_reason = "out of memory";  // short enough to need no allocation
    }
    return status;
  }

  std::string m_reason;
  int m_error = 0;
};

// For the public functions whose callers read kor::ErrorStorage: true when
// |status| is ok, else its reason is left there and the answer is false.
inline bool toErrorStorage(const Status& status) {
  if (!status.ok()) kor::ErrorStorage::set("%s", status.reason());
  return status.ok();
}

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_STATUS_H_
