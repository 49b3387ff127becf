// SAVE as the user goes through it: the "Save As..." dialog (opening where
// the last save went, on its type and bit rate, with a name proposed from
// the source and the values that are changed), the question whether to save
// only the A–B loop when one is set, then the export on its own reading of
// the file with the progress window modal until the job has ended, then
// what the user must read about the outcome. Playback is not touched: the
// save renders its own session of the file.
//
// It needs no main window: it is given the widget its windows belong to,
// the scale, the settings it reads and updates and the values it renders.
//
// Main thread owns every member; the job it runs reports to the progress
// window from its own thread (see ProgressWindow).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class LauncherProgress;
class PlaybackParameters;
class ProgressWindow;
class QWidget;
class SaveDialog;
struct ExportOutcome;
struct SaveRequest;
struct Settings;

class SaveFlow : public QObject {
  Q_OBJECT

 public:
  // `window`: the dialog's, the questions' and the progress window's
  // parent (the progress window centres on it); `scale`: its skin scale;
  // `settings`: the folder, type and bit rate the dialog opens on, which a
  // save updates; `parameters`: the values rendered and the loop. All must
  // outlive the flow. `parent` owns the flow (may be null).
  SaveFlow(QWidget& window, float scale, Settings& settings, const PlaybackParameters& parameters,
           QObject* parent = nullptr);
  ~SaveFlow() override;

  // The save of `sourceName` (the open file, a path's bytes). Returns once
  // the dialog was cancelled, or the job has ended and its outcome was shown.
  void run(const std::string& sourceName);

  // Tests answer the save dialog with this instead of showing it: it gets
  // the dialog as the user would see it and returns what exec() would.
  std::function<int(SaveDialog&)> runDialog;
  // Whether to save only the loop, asked when one is set; a message box
  // unless replaced (tests answer it).
  std::function<bool(const QString& question)> askLoopOnly;

  // The progress window of the saves and the launcher entry's progress,
  // made on first use and kept.
  ProgressWindow& progressWindow();
  LauncherProgress& launcherProgress();

 private:
  // The dialog and the loop question: what to save, or nothing when the
  // user cancelled. Updates the settings from the dialog's choices.
  std::optional<SaveRequest> ask(const std::string& sourceName);
  // The export of `request` with the progress window, to its end.
  void render(const std::string& sourceName, const SaveRequest& request);
  // A cancel shows nothing; a save shows what the writer or the job had to
  // say about it.
  static void showOutcome(const ExportOutcome& outcome);

  QWidget& window_;
  const float scale_;
  Settings& settings_;
  const PlaybackParameters& parameters_;
  // The progress window is a child of window_ (a dialog needs a widget
  // parent); the flow deletes it before the launcher progress (its own
  // child) that it reports to.
  QPointer<ProgressWindow> progressWindow_;
  LauncherProgress* launcherProgress_ = nullptr;
};
