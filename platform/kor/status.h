// kor::Status: how a fallible call inside the platform and the client library
// says how it went.
//
// The rule:
// - A call that can fail returns a Status (or takes a Status* beside a value
//   it returns). Status is [[nodiscard]]: a caller handles it, passes it up,
//   or discards it on purpose with a cast to void and a comment.
// - A Status is ok, or carries a Code that callers branch on and a message
//   for people (logs, a client's error text). Code decides; the message is
//   never parsed.
// - Where a call's result convention is fixed by the service's platform
//   interface (bool or null with the reason in kor::ErrorStorage, the integer
//   results of registerService and getNotifiedProxies), the Status is turned
//   into that convention once, at that boundary, with toErrorStorage(); code
//   behind such a call reads a failure back with ErrorStorage::takeStatus().
// - Broken invariants are not statuses: they go to GlobalErrorHandler.
//
// This header uses nothing but the C and C++ libraries, so the installed
// client header can include it.
#ifndef PLATFORM_KOR_STATUS_H_
#define PLATFORM_KOR_STATUS_H_

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace kor {

class [[nodiscard]] Status {
 public:
  enum Code : uint8_t {
    kOk = 0,
    kFailed,            // no finer code applies
    kInvalidArgument,   // the caller asked for what this call does not do
    kNotFound,          // a file, folder, service or segment that is not there
    kPermissionDenied,  // refused by the system, or not trusted
    kNoMemory,          // an allocation failed
    kIo,                // a system call failed for another reason
    kLimit,             // a bound of the system was reached (size, count, queue)
    kProtocol,          // a peer's message or a file's structure breaks its protocol
    kClosed,            // the connection or the process at the other end is gone
    kCancelled,         // the work was cancelled
    kTimedOut,          // the work ran past its deadline
    kUnsupported,       // not a kind of file or request this build handles
    kCorrupt,           // data that breaks its format (damaged or truncated image)
  };
  // The highest code: whatever enumerator is last above.
  static constexpr Code kLastCode = kCorrupt;

  Status() = default;  // ok; holds no text, so making one never allocates

  // A failure with |code| and a message made from |format| as by printf.
  [[gnu::format(printf, 2, 3)]] static Status error(Code code, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    Status status = make(code, 0, format, args);
    va_end(args);
    return status;
  }
  // A failed system call: the code follows |errnum| (ENOENT is kNotFound,
  // EACCES and EPERM kPermissionDenied, ENOMEM kNoMemory, EPIPE and
  // ECONNRESET kClosed, ETIMEDOUT kTimedOut, else kIo) and the message reads
  // "<format...>: <strerror(errnum)>".
  [[gnu::format(printf, 2, 3)]] static Status fromErrno(int errnum, const char* format,
                                                        ...) noexcept {
    va_list args;
    va_start(args, format);
    Status status = make(codeOfErrno(errnum), errnum, format, args);
    va_end(args);
    return status;
  }

  bool ok() const { return m_code == kOk; }
  Code code() const { return m_code; }
  // "" when ok.
  const char* message() const { return m_message.c_str(); }
  // The errno of a failed system call, or 0.
  int sysError() const { return m_errno; }

  static Code codeOfErrno(int errnum) {
    switch (errnum) {
      case ENOENT:
        return kNotFound;
      case EACCES:
      case EPERM:
        return kPermissionDenied;
      case ENOMEM:
        return kNoMemory;
      case EPIPE:
      case ECONNRESET:
        return kClosed;
      case ETIMEDOUT:
        return kTimedOut;
      default:
        return kIo;
    }
  }

 private:
  static Status make(Code code, int errnum, const char* format, va_list args) noexcept {
    char text[512];
    int length = std::vsnprintf(text, sizeof(text), format, args);
    if (length >= 0 && errnum != 0 && static_cast<size_t>(length) < sizeof(text)) {
      std::snprintf(text + length, sizeof(text) - length, ": %s", std::strerror(errnum));
    }
    Status status;
    status.m_code = code == kOk ? kFailed : code;
    status.m_errno = errnum;
    try {
      status.m_message = text[0] != '\0' ? text : "failed";
    } catch (...) {
      status.m_message = "out of memory";  // short enough to need no allocation
    }
    return status;
  }

  std::string m_message;
  int m_errno = 0;
  Code m_code = kOk;
};

}  // namespace kor

#endif  // PLATFORM_KOR_STATUS_H_
