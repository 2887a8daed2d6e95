// The orientation tag of an Exif block, for the formats that carry one
// (JPEG in an APP1 segment, WebP in an EXIF chunk).
#include <libexif/exif-data.h>

#include "platform/lumo/codec.h"

namespace lumo::internal {

int exifOrientation(const uint8_t* exif, size_t size) {
  ExifData* data = exif_data_new();
  if (data == nullptr) return 1;
  // Read the block as it is: no "fixing" that would add default tags.
  exif_data_unset_option(data, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(data, exif, static_cast<unsigned int>(size));
  int orientation = 1;
  ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry != nullptr && entry->format == EXIF_FORMAT_SHORT && entry->components >= 1 &&
      entry->data != nullptr && entry->size >= 2) {
    int value = exif_get_short(entry->data, exif_data_get_byte_order(data));
    if (value >= 1 && value <= 8) orientation = value;
  }
  exif_data_unref(data);
  return orientation;
}

}  // namespace lumo::internal
