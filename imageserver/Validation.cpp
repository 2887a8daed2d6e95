#include <cctype>
#include <string>
#include <utility>

#include "imageserver/ImageServer.h"

util::UnicodeString8 ImageServer::resolvePath(CIPtr<CIString> locator) {
  const util::UnicodeString8 prefix("file://", util::UnicodeString_common::UTF8);
  const util::UnicodeString8 nothing("", util::UnicodeString_common::UTF8);
  if (locator.isNull()) return nothing;
  return locator->replace(prefix, nothing);
}

bool ImageServer::isImagePath(CIPtr<CIString> locator) {
  return isImagePath(std::move(locator), nullptr);
}

bool ImageServer::isImagePath(CIPtr<CIString> locator, osal::FileIdentity* accepted) {
  util::UnicodeString8 resolved = resolvePath(locator);
  osal::Path canonical =
      osal::Path(std::string(resolved.utf8(), resolved.length())).getCanonicalized();
  if (canonical.isEmpty()) return false;

  osal::FileInfo info;
  info.init(canonical.c_str(), true);
  if (!info.isValid()) {
    kor::ErrorStorage::ack();
    return false;
  }
  if ((info.mode() & 0xF000u) != 0x8000u) return false;
  if (accepted != nullptr) *accepted = info.identity();

  if (!extensionCheck()) return true;

  util::UnicodeString8 path(canonical.c_str(), canonical.str().size(),
                            util::UnicodeString_common::UTF8);
  if (isBlacklisted(path)) return false;
  if (isWhitelisted(path)) return true;

  std::string extension = canonical.getExtension(true);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const char* const kAccepted[] = {"jpg", "jpeg", "png", "gif", "bmp"};
  for (const char* accepted : kAccepted) {
    if (extension == accepted) return true;
  }
  return false;
}
