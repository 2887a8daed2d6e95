// WebP decoding (libwebp): still images, lossy and lossless, with alpha; of
// an animation the first frame, on a transparent canvas of the animation's
// size, as for GIF. The orientation in the EXIF chunk is honoured.
//
// The RIFF chunks are walked here, reading only the chunk headers, the VP8X
// header, the first frame's header and the EXIF chunk. That gives the image
// information without touching image data, and says which bytes hold the
// image to decode: the ALPH chunk, if any, and the VP8 or VP8L chunk of the
// still image or of the first frame. Only those bytes are fed to libwebp's
// incremental decoder, a buffer at a time, so the file is never read whole
// and the chunks that follow (further frames, metadata) are never read.
//
// libwebp decodes at the target size, scaling while it decodes (its own
// area average, in fixed point: of the YUV planes for a lossy image, of
// premultiplied RGBA for a lossless one), so no buffer of the image's size
// is made here. It writes straight into the bitmap when the bitmap's format
// is one it writes (RGBA, RGB, BGR, BGRA, ARGB), in the stored orientation;
// the pipeline then turns the bitmap in place by the EXIF orientation and
// clears the canvas around an animation's first frame. For the other
// formats it writes RGBA into a buffer of the target size, whose rows then
// go through the pipeline. libwebp itself keeps a lossless image whole while
// decoding, since any pixel may copy from any earlier one, and a lossy
// image's alpha plane.
#include <webp/decode.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/kor.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/colour.h"

namespace lumo::internal {
namespace {

inline uint32_t le24(const uint8_t* p) { return p[0] | (p[1] << 8) | (uint32_t{p[2]} << 16); }
inline uint32_t le32(const uint8_t* p) { return le24(p) | (uint32_t{p[3]} << 24); }

constexpr uint8_t kFlagAnimation = 0x02;
constexpr uint8_t kFlagExif = 0x08;
constexpr uint8_t kFlagAlpha = 0x10;
// The most of an EXIF chunk read for its orientation, which lies near its
// start: as much as a JPEG's APP1 segment holds.
constexpr uint32_t kMaxExifBytes = 65533;

// What the chunks say, with file offsets.
struct Layout {
  uint32_t canvasWidth = 0;
  uint32_t canvasHeight = 0;
  uint8_t flags = 0;  // of the VP8X chunk
  bool hasAlpha = false;
  // The first frame's place on the canvas: the whole canvas for a still
  // image.
  uint32_t frameX = 0;
  uint32_t frameY = 0;
  uint32_t frameWidth = 0;
  uint32_t frameHeight = 0;
  // The bytes to decode, [imageStart, imageEnd), and the VP8 or VP8L chunk
  // among them.
  uint64_t imageStart = 0;
  uint64_t imageEnd = 0;
  uint64_t bitstream = 0;
  uint64_t exifOffset = 0;
  uint32_t exifSize = 0;
  uint64_t iccOffset = 0;  // the ICCP chunk's payload
  uint64_t iccSize = 0;
};

using kor::Status;

Status invalid(const char* what) {
  return Status::error(Status::kCorrupt, "invalid WebP data: %s", what);
}

Status truncated(const Source& source) {
  if (source.failed()) return Status::error(Status::kIo, "error reading WebP data");
  return Status::error(Status::kCorrupt, "truncated WebP data");
}

Status fail(VP8StatusCode status, const Source& source) {
  switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY:
      return outOfMemory("decoding WebP data");
    case VP8_STATUS_NOT_ENOUGH_DATA:
      return truncated(source);
    case VP8_STATUS_UNSUPPORTED_FEATURE:
      return Status::error(Status::kUnsupported, "unsupported WebP feature");
    default:
      return invalid("bitstream error");
  }
}

// Reads |count| bytes at |offset|; false at the end of the file.
bool readAt(Source& source, uint64_t offset, uint8_t* out, size_t count) {
  source.seek(offset);
  return source.read(out, count) == count;
}

// Finds the VP8 or VP8L chunk among the chunks of [offset, end) (a frame's
// data); 0 when there is none.
uint64_t findBitstream(Source& source, uint64_t offset, uint64_t end) {
  uint8_t header[8];
  while (offset + 8 <= end && readAt(source, offset, header, 8)) {
    if (std::memcmp(header, "VP8 ", 4) == 0 || std::memcmp(header, "VP8L", 4) == 0) return offset;
    const uint64_t size = le32(header + 4);
    offset += 8 + size + (size & 1);
  }
  return 0;
}

// Reads the size and alpha of the image data at |l->bitstream| and checks
// them against the canvas or the frame; |alpha| is the offset of an ALPH
// chunk, or 0.
Status readFeatures(Source& source, uint64_t alpha, Layout* l) {
  WebPBitstreamFeatures features;
  uint8_t start[64];
  source.seek(l->bitstream);
  const size_t have = source.read(start, sizeof(start));
  const VP8StatusCode status = WebPGetFeatures(start, have, &features);
  if (status != VP8_STATUS_OK) return fail(status, source);
  const auto width = static_cast<uint32_t>(features.width);
  const auto height = static_cast<uint32_t>(features.height);
  if ((l->flags & kFlagAnimation) != 0) {
    if (width != l->frameWidth || height != l->frameHeight)
      return invalid("frame size differs from its image data");
    if (uint64_t{l->frameX} + width > l->canvasWidth ||
        uint64_t{l->frameY} + height > l->canvasHeight)
      return invalid("frame outside the canvas");
  } else {
    if (l->canvasWidth == 0) {
      l->canvasWidth = width;
      l->canvasHeight = height;
    } else if (width != l->canvasWidth || height != l->canvasHeight) {
      return invalid("image size differs from the canvas");
    }
    l->frameWidth = width;
    l->frameHeight = height;
  }
  const bool coversCanvas = l->frameWidth == l->canvasWidth && l->frameHeight == l->canvasHeight;
  l->hasAlpha = (l->flags & kFlagAlpha) != 0 || alpha != 0 || features.has_alpha || !coversCanvas;
  return Status();
}

Status parseLayout(Source& source, Layout* l) {
  uint8_t riff[12];
  if (!readAt(source, 0, riff, 12)) return truncated(source);
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WEBP", 4) != 0)
    return invalid("not a WebP file");
  const uint64_t declaredEnd = 8 + uint64_t{le32(riff + 4)};
  const uint64_t end = std::min(source.size(), declaredEnd);
  bool haveImage = false;
  uint64_t alpha = 0;
  for (uint64_t offset = 12; offset + 8 <= end;) {
    uint8_t header[8];
    if (!readAt(source, offset, header, 8)) return truncated(source);
    const uint64_t size = le32(header + 4);
    const uint64_t payload = offset + 8;
    const bool animated = (l->flags & kFlagAnimation) != 0;
    if (offset == 12 && std::memcmp(header, "VP8X", 4) == 0) {
      uint8_t vp8x[10];
      if (size < 10 || !readAt(source, payload, vp8x, 10)) return truncated(source);
      l->flags = vp8x[0];
      l->canvasWidth = le24(vp8x + 4) + 1;
      l->canvasHeight = le24(vp8x + 7) + 1;
    } else if (std::memcmp(header, "ALPH", 4) == 0 && !animated && !haveImage) {
      alpha = offset;
    } else if ((std::memcmp(header, "VP8 ", 4) == 0 || std::memcmp(header, "VP8L", 4) == 0) &&
               !animated && !haveImage) {
      haveImage = true;
      l->bitstream = offset;
      l->imageStart = alpha != 0 ? alpha : offset;
      l->imageEnd = payload + size;
    } else if (std::memcmp(header, "ANMF", 4) == 0 && animated && !haveImage) {
      uint8_t frame[16];
      if (size < 16 || !readAt(source, payload, frame, 16)) return truncated(source);
      l->frameX = le24(frame) * 2;
      l->frameY = le24(frame + 3) * 2;
      l->frameWidth = le24(frame + 6) + 1;
      l->frameHeight = le24(frame + 9) + 1;
      haveImage = true;
      l->imageStart = payload + 16;
      l->imageEnd = payload + size;
      l->bitstream = findBitstream(source, l->imageStart, std::min(l->imageEnd, end));
      if (l->bitstream == 0) return invalid("a frame without image data");
    } else if (std::memcmp(header, "ICCP", 4) == 0 && l->iccSize == 0) {
      l->iccOffset = payload;
      l->iccSize = std::min<uint64_t>(size, end - payload);
    } else if (std::memcmp(header, "EXIF", 4) == 0 && l->exifSize == 0) {
      l->exifOffset = payload;
      l->exifSize = static_cast<uint32_t>(std::min<uint64_t>(size, end - payload));
    }
    // The EXIF chunk follows the image data; it is looked for only when
    // the VP8X header announces it.
    if (haveImage && ((l->flags & kFlagExif) == 0 || l->exifSize != 0)) break;
    offset = payload + size + (size & 1);
  }
  if (!haveImage) {
    if (source.size() < declaredEnd) return truncated(source);
    return invalid((l->flags & kFlagAnimation) != 0 ? "an animation without frames" : "no image");
  }

  return readFeatures(source, alpha, l);
}

// The orientation of the EXIF chunk; 1 without one.
int orientation(Source& source, const Layout& l) {
  if (l.exifSize == 0) return 1;
  static const uint8_t kHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
  const uint32_t size = std::min(l.exifSize, kMaxExifBytes);
  auto* exif = new (std::nothrow) uint8_t[size + 6];
  if (exif == nullptr) return 1;
  // The chunk holds the TIFF data, sometimes behind the header of an APP1
  // segment; the Exif reader wants that header.
  std::memcpy(exif, kHeader, 6);
  int result = 1;
  if (readAt(source, l.exifOffset, exif + 6, size)) {
    const bool hasHeader = size >= 6 && std::memcmp(exif + 6, kHeader, 6) == 0;
    result = hasHeader ? exifOrientation(exif + 6, size) : exifOrientation(exif, size + 6);
  }
  delete[] exif;
  return result;
}

// Hands the ICCP chunk, which comes before the image data, to the pipeline.
void describeColour(Source& source, const Layout& l, Pipeline& pipeline) {
  if (l.iccSize == 0 || !colourManaged() || !colourProfileFits(l.iccSize)) return;
  const auto size = static_cast<size_t>(l.iccSize);
  auto* icc = new (std::nothrow) uint8_t[size];
  if (icc != nullptr && readAt(source, l.iccOffset, icc, size)) pipeline.setIccProfile(icc, size);
  delete[] icc;
}

// Feeds [start, end) of the file to the decoder until the image is done.
Status feed(Source& source, WebPIDecoder* decoder, uint64_t start, uint64_t end) {
  source.seek(start);
  uint64_t left = end - start;
  for (;;) {
    const uint8_t* data = nullptr;
    const size_t count = left > 0 ? source.next(&data) : 0;
    if (count == 0) return truncated(source);
    const size_t used = static_cast<size_t>(std::min<uint64_t>(count, left));
    left -= used;
    const VP8StatusCode status = WebPIAppend(decoder, data, used);
    if (status == VP8_STATUS_OK) return Status();
    if (status != VP8_STATUS_SUSPENDED) return fail(status, source);
    if (Status cancelled = checkCancelled(); !cancelled.ok()) return cancelled;
  }
}

// The libwebp output modes of the bitmap formats it writes.
struct DirectMode {
  BitmapInfo::Format format;
  WEBP_CSP_MODE mode;
};
constexpr DirectMode kDirectModes[] = {
    {BitmapInfo::kFormatRGBA8888, MODE_RGBA}, {BitmapInfo::kFormatRGB888, MODE_RGB},
    {BitmapInfo::kFormatBGR888, MODE_BGR},    {BitmapInfo::kFormatBGRA8888, MODE_BGRA},
    {BitmapInfo::kFormatARGB8888, MODE_ARGB},
};

// Where the frame lies on the canvas at the target size: its edges scaled
// and rounded to whole pixels, at least one pixel wide and high.
struct Placement {
  uint32_t x, y, width, height;
};

void place(uint32_t offset, uint32_t size, uint32_t canvas, uint32_t target, uint32_t* start,
           uint32_t* length) {
  const uint64_t half = canvas / 2;
  uint64_t first = (uint64_t{offset} * target + half) / canvas;
  uint64_t end = ((uint64_t{offset} + size) * target + half) / canvas;
  if (end <= first) {
    if (first >= target) first = target - 1;
    end = first + 1;
  }
  *start = static_cast<uint32_t>(first);
  *length = static_cast<uint32_t>(end - first);
}

// The direct decode's canvas around the frame is transparent: all zero
// bytes. Then the whole image is turned in place.
Status finishDirect(Pipeline& pipeline, uint8_t* pixels, size_t stride, uint32_t bpp,
                    const Placement& frame) {
  const uint32_t width = pipeline.storedTargetWidth();
  const uint32_t height = pipeline.storedTargetHeight();
  const bool covers =
      frame.x == 0 && frame.y == 0 && frame.width == width && frame.height == height;
  const size_t left = size_t{frame.x} * bpp;
  const size_t right = size_t{width - frame.x - frame.width} * bpp;
  for (uint32_t y = 0; y < height && !covers; ++y) {
    uint8_t* row = pixels + y * stride;
    if (y < frame.y || y >= frame.y + frame.height) {
      std::memset(row, 0, stride);
      continue;
    }
    std::memset(row, 0, left);
    std::memset(row + stride - right, 0, right);
  }
  if (Status status = checkCancelled(); !status.ok()) return status;
  return pipeline.wholeImageDone();
}

// The decoded frame's RGBA rows, |stride| bytes apart, through the
// pipeline: the first frame of an animation on a transparent canvas.
Status deliverRows(Pipeline& pipeline, const uint8_t* pixels, size_t stride,
                   const Placement& frame) {
  const uint32_t width = pipeline.storedTargetWidth();
  const uint32_t height = pipeline.storedTargetHeight();
  Status status = pipeline.setRowSize(width, height);
  uint8_t* row = status.ok() ? scratch(Scratch::kRgbaRow, size_t{width} * 4, &status) : nullptr;
  if (row == nullptr) return status;
  std::memset(row, 0, size_t{width} * 4);
  RowSink& sink = pipeline.sink();
  for (uint32_t y = 0; y < height && status.ok(); ++y) {
    if (y < frame.y || y >= frame.y + frame.height) {
      status = sink.putClearRow();
    } else if (frame.x == 0 && frame.width == width) {
      status = sink.putRow(pixels + (y - frame.y) * stride);
    } else {
      std::memcpy(row + size_t{frame.x} * 4, pixels + (y - frame.y) * stride, stride);
      status = sink.putRow(row);
    }
    if (status.ok()) status = pipeline.rowCheck();
  }
  return status;
}

}  // namespace

Status decodeWebp(Source& source, Pipeline& pipeline) {
  Layout l;
  Status status = parseLayout(source, &l);
  if (!status.ok()) return status;
  Header header;
  header.width = l.canvasWidth;
  header.height = l.canvasHeight;
  header.orientation = orientation(source, l);
  header.sourceType = BitmapInfo::kSourceWebp;
  header.hasAlpha = l.hasAlpha;
  status = pipeline.start(header);
  if (!status.ok()) return status;
  describeColour(source, l, pipeline);
  // libwebp needs all of the image's bytes: a file that lacks some fails
  // before anything of the image's size is allocated.
  if (l.imageEnd > source.size()) return truncated(source);

  // The canvas at the target size, in the stored orientation, and the
  // frame's place on it. libwebp scales the frame while decoding.
  const uint32_t width = pipeline.storedTargetWidth();
  const uint32_t height = pipeline.storedTargetHeight();
  Placement frame;
  place(l.frameX, l.frameWidth, l.canvasWidth, width, &frame.x, &frame.width);
  place(l.frameY, l.frameHeight, l.canvasHeight, height, &frame.y, &frame.height);

  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config))
    return Status::error(Status::kFailed, "internal error: libwebp version mismatch");
  if (frame.width != l.frameWidth || frame.height != l.frameHeight) {
    config.options.use_scaling = 1;
    config.options.scaled_width = static_cast<int>(frame.width);
    config.options.scaled_height = static_cast<int>(frame.height);
  }

  // libwebp writes into the bitmap itself, which is then turned in place,
  // when the bitmap's format is one it writes; for the other formats into
  // a copy of the frame at its scaled size, whose rows go through the
  // pipeline.
  const WEBP_CSP_MODE* directMode = nullptr;
  for (const DirectMode& candidate : kDirectModes)
    if (candidate.format == pipeline.format()) directMode = &candidate.mode;
  const bool direct = directMode != nullptr;
  const uint32_t bpp = direct ? BitmapInfo::getBpp(pipeline.format()) : 4;
  const size_t stride = size_t{direct ? width : frame.width} * bpp;
  uint8_t* pixels = direct
                        ? pipeline.wholeImage(&status)
                        : scratch(Scratch::kImage, size_t{frame.width} * frame.height * 4, &status);
  if (pixels == nullptr) return status;
  uint8_t* target = direct ? pixels + frame.y * stride + size_t{frame.x} * bpp : pixels;
  config.output.colorspace = direct ? *directMode : MODE_RGBA;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = target;
  config.output.u.RGBA.stride = static_cast<int>(stride);
  config.output.u.RGBA.size = stride * (frame.height - 1) + size_t{frame.width} * bpp;

  WebPIDecoder* decoder = WebPIDecode(nullptr, 0, &config);
  if (decoder == nullptr) return outOfMemory("starting a WebP decoder");
  status = feed(source, decoder, l.imageStart, l.imageEnd);
  WebPIDelete(decoder);
  if (!status.ok()) return status;
  if (direct) return finishDirect(pipeline, pixels, stride, bpp, frame);
  return deliverRows(pipeline, pixels, stride, frame);
}

}  // namespace lumo::internal
