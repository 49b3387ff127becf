// The whole song's outline for the waveform lane: peak and RMS of the source
// (before any effect, channels folded) per column of any width, from a
// summary of a few levels, each four times coarser than the one below, so a
// 60-minute file takes a few MB however far it is zoomed, never the samples.
//
// WaveformSummary is the data alone, filled in order by one writer and read
// by any number of readers meanwhile: what is published (framesDone) is
// complete and never changes again. WaveformOverview fills one on a thread
// of its own from its own reading of the file, so the window and playback
// never wait for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

// One drawn column: the largest absolute sample and the RMS over the
// column's frames, both 0 … 1 of full scale. Across channels the peak is the
// largest of any channel and the RMS is that of all their samples together.
struct WaveColumn {
  float peak = 0.0f;
  float rms = 0.0f;
};

class WaveformSummary {
 public:
  // Frames summed in one entry of the finest level.
  static constexpr int64_t kFinestFrames = 256;
  // Each coarser level sums this many entries of the level below.
  static constexpr int64_t kLevelFactor = 4;

  // Room for `lengthFrames` frames (the file's stated length) is reserved at
  // once; frames past it are still taken, growing the levels.
  WaveformSummary(int32_t channels, int64_t lengthFrames);

  // ---- the writer's thread ----

  // Appends `frames` interleaved frames of `channels` samples. What forms a
  // whole finest entry is published; a partial entry waits for more or for
  // finish().
  void append(const float* interleaved, int64_t frames);
  // Publishes the last partial entry: the summary is complete.
  void finish();

  // ---- any thread ----

  // Frames summarised so far; columns past it are drawn empty.
  int64_t framesDone() const { return framesDone_.load(std::memory_order_acquire); }
  bool finished() const { return finished_.load(std::memory_order_acquire); }

  // Fills out.size() equal columns over the frames [fromFrame, toFrame):
  // column i covers [from + i·w, from + (i+1)·w) with w = (to − from) / n,
  // rounded out to whole entries of the coarsest level not wider than w
  // (so a column may take in up to one entry more on each side). A column
  // wholly past framesDone() is {0, 0}. Allocates nothing.
  void columns(int64_t fromFrame, int64_t toFrame, std::span<WaveColumn> out) const;

  // Bytes held by the levels.
  size_t memoryBytes() const;

 private:
  // ... private members are the implementer's choice.
};

class WaveformOverview {
 public:
  // Opens its own reading of `fileName` and starts summarising it on a
  // thread of its own. Null, with *problem set, when the file cannot be
  // read.
  static std::unique_ptr<WaveformOverview> start(const std::string& fileName, std::string* problem);
  // Stops the thread (within one block) and waits for it.
  ~WaveformOverview();

  // ---- any thread ----
  const WaveformSummary& summary() const;
  int32_t sampleRate() const;
  // The file's stated length; the summary may end up a little longer or
  // shorter (summary().framesDone() once finished()).
  int64_t lengthFrames() const;
  bool finished() const { return summary().finished(); }
};
