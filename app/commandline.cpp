// SPDX-License-Identifier: MIT
#include "app/commandline.h"

#include <sys/stat.h>

#include <string_view>

#include "app/Unit1.h"
#include "app/urilist.h"

#ifndef TAM_VERSION
#define TAM_VERSION "unknown"
#endif

namespace tam {
namespace {

// A file manager hands over clean absolute paths; a shell may give "photos/",
// "./a.jpg" or "../b.jpg". Cleaned by text alone, like the shell's own "cd":
// the extension rule then sees the name a drop of the same item would carry.
std::string AbsoluteClean(std::string_view arg, const std::string& cwd) {
  const std::string joined = arg.starts_with('/') ? std::string(arg) : cwd + "/" + std::string(arg);
  std::vector<std::string_view> parts;
  std::string_view rest = joined;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return "/";
  std::string clean;
  for (const std::string_view part : parts) (clean += '/') += part;
  return clean;
}

// A folder, or a link to one; what cannot be looked at is taken as a file.
bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

CommandLine ParseCommandLine(std::span<const char* const> args, const std::string& cwd) {
  CommandLine line;
  bool options_end = false;
  for (const char* raw : args) {
    const std::string_view arg = raw;
    if (!options_end && arg.starts_with('-') && arg.size() > 1) {
      if (arg == "--") {
        options_end = true;
      } else if (arg == "--help" || arg == "-h") {
        return {CommandLine::Action::kHelp, {}, {}};
      } else if (arg == "--version") {
        return {CommandLine::Action::kVersion, {}, {}};
      } else if (line.error.empty()) {
        line.error = "不明なオプションです: " + std::string(arg);
      }
      continue;
    }
    if (arg.empty()) continue;
    // A URI, as some launchers hand over; "file:x.jpg" stays a name.
    if (arg.starts_with("file:/") || arg.starts_with("FILE:/")) {
      for (std::string& path : LocalPathsOfUriList(arg)) line.paths.push_back(std::move(path));
    } else {
      line.paths.push_back(AbsoluteClean(arg, cwd));
    }
  }
  if (!line.error.empty()) {
    line.action = CommandLine::Action::kUsageError;
    line.paths.clear();
  }
  return line;
}

std::unique_ptr<TForm1> ShowMainWindow(const std::vector<std::string>& paths, Seams seams) {
  auto form = std::make_unique<TForm1>(std::move(seams));
  form->setObjectName(QStringLiteral("Form1"));
  form->show();
  form->Dispatch(form.get(), [&] {
    // In the order given: each folder as a folder choice, the files between
    // two folders as one drop of them.
    std::vector<std::string> files;
    const auto drop_files = [&] {
      if (files.empty()) return;
      form->WMDropFiles(files);
      files.clear();
    };
    for (const std::string& path : paths) {
      if (IsFolder(path)) {
        drop_files();
        form->AddFolderPictures(path);
      } else {
        files.push_back(path);
      }
    }
    drop_files();
  });
  return form;
}

std::string HelpText() {
  return "使い方: tamarind2 [オプション] [ファイル|フォルダ]...\n"
         "\n"
         "写真 (JPEG と BMP) をリストに集めて縮小し、1 枚ずつスライドにします。\n"
         "指定したフォルダは「フォルダ選択」と同じく、その中の JPEG と BMP の\n"
         "ファイルをリストに加えます。指定したファイルは、ウィンドウにドロップした\n"
         "ときと同じ規則で起動時のリストに入ります (.jpg .JPG .bmp .BMP と拡張子の\n"
         "ないもの)。\n"
         "\n"
         "オプション:\n"
         "  -h, --help     この説明を表示して終了します\n"
         "      --version  版を表示して終了します\n"
         "      --         これ以降の引数をすべてファイルとして扱います\n"
         "\n"
         "終了状態: 0 正常終了、1 画面に接続できない、2 コマンドラインの誤り\n"
         "詳しくは man tamarind2 を参照してください。\n";
}

std::string VersionText() { return "tamarind2 " TAM_VERSION "\n"; }

}  // namespace tam
