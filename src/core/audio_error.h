// Failures of decoding and sound output. The numbers are part of what users
// see ("(Error code: N)" beneath a message) and never change.
#pragma once

enum class AudioError : int {
  None = 0,
  OutOfMemory = 1,
  FileOpen = 2,         // file not found or cannot be opened
  Driver = 3,           // the sound device failed to start
  Handle = 5,           // no such stream
  SampleFormat = 6,     // unsupported sample format (rate, channels)
  Position = 7,         // invalid position
  NotInitialised = 8,   // the output has not been started
  AlreadyStarted = 14,  // the output was started twice
  IllegalParameter = 20,
  Device = 23,          // no such device
  NotAvailable = 37,    // not available for this kind of stream
  FileFormat = 41,      // unsupported file format
  Codec = 44,           // no decoder for the codec
  Decode = 45,          // the decoder failed
  Unknown = -1,
};

inline int ErrorCode(AudioError e) { return static_cast<int>(e); }
