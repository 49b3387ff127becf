// Output streams on the null devices, the renderer driven directly, and the
// resampler used for rates the device does not take.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "bass_internal.h"
#include "output_resampler.h"
#include "output_stream.h"
#include "testaudio.h"

namespace {

using namespace std::chrono_literals;

// Polls until `done` holds; false after a generous deadline (the tests do
// not measure time, they only must not hang).
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// Sets PITCHWELL_AUDIO while it lives.
class AudioEnv {
 public:
  explicit AudioEnv(const char* value) {
    if (const char* old = std::getenv("PITCHWELL_AUDIO")) previous_ = old;
    had_ = std::getenv("PITCHWELL_AUDIO") != nullptr;
    setenv("PITCHWELL_AUDIO", value, 1);
  }
  ~AudioEnv() {
    if (had_)
      setenv("PITCHWELL_AUDIO", previous_.c_str(), 1);
    else
      unsetenv("PITCHWELL_AUDIO");
  }

 private:
  std::string previous_;
  bool had_ = false;
};

// A stream callback's user data: frame i of the counter pattern is i on the
// left (or only) channel and -i on the right one.
struct Source {
  enum Pattern { kCounter, kConstant };
  int channels = 2;
  Pattern pattern = kCounter;
  float constant = 1.0f;
  uint64_t endEvery = 0;          // frames per round before the end; 0 = never
  bool endWithData = false;       // the last data and the end in one answer
  // Frames after which it gives nothing; by default where the counter would
  // stop being exact in a float (the null-fast device pulls ~1e8 frames/s).
  std::atomic<uint64_t> gate{uint64_t(1) << 23};
  std::chrono::microseconds slow{0};         // time each call takes

  HSTREAM handle = 0;
  std::atomic<uint64_t> frames{0};
  uint64_t round = 0;  // frames given in this round (output thread only)
  std::atomic<int> calls{0};
  std::atomic<int> badCalls{0};  // wrong handle, or length not whole frames
  std::atomic<bool> forbidden{false};
  std::atomic<bool> inside{false};  // a call is running
  std::atomic<int> violations{0};
  std::atomic<int> mixEnds{0};
  std::atomic<int> playedEnds{0};
  std::atomic<uint64_t> framesAtEnd{0};
  std::atomic<bool> endOnMainThread{false};
  std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<int> reentry{-1};  // error code of a call back into the service
  bool tryReentry = false;
};

DWORD Proc(HSTREAM handle, void* buffer, DWORD length, void* user) {
  auto& s = *static_cast<Source*>(user);
  s.inside.store(true);
  s.calls.fetch_add(1);
  if (s.forbidden.load()) s.violations.fetch_add(1);
  const DWORD frameBytes = DWORD(s.channels) * 4;
  if (handle != s.handle || length == 0 || length % frameBytes != 0) s.badCalls.fetch_add(1);
  if (s.tryReentry) {
    BASS_ChannelGetPosition(handle, BASS_POS_BYTE);
    s.reentry.store(BASS_ErrorGetCode());
  }
  if (s.slow.count() > 0) std::this_thread::sleep_for(s.slow);
  struct Leave {
    std::atomic<bool>& inside;
    ~Leave() { inside.store(false); }
  } leave{s.inside};

  if (s.endEvery != 0 && s.round >= s.endEvery && !s.endWithData) {
    s.round = 0;
    return BASS_STREAMPROC_END;
  }
  uint64_t n = length / frameBytes;
  const uint64_t total = s.frames.load();
  const uint64_t gate = s.gate.load();
  n = total >= gate ? 0 : std::min(n, gate - total);
  if (s.endEvery != 0) n = std::min(n, s.endEvery - s.round);
  auto* out = static_cast<float*>(buffer);
  for (uint64_t i = 0; i < n; ++i) {
    const float v = s.pattern == Source::kCounter ? float(total + i) : s.constant;
    out[i * size_t(s.channels)] = v;
    if (s.channels == 2) out[i * 2 + 1] = s.pattern == Source::kCounter ? -v : v;
  }
  s.frames.store(total + n);
  s.round += n;
  const DWORD bytes = DWORD(n) * frameBytes;
  if (s.endEvery != 0 && s.endWithData && s.round >= s.endEvery) {
    s.round = 0;
    return bytes | BASS_STREAMPROC_END;
  }
  return bytes;
}

void MixEnd(HSYNC, DWORD, DWORD, void* user) {
  auto& s = *static_cast<Source*>(user);
  s.framesAtEnd.store(s.frames.load());
  if (std::this_thread::get_id() == s.mainThread) s.endOnMainThread.store(true);
  s.mixEnds.fetch_add(1);
}

void PlayedEnd(HSYNC, DWORD, DWORD, void* user) { static_cast<Source*>(user)->playedEnds.fetch_add(1); }

// An output stream on `source`, freed before the source goes (also when a
// test stops early). Declare it after its source.
class OwnedStream {
 public:
  explicit OwnedStream(HSTREAM h) : h_(h) {}
  OwnedStream(Source& s, DWORD rate) {
    s.handle = BASS_StreamCreate(rate, DWORD(s.channels), BASS_SAMPLE_FLOAT, &Proc, &s);
    h_ = s.handle;
  }
  ~OwnedStream() { BASS_StreamFree(h_); }  // fails harmlessly when freed already
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;
  operator HSTREAM() const { return h_; }

 private:
  HSTREAM h_ = 0;
};

// The service, initialised while it lives.
struct Session {
  explicit Session(const char* audio) : env(audio), ok(BASS_Init(-1, 44100, 0, nullptr, nullptr)) {}
  ~Session() { BASS_Free(); }
  AudioEnv env;
  BOOL ok;
};

class Output : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(session_.ok) << BASS_ErrorGetCode(); }

  // Whole frames of what is heard now.
  std::vector<float> Heard(HSTREAM h, DWORD bytes) {
    std::vector<float> data(bytes / 4 + 1);
    const DWORD got = BASS_ChannelGetData(h, data.data(), bytes);
    if (got == DWORD(-1)) return {};
    data.resize(got / 4);
    return data;
  }

  Session session_{"null-fast"};
};

TEST(OutputService, CallsBeforeInitFail) {
  AudioEnv env("null-fast");
  Source s;
  EXPECT_EQ(BASS_StreamCreate(44100, 2, BASS_SAMPLE_FLOAT, &Proc, &s), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
  const HSTREAM h = pwbass::kOutputTag | 1;
  EXPECT_FALSE(BASS_ChannelPlay(h, 0));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
  EXPECT_FALSE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
  EXPECT_FALSE(BASS_Free());
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);

  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
  EXPECT_TRUE(BASS_Free());
  // Free releases everything: the service can start again.
  EXPECT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  EXPECT_TRUE(BASS_Free());
}

TEST_F(Output, CreateChecksTheFormat) {
  struct Case {
    DWORD rate, chans, flags;
    int error;
  };
  const Case cases[] = {
      // Streams the program will not play (more than two channels, above
      // 48 kHz) can still be created: the file-open step refuses them.
      {3999, 2, BASS_SAMPLE_FLOAT, BASS_ERROR_FORMAT},  {384001, 2, BASS_SAMPLE_FLOAT, BASS_ERROR_FORMAT},
      {0, 1, BASS_SAMPLE_FLOAT, BASS_ERROR_FORMAT},     {96000, 2, BASS_SAMPLE_FLOAT, BASS_OK},
      {44100, 0, BASS_SAMPLE_FLOAT, BASS_ERROR_FORMAT}, {44100, 6, BASS_SAMPLE_FLOAT, BASS_OK},
      {44100, 9, BASS_SAMPLE_FLOAT, BASS_ERROR_FORMAT},
      {44100, 2, 0, BASS_ERROR_FORMAT},                 {8000, 1, BASS_SAMPLE_FLOAT, BASS_OK},
      {22050, 2, BASS_SAMPLE_FLOAT, BASS_OK},           {48000, 2, BASS_SAMPLE_FLOAT, BASS_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.chans << " channels, flags " << c.flags);
    Source s;
    const OwnedStream h(BASS_StreamCreate(c.rate, c.chans, c.flags, &Proc, &s));
    EXPECT_EQ(BASS_ErrorGetCode(), c.error);
    if (c.error != BASS_OK) {
      EXPECT_EQ(h, 0u);
      continue;
    }
    ASSERT_NE(h, 0u);
    EXPECT_EQ(h & pwbass::kTagMask, pwbass::kOutputTag);
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
    EXPECT_EQ(info.freq, c.rate);
    EXPECT_EQ(info.chans, c.chans);
    float rate = 0, volume = 0;
    ASSERT_TRUE(BASS_ChannelGetAttribute(h, BASS_ATTRIB_FREQ, &rate));
    EXPECT_EQ(rate, float(c.rate));
    ASSERT_TRUE(BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &volume));
    EXPECT_EQ(volume, 1.0f);
    EXPECT_EQ(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
    EXPECT_TRUE(BASS_StreamFree(h));
    EXPECT_FALSE(BASS_ChannelPlay(h, 0));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  }
}

TEST_F(Output, PullsWholeFramesOfTheStreamsFormat) {
  struct Case {
    DWORD rate;
    int chans;
  };
  for (const Case c : {Case{8000, 1}, Case{22050, 2}, Case{44100, 2}, Case{48000, 1}}) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.chans << " channels");
    Source s;
    s.channels = c.chans;
    const OwnedStream h(s, c.rate);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(s.calls.load(), 0);  // nothing is pulled before play
    ASSERT_TRUE(BASS_ChannelPlay(h, 0));
    EXPECT_EQ(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= c.rate / 2; }));
    ASSERT_TRUE(BASS_ChannelStop(h));
    EXPECT_EQ(s.badCalls.load(), 0);
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), s.frames.load() * uint64_t(c.chans) * 4);
    EXPECT_TRUE(BASS_StreamFree(h));
  }
}

TEST_F(Output, EndFiresTheSyncOncePerEndAndPlayStartsAgain) {
  for (const bool withData : {false, true}) {
    SCOPED_TRACE(withData ? "data and end together" : "end alone");
    Source s;
    s.endEvery = 10000;
    s.endWithData = withData;
    const OwnedStream h(s, 44100);
    ASSERT_NE(h, 0u);
    ASSERT_NE(BASS_ChannelSetSync(h, BASS_SYNC_END | BASS_SYNC_MIXTIME, 0, &MixEnd, &s), 0u);
    ASSERT_NE(BASS_ChannelSetSync(h, BASS_SYNC_END, 0, &PlayedEnd, &s), 0u);

    for (int round = 1; round <= 3; ++round) {
      ASSERT_TRUE(BASS_ChannelPlay(h, 0));
      ASSERT_TRUE(WaitFor([&] { return BASS_ChannelIsActive(h) == BASS_ACTIVE_STOPPED; }));
      const int calls = s.calls.load();
      std::this_thread::sleep_for(20ms);  // a stream that has ended pulls no more
      EXPECT_EQ(s.calls.load(), calls);
      EXPECT_EQ(s.mixEnds.load(), round);
      EXPECT_EQ(s.playedEnds.load(), round);
      EXPECT_EQ(s.framesAtEnd.load(), uint64_t(round) * 10000);
      EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), uint64_t(round) * 10000 * 8);
      EXPECT_EQ(BASS_ChannelGetData(h, std::vector<float>(64).data(), 256), 0u);  // nothing is heard
    }
    EXPECT_FALSE(s.endOnMainThread.load());
    EXPECT_EQ(s.badCalls.load(), 0);
    EXPECT_TRUE(BASS_StreamFree(h));
  }
}

TEST_F(Output, PauseKeepsTheSoundAndStopsPulling) {
  Source s;
  const OwnedStream h(s, 44100);
  ASSERT_NE(h, 0u);
  EXPECT_FALSE(BASS_ChannelPause(h));  // not playing
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= 20000; }));
  ASSERT_TRUE(BASS_ChannelPause(h));
  EXPECT_EQ(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PAUSED));
  const int calls = s.calls.load();
  const uint64_t pausedAt = s.frames.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(s.calls.load(), calls);
  // What was heard last is still there while paused.
  const std::vector<float> held = Heard(h, 4096 * 8);
  ASSERT_FALSE(held.empty());
  EXPECT_LE(held[held.size() - 2], float(pausedAt - 1));

  s.gate.store(pausedAt + 10000);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  EXPECT_EQ(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() == pausedAt + 10000; }));
  // Everything heard across the pause is one unbroken run of the counter.
  std::vector<float> run;
  ASSERT_TRUE(WaitFor([&] {
    run = Heard(h, 22050 * 8);
    return !run.empty() && run[run.size() - 2] == float(pausedAt + 10000 - 1);
  }));
  ASSERT_EQ(run.size(), size_t(22050 * 2));
  for (size_t i = 1; i < run.size() / 2; ++i) {
    ASSERT_EQ(run[2 * i], run[2 * i - 2] + 1) << "frame " << i;
    ASSERT_EQ(run[2 * i + 1], -run[2 * i]);
  }
  EXPECT_LT(run[0], float(pausedAt));
}

TEST_F(Output, StopDropsTheSoundAndPlayPullsAgain) {
  Source s;
  const OwnedStream h(s, 44100);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= 20000; }));
  ASSERT_TRUE(BASS_ChannelStop(h));
  EXPECT_EQ(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
  const int calls = s.calls.load();
  const uint64_t stoppedAt = s.frames.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(s.calls.load(), calls);
  EXPECT_EQ(BASS_ChannelGetData(h, std::vector<float>(64).data(), 256), 0u);

  s.gate.store(stoppedAt + 5000);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() == stoppedAt + 5000; }));
  EXPECT_GT(s.calls.load(), calls);
  // Only what was pulled after the restart is heard.
  std::vector<float> run;
  ASSERT_TRUE(WaitFor([&] {
    run = Heard(h, 22050 * 8);
    return !run.empty() && run[run.size() - 2] == float(stoppedAt + 5000 - 1);
  }));
  EXPECT_EQ(run.size(), size_t(5000 * 2));
  EXPECT_EQ(run[0], float(stoppedAt));
}

TEST_F(Output, NoCallbackAfterStopPauseOrFreeReturns) {
  enum Op { kStop, kPause, kFree };
  for (const Op op : {kStop, kPause, kFree}) {
    SCOPED_TRACE(op == kStop ? "stop" : op == kPause ? "pause" : "free");
    for (int i = 0; i < 25; ++i) {
      Source s;
      s.slow = std::chrono::microseconds(100 * (i % 5));  // widen the race window
      const OwnedStream h(s, 44100);
      ASSERT_NE(h, 0u);
      ASSERT_NE(BASS_ChannelSetSync(h, BASS_SYNC_END | BASS_SYNC_MIXTIME, 0, &MixEnd, &s), 0u);
      ASSERT_TRUE(BASS_ChannelPlay(h, 0));
      ASSERT_TRUE(WaitFor([&] { return s.calls.load() >= 1 + i % 4; }));
      if (op == kStop) {
        ASSERT_TRUE(BASS_ChannelStop(h));
      } else if (op == kPause) {
        ASSERT_TRUE(BASS_ChannelPause(h));
      } else {
        ASSERT_TRUE(BASS_StreamFree(h));
      }
      EXPECT_FALSE(s.inside.load());
      s.forbidden.store(true);
      std::this_thread::sleep_for(2ms);
      EXPECT_EQ(s.violations.load(), 0);
      if (op != kFree) {
        EXPECT_TRUE(BASS_StreamFree(h));
      }
    }
  }
}

TEST_F(Output, VolumeChangesRampWithoutSteps) {
  constexpr int kRate = 44100;
  constexpr uint64_t kBefore = 4410, kAfter = 8820;
  Source s;
  s.channels = 1;
  s.pattern = Source::kConstant;
  s.gate.store(kBefore);
  const OwnedStream h(s, kRate);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() == kBefore; }));
  ASSERT_TRUE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f));
  float volume = 0;
  ASSERT_TRUE(BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &volume));
  EXPECT_EQ(volume, 0.5f);
  s.gate.store(kBefore + kAfter);

  std::vector<float> x;
  ASSERT_TRUE(WaitFor([&] {
    x = Heard(h, DWORD(kBefore + kAfter) * 4);
    return x.size() == kBefore + kAfter;
  }));
  for (size_t i = 0; i < kBefore; ++i) ASSERT_EQ(x[i], 1.0f) << i;
  // A full-scale change takes at least 10 ms, and this one is over in 20 ms.
  const float maxStep = 1.0f / (0.010f * kRate);
  EXPECT_LT(x[kBefore], 1.0f);
  EXPECT_GT(x[kBefore], 0.5f + 0.4f);
  for (size_t i = kBefore; i < x.size(); ++i) ASSERT_LE(std::fabs(x[i] - x[i - 1]), maxStep) << i;
  for (size_t i = kBefore + size_t(0.020 * kRate); i < x.size(); ++i) ASSERT_EQ(x[i], 0.5f) << i;
}

TEST_F(Output, GetDataReturnsTheRecentWholeFrames) {
  constexpr uint64_t kFrames = 30000;
  Source s;
  s.gate.store(kFrames);
  const OwnedStream h(s, 44100);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(BASS_ChannelGetData(h, std::vector<float>(64).data(), 256), 0u);  // not playing yet
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() == kFrames; }));

  for (const DWORD bytes : {DWORD(0), DWORD(7), DWORD(8), DWORD(12), DWORD(8005), DWORD(176400), DWORD(8 * kFrames + 800)}) {
    SCOPED_TRACE(testing::Message() << bytes << " bytes");
    const uint64_t expected = std::min<uint64_t>(bytes / 8, kFrames);
    std::vector<float> run;
    // Once the device has played the last frame, the newest is heard.
    ASSERT_TRUE(WaitFor([&] {
      run = Heard(h, bytes);
      return run.size() == expected * 2 && (expected == 0 || run.back() == -float(kFrames - 1));
    }));
    for (size_t i = 0; i < expected; ++i) {
      ASSERT_EQ(run[2 * i], float(kFrames - expected + i)) << i;
      ASSERT_EQ(run[2 * i + 1], -run[2 * i]) << i;
    }
  }
  EXPECT_EQ(BASS_ChannelGetData(pwbass::kOutputTag | 0xABCDE, std::vector<float>(64).data(), 256), DWORD(-1));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

TEST_F(Output, GetDataWhilePlayingIsAContiguousRecentRun) {
  Source s;
  s.slow = 500us;  // still far faster than real time, but playing throughout
  const OwnedStream h(s, 44100);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= 20000; }));
  for (int i = 0; i < 50; ++i) {
    const std::vector<float> run = Heard(h, 2048 * 8);
    ASSERT_FALSE(run.empty());
    ASSERT_LE(run.size(), size_t(2048 * 2));
    for (size_t f = 1; f < run.size() / 2; ++f) ASSERT_EQ(run[2 * f], run[2 * f - 2] + 1) << f;
    EXPECT_LE(run[run.size() - 2], float(s.frames.load() - 1));
  }
  EXPECT_EQ(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
}

TEST_F(Output, CallbacksCannotCallBackIn) {
  Source s;
  s.tryReentry = true;
  const OwnedStream h(s, 44100);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return s.reentry.load() != -1; }));
  EXPECT_EQ(s.reentry.load(), BASS_ERROR_NOTAVAIL);
  EXPECT_TRUE(BASS_StreamFree(h));
}

TEST(OutputDevices, OddRateDevicePlaysTheStreamAtItsRate) {
  // A null device that only runs at 48000 Hz: 22050 Hz streams are resampled.
  Session session("null-fast:48000");
  ASSERT_TRUE(session.ok);
  Source s;
  s.channels = 1;
  s.endEvery = 22050;
  const OwnedStream h(s, 22050);
  ASSERT_NE(h, 0u);
  ASSERT_NE(BASS_ChannelSetSync(h, BASS_SYNC_END, 0, &PlayedEnd, &s), 0u);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return BASS_ChannelIsActive(h) == BASS_ACTIVE_STOPPED; }));
  EXPECT_EQ(s.playedEnds.load(), 1);
  EXPECT_EQ(s.frames.load(), 22050u);
  EXPECT_EQ(s.badCalls.load(), 0);
}

TEST(OutputDevices, RealTimeNullDeviceIsNotFaster) {
  Session session("null");
  ASSERT_TRUE(session.ok);
  Source s;
  s.channels = 1;
  s.endEvery = 8820;  // 0.2 s
  const OwnedStream h(s, 44100);
  ASSERT_NE(h, 0u);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  ASSERT_TRUE(WaitFor([&] { return BASS_ChannelIsActive(h) == BASS_ACTIVE_STOPPED; }));
  // Coarse: real time, not as fast as possible (which takes microseconds).
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

// ---- the renderer, driven directly ----

TEST(OutputRender, ResampledStreamKeepsPitchLengthAndChannels) {
  struct Case {
    int rate, deviceRate, channels, deviceChannels;
  };
  for (const Case c : {Case{22050, 48000, 1, 2}, Case{44100, 48000, 2, 2}, Case{48000, 44100, 2, 1}}) {
    SCOPED_TRACE(testing::Message() << c.rate << " -> " << c.deviceRate << ", " << c.channels << " -> "
                                    << c.deviceChannels << " channels");
    const std::vector<float> sine = pwtest::Sine(1000.0, c.rate, c.channels, size_t(c.rate / 2));
    struct Feed {
      const std::vector<float>* data;
      size_t pos = 0;
    } feed{&sine};
    auto proc = [](HSTREAM, void* buffer, DWORD length, void* user) -> DWORD {
      auto& f = *static_cast<Feed*>(user);
      const size_t n = std::min(size_t(length / 4), f.data->size() - f.pos);
      if (n == 0) return BASS_STREAMPROC_END;
      std::copy_n(f.data->data() + f.pos, n, static_cast<float*>(buffer));
      f.pos += n;
      return DWORD(n * 4);
    };
    pwbass::out::Stream stream(1, {c.rate, c.channels, c.deviceRate, c.deviceChannels}, proc, &feed);
    stream.play(false);
    std::vector<float> out;
    std::vector<float> block(512 * size_t(c.deviceChannels));
    for (int i = 0; i < 10000 && stream.active() == BASS_ACTIVE_PLAYING; ++i) {
      const size_t n = stream.render(block.data(), 512, 0.0);
      out.insert(out.end(), block.begin(), block.begin() + long(n) * c.deviceChannels);
    }
    ASSERT_EQ(stream.active(), DWORD(BASS_ACTIVE_STOPPED));
    const size_t frames = out.size() / size_t(c.deviceChannels);
    const size_t inFrames = size_t(c.rate / 2);
    EXPECT_EQ(frames, (inFrames * size_t(c.deviceRate) + size_t(c.rate) - 1) / size_t(c.rate));
    for (int ch = 0; ch < c.deviceChannels; ++ch)
      EXPECT_NEAR(pwtest::ZeroCrossingFrequency(out.data(), frames, c.deviceChannels, ch, c.deviceRate), 1000.0, 1.0);
    const size_t edge = size_t(c.deviceRate / 100);
    EXPECT_NEAR(pwtest::Rms(out.data() + edge * size_t(c.deviceChannels), (frames - 2 * edge) * size_t(c.deviceChannels)),
                0.5 / std::sqrt(2.0), 0.005);
  }
}

// ---- the resampler ----

TEST(Resampler, KeepsFrequencyAndDuration) {
  struct Case {
    int in, out;
    double freq;
  };
  for (const Case c : {Case{22050, 48000, 1000}, Case{11025, 44100, 1000}, Case{8000, 48000, 440},
                       Case{44100, 48000, 5000}, Case{48000, 44100, 1000}, Case{37800, 44100, 3000}}) {
    SCOPED_TRACE(testing::Message() << c.in << " -> " << c.out << " Hz, " << c.freq << " Hz tone");
    const size_t inFrames = size_t(c.in);  // one second
    const std::vector<float> x = pwtest::Sine(c.freq, c.in, 2, inFrames);
    pwbass::Resampler rs(c.in, c.out, 2, 1024);
    std::vector<float> y;
    std::vector<float> block(700 * 2);
    size_t pos = 0;
    bool flushed = false;
    while (true) {
      const size_t n = std::min({rs.space(), size_t(333), inFrames - pos});
      pos += rs.write(x.data() + pos * 2, n);
      if (pos == inFrames && !flushed) flushed = rs.flush();
      const size_t made = rs.read(block.data(), 700);
      y.insert(y.end(), block.begin(), block.begin() + long(made) * 2);
      if (made == 0 && flushed) break;
    }
    const size_t frames = y.size() / 2;
    EXPECT_EQ(frames, (inFrames * size_t(c.out) + size_t(c.in) - 1) / size_t(c.in));
    const double f = pwtest::ZeroCrossingFrequency(y.data(), frames, 2, 0, c.out);
    EXPECT_NEAR(f, c.freq, c.freq * 0.001);
    EXPECT_NEAR(pwtest::ZeroCrossingFrequency(y.data(), frames, 2, 1, c.out), f, 1e-9);
    // The level is kept (away from the edges, where the signal starts abruptly).
    const size_t edge = size_t(c.out / 50);
    EXPECT_NEAR(pwtest::Rms(y.data() + edge * 2, (frames - 2 * edge) * 2), 0.5 / std::sqrt(2.0), 0.002);
    // Output frame j sits at input time j * in / out: compare with the ideal tone.
    double err = 0;
    for (size_t j = edge; j < frames - edge; ++j) {
      const double ideal = 0.5 * std::sin(2 * std::numbers::pi * c.freq * double(j) / c.out);
      err = std::max(err, std::fabs(y[2 * j] - ideal));
    }
    EXPECT_LT(err, 1e-3);
  }
}

TEST(Resampler, ResetStartsANewSignal) {
  pwbass::Resampler rs(22050, 48000, 1, 256);
  const std::vector<float> ones(200, 1.0f);
  rs.write(ones.data(), ones.size());
  std::vector<float> y(1000);
  EXPECT_GT(rs.read(y.data(), 1000), 0u);
  rs.reset();
  EXPECT_EQ(rs.read(y.data(), 1000), 0u);  // nothing left of the old signal
  const std::vector<float> zeros(200, 0.0f);
  rs.write(zeros.data(), zeros.size());
  const size_t made = rs.read(y.data(), 1000);
  ASSERT_GT(made, 0u);
  for (size_t i = 0; i < made; ++i) ASSERT_EQ(y[i], 0.0f) << i;
}

}  // namespace
