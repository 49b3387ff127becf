// Playing a real file through the whole engine allocates nothing on the
// device thread: decoding and every effect run on the stream's producer, and
// the device thread only copies, ramps, records and resamples.
//
// The one file of test_engine that includes allocation_count.h.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "allocation_count.h"
#include "engine.h"
#include "playerowner.h"
#include "slider_mapping.h"
#include "scoped_environment.h"
#include "testaudio.h"

namespace {

template <typename F>
bool Until(F done, int ms = 30000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

TEST(PlaybackAllocation, CountSeesAThreadOfThatName) {
  if (!pwtest::AllocationCount::available()) GTEST_SKIP() << "the sanitizers own malloc";
  pwtest::AllocationCount count("pw-device");
  std::thread t([] {
    pthread_setname_np(pthread_self(), "pw-device");
    void* (*volatile allocator)(size_t) = std::malloc;
    std::free(allocator(32));
    delete new std::string(100, 'x');  // operator new reaches malloc too
  });
  t.join();
  EXPECT_GE(count.count(), 2u);
}

TEST(PlaybackAllocation, DeviceThreadAllocatesNothingWhileTheChainPlays) {
  if (!pwtest::AllocationCount::available()) GTEST_SKIP() << "the sanitizers own malloc";
  pwtest::EnsureCoreApp();
  const std::string dir = pwtest::TempDir("playback-alloc");
  const std::string wav = dir + "/music.wav";
  pwtest::WriteWav(wav, pwtest::Harmonic(44100, 2, 44100 * 3), 44100, 2, 16);
  const std::string mp3 = dir + "/music.mp3";
  ASSERT_TRUE(pwtest::Ffmpeg(wav, "-c:a libmp3lame -b:a 128k", mp3));

  struct Case {
    const char* device;
    const std::string* file;
  };
  // The device at 48 kHz resamples on its own thread as well.
  for (const Case c : {Case{"null-fast", &wav}, Case{"null-fast", &mp3}, Case{"null-fast:48000", &mp3}}) {
    SCOPED_TRACE(testing::Message() << *c.file << " on " << c.device);
    const auto env = pwtest::ScopedEnvironment::Audio(c.device);
    pwtest::PlayerOwner owner;
    Engine engine(&owner);
    owner.player = &engine.player;
    ASSERT_FALSE(engine.Open(*c.file).has_value());
    const uint32_t rate = engine.player.SampleRate;
    engine.chain.PitchBarPositionChanged(*pw::PitchPositionFromSemitones(3));
    engine.chain.TempoBarPositionChanged(*pw::TempoPositionFromPercent(25));
    const double bass = *pw::BassPositionFromPercent(30);
    engine.chain.BassBarPositionChanged(bass, bass, rate);

    pwtest::AllocationCount onDevice("pw-device");
    engine.player.SetVolume(6000);
    engine.player.Play();
    // Moves while playing: sliders, volume, a pause.
    ASSERT_TRUE(Until([&] { return engine.player.GetPositionMs() > 500 || owner.ends > 0; }));
    engine.chain.PitchBarPositionChanged(*pw::PitchPositionFromSemitones(-2));
    const double treble = *pw::TreblePositionFromPercent(40);
    engine.chain.TrebleBarPositionChanged(treble, treble, rate);
    engine.player.SetVolume(9000);
    engine.player.Pause();
    engine.player.Play();
    ASSERT_TRUE(Until([&] { return owner.ends == 1; }));
    EXPECT_EQ(onDevice.count(), 0u) << "first allocation: " << onDevice.firstSize() << " bytes";
    EXPECT_EQ(engine.player.Stream()->underruns().deviceLate, 0u);
  }
}

}  // namespace
