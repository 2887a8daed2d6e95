// The runtime folder and the Unix socket addresses in it, shared by the
// service side and the client side of the transport (see "Runtime folder
// and socket names" in platform/transport.h).
#ifndef PLATFORM_TRANSPORT_RUNTIME_DIR_H_
#define PLATFORM_TRANSPORT_RUNTIME_DIR_H_

#include <sys/un.h>

#include <string>

#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/transport.h"

namespace comm {

// Makes |folder| usable: created 0700 when missing. A default folder must be
// a real directory of this user and is tightened to 0700. |groupShared| is
// set when the folder grants its group full access (an operator's 0770
// folder): sockets in it are then made 0660, so that the group can connect.
Status prepareFolder(const std::string& folder, bool isDefault, bool* groupShared);
// Ok when a client may connect to a socket in |folder|: a chosen folder is
// taken as given; a user's or the system's must pass the checks that
// RuntimeFolder describes. The failure is a short reason ("not a folder",
// "writable by others", ...); "no such file" when the folder is missing.
Status checkClientFolder(const RuntimeFolder& folder);
// A short name of |error| for a failed connect: "no such file",
// "permission denied", ... (strerror's text for the rarer ones).
const char* errorName(int error);
// The address of the socket at |path|; fails when the path is too long for
// one.
Status fillAddress(const std::string& path, struct sockaddr_un* address);
// Connects |fd| to |address|; a failure carries the errno. A blocking socket
// waits while the listener's backlog is full: at most |timeoutMs| when that
// is not negative (then ETIMEDOUT).
Status connectTo(int fd, const struct sockaddr_un& address, int timeoutMs = -1);

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_RUNTIME_DIR_H_
