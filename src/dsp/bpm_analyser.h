// Streaming tempo estimation from the start of a recording.
//
// Real-time contract: all memory (about 150 kB) is allocated by create()
// and stays fixed whatever the length fed; write() and estimateBpm() never
// allocate, lock, log or touch files. An analyser is used by one thread at a
// time; analysers are independent, so several may run on different threads.
#pragma once

#include <memory>

class BpmAnalyser {
 public:
  // channels 1 … 8 (mixed to mono), sampleRate 1000 … 768000 Hz (8000 …
  // 48000 tested); nullptr for other values.
  static std::unique_ptr<BpmAnalyser> create(int channels, int sampleRate);
  ~BpmAnalyser();
  BpmAnalyser(const BpmAnalyser&) = delete;
  BpmAnalyser& operator=(const BpmAnalyser&) = delete;

  // Interleaved frames, any count per call: how the stream is cut into
  // writes does not change the result. frames ≤ 0 or a null buffer
  // analyses nothing. Non-finite samples count as 0. Real-time safe.
  void write(const float* interleaved, int frames);

  // Tempo in BPM within [minBpm, maxBpm], precise to a small fraction of a
  // percent. Where the beat could as well be heard at half or double speed
  // (or a third, or three times), a level nearer 120 BPM is preferred. 0
  // when nothing periodic was found: silence, noise, steady tones, less
  // than about two seconds written, or an empty range. May be asked any
  // number of times, also between writes. Real-time safe.
  float estimateBpm(float minBpm, float maxBpm);

 private:
  struct Analysis;
  explicit BpmAnalyser(std::unique_ptr<Analysis> analysis);
  std::unique_ptr<Analysis> analysis_;
};
