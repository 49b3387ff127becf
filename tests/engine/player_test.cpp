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
    ActivePlayer.store(player.get());
  }
  void TearDown() override {
    ActivePlayer.store(nullptr);
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
  EXPECT_NE(player->Stream, 0u);
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
    float v = -1;
    ASSERT_TRUE(BASS_ChannelGetAttribute(player->Stream, BASS_ATTRIB_VOL, &v));
    EXPECT_FLOAT_EQ(v, c.gain) << c.knob;
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
  const HSTREAM old = player->Stream;
  player->Open("");
  EXPECT_FALSE(player->Loaded);
  EXPECT_EQ(player->Reader, nullptr);
  EXPECT_EQ(player->State, 0);
  EXPECT_EQ(BASS_ChannelIsActive(old), DWORD(BASS_ACTIVE_STOPPED));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);  // the stream is gone
}

TEST_F(PlayerTest, UnreadableFileKeepsTheReaderButIsNotLoaded) {
  player->Open(dir + "/missing.mp3");
  EXPECT_FALSE(player->Loaded);
  ASSERT_NE(player->Reader, nullptr);
  EXPECT_FALSE(player->Reader->Opened);
  ASSERT_EQ(messages.seen.size(), 1u);
  EXPECT_EQ(messages.seen[0].text.rfind("Could not open audio file!\r\n(Error code: ", 0), 0u);
}

TEST_F(PlayerTest, StreamProcAnswers) {
  char buf[64];
  // No player.
  ActivePlayer.store(nullptr);
  EXPECT_EQ(Player::StreamProc(0, buf, sizeof buf, nullptr), 0u);
  ActivePlayer.store(player.get());
  // A player without a reader ends the stream.
  EXPECT_EQ(Player::StreamProc(0, buf, sizeof buf, nullptr), BASS_STREAMPROC_END);
  // A reader whose chain ends at once ends it too; a short read passes through.
  player->Open(Tone(0.2));
  ASSERT_TRUE(player->Loaded);
  int fills = 0;
  player->Reader->OnFill = [&](void*, int32_t& count) { count = fills++ == 0 ? 24 : 0; };
  EXPECT_EQ(Player::StreamProc(0, buf, sizeof buf, nullptr), 24u);
  EXPECT_EQ(Player::StreamProc(0, buf, sizeof buf, nullptr), BASS_STREAMPROC_END);
}

}  // namespace
