// Real forward FFT (FFTW), planned once per object.
//
// Real-time contract: create() allocates and plans (safe from any thread;
// planning is serialised internally). forward() never allocates, locks, logs
// or touches files; one thread at a time per object.
#pragma once

#include <memory>

class RealFft {
 public:
  // size real samples in; nullptr for an odd size or one below 2, or when
  // FFTW cannot allocate or plan.
  static std::unique_ptr<RealFft> create(int size);
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  int size() const;

  // Transforms size() real floats into size()/2 (re, im) pairs: bins
  // 0 … size/2−1 (the Nyquist bin is dropped; bin 0's imaginary part is 0),
  // unnormalised. No alignment needed; input may equal output. Real-time
  // safe.
  void forward(const float* input, float* output);

 private:
  struct Plan;
  explicit RealFft(std::unique_ptr<Plan> plan);
  std::unique_ptr<Plan> plan_;
};
