// The reply interface of the image service: what the service calls on a
// client. A client's reply interface is an endpoint that implements
// ImageServerReplyEndpoint; the service holds it through
// ImageServerProxyReply.
#ifndef SVX_IMAGESERVER_IMAGESERVERPROXYREPLY_H_
#define SVX_IMAGESERVER_IMAGESERVERPROXYREPLY_H_

#include "platform/comm.h"
#include "platform/kor.h"
#include "svx/imageserver/ImageServerTypes.h"

namespace svx {
namespace imageserver {

// The identity of the reply interface.
kor::UUID replyInterfaceUuid();

// The far end of a client's reply interface. Slot order: requestImageResult,
// requestImageInformationResult, updateSVXVersion. Each returns 0 when the
// call was delivered (queued for the client), non-zero when it failed, with
// the reason left in the calling thread's kor::ErrorStorage. Implementations
// are thread-safe.
class ImageServerReplyEndpoint : public comm::Endpoint {
 public:
  ImageServerReplyEndpoint() : comm::Endpoint(replyInterfaceUuid()) {}

  virtual int requestImageResult(const CIPtr<CIString>& resourceLocator, const CIPtr<Image>& image,
                                 Result result) = 0;
  virtual int requestImageInformationResult(const CIPtr<CIString>& resourceLocator,
                                            const CIPtr<ImageInformation>& information,
                                            Result result) = 0;
  virtual int updateSVXVersion(const CIPtr<CIString>& version, bool valid) = 0;
};

// A client's reply proxy. Copyable; usable from any thread. Every operation
// returns non-zero on failure with the reason in kor::ErrorStorage (a proxy
// that designates no reply endpoint, or a closed one, fails).
class ImageServerProxyReply : public comm::Proxy {
 public:
  ImageServerProxyReply() = default;
  explicit ImageServerProxyReply(ImageServerReplyEndpoint* endpoint) : comm::Proxy(endpoint) {}
  // Designates the same endpoint as |proxy| (a subscriber, for instance).
  explicit ImageServerProxyReply(const comm::Proxy& proxy) : comm::Proxy(proxy) {}

  int requestImageResult(const CIPtr<CIString>& resourceLocator, const CIPtr<Image>& image,
                         Result result);
  int requestImageInformationResult(const CIPtr<CIString>& resourceLocator,
                                    const CIPtr<ImageInformation>& information, Result result);
  int updateSVXVersion(const CIPtr<CIString>& version, bool valid);

  // The reply endpoint of |proxy|, or null when it designates none (or an
  // endpoint of another interface).
  static ImageServerReplyEndpoint* replyEndpoint(const comm::Proxy& proxy);
};

}  // namespace imageserver
}  // namespace svx

#endif  // SVX_IMAGESERVER_IMAGESERVERPROXYREPLY_H_
