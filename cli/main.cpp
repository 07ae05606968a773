// SPDX-License-Identifier: MIT
// tamarind2-cli: the picture pipeline of Tamarind 2 from a shell.
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <span>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "picture/error.h"
#include "picture/fileio.h"
#ifdef TAM_HAVE_SLIDES
#include "cli/slides.h"
#endif

namespace {

struct Command {
  std::string_view name;
  int (*run)(std::span<const std::string_view> args);
  std::string_view summary;
};

// Add a subcommand here.
constexpr Command kCommands[] = {
    {"reduce", tamcli::RunReduce, "写真を縮小して JPEG で保存します"},
#ifdef TAM_HAVE_SLIDES
    {"slides", tamcli::RunSlides, "写真を 1 枚ずつスライドにして .pptx に保存します"},
#endif
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "使い方: tamarind2-cli <コマンド> [オプション] ...\n\nコマンド:\n");
  for (const Command& c : kCommands) {
    std::fprintf(out, "  %-10.*s %.*s\n", static_cast<int>(c.name.size()), c.name.data(),
                 static_cast<int>(c.summary.size()), c.summary.data());
  }
  std::fprintf(out,
               "\n各コマンドの説明: tamarind2-cli <コマンド> --help\n"
               "終了状態: 0 成功、1 処理できないファイルがあった、2 コマンドラインの誤り\n"
               "詳しくは man tamarind2-cli を参照してください。\n");
}

// What was printed must have arrived: a full disk or a closed pipe behind
// stdout fails the run, never in silence.
int CheckedOutput(int status) {
  errno = 0;
  std::cout.flush();
  const bool flushed = std::fflush(stdout) == 0;
  const int err = errno;
  if (flushed && !std::ferror(stdout) && std::cout.good()) return status;
  std::fprintf(stderr, "tamarind2-cli: 標準出力に書き込めません。%s\n",
               err ? tam::SystemReason(err).c_str() : "");
  return status == tamcli::kExitOk ? tamcli::kExitFailed : status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (args.empty()) {
    PrintUsage(stderr);
    return tamcli::kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintUsage(stdout);
    return CheckedOutput(tamcli::kExitOk);
  }
  for (const Command& c : kCommands) {
    if (c.name == args[0]) {
      tam::RemoveTempFilesOnSignals();
      return CheckedOutput(c.run(std::span(args).subspan(1)));
    }
  }
  std::fprintf(stderr, "tamarind2-cli: 不明なコマンドです: %.*s\n\n", static_cast<int>(args[0].size()),
               args[0].data());
  PrintUsage(stderr);
  return tamcli::kExitUsage;
}
