#include "main_window.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <exception>

#include "engine.h"
#include "knob.h"
#include "messages.h"
#include "skin_button.h"
#include "slider.h"
#include "slider_mapping.h"
#include "spectrum_display.h"
#include "ui_scale.h"

namespace {

constexpr int kTickMs = 25;

// Bounds at 96 dpi.
constexpr QRect kNameBounds{21, 115, 355, 13};
constexpr QRect kTimeBounds{288, 38, 88, 29};
constexpr QRect kBpmBounds{288, 80, 88, 29};
constexpr int kValueLabelLefts[5] = {45, 116, 187, 258, 329};
constexpr int kValueLabelTop = 180;
constexpr QSize kValueLabelSize{54, 13};
constexpr QRect kKnobBounds{411, 38, 86, 86};
constexpr int kSliderLefts[5] = {44, 115, 186, 257, 328};
constexpr int kSliderTop = 194;
constexpr QSize kSliderSize{25, 154};
constexpr QRect kPositionBounds{264, 140, 250, 21};
constexpr QSize kColumnButtonSize{97, 26};
constexpr int kColumnLeft = 405;
constexpr int kColumnTops[4] = {180, 214, 248, 282};
constexpr QSize kTransportSize{81, 28};
constexpr int kTransportTop = 137;
constexpr int kTransportLefts[3] = {8, 87, 168};
constexpr QSize kTitleButtonSize{37, 19};
constexpr int kTitleButtonTop = 2;
constexpr int kTitleButtonLefts[3] = {395, 432, 469};

constexpr int kWindowFontPx = 11;  // Tahoma, the window's font
constexpr int kTimeFontPx = 24;
constexpr int kBpmFontPx = 19;

const QColor kReadoutText{150, 212, 255};
const QColor kNameText{200, 206, 212};

struct EffectSlider {
  const char* name;
  const char* hint;
  pw::SliderRange range;
  const char* label;  // the value label's caption until the window shows
  const char* labelName;
};

constexpr EffectSlider kEffectSliders[5] = {
    {"speedBar", "Speed change in percents", pw::kSpeedRange, "0%", "shiftLabel"},
    {"tempoBar", "Tempo change in percents", pw::kTempoRange, "0%", "tempoLabel"},
    {"pitchBar", "Pitch change in semitones", pw::kPitchRange, "0 st", "scaleLabel"},
    {"trebleBar", "Treble change in percents", pw::kTrebleRange, "0%", "trebleLabel"},
    {"bassBar", "Bass boost in percents", pw::kBassRange, "0%", "bassLabel"},
};

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

// The screen's logical dots per inch: what the desktop asks applications to
// assume (Xft.dpi on X11); Qt says 96 where it states none.
double ScreenDpi(const QScreen* screen) { return screen ? screen->logicalDotsPerInch() : 96.0; }

}  // namespace

MainWindow::MainWindow(const SettingsStore& store, const QString& startupFile, float scale)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::Window), store_(store) {
  RegisterSkinFonts();
  setWindowTitle(QStringLiteral("Pitchwell"));
  // Only the skin's opaque parts are the window: its alpha where a compositor
  // blends it, and the shape mask (set with the scale) where none does.
  setAttribute(Qt::WA_TranslucentBackground);
  createControls();

  // The start-up order: display, engine, settings, scale, then the file.
  createEngine();
  loadSettings();
  if (scale <= 0.0f) scale = UiScaleForDpi(ScreenDpi(QGuiApplication::primaryScreen()));
  applyScale(scale);
  if (!startupFile.isEmpty()) openFile(startupFile);

  timer_.setObjectName(QStringLiteral("tickTimer"));
  timer_.setInterval(kTickMs);
  connect(&timer_, &QTimer::timeout, this, &MainWindow::tick);
  testPattern_ = qEnvironmentVariable("PITCHWELL_TEST_PATTERN") == QLatin1String("1");
}

// The teardown order: the volume into the settings and the settings saved,
// then the display's pictures, then the engine (which stops the stream before
// its chain goes).
MainWindow::~MainWindow() {
  settings_.volume = volumeKnob_->position();
  Save(settings_, store_);
  timer_.stop();
  delete spectrum_;
  spectrum_ = nullptr;
  engine_.reset();
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
  try {
    engine_ = std::make_unique<Engine>(this);
  } catch (const std::exception&) {
    pw::ShowMessage(pw::MessageKind::Information, "Can not create Playback Channel!");
  }
}

void MainWindow::loadSettings() {
  Load(settings_, store_);
  volumeKnob_->setPosition(settings_.volume);
  settings_.BitrateIndex = 3;
}

// Every bound scaled from its design; fonts by the same factor; the skin
// rendered at the window's exact size, so nothing is stretched.
void MainWindow::applyScale(float scale) {
  scale_ = scale;
  setFixedSize(Skin::sizeAt(scale));
  setFont(SkinFont(Face::Tahoma, kWindowFontPx, scale));
  auto place = [scale](QWidget* w, const QRect& designed) { w->setGeometry(ScaledRect(designed, scale)); };

  spectrum_->setGeometry(SpectrumDisplay::BoundsAtScale(scale));

  place(nameLabel_, kNameBounds);
  place(timeLabel_, kTimeBounds);
  place(bpmLabel_, kBpmBounds);
  nameLabel_->setFont(SkinFont(Face::Tahoma, kWindowFontPx, scale));
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
  update();
}

// The command line's file. Opening it (player, checks, chain, caption) is the
// file-open step's; until that is wired the window only keeps the name.
void MainWindow::openFile(const QString& fileName) { requestedFile_ = fileName; }

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
  valueLabels_[0]->setText(QString::fromStdString(pw::SpeedFromPosition(0).label));
  valueLabels_[1]->setText(QString::fromStdString(pw::TempoFromPosition(0).label));
  valueLabels_[2]->setText(QString::fromStdString(pw::PitchFromPosition(0).label));
  valueLabels_[3]->setText(QString::fromStdString(pw::TrebleFromPosition(0, 0).label));
  valueLabels_[4]->setText(QString::fromStdString(pw::BassFromPosition(0, 0).label));
  bpmLabel_->setText(QString::fromStdString(pw::BpmCaption(0, 0, 0)));
  timer_.start();
}

void MainWindow::tick() {
  // Without an analyser to feed it yet, the display shows a moving test
  // picture on request (screenshots), and rests otherwise.
  if (testPattern_) {
    const auto bins = TestPatternSpectrum(testFrame_++, spectrum_->levelRange());
    spectrum_->showSpectrum(bins);
  }
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
