// The real program, end to end under Xvfb.
//
// Playing: a generated 440 Hz file, sound through PortAudio into a private
// PulseAudio null sink whose monitor is recorded. PLAY is clicked and the
// pitch slider moved to +12 semitones with the keyboard, as a user would
// (synthesised X input events); the recording must go from 440 Hz to
// 880 Hz and the time label must move. Every step waits for the state it
// needs (the tone heard, the key seen by the pitch slider), never for a
// fixed time, so a loaded machine only makes it slower.
//
// Ending the session: SIGTERM (logout) or SIGHUP (the terminal closing) in
// the middle of a save calls the save off as Cancel would (no temporary
// file is left beside the output, no output written), saves the settings
// as a close does (the save's folder, changed in this run, is in the
// settings file), and the status is 128 + the signal.
//
// Skips only where Xvfb or pulseaudio cannot start.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <QSettings>
#include <QString>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "pulse_server.h"
#include "scoped_environment.h"
#include "testaudio.h"
#include "window_layout.h"
#include "x_session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;
constexpr double kWindowSeconds = 0.25;

// The left channel's frequency in consecutive windows of kWindowSeconds,
// from the first sound on (empty while nothing has been heard).
std::vector<double> Frequencies(const std::vector<float>& x) {
  size_t onset = 0;
  while (onset * 2 < x.size() && std::fabs(x[onset * 2]) < 0.05f) ++onset;
  std::vector<double> out;
  const size_t count = size_t(kWindowSeconds * kRate);
  for (size_t start = onset; (start + count) * 2 <= x.size(); start += count)
    out.push_back(pwtest::ZeroCrossingFrequency(x.data() + start * 2, count, 2, 0, kRate));
  return out;
}

// Where `hz` (within 1 %) first holds for `seconds` without a break,
// searching from window `from`; -1 when it does not.
long Holds(const std::vector<double>& f, double hz, double seconds, size_t from = 0) {
  const size_t needed = size_t(std::lround(seconds / kWindowSeconds));
  size_t run = 0;
  for (size_t i = from; i < f.size(); ++i) {
    run = std::fabs(f[i] - hz) <= hz * 0.01 ? run + 1 : 0;
    if (run == needed) return long(i + 1 - needed);
  }
  return -1;
}

// The process's wait status once it has ended (-1: it has not, in time).
int WaitForExit(pid_t pid, int seconds) {
  int status = -1;
  const bool ended = pwtest::WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, seconds);
  return ended ? status : -1;
}

TEST(PitchwellWindow, PlaysAndFollowsThePitchSliderThroughTheSoundServer) {
  const pwtest::WindowLayout layout = pwtest::MainWindowLayout();  // before the sound server: plays nowhere
  const std::string dir = pwtest::TempDir("window-e2e");
  const std::string tone = dir + "/tone.wav";
  pwtest::WriteWav(tone, pwtest::Sine(440.0, kRate, 2, size_t(120.0 * kRate), 0.5), kRate, 2, 16);

  pwtest::XSession x(dir);
  if (!x.up()) GTEST_SKIP() << "Xvfb could not start here";
  pwtest::PulseServer server(dir);
  if (!server.up()) GTEST_SKIP() << "pulseaudio could not start here (see " << server.log() << ")";

  const std::string recording = dir + "/monitor.wav";
  pwtest::ProcessGuard recorder{pwtest::RecordSink(recording, dir + "/parecord.log"), SIGINT};
  ASSERT_GT(recorder.pid, 0);
  const auto heard = [&] { return Frequencies(pwtest::ReadRecording(recording)); };

  pwtest::ProcessGuard program = x.Start({PW_WINDOW_EXE, tone}, dir + "/config", dir + "/pitchwell.log");
  ASSERT_GT(program.pid, 0);
  QPoint origin;
  ASSERT_TRUE(x.FindWindow("tone.wav - Pitchwell", &origin)) << "no window; see " << dir << "/pitchwell.log";
  const QRect label = layout.timeLabel.translated(origin);
  const QRect pitchLabel = layout.pitchLabel.translated(origin);

  const QImage before = x.Grab(label, dir + "/time-0.png");
  ASSERT_FALSE(before.isNull());
  x.Click(origin + layout.play);
  // Two seconds of the source's tone have reached the sound server.
  ASSERT_TRUE(pwtest::WaitUntil([&] { return Holds(heard(), 440.0, 2.0) >= 0; }, 180, 200))
      << "no 440 Hz tone was heard; see " << dir;
  QImage playing;
  EXPECT_TRUE(pwtest::WaitUntil([&] { return (playing = x.Grab(label, dir + "/time-1.png")) != before; }, 60, 200))
      << "the time label did not move after PLAY";

  // The window has the keyboard, the pitch slider its focus (a click on its
  // thumb), and End reached that slider: its value label changed. End on
  // the position slider would have sent playback to the end instead.
  ASSERT_TRUE(pwtest::WaitUntil(
      [&] {
        x.Run("xdotool search --onlyvisible --name 'tone.wav - Pitchwell' windowfocus");
        return x.FocusedTitle() == "tone.wav - Pitchwell";
      },
      60))
      << "the window never had the keyboard";
  const QImage pitchBefore = x.Grab(pitchLabel, dir + "/pitch-0.png");
  x.Click(origin + layout.pitchThumb);
  x.Key("End");  // the slider's top: +12 semitones
  ASSERT_TRUE(pwtest::WaitUntil([&] { return x.Grab(pitchLabel, dir + "/pitch-1.png") != pitchBefore; }, 60, 200))
      << "the key did not reach the pitch slider";

  // An octave up, heard for a whole second without a break.
  ASSERT_TRUE(pwtest::WaitUntil([&] { return Holds(heard(), 880.0, 1.0) >= 0; }, 180, 200))
      << "no 880 Hz tone was heard after the key; see " << dir;
  EXPECT_TRUE(pwtest::WaitUntil([&] { return x.Grab(label, dir + "/time-2.png") != playing; }, 60, 200))
      << "the time label stopped";

  program.Stop();
  recorder.Stop();
  server.Stop();

  // From the first sound on: 440 Hz first, 880 Hz only after it.
  const std::vector<double> f = Frequencies(pwtest::ReadRecording(recording));
  const long low = Holds(f, 440.0, 2.0);
  ASSERT_GE(low, 0);
  EXPECT_GT(Holds(f, 880.0, 1.0, size_t(low)), low);
  EXPECT_EQ(Holds(f, 880.0, 1.0), Holds(f, 880.0, 1.0, size_t(low)));
}

TEST(PitchwellWindow, SigtermOrSighupDuringASaveCancelsItAndSavesTheSettings) {
  // No sound is needed: the silent device, whatever an earlier test left.
  const auto audio = pwtest::ScopedEnvironment::Audio("null-fast");
  const pwtest::WindowLayout layout = pwtest::MainWindowLayout();
  for (const int signalNumber : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signalNumber == SIGTERM ? "SIGTERM" : "SIGHUP");
    const std::string dir = pwtest::TempDir(signalNumber == SIGTERM ? "session-end-term" : "session-end-hup");
    const std::string source = dir + "/long.wav";
    // Long enough that the save is still running when the signal comes.
    pwtest::WriteWav(source, pwtest::Sine(440.0, 22050, 1, size_t(600 * 22050)), 22050, 1, 16);
    const std::string out = dir + "/out";
    fs::create_directories(out);
    {
      // The settings as a previous run left them: saves went to `dir`, as MP3.
      QSettings settings(QString::fromStdString(dir + "/config/Corvane/Pitchwell.conf"), QSettings::IniFormat);
      settings.setValue(QStringLiteral("Settings/recentout"), QString::fromStdString(dir + "/"));
      settings.setValue(QStringLiteral("Settings/defaultcodec"), 1);
    }

    pwtest::XSession x(dir);
    if (!x.up()) GTEST_SKIP() << "Xvfb could not start here";
    pwtest::ProcessGuard program = x.Start({PW_WINDOW_EXE, source}, dir + "/config", dir + "/pitchwell.log");
    ASSERT_GT(program.pid, 0);
    QPoint origin;
    ASSERT_TRUE(x.FindWindow("long.wav - Pitchwell", &origin)) << "no window; see " << dir << "/pitchwell.log";

    x.Click(origin + layout.save);
    QPoint dialog;
    ASSERT_TRUE(x.FindWindow("Save As", &dialog)) << "no save dialog";
    // No window manager gives the new dialog the keyboard: it is given
    // here, and the keys go only once it is known to have it.
    ASSERT_TRUE(pwtest::WaitUntil(
        [&] {
          x.Run("xdotool search --onlyvisible --name 'Save As' windowfocus");
          return x.FocusedTitle().rfind("Save As...", 0) == 0;  // Qt adds " — Pitchwell"
        },
        30))
        << "the save dialog never had the keyboard";
    x.Key("ctrl+a");
    x.Type(out + "/long");
    x.Key("Return");

    // The job has started writing its temporary file: now the session ends.
    ASSERT_TRUE(pwtest::WaitUntil([&] { return !pwtest::Temporaries(out).empty(); }, 120))
        << "the save never started; see " << dir << "/pitchwell.log";
    ASSERT_EQ(::kill(program.pid, signalNumber), 0);
    const int status = WaitForExit(program.pid, 120);
    ASSERT_NE(status, -1) << "the program did not end";
    program.pid = -1;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal: " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 128 + signalNumber);

    EXPECT_TRUE(pwtest::Temporaries(out).empty());
    EXPECT_FALSE(fs::exists(out + "/long.mp3"));
    QSettings settings(QString::fromStdString(dir + "/config/Corvane/Pitchwell.conf"), QSettings::IniFormat);
    EXPECT_EQ(settings.value(QStringLiteral("Settings/recentout")).toString(), QString::fromStdString(out + "/"));
    fs::remove(source);  // large, and of no use once the run is over
  }
}

// A name that is not UTF-8 on the command line ("caf" + byte 0xE9, an old
// Latin-1 "café") opens: the title shows it with a replacement character.
// Turned into text and back, the name would name no file, and the window
// would say so and keep its plain title.
TEST(PitchwellWindow, OpensACommandLineNameThatIsNotUtf8) {
  const auto audio = pwtest::ScopedEnvironment::Audio("null-fast");
  const std::string dir = pwtest::TempDir("window-latin1");
  const std::string song = dir + "/caf\xE9.wav";
  pwtest::WriteWav(song, pwtest::Sine(440.0, 8000, 1, 8000), 8000, 1, 16);
  pwtest::XSession x(dir);
  if (!x.up()) GTEST_SKIP() << "Xvfb could not start here";
  pwtest::ProcessGuard program = x.Start({PW_WINDOW_EXE, song}, dir + "/config", dir + "/pitchwell.log");
  ASSERT_GT(program.pid, 0);
  QPoint origin;
  ASSERT_TRUE(x.FindWindow("Pitchwell", &origin)) << "no window; see " << dir << "/pitchwell.log";
  EXPECT_EQ(x.Run("xdotool search --onlyvisible --name 'Pitchwell' getwindowname %@"), "caf\uFFFD.wav - Pitchwell");
}

}  // namespace
