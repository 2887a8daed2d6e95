// The engine's entry points: the limits every decode checks, and one decode
// or information request run in this process or handed to a decoder
// process.
#include <algorithm>
#include <string_view>

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

bool checkDimensions(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) {
    kor::ErrorStorage::set("invalid image dimensions: %u x %u", width, height);
    return false;
  }
  const uint64_t pixels = static_cast<uint64_t>(width) * height;
  const uint64_t rowCost = static_cast<uint64_t>(std::max(width, kMinRowPixels)) * height;
  if (pixels > kMaxPixels || rowCost > kMaxPixels || pixels * 4 > UINT32_MAX) {
    kor::ErrorStorage::set("image too large: %u x %u", width, height);
    return false;
  }
  return true;
}

bool cancelled() {
  if (!kor::isCancelled()) return false;
  kor::ErrorStorage::set("decoding cancelled");
  return true;
}

namespace {

// The first read of an information request: the headers of almost every
// file lie within it (JPEG files with a large Exif block read on).
constexpr size_t kHeaderReadBytes = 4096;

// Opens |path| (or takes the open file |fd|), recognises the format and runs
// its decoder on |pipeline|. An information request reads only the start of
// the file at first; a decode reads whole buffers from the start.
bool run(const util::UnicodeString8& path, int fd, uint64_t size, Pipeline& pipeline) {
  Source source(pipeline.infoOnly() ? kHeaderReadBytes : kSourceBufferBytes);
  if (!(fd >= 0 ? source.adopt(fd, size) : source.open(path.utf8()))) return false;
  const FormatDecoder decoder = findDecoder(source);
  if (decoder != nullptr) return decoder(source, pipeline);
  kor::ErrorStorage::set("not a supported image file: %s", path.utf8());
  return false;
}

}  // namespace

BitmapPtr localDecode(const util::UnicodeString8& path, int fd, uint64_t size,
                      BitmapInfo::Format format, uint32_t width, uint32_t height, bool scaled) {
  if (format < BitmapInfo::kFormatDefault || format > BitmapInfo::kFormatARGB8888) {
    kor::ErrorStorage::set("unsupported pixel format %d", static_cast<int>(format));
    return nullptr;
  }
  // A cancelled job costs no more than this.
  if (cancelled()) return nullptr;
  BitmapPtr bitmap;
  {
    Pipeline pipeline(format, width, height, scaled, false);
    if (run(path, fd, size, pipeline)) bitmap = pipeline.finish();
  }
  trimScratch();
  return bitmap;
}

BitmapInfo* localImageInfo(const util::UnicodeString8& path, int fd, uint64_t size) {
  Pipeline pipeline(BitmapInfo::kFormatDefault, 0, 0, false, true);
  run(path, fd, size, pipeline);
  trimScratch();
  if (!pipeline.headerSeen()) return nullptr;
  BitmapInfo* info = kor::tryNew<BitmapInfo>("lumo::BitmapInfo");
  if (info == nullptr) {
    kor::ErrorStorage::set("out of memory allocating image information");
    return nullptr;
  }
  const Header& header = pipeline.header();
  const bool turned = header.orientation >= 5;
  info->width = turned ? header.height : header.width;
  info->height = turned ? header.width : header.height;
  info->sourceType = header.sourceType;
  info->hasAlpha = header.hasAlpha;
  info->isGrey = header.isGrey;
  return info;
}

}  // namespace internal

Engine& Engine::getInstance() {
  static Engine engine;
  return engine;
}

// While the process runs decoder processes (startDecoders()), every image
// is read there; otherwise here.
BitmapInfo* Engine::getImageInfo(const util::UnicodeString8& path) {
  if (internal::decodersRunning()) return internal::remoteImageInfo(path);
  return internal::localImageInfo(path, -1, 0);
}

void Engine::destroyBitmapInfo(BitmapInfo* info) { delete info; }

Bitmap* Engine::createBitmap(const util::UnicodeString8& path, BitmapInfo::Format format,
                             LoadingListener* /*listener*/) {
  if (internal::decodersRunning())
    return internal::remoteDecode(path, format, 0, 0, false).release();
  return internal::localDecode(path, -1, 0, format, 0, 0, false).release();
}

Bitmap* Engine::createBitmap(const util::UnicodeString8& path, BitmapInfo::Format format,
                             const Vec2<unsigned int>& size, Bitmap::ScalingMethod method,
                             bool keepAspect, LoadingListener* /*listener*/) {
  if (method != Bitmap::kScalingAreaAverage) {
    kor::ErrorStorage::set("unsupported scaling method %d", static_cast<int>(method));
    return nullptr;
  }
  if (keepAspect) {
    kor::ErrorStorage::set("keeping the aspect ratio is not supported");
    return nullptr;
  }
  if (internal::decodersRunning())
    return internal::remoteDecode(path, format, size.x, size.y, true).release();
  return internal::localDecode(path, -1, 0, format, size.x, size.y, true).release();
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

FileFault classifyFailure(const char* reason) {
  if (reason == nullptr) return FileFault::kOther;
  const std::string_view text(reason);
  if (text.starts_with("not a supported image file")) return FileFault::kNotAnImage;
  if (text.starts_with("cannot open ")) {
    if (text.ends_with(": Permission denied") || text.ends_with(": Operation not permitted"))
      return FileFault::kUnreadable;
    if (text.ends_with(": No such file or directory")) return FileFault::kMissing;
  }
  // The codecs' texts for data that breaks its format.
  static const char* const kDamaged[] = {"invalid ", "truncated ", "image data incomplete"};
  for (const char* prefix : kDamaged)
    if (text.starts_with(prefix)) return FileFault::kDamaged;
  return FileFault::kOther;
}

}  // namespace lumo
