// Which decoder reads a file: recognised by its first bytes, never by its
// name.
#include <libheif/heif.h>

#include <cstring>

#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

bool startsWith(const uint8_t* magic, size_t n, const char* signature, size_t length) {
  return n >= length && std::memcmp(magic, signature, length) == 0;
}

// An ISO base media file whose brand is an image format that libheif
// decodes ("maybe": a generic image brand such as mif1).
bool isHeif(const uint8_t* magic, size_t n) {
  if (n < 12 || std::memcmp(magic + 4, "ftyp", 4) != 0) return false;
  const heif_filetype_result type = heif_check_filetype(magic, static_cast<int>(n));
  return type == heif_filetype_yes_supported || type == heif_filetype_maybe;
}

}  // namespace

FormatDecoder findDecoder(Source& source) {
  uint8_t magic[32] = {};
  const size_t n = source.read(magic, sizeof(magic));
  source.seek(0);
  if (startsWith(magic, n, "\xFF\xD8\xFF", 3)) return decodeJpeg;
  if (startsWith(magic, n, "\x89PNG\r\n\x1A\n", 8)) return decodePng;
  if (startsWith(magic, n, "GIF87a", 6) || startsWith(magic, n, "GIF89a", 6)) return decodeGif;
  if (startsWith(magic, n, "BM", 2)) return decodeBmp;
  if (startsWith(magic, n, "RIFF", 4) && n >= 12 && std::memcmp(magic + 8, "WEBP", 4) == 0)
    return decodeWebp;
  if (isHeif(magic, n)) return decodeHeif;
  // Classic and BigTIFF, either byte order.
  if (startsWith(magic, n, "II*\0", 4) || startsWith(magic, n, "MM\0*", 4) ||
      startsWith(magic, n, "II+\0", 4) || startsWith(magic, n, "MM\0+", 4))
    return decodeTiff;
  // A bare JPEG XL codestream, or one in its container.
  if (startsWith(magic, n, "\xFF\x0A", 2) ||
      startsWith(magic, n, "\0\0\0\x0CJXL \x0D\x0A\x87\x0A", 12))
    return decodeJxl;
  return nullptr;
}

}  // namespace lumo::internal
