#include "ui/save_flow.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QWidget>

#include <exception>
#include <memory>

#include "export/export_job.h"
#include "ui/launcher_progress.h"
#include "ui/main_window.h"  // LoopTimeText
#include "core/messages.h"
#include "ui/playback_parameters.h"
#include "ui/progress_window.h"
#include "export/save_command.h"
#include "ui/save_dialog.h"
#include "engine/session.h"
#include "settings/settings_store.h"
#include "ui/slider_mapping.h"

SaveFlow::SaveFlow(QWidget& window, float scale, Settings& settings, const PlaybackParameters& parameters,
                   QObject* parent)
    : QObject(parent), window_(window), scale_(scale), settings_(settings), parameters_(parameters) {}

// The progress window reports to the launcher progress until it goes.
SaveFlow::~SaveFlow() { delete progressWindow_.data(); }

LauncherProgress& SaveFlow::launcherProgress() {
  if (!launcherProgress_) launcherProgress_ = new LauncherProgress(this);
  return *launcherProgress_;
}

ProgressWindow& SaveFlow::progressWindow() {
  if (!progressWindow_) progressWindow_ = new ProgressWindow(&window_, scale_, launcherProgress());
  return *progressWindow_;
}

void SaveFlow::run(const std::string& sourceName) {
  if (const std::optional<SaveRequest> request = ask(sourceName)) render(sourceName, *request);
}

std::optional<SaveRequest> SaveFlow::ask(const std::string& sourceName) {
  SaveDialog dialog(&window_, scale_);
  dialog.setSourceName(sourceName);
  dialog.selectType(settings_.encoder.typeIndex);
  dialog.setFolder(QString::fromStdString(settings_.folders.recentOut));
  dialog.selectName(ProposedSaveName(sourceName, parameters_.values(), dialog.typeIndex(),
                                     pw::LocaleNumberSymbols().decimalPoint));
  dialog.selectBitrate(settings_.encoder.bitrateIndex);
  if ((runDialog ? runDialog(dialog) : dialog.exec()) != QDialog::Accepted) return std::nullopt;

  const QFileInfo output(dialog.outputName());
  settings_.folders.recentOut = (output.absolutePath() + QLatin1Char('/')).toStdString();
  settings_.encoder.typeIndex = dialog.typeIndex();
  // The row's choice lasts for the run, whichever type it was hidden for.
  settings_.encoder.bitrateIndex = dialog.bitrateIndex();
  settings_.encoder.bitrateKbps = kBitrateTable[size_t(settings_.encoder.bitrateIndex - 1)];

  SaveRequest request;
  request.chosenName = dialog.chosenName().toStdString();
  request.typeIndex = settings_.encoder.typeIndex;
  request.values = parameters_.values();
  request.bitrateKbps = settings_.encoder.bitrateKbps;
  request.overwrite = dialog.overwriteConfirmed();
  if (parameters_.loopSet()) {
    const int64_t startMs = parameters_.loopStartMs(), endMs = parameters_.loopEndMs();
    const QString question = QStringLiteral("A loop is set (A %1 – B %2).\nSave only the loop?")
                                 .arg(LoopTimeText(startMs), LoopTimeText(endMs));
    const bool loopOnly =
        askLoopOnly ? askLoopOnly(question)
                    : QMessageBox::question(&window_, QStringLiteral("Pitchwell"), question) == QMessageBox::Yes;
    if (loopOnly) {
      request.fromMs = startMs;
      request.toMs = endMs;
    }
  }
  return request;
}

// The job is waited for and destroyed before this returns, so it never
// outlives the flow or the progress window it reports to.
void SaveFlow::render(const std::string& sourceName, const SaveRequest& request) {
  ProgressWindow& progress = progressWindow();
  // The save's own reading of the file, opened here so that a file gone
  // since says so now.
  std::string problem;
  std::unique_ptr<Session> saveSession = Session::open(sourceName, &problem);
  if (!saveSession) {
    if (!problem.empty()) pw::ShowMessage(pw::MessageKind::Information, problem + "\n" + sourceName);
    return;
  }
  std::unique_ptr<ExportJob> job;
  try {
    job = CreateExport(std::move(saveSession), request, &progress);
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
  showOutcome(outcome);
}

void SaveFlow::showOutcome(const ExportOutcome& outcome) {
  if (outcome.cancelled) return;
  if (!outcome.failure.empty()) pw::ShowMessage(pw::MessageKind::Error, outcome.failure, outcome.failureCaption);
  for (const pw::Message& m : outcome.messages) pw::ShowMessage(m.kind, m.text, m.caption);
}
