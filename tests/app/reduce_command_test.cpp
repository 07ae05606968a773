// SPDX-License-Identifier: MIT
// The reduce command on the main window, with real picture files.
#include <gtest/gtest.h>

#include <QAction>
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "app/Unit1.h"
#include "app/uProgress.h"
#include "app_fakes.h"
#include "picture/jpeg.h"
#include "picture/trash.h"
#include "support/qtapp.h"
#include "support/testdata.h"

namespace tam {
namespace {

constexpr std::array<std::uint8_t, 2> kDqt = {0xFF, 0xDB};

// Watches every pass of the event loop during a run: what the progress
// window shows then, and whether the main window takes input.
class RunWatcher {
 public:
  explicit RunWatcher(TForm1& form) : form_(form) {
    timer_.setInterval(0);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start();
  }
  std::vector<QString> texts;        // the progress text at each pass
  std::vector<int> positions;        // the bar at each pass
  bool main_window_enabled = false;  // seen enabled during any pass
  QString click_abort_at_text;       // click the abort button once the text reads this
  int close_at_pass = -1;            // the window manager closes the window, the program is told to quit
  bool close_accepted = false;

 private:
  void Look() {
    auto* progress = form_.findChild<TfrmProgress*>();
    if (!progress || !progress->isVisible()) return;
    texts.push_back(progress->lblProgress->text());
    positions.push_back(progress->pgbarProgress->value());
    if (form_.isEnabled()) main_window_enabled = true;
    if (!click_abort_at_text.isEmpty() && texts.back() == click_abort_at_text) {
      click_abort_at_text.clear();
      QTest::mouseClick(progress->Button1, Qt::LeftButton);
    }
    if (static_cast<int>(texts.size()) - 1 == close_at_pass) {
      QCloseEvent close;
      QCoreApplication::sendEvent(form_.windowHandle(), &close);
      close_accepted = close.isAccepted();
      QEvent quit(QEvent::Quit);
      QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
    }
  }
  TForm1& form_;
  QTimer timer_;
};

class ReduceCommand : public ::testing::Test {
 protected:
  ReduceCommand() {
    tamtest::App();
    form = std::make_unique<TForm1>(fakes.Seams(dir / "tamarind2"));
  }

  // A small real JPEG file.
  std::string MakeJpeg(const std::string& name, int width = 40, int height = 30) {
    Picture p = Picture::Bgr24(width, height);
    for (std::size_t i = 0; i < p.pixels().size(); ++i) p.pixels()[i] = static_cast<std::uint8_t>(i * 7);
    const std::string path = dir / name;
    tamtest::WriteBytes(path, EncodeJpeg(p, 75, false));
    return path;
  }
  std::string MakeBmp(const std::string& name) {
    // 2 x 1, 24 bits: one blue and one red pixel.
    std::vector<std::uint8_t> bmp = {'B', 'M', 62, 0, 0, 0, 0,   0, 0, 0, 54, 0,   0,  0, 40, 0,
                                     0,   0,   2,  0, 0, 0, 1,   0, 0, 0, 1,  0,   24, 0, 0,  0,
                                     0,   0,   8,  0, 0, 0, 0,   0, 0, 0, 0,  0,   0,  0, 0,  0,
                                     0,   0,   0,  0, 0, 0, 255, 0, 0, 0, 0,  255, 0,  0};
    const std::string path = dir / name;
    tamtest::WriteBytes(path, bmp);
    return path;
  }
  std::string ReadLog() {
    std::ifstream in(dir / "tamarind2.log", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  tamtest::TempDir dir;
  tamtest::CommandFakes fakes;
  std::shared_ptr<tamtest::FakeMessages> messages = fakes.messages;
  std::shared_ptr<tamtest::FakeBeeper> beeper = fakes.beeper;
  std::shared_ptr<tamtest::RecordingTrash> trash = fakes.trash;
  std::unique_ptr<TForm1> form;
};

TEST_F(ReduceCommand, EmptyListDoesNothing) {
  RunWatcher watch(*form);
  form->S1->trigger();
  EXPECT_TRUE(watch.texts.empty());
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:0"));
  EXPECT_FALSE(form->PPTP1->isEnabled());
  EXPECT_TRUE(messages->shown.empty());
}

TEST_F(ReduceCommand, OneEntryIsReplacedByItsReducedCopy) {
  form->SetListEntries({MakeJpeg("a.jpg")});
  RunWatcher watch(*form);
  form->S1->trigger();
  EXPECT_EQ(form->ListEntries(), std::vector<std::string>{dir / "a_x.jpg"});
  EXPECT_TRUE(tamtest::Exists(dir / "a_x.jpg"));
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:1"));
  EXPECT_TRUE(form->PPTP1->isEnabled());
  EXPECT_TRUE(form->isEnabled());
  ASSERT_FALSE(watch.texts.empty());
  EXPECT_EQ(watch.texts.front(), QStringLiteral("0 %"));
  EXPECT_EQ(watch.positions.back(), 0);
  EXPECT_FALSE(watch.main_window_enabled) << "the main window took input during the run";
  EXPECT_TRUE(messages->shown.empty());
}

TEST_F(ReduceCommand, FourEntriesShowQuartersAndNeverAHundred) {
  std::vector<std::string> entries;
  for (const char* name : {"1.jpg", "2.jpg", "3.jpg", "4.jpg"}) entries.push_back(MakeJpeg(name));
  form->SetListEntries(entries);
  RunWatcher watch(*form);
  form->S1->trigger();
  std::vector<QString> distinct;
  for (const QString& t : watch.texts)
    if (distinct.empty() || distinct.back() != t) distinct.push_back(t);
  EXPECT_EQ(distinct, (std::vector<QString>{"0 %", "25 %", "50 %", "75 %"}));
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:4"));
}

TEST_F(ReduceCommand, AHundredEntriesShowTheRoundedShares) {
  const std::string source = MakeJpeg("p.jpg", 8, 8);
  // The same file a hundred times: each conversion writes p_x.jpg again.
  form->SetListEntries(std::vector<std::string>(100, source));
  std::vector<QString> after;  // the text after each entry
  QTimer timer;
  timer.setInterval(0);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (auto* progress = form->findChild<TfrmProgress*>()) {
      if (progress->isVisible()) after.push_back(progress->lblProgress->text());
    }
  });
  timer.start();
  form->S1->trigger();
  ASSERT_GE(after.size(), 100u);
  // Each pass records once: the texts seen in order, one per entry.
  std::vector<QString> per_entry;
  for (const QString& t : after)
    if (per_entry.empty() || per_entry.back() != t) per_entry.push_back(t);
  // After entry 53 the share shows 52 % and after 59 it shows 58 %: the
  // rounded quotient falls just short, so 53 % and 59 % never appear.
  auto seen = [&](const char* text) {
    return std::find(per_entry.begin(), per_entry.end(), QString::fromUtf8(text)) != per_entry.end();
  };
  EXPECT_TRUE(seen("52 %"));
  EXPECT_TRUE(seen("58 %"));
  EXPECT_FALSE(seen("53 %"));
  EXPECT_FALSE(seen("59 %"));
  EXPECT_FALSE(seen("100 %"));
  EXPECT_EQ(per_entry.front(), QStringLiteral("0 %"));
  EXPECT_EQ(per_entry.back(), QStringLiteral("99 %"));
  EXPECT_EQ(form->ListEntries().size(), 100u);
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:100"));
}

TEST_F(ReduceCommand, EntryChoiceExtensionlessMissingAndDuplicates) {
  MakeJpeg("noext");  // listed as noext.jpg
  MakeBmp("bare");
  MakeJpeg("d");  // listed as d.JPG: exact case only
  const std::string twice = MakeJpeg("t.jpg");
  form->SetListEntries(
      {dir / "noext.jpg", dir / "bare.bmp", dir / "d.JPG", dir / "missing.jpg", twice, twice, dir / "noext"});
  form->S1->trigger();
  EXPECT_EQ(form->ListEntries(), (std::vector<std::string>{dir / "noext_x.jpg", dir / "bare_x.jpg",
                                                           dir / "t_x.jpg", dir / "t_x.jpg"}));
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:4"));
  EXPECT_FALSE(tamtest::Exists(dir / "d_x.jpg"));
}

TEST_F(ReduceCommand, AbortDuringTheThirdOfTen) {
  std::vector<std::string> entries;
  for (int i = 0; i < 10; ++i) entries.push_back(MakeJpeg("f" + std::to_string(i) + ".jpg"));
  form->SetListEntries(entries);
  RunWatcher watch(*form);
  watch.click_abort_at_text = QStringLiteral("20 %");  // shown after the third file
  form->S1->trigger();
  EXPECT_TRUE(AbortRequested);
  ASSERT_EQ(form->ListEntries().size(), 3u);
  EXPECT_EQ(form->ListEntries()[2], dir / "f2_x.jpg");
  EXPECT_FALSE(tamtest::Exists(dir / "f3_x.jpg"));
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:3"));
  EXPECT_TRUE(form->PPTP1->isEnabled());
  EXPECT_TRUE(form->isEnabled());

  // The next run starts with the flag cleared and goes through.
  form->SetListEntries({entries[5], entries[6]});
  form->S1->trigger();
  EXPECT_EQ(form->ListEntries().size(), 2u);
}

// A trash that holds the conversion of the first file it is handed, in the
// middle of that file (the source is moved away just before the new file
// takes its name), until the test lets it go.
class HoldingTrash : public Trash {
 public:
  std::vector<std::string> moved;  // read once the run is over
  bool MoveToTrash(const std::string& path) override {
    std::unique_lock lock(mutex_);
    moved.push_back(path);
    if (moved.size() == 1) {
      held_ = true;
      // A run that holds up the windows' thread would wait for ever: the
      // time limit only ends such a run, the test has failed by then.
      changed_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
      held_ = false;
    }
    return true;
  }
  bool Held() {
    const std::lock_guard lock(mutex_);
    return held_;
  }
  void Release() {
    {
      const std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// While one file converts, the windows' thread keeps running its events: a
// timer fires, the progress window takes the abort click; the run stops
// once that file is written, the next one untouched.
TEST_F(ReduceCommand, TheWindowsRespondWhileAFileConverts) {
  auto holding = std::make_shared<HoldingTrash>();
  Seams seams = fakes.Seams(dir / "tamarind2");
  seams.trash = holding;
  TForm1 window(seams);
  window.S2->trigger();  // overwrite: each source goes to the trash mid-file
  const std::vector<std::string> entries = {MakeJpeg("h0.jpg"), MakeJpeg("h1.jpg"), MakeJpeg("h2.jpg")};
  const std::vector<std::uint8_t> second = tamtest::ReadBytes(entries[1]);
  window.SetListEntries(entries);

  bool seen_while_held = false;
  bool enabled_while_held = true;
  QTimer timer;
  timer.setInterval(0);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (seen_while_held || !holding->Held()) return;
    seen_while_held = true;
    enabled_while_held = window.isEnabled();
    if (auto* progress = window.findChild<TfrmProgress*>())
      QTest::mouseClick(progress->Button1, Qt::LeftButton);
    holding->Release();
  });
  timer.start();
  window.S1->trigger();
  holding->Release();

  EXPECT_TRUE(seen_while_held) << "no event was handled while the first file converted";
  EXPECT_FALSE(enabled_while_held);
  EXPECT_EQ(window.ListEntries(), std::vector<std::string>{entries[0]});
  EXPECT_EQ(window.shrinkLb->text(), QStringLiteral("縮小数:1"));
  EXPECT_EQ(holding->moved, std::vector<std::string>{entries[0]});
  EXPECT_TRUE(tamtest::ReadBytes(entries[1]) == second) << "the second file was converted too";
  EXPECT_TRUE(window.isEnabled());
  EXPECT_TRUE(messages->shown.empty());
}

// A dialog opened while a file converts (a presentation's Save As) runs an
// event loop of its own: the run goes on under it to the last file, and
// ends there: the progress window goes, the list and labels are the run's
// and the window takes input again, the dialog still open.
TEST_F(ReduceCommand, TheRunGoesOnAndEndsUnderADialogOpenedMeanwhile) {
  auto holding = std::make_shared<HoldingTrash>();
  Seams seams = fakes.Seams(dir / "tamarind2");
  seams.trash = holding;
  TForm1 window(seams);
  window.S2->trigger();  // overwrite: the first source goes to the trash mid-file
  std::vector<std::string> entries;
  for (int i = 0; i < 10; ++i) entries.push_back(MakeJpeg("g" + std::to_string(i) + ".jpg"));
  window.SetListEntries(entries);

  std::vector<QString> under_dialog;  // the progress text at each pass of the dialog's loop
  bool ended_under_dialog = false;
  QTimer opener;
  opener.setInterval(0);
  QObject::connect(&opener, &QTimer::timeout, [&] {
    if (!holding->Held()) return;
    opener.stop();
    QDialog dialog;
    QTimer watcher;
    watcher.setInterval(0);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      if (auto* progress = window.findChild<TfrmProgress*>()) {
        under_dialog.push_back(progress->lblProgress->text());
      } else if (window.isEnabled() && window.shrinkLb->text() == QStringLiteral("縮小数:10")) {
        ended_under_dialog = true;
        dialog.accept();
      }
    });
    watcher.start();
    // A run held up by the dialog would never get there: the dialog goes
    // after a while, and the test has failed by then.
    QTimer::singleShot(5000, &dialog, &QDialog::reject);
    holding->Release();
    dialog.exec();
  });
  opener.start();
  window.S1->trigger();
  holding->Release();

  EXPECT_TRUE(std::find(under_dialog.begin(), under_dialog.end(), QStringLiteral("90 %")) !=
              under_dialog.end())
      << "the run stood still while the dialog was open";
  EXPECT_TRUE(ended_under_dialog) << "the end of the run waited for the dialog";
  EXPECT_EQ(window.ListEntries(), entries);
  EXPECT_TRUE(window.PPTP1->isEnabled());
  EXPECT_TRUE(messages->shown.empty());
}

TEST_F(ReduceCommand, ClosingOrQuittingDuringTheRunIsRefused) {
  form->show();
  std::vector<std::string> entries;
  for (int i = 0; i < 4; ++i) entries.push_back(MakeJpeg("c" + std::to_string(i) + ".jpg"));
  form->SetListEntries(entries);
  RunWatcher watch(*form);
  watch.close_at_pass = 1;
  form->S1->trigger();
  EXPECT_FALSE(watch.close_accepted);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(AbortRequested);
  EXPECT_EQ(form->ListEntries().size(), 4u);
  // Once the run is over the window closes as usual.
  form->close();
  EXPECT_FALSE(form->isVisible());
}

TEST_F(ReduceCommand, AnErrorAtTheThirdOfTenLeavesListAndLabelsAsTheyWere) {
  std::vector<std::string> entries;
  for (int i = 0; i < 10; ++i) entries.push_back(MakeJpeg("e" + std::to_string(i) + ".jpg"));
  tamtest::WriteText(entries[2], "this is no JPEG");
  form->SetListEntries(entries);
  form->S1->trigger();

  EXPECT_EQ(form->ListEntries(), entries);
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:0"));
  EXPECT_FALSE(form->PPTP1->isEnabled());
  EXPECT_TRUE(form->isEnabled());
  EXPECT_TRUE(tamtest::Exists(dir / "e0_x.jpg"));
  EXPECT_TRUE(tamtest::Exists(dir / "e1_x.jpg"));
  EXPECT_FALSE(tamtest::Exists(dir / "e2_x.jpg"));
  EXPECT_FALSE(tamtest::Exists(dir / "e3_x.jpg"));
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_TRUE(messages->shown[0].text.startsWith(QStringLiteral("JPEG エラー #")));
  EXPECT_EQ(messages->shown[0].icon, MessageIcon::Critical);
  // The decoder's number does not say which file; the line under it does.
  EXPECT_EQ(messages->shown[0].detail, QStringLiteral("ファイル: ") + QString::fromStdString(entries[2]));
  const std::string log = ReadLog();
  EXPECT_NE(log.find(":JPEG エラー #"), std::string::npos) << log;
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  // The progress window went with the run.
  EXPECT_EQ(form->findChild<TfrmProgress*>(), nullptr);
}

TEST_F(ReduceCommand, BeepsOnlyWhenStartedFromItsOwnItem) {
  form->M1->trigger();
  ASSERT_TRUE(form->BeepOnFinish());
  form->SetListEntries({MakeJpeg("b.jpg")});
  form->S1->trigger();
  EXPECT_EQ(beeper->beeps, 1);
  form->SetListEntries({dir / "b.jpg"});
  form->S1Click(form->A1);
  EXPECT_EQ(beeper->beeps, 1);
}

TEST_F(ReduceCommand, QualityComesFromTheSliderAndOptionsFromTheMenu) {
  form->TrackBar1->setValue(0);
  form->N14H1->trigger();  // quarter size for JPEG sources
  form->S2->trigger();     // overwrite
  const std::string big = MakeJpeg("big.jpg", 1280, 960);
  const std::string bmp = MakeBmp("c.bmp");
  form->SetListEntries({big, bmp});
  form->S1->trigger();
  EXPECT_EQ(form->ListEntries(), (std::vector<std::string>{big, dir / "c.jpg"}));
  const std::vector<std::uint8_t> written = tamtest::ReadBytes(big);
  // Quality 0 scales every quantizer to the baseline limit; 50 would keep the
  // standard table, whose first value is 16.
  const auto dqt = std::search(written.begin(), written.end(), kDqt.begin(), kDqt.end());
  ASSERT_LT(dqt + 5, written.end());
  EXPECT_EQ(dqt[5], 255);
  const DecodedJpeg out = DecodeJpeg(written);
  EXPECT_EQ(out.picture.width(), 480);
  EXPECT_EQ(out.picture.height(), 360);
  // The overwritten JPEG went to the trash too, through the window's trash;
  // the bitmap only after its JPEG was written.
  EXPECT_EQ(trash->moved, (std::vector<std::string>{big, bmp}));
  EXPECT_TRUE(tamtest::Exists(dir / "c.jpg"));
}

}  // namespace
}  // namespace tam
