// pitchwell-render, run as a program: usage, input and output failures with
// their exit status and messages, --info, --help, batches, and a render that
// equals the window's save with the sliders at the same places. An existing
// output is replaced only with -y and survives an interruption or a failed
// write; signals leave no temporary file; names that are not regular files
// are refused without blocking; damaged inputs are saved as far as they
// decode, with their own exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/effect_chain.h"
#include "engine/session.h"
#include "export/export_job.h"
#include "core/messages.h"
#include "export/save_command.h"
#include "analysis/song_identity.h"
#include "decode/audio_file_reader.h"
#include "memory/song_memory.h"
#include "settings/settings_store.h"
#include "testaudio.h"
#include "message_capture.h"
#include "scoped_environment.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Result {
  int status = -1;
  std::string out, err;
};

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The renderer started in the background, for signals.
class Background {
 public:
  Background(const std::vector<std::string>& args, const std::string& dir) : dir_(dir) {
    std::vector<std::string> all = {PW_RENDER_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, (dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, (dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char lang[] = "LC_ALL=C";
    char* envp[] = {lang, nullptr};
    if (posix_spawn(&pid_, PW_RENDER_EXE, &files, nullptr, argv.data(), envp) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
  }
  ~Background() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool Started() const { return pid_ > 0; }

  // Waits, without limit in normal operation, until a temporary output
  // shows up in the folder; false when the renderer ended first or a
  // minute passed (then something is broken, not slow).
  bool WaitForTemporary() {
    for (int i = 0; i < 6000; ++i) {
      if (!pwtest::Temporaries(dir_).empty()) return true;
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Stops the renderer where it stands (so that it cannot finish in the
  // meantime), delivers sig and lets it go on. False when the temporary
  // file was gone by the time it stopped: the render had already finished.
  bool Interrupt(int sig) {
    ::kill(pid_, SIGSTOP);
    int st = 0;
    ::waitpid(pid_, &st, WUNTRACED);
    const bool midway = !pwtest::Temporaries(dir_).empty();
    ::kill(pid_, sig);
    ::kill(pid_, SIGCONT);
    return midway;
  }

  // The exit status; -1 if it did not end normally or within two minutes
  // (it is killed then, so that a hang fails the test instead of stalling it).
  int Finish() {
    if (pid_ > 0) {
      for (int i = 0; i < 12000 && pid_ > 0; ++i) {
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
        else std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (pid_ > 0) return -1;  // the destructor kills it
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int status_ = 0;
};

class RenderTest : public ::testing::Test {
 protected:
  std::string dir = pwtest::TempDir("render");
  std::string input;  // a short stereo 16-bit WAV

  void SetUp() override {
    input = dir + "/in.wav";
    pwtest::WriteWav(input, pwtest::Sine(440, 44100, 2, 44100 / 2, 0.5), 44100, 2, 16);
  }

  // shellPrefix: shell commands run before the renderer in its shell
  // (a file size limit, for instance).
  // wrapper: a command the renderer runs under (timeout, for instance).
  Result Render(const std::vector<std::string>& args, const std::string& shellPrefix = "",
                const std::string& wrapper = "") {
    std::string command = shellPrefix + "LC_ALL=C " + wrapper + Quoted(PW_RENDER_EXE);
    for (const auto& a : args) command += " " + Quoted(a);
    command += " >" + Quoted(dir + "/stdout.txt") + " 2>" + Quoted(dir + "/stderr.txt") + " </dev/null";
    const int raw = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadAll(dir + "/stdout.txt");
    r.err = ReadAll(dir + "/stderr.txt");
    return r;
  }
};

TEST_F(RenderTest, UsageErrorsExitWith1AndSayWhy) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"--pitch", "13", input, dir + "/o.wav"}, "--pitch must be a number between -12 and 12"},
      {{"--speed=-60", input, dir + "/o.wav"}, "--speed must be a number between -50 and 100"},
      {{"--tempo", "101", input, dir + "/o.wav"}, "--tempo must be"},
      {{"--treble", "-1", input, dir + "/o.wav"}, "--treble must be"},
      {{"--bass=abc", input, dir + "/o.wav"}, "--bass must be"},
      {{"--speed", "0x10", input, dir + "/o.wav"}, "--speed must be a number"},
      {{"--tempo", "inf", input, dir + "/o.wav"}, "--tempo must be"},
      {{"--pitch", " 1", input, dir + "/o.wav"}, "--pitch must be"},
      {{"--cents", "1e", input, dir + "/o.wav"}, "--cents must be"},
      {{"--to", "0", input, dir + "/o.wav"}, "--to must come after the start"},
      {{"--to", "0.0001", input, dir + "/o.wav"}, "--to must come after the start"},
      {{"--frobnicate", input, dir + "/o.wav"}, "unknown option '--frobnicate'"},
      {{"--bitrate", "100", input, dir + "/o.mp3"}, "--bitrate must be one of 96 112 128 160 192 224 256 320"},
      {{"--pitch"}, "option --pitch needs a value"},
      {{input}, "INPUT and OUTPUT are needed"},
      {{input, dir + "/o.ogg"}, "cannot tell the format"},
      {{"-f", "aiff", input, dir + "/o"}, "unknown format 'aiff'"},
      {{"--info", "--bpm", input}, "cannot be combined"},
      {{"-j", "0", "-o", dir, input}, "-j must be"},
      {{"--from", "1", "--from-marker", "Verse", input, dir + "/o.wav"}, "--from and --from-marker cannot be combined"},
      {{"--to-marker=Solo", "--to", "2", input, dir + "/o.wav"}, "--to and --to-marker cannot be combined"},
      {{"--from-marker", "", input, dir + "/o.wav"}, "option --from-marker needs a marker's name"},
      {{input, dir + "/o.wav", "--to-marker"}, "option --to-marker needs a marker's name"},
      {{"--info", "--from-marker", "Verse", input}, "--from-marker is for rendering, not with --info"},
  };
  for (const Case& c : cases) {
    const Result r = Render(c.args);
    EXPECT_EQ(r.status, 1) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: pitchwell-render"), std::string::npos) << c.says;
  }
  EXPECT_FALSE(fs::exists(dir + "/o.wav"));
}

TEST_F(RenderTest, RefusesToOverwriteTheSource) {
  const std::string before = ReadAll(input);
  for (const std::string& output : {input, dir + "/in"}) {
    const Result r = Render({"-f", "wav", input, output});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("You cannot overwrite the original file. Please choose a different file name."),
              std::string::npos)
        << r.err;
  }
  EXPECT_EQ(ReadAll(input), before);
}

TEST_F(RenderTest, AnInputThatCannotBeUsedExitsWith2AndTheOpenStepsMessage) {
  std::ofstream(dir + "/text.wav") << "not audio at all";
  pwtest::WriteWav(dir + "/short.wav", pwtest::Sine(440, 44100, 1, 8), 44100, 1, 16);  // under 1 ms
  pwtest::WriteWav(dir + "/one.wav", pwtest::Sine(440, 44100, 1, 1), 44100, 1, 16);
  pwtest::WriteWav(dir + "/empty.wav", {}, 44100, 1, 16);
  pwtest::WriteWav(dir + "/three.wav", pwtest::Sine(440, 8000, 3, 800), 8000, 3, 16);
  pwtest::WriteWav(dir + "/twelve.wav", pwtest::Sine(440, 8000, 12, 800), 8000, 12, 16);
  pwtest::WriteWav(dir + "/fast.wav", pwtest::Sine(440, 96000, 1, 9600), 96000, 1, 16);
  // The file's own limits are said as such (no sound device is involved),
  // and a file that does not open is said once, with its reason.
  const std::string unsupported = "This audio format not supported";
  const std::string multi = "Multi-channel audio files are not supported. Please select only STEREO or MONO files.";
  struct Case {
    std::string file;
    std::string says;
  };
  const Case cases[] = {
      {dir + "/text.wav", "Could not open audio file!"},
      {dir + "/missing.wav", "missing.wav: No such file or directory"},
      {dir + "/empty.wav", "Audio file is empty."},
      {dir + "/short.wav", "Audio file is too short (8 samples, 0.18 ms)."},
      {dir + "/one.wav", "Audio file is too short (1 sample, 0.02 ms)."},
      {dir + "/three.wav", multi},
      {dir + "/twelve.wav", multi},
      {dir + "/fast.wav", "Sampling rates higher than 48000 Hz are not supported."},
  };
  for (const Case& c : cases) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{c.file, dir + "/o.wav"},
                                                 std::vector<std::string>{"--info", c.file}}) {
      const Result r = Render(args);
      EXPECT_EQ(r.status, 2) << c.file;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << c.file << ": " << r.err;
      EXPECT_EQ(r.err.find(unsupported), std::string::npos) << c.file << ": " << r.err;
      EXPECT_EQ(r.err.find("playback stream"), std::string::npos) << c.file << ": " << r.err;
      EXPECT_FALSE(fs::exists(dir + "/o.wav"));
    }
  }
}

TEST_F(RenderTest, TypedTempoAndPitchAreExactNotTheSlidersSteps) {
  // -30 % is 617.49 cents on the slider; the render must last exactly
  // 1 / 0.7 of the source, to the frame.
  const int rate = 44100;
  const size_t frames = size_t(7 * rate);
  pwtest::WriteWav(dir + "/seven.wav", pwtest::Sine(440, rate, 1, frames), rate, 1, 16);
  ASSERT_EQ(Render({"-q", "--tempo", "-30", dir + "/seven.wav", dir + "/slow.wav"}).status, 0);
  const size_t out = (fs::file_size(dir + "/slow.wav") - 44) / 2;
  EXPECT_NEAR(double(out), double(frames) / 0.7, 1.0);
  // +0.25 st is between the slider's tenth steps: 440 Hz comes out at 446.4 Hz.
  ASSERT_EQ(Render({"-q", "--pitch", "0.25", dir + "/seven.wav", dir + "/up.wav"}).status, 0);
  std::ifstream in(dir + "/up.wav", std::ios::binary);
  in.seekg(44);
  std::vector<int16_t> pcm(frames);
  in.read(reinterpret_cast<char*>(pcm.data()), std::streamsize(pcm.size() * 2));
  std::vector<float> x(pcm.begin(), pcm.end());
  EXPECT_NEAR(pwtest::ZeroCrossingFrequency(x.data() + rate, size_t(5 * rate), 1, 0, rate),
              440.0 * std::pow(2.0, 0.25 / 12), 0.05);
}

TEST_F(RenderTest, AnOutputThatCannotBeCreatedExitsWith3NamingTheFileAndTheReason) {
  std::ofstream(dir + "/plain") << "x";
  const Result r = Render({input, dir + "/plain/out.mp3"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "pitchwell-render: Cannot write \"" + dir + "/plain/out.mp3\": Not a directory\n");
}

TEST_F(RenderTest, EqualsTheWindowsSaveWithTheSlidersThereBitForBit) {
  const Result r = Render({"--speed", "25", "--tempo=-10", "--pitch", "-3.5", "--treble", "40", "--bass=20", "-q",
                           input, dir + "/cli.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;  // -q, and stderr is not a terminal anyway

  // The window's save: its own session of the file, the values the window
  // holds (typed exactly), the save command.
  pwtest::MessageCapture messages;
  {
    std::string problem;
    std::unique_ptr<Session> session = Session::open(input, &problem);
    ASSERT_NE(session, nullptr) << problem;
    const EffectValues values{.speedPercent = 25, .tempoPercent = -10, .pitchSemitones = -3.5,
                              .treblePercent = 40, .bassPercent = 20};
    std::unique_ptr<ExportJob> job = CreateExport(std::move(session), SaveRequest{dir + "/window", 2, values});
    job->run();
    ASSERT_TRUE(job->outcome().ok()) << job->outcome().failure;
  }
  EXPECT_TRUE(messages.seen.empty()) << messages.seen.front().text;

  const std::string cli = ReadAll(dir + "/cli.wav");
  const std::string window = ReadAll(dir + "/window.wav");
  EXPECT_GT(cli.size(), 44u + 44100);
  EXPECT_TRUE(cli == window) << cli.size() << " vs " << window.size();
}

// Every sample the decoder gives for a file, interleaved.
std::vector<float> DecodeAll(const std::string& path, int* channels) {
  AudioError error = AudioError::None;
  auto decoder = AudioDecoder::open(path, &error);
  if (!decoder) return {};
  *channels = decoder->channels();
  std::vector<float> all, buf(size_t(4096) * size_t(*channels));
  for (int64_t n; (n = decoder->read(buf.data(), 4096)) > 0;)
    all.insert(all.end(), buf.begin(), buf.begin() + n * *channels);
  return all;
}

// The largest bass boost on a full-scale 60 Hz tone clips nothing: the WAV
// holds no sample at full scale and keeps −0.3 dBTP (within the rounding to
// 16 bits: half a step is under 0.0002 dB there); an MP3 of a loud chord
// keeps −1 dBTP up to the encoder's own overshoot. MP3 coding adds
// quantisation noise and a low-pass to what it was given, and its decoded
// peaks land a few tenths of a dB either side; the 1 dB of room below full
// scale is there for that, so the decoded file must stay under −0.5 dBTP.
TEST_F(RenderTest, TheLargestBassBoostDoesNotClip) {
  const std::string tone = dir + "/tone60.wav";
  pwtest::WriteWav(tone, pwtest::Sine(60, 44100, 2, 44100 * 2, 1.0), 44100, 2, 16);
  ASSERT_EQ(Render({"-q", "--bass", "100", tone, dir + "/bass.wav"}).status, 0);
  int channels = 0;
  const std::vector<float> wav = DecodeAll(dir + "/bass.wav", &channels);
  ASSERT_EQ(channels, 2);
  ASSERT_EQ(wav.size(), size_t(44100) * 2 * 2);
  EXPECT_LT(pwtest::Peak(wav.data(), wav.size()), 32767.0 / 32768.0);
  const double wavPeak = pwtest::TruePeakDb(wav.data(), wav.size() / 2, 2);
  EXPECT_LE(wavPeak, -0.3 + 0.001);
  EXPECT_GE(wavPeak, -1.3);  // limited, not turned down

  std::vector<float> chord(size_t(44100) * 3 * 2);
  for (size_t i = 0; i < chord.size() / 2; ++i) {
    const double t = i / 44100.0;
    chord[i * 2] = chord[i * 2 + 1] = float(0.5 * std::sin(2 * M_PI * 55 * t) + 0.3 * std::sin(2 * M_PI * 82.4 * t) +
                                            0.2 * std::sin(2 * M_PI * 659.3 * t));
  }
  const std::string loud = dir + "/chord.wav";
  pwtest::WriteWav(loud, chord, 44100, 2, 16);
  ASSERT_EQ(Render({"-q", "--bass", "100", loud, dir + "/bass.mp3"}).status, 0);
  const std::vector<float> mp3 = DecodeAll(dir + "/bass.mp3", &channels);
  ASSERT_GT(mp3.size(), chord.size() / 2);
  const double mp3Peak = pwtest::TruePeakDb(mp3.data(), mp3.size() / 2, channels);
  EXPECT_LE(mp3Peak, -1.0 + 0.5);
  EXPECT_GE(mp3Peak, -2.0);
}

TEST_F(RenderTest, NegativeValuesWorkInBothForms) {
  ASSERT_EQ(Render({"--pitch", "-12", "--speed", "-50", input, dir + "/a.flac"}).status, 0);
  ASSERT_EQ(Render({"--pitch=-12", "--speed=-50", input, dir + "/b.flac"}).status, 0);
  EXPECT_EQ(ReadAll(dir + "/a.flac"), ReadAll(dir + "/b.flac"));
  // -50 % speed: about twice as long.
  const Result info = Render({"--info", dir + "/a.flac"});
  EXPECT_NE(info.out.find("(44100 frames"), std::string::npos) << info.out;
}

TEST_F(RenderTest, InfoTellsRateChannelsBitsAndExactDuration) {
  pwtest::WriteWav(dir + "/mono24.wav", pwtest::Sine(440, 22050, 1, 27221), 22050, 1, 24);
  const Result r = Render({"--info", dir + "/mono24.wav"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "file: " + dir + "/mono24.wav\n"
                   "sample rate: 22050 Hz\n"
                   "channels: 1\n"
                   "bits: 24\n"
                   "duration: 1.234512 s (27221 frames, 1234 ms)\n");
}

TEST_F(RenderTest, InfoTellsTheSourcesOwnResolution) {
  const std::vector<float> tone = pwtest::Sine(440, 44100, 2, 4410);
  pwtest::WriteWav(dir + "/float.wav", tone, 44100, 2, 32);
  pwtest::WriteWav(dir + "/eight.wav", tone, 44100, 2, 8);
  ASSERT_TRUE(pwtest::Ffmpeg(dir + "/float.wav", "-c:a pcm_s32le", dir + "/int32.wav"));
  ASSERT_TRUE(pwtest::Ffmpeg(dir + "/float.wav", "-c:a libmp3lame -b:a 128k", dir + "/lossy.mp3"));
  struct Case {
    const char* file;
    const char* line;
  };
  const Case cases[] = {
      {"float.wav", "bits: 32\n"},
      {"int32.wav", "bits: 32\n"},
      {"eight.wav", "bits: 8\n"},
      {"lossy.mp3", "bits: none (lossy)\n"},
  };
  for (const Case& c : cases) {
    const Result r = Render({"--info", dir + "/" + c.file});
    EXPECT_EQ(r.status, 0) << c.file << ": " << r.err;
    EXPECT_NE(r.out.find("\n" + std::string(c.line)), std::string::npos) << c.file << ": " << r.out;
  }
}

TEST_F(RenderTest, HelpAndVersion) {
  const Result help = Render({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* word : {"usage: pitchwell-render", "--speed", "--tempo", "--pitch", "--treble", "--bass",
                           "--bitrate", "--format", "-o DIR", "-j N", "--info", "--bpm", "-q", "--version",
                           "96 112 128 160 192 224 256 320", "default mp3", "Exit status", "-y, --overwrite",
                           "  4    saved, but the input is damaged", "  5    saved, with a warning", "128+N"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  const Result version = Render({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "pitchwell-render 5.6.0.1\n");
}

TEST_F(RenderTest, BatchRendersEachFileAndReportsTheWorstStatus) {
  const std::string outDir = dir + "/out";
  fs::create_directory(outDir);
  pwtest::WriteWav(dir + "/second.wav", pwtest::Sine(660, 22050, 1, 11025), 22050, 1, 16);
  std::ofstream(dir + "/broken.wav") << "nope";

  const Result r = Render({"-o", outDir, "-j", "2", "-f", "wav", "--tempo", "50", input, dir + "/broken.wav",
                           dir + "/second.wav"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("broken.wav: failed (exit status 2)"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(outDir + "/in.wav"));
  EXPECT_TRUE(fs::exists(outDir + "/second.wav"));
  EXPECT_FALSE(fs::exists(outDir + "/broken.wav"));

  // Each file as its own render would have made it.
  ASSERT_EQ(Render({"--tempo", "50", input, dir + "/single.wav"}).status, 0);
  EXPECT_EQ(ReadAll(outDir + "/in.wav"), ReadAll(dir + "/single.wav"));

  const Result clash = Render({"-o", outDir, input, dir + "/out/../in.flac"});
  EXPECT_EQ(clash.status, 1);
}

TEST_F(RenderTest, BpmPrintsTheLabelOfGetBpm) {
  // Clicks on every beat at 120 BPM.
  const int rate = 22050;
  std::vector<float> x(size_t(rate) * 10, 0.0f);
  for (size_t beat = 0; beat < x.size(); beat += size_t(rate / 2))
    for (size_t i = 0; i < 400 && beat + i < x.size(); ++i)
      x[beat + i] = float(0.8 * std::exp(-double(i) / 130.0) * std::sin(0.43 * double(i)));
  pwtest::WriteWav(dir + "/clicks.wav", x, rate, 1, 16);
  const Result r = Render({"--bpm", "--speed", "10", dir + "/clicks.wav"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "120/132.0\n");
}

TEST_F(RenderTest, KeyPrintsTheKeyAndTuning) {
  // I–IV–V–I in C, 20 cents sharp: triads of three harmonics over a bass.
  const int rate = 22050;
  const int chords[4][4] = {{36, 60, 64, 67}, {41, 60, 65, 69}, {43, 59, 62, 67}, {36, 60, 64, 67}};
  std::vector<float> x(size_t(rate) * 8, 0.0f);
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = double(i) / rate;
    for (int note : chords[std::min<size_t>(3, i * 4 / x.size())])
      for (int k = 1; k <= 3; ++k)
        x[i] += float(0.08 / k * std::sin(2 * M_PI * k * 440 * std::pow(2.0, (note - 69 + 0.2) / 12) * t));
  }
  pwtest::WriteWav(dir + "/cadence.wav", x, rate, 1, 16);
  const Result r = Render({"--key", dir + "/cadence.wav"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string prefix = "C major, tuning +", suffix = " \u00a2\n";
  ASSERT_EQ(r.out.substr(0, prefix.size()), prefix) << r.out;
  ASSERT_GT(r.out.size(), prefix.size() + suffix.size());
  EXPECT_EQ(r.out.substr(r.out.size() - suffix.size()), suffix) << r.out;
  EXPECT_NEAR(std::stoi(r.out.substr(prefix.size())), 20, 3) << r.out;

  pwtest::WriteWav(dir + "/silence.wav", std::vector<float>(size_t(rate) * 2, 0.0f), rate, 1, 16);
  EXPECT_EQ(Render({"--key", dir + "/silence.wav"}).out, "---\n");
  std::ofstream(dir + "/broken.wav") << "nope";
  const Result broken = Render({"--key", dir + "/broken.wav"});
  EXPECT_EQ(broken.status, 2);
  EXPECT_NE(broken.err.find("Could not open audio file!"), std::string::npos) << broken.err;
  EXPECT_EQ(Render({"--key", "--bpm", input}).status, 1);
  EXPECT_EQ(Render({"--key"}).status, 1);
  EXPECT_NE(Render({"--help"}).out.find("--key INPUT"), std::string::npos);
}

TEST_F(RenderTest, AnExistingOutputIsReplacedOnlyWithY) {
  const std::string keep = dir + "/keep.mp3";
  std::ofstream(keep) << "the user's earlier file";
  const Result refused = Render({input, keep});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "pitchwell-render: Cannot write \"" + keep + "\": the file already exists\n"
                         "pitchwell-render: add -y (--overwrite) to replace it\n");
  EXPECT_EQ(ReadAll(keep), "the user's earlier file");

  // A batch run again over its own outputs likewise.
  const std::string outDir = dir + "/out";
  fs::create_directory(outDir);
  ASSERT_EQ(Render({"-o", outDir, "-f", "wav", input}).status, 0);
  const std::string first = ReadAll(outDir + "/in.wav");
  std::ofstream(outDir + "/in.wav", std::ios::app) << "changed since";
  const Result again = Render({"-o", outDir, "-f", "wav", input});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("Cannot write \"" + outDir + "/in.wav\": the file already exists"), std::string::npos)
      << again.err;
  EXPECT_EQ(ReadAll(outDir + "/in.wav"), first + "changed since");

  for (const char* flag : {"-y", "--overwrite"}) {
    const Result replaced = Render({flag, "-o", outDir, "-f", "wav", input});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(ReadAll(outDir + "/in.wav"), first);
  }
  ASSERT_EQ(Render({"-y", input, keep}).status, 0);
  EXPECT_NE(ReadAll(keep), "the user's earlier file");
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
}

TEST_F(RenderTest, ASignalLeavesNoTemporaryFileAndTheOldOutputAsItWas) {
  // Long enough, with the pitch stage, to be caught while rendering.
  const std::string longInput = dir + "/long.wav";
  pwtest::WriteWav(longInput, pwtest::Harmonic(44100, 2, 44100 * 30), 44100, 2, 16);
  struct Case {
    int sig;
    int status;
    bool existing;
  };
  const Case cases[] = {{SIGINT, 130, true}, {SIGHUP, 129, false}, {SIGTERM, 143, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(strsignal(c.sig));
    const std::string out = dir + "/keep.mp3";
    fs::remove(out);
    if (c.existing) std::ofstream(out) << "the user's earlier file";
    std::vector<std::string> args = {"--pitch", "3", longInput, out};
    if (c.existing) args.insert(args.begin(), "-y");
    Background render(args, dir);
    ASSERT_TRUE(render.Started());
    ASSERT_TRUE(render.WaitForTemporary()) << ReadAll(dir + "/stderr.txt");
    ASSERT_TRUE(render.Interrupt(c.sig)) << "finished before the signal: make the input longer";
    EXPECT_EQ(render.Finish(), c.status);
    EXPECT_EQ(ReadAll(dir + "/stderr.txt"), "pitchwell-render: interrupted; " + out + " was not written\n");
    if (c.existing) {
      EXPECT_EQ(ReadAll(out), "the user's earlier file");
    } else {
      EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
  }
}

TEST_F(RenderTest, PipesAndFoldersAreRefusedWithoutBlocking) {
  // Under timeout: a renderer that blocks on a pipe fails the test (124 or
  // killed) instead of hanging it.
  const std::string song = dir + "/song.wav";
  pwtest::WriteWav(song, pwtest::Sine(440, 22050, 1, 2205), 22050, 1, 16);
  std::ofstream(dir + "/song.cdg") << std::string(240, '\x09');
  ASSERT_EQ(::mkfifo((dir + "/pipe.wav").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir + "/piped.cdg").c_str(), 0600), 0);
  fs::create_directory(dir + "/folder.flac");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{input, dir + "/pipe.wav"}, "Cannot write \"" + dir + "/pipe.wav\": it is a named pipe, not a regular file\n"},
      {{"-y", input, dir + "/pipe.wav"},
       "Cannot write \"" + dir + "/pipe.wav\": it is a named pipe, not a regular file\n"},
      {{"-y", input, dir + "/folder.flac"},
       "Cannot write \"" + dir + "/folder.flac\": it is a folder, not a regular file\n"},
      {{song, dir + "/piped.m4a"}, "Cannot write \"" + dir + "/piped.cdg\": it is a named pipe, not a regular file\n"
                                   "pitchwell-render: \"" + dir + "/piped.m4a\" was not saved.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const Result r = Render(c.args, "", "timeout -k 5 60 ");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "pitchwell-render: " + c.err);
  }
  EXPECT_TRUE(fs::is_fifo(dir + "/pipe.wav"));
  EXPECT_TRUE(fs::is_fifo(dir + "/piped.cdg"));
  EXPECT_FALSE(fs::exists(dir + "/piped.m4a"));
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
}

TEST_F(RenderTest, DamagedInputsAreSavedAsFarAsTheyDecodeAndExitWith4) {
  const std::string whole = dir + "/whole.wav";
  pwtest::WriteWav(whole, pwtest::Harmonic(44100, 2, 44100 * 15), 44100, 2, 16);
  struct Case {
    const char* name;
    const char* encode;
  };
  const Case cases[] = {
      {"cut.flac", "-c:a flac"},
      // Index in front, so that cutting the file keeps it readable.
      {"cut.m4a", "-c:a aac -b:a 128k -movflags +faststart"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string damaged = dir + "/" + c.name;
    ASSERT_TRUE(pwtest::Ffmpeg(whole, c.encode, damaged));
    fs::resize_file(damaged, fs::file_size(damaged) / 2);
    const std::string out = dir + "/saved-" + c.name + ".wav";
    const Result r = Render({damaged, out});
    EXPECT_EQ(r.status, 4) << r.err;
    const std::string start = "pitchwell-render: " + damaged + ": ended at ";
    const std::string end = " s of 15.0 s: the file is damaged or truncated\n";
    ASSERT_EQ(r.err.substr(0, start.size()), start) << r.err;
    ASSERT_GT(r.err.size(), start.size() + end.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - end.size()), end) << r.err;
    const double endedAt = std::stod(r.err.substr(start.size()));
    EXPECT_GT(endedAt, 3.0);
    EXPECT_LT(endedAt, 12.0);
    // What decoded was saved, as long as the message says.
    const Result info = Render({"--info", out});
    const size_t at = info.out.find("duration: ");
    ASSERT_NE(at, std::string::npos) << info.out;
    EXPECT_NEAR(std::stod(info.out.substr(at + 10)), endedAt, 0.06);
  }
}

TEST_F(RenderTest, ACompanionThatIsNotWrittenIsAWarningWithExit5) {
  // Song.wav with Song.CDG, saved as Song.m4a beside it: its Song.cdg would
  // be found instead of the source's next time.
  const std::string song = dir + "/Song.wav";
  pwtest::WriteWav(song, pwtest::Sine(440, 22050, 1, 4410), 22050, 1, 16);
  const std::string graphics(24 * 50, '\x09');
  std::ofstream(dir + "/Song.CDG") << graphics;
  const Result r = Render({song, dir + "/Song.m4a"});
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_EQ(r.err, "pitchwell-render: The graphics file was not written: \"" + dir +
                       "/Song.cdg\" would take the place of the source's own \"" + dir + "/Song.CDG\"\n");
  EXPECT_TRUE(fs::exists(dir + "/Song.m4a"));
  EXPECT_EQ(ReadAll(dir + "/Song.CDG"), graphics);
  EXPECT_FALSE(fs::exists(dir + "/Song.cdg") && fs::file_size(dir + "/Song.cdg") != graphics.size());
  size_t companions = 0;
  for (const auto& e : fs::directory_iterator(dir)) companions += e.path().extension() == ".cdg";
  EXPECT_EQ(companions, 0u);  // no lower-case one beside it
}

TEST_F(RenderTest, AnMp3BitRateNoticeIsPrintedAndTheExitStatusStays0) {
  pwtest::WriteWav(dir + "/low.wav", pwtest::Sine(440, 8000, 1, 8000), 8000, 1, 16);
  const Result r = Render({"--bitrate", "320", dir + "/low.wav", dir + "/low.mp3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "pitchwell-render: MP3 at 8000 Hz allows at most 64 kb/s: 320 kb/s lowered to 64 kb/s.\n");
  EXPECT_TRUE(fs::exists(dir + "/low.mp3"));
}

TEST_F(RenderTest, AnM4aBitRateNoticeIsPrintedAndTheExitStatusStays0) {
  pwtest::WriteWav(dir + "/low.wav", pwtest::Sine(440, 8000, 1, 8000), 8000, 1, 16);
  const Result r = Render({"--bitrate", "320", dir + "/low.wav", dir + "/low.m4a"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "pitchwell-render: M4A at 8000 Hz allows at most 48 kb/s: 320 kb/s lowered to 48 kb/s.\n");
  EXPECT_TRUE(fs::exists(dir + "/low.m4a"));
}

TEST_F(RenderTest, AFailedWriteExitsWith3WithOneMessageAndKeepsTheOldOutput) {
  // A file size limit (ulimit -f, in 512-byte blocks) fails every write past
  // 8 KiB as the system does: "File too large".
  const std::string longer = dir + "/three.wav";
  pwtest::WriteWav(longer, pwtest::Harmonic(44100, 2, 44100 * 3), 44100, 2, 16);
  for (const char* ext : {".mp3", ".wav", ".flac", ".m4a"}) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(std::string(ext) + (existing ? " over an existing file" : ""));
      const std::string out = dir + "/out" + ext;
      fs::remove(out);
      if (existing) std::ofstream(out) << "older";
      const Result r = Render({"-y", longer, out}, "ulimit -f 16; ");
      EXPECT_EQ(r.status, 3) << r.err;
      EXPECT_EQ(Count(r.err, "Cannot write"), 1u) << r.err;
      EXPECT_NE(r.err.find("Cannot write \"" + out + "\": File too large\n"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find(".pitchwell-"), std::string::npos) << r.err;
      if (existing) {
        EXPECT_EQ(ReadAll(out), "older");
      } else {
        EXPECT_FALSE(fs::exists(out));
      }
      EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
    }
  }
}

// A small tmpfs of our own, unmounted whatever happens.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& where, uint64_t bytes) : where_(where) {
    fs::create_directories(where);
    const std::string options = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0)
      mounted_ = true;
    else
      why_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Why() const { return why_; }
  uint64_t Free() const {
    struct statvfs st {};
    return ::statvfs(where_.c_str(), &st) == 0 ? uint64_t(st.f_bavail) * st.f_frsize : 0;
  }

 private:
  std::string where_;
  bool mounted_ = false;
  std::string why_;
};

TEST_F(RenderTest, AFullDiskInTheAudioOrTheTagsExitsWith3AndKeepsTheEarlierFile) {
  // A tagged MP3 with a picture, so that the tags take several pages, and
  // the same audio untagged.
  const std::string cover = dir + "/cover.png";
  const std::string tagged = dir + "/tagged.mp3", plain = dir + "/plain.mp3";
  ASSERT_TRUE(pwtest::Run("ffmpeg -nostdin -v error -y -f lavfi -i 'nullsrc=s=128x128,geq=random(1)*255:128:128' "
                          "-frames:v 1 '" + cover + "'"));
  ASSERT_TRUE(pwtest::Run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=2 -ar 44100 -ac 2 "
                          "-c:a libmp3lame -fflags +bitexact '" + plain + "'"));
  ASSERT_TRUE(pwtest::Run("ffmpeg -nostdin -v error -y -i '" + plain + "' -i '" + cover + "' -map 0 -map 1 -c copy "
                          "-disposition:v attached_pic -metadata title=Full -fflags +bitexact '" + tagged + "'"));
  constexpr uint64_t Page = 4096;
  const auto pages = [](uint64_t bytes) { return (bytes + Page - 1) / Page; };
  const std::string older = "older";

  for (const char* ext : {".mp3", ".wav", ".flac", ".m4a"}) {
    SCOPED_TRACE(ext);
    // What the render makes with room to spare, tagged and not.
    const std::string reference = dir + "/reference" + ext, untagged = dir + "/untagged" + ext;
    ASSERT_EQ(Render({"-q", "-y", tagged, reference}).status, 0);
    ASSERT_EQ(Render({"-q", "-y", plain, untagged}).status, 0);
    const uint64_t audioPages = pages(fs::file_size(untagged)), allPages = pages(fs::file_size(reference));
    ASSERT_GE(allPages, audioPages + 2);
    const std::string expected = ReadAll(reference);

    struct Room {
      uint64_t pages;
      const char* where;
    };
    for (const Room room : {Room{audioPages / 2, "inside the audio"},
                            Room{(audioPages + allPages) / 2, "inside the tags"},
                            Room{allPages, "exactly at the end"}}) {
      SCOPED_TRACE(room.where);
      const std::string mountPoint = dir + "/small";
      const SmallFileSystem small(mountPoint, (allPages + 64) * Page);
      if (!small.Mounted()) GTEST_SKIP() << "no tmpfs of our own here: " << small.Why();
      const std::string out = mountPoint + "/out" + ext;
      std::ofstream(out) << older;
      // Fill what is free down to the room wanted.
      const uint64_t free = small.Free();
      ASSERT_GE(free, room.pages * Page);
      const int filler = ::open((mountPoint + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
      ASSERT_GE(filler, 0);
      if (free > room.pages * Page) {
        ASSERT_EQ(::posix_fallocate(filler, 0, off_t(free - room.pages * Page)), 0);
      }
      ::close(filler);
      ASSERT_EQ(small.Free(), room.pages * Page);

      const Result r = Render({"-q", "-y", tagged, out});
      EXPECT_EQ(pwtest::Temporaries(mountPoint), std::vector<std::string>{});
      if (room.pages >= allPages) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(ReadAll(out) == expected);  // all the audio, all the tags
      } else {
        EXPECT_EQ(r.status, 3) << r.err;
        // One message (the MP3 writer's caption may go before it).
        EXPECT_EQ(Count(r.err, "Cannot write"), 1u) << r.err;
        EXPECT_NE(r.err.find("Cannot write \"" + out + "\": No space left on device\n"), std::string::npos) << r.err;
        EXPECT_EQ(ReadAll(out), older);
      }
    }
  }
}

TEST_F(RenderTest, ABatchOnTwoThreadsWritesWhatSingleRendersWrite) {
  pwtest::WriteWav(dir + "/a.wav", pwtest::Harmonic(44100, 2, 44100 * 3), 44100, 2, 16);
  pwtest::WriteWav(dir + "/b.wav", pwtest::Sine(330, 22050, 1, 22050 * 3), 22050, 1, 24);
  const std::vector<std::string> effects = {"--speed", "15", "--tempo=-20", "--pitch", "2.5", "--bass", "30"};
  const std::string outDir = dir + "/batch";
  fs::create_directory(outDir);
  for (const char* format : {"flac", "mp3"}) {
    SCOPED_TRACE(format);
    std::vector<std::string> args = effects;
    for (const std::string& a : {std::string("-j"), std::string("2"), std::string("-y"), std::string("-f"),
                                 std::string(format), std::string("-o"), outDir, dir + "/a.wav", dir + "/b.wav"})
      args.push_back(a);
    const Result batch = Render(args);
    ASSERT_EQ(batch.status, 0) << batch.err;
    for (const std::string name : {"a", "b"}) {
      std::vector<std::string> single = effects;
      single.push_back(dir + "/" + name + ".wav");
      single.push_back(dir + "/single-" + name + "." + format);
      ASSERT_EQ(Render(single).status, 0);
      const std::string together = ReadAll(outDir + "/" + name + "." + format);
      EXPECT_GT(together.size(), 10000u);
      EXPECT_TRUE(together == ReadAll(dir + "/single-" + name + "." + format)) << name;
    }
  }
}

}  // namespace

namespace {

// The practice options: a region renders exactly its frames, --cents moves
// the pitch by cents, --formant renders; bad values are usage errors.
TEST_F(RenderTest, PracticeOptionsRegionCentsAndFormants) {
  const std::string tone = dir + "/tone.wav";
  pwtest::WriteWav(tone, pwtest::Sine(440, 44100, 1, 44100 * 3, 0.5), 44100, 1, 16);
  ASSERT_EQ(Render({"-q", "--from", "0:01", "--to", "1.5", tone, dir + "/region.wav"}).status, 0);
  AudioError error = AudioError::None;
  auto region = AudioDecoder::open(dir + "/region.wav", &error);
  ASSERT_NE(region, nullptr);
  EXPECT_EQ(region->lengthFrames(), 44100 / 2);

  const Result cents = Render({"-q", "--cents", "50", "--formant", tone, dir + "/cents.wav"});
  ASSERT_EQ(cents.status, 0) << cents.err;
  auto shifted = AudioDecoder::open(dir + "/cents.wav", &error);
  ASSERT_NE(shifted, nullptr);
  std::vector<float> x(size_t(shifted->lengthFrames()));
  shifted->read(x.data(), shifted->lengthFrames());
  const double f = pwtest::ZeroCrossingFrequency(x.data() + 22050, x.size() - 44100, 1, 0, 44100);
  EXPECT_NEAR(1200 * std::log2(f / 440.0), 50.0, 2.0);

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--cents", "101", tone, dir + "/x.wav"},
        {"--from", "2", "--to", "1", tone, dir + "/x.wav"},
        {"--from", "1:75", tone, dir + "/x.wav"},
        {"--to", "soon", tone, dir + "/x.wav"},
        {"--from", "9", tone, dir + "/x.wav"}}) {
    const Result r = Render(bad);
    EXPECT_EQ(r.status, 1) << bad[0] << " " << bad[1] << ": " << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir + "/x.wav"));
  }
  EXPECT_NE(Render({"--help"}).out.find("--from T, --to T"), std::string::npos);
}

}  // namespace

namespace {

// --from-marker / --to-marker: the song memory (written here through
// SongMemory into a data folder of the test's own, which the renderer finds
// through XDG_DATA_HOME) gives a range's ends by name. The memory is only
// read: not created, not written.
class MarkerRenderTest : public RenderTest {
 protected:
  std::string data = dir + "/data";
  pwtest::ScopedEnvironment environment{{"XDG_DATA_HOME", data.c_str()}};
  std::string song = dir + "/tone.wav";  // 3 s at 44.1 kHz, mono

  void SetUp() override {
    RenderTest::SetUp();
    pwtest::WriteWav(song, pwtest::Sine(440, 44100, 1, 44100 * 3, 0.5), 44100, 1, 16);
  }

  static std::string KeyOf(const std::string& file) {
    AudioFileReader reader(file);
    return SongContentKey(reader);
  }

  void Remember(const std::string& file, std::vector<SongMarker> markers) {
    SongMemory memory(SongMemory::DefaultPath());
    ASSERT_EQ(memory.state(), SongMemory::State::Ready) << memory.problem().toStdString();
    SongRecord record;
    record.markers = std::move(markers);
    ASSERT_TRUE(memory.save(KeyOf(file), QString::fromStdString(file), record));
  }

  std::string memoryFile() const { return data + "/pitchwell/songs.sqlite"; }
};

int64_t FramesOf(const std::string& file) {
  AudioError error = AudioError::None;
  auto decoder = AudioDecoder::open(file, &error);
  return decoder ? decoder->lengthFrames() : -1;
}

TEST_F(MarkerRenderTest, AMarkerRangeRendersExactlyItsStretchOfTheSongWhereverItLies) {
  Remember(song, {{500, QStringLiteral("Verse")}, {2000, QStringLiteral("Solo")}, {2000, QStringLiteral("Drums in")}});
  // Known by its sound: the file has moved since its markers were set.
  fs::create_directories(dir + "/moved");
  const std::string moved = dir + "/moved/Renamed.wav";
  fs::rename(song, moved);
  const std::string memoryBefore = ReadAll(memoryFile());

  struct Case {
    std::vector<std::string> range;
    int64_t frames;
  };
  const Case cases[] = {
      {{"--from-marker", "Verse", "--to-marker", "Solo"}, 44100 * 3 / 2},
      {{"--from-marker=Solo"}, 44100},                       // to the end
      {{"--to-marker", "Verse"}, 44100 / 2},                 // from the start
      {{"--from-marker", "Verse", "--to", "1.25"}, 44100 * 3 / 4},
      {{"--from", "0.25", "--to-marker", "Drums in"}, 44100 * 7 / 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range.front() + " " + c.range.back());
    std::vector<std::string> args = {"-q", "-y"};
    args.insert(args.end(), c.range.begin(), c.range.end());
    args.push_back(moved);
    args.push_back(dir + "/part.wav");
    const Result r = Render(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(FramesOf(dir + "/part.wav"), c.frames);
  }
  EXPECT_TRUE(ReadAll(memoryFile()) == memoryBefore);
  EXPECT_EQ(pwtest::Temporaries(data + "/pitchwell"), std::vector<std::string>{});
  std::vector<std::string> beside;
  for (const auto& e : fs::directory_iterator(data + "/pitchwell")) beside.push_back(e.path().filename().string());
  EXPECT_EQ(beside, std::vector<std::string>{"songs.sqlite"});  // no journal, nothing else
}

TEST_F(MarkerRenderTest, WhatTheMemoryCannotGiveIsSaidWithItsExitStatus) {
  const std::string stranger = dir + "/stranger.wav";
  pwtest::WriteWav(stranger, pwtest::Sine(330, 44100, 1, 44100 * 2, 0.5), 44100, 1, 16);
  const std::string out = dir + "/out.wav";

  // No memory at all: it is not created.
  Result r = Render({"--from-marker", "Verse", song, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pitchwell-render: " + song + " is not in the song memory (\"" + memoryFile() +
                       "\" does not exist)\n");
  EXPECT_FALSE(fs::exists(data));

  Remember(song, {{500, QStringLiteral("Verse")}, {1000, QStringLiteral("Chorus")}, {2000, QStringLiteral("Chorus")},
                  {2500, QStringLiteral("Solo")}});
  const std::string before = ReadAll(memoryFile());
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{"--from-marker", "Bridge", song, out}, 1,
       song + ": no marker named \"Bridge\"; its markers: \"Verse\", \"Chorus\", \"Chorus\", \"Solo\""},
      {{"--to-marker", "verse", song, out}, 1,  // names match exactly
       song + ": no marker named \"verse\"; its markers: \"Verse\", \"Chorus\", \"Chorus\", \"Solo\""},
      {{"--from-marker", "Chorus", song, out}, 1,
       song + ": 2 markers are named \"Chorus\" (at 1.000 s and 2.000 s); rename all but one in Pitchwell"},
      {{"--from-marker", "Solo", "--to-marker", "Verse", song, out}, 1,
       song + ": \"Verse\" (0.500 s) does not come after \"Solo\" (2.500 s)"},
      {{"--from-marker", "Verse", stranger, out}, 1,
       stranger + " is not in the song memory (\"" + memoryFile() + "\")"},
      {{"--from-marker", "Verse", dir + "/missing.wav", out}, 2, "Could not open audio file!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    r = Render(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("usage:"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out));
  }
  EXPECT_TRUE(ReadAll(memoryFile()) == before);

  // A damaged memory is said as such and left as it is.
  std::string damaged = before;
  for (size_t i = 100; i < damaged.size(); ++i) damaged[i] = char(i * 31);
  { std::ofstream(memoryFile(), std::ios::binary | std::ios::trunc) << damaged; }
  r = Render({"--from-marker", "Verse", song, out});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Song memory is off: \"" + memoryFile() + "\" is damaged ("), std::string::npos) << r.err;
  EXPECT_TRUE(ReadAll(memoryFile()) == damaged);
  EXPECT_FALSE(fs::exists(out));

  EXPECT_NE(Render({"--help"}).out.find("--from-marker NAME, --to-marker NAME"), std::string::npos);
}

}  // namespace
