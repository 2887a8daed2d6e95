// The C interface (imageserver/client.h) over SyncClient. Every function
// catches what the C++ layer below could throw, so nothing crosses into C.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "imageserver/client.h"
#include "svx/imageserver/client/ImageServerClient.h"

using imageserver::client::Answer;
using imageserver::client::SyncClient;

struct imageserver_client {
  std::unique_ptr<SyncClient> sync;
  double requestTimeout = 30.0;
};

struct imageserver_answers {
  // The C++ answers own the locators' texts and the payloads (mappings);
  // items[i] points into answers[i].
  std::vector<Answer> answers;
  std::vector<imageserver_answer> items;
};

namespace {

constexpr double kDefaultTimeout = 30.0;

void setError(imageserver_error* error, int32_t code, const char* message) {
  if (error == nullptr) return;
  error->code = code;
  std::snprintf(error->message, sizeof error->message, "%s", message);
}

void clearError(imageserver_error* error) { setError(error, IMAGESERVER_OK, ""); }

int32_t fail(imageserver_error* error, int32_t code, const char* message) {
  setError(error, code, message);
  return code;
}

// A request's wait: a limit of 0 or less stands for no limit.
double waitSeconds(double timeout) { return timeout > 0 ? timeout : 1e9; }

// The code of a failed request from SyncClient's reason text.
int32_t requestFailure(const imageserver_client* client, const kor::Status& status) {
  if (status.code() == kor::Status::kTimedOut) return IMAGESERVER_ERROR_TIMEOUT;
  if (!client->sync->isConnected() || status.code() == kor::Status::kClosed)
    return IMAGESERVER_ERROR_CLOSED;
  return IMAGESERVER_ERROR_REQUEST;
}

// Puts |received| (arrival order) in the order of |sent|: an answer goes to
// the first locator of its text not yet answered; one that names no
// locator sent takes the first slot still empty.
bool inRequestOrder(const std::vector<std::string>& sent, std::vector<Answer>* received) {
  std::unordered_map<std::string, std::vector<size_t>> slots;
  for (size_t i = sent.size(); i-- > 0;) slots[sent[i]].push_back(i);
  std::vector<Answer> ordered(sent.size());
  std::vector<bool> filled(sent.size(), false);
  std::vector<Answer*> strays;
  for (Answer& answer : *received) {
    auto found = answer.hasLocator ? slots.find(answer.locator) : slots.end();
    if (found == slots.end() || found->second.empty()) {
      strays.push_back(&answer);
      continue;
    }
    const size_t slot = found->second.back();
    found->second.pop_back();
    ordered[slot] = std::move(answer);
    filled[slot] = true;
  }
  size_t next = 0;
  for (Answer* stray : strays) {
    while (next < filled.size() && filled[next]) ++next;
    if (next == filled.size()) return false;
    ordered[next] = std::move(*stray);
    filled[next] = true;
  }
  received->swap(ordered);
  return true;
}

enum class Kind { INFO, READ, DECODE };

int32_t request(imageserver_client* client, Kind kind, const char* const* locators, size_t count,
                int32_t scale, imageserver_answers** out, imageserver_error* error) {
  if (out != nullptr) *out = nullptr;
  if (client == nullptr || out == nullptr || (locators == nullptr && count > 0))
    return fail(error, IMAGESERVER_ERROR_INVALID_ARGUMENT, "null client, answers or locators");
  if (scale < 0 || scale > 127)
    return fail(error, IMAGESERVER_ERROR_INVALID_ARGUMENT, "scale out of range (0 to 127)");
  try {
    std::unique_ptr<imageserver_answers> result(new (std::nothrow) imageserver_answers());
    if (result == nullptr) return fail(error, IMAGESERVER_ERROR_OUT_OF_MEMORY, "out of memory");
    std::vector<std::string> sent;
    sent.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      if (locators[i] == nullptr || locators[i][0] == '\0')
        return fail(error, IMAGESERVER_ERROR_INVALID_ARGUMENT, "null or empty locator");
      sent.emplace_back(locators[i]);
      if (!imageserver::client::makeLocatorAbsolute(&sent.back()))
        return fail(error, IMAGESERVER_ERROR_OUT_OF_MEMORY, "out of memory");
    }
    if (count > 0) {
      const double wait = waitSeconds(client->requestTimeout);
      // Scaling 1 with the file bytes attaches their information record.
      const kor::Status done = kind == Kind::INFO
                                   ? client->sync->requestInformation(sent, wait, &result->answers)
                                   : client->sync->requestImages(
                                         sent, static_cast<int8_t>(kind == Kind::READ ? 1 : scale),
                                         kind == Kind::DECODE, wait, &result->answers);
      if (!done.ok()) return fail(error, requestFailure(client, done), done.message());
      if (!inRequestOrder(sent, &result->answers))
        return fail(error, IMAGESERVER_ERROR_REQUEST, "more answers than locators");
    }
    result->items.resize(result->answers.size());
    for (size_t i = 0; i < result->answers.size(); ++i) {
      const Answer& answer = result->answers[i];
      imageserver_answer& item = result->items[i];
      item.locator = answer.locator.c_str();
      item.result = answer.result;
      item.has_info = answer.hasInfo ? 1 : 0;
      item.format = answer.hasInfo ? answer.info.format : IMAGESERVER_FORMAT_UNKNOWN;
      item.width = answer.info.width;
      item.height = answer.info.height;
      item.hash = answer.info.hash;
      item.file_size = answer.info.fileSize;
      item.decoded = answer.decoded ? 1 : 0;
      item.shared = answer.payload.isShared() ? 1 : 0;
      item.data = answer.data();
      item.length = answer.length();
    }
    clearError(error);
    *out = result.release();
    return IMAGESERVER_OK;
  } catch (const std::bad_alloc&) {
    return fail(error, IMAGESERVER_ERROR_OUT_OF_MEMORY, "out of memory");
  } catch (...) {
    return fail(error, IMAGESERVER_ERROR_REQUEST, "request failed");
  }
}

}  // namespace

extern "C" {

void imageserver_connect_options_init(imageserver_connect_options* options) {
  if (options == nullptr) return;
  options->instance = 0;
  options->runtime_dir = nullptr;
  options->connect_timeout = kDefaultTimeout;
  options->request_timeout = kDefaultTimeout;
}

imageserver_client* imageserver_connect(const imageserver_connect_options* options,
                                        imageserver_error* error) {
  imageserver_connect_options defaults;
  imageserver_connect_options_init(&defaults);
  if (options == nullptr) options = &defaults;
  try {
    std::unique_ptr<imageserver_client> client(new (std::nothrow) imageserver_client());
    if (client == nullptr) {
      setError(error, IMAGESERVER_ERROR_OUT_OF_MEMORY, "out of memory");
      return nullptr;
    }
    imageserver::client::ConnectOptions connect;
    connect.instance = options->instance;
    if (options->runtime_dir != nullptr) connect.runtimeDir = options->runtime_dir;
    connect.connectTimeout = options->connect_timeout;
    kor::Status reached;
    client->sync = SyncClient::connect(connect, &reached);
    if (client->sync == nullptr) {
      setError(error,
               reached.code() == kor::Status::kNoMemory ? IMAGESERVER_ERROR_OUT_OF_MEMORY
                                                        : IMAGESERVER_ERROR_CONNECT,
               reached.message());
      return nullptr;
    }
    client->requestTimeout = options->request_timeout;
    clearError(error);
    return client.release();
  } catch (...) {
    setError(error, IMAGESERVER_ERROR_OUT_OF_MEMORY, "out of memory");
    return nullptr;
  }
}

void imageserver_close(imageserver_client* client) { delete client; }

int32_t imageserver_info(imageserver_client* client, const char* const* locators, size_t count,
                         imageserver_answers** answers, imageserver_error* error) {
  return request(client, Kind::INFO, locators, count, 0, answers, error);
}

int32_t imageserver_read(imageserver_client* client, const char* const* locators, size_t count,
                         imageserver_answers** answers, imageserver_error* error) {
  return request(client, Kind::READ, locators, count, 0, answers, error);
}

int32_t imageserver_decode(imageserver_client* client, const char* const* locators, size_t count,
                           int32_t scale, imageserver_answers** answers, imageserver_error* error) {
  return request(client, Kind::DECODE, locators, count, scale, answers, error);
}

size_t imageserver_answers_count(const imageserver_answers* answers) {
  return answers == nullptr ? 0 : answers->items.size();
}

const imageserver_answer* imageserver_answers_get(const imageserver_answers* answers,
                                                  size_t index) {
  if (answers == nullptr || index >= answers->items.size()) return nullptr;
  return &answers->items[index];
}

void imageserver_answers_release(imageserver_answers* answers) { delete answers; }

int32_t imageserver_interface_version(imageserver_client* client, char* buffer, size_t size,
                                      imageserver_error* error) {
  if (client == nullptr || buffer == nullptr || size == 0)
    return fail(error, IMAGESERVER_ERROR_INVALID_ARGUMENT, "null client or no buffer");
  buffer[0] = '\0';
  try {
    imageserver::client::VersionUpdate update;
    const kor::Status asked =
        client->sync->interfaceVersion(waitSeconds(client->requestTimeout), &update);
    if (!asked.ok()) return fail(error, requestFailure(client, asked), asked.message());
    if (!update.hasVersion)
      return fail(error, IMAGESERVER_ERROR_NO_VERSION, "the service has published no version yet");
    std::snprintf(buffer, size, "%s", update.version.c_str());
    clearError(error);
    return IMAGESERVER_OK;
  } catch (...) {
    return fail(error, IMAGESERVER_ERROR_OUT_OF_MEMORY, "out of memory");
  }
}

const char* imageserver_result_name(int32_t result) {
  return imageserver::client::resultName(result);
}

const char* imageserver_format_name(int32_t format) {
  return imageserver::client::formatName(format);
}

}  // extern "C"
