// SPDX-License-Identifier: MIT
#include "app/errorlog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>

#include "picture/error.h"
#include "support/readonly.h"
#include "support/testdata.h"

namespace tam {
namespace {

using tamtest::ReadText;
using tamtest::ScopedEnv;

class FixedClock : public Clock {
 public:
  QDateTime now{QDate(2007, 5, 12), QTime(9, 5, 7)};
  QDateTime Now() override { return now; }
};

TEST(LogTimestamp, FollowsTheLocaleShortFormats) {
  struct Case {
    const char* locale;
    QTime time;
    const char* expected;
  };
  const QDate day(2007, 5, 12);
  const Case cases[] = {
      {"ja_JP", QTime(9, 5, 7), "2007/05/12 9:05:07"},
      {"ja_JP", QTime(23, 59, 59), "2007/05/12 23:59:59"},
      {"ja_JP", QTime(0, 0, 1), "2007/05/12 0:00:01"},
      // Midnight: the date alone; milliseconds are not part of the time.
      {"ja_JP", QTime(0, 0, 0), "2007/05/12"},
      {"ja_JP", QTime(0, 0, 0, 500), "2007/05/12"},
      // 12-hour clock, marker after the time.
      {"en_US", QTime(13, 5, 7), "5/12/07 1:05:07 PM"},
      {"en_US", QTime(0, 30, 0), "5/12/07 12:30:00 AM"},
      {"en_US", QTime(12, 0, 9), "5/12/07 12:00:09 PM"},
      // Leading zero on the hours.
      {"de_DE", QTime(9, 5, 7), "12.05.07 09:05:07"},
      // Marker before the time.
      {"ko_KR", QTime(13, 5, 7), "07. 5. 12. 오후 1:05:07"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogTimestamp(QDateTime(day, c.time), QLocale(QString::fromLatin1(c.locale))),
              QString::fromUtf8(c.expected))
        << c.locale << " " << c.time.toString().toStdString();
  }
}

TEST(LogLine, TimestampColonMessageAndCrLfWithTheMessageBytesKept) {
  const QLocale japanese(QLocale::Japanese, QLocale::Japan);
  const QDateTime when(QDate(2007, 5, 12), QTime(9, 5, 7));
  EXPECT_EQ(LogLine(when, japanese, "JPEG エラー #53"), "2007/05/12 9:05:07:JPEG エラー #53\r\n");
  EXPECT_EQ(LogLine(when, japanese, ""), "2007/05/12 9:05:07:\r\n");
  EXPECT_EQ(LogLine(when, japanese, "two\nlines"), "2007/05/12 9:05:07:two\nlines\r\n");
  EXPECT_EQ(LogLine(when, japanese, "bad \xe9 byte"), "2007/05/12 9:05:07:bad \xe9 byte\r\n");
  EXPECT_EQ(LogLine(QDateTime(QDate(2007, 5, 12), QTime(0, 0)), japanese, "x"), "2007/05/12:x\r\n");
}

TEST(ErrorBoxText, FullStopOnlyAfterCharactersAboveTheDot) {
  const std::pair<const char*, const char*> cases[] = {
      {"abc", "abc."},      {"file 7", "file 7."}, {"エラー", "エラー."},
      {"ends.", "ends."},   {"(note)", "(note)"},  {"trailing ", "trailing "},
      {"dash-", "dash-"},   {"slash/", "slash/."}, {"", ""},
      {"comma,", "comma,"}, {"colon:", "colon:."},
  };
  for (const auto& [message, shown] : cases) {
    EXPECT_EQ(ErrorBoxText(message), QString::fromUtf8(shown)) << message;
  }
}

TEST(LogPath, ExtensionReplacedOrAppended) {
  EXPECT_EQ(LogPathFor("/opt/tamarind/tamarind2"), "/opt/tamarind/tamarind2.log");
  EXPECT_EQ(LogPathFor("/opt/tamarind/Tamarind2.exe"), "/opt/tamarind/Tamarind2.log");
  EXPECT_EQ(LogPathFor("/opt/v1.2/tamarind2"), "/opt/v1.2/tamarind2.log");
  EXPECT_FALSE(RunningProgramPath().empty());
  EXPECT_EQ(RunningProgramPath().front(), '/');
}

TEST(LogPath, FallbackFolderFollowsXdgStateHome) {
  {
    ScopedEnv state("XDG_STATE_HOME", "/var/state-test");
    EXPECT_EQ(FallbackLogFolder(), "/var/state-test/tamarind2");
  }
  ScopedEnv home("HOME", "/home/tester");
  {
    ScopedEnv state("XDG_STATE_HOME", nullptr);
    EXPECT_EQ(FallbackLogFolder(), "/home/tester/.local/state/tamarind2");
  }
  ScopedEnv relative("XDG_STATE_HOME", "relative/state");
  EXPECT_EQ(FallbackLogFolder(), "/home/tester/.local/state/tamarind2");
}

class ErrorLogFiles : public ::testing::Test {
 protected:
  tamtest::TempDir dir;
  FixedClock clock;
  QLocale japanese{QLocale::Japanese, QLocale::Japan};
  ScopedEnv state{"XDG_STATE_HOME", (dir / "state").c_str()};
};

TEST_F(ErrorLogFiles, FirstErrorCreatesTheLogLaterOnesAppend) {
  ErrorLog log(dir / "tamarind2", clock, japanese);
  EXPECT_EQ(log.Write("最初"), dir / "tamarind2.log");
  EXPECT_EQ(ReadText(dir / "tamarind2.log"), "2007/05/12 9:05:07:最初\r\n");

  clock.now = QDateTime(QDate(2007, 5, 13), QTime(0, 0));
  log.Write("二番目");
  EXPECT_EQ(ReadText(dir / "tamarind2.log"), "2007/05/12 9:05:07:最初\r\n2007/05/13:二番目\r\n");
  EXPECT_FALSE(tamtest::Exists(dir / "state"));
}

TEST_F(ErrorLogFiles, LogOfAnEarlierRunKeepsItsContent) {
  tamtest::WriteText(dir / "prog.log", "old line\r\nno end");
  ErrorLog log(dir / "prog.bin", clock, japanese);
  log.Write("new");
  EXPECT_EQ(ReadText(dir / "prog.log"), "old line\r\nno end2007/05/12 9:05:07:new\r\n");
}

TEST_F(ErrorLogFiles, FolderNamedLikeTheLogSendsTheLineToTheStateFolder) {
  ASSERT_EQ(::mkdir((dir / "tamarind2.log").c_str(), 0755), 0);
  ErrorLog log(dir / "tamarind2", clock, japanese);
  EXPECT_EQ(log.Write("x"), dir / "state/tamarind2/tamarind2.log");
  log.Write("y");
  EXPECT_EQ(ReadText(dir / "state/tamarind2/tamarind2.log"),
            "2007/05/12 9:05:07:x\r\n2007/05/12 9:05:07:y\r\n");
  struct stat st;
  ASSERT_EQ(::stat((dir / "state/tamarind2").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u) << "the state folder is private to its user";
}

// A FIFO under the log's name would hold the program in open() until some
// reader came, the error box never shown: it is passed over at once.
TEST_F(ErrorLogFiles, FifoNamedLikeTheLogSendsTheLineToTheStateFolderAtOnce) {
  const std::string fifo = dir / "tamarind2.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  ErrorLog log(dir / "tamarind2", clock, japanese);
  auto written = std::async(std::launch::async, [&] { return log.Write("x"); });
  if (written.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer go
    written.wait();
    ::close(reader);
    FAIL() << "writing the log waited for a reader of the FIFO";
  }
  EXPECT_EQ(written.get(), dir / "state/tamarind2/tamarind2.log");
  EXPECT_EQ(ReadText(dir / "state/tamarind2/tamarind2.log"), "2007/05/12 9:05:07:x\r\n");
}

TEST_F(ErrorLogFiles, ReadOnlyProgramFolderSendsTheLineToTheStateFolder) {
  // Root writes into a folder without write bits; /proc takes no new files
  // from anyone.
  std::string program = dir / "ro/tamarind2";
  ASSERT_EQ(::mkdir((dir / "ro").c_str(), 0555), 0);
  if (::geteuid() == 0) program = "/proc/tamarind2";
  ErrorLog log(program, clock, japanese);
  EXPECT_EQ(log.Write("読み取り専用"), dir / "state/tamarind2/tamarind2.log");
  EXPECT_EQ(ReadText(dir / "state/tamarind2/tamarind2.log"), "2007/05/12 9:05:07:読み取り専用\r\n");
}

// An installed program's folder is writable to root: root's log still goes to
// root's state folder, never into /usr/bin.
TEST_F(ErrorLogFiles, InstalledProgramLogsInTheStateFolderEvenAsRoot) {
  const std::string name = "tamarind2-log-test-" + std::to_string(::getpid());
  for (const std::string folder : {"/usr/bin", "/usr/local/bin", "/opt/tamarind2"}) {
    ErrorLog log(folder + "/" + name, clock, japanese);
    EXPECT_EQ(log.Write("x"), dir / "state/tamarind2/tamarind2.log") << folder;
    EXPECT_FALSE(tamtest::Exists(folder + "/" + name + ".log")) << folder;
    ::unlink((folder + "/" + name + ".log").c_str());
  }
  // This build's own install folder is one too, wherever it lies.
  EXPECT_FALSE(LogBesideProgram(dir / "bin/tamarind2", dir / "bin"));
  EXPECT_TRUE(LogBesideProgram(dir / "tamarind2", dir / "bin"));
}

// Modes do not bind root, so the rule is seen as the user nobody: a folder
// of root's is somebody else's even where anyone may write in it, and
// nobody's own folder keeps the log beside the program.
TEST_F(ErrorLogFiles, FolderOfAnotherUserKeepsNoLogEvenWhereAnyoneMayWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  // Root drops nothing into a user's folder.
  tamtest::TempDir users;
  ASSERT_EQ(::lchown(users.path().c_str(), 65534, 65534), 0);
  ErrorLog log(users / "tamarind2", clock, japanese);
  EXPECT_EQ(log.Write("c"), dir / "state/tamarind2/tamarind2.log");
  EXPECT_FALSE(tamtest::Exists(users / "tamarind2.log"));

  tamtest::TempDir roots;
  ASSERT_EQ(::chmod(roots.path().c_str(), 0777), 0);
  ASSERT_EQ(::mkdir((dir / "own").c_str(), 0755), 0);
  const int outcome = tamtest::RunUnprivileged(dir.path(), [&] {
    ErrorLog theirs(roots / "tamarind2", clock, japanese);
    if (theirs.Write("a") != dir / "state/tamarind2/tamarind2.log") return 1;
    ErrorLog own(dir / "own/tamarind2", clock, japanese);
    return own.Write("b") == dir / "own/tamarind2.log" ? 0 : 2;
  });
  if (outcome == tamtest::kNoUnprivilegedUser) GTEST_SKIP() << "no unprivileged user";
  EXPECT_EQ(outcome, 0);
  EXPECT_FALSE(tamtest::Exists(roots / "tamarind2.log"));
  EXPECT_EQ(ReadText(dir / "state/tamarind2/tamarind2.log"),
            "2007/05/12 9:05:07:c\r\n2007/05/12 9:05:07:a\r\n");
}

// Whoever may write in the state folder could leave a link there to a file
// of root's; the line is never written through it, nor into a folder or a
// file that belongs to somebody else.
TEST_F(ErrorLogFiles, StateFolderLinkOrStrangersFilesAreNeverWrittenThrough) {
  const std::string program = "/usr/bin/tamarind2-log-test-" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir((dir / "state").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((dir / "state/tamarind2").c_str(), 0700), 0);
  tamtest::WriteText(dir / "victim", "keep");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "state/tamarind2/tamarind2.log").c_str()), 0);
  ErrorLog log(program, clock, japanese);
  EXPECT_THROW(log.Write("x"), Error);
  EXPECT_EQ(ReadText(dir / "victim"), "keep");

  if (::geteuid() != 0) return;
  ASSERT_EQ(::unlink((dir / "state/tamarind2/tamarind2.log").c_str()), 0);
  tamtest::WriteText(dir / "state/tamarind2/tamarind2.log", "theirs\n");
  ASSERT_EQ(::chown((dir / "state/tamarind2/tamarind2.log").c_str(), 65534, 65534), 0);
  EXPECT_THROW(log.Write("x"), Error);
  EXPECT_EQ(ReadText(dir / "state/tamarind2/tamarind2.log"), "theirs\n");
  ASSERT_EQ(::unlink((dir / "state/tamarind2/tamarind2.log").c_str()), 0);
  ASSERT_EQ(::chown((dir / "state/tamarind2").c_str(), 65534, 65534), 0);
  EXPECT_THROW(log.Write("x"), Error);
  EXPECT_FALSE(tamtest::Exists(dir / "state/tamarind2/tamarind2.log"));
}

// Root run with a user's $HOME (sudo keeps it on some systems) makes no
// folders of its own among that user's files.
TEST(LogPath, HomeOfAnotherUserIsPassedOver) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a folder to another user";
  tamtest::TempDir home;
  ASSERT_EQ(::chown(home.path().c_str(), 65534, 65534), 0);
  ScopedEnv state("XDG_STATE_HOME", nullptr);
  ScopedEnv user_home("HOME", home.path().c_str());
  const passwd* pw = ::getpwuid(::geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(FallbackLogFolder(), std::string(pw->pw_dir) + "/.local/state/tamarind2");
}

TEST_F(ErrorLogFiles, NowhereToWriteIsAnError) {
  ScopedEnv nowhere("XDG_STATE_HOME", "/proc/no-such-state");
  ErrorLog log("/proc/tamarind2", clock, japanese);
  EXPECT_THROW(log.Write("lost"), Error);
}

}  // namespace
}  // namespace tam
