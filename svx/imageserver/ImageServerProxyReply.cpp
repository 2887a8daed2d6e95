#include "svx/imageserver/ImageServerProxyReply.h"

namespace svx {
namespace imageserver {

kor::UUID replyInterfaceUuid() {
  return kor::UUID(0x4859e928, 0x623e, 0x4248, 0x8210, 0xd5, 0x54, 0x53, 0xbe, 0xf3, 0xa4);
}

ImageServerReplyEndpoint* ImageServerProxyReply::replyEndpoint(const comm::Proxy& proxy) {
  comm::Endpoint* endpoint = proxy.endpoint();
  if (endpoint == nullptr || endpoint->interfaceId() != replyInterfaceUuid()) return nullptr;
  return static_cast<ImageServerReplyEndpoint*>(endpoint);
}

namespace {

// The endpoint to call, or null with the reason recorded.
ImageServerReplyEndpoint* usableEndpoint(const comm::Proxy& proxy) {
  ImageServerReplyEndpoint* endpoint = ImageServerProxyReply::replyEndpoint(proxy);
  if (endpoint == nullptr) {
    kor::ErrorStorage::set("reply proxy designates no reply interface");
    return nullptr;
  }
  if (endpoint->isClosed()) {
    kor::ErrorStorage::set("client has gone away");
    return nullptr;
  }
  return endpoint;
}

}  // namespace

int ImageServerProxyReply::requestImageResult(const CIPtr<CIString>& resourceLocator,
                                              const CIPtr<Image>& image, Result result) {
  ImageServerReplyEndpoint* endpoint = usableEndpoint(*this);
  return endpoint != nullptr ? endpoint->requestImageResult(resourceLocator, image, result) : -1;
}

int ImageServerProxyReply::requestImageInformationResult(const CIPtr<CIString>& resourceLocator,
                                                         const CIPtr<ImageInformation>& information,
                                                         Result result) {
  ImageServerReplyEndpoint* endpoint = usableEndpoint(*this);
  return endpoint != nullptr
             ? endpoint->requestImageInformationResult(resourceLocator, information, result)
             : -1;
}

int ImageServerProxyReply::updateSVXVersion(const CIPtr<CIString>& version, bool valid) {
  ImageServerReplyEndpoint* endpoint = usableEndpoint(*this);
  return endpoint != nullptr ? endpoint->updateSVXVersion(version, valid) : -1;
}

}  // namespace imageserver
}  // namespace svx
