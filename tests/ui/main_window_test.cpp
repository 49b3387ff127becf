// The main window: its controls where the design puts them at every scale,
// their captions, hints and states, the window's shape and chrome, and the
// volume that survives from one window to the next.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <string>
#include <vector>

#include "ui/knob.h"
#include "ui/main_window.h"
#include "core/messages.h"
#include "settings/settings_store.h"
#include "ui/skin.h"
#include "ui/skin_button.h"
#include "ui/slider.h"
#include "ui/spectrum_display.h"
#include "ui/ui_scale.h"
#include "widget_app.h"

namespace {

enum class Kind { Label, Button, Slider, Knob, Display };

struct Control {
  const char* name;
  Kind kind;
  QRect bounds;  // at 96 dpi
  const char* caption;
  const char* hint;
  bool enabled;
};

// The window's design at 96 dpi.
const std::vector<Control> kControls = {
    {"nameLabel", Kind::Label, {21, 115, 355, 13}, "File:", "", true},
    {"timeLabel", Kind::Label, {288, 38, 88, 29}, "00:00:00", "Playback time", true},
    {"bpmLabel", Kind::Label, {288, 80, 88, 29}, "---", "Original BPM Value/Modified BPM Value", true},
    {"shiftLabel", Kind::Label, {45, 180, 54, 13}, "0%", "", true},
    {"tempoLabel", Kind::Label, {116, 180, 54, 13}, "0%", "", true},
    {"scaleLabel", Kind::Label, {187, 180, 54, 13}, "0 st", "", true},
    {"trebleLabel", Kind::Label, {258, 180, 54, 13}, "0%", "", true},
    {"bassLabel", Kind::Label, {329, 180, 54, 13}, "0%", "", true},
    {"volumeKnob", Kind::Knob, {411, 38, 86, 86}, "", "Volume", true},
    {"speedBar", Kind::Slider, {44, 194, 25, 154}, "", "Speed change in percents", true},
    {"tempoBar", Kind::Slider, {115, 194, 25, 154}, "", "Tempo change in percents", true},
    {"pitchBar", Kind::Slider, {186, 194, 25, 154}, "", "Pitch change in semitones", true},
    {"trebleBar", Kind::Slider, {257, 194, 25, 154}, "", "Treble change in percents", true},
    {"bassBar", Kind::Slider, {328, 194, 25, 154}, "", "Bass boost in percents", true},
    {"positionSlider", Kind::Slider, {264, 140, 250, 21}, "", "Playback Position", true},
    {"openButton", Kind::Button, {405, 180, 97, 26}, "OPEN", "Open the audio file", true},
    {"saveButton", Kind::Button, {405, 214, 97, 26}, "SAVE", "Save the processed audio file", false},
    {"bpmButton", Kind::Button, {405, 248, 97, 26}, "GET BPM", "Calculate beats per minute", false},
    {"aboutButton", Kind::Button, {405, 282, 97, 26}, "ABOUT", "About Pitchwell", true},
    {"playButton", Kind::Button, {8, 137, 81, 28}, "PLAY", "Play", true},
    {"pauseButton", Kind::Button, {87, 137, 81, 28}, "PAUSE", "Pause", true},
    {"stopButton", Kind::Button, {168, 137, 81, 28}, "STOP", "Stop", true},
    {"minButton", Kind::Button, {395, 2, 37, 19}, "_", "Minimize", true},
    {"helpButton", Kind::Button, {432, 2, 37, 19}, "?", "Help", true},
    {"closeButton", Kind::Button, {469, 2, 37, 19}, "X", "Exit", true},
};

QString CaptionOf(QWidget* w, Kind kind) {
  if (kind == Kind::Label) return static_cast<QLabel*>(w)->text();
  if (kind == Kind::Button) return static_cast<SkinButton*>(w)->caption();
  return QString();
}

template <typename T>
T* Find(const MainWindow& window, const char* name) {
  return window.findChild<T*>(QString::fromLatin1(name));
}

// A left-button drag or a press of another button, sent straight to the
// window: positions in the window and on the screen as the window stands.
void Send(MainWindow& window, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
  QMouseEvent event(type, QPointF(at), QPointF(at), QPointF(window.pos() + at), button, held, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &event);
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pwtest::EnsureWidgetApp();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ASSERT_TRUE(dir_.isValid());
    store_.file = dir_.filePath(QStringLiteral("settings.ini")).toStdString();
    store_.programDir = dir_.path().toStdString() + "/";
  }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  QTemporaryDir dir_;
  SettingsStore store_;
  std::vector<pw::Message> messages_;
  pw::ScopedMessageHandler handler_{[this](const pw::Message& m) { messages_.push_back(m); }};
};

TEST_F(MainWindowTest, ControlTableAtDesignScale) {
  MainWindow window(store_, QString(), 1.0f);
  EXPECT_EQ(window.size(), QSize(523, 382));
  EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Pitchwell"));

  for (const Control& c : kControls) {
    SCOPED_TRACE(c.name);
    auto* w = Find<QWidget>(window, c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->geometry(), c.bounds);
    EXPECT_EQ(CaptionOf(w, c.kind), QString::fromUtf8(c.caption));
    // The hint as designed; a shortcut or how to type a value may follow it
    // in brackets.
    const QString hint = QString::fromUtf8(c.hint);
    EXPECT_TRUE(w->toolTip() == hint || w->toolTip().startsWith(hint + QStringLiteral(" ("))) << w->toolTip().toStdString();
    EXPECT_EQ(w->isEnabled(), c.enabled);
  }

  // The display keeps its place and snaps to whole cells: 37 x 7 by 36 x 2.
  auto* display = Find<SpectrumDisplay>(window, "spectrumDisplay");
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(display->geometry(), QRect(20, 40, 259, 72));
}

TEST_F(MainWindowTest, SlidersKnobAndFonts) {
  MainWindow window(store_, QString(), 1.0f);
  struct Range {
    const char* name;
    double minimum, maximum, step;
  };
  for (const Range& r : {Range{"speedBar", -1000, 1000, 1}, Range{"tempoBar", -1200, 1200, 1},
                         Range{"pitchBar", -120, 120, 1}, Range{"trebleBar", 0, 2000, 4},
                         Range{"bassBar", 0, 10000, 15}}) {
    SCOPED_TRACE(r.name);
    auto* s = Find<Slider>(window, r.name);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->direction(), Slider::Direction::Vertical);
    EXPECT_EQ(s->minimum(), r.minimum);
    EXPECT_EQ(s->maximum(), r.maximum);
    EXPECT_EQ(s->step(), r.step);
    EXPECT_EQ(s->position(), 0.0);
  }
  auto* position = Find<Slider>(window, "positionSlider");
  ASSERT_NE(position, nullptr);
  EXPECT_EQ(position->direction(), Slider::Direction::Horizontal);
  EXPECT_EQ(position->minimum(), 0.0);
  EXPECT_EQ(position->maximum(), 100.0);
  EXPECT_EQ(position->step(), 5.0);
  EXPECT_FALSE(position->wheelControl());

  auto* knob = Find<Knob>(window, "volumeKnob");
  ASSERT_NE(knob, nullptr);
  EXPECT_EQ(knob->minimum(), 1);
  EXPECT_EQ(knob->maximum(), 10000);
  EXPECT_EQ(knob->position(), 8000);  // a first run: the default volume

  auto* time = Find<QLabel>(window, "timeLabel");
  auto* bpm = Find<QLabel>(window, "bpmLabel");
  auto* name = Find<QLabel>(window, "nameLabel");
  EXPECT_EQ(time->font().pixelSize(), 24);
  EXPECT_EQ(bpm->font().pixelSize(), 19);
  EXPECT_EQ(name->font().pixelSize(), 11);
  EXPECT_EQ(QFontInfo(time->font()).family(), QStringLiteral("Bebas Neue"));
  EXPECT_EQ(QFontInfo(name->font()).family(), QStringLiteral("Tahoma"));
  EXPECT_TRUE(bpm->alignment() & Qt::AlignHCenter);
  for (const char* label : {"shiftLabel", "tempoLabel", "scaleLabel", "trebleLabel", "bassLabel"}) {
    SCOPED_TRACE(label);
    auto* l = Find<QLabel>(window, label);
    EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_EQ(QFontInfo(l->font()).family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(l->font().pixelSize(), 11);
  }
}

class MainWindowScaleTest : public MainWindowTest, public ::testing::WithParamInterface<float> {};

TEST_P(MainWindowScaleTest, EveryBoundScales) {
  const float scale = GetParam();
  MainWindow window(store_, QString(), scale);
  EXPECT_EQ(window.uiScale(), scale);
  EXPECT_EQ(window.size(), ScaledRect(QRect(0, 0, 523, 382), scale).size());
  for (const Control& c : kControls) {
    SCOPED_TRACE(c.name);
    auto* w = Find<QWidget>(window, c.name);
    ASSERT_NE(w, nullptr);
    QRect expected = ScaledRect(c.bounds, scale);
    if (c.kind == Kind::Knob) expected.setWidth(expected.height());  // stays round
    EXPECT_EQ(w->geometry(), expected);
    EXPECT_TRUE(window.rect().contains(w->geometry()));
  }
  EXPECT_EQ(Find<QWidget>(window, "spectrumDisplay")->geometry(), SpectrumDisplay::boundsAtScale(scale));
  EXPECT_EQ(Find<QLabel>(window, "timeLabel")->font().pixelSize(), int(std::nearbyint(24 * scale)));
  EXPECT_EQ(Find<QLabel>(window, "bpmLabel")->font().pixelSize(), int(std::nearbyint(19 * scale)));
  EXPECT_EQ(Find<QLabel>(window, "nameLabel")->font().pixelSize(), int(std::nearbyint(11 * scale)));
}

// The longest texts the labels will show fit their places at every scale.
TEST_P(MainWindowScaleTest, LongestTextsFit) {
  MainWindow window(store_, QString(), GetParam());
  auto fits = [&](const char* label, const QString& text) {
    auto* l = Find<QLabel>(window, label);
    EXPECT_LE(l->fontMetrics().horizontalAdvance(text), l->width()) << label << " " << text.toStdString();
    EXPECT_LE(l->fontMetrics().height(), l->height() + 2) << label;
  };
  for (const char* label : {"shiftLabel", "tempoLabel", "trebleLabel", "bassLabel"}) {
    fits(label, QStringLiteral("+100.0 %"));
    fits(label, QStringLiteral("-50.0 %"));
  }
  fits("scaleLabel", QStringLiteral("-12.0 st"));
  fits("timeLabel", QStringLiteral("00:00:00"));
  fits("bpmLabel", QStringLiteral("200/400.0"));
}

INSTANTIATE_TEST_SUITE_P(Scales, MainWindowScaleTest, ::testing::Values(1.0f, 1.25f, 1.5f, 2.0f));

TEST_F(MainWindowTest, BoundsAtOneAndAHalf) {
  MainWindow window(store_, QString(), 1.5f);
  EXPECT_EQ(window.size(), QSize(784, 573));
  EXPECT_EQ(Find<QWidget>(window, "openButton")->geometry(), QRect(608, 270, 145, 39));
  EXPECT_EQ(Find<QWidget>(window, "speedBar")->geometry(), QRect(66, 291, 38, 231));
  EXPECT_EQ(Find<QWidget>(window, "closeButton")->geometry(), QRect(704, 3, 55, 29));
  EXPECT_EQ(Find<QWidget>(window, "volumeKnob")->geometry(), QRect(616, 57, 129, 129));
  EXPECT_EQ(Find<QWidget>(window, "spectrumDisplay")->geometry(), QRect(30, 60, 388, 108));
}

TEST_F(MainWindowTest, NothingOverlapsAtWholeAndHalfScales) {
  for (float scale : {1.0f, 1.5f, 2.0f}) {
    SCOPED_TRACE(scale);
    MainWindow window(store_, QString(), scale);
    std::vector<QWidget*> all;
    for (const Control& c : kControls) all.push_back(Find<QWidget>(window, c.name));
    all.push_back(Find<QWidget>(window, "spectrumDisplay"));
    for (size_t i = 0; i < all.size(); ++i)
      for (size_t j = i + 1; j < all.size(); ++j) {
        // PLAY reaches 2 px under PAUSE by design: the three keys are one bar.
        if (all[i]->objectName() == QLatin1String("playButton") && all[j]->objectName() == QLatin1String("pauseButton"))
          continue;
        EXPECT_FALSE(all[i]->geometry().intersects(all[j]->geometry()))
            << all[i]->objectName().toStdString() << " / " << all[j]->objectName().toStdString();
      }
  }
}

TEST_F(MainWindowTest, SkinIsTheWindowsShape) {
  Skin skin;
  ASSERT_TRUE(skin.isValid());
  for (float scale : {1.0f, 1.5f}) {
    SCOPED_TRACE(scale);
    const QImage image = skin.pixmap(scale).toImage();
    EXPECT_EQ(image.size(), Skin::sizeAt(scale));
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);  // the rounded corner
    EXPECT_EQ(qAlpha(image.pixel(image.width() - 1, image.height() - 1)), 0);
    EXPECT_EQ(qAlpha(image.pixel(image.width() / 2, image.height() / 2)), 255);
    EXPECT_EQ(qAlpha(image.pixel(image.width() / 2, 1)), 255);  // the top edge is panel
  }
  MainWindow window(store_, QString(), 1.0f);
  const QRegion mask = window.mask();
  EXPECT_FALSE(mask.contains(QPoint(0, 0)));
  EXPECT_FALSE(mask.contains(QPoint(522, 381)));
  EXPECT_TRUE(mask.contains(QPoint(261, 191)));
  EXPECT_TRUE(mask.contains(QPoint(261, 0)));
}

TEST_F(MainWindowTest, FirstShowCentresAndStartsTheClock) {
  MainWindow window(store_, QString(), 1.0f);
  auto* timer = window.findChild<QTimer*>(QStringLiteral("tickTimer"));
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->interval(), 25);
  EXPECT_FALSE(timer->isActive());

  window.show();
  EXPECT_TRUE(timer->isActive());
  const QRect area = window.screen()->availableGeometry();
  EXPECT_LE((window.geometry().center() - area.center()).manhattanLength(), 2);
  EXPECT_EQ(Find<QLabel>(window, "shiftLabel")->text(), QStringLiteral("0.0 %"));
  EXPECT_EQ(Find<QLabel>(window, "tempoLabel")->text(), QStringLiteral("0.0 %"));
  EXPECT_EQ(Find<QLabel>(window, "scaleLabel")->text(), QStringLiteral("0.0 st"));
  EXPECT_EQ(Find<QLabel>(window, "trebleLabel")->text(), QStringLiteral("0.0 %"));
  EXPECT_EQ(Find<QLabel>(window, "bassLabel")->text(), QStringLiteral("0.0 %"));
  EXPECT_EQ(Find<QLabel>(window, "bpmLabel")->text(), QStringLiteral("---"));
  EXPECT_FALSE(Find<QWidget>(window, "saveButton")->isEnabled());
  EXPECT_FALSE(Find<QWidget>(window, "bpmButton")->isEnabled());
}

TEST_F(MainWindowTest, TitleKeysMinimiseAndClose) {
  MainWindow window(store_, QString(), 1.0f);
  window.show();
  Find<SkinButton>(window, "minButton")->click();
  EXPECT_TRUE(window.isMinimized());
  window.showNormal();
  ASSERT_TRUE(window.isVisible());
  Find<SkinButton>(window, "closeButton")->click();
  EXPECT_FALSE(window.isVisible());
}

TEST_F(MainWindowTest, LeftButtonDragsTheWindow) {
  MainWindow window(store_, QString(), 1.0f);
  window.move(100, 80);

  Send(window, QEvent::MouseButtonPress, {200, 30}, Qt::LeftButton, Qt::LeftButton);
  Send(window, QEvent::MouseMove, {230, 42}, Qt::NoButton, Qt::LeftButton);
  EXPECT_EQ(window.pos(), QPoint(130, 92));
  // The window followed, so the pointer is back near the press point.
  Send(window, QEvent::MouseMove, {190, 35}, Qt::NoButton, Qt::LeftButton);
  EXPECT_EQ(window.pos(), QPoint(120, 97));

  // Releasing any button ends the drag.
  Send(window, QEvent::MouseButtonRelease, {200, 30}, Qt::RightButton, Qt::LeftButton);
  Send(window, QEvent::MouseMove, {260, 60}, Qt::NoButton, Qt::LeftButton);
  EXPECT_EQ(window.pos(), QPoint(120, 97));
}

TEST_F(MainWindowTest, OtherButtonsDoNotDrag) {
  MainWindow window(store_, QString(), 1.0f);
  window.move(100, 80);
  Send(window, QEvent::MouseButtonPress, {200, 30}, Qt::RightButton, Qt::RightButton);
  Send(window, QEvent::MouseMove, {260, 60}, Qt::NoButton, Qt::RightButton);
  Send(window, QEvent::MouseButtonPress, {200, 30}, Qt::MiddleButton, Qt::MiddleButton);
  Send(window, QEvent::MouseMove, {240, 50}, Qt::NoButton, Qt::MiddleButton);
  EXPECT_EQ(window.pos(), QPoint(100, 80));
}

TEST_F(MainWindowTest, VolumeSurvivesToTheNextWindow) {
  {
    MainWindow window(store_, QString(), 1.0f);
    Find<Knob>(window, "volumeKnob")->setPosition(2500);
  }  // teardown saves the settings

  Settings saved;
  Load(saved, store_);
  EXPECT_EQ(saved.volume, 2500);

  MainWindow next(store_, QString(), 1.0f);
  EXPECT_EQ(Find<Knob>(next, "volumeKnob")->position(), 2500);
  EXPECT_EQ(next.settings().volume, 2500);
  EXPECT_EQ(next.settings().encoder.bitrateIndex, 3);
}

TEST_F(MainWindowTest, RemembersTheCommandLineFile) {
  MainWindow window(store_, QStringLiteral("/music/song.mp3"), 1.0f);
  EXPECT_EQ(window.requestedFile(), QStringLiteral("/music/song.mp3"));
  EXPECT_FALSE(Find<QWidget>(window, "saveButton")->isEnabled());
}

}  // namespace
