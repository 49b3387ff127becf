// The waveform outline: columns against a direct computation over the
// samples at several zooms, one part or several, a summary still being
// filled, readers meanwhile, and the overview's own reading of a file.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "analysis/waveform_overview.h"
// spectrum_analyser_test.cpp defines the counting malloc.
#define PW_ALLOCATION_COUNT_ELSEWHERE
#include "allocation_count.h"
#include "message_capture.h"
#include "testaudio.h"
#include "wait_until.h"

namespace {

using Samples = std::function<float(int64_t frame, int channel)>;
using Range = std::pair<int64_t, int64_t>;  // frames [first, second)

// A signal cheap enough to compute twice over millions of frames: on the
// first channel a 37-frame tone swelling from 0.05 to 0.95, on the second a
// quieter, slower tone that fades, with single negative spikes of 0.97
// every 5001 frames (the peak is one sample); both silent over a stretch.
struct TestSignal {
  int channels;
  int64_t frames;
  int64_t silentFrom, silentTo;
  std::vector<float> fast, slow;

  TestSignal(int channels_, int64_t frames_)
      : channels(channels_), frames(frames_), silentFrom(frames_ * 3 / 10), silentTo(frames_ * 3 / 10 + 40000) {
    for (int i = 0; i < 37; ++i) fast.push_back(float(std::sin(2 * M_PI * i / 37.0)));
    for (int i = 0; i < 211; ++i) slow.push_back(float(std::sin(2 * M_PI * i / 211.0 + 0.3)));
  }
  float operator()(int64_t i, int c) const {
    if (i >= silentFrom && i < silentTo) return 0.0f;
    const float rise = 0.05f + 0.9f * float(i) / float(frames);
    if (c == 0) return rise * fast[size_t(i % 37)];
    if (i % 5001 == 17) return -0.97f;
    return (0.4f - 0.3f * rise) * slow[size_t(i % 211)];
  }
  void fill(std::vector<float>& out, int64_t from, int64_t count) const {
    out.resize(size_t(count * channels));
    for (int64_t i = 0; i < count; ++i)
      for (int c = 0; c < channels; ++c) out[size_t(i * channels + c)] = (*this)(from + i, c);
  }
};

// Appends [from, to) to `part` in blocks of an odd size, so entries are
// completed across appends.
void Feed(WaveformSummary& summary, const TestSignal& signal, int32_t part, int64_t from, int64_t to) {
  std::vector<float> block;
  for (int64_t at = from; at < to;) {
    const int64_t n = std::min<int64_t>(3001, to - at);
    signal.fill(block, at, n);
    summary.append(part, block.data(), n);
    at += n;
  }
}

// The columns as the header states them, straight from the samples: each
// column's frames rounded out to the entries of the chosen level, of those
// the frames inside `available`.
std::vector<WaveColumn> Direct(const Samples& x, int channels, const std::vector<Range>& available, int64_t from,
                               int64_t to, int64_t n) {
  const int64_t span = std::max<int64_t>(0, to - from);
  int64_t size = WaveformSummary::kFinestFrames;
  for (int level = 1; level < WaveformSummary::kLevels; ++level)
    if ((size * WaveformSummary::kLevelFactor) <= span / n) size *= WaveformSummary::kLevelFactor;
  std::vector<WaveColumn> out(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    const int64_t s = from + i * span / n, e = from + (i + 1) * span / n;
    if (s < 0 && e <= 0) continue;
    const int64_t lo = std::max<int64_t>(0, s) / size * size;
    const int64_t hi = std::max(lo + size, (std::max<int64_t>(0, e) + size - 1) / size * size);
    double peak = 0, squares = 0;
    int64_t count = 0;
    for (const Range& r : available) {
      for (int64_t f = std::max(lo, r.first); f < std::min(hi, r.second); ++f) {
        for (int c = 0; c < channels; ++c) {
          const double v = x(f, c);
          peak = std::max(peak, std::fabs(v));
          squares += v * v;
        }
        ++count;
      }
    }
    if (count > 0) out[size_t(i)] = {float(peak), float(std::sqrt(squares / double(count * channels)))};
  }
  return out;
}

// Rounding to 16 bits per entry, and float sums: far below a pixel.
constexpr float kTolerance = 2e-5f;

void ExpectColumns(const WaveformSummary& summary, const Samples& x, int channels, const std::vector<Range>& available,
                   int64_t from, int64_t to, int64_t n) {
  SCOPED_TRACE(testing::Message() << "[" << from << ", " << to << ") in " << n << " columns");
  std::vector<WaveColumn> got(static_cast<size_t>(n));
  summary.columns(from, to, got);
  const std::vector<WaveColumn> want = Direct(x, channels, available, from, to, n);
  int wrong = 0;
  for (size_t i = 0; i < size_t(n) && wrong < 5; ++i) {
    if (std::fabs(got[i].peak - want[i].peak) > kTolerance || std::fabs(got[i].rms - want[i].rms) > kTolerance) {
      ++wrong;
      ADD_FAILURE() << "column " << i << ": peak " << got[i].peak << " rms " << got[i].rms << ", direct peak "
                    << want[i].peak << " rms " << want[i].rms;
    }
    // Nothing there is exactly nothing (the silent stretch, past the end).
    if (want[i].peak == 0.0f) {
      EXPECT_EQ(got[i].peak, 0.0f) << "column " << i;
    }
  }
}

struct Window {
  int64_t from, to, columns;
};

// Zooms from the whole song down to columns narrower than one finest entry,
// across the silent stretch, the part boundary and both ends.
std::vector<Window> Windows(int64_t frames) {
  const int64_t boundary = WaveformSummary::kPartAlignFrames;
  return {
      {0, frames, 800},                     // the whole song
      {0, frames, 3},                       // coarser than the coarsest level
      {24017, 56005, 500},                  // a few seconds: 64 frames a column
      {10000, 150000, 137},                 // 1021 frames: the finest level, four entries
      {10000, 150000, 130},                 // 1076 frames: the next level
      {frames * 3 / 10 - 3000, frames * 3 / 10 + 43000, 91},  // into and out of silence
      {boundary - 300000, boundary + 300001, 700},
      {frames - 5000, frames + 5000, 100},  // past the end
      {-3000, 3000, 10},                    // before the start
      {frames / 2, frames / 2, 4},          // no frame at all: the entry at the start
  };
}

TEST(WaveformSummary, ColumnsMatchADirectComputationAtEveryZoom) {
  struct Case {
    const char* name;
    int channels;
    int64_t frames;
    int64_t stated;
    int32_t parts;
    int32_t expectedParts;
  };
  const Case cases[] = {
      {"stereo, one part", 2, 160077, 160077, 1, 1},
      {"mono, two asked, too short to split", 1, 160077, 160077, 2, 1},
      {"longer than stated: the levels grow", 2, 160077, 50000, 1, 1},
      {"stereo, two parts", 2, 9000123, 9000123, 2, 2},
      {"a length no file has: one part, a bounded reserve", 2, 160077, int64_t(1) << 40, 4, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TestSignal signal(c.channels, c.frames);
    WaveformSummary summary(c.channels, c.stated, c.parts);
    ASSERT_EQ(summary.parts(), c.expectedParts);
    const size_t reserved = summary.memoryBytes();
    // The later parts first: the order of the writers does not matter.
    for (int32_t p = summary.parts() - 1; p >= 0; --p) {
      const int64_t to = p + 1 < summary.parts() ? summary.partStart(p + 1) : c.frames;
      Feed(summary, signal, p, summary.partStart(p), to);
      summary.finish(p);
    }
    ASSERT_TRUE(summary.finished());
    EXPECT_EQ(summary.framesDone(), c.frames);
    for (const Window& w : Windows(c.frames))
      ExpectColumns(summary, std::cref(signal), c.channels, {{0, c.frames}}, w.from, w.to, w.columns);

    // Compact: 4 bytes per finest entry and a third more above, whatever
    // the channels; a file past its stated length grows by at most twice
    // what was reserved per level.
    const double perFrame = 4.0 / double(WaveformSummary::kFinestFrames) * 4.0 / 3.0;
    const double reservedFor = double(std::min(c.stated, int64_t(1) << 30));
    EXPECT_LE(double(reserved), perFrame * reservedFor + 16.0 * 4 * WaveformSummary::kLevels * 2);
    if (c.frames > c.stated) {
      EXPECT_GT(summary.memoryBytes(), reserved);
      EXPECT_LE(summary.memoryBytes(), 4 * reserved);
    } else {
      EXPECT_EQ(summary.memoryBytes(), reserved);
    }
  }
}

TEST(WaveformSummary, OnlyWhatIsSummarisedIsDrawn) {
  const TestSignal signal(2, 9000123);
  WaveformSummary summary(2, signal.frames, 2);
  ASSERT_EQ(summary.parts(), 2);
  const int64_t second = summary.partStart(1);
  const std::vector<Window> windows = {{0, signal.frames, 800}, {0, 100000, 333}, {90000, 110000, 50}};

  // Nothing yet: every column empty.
  for (const Window& w : windows) ExpectColumns(summary, std::cref(signal), 2, {}, w.from, w.to, w.columns);
  EXPECT_EQ(summary.framesDone(), 0);

  // The first part part-way, with a partial entry held back; the second
  // part a little way in.
  Feed(summary, signal, 0, 0, 100100);
  Feed(summary, signal, 1, second, second + 70000);
  const int64_t whole = 100100 / 256 * 256;
  EXPECT_EQ(summary.framesDone(), whole);
  EXPECT_EQ(summary.partFramesDone(1), 70000 / 256 * 256);
  EXPECT_FALSE(summary.finished());
  const std::vector<Range> shown = {{0, whole}, {second, second + 70000 / 256 * 256}};
  for (const Window& w : windows) ExpectColumns(summary, std::cref(signal), 2, shown, w.from, w.to, w.columns);

  // The first part ends there (a file shorter than it stated): its last
  // partial entry is published and the summary's length stops there, even
  // once the second part is complete.
  summary.finish(0);
  Feed(summary, signal, 1, second + 70000, signal.frames);
  summary.finish(1);
  EXPECT_TRUE(summary.finished());
  EXPECT_EQ(summary.framesDone(), 100100);
  const std::vector<Range> ended = {{0, 100100}, {second, signal.frames}};
  for (const Window& w : windows) ExpectColumns(summary, std::cref(signal), 2, ended, w.from, w.to, w.columns);
}

TEST(WaveformSummary, APartTakesNoMoreThanItsRange) {
  const TestSignal signal(1, 9000123);
  WaveformSummary summary(1, signal.frames, 2);
  ASSERT_EQ(summary.parts(), 2);
  const int64_t second = summary.partStart(1);
  // The first part is handed frames past its end: they are not its own.
  Feed(summary, signal, 0, 0, second + 50000);
  EXPECT_EQ(summary.partFramesDone(0), second);
  EXPECT_EQ(summary.framesDone(), second);
  ExpectColumns(summary, std::cref(signal), 1, {{0, second}}, second - 20000, second + 20000, 40);
}

// Published columns never change: a reader drawing while two writers fill
// their parts sees, left of framesDone(), exactly the final columns.
TEST(WaveformSummary, ReadersSeeOnlyFinishedColumnsWhileWritersAppend) {
  const TestSignal signal(2, 9000123);
  constexpr int64_t kColumns = 640;
  std::vector<WaveColumn> final(kColumns);
  {
    WaveformSummary reference(2, signal.frames, 1);
    Feed(reference, signal, 0, 0, signal.frames);
    reference.finish();
    reference.columns(0, signal.frames, final);
  }

  WaveformSummary summary(2, signal.frames, 2);
  ASSERT_EQ(summary.parts(), 2);
  std::atomic<int> draws{0}, partial{0}, mismatches{0};
  std::jthread reader([&](std::stop_token stop) {
    std::vector<WaveColumn> seen(kColumns);
    // A column takes in at most one entry past its end, never wider than it.
    const int64_t width = signal.frames / kColumns + 1;
    while (!stop.stop_requested()) {
      const int64_t done = summary.framesDone();
      const bool complete = summary.finished();
      summary.columns(0, signal.frames, seen);
      ++draws;
      if (!complete && done < signal.frames) ++partial;
      for (int64_t i = 0; i < kColumns; ++i) {
        const int64_t end = (i + 1) * signal.frames / kColumns;
        const bool published = complete || end + width <= done;
        if (published && (seen[size_t(i)].peak != final[size_t(i)].peak || seen[size_t(i)].rms != final[size_t(i)].rms))
          ++mismatches;
      }
      if (complete) break;
    }
  });
  {
    std::jthread first([&] {
      Feed(summary, signal, 0, 0, summary.partStart(1));
      summary.finish(0);
    });
    std::jthread second([&] {
      Feed(summary, signal, 1, summary.partStart(1), signal.frames);
      summary.finish(1);
    });
  }
  ASSERT_TRUE(pwtest::WaitUntil([&] { return draws.load() > 0 && summary.finished(); }));
  reader.join();
  EXPECT_GT(draws.load(), 0);
  EXPECT_EQ(mismatches.load(), 0) << "of " << draws.load() << " draws, " << partial.load() << " while filling";

  std::vector<WaveColumn> after(kColumns);
  summary.columns(0, signal.frames, after);
  for (int64_t i = 0; i < kColumns; ++i) {
    EXPECT_EQ(after[size_t(i)].peak, final[size_t(i)].peak) << i;
    EXPECT_EQ(after[size_t(i)].rms, final[size_t(i)].rms) << i;
  }
}

// columns() is called from paint: no heap allocation at any zoom, on a
// summary with parts complete, part-way and not started.
TEST(WaveformSummary, DrawingAllocatesNothing) {
  if (!pwtest::AllocationCount::available()) GTEST_SKIP() << "the sanitizers own malloc";
  const TestSignal signal(2, 9000123);
  WaveformSummary summary(2, 2 * signal.frames, 3);
  ASSERT_EQ(summary.parts(), 3);
  Feed(summary, signal, 0, 0, summary.partStart(1));
  Feed(summary, signal, 1, summary.partStart(1), summary.partStart(1) + 100000);
  const std::vector<Window> windows = Windows(2 * signal.frames);
  std::vector<WaveColumn> columns(2000);
  std::string afterwards;
  pwtest::AllocationCount count("pw-paint");
  uint64_t whileDrawing = 0;
  std::thread paint([&] {
    pthread_setname_np(pthread_self(), "pw-paint");
    float drawn = 0;
    for (const Window& w : windows) {
      summary.columns(w.from, w.to, std::span(columns).first(size_t(w.columns)));
      drawn += columns[0].peak;
    }
    whileDrawing = count.count();
    // The count does see this thread.
    afterwards.assign(size_t(100 + drawn), 'x');
  });
  paint.join();
  EXPECT_EQ(whileDrawing, 0u) << "first of " << count.firstSize() << " bytes";
  EXPECT_GE(count.count(), 1u);
}

class WaveformOverviewTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture messages;  // the overview shows nothing itself
  std::string dir = pwtest::TempDir("waveform");

  void TearDown() override {
    EXPECT_TRUE(messages.seen.empty()) << messages.seen.front().text;
    std::filesystem::remove_all(dir);
  }

  // Writes the signal as a 16-bit WAV; returns its samples as decoded.
  std::vector<float> Write(const std::string& path, const TestSignal& signal) {
    std::vector<float> x;
    signal.fill(x, 0, signal.frames);
    pwtest::WriteWav(path, x, 8000, signal.channels, 16);
    return pwtest::Quantize(x, 16);
  }
};

TEST_F(WaveformOverviewTest, SummarisesTheWholeFileOnItsOwnThreads) {
  struct Case {
    int channels;
    int64_t frames;
    int threads;
    int32_t parts;
  };
  const Case cases[] = {{2, 123457, 0, 1}, {1, 9000123, 2, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.frames << " frames, " << c.threads << " threads");
    const TestSignal signal(c.channels, c.frames);
    const std::string path = dir + "/song.wav";
    const std::vector<float> decoded = Write(path, signal);
    std::string problem;
    std::unique_ptr<WaveformOverview> overview = WaveformOverview::start(path, &problem, c.threads);
    ASSERT_TRUE(overview) << problem;
    EXPECT_EQ(overview->summary().parts(), c.parts);
    EXPECT_EQ(overview->sampleRate(), 8000);
    EXPECT_EQ(overview->lengthFrames(), c.frames);
    ASSERT_TRUE(pwtest::WaitUntil([&] { return overview->finished(); }, std::chrono::minutes(5)));
    EXPECT_EQ(overview->summary().framesDone(), c.frames);
    const Samples x = [&](int64_t f, int ch) { return decoded[size_t(f * c.channels + ch)]; };
    for (const Window& w : Windows(c.frames))
      ExpectColumns(overview->summary(), x, c.channels, {{0, c.frames}}, w.from, w.to, w.columns);
  }
}

// Each reading thread is held after its first block until it is asked to
// stop: the destructor asks, and every thread ends before another block.
TEST_F(WaveformOverviewTest, DestroyingItMidWayStopsEachReadingWithinOneBlock) {
  const TestSignal signal(1, 9000123);
  const std::string path = dir + "/long.wav";
  Write(path, signal);
  std::atomic<int> blocks[2] = {0, 0};
  std::atomic<int> held{0};
  std::string problem;
  std::unique_ptr<WaveformOverview> overview =
      WaveformOverview::start(path, &problem, 2, [&](int32_t part, const std::stop_token& stop) {
        ++blocks[part];
        ++held;
        pwtest::WaitUntil([&] { return stop.stop_requested(); }, std::chrono::minutes(5),
                          std::chrono::microseconds(200));
      });
  ASSERT_TRUE(overview) << problem;
  ASSERT_EQ(overview->summary().parts(), 2);
  ASSERT_TRUE(pwtest::WaitUntil([&] { return held.load() == 2; }));
  EXPECT_FALSE(overview->finished());
  EXPECT_GT(overview->summary().framesDone(), 0);
  overview.reset();
  EXPECT_EQ(blocks[0].load(), 1);
  EXPECT_EQ(blocks[1].load(), 1);
}

TEST_F(WaveformOverviewTest, AFileThatCannotBeReadGivesNullAndNamesIt) {
  const std::string text = dir + "/notes.wav";
  std::FILE* f = std::fopen(text.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("not audio at all, just words\n", f);
  std::fclose(f);
  for (const std::string& path : {dir + "/missing.wav", text, dir}) {
    SCOPED_TRACE(path);
    std::string problem;
    EXPECT_EQ(WaveformOverview::start(path, &problem), nullptr);
    EXPECT_EQ(problem.rfind(path + ": ", 0), 0u) << problem;
    EXPECT_GT(problem.size(), path.size() + 2) << "a reason follows the name";
  }
}

}  // namespace
