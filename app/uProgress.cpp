#include "app/uProgress.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

bool AbortRequested = false;

// A caption and a fixed frame: no system menu and no buttons. Window managers
// read the buttons from these flags; the fixed size is what makes the ones
// that ignore them (openbox) leave out maximising.
TfrmProgress::TfrmProgress(QWidget* owner)
    : QWidget(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint) {
  setWindowTitle(QStringLiteral("処理中..."));
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
}

void TfrmProgress::FormCreate() { AbortRequested = false; }

void TfrmProgress::Button1Click() { AbortRequested = true; }

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

void TfrmProgress::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // The window holds the only abort control of the run, so it is not to be
  // minimised; a window manager that still offers it gets it back at once.
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) showNormal();
    });
  }
}

void TfrmProgress::closeEvent(QCloseEvent* event) {
  // The window has no close button; a close request from the window manager
  // is taken as a wish to stop, like the abort button.
  AbortRequested = true;
  event->ignore();
}
