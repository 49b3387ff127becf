#include "ui/practice_drawer.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "ui/skin.h"
#include "ui/skin_button.h"
#include "ui/ui_scale.h"
#include "ui/waveform_lane.h"

namespace {

// Design geometry at scale 1.0, in the drawer's own pixels (the main
// window is 523 wide).
constexpr int kCaptionLeft = 16, kCaptionWidth = 48;
// The lane across the top, inside the well; the rows of controls below it.
constexpr int kLaneLeft = 14, kLaneTop = 12, kLaneWidth = 495;
constexpr int kRowsTop = kLaneTop + WaveformLane::kDesignHeight;
constexpr int kRow1 = kRowsTop + 14, kRow2 = kRowsTop + 50, kRow3 = kRowsTop + 86, kRow4 = kRowsTop + 114;
constexpr int kRowHeight = 26;
constexpr int kFontPx = 11;

const QColor kAccent(0x77, 0xCE, 0xFD);
const QColor kCaptionGrey(0x9A, 0xA3, 0xAD);

QLabel* MakeText(QWidget* parent, const char* name, const QString& text, const QColor& color) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  label->setPalette(palette);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

SkinButton* MakeKey(QWidget* parent, const char* name, const QString& caption, const QString& hint) {
  auto* b = new SkinButton(caption, parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setToolTip(hint);
  b->setGlass(false);
  b->setFaceColors(QColor(0x5F, 0x5F, 0x5F), QColor(0x2A, 0x2A, 0x2A));
  b->setHoverFaceColors(QColor(0x6A, 0x6A, 0x6A), QColor(0x33, 0x33, 0x33));
  b->setBevel(true, 1, QColor(0x80, 0x80, 0x80), QColor(0x90, 0x90, 0x90));
  b->setCornerRadius(30);
  b->setCorners(SkinButton::Corner::All);
  b->setSpacing(1, 1);
  QFont font(QStringLiteral("Liberation Sans"));
  font.setBold(true);
  b->setCaptionFont(font);
  b->setFontColor(Qt::white);
  b->setFontHoverColor(kAccent);
  b->setFontRatio(34);
  return b;
}

QDoubleSpinBox* MakePercentBox(QWidget* parent, const char* name, double minimum, double maximum, double value) {
  auto* box = new QDoubleSpinBox(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setRange(minimum, maximum);
  box->setDecimals(0);
  box->setSingleStep(1);
  box->setSuffix(QStringLiteral(" %"));
  box->setValue(value);
  box->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // Typed, wheeled or stepped with the arrow keys: the tiny arrow buttons
  // do not fit the skin.
  box->setButtonSymbols(QAbstractSpinBox::NoButtons);
  return box;
}

}  // namespace

PracticeDrawer::PracticeDrawer(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("practiceDrawer"));
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  // The form fields in the skin's colours: dark wells, white figures.
  setStyleSheet(QStringLiteral(
      "QComboBox, QDoubleSpinBox { background: #0E1013; color: white; border: 1px solid #3A3D42;"
      " border-radius: 3px; padding: 0 4px; selection-background-color: #1D86D0; }"
      "QComboBox QAbstractItemView { background: #1C1E22; color: white; selection-background-color: #1D86D0; }"));

  lane_ = new WaveformLane(this);
  lane_->setObjectName(QStringLiteral("waveformLane"));
  keyCaption_ = MakeText(this, "keyCaption", QStringLiteral("KEY"), kCaptionGrey);
  keyLabel_ = MakeText(this, "keyLabel", QStringLiteral("---"), Qt::white);
  tuningLabel_ = MakeText(this, "tuningLabel", QString(), kAccent);
  tuneButton_ = MakeKey(this, "tuneButton", QStringLiteral("TUNE TO A440"),
                        QStringLiteral("Correct the recording's tuning to A = 440 Hz"));
  formantButton_ = MakeKey(this, "formantButton", QStringLiteral("FORMANTS"),
                           QStringLiteral("Keep a voice's character when the pitch moves"));
  loopCaption_ = MakeText(this, "loopCaption", QStringLiteral("LOOP"), kCaptionGrey);
  loopStartButton_ = MakeKey(this, "loopStartButton", QStringLiteral("[ A"),
                             QStringLiteral("Loop start at the playing position ( [ )"));
  loopEndButton_ = MakeKey(this, "loopEndButton", QStringLiteral("B ]"),
                           QStringLiteral("Loop end at the playing position ( ] )"));
  loopClearButton_ = MakeKey(this, "loopClearButton", QStringLiteral("CLEAR"),
                             QStringLiteral("Clear the loop (L switches it off and on)"));
  startEarlierButton_ = MakeKey(this, "loopStartEarlier", QStringLiteral("◂A"),
                                QStringLiteral("Loop start 50 ms earlier, Shift: 1 s (Alt+Left)"));
  startLaterButton_ = MakeKey(this, "loopStartLater", QStringLiteral("A▸"),
                              QStringLiteral("Loop start 50 ms later, Shift: 1 s (Alt+Right)"));
  endEarlierButton_ = MakeKey(this, "loopEndEarlier", QStringLiteral("◂B"),
                              QStringLiteral("Loop end 50 ms earlier, Shift: 1 s (Ctrl+Left)"));
  endLaterButton_ = MakeKey(this, "loopEndLater", QStringLiteral("B▸"),
                            QStringLiteral("Loop end 50 ms later, Shift: 1 s (Ctrl+Right)"));
  keepCaption_ = MakeText(this, "keepCaption", QStringLiteral("KEEP"), kCaptionGrey);
  keepCaption_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  keepButton_ = MakeKey(this, "keepSettingsButton", QStringLiteral("NEXT SONG"),
                        QStringLiteral("Keep these settings for the next song"));
  keepForSongButton_ = MakeKey(this, "keepForSongButton", QStringLiteral("THIS SONG"),
                               QStringLiteral("Keep these settings for this song: opening it again sets them"));
  loopLabel_ = MakeText(this, "loopLabel", QString(), Qt::white);
  trainerCaption_ = MakeText(this, "trainerCaption", QStringLiteral("TRAINER"), kCaptionGrey);
  trainerParameter_ = new QComboBox(this);
  trainerParameter_->setObjectName(QStringLiteral("trainerParameter"));
  trainerParameter_->addItems({QStringLiteral("Tempo"), QStringLiteral("Speed")});
  fromLabel_ = MakeText(this, "fromLabel", QStringLiteral("from"), kCaptionGrey);
  fromBox_ = MakePercentBox(this, "trainerFrom", -50, 100, -30);
  stepLabel_ = MakeText(this, "stepLabel", QStringLiteral("step"), kCaptionGrey);
  stepBox_ = MakePercentBox(this, "trainerStep", 1, 50, 5);
  toLabel_ = MakeText(this, "toLabel", QStringLiteral("to"), kCaptionGrey);
  toBox_ = MakePercentBox(this, "trainerTo", -50, 100, 0);
  trainerButton_ = MakeKey(this, "trainerButton", QStringLiteral("START"),
                           QStringLiteral("Step the tempo or speed after every pass of the loop"));
  trainerStatus_ = MakeText(this, "trainerStatus", QStringLiteral("Set a loop, then start."), kCaptionGrey);

  connect(tuneButton_, &SkinButton::clicked, this, [this] {
    setTuned(!tuned_);
    emit tuneToggled(tuned_);
  });
  connect(formantButton_, &SkinButton::clicked, this, [this] {
    setFormantPreserved(!formants_);
    emit formantToggled(formants_);
  });
  connect(loopStartButton_, &SkinButton::clicked, this, &PracticeDrawer::loopStartRequested);
  connect(loopEndButton_, &SkinButton::clicked, this, &PracticeDrawer::loopEndRequested);
  connect(loopClearButton_, &SkinButton::clicked, this, &PracticeDrawer::loopClearRequested);
  // A nudge is 50 ms; with Shift held, a second.
  const auto nudge = [this](SkinButton* button, bool end, int direction) {
    connect(button, &SkinButton::clicked, this, [this, end, direction] {
      const bool coarse = QApplication::keyboardModifiers() & Qt::ShiftModifier;
      emit loopNudgeRequested(end, direction * (coarse ? 1000 : 50));
    });
  };
  nudge(startEarlierButton_, false, -1);
  nudge(startLaterButton_, false, 1);
  nudge(endEarlierButton_, true, -1);
  nudge(endLaterButton_, true, 1);
  connect(keepButton_, &SkinButton::clicked, this, [this] {
    setKeepSettings(!keepSettings_);
    emit keepSettingsToggled(keepSettings_);
  });
  connect(keepForSongButton_, &SkinButton::clicked, this, [this] {
    setKeepForSong(!keepForSong_);
    emit keepForSongToggled(keepForSong_);
  });
  connect(trainerButton_, &SkinButton::clicked, this, [this] { emit trainerToggled(!trainerRunning_); });

  setTuneAvailable(false);
  setLoopAvailable(false, false);
  setLoopEndsSet(false, false);
  setScale(1.0f);
}

int PracticeDrawer::heightAt(float scale) { return int(std::lround(kDesignHeight * scale)); }

void PracticeDrawer::setScale(float scale) {
  scale_ = scale;
  const QFont text = SkinFont(Face::Tahoma, kFontPx, scale);
  const QFont caption = SkinFont(Face::Tahoma, kFontPx - 1, scale, true);
  // Tahoma has no bold of its own here; a synthesised one spreads the
  // letters, so the readouts use Liberation Sans Bold.
  QFont key(QStringLiteral("Liberation Sans"));
  key.setBold(true);
  key.setPixelSize(int(std::lround((kFontPx + 3) * scale)));
  for (QLabel* l : {fromLabel_, stepLabel_, toLabel_, loopLabel_, trainerStatus_, tuningLabel_}) l->setFont(text);
  for (QLabel* l : {keyCaption_, loopCaption_, trainerCaption_, keepCaption_}) l->setFont(caption);
  keyLabel_->setFont(key);
  tuningLabel_->setFont(key);
  for (QWidget* w : {static_cast<QWidget*>(trainerParameter_), static_cast<QWidget*>(fromBox_),
                     static_cast<QWidget*>(stepBox_), static_cast<QWidget*>(toBox_)})
    w->setFont(text);
  for (SkinButton* b : {tuneButton_, formantButton_, loopStartButton_, loopEndButton_, loopClearButton_,
                        startEarlierButton_, startLaterButton_, endEarlierButton_, endLaterButton_, trainerButton_,
                        keepButton_, keepForSongButton_})
    b->setScale(scale);
  lane_->setScale(scale);
  layoutControls();
  update();
}

void PracticeDrawer::resizeEvent(QResizeEvent*) { layoutControls(); }

void PracticeDrawer::layoutControls() {
  const float s = scale_;
  auto place = [s](QWidget* w, int x, int y, int width, int height) {
    w->setGeometry(ScaledRect(QRect(x, y, width, height), s));
  };
  const QRect lane = ScaledRect(QRect(kLaneLeft, kLaneTop, kLaneWidth, WaveformLane::kDesignHeight), s);
  lane_->setGeometry(lane.x(), lane.y(), lane.width(), WaveformLane::heightAt(s));
  place(keyCaption_, kCaptionLeft, kRow1, kCaptionWidth, kRowHeight);
  place(keyLabel_, 66, kRow1, 190, kRowHeight);
  place(tuningLabel_, 258, kRow1, 58, kRowHeight);
  place(tuneButton_, 318, kRow1, 108, kRowHeight);
  place(formantButton_, 432, kRow1, 78, kRowHeight);

  place(loopCaption_, kCaptionLeft, kRow2, kCaptionWidth, kRowHeight);
  place(loopStartButton_, 66, kRow2, 38, kRowHeight);
  place(loopEndButton_, 108, kRow2, 38, kRowHeight);
  place(loopClearButton_, 150, kRow2, 54, kRowHeight);
  place(startEarlierButton_, 212, kRow2, 30, kRowHeight);
  place(startLaterButton_, 244, kRow2, 30, kRowHeight);
  place(endEarlierButton_, 280, kRow2, 30, kRowHeight);
  place(endLaterButton_, 312, kRow2, 30, kRowHeight);
  place(loopLabel_, 350, kRow2, 160, kRowHeight);

  place(trainerCaption_, kCaptionLeft, kRow3, kCaptionWidth + 4, 24);
  place(trainerParameter_, 66, kRow3, 76, 24);
  place(fromLabel_, 148, kRow3, 30, 24);
  place(fromBox_, 178, kRow3, 64, 24);
  place(stepLabel_, 248, kRow3, 30, 24);
  place(stepBox_, 278, kRow3, 56, 24);
  place(toLabel_, 340, kRow3, 18, 24);
  place(toBox_, 358, kRow3, 64, 24);
  place(trainerButton_, 432, kRow3, 78, kRowHeight);
  place(trainerStatus_, 66, kRow4, 196, 18);
  place(keepCaption_, 262, kRow4, 34, 18);
  place(keepButton_, 302, kRow4 - 2, 102, 20);
  place(keepForSongButton_, 408, kRow4 - 2, 102, 20);
}

void PracticeDrawer::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double s = scale_;
  // The panel continues the window's dark body: a vertical gradient with
  // rounded lower corners, and a recessed well behind the controls.
  QPainterPath body;
  const QRectF r(0, 0, width(), height());
  const double radius = 14 * s;
  body.moveTo(r.topLeft());
  body.lineTo(r.topRight());
  body.lineTo(r.right(), r.bottom() - radius);
  body.quadTo(r.bottomRight(), QPointF(r.right() - radius, r.bottom()));
  body.lineTo(r.left() + radius, r.bottom());
  body.quadTo(r.bottomLeft(), QPointF(r.left(), r.bottom() - radius));
  body.closeSubpath();
  QLinearGradient fill(0, 0, 0, height());
  fill.setColorAt(0, QColor(0x2E, 0x31, 0x36));
  fill.setColorAt(1, QColor(0x1A, 0x1C, 0x20));
  p.fillPath(body, fill);

  const QRectF well(8 * s, 6 * s, width() - 16 * s, height() - 14 * s);
  p.setPen(QPen(QColor(0x3A, 0x3D, 0x42), std::max(1.0, s)));
  p.setBrush(QColor(0x15, 0x17, 0x1A));
  p.drawRoundedRect(well, 8 * s, 8 * s);
  // Hairlines between the three sections.
  p.setPen(QPen(QColor(0x2A, 0x2D, 0x32), std::max(1.0, s)));
  for (int y : {kRow1 - 7, kRow2 - 5, kRow3 - 5})
    p.drawLine(QPointF(well.left() + 8 * s, y * s), QPointF(well.right() - 8 * s, y * s));
}

void PracticeDrawer::showToggle(SkinButton* button, bool on) {
  button->setFontColor(on ? kAccent : QColor(Qt::white));
  button->setFaceColors(on ? QColor(0x24, 0x4A, 0x66) : QColor(0x5F, 0x5F, 0x5F),
                        on ? QColor(0x12, 0x2A, 0x3C) : QColor(0x2A, 0x2A, 0x2A));
}

void PracticeDrawer::setKeyText(const QString& keys, const QString& tuning) {
  keyLabel_->setText(keys);
  tuningLabel_->setText(tuning);
}

void PracticeDrawer::setTuneAvailable(bool available) { tuneButton_->setEnabled(available); }

void PracticeDrawer::setTuned(bool on) {
  tuned_ = on;
  showToggle(tuneButton_, on);
}

void PracticeDrawer::setFormantPreserved(bool on) {
  formants_ = on;
  showToggle(formantButton_, on);
}

void PracticeDrawer::setLoopText(const QString& text) { loopLabel_->setText(text); }

void PracticeDrawer::setLoopEndsSet(bool startSet, bool endSet) {
  startEarlierButton_->setEnabled(startSet);
  startLaterButton_->setEnabled(startSet);
  endEarlierButton_->setEnabled(endSet);
  endLaterButton_->setEnabled(endSet);
}

void PracticeDrawer::setKeepSettings(bool on) {
  keepSettings_ = on;
  showToggle(keepButton_, on);
}

void PracticeDrawer::setKeepForSong(bool on) {
  keepForSong_ = on;
  showToggle(keepForSongButton_, on);
}

void PracticeDrawer::setLoopAvailable(bool fileOpen, bool loopSet) {
  loopStartButton_->setEnabled(fileOpen);
  loopEndButton_->setEnabled(fileOpen);
  loopClearButton_->setEnabled(fileOpen && loopSet);
  trainerButton_->setEnabled(trainerRunning_ || (fileOpen && loopSet));
}

SpeedTrainer PracticeDrawer::trainerPlan() const {
  SpeedTrainer plan;
  plan.parameter = trainerParameter_->currentIndex() == 1 ? SpeedTrainer::Parameter::Speed
                                                          : SpeedTrainer::Parameter::Tempo;
  plan.startPercent = fromBox_->value();
  plan.stepPercent = stepBox_->value();
  plan.targetPercent = toBox_->value();
  return plan;
}

void PracticeDrawer::setTrainerPlan(const SpeedTrainer& plan) {
  if (trainerRunning_) return;
  trainerParameter_->setCurrentIndex(plan.parameter == SpeedTrainer::Parameter::Speed ? 1 : 0);
  fromBox_->setValue(plan.startPercent);
  stepBox_->setValue(plan.stepPercent);
  toBox_->setValue(plan.targetPercent);
}

void PracticeDrawer::setTrainerRunning(bool running, const QString& status) {
  trainerRunning_ = running;
  trainerButton_->setCaption(running ? QStringLiteral("STOP") : QStringLiteral("START"));
  showToggle(trainerButton_, running);
  trainerStatus_->setText(status);
  for (QWidget* w : {static_cast<QWidget*>(trainerParameter_), static_cast<QWidget*>(fromBox_),
                     static_cast<QWidget*>(stepBox_), static_cast<QWidget*>(toBox_)})
    w->setEnabled(!running);
}
