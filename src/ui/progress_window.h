// The modal window shown while a file is saved: the output path, a progress
// bar with the percent done and an estimate of the time left, and Cancel. It has no close box and Esc does not close it: only the
// export job closes it, when the output is complete or removed. It is the
// job's ExportProgress: reportProgress and reportEnd come from the job's
// thread and reach the window as posted events (ExportProgressEvent,
// ExportClosedEvent), handled on the main thread in the order posted, so the
// end arrives once and after every progress report.
//
// While shown, the same progress goes to the launcher entry (LauncherProgress).
//
// Main thread owns every member; reportProgress and reportEnd are the only
// calls from another thread (they touch nothing but the event queue).
#pragma once

#include <QDialog>
#include <QEvent>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

#include "export/export_job.h"

class LauncherProgress;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

// Posted by reportProgress: the percent of the source read and the bytes
// written so far.
constexpr QEvent::Type kExportProgressEvent = QEvent::Type(QEvent::User + 1);

class ExportProgressEvent : public QEvent {
 public:
  ExportProgressEvent(int percent, int64_t totalWrittenBytes)
      : QEvent(kExportProgressEvent), percent(percent), totalWrittenBytes(totalWrittenBytes) {}
  const int percent;
  const int64_t totalWrittenBytes;
};

// Posted by reportEnd: the job has ended with this outcome.
constexpr QEvent::Type kExportClosedEvent = QEvent::Type(QEvent::User + 2);

class ExportClosedEvent : public QEvent {
 public:
  explicit ExportClosedEvent(ExportOutcome outcome) : QEvent(kExportClosedEvent), outcome(std::move(outcome)) {}
  const ExportOutcome outcome;
};

// The time an export still needs, from the share done (0 … 1) and the
// seconds it has taken so far, at the pace so far: nothing until the
// estimate means something (some of it done, and a second gone or 3 % done)
// and nothing once all is done.
std::optional<double> RemainingSeconds(double fraction, double elapsedSeconds);
// The same as the window words it: "about 0:35 left" (m:ss, h:mm:ss from an
// hour on, whole seconds, at least 0:01), or empty.
QString TimeLeftText(double fraction, double elapsedSeconds);

// The window's estimate, smoothed over the updates so that a block slower
// or faster than the rest moves it only a little: between two updates the
// last estimate counts down by the time passed, and each update moves it a
// part of the way towards the new raw estimate. Pure (no clock of its own);
// a plain value, used by whichever thread holds it (the window's: main).
class TimeLeftEstimate {
 public:
  // How far each update moves the estimate towards the raw one.
  static constexpr double kWeight = 0.3;
  // The text after this update (TimeLeftText's forms); an update without a
  // meaningful estimate starts the smoothing afresh.
  QString update(double fraction, double elapsedSeconds);
  void reset() { seconds_.reset(); }

 private:
  std::optional<double> seconds_;  // the smoothed estimate at elapsed_
  double elapsed_ = 0;
};

class ProgressWindow : public QDialog, public ExportProgress {
  Q_OBJECT

 public:
  // Client area at 96 dpi, scaled by `scale` (the main window's).
  static constexpr QSize kDesignedSize{433, 155};

  ProgressWindow(QWidget* parent, float scale, LauncherProgress& launcher);

  // Before the job starts: the output path shown (shortened in the middle
  // when it does not fit) and what Cancel does (the job's Cancel; empty:
  // nothing). Cancel runs it once per job, however often it is pressed.
  void prepare(const QString& outputPath, std::function<void()> cancel);

  // ExportProgress, from the job's thread.
  void reportProgress(int percent, int64_t totalWrittenBytes) override;
  void reportEnd(const ExportOutcome& outcome) override;

  // The outcome the job closed the window with (the last job's).
  const ExportOutcome& outcome() const { return outcome_; }
  // What Cancel does, for a save the program itself calls off (it is
  // quitting); once per job like the button.
  void cancelJob() { cancelPressed(); }
  QString outputPath() const { return path_; }
  int percent() const;
  // Beside the bar: "42 %", and the time left ("about 0:35 left") once it
  // is meaningful, else empty.
  QString percentText() const;
  QString timeLeftText() const;

  // The steady clock the time left is reckoned by, in milliseconds; tests
  // set their own. The job's time runs from prepare().
  std::function<int64_t()> clockMs;

 public slots:
  // Does nothing: the window closes only when the job has ended.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void customEvent(QEvent* event) override;

 private:
  void cancelPressed();
  void showProgress(int percent);
  void jobEnded(const ExportOutcome& outcome);
  void elidePath();
  // The percent and the time left sit at the right of the progress group's
  // title row, above the bar's end, each as wide as its text.
  void placeProgressTexts();

  LauncherProgress& launcher_;
  QGroupBox* outputGroup_ = nullptr;
  QLabel* pathLabel_ = nullptr;
  QGroupBox* progressGroup_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QLabel* percentLabel_ = nullptr;
  QLabel* timeLeftLabel_ = nullptr;
  QPushButton* cancelButton_ = nullptr;

  QString path_;
  std::function<void()> cancel_;
  bool cancelled_ = false;
  bool ending_ = false;  // the job's close is being carried out
  int64_t startMs_ = 0;  // clockMs() at prepare()
  TimeLeftEstimate timeLeft_;
  ExportOutcome outcome_;
};
