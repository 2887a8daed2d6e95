// Where the service of a given instance can be reached: the naming the
// transport uses for its sockets.
#ifndef TOOLS_COMMON_PATHS_H_
#define TOOLS_COMMON_PATHS_H_

#include <cstdint>
#include <string>

namespace tools {

// The service's runtime folder: $COMM_RUNTIME_DIR when set, otherwise
// $XDG_RUNTIME_DIR/imageserver, otherwise /tmp/imageserver-<uid>.
std::string runtimeDir();

// The socket of instance |instance| of "svx.imageserver.ImageServer" in
// that folder.
std::string serviceSocketPath(uint32_t instance);

}  // namespace tools

#endif  // TOOLS_COMMON_PATHS_H_
