// The command-line tools, run as separate processes: the host loads the
// shared library, serves and stops on a signal; the client talks to a real
// host and reports answers, files and exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <spng.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/transport.h"
#include "platform/transport/connection.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

extern char** environ;

namespace {

// The tools are built into <build>/tools; this test runs from <build>/tests.
std::string toolPath(const std::string& name) {
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return (self.parent_path().parent_path() / "tools" / name).string();
}

// A child process with its stdout and stderr on pipes. Every descriptor it
// opens is closed by wait() or the destructor.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      std::string text = *entry;
      if (env.count(text.substr(0, text.find('='))) == 0) environment.push_back(text);
    }
    for (const auto& [key, value] : env) environment.push_back(key + "=" + value);
    std::vector<char*> argv, envp;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    m_out = out[0];
    m_err = err[0];
  }

  ~Child() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    closePipes();
  }

  bool started() const { return m_pid > 0; }

  // Reads until stdout holds a line equal to |line|, or both pipes close, or
  // |seconds| pass (a guard against a hanging child, not a timing check).
  bool waitForLine(const std::string& line, double seconds = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!hasLine(line)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  // Reads both pipes to their end and reaps the child; its exit code, or -1
  // when it did not exit normally.
  int wait() {
    while (readSome(-1)) {
    }
    closePipes();
    int status = 0;
    pid_t pid = m_pid;
    m_pid = -1;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void signal(int number) {
    if (m_pid > 0) kill(m_pid, number);
  }

  const std::string& out() const { return m_outText; }
  const std::string& err() const { return m_errText; }

 private:
  bool hasLine(const std::string& line) const {
    return ("\n" + m_outText).find("\n" + line + "\n") != std::string::npos;
  }

  // Waits up to |timeoutMs| (-1: no limit) for output; false once both pipes
  // reached their end or nothing came in time.
  bool readSome(int timeoutMs) {
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    if (m_out < 0 && m_err < 0) return false;
    int ready = poll(fds, 2, timeoutMs);
    if (ready <= 0) return false;
    drain(fds[0], m_out, m_outText);
    drain(fds[1], m_err, m_errText);
    return true;
  }

  static void drain(const pollfd& entry, int& fd, std::string& text) {
    if (fd < 0 || entry.revents == 0) return;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else {
      close(fd);
      fd = -1;
    }
  }

  void closePipes() {
    if (m_out >= 0) close(m_out);
    if (m_err >= 0) close(m_err);
    m_out = m_err = -1;
  }

  pid_t m_pid = -1;
  int m_out = -1;
  int m_err = -1;
  std::string m_outText;
  std::string m_errText;
};

// Runs a command to its end.
struct Outcome {
  int code;
  std::string out;
  std::string err;
};
Outcome runTool(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env = {}) {
  Child child(args, env);
  int code = child.wait();
  return {code, child.out(), child.err()};
}

// ---------------------------------------------------------------------------
// The host.

class HostToolTest : public ::testing::Test {
 protected:
  // An instance number of its own, so that parallel tests do not meet.
  uint32_t instance() const { return 1000 + static_cast<uint32_t>(getpid()) % 50000; }
  std::map<std::string, std::string> env() const {
    return {{"COMM_RUNTIME_DIR", m_dir.path()}, {"TRACE_LEVELS", "*=4"}};
  }

  testsupport::TempDir m_dir;
};

TEST_F(HostToolTest, StartsPrintsReadyAndStopsCleanlyOnEitherSignal) {
  for (int number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(number));
    Child host({toolPath("imageserver-host"), "--instance", std::to_string(instance())}, env());
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(host.waitForLine("imageserver-host: ready")) << host.out() << host.err();
    host.signal(number);
    EXPECT_EQ(host.wait(), 0) << host.err();
    EXPECT_NE(host.out().find("imageserver-host: stopped"), std::string::npos) << host.out();
  }
}

TEST_F(HostToolTest, ReportsTheLibraryItLoadedAndTheInstance) {
  Child host(
      {toolPath("imageserver-host"), "--instance", std::to_string(instance()), "--ext-check"},
      env());
  ASSERT_TRUE(host.waitForLine("imageserver-host: ready")) << host.err();
  host.signal(SIGTERM);
  ASSERT_EQ(host.wait(), 0);
  EXPECT_NE(host.out().find("libimageserverlib.so"), std::string::npos) << host.out();
  EXPECT_NE(host.out().find("instance " + std::to_string(instance()) + ", extension check on"),
            std::string::npos)
      << host.out();
}

TEST_F(HostToolTest, PassesTheConfigRootAndTraceLevelToTheLibrary) {
  // The worker traces its configuration load at level 3: with the level at 1
  // the message names the missing file below the given root.
  Child host({toolPath("imageserver-host"), "--instance", std::to_string(instance()),
              "--config-root", m_dir.path(), "--trace-level", "1"},
             env());
  ASSERT_TRUE(host.waitForLine("imageserver-host: ready")) << host.err();
  host.signal(SIGTERM);
  ASSERT_EQ(host.wait(), 0);
  EXPECT_NE(host.err().find(m_dir.path() + "/imageserver/config.json"), std::string::npos)
      << host.err();
}

TEST_F(HostToolTest, RefusesBadUsageAndAMissingLibrary) {
  EXPECT_EQ(runTool({toolPath("imageserver-host"), "--no-such-option"}).code, 2);
  EXPECT_EQ(runTool({toolPath("imageserver-host"), "--instance", "minus"}).code, 2);
  EXPECT_EQ(runTool({toolPath("imageserver-host"), "--trace-level", "0"}).code, 2);

  Outcome missing = runTool(
      {toolPath("imageserver-host"), "--library", m_dir.file("libimageserverlib.so")}, env());
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("cannot load"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.out.find("ready"), std::string::npos);

  Outcome version = runTool({toolPath("imageserver-host"), "--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_NE(version.out.find("2.0.1"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The client, against a real host in a private runtime folder.

// Every line of |text| parsed as JSON.
std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(nlohmann::json::parse(line, nullptr, false));
  return lines;
}

// The size and pixels of a PNG file, decoded to 8-bit RGBA.
struct Decoded {
  bool ok = false;
  uint32_t width = 0, height = 0;
  int colorType = -1;
  std::vector<uint8_t> rgba;
};
Decoded decodePng(const std::string& path) {
  Decoded decoded;
  std::string bytes = imagefiles::readFile(path);
  spng_ctx* context = spng_ctx_new(0);
  spng_ihdr header = {};
  size_t size = 0;
  if (spng_set_png_buffer(context, bytes.data(), bytes.size()) == 0 &&
      spng_get_ihdr(context, &header) == 0 &&
      spng_decoded_image_size(context, SPNG_FMT_RGBA8, &size) == 0) {
    decoded.rgba.resize(size);
    decoded.ok = spng_decode_image(context, decoded.rgba.data(), size, SPNG_FMT_RGBA8, 0) == 0;
    decoded.width = header.width;
    decoded.height = header.height;
    decoded.colorType = header.color_type;
  }
  spng_ctx_free(context);
  return decoded;
}

class ClientToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::create_directories(m_dir.file("run")));
    ASSERT_TRUE(std::filesystem::create_directories(m_dir.file("images/private")));
    ASSERT_TRUE(std::filesystem::create_directories(m_dir.file("elsewhere")));
    // 64 x 48 RGBA: the left half opaque red, the right half half-transparent
    // blue, so that a scaled decode keeps both colours exactly.
    std::vector<uint16_t> samples;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        if (x < 32)
          samples.insert(samples.end(), {255, 0, 0, 255});
        else
          samples.insert(samples.end(), {0, 0, 255, 128});
      }
    m_png = m_dir.file("images/halves.png");
    ASSERT_TRUE(imagefiles::writePng(m_png, 64, 48, samples));
    m_broken = m_dir.write("images/broken.png", "plain text, not an image");
    m_private = m_dir.file("images/private/halves.png");
    std::filesystem::copy_file(m_png, m_private);
    m_outside = m_dir.file("elsewhere/halves.png");
    std::filesystem::copy_file(m_png, m_outside);
  }

  std::map<std::string, std::string> env() const {
    return {{"COMM_RUNTIME_DIR", m_dir.file("run")}, {"TRACE_LEVELS", "*=5"}};
  }

  // Starts the host with |extra| options; false when it did not get ready.
  bool startHost(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {toolPath("imageserver-host"), "--instance", "7"};
    args.insert(args.end(), extra.begin(), extra.end());
    m_host = std::make_unique<Child>(args, env());
    return m_host->waitForLine("imageserver-host: ready");
  }

  int stopHost() {
    m_host->signal(SIGTERM);
    return m_host->wait();
  }

  Outcome client(std::vector<std::string> args) {
    args.insert(args.begin(), {toolPath("imageserver-client"), "--instance", "7"});
    return runTool(args, env());
  }

  testsupport::TempDir m_dir;
  std::string m_png, m_broken, m_private, m_outside;
  std::unique_ptr<Child> m_host;
};

TEST_F(ClientToolTest, InfoReportsEveryAnswerAsJsonInRequestOrder) {
  ASSERT_TRUE(startHost());
  Outcome ok = client({"--json", "info", m_png});
  EXPECT_EQ(ok.code, 0) << ok.err;
  std::vector<nlohmann::json> lines = jsonLines(ok.out);
  ASSERT_EQ(lines.size(), 1u) << ok.out;
  EXPECT_EQ(lines[0]["locator"], m_png);
  EXPECT_EQ(lines[0]["result"], 0);
  EXPECT_EQ(lines[0]["status"], "RESULT_OK");
  EXPECT_EQ(lines[0]["format"], "PNG");
  EXPECT_EQ(lines[0]["width"], 64);
  EXPECT_EQ(lines[0]["height"], 48);
  EXPECT_EQ(lines[0]["fileSize"], std::filesystem::file_size(m_png));
  EXPECT_TRUE(lines[0].contains("hash"));

  // A missing file is refused as the request arrives, usually before the
  // queued ones are answered; the output follows the order of the request.
  std::string missing = m_dir.file("images/missing.png");
  Outcome mixed = client({"info", m_broken, m_png, missing, "--json"});
  EXPECT_EQ(mixed.code, 1) << mixed.err;
  lines = jsonLines(mixed.out);
  ASSERT_EQ(lines.size(), 3u) << mixed.out;
  EXPECT_EQ(lines[0]["locator"], m_broken);
  EXPECT_EQ(lines[0]["result"], 2);
  EXPECT_EQ(lines[0]["status"], "RESULT_INVALID_IMAGE");
  EXPECT_FALSE(lines[0].contains("width"));
  EXPECT_EQ(lines[1]["locator"], m_png);
  EXPECT_EQ(lines[1]["status"], "RESULT_OK");
  EXPECT_EQ(lines[2]["locator"], missing);
  EXPECT_EQ(lines[2]["status"], "RESULT_INVALID_IMAGE");
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, RelativePathsAreSentAsAbsoluteLocators) {
  ASSERT_TRUE(startHost());
  std::string relative = std::filesystem::relative(m_png).string();
  Outcome outcome = client({"--json", "info", relative});
  EXPECT_EQ(outcome.code, 0) << outcome.out << outcome.err;
  std::vector<nlohmann::json> lines = jsonLines(outcome.out);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["locator"], m_png);
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, GetWritesTheUnchangedFileBytes) {
  ASSERT_TRUE(startHost());
  std::string copy = m_dir.file("copy.png");
  Outcome outcome = client({"get", m_png, "--with-info", "-o", copy, "--json"});
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  EXPECT_EQ(imagefiles::readFile(copy), imagefiles::readFile(m_png));
  std::vector<nlohmann::json> lines = jsonLines(outcome.out);
  ASSERT_EQ(lines.size(), 1u) << outcome.out;
  EXPECT_EQ(lines[0]["decoded"], false);
  EXPECT_EQ(lines[0]["dataLength"], std::filesystem::file_size(m_png));
  EXPECT_EQ(lines[0]["width"], 64);
  EXPECT_EQ(lines[0]["output"], copy);

  // Without --with-info the answer carries no information record.
  outcome = client({"--json", "get", m_png, "-o", copy});
  lines = jsonLines(outcome.out);
  ASSERT_EQ(lines.size(), 1u) << outcome.out;
  EXPECT_FALSE(lines[0].contains("width"));

  // A refused file writes nothing.
  std::string none = m_dir.file("none.png");
  EXPECT_EQ(client({"get", m_broken, "-o", none}).code, 1);
  EXPECT_FALSE(std::filesystem::exists(none));
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, GetDeliversAFileLargerThanTheOutgoingQueueHolds) {
  // 1.5 GB, nearly all of it a hole: the header is a real image's.
  const std::string large = m_dir.file("images/large.png");
  std::filesystem::copy_file(m_png, large);
  constexpr uint64_t kSize = 1500ull * 1000 * 1000;
  static_assert(kSize > comm::kMaxQueuedSegmentBytes);
  std::filesystem::resize_file(large, kSize);
  ASSERT_TRUE(startHost());
  Outcome outcome = client({"--json", "get", large, "-o", "/dev/null"});
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  std::vector<nlohmann::json> lines = jsonLines(outcome.out);
  ASSERT_EQ(lines.size(), 1u) << outcome.out;
  EXPECT_EQ(lines[0]["status"], "RESULT_OK");
  EXPECT_EQ(lines[0]["dataLength"], kSize);
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, JsonShowsNamesThatAreNotUtf8WithReplacementCharacters) {
  const std::string odd = m_dir.file("images/odd\xff\xfe.png");
  std::filesystem::copy_file(m_png, odd);
  ASSERT_TRUE(startHost());
  Outcome outcome = client({"--json", "info", odd});
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  std::vector<nlohmann::json> lines = jsonLines(outcome.out);
  ASSERT_EQ(lines.size(), 1u) << outcome.out;
  EXPECT_EQ(lines[0]["locator"], m_dir.file("images/odd\xef\xbf\xbd\xef\xbf\xbd.png"));
  EXPECT_EQ(lines[0]["status"], "RESULT_OK");
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, TheTimeoutBoundsAConnectThatTheServiceDoesNotTake) {
  // A listener that takes no connection, its backlog full.
  const std::string socket = m_dir.file("run/svx.imageserver.ImageServer.7");
  comm::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener.get(), 0), 0);
  std::vector<comm::UniqueFd> waiting;
  for (;;) {
    comm::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) break;
    waiting.push_back(std::move(fd));
  }
  // `timeout` ends a client that would wait for ever (exit 124).
  Outcome outcome = runTool({"/usr/bin/timeout", "20", toolPath("imageserver-client"), "--instance",
                             "7", "--timeout", "1", "info", m_png},
                            env());
  EXPECT_EQ(outcome.code, 3) << outcome.err;
  EXPECT_NE(outcome.err.find("the service accepted no connection within "), std::string::npos)
      << outcome.err;
}

TEST_F(ClientToolTest, DecodeWritesAViewablePngOfTheScaledSize) {
  ASSERT_TRUE(startHost());
  std::string out = m_dir.file("half.png");
  Outcome outcome = client({"--json", "decode", m_png, "--scale", "2", "-o", out});
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  std::vector<nlohmann::json> lines = jsonLines(outcome.out);
  ASSERT_EQ(lines.size(), 1u) << outcome.out;
  EXPECT_EQ(lines[0]["decoded"], true);
  EXPECT_EQ(lines[0]["format"], "RGBA8888");
  EXPECT_EQ(lines[0]["width"], 32);
  EXPECT_EQ(lines[0]["height"], 24);
  EXPECT_EQ(lines[0]["dataLength"], 32 * 24 * 4);
  EXPECT_EQ(lines[0]["output"], out);

  Decoded png = decodePng(out);
  ASSERT_TRUE(png.ok);
  EXPECT_EQ(png.width, 32u);
  EXPECT_EQ(png.height, 24u);
  EXPECT_EQ(png.colorType, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA);
  auto pixel = [&](uint32_t x, uint32_t y) {
    const uint8_t* p = &png.rgba[(y * png.width + x) * 4];
    return std::vector<int>{p[0], p[1], p[2], p[3]};
  };
  EXPECT_EQ(pixel(0, 0), (std::vector<int>{255, 0, 0, 255}));
  EXPECT_EQ(pixel(31, 23), (std::vector<int>{0, 0, 255, 128}));
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, DecodeWritesAPamWithTheSamePixels) {
  ASSERT_TRUE(startHost());
  std::string out = m_dir.file("full.pam");
  Outcome outcome = client({"decode", m_png, "-o", out});
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  std::string header = "P7\nWIDTH 64\nHEIGHT 48\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  std::string pam = imagefiles::readFile(out);
  ASSERT_EQ(pam.size(), header.size() + 64 * 48 * 4);
  EXPECT_EQ(pam.substr(0, header.size()), header);
  EXPECT_EQ(pam.substr(header.size(), 4), std::string("\xff\x00\x00\xff", 4));
  EXPECT_EQ(pam.substr(pam.size() - 4), std::string("\x00\x00\xff\x80", 4));

  // A refused decode writes no file.
  std::string none = m_dir.file("none.png");
  EXPECT_EQ(client({"decode", m_broken, "-o", none}).code, 1);
  EXPECT_FALSE(std::filesystem::exists(none));
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, VersionPrintsTheInterfaceVersion) {
  ASSERT_TRUE(startHost());
  Outcome text = client({"version"});
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_EQ(text.out, "2.0.1\n");
  Outcome json = client({"version", "--json"});
  std::vector<nlohmann::json> lines = jsonLines(json.out);
  ASSERT_EQ(lines.size(), 1u) << json.out;
  EXPECT_EQ(lines[0]["version"], "2.0.1");
  EXPECT_EQ(lines[0]["valid"], true);
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, HostPathListsDecideWhatIsServed) {
  // With the extension check on, a file is served when it is not
  // blacklisted and is either whitelisted or named like an image.
  std::string whitelistedData = m_dir.file("images/halves.data");
  std::string otherData = m_dir.file("elsewhere/halves.data");
  std::filesystem::copy_file(m_png, whitelistedData);
  std::filesystem::copy_file(m_png, otherData);
  ASSERT_TRUE(startHost({"--ext-check", "--whitelist", m_dir.file("images"), "--blacklist",
                         m_dir.file("images/private")}));
  Outcome served = client({"--json", "info", whitelistedData, m_outside});
  EXPECT_EQ(served.code, 0) << served.out;
  Outcome refused = client({"--json", "info", m_private, otherData});
  EXPECT_EQ(refused.code, 1);
  std::vector<nlohmann::json> lines = jsonLines(refused.out);
  ASSERT_EQ(lines.size(), 2u) << refused.out;
  EXPECT_EQ(lines[0]["status"], "RESULT_INVALID_IMAGE");
  EXPECT_EQ(lines[1]["status"], "RESULT_INVALID_IMAGE");
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(ClientToolTest, ExitCodesForUsageErrorsAndAMissingService) {
  // No host is running: usage errors are found first, then the missing
  // service.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--no-such-option", "info", m_png},
                                             {"info"},
                                             {"decode", m_png, "--scale", "0"},
                                             {"decode", m_png, "-o", m_dir.file("out.txt")},
                                             {"--timeout", "-1", "info", m_png},
                                             {"get", m_png, m_png}}) {
    Outcome outcome = client(args);
    EXPECT_EQ(outcome.code, 2) << testing::PrintToString(args) << outcome.err;
    EXPECT_FALSE(outcome.err.empty());
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"info", m_png}, {"get", m_png, "-o", m_dir.file("x.png")}, {"decode", m_png}}) {
    Outcome outcome = client(args);
    EXPECT_EQ(outcome.code, 3) << args[0] << outcome.err;
    EXPECT_NE(outcome.err.find("no image service"), std::string::npos) << outcome.err;
  }
  EXPECT_EQ(client({"version"}).code, 3);

  // Once the host has stopped, its socket is gone and the client says so.
  ASSERT_TRUE(startHost());
  EXPECT_TRUE(std::filesystem::exists(m_dir.file("run/svx.imageserver.ImageServer.7")));
  EXPECT_EQ(stopHost(), 0);
  EXPECT_FALSE(std::filesystem::exists(m_dir.file("run/svx.imageserver.ImageServer.7")));
  EXPECT_EQ(client({"info", m_png}).code, 3);
}

TEST_F(ClientToolTest, ASecondHostForTheSameInstanceIsRefused) {
  ASSERT_TRUE(startHost());
  Outcome second = runTool({toolPath("imageserver-host"), "--instance", "7"}, env());
  EXPECT_EQ(second.code, 1);
  EXPECT_NE(second.err.find("already served"), std::string::npos) << second.err;
  EXPECT_EQ(client({"info", m_png}).code, 0);
  EXPECT_EQ(stopHost(), 0);
}

}  // namespace
