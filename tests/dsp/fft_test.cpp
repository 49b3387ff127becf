#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "dsp/fft.h"

namespace {

constexpr int kN = 1024;

using Fft = std::unique_ptr<RealFft>;

std::vector<float> Tone(int bin, double amp, double phase, double dc = 0) {
  std::vector<float> x(kN);
  for (int i = 0; i < kN; ++i) x[size_t(i)] = float(dc + amp * std::cos(2 * M_PI * bin * i / kN + phase));
  return x;
}

double Mag(const std::vector<float>& s, int bin) { return std::hypot(s[size_t(2 * bin)], s[size_t(2 * bin + 1)]); }

TEST(Fft, ToneOnABinPeaksThereWithHalfNTimesAmplitude) {
  struct Case { int bin; double amp; double phase; };
  const Case cases[] = {{1, 1.0, 0}, {10, 0.5, M_PI / 2}, {100, 0.25, 1.0}, {511, 0.8, -0.3}};
  Fft f = RealFft::create(kN);
  ASSERT_TRUE(f);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "bin " << c.bin);
    const auto x = Tone(c.bin, c.amp, c.phase);
    std::vector<float> s(kN);
    f->forward(x.data(), s.data());
    const double expect = kN / 2.0 * c.amp;
    EXPECT_NEAR(Mag(s, c.bin), expect, expect * 1e-4);
    // Unnormalised forward transform of cos(wt + p): phase p at the bin.
    EXPECT_NEAR(std::atan2(s[size_t(2 * c.bin + 1)], s[size_t(2 * c.bin)]), c.phase, 1e-3);
    for (int k = 0; k < kN / 2; ++k) {
      if (k == c.bin) continue;
      EXPECT_LT(Mag(s, k), expect * 1e-4) << "bin " << k;
    }
  }
}

TEST(Fft, DcLandsInBinZeroWithZeroImaginary) {
  Fft f = RealFft::create(kN);
  const auto x = Tone(0, 0, 0, 0.25);
  std::vector<float> s(kN);
  f->forward(x.data(), s.data());
  EXPECT_FLOAT_EQ(s[0], kN * 0.25f);
  EXPECT_EQ(s[1], 0.0f);
  for (int k = 1; k < kN / 2; ++k) EXPECT_LT(Mag(s, k), 1e-3);
}

TEST(Fft, InPlaceAndUnalignedMatchSeparateBuffers) {
  Fft f = RealFft::create(kN);
  auto x = Tone(37, 0.3, 0.2);
  for (int i = 0; i < kN; ++i) x[size_t(i)] += float(0.1 * std::sin(i * 0.77));
  std::vector<float> ref(kN);
  f->forward(x.data(), ref.data());

  auto inPlace = x;
  f->forward(inPlace.data(), inPlace.data());
  EXPECT_EQ(inPlace, ref);

  std::vector<float> shifted(kN + 1);
  std::copy(x.begin(), x.end(), shifted.begin() + 1);
  f->forward(shifted.data() + 1, shifted.data() + 1);
  EXPECT_TRUE(std::equal(ref.begin(), ref.end(), shifted.begin() + 1));
}

TEST(Fft, HandlesCreatedOnSeveralThreadsAtOnce) {
  const auto x = Tone(5, 1.0, 0);
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        Fft f = RealFft::create(kN);
        if (!f) return;
        std::vector<float> s(kN);
        f->forward(x.data(), s.data());
        if (std::fabs(Mag(s, 5) - kN / 2.0) < 0.05) ++ok[size_t(t)];
      }
    });
  for (auto& t : threads) t.join();
  for (int n : ok) EXPECT_EQ(n, 25);
}

TEST(Fft, RejectsWhatItCannotPlan) {
  for (int size : {-2, 0, 1, 1023}) EXPECT_EQ(RealFft::create(size), nullptr) << size;
  const Fft f = RealFft::create(2);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->size(), 2);
}

}  // namespace
