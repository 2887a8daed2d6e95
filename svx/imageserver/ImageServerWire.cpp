#include "svx/imageserver/ImageServerWire.h"

#include <mutex>

#include "platform/lumo.h"
#include "platform/transport.h"
#include "platform/transport/connection.h"
#include "svx/imageserver/ImageServerProxyReply.h"
#include "svx/imageserver/ImageServerS.h"

namespace svx {
namespace imageserver {
namespace wire {

namespace {

void putInformation(comm::WireWriter& writer, const CIPtr<ImageInformation>& information) {
  if (information.isNull()) {
    writer.putU8(0);
    return;
  }
  writer.putU8(1);
  writer.putI32(information->format);
  writer.putU32(information->width);
  writer.putU32(information->height);
  writer.putI64(information->hash);
  writer.putI64(information->fileSize);
}

void putImage(comm::WireWriter& writer, const CIPtr<Image>& image) {
  if (image.isNull()) {
    writer.putU8(0);
    return;
  }
  writer.putU8(1);
  putInformation(writer, image->imageInformation);
  writer.putBool(image->decoded);
  writer.putByteArray(image->data);
  writer.putU32(image->dataLength);
}

// A client's reply interface: encodes each call and queues it on the
// client's connection, from whichever thread calls.
class WireReplyEndpoint : public ImageServerReplyEndpoint {
 public:
  explicit WireReplyEndpoint(const std::shared_ptr<comm::Connection>& connection)
      : m_connection(connection) {}

  int requestImageResult(const CIPtr<CIString>& resourceLocator, const CIPtr<Image>& image,
                         Result result) override {
    comm::WireWriter writer(comm::kKindReply, kRequestImageResult);
    writer.putString(resourceLocator);
    putImage(writer, image);
    writer.putI32(result);
    return send(writer);
  }

  int requestImageInformationResult(const CIPtr<CIString>& resourceLocator,
                                    const CIPtr<ImageInformation>& information,
                                    Result result) override {
    comm::WireWriter writer(comm::kKindReply, kRequestImageInformationResult);
    writer.putString(resourceLocator);
    putInformation(writer, information);
    writer.putI32(result);
    return send(writer);
  }

  int updateSVXVersion(const CIPtr<CIString>& version, bool valid) override {
    comm::WireWriter writer(comm::kKindReply, kUpdateSVXVersion);
    writer.putString(version);
    writer.putBool(valid);
    return send(writer);
  }

  // Pixels and file bytes for this client come from its connection's pool.
  CIInt8Array::Storage* allocateArrayStorage(uint32_t size, bool* refused) override {
    *refused = false;
    std::shared_ptr<comm::Connection> connection = m_connection.lock();
    return connection != nullptr ? connection->allocatePooled(size, refused) : nullptr;
  }

 private:
  int send(comm::WireWriter& writer) {
    std::shared_ptr<comm::Connection> connection = m_connection.lock();
    if (connection == nullptr) {
      kor::ErrorStorage::set("client has gone away");
      return -1;
    }
    return connection->send(writer);
  }

  // Weak: the transport owns the connection; a closed one is released there.
  const std::weak_ptr<comm::Connection> m_connection;
};

// One accepted connection: decodes its requests into slot calls.
class ImageServerSession : public comm::ServiceSession {
 public:
  explicit ImageServerSession(WireReplyEndpoint* endpoint) : m_reply(endpoint) {}

  comm::Status dispatch(comm::ServiceTarget* target, comm::WireMessage& message) override {
    ImageServerSkeletonBase* skeleton = dynamic_cast<ImageServerSkeletonBase*>(target);
    if (skeleton == nullptr)
      return kor::Status::error(kor::Status::kProtocol, "target is not an image service");
    if (!message.fds.empty())
      return kor::Status::error(kor::Status::kProtocol, "request carries descriptors");
    comm::WireReader reader(message.payload, message.size);
    CIPtr<CIPtrArray<CIString>> locators;
    CIPtr<CIUInt32Array> ids;
    uint32_t id = 0;
    int8_t scaling = 0;
    bool decode = false;
    switch (message.slot) {
      case kRequestImage:
        reader.getStringArray(&locators);
        reader.getI8(&scaling);
        reader.getBool(&decode);
        break;
      case kRequestImageInformation:
        reader.getStringArray(&locators);
        break;
      case kSetNotificationOne:
      case kClearNotificationOne:
        reader.getU32(&id);
        break;
      case kSetNotificationList:
      case kClearNotificationList:
        reader.getUInt32Array(&ids);
        break;
      case kSetNotificationAll:
      case kClearNotificationAll:
      case kReservedHook1:
      case kReservedHook2:
        break;
      default:
        return kor::Status::error(kor::Status::kProtocol, "unknown slot %u", message.slot);
    }
    if (!reader.finish())
      return kor::Status::error(kor::Status::kProtocol, "malformed request for slot %u: %s",
                                message.slot, reader.status().message());

    ImageServerProxyReply reply(m_reply);
    switch (message.slot) {
      case kRequestImage:
        skeleton->requestImage(locators, scaling, decode, reply);
        break;
      case kRequestImageInformation:
        skeleton->requestImageInformation(locators, reply);
        break;
      case kSetNotificationAll:
        skeleton->setNotification(reply);
        break;
      case kSetNotificationOne:
        skeleton->setNotification(id, reply);
        break;
      case kSetNotificationList:
        skeleton->setNotification(ids, reply);
        break;
      case kClearNotificationAll:
        skeleton->clearNotification(reply);
        break;
      case kClearNotificationOne:
        skeleton->clearNotification(id, reply);
        break;
      case kClearNotificationList:
        skeleton->clearNotification(ids, reply);
        break;
      case kReservedHook1:
        skeleton->onReservedHook1();
        break;
      case kReservedHook2:
        skeleton->onReservedHook2();
        break;
    }
    return comm::Status();
  }

  // File bytes and pixels; information records and versions are small.
  bool answersTakeSharedMemory(uint32_t slot) const override { return slot == kRequestImage; }

  bool idle() override { return owedAnswers() == 0; }

  // Each job holds a copy of the client's reply proxy; so do a subscription
  // and a request being dispatched.
  size_t owedAnswers() override {
    const comm::Endpoint* endpoint = m_reply.endpoint();
    const int32_t copies = endpoint != nullptr ? endpoint->proxyCount() : 0;
    return copies > 1 ? static_cast<size_t>(copies - 1) : 0;  // all but m_reply
  }

  void onClosed() override {
    // Closing the endpoint drops the client's subscriptions; answers still
    // in the job queue then fail with "client has gone away". The client's
    // decoder process ends now (one at work is killed by the cancellation
    // of its job).
    comm::Endpoint* endpoint = m_reply.endpoint();
    if (endpoint == nullptr) return;
    endpoint->close();
    lumo::releaseDecoder(endpoint->serial());
  }

 private:
  const ImageServerProxyReply m_reply;  // keeps the endpoint alive
};

class ImageServerBinding : public comm::InterfaceBinding {
 public:
  comm::ServiceSession* openSession(const std::shared_ptr<comm::Connection>& connection) override {
    WireReplyEndpoint* endpoint = new (std::nothrow) WireReplyEndpoint(connection);
    if (endpoint == nullptr) return nullptr;
    ImageServerSession* session = new (std::nothrow) ImageServerSession(endpoint);
    if (session == nullptr) delete endpoint;  // no proxy holds it yet
    return session;
  }
};

}  // namespace

bool installTransport() {
  static std::once_flag once;
  std::call_once(once, [] {
    static ImageServerBinding* binding = new ImageServerBinding();  // lives as long as the process
    comm::Transport::getInstance().bindInterface(kServiceName, binding);
    comm::installSegmentAllocator(comm::kSegmentThreshold);
  });
  return comm::Transport::getInstance().activate();
}

}  // namespace wire
}  // namespace imageserver
}  // namespace svx
