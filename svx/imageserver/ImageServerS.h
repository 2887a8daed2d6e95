// The service skeleton of "svx.imageserver.ImageServer": its identity, the
// operation slots that the framework dispatches to, registration, and the
// interface-version attribute with its subscriptions.
#ifndef SVX_IMAGESERVER_IMAGESERVERS_H_
#define SVX_IMAGESERVER_IMAGESERVERS_H_

#include <cstdint>

#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/osal.h"
#include "platform/tracing.h"
#include "svx/imageserver/ImageServerProxyReply.h"
#include "svx/imageserver/ImageServerTypes.h"

namespace svx {
namespace imageserver {

// Service name, interface version and the attribute id that carries it.
// The interface version belongs to the interface: it changes only when what
// a client sees changes, never with the package's version.
extern const char* const kServiceName;  // "svx.imageserver.ImageServer"
constexpr char kInterfaceVersion[] = "2.0.1";
constexpr uint32_t kVersionAttributeId = 23;

// Identity of each registration record (with the instance number).
kor::UUID serviceIdentityUuid();
// The process-wide second UUID of the registration records; made on first
// use, destroyed at unload.
const kor::UUID& serviceSecondaryUuid();

// The channel of the skeleton's attribute code,
// "SVX_IMAGESERVER_IMAGESERVER_ATTR".
extern tracing::Channel g_attributeChannel;

// Declares the operations in slot order and owns the registration. Slots 0
// to 7 are pure; 8 and 9 are empty hooks.
class ImageServerSkeletonBase : public comm::ServiceTarget {
 public:
  ImageServerSkeletonBase() = default;
  ~ImageServerSkeletonBase() override;

  // Slot 0.
  virtual void requestImage(const CIPtr<CIPtrArray<CIString>>& resourceLocator, int8_t scaling,
                            bool decode, ImageServerProxyReply& reply) = 0;
  // Slot 1.
  virtual void requestImageInformation(const CIPtr<CIPtrArray<CIString>>& resourceLocator,
                                       ImageServerProxyReply& reply) = 0;
  // Slots 2 to 4: subscribe to every attribute, one, or a list.
  virtual void setNotification(comm::Proxy& subscriber) = 0;
  virtual void setNotification(uint32_t attributeId, comm::Proxy& subscriber) = 0;
  virtual void setNotification(const CIPtr<CIUInt32Array>& attributeIds,
                               comm::Proxy& subscriber) = 0;
  // Slots 5 to 7: unsubscribe from every attribute, one, or a list.
  virtual void clearNotification(const comm::Proxy& subscriber) = 0;
  virtual void clearNotification(uint32_t attributeId, const comm::Proxy& subscriber) = 0;
  virtual void clearNotification(const CIPtr<CIUInt32Array>& attributeIds,
                                 const comm::Proxy& subscriber) = 0;
  // Slots 8 and 9: reserved hooks, never called by this service.
  virtual void onReservedHook1() {}
  virtual void onReservedHook2() {}

  // Registers the service under its name, identity and |instance|. 0 on
  // success. Called on the host's thread; not concurrently with
  // unregisterSelf().
  int registerSelf(unsigned int instance);
  // Ends the registration, if alive; otherwise does nothing.
  void unregisterSelf();

  // The registration (for tests and the transport).
  const comm::ServiceRegistration& registration() const { return m_registration; }

 protected:
  comm::ServiceRegistration m_registration;
};

// Implements the subscription slots and holds the version attribute.
class ImageServerSkeleton : public ImageServerSkeletonBase {
 public:
  ImageServerSkeleton();
  ~ImageServerSkeleton() override;

  void setNotification(comm::Proxy& subscriber) override;
  void setNotification(uint32_t attributeId, comm::Proxy& subscriber) override;
  void setNotification(const CIPtr<CIUInt32Array>& attributeIds, comm::Proxy& subscriber) override;
  void clearNotification(const comm::Proxy& subscriber) override;
  void clearNotification(uint32_t attributeId, const comm::Proxy& subscriber) override;
  void clearNotification(const CIPtr<CIUInt32Array>& attributeIds,
                         const comm::Proxy& subscriber) override;

  // Publishes |version| as the value of the version attribute and notifies
  // its subscribers. The caller may release |version| afterwards.
  void updateSVXVersion(const CIPtr<CIString>& version);
  // Sends the current value of |attributeId| to |subscriber|; takes
  // m_attributeLock only when |lock| is true.
  void sendAttributeUpdate(unsigned int attributeId, comm::Proxy& subscriber, bool lock);

  // For tests: the subscription bookkeeping.
  comm::AttributeNotificationContainer& notificationContainer() { return m_notificationContainer; }

 private:
  CIPtr<CIString> m_version;  // Guarded by m_attributeLock.
  bool m_versionValid;        // Guarded by m_attributeLock.
  comm::AttributeNotificationContainer m_notificationContainer;
  osal::Mutex m_attributeLock;
};

}  // namespace imageserver
}  // namespace svx

#endif  // SVX_IMAGESERVER_IMAGESERVERS_H_
