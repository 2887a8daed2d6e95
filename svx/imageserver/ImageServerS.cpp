#include "svx/imageserver/ImageServerS.h"

#include "svx/imageserver/ImageServerWire.h"

namespace svx {
namespace imageserver {

const char* const kServiceName = "svx.imageserver.ImageServer";

// Created after the service's own channels (see imageserver/Channels.cpp), so
// that the three channels come into being in a fixed order.
tracing::Channel g_attributeChannel
    __attribute__((init_priority(1003))) ("SVX_IMAGESERVER_IMAGESERVER_ATTR", 7, 2);

static bool subscriberClosed(const comm::Proxy& subscriber) {
  return subscriber.endpoint() != nullptr && subscriber.endpoint()->isClosed();
}

kor::UUID serviceIdentityUuid() {
  return kor::UUID(0x8d042df8, 0xec1b, 0x43d0, 0xa72b, 0x37, 0x1a, 0x03, 0x0c, 0x1d, 0x6f);
}

const kor::UUID& serviceSecondaryUuid() {
  static const kor::UUID uuid(0x6043b5ea, 0xf526, 0x5902, 0x8f8e, 0xa2, 0x58, 0xf7, 0x12, 0xdd,
                              0x76);
  return uuid;
}

// ---------------------------------------------------------------------------
// Registration.

ImageServerSkeletonBase::~ImageServerSkeletonBase() { unregisterSelf(); }

int ImageServerSkeletonBase::registerSelf(unsigned int instance) {
  if (m_registration.isAlive()) {
    const comm::ServiceRegistrationRecord* existing = m_registration.record();
    kor::ErrorOutput::report(comm::Error, 21, "%s:0x%08x", existing->identity().toString().c_str(),
                             existing->instance());
    return -1;
  }

  const kor::UUID identity = serviceIdentityUuid();
  const kor::UUID& secondary = serviceSecondaryUuid();
  comm::ServiceRegistrationRecord* record = kor::tryNew<comm::ServiceRegistrationRecord>(
      "ServiceRegistration", identity, instance, secondary, kServiceName, this);
  {
    comm::ServiceRegistration fresh(record);
    m_registration = fresh;
  }
  if (record == nullptr) {
    comm::error::fatal("can't create ServiceRegistration, OOM ", __FILE__, __LINE__, false);
    return -1;
  }
  // The transport starts with the first registration: from now on the
  // service listens on its socket too. Without an event loop (the reason
  // is traced) it is still served in this process.
  wire::installTransport();
  return m_registration.registerService();
}

void ImageServerSkeletonBase::unregisterSelf() {
  if (!m_registration.isAlive()) return;
  m_registration.unregisterService();
  if (m_registration.isAlive())
    kor::GlobalErrorHandler::doAssert("!m_registration.isAlive()", "unregisterSelf");
  m_registration = comm::ServiceRegistration();
}

// ---------------------------------------------------------------------------
// Attributes.

ImageServerSkeleton::ImageServerSkeleton()
    : m_versionValid(false),
      m_notificationContainer(replyInterfaceUuid(), {kVersionAttributeId}, &g_attributeChannel) {}

ImageServerSkeleton::~ImageServerSkeleton() { unregisterSelf(); }

void ImageServerSkeleton::updateSVXVersion(const CIPtr<CIString>& version) {
  kor::vector<comm::Proxy> subscribers;
  m_attributeLock.lock();
  comm::idl::copyIt(m_version, version);
  m_versionValid = true;
  if (m_notificationContainer.getNotifiedProxies(kVersionAttributeId, subscribers) != 0) {
    for (uint32_t i = 0; i < subscribers.size(); ++i) {
      ImageServerProxyReply reply(subscribers[i]);
      if (reply.updateSVXVersion(m_version, true) != 0) {
        TRACE(g_attributeChannel, 4,
              "[updateSVXVersion] error calling updateSVXVersion() (reason=%s)",
              kor::ErrorStorage::reason());
        kor::ErrorStorage::ack();
      }
    }
  }
  m_attributeLock.unlock();
}

void ImageServerSkeleton::sendAttributeUpdate(unsigned int attributeId, comm::Proxy& subscriber,
                                              bool lock) {
  bool failed = false;
  if (lock) m_attributeLock.lock();
  if (attributeId == kVersionAttributeId) {
    ImageServerProxyReply reply(subscriber);
    failed = reply.updateSVXVersion(m_version, m_versionValid) != 0;
  } else {
    TRACE(g_attributeChannel, 4, "[sendAttributeUpdate] unsupported attribute id %d",
          static_cast<int>(attributeId));
  }
  if (lock) m_attributeLock.unlock();
  if (failed) {
    TRACE(g_attributeChannel, 4,
          "[sendAttributeUpdate] error calling update method for attribute %d (reason=%s)",
          static_cast<int>(attributeId), kor::ErrorStorage::reason());
    kor::ErrorStorage::ack();
  }
}

void ImageServerSkeleton::setNotification(comm::Proxy& subscriber) {
  osal::MutexLocker locker(m_attributeLock);
  sendAttributeUpdate(kVersionAttributeId, subscriber, false);
  m_notificationContainer.addNotification(subscriber, kVersionAttributeId);
}

void ImageServerSkeleton::setNotification(uint32_t attributeId, comm::Proxy& subscriber) {
  osal::MutexLocker locker(m_attributeLock);
  sendAttributeUpdate(attributeId, subscriber, false);
  m_notificationContainer.addNotification(subscriber, attributeId);
}

void ImageServerSkeleton::setNotification(const CIPtr<CIUInt32Array>& attributeIds,
                                          comm::Proxy& subscriber) {
  osal::MutexLocker locker(m_attributeLock);
  if (attributeIds.isNull()) return;
  // A subscriber that has gone gets none of the rest of its list.
  for (uint32_t i = 0; i < attributeIds->size() && !subscriberClosed(subscriber); ++i) {
    sendAttributeUpdate((*attributeIds)[i], subscriber, false);
    m_notificationContainer.addNotification(subscriber, (*attributeIds)[i]);
  }
}

void ImageServerSkeleton::clearNotification(const comm::Proxy& subscriber) {
  m_notificationContainer.removeNotification(subscriber);
}

void ImageServerSkeleton::clearNotification(uint32_t attributeId, const comm::Proxy& subscriber) {
  m_notificationContainer.removeNotification(subscriber, attributeId);
}

void ImageServerSkeleton::clearNotification(const CIPtr<CIUInt32Array>& attributeIds,
                                            const comm::Proxy& subscriber) {
  if (attributeIds.isNull()) return;
  for (uint32_t i = 0; i < attributeIds->size(); ++i)
    m_notificationContainer.removeNotification(subscriber, (*attributeIds)[i]);
}

}  // namespace imageserver
}  // namespace svx
