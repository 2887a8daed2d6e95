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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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
  std::string output;
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

// Writes the pixels of a decoded answer to outcome.output (.png or .pam).
void writePixels(Outcome& outcome) {
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
    bool written = hasSuffix(outcome.output, ".pam")
                       ? tools::writePam(outcome.output, answer.info.width, answer.info.height,
                                         channels, viewable, error)
                       : tools::writePng(outcome.output, answer.info.width, answer.info.height,
                                         channels, viewable, error);
    if (written) return;
    outcome.outputError = error;
  }
  std::remove(outcome.output.c_str());
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

std::unique_ptr<client::SyncClient> connectOrExplain(const Options& options) {
  std::string error;
  client::ConnectOptions connect;
  connect.instance = options.instance;
  connect.connectTimeout = secondsLeft(options);
  auto sync = client::SyncClient::connect(connect, &error);
  if (!sync)
    std::fprintf(stderr, "%s: no image service instance %u: %s\n", kProgram, options.instance,
                 error.c_str());
  return sync;
}

// Says why answers are missing, when they are.
void explainShortfall(bool complete, const std::string& error) {
  if (!complete)
    std::fprintf(stderr, "%s: not every answer came: %s\n", kProgram,
                 error.empty() ? "timed out" : error.c_str());
}

int runInfo(const Options& options) {
  std::vector<std::string> locators;
  for (const std::string& path : options.paths) locators.push_back(toLocator(path));
  auto sync = connectOrExplain(options);
  if (!sync) return kExitNoService;
  std::vector<client::Answer> answers;
  std::string error;
  bool complete = sync->requestInformation(locators, secondsLeft(options), &answers, &error);
  explainShortfall(complete, error);
  std::vector<Outcome> outcomes = matchAnswers(locators, std::move(answers));
  report(outcomes, options.json, stdout);
  explainRefusals(outcomes, sync->socketPath());
  return exitCode(outcomes);
}

int runGet(const Options& options) {
  const bool toStdout = options.output.empty() || options.output == "-";
  if (toStdout && isatty(STDOUT_FILENO))
    throw UsageError{"the file bytes are binary: give -o FILE, or redirect stdout"};
  const std::string locator = toLocator(options.paths.front());
  auto sync = connectOrExplain(options);
  if (!sync) return kExitNoService;
  std::vector<client::Answer> answers;
  std::string error;
  bool complete = sync->requestImages({locator}, options.withInfo ? 1 : 0, false,
                                      secondsLeft(options), &answers, &error);
  explainShortfall(complete, error);
  std::vector<Outcome> outcomes = matchAnswers({locator}, std::move(answers));
  for (Outcome& outcome : outcomes) {
    if (!outcome.answer || outcome.answer->result != client::RESULT_OK) continue;
    if (writeBytes(*outcome.answer, toStdout ? "-" : options.output, outcome.outputError) &&
        !toStdout)
      outcome.output = options.output;
  }
  // With the bytes on stdout, the report goes to stderr.
  report(outcomes, options.json, toStdout ? stderr : stdout);
  explainRefusals(outcomes, sync->socketPath());
  return exitCode(outcomes);
}

int runDecode(const Options& options) {
  const std::string locator = toLocator(options.paths.front());
  std::string output = options.output;
  if (output.empty())
    output = std::filesystem::path(options.paths.front()).stem().string() + ".decoded.png";
  if (!hasSuffix(output, ".png") && !hasSuffix(output, ".pam"))
    throw UsageError{"-o: the output name must end in .png or .pam: " + output};
  auto sync = connectOrExplain(options);
  if (!sync) return kExitNoService;
  std::vector<client::Answer> answers;
  std::string error;
  bool complete = sync->requestImages({locator}, static_cast<int8_t>(options.scale), true,
                                      secondsLeft(options), &answers, &error);
  explainShortfall(complete, error);
  std::vector<Outcome> outcomes = matchAnswers({locator}, std::move(answers));
  for (Outcome& outcome : outcomes) {
    if (!outcome.answer || outcome.answer->result != client::RESULT_OK) continue;
    outcome.output = output;
    writePixels(outcome);
    if (!outcome.outputError.empty()) outcome.output.clear();
  }
  report(outcomes, options.json, stdout);
  explainRefusals(outcomes, sync->socketPath());
  return exitCode(outcomes);
}

int runVersion(const Options& options) {
  auto sync = connectOrExplain(options);
  if (!sync) return kExitNoService;
  client::VersionUpdate update;
  std::string error;
  if (!sync->interfaceVersion(secondsLeft(options), &update, &error)) {
    std::fprintf(stderr, "%s: no version came: %s\n", kProgram,
                 error.empty() ? "timed out" : error.c_str());
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
  info->add_option("PATH", options.paths, "Image files or file:// locators")->required();

  CLI::App* get = app.add_subcommand("get", "Fetch the file bytes of an image");
  get->add_option("PATH", options.paths, "Image file or file:// locator")->required()->expected(1);
  get->add_option("-o,--output", options.output, "Write the bytes here (default: stdout)")
      ->type_name("FILE");
  get->add_flag("--with-info", options.withInfo, "Ask for the image information as well");

  CLI::App* decode = app.add_subcommand("decode", "Decode an image and write its pixels");
  decode->add_option("PATH", options.paths, "Image file or file:// locator")
      ->required()
      ->expected(1);
  decode->add_option("--scale", options.scale, "Reduce width and height by this divisor")
      ->type_name("N")
      ->check(CLI::Range(1, 127));
  decode
      ->add_option("-o,--output", options.output,
                   "Write a .png or .pam file here (default: <name>.decoded.png)")
      ->type_name("FILE");

  CLI::App* version =
      app.add_subcommand("version", "Print the service's interface version (attribute 23)");

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
