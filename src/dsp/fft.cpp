// Real forward FFT on FFTW, planned once per object on its own aligned
// buffers; forward() copies through them so callers may transform in place
// and need no particular alignment.
#include "dsp/fft.h"

#include <fftw3.h>

#include <cstring>
#include <mutex>
#include <type_traits>

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

struct RealFft::Plan {
  int size = 0;
  std::unique_ptr<float, FftwFree> in;
  std::unique_ptr<fftwf_complex, FftwFree> out;
  std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDestroy> plan;
};

std::unique_ptr<RealFft> RealFft::create(int size) {
  if (size < 2 || size % 2 != 0) return nullptr;
  auto p = std::make_unique<Plan>();
  p->size = size;
  p->in.reset(static_cast<float*>(fftwf_malloc(sizeof(float) * size_t(size))));
  p->out.reset(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * size_t(size / 2 + 1))));
  if (!p->in || !p->out) return nullptr;
  {
    std::lock_guard<std::mutex> lock(PlannerMutex());
    p->plan.reset(fftwf_plan_dft_r2c_1d(size, p->in.get(), p->out.get(), FFTW_ESTIMATE));
  }
  if (!p->plan) return nullptr;
  return std::unique_ptr<RealFft>(new RealFft(std::move(p)));
}

RealFft::RealFft(std::unique_ptr<Plan> plan) : plan_(std::move(plan)) {}

RealFft::~RealFft() = default;

int RealFft::size() const { return plan_->size; }

void RealFft::forward(const float* input, float* output) {
  if (!input || !output) return;
  Plan& p = *plan_;
  std::memcpy(p.in.get(), input, sizeof(float) * size_t(p.size));
  fftwf_execute(p.plan.get());
  std::memcpy(output, p.out.get(), sizeof(float) * size_t(p.size));  // bins 0 … size/2−1
}
