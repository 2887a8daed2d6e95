// The decoder process: confinement, then requests on descriptor 3 (see
// sandbox.h for the messages).
//
// The confinement, in order, all before the first byte of input:
//   - dies with the service (PR_SET_PDEATHSIG), and refuses to run for
//     another parent;
//   - closes every descriptor but the channel;
//   - enters empty user, network, mount and IPC namespaces (each one the
//     kernel refuses is reported in the hello);
//   - limits its address space, descriptors, CPU time, file size and core
//     dumps; is no longer dumpable (no ptrace or /proc/<pid>/mem by its
//     user's other processes);
//   - sets up the codec libraries, whatever they do once per process;
//   - sets no_new_privs and loads a seccomp filter whose default is to kill
//     the process: only the calls in kAllowed pass.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/kor.h"
#include "platform/lumo/codec.h"
#include "platform/lumo/colour.h"
#include "platform/lumo/sandbox.h"

namespace lumo::internal {

namespace {

constexpr int kChannel = 3;
// The channel, the image file and the memory granted for its pixels.
constexpr rlim_t kDecoderDescriptors = kChannel + 1;
constexpr rlim_t kDecoderCpuSeconds = 600;
// How long it watches for the next request (or a grant) before it sleeps,
// yielding the core meanwhile; short, as on a busy machine the watch takes
// the core from the processes that do the work.
constexpr long kSpinMicros = 50;
// Mappings of granted memory kept for reuse (a client's pooled segments).
constexpr size_t kKeptMappings = 6;
// Granted memory up to this size gets its page tables when it is mapped;
// larger memory gets them from the Populator while the decode runs.
constexpr size_t kPopulateAtOnceBytes = 1u << 20;
// The Populator's step, after which it looks whether it should stop.
constexpr size_t kPopulateStepBytes = 1u << 20;

// The system calls a confined decoder may make, and why:
//   recvmsg, sendmsg     its channel (descriptor 3 only)
//   pread64              the image file
//   close                the file and granted memory, once done with
//   mmap, munmap,        granted memory and its page tables (madvise); the
//   mremap, brk,         heap (malloc's large blocks and arenas; no
//   mprotect, madvise    executable mapping)
//   futex                locks and condition variables of the codecs'
//                        threads and of the populator
//   clone                the codecs' threads (threads only: CLONE_THREAD)
//   rt_sigprocmask,      the start and end of a thread (the C library
//   set_robust_list,     registers every thread's restartable sequence
//   rseq, exit           once the first thread has one)
//   prctl                naming a codec's thread (PR_SET_NAME only)
//   clock_gettime        the CPU time it reports, and the watch for requests
//   sched_yield          yielding the core while it watches
//   exit_group           the end
// clone3 fails with ENOSYS (the C library then uses clone, whose flags the
// filter can see). A write to descriptor 2 fails with EBADF without being
// made, as it would on the closed descriptor: libjxl prints a trace of
// every failure to stderr, which a damaged file must not turn into a
// killed decoder. Everything else kills the process.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer's runtime makes calls of its own at any time (its allocator,
// its reports), which no short list foresees: a sanitizer build allows every
// call but the ones a decoder must never make, so that the tests of those
// still hold there. Release builds use the list above.
bool installFilter() {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) return false;
  bool ok = true;
  for (int call :
       {SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(openat2), SCMP_SYS(creat), SCMP_SYS(socket),
        SCMP_SYS(connect), SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(ptrace),
        SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev), SCMP_SYS(kill)})
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_KILL_PROCESS, call, 0) == 0;
  ok = ok && seccomp_load(filter) == 0;
  seccomp_release(filter);
  return ok;
}
#else
bool installFilter() {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
  if (filter == nullptr) return false;
  bool ok = true;
  auto allow = [&](int call, unsigned count = 0, scmp_arg_cmp arg = {}) {
    if (count == 0)
      ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    else
      ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, arg) == 0;
  };
  allow(SCMP_SYS(recvmsg), 1, SCMP_A0(SCMP_CMP_EQ, kChannel, 0));
  allow(SCMP_SYS(sendmsg), 1, SCMP_A0(SCMP_CMP_EQ, kChannel, 0));
  allow(SCMP_SYS(pread64));
  allow(SCMP_SYS(close));
  allow(SCMP_SYS(mmap), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
  allow(SCMP_SYS(mprotect), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
  allow(SCMP_SYS(munmap));
  allow(SCMP_SYS(mremap));
  allow(SCMP_SYS(brk));
  allow(SCMP_SYS(madvise));
  allow(SCMP_SYS(futex));
  allow(SCMP_SYS(clone), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
  allow(SCMP_SYS(rt_sigprocmask));
  allow(SCMP_SYS(set_robust_list));
  allow(SCMP_SYS(exit));
  allow(SCMP_SYS(prctl), 1, SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME, 0));
  allow(SCMP_SYS(clock_gettime));
  allow(SCMP_SYS(sched_yield));
  allow(SCMP_SYS(exit_group));
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EBADF), SCMP_SYS(write), 1,
                              SCMP_A0(SCMP_CMP_EQ, 2, 0)) == 0;
  allow(SCMP_SYS(rseq));
  ok = ok && seccomp_load(filter) == 0;
  seccomp_release(filter);
  return ok;
}
#endif

uint32_t enterNamespaces() {
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWIPC) == 0) return 0;
  // One at a time, to learn which the kernel refuses (without a user
  // namespace the others need privileges the process may still have).
  uint32_t missing = 0;
  if (unshare(CLONE_NEWUSER) != 0) missing |= kMissingUserNamespace;
  if (unshare(CLONE_NEWNET) != 0) missing |= kMissingNetworkNamespace;
  if (unshare(CLONE_NEWNS) != 0) missing |= kMissingMountNamespace;
  if (unshare(CLONE_NEWIPC) != 0) missing |= kMissingIpcNamespace;
  return missing;
}

bool setLimit(int resource, rlim_t value) {
  const rlimit limit = {value, value};
  return setrlimit(resource, &limit) == 0;
}

bool limitResources() {
  bool ok = setLimit(RLIMIT_NOFILE, kDecoderDescriptors) && setLimit(RLIMIT_CORE, 0) &&
            setLimit(RLIMIT_FSIZE, 0) && setLimit(RLIMIT_CPU, kDecoderCpuSeconds);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The sanitizers' shadow memory is terabytes of address space.
  ok = ok && setLimit(RLIMIT_AS, kDecoderAddressSpace);
#endif
  return ok;
}

uint64_t cpuNanos() {
  timespec now = {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

bool send(const DecoderMessage& message) {
  iovec part = {const_cast<DecoderMessage*>(&message), sizeof(message)};
  msghdr header = {};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  ssize_t n;
  do {
    n = sendmsg(kChannel, &header, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof(message));
}

// One message from the service into |buffer| (|size| bytes at most), with
// the descriptor that comes with it in |*fd| (-1 when none). The length, 0
// when the service has gone.
ssize_t receive(void* buffer, size_t size, int* fd, bool spin = false) {
  *fd = -1;
  iovec part = {buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr header = {};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof(control);
  ssize_t n = -1;
  if (spin) {
    // The service's next request often follows within microseconds (a
    // client's batch of information reads): watched for a moment, it is
    // taken without a sleep and a wake-up.
    timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      n = recvmsg(kChannel, &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
      if (n >= 0 || (errno != EAGAIN && errno != EINTR)) break;
      sched_yield();
      timespec now = {};
      clock_gettime(CLOCK_MONOTONIC, &now);
      if ((now.tv_sec - start.tv_sec) * 1000000 + (now.tv_nsec - start.tv_nsec) / 1000 >
          kSpinMicros)
        break;
    }
  }
  while (n < 0) {
    n = recvmsg(kChannel, &header, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno != EINTR) return 0;
  }
  if (n <= 0) return 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
        c->cmsg_len == CMSG_LEN(sizeof(int)))
      std::memcpy(fd, CMSG_DATA(c), sizeof(int));
  }
  if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) return 0;
  return n;
}

// Sends the answer to a request, with the CPU time used so far; a service
// that has gone ends the process.
void answer(DecoderMessage& reply) {
  reply.cpuNanos = cpuNanos();
  if (!send(reply)) _exit(0);
}

void failed(const kor::Status& status) {
  DecoderMessage message;
  message.kind = Message::kFailed;
  message.code = status.code();
  std::snprintf(message.reason, sizeof(message.reason), "%s", status.message());
  answer(message);
}

// Makes the page tables of newly mapped granted memory on a thread of its
// own while the decode writes the first rows. A 12-MP bitmap is about 9,000
// pages: mapping them all before the decode starts costs 2.5 ms on an idle
// machine and up to 12 ms on a busy one, on the request's path, and a
// fault per page during the decode costs more. The decoding thread faults
// any page the populator has not reached yet, so the result never depends
// on it (kernels before 5.14 lack MADV_POPULATE_READ: it then does
// nothing).
class Populator {
 public:
  Populator() : m_thread([this] { run(); }) {}
  ~Populator() = delete;  // lives as long as the process

  // Populates [data, data + bytes) from its start, instead of what it did.
  void populate(uint8_t* data, size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data = data;
    m_bytes = bytes;
    m_generation.fetch_add(1, std::memory_order_relaxed);
    m_changed.notify_one();
  }

  // Returns once the populator touches no memory given before; called
  // before such memory is unmapped.
  void stop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_data = nullptr;
    m_bytes = 0;
    m_generation.fetch_add(1, std::memory_order_relaxed);
    m_idle.wait(lock, [this] { return !m_busy; });
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_changed.wait(lock, [this] { return m_data != nullptr; });
      uint8_t* data = m_data;
      const size_t bytes = m_bytes;
      const uint64_t generation = m_generation.load(std::memory_order_relaxed);
      m_data = nullptr;
      m_busy = true;
      lock.unlock();
      // Read faults map shared memory writable too, many pages a fault
      // (three times faster than write faults here).
      for (size_t done = 0; done < bytes; done += kPopulateStepBytes) {
        if (m_generation.load(std::memory_order_relaxed) != generation) break;
        if (madvise(data + done, std::min(kPopulateStepBytes, bytes - done), MADV_POPULATE_READ) !=
            0)
          break;
      }
      lock.lock();
      m_busy = false;
      m_idle.notify_all();
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::condition_variable m_idle;
  uint8_t* m_data = nullptr;
  size_t m_bytes = 0;
  bool m_busy = false;
  std::atomic<uint64_t> m_generation{0};
  std::thread m_thread;  // last: starts once the members above exist
};

// The memory the service grants for a bitmap's pixels. A client's pooled
// segments come back for its later answers, so their mappings are kept
// (by id), and the page tables are not made again for every answer.
class GrantedPixels final : public PixelBufferProvider {
 public:
  explicit GrantedPixels(Populator* populator) : m_populator(populator) {}

  // The scratch segment the current request offers (see RequestMessage).
  void offer(uint64_t id, uint64_t bytes) {
    m_offeredId = id;
    m_offeredBytes = bytes;
  }

  uint8_t* allocatePixels(size_t bytes) override {
    if (m_offeredId != 0 && bytes <= m_offeredBytes) {
      uint8_t* kept = takeKept(m_offeredId, bytes);
      if (kept != nullptr) return kept;
    }
    DecoderMessage ask;
    ask.kind = Message::kNeedPixels;
    ask.bytes = bytes;
    if (!send(ask)) _exit(0);
    GrantMessage grant;
    int fd = -1;
    if (receive(&grant, sizeof(grant), &fd, true) != sizeof(grant) || grant.kind != Message::kGrant)
      _exit(0);
    if (grant.ok == 0 || fd < 0 || grant.bytes < bytes) {
      if (fd >= 0) close(fd);
      return nullptr;
    }
    if (uint8_t* kept = takeKept(grant.id, bytes); kept != nullptr) {
      close(fd);
      return kept;
    }
    // The pages exist (the service made them ready ahead); their page
    // tables are made at once for small memory, beside the decode for large.
    const bool atOnce = grant.bytes <= kPopulateAtOnceBytes;
    void* data = mmap(nullptr, grant.bytes, PROT_READ | PROT_WRITE,
                      MAP_SHARED | (atOnce ? MAP_POPULATE : 0), fd, 0);
    close(fd);
    if (data == MAP_FAILED) return nullptr;
    const Mapping mapping = {grant.id, static_cast<uint8_t*>(data), grant.bytes};
    if (grant.id == 0) {
      m_oneOff = mapping;
    } else {
      if (m_kept.size() == kKeptMappings) {
        m_populator->stop();
        munmap(m_kept.front().data, m_kept.front().bytes);
        m_kept.erase(m_kept.begin());
      }
      m_kept.push_back(mapping);
    }
    if (!atOnce) m_populator->populate(mapping.data, mapping.bytes);
    return mapping.data;
  }

  void releasePixels(uint8_t* pixels) override {
    if (pixels != nullptr && pixels == m_oneOff.data) {
      m_populator->stop();
      munmap(m_oneOff.data, m_oneOff.bytes);
      m_oneOff = {};
    }
  }

 private:
  // The kept mapping of |id| when it holds |bytes|, made the most recently
  // used; null when there is none.
  uint8_t* takeKept(uint64_t id, size_t bytes) {
    if (id == 0) return nullptr;
    for (size_t i = 0; i < m_kept.size(); ++i) {
      if (m_kept[i].id == id && m_kept[i].bytes >= bytes) {
        const Mapping used = m_kept[i];
        m_kept.erase(m_kept.begin() + static_cast<long>(i));
        m_kept.push_back(used);  // most recently used last
        return used.data;
      }
    }
    return nullptr;
  }

  struct Mapping {
    uint64_t id = 0;
    uint8_t* data = nullptr;
    uint64_t bytes = 0;
  };
  Populator* const m_populator;
  uint64_t m_offeredId = 0;
  uint64_t m_offeredBytes = 0;
  std::vector<Mapping> m_kept;
  Mapping m_oneOff;
};

pid_t g_pid = 0;

// Test builds only: a file that starts with "IMAGESERVER-TEST <what>" makes
// the decoder misbehave as a compromised one would, or tell its pid.
bool testRequest(int fd) {
  char head[40] = {};
  if (pread(fd, head, sizeof(head) - 1, 0) <= 0) return false;
  static const char kPrefix[] = "IMAGESERVER-TEST ";
  if (std::strncmp(head, kPrefix, sizeof(kPrefix) - 1) != 0) return false;
  const char* what = head + sizeof(kPrefix) - 1;
  if (std::strncmp(what, "openat", 6) == 0) {
    syscall(SYS_openat, AT_FDCWD, "/etc/passwd", O_RDONLY);
  } else if (std::strncmp(what, "socket", 6) == 0) {
    syscall(SYS_socket, AF_INET, SOCK_STREAM, 0);
  } else if (std::strncmp(what, "crash", 5) == 0) {
    // An unmapped page near null: a plain fault (UBSan would report a null
    // pointer itself, and a sanitizer build's report has nowhere to go).
    volatile uintptr_t unmapped = 64;
    *reinterpret_cast<volatile int*>(unmapped) = 0;
  } else if (std::strncmp(what, "hang", 4) == 0) {
    for (volatile bool forever = true; forever;) {
    }
  } else if (std::strncmp(what, "oom", 3) == 0) {
    close(fd);
    failed(kor::Status::error(kor::Status::kNoMemory, "out of memory (a test)"));
    return true;
  } else if (std::strncmp(what, "badcode", 7) == 0) {
    // Fails with a code that no failure has.
    DecoderMessage failure;
    failure.kind = Message::kFailed;
    failure.code = kLastStatusCode + 1;
    close(fd);
    answer(failure);
    return true;
  } else if (std::strncmp(what, "overreach", 9) == 0) {
    // Claims a bitmap far larger than any memory it was offered or granted.
    DecoderMessage done;
    done.kind = Message::kDone;
    done.width = 4096;
    done.height = 4096;
    done.format = BitmapInfo::kFormatRGBA8888;
    done.stride = 4096 * 4;
    close(fd);
    answer(done);
    return true;
  } else if (std::strncmp(what, "pid", 3) == 0) {
    DecoderMessage info;
    info.kind = Message::kInfo;
    info.width = static_cast<uint32_t>(g_pid);
    info.height = 1;
    info.sourceType = BitmapInfo::kSourcePng;
    close(fd);
    answer(info);
    return true;
  }
  failed(kor::Status::error(kor::Status::kInvalidArgument, "unknown test request"));
  close(fd);
  return true;
}

// Reads the information of the open file |fd| and answers with it.
void serveInfo(const util::UnicodeString8& path, int fd, uint64_t fileSize) {
  kor::Status status;
  BitmapInfo* info = localImageInfo(path, fd, fileSize, &status);
  if (info == nullptr) {
    failed(status);
    return;
  }
  DecoderMessage reply;
  reply.kind = Message::kInfo;
  reply.width = info->width;
  reply.height = info->height;
  reply.sourceType = info->sourceType;
  reply.hasAlpha = info->hasAlpha ? 1 : 0;
  reply.isGrey = info->isGrey ? 1 : 0;
  Engine::getInstance().destroyBitmapInfo(info);
  answer(reply);
}

// Decodes the open file |fd| into memory the service grants, and answers
// with the bitmap's shape.
void serveDecode(const RequestMessage& request, const util::UnicodeString8& path, int fd,
                 GrantedPixels& provider) {
  const auto format = static_cast<BitmapInfo::Format>(request.format);
  kor::Status status = checkFormat(format);
  if (!status.ok()) {
    close(fd);
    failed(status);
    return;
  }
  BitmapPtr bitmap;
  takeColourNote(nullptr, 0);
  {
    PixelBufferScope scope(&provider);
    provider.offer(request.scratchId, request.scratchBytes);
    bitmap = localDecode(path, fd, request.fileSize, format, request.width, request.height,
                         request.scaled != 0, &status);
    provider.offer(0, 0);
  }
  if (bitmap == nullptr) {
    failed(status);
    return;
  }
  DecoderMessage reply;
  reply.kind = Message::kDone;
  // A colour description that could not be used, for the service to log.
  takeColourNote(reply.reason, sizeof(reply.reason));
  reply.width = bitmap->width;
  reply.height = bitmap->height;
  reply.format = bitmap->format;
  reply.stride = bitmap->stride;
  // The pixels are where the service can read them only when they are in
  // granted memory.
  const bool granted = static_cast<BitmapRecord*>(bitmap.get())->provider == &provider;
  bitmap.reset();  // unmaps memory granted for it alone
  if (!granted) {
    failed(kor::Status::error(kor::Status::kNoMemory, "no memory was granted for the pixels"));
    return;
  }
  answer(reply);
}

// Sorts an array large enough that the C library's qsort asks, once per
// process, how much memory the machine has (sysinfo): libtiff sorts the
// entries of the directory it reads.
void prepareSort() {
  uint64_t values[256] = {};
  std::qsort(values, 256, sizeof(uint64_t), [](const void* a, const void* b) {
    const uint64_t x = *static_cast<const uint64_t*>(a);
    const uint64_t y = *static_cast<const uint64_t*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
  });
}

}  // namespace

int runDecoderProcess(int argc, char** argv, bool testRequests) {
  // Dies with the service; a service that is already gone is not waited for.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (argc < 2 || getppid() != static_cast<pid_t>(std::atol(argv[1]))) return 2;
  g_pid = getpid();
  // Every descriptor but the channel.
  syscall(SYS_close_range, 0u, static_cast<unsigned>(kChannel - 1), 0u);
  syscall(SYS_close_range, static_cast<unsigned>(kChannel + 1), ~0u, 0u);

  DecoderMessage hello;
  hello.kind = Message::kHello;
  hello.missing = enterNamespaces();
  if (!limitResources()) return 3;
  prctl(PR_SET_DUMPABLE, 0);
#if defined(__GLIBC__)
  // One heap arena is enough for one request at a time, and keeps the
  // address space small.
  mallopt(M_ARENA_MAX, 1);
#endif
  if (!useOwnHeifDecoders()) return 3;
  prepareSort();
  // Notes are kept for the answers: nothing may be written to stderr.
  keepColourNotes();
  prepareColour();
  // The populator's thread, started before the filter: the C library sets
  // up its thread signals at the first thread it starts, so that the
  // codecs' threads need no more calls.
  auto* populator = new (std::nothrow) Populator;
  if (populator == nullptr) return 3;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !installFilter()) return 3;
  if (!send(hello)) return 0;

  GrantedPixels provider(populator);
  std::vector<char> buffer(sizeof(RequestMessage) + kMaxPathBytes + 1);
  for (;;) {
    int fd = -1;
    const ssize_t n = receive(buffer.data(), buffer.size() - 1, &fd, true);
    RequestMessage request;
    if (n < static_cast<ssize_t>(sizeof(request))) _exit(0);
    std::memcpy(&request, buffer.data(), sizeof(request));
    if (request.kind != Message::kRequest || fd < 0 ||
        request.pathBytes != static_cast<size_t>(n) - sizeof(request))
      _exit(0);
    buffer[static_cast<size_t>(n)] = '\0';
    if (testRequests && testRequest(fd)) continue;
    const util::UnicodeString8 path(buffer.data() + sizeof(request));
    if (request.infoOnly != 0)
      serveInfo(path, fd, request.fileSize);
    else
      serveDecode(request, path, fd, provider);
  }
}

}  // namespace lumo::internal
