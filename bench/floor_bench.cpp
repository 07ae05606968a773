// SPDX-License-Identifier: MIT
// The whole conversion of one photo against the floor it cannot go below:
// libjpeg-turbo's own full-size decode of the same file, `djpeg -dct int`.
//
//   build/bench/floor_bench [--rounds N] [--batch PHOTO] [--batch-rounds N]
//                           [--cli PATH] [PHOTO.jpg ...]
//
// Per photo, in rounds that interleave the contenders (the order turns each
// round, so neighbours' builds on a shared machine hit all of them alike),
// median wall times of:
//   djpeg    djpeg -dct int -outfile /dev/null PHOTO, a child process (with
//            -colors 236 for a grayscale source, which the conversion has to
//            decode quantized)
//   process  this program converting the photo in a child process (read,
//            decode, reduce to fit 960 x 720, encode at quality 50, write
//            <name>_x.jpg): the same kind of whole job as djpeg's
//   convert  ConvertPicture in this process
//   whole    the whole-picture path in this process: DecodeJpeg, ReducePicture,
//            EncodeJpeg, write
// with the ratios to djpeg, and the peak memory (GNU time) of the process
// (and of `tamarind2-cli reduce` with --cli) against djpeg's own peak + the
// file size + 32 MiB. Then a batch of 100 copies of one 12 MP photo converted in one
// process, per file, against djpeg run 100 times.
//
// Without photos it takes every JPEG file of 4 to 24 MP that bench/setup.sh
// installs (symbolic links skipped). Copies and outputs live in /dev/shm when
// there is one, so that both sides read from and write to memory.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/photos.h"
#include "picture/convert.h"
#include "picture/fileio.h"
#include "picture/jpeg.h"
#include "picture/path.h"
#include "picture/reduce.h"

extern char** environ;

namespace {

using tambench::DefaultPhotos;
using tambench::DjpegArgs;
using tambench::Label;
using tambench::LoadAverage;
using tambench::Median;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kBatchPhoto = "/usr/share/backgrounds/sunset_by_Aitzol_Berasategi.jpg";
constexpr int kBatchFiles = 100;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct ChildRun {
  double ms = 0;
  bool ok = false;
};

// Runs a program to its end, its output to /dev/null: wall time.
ChildRun Run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  ChildRun r;
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "floor_bench: cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.ms = Ms(Clock::now() - start);
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  posix_spawn_file_actions_destroy(&actions);
  return r;
}

// Peak resident memory of a program in KiB, as GNU time reports it. (The
// rusage of a child started straight from here would count this process's
// own peak: the kernel carries it over the exec of a vfork'ed child.)
long PeakKib(const std::vector<std::string>& args, const fs::path& scratch) {
  const std::string out = (scratch / "peak.txt").string();
  std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", out};
  timed.insert(timed.end(), args.begin(), args.end());
  if (!Run(timed).ok) return -1;
  std::ifstream in(out);
  long kib = -1;
  in >> kib;
  return kib;
}

// The decode the conversion cannot do without. A grayscale source is decoded
// quantized to 236 grey levels (as the conversion must), so its floor is
// djpeg doing the same.
ChildRun Djpeg(const std::string& photo, bool grey) { return Run(DjpegArgs(photo, grey)); }

std::string self_path;

ChildRun OurProcess(const std::string& copy) { return Run({self_path, "--convert-one", copy}); }

double TimeConvert(const std::string& copy) {
  const auto start = Clock::now();
  tam::ConvertPicture(copy, 50, tam::skByExtension, {});
  return Ms(Clock::now() - start);
}

double TimeWholePath(const std::string& copy) {
  const auto start = Clock::now();
  tam::DecodedJpeg decoded = tam::DecodeJpeg(tam::ReadWholeFile(copy));
  tam::ReducePicture(decoded.picture, 960, 720);
  const auto encoded = tam::EncodeJpeg(decoded.picture, 50, decoded.multiple_scans);
  tam::WriteFileAtomic(tam::RemoveFileExt(copy) + "_w.jpg", encoded);
  return Ms(Clock::now() - start);
}

struct Photo : tambench::JpegFacts {
  std::string path, copy, label;
  std::vector<double> djpeg, process, convert, whole;
  long djpeg_peak = 0, our_peak = 0, cli_peak = 0;
};

int Usage() {
  std::fprintf(
      stderr,
      "usage: floor_bench [--rounds N] [--batch PHOTO] [--batch-rounds N] [--cli PATH] [PHOTO.jpg ...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  self_path = fs::canonical("/proc/self/exe").string();
  if (argc == 3 && std::strcmp(argv[1], "--convert-one") == 0) {
    try {
      tam::ConvertPicture(argv[2], 50, tam::skByExtension, {});
      return 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
  }

  int rounds = 5, batch_rounds = 3;
  std::string batch_photo = kBatchPhoto, cli;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (a == "--batch-rounds" && i + 1 < argc) {
      batch_rounds = std::atoi(argv[++i]);
    } else if (a == "--batch" && i + 1 < argc) {
      batch_photo = argv[++i];
    } else if (a == "--cli" && i + 1 < argc) {
      cli = argv[++i];
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) paths = DefaultPhotos();
  if (paths.empty()) {
    std::fprintf(stderr, "floor_bench: no photos; run bench/setup.sh\n");
    return 1;
  }

  // The batch photo is checked with the others, before minutes of rounds.
  Photo batch;
  batch.path = batch_photo;
  if (batch_rounds > 0 && !tambench::Describe(batch.path, batch)) {
    std::fprintf(stderr, "floor_bench: batch photo %s is not a readable JPEG file\n", batch_photo.c_str());
    return 1;
  }

  const fs::path scratch = tambench::MakeScratch("floor");

  std::vector<Photo> photos;
  for (const std::string& path : paths) {
    Photo p;
    p.path = path;
    if (!tambench::Describe(p.path, p)) {
      std::fprintf(stderr, "floor_bench: %s is not a readable JPEG file\n", path.c_str());
      return 1;
    }
    p.label = Label(path);
    p.copy = (scratch / (std::to_string(photos.size()) + ".jpg")).string();
    fs::copy_file(path, p.copy);
    photos.push_back(std::move(p));
  }

  const double load_before = LoadAverage();
  const auto started = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (Photo& p : photos) {
      // Four contenders, started in a different order each round.
      for (int k = 0; k < 4; ++k) {
        switch ((k + round) % 4) {
          case 0: {
            p.djpeg.push_back(Djpeg(p.path, p.grey).ms);
            break;
          }
          case 1: {
            const ChildRun r = OurProcess(p.copy);
            if (!r.ok) {
              std::fprintf(stderr, "floor_bench: converting %s failed\n", p.path.c_str());
              return 1;
            }
            p.process.push_back(r.ms);
            break;
          }
          case 2:
            p.convert.push_back(TimeConvert(p.copy));
            break;
          case 3:
            p.whole.push_back(TimeWholePath(p.copy));
            break;
        }
      }
    }
  }
  for (Photo& p : photos) {
    p.djpeg_peak = PeakKib(DjpegArgs(p.path, p.grey), scratch);
    p.our_peak = PeakKib({self_path, "--convert-one", p.copy}, scratch);
    if (!cli.empty()) p.cli_peak = PeakKib({cli, "reduce", p.copy}, scratch);
  }
  const double load_after = LoadAverage();

  std::printf("median of %d interleaved rounds, wall ms (ratio to djpeg -dct int of the same file)\n",
              rounds);
  std::printf("%-34s %6s %4s %8s %8s %15s %15s %15s %9s %9s %s\n", "photo", "MP", "kind", "KiB", "djpeg",
              "process", "convert", "whole path", "peak KiB", "budget", cli.empty() ? "" : "cli KiB");
  int over = 0, over_in_process = 0, different = 0;
  for (const Photo& p : photos) {
    const double d = Median(p.djpeg);
    const double proc = Median(p.process), conv = Median(p.convert), whole = Median(p.whole);
    const long budget = p.djpeg_peak + static_cast<long>(p.size / 1024) + 32 * 1024;
    const long peak = std::max(p.our_peak, p.cli_peak);
    if (proc > 1.25 * d || peak > budget) ++over;
    if (conv > 1.25 * d || peak > budget) ++over_in_process;
    std::printf("%-34s %6.1f %4s %8ju %8.1f %7.1f (%4.2fx) %7.1f (%4.2fx) %7.1f (%4.2fx) %9ld %9ld",
                p.label.c_str(), double(p.width) * p.height / 1e6,
                p.grey          ? "grey"
                : p.progressive ? "prog"
                                : "base",
                p.size / 1024, d, proc, proc / d, conv, conv / d, whole, whole / d, p.our_peak, budget);
    if (!cli.empty()) std::printf(" %9ld", p.cli_peak);
    // The streaming conversion must give the very bytes of the whole-picture path.
    const bool same = tam::ReadWholeFile(tam::RemoveFileExt(p.copy) + "_x.jpg") ==
                      tam::ReadWholeFile(tam::RemoveFileExt(p.copy) + "_w.jpg");
    if (!same) ++different;
    std::printf("%s%s\n", peak > budget ? "  MEMORY OVER" : "", same ? "" : "  BYTES DIFFER");
  }
  std::printf("photos over 1.25 x djpeg or over the memory budget: %d of %zu as a process, %d in process\n",
              over, photos.size(), over_in_process);
  std::printf("output bytes equal to the whole-picture path's: %zu of %zu\n", photos.size() - different,
              photos.size());
  std::printf("load average (1 min) %.2f before, %.2f after, %d cores; %.0f s\n", load_before, load_after,
              static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)), Ms(Clock::now() - started) / 1000);

  // The batch: 100 copies of one photo in one folder, converted one after
  // the other in one process (as the reduction run does), against djpeg
  // started once per file.
  if (batch_rounds > 0) {
    const Photo& b = batch;
    const fs::path folder = scratch / "batch";
    fs::create_directories(folder);
    std::vector<std::string> copies;
    for (int i = 0; i < kBatchFiles; ++i) {
      copies.push_back((folder / ("p" + std::to_string(i) + ".jpg")).string());
      fs::copy_file(batch_photo, copies.back());
    }
    std::vector<double> ours, djpeg;
    const double batch_load_before = LoadAverage();
    for (int round = 0; round < batch_rounds; ++round) {
      for (int k = 0; k < 2; ++k) {
        const auto start = Clock::now();
        if ((k + round) % 2 == 0) {
          for (const std::string& c : copies) tam::ConvertPicture(c, 50, tam::skByExtension, {});
          ours.push_back(Ms(Clock::now() - start) / kBatchFiles);
        } else {
          for (const std::string& c : copies) Djpeg(c, b.grey);
          djpeg.push_back(Ms(Clock::now() - start) / kBatchFiles);
        }
      }
    }
    std::printf("\nbatch of %d copies of %s (%.1f MP, %s), median of %d interleaved rounds, ms per file\n",
                kBatchFiles, Label(batch_photo).c_str(), double(b.width) * b.height / 1e6,
                b.progressive ? "progressive" : "baseline", batch_rounds);
    std::printf("  djpeg loop %.1f   conversion %.1f (%4.2fx)   load average %.2f before, %.2f after\n",
                Median(djpeg), Median(ours), Median(ours) / Median(djpeg), batch_load_before, LoadAverage());
  }
  return 0;
}
