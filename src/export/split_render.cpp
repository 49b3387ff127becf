#include "export/split_render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>

#include "decode/audio_decoder.h"
#include "decode/audio_file_reader.h"
#include "dsp/peak_limiter.h"
#include "engine/effect_chain.h"
#include "engine/session.h"
#include "export/seam_finder.h"

namespace {

constexpr int kPieceCounts[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32};
constexpr int64_t kMaxGridStep = 65536;
// Frames a piece thread asks its session for at a time: between two looks
// at the stop, about 0.1 s of output (some 20 ms of work).
constexpr size_t kPieceBlock = 4096;
// Frames the joiner produces at a time, and the size of a piece's chunks.
constexpr size_t kJoinBlock = 8192;
constexpr int64_t kChunkFrames = 8192;
// What a lag costs at the edge of its window, in correlation: two
// renderings of music that hardly correlate anywhere keep lag 0.
constexpr double kLagPenalty = 0.25;
constexpr int64_t kOpenEnd = std::numeric_limits<int64_t>::max();
// How far the piece being joined may run ahead of the join.
constexpr double kHeadBacklogSeconds = 2.0;

// The pitch stage's own rule for a ratio (pitch_tempo_stage.h).
double StageRatio(double v) {
  if (!std::isfinite(v) || v <= 0) return 1.0;
  v = std::clamp(v, 0.5, 2.0);
  return std::fabs(v - 1.0) < 1e-9 ? 1.0 : v;
}

// The speed stage's ratio for a percent, which it takes as a float
// (speed.h); 1 when the stage is off.
double SpeedRatio(double percent) {
  if (percent == 0) return 1.0;
  float p = float(percent);
  if (!std::isfinite(p)) p = 0.0f;
  p = std::clamp(p, -50.0f, 100.0f);
  return 100.0 / (100.0 + double(p));
}

bool NearWhole(double x) { return std::fabs(x - std::round(x)) < 1e-6; }

int64_t RegionEnd(Session& session) {
  const int64_t length = session.reader().lengthFrames();
  const int64_t end = session.chain().sourceEnd();
  return end >= 0 ? std::min(end, length) : length;
}

}  // namespace

int PieceCount(int64_t frames, int rate, const SplitSettings& settings) {
  if (settings.pieces > 0) return settings.pieces;
  if (rate <= 0 || frames <= 0 || !(settings.minPieceSeconds > 0)) return 1;
  const double fit = double(frames) / (settings.minPieceSeconds * rate);
  int count = 1;
  for (const int c : kPieceCounts)
    if (double(c) <= fit) count = c;
  return count;
}

std::optional<SplitGrid> FindSplitGrid(double durationRatio, double speedPercent) {
  const double duration = StageRatio(durationRatio);
  const double speed = SpeedRatio(speedPercent);
  for (int64_t step = 1; step <= kMaxGridStep; ++step) {
    const double stretched = double(step) * duration;
    if (!NearWhole(stretched)) continue;
    const double out = std::round(stretched) * speed;
    if (!NearWhole(out)) continue;
    return SplitGrid{duration * speed, step, std::llround(out)};
  }
  return std::nullopt;
}

// One piece: its place in the plan (set once by its thread, under lock_),
// and its output from the frame the join needs on, in chunks, indexed by
// joined output frame: [first, end). Under lock_ but for progress.
struct SplitRender::Piece {
  bool planned = false;
  int64_t seamFrom = 0, seamTo = 0;  // its own span of the source
  int64_t centre = 0;                // joined frame the fade into it is centred on
  int64_t handOver = 0;              // joined frame the fade out of it begins on
  int64_t storeFrom = 0, storeTo = 0;
  std::deque<std::unique_ptr<float[]>> chunks;
  int64_t first = 0, end = 0;
  bool ended = false;      // nothing more will come
  bool endedShort = false;  // its source ended before the length it states
  std::string shortEnd;
  // Source frames of its span read so far; any thread.
  std::atomic<int64_t> progress{0};
};

// A seam between two pieces, found once by whichever of them needs it
// first (call_once orders the finding before every later look).
struct SplitRender::Seam {
  std::once_flag once;
  int64_t source = 0;
};

int SplitRender::plannedPieces(Session& session, const SplitSettings& settings) {
  EffectChain& chain = session.chain();
  const PitchTempoStage& stage = chain.pitchStage();
  const double duration = StageRatio(stage.durationRatio());
  const double pitch = StageRatio(stage.pitchRatio());
  const double speedPercent = chain.values().speedPercent;
  if (duration == 1.0 && pitch == 1.0 && speedPercent == 0) return 1;  // nothing stretches
  const int rate = session.sampleRate();
  const int64_t frames = RegionEnd(session) - session.reader().positionFrames();
  const std::optional<SplitGrid> grid = FindSplitGrid(stage.durationRatio(), speedPercent);
  if (!grid || rate <= 0 || frames <= 0) return 1;
  int count = PieceCount(frames, rate, settings);
  // Each piece holds its pre-roll, the fades and the seam search several
  // times over; pieces asked for beyond that are fewer.
  const double overhead = kPrerollSeconds * rate + (kCrossfadeSeconds + 2 * kLagSeconds) * rate / grid->ratio +
                          double(grid->sourceStep);
  count = int(std::min<int64_t>(count, int64_t(double(frames) / (4.0 * overhead))));
  return std::max(count, 1);
}

SplitRender::SplitRender(std::unique_ptr<Session> firstSession, const SplitSettings& settings, std::stop_token stop,
                         FailureHandler onFailure)
    : fileName_(firstSession->fileName()),
      channels_(firstSession->channels()),
      rate_(firstSession->sampleRate()),
      length_(firstSession->reader().lengthFrames()),
      values_(firstSession->chain().values()),
      pitchRatio_(firstSession->chain().pitchStage().pitchRatio()),
      durationRatio_(firstSession->chain().pitchStage().durationRatio()),
      formantPreserved_(firstSession->chain().pitchStage().formantPreserved()),
      onFailure_(std::move(onFailure)),
      relay_(std::move(stop), Relay{&halt_}),
      first_(std::move(firstSession)) {
  Session& first = *first_;
  const int count = plannedPieces(first, settings);
  const std::optional<SplitGrid> grid = FindSplitGrid(durationRatio_, values_.speedPercent);
  if (count < 2 || !grid) throw std::logic_error("A save that stays whole was to be split");
  grid_ = *grid;
  regionFrom_ = first.reader().positionFrames();
  regionEnd_ = RegionEnd(first);
  chainEnd_ = first.chain().sourceEnd();
  fadeFrames_ = std::max<int64_t>(2, std::llround(kCrossfadeSeconds * rate_ / 2) * 2);
  lagFrames_ = std::max<int64_t>(1, std::llround(kLagSeconds * rate_));
  prerollFrames_ = std::llround(kPrerollSeconds * rate_);
  const int64_t piece = (regionEnd_ - regionFrom_) / count;
  halfSpan_ = std::min<int64_t>(std::llround(std::max(0.0, settings.searchSeconds) * rate_), piece / 4);

  for (int i = 0; i < count; ++i) pieces_.push_back(std::make_unique<Piece>());
  for (int i = 0; i <= count; ++i) seamsFound_.push_back(std::make_unique<Seam>());
  unsigned cores = std::thread::hardware_concurrency();
  threadCount_ = std::clamp(settings.threads > 0 ? settings.threads : int(std::max(cores, 1u)), 1, count);

  limiter_ = std::make_unique<PeakLimiter>(channels_, rate_, first.chain().ceilingDb());
  block_.assign((kJoinBlock + size_t(limiter_->latencyFrames()) + 16) * size_t(channels_), 0.0f);
  fade_.assign(size_t(fadeFrames_) * size_t(channels_), 0.0f);
  fadeA_.assign(fade_.size(), 0.0f);
  fadeB_.assign(size_t(fadeFrames_ + 2 * lagFrames_) * size_t(channels_), 0.0f);
  configure(first);
}

SplitRender::~SplitRender() {
  halt_.request_stop();
  workers_.clear();  // joins
  first_.reset();
}

void SplitRender::start() {
  workers_.reserve(size_t(threadCount_));
  for (int w = 0; w < threadCount_; ++w) workers_.emplace_back([this] { work(); });
}

void SplitRender::fail(const std::string& text) {
  std::call_once(failOnce_, [&] {
    if (onFailure_) onFailure_(text);
  });
  halt_.request_stop();
}

void SplitRender::configure(Session& session) const {
  EffectChain& chain = session.chain();
  chain.setValues(values_);
  // The stage's own ratios, should they have been set apart from the values.
  chain.pitchStage().setPitchRatio(pitchRatio_);
  chain.setDurationRatio(durationRatio_);
  chain.pitchStage().setFormantPreserved(formantPreserved_);
  chain.loop().clear();
  chain.setLimiterEnabled(false);  // the joined stream is limited once
}

std::unique_ptr<Session> SplitRender::openSession() {
  // Opened quietly first: a reader that cannot open shows a message, and
  // nothing may be shown from here; the failure is the job's one message.
  AudioError error = AudioError::None;
  std::string reason;
  if (!AudioDecoder::open(fileName_, &error, &reason)) {
    fail(fileName_ + ": " + (reason.empty() ? std::string("cannot be read again") : reason));
    return nullptr;
  }
  std::string problem;
  std::unique_ptr<Session> session = Session::open(fileName_, &problem);
  if (!session) {
    fail(fileName_ + ": " + (problem.empty() ? std::string("cannot be read again") : problem));
    return nullptr;
  }
  if (session->channels() != channels_ || session->sampleRate() != rate_ ||
      session->reader().lengthFrames() != length_) {
    fail(fileName_ + ": the file changed while it was being saved");
    return nullptr;
  }
  configure(*session);
  return session;
}

void SplitRender::work() {
  try {
    for (;;) {
      size_t index = 0;
      {
        std::unique_lock lock(lock_);
        index = nextPiece_++;
        if (index >= pieces_.size()) return;
        // At most threadCount_ pieces, the one being joined among them, hold
        // output at a time; two with one thread, which must render the next
        // piece's start before the join can leave the one before it.
        const size_t inFlight = size_t(std::max(threadCount_, 2));
        if (!changed_.wait(lock, halt_.get_token(), [&] { return index < head_ + inFlight; })) return;
      }
      // Every piece but the first on a chain of its own, opened for it: a
      // stretcher that has run keeps traces of it through a reset, and the
      // output must not depend on which thread rendered what before.
      std::unique_ptr<Session> own;
      if (index > 0) {
        if (halted()) return;
        own = openSession();
        if (!own || halted()) return;
      }
      renderPiece(index, own ? *own : *first_);
      // The save's own session has done its part: its memory goes now.
      if (index == 0) first_.reset();
      if (halted()) return;
    }
  } catch (const std::exception& e) {
    fail(fileName_ + ": " + e.what());
  } catch (...) {
    fail(fileName_ + ": the save could not be rendered");
  }
}

int64_t SplitRender::seamAt(size_t index, Session& session) {
  if (index == 0) return regionFrom_;
  if (index == pieces_.size()) return regionEnd_;
  Seam& seam = *seamsFound_[index];
  std::call_once(seam.once, [&] {
    const int64_t length = regionEnd_ - regionFrom_;
    const int64_t cut = regionFrom_ + int64_t(double(length) * double(index) / double(pieces_.size()));
    const int64_t fadeSource = int64_t(std::ceil(double(fadeFrames_) / grid_.ratio));
    seam.source = FindSeam(session.reader(), cut, halfSpan_, cut - halfSpan_, cut + halfSpan_, fadeSource);
  });
  return seam.source;
}

void SplitRender::renderPiece(size_t index, Session& session) {
  Piece& piece = *pieces_[index];
  const bool last = index + 1 == pieces_.size();
  const int64_t from = seamAt(index, session);
  if (halted()) return;
  const int64_t to = seamAt(index + 1, session);
  if (halted()) return;

  // The chain starts on the grid, a pre-roll before the frames the join
  // needs: the fade's and the lag's.
  int64_t start = regionFrom_;
  if (index > 0) {
    const int64_t margin = prerollFrames_ + int64_t(std::ceil(double(fadeFrames_ / 2 + lagFrames_) / grid_.ratio));
    start += std::max<int64_t>(0, from - margin - regionFrom_) / grid_.sourceStep * grid_.sourceStep;
  }
  const int64_t offset = (start - regionFrom_) / grid_.sourceStep * grid_.outputStep;
  const int64_t centre = std::llround(double(from - regionFrom_) * grid_.ratio);
  const int64_t nextFadeEnd = std::llround(double(to - regionFrom_) * grid_.ratio) - fadeFrames_ / 2 + fadeFrames_;
  {
    std::lock_guard lock(lock_);
    piece.seamFrom = from;
    piece.seamTo = to;
    piece.centre = centre;
    piece.storeFrom = index == 0 ? 0 : centre - fadeFrames_ / 2 - lagFrames_;
    piece.storeTo = last ? kOpenEnd : nextFadeEnd + lagFrames_;
    piece.handOver = nextFadeEnd - fadeFrames_;
    piece.first = piece.end = piece.storeFrom;
    piece.planned = true;
  }
  changed_.notify_all();

  session.seekFrame(start);
  session.flush();
  session.chain().setSourceEnd(chainEnd_);
  const AudioFileReader& reader = session.reader();
  const size_t ch = size_t(channels_);
  std::vector<float> buffer(kPieceBlock * ch);
  int64_t produced = 0;
  bool sourceEnded = false;
  while (!halted()) {
    const int64_t at = offset + produced;  // joined frame of buffer[0]
    // No further than the join needs: the last block asks for the rest only.
    const size_t want = size_t(std::clamp<int64_t>(piece.storeTo - at, 1, int64_t(kPieceBlock)));
    const size_t n = session.read(buffer.data(), want);
    produced += int64_t(n);
    const int64_t keepFrom = std::max(at, piece.storeFrom);
    const int64_t keepTo = std::min(at + int64_t(n), piece.storeTo);
    piece.progress.store(std::clamp<int64_t>(reader.positionFrames() - from, 0, to - from));
    if (keepTo > keepFrom) {
      const float* data = buffer.data() + size_t(keepFrom - at) * ch;
      int64_t left = keepTo - keepFrom;
      std::unique_lock lock(lock_);
      while (left > 0) {
        const int64_t used = piece.end - piece.first;
        if (used == int64_t(piece.chunks.size()) * kChunkFrames) {
          lock.unlock();
          auto chunk = std::make_unique<float[]>(size_t(kChunkFrames) * ch);
          lock.lock();
          piece.chunks.push_back(std::move(chunk));
        }
        const int64_t inChunk = used % kChunkFrames;
        const int64_t take = std::min(left, kChunkFrames - inChunk);
        std::memcpy(piece.chunks.back().get() + size_t(inChunk) * ch, data, size_t(take) * ch * sizeof(float));
        piece.end += take;
        data += size_t(take) * ch;
        left -= take;
      }
      lock.unlock();
      changed_.notify_all();
      // The piece being joined goes no further ahead of the join than the
      // writer can take: a slow disk or encoder must not let it pile up.
      lock.lock();
      const int64_t backlog = int64_t(kHeadBacklogSeconds * rate_);
      if (!changed_.wait(lock, halt_.get_token(), [&] { return head_ != index || piece.end - piece.first <= backlog; }))
        break;
    }
    if (at + int64_t(n) >= piece.storeTo) break;
    if (n < want) {
      sourceEnded = true;
      break;
    }
  }
  sourceRead_.fetch_add(reader.positionFrames() - start);
  {
    std::lock_guard lock(lock_);
    piece.ended = true;
    if (sourceEnded && reader.endedShort()) {
      piece.endedShort = true;
      piece.shortEnd = reader.shortEndDescription();
    }
  }
  changed_.notify_all();
}

double SplitRender::sourceReadShare() const {
  const int64_t length = regionEnd_ - regionFrom_;
  return length > 0 ? double(sourceRead_.load()) / double(length) : 0.0;
}

int SplitRender::percent() const {
  const int64_t length = regionEnd_ - regionFrom_;
  if (length <= 0) return 100;
  int64_t read = 0;
  for (const auto& piece : pieces_) read += piece->progress.load();
  return int(std::clamp<int64_t>(read * 100 / length, 0, 100));
}

// ---- the joiner ----

bool SplitRender::waitForFrames(Piece& piece, int64_t until, std::unique_lock<std::mutex>& lock) {
  return changed_.wait(lock, halt_.get_token(),
                       [&] { return piece.planned && (piece.end >= until || piece.ended); });
}

size_t SplitRender::copyFrames(Piece& piece, int64_t from, size_t frames, float* out) {
  const size_t ch = size_t(channels_);
  size_t done = 0;
  while (done < frames) {
    const int64_t at = from + int64_t(done) - piece.first;
    const size_t chunk = size_t(at / kChunkFrames);
    const int64_t inChunk = at % kChunkFrames;
    const size_t take = std::min(frames - done, size_t(kChunkFrames - inChunk));
    std::memcpy(out + done * ch, piece.chunks[chunk].get() + size_t(inChunk) * ch, take * ch * sizeof(float));
    done += take;
  }
  return done;
}

void SplitRender::finishEarly(Piece& piece) {
  // The source ended before this piece's part of it (damaged or cut
  // short): the output ends here, as the whole render's would.
  endedShort_ = true;
  shortEnd_ = piece.shortEnd;
  joinEnded_ = true;
  halt_.request_stop();
}

bool SplitRender::fadeInto(size_t next) {
  const size_t ch = size_t(channels_);
  const int64_t fade = fadeFrames_, window = lagFrames_;
  const int64_t begin = position_;
  Piece& a = *pieces_[next - 1];
  Piece& b = *pieces_[next];
  {
    std::unique_lock lock(lock_);
    if (!waitForFrames(a, begin + lag_ + fade, lock) || !waitForFrames(b, begin + fade + window, lock)) return false;
    const bool aShort = a.end < begin + lag_ + fade, bShort = b.end < begin + fade + window;
    if (aShort || bShort || a.first > begin + lag_ || b.first > begin - window) {
      finishEarly(bShort ? b : a);
      return false;
    }
    copyFrames(a, begin + lag_, size_t(fade), fadeA_.data());
    copyFrames(b, begin - window, size_t(fade + 2 * window), fadeB_.data());
  }

  // The lag that best correlates the two over the fade, nearest 0 first.
  const size_t span = size_t(fade) * ch;
  double energyA = 0;
  for (size_t i = 0; i < span; ++i) energyA += double(fadeA_[i]) * fadeA_[i];
  std::vector<double> prefix(size_t(fade + 2 * window) + 1, 0.0);
  for (size_t f = 0; f + 1 < prefix.size(); ++f) {
    double e = 0;
    for (size_t c = 0; c < ch; ++c) e += double(fadeB_[f * ch + c]) * fadeB_[f * ch + c];
    prefix[f + 1] = prefix[f] + e;
  }
  const double tiny = 1e-12 * double(span);
  int64_t lag = 0;
  double correlation = 1.0;
  if (energyA > tiny) {
    double bestScore = -std::numeric_limits<double>::infinity();
    for (int64_t d = 0; d <= window; ++d) {
      for (const int64_t candidate : {-d, d}) {
        if (d == 0 && candidate > 0) continue;
        const size_t at = size_t(window + candidate);
        const double energyB = prefix[at + size_t(fade)] - prefix[at];
        if (energyB <= tiny) continue;
        const float* x = fadeA_.data();
        const float* y = fadeB_.data() + at * ch;
        double dot = 0;
        for (size_t i = 0; i < span; ++i) dot += double(x[i]) * double(y[i]);
        const double c = dot / std::sqrt(energyA * energyB);
        const double score = c - kLagPenalty * double(d) / double(window);
        if (score > bestScore) {
          bestScore = score;
          lag = candidate;
          correlation = c;
        }
      }
    }
  }
  const double rho = std::clamp(correlation, 0.0, 1.0);
  const float* y = fadeB_.data() + size_t(window + lag) * ch;
  for (int64_t i = 0; i < fade; ++i) {
    const double w = 0.5 - 0.5 * std::cos(M_PI * (double(i) + 0.5) / double(fade));
    const double ga = 1.0 - w, gb = w;
    const double norm = std::sqrt(ga * ga + gb * gb + 2.0 * rho * ga * gb);
    for (size_t c = 0; c < ch; ++c) {
      const size_t k = size_t(i) * ch + c;
      fade_[k] = float((ga * fadeA_[k] + gb * y[k]) / norm);
    }
  }
  reports_.push_back(SeamReport{b.seamFrom, b.centre, lag, correlation});
  {
    std::lock_guard lock(lock_);
    a.chunks.clear();
    a.first = a.end;
    head_ = next;
  }
  changed_.notify_all();
  lag_ = lag;
  fadeNext_ = 0;
  fadeEnd_ = size_t(fade);
  return true;
}

size_t SplitRender::produce(float* out, size_t frames) {
  const size_t ch = size_t(channels_);
  size_t done = 0;
  while (done < frames) {
    if (fadeNext_ < fadeEnd_) {
      const size_t n = std::min(frames - done, fadeEnd_ - fadeNext_);
      std::memcpy(out + done * ch, fade_.data() + fadeNext_ * ch, n * ch * sizeof(float));
      fadeNext_ += n;
      done += n;
      position_ += int64_t(n);
      continue;
    }
    if (joinEnded_) break;
    std::unique_lock lock(lock_);
    const size_t k = head_;
    Piece& piece = *pieces_[k];
    const bool last = k + 1 == pieces_.size();
    if (!changed_.wait(lock, halt_.get_token(), [&] { return piece.planned; })) {
      joinEnded_ = true;
      break;
    }
    const int64_t want = int64_t(frames - done);
    if (!last) {
      const int64_t handOver = piece.handOver;
      if (position_ >= handOver) {
        lock.unlock();
        if (!fadeInto(k + 1)) joinEnded_ = true;
        continue;
      }
      const int64_t source = position_ + lag_;
      if (!waitForFrames(piece, source + 1, lock)) {
        joinEnded_ = true;
        break;
      }
      if (piece.end <= source) {
        finishEarly(piece);
        break;
      }
      const int64_t n = std::min({want, handOver - position_, piece.end - source});
      copyFrames(piece, source, size_t(n), out + done * ch);
      done += size_t(n);
      position_ += n;
    } else {
      // The last piece: its end is the whole render's, at its own place
      // whatever the lag; frames that the lag took are made up with
      // silence, frames it added are left out.
      const int64_t ahead = std::max<int64_t>(lag_, 0);
      if (!waitForFrames(piece, position_ + ahead + 1, lock)) {
        joinEnded_ = true;
        break;
      }
      if (piece.ended && total_ < 0) {
        total_ = piece.end;
        endedShort_ = piece.endedShort;
        shortEnd_ = piece.shortEnd;
      }
      const int64_t limit = piece.ended ? total_ : piece.end - ahead;
      if (position_ >= limit) {
        joinEnded_ = true;
        break;
      }
      const int64_t n = std::min(want, limit - position_);
      const int64_t source = position_ + lag_;
      const int64_t held = std::clamp<int64_t>(piece.end - source, 0, n);
      if (held > 0) copyFrames(piece, source, size_t(held), out + done * ch);
      std::fill(out + (done + size_t(held)) * ch, out + (done + size_t(n)) * ch, 0.0f);
      done += size_t(n);
      position_ += n;
    }
    // Whole chunks the join has passed go.
    bool released = false;
    while (!piece.chunks.empty() && piece.first + kChunkFrames <= position_ + lag_) {
      piece.chunks.pop_front();
      piece.first += kChunkFrames;
      released = true;
    }
    if (released) changed_.notify_all();
  }
  return done;
}

size_t SplitRender::read(float* out, size_t frames) {
  const size_t ch = size_t(channels_);
  size_t done = 0;
  while (done < frames) {
    if (blockNext_ == blockHeld_) {
      if (limiterDrained_) break;
      const size_t raw = produce(block_.data(), kJoinBlock);
      size_t n = size_t(limiter_->process(block_.data(), int(raw), true));
      if (raw < kJoinBlock) {
        // The end: the limiter hands back what it held.
        const size_t capacity = block_.size() / ch;
        n += size_t(limiter_->drain(block_.data() + n * ch, int(capacity - n)));
        limiterDrained_ = true;
      }
      blockHeld_ = n;
      blockNext_ = 0;
      continue;
    }
    const size_t n = std::min(frames - done, blockHeld_ - blockNext_);
    std::memcpy(out + done * ch, block_.data() + blockNext_ * ch, n * ch * sizeof(float));
    blockNext_ += n;
    done += n;
  }
  return done;
}
