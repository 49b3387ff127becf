#include "decode/audio_file_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/messages.h"

int64_t FramesToMs(int64_t frames, int sampleRate) {
  if (sampleRate <= 0) return 0;
  // Exact in integers while it fits (any file shorter than a few million
  // years), so 441 frames at 44.1 kHz are 10 ms, not 9.
  return frames >= 0 ? frames * 1000 / sampleRate : -((-frames) * 1000 / sampleRate);
}

int64_t MsToFrames(int64_t ms, int sampleRate) {
  return int64_t(std::nearbyint(double(ms) / 1000.0 * double(sampleRate)));
}

AudioFileReader::AudioFileReader(const std::string& fileName) : fileName_(fileName) {
  AudioError error = AudioError::None;
  decoder_ = AudioDecoder::open(fileName, &error, &failureReason_);
  if (!decoder_) {
    pw::ShowMessage(pw::MessageKind::Plain, pw::WithErrorCode("Could not open audio file!", ErrorCode(error)) + "\n" +
                                                 fileName + ": " + failureReason_);
    return;
  }
  durationMs_ = FramesToMs(decoder_->lengthFrames(), decoder_->rate());
  sourceResolution_ = decoder_->sourceBits();
  saveBits_ = (sourceResolution_ >= 1 && sourceResolution_ <= 31) ? sourceResolution_ : 16;
  format_ = MakeAudioFormat(SampleEncoding::Float, uint32_t(decoder_->rate()), uint16_t(decoder_->channels()), 32);
}

AudioFileReader::~AudioFileReader() = default;

int64_t AudioFileReader::lengthFrames() const { return decoder_ ? decoder_->lengthFrames() : 0; }

int64_t AudioFileReader::positionMs() const { return FramesToMs(positionFrames(), sampleRate()); }

int64_t AudioFileReader::read(float* out, int64_t maxFrames) {
  if (!decoder_ || maxFrames <= 0) return 0;
  const int64_t got = decoder_->read(out, maxFrames);
  updatePosition();
  return std::max<int64_t>(got, 0);
}

void AudioFileReader::updatePosition() {
  if (decoder_) positionFrames_.store(decoder_->positionFrames(), std::memory_order_relaxed);
}

void AudioFileReader::seekFrame(int64_t frame) {
  if (!decoder_) return;
  decoder_->seek(frame);
  updatePosition();
}

void AudioFileReader::seekMs(int64_t ms) { seekFrame(MsToFrames(ms, sampleRate())); }

bool AudioFileReader::endedShort() const { return decoder_ && decoder_->endedShort(); }

double AudioFileReader::decodedSeconds() const {
  if (!decoder_) return 0;
  const int64_t end = decoder_->decodedEnd();
  return double(end >= 0 ? end : decoder_->lengthFrames()) / decoder_->rate();
}

double AudioFileReader::declaredSeconds() const {
  if (!decoder_) return 0;
  return double(std::max(decoder_->statedFrames(), decoder_->lengthFrames())) / decoder_->rate();
}

namespace {
std::string Seconds(double s, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f s", decimals, s);
  return text;
}
}  // namespace

std::string AudioFileReader::shortEndDescription() const {
  const double decoded = decodedSeconds(), stated = declaredSeconds();
  for (int decimals = 1; decimals <= 3; ++decimals)
    if (Seconds(decoded, decimals) != Seconds(stated, decimals))
      return "ended at " + Seconds(decoded, decimals) + " of " + Seconds(stated, decimals);
  return "ended at " + Seconds(decoded, 1) + ", before its end";
}

std::string AudioFileReader::understatedLengthDescription() const {
  if (!decoder_ || !decoder_->holdsMoreThanStated()) return std::string();
  const double held = double(decoder_->lengthFrames()) / decoder_->rate();
  const double stated = double(decoder_->statedFrames()) / decoder_->rate();
  for (int decimals = 1; decimals <= 3; ++decimals)
    if (Seconds(held, decimals) != Seconds(stated, decimals))
      return "holds " + Seconds(held, decimals) + " where its header states " + Seconds(stated, decimals);
  return "holds more audio than its header states";
}
