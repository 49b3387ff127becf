// The chain's per-block path allocates nothing: once the stages are built and
// warmed up, pulling blocks through the reader with every stage active makes
// no call to operator new on the pulling thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "engine.h"
#include "slider_mapping.h"
#include "testaudio.h"

namespace {
// Armed per thread, so that allocations of other threads (the test
// framework, a device thread) do not count.
thread_local bool countAllocations = false;
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t n) {
  if (countAllocations) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (countAllocations) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// Not inlined, so the compiler does not pair free() with operator new.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(ChainAllocation, PullingBlocksWithEveryStageActiveAllocatesNothing) {
  constexpr int kRate = 44100;
  const std::string path = pwtest::TempDir("chain-alloc") + "/in.wav";
  pwtest::WriteWav(path, pwtest::Sine(440, kRate, 2, size_t(kRate) * 20, 0.5), kRate, 2, 16);

  Engine engine;
  ASSERT_FALSE(engine.Open(path).has_value());
  const uint32_t rate = engine.player.SampleRate;
  engine.chain.SpeedBarPositionChanged(*pw::SpeedPositionFromPercent(-20));
  engine.chain.TempoBarPositionChanged(*pw::TempoPositionFromPercent(25));
  engine.chain.PitchBarPositionChanged(*pw::PitchPositionFromSemitones(3));
  const double treble = *pw::TreblePositionFromPercent(40);
  const double bass = *pw::BassPositionFromPercent(30);
  engine.chain.TrebleBarPositionChanged(treble, treble, rate);
  engine.chain.BassBarPositionChanged(bass, bass, rate);

  // The output stream's request size; the first blocks settle the decoder's
  // and the stretcher's working buffers.
  std::vector<float> block(4096 * 2);
  const uint32_t bytes = uint32_t(block.size() * sizeof(float));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(engine.player.Reader->Read(block.data(), bytes), bytes);

  allocations = 0;
  countAllocations = true;
  uint32_t pulled = 0;
  for (int i = 0; i < 100; ++i) pulled += engine.player.Reader->Read(block.data(), bytes);
  countAllocations = false;
  EXPECT_EQ(pulled, 100 * bytes);  // the file is long enough: every block was full
  EXPECT_EQ(allocations.load(), 0);
}

// The same with the limiter reducing hard (a full-scale tone under the
// largest bass boost) and joining and leaving the path as the boost goes on
// and off between blocks.
TEST(ChainAllocation, TheLimiterReducingJoiningAndLeavingAllocatesNothing) {
  constexpr int kRate = 48000;
  const std::string path = pwtest::TempDir("chain-alloc-limiter") + "/in.wav";
  pwtest::WriteWav(path, pwtest::Sine(60, kRate, 2, size_t(kRate) * 30, 1.0), kRate, 2, 16);

  Engine engine;
  ASSERT_FALSE(engine.Open(path).has_value());
  const uint32_t rate = engine.player.SampleRate;
  const double full = *pw::BassPositionFromPercent(100);
  engine.chain.BassBarPositionChanged(full, full, rate);

  std::vector<float> block(4096 * 2);
  const uint32_t bytes = uint32_t(block.size() * sizeof(float));
  for (int i = 0; i < 20; ++i) ASSERT_EQ(engine.player.Reader->Read(block.data(), bytes), bytes);
  ASSERT_TRUE(engine.chain.Limiting());

  allocations = 0;
  countAllocations = true;
  uint32_t pulled = 0;
  int limited = 0;
  for (int i = 0; i < 200; ++i) {
    // On for 40 blocks (the limiter reducing), off for 40 (its release
    // ends and it leaves the path), and so on.
    const bool on = (i / 40) % 2 == 0;
    engine.chain.SetBass(on ? 1 : 0, on ? 29.0 : 0.0, rate);
    pulled += engine.player.Reader->Read(block.data(), bytes);
    limited += engine.chain.Limiting();
  }
  countAllocations = false;
  EXPECT_EQ(pulled, 200 * bytes);
  EXPECT_GT(limited, 100);
  EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
