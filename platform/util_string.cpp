#include "platform/util.h"

namespace util {

UnicodeString8::UnicodeString8(const char* text, UnicodeString_common::Encoding)
    : m_bytes(text != nullptr ? text : "") {}

UnicodeString8::UnicodeString8(const char* bytes, size_t length, UnicodeString_common::Encoding)
    : m_bytes(bytes != nullptr ? std::string(bytes, length) : std::string()) {}

bool UnicodeString8::beginsWith(const UnicodeString8& prefix) const {
  return m_bytes.compare(0, prefix.m_bytes.size(), prefix.m_bytes) == 0 &&
         m_bytes.size() >= prefix.m_bytes.size();
}

UnicodeString8 UnicodeString8::replace(const UnicodeString8& find,
                                       const UnicodeString8& with) const {
  UnicodeString8 result(*this);
  if (find.m_bytes.empty()) return result;
  size_t at = result.m_bytes.find(find.m_bytes);
  if (at != std::string::npos) result.m_bytes.replace(at, find.m_bytes.size(), with.m_bytes);
  return result;
}

}  // namespace util
