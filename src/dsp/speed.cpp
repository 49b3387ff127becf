// Speed stage on libsamplerate's variable-ratio sinc converter.
//
// Input is queued at put and converted lazily in get, straight into the
// caller's buffer. That keeps memory at one input queue (allocated in
// configure) and makes every src_process call ask for one caller-sized
// chunk of output, which is the span over which libsamplerate glides from
// the last ratio to a new one: speed changes sweep instead of jumping.
#include "dsp/speed.h"

#include <samplerate.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr int kMaxPendingFrames = 1 << 18;

struct SrcStateDeleter {
  void operator()(SRC_STATE* s) const { src_delete(s); }
};

double RatioFor(float percent) {
  if (!std::isfinite(percent)) percent = 0.0f;
  percent = std::clamp(percent, -50.0f, 100.0f);
  return 100.0 / (100.0 + double(percent));
}

}  // namespace

struct SpeedStage::State {
  std::atomic<float> percent{0.0f};

  std::unique_ptr<SRC_STATE, SrcStateDeleter> src;
  int channels = 0;
  double ratio = 1.0;  // processing thread's copy, refreshed at each put

  std::vector<float> queue;  // kMaxPendingFrames × channels
  int head = 0;              // first pending frame
  int tail = 0;              // one past the last pending frame
  bool flushed = false;      // end_of_input given; no more input accepted
  bool drained = false;      // the converter has delivered its last frame

  void Reset() {
    if (src) src_reset(src.get());
    head = tail = 0;
    flushed = drained = false;
  }
};

SpeedStage::SpeedStage() : state_(std::make_unique<State>()) {}

SpeedStage::~SpeedStage() = default;

void SpeedStage::configure(int channels) {
  State& s = *state_;
  if (channels < 1 || channels > 2) return;
  if (!s.src || channels != s.channels) {
    int error = 0;
    s.src.reset(src_new(SRC_SINC_MEDIUM_QUALITY, channels, &error));
    s.queue.assign(size_t(kMaxPendingFrames) * size_t(channels), 0.0f);
    s.channels = s.src ? channels : 0;
  }
  s.Reset();
}

void SpeedStage::setSpeedPercent(float percent) { state_->percent.store(percent, std::memory_order_relaxed); }

void SpeedStage::put(const float* input, int frames) {
  State& s = *state_;
  if (!s.src || s.flushed || !input || frames <= 0) return;
  s.ratio = RatioFor(s.percent.load(std::memory_order_relaxed));
  const int ch = s.channels;
  if (s.tail + frames > kMaxPendingFrames && s.head > 0) {
    std::memmove(s.queue.data(), s.queue.data() + size_t(s.head) * size_t(ch),
                 size_t(s.tail - s.head) * size_t(ch) * sizeof(float));
    s.tail -= s.head;
    s.head = 0;
  }
  const int n = std::min(frames, kMaxPendingFrames - s.tail);
  std::memcpy(s.queue.data() + size_t(s.tail) * size_t(ch), input, size_t(n) * size_t(ch) * sizeof(float));
  s.tail += n;
}

int SpeedStage::get(float* output, int maxFrames) {
  State& s = *state_;
  if (!s.src || s.drained || !output || maxFrames <= 0) return 0;
  const int ch = s.channels;
  // The converter may swallow input into its own history without producing
  // anything yet; keep feeding until it yields output or has nothing to eat.
  for (;;) {
    SRC_DATA d{};
    d.data_in = s.queue.data() + size_t(s.head) * size_t(ch);
    d.input_frames = s.tail - s.head;
    d.data_out = output;
    d.output_frames = maxFrames;
    d.end_of_input = s.flushed ? 1 : 0;
    d.src_ratio = s.ratio;
    if (src_process(s.src.get(), &d) != 0) {
      s.head = s.tail;
      s.drained = s.flushed;
      return 0;
    }
    s.head += int(d.input_frames_used);
    if (s.head == s.tail) s.head = s.tail = 0;
    if (d.output_frames_gen > 0) return int(d.output_frames_gen);
    if (s.flushed) {
      s.drained = true;
      return 0;
    }
    if (d.input_frames_used == 0) return 0;
  }
}

void SpeedStage::endOfInput() {
  if (state_->src) state_->flushed = true;
}

void SpeedStage::clear() { state_->Reset(); }
