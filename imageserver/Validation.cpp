#include <cctype>
#include <cerrno>
#include <string>
#include <utility>

#include "imageserver/ImageServer.h"

util::UnicodeString8 ImageServer::resolvePath(CIPtr<CIString> locator) {
  const util::UnicodeString8 prefix("file://", util::UnicodeString_common::kUtf8);
  const util::UnicodeString8 nothing("", util::UnicodeString_common::kUtf8);
  if (locator.isNull()) return nothing;
  return locator->replace(prefix, nothing);
}

bool ImageServer::isImagePath(CIPtr<CIString> locator) {
  return isImagePath(std::move(locator), nullptr);
}

bool ImageServer::isImagePath(CIPtr<CIString> locator, osal::FileIdentity* accepted) {
  return isImagePath(std::move(locator), accepted, nullptr);
}

const char* ImageServer::rejectionText(Rejection why) {
  switch (why) {
    case Rejection::kNone:
      return "";
    case Rejection::kPermissionDenied:
      return "permission denied for the service's user";
    case Rejection::kNoSuchFile:
      return "no such file";
    case Rejection::kNotRegularFile:
      return "not a regular file";
    case Rejection::kBlacklisted:
      return "blacklisted";
    case Rejection::kExtension:
      return "extension not accepted";
  }
  return "";
}

bool ImageServer::isImagePath(CIPtr<CIString> locator, osal::FileIdentity* accepted,
                              Rejection* why) {
  Rejection ignored;
  if (why == nullptr) why = &ignored;
  *why = Rejection::kNone;
  auto refuse = [why](Rejection cause) {
    *why = cause;
    return false;
  };
  util::UnicodeString8 resolved = resolvePath(locator);
  osal::Path canonical =
      osal::Path(std::string(resolved.utf8(), resolved.length())).getCanonicalized();
  if (canonical.isEmpty()) return refuse(Rejection::kNoSuchFile);

  osal::FileInfo info;
  info.init(canonical.c_str(), true);
  if (!info.isValid()) {
    kor::ErrorStorage::ack();
    // A folder on the path that the service's user may not search hides the
    // file as well as its absence would, but the remedy differs.
    const bool denied = info.error() == EACCES || info.error() == EPERM;
    return refuse(denied ? Rejection::kPermissionDenied : Rejection::kNoSuchFile);
  }
  if ((info.mode() & 0xF000u) != 0x8000u) return refuse(Rejection::kNotRegularFile);
  if (accepted != nullptr) *accepted = info.identity();

  if (!extensionCheck()) return true;

  util::UnicodeString8 path(canonical.c_str(), canonical.str().size(),
                            util::UnicodeString_common::kUtf8);
  if (isBlacklisted(path)) return refuse(Rejection::kBlacklisted);
  if (isWhitelisted(path)) return true;

  std::string extension = canonical.getExtension(true);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const char* const kAccepted[] = {"jpg", "jpeg", "png", "gif", "bmp"};
  for (const char* accepted : kAccepted) {
    if (extension == accepted) return true;
  }
  return refuse(Rejection::kExtension);
}
