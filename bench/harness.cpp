// imageserver-bench's measurement harness: the clock, CPU time, output
// buffers, the processes it talks to, and the loop that runs the cases.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "bench.h"

extern char** environ;

namespace bench {

// ---------------------------------------------------------------------------
// Time and helpers

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

namespace {

// Keeps the compiler from dropping reads whose result is otherwise unused.
std::atomic<uint64_t> g_sink{0};

}  // namespace

// Reads every byte (eight at a time), as a consumer of the pixels or bytes
// does: the service's answers and the baselines' outputs alike.
void readAll(const uint8_t* data, size_t size) {
  if (data == nullptr) return;
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    sum += word;
  }
  for (; i < size; ++i) sum += data[i];
  g_sink.fetch_add(sum, std::memory_order_relaxed);
}

namespace {

// CPU seconds used so far by process |pid| (all its threads); 0 when the
// process cannot be read.
double processCpu(pid_t pid) {
  clockid_t clock;
  timespec ts;
  if (pid <= 0 || clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

// CPU seconds of every process that takes part in a measurement: this one
// (the client and its library thread, or the in-process decoder), the host,
// the Pillow worker, the ping-pong's echoing child, and the peer tools
// started and waited for so far.
double systemCpu(pid_t host, pid_t pillow, pid_t echo) {
  timespec self;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &self);
  rusage children;
  getrusage(RUSAGE_CHILDREN, &children);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
  };
  return static_cast<double>(self.tv_sec) + static_cast<double>(self.tv_nsec) * 1e-9 +
         processCpu(host) + processCpu(pillow) + processCpu(echo) + seconds(children.ru_utime) +
         seconds(children.ru_stime);
}

[[noreturn]] void fail(const std::string& what) { throw Failure(what); }

std::string basename(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---------------------------------------------------------------------------
// Output buffers

Block::Block(size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  m_data = static_cast<uint8_t*>(p);
  m_size = size;
}

Block::~Block() {
  if (m_data != nullptr) munmap(m_data, m_size);
}

uint8_t* Buffer::ensure(size_t size) {
  if (size == 0) size = 1;
  if (m_block == nullptr || m_block->size() < size) {
    m_block.reset();
    m_block = std::make_unique<Block>(size);
    if (m_block->get() == nullptr) fail("out of memory");
  }
  return m_block->get();
}

// ---------------------------------------------------------------------------
// The round-trip baselines

PingPong::PingPong(Peer peer) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0) fail("socketpair");
  if (peer == kThread) {
    m_thread = std::thread([this] { echo(m_fds[1]); });
    return;
  }
  // The child only receives, sends and exits: calls that are safe after
  // fork() in a process with threads.
  m_child = fork();
  if (m_child < 0) fail("fork");
  if (m_child == 0) {
    close(m_fds[0]);
    echo(m_fds[1]);
    _exit(0);
  }
}

PingPong::~PingPong() {
  shutdown(m_fds[0], SHUT_RDWR);
  if (m_thread.joinable()) m_thread.join();
  if (m_child > 0) waitpid(m_child, nullptr, 0);
  close(m_fds[0]);
  close(m_fds[1]);
}

double PingPong::measure(int count) {
  char message[64];
  std::memset(message, 'p', sizeof message);
  const double t0 = now();
  for (int i = 0; i < count; ++i) {
    if (!exchange(m_fds[0], message)) fail("ping-pong failed");
  }
  return (now() - t0) / count * 1e6;
}

bool PingPong::full(int fd, char* buffer, bool write) {
  size_t done = 0;
  while (done < 64) {
    ssize_t n = write ? send(fd, buffer + done, 64 - done, MSG_NOSIGNAL)
                      : recv(fd, buffer + done, 64 - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PingPong::exchange(int fd, char* message) {
  return full(fd, message, true) && full(fd, message, false);
}

void PingPong::echo(int fd) {
  char buffer[64];
  while (full(fd, buffer, false) && full(fd, buffer, true)) {
  }
}

// ---------------------------------------------------------------------------
// Peers

// Runs |argv| with stdin and stdout on /dev/null; returns the seconds from
// the start to the end of the process. Fails on a non-zero exit status.
double runCommand(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const double t0 = now();
  const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) fail("cannot start " + argv[0] + ": " + std::strerror(error));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const double t1 = now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(argv[0] + " failed");
  return t1 - t0;
}

PillowWorker::PillowWorker(const std::string& python, const std::string& script) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<char*> args = {const_cast<char*>(python.c_str()), const_cast<char*>(script.c_str()),
                             nullptr};
  const int error = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  if (error != 0) fail("cannot start " + python + ": " + std::strerror(error));
  m_in = fdopen(toChild[1], "w");
  m_out = fdopen(fromChild[0], "r");
}

PillowWorker::~PillowWorker() {
  if (m_in != nullptr) std::fclose(m_in);
  if (m_out != nullptr) std::fclose(m_out);
  int status = 0;
  if (m_pid > 0) waitpid(m_pid, &status, 0);
}

std::string PillowWorker::call(const std::string& command) {
  std::fputs((command + "\n").c_str(), m_in);
  std::fflush(m_in);
  char line[512];
  if (std::fgets(line, sizeof line, m_out) == nullptr) fail("Pillow worker went away");
  std::string answer(line);
  while (!answer.empty() && answer.back() == '\n') answer.pop_back();
  if (answer.rfind("ok", 0) != 0) fail("Pillow: " + answer);
  return answer;
}

// Width and height from a binary PPM/PGM header (comment lines allowed);
// {0, 0} when unreadable.
std::pair<uint32_t, uint32_t> ppmSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string token;
  std::vector<uint32_t> numbers;
  if (!(in >> token) || (token != "P6" && token != "P5")) return {0, 0};
  while (numbers.size() < 2 && in >> token) {
    if (token[0] == '#') {
      std::getline(in, token);
      continue;
    }
    numbers.push_back(static_cast<uint32_t>(std::strtoul(token.c_str(), nullptr, 10)));
  }
  return numbers.size() == 2 ? std::make_pair(numbers[0], numbers[1]) : std::make_pair(0u, 0u);
}

// ---------------------------------------------------------------------------
// The run loop

const char* kindName(Kind kind) {
  return kind == kBaseline  ? "baseline"
         : kind == kService ? "service"
         : kind == kPeer    ? "peer"
                            : "reference";
}

void runCases(std::vector<Case>& cases, const RunOptions& options, pid_t pillowPid, pid_t echoPid) {
  std::ofstream out(options.out);
  if (!out) fail("cannot write " + options.out);
  // Columns: the elapsed value in |unit| and the CPU time of all the
  // processes involved per operation (ms, or µs for the µs cases).
  out << "group\tlabel\tkind\tunit\trep\tvalue\tcpu\n";

  if (!options.only.empty()) {
    std::vector<std::string> wanted;
    std::stringstream alternatives(options.only);
    for (std::string text; std::getline(alternatives, text, '|');) wanted.push_back(text);
    std::erase_if(cases, [&wanted](const Case& c) {
      const std::string name = c.group + " / " + c.label;
      return std::none_of(wanted.begin(), wanted.end(), [&name](const std::string& text) {
        return name.find(text) != std::string::npos;
      });
    });
  }
  std::fprintf(stderr, "warm-up and checks (%zu cases)\n", cases.size());
  for (Case& c : cases) {
    try {
      c.run(true);
    } catch (const Failure& e) {
      c.failed = true;
      c.error = e.what();
      std::fprintf(stderr, "  FAILED %s / %s: %s\n", c.group.c_str(), c.label.c_str(), e.what());
      out << c.group << '\t' << c.label << '\t' << kindName(c.kind) << '\t' << c.unit
          << "\t-1\tnan\tnan\t" << c.error << '\n';
    }
  }
  for (int rep = 0; rep < options.reps; ++rep) {
    const double t0 = now();
    for (Case& c : cases) {
      if (c.failed) continue;
      try {
        const double cpu0 = systemCpu(options.hostPid, pillowPid, echoPid);
        const double value = c.run(false);
        const double cpu = (systemCpu(options.hostPid, pillowPid, echoPid) - cpu0) / c.ops *
                           (c.unit == "us" ? 1e6 : 1e3);
        out << c.group << '\t' << c.label << '\t' << kindName(c.kind) << '\t' << c.unit << '\t'
            << rep << '\t' << value << '\t' << cpu << '\n';
      } catch (const Failure& e) {
        c.failed = true;
        c.error = e.what();
        std::fprintf(stderr, "  FAILED %s / %s: %s\n", c.group.c_str(), c.label.c_str(), e.what());
        out << c.group << '\t' << c.label << '\t' << kindName(c.kind) << '\t' << c.unit << '\t'
            << rep << "\tnan\tnan\t" << c.error << '\n';
      }
    }
    out.flush();
    std::fprintf(stderr, "round %d/%d done (%.1f s)\n", rep + 1, options.reps, now() - t0);
  }
}

// ---------------------------------------------------------------------------
// Peak memory of a host process

long readStatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  fail("no " + std::string(field) + " for process " + std::to_string(pid));
}

}  // namespace bench
