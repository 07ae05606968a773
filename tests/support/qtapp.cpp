// SPDX-License-Identifier: MIT
#include "support/qtapp.h"

#include <gtest/gtest.h>

#include <QApplication>

namespace tamtest {

namespace {

QApplication* app = nullptr;

// After the last test, while the platform plug-in is still loaded: the
// objects handed to deleteLater() are deleted and the application goes with
// them. Left to the end of the process, Qt would delete them from its own exit
// code, after the plug-in is gone, and crash.
class AppTearDown : public ::testing::Environment {
 public:
  void TearDown() override {
    if (!app) return;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete app;
    app = nullptr;
  }
};

::testing::Environment* const app_tear_down = ::testing::AddGlobalTestEnvironment(new AppTearDown);

}  // namespace

QApplication& App() {
  static int argc = 1;
  static char arg0[] = "tamarind2-test";
  static char* argv[] = {arg0, nullptr};
  if (!app) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app = new QApplication(argc, argv);
  }
  return *app;
}

}  // namespace tamtest
