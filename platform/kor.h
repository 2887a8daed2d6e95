// Base library: containers, UUIDs, per-thread error storage and the global
// error handler.
//
// Nothing in this header throws. Allocation failures are reported through
// GlobalErrorHandler (containers) or as null/false results (everything else).
#ifndef PLATFORM_KOR_H_
#define PLATFORM_KOR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/kor/status.h"

namespace kor {

// ---------------------------------------------------------------------------
// Allocation with fault injection.
//
// Every allocation whose failure the system handles goes through tryNew()
// with a site name, so that tests can make exactly that allocation fail.
// Site names in use: "list_node", "CIPtr", "CIString", "CIInt8Array",
// "CIUInt32Array", "CIPtrArray", "Image", "ImageInformation",
// "ServiceRegistration", "lumo::Bitmap", "lumo::BitmapInfo", "job".

namespace testing {
// Makes the next |count| allocations at |site| fail (after letting |skip|
// succeed). Thread-safe. The armed state is process-wide.
void failAllocations(const char* site, int count = 1, int skip = 0);
// Disarms every site.
void resetAllocationFailures();
}  // namespace testing

// True if an armed fault says the next allocation at |site| must fail; the
// fault is consumed. Cheap when nothing is armed.
bool allocationShouldFail(const char* site);

// new (std::nothrow) T(args...), or null when |site| is armed to fail.
template <class T, class... Args>
T* tryNew(const char* site, Args&&... args) {
  if (allocationShouldFail(site)) return nullptr;
  return new (std::nothrow) T(std::forward<Args>(args)...);
}

// ---------------------------------------------------------------------------
// GlobalErrorHandler: where broken invariants and framework errors go.
//
// The default handler prints one line per report to stderr; doAbort() then
// aborts the process. A test may install its own handler to count and inspect
// every call. install() and the do*() functions are thread-safe; the handler
// object must outlive its installation.
class GlobalErrorHandler {
 public:
  virtual ~GlobalErrorHandler() = default;

  // A container or glue invariant failed: |condition| is the text of the
  // condition that should have held, |function| where it failed.
  virtual void onAssert(const char* condition, const char* function);
  virtual void onWarning(const char* text);
  virtual void onOutOfMem(const char* what);
  // The default prints and aborts; a replacement may return.
  virtual void onAbort(const char* text);
  // An error of a named type with a numeric code (see ErrorOutput).
  virtual void onError(const char* type, int32_t code, const char* text);
  // A fatal framework error (see comm::error::fatal). The caller goes on
  // after it returns.
  virtual void onFatal(const char* text, const char* file, int line);

  static void doAssert(const char* condition, const char* function);
  static void doWarning(const char* text);
  static void doOutOfMem(const char* what);
  static void doAbort(const char* text);
  static void doError(const char* type, int32_t code, const char* text);
  static void doFatal(const char* text, const char* file, int line);

  // Installs |handler| (null restores the default); returns the previous one.
  static GlobalErrorHandler* install(GlobalErrorHandler* handler);
};

// ---------------------------------------------------------------------------
// ErrorStorage: one pending error per thread.
//
// A platform operation whose result convention is a bool or a pointer leaves
// its failure here; the code that meets the failure reads reason() when it
// logs and always calls ack(). A new set() replaces a pending error. All
// functions act on the calling thread's storage only, and none allocates.
class ErrorStorage {
 public:
  // A failure with code kFailed.
  static void set(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // Sets "<prefix>: <strerror(errnum)>", coded as Status::fromErrno codes it.
  static void setErrno(const char* prefix, int errnum);
  // Records |status|; an ok status clears the storage.
  static void set(const Status& status);
  static bool pending();
  // The pending reason, or "" when none. Valid until the next set() or ack()
  // on this thread.
  static const char* reason();
  // The pending failure's code, or kOk when none.
  static Status::Code code();
  // The pending failure as a Status (ok when none; the errno of a system call
  // is not kept), acknowledged.
  static Status takeStatus();
  static void ack();
};

// For the calls whose convention is a bool with the reason in ErrorStorage:
// true when |status| is ok, else it is recorded and the answer is false.
inline bool toErrorStorage(const Status& status) {
  if (!status.ok()) ErrorStorage::set(status);
  return status.ok();
}

// ---------------------------------------------------------------------------
// Cancellation of long work on the calling thread.
//
// Code that can run for long (a decode) asks isCancelled() now and then and,
// when it answers true, stops and fails. Whoever starts such work on a thread
// says what cancels it with a CancellationScope around it. Scopes nest: an
// inner scope adds its condition to those of the scopes around it, and its
// end restores the one before.
class CancellationScope {
 public:
  // |isCancelled| is called on this thread by every isCancelled() while the
  // scope lives; keep it cheap (an atomic load or two). An empty function
  // never cancels.
  explicit CancellationScope(std::function<bool()> isCancelled);
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  friend bool isCancelled();
  std::function<bool()> m_isCancelled;
  CancellationScope* const m_previous;
};

// True when a CancellationScope of this thread says its work is cancelled;
// false when there is none.
bool isCancelled();

// An error type for ErrorOutput, e.g. comm::Error.
struct ErrorType {
  const char* name;
};

// Reports an error of |type| with a numeric |code| and a printf-style text
// to the global error handler (onError). Thread-safe.
class ErrorOutput {
 public:
  static void report(const ErrorType& type, int32_t code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
};

// ---------------------------------------------------------------------------
// UUID: 128 bits in RFC 4122 field order.
class UUID {
 public:
  UUID();  // the nil UUID
  // From the RFC 4122 fields. |timeMid| and |timeHiAndVersion| carry 16 bits
  // each; higher bits are ignored.
  UUID(uint32_t timeLow, uint32_t timeMid, uint32_t timeHiAndVersion, uint16_t clockSeq,
       uint8_t node0, uint8_t node1, uint8_t node2, uint8_t node3, uint8_t node4, uint8_t node5);

  // Lower-case 8-4-4-4-12 form, e.g. "8d042df8-ec1b-43d0-a72b-371a030c1d6f".
  std::string toString() const;
  const uint8_t* bytes() const { return m_bytes; }

  bool operator==(const UUID& other) const;
  bool operator!=(const UUID& other) const { return !(*this == other); }

 private:
  uint8_t m_bytes[16];
};

// ---------------------------------------------------------------------------
// vector: a growable array that reports allocation failure to the error
// handler (onOutOfMem) instead of throwing. Not thread-safe.
template <class T>
class vector {
 public:
  vector() = default;

  uint32_t size() const { return static_cast<uint32_t>(m_items.size()); }
  bool empty() const { return m_items.empty(); }
  T& operator[](uint32_t i) { return m_items[i]; }
  const T& operator[](uint32_t i) const { return m_items[i]; }

  // Appends a copy of |value|; false (and onOutOfMem) when memory is short.
  bool push_back(const T& value) {
    try {
      m_items.push_back(value);
      return true;
    } catch (...) {
      GlobalErrorHandler::doOutOfMem("kor::vector::push_back");
      return false;
    }
  }
  // Removes every element and releases the storage.
  void clear() { std::vector<T>().swap(m_items); }

  typename std::vector<T>::iterator begin() { return m_items.begin(); }
  typename std::vector<T>::iterator end() { return m_items.end(); }
  typename std::vector<T>::const_iterator begin() const { return m_items.begin(); }
  typename std::vector<T>::const_iterator end() const { return m_items.end(); }

 private:
  std::vector<T> m_items;
};

// ---------------------------------------------------------------------------
// List: a doubly linked list with one heap node per element. A node that
// cannot be allocated is reported through GlobalErrorHandler::doAssert with
// "new_node" in "insert" and the element is not linked. Not thread-safe.
template <class T>
class List {
 public:
  List() = default;
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  // Releases the remaining nodes; the elements themselves are only destroyed
  // as values (pointers are not followed).
  ~List() { clear(); }

  bool empty() const { return m_head == nullptr; }

  // Counts the elements by walking the list.
  uint32_t count() const {
    uint32_t n = 0;
    for (Node* node = m_head; node != nullptr; node = node->next) ++n;
    return n;
  }

  // Appends |value| at the back. False when no node could be allocated.
  bool insert(const T& value) {
    Node* new_node = tryNew<Node>("list_node");
    if (new_node == nullptr) {
      GlobalErrorHandler::doAssert("new_node", "insert");
      return false;
    }
    new_node->value = value;
    new_node->prev = m_tail;
    if (m_tail != nullptr)
      m_tail->next = new_node;
    else
      m_head = new_node;
    m_tail = new_node;
    return true;
  }

  // Copies the first |max| elements (fewer when the list is shorter) into
  // |values|, leaving them in the list; the number copied.
  uint32_t peekFront(T* values, uint32_t max) const {
    uint32_t n = 0;
    for (const Node* node = m_head; node != nullptr && n < max; node = node->next)
      values[n++] = node->value;
    return n;
  }

  // Unlinks the front element into |*value| and releases its node. False
  // when the list is empty.
  bool takeFront(T* value) {
    Node* node = m_head;
    if (node == nullptr) return false;
    m_head = node->next;
    if (m_head != nullptr)
      m_head->prev = nullptr;
    else
      m_tail = nullptr;
    *value = node->value;
    delete node;
    return true;
  }

  void clear() {
    T ignored;
    while (takeFront(&ignored)) {
    }
  }

 private:
  struct Node {
    T value{};
    Node* prev = nullptr;
    Node* next = nullptr;
  };
  Node* m_head = nullptr;
  Node* m_tail = nullptr;
};

}  // namespace kor

#endif  // PLATFORM_KOR_H_
