// imageserver-bench's in-process baselines: the libraries' own decoders
// (libjpeg-turbo, libspng, giflib) and read() of a whole file, run in the
// client process on the same files as the service.
#include <fcntl.h>
#include <gif_lib.h>
#include <spng.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "bench.h"
#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/sandbox.h"

namespace bench {

// ---------------------------------------------------------------------------
// In-process baselines

namespace {

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Decodes with libjpeg-turbo's defaults (islow IDCT, fancy upsampling) into
// packed RGB, scaled by 1/denominator in the IDCT, straight into |buffer|.
// No object with a destructor lives in this frame.
bool decodeJpegInto(FILE* file, int denominator, Buffer* buffer, Pixels* out) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = jpegErrorExit;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  cinfo.scale_num = 1;
  cinfo.scale_denom = static_cast<unsigned int>(denominator);
  jpeg_start_decompress(&cinfo);
  const size_t stride = size_t{cinfo.output_width} * 3;
  out->size = stride * cinfo.output_height;
  out->width = cinfo.output_width;
  out->height = cinfo.output_height;
  uint8_t* base = buffer->ensure(out->size);
  out->data = base;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[16];
    const int count =
        std::min<int>(16, static_cast<int>(cinfo.output_height - cinfo.output_scanline));
    for (int i = 0; i < count; ++i) rows[i] = base + (cinfo.output_scanline + i) * stride;
    jpeg_read_scanlines(&cinfo, rows, static_cast<JDIMENSION>(count));
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

Pixels decodeJpeg(const std::string& path, int denominator, Buffer* buffer) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) fail("cannot open " + path);
  Pixels pixels;
  const bool ok = decodeJpegInto(file, denominator, buffer, &pixels);
  std::fclose(file);
  if (!ok) fail("libjpeg-turbo failed on " + path);
  return pixels;
}

// libspng into packed RGB8 (the file's own layout), one call.
Pixels decodePng(const std::string& path, Buffer* buffer) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) fail("cannot open " + path);
  spng_ctx* ctx = spng_ctx_new(0);
  Pixels pixels;
  spng_ihdr ihdr;
  size_t size = 0;
  bool ok = ctx != nullptr && spng_set_png_file(ctx, file) == 0 && spng_get_ihdr(ctx, &ihdr) == 0 &&
            spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size) == 0;
  if (ok) {
    uint8_t* data = buffer->ensure(size);
    pixels.data = data;
    pixels.size = size;
    pixels.width = ihdr.width;
    pixels.height = ihdr.height;
    ok = spng_decode_image(ctx, data, size, SPNG_FMT_RGB8, 0) == 0;
  }
  spng_ctx_free(ctx);
  std::fclose(file);
  if (!ok) fail("libspng failed on " + path);
  return pixels;
}

// giflib: the first frame, line by line, each line expanded through the
// colour map into packed RGB (the least a consumer of pixels needs).
Pixels decodeGif(const std::string& path, Buffer* buffer) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) fail("giflib cannot open " + path);
  Pixels pixels;
  bool done = false;
  bool ok = true;
  std::vector<GifPixelType> line;
  while (ok && !done) {
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) {
      ok = false;
      break;
    }
    if (type == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType* data;
      ok = DGifGetExtension(gif, &code, &data) != GIF_ERROR;
      while (ok && data != nullptr) ok = DGifGetExtensionNext(gif, &data) != GIF_ERROR;
    } else if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif) == GIF_ERROR) {
        ok = false;
        break;
      }
      const GifImageDesc& desc = gif->Image;
      const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif->SColorMap;
      if (map == nullptr || desc.Interlace) {
        ok = false;  // the benchmark's GIF has a global map and no interlace
        break;
      }
      pixels.width = static_cast<uint32_t>(desc.Width);
      pixels.height = static_cast<uint32_t>(desc.Height);
      pixels.size = size_t{pixels.width} * pixels.height * 3;
      uint8_t* data = buffer->ensure(pixels.size);
      pixels.data = data;
      line.resize(pixels.width);
      for (uint32_t y = 0; ok && y < pixels.height; ++y) {
        ok = DGifGetLine(gif, line.data(), desc.Width) != GIF_ERROR;
        uint8_t* row = data + size_t{y} * pixels.width * 3;
        for (uint32_t x = 0; x < pixels.width; ++x) {
          const GifColorType& c = map->Colors[line[x] < map->ColorCount ? line[x] : 0];
          row[x * 3] = c.Red;
          row[x * 3 + 1] = c.Green;
          row[x * 3 + 2] = c.Blue;
        }
      }
      done = true;
    } else if (type == TERMINATE_RECORD_TYPE) {
      break;
    }
  }
  DGifCloseFile(gif, &error);
  if (!ok || !done) fail("giflib failed on " + path);
  return pixels;
}

// open + fstat + read() of the whole file.
Pixels readWholeFile(const std::string& path, Buffer* buffer) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open " + path);
  struct stat status;
  if (fstat(fd, &status) != 0) {
    close(fd);
    fail("cannot stat " + path);
  }
  Pixels bytes;
  bytes.size = static_cast<size_t>(status.st_size);
  uint8_t* data = buffer->ensure(bytes.size);
  bytes.data = data;
  size_t done = 0;
  while (done < bytes.size) {
    const ssize_t n = read(fd, data + done, bytes.size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (done != bytes.size) fail("short read of " + path);
  return bytes;
}

// ---------------------------------------------------------------------------
// The image engine, here and in a decoder process

namespace {

// Decoder processes run from the first call that wants one; the engine's
// own calls in this process go around them.
void needDecoders() {
  static const bool started = lumo::startDecoders();
  if (!started) fail("cannot start decoder processes");
}

}  // namespace

double engineInfo(const std::string& path, bool inDecoder, int count) {
  if (inDecoder) needDecoders();
  const util::UnicodeString8 name(path.c_str());
  lumo::DecoderScope client(1);
  const double t0 = now();
  for (int i = 0; i < count; ++i) {
    kor::Status status;
    lumo::BitmapInfo* info = inDecoder ? lumo::Engine::getInstance().getImageInfo(name)
                                       : lumo::internal::localImageInfo(name, -1, 0, &status);
    kor::toErrorStorage(status);
    if (info == nullptr) fail(std::string("engine information: ") + kor::ErrorStorage::reason());
    lumo::Engine::getInstance().destroyBitmapInfo(info);
  }
  return (now() - t0) / count * 1e6;
}

double engineDecode(const std::string& path, bool inDecoder, int count) {
  if (inDecoder) needDecoders();
  const util::UnicodeString8 name(path.c_str());
  lumo::DecoderScope client(1);
  const double t0 = now();
  for (int i = 0; i < count; ++i) {
    const lumo::Vec2<unsigned int> size = {125, 93};
    kor::Status status;
    lumo::Bitmap* bitmap =
        inDecoder ? lumo::Engine::getInstance().createBitmap(
                        name, lumo::BitmapInfo::kFormatDefault, size,
                        lumo::Bitmap::kScalingAreaAverage, false, nullptr)
                  : lumo::internal::localDecode(name, -1, 0, lumo::BitmapInfo::kFormatDefault,
                                                size.x, size.y, true, &status)
                        .release();
    kor::toErrorStorage(status);
    if (bitmap == nullptr) fail(std::string("engine decode: ") + kor::ErrorStorage::reason());
    readAll(bitmap->pixels, size_t{bitmap->stride} * bitmap->height);
    lumo::Engine::getInstance().destroyBitmap(bitmap);
  }
  return (now() - t0) / count * 1e6;
}

double decoderStartMs() {
  needDecoders();
  const double ms = lumo::internal::timeDecoderStart();
  if (ms < 0) fail("cannot start a decoder process");
  return ms;
}

}  // namespace bench
