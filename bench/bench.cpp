// imageserver-bench: measures the image service end to end from a client
// process and compares it with in-process library baselines and with peer
// tools, on the same files in the same run.
//
//   imageserver-bench run --inputs DIR --scratch DIR --out SAMPLES.tsv
//                         [--reps N] [--instance N] [--host-pid PID]
//                         [--pillow-worker PATH] [--client PATH] [--no-peers]
//                         [--only TEXT]
//       Runs every case once as a warm-up (which also checks the outputs),
//       then N rounds; each round runs every case once, in a fixed order that
//       puts each service case next to its baseline and peers, so that slow
//       drifts of the machine affect them alike. Writes one line per sample.
//       --only keeps the cases whose "group / label" contains TEXT, or one
//       of several texts separated by "|" (for profiling a few cases).
//       --client names imageserver-client for the one-shot cases (whole
//       processes against the peers' tools); without it they are left out.
//   imageserver-bench rss --instance N --pid PID --file PATH --scaling S --label L
//       Asks a freshly started host for one decode and prints the host's peak
//       resident memory (VmHWM) before and after: "L<TAB>idle_kB<TAB>peak_kB".
//   imageserver-bench idle --instance N --pid PID --file PATH [--clients 10]
//                          [--decodes 100] [--reserve-mib M]
//       Has the clients ask for the full decodes at once and disconnect,
//       waits for the host's resident memory to settle and prints
//       "idle-after<TAB>VmRSS_kB<TAB>RssShmem_kB<TAB>reserve_kB".
//   imageserver-bench report --samples SAMPLES.tsv --rss RSS.tsv --idle IDLE.tsv
//                            --md OUT.md --plot-dir DIR [--environment FILE]
//       Computes medians and spreads, the target ratios, writes the Markdown
//       report, the plot data and a gnuplot script (DIR/results.gp).
//
// All times come from clock_gettime(CLOCK_MONOTONIC).
#include <fcntl.h>
#include <gif_lib.h>
#include <spawn.h>
#include <spng.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "svx/imageserver/client/ImageServerClient.h"

extern char** environ;

namespace {

namespace isc = imageserver::client;

// ---------------------------------------------------------------------------
// Time and helpers

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Keeps the compiler from dropping reads whose result is otherwise unused.
std::atomic<uint64_t> g_sink{0};

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

// CPU seconds used so far by process |pid| (all its threads); 0 when the
// process cannot be read.
double processCpu(pid_t pid) {
  clockid_t clock;
  timespec ts;
  if (pid <= 0 || clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

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

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what) { throw Failure(what); }

std::string basename(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Anonymous pages from the kernel: fresh ones fault in on their first write.
class Block {
 public:
  Block() = default;
  explicit Block(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    m_data = static_cast<uint8_t*>(p);
    m_size = size;
  }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() {
    if (m_data != nullptr) munmap(m_data, m_size);
  }
  uint8_t* get() const { return m_data; }
  size_t size() const { return m_size; }

 private:
  uint8_t* m_data = nullptr;
  size_t m_size = 0;
};

// A decoder's output buffer. A baseline keeps one across rounds and grows
// it when an image needs more, as a program that decodes many images does:
// after the warm-up its pages are in memory, and decoding is all that is
// timed. The reference rows take a fresh one per call and so pay a page
// fault per 4 KiB written.
class Buffer {
 public:
  uint8_t* ensure(size_t size) {
    if (size == 0) size = 1;
    if (m_block == nullptr || m_block->size() < size) {
      m_block.reset();
      m_block = std::make_unique<Block>(size);
      if (m_block->get() == nullptr) fail("out of memory");
    }
    return m_block->get();
  }

 private:
  std::unique_ptr<Block> m_block;
};

// A decoded picture (or a file's bytes) in a Buffer.
struct Pixels {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

// ---------------------------------------------------------------------------
// In-process baselines

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Decodes with libjpeg-turbo's defaults (islow IDCT, fancy upsampling) into
// packed RGB, scaled by 1/denominator in the IDCT, straight into |buffer|.
// No object with a destructor lives in this frame.
bool decodeJpegInto(FILE* file, int denominator, Buffer* buffer, Pixels* out) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = jpegErrorExit;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  cinfo.scale_num = 1;
  cinfo.scale_denom = static_cast<unsigned int>(denominator);
  jpeg_start_decompress(&cinfo);
  const size_t stride = size_t{cinfo.output_width} * 3;
  out->size = stride * cinfo.output_height;
  out->width = cinfo.output_width;
  out->height = cinfo.output_height;
  uint8_t* base = buffer->ensure(out->size);
  out->data = base;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[16];
    const int count =
        std::min<int>(16, static_cast<int>(cinfo.output_height - cinfo.output_scanline));
    for (int i = 0; i < count; ++i) rows[i] = base + (cinfo.output_scanline + i) * stride;
    jpeg_read_scanlines(&cinfo, rows, static_cast<JDIMENSION>(count));
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

Pixels decodeJpeg(const std::string& path, int denominator, Buffer* buffer) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) fail("cannot open " + path);
  Pixels pixels;
  const bool ok = decodeJpegInto(file, denominator, buffer, &pixels);
  std::fclose(file);
  if (!ok) fail("libjpeg-turbo failed on " + path);
  return pixels;
}

// libspng into packed RGB8 (the file's own layout), one call.
Pixels decodePng(const std::string& path, Buffer* buffer) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) fail("cannot open " + path);
  spng_ctx* ctx = spng_ctx_new(0);
  Pixels pixels;
  spng_ihdr ihdr;
  size_t size = 0;
  bool ok = ctx != nullptr && spng_set_png_file(ctx, file) == 0 && spng_get_ihdr(ctx, &ihdr) == 0 &&
            spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size) == 0;
  if (ok) {
    uint8_t* data = buffer->ensure(size);
    pixels.data = data;
    pixels.size = size;
    pixels.width = ihdr.width;
    pixels.height = ihdr.height;
    ok = spng_decode_image(ctx, data, size, SPNG_FMT_RGB8, 0) == 0;
  }
  spng_ctx_free(ctx);
  std::fclose(file);
  if (!ok) fail("libspng failed on " + path);
  return pixels;
}

// giflib: the first frame, line by line, each line expanded through the
// colour map into packed RGB (the least a consumer of pixels needs).
Pixels decodeGif(const std::string& path, Buffer* buffer) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) fail("giflib cannot open " + path);
  Pixels pixels;
  bool done = false;
  bool ok = true;
  std::vector<GifPixelType> line;
  while (ok && !done) {
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) {
      ok = false;
      break;
    }
    if (type == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType* data;
      ok = DGifGetExtension(gif, &code, &data) != GIF_ERROR;
      while (ok && data != nullptr) ok = DGifGetExtensionNext(gif, &data) != GIF_ERROR;
    } else if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif) == GIF_ERROR) {
        ok = false;
        break;
      }
      const GifImageDesc& desc = gif->Image;
      const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif->SColorMap;
      if (map == nullptr || desc.Interlace) {
        ok = false;  // the benchmark's GIF has a global map and no interlace
        break;
      }
      pixels.width = static_cast<uint32_t>(desc.Width);
      pixels.height = static_cast<uint32_t>(desc.Height);
      pixels.size = size_t{pixels.width} * pixels.height * 3;
      uint8_t* data = buffer->ensure(pixels.size);
      pixels.data = data;
      line.resize(pixels.width);
      for (uint32_t y = 0; ok && y < pixels.height; ++y) {
        ok = DGifGetLine(gif, line.data(), desc.Width) != GIF_ERROR;
        uint8_t* row = data + size_t{y} * pixels.width * 3;
        for (uint32_t x = 0; x < pixels.width; ++x) {
          const GifColorType& c = map->Colors[line[x] < map->ColorCount ? line[x] : 0];
          row[x * 3] = c.Red;
          row[x * 3 + 1] = c.Green;
          row[x * 3 + 2] = c.Blue;
        }
      }
      done = true;
    } else if (type == TERMINATE_RECORD_TYPE) {
      break;
    }
  }
  DGifCloseFile(gif, &error);
  if (!ok || !done) fail("giflib failed on " + path);
  return pixels;
}

// open + fstat + read() of the whole file.
Pixels readWholeFile(const std::string& path, Buffer* buffer) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open " + path);
  struct stat status;
  if (fstat(fd, &status) != 0) {
    close(fd);
    fail("cannot stat " + path);
  }
  Pixels bytes;
  bytes.size = static_cast<size_t>(status.st_size);
  uint8_t* data = buffer->ensure(bytes.size);
  bytes.data = data;
  size_t done = 0;
  while (done < bytes.size) {
    const ssize_t n = read(fd, data + done, bytes.size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (done != bytes.size) fail("short read of " + path);
  return bytes;
}

// ---------------------------------------------------------------------------
// The round-trip baselines: 64 bytes there and back over a Unix socketpair,
// answered by a second thread of this process or by a child process. A
// client and the service always live in two processes, so the second is the
// cost any request to another process pays; the first leaves out the
// switch between address spaces.

class PingPong {
 public:
  enum Peer { kThread, kProcess };
  explicit PingPong(Peer peer) {
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
  ~PingPong() {
    shutdown(m_fds[0], SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    if (m_child > 0) waitpid(m_child, nullptr, 0);
    close(m_fds[0]);
    close(m_fds[1]);
  }
  pid_t child() const { return m_child; }
  // Microseconds per round trip, the mean of |count| consecutive ones.
  double measure(int count) {
    char message[64];
    std::memset(message, 'p', sizeof message);
    const double t0 = now();
    for (int i = 0; i < count; ++i) {
      if (!exchange(m_fds[0], message)) fail("ping-pong failed");
    }
    return (now() - t0) / count * 1e6;
  }

 private:
  static bool full(int fd, char* buffer, bool write) {
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
  static bool exchange(int fd, char* message) {
    return full(fd, message, true) && full(fd, message, false);
  }
  static void echo(int fd) {
    char buffer[64];
    while (full(fd, buffer, false) && full(fd, buffer, true)) {
    }
  }
  int m_fds[2] = {-1, -1};
  std::thread m_thread;
  pid_t m_child = -1;
};

// ---------------------------------------------------------------------------
// Peers: command-line tools started per request (their normal use), and
// Pillow in one long-lived Python process fed over pipes.

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

class PillowWorker {
 public:
  PillowWorker(const std::string& python, const std::string& script) {
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
  pid_t pid() const { return m_pid; }
  ~PillowWorker() {
    if (m_in != nullptr) std::fclose(m_in);
    if (m_out != nullptr) std::fclose(m_out);
    int status = 0;
    if (m_pid > 0) waitpid(m_pid, &status, 0);
  }
  // Sends one command and waits for its answer ("ok ..."), returned.
  std::string call(const std::string& command) {
    std::fputs((command + "\n").c_str(), m_in);
    std::fflush(m_in);
    char line[512];
    if (std::fgets(line, sizeof line, m_out) == nullptr) fail("Pillow worker went away");
    std::string answer(line);
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    if (answer.rfind("ok", 0) != 0) fail("Pillow: " + answer);
    return answer;
  }

 private:
  pid_t m_pid = -1;
  FILE* m_in = nullptr;
  FILE* m_out = nullptr;
};

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
// Cases

// A reference row is shown beside the others, but no target uses it.
enum Kind { kBaseline, kService, kPeer, kReference };
const char* kindName(Kind kind) {
  return kind == kBaseline  ? "baseline"
         : kind == kService ? "service"
         : kind == kPeer    ? "peer"
                            : "reference";
}

struct Case {
  std::string group;  // what is done, on which file
  std::string label;  // who does it
  Kind kind = kBaseline;
  std::string unit;  // "ms", "us" or "img/s"
  // One sample, in |unit|. |check| is true on the warm-up run, which also
  // validates the output and may log what was produced.
  std::function<double(bool check)> run;
  // Operations per sample: the CPU time of a sample is divided by it.
  double ops = 1;
  bool failed = false;
  std::string error;
};

struct Inputs {
  std::string dir;
  std::string jpeg12, jpeg12p, jpeg1, png12, gif12, bmp30;
  std::string jpeg8, jpeg2, jpeg075;  // with jpeg12: the mixed-size stream
  std::vector<std::string> small;
  std::string smallList;  // a file listing |small|, one path a line
};

// Service answer checks and timing.
double serviceImage(isc::SyncClient& client, const std::string& path, int scaling, bool decode,
                    bool check, size_t expectLength) {
  std::vector<isc::Answer> answers;
  std::string error;
  const double t0 = now();
  const bool ok =
      client.requestImages({path}, static_cast<int8_t>(scaling), decode, 120.0, &answers, &error);
  if (!ok || answers.size() != 1) fail("service request failed: " + error);
  const isc::Answer& answer = answers[0];
  if (answer.result != isc::RESULT_OK || !answer.hasImage)
    fail(std::string("service answered ") + isc::resultName(answer.result));
  readAll(answer.data(), answer.length());
  const double t1 = now();
  if (check) {
    if (answer.length() != answer.dataLength) fail("payload shorter than announced");
    if (expectLength != 0 && answer.length() != expectLength)
      fail("service answered " + std::to_string(answer.length()) + " bytes, expected " +
           std::to_string(expectLength));
    std::fprintf(stderr, "  service %s %s /%d: %u x %u %s, %zu bytes%s\n", basename(path).c_str(),
                 decode ? "decode" : "bytes", scaling, answer.info.width, answer.info.height,
                 decode ? isc::formatName(answer.info.format) : "file", answer.length(),
                 answer.payload.isShared() ? " (shared memory)" : "");
  }
  return (t1 - t0) * 1e3;
}

// Microseconds per information request, the mean of |count| in a row.
double serviceInfo(isc::SyncClient& client, const std::string& path, int count) {
  std::vector<isc::Answer> answers;
  std::string error;
  const double t0 = now();
  for (int i = 0; i < count; ++i) {
    answers.clear();
    if (!client.requestInformation({path}, 60.0, &answers, &error) || answers.size() != 1)
      fail("information request failed: " + error);
    if (answers[0].result != isc::RESULT_OK || !answers[0].hasInfo)
      fail(std::string("information answered ") + isc::resultName(answers[0].result));
  }
  return (now() - t0) / count * 1e6;
}

// Images per second over |total| decodes of |path| at |scaling|, shared by
// |clients.size()| connections working at once, each from its own thread.
double throughput(std::vector<std::unique_ptr<isc::SyncClient>>& clients, size_t count,
                  const std::string& path, int scaling, int total) {
  std::latch start(static_cast<std::ptrdiff_t>(count) + 1);
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  const int each = total / static_cast<int>(count);
  for (size_t c = 0; c < count; ++c) {
    threads.emplace_back([&, c] {
      start.arrive_and_wait();
      for (int i = 0; i < each; ++i) {
        try {
          serviceImage(*clients[c], path, scaling, true, false, 0);
        } catch (const Failure&) {
          failed = true;
          return;
        }
      }
    });
  }
  const double t0 = now();
  start.arrive_and_wait();
  for (std::thread& t : threads) t.join();
  const double t1 = now();
  if (failed) fail("a throughput client failed");
  return each * static_cast<double>(count) / (t1 - t0);
}

struct RunOptions {
  std::string inputs;
  std::string scratch;
  std::string out;
  int reps = 11;
  uint32_t instance = 0;
  pid_t hostPid = 0;  // for the CPU time of the service
  std::string pillowWorker;
  std::string client;  // imageserver-client, for the one-shot cases
  std::string python = "/usr/bin/python3";
  bool peers = true;
  std::string only;  // when set, only the cases whose "group / label" contains it
};

Inputs findInputs(const std::string& dir) {
  Inputs in;
  in.dir = dir;
  in.jpeg12 = dir + "/photo12.jpg";
  in.jpeg12p = dir + "/photo12-prog.jpg";
  in.jpeg1 = dir + "/photo1.jpg";
  in.png12 = dir + "/photo12.png";
  in.gif12 = dir + "/photo12.gif";
  in.bmp30 = dir + "/big.bmp";
  in.jpeg8 = dir + "/photo8.jpg";
  in.jpeg2 = dir + "/photo2.jpg";
  in.jpeg075 = dir + "/photo075.jpg";
  static const char* const kExtensions[4] = {"jpg", "png", "gif", "bmp"};
  for (int i = 0; i < 1000; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/small/%04d.%s", i, kExtensions[i % 4]);
    in.small.push_back(dir + name);
  }
  for (const std::string& path : {in.jpeg12, in.jpeg12p, in.jpeg1, in.png12, in.gif12, in.bmp30,
                                  in.jpeg8, in.jpeg2, in.jpeg075, in.small.back()}) {
    if (access(path.c_str(), R_OK) != 0) fail("missing input " + path);
  }
  return in;
}

// Group names shared by the run and the report (the targets look them up).
std::string groupName(const std::string& file, const std::string& what) {
  return basename(file) + ": " + what;
}
const char* const kGroupPing = "round trip, 64 bytes";
const char* const kLabelPingProcess = "socketpair, two processes";
const char* const kLabelPingThread = "socketpair, two threads";
const char* const kGroupInfo1000 = "information, 1,000 small files";
const char* const kGroupThroughput = "photo1.jpg: decode /2, throughput";
const char* const kLabelService = "service";
const char* const kLabelJpeg = "libjpeg-turbo in-process";
// The mixed-size stream of one long-lived client, and whole processes.
std::string mixedGroup(const std::string& file, int scaling) {
  return "mixed stream, " + basename(file) + ": decode " +
         (scaling == 1 ? std::string("full") : "/" + std::to_string(scaling));
}
std::string oneShotGroup(const std::string& file, int scaling) {
  return "one-shot process, " + basename(file) + ": decode " +
         (scaling == 1 ? std::string("full") : "/" + std::to_string(scaling));
}
const char* const kLabelClientTool = "imageserver-client";

// Size of a PAM or PPM file that holds at least |width| x |height| RGB
// pixels, checked after a one-shot run.
void checkImageFile(const std::string& path, uint32_t width, uint32_t height) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) fail(path + " was not written");
  const uint64_t pixels = uint64_t{width} * height * 3;
  if (static_cast<uint64_t>(status.st_size) < pixels ||
      static_cast<uint64_t>(status.st_size) > pixels + 256)
    fail(path + " has " + std::to_string(status.st_size) + " bytes for " + std::to_string(width) +
         " x " + std::to_string(height) + " RGB");
}

int runBenchmarks(const RunOptions& options) {
  const Inputs in = findInputs(options.inputs);
  {
    std::ofstream list(in.dir + "/small.list");
    for (const std::string& path : in.small) list << path << '\n';
  }
  const std::string smallList = in.dir + "/small.list";

  // First, so that the child process holds no copy of a connection or pipe.
  PingPong pingProcess(PingPong::kProcess);
  PingPong pingThread(PingPong::kThread);

  isc::ConnectOptions connect;
  connect.instance = options.instance;
  std::string error;
  auto client = isc::SyncClient::connect(connect, &error);
  if (!client) fail("cannot connect to the service: " + error);
  auto mixed = isc::SyncClient::connect(connect, &error);
  if (!mixed) fail("cannot connect to the service: " + error);
  std::vector<std::unique_ptr<isc::SyncClient>> one, four;
  one.push_back(isc::SyncClient::connect(connect, &error));
  for (int i = 0; i < 4; ++i) four.push_back(isc::SyncClient::connect(connect, &error));
  for (auto& c : one)
    if (!c) fail("cannot connect: " + error);
  for (auto& c : four)
    if (!c) fail("cannot connect: " + error);

  std::unique_ptr<PillowWorker> pillow;
  if (options.peers) pillow = std::make_unique<PillowWorker>(options.python, options.pillowWorker);

  std::vector<Case> cases;
  auto add = [&cases](std::string group, std::string label, Kind kind, std::string unit,
                      std::function<double(bool)> run, double ops = 1) {
    Case c;
    c.group = std::move(group);
    c.label = std::move(label);
    c.kind = kind;
    c.unit = std::move(unit);
    c.run = std::move(run);
    c.ops = ops;
    cases.push_back(std::move(c));
  };

  add(
      kGroupPing, kLabelPingProcess, kBaseline, "us",
      [&pingProcess](bool) { return pingProcess.measure(200); }, 200);
  add(
      kGroupPing, kLabelPingThread, kBaseline, "us",
      [&pingThread](bool) { return pingThread.measure(200); }, 200);

  struct FileSpec {
    std::string path;
    int library;  // 0 none, 1 libjpeg-turbo, 2 libspng, 3 giflib
  };
  const std::vector<FileSpec> files = {{in.jpeg12, 1}, {in.jpeg12p, 1}, {in.jpeg1, 1},
                                       {in.png12, 2},  {in.gif12, 3},   {in.bmp30, 0}};
  // Times |decode| into |buffer| and the read of every byte it produced.
  auto decodeCase = [](std::shared_ptr<Buffer> buffer, std::function<Pixels(Buffer*)> decode) {
    return [buffer, decode](bool) {
      const double t0 = now();
      const Pixels pixels = decode(buffer.get());
      readAll(pixels.data, pixels.size);
      return (now() - t0) * 1e3;
    };
  };
  for (const FileSpec& file : files) {
    const std::string path = file.path;
    add(
        groupName(path, "information"), kLabelService, kService, "us",
        [&client, path](bool) { return serviceInfo(*client, path, 200); }, 200);
    add(groupName(path, "file bytes"), "open + read()", kBaseline, "ms",
        decodeCase(std::make_shared<Buffer>(),
                   [path](Buffer* buffer) { return readWholeFile(path, buffer); }));
    add(groupName(path, "file bytes"), kLabelService, kService, "ms",
        [&client, path](bool check) { return serviceImage(*client, path, 0, false, check, 0); });
    for (int scaling : {1, 2, 4, 8}) {
      const std::string group =
          groupName(path, scaling == 1 ? "decode full" : "decode /" + std::to_string(scaling));
      auto buffer = std::make_shared<Buffer>();
      if (file.library == 1) {
        add(group, kLabelJpeg, kBaseline, "ms", decodeCase(buffer, [path, scaling](Buffer* b) {
              return decodeJpeg(path, scaling, b);
            }));
        if (path == in.jpeg12 && scaling == 1) {
          // What the same decode costs into fresh pages every time.
          add(group, std::string(kLabelJpeg) + ", fresh buffer", kReference, "ms", [path](bool) {
            Buffer fresh;
            const double t0 = now();
            const Pixels pixels = decodeJpeg(path, 1, &fresh);
            readAll(pixels.data, pixels.size);
            return (now() - t0) * 1e3;
          });
        }
      } else if (file.library == 2 && scaling == 1) {
        add(group, "libspng in-process", kBaseline, "ms",
            decodeCase(buffer, [path](Buffer* b) { return decodePng(path, b); }));
      } else if (file.library == 3 && scaling == 1) {
        add(group, "giflib in-process", kBaseline, "ms",
            decodeCase(buffer, [path](Buffer* b) { return decodeGif(path, b); }));
      }
      const int library = file.library;
      add(group, kLabelService, kService, "ms", [&client, path, scaling, library](bool check) {
        // The warm-up checks the decoded length against the in-process
        // decoder's output, where there is one.
        size_t expect = 0;
        Buffer scratch;
        if (check && library == 1) expect = decodeJpeg(path, scaling, &scratch).size;
        if (check && library == 2 && scaling == 1) expect = decodePng(path, &scratch).size;
        if (check && library == 3 && scaling == 1) expect = decodeGif(path, &scratch).size;
        return serviceImage(*client, path, scaling, true, check, expect);
      });

      if (!options.peers || path != in.jpeg12) continue;
      // Peers on the 12-MP baseline JPEG, to the same output size.
      const std::string scratch = options.scratch;
      if (scaling == 1) {
        add(group, "djpeg", kPeer, "ms", [path](bool) {
          return runCommand({"/usr/bin/djpeg", "-outfile", "/dev/null", path}) * 1e3;
        });
        add(group, "Pillow load()", kPeer, "ms", [&pillow, path](bool check) {
          const double t0 = now();
          const std::string answer = pillow->call("load\t" + path);
          const double t1 = now();
          if (check && answer != "ok 4000 3000") fail("Pillow load gave " + answer);
          return (t1 - t0) * 1e3;
        });
      } else if (scaling == 8) {
        const std::string w = "500", h = "375";
        auto checkPpm = [](const std::string& out) {
          auto size = ppmSize(out);
          if (size.first != 500 || size.second != 375)
            fail(out + " is " + std::to_string(size.first) + " x " + std::to_string(size.second));
        };
        add(group, "djpeg -scale 1/8", kPeer, "ms", [=](bool check) {
          const std::string out = scratch + "/djpeg8.ppm";
          const double t = runCommand({"/usr/bin/djpeg", "-scale", "1/8", "-outfile", out, path});
          if (check) checkPpm(out);
          return t * 1e3;
        });
        add(group, "ImageMagick convert", kPeer, "ms", [=](bool check) {
          const std::string out = scratch + "/convert8.ppm";
          const double t = runCommand({"/usr/bin/convert", "-define", "jpeg:size=" + w + "x" + h,
                                       path, "-resize", w + "x" + h, "ppm:" + out});
          if (check) checkPpm(out);
          return t * 1e3;
        });
        add(group, "vipsthumbnail", kPeer, "ms", [=](bool check) {
          const std::string out = scratch + "/vips8.ppm";
          const double t =
              runCommand({"/usr/bin/vipsthumbnail", path, "-s", w + "x" + h, "-o", out});
          if (check) checkPpm(out);
          return t * 1e3;
        });
        add(group, "Pillow draft() + load()", kPeer, "ms", [&pillow, path, w, h](bool check) {
          const double t0 = now();
          const std::string answer = pillow->call("draft\t" + path + "\t" + w + "\t" + h);
          const double t1 = now();
          if (check && answer != "ok 500 375") fail("Pillow draft gave " + answer);
          return (t1 - t0) * 1e3;
        });
        add(group, "Pillow thumbnail()", kPeer, "ms", [&pillow, path, w, h](bool check) {
          const double t0 = now();
          const std::string answer = pillow->call("thumbnail\t" + path + "\t" + w + "\t" + h);
          const double t1 = now();
          if (check && answer != "ok 500 375") fail("Pillow thumbnail gave " + answer);
          return (t1 - t0) * 1e3;
        });
      }
    }
  }

  // A long-lived client asking for JPEGs of four sizes, full and /8, in
  // turn, on a connection of its own; the baseline decodes the same stream
  // in this process into one buffer that it keeps.
  auto mixedBuffer = std::make_shared<Buffer>();
  for (const std::string& path : {in.jpeg12, in.jpeg2, in.jpeg8, in.jpeg075}) {
    for (int scaling : {1, 8}) {
      const std::string group = mixedGroup(path, scaling);
      add(group, kLabelJpeg, kBaseline, "ms", decodeCase(mixedBuffer, [path, scaling](Buffer* b) {
            return decodeJpeg(path, scaling, b);
          }));
      add(group, kLabelService, kService, "ms", [&mixed, path, scaling](bool check) {
        // The service's scaled size is the full size divided, rounded down.
        size_t expect = 0;
        Buffer scratch;
        if (check) {
          const Pixels full = decodeJpeg(path, 1, &scratch);
          expect = size_t{full.width / scaling} * (full.height / scaling) * 3;
        }
        return serviceImage(*mixed, path, scaling, true, check, expect);
      });
    }
  }

  // Whole processes, each writing the picture to a file: the service's
  // command-line client (PAM) against the peers' tools (PPM).
  if (options.peers && !options.client.empty()) {
    const std::string path = in.jpeg12;
    const std::string scratch = options.scratch;
    const std::string instance = std::to_string(options.instance);
    const std::string client = options.client;
    const std::string python = options.python;
    const std::string worker = options.pillowWorker;
    for (int scaling : {1, 8}) {
      const std::string group = oneShotGroup(path, scaling);
      const uint32_t w = scaling == 1 ? 4000 : 500, h = scaling == 1 ? 3000 : 375;
      const std::string size = std::to_string(w) + "x" + std::to_string(h);
      auto oneShot = [w, h](std::vector<std::string> argv, std::string out) {
        return [w, h, argv, out](bool check) {
          const double t = runCommand(argv);
          if (check) checkImageFile(out, w, h);
          return t * 1e3;
        };
      };
      const std::string tag = scaling == 1 ? "full" : "8";
      std::vector<std::string> clientArgs = {client, "--instance", instance, "decode", path};
      if (scaling != 1) clientArgs.insert(clientArgs.end(), {"--scale", std::to_string(scaling)});
      const std::string pam = scratch + "/oneshot-" + tag + ".pam";
      clientArgs.insert(clientArgs.end(), {"-o", pam});
      add(group, kLabelClientTool, kService, "ms", oneShot(clientArgs, pam));
      const std::string ppm = scratch + "/oneshot-" + tag + ".ppm";
      if (scaling == 1) {
        add(group, "djpeg", kPeer, "ms", oneShot({"/usr/bin/djpeg", "-outfile", ppm, path}, ppm));
        add(group, "Pillow (python3 process)", kPeer, "ms",
            oneShot({python, worker, "oneshot", "load", path, ppm}, ppm));
        add(group, "vips copy", kPeer, "ms", oneShot({"/usr/bin/vips", "copy", path, ppm}, ppm));
      } else {
        add(group, "djpeg -scale 1/8", kPeer, "ms",
            oneShot({"/usr/bin/djpeg", "-scale", "1/8", "-outfile", ppm, path}, ppm));
        add(group, "Pillow draft() (python3 process)", kPeer, "ms",
            oneShot({python, worker, "oneshot", "draft", path, ppm, std::to_string(w),
                     std::to_string(h)},
                    ppm));
        add(group, "vipsthumbnail", kPeer, "ms",
            oneShot({"/usr/bin/vipsthumbnail", path, "-s", size, "-o", ppm}, ppm));
      }
    }
  }

  // Information for 1,000 files in one request, and the peers' batch modes.
  add(kGroupInfo1000, kLabelService + std::string(", one request"), kService, "ms",
      [&client, &in](bool check) {
        std::vector<isc::Answer> answers;
        std::string error;
        const double t0 = now();
        const bool ok = client->requestInformation(in.small, 120.0, &answers, &error);
        const double t1 = now();
        if (!ok || answers.size() != in.small.size())
          fail("1,000 information answers: " + std::to_string(answers.size()) + " came; " + error);
        if (check) {
          for (const isc::Answer& a : answers)
            if (a.result != isc::RESULT_OK || !a.hasInfo || a.info.width == 0)
              fail("information failed for " + a.locator);
        }
        return (t1 - t0) * 1e3;
      });
  if (options.peers) {
    std::vector<std::string> identify = {"/usr/bin/identify", "-ping"};
    identify.insert(identify.end(), in.small.begin(), in.small.end());
    add(kGroupInfo1000, "identify -ping (one process)", kPeer, "ms",
        [identify](bool) { return runCommand(identify) * 1e3; });
    std::vector<std::string> vipsheader = {"/usr/bin/vipsheader"};
    vipsheader.insert(vipsheader.end(), in.small.begin(), in.small.end());
    add(kGroupInfo1000, "vipsheader (one process)", kPeer, "ms",
        [vipsheader](bool) { return runCommand(vipsheader) * 1e3; });
    add(kGroupInfo1000, "Pillow Image.open() loop", kPeer, "ms", [&pillow, smallList](bool check) {
      const double t0 = now();
      const std::string answer = pillow->call("infolist\t" + smallList);
      const double t1 = now();
      if (check && answer != "ok 1000") fail("Pillow infolist gave " + answer);
      return (t1 - t0) * 1e3;
    });
  }

  // Throughput: the same 24 decodes by one connection, then shared by four
  // connections working at once (one thread each).
  add(
      kGroupThroughput, "1 client", kService, "img/s",
      [&one, &in](bool) { return throughput(one, 1, in.jpeg1, 2, 24); }, 24);
  add(
      kGroupThroughput, "4 clients", kService, "img/s",
      [&four, &in](bool) { return throughput(four, 4, in.jpeg1, 2, 24); }, 24);

  std::ofstream out(options.out);
  if (!out) fail("cannot write " + options.out);
  // Columns: the elapsed value in |unit| and the CPU time of all the
  // processes involved per operation (ms, or µs for the µs cases).
  out << "group\tlabel\tkind\tunit\trep\tvalue\tcpu\n";
  const pid_t pillowPid = pillow ? pillow->pid() : 0;
  const pid_t echoPid = pingProcess.child();

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
  return 0;
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

int measureRss(uint32_t instance, pid_t pid, const std::string& path, int scaling,
               const std::string& label) {
  isc::ConnectOptions connect;
  connect.instance = instance;
  std::string error;
  auto client = isc::SyncClient::connect(connect, &error);
  if (!client) fail("cannot connect: " + error);
  // The idle peak includes the connection being set up.
  std::vector<isc::Answer> answers;
  if (!client->requestInformation({path}, 30.0, &answers, &error)) fail(error);
  const long idle = readStatusKb(pid, "VmHWM");
  serviceImage(*client, path, scaling, true, false, 0);
  const long peak = readStatusKb(pid, "VmHWM");
  std::printf("%s\t%ld\t%ld\n", label.c_str(), idle, peak);
  return 0;
}

// What a host holds once its clients are gone: |clients| connections ask for
// |decodes| full decodes of |path| in all, at once, and disconnect; then the
// host's resident memory is read until it settles. Prints
// "idle-after<TAB>VmRSS_kB<TAB>RssShmem_kB<TAB>reserve_kB".
int measureIdle(uint32_t instance, pid_t pid, const std::string& path, int clients, int decodes,
                uint64_t reserveMiB) {
  {
    isc::ConnectOptions connect;
    connect.instance = instance;
    std::string error;
    std::vector<std::unique_ptr<isc::SyncClient>> all;
    for (int i = 0; i < clients; ++i) {
      all.push_back(isc::SyncClient::connect(connect, &error));
      if (!all.back()) fail("cannot connect: " + error);
    }
    throughput(all, all.size(), path, 1, decodes);
  }
  long last = -1;
  long rss = readStatusKb(pid, "VmRSS");
  for (int i = 0; i < 100 && std::labs(rss - last) > 256; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    last = rss;
    rss = readStatusKb(pid, "VmRSS");
  }
  std::printf("idle-after\t%ld\t%ld\t%llu\n", rss, readStatusKb(pid, "RssShmem"),
              static_cast<unsigned long long>(reserveMiB * 1024));
  return 0;
}

// ---------------------------------------------------------------------------
// Report

struct Stats {
  size_t n = 0;
  double median = NAN, min = NAN, max = NAN, q1 = NAN, q3 = NAN;
};

double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return NAN;
  const double pos = q * static_cast<double>(sorted.size() - 1);
  const size_t lo = static_cast<size_t>(pos);
  const size_t hi = std::min(lo + 1, sorted.size() - 1);
  return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - static_cast<double>(lo));
}

Stats stats(std::vector<double> values) {
  Stats s;
  std::sort(values.begin(), values.end());
  s.n = values.size();
  if (values.empty()) return s;
  s.median = quantile(values, 0.5);
  s.q1 = quantile(values, 0.25);
  s.q3 = quantile(values, 0.75);
  s.min = values.front();
  s.max = values.back();
  return s;
}

struct Row {
  std::string group, label, kind, unit, error;
  std::vector<double> values;
  std::vector<double> cpu;
  Stats s;
  Stats c;
};

void split(const std::string& line, std::vector<std::string>* fields) {
  fields->clear();
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, '\t')) fields->push_back(field);
}

std::string fmt(double v, const std::string& unit) {
  if (std::isnan(v)) return "–";
  char text[64];
  if (unit == "img/s")
    std::snprintf(text, sizeof text, "%.1f", v);
  else if (v >= 100)
    std::snprintf(text, sizeof text, "%.0f", v);
  else if (v >= 10)
    std::snprintf(text, sizeof text, "%.1f", v);
  else
    std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

std::string unitText(const std::string& unit) { return unit == "us" ? "µs" : unit; }

struct Target {
  std::string name;
  std::string measured;  // values behind the ratio
  double ratio = NAN;
  double cpuRatio = NAN;  // the same ratio by CPU time, where it applies
  double limit = NAN;
  bool atMost = true;  // ratio <= limit passes; otherwise ratio >= limit
  bool strict = false;
  bool pass() const {
    if (std::isnan(ratio)) return false;
    if (atMost) return strict ? ratio < limit : ratio <= limit;
    return ratio >= limit;
  }
  // A row without a limit is shown for reference and neither passes nor
  // misses.
  const char* verdict(const char* passText, const char* missText) const {
    if (std::isnan(limit)) return "–";
    return pass() ? passText : missText;
  }
};

int writeReport(const std::string& samplesPath, const std::string& rssPath,
                const std::string& idlePath, const std::string& md, const std::string& plotDir,
                const std::string& environmentPath) {
  std::vector<Row> rows;
  std::map<std::string, size_t> index;
  {
    std::ifstream in(samplesPath);
    if (!in) fail("cannot read " + samplesPath);
    std::string line;
    std::getline(in, line);  // header
    std::vector<std::string> f;
    while (std::getline(in, line)) {
      split(line, &f);
      if (f.size() < 7) continue;
      const std::string key = f[0] + "\t" + f[1];
      auto it = index.find(key);
      if (it == index.end()) {
        it = index.emplace(key, rows.size()).first;
        Row row;
        row.group = f[0];
        row.label = f[1];
        row.kind = f[2];
        row.unit = f[3];
        rows.push_back(row);
      }
      Row& row = rows[it->second];
      if (f[5] == "nan") {
        row.error = f.size() > 7 ? f[7] : "failed";
      } else {
        row.values.push_back(std::strtod(f[5].c_str(), nullptr));
        row.cpu.push_back(std::strtod(f[6].c_str(), nullptr));
      }
    }
  }
  for (Row& row : rows) {
    row.s = stats(row.values);
    row.c = stats(row.cpu);
  }
  auto find = [&](const std::string& group, const std::string& label) -> const Row* {
    auto it = index.find(group + "\t" + label);
    if (it == index.end() || !rows[it->second].error.empty()) return nullptr;
    return &rows[it->second];
  };

  // Peak memory: label -> peak kB values.
  std::map<std::string, std::vector<double>> peaks, idles;
  {
    std::ifstream in(rssPath);
    std::string line;
    std::vector<std::string> f;
    while (std::getline(in, line)) {
      split(line, &f);
      if (f.size() < 3) continue;
      idles[f[0]].push_back(std::strtod(f[1].c_str(), nullptr));
      peaks[f[0]].push_back(std::strtod(f[2].c_str(), nullptr));
    }
  }
  auto peakMedian = [&](const std::string& label) {
    auto it = peaks.find(label);
    return it == peaks.end() ? std::nan("") : stats(it->second).median;
  };

  const std::string j12 = "photo12.jpg";
  auto g = [](const std::string& file, const std::string& what) { return groupName(file, what); };
  auto valueText = [](double v, const std::string& unit) {
    return fmt(v, unit) + " " + unitText(unit);
  };
  std::vector<Target> targets;
  // A target comparing the medians of two cases: a ÷ b (or b ÷ a when
  // |inverse|), with the CPU-time ratio beside it.
  auto compare = [&](const std::string& name, const std::string& groupA, const std::string& labelA,
                     const std::string& groupB, const std::string& labelB, double limit,
                     bool atMost) {
    Target t;
    t.name = name;
    t.limit = limit;
    t.atMost = atMost;
    const Row* a = find(groupA, labelA);
    const Row* b = find(groupB, labelB);
    if (a == nullptr || b == nullptr) {
      t.measured = "not measured";
    } else {
      t.ratio = a->s.median / b->s.median;
      t.cpuRatio = a->c.median / b->c.median;
      t.measured = valueText(a->s.median, a->unit) + " vs " + valueText(b->s.median, b->unit);
    }
    targets.push_back(t);
    return &targets.back();
  };

  // The fastest peer of |group| (by median).
  auto fastestPeer = [&](const std::string& group) {
    std::string best;
    double bestMedian = NAN;
    for (const Row& row : rows) {
      if (row.group == group && row.kind == "peer" && row.error.empty() &&
          (std::isnan(bestMedian) || row.s.median < bestMedian)) {
        bestMedian = row.s.median;
        best = row.label;
      }
    }
    return best;
  };
  for (const char* file : {"photo12.jpg", "photo8.jpg"}) {
    const std::string mp = std::string(file) == j12 ? "12-MP" : "8-MP";
    compare("mixed-size stream, " + mp + " JPEG full decode: service ÷ in-process libjpeg-turbo",
            mixedGroup(file, 1), kLabelService, mixedGroup(file, 1), kLabelJpeg, 1.10, true);
  }
  for (const char* file : {"photo12.jpg", "photo8.jpg"}) {
    const std::string mp = std::string(file) == j12 ? "12-MP" : "8-MP";
    compare("mixed-size stream, " + mp + " JPEG decode /8: service ÷ in-process libjpeg-turbo 1/8",
            mixedGroup(file, 8), kLabelService, mixedGroup(file, 8), kLabelJpeg, 1.10, true);
  }
  compare("one-shot process, 12-MP JPEG full decode to a file: imageserver-client ÷ djpeg",
          oneShotGroup(j12, 1), kLabelClientTool, oneShotGroup(j12, 1), "djpeg", 1.10, true);
  {
    const std::string best = fastestPeer(oneShotGroup(j12, 8));
    compare(
        "one-shot process, 12-MP JPEG decode /8 to a file: imageserver-client ÷ fastest peer (" +
            best + ")",
        oneShotGroup(j12, 8), kLabelClientTool, oneShotGroup(j12, 8), best, 1.0, true);
  }
  {
    const std::string best = fastestPeer(g(j12, "decode /8"));
    // Matches: the warm in-process peers spend their time in the same
    // library's entropy decoding, as the host does, so the service can be
    // as fast as the fastest of them but not faster by more than the noise.
    compare("long-lived client, 12-MP JPEG decode /8 (500 × 375): service ÷ fastest peer (" + best +
                ")",
            g(j12, "decode /8"), kLabelService, g(j12, "decode /8"), best, 1.05, true);
  }
  // For reference: the same file alone, and against fresh output pages.
  compare("12-MP JPEG full decode, same file each time: service ÷ in-process libjpeg-turbo",
          g(j12, "decode full"), kLabelService, g(j12, "decode full"), kLabelJpeg, NAN, true);
  compare("12-MP JPEG full decode: service ÷ in-process libjpeg-turbo into fresh pages",
          g(j12, "decode full"), kLabelService, g(j12, "decode full"),
          std::string(kLabelJpeg) + ", fresh buffer", NAN, true);
  compare("30 MB file bytes: service ÷ client's own open + read()", g("big.bmp", "file bytes"),
          kLabelService, g("big.bmp", "file bytes"), "open + read()", 1.30, true);
  compare("information round trip ÷ 64-byte ping-pong between two processes", g(j12, "information"),
          kLabelService, kGroupPing, kLabelPingProcess, 3.0, true);
  // For reference, no target: the same against two threads of one process,
  // which pay no switch between address spaces.
  compare("information round trip ÷ 64-byte ping-pong between two threads (reference)",
          g(j12, "information"), kLabelService, kGroupPing, kLabelPingThread, NAN, true);
  compare("information for 1,000 files: identify -ping ÷ service (one request)", kGroupInfo1000,
          "identify -ping (one process)", kGroupInfo1000,
          kLabelService + std::string(", one request"), 10.0, false);
  compare("information for 1,000 files: vipsheader ÷ service (one request)", kGroupInfo1000,
          "vipsheader (one process)", kGroupInfo1000, kLabelService + std::string(", one request"),
          10.0, false);
  compare("12-MP PNG full decode: service ÷ in-process libspng", g("photo12.png", "decode full"),
          kLabelService, g("photo12.png", "decode full"), "libspng in-process", 1.10, true);
  {
    Target t;
    // What the decode itself takes: the peak above the idle host. A full
    // decode now holds one copy of its output, so the host's own few MiB
    // would otherwise weigh more than the /8 decode does.
    t.name = "host peak RSS above idle, 12-MP JPEG: decode /8 ÷ decode full";
    const double idleA = stats(idles["decode /8"]).median;
    const double idleB = stats(idles["decode full"]).median;
    const double a = peakMedian("decode /8") - idleA;
    const double b = peakMedian("decode full") - idleB;
    t.ratio = a / b;
    t.limit = 0.125;
    char text[160];
    std::snprintf(text, sizeof text, "%.1f MiB vs %.1f MiB above an idle %.1f MiB", a / 1024,
                  b / 1024, idleB / 1024);
    t.measured = text;
    targets.push_back(t);
  }
  {
    Target t;
    t.name =
        "host resident memory after 100 full 12-MP decodes from 10 clients that left: "
        "MiB ÷ (reserve bound + 16 MiB)";
    std::vector<double> resident, reserve;
    std::ifstream in(idlePath);
    std::string line;
    std::vector<std::string> f;
    while (std::getline(in, line)) {
      split(line, &f);
      if (f.size() < 4 || f[0] != "idle-after") continue;
      resident.push_back(std::strtod(f[1].c_str(), nullptr) / 1024);
      reserve.push_back(std::strtod(f[3].c_str(), nullptr) / 1024);
    }
    if (resident.empty()) {
      t.measured = "not measured";
    } else {
      const double mib = stats(resident).median;
      const double bound = stats(reserve).median + 16;
      t.ratio = mib / bound;
      char text[160];
      std::snprintf(text, sizeof text, "%.1f MiB resident; reserve bound %.0f MiB + 16", mib,
                    bound - 16);
      t.measured = text;
    }
    t.limit = 1.0;
    targets.push_back(t);
  }
  compare("throughput, 1-MP JPEG /2: 4 clients ÷ 1 client", kGroupThroughput, "4 clients",
          kGroupThroughput, "1 client", 0.9, false);
  // CPU per image is the inverse sense of images per second.
  targets.back().cpuRatio = 1.0 / targets.back().cpuRatio;

  std::ofstream out(md);
  if (!out) fail("cannot write " + md);
  out << "# Benchmark results\n\n";
  if (!environmentPath.empty()) {
    std::ifstream env(environmentPath);
    out << env.rdbuf() << "\n";
  }
  out << "## Targets\n\n"
      << "Ratios of medians from this run; the values behind each ratio are beside it.\n\n"
      << "The last column is the same ratio computed from CPU time (all processes involved); "
      << "it is less sensitive to other load on the machine, but the targets use elapsed time.\n\n"
      << "| target | measured (elapsed, medians) | ratio | limit | result | ratio by CPU time |\n"
      << "|---|---|---:|---:|---|---:|\n";
  for (const Target& t : targets) {
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.3f", t.ratio);
    char cpuRatio[32] = "–";
    if (!std::isnan(t.cpuRatio)) std::snprintf(cpuRatio, sizeof cpuRatio, "%.3f", t.cpuRatio);
    char limit[32] = "–";
    if (!std::isnan(t.limit))
      std::snprintf(limit, sizeof limit, "%s %.3g", t.atMost ? (t.strict ? "<" : "≤") : "≥",
                    t.limit);
    out << "| " << t.name << " | " << t.measured << " | " << ratio << " | " << limit << " | "
        << t.verdict("PASS", "**MISS**") << " | " << cpuRatio << " |\n";
  }

  out << "\n## Every case\n\n"
      << "Median of the rounds, the spread as min – max and the interquartile range (IQR), "
      << "the ratio of the median to the group's baseline (first baseline row), and the median "
      << "CPU time per operation of every process involved (ms, µs for the µs rows; per image "
      << "for throughput).\n\n"
      << "| group | case | kind | median | min – max | IQR | n | ÷ baseline | CPU |\n"
      << "|---|---|---|---:|---:|---:|---:|---:|---:|\n";
  std::map<std::string, double> baseline;
  for (const Row& row : rows) {
    if (row.kind == "baseline" && row.error.empty() && !baseline.count(row.group))
      baseline[row.group] = row.s.median;
  }
  for (const Row& row : rows) {
    const std::string u = unitText(row.unit);
    out << "| " << row.group << " | " << row.label << " | " << row.kind << " | ";
    if (!row.error.empty()) {
      out << "failed: " << row.error << " | | | " << row.s.n << " | | |\n";
      continue;
    }
    std::string ratio;
    auto it = baseline.find(row.group);
    if (it != baseline.end() && row.kind != "baseline") {
      char text[32];
      std::snprintf(text, sizeof text, "%.2f", row.s.median / it->second);
      ratio = text;
    }
    out << fmt(row.s.median, row.unit) << " " << u << " | " << fmt(row.s.min, row.unit) << " – "
        << fmt(row.s.max, row.unit) << " | " << fmt(row.s.q1, row.unit) << " – "
        << fmt(row.s.q3, row.unit) << " | " << row.s.n << " | " << ratio << " | "
        << fmt(row.c.median, row.unit == "us" ? "us" : "ms") << " |\n";
  }

  out << "\n## Host peak memory (VmHWM), 12-MP JPEG\n\n"
      << "A fresh host per measurement; one decode; VmHWM read from /proc/PID/status before "
         "(idle, after one information request) and after.\n\n"
      << "| case | idle (median) | peak (median) | peaks seen |\n|---|---:|---:|---|\n";
  for (const auto& [label, values] : peaks) {
    std::string seen;
    for (double v : values) seen += (seen.empty() ? "" : ", ") + fmt(v / 1024, "MiB");
    char line[256];
    std::snprintf(line, sizeof line, "| %s | %.1f MiB | %.1f MiB | %s MiB |\n", label.c_str(),
                  stats(idles[label]).median / 1024, stats(values).median / 1024, seen.c_str());
    out << line;
  }
  out << "\n![results](results.png)\n";
  out.close();

  // Plot data: every timed case (ms, log scale) and the targets.
  {
    std::ofstream times(plotDir + "/results-times.dat");
    int i = 0;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
      const Row& row = *it;
      if (!row.error.empty() || row.unit == "img/s") continue;
      const double scale = row.unit == "us" ? 1e-3 : 1.0;
      const int colour = row.kind == "baseline" ? 1 : row.kind == "service" ? 2 : 3;
      std::string label = row.group + " — " + row.label;
      std::replace(label.begin(), label.end(), '"', '\'');
      times << i++ << ' ' << row.s.median * scale << ' ' << row.s.min * scale << ' '
            << row.s.max * scale << ' ' << colour << " \"" << label << "\"\n";
    }
    std::ofstream tg(plotDir + "/results-targets.dat");
    i = 0;
    for (auto it = targets.rbegin(); it != targets.rend(); ++it) {
      const Target& t = *it;
      if (std::isnan(t.limit)) continue;  // reference rows have no limit to plot
      const double normalised = t.atMost ? t.ratio / t.limit : t.limit / t.ratio;
      tg << i++ << ' ' << (std::isnan(normalised) ? 0.0 : normalised) << ' ' << (t.pass() ? 1 : 2)
         << " \"" << t.name << "\"\n";
    }
    const size_t plotted = static_cast<size_t>(i);
    std::ofstream gp(plotDir + "/results.gp");
    const size_t timeRows =
        static_cast<size_t>(std::count_if(rows.begin(), rows.end(), [](const Row& r) {
          return r.error.empty() && r.unit != "img/s";
        }));
    const int height = static_cast<int>(260 + 30 * plotted + 17 * timeRows);
    const double split = (130.0 + 30.0 * static_cast<double>(plotted)) / height;
    gp << "set terminal pngcairo size 1500," << height << " font 'Sans,9'\n"
       << "set output '" << plotDir << "/results.png'\n"
       << "set multiplot\n"
       << "set style fill solid 0.8 border -1\n"
       << "unset key\n"
       << "set grid xtics\n"
       << "set lmargin 68\n"
       << "set rmargin 4\n"
       << "# Top: each target as ratio ÷ limit, oriented so that <= 1 meets it.\n"
       << "set origin 0," << 1.0 - split << "\nset size 1," << split << "\n"
       << "set title 'Targets: measured ratio ÷ limit (at most 1 meets the target; green PASS, red "
          "MISS)'\n"
       << "set xrange [0:*]\nset yrange [-0.7:" << plotted - 0.3 << "]\n"
       << "set ytics scale 0\n"
       << "set arrow 1 from 1, graph 0 to 1, graph 1 nohead dt 2 lw 2 lc rgb 'black'\n"
       << "plot '" << plotDir << "/results-targets.dat' using (0):1:(0):2:($1-0.35):($1+0.35):"
       << "($3==1?0x2ca02c:0xd62728):ytic(4) with boxxyerror lc rgb variable\n"
       << "unset arrow 1\n"
       << "# Bottom: median time of every case, log scale, min–max as error bars.\n"
       << "set origin 0,0\nset size 1," << 1.0 - split << "\n"
       << "set title 'Median time per request (ms, log scale; bars min–max) — blue: in-process "
          "baseline, orange: service via client library, grey: peer tool'\n"
       << "set logscale x\nset xrange [*:*]\nset yrange [-0.7:" << timeRows - 0.3 << "]\n"
       << "set format x '%g'\n"
       << "plot '" << plotDir << "/results-times.dat' using (1e-3):1:(1e-3):2:($1-0.38):($1+0.38):"
       << "($5==1?0x1f77b4:($5==2?0xff7f0e:0x999999)):ytic(6) with boxxyerror lc rgb variable, "
       << "'' using 2:1:3:4 with xerrorbars pt 0 lc rgb 'black'\n"
       << "unset multiplot\n";
  }

  // The same tables on stdout.
  std::printf("\n%-86s %-44s %7s %7s %-6s %s\n", "target", "measured", "ratio", "limit", "result",
              "cpu-ratio");
  for (const Target& t : targets) {
    char limit[32] = "-";
    if (!std::isnan(t.limit))
      std::snprintf(limit, sizeof limit, "%s%.3g",
                    t.atMost ? (t.strict ? "<" : "<=") : ">=", t.limit);
    std::printf("%-86s %-44s %7.3f %-7s %-6s %.3f\n", t.name.c_str(), t.measured.c_str(), t.ratio,
                limit, t.verdict("PASS", "MISS"), t.cpuRatio);
  }
  std::printf("\n%-44s %-34s %14s %23s %4s %9s\n", "group", "case", "median", "min - max", "n",
              "cpu");
  for (const Row& row : rows) {
    if (!row.error.empty()) {
      std::printf("%-44s %-34s failed: %s\n", row.group.c_str(), row.label.c_str(),
                  row.error.c_str());
      continue;
    }
    const std::string u = row.unit == "us" ? "us" : row.unit;
    std::printf("%-44s %-34s %8s %-5s %10s - %-10s %4zu %9s\n", row.group.c_str(),
                row.label.c_str(), fmt(row.s.median, row.unit).c_str(), u.c_str(),
                fmt(row.s.min, row.unit).c_str(), fmt(row.s.max, row.unit).c_str(), row.s.n,
                fmt(row.c.median, "ms").c_str());
  }
  return 0;
}

// ---------------------------------------------------------------------------

int usage() {
  std::fprintf(
      stderr,
      "usage: imageserver-bench run --inputs DIR --scratch DIR --out FILE [--reps N]\n"
      "                             [--instance N] [--host-pid PID] [--pillow-worker PATH]\n"
      "                             [--client PATH] [--no-peers] [--only TEXT]\n"
      "       imageserver-bench rss --instance N --pid PID --file PATH --scaling S "
      "--label L\n"
      "       imageserver-bench idle --instance N --pid PID --file PATH [--clients N]\n"
      "                              [--decodes N] [--reserve-mib M]\n"
      "       imageserver-bench report --samples FILE --rss FILE --idle FILE --md FILE\n"
      "                                --plot-dir DIR [--environment FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string mode = argv[1];
  std::map<std::string, std::string> args;
  for (int i = 2; i < argc; ++i) {
    std::string key = argv[i];
    if (key.rfind("--", 0) != 0) return usage();
    if (key == "--no-peers") {
      args[key] = "1";
      continue;
    }
    if (i + 1 >= argc) return usage();
    args[key] = argv[++i];
  }
  auto get = [&args](const std::string& key, const std::string& fallback = std::string()) {
    auto it = args.find(key);
    return it == args.end() ? fallback : it->second;
  };
  try {
    if (mode == "run") {
      RunOptions options;
      options.inputs = get("--inputs");
      options.scratch = get("--scratch", "/tmp");
      options.out = get("--out");
      options.reps = std::atoi(get("--reps", "11").c_str());
      options.instance = static_cast<uint32_t>(std::atoi(get("--instance", "0").c_str()));
      options.hostPid = static_cast<pid_t>(std::atoi(get("--host-pid", "0").c_str()));
      options.pillowWorker = get("--pillow-worker");
      options.client = get("--client");
      options.python = get("--python", options.python);
      options.peers = get("--no-peers").empty();
      options.only = get("--only");
      if (options.inputs.empty() || options.out.empty() || options.reps < 1 ||
          (options.peers && options.pillowWorker.empty()))
        return usage();
      return runBenchmarks(options);
    }
    if (mode == "rss") {
      return measureRss(static_cast<uint32_t>(std::atoi(get("--instance", "0").c_str())),
                        static_cast<pid_t>(std::atoi(get("--pid", "0").c_str())), get("--file"),
                        std::atoi(get("--scaling", "0").c_str()), get("--label"));
    }
    if (mode == "idle") {
      return measureIdle(static_cast<uint32_t>(std::atoi(get("--instance", "0").c_str())),
                         static_cast<pid_t>(std::atoi(get("--pid", "0").c_str())), get("--file"),
                         std::atoi(get("--clients", "10").c_str()),
                         std::atoi(get("--decodes", "100").c_str()),
                         std::strtoull(get("--reserve-mib", "64").c_str(), nullptr, 10));
    }
    if (mode == "report") {
      return writeReport(get("--samples"), get("--rss"), get("--idle"), get("--md"),
                         get("--plot-dir", "."), get("--environment"));
    }
  } catch (const Failure& e) {
    std::fprintf(stderr, "imageserver-bench: %s\n", e.what());
    return 1;
  }
  return usage();
}
