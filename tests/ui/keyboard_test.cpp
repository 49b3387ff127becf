// The window from the keyboard: the shortcuts, a button the mouse pressed
// never taking Space, exact values typed over a value label, the loop's ends
// nudged, the play state shown, a long name elided.
#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "ui/main_window.h"
#include "engine/playback.h"
#include "playback_owner.h"
#include "ui/playback_parameters.h"
#include "ui/practice_drawer.h"
#include "scoped_environment.h"
#include "engine/session.h"
#include "ui/skin_button.h"
#include "ui/slider.h"
#include "testaudio.h"
#include "ui/value_editor.h"
#include "window_test.h"

namespace {

class KeyboardTest : public pwtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    const std::string path = pwtest::TempDir("keyboard") + "/tone.wav";
    pwtest::WriteWav(path, pwtest::Sine(440, 8000, 2, 8000 * 60), 8000, 2, 16);
    file_ = QString::fromStdString(path);
  }
  static void Key(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(target, &release);
  }
  template <typename T>
  static T* Find(const QWidget& window, const char* name) {
    return window.findChild<T*>(QString::fromLatin1(name));
  }
  QString file_;
};

// Space plays and pauses, also right after a button was clicked with the
// mouse (the button keeps the focus but not Space).
TEST_F(KeyboardTest, SpacePlaysAndPausesAfterAnyButtonWasClicked) {
  const auto env = pwtest::ScopedEnvironment::Audio("null");
  MainWindow window(store_, file_, 1.0f);
  Playback& playback = *window.playback();
  for (const char* name : {"bpmButton", "aboutButton", "stopButton"}) {
    SCOPED_TRACE(name);
    auto* button = Find<SkinButton>(window, name);
    QTest::mouseClick(button, Qt::LeftButton);
    QFocusEvent clicked(QEvent::FocusIn, Qt::MouseFocusReason);
    QApplication::sendEvent(button, &clicked);
    if (auto* about = window.findChild<QWidget*>(QStringLiteral("AboutForm"))) about->hide();
    const Playback::State before = playback.state();
    Key(button, Qt::Key_Space);
    EXPECT_NE(playback.state(), before);
    Key(button, Qt::Key_Space);
    EXPECT_EQ(playback.state(), before == Playback::State::Playing ? Playback::State::Playing
                                                                    : Playback::State::Paused);
  }
  window.findChild<SkinButton*>(QStringLiteral("stopButton"))->click();
}

// M drops a marker where playing stands; comma and period walk the
// markers; Ctrl+L loops the section around the playing position.
TEST_F(KeyboardTest, MarkerKeysDropWalkAndLoopSections) {
  MainWindow window(store_, file_, 1.0f);
  Playback& playback = *window.playback();
  for (int64_t ms : {10000, 20000, 30000}) {
    window.seekTo(ms);
    Key(&window, Qt::Key_M);
  }
  const auto& markers = window.parameters().markers();
  ASSERT_EQ(markers.size(), 3u);
  EXPECT_EQ(markers[0].ms, 10000);
  EXPECT_EQ(markers[2].name, "Marker 3");
  window.seekTo(25000);
  const struct {
    int key;
    Qt::KeyboardModifiers modifiers;
    int64_t positionMs;
  } steps[] = {
      {Qt::Key_Comma, Qt::NoModifier, 20000},  {Qt::Key_Comma, Qt::NoModifier, 10000},
      {Qt::Key_Comma, Qt::NoModifier, 10000},  // none before the first: stays
      {Qt::Key_Period, Qt::NoModifier, 20000}, {Qt::Key_Period, Qt::NoModifier, 30000},
      {Qt::Key_Period, Qt::NoModifier, 30000},  // none after the last
  };
  for (const auto& s : steps) {
    Key(&window, s.key, s.modifiers);
    EXPECT_EQ(playback.positionMs(), s.positionMs) << s.key;
  }
  window.seekTo(15000);
  Key(&window, Qt::Key_L, Qt::ControlModifier);
  EXPECT_EQ(window.loopStartMs(), 10000);
  EXPECT_EQ(window.loopEndMs(), 20000);
  window.seekTo(45000);  // after the last marker: to the end of the song
  Key(&window, Qt::Key_L, Qt::ControlModifier);
  EXPECT_EQ(window.loopStartMs(), 30000);
  EXPECT_EQ(window.loopEndMs(), window.session()->durationMs());
}

TEST_F(KeyboardTest, KeysSeekAndSetTheLoop) {
  MainWindow window(store_, file_, 1.0f);
  Playback& playback = *window.playback();
  struct Step {
    int key;
    Qt::KeyboardModifiers modifiers;
    int64_t positionMs;  // where playing stands after the key
  };
  const Step steps[] = {
      {Qt::Key_Right, Qt::NoModifier, 5000},   {Qt::Key_Right, Qt::NoModifier, 10000},
      {Qt::Key_Left, Qt::ShiftModifier, 9000}, {Qt::Key_Right, Qt::ShiftModifier, 10000},
      {Qt::Key_Left, Qt::NoModifier, 5000},    {Qt::Key_Left, Qt::NoModifier, 0},  // not before the start
      {Qt::Key_Right, Qt::NoModifier, 5000},   {Qt::Key_Home, Qt::NoModifier, 0},
  };
  for (const Step& s : steps) {
    Key(&window, s.key, s.modifiers);
    EXPECT_EQ(playback.positionMs(), s.positionMs) << s.key << " " << int(s.modifiers);
  }
  // [ at 2 s, ] at 4 s; L switches the loop off and on; the ends move by
  // 50 ms (Alt: A, Ctrl: B) and by a second with Shift.
  window.seekTo(2000);
  Key(&window, Qt::Key_BracketLeft);
  window.seekTo(4000);
  Key(&window, Qt::Key_BracketRight);
  EXPECT_EQ(window.loopStartMs(), 2000);
  EXPECT_EQ(window.loopEndMs(), 4000);
  ASSERT_TRUE(window.session()->chain().loop().active());
  Key(&window, Qt::Key_L);
  EXPECT_FALSE(window.session()->chain().loop().active());
  EXPECT_EQ(window.loopEndMs(), 4000);  // its ends kept
  Key(&window, Qt::Key_L);
  EXPECT_TRUE(window.session()->chain().loop().active());
  const struct {
    int key;
    Qt::KeyboardModifiers modifiers;
    int64_t a, b;
  } nudges[] = {
      {Qt::Key_Left, Qt::AltModifier, 1950, 4000},
      {Qt::Key_Right, Qt::AltModifier | Qt::ShiftModifier, 2950, 4000},
      {Qt::Key_Right, Qt::ControlModifier, 2950, 4050},
      {Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier, 2950, 3050},
      {Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier, 2950, 3050},  // B would pass A: refused
  };
  for (const auto& n : nudges) {
    Key(&window, n.key, n.modifiers);
    EXPECT_EQ(window.loopStartMs(), n.a) << n.key << " " << int(n.modifiers);
    EXPECT_EQ(window.loopEndMs(), n.b) << n.key << " " << int(n.modifiers);
    EXPECT_EQ(window.session()->chain().loop().startFrame(), n.a * 8);  // 8 kHz
    EXPECT_EQ(window.session()->chain().loop().endFrame(), n.b * 8);
  }
  // P opens the drawer, whose nudge keys do the same.
  Key(&window, Qt::Key_P);
  ASSERT_TRUE(window.practiceDrawerOpen());
  window.practiceDrawer()->findChild<SkinButton*>(QStringLiteral("loopEndLater"))->click();
  EXPECT_EQ(window.loopEndMs(), 3100);
  EXPECT_EQ(window.practiceDrawer()->findChild<QLabel*>(QStringLiteral("loopLabel"))->text(),
            QStringLiteral("A 0:02.9 – B 0:03.1"));
}

// A slider focused from the keyboard keeps its own arrow keys.
TEST_F(KeyboardTest, AFocusedSliderKeepsItsArrowKeys) {
  MainWindow window(store_, file_, 1.0f);
  auto* pitch = Find<Slider>(window, "pitchBar");
  QFocusEvent tab(QEvent::FocusIn, Qt::TabFocusReason);
  QApplication::sendEvent(pitch, &tab);
  QKeyEvent override(QEvent::ShortcutOverride, Qt::Key_Right, Qt::NoModifier);
  QApplication::sendEvent(pitch, &override);
  EXPECT_TRUE(override.isAccepted());
  QKeyEvent withAlt(QEvent::ShortcutOverride, Qt::Key_Right, Qt::AltModifier);
  QApplication::sendEvent(pitch, &withAlt);
  EXPECT_FALSE(withAlt.isAccepted());  // the window's: the loop's start
  Key(pitch, Qt::Key_Right);
  EXPECT_DOUBLE_EQ(window.parameters().values().pitchSemitones, 0.1);
  EXPECT_EQ(window.playback()->positionMs(), 0);
}

// Typed values are kept exact, not rounded to the slider's steps; the label
// never shows "-0.0"; Esc leaves the value as it was.
TEST_F(KeyboardTest, ExactValuesTypedOverTheLabel) {
  MainWindow window(store_, file_, 1.0f);
  window.show();
  const struct {
    const char* label;
    int index;
    const char* typed;
    double value;
    const char* shown;
  } cases[] = {
      {"tempoLabel", 1, "-30", -30.0, "-30.0 %"},
      {"tempoLabel", 1, "−12.34 %", -12.34, "-12.3 %"},
      {"scaleLabel", 2, "+2 st", 2.0, "+2.0 st"},
      {"scaleLabel", 2, "-0.01", -0.01, "0.0 st"},
      {"shiftLabel", 0, "250", 100.0, "+100.0 %"},  // clamped to the range
      {"bassLabel", 4, "15.3", 15.3, "+15.3 %"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    auto* label = Find<QLabel>(window, c.label);
    QTest::mouseDClick(label, Qt::LeftButton);
    ValueEditor* editor = window.valueEditor();
    ASSERT_TRUE(editor->isOpen());
    editor->setText(QString::fromUtf8(c.typed));
    Key(editor, Qt::Key_Return);
    EXPECT_FALSE(editor->isOpen());
    EXPECT_DOUBLE_EQ(window.parameters().value(PlaybackParameters::Effect(c.index)), c.value);
    EXPECT_EQ(label->text(), QString::fromUtf8(c.shown));
  }
  EXPECT_DOUBLE_EQ(window.session()->chain().pitchStage().durationRatio(), 100.0 / 87.66);
  // Enter on a focused slider opens the editor too; Esc changes nothing.
  auto* tempo = Find<Slider>(window, "tempoBar");
  Key(tempo, Qt::Key_Return);
  ASSERT_TRUE(window.valueEditor()->isOpen());
  window.valueEditor()->setText(QStringLiteral("50"));
  Key(window.valueEditor(), Qt::Key_Escape);
  EXPECT_DOUBLE_EQ(window.parameters().values().tempoPercent, -12.34);
  // The slider went to the nearest position; the value stays exact.
  EXPECT_NEAR(tempo->position(), 1200 * std::log2(1 - 0.1234), 1e-9);
}

// A song opened after another starts at 0 unless the drawer's KEEP SLIDERS
// is on, which is remembered.
TEST_F(KeyboardTest, KeepingTheSettingsForTheNextSongIsAnOptIn) {
  {
    MainWindow window(store_, file_, 1.0f);
    window.parameters().setValue(PlaybackParameters::Effect::Pitch, -2);
    window.openFile(file_);
    EXPECT_EQ(window.parameters().values().pitchSemitones, 0.0);
    window.parameters().setValue(PlaybackParameters::Effect::Pitch, -2);
    window.practiceDrawer()->findChild<SkinButton*>(QStringLiteral("keepSettingsButton"))->click();
    window.openFile(file_);
    EXPECT_EQ(window.parameters().values().pitchSemitones, -2.0);
    EXPECT_EQ(window.session()->chain().values().pitchSemitones, -2.0);
  }
  MainWindow again(store_, file_, 1.0f);
  EXPECT_TRUE(again.practiceDrawer()->keepSettings());
}

TEST_F(KeyboardTest, ThePlayStateIsLitAndALongNameIsElided) {
  const std::string dir = pwtest::TempDir("long-name");
  const std::string longName =
      dir + "/A very long song title that goes on and on - Live at the Grand Hall, remastered (2026).wav";
  pwtest::WriteWav(longName, pwtest::Sine(440, 8000, 1, 8000 * 30), 8000, 1, 16);
  MainWindow window(store_, QString::fromStdString(longName), 1.0f);
  auto* play = Find<SkinButton>(window, "playButton");
  auto* pause = Find<SkinButton>(window, "pauseButton");
  EXPECT_FALSE(play->isLit());
  play->click();
  EXPECT_TRUE(play->isLit());
  EXPECT_FALSE(pause->isLit());
  pause->click();
  EXPECT_FALSE(play->isLit());
  EXPECT_TRUE(pause->isLit());
  Find<SkinButton>(window, "stopButton")->click();
  EXPECT_FALSE(play->isLit() || pause->isLit());

  auto* name = Find<QLabel>(window, "nameLabel");
  EXPECT_TRUE(name->text().contains(QChar(0x2026))) << name->text().toStdString();
  EXPECT_LE(name->fontMetrics().horizontalAdvance(name->text()), name->width());
  EXPECT_EQ(name->toolTip(), QFileInfo(QString::fromStdString(longName)).fileName());
}

}  // namespace
