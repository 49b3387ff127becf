// The pitch stage: pitch shift and tempo change over the DSP library's
// pitch/tempo processor, which pulls its input through OnRead.
//
// SetPitch and SetTempo run on the main thread; they only store the
// requested ratio (one atomic double each). Process runs on the consumer's
// thread and is the only place that talks to the library, so a change is
// heard from the next block on. Process allocates nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "audiodsp.h"

class TensionDSP {
 public:
  // (buffer, float count) -> floats delivered; 0 at the end of the input.
  using ReadEvent = std::function<int32_t(float* buffer, int32_t floats)>;

  TensionDSP(int32_t sampleRate, int32_t channels);
  ~TensionDSP();
  TensionDSP(const TensionDSP&) = delete;
  TensionDSP& operator=(const TensionDSP&) = delete;

  void SetPitch(float semitones);  // pitch ratio 2^(semitones / 12)
  void SetTempo(float steps);      // duration ratio 2^(−steps / 12)
  int32_t Process(float* buffer, int32_t frames);
  void Flush();  // drops everything the stage holds

  const int32_t channels;
  const int32_t sampleRate;
  HTENSION handle = nullptr;
  double appliedPitch = 1.0;
  double appliedDuration = 1.0;
  std::atomic<double> requestedPitch{1.0};
  std::atomic<double> requestedDuration{1.0};
  ReadEvent OnRead;

 private:
  static int ReadCallback(float* buffer, int frames, void* user);
};
