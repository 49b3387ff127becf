// The main window: one skinned, borderless panel that owns the sound engine
// for the open file and every control the user touches. It is the program's
// controller: start-up builds the engine and the controls in a fixed order,
// closing the window saves the settings and takes everything down again in
// a fixed order.
#pragma once

#include <QByteArray>
#include <QEvent>
#include <QKeySequence>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "memory/song_record.h"
#include "settings/settings_store.h"
#include "ui/skin.h"
#include "analysis/spectrum_analyser.h"
#include "dsp/key_estimator.h"

class Knob;
class Playback;
class SongMemory;
class PlaybackParameters;
class Session;
class QLabel;
class SkinButton;
class Slider;
class SpectrumDisplay;

// The open dialog's filters, "description (patterns)", in the order shown.
QStringList OpenDialogFilters();
// Elapsed time as "hh:mm:ss": at least two digits each, hours unbounded.
QString ElapsedTimeText(uint32_t ms);
// A loop end to the tenth: "1:05.3", "1:02:05.3" from an hour on.
QString LoopTimeText(int64_t ms);
// The position slider's value for a playing position: whole percent of the
// duration, truncated (0 for a duration of 0).
double PositionPercent(uint32_t positionMs, int32_t durationMs);
// Where a release at `x` pixels on a slider `width` pixels wide seeks to:
// the same share of the duration, truncated; left of the slider is 0, right
// of it past the end.
uint32_t SeekTargetMs(int32_t durationMs, double x, int width);

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  // `store`: where the settings are loaded from now and saved to at close
  // (empty: the per-user store). `startupFile`: the file named on the
  // command line, or empty. `scale`: the skin scale; 0 takes it from the
  // screen's logical dots per inch.
  explicit MainWindow(const SettingsStore& store = {}, const QString& startupFile = QString(), float scale = 0.0f);
  ~MainWindow() override;

  float uiScale() const { return scale_; }
  const Settings& settings() const { return settings_; }
  // Writes the settings to the store now, as the window's end does (the
  // desktop session asks for it before it ends).
  void saveSettings();
  // The last file this window was asked to open (whether it opened or not).
  QString requestedFile() const { return requestedFile_; }

  // Opens `fileName` as OPEN, the command line and a drop do: closes the
  // previous file, checks the new one (telling the user what is wrong with
  // it) and readies the chain, the controls and the caption. Does not play.
  void openFile(const QString& fileName);
  // The same for a name given as the bytes the file system knows it by
  // (the command line's, a drop's), which need not be valid UTF-8.
  void openLocalFile(const QByteArray& path);
  // One beat of the 25 ms clock: while playing, the spectrum of what is
  // heard, the elapsed time and the position slider; otherwise the display
  // only lets its bars fall.
  void tick();
  // Playback on the sound device (null when it could not be made).
  Playback* playback() const { return playback_.get(); }
  // The open file's sound path; null while none is open.
  Session* session() const { return session_.get(); }
  // What the user has set: the effect values, practice settings and loop.
  PlaybackParameters& parameters() const { return *parameters_; }
  // True from GET BPM until the measured value has been shown (or the
  // measurement was called off).
  bool measuringBpm() const;

  // What About's "Check updates..." link runs (the program's version
  // checker, which outlives the window).
  void setCheckUpdatesAction(std::function<void()> action);
  // "Send error reports" in the context menu: the remembered setting, and
  // what a change of it runs (the program's version checker's switch).
  // `available` false: this build sends nothing, and the item says so.
  bool sendReports() const { return settings_.sendReports != 0; }
  void setSendReports(bool on);
  void setSendReportsAction(std::function<void(bool)> action) { sendReportsChanged_ = std::move(action); }
  void setReportsAvailable(bool available);
  // The context menu as right-click shows it.
  void fillContextMenu(class QMenu& menu);

  // ---- keyboard and exact values (main_window_keys.cpp) ----
  // The window's keys, each also in the help and a tooltip: Space
  // play/pause, Ctrl+O, Ctrl+S, Left/Right seek 5 s (Shift: 1 s), Home, [ ],
  // L, P, F1, Alt+Left/Right and Ctrl+Left/Right to move the loop's ends.
  struct KeyBinding {
    const char* keys;         // QKeySequence text ("Ctrl+O")
    const char* description;  // for the help
  };
  static const std::vector<KeyBinding>& keyBindings();
  // Play, or pause what plays.
  void togglePlay();
  // Moves the playing place by `ms` (negative: back), within the song.
  void seekBy(int64_t ms);
  void seekTo(int64_t ms);
  // Opens the exact-value editor over effect `index`'s value label.
  void editValue(int index);
  class ValueEditor* valueEditor() const { return valueEditor_; }

  // How an exception on one of the window's workers (the BPM and key
  // measurement) is reported, on the main thread; unset, it is shown.
  void setWorkerFailureReport(std::function<void(const struct ExceptionDescription&)> report);

  // ---- practice tools (main_window_practice.cpp) ----
  // The drawer below the window (P, or "Practice tools" in the context
  // menu). Closed, the window is exactly as it always was.
  bool practiceDrawerOpen() const { return drawerOpen_; }
  void setPracticeDrawerOpen(bool open);
  class PracticeDrawer* practiceDrawer() const { return drawer_; }
  // The A–B loop's commands, carried out by the practice controller
  // (practice_controller.h says what each does).
  void setLoopStartHere();
  void setLoopEndHere();
  void setLoop(uint32_t startMs, uint32_t endMs);
  void clearLoop();
  void toggleLoop();
  void nudgeLoopStart(int ms);
  void nudgeLoopEnd(int ms);
  // Markers (M, comma, period, Ctrl+L): a new marker at the playing
  // position, named "Marker N"; the playing position to the marker before
  // (half a second after a marker counts as at it, so presses while playing
  // walk back) or after it; the loop over the section between the markers
  // around the playing position (from the last marker to the end after it).
  // Each does nothing without an open file, or without such a marker.
  void addMarkerHere();
  void jumpToPreviousMarker();
  void jumpToNextMarker();
  void loopSectionHere();
  // -1 when that end is not set.
  int64_t loopStartMs() const;
  int64_t loopEndMs() const;

  // ---- song memory (main_window_memory.cpp) ----
  // What the window remembers of each song; never null.
  SongMemory& songMemory() const { return *memory_; }
  // Writes what the open song's memory keeps now: its place, loop, markers,
  // trainer plan and, when the song keeps them, the sliders. Opening
  // another song, saving the settings (the window's end) and a short pause
  // after an edit of the markers or the loop do it too.
  void rememberSong();

 protected:
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void customEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void createControls();
  void createEngine();
  void loadSettings();
  void applyScale(float scale);
  void firstShow();
  void connectControls();
  void createShortcuts();
  // "File: name", elided with "…" to the label's width; the whole name in
  // its tooltip.
  void showFileName(const QString& name);
  // PLAY lit while playing, PAUSE while paused.
  void showPlayState();
  void enableButtons(bool on);
  void updateBpmLabel();
  void measureBpm();
  void bpmMeasured(float value, const KeyEstimate& key);
  void cancelBpmMeasurement();
  void workerFailed(const struct ExceptionDescription& failure);
  std::function<void(const struct ExceptionDescription&)> workerFailureReport_;
  void chooseFile();
  void effectSliderMoved(int index, double position);
  // A value of the model changed: the engine, its label, its slider and the
  // captions follow.
  void effectValueChanged(int index);
  // Empties the session's chain (nobody reading) and the analyser.
  void flushSession();
  void play();
  void pause();
  void stop();
  void positionPressed();
  void positionReleased(double x);
  void playbackEnded();

  // ---- save (main_window_save.cpp; the command is SaveFlow) ----
 public:
  // Tests answer the save dialog with this instead of showing it: it gets
  // the dialog as the user would see it and returns what exec() would.
  std::function<int(class SaveDialog&)> runSaveDialog;
  // A marker's new name (nothing: cancelled); tests answer with this
  // instead of the input dialog.
  std::function<std::optional<QString>(const QString& current)> askMarkerName;
  // With a loop set, SAVE asks whether to save only the loop; tests answer
  // with this instead of a message box.
  std::function<bool(const QString& question)> askSaveLoopOnly;
  // The progress window of the saves and the launcher entry's progress,
  // made with the first save (or the first call).
  class ProgressWindow& progressWindow();
  class LauncherProgress& launcherProgress();

 private:
  // SAVE of the open file, with the hooks above.
  void save();
  // Made on first use; a child of the window (Qt frees it); main thread.
  class SaveFlow& saveFlow();
  class SaveFlow* saveFlow_ = nullptr;
  // ---- end save ----

  // ---- help and about (main_window_help.cpp) ----
  void showHelp();
  void showAbout();
  // The About window, a child of this one, made on first use and kept.
  class AboutWindow& aboutWindow();
  class AboutWindow* aboutWindow_ = nullptr;
  std::function<void()> checkUpdates_;
  std::function<void(bool)> sendReportsChanged_;
  bool reportsAvailable_ = true;
  // ---- end help and about ----

  SettingsStore store_;
  Settings settings_;
  float scale_ = 1.0f;
  Skin skin_;
  QString requestedFile_;
  QString shownFileName_;  // the open file's name, as the name label shows it

  // Controls, children of the window (Qt frees them after the destructor).
  SpectrumDisplay* spectrum_ = nullptr;
  QLabel* nameLabel_ = nullptr;
  QLabel* timeLabel_ = nullptr;
  QLabel* bpmLabel_ = nullptr;
  std::array<QLabel*, 5> valueLabels_{};  // speed, tempo, pitch, treble, bass
  Knob* volumeKnob_ = nullptr;
  std::array<Slider*, 5> effectSliders_{};  // speed, tempo, pitch, treble, bass
  Slider* positionSlider_ = nullptr;
  SkinButton* openButton_ = nullptr;
  SkinButton* saveButton_ = nullptr;
  SkinButton* bpmButton_ = nullptr;
  SkinButton* aboutButton_ = nullptr;
  SkinButton* playButton_ = nullptr;
  SkinButton* pauseButton_ = nullptr;
  SkinButton* stopButton_ = nullptr;
  SkinButton* minButton_ = nullptr;
  SkinButton* helpButton_ = nullptr;
  SkinButton* closeButton_ = nullptr;
  class ValueEditor* valueEditor_ = nullptr;
  // The window's keys and what they do (createShortcuts).
  struct KeyAction {
    QKeySequence keys;
    std::function<void()> action;
  };
  std::vector<KeyAction> keyActions_;

  // Drives the time, the position slider and the spectrum display.
  QTimer timer_{this};
  SpectrumAnalyser analyser_;
  // What is being heard, for the analyser: at most half a second of stereo
  // at 44.1 kHz per beat.
  static constexpr size_t kHeardFrames = 22050;
  std::vector<float> heard_ = std::vector<float>(2 * kHeardFrames);
  int32_t measuredBpm_ = 0;  // 0: not measured for the open file
  // GET BPM's measurement; a child of the window. Opening a file, closing
  // the window or a newer measurement calls a running one off.
  class BpmKeyTask* bpmTask_ = nullptr;

  bool shown_ = false;
  bool dragActive_ = false;
  QPoint dragStart_;  // where the left button went down, in window pixels

  // ---- waveform lane (main_window_lane.cpp) ----
  void connectLane();
  void showMarkersOnLane();
  void renameMarker(int index);
  void startSongOverview();
  void stopSongOverview();
  // The open song's outline, read on threads of its own; the lane draws it.
  std::unique_ptr<class WaveformOverview> overview_;

  // ---- song memory (main_window_memory.cpp) ----
  void openSongMemory();
  // After a song opened: its key, then what is remembered of it put back.
  void restoreSong(const QString& fileName, const QByteArray& path);
  SongRecord songRecord() const;
  void fillRecentMenu(class QMenu& menu);
  // A problem of the memory, shown once.
  void sayMemoryProblem();
  std::unique_ptr<SongMemory> memory_;
  std::string songKey_;  // the open song's content key; empty while none
  QString songPath_;
  QTimer rememberTimer_{this};
  bool restoringSong_ = false;

  // ---- practice tools (main_window_practice.cpp) ----
  void createPracticeDrawer();
  void placePracticeDrawer();
  void practiceFileOpened();
  void practiceTick();
  void keyMeasured(const KeyEstimate& key);
  void updateKeyCaption();
  uint32_t heardPositionMs() const;
  class PracticeDrawer* drawer_ = nullptr;
  bool drawerOpen_ = false;
  double drawerReveal_ = 0;  // 0 closed … 1 open, in between while it slides
  class QVariantAnimation* drawerSlide_ = nullptr;
  class PracticeController* practice_ = nullptr;  // a child of the window

  // Declared last: playback goes first (its stream stops before the
  // session it reads), then the session.
  PlaybackParameters* parameters_ = nullptr;  // a child of the window
  bool settingSliders_ = false;  // a slider follows the model: not written back
  std::unique_ptr<Session> session_;
  std::unique_ptr<Playback> playback_;
};

// Posted to the window from the producer thread when a play has been heard
// to its end, with the attach serial it belongs to: an end that arrives
// after another file was opened is not that file's end.
class PlaybackEndedEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = QEvent::Type(QEvent::User + 100);
  explicit PlaybackEndedEvent(uint64_t attachSerial) : QEvent(kType), attachSerial(attachSerial) {}
  const uint64_t attachSerial;
};
