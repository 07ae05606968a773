#include "cli/slides.h"

#include <QGuiApplication>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "picture/error.h"
#include "presentation/builtin_engine.h"
#include "presentation/components.h"
#include "presentation/insertion.h"

namespace tamcli {

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

void Usage(std::FILE* out) {
  std::fprintf(out,
               "使い方: tamarind2-cli slides -o 出力.pptx ファイル...\n"
               "  拡張子が .jpg .JPG .bmp .BMP のファイルを 1 枚ずつスライドにして保存します。\n"
               "  ほかのファイルは飛ばします。図の読み込みに失敗すると、そこまでのスライドを保存して 1 "
               "を返します。\n");
}

// The clipboard needs a GUI application object; an offscreen one keeps the
// user's own clipboard untouched.
std::unique_ptr<QGuiApplication> GuiApplication() {
  if (QCoreApplication::instance()) return nullptr;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char arg0[] = "tamarind2-cli";
  static char* argv[] = {arg0, nullptr};
  return std::make_unique<QGuiApplication>(argc, argv);
}

}  // namespace

int RunSlides(std::span<const std::string_view> args) {
  std::string out;
  std::vector<std::string> files;
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (options && args[i] == "--") {
      options = false;
    } else if (options && (args[i] == "-h" || args[i] == "--help")) {
      Usage(stdout);
      return kOk;
    } else if (options && args[i] == "-o") {
      if (i + 1 >= args.size() || !out.empty()) {
        Usage(stderr);
        return kUsage;
      }
      out = args[++i];
    } else if (options && args[i].size() > 1 && args[i][0] == '-') {
      std::cerr << "tamarind2-cli slides: 不明なオプションです: " << args[i] << "\n";
      Usage(stderr);
      return kUsage;
    } else {
      files.emplace_back(args[i]);
    }
  }
  if (out.empty() || files.empty()) {
    Usage(stderr);
    return kUsage;
  }

  auto gui = GuiApplication();
  tam::pres::BuiltinServer server(/*windows=*/false);
  tam::pres::TPowerPointApplication app(server);
  tam::pres::TPowerPointPresentation presentation(server);
  tam::pres::TPowerPointSlide slide(server);
  std::shared_ptr<tam::pres::BuiltinPresentation> built;
  try {
    app.Connect();
    app.SetVisible(true);
    built = std::static_pointer_cast<tam::pres::BuiltinPresentation>(app.PresentationsAdd(true));
    presentation.ConnectTo(built);
  } catch (const tam::Error& e) {
    std::cerr << "tamarind2-cli slides: " << e.what() << "\n";
    return kFailed;
  }

  // As the insert command does: the first picture that fails ends the run.
  int inserted = 0;
  bool failed = false;
  for (const std::string& file : files) {
    tam::pres::PictureKind kind = tam::pres::ClassifyPicture(file);
    if (kind == tam::pres::PictureKind::None) {
      std::cerr << "スキップ: " << file << " (拡張子が .jpg .JPG .bmp .BMP のどれでもありません)\n";
      continue;
    }
    try {
      tam::pres::SlidePicture picture = tam::pres::SlidePicture::Load(file, kind);
      tam::pres::AddPictureSlide(presentation, slide, file, picture);
      ++inserted;
    } catch (const tam::Error& e) {
      std::cerr << file << ": " << e.what() << "\n";
      failed = true;
      break;
    }
  }
  slide.Disconnect();

  try {
    built->SaveAs(out);
  } catch (const tam::Error& e) {
    std::cerr << "tamarind2-cli slides: " << e.what() << "\n";
    return kFailed;
  }
  std::cout << "スライド:" << inserted << "\n";
  return failed ? kFailed : kOk;
}

}  // namespace tamcli
