// The tables of the matrix-shaper fast path: made with little-cms, applied
// here. Linear light is rounded to 1.14 fixed point as little-cms rounds it,
// and the matrix's sum to 1.14 again, which keeps the two within one code
// value.
#include "platform/lumo/colour_tables.h"

#include <algorithm>
#include <cmath>

namespace lumo::internal {

namespace {

// |value| clipped to 0 .. 1; a NaN (from a hostile curve) is 0.
double unit(double value) { return value > 0 ? std::min(value, 1.0) : 0.0; }

// A row of the matrix, applied to linear light of 0 .. 1, must sum within
// -8 .. 8 to stay in its lane: a sum of absolute coefficients below 8,
// with room for rounding. Ordinary primaries stay far below (ProPhoto's
// largest is about 3.1); a profile beyond goes through little-cms.
constexpr double kMaxRowSum = 7.99;

// The columns of |m| are the XYZ of the profile's red, green and blue.
bool readColorants(cmsHPROFILE profile, double m[3][3]) {
  const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                   cmsSigBlueColorantTag};
  for (int c = 0; c < 3; ++c) {
    const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, tags[c]));
    if (xyz == nullptr) return false;
    m[0][c] = xyz->X;
    m[1][c] = xyz->Y;
    m[2][c] = xyz->Z;
  }
  return true;
}

bool invert(const double m[3][3], double out[3][3]) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  if (!std::isfinite(det) || std::fabs(det) < 1e-9) return false;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      // The cofactor of (c, r), by the cyclic indices of the other rows and columns.
      const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      out[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
    }
  }
  return true;
}

// sRGB's colorants inverted after the profile's: source RGB to sRGB RGB,
// both in linear light, through D50 XYZ.
bool buildMatrix(cmsHPROFILE profile, cmsHPROFILE srgb, double out[3][3]) {
  double source[3][3], target[3][3], inverse[3][3];
  if (!readColorants(profile, source) || !readColorants(srgb, target) || !invert(target, inverse))
    return false;
  for (int r = 0; r < 3; ++r) {
    double sum = 0;
    for (int c = 0; c < 3; ++c) {
      out[r][c] = inverse[r][0] * source[0][c] + inverse[r][1] * source[1][c] +
                  inverse[r][2] * source[2][c];
      sum += std::fabs(out[r][c]);
    }
    if (!(sum < kMaxRowSum)) return false;  // also NaN
  }
  return true;
}

// Each code value's linear light, in 1.14 as little-cms has it, times the
// matrix's column of its channel: its shares, a lane each.
bool buildShares(cmsHPROFILE profile, const double matrix[3][3], ColourTables* tables) {
  const cmsTagSignature tags[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
  for (int c = 0; c < 3; ++c) {
    const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, tags[c]));
    if (curve == nullptr) return false;
    for (int i = 0; i < 256; ++i) {
      const double x = cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(i / 255.0));
      const double linear = std::floor(unit(x) * kLinearOne + 0.5) / kLinearOne;
      uint64_t shares = 0;
      for (uint32_t k = 0; k < 3; ++k) {
        const auto share = static_cast<int64_t>(
            std::floor(matrix[k][c] * linear * kShareOne + 0.5) + (c == 0 ? kShareBias : 0));
        shares += static_cast<uint64_t>(share) << (kShareBits * k);
      }
      tables->shares[c][i] = shares;
    }
  }
  return true;
}

// sRGB's inverse curve; its three curves are one.
bool buildEncoded(cmsHPROFILE srgb, ColourTables* tables) {
  const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(srgb, cmsSigRedTRCTag));
  cmsToneCurve* inverse = curve != nullptr ? cmsReverseToneCurve(curve) : nullptr;
  if (inverse == nullptr) return false;
  for (size_t i = 0; i < kEncodedEntries; ++i) {
    const double x = static_cast<double>(std::min<size_t>(i, kLinearOne)) / kLinearOne;
    const double v = cmsEvalToneCurveFloat(inverse, static_cast<cmsFloat32Number>(x));
    tables->encoded[i] = static_cast<uint8_t>(std::floor(unit(v) * 255 + 0.5));
  }
  cmsFreeToneCurve(inverse);
  return true;
}

constexpr uint64_t inLanes(uint64_t value) {
  return value | (value << kShareBits) | (value << (2 * kShareBits));
}

// One pass over the pixels, for pixels of |kSize| bytes with red, green
// and blue at |kR|, |kG| and |kB|, and alpha (when there is one and |out|
// is not |in|: kCopyAlpha) at the remaining offset of 0 .. 3.
//
// The bias comes off all lanes in one subtraction; when every lane then
// holds 0 .. 2 (no bit from 2 up: also no borrow from a negative lane), the
// table needs no clipping. Otherwise each lane is clipped to 0 .. 1.
template <size_t kSize, size_t kR, size_t kG, size_t kB, bool kCopyAlpha>
void applyTo(const ColourTables& t, const uint8_t* in, uint8_t* out, size_t count) {
  constexpr size_t kA = 6 - kR - kG - kB;
  constexpr uint64_t kLane = (uint64_t{1} << kShareBits) - 1;
  constexpr uint32_t kDrop = 3;  // 1.17 to 1.14
  constexpr uint64_t kIndex = kEncodedEntries - 1;
  constexpr uint64_t kBiases = inLanes(kShareBias - (1 << (kDrop - 1)));  // and rounding
  constexpr uint64_t kTwoAndUp = inLanes(kLane & ~uint64_t{2 * kShareOne - 1});
  // Local copies: stores through |out| may alias |t| as far as the
  // compiler knows, and would reload them for every pixel.
  const uint64_t *red = t.shares[0], *green = t.shares[1], *blue = t.shares[2];
  const uint8_t* encoded = t.encoded;
  auto clipped = [encoded](uint64_t lane) {
    const int32_t linear = static_cast<int32_t>(lane) - static_cast<int32_t>(kBiases & kLane);
    return encoded[std::clamp(linear >> kDrop, 0, kLinearOne)];
  };
  for (size_t i = 0; i < count * kSize; i += kSize) {
    const uint64_t sum = red[in[i + kR]] + green[in[i + kG]] + blue[in[i + kB]];
    const uint64_t linear = sum - kBiases;
    uint8_t r, g, b;
    if ((linear & kTwoAndUp) == 0) {
      r = encoded[(linear >> kDrop) & kIndex];
      g = encoded[(linear >> (kShareBits + kDrop)) & kIndex];
      b = encoded[linear >> (2 * kShareBits + kDrop)];
    } else {
      r = clipped(sum & kLane);
      g = clipped((sum >> kShareBits) & kLane);
      b = clipped(sum >> (2 * kShareBits));
    }
    if constexpr (kCopyAlpha) out[i + kA] = in[i + kA];
    out[i + kR] = r;
    out[i + kG] = g;
    out[i + kB] = b;
  }
}

template <size_t kSize, size_t kR, size_t kG, size_t kB>
void applyTo(const ColourTables& t, const uint8_t* in, uint8_t* out, size_t count) {
  if (kSize == 4 && in != out) return applyTo<kSize, kR, kG, kB, true>(t, in, out, count);
  applyTo<kSize, kR, kG, kB, false>(t, in, out, count);
}

}  // namespace

bool buildColourTables(cmsHPROFILE profile, cmsHPROFILE srgb, ColourTables* tables) {
  double matrix[3][3];
  return cmsIsMatrixShaper(profile) && cmsGetColorSpace(profile) == cmsSigRgbData &&
         buildMatrix(profile, srgb, matrix) && buildShares(profile, matrix, tables) &&
         buildEncoded(srgb, tables);
}

void applyColourTables(const ColourTables& tables, ColourLayout layout, const uint8_t* in,
                       uint8_t* out, size_t count) {
  switch (layout) {
    case ColourLayout::kRgb:
      return applyTo<3, 0, 1, 2>(tables, in, out, count);
    case ColourLayout::kBgr:
      return applyTo<3, 2, 1, 0>(tables, in, out, count);
    case ColourLayout::kBgra:
      return applyTo<4, 2, 1, 0>(tables, in, out, count);
    case ColourLayout::kArgb:
      return applyTo<4, 1, 2, 3>(tables, in, out, count);
    default:
      return applyTo<4, 0, 1, 2>(tables, in, out, count);
  }
}

}  // namespace lumo::internal
