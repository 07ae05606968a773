// Tamarind 2: start-up. One main window; the program ends when it closes.
#include <dlfcn.h>
#include <unistd.h>

#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "app/Unit1.h"
#include "app/application.h"
#include "app/commandline.h"
#include "app/seams.h"
#include "picture/fileio.h"

namespace {

std::string WorkingFolder() {
  std::string folder(4096, '\0');
  while (::getcwd(folder.data(), folder.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    folder.resize(folder.size() * 2);
  }
  folder.resize(std::char_traits<char>::length(folder.c_str()));
  return folder;
}

tam::CommandLine Parse(int argc, char** argv) {
  return tam::ParseCommandLine(std::span<const char* const>(argv + (argc > 0 ? 1 : 0), argv + argc),
                               WorkingFolder());
}

// Qt ends the process with an abort when it finds no display to open.
bool HasDisplay(int argc, char** argv) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "-platform" || std::string_view(argv[i]) == "--platform") return true;
  }
  return false;
}

// The X display Qt is about to open, when nothing else is asked for: the
// same abort follows when it names a server that does not answer (one that
// has ended, say). Asked of libxcb, which Qt's X plug-in loads anyway;
// without it, Qt is left to say what it finds.
const char* UnansweredXDisplay(int argc, char** argv) {
  for (const char* name : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return nullptr;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "-platform" || std::string_view(argv[i]) == "--platform") return nullptr;
  }
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return nullptr;
  void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!xcb) return nullptr;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
  const auto has_error = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
  bool answered = true;
  if (connect && has_error && disconnect) {
    // A connection object comes back even on failure, its error set.
    void* connection = connect(display, nullptr);
    answered = connection && has_error(connection) == 0;
    if (connection) disconnect(connection);
  }
  ::dlclose(xcb);
  return answered ? nullptr : display;
}

}  // namespace

int main(int argc, char** argv) {
  // Help and version need no display: answered before Qt looks for one.
  const tam::CommandLine early = Parse(argc, argv);
  if (early.action == tam::CommandLine::Action::kHelp) {
    std::fputs(tam::HelpText().c_str(), stdout);
    return 0;
  }
  if (early.action == tam::CommandLine::Action::kVersion) {
    std::fputs(tam::VersionText().c_str(), stdout);
    return 0;
  }
  if (!HasDisplay(argc, argv)) {
    std::fputs("tamarind2: 画面に接続できません (DISPLAY も WAYLAND_DISPLAY もありません)\n", stderr);
    return 1;
  }
  if (const char* display = UnansweredXDisplay(argc, argv)) {
    std::fprintf(stderr, "tamarind2: 画面 %s に接続できません\n", display);
    return 1;
  }
  // Ended by a signal mid-save, the program leaves no temporary file behind.
  tam::RemoveTempFilesOnSignals();
  tam::TamApplication app(argc, argv);
  // Qt has taken its own options (-platform, -style ...) out of argv by now.
  const tam::CommandLine line = Parse(argc, argv);
  if (line.action != tam::CommandLine::Action::kRun) {
    std::fprintf(stderr, "tamarind2: %s\n\n%s", line.error.c_str(), tam::HelpText().c_str());
    return 2;
  }
  tam::TamApplication::setApplicationName(QString::fromUtf8(tam::kApplicationTitle));
  tam::TamApplication::setDesktopFileName(QStringLiteral("tamarind2"));
  tam::TamApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tamarind2.png")));
  // Everything the user reads is Japanese, the dialogs' own buttons too.
  QTranslator qt_japanese;
  if (qt_japanese.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    tam::TamApplication::installTranslator(&qt_japanese);
  }
  // "Open with": the given items enter the list as one drop of them would.
  const std::unique_ptr<TForm1> Form1 = tam::ShowMainWindow(line.paths);
  return app.exec();
}
