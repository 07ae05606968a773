// SPDX-License-Identifier: MIT
#include "app/application.h"

#include <cstdio>
#include <vector>

#include "picture/error.h"

namespace tam {
namespace {

struct InstalledHook {
  const void* owner = nullptr;
  ExceptionHook hook;
};

// The last one installed is in force; removing it brings back the one before.
std::vector<InstalledHook>& Installed() {
  static std::vector<InstalledHook> installed;
  return installed;
}

}  // namespace

TamApplication::TamApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TamApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ReportException(receiver, error);
  } catch (...) {
    ReportException(receiver, Error("不明なエラーが発生しました"));
  }
  return false;
}

void TamApplication::SetExceptionHook(const void* owner, ExceptionHook hook) {
  ClearExceptionHook(owner);
  Installed().push_back({owner, std::move(hook)});
}

void TamApplication::ClearExceptionHook(const void* owner) {
  std::erase_if(Installed(), [owner](const InstalledHook& h) { return h.owner == owner; });
}

void TamApplication::ReportException(QObject* sender, const std::exception& error) noexcept {
  try {
    // A copy, so that a hook that replaces itself stays alive while it runs.
    const ExceptionHook hook = Installed().empty() ? ExceptionHook() : Installed().back().hook;
    if (hook) {
      hook(sender, error);
      return;
    }
  } catch (...) {
  }
  std::fprintf(stderr, "tamarind2: %s\n", error.what());
}

}  // namespace tam
