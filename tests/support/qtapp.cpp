#include "support/qtapp.h"

#include <QApplication>

namespace tamtest {

QApplication& App() {
  static int argc = 1;
  static char arg0[] = "tamarind2-test";
  static char* argv[] = {arg0, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace tamtest
