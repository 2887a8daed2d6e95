#include <climits>

#include "imageserver/Channels.h"
#include "imageserver/ImageServer.h"

using svx::imageserver::ImageFormat;
using svx::imageserver::ImageInformation;
using svx::imageserver::Result;

void ImageServer::logFileFault(const CIPtr<CIString>& locator) {
  // As much of the locator as tells it from others, as on the intake's
  // cause lines.
  constexpr int kLocatorBytes = 256;
  if (!g_workerChannel.isEnabled(3)) return;
  // Only the causes that lie with the file are named; memory, limits,
  // cancellation and the decoder processes' failures are not.
  const char* cause = nullptr;
  switch (kor::ErrorStorage::code()) {
    case kor::Status::kNotFound:
      cause = rejectionText(Rejection::kNoSuchFile);
      break;
    case kor::Status::kPermissionDenied:
      cause = rejectionText(Rejection::kPermissionDenied);
      break;
    case kor::Status::kUnsupported:
      cause = "not an image";
      break;
    case kor::Status::kCorrupt:
      cause = "damaged image";
      break;
    default:
      return;
  }
  g_workerChannel.logCV(3, "resourceLocator %.*s refused: %s", kLocatorBytes,
                        locator.isNull() ? "" : locator->utf8(), cause);
}

CIPtr<ImageInformation> ImageServer::getInfo(CIPtr<CIString> locator, Result& result) {
  util::UnicodeString8 path = resolvePath(locator);
  lumo::BitmapInfo* header = lumo::Engine::getInstance().getImageInfo(path);
  if (header == nullptr) {
    TRACE(g_workerChannel, 4, "getting file info for %s failed; %s",
          locator.isNull() ? "" : locator->utf8(), kor::ErrorStorage::reason());
    logFileFault(locator);
    kor::ErrorStorage::ack();
    result = svx::imageserver::RESULT_INVALID_IMAGE;
    return CIPtr<ImageInformation>();
  }

  CIPtr<ImageInformation> information(kor::tryNew<ImageInformation>("ImageInformation"));
  if (information.isNull()) {
    lumo::Engine::getInstance().destroyBitmapInfo(header);
    g_workerChannel.logC(4, "getInfo: OOM");
    result = svx::imageserver::RESULT_OUT_OF_MEMORY;
    return CIPtr<ImageInformation>();
  }

  information->format = getType(header->sourceType);
  information->width = header->width;
  information->height = header->height;
  lumo::Engine::getInstance().destroyBitmapInfo(header);

  long long size = 0;
  information->hash = calcHash(path, size);
  information->fileSize = size;
  result = svx::imageserver::RESULT_OK;
  return information;
}

long long ImageServer::calcHash(const util::UnicodeString8& path, long long& size) {
  // Opened (not only queried) so that a file this process may not read
  // measures 0, as it would for a reader; the size comes from the status
  // taken at the open.
  osal::RegularFile file;
  if (!file.open(path.utf8()).ok()) {
    size = 0;
    return 0;
  }
  long long position = file.size();
  file.close();
  // Sizes are 32-bit quantities: a position past the signed 32-bit range
  // counts as unmeasurable, like a failed ftell.
  if (position < 0 || position > INT32_MAX) position = 0;
  size = position;
  return static_cast<long long>((static_cast<unsigned long long>(position) << 32) |
                                static_cast<unsigned long long>(position));
}

ImageFormat ImageServer::getType(lumo::BitmapInfo::SourceType type) {
  uint32_t index = static_cast<uint32_t>(type) - 1u;
  return index < 5u ? static_cast<ImageFormat>(index) : svx::imageserver::IMAGE_FORMAT_UNKNOWN;
}

ImageFormat ImageServer::getFormat(lumo::BitmapInfo::Format format) {
  uint32_t index = static_cast<uint32_t>(format) - 1u;
  return index < 8u ? static_cast<ImageFormat>(index + 5u) : svx::imageserver::IMAGE_FORMAT_UNKNOWN;
}
