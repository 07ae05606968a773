// Tamarind 2: start-up. One main window; the program ends when it closes.
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/Unit1.h"
#include "app/application.h"
#include "app/seams.h"
#include "picture/fileio.h"

int main(int argc, char** argv) {
  // Ended by a signal mid-save, the program leaves no temporary file behind.
  tam::RemoveTempFilesOnSignals();
  tam::TamApplication app(argc, argv);
  tam::TamApplication::setApplicationName(QString::fromUtf8(tam::kApplicationTitle));
  tam::TamApplication::setDesktopFileName(QStringLiteral("tamarind2"));
  tam::TamApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tamarind2.png")));
  // Everything the user reads is Japanese, the dialogs' own buttons too.
  QTranslator qt_japanese;
  if (qt_japanese.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    tam::TamApplication::installTranslator(&qt_japanese);
  }
  TForm1 Form1;
  Form1.setObjectName(QStringLiteral("Form1"));
  Form1.show();
  return app.exec();
}
