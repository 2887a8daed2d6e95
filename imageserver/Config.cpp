#include "imageserver/Channels.h"
#include "imageserver/ImageServer.h"

namespace {

// Adds every non-empty string under |key| to one list of |server|.
void addConfiguredEntries(ImageServer* server, const util::config::Value& root, const char* key,
                          bool whitelist) {
  util::config::Value list = root.get(key);
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string text = list.at(i).asString();
    if (!text.empty()) server->addToPathList(text.c_str(), whitelist);
  }
}

}  // namespace

void ImageServer::loadConfig() {
  util::config::Provider provider("imageserver", "config", 0,
                                  util::config::Provider::kLoadAtConstruction);
  if (!provider.isLoaded()) {
    TRACE(g_workerChannel, 3, "Cannot load image server config (%s), starting with defaults",
          kor::ErrorStorage::reason());
    kor::ErrorStorage::ack();
    return;
  }

  addConfiguredEntries(this, provider.root(), "whitelist", true);
  addConfiguredEntries(this, provider.root(), "blacklist", false);

  if (g_workerChannel.isEnabled(1)) {
    uint32_t whitelisted;
    uint32_t blacklisted;
    {
      osal::MutexLocker locker(m_mutex);
      whitelisted = m_whitelist.size();
      blacklisted = m_blacklist.size();
    }
    g_workerChannel.logCV(1, "config loaded, %i entries in whitelist, %i entries in blacklist",
                          static_cast<int>(whitelisted), static_cast<int>(blacklisted));
  }
}
