// Plays a generated tone through the player and PortAudio into a private
// PulseAudio server with a null sink, records the sink's monitor, and checks
// the recording's frequency and level. Skips only where pulseaudio cannot
// start. A busy machine may stall the sink mid-tone, so the recording is
// read by level, not by counting bursts: gaps of silence inside a tone are
// allowed, lost or altered sound is not.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/messages.h"
#include "engine/playback.h"
#include "playback_owner.h"
#include "message_capture.h"
#include "pulse_server.h"
#include "engine/session.h"
#include "testaudio.h"

namespace {
constexpr int kRate = 44100;
constexpr double kFreq = 1000.0;
constexpr double kToneSeconds = 2.0;

// Bytes in the recording so far (parecord writes as it goes).
long long FileBytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : 0;
}

// Waits until the recording holds `bytes`, or 30 s pass.
bool WaitForRecording(const std::string& path, long long bytes) {
  return pwtest::WaitUntil([&] { return FileBytes(path) >= bytes; });
}

TEST(PulseAudio, ToneReachesTheSinkAtTheRightFrequencyAndLevel) {
  const std::string dir = pwtest::TempDir("pulse");
  pwtest::PulseServer server(dir);
  if (!server.up()) {
    GTEST_SKIP() << "pulseaudio could not start here (see " << server.log() << ")";
  }

  // A low-latency client on the sink's monitor first keeps a fresh PortAudio
  // stream on the null sink from stalling at its start; it is running once
  // it has recorded a second.
  const std::string recording = dir + "/monitor.wav";
  const pid_t recorder = pwtest::RecordSink(recording, dir + "/parecord.log");
  ASSERT_GT(recorder, 0);
  pwtest::ProcessGuard recorderGuard{recorder, SIGINT};
  constexpr long long kBytesPerSecond = kRate * 2 * 4;
  ASSERT_TRUE(WaitForRecording(recording, kBytesPerSecond)) << "parecord recorded nothing";

  const std::string tone = dir + "/tone.wav";
  pwtest::WriteWav(tone, pwtest::Sine(kFreq, kRate, 2, size_t(kToneSeconds * kRate), 0.5), kRate, 2, 16);

  pwtest::MessageCapture capture;
  const std::vector<pw::Message>& messages = capture.seen;
  {
    std::string problem;
    const std::unique_ptr<Session> session = Session::open(tone, &problem);
    ASSERT_NE(session, nullptr) << problem;
    Playback playback;
    pwtest::PlaybackOwner owner(playback);
    ASSERT_TRUE(playback.attach(session.get()));
    // Full volume, then half: the two plays are told apart by their level.
    for (int round = 1; round <= 2; ++round) {
      playback.setVolume(round == 1 ? 10000 : 5000);
      playback.play();
      ASSERT_TRUE(owner.waitForEnds(round));
      ASSERT_NE(playback.stream(), nullptr);
    }
    // Figures for the log, not conditions: the machine may be busy.
    const OutputStream& stream = *playback.stream();
    RecordProperty("device", playback.device()->description());
    RecordProperty("ahead_ms", int(std::lround(stream.aheadSeconds() * 1000)));
    RecordProperty("device_latency_ms", int(std::lround(stream.deviceLatency() * 1000)));
    RecordProperty("underruns", int(stream.underruns().total()));
    EXPECT_EQ(playback.device()->kind(), OutputDevice::Kind::PortAudio);
    playback.attach(nullptr);
  }
  EXPECT_TRUE(messages.empty()) << messages.front().text;
  // Half a second more of the monitor holds the end of the second play.
  ASSERT_TRUE(WaitForRecording(recording, FileBytes(recording) + kBytesPerSecond / 2));
  recorderGuard.Stop();
  server.Stop();

  // Sort 5 ms windows of the left channel by their peak: full volume (0.5),
  // half volume (0.25) or silence.
  const std::vector<float> x = pwtest::ReadRecording(recording);
  const size_t frames = x.size() / 2, win = kRate / 200;
  enum Level { kSilent, kHalf, kFull };
  std::vector<Level> windows;
  for (size_t w = 0; w + win <= frames; w += win) {
    double peak = 0;
    for (size_t i = w; i < w + win; ++i) peak = std::max(peak, double(std::fabs(x[i * 2])));
    windows.push_back(peak <= 0.02 ? kSilent : peak < 0.375 ? kHalf : kFull);
  }

  // Each play lasts the tone's length in all, and the full one comes first:
  // the last steady stretch (100 ms or more) at full volume ends before the
  // first steady one at half volume begins. A window at the edge of a break
  // the machine caused may hold a sliver of the tone, at any level; it
  // counts in the totals but does not mark where a play is.
  constexpr size_t kSteady = 20;
  double seconds[3] = {0, 0, 0};
  size_t lastFull = 0, firstHalf = windows.size();
  for (size_t i = 0; i < windows.size();) {
    size_t end = i;
    while (end < windows.size() && windows[end] == windows[i]) ++end;
    seconds[windows[i]] += double((end - i) * win) / kRate;
    if (end - i >= kSteady && windows[i] == kFull) lastFull = end - 1;
    if (end - i >= kSteady && windows[i] == kHalf && firstHalf == windows.size()) firstHalf = i;
    i = end;
  }
  EXPECT_NEAR(seconds[kFull], kToneSeconds, 0.1);
  EXPECT_NEAR(seconds[kHalf], kToneSeconds, 0.1);
  EXPECT_GE(firstHalf + 2, lastFull) << "the half-volume play began before the full one ended";

  // Every steady stretch of 100 ms or more: the tone's frequency, and the
  // level its play was set to.
  int measured[3] = {0, 0, 0};
  for (size_t i = 0; i < windows.size();) {
    size_t end = i;
    while (end < windows.size() && windows[end] == windows[i]) ++end;
    const Level level = windows[i];
    if (level != kSilent && (end - i) * win >= size_t(kRate / 10)) {
      const size_t from = (i + (end - i) / 4) * win, count = (end - i) / 2 * win;
      const double f = pwtest::ZeroCrossingFrequency(x.data() + from * 2, count, 2, 0, kRate);
      EXPECT_NEAR(f, kFreq, kFreq * 0.002) << "stretch at " << double(from) / kRate << " s";
      std::vector<float> left(count);
      for (size_t k = 0; k < count; ++k) left[k] = x[(from + k) * 2];
      const double expected = (level == kFull ? 0.5 : 0.25) / std::sqrt(2.0);
      EXPECT_NEAR(pwtest::Rms(left.data(), count), expected, 0.02) << "stretch at " << double(from) / kRate << " s";
      ++measured[level];
    }
    i = end;
  }
  EXPECT_GT(measured[kFull], 0);
  EXPECT_GT(measured[kHalf], 0);
}

}  // namespace
