// imageserver-bench: what its parts share. harness.cpp measures (time, CPU
// time, buffers, processes, the run loop), baselines.cpp holds the
// in-process decoders, cases.cpp the inputs, the cases of `run` and the
// `rss` and `idle` modes, report.cpp the report, and main.cpp the command
// line.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

// ---------------------------------------------------------------------------
// Time and helpers

// Seconds on CLOCK_MONOTONIC.
double now();
// Reads every byte of |data|, as the consumer of an answer would.
void readAll(const uint8_t* data, size_t size);
// CPU seconds used so far by everything a sample involves.
double systemCpu(pid_t host, pid_t pillow, pid_t echo);

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what);

std::string basename(const std::string& path);

// Anonymous pages from the kernel: fresh ones fault in on their first write.
class Block {
 public:
  Block() = default;
  explicit Block(size_t size);
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block();
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
  uint8_t* ensure(size_t size);

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
// In-process baselines (baselines.cpp)

// Each decodes |path| into |buffer| as packed RGB (or, for readWholeFile,
// holds the file's bytes) and fails with a Failure.
Pixels decodeJpeg(const std::string& path, int denominator, Buffer* buffer);
Pixels decodePng(const std::string& path, Buffer* buffer);
Pixels decodeGif(const std::string& path, Buffer* buffer);
Pixels readWholeFile(const std::string& path, Buffer* buffer);
// The image engine on |path|, |count| times in a row, in this process or
// (|inDecoder|) in a decoder process: microseconds per call.
double engineInfo(const std::string& path, bool inDecoder, int count);
double engineDecode(const std::string& path, bool inDecoder, int count);
// Milliseconds to start a decoder process, have it confine itself and say
// hello, and end it.
double decoderStartMs();

// ---------------------------------------------------------------------------
// The round-trip baselines: 64 bytes there and back over a Unix socketpair,
// answered by a second thread of this process or by a child process. A
// client and the service always live in two processes, so the second is the
// cost any request to another process pays; the first leaves out the
// switch between address spaces.

class PingPong {
 public:
  enum Peer { kThread, kProcess };
  explicit PingPong(Peer peer);
  ~PingPong();
  pid_t child() const { return m_child; }
  // Microseconds per round trip, the mean of |count| consecutive ones.
  double measure(int count);

 private:
  static bool full(int fd, char* buffer, bool write);
  static bool exchange(int fd, char* message);
  static void echo(int fd);
  int m_fds[2] = {-1, -1};
  std::thread m_thread;
  pid_t m_child = -1;
};

// ---------------------------------------------------------------------------
// Peers: command-line tools started per request (their normal use), and
// Pillow in one long-lived Python process fed over pipes.

// Seconds that the process |argv| takes from start to exit.
double runCommand(const std::vector<std::string>& argv);

class PillowWorker {
 public:
  PillowWorker(const std::string& python, const std::string& script);
  pid_t pid() const { return m_pid; }
  ~PillowWorker();
  // Sends one command and waits for its answer ("ok ..."), returned.
  std::string call(const std::string& command);

 private:
  pid_t m_pid = -1;
  FILE* m_in = nullptr;
  FILE* m_out = nullptr;
};

// Width and height of a PPM/PGM file.
std::pair<uint32_t, uint32_t> ppmSize(const std::string& path);

// ---------------------------------------------------------------------------
// Cases

// A reference row is shown beside the others, but no target uses it.
enum Kind { kBaseline, kService, kPeer, kReference };
const char* kindName(Kind kind);

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

// Group names shared by the run and the report (the targets look them up).
std::string groupName(const std::string& file, const std::string& what);
inline constexpr const char* kGroupPing = "round trip, 64 bytes";
inline constexpr const char* kLabelPingProcess = "socketpair, two processes";
inline constexpr const char* kLabelPingThread = "socketpair, two threads";
inline constexpr const char* kGroupInfo1000 = "information, 1,000 small files";
inline constexpr const char* kGroupThroughput = "photo1.jpg: decode /2, throughput";
inline constexpr const char* kLabelService = "service";
inline constexpr const char* kLabelJpeg = "libjpeg-turbo in-process";
// The mixed-size stream of one long-lived client, and whole processes.
std::string mixedGroup(const std::string& file, int scaling);
std::string oneShotGroup(const std::string& file, int scaling);
inline constexpr const char* kLabelClientTool = "imageserver-client";
// The service of an earlier build (--before-instance), for before/after
// figures from one run.
inline constexpr const char* kLabelBefore = "service before the sandbox";
inline constexpr const char* kLabelClientToolBefore =
    "imageserver-client, service before the sandbox";
// The service through the Python package, and Pillow into numpy, in the
// Python worker.
inline constexpr const char* kLabelPythonDecode = "Python client decode() to numpy";
inline constexpr const char* kLabelPillowArray = "Pillow load() + numpy.asarray()";
inline constexpr const char* kLabelPythonInfo = "Python client info(), one call";
inline constexpr const char* kLabelPillowInfo = "Pillow Image.open() loop";
// AVIF and HEIC: the service of an earlier build (--before-instance) beside
// this one's, and the whole-process client beside avifdec.
inline constexpr const char* kLabelEarlier = "service, earlier build";
inline constexpr const char* kLabelClientToolEarlier = "imageserver-client, earlier build";
// The engine in this process and in a decoder process, and a decoder's start.
inline constexpr const char* kGroupSandboxInfo = "photo075.jpg: engine information";
inline constexpr const char* kGroupSandboxDecode = "photo075.jpg: engine decode /8";
inline constexpr const char* kGroupDecoderStart = "decoder process start";
inline constexpr const char* kLabelEngineHere = "engine in this process";
inline constexpr const char* kLabelEngineDecoder = "engine in a decoder process";

struct RunOptions {
  // An instance served by an earlier build; 0: none. The mixed stream, the
  // information cases and the one-shot client run against it as well.
  uint32_t beforeInstance = 0;
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

// Keeps the cases that --only asks for, runs each once as the warm-up (and
// check), then |options.reps| rounds of all of them, writing one line per
// sample to |options.out|. |pillow| and |echo| are the helper processes
// whose CPU time counts (0 when there is none).
void runCases(std::vector<Case>& cases, const RunOptions& options, pid_t pillow, pid_t echo);

// ---------------------------------------------------------------------------
// Peak memory of a host process

// A "Field:" line of /proc/PID/status, in kB.
long readStatusKb(pid_t pid, const char* field);

// ---------------------------------------------------------------------------
// The modes

int runBenchmarks(const RunOptions& options);
int measureRss(uint32_t instance, pid_t pid, const std::string& path, int scaling,
               const std::string& label);
int measureIdle(uint32_t instance, pid_t pid, const std::string& path, int clients, int decodes,
                uint64_t reserveMiB);
// The colour conversion's accuracy against vips and its cost (colour.cpp).
int measureColour(const std::string& inputs, const std::string& scratch, int reps);
int writeReport(const std::string& samplesPath, const std::string& rssPath,
                const std::string& idlePath, const std::string& md, const std::string& plotDir,
                const std::string& environmentPath);

}  // namespace bench
