#include "svx/imageserver/ImageServerTypes.h"

namespace svx {
namespace imageserver {

const char* resultName(int32_t result) {
  switch (result) {
    case RESULT_OK:
      return "RESULT_OK";
    case RESULT_OUT_OF_MEMORY:
      return "RESULT_OUT_OF_MEMORY";
    case RESULT_INVALID_IMAGE:
      return "RESULT_INVALID_IMAGE";
    case RESULT_READ_INCOMPLETE:
      return "RESULT_READ_INCOMPLETE";
    default:
      return "RESULT_UNKNOWN";
  }
}

const char* formatName(int32_t format) {
  static const char* const kNames[] = {"JPEG",     "PNG",      "GIF",     "BMP",    "WEBP",
                                       "L8",       "LA88",     "RGB565",  "RGB888", "BGR888",
                                       "RGBA8888", "BGRA8888", "ARGB8888"};
  if (format < 0 || format >= static_cast<int32_t>(sizeof(kNames) / sizeof(kNames[0])))
    return "UNKNOWN";
  return kNames[format];
}

CIPtr<Image> ImageFactory::createImage() { return CIPtr<Image>(kor::tryNew<Image>("Image")); }

}  // namespace imageserver
}  // namespace svx
