// TIFF decoding (libtiff): the first image of the file, in strips or tiles,
// of any photometric kind libtiff's RGBA reader knows (bilevel, grey,
// palette, RGB, CMYK, YCbCr, with or without alpha) at 1 to 16 bits per
// sample, in any compression libtiff was built with.
//
// libtiff reads the file through the Source (TIFFClientOpen): the decoder
// process is handed its files open. Opening reads the header and the first
// directory only; an information request stops there. Directories after
// the first are never read, so a chain of directories (or a loop of them)
// costs nothing.
//
// The pixels are read one band at a time, a strip or a row of tiles, into
// a buffer of the band's size, and go from there row by row through the
// pipeline, which averages them down for a reduced decode: the memory is
// the target's and a band's, not the image's. The RGBA reader is asked for
// the file's own orientation, so it turns nothing; the orientation goes to
// the pipeline, which places the rows as the image is meant to be seen.
//
// libtiff's messages never reach stderr: its process-wide handlers are
// cleared, and each file's own handlers keep the first error, which
// becomes the reason of a failure.
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/kor.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

struct Messages {
  char first[200] = {};
};

int keepFirstError(TIFF*, void* user, const char* module, const char* format, va_list args) {
  auto* messages = static_cast<Messages*>(user);
  if (messages->first[0] == '\0') {
    const size_t size = sizeof(messages->first);
    const int n = std::snprintf(messages->first, size, "%s: ", module ? module : "libtiff");
    if (n > 0 && static_cast<size_t>(n) < size)
      std::vsnprintf(messages->first + n, size - static_cast<size_t>(n), format, args);
  }
  return 1;
}

int ignoreWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

tmsize_t readProc(thandle_t handle, void* data, tmsize_t size) {
  if (size < 0) return -1;
  return static_cast<tmsize_t>(static_cast<Source*>(handle)->read(data, static_cast<size_t>(size)));
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) { return -1; }

toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
  auto* source = static_cast<Source*>(handle);
  if (whence == SEEK_CUR) offset += source->position();
  if (whence == SEEK_END) offset += source->size();
  source->seek(offset);
  return offset;
}

int closeProc(thandle_t) { return 0; }
toff_t sizeProc(thandle_t handle) { return static_cast<Source*>(handle)->size(); }
int mapProc(thandle_t, void**, toff_t*) { return 0; }
void unmapProc(thandle_t, void*, toff_t) {}

using kor::Status;

Status invalid(const Messages& messages, const char* otherwise) {
  return Status::error(Status::kCorrupt, "invalid TIFF data: %s",
                       messages.first[0] != '\0' ? messages.first : otherwise);
}

// An open file and its RGBA reader, released together.
struct File {
  Messages messages;
  TIFF* tiff = nullptr;
  TIFFRGBAImage image{};
  bool imageBegun = false;
  // The colour is stored premultiplied by alpha, and comes out so.
  bool premultiplied = false;
  ~File() {
    if (imageBegun) TIFFRGBAImageEnd(&image);
    if (tiff != nullptr) TIFFClose(tiff);
  }
};

Status open(Source& source, File* file) {
  // The process-wide handlers would print; the file's own take over.
  static const bool silenced = [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return true;
  }();
  (void)silenced;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return outOfMemory("opening TIFF data");
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(kTiffMaxBandBytes));
  TIFFOpenOptionsSetErrorHandlerExtR(options, keepFirstError, &file->messages);
  TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
  // "m": no memory mapping; the file is read through the Source.
  file->tiff = TIFFClientOpenExt("image", "rm", &source, readProc, writeProc, seekProc, closeProc,
                                 sizeProc, mapProc, unmapProc, options);
  TIFFOpenOptionsFree(options);
  if (file->tiff == nullptr) return invalid(file->messages, "cannot read the header");
  char message[1024] = {};
  if (!TIFFRGBAImageOK(file->tiff, message))
    return Status::error(Status::kUnsupported, "unsupported TIFF data: %s", message);
  // The RGBA reader would premultiply unassociated alpha, losing the colour
  // of nearly transparent pixels: the samples are declared associated so
  // that they come out as stored, and only stored premultiplied colour is
  // divided back.
  uint16_t extraCount = 0;
  const uint16_t* extra = nullptr;
  const uint16_t associated = EXTRASAMPLE_ASSOCALPHA;
  const bool straight = TIFFGetField(file->tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) &&
                        extraCount == 1 && extra[0] == EXTRASAMPLE_UNASSALPHA;
  if (straight) TIFFSetField(file->tiff, TIFFTAG_EXTRASAMPLES, 1, &associated);
  file->imageBegun = TIFFRGBAImageBegin(&file->image, file->tiff, 1, message) != 0;
  if (!file->imageBegun) return invalid(file->messages, message);
  file->premultiplied = !straight && file->image.alpha == EXTRASAMPLE_ASSOCALPHA;
  return Status();
}

// The rows of a band and the checks of its size and of the work it takes;
// kLimit when the file asks too much.
Status bandRows(TIFF* tiff, uint32_t width, uint32_t height, uint32_t* rows) {
  uint64_t decoded = 0;
  if (TIFFIsTiled(tiff)) {
    uint32_t tileWidth = 0;
    uint32_t tileHeight = 0;
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    if (tileWidth == 0 || tileHeight == 0) return invalid({}, "a tile without size");
    const uint64_t across = (uint64_t{width} + tileWidth - 1) / tileWidth;
    const uint64_t down = (uint64_t{height} + tileHeight - 1) / tileHeight;
    const uint64_t covered = across * tileWidth * down * tileHeight;
    if (covered > 2 * uint64_t{width} * height + kTiffTileSlackPixels)
      return Status::error(Status::kLimit,
                           "unsupported TIFF data: tiles of %u x %u for a %u x %u image", tileWidth,
                           tileHeight, width, height);
    decoded = TIFFTileSize64(tiff);
    *rows = std::min(tileHeight, height);
  } else {
    uint32_t perStrip = height;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &perStrip);
    *rows = std::clamp<uint32_t>(perStrip, 1, height);
    decoded = TIFFVStripSize64(tiff, *rows);
  }
  const uint64_t rgba = uint64_t{width} * *rows * 4;
  if (decoded == 0 || decoded > kTiffMaxBandBytes || rgba > kTiffMaxBandBytes)
    return Status::error(Status::kLimit,
                         "unsupported TIFF data: a strip or tile of %u rows is too large", *rows);
  return Status();
}

// Colour stored premultiplied by alpha, made straight for the pipeline.
void unpremultiply(const uint8_t* in, uint32_t count, uint8_t* out) {
  for (uint32_t i = 0; i < count; ++i, in += 4, out += 4) {
    const uint32_t a = in[3];
    for (int c = 0; c < 3; ++c)
      out[c] =
          a == 0 ? 0 : static_cast<uint8_t>(std::min<uint32_t>(255, (in[c] * 255 + a / 2) / a));
    out[3] = static_cast<uint8_t>(a);
  }
}

Status readBands(File& file, Pipeline& pipeline, uint32_t band) {
  TIFFRGBAImage& image = file.image;
  const uint32_t width = image.width;
  const uint32_t height = image.height;
  Status status;
  auto* pixels =
      reinterpret_cast<uint32_t*>(scratch(Scratch::kImage, size_t{width} * band * 4, &status));
  uint8_t* straight =
      file.premultiplied ? scratch(Scratch::kRgbaRow, size_t{width} * 4, &status) : nullptr;
  if (pixels == nullptr || (file.premultiplied && straight == nullptr)) return status;
  status = pipeline.setRowSize(width, height);
  if (!status.ok()) return status;
  RowSink& sink = pipeline.sink();
  for (uint32_t y = 0; y < height; y += band) {
    if (status = checkCancelled(); !status.ok()) return status;
    const uint32_t rows = std::min(band, height - y);
    image.row_offset = static_cast<int>(y);
    image.col_offset = 0;
    if (!TIFFRGBAImageGet(&image, pixels, width, rows))
      return invalid(file.messages, "cannot read the image data");
    for (uint32_t r = 0; r < rows; ++r) {
      // Each pixel is A << 24 | B << 16 | G << 8 | R: R, G, B, A in memory
      // on a little-endian machine.
      auto* row = reinterpret_cast<uint8_t*>(pixels + size_t{r} * width);
      if constexpr (std::endian::native == std::endian::big) {
        for (uint32_t x = 0; x < width; ++x)
          pixels[size_t{r} * width + x] = __builtin_bswap32(pixels[size_t{r} * width + x]);
      }
      if (straight != nullptr) {
        unpremultiply(row, width, straight);
        row = straight;
      }
      status = sink.putRow(row);
      if (status.ok()) status = pipeline.rowCheck();
      if (!status.ok()) return status;
    }
  }
  return status;
}

}  // namespace

Status decodeTiff(Source& source, Pipeline& pipeline) {
  File file;
  Status status = open(source, &file);
  if (!status.ok()) return status;
  TIFFRGBAImage& image = file.image;
  Header header;
  header.width = image.width;
  header.height = image.height;
  header.orientation = image.orientation;
  header.hasAlpha = image.alpha != 0;
  header.isGrey =
      (image.photometric == PHOTOMETRIC_MINISBLACK || image.photometric == PHOTOMETRIC_MINISWHITE);
  status = pipeline.start(header);
  if (!status.ok()) return status;
  // The reader delivers the rows as stored; the pipeline turns them.
  image.req_orientation = image.orientation;
  uint32_t band = 0;
  status = bandRows(file.tiff, image.width, image.height, &band);
  if (!status.ok()) return status;
  uint32_t iccSize = 0;
  const void* icc = nullptr;
  if (TIFFGetField(file.tiff, TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc != nullptr)
    pipeline.setIccProfile(static_cast<const uint8_t*>(icc), iccSize);
  return readBands(file, pipeline, band);
}

}  // namespace lumo::internal
