// tamarind2-cli reduce: the reduce command of the window, file by file.
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"
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
    "  --overwrite   元のファイルに上書きします (BMP はごみ箱へ移し、\n"
    "                同じ名前の .jpg を書き込みます)\n"
    "                上書きされる元のファイルはごみ箱へ移します\n"
    "                指定しないときは <名前>_x.jpg に書き込みます\n"
    "  --quarter     JPEG を 480 x 360 に収めます\n"
    "  --help        この説明を表示します\n"
    "  --            これ以降の引数をすべてファイルとして扱います\n"
    "\n"
    "FILE が x.jpg または x.bmp で、そのファイルがなく拡張子のない x があるときは、\n"
    "x を JPEG または BMP として変換します。\n"
    "\n"
    "終了状態: 0 成功、1 処理できないファイルがあった、2 コマンドラインの誤り\n";

// The length of the printable UTF-8 character at `at`, 0 for a control
// character (C0, DEL, C1) or a byte that starts no valid character.
std::size_t PrintableAt(std::string_view s, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = byte(at);
  if (c >= 0x20 && c < 0x7f) return 1;
  if (c < 0xc2 || c > 0xf4) return 0;
  const std::size_t n = c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
  if (at + n > s.size()) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  }
  const unsigned char c1 = byte(at + 1);
  if ((c == 0xc2 && c1 < 0xa0) || (c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 >= 0xa0) ||
      (c == 0xf0 && c1 < 0x90) || (c == 0xf4 && c1 >= 0x90)) {
    return 0;  // C1 controls, overlong forms, surrogates, past U+10FFFF
  }
  return n;
}

bool AllPrintable(std::string_view s) {
  for (std::size_t at = 0, n; at < s.size(); at += n) {
    if ((n = PrintableAt(s, at)) == 0) return false;
  }
  return true;
}

// A byte that may not reach the terminal as it is, as C and the shell's
// $'...' write it.
void AppendEscape(std::string& out, unsigned char c) {
  static constexpr char kNamed[] = "abtnvfr";  // 7 to 13
  out += '\\';
  if (c >= 7 && c <= 13) {
    out += kNamed[c - 7];
  } else {
    out += static_cast<char>('0' + (c >> 6));
    out += static_cast<char>('0' + ((c >> 3) & 7));
    out += static_cast<char>('0' + (c & 7));
  }
}

// A path for the one-per-line output: as it is, unless it holds a control
// character (a newline would split it, an escape sequence would reach the
// terminal) or bytes that are no UTF-8; it is then quoted as GNU tools and
// the shell do, 'a'$'\n''b.jpg', which a shell reads back as the name. A
// path that starts as a quoted one does is quoted too, so that a line
// starting with ' or $' is always quoted.
std::string ShownPath(std::string_view path) {
  if (AllPrintable(path) && !path.starts_with('\'') && !path.starts_with("$'")) return std::string(path);
  std::string out;
  enum { kNone, kPlain, kEscaped } state = kNone;
  for (std::size_t at = 0; at < path.size();) {
    if (const std::size_t n = PrintableAt(path, at)) {
      if (state != kPlain) out += state == kEscaped ? "''" : "'";
      state = kPlain;
      if (path[at] == '\'') {
        out += "'\\''";
      } else {
        out.append(path, at, n);
      }
      at += n;
    } else {
      if (state != kEscaped) out += state == kPlain ? "'$'" : "$'";
      state = kEscaped;
      AppendEscape(out, static_cast<unsigned char>(path[at++]));
    }
  }
  return out + "'";
}

// A message line whose file names may hold anything: a control character
// or a byte that is no UTF-8 is written as its escape (\n, \033), so the
// message stays one line and nothing in it acts on the terminal.
std::string ShownText(std::string_view text) {
  if (AllPrintable(text)) return std::string(text);
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    if (const std::size_t n = PrintableAt(text, at)) {
      out.append(text, at, n);
      at += n;
    } else {
      AppendEscape(out, static_cast<unsigned char>(text[at++]));
    }
  }
  return out;
}

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
    if (trash_.MoveToTrash(path)) return true;
    refused_.push_back("ファイル " + path + " をごみ箱に移せなかったため、そのまま残しました。" +
                       trash_.LastError());
    return false;
  }
  std::string LastError() const override { return trash_.LastError(); }
  // What was refused since the last call.
  std::vector<std::string> TakeRefusals() { return std::exchange(refused_, {}); }

 private:
  tam::FreedesktopTrash trash_;
  std::vector<std::string> refused_;
};

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
    try {
      std::string written;
      if (const auto source = tam::ChooseConversionSource(entry)) {
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
    } catch (const std::exception& e) {
      ++failed;
      PrintError(entry, ": ", tam::ErrorText(e));
      trash.TakeRefusals();  // the error says it
    }
  }
  return failed ? kExitFailed : kExitOk;
}

}  // namespace tamcli
