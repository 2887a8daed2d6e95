// Framework utilities: the UTF-8 string type and the configuration store.
#ifndef PLATFORM_UTIL_H_
#define PLATFORM_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace util {

struct UnicodeString_common {
  // The bytes are always UTF-8; the value keeps the framework's numbering.
  enum Encoding { kUtf8 = 3 };
};

// A string of UTF-8 bytes. The bytes are stored as given: invalid UTF-8 and
// embedded NULs are kept, never rejected or repaired, since paths on the file
// system are byte strings. Not thread-safe for concurrent modification;
// concurrent reads are fine.
class UnicodeString8 {
 public:
  UnicodeString8() = default;
  // Copies the NUL-terminated |text| (null reads as empty).
  explicit UnicodeString8(const char* text,
                          UnicodeString_common::Encoding encoding = UnicodeString_common::kUtf8);
  UnicodeString8(const char* bytes, size_t length,
                 UnicodeString_common::Encoding encoding = UnicodeString_common::kUtf8);

  // The bytes, NUL-terminated. Valid while the string is unchanged.
  const char* utf8() const { return m_bytes.c_str(); }
  size_t length() const { return m_bytes.size(); }
  bool isEmpty() const { return m_bytes.empty(); }

  // True if this string starts with the bytes of |prefix| (byte comparison;
  // an empty prefix matches every string).
  bool beginsWith(const UnicodeString8& prefix) const;

  // Returns a copy of this string in which the first occurrence of |find| is
  // replaced by |with|; this string is not changed. An empty |find| or no
  // occurrence returns an unchanged copy. Only the first occurrence is
  // replaced, so "file://file:///a" becomes "file:///a": a locator is never
  // rewritten into a path that its sender did not spell.
  UnicodeString8 replace(const UnicodeString8& find, const UnicodeString8& with) const;

  bool operator==(const UnicodeString8& other) const { return m_bytes == other.m_bytes; }
  bool operator!=(const UnicodeString8& other) const { return m_bytes != other.m_bytes; }

 private:
  std::string m_bytes;
};

namespace config {

class ProviderData;

// A read-only view of one value of a configuration document. A view of a
// missing value is valid to use: it is an empty list and an empty string.
// Views stay valid as long as their Provider.
class Value {
 public:
  Value() = default;
  // The member |key| of an object; a missing value otherwise.
  Value get(const char* key) const;
  // Number of elements of a list; 0 for anything that is not a list.
  uint32_t count() const;
  // Element |index| of a list; a missing value when out of range.
  Value at(uint32_t index) const;
  // The text of a string value; "" for anything else.
  std::string asString() const;
  bool isMissing() const { return m_node == nullptr; }

 private:
  friend class Provider;
  explicit Value(const void* node) : m_node(node) {}
  const void* m_node = nullptr;
};

// The configuration store: one JSON document per (first name, second name),
// stored at <store root>/<first name>/<second name>.json. So the image
// service reads <store root>/imageserver/config.json.
//
// The store root is, in this order of precedence: the root set with
// setStoreRoot(); the environment variable UTIL_CONFIG_ROOT; the system
// default "/etc/svx/config".
//
// Documents are limited to 1 MiB and to 64 levels of nesting; larger or deeper
// documents are refused with a reason, as are unreadable files, parse errors
// (with line and column) and documents whose root is not an object. On any
// failure isLoaded() is false and the reason is left in the constructing
// thread's kor::ErrorStorage. No exception leaves this class.
class Provider {
 public:
  enum LoadStrategy { kLoadAtConstruction = 0 };

  // Loads the document at once. |flags| is reserved and must be 0.
  Provider(const char* firstName, const char* secondName, unsigned int flags,
           LoadStrategy strategy);
  ~Provider();
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  bool isLoaded() const { return m_data != nullptr; }
  // The document's root object; a missing value when not loaded.
  Value root() const;

  // Sets the store root for every Provider constructed afterwards; null or ""
  // returns to the environment variable or the system default. Thread-safe.
  static void setStoreRoot(const char* path);
  // The store root that a Provider constructed now would use.
  static std::string storeRoot();

 private:
  ProviderData* m_data = nullptr;
};

}  // namespace config
}  // namespace util

#endif  // PLATFORM_UTIL_H_
