// The real program, end to end: started under Xvfb with a generated 440 Hz
// file, sound through PortAudio into a private PulseAudio null sink whose
// monitor is recorded. PLAY is clicked and the pitch slider moved to +12
// semitones with the keyboard, as a user would (synthesised X input events);
// the recording must go from 440 Hz to 880 Hz and the time label must move.
// Skips only where Xvfb or pulseaudio cannot start.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "pulse_server.h"
#include "testaudio.h"
#include "window_layout.h"
#include "x_session.h"

namespace {

constexpr int kRate = 44100;

// Frequency of the left channel over [from, from + seconds) of the recording.
double FrequencyAt(const std::vector<float>& x, double from, double seconds) {
  const size_t start = size_t(from * kRate), count = size_t(seconds * kRate);
  if ((start + count) * 2 > x.size()) return 0.0;
  return pwtest::ZeroCrossingFrequency(x.data() + start * 2, count, 2, 0, kRate);
}

TEST(PitchwellWindow, PlaysAndFollowsThePitchSliderThroughTheSoundServer) {
  const pwtest::WindowLayout layout = pwtest::MainWindowLayout();  // before the sound server: plays nowhere
  const std::string dir = pwtest::TempDir("window-e2e");
  const std::string tone = dir + "/tone.wav";
  pwtest::WriteWav(tone, pwtest::Sine(440.0, kRate, 2, size_t(40.0 * kRate), 0.5), kRate, 2, 16);

  pwtest::XSession x(dir);
  if (!x.up()) GTEST_SKIP() << "Xvfb could not start here";
  pwtest::PulseServer server(dir);
  if (!server.up()) GTEST_SKIP() << "pulseaudio could not start here (see " << server.log() << ")";

  const std::string recording = dir + "/monitor.wav";
  pwtest::ProcessGuard recorder{
      pwtest::Spawn({"parecord", "--device=pwtest.monitor", "--latency-msec=20", "--format=float32le", "--rate=44100",
                     "--channels=2", "--file-format=wav", recording},
                    dir + "/parecord.log"),
      SIGINT};
  ASSERT_GT(recorder.pid, 0);

  pwtest::ProcessGuard program = x.Start({PW_WINDOW_EXE, tone}, dir + "/config", dir + "/pitchwell.log");
  ASSERT_GT(program.pid, 0);
  QPoint origin;
  ASSERT_TRUE(x.FindWindow("tone.wav - Pitchwell", &origin)) << "no window; see " << dir << "/pitchwell.log";
  const QRect label = layout.timeLabel.translated(origin);

  const QImage before = x.Grab(label, dir + "/time-0.png");
  x.Click(origin + layout.play);
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  const QImage playing = x.Grab(label, dir + "/time-1.png");
  x.Click(origin + layout.pitchThumb);
  x.Key("End");  // the slider's top: +12 semitones
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  const QImage later = x.Grab(label, dir + "/time-2.png");

  program.Stop();
  recorder.Stop();
  server.Stop();

  ASSERT_FALSE(before.isNull());
  EXPECT_NE(before, playing) << "the time label did not move after PLAY";
  EXPECT_NE(playing, later) << "the time label stopped";

  // From the first sound on: 440 Hz until the key press (about 3.5 s
  // later), 880 Hz from then on; the last second before the end is well
  // after the change reached the speakers.
  const std::vector<float> sound = pwtest::ReadRecording(recording);
  size_t onset = 0;
  while (onset * 2 < sound.size() && std::fabs(sound[onset * 2]) < 0.05f) ++onset;
  ASSERT_LT(onset * 2, sound.size()) << "nothing reached the sound server";
  const double start = double(onset) / kRate;
  const double end = double(sound.size() / 2) / kRate;
  ASSERT_GT(end - start, 6.0) << "the recording is too short";
  EXPECT_NEAR(FrequencyAt(sound, start + 0.5, 2.0), 440.0, 4.4);
  EXPECT_NEAR(FrequencyAt(sound, end - 1.5, 1.0), 880.0, 8.8);
}

}  // namespace
