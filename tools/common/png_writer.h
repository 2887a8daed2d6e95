// Writers of viewable image files from packed 8-bit pixels, shared by the
// tools.
#ifndef TOOLS_COMMON_PNG_WRITER_H_
#define TOOLS_COMMON_PNG_WRITER_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace tools {

// The zlib level writePng uses unless told otherwise. Together with the
// fixed "up" filter it writes a photo several times faster than the default
// level with adaptive filters, for files a few per cent larger.
constexpr int kDefaultPngCompression = 2;

// Writes |width| x |height| pixels of |channels| bytes each (1 grey, 2 grey +
// alpha, 3 RGB, 4 RGBA), rows top first and tightly packed, as an 8-bit PNG
// compressed at zlib level |compression| (0 none, 9 smallest). On failure
// returns false and sets |error|.
bool writePng(const std::string& path, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error, int compression = kDefaultPngCompression);
// The same into an open stream (|name| for the messages); the stream is
// flushed, not closed.
bool writePng(FILE* file, const std::string& name, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error, int compression = kDefaultPngCompression);

// The same pixels as a PAM (portable arbitrary map) file, or into a stream.
bool writePam(const std::string& path, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error);
bool writePam(FILE* file, const std::string& name, uint32_t width, uint32_t height, int channels,
              const uint8_t* pixels, std::string& error);

}  // namespace tools

#endif  // TOOLS_COMMON_PNG_WRITER_H_
