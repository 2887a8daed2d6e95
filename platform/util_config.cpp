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

bool readDocument(const std::string& path, std::string* text) {
  FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    int err = errno;
    if (err == ENOENT)
      kor::ErrorStorage::set("no configuration file %s", path.c_str());
    else
      kor::ErrorStorage::setErrno(("cannot read " + path).c_str(), err);
    return false;
  }
  char buffer[65536];
  size_t n;
  bool ok = true;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    if (text->size() + n > kMaxDocumentBytes) {
      kor::ErrorStorage::set("configuration file %s is larger than %zu bytes", path.c_str(),
                             kMaxDocumentBytes);
      ok = false;
      break;
    }
    text->append(buffer, n);
  }
  if (ok && std::ferror(file)) {
    kor::ErrorStorage::set("cannot read %s: read error", path.c_str());
    ok = false;
  }
  std::fclose(file);
  return ok;
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
  try {
    if (firstName == nullptr || secondName == nullptr || *firstName == '\0' ||
        *secondName == '\0' || std::strchr(firstName, '/') != nullptr ||
        std::strchr(secondName, '/') != nullptr) {
      kor::ErrorStorage::set("invalid configuration name");
      return;
    }
    const std::string path = storeRoot() + "/" + firstName + "/" + secondName + ".json";
    std::string text;
    if (!readDocument(path, &text)) return;
    if (nestingDepth(text, kMaxDepth) > kMaxDepth) {
      kor::ErrorStorage::set("%s: nested deeper than %d levels", path.c_str(), kMaxDepth);
      return;
    }
    std::unique_ptr<ProviderData> data(new ProviderData());
    try {
      data->document = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& error) {
      size_t line, column;
      lineAndColumn(text, error.byte > 0 ? error.byte - 1 : 0, &line, &column);
      kor::ErrorStorage::set("%s: parse error at line %zu, column %zu", path.c_str(), line, column);
      return;
    } catch (const nlohmann::json::exception& error) {
      // Valid syntax the parser still refuses, such as a number out of range.
      kor::ErrorStorage::set("%s: %s", path.c_str(), error.what());
      return;
    }
    if (!data->document.is_object()) {
      kor::ErrorStorage::set("%s: the root is not an object", path.c_str());
      return;
    }
    m_data = data.release();
  } catch (...) {
    kor::ErrorStorage::set("cannot load configuration: out of memory");
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
