// SPDX-License-Identifier: MIT
#pragma once
// Runs another program to its end and collects what it printed.
#include <QProcess>
#include <QString>
#include <QStringList>

namespace tamtest {

struct Result {
  int code = -1;  // -1: crashed or timed out
  QString out, err;
};

inline Result Exec(const QString& program, const QStringList& args, int timeout_ms = 60000) {
  QProcess p;
  p.start(program, args);
  Result r;
  if (!p.waitForFinished(timeout_ms)) {
    p.kill();
    p.waitForFinished();
    r.err = "timed out";
    return r;
  }
  r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

}  // namespace tamtest
