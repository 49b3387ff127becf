// The waveform lane in the practice drawer: the song's outline, read on its
// own by a WaveformOverview right after opening, with the playhead, the
// loop and the markers of the model; what the lane asks for goes through
// the window's commands like the keys' and the drawer's.
#include <QInputDialog>

#include "analysis/waveform_overview.h"
#include "engine/session.h"
#include "ui/main_window.h"
#include "ui/playback_parameters.h"
#include "ui/practice_drawer.h"
#include "ui/waveform_lane.h"

void MainWindow::connectLane() {
  WaveformLane* lane = drawer_->lane();
  connect(parameters_, &PlaybackParameters::loopChanged, lane, [this, lane] {
    lane->setLoop(parameters_->loopStartMs(), parameters_->loopEndMs(), parameters_->loopEnabled());
  });
  connect(parameters_, &PlaybackParameters::markersChanged, lane, [this, lane] { showMarkersOnLane(); });
  connect(lane, &WaveformLane::seekRequested, this, [this](int64_t ms) { seekTo(ms); });
  connect(lane, &WaveformLane::loopSelected, this,
          [this](int64_t a, int64_t b) { setLoop(uint32_t(a), uint32_t(b)); });
  connect(lane, &WaveformLane::loopEdgeMoved, this, [this](bool end, int64_t ms) {
    const int64_t a = parameters_->loopStartMs(), b = parameters_->loopEndMs();
    if (end && a >= 0 && ms > a) setLoop(uint32_t(a), uint32_t(ms));
    if (!end && b >= 0 && ms < b) setLoop(uint32_t(ms), uint32_t(b));
  });
  connect(lane, &WaveformLane::markerMoved, this, [this](int index, int64_t ms) { parameters_->moveMarker(index, ms); });
  connect(lane, &WaveformLane::markerDeleteRequested, this, [this](int index) { parameters_->removeMarker(index); });
  connect(lane, &WaveformLane::markerRenameRequested, this, [this](int index) { renameMarker(index); });
}

void MainWindow::showMarkersOnLane() {
  std::vector<LaneMarker> shown;
  for (const SongMarker& m : parameters_->markers()) shown.push_back(LaneMarker{m.ms, m.name});
  drawer_->lane()->setMarkers(std::move(shown));
}

void MainWindow::renameMarker(int index) {
  const auto& markers = parameters_->markers();
  if (index < 0 || index >= int(markers.size())) return;
  const QString current = markers[size_t(index)].name;
  std::optional<QString> name;
  if (askMarkerName) {
    name = askMarkerName(current);
  } else {
    bool ok = false;
    const QString typed = QInputDialog::getText(this, QStringLiteral("Rename marker"), QStringLiteral("Name:"),
                                                QLineEdit::Normal, current, &ok);
    if (ok) name = typed;
  }
  if (name && !name->trimmed().isEmpty()) parameters_->renameMarker(index, name->trimmed());
}

// A new song: its outline starts at once on readings of its own; the lane
// shows whatever is summarised so far. The previous outline goes after the
// lane has let go of it.
void MainWindow::startSongOverview() {
  WaveformLane* lane = drawer_->lane();
  lane->setSummary(nullptr, 0, 0);
  overview_.reset();
  if (!session_) return;
  std::string problem;
  overview_ = WaveformOverview::start(session_->fileName(), &problem);
  const int64_t length = session_->reader().lengthFrames();
  lane->setSummary(overview_ ? &overview_->summary() : nullptr, session_->sampleRate(), length);
  lane->setLoop(parameters_->loopStartMs(), parameters_->loopEndMs(), parameters_->loopEnabled());
  showMarkersOnLane();
  lane->setPlayheadMs(heardPositionMs());
}

void MainWindow::stopSongOverview() {
  if (drawer_ != nullptr) drawer_->lane()->setSummary(nullptr, 0, 0);
  overview_.reset();
}
