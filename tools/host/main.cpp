// imageserver-host: a minimal host process for the image service.
//
// It does what any process that embeds the service does: it loads
// libimageserverlib.so at run time, resolves the C control interface by name,
// starts one service instance, adjusts it, waits until it is told to stop,
// and stops it. Settings that the library reads from its environment (the
// configuration store root, the trace levels, the colour mode) are exported before the library
// is loaded, since the C interface is all that the host sees.
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "imageserver/ImageServerControl.h"
#include "platform/tracing.h"
#include "platform/transport.h"
#include "platform/util.h"

namespace {

const char* const kProgram = "imageserver-host";
const char* const kLibraryName = IMAGESERVER_LIBRARY_NAME;  // the SONAME

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The C control interface, resolved with dlsym; the types come from the
// library's header.
struct ControlInterface {
  decltype(&::startImageServer) startImageServer = nullptr;
  decltype(&::startImageServerWithExtCheck) startImageServerWithExtCheck = nullptr;
  decltype(&::stopImageServer) stopImageServer = nullptr;
  decltype(&::enableFileExtensionCheck) enableFileExtensionCheck = nullptr;
  decltype(&::addToBlacklist) addToBlacklist = nullptr;
  decltype(&::addToWhitelist) addToWhitelist = nullptr;
  decltype(&::clearWhitelist) clearWhitelist = nullptr;
  decltype(&::getNumPendingRequests) getNumPendingRequests = nullptr;
};

struct Options {
  uint32_t instance = 0;
  bool extCheck = false;
  std::vector<std::string> whitelist;
  std::vector<std::string> blacklist;
  std::string configRoot;
  int traceLevel = 0;                 // 0: leave TRACE_LEVELS as it is
  unsigned clientMemoryMiB = 0;       // 0: the transport's default
  unsigned totalClientMemoryMiB = 0;  // 0: the transport's default
  int segmentReserveMiB = -1;         // -1: the transport's default
  std::string colour = "srgb";        // srgb or stored
  std::string library;
};

std::string executableDir() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
}

// True when this executable is the one the build placed in its build tree,
// not an installed or copied one.
bool runsFromBuildTree() {
  std::error_code error;
  return std::filesystem::equivalent(executableDir(), IMAGESERVER_BUILD_TOOLS_DIR, error);
}

// The places to load the library from, in order: --library; the library of
// the build tree, while the host runs from the tree it was built in; then the
// SONAME, which the dynamic loader looks up through LD_LIBRARY_PATH, the
// host's RUNPATH (the installed library folder beside the installed host),
// its cache and the system folders.
std::vector<std::string> libraryCandidates(const Options& options) {
  if (!options.library.empty()) return {options.library};
  std::vector<std::string> candidates;
  if (runsFromBuildTree())
    candidates.push_back(std::string(IMAGESERVER_BUILD_LIBRARY_DIR) + "/" + kLibraryName);
  candidates.push_back(kLibraryName);
  return candidates;
}

// The file the dynamic loader loaded |handle| from.
std::string loadedPath(void* handle, const std::string& candidate) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr ||
      map->l_name[0] == '\0')
    return candidate;
  std::error_code error;
  std::filesystem::path path = std::filesystem::canonical(map->l_name, error);
  return error ? std::string(map->l_name) : path.string();
}

void* loadLibrary(const Options& options, std::string& loadedFrom) {
  std::string errors;
  for (const std::string& candidate : libraryCandidates(options)) {
    void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) {
      loadedFrom = loadedPath(handle, candidate);
      return handle;
    }
    errors += "\n  ";
    errors += dlerror();
  }
  std::fprintf(stderr, "%s: cannot load %s:%s\n", kProgram,
               options.library.empty() ? kLibraryName : options.library.c_str(), errors.c_str());
  return nullptr;
}

template <class F>
bool resolve(void* library, const char* name, F& function) {
  dlerror();
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    const char* error = dlerror();
    std::fprintf(stderr, "%s: the library has no %s: %s\n", kProgram, name,
                 error != nullptr ? error : "null symbol");
    return false;
  }
  function = reinterpret_cast<F>(symbol);
  return true;
}

bool resolveAll(void* library, ControlInterface& c) {
  return resolve(library, "startImageServer", c.startImageServer) &&
         resolve(library, "startImageServerWithExtCheck", c.startImageServerWithExtCheck) &&
         resolve(library, "stopImageServer", c.stopImageServer) &&
         resolve(library, "enableFileExtensionCheck", c.enableFileExtensionCheck) &&
         resolve(library, "addToBlacklist", c.addToBlacklist) &&
         resolve(library, "addToWhitelist", c.addToWhitelist) &&
         resolve(library, "clearWhitelist", c.clearWhitelist) &&
         resolve(library, "getNumPendingRequests", c.getNumPendingRequests);
}

// True when a process accepts connections on the socket at |path|.
bool socketIsServed(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool served = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return served;
}

// The host's lines follow the library's: on a journal stream each starts
// with its syslog priority and carries no time of its own.
// A line of the host: |priority| is the syslog priority (3 error, 4 warning,
// 6 information); errors and warnings go to stderr, the rest to stdout.
void say(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(int priority, const char* format, ...) {
  FILE* out = priority <= 4 ? stderr : stdout;
  static const bool journal[2] = {tracing::isJournalStream(STDOUT_FILENO),
                                  tracing::isJournalStream(STDERR_FILENO)};
  char text[2048];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  if (journal[out == stderr ? 1 : 0])
    std::fprintf(out, "<%d>%s: %s\n", priority, kProgram, text);
  else
    std::fprintf(out, "%s: %s\n", kProgram, text);
  std::fflush(out);
}

// The path lists the host has applied, and how a reload changes them.
struct Lists {
  std::set<std::string> whitelist;
  std::set<std::string> blacklist;
};

// The lists of config.json (read as the service reads it) with the host's
// own options; false with the reason in |why| when the file cannot be used.
// A missing file is an empty configuration.
bool configuredLists(const Options& options, Lists* lists, std::string* why) {
  const std::string file = util::config::Provider::storeRoot() + "/imageserver/config.json";
  std::error_code error;
  if (std::filesystem::exists(file, error)) {
    util::config::Provider provider("imageserver", "config", 0,
                                    util::config::Provider::kLoadAtConstruction);
    if (!provider.isLoaded()) {
      *why = kor::ErrorStorage::reason();
      kor::ErrorStorage::ack();
      return false;
    }
    for (const char* key : {"whitelist", "blacklist"}) {
      util::config::Value list = provider.root().get(key);
      for (uint32_t i = 0; i < list.count(); ++i) {
        std::string text = list.at(i).asString();
        if (!text.empty()) (key[0] == 'w' ? lists->whitelist : lists->blacklist).insert(text);
      }
    }
  }
  lists->whitelist.insert(options.whitelist.begin(), options.whitelist.end());
  lists->blacklist.insert(options.blacklist.begin(), options.blacklist.end());
  return true;
}

// Applies the configuration anew, never judging a request by lists looser
// than both the applied and the new ones: new blacklist entries go in first;
// a whitelist that lost entries is cleared and refilled (tighter while it
// happens); a blacklist entry that is gone stays, since the interface can
// only clear the whole blacklist, which would loosen it meanwhile.
void reload(const Options& options, const ControlInterface& control, ImageServer* server,
            Lists* applied) {
  Lists wanted;
  std::string why;
  if (!configuredLists(options, &wanted, &why)) {
    say(4, "reload: %s; the configuration in force stays", why.c_str());
    return;
  }
  size_t added = 0;
  for (const std::string& path : wanted.blacklist) {
    if (applied->blacklist.insert(path).second) {
      control.addToBlacklist(server, path.c_str());
      ++added;
    }
  }
  std::string kept;
  for (const std::string& path : applied->blacklist)
    if (wanted.blacklist.count(path) == 0) kept += (kept.empty() ? "" : ", ") + path;
  bool shrunk = false;
  for (const std::string& path : applied->whitelist)
    shrunk = shrunk || wanted.whitelist.count(path) == 0;
  if (shrunk) {
    control.clearWhitelist(server);
    applied->whitelist.clear();
  }
  for (const std::string& path : wanted.whitelist) {
    if (applied->whitelist.insert(path).second) {
      control.addToWhitelist(server, path.c_str());
      ++added;
    }
  }
  say(6, "reloaded the configuration: %zu entries added%s", added,
      shrunk ? ", the whitelist refilled" : "");
  if (!kept.empty())
    say(4, "reload: blacklist entries no longer configured stay in force until a restart: %s",
        kept.c_str());
}

bool isSocket(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

int parseOptions(int argc, char** argv, Options& options, bool& done) {
  CLI::App app{
      "Loads libimageserverlib.so and serves image files to local clients until "
      "SIGINT or SIGTERM.",
      kProgram};
  app.set_version_flag("--version", std::string(kProgram) + " " + IMAGESERVER_VERSION);
  app.add_option("--instance", options.instance, "Instance number to register (default 0)")
      ->type_name("N");
  app.add_flag("--ext-check", options.extCheck,
               "Check each file: refuse blacklisted ones, serve whitelisted ones and, "
               "elsewhere, only .jpg .jpeg .png .gif .bmp");
  app.add_option("--whitelist", options.whitelist,
                 "Allow this path and what lies below it (repeatable)")
      ->type_name("PATH")
      ->allow_extra_args(false);
  app.add_option("--blacklist", options.blacklist,
                 "Refuse this path and what lies below it (repeatable)")
      ->type_name("PATH")
      ->allow_extra_args(false);
  app.add_option("--config-root", options.configRoot,
                 "Configuration store root; the service reads DIR/imageserver/config.json")
      ->type_name("DIR");
  app.add_option("--trace-level", options.traceLevel,
                 "Trace level of every channel, 1 (all) to 7 (silent)")
      ->type_name("L")
      ->check(CLI::Range(1, 7));
  app.add_option("--client-memory", options.clientMemoryMiB,
                 "Shared memory one client may hold in answers, in MiB (default 256)")
      ->type_name("MIB")
      ->check(CLI::Range(1u, 1u << 20));
  app.add_option("--total-client-memory", options.totalClientMemoryMiB,
                 "Shared memory all clients together may hold in answers, in MiB "
                 "(default: a quarter of the machine's memory)")
      ->type_name("MIB")
      ->check(CLI::Range(1u, 1u << 30));
  app.add_option("--segment-reserve", options.segmentReserveMiB,
                 "Shared memory made ready ahead of answers, in MiB (default 64; 0: none)")
      ->type_name("MIB")
      ->check(CLI::Range(0, 65536));
  app.add_option("--colour", options.colour,
                 "Colour of the pixels handed out: srgb (default) converts images that "
                 "describe their colour (ICC profile, nclx) to sRGB; stored hands the "
                 "values as the file stores them")
      ->type_name("MODE")
      ->check(CLI::IsMember({"srgb", "stored"}));
  app.add_option("--library", options.library,
                 "Path of the library to load (default: the installed libimageserverlib.so)")
      ->type_name("PATH");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    app.exit(e);
    done = true;
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    done = true;
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool done = false;
  int code = parseOptions(argc, argv, options, done);
  if (done) return code;

  // The library reads these when it creates its channels and configuration
  // providers, so they must be in place before it is loaded.
  if (!options.configRoot.empty()) {
    std::error_code error;
    std::string root = std::filesystem::absolute(options.configRoot, error).string();
    setenv("UTIL_CONFIG_ROOT", error ? options.configRoot.c_str() : root.c_str(), 1);
  }
  if (options.traceLevel != 0) {
    std::string levels = "*=" + std::to_string(options.traceLevel);
    setenv("TRACE_LEVELS", levels.c_str(), 1);
  }
  if (options.clientMemoryMiB != 0)
    setenv("COMM_CLIENT_MEMORY_MIB", std::to_string(options.clientMemoryMiB).c_str(), 1);
  if (options.totalClientMemoryMiB != 0)
    setenv("COMM_TOTAL_CLIENT_MEMORY_MIB", std::to_string(options.totalClientMemoryMiB).c_str(), 1);
  if (options.colour == "stored") setenv("LUMO_COLOUR", "stored", 1);
  if (options.segmentReserveMiB >= 0)
    setenv("COMM_SEGMENT_RESERVE_MIB", std::to_string(options.segmentReserveMiB).c_str(), 1);
  // Under a service manager, the service keeps its status line current.
  if (std::getenv("NOTIFY_SOCKET") != nullptr) setenv(comm::kStatusReportVariable, "1", 1);
  // Every client's answers in shared memory are descriptors here: take all
  // the descriptors the system allows this process (the service bounds
  // what clients may hold to half of them).
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // Block the stop and reload signals before any library thread exists:
  // threads inherit the mask, so the signals stay pending for sigwait() on
  // this thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
    say(3, "cannot block SIGINT, SIGTERM and SIGHUP");
    return kExitFailure;
  }

  // The library would fail to register over a live socket, and a host has
  // no way to learn that through the C interface: check first.
  // The transport's own rules name the socket.
  const std::string socketPath =
      comm::socketPath(comm::runtimeDirectory(), "svx.imageserver.ImageServer", options.instance);
  // A socket the service manager handed over answers for it (socket
  // activation): the service takes it.
  const bool handed = comm::isHandedSocket(socketPath);
  if (!handed && socketIsServed(socketPath)) {
    std::fprintf(stderr, "%s: instance %u is already served at %s\n", kProgram, options.instance,
                 socketPath.c_str());
    return kExitFailure;
  }

  std::string loadedFrom;
  void* library = loadLibrary(options, loadedFrom);
  if (library == nullptr) return kExitFailure;
  ControlInterface control;
  if (!resolveAll(library, control)) {
    dlclose(library);
    return kExitFailure;
  }

  ImageServer* server = options.extCheck ? control.startImageServerWithExtCheck(options.instance)
                                         : control.startImageServer(options.instance);
  if (server == nullptr) {
    std::fprintf(stderr, "%s: the service could not be created (out of memory)\n", kProgram);
    dlclose(library);
    return kExitFailure;
  }
  // The start call hands back a handle even when the registration failed;
  // the socket tells whether the service can be reached.
  if (!isSocket(socketPath)) {
    std::fprintf(stderr, "%s: the service did not register (no socket at %s); see the trace\n",
                 kProgram, socketPath.c_str());
    control.stopImageServer(server);
    dlclose(library);
    return kExitFailure;
  }
  // The lists follow the start (the C interface has no earlier moment); a
  // request in between is checked against the lists from config.json only.
  for (const std::string& path : options.whitelist) control.addToWhitelist(server, path.c_str());
  for (const std::string& path : options.blacklist) control.addToBlacklist(server, path.c_str());
  // What is in force: config.json as the service read it, and the options.
  Lists applied;
  std::string why;
  if (!configuredLists(options, &applied, &why)) {
    applied = Lists();
    applied.whitelist.insert(options.whitelist.begin(), options.whitelist.end());
    applied.blacklist.insert(options.blacklist.begin(), options.blacklist.end());
  }

  if (!options.extCheck && !(options.whitelist.empty() && options.blacklist.empty()))
    std::fprintf(stderr, "%s: note: the path lists take effect only with --ext-check\n", kProgram);
  say(6, "library %s", loadedFrom.c_str());
  say(6, "instance %u, extension check %s", options.instance, options.extCheck ? "on" : "off");
  say(6, "socket %s%s", socketPath.c_str(), handed ? " (handed over by the service manager)" : "");
  say(6, "ready");
  sd_notify(0, "READY=1");

  int signal = 0;
  for (;;) {
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal != SIGHUP) break;
    sd_notifyf(
        0, "RELOADING=1\nMONOTONIC_USEC=%llu",
        static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count()));
    reload(options, control, server, &applied);
    sd_notify(0, "READY=1");
  }
  sd_notify(0, "STOPPING=1");
  say(6, "%s received, stopping (%u queued requests dropped)",
      signal == SIGINT ? "SIGINT" : "SIGTERM", control.getNumPendingRequests(server));
  control.stopImageServer(server);
  dlclose(library);
  say(6, "stopped");
  return kExitOk;
}
