// GET BPM in the main window: the measurement on its worker, the buttons
// while it runs, the label with the measured and the modified tempo, and a
// measurement called off by opening another file or closing the window.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QLabel>
#include <QLocale>
#include <QTemporaryDir>

#include <chrono>
#include <thread>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/main_window.h"
#include "engine/playback.h"
#include "engine/session.h"
#include "message_capture.h"
#include "scoped_environment.h"
#include "ui/skin_button.h"
#include "ui/slider.h"
#include "ui/slider_mapping.h"
#include "testaudio.h"
#include "widget_app.h"
#include "window_test.h"
#include "wait_until.h"

namespace {

template <typename T>
T* Find(const MainWindow& window, const char* name) {
  return window.findChild<T*>(QString::fromLatin1(name));
}

QString BpmText(const MainWindow& window) { return Find<QLabel>(window, "bpmLabel")->text(); }

// Every button a running measurement holds back.
// What a measurement holds: only GET BPM itself. It reads the file on its
// own, so playing, seeking, saving and opening go on.
const char* const kHeldButtons[] = {"bpmButton"};
const char* const kFreeButtons[] = {"openButton", "saveButton", "playButton", "pauseButton", "stopButton"};

// Runs the event loop until the window has shown its measurement, for at
// most a minute.
bool WaitForMeasurement(const MainWindow& window) {
  return pwtest::WaitUntil(
      [&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return !window.measuringBpm();
      },
      std::chrono::seconds(60));
}

// Runs `before` once, just before the first queued call reaches the watched
// object (the hand-over of a measured value), then lets the call through.
class BeforeHandOver : public QObject {
 public:
  explicit BeforeHandOver(std::function<void()> before) : before_(std::move(before)) {}
  bool fired() const { return fired_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!fired_ && event->type() == QEvent::MetaCall) {
      fired_ = true;
      before_();
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> before_;
  bool fired_ = false;
};

class MainWindowBpmTest : public pwtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    dir_ = pwtest::TempDir("main-window-bpm");
  }
  QString Clicks(const std::string& name, double bpm, double seconds, int channels) {
    const std::string path = dir_ + "/" + name;
    pwtest::WriteWav(path, pwtest::ClickTrack(bpm, seconds, 22050, channels), 22050, channels, 16);
    return QString::fromStdString(path);
  }

  static void ExpectHeld(const MainWindow& window, bool held) {
    for (const char* name : kHeldButtons) EXPECT_EQ(Find<SkinButton>(window, name)->isEnabled(), !held) << name;
    for (const char* name : kFreeButtons) EXPECT_TRUE(Find<SkinButton>(window, name)->isEnabled()) << name;
  }

  std::string dir_;
};

TEST_F(MainWindowBpmTest, MeasuresTheFileAndFollowsTheSpeedSlider) {
  // The real-time silent device: the song plays at its pace while measured.
  const auto env = pwtest::ScopedEnvironment::Audio("null");
  MainWindow window(store_, Clicks("clicks120.wav", 120, 60, 2), 1.0f);
  ASSERT_NE(window.session(), nullptr);
  EXPECT_EQ(BpmText(window), QStringLiteral("---"));
  // Playing, then paused at a place: the measurement keeps both.
  Playback& playback = *window.playback();
  Find<SkinButton>(window, "playButton")->click();
  for (int i = 0; i < 4000 && playback.positionMs() < 800; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  Find<SkinButton>(window, "pauseButton")->click();
  const int64_t place = playback.positionMs();
  ASSERT_GE(place, 800);

  Find<SkinButton>(window, "bpmButton")->click();
  EXPECT_TRUE(window.measuringBpm());
  ExpectHeld(window, true);
  ASSERT_TRUE(WaitForMeasurement(window));
  EXPECT_EQ(BpmText(window), QStringLiteral("120/120.0"));
  ExpectHeld(window, false);
  EXPECT_EQ(playback.state(), Playback::State::Paused);
  EXPECT_EQ(playback.positionMs(), place);

  // While playing, the music goes on through the measurement.
  Find<SkinButton>(window, "playButton")->click();
  Find<SkinButton>(window, "bpmButton")->click();
  EXPECT_TRUE(window.measuringBpm());
  EXPECT_EQ(playback.state(), Playback::State::Playing);
  ASSERT_TRUE(WaitForMeasurement(window));
  EXPECT_GT(playback.positionMs(), place);
  Find<SkinButton>(window, "stopButton")->click();

  const auto tenPercent = pw::SpeedPositionFromPercent(10);
  ASSERT_TRUE(tenPercent.has_value());
  Find<Slider>(window, "speedBar")->setPosition(*tenPercent);
  EXPECT_EQ(BpmText(window), QStringLiteral("120/132.0"));
  Find<Slider>(window, "speedBar")->setPosition(0);
  EXPECT_EQ(BpmText(window), QStringLiteral("120/120.0"));
}

TEST_F(MainWindowBpmTest, OpeningAnotherFileDropsTheRunningMeasurement) {
  const QString first = Clicks("clicks90.wav", 90, 90, 1);
  const QString second = Clicks("clicks120.wav", 120, 12, 1);
  MainWindow window(store_, first, 1.0f);
  ASSERT_TRUE(window.session() != nullptr);

  Find<SkinButton>(window, "bpmButton")->click();
  ASSERT_TRUE(window.measuringBpm());
  window.openFile(second);
  EXPECT_FALSE(window.measuringBpm());
  EXPECT_EQ(BpmText(window), QStringLiteral("---"));
  ExpectHeld(window, false);

  // Whatever the first file's worker sent before it was stopped is delivered
  // now, and must not be shown for the second file.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(BpmText(window), QStringLiteral("---"));
  ExpectHeld(window, false);

  // The second file measures as its own.
  Find<SkinButton>(window, "bpmButton")->click();
  ASSERT_TRUE(WaitForMeasurement(window));
  EXPECT_EQ(BpmText(window), QStringLiteral("120/120.0"));
}

// The first file's worker finishes and its value is on its way when the
// second file opens: it arrives after the open and is dropped.
TEST_F(MainWindowBpmTest, AResultThatArrivesAfterAnotherOpenIsDropped) {
  const QString first = Clicks("clicks120.wav", 120, 12, 2);
  const QString second = Clicks("other120.wav", 120, 12, 1);
  MainWindow window(store_, first, 1.0f);
  ASSERT_TRUE(window.session() != nullptr);
  BeforeHandOver openSecond([&] { window.openFile(second); });
  // The result reaches the window through its measuring task.
  QObject* task = window.findChild<QObject*>(QStringLiteral("bpmKeyTask"));
  ASSERT_NE(task, nullptr);
  task->installEventFilter(&openSecond);

  Find<SkinButton>(window, "bpmButton")->click();
  QDeadlineTimer deadline(60000);
  while (!openSecond.fired() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_TRUE(openSecond.fired());
  task->removeEventFilter(&openSecond);
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();

  EXPECT_FALSE(window.measuringBpm());
  EXPECT_EQ(BpmText(window), QStringLiteral("---"));
  EXPECT_EQ(window.requestedFile(), second);
  ExpectHeld(window, false);
}

TEST_F(MainWindowBpmTest, ClosingTheWindowStopsTheMeasurement) {
  const QString file = Clicks("clicks90.wav", 90, 90, 1);
  {
    MainWindow window(store_, file, 1.0f);
    ASSERT_TRUE(window.session() != nullptr);
    Find<SkinButton>(window, "bpmButton")->click();
    ASSERT_TRUE(window.measuringBpm());
    window.close();
    EXPECT_FALSE(window.measuringBpm());
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(BpmText(window), QStringLiteral("---"));
  }
  // Destroyed while measuring: the worker is stopped before the reader goes.
  auto window = std::make_unique<MainWindow>(store_, file, 1.0f);
  ASSERT_TRUE(window->session() != nullptr);
  Find<SkinButton>(*window, "bpmButton")->click();
  ASSERT_TRUE(window->measuringBpm());
  window.reset();
  // A result the worker sent went with the window.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

}  // namespace
