// SPDX-License-Identifier: MIT
// The batch command of the main window over many copies of one real photo,
// with the built-in engine and its presentation window (offscreen unless a
// platform is chosen): the whole batch, then the insertion alone over the
// reduced copies the batch left, per slide. Peak memory is the process's
// maximum resident set after each.
//
//   batch_bench [benchmark flags] PHOTO.jpg [COUNT]   (COUNT defaults to 200)
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "app/presentation_window.h"
#include "picture/convert.h"
#include "picture/fileio.h"
#include "presentation/builtin_engine.h"

namespace {

namespace fs = std::filesystem;

class CountedMessages : public tam::MessageBoxes {
 public:
  std::vector<QString> shown;
  void Show(QWidget*, const QString& text, const QString&, tam::MessageIcon, const QString&) override {
    shown.push_back(text);
  }
};
class SilentBeeper : public tam::Beeper {
 public:
  int beeps = 0;
  void Beep() override { ++beeps; }
};
class NoDialogs : public tam::FileDialogs {
 public:
  std::optional<std::vector<std::string>> OpenPictures(QWidget*, const QString&) override { return {}; }
  std::optional<std::string> ChooseFolder(QWidget*, const QString&) override { return {}; }
};
class FixedClock : public tam::Clock {
 public:
  QDateTime Now() override { return QDateTime::currentDateTime(); }
};

std::string g_scratch;
std::vector<std::string> g_sources, g_reduced;
std::shared_ptr<tam::pres::BuiltinServer> g_server;
std::unique_ptr<tam::TForm1> g_form;
std::shared_ptr<CountedMessages> g_messages;

double PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

// What the run left: every picture on a slide of the newest presentation.
void Report(benchmark::State& state, double seconds, std::size_t pictures, const char* per) {
  const auto& shows = g_server->application()->presentations();
  const int slides = shows.empty() ? 0 : static_cast<int>(shows.back()->data().slides.size());
  state.counters["slides"] = slides;
  state.counters["peak_MiB"] = PeakMiB();
  state.counters["messages"] = static_cast<double>(g_messages->shown.size());
  state.counters[per] = seconds * 1000 / static_cast<double>(pictures);
  if (slides != static_cast<int>(pictures) || !g_messages->shown.empty()) {
    state.SkipWithError("the run did not insert every picture");
  }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Batch(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    g_form->SetListEntries(g_sources);
    const auto start = std::chrono::steady_clock::now();
    g_form->A1->trigger();
    QCoreApplication::processEvents();  // the presentation window's first paint
    seconds = SecondsSince(start);
  }
  Report(state, seconds, g_sources.size(), "per_photo_ms");
}

void BM_InsertOnly(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    g_form->SetListEntries(g_reduced);
    g_form->PPTP1->setEnabled(true);
    const auto start = std::chrono::steady_clock::now();
    g_form->PPTP1->trigger();
    QCoreApplication::processEvents();
    seconds = SecondsSince(start);
  }
  Report(state, seconds, g_reduced.size(), "per_slide_ms");
}

// The conversions alone, one after the other, as the reduce command would
// call them (no window, no progress, no event loop).
void BM_ConvertLoop(benchmark::State& state) {
  double seconds = 0;
  const tam::ConvertOptions options{false, false, false, nullptr};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& source : g_sources) tam::ConvertPicture(source, 50, tam::skByExtension, options);
    seconds = SecondsSince(start);
  }
  state.counters["per_photo_ms"] = seconds * 1000 / static_cast<double>(g_sources.size());
}

// The reduce command over the same list: the conversions plus the progress
// window and the event pump after each file.
void BM_ReduceRun(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    g_form->SetListEntries(g_sources);
    const auto start = std::chrono::steady_clock::now();
    g_form->S1->trigger();
    seconds = SecondsSince(start);
  }
  state.counters["per_photo_ms"] = seconds * 1000 / static_cast<double>(g_sources.size());
  if (g_form->ListEntries().size() != g_sources.size())
    state.SkipWithError("the run did not reduce every photo");
}

// What the reduce command adds to the conversions, alone: the same number of
// entries naming no file, so that each pass is only the progress window's
// update and the event pump.
void BM_RunOverhead(benchmark::State& state) {
  std::vector<std::string> missing;
  for (const std::string& source : g_sources) missing.push_back(source + ".missing");
  double seconds = 0;
  for (auto _ : state) {
    g_form->SetListEntries(missing);
    const auto start = std::chrono::steady_clock::now();
    g_form->S1->trigger();
    seconds = SecondsSince(start);
  }
  state.counters["per_entry_ms"] = seconds * 1000 / static_cast<double>(missing.size());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: batch_bench [benchmark flags] PHOTO.jpg [COUNT]\n");
    return 2;
  }
  const std::string photo = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 200;
  // Read as the program reads a photo: a FIFO or a device is refused, not copied for ever.
  std::vector<std::uint8_t> bytes;
  try {
    bytes = tam::ReadWholeFile(photo);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "batch_bench: %s\n", e.what());
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qt_argc = 1;
  char arg0[] = "batch_bench";
  char* qt_argv[] = {arg0, nullptr};
  QApplication app(qt_argc, qt_argv);

  char scratch[] = "/tmp/tamarind-batch-XXXXXX";
  if (!mkdtemp(scratch)) return 1;
  g_scratch = scratch;
  try {
    for (int i = 1; i <= count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/IMG_%04d", i);
      tam::WriteFileAtomic(g_scratch + name + ".jpg", bytes);
      g_sources.push_back(g_scratch + name + ".jpg");
      g_reduced.push_back(g_scratch + name + "_x.jpg");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "batch_bench: %s\n", e.what());
    fs::remove_all(g_scratch);
    return 1;
  }

  g_server = std::make_shared<tam::pres::BuiltinServer>(std::make_shared<tam::PresentationWindows>());
  g_messages = std::make_shared<CountedMessages>();
  tam::Seams seams;
  seams.dialogs = std::make_shared<NoDialogs>();
  seams.messages = g_messages;
  seams.beeper = std::make_shared<SilentBeeper>();
  seams.clock = std::make_shared<FixedClock>();
  seams.program_path = g_scratch + "/tamarind2";
  seams.server = g_server;
  g_form = std::make_unique<tam::TForm1>(seams);

  // The reduce command against the bare conversions, interleaved twice.
  for (int round = 0; round < 2; ++round) {
    benchmark::RegisterBenchmark("convert_loop", BM_ConvertLoop)
        ->Iterations(1)
        ->Unit(benchmark::kSecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("reduce_run", BM_ReduceRun)
        ->Iterations(1)
        ->Unit(benchmark::kSecond)
        ->UseRealTime();
  }
  benchmark::RegisterBenchmark("run_overhead", BM_RunOverhead)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("batch", BM_Batch)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
  benchmark::RegisterBenchmark("insert_only", BM_InsertOnly)
      ->Iterations(1)
      ->Unit(benchmark::kSecond)
      ->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  g_form.reset();
  g_server.reset();
  fs::remove_all(g_scratch);
  return 0;
}
