// SPDX-License-Identifier: MIT
// "Open with": paths on the command line enter the list at start through the
// same intake as a drop.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>

#include "app/Unit1.h"
#include "app/commandline.h"
#include "app_fakes.h"
#include "support/qtapp.h"
#include "support/run_program.h"
#include "support/testdata.h"

namespace tam {
namespace {

using Paths = std::vector<std::string>;

CommandLine Parse(std::initializer_list<const char*> args, const std::string& cwd = "/w") {
  const std::vector<const char*> list(args);
  return ParseCommandLine(list, cwd);
}

TEST(CommandLine, OptionsPathsAndUris) {
  EXPECT_EQ(Parse({"a.jpg", "--help"}).action, CommandLine::Action::kHelp);
  EXPECT_EQ(Parse({"-h"}).action, CommandLine::Action::kHelp);
  EXPECT_EQ(Parse({"--version", "x"}).action, CommandLine::Action::kVersion);
  const CommandLine wrong = Parse({"a.jpg", "--bogus"});
  EXPECT_EQ(wrong.action, CommandLine::Action::kUsageError);
  EXPECT_NE(wrong.error.find("--bogus"), std::string::npos);
  EXPECT_TRUE(wrong.paths.empty());
  // A shell's relative and untidy forms become the clean absolute path a
  // drop would carry; "--" lets a name look like an option.
  const CommandLine ok = Parse({"a.jpg", "./p/", "../b.BMP", "/x//y/./z.jpg", "-", "--", "--help",
                                "file:///u/caf%E9.jpg", "file:x.jpg", "", "/"});
  EXPECT_EQ(ok.action, CommandLine::Action::kRun);
  EXPECT_EQ(ok.paths, (Paths{"/w/a.jpg", "/w/p", "/b.BMP", "/x/y/z.jpg", "/w/-", "/w/--help",
                             "/u/caf\xe9.jpg", "/w/file:x.jpg", "/"}));
  EXPECT_TRUE(Parse({}).paths.empty());
}

// The program started with files (a picture, a non-picture, a missing path
// and a name that is not UTF-8) lists exactly what a drop of the same items
// lists, with the same labels and menu states.
TEST(OpenWith, FileArgumentsFillTheListAsADropWould) {
  tamtest::App();
  tamtest::TempDir dir;
  tamtest::WriteText(dir / "a.jpg", "");
  tamtest::WriteText(dir / "notes.txt", "");
  tamtest::WriteText(dir / "caf\xe9.BMP", "");
  tamtest::WriteText(dir / "bare", "");
  const std::string raw_name = "caf\xe9.BMP";
  const std::vector<const char*> args = {"a.jpg", "notes.txt", "missing.JPG", raw_name.c_str(), "bare"};
  const CommandLine line = ParseCommandLine(args, dir.path());
  ASSERT_EQ(line.action, CommandLine::Action::kRun);

  tamtest::CommandFakes fakes;
  const std::unique_ptr<TForm1> started = ShowMainWindow(line.paths, fakes.Seams(dir / "tamarind2"));
  const Paths expected = {dir / "a.jpg", dir / "missing.JPG", dir / raw_name, dir / "bare"};
  EXPECT_EQ(started->ListEntries(), expected);
  EXPECT_EQ(started->DDLb->text(), "D&D数:5");
  EXPECT_EQ(started->listLb->text(), "リスト:4");
  EXPECT_TRUE(started->PPTP1->isEnabled());
  EXPECT_TRUE(started->N3->isEnabled());  // "bare" has no extension

  TForm1 dropped(fakes.Seams(dir / "tamarind2"));
  QMimeData mime;
  QByteArray uri_list;
  for (const std::string& p : line.paths)
    uri_list += "file://" + QByteArray::fromStdString(p).toPercentEncoding("/") + "\r\n";
  mime.setData("text/uri-list", uri_list);
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(dropped.ListBox1->viewport(), &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(dropped.ListBox1->viewport(), &drop);
  EXPECT_EQ(dropped.ListEntries(), started->ListEntries());
  EXPECT_EQ(dropped.DDLb->text(), started->DDLb->text());
  EXPECT_EQ(dropped.ListBox1->HorizontalExtent(), started->ListBox1->HorizontalExtent());
  EXPECT_TRUE(fakes.messages->shown.empty());
}

// A folder on the command line ("Open with" on a folder) adds its pictures
// as choosing it in the folder dialog does, whatever its name looks like and
// whatever odd entries it holds; the files between folders stay one drop.
TEST(OpenWith, FolderArgumentsAddTheirPicturesAsAFolderChoice) {
  tamtest::App();
  tamtest::TempDir dir;
  const std::string album = dir / "album.jpg";  // a folder named like a picture
  ASSERT_EQ(::mkdir(album.c_str(), 0755), 0);
  for (const char* name : {"b.bmp", "IMG_10.JPG", "IMG_2.jpg", "notes.txt", "empty.jpg"})
    tamtest::WriteText(album + "/" + name, "");
  ASSERT_EQ(::mkfifo((album + "/pipe.jpg").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("loop.jpg", (album + "/loop.jpg").c_str()), 0);
  ASSERT_EQ(::mkdir((album + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("album.jpg", (dir / "linked").c_str()), 0);
  tamtest::WriteText(dir / "a.jpg", "");
  const std::vector<const char*> args = {"a.jpg", "album.jpg/", "linked"};
  const CommandLine line = ParseCommandLine(args, dir.path());
  ASSERT_EQ(line.action, CommandLine::Action::kRun);

  tamtest::CommandFakes fakes;
  const std::unique_ptr<TForm1> started = ShowMainWindow(line.paths, fakes.Seams(dir / "tamarind2"));

  // The same through the menu: a drop of a.jpg, then the folder dialog twice.
  auto dialogs = std::make_shared<tamtest::FakeDialogs>();
  Seams seams = fakes.Seams(dir / "tamarind2");
  seams.dialogs = dialogs;
  TForm1 chosen(seams);
  chosen.WMDropFiles({dir / "a.jpg"});
  dialogs->folder_answer = album;
  chosen.D1->trigger();
  dialogs->folder_answer = dir / "linked";
  chosen.D1->trigger();

  const Paths pictures = {"/empty.jpg", "/IMG_2.jpg", "/IMG_10.JPG", "/loop.jpg", "/pipe.jpg", "/b.bmp"};
  ASSERT_EQ(started->ListEntries().size(), 1 + 2 * pictures.size());
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(started->ListEntries()[1 + i], album + pictures[i]);
    EXPECT_EQ(started->ListEntries()[1 + pictures.size() + i], dir / "linked" + pictures[i]);
  }
  EXPECT_EQ(started->ListEntries(), chosen.ListEntries());
  EXPECT_EQ(started->DDLb->text(), "D&D数:13");
  EXPECT_EQ(started->DDLb->text(), chosen.DDLb->text());
  EXPECT_EQ(started->listLb->text(), chosen.listLb->text());
  EXPECT_EQ(started->ListBox1->HorizontalExtent(), chosen.ListBox1->HorizontalExtent());
  EXPECT_TRUE(started->PPTP1->isEnabled());
  EXPECT_FALSE(started->N3->isEnabled());
  EXPECT_TRUE(fakes.messages->shown.empty());
}

TEST(OpenWith, NoArgumentsLeaveAFreshWindow) {
  tamtest::App();
  tamtest::TempDir dir;
  tamtest::CommandFakes fakes;
  const std::unique_ptr<TForm1> started = ShowMainWindow({}, fakes.Seams(dir / "tamarind2"));
  EXPECT_EQ(started->DDLb->text(), "D＆D数:0");
  EXPECT_FALSE(started->PPTP1->isEnabled());
  EXPECT_TRUE(started->isVisible());
}

// Help and version are answered without a display and without a window.
TEST(OpenWith, HelpAndVersionNeedNoDisplay) {
  const QString program = QStringLiteral(TAM_BINARY_DIR "/app/tamarind2");
  qunsetenv("DISPLAY");
  qunsetenv("WAYLAND_DISPLAY");
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  qunsetenv("QT_QPA_PLATFORM");
  const tamtest::Result version = tamtest::Exec(program, {"--version"});
  const tamtest::Result help = tamtest::Exec(program, {"/no/such.jpg", "--help"});
  const tamtest::Result headless = tamtest::Exec(program, {"/no/such.jpg"});
  // A display that names no running server ends the program with a message,
  // not Qt's abort.
  qputenv("DISPLAY", ":4297");
  const tamtest::Result no_server = tamtest::Exec(program, {"/no/such.jpg"});
  qunsetenv("DISPLAY");
  // Nor does the X plug-in asked for by name, with no display to open.
  qputenv("QT_QPA_PLATFORM", "xcb");
  const tamtest::Result asked_for = tamtest::Exec(program, {"/no/such.jpg"});
  // Nor a plug-in that starts without a screen.
  qputenv("QT_QPA_PLATFORM", "linuxfb:fb=/nonexistent/fb0");
  const tamtest::Result no_screen = tamtest::Exec(program, {"/no/such.jpg"});
  qputenv("QT_QPA_PLATFORM", platform);
  const tamtest::Result wrong = tamtest::Exec(program, {"--bogus"});
  EXPECT_EQ(version.code, 0);
  EXPECT_TRUE(version.out.startsWith("tamarind2 ")) << version.out.toStdString();
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(help.out.contains("--version"));
  EXPECT_EQ(headless.code, 1) << headless.err.toStdString();
  EXPECT_EQ(no_server.code, 1) << no_server.err.toStdString();
  EXPECT_TRUE(no_server.err.contains(":4297")) << no_server.err.toStdString();
  EXPECT_EQ(asked_for.code, 1) << asked_for.err.toStdString();
  EXPECT_TRUE(asked_for.err.startsWith("tamarind2: ")) << asked_for.err.toStdString();
  EXPECT_EQ(no_screen.code, 1) << no_screen.err.toStdString();
  EXPECT_TRUE(no_screen.err.contains("tamarind2: ")) << no_screen.err.toStdString();
  EXPECT_EQ(wrong.code, 2);
  EXPECT_TRUE(wrong.err.contains("--bogus"));
}

}  // namespace
}  // namespace tam
