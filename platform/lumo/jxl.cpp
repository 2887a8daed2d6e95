// JPEG XL decoding (libjxl): a bare codestream or one in its container; of
// an animation the first frame, with alpha where the image has it.
//
// The file goes to libjxl a buffer at a time: the bytes libjxl has not
// consumed are kept and the next buffer follows them, so the file is never
// held whole. An information request stops at the basic information, the
// first few bytes of the codestream.
//
// libjxl is asked to keep the stored orientation: it then hands out the
// pixels as they arrive, and the orientation goes to the pipeline, which
// places the rows as the image is meant to be seen, as for JPEG. libjxl
// delivers its pixels a part of a row at a time, a group of the image
// (e.g. 256 x 256 pixels) after another; a window of rows collects them,
// and each row goes on through the pipeline (averaged down for a reduced
// decode) as soon as it is whole. The window grows only as far as libjxl
// reaches ahead of the first row not yet whole: usually a row of groups.
//
// Colour: an XYB-coded image (lossy) is rendered by libjxl into sRGB; any
// other image keeps its own colour space, whose ICC profile goes to the
// pipeline. libjxl runs single-threaded here: decodes run side by side in
// their own processes already.
#include <jxl/decode.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/kor.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

// The size of each read of an information request.
constexpr size_t kInfoReadBytes = 4096;

using kor::Status;

Status invalid(const char* what) {
  return Status::error(Status::kCorrupt, "invalid JPEG XL data: %s", what);
}

// Rows of the image that libjxl is filling: rows [top, top + reached) are
// held, row y in slot y % capacity, with the pixels each has received.
// Row top goes on when whole.
struct Window {
  Pipeline* pipeline = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t top = 0;
  uint32_t reached = 0;
  uint32_t capacity = 0;
  uint8_t* rows = nullptr;
  uint32_t* filled = nullptr;
  Status failure;  // of the callback, which cannot answer it
  ~Window() {
    delete[] rows;
    delete[] filled;
  }
  uint8_t* row(uint32_t y) const { return rows + size_t{y % capacity} * width * 4; }
};

Status grow(Window& w, uint32_t needed) {
  const uint32_t capacity =
      std::min(w.height, std::max(needed, w.capacity == 0 ? 64u : w.capacity * 2));
  const size_t rowBytes = size_t{w.width} * 4;
  auto* rows = new (std::nothrow) uint8_t[rowBytes * capacity];
  auto* filled = new (std::nothrow) uint32_t[capacity]();
  if (rows == nullptr || filled == nullptr) {
    delete[] rows;
    delete[] filled;
    return outOfMemory("decoding JPEG XL data");
  }
  for (uint32_t y = w.top; y < w.top + w.reached; ++y) {
    std::memcpy(rows + size_t{y % capacity} * rowBytes, w.row(y), rowBytes);
    filled[y % capacity] = w.filled[y % w.capacity];
  }
  delete[] w.rows;
  delete[] w.filled;
  w.rows = rows;
  w.filled = filled;
  w.capacity = capacity;
  return Status();
}

// Hands the whole rows at the top of the window to the pipeline.
Status flush(Window& w) {
  RowSink& sink = w.pipeline->sink();
  while (w.reached > 0 && w.filled[w.top % w.capacity] == w.width) {
    Status status = sink.putRow(w.row(w.top));
    if (status.ok()) status = w.pipeline->rowCheck();
    if (!status.ok()) return status;
    w.filled[w.top % w.capacity] = 0;
    ++w.top;
    --w.reached;
  }
  return Status();
}

void receive(void* opaque, size_t x, size_t y, size_t count, const void* pixels) {
  auto& w = *static_cast<Window*>(opaque);
  if (!w.failure.ok()) return;
  if (y < w.top || y >= w.height || x + count > w.width || count == 0) {
    w.failure = invalid("pixels outside the image");
    return;
  }
  const auto ahead = static_cast<uint32_t>(y - w.top);
  if (ahead >= w.capacity) w.failure = grow(w, ahead + 1);
  if (!w.failure.ok()) return;
  const auto at = static_cast<uint32_t>(y);
  std::memcpy(w.row(at) + x * 4, pixels, count * 4);
  w.filled[at % w.capacity] += static_cast<uint32_t>(count);
  w.reached = std::max(w.reached, ahead + 1);
  if (ahead == 0 && w.filled[at % w.capacity] == w.width) w.failure = flush(w);
}

// The decoder and the bytes given to it: those it has not consumed yet
// stay at the start of |input| when more are read.
struct Decoder {
  JxlDecoder* jxl = nullptr;
  uint8_t* input = nullptr;
  size_t capacity = 0;
  size_t length = 0;
  size_t step = 0;  // the most read at once
  ~Decoder() {
    if (jxl != nullptr) JxlDecoderDestroy(jxl);
    delete[] input;
  }
};

// Gives libjxl the bytes it has not consumed and the next part of the
// file; kCorrupt at the end of the file.
Status moreInput(Source& source, Decoder& d) {
  const size_t kept = JxlDecoderReleaseInput(d.jxl);
  if (kept > 0) std::memmove(d.input, d.input + (d.length - kept), kept);
  d.length = kept;
  if (d.capacity - d.length < d.step) {
    const size_t capacity = std::max(d.capacity * 2, d.length + d.step);
    auto* input = new (std::nothrow) uint8_t[capacity];
    if (input == nullptr) return outOfMemory("reading JPEG XL data");
    if (d.length > 0) std::memcpy(input, d.input, d.length);
    delete[] d.input;
    d.input = input;
    d.capacity = capacity;
  }
  const size_t count = source.read(d.input + d.length, d.step);
  if (count == 0) {
    if (source.failed()) return Status::error(Status::kIo, "error reading JPEG XL data");
    return Status::error(Status::kCorrupt, "truncated JPEG XL data");
  }
  d.length += count;
  if (JxlDecoderSetInput(d.jxl, d.input, d.length) != JXL_DEC_SUCCESS)
    return invalid("input refused");
  if (source.atEnd() || source.position() >= source.size()) JxlDecoderCloseInput(d.jxl);
  return Status();
}

Status startImage(Decoder& d, Pipeline& pipeline, Window& window) {
  JxlBasicInfo info;
  if (JxlDecoderGetBasicInfo(d.jxl, &info) != JXL_DEC_SUCCESS) return invalid("basic information");
  Header header;
  header.width = info.xsize;
  header.height = info.ysize;
  header.orientation = static_cast<int>(info.orientation);
  header.hasAlpha = info.alpha_bits > 0;
  header.isGrey = info.num_color_channels == 1;
  if (Status status = pipeline.start(header); !status.ok()) return status;
  window.pipeline = &pipeline;
  window.width = info.xsize;
  window.height = info.ysize;
  return Status();
}

// Asks for sRGB pixels of an XYB-coded image; hands the profile of the
// decoded pixels to the pipeline when they are in the image's own colour
// space.
Status takeProfile(Decoder& d, Pipeline& pipeline) {
  JxlBasicInfo info;
  if (JxlDecoderGetBasicInfo(d.jxl, &info) != JXL_DEC_SUCCESS) return invalid("basic information");
  if (!info.uses_original_profile) {
    JxlColorEncoding srgb{};
    srgb.color_space = info.num_color_channels == 1 ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    srgb.white_point = JXL_WHITE_POINT_D65;
    srgb.primaries = JXL_PRIMARIES_SRGB;
    srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
    srgb.rendering_intent = JXL_RENDERING_INTENT_PERCEPTUAL;
    if (JxlDecoderSetPreferredColorProfile(d.jxl, &srgb) != JXL_DEC_SUCCESS)
      return invalid("colour profile refused");
    return Status();
  }
  size_t size = 0;
  if (JxlDecoderGetICCProfileSize(d.jxl, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
      JXL_DEC_SUCCESS)
    return Status();
  if (size > kJxlMaxIccBytes) return invalid("colour profile too large");
  auto* icc = new (std::nothrow) uint8_t[size];
  if (icc == nullptr) return outOfMemory("reading a JPEG XL colour profile");
  if (JxlDecoderGetColorAsICCProfile(d.jxl, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, icc, size) ==
      JXL_DEC_SUCCESS)
    pipeline.setIccProfile(icc, size);
  delete[] icc;
  return Status();
}

Status setOutput(Decoder& d, Pipeline& pipeline, Window& window) {
  if (Status status = pipeline.setRowSize(window.width, window.height); !status.ok()) return status;
  const JxlPixelFormat format = {4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  if (JxlDecoderSetImageOutCallback(d.jxl, &format, receive, &window) != JXL_DEC_SUCCESS)
    return invalid("output refused");
  return Status();
}

// Runs libjxl from event to event until the first frame is whole.
Status run(Source& source, Decoder& d, Pipeline& pipeline, Window& window) {
  Status step;
  while (step.ok()) {
    const JxlDecoderStatus event = JxlDecoderProcessInput(d.jxl);
    if (!window.failure.ok()) return window.failure;
    if (step = checkCancelled(); !step.ok()) return step;
    switch (event) {
      case JXL_DEC_NEED_MORE_INPUT:
        step = moreInput(source, d);
        break;
      case JXL_DEC_BASIC_INFO:
        step = startImage(d, pipeline, window);
        break;
      case JXL_DEC_COLOR_ENCODING:
        step = takeProfile(d, pipeline);
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        step = setOutput(d, pipeline, window);
        break;
      case JXL_DEC_FULL_IMAGE:
        if (window.top != window.height) step = flush(window);
        if (step.ok() && window.top != window.height) step = invalid("pixels missing");
        return step;
      case JXL_DEC_SUCCESS:
        return invalid("no image");
      default:
        return invalid("bitstream error");
    }
  }
  return step;
}

}  // namespace

Status decodeJxl(Source& source, Pipeline& pipeline) {
  Decoder d;
  // An information request needs only the first bytes of the codestream.
  d.step = pipeline.infoOnly() ? kInfoReadBytes : kSourceBufferBytes;
  d.jxl = JxlDecoderCreate(nullptr);
  if (d.jxl == nullptr) return outOfMemory("starting a JPEG XL decoder");
  const int events = pipeline.infoOnly()
                         ? JXL_DEC_BASIC_INFO
                         : JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE;
  if (JxlDecoderSubscribeEvents(d.jxl, events) != JXL_DEC_SUCCESS ||
      JxlDecoderSetKeepOrientation(d.jxl, JXL_TRUE) != JXL_DEC_SUCCESS ||
      JxlDecoderSetUnpremultiplyAlpha(d.jxl, JXL_TRUE) != JXL_DEC_SUCCESS)
    return Status::error(Status::kFailed, "internal error: libjxl refused its settings");
  Window window;
  return run(source, d, pipeline, window);
}

}  // namespace lumo::internal
