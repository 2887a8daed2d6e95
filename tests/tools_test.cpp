// The command-line tools, run as separate processes: the host loads the
// shared library, serves and stops on a signal; the client talks to a real
// host and reports answers, writes files and sets its exit code. What the
// service answers is tested elsewhere; here, what the tools make of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <spng.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
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

using nlohmann::json;
using Args = std::vector<std::string>;

// The tools are built into <build>/tools; this test runs from <build>/tests.
std::string toolPath(const std::string& name) {
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return (self.parent_path().parent_path() / "tools" / name).string();
}

// |a| followed by |b|.
Args operator+(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A child process whose stdout and stderr go to files of its own. With
// |beforeExec|, it runs that between fork and exec (as a service manager sets
// up the descriptors and environment of what it starts).
class Child {
 public:
  explicit Child(const Args& args, const std::function<void()>& beforeExec = nullptr) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string out = m_files.file("out"), err = m_files.file("err");
    m_pid = fork();
    if (m_pid != 0) return;
    // The descriptors opened here close on exec; their copies stay.
    dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), 2);
    if (beforeExec) beforeExec();
    execve(argv[0], argv.data(), environ);
    _exit(127);
  }
  ~Child() {
    signal(SIGKILL);
    wait();
  }

  // Waits until stdout holds a line equal to |line|, or the child ended, or
  // a minute passed (a guard against a hanging child, not a timing check).
  bool waitForLine(const std::string& line) {
    for (int i = 0; i < 60000 && m_pid > 0; ++i) {
      if (has("\n" + out(), "\n" + line + "\n")) return true;
      if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) m_pid = -1;
      usleep(1000);
    }
    return false;
  }
  // Reaps the child, killed when it runs for a minute (a guard against a
  // hang); its exit code, or -1 when it did not exit normally.
  int wait() {
    int status = 0;
    const pid_t pid = std::exchange(m_pid, -1);
    for (int i = 0; pid > 0 && i < 60000; ++i, usleep(1000))
      if (pid_t done = waitpid(pid, &status, WNOHANG); done != 0)
        return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    return -1;
  }
  void signal(int number) {
    if (m_pid > 0) kill(m_pid, number);
  }
  // Waits until stdout or stderr holds |part| (with the same guards).
  bool waitFor(const std::string& part) {
    for (int i = 0; i < 60000 && m_pid > 0; ++i) {
      if (has(out() + err(), part)) return true;
      if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) m_pid = -1;
      usleep(1000);
    }
    return has(out() + err(), part);
  }
  std::string out() const { return imagefiles::readFile(m_files.file("out")); }
  std::string err() const { return imagefiles::readFile(m_files.file("err")); }

 private:
  testsupport::TempDir m_files;
  pid_t m_pid = -1;
};

// A command run to its end.
struct Outcome {
  int code;
  std::string out, err;
};
Outcome runTool(const Args& args) {
  Child child(args);
  const int code = child.wait();
  return {code, child.out(), child.err()};
}

// Runs |args| with stderr on a new pseudo-terminal (stdin and stdout on
// /dev/null); what it wrote there.
std::string stderrOnATerminal(const Args& args) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "no terminal";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, ptsname(master), O_RDWR | O_NOCTTY, 0);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  // The reads end when the child has closed the terminal (EIO), or after a
  // minute without output (a guard against a hang).
  std::string text;
  char buffer[4096];
  struct pollfd readable = {master, POLLIN, 0};
  while (pid > 0 && poll(&readable, 1, 60000) > 0) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
  close(master);
  return text;
}

// Runs what follows with the runtime folder |dir| and every message traced.
Args hostEnv(const std::string& dir) {
  return {"/usr/bin/env", "COMM_RUNTIME_DIR=" + dir, "TRACE_LEVELS=*=5"};
}

// ---------------------------------------------------------------------------
// The host.

TEST(HostTool, StartsWithItsOptionsAndStopsCleanlyOnEitherSignal) {
  testsupport::TempDir dir;
  // An instance number of its own, so that parallel tests do not meet.
  const std::string instance = std::to_string(1000 + getpid() % 50000);
  for (int number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(number));
    // The worker traces its configuration load at level 3: with the level
    // at 1 the message names the missing file below the given root.
    Child host(hostEnv(dir.path()) + Args{toolPath("imageserver-host"), "--instance", instance,
                                          "--ext-check", "--config-root", dir.path(),
                                          "--trace-level", "1", "--client-memory", "1"});
    ASSERT_TRUE(host.waitForLine("imageserver-host: ready")) << host.out() << host.err();
    host.signal(number);
    EXPECT_EQ(host.wait(), 0) << host.err();
    EXPECT_TRUE(has(host.out(), "imageserver-host: stopped")) << host.out();
    EXPECT_TRUE(has(host.err(), dir.path() + "/imageserver/config.json")) << host.err();
  }
}

TEST(HostTool, RefusesBadUsageAMissingLibraryAndAServedInstance) {
  testsupport::TempDir dir;
  const std::string host = toolPath("imageserver-host");
  // Each range one past both ends; hosts in this file start at the ends (but
  // for the greatest reserve, 64 GiB made ahead).
  for (const Args& args :
       {Args{"--no-such-option"}, Args{"--instance", "minus"}, Args{"--trace-level", "0"},
        Args{"--trace-level", "8"}, Args{"--client-memory", "0"},
        Args{"--client-memory", "1048577"}, Args{"--total-client-memory", "0"},
        Args{"--total-client-memory", "1073741825"}, Args{"--segment-reserve", "-1"},
        Args{"--segment-reserve", "65537"}, Args{"--colour", "linear"}})
    EXPECT_EQ(runTool(Args{host} + args).code, 2) << testing::PrintToString(args);
  Outcome missing =
      runTool(hostEnv(dir.path()) + Args{host, "--library", dir.file("libimageserverlib.so")});
  EXPECT_EQ(
      std::make_tuple(missing.code, has(missing.err, "cannot load"), has(missing.out, "ready")),
      std::make_tuple(1, true, false))
      << missing.err;
  Outcome version = runTool({host, "--version"});
  EXPECT_EQ(std::make_tuple(version.code, has(version.out, "2.0.1")), std::make_tuple(0, true));

  Child first(hostEnv(dir.path()) + Args{host, "--instance", "7"});
  ASSERT_TRUE(first.waitForLine("imageserver-host: ready")) << first.err();
  Outcome second = runTool(hostEnv(dir.path()) + Args{host, "--instance", "7"});
  EXPECT_EQ(std::make_tuple(second.code, has(second.err, "already served")),
            std::make_tuple(1, true))
      << second.err;
}

// The datagrams that arrive on |fd|, joined by "|", until they hold |until|
// (or a minute has passed: a guard against a hang, not a timing check).
std::string notificationsUntil(int fd, const std::string& until) {
  std::string all;
  for (int waited = 0; !has(all, until) && waited < 60; ++waited) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) != 1) continue;
    char message[512];
    const ssize_t n = recv(fd, message, sizeof(message), 0);
    if (n > 0) all += std::string(message, size_t(n)) + "|";
  }
  return all;
}

TEST(HostTool, RunsUnderAServiceManager) {
  // As a service manager starts it for socket activation: the listening
  // socket made beforehand and handed over as descriptor 3 (LISTEN_FDS,
  // LISTEN_PID), a notification socket (NOTIFY_SOCKET), and stdout a
  // journal stream (JOURNAL_STREAM).
  testsupport::TempDir dir;
  const std::string instance = std::to_string(1000 + getpid() % 50000);
  const std::string path = dir.file("svx.imageserver.ImageServer." + instance);
  auto bound = [](int type, const std::string& at) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", at.c_str());
    return bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ? fd : -1;
  };
  const int listening = bound(SOCK_STREAM, path);
  const int notify = bound(SOCK_DGRAM, dir.file("notify"));
  ASSERT_TRUE(listening >= 0 && notify >= 0 && listen(listening, 16) == 0);
  const std::string image = dir.file("small.bmp");
  ASSERT_TRUE(imagefiles::writeBmp(image, 3, 2, std::vector<uint8_t>(24, 9).data()));
  {
    Child host(hostEnv(dir.path()) + Args{"NOTIFY_SOCKET=" + dir.file("notify"),
                                          toolPath("imageserver-host"), "--instance", instance},
               [listening] {
                 dup2(listening, 3);  // without close-on-exec
                 setenv("LISTEN_FDS", "1", 1);
                 setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
                 struct stat out;
                 fstat(1, &out);
                 setenv("JOURNAL_STREAM",
                        (std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino)).c_str(), 1);
               });
    ASSERT_TRUE(host.waitForLine("<6>imageserver-host: ready")) << host.out() << host.err();
    EXPECT_TRUE(has(host.out(), "(handed over by the service manager)")) << host.out();
    // Ready and idle; after a request, idle again with the answer counted
    // (the status line is sent as it changes, every 2 s at most).
    const std::string idle = "STATUS=0 clients, 0 requests queued, 0 MiB shared memory in use, ";
    const std::string first = notificationsUntil(notify, idle + "0 answers served|");
    EXPECT_TRUE(has(first, idle + "0 answers served|")) << first;
    const Outcome info = runTool(hostEnv(dir.path()) + Args{toolPath("imageserver-client"),
                                                            "--instance", instance, "info", image});
    EXPECT_EQ(info.code, 0) << info.err;
    const std::string said = first + notificationsUntil(notify, idle + "1 answers served|");
    EXPECT_TRUE(has(said, "READY=1|")) << said;
    EXPECT_TRUE(has(said, idle + "1 answers served|")) << said;
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0) << host.err();
    EXPECT_TRUE(has(notificationsUntil(notify, "STOPPING=1|"), "STOPPING=1|"));
  }
  // The socket is the manager's: it stays.
  struct stat status;
  EXPECT_EQ(stat(path.c_str(), &status), 0);
  close(listening);
  close(notify);
}

// ---------------------------------------------------------------------------
// The client, against a real host in a private runtime folder.

// Every line of |text| parsed as JSON.
std::vector<json> jsonLines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(json::parse(line, nullptr, false));
  return lines;
}

class ClientToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::create_directories(m_dir.file("run")));
    ASSERT_TRUE(std::filesystem::create_directories(m_dir.file("images/private")));
    // 64 x 48 RGBA: the left half opaque red, the right half half-transparent
    // blue, so that a scaled decode keeps both colours exactly.
    std::vector<uint16_t> samples;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x)
        samples.insert(samples.end(), x < 32 ? std::initializer_list<uint16_t>{255, 0, 0, 255}
                                             : std::initializer_list<uint16_t>{0, 0, 255, 128});
    m_png = m_dir.file("images/halves.png");
    ASSERT_TRUE(imagefiles::writePng(m_png, 64, 48, samples));
    m_broken = m_dir.write("images/broken.png", "plain text, not an image");
  }
  void TearDown() override {
    if (m_host == nullptr) return;
    m_host->signal(SIGTERM);
    EXPECT_EQ(m_host->wait(), 0);
  }

  // Starts the host with |extra| options; false when it did not get ready.
  bool startHost(const Args& extra = {}) {
    m_host = std::make_unique<Child>(hostEnv(m_dir.file("run")) +
                                     Args{toolPath("imageserver-host"), "--instance", "7"} + extra);
    return m_host->waitForLine("imageserver-host: ready");
  }

  Outcome client(const Args& args, const Args& env = {}) {
    return runTool(hostEnv(m_dir.file("run")) + env +
                   Args{toolPath("imageserver-client"), "--instance", "7"} + args);
  }
  // The client with |input| on its stdin.
  Outcome clientReading(const std::string& input, const Args& args) {
    const std::string file = m_dir.write("stdin.txt", input);
    return runTool(hostEnv(m_dir.file("run")) +
                   Args{"/bin/sh", "-c", "exec \"$@\" < \"$0\"", file,
                        toolPath("imageserver-client"), "--instance", "7"} +
                   args);
  }
  // The width and height a --json decode reported.
  std::pair<json, json> decodedSize(const Args& args) {
    std::vector<json> out =
        lines(Args{"--json", "decode", m_png, "-o", m_dir.file("s.png")} + args, 0);
    if (out.size() != 1) return {};
    return {out[0]["width"], out[0]["height"]};
  }
  // The client's output lines as JSON, its exit code checked to be |code|.
  std::vector<json> lines(const Args& args, int code) {
    Outcome outcome = client(args);
    EXPECT_EQ(outcome.code, code) << outcome.err;
    return jsonLines(outcome.out);
  }
  // A refused |command| on the broken file writes no output file.
  void refusalWritesNothing(const std::string& command) {
    const std::string none = m_dir.file("none.png");
    EXPECT_EQ(client({command, m_broken, "-o", none}).code, 1);
    EXPECT_FALSE(std::filesystem::exists(none));
  }

  // The copy of the test image at |name| below the test's folder.
  std::string copy(const std::string& name) {
    std::filesystem::copy_file(m_png, m_dir.file(name));
    return m_dir.file(name);
  }

  testsupport::TempDir m_dir;
  std::string m_png, m_broken;
  std::unique_ptr<Child> m_host;
};

TEST_F(ClientToolTest, InfoAndVersionReportAsJsonInRequestOrder) {
  ASSERT_TRUE(startHost());
  const std::string missing = m_dir.file("images/missing.png");
  const std::string odd = copy("images/odd\xff\xfe.png");
  const std::string relative = std::filesystem::relative(m_png).string();
  std::vector<json> out = lines({"--json", "info", relative, odd}, 0);
  ASSERT_EQ(out.size(), 2u);
  // A relative path is sent as an absolute locator.
  EXPECT_EQ(out[0].erase("hash"), 1u);
  EXPECT_EQ(out[0], json({{"locator", m_png},
                          {"result", 0},
                          {"status", "RESULT_OK"},
                          {"format", "PNG"},
                          {"formatId", 1},
                          {"width", 64},
                          {"height", 48},
                          {"fileSize", std::filesystem::file_size(m_png)}}));
  // Bytes that are not UTF-8 are shown as replacement characters.
  EXPECT_EQ(out[1]["locator"], m_dir.file("images/odd\xef\xbf\xbd\xef\xbf\xbd.png"));

  // A missing file is refused as the request arrives, usually before the
  // queued ones are answered; the output follows the order of the request.
  out = lines({"info", m_broken, m_png, missing, "--json"}, 1);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0],
            json({{"locator", m_broken}, {"result", 2}, {"status", "RESULT_INVALID_IMAGE"}}));
  EXPECT_EQ(std::make_tuple(out[1]["status"], out[2]["locator"]),
            std::make_tuple(json("RESULT_OK"), json(missing)));

  Outcome text = client({"version"});
  EXPECT_EQ(std::make_tuple(text.code, text.out), std::make_tuple(0, "2.0.1\n")) << text.err;
  EXPECT_EQ(lines({"version", "--json"}, 0),
            std::vector<json>{json({{"attribute", 23}, {"version", "2.0.1"}, {"valid", true}})});
}

TEST_F(ClientToolTest, GetWritesTheUnchangedFileBytesAndNothingForARefusal) {
  ASSERT_TRUE(startHost());
  std::string copy = m_dir.file("copy.png");
  std::vector<json> out = lines({"get", m_png, "--with-info", "-o", copy, "--json"}, 0);
  EXPECT_EQ(imagefiles::readFile(copy), imagefiles::readFile(m_png));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(
      std::make_tuple(out[0]["decoded"], out[0]["dataLength"], out[0]["width"], out[0]["output"]),
      std::make_tuple(json(false), json(std::filesystem::file_size(m_png)), json(64), json(copy)));
  // Without --with-info the answer carries no information record.
  out = jsonLines(client({"--json", "get", m_png, "-o", copy}).out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].contains("width"));
  refusalWritesNothing("get");
}

TEST_F(ClientToolTest, DecodeWritesAPngOfTheScaledSizeOrAPamByTheOutputName) {
  ASSERT_TRUE(startHost());
  std::string out = m_dir.file("half.png");
  std::vector<json> answer = lines({"--json", "decode", m_png, "--scale", "2", "-o", out}, 0);
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(std::make_tuple(answer[0]["decoded"], answer[0]["format"], answer[0]["width"],
                            answer[0]["dataLength"], answer[0]["output"]),
            std::make_tuple(json(true), json("RGBA8888"), json(32), json(32 * 24 * 4), json(out)));
  // The PNG, decoded to 8-bit RGBA: its header, first and last pixel.
  std::string bytes = imagefiles::readFile(out);
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> context(spng_ctx_new(0), spng_ctx_free);
  spng_ihdr header = {};
  std::string rgba(32 * 24 * 4, '\0');
  ASSERT_EQ(spng_set_png_buffer(context.get(), bytes.data(), bytes.size()), 0);
  ASSERT_EQ(spng_get_ihdr(context.get(), &header), 0);
  EXPECT_EQ(spng_decode_image(context.get(), rgba.data(), rgba.size(), SPNG_FMT_RGBA8, 0), 0);
  EXPECT_EQ(
      std::make_tuple(header.width, header.height, header.color_type, rgba.substr(0, 4),
                      rgba.substr(rgba.size() - 4)),
      std::make_tuple(32u, 24u, uint8_t{SPNG_COLOR_TYPE_TRUECOLOR_ALPHA},
                      std::string("\xff\x00\x00\xff", 4), std::string("\x00\x00\xff\x80", 4)));

  out = m_dir.file("full.pam");
  EXPECT_EQ(client({"decode", m_png, "-o", out}).code, 0);
  std::string head = "P7\nWIDTH 64\nHEIGHT 48\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  std::string pam = imagefiles::readFile(out);
  ASSERT_EQ(pam.size(), head.size() + 64 * 48 * 4);
  EXPECT_EQ(pam.substr(0, head.size() + 4), head + std::string("\xff\x00\x00\xff", 4));
  EXPECT_EQ(pam.substr(pam.size() - 4), std::string("\x00\x00\xff\x80", 4));
  refusalWritesNothing("decode");
}

TEST_F(ClientToolTest, BatchesAreAnsweredInOrderAndWrittenToAFolderOrAPattern) {
  ASSERT_TRUE(startHost());
  const std::string other = copy("images/other.png");
  // info: paths on stdin and in a file, after those on the command line.
  const std::string list = m_dir.write("list.txt", other + "\r\n\n" + m_broken + "\n");
  Outcome read = clientReading(m_png + "\n", {"--json", "info", "-", "--from-file", list});
  EXPECT_EQ(read.code, 1) << read.err;
  std::vector<json> got = jsonLines(read.out);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(
      std::make_tuple(got[0]["locator"], got[0]["width"], got[1]["locator"], got[2]["status"]),
      std::make_tuple(json(m_png), json(64), json(other), json("RESULT_INVALID_IMAGE")));
  EXPECT_EQ(lines({"info", "--from-file", "-"}, 0).size(), 0u);  // an empty stdin
  EXPECT_EQ(clientReading(m_png + "\n" + other, {"info", "--from-file", "-"}).code, 0);

  // get and decode: one file per input in a folder, or by a pattern.
  std::filesystem::create_directories(m_dir.file("out"));
  EXPECT_EQ(client({"get", m_png, other, "-o", m_dir.file("out") + "/"}).code, 0);
  EXPECT_EQ(imagefiles::readFile(m_dir.file("out/other.png")), imagefiles::readFile(m_png));
  std::vector<json> out = lines(
      {"--json", "decode", other, m_broken, m_png, "--format", "pam", "-o", m_dir.file("out")}, 1);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(std::make_tuple(out[0]["output"], out[1].contains("output"), out[2]["output"]),
            std::make_tuple(json(m_dir.file("out/other.pam")), false,
                            json(m_dir.file("out/halves.pam"))));
  EXPECT_TRUE(has(imagefiles::readFile(m_dir.file("out/halves.pam")), "WIDTH 64\nHEIGHT 48\n"));
  out = lines({"--json", "decode", m_png, other, "-o", m_dir.file("out/%03d-%%.png")}, 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(std::make_tuple(out[0]["output"], out[1]["output"]),
            std::make_tuple(json(m_dir.file("out/001-%.png")), json(m_dir.file("out/002-%.png"))));
  EXPECT_TRUE(std::filesystem::exists(m_dir.file("out/002-%.png")));
}

TEST_F(ClientToolTest, DecodeWritesPamOrPngToStdoutAndTheReportToStderr) {
  ASSERT_TRUE(startHost());
  Outcome pam = client({"decode", m_png, "-o", "-", "--scale", "2"});
  EXPECT_EQ(pam.code, 0) << pam.err;
  std::string head = "P7\nWIDTH 32\nHEIGHT 24\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  EXPECT_EQ(pam.out.size(), head.size() + 32 * 24 * 4);
  EXPECT_EQ(pam.out.substr(0, head.size() + 4), head + std::string("\xff\x00\x00\xff", 4));
  EXPECT_TRUE(has(pam.err, m_png + ": RESULT_OK")) << pam.err;

  // PNG, its level passed on: stored rows are larger than compressed ones.
  std::string sizes[2];
  for (int level : {0, 9}) {
    Outcome png = client(
        {"decode", m_png, "-o", "-", "--format", "png", "--compression", std::to_string(level)});
    EXPECT_EQ(png.code, 0) << png.err;
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> context(spng_ctx_new(0), spng_ctx_free);
    spng_ihdr header = {};
    ASSERT_EQ(spng_set_png_buffer(context.get(), png.out.data(), png.out.size()), 0);
    ASSERT_EQ(spng_get_ihdr(context.get(), &header), 0);
    EXPECT_EQ(std::make_pair(header.width, header.height), std::make_pair(64u, 48u));
    sizes[level / 9] = png.out;
  }
  EXPECT_GT(sizes[0].size(), 64u * 48 * 4);
  EXPECT_LT(sizes[1].size(), 64u * 48);
}

// The service rounds a scaled side down: 64 / 3 gives 21, 48 / 3 gives 16.
TEST_F(ClientToolTest, FitPicksTheLargestDivisorWhoseSizeCoversTheBox) {
  ASSERT_TRUE(startHost());
  using Size = std::pair<json, json>;
  EXPECT_EQ(decodedSize({"--fit", "21x16"}), Size(21, 16));
  EXPECT_EQ(decodedSize({"--fit", "22x16"}), Size(32, 24));
  EXPECT_EQ(decodedSize({"--fit", "21x17"}), Size(32, 24));
  EXPECT_EQ(decodedSize({"--fit", "32x24"}), Size(32, 24));
  EXPECT_EQ(decodedSize({"--fit", "33x24"}), Size(64, 48));
  EXPECT_EQ(decodedSize({"--fit", "1x1"}), Size(1, 1));  // 48: a larger one gives 0
  EXPECT_EQ(decodedSize({"--fit", "1000x10"}), Size(64, 48));

  // Each image of a batch gets its own divisor, its output its own name.
  const std::string large = m_dir.file("images/large.png");
  ASSERT_TRUE(imagefiles::writePng(large, 128, 96, std::vector<uint16_t>(128 * 96 * 4, 255)));
  std::filesystem::create_directories(m_dir.file("out"));
  std::vector<json> out =
      lines({"--json", "decode", large, m_png, "--fit", "32x24", "-o", m_dir.file("out")}, 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(std::make_tuple(out[0]["locator"], out[0]["output"], out[0]["width"], out[1]["locator"],
                            out[1]["output"], out[1]["width"]),
            std::make_tuple(json(large), json(m_dir.file("out/large.png")), json(32), json(m_png),
                            json(m_dir.file("out/halves.png")), json(32)));
}

// A bar shows only on a terminal: with no delay, on a pseudo-terminal, and
// never when stderr is piped.
TEST_F(ClientToolTest, TheProgressBarShowsOnATerminalOnly) {
  ASSERT_TRUE(startHost());
  const Args delay{"IMAGESERVER_CLIENT_PROGRESS_DELAY=0"};
  Outcome piped = client({"info", m_png, m_png}, delay);
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.err, "");
  const std::string terminal = stderrOnATerminal(
      hostEnv(m_dir.file("run")) + delay +
      Args{toolPath("imageserver-client"), "--instance", "7", "info", m_png, m_png});
  EXPECT_TRUE(has(terminal, "] 2/2 ")) << testing::PrintToString(terminal);
}

// The host's --colour reaches the decoder processes: a ProPhoto-tagged
// image comes out in sRGB by default, and as stored with --colour stored.
TEST_F(ClientToolTest, TheHostsColourModeReachesItsDecoders) {
  const std::vector<uint16_t> samples(16 * 3, 100);
  const std::string tagged = m_dir.file("images/tagged.png");
  imagefiles::PngOptions options;
  options.colorType = 2;
  options.icc = imagefiles::iccProfile(imagefiles::Profile::kProPhoto);
  ASSERT_TRUE(imagefiles::writePng(tagged, 4, 4, samples, options));
  const std::string out = m_dir.file("out.pam");
  std::string lastPixel[2];
  for (int stored : {0, 1}) {
    ASSERT_TRUE(startHost(stored ? Args{"--colour", "stored"} : Args{}));
    EXPECT_EQ(client({"decode", tagged, "-o", out}).code, 0);
    const std::string pam = imagefiles::readFile(out);
    lastPixel[stored] = pam.substr(pam.size() - 3);  // RGB
    m_host->signal(SIGTERM);
    EXPECT_EQ(m_host->wait(), 0);
    m_host.reset();
  }
  EXPECT_EQ(lastPixel[1], std::string(3, char(100)));
  EXPECT_NE(lastPixel[0], lastPixel[1]);
}

TEST_F(ClientToolTest, TheHostHandsItsPathListsToTheService) {
  const std::string listed = copy("images/halves.data");
  const std::string blocked = copy("images/private/halves.png");
  ASSERT_TRUE(
      startHost({"--ext-check", "--whitelist", m_dir.file("images"), "--blacklist",
                 m_dir.file("images/private"), "--trace-level", "7", "--client-memory", "1048576",
                 "--total-client-memory", "1073741824", "--segment-reserve", "0"}));
  EXPECT_EQ(client({"info", listed}).code, 0);
  EXPECT_EQ(client({"info", blocked}).code, 1);
}

TEST_F(ClientToolTest, SighupAppliesTheConfigurationButNeverLoosensTheBlacklist) {
  const std::string listed = copy("images/halves.data");
  const std::string blocked = copy("images/private/halves.png");
  const std::string config = m_dir.file("config/imageserver/config.json");
  std::filesystem::create_directories(m_dir.file("config/imageserver"));
  auto configure = [&](const std::string& text) { imagefiles::writeFile(config, text); };
  // Each reload below says something no earlier one said.
  auto reload = [&](const std::string& said) {
    m_host->signal(SIGHUP);
    return m_host->waitFor(said);
  };
  auto served = [&](const std::string& path) { return client({"info", path}).code == 0; };
  const std::string images = m_dir.file("images"), hidden = m_dir.file("images/private");
  configure(R"({"blacklist": [")" + hidden + R"("]})");
  ASSERT_TRUE(startHost({"--ext-check", "--config-root", m_dir.file("config")}));
  EXPECT_FALSE(served(listed));
  EXPECT_FALSE(served(blocked));
  // Entries added: the whitelist serves what the extension did not.
  configure(R"({"whitelist": [")" + images + R"("], "blacklist": [")" + hidden + R"("]})");
  ASSERT_TRUE(reload("reloaded the configuration: 1 entries added"));
  EXPECT_TRUE(served(listed));
  EXPECT_FALSE(served(blocked));
  // Both lists emptied: the whitelist follows; the blacklist entry stays
  // until a restart.
  configure("{}");
  ASSERT_TRUE(reload("stay in force until a restart: " + hidden)) << m_host->err();
  EXPECT_FALSE(served(listed));
  EXPECT_FALSE(served(blocked));
  // A broken file changes nothing, and the host serves on.
  configure(R"({"whitelist": [")" + images + R"(")");
  ASSERT_TRUE(reload("the configuration in force stays")) << m_host->err();
  EXPECT_FALSE(served(listed));
  EXPECT_TRUE(served(m_png));
}

// The service answers every refusal alike; the client tells on stderr what it
// sees of the path, and its report stays as it was.
TEST_F(ClientToolTest, ARefusalIsExplainedOnStderrByWhatTheClientSeesOfThePath) {
  ASSERT_TRUE(startHost({"--ext-check"}));
  const std::string png = imagefiles::readFile(m_png);
  const std::string renamed = m_dir.write("images/halves.dat", png);
  const std::string damaged = m_dir.write("images/cut.png", png.substr(0, 20));
  const struct {
    std::string path;
    const char* cause;
  } cases[] = {
      {m_dir.file("images/missing.png"), "no such file"},
      {m_dir.file("images/private"), "not a regular file"},
      {m_broken, "not an image"},
      {renamed, "the extension is not accepted"},
      {damaged, "a damaged image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Outcome outcome = client({"info", c.path});
    EXPECT_EQ(outcome.code, 1);
    EXPECT_EQ(outcome.out, c.path + ": RESULT_INVALID_IMAGE\n");
    EXPECT_TRUE(has(outcome.err, "imageserver-client: " + c.path + ": likely cause: " + c.cause))
        << outcome.err;
  }
  // An accepted file, and a refusal in JSON, print no hint beyond it.
  EXPECT_EQ(client({"info", m_png}).err, "");
  Outcome json = client({"--json", "info", m_broken});
  EXPECT_EQ(jsonLines(json.out).size(), 1u);
  EXPECT_TRUE(has(json.err, "likely cause: not an image")) << json.err;

  // A service of another user cannot read what is closed to others. Only
  // root can make the socket another user's, as a system service's is.
  if (getuid() != 0) GTEST_SKIP() << "needs root to give the socket to another user";
  const std::string closed = m_dir.write("images/private/closed.txt", png);
  ASSERT_EQ(chmod(m_dir.file("images/private").c_str(), 0700), 0);
  ASSERT_EQ(chown(m_dir.file("run/svx.imageserver.ImageServer.7").c_str(), 65534, 65534), 0);
  Outcome outcome = client({"info", closed});
  EXPECT_TRUE(has(outcome.err, "likely cause: the service's user cannot read it (")) << outcome.err;
}

TEST_F(ClientToolTest, ExitCodesForUsageErrorsAndAMissingService) {
  // No host is running: usage errors are found first, then the missing
  // service.
  for (const Args& args : {Args{},
                           Args{"--no-such-option", "info", m_png},
                           Args{"info"},
                           Args{"decode", m_png, "--scale", "0"},
                           Args{"decode", m_png, "--scale", "128"},
                           Args{"decode", m_png, "-o", m_dir.file("out.txt")},
                           Args{"--timeout", "-1", "info", m_png},
                           Args{"--timeout", "0", "info", m_png},
                           Args{"get", m_png, m_png},
                           Args{"decode", m_png, m_png, "-o", m_dir.file("one.png")},
                           Args{"decode", m_png, m_png, "-o", "-"},
                           Args{"decode", m_png, m_png},
                           Args{"decode", m_png, "-o", m_dir.file("x.png"), "--format", "pam"},
                           Args{"decode", m_png, "-o", m_dir.file("no-folder/")},
                           Args{"decode", m_png, "--fit", "32x24", "--scale", "2"},
                           Args{"decode", m_png, "--fit", "32x"},
                           Args{"decode", m_png, "--fit", "0x24"},
                           Args{"decode", m_png, "--compression", "10"},
                           Args{"decode", m_png, "--compression", "-1"},
                           Args{"info", "--from-file", m_dir.file("missing.txt")}}) {
    Outcome outcome = client(args);
    EXPECT_EQ(outcome.code, 2) << testing::PrintToString(args) << outcome.err;
    EXPECT_EQ(outcome.err.rfind("imageserver-client: ", 0), 0u) << outcome.err;
  }
  Outcome unknown = client({"--json", "bogus", m_png});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_TRUE(has(unknown.err,
                  "imageserver-client: unknown subcommand: bogus\n"
                  "Subcommands: info get decode version\n"))
      << unknown.err;
  for (const Args& args : {Args{"info", m_png}, Args{"get", m_png, "-o", m_dir.file("x.png")},
                           Args{"decode", m_png, "--scale", "127"}, Args{"version"},
                           Args{"decode", m_png, m_png, "-o", m_dir.file("%d.png")},
                           Args{"decode", m_png, "--compression", "0", "--fit", "1x1"}}) {
    Outcome outcome = client(args);
    EXPECT_EQ(std::make_tuple(outcome.code, has(outcome.err, "no image service")),
              std::make_tuple(3, true))
        << args[0] << outcome.err;
  }
}

TEST_F(ClientToolTest, TheTimeoutBoundsAConnectThatTheServiceDoesNotTake) {
  // A listener that takes no connection, its backlog full.
  const std::string socket = m_dir.file("run/svx.imageserver.ImageServer.7");
  comm::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un address = {AF_UNIX, {}};
  socket.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener.get(), 0), 0);
  std::vector<comm::UniqueFd> waiting;
  for (;;) {
    comm::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) break;
    waiting.push_back(std::move(fd));
  }
  // `timeout` ends a client that would wait for ever (exit 124).
  Outcome outcome = runTool(hostEnv(m_dir.file("run")) +
                            Args{"/usr/bin/timeout", "20", toolPath("imageserver-client"),
                                 "--instance", "7", "--timeout", "1", "info", m_png});
  EXPECT_EQ(
      std::make_tuple(outcome.code, has(outcome.err, "the service accepted no connection within ")),
      std::make_tuple(3, true))
      << outcome.err;
}

}  // namespace
