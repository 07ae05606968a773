// SPDX-License-Identifier: MIT
// Building and saving a presentation of 500 slides from 960 x 720 JPEG files
// with the built-in engine, the way the insert command builds it.
// Reports per-slide times, the file size against the sum of the JPEG sizes,
// and the process's peak resident memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "presentation/builtin_engine.h"
#include "presentation/components.h"
#include "presentation/insertion.h"
#include "presentation/pptx_writer.h"

namespace {

constexpr int kSlides = 500;

struct Fixture {
  std::filesystem::path dir;
  std::vector<std::string> files;
  double jpeg_bytes = 0;

  Fixture() {
    dir = std::filesystem::temp_directory_path() / ("tam-pptx-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    // A handful of distinct photograph-like pictures (smooth shapes, slight
    // sensor noise), each written as JPEG at quality 75 and repeated as separate files.
    std::vector<QByteArray> pictures;
    for (int k = 0; k < 8; ++k) {
      QImage img(960, 720, QImage::Format_RGB32);
      QPainter painter(&img);
      QLinearGradient sky(0, 0, 0, 720);
      sky.setColorAt(0, QColor(40 + k * 20, 90, 200));
      sky.setColorAt(1, QColor(230, 200 - k * 10, 120));
      painter.fillRect(img.rect(), sky);
      for (int c = 0; c < 12; ++c) {
        QRadialGradient g(QPointF(80 * c + 30 * k, 360 + 200 * ((c * 7 + k) % 3 - 1)),
                          60 + 15 * ((c + k) % 5));
        g.setColorAt(0, QColor((c * 40 + k * 30) % 256, (c * 90) % 256, (k * 60 + 50) % 256));
        g.setColorAt(1, Qt::transparent);
        painter.fillRect(img.rect(), g);
      }
      painter.end();
      for (int y = 0; y < 720; ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < 960; ++x) {
          int n = static_cast<int>(((x * 7919u + y * 104729u + k * 31u) * 2654435761u) >> 29) - 4;
          QRgb p = line[x];
          line[x] = qRgb(std::clamp(qRed(p) + n, 0, 255), std::clamp(qGreen(p) + n, 0, 255),
                         std::clamp(qBlue(p) + n, 0, 255));
        }
      }
      QBuffer b;
      b.open(QIODevice::WriteOnly);
      img.save(&b, "JPEG", 75);
      pictures.push_back(b.data());
    }
    for (int i = 0; i < kSlides; ++i) {
      std::string path = (dir / ("IMG_" + std::to_string(i) + ".jpg")).string();
      const QByteArray& bytes = pictures[static_cast<std::size_t>(i) % pictures.size()];
      std::ofstream(path, std::ios::binary).write(bytes.constData(), bytes.size());
      files.push_back(path);
      jpeg_bytes += static_cast<double>(bytes.size());
    }
  }
  ~Fixture() { std::filesystem::remove_all(dir); }
};

Fixture& Files() {
  static Fixture f;
  return f;
}

double PeakMiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

std::shared_ptr<tam::pres::BuiltinPresentation> Build(tam::pres::BuiltinServer& server) {
  tam::pres::TPowerPointApplication app(server);
  tam::pres::TPowerPointPresentation presentation(server);
  tam::pres::TPowerPointSlide slide(server);
  app.SetVisible(true);
  auto p = std::static_pointer_cast<tam::pres::BuiltinPresentation>(app.PresentationsAdd(true));
  presentation.ConnectTo(p);
  tam::pres::ProcessClipboard clipboard;
  for (const std::string& file : Files().files) {
    auto picture = tam::pres::SlidePicture::Load(file, tam::PictureKind::Jpeg);
    tam::pres::AddPictureSlide(presentation, slide, file, picture, clipboard);
  }
  return p;
}

void BM_Build500Slides(benchmark::State& state) {
  Files();
  for (auto _ : state) {
    tam::pres::BuiltinServer server;
    auto p = Build(server);
    benchmark::DoNotOptimize(p->SlideCount());
  }
  state.counters["ms_per_slide"] =
      benchmark::Counter(kSlides * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["peak_MiB"] = PeakMiB();
}

void BM_Save500Slides(benchmark::State& state) {
  tam::pres::BuiltinServer server;
  auto p = Build(server);
  std::string out = (Files().dir / "bench.pptx").string();
  for (auto _ : state) tam::pres::SavePptx(p->data(), out);
  double size = static_cast<double>(std::filesystem::file_size(out));
  state.counters["ms_per_slide"] =
      benchmark::Counter(kSlides * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["file_MB"] = size / 1e6;
  state.counters["jpeg_sum_MB"] = Files().jpeg_bytes / 1e6;
  state.counters["file_over_jpegs_pct"] = 100.0 * (size / Files().jpeg_bytes - 1.0);
  state.counters["peak_MiB"] = PeakMiB();
}

BENCHMARK(BM_Build500Slides)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Save500Slides)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
