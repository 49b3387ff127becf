// The chain's per-block path allocates nothing: once the stages are built and
// warmed up, pulling blocks from a session with every stage active makes no
// call to operator new on the pulling thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "engine/session.h"
#include "testaudio.h"
#include "open_session.h"

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

  const std::unique_ptr<Session> session = pwtest::OpenSession(path);
  ASSERT_NE(session, nullptr);
  session->chain().setValues(
      {.speedPercent = -20, .tempoPercent = 25, .pitchSemitones = 3, .treblePercent = 40, .bassPercent = 30});

  // The output stream's request size; the first blocks settle the decoder's
  // and the stretcher's working buffers.
  constexpr size_t kFrames = 4096;
  std::vector<float> block(kFrames * 2);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(session->read(block.data(), kFrames), kFrames);

  allocations = 0;
  countAllocations = true;
  size_t pulled = 0;
  for (int i = 0; i < 100; ++i) pulled += session->read(block.data(), kFrames);
  countAllocations = false;
  EXPECT_EQ(pulled, 100 * kFrames);  // the file is long enough: every block was full
  EXPECT_EQ(allocations.load(), 0);
}

// The same with the limiter reducing hard (a full-scale tone under the
// largest bass boost) and joining and leaving the path as the boost goes on
// and off between blocks.
TEST(ChainAllocation, TheLimiterReducingJoiningAndLeavingAllocatesNothing) {
  constexpr int kRate = 48000;
  const std::string path = pwtest::TempDir("chain-alloc-limiter") + "/in.wav";
  pwtest::WriteWav(path, pwtest::Sine(60, kRate, 2, size_t(kRate) * 30, 1.0), kRate, 2, 16);

  const std::unique_ptr<Session> session = pwtest::OpenSession(path);
  ASSERT_NE(session, nullptr);
  EffectChain& chain = session->chain();
  chain.setValues({.bassPercent = 100});

  constexpr size_t kFrames = 4096;
  std::vector<float> block(kFrames * 2);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(session->read(block.data(), kFrames), kFrames);
  ASSERT_TRUE(chain.limiting());

  allocations = 0;
  countAllocations = true;
  size_t pulled = 0;
  int limited = 0;
  for (int i = 0; i < 200; ++i) {
    // On for 40 blocks (the limiter reducing), off for 40 (its release
    // ends and it leaves the path), and so on.
    const bool on = (i / 40) % 2 == 0;
    chain.setValues({.bassPercent = on ? 100.0 : 0.0});
    pulled += session->read(block.data(), kFrames);
    limited += chain.limiting();
  }
  countAllocations = false;
  EXPECT_EQ(pulled, 200 * kFrames);
  EXPECT_GT(limited, 100);
  EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
