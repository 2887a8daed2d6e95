// PNG decoding: every colour type and bit depth, palettes with tRNS, Adam7.
//
// Non-interlaced images stream row by row through the pipeline, so scaling
// needs no full-size buffer. Interlaced images are decoded whole into a
// scratch buffer first (their rows only become final after the last pass)
// and then streamed. 16-bit samples are rounded to 8 bits.
#include <spng.h>

#include <cstring>

#include "platform/kor.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

bool fail(int error) {
  if (error == SPNG_IO_EOF)
    kor::ErrorStorage::set("truncated PNG data");
  else if (error == SPNG_IO_ERROR)
    kor::ErrorStorage::set("error reading PNG data");
  else
    kor::ErrorStorage::set("invalid PNG data: %s", spng_strerror(error));
  return false;
}

struct ContextDeleter {
  spng_ctx* context;
  ~ContextDeleter() { spng_ctx_free(context); }
};

// Reads as libspng's own file reader does: all |length| bytes or an end of
// file or read error.
int readSource(spng_ctx*, void* user, void* data, size_t length) {
  auto* source = static_cast<Source*>(user);
  if (source->read(data, length) == length) return 0;
  return source->atEnd() ? SPNG_IO_EOF : SPNG_IO_ERROR;
}

// Host-endian 16-bit RGBA to 8-bit RGBA, rounding.
void narrow(const uint8_t* in, uint32_t width, uint8_t* out) {
  const size_t count = size_t{width} * 4;
  for (size_t i = 0; i < count; ++i) {
    uint16_t v;
    std::memcpy(&v, in + i * 2, 2);
    out[i] = static_cast<uint8_t>((uint32_t{v} * 255 + 32767) / 65535);
  }
}

}  // namespace

bool decodePng(Source& source, Pipeline& pipeline) {
  spng_ctx* ctx = spng_ctx_new(0);
  if (ctx == nullptr) {
    kor::ErrorStorage::set("out of memory starting a PNG decoder");
    return false;
  }
  ContextDeleter deleter{ctx};
  spng_set_chunk_limits(ctx, kMaxPngChunkBytes, kMaxPngChunkCacheBytes);
  int error = spng_set_png_stream(ctx, readSource, &source);
  if (error != 0) return fail(error);
  spng_ihdr ihdr;
  error = spng_get_ihdr(ctx, &ihdr);
  if (error != 0) return fail(error);
  spng_trns trns;
  error = spng_get_trns(ctx, &trns);
  if (error != 0 && error != SPNG_ECHUNKAVAIL) return fail(error);
  const bool hasTrns = error == 0;

  Header header;
  header.width = ihdr.width;
  header.height = ihdr.height;
  header.sourceType = BitmapInfo::SOURCE_PNG;
  header.isGrey = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE ||
                  ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
  header.hasAlpha = hasTrns || ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                    ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  if (!pipeline.start(header)) return false;
  if (!pipeline.setRowSize(ihdr.width, ihdr.height)) return false;

  // 8-bit colour images that need no averaging or turning are decoded
  // straight into the bitmap in its own format.
  if (ihdr.interlace_method == SPNG_INTERLACE_NONE && ihdr.bit_depth <= 8 && !header.isGrey) {
    const bool alpha = header.hasAlpha;
    const BitmapInfo::Format native =
        alpha ? BitmapInfo::FORMAT_RGBA8888 : BitmapInfo::FORMAT_RGB888;
    if (pipeline.acceptsDirectRows(native, ihdr.width, ihdr.height)) {
      const int direct = alpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
      const size_t directBytes = size_t{ihdr.width} * (alpha ? 4 : 3);
      error =
          spng_decode_image(ctx, nullptr, 0, direct, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
      if (error != 0) return fail(error);
      for (uint32_t y = 0; y < ihdr.height; ++y) {
        error = spng_decode_row(ctx, pipeline.directRow(), directBytes);
        if (error != 0 && !(error == SPNG_EOI && y + 1 == ihdr.height)) return fail(error);
        pipeline.directRowDone();
      }
      return true;
    }
  }

  const bool wide = ihdr.bit_depth == 16;
  const int format = wide ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
  const size_t rowBytes = size_t{ihdr.width} * (wide ? 8 : 4);
  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{ihdr.width} * 4);
  if (rgba == nullptr) return false;
  RowSink& sink = pipeline.sink();

  if (ihdr.interlace_method != SPNG_INTERLACE_NONE) {
    size_t bytes = 0;
    error = spng_decoded_image_size(ctx, format, &bytes);
    if (error != 0) return fail(error);
    uint8_t* image = scratch(Scratch::kImage, bytes);
    if (image == nullptr) return false;
    error = spng_decode_image(ctx, image, bytes, format, SPNG_DECODE_TRNS);
    if (error != 0) return fail(error);
    for (uint32_t y = 0; y < ihdr.height; ++y) {
      const uint8_t* row = image + y * rowBytes;
      if (wide) {
        narrow(row, ihdr.width, rgba);
        row = rgba;
      }
      if (!sink.putRow(row)) return false;
    }
    return true;
  }

  error = spng_decode_image(ctx, nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
  if (error != 0) return fail(error);
  uint8_t* row = wide ? scratch(Scratch::kDecoderRow, rowBytes) : rgba;
  if (row == nullptr) return false;
  for (uint32_t y = 0; y < ihdr.height; ++y) {
    error = spng_decode_row(ctx, row, rowBytes);
    // The last row reports the end of the image instead of success.
    if (error != 0 && !(error == SPNG_EOI && y + 1 == ihdr.height)) return fail(error);
    if (wide) narrow(row, ihdr.width, rgba);
    if (!sink.putRow(rgba)) return false;
  }
  return true;
}

}  // namespace lumo::internal
