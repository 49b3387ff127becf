// One open file's sound path, without any device: the file's reader, its
// effect chain and the block buffer at the end, in the order sound flows.
// Playback reads one; a save, the renderer and each measurement open their
// own session of the same file, so none of them has to stop the music.
//
// Threads: open and the owner's calls (values, loop, seeks, flush) on the
// owner's thread; read on one reading thread at a time. The owner seeks or
// flushes only while nobody reads (Playback stops its stream around them).
// The values and the loop may change while another thread reads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "decode/audio_file_reader.h"
#include "engine/block_buffer.h"
#include "engine/effect_chain.h"

class Session {
 public:
  // The file-open step: opens the file, checks that the program can use it
  // and builds its chain. On failure returns null with *problem set to the
  // message to show ("This audio format not supported", "Audio file is
  // empty.", "Filters Initialization Failed.", ...), or empty when the file
  // did not open at all (the reader has shown why).
  static std::unique_ptr<Session> open(const std::string& fileName, std::string* problem);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The checks on an opened reader: the message to show, or nothing when
  // the file can be used.
  static std::optional<std::string> checkUsable(const AudioFileReader& reader);

  // ---- set at opening ----

  const std::string& fileName() const { return reader_->fileName(); }
  int sampleRate() const { return reader_->sampleRate(); }
  int channels() const { return reader_->channels(); }
  int64_t durationMs() const { return reader_->durationMs(); }
  AudioFileReader& reader() { return *reader_; }
  const AudioFileReader& reader() const { return *reader_; }
  EffectChain& chain() { return *chain_; }
  const EffectChain& chain() const { return *chain_; }

  // ---- the reading thread ----

  // Up to `frames` processed frames; fewer only at the end.
  size_t read(float* out, size_t frames) { return buffer_.read(out, frames); }

  // ---- the owner's thread, nobody reading ----

  // Moves the source to `ms` and drops what the block buffer holds; the
  // chain's stages keep their state (flush() as well for a clean start).
  void seekMs(int64_t ms);
  void seekFrame(int64_t frame);
  // Empties the chain and the block buffer; values, loop and position stay.
  void flush();

  // ---- any thread ----

  int64_t positionMs() const { return reader_->positionMs(); }

 private:
  explicit Session(std::unique_ptr<AudioFileReader> reader, std::unique_ptr<EffectChain> chain);

  std::unique_ptr<AudioFileReader> reader_;
  std::unique_ptr<EffectChain> chain_;  // reads reader_
  BlockBuffer buffer_;                   // reads chain_
};
