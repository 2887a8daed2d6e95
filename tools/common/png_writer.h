// Writers of viewable image files from packed 8-bit pixels, shared by the
// tools.
#ifndef TOOLS_COMMON_PNG_WRITER_H_
#define TOOLS_COMMON_PNG_WRITER_H_

#include <cstdint>
#include <string>

namespace tools {

// Writes |width| x |height| pixels of |channels| bytes each (1 grey, 2 grey +
// alpha, 3 RGB, 4 RGBA), rows top first and tightly packed, as an 8-bit PNG.
// On failure returns false and sets |error|.
bool writePng(const std::string& path, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error);

// The same pixels as a PAM (portable arbitrary map) file.
bool writePam(const std::string& path, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error);

}  // namespace tools

#endif  // TOOLS_COMMON_PNG_WRITER_H_
