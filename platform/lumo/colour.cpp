// Colour conversion to sRGB: the transform cache, the profiles made from
// H.273 code points, and the recognition of sRGB, which needs no transform.
//
// Profiles come from files and are hostile: they are bounded in size
// (kMaxIccProfileBytes) and parsed by little-cms alone, whose error texts go
// to tracing at level 1 (silent by default) instead of stderr. Making a
// transform only needs memory once prepareColour() has run, so it runs in a
// confined decoder process as well.
//
// Rendering intent is perceptual, without black point compensation. For the
// matrix-shaper profiles of cameras and displays that is the colorimetric
// conversion (they have no perceptual tables), which the tables of
// colour_tables.h apply without little-cms's per-pixel cost; CMYK profiles
// bring their own perceptual tables.
//
// HDR transfer functions are mapped with 203 cd/m² as diffuse white (ITU-R
// BT.2408): PQ values are taken as absolute luminance and divided by 203;
// HLG values go through the inverse OETF and a 1000 cd/m² display's OOTF
// (system gamma 1.2, applied per channel), which puts HLG's reference white
// (75 %) at 203 cd/m² too. Whatever lies above diffuse white is clipped.
#include "platform/lumo/colour.h"

#include <lcms2.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/lumo/codec.h"
#include "platform/lumo/colour_tables.h"
#include "platform/tracing.h"

namespace lumo::internal {

class ColourTransform {
 public:
  uint64_t key = 0;
  ColourLayout layout = ColourLayout::kRgba;
  std::atomic<uint32_t> refs{1};
  cmsHTRANSFORM transform = nullptr;  // null: |tables| or |lut|
  ColourTables* tables = nullptr;     // RGB matrix-shaper profiles
  bool identity = false;              // sRGB: nothing to do
  const char* unusable = nullptr;     // why the description cannot be used
  uint8_t lut[256] = {};
};

namespace {

tracing::Channel& colourChannel() {
  static tracing::Channel* channel = new tracing::Channel("LUMO_Colour", 7, 2);  // never freed
  return *channel;
}

void logLcmsError(cmsContext, cmsUInt32Number code, const char* text) {
  TRACE(colourChannel(), 1, "little-cms error %u: %s", code, text);
}

constexpr const char* kTooLarge = "the profile is larger than 4 MiB";
constexpr const char* kOutOfMemory = "out of memory";

std::atomic<int> g_managed{-1};  // -1: not read from the environment yet
std::atomic<bool> g_keepNotes{false};
thread_local char t_note[120];

// FNV-1a over the bytes, then the code points: the cache's key.
uint64_t keyOf(const ColourSource& source) {
  uint64_t hash = 14695981039346656037ull;
  auto mix = [&hash](uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
  for (size_t i = 0; i < source.size; ++i) mix(source.data[i]);
  const uint16_t points[2] = {source.primaries, source.transfer};
  for (uint16_t point : points) {
    mix(static_cast<uint8_t>(point));
    mix(static_cast<uint8_t>(point >> 8));
  }
  return hash ^ (static_cast<uint64_t>(source.size) << 1) ^ (source.data == nullptr ? 1 : 0);
}

// --- Profiles from H.273 code points ------------------------------------------

struct Primaries {
  uint16_t code;
  double rx, ry, gx, gy, bx, by, wx, wy;
};
constexpr Primaries kPrimaries[] = {
    {1, 0.640, 0.330, 0.300, 0.600, 0.150, 0.060, 0.3127, 0.3290},   // BT.709, sRGB
    {4, 0.670, 0.330, 0.210, 0.710, 0.140, 0.080, 0.310, 0.316},     // BT.470 M
    {5, 0.640, 0.330, 0.290, 0.600, 0.150, 0.060, 0.3127, 0.3290},   // BT.470 B/G
    {6, 0.630, 0.340, 0.310, 0.595, 0.155, 0.070, 0.3127, 0.3290},   // BT.601
    {7, 0.630, 0.340, 0.310, 0.595, 0.155, 0.070, 0.3127, 0.3290},   // SMPTE 240M
    {9, 0.708, 0.292, 0.170, 0.797, 0.131, 0.046, 0.3127, 0.3290},   // BT.2020
    {11, 0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.314, 0.351},    // DCI-P3
    {12, 0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.3127, 0.3290},  // Display P3
    {22, 0.630, 0.340, 0.295, 0.605, 0.155, 0.077, 0.3127, 0.3290},  // EBU 3213
};

// Encoded value to relative display light, 0..1, for PQ and HLG.
double pqToLinear(double v) {
  const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
  const double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
  const double p = std::pow(v, 1 / m2);
  const double nits = 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
  return std::min(nits / 203, 1.0);
}

double hlgToLinear(double v) {
  const double a = 0.17883277, b = 1 - 4 * a, c = 0.5 - a * std::log(4 * a);
  const double scene = v <= 0.5 ? v * v / 3 : (std::exp((v - c) / a) + b) / 12;
  return std::min(1000 * std::pow(scene, 1.2) / 203, 1.0);
}

cmsToneCurve* transferCurve(uint16_t transfer) {
  // Type 4 of ICC parametric curves: (a x + b)^g above d, c x below.
  static const double kSrgb[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  static const double kBt709[5] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
  static const double kSmpte240[5] = {1 / 0.45, 1 / 1.1115, 0.1115 / 1.1115, 1 / 4.0, 0.0913};
  switch (transfer) {
    case 1:
    case 6:
    case 14:
    case 15:
      return cmsBuildParametricToneCurve(nullptr, 4, kBt709);
    case 2:
    case 13:
      return cmsBuildParametricToneCurve(nullptr, 4, kSrgb);
    case 7:
      return cmsBuildParametricToneCurve(nullptr, 4, kSmpte240);
    case 4:
    case 5:
    case 8:
      return cmsBuildGamma(nullptr, transfer == 4 ? 2.2 : transfer == 5 ? 2.8 : 1.0);
    case 16:
    case 18: {
      constexpr uint32_t kEntries = 4096;
      auto* table = new (std::nothrow) cmsFloat32Number[kEntries];
      if (table == nullptr) return nullptr;
      for (uint32_t i = 0; i < kEntries; ++i) {
        const double v = double(i) / (kEntries - 1);
        table[i] = static_cast<cmsFloat32Number>(transfer == 16 ? pqToLinear(v) : hlgToLinear(v));
      }
      cmsToneCurve* curve = cmsBuildTabulatedToneCurveFloat(nullptr, kEntries, table);
      delete[] table;
      return curve;
    }
    default:
      return nullptr;
  }
}

cmsHPROFILE cicpProfile(uint16_t primaries, uint16_t transfer, const char** unusable) {
  const Primaries* p = nullptr;
  for (const Primaries& candidate : kPrimaries)
    if (candidate.code == primaries) p = &candidate;
  cmsToneCurve* curve = p != nullptr ? transferCurve(transfer) : nullptr;
  if (curve == nullptr) {
    *unusable = p == nullptr ? "unsupported colour primaries" : "unsupported transfer function";
    return nullptr;
  }
  const cmsCIExyY white = {p->wx, p->wy, 1.0};
  const cmsCIExyYTRIPLE triple = {{p->rx, p->ry, 1.0}, {p->gx, p->gy, 1.0}, {p->bx, p->by, 1.0}};
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &triple, curves);
  cmsFreeToneCurve(curve);
  if (profile == nullptr) *unusable = "cannot build a profile";
  return profile;
}

// --- sRGB recognition -----------------------------------------------------------

// True when |profile| is a matrix-shaper profile whose colorants and curves
// are sRGB's, within what 8-bit pixels can show: such files are left as
// stored.
bool isSrgb(cmsHPROFILE profile, cmsHPROFILE srgb) {
  if (!cmsIsMatrixShaper(profile)) return false;
  const cmsTagSignature colorants[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                        cmsSigBlueColorantTag};
  const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
  for (int c = 0; c < 3; ++c) {
    const auto* mine = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, colorants[c]));
    const auto* theirs = static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb, colorants[c]));
    const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, curves[c]));
    const auto* reference = static_cast<const cmsToneCurve*>(cmsReadTag(srgb, curves[c]));
    if (mine == nullptr || theirs == nullptr || curve == nullptr || reference == nullptr)
      return false;
    if (std::fabs(mine->X - theirs->X) > 0.003 || std::fabs(mine->Y - theirs->Y) > 0.003 ||
        std::fabs(mine->Z - theirs->Z) > 0.003)
      return false;
    for (int i = 0; i <= 32; ++i) {
      const float x = float(i) / 32;
      if (std::fabs(cmsEvalToneCurveFloat(curve, x) - cmsEvalToneCurveFloat(reference, x)) >
          0.5f / 255)
        return false;
    }
  }
  return true;
}

// --- Transforms ---------------------------------------------------------------

cmsUInt32Number inputType(ColourLayout layout) {
  switch (layout) {
    case ColourLayout::kRgba:
      return TYPE_RGBA_8;
    case ColourLayout::kRgb:
      return TYPE_RGB_8;
    case ColourLayout::kBgr:
      return TYPE_BGR_8;
    case ColourLayout::kBgra:
      return TYPE_BGRA_8;
    case ColourLayout::kArgb:
      return TYPE_ARGB_8;
    case ColourLayout::kGrey:
      return TYPE_GRAY_8;
    case ColourLayout::kCmyk:
      return TYPE_CMYK_8;
    case ColourLayout::kCmykInv:
      return TYPE_CMYK_8_REV;
  }
  return TYPE_RGBA_8;
}

cmsColorSpaceSignature spaceOf(ColourLayout layout) {
  if (layout == ColourLayout::kGrey) return cmsSigGrayData;
  if (layout == ColourLayout::kCmyk || layout == ColourLayout::kCmykInv) return cmsSigCmykData;
  return cmsSigRgbData;
}

// Makes |entry|'s transform from |profile| (which it does not keep).
void buildLcmsTransform(ColourTransform* entry, cmsHPROFILE profile, cmsHPROFILE srgb) {
  const ColourLayout layout = entry->layout;
  const bool cmyk = spaceOf(layout) == cmsSigCmykData;
  const cmsUInt32Number out = cmyk ? TYPE_RGBA_8 : inputType(layout);
  const cmsUInt32Number flags = cmsFLAGS_NOCACHE | (cmyk ? 0 : cmsFLAGS_COPY_ALPHA);
  entry->transform =
      cmsCreateTransform(profile, inputType(layout), srgb, out, INTENT_PERCEPTUAL, flags);
  if (entry->transform == nullptr) entry->unusable = "little-cms refused the profile";
}

// An RGB matrix-shaper profile goes through tables (colour_tables.h) when
// they can express it, otherwise through little-cms's transform.
void buildMatrixShaper(ColourTransform* entry, cmsHPROFILE profile, cmsHPROFILE srgb) {
  entry->tables = new (std::nothrow) ColourTables;
  if (entry->tables == nullptr) {
    entry->unusable = kOutOfMemory;
  } else if (!buildColourTables(profile, srgb, entry->tables)) {
    delete entry->tables;
    entry->tables = nullptr;
    buildLcmsTransform(entry, profile, srgb);
  }
}

void buildTransform(ColourTransform* entry, cmsHPROFILE profile) {
  const cmsProfileClassSignature kind = cmsGetDeviceClass(profile);
  if (cmsGetColorSpace(profile) != spaceOf(entry->layout)) {
    entry->unusable = "the profile's colour space is not the image's";
    return;
  }
  if (kind == cmsSigLinkClass || kind == cmsSigAbstractClass || kind == cmsSigNamedColorClass) {
    entry->unusable = "not a device profile";
    return;
  }
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  if (srgb == nullptr) {
    entry->unusable = kOutOfMemory;
    return;
  }
  const ColourLayout layout = entry->layout;
  if (layout != ColourLayout::kGrey && spaceOf(layout) == cmsSigRgbData && isSrgb(profile, srgb)) {
    entry->identity = true;
  } else if (layout == ColourLayout::kGrey) {
    // Grey goes to the neutral sRGB colour of each level: a table.
    cmsHTRANSFORM grey = cmsCreateTransform(profile, TYPE_GRAY_8, srgb, TYPE_RGB_8,
                                            INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
    uint8_t levels[256], rgb[256 * 3];
    for (int i = 0; i < 256; ++i) levels[i] = static_cast<uint8_t>(i);
    if (grey != nullptr) {
      cmsDoTransform(grey, levels, rgb, 256);
      for (int i = 0; i < 256; ++i) entry->lut[i] = rgb[i * 3 + 1];
      cmsDeleteTransform(grey);
    } else {
      entry->unusable = "little-cms refused the profile";
    }
  } else if (spaceOf(layout) == cmsSigRgbData && cmsIsMatrixShaper(profile)) {
    buildMatrixShaper(entry, profile, srgb);
  } else {
    buildLcmsTransform(entry, profile, srgb);
  }
  cmsCloseProfile(srgb);
}

ColourTransform* buildEntry(const ColourSource& source, ColourLayout layout, uint64_t key) {
  auto* entry = new (std::nothrow) ColourTransform;
  if (entry == nullptr) return nullptr;
  entry->key = key;
  entry->layout = layout;
  const char* unusable = nullptr;
  cmsHPROFILE profile = nullptr;
  if (source.data == nullptr) {
    profile = cicpProfile(source.primaries, source.transfer, &unusable);
  } else {
    profile = cmsOpenProfileFromMem(source.data, static_cast<cmsUInt32Number>(source.size));
    if (profile == nullptr) unusable = "little-cms cannot read the profile";
  }
  if (profile == nullptr) {
    entry->unusable = unusable;
    return entry;
  }
  buildTransform(entry, profile);
  cmsCloseProfile(profile);
  return entry;
}

// The cache: most recently used first. Its own reference to each entry is
// given back when the entry is dropped. It lives as long as the process, as
// decodes may run on other threads while the process exits.
struct Cache {
  std::mutex mutex;
  ColourTransform* entries[kMaxColourTransforms] = {};  // Guarded by mutex.

  // The entry of |key| and |layout| with a reference for the caller, moved
  // to the front; null when there is none.
  ColourTransform* find(uint64_t key, ColourLayout layout) {
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < kMaxColourTransforms && entries[i] != nullptr; ++i) {
      ColourTransform* entry = entries[i];
      if (entry->key != key || entry->layout != layout) continue;
      std::move_backward(entries, entries + i, entries + i + 1);
      entries[0] = entry;
      entry->refs.fetch_add(1, std::memory_order_relaxed);
      return entry;
    }
    return nullptr;
  }

  // Puts |entry| (with the caller's reference) in front, dropping the
  // least recently used when full.
  void insert(ColourTransform* entry) {
    ColourTransform* dropped = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      entry->refs.fetch_add(1, std::memory_order_relaxed);
      dropped = entries[kMaxColourTransforms - 1];
      std::move_backward(entries, entries + kMaxColourTransforms - 1,
                         entries + kMaxColourTransforms);
      entries[0] = entry;
    }
    releaseColourTransform(dropped);
  }
};

Cache& cache() {
  static Cache* cache = new Cache;  // never freed
  return *cache;
}

}  // namespace

void prepareColour() {
  static const bool ready = [] {
    cmsSetLogErrorHandler(logLcmsError);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    if (srgb != nullptr) cmsCloseProfile(srgb);
    return true;
  }();
  (void)ready;
}

bool colourProfileFits(uint64_t size) {
  if (size <= kMaxIccProfileBytes) return true;
  logColourNote(nullptr, kTooLarge);
  return false;
}

ColourTransform* acquireColourTransform(const ColourSource& source, ColourLayout layout,
                                        const char** unusable) {
  prepareColour();
  *unusable = nullptr;
  if (source.data != nullptr && source.size > kMaxIccProfileBytes) {
    *unusable = kTooLarge;
    return nullptr;
  }
  const uint64_t key = keyOf(source);
  ColourTransform* entry = cache().find(key, layout);
  if (entry == nullptr) {
    entry = buildEntry(source, layout, key);
    if (entry == nullptr) return nullptr;
    // A shortage of memory passes: the next image tries again.
    if (entry->unusable != kOutOfMemory) cache().insert(entry);
  }
  if (entry->identity || entry->unusable != nullptr) {
    *unusable = entry->unusable;
    releaseColourTransform(entry);
    return nullptr;
  }
  return entry;
}

void releaseColourTransform(ColourTransform* transform) {
  if (transform == nullptr || transform->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (transform->transform != nullptr) cmsDeleteTransform(transform->transform);
  delete transform->tables;
  delete transform;
}

void applyColourTransform(const ColourTransform* transform, const uint8_t* in, uint8_t* out,
                          size_t count) {
  if (transform->tables != nullptr) {
    applyColourTables(*transform->tables, transform->layout, in, out, count);
    return;
  }
  if (transform->transform != nullptr) {
    cmsDoTransform(transform->transform, in, out, static_cast<cmsUInt32Number>(count));
    return;
  }
  // Grey: the table on R, G and B of RGBA.
  for (size_t i = 0; i < count * 4; i += 4) {
    out[i] = out[i + 1] = out[i + 2] = transform->lut[in[i]];
    out[i + 3] = in[i + 3];
  }
}

// --- The pipeline's side ----------------------------------------------------------
//
// Rows are converted as straight RGBA just before the Writer turns them
// into the bitmap's format: after the area averager, so a reduced decode
// converts only the reduced image, and before any conversion that loses
// colour (RGB565, grey). Rows that a decoder writes into the bitmap itself
// (direct rows, whole images) are converted there, in place, in the
// bitmap's format, which those paths only use for 8-bit RGB layouts (and L8
// for grey JPEG), so they cost one pass and no copy.

namespace {

// The layout of the bitmap's own pixels, for direct rows and whole images;
// false when those paths never write this format with colour to convert.
bool bitmapLayout(BitmapInfo::Format format, bool grey, ColourLayout* layout) {
  if (grey) {
    *layout = ColourLayout::kGrey;
    return format == BitmapInfo::kFormatL8;
  }
  switch (format) {
    case BitmapInfo::kFormatRGBA8888:
      *layout = ColourLayout::kRgba;
      return true;
    case BitmapInfo::kFormatRGB888:
      *layout = ColourLayout::kRgb;
      return true;
    case BitmapInfo::kFormatBGR888:
      *layout = ColourLayout::kBgr;
      return true;
    case BitmapInfo::kFormatBGRA8888:
      *layout = ColourLayout::kBgra;
      return true;
    case BitmapInfo::kFormatARGB8888:
      *layout = ColourLayout::kArgb;
      return true;
    default:
      return false;
  }
}

// The transform of |source| for |layout|, or null (logged when the source
// cannot be used).
ColourTransform* acquireLogged(const ColourSource& source, ColourLayout layout) {
  const char* unusable = nullptr;
  ColourTransform* transform = acquireColourTransform(source, layout, &unusable);
  if (unusable != nullptr) logColourNote(nullptr, unusable);
  return transform;
}

bool useColour(ColourPlan& plan, const ColourSource& source, const Header& header,
               BitmapInfo::Format format) {
  if (plan.rows != nullptr || plan.cmyk != nullptr || !colourManaged()) return true;
  plan.rows = acquireLogged(source, header.isGrey ? ColourLayout::kGrey : ColourLayout::kRgba);
  ColourLayout layout;
  if (plan.rows != nullptr && bitmapLayout(format, header.isGrey, &layout)) {
    const char* unusable = nullptr;
    plan.pixels = acquireColourTransform(source, layout, &unusable);
  }
  return true;
}

}  // namespace

ColourPlan::~ColourPlan() {
  releaseColourTransform(rows);
  releaseColourTransform(pixels);
  releaseColourTransform(cmyk);
}

bool Pipeline::setIccProfile(const uint8_t* data, size_t size) {
  if (!m_writer || data == nullptr || size == 0) return true;
  return useColour(m_colour, ColourSource{data, size, 0, 0}, m_header, m_bitmapFormat);
}

bool Pipeline::setCicp(uint16_t primaries, uint16_t transfer) {
  // BT.709 primaries (or unspecified ones) with sRGB's curve (or an
  // unspecified one): sRGB already.
  if (!m_writer || ((primaries == 1 || primaries == 2) && (transfer == 13 || transfer == 2)))
    return true;
  return useColour(m_colour, ColourSource{nullptr, 0, primaries, transfer}, m_header,
                   m_bitmapFormat);
}

bool Pipeline::setCmykProfile(const uint8_t* data, size_t size, bool inverted) {
  if (!m_writer || data == nullptr || size == 0 || !colourManaged()) return false;
  if (m_colour.cmyk == nullptr)
    m_colour.cmyk = acquireLogged(ColourSource{data, size, 0, 0},
                                  inverted ? ColourLayout::kCmykInv : ColourLayout::kCmyk);
  return m_colour.cmyk != nullptr;
}

void Pipeline::cmykToRgba(const uint8_t* cmyk, uint32_t count, uint8_t* rgba) const {
  applyColourTransform(m_colour.cmyk, cmyk, rgba, count);
  for (uint32_t x = 0; x < count; ++x) rgba[size_t{x} * 4 + 3] = 255;
}

const uint8_t* Pipeline::colourRow(const uint8_t* rgba, uint32_t count, kor::Status* status) {
  if (m_colour.rows == nullptr) return rgba;
  uint8_t* out = scratch(Scratch::kColourRow, size_t{count} * 4, status);
  if (out != nullptr) applyColourTransform(m_colour.rows, rgba, out, count);
  return out;
}

// The pixels of a pass are gathered, converted together and put back in
// their places.
const uint8_t* Pipeline::colourScattered(const uint8_t* rgba, uint32_t width, uint32_t xStart,
                                         uint32_t xStep, kor::Status* status) {
  if (m_colour.rows == nullptr) return rgba;
  uint8_t* out = scratch(Scratch::kColourRow, size_t{width} * 8, status);
  if (out == nullptr) return nullptr;
  if (xStep == 1) {
    applyColourTransform(m_colour.rows, rgba + size_t{xStart} * 4, out + size_t{xStart} * 4,
                         width - xStart);
    return out;
  }
  uint8_t* packed = out + size_t{width} * 4;
  size_t count = 0;
  for (uint32_t x = xStart; x < width; x += xStep, ++count)
    std::memcpy(packed + count * 4, rgba + size_t{x} * 4, 4);
  applyColourTransform(m_colour.rows, packed, packed, count);
  count = 0;
  for (uint32_t x = xStart; x < width; x += xStep, ++count)
    std::memcpy(out + size_t{x} * 4, packed + count * 4, 4);
  return out;
}

void Pipeline::colourInPlace(uint8_t* pixels, size_t count) const {
  const ColourTransform* transform = m_colour.pixels;
  if (transform == nullptr) return;
  if (transform->tables != nullptr || transform->transform != nullptr) {
    applyColourTransform(transform, pixels, pixels, count);
    return;
  }
  for (size_t i = 0; i < count; ++i) pixels[i] = transform->lut[pixels[i]];  // L8
}

bool colourManaged() {
  int managed = g_managed.load(std::memory_order_relaxed);
  if (managed < 0) {
    const char* setting = std::getenv("LUMO_COLOUR");
    managed = setting != nullptr && std::strcmp(setting, "stored") == 0 ? 0 : 1;
    g_managed.store(managed, std::memory_order_relaxed);
  }
  return managed != 0;
}

void setColourManaged(bool managed) { g_managed.store(managed ? 1 : 0); }

void keepColourNotes() { g_keepNotes.store(true); }

void takeColourNote(char* out, size_t size) {
  if (size > 0) {
    std::strncpy(out, t_note, size - 1);
    out[size - 1] = '\0';
  }
  t_note[0] = '\0';
}

void logColourNote(const char* path, const char* note) {
  if (path == nullptr) {
    if (!g_keepNotes.load(std::memory_order_relaxed)) {
      TRACE(colourChannel(), 2, "colour description not used, pixels as stored: %s", note);
      return;
    }
    std::strncpy(t_note, note, sizeof(t_note) - 1);
    t_note[sizeof(t_note) - 1] = '\0';
    return;
  }
  TRACE(colourChannel(), 2, "%s: colour description not used, pixels as stored: %s", path, note);
}

}  // namespace lumo::internal
