#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/kor.h"
#include "platform/util.h"

namespace util {
namespace config {

namespace {

constexpr const char* kDefaultStoreRoot = "/etc/svx/config";
constexpr const char* kStoreRootVariable = "UTIL_CONFIG_ROOT";
constexpr size_t kMaxDocumentBytes = 1u << 20;
constexpr int kMaxDepth = 64;

std::mutex g_rootMutex;
std::string g_storeRoot;  // Guarded by g_rootMutex; empty: not set by the host.

// The nesting depth of |text|'s arrays and objects, ignoring string contents.
// Stops counting past |limit|.
int nestingDepth(const std::string& text, int limit) {
  int depth = 0;
  int deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest && (deepest = depth) > limit) return deepest;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// Line and column (from 1) of byte |offset| of |text|.
void lineAndColumn(const std::string& text, size_t offset, size_t* line, size_t* column) {
  *line = 1;
  *column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++*line;
      *column = 1;
    } else {
      ++*column;
    }
  }
}

kor::Status readDocument(const std::string& path, std::string* text) {
  using kor::Status;
  FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    if (errno == ENOENT)
      return Status::error(Status::kNotFound, "no configuration file %s", path.c_str());
    return Status::fromErrno(errno, "cannot read %s", path.c_str());
  }
  char buffer[65536];
  size_t n;
  Status status;
  while (status.ok() && (n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    if (text->size() + n > kMaxDocumentBytes)
      status = Status::error(Status::kLimit, "configuration file %s is larger than %zu bytes",
                             path.c_str(), kMaxDocumentBytes);
    else
      text->append(buffer, n);
  }
  if (status.ok() && std::ferror(file))
    status = Status::error(Status::kIo, "cannot read %s: read error", path.c_str());
  std::fclose(file);
  return status;
}

// The document at |path|, parsed into |document|.
kor::Status parseDocument(const std::string& path, nlohmann::json* document) {
  using kor::Status;
  std::string text;
  Status status = readDocument(path, &text);
  if (!status.ok()) return status;
  if (nestingDepth(text, kMaxDepth) > kMaxDepth)
    return Status::error(Status::kLimit, "%s: nested deeper than %d levels", path.c_str(),
                         kMaxDepth);
  try {
    *document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    size_t line, column;
    lineAndColumn(text, error.byte > 0 ? error.byte - 1 : 0, &line, &column);
    return Status::error(Status::kCorrupt, "%s: parse error at line %zu, column %zu", path.c_str(),
                         line, column);
  } catch (const nlohmann::json::exception& error) {
    // Valid syntax the parser still refuses, such as a number out of range.
    return Status::error(Status::kCorrupt, "%s: %s", path.c_str(), error.what());
  }
  if (!document->is_object())
    return Status::error(Status::kCorrupt, "%s: the root is not an object", path.c_str());
  return Status();
}

}  // namespace

class ProviderData {
 public:
  nlohmann::json document;
};

Value Value::get(const char* key) const {
  const auto* node = static_cast<const nlohmann::json*>(m_node);
  if (node == nullptr || !node->is_object() || key == nullptr) return Value();
  auto it = node->find(key);
  return it == node->end() ? Value() : Value(&*it);
}

uint32_t Value::count() const {
  const auto* node = static_cast<const nlohmann::json*>(m_node);
  if (node == nullptr || !node->is_array()) return 0;
  return static_cast<uint32_t>(node->size());
}

Value Value::at(uint32_t index) const {
  const auto* node = static_cast<const nlohmann::json*>(m_node);
  if (node == nullptr || !node->is_array() || index >= node->size()) return Value();
  return Value(&(*node)[index]);
}

std::string Value::asString() const {
  const auto* node = static_cast<const nlohmann::json*>(m_node);
  if (node == nullptr || !node->is_string()) return std::string();
  return node->get_ref<const std::string&>();
}

Provider::Provider(const char* firstName, const char* secondName, unsigned int, LoadStrategy) {
  using kor::Status;
  try {
    if (firstName == nullptr || secondName == nullptr || *firstName == '\0' ||
        *secondName == '\0' || std::strchr(firstName, '/') != nullptr ||
        std::strchr(secondName, '/') != nullptr) {
      kor::ErrorStorage::set(Status::error(Status::kInvalidArgument, "invalid configuration name"));
      return;
    }
    const std::string path = storeRoot() + "/" + firstName + "/" + secondName + ".json";
    std::unique_ptr<ProviderData> data(new ProviderData());
    if (kor::toErrorStorage(parseDocument(path, &data->document))) m_data = data.release();
  } catch (...) {
    kor::ErrorStorage::set(
        Status::error(Status::kNoMemory, "cannot load configuration: out of memory"));
  }
}

Provider::~Provider() { delete m_data; }

Value Provider::root() const { return m_data != nullptr ? Value(&m_data->document) : Value(); }

void Provider::setStoreRoot(const char* path) {
  std::lock_guard<std::mutex> lock(g_rootMutex);
  g_storeRoot = path != nullptr ? path : "";
}

std::string Provider::storeRoot() {
  {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    if (!g_storeRoot.empty()) return g_storeRoot;
  }
  const char* fromEnvironment = std::getenv(kStoreRootVariable);
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  return kDefaultStoreRoot;
}

}  // namespace config
}  // namespace util
