// SPDX-License-Identifier: MIT
// The CPU time (user + system) of a whole conversion against the codec
// floor: the work no conversion can avoid, decoding the source and encoding
// the result. On a shared machine CPU time is what neighbours inflate least.
//
//   build/bench/cpu_bench [--rounds N] [--also PROGRAM] [PHOTO.jpg ...]
//
// Per photo, in rounds that interleave the contenders (the order turns each
// round), medians of:
//   djpeg     djpeg -dct int -outfile /dev/null PHOTO, a child process (with
//             -colors 236 for a grayscale source, decoded quantized as the
//             conversion must)
//   cjpeg     cjpeg -quality 50 on the reduced picture as a PPM, writing the
//             kind of file the conversion must write: -progressive for a
//             progressive source (whose result is progressive too, with
//             optimised tables: three times the work of a sequential
//             encode), -baseline otherwise
//   floor     djpeg + cjpeg
//   process   this program with --convert-one COPY, a child process: read,
//             decode, reduce to fit 960 x 720, encode at quality 50, write
//             <name>_x.jpg (start-up included), with its wall time
//   in proc   the same conversion inside a child that has converted the
//             photo once already (no start-up, warm code)
//   filter    the fast filter alone over the whole decoded picture, in the
//             same child
// With --also PROGRAM, another build of this benchmark (say, before a
// change) runs its process, in-proc and filter contenders in the same rounds.
// Each --cli PROGRAM (tamarind2-cli, before and after a change) adds
// `PROGRAM reduce --quality 50 COPY` as a contender, and first a start-up
// line: `PROGRAM --help` against djpeg on a 1 x 1 JPEG, interleaved,
// medians of wall and CPU time. --process-only leaves out the in-process
// and filter runs.
//
// --instructions counts instead, once per contender under callgrind, the
// instructions each whole process executes (djpeg, cjpeg, this program's
// conversion, each --cli): a figure that other work on the machine does not
// move, where CPU time on a virtual machine moves by a tenth from minute to
// minute.
//
// Without photos it takes every JPEG file of 4 to 24 MP that bench/setup.sh
// installs (symbolic links skipped). Copies and outputs live in /dev/shm.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/photos.h"
#include "picture/convert.h"
#include "picture/fastreduce.h"
#include "picture/fileio.h"
#include "picture/jpeg.h"
#include "picture/reduce.h"

extern char** environ;

namespace {

using tambench::DefaultPhotos;
using tambench::Label;
using tambench::LoadAverage;
using tambench::Median;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kQuality = 50;

double Ms(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

struct ChildRun {
  double cpu_ms = 0, wall_ms = 0;
};

// Runs a program to its end, its standard output to out: CPU and wall time.
ChildRun Run(const std::vector<std::string>& args, const std::string& out = "/dev/null") {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cpu_bench: cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "cpu_bench: %s failed\n", args[0].c_str());
    std::exit(1);
  }
  return {Ms(usage.ru_utime) + Ms(usage.ru_stime),
          std::chrono::duration<double, std::milli>(Clock::now() - start).count()};
}

// The instructions a program executes to its end, as callgrind counts them.
long long Instructions(const std::vector<std::string>& args, const fs::path& scratch) {
  const std::string log = (scratch / "callgrind.log").string();
  std::vector<std::string> all = {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                                  "--log-file=" + log};
  all.insert(all.end(), args.begin(), args.end());
  Run(all);
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find("Collected : ");
    if (at != std::string::npos) return std::atoll(line.c_str() + at + 12);
  }
  std::fprintf(stderr, "cpu_bench: callgrind counted nothing for %s\n", args[0].c_str());
  std::exit(1);
}

double ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Ms(usage.ru_utime) + Ms(usage.ru_stime);
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The child's side of "in proc" and "filter": converts once to warm up, then
// prints the CPU time of a second conversion and of the filter alone.
int InProcess(const std::string& copy) {
  tam::ConvertPicture(copy, kQuality, tam::skByExtension, {});
  const double before = ProcessCpuMs();
  tam::ConvertPicture(copy, kQuality, tam::skByExtension, {});
  const double convert = ProcessCpuMs() - before;

  tam::DecodedJpeg decoded = tam::DecodeJpeg(tam::ReadWholeFile(copy));
  tam::Picture& source = decoded.picture;
  source.ToBgr24();
  const tam::FittedBox box = tam::FitBox(source.width(), source.height(), 960, 720);
  double filter = 0;
  if (box.reduces) {
    const tam::ReducePlan plan(source.width(), source.height(), box);
    std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(source.height()));
    for (std::int32_t i = 0; i < source.height(); ++i) rows[static_cast<std::size_t>(i)] = source.row(i);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(plan.width()) * 3);
    tam::FastRowFilter warm(plan);
    for (std::int32_t y = 0; y < plan.height(); ++y) warm.FilterRow(y, rows.data(), out.data());
    const double start = ThreadCpuMs();
    tam::FastRowFilter fast(plan);
    for (std::int32_t y = 0; y < plan.height(); ++y) fast.FilterRow(y, rows.data(), out.data());
    filter = ThreadCpuMs() - start;
  }
  std::printf("%.3f %.3f\n", convert, filter);
  return 0;
}

struct Contender {
  std::vector<double> process, process_wall, in_process, filter;
};

struct Photo : tambench::JpegFacts {
  std::string path, copy, ppm, label;
  std::vector<double> djpeg, djpeg_wall, cjpeg;
  std::vector<double> cjpeg_baseline;  // a progressive source's result encoded sequential
  Contender ours, also;
  std::vector<Contender> clis;  // one per --cli, process and process_wall only
};

// cjpeg encoding the reduced picture as the conversion must (progressive
// when the source is), or sequential whatever the source.
std::vector<std::string> Cjpeg(const Photo& p, bool as_the_conversion) {
  return {"cjpeg",
          "-quality",
          std::to_string(kQuality),
          as_the_conversion && p.progressive ? "-progressive" : "-baseline",
          "-outfile",
          "/dev/null",
          p.ppm};
}

// The reduced picture as cjpeg reads it.
void WritePpm(const std::string& photo, const std::string& ppm) {
  tam::DecodedJpeg decoded = tam::DecodeJpeg(tam::ReadWholeFile(photo));
  tam::ReducePicture(decoded.picture, 960, 720);
  tam::Picture& p = decoded.picture;
  p.ToBgr24();
  std::ofstream out(ppm, std::ios::binary);
  out << "P6\n" << p.width() << ' ' << p.height() << "\n255\n";
  for (std::int32_t y = 0; y < p.height(); ++y) {
    for (std::int32_t x = 0; x < p.width(); ++x) {
      const std::uint8_t* px = p.row(y) + 3 * x;
      const char rgb[3] = {static_cast<char>(px[2]), static_cast<char>(px[1]), static_cast<char>(px[0])};
      out.write(rgb, 3);
    }
  }
}

// Without the in-process and filter columns (--process-only) a round takes a
// third of the time, which on a loaded machine keeps the rounds close together.
bool in_process_too = true;

void RunContender(const std::string& program, const Photo& p, const fs::path& scratch, Contender& c) {
  const ChildRun whole = Run({program, "--convert-one", p.copy});
  c.process.push_back(whole.cpu_ms);
  c.process_wall.push_back(whole.wall_ms);
  if (!in_process_too) return;
  const std::string report = (scratch / "in-process.txt").string();
  Run({program, "--in-process", p.copy}, report);
  std::ifstream in(report);
  double convert = 0, filter = 0;
  in >> convert >> filter;
  c.in_process.push_back(convert);
  c.filter.push_back(filter);
}

// tamarind2-cli's start-up, and each run's wall and CPU time against djpeg
// decoding a 1 x 1 picture: what a process start costs each of them.
void StartUp(const std::vector<std::string>& clis, const fs::path& scratch, int runs) {
  const std::string ppm = (scratch / "tiny.ppm").string(), tiny = (scratch / "tiny.jpg").string();
  {
    std::ofstream out(ppm, std::ios::binary);
    out << "P6\n1 1\n255\n" << '\x80' << '\x80' << '\x80';
  }
  Run({"cjpeg", "-outfile", tiny, ppm});
  const std::size_t kinds = clis.size() + 1;
  std::vector<std::vector<double>> wall(kinds), cpu(kinds);
  for (int round = 0; round < runs; ++round) {
    for (std::size_t k = 0; k < kinds; ++k) {
      const std::size_t which = (k + static_cast<std::size_t>(round)) % kinds;
      const ChildRun r = which == 0 ? Run({"djpeg", "-dct", "int", "-outfile", "/dev/null", tiny})
                                    : Run({clis[which - 1], "--help"});
      wall[which].push_back(r.wall_ms);
      cpu[which].push_back(r.cpu_ms);
    }
  }
  std::printf("start-up, median of %d interleaved runs, ms: djpeg 1x1 wall %.2f CPU %.2f\n", runs,
              Median(wall[0]), Median(cpu[0]));
  for (std::size_t i = 0; i < clis.size(); ++i) {
    std::printf("  %s --help: wall %.2f (%.2fx) CPU %.2f (%.2fx)\n", clis[i].c_str(), Median(wall[i + 1]),
                Median(wall[i + 1]) / Median(wall[0]), Median(cpu[i + 1]),
                Median(cpu[i + 1]) / Median(cpu[0]));
  }
}

// One count per contender and photo; ratios to the floor's count.
int CountInstructions(const std::string& self, const std::vector<std::string>& clis,
                      const std::vector<Photo>& photos, const fs::path& scratch) {
  std::printf(
      "instructions (millions) of each whole process, callgrind; ratios to the floor (djpeg + cjpeg)\n");
  std::printf("%-34s %4s %8s %6s %8s | %16s", "photo", "kind", "djpeg", "cjpeg", "floor", "process");
  for (std::size_t i = 0; i < clis.size(); ++i) std::printf(" | cli %zu %10s", i + 1, "");
  std::printf("\n");
  std::vector<std::vector<double>> ratios(1 + clis.size());
  std::vector<double> baseline_ratios;  // the process against a sequential encode for every photo
  for (const Photo& p : photos) {
    const double djpeg = Instructions(tambench::DjpegArgs(p.path, p.grey), scratch) / 1e6;
    const double cjpeg = Instructions(Cjpeg(p, true), scratch) / 1e6;
    const double floor = djpeg + cjpeg;
    const double baseline_floor =
        p.progressive ? djpeg + Instructions(Cjpeg(p, false), scratch) / 1e6 : floor;
    const double ours = Instructions({self, "--convert-one", p.copy}, scratch) / 1e6;
    ratios[0].push_back(ours / floor);
    baseline_ratios.push_back(ours / baseline_floor);
    std::printf("%-34s %4s %8.1f %6.1f %8.1f | %8.1f (%4.2fx)", p.label.c_str(),
                p.grey          ? "grey"
                : p.progressive ? "prog"
                                : "base",
                djpeg, cjpeg, floor, ours, ours / floor);
    for (std::size_t i = 0; i < clis.size(); ++i) {
      const double cli =
          Instructions({clis[i], "reduce", "--quality", std::to_string(kQuality), p.copy}, scratch) / 1e6;
      ratios[i + 1].push_back(cli / floor);
      std::printf(" | %8.1f (%4.2fx)", cli, cli / floor);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    const auto& r = ratios[i];
    const long within = std::count_if(r.begin(), r.end(), [](double x) { return x <= 1.15; });
    std::printf("%s: within 1.15 x the floor %ld of %zu; ratio median %.2fx, worst %.2fx\n",
                i == 0 ? "process" : ("cli " + std::to_string(i)).c_str(), within, r.size(), Median(r),
                *std::max_element(r.begin(), r.end()));
  }
  const long within =
      std::count_if(baseline_ratios.begin(), baseline_ratios.end(), [](double x) { return x <= 1.15; });
  std::printf(
      "process, with a sequential encode in every floor: within 1.15 x %ld of %zu; median %.2fx, worst "
      "%.2fx\n",
      within, baseline_ratios.size(), Median(baseline_ratios),
      *std::max_element(baseline_ratios.begin(), baseline_ratios.end()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 &&
      (std::strcmp(argv[1], "--convert-one") == 0 || std::strcmp(argv[1], "--in-process") == 0)) {
    try {
      if (std::strcmp(argv[1], "--in-process") == 0) return InProcess(argv[2]);
      tam::ConvertPicture(argv[2], kQuality, tam::skByExtension, {});
      return 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
  }
  const std::string self = fs::canonical("/proc/self/exe").string();
  int rounds = 5;
  std::string also;
  std::vector<std::string> clis, paths;
  int startup_runs = 200;
  bool instructions = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (a == "--also" && i + 1 < argc) {
      also = fs::canonical(argv[++i]).string();
    } else if (a == "--cli" && i + 1 < argc) {
      clis.push_back(fs::canonical(argv[++i]).string());
    } else if (a == "--instructions") {
      instructions = true;
    } else if (a == "--process-only") {
      in_process_too = false;
    } else if (a == "--startup-runs" && i + 1 < argc) {
      startup_runs = std::atoi(argv[++i]);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr,
                   "usage: cpu_bench [--rounds N] [--also PROGRAM] [--cli PROGRAM]... [--startup-runs N] "
                   "[--process-only] [--instructions] "
                   "[PHOTO.jpg ...]\n");
      return 2;
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) paths = DefaultPhotos();
  if (paths.empty()) {
    std::fprintf(stderr, "cpu_bench: no photos; run bench/setup.sh\n");
    return 1;
  }
  const fs::path scratch = tambench::MakeScratch("cpu");

  std::vector<Photo> photos;
  for (const std::string& path : paths) {
    Photo p;
    p.path = path;
    if (!tambench::Describe(p.path, p)) {
      std::fprintf(stderr, "cpu_bench: %s is not a readable JPEG file\n", path.c_str());
      return 1;
    }
    p.label = Label(path);
    const std::string stem = (scratch / std::to_string(photos.size())).string();
    p.copy = stem + ".jpg";
    p.ppm = stem + ".ppm";
    p.clis.resize(clis.size());
    fs::copy_file(path, p.copy);
    WritePpm(path, p.ppm);
    photos.push_back(std::move(p));
  }

  if (instructions) return CountInstructions(self, clis, photos, scratch);
  const double load_before = LoadAverage();
  const auto started = Clock::now();
  if (!clis.empty() && startup_runs > 0) StartUp(clis, scratch, startup_runs);
  const int kinds = (also.empty() ? 3 : 4) + static_cast<int>(clis.size());
  for (int round = 0; round < rounds; ++round) {
    for (Photo& p : photos) {
      for (int k = 0; k < kinds; ++k) {
        switch ((k + round) % kinds) {
          case 0: {
            const ChildRun r = Run(tambench::DjpegArgs(p.path, p.grey));
            p.djpeg.push_back(r.cpu_ms);
            p.djpeg_wall.push_back(r.wall_ms);
            break;
          }
          case 1:
            p.cjpeg.push_back(Run(Cjpeg(p, true)).cpu_ms);
            if (p.progressive) p.cjpeg_baseline.push_back(Run(Cjpeg(p, false)).cpu_ms);
            break;
          case 2:
            RunContender(self, p, scratch, p.ours);
            break;
          default: {
            const int cli = (k + round) % kinds - (also.empty() ? 3 : 4);
            if (cli < 0) {
              RunContender(also, p, scratch, p.also);
              break;
            }
            const ChildRun r = Run({clis[static_cast<std::size_t>(cli)], "reduce", "--quality",
                                    std::to_string(kQuality), p.copy});
            p.clis[static_cast<std::size_t>(cli)].process.push_back(r.cpu_ms);
            p.clis[static_cast<std::size_t>(cli)].process_wall.push_back(r.wall_ms);
            break;
          }
        }
      }
    }
  }
  const double load_after = LoadAverage();

  std::printf(
      "median of %d interleaved rounds, CPU ms (user + system); ratios to the floor (djpeg + cjpeg)\n",
      rounds);
  std::printf("%-34s %5s %4s %6s %5s %6s | %15s %15s %6s | %7s", "photo", "MP", "kind", "djpeg", "cjpeg",
              "floor", "process", "in proc", "filter", "wall/dj");
  if (!also.empty()) std::printf(" | %15s %15s %6s", "--also process", "in proc", "filter");
  for (std::size_t i = 0; i < clis.size(); ++i) std::printf(" | cli %zu %23s", i + 1, "CPU, wall/dj");
  std::printf("\n");
  int within = 0;
  std::vector<double> ratios, baseline_ratios;
  std::vector<int> cli_within(clis.size());
  std::vector<std::vector<double>> cli_ratios(clis.size());
  for (const Photo& p : photos) {
    const double floor = Median(p.djpeg) + Median(p.cjpeg);
    const double proc = Median(p.ours.process), in = Median(p.ours.in_process);
    if (proc <= 1.15 * floor) ++within;
    ratios.push_back(proc / floor);
    baseline_ratios.push_back(proc / (p.progressive ? Median(p.djpeg) + Median(p.cjpeg_baseline) : floor));
    std::printf("%-34s %5.1f %4s %6.1f %5.1f %6.1f | %7.1f (%4.2fx) %7.1f (%4.2fx) %6.1f | %6.2fx",
                p.label.c_str(), double(p.width) * p.height / 1e6,
                p.grey          ? "grey"
                : p.progressive ? "prog"
                                : "base",
                Median(p.djpeg), Median(p.cjpeg), floor, proc, proc / floor, in, in / floor,
                Median(p.ours.filter), Median(p.ours.process_wall) / Median(p.djpeg_wall));
    if (!also.empty()) {
      const double aproc = Median(p.also.process), ain = Median(p.also.in_process);
      std::printf(" | %7.1f (%4.2fx) %7.1f (%4.2fx) %6.1f", aproc, aproc / floor, ain, ain / floor,
                  Median(p.also.filter));
    }
    for (std::size_t i = 0; i < clis.size(); ++i) {
      const double cpu = Median(p.clis[i].process);
      if (cpu <= 1.15 * floor) ++cli_within[i];
      cli_ratios[i].push_back(cpu / floor);
      std::printf(" | %7.1f (%4.2fx) %6.2fx", cpu, cpu / floor,
                  Median(p.clis[i].process_wall) / Median(p.djpeg_wall));
    }
    std::printf("\n");
  }
  for (std::size_t i = 0; i < clis.size(); ++i) {
    std::printf("cli %zu (%s) within 1.15 x the floor: %d of %zu; ratio median %.2fx, worst %.2fx\n", i + 1,
                clis[i].c_str(), cli_within[i], photos.size(), Median(cli_ratios[i]),
                *std::max_element(cli_ratios[i].begin(), cli_ratios[i].end()));
  }
  std::printf("as a process within 1.15 x the floor: %d of %zu; ratio median %.2fx, worst %.2fx\n", within,
              photos.size(), Median(ratios), *std::max_element(ratios.begin(), ratios.end()));
  std::printf(
      "as a process, with a sequential encode in every floor: within 1.15 x %ld of %zu; "
      "median %.2fx, worst %.2fx\n",
      static_cast<long>(
          std::count_if(baseline_ratios.begin(), baseline_ratios.end(), [](double x) { return x <= 1.15; })),
      baseline_ratios.size(), Median(baseline_ratios),
      *std::max_element(baseline_ratios.begin(), baseline_ratios.end()));
  std::printf("load average (1 min) %.2f before, %.2f after, %d cores; %.0f s\n", load_before, load_after,
              static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)),
              std::chrono::duration<double>(Clock::now() - started).count());
  return 0;
}
