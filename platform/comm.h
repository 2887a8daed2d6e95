// IPC framework: reference-counted value types, proxies and endpoints, service
// registration and the service directory, attribute notification bookkeeping.
//
// The value types (CIPtr, CIString, CIPtrArray, CIInt8Array, CIUInt32Array,
// CITypesFactory) live in the global namespace, as generated interface code
// expects; everything else is in namespace comm.
//
// Larger than the other headers: interface code uses these pieces together
// (a proxy carries values, a skeleton registers and notifies), and one
// header keeps their contracts side by side.
#ifndef PLATFORM_COMM_H_
#define PLATFORM_COMM_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/kor.h"
#include "platform/tracing.h"
#include "platform/util.h"

// ---------------------------------------------------------------------------
// CIPtr: a shared handle to a heap value with an atomic reference count. An
// empty handle stands for a missing value. Copies share the value; the value
// is deleted when the last handle goes. Copying and destroying handles that
// share a value is thread-safe; one handle object is not.
template <class T>
class CIPtr {
 public:
  CIPtr() = default;
  // Takes ownership of |object| (from new; null gives an empty handle). If
  // the reference count cannot be allocated, |object| is deleted and the
  // handle stays empty: callers test the handle after construction.
  explicit CIPtr(T* object) {
    if (object == nullptr) return;
    m_count = kor::tryNew<std::atomic<int32_t>>("CIPtr", 1);
    if (m_count == nullptr) {
      delete object;
      return;
    }
    m_object = object;
  }
  CIPtr(const CIPtr& other) : m_object(other.m_object), m_count(other.m_count) { addRef(); }
  CIPtr(CIPtr&& other) noexcept : m_object(other.m_object), m_count(other.m_count) {
    other.m_object = nullptr;
    other.m_count = nullptr;
  }
  ~CIPtr() { release(); }

  CIPtr& operator=(const CIPtr& other) {
    if (this != &other) {
      CIPtr copy(other);
      swap(copy);
    }
    return *this;
  }
  CIPtr& operator=(CIPtr&& other) noexcept {
    if (this != &other) {
      release();
      m_object = other.m_object;
      m_count = other.m_count;
      other.m_object = nullptr;
      other.m_count = nullptr;
    }
    return *this;
  }

  T* get() const { return m_object; }
  T* operator->() const { return m_object; }
  T& operator*() const { return *m_object; }
  bool isNull() const { return m_object == nullptr; }
  explicit operator bool() const { return m_object != nullptr; }
  void reset() { release(); }
  // Number of handles sharing the value (0 for an empty handle). For tests
  // and diagnostics only: the value can change at any time.
  int32_t useCount() const { return m_count ? m_count->load(std::memory_order_relaxed) : 0; }

  bool operator==(const CIPtr& other) const { return m_object == other.m_object; }
  bool operator!=(const CIPtr& other) const { return m_object != other.m_object; }

  void swap(CIPtr& other) noexcept {
    std::swap(m_object, other.m_object);
    std::swap(m_count, other.m_count);
  }

 private:
  void addRef() {
    if (m_count != nullptr) m_count->fetch_add(1, std::memory_order_relaxed);
  }
  void release() {
    if (m_count != nullptr && m_count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete m_object;
      delete m_count;
    }
    m_object = nullptr;
    m_count = nullptr;
  }

  T* m_object = nullptr;
  std::atomic<int32_t>* m_count = nullptr;
};

// The framework's string value: a util::UnicodeString8 that can be shared
// through CIPtr.
class CIString : public util::UnicodeString8 {
 public:
  using util::UnicodeString8::UnicodeString8;
  CIString() = default;
  explicit CIString(const util::UnicodeString8& text) : util::UnicodeString8(text) {}
};

// An array of |count| handles, each of which may be empty.
template <class T>
class CIPtrArray {
 public:
  // Null when the elements cannot be allocated.
  static CIPtrArray* create(uint32_t count) {
    if (kor::allocationShouldFail("CIPtrArray")) return nullptr;
    CIPtrArray* array = new (std::nothrow) CIPtrArray();
    if (array == nullptr) return nullptr;
    if (count > 0) {
      array->m_items = new (std::nothrow) CIPtr<T>[count];
      if (array->m_items == nullptr) {
        delete array;
        return nullptr;
      }
    }
    array->m_count = count;
    return array;
  }
  ~CIPtrArray() { delete[] m_items; }
  CIPtrArray(const CIPtrArray&) = delete;
  CIPtrArray& operator=(const CIPtrArray&) = delete;

  uint32_t size() const { return m_count; }
  CIPtr<T>& operator[](uint32_t i) { return m_items[i]; }
  const CIPtr<T>& operator[](uint32_t i) const { return m_items[i]; }

 private:
  CIPtrArray() = default;
  CIPtr<T>* m_items = nullptr;
  uint32_t m_count = 0;
};

// A byte array. The bytes lie contiguously behind data(); where they live is
// the business of its Storage: the heap, or a memory segment that the
// transport can hand to another process without copying.
class CIInt8Array {
 public:
  class Storage {
   public:
    virtual ~Storage() = default;
    virtual int8_t* bytes() = 0;
  };

  // Takes ownership of |storage|, which holds at least |size| bytes.
  CIInt8Array(Storage* storage, uint32_t size) : m_storage(storage), m_size(size) {}
  ~CIInt8Array() { delete m_storage; }
  CIInt8Array(const CIInt8Array&) = delete;
  CIInt8Array& operator=(const CIInt8Array&) = delete;

  uint32_t size() const { return m_size; }
  int8_t* data() { return m_storage != nullptr ? m_storage->bytes() : nullptr; }
  const int8_t* data() const { return m_storage != nullptr ? m_storage->bytes() : nullptr; }
  Storage* storage() const { return m_storage; }

 private:
  Storage* m_storage;
  uint32_t m_size;
};

// Allocates the storage of byte arrays at or above a size threshold; the
// transport installs one that places them in shareable segments.
class CIInt8ArrayAllocator {
 public:
  virtual ~CIInt8ArrayAllocator() = default;
  // Storage for |size| bytes, or null to fall back to the heap.
  virtual CIInt8Array::Storage* allocate(uint32_t size) = 0;
};

class CIUInt32Array {
 public:
  static CIUInt32Array* create(uint32_t count);
  ~CIUInt32Array() { delete[] m_items; }
  CIUInt32Array(const CIUInt32Array&) = delete;
  CIUInt32Array& operator=(const CIUInt32Array&) = delete;

  uint32_t size() const { return m_count; }
  uint32_t& operator[](uint32_t i) { return m_items[i]; }
  uint32_t operator[](uint32_t i) const { return m_items[i]; }

 private:
  CIUInt32Array() = default;
  uint32_t* m_items = nullptr;
  uint32_t m_count = 0;
};

// Makes values. Every function returns an empty handle when memory is short.
// Thread-safe.
class CITypesFactory {
 public:
  static CIPtr<CIString> createString(const char* text, util::UnicodeString_common::Encoding);
  // |count| bytes, uninitialised.
  static CIPtr<CIInt8Array> createInt8Array(unsigned int count);
  // |count| zeroed values.
  static CIPtr<CIUInt32Array> createUInt32Array(unsigned int count);
  // |count| empty string handles.
  static CIPtr<CIPtrArray<CIString>> createStringArray(unsigned int count);

  // Installs the allocator for byte arrays of |threshold| bytes or more (null
  // restores plain heap storage); returns the previous one. The allocator
  // must outlive its installation.
  static CIInt8ArrayAllocator* setInt8ArrayAllocator(CIInt8ArrayAllocator* allocator,
                                                     uint32_t threshold);
};

namespace comm {

// The framework reports how its fallible steps went with the platform's one
// status type.
using kor::Status;

// The error type of framework errors reported through kor::ErrorOutput.
extern const kor::ErrorType Error;

namespace error {
// Reports a fatal framework error; the caller goes on after it returns. With
// |abort| true the error handler's onAbort follows.
void fatal(const char* text, const char* file, int line, bool abort);
}  // namespace error

namespace idl {
// |to| afterwards holds an independent copy of |from|'s string (empty when
// |from| is empty, or when memory is short).
void copyIt(CIPtr<CIString>& to, const CIPtr<CIString>& from);
}  // namespace idl

// ---------------------------------------------------------------------------
// Endpoint: the far end of a proxy, e.g. one client's reply interface. An
// endpoint is reference counted by the proxies that designate it, and closed
// once when its client goes away; close listeners are then told, once.
// Thread-safe.
class Endpoint {
 public:
  explicit Endpoint(const kor::UUID& interfaceId)
      : m_interfaceId(interfaceId),
        m_serial(s_nextSerial.fetch_add(1, std::memory_order_relaxed)) {}
  virtual ~Endpoint() = default;
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  void ref() { m_refs.fetch_add(1, std::memory_order_relaxed); }
  void unref() {
    if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  const kor::UUID& interfaceId() const { return m_interfaceId; }
  // A number no other endpoint of the process ever has (from 1).
  uint64_t serial() const { return m_serial; }

  bool isClosed() const { return m_closed.load(std::memory_order_acquire); }
  // How many proxies designate the endpoint at this moment.
  int32_t proxyCount() const { return m_refs.load(std::memory_order_acquire); }
  // Marks the endpoint closed and runs every close listener once, outside any
  // lock of the endpoint. Later calls do nothing.
  void close();

  // Runs |listener| when the endpoint closes (at once if it is closed). The
  // listener must be safe to run on any thread.
  void addCloseListener(std::function<void(Endpoint*)> listener);

  // Storage for a byte array of |size| bytes made for an answer to this
  // endpoint (see ArrayAllocationScope), or null for the usual allocation;
  // null with |*refused| set when the array must not be made at all (the
  // client holds all the memory it may). Thread-safe.
  virtual CIInt8Array::Storage* allocateArrayStorage(uint32_t size, bool* refused) {
    (void)size;
    *refused = false;
    return nullptr;
  }

 private:
  static inline std::atomic<uint64_t> s_nextSerial{1};
  const kor::UUID m_interfaceId;
  const uint64_t m_serial;
  std::atomic<int32_t> m_refs{0};
  std::atomic<bool> m_closed{false};
  std::mutex m_mutex;
  std::vector<std::function<void(Endpoint*)>> m_closeListeners;  // Guarded by m_mutex.
};

// Proxy: a handle that designates one endpoint. Default-constructed it
// designates none. Copies designate the same endpoint and may be used from
// any thread after the call that delivered the first has returned. Two
// proxies compare equal when they designate the same endpoint.
class Proxy {
 public:
  Proxy() = default;
  explicit Proxy(Endpoint* endpoint) : m_endpoint(endpoint) {
    if (m_endpoint != nullptr) m_endpoint->ref();
  }
  Proxy(const Proxy& other) : Proxy(other.m_endpoint) {}
  Proxy& operator=(const Proxy& other) {
    if (other.m_endpoint != nullptr) other.m_endpoint->ref();
    if (m_endpoint != nullptr) m_endpoint->unref();
    m_endpoint = other.m_endpoint;
    return *this;
  }
  virtual ~Proxy() {
    if (m_endpoint != nullptr) m_endpoint->unref();
  }

  Endpoint* endpoint() const { return m_endpoint; }
  bool operator==(const Proxy& other) const { return m_endpoint == other.m_endpoint; }
  bool operator!=(const Proxy& other) const { return m_endpoint != other.m_endpoint; }

 private:
  Endpoint* m_endpoint = nullptr;
};

// While it lives, the byte arrays this thread makes with
// CITypesFactory::createInt8Array at or above the allocator's threshold are
// first offered to |proxy|'s endpoint: the work done in the scope answers
// that endpoint, and the endpoint of a client in another process takes the
// memory from that client's pool of shared segments, which is much cheaper
// than fresh memory. Scopes nest.
class ArrayAllocationScope {
 public:
  explicit ArrayAllocationScope(const Proxy& proxy);
  ~ArrayAllocationScope();
  ArrayAllocationScope(const ArrayAllocationScope&) = delete;
  ArrayAllocationScope& operator=(const ArrayAllocationScope&) = delete;

 private:
  const Proxy m_proxy;  // keeps the endpoint alive
  Endpoint* const m_previous;
};

// While it lives, the shared segments made on this thread for arrays are
// written by another process (a decoder), never through this process's
// mapping: their pages are allocated at once, as for every segment, but not
// mapped here. That is most of the cost of a large new segment, and the
// writer has to map the pages anyway. Scopes nest.
class ForeignWriterScope {
 public:
  ForeignWriterScope();
  ~ForeignWriterScope();
  ForeignWriterScope(const ForeignWriterScope&) = delete;
  ForeignWriterScope& operator=(const ForeignWriterScope&) = delete;
  // True within a scope on the calling thread.
  static bool active();

 private:
  const bool m_previous;
};

// ---------------------------------------------------------------------------
// Service registration.

// The object that the framework dispatches a service's calls to (the
// generated skeleton derives from it).
class ServiceTarget {
 public:
  // Tells the directory's listener that the target is gone (see
  // Listener::onTargetDestroyed); may wait there, for a bounded time.
  virtual ~ServiceTarget();
};

// The record of one registration. Reference counted by ServiceRegistration
// handles.
class ServiceRegistrationRecord {
 public:
  ServiceRegistrationRecord(const kor::UUID& identity, uint32_t instance,
                            const kor::UUID& secondary, const char* serviceName,
                            ServiceTarget* target);

  const kor::UUID& identity() const { return m_identity; }
  uint32_t instance() const { return m_instance; }
  const kor::UUID& secondary() const { return m_secondary; }
  const std::string& serviceName() const { return m_serviceName; }
  ServiceTarget* target() const { return m_target; }
  bool isAlive() const { return m_alive.load(std::memory_order_acquire); }

 private:
  friend class ServiceRegistration;
  friend class ServiceDirectory;

  const kor::UUID m_identity;
  const uint32_t m_instance;
  const kor::UUID m_secondary;
  const std::string m_serviceName;
  ServiceTarget* const m_target;
  std::atomic<int32_t> m_refs{0};
  std::atomic<bool> m_alive{false};
  int32_t m_inFlight = 0;  // dispatches under way; guarded by the directory's mutex
};

// A shared handle to a registration record; empty by default.
class ServiceRegistration {
 public:
  ServiceRegistration() = default;
  // Takes a reference to |record| (null gives an empty handle).
  explicit ServiceRegistration(ServiceRegistrationRecord* record);
  ServiceRegistration(const ServiceRegistration& other);
  ServiceRegistration& operator=(const ServiceRegistration& other);
  ~ServiceRegistration();

  ServiceRegistrationRecord* record() const { return m_record; }
  bool isAlive() const { return m_record != nullptr && m_record->isAlive(); }

  // Adds the record to the service directory. 0 on success; non-zero when
  // the handle is empty, the record is alive already, or the directory
  // refuses it (reason in kor::ErrorStorage).
  int registerService();
  // Removes the record from the directory and waits until no call is being
  // dispatched to its target. 0 on success, non-zero when it was not alive.
  int unregisterService();

 private:
  ServiceRegistrationRecord* m_record = nullptr;
};

// The process-wide directory of registered services, keyed by (service name,
// instance number). A transport plugs in as its Listener and is told of every
// registration, so that registering also makes a service reachable from other
// processes. Thread-safe.
class ServiceDirectory {
 public:
  class Listener {
   public:
    virtual ~Listener() = default;
    // A service was added. Returning false refuses the registration; the
    // reason is then in kor::ErrorStorage.
    virtual bool onServiceAdded(ServiceRegistrationRecord* record) = 0;
    // A service is being removed; no new call is dispatched to it from now
    // on. Calls already dispatched may still be running.
    virtual void onServiceRemoved(ServiceRegistrationRecord* record) = 0;
    // The target of removed registrations is being destroyed: whatever it
    // was going to answer has been sent. The transport finishes the
    // connections of its clients here.
    virtual void onTargetDestroyed(ServiceTarget* target) { (void)target; }
  };

  // Holds a registered target for the duration of one dispatched call; the
  // service is not unregistered before every lease on it has ended.
  class Lease {
   public:
    Lease() = default;
    ~Lease() { release(); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ServiceTarget* target() const { return m_record != nullptr ? m_record->target() : nullptr; }
    void release();

   private:
    friend class ServiceDirectory;
    ServiceRegistrationRecord* m_record = nullptr;
  };

  static ServiceDirectory& getInstance();

  // Installs the transport (null for none); returns the previous one.
  Listener* setListener(Listener* listener);

  // Leases the target registered as (name, instance); false when there is
  // none.
  bool acquire(const char* serviceName, uint32_t instance, Lease* lease);
  // Leases the target of |record| if it is still registered.
  bool acquire(ServiceRegistrationRecord* record, Lease* lease);

  bool isRegistered(const char* serviceName, uint32_t instance);

 private:
  friend class ServiceTarget;
  void targetDestroyed(ServiceTarget* target);
  friend class ServiceRegistration;
  ServiceDirectory() = default;
  int add(ServiceRegistrationRecord* record);
  int remove(ServiceRegistrationRecord* record);
  void endLease(ServiceRegistrationRecord* record);

  std::mutex m_mutex;
  std::condition_variable m_leaseEnded;
  std::vector<ServiceRegistrationRecord*> m_records;  // Guarded by m_mutex; one reference each.
  Listener* m_listener = nullptr;                     // Guarded by m_mutex.
};

// ---------------------------------------------------------------------------
// Attribute notifications.

class AttributeNotificationContainer;

// Watches the endpoints of the proxies recorded in a container, for the reply
// interface named by the UUID: when one closes, every subscription of that
// proxy is dropped from the container.
class ReplyInterfaceTracker {
 public:
  ReplyInterfaceTracker(AttributeNotificationContainer& container, const kor::UUID& interfaceId);
  ~ReplyInterfaceTracker();
  ReplyInterfaceTracker(const ReplyInterfaceTracker&) = delete;
  ReplyInterfaceTracker& operator=(const ReplyInterfaceTracker&) = delete;

  const kor::UUID& interfaceId() const { return m_interfaceId; }
  // Starts watching |proxy|'s endpoint (once per endpoint).
  void watch(const Proxy& proxy);

 private:
  struct Link;
  const kor::UUID m_interfaceId;
  std::shared_ptr<Link> m_link;
};

// The most attribute ids that the interface does not serve (nothing is ever
// published for them) one subscriber may be recorded for at once. Past it
// such ids are not stored: the client cannot tell, since nothing would ever
// be sent for them, and the service's memory stays bounded. Ids the
// interface serves are always recorded.
constexpr uint32_t kMaxUnservedSubscriptionsPerSubscriber = 1024;

// Which proxy wants updates of which attribute id. A proxy recorded twice for
// the same id is stored once. Recording, removing and looking up one id cost
// the same however many subscriptions exist. Thread-safe on its own: every
// operation takes the container's internal lock.
class AttributeNotificationContainer {
 public:
  // Binds the container's tracker to the reply interface |replyInterfaceId|.
  // |servedIds|: the attribute ids the interface publishes. The first id a
  // subscriber asks for past kMaxUnservedSubscriptionsPerSubscriber is
  // reported on |channel| (when given) at level 3, once per subscriber.
  explicit AttributeNotificationContainer(const kor::UUID& replyInterfaceId,
                                          std::vector<uint32_t> servedIds = {},
                                          const tracing::Channel* channel = nullptr);
  ~AttributeNotificationContainer();
  AttributeNotificationContainer(const AttributeNotificationContainer&) = delete;
  AttributeNotificationContainer& operator=(const AttributeNotificationContainer&) = delete;

  void addNotification(Proxy& proxy, uint32_t attributeId);
  void removeNotification(const Proxy& proxy, uint32_t attributeId);
  // Every attribute id of |proxy|.
  void removeNotification(const Proxy& proxy);
  // Appends copies of every proxy recorded for |attributeId| to |proxies|;
  // non-zero on success, 0 when memory is short.
  int getNotifiedProxies(uint32_t attributeId, kor::vector<Proxy>& proxies);
  // Number of (proxy, id) entries; for tests and diagnostics.
  uint32_t count();

 private:
  struct Subscriber {
    Proxy proxy;
    std::unordered_set<uint32_t> ids;
    uint32_t unserved = 0;     // how many of |ids| the interface does not serve
    bool boundLogged = false;  // the bound has been reported for it
  };
  bool isServed(uint32_t attributeId) const;
  // Subscription order, so that an update goes out in a stable order.
  using Order = std::unordered_map<Endpoint*, uint64_t>;

  std::mutex m_mutex;
  // Both guarded by m_mutex; an endpoint's entry exists while it has ids.
  std::unordered_map<Endpoint*, Subscriber> m_subscribers;
  std::unordered_map<uint32_t, Order> m_byId;
  uint64_t m_nextOrder = 0;
  uint32_t m_count = 0;
  const std::vector<uint32_t> m_servedIds;
  const tracing::Channel* const m_channel;
  ReplyInterfaceTracker m_tracker;
};

}  // namespace comm

#endif  // PLATFORM_COMM_H_
