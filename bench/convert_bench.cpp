// SPDX-License-Identifier: MIT
// Times the stages of the conversion on real photos, each as a ratio to
// libjpeg-turbo's own full-size decode (djpeg -dct int) of the same file,
// measured in the same run.
//
//   build/bench/convert_bench [benchmark flags] [PHOTO.jpg ...]
//
// Without photos it takes the two wallpapers bench/setup.sh installs.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "picture/convert.h"
#include "picture/fileio.h"
#include "picture/jpeg.h"
#include "picture/path.h"
#include "picture/reduce.h"

extern char** environ;

namespace {

const char* const kDefaultPhotos[] = {
    "/usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg",
    "/usr/share/backgrounds/sunset_by_Aitzol_Berasategi.jpg",
};

const char* const kStages[] = {"djpeg", "decode", "reduce", "encode", "whole", "convert"};

void RunDjpeg(const std::string& photo) {
  const char* argv[] = {"djpeg", "-dct", "int", "-outfile", "/dev/null", photo.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "djpeg", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    std::fprintf(stderr, "convert_bench: cannot start djpeg\n");
    std::exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

struct Photo {
  std::string label;  // the file name without extension
  std::string path;
  std::string copy;  // a copy in the scratch folder, converted beside itself
  tam::Picture decoded, reduced;
  bool progressive = false;
};

// Wall time (djpeg runs in a child process), the median of a few repetitions.
void Configure(benchmark::internal::Benchmark* b) {
  b->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(3)->ReportAggregatesOnly(true);
}

void Register(Photo& photo) {
  const auto name = [&](const char* stage) { return std::string(stage) + "/" + photo.label; };
  Configure(benchmark::RegisterBenchmark(name("djpeg").c_str(), [&photo](benchmark::State& state) {
    for (auto _ : state) RunDjpeg(photo.path);
  }));
  Configure(benchmark::RegisterBenchmark(name("decode").c_str(), [&photo](benchmark::State& state) {
    for (auto _ : state) {
      auto decoded = tam::DecodeJpeg(tam::ReadWholeFile(photo.path));
      benchmark::DoNotOptimize(decoded.picture.pixels().data());
    }
  }));
  Configure(benchmark::RegisterBenchmark(name("reduce").c_str(), [&photo](benchmark::State& state) {
    for (auto _ : state) {
      state.PauseTiming();
      tam::Picture picture = photo.decoded;
      state.ResumeTiming();
      tam::ReducePicture(picture, 960, 720);
      benchmark::DoNotOptimize(picture.pixels().data());
    }
  }));
  Configure(benchmark::RegisterBenchmark(name("encode").c_str(), [&photo](benchmark::State& state) {
    for (auto _ : state) {
      auto encoded = tam::EncodeJpeg(photo.reduced, 50, photo.progressive);
      benchmark::DoNotOptimize(encoded.data());
    }
  }));
  // The three stages one after the other on a whole decoded picture, as the
  // conversion did before it streamed rows from the decoder into the filter.
  Configure(benchmark::RegisterBenchmark(name("whole").c_str(), [&photo](benchmark::State& state) {
    for (auto _ : state) {
      auto decoded = tam::DecodeJpeg(tam::ReadWholeFile(photo.path));
      tam::ReducePicture(decoded.picture, 960, 720);
      auto encoded = tam::EncodeJpeg(decoded.picture, 50, decoded.multiple_scans);
      benchmark::DoNotOptimize(encoded.data());
    }
  }));
  Configure(benchmark::RegisterBenchmark(name("convert").c_str(), [&photo](benchmark::State& state) {
    for (auto _ : state) {
      benchmark::DoNotOptimize(tam::ConvertPicture(photo.copy, 50, tam::skByExtension, {}));
    }
  }));
}

// Keeps the medians of the repetitions and prints them as ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const std::string name = run.run_name.function_name;
      const auto slash = name.find('/');
      ms_[name.substr(slash + 1)][name.substr(0, slash)] = run.GetAdjustedRealTime();
    }
  }

  void PrintRatios() const {
    std::printf("\nmedian wall time in ms, and as a ratio to djpeg -dct int of the same file\n");
    std::printf("%-32s", "photo");
    for (const char* stage : kStages) std::printf(" %16s", stage);
    std::printf("\n");
    for (const auto& [photo, times] : ms_) {
      std::printf("%-32s", photo.c_str());
      const auto base = times.find("djpeg");
      for (const char* stage : kStages) {
        const auto t = times.find(stage);
        if (t == times.end() || base == times.end()) {
          std::printf(" %16s", "-");
        } else {
          std::printf(" %7.1f (%5.2fx)", t->second, t->second / base->second);
        }
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> ms_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::string> paths(argv + 1, argv + argc);
  if (paths.empty()) paths.assign(std::begin(kDefaultPhotos), std::end(kDefaultPhotos));

  char scratch_template[] = "/tmp/tamarind-bench-XXXXXX";
  if (!mkdtemp(scratch_template)) return 1;
  const std::string scratch = scratch_template;

  std::vector<Photo> photos(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    Photo& p = photos[i];
    p.path = paths[i];
    if (!tam::FileExists(p.path)) {
      std::fprintf(stderr, "convert_bench: %s is missing; run bench/setup.sh\n", p.path.c_str());
      return 1;
    }
    p.label = tam::RemoveFileExt(tam::ExtractFileName(p.path));
    p.copy = scratch + "/" + tam::ExtractFileName(p.path);
    // Read as the program reads a photo: a FIFO, a device or a broken file
    // is named and refused, not copied for ever or left to abort the run.
    tam::DecodedJpeg decoded;
    try {
      const std::vector<std::uint8_t> bytes = tam::ReadWholeFile(p.path);
      tam::WriteFileAtomic(p.copy, bytes);
      decoded = tam::DecodeJpeg(bytes);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "convert_bench: %s\n", e.what());
      std::filesystem::remove_all(scratch);
      return 1;
    }
    p.progressive = decoded.multiple_scans;
    p.decoded = std::move(decoded.picture);
    p.reduced = p.decoded;
    tam::ReducePicture(p.reduced, 960, 720);
    std::printf("%s: %d x %d%s -> %d x %d\n", p.label.c_str(), p.decoded.width(), p.decoded.height(),
                p.progressive ? " progressive" : "", p.reduced.width(), p.reduced.height());
  }
  for (Photo& p : photos) Register(p);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  std::filesystem::remove_all(scratch);
  return 0;
}
