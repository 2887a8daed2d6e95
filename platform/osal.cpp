#include "platform/osal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
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

// The name the kernel gives the existing file at |absolute|: the path is
// opened without opening the file itself (O_PATH: a FIFO or device is never
// touched, and a final link is followed like every other), and the resolved
// name is read back from /proc. Three calls, however deep the path. Empty
// when that fails (no /proc, a missing part, no search permission, a link
// loop, a name too long) or when the name is not a plain path reachable
// from the process's root (a deleted file, a pipe), so that the caller walks
// the path itself.
std::string kernelName(const std::string& absolute) {
  const int fd = open(absolute.c_str(), O_PATH | O_CLOEXEC);
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
// reached without following any symbolic link: then it is its own canonical
// form. Two calls (an open that refuses links, and its close) instead of the
// three of kernelName(); false when the kernel lacks that open.
bool isCanonicalAsSpelled(const std::string& absolute) {
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
  static std::atomic<bool> s_unsupported{false};
  if (s_unsupported.load(std::memory_order_relaxed) || !isCleanAbsolute(absolute)) return false;
  struct open_how how;
  std::memset(&how, 0, sizeof(how));
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const int fd =
      static_cast<int>(syscall(SYS_openat2, AT_FDCWD, absolute.c_str(), &how, sizeof(how)));
  if (fd < 0) {
    if (errno == ENOSYS) s_unsupported.store(true, std::memory_order_relaxed);
    return false;
  }
  ::close(fd);
  return true;
#else
  (void)absolute;
  return false;
#endif
}

}  // namespace

Path Path::getCanonicalized() const {
  if (m_path.empty() || m_path.find('\0') != std::string::npos) return Path();

  std::string pending = m_path;
  if (pending[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) return Path();
    pending = std::string(cwd) + "/" + pending;
  }

  // The common cases: a canonically spelled path without links, and a path
  // that exists as a whole, which the kernel resolves in one lookup instead
  // of one status query per component.
  if (isCanonicalAsSpelled(pending)) return Path(std::move(pending));
  std::string resolved = kernelName(pending);
  if (!resolved.empty()) return Path(std::move(resolved));

  // Walk the components, resolving links while the prefix exists. Once a
  // component is missing, the rest is normalised as text only.
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
    if (candidate.size() >= PATH_MAX) return Path();
    if (exists) {
      struct stat st;
      if (lstat(candidate.c_str(), &st) != 0) {
        exists = false;
      } else if (S_ISLNK(st.st_mode)) {
        if (++linksFollowed > 40) return Path();
        std::vector<char> target(PATH_MAX + 1);
        ssize_t n = readlink(candidate.c_str(), target.data(), PATH_MAX);
        if (n < 0) return Path();
        std::string link(target.data(), static_cast<size_t>(n));
        std::vector<std::string> linkParts = splitComponents(link);
        for (auto it = linkParts.rbegin(); it != linkParts.rend(); ++it) todo.push_back(*it);
        if (!link.empty() && link[0] == '/') result.clear();
        continue;
      }
    }
    result = std::move(candidate);
  }
  return Path(result.empty() ? std::string("/") : result);
}

bool FileInfo::init(const char* path, bool followLinks) {
  m_valid = false;
  m_mode = 0;
  m_size = 0;
  if (path == nullptr) {
    kor::ErrorStorage::set("cannot query file status: no path");
    return false;
  }
  struct stat st;
  int rc = followLinks ? stat(path, &st) : lstat(path, &st);
  if (rc != 0) {
    int err = errno;
    char prefix[PATH_MAX + 32];
    std::snprintf(prefix, sizeof(prefix), "cannot query status of %s", path);
    kor::ErrorStorage::setErrno(prefix, err);
    return false;
  }
  m_valid = true;
  m_mode = static_cast<uint32_t>(st.st_mode);
  m_size = static_cast<int64_t>(st.st_size);
  return true;
}

namespace {

// Opens |path| non-blocking and close-on-exec, and accepts it only when it
// is a regular file (a FIFO or device that replaced a file is refused
// without blocking). The descriptor, or -1 with the reason set.
int openRegular(const char* path, int64_t* size) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    char prefix[PATH_MAX + 16];
    std::snprintf(prefix, sizeof(prefix), "cannot open %s", path);
    kor::ErrorStorage::setErrno(prefix, err);
    return -1;
  }
  // O_NONBLOCK stays set: it has no effect on regular files.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    kor::ErrorStorage::set("cannot open %s: not a regular file", path);
    return -1;
  }
  *size = static_cast<int64_t>(st.st_size);
  return fd;
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

bool RegularFile::open(const char* path) {
  close();
  m_fd = openRegular(path, &m_size);
  return m_fd >= 0;
}

void RegularFile::close() {
  if (m_fd < 0) return;
  ::close(m_fd);
  m_fd = -1;
  m_size = 0;
}

int64_t RegularFile::readAt(void* buffer, size_t count, uint64_t offset) {
  return readFrom(m_fd, buffer, count, offset);
}

int64_t RegularFile::readFully(void* buffer, size_t count, uint64_t offset) {
  size_t done = 0;
  while (done < count) {
    const int64_t n = readFrom(m_fd, static_cast<uint8_t*>(buffer) + done, count - done,
                               offset + done);
    if (n < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

}  // namespace osal
