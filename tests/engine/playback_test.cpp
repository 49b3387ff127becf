// Playback: the device, one stream for the attached session, the transport,
// the end of a play and seeking while playing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/messages.h"
#include "message_capture.h"
#include "engine/playback.h"
#include "playback_owner.h"
#include "scoped_environment.h"
#include "engine/session.h"
#include "testaudio.h"

namespace {

using pwtest::WaitUntil;

class PlaybackTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture messages;
  std::unique_ptr<Playback> playback = std::make_unique<Playback>();
  pwtest::PlaybackOwner owner{*playback};
  std::unique_ptr<Session> session;
  std::string dir = pwtest::TempDir("playback");

  void TearDown() override {
    playback->attach(nullptr);
  }
  std::string Tone(double seconds, int rate = 44100, int channels = 2) {
    const std::string path = dir + "/tone.wav";
    pwtest::WriteWav(path, pwtest::Sine(440, rate, channels, size_t(seconds * rate)), rate, channels, 16);
    return path;
  }
  void Open(const std::string& path) {
    playback->attach(nullptr);
    std::string problem;
    session = Session::open(path, &problem);
    ASSERT_NE(session, nullptr) << problem;
    ASSERT_TRUE(playback->attach(session.get()));
  }
};

TEST_F(PlaybackTest, AttachMakesAStreamForTheSessionsFormat) {
  Open(Tone(0.5, 22050, 1));
  ASSERT_NE(playback->stream(), nullptr);
  EXPECT_EQ(playback->stream()->format().rate, 22050);
  EXPECT_EQ(playback->stream()->format().channels, 1);
  EXPECT_EQ(playback->state(), Playback::State::Stopped);
  EXPECT_EQ(playback->session(), session.get());
  EXPECT_TRUE(messages.seen.empty());
}

TEST_F(PlaybackTest, PlayToTheEndReportsOnceRewindsAndPlaysAgain) {
  Open(Tone(0.3));
  for (int round = 1; round <= 2; ++round) {
    playback->play();
    EXPECT_EQ(playback->state(), Playback::State::Playing);
    ASSERT_TRUE(owner.waitForEnds(round)) << round;
    // Nothing more arrives for this end.
    WaitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(owner.ends(), round);
    EXPECT_EQ(playback->state(), Playback::State::Stopped);
    EXPECT_EQ(playback->positionMs(), 0);
  }
}

TEST_F(PlaybackTest, TransportWithoutASessionChangesNothing) {
  playback->play();
  playback->pause();
  playback->stop();
  playback->setVolume(5000);
  playback->seekMs(1000);
  EXPECT_EQ(playback->state(), Playback::State::Stopped);
  EXPECT_EQ(playback->positionMs(), 0);
  float buffer[16];
  EXPECT_EQ(playback->heard(buffer, 8), 0u);
  EXPECT_EQ(playback->read(buffer, 8), 0u);  // a stream without a session ends
  EXPECT_TRUE(messages.seen.empty());
}

TEST_F(PlaybackTest, PauseWhileStoppedThenPlay) {
  Open(Tone(0.5));
  playback->pause();
  EXPECT_EQ(playback->state(), Playback::State::Paused);
  playback->play();
  EXPECT_EQ(playback->state(), Playback::State::Playing);
  ASSERT_TRUE(owner.waitForEnds(1));
}

TEST_F(PlaybackTest, SetVolumeMapsKnobToGain) {
  Open(Tone(0.2));
  const struct { int32_t knob; float gain; } cases[] = {{8000, 0.8f}, {1, 0.0001f}, {10000, 1.0f}};
  for (const auto& c : cases) {
    playback->setVolume(c.knob);
    ASSERT_NE(playback->stream(), nullptr);
    EXPECT_FLOAT_EQ(playback->stream()->volume(), c.gain) << c.knob;
  }
}

TEST_F(PlaybackTest, HeardGivesWholeFramesOfWhatWasPlayed) {
  Open(Tone(3.0));
  playback->play();
  ASSERT_TRUE(WaitUntil([&] { return playback->positionMs() > 1000 || owner.ends() > 0; }));
  std::vector<float> buffer(2 * 2000);
  size_t n = 0;
  ASSERT_TRUE(WaitUntil([&] { return (n = playback->heard(buffer.data(), 2000)) > 0; }));
  EXPECT_LE(n, 2000u);
  double peak = 0;
  for (size_t i = 0; i < n * 2; ++i) peak = std::max(peak, double(std::fabs(buffer[i])));
  EXPECT_GT(peak, 0.1);  // the tone, not silence
  playback->stop();
}

TEST_F(PlaybackTest, DetachingWhilePlayingStopsAndNoEndArrives) {
  Open(Tone(2.0));
  playback->play();
  ASSERT_NE(playback->stream(), nullptr);
  const uint64_t serial = playback->attachSerial();
  playback->attach(nullptr);
  EXPECT_EQ(playback->session(), nullptr);
  EXPECT_EQ(playback->state(), Playback::State::Stopped);
  EXPECT_EQ(playback->stream(), nullptr);  // the stream is gone
  EXPECT_NE(playback->attachSerial(), serial);
  // … and no end arrives from it.
  WaitUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(owner.ends(), 0);
}

TEST_F(PlaybackTest, SeekWhilePlayingDropsWhatWasAheadAndGoesOn) {
  // A ramp, so that every frame tells where it came from (float WAV: exact).
  constexpr int kRate = 8000;
  std::vector<float> ramp(size_t(kRate) * 8);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i) / float(ramp.size());
  const std::string path = dir + "/ramp.wav";
  pwtest::WriteWav(path, ramp, kRate, 1, 32);
  // At the real-time pace: what is heard after the seek is still in the
  // device's recent-output ring when it is looked at.
  const auto env = pwtest::ScopedEnvironment::Audio("null");
  std::string problem;
  const std::unique_ptr<Session> ramped = Session::open(path, &problem);
  ASSERT_NE(ramped, nullptr) << problem;
  Playback realTime;  // after the session: its stream goes first
  ASSERT_TRUE(realTime.attach(ramped.get()));
  realTime.play();
  ASSERT_TRUE(WaitUntil([&] { return realTime.positionMs() >= 500; }));
  realTime.seekMs(3000);
  EXPECT_EQ(realTime.stream()->state(), OutputStream::State::Playing);
  std::vector<float> heard(1 << 15);
  size_t n = 0;
  ASSERT_TRUE(WaitUntil([&] { return (n = realTime.heard(heard.data(), heard.size())) > 0; }));
  // Only sound from the new place: the first frame heard is the one at 3 s.
  EXPECT_EQ(heard[0], ramp[size_t(kRate) * 3]);
  for (size_t i = 1; i < n; ++i) ASSERT_EQ(heard[i], ramp[size_t(kRate) * 3 + i]) << i;
  realTime.stop();
  realTime.attach(nullptr);
}

TEST(PlaybackWithoutOutput, OpensNoDeviceAndPlaysNothing) {
  pwtest::MessageCapture messages;
  Playback playback(Playback::Output::None);
  EXPECT_EQ(playback.device(), nullptr);
  EXPECT_TRUE(messages.seen.empty());
}

}  // namespace

// A machine without any sound output (a build machine: no sound server to
// reach, no card): the user is told once, with the error code, and the
// silent real-time device stands in, so a file still opens and plays to its
// end. Where a real card answers, there is nothing to test.
TEST(PlaybackWithoutSoundCard, SaysSoAndGoesOnSilently) {
  const std::string dir = pwtest::TempDir("playback-nocard");
  pwtest::ScopedEnvironment env{{"PITCHWELL_AUDIO", nullptr},
                        {"PULSE_SERVER", "unix:/nonexistent/pulse"},
                        {"JACK_NO_START_SERVER", "1"}};
  pwtest::MessageCapture messages;
  Playback playback;
  pwtest::PlaybackOwner owner(playback);
  if (playback.device() != nullptr && playback.device()->kind() == OutputDevice::Kind::PortAudio)
    GTEST_SKIP() << "this machine has a sound card: " << playback.device()->description();
  ASSERT_EQ(messages.seen.size(), 1u);
  const std::string& text = messages.seen[0].text;
  EXPECT_EQ(text.rfind("Error initializing audio!\n(Error code: ", 0), 0u) << text;
  EXPECT_TRUE(text.find("(Error code: 23)") != std::string::npos || text.find("(Error code: 3)") != std::string::npos)
      << text;
  ASSERT_NE(playback.device(), nullptr);
  EXPECT_EQ(playback.device()->kind(), OutputDevice::Kind::Null);

  const std::string path = dir + "/tone.wav";
  pwtest::WriteWav(path, pwtest::Sine(440, 8000, 1, 2400), 8000, 1, 16);  // 0.3 s
  std::string problem;
  const std::unique_ptr<Session> session = Session::open(path, &problem);
  ASSERT_NE(session, nullptr) << problem;
  ASSERT_TRUE(playback.attach(session.get()));
  playback.play();
  EXPECT_TRUE(owner.waitForEnds(1));
  EXPECT_EQ(messages.seen.size(), 1u);  // nothing more to say
  playback.attach(nullptr);
}
