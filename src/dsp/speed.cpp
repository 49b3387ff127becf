// Speed stage on libsamplerate's variable-ratio sinc converter.
//
// Input is queued at put and converted lazily in getsamples, straight into
// the caller's buffer. That keeps memory at one input queue (allocated in
// DSP_init) and makes every src_process call ask for one caller-sized chunk
// of output, which is the span over which libsamplerate glides from the last
// ratio to a new one: speed changes sweep instead of jumping.
#include <samplerate.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "audiodsp.h"

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

struct PwSpeedDSP {
  std::atomic<float> percent{0.0f};

  std::unique_ptr<SRC_STATE, SrcStateDeleter> src;
  int rate = 0;
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

extern "C" {

HDSP NewDSP(void) { return new PwSpeedDSP; }

void DeleteDSP(HDSP h) { delete h; }

void DSP_init(HDSP h, int sampleRate, int channels, int, int, int, int, int) {
  if (!h || channels < 1 || channels > 2 || sampleRate <= 0) return;
  if (!h->src || channels != h->channels) {
    int error = 0;
    h->src.reset(src_new(SRC_SINC_MEDIUM_QUALITY, channels, &error));
    h->queue.assign(size_t(kMaxPendingFrames) * size_t(channels), 0.0f);
    h->channels = h->src ? channels : 0;
  }
  h->rate = sampleRate;
  h->Reset();
}

void DSP_speed(HDSP h, float percent) {
  if (h) h->percent.store(percent, std::memory_order_relaxed);
}

void DSP_putsamples(HDSP h, const float* input, int frames) {
  if (!h || !h->src || h->flushed || !input || frames <= 0) return;
  h->ratio = RatioFor(h->percent.load(std::memory_order_relaxed));
  const int ch = h->channels;
  if (h->tail + frames > kMaxPendingFrames && h->head > 0) {
    std::memmove(h->queue.data(), h->queue.data() + size_t(h->head) * size_t(ch),
                 size_t(h->tail - h->head) * size_t(ch) * sizeof(float));
    h->tail -= h->head;
    h->head = 0;
  }
  const int n = std::min(frames, kMaxPendingFrames - h->tail);
  std::memcpy(h->queue.data() + size_t(h->tail) * size_t(ch), input, size_t(n) * size_t(ch) * sizeof(float));
  h->tail += n;
}

int DSP_getsamples(HDSP h, float* output, int maxFrames) {
  if (!h || !h->src || h->drained || !output || maxFrames <= 0) return 0;
  const int ch = h->channels;
  // The converter may swallow input into its own history without producing
  // anything yet; keep feeding until it yields output or has nothing to eat.
  for (;;) {
    SRC_DATA d{};
    d.data_in = h->queue.data() + size_t(h->head) * size_t(ch);
    d.input_frames = h->tail - h->head;
    d.data_out = output;
    d.output_frames = maxFrames;
    d.end_of_input = h->flushed ? 1 : 0;
    d.src_ratio = h->ratio;
    if (src_process(h->src.get(), &d) != 0) {
      h->head = h->tail;
      h->drained = h->flushed;
      return 0;
    }
    h->head += int(d.input_frames_used);
    if (h->head == h->tail) h->head = h->tail = 0;
    if (d.output_frames_gen > 0) return int(d.output_frames_gen);
    if (h->flushed) {
      h->drained = true;
      return 0;
    }
    if (d.input_frames_used == 0) return 0;
  }
}

void DSP_flush(HDSP h) {
  if (h && h->src) h->flushed = true;
}

void DSP_clear(HDSP h) {
  if (h) h->Reset();
}

}  // extern "C"
