// The values that the image service sends to its clients: status codes, the
// format enumeration and the information and image records.
#ifndef SVX_IMAGESERVER_IMAGESERVERTYPES_H_
#define SVX_IMAGESERVER_IMAGESERVERTYPES_H_

#include <cstdint>

#include "platform/comm.h"

namespace svx {
namespace imageserver {

// Status of every image and information answer.
enum Result : int32_t {
  RESULT_OK = 0,
  RESULT_OUT_OF_MEMORY = 1,
  RESULT_INVALID_IMAGE = 2,
  RESULT_READ_INCOMPLETE = 4,
};

// The name of |result| ("RESULT_OK", ...), or "RESULT_UNKNOWN".
const char* resultName(int32_t result);

// One enumeration for source types (0..4) and decoded pixel formats (5..12).
enum ImageFormat : int32_t {
  IMAGE_FORMAT_JPEG = 0,
  IMAGE_FORMAT_PNG = 1,
  IMAGE_FORMAT_GIF = 2,
  IMAGE_FORMAT_BMP = 3,
  IMAGE_FORMAT_WEBP = 4,
  IMAGE_FORMAT_L8 = 5,
  IMAGE_FORMAT_LA88 = 6,
  IMAGE_FORMAT_RGB565 = 7,
  IMAGE_FORMAT_RGB888 = 8,
  IMAGE_FORMAT_BGR888 = 9,
  IMAGE_FORMAT_RGBA8888 = 10,
  IMAGE_FORMAT_BGRA8888 = 11,
  IMAGE_FORMAT_ARGB8888 = 12,
  IMAGE_FORMAT_UNKNOWN = 13,
};

// The name of |format| without its prefix ("JPEG", "RGBA8888", ...), or
// "UNKNOWN".
const char* formatName(int32_t format);

// The information of one image. A new record has every field 0.
struct ImageInformation {
  ImageFormat format = IMAGE_FORMAT_JPEG;
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t hash = 0;
  int64_t fileSize = 0;
};

// The answer record of an image request.
struct Image {
  CIPtr<ImageInformation> imageInformation;  // empty unless attached
  bool decoded = false;                      // false: file bytes; true: pixels
  CIPtr<CIInt8Array> data;                   // the payload; empty when made
  uint32_t dataLength = 0;                   // payload bytes
};

class ImageFactory {
 public:
  // A new record with the initial values above; empty when memory is short.
  static CIPtr<Image> createImage();
};

}  // namespace imageserver
}  // namespace svx

#endif  // SVX_IMAGESERVER_IMAGESERVERTYPES_H_
