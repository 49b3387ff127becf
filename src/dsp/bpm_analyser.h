// Streaming tempo estimation from the start of a recording.
//
// Real-time contract: all memory (about 200 kB) is allocated by create()
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
  // percent. Of the levels the beat could be heard at (half or double
  // speed, a third or three times), the one a listener would tap is chosen
  // from the rhythm: the level at which the drums (without the hats) strike
  // every beat rather than every other one, at which the snare band falls
  // on every other beat (the backbeat on 2 and 4) with something on the
  // beats between, and at half of whose period the drums do not strike
  // evenly as well (a click track is its clicks). A prior around 120 BPM
  // only breaks near ties; where the snare band is silent it weighs more.
  // A beat counts when its periodicity stands well clear of what chance
  // gives in the onsets of all bands together, or, strongly, in those of one
  // band alone: a kick under a loud pad and noise is a beat even though the
  // bands holding only pad and noise dilute it in the mix. 0 when nothing
  // periodic was found: silence, noise, speech, steady tones, less than
  // about two seconds written, or an empty range. May be asked any number of
  // times, also between writes. Real-time safe.
  float estimateBpm(float minBpm, float maxBpm);

 private:
  struct Analysis;
  explicit BpmAnalyser(std::unique_ptr<Analysis> analysis);
  std::unique_ptr<Analysis> analysis_;
};
