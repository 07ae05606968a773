#include "cli/slides.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/shown.h"
#include "picture/error.h"
#include "picture/kind.h"
#include "presentation/builtin_engine.h"
#include "presentation/components.h"
#include "presentation/impress_loader.h"
#include "presentation/insertion.h"
#include "presentation/package_check.h"
#include "presentation/pptx_writer.h"

namespace tamcli {

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

void Usage(std::FILE* out) {
  std::fputs(
      "使い方: tamarind2-cli slides [--engine builtin|impress] -o 出力.pptx ファイル...\n"
      "\n"
      "拡張子が .jpg .JPG .bmp .BMP のファイルを 1 枚ずつスライドにして保存します。\n"
      "ほかのファイルは飛ばします。図の読み込みに失敗すると、そこまでのスライドを保存して 1 を返します。\n"
      "スライドが 1 枚もできないときは何も保存せず 1 を返します。\n"
      "出力.pptx は .pptx で終わる名前にします。写真と同じファイルや、プレゼンテーションでない\n"
      "既存のファイル (リンク先も) は上書きしません。\n"
      "\n"
      "  -o 出力.pptx      保存先 (必須)\n"
      "  --engine builtin  組み込みのエンジンでスライドを作って保存します (既定)\n"
      "  --engine impress  LibreOffice Impress でスライドを作り、Impress で保存します\n"
      "  --help            この説明を表示します\n"
      "  --                これ以降の引数をすべてファイルとして扱います\n"
      "\n"
      "終了状態: 0 成功、1 処理できないファイルがあった、2 コマンドラインの誤り\n",
      out);
}

bool SameFile(const struct stat& a, const std::string& path) {
  struct stat b;
  return ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Why OUT may not be written, checked before anything is read: it must be a
// .pptx name and none of the pictures (a shell's "-o *.jpg" would otherwise
// turn the first photo into a presentation).
const char* RefusedOutput(const std::string& out, const std::vector<std::string>& files) {
  if (out.size() < 5 || ::strcasecmp(out.c_str() + out.size() - 5, ".pptx") != 0) {
    return "出力するファイルの名前は .pptx で終わる必要があります";
  }
  struct stat st;
  if (::stat(out.c_str(), &st) != 0) return nullptr;
  for (const std::string& file : files) {
    if (SameFile(st, file)) return "出力するファイルが写真のファイルと同じです";
  }
  return nullptr;
}

// Why OUT, already there, is not an earlier presentation that a save may
// replace; the save itself would refuse it too, but only once every picture
// was read.
const char* ForeignOutput(const std::string& out) {
  struct stat st;
  if (::lstat(out.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (::stat(out.c_str(), &st) != 0 || tam::pres::IsPresentationFile(out)) return nullptr;
    return "リンク先がプレゼンテーションではないため、上書きしません";
  }
  return tam::pres::IsForeignFile(out) ? "プレゼンテーションではないため、上書きしません" : nullptr;
}

}  // namespace

int RunSlides(std::span<const std::string_view> args) {
  std::string out;
  std::string engine = "builtin";
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
    } else if (options && args[i] == "--engine") {
      if (i + 1 >= args.size() || (args[i + 1] != "builtin" && args[i + 1] != "impress")) {
        Usage(stderr);
        return kUsage;
      }
      engine = args[++i];
    } else if (options && args[i].size() > 1 && args[i][0] == '-') {
      std::cerr << "tamarind2-cli slides: 不明なオプションです: " << ShownText(args[i]) << "\n";
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
  if (const char* why = RefusedOutput(out, files)) {
    std::cerr << "tamarind2-cli slides: " << ShownText(out) << ": " << why << "\n";
    return kUsage;
  }
  // An existing file that is no presentation is somebody's data, not an
  // earlier presentation: it is never replaced, nor written through a link.
  if (const char* why = ForeignOutput(out)) {
    std::cerr << "tamarind2-cli slides: " << ShownText(out) << ": " << why << "\n";
    return kFailed;
  }

  std::unique_ptr<tam::pres::Server> server;
  tam::pres::OfficeServer* office = nullptr;
  if (engine == "impress") {
    std::string why;
    // Headless where there is no display; the office is started with its
    // windows hidden either way and its presentation closed at the end.
    auto impress = tam::pres::LoadImpressServer({}, &why);
    if (!impress) {
      std::cerr << "tamarind2-cli slides: " << ShownText(why) << "\n";
      return kFailed;
    }
    office = impress.get();
    server = std::move(impress);
  } else {
    server = std::make_unique<tam::pres::BuiltinServer>();
  }
  // However the run ends, an office it started is not left behind: its
  // presentation is closed and the office stopped, unless somebody else uses
  // it; one that stopped answering is ended.
  std::shared_ptr<tam::pres::Presentation> made;
  struct OfficeEnd {
    tam::pres::OfficeServer* office;
    std::shared_ptr<tam::pres::Presentation>& made;
    void End() {
      if (!office) return;
      try {
        if (made) office->ClosePresentation(*made);
      } catch (const tam::Error&) {
        // Nothing more can be saved; an office that will not close changes nothing.
      }
      if (office->StartedProcess() != 0) office->TerminateOffice();
      office = nullptr;
    }
    ~OfficeEnd() { End(); }
  } office_end{office, made};
  // One run, as the insert command makes it: the office redraws the new
  // presentation once its slides are in, not after every change.
  struct Run {
    tam::pres::Server* server;
    void End() {
      if (server) server->EndRun();
      server = nullptr;
    }
    ~Run() { End(); }
  } run{server.get()};
  server->BeginRun();
  tam::pres::TPowerPointApplication app(*server);
  tam::pres::TPowerPointPresentation presentation(*server);
  tam::pres::TPowerPointSlide slide(*server);
  // The pictures pass through a clipboard of this process: the user's own stays untouched.
  tam::pres::ProcessClipboard clipboard;
  try {
    app.Connect();
    // The office's window stays hidden: nobody is there to look at it.
    if (!office) app.SetVisible(true);
    made = app.PresentationsAdd(true);
    presentation.ConnectTo(made);
  } catch (const tam::Error& e) {
    std::cerr << "tamarind2-cli slides: " << ShownText(e.what()) << "\n";
    return kFailed;
  }

  // As the insert command does: the first picture that fails ends the run.
  int inserted = 0;
  bool failed = false;
  for (const std::string& file : files) {
    const tam::PictureKind kind = tam::KindOfName(file);
    if (kind == tam::PictureKind::None) {
      std::cerr << "スキップ: " << ShownText(file)
                << " (拡張子が .jpg .JPG .bmp .BMP のどれでもありません)\n";
      continue;
    }
    try {
      // The built-in engine reads each photo again as it writes it, so that a
      // few hundred full-size photos are not all held at once; the office
      // takes its own copy of each picture when it is pasted.
      tam::pres::SlidePicture picture = tam::pres::SlidePicture::Load(
          file, kind, {}, office ? tam::pres::JpegBytes::Held : tam::pres::JpegBytes::ReadWhenSaved);
      tam::pres::AddPictureSlide(presentation, slide, file, std::move(picture), clipboard);
      ++inserted;
    } catch (const tam::Error& e) {
      std::cerr << ShownText(file) << ": " << ShownText(e.what()) << "\n";
      failed = true;
      break;
    }
  }
  slide.Disconnect();
  run.End();

  // A run that made nothing leaves an earlier file of that name as it was.
  if (inserted == 0) {
    std::cerr << "tamarind2-cli slides: スライドが 1 枚もできなかったため、" << ShownText(out)
              << " には何も保存しませんでした\n";
    return kFailed;
  }

  try {
    if (office) {
      office->StorePresentation(*made, out, tam::pres::kPptxFilter);
      office_end.End();
    } else {
      std::static_pointer_cast<tam::pres::BuiltinPresentation>(made)->SaveAs(out);
    }
  } catch (const tam::Error& e) {
    // The office's own words seldom name the file.
    std::cerr << "tamarind2-cli slides: "
              << ShownText((office ? out + " を保存できません: " : std::string()) + e.what()) << "\n";
    return kFailed;
  }
  std::cout << "スライド:" << inserted << "\n";
  return failed ? kFailed : kOk;
}

}  // namespace tamcli
