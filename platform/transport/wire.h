// The messages of the transport: their format, and the writer and reader
// that build and check them.
//
// Wire format (version 1)
// -----------------------
// A connection carries messages, each a 16-byte header followed by the
// payload. All integers are little-endian.
//   offset 0  u32 magic    0x57504943 (the bytes "CIPW")
//   offset 4  u8  version  1
//   offset 5  u8  kind     1 request (client to service), 2 reply (service to
//                          client), 3 segment release (client to service),
//                          4 segment drop (service to client)
//   offset 6  u16 fds      descriptors sent with the message (0..2), attached
//                          (SCM_RIGHTS) to the message's first byte
//   offset 8  u32 slot     operation slot of the interface
//   offset 12 u32 size     payload bytes (header + payload <= 1 MiB)
// The payload is the operation's arguments, positionally:
//   u8, i8, bool (u8 0 or 1), u32, i32, i64   fixed width
//   string        u8 present (0/1); if present u32 length and the bytes
//                 (UTF-8 by convention, taken as they are, NUL included:
//                 the receiver judges them), bounded only by the message
//   string array  u8 present; u32 count (<= 2048); that many strings
//   u32 array     u8 present; u32 count (<= 2048); that many u32
//   byte array    u8 tag: 0 absent; 1 inline: u32 length (< 64 KiB) and the
//                 bytes; 2 segment: u32 length, and the next descriptor of
//                 the message is a sealed memfd of at least that size;
//                 3 pooled segment: u32 length, u32 segment id, and the next
//                 descriptor is the segment (replies only; see segment.h);
//                 4 transient segment: as 3, for one answer only (see
//                 "A client's shared memory" in segment.h)
// Segment release and drop messages have slot 0 and carry u32 count
// (1..1024) and that many items: a release item is u32 segment id and u32
// receipts (replies in that segment the client is done with), a drop item a
// u32 segment id.
// Every length and count is checked against the bytes that remain before it
// is used. A message must be consumed exactly. A bad magic or version, an
// unknown kind or slot, an oversized message, too many descriptors,
// truncated control data or a malformed field closes that connection (with a
// level 3 trace on "COMM_Transport"); other connections are not affected.
#ifndef PLATFORM_TRANSPORT_WIRE_H_
#define PLATFORM_TRANSPORT_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/transport/segment.h"
#include "platform/transport/unique_fd.h"

namespace comm {

constexpr uint32_t kWireMagic = 0x57504943;
constexpr uint8_t kWireVersion = 1;
constexpr uint32_t kWireHeaderSize = 16;
constexpr uint32_t kMaxMessageSize = 1024 * 1024;  // header included
// Elements of one array: what one request may ask at once, so that one
// message of a client puts no more than this before another client's.
constexpr uint32_t kMaxArrayCount = 2048;
constexpr uint32_t kMaxFdsPerMessage = 2;
constexpr uint32_t kMaxSegmentIdsPerMessage = 1024;

enum MessageKind : uint8_t {
  kKindRequest = 1,
  kKindReply = 2,
  kKindSegmentRelease = 3,
  kKindSegmentDrop = 4,
};

// Builds one message. A value that breaks a limit (or memory running short)
// marks the writer failed; ok() then is false and error() says why.
class WireWriter {
 public:
  WireWriter(MessageKind kind, uint32_t slot);

  void putU8(uint8_t value);
  void putBool(bool value) { putU8(value ? 1 : 0); }
  void putI8(int8_t value) { putU8(static_cast<uint8_t>(value)); }
  void putU32(uint32_t value);
  void putI32(int32_t value) { putU32(static_cast<uint32_t>(value)); }
  void putI64(int64_t value);
  // A present string of |length| bytes.
  void putString(const char* bytes, size_t length);
  void putString(const CIPtr<CIString>& text);  // absent when empty
  void putStringArray(const CIPtr<CIPtrArray<CIString>>& array);
  void putUInt32Array(const CIPtr<CIUInt32Array>& array);
  // Inline below kSegmentThreshold, otherwise as a segment: the array's own
  // when it lives in one (sealed here), else a copy in a new segment.
  void putByteArray(const CIPtr<CIInt8Array>& array);
  // A segment field for |length| bytes of |segment| (sealed here).
  void putSegment(const std::shared_ptr<Segment>& segment, uint32_t length);

  bool ok() const { return m_status.ok(); }
  // Why the writer failed: kLimit, kNoMemory, or a segment's failure.
  const Status& status() const { return m_status; }
  void fail(Status status);

  // The finished message (header filled in). Only when ok().
  std::vector<uint8_t>& finish();
  const std::vector<std::shared_ptr<Segment>>& segments() const { return m_segments; }
  // The pooled segments in the message: (pool, id).
  const std::vector<std::pair<SegmentPool*, uint32_t>>& pooled() const { return m_pooled; }

 private:
  bool reserve(size_t more);
  // Writes an array's present flag and count; false when no elements follow
  // (absent, or too long: then the writer has failed).
  bool beginArray(bool present, uint32_t count);
  std::vector<uint8_t> m_bytes;
  std::vector<std::shared_ptr<Segment>> m_segments;
  std::vector<std::pair<SegmentPool*, uint32_t>> m_pooled;
  Status m_status;
};

// A received message, valid during the call it is handed to.
struct WireMessage {
  uint8_t kind = 0;
  uint32_t slot = 0;
  const uint8_t* payload = nullptr;
  uint32_t size = 0;
  std::vector<UniqueFd> fds;
  // The receiving client's pooled segments (null on the service side,
  // where pooled segments are refused).
  ReceivedSegments* segments = nullptr;
};

// A byte array read from a message.
struct WireBytes {
  bool present = false;
  uint32_t length = 0;
  const uint8_t* inlineBytes = nullptr;  // inline: points into the message
  std::shared_ptr<Segment> segment;      // segment: mapped read-only
  const uint8_t* data() const { return segment ? segment->data() : inlineBytes; }
};

// Reads the fields of one payload. Every getter checks the remaining bytes
// and the limits first; the first failure sticks: ok() turns false, status()
// says what was wrong (kProtocol, or kNoMemory), and every later getter fails.
class WireReader {
 public:
  WireReader(const uint8_t* data, size_t size, std::vector<UniqueFd>* fds = nullptr);
  // The payload of |message|, with its descriptors and segments.
  explicit WireReader(WireMessage& message);

  bool getU8(uint8_t* value);
  bool getBool(bool* value);
  bool getI8(int8_t* value);
  bool getU32(uint32_t* value);
  bool getI32(int32_t* value);
  bool getI64(int64_t* value);
  // A string field: |present| false for an absent one. |bytes| points into
  // the message.
  bool getString(bool* present, const char** bytes, uint32_t* length);
  bool getString(CIPtr<CIString>* text);
  bool getStringArray(CIPtr<CIPtrArray<CIString>>* array);
  bool getUInt32Array(CIPtr<CIUInt32Array>* array);
  bool getByteArray(WireBytes* bytes);
  // A count of elements each at least |minElementSize| bytes long; fails
  // above |limit| or when the remaining bytes cannot hold them.
  bool getCount(uint32_t* count, uint32_t limit, uint32_t minElementSize);

  // True when every byte and descriptor was consumed (and nothing failed);
  // otherwise fails with "trailing bytes" or "unused descriptors".
  bool finish();
  bool ok() const { return m_status.ok(); }
  const Status& status() const { return m_status; }
  size_t remaining() const { return m_size - m_offset; }

 private:
  bool fail(const char* reason);  // kProtocol, or kNoMemory for "out of memory"
  bool take(size_t count, const uint8_t** bytes);
  const uint8_t* m_data;
  size_t m_size;
  size_t m_offset = 0;
  std::vector<UniqueFd>* m_fds;
  ReceivedSegments* m_received = nullptr;
  size_t m_nextFd = 0;
  Status m_status;
};

// A release message carries (id, receipts) pairs, a drop message ids: u32
// count (1..kMaxSegmentIdsPerMessage), then the values.
void putSegmentList(WireWriter& writer, const std::vector<uint32_t>& values,
                    uint32_t valuesPerItem);
// |valuesPerItem| u32 values per item (2 for releases, 1 for drops).
bool getSegmentList(WireReader& reader, uint32_t valuesPerItem, std::vector<uint32_t>* values);

// Checks a message header; when it is valid, fills in the kind, slot,
// payload size and descriptor count.
Status parseHeader(const uint8_t* header, uint8_t* kind, uint32_t* slot, uint32_t* size,
                   uint32_t* fds);

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_WIRE_H_
