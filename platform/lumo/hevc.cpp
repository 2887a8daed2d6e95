// The HEVC decoder that libheif uses for HEIC: libde265, behind libheif's
// decoder plug-in interface, registered above libheif's own libde265
// plug-in, which starts a single worker thread. This one starts as many as
// the engine's AV1 decoder (heifCodecThreads(): the cores the process may
// use, bounded), so that streams coded in rows (wavefront entry points) or
// tiles, and the loop filters, are decoded on several cores; little data
// (a grid's tile) is decoded on the caller's thread alone. The threads end
// with the decoder, once its image is decoded.
//
// libheif hands over the coded data as NAL units, each preceded by its size
// in four bytes: the parameter sets, then the image's slices. The plug-in
// copies the first picture's planes into a libheif image of the same layout
// (monochrome, 4:2:0, 4:2:2 or 4:4:4; 8 bits, or more in 16-bit samples)
// and passes on the stream's colour description.
#include <libde265/de265.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "platform/lumo/codec.h"
#include "platform/lumo/heif_plugin.h"

namespace lumo::internal {
namespace {

const char* pluginName() { return "libde265 HEVC decoder"; }

int supports(heif_compression_format format) {
  return format == heif_compression_HEVC ? kPluginPriority : 0;
}

heif_error newDecoder(void** out) {
  de265_decoder_context* context = de265_new_decoder();
  if (context == nullptr) return kPluginNoMemory;
  *out = context;
  return kPluginOk;
}

// Ends the worker threads and frees every picture the decoder still holds.
void freeDecoder(void* context) {
  if (context != nullptr) de265_free_decoder(static_cast<de265_decoder_context*>(context));
}

heif_error pushData(void* opaque, const void* data, size_t size) {
  auto* context = static_cast<de265_decoder_context*>(opaque);
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t at = 0;
  while (at < size) {
    if (size - at < 4) return pluginError("truncated HEVC data");
    const uint32_t length = uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
                            uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    at += 4;
    if (length > size - at || length > INT32_MAX) return pluginError("truncated HEVC data");
    if (!de265_isOK(de265_push_NAL(context, bytes + at, static_cast<int>(length), 0, nullptr)))
      return kPluginNoMemory;
    at += length;
  }
  return kPluginOk;
}

// Copies plane |index| of |from| into a new plane of |image|.
bool copyPlane(const de265_image* from, int index, heif_image* image, heif_channel channel) {
  const int width = de265_get_image_width(from, index);
  const int height = de265_get_image_height(from, index);
  const int depth = de265_get_bits_per_pixel(from, index);
  int inStride = 0;
  const uint8_t* in = de265_get_image_plane(from, index, &inStride);
  if (in == nullptr || depth < 1 || depth > 16 ||
      heif_image_add_plane(image, channel, width, height, depth).code != heif_error_Ok)
    return false;
  int stride = 0;
  uint8_t* to = heif_image_get_plane(image, channel, &stride);
  if (to == nullptr) return false;
  const size_t rowBytes = static_cast<size_t>(width) * (depth > 8 ? 2 : 1);
  for (int y = 0; y < height; ++y)
    std::memcpy(to + static_cast<ptrdiff_t>(y) * stride, in + static_cast<ptrdiff_t>(y) * inStride,
                rowBytes);
  return true;
}

// The stream's colour description; values libheif does not know are left
// unspecified rather than refused.
void passColour(const de265_image* from, heif_image* image) {
  heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
  if (nclx == nullptr) return;
  heif_nclx_color_profile_set_color_primaries(
      nclx, static_cast<uint16_t>(de265_get_image_colour_primaries(from)));
  heif_nclx_color_profile_set_transfer_characteristics(
      nclx, static_cast<uint16_t>(de265_get_image_transfer_characteristics(from)));
  heif_nclx_color_profile_set_matrix_coefficients(
      nclx, static_cast<uint16_t>(de265_get_image_matrix_coefficients(from)));
  nclx->full_range_flag = de265_get_image_full_range_flag(from) != 0 ? 1 : 0;
  heif_image_set_nclx_color_profile(image, nclx);
  heif_nclx_color_profile_free(nclx);
}

// The libheif image of a decoded picture; nullptr when memory ran out.
heif_image* toHeifImage(const de265_image* picture) {
  const de265_chroma layout = de265_get_chroma_format(picture);
  const bool mono = layout == de265_chroma_mono;
  const heif_chroma chroma = layout == de265_chroma_420   ? heif_chroma_420
                             : layout == de265_chroma_422 ? heif_chroma_422
                                                          : heif_chroma_444;
  heif_image* image = nullptr;
  if (heif_image_create(de265_get_image_width(picture, 0), de265_get_image_height(picture, 0),
                        mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr,
                        mono ? heif_chroma_monochrome : chroma, &image)
          .code != heif_error_Ok)
    return nullptr;
  bool copied = copyPlane(picture, 0, image, heif_channel_Y);
  if (copied && !mono)
    copied = copyPlane(picture, 1, image, heif_channel_Cb) &&
             copyPlane(picture, 2, image, heif_channel_Cr);
  if (!copied) {
    heif_image_release(image);
    return nullptr;
  }
  passColour(picture, image);
  return image;
}

// Decodes what was pushed and keeps the first picture. Any error ends the
// decode: a stalled decoder is not driven again, so no data can make it
// spin.
heif_error decodeImage(void* opaque, heif_image** out) {
  auto* context = static_cast<de265_decoder_context*>(opaque);
  const int threads =
      heifCodecThreads(static_cast<size_t>(de265_get_number_of_input_bytes_pending(context)));
  if (threads > 1 && !de265_isOK(de265_start_worker_threads(context, threads)))
    return pluginError("cannot start the HEVC decoder");
  if (!de265_isOK(de265_flush_data(context))) return kPluginNoMemory;
  heif_image* image = nullptr;
  bool converted = true;
  for (;;) {
    int more = 0;
    const de265_error error = de265_decode(context, &more);
    if (const de265_image* picture = de265_get_next_picture(context)) {
      if (image == nullptr && converted) {
        image = toHeifImage(picture);
        converted = image != nullptr;
      }
      de265_release_next_picture(context);
    }
    if (error != DE265_OK || more == 0) break;
  }
  if (!converted) return kPluginNoMemory;
  if (image == nullptr) return pluginError("the HEVC data holds no picture");
  *out = image;
  return kPluginOk;
}

void setStrict(void*, int) {}

const heif_decoder_plugin kPlugin = {
    3,           pluginName, nullptr,     nullptr,   supports,       newDecoder,
    freeDecoder, pushData,   decodeImage, setStrict, "libde265-own",
};

}  // namespace

const heif_decoder_plugin* ownHevcPlugin() { return &kPlugin; }

}  // namespace lumo::internal
