// The engine on arbitrary bytes: it must recognise the format by content.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzzsupport::writeScratch("input.img", data, size);
  fuzzsupport::exerciseEngine(path, size > 0 ? data[size - 1] : 0);
  return 0;
}
