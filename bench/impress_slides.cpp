// SPDX-License-Identifier: MIT
// Time of the Impress engine: the cold start (office started with a fresh
// private profile, connected, new presentation) and the insertion of 100 or
// 500 slides of a 960 x 720 picture, the way the insert command makes them.
// Each slide is timed on its own; the median and the mean are reported.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "presentation/clipboard.h"
#include "presentation/impress_loader.h"

namespace {

// The picture as the program's clipboard hands it to an engine.
tam::pres::ClipboardPicture ClipOf(const QImage& image, const QByteArray& jpeg) {
  tam::pres::ClipboardPicture clip;
  const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
  clip.picture = tam::Picture::Bgr24(bgr.width(), bgr.height());
  for (int y = 0; y < bgr.height(); ++y)
    std::memcpy(clip.picture.row(y), bgr.constScanLine(y), clip.picture.stride());
  clip.jpeg = tam::JpegFile(std::vector<std::uint8_t>(jpeg.constData(), jpeg.constData() + jpeg.size()));
  return clip;
}

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_ImpressColdStartAndSlides(benchmark::State& state) {
  const int slides = static_cast<int>(state.range(0));
  QImage picture(960, 720, QImage::Format_RGB888);
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) picture.setPixel(x, y, qRgb(x % 256, y % 256, (x + y) % 256));
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  buffer.open(QIODevice::WriteOnly);
  picture.save(&buffer, "JPEG", 50);

  for (auto _ : state) {
    char profile[] = "/tmp/tamarind-bench-XXXXXX";
    if (!::mkdtemp(profile)) state.SkipWithError("no temporary folder");
    tam::pres::ImpressOptions options;
    options.plugin = TAM_IMPRESS_PLUGIN;
    options.pipe_name = "tambench_" + std::to_string(::getpid());
    options.user_installation = profile;
    // TAM_IMPRESS_BENCH_WINDOWED=1: with the office's window shown (needs a display).
    const char* windowed = std::getenv("TAM_IMPRESS_BENCH_WINDOWED");
    options.headless = windowed && *windowed == '1' ? tam::pres::ImpressOptions::Headless::kNo
                                                    : tam::pres::ImpressOptions::Headless::kYes;
    std::string why;
    auto server = tam::pres::LoadImpressServer(options, &why);
    if (!server) {
      state.SkipWithError(why.c_str());
      break;
    }
    // One insert run, as the insert command brackets it.
    server->BeginRun();
    const auto t0 = Clock::now();
    auto app = server->ConnectApplication();
    app->SetVisible(true);
    const auto t1 = Clock::now();
    auto presentation = app->AddPresentation(true);
    const auto t2 = Clock::now();
    std::vector<double> each, adds, layouts;  // ms: a whole slide, its AddSlide, its SetLayout
    tam::pres::ProcessClipboard clipboard;
    for (int i = 0; i < slides; ++i) {
      const auto s0 = Clock::now();
      clipboard.Put(ClipOf(picture, jpeg));
      const QString name = QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
      const int count = presentation->SlideCount();
      const auto a0 = Clock::now();
      auto slide = presentation->AddSlide(count + 1, tam::pres::kLayoutTitle);
      adds.push_back(Seconds(Clock::now() - a0) * 1000);
      slide->AppendNotesText(name.toStdString());
      slide->AddTextbox(tam::pres::kOrientationHorizontal, 0, 0, 500, 50);
      slide->SetShapeText(1, name.toStdString());
      slide->SetShapeFontSize(1, 8);
      const auto l0 = Clock::now();
      slide->SetLayout(tam::pres::kLayoutBlank);
      layouts.push_back(Seconds(Clock::now() - l0) * 1000);
      slide->Paste(tam::pres::StoredPicture(clipboard.Take()));
      each.push_back(Seconds(Clock::now() - s0) * 1000);
    }
    const auto e0 = Clock::now();
    server->EndRun();  // the presentation shows its slides again
    const auto t3 = Clock::now();
    state.counters["end_run_s"] = Seconds(t3 - e0);
    state.counters["connect_s"] = Seconds(t1 - t0);
    state.counters["new_presentation_s"] = Seconds(t2 - t1);
    state.counters["cold_start_s"] = Seconds(t2 - t0);
    state.counters["per_slide_mean_ms"] = Seconds(t3 - t2) * 1000 / slides;
    auto median = [](std::vector<double>& v) {
      std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
      return v[v.size() / 2];
    };
    state.counters["per_slide_median_ms"] = median(each);
    state.counters["add_slide_median_ms"] = median(adds);
    state.counters["set_layout_median_ms"] = median(layouts);
    state.counters["total_s"] = Seconds(t3 - t0);
    if (presentation->SlideCount() != slides) state.SkipWithError("wrong slide count");
    // TAM_IMPRESS_BENCH_SAVE=FOLDER: each run's slides stored there as N.pptx, to
    // compare what two builds made.
    if (const char* save = std::getenv("TAM_IMPRESS_BENCH_SAVE"); save && *save)
      server->StorePresentation(*presentation, std::string(save) + "/" + std::to_string(slides) + ".pptx",
                                tam::pres::kPptxFilter);
    const long pid = server->StartedProcess();
    server->ClosePresentation(*presentation);
    server->TerminateOffice();
    if (pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
    std::error_code ignored;  // the office may still be removing its lock file
    std::filesystem::remove_all(profile, ignored);
  }
}
BENCHMARK(BM_ImpressColdStartAndSlides)
    ->Arg(100)
    ->Arg(500)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}
