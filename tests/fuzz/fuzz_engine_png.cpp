// The engine's png decoder on arbitrary bytes behind a png signature.
#include <cstring>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char kMagic[] = "\x89PNG\r\n\x1a\n";
  std::vector<uint8_t> bytes(kMagic, kMagic + sizeof(kMagic) - 1);
  if (size >= bytes.size() && std::memcmp(data, bytes.data(), bytes.size()) == 0) bytes.clear();
  bytes.insert(bytes.end(), data, data + size);
  std::string path = fuzzsupport::writeScratch("input.png", bytes.data(), bytes.size());
  fuzzsupport::exerciseEngine(path, size > 0 ? data[size - 1] : 0);
  return 0;
}
