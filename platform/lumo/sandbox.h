// Decoder processes: the service side (remote*, the pool of processes) and
// the decoder side (runDecoderProcess), and the messages between them.
//
// A decoder process is started with one end of a SOCK_SEQPACKET socket
// pair as descriptor 3. It confines itself (see runDecoderProcess), says
// hello, then serves one request at a time:
//
//   service                               decoder
//   Request (+ the image file, open)  ->
//                                     <-  NeedPixels (bitmap size)   decode only
//   Grant (+ a memfd to write into)   ->
//                                     <-  Info | Done | Failed
//
// The decoder writes the pixels into the granted memory (the answer's own
// shared segment where the client lends one, else a scratch segment of the
// service's), so that they are never copied on the way. A request may offer the
// scratch segment granted before: a bitmap that fits it, and that no client
// would lend memory for, goes there without NeedPixels and Grant. The service
// trusts nothing a decoder says: every size is checked against what was
// granted, a message of the wrong kind or size ends the process, and so do a
// deadline and the client's leaving.
#ifndef PLATFORM_LUMO_SANDBOX_H_
#define PLATFORM_LUMO_SANDBOX_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/lumo.h"
#include "platform/lumo/codec.h"

namespace lumo::internal {

// --- Messages ---------------------------------------------------------------

enum class Message : uint32_t {
  kHello = 1,       // decoder: confined, ready (|missing| says which layers are not)
  kRequest = 2,     // service: read the information or decode; the file comes with it
  kNeedPixels = 3,  // decoder: the bitmap needs |bytes| bytes
  kGrant = 4,       // service: write them into the memfd that comes with it
  kInfo = 5,        // decoder: the information
  kDone = 6,        // decoder: the bitmap is in the granted memory
  kFailed = 7,      // decoder: no result; |code| and |reason| say why
};

// The highest kor::Status::Code a kFailed message may carry; one above it,
// or kOk, breaks the protocol.
constexpr uint32_t kLastStatusCode = kor::Status::kLastCode;

// The namespaces a decoder could not enter (kHello's |missing|).
constexpr uint32_t kMissingUserNamespace = 1u << 0;
constexpr uint32_t kMissingNetworkNamespace = 1u << 1;
constexpr uint32_t kMissingMountNamespace = 1u << 2;
constexpr uint32_t kMissingIpcNamespace = 1u << 3;

constexpr size_t kReasonBytes = 240;
constexpr size_t kMaxPathBytes = 4096;

struct RequestMessage {
  Message kind = Message::kRequest;
  uint32_t infoOnly = 0;
  int32_t format = 0;
  uint32_t width = 0;  // target of a scaled decode
  uint32_t height = 0;
  uint32_t scaled = 0;
  uint64_t fileSize = 0;
  uint64_t scratchId = 0;     // a scratch segment granted before (0: none offered)
  uint64_t scratchBytes = 0;  // bitmaps up to this size may go there unasked
  uint32_t pathBytes = 0;     // the path follows, for reasons only
};

struct GrantMessage {
  Message kind = Message::kGrant;
  uint32_t ok = 0;     // 0: nothing granted (no memfd comes)
  uint64_t id = 0;     // names the memory while it lives; 0: map it for this bitmap only
  uint64_t bytes = 0;  // the memfd's size, at least what was asked
};

// Every message of a decoder has this one shape.
struct DecoderMessage {
  Message kind = Message::kFailed;
  uint32_t missing = 0;  // kHello
  uint64_t bytes = 0;    // kNeedPixels
  uint32_t width = 0;    // kInfo, kDone
  uint32_t height = 0;
  int32_t format = 0;  // kDone
  uint32_t stride = 0;
  int32_t sourceType = 0;  // kInfo
  uint32_t hasAlpha = 0;
  uint32_t isGrey = 0;
  uint32_t code = 0;      // kFailed: the failure's kor::Status::Code
  uint64_t cpuNanos = 0;  // kInfo, kDone, kFailed: the CPU time the process has used
  char reason[kReasonBytes] = {};
};

// --- Service side -------------------------------------------------------------

// True while startDecoders() holds (the engine then delegates).
bool decodersRunning();
// Engine::getImageInfo() and createBitmap() in a decoder process of the
// calling thread's client (DecoderScope). Null with the failure in |*status|,
// the decoder's own (with its code) or the channel's: kClosed for the
// decoder's crash, kTimedOut for its deadline, kCancelled for the client's
// leaving, kProtocol for a message that breaks the protocol.
BitmapInfo* remoteImageInfo(const util::UnicodeString8& path, kor::Status* status);
BitmapPtr remoteDecode(const util::UnicodeString8& path, BitmapInfo::Format format, uint32_t width,
                       uint32_t height, bool scaled, kor::Status* status);

// readInfoAhead().
bool sendInfoAhead(const util::UnicodeString8& path);

// For tests: the decoder executable to start from now on (empty: the one
// next to the library), and the deadlines (0: the defaults).
void setDecoderExecutable(const std::string& path);
void setDecoderDeadlines(uint32_t infoMs, uint32_t decodeBaseMs);
// The process id of the decoder bound to |client|, or 0.
int decoderOf(uint64_t client);
// Decoder processes now alive: bound to a client, and spare.
size_t decoderCount();
size_t spareCount();
// Milliseconds to start a decoder process until its hello, and end it; -1
// when it cannot start. For the benchmark.
double timeDecoderStart();
// Waits (up to |timeoutMs|) until no decoder is starting and the spares are
// ready; the descriptors the decoders then hold in this process.
size_t settleDecoders(uint32_t timeoutMs);

// --- Decoder side ---------------------------------------------------------------

// The body of a decoder process, from main(): confines the process, then
// serves requests on descriptor 3 until the service closes it. |testRequests|
// makes it honour the test files of a test build (see tools/decoder).
int runDecoderProcess(int argc, char** argv, bool testRequests);

}  // namespace lumo::internal

#endif  // PLATFORM_LUMO_SANDBOX_H_
