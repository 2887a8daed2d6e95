// Colour conversion to sRGB through little-cms: the transforms a pipeline
// holds, and the per-process cache they come from.
//
// A transform is made once per profile and pixel layout and kept in a small
// cache (kMaxColourTransforms entries, keyed by a hash of the profile's
// bytes), so a service that decodes many files of one camera parses their
// profile once. Entries are reference-counted: a pipeline keeps the
// transforms it uses alive even when the cache drops them meanwhile.
// Thread-safe.
#ifndef PLATFORM_LUMO_COLOUR_H_
#define PLATFORM_LUMO_COLOUR_H_

#include <cstddef>
#include <cstdint>

namespace lumo::internal {

// The largest ICC profile used; a larger one leaves the pixels as stored.
constexpr size_t kMaxIccProfileBytes = 4u << 20;
// The transforms kept per process.
constexpr size_t kMaxColourTransforms = 8;

// The colour description of an image: an ICC profile's bytes, or the
// code points of ITU-T H.273 (colour primaries and transfer
// characteristics) when |data| is null.
struct ColourSource {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint16_t primaries = 0;
  uint16_t transfer = 0;
};

// The pixels a transform reads and writes, in little-cms terms.
enum class ColourLayout : uint8_t {
  kRgba,  // straight RGBA (alpha copied)
  kRgb,   // the bitmap formats RGB888, BGR888, BGRA8888, ARGB8888
  kBgr,   // (alpha copied)
  kBgra,
  kArgb,
  kGrey,     // grey in R, G and B of RGBA, or L8 / LA88 bitmaps
  kCmyk,     // CMYK to RGBA, 255 = full ink
  kCmykInv,  // CMYK to RGBA, 0 = full ink (Adobe)
};

class ColourTransform;

// True when a profile of |size| bytes may be used; otherwise logs why not
// (as logColourNote() does), so that a decoder need not read it.
bool colourProfileFits(uint64_t size);

// Finds or makes the transform from |source| to sRGB for |layout|. Null
// when the pixels are to go out as stored: the description is sRGB (no
// reason), cannot be used (|*unusable| says why, to be logged), or memory
// is short. Thread-safe.
ColourTransform* acquireColourTransform(const ColourSource& source, ColourLayout layout,
                                        const char** unusable);
// Gives back a transform from acquireColourTransform(); null is ignored.
void releaseColourTransform(ColourTransform* transform);
// Converts |count| pixels of |in| to |out|, which may be the same buffer
// when the layout reads and writes pixels of one size.
void applyColourTransform(const ColourTransform* transform, const uint8_t* in, uint8_t* out,
                          size_t count);

// Sets little-cms up, once per process: its error handler, and the C
// library's time zone, which little-cms has read from /etc/localtime by the
// first profile it makes (for the date in the header). A decoder process
// calls it before it confines itself, where no file can be opened.
void prepareColour();

// False when pixels go out as stored whatever the file says (the host's
// --colour stored, the environment variable LUMO_COLOUR=stored, read once
// per process). setColourManaged() overrides it, for tests.
bool colourManaged();
void setColourManaged(bool managed);

// A colour description that a decode cannot use is logged at level 2 on
// the channel LUMO_Colour: logColourNote() with the file's |path|, or with
// null where the path is not known (the pipeline). A decoder process may not
// write to stderr: after keepColourNotes() a note without a path is kept
// instead, for takeColourNote() to copy into |out| (empty when there was
// none) and clear, so that the service logs it with the path.
void keepColourNotes();
void takeColourNote(char* out, size_t size);
void logColourNote(const char* path, const char* note);

}  // namespace lumo::internal

#endif  // PLATFORM_LUMO_COLOUR_H_
