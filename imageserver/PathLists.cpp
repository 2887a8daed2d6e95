#include "imageserver/ImageServer.h"

void ImageServer::addToPathList(const char* path, bool whitelist) {
  osal::Path canonical = osal::Path(path).getCanonicalized();
  if (canonical.isEmpty()) return;
  util::UnicodeString8 entry(canonical.c_str(), canonical.str().size(),
                             util::UnicodeString_common::kUtf8);

  osal::MutexLocker locker(m_mutex);
  kor::vector<util::UnicodeString8>& list = whitelist ? m_whitelist : m_blacklist;
  if (!isListed(list, entry)) list.push_back(entry);
}

void ImageServer::clearPathList(bool whitelist) {
  osal::MutexLocker locker(m_mutex);
  (whitelist ? m_whitelist : m_blacklist).clear();
}

bool ImageServer::isListed(kor::vector<util::UnicodeString8>& list, util::UnicodeString8& path) {
  for (uint32_t i = 0; i < list.size(); ++i) {
    if (path.beginsWith(list[i])) return true;
  }
  return false;
}

bool ImageServer::isBlacklisted(util::UnicodeString8& path) {
  osal::MutexLocker locker(m_mutex);
  return isListed(m_blacklist, path);
}

bool ImageServer::isWhitelisted(util::UnicodeString8& path) {
  osal::MutexLocker locker(m_mutex);
  return isListed(m_whitelist, path);
}

kor::vector<util::UnicodeString8> ImageServer::blacklist() {
  osal::MutexLocker locker(m_mutex);
  return m_blacklist;
}

kor::vector<util::UnicodeString8> ImageServer::whitelist() {
  osal::MutexLocker locker(m_mutex);
  return m_whitelist;
}
