// imageserver-bench's report: statistics of the samples, the targets, the
// Markdown tables, the plot data with its gnuplot script, and the same tables
// on stdout.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

// ---------------------------------------------------------------------------
// Report

namespace {

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

}  // namespace

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
  // The long-lived client at every size, full and /8, against libjpeg-turbo
  // in this process into a reused buffer; the earlier build's service
  // beside it for reference, where it was measured.
  const std::pair<const char*, const char*> sizes[] = {{"photo12.jpg", "12-MP"},
                                                       {"photo8.jpg", "8-MP"},
                                                       {"photo2.jpg", "2-MP"},
                                                       {"photo075.jpg", "0.75-MP"}};
  for (int scaling : {1, 8}) {
    for (const auto& [file, mp] : sizes) {
      const std::string what = scaling == 1 ? " JPEG full decode" : " JPEG decode /8";
      compare("long-lived client, " + std::string(mp) + what +
                  ": service ÷ in-process libjpeg-turbo" + (scaling == 1 ? "" : " 1/8"),
              mixedGroup(file, scaling), kLabelService, mixedGroup(file, scaling), kLabelJpeg, 1.05,
              true);
      if (find(mixedGroup(file, scaling), kLabelBefore) != nullptr)
        compare("  the same, service before the sandbox (reference)", mixedGroup(file, scaling),
                kLabelBefore, mixedGroup(file, scaling), kLabelJpeg, NAN, true);
    }
  }
  compare("one-shot process, 12-MP JPEG full decode to a file: imageserver-client ÷ djpeg",
          oneShotGroup(j12, 1), kLabelClientTool, oneShotGroup(j12, 1), "djpeg", 1.05, true);
  if (find(oneShotGroup(j12, 1), kLabelClientToolBefore) != nullptr)
    compare("  the same, service before the sandbox (reference)", oneShotGroup(j12, 1),
            kLabelClientToolBefore, oneShotGroup(j12, 1), "djpeg", NAN, true);
  compare("one-shot process, 12-MP JPEG decode /8 to a file: imageserver-client ÷ djpeg -scale 1/8",
          oneShotGroup(j12, 8), kLabelClientTool, oneShotGroup(j12, 8), "djpeg -scale 1/8", 1.0,
          true);
  if (find(oneShotGroup(j12, 8), kLabelClientToolBefore) != nullptr)
    compare("  the same, service before the sandbox (reference)", oneShotGroup(j12, 8),
            kLabelClientToolBefore, oneShotGroup(j12, 8), "djpeg -scale 1/8", NAN, true);
  // AVIF and HEIC against an earlier build's service, where one ran: the
  // speed-up of a full decode (AVIF: at least 1.5 on one core; HEIC: not
  // slower), and the 12-MP AVIF as a whole process against avifdec.
  for (const char* file : {"photo3.avif", "photo12.avif", "photo3.heic", "photo12.heic"}) {
    if (find(g(file, "decode full"), kLabelEarlier) == nullptr) continue;
    compare(std::string(file) + " full decode: earlier build ÷ service", g(file, "decode full"),
            kLabelEarlier, g(file, "decode full"), kLabelService,
            std::strstr(file, "avif") != nullptr ? 1.5 : 1.0, false);
  }
  compare("one-shot process, 12-MP AVIF full decode to a file: imageserver-client ÷ avifdec -j 1",
          oneShotGroup("photo12.avif", 1), kLabelClientTool, oneShotGroup("photo12.avif", 1),
          "avifdec -j 1", 1.3, true);
  // The decoder process's cost per job: the difference of the medians of
  // the engine's calls there and here, against 100 µs.
  for (const char* group : {kGroupSandboxInfo, kGroupSandboxDecode}) {
    const Row* there = find(group, kLabelEngineDecoder);
    const Row* here = find(group, kLabelEngineHere);
    Target t;
    t.name = std::string("cost of the decoder process per job, ") + group +
             ": (decoder process − this process) ÷ 100 µs";
    t.limit = 1.0;
    if (there == nullptr || here == nullptr) {
      t.measured = "not measured";
    } else {
      const double cost = there->s.median - here->s.median;
      t.ratio = cost / 100.0;
      char text[160];
      std::snprintf(text, sizeof text, "%.1f µs − %.1f µs = %.1f µs", there->s.median,
                    here->s.median, cost);
      t.measured = text;
    }
    targets.push_back(t);
  }
  if (const Row* start = find(kGroupDecoderStart, "start, confine, hello, end")) {
    Target t;
    t.name = "start of a decoder process (spares: off a request's path), ms (reference)";
    t.ratio = start->s.median;
    t.measured = valueText(start->s.median, start->unit);
    targets.push_back(t);
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
  if (find(kGroupInfo1000, kLabelBefore + std::string(", one request")) != nullptr)
    compare("information for 1,000 files: service ÷ service before the sandbox (one request)",
            kGroupInfo1000, kLabelService + std::string(", one request"), kGroupInfo1000,
            kLabelBefore + std::string(", one request"), 1.5, true);
  if (find(g(j12, "information"), kLabelBefore) != nullptr)
    compare("  information round trip before the sandbox ÷ ping-pong (reference)",
            g(j12, "information"), kLabelBefore, kGroupPing, kLabelPingProcess, NAN, true);
  compare("information for 1,000 files: identify -ping ÷ service (one request)", kGroupInfo1000,
          "identify -ping (one process)", kGroupInfo1000,
          kLabelService + std::string(", one request"), 10.0, false);
  compare("information for 1,000 files: vipsheader ÷ service (one request)", kGroupInfo1000,
          "vipsheader (one process)", kGroupInfo1000, kLabelService + std::string(", one request"),
          10.0, false);
  compare("12-MP JPEG full decode to numpy: Python client ÷ C++ client", g(j12, "decode full"),
          kLabelPythonDecode, g(j12, "decode full"), kLabelService, 1.05, true);
  compare("12-MP JPEG full decode to numpy: Pillow load() + asarray ÷ Python client",
          g(j12, "decode full"), kLabelPillowArray, g(j12, "decode full"), kLabelPythonDecode, 1.0,
          false);
  compare("information for 1,000 files: Pillow Image.open() loop ÷ Python client info()",
          kGroupInfo1000, kLabelPillowInfo, kGroupInfo1000, kLabelPythonInfo, 10.0, false);
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

}  // namespace bench
