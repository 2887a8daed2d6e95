#include "platform/comm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------
// Value types.

namespace {

class HeapStorage : public CIInt8Array::Storage {
 public:
  explicit HeapStorage(int8_t* bytes) : m_bytes(bytes) {}
  ~HeapStorage() override { std::free(m_bytes); }
  int8_t* bytes() override { return m_bytes; }

 private:
  int8_t* m_bytes;
};

std::mutex g_allocatorMutex;
CIInt8ArrayAllocator* g_allocator = nullptr;  // Guarded by g_allocatorMutex.
uint32_t g_allocatorThreshold = 0;            // Guarded by g_allocatorMutex.

// The endpoint of the innermost ArrayAllocationScope of this thread.
thread_local comm::Endpoint* t_arrayEndpoint = nullptr;
thread_local bool t_foreignWriter = false;

CIInt8Array::Storage* allocateStorage(uint32_t count) {
  CIInt8ArrayAllocator* allocator;
  uint32_t threshold;
  {
    std::lock_guard<std::mutex> lock(g_allocatorMutex);
    allocator = g_allocator;
    threshold = g_allocatorThreshold;
  }
  // An installed allocator outlives its installation, so it is called
  // without the lock: segments are made by several threads at once.
  if (allocator != nullptr && count >= threshold) {
    comm::Endpoint* endpoint = t_arrayEndpoint;
    if (endpoint != nullptr && !endpoint->isClosed()) {
      bool refused = false;
      CIInt8Array::Storage* storage = endpoint->allocateArrayStorage(count, &refused);
      if (storage != nullptr || refused) return storage;
    }
    CIInt8Array::Storage* storage = allocator->allocate(count);
    if (storage != nullptr) return storage;
  }
  // malloc(0) may return null; one byte keeps "no memory" distinguishable.
  void* bytes = std::malloc(count > 0 ? count : 1);
  if (bytes == nullptr) return nullptr;
  HeapStorage* storage = new (std::nothrow) HeapStorage(static_cast<int8_t*>(bytes));
  if (storage == nullptr) std::free(bytes);
  return storage;
}

}  // namespace

CIUInt32Array* CIUInt32Array::create(uint32_t count) {
  if (kor::allocationShouldFail("CIUInt32Array")) return nullptr;
  CIUInt32Array* array = new (std::nothrow) CIUInt32Array();
  if (array == nullptr) return nullptr;
  if (count > 0) {
    array->m_items = new (std::nothrow) uint32_t[count]();
    if (array->m_items == nullptr) {
      delete array;
      return nullptr;
    }
  }
  array->m_count = count;
  return array;
}

CIPtr<CIString> CITypesFactory::createString(const char* text,
                                             util::UnicodeString_common::Encoding encoding) {
  return CIPtr<CIString>(kor::tryNew<CIString>("CIString", text, encoding));
}

CIPtr<CIInt8Array> CITypesFactory::createInt8Array(unsigned int count) {
  if (kor::allocationShouldFail("CIInt8Array")) return CIPtr<CIInt8Array>();
  CIInt8Array::Storage* storage = allocateStorage(count);
  if (storage == nullptr) return CIPtr<CIInt8Array>();
  CIInt8Array* array = new (std::nothrow) CIInt8Array(storage, count);
  if (array == nullptr) {
    delete storage;
    return CIPtr<CIInt8Array>();
  }
  return CIPtr<CIInt8Array>(array);
}

CIPtr<CIUInt32Array> CITypesFactory::createUInt32Array(unsigned int count) {
  return CIPtr<CIUInt32Array>(CIUInt32Array::create(count));
}

CIPtr<CIPtrArray<CIString>> CITypesFactory::createStringArray(unsigned int count) {
  return CIPtr<CIPtrArray<CIString>>(CIPtrArray<CIString>::create(count));
}

CIInt8ArrayAllocator* CITypesFactory::setInt8ArrayAllocator(CIInt8ArrayAllocator* allocator,
                                                            uint32_t threshold) {
  std::lock_guard<std::mutex> lock(g_allocatorMutex);
  CIInt8ArrayAllocator* previous = g_allocator;
  g_allocator = allocator;
  g_allocatorThreshold = threshold;
  return previous;
}

namespace comm {

const kor::ErrorType Error = {"comm"};

namespace error {

void fatal(const char* text, const char* file, int line, bool abort) {
  kor::GlobalErrorHandler::doFatal(text, file, line);
  if (abort) kor::GlobalErrorHandler::doAbort(text);
}

}  // namespace error

namespace idl {

void copyIt(CIPtr<CIString>& to, const CIPtr<CIString>& from) {
  if (from.isNull()) {
    to.reset();
    return;
  }
  to = CIPtr<CIString>(
      kor::tryNew<CIString>("CIString", static_cast<const util::UnicodeString8&>(*from)));
}

}  // namespace idl

// ---------------------------------------------------------------------------
// Endpoint.

void Endpoint::close() {
  std::vector<std::function<void(Endpoint*)>> listeners;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed.exchange(true, std::memory_order_acq_rel)) return;
    listeners.swap(m_closeListeners);
  }
  for (auto& listener : listeners) listener(this);
}

void Endpoint::addCloseListener(std::function<void(Endpoint*)> listener) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_closed.load(std::memory_order_acquire)) {
      try {
        m_closeListeners.push_back(std::move(listener));
      } catch (...) {
        kor::GlobalErrorHandler::doOutOfMem("Endpoint::addCloseListener");
      }
      return;
    }
  }
  listener(this);
}

ArrayAllocationScope::ArrayAllocationScope(const Proxy& proxy)
    : m_proxy(proxy), m_previous(t_arrayEndpoint) {
  t_arrayEndpoint = m_proxy.endpoint();
}

ArrayAllocationScope::~ArrayAllocationScope() { t_arrayEndpoint = m_previous; }

ForeignWriterScope::ForeignWriterScope() : m_previous(t_foreignWriter) { t_foreignWriter = true; }
ForeignWriterScope::~ForeignWriterScope() { t_foreignWriter = m_previous; }
bool ForeignWriterScope::active() { return t_foreignWriter; }

// ---------------------------------------------------------------------------
// Registration.

ServiceRegistrationRecord::ServiceRegistrationRecord(const kor::UUID& identity, uint32_t instance,
                                                     const kor::UUID& secondary,
                                                     const char* serviceName, ServiceTarget* target)
    : m_identity(identity),
      m_instance(instance),
      m_secondary(secondary),
      m_serviceName(serviceName != nullptr ? serviceName : ""),
      m_target(target) {}

ServiceRegistration::ServiceRegistration(ServiceRegistrationRecord* record) : m_record(record) {
  if (m_record != nullptr) m_record->m_refs.fetch_add(1, std::memory_order_relaxed);
}

ServiceRegistration::ServiceRegistration(const ServiceRegistration& other)
    : ServiceRegistration(other.m_record) {}

ServiceRegistration& ServiceRegistration::operator=(const ServiceRegistration& other) {
  ServiceRegistrationRecord* previous = m_record;
  m_record = other.m_record;
  if (m_record != nullptr) m_record->m_refs.fetch_add(1, std::memory_order_relaxed);
  if (previous != nullptr && previous->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete previous;
  return *this;
}

ServiceRegistration::~ServiceRegistration() {
  if (m_record != nullptr && m_record->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete m_record;
}

int ServiceRegistration::registerService() {
  if (m_record == nullptr) {
    kor::ErrorStorage::set("cannot register: no registration record");
    return -1;
  }
  return ServiceDirectory::getInstance().add(m_record);
}

int ServiceRegistration::unregisterService() {
  if (m_record == nullptr) return -1;
  return ServiceDirectory::getInstance().remove(m_record);
}

// ---------------------------------------------------------------------------
// Directory.

ServiceTarget::~ServiceTarget() { ServiceDirectory::getInstance().targetDestroyed(this); }

void ServiceDirectory::targetDestroyed(ServiceTarget* target) {
  Listener* listener;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    listener = m_listener;
  }
  if (listener != nullptr) listener->onTargetDestroyed(target);
}

ServiceDirectory& ServiceDirectory::getInstance() {
  static ServiceDirectory* directory = new ServiceDirectory();  // lives as long as the process
  return *directory;
}

ServiceDirectory::Listener* ServiceDirectory::setListener(Listener* listener) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Listener* previous = m_listener;
  m_listener = listener;
  return previous;
}

int ServiceDirectory::add(ServiceRegistrationRecord* record) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (record->isAlive()) {
    kor::ErrorStorage::set("service %s instance %u is registered already",
                           record->serviceName().c_str(), record->instance());
    return -1;
  }
  for (ServiceRegistrationRecord* other : m_records) {
    if (other->instance() == record->instance() && other->serviceName() == record->serviceName()) {
      kor::ErrorStorage::set("service %s instance %u is registered already",
                             record->serviceName().c_str(), record->instance());
      return -1;
    }
  }
  try {
    m_records.push_back(record);
  } catch (...) {
    kor::ErrorStorage::set("cannot register service: out of memory");
    return -1;
  }
  record->m_refs.fetch_add(1, std::memory_order_relaxed);
  record->m_alive.store(true, std::memory_order_release);
  // The listener runs under the directory lock, so that an add and a remove
  // of the same record reach the transport in order.
  if (m_listener != nullptr && !m_listener->onServiceAdded(record)) {
    record->m_alive.store(false, std::memory_order_release);
    m_records.pop_back();
    record->m_refs.fetch_sub(1, std::memory_order_relaxed);
    return -1;
  }
  return 0;
}

int ServiceDirectory::remove(ServiceRegistrationRecord* record) {
  std::unique_lock<std::mutex> lock(m_mutex);
  auto it = std::find(m_records.begin(), m_records.end(), record);
  if (it == m_records.end()) return -1;
  m_records.erase(it);
  record->m_alive.store(false, std::memory_order_release);
  if (m_listener != nullptr) m_listener->onServiceRemoved(record);
  m_leaseEnded.wait(lock, [record] { return record->m_inFlight == 0; });
  lock.unlock();
  // Drop the directory's reference; the caller's handle keeps the record.
  record->m_refs.fetch_sub(1, std::memory_order_acq_rel);
  return 0;
}

bool ServiceDirectory::acquire(const char* serviceName, uint32_t instance, Lease* lease) {
  lease->release();
  std::lock_guard<std::mutex> lock(m_mutex);
  for (ServiceRegistrationRecord* record : m_records) {
    if (record->instance() == instance && record->serviceName() == serviceName) {
      ++record->m_inFlight;
      lease->m_record = record;
      return true;
    }
  }
  return false;
}

bool ServiceDirectory::acquire(ServiceRegistrationRecord* record, Lease* lease) {
  lease->release();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (std::find(m_records.begin(), m_records.end(), record) == m_records.end()) return false;
  ++record->m_inFlight;
  lease->m_record = record;
  return true;
}

bool ServiceDirectory::isRegistered(const char* serviceName, uint32_t instance) {
  Lease lease;
  return acquire(serviceName, instance, &lease);
}

void ServiceDirectory::endLease(ServiceRegistrationRecord* record) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (--record->m_inFlight == 0) m_leaseEnded.notify_all();
}

void ServiceDirectory::Lease::release() {
  if (m_record == nullptr) return;
  ServiceDirectory::getInstance().endLease(m_record);
  m_record = nullptr;
}

// ---------------------------------------------------------------------------
// Notifications.

// Shared between a tracker and the close listeners it leaves on endpoints, so
// that an endpoint closing after the container is gone finds nothing to do.
struct ReplyInterfaceTracker::Link {
  std::mutex mutex;
  AttributeNotificationContainer* container;  // Guarded by mutex; null once gone.
  std::vector<Endpoint*> watched;             // Guarded by mutex; identity only.
};

ReplyInterfaceTracker::ReplyInterfaceTracker(AttributeNotificationContainer& container,
                                             const kor::UUID& interfaceId)
    : m_interfaceId(interfaceId) {
  try {
    m_link = std::make_shared<Link>();
    m_link->container = &container;
  } catch (...) {
    kor::GlobalErrorHandler::doOutOfMem("ReplyInterfaceTracker");
  }
}

ReplyInterfaceTracker::~ReplyInterfaceTracker() {
  if (m_link == nullptr) return;
  std::lock_guard<std::mutex> lock(m_link->mutex);
  m_link->container = nullptr;
}

void ReplyInterfaceTracker::watch(const Proxy& proxy) {
  Endpoint* endpoint = proxy.endpoint();
  if (m_link == nullptr || endpoint == nullptr || endpoint->interfaceId() != m_interfaceId) return;
  {
    std::lock_guard<std::mutex> lock(m_link->mutex);
    if (std::find(m_link->watched.begin(), m_link->watched.end(), endpoint) !=
        m_link->watched.end())
      return;
    try {
      m_link->watched.push_back(endpoint);
    } catch (...) {
      return;
    }
  }
  std::weak_ptr<Link> weak = m_link;
  endpoint->addCloseListener([weak](Endpoint* closed) {
    std::shared_ptr<Link> link = weak.lock();
    if (link == nullptr) return;
    std::lock_guard<std::mutex> lock(link->mutex);
    link->watched.erase(std::remove(link->watched.begin(), link->watched.end(), closed),
                        link->watched.end());
    if (link->container != nullptr) link->container->removeNotification(Proxy(closed));
  });
}

AttributeNotificationContainer::AttributeNotificationContainer(const kor::UUID& replyInterfaceId,
                                                               std::vector<uint32_t> servedIds,
                                                               const tracing::Channel* channel)
    : m_servedIds(std::move(servedIds)), m_channel(channel), m_tracker(*this, replyInterfaceId) {}

bool AttributeNotificationContainer::isServed(uint32_t attributeId) const {
  return std::find(m_servedIds.begin(), m_servedIds.end(), attributeId) != m_servedIds.end();
}

AttributeNotificationContainer::~AttributeNotificationContainer() = default;

void AttributeNotificationContainer::addNotification(Proxy& proxy, uint32_t attributeId) {
  Endpoint* const endpoint = proxy.endpoint();
  // A closed endpoint's subscriptions are gone for good: one added now would
  // only be removed again by its close listener, which runs at once.
  if (endpoint != nullptr && endpoint->isClosed()) return;
  const bool served = isServed(attributeId);
  bool dropped = false;
  bool reportBound = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
      auto found = m_subscribers.find(endpoint);
      if (found != m_subscribers.end() && found->second.ids.count(attributeId) != 0) return;
      if (!served && found != m_subscribers.end() &&
          found->second.unserved >= kMaxUnservedSubscriptionsPerSubscriber) {
        dropped = true;
        reportBound = !found->second.boundLogged;
        found->second.boundLogged = true;
      } else {
        Subscriber& subscriber = m_subscribers[endpoint];
        if (subscriber.proxy.endpoint() == nullptr) subscriber.proxy = proxy;
        subscriber.ids.insert(attributeId);
        try {
          m_byId[attributeId].emplace(endpoint, m_nextOrder++);
        } catch (...) {
          subscriber.ids.erase(attributeId);
          throw;
        }
        subscriber.unserved += served ? 0 : 1;
        ++m_count;
      }
    } catch (...) {
      kor::GlobalErrorHandler::doOutOfMem("AttributeNotificationContainer::addNotification");
      return;
    }
  }
  if (!dropped) {
    m_tracker.watch(proxy);
  } else if (reportBound && m_channel != nullptr) {
    TRACE(*m_channel, 3,
          "a subscriber holds %u attribute ids that are not published; "
          "further ones are not recorded",
          kMaxUnservedSubscriptionsPerSubscriber);
  }
}

void AttributeNotificationContainer::removeNotification(const Proxy& proxy, uint32_t attributeId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto subscriber = m_subscribers.find(proxy.endpoint());
  if (subscriber == m_subscribers.end() || subscriber->second.ids.erase(attributeId) == 0) return;
  subscriber->second.unserved -= isServed(attributeId) ? 0 : 1;
  if (subscriber->second.ids.empty()) m_subscribers.erase(subscriber);
  auto order = m_byId.find(attributeId);
  order->second.erase(proxy.endpoint());
  if (order->second.empty()) m_byId.erase(order);
  --m_count;
}

void AttributeNotificationContainer::removeNotification(const Proxy& proxy) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto subscriber = m_subscribers.find(proxy.endpoint());
  if (subscriber == m_subscribers.end()) return;
  for (uint32_t id : subscriber->second.ids) {
    auto order = m_byId.find(id);
    order->second.erase(proxy.endpoint());
    if (order->second.empty()) m_byId.erase(order);
  }
  m_count -= static_cast<uint32_t>(subscriber->second.ids.size());
  m_subscribers.erase(subscriber);
}

int AttributeNotificationContainer::getNotifiedProxies(uint32_t attributeId,
                                                       kor::vector<Proxy>& proxies) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto order = m_byId.find(attributeId);
  if (order == m_byId.end()) return 1;
  std::vector<std::pair<uint64_t, Endpoint*>> sorted;
  try {
    sorted.reserve(order->second.size());
    for (const auto& [endpoint, sequence] : order->second) sorted.emplace_back(sequence, endpoint);
  } catch (...) {
    return 0;
  }
  std::sort(sorted.begin(), sorted.end());
  for (const auto& entry : sorted)
    if (!proxies.push_back(m_subscribers.find(entry.second)->second.proxy)) return 0;
  return 1;
}

uint32_t AttributeNotificationContainer::count() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_count;
}

}  // namespace comm
