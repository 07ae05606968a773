// SPDX-License-Identifier: MIT
// tamarind2-cli reduce: the reduce command of the window, file by file.
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "cli/shown.h"
#include "picture/convert.h"
#include "picture/entry.h"
#include "picture/error.h"
#include "picture/trash.h"

namespace tamcli {
namespace {

constexpr char kUsage[] =
    "使い方: tamarind2-cli reduce [--quality N] [--overwrite] [--quarter] FILE...\n"
    "\n"
    "JPEG と BMP の写真を 960 x 720 に収まるよう縮小し、JPEG で保存します。\n"
    "書き込んだファイルのパスを 1 行に 1 つ出力します。制御文字を含むパスと\n"
    "' または $' で始まるパスは、'a'$'\\n''b.jpg' のようにシェルの書き方で\n"
    "引用します。\n"
    "\n"
    "  --quality N   JPEG の品質 (0 から 100、既定値 50)\n"
    "  --overwrite   元のファイルに上書きし、元のファイルはごみ箱へ移します\n"
    "                (BMP は同じ名前の .jpg に置き換えます)\n"
    "                書き込む名前にすでにあったファイルもごみ箱へ移し、\n"
    "                そのことを表示します\n"
    "                指定しないときは <名前>_x.jpg に書き込みます\n"
    "  --quarter     JPEG を 480 x 360 に収めます\n"
    "  --help        この説明を表示します\n"
    "  --            これ以降の引数をすべてファイルとして扱います\n"
    "\n"
    "FILE が x.jpg または x.bmp で、そのファイルがなく拡張子のない x があるときは、\n"
    "x を JPEG または BMP として変換します。\n"
    "\n"
    "終了状態: 0 成功、1 処理できないファイルがあった、2 コマンドラインの誤り\n";

void PrintLine(std::FILE* out, std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  for (const std::string_view part : {a, b, c}) {
    if (!part.empty()) std::fwrite(part.data(), 1, part.size(), out);
  }
  std::fputc('\n', out);
}

// One line of the error output, safe whatever names it holds.
void PrintError(std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  std::string line(a);
  line.append(b).append(c);
  PrintLine(stderr, ShownText(line));
}

int UsageError(std::string_view message) {
  PrintError("tamarind2-cli reduce: ", message);
  std::fputs("詳しくは tamarind2-cli reduce --help\n", stderr);
  return kExitUsage;
}

bool ParseQuality(std::string_view text, int& quality) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 100) return false;
  quality = value;
  return true;
}

// A name typed on the command line that reaches no file (missing, a link
// to nowhere, a loop, a folder) is a mistake to report, not a file to skip.
void RequireFile(const std::string& entry) {
  struct stat st;
  if (::stat(entry.c_str(), &st) != 0) {
    throw tam::Error("ファイル " + entry + " を開けません。" + tam::SystemReason(errno));
  }
  if (S_ISDIR(st.st_mode))
    throw tam::Error("ファイル " + entry + " を開けません。" + tam::SystemReason(EISDIR));
}

// The user's trash, noting what it refused. A bitmap replaced by its .jpg
// that the trash refuses stays where it is and the conversion still counts
// as done, but the user asked for it to go and is told that it did not.
class NotingTrash : public tam::Trash {
 public:
  bool MoveToTrash(const std::string& path) override {
    if (trash_.MoveToTrash(path)) {
      moved_.push_back(path);
      return true;
    }
    refused_.push_back("ファイル " + path + " をごみ箱に移せなかったため、そのまま残しました。" +
                       trash_.LastError());
    return false;
  }
  std::string LastError() const override { return trash_.LastError(); }
  // What was refused since the last call.
  std::vector<std::string> TakeRefusals() { return std::exchange(refused_, {}); }
  // What was moved since the last call.
  std::vector<std::string> TakeMoved() { return std::exchange(moved_, {}); }

 private:
  tam::FreedesktopTrash trash_;
  std::vector<std::string> refused_, moved_;
};

// The files of a conversion that went to the trash though the user did not
// name them: what had the output's name (a.jpg beside the converted a.bmp,
// a link there, the file a named link leads to). The converted file itself
// is not told again; a bitmap goes under its own name or, where the file
// system ignores case, another spelling of it.
void TellTrashed(const std::string& entry, const std::string& source, NotingTrash& trash) {
  for (const std::string& moved : trash.TakeMoved()) {
    if (moved.size() == source.size() && ::strncasecmp(moved.c_str(), source.c_str(), moved.size()) == 0)
      continue;
    PrintError(entry, ": 注意: すでにあったファイル ", moved + " をごみ箱に移しました");
  }
}

}  // namespace

int RunReduce(std::span<const std::string_view> args) {
  int quality = 50;
  tam::ConvertOptions options;
  std::vector<std::string> files;
  bool options_end = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    if (options_end || a.empty() || a[0] != '-' || a == "-") {
      files.emplace_back(a);
    } else if (a == "--") {
      options_end = true;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (a == "--overwrite") {
      options.overwrite = true;
    } else if (a == "--quarter") {
      options.quarter = true;
    } else if (a == "--quality" || a.starts_with("--quality=")) {
      std::string_view value;
      if (a == "--quality") {
        if (++i == args.size()) return UsageError("--quality に値がありません");
        value = args[i];
      } else {
        value = a.substr(sizeof "--quality=" - 1);
      }
      if (!ParseQuality(value, quality)) return UsageError("品質は 0 から 100 の整数で指定してください");
    } else {
      return UsageError(std::string("不明なオプションです: ").append(a));
    }
  }
  if (files.empty()) return UsageError("ファイルを指定してください");

  NotingTrash trash;
  options.trash = &trash;
  int failed = 0;
  for (const std::string& entry : files) {
    std::string source_path;
    try {
      std::string written;
      if (const auto source = tam::ChooseConversionSource(entry)) {
        source_path = source->path;
        written = tam::ConvertPicture(source->path, quality, source->kind, options);
      } else {
        RequireFile(entry);
      }
      if (written.empty()) {
        PrintError(entry, ": 変換の対象ではないため、何も書き込みませんでした");
      } else {
        PrintLine(stdout, ShownPath(written));
        std::fflush(stdout);
        for (const std::string& refusal : trash.TakeRefusals()) PrintError(entry, ": 警告: ", refusal);
      }
      TellTrashed(entry, source_path, trash);
    } catch (const std::exception& e) {
      ++failed;
      PrintError(entry, ": ", tam::ErrorText(e));
      trash.TakeRefusals();  // the error says it
      TellTrashed(entry, source_path, trash);
    }
  }
  return failed ? kExitFailed : kExitOk;
}

}  // namespace tamcli
