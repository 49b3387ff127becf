// Real forward FFT on FFTW, planned once per handle on its own aligned
// buffers; processing copies through them so callers may transform in place
// and need no particular alignment.
#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>

#include "audiodsp.h"

namespace {

// FFTW's planner keeps global state; only execution is thread-safe.
std::mutex& PlannerMutex() {
  static std::mutex m;
  return m;
}

struct FftwFree {
  void operator()(void* p) const { fftwf_free(p); }
};
struct PlanDestroy {
  void operator()(fftwf_plan p) const {
    std::lock_guard<std::mutex> lock(PlannerMutex());
    fftwf_destroy_plan(p);
  }
};

}  // namespace

struct PwFFT {
  int size = 0;
  std::unique_ptr<float, FftwFree> in;
  std::unique_ptr<fftwf_complex, FftwFree> out;
  std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDestroy> plan;
};

extern "C" {

HFFT NewFFT(int size, int inverse) {
  if (inverse != 0 || size < 2 || size % 2 != 0) return nullptr;
  auto h = std::make_unique<PwFFT>();
  h->size = size;
  h->in.reset(static_cast<float*>(fftwf_malloc(sizeof(float) * size_t(size))));
  h->out.reset(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * size_t(size / 2 + 1))));
  if (!h->in || !h->out) return nullptr;
  {
    std::lock_guard<std::mutex> lock(PlannerMutex());
    h->plan.reset(fftwf_plan_dft_r2c_1d(size, h->in.get(), h->out.get(), FFTW_ESTIMATE));
  }
  if (!h->plan) return nullptr;
  return h.release();
}

void DeleteFFT(HFFT h) { delete h; }

void FFT_process(HFFT h, const float* input, float* output, int) {
  if (!h || !input || !output) return;
  std::memcpy(h->in.get(), input, sizeof(float) * size_t(h->size));
  fftwf_execute(h->plan.get());
  std::memcpy(output, h->out.get(), sizeof(float) * size_t(h->size));  // bins 0 … size/2−1
}

}  // extern "C"
