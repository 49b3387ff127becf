// Playback: owns the sound device (opened at construction, kept until
// destruction) and one output stream for the session it plays. The stream's
// producer thread pulls the session through read(), ahead of the device,
// whose thread only copies what is ready (output_stream.h).
//
// Threads: everything runs on the owner's thread except read(), on the
// producer thread, and the end handler, which the producer thread calls
// once the last sample of a play has been heard (the window posts itself
// an event from it and calls endOfPlayback on its own thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "output/output_device.h"
#include "output/output_stream.h"

class Session;

class Playback : public OutputSource {
 public:
  enum class Output { Device, None };
  enum class State : uint8_t { Stopped, Playing, Paused };

  // Output::Device opens the default sound device. When there is none (or
  // the sound system fails to start) it shows "Error initializing audio!"
  // with the error code and goes on with the silent real-time device, so
  // files still open, "play" silently, measure and save. Output::None
  // touches no sound system at all: nothing is played.
  explicit Playback(Output output = Output::Device);
  ~Playback() override;
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // ---- owner's thread ----

  // Plays `session` from now on (null: nothing). What was playing stops; the
  // new session stays where it stands. Returns false, with "Can not create
  // playback stream!" shown, when the device cannot make a stream for it
  // (the session is then not attached). The session must stay alive until
  // it is detached or replaced.
  bool attach(Session* session);
  Session* session() const { return session_; }
  // Moves on at every attach: an end reported with another serial belongs
  // to a session that is no longer played.
  uint64_t attachSerial() const { return attachSerial_; }
  // Called on the producer thread with the attach serial when a play has
  // been heard to its end. Set before attaching.
  void setEndHandler(std::function<void(uint64_t attachSerial)> handler) { endHandler_ = std::move(handler); }

  void play();
  void pause();
  // Stops, rewinds to the start and empties the chain.
  void stop();
  void setVolume(int32_t value);  // 1 … 10000
  // Where the session's source stands, in its own time.
  int64_t positionMs() const;
  // Seeks the session, empties its chain (no tail of the old place, and a
  // source that had ended plays again) and drops the sound buffered ahead
  // of the device; a playing stream goes on from the new place.
  void seekMs(int64_t ms);
  // Runs `change` with the producer out of the session (the stream stopped
  // around it); a playing stream goes on afterwards.
  void whileHeld(const std::function<void()>& change);
  // The end of a play, on the owner's thread: stopped, rewound, emptied.
  void endOfPlayback();
  // The most recent `frames` frames heard (fewer when less has been), for
  // an analyser; 0 without a stream.
  size_t heard(float* out, size_t frames) const;

  // The stream of the attached session; null without one.
  OutputStream* stream() const { return stream_.get(); }
  // The sound device; null with Output::None or when it could not be opened.
  const OutputDevice* device() const { return device_.get(); }

  // ---- any thread ----

  State state() const { return state_.load(std::memory_order_relaxed); }

  // ---- producer thread ----

  // The session's processed output in whole frames; 0 at its end. Not the
  // device callback (OutputSource::read says what the producer may do): it
  // decodes and runs the effect chain, so it reads the file and the decoder
  // allocates, but it never locks against or waits on the owner's thread.
  size_t read(float* frames, size_t frameCount) override;

 private:
  void closeStream();

  // ---- owner's thread ----
  std::unique_ptr<OutputDevice> device_;
  std::unique_ptr<OutputStream> stream_;  // after the device: goes before it
  Session* session_ = nullptr;
  uint64_t attachSerial_ = 0;
  std::function<void(uint64_t)> endHandler_;

  // ---- any thread ----
  std::atomic<State> state_{State::Stopped};
};
