// Shared pieces of the fuzz targets: a scratch file that the engine and the
// configuration store read, since both take paths.
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H_
#define TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// A directory of this process, made once, under $TMPDIR or /tmp.
const std::string& scratchDir();

// Writes |size| bytes to |name| inside scratchDir() and returns the path.
std::string writeScratch(const std::string& name, const uint8_t* data, size_t size);

// Runs the engine over the file: the header, a full decode and a scaled one
// (the target taken from the first data byte). Acknowledges every error.
void exerciseEngine(const std::string& path, uint8_t scaleSeed);

}  // namespace fuzzsupport

#endif  // TESTS_FUZZ_FUZZ_SUPPORT_H_
