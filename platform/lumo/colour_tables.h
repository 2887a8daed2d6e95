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
// engine applies the results: each 8-bit code to what it adds to linear
// sRGB red, green and blue (its linear light times a column of the 3 x 3
// matrix from the profile's primaries to sRGB's), the three channels'
// shares summed, clipped to 0 .. 1 as little-cms clips, and linear light to
// an 8-bit sRGB code through a table of kEncodedEntries. little-cms's own
// matrix-shaper transform works at the same precision (1.14 fixed point),
// and the two agree within one code value on every channel.
#ifndef PLATFORM_LUMO_COLOUR_TABLES_H_
#define PLATFORM_LUMO_COLOUR_TABLES_H_

#include <lcms2.h>

#include <cstddef>
#include <cstdint>

#include "platform/lumo/colour.h"

namespace lumo::internal {

constexpr int32_t kLinearOne = 1 << 14;  // 1.0 in 1.14 fixed point
// Linear light from 0 to 2 (1.14): 1 and above give 255, so that sums up to
// 2 need no clipping.
constexpr size_t kEncodedEntries = 2 * kLinearOne;

// The shares of a code value are three lanes of 21 bits (red from bit 0,
// green from 21, blue from 42) in 1.17 fixed point, so that one 64-bit
// addition sums all three channels' shares; the red table carries a bias
// of 8.0 in each lane, so that sums from -8 to 8 stay in their lane.
constexpr uint32_t kShareBits = 21;
constexpr int32_t kShareOne = 1 << 17;
constexpr int32_t kShareBias = 8 * kShareOne;

struct ColourTables {
  uint64_t shares[3][256];           // code value of R, G, B to its shares
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
