// Where the main window's controls are, in window pixels at a scale: the
// real window's layout code, run offscreen in the caller's process, so a
// test or benchmark can click the real program's controls. Header-only; the
// caller links pw_ui and must not have a sound server to reach yet (the
// window opens the sound device).
#pragma once

#include <QLabel>
#include <QPoint>
#include <QRect>

#include <string>

#include "ui/main_window.h"
#include "ui/slider.h"
#include "ui/skin_button.h"
#include "testaudio.h"
#include "widget_app.h"

namespace pwtest {

struct WindowLayout {
  QPoint play;
  QPoint open;
  QPoint save;
  QPoint getBpm;
  QPoint about;
  QPoint pitchThumb;  // the pitch slider at 0: the middle of its track
  QRect pitchLabel;   // the pitch slider's value ("0 st")
  QRect timeLabel;
  QRect bpmLabel;
  QRect spectrum;
  QRect positionSlider;
  QSize size;
  // With the practice drawer open:
  QSize sizeWithDrawer;
  QPoint trainerButton;
  QPoint loopClearButton;
  QRect lane;  // the waveform lane
};

inline WindowLayout MainWindowLayout(float scale = 1.0f) {
  EnsureWidgetApp();
  const std::string settings = TempDir("window-layout");
  MainWindow window(SettingsStore{settings + "/pitchwell.ini", settings + "/"}, QString(), scale);
  auto rect = [&](const char* name) {
    const QWidget* w = window.findChild<QWidget*>(QString::fromLatin1(name));
    return w != nullptr ? QRect(w->mapTo(&window, QPoint(0, 0)), w->size()) : QRect();
  };
  WindowLayout layout;
  layout.play = rect("playButton").center();
  layout.open = rect("openButton").center();
  layout.save = rect("saveButton").center();
  layout.getBpm = rect("bpmButton").center();
  layout.about = rect("aboutButton").center();
  layout.pitchThumb = rect("pitchBar").center();
  layout.pitchLabel = rect("scaleLabel");
  layout.timeLabel = rect("timeLabel");
  layout.bpmLabel = rect("bpmLabel");
  layout.spectrum = rect("spectrumDisplay");
  layout.positionSlider = rect("positionSlider");
  layout.size = window.size();
  window.setPracticeDrawerOpen(true);
  layout.sizeWithDrawer = window.size();
  layout.trainerButton = rect("trainerButton").center();
  layout.loopClearButton = rect("loopClearButton").center();
  layout.lane = rect("waveformLane");
  return layout;
}

}  // namespace pwtest
