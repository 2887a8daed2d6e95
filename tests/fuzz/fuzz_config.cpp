// The configuration store's parser on arbitrary documents.
#include <sys/stat.h>

#include "fuzz_support.h"
#include "platform/kor.h"
#include "platform/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    util::config::Provider::setStoreRoot(fuzzsupport::scratchDir().c_str());
    mkdir((fuzzsupport::scratchDir() + "/imageserver").c_str(), 0700);
    return true;
  }();
  (void)ready;
  fuzzsupport::writeScratch("imageserver/config.json", data, size);
  util::config::Provider provider("imageserver", "config", 0,
                                  util::config::Provider::kLoadAtConstruction);
  if (!provider.isLoaded()) {
    kor::ErrorStorage::ack();
    return 0;
  }
  for (const char* key : {"whitelist", "blacklist"}) {
    util::config::Value list = provider.root().get(key);
    for (uint32_t i = 0; i < list.count(); ++i) (void)list.at(i).asString();
  }
  return 0;
}
