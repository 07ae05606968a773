// Tamarind 2: start-up. One main window; the program ends when it closes.
#include "app/Unit1.h"
#include "app/application.h"
#include "app/seams.h"

int main(int argc, char** argv) {
  tam::TamApplication app(argc, argv);
  tam::TamApplication::setApplicationName(QString::fromUtf8(tam::kApplicationTitle));
  tam::TamApplication::setDesktopFileName(QStringLiteral("tamarind2"));
  tam::TamApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tamarind2")));
  TForm1 Form1;
  Form1.show();
  return app.exec();
}
