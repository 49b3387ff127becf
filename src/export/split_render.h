// A save's stretch split over cores. The pitch/tempo stage is nearly all of
// a save's work and runs on one thread per chain, so a long save is cut into
// pieces, each rendered by a chain of its own on its own thread, and the
// outputs are joined in order into the one stream the writer takes.
//
// The plan:
// - Only a save that stretches (tempo, pitch, fine tune or speed) and is
//   long enough is split; any other stays whole, exactly as before.
// - Pieces: PieceCount cuts the region evenly by its length alone; each even
//   cut then moves to a seam that cannot be heard (seam_finder.h), found in
//   the source around the cut. The plan therefore depends on the region's
//   length, the sound near the cuts and the effect values, never on the
//   number of threads or on timing: the same save gives the same bytes on
//   any run and any machine.
// - Each piece's chain starts a short pre-roll before its seam (the
//   stretcher's windows and the filters fill up there; that output is not
//   used) and renders to a little past the next seam. Its start lies on a
//   grid of source frames (FindSplitGrid) that the stages map to whole
//   output frames, so a piece's output frame 0 sits exactly on the frame
//   where the whole render would have it, and the joined length is the
//   whole render's to the frame.
// - At a seam the two outputs are cross-faded over kCrossfadeSeconds. The
//   later one is first aligned to the earlier by the lag (within
//   kLagSeconds, a fraction of a low note's period) that best correlates the
//   two over the fade: two renderings of a held note differ in their
//   partials' phases, and a fade between them unaligned could cancel. The
//   fade's gains follow that correlation so that the power stays level
//   whether the two are alike (gains summing to 1) or not (equal power).
//   The lag moves the rest of the output by at most kLagSeconds; what it
//   takes from or adds to the length comes off or goes on at the very end.
// - The chains run without their limiter; the joined stream goes through
//   one limiter with the chain's ceiling, as the whole render does.
//
// Memory: a piece's output waits in memory for its turn, from the frame the
// join needs on. Pieces start in order, and a piece starts only while fewer
// than `threads` pieces (two at least), the one being joined among them, are
// in flight: at most threads - 1 pieces' outputs wait whole, and the one
// being joined runs at most 2 s ahead of the join. Each piece in flight has a chain of its
// own (about 7 MiB at 44.1 kHz stereo); the save's session goes once the
// first piece is done.
//
// Threads: the owner (the export job's thread) constructs, starts, reads and
// destroys; the piece threads render. The first piece renders on the save's
// session (given over at construction, destroyed once that piece is done);
// every other piece opens the file again, with a chain of its own, so that
// its output depends on nothing rendered before it. Every piece thread
// checks the stop between blocks. A failure is handed to onFailure (from any
// thread, the first one only) and stops every piece.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine/effect_values.h"

class PeakLimiter;
class Session;

// How a save may be split. The defaults are the product's; tests make the
// pieces small.
struct SplitSettings {
  // Piece threads; 0: one per core (std::thread::hardware_concurrency()).
  // Only the speed depends on it, never the output.
  int threads = 0;
  // Pieces wanted: 0 by PieceCount's rule, 1 keeps the save whole.
  int pieces = 0;
  // No piece shorter than this (before its seams move).
  double minPieceSeconds = 20.0;
  // How far from the even cut a seam is looked for, at most; never more
  // than a quarter of a piece.
  double searchSeconds = 2.0;
};

// Pieces for a region of `frames` at `rate`: as many pieces of at least
// minPieceSeconds as fit, rounded down to a count that shares out evenly
// over common core counts (1, 2, 3, 4, 6, 8, 12, 16, 24, 32); settings.pieces
// when set. 1: the region stays whole.
int PieceCount(int64_t frames, int rate, const SplitSettings& settings);

// How the chain's stages map source frames to output frames at constant
// values: `ratio` output frames per source frame (the pitch stage's
// duration ratio times the speed stage's). Every multiple of `sourceStep`
// source frames maps to exactly that multiple of `outputStep` output
// frames. Nothing when no step up to 65536 frames does (a ratio with no
// small fraction): the save then stays whole.
struct SplitGrid {
  double ratio = 1.0;
  int64_t sourceStep = 1;
  int64_t outputStep = 1;
};
// durationRatio as the pitch stage takes it, speedPercent as the speed
// stage does (0: off); both clamped as the stages clamp them.
std::optional<SplitGrid> FindSplitGrid(double durationRatio, double speedPercent);

// One seam as it was joined, for figures and tests.
struct SeamReport {
  int64_t sourceFrame = 0;  // where in the source the fade is centred
  int64_t outputFrame = 0;  // where in the joined output
  int64_t lag = 0;          // the later piece's shift, in output frames
  double correlation = 0;   // of the two pieces over the fade, at that lag
};

class SplitRender {
 public:
  static constexpr double kCrossfadeSeconds = 0.15;
  static constexpr double kLagSeconds = 0.012;
  static constexpr double kPrerollSeconds = 0.2;

  using FailureHandler = std::function<void(const std::string& text)>;

  // The pieces the save of `session` is cut into: 1 (whole) when nothing
  // stretches (tempo, pitch, fine tune and speed all neutral), when the
  // region is too short, or when the values have no grid. `session` is the
  // save's, prepared by PrepareForExport with its values set.
  static int plannedPieces(Session& session, const SplitSettings& settings);

  // `first` is the save's session as for plannedPieces, with its ceiling
  // set; plannedPieces(*first, settings) must be 2 or more. It renders the
  // first piece and is destroyed as soon as that is done. Nothing runs until
  // start.
  SplitRender(std::unique_ptr<Session> first, const SplitSettings& settings, std::stop_token stop,
              FailureHandler onFailure);
  ~SplitRender();
  SplitRender(const SplitRender&) = delete;
  SplitRender& operator=(const SplitRender&) = delete;

  // Starts the piece threads. Once.
  void start();

  // ---- the owner's thread, after start ----

  // The joined, limited output: up to `frames` frames into `out`, fewer
  // only at the end, after a stop or after a failure.
  size_t read(float* out, size_t frames);
  // Percent of the region's source the pieces have read (0 … 100).
  int percent() const;

  // ---- the owner's thread, once read has returned short ----

  // The source ended before the length it states (damaged or truncated);
  // the output ends where it did.
  bool endedShort() const { return endedShort_; }
  std::string shortEndDescription() const { return shortEnd_; }
  const std::vector<SeamReport>& seams() const { return reports_; }
  // Source frames the pieces' chains read, over the region's: what the
  // pre-rolls and the overlaps at the seams cost (1 would be none).
  double sourceReadShare() const;

  int pieces() const { return int(pieces_.size()); }
  int threads() const { return threadCount_; }

 private:
  struct Piece;
  struct Seam;
  struct Relay {
    std::stop_source* halt;
    void operator()() const { halt->request_stop(); }
  };

  void fail(const std::string& text);
  bool halted() const { return halt_.stop_requested(); }
  std::unique_ptr<Session> openSession();
  void configure(Session& session) const;
  void work();
  void renderPiece(size_t index, Session& session);
  int64_t seamAt(size_t index, Session& session);
  // The joiner (owner's thread).
  size_t produce(float* out, size_t frames);
  bool waitForFrames(Piece& piece, int64_t until, std::unique_lock<std::mutex>& lock);
  size_t copyFrames(Piece& piece, int64_t from, size_t frames, float* out);
  bool fadeInto(size_t next);
  void finishEarly(Piece& piece);

  // ---- set at construction, read by every thread ----
  const std::string fileName_;
  const int channels_;
  const int rate_;
  const int64_t length_;  // the file's, to see that it is the same file again
  const EffectValues values_;
  const double pitchRatio_;
  const double durationRatio_;
  const bool formantPreserved_;
  SplitGrid grid_;
  int64_t regionFrom_ = 0;   // source frames
  int64_t regionEnd_ = 0;    // the plan's end (the file's stated length without a region)
  int64_t chainEnd_ = -1;    // the chains' source end (-1: the file's end)
  int64_t fadeFrames_ = 0;   // output frames
  int64_t lagFrames_ = 0;    // output frames, either way
  int64_t prerollFrames_ = 0;  // source frames
  int64_t halfSpan_ = 0;       // seam search, source frames
  int threadCount_ = 1;
  FailureHandler onFailure_;

  // ---- any thread ----
  std::stop_source halt_;
  std::stop_callback<Relay> relay_;
  std::once_flag failOnce_;
  std::atomic<int64_t> sourceRead_{0};  // by the pieces' chains, in frames

  // The save's session: the first piece's thread's, once started; then gone.
  std::unique_ptr<Session> first_;

  // Pieces and seams: fields as their structs say; lock_ guards what is
  // shared between a piece thread and the joiner, changed_ signals it.
  std::vector<std::unique_ptr<Piece>> pieces_;
  std::vector<std::unique_ptr<Seam>> seamsFound_;
  std::mutex lock_;
  std::condition_variable_any changed_;
  size_t nextPiece_ = 0;  // under lock_: the next piece a thread takes
  size_t head_ = 0;       // under lock_: the piece being joined

  // ---- the owner's thread ----
  std::vector<std::jthread> workers_;
  std::unique_ptr<PeakLimiter> limiter_;
  std::vector<float> block_;  // raw joined frames, then limited
  size_t blockHeld_ = 0, blockNext_ = 0;
  bool limiterDrained_ = false;
  bool joinEnded_ = false;
  int64_t position_ = 0;  // joined frames produced (before the limiter)
  int64_t lag_ = 0;       // the head piece's lag
  int64_t total_ = -1;    // the joined length, once the last piece has ended
  std::vector<float> fade_;  // a cross-fade's frames
  size_t fadeNext_ = 0, fadeEnd_ = 0;
  std::vector<float> fadeA_, fadeB_;
  std::vector<SeamReport> reports_;
  bool endedShort_ = false;
  std::string shortEnd_;
};
