// The transport's message reader on arbitrary bytes: a header, then the
// argument layout of the slot it names, as the service (requests) and the
// client library (replies) read them.
#include <cstring>

#include "platform/transport.h"
#include "platform/transport/wire.h"

namespace {

// An information record: present flag, then its five fields.
void readInformation(comm::WireReader& reader) {
  bool present = false;
  if (!reader.getBool(&present) || !present) return;
  int32_t format;
  uint32_t width, height;
  int64_t hash, fileSize;
  reader.getI32(&format) && reader.getU32(&width) && reader.getU32(&height) &&
      reader.getI64(&hash) && reader.getI64(&fileSize);
}

void readRequest(comm::WireReader& reader, uint32_t slot) {
  CIPtr<CIPtrArray<CIString>> locators;
  CIPtr<CIUInt32Array> ids;
  int8_t scaling;
  bool decode;
  uint32_t id;
  switch (slot) {
    case 0:
      reader.getStringArray(&locators) && reader.getI8(&scaling) && reader.getBool(&decode);
      break;
    case 1:
      reader.getStringArray(&locators);
      break;
    case 3:
    case 6:
      reader.getU32(&id);
      break;
    case 4:
    case 7:
      reader.getUInt32Array(&ids);
      break;
    default:
      break;
  }
}

void readReply(comm::WireReader& reader, uint32_t slot) {
  CIPtr<CIString> text;
  int32_t result;
  bool flag;
  if (!reader.getString(&text)) return;
  if (slot == 0) {
    bool present = false;
    if (reader.getBool(&present) && present) {
      readInformation(reader);
      comm::WireBytes bytes;
      uint32_t length;
      reader.getBool(&flag) && reader.getByteArray(&bytes) && reader.getU32(&length);
    }
    reader.getI32(&result);
  } else if (slot == 1) {
    readInformation(reader);
    reader.getI32(&result);
  } else {
    reader.getBool(&flag);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < comm::kWireHeaderSize) return 0;
  uint8_t kind = 0;
  uint32_t slot = 0, payload = 0, fds = 0;
  if (!comm::parseHeader(data, &kind, &slot, &payload, &fds).ok()) return 0;
  // Read what follows the header whatever the size field says: the reader
  // must hold to the bytes it is given.
  comm::WireReader reader(data + comm::kWireHeaderSize, size - comm::kWireHeaderSize);
  if (kind == comm::kKindRequest)
    readRequest(reader, slot);
  else
    readReply(reader, slot);
  reader.finish();
  return 0;
}
