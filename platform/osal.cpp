#include "platform/osal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define OSAL_HAVE_OPENAT2_HEADER 1
#else
#define RESOLVE_NO_MAGICLINKS 0x02
#define RESOLVE_NO_SYMLINKS 0x04
#endif
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/kor.h"

namespace osal {

namespace {

// Hands a failed pthread call to the error handler; the caller goes on.
void reportFailure(const char* what, int rc) {
  if (rc == 0) return;
  char buf[160];
  char errbuf[96];
  std::snprintf(buf, sizeof(buf), "%s: %s", what, strerror_r(rc, errbuf, sizeof(errbuf)));
  kor::GlobalErrorHandler::doWarning(buf);
}

}  // namespace

// ---------------------------------------------------------------------------
// Mutex and condition variable.

Mutex::Mutex() { reportFailure("Error initialising mutex", pthread_mutex_init(&m_mutex, nullptr)); }
Mutex::~Mutex() { reportFailure("Error destroying mutex", pthread_mutex_destroy(&m_mutex)); }
void Mutex::lock() { reportFailure("Error locking mutex", pthread_mutex_lock(&m_mutex)); }

void Mutex::unlock() { reportFailure("Error unlocking mutex", pthread_mutex_unlock(&m_mutex)); }

namespace {

int futex(std::atomic<uint32_t>* word, int operation, uint32_t value) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word");
  return static_cast<int>(syscall(SYS_futex, reinterpret_cast<uint32_t*>(word),
                                  operation | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0));
}

inline void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

// Spinning only pays when the signalling thread can run meanwhile.
bool spinningHelps() {
  static const bool several = sysconf(_SC_NPROCESSORS_ONLN) > 1;
  return several;
}

// True when |word| moved away from |seen| before |deadline|.
bool spinUntilMoved(const std::atomic<uint32_t>& word, uint32_t seen,
                    std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (word.load(std::memory_order_acquire) != seen) return true;
      spinPause();
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace

ConditionVariable::ConditionVariable(uint32_t spinMicros)
    : m_spinMicros(spinningHelps() ? spinMicros : 0) {}

ConditionVariable::~ConditionVariable() {
  if (m_sleepers.load(std::memory_order_acquire) != 0)
    reportFailure("error destroying condition variable", EBUSY);
}

void ConditionVariable::wait(Mutex& mutex) {
  // Read under the mutex: a signal for a change the caller has not seen yet
  // comes after this read and so moves the sequence away from it.
  const uint32_t seen = m_sequence.load(std::memory_order_acquire);
  mutex.unlock();
  // Spins only while waits end within the spin time: a waiter whose waits
  // last longer would spin for nothing every time.
  const auto spinTime = std::chrono::microseconds(m_spinMicros);
  std::chrono::steady_clock::time_point start;
  bool moved = false;
  if (m_spinMicros != 0) {
    start = std::chrono::steady_clock::now();
    if (m_spinPays.load(std::memory_order_relaxed))
      moved = spinUntilMoved(m_sequence, seen, start + spinTime);
  }
  if (!moved) {
    // Counted before the sequence is checked again in the kernel, so that a
    // notify() either sees this sleeper or moved the sequence already.
    m_sleepers.fetch_add(1, std::memory_order_seq_cst);
    while (m_sequence.load(std::memory_order_seq_cst) == seen) {
      if (futex(&m_sequence, FUTEX_WAIT, seen) == 0) break;
      if (errno == EAGAIN) break;
      if (errno != EINTR) {
        reportFailure("error waiting on condition variable", errno);
        break;
      }
    }
    m_sleepers.fetch_sub(1, std::memory_order_release);
  }
  if (m_spinMicros != 0)
    m_spinPays.store(std::chrono::steady_clock::now() - start <= spinTime,
                     std::memory_order_relaxed);
  mutex.lock();
}

void ConditionVariable::notify(bool all) {
  m_sequence.fetch_add(1, std::memory_order_seq_cst);
  if (m_sleepers.load(std::memory_order_seq_cst) == 0) return;
  if (futex(&m_sequence, FUTEX_WAKE, all ? static_cast<uint32_t>(INT_MAX) : 1u) < 0)
    reportFailure("error signalling condition variable", errno);
}

void ConditionVariable::signal() { notify(false); }

void ConditionVariable::broadcast() { notify(true); }

// ---------------------------------------------------------------------------
// Thread.

Thread::Thread(EntryFunction entry, void* arg, const char* name, int priority, uint32_t stackSize)
    : m_entry(entry), m_arg(arg), m_priority(priority), m_stackSize(stackSize), m_thread() {
  m_name[0] = '\0';
  if (name != nullptr) {
    std::strncpy(m_name, name, sizeof(m_name) - 1);
    m_name[sizeof(m_name) - 1] = '\0';
  }
}

Thread::~Thread() = default;

void* Thread::trampoline(void* self) {
  Thread* thread = static_cast<Thread*>(self);
#if defined(__linux__)
  if (thread->m_priority != 0) {
    // Linux gives each thread a nice value of its own.
    const id_t tid = static_cast<id_t>(gettid());
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, tid);
    // Without the right to raise it, the thread keeps the creator's.
    if (errno == 0)
      setpriority(PRIO_PROCESS, tid, std::clamp(current + thread->m_priority, -20, 19));
  }
#endif
  thread->m_entry(thread->m_arg);
  return nullptr;
}

bool Thread::start() {
  if (m_started) {
    kor::ErrorStorage::set("thread already started");
    return false;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (m_stackSize != 0) {
    const size_t bytes = std::max<size_t>(m_stackSize, PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attributes, bytes);
  }
  int rc = pthread_create(&m_thread, &attributes, &Thread::trampoline, this);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    kor::ErrorStorage::setErrno("cannot create thread", rc);
    return false;
  }
  m_started = true;
  if (m_name[0] != '\0') pthread_setname_np(m_thread, m_name);
  return true;
}

bool Thread::join() {
  if (!m_started || m_joined) return false;
  int rc = pthread_join(m_thread, nullptr);
  if (rc != 0) {
    kor::ErrorStorage::setErrno("cannot join thread", rc);
    return false;
  }
  m_joined = true;
  return true;
}

// ---------------------------------------------------------------------------
// Paths.

std::string BasicPath::getExtension(bool withoutDot) const {
  size_t slash = m_path.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = m_path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart || dot + 1 == m_path.size()) return "";
  return m_path.substr(withoutDot ? dot + 1 : dot);
}

namespace {

// Splits |path| into its components, dropping empty ones and ".".
std::vector<std::string> splitComponents(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// Set once openat2(2) answered ENOSYS (a kernel before 5.6); then paths are
// walked instead. g_walkForTests makes a test take that way on any kernel.
std::atomic<bool> g_kernelLacksOpenat2{false};
std::atomic<bool> g_walkForTests{false};

// openat2(2) relative to the working directory, with |flags| and |resolve|.
// The descriptor, or -1 with errno set: ENOSYS when the kernel lacks the call
// (or a test says so), and nothing was opened.
int openHow(const char* path, int flags, uint64_t resolve) {
#if defined(SYS_openat2) && defined(OSAL_HAVE_OPENAT2_HEADER)
  if (!g_kernelLacksOpenat2.load(std::memory_order_relaxed) &&
      !g_walkForTests.load(std::memory_order_relaxed)) {
    struct open_how how;
    std::memset(&how, 0, sizeof(how));
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = resolve;
    int fd;
    do {
      fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof(how)));
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != ENOSYS) return fd;
    g_kernelLacksOpenat2.store(true, std::memory_order_relaxed);
  }
#else
  (void)path;
  (void)flags;
  (void)resolve;
#endif
  errno = ENOSYS;
  return -1;
}

// The name the kernel gives the existing file at |absolute|: the path is
// opened without opening the file itself (O_PATH: a FIFO or device is never
// touched, and a final link is followed like every other, but never a magic
// link), and the resolved name is read back from /proc. Three calls, however
// deep the path. Empty when that fails (a kernel without openat2, no /proc,
// a missing part, no search permission, a link loop, a magic link, a name
// too long) or when the name is not a plain path reachable from the
// process's root (a deleted file), so that the caller walks the path itself.
std::string kernelName(const std::string& absolute) {
  const int fd = openHow(absolute.c_str(), O_PATH | O_CLOEXEC, RESOLVE_NO_MAGICLINKS);
  if (fd < 0) return std::string();
  char link[32];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char name[PATH_MAX];
  const ssize_t n = readlink(link, name, sizeof(name));
  ::close(fd);
  // PATH_MAX bytes may be a cut-off name; the walk refuses those anyway.
  if (n <= 0 || n >= PATH_MAX || name[0] != '/') return std::string();
  const size_t length = static_cast<size_t>(n);
  static const char kDeleted[] = " (deleted)";
  const size_t deletedLength = sizeof(kDeleted) - 1;
  if (length >= deletedLength &&
      std::memcmp(name + length - deletedLength, kDeleted, deletedLength) == 0)
    return std::string();
  return std::string(name, length);
}

// True when |absolute| is spelled canonically: no empty, "." or ".."
// component and no slash at the end.
bool isCleanAbsolute(const std::string& absolute) {
  if (absolute.size() < 2 || absolute[0] != '/' || absolute.back() == '/') return false;
  size_t start = 1;
  while (start <= absolute.size()) {
    size_t end = absolute.find('/', start);
    if (end == std::string::npos) end = absolute.size();
    const size_t length = end - start;
    if (length == 0) return false;
    if (absolute[start] == '.' && (length == 1 || (length == 2 && absolute[start + 1] == '.')))
      return false;
    start = end + 1;
  }
  return true;
}

// True when |absolute|, spelled canonically, names an existing file that is
// reached without following any symbolic link (magic links included): then
// it is its own canonical form. Two calls (an open that refuses links, and
// its close) instead of the three of kernelName(); false when the kernel
// lacks that open.
bool isCanonicalAsSpelled(const std::string& absolute) {
  if (!isCleanAbsolute(absolute)) return false;
  const int fd = openHow(absolute.c_str(), O_PATH | O_CLOEXEC, RESOLVE_NO_SYMLINKS);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// True when the symbolic link |link| (whose folder is resolved already) is
// one of the links of /proc that lead to what a process has open rather than
// to a path: /proc/<pid>/fd/*, map_files/*, ns/*, cwd, root and exe, also
// under task/<tid>/. Reaching a file through one bypasses every check of its
// path. /proc/self and /proc/thread-self are plain links to the numbered
// folders and are resolved before this is asked; /dev/fd, /dev/stdin and the
// like lead there too. Decided by the folder's file system, so that procfs
// is recognised wherever it is mounted, and a folder called "fd" elsewhere is
// not taken for it.
bool isMagicLink(const std::string& link) {
  const size_t slash = link.rfind('/');
  const std::string folder = slash == 0 ? std::string("/") : link.substr(0, slash);
  const std::string name = link.substr(slash + 1);
  const std::string folderName = folder.substr(folder.rfind('/') + 1);
  const bool placed = name == "cwd" || name == "root" || name == "exe" || folderName == "fd" ||
                      folderName == "map_files" || folderName == "ns";
  if (!placed) return false;
  struct statfs fs;
  // A folder whose file system cannot be told is taken for procfs.
  if (statfs(folder.c_str(), &fs) != 0) return true;
  return fs.f_type == PROC_SUPER_MAGIC;
}

// How walkPath() ended.
enum class Walk { kResolved, kFailed, kMagicLink };

// Resolves the absolute path |pending| component by component: symbolic
// links are read and followed while the prefix exists, and once a component
// is missing the rest is normalised as text only. Stops at a magic link
// (isMagicLink()), a link loop, a link that cannot be read or a result
// longer than PATH_MAX, with errno set: ELOOP for a magic link or a loop.
Walk walkPath(const std::string& pending, std::string* canonical) {
  std::vector<std::string> todo = splitComponents(pending);
  std::reverse(todo.begin(), todo.end());
  std::string result;  // "" stands for "/"
  bool exists = true;
  int linksFollowed = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.back());
    todo.pop_back();
    if (part == "..") {
      size_t slash = result.rfind('/');
      result.erase(slash == std::string::npos ? 0 : slash);
      continue;
    }
    std::string candidate = result + "/" + part;
    if (candidate.size() >= PATH_MAX) {
      errno = ENAMETOOLONG;
      return Walk::kFailed;
    }
    if (exists) {
      struct stat st;
      if (lstat(candidate.c_str(), &st) != 0) {
        exists = false;
      } else if (S_ISLNK(st.st_mode)) {
        if (isMagicLink(candidate)) {
          errno = ELOOP;
          return Walk::kMagicLink;
        }
        if (++linksFollowed > 40) {
          errno = ELOOP;
          return Walk::kFailed;
        }
        std::vector<char> target(PATH_MAX + 1);
        ssize_t n = readlink(candidate.c_str(), target.data(), PATH_MAX);
        if (n < 0) return Walk::kFailed;
        std::string link(target.data(), static_cast<size_t>(n));
        std::vector<std::string> linkParts = splitComponents(link);
        for (auto it = linkParts.rbegin(); it != linkParts.rend(); ++it) todo.push_back(*it);
        if (!link.empty() && link[0] == '/') result.clear();
        continue;
      }
    }
    result = std::move(candidate);
  }
  *canonical = result.empty() ? std::string("/") : result;
  return Walk::kResolved;
}

// |path| made absolute against the working directory; empty when that
// cannot be read.
std::string absolutePath(const std::string& path) {
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) return std::string();
  return std::string(cwd) + "/" + path;
}

}  // namespace

namespace testing {
void walkPathsWithoutOpenat2(bool walk) { g_walkForTests.store(walk, std::memory_order_relaxed); }
}  // namespace testing

std::string currentDirectory() {
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) == nullptr || cwd[0] != '/') return std::string();
  try {
    return std::string(cwd);
  } catch (...) {
    return std::string();
  }
}

Path Path::getCanonicalized() const {
  if (m_path.empty() || m_path.find('\0') != std::string::npos) return Path();
  std::string pending = absolutePath(m_path);
  if (pending.empty()) return Path();

  // The common cases: a canonically spelled path without links, and a path
  // that exists as a whole, which the kernel resolves in one lookup instead
  // of one status query per component. Neither follows a magic link; where
  // either fails, the walk finds out why (and refuses a magic link too).
  if (isCanonicalAsSpelled(pending)) return Path(std::move(pending));
  std::string resolved = kernelName(pending);
  if (!resolved.empty()) return Path(std::move(resolved));
  if (walkPath(pending, &resolved) != Walk::kResolved) return Path();
  return Path(std::move(resolved));
}

bool FileInfo::init(const char* path, bool followLinks) {
  m_valid = false;
  m_error = 0;
  m_mode = 0;
  m_size = 0;
  m_identity = FileIdentity();
  if (path == nullptr) {
    m_error = EINVAL;
    kor::ErrorStorage::set("cannot query file status: no path");
    return false;
  }
  struct stat st;
  int rc = followLinks ? stat(path, &st) : lstat(path, &st);
  if (rc != 0) {
    int err = errno;
    m_error = err;
    char prefix[PATH_MAX + 32];
    std::snprintf(prefix, sizeof(prefix), "cannot query status of %s", path);
    kor::ErrorStorage::setErrno(prefix, err);
    return false;
  }
  m_valid = true;
  m_mode = static_cast<uint32_t>(st.st_mode);
  m_size = static_cast<int64_t>(st.st_size);
  m_identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

namespace {
// The identity of the innermost AcceptedFileScope of the thread, or null.
thread_local const FileIdentity* t_accepted = nullptr;
}  // namespace

AcceptedFileScope::AcceptedFileScope(const FileIdentity& accepted)
    : m_outer(t_accepted), m_accepted(accepted) {
  t_accepted = &m_accepted;
}

AcceptedFileScope::~AcceptedFileScope() { t_accepted = m_outer; }

namespace {

// Opens |path| with |flags| as open(2) does, except that it never passes
// through a magic link: openat2 refuses one, and without openat2 the path is
// walked first (a link swapped into the path between the walk and the open
// is not seen: closing that gap needs a kernel with openat2). A path the walk
// cannot follow is refused too. -1 with errno set on failure, and *magic
// true when a magic link was the reason.
int openWithoutMagicLinks(const char* path, int flags, bool* magic) {
  *magic = false;
  int fd = openHow(path, flags, RESOLVE_NO_MAGICLINKS);
  if (fd >= 0) return fd;
  const int err = errno;
  if (err != ENOSYS && err != ELOOP) return -1;
  if (*path == '\0') {
    errno = ENOENT;
    return -1;
  }
  // After ELOOP (a magic link or a loop) the walk only tells which.
  const std::string absolute = absolutePath(path);
  std::string ignored;
  const Walk walk = absolute.empty() ? Walk::kFailed : walkPath(absolute, &ignored);
  *magic = walk == Walk::kMagicLink;
  if (walk != Walk::kResolved || err == ELOOP) {
    if (walk == Walk::kResolved) errno = err;
    return -1;
  }
  do {
    fd = open(path, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens |path| non-blocking and close-on-exec, never through a magic link,
// and accepts it only when it is a regular file (a FIFO or device that
// replaced a file is refused without blocking): the descriptor in |*fd|.
kor::Status openRegular(const char* path, int* fd, int64_t* size) {
  using kor::Status;
  bool magic = false;
  *fd = openWithoutMagicLinks(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, &magic);
  if (*fd < 0) {
    if (magic)
      return Status::error(Status::kInvalidArgument,
                           "cannot open %s: the path passes through a magic link of /proc", path);
    return Status::fromErrno(errno, "cannot open %s", path);
  }
  // O_NONBLOCK stays set: it has no effect on regular files.
  struct stat st;
  Status refused;
  if (fstat(*fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    refused = Status::error(Status::kInvalidArgument, "cannot open %s: not a regular file", path);
  } else {
    const FileIdentity* accepted = t_accepted;
    if (accepted != nullptr && accepted->isSet() &&
        !(*accepted ==
          FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}))
      refused = Status::error(Status::kFailed,
                              "cannot open %s: it is no longer the file that was accepted", path);
  }
  if (!refused.ok()) {
    close(*fd);
    *fd = -1;
    return refused;
  }
  *size = static_cast<int64_t>(st.st_size);
  return Status();
}

// pread(2) from a 64-bit offset, repeated when interrupted. An offset past
// what off_t holds (a 32-bit build without large-file offsets) reads as the
// end of the file.
int64_t readFrom(int fd, void* buffer, size_t count, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return 0;
  ssize_t n;
  do {
    n = pread(fd, buffer, count, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

kor::Status RegularFile::open(const char* path) {
  close();
  return openRegular(path, &m_fd, &m_size);
}

void RegularFile::adopt(int fd, int64_t size) {
  close();
  m_fd = fd;
  m_size = fd >= 0 ? size : 0;
}

void RegularFile::close() {
  if (m_fd < 0) return;
  ::close(m_fd);
  m_fd = -1;
  m_size = 0;
}

kor::Status RegularFile::readAt(void* buffer, size_t count, uint64_t offset, size_t* read) {
  const int64_t n = readFrom(m_fd, buffer, count, offset);
  *read = n > 0 ? static_cast<size_t>(n) : 0;
  return n < 0 ? kor::Status::fromErrno(errno, "read failed") : kor::Status();
}

kor::Status RegularFile::readFully(void* buffer, size_t count, uint64_t offset, size_t* read) {
  *read = 0;
  while (*read < count) {
    const int64_t n =
        readFrom(m_fd, static_cast<uint8_t*>(buffer) + *read, count - *read, offset + *read);
    if (n < 0) return kor::Status::fromErrno(errno, "read failed");
    if (n == 0) break;
    *read += static_cast<size_t>(n);
  }
  return kor::Status();
}

}  // namespace osal
