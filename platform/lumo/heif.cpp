// HEIF (HEIC) and AVIF decoding (libheif, with the engine's own HEVC and AV1
// plug-ins, hevc.cpp and av1.cpp): the primary image, with the
// container's rotation, mirroring and cropping applied, so the information
// and the pixels describe the image as it is meant to be seen.
//
// libheif reads the file through the Source: the boxes that describe the
// images first (all an information request reads), then the coded data of
// the image it decodes. A scaled decode takes the smallest thumbnail of the
// primary image that is at least the target size in both directions and
// has the image's shape, if the file has one; otherwise the primary image
// itself; the pipeline averages the rest.
//
// The engine reads the 'meta' box itself as well, for what libheif 1.15
// does not offer:
//
// - The size a derived image (a grid of tiles, an overlay) states in its
//   own data, which libheif takes over its size box when it composes the
//   image, is checked against the limits before anything is decoded, the
//   item's data gathered from all of its extents as libheif gathers them.
//   libheif is also told the largest image it may compose or decode
//   (heif_context_set_maximum_image_size_limit): the largest side of the
//   size boxes of the image decoded and of its tiles, rounded up to the 64
//   pixels that coding may pad a side to, so that a grid whose data says
//   more is refused by libheif as well, before it allocates.
// - A grid is decoded tile by tile, one row of tiles at a time, and its rows
//   stream through the pipeline like any other format's: the memory is that
//   of a row of tiles, not of the image (libheif would compose the whole
//   image, in RGB twice over). libheif 1.15 hands out no image handle of a
//   tile, which is a hidden item, so the reader shows libheif the tiles of
//   every grid as visible items (it clears the hidden flag of their 'infe'
//   boxes as they are read); each tile is then an image of its own to
//   decode, with its own transformations, as libheif decodes a tile. Where
//   a grid cannot be decoded so (a grid with a clean aperture, tiles of
//   different sizes, that do not cover the grid or carry alpha of their
//   own, an alpha image that is not a grid of the same tiles turned as the
//   image, a size that differs from what libheif reports), libheif
//   composes it whole.
// - Rotation and mirroring are read from the image's properties and given
//   to the pipeline as an EXIF orientation, so that the image is placed
//   turned as it streams, as a JPEG's is; libheif decodes it unturned
//   (ignore_transformations), without the turned copy it would make. An
//   image with a clean aperture, and a single coded image with alpha (whose
//   alpha libheif turns by the alpha image's own properties), are left to
//   libheif's transformations.
//
// libheif's C interface reports errors as values; an exception that would
// still escape it (memory) is caught here, as are those of the containers
// used here.
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/kor.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/colour.h"

namespace lumo::internal {
namespace {

// ---------------------------------------------------------------------------
// The reader libheif reads the file with: the Source, and the bytes that
// hold the hidden flag of an item's 'infe' box, to clear as they are read.

struct Input {
  Source* source;
  std::vector<uint64_t> unhidden;  // file offsets, ascending
};

int64_t readerPosition(void* user) {
  return static_cast<int64_t>(static_cast<Input*>(user)->source->position());
}

int readerRead(void* data, size_t size, void* user) {
  auto* input = static_cast<Input*>(user);
  const uint64_t start = input->source->position();
  if (input->source->read(data, size) != size) return -1;
  auto* bytes = static_cast<uint8_t*>(data);
  for (auto at = std::lower_bound(input->unhidden.begin(), input->unhidden.end(), start);
       at != input->unhidden.end() && *at < start + size; ++at)
    bytes[*at - start] &= 0xfe;
  return 0;
}

int readerSeek(int64_t position, void* user) {
  if (position < 0) return -1;
  static_cast<Input*>(user)->source->seek(static_cast<uint64_t>(position));
  return 0;
}

heif_reader_grow_status readerWaitForSize(int64_t size, void* user) {
  return size >= 0 && static_cast<uint64_t>(size) <= static_cast<Input*>(user)->source->size()
             ? heif_reader_grow_status_size_reached
             : heif_reader_grow_status_size_beyond_eof;
}

const heif_reader kReader = {1, readerPosition, readerRead, readerSeek, readerWaitForSize};

// ---------------------------------------------------------------------------
// The 'meta' box, as far as the engine reads it.

// The most of a 'meta' box read; a larger one is refused.
constexpr uint64_t kMaxMetaBytes = 16u << 20;

// The most derived images (grids, overlays) a file may have.
constexpr int kMaxDerived = 64;

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

struct Extent {
  uint64_t offset;  // in the file, or in 'idat'
  uint64_t length;
};

struct Item {
  uint32_t id = 0;
  uint32_t type = 0;
  // The file offset of the byte that holds the hidden flag of its 'infe'.
  uint64_t flags = 0;
  // Where its data is: construction method 0 (the file) or 1 ('idat'); -1
  // when it has no location or another method.
  int method = -1;
  std::vector<Extent> extents;
  // Its properties, as 1-based indices into 'ipco', in their order.
  std::vector<uint32_t> properties;
};

struct Reference {
  uint32_t type;
  uint32_t from;
  std::vector<uint32_t> to;
};

class Meta {
 public:
  // Reads the 'meta' box: a failure when it is refused (too large, or no
  // memory for it); ok, with nothing read, when the file has none that can
  // be read (libheif then says what is wrong).
  kor::Status read(Source& source);

  // The item |id|; null when there is none.
  const Item* item(uint32_t id) const;
  // The items that |from| refers to by |type|, in order.
  const std::vector<uint32_t>* references(uint32_t type, uint32_t from) const;
  // The items that refer to |to| by |type|.
  std::vector<uint32_t> referring(uint32_t type, uint32_t to) const;
  // Property |index| (1-based) of 'ipco': its type and payload; type 0 when
  // there is none.
  uint32_t property(uint32_t index, Fields* payload) const;
  // The first |want| bytes of |item|'s data, its extents taken in order;
  // fewer when it has fewer.
  size_t data(Source& source, const Item& item, uint8_t* out, size_t want) const;
  const std::vector<Item>& items() const { return m_items; }

 private:
  void readBoxes(Fields boxes);
  void readReferences(Fields iref);
  void readProperties(Fields iprp, Fields* ipma);
  void readItemInfo(Fields iinf);
  void readLocations(Fields iloc);
  void readAssociations(Fields ipma);
  Item* find(uint32_t id);

  std::unique_ptr<uint8_t[]> m_bytes;
  uint64_t m_offset = 0;      // the file offset of m_bytes[0]
  std::vector<Item> m_items;  // by id
  std::vector<Reference> m_references;
  std::vector<Fields> m_properties;
  std::vector<uint32_t> m_propertyTypes;
  Fields m_idat{nullptr, 0};
};

// The size of the payload of the top-level 'meta' box, which the Source is
// left at the start of; 0 when no such box is found among the first 64.
uint64_t findMeta(Source& source) {
  uint64_t offset = 0;
  for (int i = 0; i < 64; ++i) {
    uint8_t header[16];
    source.seek(offset);
    if (source.read(header, 8) != 8) return 0;
    uint64_t size = be(header, 4);
    uint64_t headerBytes = 8;
    if (size == 1) {
      if (source.read(header + 8, 8) != 8) return 0;
      size = be(header + 8, 8);
      headerBytes = 16;
    }
    if (size < headerBytes) return 0;
    if (be(header + 4, 4) == fourcc("meta") && size > headerBytes) return size - headerBytes;
    offset += size;
    if (offset > source.size()) return 0;
  }
  return 0;
}

kor::Status Meta::read(Source& source) {
  const uint64_t metaSize = findMeta(source);
  if (metaSize == 0) return kor::Status();
  if (metaSize > kMaxMetaBytes)
    return kor::Status::error(kor::Status::kLimit,
                              "unsupported HEIF data: a meta box of %llu bytes",
                              static_cast<unsigned long long>(metaSize));
  m_bytes.reset(new (std::nothrow) uint8_t[metaSize]);
  if (m_bytes == nullptr) return outOfMemory("reading HEIF data");
  m_offset = source.position();
  if (source.read(m_bytes.get(), metaSize) != metaSize) {
    m_bytes.reset();
    return kor::Status();
  }
  Fields boxes(m_bytes.get(), metaSize);
  boxes.skip(4);  // version and flags
  readBoxes(boxes);
  return kor::Status();
}

// The boxes of 'meta' that the engine reads: the items, their locations,
// references and properties, and the data stored in 'idat'.
void Meta::readBoxes(Fields boxes) {
  Fields iinf(nullptr, 0), iloc(nullptr, 0), ipma(nullptr, 0);
  uint32_t type = 0;
  Fields payload(nullptr, 0);
  while (boxes.box(&type, &payload)) {
    if (type == fourcc("iinf"))
      iinf = payload;
    else if (type == fourcc("iloc"))
      iloc = payload;
    else if (type == fourcc("idat"))
      m_idat = payload;
    else if (type == fourcc("iref"))
      readReferences(payload);
    else if (type == fourcc("iprp"))
      readProperties(payload, &ipma);
  }
  readItemInfo(iinf);
  readLocations(iloc);
  readAssociations(ipma);
}

// The references of 'iref', each from one item to others, by type.
void Meta::readReferences(Fields iref) {
  const bool wide = iref.get(1) != 0;
  iref.skip(3);
  uint32_t type = 0;
  Fields entry(nullptr, 0);
  while (iref.box(&type, &entry)) {
    Reference reference{type, static_cast<uint32_t>(entry.get(wide ? 4 : 2)), {}};
    for (uint64_t count = entry.get(2); count > 0 && !entry.bad(); --count)
      reference.to.push_back(static_cast<uint32_t>(entry.get(wide ? 4 : 2)));
    if (!entry.bad()) m_references.push_back(std::move(reference));
  }
}

// The properties of 'ipco', in their order, and the 'ipma' box that
// associates them with items.
void Meta::readProperties(Fields iprp, Fields* ipma) {
  uint32_t type = 0;
  Fields child(nullptr, 0);
  while (iprp.box(&type, &child)) {
    if (type == fourcc("ipma")) {
      *ipma = child;
    } else if (type == fourcc("ipco")) {
      Fields property(nullptr, 0);
      while (child.box(&type, &property)) {
        m_properties.push_back(property);
        m_propertyTypes.push_back(type);
      }
    }
  }
}

// The items of 'infe' boxes of version 2 or later, by id; the first entry
// of an id counts, as in libheif.
void Meta::readItemInfo(Fields iinf) {
  const int iinfVersion = static_cast<int>(iinf.get(1));
  iinf.skip(3);
  iinf.get(iinfVersion == 0 ? 2 : 4);  // entry count
  uint32_t type = 0;
  Fields infe(nullptr, 0);
  while (iinf.box(&type, &infe)) {
    if (type != fourcc("infe")) continue;
    const uint64_t flags = m_offset + static_cast<uint64_t>(infe.here() - m_bytes.get()) + 3;
    const int version = static_cast<int>(infe.get(1));
    infe.skip(3);
    if (version < 2) continue;
    Item item;
    item.id = static_cast<uint32_t>(infe.get(version == 2 ? 2 : 4));
    infe.skip(2);  // protection index
    item.type = static_cast<uint32_t>(infe.get(4));
    item.flags = flags;
    if (!infe.bad()) m_items.push_back(std::move(item));
  }
  std::stable_sort(m_items.begin(), m_items.end(),
                   [](const Item& a, const Item& b) { return a.id < b.id; });
  m_items.erase(std::unique(m_items.begin(), m_items.end(),
                            [](const Item& a, const Item& b) { return a.id == b.id; }),
                m_items.end());
}

// Where each item's data is: its construction method and extents (the
// first location of an item counts).
void Meta::readLocations(Fields iloc) {
  const int version = static_cast<int>(iloc.get(1));
  iloc.skip(3);
  const uint64_t sizes = iloc.get(2);
  const int offsetBytes = static_cast<int>(sizes >> 12);
  const int lengthBytes = static_cast<int>((sizes >> 8) & 15);
  const int baseBytes = static_cast<int>((sizes >> 4) & 15);
  const int indexBytes = version == 1 || version == 2 ? static_cast<int>(sizes & 15) : 0;
  for (uint64_t count = iloc.get(version < 2 ? 2 : 4); count > 0 && !iloc.bad(); --count) {
    const auto id = static_cast<uint32_t>(iloc.get(version < 2 ? 2 : 4));
    const uint64_t method = version == 1 || version == 2 ? iloc.get(2) & 15 : 0;
    iloc.skip(2);  // data reference index
    const uint64_t base = iloc.get(baseBytes);
    std::vector<Extent> extents;
    for (uint64_t e = iloc.get(2); e > 0 && !iloc.bad(); --e) {
      iloc.get(indexBytes);
      const uint64_t extentOffset = iloc.get(offsetBytes);
      extents.push_back({base + extentOffset, iloc.get(lengthBytes)});
    }
    Item* item = find(id);
    if (item == nullptr || iloc.bad() || item->method >= 0 || method > 1) continue;
    item->method = static_cast<int>(method);
    item->extents = std::move(extents);
  }
}

// The properties of each item, as 'ipma' lists them.
void Meta::readAssociations(Fields ipma) {
  const int ipmaVersion = static_cast<int>(ipma.get(1));
  ipma.skip(2);
  const bool wideIndex = (ipma.get(1) & 1) != 0;
  for (uint64_t count = ipma.get(4); count > 0 && !ipma.bad(); --count) {
    Item* item = find(static_cast<uint32_t>(ipma.get(ipmaVersion < 1 ? 2 : 4)));
    for (uint64_t n = ipma.get(1); n > 0 && !ipma.bad(); --n) {
      const uint64_t index = ipma.get(wideIndex ? 2 : 1) & (wideIndex ? 0x7fff : 0x7f);
      if (item != nullptr && !ipma.bad()) item->properties.push_back(static_cast<uint32_t>(index));
    }
  }
}

Item* Meta::find(uint32_t id) {
  auto at = std::lower_bound(m_items.begin(), m_items.end(), id,
                             [](const Item& item, uint32_t key) { return item.id < key; });
  return at != m_items.end() && at->id == id ? &*at : nullptr;
}

const Item* Meta::item(uint32_t id) const { return const_cast<Meta*>(this)->find(id); }

const std::vector<uint32_t>* Meta::references(uint32_t type, uint32_t from) const {
  for (const Reference& reference : m_references)
    if (reference.type == type && reference.from == from) return &reference.to;
  return nullptr;
}

std::vector<uint32_t> Meta::referring(uint32_t type, uint32_t to) const {
  std::vector<uint32_t> from;
  for (const Reference& reference : m_references)
    if (reference.type == type &&
        std::find(reference.to.begin(), reference.to.end(), to) != reference.to.end())
      from.push_back(reference.from);
  return from;
}

uint32_t Meta::property(uint32_t index, Fields* payload) const {
  if (index == 0 || index > m_properties.size()) return 0;
  *payload = m_properties[index - 1];
  return m_propertyTypes[index - 1];
}

size_t Meta::data(Source& source, const Item& item, uint8_t* out, size_t want) const {
  size_t have = 0;
  for (const Extent& extent : item.extents) {
    if (have == want) break;
    const size_t step = static_cast<size_t>(std::min<uint64_t>(extent.length, want - have));
    if (item.method == 1) {
      // As libheif, which refuses an extent beyond the box.
      if (extent.offset > m_idat.left() || extent.length > m_idat.left() - extent.offset) break;
      std::memcpy(out + have, m_idat.here() + extent.offset, step);
      have += step;
    } else if (item.method == 0) {
      source.seek(extent.offset);
      const size_t got = source.read(out + have, step);
      have += got;
      if (got < step) break;
    }
  }
  return have;
}

// ---------------------------------------------------------------------------
// Derived images: the size they state in their own data.

// The output size of a derived image, from its data at |data|.
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
// primary image, its thumbnails, its alpha image may be one): ok when all
// are within the limits.
kor::Status checkDerivedSize(const Meta& meta, Source& source) {
  int derived = 0;
  for (const Item& item : meta.items()) {
    if (item.type != fourcc("grid") && item.type != fourcc("iovl")) continue;
    if (++derived > kMaxDerived)
      return kor::Status::error(kor::Status::kLimit,
                                "unsupported HEIF data: more than %d derived images", kMaxDerived);
    uint8_t bytes[32] = {};
    const size_t have = meta.data(source, item, bytes, sizeof(bytes));
    uint64_t width = 0;
    uint64_t height = 0;
    if (!derivedSize(item.type, bytes, have, &width, &height)) continue;
    kor::Status status =
        checkDimensions(static_cast<uint32_t>(std::min<uint64_t>(width, UINT32_MAX)),
                        static_cast<uint32_t>(std::min<uint64_t>(height, UINT32_MAX)));
    if (!status.ok()) return status;
  }
  return kor::Status();
}

// ---------------------------------------------------------------------------
// Rotation and mirroring as an EXIF orientation.

// A 3 x 2 image of labels, turned as libheif turns images: 'irot' by
// quarter turns anticlockwise, 'imir' about the vertical axis (1, left and
// right swapped) or the horizontal one (0).
struct Labels {
  uint32_t width = 3;
  uint32_t height = 2;
  uint8_t at[6] = {0, 1, 2, 3, 4, 5};
};

Labels rotateLeft(const Labels& in) {
  Labels out;
  out.width = in.height;
  out.height = in.width;
  // Input pixel (x, y) lands at (y, width - 1 - x).
  for (uint32_t y = 0; y < in.height; ++y)
    for (uint32_t x = 0; x < in.width; ++x)
      out.at[(in.width - 1 - x) * out.width + y] = in.at[y * in.width + x];
  return out;
}

Labels mirror(const Labels& in, bool leftRight) {
  Labels out = in;
  for (uint32_t y = 0; y < in.height; ++y)
    for (uint32_t x = 0; x < in.width; ++x)
      out.at[y * in.width + x] = leftRight ? in.at[y * in.width + in.width - 1 - x]
                                           : in.at[(in.height - 1 - y) * in.width + x];
  return out;
}

// The labels turned as EXIF orientation |o| says (as the Writer places
// pixels).
Labels orient(const Labels& in, int o) {
  Labels out;
  const uint32_t w = in.width, h = in.height;
  out.width = o >= 5 ? h : w;
  out.height = o >= 5 ? w : h;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t across[9] = {0, x, w - 1 - x, w - 1 - x, x, y, h - 1 - y, h - 1 - y, y};
      const uint32_t down[9] = {0, y, y, h - 1 - y, h - 1 - y, x, x, w - 1 - x, w - 1 - x};
      out.at[down[o] * out.width + across[o]] = in.at[y * w + x];
    }
  return out;
}

// The orientation of |item|'s rotations and mirrorings, in the order of its
// properties. False when it has a clean aperture ('clap'), whose crop is
// left to libheif.
bool orientationOf(const Meta& meta, const Item& item, int* orientation) {
  Labels labels;
  for (uint32_t index : item.properties) {
    Fields payload(nullptr, 0);
    const uint32_t type = meta.property(index, &payload);
    if (type == fourcc("clap")) return false;
    if (type == fourcc("irot")) {
      for (uint64_t turns = payload.get(1) & 3; turns > 0; --turns) labels = rotateLeft(labels);
    } else if (type == fourcc("imir")) {
      labels = mirror(labels, (payload.get(1) & 1) != 0);
    }
  }
  const Labels plain;
  for (int o = 1; o <= 8; ++o) {
    const Labels turned = orient(plain, o);
    if (turned.width == labels.width && std::memcmp(turned.at, labels.at, 6) == 0) {
      *orientation = o;
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Grids, tile by tile.

// The tiles of |grid|, when it can be decoded tile by tile: all coded
// images of one size, which libheif hands out, covering the grid as
// libheif places them (row by row, each tile beside the last).
struct GridLayout {
  uint32_t columns = 0;
  uint32_t rows = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t tileWidth = 0;
  uint32_t tileHeight = 0;
  const std::vector<uint32_t>* tiles = nullptr;  // row by row
};

bool gridLayout(const Meta& meta, Source& source, heif_context* context, const Item& grid,
                GridLayout* layout) {
  if (grid.type != fourcc("grid")) return false;
  uint8_t bytes[12] = {};
  const size_t have = meta.data(source, grid, bytes, sizeof(bytes));
  Fields f(bytes, have);
  if (f.get(1) != 0) return false;  // version
  const int fieldBytes = (f.get(1) & 1) != 0 ? 4 : 2;
  layout->rows = static_cast<uint32_t>(f.get(1) + 1);
  layout->columns = static_cast<uint32_t>(f.get(1) + 1);
  layout->width = static_cast<uint32_t>(f.get(fieldBytes));
  layout->height = static_cast<uint32_t>(f.get(fieldBytes));
  layout->tiles = meta.references(fourcc("dimg"), grid.id);
  if (f.bad() || layout->tiles == nullptr ||
      layout->tiles->size() != size_t{layout->rows} * layout->columns)
    return false;
  for (size_t i = 0; i < layout->tiles->size(); ++i) {
    const uint32_t id = (*layout->tiles)[i];
    if (i > 0 && id == (*layout->tiles)[i - 1]) continue;
    const Item* tile = meta.item(id);
    if (tile == nullptr || (tile->type != fourcc("hvc1") && tile->type != fourcc("av01")))
      return false;
    heif_image_handle* handle = nullptr;
    if (heif_context_get_image_handle(context, id, &handle).code != heif_error_Ok) return false;
    const int w = heif_image_handle_get_width(handle);
    const int h = heif_image_handle_get_height(handle);
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    heif_image_handle_release(handle);
    if (i == 0) {
      layout->tileWidth = static_cast<uint32_t>(std::max(w, 0));
      layout->tileHeight = static_cast<uint32_t>(std::max(h, 0));
    }
    if (alpha || w <= 0 || h <= 0 || static_cast<uint32_t>(w) != layout->tileWidth ||
        static_cast<uint32_t>(h) != layout->tileHeight)
      return false;
  }
  // Every tile starts inside the grid, and together they cover it.
  const uint64_t tw = layout->tileWidth, th = layout->tileHeight;
  return layout->width > (layout->columns - 1) * tw && layout->width <= layout->columns * tw &&
         layout->height > (layout->rows - 1) * th && layout->height <= layout->rows * th;
}

// The alpha image that libheif attaches to |id|: the first item that refers
// to it as its auxiliary image of type alpha. 0 when there is none.
uint32_t alphaOf(const Meta& meta, uint32_t id) {
  static const char* const kAlpha[] = {"urn:mpeg:avc:2015:auxid:1", "urn:mpeg:hevc:2015:auxid:1",
                                       "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha"};
  for (uint32_t from : meta.referring(fourcc("auxl"), id)) {
    const Item* item = meta.item(from);
    if (item == nullptr) continue;
    for (uint32_t index : item->properties) {
      Fields payload(nullptr, 0);
      if (meta.property(index, &payload) != fourcc("auxC")) continue;
      payload.skip(4);  // version and flags
      const auto* text = reinterpret_cast<const char*>(payload.here());
      const size_t length = strnlen(text, payload.left());
      for (const char* alpha : kAlpha)
        if (length == std::strlen(alpha) && std::memcmp(text, alpha, length) == 0) return from;
    }
  }
  return 0;
}

// The largest side that the size boxes ('ispe') of |id|, its alpha image
// and their tiles state.
uint32_t largestSide(const Meta& meta, uint32_t id) {
  uint32_t side = 0;
  auto boxes = [&](uint32_t of) {
    const Item* item = meta.item(of);
    for (size_t i = 0; item != nullptr && i < item->properties.size(); ++i) {
      Fields payload(nullptr, 0);
      if (meta.property(item->properties[i], &payload) != fourcc("ispe")) continue;
      payload.skip(4);  // version and flags
      side = std::max(side, static_cast<uint32_t>(payload.get(4)));
      side = std::max(side, static_cast<uint32_t>(payload.get(4)));
    }
  };
  for (const uint32_t image : {id, alphaOf(meta, id)}) {
    boxes(image);
    const std::vector<uint32_t>* tiles = meta.references(fourcc("dimg"), image);
    for (size_t i = 0; tiles != nullptr && i < tiles->size(); ++i)
      if (i == 0 || (*tiles)[i] != (*tiles)[i - 1]) boxes((*tiles)[i]);
  }
  return side;
}

using kor::Status;

Status fail(const heif_error& error, const Source& source) {
  // libheif ends some messages with a line break.
  const char* message = error.message != nullptr ? error.message : "";
  int length = static_cast<int>(strnlen(message, 1024));
  while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == ' ')) --length;
  if (source.failed()) return Status::error(Status::kIo, "error reading HEIF data");
  if (error.subcode == heif_suberror_Security_limit_exceeded)
    return Status::error(Status::kLimit, "invalid HEIF data: %.*s", length, message);
  if (error.code == heif_error_Memory_allocation_error) return outOfMemory("decoding HEIF data");
  if (error.code == heif_error_Unsupported_feature || error.code == heif_error_Unsupported_filetype)
    return Status::error(Status::kUnsupported, "unsupported HEIF data: %.*s", length, message);
  return Status::error(Status::kCorrupt, "invalid HEIF data: %.*s", length, message);
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

// The decoded tiles of a row of a grid, kept for the next row where it
// refers to them again.
class TileRow {
 public:
  ~TileRow() {
    for (const Decoded& tile : m_tiles) heif_image_release(tile.image);
  }
  // Gives back the tiles that |next| does not refer to.
  void keepOnly(const uint32_t* next, uint32_t count) {
    auto unused = [&](const Decoded& tile) {
      if (std::find(next, next + count, tile.id) != next + count) return false;
      heif_image_release(tile.image);
      return true;
    };
    m_tiles.erase(std::remove_if(m_tiles.begin(), m_tiles.end(), unused), m_tiles.end());
  }
  // Tile |id|'s pixels as interleaved 8-bit RGB: its first row and stride.
  // Null, with the failure in |*status|, when it cannot be decoded at
  // |width| x |height|.
  const uint8_t* get(heif_context* context, const heif_decoding_options* options, uint32_t id,
                     uint32_t width, uint32_t height, const Source& source, int* stride,
                     Status* status);

 private:
  struct Decoded {
    uint32_t id;
    heif_image* image;
  };
  std::vector<Decoded> m_tiles;
};

const uint8_t* TileRow::get(heif_context* context, const heif_decoding_options* options,
                            uint32_t id, uint32_t width, uint32_t height, const Source& source,
                            int* stride, Status* status) {
  auto found = std::find_if(m_tiles.begin(), m_tiles.end(),
                            [id](const Decoded& tile) { return tile.id == id; });
  if (found == m_tiles.end()) {
    if (*status = checkCancelled(); !status->ok()) return nullptr;
    heif_image_handle* handle = nullptr;
    heif_error error = heif_context_get_image_handle(context, id, &handle);
    if (error.code != heif_error_Ok) {
      *status = fail(error, source);
      return nullptr;
    }
    heif_image* image = nullptr;
    error = heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                              options);
    heif_image_handle_release(handle);
    if (error.code != heif_error_Ok) {
      *status = fail(error, source);
      return nullptr;
    }
    m_tiles.push_back({id, image});
    found = m_tiles.end() - 1;
  }
  heif_image* image = found->image;
  const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, stride);
  if (plane == nullptr ||
      heif_image_get_width(image, heif_channel_interleaved) != static_cast<int>(width) ||
      heif_image_get_height(image, heif_channel_interleaved) != static_cast<int>(height) ||
      heif_image_get_bits_per_pixel_range(image, heif_channel_interleaved) != 8) {
    *status =
        Status::error(Status::kCorrupt, "invalid HEIF data: a tile differs from its size box");
    return nullptr;
  }
  return plane;
}

// Decodes |grid| tile by tile, a row of tiles at a time, and streams its
// rows (RGBA, the alpha of |alpha|'s tiles when it has them).
Status decodeTiles(Source& source, Pipeline& pipeline, heif_context* context,
                   const heif_decoding_options* options, const GridLayout& grid,
                   const GridLayout* alpha) {
  Status status = pipeline.setRowSize(grid.width, grid.height);
  uint8_t* rgba =
      status.ok() ? scratch(Scratch::kRgbaRow, size_t{grid.width} * 4, &status) : nullptr;
  if (rgba == nullptr) return status;
  RowSink& sink = pipeline.sink();
  TileRow colour;
  TileRow transparency;
  std::vector<const uint8_t*> planes(grid.columns);
  std::vector<int> strides(grid.columns);
  std::vector<const uint8_t*> alphaPlanes(alpha != nullptr ? grid.columns : 0);
  std::vector<int> alphaStrides(alphaPlanes.size());
  for (uint32_t row = 0; row < grid.rows; ++row) {
    const uint32_t* ids = grid.tiles->data() + size_t{row} * grid.columns;
    colour.keepOnly(ids, grid.columns);
    for (uint32_t column = 0; column < grid.columns; ++column) {
      planes[column] = colour.get(context, options, ids[column], grid.tileWidth, grid.tileHeight,
                                  source, &strides[column], &status);
      if (planes[column] == nullptr) return status;
    }
    if (alpha != nullptr) {
      const uint32_t* alphaIds = alpha->tiles->data() + size_t{row} * grid.columns;
      transparency.keepOnly(alphaIds, grid.columns);
      for (uint32_t column = 0; column < grid.columns; ++column) {
        alphaPlanes[column] =
            transparency.get(context, options, alphaIds[column], grid.tileWidth, grid.tileHeight,
                             source, &alphaStrides[column], &status);
        if (alphaPlanes[column] == nullptr) return status;
      }
    }
    const uint32_t top = row * grid.tileHeight;
    const uint32_t bottom = std::min(grid.height, top + grid.tileHeight);
    for (uint32_t y = top; y < bottom; ++y) {
      for (uint32_t column = 0; column < grid.columns; ++column) {
        const uint32_t left = column * grid.tileWidth;
        const uint32_t width = std::min(grid.tileWidth, grid.width - left);
        const size_t offset = size_t{y - top} * static_cast<size_t>(strides[column]);
        const uint8_t* in = planes[column] + offset;
        // libheif's alpha of a grid is the red of its alpha image in RGB.
        const uint8_t* a =
            alpha != nullptr
                ? alphaPlanes[column] + size_t{y - top} * static_cast<size_t>(alphaStrides[column])
                : nullptr;
        uint8_t* out = rgba + size_t{left} * 4;
        for (uint32_t x = 0; x < width; ++x, in += 3, out += 4) {
          std::memcpy(out, in, 3);
          out[3] = a != nullptr ? a[size_t{x} * 3] : 255;
        }
      }
      status = sink.putRow(rgba);
      if (status.ok()) status = pipeline.rowCheck();
      if (!status.ok()) return status;
    }
  }
  return status;
}

// Decodes |handle| whole and streams its rows, which must be |width| x
// |height| (its size before any rotation when the transformations are
// ignored).
Status decodeWhole(Source& source, Pipeline& pipeline, Objects& o, const heif_image_handle* handle,
                   uint32_t width, uint32_t height) {
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  heif_error error = heif_decode_image(
      handle, &o.image, heif_colorspace_RGB,
      alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, o.options);
  if (error.code != heif_error_Ok) return fail(error, source);
  const int decodedWidth = heif_image_get_width(o.image, heif_channel_interleaved);
  const int decodedHeight = heif_image_get_height(o.image, heif_channel_interleaved);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(o.image, heif_channel_interleaved, &stride);
  if (plane == nullptr || decodedWidth <= 0 || decodedHeight <= 0 ||
      heif_image_get_bits_per_pixel_range(o.image, heif_channel_interleaved) != 8)
    return Status::error(Status::kCorrupt,
                         "invalid HEIF data: the decoder gave no 8-bit RGB image");
  const auto rowWidth = static_cast<uint32_t>(decodedWidth);
  const auto rowCount = static_cast<uint32_t>(decodedHeight);
  if (rowWidth != width || rowCount != height)
    return Status::error(Status::kCorrupt,
                         "invalid HEIF data: decoded size %u x %u differs from %u x %u", rowWidth,
                         rowCount, width, height);
  Status status = pipeline.setRowSize(rowWidth, rowCount);
  uint8_t* rgba = status.ok() ? scratch(Scratch::kRgbaRow, size_t{rowWidth} * 4, &status) : nullptr;
  if (rgba == nullptr) return status;
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
    status = sink.putRow(rgba);
    if (status.ok()) status = pipeline.rowCheck();
    if (!status.ok()) return status;
  }
  return status;
}

// The smallest thumbnail of |primary| that is at least |width| x |height|
// and has the image's shape (within a pixel of its scaled size), and its
// item; null when there is none.
heif_image_handle* pickThumbnail(const heif_image_handle* primary, uint32_t width, uint32_t height,
                                 uint32_t* id) {
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
      *id = ids[i];
    } else {
      heif_image_handle_release(thumbnail);
    }
  }
  return best;
}

// Hands the colour of |handle| to the pipeline: its ICC profile or its
// H.273 code points (nclx), or those of |primary| when a thumbnail has none
// of its own. libheif has already turned YCbCr into RGB by the nclx matrix.
void describeColour(Pipeline& pipeline, const heif_image_handle* handle,
                    const heif_image_handle* primary) {
  if (!colourManaged()) return;
  if (heif_image_handle_get_color_profile_type(handle) == heif_color_profile_type_not_present)
    handle = primary;
  const size_t size = heif_image_handle_get_raw_color_profile_size(handle);
  if (size > 0) {
    if (!colourProfileFits(size)) return;
    auto* icc = new (std::nothrow) uint8_t[size];
    if (icc != nullptr &&
        heif_image_handle_get_raw_color_profile(handle, icc).code == heif_error_Ok)
      pipeline.setIccProfile(icc, size);
    delete[] icc;
    return;
  }
  // libheif hands out a profile it allocated even when it then reports an
  // error (a damaged colr box), so it is freed whatever the result.
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok &&
      nclx != nullptr)
    pipeline.setCicp(static_cast<uint16_t>(nclx->color_primaries),
                     static_cast<uint16_t>(nclx->transfer_characteristics));
  heif_nclx_color_profile_free(nclx);
}

// The header of an information request: the primary image as it is meant
// to be seen.
Status readInfo(Source& source, Pipeline& pipeline, Objects& o) {
  Input input{&source, {}};
  heif_error error = heif_context_read_from_reader(o.context, &kReader, &input, nullptr);
  if (error.code != heif_error_Ok) return fail(error, source);
  error = heif_context_get_primary_image_handle(o.context, &o.primary);
  if (error.code != heif_error_Ok) return fail(error, source);
  Header header;
  header.width = static_cast<uint32_t>(std::max(heif_image_handle_get_width(o.primary), 0));
  header.height = static_cast<uint32_t>(std::max(heif_image_handle_get_height(o.primary), 0));
  header.sourceType = BitmapInfo::kSourceHeif;
  header.hasAlpha = heif_image_handle_has_alpha_channel(o.primary) != 0;
  return pipeline.start(header);
}

// The tiles of every grid are shown to libheif as visible items: the file
// offsets of their hidden flags, ascending, each once.
void unhideTiles(const Meta& meta, Input* input) {
  for (const Item& item : meta.items()) {
    if (item.type != fourcc("grid")) continue;
    const std::vector<uint32_t>* tiles = meta.references(fourcc("dimg"), item.id);
    for (size_t i = 0; tiles != nullptr && i < tiles->size(); ++i) {
      const Item* tile = meta.item((*tiles)[i]);
      if (tile != nullptr) input->unhidden.push_back(tile->flags);
    }
  }
  std::sort(input->unhidden.begin(), input->unhidden.end());
  input->unhidden.erase(std::unique(input->unhidden.begin(), input->unhidden.end()),
                        input->unhidden.end());
}

// Reads the file with libheif, through |input| (which libheif goes on
// reading through while it decodes), and opens the primary image.
Status openPrimary(Source& source, Objects& o, Input* input, heif_item_id* primaryId) {
  source.seek(0);
  heif_error error = heif_context_read_from_reader(o.context, &kReader, input, nullptr);
  if (error.code != heif_error_Ok) return fail(error, source);
  error = heif_context_get_primary_image_ID(o.context, primaryId);
  if (error.code == heif_error_Ok)
    error = heif_context_get_primary_image_handle(o.context, &o.primary);
  if (error.code != heif_error_Ok) return fail(error, source);
  return Status();
}

// What is decoded, and how: the image (the primary image or a thumbnail)
// and its size as libheif shows it, tile by tile or whole, turned by the
// pipeline or by libheif.
struct Plan {
  uint32_t id = 0;
  const heif_image_handle* handle = nullptr;
  uint32_t shownWidth = 0;
  uint32_t shownHeight = 0;
  bool alpha = false;
  int orientation = 1;
  bool turnedHere = false;
  bool tiled = false;
  GridLayout grid;
  GridLayout alphaGrid;
};

// The primary image, or the smallest fitting thumbnail when the target is
// smaller than the |width| x |height| image.
void pickImage(Pipeline& pipeline, Objects& o, heif_item_id primaryId, uint32_t width,
               uint32_t height, Plan* plan) {
  uint32_t targetWidth = 0;
  uint32_t targetHeight = 0;
  pipeline.targetFor(width, height, &targetWidth, &targetHeight);
  plan->id = primaryId;
  if (targetWidth < width || targetHeight < height)
    o.thumbnail = pickThumbnail(o.primary, targetWidth, targetHeight, &plan->id);
  plan->handle = o.thumbnail != nullptr ? o.thumbnail : o.primary;
  plan->shownWidth = static_cast<uint32_t>(std::max(heif_image_handle_get_width(plan->handle), 0));
  plan->shownHeight =
      static_cast<uint32_t>(std::max(heif_image_handle_get_height(plan->handle), 0));
  plan->alpha = heif_image_handle_has_alpha_channel(plan->handle) != 0;
}

// Whether the image's alpha image is a grid of the same tiles as its own,
// turned as the image is.
bool alphaGridMatches(const Meta& meta, Source& source, heif_context* context, Plan* plan) {
  const Item* alphaItem = meta.item(alphaOf(meta, plan->id));
  int alphaOrientation = 1;
  const GridLayout& grid = plan->grid;
  const GridLayout& alphaGrid = plan->alphaGrid;
  return alphaItem != nullptr && orientationOf(meta, *alphaItem, &alphaOrientation) &&
         alphaOrientation == plan->orientation &&
         gridLayout(meta, source, context, *alphaItem, &plan->alphaGrid) &&
         alphaGrid.columns == grid.columns && alphaGrid.rows == grid.rows &&
         alphaGrid.width == grid.width && alphaGrid.height == grid.height &&
         alphaGrid.tileWidth == grid.tileWidth && alphaGrid.tileHeight == grid.tileHeight;
}

// Whether the image is turned by the pipeline, and decoded tile by tile.
// Turned here when it has no clean aperture; libheif turns an image's alpha
// by the alpha image's own properties, so a whole image with alpha is left
// to libheif, and the alpha grid of a tiled one must turn as the image does.
void chooseTurning(const Meta& meta, Source& source, heif_context* context, Plan* plan) {
  const Item* item = meta.item(plan->id);
  plan->turnedHere = item != nullptr && orientationOf(meta, *item, &plan->orientation);
  const bool swapped = plan->turnedHere && plan->orientation >= 5;
  // Stored as the rows come, before they are turned.
  const uint32_t storedWidth = swapped ? plan->shownHeight : plan->shownWidth;
  const uint32_t storedHeight = swapped ? plan->shownWidth : plan->shownHeight;
  plan->tiled = plan->turnedHere && gridLayout(meta, source, context, *item, &plan->grid) &&
                plan->grid.width == storedWidth && plan->grid.height == storedHeight;
  if (plan->tiled && plan->alpha) plan->tiled = alphaGridMatches(meta, source, context, plan);
  if (!plan->tiled && plan->alpha && plan->orientation != 1) plan->turnedHere = false;
  if (!plan->turnedHere) plan->orientation = 1;
}

// The options libheif decodes with. Tiles keep their own transformations,
// as libheif applies them when it composes a grid; the image's own are left
// to the pipeline. libheif composes a derived image at the size in its
// data, and decodes a coded image at the size in its bitstream: neither may
// be larger than what the size boxes say (of the image decoded, its alpha
// image and their tiles), rounded up to the 64 pixels that coding may pad a
// side to.
Status setOptions(const Meta& meta, Objects& o, const Plan& plan) {
  o.options = heif_decoding_options_alloc();
  if (o.options == nullptr) return outOfMemory("starting a HEIF decoder");
  o.options->convert_hdr_to_8bit = 1;
  o.options->ignore_transformations = plan.turnedHere && !plan.tiled ? 1 : 0;
  const uint64_t side = std::max({uint64_t{largestSide(meta, plan.id)}, uint64_t{plan.shownWidth},
                                  uint64_t{plan.shownHeight}});
  heif_context_set_maximum_image_size_limit(
      o.context, static_cast<int>(std::min<uint64_t>((side + 63) / 64 * 64 + 1, INT32_MAX)));
  return Status();
}

Status runHeif(Source& source, Pipeline& pipeline, Objects& o) {
  o.context = heif_context_alloc();
  if (o.context == nullptr) return outOfMemory("starting a HEIF decoder");
  if (pipeline.infoOnly()) return readInfo(source, pipeline, o);
  Meta meta;
  Status status = meta.read(source);
  if (!status.ok()) return status;
  Input input{&source, {}};
  unhideTiles(meta, &input);
  heif_item_id primaryId = 0;
  status = openPrimary(source, o, &input, &primaryId);
  if (!status.ok()) return status;
  const auto width = static_cast<uint32_t>(std::max(heif_image_handle_get_width(o.primary), 0));
  const auto height = static_cast<uint32_t>(std::max(heif_image_handle_get_height(o.primary), 0));
  status = checkDimensions(width, height);
  if (!status.ok()) return status;
  Plan plan;
  pickImage(pipeline, o, primaryId, width, height, &plan);
  chooseTurning(meta, source, o.context, &plan);

  Header header;
  header.width = plan.orientation >= 5 ? height : width;
  header.height = plan.orientation >= 5 ? width : height;
  header.orientation = plan.orientation;
  header.sourceType = BitmapInfo::kSourceHeif;
  header.hasAlpha = heif_image_handle_has_alpha_channel(o.primary) != 0;
  status = pipeline.start(header);
  if (status.ok()) status = checkDerivedSize(meta, source);
  if (!status.ok()) return status;
  describeColour(pipeline, plan.handle, o.primary);
  status = setOptions(meta, o, plan);
  if (status.ok()) status = checkCancelled();
  if (!status.ok()) return status;
  if (plan.tiled)
    return decodeTiles(source, pipeline, o.context, o.options, plan.grid,
                       plan.alpha ? &plan.alphaGrid : nullptr);
  return plan.orientation >= 5
             ? decodeWhole(source, pipeline, o, plan.handle, plan.shownHeight, plan.shownWidth)
             : decodeWhole(source, pipeline, o, plan.handle, plan.shownWidth, plan.shownHeight);
}

}  // namespace

Status decodeHeif(Source& source, Pipeline& pipeline) {
  if (!useOwnHeifDecoders())
    return Status::error(Status::kFailed, "cannot start the AV1 and HEVC decoders");
  try {
    Objects objects;
    return runHeif(source, pipeline, objects);
  } catch (...) {
    return outOfMemory("decoding HEIF data");
  }
}

}  // namespace lumo::internal
