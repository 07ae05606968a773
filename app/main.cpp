// SPDX-License-Identifier: MIT
// Tamarind 2: start-up. One main window; the program ends when it closes.
#include <unistd.h>

#include <QIcon>
#include <QLibraryInfo>
#include <QScreen>
#include <QTranslator>
#include <QtGlobal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

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

// Qt ends the process with an abort when its platform plug-in cannot start:
// no display, one whose server does not answer, a platform asked for
// (QT_QPA_PLATFORM, -platform) that is not there. While the application
// starts, such a failure ends the program with a message of its own and
// exit status 1; what Qt said before it is kept back, and passed on as
// usual once the start has succeeded.
QtMessageHandler g_qt_messages = nullptr;
struct HeldMessage {
  QtMsgType type;
  QByteArray category;
  QString text;
};
std::vector<HeldMessage> g_held;

void DuringStart(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    g_held.push_back({type, context.category, message});
    return;
  }
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) display = std::getenv("WAYLAND_DISPLAY");
  if (display && *display) {
    std::fprintf(stderr, "tamarind2: 画面 %s に接続できません\n", display);
  } else {
    std::fputs("tamarind2: 画面に接続できません (DISPLAY も WAYLAND_DISPLAY もありません)\n", stderr);
  }
  std::fflush(stderr);
  std::_Exit(1);
}

// Passes on what Qt said during the start, and its later messages as usual.
void Started() {
  qInstallMessageHandler(g_qt_messages);
  for (const HeldMessage& held : g_held) {
    const QMessageLogContext context(nullptr, 0, nullptr,
                                     held.category.isEmpty() ? nullptr : held.category.constData());
    g_qt_messages(held.type, context, held.text);
  }
  g_held.clear();
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
  // Ended by a signal mid-save, the program leaves no temporary file behind.
  tam::RemoveTempFilesOnSignals();
  g_qt_messages = qInstallMessageHandler(DuringStart);
  tam::TamApplication app(argc, argv);
  Started();
  // A plug-in may start with no screen at all (linuxfb without a frame
  // buffer); Qt would abort at the first window.
  if (tam::TamApplication::primaryScreen() == nullptr) {
    std::fprintf(stderr, "tamarind2: 表示できる画面がありません (%s)\n",
                 tam::TamApplication::platformName().toLocal8Bit().constData());
    return 1;
  }
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
