// The TIFF and JPEG XL writers of image_files.h.
#include <jxl/encode.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>

#include "tools/common/image_files.h"

namespace imagefiles {
namespace {

// One row of |samples| packed at |bits| per sample, MSB first below 8 bits.
std::vector<uint8_t> packRow(const uint16_t* samples, size_t count, int bits) {
  std::vector<uint8_t> row((count * bits + 7) / 8);
  for (size_t i = 0; i < count; ++i) {
    if (bits == 16) {
      std::memcpy(&row[i * 2], &samples[i], 2);  // native order, as libtiff takes it
    } else if (bits == 8) {
      row[i] = static_cast<uint8_t>(samples[i]);
    } else {
      const size_t bit = i * bits;
      row[bit / 8] |= static_cast<uint8_t>(samples[i] << (8 - bits - bit % 8));
    }
  }
  return row;
}

void setFields(TIFF* tiff, uint32_t width, uint32_t height, const TiffOptions& o) {
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, o.bitsPerSample);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, o.channels);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, o.compression);
  TIFFSetField(tiff, TIFFTAG_ORIENTATION, o.orientation);
  const bool ycbcr = o.compression == COMPRESSION_JPEG && o.photometric == PHOTOMETRIC_RGB;
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, ycbcr ? PHOTOMETRIC_YCBCR : o.photometric);
  if (o.compression == COMPRESSION_JPEG) {
    TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, 95);
    if (ycbcr) TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  }
  if (o.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(tiff, TIFFTAG_INKSET, INKSET_CMYK);
  if (o.alpha) {
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  if (!o.palette.empty()) {
    std::vector<uint16_t> map[3];
    for (size_t i = 0; i < (size_t{1} << o.bitsPerSample); ++i)
      for (int c = 0; c < 3; ++c)
        map[c].push_back(i < o.palette.size() ? uint16_t(o.palette[i][c] * 257) : 0);
    TIFFSetField(tiff, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
  }
  if (!o.iccProfile.empty())
    TIFFSetField(tiff, TIFFTAG_ICCPROFILE, uint32_t(o.iccProfile.size()), o.iccProfile.data());
  if (o.tileWidth != 0) {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, o.tileWidth);
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, o.tileHeight);
  } else {
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP,
                 o.rowsPerStrip != 0 ? o.rowsPerStrip : TIFFDefaultStripSize(tiff, 0));
  }
}

bool writeTiles(TIFF* tiff, uint32_t width, uint32_t height, const std::vector<uint8_t>& image,
                size_t rowBytes, const TiffOptions& o) {
  const size_t tileRowBytes = size_t{o.tileWidth} * o.channels * o.bitsPerSample / 8;
  std::vector<uint8_t> tile(tileRowBytes * o.tileHeight);
  for (uint32_t ty = 0; ty < height; ty += o.tileHeight)
    for (uint32_t tx = 0; tx < width; tx += o.tileWidth) {
      std::fill(tile.begin(), tile.end(), 0);
      const size_t start = size_t{tx} * o.channels * o.bitsPerSample / 8;
      const size_t bytes = std::min(tileRowBytes, rowBytes - start);
      for (uint32_t y = ty; y < std::min(height, ty + o.tileHeight); ++y)
        std::memcpy(&tile[(y - ty) * tileRowBytes], &image[y * rowBytes + start], bytes);
      if (TIFFWriteTile(tiff, tile.data(), tx, ty, 0, 0) < 0) return false;
    }
  return true;
}

}  // namespace

bool writeTiff(const std::string& path, uint32_t width, uint32_t height,
               const std::vector<uint16_t>& samples, const TiffOptions& o) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  if (tiff == nullptr) return false;
  const size_t perRow = size_t{width} * o.channels;
  std::vector<uint8_t> image;
  for (uint32_t y = 0; y < height; ++y) {
    std::vector<uint8_t> row = packRow(&samples[y * perRow], perRow, o.bitsPerSample);
    image.insert(image.end(), row.begin(), row.end());
  }
  const size_t rowBytes = image.size() / height;
  bool ok = true;
  for (int page = 0; ok && page <= o.extraPages; ++page) {
    if (page == 1)
      for (uint8_t& byte : image) byte = static_cast<uint8_t>(~byte);
    setFields(tiff, width, height, o);
    if (o.tileWidth != 0) {
      ok = writeTiles(tiff, width, height, image, rowBytes, o);
    } else {
      for (uint32_t y = 0; ok && y < height; ++y)
        ok = TIFFWriteScanline(tiff, &image[y * rowBytes], y, 0) >= 0;
    }
    ok = ok && TIFFWriteDirectory(tiff);
  }
  TIFFClose(tiff);
  return ok;
}

bool writeJxl(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba,
              const JxlOptions& o) {
  JxlEncoder* encoder = JxlEncoderCreate(nullptr);
  if (encoder == nullptr) return false;
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = width;
  info.ysize = height;
  info.bits_per_sample = 8;
  info.num_color_channels = o.grey ? 1 : 3;
  info.alpha_bits = o.alpha ? 8 : 0;
  info.num_extra_channels = o.alpha ? 1 : 0;
  info.uses_original_profile = o.lossless;
  info.orientation = static_cast<JxlOrientation>(o.orientation);
  JxlColorEncoding colour;
  JxlColorEncodingSetToSRGB(&colour, o.grey);
  bool ok = JxlEncoderUseContainer(encoder, o.container) == JXL_ENC_SUCCESS &&
            JxlEncoderSetBasicInfo(encoder, &info) == JXL_ENC_SUCCESS &&
            JxlEncoderSetColorEncoding(encoder, &colour) == JXL_ENC_SUCCESS;
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
  ok = ok && settings != nullptr &&
       JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, o.effort) ==
           JXL_ENC_SUCCESS &&
       (o.lossless ? JxlEncoderSetFrameLossless(settings, JXL_TRUE)
                   : JxlEncoderSetFrameDistance(settings, o.distance)) == JXL_ENC_SUCCESS;
  // The pixels as the encoder takes them: the channels the image has.
  const uint32_t channels = (o.grey ? 1 : 3) + (o.alpha ? 1 : 0);
  std::vector<uint8_t> pixels;
  for (size_t i = 0; i < size_t{width} * height; ++i) {
    pixels.insert(pixels.end(), rgba + i * 4, rgba + i * 4 + (o.grey ? 1 : 3));
    if (o.alpha) pixels.push_back(rgba[i * 4 + 3]);
  }
  const JxlPixelFormat format = {channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  ok = ok &&
       JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size()) == JXL_ENC_SUCCESS;
  JxlEncoderCloseInput(encoder);
  std::string bytes(1 << 16, '\0');
  size_t used = 0;
  JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT;
  while (ok && status == JXL_ENC_NEED_MORE_OUTPUT) {
    auto* next = reinterpret_cast<uint8_t*>(bytes.data() + used);
    size_t left = bytes.size() - used;
    status = JxlEncoderProcessOutput(encoder, &next, &left);
    used = bytes.size() - left;
    if (status == JXL_ENC_NEED_MORE_OUTPUT) bytes.resize(bytes.size() * 2);
  }
  JxlEncoderDestroy(encoder);
  bytes.resize(used);
  return ok && status == JXL_ENC_SUCCESS && writeFile(path, bytes);
}

}  // namespace imagefiles
