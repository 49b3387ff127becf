// The main window with a file: opening (checks, messages, caption, buttons),
// the effect sliders' labels and the BPM label, and the transport (play,
// stop, the clock's beat, the position slider, the end of playback). The
// sound goes to the null device, which plays as fast as it is fed.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ui/knob.h"
#include "ui/main_window.h"
#include "engine/playback.h"
#include "engine/session.h"
#include "ui/playback_parameters.h"
#include "message_capture.h"
#include "ui/skin_button.h"
#include "ui/slider.h"
#include "ui/spectrum_display.h"
#include "testaudio.h"
#include "widget_app.h"
#include "window_test.h"
#include "wait_until.h"

namespace {

template <typename T>
T* Find(const MainWindow& window, const char* name) {
  return window.findChild<T*>(QString::fromLatin1(name));
}

QString Text(const MainWindow& window, const char* label) { return Find<QLabel>(window, label)->text(); }

const char* const kFileButtons[] = {"saveButton", "bpmButton", "playButton", "pauseButton", "stopButton"};

class MainWindowPlaybackTest : public pwtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    dir_ = pwtest::TempDir("main-window-playback");
  }
  // A 440 Hz tone of `seconds` written as 16-bit PCM.
  QString Tone(const std::string& name, int rate, int channels, double seconds) {
    const std::string path = dir_ + "/" + name;
    pwtest::WriteWav(path, pwtest::Sine(440, rate, channels, size_t(rate * seconds)), rate, channels, 16);
    return QString::fromStdString(path);
  }

  // Waits (without running the event loop, so no end of playback is handled)
  // until playback's source has passed `ms`.
  static bool WaitForPosition(const Playback& playback, int64_t ms) {
    return pwtest::WaitUntil([&] { return playback.positionMs() >= ms; });
  }

  std::string dir_;
};

TEST_F(MainWindowPlaybackTest, OpeningAGoodFileReadiesTheWindow) {
  const QString file = Tone("tone.wav", 44100, 2, 1.0);
  MainWindow window(store_, file, 1.0f);

  EXPECT_TRUE(messages_.seen.empty());
  EXPECT_EQ(window.windowTitle(), QStringLiteral("tone.wav - Pitchwell"));
  EXPECT_EQ(Text(window, "nameLabel"), QStringLiteral("File: tone.wav"));
  EXPECT_EQ(Text(window, "bpmLabel"), QStringLiteral("---"));
  for (const char* button : kFileButtons) EXPECT_TRUE(Find<QWidget>(window, button)->isEnabled()) << button;
  EXPECT_EQ(window.settings().folders.recent, dir_ + "/");
  ASSERT_NE(window.session(), nullptr);
  EXPECT_EQ(window.playback()->session(), window.session());
  EXPECT_EQ(window.playback()->state(), Playback::State::Stopped);  // opened, not playing
}

struct BadFile {
  const char* name;
  int rate;
  int channels;
  double seconds;
  const char* message;
};

class MainWindowBadFileTest : public MainWindowPlaybackTest, public ::testing::WithParamInterface<BadFile> {};

// A refused file leaves the open song as it was: playing on, at its place,
// with its settings, caption and buttons; one box names the file and why.
TEST_P(MainWindowBadFileTest, RefusedWithOneMessageAndTheSongPlaysOn) {
  const BadFile& bad = GetParam();
  MainWindow window(store_, Tone("good.wav", 8000, 2, 60.0), 1.0f);
  ASSERT_TRUE(messages_.seen.empty());
  Session* song = window.session();
  Find<Slider>(window, "pitchBar")->setPosition(-20);
  Find<SkinButton>(window, "playButton")->click();
  ASSERT_TRUE(WaitForPosition(*window.playback(), 500));

  const QString path = bad.rate > 0 ? Tone(bad.name, bad.rate, bad.channels, bad.seconds)
                                    : QString::fromStdString(dir_ + "/" + bad.name);
  window.openFile(path);

  ASSERT_EQ(messages_.seen.size(), 1u);
  EXPECT_EQ(messages_.seen[0].text.rfind(bad.message, 0), 0u) << messages_.seen[0].text;
  EXPECT_NE(messages_.seen[0].text.find(path.toStdString()), std::string::npos) << messages_.seen[0].text;
  EXPECT_EQ(window.windowTitle(), QStringLiteral("good.wav - Pitchwell"));
  EXPECT_EQ(Text(window, "nameLabel"), QStringLiteral("File: good.wav"));
  for (const char* button : kFileButtons) EXPECT_TRUE(Find<QWidget>(window, button)->isEnabled()) << button;
  EXPECT_EQ(window.session(), song);
  EXPECT_EQ(window.playback()->state(), Playback::State::Playing);
  EXPECT_GE(window.playback()->positionMs(), 500);
  EXPECT_EQ(Text(window, "scaleLabel"), QStringLiteral("-2.0 st"));
  EXPECT_EQ(window.parameters().values().pitchSemitones, -2.0);
  Find<SkinButton>(window, "stopButton")->click();
}

// With nothing open, a refused file leaves the window empty and clean.
TEST_F(MainWindowPlaybackTest, ARefusedFirstFileLeavesTheWindowEmpty) {
  MainWindow window(store_, QString(), 1.0f);
  std::vector<bool> enabled;
  for (const char* button : kFileButtons) enabled.push_back(Find<QWidget>(window, button)->isEnabled());
  window.openFile(QString::fromStdString(dir_ + "/missing.wav"));
  ASSERT_EQ(messages_.seen.size(), 1u);
  EXPECT_EQ(messages_.seen[0].text.rfind("Could not open audio file!", 0), 0u);
  EXPECT_EQ(window.session(), nullptr);
  EXPECT_EQ(Text(window, "nameLabel"), QStringLiteral("File:"));
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Pitchwell"));
  for (size_t i = 0; i < enabled.size(); ++i)
    EXPECT_EQ(Find<QWidget>(window, kFileButtons[i])->isEnabled(), enabled[i]) << kFileButtons[i];
  EXPECT_FALSE(Find<QWidget>(window, "saveButton")->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Files, MainWindowBadFileTest,
    ::testing::Values(BadFile{"empty.wav", 44100, 2, 0.0, "Audio file is empty."},
                      BadFile{"missing.wav", 0, 0, 0.0, "Could not open audio file!"},
                      BadFile{"fast.wav", 48001, 2, 0.5, "Sampling rates higher than 48000 Hz are not supported."},
                      BadFile{"surround.wav", 44100, 6, 0.5,
                              "Multi-channel audio files are not supported. Please select only STEREO or MONO "
                              "files."}));

TEST_F(MainWindowPlaybackTest, DropOpensTheFirstFileOnly) {
  MainWindow window(store_, QString(), 1.0f);
  const QString first = Tone("first.wav", 22050, 1, 0.5);
  const QString second = Tone("second.wav", 22050, 1, 0.5);
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)});
  QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &drop);

  EXPECT_TRUE(messages_.seen.empty());
  EXPECT_EQ(window.windowTitle(), QStringLiteral("first.wav - Pitchwell"));
  EXPECT_EQ(window.requestedFile(), first);
}

TEST_F(MainWindowPlaybackTest, OpenDialogFilters) {
  const QStringList filters = OpenDialogFilters();
  ASSERT_EQ(filters.size(), 10);
  EXPECT_EQ(filters[0], QStringLiteral("All supported formats (*.mp3 *.mp2 *.wav *.wma *.flac *.ogg *.aiff *.aif "
                                       "*.m4a *.mp4 *.aac *.ape)"));
  EXPECT_EQ(filters[1], QStringLiteral("MP3 Files (*.mp3 *.mp2)"));
  EXPECT_EQ(filters[5], QStringLiteral("OGG Vorbis Files (*.ogg)"));
  EXPECT_EQ(filters[6], QStringLiteral("AIFF Files (*.aiff *.aif)"));
  EXPECT_EQ(filters[9], QStringLiteral("APE Files (*.ape)"));
}

struct SliderCase {
  const char* slider;
  double position;
  const char* label;
  const char* text;
};

// The worked values of the effect sliders, set as a drag or a program sets
// them (event value and position agree).
TEST_F(MainWindowPlaybackTest, SliderLabels) {
  const SliderCase cases[] = {
      {"speedBar", 250, "shiftLabel", "+25.0 %"},     {"speedBar", -250, "shiftLabel", "-12.5 %"},
      {"speedBar", 1000, "shiftLabel", "+100.0 %"},   {"speedBar", 123.4, "shiftLabel", "+12.3 %"},
      {"tempoBar", 100, "tempoLabel", "+5.9 %"},      {"tempoBar", -100, "tempoLabel", "-5.6 %"},
      {"tempoBar", 600, "tempoLabel", "+41.4 %"},     {"tempoBar", -1200, "tempoLabel", "-50.0 %"},
      {"pitchBar", 5, "scaleLabel", "+0.5 st"},       {"pitchBar", -120, "scaleLabel", "-12.0 st"},
      {"trebleBar", 4, "trebleLabel", "+0.2 %"},      {"trebleBar", 2000, "trebleLabel", "+100.0 %"},
      {"bassBar", 510, "bassLabel", "+5.1 %"},        {"bassBar", 10000, "bassLabel", "+100.0 %"},
  };
  MainWindow window(store_, Tone("tone.wav", 44100, 2, 1.0), 1.0f);
  for (const SliderCase& c : cases) {
    SCOPED_TRACE(std::string(c.slider) + " " + std::to_string(c.position));
    Find<Slider>(window, c.slider)->setPosition(c.position);
    EXPECT_EQ(Text(window, c.label), QString::fromUtf8(c.text));
  }
  // The model holds the exact values and the engine has them.
  const EffectValues& v = window.parameters().values();
  EXPECT_DOUBLE_EQ(v.speedPercent, 12.34);
  EXPECT_DOUBLE_EQ(v.treblePercent, 100);
  EXPECT_DOUBLE_EQ(v.bassPercent, 100);
  EXPECT_EQ(window.session()->chain().values(), v);
}

// A key step shows at once on every slider's label, held or released.
TEST_F(MainWindowPlaybackTest, KeyStepsShowAtOnce) {
  struct KeyCase {
    const char* slider;
    const char* label;
    const char* whileHeld;
    const char* released;
  };
  const KeyCase cases[] = {
      {"speedBar", "shiftLabel", "+0.1 %", "+0.1 %"},
      {"tempoBar", "tempoLabel", "+0.1 %", "+0.1 %"},
      {"pitchBar", "scaleLabel", "+0.1 st", "+0.1 st"},
      {"trebleBar", "trebleLabel", "+0.2 %", "+0.2 %"},
  };
  MainWindow window(store_, QString(), 1.0f);
  window.show();
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.slider);
    auto* slider = Find<Slider>(window, c.slider);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
    QCoreApplication::sendEvent(slider, &press);
    EXPECT_EQ(Text(window, c.label), QString::fromUtf8(c.whileHeld));
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Up, Qt::NoModifier);
    QCoreApplication::sendEvent(slider, &release);
    EXPECT_EQ(Text(window, c.label), QString::fromUtf8(c.released));
  }
}

// Speed and tempo rewrite the BPM label; pitch, treble and bass leave it.
TEST_F(MainWindowPlaybackTest, OnlySpeedAndTempoRewriteTheBpmLabel) {
  const struct {
    const char* slider;
    double position;
    bool rewrites;
  } cases[] = {{"pitchBar", 50, false}, {"trebleBar", 400, false}, {"bassBar", 1500, false},
               {"speedBar", 100, true}, {"tempoBar", 300, true}};
  MainWindow window(store_, QString(), 1.0f);
  auto* bpm = Find<QLabel>(window, "bpmLabel");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slider);
    bpm->setText(QStringLiteral("untouched"));
    Find<Slider>(window, c.slider)->setPosition(c.position);
    EXPECT_EQ(bpm->text(), c.rewrites ? QStringLiteral("---") : QStringLiteral("untouched"));
  }
}

// A new file starts neutral: every slider back at 0, its label and its stage.
TEST_F(MainWindowPlaybackTest, OpeningResetsTheSliders) {
  const QString file = Tone("tone.wav", 44100, 2, 1.0);
  MainWindow window(store_, file, 1.0f);
  Find<Slider>(window, "speedBar")->setPosition(250);
  Find<Slider>(window, "pitchBar")->setPosition(-30);
  Find<Slider>(window, "bassBar")->setPosition(1530);
  window.openFile(file);
  for (const char* name : {"speedBar", "tempoBar", "pitchBar", "trebleBar", "bassBar"})
    EXPECT_EQ(Find<Slider>(window, name)->position(), 0.0) << name;
  EXPECT_EQ(Text(window, "shiftLabel"), QStringLiteral("0.0 %"));
  EXPECT_EQ(Text(window, "scaleLabel"), QStringLiteral("0.0 st"));
  EXPECT_EQ(Text(window, "bassLabel"), QStringLiteral("0.0 %"));
  EXPECT_EQ(window.parameters().values(), EffectValues{});
  EXPECT_EQ(window.session()->chain().values(), EffectValues{});
}

TEST_F(MainWindowPlaybackTest, PlayTicksThenStopResets) {
  MainWindow window(store_, Tone("long.wav", 8000, 1, 60.0), 1.0f);
  const Playback& playback = *window.playback();
  auto* position = Find<Slider>(window, "positionSlider");

  Find<SkinButton>(window, "playButton")->click();
  EXPECT_EQ(playback.state(), Playback::State::Playing);
  ASSERT_TRUE(WaitForPosition(playback, 3000));
  window.tick();
  EXPECT_GE(Text(window, "timeLabel"), QStringLiteral("00:00:03"));
  EXPECT_LE(Text(window, "timeLabel"), QStringLiteral("00:01:00"));
  EXPECT_GE(position->position(), 5.0);
  EXPECT_LE(position->position(), 100.0);

  Find<SkinButton>(window, "stopButton")->click();
  EXPECT_EQ(playback.state(), Playback::State::Stopped);
  EXPECT_EQ(playback.positionMs(), 0);
  EXPECT_EQ(Text(window, "timeLabel"), QStringLiteral("00:00:00"));
  EXPECT_EQ(position->position(), 0.0);
  window.tick();  // stopped: the clock leaves the readouts alone
  EXPECT_EQ(Text(window, "timeLabel"), QStringLiteral("00:00:00"));
}

// While playing, each beat draws the spectrum of what is heard; after STOP
// the emptied analyser lets the bars fall.
TEST_F(MainWindowPlaybackTest, SpectrumFollowsPlayback) {
  MainWindow window(store_, Tone("long.wav", 8000, 1, 60.0), 1.0f);
  window.show();
  const Playback& playback = *window.playback();
  const auto* display = Find<SpectrumDisplay>(window, "spectrumDisplay");
  auto tallest = [display] {
    float top = 0;
    for (int column = 0; column < kSpectrumColumns; ++column) top = std::max(top, display->frames().barLevel(column));
    return top;
  };
  ASSERT_EQ(tallest(), 0.0f);

  Find<SkinButton>(window, "playButton")->click();
  ASSERT_TRUE(WaitForPosition(playback, 1000));
  window.tick();
  const float playing = tallest();
  EXPECT_GT(playing, 0.0f);

  Find<SkinButton>(window, "stopButton")->click();
  for (int i = 0; i < 200; ++i) window.tick();
  EXPECT_LT(tallest(), playing);
}

TEST_F(MainWindowPlaybackTest, TransportDoesNothingWithoutAFile) {
  MainWindow window(store_, QString(), 1.0f);
  for (const char* button : {"playButton", "pauseButton", "stopButton"}) Find<SkinButton>(window, button)->click();
  window.tick();
  EXPECT_EQ(window.playback()->state(), Playback::State::Stopped);
  EXPECT_EQ(Text(window, "timeLabel"), QStringLiteral("00:00:00"));
  EXPECT_TRUE(messages_.seen.empty());
}

// Pressing the position slider pauses; releasing seeks to the same share of
// the file and plays from there.
TEST_F(MainWindowPlaybackTest, PositionSliderSeeksAndPlays) {
  MainWindow window(store_, Tone("long.wav", 8000, 1, 60.0), 1.0f);
  const Playback& playback = *window.playback();
  auto* position = Find<Slider>(window, "positionSlider");
  ASSERT_EQ(position->width(), 250);

  QTest::mousePress(position, Qt::LeftButton, Qt::NoModifier, QPoint(125, 10));
  EXPECT_EQ(playback.state(), Playback::State::Paused);
  QTest::mouseRelease(position, Qt::LeftButton, Qt::NoModifier, QPoint(125, 10));
  EXPECT_EQ(playback.state(), Playback::State::Playing);
  EXPECT_GE(playback.positionMs(), 30000);  // 60 s × 125 / 250
  Find<SkinButton>(window, "stopButton")->click();
}

// The end of the file stops and rewinds; an end reported by a file that has
// since been replaced is not this file's.
TEST_F(MainWindowPlaybackTest, EndOfPlayback) {
  const QString file = Tone("short.wav", 8000, 1, 3.0);
  MainWindow window(store_, file, 1.0f);
  const Playback& playback = *window.playback();
  Find<SkinButton>(window, "playButton")->click();
  ASSERT_TRUE(WaitForPosition(playback, 1000));
  window.tick();
  ASSERT_NE(Text(window, "timeLabel"), QStringLiteral("00:00:00"));

  // The null device plays the rest at once; its end arrives as an event.
  for (int i = 0; i < 4000 && playback.state() != Playback::State::Stopped; ++i) {
    QCoreApplication::sendPostedEvents(&window, PlaybackEndedEvent::kType);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(playback.state(), Playback::State::Stopped);
  EXPECT_EQ(playback.positionMs(), 0);
  EXPECT_EQ(Text(window, "timeLabel"), QStringLiteral("00:00:00"));
  EXPECT_EQ(Find<Slider>(window, "positionSlider")->position(), 0.0);

  // An end posted by the previous opening, arriving after the file was
  // opened again (as a queued event can), leaves the new playback alone;
  // the current opening's end still stops it.
  const uint64_t previous = playback.attachSerial();
  window.openFile(file);
  ASSERT_NE(playback.attachSerial(), previous);
  Find<SkinButton>(window, "playButton")->click();
  QCoreApplication::postEvent(&window, new PlaybackEndedEvent(previous));
  QCoreApplication::sendPostedEvents(&window, PlaybackEndedEvent::kType);
  EXPECT_EQ(playback.state(), Playback::State::Playing);
  QCoreApplication::postEvent(&window, new PlaybackEndedEvent(playback.attachSerial()));
  QCoreApplication::sendPostedEvents(&window, PlaybackEndedEvent::kType);
  EXPECT_EQ(playback.state(), Playback::State::Stopped);
}

TEST(TransportArithmetic, ElapsedTimeText) {
  const struct {
    uint32_t ms;
    const char* text;
  } cases[] = {{0, "00:00:00"},          {999, "00:00:00"},          {59999, "00:00:59"},
               {3723456, "01:02:03"},    {360000000, "100:00:00"},   {4294967295u, "1193:02:47"}};
  for (const auto& c : cases) EXPECT_EQ(ElapsedTimeText(c.ms), QString::fromLatin1(c.text)) << c.ms;
}

TEST(TransportArithmetic, PositionPercent) {
  const struct {
    uint32_t positionMs;
    int32_t durationMs;
    double percent;
  } cases[] = {
      {99999, 200000, 49},
      {0, 200000, 0},
      {10799999, 10800000, 99},       // three hours: the product needs 64 bits
      {2147483647, 2147483647, 100},  // the longest duration
      {4294967295u, 2147483647, 200},
      {500, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PositionPercent(c.positionMs, c.durationMs), c.percent) << c.positionMs << " / " << c.durationMs;
}

TEST(TransportArithmetic, SeekTarget) {
  const struct {
    int32_t durationMs;
    double x;
    int width;
    uint32_t ms;
  } cases[] = {
      {10800000, 249, 250, 10756800},  // a three-hour file
      {10800000, -5, 250, 0},          // left of the slider
      {10800000, 260, 250, 11232000},  // right of it: past the end
      {10800000, 124.9, 250, 5356800}, // whole pixels
      {2147483647, 250, 250, 2147483647},
      {200000, 100, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SeekTargetMs(c.durationMs, c.x, c.width), c.ms) << c.durationMs << " at " << c.x << " of " << c.width;
}

}  // namespace
