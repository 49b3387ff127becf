// What the main window remembers of each song (SongMemory): opening a song
// it knows brings back its markers, loop, place and trainer plan (the
// sliders too when the song keeps them); opening another song, closing the
// window and a pause after an edit write them. A memory that cannot be used
// is said once and the window goes on without it.
#include <QFileInfo>
#include <QMenu>

#include <filesystem>

#include "analysis/song_identity.h"
#include "core/messages.h"
#include "decode/audio_file_reader.h"
#include "engine/playback.h"
#include "engine/session.h"
#include "memory/song_memory.h"
#include "ui/main_window.h"
#include "ui/playback_parameters.h"
#include "ui/practice_drawer.h"
#include "ui/skin_button.h"

namespace {
// How long after the last edit of markers or loop they are written: a drag
// of a marker writes once, at its end.
constexpr int kRememberDelayMs = 1500;

QString SongMemoryPath(const SettingsStore& store) {
  // A window given its own settings file (the tests, a portable set-up)
  // keeps its songs beside it; otherwise the user's data folder.
  if (!store.file.empty())
    return QString::fromStdString((std::filesystem::path(store.file).parent_path() / "songs.sqlite").string());
  return SongMemory::DefaultPath();
}
}  // namespace

void MainWindow::openSongMemory() {
  memory_ = std::make_unique<SongMemory>(SongMemoryPath(store_));
  rememberTimer_.setSingleShot(true);
  rememberTimer_.setInterval(kRememberDelayMs);
  connect(&rememberTimer_, &QTimer::timeout, this, [this] { rememberSong(); });
  const auto edited = [this] {
    if (!restoringSong_ && !songKey_.empty()) rememberTimer_.start();
  };
  connect(parameters_, &PlaybackParameters::markersChanged, this, edited);
  connect(parameters_, &PlaybackParameters::loopChanged, this, edited);
  connect(drawer_, &PracticeDrawer::keepForSongToggled, this, [this] { rememberSong(); });
  sayMemoryProblem();
}

void MainWindow::sayMemoryProblem() {
  if (!memory_) return;
  const QString problem = memory_->takeNewProblem();
  if (!problem.isEmpty()) pw::ShowMessage(pw::MessageKind::Warning, problem.toStdString());
}

SongRecord MainWindow::songRecord() const {
  SongRecord record;
  record.positionMs = heardPositionMs();
  if (parameters_->loopSet())
    record.loop = SongLoop{parameters_->loopStartMs(), parameters_->loopEndMs(), parameters_->loopEnabled()};
  record.trainer = drawer_->trainerPlan();
  record.keepSettings = drawer_->keepForSong();
  if (record.keepSettings) record.values = parameters_->values();
  record.markers = parameters_->markers();
  return record;
}

void MainWindow::rememberSong() {
  rememberTimer_.stop();
  if (!memory_ || songKey_.empty()) return;
  memory_->save(songKey_, songPath_, songRecord());
  sayMemoryProblem();
}

// A song is known by its sound, not its name: the key reads the first
// seconds on a reading of its own, so the session's place is untouched.
void MainWindow::restoreSong(const QString& fileName, const QByteArray& path) {
  songKey_.clear();
  songPath_ = QFileInfo(fileName).absoluteFilePath();
  drawer_->setKeepForSong(false);
  parameters_->setMarkers({});
  if (!memory_) return;
  AudioFileReader reader(path.toStdString());
  if (!reader.opened()) return;
  songKey_ = SongContentKey(reader);
  const std::optional<SongRecord> record = memory_->load(songKey_);
  sayMemoryProblem();
  if (!record) {
    memory_->save(songKey_, songPath_, songRecord());  // into the recent list
    sayMemoryProblem();
    return;
  }
  restoringSong_ = true;
  parameters_->setMarkers(record->markers);
  if (record->loop) {
    setLoop(uint32_t(record->loop->startMs), uint32_t(record->loop->endMs));
    parameters_->setLoopEnabled(record->loop->enabled);
  }
  drawer_->setTrainerPlan(record->trainer);
  drawer_->setKeepForSong(record->keepSettings);
  if (record->keepSettings) {
    const EffectValues& v = record->values;
    const double values[PlaybackParameters::kEffectCount] = {v.speedPercent, v.tempoPercent, v.pitchSemitones,
                                                              v.treblePercent, v.bassPercent};
    for (int i = 0; i < PlaybackParameters::kEffectCount; ++i)
      parameters_->setValue(PlaybackParameters::Effect(i), values[i]);
  }
  if (record->positionMs > 0 && record->positionMs < session_->durationMs()) seekTo(record->positionMs);
  restoringSong_ = false;
  // Opened now: first in the recent list, under the name it has today.
  memory_->save(songKey_, songPath_, songRecord());
  sayMemoryProblem();
}

// "Open recent": the last ten songs, the latest first; one whose file is
// no longer there is shown greyed.
void MainWindow::fillRecentMenu(QMenu& menu) {
  const std::vector<RecentSong> songs = memory_ ? memory_->recent() : std::vector<RecentSong>{};
  menu.setEnabled(!songs.empty() && openButton_->isEnabled());
  for (const RecentSong& song : songs) {
    QAction* a = menu.addAction(song.title);
    a->setToolTip(song.path);
    a->setEnabled(song.exists);
    const QString path = song.path;
    connect(a, &QAction::triggered, this, [this, path] { openFile(path); });
  }
}
