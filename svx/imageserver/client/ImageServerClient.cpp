#include "svx/imageserver/client/ImageServerClient.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/osal.h"
#include "platform/transport.h"
#include "platform/transport/wire.h"
#include "svx/imageserver/ImageServerTypes.h"
#include "svx/imageserver/ImageServerWire.h"

namespace imageserver {
namespace client {

const char* const kServiceName = "svx.imageserver.ImageServer";

// The client's values are the service's: the wire carries them as numbers.
#define IMAGESERVER_SAME_VALUE(name)                                                        \
  static_assert(static_cast<int32_t>(name) == static_cast<int32_t>(svx::imageserver::name), \
                #name " differs between the client and the service")
IMAGESERVER_SAME_VALUE(RESULT_OK);
IMAGESERVER_SAME_VALUE(RESULT_OUT_OF_MEMORY);
IMAGESERVER_SAME_VALUE(RESULT_INVALID_IMAGE);
IMAGESERVER_SAME_VALUE(RESULT_READ_INCOMPLETE);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_JPEG);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_PNG);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_GIF);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_BMP);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_WEBP);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_L8);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_LA88);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_RGB565);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_RGB888);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_BGR888);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_RGBA8888);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_BGRA8888);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_ARGB8888);
IMAGESERVER_SAME_VALUE(IMAGE_FORMAT_UNKNOWN);
#undef IMAGESERVER_SAME_VALUE

// The names are the service's own.
const char* resultName(int32_t result) { return svx::imageserver::resultName(result); }

const char* formatName(int32_t format) { return svx::imageserver::formatName(format); }

// ---------------------------------------------------------------------------
// Payload.

class Payload::Block {
 public:
  std::shared_ptr<comm::Segment> segment;  // shared memory, or
  std::vector<uint8_t> heap;               // a copy of inline bytes
  const uint8_t* data() const { return segment ? segment->data() : heap.data(); }
  size_t size() const { return segment ? segment->size() : heap.size(); }
};

Payload::Payload(std::shared_ptr<const Block> block) : m_block(std::move(block)) {}
const uint8_t* Payload::data() const { return m_block ? m_block->data() : nullptr; }
size_t Payload::size() const { return m_block ? m_block->size() : 0; }
bool Payload::isShared() const { return m_block && m_block->segment != nullptr; }

// ---------------------------------------------------------------------------
// Handler defaults.

Handler::~Handler() = default;
void Handler::onAnswer(const Answer&) {}
void Handler::onVersion(const VersionUpdate&) {}
void Handler::onClosed(const std::string&) {}

// ---------------------------------------------------------------------------
// Decoding.

namespace {

kor::Status outOfMemory() { return kor::Status::error(kor::Status::kNoMemory, "out of memory"); }

namespace wire = svx::imageserver::wire;

bool getText(comm::WireReader& reader, bool* present, std::string* text) {
  const char* bytes;
  uint32_t length;
  if (!reader.getString(present, &bytes, &length)) return false;
  if (*present) text->assign(bytes, length);
  return true;
}

bool getInfo(comm::WireReader& reader, bool* present, ImageInfo* info) {
  if (!reader.getBool(present)) return false;
  if (!*present) return true;
  return reader.getI32(&info->format) && reader.getU32(&info->width) &&
         reader.getU32(&info->height) && reader.getI64(&info->hash) &&
         reader.getI64(&info->fileSize);
}

// Fails only when memory is short; a malformed field is left to the reader.
comm::Status getPayload(comm::WireReader& reader, Payload* payload) {
  comm::WireBytes bytes;
  if (!reader.getByteArray(&bytes) || !bytes.present) return comm::Status();
  auto block = std::make_shared<Payload::Block>();
  if (bytes.segment != nullptr) {
    block->segment = std::move(bytes.segment);
  } else {
    try {
      block->heap.assign(bytes.inlineBytes, bytes.inlineBytes + bytes.length);
    } catch (...) {
      return kor::Status::error(kor::Status::kNoMemory, "out of memory");
    }
  }
  *payload = Payload(std::move(block));
  return comm::Status();
}

// One locator of a request: absent (null), or |length| bytes at |bytes|.
struct Locator {
  const char* bytes = nullptr;
  size_t length = 0;
};

// The reply that names a locator of kMaxLocatorLength bytes fits a message:
// header, string (u8 present, u32 length), image (u8 present, information
// of 29 bytes, bool decoded, pooled byte array of 9 bytes, u32 length) and
// i32 result.
static_assert(comm::kWireHeaderSize + 5 + kMaxLocatorLength + 1 + 29 + 1 + 9 + 4 + 4 <=
              comm::kMaxMessageSize);
// A request holding only such a locator fits too.
static_assert(comm::kWireHeaderSize + 5 + 5 + kMaxLocatorLength + 2 <= comm::kMaxMessageSize);

// Where the relative path of the locator |bytes| begins: 0 for a plain
// relative path, 7 after "file://"; SIZE_MAX when there is none (no
// locator, an empty one, an absolute path).
size_t startOfRelativePath(const char* bytes, size_t length) {
  if (bytes == nullptr) return SIZE_MAX;
  static const char kFilePrefix[] = "file://";
  const size_t prefix = sizeof(kFilePrefix) - 1;
  const size_t start =
      length >= prefix && std::memcmp(bytes, kFilePrefix, prefix) == 0 ? prefix : 0;
  return start < length && bytes[start] != '/' ? start : SIZE_MAX;
}

bool sendable(const Locator& locator) {
  return locator.length <= kMaxLocatorLength &&
         std::memchr(locator.bytes, 0, locator.length) == nullptr;
}

void putIds(comm::WireWriter& writer, const std::vector<uint32_t>& ids) {
  if (ids.size() > comm::kMaxArrayCount) {
    writer.fail(kor::Status::error(kor::Status::kLimit, "too many attribute ids"));
    return;
  }
  writer.putU8(1);
  writer.putU32(static_cast<uint32_t>(ids.size()));
  for (uint32_t id : ids) writer.putU32(id);
}

}  // namespace

// ---------------------------------------------------------------------------
// Client.

class Client::Impl {
 public:
  explicit Impl(Handler* handler) : m_handler(handler) {}

  comm::Status onMessage(comm::WireMessage& message) {
    if (message.kind != comm::kKindReply)
      return kor::Status::error(kor::Status::kProtocol, "unexpected message kind");
    comm::WireReader reader(message);
    if (message.slot == wire::kUpdateSVXVersion) {
      VersionUpdate update;
      getText(reader, &update.hasVersion, &update.version);
      reader.getBool(&update.valid);
      if (!reader.finish()) return malformed(reader);
      deliver([&] { m_handler->onVersion(update); });
      return comm::Status();
    }
    Answer answer;
    getText(reader, &answer.hasLocator, &answer.locator);
    if (message.slot == wire::kRequestImageResult) {
      answer.kind = Answer::IMAGE;
      if (reader.getBool(&answer.hasImage) && answer.hasImage) {
        getInfo(reader, &answer.hasInfo, &answer.info);
        reader.getBool(&answer.decoded);
        if (reader.ok()) {
          comm::Status payload = getPayload(reader, &answer.payload);
          if (!payload.ok()) return payload;
        }
        reader.getU32(&answer.dataLength);
      }
    } else if (message.slot == wire::kRequestImageInformationResult) {
      answer.kind = Answer::INFORMATION;
      getInfo(reader, &answer.hasInfo, &answer.info);
    } else {
      return kor::Status::error(kor::Status::kProtocol, "unknown reply slot %u", message.slot);
    }
    reader.getI32(&answer.result);
    if (!reader.finish()) return malformed(reader);
    deliver([&] { m_handler->onAnswer(answer); });
    return comm::Status();
  }

  void onClosed(const std::string& reason) {
    deliver([&] { m_handler->onClosed(reason); });
  }

  kor::Status send(comm::WireWriter& writer) { return m_connection->send(writer); }

  // Sends a request of slot |slot| for |locators| in as few messages as
  // the message bounds allow, each followed by |trailer|'s fields
  // (|trailerBytes| long). Locators that cannot be sent are answered here,
  // on the connection's thread, once the rest is sent.
  template <class Trailer>
  kor::Status sendLocators(uint32_t slot, Answer::Kind kind, const std::vector<Locator>& locators,
                           size_t trailerBytes, Trailer trailer) {
    std::vector<std::string> refused;
    size_t begin = 0;
    bool first = true;
    do {
      // The longest run from |begin| that fits one message.
      size_t bytes = comm::kWireHeaderSize + 5 + trailerBytes;
      size_t end = begin;
      uint32_t count = 0;
      for (; end < locators.size() && count < comm::kMaxArrayCount; ++end) {
        const Locator& locator = locators[end];
        if (locator.bytes != nullptr && !sendable(locator)) continue;
        const size_t more = locator.bytes == nullptr ? 1 : 5 + locator.length;
        if (bytes + more > comm::kMaxMessageSize) break;
        bytes += more;
        ++count;
      }
      comm::WireWriter writer(comm::kKindRequest, slot);
      writer.putU8(1);
      writer.putU32(count);
      for (size_t i = begin; i < end; ++i) {
        const Locator& locator = locators[i];
        if (locator.bytes == nullptr) {
          writer.putU8(0);
        } else if (sendable(locator)) {
          writer.putString(locator.bytes, locator.length);
        } else {
          try {
            refused.emplace_back(locator.bytes, locator.length);
          } catch (...) {
            return outOfMemory();
          }
        }
      }
      trailer(writer);
      // An empty request is sent as it is; one of nothing but refused
      // locators is not sent.
      if (count > 0 || (first && refused.empty())) {
        kor::Status sent = send(writer);
        if (!sent.ok()) return sent;
      }
      first = false;
      begin = end;
    } while (begin < locators.size());
    if (refused.empty()) return kor::Status();
    std::function<void()> answer;
    try {
      answer = [this, kind, refused = std::move(refused)] {
        for (const std::string& locator : refused) {
          deliver([&] {
            Answer answer;
            answer.kind = kind;
            answer.hasLocator = true;
            answer.locator = locator;
            answer.result = RESULT_INVALID_IMAGE;
            m_handler->onAnswer(answer);
          });
        }
      };
    } catch (...) {
      return outOfMemory();
    }
    if (m_connection->post(std::move(answer))) return kor::Status();
    return kor::Status::error(kor::Status::kClosed, "connection closed");
  }

  kor::Status simple(uint32_t slot) {
    comm::WireWriter writer(comm::kKindRequest, slot);
    return send(writer);
  }
  kor::Status withId(uint32_t slot, uint32_t id) {
    comm::WireWriter writer(comm::kKindRequest, slot);
    writer.putU32(id);
    return send(writer);
  }
  kor::Status withIds(uint32_t slot, const std::vector<uint32_t>& ids) {
    comm::WireWriter writer(comm::kKindRequest, slot);
    putIds(writer, ids);
    return send(writer);
  }

  Handler* m_handler;
  std::unique_ptr<comm::ClientConnection> m_connection;
  std::string m_path;

 private:
  static comm::Status malformed(comm::WireReader& reader) {
    return kor::Status::error(kor::Status::kProtocol, "malformed reply: %s",
                              reader.status().message());
  }
  // A handler that throws must not unwind through the library's thread.
  template <class F>
  void deliver(F call) {
    try {
      call();
    } catch (...) {
      comm::transportChannel().logC(4, "client handler threw an exception; ignored");
    }
  }
};

namespace {

int connectTimeoutMs(double seconds) {
  if (!(seconds > 0)) return -1;
  if (seconds > 86400.0 * 24) return 86400 * 24 * 1000;  // beyond any wait that matters
  return static_cast<int>(std::ceil(seconds * 1000.0));
}

}  // namespace

std::unique_ptr<Client> Client::connect(const ConnectOptions& options, Handler* handler,
                                        kor::Status* status) {
  return open(options, handler, status, true);
}

std::unique_ptr<Client> Client::open(const ConnectOptions& options, Handler* handler,
                                     kor::Status* status, bool ownThread) {
  kor::Status ignored;
  if (status == nullptr) status = &ignored;
  if (handler == nullptr) {
    *status = kor::Status::error(kor::Status::kInvalidArgument, "no handler");
    return nullptr;
  }
  std::unique_ptr<Impl> impl(new (std::nothrow) Impl(handler));
  if (impl == nullptr) {
    *status = outOfMemory();
    return nullptr;
  }
  Impl* raw = impl.get();
  comm::ClientConnection::Callbacks callbacks;
  callbacks.onMessage = [raw](comm::WireMessage& message) { return raw->onMessage(message); };
  callbacks.onClosed = [raw](const std::string& reason) { raw->onClosed(reason); };
  std::unique_ptr<Client> client(new (std::nothrow) Client(raw));
  if (client == nullptr) {
    *status = outOfMemory();
    return nullptr;  // |impl| still owns it
  }
  impl.release();  // the client owns it now
  kor::Status opened = comm::ClientConnection::openService(
      comm::clientRuntimeFolders(options.runtimeDir), kServiceName, options.instance,
      std::move(callbacks), &raw->m_connection, &raw->m_path, ownThread,
      connectTimeoutMs(options.connectTimeout));
  if (opened.ok()) return client;
  *status = std::move(opened);
  return nullptr;
}

std::unique_ptr<Client> Client::connect(uint32_t instance, Handler* handler, kor::Status* status) {
  ConnectOptions options;
  options.instance = instance;
  return connect(options, handler, status);
}

Client::Client(Impl* impl) : m_impl(impl) {}

Client::~Client() {
  m_impl->m_connection.reset();  // closes and joins the thread
  delete m_impl;
}

namespace {

// The locators of |texts| (|texts[i]| for i < count, or the strings of a
// vector); empty when memory is short.
std::vector<Locator> toLocators(const std::vector<std::string>& texts) {
  std::vector<Locator> locators;
  try {
    locators.resize(texts.size());
  } catch (...) {
    return locators;
  }
  for (size_t i = 0; i < texts.size(); ++i) locators[i] = {texts[i].data(), texts[i].size()};
  return locators;
}

std::vector<Locator> toLocators(const char* const* texts, size_t count) {
  std::vector<Locator> locators;
  try {
    locators.resize(count);
  } catch (...) {
    return locators;
  }
  for (size_t i = 0; i < count; ++i)
    if (texts[i] != nullptr) locators[i] = {texts[i], std::strlen(texts[i])};
  return locators;
}

// Where |locators| hold a relative path (plainly or after "file://"), the
// same locator made absolute against |cwd|, kept in |storage|; the others
// unchanged. Empty ones, absolute ones and all of them when |cwd| is empty
// stay as they are. False when memory is short.
bool makeAbsolute(const std::string& cwd, std::vector<Locator>* locators,
                  std::deque<std::string>* storage) {
  if (cwd.empty()) return true;
  try {
    for (Locator& locator : *locators) {
      const size_t start = startOfRelativePath(locator.bytes, locator.length);
      if (start == SIZE_MAX) continue;
      std::string& absolute = storage->emplace_back();
      absolute.reserve(locator.length + cwd.size() + 1);
      absolute.append(locator.bytes, start).append(cwd);
      if (cwd.back() != '/') absolute += '/';
      absolute.append(locator.bytes + start, locator.length - start);
      locator = {absolute.data(), absolute.size()};
    }
  } catch (...) {
    return false;
  }
  return true;
}

kor::Status requestImages(Client::Impl& impl, size_t count, std::vector<Locator> locators,
                          int8_t scaling, bool decode) {
  std::deque<std::string> storage;
  if (locators.size() != count || !makeAbsolute(osal::currentDirectory(), &locators, &storage))
    return outOfMemory();
  return impl.sendLocators(wire::kRequestImage, Answer::IMAGE, locators, 2,
                           [&](comm::WireWriter& writer) {
                             writer.putI8(scaling);
                             writer.putBool(decode);
                           });
}

kor::Status requestInformation(Client::Impl& impl, size_t count, std::vector<Locator> locators) {
  std::deque<std::string> storage;
  if (locators.size() != count || !makeAbsolute(osal::currentDirectory(), &locators, &storage))
    return outOfMemory();
  return impl.sendLocators(wire::kRequestImageInformation, Answer::INFORMATION, locators, 0,
                           [](comm::WireWriter&) {});
}

}  // namespace

kor::Status Client::requestImage(const std::vector<std::string>& locators, int8_t scaling,
                                 bool decode) {
  return requestImages(*m_impl, locators.size(), toLocators(locators), scaling, decode);
}

kor::Status Client::requestImage(const char* const* locators, size_t count, int8_t scaling,
                                 bool decode) {
  return requestImages(*m_impl, count, toLocators(locators, count), scaling, decode);
}

kor::Status Client::requestFiles(const std::vector<std::string>& locators, bool withInfo) {
  return requestImage(locators, withInfo ? 1 : 0, false);
}

kor::Status Client::requestImageInformation(const std::vector<std::string>& locators) {
  return requestInformation(*m_impl, locators.size(), toLocators(locators));
}

kor::Status Client::requestImageInformation(const char* const* locators, size_t count) {
  return requestInformation(*m_impl, count, toLocators(locators, count));
}

kor::Status Client::setNotification() { return m_impl->simple(wire::kSetNotificationAll); }
kor::Status Client::setNotification(uint32_t attributeId) {
  return m_impl->withId(wire::kSetNotificationOne, attributeId);
}
kor::Status Client::setNotification(const std::vector<uint32_t>& attributeIds) {
  return m_impl->withIds(wire::kSetNotificationList, attributeIds);
}
kor::Status Client::clearNotification() { return m_impl->simple(wire::kClearNotificationAll); }
kor::Status Client::clearNotification(uint32_t attributeId) {
  return m_impl->withId(wire::kClearNotificationOne, attributeId);
}
kor::Status Client::clearNotification(const std::vector<uint32_t>& attributeIds) {
  return m_impl->withIds(wire::kClearNotificationList, attributeIds);
}

bool Client::isConnected() const { return m_impl->m_connection->isConnected(); }
void Client::close() { m_impl->m_connection->close(); }
const std::string& Client::socketPath() const { return m_impl->m_path; }

bool makeLocatorAbsolute(std::string* locator) {
  if (locator == nullptr) return false;
  std::vector<Locator> one;
  std::deque<std::string> storage;
  try {
    one.push_back({locator->data(), locator->size()});
  } catch (...) {
    return false;
  }
  if (!makeAbsolute(osal::currentDirectory(), &one, &storage)) return false;
  if (!storage.empty()) locator->swap(storage.front());
  return true;
}

// ---------------------------------------------------------------------------
// SyncClient.

// The handler of a SyncClient's connection. Its callbacks run on the thread
// waiting in pumpUntil(), which reads the connection itself.
class SyncClient::Impl : public Handler {
 public:
  void onAnswer(const Answer& answer) override {
    if (!m_waiting || answer.kind != m_kind) return;  // late answer of an abandoned request
    try {
      m_answers.push_back(answer);
    } catch (...) {
    }
  }
  void onVersion(const VersionUpdate& update) override {
    m_version = update;
    m_haveVersion = true;
  }
  void onClosed(const std::string& reason) override {
    m_closed = true;
    m_closeReason = reason;
  }

  // Reads messages on this thread (the connection has no thread of its
  // own) until |finished| holds, the connection closes or |timeoutSeconds|
  // pass. Called with m_request held.
  template <class Finished>
  void pumpUntil(double timeoutSeconds, Finished finished) {
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(timeoutSeconds > 0 ? timeoutSeconds : 0));
    for (;;) {
      if (finished() || m_closed) return;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      const int wait = left.count() > 1000 ? 1000 : static_cast<int>(left.count());
      if (!m_client->m_impl->m_connection->pump(wait)) {
        m_closed = true;
        if (m_closeReason.empty()) m_closeReason = "connection closed";
        return;
      }
    }
  }

  // Waits for |count| answers; called with m_request held.
  kor::Status collect(size_t count, double timeoutSeconds, std::vector<Answer>* answers) {
    pumpUntil(timeoutSeconds, [&] { return m_answers.size() >= count; });
    const bool done = m_answers.size() >= count;
    if (answers != nullptr) answers->swap(m_answers);
    m_answers.clear();
    m_waiting = false;
    return done ? kor::Status() : unfinished();
  }

  // Why a wait ended before its answer came.
  kor::Status unfinished() const {
    if (m_closed)
      return kor::Status::error(kor::Status::kClosed, "connection closed: %s",
                                m_closeReason.c_str());
    return kor::Status::error(kor::Status::kTimedOut, "timed out");
  }

  void begin(Answer::Kind kind) {
    m_answers.clear();
    m_kind = kind;
    m_waiting = true;
  }
  void abandon() {
    m_answers.clear();
    m_waiting = false;
  }

  std::mutex m_request;  // one request at a time
  // Touched only by the thread holding m_request (the callbacks run on it).
  std::vector<Answer> m_answers;
  Answer::Kind m_kind = Answer::IMAGE;
  bool m_waiting = false;
  bool m_closed = false;
  std::string m_closeReason;
  VersionUpdate m_version;
  bool m_haveVersion = false;
  std::unique_ptr<Client> m_client;
};

std::unique_ptr<SyncClient> SyncClient::connect(const ConnectOptions& options,
                                                kor::Status* status) {
  std::unique_ptr<Impl> impl(new (std::nothrow) Impl());
  if (impl == nullptr) {
    if (status != nullptr) *status = outOfMemory();
    return nullptr;
  }
  impl->m_client = Client::open(options, impl.get(), status, false);
  if (impl->m_client == nullptr) return nullptr;
  std::unique_ptr<SyncClient> client(new (std::nothrow) SyncClient(impl.get()));
  if (client == nullptr) {
    if (status != nullptr) *status = outOfMemory();
    return nullptr;
  }
  impl.release();
  return client;
}

std::unique_ptr<SyncClient> SyncClient::connect(uint32_t instance, kor::Status* status) {
  ConnectOptions options;
  options.instance = instance;
  return connect(options, status);
}

SyncClient::SyncClient(Impl* impl) : m_impl(impl) {}

const std::string& SyncClient::socketPath() const { return m_impl->m_client->socketPath(); }

SyncClient::~SyncClient() {
  m_impl->m_client.reset();
  delete m_impl;
}

kor::Status SyncClient::requestImages(const std::vector<std::string>& locators, int8_t scaling,
                                      bool decode, double timeoutSeconds,
                                      std::vector<Answer>* answers) {
  std::lock_guard<std::mutex> request(m_impl->m_request);
  m_impl->begin(Answer::IMAGE);
  kor::Status sent = m_impl->m_client->requestImage(locators, scaling, decode);
  if (!sent.ok()) {
    m_impl->abandon();
    if (answers != nullptr) answers->clear();
    return sent;
  }
  return m_impl->collect(locators.size(), timeoutSeconds, answers);
}

kor::Status SyncClient::requestFiles(const std::vector<std::string>& locators, bool withInfo,
                                     double timeoutSeconds, std::vector<Answer>* answers) {
  return requestImages(locators, withInfo ? 1 : 0, false, timeoutSeconds, answers);
}

kor::Status SyncClient::requestInformation(const std::vector<std::string>& locators,
                                           double timeoutSeconds, std::vector<Answer>* answers) {
  std::lock_guard<std::mutex> request(m_impl->m_request);
  m_impl->begin(Answer::INFORMATION);
  kor::Status sent = m_impl->m_client->requestImageInformation(locators);
  if (!sent.ok()) {
    m_impl->abandon();
    if (answers != nullptr) answers->clear();
    return sent;
  }
  return m_impl->collect(locators.size(), timeoutSeconds, answers);
}

kor::Status SyncClient::interfaceVersion(double timeoutSeconds, VersionUpdate* update) {
  std::lock_guard<std::mutex> request(m_impl->m_request);
  m_impl->m_haveVersion = false;
  kor::Status sent = m_impl->m_client->setNotification(kVersionAttributeId);
  if (!sent.ok()) return sent;
  m_impl->pumpUntil(timeoutSeconds, [&] { return m_impl->m_haveVersion; });
  if (!m_impl->m_haveVersion) return m_impl->unfinished();
  if (update != nullptr) *update = m_impl->m_version;
  // Only the subscription's answer was wanted; a failure to end it shows at
  // the next request.
  (void)m_impl->m_client->clearNotification(kVersionAttributeId);
  return kor::Status();
}

bool SyncClient::isConnected() const { return m_impl->m_client->isConnected(); }

}  // namespace client
}  // namespace imageserver
