// HEIF (HEIC) and AVIF decoding (libheif, with its HEVC and AV1 decoders):
// the primary image, with the container's rotation, mirroring and cropping
// applied, so the information and the pixels describe the image as it is
// meant to be seen.
//
// libheif reads the file through the Source: the boxes that describe the
// images first (all an information request reads), then the coded data of
// the image it decodes. It decodes a whole image at once into an image of
// its own, whose rows then stream through the pipeline. A scaled decode
// takes the smallest thumbnail of the primary image that is at least the
// target size in both directions and has the image's shape, if the file has
// one; otherwise the primary image itself; the pipeline averages the rest.
//
// The size limit is checked from the image's dimensions before libheif
// decodes (and allocates) anything. libheif's C interface reports errors as
// values; an exception that would still escape it (memory) is caught here.
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>

#include "platform/kor.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

int64_t readerPosition(void* user) {
  return static_cast<int64_t>(static_cast<Source*>(user)->position());
}

int readerRead(void* data, size_t size, void* user) {
  return static_cast<Source*>(user)->read(data, size) == size ? 0 : -1;
}

int readerSeek(int64_t position, void* user) {
  if (position < 0) return -1;
  static_cast<Source*>(user)->seek(static_cast<uint64_t>(position));
  return 0;
}

heif_reader_grow_status readerWaitForSize(int64_t size, void* user) {
  return size >= 0 && static_cast<uint64_t>(size) <= static_cast<Source*>(user)->size()
             ? heif_reader_grow_status_size_reached
             : heif_reader_grow_status_size_beyond_eof;
}

const heif_reader kReader = {1, readerPosition, readerRead, readerSeek, readerWaitForSize};

bool fail(const heif_error& error, const Source& source) {
  if (source.failed())
    kor::ErrorStorage::set("error reading HEIF data");
  else if (error.code == heif_error_Memory_allocation_error)
    kor::ErrorStorage::set("out of memory decoding HEIF data");
  else if (error.code == heif_error_Unsupported_feature ||
           error.code == heif_error_Unsupported_filetype)
    kor::ErrorStorage::set("unsupported HEIF data: %s", error.message);
  else
    kor::ErrorStorage::set("invalid HEIF data: %s", error.message);
  return false;
}

// Everything libheif hands out, given back on every path.
struct Objects {
  heif_context* context = nullptr;
  heif_image_handle* primary = nullptr;
  heif_image_handle* thumbnail = nullptr;
  heif_decoding_options* options = nullptr;
  heif_image* image = nullptr;
  ~Objects() {
    heif_image_release(image);
    heif_decoding_options_free(options);
    heif_image_handle_release(thumbnail);
    heif_image_handle_release(primary);
    heif_context_free(context);
  }
};

// The smallest thumbnail of |primary| that is at least |width| x |height|
// and has the image's shape (within a pixel of its scaled size); null when
// there is none.
heif_image_handle* pickThumbnail(const heif_image_handle* primary, uint32_t width,
                                 uint32_t height) {
  const int count = heif_image_handle_get_number_of_thumbnails(primary);
  if (count <= 0) return nullptr;
  heif_item_id ids[16];
  const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids, 16);
  const uint64_t fullWidth = static_cast<uint32_t>(heif_image_handle_get_width(primary));
  const uint64_t fullHeight = static_cast<uint32_t>(heif_image_handle_get_height(primary));
  heif_image_handle* best = nullptr;
  uint64_t bestPixels = UINT64_MAX;
  for (int i = 0; i < listed; ++i) {
    heif_image_handle* thumbnail = nullptr;
    if (heif_image_handle_get_thumbnail(primary, ids[i], &thumbnail).code != heif_error_Ok)
      continue;
    const int w = heif_image_handle_get_width(thumbnail);
    const int h = heif_image_handle_get_height(thumbnail);
    const uint64_t pixels = uint64_t(std::max(w, 0)) * uint64_t(std::max(h, 0));
    const bool fits = w > 0 && h > 0 && uint64_t(w) >= width && uint64_t(h) >= height &&
                      uint64_t(w) <= fullWidth && uint64_t(h) <= fullHeight;
    // w / h == fullWidth / fullHeight, to within a pixel of either side.
    const uint64_t a = uint64_t(w) * fullHeight;
    const uint64_t b = uint64_t(h) * fullWidth;
    const bool sameShape = (a > b ? a - b : b - a) <= std::max(fullWidth, fullHeight);
    if (fits && sameShape && pixels < bestPixels) {
      heif_image_handle_release(best);
      best = thumbnail;
      bestPixels = pixels;
    } else {
      heif_image_handle_release(thumbnail);
    }
  }
  return best;
}

bool runHeif(Source& source, Pipeline& pipeline, Objects& o) {
  o.context = heif_context_alloc();
  if (o.context == nullptr) {
    kor::ErrorStorage::set("out of memory starting a HEIF decoder");
    return false;
  }
  heif_error error = heif_context_read_from_reader(o.context, &kReader, &source, nullptr);
  if (error.code != heif_error_Ok) return fail(error, source);
  error = heif_context_get_primary_image_handle(o.context, &o.primary);
  if (error.code != heif_error_Ok) return fail(error, source);
  const int width = heif_image_handle_get_width(o.primary);
  const int height = heif_image_handle_get_height(o.primary);
  Header header;
  header.width = static_cast<uint32_t>(std::max(width, 0));
  header.height = static_cast<uint32_t>(std::max(height, 0));
  header.sourceType = BitmapInfo::SOURCE_HEIF;
  header.hasAlpha = heif_image_handle_has_alpha_channel(o.primary) != 0;
  if (!pipeline.start(header)) return false;

  const uint32_t targetWidth = pipeline.storedTargetWidth();
  const uint32_t targetHeight = pipeline.storedTargetHeight();
  if (targetWidth < header.width || targetHeight < header.height)
    o.thumbnail = pickThumbnail(o.primary, targetWidth, targetHeight);
  const heif_image_handle* handle = o.thumbnail != nullptr ? o.thumbnail : o.primary;
  o.options = heif_decoding_options_alloc();
  if (o.options == nullptr) {
    kor::ErrorStorage::set("out of memory starting a HEIF decoder");
    return false;
  }
  o.options->convert_hdr_to_8bit = 1;
  // AV1 through libaom's decoder: libheif's dav1d plugin leaks a little of
  // dav1d's memory on some damaged files, which a host serving untrusted
  // files cannot afford; libaom gives the same pixels (AV1 decoding is
  // exact), more slowly. HEVC has its one decoder whatever this names.
  o.options->decoder_id = "aom";
  if (cancelled()) return false;
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  error = heif_decode_image(handle, &o.image, heif_colorspace_RGB,
                            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                            o.options);
  if (error.code != heif_error_Ok) return fail(error, source);

  const int decodedWidth = heif_image_get_width(o.image, heif_channel_interleaved);
  const int decodedHeight = heif_image_get_height(o.image, heif_channel_interleaved);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(o.image, heif_channel_interleaved, &stride);
  if (plane == nullptr || decodedWidth <= 0 || decodedHeight <= 0 ||
      heif_image_get_bits_per_pixel_range(o.image, heif_channel_interleaved) != 8) {
    kor::ErrorStorage::set("invalid HEIF data: the decoder gave no 8-bit RGB image");
    return false;
  }
  const auto rowWidth = static_cast<uint32_t>(decodedWidth);
  const auto rowCount = static_cast<uint32_t>(decodedHeight);
  // A thumbnail is decoded at its own size; the primary image must come out
  // at the size its header gave.
  if (handle == o.primary && (rowWidth != header.width || rowCount != header.height)) {
    kor::ErrorStorage::set("invalid HEIF data: decoded size %u x %u differs from %u x %u", rowWidth,
                           rowCount, header.width, header.height);
    return false;
  }
  if (!pipeline.setRowSize(rowWidth, rowCount)) return false;
  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{rowWidth} * 4);
  if (rgba == nullptr) return false;
  RowSink& sink = pipeline.sink();
  for (uint32_t y = 0; y < rowCount; ++y) {
    const uint8_t* row = plane + size_t{y} * static_cast<size_t>(stride);
    if (alpha) {
      std::memcpy(rgba, row, size_t{rowWidth} * 4);
    } else {
      for (uint32_t x = 0; x < rowWidth; ++x) {
        std::memcpy(rgba + size_t{x} * 4, row + size_t{x} * 3, 3);
        rgba[size_t{x} * 4 + 3] = 255;
      }
    }
    if (!sink.putRow(rgba) || pipeline.rowCancelled()) return false;
  }
  return true;
}

}  // namespace

bool decodeHeif(Source& source, Pipeline& pipeline) {
  try {
    Objects objects;
    return runHeif(source, pipeline, objects);
  } catch (...) {
    kor::ErrorStorage::set("out of memory decoding HEIF data");
    return false;
  }
}

}  // namespace lumo::internal
