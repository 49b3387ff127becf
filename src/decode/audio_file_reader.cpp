#include "audio_file_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "audio_decoder.h"
#include "messages.h"

namespace {
// A position in frames as 100-ns units, truncated.
int64_t TicksAt(int64_t frames, int rate) {
  return rate > 0 ? int64_t(double(frames) / double(rate) * 1000.0 * double(TicksPerMillisecond)) : 0;
}
}  // namespace

AudioFileReader::AudioFileReader(const std::string& fileName) : FileName(fileName) {
  AudioError error = AudioError::None;
  Decoder = AudioDecoder::open(fileName, &error, &FailureReason);
  if (!Decoder) {
    Opened = false;
    pw::ShowMessage(pw::MessageKind::Plain, pw::WithErrorCode("Could not open audio file!", ErrorCode(error)) + "\n" +
                                                 fileName + ": " + FailureReason);
    return;
  }
  Opened = true;
  Duration = TicksAt(Decoder->lengthFrames(), Decoder->rate());
  SourceResolution = Decoder->sourceBits();
  SourceBits = (SourceResolution >= 1 && SourceResolution <= 31) ? SourceResolution : 16;
  Format = MakeAudioFormat(SampleEncoding::Float, uint32_t(Decoder->rate()), uint16_t(Decoder->channels()), 32);
}

AudioFileReader::~AudioFileReader() = default;

bool AudioFileReader::EndedShort() const { return Decoder && Decoder->endedShort(); }

double AudioFileReader::DecodedSeconds() const {
  if (!Decoder) return 0;
  const int64_t end = Decoder->decodedEnd();
  return double(end >= 0 ? end : Decoder->lengthFrames()) / Decoder->rate();
}

double AudioFileReader::DeclaredSeconds() const {
  if (!Decoder) return 0;
  return double(std::max(Decoder->statedFrames(), Decoder->lengthFrames())) / Decoder->rate();
}

namespace {
std::string Seconds(double s, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f s", decimals, s);
  return text;
}
}  // namespace

std::string AudioFileReader::ShortEndDescription() const {
  const double decoded = DecodedSeconds(), stated = DeclaredSeconds();
  for (int decimals = 1; decimals <= 3; ++decimals)
    if (Seconds(decoded, decimals) != Seconds(stated, decimals))
      return "ended at " + Seconds(decoded, decimals) + " of " + Seconds(stated, decimals);
  return "ended at " + Seconds(decoded, 1) + ", before its end";
}

std::string AudioFileReader::UnderstatedLengthDescription() const {
  if (!Decoder || !Decoder->holdsMoreThanStated()) return std::string();
  const double held = double(Decoder->lengthFrames()) / Decoder->rate();
  const double stated = double(Decoder->statedFrames()) / Decoder->rate();
  for (int decimals = 1; decimals <= 3; ++decimals)
    if (Seconds(held, decimals) != Seconds(stated, decimals))
      return "holds " + Seconds(held, decimals) + " where its header states " + Seconds(stated, decimals);
  return "holds more audio than its header states";
}

uint32_t AudioFileReader::UnbufferedRead(void* buffer, uint32_t count) {
  if (!Decoder) return 0;
  const int64_t frames = int64_t(count / Format.frameBytes);
  const int64_t got = frames > 0 ? Decoder->read(static_cast<float*>(buffer), frames) : 0;
  Position = TicksAt(Decoder->positionFrames(), Decoder->rate());
  return got > 0 ? uint32_t(got) * Format.frameBytes : 0;
}

void AudioFileReader::UpdatePosition() {
  if (Decoder) Position = TicksAt(Decoder->positionFrames(), Decoder->rate());
}

void AudioFileReader::Seek(int64_t position) {
  if (!Decoder) return;
  const int64_t ms = position / TicksPerMillisecond;
  // Nearest whole frame: 0.150 s at 44100 Hz is frame 6615 however the
  // product rounds in binary.
  const int64_t frame = int64_t(std::nearbyint(double(ms) / 1000.0 * double(Decoder->rate())));
  Decoder->seek(frame);
  Position = TicksAt(Decoder->positionFrames(), Decoder->rate());
}

ChainOutputReader::ChainOutputReader(const std::string& fileName)
    : AudioFileReader(fileName), Block(new uint8_t[BlockBufferSize]) {
  Avail = 0;
  ReadPtr = Block.get();
}

ChainOutputReader::~ChainOutputReader() {
  OnProcess = nullptr;
  OnFill = nullptr;
}

void ChainOutputReader::Seek(int64_t position) {
  DiscardBuffer();
  AudioFileReader::Seek(position);
}

void ChainOutputReader::DiscardBuffer() {
  ReadPtr = Block.get();
  Avail = 0;
}

uint32_t ChainOutputReader::Read(void* buffer, uint32_t count) {
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

uint32_t ChainOutputReader::PeekRemainder(void* dest) const {
  if (Avail > 0) std::memcpy(dest, ReadPtr, Avail);
  return Avail;
}
