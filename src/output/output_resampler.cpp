#include "output/output_resampler.h"

#include <samplerate.h>

#include <algorithm>
#include <new>

namespace {
// Some 97 dB of signal to noise over 90 % of the band: far below what a
// sound card adds, at a fraction of the best converter's cost.
constexpr int kConverter = SRC_SINC_MEDIUM_QUALITY;
}  // namespace

void Resampler::StateDeleter::operator()(SRC_STATE_tag* state) const { src_delete(state); }

Resampler::Resampler(int inRate, int outRate, int channels)
    : inRate_(inRate), outRate_(outRate), channels_(channels), ratio_(double(outRate) / double(inRate)) {
  int error = 0;
  state_.reset(src_new(kConverter, channels, &error));
  if (!state_) throw std::bad_alloc();
}

Resampler::~Resampler() = default;

void Resampler::reset() {
  src_reset(state_.get());
  taken_ = made_ = 0;
  finished_ = false;
}

double Resampler::pending() const {
  return std::max(0.0, double(taken_) - double(made_) / ratio_);
}

Resampler::Step Resampler::process(const float* in, size_t inFrames, float* out, size_t outFrames, bool endOfInput) {
  Step step{0, 0};
  if (finished_ || outFrames == 0) return step;
  const size_t ch = size_t(channels_);
  // libsamplerate refuses null pointers even for empty input.
  static const float kNothing[8] = {};
  SRC_DATA d{};
  d.data_in = inFrames > 0 ? in : kNothing;
  d.input_frames = long(inFrames);
  d.data_out = out;
  d.output_frames = long(outFrames);
  d.end_of_input = endOfInput ? 1 : 0;
  d.src_ratio = ratio_;
  // The whole length is known once the input ends: never make more.
  uint64_t total = 0;
  if (endOfInput) {
    total = ((taken_ + inFrames) * uint64_t(outRate_) + uint64_t(inRate_) - 1) / uint64_t(inRate_);
    d.output_frames = long(std::min<uint64_t>(outFrames, total > made_ ? total - made_ : 0));
  }
  if (endOfInput && d.output_frames == 0) {
    // Every output frame is out: what input is left adds nothing.
    taken_ += inFrames;
    finished_ = true;
    return Step{inFrames, 0};
  }
  if (src_process(state_.get(), &d) == 0) {
    step.used = size_t(d.input_frames_used);
    step.made = size_t(d.output_frames_gen);
  }
  taken_ += step.used;
  made_ += step.made;
  if (endOfInput && step.used == inFrames) {
    total = (taken_ * uint64_t(outRate_) + uint64_t(inRate_) - 1) / uint64_t(inRate_);
    if (step.made == 0 && made_ < total) {
      // The converter's tail came out short of the exact length: silence
      // makes up the last frame or two.
      const size_t pad = size_t(std::min<uint64_t>(total - made_, outFrames));
      std::fill(out, out + pad * ch, 0.0f);
      step.made = pad;
      made_ += pad;
    }
    if (made_ >= total) finished_ = true;
  }
  return step;
}
