// SPDX-License-Identifier: MIT
#include "app/uProgress.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include "app/frame_hints.h"

bool AbortRequested = false;

// A caption and a fixed frame: no system menu and no buttons. Window managers
// read the buttons from these flags and the frame hints (showEvent); the
// fixed size is what keeps the ones that ignore them (openbox) from
// maximising it.
TfrmProgress::TfrmProgress(QWidget* owner)
    : QWidget(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint) {
  setWindowTitle(QStringLiteral("処理中..."));
  // A window does not take its owner's font by itself: the design's font,
  // that of the main window, is given to it, and so to its controls.
  if (owner) setFont(owner->font());
  setFixedSize(169, 86);
  setAttribute(Qt::WA_DeleteOnClose, false);

  // The text starts at "0 %": the first file may take a while, and a
  // placeholder would be on screen for all of it.
  lblProgress = new QLabel(QStringLiteral("0 %"), this);
  lblProgress->setObjectName(QStringLiteral("lblProgress"));
  lblProgress->move(8, 8);
  lblProgress->adjustSize();

  pgbarProgress = new QProgressBar(this);
  pgbarProgress->setObjectName(QStringLiteral("pgbarProgress"));
  pgbarProgress->setGeometry(8, 29, 150, 16);
  pgbarProgress->setRange(0, 100);
  pgbarProgress->setValue(0);
  pgbarProgress->setTextVisible(false);

  Button1 = new QPushButton(QStringLiteral("中止"), this);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setGeometry(48, 54, 65, 25);
  connect(Button1, &QPushButton::clicked, this, &TfrmProgress::Button1Click);

  FormCreate();
  // The owner's coming back from the task bar brings this window back too,
  // where the window manager does not.
  if (owner) owner->installEventFilter(this);
}

void TfrmProgress::FormCreate() { AbortRequested = false; }

// The run stops after the file in hand, which may take a moment: the button
// goes grey at once, so the click is seen to be taken.
void TfrmProgress::Button1Click() {
  AbortRequested = true;
  Button1->setEnabled(false);
}

void TfrmProgress::SetProgressPosition(int value) {
  pgbarProgress->setValue(value);
  pgbarProgress->repaint();
}

void TfrmProgress::SetProgressText(const QString& value) {
  lblProgress->setText(value);
  lblProgress->adjustSize();
  repaint();
}

void TfrmProgress::ShowCentred() {
  if (QWidget* owner = parentWidget()) {
    const QRect frame = owner->frameGeometry();
    move(frame.center() - QPoint(width() / 2, height() / 2));
  }
  show();
}

void TfrmProgress::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  RequestFrame(this, tam::Frame::kCaptionOnly);
}

void TfrmProgress::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // The window holds the only abort control of the run, so it is not to be
  // minimised on its own; a window manager that still offers it gets it back.
  // Minimised with its owner, it stays with the owner and comes back with it.
  if (event->type() == QEvent::WindowStateChange && isMinimized()) RestoreOnceHidden(0);
}

bool TfrmProgress::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() && event->type() == QEvent::WindowStateChange && isMinimized() &&
      !parentWidget()->isMinimized())
    RestoreOnceHidden(0);
  return QWidget::eventFilter(watched, event);
}

// The window comes back a moment after it went, so the user sees that it
// did go and that it is not to be put away. The window manager tells of the
// minimising before it has taken the window off the screen, and a request to
// show a window that is still there is lost, so the request waits until the
// window has gone (a window manager that keeps minimised windows on the
// screen gets it within a second).
void TfrmProgress::RestoreOnceHidden(int attempt) {
  constexpr int kFirstLook = 250;  // ms
  constexpr int kInterval = 20;    // ms
  constexpr int kAttempts = 25;
  QTimer::singleShot(attempt == 0 ? kFirstLook : kInterval, this, [this, attempt] {
    if (!isMinimized()) return;
    if (const QWidget* owner = parentWidget(); owner && owner->isMinimized()) return;
    const QWindow* window = windowHandle();
    if (window && window->isExposed() && attempt + 1 < kAttempts) {
      RestoreOnceHidden(attempt + 1);
      return;
    }
    showNormal();
  });
}

void TfrmProgress::closeEvent(QCloseEvent* event) {
  // The window has no close button; a close request from the window manager
  // is taken as a wish to stop, like the abort button.
  Button1Click();
  event->ignore();
}
