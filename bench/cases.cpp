// imageserver-bench's cases: the input files, the service requests it
// times, the list of cases of `run`, and the `rss` and `idle` modes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "svx/imageserver/client/ImageServerClient.h"

namespace bench {

namespace isc = imageserver::client;

// ---------------------------------------------------------------------------
// Cases

// The group names that bench.h declares for the run and the report.
std::string groupName(const std::string& file, const std::string& what) {
  return basename(file) + ": " + what;
}
namespace {

// "full" or "/N". Appended rather than built with "/" + ..., for which
// GCC 12 gives a false -Wrestrict warning.
std::string scalingName(int scaling) {
  if (scaling == 1) return "full";
  std::string name = "/";
  name += std::to_string(scaling);
  return name;
}

}  // namespace

std::string mixedGroup(const std::string& file, int scaling) {
  return "mixed stream, " + basename(file) + ": decode " + scalingName(scaling);
}
std::string oneShotGroup(const std::string& file, int scaling) {
  return "one-shot process, " + basename(file) + ": decode " + scalingName(scaling);
}

namespace {

struct Inputs {
  std::string dir;
  std::string jpeg12, jpeg12p, jpeg1, png12, gif12, bmp30, tiff12, jxl12;
  std::string jpeg8, jpeg2, jpeg075;  // with jpeg12: the mixed-size stream
  std::string avif3, avif12, heic3, heic12;
  std::vector<std::string> small;
  std::string smallList;  // a file listing |small|, one path a line
};

// Service answer checks and timing.
double serviceImage(isc::SyncClient& client, const std::string& path, int scaling, bool decode,
                    bool check, size_t expectLength) {
  std::vector<isc::Answer> answers;
  kor::Status error;
  const double t0 = now();
  const bool ok =
      (error = client.requestImages({path}, static_cast<int8_t>(scaling), decode, 120.0, &answers))
          .ok();
  if (!ok || answers.size() != 1) fail("service request failed: " + std::string(error.message()));
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

// A case in which the Python worker runs |command| on |argument|, timed from
// here (a pipe round trip included); the warm-up checks its answer against
// |expect|.
std::function<double(bool)> pythonCase(PillowWorker* worker, std::string command,
                                       std::string argument, std::string expect) {
  return [=](bool check) {
    const double t0 = now();
    const std::string answer = worker->call(command + "\t" + argument);
    const double t1 = now();
    if (check && answer != expect) fail(command + " gave " + answer);
    return (t1 - t0) * 1e3;
  };
}

// Microseconds per information request, the mean of |count| in a row.
double serviceInfo(isc::SyncClient& client, const std::string& path, int count) {
  std::vector<isc::Answer> answers;
  kor::Status error;
  const double t0 = now();
  for (int i = 0; i < count; ++i) {
    answers.clear();
    if (!(error = client.requestInformation({path}, 60.0, &answers)).ok() || answers.size() != 1)
      fail("information request failed: " + std::string(error.message()));
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

Inputs findInputs(const std::string& dir) {
  Inputs in;
  in.dir = dir;
  in.jpeg12 = dir + "/photo12.jpg";
  in.jpeg12p = dir + "/photo12-prog.jpg";
  in.jpeg1 = dir + "/photo1.jpg";
  in.png12 = dir + "/photo12.png";
  in.gif12 = dir + "/photo12.gif";
  in.bmp30 = dir + "/big.bmp";
  in.tiff12 = dir + "/photo12.tif";
  in.jxl12 = dir + "/photo12.jxl";
  in.jpeg8 = dir + "/photo8.jpg";
  in.jpeg2 = dir + "/photo2.jpg";
  in.jpeg075 = dir + "/photo075.jpg";
  in.avif3 = dir + "/photo3.avif";
  in.avif12 = dir + "/photo12.avif";
  in.heic3 = dir + "/photo3.heic";
  in.heic12 = dir + "/photo12.heic";
  static const char* const kExtensions[4] = {"jpg", "png", "gif", "bmp"};
  for (int i = 0; i < 1000; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/small/%04d.%s", i, kExtensions[i % 4]);
    in.small.push_back(dir + name);
  }
  for (const std::string& path : {in.jpeg12, in.jpeg12p, in.jpeg1, in.png12, in.gif12, in.bmp30,
                                  in.tiff12, in.jxl12, in.jpeg8, in.jpeg2, in.jpeg075,
                                  in.small.back(), in.avif3, in.avif12, in.heic3, in.heic12}) {
    if (access(path.c_str(), R_OK) != 0) fail("missing input " + path);
  }
  return in;
}
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

using AddCase = std::function<void(std::string, std::string, Kind, std::string,
                                   std::function<double(bool)>, double)>;

// AVIF and HEIC at 3 and 12 MP: the service's full decode, and an earlier
// build's beside it; the 12-MP AVIF as whole processes writing the picture,
// imageserver-client (PAM) against avifdec (y4m, the decoded planes as they
// are, with one and with two threads).
void addHeifCases(const Inputs& in, const RunOptions& options, isc::SyncClient& client,
                  isc::SyncClient* before, const AddCase& add) {
  for (const std::string& path : {in.avif3, in.avif12, in.heic3, in.heic12}) {
    const std::string group = groupName(path, "decode full");
    add(
        group, kLabelService, kService, "ms",
        [&client, path](bool check) { return serviceImage(client, path, 1, true, check, 0); }, 1);
    if (before == nullptr) continue;
    add(
        group, kLabelEarlier, kReference, "ms",
        [before, path](bool check) { return serviceImage(*before, path, 1, true, check, 0); }, 1);
  }
  if (!options.peers || options.client.empty()) return;
  const std::string path = in.avif12;
  const std::string pam = options.scratch + "/oneshot-avif.pam";
  const std::string y4m = options.scratch + "/oneshot-avif.y4m";
  auto oneShot = [](std::vector<std::string> argv, std::string out, uint64_t bytes) {
    return [argv, out, bytes](bool check) {
      const double t = runCommand(argv);
      struct stat status;
      if (check && (stat(out.c_str(), &status) != 0 || uint64_t(status.st_size) < bytes))
        fail(out + " was not written whole");
      return t * 1e3;
    };
  };
  const uint64_t pixels = 4000 * 3000;
  const std::string group = oneShotGroup(path, 1);
  std::vector<std::string> args = {
      options.client, "--instance", std::to_string(options.instance), "decode", path, "-o", pam};
  add(group, kLabelClientTool, kService, "ms", oneShot(args, pam, pixels * 3), 1);
  if (options.beforeInstance != 0) {
    args[2] = std::to_string(options.beforeInstance);
    add(group, kLabelClientToolEarlier, kReference, "ms", oneShot(args, pam, pixels * 3), 1);
  }
  for (const char* jobs : {"1", "2"})
    add(group, std::string("avifdec -j ") + jobs, kPeer, "ms",
        oneShot({"/usr/bin/avifdec", "-j", jobs, path, y4m}, y4m, pixels * 3 / 2), 1);
}

}  // namespace

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
  kor::Status error;
  auto client = isc::SyncClient::connect(connect, &error);
  if (!client) fail("cannot connect to the service: " + std::string(error.message()));
  auto mixed = isc::SyncClient::connect(connect, &error);
  if (!mixed) fail("cannot connect to the service: " + std::string(error.message()));
  std::unique_ptr<isc::SyncClient> before, mixedBefore;
  if (options.beforeInstance != 0) {
    isc::ConnectOptions earlier;
    earlier.instance = options.beforeInstance;
    before = isc::SyncClient::connect(earlier, &error);
    mixedBefore = isc::SyncClient::connect(earlier, &error);
    if (!before || !mixedBefore)
      fail("cannot connect to the earlier service: " + std::string(error.message()));
  }
  std::vector<std::unique_ptr<isc::SyncClient>> one, four;
  one.push_back(isc::SyncClient::connect(connect, &error));
  for (int i = 0; i < 4; ++i) four.push_back(isc::SyncClient::connect(connect, &error));
  for (auto& c : one)
    if (!c) fail("cannot connect: " + std::string(error.message()));
  for (auto& c : four)
    if (!c) fail("cannot connect: " + std::string(error.message()));

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

  struct InputFile {
    std::string path;
    int library;  // 0 none, 1 libjpeg-turbo, 2 libspng, 3 giflib
  };
  const std::vector<InputFile> files = {{in.jpeg12, 1}, {in.jpeg12p, 1}, {in.jpeg1, 1},
                                        {in.png12, 2},  {in.gif12, 3},   {in.bmp30, 0},
                                        {in.tiff12, 0}, {in.jxl12, 0}};
  // Times |decode| into |buffer| and the read of every byte it produced.
  auto decodeCase = [](std::shared_ptr<Buffer> buffer, std::function<Pixels(Buffer*)> decode) {
    return [buffer, decode](bool) {
      const double t0 = now();
      const Pixels pixels = decode(buffer.get());
      readAll(pixels.data, pixels.size);
      return (now() - t0) * 1e3;
    };
  };
  for (const InputFile& file : files) {
    const std::string path = file.path;
    add(
        groupName(path, "information"), kLabelService, kService, "us",
        [&client, path](bool) { return serviceInfo(*client, path, 200); }, 200);
    if (before) {
      add(
          groupName(path, "information"), kLabelBefore, kReference, "us",
          [&before, path](bool) { return serviceInfo(*before, path, 200); }, 200);
    }
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
        auto python = [&pillow, path](std::string command) {
          return pythonCase(pillow.get(), std::move(command), path, "ok 4000 3000");
        };
        add(group, "Pillow load()", kPeer, "ms", python("load"));
        add(group, kLabelPillowArray, kPeer, "ms", python("array"));
        add(group, kLabelPythonDecode, kService, "ms", python("client-decode"));
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

  addHeifCases(in, options, *client, before.get(), add);

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
      if (mixedBefore) {
        add(group, kLabelBefore, kReference, "ms", [&mixedBefore, path, scaling](bool check) {
          return serviceImage(*mixedBefore, path, scaling, true, check, 0);
        });
      }
    }
  }

  // What reading an image in a decoder process costs a job: the engine's
  // calls in this process and in a decoder process of its own, on a small
  // file, and what starting one costs (off a request's path: spares).
  {
    const std::string path = in.jpeg075;
    add(
        kGroupSandboxInfo, kLabelEngineHere, kBaseline, "us",
        [path](bool) { return engineInfo(path, false, 200); }, 200);
    add(
        kGroupSandboxInfo, kLabelEngineDecoder, kService, "us",
        [path](bool) { return engineInfo(path, true, 200); }, 200);
    add(
        kGroupSandboxDecode, kLabelEngineHere, kBaseline, "us",
        [path](bool) { return engineDecode(path, false, 20); }, 20);
    add(
        kGroupSandboxDecode, kLabelEngineDecoder, kService, "us",
        [path](bool) { return engineDecode(path, true, 20); }, 20);
    add(kGroupDecoderStart, "start, confine, hello, end", kService, "ms",
        [](bool) { return decoderStartMs(); });
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
      if (options.beforeInstance != 0) {
        std::vector<std::string> beforeArgs = clientArgs;
        beforeArgs[2] = std::to_string(options.beforeInstance);
        add(group, kLabelClientToolBefore, kReference, "ms", oneShot(beforeArgs, pam));
      }
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
        kor::Status error;
        const double t0 = now();
        const bool ok = (error = client->requestInformation(in.small, 120.0, &answers)).ok();
        const double t1 = now();
        if (!ok || answers.size() != in.small.size())
          fail("1,000 information answers: " + std::to_string(answers.size()) + " came; " +
               std::string(error.message()));
        if (check) {
          for (const isc::Answer& a : answers)
            if (a.result != isc::RESULT_OK || !a.hasInfo || a.info.width == 0)
              fail("information failed for " + a.locator);
        }
        return (t1 - t0) * 1e3;
      });
  if (before) {
    add(kGroupInfo1000, kLabelBefore + std::string(", one request"), kReference, "ms",
        [&before, &in](bool) {
          std::vector<isc::Answer> answers;
          kor::Status error;
          const double t0 = now();
          const bool ok = (error = before->requestInformation(in.small, 120.0, &answers)).ok();
          const double t1 = now();
          if (!ok || answers.size() != in.small.size())
            fail("1,000 information answers: " + std::string(error.message()));
          return (t1 - t0) * 1e3;
        });
  }
  if (options.peers) {
    std::vector<std::string> identify = {"/usr/bin/identify", "-ping"};
    identify.insert(identify.end(), in.small.begin(), in.small.end());
    add(kGroupInfo1000, "identify -ping (one process)", kPeer, "ms",
        [identify](bool) { return runCommand(identify) * 1e3; });
    std::vector<std::string> vipsheader = {"/usr/bin/vipsheader"};
    vipsheader.insert(vipsheader.end(), in.small.begin(), in.small.end());
    add(kGroupInfo1000, "vipsheader (one process)", kPeer, "ms",
        [vipsheader](bool) { return runCommand(vipsheader) * 1e3; });
    add(kGroupInfo1000, kLabelPillowInfo, kPeer, "ms",
        pythonCase(pillow.get(), "infolist", smallList, "ok 1000"));
    add(kGroupInfo1000, kLabelPythonInfo, kService, "ms",
        pythonCase(pillow.get(), "client-infolist", smallList, "ok 1000"));
  }

  // Throughput: the same 24 decodes by one connection, then shared by four
  // connections working at once (one thread each).
  add(
      kGroupThroughput, "1 client", kService, "img/s",
      [&one, &in](bool) { return throughput(one, 1, in.jpeg1, 2, 24); }, 24);
  add(
      kGroupThroughput, "4 clients", kService, "img/s",
      [&four, &in](bool) { return throughput(four, 4, in.jpeg1, 2, 24); }, 24);

  runCases(cases, options, pillow ? pillow->pid() : 0, pingProcess.child());
  return 0;
}

// ---------------------------------------------------------------------------
// Peak memory of a host process

int measureRss(uint32_t instance, pid_t pid, const std::string& path, int scaling,
               const std::string& label) {
  isc::ConnectOptions connect;
  connect.instance = instance;
  kor::Status error;
  auto client = isc::SyncClient::connect(connect, &error);
  if (!client) fail("cannot connect: " + std::string(error.message()));
  // The idle peak includes the connection being set up.
  std::vector<isc::Answer> answers;
  if (!(error = client->requestInformation({path}, 30.0, &answers)).ok()) fail(error.message());
  const long idle = readStatusKb(pid, "VmHWM");
  // A decode that the service refuses (a hostile file) is measured too.
  answers.clear();
  if (!(error = client->requestImages({path}, static_cast<int8_t>(scaling), true, 120.0, &answers))
           .ok() ||
      answers.size() != 1)
    fail("service request failed: " + std::string(error.message()));
  if (answers[0].hasImage) readAll(answers[0].data(), answers[0].length());
  const long peak = readStatusKb(pid, "VmHWM");
  // The decoder processes are the host's children; this client's has done
  // the work (and ends when the client goes).
  long decoderPeak = 0;
  std::error_code listing;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, listing)) {
    std::ifstream children(task.path() / "children");
    pid_t child = 0;
    while (children >> child) decoderPeak = std::max(decoderPeak, readStatusKb(child, "VmHWM"));
  }
  std::printf("%s\t%ld\t%ld\t%s\t%ld\n", label.c_str(), idle, peak,
              isc::resultName(answers[0].result), decoderPeak);
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
    kor::Status error;
    std::vector<std::unique_ptr<isc::SyncClient>> all;
    for (int i = 0; i < clients; ++i) {
      all.push_back(isc::SyncClient::connect(connect, &error));
      if (!all.back()) fail("cannot connect: " + std::string(error.message()));
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

}  // namespace bench
