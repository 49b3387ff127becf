// The whole song's outline for the waveform lane: peak and RMS of the source
// (before any effect, channels folded) per column of any width, from a
// summary of a few levels, each four times coarser than the one below, so a
// 60-minute file takes a few MB however far it is zoomed, never the samples
// (4 bytes per 256 frames and a third more for the coarser levels: about
// 3.3 MB per hour of 44.1 kHz audio, whatever the channel count).
//
// WaveformSummary is the data alone, filled by writers and read by any
// number of readers meanwhile. Its frames may be split into parts (ranges
// of whole top-level entries), each filled in order by a writer of its own,
// so that several threads can read a long file at once. What a part has
// published is complete and never changes again, nor moves in memory.
// WaveformOverview fills one on threads of its own from its own readings of
// the file, so the window and playback never wait for it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

class AudioDecoder;

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
  // Levels kept; the coarsest entry sums 256 · 4^7 = 4 194 304 frames
  // (95 s at 44.1 kHz). A column wider than that combines several.
  static constexpr int kLevels = 8;
  // Parts start on whole entries of the coarsest level, so that no entry
  // of any level straddles two parts.
  static constexpr int64_t kPartAlignFrames = 4194304;
  static constexpr int kMaxParts = 8;

  // Room for `lengthFrames` frames (the file's stated length; at most 2^30,
  // 6.7 hours at 44.1 kHz, and a longer one is read as one part) is
  // reserved at once. Frames past it are still taken by the last part: the
  // levels grow by segments of their own (each as large as all before it),
  // so nothing published ever moves. `parts` asks for that many parts; fewer are made
  // when the length does not hold that many aligned ranges (a file shorter
  // than 2 · 95 s at 44.1 kHz is one part).
  WaveformSummary(int32_t channels, int64_t lengthFrames, int32_t parts = 1);
  ~WaveformSummary();
  WaveformSummary(const WaveformSummary&) = delete;
  WaveformSummary& operator=(const WaveformSummary&) = delete;

  // ---- set at construction, read-only afterwards ----

  int32_t channels() const { return channels_; }
  int32_t parts() const { return parts_; }
  // First frame of `part`; its planned end is the next part's start (the
  // last part has no end).
  int64_t partStart(int32_t part) const { return starts_[size_t(part)]; }

  // ---- each part's own writer thread (one thread per part) ----

  // Appends `frames` interleaved frames of `channels` samples to `part`,
  // after what it holds. A part other than the last takes no more than its
  // planned range: frames past it are ignored. What forms a whole finest
  // entry is published; a partial entry waits for more or for finish().
  void append(int32_t part, const float* interleaved, int64_t frames);
  // Publishes the part's last partial entry: the part is complete, however
  // short of its planned end it stopped (a file shorter than it states).
  void finish(int32_t part);
  // The same for a summary of one part.
  void append(const float* interleaved, int64_t frames) { append(0, interleaved, frames); }
  void finish() { finish(0); }

  // ---- any thread ----

  // Frames summarised from the start with no gap: every part before the
  // one still being filled is complete. Once finished(), the summary's
  // length (a part that ended short ends it: later parts are not counted).
  int64_t framesDone() const;
  // Every part is complete.
  bool finished() const;
  // Frames summarised by `part` so far, from its start.
  int64_t partFramesDone(int32_t part) const {
    return state_[size_t(part)].done.load(std::memory_order_acquire);
  }

  // Fills out.size() equal columns over the frames [fromFrame, toFrame):
  // column i covers [from + ⌊i·(to − from)/n⌋, from + ⌊(i+1)·(to − from)/n⌋),
  // rounded out to whole entries of the coarsest level whose entry is not
  // wider than (to − from)/n (the finest for narrower columns), so a column
  // may take in up to one entry more on each side; a column of no frame
  // takes the entry that holds its start. Only summarised frames count:
  // where the coarse entry is not complete yet the finer levels stand in,
  // and a column with no summarised frame (past framesDone(), or in a part
  // not reached yet) is {0, 0}. Allocates nothing.
  void columns(int64_t fromFrame, int64_t toFrame, std::span<WaveColumn> out) const;

  // Bytes held by the levels (reserved, whether written yet or not).
  size_t memoryBytes() const { return bytes_.load(std::memory_order_relaxed); }

 private:
  // Peak and RMS of an entry's frames, 0 … 65535 of full scale.
  struct Entry {
    uint16_t peak;
    uint16_t rms;
  };
  static constexpr int kSegments = 40;
  // One level: entries [0, capacity) in segment 0, reserved at
  // construction; past it segment k ≥ 1 holds [capacity·2^(k−1),
  // capacity·2^k), allocated by the last part's writer when first reached.
  // A segment pointer is written before the entries in it are published
  // and never changes again.
  struct Level {
    int64_t capacity = 0;
    std::array<std::unique_ptr<Entry[]>, kSegments> segments;
  };
  // A level's sums in the making (the writer's own).
  struct Sums {
    double squares = 0;
    float peak = 0;
    int64_t frames = 0;
  };
  // One part's writer state; `done` is published to readers.
  struct alignas(64) Part {
    std::array<Sums, kLevels> sums{};
    int64_t written = 0;  // frames taken, the partial entry included
    std::atomic<int64_t> done{0};
    std::atomic<bool> ended{false};
  };
  // A column's combination in the making.
  struct Combined {
    double squares = 0;  // Σ rms² · frames
    int64_t frames = 0;
    uint16_t peak = 0;
  };

  static int64_t levelFrames(int level) { return kFinestFrames << (2 * level); }
  const Entry& entryAt(int level, int64_t index) const;
  Entry& entryForWrite(int level, int64_t index);
  void storeEntry(int level, int64_t index, const Sums& sums);
  // Adds the summarised frames of [lo, hi) (lo on an entry of `level`) that
  // lie before `available` to `into`.
  void combine(int level, int64_t lo, int64_t hi, int64_t available, Combined& into) const;

  const int32_t channels_;
  const int32_t parts_;
  std::array<int64_t, kMaxParts + 1> starts_{};  // starts_[parts_] is the stated length
  std::array<Level, kLevels> levels_;
  std::array<Part, kMaxParts> state_;
  std::atomic<size_t> bytes_{0};
};

class WaveformOverview {
 public:
  // Opens its own reading of `fileName` (on the caller's thread: an MP3
  // is counted through at opening) and starts summarising it on threads of
  // its own, named "pw-waveform" and scheduled as batch work: one per part,
  // `threads` parts asked (0: one per core), each part read through a
  // reading of its own (the first part through the one opened here, the
  // others opened on their threads). Null, with *problem set
  // ("/music/a.mp3: No such file or directory"), when the file cannot be
  // read; nothing is shown to the user (the window reports its own
  // opening). `afterBlock`, when set, is called on each reading thread
  // after every block it has summarised, with that thread's part and stop
  // request (tests hold a reading there to stop it mid-way).
  using BlockHook = std::function<void(int32_t part, const std::stop_token& stop)>;
  static std::unique_ptr<WaveformOverview> start(const std::string& fileName, std::string* problem,
                                                 int threads = 0, BlockHook afterBlock = {});
  // Stops the threads (within one block each) and waits for them.
  ~WaveformOverview();
  WaveformOverview(const WaveformOverview&) = delete;
  WaveformOverview& operator=(const WaveformOverview&) = delete;

  // ---- any thread ----
  const WaveformSummary& summary() const { return *summary_; }
  int32_t sampleRate() const { return sampleRate_; }
  // The file's stated length; the summary may end up a little longer or
  // shorter (summary().framesDone() once finished()).
  int64_t lengthFrames() const { return lengthFrames_; }
  bool finished() const { return summary().finished(); }

 private:
  WaveformOverview() = default;
  // Part `part`'s thread: reads its range (the first part through `first`,
  // the others through readings opened here) into the summary.
  void run(std::stop_token stop, int32_t part, std::unique_ptr<AudioDecoder> first);

  std::string fileName_;
  BlockHook afterBlock_;
  int32_t sampleRate_ = 0;
  int64_t lengthFrames_ = 0;
  std::unique_ptr<WaveformSummary> summary_;
  // Last: stopped and joined before the rest goes.
  std::vector<std::jthread> threads_;
};
