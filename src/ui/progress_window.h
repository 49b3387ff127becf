// The modal window shown while a file is saved: the output path, a progress
// bar and Cancel. It has no close box and Esc does not close it: only the
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

#include "export_job.h"

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

  LauncherProgress& launcher_;
  QGroupBox* outputGroup_ = nullptr;
  QLabel* pathLabel_ = nullptr;
  QGroupBox* progressGroup_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QPushButton* cancelButton_ = nullptr;

  QString path_;
  std::function<void()> cancel_;
  bool cancelled_ = false;
  bool ending_ = false;  // the job's close is being carried out
  ExportOutcome outcome_;
};
