// OS abstraction: threads, mutexes, condition variables, paths and file
// status. The only place besides the transport and the engine that calls the
// operating system.
#ifndef PLATFORM_OSAL_H_
#define PLATFORM_OSAL_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/kor.h"

namespace osal {

// ---------------------------------------------------------------------------
// Error handlers of the mutex and condition operations.
//
// A failing system call is reported as a warning through
// kor::GlobalErrorHandler::doWarning with the texts below followed by the
// error name, e.g. "Error destroying mutex: Device or resource busy". The
// operation then returns as if it had succeeded.
//   mutex:     "Error initialising mutex", "Error locking mutex",
//              "Error unlocking mutex", "Error destroying mutex"
//   condition: "error waiting on condition variable",
//              "error signalling condition variable",
//              "error destroying condition variable" (a thread still waits)

class Mutex {
 public:
  Mutex();  // default attributes: not recursive, no priority inheritance
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  void unlock();

 private:
  pthread_mutex_t m_mutex;
};

// Locks |mutex| for the lifetime of the object.
class MutexLocker {
 public:
  explicit MutexLocker(Mutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
  ~MutexLocker() { m_mutex.unlock(); }
  MutexLocker(const MutexLocker&) = delete;
  MutexLocker& operator=(const MutexLocker&) = delete;

 private:
  Mutex& m_mutex;
};

// A condition variable on a futex word: wait() sleeps until the word's
// sequence number moves, and signal() or broadcast() moves it.
//
// A waiter that comes back from the sleep takes the mutex with an ordinary
// lock, so the unlock after it costs no system call. Optionally a waiter
// first spins for a short while before it sleeps (see the constructor):
// a consumer that is woken often, after short idle gaps, then takes the next
// item without a sleep and a wake-up, and the producer's signal without a
// waiter asleep is no system call either.
class ConditionVariable {
 public:
  // |spinMicros|: how long wait() watches for a signal before it sleeps,
  // when more than one processor is online (0: sleep at once). The spin is
  // skipped after a wait that lasted longer than that, until a wait is
  // short again, so a waiter whose waits are long does not spin for nothing
  // each time. Use it for a waiter whose wake-up latency matters, with up
  // to about a hundred microseconds.
  explicit ConditionVariable(uint32_t spinMicros = 0);
  ~ConditionVariable();
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  // Releases |mutex| (which the caller holds) while waiting; holds it again on
  // return. May return spuriously: callers re-check their condition.
  void wait(Mutex& mutex);
  // Wakes one waiter; a waiter that is spinning takes it without a system
  // call.
  void signal();
  // Wakes every waiter.
  void broadcast();

 private:
  void notify(bool all);
  // Bumped by every signal and broadcast; the futex word.
  std::atomic<uint32_t> m_sequence{0};
  // Waiters asleep or about to sleep on m_sequence: a notify() wakes the
  // kernel only when there are some.
  std::atomic<uint32_t> m_sleepers{0};
  const uint32_t m_spinMicros;
  // The last wait ended within the spin time: the next one spins.
  std::atomic<bool> m_spinPays{true};
};

// ---------------------------------------------------------------------------
// Thread: runs |entry(arg)| on a new thread once start() is called.
//
// A name, when given, is set as the thread's OS name (truncated to 15 bytes);
// null leaves the thread unnamed. |priority| 0 keeps the creator's scheduling
// priority; a positive value lowers it by that many steps (on Linux the
// thread's own nice value, 1..19), for work that should use only time nobody
// else needs; a negative one raises it where the process may (otherwise the
// thread runs at the creator's priority). |stackSize| 0 takes the system's
// default stack; otherwise the stack has that many bytes, at least the system's
// minimum. The destructor does not join: the owner joins before the object goes
// away. Deleting a derived object through a Thread* runs the derived
// destructor.
class Thread {
 public:
  typedef void (*EntryFunction)(void* arg);

  Thread(EntryFunction entry, void* arg, const char* name = nullptr, int priority = 0,
         uint32_t stackSize = 0);
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread. False when it could not be created (reason in
  // kor::ErrorStorage) or was started before.
  bool start();
  // Waits until the thread has ended. False when it was never started or was
  // joined before.
  bool join();

 private:
  static void* trampoline(void* self);

  EntryFunction m_entry;
  void* m_arg;
  char m_name[16];
  int m_priority;
  uint32_t m_stackSize;
  pthread_t m_thread;
  bool m_started = false;
  bool m_joined = false;
};

// ---------------------------------------------------------------------------
// Paths.

// A file-system path held as bytes.
class BasicPath {
 public:
  BasicPath() = default;
  explicit BasicPath(const char* path) : m_path(path != nullptr ? path : "") {}
  explicit BasicPath(std::string path) : m_path(std::move(path)) {}

  const char* c_str() const { return m_path.c_str(); }
  const std::string& str() const { return m_path; }
  bool isEmpty() const { return m_path.empty(); }

  // The extension of the last path component: the bytes after its last dot,
  // without the dot when |withoutDot| is true (with it otherwise). A name
  // without a dot, a name whose only dot is its first byte (".profile") and a
  // name ending in a dot have no extension (""). So "a.png.txt" gives "txt",
  // "archive.tar.gz" gives "gz", "/dir.d/file" gives "".
  std::string getExtension(bool withoutDot) const;

 protected:
  std::string m_path;
};

class Path : public BasicPath {
 public:
  using BasicPath::BasicPath;

  // The canonical form: an absolute path without "." and ".." components or
  // repeated slashes, with every symbolic link resolved in the part of the
  // path that exists; the part that does not exist (yet) is normalised as
  // text. A relative path is taken relative to the process's current working
  // directory. Empty for an empty path, a path with an embedded NUL, a
  // symbolic-link loop, a result longer than PATH_MAX, a failure to read
  // the working directory, or a path that passes through a magic link.
  //
  // Magic links are the links of /proc that lead to what a process holds
  // rather than to a path: /proc/<pid>/fd/*, map_files/*, ns/*, cwd, root
  // and exe (also under task/<tid>/, and so /proc/self/..., /proc/thread-self/...,
  // /dev/fd/*, /dev/stdin and any link that leads there). Their name says
  // nothing about what they reach, and what they reach changes as the
  // process opens and closes descriptors, so a path through one is never
  // given a canonical form. Where the kernel has openat2(2), its
  // RESOLVE_NO_MAGICLINKS refuses them; elsewhere (before Linux 5.6) the path
  // is walked and a link on procfs in one of the places above is refused.
  Path getCanonicalized() const;
};

// The process's current working directory, absolute; empty when it cannot
// be read (removed, longer than PATH_MAX) or memory is short.
std::string currentDirectory();

// What names one file whichever path leads to it: its device and inode
// number. Unset (all zero) when unknown.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool isSet() const { return device != 0 || inode != 0; }
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The status of a file, as stat(2) or lstat(2) gives it.
class FileInfo {
 public:
  FileInfo() = default;

  // Queries |path|; follows a final symbolic link when |followLinks| is true.
  // On failure isValid() is false and the reason, naming the path, is left in
  // the calling thread's kor::ErrorStorage. Never opens the file.
  bool init(const char* path, bool followLinks);

  bool isValid() const { return m_valid; }
  // The errno of the failed query (EACCES: a folder on the path may not be
  // searched); 0 after a successful one.
  int error() const { return m_error; }
  uint32_t mode() const { return m_mode; }  // POSIX mode bits (type 0xF000)
  int64_t size() const { return m_size; }
  bool isRegularFile() const { return m_valid && (m_mode & 0xF000u) == 0x8000u; }
  const FileIdentity& identity() const { return m_identity; }

 private:
  bool m_valid = false;
  int m_error = 0;
  uint32_t m_mode = 0;
  int64_t m_size = 0;
  FileIdentity m_identity;
};

// While one lives on a thread, RegularFile::open() on that thread opens only
// the file |accepted| names, and refuses any other with "cannot open <path>:
// it is no longer the file that was accepted". A path is judged once, when it
// is accepted, and opened later: a link or a name swapped in between must
// not lead the open to a file that was never judged. An unset identity
// checks nothing. Scopes nest; the innermost holds.
class AcceptedFileScope {
 public:
  explicit AcceptedFileScope(const FileIdentity& accepted);
  ~AcceptedFileScope();
  AcceptedFileScope(const AcceptedFileScope&) = delete;
  AcceptedFileScope& operator=(const AcceptedFileScope&) = delete;

 private:
  const FileIdentity* m_outer;
  FileIdentity m_accepted;
};

// A regular file open for reading at explicit offsets. The system keeps no
// position for it, so reading anywhere in the file is one call and never a
// seek. Closed by the destructor.
class RegularFile {
 public:
  RegularFile() = default;
  ~RegularFile() { close(); }
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  // Opens |path| for reading without ever blocking: non-blocking and
  // close-on-exec, and only when it is a regular file (a FIFO or device that
  // replaced a file is refused) and, inside an AcceptedFileScope, the file
  // it names. Never through a magic link (see
  // Path::getCanonicalized()): such a path fails with "cannot open <path>:
  // the path passes through a magic link of /proc". Without openat2(2) the
  // path is walked before it is opened, and a path the walk cannot follow is
  // refused; a link swapped in between the walk and the open is then not
  // seen. Fails with the system's code (kNotFound, kPermissionDenied...),
  // kInvalidArgument for a magic link or what is not a regular file.
  kor::Status open(const char* path);
  // Takes |fd|, a regular file opened for reading elsewhere (by another
  // process, which measured it as |size| bytes); it is closed with this.
  void adopt(int fd, int64_t size);
  void close();
  bool isOpen() const { return m_fd >= 0; }
  // The descriptor, for handing the open file to another process (-1 when
  // closed); still owned by this.
  int descriptor() const { return m_fd; }
  // The size in bytes from the status taken at open().
  int64_t size() const { return m_size; }
  // Reads up to |count| bytes from |offset| into |buffer|: |*read| bytes, 0
  // at the end of the file. Fails on a read error (nothing read then).
  kor::Status readAt(void* buffer, size_t count, uint64_t offset, size_t* read);
  // As readAt(), but goes on until |count| bytes are read or the file ends.
  // On a read error |*read| still counts the bytes read before it. Straight
  // into |buffer|, no copy.
  kor::Status readFully(void* buffer, size_t count, uint64_t offset, size_t* read);

 private:
  int m_fd = -1;
  int64_t m_size = 0;
};

namespace testing {
// While |walk| is true, paths are resolved and files opened as on a kernel
// without openat2(2), so that tests reach that way on any kernel.
// Process-wide.
void walkPathsWithoutOpenat2(bool walk);
}  // namespace testing

}  // namespace osal

#endif  // PLATFORM_OSAL_H_
