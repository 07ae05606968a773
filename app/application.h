// SPDX-License-Identifier: MIT
#pragma once
// The application object. Every window handler already runs through its
// window's dispatch wrapper; notify() is the last safety net for an error
// that escapes any other event handler, so that it too reaches the hook.
#include <QApplication>
#include <exception>
#include <functional>

namespace tam {

using ExceptionHook = std::function<void(QObject* sender, const std::exception& error)>;

class TamApplication : public QApplication {
 public:
  TamApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // The application-wide hook; owner identifies who installed it. The last
  // hook installed is in force until its owner removes it. Works whatever
  // QApplication is running.
  static void SetExceptionHook(const void* owner, ExceptionHook hook);
  static void ClearExceptionHook(const void* owner);
  // Hands an error to the hook; without a hook it goes to the terminal.
  static void ReportException(QObject* sender, const std::exception& error) noexcept;
};

}  // namespace tam
