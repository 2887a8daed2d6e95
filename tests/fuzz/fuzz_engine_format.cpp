// The engine's decoder of one format on arbitrary bytes behind that format's
// signature, so that the fuzzer spends its time inside that decoder. Built
// once per format, with one of FUZZ_FORMAT_JPEG, _PNG, _GIF, _BMP, _WEBP,
// _HEIF, _AVIF, _TIFF or _JXL defined. An input that lacks the signature's |kCheck|
// bytes at |kCheckAt| gets the whole signature put in front of it.
#include <cstring>
#include <vector>

#include "fuzz_support.h"

#if defined(FUZZ_FORMAT_JPEG)
#define FUZZ_FORMAT_NAME "jpeg"
#define FUZZ_FORMAT_MAGIC "\xff\xd8\xff"
#elif defined(FUZZ_FORMAT_PNG)
#define FUZZ_FORMAT_NAME "png"
#define FUZZ_FORMAT_MAGIC "\x89PNG\r\n\x1a\n"
#elif defined(FUZZ_FORMAT_GIF)
#define FUZZ_FORMAT_NAME "gif"
#define FUZZ_FORMAT_MAGIC "GIF89a"
#elif defined(FUZZ_FORMAT_BMP)
#define FUZZ_FORMAT_NAME "bmp"
#define FUZZ_FORMAT_MAGIC "BM"
#elif defined(FUZZ_FORMAT_WEBP)
#define FUZZ_FORMAT_NAME "webp"
#define FUZZ_FORMAT_MAGIC "RIFF\xff\xff\xff\x7fWEBP"
#define FUZZ_FORMAT_CHECK 0, 4  // "RIFF": the size is the input's own
#elif defined(FUZZ_FORMAT_HEIF)
#define FUZZ_FORMAT_NAME "heic"
#define FUZZ_FORMAT_MAGIC \
  "\0\0\0\x18"            \
  "ftypheic\0\0\0\0mif1heic"
#define FUZZ_FORMAT_CHECK 4, 4  // "ftyp" of a file-type box of any size
#elif defined(FUZZ_FORMAT_AVIF)
#define FUZZ_FORMAT_NAME "avif"
#define FUZZ_FORMAT_MAGIC \
  "\0\0\0\x18"            \
  "ftypavif\0\0\0\0mif1avif"
#define FUZZ_FORMAT_CHECK 4, 4
#elif defined(FUZZ_FORMAT_TIFF)
#define FUZZ_FORMAT_NAME "tif"
#define FUZZ_FORMAT_MAGIC "II*\0"
#elif defined(FUZZ_FORMAT_JXL)
#define FUZZ_FORMAT_NAME "jxl"
#define FUZZ_FORMAT_MAGIC "\xff\x0a"
#else
#error "define the format to fuzz"
#endif

#ifndef FUZZ_FORMAT_CHECK
#define FUZZ_FORMAT_CHECK 0, sizeof(FUZZ_FORMAT_MAGIC) - 1
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char kMagic[] = FUZZ_FORMAT_MAGIC;
  static const size_t kCheck[2] = {FUZZ_FORMAT_CHECK};
  std::vector<uint8_t> bytes(kMagic, kMagic + sizeof(kMagic) - 1);
  if (size >= kCheck[0] + kCheck[1] &&
      std::memcmp(data + kCheck[0], bytes.data() + kCheck[0], kCheck[1]) == 0)
    bytes.clear();
  bytes.insert(bytes.end(), data, data + size);
  std::string path =
      fuzzsupport::writeScratch("input." FUZZ_FORMAT_NAME, bytes.data(), bytes.size());
  fuzzsupport::exerciseEngine(path, size > 0 ? data[size - 1] : 0);
  return 0;
}
