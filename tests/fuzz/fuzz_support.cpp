#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "platform/kor.h"
#include "platform/lumo.h"

namespace fuzzsupport {

const std::string& scratchDir() {
  static const std::string dir = [] {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/imageserver-fuzz-XXXXXX";
    char* made = mkdtemp(pattern.data());
    return std::string(made != nullptr ? made : "/tmp");
  }();
  return dir;
}

std::string writeScratch(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = scratchDir() + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (file != nullptr) {
    if (size > 0) fwrite(data, 1, size, file);
    fclose(file);
  }
  return path;
}

void exerciseEngine(const std::string& path, uint8_t scaleSeed) {
  lumo::Engine& engine = lumo::Engine::getInstance();
  util::UnicodeString8 file(path.c_str());
  lumo::BitmapInfo* info = engine.getImageInfo(file);
  kor::ErrorStorage::ack();
  if (info == nullptr) return;
  // Keep the work per input small: claimed sizes up to 1 Mi pixels are decoded
  // in full, up to 4 Mi pixels scaled; larger ones only have their header
  // read (a tiny RLE bitmap can legitimately claim hundreds of megapixels).
  const uint64_t pixels = uint64_t(info->width) * info->height;
  const bool small = pixels <= 1u << 20;
  const bool scalable = pixels <= 1u << 22;
  const lumo::Vec2<unsigned int> target = {info->width / (1u + scaleSeed % 9u),
                                           info->height / (1u + scaleSeed % 9u)};
  engine.destroyBitmapInfo(info);

  if (small) {
    lumo::Bitmap* full = engine.createBitmap(file, lumo::BitmapInfo::kFormatDefault, nullptr);
    kor::ErrorStorage::ack();
    engine.destroyBitmap(full);
  }
  if (!scalable) return;
  lumo::Bitmap* scaled =
      engine.createBitmap(file, static_cast<lumo::BitmapInfo::Format>(scaleSeed % 9u), target,
                          lumo::Bitmap::kScalingAreaAverage, false, nullptr);
  kor::ErrorStorage::ack();
  engine.destroyBitmap(scaled);
}

}  // namespace fuzzsupport
