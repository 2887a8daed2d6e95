// imageserver-bench colour: the conversion to sRGB, in this process. Its
// accuracy against vips (`vips icc_transform --intent perceptual IN OUT
// srgb`, little-cms behind it), per file of the colour set, and what it
// costs: the tagged 12 MP JPEG against the same pixels untagged, in full and
// reduced, and the untagged one with colour management on and off. The
// cases of a comparison run in turn, round after round, so that the load of
// the machine falls on both alike; each figure is the median of the rounds.
#include "platform/lumo/colour.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/lumo/codec.h"

namespace bench {
namespace {

struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgba;
};

lumo::Bitmap* decodeHere(const std::string& path, lumo::BitmapInfo::Format format,
                         uint32_t width = 0, uint32_t height = 0) {
  kor::Status status;
  lumo::Bitmap* bitmap = lumo::internal::localDecode(util::UnicodeString8(path.c_str()), -1, 0,
                                                     format, width, height, width != 0, &status)
                             .release();
  kor::toErrorStorage(status);
  if (bitmap == nullptr) fail(path + ": " + kor::ErrorStorage::reason());
  return bitmap;
}

Image rgbaOf(const std::string& path, bool managed = true) {
  lumo::internal::setColourManaged(managed);
  lumo::Bitmap* bitmap = decodeHere(path, lumo::BitmapInfo::kFormatRGBA8888);
  lumo::internal::setColourManaged(true);
  Image image{bitmap->width, bitmap->height,
              std::vector<uint8_t>(bitmap->pixels,
                                   bitmap->pixels + size_t{bitmap->stride} * bitmap->height)};
  lumo::Engine::getInstance().destroyBitmap(bitmap);
  return image;
}

// Of the colour channels.
double psnr(const Image& a, const Image& b) {
  if (a.width != b.width || a.height != b.height) fail("sizes differ");
  double sum = 0;
  size_t count = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i) {
    if (i % 4 == 3) continue;
    const double d = double(a.rgba[i]) - double(b.rgba[i]);
    sum += d * d;
    ++count;
  }
  if (sum == 0) return 99.0;
  return 10 * std::log10(255.0 * 255.0 / (sum / double(count)));
}

// vips's own sRGB (|srgb| "srgb") has a v4 perceptual table that lifts the
// black of a table-based profile such as the CMYK one; little-cms's sRGB,
// the engine's destination, has none. Both are reported.
double againstVips(const std::string& inputs, const std::string& name, const std::string& srgb,
                   const std::string& reference) {
  const std::string path = inputs + "/colour/" + name;
  std::vector<std::string> vips = {"/usr/bin/vips",
                                   "icc_transform",
                                   "--intent",
                                   "perceptual",
                                   path,
                                   reference + "[strip]",
                                   srgb};
  // nclx is no profile to vips: it is given the same space as one.
  if (name.find("nclx") != std::string::npos)
    vips.insert(vips.end(), {"--input-profile", inputs + "/colour/p3.icc"});
  runCommand(vips);
  return psnr(rgbaOf(path), rgbaOf(reference));
}

void accuracy(const std::string& inputs, const std::string& scratch) {
  const std::string reference = scratch + "/colour-reference.png";
  const std::string lcmsSrgb = scratch + "/colour-srgb.icc";
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  const bool saved = srgb != nullptr && cmsSaveProfileToFile(srgb, lcmsSrgb.c_str());
  if (srgb != nullptr) cmsCloseProfile(srgb);
  if (!saved) fail("cannot write " + lcmsSrgb);
  std::printf(
      "accuracy: PSNR of R, G, B against vips icc_transform --intent perceptual IN OUT "
      "DEST\n  %-14s %18s %22s %12s\n",
      "file", "DEST srgb", "DEST little-cms sRGB", "as stored");
  for (const char* name : {"p3.heic", "adobe.jpg", "prophoto.png", "cmyk.jpg", "p3-nclx.avif"}) {
    const double vipsSrgb = againstVips(inputs, name, "srgb", reference);
    const double ownSrgb = againstVips(inputs, name, lcmsSrgb, reference);
    const double stored = psnr(rgbaOf(inputs + "/colour/" + name, false), rgbaOf(reference));
    std::printf("  %-14s %15.1f dB %19.1f dB %9.1f dB\n", name, vipsSrgb, ownSrgb, stored);
  }
}

double decodeMs(const std::string& path, bool managed, uint32_t width, uint32_t height) {
  lumo::internal::setColourManaged(managed);
  const double t0 = now();
  lumo::Bitmap* bitmap = decodeHere(path, lumo::BitmapInfo::kFormatDefault, width, height);
  readAll(bitmap->pixels, size_t{bitmap->stride} * bitmap->height);
  lumo::Engine::getInstance().destroyBitmap(bitmap);
  const double ms = (now() - t0) * 1e3;
  lumo::internal::setColourManaged(true);
  return ms;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Side {
  std::string path;
  bool managed;
};

// The medians of |reps| rounds of |a| and |b| (after two rounds of warm-up).
void compare(const char* what, const Side& a, const Side& b, uint32_t width, uint32_t height,
             int reps, double limit) {
  std::vector<double> timesA, timesB;
  for (int round = -2; round < reps; ++round) {
    // Each goes first every other round: the first of a pair finds the
    // caches as the other left them.
    const bool aFirst = round % 2 == 0;
    const double first = aFirst ? decodeMs(a.path, a.managed, width, height)
                                : decodeMs(b.path, b.managed, width, height);
    const double second = aFirst ? decodeMs(b.path, b.managed, width, height)
                                 : decodeMs(a.path, a.managed, width, height);
    const double ta = aFirst ? first : second, tb = aFirst ? second : first;
    if (round < 0) continue;
    timesA.push_back(ta);
    timesB.push_back(tb);
  }
  const double ratio = median(timesA) / median(timesB);
  std::printf("  %-44s %8.1f ms / %8.1f ms = %.3f  (limit %.2f: %s)\n", what, median(timesA),
              median(timesB), ratio, limit, ratio <= limit ? "PASS" : "MISS");
}

}  // namespace

int measureColour(const std::string& inputs, const std::string& scratch, int reps) {
  accuracy(inputs, scratch);
  const std::string plain = inputs + "/photo12.jpg", tagged = inputs + "/photo12-p3.jpg";
  std::printf("cost, in this process, medians of %d rounds\n", reps);
  compare("photo12-p3.jpg / photo12.jpg, full", {tagged, true}, {plain, true}, 0, 0, reps, 1.15);
  compare("photo12-p3.jpg / photo12.jpg, to 1000 x 750", {tagged, true}, {plain, true}, 1000, 750,
          reps, 1.15);
  compare("photo12.jpg managed / stored, full", {plain, true}, {plain, false}, 0, 0, reps, 1.01);
  return 0;
}

}  // namespace bench
