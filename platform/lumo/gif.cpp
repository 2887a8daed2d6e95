// GIF decoding: the first frame only, on a transparent canvas of the logical
// screen size. Records are read only up to the first image, so a file with
// thousands of frames costs no more than one with a single frame.
// Transparency comes from a graphics control extension before the image.
// Pixel indices beyond the colour table are left transparent.
//
// The canvas is never made: the rows of the screen are produced one by one,
// transparent outside the frame, and the frame is decoded only up to its
// last row on the screen. Its rows must be decoded whole, the parts beyond
// the screen's edges included, so a frame whose decoded part would be far
// larger than the screen (kGifSlackPixels) is refused. An interlaced frame
// delivers its rows in four passes, the last of them the odd rows in order;
// see decodeInterlaced().
#include <gif_lib.h>

#include <algorithm>
#include <cstring>

#include "platform/kor.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

int readFromSource(GifFileType* gif, GifByteType* buffer, int length) {
  if (length <= 0) return 0;
  return static_cast<int>(
      static_cast<Source*>(gif->UserData)->read(buffer, static_cast<size_t>(length)));
}

using kor::Status;

Status fail(int error) {
  if (error == D_GIF_ERR_READ_FAILED || error == D_GIF_ERR_EOF_TOO_SOON)
    return Status::error(Status::kCorrupt, "truncated GIF data");
  const char* text = GifErrorString(error);
  return Status::error(error == D_GIF_ERR_NOT_ENOUGH_MEM ? Status::kNoMemory : Status::kCorrupt,
                       "invalid GIF data: %s", text != nullptr ? text : "unknown error");
}

struct GifCloser {
  GifFileType* gif;
  ~GifCloser() {
    int ignored = 0;
    DGifCloseFile(gif, &ignored);
  }
};

// Reads records up to the first image descriptor; |*transparent| gets the
// transparent index of a graphics control extension before it, or -1.
Status readToFirstImage(GifFileType* gif, int* transparent) {
  *transparent = -1;
  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return fail(gif->Error);
    switch (type) {
      case EXTENSION_RECORD_TYPE: {
        int code = 0;
        GifByteType* data = nullptr;
        if (DGifGetExtension(gif, &code, &data) == GIF_ERROR) return fail(gif->Error);
        if (code == GRAPHICS_EXT_FUNC_CODE && data != nullptr && data[0] >= 4)
          *transparent = (data[1] & 0x01) != 0 ? data[4] : -1;
        while (data != nullptr)
          if (DGifGetExtensionNext(gif, &data) == GIF_ERROR) return fail(gif->Error);
        break;
      }
      case IMAGE_DESC_RECORD_TYPE:
        if (DGifGetImageDesc(gif) == GIF_ERROR) return fail(gif->Error);
        return Status();
      case TERMINATE_RECORD_TYPE:
        return Status::error(Status::kCorrupt, "invalid GIF data: the file has no image");
      default:
        break;
    }
  }
}

// The first frame's place on the screen.
struct FrameLayout {
  uint32_t width;  // screen
  uint32_t height;
  uint32_t frameLeft;  // frame
  uint32_t frameTop;
  uint32_t frameWidth;
  uint32_t frameHeight;
  uint32_t visibleLeft;  // the screen columns the frame covers
  uint32_t visibleRight;
  uint32_t visibleRows;  // frame rows 0 .. visibleRows - 1 lie on the screen
  bool interlaced;
  int transparent;
  const ColorMapObject* colours;
};

// The rows of an interlaced frame come in four passes.
constexpr int kPassStart[4] = {0, 4, 2, 1};
constexpr int kPassStep[4] = {8, 8, 4, 2};

// Frame row number |index| in the order the file holds them.
uint32_t storedRow(const FrameLayout& f, uint32_t index) {
  if (!f.interlaced) return index;
  for (int pass = 0; pass < 4; ++pass) {
    const uint32_t start = static_cast<uint32_t>(kPassStart[pass]);
    const uint32_t step = static_cast<uint32_t>(kPassStep[pass]);
    const uint32_t rows = f.frameHeight > start ? (f.frameHeight - start + step - 1) / step : 0;
    if (index < rows) return start + index * step;
    index -= rows;
  }
  return f.frameHeight;
}

// How many frame rows, in the order of the file, must be decoded to reach
// the last one on the screen.
uint32_t rowsToDecode(const FrameLayout& f) {
  if (f.visibleRows == 0 || f.visibleLeft >= f.visibleRight) return 0;
  if (!f.interlaced) return f.visibleRows;
  uint32_t needed = 0;
  for (uint32_t index = 0; index < f.frameHeight; ++index)
    if (storedRow(f, index) < f.visibleRows) needed = index + 1;
  return needed;
}

// Colours the screen columns of the frame in |rgba| from palette indices,
// |pixels[0]| being that of screen column |firstColumn|; the other columns
// of |rgba| are left alone.
void composeRow(const FrameLayout& f, const GifPixelType* pixels, uint32_t firstColumn,
                uint8_t* rgba) {
  for (uint32_t x = f.visibleLeft; x < f.visibleRight; ++x) {
    const int index = pixels[x - firstColumn];
    uint8_t* p = rgba + size_t{x} * 4;
    if (index == f.transparent || index >= f.colours->ColorCount) {
      std::memset(p, 0, 4);
      continue;
    }
    const GifColorType& colour = f.colours->Colors[index];
    p[0] = colour.Red;
    p[1] = colour.Green;
    p[2] = colour.Blue;
    p[3] = 255;
  }
}

// A frame stored row by row: streamed with the screen's rows.
Status decodeSequential(GifFileType* gif, const FrameLayout& f, Pipeline& pipeline,
                        GifPixelType* line, uint8_t* rgba) {
  if (Status status = pipeline.setRowSize(f.width, f.height); !status.ok()) return status;
  RowSink& sink = pipeline.sink();
  const uint32_t frameEnd = f.frameTop + rowsToDecode(f);
  // The first frame row is decoded before the transparent rows above it
  // are delivered: the bitmap is made only once image data has arrived.
  bool decoded = false;
  if (f.frameTop < frameEnd) {
    if (DGifGetLine(gif, line, static_cast<int>(f.frameWidth)) == GIF_ERROR)
      return fail(gif->Error);
    decoded = true;
  }
  for (uint32_t y = 0; y < f.height; ++y) {
    if (y >= f.frameTop && y < frameEnd) {
      if (!decoded && DGifGetLine(gif, line, static_cast<int>(f.frameWidth)) == GIF_ERROR)
        return fail(gif->Error);
      decoded = false;
      composeRow(f, line, f.frameLeft, rgba);
      if (Status status = sink.putRow(rgba); !status.ok()) return status;
    } else if (Status status = sink.putClearRow(); !status.ok()) {
      return status;
    }
    if (Status status = pipeline.rowCheck(); !status.ok()) return status;
  }
  return Status();
}

// An interlaced frame whose rows go into the bitmap, or an
// AreaAccumulator, as they come.
Status decodeScattered(GifFileType* gif, const FrameLayout& f, Pipeline& pipeline,
                       GifPixelType* line, uint8_t* rgba) {
  const uint32_t needed = rowsToDecode(f);
  if (Status status = pipeline.startScattered(); !status.ok()) return status;
  for (uint32_t index = 0; index < needed; ++index) {
    if (DGifGetLine(gif, line, static_cast<int>(f.frameWidth)) == GIF_ERROR)
      return fail(gif->Error);
    const uint32_t row = storedRow(f, index);
    if (row < f.visibleRows) {
      composeRow(f, line, f.frameLeft, rgba);
      Status status = pipeline.putScattered(f.frameTop + row, rgba, 0, 1);
      if (!status.ok()) return status;
    }
    if (Status status = pipeline.rowCheck(); !status.ok()) return status;
  }
  // The rows outside the frame, once the frame's data is in.
  for (uint32_t y = 0; y < f.height; ++y) {
    const bool decoded = y >= f.frameTop && y - f.frameTop < f.visibleRows && needed > 0;
    if (decoded) continue;
    if (Status status = pipeline.putScatteredClear(y); !status.ok()) return status;
  }
  return pipeline.finishScattered();
}

// An interlaced frame. The passes before the last deliver the even frame
// rows, the last one the odd rows in order. Without scaling the rows go
// straight into the bitmap as they come; scaled, into an AreaAccumulator
// (32 bytes per target pixel) when that is no larger than holding the even
// rows (a byte per pixel of the frame on the screen), which are otherwise
// held and streamed with the odd rows of the last pass.
Status decodeInterlaced(GifFileType* gif, const FrameLayout& f, Pipeline& pipeline,
                        GifPixelType* line, uint8_t* rgba) {
  const uint32_t needed = rowsToDecode(f);
  const size_t heldWidth = f.visibleRight > f.visibleLeft ? f.visibleRight - f.visibleLeft : 0;
  const uint64_t heldBytes = uint64_t{(f.visibleRows + 1) / 2} * heldWidth;
  if (pipeline.scatteredBytes() <= heldBytes) return decodeScattered(gif, f, pipeline, line, rgba);

  if (Status status = pipeline.setRowSize(f.width, f.height); !status.ok()) return status;
  GifPixelType* held = nullptr;  // taken when the first row has arrived
  RowSink& sink = pipeline.sink();
  // Streams the held even frame rows above frame row |end|.
  uint32_t streamed = 0;  // frame rows on the screen so far
  auto streamHeld = [&](uint32_t end) {
    for (; streamed < end; streamed += 2) {
      composeRow(f, held + size_t{streamed / 2} * heldWidth, f.visibleLeft, rgba);
      if (Status status = sink.putRow(rgba); !status.ok()) return status;
    }
    return Status();
  };
  auto clearAbove = [&] {
    for (uint32_t y = 0; y < f.frameTop && y < f.height; ++y)
      if (Status status = sink.putClearRow(); !status.ok()) return status;
    return Status();
  };
  // Takes the buffer of held rows and clears the rows above the frame, once
  // the first frame row has arrived (at once when no frame pixel is on the
  // screen: there is nothing to hold and no data to wait for).
  auto start = [&] {
    Status status;
    held = static_cast<GifPixelType*>(scratch(Scratch::kImage, heldBytes, &status));
    return held != nullptr ? clearAbove() : status;
  };
  if (needed == 0)
    if (Status status = start(); !status.ok()) return status;
  for (uint32_t index = 0; index < needed; ++index) {
    if (DGifGetLine(gif, line, static_cast<int>(f.frameWidth)) == GIF_ERROR)
      return fail(gif->Error);
    if (index == 0)
      if (Status status = start(); !status.ok()) return status;
    const uint32_t row = storedRow(f, index);
    if (row >= f.visibleRows) continue;
    if (row % 2 == 0) {
      // The held part starts at the first screen column of the frame.
      std::memcpy(held + size_t{row / 2} * heldWidth, line + (f.visibleLeft - f.frameLeft),
                  heldWidth);
    } else {
      if (Status status = streamHeld(row); !status.ok()) return status;
      composeRow(f, line, f.frameLeft, rgba);
      if (Status status = sink.putRow(rgba); !status.ok()) return status;
      streamed = row + 1;
    }
    if (Status status = pipeline.rowCheck(); !status.ok()) return status;
  }
  if (Status status = streamHeld(f.visibleRows); !status.ok()) return status;
  for (uint32_t y = f.frameTop + f.visibleRows; y < f.height; ++y)
    if (Status status = sink.putClearRow(); !status.ok()) return status;
  return Status();
}

// Where the first frame, |frame|, lies on the screen of |header|.
FrameLayout layOut(const GifImageDesc& frame, const Header& header, int transparent,
                   const ColorMapObject* colours) {
  FrameLayout f;
  f.width = header.width;
  f.height = header.height;
  f.frameLeft = static_cast<uint32_t>(frame.Left);
  f.frameTop = static_cast<uint32_t>(frame.Top);
  f.frameWidth = static_cast<uint32_t>(frame.Width);
  f.frameHeight = static_cast<uint32_t>(frame.Height);
  f.visibleLeft = std::min(f.frameLeft, f.width);
  f.visibleRight =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{f.frameLeft} + f.frameWidth, f.width));
  f.visibleRows = f.frameTop < f.height ? std::min(f.frameHeight, f.height - f.frameTop) : 0;
  f.interlaced = frame.Interlace;
  f.transparent = transparent;
  f.colours = colours;
  return f;
}

}  // namespace

Status decodeGif(Source& source, Pipeline& pipeline) {
  int error = 0;
  GifFileType* gif = DGifOpen(&source, readFromSource, &error);
  if (gif == nullptr) return fail(error);
  GifCloser closer{gif};
  int transparent = -1;
  Status status = readToFirstImage(gif, &transparent);
  if (!status.ok()) return status;

  const GifImageDesc& frame = gif->Image;
  const ColorMapObject* colours = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
  if (colours == nullptr || colours->Colors == nullptr)
    return Status::error(Status::kCorrupt, "invalid GIF data: the image has no colour table");
  if (frame.Left < 0 || frame.Top < 0 || frame.Width < 0 || frame.Height < 0)
    return Status::error(Status::kCorrupt, "invalid GIF data: bad image position");
  Header header;
  header.width = static_cast<uint32_t>(gif->SWidth);
  header.height = static_cast<uint32_t>(gif->SHeight);
  // A screen of 0 x 0 is taken as "as large as the image".
  if (header.width == 0 || header.height == 0) {
    header.width = static_cast<uint32_t>(frame.Left + frame.Width);
    header.height = static_cast<uint32_t>(frame.Top + frame.Height);
  }
  header.sourceType = BitmapInfo::kSourceGif;
  const bool coversScreen = frame.Left == 0 && frame.Top == 0 &&
                            static_cast<uint32_t>(frame.Width) >= header.width &&
                            static_cast<uint32_t>(frame.Height) >= header.height;
  header.hasAlpha = transparent >= 0 || !coversScreen;
  status = pipeline.start(header);
  if (status.ok())
    status =
        checkDimensions(frame.Width > 0 ? frame.Width : 1, frame.Height > 0 ? frame.Height : 1);
  if (!status.ok()) return status;

  const FrameLayout f = layOut(frame, header, transparent, colours);
  const uint64_t decodedPixels = uint64_t{f.frameWidth} * rowsToDecode(f);
  if (decodedPixels > 2 * uint64_t{f.width} * f.height + kGifSlackPixels)
    return Status::error(
        Status::kLimit,
        "invalid GIF data: the first image (%u x %u at %u, %u) is far larger than the screen "
        "(%u x %u)",
        f.frameWidth, f.frameHeight, f.frameLeft, f.frameTop, f.width, f.height);

  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{f.width} * 4, &status);
  auto* line = static_cast<GifPixelType*>(
      scratch(Scratch::kDecoderRow, f.frameWidth > 0 ? f.frameWidth : 1, &status));
  if (rgba == nullptr || line == nullptr) return status;
  std::memset(rgba, 0, size_t{f.width} * 4);
  if (f.interlaced) return decodeInterlaced(gif, f, pipeline, line, rgba);
  return decodeSequential(gif, f, pipeline, line, rgba);
}

}  // namespace lumo::internal
