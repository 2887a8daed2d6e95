// imageserver-client: asks a running image service for information, file
// bytes, decoded pixels or its interface version, from the command line.
//
// Exit codes: 0 every answer was RESULT_OK; 1 some answer was not (or did not
// come, or its output could not be written); 2 usage error; 3 no service
// answered.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "svx/imageserver/client/ImageServerClient.h"
#include "tools/common/png_writer.h"

namespace client = imageserver::client;

namespace {

const char* const kProgram = "imageserver-client";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoService = 3;

struct Options {
  uint32_t instance = 0;
  double timeout = 30;
  bool json = false;
  std::vector<std::string> paths;
  std::string fromFile;  // info: a file of paths, one a line ("-": stdin)
  std::string output;
  std::string format;  // decode: "png" or "pam"; empty: by the output name
  int compression = tools::kDefaultPngCompression;
  std::string fit;  // decode: "WxH"
  bool withInfo = false;
  int scale = 1;
};

// A usage error found after parsing.
struct UsageError {
  std::string text;
};

// A locator for |path|: file paths are made absolute (and tidied, for the
// report), since the service resolves them in its own working directory;
// locators with a scheme are made absolute as the client library sends them,
// so that their answers pair with them.
std::string toLocator(const std::string& path) {
  if (path.find("://") != std::string::npos) {
    std::string locator = path;
    return client::makeLocatorAbsolute(&locator) ? locator : path;
  }
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

// What one requested locator got: an answer, or nothing.
struct Outcome {
  std::string locator;
  std::optional<client::Answer> answer;
  std::string output;       // the file written, if any
  std::string outputError;  // why it could not be written
  bool ok() const { return answer && answer->result == client::RESULT_OK && outputError.empty(); }
};

// Pairs answers with the requested locators, in request order. Answers come
// in the order the service produced them, which differs from the request
// order when some locators are refused at once and others wait in the queue.
std::vector<Outcome> matchAnswers(const std::vector<std::string>& locators,
                                  std::vector<client::Answer> answers) {
  std::vector<Outcome> outcomes;
  std::vector<bool> used(answers.size(), false);
  for (const std::string& locator : locators) {
    Outcome outcome{locator, std::nullopt, "", ""};
    for (size_t i = 0; i < answers.size(); ++i) {
      if (!used[i] && answers[i].locator == locator) {
        used[i] = true;
        outcome.answer = std::move(answers[i]);
        break;
      }
    }
    outcomes.push_back(std::move(outcome));
  }
  for (size_t i = 0; i < answers.size(); ++i) {
    if (!used[i]) outcomes.push_back({answers[i].locator, std::move(answers[i]), "", ""});
  }
  return outcomes;
}

// ---------------------------------------------------------------------------
// Why the service may have refused a file: the service answers only
// RESULT_INVALID_IMAGE, so the client looks at the path itself.

// True when |path| starts with the signature of a format the service reads.
bool hasImageSignature(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  char head[12] = {};
  file.read(head, sizeof head);
  const std::string bytes(head, static_cast<size_t>(file.gcount()));
  auto at = [&](size_t offset, std::string_view magic) {
    return bytes.size() >= offset + magic.size() && bytes.compare(offset, magic.size(), magic) == 0;
  };
  return at(0, "\xff\xd8\xff") || at(0, "\x89PNG\r\n\x1a\n") || at(0, "GIF87a") ||
         at(0, "GIF89a") || at(0, "BM") || (at(0, "RIFF") && at(8, "WEBP")) || at(4, "ftyp");
}

// The first folder on the way to |path| that others may not search, or the
// file itself when others may not read it; "" when everybody may read it.
std::string closedToOthers(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path walked = path.root_path();
  const fs::path relative = path.relative_path();
  for (auto part = relative.begin(); part != relative.end(); ++part) {
    walked /= *part;
    const fs::perms perms = fs::status(walked, error).permissions();
    if (error) return "";
    const bool last = std::next(part) == relative.end();
    const fs::perms needed = last ? fs::perms::others_read : fs::perms::others_exec;
    if ((perms & needed) == fs::perms::none) return walked.string();
  }
  return "";
}

// The likely reason the service refused |locator|, as this process sees the
// file; the service (through |socket|) may run as another user.
std::string likelyCause(const std::string& locator, const std::string& socket) {
  namespace fs = std::filesystem;
  const std::string text = locator.rfind("file://", 0) == 0 ? locator.substr(7) : locator;
  if (text.empty()) return "no such file";
  std::error_code error;
  const fs::path path = fs::absolute(text, error);
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return "no such file";
  if (error) return "cannot be looked at: " + error.message();
  if (status.type() != fs::file_type::regular) return "not a regular file";
  struct stat service {};
  const bool otherUser = stat(socket.c_str(), &service) == 0 && service.st_uid != getuid();
  if (access(path.c_str(), R_OK) != 0) return "not readable: " + std::string(std::strerror(errno));
  const std::string closed = otherUser ? closedToOthers(fs::canonical(path, error)) : "";
  if (!closed.empty())
    return "the service's user cannot read it (" + closed + " is closed to others)";
  if (!hasImageSignature(path.string())) return "not an image";
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension != ".jpg" && extension != ".jpeg" && extension != ".png" && extension != ".gif" &&
      extension != ".bmp")
    return "the extension is not accepted (while the service checks extensions)";
  return "a damaged image, or one the service's path lists refuse";
}

// Tells on stderr the likely cause of each RESULT_INVALID_IMAGE.
void explainRefusals(const std::vector<Outcome>& outcomes, const std::string& socket) {
  for (const Outcome& outcome : outcomes) {
    if (!outcome.answer || outcome.answer->result != client::RESULT_INVALID_IMAGE) continue;
    std::fprintf(stderr, "%s: %s: likely cause: %s\n", kProgram, outcome.locator.c_str(),
                 likelyCause(outcome.locator, socket).c_str());
  }
}

// ---------------------------------------------------------------------------
// Reporting.

// One line of JSON. Texts that are not UTF-8 (file names may be any bytes)
// are written with U+FFFD in place of each invalid byte.
std::string dumpJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json toJson(const Outcome& outcome) {
  nlohmann::json line;
  line["locator"] = outcome.locator;
  if (!outcome.answer) {
    line["result"] = -1;
    line["status"] = "NO_ANSWER";
    return line;
  }
  const client::Answer& answer = *outcome.answer;
  line["result"] = answer.result;
  line["status"] = client::resultName(answer.result);
  if (answer.hasInfo) {
    line["format"] = client::formatName(answer.info.format);
    line["formatId"] = answer.info.format;
    line["width"] = answer.info.width;
    line["height"] = answer.info.height;
    line["hash"] = answer.info.hash;
    line["fileSize"] = answer.info.fileSize;
  }
  if (answer.kind == client::Answer::IMAGE && answer.hasImage) {
    line["decoded"] = answer.decoded;
    line["dataLength"] = answer.dataLength;
  }
  if (!outcome.output.empty()) line["output"] = outcome.output;
  if (!outcome.outputError.empty()) line["error"] = outcome.outputError;
  return line;
}

std::string toText(const Outcome& outcome) {
  std::string text = outcome.locator + ": ";
  if (!outcome.answer) return text + "no answer";
  const client::Answer& answer = *outcome.answer;
  text += client::resultName(answer.result);
  char buffer[256];
  if (answer.hasInfo) {
    std::snprintf(buffer, sizeof buffer, " %s %ux%u, file %lld bytes, hash %lld",
                  client::formatName(answer.info.format), answer.info.width, answer.info.height,
                  static_cast<long long>(answer.info.fileSize),
                  static_cast<long long>(answer.info.hash));
    text += buffer;
  }
  if (answer.kind == client::Answer::IMAGE && answer.hasImage) {
    std::snprintf(buffer, sizeof buffer, ", %s %u bytes", answer.decoded ? "pixels" : "file data",
                  answer.dataLength);
    text += buffer;
  }
  if (!outcome.output.empty()) text += " -> " + outcome.output;
  if (!outcome.outputError.empty()) text += " (not written: " + outcome.outputError + ")";
  return text;
}

void report(const std::vector<Outcome>& outcomes, bool json, FILE* stream) {
  for (const Outcome& outcome : outcomes) {
    std::string line = json ? dumpJson(toJson(outcome)) : toText(outcome);
    std::fprintf(stream, "%s\n", line.c_str());
  }
  std::fflush(stream);
}

// The exit code for a finished request: 3 when nothing at all came back.
int exitCode(const std::vector<Outcome>& outcomes) {
  bool any = false, allOk = true;
  for (const Outcome& outcome : outcomes) {
    any = any || outcome.answer.has_value();
    allOk = allOk && outcome.ok();
  }
  if (!any) return kExitNoService;
  return allOk ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------
// Pixels.

// The decoded pixels as grey, grey + alpha, RGB or RGBA bytes, the layouts
// that PNG and PAM store: the answer's own bytes where they are in such a
// layout already (no copy of a large picture), else repacked into |out|.
// Sets |*channels| (0 for an unknown format, with null returned).
const uint8_t* toViewable(int32_t format, const uint8_t* in, size_t pixels,
                          std::vector<uint8_t>& out, int* channels) {
  *channels = 0;
  switch (format) {
    case client::IMAGE_FORMAT_L8:
      *channels = 1;
      return in;
    case client::IMAGE_FORMAT_LA88:
      *channels = 2;
      return in;
    case client::IMAGE_FORMAT_RGB888:
      *channels = 3;
      return in;
    case client::IMAGE_FORMAT_RGBA8888:
      *channels = 4;
      return in;
    case client::IMAGE_FORMAT_BGR888:
      out.resize(pixels * 3);
      for (size_t i = 0; i < pixels; ++i) {
        out[i * 3] = in[i * 3 + 2];
        out[i * 3 + 1] = in[i * 3 + 1];
        out[i * 3 + 2] = in[i * 3];
      }
      *channels = 3;
      return out.data();
    case client::IMAGE_FORMAT_BGRA8888:
    case client::IMAGE_FORMAT_ARGB8888: {
      // Byte positions of R, G, B, A in the source pixel.
      static const int kFromBgra[4] = {2, 1, 0, 3};
      static const int kFromArgb[4] = {1, 2, 3, 0};
      const int* order = format == client::IMAGE_FORMAT_BGRA8888 ? kFromBgra : kFromArgb;
      out.resize(pixels * 4);
      for (size_t i = 0; i < pixels; ++i)
        for (int c = 0; c < 4; ++c) out[i * 4 + c] = in[i * 4 + order[c]];
      *channels = 4;
      return out.data();
    }
    case client::IMAGE_FORMAT_RGB565:
      // Little-endian 16-bit words: R in bits 15..11, G in 10..5, B in 4..0.
      out.resize(pixels * 3);
      for (size_t i = 0; i < pixels; ++i) {
        unsigned word = in[i * 2] | (in[i * 2 + 1] << 8);
        unsigned r = word >> 11, g = (word >> 5) & 63, b = word & 31;
        out[i * 3] = static_cast<uint8_t>((r << 3) | (r >> 2));
        out[i * 3 + 1] = static_cast<uint8_t>((g << 2) | (g >> 4));
        out[i * 3 + 2] = static_cast<uint8_t>((b << 3) | (b >> 2));
      }
      *channels = 3;
      return out.data();
    default:
      return nullptr;
  }
}

size_t bytesPerPixel(int32_t format) {
  switch (format) {
    case client::IMAGE_FORMAT_L8:
      return 1;
    case client::IMAGE_FORMAT_LA88:
    case client::IMAGE_FORMAT_RGB565:
      return 2;
    case client::IMAGE_FORMAT_RGB888:
    case client::IMAGE_FORMAT_BGR888:
      return 3;
    case client::IMAGE_FORMAT_RGBA8888:
    case client::IMAGE_FORMAT_BGRA8888:
    case client::IMAGE_FORMAT_ARGB8888:
      return 4;
    default:
      return 0;
  }
}

bool hasSuffix(const std::string& text, const char* suffix) {
  size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Writes the pixels of a decoded answer to outcome.output (.png or .pam), or
// to stdout as |format| when the output is "-".
void writePixels(Outcome& outcome, const std::string& format, int compression) {
  const bool toStdout = outcome.output == "-";
  const bool png = toStdout ? format == "png" : hasSuffix(outcome.output, ".png");
  const client::Answer& answer = *outcome.answer;
  const size_t pixels = static_cast<size_t>(answer.info.width) * answer.info.height;
  const size_t bpp = bytesPerPixel(answer.info.format);
  if (!answer.decoded || !answer.hasInfo || bpp == 0) {
    outcome.outputError = "the answer holds no decoded pixels";
  } else if (pixels == 0 || answer.length() < pixels * bpp || answer.data() == nullptr) {
    outcome.outputError = "the answer holds fewer bytes than its size needs";
  } else {
    std::vector<uint8_t> repacked;
    int channels = 0;
    const uint8_t* viewable =
        toViewable(answer.info.format, answer.data(), pixels, repacked, &channels);
    std::string error;
    const uint32_t width = answer.info.width, height = answer.info.height;
    bool written;
    if (toStdout)
      written = png ? tools::writePng(stdout, "stdout", width, height, channels, viewable, error,
                                      compression)
                    : tools::writePam(stdout, "stdout", width, height, channels, viewable, error);
    else
      written = png ? tools::writePng(outcome.output, width, height, channels, viewable, error,
                                      compression)
                    : tools::writePam(outcome.output, width, height, channels, viewable, error);
    if (written) return;
    outcome.outputError = error;
  }
  if (!toStdout) std::remove(outcome.output.c_str());
}

// Writes the file bytes of an undecoded answer to |path| ("-": stdout).
bool writeBytes(const client::Answer& answer, const std::string& path, std::string& error) {
  FILE* file = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(answer.data(), 1, answer.length(), file) == answer.length();
  ok = (file == stdout ? std::fflush(file) == 0 : std::fclose(file) == 0) && ok;
  if (!ok) error = path + ": " + std::strerror(errno);
  return ok;
}

// ---------------------------------------------------------------------------
// Subcommands.

// --timeout bounds the whole call, from the start of the program: the
// connect (a busy service's backlog may be full) and the answers.
const std::chrono::steady_clock::time_point kStarted = std::chrono::steady_clock::now();

double secondsLeft(const Options& options) {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - kStarted).count();
  return std::max(0.001, options.timeout - elapsed);
}

client::ConnectOptions connectOptions(const Options& options) {
  client::ConnectOptions connect;
  connect.instance = options.instance;
  connect.connectTimeout = secondsLeft(options);
  return connect;
}

void explainNoService(const Options& options, const std::string& error) {
  std::fprintf(stderr, "%s: no image service instance %u: %s\n", kProgram, options.instance,
               error.c_str());
}

// Says why answers are missing, when they are.
void explainShortfall(bool complete, const std::string& error) {
  if (!complete)
    std::fprintf(stderr, "%s: not every answer came: %s\n", kProgram,
                 error.empty() ? "timed out" : error.c_str());
}

// ---------------------------------------------------------------------------
// Progress of a batch on a terminal: one line on stderr, rewritten in place,
// once the batch has run longer than the delay (1 second, or
// IMAGESERVER_CLIENT_PROGRESS_DELAY seconds), and cleared at the end. Never
// when stderr is not a terminal, so that piped and logged output stays clean.
class Progress {
 public:
  explicit Progress(size_t total) : m_total(total), m_enabled(total > 1 && isatty(STDERR_FILENO)) {
    if (const char* delay = std::getenv("IMAGESERVER_CLIENT_PROGRESS_DELAY"))
      m_delay = std::strtod(delay, nullptr);
  }
  ~Progress() { finish(); }

  void update(size_t done) {
    if (!m_enabled) return;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    if (elapsed < m_delay) return;
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    constexpr size_t kWidth = 30;
    const size_t filled = m_total == 0 ? kWidth : std::min(kWidth, done * kWidth / m_total);
    std::string bar = std::string(filled, '#') + std::string(kWidth - filled, '-');
    char eta[32] = "?";
    if (rate > 0) {
      const long seconds =
          std::lround(static_cast<double>(m_total - std::min(done, m_total)) / rate);
      std::snprintf(eta, sizeof eta, "%ld:%02ld", seconds / 60, seconds % 60);
    }
    std::fprintf(stderr, "\r[%s] %zu/%zu  %.1f/s  ETA %s\033[K", bar.c_str(), done, m_total, rate,
                 eta);
    std::fflush(stderr);
    m_shown = true;
  }
  void finish() {
    if (!m_shown) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    m_shown = false;
  }

 private:
  const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  size_t m_total;
  bool m_enabled;
  double m_delay = 1.0;
  bool m_shown = false;
};

// Collects the answers on the library's thread for the waiting main thread.
class Collector : public client::Handler {
 public:
  void onAnswer(const client::Answer& answer) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.push_back(answer);
    m_changed.notify_all();
  }
  void onClosed(const std::string& reason) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_reason = reason.empty() ? "the connection closed" : reason;
    m_changed.notify_all();
  }

  // Waits until |expected| answers came, the connection closed or the
  // timeout passed, showing the progress; true when all came.
  bool await(size_t expected, double seconds, std::vector<client::Answer>* answers,
             std::string* error) {
    Progress progress(expected);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_answers.size() < expected && !m_closed &&
           std::chrono::steady_clock::now() < deadline) {
      m_changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                        std::chrono::milliseconds(100)));
      const size_t done = m_answers.size();
      lock.unlock();
      progress.update(done);
      lock.lock();
    }
    progress.update(m_answers.size());
    progress.finish();
    const bool complete = m_answers.size() >= expected;
    if (!complete) *error = m_closed ? m_reason : "";
    *answers = std::move(m_answers);
    m_answers.clear();
    return complete;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<client::Answer> m_answers;
  bool m_closed = false;
  std::string m_reason;
};

// A request of the batch: what it asks for and of which locators.
struct Request {
  enum Kind { INFORMATION, FILES, PIXELS } kind;
  std::vector<std::string> locators;
  int8_t scaling = 0;
  bool withInfo = false;
};

// The answers to |requests|, sent together on one connection, paired with
// their locators in the order of |order| (default: that of the requests).
// Null (after saying why) when no service answered the connect.
std::optional<std::vector<Outcome>> ask(const Options& options,
                                        const std::vector<Request>& requests, std::string* socket,
                                        std::vector<std::string> order = {}) {
  Collector collector;
  kor::Status reached;
  auto connection = client::Client::connect(connectOptions(options), &collector, &reached);
  if (!connection) {
    explainNoService(options, reached.message());
    return std::nullopt;
  }
  *socket = connection->socketPath();
  std::vector<std::string> all;
  kor::Status sent;
  for (const Request& request : requests) {
    if (request.locators.empty()) continue;
    switch (request.kind) {
      case Request::INFORMATION:
        sent = connection->requestImageInformation(request.locators);
        break;
      case Request::FILES:
        sent = connection->requestFiles(request.locators, request.withInfo);
        break;
      case Request::PIXELS:
        sent = connection->requestImage(request.locators, request.scaling, true);
        break;
    }
    if (!sent.ok()) break;
    all.insert(all.end(), request.locators.begin(), request.locators.end());
  }
  // After a request that could not be sent, the answers of those before it
  // are still awaited, and the send's reason is the one reported.
  std::vector<client::Answer> answers;
  std::string waitError;
  bool complete = collector.await(all.size(), secondsLeft(options), &answers, &waitError);
  connection->close();
  explainShortfall(sent.ok() && complete, sent.ok() ? waitError : sent.message());
  // Outcomes in the order asked for; the locators of a request that could
  // not be sent get no answer.
  if (order.empty())
    for (const Request& request : requests)
      order.insert(order.end(), request.locators.begin(), request.locators.end());
  return matchAnswers(order, std::move(answers));
}

// ---------------------------------------------------------------------------
// Inputs and outputs of a batch.

// Paths read one a line; empty lines are skipped, a CR before the newline
// dropped.
void readPaths(std::istream& in, std::vector<std::string>& paths) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths.push_back(line);
  }
}

// The paths of an info call: "-" stands for the paths on stdin, and
// --from-file adds those of a file ("-": stdin).
std::vector<std::string> infoPaths(const Options& options) {
  std::vector<std::string> paths;
  bool stdinRead = false;
  auto fromStdin = [&] {
    if (!std::exchange(stdinRead, true)) readPaths(std::cin, paths);
  };
  for (const std::string& path : options.paths) {
    if (path == "-")
      fromStdin();
    else
      paths.push_back(path);
  }
  if (options.fromFile == "-") {
    fromStdin();
  } else if (!options.fromFile.empty()) {
    std::ifstream file(options.fromFile);
    if (!file) throw UsageError{"--from-file: " + options.fromFile + ": " + std::strerror(errno)};
    readPaths(file, paths);
  }
  return paths;
}

// True when |text| holds exactly one index conversion (%d or %0Nd) and
// otherwise only "%%".
bool isPattern(const std::string& text) {
  int conversions = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (++i < text.size() && text[i] == '%') continue;
    if (i < text.size() && text[i] == '0') ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i >= text.size() || text[i] != 'd') return false;
    ++conversions;
  }
  return conversions == 1;
}

// Where each of |paths| is written, by -o: "-" (stdout, one input only), a
// folder (an existing one, or a name ending in "/"), a pattern with one %d
// for the input's number (from 1), or a file (one input only). Without -o:
// stdout (get) or <name>.decoded<extension> (decode). |name| makes the
// file's name in a folder from the input path.
std::vector<std::string> outputNames(const std::string& output,
                                     const std::vector<std::string>& paths, bool defaultStdout,
                                     const std::function<std::string(const std::string&)>& name,
                                     const std::string& extension) {
  namespace fs = std::filesystem;
  const bool several = paths.size() > 1;
  std::vector<std::string> names;
  std::error_code error;
  if (output == "-" || (output.empty() && defaultStdout)) {
    if (several)
      throw UsageError{"several inputs cannot share stdout: give -o FOLDER or -o PATTERN (%d)"};
    return {"-"};
  }
  if (output.empty()) {
    for (const std::string& path : paths)
      names.push_back(fs::path(path).stem().string() + ".decoded" + extension);
  } else if (fs::is_directory(output, error) || output.back() == '/') {
    if (!fs::is_directory(output, error)) throw UsageError{"-o: no such folder: " + output};
    for (const std::string& path : paths) names.push_back((fs::path(output) / name(path)).string());
  } else if (isPattern(output)) {
    for (size_t i = 0; i < paths.size(); ++i) {
      std::vector<char> buffer(output.size() + 32);
      std::snprintf(buffer.data(), buffer.size(), output.c_str(), static_cast<int>(i + 1));
      names.push_back(buffer.data());
    }
  } else if (several) {
    throw UsageError{"-o: several inputs need a folder or a pattern with one %d, not " + output};
  } else {
    names.push_back(output);
  }
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice != sorted.end())
    throw UsageError{"two inputs would be written to the same file: " + *twice};
  return names;
}

// Parses --fit's "WxH".
std::pair<uint32_t, uint32_t> parseBox(const std::string& text) {
  unsigned width = 0, height = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%ux%u%c", &width, &height, &end) != 2 || width == 0 ||
      height == 0 || text.find_first_not_of("0123456789x") != std::string::npos)
    throw UsageError{"--fit: expected WIDTHxHEIGHT, such as 320x240: " + text};
  return {width, height};
}

// The largest divisor the service accepts (1..127) whose scaled size, each
// side divided and rounded down as the service does, still covers
// |boxWidth| x |boxHeight|; 1 when even the full size does not.
int fitDivisor(uint32_t width, uint32_t height, uint32_t boxWidth, uint32_t boxHeight) {
  for (int divisor = 127; divisor > 1; --divisor)
    if (width / divisor >= boxWidth && height / divisor >= boxHeight) return divisor;
  return 1;
}

// ---------------------------------------------------------------------------
// Subcommands.

int runInfo(const Options& options) {
  std::vector<std::string> locators;
  for (const std::string& path : infoPaths(options)) locators.push_back(toLocator(path));
  if (locators.empty()) return kExitOk;  // an empty list: nothing to ask
  std::string socket;
  auto outcomes = ask(options, {{Request::INFORMATION, locators}}, &socket);
  if (!outcomes) return kExitNoService;
  report(*outcomes, options.json, stdout);
  explainRefusals(*outcomes, socket);
  return exitCode(*outcomes);
}

// Pairs each outcome (in request order, one per path) with its output name.
void assignOutputs(std::vector<Outcome>& outcomes, const std::vector<std::string>& names) {
  for (size_t i = 0; i < outcomes.size() && i < names.size(); ++i) outcomes[i].output = names[i];
}

int runGet(const Options& options) {
  const std::vector<std::string> names = outputNames(
      options.output, options.paths, true,
      [](const std::string& path) { return std::filesystem::path(path).filename().string(); }, "");
  const bool toStdout = names.front() == "-";
  if (toStdout && isatty(STDOUT_FILENO))
    throw UsageError{"the file bytes are binary: give -o FILE, or redirect stdout"};
  std::vector<std::string> locators;
  for (const std::string& path : options.paths) locators.push_back(toLocator(path));
  std::string socket;
  Request request{Request::FILES, locators};
  request.withInfo = options.withInfo;
  auto outcomes = ask(options, {request}, &socket);
  if (!outcomes) return kExitNoService;
  for (size_t i = 0; i < outcomes->size(); ++i) {
    Outcome& outcome = (*outcomes)[i];
    if (i >= names.size() || !outcome.answer || outcome.answer->result != client::RESULT_OK)
      continue;
    if (writeBytes(*outcome.answer, names[i], outcome.outputError) && !toStdout)
      outcome.output = names[i];
  }
  // With the bytes on stdout, the report goes to stderr.
  report(*outcomes, options.json, toStdout ? stderr : stdout);
  explainRefusals(*outcomes, socket);
  return exitCode(*outcomes);
}

int runDecode(const Options& options) {
  // The format: --format, else the output name's extension (stdout: PAM).
  std::string format = options.format;
  std::error_code ignored;
  const bool named = !options.output.empty() && options.output != "-" &&
                     !std::filesystem::is_directory(options.output, ignored) &&
                     options.output.back() != '/';
  if (named) {
    const std::string byName = hasSuffix(options.output, ".png")   ? "png"
                               : hasSuffix(options.output, ".pam") ? "pam"
                                                                   : "";
    if (byName.empty())
      throw UsageError{"-o: the output name must end in .png or .pam: " + options.output};
    if (!format.empty() && format != byName)
      throw UsageError{"--format " + format + " does not match the output name " + options.output};
    format = byName;
  }
  if (format.empty()) format = options.output == "-" ? "pam" : "png";
  const std::string extension = "." + format;
  const std::vector<std::string> names = outputNames(
      options.output, options.paths, false,
      [&](const std::string& path) {
        return std::filesystem::path(path).stem().string() + extension;
      },
      extension);
  const bool toStdout = names.front() == "-";

  std::vector<std::string> locators;
  for (const std::string& path : options.paths) locators.push_back(toLocator(path));
  std::string socket;
  std::vector<Request> requests;
  if (options.fit.empty()) {
    requests.push_back({Request::PIXELS, locators, static_cast<int8_t>(options.scale)});
  } else {
    // The divisor depends on each image's size: ask for the sizes first,
    // then decode each group of images that share a divisor.
    const auto [boxWidth, boxHeight] = parseBox(options.fit);
    auto sizes = ask(options, {{Request::INFORMATION, locators}}, &socket);
    if (!sizes) return kExitNoService;
    std::map<int, std::vector<std::string>> groups;
    for (const Outcome& size : *sizes) {
      int divisor = 1;
      if (size.ok() && size.answer->hasInfo)
        divisor =
            fitDivisor(size.answer->info.width, size.answer->info.height, boxWidth, boxHeight);
      groups[divisor].push_back(size.locator);
    }
    for (auto& [divisor, group] : groups)
      requests.push_back({Request::PIXELS, group, static_cast<int8_t>(divisor)});
  }
  auto outcomes = ask(options, requests, &socket, locators);
  if (!outcomes) return kExitNoService;
  assignOutputs(*outcomes, names);
  for (Outcome& outcome : *outcomes) {
    if (!outcome.answer || outcome.answer->result != client::RESULT_OK) {
      outcome.output.clear();
      continue;
    }
    writePixels(outcome, format, options.compression);
    if (!outcome.outputError.empty() || toStdout) outcome.output.clear();
  }
  report(*outcomes, options.json, toStdout ? stderr : stdout);
  explainRefusals(*outcomes, socket);
  return exitCode(*outcomes);
}

int runVersion(const Options& options) {
  kor::Status reached;
  auto sync = client::SyncClient::connect(connectOptions(options), &reached);
  if (!sync) {
    explainNoService(options, reached.message());
    return kExitNoService;
  }
  client::VersionUpdate update;
  const kor::Status asked = sync->interfaceVersion(secondsLeft(options), &update);
  if (!asked.ok()) {
    std::fprintf(stderr, "%s: no version came: %s\n", kProgram, asked.message());
    return kExitNoService;
  }
  if (options.json) {
    nlohmann::json line;
    line["attribute"] = client::kVersionAttributeId;
    if (update.hasVersion) line["version"] = update.version;
    line["valid"] = update.valid;
    std::printf("%s\n", dumpJson(line).c_str());
  } else if (update.hasVersion && update.valid) {
    std::printf("%s\n", update.version.c_str());
  } else {
    std::printf("(no valid version)\n");
  }
  return update.hasVersion && update.valid ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{
      "Asks a running image service for image information, file bytes, decoded pixels "
      "or its interface version.\nExit codes: 0 every answer RESULT_OK, 1 some were "
      "not, 2 usage error, 3 no service answered.",
      kProgram};
  app.set_version_flag("--version", std::string(kProgram) + " " + IMAGESERVER_VERSION);
  app.require_subcommand(1);
  app.fallthrough();  // the common options may follow the subcommand
  app.add_option("--instance", options.instance, "Service instance number (default 0)")
      ->type_name("N");
  app.add_option("--timeout", options.timeout,
                 "Seconds the whole call may take, connecting included (default 30)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](std::string& text) {
            char* end = nullptr;
            double value = std::strtod(text.c_str(), &end);
            return *end == '\0' && value > 0 ? std::string() : "must be a number above 0";
          },
          "", "positive"));
  app.add_flag("--json", options.json, "One JSON object per answer per line");

  CLI::App* info = app.add_subcommand("info", "Print the information of images");
  CLI::Option* infoPaths =
      info->add_option("PATH", options.paths, "Image files or file:// locators; - reads stdin");
  info->add_option("--from-file", options.fromFile, "Read paths from FILE, one a line (-: stdin)")
      ->type_name("FILE");
  info->callback([&] {
    if (infoPaths->count() == 0 && options.fromFile.empty())
      throw CLI::RequiredError("PATH or --from-file");
  });

  CLI::App* get = app.add_subcommand("get", "Fetch the file bytes of images");
  get->add_option("PATH", options.paths, "Image files or file:// locators")->required();
  get->add_option("-o,--output", options.output,
                  "Write the bytes here (default: stdout); several inputs: a FOLDER or a "
                  "PATTERN with %d")
      ->type_name("FILE");
  get->add_flag("--with-info", options.withInfo, "Ask for the image information as well");

  CLI::App* decode = app.add_subcommand("decode", "Decode images and write their pixels");
  decode->add_option("PATH", options.paths, "Image files or file:// locators")->required();
  CLI::Option* scale =
      decode->add_option("--scale", options.scale, "Reduce width and height by this divisor")
          ->type_name("N")
          ->check(CLI::Range(1, 127));
  decode
      ->add_option("--fit", options.fit,
                   "Reduce by the largest divisor whose size still covers WxH")
      ->type_name("WxH")
      ->excludes(scale);
  decode
      ->add_option("-o,--output", options.output,
                   "Write a .png or .pam file here (default: <name>.decoded.png); several "
                   "inputs: a FOLDER or a PATTERN with %d; -: stdout")
      ->type_name("FILE");
  decode
      ->add_option("--format", options.format,
                   "png or pam, for stdout and folders (default: pam on stdout, else png)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"png", "pam"}));
  decode
      ->add_option("--compression", options.compression,
                   "PNG zlib level, 0 fastest to 9 smallest (default 2)")
      ->type_name("N")
      ->check(CLI::Range(0, 9));

  CLI::App* version =
      app.add_subcommand("version", "Print the service's interface version (attribute 23)");

  // Parse errors name the program, as every other message does; without a
  // known subcommand they list the subcommands.
  app.failure_message([](const CLI::App* failed, const CLI::Error& e) {
    std::string text = std::string(kProgram) + ": " + e.what() + "\n";
    const std::vector<std::string> extra = failed->remaining();
    if (failed->get_subcommands().empty() && !extra.empty() && extra.front()[0] != '-')
      text = std::string(kProgram) + ": unknown subcommand: " + extra.front() + "\n";
    if (failed->get_subcommands().empty()) {
      text += "Subcommands:";
      for (const CLI::App* command : failed->get_subcommands({})) text += " " + command->get_name();
      text += "\n";
    }
    return text + "Run with --help for more information.\n";
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  try {
    if (info->parsed()) return runInfo(options);
    if (get->parsed()) return runGet(options);
    if (decode->parsed()) return runDecode(options);
    if (version->parsed()) return runVersion(options);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", kProgram,
                 e.text.c_str());
    return kExitUsage;
  }
  return kExitUsage;
}
