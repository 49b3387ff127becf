// The main window's side of SAVE: the open file and the test hooks handed
// to the save flow, which does the rest.
#include "ui/main_window.h"
#include "ui/save_flow.h"
#include "engine/session.h"

SaveFlow& MainWindow::saveFlow() {
  if (!saveFlow_) saveFlow_ = new SaveFlow(*this, scale_, settings_, *parameters_, this);
  return *saveFlow_;
}

LauncherProgress& MainWindow::launcherProgress() { return saveFlow().launcherProgress(); }

ProgressWindow& MainWindow::progressWindow() { return saveFlow().progressWindow(); }

void MainWindow::save() {
  if (!session_) return;
  SaveFlow& flow = saveFlow();
  flow.runDialog = runSaveDialog;
  flow.askLoopOnly = askSaveLoopOnly;
  flow.run(session_->fileName());
}
