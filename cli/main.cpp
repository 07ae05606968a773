// tamarind2-cli: the library operations of Tamarind 2 from a shell.
#include <cstdio>
#include <span>
#include <string_view>
#include <vector>

#ifdef TAM_HAVE_SLIDES
#include "cli/slides.h"
#endif

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
#ifdef TAM_HAVE_SLIDES
  if (!args.empty() && args[0] == "slides") return tamcli::RunSlides(std::span(args).subspan(1));
#endif
  std::fprintf(stderr, "使い方: tamarind2-cli slides -o 出力.pptx ファイル...\n");
  return 2;
}
