// The save command of the main window.
#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

#include <exception>
#include <memory>

#include "engine.h"
#include "export_job.h"
#include "launcher_progress.h"
#include "main_window.h"
#include "messages.h"
#include "progress_window.h"
#include "save_command.h"
#include "save_dialog.h"
#include "slider.h"
#include "spectrum_display.h"

LauncherProgress& MainWindow::launcherProgress() {
  if (!launcherProgress_) launcherProgress_ = new LauncherProgress(this);
  return *launcherProgress_;
}

ProgressWindow& MainWindow::progressWindow() {
  if (!progressWindow_) progressWindow_ = new ProgressWindow(this, scale_, launcherProgress());
  return *progressWindow_;
}

// The job runs while the progress window is modal, so nothing in this
// window can touch the player or the chain until it has ended; the job is
// waited for and destroyed before this returns, so it never outlives the
// window.
void MainWindow::save() {
  if (!engine_ || !engine_->player.Loaded || measuringBpm_) return;
  Player& player = engine_->player;
  ProgressWindow& progress = progressWindow();

  SaveDialog dialog(this, scale_);
  dialog.setSourceName(player.FileName);
  dialog.selectType(settings_.encoder.typeIndex);
  dialog.setFolder(QString::fromStdString(settings_.folders.recentOut));
  dialog.selectName(ProposedSaveName(player.FileName));
  dialog.selectBitrate(settings_.encoder.bitrateIndex);
  if ((runSaveDialog ? runSaveDialog(dialog) : dialog.exec()) != QDialog::Accepted) return;

  const QFileInfo output(dialog.outputName());
  settings_.folders.recentOut = (output.absolutePath() + QLatin1Char('/')).toStdString();
  // The display rests while the file is rendered.
  spectrum_->clear();
  player.Stop();
  // An end of playback reported before the stream stopped has nothing left
  // to end; handled during the export, it would rewind the job's reader.
  QCoreApplication::removePostedEvents(this, kPlaybackEndedEvent);
  settings_.encoder.typeIndex = dialog.typeIndex();
  // The row's choice lasts for the run, whichever type it was hidden for.
  settings_.encoder.bitrateIndex = dialog.bitrateIndex();
  settings_.encoder.bitrateKbps = kBitrateTable[size_t(settings_.encoder.bitrateIndex - 1)];

  SaveRequest request;
  request.chosenName = dialog.chosenName().toStdString();
  request.typeIndex = settings_.encoder.typeIndex;
  request.speedPosition = effectSliders_[0]->position();
  request.tempoPosition = effectSliders_[1]->position();
  request.bitrateKbps = settings_.encoder.bitrateKbps;
  request.overwrite = dialog.overwriteConfirmed();
  const bool loopSet = loopStartMs_ >= 0 && loopEndMs_ > loopStartMs_;
  if (loopSet) {
    const QString question = QStringLiteral("A loop is set (A %1 – B %2).\nSave only the loop?")
                                 .arg(ElapsedTimeText(uint32_t(loopStartMs_)), ElapsedTimeText(uint32_t(loopEndMs_)));
    const bool loopOnly = askSaveLoopOnly
                              ? askSaveLoopOnly(question)
                              : QMessageBox::question(this, QStringLiteral("Pitchwell"), question) == QMessageBox::Yes;
    if (loopOnly) {
      request.fromMs = loopStartMs_;
      request.toMs = loopEndMs_;
    }
  }

  std::unique_ptr<ExportJob> job;
  try {
    job = CreateExport(*engine_, request, &progress);
  } catch (const std::exception& e) {
    pw::ShowMessage(pw::MessageKind::Error, e.what());
    return;
  }
  ExportJob* running = job.get();
  progress.prepare(QString::fromStdString(job->options().outName), [running] { running->cancel(); });
  job->start();
  progress.exec();  // returns when the job has closed the window
  // Still open, the modal run was ended by the application quitting (a
  // signal, the session's end): the save is called off like Cancel, which
  // removes its temporary file, rather than waited for to the end.
  if (progress.isVisible()) progress.cancelJob();
  job->wait();
  // Should the modal run have ended early (the application quitting), the
  // job's close is handled now, before the job goes.
  QCoreApplication::sendPostedEvents(&progress, kExportClosedEvent);
  const ExportOutcome outcome = job->outcome();
  job.reset();
  // The export took the practice loop off the engine; it goes back on.
  if (loopSet) setLoop(uint32_t(loopStartMs_), uint32_t(loopEndMs_));
  showSaveOutcome(outcome);
}

// A cancel shows nothing; a saved file shows only what the writer or the
// job had to say about it.
void MainWindow::showSaveOutcome(const ExportOutcome& outcome) {
  if (outcome.cancelled) return;
  if (!outcome.failure.empty()) pw::ShowMessage(pw::MessageKind::Error, outcome.failure, outcome.failureCaption);
  for (const pw::Message& m : outcome.messages) pw::ShowMessage(m.kind, m.text, m.caption);
}
