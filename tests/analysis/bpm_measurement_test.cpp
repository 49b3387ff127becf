// BPM measurement: how the source is cut into analyser blocks, the reader
// left at 0, the stop request, the rounding, and a click track.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "decode/audio_file_reader.h"
#include "analysis/bpm_measurement.h"
#include "core/messages.h"
#include "testaudio.h"
#include "message_capture.h"

namespace {

class DetectorTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture messages;  // the measurement says nothing
  std::unique_ptr<AudioFileReader> reader;
  std::string dir = pwtest::TempDir("detector");

  void TearDown() override {
    reader.reset();
    EXPECT_TRUE(messages.seen.empty()) << messages.seen.front().text;
  }

  void Open(const std::vector<float>& x, int rate, int channels) {
    const std::string path = dir + "/in.wav";
    pwtest::WriteWav(path, x, rate, channels, 16);
    reader = std::make_unique<AudioFileReader>(path);
    ASSERT_TRUE(reader->opened());
  }
};

TEST_F(DetectorTest, WholeBlocksAreAnalysedAndTheShortTailCountsAsNothing) {
  struct Case {
    int channels;
    size_t frames;
    std::vector<int32_t> writes;
  };
  const Case cases[] = {
      {1, 2048 * 3 + 100, {2048, 2048, 2048, 0}},
      {2, 2048 * 3 + 2047, {2048, 2048, 2048, 0}},
      {2, 2048 * 3, {2048, 2048, 2048}},  // the read that returns 0 writes nothing
      {1, 2048, {2048}},
      {2, 1000, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.frames << " frames");
    Open(pwtest::Sine(440, 8000, c.channels, c.frames), 8000, c.channels);
    // Start from somewhere else: the measurement seeks to 0 itself.
    reader->seekMs(100);
    std::vector<int32_t> writes;
    std::atomic<bool> stop{false};
    MeasureBpm(*reader, reader->channels(), reader->sampleRate(), stop,
               [&](int32_t frames) { writes.push_back(frames); });
    EXPECT_EQ(writes, c.writes);
    EXPECT_EQ(reader->positionFrames(), 0);
  }
}

TEST_F(DetectorTest, AStopRequestEndsTheLoopBeforeTheNextBlock) {
  Open(pwtest::Sine(440, 8000, 1, 2048 * 5), 8000, 1);
  std::atomic<bool> stop{false};
  int writes = 0;
  MeasureBpm(*reader, 1, 8000, stop, [&](int32_t) {
    if (++writes == 2) stop.store(true);
  });
  EXPECT_EQ(writes, 2);
  EXPECT_EQ(reader->positionFrames(), 0);
}

TEST(MeasuredBpm, RoundsHalvesToEven) {
  struct Case {
    float value;
    int32_t expected;
  };
  const Case cases[] = {{120.0f, 120}, {119.5f, 120}, {120.5f, 120}, {121.5f, 122}, {119.49f, 119},
                        {0.0f, 0},     {0.4f, 0},     {0.5f, 0},     {std::numeric_limits<float>::quiet_NaN(), 0}};
  for (const Case& c : cases) EXPECT_EQ(MeasuredBpmFrom(c.value), c.expected) << c.value;
}

TEST_F(DetectorTest, AClickTrackAt120BpmMeasures120) {
  for (int channels : {1, 2}) {
    SCOPED_TRACE(channels);
    Open(pwtest::ClickTrack(120, 12, 22050, channels), 22050, channels);
    std::atomic<bool> stop{false};
    const float value = MeasureBpm(*reader, channels, 22050, stop);
    EXPECT_EQ(MeasuredBpmFrom(value), 120) << value;
  }
}

}  // namespace
