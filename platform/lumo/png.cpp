// PNG decoding: every colour type and bit depth, palettes with tRNS, Adam7.
//
// Non-interlaced images stream row by row through the pipeline, so scaling
// needs no full-size buffer. An interlaced image delivers each row in
// pieces, pass by pass, and a row is final only after the last pass that
// touches it; see decodeInterlaced(). 16-bit samples are rounded to 8 bits.
//
// Every chunk's CRC is verified, ancillary chunks' included, and so is the
// zlib checksum (Adler-32) of the image data: a mismatch fails the decode.
// libspng checks both while it reads, but it stops reading the image data
// as soon as the last row is complete, so the checksum at the end of the
// zlib stream is verified only when it arrived with the last compressed
// bytes. ChunkTracker notes where the image data ends among the bytes that
// libspng has read; when the decoder stopped short of that end, the image
// data is inflated once more, from the file, to verify the checksum. After
// the image, the chunks up to IEND are read for their CRCs.
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/kor.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/colour.h"

namespace lumo::internal {
namespace {

using kor::Status;

Status fail(int error) {
  if (error == SPNG_IO_EOF) return Status::error(Status::kCorrupt, "truncated PNG data");
  if (error == SPNG_IO_ERROR) return Status::error(Status::kIo, "error reading PNG data");
  if (error == SPNG_ECHUNK_CRC)
    return Status::error(Status::kCorrupt, "invalid PNG data: chunk checksum (CRC) mismatch");
  const Status::Code code = error == SPNG_EMEM            ? Status::kNoMemory
                            : error == SPNG_ECHUNK_LIMITS ? Status::kLimit
                                                          : Status::kCorrupt;
  return Status::error(code, "invalid PNG data: %s", spng_strerror(error));
}

struct ContextDeleter {
  spng_ctx* context;
  ~ContextDeleter() { spng_ctx_free(context); }
};

inline uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

constexpr uint64_t kSignatureBytes = 8;

// Follows the chunk layout of the bytes that libspng reads, which it reads
// in order from the start of the file: where the first IDAT chunk starts
// and where the data of the last IDAT chunk seen so far ends.
class ChunkTracker {
 public:
  void feed(const uint8_t* data, size_t count) {
    while (count > 0) {
      if (m_offset < m_nextHeader) {
        const size_t skip = static_cast<size_t>(std::min<uint64_t>(count, m_nextHeader - m_offset));
        m_offset += skip;
        data += skip;
        count -= skip;
        continue;
      }
      m_header[m_headerBytes++] = *data++;
      ++m_offset;
      --count;
      if (m_headerBytes < 8) continue;
      m_headerBytes = 0;
      const uint32_t length = be32(m_header);
      if (std::memcmp(m_header + 4, "IDAT", 4) == 0) {
        if (m_firstImageData == 0) m_firstImageData = m_offset - 8;
        m_imageDataEnd = m_offset + length;
      }
      m_nextHeader = m_offset + length + 4;  // past the data and the CRC
    }
  }
  uint64_t offset() const { return m_offset; }
  uint64_t firstImageData() const { return m_firstImageData; }
  uint64_t imageDataEnd() const { return m_imageDataEnd; }

 private:
  uint64_t m_offset = 0;
  uint64_t m_nextHeader = kSignatureBytes;
  uint8_t m_header[8] = {};
  int m_headerBytes = 0;
  uint64_t m_firstImageData = 0;
  uint64_t m_imageDataEnd = 0;
};

struct PngInput {
  Source* source;
  ChunkTracker tracker;
};

// Reads as libspng's own file reader does: all |length| bytes or an end of
// file or read error.
int readSource(spng_ctx*, void* user, void* data, size_t length) {
  auto* input = static_cast<PngInput*>(user);
  if (input->source->read(data, length) != length)
    return input->source->atEnd() ? SPNG_IO_EOF : SPNG_IO_ERROR;
  input->tracker.feed(static_cast<const uint8_t*>(data), length);
  return 0;
}

struct InflateEnd {
  z_stream* stream;
  ~InflateEnd() { inflateEnd(stream); }
};

// Inflates the image data of the consecutive IDAT chunks from |offset| on,
// discarding the output, to verify the zlib stream and its checksum. The
// chunks' CRCs have been verified by libspng.
Status verifyImageData(Source& source, uint64_t offset) {
  constexpr size_t kPiece = 64u << 10;
  Status failure;
  uint8_t* in = scratch(Scratch::kDecoderRow, kPiece, &failure);
  uint8_t* out = scratch(Scratch::kRgbaRow, kPiece, &failure);
  if (in == nullptr || out == nullptr) return failure;
  z_stream stream = {};
  if (inflateInit(&stream) != Z_OK) return outOfMemory("verifying PNG data");
  InflateEnd end{&stream};
  source.seek(offset);
  int status = Z_OK;
  for (;;) {
    uint8_t header[8];
    if (source.read(header, 8) != 8 || std::memcmp(header + 4, "IDAT", 4) != 0) break;
    uint32_t left = be32(header);
    while (left > 0 && status == Z_OK) {
      const size_t piece = std::min<size_t>(left, kPiece);
      if (source.read(in, piece) != piece) break;
      left -= static_cast<uint32_t>(piece);
      stream.next_in = in;
      stream.avail_in = static_cast<uInt>(piece);
      do {
        stream.next_out = out;
        stream.avail_out = static_cast<uInt>(kPiece);
        status = inflate(&stream, Z_NO_FLUSH);
      } while (status == Z_OK && stream.avail_out == 0);
      if (status == Z_BUF_ERROR) status = Z_OK;  // wants more input
    }
    if (status != Z_OK || left > 0) break;
    source.skip(4);
  }
  if (status == Z_STREAM_END) return Status();
  if (status == Z_DATA_ERROR && stream.msg != nullptr &&
      std::strcmp(stream.msg, "incorrect data check") == 0)
    return Status::error(Status::kCorrupt,
                         "invalid PNG data: image data checksum (Adler-32) mismatch");
  return Status::error(Status::kCorrupt,
                       "invalid PNG data: image data stream is damaged or incomplete");
}

// After the last row: reads the chunks up to IEND (verifying their CRCs)
// and makes sure that the image data's checksum has been verified.
Status finishImage(spng_ctx* ctx, PngInput& input, uint64_t endOfRows) {
  const int error = spng_decode_chunks(ctx);
  // A file that ends after its image data and that data's CRC is still a
  // complete image, as a JPEG file without its end marker is.
  const bool endsAfterImage =
      error == SPNG_IO_EOF && input.tracker.offset() >= input.tracker.imageDataEnd() + 4;
  if (error != 0 && !endsAfterImage) return fail(error);
  if (input.tracker.imageDataEnd() <= endOfRows) return Status();
  return verifyImageData(*input.source, input.tracker.firstImageData());
}

// A damaged image data stream: says whether it is the checksum that fails.
Status failImageData(PngInput& input, int error) {
  if (error == SPNG_EIDAT_STREAM && input.tracker.firstImageData() != 0) {
    Status checked = verifyImageData(*input.source, input.tracker.firstImageData());
    if (!checked.ok()) return checked;
  }
  return fail(error);
}

// Host-endian 16-bit RGBA to 8-bit RGBA, rounding: pixels xStart, xStart +
// xStep, ... of a row of |width|.
void narrow(const uint8_t* in, uint32_t width, uint8_t* out, uint32_t xStart = 0,
            uint32_t xStep = 1) {
  for (uint32_t x = xStart; x < width; x += xStep) {
    for (size_t i = size_t{x} * 4; i < size_t{x} * 4 + 4; ++i) {
      uint16_t v;
      std::memcpy(&v, in + i * 2, 2);
      out[i] = static_cast<uint8_t>((uint32_t{v} * 255 + 32767) / 65535);
    }
  }
}

// The columns of each Adam7 pass: the first and the step.
constexpr uint32_t kPassXStart[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr uint32_t kPassXStep[7] = {8, 8, 4, 4, 2, 2, 1};
// The last pass delivers the odd rows, whole and in order; the passes
// before it deliver only even rows.
constexpr int kLastPass = 6;

// An interlaced image. Without scaling, every piece goes straight into the
// bitmap. Scaled, the pieces go into an AreaAccumulator (32 bytes per target
// pixel) when that is no larger than half the image at 4 bytes per pixel;
// otherwise the even rows are held, as the passes before the last complete
// them, and streamed in order during the last pass, each before the odd row
// below it.
Status decodeInterlaced(spng_ctx* ctx, PngInput& input, const spng_ihdr& ihdr, Pipeline& pipeline) {
  const uint32_t width = ihdr.width;
  const uint32_t height = ihdr.height;
  const bool wide = ihdr.bit_depth == 16;
  const size_t rowBytes = size_t{width} * (wide ? 8 : 4);
  Status status;
  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{width} * 4, &status);
  uint8_t* row = wide ? scratch(Scratch::kDecoderRow, rowBytes, &status) : rgba;
  if (rgba == nullptr || row == nullptr) return status;
  // The decoder writes only the pixels of the pass into the row.
  std::memset(row, 0, rowBytes);

  const size_t evenRowBytes = size_t{width} * 4;
  const uint64_t heldBytes = uint64_t{(height + 1) / 2} * evenRowBytes;
  const bool scattered = pipeline.scatteredBytes() <= heldBytes;
  uint8_t* held = nullptr;  // taken when the first row has arrived
  status = scattered ? pipeline.startScattered() : pipeline.setRowSize(width, height);
  if (!status.ok()) return status;
  RowSink& sink = pipeline.sink();
  uint32_t streamed = 0;  // held mode: the rows streamed so far
  // Streams the held even rows above row |end|.
  auto streamHeld = [&](uint32_t end) {
    Status streaming;
    for (; streamed < end && streaming.ok(); streamed += 2)
      streaming = sink.putRow(held + size_t{streamed / 2} * evenRowBytes);
    return streaming;
  };

  const int format = wide ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
  int error =
      spng_decode_image(ctx, nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
  if (error != 0) return fail(error);
  for (;;) {
    spng_row_info info;
    error = spng_get_row_info(ctx, &info);
    // When the passes after the last row delivered are empty (an image of
    // a few pixels), the decoder reports the end of the image only here.
    if (error == SPNG_EOI) break;
    if (error != 0) return fail(error);
    const int result = spng_decode_row(ctx, row, rowBytes);
    if (result != 0 && result != SPNG_EOI) return failImageData(input, result);
    const int pass = info.pass;
    const uint32_t y = info.row_num;
    if (pass < 0 || pass > kLastPass || y >= height)
      return Status::error(Status::kCorrupt, "invalid PNG data: unexpected interlaced row");
    const uint32_t xStart = kPassXStart[pass];
    const uint32_t xStep = kPassXStep[pass];
    if (wide) narrow(row, width, rgba, xStart, xStep);
    if (!scattered && held == nullptr) {
      held = scratch(Scratch::kImage, heldBytes, &status);
      if (held == nullptr) return status;
    }
    if (scattered) {
      status = pipeline.putScattered(y, rgba, xStart, xStep);
    } else if (pass < kLastPass) {
      uint8_t* out = held + size_t{y / 2} * evenRowBytes;
      for (uint32_t x = xStart; x < width; x += xStep)
        std::memcpy(out + size_t{x} * 4, rgba + size_t{x} * 4, 4);
    } else {
      status = streamHeld(y);
      if (status.ok()) status = sink.putRow(rgba);
      streamed = y + 1;
    }
    if (status.ok()) status = pipeline.rowCheck();
    if (!status.ok()) return status;
    if (result == SPNG_EOI) break;
  }
  status = finishImage(ctx, input, input.tracker.offset());
  if (!status.ok()) return status;
  if (scattered) return pipeline.finishScattered();
  return streamHeld(height);
}

// Rows decoded straight into the bitmap, RGB or RGBA.
Status decodeDirectRows(spng_ctx* ctx, PngInput& input, const spng_ihdr& ihdr, bool alpha,
                        Pipeline& pipeline) {
  const int direct = alpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
  const size_t directBytes = size_t{ihdr.width} * (alpha ? 4 : 3);
  int error =
      spng_decode_image(ctx, nullptr, 0, direct, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
  if (error != 0) return fail(error);
  Status status;
  for (uint32_t y = 0; y < ihdr.height; ++y) {
    uint8_t* row = pipeline.directRow(&status);
    if (row == nullptr) return status;
    error = spng_decode_row(ctx, row, directBytes);
    // The last row reports the end of the image instead of success.
    if (error != 0 && !(error == SPNG_EOI && y + 1 == ihdr.height))
      return failImageData(input, error);
    status = pipeline.directRowDone();
    if (status.ok()) status = pipeline.rowCheck();
    if (!status.ok()) return status;
  }
  return finishImage(ctx, input, input.tracker.offset());
}

// Rows decoded as RGBA (16-bit samples narrowed) and streamed through the
// pipeline.
Status decodeRgbaRows(spng_ctx* ctx, PngInput& input, const spng_ihdr& ihdr, Pipeline& pipeline) {
  const bool wide = ihdr.bit_depth == 16;
  const int format = wide ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
  const size_t rowBytes = size_t{ihdr.width} * (wide ? 8 : 4);
  Status status;
  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{ihdr.width} * 4, &status);
  if (rgba == nullptr) return status;
  RowSink& sink = pipeline.sink();
  int error =
      spng_decode_image(ctx, nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
  if (error != 0) return fail(error);
  uint8_t* row = wide ? scratch(Scratch::kDecoderRow, rowBytes, &status) : rgba;
  if (row == nullptr) return status;
  for (uint32_t y = 0; y < ihdr.height; ++y) {
    error = spng_decode_row(ctx, row, rowBytes);
    if (error != 0 && !(error == SPNG_EOI && y + 1 == ihdr.height))
      return failImageData(input, error);
    if (wide) narrow(row, ihdr.width, rgba);
    status = sink.putRow(rgba);
    if (status.ok()) status = pipeline.rowCheck();
    if (!status.ok()) return status;
  }
  return finishImage(ctx, input, input.tracker.offset());
}

}  // namespace

Status decodePng(Source& source, Pipeline& pipeline) {
  spng_ctx* ctx = spng_ctx_new(0);
  if (ctx == nullptr) return outOfMemory("starting a PNG decoder");
  ContextDeleter deleter{ctx};
  spng_set_chunk_limits(ctx, kMaxPngChunkBytes, kMaxPngChunkCacheBytes);
  spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
  PngInput input{&source, {}};
  int error = spng_set_png_stream(ctx, readSource, &input);
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
  header.sourceType = BitmapInfo::kSourcePng;
  header.isGrey = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE ||
                  ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
  header.hasAlpha = hasTrns || ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                    ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  Status status = pipeline.start(header);
  if (!status.ok()) return status;
  // The ICC profile (iCCP) converts the pixels to sRGB. gAMA and cHRM alone
  // are not followed: the pixels go out as stored, as most readers do.
  spng_iccp iccp;
  if (colourManaged() && spng_get_iccp(ctx, &iccp) == 0)
    pipeline.setIccProfile(reinterpret_cast<const uint8_t*>(iccp.profile), iccp.profile_len);
  if (ihdr.interlace_method != SPNG_INTERLACE_NONE)
    return decodeInterlaced(ctx, input, ihdr, pipeline);
  status = pipeline.setRowSize(ihdr.width, ihdr.height);
  if (!status.ok()) return status;

  // 8-bit colour images that need no averaging or turning are decoded
  // straight into the bitmap in its own format.
  const BitmapInfo::Format native =
      header.hasAlpha ? BitmapInfo::kFormatRGBA8888 : BitmapInfo::kFormatRGB888;
  if (ihdr.bit_depth <= 8 && !header.isGrey &&
      pipeline.acceptsDirectRows(native, ihdr.width, ihdr.height))
    return decodeDirectRows(ctx, input, ihdr, header.hasAlpha, pipeline);
  return decodeRgbaRows(ctx, input, ihdr, pipeline);
}

}  // namespace lumo::internal
