// GIF decoding: the first frame only, composed onto a transparent canvas of
// the logical screen size. Records are read only up to the first image, so a
// file with thousands of frames costs no more than one with a single frame.
// Transparency comes from a graphics control extension before the image.
// Pixel indices beyond the colour table are left transparent.
#include <gif_lib.h>

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

bool fail(int error) {
  if (error == D_GIF_ERR_READ_FAILED || error == D_GIF_ERR_EOF_TOO_SOON) {
    kor::ErrorStorage::set("truncated GIF data");
  } else {
    const char* text = GifErrorString(error);
    kor::ErrorStorage::set("invalid GIF data: %s", text != nullptr ? text : "unknown error");
  }
  return false;
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
bool readToFirstImage(GifFileType* gif, int* transparent) {
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
        return true;
      case TERMINATE_RECORD_TYPE:
        kor::ErrorStorage::set("invalid GIF data: the file has no image");
        return false;
      default:
        break;
    }
  }
}

}  // namespace

bool decodeGif(Source& source, Pipeline& pipeline) {
  int error = 0;
  GifFileType* gif = DGifOpen(&source, readFromSource, &error);
  if (gif == nullptr) return fail(error);
  GifCloser closer{gif};
  int transparent = -1;
  if (!readToFirstImage(gif, &transparent)) return false;

  const GifImageDesc& frame = gif->Image;
  const ColorMapObject* colours = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
  if (colours == nullptr || colours->Colors == nullptr) {
    kor::ErrorStorage::set("invalid GIF data: the image has no colour table");
    return false;
  }
  if (frame.Left < 0 || frame.Top < 0 || frame.Width < 0 || frame.Height < 0) {
    kor::ErrorStorage::set("invalid GIF data: bad image position");
    return false;
  }
  Header header;
  header.width = static_cast<uint32_t>(gif->SWidth);
  header.height = static_cast<uint32_t>(gif->SHeight);
  // A screen of 0 x 0 is taken as "as large as the image".
  if (header.width == 0 || header.height == 0) {
    header.width = static_cast<uint32_t>(frame.Left + frame.Width);
    header.height = static_cast<uint32_t>(frame.Top + frame.Height);
  }
  header.sourceType = BitmapInfo::SOURCE_GIF;
  const bool coversScreen = frame.Left == 0 && frame.Top == 0 &&
                            static_cast<uint32_t>(frame.Width) >= header.width &&
                            static_cast<uint32_t>(frame.Height) >= header.height;
  header.hasAlpha = transparent >= 0 || !coversScreen;
  if (!pipeline.start(header)) return false;
  if (!checkDimensions(frame.Width > 0 ? frame.Width : 1, frame.Height > 0 ? frame.Height : 1))
    return false;
  if (!pipeline.setRowSize(header.width, header.height)) return false;

  const uint32_t width = header.width;
  const uint32_t height = header.height;
  uint8_t* canvas = scratch(Scratch::kImage, size_t{width} * height * 4);
  auto* line = static_cast<GifPixelType*>(
      scratch(Scratch::kDecoderRow, frame.Width > 0 ? static_cast<size_t>(frame.Width) : 1));
  if (canvas == nullptr || line == nullptr) return false;
  std::memset(canvas, 0, size_t{width} * height * 4);

  static const int kPassStart[4] = {0, 4, 2, 1};
  static const int kPassStep[4] = {8, 8, 4, 2};
  const int passes = frame.Interlace ? 4 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    const int start = frame.Interlace ? kPassStart[pass] : 0;
    const int step = frame.Interlace ? kPassStep[pass] : 1;
    for (int y = start; y < frame.Height; y += step) {
      const uint32_t canvasY = static_cast<uint32_t>(frame.Top + y);
      // Rows below the canvas are not needed; without interlacing nothing
      // after them is either.
      if (!frame.Interlace && canvasY >= height) break;
      if (DGifGetLine(gif, line, frame.Width) == GIF_ERROR) return fail(gif->Error);
      if (canvasY >= height) continue;
      uint8_t* out = canvas + size_t{canvasY} * width * 4;
      for (int x = 0; x < frame.Width; ++x) {
        const uint32_t canvasX = static_cast<uint32_t>(frame.Left + x);
        if (canvasX >= width) break;
        const int index = line[x];
        if (index == transparent || index >= colours->ColorCount) continue;
        const GifColorType& colour = colours->Colors[index];
        uint8_t* p = out + size_t{canvasX} * 4;
        p[0] = colour.Red;
        p[1] = colour.Green;
        p[2] = colour.Blue;
        p[3] = 255;
      }
    }
  }

  RowSink& sink = pipeline.sink();
  for (uint32_t y = 0; y < height; ++y)
    if (!sink.putRow(canvas + size_t{y} * width * 4)) return false;
  return true;
}

}  // namespace lumo::internal
