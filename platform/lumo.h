// The image engine: reads image headers and decodes images into packed pixels,
// optionally scaled down while decoding.
//
// Formats are recognised by content, never by file name: JPEG (baseline,
// progressive, greyscale, CMYK, YCCK), PNG (every colour type and depth,
// palette with tRNS, Adam7), GIF (the first frame, on a transparent canvas of
// the logical screen size), BMP (1/2/4/8/16/24/32 bits, RLE8, RLE4, OS/2
// RLE24, bit fields of any width, bottom-up and top-down), WebP (lossy and
// lossless, with alpha; the first frame of an animation, on a transparent
// canvas of its size) and HEIF and AVIF (the primary image, with the
// container's rotation, mirroring and cropping applied). A null result always
// leaves a reason in the calling thread's kor::ErrorStorage, e.g. "not a
// supported image file: <path>", "cannot open <path>: <error>", "truncated
// JPEG data", "image too large: 70000 x 70000", with a code
// (kor::ErrorStorage::code()): kUnsupported for what is not an image or uses
// a feature no decoder reads, kCorrupt for damaged or truncated data, kLimit
// for the limits below, kNotFound and kPermissionDenied for a file that
// cannot be opened, kNoMemory, kCancelled; and from a decoder process
// kClosed (it died), kTimedOut (its deadline) or kProtocol.
//
// Limits, checked from the header before anything is allocated for the
// image: at most 256 Mi pixels (268,435,456), a row counting as at least 16
// pixels wide, and a 32-bit size for the 4-byte-per-pixel image; 16 MiB per
// ancillary PNG chunk. A HEIF grid's or overlay's size stated in its own
// data (read across all of the item's extents) is checked as well, and
// libheif is told to compose no image, nor decode a coded one, larger on
// either side than the largest side of the size boxes of the image decoded
// and of its tiles, rounded up to 64 pixels. The pixel limits bound decoding
// only: getImageInfo reads the header of an image of any size (it refuses a
// zero width or height), so a 20000 x 15000 picture has its information,
// not its pixels. Nothing of the image's or the target's size is allocated
// before the image's data begins to arrive: the bitmap, and the buffers that
// a scaled interlaced image needs, are made once the first row (or pass) has
// been decoded, so a file whose header claims a huge image and whose data is
// missing fails having cost little more than its header.
//
// The work of a decode is bounded by the size of the image: a multi-scan JPEG
// may have at most 1000 scans and at most about 32 passes' worth of scans
// over its coefficient blocks (refused before the scan beyond); the first GIF
// frame is decoded only up to its last row on the screen, and a frame far
// larger than the screen is refused; BMP RLE data that goes on moving about
// without drawing is refused. A decode can be cancelled from outside: the
// engine asks kor::isCancelled() every few rows and before each JPEG scan,
// and fails with "decoding cancelled" when it answers true.
//
// JPEG and WebP EXIF orientation (1..8) is applied: the information and the
// pixels describe the image as it is meant to be seen. No second copy of the
// image is made for it: JPEG rows are placed turned as they are decoded, a
// WebP bitmap is turned in place once decoded (turning by 90 degrees follows
// the cycles of the transposition, with a bit per pixel to mark them). HEIF
// rotation and mirroring are placed the same way as the rows stream, except
// for an image with a clean aperture, and a single coded image with alpha,
// which libheif turns (into a turned copy of the image). 16-bit PNG samples
// are rounded to 8 bits. Truncated data fails the decode, and no pixel of a
// bitmap is ever left undefined. A PNG decode verifies the CRC of every
// chunk and the zlib checksum of the image data, and fails with a reason
// that names the checksum when one does not match.
#ifndef PLATFORM_LUMO_H_
#define PLATFORM_LUMO_H_

#include <cstddef>
#include <cstdint>

#include "platform/util.h"

namespace lumo {

template <class T>
struct Vec2 {
  T x;  // width
  T y;  // height
};

// Progress callback of a decode. The engine passes it on to nothing yet; it
// exists so that a caller can be given progress later without an API change.
class LoadingListener {
 public:
  virtual ~LoadingListener() = default;
  // Called with the fraction done (0..1); returning false cancels the decode.
  virtual bool onProgress(float fraction) = 0;
};

// The header of an image file.
struct BitmapInfo {
  // What kind of file the image came from.
  enum SourceType : int32_t {
    kSourceUnknown = 0,
    kSourceJpeg = 1,
    kSourcePng = 2,
    kSourceGif = 3,
    kSourceBmp = 4,
    kSourceWebp = 5,
    // HEIF (HEIC) and AVIF: a source type of the engine's own, outside the
    // five above, so the service reports it as an unknown format.
    kSourceHeif = 6,
  };

  // Packed pixel formats, 8 bits per channel unless stated. Bytes are listed
  // in memory order. A format without alpha drops the alpha channel (the
  // straight colour is kept). L8 from colour is Rec. 601 luma; RGB565 rounds
  // each channel to its width.
  enum Format : int32_t {
    kFormatDefault = 0,   // ask for the engine's choice (see createBitmap)
    kFormatL8 = 1,        // grey
    kFormatLA88 = 2,      // grey, alpha
    kFormatRGB565 = 3,    // 16-bit little-endian word: R in bits 15..11, G 10..5, B 4..0
    kFormatRGB888 = 4,    // R, G, B
    kFormatBGR888 = 5,    // B, G, R
    kFormatRGBA8888 = 6,  // R, G, B, A (straight alpha)
    kFormatBGRA8888 = 7,  // B, G, R, A (straight alpha)
    kFormatARGB8888 = 8,  // A, R, G, B (straight alpha)
  };

  uint32_t width = 0;   // as the image is meant to be seen (after orientation)
  uint32_t height = 0;  // as the image is meant to be seen (after orientation)
  SourceType sourceType = kSourceUnknown;
  // The file can hold transparency: an alpha channel, a tRNS chunk, a GIF
  // transparent index or a first frame not covering the screen (GIF, WebP),
  // a BMP with an alpha field (taken as opaque when it is 0 in every
  // pixel).
  bool hasAlpha = false;
  // Stored as grey: greyscale JPEG, PNG colour types 0 and 4.
  bool isGrey = false;

  // Bytes per pixel of |format|; 0 for kFormatDefault and unknown values.
  static uint32_t getBpp(Format format);
};

// A decoded image. Rows are packed: stride == width * getBpp(format).
struct Bitmap {
  enum ScalingMethod : int32_t {
    kScalingAreaAverage = 0,  // box filter over the source pixels
  };

  uint32_t width = 0;
  uint32_t height = 0;
  BitmapInfo::Format format = BitmapInfo::kFormatDefault;
  uint32_t stride = 0;  // bytes per row
  uint8_t* pixels = nullptr;
};

// Where the pixels of the bitmaps decoded on a thread are kept. While a
// PixelBufferScope lives on a thread, createBitmap() there first asks its
// provider for the bitmap's pixel buffer, and takes its own only when the
// provider gives none. destroyBitmap() (or a failed decode) gives the buffer
// back to the provider it came from, on whichever thread it runs: a provider
// must outlive every bitmap made with its buffers.
class PixelBufferProvider {
 public:
  virtual ~PixelBufferProvider() = default;
  // A buffer of at least |bytes| bytes, or null to let the engine allocate.
  virtual uint8_t* allocatePixels(size_t bytes) = 0;
  // The same, for pixels that a decoder process writes into the buffer's
  // shared memory (sharedPixels()), never through this process: its pages
  // need not be mapped here.
  virtual uint8_t* allocateForeignPixels(size_t bytes) { return allocatePixels(bytes); }
  // Takes back a buffer that allocatePixels() gave.
  virtual void releasePixels(uint8_t* pixels) = 0;
  // The shared memory that holds |pixels| (a buffer allocatePixels() gave),
  // for a decoder process to write into: a memfd sealed against shrinking
  // (still owned by the provider) and, in |*id|, a number that names that
  // memory among the provider's for as long as it lives (0: none; a decoder
  // then maps it for this bitmap alone). -1 when the buffer is not shared
  // memory: the pixels are then copied into it.
  virtual int sharedPixels(const uint8_t* pixels, uint64_t* id) {
    (void)pixels;
    *id = 0;
    return -1;
  }
  // The size below which allocatePixels() always gives null. A decoder
  // process writes smaller bitmaps into memory it already holds, without
  // first asking for any. 0: none known, every bitmap is asked for.
  virtual size_t smallestLent() const { return 0; }
};

// Makes |provider| the one of the calling thread while it lives (null: the
// engine's own buffers). Scopes nest; the end of one restores the previous.
class PixelBufferScope {
 public:
  explicit PixelBufferScope(PixelBufferProvider* provider);
  ~PixelBufferScope();
  PixelBufferScope(const PixelBufferScope&) = delete;
  PixelBufferScope& operator=(const PixelBufferScope&) = delete;

 private:
  PixelBufferProvider* const m_previous;
};

// Decoder processes
// -----------------
// While startDecoders() holds, the engine parses no image in this process:
// every getImageInfo() and createBitmap() is carried out by a decoder
// process (the executable imageserver-decoder, found in
// ../libexec/imageserver/ or libexec/imageserver/ beside the library or
// program that holds this code). What goes to it is the open file; what
// comes back is the information, or the pixels in memory of the pixel
// buffer provider's (zero copy where the provider lends shared memory).
//
// A decoder confines itself before it reads a byte of input: no new
// privileges, empty user, network, mount and IPC namespaces where the
// kernel allows them (one level 3 line names a layer it does not allow), a
// seccomp filter that kills it at any system call outside a short list (no
// open, socket, exec, ptrace or signal to another process among them),
// every descriptor but its channel closed, and limits on its address space
// (kDecoderAddressSpace), descriptors and CPU time.
//
// A decoder serves one client (DecoderScope) and never another: it sees
// only that client's files and memory. Spare decoders are started ahead of
// need (kSpareDecoders; one taken while another is ready is replaced once
// no client has arrived for a moment), at most kMaxDecoders are kept, a
// decoder idle for kDecoderIdleMs ends, and releaseDecoder() ends a
// client's at once. A decoder that crashes, breaks the protocol, runs past
// its deadline (a base plus a time per byte of the bitmap) or whose client
// leaves mid-request (kor::isCancelled()) is killed: that call fails, with
// the signal or the cause as the reason, and the client's next call gets a
// fresh decoder. So does one that ran out of its address space (the call
// fails with the decoder's reason and code, kNoMemory). Nothing a decoder
// does can make the caller crash or wait past the deadline.
constexpr uint32_t kSpareDecoders = 2;
constexpr uint32_t kMaxDecoders = 16;
constexpr uint32_t kDecoderIdleMs = 10000;
constexpr uint64_t kDecoderAddressSpace = 4ull << 30;
constexpr uint32_t kInfoDeadlineMs = 5000;
constexpr uint32_t kDecodeDeadlineBaseMs = 10000;
constexpr uint32_t kDecodeDeadlineNanosPerByte = 25;

// Starts the decoder processes (counted: each call needs a stopDecoders()).
// Spare processes start in the background; a call that finds none waits
// for one. False when the executable cannot be found: calls then fail with
// that reason rather than decode here.
bool startDecoders();
// The last stopDecoders() ends every decoder process and waits for them.
void stopDecoders();
// Ends the decoder of |client| (its next call gets a fresh one).
void releaseDecoder(uint64_t client);

// Says that the calling thread's client will ask for the information of
// |path| once more soon, after the calls announced so far: its decoder
// process may read it meanwhile, while this thread does other work. At
// most kInfoReadAhead reads are ahead at once for a client, so at most
// kMaxDecoders times that in all, each an open file in flight until its
// decoder takes it; a read ahead that no call asks for in that order is
// dropped. False when the read is not ahead: no decoder processes, too
// many reads ahead, or a file that cannot be opened (its own call then
// says why).
constexpr uint32_t kInfoReadAhead = 8;
bool readInfoAhead(const util::UnicodeString8& path);

// Names the client for whom the engine works on this thread while the
// scope lives: a number that no other client of the process ever has (0:
// no client; such calls share one decoder). Scopes nest.
class DecoderScope {
 public:
  explicit DecoderScope(uint64_t client);
  ~DecoderScope();
  DecoderScope(const DecoderScope&) = delete;
  DecoderScope& operator=(const DecoderScope&) = delete;

  // The client of the calling thread.
  static uint64_t current();

 private:
  const uint64_t m_previous;
};

// The process-wide engine. All operations are thread-safe; each call works on
// its own data.
class Engine {
 public:
  static Engine& getInstance();

  // Reads the image header only (never pixel data). The caller gives the record back with
  // destroyBitmapInfo(). Null on failure (reason in kor::ErrorStorage).
  BitmapInfo* getImageInfo(const util::UnicodeString8& path);
  void destroyBitmapInfo(BitmapInfo* info);  // null is ignored

  // Decodes at the image's own size. |format| kFormatDefault picks a packed
  // 8-bit-per-channel format that keeps what the image has: L8 for grey,
  // LA88 for grey with alpha, RGB888 for colour, RGBA8888 for colour with
  // alpha. |listener| may be null. Null on failure.
  Bitmap* createBitmap(const util::UnicodeString8& path, BitmapInfo::Format format,
                       LoadingListener* listener);
  // Decodes scaled to |size| (width x height as the image is meant to be
  // seen) with |method|. There is no upscaling: each target dimension is
  // clamped to 1..the image's own, so a target at least as large as the
  // image in both directions decodes at full size. |keepAspect| is reserved
  // and must be false. Null on failure.
  //
  // kScalingAreaAverage is an exact box filter with fractional coverage,
  // averaging colour premultiplied by alpha. JPEG first uses the decoder's
  // scaled IDCT (1/8 .. 8/8) down to the smallest size not below the target,
  // and HEIF the smallest thumbnail stored in the file that is at least the
  // target size (with the image's shape). PNG, GIF and BMP are scaled row by
  // row as they are decoded, and no buffer of the image's own size is made,
  // with one exception: the rows of an interlaced PNG or GIF only become
  // final in the last pass, so until then the decoder holds either the sums
  // of the whole target image (32 bytes per target pixel) or the rows that
  // the last pass does not deliver (half the image, 4 bytes per pixel for
  // PNG, 1 for GIF), whichever is smaller.
  //
  // HEIF and AVIF: a grid (the layout of large HEIF photographs) is decoded
  // tile by tile, one row of tiles at a time, and its rows are scaled as
  // they stream: it takes the decoded row of tiles (3 bytes per pixel of it,
  // 6 with alpha) and what libheif needs to decode one tile, not the image.
  // libheif 1.15 composes a grid whole instead (about 6 bytes per pixel of
  // the grid, and more for the decode of its tiles, several at once), and
  // the engine lets it where a grid cannot be decoded tile by tile: a grid
  // with a clean aperture ('clap'), tiles of different sizes, tiles that do
  // not cover the grid or carry alpha of their own, an alpha image that is
  // not a grid of the same tiles turned as the image, or a size that
  // differs from the one libheif reports. An image that is one coded
  // picture (most AVIF images, a HEIF image that is not a grid), and an
  // overlay, is decoded whole by libheif (its planes and 3 or 4 bytes per
  // pixel) and then scaled.
  //
  // WebP is the exception to the exact filter: libwebp scales it while
  // decoding, straight to the target size, with an area average of its own
  // in fixed point, within a few levels of the exact one. A lossless image
  // is averaged premultiplied by alpha (in 8 bits); a lossy one in its YUV
  // planes, colour not weighted by alpha, so the colour under transparent
  // pixels can bleed into their neighbours. An animation's first frame is
  // scaled to its place on the scaled canvas, its edges rounded to whole
  // pixels. The engine makes no buffer of the image's size for WebP (for
  // L8, LA88 and RGB565, which libwebp does not write, one of the target's
  // size, 4 bytes per pixel), but libwebp keeps a lossless image whole while
  // decoding, 4 bytes per pixel (per 2, 4 or 8 pixels with a palette of at
  // most 16, 4 or 2 colours), and a lossy image's alpha plane, a byte or two
  // per pixel.
  Bitmap* createBitmap(const util::UnicodeString8& path, BitmapInfo::Format format,
                       const Vec2<unsigned int>& size, Bitmap::ScalingMethod method,
                       bool keepAspect, LoadingListener* listener);
  // Takes a bitmap that createBitmap() made; null is ignored.
  void destroyBitmap(Bitmap* bitmap);

  // Allocation sites for fault injection (kor::testing::failAllocations):
  // "lumo::Bitmap" is consulted for the record and then for the pixel
  // buffer, "lumo::BitmapInfo" for the information record.

 private:
  Engine() = default;
};

}  // namespace lumo

#endif  // PLATFORM_LUMO_H_
