// The AV1 decoder that libheif uses for AVIF: dav1d, behind libheif's
// decoder plug-in interface, registered above libheif's own AV1 decoders.
//
// Why not libheif's own dav1d plug-in: it leaks some of dav1d's memory on
// damaged files (a picture or data reference left behind on an error path),
// and it decodes an image's alpha plane with its preferred decoder whatever
// the decoding options name. A host serving untrusted files for months
// cannot afford a leak per bad file, so every AV1 image of a file, colour
// and alpha alike, goes through this plug-in, which gives back every data
// and picture reference and closes its dav1d context on every path.
//
// Each image gets a context of its own, closed once the image is decoded, so
// dav1d's threads live only as long as one decode: the decoder processes are
// long-lived and mostly idle. A context uses heifCodecThreads() threads: the
// cores the process may run on (read when the plug-ins are registered,
// before a decoder process confines itself; its filter has no call that
// would tell), at most kMaxThreads; for little coded data one, as starting
// and ending threads costs about a millisecond on a busy machine (dav1d
// then decodes on the caller's thread alone). Still images need no frame
// threads: one frame in flight, its tiles and loop filters spread over the
// threads.
//
// This file also registers the engine's HEVC plug-in (hevc.cpp).
//
// The plug-in copies dav1d's planes into a libheif image of the same layout
// (4:2:0, 4:2:2, 4:4:4 or monochrome; 8 bits, or 10 and 12 in 16-bit
// samples) and passes on the bitstream's colour description, which libheif
// uses where the file gives none of its own.
#include <dav1d/dav1d.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "platform/lumo/codec.h"
#include "platform/lumo/heif_plugin.h"

namespace lumo::internal {
namespace {

// A decode's threads at most: a host runs a decoder process per client, and
// several decodes at once each take this many.
constexpr int kMaxThreads = 8;

// The threads a decode gets; set once, when the plug-ins are registered.
int g_threads = 1;

int availableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

struct Decoder {
  std::vector<uint8_t> data;
};

const char* pluginName() { return "dav1d AV1 decoder"; }

int supports(heif_compression_format format) {
  return format == heif_compression_AV1 ? kPluginPriority : 0;
}

heif_error newDecoder(void** out) {
  auto* decoder = new (std::nothrow) Decoder;
  if (decoder == nullptr) return kPluginNoMemory;
  *out = decoder;
  return kPluginOk;
}

void freeDecoder(void* opaque) { delete static_cast<Decoder*>(opaque); }

heif_error pushData(void* opaque, const void* data, size_t size) {
  auto* decoder = static_cast<Decoder*>(opaque);
  const auto* bytes = static_cast<const uint8_t*>(data);
  try {
    decoder->data.insert(decoder->data.end(), bytes, bytes + size);
  } catch (...) {
    return kPluginNoMemory;
  }
  return kPluginOk;
}

// The context of one image's decode and what it holds: closed, and every
// reference given back, when it goes out of scope, whatever path left.
struct Session {
  Dav1dContext* context = nullptr;
  Dav1dData data{};
  Dav1dPicture picture{};
  ~Session() {
    dav1d_picture_unref(&picture);  // does nothing when no picture was taken
    dav1d_data_unref(&data);        // nor when dav1d took it all
    dav1d_close(&context);          // joins the threads; nothing when not open
  }
};

// The data stays with the Decoder, which outlives the session.
void keepData(const uint8_t*, void*) {}

bool open(Session& session, Decoder& decoder) {
  Dav1dSettings settings;
  dav1d_default_settings(&settings);
  settings.n_threads = heifCodecThreads(decoder.data.size());
  settings.max_frame_delay = 1;
  settings.all_layers = 0;  // the highest spatial layer only, as an image shows
  settings.frame_size_limit = static_cast<unsigned>(kMaxPixels);
  settings.logger.callback = nullptr;  // a confined decoder has nowhere to write
  if (dav1d_open(&session.context, &settings) != 0) return false;
  return dav1d_data_wrap(&session.data, decoder.data.data(), decoder.data.size(), keepData,
                         nullptr) == 0;
}

// Feeds the data to dav1d until it gives the picture, then asks once more
// with all of it taken (the flush: dav1d gives what it still holds). false:
// damaged data, or no picture in it. A round in which dav1d neither took
// data nor gave a picture ends the decode, so that no data can make it spin.
bool decodePicture(Session& session) {
  while (session.data.sz != 0) {
    const int sent = dav1d_send_data(session.context, &session.data);
    if (sent < 0 && sent != DAV1D_ERR(EAGAIN)) return false;
    const int got = dav1d_get_picture(session.context, &session.picture);
    if (got == 0) return true;
    if (got != DAV1D_ERR(EAGAIN) || sent == DAV1D_ERR(EAGAIN)) return false;
  }
  return dav1d_get_picture(session.context, &session.picture) == 0;
}

// Copies one of dav1d's planes into a new plane of |image|: bytes at 8 bits,
// 16-bit samples at 10 and 12, as libheif keeps them too.
bool copyPlane(const Dav1dPicture& from, int index, heif_image* image, heif_channel channel,
               int width, int height) {
  const int depth = from.p.bpc;
  if (heif_image_add_plane(image, channel, width, height, depth).code != heif_error_Ok)
    return false;
  int stride = 0;
  uint8_t* to = heif_image_get_plane(image, channel, &stride);
  if (to == nullptr) return false;
  const auto* in = static_cast<const uint8_t*>(from.data[index]);
  const ptrdiff_t inStride = from.stride[index == 0 ? 0 : 1];
  const size_t rowBytes = static_cast<size_t>(width) * (depth > 8 ? 2 : 1);
  for (int y = 0; y < height; ++y)
    std::memcpy(to + static_cast<ptrdiff_t>(y) * stride, in + y * inStride, rowBytes);
  return true;
}

// A colour code as the bitstream gave it. dav1d stores the coded byte in an
// enumeration without checking it against the enumerators, and reading such
// a value as the enumeration is undefined: its bytes are read instead.
template <class Code>
uint16_t codeOf(const Code& code) {
  std::underlying_type_t<Code> raw;
  static_assert(sizeof raw == sizeof code);
  std::memcpy(&raw, &code, sizeof raw);
  return static_cast<uint16_t>(raw);
}

// The sequence header's colour description; values libheif does not know
// are left unspecified rather than refused.
void passColour(const Dav1dSequenceHeader& header, heif_image* image) {
  heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
  if (nclx == nullptr) return;
  heif_nclx_color_profile_set_color_primaries(nclx, codeOf(header.pri));
  heif_nclx_color_profile_set_transfer_characteristics(nclx, codeOf(header.trc));
  heif_nclx_color_profile_set_matrix_coefficients(nclx, codeOf(header.mtrx));
  nclx->full_range_flag = header.color_range != 0 ? 1 : 0;
  heif_image_set_nclx_color_profile(image, nclx);
  heif_nclx_color_profile_free(nclx);
}

// The libheif image of a decoded picture, with its planes and colour
// description; nullptr when memory ran out or the layout is unknown.
heif_image* toHeifImage(const Dav1dPicture& picture) {
  const int width = picture.p.w;
  const int height = picture.p.h;
  const Dav1dPixelLayout layout = picture.p.layout;
  const bool mono = layout == DAV1D_PIXEL_LAYOUT_I400;
  const heif_chroma chroma = layout == DAV1D_PIXEL_LAYOUT_I420   ? heif_chroma_420
                             : layout == DAV1D_PIXEL_LAYOUT_I422 ? heif_chroma_422
                                                                 : heif_chroma_444;
  heif_image* image = nullptr;
  if (heif_image_create(width, height, mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr,
                        mono ? heif_chroma_monochrome : chroma, &image)
          .code != heif_error_Ok)
    return nullptr;
  const int chromaWidth = layout == DAV1D_PIXEL_LAYOUT_I444 ? width : (width + 1) >> 1;
  const int chromaHeight = layout == DAV1D_PIXEL_LAYOUT_I420 ? (height + 1) >> 1 : height;
  bool copied = copyPlane(picture, 0, image, heif_channel_Y, width, height);
  if (copied && !mono)
    copied = copyPlane(picture, 1, image, heif_channel_Cb, chromaWidth, chromaHeight) &&
             copyPlane(picture, 2, image, heif_channel_Cr, chromaWidth, chromaHeight);
  if (!copied) {
    heif_image_release(image);
    return nullptr;
  }
  if (picture.seq_hdr != nullptr) passColour(*picture.seq_hdr, image);
  return image;
}

heif_error decodeImage(void* opaque, heif_image** out) {
  auto* decoder = static_cast<Decoder*>(opaque);
  Session session;
  if (!open(session, *decoder)) return pluginError("cannot start the AV1 decoder");
  if (!decodePicture(session)) return pluginError("the AV1 decoder refused the image data");
  heif_image* image = toHeifImage(session.picture);
  if (image == nullptr) return kPluginNoMemory;
  *out = image;
  return kPluginOk;
}

void setStrict(void*, int) {}

const heif_decoder_plugin kPlugin = {
    3,           pluginName, nullptr,     nullptr,   supports,    newDecoder,
    freeDecoder, pushData,   decodeImage, setStrict, "dav1d-own",
};

}  // namespace

int heifCodecThreads(size_t codedBytes) { return codedBytes < kThreadedCodedBytes ? 1 : g_threads; }

bool useOwnHeifDecoders() {
  // libheif's decoder list is process-wide: the reference taken here is never
  // given back, so that another user of libheif in the host process ending
  // its own use cannot unregister these decoders.
  static const bool registered = [] {
    g_threads = std::min(availableCores(), kMaxThreads);
    if (heif_init(nullptr).code != heif_error_Ok) return false;
    return heif_register_decoder_plugin(&kPlugin).code == heif_error_Ok &&
           heif_register_decoder_plugin(ownHevcPlugin()).code == heif_error_Ok;
  }();
  return registered;
}

}  // namespace lumo::internal
