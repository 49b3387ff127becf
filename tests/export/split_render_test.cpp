// A save split over cores, from its plan to the saved file: how many
// pieces a length gives, the grid that keeps the pieces on whole output
// frames, where seams go, and through the save command: the same length to
// the frame as the whole render (speed, tempo, pitch, a region), the same
// samples up to the first seam, the same bytes whatever the thread count,
// progress over the whole song, a cancel that leaves nothing, and a failure
// told once. Saves that stretch nothing, or short ones, stay whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "decode/audio_file_reader.h"
#include "engine/session.h"
#include "export/export_job.h"
#include "export/save_command.h"
#include "export/seam_finder.h"
#include "export/split_render.h"
#include "export/writers/output_file.h"
#include "message_capture.h"
#include "open_session.h"
#include "testaudio.h"
#include "wait_until.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 22050;

TEST(SplitPlan, PiecesFollowTheLengthAlone) {
  struct Case {
    double seconds;
    int pieces;
  };
  // At least 20 s a piece, in counts that share out over 1, 2, 3, 4, 6, 8 …
  // cores: 5 fit in 100 s but 4 are made, 9 in 182 s but 8.
  const Case cases[] = {{10, 1}, {39.9, 1}, {40, 2}, {60, 3}, {80, 4}, {100, 4}, {120, 6}, {182, 8}, {3600, 32}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(PieceCount(int64_t(c.seconds * 44100), 44100, SplitSettings{}), c.pieces);
  }
  SplitSettings asked;
  asked.pieces = 5;
  EXPECT_EQ(PieceCount(44100, 44100, asked), 5);
  asked.pieces = 0;
  asked.minPieceSeconds = 2;
  EXPECT_EQ(PieceCount(8 * 44100, 44100, asked), 4);
}

TEST(SplitPlan, TheGridMapsWholeStepsToWholeOutputFrames) {
  struct Case {
    double tempo, speed;
    int64_t sourceStep, outputStep;
  };
  const Case cases[] = {
      {25, 0, 5, 4},      // 0.8
      {-30, 0, 7, 10},    // 10/7
      {0, 10, 11, 10},    // speed alone: 10/11
      {25, -20, 5, 5},    // 0.8 then 1.25
      {-50, 100, 1, 1},   // twice as long, then half
      {12.5, 0, 9, 8},    // 8/9
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "tempo " << c.tempo << ", speed " << c.speed);
    const std::optional<SplitGrid> grid = FindSplitGrid(100.0 / (100.0 + c.tempo), c.speed);
    ASSERT_TRUE(grid.has_value());
    EXPECT_EQ(grid->sourceStep, c.sourceStep);
    EXPECT_EQ(grid->outputStep, c.outputStep);
    EXPECT_NEAR(grid->ratio * double(grid->sourceStep), double(grid->outputStep), 1e-9);
  }
  // A ratio with no small fraction has no grid: such a save stays whole.
  EXPECT_FALSE(FindSplitGrid(100.0 / (100.0 + 3.14159), 0).has_value());
}

// Mono test material: a steady tone with, where asked, a quiet gap, a drum
// hit or a softer stretch.
std::vector<float> Material(double gapAt, double hitAt, double dipAt) {
  const size_t frames = size_t(8 * kRate);
  std::vector<float> x(frames);
  uint32_t noise = 1;
  for (size_t i = 0; i < frames; ++i) {
    const double t = double(i) / kRate;
    double v = 0.3 * std::sin(2 * M_PI * 330 * t) + 0.1 * std::sin(2 * M_PI * 495 * t);
    if (dipAt > 0) {  // down by 6 dB and back, each over 50 ms
      const double in = std::clamp((t - dipAt) / 0.05, 0.0, 1.0), out = std::clamp((dipAt + 0.55 - t) / 0.05, 0.0, 1.0);
      v *= 1.0 - 0.5 * (0.5 - 0.5 * std::cos(M_PI * std::min(in, out)));
    }
    if (gapAt > 0 && t >= gapAt && t < gapAt + 0.5) v = 0;
    if (hitAt > 0 && t >= hitAt) {
      noise = noise * 1664525u + 1013904223u;
      v += 0.6 * (double(noise >> 8) / double(1u << 24) - 0.5) * std::exp(-(t - hitAt) * 40);
    }
    x[i] = float(v);
  }
  return x;
}

TEST(SeamFinder, PrefersSilenceThenAnOnsetThenTheQuietestStretchNearTheCut) {
  const size_t cut = size_t(4 * kRate);
  const size_t fade = size_t(0.15 * kRate);
  const size_t half = fade / 2;
  struct Case {
    const char* name;
    double gap, hit, dip;
    SeamKind kind;
    double from, to;  // where the seam may lie, in seconds
  };
  const Case cases[] = {
      {"a steady tone: the cut itself", 0, 0, 0, SeamKind::Steady, 4.0, 4.0},
      {"a quiet gap 1.1 s away", 5.1, 0, 0, SeamKind::Silence, 5.1 + double(half) / kRate, 5.6 - double(half) / kRate},
      // Past the attack: the fade begins within 50 ms after the onset.
      {"a drum hit 0.8 s before", 0, 3.2, 0, SeamKind::Onset, 3.2 + double(half) / kRate,
       3.25 + double(half) / kRate},
      {"a gap beats a hit", 2.5, 3.8, 0, SeamKind::Silence, 2.5, 3.0},
      {"a softer stretch 0.8 s after", 0, 0, 4.8, SeamKind::Steady, 4.8 + double(half) / kRate,
       5.3 - double(half) / kRate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> x = Material(c.gap, c.hit, c.dip);
    const SeamChoice choice = ChooseSeam(x.data(), x.size(), kRate, cut, fade);
    EXPECT_EQ(choice.kind, c.kind);
    const double at = double(choice.at) / kRate;
    EXPECT_GE(at, c.from - 1e-9);
    EXPECT_LE(at, c.to + 1e-9);
  }
}

// Music-like material: a harmonic tone under a swell, with a click on
// every beat.
std::vector<float> Song(double seconds, int channels) {
  const size_t frames = size_t(seconds * kRate);
  std::vector<float> x = pwtest::Harmonic(kRate, channels, frames);
  const std::vector<float> clicks = pwtest::ClickTrack(96, seconds, kRate, channels);
  for (size_t i = 0; i < std::min(x.size(), clicks.size()); ++i) x[i] = 0.8f * x[i] + 0.3f * clicks[i];
  return x;
}

std::vector<float> Decode(const std::string& path) {
  AudioFileReader reader(path);
  EXPECT_TRUE(reader.opened()) << path;
  std::vector<float> out;
  const size_t channels = size_t(std::max(reader.channels(), 1));
  std::vector<float> buf(4096 * channels);
  while (const int64_t n = reader.read(buf.data(), 4096)) out.insert(out.end(), buf.begin(), buf.begin() + long(size_t(n) * channels));
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RecordingProgress : public ExportProgress {
 public:
  std::atomic<bool> cancelAtFirstPost{false};
  ExportJob* job = nullptr;
  void reportProgress(int percent, int64_t) override {
    std::lock_guard lock(m_);
    percents_.push_back(percent);
    if (cancelAtFirstPost && percent > 0 && job) job->cancel();
  }
  void reportEnd(const ExportOutcome& o) override {
    std::lock_guard lock(m_);
    ++closes_;
    outcome_ = o;
  }
  int closes() {
    std::lock_guard lock(m_);
    return closes_;
  }
  std::vector<int> percents() {
    std::lock_guard lock(m_);
    return percents_;
  }

 private:
  std::mutex m_;
  std::vector<int> percents_;
  int closes_ = 0;
  ExportOutcome outcome_;
};

class SplitSave : public ::testing::Test {
 protected:
  pwtest::MessageCapture capture;
  std::string dir = pwtest::TempDir("split");
  std::string source;

  void TearDown() override { EXPECT_TRUE(capture.seen.empty()) << capture.seen.front().text; }

  void WriteSource(const std::vector<float>& x, int channels, const std::string& name = "song.wav") {
    source = dir + "/" + name;
    pwtest::WriteWav(source, x, kRate, channels, 16);
  }

  // The save command's job for the source; pieces 1 keeps it whole.
  std::unique_ptr<ExportJob> Job(const std::string& out, const EffectValues& values, int pieces, int threads,
                                 ExportProgress* progress = nullptr, int64_t fromMs = -1, int64_t toMs = -1) {
    std::unique_ptr<Session> session = pwtest::OpenSession(source);
    if (!session) return nullptr;
    SaveRequest request{out, FileTypeWav, values, 0, true};
    request.fromMs = fromMs;
    request.toMs = toMs;
    request.split.pieces = pieces;
    request.split.threads = threads;
    return CreateExport(std::move(session), request, progress);
  }

  ExportOutcome Save(const std::string& out, const EffectValues& values, int pieces, int threads,
                     int64_t fromMs = -1, int64_t toMs = -1) {
    std::unique_ptr<ExportJob> job = Job(out, values, pieces, threads, nullptr, fromMs, toMs);
    if (!job) {
      ExportOutcome none;
      none.failure = "no session";
      return none;
    }
    job->run();
    return job->outcome();
  }

  // How many pieces the save command's preparation leads to.
  int Planned(const EffectValues& values, const SplitSettings& settings, int64_t fromMs = -1, int64_t toMs = -1) {
    std::unique_ptr<Session> session = pwtest::OpenSession(source);
    session->chain().setValues(values);
    PrepareForExport(*session, fromMs, toMs);
    return SplitRender::plannedPieces(*session, settings);
  }
};

TEST_F(SplitSave, TheJoinedOutputHasTheWholeRendersLengthAndItsSamplesUpToTheFirstSeam) {
  struct Case {
    const char* name;
    int channels;
    EffectValues values;
    int64_t fromMs, toMs;
  };
  const Case cases[] = {
      {"tempo +25 %, +3 st", 2, {.tempoPercent = 25, .pitchSemitones = 3}, -1, -1},
      {"tempo -30 %, +2 st", 1, {.tempoPercent = -30, .pitchSemitones = 2}, -1, -1},
      {"speed +20 %", 2, {.speedPercent = 20}, -1, -1},
      {"speed -25 %, tempo +10 %, treble", 1, {.speedPercent = -25, .tempoPercent = 10, .treblePercent = 40}, -1, -1},
      {"pitch -5 st, formants kept, 30 cents", 2,
       {.pitchSemitones = -5, .fineTuneCents = 30, .formantsPreserved = true}, -1, -1},
      {"a region, tempo +12.5 %", 2, {.tempoPercent = 12.5}, 1234, 10750},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteSource(Song(12, c.channels), c.channels);
    ASSERT_EQ(Planned(c.values, SplitSettings{.pieces = 4}, c.fromMs, c.toMs), 4);
    ASSERT_TRUE(Save(dir + "/whole.wav", c.values, 1, 1, c.fromMs, c.toMs).ok());
    const ExportOutcome split = Save(dir + "/split.wav", c.values, 4, 2, c.fromMs, c.toMs);
    ASSERT_TRUE(split.ok()) << split.failure;
    EXPECT_TRUE(split.messages.empty());
    const std::vector<float> whole = Decode(dir + "/whole.wav"), joined = Decode(dir + "/split.wav");
    ASSERT_EQ(joined.size(), whole.size());

    // The first piece is the whole render's own start: the same samples
    // until well before the first seam can lie (a quarter of a piece before
    // the even cut).
    const size_t ch = size_t(c.channels);
    const size_t frames = whole.size() / ch;
    const size_t same = frames / 4 * 3 / 4 - size_t(kRate / 4);
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + long(same * ch), joined.begin()));
    // Afterwards the two are renderings of the same music: level for level
    // in every half second.
    const size_t block = kRate / 2;
    for (size_t at = 0; at + block <= frames; at += block) {
      const double a = pwtest::Rms(whole.data() + at * ch, block * ch);
      const double b = pwtest::Rms(joined.data() + at * ch, block * ch);
      EXPECT_NEAR(20 * std::log10(b / a), 0.0, 1.0) << "at " << double(at) / kRate << " s";
    }
  }
}

TEST_F(SplitSave, TheSameSaveGivesTheSameBytesWhateverTheThreadCount) {
  WriteSource(Song(12, 2), 2);
  const EffectValues values{.tempoPercent = -30, .pitchSemitones = 2};
  ASSERT_TRUE(Save(dir + "/one.wav", values, 4, 1).ok());
  ASSERT_TRUE(Save(dir + "/three.wav", values, 4, 3).ok());
  ASSERT_TRUE(Save(dir + "/whole.wav", values, 1, 1).ok());
  const std::string one = ReadAll(dir + "/one.wav");
  EXPECT_GT(one.size(), size_t(12 * kRate * 4));
  EXPECT_TRUE(one == ReadAll(dir + "/three.wav"));
  EXPECT_FALSE(one == ReadAll(dir + "/whole.wav"));  // it was split
}

TEST_F(SplitSave, SavesThatStretchNothingOrAreShortStayWhole) {
  WriteSource(pwtest::Harmonic(kRate, 1, size_t(45 * kRate)), 1);
  EXPECT_EQ(Planned({.tempoPercent = 10}, SplitSettings{}), 2);  // 45 s: two pieces of 20 s or more
  EXPECT_EQ(Planned({.treblePercent = 30, .bassPercent = 60}, SplitSettings{}), 1);
  EXPECT_EQ(Planned({}, SplitSettings{}), 1);
  EXPECT_EQ(Planned({.tempoPercent = 3.14159}, SplitSettings{}), 1);  // no grid
  EXPECT_EQ(Planned({.tempoPercent = 10}, SplitSettings{}, 5000, 40000), 1);  // a 35 s region
  EXPECT_EQ(Planned({.tempoPercent = 10}, SplitSettings{.pieces = 1}), 1);
}

TEST_F(SplitSave, ProgressRunsOverTheWholeSongAndEndsAtOneHundred) {
  WriteSource(Song(12, 2), 2);
  RecordingProgress progress;
  std::unique_ptr<ExportJob> job = Job(dir + "/p.wav", {.tempoPercent = 25}, 4, 2, &progress);
  job->run();
  ASSERT_TRUE(job->outcome().ok()) << job->outcome().failure;
  const std::vector<int> percents = progress.percents();
  ASSERT_GE(percents.size(), 10u);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_LT(percents.front(), 25);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_GE(std::set<int>(percents.begin(), percents.end()).size(), 5u);
  EXPECT_EQ(progress.closes(), 1);
}

TEST_F(SplitSave, ACancelStopsEveryPieceAndLeavesNothing) {
  WriteSource(Song(24, 2), 2);
  RecordingProgress progress;
  std::unique_ptr<ExportJob> job = Job(dir + "/gone.wav", {.tempoPercent = -30, .pitchSemitones = 2}, 8, 3, &progress);
  progress.job = job.get();
  progress.cancelAtFirstPost = true;
  job->start();
  // The job's end comes only once every piece thread has stopped.
  ASSERT_TRUE(pwtest::WaitUntil([&] { return progress.closes() == 1; }, 120));
  job->wait();
  EXPECT_TRUE(job->outcome().cancelled);
  EXPECT_TRUE(job->outcome().failure.empty());
  EXPECT_LT(progress.percents().back(), 100);
  EXPECT_FALSE(fs::exists(dir + "/gone.wav"));
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
}

// Every output file fails as a full disk would after `bytes`, while it lives.
struct DiskFullAfter {
  explicit DiskFullAfter(int64_t bytes) { OutputFile::failAfterBytesForTesting(bytes, ENOSPC); }
  ~DiskFullAfter() { OutputFile::failAfterBytesForTesting(-1, 0); }
};

TEST_F(SplitSave, AFailureWithPiecesInFlightIsToldOnceAndSavesNothing) {
  WriteSource(Song(12, 2), 2);
  const std::string out = dir + "/failed.wav";
  std::ofstream(out) << "older";
  const EffectValues values{.tempoPercent = 25, .pitchSemitones = 3};
  {
    // The source goes once the save has opened it: the first piece reads
    // on, the others cannot open it again.
    std::unique_ptr<ExportJob> job = Job(out, values, 4, 2);
    const std::string gone = source;
    fs::rename(gone, dir + "/moved.wav");
    job->run();
    EXPECT_EQ(job->outcome().failure, gone + ": No such file or directory\n\"" + out + "\" was not saved.");
    fs::rename(dir + "/moved.wav", gone);
  }
  {
    // The disk fills while pieces are being rendered.
    const DiskFullAfter full(200000);
    std::unique_ptr<ExportJob> job = Job(out, values, 4, 2);
    job->run();
    const std::string& failure = job->outcome().failure;
    EXPECT_NE(failure.find("Cannot write \"" + out + "\": No space left on device"), std::string::npos) << failure;
    EXPECT_EQ(failure.find(".pitchwell-"), std::string::npos) << failure;
    EXPECT_TRUE(job->outcome().messages.empty());
  }
  EXPECT_EQ(ReadAll(out), "older");
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
}

}  // namespace
