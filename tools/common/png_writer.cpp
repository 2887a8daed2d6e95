#include "tools/common/png_writer.h"

#include <spng.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tools {

namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct ContextFreer {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

bool validShape(uint32_t width, uint32_t height, int channels, std::string& error) {
  if (width == 0 || height == 0 || channels < 1 || channels > 4) {
    error = "no pixels to write";
    return false;
  }
  return true;
}

// Closes |file| and reports a failed write or close.
bool finish(File file, const std::string& path, std::string& error) {
  bool failed = std::ferror(file.get()) != 0;
  if (std::fclose(file.release()) != 0) failed = true;
  if (failed) error = path + ": " + std::strerror(errno);
  return !failed;
}

}  // namespace

bool writePng(const std::string& path, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error) {
  if (!validShape(width, height, channels, error)) return false;
  static const uint8_t kColorTypes[] = {SPNG_COLOR_TYPE_GRAYSCALE, SPNG_COLOR_TYPE_GRAYSCALE_ALPHA,
                                        SPNG_COLOR_TYPE_TRUECOLOR, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA};
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<spng_ctx, ContextFreer> context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context) {
    error = "out of memory";
    return false;
  }
  spng_ihdr header = {};
  header.width = width;
  header.height = height;
  header.bit_depth = 8;
  header.color_type = kColorTypes[channels - 1];
  int status = spng_set_png_file(context.get(), file.get());
  if (status == 0) status = spng_set_ihdr(context.get(), &header);
  if (status == 0) {
    size_t size = static_cast<size_t>(width) * height * static_cast<size_t>(channels);
    status = spng_encode_image(context.get(), pixels, size, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  }
  if (status != 0) {
    error = path + ": " + spng_strerror(status);
    return false;
  }
  context.reset();  // flushes nothing further; the file is complete
  return finish(std::move(file), path, error);
}

bool writePam(const std::string& path, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error) {
  if (!validShape(width, height, channels, error)) return false;
  static const char* const kTupleTypes[] = {"GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::fprintf(file.get(), "P7\nWIDTH %u\nHEIGHT %u\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n",
               width, height, channels, kTupleTypes[channels - 1]);
  std::fwrite(pixels, static_cast<size_t>(width) * channels, height, file.get());
  return finish(std::move(file), path, error);
}

}  // namespace tools
