// Writes the seed corpora of the fuzz targets: small valid files of every
// format and variant the engine reads, and a few configuration documents.
// Usage: fuzz_make_seeds DIR   (creates DIR/<target>/...)
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/transport.h"
#include "platform/transport/wire.h"
#include "tools/common/image_files.h"

namespace {

std::vector<uint8_t> rgbaPattern(uint32_t w, uint32_t h) {
  std::vector<uint8_t> p(size_t(w) * h * 4);
  for (size_t i = 0; i < p.size(); ++i) p[i] = uint8_t(i * 37 + (i >> 3));
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  for (const char* target :
       {"", "/fuzz_engine_jpeg", "/fuzz_engine_png", "/fuzz_engine_gif", "/fuzz_engine_bmp",
        "/fuzz_engine_webp", "/fuzz_engine_heif", "/fuzz_engine_avif", "/fuzz_engine_tiff",
        "/fuzz_engine_jxl", "/fuzz_engine_any", "/fuzz_config", "/fuzz_wire"})
    mkdir((root + target).c_str(), 0755);
  using namespace imagefiles;
  const uint32_t w = 9, h = 7;
  std::vector<uint8_t> rgba = rgbaPattern(w, h);
  std::vector<uint8_t> rgb, grey, cmyk, indices;
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    rgb.insert(rgb.end(), {rgba[i * 4], rgba[i * 4 + 1], rgba[i * 4 + 2]});
    grey.push_back(rgba[i * 4]);
    cmyk.insert(cmyk.end(), {rgba[i * 4], rgba[i * 4 + 1], rgba[i * 4 + 2], rgba[i * 4 + 3]});
    indices.push_back(uint8_t(i % 4));
  }

  bool ok = true;
  auto both = [&](const std::string& dir, const std::string& name, auto write) {
    ok &= write(root + "/" + dir + "/" + name);
    ok &= write(root + "/fuzz_engine_any/" + name);
  };
  JpegOptions jpeg;
  both("fuzz_engine_jpeg", "baseline.jpg",
       [&](auto p) { return writeJpeg(p, w, h, rgb.data(), jpeg); });
  jpeg.progressive = true;
  jpeg.exifOrientation = 6;
  both("fuzz_engine_jpeg", "progressive.jpg",
       [&](auto p) { return writeJpeg(p, w, h, rgb.data(), jpeg); });
  JpegOptions g;
  g.channels = 1;
  both("fuzz_engine_jpeg", "grey.jpg", [&](auto p) { return writeJpeg(p, w, h, grey.data(), g); });
  JpegOptions k;
  k.channels = 4;
  k.ycck = true;
  both("fuzz_engine_jpeg", "ycck.jpg", [&](auto p) { return writeJpeg(p, w, h, cmyk.data(), k); });

  // Colour: profiles (the CMYK one a table) and nclx with HDR transfer.
  JpegOptions tagged;
  tagged.icc = iccProfile(Profile::kDisplayP3);
  both("fuzz_engine_jpeg", "p3.jpg",
       [&](auto p) { return writeJpeg(p, w, h, rgb.data(), tagged); });
  JpegOptions ink;
  ink.channels = 4;
  ink.icc = iccProfile(Profile::kCmyk);
  both("fuzz_engine_jpeg", "cmyk-profile.jpg",
       [&](auto p) { return writeJpeg(p, w, h, cmyk.data(), ink); });

  std::vector<uint16_t> samples(rgba.begin(), rgba.end());
  PngOptions iccp;
  iccp.icc = iccProfile(Profile::kProPhoto);
  both("fuzz_engine_png", "iccp.png", [&](auto p) { return writePng(p, w, h, samples, iccp); });
  PngOptions png;
  both("fuzz_engine_png", "rgba.png", [&](auto p) { return writePng(p, w, h, samples, png); });
  png.interlace = true;
  both("fuzz_engine_png", "interlaced.png",
       [&](auto p) { return writePng(p, w, h, samples, png); });
  PngOptions pal;
  pal.colorType = 3;
  pal.bitDepth = 2;
  pal.palette = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  pal.paletteAlpha = {0, 128};
  std::vector<uint16_t> idx(indices.begin(), indices.end());
  both("fuzz_engine_png", "palette.png", [&](auto p) { return writePng(p, w, h, idx, pal); });

  GifOptions gif;
  gif.globalPalette = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 0, 255}};
  gif.transparentIndex = 0;
  gif.interlace = true;
  gif.extraFrames = 1;
  both("fuzz_engine_gif", "frames.gif",
       [&](auto p) { return writeGif(p, w, h, indices.data(), gif); });

  for (int bpp : {1, 4, 8, 16, 24, 32}) {
    BmpOptions bmp;
    bmp.bpp = bpp;
    std::vector<uint8_t> pixels = bpp <= 8 ? indices : rgba;
    if (bpp <= 8) {
      for (auto& i : pixels) i &= uint8_t((1 << bpp) - 1);
      bmp.palette = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 0, 255}};
      bmp.rle = bpp >= 4;
    }
    bmp.topDown = bpp == 24;
    bmp.bitFields = bpp == 16 || bpp == 32;
    both("fuzz_engine_bmp", "b" + std::to_string(bpp) + ".bmp",
         [&](auto p) { return writeBmp(p, w, h, pixels.data(), bmp); });
  }

  // Bit fields of unusual widths, a 2-bit palette, OS/2 RLE24.
  BmpOptions fields;
  fields.bpp = 32;
  fields.headerSize = 108;
  fields.masks = {0x3ff00000, 0x000ffc00, 0x000003ff, 0xc0000000};
  both("fuzz_engine_bmp", "a2r10g10b10.bmp",
       [&](auto p) { return writeBmp(p, w, h, rgba.data(), fields); });
  fields.bpp = 16;
  fields.masks = {0x7c00, 0x03e0, 0x001f, 0x8000};
  both("fuzz_engine_bmp", "a1r5g5b5.bmp",
       [&](auto p) { return writeBmp(p, w, h, rgba.data(), fields); });
  BmpOptions two;
  two.bpp = 2;
  two.palette = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 0, 255}};
  both("fuzz_engine_bmp", "b2.bmp", [&](auto p) { return writeBmp(p, w, h, indices.data(), two); });
  BmpOptions rle24;
  rle24.bpp = 24;
  rle24.rle = true;
  rle24.headerSize = 64;
  both("fuzz_engine_bmp", "rle24.bmp",
       [&](auto p) { return writeBmp(p, w, h, rgba.data(), rle24); });

  WebpOptions webp;
  both("fuzz_engine_webp", "lossy-alpha.webp",
       [&](auto p) { return writeWebp(p, w, h, rgba.data(), webp); });
  webp.lossless = true;
  webp.exifOrientation = 6;
  both("fuzz_engine_webp", "lossless-exif.webp",
       [&](auto p) { return writeWebp(p, w, h, rgba.data(), webp); });
  webp.lossless = false;
  webp.canvasWidth = w + 4;
  webp.canvasHeight = h + 2;
  webp.frameX = 2;
  webp.extraFrames = 1;
  both("fuzz_engine_webp", "animation.webp",
       [&](auto p) { return writeWebp(p, w, h, rgba.data(), webp); });

  HeifOptions pq;
  pq.avif = true;
  pq.primaries = 9;  // BT.2020
  pq.transfer = 16;  // PQ
  both("fuzz_engine_avif", "pq.avif", [&](auto p) { return writeHeif(p, w, h, rgba.data(), pq); });
  HeifOptions heif;
  heif.orientation = 6;
  heif.thumbnailSize = 4;
  both("fuzz_engine_heif", "thumbnail.heic",
       [&](auto p) { return writeHeif(p, w, h, rgba.data(), heif); });
  HeifOptions alpha;
  alpha.alpha = true;
  both("fuzz_engine_heif", "alpha.heic",
       [&](auto p) { return writeHeif(p, w, h, rgba.data(), alpha); });
  alpha.avif = true;
  both("fuzz_engine_avif", "alpha.avif",
       [&](auto p) { return writeHeif(p, w, h, rgba.data(), alpha); });
  heif.avif = true;
  both("fuzz_engine_avif", "thumbnail.avif",
       [&](auto p) { return writeHeif(p, w, h, rgba.data(), heif); });
  HeifOptions deep;
  deep.avif = true;
  deep.bitDepth = 10;
  deep.chroma = "422";
  both("fuzz_engine_avif", "deep-422.avif",
       [&](auto p) { return writeHeif(p, w, h, rgba.data(), deep); });

  const std::vector<uint16_t> rgba16(rgba.begin(), rgba.end());
  const std::vector<uint16_t> grey16(grey.begin(), grey.end());
  TiffOptions tiff{.channels = 4, .alpha = true, .compression = 5, .rowsPerStrip = 3};
  tiff.orientation = 6;
  both("fuzz_engine_tiff", "lzw-rgba.tif",
       [&](auto p) { return writeTiff(p, w, h, rgba16, tiff); });
  TiffOptions tiles{.photometric = 1, .channels = 1, .compression = 8, .tileWidth = 16};
  tiles.tileHeight = 16;
  tiles.extraPages = 1;
  both("fuzz_engine_tiff", "deflate-tiles.tif",
       [&](auto p) { return writeTiff(p, w, h, grey16, tiles); });
  TiffOptions jpegTiff{.compression = 7, .rowsPerStrip = 16};
  std::vector<uint16_t> rgb16(rgb.begin(), rgb.end());
  both("fuzz_engine_tiff", "jpeg.tif", [&](auto p) { return writeTiff(p, w, h, rgb16, jpegTiff); });
  TiffOptions palTiff{.photometric = 3, .channels = 1, .compression = 32773};
  palTiff.palette = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 0, 255}};
  const std::vector<uint16_t> idx16(indices.begin(), indices.end());
  both("fuzz_engine_tiff", "palette.tif",
       [&](auto p) { return writeTiff(p, w, h, idx16, palTiff); });
  both("fuzz_engine_jxl", "lossy.jxl", [&](auto p) { return writeJxl(p, w, h, rgba.data()); });
  JxlOptions jxl{.lossless = true, .alpha = true, .orientation = 6, .container = true};
  both("fuzz_engine_jxl", "lossless-alpha.jxl",
       [&](auto p) { return writeJxl(p, w, h, rgba.data(), jxl); });

  ok &= writeFile(root + "/fuzz_config/lists.json",
                  R"({"whitelist": ["/media/a", "/srv/b"], "blacklist": ["/media/a/private"]})");
  ok &= writeFile(root + "/fuzz_config/odd.json",
                  "{\"whitelist\": [1, null, \"\", \"x\\u00e4\"], \"blacklist\": {}}\n");
  // Wire messages: requests of each layout and the three replies.
  auto message = [&](const std::string& name, comm::WireWriter& writer) {
    std::vector<uint8_t>& bytes = writer.finish();
    ok &= writer.ok() &&
          writeFile(root + "/fuzz_wire/" + name, std::string(bytes.begin(), bytes.end()));
  };
  CIPtr<CIPtrArray<CIString>> paths = CITypesFactory::createStringArray(2);
  (*paths)[0] = CITypesFactory::createString("/a/b.png", util::UnicodeString_common::kUtf8);
  comm::WireWriter image(comm::kKindRequest, 0);
  image.putStringArray(paths);
  image.putI8(-3);
  image.putBool(true);
  message("request-image", image);
  comm::WireWriter information(comm::kKindRequest, 1);
  information.putStringArray(paths);
  message("request-information", information);
  CIPtr<CIUInt32Array> ids = CITypesFactory::createUInt32Array(2);
  (*ids)[0] = 23;
  comm::WireWriter subscribe(comm::kKindRequest, 4);
  subscribe.putUInt32Array(ids);
  message("subscribe-list", subscribe);
  comm::WireWriter reply(comm::kKindReply, 0);
  reply.putString((*paths)[0]);
  reply.putBool(true);
  reply.putBool(true);
  reply.putI32(8);
  reply.putU32(2);
  reply.putU32(1);
  reply.putI64(6);
  reply.putI64(6);
  reply.putBool(true);
  CIPtr<CIInt8Array> pixels = CITypesFactory::createInt8Array(6);
  for (int i = 0; i < 6; ++i) pixels->data()[i] = int8_t(i);
  reply.putByteArray(pixels);
  reply.putU32(6);
  reply.putI32(0);
  message("reply-image", reply);
  comm::WireWriter version(comm::kKindReply, 2);
  version.putString(CITypesFactory::createString("2.0.1", util::UnicodeString_common::kUtf8));
  version.putBool(true);
  message("reply-version", version);
  if (!ok) std::fprintf(stderr, "some seeds could not be written\n");
  return ok ? 0 : 1;
}
