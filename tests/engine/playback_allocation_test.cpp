// Playing a real file through the whole engine allocates nothing on the
// device thread: decoding and every effect run on the stream's producer, and
// the device thread only copies, ramps, records and resamples.
//
// The one file of test_engine that includes allocation_count.h.
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "allocation_count.h"
#include "engine/playback.h"
#include "playback_owner.h"
#include "scoped_environment.h"
#include "engine/session.h"
#include "testaudio.h"

namespace {

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
    std::string problem;
    const std::unique_ptr<Session> session = Session::open(*c.file, &problem);
    ASSERT_NE(session, nullptr) << problem;
    Playback playback;
    pwtest::PlaybackOwner owner(playback);
    ASSERT_TRUE(playback.attach(session.get()));
    session->chain().setValues({.tempoPercent = 25, .pitchSemitones = 3, .bassPercent = 30});

    pwtest::AllocationCount onDevice("pw-device");
    playback.setVolume(6000);
    playback.play();
    // Moves while playing: sliders, volume, a pause.
    ASSERT_TRUE(pwtest::WaitUntil([&] { return playback.positionMs() > 500 || owner.ends() > 0; }));
    session->chain().setValues({.tempoPercent = 25, .pitchSemitones = -2, .treblePercent = 40, .bassPercent = 30});
    playback.setVolume(9000);
    playback.pause();
    playback.play();
    ASSERT_TRUE(owner.waitForEnds(1));
    EXPECT_EQ(onDevice.count(), 0u) << "first allocation: " << onDevice.firstSize() << " bytes";
    EXPECT_EQ(playback.stream()->underruns().deviceLate, 0u);
  }
}

}  // namespace
