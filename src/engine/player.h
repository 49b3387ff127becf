// The output player: opens the sound device at start-up and keeps it until
// shutdown; for the open file, its reader (which runs the effect chain) and
// one output stream. The player is that stream's source: the stream's
// producer thread reads the reader through read(), ahead of the device,
// whose thread only copies what is ready (output_stream.h).
//
// Threads: everything runs on the main thread (the owner's) except read(),
// on the producer thread, and the end of playback, which the producer thread
// reports by posting kPlaybackEndedEvent to the owner; the owner then calls
// EndOfPlayback on the main thread.
#pragma once

#include <QEvent>
#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio_file_reader.h"
#include "output_device.h"
#include "output_stream.h"

// Posted to the owner when the last sample of the file has been heard.
constexpr QEvent::Type kPlaybackEndedEvent = QEvent::Type(QEvent::User + 100);

// kPlaybackEndedEvent with the serial of the opening it belongs to: an end
// that arrives after another file was opened is not that file's end.
class PlaybackEndedEvent : public QEvent {
 public:
  explicit PlaybackEndedEvent(uint64_t openSerial) : QEvent(kPlaybackEndedEvent), openSerial(openSerial) {}
  const uint64_t openSerial;
};

class Player : public OutputSource {
 public:
  static constexpr uint32_t AnalysisBufferSize = 176400;

  // Opens the default sound device. When there is none (or the sound system
  // fails to start) it shows "Error initializing audio!" with the error
  // code and goes on with the silent real-time device, so files still open,
  // "play" silently, measure and save.
  explicit Player(QObject* owner);
  // Without a device: files open, measure and save, nothing is played and
  // no sound system is touched (the renderer).
  enum class Output { Device, None };
  Player(QObject* owner, Output output);
  ~Player() override;
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // ---- main thread ----

  void Open(const std::string& fileName);  // empty: only closes
  void Play();
  void Pause();
  void Stop();
  void SetVolume(int32_t value);  // 1 … 10000
  // Where the reader stands, in the file's own time.
  uint32_t GetPositionMs() const;
  // Seeks the reader and drops the sound buffered ahead of the device; a
  // playing stream goes on from the new place. Pause first when the effect
  // chain is to be flushed as well.
  void SetPositionMs(uint32_t ms);
  // The samples being heard: sets *buffer to AnalysisBuffer and returns the
  // byte count (whole frames); 0 without a reader, −1 without a stream.
  int32_t GetData(uint32_t length, const void** buffer);
  void EndOfPlayback();
  // Moves on at every Open: a PlaybackEndedEvent whose serial differs
  // belongs to a file that is no longer open.
  uint64_t OpenSerial() const { return openSerial_; }
  // The open file's stream; null when none is open or it could not be made.
  OutputStream* Stream() const { return stream_.get(); }
  // The sound device; null when it could not be opened.
  const OutputDevice* Device() const { return device_.get(); }

  // ---- producer thread ----

  // The reader's processed output in whole frames; 0 at its end or without
  // a reader. Real-time contract: allocates, locks, logs and touches files
  // only as much as the reader and its effect chain do (the chain's own
  // promise), nothing of its own.
  size_t read(float* frames, size_t frameCount) override;

  // ---- main thread ----

  QObject* Owner;
  std::string FileName;
  uint32_t SampleRate = 0;
  uint32_t Channels = 0;
  uint32_t BitsPerSample = 32;
  uint32_t BlockAlign = 0;
  int32_t DurationMs = 0;
  std::function<void(Player*)> OnEnd;
  bool Loaded = false;
  // Replaced by Open only while no stream exists: the producer reads it
  // while playing.
  std::unique_ptr<ChainOutputReader> Reader;

  // ---- any thread ----

  // 0 stopped, 1 playing, 2 paused. Written on the main thread (and by the
  // export job when it finishes); atomic because other threads look at it.
  std::atomic<uint8_t> State{0};

 private:
  void CloseStream();

  // ---- main thread ----
  std::unique_ptr<uint8_t[]> AnalysisBuffer;
  std::unique_ptr<OutputDevice> device_;
  std::unique_ptr<OutputStream> stream_;  // after the device: goes before it
  uint64_t openSerial_ = 0;
};
