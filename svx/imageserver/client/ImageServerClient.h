// The client library of the image service (libimageserverclient.so).
//
// A client process connects to one service instance over its local socket,
// sends requests and receives the answers on a thread of the library:
//
//   class MyHandler : public imageserver::client::Handler {
//     void onAnswer(const imageserver::client::Answer& answer) override { ... }
//   };
//   MyHandler handler;
//   kor::Status status;
//   auto client = imageserver::client::Client::connect(0, &handler, &status);
//   if (!client) { ... status.message() ... }
//   status = client->requestImage({"file:///pictures/a.jpg"}, 0, true);
//
// Simple programs use SyncClient: ask for N locators and wait for the
// answers or a timeout.
//
// The socket of instance N of "svx.imageserver.ImageServer" is
// "svx.imageserver.ImageServer.N" in the service's runtime folder. The folder
// named by ConnectOptions::runtimeDir or, without one, by the environment
// variable COMM_RUNTIME_DIR is the only one tried. Otherwise these are
// tried in order, and the first where a service takes the connection wins:
//   1. $XDG_RUNTIME_DIR/imageserver (when XDG_RUNTIME_DIR is set): a service
//      of the user's session;
//   2. /run/imageserver: the system's service;
//   3. /tmp/imageserver-<uid>: a service of the user started without
//      XDG_RUNTIME_DIR.
// A folder is used only when nobody but its owner could have put a socket
// there (the user's must be the user's own, writable by nobody else; the
// system's writable by its owner and group only). When no service is
// reached, the error names every socket tried and why each failed, e.g.
// "no service at /run/user/1000/imageserver/svx.imageserver.ImageServer.0
// (no such file), nor at /run/imageserver/svx.imageserver.ImageServer.0
// (permission denied), nor at ...".
//
// The service runs in its own working directory, so a locator that is a
// relative path ("img/a.jpg", "file://img/a.jpg") is sent made absolute
// against the calling process's working directory at the time of the
// request ("/home/me/img/a.jpg", "file:///home/me/img/a.jpg"), and its
// answer names it so. Empty and absolute locators are sent as they are.
//
// Large byte arrays (file bytes, pixels) arrive in shared memory that the
// library maps read-only: Payload::data() points into the mapping, which
// stays valid as long as some copy of the Payload (or of its Answer) lives.
//
// Nothing in this library throws; failures are reported as false/null with
// a reason text.
#ifndef SVX_IMAGESERVER_CLIENT_IMAGESERVERCLIENT_H_
#define SVX_IMAGESERVER_CLIENT_IMAGESERVERCLIENT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kor/status.h"

#if defined(__GNUC__)
#define IMAGESERVER_CLIENT_API __attribute__((visibility("default")))
#else
#define IMAGESERVER_CLIENT_API
#endif

namespace imageserver {
namespace client {

// The service's name and the attribute id of its interface version.
IMAGESERVER_CLIENT_API extern const char* const kServiceName;  // "svx.imageserver.ImageServer"
constexpr uint32_t kVersionAttributeId = 23;

// Status of an answer (same values as the service's result codes).
enum Result : int32_t {
  RESULT_OK = 0,
  RESULT_OUT_OF_MEMORY = 1,
  RESULT_INVALID_IMAGE = 2,
  RESULT_READ_INCOMPLETE = 4,
};

// Source types (0..4) and decoded pixel formats (5..12), as the service
// numbers them.
enum ImageFormat : int32_t {
  IMAGE_FORMAT_JPEG = 0,
  IMAGE_FORMAT_PNG = 1,
  IMAGE_FORMAT_GIF = 2,
  IMAGE_FORMAT_BMP = 3,
  IMAGE_FORMAT_WEBP = 4,
  IMAGE_FORMAT_L8 = 5,
  IMAGE_FORMAT_LA88 = 6,
  IMAGE_FORMAT_RGB565 = 7,
  IMAGE_FORMAT_RGB888 = 8,
  IMAGE_FORMAT_BGR888 = 9,
  IMAGE_FORMAT_RGBA8888 = 10,
  IMAGE_FORMAT_BGRA8888 = 11,
  IMAGE_FORMAT_ARGB8888 = 12,
  IMAGE_FORMAT_UNKNOWN = 13,
};

// "RESULT_OK", ... or "RESULT_UNKNOWN".
IMAGESERVER_CLIENT_API const char* resultName(int32_t result);
// "JPEG", "RGBA8888", ... or "UNKNOWN".
IMAGESERVER_CLIENT_API const char* formatName(int32_t format);

// The information record of an image. An answer without a record (a
// failure, or a file-bytes answer that did not ask for one) keeps these
// defaults: format IMAGE_FORMAT_UNKNOWN, size 0 x 0.
struct ImageInfo {
  int32_t format = IMAGE_FORMAT_UNKNOWN;
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t hash = 0;
  int64_t fileSize = 0;
};

// Bytes received from the service: a read-only mapping of shared memory
// (large arrays) or a heap block (small ones). Copies share the bytes; the
// last copy releases them. An empty Payload has data() == nullptr.
class IMAGESERVER_CLIENT_API Payload {
 public:
  class Block;  // the holder of the bytes (library internal)

  Payload() = default;
  explicit Payload(std::shared_ptr<const Block> block);

  const uint8_t* data() const;
  size_t size() const;
  bool empty() const { return size() == 0; }
  // True when the bytes are mapped shared memory (no copy was made).
  bool isShared() const;

 private:
  std::shared_ptr<const Block> m_block;
};

// One answer of the service.
struct Answer {
  enum Kind : int32_t {
    IMAGE = 0,        // requestImageResult
    INFORMATION = 1,  // requestImageInformationResult
  };
  Kind kind = IMAGE;
  bool hasLocator = false;  // false: the service sent no locator
  std::string locator;
  int32_t result = RESULT_OK;

  // IMAGE: an image record came (false for most failures).
  bool hasImage = false;
  // IMAGE: the record carried information; INFORMATION: an information
  // record came.
  bool hasInfo = false;
  ImageInfo info;
  // IMAGE: true for pixels, false for the file's bytes.
  bool decoded = false;
  // IMAGE: the payload length the service reported, and the array itself.
  // Decoded pixels are info.width x info.height pixels in info.format, rows
  // top first, each row packed right after the one before it (no padding:
  // a row is width x bytes per pixel long).
  uint32_t dataLength = 0;
  Payload payload;

  // The payload bytes: payload.data() and min(dataLength, payload.size()).
  const uint8_t* data() const { return payload.data(); }
  size_t length() const { return dataLength < payload.size() ? dataLength : payload.size(); }
};

// A value of the interface-version attribute.
struct VersionUpdate {
  bool hasVersion = false;
  std::string version;
  bool valid = false;
};

// Receives what the service sends. Every function runs on the connection's
// thread of the library, one call at a time, in the order the service sent
// them. A handler may call the Client's request functions; it must not
// destroy the Client it is called for.
class IMAGESERVER_CLIENT_API Handler {
 public:
  virtual ~Handler();
  virtual void onAnswer(const Answer& answer);
  virtual void onVersion(const VersionUpdate& update);
  // The connection closed (the service went away, stopped, or dropped the
  // client for a protocol error or a full queue); |reason| says why. Called
  // once, and not when the Client is destroyed or closed by its owner.
  virtual void onClosed(const std::string& reason);
};

struct ConnectOptions {
  uint32_t instance = 0;
  // The runtime folder; empty: COMM_RUNTIME_DIR, else the folders tried in
  // order (see the top of this header).
  std::string runtimeDir;
  // Seconds the connect may wait for the service to take the connection
  // (a busy service's backlog may be full); 0 or less: no limit.
  double connectTimeout = 30.0;
};

// The longest locator that can be sent: its answer, which names it, must fit
// one message of the service. A longer locator, or one holding a NUL byte,
// is answered by the library itself (RESULT_INVALID_IMAGE, like any locator
// the service refuses), on the thread that delivers the other answers; the
// rest of its request is sent as usual.
constexpr size_t kMaxLocatorLength = 1024 * 1024 - 80;

// Makes |locator| what a request sends for it: a relative path made absolute
// against the working directory (see the top of this header), any other
// locator unchanged. False when memory is short (|locator| is left as it
// was). A program that pairs answers with its locators by text pairs them
// with these.
IMAGESERVER_CLIENT_API bool makeLocatorAbsolute(std::string* locator);

// One connection to a service instance. Thread-safe: the request functions
// may be called from any thread. The requests never block: a request that
// cannot be queued fails (kClosed when the connection is closed, kLimit when
// the outgoing queue is full, kNoMemory). A request of any length is sent: one that does not fit
// one message (1 MiB, 2,048 locators) goes as several requests of the same kind, in order.
class IMAGESERVER_CLIENT_API Client {
 public:
  // Connects and starts the connection's thread. Null (with |*status| set
  // when not null: kNotFound when no service listens, kPermissionDenied for
  // an untrusted runtime folder, kTimedOut, kNoMemory...) when the service
  // cannot be reached. |handler| must outlive the Client.
  static std::unique_ptr<Client> connect(const ConnectOptions& options, Handler* handler,
                                         kor::Status* status = nullptr);
  static std::unique_ptr<Client> connect(uint32_t instance, Handler* handler,
                                         kor::Status* status = nullptr);

  // Closes the connection and stops the thread; no handler function runs
  // after it returns. Not from a handler function of this Client.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // requestImage: one answer per non-null locator. |scaling|, for decoded
  // images: a value of 2 or more is a divisor; the image is decoded to
  // width / scaling by height / scaling, each rounded down (1600 / 3 gives
  // 533), and no side becomes smaller than 1; 1, 0 and every negative value
  // decode at the image's own size. For undecoded images (|decode| false)
  // the same argument only says, by being non-zero, whether the information
  // record is attached: the older form of requestFiles, kept working.
  kor::Status requestImage(const std::vector<std::string>& locators, int8_t scaling, bool decode);
  // As above; a null entry is sent as a missing locator (the service skips
  // it without an answer).
  // Every non-null locator is answered once (see kMaxLocatorLength).
  kor::Status requestImage(const char* const* locators, size_t count, int8_t scaling, bool decode);
  // The files' own bytes, undecoded; |withInfo| attaches each image's
  // information record. One answer per locator, as requestImage.
  kor::Status requestFiles(const std::vector<std::string>& locators, bool withInfo);
  kor::Status requestImageInformation(const std::vector<std::string>& locators);
  kor::Status requestImageInformation(const char* const* locators, size_t count);

  // Subscriptions: every attribute, one, or a list (of at most 2,048 ids:
  // a longer one is refused). Subscribing sends the attribute's current
  // value at once (Handler::onVersion).
  kor::Status setNotification();
  kor::Status setNotification(uint32_t attributeId);
  kor::Status setNotification(const std::vector<uint32_t>& attributeIds);
  kor::Status clearNotification();
  kor::Status clearNotification(uint32_t attributeId);
  kor::Status clearNotification(const std::vector<uint32_t>& attributeIds);

  bool isConnected() const;
  // Closes the connection (Handler::onClosed is not called); waits for a
  // handler call in progress on another thread to return.
  void close();
  // The socket the client connected to.
  const std::string& socketPath() const;

  class Impl;

 private:
  friend class SyncClient;  // reads its answers on the waiting thread
  static std::unique_ptr<Client> open(const ConnectOptions& options, Handler* handler,
                                      kor::Status* status, bool ownThread);
  explicit Client(Impl* impl);
  Impl* m_impl;
};

// A blocking layer for simple clients. One request at a time (calls from
// several threads are serialised). It has no thread of its own: the thread
// that waits for the answers reads them from the connection, which saves a
// thread switch per request. Between requests nothing is read, so a closed
// connection shows at the next request, and memory the service asks the
// client to unmap is unmapped then.
class IMAGESERVER_CLIENT_API SyncClient {
 public:
  static std::unique_ptr<SyncClient> connect(const ConnectOptions& options,
                                             kor::Status* status = nullptr);
  static std::unique_ptr<SyncClient> connect(uint32_t instance, kor::Status* status = nullptr);
  ~SyncClient();
  SyncClient(const SyncClient&) = delete;
  SyncClient& operator=(const SyncClient&) = delete;

  // Requests |locators| (all non-empty) and waits until one answer per
  // locator has arrived, the connection closed, or |timeoutSeconds| passed.
  // |answers| receives the answers in arrival order (also those that came
  // before a failure). Ok when every answer came; kTimedOut, or kClosed when
  // the connection closed first.
  kor::Status requestImages(const std::vector<std::string>& locators, int8_t scaling, bool decode,
                            double timeoutSeconds, std::vector<Answer>* answers);
  // The files' own bytes; |withInfo| attaches the information records.
  kor::Status requestFiles(const std::vector<std::string>& locators, bool withInfo,
                           double timeoutSeconds, std::vector<Answer>* answers);
  kor::Status requestInformation(const std::vector<std::string>& locators, double timeoutSeconds,
                                 std::vector<Answer>* answers);
  // Subscribes to the interface version, waits for its value, unsubscribes.
  kor::Status interfaceVersion(double timeoutSeconds, VersionUpdate* update);

  bool isConnected() const;
  // The socket the client connected to.
  const std::string& socketPath() const;

  class Impl;

 private:
  explicit SyncClient(Impl* impl);
  Impl* m_impl;
};

}  // namespace client
}  // namespace imageserver

#endif  // SVX_IMAGESERVER_CLIENT_IMAGESERVERCLIENT_H_
