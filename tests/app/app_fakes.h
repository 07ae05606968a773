// SPDX-License-Identifier: MIT
#pragma once
// Fakes for the window's seams: dialogs that answer as told, message boxes
// and beeps that are only counted, a clock that stands still.
#include <functional>

#include "app/seams.h"
#include "picture/trash.h"

namespace tamtest {

class FakeDialogs : public tam::FileDialogs {
 public:
  std::optional<std::vector<std::string>> open_answer;  // nullopt: cancelled
  std::optional<std::string> folder_answer;             // nullopt: cancelled
  std::function<void()> before_answer;                  // may throw
  QString filter, title;
  int open_calls = 0, folder_calls = 0;

  std::optional<std::vector<std::string>> OpenPictures(QWidget*, const QString& f) override {
    ++open_calls;
    filter = f;
    if (before_answer) before_answer();
    return open_answer;
  }
  std::optional<std::string> ChooseFolder(QWidget*, const QString& t) override {
    ++folder_calls;
    title = t;
    if (before_answer) before_answer();
    return folder_answer;
  }
};

class FakeMessages : public tam::MessageBoxes {
 public:
  struct Box {
    QString text, title;
    tam::MessageIcon icon;
    QString detail;
  };
  std::vector<Box> shown;
  std::function<void()> on_show;  // runs as each box is shown
  void Show(QWidget*, const QString& text, const QString& title, tam::MessageIcon icon,
            const QString& detail) override {
    shown.push_back({text, title, icon, detail});
    if (on_show) on_show();
  }
};

class FakeBeeper : public tam::Beeper {
 public:
  int beeps = 0;
  void Beep() override { ++beeps; }
};

class FakeClock : public tam::Clock {
 public:
  QDateTime now{QDate(2007, 5, 12), QTime(9, 5, 7)};
  QDateTime Now() override { return now; }
};

class RecordingTrash : public tam::Trash {
 public:
  std::vector<std::string> moved;
  bool MoveToTrash(const std::string& path) override {
    moved.push_back(path);
    return true;
  }
};

// The fakes a command test gives the window: message boxes and beeps counted,
// the trash recorded, the log beside program_path.
struct CommandFakes {
  std::shared_ptr<FakeMessages> messages = std::make_shared<FakeMessages>();
  std::shared_ptr<FakeBeeper> beeper = std::make_shared<FakeBeeper>();
  std::shared_ptr<RecordingTrash> trash = std::make_shared<RecordingTrash>();

  tam::Seams Seams(const std::string& program_path) const {
    tam::Seams seams;
    seams.dialogs = std::make_shared<FakeDialogs>();
    seams.messages = messages;
    seams.beeper = beeper;
    seams.clock = std::make_shared<FakeClock>();
    seams.trash = trash;
    seams.program_path = program_path;
    return seams;
  }
};

}  // namespace tamtest
