// The sound device that output streams play on: PortAudio, or a null device
// that consumes samples on a thread of its own. Whoever plays opens one and
// owns it; nothing about it is program-wide.
//
// PITCHWELL_AUDIO chooses: "null" paces at real time, "null-fast" pulls as
// fast as the stream delivers; either may end in ":RATE" for a null device
// that only runs at RATE (streams at other rates are resampled, as they are
// for a sound card that cannot take their rate). Anything else, or unset,
// uses PortAudio; when it finds no usable output device the real-time null
// device stands in, and standInReason() says why.
//
// Each stream gets its own device stream, opened and started when the
// stream is made and running (silent while paused or stopped) until it goes:
// starting a device stream can take a noticeable time on some systems, so
// play and pause never do it.
//
// Threads: the owner's thread only. The device threads it starts belong to
// the streams (output_stream.h).
#pragma once

#include <memory>
#include <string>

#include "core/audio_error.h"
#include "output/output_stream.h"

class OutputDevice {
 public:
  enum class Kind { PortAudio, Null, NullFast };

  // `device`: -1 the default, 0 no sound (the real-time null device), n the
  // n-th output device. `preferredRate` is tried when the device refuses a
  // stream's own rate. Null on failure, with *error set (Device: no such
  // device; Driver: the sound system failed to start).
  static std::unique_ptr<OutputDevice> open(int device, int preferredRate, AudioError* error);
  // Every stream made on the device must be gone first.
  ~OutputDevice();
  OutputDevice(const OutputDevice&) = delete;
  OutputDevice& operator=(const OutputDevice&) = delete;

  Kind kind() const { return kind_; }
  // None, unless a sound card was asked for (PortAudio, the default device)
  // and none could be used, so the real-time null device stands in: Driver
  // when the sound system failed to start, Device when it has no usable
  // output device. The owner tells the user; sound still "plays", silently.
  AudioError standInReason() const { return standInReason_; }
  // What plays the sound, for people: "PortAudio: <device> (<host API>)",
  // "null device, real time" …
  std::string description() const;

  // A stream of `rate` Hz (4000 … 384000) and `channels` (1 … 8; beyond two
  // not heard) that pulls `source`, which must outlive it; the stream must go
  // before the device. Refusing what the program does not play is the
  // file-open step's job, with its own message. Null on failure, with
  // *error set (SampleFormat, Device, Driver).
  std::unique_ptr<OutputStream> createStream(int rate, int channels, OutputSource& source, AudioError* error);

 private:
  struct PortAudioSession;

  OutputDevice() = default;
  AudioError chooseFormat(int rate, int channels, OutputStream::Format* format) const;

  // The owner's thread.
  Kind kind_ = Kind::Null;
  int index_ = -1;            // PortAudio device index
  int nullRate_ = 0;          // the null device's only rate; 0 = any
  int preferredRate_ = 44100;
  AudioError standInReason_ = AudioError::None;
  std::unique_ptr<PortAudioSession> portAudio_;  // while the PortAudio library is in use
};
