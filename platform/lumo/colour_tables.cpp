// The tables of the matrix-shaper fast path: made with little-cms, applied
// here. Rounding follows little-cms's 8-bit matrix-shaper transform (1.14
// fixed point throughout, the matrix's sum rounded to nearest), which
// keeps the two within one code value.
#include "platform/lumo/colour_tables.h"

#include <algorithm>
#include <cmath>

namespace lumo::internal {

namespace {

// Each row of the fixed-point matrix, applied to values up to kLinearOne,
// must sum within int32: |row| * 2^14 * 2^14 < 2^31 needs a sum of absolute
// coefficients below 8. Ordinary primaries stay far below (ProPhoto's
// largest is about 3.1); a profile beyond goes through little-cms.
constexpr double kMaxRowSum = 7.5;

int32_t toFixed(double value) { return static_cast<int32_t>(std::floor(value * kLinearOne + 0.5)); }

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
bool buildMatrix(cmsHPROFILE profile, cmsHPROFILE srgb, int32_t out[3][3]) {
  double source[3][3], target[3][3], inverse[3][3];
  if (!readColorants(profile, source) || !readColorants(srgb, target) || !invert(target, inverse))
    return false;
  for (int r = 0; r < 3; ++r) {
    double row[3], sum = 0;
    for (int c = 0; c < 3; ++c) {
      row[c] = inverse[r][0] * source[0][c] + inverse[r][1] * source[1][c] +
               inverse[r][2] * source[2][c];
      sum += std::fabs(row[c]);
    }
    if (!(sum < kMaxRowSum)) return false;  // also NaN
    for (int c = 0; c < 3; ++c) out[r][c] = toFixed(row[c]);
  }
  return true;
}

bool buildCurves(cmsHPROFILE profile, cmsHPROFILE srgb, ColourTables* tables) {
  const cmsTagSignature tags[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
  for (int c = 0; c < 3; ++c) {
    const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, tags[c]));
    if (curve == nullptr) return false;
    for (int i = 0; i < 256; ++i) {
      const float linear = cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(i / 255.0));
      tables->linear[c][i] = toFixed(std::clamp(static_cast<double>(linear), 0.0, 1.0));
    }
  }
  // sRGB's three curves are one.
  const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(srgb, cmsSigRedTRCTag));
  cmsToneCurve* inverse = curve != nullptr ? cmsReverseToneCurve(curve) : nullptr;
  if (inverse == nullptr) return false;
  for (size_t i = 0; i < kEncodedEntries; ++i) {
    const double x = static_cast<double>(i) / kLinearOne;
    const double v = cmsEvalToneCurveFloat(inverse, static_cast<cmsFloat32Number>(x));
    tables->encoded[i] = static_cast<uint8_t>(std::floor(std::clamp(v, 0.0, 1.0) * 255 + 0.5));
  }
  cmsFreeToneCurve(inverse);
  return true;
}

// One pass over the pixels, for pixels of |kSize| bytes with red, green
// and blue at |kR|, |kG| and |kB|, and alpha (when there is one) at the
// remaining offset of 0 .. 3. The matrix is copied into locals: stores
// through |out| may alias |t| as far as the compiler knows, and would
// reload it for every pixel.
template <size_t kSize, size_t kR, size_t kG, size_t kB>
void applyTo(const ColourTables& t, const uint8_t* in, uint8_t* out, size_t count) {
  constexpr size_t kA = 6 - kR - kG - kB;
  const int32_t(&m)[3][3] = t.matrix;
  const int32_t m00 = m[0][0], m01 = m[0][1], m02 = m[0][2], m10 = m[1][0], m11 = m[1][1],
                m12 = m[1][2], m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
  const int32_t *red = t.linear[0], *green = t.linear[1], *blue = t.linear[2];
  const uint8_t* encoded = t.encoded;
  auto encode = [encoded](int32_t sum) {
    return encoded[std::clamp((sum + (kLinearOne >> 1)) >> 14, 0, kLinearOne)];
  };
  for (size_t i = 0; i < count * kSize; i += kSize) {
    const int32_t r = red[in[i + kR]], g = green[in[i + kG]], b = blue[in[i + kB]];
    const uint8_t r2 = encode(m00 * r + m01 * g + m02 * b);
    const uint8_t g2 = encode(m10 * r + m11 * g + m12 * b);
    const uint8_t b2 = encode(m20 * r + m21 * g + m22 * b);
    if constexpr (kSize == 4) out[i + kA] = in[i + kA];
    out[i + kR] = r2;
    out[i + kG] = g2;
    out[i + kB] = b2;
  }
}

}  // namespace

bool buildColourTables(cmsHPROFILE profile, cmsHPROFILE srgb, ColourTables* tables) {
  return cmsIsMatrixShaper(profile) && cmsGetColorSpace(profile) == cmsSigRgbData &&
         buildMatrix(profile, srgb, tables->matrix) && buildCurves(profile, srgb, tables);
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
