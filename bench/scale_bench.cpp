// SPDX-License-Identifier: MIT
// A batch of many photos (hard links of one photo in a scratch folder) through
// the reduce command's loop and the insert command's run without the window,
// built-in engine, then a save: peak memory of each phase, the time of one
// file early and late in the batch, and what the presentation holds against
// the reduced JPEG bytes.
//
//   scale_bench [--files N (1030 at least)] [--photo PHOTO.jpg] [--keep DIR]
//
// --keep DIR leaves the reduced JPEGs and the saved .pptx in DIR (to compare
// two builds' bytes); otherwise the scratch folder is removed.
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench/photos.h"
#include "picture/fileio.h"
#include "picture/reduction.h"
#include "presentation/builtin_engine.h"
#include "presentation/clipboard.h"
#include "presentation/components.h"
#include "presentation/insert_run.h"
#include "presentation/pptx_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the whole process (both threads of a streamed conversion), ms:
// what other work on a shared machine inflates far less than wall time.
double CpuMs() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}
namespace fs = std::filesystem;

// A field of /proc/self/status, in KiB.
long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

// Starts a new peak: VmHWM falls back to the present resident size.
void ResetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
}

// Bytes the allocator has handed out and not had back.
double HeapMiB() {
  const struct mallinfo2 m = mallinfo2();
  return double(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}

double MiB(long kib) { return kib / 1024.0; }

// Median of the per-file times in [from, to).
double MedianMs(const std::vector<double>& ms, std::size_t from, std::size_t to) {
  from = std::min(from, ms.size());
  to = std::min(to, ms.size());
  if (from >= to) return 0;
  std::vector<double> w(ms.begin() + long(from), ms.begin() + long(to));
  std::nth_element(w.begin(), w.begin() + long(w.size() / 2), w.end());
  return w[w.size() / 2];
}

// Times between successive marks, the first from start.
std::vector<double> Steps(Clock::time_point start, const std::vector<Clock::time_point>& marks) {
  std::vector<double> ms;
  for (const auto& t : marks) {
    ms.push_back(std::chrono::duration<double, std::milli>(t - start).count());
    start = t;
  }
  return ms;
}

void PrintTimes(const char* phase, const char* clock, const std::vector<double>& ms) {
  const std::size_t n = ms.size();
  // Medians of 21 files around each file named (the first 21 for the 10th,
  // the last 21 for the last).
  auto around = [&](std::size_t file) {
    const std::size_t from = std::min(file >= 11 ? file - 11 : 0, n >= 21 ? n - 21 : 0);
    return MedianMs(ms, from, from + 21);
  };
  const double early = around(10), late = around(n);
  std::printf(
      "%-8s %s per file, ms: file 10 %.2f, file %zu %.2f (ratio %.2f); files 100 / 500 / 1000: %.2f / %.2f / "
      "%.2f\n",
      phase, clock, early, n, late, early > 0 ? late / early : 0.0, around(100), around(500), around(1000));
}

std::vector<double> CpuSteps(double start, const std::vector<double>& marks) {
  std::vector<double> ms;
  for (double t : marks) {
    ms.push_back(t - start);
    start = t;
  }
  return ms;
}

int Measure(int argc, char** argv) {
  int files = 2000;
  std::string photo = "/usr/share/wallpapers/FallenLeaf/contents/images/2560x1600.jpg";
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--files" && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (a == "--photo" && i + 1 < argc) {
      photo = argv[++i];
    } else if (a == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else {
      std::fprintf(stderr, "usage: scale_bench [--files N] [--photo PHOTO.jpg] [--keep DIR]\n");
      return 2;
    }
  }
  // The probes after files 10, 100 and 1000 need that many, and the late
  // timings some files after the last of them.
  if (files < 1030) files = 1030;
  // Read as the program reads a photo: a device or a FIFO is named and refused.
  const std::vector<std::uint8_t> bytes = tam::ReadWholeFile(photo);
  const fs::path dir = keep.empty() ? tambench::MakeScratch("scale") : fs::path(keep);
  fs::create_directories(dir);
  // One copy in the folder, the rest hard links to it (links cannot cross file systems).
  const fs::path original = dir / "original.jpeg";
  tam::WriteFileAtomic(original.string(), bytes);
  std::vector<std::string> entries;
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "p%05d.jpg", i + 1);
    const fs::path p = dir / name;
    std::error_code ec;
    fs::remove(p, ec);
    fs::create_hard_link(original, p);
    entries.push_back(p.string());
  }
  std::printf("%d hard links of %s (%zu bytes) in %s\n", files, photo.c_str(), bytes.size(), dir.c_str());
  const double list_mib = [&] {
    double b = 0;
    for (const auto& e : entries) b += double(e.capacity() + sizeof e);
    return b / (1024.0 * 1024.0);
  }();

  // ---- Reduction, as the reduce command runs it (not overwriting).
  ResetPeak();
  const long rss0 = StatusKiB("VmRSS");
  std::vector<Clock::time_point> marks;
  std::vector<double> cpu_marks;
  std::vector<long> hwm_at;  // after files 10, 100, 1000, N
  std::vector<double> heap_at;
  const std::set<int> probes{10, 100, 1000, files};
  tam::ConvertOptions options;
  const Clock::time_point reduce_start = Clock::now();
  const double reduce_cpu_start = CpuMs();
  int done = 0;
  std::vector<std::string> written = tam::ReduceEntries(entries, 50, options, [&](int) {
    marks.push_back(Clock::now());
    cpu_marks.push_back(CpuMs());
    if (probes.count(++done)) {
      hwm_at.push_back(StatusKiB("VmHWM"));
      heap_at.push_back(HeapMiB());
    }
    return false;
  });
  const double reduce_s = std::chrono::duration<double>(Clock::now() - reduce_start).count();
  std::printf("reduce   %zu written in %.1f s; RSS at start %.1f MiB (the list: %.2f MiB)\n", written.size(),
              reduce_s, MiB(rss0), list_mib);
  std::printf("reduce   peak RSS after file 10 / 100 / 1000 / %d: %.1f / %.1f / %.1f / %.1f MiB\n", files,
              MiB(hwm_at[0]), MiB(hwm_at[1]), MiB(hwm_at[2]), MiB(hwm_at[3]));
  std::printf("reduce   heap in use after file 10 / 100 / 1000 / %d: %.2f / %.2f / %.2f / %.2f MiB\n", files,
              heap_at[0], heap_at[1], heap_at[2], heap_at[3]);
  PrintTimes("reduce", "wall", Steps(reduce_start, marks));
  PrintTimes("reduce", "CPU ", CpuSteps(reduce_cpu_start, cpu_marks));

  double reduced_bytes = 0;
  for (const auto& w : written) reduced_bytes += double(fs::file_size(w));
  const double reduced_mib = reduced_bytes / (1024.0 * 1024.0);

  // ---- Insertion, as the insert command runs it, built-in engine, no window.
  const double heap_before_insert = HeapMiB();
  ResetPeak();
  const long rss_before_insert = StatusKiB("VmRSS");
  auto server = std::make_unique<tam::pres::BuiltinServer>();
  tam::pres::TPowerPointApplication app(*server);
  tam::pres::TPowerPointPresentation presentation(*server);
  tam::pres::TPowerPointSlide slide(*server);
  tam::pres::ProcessClipboard clipboard;
  marks.clear();
  cpu_marks.clear();
  std::vector<long> insert_hwm_at;
  std::vector<double> insert_heap_at, insert_bytes_at;
  int inserted_so_far = 0;
  double bytes_so_far = 0;
  const Clock::time_point insert_start = Clock::now();
  const double insert_cpu_start = CpuMs();
  const tam::pres::InsertOutcome outcome = tam::pres::InsertSlides(
      {app, presentation, slide, clipboard}, written, {},
      [](const std::string& text, const std::string&) { std::fprintf(stderr, "insert: %s\n", text.c_str()); },
      {},
      [&] {
        marks.push_back(Clock::now());
        cpu_marks.push_back(CpuMs());
        bytes_so_far += double(fs::file_size(written[std::size_t(inserted_so_far)]));
        if (probes.count(++inserted_so_far)) {
          insert_hwm_at.push_back(StatusKiB("VmHWM"));
          insert_heap_at.push_back(HeapMiB() - heap_before_insert);
          insert_bytes_at.push_back(bytes_so_far / (1024.0 * 1024.0));
        }
      });
  const double insert_s = std::chrono::duration<double>(Clock::now() - insert_start).count();
  const double heap_after_insert = HeapMiB();
  const long rss_after_insert = StatusKiB("VmRSS");
  auto made = server->application()->presentations().back();
  // Where the presentation's pictures keep their bytes, each picture once:
  // in memory, or in the presentation's unnamed store file.
  std::set<const tam::pres::Media*> seen;
  double held = 0, stored = 0;
  for (const auto& s : made->data().slides)
    for (const auto& shape : s->shapes)
      if (shape.media && seen.insert(shape.media.get()).second) {
        held += double(shape.media->bytes.size());
        if (shape.media->stored) stored += double(shape.media->stored->size);
      }
  const double held_mib = held / (1024.0 * 1024.0);
  std::printf(
      "insert   %d slides in %.1f s; reduced JPEGs %.2f MiB; the pictures' bytes in memory %.2f MiB, in the "
      "store file %.2f MiB\n",
      outcome.inserted, insert_s, reduced_mib, held_mib, stored / (1024.0 * 1024.0));
  // The heap beyond the pictures' bytes in memory; with a store, the bytes
  // do not go through the heap, and the counts of bytes in the probes below
  // are those the slides would hold without one.
  const double beyond = held > 0 ? reduced_mib : 0.0;
  std::printf(
      "insert   heap grew by %.2f MiB (%.2f x the reduced bytes; %.1f KiB a slide beyond the bytes in "
      "memory)\n",
      heap_after_insert - heap_before_insert, (heap_after_insert - heap_before_insert) / reduced_mib,
      (heap_after_insert - heap_before_insert - beyond) * 1024.0 / std::max(1, outcome.inserted));
  if (held == 0)
    for (double& b : insert_bytes_at) b = 0;
  std::printf(
      "insert   RSS %.1f -> %.1f MiB; peak %.1f MiB; peak after slide 10 / 100 / 1000 / %d: %.1f / %.1f / "
      "%.1f / %.1f MiB\n",
      MiB(rss_before_insert), MiB(rss_after_insert), MiB(StatusKiB("VmHWM")), files, MiB(insert_hwm_at[0]),
      MiB(insert_hwm_at[1]), MiB(insert_hwm_at[2]), MiB(insert_hwm_at[3]));
  std::printf(
      "insert   heap beyond the pictures' bytes in memory after slide 10 / 100 / 1000 / %d: %.2f / %.2f / "
      "%.2f / "
      "%.2f MiB (%.2f KiB a slide from 100 on)\n",
      files, insert_heap_at[0] - insert_bytes_at[0], insert_heap_at[1] - insert_bytes_at[1],
      insert_heap_at[2] - insert_bytes_at[2], insert_heap_at[3] - insert_bytes_at[3],
      ((insert_heap_at[3] - insert_bytes_at[3]) - (insert_heap_at[1] - insert_bytes_at[1])) * 1024.0 /
          (files - 100));
  PrintTimes("insert", "wall", Steps(insert_start, marks));
  PrintTimes("insert", "CPU ", CpuSteps(insert_cpu_start, cpu_marks));

  // ---- Save.
  const double heap_before_save = HeapMiB();
  ResetPeak();
  const long rss_before_save = StatusKiB("VmRSS");
  const fs::path out = dir / "scale.pptx";
  tam::pres::PptxOptions save_options;
  save_options.time = 1767225600;  // fixed, so two builds' packages compare byte for byte
  save_options.title = "scale.pptx";
  const Clock::time_point save_start = Clock::now();
  tam::pres::SavePptx(made->data(), out.string(), save_options);
  const double save_s = std::chrono::duration<double>(Clock::now() - save_start).count();
  const double package_mib = double(fs::file_size(out)) / (1024.0 * 1024.0);
  const long save_peak = StatusKiB("VmHWM");
  std::printf(
      "save     %.2f MiB package in %.2f s; RSS before %.1f MiB, peak during the save %.1f MiB (+%.1f MiB, "
      "%.2f x the package); heap after %.2f MiB (before %.2f)\n",
      package_mib, save_s, MiB(rss_before_save), MiB(save_peak), MiB(save_peak - rss_before_save),
      MiB(save_peak - rss_before_save) / package_mib, HeapMiB(), heap_before_save);

  if (!keep.empty()) {
    // Only the outputs stay.
    std::error_code ec;
    for (const auto& e : entries) fs::remove(e, ec);
    fs::remove(original, ec);
  }
  return outcome.inserted == files ? 0 : 1;
}

}  // namespace

// A photo that cannot be read or converted ends the run with its reason
// (and the scratch folder removed), not with an uncaught exception.
int main(int argc, char** argv) {
  try {
    return Measure(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scale_bench: %s\n", e.what());
    return 1;
  }
}
