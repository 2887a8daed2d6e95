// The engine's decoder of one format on arbitrary bytes behind that format's
// signature, so that the fuzzer spends its time inside that decoder. Built
// once per format, with one of FUZZ_FORMAT_JPEG, _PNG, _GIF or _BMP defined.
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
#else
#error "define the format to fuzz"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char kMagic[] = FUZZ_FORMAT_MAGIC;
  std::vector<uint8_t> bytes(kMagic, kMagic + sizeof(kMagic) - 1);
  if (size >= bytes.size() && std::memcmp(data, bytes.data(), bytes.size()) == 0) bytes.clear();
  bytes.insert(bytes.end(), data, data + size);
  std::string path =
      fuzzsupport::writeScratch("input." FUZZ_FORMAT_NAME, bytes.data(), bytes.size());
  fuzzsupport::exerciseEngine(path, size > 0 ? data[size - 1] : 0);
  return 0;
}
