#include "tools/common/paths.h"

#include <unistd.h>

#include <cstdlib>

namespace tools {

std::string runtimeDir() {
  const char* dir = std::getenv("COMM_RUNTIME_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/imageserver";
  return "/tmp/imageserver-" + std::to_string(getuid());
}

std::string serviceSocketPath(uint32_t instance) {
  return runtimeDir() + "/svx.imageserver.ImageServer." + std::to_string(instance);
}

}  // namespace tools
