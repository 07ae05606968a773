// SPDX-License-Identifier: MIT
#pragma once
// The progress window of the reduce command: a text line, a bar and the
// abort button, always on top of the other windows.
#include <QString>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

// Set false by each new progress window, true by its abort button; read by
// the reduce command between files.
extern bool AbortRequested;

class TfrmProgress : public QWidget {
  Q_OBJECT

 public:
  // Owned by the main window, which disposes of it if it still exists.
  explicit TfrmProgress(QWidget* owner);

  // Both setters repaint at once: the value is on the screen before the run
  // goes on to the next file.
  void SetProgressPosition(int value);
  void SetProgressText(const QString& value);

  // Shows the window centred over its owner, without taking the focus away.
  // The run that shows it destroys it at its end.
  void ShowCentred();

  QLabel* lblProgress;
  QProgressBar* pgbarProgress;
  QPushButton* Button1;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormCreate();
  void Button1Click();
  void RestoreOnceHidden(int attempt);
};
