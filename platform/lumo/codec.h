// Internal pieces shared by the engine and its format decoders.
//
// A decoder reads the header, hands it to the Pipeline (which checks the limits
// and sets up scaling), then delivers the image row by row in the file's stored
// orientation as straight-alpha RGBA, 8 bits per channel. The pipeline
// allocates the bitmap when the first row arrives, area-averages the rows down
// to the target size if needed, converts them to the requested format and
// places them in the bitmap as the image is meant to be seen (EXIF
// orientation). A decoder whose library writes the whole image at once (WebP)
// writes it into the bitmap instead, which the pipeline then turns in place.
//
// Every fallible call here answers a kor::Status (or a value and a
// kor::Status*); the engine's public calls turn it into their null-and-reason
// convention once, at their edge.
#ifndef PLATFORM_LUMO_CODEC_H_
#define PLATFORM_LUMO_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "platform/kor/status.h"
#include "platform/lumo.h"
#include "platform/osal.h"

struct heif_decoder_plugin;  // libheif's decoder plug-in interface

namespace lumo::internal {

// The largest image (in pixels) the engine decodes or reports: 256 Mi pixels.
// Checked from the header before any allocation that depends on the image
// size, so a small file claiming huge dimensions costs nothing.
constexpr uint64_t kMaxPixels = 268435456u;

// Every row costs the decoders and the pipeline a fixed amount of work on
// top of its pixels (a call per row into the decoder, the pipeline and the
// converter), about as much as 16 pixels. For the size limit a row counts as
// at least that wide, so a very tall, narrow image costs no more than the
// largest image.
constexpr uint32_t kMinRowPixels = 16;

// The most scans a progressive JPEG may have before it is refused.
constexpr int kMaxJpegScans = 1000;

// The largest ancillary PNG chunk kept, and the total kept for all of them.
constexpr size_t kMaxPngChunkBytes = 16u << 20;
constexpr size_t kMaxPngChunkCacheBytes = 64u << 20;

// The work a multi-scan JPEG may ask for, in passes over all of its
// coefficient blocks. A scan costs one pass over the blocks it covers; a
// refinement scan of AC coefficients visits every coefficient of its band
// in every block and costs (16 + band width) / 16 of a pass. Photographs use
// up to about 20 scans and about 15 such passes; a file beyond the budget is
// refused before the scan that would exceed it is decoded. Small images get
// at least kJpegMinScanBlocks blocks, so that they may use up to
// kMaxJpegScans scans.
constexpr uint64_t kJpegScanPasses = 32;
constexpr uint64_t kJpegMinScanBlocks = 1u << 20;

// The pixels of the first GIF frame decoded up to its last visible row may be
// at most twice the screen plus this many: the parts of a frame that lie
// outside the screen are decoded for nothing, and a frame far larger than
// its screen is refused.
constexpr uint64_t kGifSlackPixels = 1u << 20;

// The RLE data a BMP decode reads: at most 2 bytes per pixel (4 for RLE24)
// and 4 per row, plus this many. Well-formed data needs no more (a run is 2
// bytes for at least one pixel, 4 in RLE24, a literal about a byte per
// pixel, 3 in RLE24, an end of line or a delta 2 or 4 bytes per row);
// beyond the budget the data only moves about without drawing, and is
// refused.
constexpr uint64_t kRleBytesPerPixel = 2;
constexpr uint64_t kRle24BytesPerPixel = 4;
constexpr uint64_t kRleSlackBytes = 4096;

// A TIFF band (a strip, or a row of tiles) may take at most this much,
// decoded by libtiff and as RGBA, and libtiff may allocate no more at once:
// a strip or tile that claims more is refused before anything of its size
// is allocated. The tiles of an image may cover at most twice its pixels
// plus kTiffTileSlackPixels, so that tiles far larger than the image are
// not decoded for nothing. Only the first directory of a TIFF is read.
constexpr uint64_t kTiffMaxBandBytes = 256u << 20;
constexpr uint64_t kTiffTileSlackPixels = 1u << 20;

// The largest ICC profile taken from a JPEG XL file; real ones are a few
// kilobytes.
constexpr size_t kJxlMaxIccBytes = 4u << 20;

// Ok when a |width| x |height| image may be decoded: neither dimension is 0,
// the pixel count is within kMaxPixels (each row counting as at least
// kMinRowPixels wide) and a 4-byte-per-pixel buffer of it has a size that fits
// in 32 bits. Otherwise kLimit "image too large: W x H" or kCorrupt "invalid
// image dimensions: W x H".
kor::Status checkDimensions(uint32_t width, uint32_t height);

// kCancelled "decoding cancelled" when the calling thread's work has been
// cancelled (kor::isCancelled()), else ok. Decoders ask at least every few
// rows and before each large step.
kor::Status checkCancelled();

// kNoMemory with |what| in the text ("out of memory <what>").
kor::Status outOfMemory(const char* what);

// Ok for a format a bitmap can have (kFormatDefault included), else
// kInvalidArgument "unsupported pixel format N".
kor::Status checkFormat(BitmapInfo::Format format);

// Per-thread scratch buffers, kept between decodes so that row buffers and
// accumulators are not allocated again for every image. Each slot holds one
// buffer; a request for a slot may move its contents. Buffers larger than
// kScratchKeepBytes are released by trimScratch() at the end of every engine
// call, so a thread does not hold on to image-sized memory between calls.
enum class Scratch : int {
  kImage = 0,    // rows held until their turn (interlaced images), or the
                 // area accumulator's sums of a whole scaled image
  kDecoderRow,   // a decoder's native output row
  kRgbaRow,      // one RGBA row handed to the pipeline
  kTable,        // the area averager's column table
  kRowSums,      // the area averager's sums of one source row
  kAccumulator,  // the area averager's sums of one output row
  kOutputRow,    // one RGBA row leaving the averager
  kConverted,    // one row converted to the output format
  kClearRow,     // a transparent row
  kFileBuffer,   // the Source's read buffer
  kColourRow,    // one row converted to sRGB
  kCount,
};
constexpr size_t kScratchKeepBytes = 4u << 20;

// A buffer of at least |bytes| bytes for |slot|, or null with kNoMemory in
// |*status| when memory is short.
uint8_t* scratch(Scratch slot, size_t bytes, kor::Status* status);
// Releases the scratch buffers above kScratchKeepBytes, then trimHeap().
void trimScratch();
// When blocks of kScratchKeepBytes or more were freed on this thread since
// the last trim, hands the heap's free memory back to the system.
void trimHeap();

// Bitmap pixel buffers of the engine's own (without a PixelBufferProvider):
// takePixelBuffer() reuses the buffer kept on this thread when it fits (at
// least |bytes|, at most twice that), else allocates; givePixelBuffer()
// keeps one buffer per thread (the largest between kKeepPixelBytes and
// kKeepPixelMaxBytes) and frees the rest. Null when memory is short.
constexpr size_t kKeepPixelBytes = 1u << 20;
constexpr size_t kKeepPixelMaxBytes = 64u << 20;
uint8_t* takePixelBuffer(size_t bytes);
void givePixelBuffer(uint8_t* buffer, size_t bytes);

// The size of a Source's buffer: the most one read takes.
constexpr size_t kSourceBufferBytes = 128u << 10;

// The file a decoder reads, through a buffer, with as few system calls as
// the data allows. The first read takes the start of the file: a whole
// buffer for a decode, just enough for a usual header for image information.
// Each later read continues where the last one ended and takes four times as
// much, up to a whole buffer, so a header that reaches further costs a read
// or two more but not a large copy. No byte is read twice and no seek is
// made: the file is read at explicit offsets, so moving the position only
// costs a read when the bytes there are wanted.
//
// The buffer is the thread's Scratch::kFileBuffer: one Source per thread at
// a time.
class Source {
 public:
  // |firstRead|: the size of the first read (at most kSourceBufferBytes).
  explicit Source(size_t firstRead) : m_nextRead(firstRead) {}
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  // Opens |path| as osal::RegularFile::open() does (never blocking, regular
  // files only), with its failure's code (kNotFound, kPermissionDenied...).
  kor::Status open(const char* path);
  // Reads the open file |fd| of |size| bytes instead (a decoder process is
  // handed its files open); it is closed with the Source.
  kor::Status adopt(int fd, uint64_t size);
  // The file's size when it was opened.
  uint64_t size() const { return static_cast<uint64_t>(m_file.size()); }

  // Copies up to |count| bytes from the position and moves past them; fewer
  // only at the end of the file or on a read error.
  size_t read(void* out, size_t count);
  // The next byte, or -1 at the end of the file or on a read error.
  int getByte() {
    if (m_position - m_start < m_length) return m_buffer[m_position++ - m_start];
    uint8_t byte;
    return read(&byte, 1) == 1 ? byte : -1;
  }
  // Hands out the buffered bytes from the position, reading the next part of
  // the file first when none are left, and moves past them: their number,
  // 0 at the end of the file or on a read error. Valid until the next call.
  size_t next(const uint8_t** data);
  // Moves the position; reading starts there when data is next wanted.
  void seek(uint64_t offset) {
    m_position = offset;
    m_atEnd = false;
  }
  void skip(uint64_t count) {
    seek(count > UINT64_MAX - m_position ? UINT64_MAX : m_position + count);
  }

  // A read found the end of the file (cleared by seek()).
  bool atEnd() const { return m_atEnd; }
  // A read failed.
  bool failed() const { return m_failed; }
  // Where the next read starts.
  uint64_t position() const { return m_position; }

 private:
  // Takes the thread's file buffer for the open file.
  kor::Status takeBuffer();
  // Reads at the position into the buffer; false at the end or on an error
  // (failed() then says which).
  bool fill();

  osal::RegularFile m_file;
  uint8_t* m_buffer = nullptr;
  size_t m_nextRead;     // the size of the next read
  uint64_t m_start = 0;  // the file offset of m_buffer[0]
  size_t m_length = 0;   // the bytes of the file in the buffer
  uint64_t m_position = 0;
  bool m_atEnd = false;
  bool m_failed = false;
};

// Every bitmap the engine hands out is one of these: it remembers the
// provider of its pixels (null: the engine's own buffer).
struct BitmapRecord : Bitmap {
  PixelBufferProvider* provider = nullptr;
};

// Owners of the engine's bitmaps give them back as Engine::destroyBitmap()
// does; a record whose pixels are still null is only deleted.
struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { Engine::getInstance().destroyBitmap(bitmap); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;
using BitmapRecordPtr = std::unique_ptr<BitmapRecord, BitmapDeleter>;

// The engine's own work, in this process, whatever Engine::getInstance()
// delegates to: the information or the pixels of the file |path|, or of the
// open file |fd| of |size| bytes when |fd| >= 0 (|path| then only names it
// in reasons). |scaled| false decodes at the image's own size. Null with
// the failure in |*status|.
BitmapInfo* localImageInfo(const util::UnicodeString8& path, int fd, uint64_t size,
                           kor::Status* status);
BitmapPtr localDecode(const util::UnicodeString8& path, int fd, uint64_t size,
                      BitmapInfo::Format format, uint32_t width, uint32_t height, bool scaled,
                      kor::Status* status);
// The thread's pixel buffer provider (see PixelBufferScope), or null.
PixelBufferProvider* pixelProvider();

// What a decoder learnt from the header. Dimensions are in the stored
// orientation; |orientation| (1..8, EXIF meaning) says how to turn the stored
// image into the one meant to be seen.
struct Header {
  uint32_t width = 0;
  uint32_t height = 0;
  int orientation = 1;
  BitmapInfo::SourceType sourceType = BitmapInfo::kSourceUnknown;
  bool hasAlpha = false;
  bool isGrey = false;
};

// Receives straight-alpha RGBA rows (4 bytes per pixel), top row first.
class RowSink {
 public:
  // A failure stops the decode.
  virtual kor::Status putRow(const uint8_t* rgba) = 0;
  // A fully transparent row (every byte 0), cheaper than putRow().
  virtual kor::Status putClearRow() = 0;

 protected:
  ~RowSink() = default;
};

class Pipeline;
class ColourTransform;

// The colour transforms a pipeline holds (colour.h), given back with it.
struct ColourPlan {
  ColourPlan() = default;
  ColourPlan(const ColourPlan&) = delete;
  ColourPlan& operator=(const ColourPlan&) = delete;
  ~ColourPlan();
  ColourTransform* rows = nullptr;    // straight RGBA rows
  ColourTransform* pixels = nullptr;  // the bitmap's own pixels, in place
  ColourTransform* cmyk = nullptr;    // a decoder's CMYK rows to RGBA
};

// The last stage: converts stored-orientation rows of the (possibly scaled)
// image to the bitmap's format and places them as the image is meant to be
// seen. It asks the pipeline for the bitmap's pixels when it first writes
// (Pipeline::pixels()), so that nothing of the image's size is allocated
// before its data has arrived.
class Writer final : public RowSink {
 public:
  Writer(Pipeline& pipeline, BitmapInfo::Format format, uint32_t stride, uint32_t storedWidth,
         uint32_t storedHeight, int orientation)
      : m_pipeline(pipeline),
        m_format(format),
        m_stride(stride),
        m_width(storedWidth),
        m_height(storedHeight),
        m_orientation(orientation) {}
  kor::Status putRow(const uint8_t* rgba) override;
  kor::Status putClearRow() override;
  uint32_t rowsWritten() const { return m_y; }
  // Counts a row that the decoder wrote into the bitmap itself.
  void countDirectRow() { ++m_y; }
  // Scattered rows (orientation 1 only): writes pixels xStart, xStart +
  // xStep, ... of stored row |y|, or clears the row; markAllRows() then says
  // that every pixel has been written. kNoMemory when the bitmap cannot be
  // allocated.
  kor::Status placePixels(uint32_t y, const uint8_t* rgba, uint32_t xStart, uint32_t xStep);
  kor::Status clearRow(uint32_t y);
  void markAllRows() { m_y = m_height; }

 private:
  Pipeline& m_pipeline;
  BitmapInfo::Format m_format;
  uint32_t m_stride;
  uint32_t m_width;
  uint32_t m_height;
  int m_orientation;
  uint32_t m_y = 0;
};

// Where a source column lies among the output columns of an area average:
// in column |index| with |weight| units of its width, and with the rest
// (dstWidth - weight) in column index + 1.
struct AreaColumn {
  uint32_t index;
  uint32_t weight;
};

// The sizes of an area average and where its output rows go, shared by the
// two averagers below.
class AreaScale {
 protected:
  AreaScale(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight,
            RowSink& next)
      : m_srcWidth(srcWidth),
        m_srcHeight(srcHeight),
        m_dstWidth(dstWidth),
        m_dstHeight(dstHeight),
        m_next(next) {}

  uint32_t m_srcWidth;
  uint32_t m_srcHeight;
  uint32_t m_dstWidth;
  uint32_t m_dstHeight;
  RowSink& m_next;
};

// Exact area averaging (a box filter with fractional coverage) from
// |srcWidth| x |srcHeight| down to |dstWidth| x |dstHeight| (each no larger
// than the source). Colour is averaged premultiplied by alpha, so the colour
// of transparent pixels does not bleed into their neighbours. The sums are
// exact 64-bit integers; only the final division rounds. Holds one source
// row's sums and one output row's sums, never a whole image.
class AreaAverager final : public RowSink, private AreaScale {
 public:
  AreaAverager(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight,
               RowSink& next)
      : AreaScale(srcWidth, srcHeight, dstWidth, dstHeight, next) {}
  // Gets the buffers; kNoMemory when memory is short.
  kor::Status init();
  kor::Status putRow(const uint8_t* rgba) override;
  kor::Status putClearRow() override;

 private:
  kor::Status emitRow();
  // Adds the source row just summed into m_rowSums (none when |clear|).
  kor::Status addRow(bool clear);

  uint32_t m_srcY = 0;
  uint32_t m_dstY = 0;
  AreaColumn* m_columns = nullptr;
  uint64_t* m_rowSums = nullptr;
  uint64_t* m_accumulator = nullptr;
  uint8_t* m_output = nullptr;
};

// The same averaging for rows that arrive in any order and a few pixels at a
// time (interlaced images): holds the sums of the whole output image,
// kAccumulatorBytesPerPixel bytes per output pixel, and emits its rows to
// |next| at finish(). Transparent pixels add nothing and need not be given.
// The result is identical to AreaAverager's.
constexpr uint64_t kAccumulatorBytesPerPixel = 32;
class AreaAccumulator final : private AreaScale {
 public:
  AreaAccumulator(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight,
                  RowSink& next)
      : AreaScale(srcWidth, srcHeight, dstWidth, dstHeight, next) {}
  // Gets the buffers; kNoMemory when memory is short.
  kor::Status init();
  // Adds pixels xStart, xStart + xStep, ... of source row |y|.
  void add(uint32_t y, const uint8_t* rgba, uint32_t xStart, uint32_t xStep);
  // Emits every output row.
  kor::Status finish();

 private:
  AreaColumn* m_columns = nullptr;
  uint64_t* m_sums = nullptr;
  uint8_t* m_output = nullptr;
};

// One decode: from the header to the finished bitmap. Used by the engine and
// driven by a decoder. When |infoOnly| is set, start() only records the header
// and answers kCancelled (headerSeen() tells it from a failure); the decoder
// then stops.
//
// The bitmap, and every buffer of the image's or the target's size, is
// allocated only once the image's data has begun to arrive: when the first
// row, or the first pixels of a scattered row, are delivered. A file whose
// header promises a huge image and whose data is missing costs no more than
// its header.
class Pipeline {
 public:
  Pipeline(BitmapInfo::Format format, uint32_t targetWidth, uint32_t targetHeight, bool scaled,
           bool infoOnly);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Checks the limits, picks the output format and size.
  kor::Status start(const Header& header);
  // Colour (colour.cpp). The decoder describes the colour of its pixels
  // after start() and before setRowSize(), startScattered() or the first
  // row, and the pipeline converts them to sRGB, after any area averaging
  // (a reduced decode pays for the reduced image only): rows as straight
  // RGBA on their way to the bitmap, direct rows and whole images in place
  // in the bitmap. Alpha is left as it is. Untagged images, sRGB and pixels
  // wanted as stored (colourManaged() false) take no transform.
  //
  // The ICC profile the file gives for its pixels (|size| bytes). A profile
  // that cannot be used (damaged, too large, of another colour space than
  // the image's) is logged and leaves the pixels as stored, as does a
  // shortage of memory. Always true.
  bool setIccProfile(const uint8_t* data, size_t size);
  // The same for the colour given as ITU-T H.273 code points (a HEIF
  // file's nclx box): colour primaries and transfer characteristics.
  bool setCicp(uint16_t primaries, uint16_t transfer);
  // A CMYK image's profile (|inverted|: 0 means full ink, as Adobe writes
  // it). True when the decoder is to hand its CMYK rows to cmykToRgba(),
  // which converts them through the profile; false when it converts them
  // itself (no colour management, or a profile that cannot be used).
  bool setCmykProfile(const uint8_t* data, size_t size, bool inverted);
  void cmykToRgba(const uint8_t* cmyk, uint32_t count, uint8_t* rgba) const;
  // The pipeline's own stages: |count| straight RGBA pixels converted, in
  // Scratch::kColourRow, or |rgba| itself when there is nothing to do; null
  // (kNoMemory in |*status|) when memory is short. colourScattered()
  // converts pixels xStart, xStart + xStep, ... of a row of |width|.
  // colourInPlace() converts |count| pixels in the bitmap's format.
  const uint8_t* colourRow(const uint8_t* rgba, uint32_t count, kor::Status* status);
  const uint8_t* colourScattered(const uint8_t* rgba, uint32_t width, uint32_t xStart,
                                 uint32_t xStep, kor::Status* status);
  void colourInPlace(uint8_t* pixels, size_t count) const;
  // The size that start() will aim for, as the image is meant to be seen,
  // for an image of |width| x |height| as it is meant to be seen.
  void targetFor(uint32_t width, uint32_t height, uint32_t* targetWidth,
                 uint32_t* targetHeight) const;
  // The size to aim for in the stored orientation (valid after start()).
  uint32_t storedTargetWidth() const { return m_storedTargetWidth; }
  uint32_t storedTargetHeight() const { return m_storedTargetHeight; }
  // The size of the rows the decoder will deliver: at least the stored target
  // and at most the stored image size. Sets up area averaging when larger
  // than the target.
  kor::Status setRowSize(uint32_t width, uint32_t height);
  RowSink& sink();
  // Direct rows: when the decoder can produce rows of |width| x |height| in
  // |native| format, and they need neither averaging nor turning, it writes
  // them straight into the bitmap, saving a conversion pass over the image.
  // Call before setRowSize(); then, for each row, directRow() gives the
  // bitmap row to decode into and directRowDone() counts it. The first row
  // is decoded into a row of its own, and moved into the bitmap, allocated
  // then, by directRowDone(). Both fail with kNoMemory (null from
  // directRow()) when memory is short.
  bool acceptsDirectRows(BitmapInfo::Format native, uint32_t width, uint32_t height) const;
  uint8_t* directRow(kor::Status* status);
  kor::Status directRowDone();
  // The bitmap's pixels, allocated at the first call (with the bitmap's
  // record); null, with kNoMemory in |*status|, when memory is short.
  uint8_t* pixels(kor::Status* status);
  // The bitmap's format (valid after start()).
  BitmapInfo::Format format() const { return m_bitmapFormat; }
  // The whole image at once, for a decoder whose library writes the image
  // into a buffer: wholeImage() gives the bitmap's pixels (allocating them)
  // as storedTargetWidth() x storedTargetHeight() packed rows in the
  // bitmap's format, in the stored orientation; once the decoder has
  // written them all, wholeImageDone() turns them in place as the image is
  // meant to be seen and counts every row written. Orientations 5..8 take
  // a bit per pixel of scratch memory to follow the cycles of the
  // transposition. Null or kNoMemory when memory is short.
  uint8_t* wholeImage(kor::Status* status) { return pixels(status); }
  kor::Status wholeImageDone();
  // Scattered rows, for images whose rows arrive out of order or a few pixels
  // at a time (interlaced PNG and GIF), delivered at the stored image size in
  // orientation 1. Instead of setRowSize(), startScattered() sets up the
  // bitmap itself as the destination when there is no scaling, otherwise an
  // AreaAccumulator, which takes scatteredBytes() of memory from the first
  // pixels delivered. putScattered() delivers pixels xStart, xStart +
  // xStep, ... of stored row |y|, putScatteredClear() a transparent row
  // (every row must be delivered whole, in one or several calls);
  // finishScattered() is called when all have been. Each fails with
  // kNoMemory when memory is short.
  uint64_t scatteredBytes() const;
  kor::Status startScattered();
  kor::Status putScattered(uint32_t y, const uint8_t* rgba, uint32_t xStart, uint32_t xStep);
  kor::Status putScatteredClear(uint32_t y);
  kor::Status finishScattered();
  // Called by a decoder for every row it decodes (scattered rows included):
  // kCancelled when the decode has been cancelled. Asks checkCancelled()
  // every kCancelCheckRows calls.
  static constexpr uint32_t kCancelCheckRows = 16;
  kor::Status rowCheck() {
    if ((++m_rowChecks % kCancelCheckRows) != 0) return kor::Status();
    return checkCancelled();
  }
  // Checks that every row arrived and hands over the bitmap (null, with
  // kCorrupt "image data incomplete" in |*status|, when not).
  BitmapPtr finish(kor::Status* status);

  const Header& header() const { return m_header; }
  bool infoOnly() const { return m_infoOnly; }
  // True when an info-only pipeline has been given an acceptable header.
  bool headerSeen() const { return m_headerSeen; }

 private:
  // Gets the accumulator's buffers at the first scattered pixels.
  kor::Status startAccumulating();

  BitmapInfo::Format m_format;
  uint32_t m_targetWidth;
  uint32_t m_targetHeight;
  bool m_scaled;
  bool m_infoOnly;
  bool m_headerSeen = false;
  Header m_header;
  uint32_t m_storedTargetWidth = 0;
  uint32_t m_storedTargetHeight = 0;
  uint32_t m_rowChecks = 0;
  BitmapInfo::Format m_bitmapFormat = BitmapInfo::kFormatDefault;
  uint32_t m_bitmapWidth = 0;
  uint32_t m_bitmapHeight = 0;
  uint32_t m_stride = 0;
  BitmapRecordPtr m_bitmap;
  // The accumulator of scattered rows has its buffers.
  bool m_accumulating = false;
  std::optional<Writer> m_writer;
  std::optional<AreaAverager> m_averager;
  std::optional<AreaAccumulator> m_accumulator;
  ColourPlan m_colour;
};

// The format decoders. Each reads from |source| positioned at the start and
// drives |pipeline|, and answers how it went (an info-only pipeline stopping
// the decoder is a failure the engine recognises).
kor::Status decodeJpeg(Source& source, Pipeline& pipeline);
kor::Status decodePng(Source& source, Pipeline& pipeline);
kor::Status decodeGif(Source& source, Pipeline& pipeline);
kor::Status decodeBmp(Source& source, Pipeline& pipeline);
kor::Status decodeWebp(Source& source, Pipeline& pipeline);
kor::Status decodeHeif(Source& source, Pipeline& pipeline);
kor::Status decodeTiff(Source& source, Pipeline& pipeline);
kor::Status decodeJxl(Source& source, Pipeline& pipeline);

// The decoder of the format whose signature starts |source|, which is left
// at the start; null for content that no decoder reads.
using FormatDecoder = kor::Status (*)(Source& source, Pipeline& pipeline);
FormatDecoder findDecoder(Source& source);

// Registers the engine's own AV1 and HEVC decoders (av1.cpp, hevc.cpp) with
// libheif, once per process, and reads the cores this process may use, for
// heifCodecThreads(); false when libheif refused them. A decoder process
// calls it before it confines itself.
bool useOwnHeifDecoders();
// The threads the AV1 or HEVC decode of |codedBytes| of data may use: the
// cores this process may run on, at most 8; 1 below kThreadedCodedBytes,
// where starting and ending threads costs more than they would save (the
// tiles of a grid, thumbnails).
constexpr size_t kThreadedCodedBytes = 32 * 1024;
int heifCodecThreads(size_t codedBytes);
const ::heif_decoder_plugin* ownHevcPlugin();

// The orientation (1..8) in an Exif block, 1 when it has none or cannot be
// read. |exif| starts with the "Exif\0\0" header, as an APP1 segment's data.
int exifOrientation(const uint8_t* exif, size_t size);

// Row conversion from straight RGBA to |format| (not kFormatDefault).
void convertRow(const uint8_t* rgba, uint32_t count, BitmapInfo::Format format, uint8_t* out);

}  // namespace lumo::internal

#endif  // PLATFORM_LUMO_CODEC_H_
