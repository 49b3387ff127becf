// The A–B loop on the decoded source: exact pass length, a seam without a
// click, odd read sizes, refusal of regions too short to crossfade.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "decode/audio_decoder.h"
#include "engine/source_loop.h"
#include "testaudio.h"

namespace {

constexpr int kRate = 44100;

std::unique_ptr<AudioDecoder> OpenWav(const std::vector<float>& samples, int channels, const std::string& name) {
  const std::string path = pwtest::TempDir("source-loop") + "/" + name;
  pwtest::WriteWav(path, samples, kRate, channels, 32);
  AudioError error = AudioError::None;
  return AudioDecoder::open(path, &error);
}

// Reads `frames` frames through the loop in calls of the given sizes.
std::vector<float> ReadThrough(SourceLoop& loop, AudioDecoder& decoder, int64_t frames,
                               std::initializer_list<int> sizes) {
  const int channels = decoder.channels();
  std::vector<float> out(size_t(frames) * channels);
  int64_t done = 0;
  for (size_t call = 0; done < frames; ++call) {
    const int want = int(std::min<int64_t>(*(sizes.begin() + call % sizes.size()), frames - done));
    const int64_t got = loop.read(decoder, out.data() + done * channels, want);
    if (got <= 0) break;
    done += got;
  }
  out.resize(size_t(done) * channels);
  return out;
}

// A ramp of distinct values: every frame names the source frame it came from.
TEST(SourceLoop, EveryPassLastsExactlyBMinusAAndRepeatsTheSource) {
  const int64_t length = 100000;
  std::vector<float> ramp(size_t(length) * 2);
  for (int64_t i = 0; i < length; ++i) ramp[size_t(i) * 2] = ramp[size_t(i) * 2 + 1] = float(i) / float(length);
  auto decoder = OpenWav(ramp, 2, "ramp.wav");
  ASSERT_NE(decoder, nullptr);
  SourceLoop loop;
  const int64_t a = 12345, b = 34567;
  const int fade = SourceLoop::CrossfadeFrames(kRate);
  ASSERT_TRUE(loop.set(a, b, kRate));
  const std::vector<float> out = ReadThrough(loop, *decoder, 5 * (b - a) + b, {1, 4096, 333, 1000, 7});
  ASSERT_EQ(out.size(), size_t(5 * (b - a) + b) * 2);
  auto frame = [&](int64_t i) { return double(out[size_t(i) * 2]) * length; };
  // Up to B the source as it is; then, after each seam, the source from
  // A + fade on, and every later pass the same frames as the one before.
  for (int64_t i = 0; i < b; ++i) ASSERT_NEAR(frame(i), double(i), 0.01) << i;
  for (int pass = 0; pass < 4; ++pass) {
    const int64_t passStart = b + pass * (b - a);
    for (int64_t k = fade; k < b - a; ++k)
      ASSERT_NEAR(frame(passStart + k), double(a + k), 0.01) << "pass " << pass << ", frame " << k;
  }
  EXPECT_EQ(loop.passes(), 5u);
  // In the seam the two sources mix: between what follows B and A's start.
  for (int64_t k = 0; k < fade; ++k) {
    const double v = frame(b + k);
    EXPECT_GE(v, double(a + k) - 0.01);
    EXPECT_LE(v, double(b + k) + 0.01);
  }
}

// A tone whose loop ends at an arbitrary phase: no step at the seam is
// larger than the tone's own steepest step (plus the fade's small share).
TEST(SourceLoop, TheSeamDoesNotClick) {
  const double f = 440.0, amp = 0.5;
  auto decoder = OpenWav(pwtest::Sine(f, kRate, 1, size_t(3 * kRate), amp), 1, "tone.wav");
  ASSERT_NE(decoder, nullptr);
  SourceLoop loop;
  ASSERT_TRUE(loop.set(10007, 31271, kRate));  // neither end on a period
  const std::vector<float> out = ReadThrough(loop, *decoder, 150000, {512});
  const double ownStep = amp * 2 * M_PI * f / kRate;
  double worst = 0;
  for (size_t i = 1; i < out.size(); ++i) worst = std::max(worst, std::fabs(double(out[i]) - out[i - 1]));
  EXPECT_LT(worst, 1.2 * ownStep);
  // Without a crossfade the jump would be that of two unrelated phases.
  EXPECT_GT(std::fabs(std::sin(2 * M_PI * f * 31271 / kRate) - std::sin(2 * M_PI * f * 10007 / kRate)) * amp,
            10 * ownStep);
}

TEST(SourceLoop, RegionsAndClearing) {
  SourceLoop loop;
  const int fade = SourceLoop::CrossfadeFrames(kRate);
  EXPECT_EQ(fade, 441);
  EXPECT_EQ(SourceLoop::CrossfadeFrames(192000), SourceLoop::kMaxCrossfadeFrames);
  EXPECT_FALSE(loop.set(-1, 5000, kRate));
  EXPECT_FALSE(loop.set(1000, 1000 + 2 * fade - 1, kRate));  // too short to crossfade twice
  EXPECT_FALSE(loop.set(0, int64_t(1) << 32, kRate));
  EXPECT_FALSE(loop.active());
  ASSERT_TRUE(loop.set(1000, 1000 + 2 * fade, kRate));
  EXPECT_TRUE(loop.active());
  EXPECT_EQ(loop.startFrame(), 1000);
  EXPECT_EQ(loop.endFrame(), 1000 + 2 * fade);

  // Set while reading is already past B: it goes back to A at once.
  std::vector<float> ramp(50000);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i) / 50000.0f;
  auto decoder = OpenWav(ramp, 1, "late.wav");
  ASSERT_NE(decoder, nullptr);
  std::vector<float> out(30000);
  ASSERT_EQ(loop.read(*decoder, out.data(), 20000), 20000);  // a short loop goes round and round
  EXPECT_LT(decoder->positionFrames(), 1000 + 2 * fade);
  loop.clear();
  EXPECT_FALSE(loop.active());
  decoder->seek(40000);
  ASSERT_TRUE(loop.set(1000, 5000, kRate));
  ASSERT_EQ(loop.read(*decoder, out.data(), 2 * fade), 2 * fade);
  EXPECT_NEAR(out[size_t(2 * fade) - 1] * 50000.0, 1000.0 + 2 * fade - 1, 0.5);  // after the seam: from A on
  loop.clear();
  ASSERT_EQ(loop.read(*decoder, out.data(), 100), 100);
  EXPECT_NEAR(out[99] * 50000.0, 1000.0 + 2 * fade + 99, 0.5);  // cleared: straight on
}

}  // namespace
