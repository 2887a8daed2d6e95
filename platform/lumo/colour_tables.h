// The fast path of the conversion to sRGB, for RGB matrix-shaper profiles
// (Display P3, Adobe RGB, ProPhoto, the profiles made from nclx code
// points): tables that little-cms computes once per transform, applied by
// the engine with integer arithmetic.
//
// little-cms's own 8-bit transform of these profiles costs 17 to 24 ns a
// pixel, most of it in unpacking and packing each pixel through function
// pointers: a tagged 12 MP photo took three times its decode. The colour
// science stays little-cms's: it evaluates the profile's tone curves and
// sRGB's inverse curve, and the profiles' colorants give the matrix. The
// engine applies the results: each 8-bit code to linear light in 1.14 fixed
// point, the 3 x 3 matrix from the profile's primaries to sRGB's (1.14),
// clipped to 0 .. 1 as little-cms clips, and linear light to an 8-bit sRGB
// code through a table of kEncodedEntries. little-cms's matrix-shaper
// transform works at the same precision, and the two agree within one code
// value on every channel.
#ifndef PLATFORM_LUMO_COLOUR_TABLES_H_
#define PLATFORM_LUMO_COLOUR_TABLES_H_

#include <lcms2.h>

#include <cstddef>
#include <cstdint>

#include "platform/lumo/colour.h"

namespace lumo::internal {

constexpr int32_t kLinearOne = 1 << 14;  // 1.0 in 1.14 fixed point
constexpr size_t kEncodedEntries = kLinearOne + 1;

struct ColourTables {
  int32_t linear[3][256];            // code value of R, G, B to linear light, 0 .. kLinearOne
  int32_t matrix[3][3];              // linear source RGB to linear sRGB, 1.14
  uint8_t encoded[kEncodedEntries];  // linear light to an sRGB code value
};

// Fills |tables| with the conversion from |profile| to |srgb|. False when
// |profile| is no RGB matrix-shaper, or its curves or colorants cannot be
// read or give a matrix that fixed point cannot hold: such profiles go
// through little-cms's transform.
bool buildColourTables(cmsHPROFILE profile, cmsHPROFILE srgb, ColourTables* tables);

// Converts |count| pixels of |in| to |out| (which may be |in|) for an RGB
// |layout|; alpha is copied.
void applyColourTables(const ColourTables& tables, ColourLayout layout, const uint8_t* in,
                       uint8_t* out, size_t count);

}  // namespace lumo::internal

#endif  // PLATFORM_LUMO_COLOUR_TABLES_H_
