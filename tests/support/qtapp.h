// SPDX-License-Identifier: MIT
#pragma once
// The QApplication shared by a test program, created on first use so that
// listing the tests needs no display; offscreen unless a platform is chosen.
// It is deleted after the last test, with whatever awaits deleteLater().
class QApplication;

namespace tamtest {
QApplication& App();
}
