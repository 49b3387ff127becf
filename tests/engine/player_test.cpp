#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "player.h"
#include "messages.h"
#include "message_capture.h"
#include "playerowner.h"
#include "scoped_environment.h"
#include "testaudio.h"

namespace {

class PlayerTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture messages;
  pwtest::PlayerOwner owner;
  std::unique_ptr<Player> player;
  std::string dir = pwtest::TempDir("player");
  int ends = 0;

  void SetUp() override {
    pwtest::EnsureCoreApp();
    player = std::make_unique<Player>(&owner);
    player->OnEnd = [this](Player*) { ++ends; };
    owner.player = player.get();
  }
  void TearDown() override {
    owner.player = nullptr;
    player.reset();
  }
  std::string Tone(double seconds, int rate = 44100, int channels = 2) {
    const std::string path = dir + "/tone.wav";
    pwtest::WriteWav(path, pwtest::Sine(440, rate, channels, size_t(seconds * rate)), rate, channels, 16);
    return path;
  }
  // Opens a file with the decoder as the reader's only stage.
  void OpenDirect(const std::string& path) {
    player->Open(path);
    ASSERT_TRUE(player->Loaded);
    ChainOutputReader* r = player->Reader.get();
    r->OnFill = [r](void* buffer, int32_t& count) { count = int32_t(r->UnbufferedRead(buffer, uint32_t(count))); };
  }
  // Runs the event loop until `done` or a generous deadline.
  template <typename F>
  bool Until(F done, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }
};

TEST_F(PlayerTest, OpenDescribesTheFile) {
  player->Open(Tone(0.5, 22050, 1));
  ASSERT_TRUE(player->Loaded);
  EXPECT_EQ(player->SampleRate, 22050u);
  EXPECT_EQ(player->Channels, 1u);
  EXPECT_EQ(player->BlockAlign, 4u);
  EXPECT_EQ(player->BitsPerSample, 32u);
  EXPECT_EQ(player->DurationMs, 500);
  EXPECT_NE(player->Stream(), nullptr);
  EXPECT_EQ(player->State, 0);
  EXPECT_TRUE(messages.seen.empty());
}

TEST_F(PlayerTest, PlayToTheEndPostsOnceRewindsAndPlaysAgain) {
  OpenDirect(Tone(0.3));
  for (int round = 1; round <= 2; ++round) {
    player->Play();
    EXPECT_EQ(player->State, 1);
    ASSERT_TRUE(Until([&] { return owner.ends == round; })) << round;
    // Nothing more arrives for this end.
    Until([] { return false; }, 200);
    EXPECT_EQ(owner.ends, round);
    EXPECT_EQ(ends, round);
    EXPECT_EQ(player->State, 0);
    EXPECT_EQ(player->GetPositionMs(), 0u);
    EXPECT_EQ(player->Reader->Position, 0);
  }
}

TEST_F(PlayerTest, TransportWithoutAFileChangesNothing) {
  player->Play();
  player->Pause();
  player->Stop();
  player->SetVolume(5000);
  EXPECT_EQ(player->State, 0);
  EXPECT_EQ(player->GetPositionMs(), 0u);
  const void* buffer = nullptr;
  EXPECT_EQ(player->GetData(1000, &buffer), 0);
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(PlayerTest, PauseWhileStoppedThenPlay) {
  OpenDirect(Tone(0.5));
  player->Pause();
  EXPECT_EQ(player->State, 2);
  player->Play();
  EXPECT_EQ(player->State, 1);
  ASSERT_TRUE(Until([&] { return owner.ends == 1; }));
}

TEST_F(PlayerTest, SetVolumeMapsKnobToGain) {
  player->Open(Tone(0.2));
  const struct { int32_t knob; float gain; } cases[] = {{8000, 0.8f}, {1, 0.0001f}, {10000, 1.0f}};
  for (const auto& c : cases) {
    player->SetVolume(c.knob);
    ASSERT_NE(player->Stream(), nullptr);
    EXPECT_FLOAT_EQ(player->Stream()->volume(), c.gain) << c.knob;
  }
}

TEST_F(PlayerTest, GetDataIsCappedAtTheAnalysisBuffer) {
  OpenDirect(Tone(3.0));
  player->Play();
  // Let some sound be "heard" first.
  Until([&] { return player->GetPositionMs() > 1000 || owner.ends > 0; });
  const struct { uint32_t asked; uint32_t limit; } cases[] = {{200000, 176400}, {8816, 8816}};
  for (const auto& c : cases) {
    const void* buffer = nullptr;
    const int32_t n = player->GetData(c.asked, &buffer);
    EXPECT_GE(n, 0);
    EXPECT_LE(uint32_t(n), c.limit) << c.asked;
    EXPECT_EQ(n % 8, 0);
    EXPECT_NE(buffer, nullptr);
  }
  player->Stop();
}

TEST_F(PlayerTest, OpenEmptyWhilePlayingReleasesEverything) {
  OpenDirect(Tone(2.0));
  player->Play();
  ASSERT_NE(player->Stream(), nullptr);
  player->Open("");
  EXPECT_FALSE(player->Loaded);
  EXPECT_EQ(player->Reader, nullptr);
  EXPECT_EQ(player->State, 0);
  EXPECT_EQ(player->Stream(), nullptr);  // the stream is gone
  // … and no end arrives from it.
  Until([] { return false; }, 200);
  EXPECT_EQ(owner.ends, 0);
}

TEST_F(PlayerTest, UnreadableFileKeepsTheReaderButIsNotLoaded) {
  player->Open(dir + "/missing.mp3");
  EXPECT_FALSE(player->Loaded);
  ASSERT_NE(player->Reader, nullptr);
  EXPECT_FALSE(player->Reader->Opened);
  ASSERT_EQ(messages.seen.size(), 1u);
  EXPECT_EQ(messages.seen[0].text.rfind("Could not open audio file!\n(Error code: ", 0), 0u);
}

TEST_F(PlayerTest, ReadAnswersInWholeFrames) {
  float buf[16];
  // A player without a reader ends the stream.
  EXPECT_EQ(player->read(buf, 8), 0u);
  // A short read passes through in whole frames (stereo: 8 bytes a frame);
  // a reader whose chain ends ends the stream.
  struct Case {
    int32_t firstFill;
    size_t frames;
  };
  for (const Case c : {Case{24, 3}, Case{28, 3}, Case{4, 0}}) {
    SCOPED_TRACE(testing::Message() << c.firstFill << " bytes");
    player->Open(Tone(0.2));
    ASSERT_TRUE(player->Loaded);
    int fills = 0;
    player->Reader->OnFill = [&](void*, int32_t& count) { count = fills++ == 0 ? c.firstFill : 0; };
    EXPECT_EQ(player->read(buf, 8), c.frames);
    EXPECT_EQ(player->read(buf, 8), 0u);
  }
}

TEST_F(PlayerTest, SeekWhilePlayingDropsWhatWasAheadAndGoesOn) {
  // A ramp, so that every frame tells where it came from (float WAV: exact).
  constexpr int kRate = 8000;
  std::vector<float> ramp(size_t(kRate) * 4);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i) / float(ramp.size());
  const std::string path = dir + "/ramp.wav";
  pwtest::WriteWav(path, ramp, kRate, 1, 32);
  player->Open(path);
  ASSERT_TRUE(player->Loaded);
  ChainOutputReader* r = player->Reader.get();
  // Slowed down, so that the heard sound can be looked at as it goes.
  r->OnFill = [r](void* buffer, int32_t& count) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    count = int32_t(r->UnbufferedRead(buffer, uint32_t(std::min(count, 2048))));
  };
  player->Play();
  ASSERT_TRUE(Until([&] { return player->GetPositionMs() >= 500; }));
  player->SetPositionMs(3000);
  EXPECT_EQ(player->Stream()->state(), OutputStream::State::Playing);
  std::vector<float> heard(1 << 15);
  size_t n = 0;
  ASSERT_TRUE(Until([&] { return (n = player->Stream()->heard(heard.data(), heard.size())) > 0; }));
  // Only sound from the new place: the first frame heard is the one at 3 s.
  EXPECT_EQ(heard[0], ramp[size_t(kRate) * 3]);
  for (size_t i = 1; i < n; ++i) ASSERT_EQ(heard[i], ramp[size_t(kRate) * 3 + i]) << i;
  ASSERT_TRUE(Until([&] { return owner.ends == 1; }));
}

}  // namespace


// A machine without any sound output (a build machine: no sound server to
// reach, no card): the user is told once, with the error code, and the
// silent real-time device stands in, so a file still opens and plays to its
// end. Where a real card answers, there is nothing to test.
TEST(PlayerWithoutSoundCard, SaysSoAndGoesOnSilently) {
  pwtest::EnsureCoreApp();
  const std::string dir = pwtest::TempDir("player-nocard");
  pwtest::ScopedEnvironment env{{"PITCHWELL_AUDIO", nullptr},
                        {"PULSE_SERVER", "unix:/nonexistent/pulse"},
                        {"JACK_NO_START_SERVER", "1"}};
  pwtest::MessageCapture messages;
  pwtest::PlayerOwner owner;
  Player player(&owner);
  owner.player = &player;
  if (player.Device() != nullptr && player.Device()->kind() == OutputDevice::Kind::PortAudio)
    GTEST_SKIP() << "this machine has a sound card: " << player.Device()->description();
  ASSERT_EQ(messages.seen.size(), 1u);
  const std::string& text = messages.seen[0].text;
  EXPECT_EQ(text.rfind("Error initializing audio!\n(Error code: ", 0), 0u) << text;
  EXPECT_TRUE(text.find("(Error code: 23)") != std::string::npos || text.find("(Error code: 3)") != std::string::npos)
      << text;
  ASSERT_NE(player.Device(), nullptr);
  EXPECT_EQ(player.Device()->kind(), OutputDevice::Kind::Null);

  const std::string path = dir + "/tone.wav";
  pwtest::WriteWav(path, pwtest::Sine(440, 8000, 1, 2400), 8000, 1, 16);  // 0.3 s
  player.Open(path);
  ASSERT_TRUE(player.Loaded);
  player.Play();
  QElapsedTimer t;
  t.start();
  while (owner.ends == 0 && t.elapsed() < 10000) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(owner.ends, 1);
  EXPECT_EQ(messages.seen.size(), 1u);  // nothing more to say
  owner.player = nullptr;
}
