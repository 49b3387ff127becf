#include "ui/main_window.h"
#include "memory/song_memory.h"
#include "analysis/waveform_overview.h"
#include "ui/practice_drawer.h"
#include "ui/waveform_lane.h"

#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMetaObject>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <exception>

#include "ui/bpm_key_task.h"
#include "analysis/bpm_measurement.h"
#include "services/exception_report.h"
#include "analysis/key_measurement.h"
#include "engine/playback.h"
#include "ui/playback_parameters.h"
#include "engine/session.h"
#include "ui/knob.h"
#include "core/messages.h"
#include "ui/skin_button.h"
#include "ui/slider.h"
#include "ui/slider_mapping.h"
#include "ui/spectrum_display.h"
#include "ui/ui_scale.h"
#include "ui/value_editor.h"
#include "ui/main_window_layout.h"

namespace {

using namespace window_layout;

constexpr int kTickMs = 25;

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QColor& color,
                  Qt::Alignment alignment) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  label->setPalette(palette);
  label->setAlignment(alignment);
  return label;
}

SkinButton* MakeButton(QWidget* parent, const char* name, const QString& caption, const QString& hint) {
  auto* button = new SkinButton(caption, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setToolTip(hint);
  button->setGlass(false);
  return button;
}

// OPEN, SAVE, GET BPM, ABOUT: light keys with dark lettering.
void StyleColumnButton(SkinButton* b) {
  b->setFaceColors(QColor(0xC0, 0xC0, 0xC0), QColor(0xFF, 0xFF, 0xFF));
  b->setHoverFaceColors(QColor(0xC0, 0xC0, 0xC0), QColor(0xFF, 0xFF, 0xFF));
  b->setBevel(true, 1, Qt::white, Qt::white);
  b->setCornerRadius(30);
  b->setCorners(SkinButton::Corner::All);
  b->setSpacing(1, 1);
  QFont font(QStringLiteral("Liberation Sans"));  // stands in for Arial Black
  font.setBold(true);
  b->setCaptionFont(font);
  b->setFontColor(b->palette().color(QPalette::Active, QPalette::WindowText));
  b->setFontHoverColor(b->palette().color(QPalette::Active, QPalette::Highlight));
  b->setFontRatio(31);
}

// PLAY, PAUSE, STOP: one dark bar with round ends.
void StyleTransportButton(SkinButton* b, SkinButton::Corners corners) {
  b->setFaceColors(QColor(0x5F, 0x5F, 0x5F), QColor(0x2A, 0x2A, 0x2A));
  b->setHoverFaceColors(QColor(0x5F, 0x5F, 0x5F), QColor(0x2A, 0x2A, 0x2A));
  b->setBevel(false, 0, Qt::white, Qt::white);
  b->setCornerRadius(30);
  b->setCorners(corners);
  b->setSpacing(1, 1);
  QFont font(QStringLiteral("Liberation Sans"));
  font.setBold(true);
  b->setCaptionFont(font);
  b->setFontColor(Qt::white);
  b->setFontHoverColor(QColor(0x77, 0xCE, 0xFD));
  b->setFontRatio(30);
}

// _, ?, X: the small title keys.
void StyleTitleButton(SkinButton* b, SkinButton::Corners corners, bool close) {
  if (close) {
    b->setFaceColors(QColor(0xFF, 0xB3, 0xB3), QColor(0xFF, 0x00, 0x00));
    b->setHoverFaceColors(QColor(0xFF, 0xD9, 0xD9), QColor(0xFA, 0x03, 0x28));
  } else {
    b->setFaceColors(QColor(0x73, 0x73, 0x73), QColor(0x36, 0x36, 0x36));
    b->setHoverFaceColors(QColor(0xC0, 0xC0, 0xC0), QColor(0x00, 0x00, 0x00));
  }
  b->setBevel(false, 0, Qt::white, Qt::white);
  b->setCornerRadius(100);
  b->setCorners(corners);
  b->setSpacing(0, 0);
  QFont font(QStringLiteral("Tahoma"));
  font.setBold(true);
  b->setCaptionFont(font);
  b->setFontColor(Qt::white);
  b->setFontHoverColor(QColor(0xCF, 0xCF, 0xCF));
  b->setFontRatio(50);
}

struct FileType {
  const char* description;
  const char* patterns;
};

constexpr FileType kOpenFileTypes[] = {
    {"All supported formats", "*.mp3 *.mp2 *.wav *.wma *.flac *.ogg *.aiff *.aif *.m4a *.mp4 *.aac *.ape"},
    {"MP3 Files", "*.mp3 *.mp2"},
    {"WAV Files", "*.wav"},
    {"WMA Files", "*.wma"},
    {"FLAC Files", "*.flac"},
    {"OGG Vorbis Files", "*.ogg"},
    {"AIFF Files", "*.aiff *.aif"},
    {"M4A Files", "*.m4a *.mp4"},
    {"AAC Files", "*.aac"},
    {"APE Files", "*.ape"},
};

QString ZeroTime() { return QStringLiteral("00:00:00"); }

// A file URL's path as the bytes it names: a file manager percent-encodes
// a name that is not UTF-8 byte by byte, which no QString holds.
QByteArray LocalFileBytes(const QUrl& url) {
  return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

// The screen's logical dots per inch: what the desktop asks applications to
// assume (Xft.dpi on X11); Qt says 96 where it states none.
double ScreenDpi(const QScreen* screen) { return screen ? screen->logicalDotsPerInch() : 96.0; }

}  // namespace

QStringList OpenDialogFilters() {
  QStringList filters;
  for (const FileType& type : kOpenFileTypes)
    filters << QStringLiteral("%1 (%2)").arg(QString::fromLatin1(type.description), QString::fromLatin1(type.patterns));
  return filters;
}

QString ElapsedTimeText(uint32_t ms) {
  const uint32_t s = ms / 1000;
  const uint32_t h = s / 3600;
  const uint32_t m = (s % 3600) / 60;
  const uint32_t sec = s - 3600 * h - 60 * m;
  const QChar zero(u'0');
  return QStringLiteral("%1:%2:%3").arg(h, 2, 10, zero).arg(m, 2, 10, zero).arg(sec, 2, 10, zero);
}

double PositionPercent(uint32_t positionMs, int32_t durationMs) {
  if (durationMs <= 0) return 0.0;
  return double(int64_t(positionMs) * 100 / durationMs);
}

uint32_t SeekTargetMs(int32_t durationMs, double x, int width) {
  if (width <= 0 || durationMs <= 0) return 0;
  const int64_t pixel = x < 0 ? 0 : int64_t(std::floor(x));
  const int64_t ms = int64_t(durationMs) * pixel / width;
  return uint32_t(std::min<int64_t>(ms, UINT32_MAX));
}

MainWindow::MainWindow(const SettingsStore& store, const QString& startupFile, float scale)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::Window), store_(store) {
  RegisterSkinFonts();
  setWindowTitle(QStringLiteral("Pitchwell"));
  // Only the skin's opaque parts are the window: its alpha where a compositor
  // blends it, and the shape mask (set with the scale) where none does.
  setAttribute(Qt::WA_TranslucentBackground);
  setAcceptDrops(true);
  createControls();

  // What the display shows of the sound being heard.
  analyser_.setFftSize(1024);
  analyser_.setLogarithmic(false);
  analyser_.setMinY(0);
  analyser_.setMixChannels(true);
  analyser_.setPreEmphasisEnabled(true);
  analyser_.setPreEmphasis(85);
  analyser_.setSampleSkip(1);
  analyser_.setWindowMode(SpectrumWindow::Rectangular);
  analyser_.setListener([this](std::span<const std::int32_t> levels, std::int32_t, std::int32_t) {
    spectrum_->showSpectrum(levels);
  });

  // The start-up order: display, engine, settings, scale, then the file.
  createEngine();
  loadSettings();
  if (scale <= 0.0f) scale = UiScaleForDpi(ScreenDpi(QGuiApplication::primaryScreen()));
  applyScale(scale);
  connectControls();
  createPracticeDrawer();
  connectLane();
  openSongMemory();
  if (settings_.practiceDrawer != 0) setPracticeDrawerOpen(true);
  aboutWindow();  // made now, hidden until ABOUT
  if (!startupFile.isEmpty()) openFile(startupFile);

  timer_.setObjectName(QStringLiteral("tickTimer"));
  timer_.setInterval(kTickMs);
  connect(&timer_, &QTimer::timeout, this, &MainWindow::tick);
}

// The teardown order: a running BPM measurement called off, the volume into
// the settings and the settings saved, then the display's pictures, then the
// engine (which stops the stream before its chain goes).
MainWindow::~MainWindow() {
  cancelBpmMeasurement();
  saveSettings();
  stopSongOverview();
  timer_.stop();
  delete spectrum_;
  spectrum_ = nullptr;
  playback_.reset();
  session_.reset();
}

void MainWindow::saveSettings() {
  rememberSong();
  settings_.volume = volumeKnob_->position();
  Save(settings_, store_);
}

void MainWindow::createControls() {
  spectrum_ = new SpectrumDisplay(this);
  spectrum_->setObjectName(QStringLiteral("spectrumDisplay"));

  nameLabel_ = MakeLabel(this, "nameLabel", QStringLiteral("File:"), kNameText, Qt::AlignLeft | Qt::AlignVCenter);
  timeLabel_ = MakeLabel(this, "timeLabel", QStringLiteral("00:00:00"), kReadoutText, Qt::AlignCenter);
  timeLabel_->setToolTip(QStringLiteral("Playback time"));
  bpmLabel_ = MakeLabel(this, "bpmLabel", QStringLiteral("---"), kReadoutText, Qt::AlignCenter);
  bpmLabel_->setToolTip(QStringLiteral("Original BPM Value/Modified BPM Value"));

  volumeKnob_ = new Knob(this);
  volumeKnob_->setObjectName(QStringLiteral("volumeKnob"));
  volumeKnob_->setToolTip(QStringLiteral("Volume"));
  volumeKnob_->setRange(1, 10000);
  volumeKnob_->setPosition(8000);

  for (int i = 0; i < 5; ++i) {
    const EffectSlider& design = kEffectSliders[i];
    valueLabels_[i] = MakeLabel(this, design.labelName, QString::fromUtf8(design.label), Qt::white,
                                Qt::AlignLeft | Qt::AlignVCenter);
    auto* slider = new Slider(this);
    slider->setObjectName(QString::fromLatin1(design.name));
    slider->setToolTip(QString::fromLatin1(design.hint));
    slider->setDirection(Slider::Direction::Vertical);
    slider->setMinimum(design.range.minimum);
    slider->setMaximum(design.range.maximum);
    slider->setStep(design.range.step);
    slider->setShadow(10);
    slider->setPositionToolTipFormat(QStringLiteral("%.2f"));
    slider->setRulerColor(QColor(0x76, 0x80, 0x85));
    slider->setRulerBorder(QColor(0x47, 0x4D, 0x50));
    effectSliders_[i] = slider;
  }

  positionSlider_ = new Slider(this);
  positionSlider_->setObjectName(QStringLiteral("positionSlider"));
  positionSlider_->setToolTip(QStringLiteral("Playback Position"));
  positionSlider_->setDirection(Slider::Direction::Horizontal);
  positionSlider_->setMinimum(0);
  positionSlider_->setMaximum(100);
  positionSlider_->setStep(5);
  positionSlider_->setWheelControl(false);
  // A click seeks where it lands: no reset to 0, no snap; the keys seek
  // through the window (Left/Right), not through the slider.
  positionSlider_->setCenterReset(false);
  positionSlider_->setCenterSnap(0);
  positionSlider_->setFocusPolicy(Qt::NoFocus);

  valueEditor_ = new ValueEditor(this);
  valueEditor_->setObjectName(QStringLiteral("valueEditor"));
  for (QLabel* label : valueLabels_) label->installEventFilter(this);

  openButton_ = MakeButton(this, "openButton", QStringLiteral("OPEN"), QStringLiteral("Open the audio file"));
  saveButton_ = MakeButton(this, "saveButton", QStringLiteral("SAVE"), QStringLiteral("Save the processed audio file"));
  bpmButton_ = MakeButton(this, "bpmButton", QStringLiteral("GET BPM"), QStringLiteral("Calculate beats per minute"));
  aboutButton_ = MakeButton(this, "aboutButton", QStringLiteral("ABOUT"), QStringLiteral("About Pitchwell"));
  for (SkinButton* b : {openButton_, saveButton_, bpmButton_, aboutButton_}) StyleColumnButton(b);

  using Corner = SkinButton::Corner;
  playButton_ = MakeButton(this, "playButton", QStringLiteral("PLAY"), QStringLiteral("Play"));
  pauseButton_ = MakeButton(this, "pauseButton", QStringLiteral("PAUSE"), QStringLiteral("Pause"));
  stopButton_ = MakeButton(this, "stopButton", QStringLiteral("STOP"), QStringLiteral("Stop"));
  StyleTransportButton(playButton_, Corner::BottomLeft | Corner::TopLeft);
  StyleTransportButton(pauseButton_, Corner::None);
  StyleTransportButton(stopButton_, Corner::TopRight | Corner::BottomRight);

  minButton_ = MakeButton(this, "minButton", QStringLiteral("_"), QStringLiteral("Minimize"));
  helpButton_ = MakeButton(this, "helpButton", QStringLiteral("?"), QStringLiteral("Help"));
  closeButton_ = MakeButton(this, "closeButton", QStringLiteral("X"), QStringLiteral("Exit"));
  StyleTitleButton(minButton_, Corner::BottomLeft, false);
  StyleTitleButton(helpButton_, Corner::None, false);
  StyleTitleButton(closeButton_, Corner::BottomRight, true);
  connect(minButton_, &SkinButton::clicked, this, &QWidget::showMinimized);
  connect(closeButton_, &SkinButton::clicked, this, &QWidget::close);

  // Nothing to save or measure until a file is open.
  saveButton_->setEnabled(false);
  bpmButton_->setEnabled(false);
}

void MainWindow::createEngine() {
  bpmTask_ = new BpmKeyTask([this](float bpm, const KeyEstimate& key) { bpmMeasured(bpm, key); },
                            [this](const ExceptionDescription& failure) { workerFailed(failure); }, this);
  parameters_ = new PlaybackParameters(this);
  connect(parameters_, &PlaybackParameters::valuesChanged, this,
          [this](PlaybackParameters::Effect effect) { effectValueChanged(int(effect)); });
  try {
    playback_ = std::make_unique<Playback>();
    // The producer thread reports the end; the window handles it on its own.
    playback_->setEndHandler(
        [this](uint64_t serial) { QCoreApplication::postEvent(this, new PlaybackEndedEvent(serial)); });
  } catch (const std::exception&) {
    pw::ShowMessage(pw::MessageKind::Information, "Can not create Playback Channel!");
  }
}

void MainWindow::loadSettings() {
  Load(settings_, store_);
  volumeKnob_->setPosition(settings_.volume);
  settings_.encoder.bitrateIndex = 3;
}

// Every bound scaled from its design; fonts by the same factor; the skin
// rendered at the window's exact size, so nothing is stretched.
void MainWindow::applyScale(float scale) {
  scale_ = scale;
  setFixedSize(Skin::sizeAt(scale));  // the drawer, when open, adds its height below
  setFont(SkinFont(Face::Tahoma, kWindowFontPx, scale));
  auto place = [scale](QWidget* w, const QRect& designed) { w->setGeometry(ScaledRect(designed, scale)); };

  spectrum_->setGeometry(SpectrumDisplay::boundsAtScale(scale));

  place(nameLabel_, kNameBounds);
  place(timeLabel_, kTimeBounds);
  place(bpmLabel_, kBpmBounds);
  nameLabel_->setFont(SkinFont(Face::Tahoma, kWindowFontPx, scale));
  if (!shownFileName_.isEmpty()) showFileName(shownFileName_);
  timeLabel_->setFont(SkinFont(Face::Impact, kTimeFontPx, scale));
  bpmLabel_->setFont(SkinFont(Face::Impact, kBpmFontPx, scale));

  // The knob stays round: its side is the scaled height, from the scaled
  // top-left corner.
  const QRect knob = ScaledRect(kKnobBounds, scale);
  volumeKnob_->setGeometry(QRect(knob.topLeft(), QSize(knob.height(), knob.height())));
  volumeKnob_->setScale(scale);

  for (int i = 0; i < 5; ++i) {
    place(valueLabels_[i], QRect(QPoint(kValueLabelLefts[i], kValueLabelTop), kValueLabelSize));
    valueLabels_[i]->setFont(SkinFont(Face::Tahoma, kWindowFontPx, scale));
    effectSliders_[i]->setScale(scale);
    place(effectSliders_[i], QRect(QPoint(kSliderLefts[i], kSliderTop), kSliderSize));
  }
  positionSlider_->setScale(scale);
  place(positionSlider_, kPositionBounds);

  const std::array<SkinButton*, 4> column = {openButton_, saveButton_, bpmButton_, aboutButton_};
  for (int i = 0; i < 4; ++i) place(column[i], QRect(QPoint(kColumnLeft, kColumnTops[i]), kColumnButtonSize));
  const std::array<SkinButton*, 3> transport = {playButton_, pauseButton_, stopButton_};
  for (int i = 0; i < 3; ++i) place(transport[i], QRect(QPoint(kTransportLefts[i], kTransportTop), kTransportSize));
  const std::array<SkinButton*, 3> title = {minButton_, helpButton_, closeButton_};
  for (int i = 0; i < 3; ++i) place(title[i], QRect(QPoint(kTitleButtonLefts[i], kTitleButtonTop), kTitleButtonSize));
  for (SkinButton* b : column) b->setScale(scale);
  for (SkinButton* b : transport) b->setScale(scale);
  for (SkinButton* b : title) b->setScale(scale);

  setMask(skin_.shape(scale));
  placePracticeDrawer();
  update();
}

void MainWindow::connectControls() {
  for (int i = 0; i < 5; ++i)
    connect(effectSliders_[i], &Slider::positionChanged, this, [this, i](double x) { effectSliderMoved(i, x); });
  connect(volumeKnob_, &Knob::positionChanged, this, [this](int position) {
    if (playback_) playback_->setVolume(position);
  });
  connect(openButton_, &SkinButton::clicked, this, &MainWindow::chooseFile);
  connect(playButton_, &SkinButton::clicked, this, &MainWindow::play);
  connect(pauseButton_, &SkinButton::clicked, this, &MainWindow::pause);
  connect(stopButton_, &SkinButton::clicked, this, &MainWindow::stop);
  connect(bpmButton_, &SkinButton::clicked, this, &MainWindow::measureBpm);
  connect(saveButton_, &SkinButton::clicked, this, &MainWindow::save);
  connect(helpButton_, &SkinButton::clicked, this, &MainWindow::showHelp);
  connect(aboutButton_, &SkinButton::clicked, this, &MainWindow::showAbout);
  connect(positionSlider_, &Slider::pressed, this, [this](Qt::MouseButton, QPointF) { positionPressed(); });
  connect(positionSlider_, &Slider::released, this, [this](Qt::MouseButton, QPointF at) { positionReleased(at.x()); });
  for (int i = 0; i < 5; ++i) connect(effectSliders_[i], &Slider::valueEditRequested, this, [this, i] { editValue(i); });
  createShortcuts();
}

void MainWindow::showFileName(const QString& name) {
  shownFileName_ = name;
  const QString prefix = QStringLiteral("File: ");
  const QFontMetrics metrics(nameLabel_->font());
  const int room = std::max(0, nameLabel_->width() - metrics.horizontalAdvance(prefix));
  const QString shown = metrics.elidedText(name, Qt::ElideMiddle, room);
  nameLabel_->setText(prefix + shown);
  nameLabel_->setToolTip(name.isEmpty() ? QString() : name);
}

void MainWindow::enableButtons(bool on) {
  for (SkinButton* b : {saveButton_, bpmButton_, playButton_, pauseButton_, stopButton_}) b->setEnabled(on);
}

void MainWindow::updateBpmLabel() {
  const EffectValues& v = parameters_->values();
  bpmLabel_->setText(QString::fromStdString(pw::LocaleBpmCaption(measuredBpm_, v.speedPercent, v.tempoPercent)));
}

// GET BPM: its task measures the whole unprocessed file from its first
// sample on a reading of its own, so playback goes on meanwhile; only GET
// BPM waits for the result.
void MainWindow::measureBpm() {
  if (!session_ || bpmTask_->running()) return;
  if (bpmTask_->start(session_->fileName())) bpmButton_->setEnabled(false);
}

// The task's result, on the main thread, for the file that is open.
void MainWindow::bpmMeasured(float value, const KeyEstimate& key) {
  measuredBpm_ = MeasuredBpmFrom(value);
  updateBpmLabel();
  keyMeasured(key);
  bpmButton_->setEnabled(session_ != nullptr);
}

void MainWindow::setWorkerFailureReport(std::function<void(const ExceptionDescription&)> report) {
  workerFailureReport_ = std::move(report);
}

// A worker's exception, handed over to the main thread.
void MainWindow::workerFailed(const ExceptionDescription& failure) {
  if (workerFailureReport_) workerFailureReport_(failure);
  else pw::ShowMessage(pw::MessageKind::Error, failure.boxText);
}

void MainWindow::cancelBpmMeasurement() {
  if (!bpmTask_) return;
  const bool wasRunning = bpmTask_->running();
  bpmTask_->cancel();
  if (wasRunning) bpmButton_->setEnabled(session_ != nullptr);
}

bool MainWindow::measuringBpm() const { return bpmTask_ && bpmTask_->running(); }

void MainWindow::openFile(const QString& fileName) { openLocalFile(QFile::encodeName(fileName)); }

// The engine gets the name's bytes as they are: a name that is not valid
// UTF-8 (an old Latin-1 one) is still the file's name. Only what is shown
// decodes it, an undecodable byte as a replacement character.
void MainWindow::openLocalFile(const QByteArray& path) {
  const QString fileName = QFile::decodeName(path);
  requestedFile_ = fileName;
  std::string problem;
  std::unique_ptr<Session> opened = Session::open(path.toStdString(), &problem);
  // A file that cannot be used leaves the open song, its place and every
  // setting as they were; one box says which file and why.
  if (!opened) {
    if (!problem.empty()) pw::ShowMessage(pw::MessageKind::Information, problem + "\n" + path.toStdString());
    return;
  }
  if (playback_ && !playback_->attach(opened.get())) {
    // The device could not play it; the previous song plays on.
    if (session_) playback_->attach(session_.get());
    pw::ShowMessage(pw::MessageKind::Information, "This audio format not supported\n" + path.toStdString());
    return;
  }
  // The previous file's stream is gone: an end it reported but the window
  // has not handled yet no longer belongs to anything open.
  QCoreApplication::removePostedEvents(this, PlaybackEndedEvent::kType);
  rememberSong();  // the song being closed, where it was left
  cancelBpmMeasurement();
  parameters_->clearLoop();  // its frames belong to the file being closed
  session_ = std::move(opened);
  analyser_.clear();
  timeLabel_->setText(ZeroTime());

  const QFileInfo file(fileName);
  settings_.folders.recent = (file.absolutePath() + QLatin1Char('/')).toStdString();
  measuredBpm_ = 0;
  updateBpmLabel();
  positionSlider_->setPosition(0);

  // Opening resets the effects unless the user asked to keep them; the
  // practice settings carry over.
  if (settings_.keepSettings == 0) parameters_->resetEffects();
  session_->chain().setValues(parameters_->values());
  if (playback_) playback_->setVolume(volumeKnob_->position());
  setWindowTitle(file.fileName() + QStringLiteral(" - Pitchwell"));
  showFileName(file.fileName());
  showPlayState();
  enableButtons(true);
  practiceFileOpened();
  startSongOverview();
  restoreSong(fileName, path);
}

// OPEN: the dialog starts where the last file came from.
void MainWindow::chooseFile() {
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);
  // Qt's own dialog, which matches the patterns regardless of case (so
  // SONG.MP3 is listed with song.mp3).
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
  dialog.setNameFilters(OpenDialogFilters());
  const QString recent = QString::fromStdString(settings_.folders.recent);
  if (!recent.isEmpty() && QDir(recent).exists()) dialog.setDirectory(recent);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  openFile(dialog.selectedFiles().constFirst());
}

// A slider moved by the user sets its value in the model.
void MainWindow::effectSliderMoved(int index, double position) {
  if (settingSliders_) return;
  static constexpr double (*kValueAt[5])(double) = {pw::SpeedPercentAt, pw::TempoPercentAt, pw::PitchSemitonesAt,
                                                    pw::TreblePercentAt, pw::BassPercentAt};
  parameters_->setValue(PlaybackParameters::Effect(index), kValueAt[index](position));
}

void MainWindow::effectValueChanged(int index) {
  if (session_) session_->chain().setValues(parameters_->values());
  const double value = parameters_->value(PlaybackParameters::Effect(index));
  static constexpr std::string (*kLabel[5])(double) = {pw::SpeedLabel, pw::TempoLabel, pw::PitchLabel, pw::ToneLabel,
                                                       pw::ToneLabel};
  valueLabels_[index]->setText(QString::fromStdString(kLabel[index](value)));
  // A value set elsewhere (the trainer, a reset) moves its slider; the
  // slider's own signal is not taken back into the model, which keeps the
  // exact value.
  static constexpr std::optional<double> (*kPosition[5])(double) = {
      pw::SpeedPositionFromPercent, pw::TempoPositionFromPercent, pw::PitchPositionFromSemitones,
      pw::TreblePositionFromPercent, pw::BassPositionFromPercent};
  if (const std::optional<double> position = kPosition[index](value)) {
    settingSliders_ = true;
    effectSliders_[index]->setPosition(*position);
    settingSliders_ = false;
  }
  if (index <= 1) updateBpmLabel();  // only speed and tempo change the BPM heard
  if (index == 0 || index == 2) updateKeyCaption();  // speed and pitch move the key
}

void MainWindow::flushSession() {
  analyser_.clear();
  if (session_) session_->flush();
}

void MainWindow::play() {
  if (playback_ && session_) playback_->play();
  showPlayState();
}

void MainWindow::pause() {
  if (playback_ && session_) playback_->pause();
  showPlayState();
}

// The stream stops before the chain is flushed; the display gets one more
// frame of the old spectrum, then its bars fall from the emptied analyser.
void MainWindow::stop() {
  if (!playback_ || !session_) return;
  playback_->stop();
  showPlayState();
  spectrum_->showSpectrum(analyser_.spectrum());
  flushSession();
  positionSlider_->setPosition(0);
  timeLabel_->setText(ZeroTime());
}

// Holding the position slider pauses, so the clock leaves the thumb where
// the user drags it; the release seeks and plays from there.
void MainWindow::positionPressed() {
  if (playback_ && session_) playback_->pause();
  showPlayState();
}

void MainWindow::positionReleased(double x) {
  if (!playback_ || !session_) return;
  playback_->seekMs(SeekTargetMs(int32_t(session_->durationMs()), x, positionSlider_->width()));
  analyser_.clear();
  playback_->play();
  showPlayState();
}

// The player has stopped and rewound at the end of the file.
void MainWindow::playbackEnded() {
  showPlayState();
  flushSession();
  positionSlider_->setPosition(0);
  timeLabel_->setText(ZeroTime());
}

void MainWindow::customEvent(QEvent* event) {
  if (event->type() != PlaybackEndedEvent::kType) {
    QWidget::customEvent(event);
    return;
  }
  const auto* ended = static_cast<PlaybackEndedEvent*>(event);
  if (!playback_ || !session_ || ended->attachSerial != playback_->attachSerial()) return;
  playback_->endOfPlayback();
  playbackEnded();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  cancelBpmMeasurement();
  QWidget::closeEvent(event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  const QList<QUrl> urls = event->mimeData() ? event->mimeData()->urls() : QList<QUrl>();
  if (!urls.isEmpty() && urls.constFirst().isLocalFile()) event->acceptProposedAction();
}

// Only the first of the dropped files is opened.
void MainWindow::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData() ? event->mimeData()->urls() : QList<QUrl>();
  if (urls.isEmpty() || !urls.constFirst().isLocalFile()) return;
  event->acceptProposedAction();
  openLocalFile(LocalFileBytes(urls.constFirst()));
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!shown_) {
    shown_ = true;
    firstShow();
  }
}

// What the window does when it first appears: centred on its screen, the
// controls at neutral, the display in its colours, the clock running.
void MainWindow::firstShow() {
  if (const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen()) {
    const QRect area = s->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  positionSlider_->setPosition(0);
  spectrum_->setColors(kLedColors);
  for (int i = 0; i < PlaybackParameters::kEffectCount; ++i) effectValueChanged(i);
  bpmLabel_->setText(QString::fromStdString(pw::LocaleBpmCaption(0, 0, 0)));
  timer_.start();
}

void MainWindow::tick() {
  if (!playback_ || !session_) return;
  drawer_->lane()->setPlayheadMs(heardPositionMs());  // repaints only when it moves a pixel
  if (playback_->state() != Playback::State::Playing) {
    spectrum_->showSpectrum(analyser_.spectrum());
    return;
  }
  // One period of the clock's worth of what is being heard.
  const int channels = session_->channels();
  const size_t frames = std::min(size_t(session_->sampleRate()) * size_t(kTickMs) / 1000, kHeardFrames);
  const size_t got = playback_->heard(heard_.data(), frames);
  analyser_.setMaxY(spectrum_->levelRange());
  analyser_.analyse(heard_.data(), int32_t(got * size_t(channels) * sizeof(float)), channels);

  const auto ms = uint32_t(playback_->positionMs());
  timeLabel_->setText(ElapsedTimeText(ms));
  positionSlider_->setPosition(PositionPercent(ms, int32_t(session_->durationMs())));
  practiceTick();
}

void MainWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawPixmap(0, 0, skin_.pixmap(scale_));
}

// Dragging the panel moves the window. Only the left button starts a drag;
// releasing any button ends it. The window follows by the distance from the
// press point, computed against the screen so that a move still on its way to
// the window system does not count twice.
void MainWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")) && windowHandle()) {
    windowHandle()->startSystemMove();  // Wayland clients may not place themselves
    return;
  }
  dragActive_ = true;
  dragStart_ = event->position().toPoint();
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!dragActive_) return;
  move(event->globalPosition().toPoint() - dragStart_);
}

void MainWindow::mouseReleaseEvent(QMouseEvent*) { dragActive_ = false; }
