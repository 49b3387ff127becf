// Key measurement of the open file: alone and in one pass with the BPM
// measurement, which must give exactly the tempo MeasureBpm gives; the reader
// left at 0, and a stop request.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "analysis/bpm_measurement.h"
#include "analysis/key_measurement.h"
#include "core/messages.h"
#include "decode/audio_file_reader.h"
#include "testaudio.h"
#include "keyset.h"
#include "message_capture.h"

namespace {

class KeyMeasurementTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture messages;  // the measurement says nothing
  std::unique_ptr<AudioFileReader> reader;
  std::string dir = pwtest::TempDir("key-measurement");

  void TearDown() override {
    reader.reset();
    EXPECT_TRUE(messages.seen.empty()) << messages.seen.front().text;
  }

  void Open(const keyset::Song& song) {
    const std::string path = dir + "/song.wav";
    pwtest::WriteWav(path, keyset::Render(song), song.rate, song.channels, 16);
    reader = std::make_unique<AudioFileReader>(path);
    ASSERT_TRUE(reader->opened());
  }
  int32_t Channels() const { return reader->channels(); }
  int32_t Rate() const { return reader->sampleRate(); }
};

keyset::Song Song(int tonic, bool minor, double cents, int channels) {
  keyset::Song s;
  s.tonic = tonic;
  s.minor = minor;
  s.cents = cents;
  s.timbre = keyset::Timbre::Saw;
  s.texture = keyset::Texture::Both;
  s.progression = 0;
  s.seconds = 10;
  s.bpm = 120;
  s.channels = channels;
  s.seed = 7;
  return s;
}

TEST_F(KeyMeasurementTest, OnePassGivesMeasureBpmsTempoAndTheKey) {
  struct Case {
    int tonic;
    bool minor;
    double cents;
    int channels;
    const char* caption;
  };
  const Case cases[] = {{9, true, 14, 2, "A minor, tuning +14 \u00a2"}, {2, false, -20, 1, "D major, tuning \u221220 \u00a2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caption);
    Open(Song(c.tonic, c.minor, c.cents, c.channels));
    std::atomic<bool> stop{false};
    const float alone = MeasureBpm(*reader, Channels(), Rate(), stop);
    reader->seekMs(500);  // each measurement seeks to 0 itself
    const BpmAndKey both = MeasureBpmAndKey(*reader, Channels(), Rate(), stop);
    EXPECT_EQ(reader->positionFrames(), 0);
    EXPECT_EQ(both.bpm, alone);  // the same blocks, bit for bit the same value
    EXPECT_EQ(MeasuredBpmFrom(both.bpm), 120) << both.bpm;
    ASSERT_TRUE(both.key.known);
    EXPECT_EQ(KeyName(both.key), KeyName(c.tonic, c.minor));
    EXPECT_NEAR(both.key.tuningCents, c.cents, 3.0);

    reader->seekMs(500);
    const KeyEstimate key = MeasureKey(*reader, Channels(), Rate(), stop);
    EXPECT_EQ(reader->positionFrames(), 0);
    // The same samples in the same order: the same estimate.
    EXPECT_EQ(key.known, both.key.known);
    EXPECT_EQ(key.tonic, both.key.tonic);
    EXPECT_EQ(key.minor, both.key.minor);
    EXPECT_EQ(key.tuningCents, both.key.tuningCents);
  }
}

TEST_F(KeyMeasurementTest, AStopRequestBeforeTheFirstBlockMeasuresNothing) {
  Open(Song(0, false, 0, 2));
  std::atomic<bool> stop{true};
  EXPECT_FALSE(MeasureKey(*reader, Channels(), Rate(), stop).known);
  const BpmAndKey both = MeasureBpmAndKey(*reader, Channels(), Rate(), stop);
  EXPECT_FALSE(both.key.known);
  EXPECT_EQ(MeasuredBpmFrom(both.bpm), 0);
  EXPECT_EQ(reader->positionFrames(), 0);
}

TEST_F(KeyMeasurementTest, SilenceHasNoKey) {
  const std::string path = dir + "/silence.wav";
  pwtest::WriteWav(path, std::vector<float>(22050 * 2 * 4, 0.0f), 22050, 2, 16);
  reader = std::make_unique<AudioFileReader>(path);
  ASSERT_TRUE(reader->opened());
  std::atomic<bool> stop{false};
  const KeyEstimate key = MeasureKey(*reader, Channels(), Rate(), stop);
  EXPECT_FALSE(key.known);
  EXPECT_EQ(KeyAndTuningCaption(key), "---");
}

}  // namespace
