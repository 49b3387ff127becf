#include "engine/effect_chain.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "decode/audio_file_reader.h"

int CornerFrequency(int wanted, int sampleRate) { return wanted > sampleRate / 2 ? sampleRate / 4 : wanted; }

std::unique_ptr<EffectChain> EffectChain::create(AudioFileReader& source) {
  const int rate = source.sampleRate(), channels = source.channels();
  if (rate <= 0 || channels < 1 || channels > 2) return nullptr;
  try {
    std::unique_ptr<EffectChain> chain(new EffectChain(source, rate, channels));
    if (!chain->pitchStage_) return nullptr;
    return chain;
  } catch (const std::exception&) {
    return nullptr;
  }
}

EffectChain::EffectChain(AudioFileReader& source, int sampleRate, int channels)
    : source_(source),
      sampleRate_(sampleRate),
      channels_(channels),
      bassCornerHz_(CornerFrequency(200, sampleRate)),
      trebleCornerHz_(CornerFrequency(16000, sampleRate)),
      speed_(std::make_unique<SpeedStage>()),
      bass_(std::make_unique<ShelfFilter>(channels)),
      treble_(std::make_unique<ShelfFilter>(channels)),
      limiter_(std::make_unique<PeakLimiter>(channels, sampleRate, kPlaybackCeilingDb)),
      scratch_(new float[size_t(kScratchFrames) * size_t(channels)]) {
  // Each filter starts flat at its corner.
  bass_->set(ShelfType::Low, double(bassCornerHz_) / sampleRate, 0.5, 0);
  treble_->set(ShelfType::High, double(trebleCornerHz_) / sampleRate, 0.5, 0);
  speed_->configure(channels);
  auto read = [](void* user, float* buffer, int floats) { return static_cast<EffectChain*>(user)->readSource(buffer, floats); };
  pitchStage_ = PitchTempoStage::create(channels, sampleRate, read, this);
}

EffectChain::~EffectChain() = default;

// ---- the reading thread ----

int EffectChain::readSource(float* buffer, int floats) {
  if (const int64_t end = sourceEnd(); end >= 0) {
    const int64_t left = end - source_.positionFrames();
    if (left <= 0) return 0;
    floats = int(std::min<int64_t>(floats, left * channels_));
  }
  if (!loop_.active() || source_.decoder() == nullptr)
    return int(source_.read(buffer, floats / channels_)) * channels_;
  const int64_t frames = loop_.read(*source_.decoder(), buffer, floats / channels_);
  source_.updatePosition();
  return int(frames) * channels_;
}

bool EffectChain::anyEffectOn() const {
  if (speedOn_.load(std::memory_order_relaxed) || bassOn_.load(std::memory_order_relaxed) ||
      trebleOn_.load(std::memory_order_relaxed))
    return true;
  return pitchStage_->pitchRatio() != 1.0 || pitchStage_->durationRatio() != 1.0;
}

int EffectChain::readBlock(float* out, int requestFrames, int capacityFrames, bool* sourceEnded) {
  requestFrames = std::min(requestFrames, capacityFrames / 4);
  int frames = requestFrames > 0 ? pitchStage_->process(out, requestFrames) : 0;
  const bool ended = frames == 0;
  *sourceEnded = ended;

  if (speedOn_.load(std::memory_order_relaxed)) {
    if (!ended)
      speed_->put(out, frames);
    else
      speed_->endOfInput();
    // The block bounds what one call may return; whatever does not fit stays
    // in the stage for the next block rather than being lost.
    int written = 0;
    for (;;) {
      const int want = std::min(capacityFrames - written, kScratchFrames);
      if (want <= 0) break;
      const int n = speed_->get(scratch_.get(), want);
      if (n <= 0) break;
      std::memcpy(out + size_t(written) * size_t(channels_), scratch_.get(), size_t(n) * size_t(channels_) * sizeof(float));
      written += n;
    }
    if (ended) speed_->clear();
    frames = written;
  }
  if (bassOn_.load(std::memory_order_relaxed)) bass_->process(out, frames);
  if (trebleOn_.load(std::memory_order_relaxed)) treble_->process(out, frames);

  // The limiter joins when an effect comes on: it holds its delay back, so
  // the output goes on without a gap. It leaves once the effects are off and
  // its release has ended, handing back what it held, so nothing repeats
  // and the gain makes no step; at the end of the stream it hands it back
  // as well (what does not fit comes with the next, empty, block).
  const bool on = anyEffectOn() && limiterEnabled_.load(std::memory_order_relaxed);
  if (on || limiterInPath_) {
    limiterInPath_ = true;
    frames = limiter_->process(out, frames, on);
    if (ended || (!on && limiter_->atRest())) {
      frames += limiter_->drain(out + size_t(frames) * size_t(channels_), capacityFrames - frames);
      limiterInPath_ = limiter_->heldFrames() > 0;
    }
  }
  return frames;
}

// ---- the owner's thread ----

void EffectChain::flush() {
  bass_->flush();
  treble_->flush();
  limiter_->reset();
  limiterInPath_ = false;
  pitchStage_->flush();
  loop_.reset();
  speed_->clear();
}

void EffectChain::setCeilingDb(double dBTP) { limiter_->setCeilingDb(dBTP); }

void EffectChain::setDurationRatio(double ratio) { pitchStage_->setDurationRatio(ratio); }

void EffectChain::setValues(const EffectValues& v) {
  const double oldTrebleDb = TrebleGainDb(values_.treblePercent), oldBassDb = BassGainDb(values_.bassPercent);
  values_ = v;
  speed_->setSpeedPercent(static_cast<float>(v.speedPercent));
  speedOn_.store(v.speedPercent != 0, std::memory_order_relaxed);

  pitchStage_->setDurationRatio(100.0 / (100.0 + v.tempoPercent));
  const double cents = std::isfinite(v.fineTuneCents) ? std::clamp(v.fineTuneCents, -100.0, 100.0) : 0.0;
  // Without a fine offset the pitch goes to the stage as it is, so a
  // render's figures do not pick up a rounding of the sum.
  pitchStage_->setPitchSemitones(cents == 0 ? v.pitchSemitones : v.pitchSemitones + cents / 100.0);
  pitchStage_->setFormantPreserved(v.formantsPreserved);

  // A shelf is set again only when its gain moves: another value changing
  // leaves it as it is.
  const double trebleDb = TrebleGainDb(v.treblePercent), bassDb = BassGainDb(v.bassPercent);
  if (trebleDb != oldTrebleDb) treble_->set(ShelfType::High, double(trebleCornerHz_) / sampleRate_, 0.5, trebleDb);
  trebleOn_.store(trebleDb != 0, std::memory_order_relaxed);
  if (bassDb != oldBassDb) bass_->set(ShelfType::Low, double(bassCornerHz_) / sampleRate_, 0.5, bassDb);
  bassOn_.store(bassDb != 0, std::memory_order_relaxed);
}
