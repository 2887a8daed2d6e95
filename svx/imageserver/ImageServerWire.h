// The wire binding of "svx.imageserver.ImageServer": operation slots and
// argument layouts on the transport (platform/transport.h), and the
// installation of the transport for this service.
//
// Requests (kind 1), slot: arguments
//   0 requestImage                string array locators, i8 scaling, bool decode
//   1 requestImageInformation     string array locators
//   2 setNotification()           -
//   3 setNotification(id)         u32 attribute id
//   4 setNotification(ids)        u32 array
//   5 clearNotification()         -
//   6 clearNotification(id)       u32 attribute id
//   7 clearNotification(ids)      u32 array
//   8, 9 reserved hooks           -
// The reply proxy and the subscriber of slots 0 to 7 are the sending
// connection's reply interface; requests carry no descriptors.
//
// Replies (kind 2), slot: arguments
//   0 requestImageResult            string locator, image, i32 result
//   1 requestImageInformationResult string locator, information, i32 result
//   2 updateSVXVersion              string version, bool valid
// where
//   information = u8 present; if present: i32 format, u32 width, u32 height,
//                 i64 hash, i64 fileSize
//   image       = u8 present; if present: information, bool decoded,
//                 byte array data, u32 dataLength
#ifndef SVX_IMAGESERVER_IMAGESERVERWIRE_H_
#define SVX_IMAGESERVER_IMAGESERVERWIRE_H_

#include <cstdint>

namespace svx {
namespace imageserver {
namespace wire {

enum RequestSlot : uint32_t {
  kRequestImage = 0,
  kRequestImageInformation = 1,
  kSetNotificationAll = 2,
  kSetNotificationOne = 3,
  kSetNotificationList = 4,
  kClearNotificationAll = 5,
  kClearNotificationOne = 6,
  kClearNotificationList = 7,
  kReservedHook1 = 8,
  kReservedHook2 = 9,
};

enum ReplySlot : uint32_t {
  kRequestImageResult = 0,
  kRequestImageInformationResult = 1,
  kUpdateSVXVersion = 2,
};

// Binds this interface to the transport, installs the segment allocator for
// large byte arrays and the transport as the service directory's listener,
// so that every later registration of the service also listens on its
// socket. The service's skeleton calls it when it registers; the dispatch
// threads start with the first listening service and end when the last one
// is gone and its clients are served. Idempotent and thread-safe. False
// when the event loop cannot be created.
bool installTransport();

}  // namespace wire
}  // namespace imageserver
}  // namespace svx

#endif  // SVX_IMAGESERVER_IMAGESERVERWIRE_H_
