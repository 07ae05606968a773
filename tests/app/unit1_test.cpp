// SPDX-License-Identifier: MIT
#include "app/Unit1.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "app/presentation_window.h"
#include "app_fakes.h"
#include "picture/error.h"
#include "support/qtapp.h"
#include "support/recording_server.h"
#include "support/testdata.h"

namespace tam {
namespace {

using tamtest::FakeMessages;

class MainWindow : public ::testing::Test {
 protected:
  MainWindow() {
    tamtest::App();
    Seams seams;
    seams.dialogs = dialogs;
    seams.messages = messages;
    seams.beeper = beeper;
    seams.clock = clock;
    seams.program_path = dir / "tamarind2";
    form = std::make_unique<TForm1>(seams);
  }

  std::vector<std::string> Entries() const { return form->ListEntries(); }
  QString Text(QLabel* label) const { return label->text(); }

  // A real drag and drop: enter on the list (which passes it on to the
  // window), then the drop.
  bool Drop(QMimeData& mime) {
    QWidget* target = form->ListBox1->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return true;
  }
  void DropUriList(const std::string& uri_list) {
    QMimeData mime;
    mime.setData("text/uri-list", QByteArray::fromStdString(uri_list));
    ASSERT_TRUE(Drop(mime));
  }
  void DropPaths(const std::vector<std::string>& paths) {
    std::string list;
    for (const auto& p : paths)
      list += QUrl::fromLocalFile(QFile::decodeName(p.c_str())).toEncoded().toStdString() + "\r\n";
    DropUriList(list);
  }
  int ExtentOf(const std::vector<std::string>& paths) const {
    int widest = 0;
    for (const auto& p : paths)
      widest =
          std::max(widest, form->ListBox1->fontMetrics().horizontalAdvance(QFile::decodeName(p.c_str())));
    return widest + 20;
  }

  tamtest::TempDir dir;
  std::shared_ptr<tamtest::FakeDialogs> dialogs = std::make_shared<tamtest::FakeDialogs>();
  std::shared_ptr<FakeMessages> messages = std::make_shared<FakeMessages>();
  std::shared_ptr<tamtest::FakeBeeper> beeper = std::make_shared<tamtest::FakeBeeper>();
  std::shared_ptr<tamtest::FakeClock> clock = std::make_shared<tamtest::FakeClock>();
  std::unique_ptr<TForm1> form;
};

TEST_F(MainWindow, FreshStart) {
  EXPECT_EQ(form->windowTitle(), "Tamarind 2 for PowerPoint");
  EXPECT_EQ(form->TrackBar1->value(), 50);
  EXPECT_EQ(Text(form->compLb), "50");
  EXPECT_EQ(form->ListBox1->count(), 0);
  EXPECT_EQ(Text(form->DDLb), "D＆D数:0");
  EXPECT_EQ(Text(form->listLb), "リスト:0");
  EXPECT_EQ(Text(form->shrinkLb), "縮小数:0");
  EXPECT_EQ(Text(form->SlideLb), "スライド:0");
  for (QAction* option : {form->S2, form->D, form->M1, form->N14H1}) {
    EXPECT_TRUE(option->isCheckable());
    EXPECT_FALSE(option->isChecked()) << option->text().toStdString();
  }
  EXPECT_FALSE(form->OverwriteSave() || form->DeleteAfterInsert() || form->BeepOnFinish() ||
               form->QuarterSlideSize());
  EXPECT_TRUE(form->N4->isChecked());
  EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_FALSE(form->PPTP1->isEnabled());
  EXPECT_FALSE(form->N3->isEnabled());
  for (QAction* item :
       {form->F1, form->O2, form->D1, form->C1, form->X1, form->E1, form->S1, form->A1, form->jpg1,
        form->bmp1, form->O1, form->S2, form->D, form->M1, form->N14H1, form->V1, form->N4}) {
    EXPECT_TRUE(item->isEnabled()) << item->text().toStdString();
  }
  EXPECT_TRUE(form->acceptDrops());
}

TEST_F(MainWindow, WindowCannotBeMaximisedOrResized) {
  EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  // Offscreen windows have no frame, so the outer size applies as it stands.
  EXPECT_EQ(form->minimumSize(), QSize(240, 250));
  EXPECT_EQ(form->maximumSize(), QSize(240, 250));
  // Shown, the window's frame counts towards the size.
  form->show();
  EXPECT_EQ(form->frameGeometry().size(), QSize(240, 250));
  form->resize(600, 400);
  EXPECT_EQ(form->frameGeometry().size(), QSize(240, 250));
}

// The menus as the user reads them, in order ("-" a separator, a submenu's
// items indented below it), and no two items of one menu, nor two menus,
// answer to the same keyboard letter.
TEST_F(MainWindow, MenusShowTheirItemsInOrderEachWithALetterOfItsOwn) {
  std::vector<std::string> shown;
  std::function<void(const QList<QAction*>&, const std::string&)> walk = [&](const QList<QAction*>& items,
                                                                             const std::string& indent) {
    std::set<QChar> letters;
    for (QAction* a : items) {
      shown.push_back(indent + (a->isSeparator() ? "-" : a->text().toStdString()));
      const qsizetype amp = a->text().indexOf('&');
      if (amp >= 0) EXPECT_TRUE(letters.insert(a->text()[amp + 1].toUpper()).second) << shown.back();
      if (a->menu()) walk(a->menu()->actions(), indent + "  ");
    }
  };
  walk(form->menuBar()->actions(), "");
  EXPECT_EQ(shown, (std::vector<std::string>{"ファイル(&F)",
                                             "  ファイル選択(&O)",
                                             "  フォルダ選択(&D)",
                                             "  すべて閉じる(&C)",
                                             "  -",
                                             "  終了(&X)",
                                             "編集(&E)",
                                             "  縮小(&S)",
                                             "  PPT挿入(&P)",
                                             "  一括処理(&A)",
                                             "  -",
                                             "  拡張子付加",
                                             "    jpg",
                                             "    bmp",
                                             "設定(&O)",
                                             "  上書き保存(&S)",
                                             "  挿入後元ファイル削除(&D)",
                                             "  終了時音を鳴らす(&M)",
                                             "  スライドの1/4サイズ(&H)",
                                             "  -",
                                             "  LibreOffice Impress を使う(&I)",
                                             "表示(&V)",
                                             "  常に手前に表示"}));
}

TEST_F(MainWindow, OptionTogglesKeepFlagsEqualToCheckMarks) {
  struct Option {
    QAction* item;
    bool (TForm1::*flag)() const;
  };
  const Option options[] = {{form->S2, &TForm1::OverwriteSave},
                            {form->D, &TForm1::DeleteAfterInsert},
                            {form->M1, &TForm1::BeepOnFinish},
                            {form->N14H1, &TForm1::QuarterSlideSize}};
  for (const Option& o : options) {
    o.item->trigger();
    EXPECT_TRUE(o.item->isChecked());
    EXPECT_TRUE((form.get()->*o.flag)());
    for (const Option& other : options) {
      if (other.item != o.item) {
        EXPECT_FALSE((form.get()->*other.flag)()) << other.item->text().toStdString();
      }
    }
    o.item->trigger();
    EXPECT_FALSE(o.item->isChecked());
    EXPECT_FALSE((form.get()->*o.flag)());
  }
  EXPECT_EQ(Text(form->listLb), "リスト:0");
  EXPECT_TRUE(messages->shown.empty());
  EXPECT_EQ(beeper->beeps, 0);
}

TEST_F(MainWindow, OptionsAreOffAgainInANewWindow) {
  form->S2->trigger();
  form->N14H1->trigger();
  form = std::make_unique<TForm1>(Seams{dialogs, messages, beeper, clock, dir / "tamarind2"});
  EXPECT_FALSE(form->OverwriteSave());
  EXPECT_FALSE(form->QuarterSlideSize());
  EXPECT_FALSE(form->S2->isChecked());
}

TEST_F(MainWindow, AlwaysOnTopToggleKeepsTheWindowAndItsContents) {
  form->show();
  form->SetListEntries({"/p/a.jpg"});
  const QRect where = form->geometry();
  form->N4->trigger();
  EXPECT_FALSE(form->N4->isChecked());
  EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  ASSERT_NE(form->windowHandle(), nullptr);
  EXPECT_FALSE(form->windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(form->isVisible());
  form->N4->trigger();
  EXPECT_TRUE(form->N4->isChecked());
  EXPECT_TRUE(form->windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->geometry(), where);
  EXPECT_EQ(Entries(), std::vector<std::string>{"/p/a.jpg"});
  DropPaths({"/p/b.jpg"});
  EXPECT_EQ(Entries(), (std::vector<std::string>{"/p/a.jpg", "/p/b.jpg"}));
}

TEST_F(MainWindow, SliderKeysMoveByFiveAndPagesByTwo) {
  QSlider* slider = form->TrackBar1;
  QTest::keyClick(slider, Qt::Key_Right);
  EXPECT_EQ(slider->value(), 55);
  EXPECT_EQ(Text(form->compLb), "55");
  QTest::keyClick(slider, Qt::Key_Left);
  QTest::keyClick(slider, Qt::Key_Left);
  EXPECT_EQ(Text(form->compLb), "45");
  QTest::keyClick(slider, Qt::Key_PageUp);
  EXPECT_EQ(Text(form->compLb), "47");
  QTest::keyClick(slider, Qt::Key_PageDown);
  QTest::keyClick(slider, Qt::Key_PageDown);
  EXPECT_EQ(Text(form->compLb), "43");
  QTest::keyClick(slider, Qt::Key_End);
  EXPECT_EQ(Text(form->compLb), "100");
  QTest::keyClick(slider, Qt::Key_Right);
  EXPECT_EQ(Text(form->compLb), "100");
  QTest::keyClick(slider, Qt::Key_Home);
  EXPECT_EQ(Text(form->compLb), "0");
  slider->setValue(7);
  EXPECT_EQ(Text(form->compLb), "7");
  EXPECT_EQ(slider->tickInterval(), 25);
}

TEST_F(MainWindow, FileDialogReplacesTheList) {
  form->SetListEntries({"/1", "/2", "/3", "/4", "/5"});
  form->N3->setEnabled(true);
  dialogs->open_answer = std::vector<std::string>{"/p/a.jpg", "/p/b.BMP", "/p/\xff.jpg"};
  form->O2->trigger();
  EXPECT_EQ(Entries(), *dialogs->open_answer);
  EXPECT_EQ(Text(form->DDLb), "選択数:3");
  EXPECT_EQ(Text(form->listLb), "リスト:3");
  EXPECT_FALSE(form->PPTP1->isEnabled());
  EXPECT_FALSE(form->N3->isEnabled());
  EXPECT_EQ(form->ListBox1->HorizontalExtent(), ExtentOf(*dialogs->open_answer));
  EXPECT_TRUE(dialogs->filter.startsWith("画像ファイル(*.jpg,*.bmp)"));
  for (const char* pattern : {"*.jpg", "*.bmp", "*.JPG", "*.BMP"})
    EXPECT_TRUE(dialogs->filter.contains(pattern));

  // Enabled stays enabled too.
  form->PPTP1->setEnabled(true);
  form->O2->trigger();
  EXPECT_TRUE(form->PPTP1->isEnabled());
}

TEST_F(MainWindow, CancelledFileDialogKeepsTheListButRefreshes) {
  form->SetListEntries({"/1", "/2", "/3", "/4", "/5"});
  form->N3->setEnabled(true);
  dialogs->open_answer.reset();
  form->O2->trigger();
  EXPECT_EQ(dialogs->open_calls, 1);
  EXPECT_EQ(Entries().size(), 5u);
  EXPECT_EQ(Text(form->DDLb), "選択数:5");
  EXPECT_EQ(Text(form->listLb), "リスト:5");
  EXPECT_FALSE(form->N3->isEnabled());

  // Choosing nothing from an empty list: a scroll range of 20.
  form->SetListEntries({});
  form->O2->trigger();
  EXPECT_EQ(form->ListBox1->HorizontalExtent(), 20);
  EXPECT_EQ(Text(form->DDLb), "選択数:0");
}

TEST_F(MainWindow, FolderChoiceAppendsJpegsThenBitmaps) {
  const std::string folder = dir / "pics";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  for (const char* name : {"b.bmp", "z.JPG", "a.jpg", "notes.txt"})
    tamtest::WriteText(folder + "/" + name, "");
  form->SetListEntries({"/first.jpg"});
  dialogs->folder_answer = folder;
  form->D1->trigger();
  EXPECT_EQ(dialogs->title, "フォルダの選択");
  const std::vector<std::string> once = {"/first.jpg", folder + "/a.jpg", folder + "/z.JPG",
                                         folder + "/b.bmp"};
  EXPECT_EQ(Entries(), once);
  EXPECT_EQ(Text(form->DDLb), "D&D数:4");
  EXPECT_EQ(Text(form->listLb), "リスト:4");
  EXPECT_TRUE(form->PPTP1->isEnabled());
  EXPECT_FALSE(form->N3->isEnabled());
  EXPECT_EQ(form->ListBox1->HorizontalExtent(), ExtentOf(once));

  form->D1->trigger();
  EXPECT_EQ(Entries().size(), 7u);
  EXPECT_EQ(Entries()[6], folder + "/b.bmp");
  EXPECT_EQ(Text(form->DDLb), "D&D数:7");
}

TEST_F(MainWindow, FolderChoiceWithoutMatchesStillRefreshes) {
  dialogs->folder_answer = dir.path();
  form->D1->trigger();
  EXPECT_EQ(form->ListBox1->count(), 0);
  EXPECT_EQ(Text(form->DDLb), "D&D数:0");
  EXPECT_EQ(Text(form->listLb), "リスト:0");
  EXPECT_FALSE(form->PPTP1->isEnabled());
}

TEST_F(MainWindow, CancelledFolderDialogChangesNothing) {
  form->SetListEntries({"/a.jpg"});
  dialogs->folder_answer.reset();
  form->D1->trigger();
  EXPECT_EQ(dialogs->folder_calls, 1);
  EXPECT_EQ(Entries().size(), 1u);
  EXPECT_EQ(Text(form->DDLb), "D＆D数:0");
  EXPECT_EQ(Text(form->listLb), "リスト:0");
  EXPECT_FALSE(form->PPTP1->isEnabled());
  EXPECT_EQ(form->ListBox1->HorizontalExtent(), 0);
}

TEST_F(MainWindow, DropAppendsByTheExactCaseExtensionRule) {
  DropPaths({"/p/a.jpg", "/p/b.JPG", "/p/c.Jpg", "/p/d.png", "/p/e"});
  EXPECT_EQ(Entries(), (std::vector<std::string>{"/p/a.jpg", "/p/b.JPG", "/p/e"}));
  EXPECT_EQ(Text(form->DDLb), "D&D数:5");
  EXPECT_EQ(Text(form->listLb), "リスト:3");
  EXPECT_TRUE(form->N3->isEnabled());
  EXPECT_TRUE(form->PPTP1->isEnabled());
  EXPECT_EQ(form->ListBox1->HorizontalExtent(), ExtentOf(Entries()));
}

TEST_F(MainWindow, DropOfRejectedItemsOnlyCountsThem) {
  DropPaths({"/p/a.png", "/p/b.jpeg", "/p/c.Bmp"});
  EXPECT_EQ(form->ListBox1->count(), 0);
  EXPECT_EQ(Text(form->DDLb), "D&D数:3");
  EXPECT_EQ(Text(form->listLb), "リスト:0");
  EXPECT_FALSE(form->PPTP1->isEnabled());
  EXPECT_FALSE(form->N3->isEnabled());
}

TEST_F(MainWindow, DropKeepsLongPathsAndRawBytesWhole) {
  const std::string long_path = "/" + std::string(300, 'd') + "/picture.jpg";
  const std::string latin1 = "/p/caf\xe9.bmp";  // not valid UTF-8
  const std::string folder = "/p/v1.0/folder";  // dot only in a parent folder
  const std::string spaced = "/p/a b#c%.JPG";
  DropUriList("file://" + std::string("/") + std::string(300, 'd') + "/picture.jpg\r\n" +
              "# a comment line\r\nfile:///p/caf%E9.bmp\r\nfile://localhost/p/v1.0/folder\r\n" +
              "http://example.invalid/x.jpg\r\nfile:///p/a%20b%23c%25.JPG\r\n");
  EXPECT_EQ(Entries(), (std::vector<std::string>{long_path, latin1, folder, spaced}));
  EXPECT_EQ(Text(form->DDLb), "D&D数:4");
  EXPECT_TRUE(form->N3->isEnabled());
  // The list box shows the long entry and can scroll to its end.
  EXPECT_EQ(form->ListBox1->HorizontalExtent(), ExtentOf(Entries()));
  EXPECT_GT(form->ListBox1->horizontalScrollBar()->maximum(), 0);
}

TEST_F(MainWindow, DropWithoutFileListIsRefused) {
  QMimeData mime;
  mime.setText("/p/a.jpg");
  EXPECT_FALSE(Drop(mime));
  EXPECT_EQ(Text(form->DDLb), "D＆D数:0");
}

TEST_F(MainWindow, ClearEmptiesTheListOnly) {
  DropPaths({"/p/a.jpg", "/p/b"});
  ASSERT_TRUE(form->N3->isEnabled());
  form->C1->trigger();
  EXPECT_EQ(form->ListBox1->count(), 0);
  EXPECT_EQ(form->ListBox1->HorizontalExtent(), 0);
  EXPECT_EQ(form->ListBox1->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(Text(form->DDLb), "D&D数:2");
  EXPECT_EQ(Text(form->listLb), "リスト:2");
  EXPECT_TRUE(form->PPTP1->isEnabled());
  EXPECT_TRUE(form->N3->isEnabled());
}

TEST_F(MainWindow, ExtensionCommandsCompleteBareEntriesOnly) {
  form->SetListEntries({"/my.pics/e", "/p/x.jpeg", "/p/y.JPG", "/p/z", "/p/dot."});
  const int extent = form->ListBox1->HorizontalExtent();
  form->jpg1->trigger();
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{"/my.pics/e.jpg", "/p/x.jpeg", "/p/y.JPG", "/p/z.jpg", "/p/dot."}));
  form->SetListEntries({"/p/\xe9", "/p/b.bmp"});
  form->bmp1->trigger();
  EXPECT_EQ(Entries(), (std::vector<std::string>{"/p/\xe9.bmp", "/p/b.bmp"}));
  EXPECT_EQ(form->ListBox1->HorizontalExtent(), extent);
  EXPECT_EQ(Text(form->listLb), "リスト:0");
  form->SetListEntries({});
  form->jpg1->trigger();
  EXPECT_EQ(form->ListBox1->count(), 0);
}

TEST_F(MainWindow, ErrorInAHandlerIsLoggedAndShownOnce) {
  form->SetListEntries({"/p/a.jpg"});
  dialogs->before_answer = [] { throw Error("ファイルを開けません"); };
  bool logged_before_box = false;
  messages->on_show = [&] { logged_before_box = tamtest::Exists(dir / "tamarind2.log"); };
  form->O2->trigger();
  EXPECT_TRUE(logged_before_box) << "the box came before the log line";
  messages->on_show = nullptr;
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_EQ(messages->shown[0].text, "ファイルを開けません.");
  EXPECT_EQ(messages->shown[0].title, "Tamarind 2");
  EXPECT_EQ(messages->shown[0].icon, MessageIcon::Critical);
  const std::string stamp = LogTimestamp(clock->now, QLocale::system()).toStdString();
  const auto log = tamtest::ReadBytes(dir / "tamarind2.log");
  EXPECT_EQ(std::string(log.begin(), log.end()), stamp + ":ファイルを開けません\r\n");
  // The handler was left where it failed; the window goes on working.
  EXPECT_EQ(Entries(), std::vector<std::string>{"/p/a.jpg"});

  clock->now = QDateTime(QDate(2007, 5, 13), QTime(0, 0));
  dialogs->before_answer = [] { throw Error("(2)"); };
  form->D1->trigger();
  ASSERT_EQ(messages->shown.size(), 2u);
  EXPECT_EQ(messages->shown[1].text, "(2)");
  const auto both = tamtest::ReadBytes(dir / "tamarind2.log");
  const std::string midnight = LogTimestamp(clock->now, QLocale::system()).toStdString();
  EXPECT_EQ(std::string(both.begin(), both.end()),
            stamp + ":ファイルを開けません\r\n" + midnight + ":(2)\r\n");

  dialogs->before_answer = nullptr;
  dialogs->open_answer = std::vector<std::string>{"/p/b.jpg"};
  form->O2->trigger();
  EXPECT_EQ(Entries(), std::vector<std::string>{"/p/b.jpg"});
}

TEST_F(MainWindow, ErrorBoxIsShownWhenNoLogCanBeWritten) {
  const char* old_state = std::getenv("XDG_STATE_HOME");
  const std::string saved = old_state ? old_state : "";
  ::setenv("XDG_STATE_HOME", "/proc/no-such-state", 1);
  form = std::make_unique<TForm1>(Seams{dialogs, messages, beeper, clock, "/proc/tamarind2"});
  dialogs->before_answer = [] { throw std::runtime_error("disk gone"); };
  form->D1->trigger();
  old_state ? ::setenv("XDG_STATE_HOME", saved.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_EQ(messages->shown[0].text, "disk gone.");
  EXPECT_FALSE(tamtest::Exists("/proc/tamarind2.log"));
}

// Entries whose widest text is, pixel by pixel, a little narrower to a little
// wider than the list, with and without a vertical bar, added by a drop and
// then replaced by longer names as the reduce command does: the list settles
// every time, its bar shown exactly when the range set by the add command
// exceeds the list, with that range.
TEST_F(MainWindow, ListSettlesForEveryWidthAroundItsOwn) {
  form->show();
  QCoreApplication::processEvents();
  TListBox* list = form->ListBox1;
  const QFontMetrics metrics = list->fontMetrics();
  const auto width_of = [&](const std::string& s) {
    return metrics.horizontalAdvance(QString::fromStdString(s));
  };
  // A path for each text width: wide letters, narrow ones, one odd character.
  std::map<int, std::string> path_of_width;
  for (int wide = 0; wide < 60; ++wide)
    for (int narrow = 0; narrow < 8; ++narrow)
      for (const char* odd : {"", "r", "t", "1", "f", "s", "."}) {
        const std::string path = "/" + std::string(wide, 'n') + std::string(narrow, 'i') + odd + ".jpg";
        path_of_width.emplace(width_of(path), path);
      }
  const int full = list->width() - 2 * list->frameWidth();
  const auto settle = [] {
    for (int i = 0; i < 4; ++i) QCoreApplication::processEvents();
  };
  const auto expect_range = [&](const char* when, int text_width, int count) {
    const QScrollBar* bar = list->horizontalScrollBar();
    const int page = list->viewport()->width();
    const int extent = list->HorizontalExtent();
    EXPECT_EQ(bar->isVisible(), extent > page) << when << " width " << text_width << " count " << count;
    EXPECT_EQ(bar->maximum(), std::max(0, extent - page))
        << when << " width " << text_width << " count " << count;
  };
  for (int count : {2, 8}) {
    for (int text_width = full - 40; text_width <= full + 4; ++text_width) {
      ASSERT_TRUE(path_of_width.count(text_width)) << text_width;
      const std::string path = path_of_width[text_width];
      ::alarm(20);  // a list that never settles ends the program: SIGALRM
      form->C1->trigger();
      form->WMDropFiles(std::vector<std::string>(count, path));
      settle();
      EXPECT_EQ(list->HorizontalExtent(), text_width + 20);
      expect_range("added", text_width, count);
      form->SetListEntries(std::vector<std::string>(count, path.substr(0, path.size() - 4) + "_x.jpg"));
      settle();
      expect_range("replaced", text_width, count);
      ::alarm(0);
    }
  }
}

// The real file dialogs, cancelled, with the user's folders in a scratch
// place: nothing is stored there for the next start.
TEST(FileDialogs, StoreNothingBetweenRuns) {
  tamtest::TempDir dir;
  for (const char* sub : {"home", "config", "cache"}) ::mkdir((dir / sub).c_str(), 0700);
  ::setenv("HOME", (dir / "home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);  // fonts may cache here
  tamtest::App();
  Seams seams;
  seams.messages = std::make_shared<FakeMessages>();
  seams.server = std::make_shared<tamtest::RecordingServer>();
  seams.program_path = dir / "tamarind2";
  TForm1 form(seams);
  QTimer cancel;
  cancel.setInterval(10);
  QObject::connect(&cancel, &QTimer::timeout, [] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
  });
  cancel.start();
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(form.seams().dialogs->OpenPictures(&form, QStringLiteral("*.jpg")));
    EXPECT_FALSE(form.seams().dialogs->ChooseFolder(&form, QStringLiteral("フォルダの選択")));
  }
  for (const char* sub : {"home", "config"}) {
    std::vector<std::string> stored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / sub))
      stored.push_back(entry.path().string());
    EXPECT_TRUE(stored.empty()) << stored.front();
  }
}

// The real error box's line naming the file shows the name as it is, be it
// taken for markup or not.
TEST(MessageBoxes, FileLineShowsTheNameAsItIs) {
  tamtest::App();
  Seams seams;
  seams.server = std::make_shared<tamtest::RecordingServer>();
  const std::shared_ptr<MessageBoxes> boxes = WithRealSeams(seams).messages;
  for (const char* name : {"/tmp/a&b.jpg", "/tmp/<b>c</b>.jpg"}) {
    const QString detail = QStringLiteral("ファイル: ") + QString::fromUtf8(name);
    QStringList shown;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!box) return;
      for (const QLabel* label : box->findChildren<QLabel*>()) {
        const bool rich = label->textFormat() == Qt::RichText ||
                          (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
        // Break points (zero-width spaces) aside, the text is as given.
        const QString text = QString(label->text()).remove(QChar(0x200B));
        shown << (rich ? QTextDocumentFragment::fromHtml(text).toPlainText() : text);
      }
      box->accept();
    });
    answer.start();
    boxes->Show(nullptr, QStringLiteral("JPEG エラー #42"), QStringLiteral("Tamarind 2"),
                MessageIcon::Critical, detail);
    EXPECT_TRUE(shown.contains(detail)) << shown.join(u'|').toStdString();
  }
}

// A name without a space, wider than the screen, is shown whole in the real
// error box, to its extension: it wraps inside the box rather than running
// off its edge.
TEST(MessageBoxes, LongNameWrapsInsideTheBox) {
  tamtest::App();
  Seams seams;
  seams.server = std::make_shared<tamtest::RecordingServer>();
  const std::shared_ptr<MessageBoxes> boxes = WithRealSeams(seams).messages;
  const QString name = QStringLiteral("/home/user/写真/") + QString(150, u'x') +
                       QStringLiteral("_IMG_20240812_153012_HDR_edited_final.JPG");
  const QString detail = QStringLiteral("ファイル: ") + name;
  QStringList shown;
  bool fits = true;
  QTimer answer;
  answer.setInterval(10);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!box) return;
    for (const QLabel* label : box->findChildren<QLabel*>()) {
      if (label->text().isEmpty() || !label->isVisible()) continue;
      shown << QString(label->text()).remove(QChar(0x200B));
      const QRect needed =
          label->fontMetrics().boundingRect(label->contentsRect(), Qt::TextWordWrap, label->text());
      fits &= needed.width() <= label->contentsRect().width();
      fits &= label->geometry().right() < box->width();
      fits &= box->width() <= box->screen()->availableGeometry().width();
    }
    box->accept();
  });
  answer.start();
  boxes->Show(nullptr, QStringLiteral("書き込めません: ") + name, QStringLiteral("Tamarind 2"),
              MessageIcon::Critical, detail);
  EXPECT_TRUE(shown.contains(detail)) << shown.join(u'|').toStdString();
  EXPECT_TRUE(fits) << "a line runs past its label or the box";

  // Break points never fall inside a character the user sees as one.
  const QString emoji = QString(20, u'a') + QStringLiteral("\U0001F600e\u0301") + QString(20, u'b');
  const QString broken = WithBreakPoints(emoji);
  EXPECT_EQ(QString(broken).remove(QChar(0x200B)), emoji);
  EXPECT_FALSE(broken.contains(QStringLiteral("\xD83D\u200B")));
  EXPECT_FALSE(broken.contains(QStringLiteral("e\u200B\u0301")));
  EXPECT_EQ(WithBreakPoints(QStringLiteral("短い 名前.jpg")), QStringLiteral("短い 名前.jpg"));
}

}  // namespace
}  // namespace tam
