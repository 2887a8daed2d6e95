// HEIF (HEIC) and AVIF decoding (libheif, with its HEVC decoder and the
// engine's own AV1 plug-in, av1.cpp):
// the primary image, with the container's rotation, mirroring and cropping
// applied, so the information and the pixels describe the image as it is
// meant to be seen.
//
// libheif reads the file through the Source: the boxes that describe the
// images first (all an information request reads), then the coded data of
// the image it decodes. It decodes a whole image at once into an image of
// its own, whose rows then stream through the pipeline. A scaled decode
// takes the smallest thumbnail of the primary image that is at least the
// target size in both directions and has the image's shape, if the file has
// one; otherwise the primary image itself; the pipeline averages the rest.
//
// The size limit is checked from the image's dimensions before libheif
// decodes (and allocates) anything. libheif's C interface reports errors as
// values; an exception that would still escape it (memory) is caught here.
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/kor.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {
namespace {

int64_t readerPosition(void* user) {
  return static_cast<int64_t>(static_cast<Source*>(user)->position());
}

int readerRead(void* data, size_t size, void* user) {
  return static_cast<Source*>(user)->read(data, size) == size ? 0 : -1;
}

int readerSeek(int64_t position, void* user) {
  if (position < 0) return -1;
  static_cast<Source*>(user)->seek(static_cast<uint64_t>(position));
  return 0;
}

heif_reader_grow_status readerWaitForSize(int64_t size, void* user) {
  return size >= 0 && static_cast<uint64_t>(size) <= static_cast<Source*>(user)->size()
             ? heif_reader_grow_status_size_reached
             : heif_reader_grow_status_size_beyond_eof;
}

const heif_reader kReader = {1, readerPosition, readerRead, readerSeek, readerWaitForSize};

// ---------------------------------------------------------------------------
// The size a derived image (a grid of tiles, an overlay) states in its own
// data. libheif makes such an image at that size, whatever its 'ispe' box
// says, so the size is read here and checked before libheif decodes: a few
// bytes could otherwise make it allocate gigabytes. Only the boxes that
// lead there are read: 'meta' and, in it, 'iinf', 'iloc' and 'idat'.

// The most of a 'meta' box read for this; a larger one is refused.
constexpr uint64_t kMaxMetaBytes = 16u << 20;

inline uint64_t be(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// Reads big-endian fields from a byte range; every read past its end is
// remembered and reads as 0.
class Fields {
 public:
  Fields(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint64_t get(int bytes) {
    if (bytes < 0 || m_size - m_at < static_cast<size_t>(bytes)) {
      m_bad = true;
      m_at = m_size;
      return 0;
    }
    const uint64_t v = be(m_data + m_at, bytes);
    m_at += static_cast<size_t>(bytes);
    return v;
  }
  void skip(size_t bytes) { m_at = bytes > m_size - m_at ? (m_bad = true, m_size) : m_at + bytes; }
  // The next child box: its type and payload; false at the end.
  bool box(uint32_t* type, Fields* payload) {
    if (m_size - m_at < 8) return false;
    uint64_t size = get(4);
    *type = static_cast<uint32_t>(get(4));
    size_t header = 8;
    if (size == 1) {
      size = get(8);
      header = 16;
    } else if (size == 0) {
      size = m_size - m_at + 8;
    }
    if (size < header || size - header > m_size - m_at) {
      m_bad = true;
      return false;
    }
    *payload = Fields(m_data + m_at, static_cast<size_t>(size - header));
    m_at += static_cast<size_t>(size - header);
    return true;
  }
  bool bad() const { return m_bad; }
  const uint8_t* here() const { return m_data + m_at; }
  size_t left() const { return m_size - m_at; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
  bool m_bad = false;
};

constexpr uint32_t fourcc(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
         (uint32_t(uint8_t(s[2])) << 8) | uint8_t(s[3]);
}

// The output size of a derived primary image, from its data at |data|.
bool derivedSize(uint32_t type, const uint8_t* data, size_t size, uint64_t* width,
                 uint64_t* height) {
  Fields f(data, size);
  f.get(1);  // version
  const int bytes = (f.get(1) & 1) != 0 ? 4 : 2;
  if (type == fourcc("grid"))
    f.skip(2);  // rows and columns
  else
    f.skip(8);  // the canvas fill colour
  *width = f.get(bytes);
  *height = f.get(bytes);
  return !f.bad();
}

// Checks the size that each grid or overlay image of the file states (the
// primary image, its thumbnails, its alpha image may be one); true when all
// are within the limits. False with the reason set.
bool checkDerivedSize(Source& source) {
  // The top-level boxes up to 'meta'.
  uint64_t offset = 0;
  uint64_t metaSize = 0;
  for (int i = 0; i < 64 && metaSize == 0; ++i) {
    uint8_t header[16];
    source.seek(offset);
    if (source.read(header, 8) != 8) return true;  // libheif says what is wrong
    uint64_t size = be(header, 4);
    uint64_t headerBytes = 8;
    if (size == 1) {
      if (source.read(header + 8, 8) != 8) return true;
      size = be(header + 8, 8);
      headerBytes = 16;
    }
    if (size < headerBytes) return true;
    if (be(header + 4, 4) == fourcc("meta")) metaSize = size - headerBytes;
    offset += size;
    if (metaSize == 0 && offset > source.size()) return true;
  }
  if (metaSize == 0) return true;
  if (metaSize > kMaxMetaBytes) {
    kor::ErrorStorage::set("unsupported HEIF data: a meta box of %llu bytes",
                           static_cast<unsigned long long>(metaSize));
    return false;
  }
  auto* meta = new (std::nothrow) uint8_t[metaSize];
  if (meta == nullptr) {
    kor::ErrorStorage::set("out of memory reading HEIF data");
    return false;
  }
  const std::unique_ptr<uint8_t[]> owner(meta);
  if (source.read(meta, metaSize) != metaSize) return true;

  Fields boxes(meta, metaSize);
  boxes.skip(4);  // version and flags
  Fields iinf(nullptr, 0), iloc(nullptr, 0), idat(nullptr, 0);
  uint32_t type = 0;
  Fields payload(nullptr, 0);
  while (boxes.box(&type, &payload)) {
    if (type == fourcc("iinf")) {
      iinf = payload;
    } else if (type == fourcc("iloc")) {
      iloc = payload;
    } else if (type == fourcc("idat")) {
      idat = payload;
    }
  }
  // The derived items and their types.
  constexpr int kMaxDerived = 64;
  uint64_t derived[kMaxDerived];
  uint32_t derivedType[kMaxDerived];
  int derivedCount = 0;
  const int iinfVersion = static_cast<int>(iinf.get(1));
  iinf.skip(3);
  iinf.get(iinfVersion == 0 ? 2 : 4);  // entry count
  while (iinf.box(&type, &payload)) {
    if (type != fourcc("infe")) continue;
    const int version = static_cast<int>(payload.get(1));
    payload.skip(3);
    if (version < 2) continue;
    const uint64_t id = payload.get(version == 2 ? 2 : 4);
    payload.skip(2);  // protection index
    const auto itemType = static_cast<uint32_t>(payload.get(4));
    if (itemType != fourcc("grid") && itemType != fourcc("iovl")) continue;
    if (derivedCount == kMaxDerived) {
      kor::ErrorStorage::set("unsupported HEIF data: more than %d derived images", kMaxDerived);
      return false;
    }
    derived[derivedCount] = id;
    derivedType[derivedCount++] = itemType;
  }
  if (derivedCount == 0) return true;

  // Where their data lies: the first extent of each location.
  const int version = static_cast<int>(iloc.get(1));
  iloc.skip(3);
  const uint64_t sizes = iloc.get(2);
  const int offsetBytes = static_cast<int>(sizes >> 12);
  const int lengthBytes = static_cast<int>((sizes >> 8) & 15);
  const int baseBytes = static_cast<int>((sizes >> 4) & 15);
  const int indexBytes = version == 1 || version == 2 ? static_cast<int>(sizes & 15) : 0;
  const uint64_t count = iloc.get(version < 2 ? 2 : 4);
  for (uint64_t i = 0; i < count && !iloc.bad(); ++i) {
    const uint64_t id = iloc.get(version < 2 ? 2 : 4);
    const uint64_t method = version == 1 || version == 2 ? iloc.get(2) & 15 : 0;
    iloc.skip(2);  // data reference index
    const uint64_t base = iloc.get(baseBytes);
    const uint64_t extents = iloc.get(2);
    uint64_t start = 0;
    for (uint64_t e = 0; e < extents && !iloc.bad(); ++e) {
      iloc.get(indexBytes);
      const uint64_t extentOffset = iloc.get(offsetBytes);
      iloc.get(lengthBytes);
      if (e == 0) start = base + extentOffset;
    }
    int k = 0;
    while (k < derivedCount && derived[k] != id) ++k;
    if (k == derivedCount || iloc.bad()) continue;
    uint8_t bytes[32] = {};
    size_t have = 0;
    if (method == 1) {
      if (start < idat.left()) {
        have = std::min<size_t>(sizeof(bytes), idat.left() - static_cast<size_t>(start));
        std::memcpy(bytes, idat.here() + start, have);
      }
    } else if (method == 0) {
      source.seek(start);
      have = source.read(bytes, sizeof(bytes));
    }
    uint64_t width = 0;
    uint64_t height = 0;
    if (!derivedSize(derivedType[k], bytes, have, &width, &height)) continue;
    if (!checkDimensions(static_cast<uint32_t>(std::min<uint64_t>(width, UINT32_MAX)),
                         static_cast<uint32_t>(std::min<uint64_t>(height, UINT32_MAX))))
      return false;
  }
  return true;
}

bool fail(const heif_error& error, const Source& source) {
  if (source.failed())
    kor::ErrorStorage::set("error reading HEIF data");
  else if (error.code == heif_error_Memory_allocation_error)
    kor::ErrorStorage::set("out of memory decoding HEIF data");
  else if (error.code == heif_error_Unsupported_feature ||
           error.code == heif_error_Unsupported_filetype)
    kor::ErrorStorage::set("unsupported HEIF data: %s", error.message);
  else
    kor::ErrorStorage::set("invalid HEIF data: %s", error.message);
  return false;
}

// Everything libheif hands out, given back on every path.
struct Objects {
  heif_context* context = nullptr;
  heif_image_handle* primary = nullptr;
  heif_image_handle* thumbnail = nullptr;
  heif_decoding_options* options = nullptr;
  heif_image* image = nullptr;
  ~Objects() {
    heif_image_release(image);
    heif_decoding_options_free(options);
    heif_image_handle_release(thumbnail);
    heif_image_handle_release(primary);
    heif_context_free(context);
  }
};

// The smallest thumbnail of |primary| that is at least |width| x |height|
// and has the image's shape (within a pixel of its scaled size); null when
// there is none.
heif_image_handle* pickThumbnail(const heif_image_handle* primary, uint32_t width,
                                 uint32_t height) {
  const int count = heif_image_handle_get_number_of_thumbnails(primary);
  if (count <= 0) return nullptr;
  heif_item_id ids[16];
  const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids, 16);
  const uint64_t fullWidth = static_cast<uint32_t>(heif_image_handle_get_width(primary));
  const uint64_t fullHeight = static_cast<uint32_t>(heif_image_handle_get_height(primary));
  heif_image_handle* best = nullptr;
  uint64_t bestPixels = UINT64_MAX;
  for (int i = 0; i < listed; ++i) {
    heif_image_handle* thumbnail = nullptr;
    if (heif_image_handle_get_thumbnail(primary, ids[i], &thumbnail).code != heif_error_Ok)
      continue;
    const int w = heif_image_handle_get_width(thumbnail);
    const int h = heif_image_handle_get_height(thumbnail);
    const uint64_t pixels = uint64_t(std::max(w, 0)) * uint64_t(std::max(h, 0));
    const bool fits = w > 0 && h > 0 && uint64_t(w) >= width && uint64_t(h) >= height &&
                      uint64_t(w) <= fullWidth && uint64_t(h) <= fullHeight;
    // w / h == fullWidth / fullHeight, to within a pixel of either side.
    const uint64_t a = uint64_t(w) * fullHeight;
    const uint64_t b = uint64_t(h) * fullWidth;
    const bool sameShape = (a > b ? a - b : b - a) <= std::max(fullWidth, fullHeight);
    if (fits && sameShape && pixels < bestPixels) {
      heif_image_handle_release(best);
      best = thumbnail;
      bestPixels = pixels;
    } else {
      heif_image_handle_release(thumbnail);
    }
  }
  return best;
}

bool runHeif(Source& source, Pipeline& pipeline, Objects& o) {
  o.context = heif_context_alloc();
  if (o.context == nullptr) {
    kor::ErrorStorage::set("out of memory starting a HEIF decoder");
    return false;
  }
  heif_error error = heif_context_read_from_reader(o.context, &kReader, &source, nullptr);
  if (error.code != heif_error_Ok) return fail(error, source);
  error = heif_context_get_primary_image_handle(o.context, &o.primary);
  if (error.code != heif_error_Ok) return fail(error, source);
  const int width = heif_image_handle_get_width(o.primary);
  const int height = heif_image_handle_get_height(o.primary);
  Header header;
  header.width = static_cast<uint32_t>(std::max(width, 0));
  header.height = static_cast<uint32_t>(std::max(height, 0));
  header.sourceType = BitmapInfo::SOURCE_HEIF;
  header.hasAlpha = heif_image_handle_has_alpha_channel(o.primary) != 0;
  if (!pipeline.start(header)) return false;
  if (!checkDerivedSize(source)) return false;

  const uint32_t targetWidth = pipeline.storedTargetWidth();
  const uint32_t targetHeight = pipeline.storedTargetHeight();
  if (targetWidth < header.width || targetHeight < header.height)
    o.thumbnail = pickThumbnail(o.primary, targetWidth, targetHeight);
  const heif_image_handle* handle = o.thumbnail != nullptr ? o.thumbnail : o.primary;
  o.options = heif_decoding_options_alloc();
  if (o.options == nullptr) {
    kor::ErrorStorage::set("out of memory starting a HEIF decoder");
    return false;
  }
  o.options->convert_hdr_to_8bit = 1;
  if (cancelled()) return false;
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  error = heif_decode_image(handle, &o.image, heif_colorspace_RGB,
                            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                            o.options);
  if (error.code != heif_error_Ok) return fail(error, source);

  const int decodedWidth = heif_image_get_width(o.image, heif_channel_interleaved);
  const int decodedHeight = heif_image_get_height(o.image, heif_channel_interleaved);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(o.image, heif_channel_interleaved, &stride);
  if (plane == nullptr || decodedWidth <= 0 || decodedHeight <= 0 ||
      heif_image_get_bits_per_pixel_range(o.image, heif_channel_interleaved) != 8) {
    kor::ErrorStorage::set("invalid HEIF data: the decoder gave no 8-bit RGB image");
    return false;
  }
  const auto rowWidth = static_cast<uint32_t>(decodedWidth);
  const auto rowCount = static_cast<uint32_t>(decodedHeight);
  // A thumbnail is decoded at its own size; the primary image must come out
  // at the size its header gave.
  if (handle == o.primary && (rowWidth != header.width || rowCount != header.height)) {
    kor::ErrorStorage::set("invalid HEIF data: decoded size %u x %u differs from %u x %u", rowWidth,
                           rowCount, header.width, header.height);
    return false;
  }
  if (!pipeline.setRowSize(rowWidth, rowCount)) return false;
  uint8_t* rgba = scratch(Scratch::kRgbaRow, size_t{rowWidth} * 4);
  if (rgba == nullptr) return false;
  RowSink& sink = pipeline.sink();
  for (uint32_t y = 0; y < rowCount; ++y) {
    const uint8_t* row = plane + size_t{y} * static_cast<size_t>(stride);
    if (alpha) {
      std::memcpy(rgba, row, size_t{rowWidth} * 4);
    } else {
      for (uint32_t x = 0; x < rowWidth; ++x) {
        std::memcpy(rgba + size_t{x} * 4, row + size_t{x} * 3, 3);
        rgba[size_t{x} * 4 + 3] = 255;
      }
    }
    if (!sink.putRow(rgba) || pipeline.rowCancelled()) return false;
  }
  return true;
}

}  // namespace

bool decodeHeif(Source& source, Pipeline& pipeline) {
  if (!useOwnAv1Decoder()) {
    kor::ErrorStorage::set("cannot start the AV1 decoder");
    return false;
  }
  try {
    Objects objects;
    return runHeif(source, pipeline, objects);
  } catch (...) {
    kor::ErrorStorage::set("out of memory decoding HEIF data");
    return false;
  }
}

}  // namespace lumo::internal
