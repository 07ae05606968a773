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

}  // namespace
