// Writers of image files in every format the engine reads, with the variants
// it must handle (depths, layouts, palettes, EXIF orientation, RLE...). The
// tests use them to know the expected pixels exactly; the benchmark inputs,
// the fuzz seeds and the demo's samples are made with them too.
//
// Pixels are always given row by row, top row first, tightly packed. Every
// writer returns false (and leaves no promise about the file) on failure.
#ifndef TOOLS_COMMON_IMAGE_FILES_H_
#define TOOLS_COMMON_IMAGE_FILES_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace imagefiles {

using Rgb = std::array<uint8_t, 3>;

// ---------------------------------------------------------------------------
// JPEG (lossy: compare decoded pixels with a tolerance or PSNR).
struct JpegOptions {
  int quality = 90;
  bool progressive = false;
  // Layout of the pixels: 1 grey, 3 R,G,B, 4 C,M,Y,K (stored as given).
  int channels = 3;
  // Four channels: store as YCCK instead of CMYK (needs the Adobe marker).
  bool ycck = false;
  // Four channels: write the Adobe APP14 marker. Readers take the CMYK
  // values of such a file as inverted (0 = full ink); without the marker as
  // plain (255 = full ink).
  bool adobeMarker = true;
  // 1..8 adds an APP1 Exif block whose IFD0 holds this orientation; 0 none.
  int exifOrientation = 0;
  // Big-endian ("MM") instead of little-endian ("II") Exif data.
  bool exifBigEndian = false;
  // Three channels: a valid progressive script with one scan per DCT
  // coefficient, component and bit (2090 scans).
  bool exhaustiveScans = false;
  // An ICC profile in APP2 segments, split over as many as it needs.
  std::string icc;
};
bool writeJpeg(const std::string& path, uint32_t width, uint32_t height, const uint8_t* pixels,
               const JpegOptions& options = {});

// ---------------------------------------------------------------------------
// PNG. Written with filter 0 and stored (uncompressed) deflate blocks, so
// the file layout is fully predictable.
struct PngOptions {
  // 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA.
  int colorType = 6;
  // 1, 2, 4, 8 or 16, as the colour type allows.
  int bitDepth = 8;
  bool interlace = false;             // Adam7
  std::vector<Rgb> palette;           // colour type 3
  std::vector<uint8_t> paletteAlpha;  // colour type 3: tRNS alpha per index
  // Colour types 0 and 2: a tRNS key colour (grey uses the first value).
  bool hasKey = false;
  std::array<uint16_t, 3> key = {};
  // Offsets in the zlib stream at which a new IDAT chunk begins (ascending);
  // empty: one IDAT chunk.
  std::vector<size_t> idatSplits;
  // Stores the zlib stream's checksum (Adler-32) off by one; the chunks'
  // CRCs match the bytes as written.
  bool wrongAdler = false;
  std::string icc;  // an iCCP chunk with this profile
};
// Channels per pixel by colour type: 0 -> 1, 2 -> 3, 3 -> 1 (the index),
// 4 -> 2, 6 -> 4. |samples| holds width * height * channels values, each
// within the bit depth.
bool writePng(const std::string& path, uint32_t width, uint32_t height,
              const std::vector<uint16_t>& samples, const PngOptions& options = {});
// A PNG whose IHDR claims |width| x |height| (8-bit RGBA, Adam7 with
// |interlace|) followed by a tiny IDAT and IEND: a header that promises far
// more than the file holds.
bool writePngHeader(const std::string& path, uint32_t width, uint32_t height,
                    bool interlace = false);

// ---------------------------------------------------------------------------
// GIF (GIF89a, one or more frames).
struct GifOptions {
  // Logical screen; 0 takes the frame's right and bottom edge.
  uint32_t screenWidth = 0;
  uint32_t screenHeight = 0;
  uint32_t left = 0;  // frame position on the screen
  uint32_t top = 0;
  std::vector<Rgb> globalPalette;  // either palette may be empty, not both
  std::vector<Rgb> localPalette;
  int transparentIndex = -1;  // >= 0 writes a graphics control extension
  bool interlace = false;
  int extraFrames = 0;  // copies of the frame appended after it
};
// |indices|: frameWidth * frameHeight palette indices.
bool writeGif(const std::string& path, uint32_t frameWidth, uint32_t frameHeight,
              const uint8_t* indices, const GifOptions& options = {});

// ---------------------------------------------------------------------------
// BMP.
struct BmpOptions {
  // 1, 2, 4, 8: one palette index per pixel. 16, 24, 32: R,G,B,A per pixel.
  int bpp = 24;
  bool topDown = false;
  // With bpp 8 or 4: RLE8 / RLE4 compression; with bpp 24 and the OS/2
  // header of 64 bytes: RLE24 (runs, literal runs, end of line and end of
  // bitmap codes).
  bool rle = false;
  // 16 bits: 5-6-5 bit fields instead of the default 5-5-5. 32 bits: bit
  // fields R,G,B,A in a 108-byte header (alpha kept). Without bit fields
  // 32-bit pixels store B,G,R,A with the alpha byte as given.
  bool bitFields = false;
  std::vector<Rgb> palette;  // bpp <= 8
  // 16 or 32 bits: bit fields with these R, G, B, A masks, when any is not
  // 0; each channel is stored rounded to its field's width. With a 40-byte
  // header and an alpha mask the file uses the four-mask compression (6).
  std::array<uint32_t, 4> masks = {};
  // 40 (default), 56, 108, 124, 12 (the old core header; bpp 1/4/8/24
  // only), or the OS/2 2.x headers 16 and 64.
  int headerSize = 40;
};
bool writeBmp(const std::string& path, uint32_t width, uint32_t height, const uint8_t* pixels,
              const BmpOptions& options = {});
// A 24-bit BMP header claiming |width| x |height| with no pixel data.
bool writeBmpHeader(const std::string& path, uint32_t width, uint32_t height);

// ---------------------------------------------------------------------------
// WebP (libwebp's encoder and muxer). |rgba|: width * height RGBA pixels.
struct WebpOptions {
  bool lossless = false;  // lossless keeps RGB under alpha 0 as well
  int quality = 90;       // lossy
  // 1..8 adds an EXIF chunk whose IFD0 holds this orientation; 0 none.
  int exifOrientation = 0;
  // The EXIF chunk starts with the "Exif\0\0" header of a JPEG segment
  // (some writers do that) instead of the bare TIFF data.
  bool exifHeader = false;
  // A canvas width other than 0 makes an animation: the image becomes its
  // first frame, at (frameX, frameY) (even numbers) on a canvas of
  // canvasWidth x canvasHeight, followed by |extraFrames| copies.
  uint32_t canvasWidth = 0;
  uint32_t canvasHeight = 0;
  uint32_t frameX = 0;
  uint32_t frameY = 0;
  int extraFrames = 0;
  // A lossless image of one colour, |rgba|'s first pixel, whatever its size
  // in a few dozen bytes: every pixel takes no bits. With |flatPalette| the
  // colour comes through a palette, and the decoder unpacks the image from
  // one an eighth as wide.
  bool flat = false;
  bool flatPalette = false;
  std::string icc;  // an ICCP chunk with this profile
};
bool writeWebp(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba,
               const WebpOptions& options = {});

// ---------------------------------------------------------------------------
// HEIF (libheif's encoders: HEVC for HEIC, AV1 for AVIF; lossy). |rgba|:
// width * height RGBA pixels.
struct HeifOptions {
  bool avif = false;
  int quality = 90;
  bool alpha = false;  // encode the alpha channel (else the image is opaque)
  // 1..8: irot/imir boxes that turn the stored image as this EXIF
  // orientation would.
  int orientation = 1;
  // Other than 0: a thumbnail item whose larger side has this many pixels,
  // made from |thumbnailRgba| (the same size as the image) or, when that is
  // empty, from the image itself.
  uint32_t thumbnailSize = 0;
  std::vector<uint8_t> thumbnailRgba;
  // 8, or 10 or 12: the 8-bit samples widened to that depth and coded so.
  int bitDepth = 8;
  // The encoder's chroma subsampling ("420", "422", "444"); null: its own.
  const char* chroma = nullptr;
  // The colour: an ICC profile, or else nclx code points (H.273) when
  // |primaries| is not 0; neither: libheif's default nclx (sRGB).
  std::string icc;
  int primaries = 0;
  int transfer = 0;
};
bool writeHeif(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba,
               const HeifOptions& options = {});

// A grid of |columns| x |rows| tiles (each a coded image of |tileWidth| x
// |tileHeight|, HEVC or AV1) as the primary image. |rgba|: the whole image,
// columns * tileWidth by rows * tileHeight pixels, or with |oneTile| the one
// tile that every place of the grid refers to (a file of a few kilobytes
// for any number of tiles). The sizes that the grid states in its data and
// in its size box ('ispe') can be made to differ from the tiles' extent and
// from each other, as a hostile file's do.
struct HeifGridOptions {
  uint32_t columns = 1;  // 1..256
  uint32_t rows = 1;     // 1..256
  bool avif = false;
  int quality = 90;
  bool oneTile = false;
  // The size in the grid's data; 0 takes the tiles' extent.
  uint32_t width = 0;
  uint32_t height = 0;
  // The size in the grid's size box; 0 takes the size in its data.
  uint32_t boxWidth = 0;
  uint32_t boxHeight = 0;
  // The grid's data in two extents of its item: its first four bytes, and
  // its size, stored apart; between them lies the size box's size, which a
  // reader of the first extent alone takes for the grid's.
  bool splitData = false;
};
bool writeHeifGrid(const std::string& path, uint32_t tileWidth, uint32_t tileHeight,
                   const uint8_t* rgba, const HeifGridOptions& options = {});

// ---------------------------------------------------------------------------
// TIFF (libtiff's writer). |samples|: width * height pixels of |channels|
// samples each, the colour channels first, then alpha; each sample below
// 1 << bitsPerSample (an index into |palette| for a palette image).
struct TiffOptions {
  int photometric = 2;  // 0 min-is-white, 1 min-is-black, 2 RGB, 3 palette, 5 CMYK
  int bitsPerSample = 8;
  int channels = 3;
  bool alpha = false;  // the last channel is unassociated alpha
  // 1 none, 5 LZW, 8 Deflate, 32773 PackBits, 7 JPEG (8-bit grey or RGB,
  // stored as YCbCr for RGB; lossy).
  int compression = 1;
  uint32_t rowsPerStrip = 0;  // 0: libtiff's choice
  uint32_t tileWidth = 0;     // other than 0 (a multiple of 16): tiles
  uint32_t tileHeight = 0;
  int orientation = 1;
  std::vector<Rgb> palette;
  std::string iccProfile;
  int extraPages = 0;  // pages after the first, each with every bit of its data inverted
};
bool writeTiff(const std::string& path, uint32_t width, uint32_t height,
               const std::vector<uint16_t>& samples, const TiffOptions& options = {});

// ---------------------------------------------------------------------------
// JPEG XL (libjxl's encoder). |rgba|: width * height RGBA pixels.
struct JxlOptions {
  bool lossless = false;  // lossless keeps the pixels exactly
  float distance = 1.0f;  // lossy
  bool alpha = false;     // encode the alpha channel (else the image is opaque)
  bool grey = false;      // encode the red channel alone, as grey
  int orientation = 1;
  bool container = false;  // the codestream in its container
  int effort = 3;
};
bool writeJxl(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba,
              const JxlOptions& options = {});
// ICC profiles made with little-cms: RGB spaces with their own curves, a
// grey with gamma 2.2, and a CMYK printer profile whose table maps ink to
// colour by a formula unlike the plain one (darker mid-tones).
enum class Profile { kSrgb, kDisplayP3, kAdobeRgb, kProPhoto, kGrey, kCmyk };
std::string iccProfile(Profile profile);

// ---------------------------------------------------------------------------
// Files.
std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& bytes);

}  // namespace imagefiles

#endif  // TOOLS_COMMON_IMAGE_FILES_H_
