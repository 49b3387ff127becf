#include "progress_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "launcher_progress.h"
#include "skin.h"
#include "ui_scale.h"

namespace {

// Bounds at 96 dpi; those inside a group box are relative to it.
constexpr QRect kOutputGroupBounds{8, 6, 417, 52};
constexpr QRect kPathLabelBounds{16, 24, 385, 17};
constexpr QRect kProgressGroupBounds{8, 64, 417, 50};
constexpr QRect kProgressBarBounds{16, 22, 385, 20};
constexpr QRect kCancelBounds{179, 122, 75, 25};
constexpr int kFontPx = 11;  // the main window's

}  // namespace

ProgressWindow::ProgressWindow(QWidget* parent, float scale, LauncherProgress& launcher)
    // A title but no close box: the job decides when the window goes.
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), launcher_(launcher) {
  setObjectName(QStringLiteral("progressWindow"));
  setWindowTitle(QStringLiteral("Processing..."));
  setModal(true);
  setFont(SkinFont(Face::Tahoma, kFontPx, scale));
  setFixedSize(ScaledRect(QRect(QPoint(0, 0), kDesignedSize), scale).size());

  outputGroup_ = new QGroupBox(QStringLiteral("  Output File:  "), this);
  outputGroup_->setObjectName(QStringLiteral("outputGroup"));
  outputGroup_->setGeometry(ScaledRect(kOutputGroupBounds, scale));
  pathLabel_ = new QLabel(QStringLiteral("..."), outputGroup_);
  pathLabel_->setObjectName(QStringLiteral("pathLabel"));
  pathLabel_->setGeometry(ScaledRect(kPathLabelBounds, scale));

  progressGroup_ = new QGroupBox(QStringLiteral("  Progress  "), this);
  progressGroup_->setObjectName(QStringLiteral("progressGroup"));
  progressGroup_->setGeometry(ScaledRect(kProgressGroupBounds, scale));
  progressBar_ = new QProgressBar(progressGroup_);
  progressBar_->setObjectName(QStringLiteral("progressBar"));
  progressBar_->setRange(0, 100);
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);
  progressBar_->setGeometry(ScaledRect(kProgressBarBounds, scale));

  cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancelButton_->setObjectName(QStringLiteral("cancelButton"));
  cancelButton_->setGeometry(ScaledRect(kCancelBounds, scale));
  connect(cancelButton_, &QPushButton::clicked, this, &ProgressWindow::cancelPressed);
}

void ProgressWindow::prepare(const QString& outputPath, std::function<void()> cancel) {
  path_ = outputPath;
  cancel_ = std::move(cancel);
  cancelled_ = false;
  elidePath();
}

int ProgressWindow::percent() const { return progressBar_->value(); }

void ProgressWindow::reportProgress(int percent, int64_t totalWrittenBytes) {
  QCoreApplication::postEvent(this, new ExportProgressEvent(percent, totalWrittenBytes));
}

void ProgressWindow::reportEnd(const ExportOutcome& outcome) {
  QCoreApplication::postEvent(this, new ExportClosedEvent(outcome));
}

void ProgressWindow::reject() {}

void ProgressWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (QWidget* owner = parentWidget()) {
    const QRect area = owner->window()->geometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  launcher_.SetVisible(true);
}

// The window manager's close (Alt+F4 and the like) is refused while the job
// runs; the job's own close goes through.
void ProgressWindow::closeEvent(QCloseEvent* event) {
  if (ending_) {
    QDialog::closeEvent(event);
    return;
  }
  event->ignore();
}

void ProgressWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void ProgressWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  elidePath();
}

void ProgressWindow::customEvent(QEvent* event) {
  if (event->type() == kExportProgressEvent) {
    showProgress(static_cast<ExportProgressEvent*>(event)->percent);
  } else if (event->type() == kExportClosedEvent) {
    jobEnded(static_cast<ExportClosedEvent*>(event)->outcome);
  } else {
    QDialog::customEvent(event);
  }
}

// The job stops at its next block and cleans up; the window closes when it
// has. A second press has nothing left to ask for.
void ProgressWindow::cancelPressed() {
  if (cancelled_ || !cancel_) return;
  cancelled_ = true;
  cancel_();
}

// The job posts once per block, so most posts repeat the last percent: only
// a change reaches the launcher and the bar (launcher first).
void ProgressWindow::showProgress(int percent) {
  if (progressBar_->value() == percent) return;
  launcher_.SetProgress(percent);
  progressBar_->setValue(percent);
}

void ProgressWindow::jobEnded(const ExportOutcome& outcome) {
  outcome_ = outcome;
  cancel_ = nullptr;  // the job is past cancelling
  launcher_.SetVisible(false);
  if (QWidget* owner = parentWidget()) QApplication::alert(owner->window());
  ending_ = true;
  done(QDialog::Accepted);
  ending_ = false;
}

// Long paths lose their middle, so both the folder's start and the file
// name stay readable.
void ProgressWindow::elidePath() {
  if (path_.isEmpty()) return;
  const QFontMetrics metrics(pathLabel_->font());
  pathLabel_->setText(metrics.elidedText(path_, Qt::ElideMiddle, pathLabel_->width()));
  pathLabel_->setToolTip(path_);
}
