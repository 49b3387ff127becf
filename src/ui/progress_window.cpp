#include "ui/progress_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionGroupBox>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "ui/launcher_progress.h"
#include "ui/skin.h"
#include "ui/ui_scale.h"

namespace {

// Bounds at 96 dpi; those inside a group box are relative to it.
constexpr QRect kOutputGroupBounds{8, 6, 417, 52};
constexpr QRect kPathLabelBounds{16, 24, 385, 17};
constexpr QRect kProgressGroupBounds{8, 64, 417, 50};
constexpr QRect kProgressBarBounds{16, 22, 385, 20};
constexpr QRect kCancelBounds{179, 122, 75, 25};
constexpr int kFontPx = 11;  // the main window's

// Before this much time or this share of the work, the pace so far says
// little about the rest (files being opened, encoders starting).
constexpr double kMeaningfulSeconds = 1.0;
constexpr double kMeaningfulFraction = 0.03;
// Beyond any real export; keeps the conversion to whole seconds defined.
constexpr double kLongestShownSeconds = 99 * 3600.0;

QString LeftText(double seconds) {
  const int64_t s = std::max<int64_t>(1, std::llround(std::min(seconds, kLongestShownSeconds)));
  const int64_t hours = s / 3600, minutes = s / 60 % 60, rest = s % 60;
  const QChar zero(QLatin1Char('0'));
  if (hours > 0)
    return QStringLiteral("about %1:%2:%3 left").arg(hours).arg(minutes, 2, 10, zero).arg(rest, 2, 10, zero);
  return QStringLiteral("about %1:%2 left").arg(minutes).arg(rest, 2, 10, zero);
}

int64_t SteadyClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::optional<double> RemainingSeconds(double fraction, double elapsedSeconds) {
  if (!std::isfinite(fraction) || !std::isfinite(elapsedSeconds) || elapsedSeconds < 0) return std::nullopt;
  if (!(fraction > 0) || fraction >= 1) return std::nullopt;
  if (elapsedSeconds < kMeaningfulSeconds && fraction < kMeaningfulFraction) return std::nullopt;
  return elapsedSeconds * (1 - fraction) / fraction;
}

QString TimeLeftText(double fraction, double elapsedSeconds) {
  const std::optional<double> seconds = RemainingSeconds(fraction, elapsedSeconds);
  return seconds ? LeftText(*seconds) : QString();
}

QString TimeLeftEstimate::update(double fraction, double elapsedSeconds) {
  const std::optional<double> raw = RemainingSeconds(fraction, elapsedSeconds);
  if (!raw) {
    seconds_.reset();
    return {};
  }
  if (seconds_ && elapsedSeconds >= elapsed_) {
    const double counted = std::max(0.0, *seconds_ - (elapsedSeconds - elapsed_));
    seconds_ = counted + kWeight * (*raw - counted);
  } else {
    seconds_ = raw;
  }
  elapsed_ = elapsedSeconds;
  return LeftText(*seconds_);
}

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
  // Filled like the group's title, so the frame line gives way to them.
  const auto makeText = [this](const char* name) {
    auto* label = new QLabel(progressGroup_);
    label->setObjectName(QLatin1String(name));
    label->setAlignment(Qt::AlignCenter);
    label->setAutoFillBackground(true);
    return label;
  };
  percentLabel_ = makeText("percentLabel");
  timeLeftLabel_ = makeText("timeLeftLabel");
  percentLabel_->setText(QStringLiteral("%1 %").arg(progressBar_->value()));
  clockMs = SteadyClockMs;

  cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancelButton_->setObjectName(QStringLiteral("cancelButton"));
  cancelButton_->setGeometry(ScaledRect(kCancelBounds, scale));
  connect(cancelButton_, &QPushButton::clicked, this, &ProgressWindow::cancelPressed);
  placeProgressTexts();
}

void ProgressWindow::prepare(const QString& outputPath, std::function<void()> cancel) {
  path_ = outputPath;
  cancel_ = std::move(cancel);
  cancelled_ = false;
  elidePath();
  startMs_ = clockMs();
  timeLeft_.reset();
  timeLeftLabel_->clear();
  placeProgressTexts();
}

int ProgressWindow::percent() const { return progressBar_->value(); }
QString ProgressWindow::percentText() const { return percentLabel_->text(); }
QString ProgressWindow::timeLeftText() const { return timeLeftLabel_->text(); }

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
  launcher_.setVisible(true);
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
  launcher_.setProgress(percent);
  progressBar_->setValue(percent);
  percentLabel_->setText(QStringLiteral("%1 %").arg(percent));
  timeLeftLabel_->setText(timeLeft_.update(percent / 100.0, double(clockMs() - startMs_) / 1000.0));
  placeProgressTexts();
}

void ProgressWindow::jobEnded(const ExportOutcome& outcome) {
  outcome_ = outcome;
  cancel_ = nullptr;  // the job is past cancelling
  launcher_.setVisible(false);
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

void ProgressWindow::placeProgressTexts() {
  QStyleOptionGroupBox option;
  option.initFrom(progressGroup_);
  option.text = progressGroup_->title();
  option.textAlignment = progressGroup_->alignment();
  option.lineWidth = 1;
  option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
  const QRect title =
      progressGroup_->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, progressGroup_);
  int right = progressBar_->geometry().right() + 1;
  for (QLabel* label : {percentLabel_, timeLeftLabel_}) {
    const bool shown = !label->text().isEmpty();
    label->setVisible(shown);
    if (!shown) continue;
    const QFontMetrics metrics(label->font());
    const int width = metrics.horizontalAdvance(label->text()) + 2 * metrics.horizontalAdvance(QLatin1Char(' '));
    label->setGeometry(right - width, title.top(), width, title.height());
    right -= width;
  }
}
