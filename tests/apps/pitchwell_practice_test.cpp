// The real program while it plays, under Xvfb, heard through a private
// PulseAudio null sink whose monitor is recorded: what a user does during
// practice must not interrupt the music.
//
// The song is a tone gliding up 2 Hz a second from 300 Hz, so the frequency
// heard says where in the song playback is; it swells on every beat (120
// BPM), so GET BPM finds a tempo, and never falls silent, so a silence in
// the recording after the first sound is a break in playback. The envelope
// is taken in 10 ms windows. Every step waits for a state (sound heard, a
// label redrawn, a window shown or gone, the recording grown), never for a
// fixed time.
//
// Skips only where Xvfb or pulseaudio cannot start.
#include <gtest/gtest.h>

#include <signal.h>

#include <QString>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pulse_server.h"
#include "testaudio.h"
#include "window_layout.h"
#include "x_session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;
constexpr size_t kEnvelopeFrames = kRate / 100;  // 10 ms
constexpr size_t kQuarter = 25;                  // envelope windows in a quarter second
constexpr double kSoundRms = 0.02;               // the quietest part of the song is about 0.14
// Plain playback through this sound server, nothing else done, has breaks
// of up to about 130 ms on a small machine busy with other work; a longer
// one is the program's doing. (Playback held up while GET BPM reads this
// song would be silent for about half a second.)
constexpr size_t kLongestGapWindows = 25;  // 250 ms
constexpr double kStartHz = 300.0;
constexpr double kGlideHzPerSecond = 2.0;
const std::string kTitle = "glide.wav - Pitchwell";
// Message boxes have no caption of their own: Qt titles them with the
// program's name alone, which no other window of it has.
const std::string kBoxTitle = "Pitchwell";

// Stereo, `seconds` long: the glide at 0.25, rising to 0.75 on each beat
// and falling back within about 0.1 s.
std::vector<float> GlidingBeats(double seconds) {
  const size_t frames = size_t(seconds * kRate);
  const double beat = 0.5 * kRate;
  std::vector<float> out(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    const double t = double(i) / kRate;
    const double level = 0.25 + 0.5 * std::exp(-(std::fmod(double(i), beat) / kRate) / 0.03);
    const double cycles = kStartHz * t + kGlideHzPerSecond / 2 * t * t;
    out[i * 2] = out[i * 2 + 1] = float(level * std::sin(2.0 * M_PI * std::fmod(cycles, 1.0)));
  }
  return out;
}

// Whether each 10 ms of the left channel holds sound.
std::vector<bool> Loudness(const std::vector<float>& x) {
  std::vector<bool> loud;
  for (size_t start = 0; (start + kEnvelopeFrames) * 2 <= x.size(); start += kEnvelopeFrames) {
    double sum = 0;
    for (size_t i = 0; i < kEnvelopeFrames; ++i) sum += double(x[(start + i) * 2]) * x[(start + i) * 2];
    loud.push_back(std::sqrt(sum / kEnvelopeFrames) > kSoundRms);
  }
  return loud;
}

// Index of the first loud window, or loud.size() when none is.
size_t Onset(const std::vector<bool>& loud) {
  return size_t(std::find(loud.begin(), loud.end(), true) - loud.begin());
}

struct Silence {
  size_t start;   // window
  size_t length;  // windows
};

// The silences after the first sound longer than the longest a busy machine
// makes (one still going at the end counts too).
std::vector<Silence> Gaps(const std::vector<bool>& loud) {
  std::vector<Silence> gaps;
  for (size_t i = Onset(loud); i < loud.size();) {
    if (loud[i]) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < loud.size() && !loud[end]) ++end;
    if (end - i > kLongestGapWindows) gaps.push_back({i, end - i});
    i = end;
  }
  return gaps;
}

// The last `seconds` of the recording are all sound (or all silence).
bool EndsIn(const std::vector<bool>& loud, bool sound, double seconds) {
  const size_t windows = size_t(seconds * 100);
  if (loud.size() < windows || (sound && Onset(loud) == loud.size())) return false;
  return std::all_of(loud.end() - long(windows), loud.end(), [&](bool l) { return l == sound; });
}

// Whether frames [from, to) hold two exact zeros running, which the tone
// never does (its slope is far above 16-bit steps at every zero crossing):
// a dropout too short to show in the envelope.
bool Broken(const std::vector<float>& x, size_t from, size_t to) {
  for (size_t i = from + 1; i < to; ++i)
    if (x[i * 2] == 0.0f && x[(i - 1) * 2] == 0.0f) return true;
  return false;
}

// Where in the song the recording is heard: each unbroken quarter second
// gives the song's position (from the glide's frequency) against the time
// sound had been heard before it. The song only ever plays on, so the two
// move together: silences delay it, they do not move it.
struct Heard {
  double firstPosition = -1;  // seconds into the song
  double worstDrift = 0;      // seconds, the largest departure from playing on
  size_t quarters = 0;
};

Heard Follow(const std::vector<float>& x, const std::vector<bool>& loud) {
  Heard heard;
  double start = 0;     // the song's position when sound was first heard
  size_t sounding = 0;  // windows of sound so far
  for (size_t w = Onset(loud); w + kQuarter <= loud.size();) {
    const size_t from = w * kEnvelopeFrames, to = (w + kQuarter) * kEnvelopeFrames;
    if (!std::all_of(loud.begin() + long(w), loud.begin() + long(w + kQuarter), [](bool l) { return l; }) ||
        Broken(x, from, to)) {
      sounding += loud[w] ? 1 : 0;
      ++w;
      continue;
    }
    const double hz = pwtest::ZeroCrossingFrequency(x.data() + from * 2, to - from, 2, 0, kRate);
    // A quarter's frequency is the glide's in its middle.
    const double position = (hz - kStartHz) / kGlideHzPerSecond - 0.125;
    if (heard.quarters++ == 0) {
      heard.firstPosition = position;
      start = position - double(sounding) / 100;
    }
    heard.worstDrift = std::max(heard.worstDrift, std::fabs(position - (start + double(sounding) / 100)));
    sounding += kQuarter;
    w += kQuarter;
  }
  return heard;
}

// The song heard from its start, playing on at its own pace and pitch: off
// by less than half a second (what the device drops when it misses its turn
// on a busy machine) over the whole recording.
void ExpectPlayedOn(const std::vector<float>& x, const std::vector<bool>& loud) {
  const Heard heard = Follow(x, loud);
  ASSERT_GE(heard.quarters, 8u) << "less than 2 s of unbroken sound";
  EXPECT_LT(heard.firstPosition, 1.0) << "the song was not heard from its start";
  EXPECT_LT(heard.worstDrift, 0.5) << "the song jumped, or played at another pace or pitch";
}

// Under ThreadSanitizer the program runs several times slower while its
// sound must still keep real time: a break there measures the
// instrumentation, not the program (that build looks for races). Breaks
// are counted only in a build that runs at full speed.
#if defined(__SANITIZE_THREAD__)
constexpr bool kBreaksCount = false;
#else
constexpr bool kBreaksCount = true;
#endif

void ExpectNoGaps(const std::vector<bool>& loud) {
  if (!kBreaksCount) return;
  for (const Silence& g : Gaps(loud))
    ADD_FAILURE() << "silent for " << g.length * 10 << " ms from " << g.start * 10 << " ms in the recording";
}

// The program on a long song, its sound recorded from before it starts.
class PitchwellPractice : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { controls_ = pwtest::MainWindowLayout(); }

  void SetUp() override {
    ASSERT_FALSE(controls_.bpmLabel.isEmpty());
    dir_ = pwtest::TempDir(std::string("practice-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    // Long enough never to end on a busy machine: an end would be a silence.
    pwtest::WriteWav(dir_ + "/glide.wav", GlidingBeats(170.0), kRate, 2, 16);

    x_ = std::make_unique<pwtest::XSession>(dir_);
    if (!x_->up()) GTEST_SKIP() << "Xvfb could not start here";
    server_ = std::make_unique<pwtest::PulseServer>(dir_);
    if (!server_->up()) GTEST_SKIP() << "pulseaudio could not start here (see " << server_->log() << ")";

    recorder_.pid = pwtest::RecordSink(dir_ + "/monitor.wav", dir_ + "/parecord.log");
    ASSERT_GT(recorder_.pid, 0);
    pwtest::ProcessGuard started =
        x_->Start({PW_WINDOW_EXE, dir_ + "/glide.wav"}, dir_ + "/config", dir_ + "/pitchwell.log");
    std::swap(program_.pid, started.pid);
    ASSERT_GT(program_.pid, 0);
    ASSERT_TRUE(x_->FindWindow(kTitle, &origin_)) << "no window; see " << dir_ << "/pitchwell.log";
    // No window manager: the window is given the keyboard, as a click on it would.
    ASSERT_TRUE(GiveKeyboard(kTitle, kTitle)) << "the window never had the keyboard";
  }

  // Large files, of no use once the run is over (the recording is kept
  // when the test failed).
  void TearDown() override {
    std::error_code ec;
    fs::remove(dir_ + "/glide.wav", ec);
    if (!HasFailure()) fs::remove(dir_ + "/monitor.wav", ec);
  }

  std::vector<float> Recorded() const { return pwtest::ReadRecording(dir_ + "/monitor.wav"); }

  // Gives the keyboard to the window whose title matches `pattern` until
  // the focused window's title starts with `prefix`.
  bool GiveKeyboard(const std::string& pattern, const std::string& prefix) {
    return pwtest::WaitUntil(
        [&] {
          x_->Run("xdotool search --onlyvisible --name '" + pattern + "' windowfocus");
          return x_->FocusedTitle().rfind(prefix, 0) == 0;
        },
        60, 100);
  }

  // The titles of the program's shown windows. Found by class:
  // Qt gives a window without a caption of its own an empty WM_NAME, which
  // is what xdotool's --name searches; its title is only in _NET_WM_NAME.
  std::vector<std::string> Titles() const {
    std::vector<std::string> titles;
    std::istringstream ids(x_->Run("xdotool search --onlyvisible --classname '^pitchwell$' 2>/dev/null"));
    for (std::string id; std::getline(ids, id);) titles.push_back(x_->Run("xdotool getwindowname " + id));
    return titles;
  }
  int Shown(const std::string& title) const {
    const std::vector<std::string> titles = Titles();
    return int(std::count(titles.begin(), titles.end(), title));
  }
  std::string AllTitles() const {
    std::string all;
    for (const std::string& t : Titles()) all += "\n  \"" + t + "\"";
    return all;
  }

  // Gives the keyboard to the message box (the one window of the program
  // titled with its bare name).
  bool GiveKeyboardToBox() {
    return pwtest::WaitUntil(
        [&] {
          std::istringstream ids(x_->Run("xdotool search --onlyvisible --classname '^pitchwell$' 2>/dev/null"));
          for (std::string id; std::getline(ids, id);)
            if (x_->Run("xdotool getwindowname " + id) == kBoxTitle) x_->Run("xdotool windowfocus " + id);
          return x_->FocusedTitle() == kBoxTitle;
        },
        60, 100);
  }

  // Clicks a control, then takes the pointer off the window, so that no
  // hint opens (a hint is a window of the program too).
  void Click(QPoint control) {
    x_->Click(origin_ + control);
    x_->Run("xdotool mousemove 0 0");
  }

  // Clicks PLAY and waits until a whole second of sound has been recorded.
  void PlayUntilHeard() {
    Click(controls_.play);
    ASSERT_TRUE(pwtest::WaitUntil([&] { return EndsIn(Loudness(Recorded()), true, 1.0); }, 180, 250))
        << "no sound after PLAY; see " << dir_;
  }

  // Clicks GET BPM and waits until the label shows a tempo.
  void MeasureBpm() {
    const QImage before = Grab(controls_.bpmLabel, "bpm-0");
    ASSERT_FALSE(before.isNull());
    Click(controls_.getBpm);
    ASSERT_TRUE(pwtest::WaitUntil([&] { return Grab(controls_.bpmLabel, "bpm-1") != before; }, 180, 250))
        << "no tempo was shown after GET BPM; see " << dir_;
  }

  // Waits until the recording holds `seconds` more than it does now.
  bool RecordMore(double seconds) {
    const size_t target = Recorded().size() + size_t(seconds * kRate) * 2;
    return pwtest::WaitUntil([&] { return Recorded().size() >= target; }, 180, 250);
  }

  // The recording up to now, with the program still playing.
  std::vector<float> StopRecording() {
    recorder_.Stop();
    return Recorded();
  }

  QImage Grab(const QRect& control, const std::string& name) const {
    return x_->Grab(control.translated(origin_), dir_ + "/" + name + ".png");
  }

  static inline pwtest::WindowLayout controls_;
  std::string dir_;
  std::unique_ptr<pwtest::XSession> x_;
  std::unique_ptr<pwtest::PulseServer> server_;
  // Last: the program ends first, then the recorder.
  pwtest::ProcessGuard recorder_{-1, SIGINT};
  pwtest::ProcessGuard program_{-1, SIGTERM};
  QPoint origin_;
};

// GET BPM reads the file on its own while the song plays on: from PLAY to
// well after the tempo is shown, the song sounds without a break and goes
// on where it was.
TEST_F(PitchwellPractice, GetBpmKeepsTheMusicGoing) {
  ASSERT_NO_FATAL_FAILURE(PlayUntilHeard());
  ASSERT_NO_FATAL_FAILURE(MeasureBpm());
  ASSERT_TRUE(RecordMore(3.0));

  const std::vector<float> x = StopRecording();
  const std::vector<bool> loud = Loudness(x);
  ExpectNoGaps(loud);
  ExpectPlayedOn(x, loud);
}

// A damaged file chosen in OPEN while the song plays: one message box, and
// the song plays on through the dialog, the box and after them.
TEST_F(PitchwellPractice, AFailedOpenLeavesTheSongPlaying) {
  const std::string damaged = dir_ + "/damaged.mp3";
  std::ofstream(damaged) << "not a song at all\n";
  ASSERT_NO_FATAL_FAILURE(PlayUntilHeard());

  Click(controls_.open);
  QPoint dialog;
  ASSERT_TRUE(x_->FindWindow("^Open", &dialog)) << "no open dialog";
  ASSERT_TRUE(GiveKeyboard("^Open", "Open")) << "the open dialog never had the keyboard";
  x_->Key("ctrl+a");
  x_->Type(damaged);
  x_->Key("Return");
  ASSERT_TRUE(x_->WaitWindowGone("^Open", 60)) << "the open dialog stayed";

  ASSERT_TRUE(pwtest::WaitUntil([&] { return Shown(kBoxTitle) > 0; }, 60, 100))
      << "no message box; the program's windows:" << AllTitles();
  EXPECT_EQ(Shown(kBoxTitle), 1);
  // The song goes on while the box waits for the user.
  ASSERT_TRUE(RecordMore(1.0));
  ASSERT_TRUE(GiveKeyboardToBox()) << "the box never had the keyboard";
  x_->Key("Return");
  ASSERT_TRUE(pwtest::WaitUntil([&] { return Shown(kBoxTitle) == 0; }, 60, 100)) << "the box stayed";
  ASSERT_TRUE(RecordMore(2.0));
  // No second box, and the window still holds the song.
  EXPECT_EQ(Shown(kBoxTitle), 0) << "the program's windows:" << AllTitles();
  EXPECT_EQ(Shown(kTitle), 1) << "the program's windows:" << AllTitles();

  const std::vector<float> x = StopRecording();
  const std::vector<bool> loud = Loudness(x);
  ExpectNoGaps(loud);
  ExpectPlayedOn(x, loud);
}

// PLAY and GET BPM clicked with the mouse do not keep Space: Space pauses,
// and Space again plays on from where the song was.
TEST_F(PitchwellPractice, SpacePausesAndPlaysAfterButtonsWereClicked) {
  ASSERT_NO_FATAL_FAILURE(PlayUntilHeard());
  // GET BPM is disabled while it measures and enabled again after: the
  // keyboard focus must not end up where Space clicks a button.
  ASSERT_NO_FATAL_FAILURE(MeasureBpm());

  x_->Key("space");
  // Paused: silence for longer than a busy machine's longest break. (The
  // deadline ends long before the song would.)
  ASSERT_TRUE(pwtest::WaitUntil([&] { return EndsIn(Loudness(Recorded()), false, 1.0); }, 60, 250))
      << "Space did not pause; the program's windows:" << AllTitles();
  x_->Key("space");
  ASSERT_TRUE(pwtest::WaitUntil([&] { return EndsIn(Loudness(Recorded()), true, 2.0); }, 60, 250))
      << "the second Space did not play; the program's windows:" << AllTitles();

  // Sound, the one pause, sound again, all of it the song played on.
  const std::vector<float> x = StopRecording();
  const std::vector<bool> loud = Loudness(x);
  if (kBreaksCount)
    EXPECT_EQ(Gaps(loud).size(), 1u);
  else
    EXPECT_GE(Gaps(loud).size(), 1u);
  ExpectPlayedOn(x, loud);
}

}  // namespace
