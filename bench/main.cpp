// imageserver-bench: measures the image service end to end from a client
// process and compares it with in-process library baselines and with peer
// tools, on the same files in the same run.
//
//   imageserver-bench run --inputs DIR --scratch DIR --out SAMPLES.tsv
//                         [--reps N] [--instance N] [--host-pid PID]
//                         [--pillow-worker PATH] [--client PATH] [--no-peers]
//                         [--only TEXT] [--before-instance N]
//       Runs every case once as a warm-up (which also checks the outputs),
//       then N rounds; each round runs every case once, in a fixed order that
//       puts each service case next to its baseline and peers, so that slow
//       drifts of the machine affect them alike. Writes one line per sample.
//       --only keeps the cases whose "group / label" contains TEXT, or one
//       of several texts separated by "|" (for profiling a few cases).
//       --client names imageserver-client for the one-shot cases (whole
//       processes against the peers' tools); without it they are left out.
//       --before-instance names a host of an earlier build: the mixed
//       stream, the information cases and the one-shot client are measured
//       against it too, in the same rounds.
//   imageserver-bench rss --instance N --pid PID --file PATH --scaling S --label L
//       Asks a freshly started host for one decode and prints the host's peak
//       resident memory (VmHWM) before and after, the answer's result, and
//       the largest peak of the host's decoder processes:
//       "L<TAB>idle_kB<TAB>peak_kB<TAB>RESULT_...<TAB>decoder_peak_kB".
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
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "bench.h"

namespace {

int usage() {
  std::fprintf(
      stderr,
      "usage: imageserver-bench run --inputs DIR --scratch DIR --out FILE [--reps N]\n"
      "                             [--instance N] [--host-pid PID] [--pillow-worker PATH]\n"
      "                             [--client PATH] [--no-peers] [--only TEXT]\n"
      "                             [--before-instance N]\n"
      "       imageserver-bench rss --instance N --pid PID --file PATH --scaling S "
      "--label L\n"
      "       imageserver-bench idle --instance N --pid PID --file PATH [--clients N]\n"
      "                              [--decodes N] [--reserve-mib M]\n"
      "       imageserver-bench colour --inputs DIR [--scratch DIR] [--reps N]\n"
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
      // Assigned as a std::string: GCC 12 gives a false -Wrestrict warning for
      // the assignment of the literal itself.
      args[key] = std::string("1");
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
      bench::RunOptions options;
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
      options.beforeInstance =
          static_cast<uint32_t>(std::atoi(get("--before-instance", "0").c_str()));
      if (options.inputs.empty() || options.out.empty() || options.reps < 1 ||
          (options.peers && options.pillowWorker.empty()))
        return usage();
      return bench::runBenchmarks(options);
    }
    if (mode == "rss") {
      return bench::measureRss(static_cast<uint32_t>(std::atoi(get("--instance", "0").c_str())),
                               static_cast<pid_t>(std::atoi(get("--pid", "0").c_str())),
                               get("--file"), std::atoi(get("--scaling", "0").c_str()),
                               get("--label"));
    }
    if (mode == "idle") {
      return bench::measureIdle(static_cast<uint32_t>(std::atoi(get("--instance", "0").c_str())),
                                static_cast<pid_t>(std::atoi(get("--pid", "0").c_str())),
                                get("--file"), std::atoi(get("--clients", "10").c_str()),
                                std::atoi(get("--decodes", "100").c_str()),
                                std::strtoull(get("--reserve-mib", "64").c_str(), nullptr, 10));
    }
    if (mode == "colour") {
      return bench::measureColour(get("--inputs"), get("--scratch", "/tmp"),
                                  std::atoi(get("--reps", "15").c_str()));
    }
    if (mode == "report") {
      return bench::writeReport(get("--samples"), get("--rss"), get("--idle"), get("--md"),
                                get("--plot-dir", "."), get("--environment"));
    }
  } catch (const bench::Failure& e) {
    std::fprintf(stderr, "imageserver-bench: %s\n", e.what());
    return 1;
  }
  return usage();
}
