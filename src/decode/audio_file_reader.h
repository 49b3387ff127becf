// One audio file as a pull source of interleaved 32-bit float frames at its
// own rate and channel count, with where reading stands and what the file
// states about its own length.
//
// Threads: opened on the owner's thread; read and the seeks run on whichever
// single thread reads the file at the time (the playback producer, a save's
// render thread, a measurement), never two at once; the caller arranges the
// hand-over. positionFrames() and positionMs() may be read from any thread.
// Nothing is allocated per read beyond what the decoder itself does.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/audio_format.h"
#include "decode/audio_decoder.h"

class AudioFileReader {
 public:
  // Opens the file; on failure shows "Could not open audio file!" with the
  // decoder's error code and, on a line beneath, the file name and why
  // ("/music/a.mp3: No such file or directory"), and opened() is false.
  explicit AudioFileReader(const std::string& fileName);
  ~AudioFileReader();
  AudioFileReader(const AudioFileReader&) = delete;
  AudioFileReader& operator=(const AudioFileReader&) = delete;

  // ---- set at opening, read-only afterwards ----

  bool opened() const { return decoder_ != nullptr; }
  const std::string& fileName() const { return fileName_; }
  // Why the file could not be opened, in words for the user ("No such file
  // or directory", "not a regular file", ...); empty when it opened.
  const std::string& openFailure() const { return failureReason_; }
  // Float, the file's rate and channels; all zero when it did not open.
  const AudioFormat& format() const { return format_; }
  int32_t sampleRate() const { return int32_t(format_.sampleRate); }
  int32_t channels() const { return int32_t(format_.channels); }
  int64_t lengthFrames() const;
  // The length in whole milliseconds, truncated.
  int64_t durationMs() const { return durationMs_; }
  // Bits per sample for saving in the source's resolution: 1..31 as the
  // source has them, else (float, 32-bit, lossy) 16.
  int32_t saveBits() const { return saveBits_; }
  // The source's real resolution: 8/16/24/32 for integer PCM and lossless
  // codecs, 32 for float PCM, 0 for lossy codecs (or when not opened).
  int32_t sourceResolution() const { return sourceResolution_; }

  // ---- the reading thread ----

  // Up to maxFrames whole frames into `out`; 0 at the end or on error.
  int64_t read(float* out, int64_t maxFrames);
  // Moves to `frame` (clamped by the decoder to the file).
  void seekFrame(int64_t frame);
  // Moves to the nearest whole frame of `ms`: 150 ms at 44100 Hz is frame
  // 6615 however the product rounds in binary.
  void seekMs(int64_t ms);
  // The decoder, for a stage that reads or seeks it itself (the A–B loop);
  // such a stage calls updatePosition() afterwards. Null when not opened.
  AudioDecoder* decoder() const { return decoder_.get(); }
  void updatePosition();

  // ---- any thread ----

  int64_t positionFrames() const { return positionFrames_.load(std::memory_order_relaxed); }
  // positionFrames() in whole milliseconds, truncated.
  int64_t positionMs() const;

  // ---- after reading has reached the end (the reading thread's caller) ----

  // True once reading has reached an end before the length the file states:
  // the file is damaged or truncated, and less than it claims was delivered
  // ("ended at decodedSeconds() s of declaredSeconds() s").
  bool endedShort() const;
  // Where reading last reached the end, in seconds; declaredSeconds() until
  // it has.
  double decodedSeconds() const;
  // The length the file states, in seconds (0 when it did not open).
  double declaredSeconds() const;
  // Where a short file ended against what it states, with as many decimals
  // as it takes for the two to differ: "ended at 3.6 s of 7.3 s"; "ended at
  // 15.0 s, before its end" when the file lacks an end it does not size.
  std::string shortEndDescription() const;
  // The file holds more audio than its header states ("holds 30.0 s where
  // its header states 15.0 s"); empty when it does not.
  std::string understatedLengthDescription() const;

 private:
  const std::string fileName_;
  std::string failureReason_;
  std::unique_ptr<AudioDecoder> decoder_;
  AudioFormat format_{};
  int64_t durationMs_ = 0;
  int32_t saveBits_ = 16;
  int32_t sourceResolution_ = 0;
  // Written by the reading thread, read by any.
  std::atomic<int64_t> positionFrames_{0};
};

// Frames to whole milliseconds, truncated (a frame count exactly on a
// millisecond stays on it whatever binary rounding does).
int64_t FramesToMs(int64_t frames, int sampleRate);
// Milliseconds to the nearest whole frame.
int64_t MsToFrames(int64_t ms, int sampleRate);
