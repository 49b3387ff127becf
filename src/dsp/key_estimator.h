// Streaming musical key and tuning estimation from the start of a recording.
//
// Threads: a KeyEstimator belongs to the one thread that calls it (the
// measuring worker); it has no shared state, so estimators on different
// threads are independent. All memory (about 160 kB) is allocated by
// create(); write() and estimate() never allocate, lock, log or touch files,
// and memory stays fixed whatever the length of the stream.
//
// The free functions below are pure and may be called from any thread.
#pragma once

#include <memory>
#include <string>

// What was heard: the tonic as a pitch class (0 = C … 11 = B), the mode, and
// the tuning of the recording against A = 440 Hz.
struct KeyEstimate {
  bool known = false;     // false: nothing tonal was heard (silence, noise, drums, speech, too short)
  int tonic = 0;          // 0 … 11, C = 0; 0 when unknown
  bool minor = false;     // false when unknown
  float confidence = 0;   // 0 … 1: how far the best key stands above the runner-up; 0 when unknown
  float tuningCents = 0;  // -50 … +50: the recording's offset from 12-TET at A = 440 Hz; 0 when unknown
  // 0 … 1: the share of the spectrum in clear peaks times how firmly those
  // peaks sit on one semitone grid. Below about 0.3 nothing is called a key.
  float tonalness = 0;
};

class KeyEstimator {
 public:
  // channels 1 … 8 (mixed to mono), sampleRate 8000 … 192000 Hz; nullptr
  // for other values, or when the FFT cannot be planned.
  static std::unique_ptr<KeyEstimator> create(int channels, int sampleRate);
  ~KeyEstimator();
  KeyEstimator(const KeyEstimator&) = delete;
  KeyEstimator& operator=(const KeyEstimator&) = delete;

  // Interleaved frames, any count per call: how the stream is cut into
  // writes does not change the result. frames ≤ 0 or a null buffer analyses
  // nothing; non-finite samples count as 0.
  void write(const float* interleaved, int frames);

  // The key and tuning of everything written so far (unknown before about
  // a second of tonal sound). May be asked any number of times, also
  // between writes. A confidence near 0 means a guess: noise, or music
  // that fits two keys equally well.
  KeyEstimate estimate() const;

 private:
  struct Analysis;
  explicit KeyEstimator(std::unique_ptr<Analysis> analysis);
  std::unique_ptr<Analysis> analysis_;
};

// "C major", "F# minor", "Bb major": one spelling per key, sharps for the
// major keys with sharps in their signature (G D A E B) and their relative
// minors (E B F# C# G#), flats for F Bb Eb Ab Db Gb major and their relative
// minors (D G C F Bb Eb); C major and A minor plain. Unknown: "---".
std::string KeyName(int tonic, bool minor);
std::string KeyName(const KeyEstimate& key);

// Semitones the sliders move the key by: speed changes pitch by
// 12·log2(factor), tempo not at all; the sum with the pitch slider's
// semitones is rounded to the nearest integer, halves away from zero.
// speedFactor ≤ 0 or not finite counts as 1.
int KeyShiftSemitones(double pitchSemitones, double speedFactor);

// The key as heard after the sliders: the tonic moved by KeyShiftSemitones,
// the mode kept.
KeyEstimate ShiftedKey(const KeyEstimate& key, double pitchSemitones, double speedFactor);

// "A minor → B minor" (U+2192 with a space either side); "---" when unknown.
std::string KeyChangeCaption(const KeyEstimate& key, double pitchSemitones, double speedFactor);

// The tuning rounded to whole cents with the cent sign U+00A2 after a space:
// "+14 ¢", "−7 ¢" (minus sign U+2212), "0 ¢".
std::string TuningCaption(float cents);

// "A minor, tuning +14 ¢"; "---" when unknown.
std::string KeyAndTuningCaption(const KeyEstimate& key);
