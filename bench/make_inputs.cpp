// imageserver-bench-inputs: writes the benchmark's input files into one
// folder. Every file is made from the same deterministic photo-like picture
// (smooth gradients, fine noise and hard-edged shapes), so that the decoders
// see realistic entropy rather than flat colour.
//
// Usage: imageserver-bench-inputs DIR
//
// Files written:
//   photo12.jpg        4000 x 3000 baseline JPEG, quality 90
//   photo12-prog.jpg   the same picture, progressive
//   photo1.jpg         1152 x 864 baseline JPEG, quality 90
//   photo8.jpg, photo2.jpg, photo075.jpg
//                      3264 x 2448, 1632 x 1224 and 1000 x 750 baseline JPEGs,
//                      quality 90 (with photo12.jpg: a stream of mixed sizes)
//   photo12.png        4000 x 3000 RGB PNG, deflate-compressed (libspng encoder)
//   photo12.gif        4000 x 3000 GIF, 6x6x6 colour cube with ordered dither
//   big.bmp            3200 x 3125 24-bit BMP (30,000,054 bytes)
//   photo12.tif        4000 x 3000 RGB TIFF, Deflate, strips of 16 rows
//   photo12.jxl        4000 x 3000 lossy JPEG XL, distance 1, effort 3
//   small/NNNN.{jpg,png,gif,bmp}  1,000 small images of 48..303 pixels a side
//   photo3.avif, photo12.avif, photo3.heic, photo12.heic
//                      2000 x 1500 and 4000 x 3000 AVIF and HEIC, quality 90
//                      (libheif's AV1 and HEVC encoders)
//   photo12-p3.jpg     photo12.jpg's pixels tagged Display P3
//   colour/            1152 x 864 files that describe their colour: p3.heic
//                      (ICC), adobe.jpg, prophoto.png, cmyk.jpg (Adobe CMYK
//                      with a printer profile), p3-nclx.avif (nclx Display
//                      P3), and p3.icc
// An existing file of the right size is kept, so reruns are quick.
//
// Usage: imageserver-bench-inputs --formats DIR
//
// Writes a TIFF of every kind and layout the engine reads and a few JPEG
// XL files, for scripts/check-formats.sh, which compares the engine's
// pixels with independent decoders'.
//
// Usage: imageserver-bench-inputs --bombs DIR
//
// Writes small files that claim or make huge images instead, for
// scripts/bench-bombs.sh, which measures the memory that a decode of each
// takes:
//   png-header.png           a PNG header of 16384 x 16384 and no image data
//   png-header-adam7.png     the same, interlaced
//   webp-palette.webp        a lossless WebP of 16383 x 16383 of one colour
//                            through a palette (36 bytes)
//   webp-palette-exif6.webp  the same with EXIF orientation 6
//   webp-flat.webp           the same without the palette (32 bytes)
//   heic-grid.heic           a grid of 32 x 32 tiles of 512 x 512, each
//                            place referring to the same tile (2.6 KB)
//   heic-split.heic          a grid of 20000 x 20000 whose data is split
//                            between two extents; its size box says 100 x 100
#include <spng.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/image_files.h"

namespace {

// A small, fast, deterministic generator (xorshift32).
struct Random {
  uint32_t state;
  explicit Random(uint32_t seed) : state(seed != 0 ? seed : 1) {}
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

uint8_t clamp8(float v) { return v < 0.f ? 0 : v > 255.f ? 255 : static_cast<uint8_t>(v + 0.5f); }

// A photo-like RGB picture: low-frequency colour gradients, a few discs and
// bars with hard edges (which give the DCT high-frequency work), and per-pixel
// noise of about +-14 levels (sensor grain).
std::vector<uint8_t> photo(uint32_t width, uint32_t height, uint32_t seed) {
  std::vector<uint8_t> pixels(size_t{width} * height * 3);
  Random random(seed);
  struct Disc {
    float cx, cy, r;
    float colour[3];
  };
  std::vector<Disc> discs;
  for (int i = 0; i < 12; ++i) {
    Disc d;
    d.cx = static_cast<float>(random.next() % width);
    d.cy = static_cast<float>(random.next() % height);
    d.r = static_cast<float>(width) * (0.03f + static_cast<float>(random.next() % 100) / 800.f);
    for (float& c : d.colour) c = static_cast<float>(random.next() % 256);
    discs.push_back(d);
  }
  const float fw = static_cast<float>(width);
  const float fh = static_cast<float>(height);
  for (uint32_t y = 0; y < height; ++y) {
    const float v = static_cast<float>(y) / fh;
    uint8_t* row = pixels.data() + size_t{y} * width * 3;
    for (uint32_t x = 0; x < width; ++x) {
      const float u = static_cast<float>(x) / fw;
      float rgb[3] = {
          128.f + 90.f * std::sin(6.283f * (u * 1.3f + v * 0.4f)),
          128.f + 80.f * std::cos(6.283f * (u * 0.5f - v * 1.1f)),
          110.f + 70.f * std::sin(6.283f * (u * v * 2.0f + 0.3f)),
      };
      // Thin dark bars every ~1/7 of the width: strong vertical edges.
      if ((x * 7 / width) != ((x + 3) * 7 / width))
        for (float& c : rgb) c *= 0.25f;
      for (const Disc& d : discs) {
        const float dx = static_cast<float>(x) - d.cx;
        const float dy = static_cast<float>(y) - d.cy;
        if (dx * dx + dy * dy < d.r * d.r) {
          for (int c = 0; c < 3; ++c) rgb[c] = 0.3f * rgb[c] + 0.7f * d.colour[c];
        }
      }
      const uint32_t noise = random.next();
      for (int c = 0; c < 3; ++c) {
        const float n = static_cast<float>((noise >> (c * 8)) & 0xff) / 255.f * 28.f - 14.f;
        row[size_t{x} * 3 + c] = clamp8(rgb[c] + n);
      }
    }
  }
  return pixels;
}

bool exists(const std::string& path, long long minSize = 1) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && status.st_size >= minSize;
}

bool writeCompressedPng(const std::string& path, uint32_t width, uint32_t height,
                        const std::vector<uint8_t>& rgb) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  bool ok = ctx != nullptr;
  if (ok) {
    spng_ihdr ihdr = {};
    ihdr.width = width;
    ihdr.height = height;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    ok = spng_set_png_file(ctx, file) == 0 && spng_set_ihdr(ctx, &ihdr) == 0 &&
         spng_encode_image(ctx, rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0;
  }
  spng_ctx_free(ctx);
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

// 6x6x6 colour cube indices with a 4x4 ordered dither.
std::vector<uint8_t> cubeIndices(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb) {
  static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  std::vector<uint8_t> indices(size_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* p = rgb.data() + (size_t{y} * width + x) * 3;
      const int threshold = kBayer[y & 3][x & 3] * 51 / 16;  // 0..47 of a 51-level step
      int level[3];
      for (int c = 0; c < 3; ++c) {
        int l = (p[c] + threshold) / 51;
        level[c] = l > 5 ? 5 : l;
      }
      indices[size_t{y} * width + x] =
          static_cast<uint8_t>(level[0] * 36 + level[1] * 6 + level[2]);
    }
  }
  return indices;
}

std::vector<imagefiles::Rgb> cubePalette() {
  std::vector<imagefiles::Rgb> palette;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        palette.push_back({static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51),
                           static_cast<uint8_t>(b * 51)});
  return palette;
}

// The BMP writer takes four bytes (R, G, B, A) per pixel at every depth.
std::vector<uint8_t> toRgba(const std::vector<uint8_t>& rgb) {
  std::vector<uint8_t> rgba(rgb.size() / 3 * 4);
  for (size_t i = 0, j = 0; i < rgb.size(); i += 3, j += 4) {
    rgba[j] = rgb[i];
    rgba[j + 1] = rgb[i + 1];
    rgba[j + 2] = rgb[i + 2];
    rgba[j + 3] = 255;
  }
  return rgba;
}

// Reports a file that could not be written; returns the exit status 1.
int fail(const std::string& what) {
  std::fprintf(stderr, "imageserver-bench-inputs: cannot write %s\n", what.c_str());
  return 1;
}

bool makeSmallImages(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    fail(dir);
    return false;
  }
  static const char* const kExtensions[4] = {"jpg", "png", "gif", "bmp"};
  for (uint32_t i = 0; i < 1000; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/%04u.%s", i, kExtensions[i % 4]);
    const std::string path = dir + name;
    if (exists(path)) continue;
    const uint32_t width = 48 + (i * 37) % 256;
    const uint32_t height = 48 + (i * 91) % 256;
    const std::vector<uint8_t> rgb = photo(width, height, 1000 + i);
    bool ok = false;
    switch (i % 4) {
      case 0:
        ok = imagefiles::writeJpeg(path, width, height, rgb.data());
        break;
      case 1:
        ok = writeCompressedPng(path, width, height, rgb);
        break;
      case 2: {
        imagefiles::GifOptions options;
        options.globalPalette = cubePalette();
        ok = imagefiles::writeGif(path, width, height, cubeIndices(width, height, rgb).data(),
                                  options);
        break;
      }
      default: {
        ok = imagefiles::writeBmp(path, width, height, toRgba(rgb).data());
        break;
      }
    }
    if (!ok) {
      fail(path);
      return false;
    }
    chmod(path.c_str(), 0644);
  }
  return true;
}

// The AVIF and HEIC files; the 12-MP ones are the same picture as the other
// 12-MP files. AV1 encoding is slow: an existing file is kept.
bool makeHeifFiles(const std::string& dir) {
  struct File {
    const char* name;
    uint32_t width, height, seed;
    bool avif;
  };
  for (const File& file :
       {File{"photo3.avif", 2000, 1500, 3, true}, File{"photo12.avif", 4000, 3000, 12, true},
        File{"photo3.heic", 2000, 1500, 3, false}, File{"photo12.heic", 4000, 3000, 12, false}}) {
    const std::string path = dir + "/" + file.name;
    if (exists(path)) continue;
    imagefiles::HeifOptions options;
    options.avif = file.avif;
    const std::vector<uint8_t> rgba = toRgba(photo(file.width, file.height, file.seed));
    if (!imagefiles::writeHeif(path, file.width, file.height, rgba.data(), options)) {
      fail(path);
      return false;
    }
    chmod(path.c_str(), 0644);
  }
  return true;
}

bool makeBombs(const std::string& dir) {
  using namespace imagefiles;
  const uint8_t grey[4] = {128, 128, 128, 255};
  WebpOptions palette;
  palette.flat = true;
  palette.flatPalette = true;
  WebpOptions exif = palette;
  exif.exifOrientation = 6;
  WebpOptions flat;
  flat.flat = true;
  const std::vector<uint8_t> tile(512 * 512 * 4, 128);
  HeifGridOptions grid;
  grid.columns = grid.rows = 32;
  grid.oneTile = true;
  HeifGridOptions split;
  split.width = split.height = 20000;
  split.boxWidth = split.boxHeight = 100;
  split.splitData = true;
  const struct {
    const char* name;
    bool ok;
  } files[] = {
      {"png-header.png", writePngHeader(dir + "/png-header.png", 16384, 16384)},
      {"png-header-adam7.png", writePngHeader(dir + "/png-header-adam7.png", 16384, 16384, true)},
      {"webp-palette.webp", writeWebp(dir + "/webp-palette.webp", 16383, 16383, grey, palette)},
      {"webp-palette-exif6.webp",
       writeWebp(dir + "/webp-palette-exif6.webp", 16383, 16383, grey, exif)},
      {"webp-flat.webp", writeWebp(dir + "/webp-flat.webp", 16383, 16383, grey, flat)},
      {"heic-grid.heic", writeHeifGrid(dir + "/heic-grid.heic", 512, 512, tile.data(), grid)},
      {"heic-split.heic", writeHeifGrid(dir + "/heic-split.heic", 64, 64, tile.data(), split)},
  };
  for (const auto& file : files) {
    if (!file.ok) {
      fail(file.name);
      return false;
    }
    chmod((dir + "/" + file.name).c_str(), 0644);
  }
  std::printf("bombs ready in %s\n", dir.c_str());
  return true;
}

// One TIFF of each kind and layout the engine reads, and JPEG XL files
// lossy, lossless with alpha and turned, 61 x 43 pixels, for a comparison
// with independent decoders (scripts/check-formats.sh).
bool makeFormatSamples(const std::string& dir) {
  using namespace imagefiles;
  const uint32_t w = 61, h = 43;
  const std::vector<uint8_t> rgb = photo(w, h, 7);
  std::vector<uint8_t> rgba = toRgba(rgb);
  for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = uint8_t(i * 7);
  // The first |channels| of each RGBA pixel, widened to |bits|.
  auto samples = [&](int channels, int bits) {
    std::vector<uint16_t> out;
    for (size_t i = 0; i < rgba.size(); i += 4)
      for (int c = 0; c < channels; ++c)
        out.push_back(bits == 16  ? uint16_t(rgba[i + c] * 257)
                      : bits == 1 ? rgba[i + c] >> 7
                                  : rgba[i + c]);
    return out;
  };
  std::vector<uint16_t> indices;
  for (size_t i = 0; i < size_t{w} * h; ++i) indices.push_back(uint16_t(rgb[i * 3] % 4));
  const std::vector<Rgb> palette = {{0, 0, 0}, {250, 10, 10}, {10, 250, 10}, {9, 99, 199}};
  struct Kind {
    const char* name;
    int photometric, bits, channels, compression;
    uint32_t rowsPerStrip, tile;
  };
  const Kind kinds[] = {{"rgb", 2, 8, 3, 1, 0, 0},
                        {"rgba-lzw", 2, 8, 4, 5, 7, 0},
                        {"rgb16-deflate", 2, 16, 3, 8, 0, 0},
                        {"grey-packbits", 1, 8, 1, 32773, 5, 0},
                        {"grey16", 1, 16, 1, 1, 0, 0},
                        {"bilevel", 0, 1, 1, 1, 0, 0},
                        {"palette-lzw", 3, 8, 1, 5, 0, 0},
                        {"cmyk", 5, 8, 4, 1, 0, 0},
                        {"jpeg", 2, 8, 3, 7, 16, 0},
                        {"rgba-tiles-deflate", 2, 8, 4, 8, 0, 16},
                        {"jpeg-tiles", 2, 8, 3, 7, 0, 16}};
  bool ok = true;
  for (const Kind& k : kinds) {
    TiffOptions o;
    o.photometric = k.photometric;
    o.bitsPerSample = k.bits;
    o.channels = k.channels;
    o.alpha = k.channels == 4 && k.photometric == 2;
    o.compression = k.compression;
    o.rowsPerStrip = k.rowsPerStrip;
    o.tileWidth = o.tileHeight = k.tile;
    if (k.photometric == 3) o.palette = palette;
    o.orientation = std::strcmp(k.name, "rgb") == 0 ? 6 : 1;
    ok &= writeTiff(dir + "/" + k.name + ".tif", w, h,
                    k.photometric == 3 ? indices : samples(k.channels, k.bits), o);
  }
  JxlOptions lossless;
  lossless.lossless = true;
  lossless.alpha = true;
  lossless.container = true;
  JxlOptions turned;
  turned.orientation = 6;
  ok &= writeJxl(dir + "/lossy.jxl", w, h, rgba.data()) &&
        writeJxl(dir + "/lossless-alpha.jxl", w, h, rgba.data(), lossless) &&
        writeJxl(dir + "/lossy-turned.jxl", w, h, rgba.data(), turned);
  if (!ok) fail("a format sample");
  return ok;
}

}  // namespace

// The colour set: files that describe their colour, for the accuracy of
// the conversion to sRGB and its cost (photo12-p3.jpg: photo12.jpg's
// pixels tagged Display P3).
template <class Photo12>
bool makeColourImages(const std::string& dir, Photo12& photo12) {
  using imagefiles::Profile;
  if (exists(dir + "/colour/p3.icc")) return true;
  const std::string p3 = imagefiles::iccProfile(Profile::kDisplayP3);
  imagefiles::JpegOptions p3Jpeg;
  p3Jpeg.icc = p3;
  if (!exists(dir + "/photo12-p3.jpg") &&
      !imagefiles::writeJpeg(dir + "/photo12-p3.jpg", 4000, 3000, photo12().data(), p3Jpeg))
    return fail("photo12-p3.jpg") == 0;  // false
  const std::string colour = dir + "/colour";
  if (mkdir(colour.c_str(), 0755) != 0 && errno != EEXIST) return fail(colour) == 0;  // false
  const uint32_t w = 1152, h = 864;
  const std::vector<uint8_t> rgb = photo(w, h, 7);
  const std::vector<uint8_t> rgba = toRgba(rgb);
  const std::vector<uint16_t> samples(rgb.begin(), rgb.end());
  // Adobe's inverted CMYK: 255 - ink, the black taken out of the colours.
  std::vector<uint8_t> cmyk;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    const uint8_t most = std::max({rgb[i], rgb[i + 1], rgb[i + 2]});
    const uint32_t white = std::max<uint32_t>(most, 1);
    for (int c = 0; c < 3; ++c) cmyk.push_back(static_cast<uint8_t>(rgb[i + c] * 255 / white));
    cmyk.push_back(most);
  }
  imagefiles::HeifOptions heic, avif;
  heic.icc = p3;
  avif.avif = true;
  avif.primaries = 12;  // Display P3
  avif.transfer = 13;   // sRGB
  imagefiles::JpegOptions adobe, ink;
  adobe.icc = imagefiles::iccProfile(Profile::kAdobeRgb);
  ink.channels = 4;
  ink.icc = imagefiles::iccProfile(Profile::kCmyk);
  imagefiles::PngOptions pro;
  pro.colorType = 2;
  pro.icc = imagefiles::iccProfile(Profile::kProPhoto);
  const bool ok = imagefiles::writeHeif(colour + "/p3.heic", w, h, rgba.data(), heic) &&
                  imagefiles::writeJpeg(colour + "/adobe.jpg", w, h, rgb.data(), adobe) &&
                  imagefiles::writePng(colour + "/prophoto.png", w, h, samples, pro) &&
                  imagefiles::writeJpeg(colour + "/cmyk.jpg", w, h, cmyk.data(), ink) &&
                  imagefiles::writeHeif(colour + "/p3-nclx.avif", w, h, rgba.data(), avif) &&
                  imagefiles::writeFile(colour + "/p3.icc", p3);
  if (!ok) fail("the colour inputs");
  return ok;
}

int main(int argc, char** argv) {
  const bool bombs = argc == 3 && std::strcmp(argv[1], "--bombs") == 0;
  const bool formats = argc == 3 && std::strcmp(argv[1], "--formats") == 0;
  if (argc != 2 && !bombs && !formats) {
    std::fprintf(stderr,
                 "usage: imageserver-bench-inputs DIR\n"
                 "       imageserver-bench-inputs --bombs DIR\n"
                 "       imageserver-bench-inputs --formats DIR\n");
    return 2;
  }
  const std::string dir = argv[argc - 1];
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return fail(dir);
  if (bombs) return makeBombs(dir) ? 0 : 1;
  if (formats) return makeFormatSamples(dir) ? 0 : 1;

  const uint32_t w12 = 4000, h12 = 3000;
  std::vector<uint8_t> big;
  auto photo12 = [&]() -> const std::vector<uint8_t>& {
    if (big.empty()) big = photo(w12, h12, 12);
    return big;
  };

  imagefiles::JpegOptions baseline;  // quality 90, 4:2:0 (library default)
  if (!exists(dir + "/photo12.jpg") &&
      !imagefiles::writeJpeg(dir + "/photo12.jpg", w12, h12, photo12().data(), baseline))
    return fail("photo12.jpg");
  imagefiles::JpegOptions progressive;
  progressive.progressive = true;
  if (!exists(dir + "/photo12-prog.jpg") &&
      !imagefiles::writeJpeg(dir + "/photo12-prog.jpg", w12, h12, photo12().data(), progressive))
    return fail("photo12-prog.jpg");
  if (!exists(dir + "/photo12.png") &&
      !writeCompressedPng(dir + "/photo12.png", w12, h12, photo12()))
    return fail("photo12.png");
  if (!exists(dir + "/photo12.gif")) {
    imagefiles::GifOptions options;
    options.globalPalette = cubePalette();
    if (!imagefiles::writeGif(dir + "/photo12.gif", w12, h12,
                              cubeIndices(w12, h12, photo12()).data(), options))
      return fail("photo12.gif");
  }
  imagefiles::TiffOptions deflate;
  deflate.compression = 8;
  deflate.rowsPerStrip = 16;
  if (!exists(dir + "/photo12.tif") &&
      !imagefiles::writeTiff(dir + "/photo12.tif", w12, h12,
                             std::vector<uint16_t>(photo12().begin(), photo12().end()), deflate))
    return fail("photo12.tif");
  if (!exists(dir + "/photo12.jxl") &&
      !imagefiles::writeJxl(dir + "/photo12.jxl", w12, h12, toRgba(photo12()).data()))
    return fail("photo12.jxl");
  big.clear();
  big.shrink_to_fit();

  if (!exists(dir + "/photo1.jpg")) {
    const std::vector<uint8_t> rgb = photo(1152, 864, 1);
    if (!imagefiles::writeJpeg(dir + "/photo1.jpg", 1152, 864, rgb.data(), baseline))
      return fail("photo1.jpg");
  }
  struct Size {
    const char* name;
    uint32_t width, height;
  };
  for (const Size& size : {Size{"photo8.jpg", 3264, 2448}, Size{"photo2.jpg", 1632, 1224},
                           Size{"photo075.jpg", 1000, 750}}) {
    if (exists(dir + "/" + size.name)) continue;
    const std::vector<uint8_t> rgb = photo(size.width, size.height, size.width);
    if (!imagefiles::writeJpeg(dir + "/" + size.name, size.width, size.height, rgb.data(),
                               baseline))
      return fail(size.name);
  }
  if (!exists(dir + "/big.bmp", 30000054)) {
    const std::vector<uint8_t> rgb = photo(3200, 3125, 30);
    if (!imagefiles::writeBmp(dir + "/big.bmp", 3200, 3125, toRgba(rgb).data()))
      return fail("big.bmp");
  }
  if (!makeColourImages(dir, photo12)) return 1;
  if (!makeSmallImages(dir + "/small")) return 1;
  if (!makeHeifFiles(dir)) return 1;
  // giflib creates its files readable by the owner only.
  chmod((dir + "/photo12.gif").c_str(), 0644);
  std::printf("inputs ready in %s\n", dir.c_str());
  return 0;
}
