#include "cbAudioFileRead.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bass.h"
#include "messagebox.h"

tWAVEFORMATEX MakeWaveFormat(uint16_t tag, uint32_t rate, uint16_t channels, int32_t bits) {
  tWAVEFORMATEX f{};
  f.wFormatTag = tag;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = uint16_t(bits);
  f.cbSize = 0;
  f.nBlockAlign = uint16_t(int32_t(channels) * (bits / 8));
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

namespace {
// The service's position in bytes as 100-ns units, truncated.
int64_t ticksAt(uint32_t handle, QWORD bytes) {
  return int64_t(BASS_ChannelBytes2Seconds(handle, bytes) * 1000.0 * double(TicksPerMillisecond));
}
}  // namespace

TcbMP3FileReader1::TcbMP3FileReader1(const std::string& fileName) : TBaseReader(fileName) {
  Handle = BASS_StreamCreateFile(0, fileName.c_str(), 0, 0, BASS_UNICODE | BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  if (Handle == 0) {
    Opened = false;
    pw::ShowMessage(pw::MessageKind::Plain, pw::WithErrorCode("Could not open audio file!", BASS_ErrorGetCode()));
    return;
  }
  Opened = true;
  Duration = ticksAt(Handle, BASS_ChannelGetLength(Handle, BASS_POS_BYTE));

  BASS_CHANNELINFO info{};
  BASS_ChannelGetInfo(Handle, &info);
  float rate = 0;
  BASS_ChannelGetAttribute(Handle, BASS_ATTRIB_FREQ, &rate);
  const int32_t resolution = int32_t(info.origres);
  SourceBits = (resolution >= 1 && resolution <= 31) ? resolution : 16;
  Format = MakeWaveFormat(3, uint32_t(std::nearbyint(rate)), uint16_t(info.chans), 32);
}

TcbMP3FileReader1::~TcbMP3FileReader1() { BASS_StreamFree(Handle); }

uint32_t TcbMP3FileReader1::UnbufferedRead(void* buffer, uint32_t count) {
  const DWORD n = BASS_ChannelGetData(Handle, buffer, count);
  Position = ticksAt(Handle, BASS_ChannelGetPosition(Handle, BASS_POS_BYTE));
  return n == DWORD(-1) ? 0 : n;
}

void TcbMP3FileReader1::Seek(int64_t position) {
  const int64_t ms = position / TicksPerMillisecond;
  const double seconds = double(ms) / 1000.0;
  BASS_ChannelSetPosition(Handle, BASS_ChannelSeconds2Bytes(Handle, seconds), BASS_POS_BYTE);
  Position = ticksAt(Handle, BASS_ChannelGetPosition(Handle, BASS_POS_BYTE));
}

TBufferedReader::TBufferedReader(const std::string& fileName)
    : TcbMP3FileReader1(fileName), Block(new uint8_t[BlockBufferSize]) {
  Avail = 0;
  ReadPtr = Block.get();
}

TBufferedReader::~TBufferedReader() {
  OnProcess = nullptr;
  OnFill = nullptr;
}

void TBufferedReader::Seek(int64_t position) {
  DiscardBuffer();
  TcbMP3FileReader1::Seek(position);
}

void TBufferedReader::DiscardBuffer() {
  ReadPtr = Block.get();
  Avail = 0;
}

uint32_t TBufferedReader::Read(void* buffer, uint32_t count) {
  std::memset(buffer, 0, count);
  uint32_t remaining = count;
  auto* dest = static_cast<uint8_t*>(buffer);
  bool end = false;
  while (remaining > 0 && !end) {
    if (Avail > 0) {
      if (remaining < Avail) {
        std::memcpy(dest, ReadPtr, remaining);
        ReadPtr += remaining;
        Avail -= remaining;
        remaining = 0;
      } else {
        std::memcpy(dest, ReadPtr, Avail);
        dest += Avail;
        remaining -= Avail;
        Avail = 0;
        ReadPtr = Block.get();
      }
    }
    if (remaining > 0) {
      // The chain may hand back more than it was asked for (slowing down,
      // plus whatever the speed stage held back); bounding the request keeps
      // every block inside the buffer.
      // Without a source there is nothing to read: that is the end.
      int32_t got = OnFill ? int32_t(std::min(remaining, MaxFillBytes)) : 0;
      if (OnFill) OnFill(Block.get(), got);
      if (got == 0) end = true;
      if (OnProcess) OnProcess(Block.get(), got);
      Avail = uint32_t(std::clamp<int32_t>(got, 0, int32_t(BlockBufferSize)));
      ReadPtr = Block.get();
    }
  }
  return count - remaining;
}

uint32_t TBufferedReader::PeekRemainder(void* dest) const {
  if (Avail > 0) std::memcpy(dest, ReadPtr, Avail);
  return Avail;
}
