// The service side of the decoder processes: finding the executable,
// starting, lending, watching and ending the processes, and the requests.
#include "platform/lumo/sandbox.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kor.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/colour.h"
#include "platform/tracing.h"

extern char** environ;

namespace lumo {

namespace {

using namespace internal;  // the messages, the engine's own parts
using kor::Status;

thread_local uint64_t t_client = 0;

tracing::Channel& decoderChannel() {
  static tracing::Channel* channel = new tracing::Channel("LUMO_Decoder", 7, 2);  // never freed
  return *channel;
}

uint64_t nowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// How long a call watches its decoder's channel before it sleeps (yielding
// the core meanwhile): a short answer then comes without a sleep and a
// wake-up (tens of microseconds on some machines) in between. Kept short:
// on a busy machine the watch takes the core from the processes that do
// the work.
constexpr int kSpinMicros = 50;
// While a decode waits for its decoder, it looks this often whether its
// client has gone.
constexpr int kCancelCheckMs = 5;
// How long a decoder whose channel closed may take to end.
constexpr int kExitWaitMs = 1000;
// How long a starting decoder may take to say hello.
constexpr int kHelloTimeoutMs = 10000;
// A decoder that has used half its CPU time limit is not lent again.
constexpr uint64_t kRetireCpuNanos = 300ull * 1000000000u;
// With a spare still ready, the next one is started only once no spare has
// been taken for this long: a start takes a core for milliseconds, which the
// client that has just arrived needs more.
constexpr uint64_t kSpareQuietMs = 250;
// A scratch segment larger than this is not kept between requests.
constexpr uint64_t kKeepScratchBytes = 16u << 20;
// The largest bitmap the engine makes: 4 bytes for each of its most pixels.
constexpr uint64_t kMaxBitmapBytes = internal::kMaxPixels * 4;
// Ids of scratch segments, apart from the provider's.
constexpr uint64_t kScratchIdBit = 1ull << 63;

struct Decoder {
  pid_t pid = -1;
  int pidfd = -1;
  int channel = -1;
  uint64_t client = 0;
  bool busy = false;
  bool retire = false;  // ended as soon as it is given back
  uint64_t lastUsedMs = 0;
  // The memory granted when the provider lends none.
  int scratchFd = -1;
  uint8_t* scratch = nullptr;
  uint64_t scratchBytes = 0;
  uint64_t scratchId = 0;
  // Information requests sent ahead (readInfoAhead), oldest first: their
  // replies come before any other.
  struct Ahead {
    std::string path;
    uint64_t deadlineMs = 0;
  };
  std::deque<Ahead> ahead;
};

void dropScratch(Decoder* decoder) {
  if (decoder->scratch != nullptr) munmap(decoder->scratch, decoder->scratchBytes);
  if (decoder->scratchFd >= 0) close(decoder->scratchFd);
  decoder->scratch = nullptr;
  decoder->scratchFd = -1;
  decoder->scratchBytes = 0;
}

// Why the process ended, once it has: "killed by signal 31 (SIGSYS)".
std::string exitReason(Decoder* decoder) {
  // A process that is ending closes its channel a moment before its exit
  // can be collected; one that closed it and lives on is killed later.
  pollfd ending = {decoder->pidfd, POLLIN, 0};
  poll(&ending, 1, kExitWaitMs);
  siginfo_t info = {};
  if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(decoder->pidfd), &info,
             WEXITED | WNOHANG) != 0 ||
      info.si_pid == 0) {
    // Not ended (it closed its channel), or reaped by someone else.
    return "closed its channel";
  }
  decoder->pid = -1;
  char text[96];
  if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
    const char* name = sigabbrev_np(info.si_status);
    std::snprintf(text, sizeof(text), "killed by signal %d (SIG%s)", info.si_status,
                  name != nullptr ? name : "?");
  } else {
    std::snprintf(text, sizeof(text), "exited with status %d", info.si_status);
  }
  return text;
}

// Kills and reaps |decoder|, and frees what it held.
void destroy(Decoder* decoder) {
  if (decoder == nullptr) return;
  if (decoder->pid > 0) {
    syscall(SYS_pidfd_send_signal, decoder->pidfd, SIGKILL, nullptr, 0);
    siginfo_t info = {};
    // A killed process ends at once; ECHILD when the host ignores SIGCHLD.
    while (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(decoder->pidfd), &info,
                  WEXITED) != 0 &&
           errno == EINTR) {
    }
  }
  if (decoder->channel >= 0) close(decoder->channel);
  if (decoder->pidfd >= 0) close(decoder->pidfd);
  dropScratch(decoder);
  delete decoder;
}

// The decoder executable: in libexec/imageserver/ under the installation's
// prefix, or under the build tree, found from the file that holds this code.
std::string findExecutable() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&findExecutable), &info) == 0 || info.dli_fname == nullptr)
    return std::string();
  std::string dir = info.dli_fname;
  const size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
  static const char* const kRelative[] = {
      IMAGESERVER_DECODER_RELATIVE_DIR,  // an installed library
      "libexec/imageserver",             // the library of a build tree
      "../libexec/imageserver",          // a program of a build tree
  };
  for (const char* relative : kRelative) {
    std::string path = dir + "/" + relative + "/imageserver-decoder";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return std::string();
}

Status brokeProtocol(const Decoder* decoder) {
  return Status::error(Status::kProtocol, "decoder process %d broke the protocol", decoder->pid);
}

// One message from |decoder|, checked for its size; kTimedOut when none
// comes in time, kCancelled when the client has gone, kClosed when the
// decoder broke off, kProtocol when the message is not one.
Status receive(Decoder* decoder, uint64_t deadlineMs, uint32_t deadlineSpanMs,
               DecoderMessage* message) {
  const auto spinUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicros);
  for (;;) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    iovec part = {message, sizeof(*message)};
    msghdr header = {};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(decoder->channel, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n > 0) {
      bool carried = false;
      for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        carried = true;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
          int fd;
          std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
          close(fd);
        }
      }
      if (carried || n != static_cast<ssize_t>(sizeof(*message)) ||
          (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0)
        return brokeProtocol(decoder);
      return Status();
    }
    // A decoder that ended with requests unread leaves ECONNRESET, which
    // the kernel reports once, before the replies it sent first: those are
    // still taken.
    if (n < 0 && errno == ECONNRESET) continue;
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      const int pid = decoder->pid;
      const std::string why = exitReason(decoder);
      return Status::error(Status::kClosed, "decoder process %d %s", pid, why.c_str());
    }
    // A short answer (information, a small image) comes within the spin:
    // no sleep and wake-up on either side.
    if (std::chrono::steady_clock::now() < spinUntil) {
      std::this_thread::yield();  // to the decoder, where they share a core
      continue;
    }
    if (Status cancelled = checkCancelled(); !cancelled.ok()) return cancelled;
    const uint64_t now = nowMs();
    if (now >= deadlineMs)
      return Status::error(Status::kTimedOut, "decoder process %d ran past its deadline of %u ms",
                           decoder->pid, deadlineSpanMs);
    pollfd watched = {decoder->channel, POLLIN, 0};
    const int wait = static_cast<int>(std::min<uint64_t>(deadlineMs - now, kCancelCheckMs));
    poll(&watched, 1, wait);
  }
}

// Sends |parts| as one message to |decoder|, with |fd| when it is one;
// kClosed when it cannot.
Status sendParts(Decoder* decoder, iovec* parts, size_t count, int fd) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header = {};
  header.msg_iov = parts;
  header.msg_iovlen = count;
  size_t length = 0;
  for (size_t i = 0; i < count; ++i) length += parts[i].iov_len;
  if (fd >= 0) {
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
  }
  ssize_t n;
  do {
    n = sendmsg(decoder->channel, &header, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(length)) return Status();
  return Status::error(Status::kClosed, "cannot send to decoder process %d: %s", decoder->pid,
                       n < 0 ? std::strerror(errno) : "message cut short");
}

Status sendRequest(Decoder* decoder, const RequestMessage& request, const char* path, int fd) {
  iovec parts[2] = {{const_cast<RequestMessage*>(&request), sizeof(request)},
                    {const_cast<char*>(path), request.pathBytes}};
  return sendParts(decoder, parts, 2, fd);
}

Status sendGrant(Decoder* decoder, const GrantMessage& grant, int fd) {
  iovec part = {const_cast<GrantMessage*>(&grant), sizeof(grant)};
  return sendParts(decoder, &part, 1, fd);
}

// Starts |executable| with |channel| as its descriptor 3, default signal
// dispositions and none blocked, and |variables| as its whole environment;
// 0, or the error of posix_spawn().
int startProcess(const std::string& executable, const std::vector<std::string>& variables,
                 int channel, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, channel, 3);
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const std::string parent = std::to_string(getpid());
  char* argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>(parent.c_str()),
                  nullptr};
  std::vector<char*> environment;
  for (const std::string& variable : variables)
    environment.push_back(const_cast<char*>(variable.c_str()));
  environment.push_back(nullptr);
  const int spawned =
      posix_spawn(pid, executable.c_str(), &actions, &attributes, argv, environment.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return spawned;
}

// Starts a decoder and waits for its hello; null with |*reason| on failure.
Decoder* spawn(const std::string& executable, const std::vector<std::string>& variables,
               uint32_t* missing, std::string* reason) {
  if (executable.empty()) {
    *reason = "cannot find imageserver-decoder in libexec/imageserver beside the library";
    return nullptr;
  }
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    *reason = std::string("cannot make a channel: ") + std::strerror(errno);
    return nullptr;
  }
  // The child's end becomes its descriptor 3 (dup2 clears close-on-exec;
  // an end that already is 3 is moved first, as dup2 onto itself would not).
  if (ends[1] == 3) {
    const int moved = fcntl(ends[1], F_DUPFD_CLOEXEC, 4);
    close(ends[1]);
    ends[1] = moved;
  }
  pid_t pid = -1;
  const int spawned = startProcess(executable, variables, ends[1], &pid);
  close(ends[1]);
  if (spawned != 0) {
    close(ends[0]);
    *reason = "cannot start " + executable + ": " + std::strerror(spawned);
    return nullptr;
  }
  auto* decoder = new (std::nothrow) Decoder();
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (decoder == nullptr || pidfd < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(ends[0]);
    if (pidfd >= 0) close(pidfd);
    delete decoder;
    *reason = "cannot watch a decoder process";
    return nullptr;
  }
  decoder->pid = pid;
  decoder->pidfd = pidfd;
  decoder->channel = ends[0];
  DecoderMessage hello;
  const Status heard = receive(decoder, nowMs() + kHelloTimeoutMs, kHelloTimeoutMs, &hello);
  if (!heard.ok() || hello.kind != Message::kHello) {
    *reason = heard.ok() ? "no hello" : heard.message();
    destroy(decoder);
    return nullptr;
  }
  *missing = hello.missing;
  return decoder;
}

class Pool {
 public:
  static Pool& getInstance() {
    static Pool* pool = new Pool();  // lives as long as the process
    return *pool;
  }

  bool start() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_refs++ > 0) return !m_executable.empty();
    m_executable = m_chosen.empty() ? findExecutable() : m_chosen;
    // Nothing of the service's environment goes to a decoder, but what a
    // sanitizer build needs and the colour setting; read here, not by the
    // keeper, as a host may change its environment while the service runs.
    m_environment.clear();
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable)
      if (std::strstr(*variable, "SAN_OPTIONS=") != nullptr ||
          std::strncmp(*variable, "LUMO_COLOUR=", 12) == 0)
        m_environment.push_back(*variable);
    m_running.store(true, std::memory_order_release);
    m_stopping = false;
    m_keeper = std::thread([this] { keep(); });
    if (m_executable.empty()) {
      decoderChannel().logC(4, "cannot find imageserver-decoder: no image can be read");
      return false;
    }
    return true;
  }

  void stop() {
    std::vector<Decoder*> ended;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      if (m_refs == 0 || --m_refs > 0) return;
      m_running.store(false, std::memory_order_release);
      m_stopping = true;
      m_keeperWake.notify_all();
    }
    m_keeper.join();
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      for (Decoder* decoder : m_spares) ended.push_back(decoder);
      m_spares.clear();
      for (Decoder* decoder : m_bound) {
        if (decoder->busy)
          decoder->retire = true;  // ended when given back
        else
          ended.push_back(decoder);
      }
      std::erase_if(m_bound, [](Decoder* decoder) { return !decoder->busy; });
    }
    for (Decoder* decoder : ended) destroy(decoder);
  }

  bool running() const { return m_running.load(std::memory_order_acquire); }

  // The decoder of |client|, busy for the caller until giveBack(); null
  // with the failure in |*status|.
  Decoder* lend(uint64_t client, Status* status) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      if (!running()) {
        *status = Status::error(Status::kClosed, "decoder processes are stopped");
        return nullptr;
      }
      auto bound = std::find_if(m_bound.begin(), m_bound.end(),
                                [client](Decoder* d) { return d->client == client; });
      if (bound == m_bound.end()) break;
      if (!(*bound)->busy) {
        (*bound)->busy = true;
        return *bound;
      }
      // Another thread works for the same client.
      ++m_waiting;
      m_changed.wait(lock);
      --m_waiting;
    }
    Decoder* decoder = nullptr;
    if (!m_spares.empty()) {
      decoder = m_spares.front();
      m_spares.erase(m_spares.begin());
    } else {
      // None ready: this call pays for a start.
      const std::string executable = m_executable;
      ++m_spawning;
      lock.unlock();
      std::string reason;
      uint32_t missing = 0;
      decoder = spawn(executable, m_environment, &missing, &reason);
      lock.lock();
      --m_spawning;
      m_changed.notify_all();
      if (decoder == nullptr) {
        *status = Status::error(Status::kFailed, "no decoder process: %s", reason.c_str());
        return nullptr;
      }
      noteMissing(missing);
    }
    decoder->client = client;
    decoder->busy = true;
    m_bound.push_back(decoder);
    m_lastLentMs = nowMs();
    std::vector<Decoder*> ended = trimLocked();
    m_keeperWake.notify_all();  // to start the next spare
    lock.unlock();
    for (Decoder* old : ended) destroy(old);
    return decoder;
  }

  // |broken|: the decoder failed the caller (crash, deadline, protocol,
  // cancellation) and is ended.
  void giveBack(Decoder* decoder, bool broken) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      decoder->busy = false;
      decoder->lastUsedMs = nowMs();
      // Only a thread waiting for this client's decoder needs to hear it.
      if (m_waiting > 0) m_changed.notify_all();
      if (!broken && !decoder->retire && running()) {
        if (decoder->scratchBytes > kKeepScratchBytes) dropScratch(decoder);
        return;
      }
      std::erase(m_bound, decoder);
    }
    destroy(decoder);
  }

  void release(uint64_t client) {
    Decoder* ended = nullptr;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      for (Decoder* decoder : m_bound) {
        if (decoder->client != client) continue;
        if (decoder->busy) {
          decoder->retire = true;
        } else {
          ended = decoder;
          std::erase(m_bound, decoder);
        }
        break;
      }
    }
    destroy(ended);
  }

  void setExecutable(const std::string& path) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_chosen = path;
    if (m_refs > 0) m_executable = path.empty() ? findExecutable() : path;
  }

  // Read while the pool runs, when only start() changes it.
  const std::vector<std::string>& environment() const { return m_environment; }

  std::string executable() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_executable.empty() ? (m_chosen.empty() ? findExecutable() : m_chosen) : m_executable;
  }

  int pidOf(uint64_t client) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (Decoder* decoder : m_bound)
      if (decoder->client == client) return decoder->pid;
    return 0;
  }

  size_t count() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_bound.size() + m_spares.size();
  }

  size_t settle(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
      return m_spawning == 0 &&
             (m_spares.size() >= kSpareDecoders || m_executable.empty() || !running());
    });
    size_t held = 0;
    for (const std::vector<Decoder*>* list : {&m_spares, &m_bound})
      for (const Decoder* decoder : *list) held += 2 + (decoder->scratchFd >= 0 ? 1 : 0);
    return held;
  }

  size_t spares() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_spares.size();
  }

  std::atomic<uint32_t> infoDeadlineMs{kInfoDeadlineMs};
  std::atomic<uint32_t> decodeDeadlineBaseMs{kDecodeDeadlineBaseMs};

 private:
  Pool() = default;

  // Beyond kMaxDecoders, the decoders given back longest ago end.
  std::vector<Decoder*> trimLocked() {
    std::vector<Decoder*> ended;
    while (m_bound.size() > kMaxDecoders) {
      Decoder* oldest = nullptr;
      for (Decoder* decoder : m_bound)
        if (!decoder->busy && (oldest == nullptr || decoder->lastUsedMs < oldest->lastUsedMs))
          oldest = decoder;
      if (oldest == nullptr) break;
      std::erase(m_bound, oldest);
      ended.push_back(oldest);
    }
    return ended;
  }

  void noteMissing(uint32_t missing) {
    if (missing == 0 || m_missingReported) return;
    m_missingReported = true;
    std::string layers;
    static const struct {
      uint32_t bit;
      const char* name;
    } kLayers[] = {{kMissingUserNamespace, "user"},
                   {kMissingNetworkNamespace, "network"},
                   {kMissingMountNamespace, "mount"},
                   {kMissingIpcNamespace, "IPC"}};
    for (const auto& layer : kLayers) {
      if ((missing & layer.bit) == 0) continue;
      if (!layers.empty()) layers += ", ";
      layers += layer.name;
    }
    TRACE(decoderChannel(), 3,
          "decoder processes run without their own %s namespace: the kernel refuses it; the "
          "system call filter and the other layers still apply",
          layers.c_str());
  }

  // The keeper: starts spares, ends idle decoders.
  void keep() {
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t retryAtMs = 0;
    while (!m_stopping) {
      std::vector<Decoder*> ended;
      const uint64_t now = nowMs();
      for (Decoder* decoder : m_bound)
        if (!decoder->busy && now - decoder->lastUsedMs >= kDecoderIdleMs) ended.push_back(decoder);
      std::erase_if(m_bound, [&ended](Decoder* d) {
        return std::find(ended.begin(), ended.end(), d) != ended.end();
      });
      if (!ended.empty()) {
        lock.unlock();
        for (Decoder* decoder : ended) destroy(decoder);
        lock.lock();
        continue;
      }
      if (m_spares.size() < kSpareDecoders && !m_executable.empty() && now >= retryAtMs) {
        const uint64_t quietAtMs = m_lastLentMs + kSpareQuietMs;
        if (!m_spares.empty() && now < quietAtMs) {
          m_keeperWake.wait_for(lock, std::chrono::milliseconds(quietAtMs - now));
          continue;
        }
        const std::string executable = m_executable;
        ++m_spawning;
        lock.unlock();
        std::string reason;
        uint32_t missing = 0;
        Decoder* decoder = spawn(executable, m_environment, &missing, &reason);
        lock.lock();
        --m_spawning;
        m_changed.notify_all();
        if (decoder == nullptr) {
          TRACE(decoderChannel(), 4, "cannot start a decoder process: %s", reason.c_str());
          retryAtMs = nowMs() + 1000;
        } else if (m_stopping) {
          lock.unlock();
          destroy(decoder);
          lock.lock();
        } else {
          noteMissing(missing);
          m_spares.push_back(decoder);
        }
        continue;
      }
      m_keeperWake.wait_for(lock, std::chrono::milliseconds(1000));
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;     // a decoder given back, a start done
  std::condition_variable m_keeperWake;  // a spare taken, the stop
  std::atomic<bool> m_running{false};
  // Guarded by m_mutex:
  int m_refs = 0;
  int m_spawning = 0;
  int m_waiting = 0;          // lenders waiting for a busy decoder
  uint64_t m_lastLentMs = 0;  // when a spare was last bound to a client
  bool m_stopping = false;
  bool m_missingReported = false;
  std::string m_chosen;
  std::string m_executable;
  std::vector<std::string> m_environment;  // set by start(), before the keeper runs
  std::vector<Decoder*> m_spares;
  std::vector<Decoder*> m_bound;
  std::thread m_keeper;
};

// The decoder lent to one call, given back at its end; when none could be
// lent, get() is null and status() says why.
class Lease {
 public:
  Lease() : m_decoder(Pool::getInstance().lend(t_client, &m_status)) {}
  ~Lease() {
    if (m_decoder != nullptr) Pool::getInstance().giveBack(m_decoder, m_broken);
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  Decoder* get() const { return m_decoder; }
  const Status& status() const { return m_status; }
  void breakOff() { m_broken = true; }
  // Passes |status| on; a failure of the decoder's channel ends it.
  Status broken(Status status) {
    if (!status.ok()) m_broken = true;
    return status;
  }

 private:
  Status m_status;  // before m_decoder, which lend() sets with it
  Decoder* const m_decoder;
  bool m_broken = false;
};

// The reason a decoder gave, as text that is safe to log.
void safeText(const DecoderMessage& message, char (&text)[kReasonBytes]) {
  size_t i = 0;
  for (; i + 1 < sizeof(text) && message.reason[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(message.reason[i]);
    text[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
  }
  text[i] = '\0';
}

// The failure a decoder reported, with its code; a code that is none is a
// broken protocol. A decoder that ran out of memory (its address space
// limit) is not lent again: the next call gets a fresh process with a fresh
// heap.
Status takeFailure(Lease& lease, const DecoderMessage& message) {
  if (message.code <= Status::kOk || message.code > kLastStatusCode) {
    lease.breakOff();
    return brokeProtocol(lease.get());
  }
  char text[kReasonBytes];
  safeText(message, text);
  const auto code = static_cast<Status::Code>(message.code);
  if (code == Status::kNoMemory) lease.get()->retire = true;
  return Status::error(code, "%s", text);
}

// Memory for |bytes| of pixels that the provider cannot share: the
// decoder's scratch segment, grown when too small.
bool scratchFor(Decoder* decoder, uint64_t bytes) {
  if (decoder->scratch != nullptr && decoder->scratchBytes >= bytes) return true;
  dropScratch(decoder);
  const int fd = static_cast<int>(
      syscall(SYS_memfd_create, "imageserver-pixels", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (fd < 0) return false;
  // Sealed against shrinking, so that no decoder can make the service fault
  // on its mapping.
  if (ftruncate(fd, static_cast<off_t>(bytes)) != 0 ||
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    close(fd);
    return false;
  }
  void* data = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    close(fd);
    return false;
  }
  static std::atomic<uint64_t> s_nextId{1};
  decoder->scratchFd = fd;
  decoder->scratch = static_cast<uint8_t*>(data);
  decoder->scratchBytes = bytes;
  decoder->scratchId = kScratchIdBit | s_nextId.fetch_add(1);
  return true;
}

Status startRequest(Lease& lease, const util::UnicodeString8& path, RequestMessage& request,
                    osal::RegularFile& file) {
  request.fileSize = static_cast<uint64_t>(file.size());
  request.pathBytes = static_cast<uint32_t>(std::min(path.length(), kMaxPathBytes));
  Status sent = lease.broken(sendRequest(lease.get(), request, path.utf8(), file.descriptor()));
  if (sent.ok()) file.close();
  return sent;
}

Status openFile(const util::UnicodeString8& path, osal::RegularFile* file) {
  return file->open(path.utf8());
}

}  // namespace

namespace internal {

bool decodersRunning() { return Pool::getInstance().running(); }

namespace {

// Takes the replies of the requests sent ahead, up to the one for |path|
// (into |*reply|, true) or all of them (the others are not wanted any
// more). A failure when the decoder fails meanwhile.
Status takeAhead(Lease& lease, const char* path, DecoderMessage* reply, bool* found) {
  Decoder* decoder = lease.get();
  *found = false;
  const uint32_t span = Pool::getInstance().infoDeadlineMs.load(std::memory_order_relaxed);
  while (!decoder->ahead.empty() && !*found) {
    const Decoder::Ahead next = decoder->ahead.front();
    decoder->ahead.pop_front();
    Status received = lease.broken(receive(decoder, next.deadlineMs, span, reply));
    if (!received.ok()) return received;
    *found = path != nullptr && next.path == path;
  }
  return Status();
}

}  // namespace

bool sendInfoAhead(const util::UnicodeString8& path) {
  if (!decodersRunning()) return false;
  Lease lease;
  Decoder* decoder = lease.get();
  if (decoder == nullptr || decoder->ahead.size() >= kInfoReadAhead) return false;
  osal::RegularFile file;
  RequestMessage request;
  request.infoOnly = 1;
  // A file that cannot be opened, or a request that cannot be sent, is left
  // to the call itself, which says why.
  if (!openFile(path, &file).ok() || !startRequest(lease, path, request, file).ok()) return false;
  const uint32_t span = Pool::getInstance().infoDeadlineMs.load(std::memory_order_relaxed);
  decoder->ahead.push_back({path.utf8(), nowMs() + span});
  return true;
}

BitmapInfo* remoteImageInfo(const util::UnicodeString8& path, Status* status) {
  Lease lease;
  if (lease.get() == nullptr) {
    *status = lease.status();
    return nullptr;
  }
  DecoderMessage reply;
  bool found = false;
  *status = takeAhead(lease, path.utf8(), &reply, &found);
  if (status->ok() && !found) {
    osal::RegularFile file;
    RequestMessage request;
    request.infoOnly = 1;
    *status = openFile(path, &file);
    if (status->ok()) *status = startRequest(lease, path, request, file);
    const uint32_t span = Pool::getInstance().infoDeadlineMs.load(std::memory_order_relaxed);
    if (status->ok()) *status = lease.broken(receive(lease.get(), nowMs() + span, span, &reply));
  }
  if (!status->ok()) return nullptr;
  if (reply.kind == Message::kFailed) {
    *status = takeFailure(lease, reply);
    return nullptr;
  }
  if (reply.kind != Message::kInfo || reply.width == 0 || reply.height == 0 ||
      reply.sourceType < BitmapInfo::kSourceUnknown || reply.sourceType > BitmapInfo::kSourceHeif) {
    *status = lease.broken(brokeProtocol(lease.get()));
    return nullptr;
  }
  if (reply.cpuNanos > kRetireCpuNanos) lease.get()->retire = true;
  BitmapInfo* info = kor::tryNew<BitmapInfo>("lumo::BitmapInfo");
  if (info == nullptr) {
    *status = outOfMemory("allocating image information");
    return nullptr;
  }
  info->width = reply.width;
  info->height = reply.height;
  info->sourceType = static_cast<BitmapInfo::SourceType>(reply.sourceType);
  info->hasAlpha = reply.hasAlpha != 0;
  info->isGrey = reply.isGrey != 0;
  return info;
}

namespace {

// Where the pixels of one remote decode go.
struct Granted {
  PixelBufferProvider* provider = nullptr;
  uint8_t* pixels = nullptr;  // the provider's buffer, or null
  bool shared = false;        // the decoder writes |pixels| itself
  uint64_t bytes = 0;
  ~Granted() {
    if (pixels != nullptr) provider->releasePixels(pixels);
  }
};

// How much of |decoder|'s scratch segment a request may offer: bitmaps up
// to this size go there without being asked for, as the calling thread's
// pixel provider would not lend memory for them. 0: nothing is offered.
uint64_t scratchOffer(const Decoder* decoder) {
  if (decoder->scratch == nullptr) return 0;
  const PixelBufferProvider* provider = pixelProvider();
  if (provider == nullptr) return decoder->scratchBytes;
  const size_t smallest = provider->smallestLent();
  if (smallest == 0) return 0;
  return std::min<uint64_t>(decoder->scratchBytes, smallest - 1);
}

Status grant(Decoder* decoder, uint64_t bytes, Granted* granted) {
  granted->bytes = bytes;
  granted->provider = pixelProvider();
  if (granted->provider != nullptr)
    granted->pixels = granted->provider->allocateForeignPixels(bytes);
  GrantMessage message;
  int fd = -1;
  if (granted->pixels != nullptr) {
    fd = granted->provider->sharedPixels(granted->pixels, &message.id);
    granted->shared = fd >= 0;
  }
  if (fd >= 0) {
    // The provider's memfd; its size is at least what was asked.
    const off_t size = lseek(fd, 0, SEEK_END);
    message.bytes = size > 0 ? static_cast<uint64_t>(size) : 0;
    if (message.bytes < bytes) {
      granted->shared = false;
      fd = -1;
    }
  }
  if (fd < 0 && scratchFor(decoder, bytes)) {
    fd = decoder->scratchFd;
    message.id = decoder->scratchId;
    message.bytes = decoder->scratchBytes;
  }
  message.ok = fd >= 0 ? 1 : 0;
  return sendGrant(decoder, message, fd);
}

// Sends the decode request and answers the decoder's asks for memory until
// its last answer, in |*reply|.
Status awaitDecode(Lease& lease, RequestMessage& request, const util::UnicodeString8& path,
                   osal::RegularFile& file, Granted* granted, DecoderMessage* reply) {
  DecoderMessage unwanted;
  bool found = false;
  Status status = takeAhead(lease, nullptr, &unwanted, &found);
  if (status.ok()) status = startRequest(lease, path, request, file);
  Decoder* decoder = lease.get();
  const uint32_t base = Pool::getInstance().decodeDeadlineBaseMs.load(std::memory_order_relaxed);
  const uint64_t started = nowMs();
  uint32_t span = base;
  while (status.ok()) {
    status = lease.broken(receive(decoder, started + span, span, reply));
    if (!status.ok() || reply->kind != Message::kNeedPixels) break;
    if (granted->bytes != 0 || reply->bytes == 0 || reply->bytes > kMaxBitmapBytes)
      return lease.broken(brokeProtocol(decoder));
    // The deadline grows with the bitmap: its work is bounded by its size.
    span = static_cast<uint32_t>(base + reply->bytes * kDecodeDeadlineNanosPerByte / 1000000);
    status = lease.broken(grant(decoder, reply->bytes, granted));
  }
  return status;
}

// Checks the shape of the bitmap the decoder says it made against what was
// asked and granted.
Status checkDone(Lease& lease, const RequestMessage& request, uint64_t offered,
                 const DecoderMessage& reply, Granted* granted) {
  const auto made = static_cast<BitmapInfo::Format>(reply.format);
  const uint32_t bpp = BitmapInfo::getBpp(made);
  const uint64_t madeBytes = uint64_t{reply.stride} * reply.height;
  // Without a grant, the pixels are in the scratch segment the request
  // offered, and fit what it offered.
  if (granted->bytes == 0 && offered != 0 && madeBytes <= offered) granted->bytes = madeBytes;
  const auto format = static_cast<BitmapInfo::Format>(request.format);
  if (reply.kind != Message::kDone || bpp == 0 || reply.width == 0 || reply.height == 0 ||
      uint64_t{reply.width} * bpp != reply.stride || madeBytes != granted->bytes ||
      (format != BitmapInfo::kFormatDefault && made != format) ||
      (request.scaled != 0 &&
       (reply.width > std::max(request.width, 1u) || reply.height > std::max(request.height, 1u))))
    return lease.broken(brokeProtocol(lease.get()));
  return Status();
}

// The bitmap of a decode: the granted pixels themselves, or a copy of
// those in the scratch segment.
BitmapPtr adoptPixels(const Decoder* decoder, const DecoderMessage& reply, Granted* granted,
                      Status* status) {
  BitmapRecordPtr record(kor::tryNew<BitmapRecord>("lumo::Bitmap"));
  if (record == nullptr) {
    *status = outOfMemory("allocating a bitmap");
    return nullptr;
  }
  if (!kor::allocationShouldFail("lumo::Bitmap")) {
    if (granted->pixels != nullptr) {
      record->pixels = granted->pixels;
      record->provider = granted->provider;
      granted->pixels = nullptr;  // the bitmap's now
    } else {
      record->pixels = takePixelBuffer(granted->bytes);
    }
  }
  if (record->pixels == nullptr) {
    *status = Status::error(Status::kNoMemory, "out of memory allocating a bitmap of %u x %u",
                            reply.width, reply.height);
    return nullptr;
  }
  if (!granted->shared) std::memcpy(record->pixels, decoder->scratch, granted->bytes);
  record->width = reply.width;
  record->height = reply.height;
  record->format = static_cast<BitmapInfo::Format>(reply.format);
  record->stride = reply.stride;
  return record;
}

}  // namespace

BitmapPtr remoteDecode(const util::UnicodeString8& path, BitmapInfo::Format format, uint32_t width,
                       uint32_t height, bool scaled, Status* status) {
  *status = checkFormat(format);
  if (status->ok()) *status = checkCancelled();
  osal::RegularFile file;
  if (status->ok()) *status = openFile(path, &file);
  if (!status->ok()) return nullptr;
  Lease lease;
  Decoder* decoder = lease.get();
  if (decoder == nullptr) {
    *status = lease.status();
    return nullptr;
  }
  RequestMessage request;
  request.format = format;
  request.width = width;
  request.height = height;
  request.scaled = scaled ? 1 : 0;
  const uint64_t offered = scratchOffer(decoder);
  if (offered != 0) {
    request.scratchId = decoder->scratchId;
    request.scratchBytes = offered;
  }
  Granted granted;
  DecoderMessage reply;
  *status = awaitDecode(lease, request, path, file, &granted, &reply);
  if (status->ok() && reply.kind == Message::kFailed) *status = takeFailure(lease, reply);
  if (status->ok()) *status = checkDone(lease, request, offered, reply, &granted);
  if (!status->ok()) return nullptr;
  if (reply.cpuNanos > kRetireCpuNanos) decoder->retire = true;
  if (reply.reason[0] != '\0') {
    // A colour description that the decoder could not use.
    char note[kReasonBytes];
    safeText(reply, note);
    logColourNote(path.utf8(), note);
  }
  return adoptPixels(decoder, reply, &granted, status);
}

void setDecoderExecutable(const std::string& path) { Pool::getInstance().setExecutable(path); }

void setDecoderDeadlines(uint32_t infoMs, uint32_t decodeBaseMs) {
  Pool::getInstance().infoDeadlineMs.store(infoMs != 0 ? infoMs : kInfoDeadlineMs);
  Pool::getInstance().decodeDeadlineBaseMs.store(decodeBaseMs != 0 ? decodeBaseMs
                                                                   : kDecodeDeadlineBaseMs);
}

int decoderOf(uint64_t client) { return Pool::getInstance().pidOf(client); }

double timeDecoderStart() {
  const std::string executable = Pool::getInstance().executable();
  const auto t0 = std::chrono::steady_clock::now();
  uint32_t missing = 0;
  std::string reason;
  Decoder* decoder = spawn(executable, Pool::getInstance().environment(), &missing, &reason);
  const auto t1 = std::chrono::steady_clock::now();
  if (decoder == nullptr) return -1;
  destroy(decoder);
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}
size_t decoderCount() { return Pool::getInstance().count(); }
size_t spareCount() { return Pool::getInstance().spares(); }
size_t settleDecoders(uint32_t timeoutMs) { return Pool::getInstance().settle(timeoutMs); }

}  // namespace internal

bool startDecoders() { return Pool::getInstance().start(); }
void stopDecoders() { Pool::getInstance().stop(); }
void releaseDecoder(uint64_t client) { Pool::getInstance().release(client); }
bool readInfoAhead(const util::UnicodeString8& path) { return internal::sendInfoAhead(path); }

DecoderScope::DecoderScope(uint64_t client) : m_previous(t_client) { t_client = client; }
DecoderScope::~DecoderScope() { t_client = m_previous; }
uint64_t DecoderScope::current() { return t_client; }

}  // namespace lumo
