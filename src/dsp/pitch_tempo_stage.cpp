// Pitch/tempo stage: Rubber Band's R3 engine in real-time mode, with an exact
// bypass at unity ratios and crossfades between the two paths.
//
// Input frames carry absolute indices (0 = first frame after creation or
// flush). The bypass path copies input from its cursor `bypassPos_`. The
// stretcher path is started at some input index S: it is reset, fed from
// S - getPreferredStartPad() (recent history, or silence before index 0),
// and its first frames up to the start delay are dropped, so that its
// output frame 0 lines up with input S.
//
// Where the stretcher's output stands in input time is needed to resume the
// bypass without a jump and to end the output at the last input frame.
// Rubber Band keeps its hop counters on a piecewise-linear map, emitted
// output O(I) = O_c + (I - I_c) × duration ratio, re-anchored continuously at
// each ratio change at the output count emitted by then. The analysis frame
// centred on input I leaves the stretcher lead / pitch frames after O(I):
// the lead (the start pad plus the history of the resampler that follows
// the stretcher, measured once at creation) sits before that resampler. A
// pitch change therefore shifts the timeline by lead/p_new - lead/p_old,
// and a duration change pivots it about one start delay after the output
// produced so far; the segment map below mirrors both.
#include "dsp/pitch_tempo_stage.h"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using RB = RubberBand::RubberBandStretcher;

constexpr int kBlock = 1024;          // frames rendered per inner step
constexpr int kFeedMax = 4096;        // frames per stretcher process() call
constexpr int64_t kRingFrames = 1 << 16;  // input history and read-ahead
constexpr double kFadeSeconds = 0.015;
constexpr int kMaxSegments = 16;
constexpr double kMinRatio = PitchTempoStage::kMinRatio;
constexpr double kMaxRatio = PitchTempoStage::kMaxRatio;

// One piece of the stretcher's hop map: from emitted output count `out` on,
// output advances by `ratio` (the duration ratio) per input frame.
struct Segment {
  double out;
  double in;
  double ratio;
};

double SanitizeRatio(double v) {
  if (!std::isfinite(v) || v <= 0) return 1.0;
  v = std::clamp(v, kMinRatio, kMaxRatio);
  return std::fabs(v - 1.0) < 1e-9 ? 1.0 : v;
}

// Smooth 0..1 gain curve with flat ends, so the fades add no corners.
inline float FadeGain(double w) { return float(w * w * (3.0 - 2.0 * w)); }

// Rubber Band's resampler turns 1 / pitch into a fraction n/d accurate to
// 1e-9 and builds a table of n phases whenever the pitch changes: an
// arbitrary pitch can mean a table of 10^5 entries, allocated and filled on
// the processing thread. Pitches are therefore rounded so that 1 / pitch has
// a denominator of at most kPitchDenominator (error < 0.25 cent), which caps
// the table at kMaxPhases; creation sizes it once (see WarmUp).
constexpr int64_t kPitchDenominator = 4096;
constexpr int64_t kMaxPhases = int64_t(kMaxRatio) * kPitchDenominator - 1;

// Best rational approximation n/d of x > 0 with d <= maxDen.
void BestRational(double x, int64_t maxDen, int64_t& n, int64_t& d) {
  int64_t h0 = 0, h1 = 1, k0 = 1, k1 = 0;
  double y = x;
  for (int i = 0; i < 64; ++i) {
    const double whole = std::floor(y);
    const int64_t a = int64_t(whole);
    const int64_t h2 = a * h1 + h0, k2 = a * k1 + k0;
    if (k2 > maxDen) {
      const int64_t m = (maxDen - k0) / k1;  // best semiconvergent
      const int64_t hs = m * h1 + h0, ks = m * k1 + k0;
      if (m > 0 && std::fabs(x - double(hs) / double(ks)) < std::fabs(x - double(h1) / double(k1))) {
        h1 = hs;
        k1 = ks;
      }
      break;
    }
    h0 = h1, h1 = h2, k0 = k1, k1 = k2;
    const double rest = y - whole;
    if (rest < 1e-12) break;
    y = 1.0 / rest;
  }
  n = h1;
  d = k1;
}

double QuantizePitch(double pitch) {
  int64_t n = 1, d = 1;
  BestRational(1.0 / pitch, kPitchDenominator, n, d);
  return double(d) / double(n);
}

// Rubber Band reports warnings through its logger; none may reach stderr
// from the processing thread.
struct SilentLogger : RB::Logger {
  void log(const char*) override {}
  void log(const char*, double) override {}
  void log(const char*, double, double) override {}
};

}  // namespace

struct PitchTempoStage::Engine {
  Engine(int channels, int rate, ReadFunction read, void* user);

  int Process(float* output, int frames, double pitch, double duration, bool formantPreserved);
  int LatencyFrames() const { return int(std::lround(startLead_)); }
  void Flush();

  const int channels_;
  const int rate_;

 private:
  void WarmUp();
  void RunAtPitch(double pitch);
  double MeasureLead();
  int RenderBlock(float* output, int frames);
  void ApplyRatios(double pitch, double duration);
  void StartStretch(int64_t at);
  int PullBypass(float* dest, int frames);
  int PullStretch(int frames);
  bool FeedStretch();
  void EnsureInput(int64_t upto);
  void CopyInput(int64_t from, int frames, float* interleaved);
  void DeinterleaveInput(int64_t from, int frames);

  void ResetMap(double in, double ratio);
  void AddSegment(double out, double ratio);
  double HopOut(double out) const;
  double OutToIn(double out) const;
  double InToOut(double in) const;

  const ReadFunction read_;
  void* const user_;
  const int fadeFrames_;
  std::unique_ptr<RB> rb_;
  double startLead_ = 0;  // lead before the resampler after a reset (MeasureLead)

  // Input ring: frames [readEnd_ - kRingFrames, readEnd_) are kept.
  std::vector<float> ring_;
  int64_t readEnd_ = 0;
  bool inputEnded_ = false;

  // Ratios as requested (taken up at the start of each Process call) and
  // as given to the stretcher.
  double pitch_ = 1.0, duration_ = 1.0;
  double rbPitch_ = 1.0, rbDuration_ = 1.0;
  bool formantPreserved_ = false;

  // Mix state: 0 = bypass only, 1 = stretcher only.
  double mix_ = 0.0;
  int64_t emitted_ = 0;
  int64_t bypassPos_ = 0;

  // Stretcher path.
  bool stretchRunning_ = false;
  bool stretchDone_ = false;
  bool finalSent_ = false;
  int64_t feedPos_ = 0;       // next input index to feed
  int64_t rawRetrieved_ = 0;  // frames retrieved, dropped ones included
  int64_t dropTotal_ = 0;
  double lead_ = 0;           // frame-centre lead before the resampler
  int64_t dropLeft_ = 0;
  int64_t stretchOut_ = 0;    // output frames delivered after the drop
  Segment segments_[kMaxSegments];
  int segmentCount_ = 0;

  // Scratch, deinterleaved per channel.
  std::vector<float> feedBuf_;      // channels × kFeedMax
  std::vector<float> stretchBuf_;   // channels × kBlock
  std::vector<float> bypassBuf_;    // interleaved, kBlock frames
  float* feedPtr_[2] = {};
  float* stretchPtr_[2] = {};
  float* stretchAt_[2] = {};
};

PitchTempoStage::Engine::Engine(int channels, int rate, ReadFunction read, void* user)
    : channels_(channels),
      rate_(rate),
      read_(read),
      user_(user),
      fadeFrames_(std::max(1, int(std::lround(kFadeSeconds * rate)))) {
  // Pitch "high consistency" keeps the resampler in the path at every ratio,
  // so pitch may glide without artefacts; channels together keeps the stereo
  // image steady. Formants shift with the pitch until asked to stay.
  const RB::Options options = RB::OptionProcessRealTime | RB::OptionEngineFiner |
                              RB::OptionPitchHighConsistency | RB::OptionChannelsTogether |
                              RB::OptionFormantShifted | RB::OptionThreadingNever;
  rb_ = std::make_unique<RB>(size_t(rate_), size_t(channels_), std::make_shared<SilentLogger>(), options,
                             1.0, 1.0);
  rb_->setMaxProcessSize(kFeedMax);

  ring_.assign(size_t(kRingFrames) * size_t(channels_), 0.0f);
  feedBuf_.assign(size_t(kFeedMax) * size_t(channels_), 0.0f);
  stretchBuf_.assign(size_t(kBlock) * size_t(channels_), 0.0f);
  bypassBuf_.assign(size_t(kBlock) * size_t(channels_), 0.0f);
  for (int c = 0; c < channels_; ++c) {
    feedPtr_[c] = feedBuf_.data() + size_t(c) * kFeedMax;
    stretchPtr_[c] = stretchBuf_.data() + size_t(c) * kBlock;
  }
  WarmUp();
  startLead_ = MeasureLead();
}

// The resampler behind the stretcher keeps two filter states and alternates
// between them on each pitch change; a reset restarts the current one. A
// state grows its buffer (largest at the highest pitch) and its phase table
// (largest for kMaxPhases phases) only when a pitch needs more than it has,
// on the processing thread. The highest pitch and then the one with
// kMaxPhases phases, twice with a reset in between, hand both sizes to both
// states. Only pitches the stage itself uses are visited.
void PitchTempoStage::Engine::WarmUp() {
  const double mostPhases = double(kPitchDenominator) / double(kMaxPhases);
  for (int round = 0; round < 2; ++round) {
    RunAtPitch(kMaxRatio);
    RunAtPitch(mostPhases);
    rb_->reset();
  }
  // The formant path has buffers of its own: whatever it makes on first
  // use is made here, not during playback.
  rb_->setFormantOption(RB::OptionFormantPreserved);
  RunAtPitch(kMaxRatio);
  RunAtPitch(kMinRatio);
  rb_->reset();
  rb_->setFormantOption(RB::OptionFormantShifted);
  rb_->setPitchScale(1.0);
}

// Feeds silence at `pitch` until the stretcher has produced output (the
// resampler has run), and drains it.
void PitchTempoStage::Engine::RunAtPitch(double pitch) {
  std::fill(feedBuf_.begin(), feedBuf_.end(), 0.0f);
  rb_->setPitchScale(pitch);
  for (int guard = 0; guard < 64 && rb_->available() <= 0; ++guard) {
    const int want = int(std::clamp<size_t>(rb_->getSamplesRequired(), 256, kFeedMax));
    rb_->process(feedPtr_, size_t(want), false);
  }
  while (rb_->available() > 0) rb_->retrieve(stretchPtr_, size_t(std::min(rb_->available(), kBlock)));
}

// Output frames between a reset and the input frame fed after the start
// pad, at unity ratios. getStartDelay() counts the analysis half-window
// only; after a reset the resampler resumes from a full filter buffer of
// earlier frames rather than a half-full one, which delays the stream by a
// few dozen frames more. An impulse run through the stretcher the way
// StartStretch runs it shows the whole lead. The warm-up has already
// brought the resampler's buffers to the size they keep from now on.
double PitchTempoStage::Engine::MeasureLead() {
  const int64_t pad = int64_t(rb_->getPreferredStartPad());
  const int64_t searchEnd = 2 * pad + 8192;  // well past any resampler history
  rb_->setTimeRatio(1.0);
  rb_->setPitchScale(1.0);
  rb_->reset();
  int64_t fed = 0, retrieved = 0, peakAt = -1;
  float peak = 0.0f;
  for (int guard = 0; guard < 1024 && retrieved < searchEnd; ++guard) {
    if (rb_->available() > 0) {
      const int n = int(rb_->retrieve(stretchPtr_, size_t(std::min(rb_->available(), kBlock))));
      for (int i = 0; i < n; ++i) {
        const float v = std::fabs(stretchPtr_[0][i]);
        if (v > peak) peak = v, peakAt = retrieved + i;
      }
      retrieved += n;
      continue;
    }
    const int want = int(std::clamp<size_t>(rb_->getSamplesRequired(), 256, kFeedMax));
    for (int c = 0; c < channels_; ++c) {
      std::fill_n(feedPtr_[c], want, 0.0f);
      if (pad >= fed && pad < fed + want) feedPtr_[c][pad - fed] = 1.0f;
    }
    rb_->process(feedPtr_, size_t(want), false);
    fed += want;
  }
  rb_->reset();
  // The impulse comes out as a clear peak (0.6 … 1.2 from 8 to 48 kHz). If
  // it did not, the start delay is the best estimate left.
  const int64_t startDelay = int64_t(rb_->getStartDelay());
  if (peak < 0.25f || peakAt < startDelay || peakAt > startDelay + 4096) return double(startDelay);
  return double(peakAt);
}

void PitchTempoStage::Engine::Flush() {
  rb_->reset();
  readEnd_ = 0;
  inputEnded_ = false;
  mix_ = 0.0;
  emitted_ = 0;
  bypassPos_ = 0;
  stretchRunning_ = false;
  stretchDone_ = false;
  finalSent_ = false;
  feedPos_ = 0;
  rawRetrieved_ = 0;
  dropTotal_ = dropLeft_ = 0;
  stretchOut_ = 0;
  segmentCount_ = 0;
}

// ---- timeline map ------------------------------------------------------------

void PitchTempoStage::Engine::ResetMap(double in, double ratio) {
  segments_[0] = {0.0, in, ratio};
  segmentCount_ = 1;
}

// Re-anchors the hop map at emitted output count `out` with a new ratio.
void PitchTempoStage::Engine::AddSegment(double out, double ratio) {
  Segment& last = segments_[segmentCount_ - 1];
  if (out <= last.out) {
    last.ratio = ratio;  // no hop since the previous change: it is superseded
    return;
  }
  if (segmentCount_ == kMaxSegments) {
    // Forget pieces the output has passed; keep at least the current one.
    const double now = HopOut(double(stretchOut_));
    int drop = 0;
    while (drop + 1 < segmentCount_ && segments_[drop + 1].out <= now) ++drop;
    if (drop == 0) {
      last.ratio = ratio;  // many changes within one latency: merge
      return;
    }
    std::memmove(segments_, segments_ + drop, sizeof(Segment) * size_t(segmentCount_ - drop));
    segmentCount_ -= drop;
  }
  const Segment& s = segments_[segmentCount_ - 1];
  segments_[segmentCount_++] = {out, s.in + (out - s.out) / s.ratio, ratio};
}

// Hop-map output count of delivered output frame `out`.
double PitchTempoStage::Engine::HopOut(double out) const {
  return out + double(dropTotal_) - lead_ / rbPitch_;
}

double PitchTempoStage::Engine::OutToIn(double out) const {
  const double o = HopOut(out);
  int i = segmentCount_ - 1;
  while (i > 0 && segments_[i].out > o) --i;
  const Segment& s = segments_[i];
  return s.in + (o - s.out) / s.ratio;
}

double PitchTempoStage::Engine::InToOut(double in) const {
  int i = segmentCount_ - 1;
  while (i > 0 && segments_[i].in > in) --i;
  const Segment& s = segments_[i];
  return s.out + (in - s.in) * s.ratio - double(dropTotal_) + lead_ / rbPitch_;
}

// ---- input ---------------------------------------------------------------

void PitchTempoStage::Engine::EnsureInput(int64_t upto) {
  while (readEnd_ < upto && !inputEnded_) {
    const int64_t pos = readEnd_ % kRingFrames;
    const int want = int(std::min(upto - readEnd_, kRingFrames - pos));
    const int floats = read_ ? read_(user_, ring_.data() + pos * channels_, want * channels_) : 0;
    const int got = std::min(want, std::max(0, floats) / channels_);
    if (got <= 0) {
      inputEnded_ = true;
      break;
    }
    readEnd_ += got;
  }
}

// Input frames [from, from + frames) as interleaved floats; indices before 0
// read as silence. The range must be already read and still in the ring.
void PitchTempoStage::Engine::CopyInput(int64_t from, int frames, float* dest) {
  while (frames > 0) {
    if (from < 0) {
      const int n = int(std::min<int64_t>(frames, -from));
      std::fill_n(dest, size_t(n) * channels_, 0.0f);
      dest += size_t(n) * channels_;
      from += n;
      frames -= n;
      continue;
    }
    const int64_t pos = from % kRingFrames;
    const int n = int(std::min<int64_t>(frames, kRingFrames - pos));
    std::memcpy(dest, ring_.data() + pos * channels_, sizeof(float) * size_t(n) * channels_);
    dest += size_t(n) * channels_;
    from += n;
    frames -= n;
  }
}

void PitchTempoStage::Engine::DeinterleaveInput(int64_t from, int frames) {
  for (int i = 0; i < frames; ++i, ++from) {
    if (from < 0) {
      for (int c = 0; c < channels_; ++c) feedPtr_[c][i] = 0.0f;
    } else {
      const float* src = ring_.data() + (from % kRingFrames) * channels_;
      for (int c = 0; c < channels_; ++c) feedPtr_[c][i] = src[c];
    }
  }
}

// ---- bypass path -----------------------------------------------------------

int PitchTempoStage::Engine::PullBypass(float* dest, int frames) {
  EnsureInput(bypassPos_ + frames);
  const int n = int(std::clamp<int64_t>(readEnd_ - bypassPos_, 0, frames));
  CopyInput(bypassPos_, n, dest);
  bypassPos_ += n;
  return n;
}

// ---- stretcher path --------------------------------------------------------

void PitchTempoStage::Engine::StartStretch(int64_t at) {
  rbDuration_ = duration_;
  rbPitch_ = QuantizePitch(pitch_);
  rb_->setTimeRatio(rbDuration_);
  rb_->setPitchScale(rbPitch_);
  rb_->reset();
  feedPos_ = at - int64_t(rb_->getPreferredStartPad());
  lead_ = startLead_;
  dropTotal_ = dropLeft_ = std::llround(lead_ / rbPitch_);
  rawRetrieved_ = 0;
  stretchOut_ = 0;
  finalSent_ = false;
  stretchDone_ = false;
  stretchRunning_ = true;
  ResetMap(double(at), duration_);
}

// Gives the stretcher its next piece of input. False when there is nothing
// more to give.
bool PitchTempoStage::Engine::FeedStretch() {
  if (finalSent_) return false;
  int want = int(std::clamp<size_t>(rb_->getSamplesRequired(), 256, kFeedMax));
  // One frame of look-ahead, so the last block is marked final while it
  // still holds audio: an empty final block loses the stretcher's tail.
  EnsureInput(feedPos_ + want + 1);
  bool final = false;
  if (inputEnded_ && feedPos_ + want >= readEnd_) {
    want = int(std::max<int64_t>(0, readEnd_ - feedPos_));
    final = true;
  }
  DeinterleaveInput(feedPos_, want);
  rb_->process(feedPtr_, size_t(want), final);
  feedPos_ += want;
  finalSent_ = final;
  return true;
}

// Fills stretchPtr_[c][0 .. result) with stretcher output; fewer than
// `frames` only once the stretcher path has ended.
int PitchTempoStage::Engine::PullStretch(int frames) {
  int got = 0;
  while (got < frames && !stretchDone_) {
    int64_t limit = frames - got;
    if (inputEnded_) {
      // Output ends where the last input frame maps to.
      const int64_t end = std::llround(InToOut(double(readEnd_)));
      if (stretchOut_ >= end) {
        stretchDone_ = true;
        break;
      }
      limit = std::min(limit, end - stretchOut_);
    }
    const int avail = rb_->available();
    if (avail > 0) {
      for (int c = 0; c < channels_; ++c) stretchAt_[c] = stretchPtr_[c] + got;
      if (dropLeft_ > 0) {
        const int n = int(std::min<int64_t>({int64_t(avail), dropLeft_, int64_t(frames - got)}));
        const size_t r = rb_->retrieve(stretchAt_, size_t(n));
        rawRetrieved_ += int64_t(r);
        dropLeft_ -= int64_t(r);
        continue;
      }
      const int n = int(std::min<int64_t>(avail, limit));
      const int r = int(rb_->retrieve(stretchAt_, size_t(n)));
      rawRetrieved_ += r;
      stretchOut_ += r;
      got += r;
      continue;
    }
    if (avail < 0 || !FeedStretch()) stretchDone_ = true;
  }
  return got;
}

// ---- control -------------------------------------------------------------

void PitchTempoStage::Engine::ApplyRatios(double pitch, double duration) {
  pitch_ = SanitizeRatio(pitch);
  duration_ = SanitizeRatio(duration);
  const bool unity = pitch_ == 1.0 && duration_ == 1.0;
  if (unity || !stretchRunning_ || stretchDone_) return;
  const double quantized = QuantizePitch(pitch_);
  if (quantized == rbPitch_ && duration_ == rbDuration_) return;
  // The stretcher re-anchors its hop map at the output emitted so far.
  const int avail = std::max(0, rb_->available());
  rbDuration_ = duration_;
  rbPitch_ = quantized;
  rb_->setTimeRatio(rbDuration_);
  rb_->setPitchScale(rbPitch_);
  AddSegment(double(rawRetrieved_ + avail), duration_);
}

int PitchTempoStage::Engine::RenderBlock(float* output, int frames) {
  const bool wantStretch = !(pitch_ == 1.0 && duration_ == 1.0);

  if (wantStretch && mix_ == 0.0 && !stretchRunning_) {
    StartStretch(bypassPos_);
    if (emitted_ == 0) mix_ = 1.0;  // from the very start: no fade
  }
  if (!wantStretch && mix_ == 1.0 && stretchRunning_) {
    // Leaving: the bypass continues from the input the stretcher reached.
    const double at = std::round(OutToIn(double(stretchOut_)));
    bypassPos_ = std::clamp<int64_t>(int64_t(at), std::max<int64_t>(0, readEnd_ - kRingFrames + kBlock),
                                     readEnd_);
  }

  const double step = (wantStretch ? 1.0 : -1.0) / fadeFrames_;
  const double mixEnd = std::clamp(mix_ + step * frames, 0.0, 1.0);

  if (mix_ == 0.0 && mixEnd == 0.0) {
    stretchRunning_ = false;
    const int n = PullBypass(output, frames);
    emitted_ += n;
    return n;
  }
  if (mix_ == 1.0 && mixEnd == 1.0) {
    const int n = PullStretch(frames);
    for (int i = 0; i < n; ++i)
      for (int c = 0; c < channels_; ++c) output[i * channels_ + c] = stretchPtr_[c][i];
    emitted_ += n;
    return n;
  }

  // Crossfade: both paths run; a path that has ended contributes silence.
  const int nb = PullBypass(bypassBuf_.data(), frames);
  const int ns = stretchDone_ ? 0 : PullStretch(frames);
  const int n = std::max(nb, ns);
  double w = mix_;
  for (int i = 0; i < n; ++i) {
    w = std::clamp(w + step, 0.0, 1.0);
    const float gs = FadeGain(w), gb = 1.0f - gs;
    for (int c = 0; c < channels_; ++c) {
      const float b = i < nb ? bypassBuf_[size_t(i) * channels_ + c] : 0.0f;
      const float s = i < ns ? stretchPtr_[c][i] : 0.0f;
      output[i * channels_ + c] = gb * b + gs * s;
    }
  }
  mix_ = w;
  if (mix_ == 0.0) stretchRunning_ = false;
  emitted_ += n;
  return n;
}

int PitchTempoStage::Engine::Process(float* output, int frames, double pitch, double duration,
                                     bool formantPreserved) {
  if (frames <= 0 || !output) return 0;
  if (formantPreserved != formantPreserved_) {
    // The stretcher changes its envelope handling from its next analysis
    // frame on; overlap-add spreads the change, so it does not click.
    formantPreserved_ = formantPreserved;
    rb_->setFormantOption(formantPreserved ? RB::OptionFormantPreserved : RB::OptionFormantShifted);
  }
  ApplyRatios(pitch, duration);
  int done = 0;
  while (done < frames) {
    const int n = RenderBlock(output + size_t(done) * channels_, std::min(kBlock, frames - done));
    if (n == 0) break;
    done += n;
  }
  return done;
}

// ---- public interface --------------------------------------------------------

std::unique_ptr<PitchTempoStage> PitchTempoStage::create(int channels, int sampleRate, ReadFunction read,
                                                         void* user) {
  if (channels < 1 || channels > 2 || sampleRate < 1000 || sampleRate > 384000) return nullptr;
  try {
    return std::unique_ptr<PitchTempoStage>(
        new PitchTempoStage(std::make_unique<Engine>(channels, sampleRate, read, user)));
  } catch (...) {
    return nullptr;  // out of memory, or the stretcher refused the format
  }
}

PitchTempoStage::PitchTempoStage(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}

PitchTempoStage::~PitchTempoStage() = default;

int PitchTempoStage::channels() const { return engine_->channels_; }

int PitchTempoStage::sampleRate() const { return engine_->rate_; }

void PitchTempoStage::setPitchRatio(double ratio) { pitchRatio_.store(ratio, std::memory_order_relaxed); }

void PitchTempoStage::setDurationRatio(double ratio) { durationRatio_.store(ratio, std::memory_order_relaxed); }

void PitchTempoStage::setPitchSemitones(double semitones) { setPitchRatio(std::pow(2.0, semitones / 12.0)); }

void PitchTempoStage::setTempoSteps(double steps) { setDurationRatio(std::pow(2.0, -steps / 12.0)); }

double PitchTempoStage::pitchRatio() const { return pitchRatio_.load(std::memory_order_relaxed); }

double PitchTempoStage::durationRatio() const { return durationRatio_.load(std::memory_order_relaxed); }

void PitchTempoStage::setFormantPreserved(bool on) { formantPreserved_.store(on, std::memory_order_relaxed); }

bool PitchTempoStage::formantPreserved() const { return formantPreserved_.load(std::memory_order_relaxed); }

int PitchTempoStage::latencyFrames() const { return engine_->LatencyFrames(); }

int PitchTempoStage::process(float* output, int frames) {
  return engine_->Process(output, frames, pitchRatio_.load(std::memory_order_relaxed),
                          durationRatio_.load(std::memory_order_relaxed),
                          formantPreserved_.load(std::memory_order_relaxed));
}

void PitchTempoStage::flush() { engine_->Flush(); }
