// The engine's entry points: the limits every decode checks, and one decode
// or information request run in this process or handed to a decoder
// process.
#include <algorithm>

#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/sandbox.h"
#include "platform/osal.h"

namespace lumo {

uint32_t BitmapInfo::getBpp(Format format) {
  switch (format) {
    case kFormatL8:
      return 1;
    case kFormatLA88:
    case kFormatRGB565:
      return 2;
    case kFormatRGB888:
    case kFormatBGR888:
      return 3;
    case kFormatRGBA8888:
    case kFormatBGRA8888:
    case kFormatARGB8888:
      return 4;
    default:
      return 0;
  }
}

namespace internal {

kor::Status checkDimensions(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0)
    return kor::Status::error(kor::Status::kCorrupt, "invalid image dimensions: %u x %u", width,
                              height);
  const uint64_t pixels = static_cast<uint64_t>(width) * height;
  const uint64_t rowCost = static_cast<uint64_t>(std::max(width, kMinRowPixels)) * height;
  if (pixels > kMaxPixels || rowCost > kMaxPixels || pixels * 4 > UINT32_MAX)
    return kor::Status::error(kor::Status::kLimit, "image too large: %u x %u", width, height);
  return kor::Status();
}

kor::Status checkCancelled() {
  if (!kor::isCancelled()) return kor::Status();
  return kor::Status::error(kor::Status::kCancelled, "decoding cancelled");
}

kor::Status outOfMemory(const char* what) {
  return kor::Status::error(kor::Status::kNoMemory, "out of memory %s", what);
}

namespace {

// The first read of an information request: the headers of almost every
// file lie within it (JPEG files with a large Exif block read on).
constexpr size_t kHeaderReadBytes = 4096;

// Opens |path| (or takes the open file |fd|), recognises the format and runs
// its decoder on |pipeline|. An information request reads only the start of
// the file at first; a decode reads whole buffers from the start.
kor::Status run(const util::UnicodeString8& path, int fd, uint64_t size, Pipeline& pipeline) {
  Source source(pipeline.infoOnly() ? kHeaderReadBytes : kSourceBufferBytes);
  kor::Status status = fd >= 0 ? source.adopt(fd, size) : source.open(path.utf8());
  if (!status.ok()) return status;
  const FormatDecoder decoder = findDecoder(source);
  if (decoder != nullptr) return decoder(source, pipeline);
  return kor::Status::error(kor::Status::kUnsupported, "not a supported image file: %s",
                            path.utf8());
}

}  // namespace

kor::Status checkFormat(BitmapInfo::Format format) {
  if (format >= BitmapInfo::kFormatDefault && format <= BitmapInfo::kFormatARGB8888)
    return kor::Status();
  return kor::Status::error(kor::Status::kInvalidArgument, "unsupported pixel format %d",
                            static_cast<int>(format));
}

BitmapPtr localDecode(const util::UnicodeString8& path, int fd, uint64_t size,
                      BitmapInfo::Format format, uint32_t width, uint32_t height, bool scaled,
                      kor::Status* status) {
  *status = checkFormat(format);
  // A cancelled job costs no more than this.
  if (status->ok()) *status = checkCancelled();
  if (!status->ok()) return nullptr;
  BitmapPtr bitmap;
  {
    Pipeline pipeline(format, width, height, scaled, false);
    *status = run(path, fd, size, pipeline);
    if (status->ok()) bitmap = pipeline.finish(status);
  }
  trimScratch();
  return bitmap;
}

BitmapInfo* localImageInfo(const util::UnicodeString8& path, int fd, uint64_t size,
                           kor::Status* status) {
  Pipeline pipeline(BitmapInfo::kFormatDefault, 0, 0, false, true);
  *status = run(path, fd, size, pipeline);
  trimScratch();
  if (!pipeline.headerSeen()) return nullptr;
  BitmapInfo* info = kor::tryNew<BitmapInfo>("lumo::BitmapInfo");
  if (info == nullptr) {
    *status = outOfMemory("allocating image information");
    return nullptr;
  }
  *status = kor::Status();
  const Header& header = pipeline.header();
  const bool turned = header.orientation >= 5;
  info->width = turned ? header.height : header.width;
  info->height = turned ? header.width : header.height;
  info->sourceType = header.sourceType;
  info->hasAlpha = header.hasAlpha;
  info->isGrey = header.isGrey;
  return info;
}

namespace {

// The public calls' convention: null with the reason in kor::ErrorStorage.
template <typename T>
T* toErrorStorage(T* result, const kor::Status& status) {
  if (result == nullptr) kor::toErrorStorage(status);
  return result;
}

}  // namespace

}  // namespace internal

Engine& Engine::getInstance() {
  static Engine engine;
  return engine;
}

// While the process runs decoder processes (startDecoders()), every image
// is read there; otherwise here.
BitmapInfo* Engine::getImageInfo(const util::UnicodeString8& path) {
  kor::Status status;
  BitmapInfo* info = internal::decodersRunning() ? internal::remoteImageInfo(path, &status)
                                                 : internal::localImageInfo(path, -1, 0, &status);
  return internal::toErrorStorage(info, status);
}

void Engine::destroyBitmapInfo(BitmapInfo* info) { delete info; }

Bitmap* Engine::createBitmap(const util::UnicodeString8& path, BitmapInfo::Format format,
                             LoadingListener* /*listener*/) {
  kor::Status status;
  internal::BitmapPtr bitmap =
      internal::decodersRunning()
          ? internal::remoteDecode(path, format, 0, 0, false, &status)
          : internal::localDecode(path, -1, 0, format, 0, 0, false, &status);
  return internal::toErrorStorage(bitmap.release(), status);
}

Bitmap* Engine::createBitmap(const util::UnicodeString8& path, BitmapInfo::Format format,
                             const Vec2<unsigned int>& size, Bitmap::ScalingMethod method,
                             bool keepAspect, LoadingListener* /*listener*/) {
  kor::Status status;
  internal::BitmapPtr bitmap;
  if (method != Bitmap::kScalingAreaAverage)
    status = kor::Status::error(kor::Status::kInvalidArgument, "unsupported scaling method %d",
                                static_cast<int>(method));
  else if (keepAspect)
    status = kor::Status::error(kor::Status::kInvalidArgument,
                                "keeping the aspect ratio is not supported");
  else if (internal::decodersRunning())
    bitmap = internal::remoteDecode(path, format, size.x, size.y, true, &status);
  else
    bitmap = internal::localDecode(path, -1, 0, format, size.x, size.y, true, &status);
  return internal::toErrorStorage(bitmap.release(), status);
}

void Engine::destroyBitmap(Bitmap* bitmap) {
  if (bitmap == nullptr) return;
  auto* record = static_cast<internal::BitmapRecord*>(bitmap);
  if (record->provider != nullptr) {
    record->provider->releasePixels(record->pixels);
  } else {
    internal::givePixelBuffer(record->pixels, size_t{record->stride} * record->height);
    internal::trimHeap();
  }
  delete record;
}

}  // namespace lumo
