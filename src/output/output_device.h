// The sound device behind the output streams: PortAudio, or a null device
// that consumes samples on a thread of its own.
//
// PITCHWELL_AUDIO chooses: "null" paces at real time, "null-fast" pulls as
// fast as the stream delivers; either may end in ":RATE" for a null device
// that only runs at RATE (streams at other rates are resampled, as they are
// for a sound card that cannot take their rate). Anything else, or unset,
// uses PortAudio; when it finds no usable output device the real-time null
// device stands in.
//
// Each stream gets its own PortAudio stream, opened and started when the
// stream is created and running (silent while paused or stopped) until it is
// freed: starting a device stream can take a noticeable time on some
// systems, so play and pause never do it.
#pragma once

#include <memory>

#include "bass.h"
#include "output_stream.h"

namespace pwbass::out {

struct Device {
  enum Kind { kPortAudio, kNull, kNullFast };
  Kind kind = kNull;
  int index = -1;             // PortAudio device index
  int nullRate = 0;           // the null device's only rate; 0 = any
  int preferredRate = 44100;  // tried when the device refuses a stream's rate
};

// Opens the device for BASS_Init (`device`: -1 default, 0 no sound, n the
// n-th output device). Returns BASS_OK or an error code.
int openDevice(int device, DWORD freq, Device* out);
void closeDevice(const Device& device);

// The device format for a stream of `rate` and `channels`: the stream's own
// where the device takes it. Returns BASS_OK or an error code.
int chooseFormat(const Device& device, int rate, int channels, StreamFormat* format);
// Starts the device side of `stream`; on success the stream owns it.
int startSink(const Device& device, Stream& stream);

}  // namespace pwbass::out
