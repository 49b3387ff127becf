// Sample-rate converter for the output stream, used when the sound device
// cannot run at the stream's own rate.
//
// Windowed-sinc (Kaiser) interpolation from a polyphase table, with linear
// interpolation between neighbouring phases. The read position advances by
// the exact rational step inRate/outRate, so pitch and duration are kept over
// any length: N input frames (plus flush()) give ceil(N * outRate / inRate)
// output frames, output frame j sitting at input time j * inRate / outRate.
// When converting down, the cut-off follows the lower rate.
//
// 1 to 8 channels. All memory is allocated by the constructor. write, flush, read and reset
// never allocate and may run on the output thread. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pwbass {

class Resampler {
 public:
  // `maxBlock`: the largest number of input frames one write must be able
  // to take at once.
  Resampler(int inRate, int outRate, int channels, size_t maxBlock);

  int channels() const { return channels_; }
  int inRate() const { return inRate_; }
  int outRate() const { return outRate_; }

  // Input frames that write accepts right now.
  size_t space() const;
  // Input frames still missing before `outFrames` more frames can be read.
  size_t needed(size_t outFrames) const;
  // Appends interleaved input frames; returns how many were taken (up to space()).
  size_t write(const float* in, size_t frames);
  // Appends the silence that lets the last input frames come out; call once
  // after the last write. Returns false if there is not room for it yet
  // (read first).
  bool flush();
  // Produces up to `frames` interleaved output frames; returns the count.
  size_t read(float* out, size_t frames);
  // Input frames written but not yet passed by the read position: the delay,
  // in input frames, between writing a frame and reading its output.
  double pending() const;
  // Forgets all input: the next write starts a new signal.
  void reset();

 private:
  void compact();

  int inRate_;
  int outRate_;
  int channels_;
  uint64_t step_;   // input frames per output frame = step_ / den_ (reduced)
  uint64_t den_;
  size_t half_;     // taps on each side of the interpolation point
  size_t taps_;     // 2 * half_
  int phases_;
  std::vector<float> coef_;   // (phases_ + 1) rows of taps_
  std::vector<float> delta_;  // row p+1 minus row p, for interpolation
  std::vector<float> buf_;    // interleaved input history and look-ahead
  size_t capacity_;           // frames in buf_
  size_t frames_ = 0;         // frames held in buf_
  size_t pos_ = 0;            // buf_ frame just at or before the read time
  uint64_t num_ = 0;          // read time = pos_ + num_ / den_
};

}  // namespace pwbass
