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

// Flushes a stream that stays open and reports a failed write.
bool flush(FILE* file, const std::string& name, std::string& error) {
  if (std::fflush(file) == 0 && std::ferror(file) == 0) return true;
  error = name + ": " + std::strerror(errno);
  return false;
}

File openForWriting(const std::string& path, std::string& error) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) error = path + ": " + std::strerror(errno);
  return file;
}

}  // namespace

bool writePng(FILE* file, const std::string& name, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error, int compression) {
  if (!validShape(width, height, channels, error)) return false;
  static const uint8_t kColorTypes[] = {SPNG_COLOR_TYPE_GRAYSCALE, SPNG_COLOR_TYPE_GRAYSCALE_ALPHA,
                                        SPNG_COLOR_TYPE_TRUECOLOR, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA};
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
  // The adaptive filter choice tries every filter on every row, and the
  // default zlib level searches hard for matches; on photos both cost far
  // more time than they save bytes. One fixed filter ("up": the row above
  // predicts well in photos) and a low level keep writing fast. Level 0
  // stores the rows unfiltered.
  if (compression < 0 || compression > 9) compression = kDefaultPngCompression;
  int status = spng_set_png_file(context.get(), file);
  if (status == 0) status = spng_set_option(context.get(), SPNG_IMG_COMPRESSION_LEVEL, compression);
  if (status == 0)
    status = spng_set_option(context.get(), SPNG_FILTER_CHOICE,
                             compression == 0 ? SPNG_DISABLE_FILTERING : SPNG_FILTER_CHOICE_UP);
  if (status == 0) status = spng_set_ihdr(context.get(), &header);
  if (status == 0) {
    size_t size = static_cast<size_t>(width) * height * static_cast<size_t>(channels);
    status = spng_encode_image(context.get(), pixels, size, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  }
  if (status != 0) {
    error = name + ": " + spng_strerror(status);
    return false;
  }
  return flush(file, name, error);
}

bool writePng(const std::string& path, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error, int compression) {
  if (!validShape(width, height, channels, error)) return false;
  File file = openForWriting(path, error);
  if (!file) return false;
  if (!writePng(file.get(), path, width, height, channels, pixels, error, compression))
    return false;
  return finish(std::move(file), path, error);
}

bool writePam(FILE* file, const std::string& name, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error) {
  if (!validShape(width, height, channels, error)) return false;
  static const char* const kTupleTypes[] = {"GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
  std::fprintf(file, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n", width,
               height, channels, kTupleTypes[channels - 1]);
  std::fwrite(pixels, static_cast<size_t>(width) * channels, height, file);
  return flush(file, name, error);
}

bool writePam(const std::string& path, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error) {
  if (!validShape(width, height, channels, error)) return false;
  File file = openForWriting(path, error);
  if (!file) return false;
  if (!writePam(file.get(), path, width, height, channels, pixels, error)) return false;
  return finish(std::move(file), path, error);
}

}  // namespace tools
