// SPDX-License-Identifier: MIT
#include "cli/slides.h"

#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cli/shown.h"
#include "picture/error.h"
#include "picture/fileio.h"
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

struct SlidesRequest {
  std::string out;
  std::string engine = "builtin";
  std::vector<std::string> files;
};

// Reads the command line into request; the exit status when the command
// ends there (help, or a mistake).
std::optional<int> ParseSlides(std::span<const std::string_view> args, SlidesRequest& request) {
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (options && args[i] == "--") {
      options = false;
    } else if (options && (args[i] == "-h" || args[i] == "--help")) {
      Usage(stdout);
      return kOk;
    } else if (options && args[i] == "-o") {
      if (i + 1 >= args.size() || !request.out.empty()) {
        Usage(stderr);
        return kUsage;
      }
      request.out = args[++i];
    } else if (options && args[i] == "--engine") {
      if (i + 1 >= args.size() || (args[i + 1] != "builtin" && args[i + 1] != "impress")) {
        Usage(stderr);
        return kUsage;
      }
      request.engine = args[++i];
    } else if (options && args[i].size() > 1 && args[i][0] == '-') {
      std::cerr << "tamarind2-cli slides: 不明なオプションです: " << ShownText(args[i]) << "\n";
      Usage(stderr);
      return kUsage;
    } else {
      request.files.emplace_back(args[i]);
    }
  }
  if (request.out.empty() || request.files.empty()) {
    Usage(stderr);
    return kUsage;
  }
  return std::nullopt;
}

// The engine that makes the slides; office is set for Impress.
struct Engine {
  std::unique_ptr<tam::pres::Server> server;
  tam::pres::OfficeServer* office = nullptr;
};

// Loads the chosen engine; the exit status when it cannot be used.
std::optional<int> LoadEngine(const SlidesRequest& request, Engine& engine) {
  if (request.engine == "impress") {
    std::string why;
    // An office of this run's own, headless where there is no display and
    // with its windows hidden either way: no other office is attached to,
    // nobody attaches to this one, and it goes with the run however that ends.
    tam::pres::ImpressOptions options;
    options.private_office = true;
    auto impress = tam::pres::LoadImpressServer(options, &why);
    if (!impress) {
      std::cerr << "tamarind2-cli slides: " << ShownText(why) << "\n";
      return kFailed;
    }
    engine.office = impress.get();
    engine.server = std::move(impress);
    return std::nullopt;
  }
  engine.server = std::make_unique<tam::pres::BuiltinServer>();
  return std::nullopt;
}

struct Made {
  int inserted = 0;
  bool failed = false;
};

// Makes one slide per picture in presentation, as the insert command does:
// the first picture that fails ends the run.
Made MakeSlides(const SlidesRequest& request, const Engine& engine,
                tam::pres::TPowerPointPresentation& presentation) {
  // One run, as the insert command makes it: the office redraws the new
  // presentation once its slides are in, not after every change.
  struct Run {
    tam::pres::Server* server;
    ~Run() { server->EndRun(); }
  } run{engine.server.get()};
  engine.server->BeginRun();
  tam::pres::TPowerPointSlide slide(*engine.server);
  // The pictures pass through a clipboard of this process: the user's own stays untouched.
  tam::pres::ProcessClipboard clipboard;
  Made made;
  for (const std::string& file : request.files) {
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
          file, kind, {}, engine.office ? tam::pres::JpegBytes::Held : tam::pres::JpegBytes::ReadWhenSaved);
      tam::pres::AddPictureSlide(presentation, slide, file, std::move(picture), clipboard);
      ++made.inserted;
    } catch (const tam::Error& e) {
      std::cerr << ShownText(file) << ": " << ShownText(e.what()) << "\n";
      made.failed = true;
      break;
    }
  }
  slide.Disconnect();
  return made;
}

// Copies the whole file at from into fd.
void CopyInto(const std::string& from, tam::SafeFileWriter& out) {
  const tam::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) out.FailWrite(errno);
  for (;;) {
    const ssize_t n = ::copy_file_range(in.get(), nullptr, out.fd(), nullptr, std::size_t{1} << 30, 0);
    if (n == 0) return;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) out.FailWrite(errno);
    break;
  }
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n == 0) return;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) out.FailWrite(errno);
    out.Write({buffer.data(), static_cast<std::size_t>(n)});
  }
}

// The office writes into a folder of this run's own beside OUT (its lock
// and temporary files with it); OUT takes the finished file's content only
// once the save is complete, as the built-in engine's save does. A run that
// ends before leaves OUT as it was and, however it ends, nothing beside it:
// the office's watch removes the folder should this program be killed.
void StoreThroughOffice(tam::pres::OfficeServer& office, tam::pres::Presentation& made,
                        const std::string& out) {
  tam::SafeFileWriter writer(out);
  const auto check_link_target = [&](const std::string& target) {
    if (writer.through_link() && !tam::pres::IsPresentationFile(target))
      throw tam::Error("リンク先がプレゼンテーションではないため、上書きしません");
    if (tam::pres::IsForeignFile(target)) throw tam::Error("プレゼンテーションではないため、上書きしません");
  };
  if (writer.replaces()) check_link_target(writer.target());
  const std::size_t slash = out.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
  char real[PATH_MAX];
  if (!::realpath(folder.c_str(), real)) throw tam::Error(tam::SystemReason(errno));
  // Named to the office's watch before it is made: a run killed in between
  // leaves nothing behind.
  std::string scratch;
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    scratch = std::string(real) + (real[1] ? "/" : "") + ".tamarind2-save-" + std::to_string(random());
    office.WatchFolder(scratch, true);
    if (::mkdir(scratch.c_str(), 0700) == 0) break;
    const int err = errno;
    office.WatchFolder(scratch, false);
    if (err != EEXIST || attempt == 100) throw tam::Error(tam::SystemReason(err));
  }
  struct Scratch {
    tam::pres::OfficeServer& office;
    const std::string& path;
    ~Scratch() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
      office.WatchFolder(path, false);
    }
  } remove_scratch{office, scratch};
  const std::string stored = scratch + "/" + out.substr(slash == std::string::npos ? 0 : slash + 1);
  office.StorePresentation(made, stored, tam::pres::kPptxFilter);
  CopyInto(stored, writer);
  writer.Commit(check_link_target);
}

// However the run ends, the office it started is not left behind: its
// presentation is closed and the office stopped (killed, the office's watch
// does it); one that stopped answering is ended.
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
};

}  // namespace

int RunSlides(std::span<const std::string_view> args) {
  SlidesRequest request;
  if (const std::optional<int> done = ParseSlides(args, request)) return *done;
  const std::string& out = request.out;
  if (const char* why = RefusedOutput(out, request.files)) {
    std::cerr << "tamarind2-cli slides: " << ShownText(out) << ": " << why << "\n";
    return kUsage;
  }
  // An existing file that is no presentation is somebody's data, not an
  // earlier presentation: it is never replaced, nor written through a link.
  if (const char* why = ForeignOutput(out)) {
    std::cerr << "tamarind2-cli slides: " << ShownText(out) << ": " << why << "\n";
    return kFailed;
  }
  Engine engine;
  if (const std::optional<int> failed = LoadEngine(request, engine)) return *failed;

  std::shared_ptr<tam::pres::Presentation> made;
  OfficeEnd office_end{engine.office, made};
  tam::pres::TPowerPointApplication app(*engine.server);
  tam::pres::TPowerPointPresentation presentation(*engine.server);
  try {
    app.Connect();
    // The office's window stays hidden: nobody is there to look at it.
    if (!engine.office) app.SetVisible(true);
    made = app.PresentationsAdd(true);
    presentation.ConnectTo(made);
  } catch (const tam::Error& e) {
    std::cerr << "tamarind2-cli slides: " << ShownText(e.what()) << "\n";
    return kFailed;
  }
  const Made result = MakeSlides(request, engine, presentation);

  // A run that made nothing leaves an earlier file of that name as it was.
  if (result.inserted == 0) {
    std::cerr << "tamarind2-cli slides: スライドが 1 枚もできなかったため、" << ShownText(out)
              << " には何も保存しませんでした\n";
    return kFailed;
  }
  try {
    if (engine.office) {
      StoreThroughOffice(*engine.office, *made, out);
      office_end.End();
    } else {
      std::static_pointer_cast<tam::pres::BuiltinPresentation>(made)->SaveAs(out);
    }
  } catch (const tam::Error& e) {
    // The office's own words seldom name the file.
    std::cerr << "tamarind2-cli slides: "
              << ShownText((engine.office ? out + " を保存できません: " : std::string()) + e.what()) << "\n";
    return kFailed;
  }
  std::cout << "スライド:" << result.inserted << "\n";
  return result.failed ? kFailed : kOk;
}

}  // namespace tamcli
