// Plays a generated tone through the player and PortAudio into a private
// PulseAudio server with a null sink, records the sink's monitor, and checks
// the recording's frequency and level. Skips only where pulseaudio cannot
// start.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "player.h"
#include "messages.h"
#include "playerowner.h"
#include "pulse_server.h"
#include "testaudio.h"

namespace {
constexpr int kRate = 44100;
constexpr double kFreq = 1000.0;

TEST(PulseAudio, ToneReachesTheSinkAtTheRightFrequencyAndLevel) {
  const std::string dir = pwtest::TempDir("pulse");
  pwtest::PulseServer server(dir);
  if (!server.up()) {
    GTEST_SKIP() << "pulseaudio could not start here (see " << server.log() << ")";
  }

  // A low-latency client attached for a few seconds first keeps a fresh
  // PortAudio stream on the null sink from stalling at its start.
  const std::string recording = dir + "/monitor.wav";
  const pid_t recorder = pwtest::Spawn({"parecord", "--device=pwtest.monitor", "--latency-msec=20", "--format=float32le",
                                "--rate=44100", "--channels=2", "--file-format=wav", recording},
                               dir + "/parecord.log");
  ASSERT_GT(recorder, 0);
  pwtest::ProcessGuard recorderGuard{recorder, SIGINT};
  std::this_thread::sleep_for(std::chrono::seconds(3));

  const std::string tone = dir + "/tone.wav";
  pwtest::WriteWav(tone, pwtest::Sine(kFreq, kRate, 2, size_t(2.0 * kRate), 0.5), kRate, 2, 16);

  pwtest::EnsureCoreApp();
  std::vector<pw::Message> messages;
  auto previous = pw::SetMessageHandler([&](const pw::Message& m) { messages.push_back(m); });
  {
    pwtest::PlayerOwner owner;
    Player player(&owner);
    owner.player = &player;
    player.Open(tone);
    ASSERT_TRUE(player.Loaded);
    ChainOutputReader* r = player.Reader.get();
    r->OnFill = [r](void* buffer, int32_t& count) { count = int32_t(r->UnbufferedRead(buffer, uint32_t(count))); };
    for (int round = 1; round <= 2; ++round) {
      player.SetVolume(round == 1 ? 10000 : 5000);
      player.Play();
      QElapsedTimer t;
      t.start();
      while (owner.ends < round && t.elapsed() < 15000) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      ASSERT_EQ(owner.ends, round);
      ASSERT_NE(player.Stream(), nullptr);
      // A gap of silence between the two tones.
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    // Figures for the log, not conditions: the machine may be busy.
    const OutputStream& stream = *player.Stream();
    RecordProperty("device", player.Device()->description());
    RecordProperty("ahead_ms", int(std::lround(stream.aheadSeconds() * 1000)));
    RecordProperty("device_latency_ms", int(std::lround(stream.deviceLatency() * 1000)));
    RecordProperty("underruns", int(stream.underruns().total()));
    EXPECT_EQ(player.Device()->kind(), OutputDevice::Kind::PortAudio);
    owner.player = nullptr;
  }
  pw::SetMessageHandler(previous);
  EXPECT_TRUE(messages.empty()) << messages.front().text;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  recorderGuard.Stop();
  server.Stop();

  // Find the two tone bursts (left channel) by a 10 ms envelope.
  const std::vector<float> x = pwtest::ReadRecording(recording);
  ASSERT_GT(x.size(), size_t(4 * kRate * 2));
  const size_t frames = x.size() / 2, win = kRate / 100;
  std::vector<std::pair<size_t, size_t>> bursts;
  bool inside = false;
  size_t start = 0;
  for (size_t w = 0; w + win <= frames; w += win) {
    double e = 0;
    for (size_t i = w; i < w + win; ++i) e = std::max(e, double(std::fabs(x[i * 2])));
    if (!inside && e > 0.02) { inside = true; start = w; }
    if (inside && e <= 0.02) { inside = false; bursts.push_back({start, w}); }
  }
  if (inside) bursts.push_back({start, frames});
  ASSERT_EQ(bursts.size(), 2u) << "expected two tone bursts in the recording";

  double level[2];
  for (int b = 0; b < 2; ++b) {
    const auto [s, e] = bursts[size_t(b)];
    const double length = double(e - s) / kRate;
    EXPECT_NEAR(length, 2.0, 0.1) << "burst " << b;
    // The steady middle: frequency and RMS.
    const size_t from = s + (e - s) / 4, count = (e - s) / 2;
    const double f = pwtest::ZeroCrossingFrequency(x.data() + from * 2, count, 2, 0, kRate);
    EXPECT_NEAR(f, kFreq, kFreq * 0.002) << "burst " << b;
    std::vector<float> left(count);
    for (size_t i = 0; i < count; ++i) left[i] = x[(from + i) * 2];
    level[b] = pwtest::Rms(left.data(), count);
  }
  EXPECT_NEAR(level[0], 0.5 / std::sqrt(2.0), 0.02);
  EXPECT_NEAR(level[1] / level[0], 0.5, 0.02);
}

}  // namespace
