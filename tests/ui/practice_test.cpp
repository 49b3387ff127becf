// The practice drawer in the window: opening and closing it (the window is
// exactly as it always was while closed, the state is remembered), the A–B
// loop with its markers, and the speed trainer stepping after every pass.
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QTemporaryDir>
#include <QDeadlineTimer>
#include <QDoubleSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>

#include "keyset.h"
#include "ui/main_window.h"
#include "engine/playback.h"
#include "engine/session.h"
#include "message_capture.h"
#include "ui/practice_drawer.h"
#include "scoped_environment.h"
#include "ui/skin.h"
#include "ui/skin_button.h"
#include "ui/slider.h"
#include "ui/slider_mapping.h"
#include "ui/waveform_lane.h"
#include "ui/playback_parameters.h"
#include "wait_until.h"
#include "testaudio.h"
#include "widget_app.h"
#include "window_test.h"

namespace {

class PracticeTest : public pwtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    const std::string path = pwtest::TempDir("practice") + "/tone.wav";
    pwtest::WriteWav(path, pwtest::Sine(440, 44100, 2, 44100 * 10), 44100, 2, 16);
    file_ = QString::fromStdString(path);
  }
  QString file_;
};

TEST_F(PracticeTest, TheDrawerOpensBelowAndIsRemembered) {
  const QSize skin = Skin::sizeAt(1.0f);
  {
    MainWindow window(store_, file_, 1.0f);
    EXPECT_FALSE(window.practiceDrawerOpen());
    EXPECT_EQ(window.size(), skin);
    EXPECT_FALSE(window.practiceDrawer()->isVisibleTo(&window));
    QTest::keyClick(&window, Qt::Key_P);
    ASSERT_TRUE(window.practiceDrawerOpen());
    EXPECT_EQ(window.width(), skin.width());
    EXPECT_GT(window.height(), skin.height());
    EXPECT_TRUE(window.practiceDrawer()->isVisibleTo(&window));
    EXPECT_EQ(window.practiceDrawer()->geometry().bottom(), window.height() - 1);
  }
  {
    MainWindow window(store_, file_, 1.0f);  // the next start opens it again
    EXPECT_TRUE(window.practiceDrawerOpen());
    QTest::keyClick(&window, Qt::Key_P);
    EXPECT_EQ(window.size(), skin);  // closed: exactly the window as it was
  }
  MainWindow window(store_, file_, 1.5f);
  EXPECT_FALSE(window.practiceDrawerOpen());
}

TEST_F(PracticeTest, TheLoopShowsOnThePositionSliderAndInTheDrawer) {
  MainWindow window(store_, file_, 1.0f);
  window.setPracticeDrawerOpen(true);
  auto* position = window.findChild<Slider*>(QStringLiteral("positionSlider"));
  auto* loopLabel = window.practiceDrawer()->findChild<QLabel*>(QStringLiteral("loopLabel"));
  EXPECT_TRUE(std::isnan(position->markerA()));
  window.setLoop(2500, 5000);
  EXPECT_TRUE(window.session()->chain().loop().active());
  EXPECT_EQ(window.session()->chain().loop().startFrame(), 110250);
  EXPECT_EQ(window.session()->chain().loop().endFrame(), 220500);
  EXPECT_DOUBLE_EQ(position->markerA(), 25.0);
  EXPECT_DOUBLE_EQ(position->markerB(), 50.0);
  EXPECT_EQ(loopLabel->text(), QStringLiteral("A 0:02.5 – B 0:05.0"));  // to the tenth

  // [ while stopped puts A at the start, where B is still after it.
  QTest::keyClick(&window, Qt::Key_BracketLeft);
  EXPECT_EQ(window.loopStartMs(), 0);
  EXPECT_EQ(window.session()->chain().loop().startFrame(), 0);
  // ] at the same place as A is refused: B must come after A.
  QTest::keyClick(&window, Qt::Key_BracketRight);
  EXPECT_EQ(window.loopEndMs(), 5000);

  // Another song clears the loop; so does CLEAR.
  const std::string other = pwtest::TempDir("practice-other") + "/other.wav";
  pwtest::WriteWav(other, pwtest::Sine(330, 44100, 2, 44100 * 10), 44100, 2, 16);
  window.openFile(QString::fromStdString(other));
  EXPECT_FALSE(window.session()->chain().loop().active());
  EXPECT_TRUE(std::isnan(position->markerB()));
  window.setLoop(1000, 2000);
  window.practiceDrawer()->findChild<SkinButton*>(QStringLiteral("loopClearButton"))->click();
  EXPECT_FALSE(window.session()->chain().loop().active());
  EXPECT_EQ(window.loopEndMs(), -1);
}

// -30 % → 0 % in 10 % steps over a loop of 0.3 s played in real time: the
// tempo label shows every step, one per pass, and stays at the target.
TEST_F(PracticeTest, TheTrainerStepsTheTempoAfterEveryPass) {
  std::unique_ptr<MainWindow> owned;
  {
    pwtest::ScopedEnvironment realTime{{"PITCHWELL_AUDIO", "null"}};  // so that every pass is seen
    owned = std::make_unique<MainWindow>(store_, file_, 1.0f);
  }
  MainWindow& window = *owned;
  window.setPracticeDrawerOpen(true);
  PracticeDrawer* drawer = window.practiceDrawer();
  drawer->findChild<QDoubleSpinBox*>(QStringLiteral("trainerFrom"))->setValue(-30);
  drawer->findChild<QDoubleSpinBox*>(QStringLiteral("trainerStep"))->setValue(10);
  drawer->findChild<QDoubleSpinBox*>(QStringLiteral("trainerTo"))->setValue(0);
  auto* trainer = drawer->findChild<SkinButton*>(QStringLiteral("trainerButton"));
  EXPECT_FALSE(trainer->isEnabled());  // no loop yet
  window.setLoop(0, 300);
  ASSERT_TRUE(trainer->isEnabled());
  trainer->click();
  auto* tempo = window.findChild<QLabel*>(QStringLiteral("tempoLabel"));
  EXPECT_EQ(tempo->text(), QStringLiteral("-30.0 %"));

  window.findChild<SkinButton*>(QStringLiteral("playButton"))->click();
  QStringList seen{tempo->text()};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (seen.size() < 4 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    window.tick();
    if (tempo->text() != seen.back()) seen << tempo->text();
  }
  window.findChild<SkinButton*>(QStringLiteral("stopButton"))->click();
  EXPECT_EQ(seen, QStringList({"-30.0 %", "-20.0 %", "-10.0 %", "0.0 %"}));
  EXPECT_TRUE(drawer->findChild<QLabel*>(QStringLiteral("trainerStatus"))->text().contains(QStringLiteral("reached")));
}

// GET BPM's pass measures the key too: the drawer shows it and where the
// pitch and speed sliders take it; "Tune to A440" plays the measured
// tuning offset back the other way.
TEST_F(PracticeTest, TheKeyFollowsPitchAndSpeedAndTheTuningCanBeCorrected) {
  keyset::Song song;
  song.tonic = 9;  // A minor, 24 cents sharp
  song.minor = true;
  song.cents = 24;
  song.seconds = 8;
  song.seed = 3;
  const std::string path = pwtest::TempDir("practice-key") + "/a-minor.wav";
  pwtest::WriteWav(path, keyset::Render(song), song.rate, song.channels, 16);
  MainWindow window(store_, QString::fromStdString(path), 1.0f);
  window.setPracticeDrawerOpen(true);
  PracticeDrawer* drawer = window.practiceDrawer();
  auto* key = drawer->findChild<QLabel*>(QStringLiteral("keyLabel"));
  auto* tuning = drawer->findChild<QLabel*>(QStringLiteral("tuningLabel"));
  auto* tune = drawer->findChild<SkinButton*>(QStringLiteral("tuneButton"));
  EXPECT_EQ(key->text(), QStringLiteral("---"));
  EXPECT_FALSE(tune->isEnabled());

  window.findChild<SkinButton*>(QStringLiteral("bpmButton"))->click();
  QDeadlineTimer deadline(60000);
  while (window.measuringBpm() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_FALSE(window.measuringBpm());
  EXPECT_EQ(key->text(), QStringLiteral("A minor → A minor"));
  ASSERT_TRUE(tuning->text().startsWith(QStringLiteral("+"))) << tuning->text().toStdString();
  const double cents = tuning->text().mid(1).section(QLatin1Char(' '), 0, 0).toDouble();
  EXPECT_NEAR(cents, 24, 5);

  auto* pitch = window.findChild<Slider*>(QStringLiteral("pitchBar"));
  auto* speed = window.findChild<Slider*>(QStringLiteral("speedBar"));
  pitch->setPosition(20);  // +2 st
  EXPECT_EQ(key->text(), QStringLiteral("A minor → B minor"));
  speed->setPosition(*pw::SpeedPositionFromPercent(100));  // an octave up with the pitch slider's +2
  EXPECT_EQ(key->text(), QStringLiteral("A minor → B minor"));
  pitch->setPosition(0);
  speed->setPosition(*pw::SpeedPositionFromPercent(-50));  // an octave down
  EXPECT_EQ(key->text(), QStringLiteral("A minor → A minor"));
  speed->setPosition(0);

  ASSERT_TRUE(tune->isEnabled());
  tune->click();
  EXPECT_TRUE(drawer->tuned());
  EXPECT_NEAR(window.session()->chain().values().fineTuneCents, -cents, 0.5);
  tune->click();
  EXPECT_EQ(window.session()->chain().values().fineTuneCents, 0.0);

  window.openFile(QString::fromStdString(path));  // another opening forgets the key
  EXPECT_EQ(key->text(), QStringLiteral("---"));
  EXPECT_FALSE(tune->isEnabled());
}

}  // namespace

namespace {

// The lane in the drawer shows the open song's whole outline, follows the
// model, and what it is asked reaches the model and the engine.
TEST_F(PracticeTest, TheLaneDrawsTheSongAndItsGesturesReachTheModel) {
  MainWindow window(store_, file_, 1.0f);
  window.setPracticeDrawerOpen(true);
  window.show();
  auto* lane = window.practiceDrawer()->findChild<WaveformLane*>(QStringLiteral("waveformLane"));
  ASSERT_NE(lane, nullptr);
  ASSERT_TRUE(pwtest::WaitUntil([&] { QCoreApplication::processEvents(); return !lane->polling(); }, 60, 20)) << "the outline never finished";
  EXPECT_EQ(lane->lengthMs(), window.session()->durationMs());

  const int y = lane->centreRow();
  const auto x = [&](int64_t ms) { return int(std::lround(lane->view().xAt(double(ms), lane->width()))); };
  QTest::mouseClick(lane, Qt::LeftButton, Qt::NoModifier, QPoint(x(4000), y));
  EXPECT_NEAR(double(window.playback()->positionMs()), 4000, 50);  // a pixel is 20 ms here

  QTest::mousePress(lane, Qt::LeftButton, Qt::NoModifier, QPoint(x(2000), y));
  QTest::mouseMove(lane, QPoint(x(5000), y));
  QTest::mouseRelease(lane, Qt::LeftButton, Qt::NoModifier, QPoint(x(6000), y));
  EXPECT_NEAR(double(window.loopStartMs()), 2000, 50);
  EXPECT_NEAR(double(window.loopEndMs()), 6000, 50);
  EXPECT_TRUE(window.session()->chain().loop().active());

  window.seekTo(3000);
  window.addMarkerHere();
  ASSERT_EQ(lane->markers().size(), 1u);
  EXPECT_EQ(lane->markers()[0].ms, 3000);
  window.askMarkerName = [](const QString& current) {
    EXPECT_EQ(current, QStringLiteral("Marker 1"));
    return std::optional<QString>(QStringLiteral("  Solo "));
  };
  emit lane->markerRenameRequested(0);
  EXPECT_EQ(window.parameters().markers()[0].name, QStringLiteral("Solo"));
  EXPECT_EQ(lane->markers()[0].name, QStringLiteral("Solo"));
  emit lane->markerDeleteRequested(0);
  EXPECT_TRUE(lane->markers().empty());
}

}  // namespace
