// Audio file readers: one file as a pull source of interleaved 32-bit float
// samples at its own rate and channel count, and (buffered form) the effect
// chain's output handed out in whatever sizes callers ask for.
//
// No lock: the callers never overlap (the output stream is paused or stopped
// before anyone seeks, flushes, measures or saves). Nothing is allocated per
// read; the block buffer is allocated once per file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio_format.h"

#include "audio_decoder.h"

class AudioFileReader {
 public:
  // Opens the file; on failure shows "Could not open audio file!" with the
  // decoder's error code and, on a line beneath, the file name and why
  // ("/music/a.mp3: No such file or directory"), and leaves Opened false.
  explicit AudioFileReader(const std::string& fileName);
  virtual ~AudioFileReader();
  AudioFileReader(const AudioFileReader&) = delete;
  AudioFileReader& operator=(const AudioFileReader&) = delete;

  virtual void Seek(int64_t position);
  // Up to count bytes straight from the decoder, whole frames only (a count
  // below one frame reads nothing); 0 at the end or on error.
  uint32_t UnbufferedRead(void* buffer, uint32_t count);
  // Sets Position from the decoder, for a caller that read or sought the
  // decoder directly (the A–B loop).
  void UpdatePosition();

  // Why the file could not be opened, in words for the user ("No such file or
  // directory", "not a regular file", ...); empty when it opened.
  const std::string& OpenFailure() const { return FailureReason; }
  // True once reading has reached an end before the length the file states:
  // the file is damaged or truncated, and less than it claims was delivered
  // ("ended at DecodedSeconds() s of DeclaredSeconds() s").
  bool EndedShort() const;
  // Where reading last reached the end, in seconds; DeclaredSeconds() until
  // it has.
  double DecodedSeconds() const;
  // The length the file states, in seconds (0 when it did not open).
  double DeclaredSeconds() const;
  // Where a short file ended against what it states, with as many decimals
  // as it takes for the two to differ: "ended at 3.6 s of 7.3 s"; "ended at
  // 15.0 s, before its end" when the file lacks an end it does not size.
  std::string ShortEndDescription() const;
  // The file holds more audio than its header states ("holds 30.0 s where
  // its header states 15.0 s"); empty when it does not.
  std::string UnderstatedLengthDescription() const;

  std::string FileName;
  int64_t Duration = 0;
  // Written by whichever thread reads the decoder (the output thread while
  // playing) and read by the main thread's position display.
  std::atomic<int64_t> Position{0};
  // The decoder of the open file; null when it could not be opened.
  std::unique_ptr<AudioDecoder> Decoder;
  AudioFormat Format{};
  bool Opened = false;
  // Bits per sample for saving in the source's resolution: 1..31 as the
  // source has them, else (float, 32-bit, lossy) 16.
  int32_t SourceBits = 16;
  // The source's real resolution: 8/16/24/32 for integer PCM and lossless
  // codecs, 32 for float PCM, 0 for lossy codecs (or when not opened).
  int32_t SourceResolution = 0;

 private:
  std::string FailureReason;
};

class ChainOutputReader : public AudioFileReader {
 public:
  static constexpr uint32_t BlockBufferSize = 2 * 1024 * 1024;
  // Largest request handed to OnFill: the chain may return more than it was
  // asked for (−50 % speed doubles a block, and the speed stage can release
  // what it held back), so a fill asks for at most a quarter of the buffer.
  static constexpr uint32_t MaxFillBytes = BlockBufferSize / 4;

  // (buffer, count in bytes by reference)
  using BlockEvent = std::function<void(void* buffer, int32_t& count)>;

  explicit ChainOutputReader(const std::string& fileName);
  ~ChainOutputReader() override;

  void Seek(int64_t position) override;
  // Up to count processed bytes; fewer only at the end of the stream.
  uint32_t Read(void* buffer, uint32_t count);
  void DiscardBuffer();
  // Copies the unread rest of the block buffer to dest without consuming it.
  uint32_t PeekRemainder(void* dest) const;

  uint32_t Avail = 0;
  uint8_t* ReadPtr = nullptr;
  BlockEvent OnProcess;
  BlockEvent OnFill;

  const uint8_t* BlockBuffer() const { return Block.get(); }

 private:
  std::unique_ptr<uint8_t[]> Block;
};
