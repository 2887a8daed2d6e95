// The AV1 decoder that libheif uses for AVIF: libaom, behind libheif's
// decoder plug-in interface, registered above libheif's own AV1 decoders.
//
// Why not libheif's choice: it prefers its dav1d plug-in, which leaks some of
// dav1d's memory on damaged files, and it decodes an image's alpha plane with
// that preferred decoder whatever the decoding options name. A host serving
// untrusted files for months cannot afford a leak per bad file, so every AV1
// image of a file, colour and alpha alike, goes through this plug-in. AV1
// decoding is exact: the pixels are the same as dav1d's.
//
// The plug-in copies libaom's planes into a libheif image of the same layout
// (4:2:0, 4:2:2, 4:4:4 or monochrome; 8 bits, or 10 and 12 in 16-bit
// samples) and passes on the bitstream's colour description, which libheif
// uses where the file gives none of its own.
#include <aom/aom_decoder.h>
#include <aom/aomdx.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

// Above libheif's own AV1 decoders (dav1d 150, libaom 100).
constexpr int kPriority = 200;

struct Decoder {
  aom_codec_ctx_t codec{};
  bool open = false;
  std::vector<uint8_t> data;
};

constexpr heif_error kOk = {heif_error_Ok, heif_suberror_Unspecified, "Success"};

heif_error decoderError(const char* message) {
  return {heif_error_Decoder_plugin_error, heif_suberror_Unspecified, message};
}

const char* pluginName() { return "libaom AV1 decoder"; }

int supports(heif_compression_format format) {
  return format == heif_compression_AV1 ? kPriority : 0;
}

heif_error newDecoder(void** out) {
  auto* decoder = new (std::nothrow) Decoder;
  if (decoder == nullptr)
    return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory"};
  if (aom_codec_dec_init(&decoder->codec, aom_codec_av1_dx(), nullptr, 0) != AOM_CODEC_OK) {
    delete decoder;
    return decoderError("cannot start the AV1 decoder");
  }
  decoder->open = true;
  *out = decoder;
  return kOk;
}

void freeDecoder(void* opaque) {
  auto* decoder = static_cast<Decoder*>(opaque);
  if (decoder == nullptr) return;
  if (decoder->open) aom_codec_destroy(&decoder->codec);
  delete decoder;
}

heif_error pushData(void* opaque, const void* data, size_t size) {
  auto* decoder = static_cast<Decoder*>(opaque);
  const auto* bytes = static_cast<const uint8_t*>(data);
  try {
    decoder->data.insert(decoder->data.end(), bytes, bytes + size);
  } catch (...) {
    return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory"};
  }
  return kOk;
}

// Copies one of libaom's planes into a new plane of |image|; 16-bit samples
// holding 8-bit values are narrowed, as libheif keeps 8 bits in a byte.
bool copyPlane(const aom_image_t* from, int index, heif_image* image, heif_channel channel,
               int width, int height) {
  const bool wide = (from->fmt & AOM_IMG_FMT_HIGHBITDEPTH) != 0;
  const int depth = static_cast<int>(from->bit_depth);
  if (heif_image_add_plane(image, channel, width, height, depth).code != heif_error_Ok)
    return false;
  int stride = 0;
  uint8_t* to = heif_image_get_plane(image, channel, &stride);
  if (to == nullptr) return false;
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = from->planes[index] + static_cast<ptrdiff_t>(y) * from->stride[index];
    uint8_t* out = to + static_cast<ptrdiff_t>(y) * stride;
    if (!wide || depth > 8) {
      std::memcpy(out, in, static_cast<size_t>(width) * (wide ? 2 : 1));
    } else {
      for (int x = 0; x < width; ++x) {
        uint16_t sample;
        std::memcpy(&sample, in + 2 * x, 2);
        out[x] = static_cast<uint8_t>(sample);
      }
    }
  }
  return true;
}

// A colour code as the bitstream gave it. libaom stores the coded byte in an
// enumeration without checking it against the enumerators, and reading such
// a value as the enumeration is undefined: its bytes are read instead.
template <class Code>
uint16_t codeOf(const Code& code) {
  std::underlying_type_t<Code> raw;
  static_assert(sizeof raw == sizeof code);
  std::memcpy(&raw, &code, sizeof raw);
  return static_cast<uint16_t>(raw);
}

// The bitstream's colour description; values libheif does not know are left
// unspecified rather than refused.
void passColour(const aom_image_t* from, heif_image* image) {
  heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
  if (nclx == nullptr) return;
  heif_nclx_color_profile_set_color_primaries(nclx, codeOf(from->cp));
  heif_nclx_color_profile_set_transfer_characteristics(nclx, codeOf(from->tc));
  heif_nclx_color_profile_set_matrix_coefficients(nclx, codeOf(from->mc));
  nclx->full_range_flag = codeOf(from->range) == AOM_CR_FULL_RANGE ? 1 : 0;
  heif_image_set_nclx_color_profile(image, nclx);
  heif_nclx_color_profile_free(nclx);
}

heif_error decodeImage(void* opaque, heif_image** out) {
  auto* decoder = static_cast<Decoder*>(opaque);
  if (aom_codec_decode(&decoder->codec, decoder->data.data(), decoder->data.size(), nullptr) !=
      AOM_CODEC_OK)
    return decoderError("the AV1 decoder refused the image data");
  aom_codec_iter_t iterator = nullptr;
  const aom_image_t* frame = aom_codec_get_frame(&decoder->codec, &iterator);
  if (frame == nullptr) return decoderError("the AV1 data holds no picture");

  const int width = static_cast<int>(frame->d_w);
  const int height = static_cast<int>(frame->d_h);
  const bool mono = frame->monochrome != 0;
  heif_chroma chroma;
  switch (frame->fmt & ~AOM_IMG_FMT_HIGHBITDEPTH) {
    case AOM_IMG_FMT_I420:
      chroma = heif_chroma_420;
      break;
    case AOM_IMG_FMT_I422:
      chroma = heif_chroma_422;
      break;
    case AOM_IMG_FMT_I444:
      chroma = heif_chroma_444;
      break;
    default:
      return decoderError("the AV1 decoder gave an unknown sample layout");
  }
  heif_image* image = nullptr;
  if (heif_image_create(width, height, mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr,
                        mono ? heif_chroma_monochrome : chroma, &image)
          .code != heif_error_Ok)
    return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory"};
  const int chromaWidth =
      (width + static_cast<int>(frame->x_chroma_shift)) >> frame->x_chroma_shift;
  const int chromaHeight =
      (height + static_cast<int>(frame->y_chroma_shift)) >> frame->y_chroma_shift;
  bool copied = copyPlane(frame, AOM_PLANE_Y, image, heif_channel_Y, width, height);
  if (copied && !mono)
    copied = copyPlane(frame, AOM_PLANE_U, image, heif_channel_Cb, chromaWidth, chromaHeight) &&
             copyPlane(frame, AOM_PLANE_V, image, heif_channel_Cr, chromaWidth, chromaHeight);
  if (!copied) {
    heif_image_release(image);
    return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory"};
  }
  passColour(frame, image);
  *out = image;
  return kOk;
}

void setStrict(void*, int) {}

const heif_decoder_plugin kPlugin = {
    3,           pluginName, nullptr,     nullptr,   supports,     newDecoder,
    freeDecoder, pushData,   decodeImage, setStrict, "libaom-own",
};

}  // namespace

bool useOwnAv1Decoder() {
  // libheif's decoder list is process-wide: the reference taken here is never
  // given back, so that another user of libheif in the host process ending
  // its own use cannot unregister this decoder.
  static const bool registered = [] {
    if (heif_init(nullptr).code != heif_error_Ok) return false;
    return heif_register_decoder_plugin(&kPlugin).code == heif_error_Ok;
  }();
  return registered;
}

}  // namespace lumo::internal
