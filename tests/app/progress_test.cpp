// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "app/uProgress.h"
#include "support/qtapp.h"

namespace {

class ProgressWindow : public ::testing::Test {
 protected:
  void SetUp() override { tamtest::App(); }
};

TEST_F(ProgressWindow, StartsAtZeroAndResetsTheAbortFlag) {
  AbortRequested = true;
  QWidget owner;
  auto* progress = new TfrmProgress(&owner);
  EXPECT_FALSE(AbortRequested);
  EXPECT_EQ(progress->windowTitle(), QStringLiteral("処理中..."));
  EXPECT_EQ(progress->lblProgress->text(), QStringLiteral("0 %"));
  EXPECT_EQ(progress->pgbarProgress->value(), 0);
  EXPECT_EQ(progress->pgbarProgress->maximum(), 100);
  EXPECT_EQ(progress->Button1->text(), QStringLiteral("中止"));
  EXPECT_EQ(progress->size(), QSize(169, 86));
  EXPECT_TRUE(progress->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(progress->windowFlags() & Qt::WindowCloseButtonHint);
}

// Its texts are in the main window's small design font, not in the larger
// default font of the application.
TEST_F(ProgressWindow, TextsAreInTheOwnersFont) {
  QWidget owner;
  QFont design = QApplication::font();
  design.setPixelSize(QFontInfo(design).pixelSize() - 3);
  owner.setFont(design);
  TfrmProgress progress(&owner);
  EXPECT_EQ(progress.lblProgress->font(), design);
  EXPECT_EQ(progress.Button1->font(), design);
  EXPECT_NE(progress.lblProgress->font(), QApplication::font());
}

TEST_F(ProgressWindow, AbortButtonSetsTheFlagAndShowsItWasTaken) {
  QWidget owner;
  auto* progress = new TfrmProgress(&owner);
  progress->ShowCentred();
  progress->SetProgressText(QStringLiteral("25 %"));
  QTest::mouseClick(progress->Button1, Qt::LeftButton);
  QTest::mouseClick(progress->Button1, Qt::LeftButton);
  EXPECT_TRUE(AbortRequested);
  EXPECT_TRUE(progress->isVisible());
  EXPECT_EQ(progress->lblProgress->text(), QStringLiteral("25 %"));
  EXPECT_FALSE(progress->Button1->isEnabled());

  // The next run's window starts afresh.
  TfrmProgress next(&owner);
  EXPECT_FALSE(AbortRequested);
}

TEST_F(ProgressWindow, SettersShowTheirValuesAtOnce) {
  QWidget owner;
  owner.setGeometry(300, 200, 240, 250);
  owner.show();
  auto* progress = new TfrmProgress(&owner);
  progress->ShowCentred();
  EXPECT_LE(std::abs(progress->frameGeometry().center().x() - owner.frameGeometry().center().x()), 2);
  EXPECT_LE(std::abs(progress->frameGeometry().center().y() - owner.frameGeometry().center().y()), 2);
  progress->SetProgressPosition(52);
  progress->SetProgressText(QStringLiteral("52 %"));
  EXPECT_EQ(progress->pgbarProgress->value(), 52);
  EXPECT_EQ(progress->lblProgress->text(), QStringLiteral("52 %"));
  EXPECT_GE(progress->lblProgress->width(), progress->lblProgress->sizeHint().width());
}

TEST_F(ProgressWindow, ClosingFromTheWindowManagerAsksToStop) {
  QWidget owner;
  auto* progress = new TfrmProgress(&owner);
  progress->ShowCentred();
  progress->close();
  EXPECT_TRUE(AbortRequested);
  EXPECT_TRUE(progress->isVisible());
}

// The window holds the run's only abort control: minimised on its own it
// comes back; minimised with its owner it stays with the owner, and comes
// back when the owner does.
TEST_F(ProgressWindow, MinimisedAloneComesBackWithItsOwnerFollowsIt) {
  const auto minimised_after = [](const QWidget& window, int ms) {
    QTest::qWait(ms);
    return window.isMinimized();
  };
  // Coming back takes the window manager's round trips: up to 5 s on a
  // loaded machine.
  const auto back_within = [](const QWidget& window, int ms) {
    for (int waited = 0; waited < ms && window.isMinimized(); waited += 50) QTest::qWait(50);
    return !window.isMinimized();
  };
  QWidget owner;
  owner.show();
  auto* progress = new TfrmProgress(&owner);
  progress->ShowCentred();
  progress->setWindowState(Qt::WindowMinimized);
  // A window manager may minimise the owner with it (openbox does).
  const bool back = back_within(*progress, 5000);
  if (!owner.isMinimized()) EXPECT_TRUE(back) << "minimised on its own, it stayed away";

  owner.setWindowState(Qt::WindowMinimized);
  progress->setWindowState(Qt::WindowMinimized);
  EXPECT_TRUE(minimised_after(*progress, 1000)) << "it brought itself back while its owner was minimised";

  owner.setWindowState(Qt::WindowNoState);
  EXPECT_TRUE(back_within(*progress, 5000)) << "it stayed away when its owner came back";
}

}  // namespace
