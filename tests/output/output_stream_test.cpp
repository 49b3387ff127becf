// Output streams on the null devices, the renderer driven directly, the
// null device's pacing, and the resampler used for rates the device does
// not take.
#include <gtest/gtest.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "allocation_count.h"
#include "output/output_device.h"
#include "output/output_resampler.h"
#include "output/output_stream.h"
#include "output/realtime_pacer.h"
#include "scoped_environment.h"
#include "testaudio.h"
#include "wait_until.h"

namespace {

using namespace std::chrono_literals;
using State = OutputStream::State;

// Polls often: some tests look for a state that lasts one block.
bool WaitFor(const std::function<bool()>& done) { return pwtest::WaitUntil(done, 20s, 200us); }


std::string ThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// A source for the tests: frame i of the counter pattern is i on the left
// (or only) channel and -i on the right one.
struct TestSource : OutputSource {
  enum Pattern { kCounter, kConstant };
  int channels = 2;
  Pattern pattern = kCounter;
  float constant = 1.0f;
  uint64_t endEvery = 0;     // frames per round before the end; 0 = never
  bool notReadyBeforeEnd = false;  // one "nothing yet" before each end
  // Frames after which it has nothing yet; by default where the counter
  // would stop being exact in a float (the null-fast device plays ~1e8
  // frames/s).
  std::atomic<uint64_t> gate{uint64_t(1) << 23};
  std::chrono::microseconds slow{0};  // time each call takes
  bool allocate = false;              // allocates on every call

  OutputStream* stream = nullptr;  // for the calls back in
  std::atomic<uint64_t> frames{0};
  uint64_t round = 0;  // frames given in this round (producer only)
  bool notReadyGiven = false;
  std::atomic<int> calls{0};
  std::atomic<int> badCalls{0};  // no buffer, no frames, or not on the producer thread
  std::atomic<int> denormalCalls{0};  // run without flush-to-zero
  std::atomic<bool> forbidden{false};
  std::atomic<bool> inside{false};  // a call is running
  std::atomic<int> violations{0};
  std::atomic<int> reentry{-1};  // error code of a stop from inside
  std::atomic<int> endsGiven{0};

  size_t read(float* out, size_t n) override {
    inside.store(true);
    calls.fetch_add(1);
    if (forbidden.load()) violations.fetch_add(1);
    if (out == nullptr || n == 0 || ThreadName() != "pw-producer") badCalls.fetch_add(1);
#if defined(__SSE__)
    if ((_mm_getcsr() & 0x8040) != 0x8040) denormalCalls.fetch_add(1);
#endif
    if (stream != nullptr) reentry.store(ErrorCode(stream->stop()));
    if (slow.count() > 0) std::this_thread::sleep_for(slow);
    if (allocate) {
      void* (*volatile allocator)(size_t) = std::malloc;
      std::free(allocator(64));
    }
    struct Leave {
      std::atomic<bool>& inside;
      ~Leave() { inside.store(false); }
    } leave{inside};

    if (endEvery != 0 && round >= endEvery) {
      if (notReadyBeforeEnd && !notReadyGiven) {
        notReadyGiven = true;
        return kNotReady;
      }
      round = 0;
      notReadyGiven = false;
      endsGiven.fetch_add(1);
      return 0;
    }
    const uint64_t total = frames.load();
    const uint64_t open = gate.load();
    if (total >= open) return kNotReady;
    n = size_t(std::min<uint64_t>(n, open - total));
    if (endEvery != 0) n = size_t(std::min<uint64_t>(n, endEvery - round));
    for (size_t i = 0; i < n; ++i) {
      const float v = pattern == kCounter ? float(total + i) : constant;
      out[i * size_t(channels)] = v;
      if (channels >= 2) out[i * size_t(channels) + 1] = pattern == kCounter ? -v : v;
      for (int j = 2; j < channels; ++j) out[i * size_t(channels) + size_t(j)] = 0;
    }
    frames.store(total + n);
    round += n;
    return n;
  }
};

// Counts the end reports and notes what was pulled when each came.
struct EndLog {
  std::atomic<int> ends{0};
  std::atomic<uint64_t> framesAtEnd{0};
  std::atomic<bool> onCallerThread{false};
  std::atomic<int> reentry{-1};  // error code of a stop from the handler
  std::thread::id caller = std::this_thread::get_id();

  std::function<void()> Handler(TestSource& s, OutputStream* stream = nullptr) {
    return [this, &s, stream] {
      framesAtEnd.store(s.frames.load());
      if (std::this_thread::get_id() == caller) onCallerThread.store(true);
      if (stream != nullptr) reentry.store(ErrorCode(stream->stop()));
      ends.fetch_add(1);
    };
  }
};

std::unique_ptr<OutputDevice> OpenDevice(AudioError* error = nullptr) {
  AudioError e = AudioError::None;
  auto device = OutputDevice::open(-1, 44100, &e);
  if (error != nullptr) *error = e;
  return device;
}

class Output : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(device_, nullptr); }

  std::unique_ptr<OutputStream> Make(TestSource& s, int rate) {
    AudioError e = AudioError::None;
    auto stream = device_->createStream(rate, s.channels, s, &e);
    EXPECT_EQ(e, AudioError::None);
    return stream;
  }

  // Whole frames of what is heard now.
  static std::vector<float> Heard(const OutputStream& stream, size_t frames) {
    const size_t ch = size_t(stream.format().channels);
    std::vector<float> data(frames * ch + 1);
    data.resize(stream.heard(data.data(), frames) * ch);
    return data;
  }

  pwtest::ScopedEnvironment env_{{"PITCHWELL_AUDIO", "null-fast"}};
  std::unique_ptr<OutputDevice> device_ = OpenDevice();
};

// ---- devices ----

TEST(OutputDevices, OpenAsOftenAsWantedAndSeveralAtOnce) {
  struct Case {
    const char* env;
    int device;
    OutputDevice::Kind kind;
  };
  for (const Case c : {Case{"null-fast", -1, OutputDevice::Kind::NullFast}, Case{"null", -1, OutputDevice::Kind::Null},
                       Case{"null-fast", 0, OutputDevice::Kind::Null}}) {
    SCOPED_TRACE(testing::Message() << c.env << ", device " << c.device);
    const auto env = pwtest::ScopedEnvironment::Audio(c.env);
    AudioError e = AudioError::Unknown;
    auto device = OutputDevice::open(c.device, 44100, &e);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(e, AudioError::None);
    EXPECT_EQ(device->kind(), c.kind);
    EXPECT_FALSE(device->description().empty());
  }
  AudioError e = AudioError::None;
  EXPECT_EQ(OutputDevice::open(-2, 44100, &e), nullptr);
  EXPECT_EQ(e, AudioError::Device);

  // Nothing is program-wide: two devices play at once, each to its end, and
  // a device opens again after one has gone.
  const auto env = pwtest::ScopedEnvironment::Audio("null-fast");
  for (int pass = 0; pass < 2; ++pass) {
    auto first = OpenDevice();
    auto second = OpenDevice();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    TestSource a, b;
    a.endEvery = 3000;
    b.endEvery = 5000;
    auto sa = first->createStream(44100, 2, a, &e);
    auto sb = second->createStream(22050, 2, b, &e);
    ASSERT_NE(sa, nullptr);
    ASSERT_NE(sb, nullptr);
    ASSERT_EQ(sa->play(), AudioError::None);
    ASSERT_EQ(sb->play(), AudioError::None);
    ASSERT_TRUE(WaitFor([&] { return sa->state() == State::Stopped && sb->state() == State::Stopped; }));
    EXPECT_EQ(a.frames.load(), 3000u);
    EXPECT_EQ(b.frames.load(), 5000u);
  }
}

TEST_F(Output, CreateChecksTheFormat) {
  struct Case {
    int rate, chans;
    AudioError error;
  };
  const Case cases[] = {
      // Streams the program will not play (more than two channels, above
      // 48 kHz) can still be made: the file-open step refuses them.
      {3999, 2, AudioError::SampleFormat},  {384001, 2, AudioError::SampleFormat}, {0, 1, AudioError::SampleFormat},
      {96000, 2, AudioError::None},         {44100, 0, AudioError::SampleFormat},  {44100, 6, AudioError::None},
      {44100, 9, AudioError::SampleFormat}, {8000, 1, AudioError::None},           {22050, 2, AudioError::None},
      {48000, 2, AudioError::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.chans << " channels");
    TestSource s;
    AudioError e = AudioError::Unknown;
    const auto stream = device_->createStream(c.rate, c.chans, s, &e);
    EXPECT_EQ(e, c.error);
    if (c.error != AudioError::None) {
      EXPECT_EQ(stream, nullptr);
      continue;
    }
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->format().rate, c.rate);
    EXPECT_EQ(stream->format().channels, c.chans);
    EXPECT_EQ(stream->format().deviceChannels, std::min(c.chans, 2));
    EXPECT_EQ(stream->volume(), 1.0f);
    EXPECT_EQ(stream->state(), State::Stopped);
    EXPECT_EQ(stream->pulled(), 0u);
  }
}

TEST_F(Output, PullsOnlyWhilePlayingAndOnlyOnTheProducer) {
  struct Case {
    int rate;
    int chans;
  };
  for (const Case c : {Case{8000, 1}, Case{22050, 2}, Case{44100, 2}, Case{48000, 1}, Case{44100, 6}}) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.chans << " channels");
    TestSource s;
    s.channels = c.chans;
    const auto stream = Make(s, c.rate);
    ASSERT_NE(stream, nullptr);
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(s.calls.load(), 0);  // nothing is pulled before play
    ASSERT_EQ(stream->play(), AudioError::None);
    EXPECT_EQ(stream->state(), State::Playing);
    ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= uint64_t(c.rate / 2); }));
    ASSERT_EQ(stream->stop(), AudioError::None);
    EXPECT_EQ(stream->state(), State::Stopped);
    EXPECT_EQ(s.badCalls.load(), 0);
    EXPECT_EQ(s.denormalCalls.load(), 0);  // the chain runs with flush-to-zero
    EXPECT_EQ(stream->pulled(), s.frames.load());
  }
}

TEST_F(Output, EndIsReportedOncePerEndAndPlayStartsAgain) {
  for (const bool notReadyFirst : {false, true}) {
    SCOPED_TRACE(notReadyFirst ? "nothing yet, then the end" : "the end after a short read");
    TestSource s;
    s.endEvery = 10000;
    s.notReadyBeforeEnd = notReadyFirst;
    EndLog log;
    const auto stream = Make(s, 44100);
    ASSERT_NE(stream, nullptr);
    stream->setEndHandler(log.Handler(s));

    for (int round = 1; round <= 3; ++round) {
      ASSERT_EQ(stream->play(), AudioError::None);
      ASSERT_TRUE(WaitFor([&] { return stream->state() == State::Stopped && log.ends.load() == round; }));
      const int calls = s.calls.load();
      std::this_thread::sleep_for(20ms);  // a stream that has ended pulls no more, nor ends again
      EXPECT_EQ(s.calls.load(), calls);
      EXPECT_EQ(log.ends.load(), round);
      EXPECT_EQ(log.framesAtEnd.load(), uint64_t(round) * 10000);
      EXPECT_EQ(stream->pulled(), uint64_t(round) * 10000);
      EXPECT_TRUE(Heard(*stream, 64).empty());  // nothing is heard
      EXPECT_EQ(stream->pause(), AudioError::NotAvailable);
    }
    EXPECT_FALSE(log.onCallerThread.load());
    EXPECT_EQ(s.badCalls.load(), 0);
  }
}

TEST_F(Output, EndComesOnlyOnceTheLastFrameIsHeard) {
  // On the real-time null device the last frame is heard a block after it is
  // rendered: the end is not reported before, and the tail is heard.
  const auto env = pwtest::ScopedEnvironment::Audio("null");
  auto device = OpenDevice();
  ASSERT_NE(device, nullptr);
  TestSource s;
  s.endEvery = 4410;
  EndLog log;
  AudioError e = AudioError::None;
  const auto stream = device->createStream(44100, 2, s, &e);
  ASSERT_NE(stream, nullptr);
  stream->setEndHandler(log.Handler(s));
  ASSERT_EQ(stream->play(), AudioError::None);
  // The last block (1024 frames) is heard while the end is not reported yet.
  bool sawLastBlock = false;
  ASSERT_TRUE(WaitFor([&] {
    const int ends = log.ends.load();
    const std::vector<float> newest = Heard(*stream, 1);
    if (ends == 0 && !newest.empty() && newest[0] >= float(4410 - 1024)) sawLastBlock = true;
    return ends == 1;
  }));
  EXPECT_TRUE(sawLastBlock);
  EXPECT_EQ(log.framesAtEnd.load(), 4410u);
  EXPECT_EQ(stream->state(), State::Stopped);
}

TEST_F(Output, PauseKeepsTheSoundAndStopsPulling) {
  TestSource s;
  const auto stream = Make(s, 44100);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->pause(), AudioError::NotAvailable);  // not playing
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= 20000; }));
  ASSERT_EQ(stream->pause(), AudioError::None);
  EXPECT_EQ(stream->state(), State::Paused);
  const int calls = s.calls.load();
  const uint64_t pausedAt = s.frames.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(s.calls.load(), calls);
  // What was heard last is still there while paused.
  const std::vector<float> held = Heard(*stream, 4096);
  ASSERT_FALSE(held.empty());
  EXPECT_LE(held[held.size() - 2], float(pausedAt - 1));

  s.gate.store(pausedAt + 10000);
  ASSERT_EQ(stream->play(), AudioError::None);
  EXPECT_EQ(stream->state(), State::Playing);
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() == pausedAt + 10000; }));
  // Everything heard across the pause is one unbroken run of the counter.
  std::vector<float> run;
  ASSERT_TRUE(WaitFor([&] {
    run = Heard(*stream, 22050);
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
  TestSource s;
  const auto stream = Make(s, 44100);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= 20000; }));
  ASSERT_EQ(stream->stop(), AudioError::None);
  EXPECT_EQ(stream->state(), State::Stopped);
  const int calls = s.calls.load();
  const uint64_t stoppedAt = s.frames.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(s.calls.load(), calls);
  EXPECT_TRUE(Heard(*stream, 64).empty());

  s.gate.store(stoppedAt + 5000);
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() == stoppedAt + 5000; }));
  EXPECT_GT(s.calls.load(), calls);
  // Only what was pulled after the restart is heard: what the ring held
  // when it stopped is gone.
  std::vector<float> run;
  ASSERT_TRUE(WaitFor([&] {
    run = Heard(*stream, 22050);
    return !run.empty() && run[run.size() - 2] == float(stoppedAt + 5000 - 1);
  }));
  EXPECT_EQ(run.size(), size_t(5000 * 2));
  EXPECT_EQ(run[0], float(stoppedAt));
}

TEST_F(Output, RestartDropsTheSoundWhilePlaying) {
  TestSource s;
  const auto stream = Make(s, 44100);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= 20000; }));
  ASSERT_EQ(stream->pause(), AudioError::None);
  const uint64_t at = s.frames.load();
  s.gate.store(at + 3000);
  ASSERT_EQ(stream->play(true), AudioError::None);
  std::vector<float> run;
  ASSERT_TRUE(WaitFor([&] {
    run = Heard(*stream, 22050);
    return !run.empty() && run[run.size() - 2] == float(at + 3000 - 1);
  }));
  EXPECT_EQ(run.size(), size_t(3000 * 2));
  EXPECT_EQ(run[0], float(at));
}

TEST_F(Output, NoSourceCallAfterStopPauseOrDestructionReturns) {
  enum Op { kStop, kPause, kDestroy };
  for (const Op op : {kStop, kPause, kDestroy}) {
    SCOPED_TRACE(op == kStop ? "stop" : op == kPause ? "pause" : "destroy");
    for (int i = 0; i < 25; ++i) {
      TestSource s;
      s.slow = std::chrono::microseconds(100 * (i % 5));  // widen the race window
      EndLog log;
      auto stream = Make(s, 44100);
      ASSERT_NE(stream, nullptr);
      stream->setEndHandler(log.Handler(s));
      ASSERT_EQ(stream->play(), AudioError::None);
      ASSERT_TRUE(WaitFor([&] { return s.calls.load() >= 1 + i % 4; }));
      if (op == kStop) {
        ASSERT_EQ(stream->stop(), AudioError::None);
      } else if (op == kPause) {
        ASSERT_EQ(stream->pause(), AudioError::None);
      } else {
        stream.reset();
      }
      EXPECT_FALSE(s.inside.load());
      s.forbidden.store(true);
      std::this_thread::sleep_for(2ms);
      EXPECT_EQ(s.violations.load(), 0);
      EXPECT_EQ(log.ends.load(), 0);
    }
  }
}

TEST_F(Output, VolumeChangesRampWithoutSteps) {
  constexpr int kRate = 44100;
  constexpr uint64_t kBefore = 4410, kAfter = 8820;
  TestSource s;
  s.channels = 1;
  s.pattern = TestSource::kConstant;
  s.gate.store(kBefore);
  const auto stream = Make(s, kRate);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(stream->play(), AudioError::None);
  // The volume applies where the device takes frames from the ring: change
  // it once all of the first part has been taken.
  ASSERT_TRUE(WaitFor([&] { return Heard(*stream, kBefore + 1).size() == kBefore; }));
  stream->setVolume(0.5f);
  EXPECT_EQ(stream->volume(), 0.5f);
  s.gate.store(kBefore + kAfter);

  std::vector<float> x;
  ASSERT_TRUE(WaitFor([&] {
    x = Heard(*stream, kBefore + kAfter);
    return x.size() == kBefore + kAfter;
  }));
  for (size_t i = 0; i < kBefore; ++i) ASSERT_EQ(x[i], 1.0f) << i;
  // A full-scale change takes at least 10 ms, and this one is over in 20 ms.
  const float maxStep = 1.0f / (0.010f * kRate);
  EXPECT_LT(x[kBefore], 1.0f);
  EXPECT_GT(x[kBefore], 0.5f + 0.4f);
  for (size_t i = kBefore; i < x.size(); ++i) ASSERT_LE(std::fabs(x[i] - x[i - 1]), maxStep) << i;
  for (size_t i = kBefore + size_t(0.020 * kRate); i < x.size(); ++i) ASSERT_EQ(x[i], 0.5f) << i;

  stream->setVolume(7.0f);
  EXPECT_EQ(stream->volume(), 1.0f);
  stream->setVolume(-1.0f);
  EXPECT_EQ(stream->volume(), 0.0f);
}

TEST_F(Output, HeardReturnsTheRecentWholeFrames) {
  constexpr uint64_t kFrames = 30000;
  TestSource s;
  s.gate.store(kFrames);
  const auto stream = Make(s, 44100);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(Heard(*stream, 64).empty());  // not playing yet
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() == kFrames; }));

  for (const size_t frames : {size_t(0), size_t(1), size_t(1000), size_t(22050), size_t(kFrames + 100)}) {
    SCOPED_TRACE(testing::Message() << frames << " frames");
    const uint64_t expected = std::min<uint64_t>(frames, kFrames);
    std::vector<float> run;
    // Once the device has played the last frame, the newest is heard.
    ASSERT_TRUE(WaitFor([&] {
      run = Heard(*stream, frames);
      return run.size() == expected * 2 && (expected == 0 || run.back() == -float(kFrames - 1));
    }));
    for (size_t i = 0; i < expected; ++i) {
      ASSERT_EQ(run[2 * i], float(kFrames - expected + i)) << i;
      ASSERT_EQ(run[2 * i + 1], -run[2 * i]) << i;
    }
  }
}

TEST_F(Output, HeardWhilePlayingIsAContiguousRecentRun) {
  TestSource s;
  s.slow = 500us;  // still far faster than real time, but playing throughout
  const auto stream = Make(s, 44100);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return s.frames.load() >= 20000; }));
  for (int i = 0; i < 50; ++i) {
    const std::vector<float> run = Heard(*stream, 2048);
    ASSERT_FALSE(run.empty());
    ASSERT_LE(run.size(), size_t(2048 * 2));
    for (size_t f = 1; f < run.size() / 2; ++f) ASSERT_EQ(run[2 * f], run[2 * f - 2] + 1) << f;
    EXPECT_LE(run[run.size() - 2], float(s.frames.load() - 1));
  }
  EXPECT_EQ(stream->state(), State::Playing);
}

TEST_F(Output, CallbacksCannotCallBackIn) {
  TestSource s;
  s.endEvery = 3000;
  EndLog log;
  const auto stream = Make(s, 44100);
  ASSERT_NE(stream, nullptr);
  s.stream = stream.get();
  stream->setEndHandler(log.Handler(s, stream.get()));
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return log.ends.load() == 1; }));
  EXPECT_EQ(s.reentry.load(), ErrorCode(AudioError::NotAvailable));
  EXPECT_EQ(log.reentry.load(), ErrorCode(AudioError::NotAvailable));
}

TEST(OutputDevicesRates, OddRateDevicePlaysTheStreamAtItsRate) {
  // A null device that only runs at 48000 Hz: 22050 Hz streams are resampled.
  const auto env = pwtest::ScopedEnvironment::Audio("null-fast:48000");
  auto device = OpenDevice();
  ASSERT_NE(device, nullptr);
  TestSource s;
  s.channels = 1;
  s.endEvery = 22050;
  EndLog log;
  AudioError e = AudioError::None;
  const auto stream = device->createStream(22050, 1, s, &e);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->format().deviceRate, 48000);
  stream->setEndHandler(log.Handler(s));
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return stream->state() == State::Stopped && log.ends.load() == 1; }));
  EXPECT_EQ(s.frames.load(), 22050u);
  EXPECT_EQ(s.badCalls.load(), 0);
}

TEST(OutputDevicesRates, RealTimeNullDeviceIsNotFaster) {
  const auto env = pwtest::ScopedEnvironment::Audio("null");
  auto device = OpenDevice();
  ASSERT_NE(device, nullptr);
  TestSource s;
  s.channels = 1;
  s.endEvery = 8820;  // 0.2 s
  AudioError e = AudioError::None;
  const auto stream = device->createStream(44100, 1, s, &e);
  ASSERT_NE(stream, nullptr);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(stream->play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return stream->state() == State::Stopped; }));
  // Coarse: real time, not as fast as possible (which takes microseconds).
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  // The null device tells its latency: one block of 1024 frames.
  EXPECT_NEAR(stream->deviceLatency(), 1024.0 / 44100, 1e-9);
}

TEST(OutputDevicesRates, DeviceThreadAllocatesNothing) {
  if (!pwtest::AllocationCount::available()) GTEST_SKIP() << "the sanitizers own malloc";
  // The source allocates on every call (on the producer): the count sees it
  // there, and sees nothing on the device thread, which also resamples here.
  const auto env = pwtest::ScopedEnvironment::Audio("null-fast:48000");
  auto device = OpenDevice();
  ASSERT_NE(device, nullptr);
  TestSource s;
  s.allocate = true;
  s.endEvery = 44100;
  EndLog log;
  AudioError e = AudioError::None;
  const auto stream = device->createStream(44100, 2, s, &e);
  ASSERT_NE(stream, nullptr);
  stream->setEndHandler(log.Handler(s));
  pwtest::AllocationCount onDevice("pw-device");
  pwtest::AllocationCount onProducer("pw-producer");
  for (int round = 1; round <= 2; ++round) {
    ASSERT_EQ(stream->play(), AudioError::None);
    stream->setVolume(round == 1 ? 0.5f : 1.0f);
    ASSERT_TRUE(WaitFor([&] { return log.ends.load() == round; }));
  }
  EXPECT_GT(onProducer.count(), 0u);
  EXPECT_EQ(onDevice.count(), 0u) << "first allocation: " << onDevice.firstSize() << " bytes";
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
    struct Feed : OutputSource {
      const std::vector<float>* data = nullptr;
      size_t channels = 1;
      size_t pos = 0;
      size_t read(float* out, size_t frames) override {
        const size_t n = std::min(frames * channels, data->size() - pos);
        std::copy_n(data->data() + pos, n, out);
        pos += n;
        return n / channels;
      }
    } feed;
    feed.data = &sine;
    feed.channels = size_t(c.channels);
    OutputStream stream({c.rate, c.channels, c.deviceRate, c.deviceChannels}, feed);
    ASSERT_EQ(stream.play(), AudioError::None);
    std::vector<float> out;
    std::vector<float> block(512 * size_t(c.deviceChannels));
    ASSERT_TRUE(WaitFor([&] {
      const size_t n = stream.render(block.data(), 512, 0.0);
      out.insert(out.end(), block.begin(), block.begin() + long(n) * c.deviceChannels);
      if (n == 0) std::this_thread::sleep_for(100us);  // the producer is behind
      return stream.state() == State::Stopped;
    }));
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

TEST(OutputRender, RingKeepsItsDepthAheadOfTheDevice) {
  constexpr int kRate = 44100;
  const uint64_t depth = uint64_t(std::ceil(OutputStream::kAheadSeconds * kRate));
  TestSource s;
  OutputStream stream({kRate, 2, kRate, 2}, s);
  EXPECT_NEAR(stream.aheadSeconds(), OutputStream::kAheadSeconds, 1.0 / kRate);
  ASSERT_EQ(stream.play(), AudioError::None);
  // The producer fills the ring to its depth and no further …
  ASSERT_TRUE(WaitFor([&] { return stream.pulled() >= depth; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(stream.pulled(), depth);
  EXPECT_EQ(stream.queuedFrames(), depth);
  // … and tops it up as soon as the device has taken a block.
  std::vector<float> block(1024 * 2);
  ASSERT_EQ(stream.render(block.data(), 1024, 0.0), 1024u);
  EXPECT_EQ(block[0], 0.0f);
  EXPECT_EQ(block[2 * 1023], 1023.0f);
  ASSERT_TRUE(WaitFor([&] { return stream.pulled() == depth + 1024; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(stream.pulled(), depth + 1024);
  EXPECT_EQ(stream.queuedFrames(), depth);
  EXPECT_EQ(stream.underruns().total(), 0u);
}

TEST(OutputRender, UnderrunsCountRendersThatFindTheRingShort) {
  TestSource s;
  s.channels = 1;
  s.gate.store(1000);
  OutputStream stream({44100, 1, 44100, 1}, s);
  std::vector<float> block(512);
  // Stopped: silence, no underrun.
  EXPECT_EQ(stream.render(block.data(), 512, 0.0), 0u);
  ASSERT_EQ(stream.play(), AudioError::None);
  ASSERT_TRUE(WaitFor([&] { return stream.pulled() == 1000; }));

  struct Step {
    enum Do { kRender, kPause, kPlay, kOpenToTheEnd } what;
    size_t sound;      // frames of sound the render returns
    uint64_t counted;  // underruns counted so far
  };
  const Step steps[] = {
      {Step::kRender, 512, 0},        // the ring holds enough
      {Step::kRender, 488, 1},        // short
      {Step::kRender, 0, 2},          // empty, the source has nothing yet
      {Step::kPause, 0, 2},  {Step::kRender, 0, 2},  // paused: silence is not an underrun
      {Step::kPlay, 0, 2},   {Step::kRender, 0, 3},
      {Step::kOpenToTheEnd, 0, 3},
      {Step::kRender, 200, 3},        // the last frames: the end is not an underrun
      {Step::kRender, 0, 3},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "step " << (&step - steps));
    switch (step.what) {
      case Step::kRender:
        EXPECT_EQ(stream.render(block.data(), 512, 0.0), step.sound);
        break;
      case Step::kPause:
        ASSERT_EQ(stream.pause(), AudioError::None);
        break;
      case Step::kPlay:
        ASSERT_EQ(stream.play(), AudioError::None);
        break;
      case Step::kOpenToTheEnd:
        // 200 frames more, then the end (set while the producer is out of
        // the source).
        ASSERT_EQ(stream.pause(), AudioError::None);
        s.endEvery = 1200;
        s.round = 1000;
        s.gate.store(1200);
        ASSERT_EQ(stream.play(), AudioError::None);
        ASSERT_TRUE(WaitFor([&] { return s.endsGiven.load() == 1; }));
        break;
    }
    EXPECT_EQ(stream.underruns().ringShort, step.counted);
  }
  EXPECT_EQ(stream.underruns().deviceLate, 0u);
  ASSERT_TRUE(WaitFor([&] { return stream.state() == State::Stopped; }));
}

TEST(OutputRender, FreshPlayWaitsSilentlyForTheProducer) {
  // A source that needs time for its first frames (a decoder opening, an
  // effect priming) leaves the device silent at first, without underruns.
  TestSource s;
  s.slow = 20ms;
  OutputStream stream({44100, 2, 44100, 2}, s);
  std::vector<float> block(256 * 2);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(stream.play(true), AudioError::None);
    size_t sound = 0;
    ASSERT_TRUE(WaitFor([&] {
      sound = stream.render(block.data(), 256, 0.0);
      return sound > 0;
    }));
    EXPECT_EQ(sound, 256u);
  }
  EXPECT_EQ(stream.underruns().total(), 0u);
}

// ---- the null device's pacing ----

TEST(RealTimePacer, ABlockLaterThanOneBlockPastItsTurnIsLate) {
  using Clock = RealTimePacer::Clock;
  const Clock::time_point t0{};
  const auto ms = [](int n) { return std::chrono::milliseconds(n); };
  RealTimePacer pacer(ms(10), t0);
  struct Call {
    int renderAt;   // ms
    bool late;
    int nextAt;     // ms
  };
  const Call calls[] = {
      {0, false, 10},   {12, false, 20},  // a little late: the buffered block covers it
      {31, true, 30},                     // more than a block past its turn
      {35, false, 40},  {95, true, 95},   // far behind: starts afresh, no burst
      {95, false, 105},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(testing::Message() << "at " << c.renderAt << " ms");
    EXPECT_EQ(pacer.late(t0 + ms(c.renderAt)), c.late);
    EXPECT_EQ(pacer.advance(t0 + ms(c.renderAt)), t0 + ms(c.nextAt));
  }
}

// ---- the resampler ----

TEST(Resampler, KeepsFrequencyLevelTimingAndExactLength) {
  struct Case {
    int in, out;
    double freq;
  };
  for (const Case c : {Case{22050, 48000, 1000}, Case{11025, 44100, 1000}, Case{8000, 48000, 440},
                       Case{44100, 48000, 5000}, Case{48000, 44100, 1000}, Case{37800, 44100, 3000}}) {
    SCOPED_TRACE(testing::Message() << c.in << " -> " << c.out << " Hz, " << c.freq << " Hz tone");
    const size_t inFrames = size_t(c.in);  // one second
    const std::vector<float> x = pwtest::Sine(c.freq, c.in, 2, inFrames);
    Resampler rs(c.in, c.out, 2);
    std::vector<float> y;
    std::vector<float> block(700 * 2);
    size_t pos = 0;
    while (!rs.finished()) {
      const size_t n = std::min(size_t(333), inFrames - pos);
      const Resampler::Step s = rs.process(x.data() + pos * 2, n, block.data(), 700, pos + n == inFrames);
      pos += s.used;
      y.insert(y.end(), block.begin(), block.begin() + long(s.made) * 2);
      ASSERT_TRUE(s.used > 0 || s.made > 0 || rs.finished());
    }
    Resampler::Step after = rs.process(nullptr, 0, block.data(), 700, true);
    EXPECT_EQ(after.made, 0u);
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
  Resampler rs(22050, 48000, 1);
  const std::vector<float> ones(2000, 1.0f);
  std::vector<float> y(5000);
  const Resampler::Step first = rs.process(ones.data(), ones.size(), y.data(), y.size(), false);
  EXPECT_EQ(first.used, ones.size());
  EXPECT_GT(first.made, 0u);
  EXPECT_GT(rs.pending(), 0.0);
  rs.reset();
  EXPECT_EQ(rs.pending(), 0.0);
  const std::vector<float> zeros(2000, 0.0f);
  size_t made = 0;
  for (size_t used = 0; !rs.finished();) {
    const Resampler::Step s = rs.process(zeros.data() + used, zeros.size() - used, y.data() + made, y.size() - made, true);
    used += s.used;
    made += s.made;
  }
  ASSERT_EQ(made, (2000u * 48000 + 22049) / 22050);
  for (size_t i = 0; i < made; ++i) ASSERT_EQ(y[i], 0.0f) << i;  // nothing left of the old signal
}

}  // namespace
