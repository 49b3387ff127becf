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
  // service's error code and leaves Opened false.
  explicit AudioFileReader(const std::string& fileName);
  virtual ~AudioFileReader();
  AudioFileReader(const AudioFileReader&) = delete;
  AudioFileReader& operator=(const AudioFileReader&) = delete;

  virtual void Seek(int64_t position);
  // Up to count bytes straight from the decoder; 0 at the end or on error.
  uint32_t UnbufferedRead(void* buffer, uint32_t count);

  std::string FileName;
  int64_t Duration = 0;
  // Written by whichever thread reads the decoder (the output thread while
  // playing) and read by the main thread's position display.
  std::atomic<int64_t> Position{0};
  // The decoder of the open file; null when it could not be opened.
  std::unique_ptr<AudioDecoder> Decoder;
  AudioFormat Format{};
  bool Opened = false;
  int32_t SourceBits = 16;
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
