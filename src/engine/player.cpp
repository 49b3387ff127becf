#include "player.h"

#include <QCoreApplication>

#include <algorithm>

#include "messages.h"

namespace {
void outputMessage(const char* text, AudioError error) {
  pw::ShowMessage(pw::MessageKind::Plain, pw::WithErrorCode(text, ErrorCode(error)));
}
}  // namespace

Player::Player(QObject* owner) : Player(owner, Output::Device) {}

Player::Player(QObject* owner, Output output) : Owner(owner), AnalysisBuffer(new uint8_t[AnalysisBufferSize]) {
  if (output == Output::None) return;
  AudioError error = AudioError::None;
  device_ = OutputDevice::open(-1, 44100, &error);
  if (!device_) {
    outputMessage("Error initializing audio!", error);
  } else if (device_->standInReason() != AudioError::None) {
    outputMessage("Error initializing audio!", device_->standInReason());
  }
}

Player::~Player() {
  State = 0;
  // The stream (and its producer) goes before the reader it reads.
  CloseStream();
  Reader.reset();
  device_.reset();
}

void Player::CloseStream() {
  if (stream_) stream_->stop();
  stream_.reset();
}

void Player::Open(const std::string& fileName) {
  if (State != 0) Stop();
  // Whatever state the stream is in (ended by itself, paused), it goes
  // before its reader is released.
  CloseStream();
  Reader.reset();
  Loaded = false;
  ++openSerial_;
  if (fileName.empty()) return;

  Reader = std::make_unique<ChainOutputReader>(fileName);
  if (!Reader->Opened) return;

  SampleRate = Reader->Format.sampleRate;
  Channels = Reader->Format.channels;
  BitsPerSample = Reader->Format.bitsPerSample;
  DurationMs = int32_t(Reader->Duration / TicksPerMillisecond);
  BlockAlign = Reader->Format.frameBytes;
  Loaded = true;
  FileName = fileName;

  // A file the program cannot use is refused for what it is (the checks
  // after Open say why), never for the stream the device cannot make.
  if (DurationMs == 0 || SampleRate > 48000 || Channels > 2 || !device_) return;
  AudioError error = AudioError::NotInitialised;
  stream_ = device_->createStream(int(SampleRate), int(Channels), *this, &error);
  if (!stream_) {
    Loaded = false;
    outputMessage("Can not create playback stream!", error);
    return;
  }
  stream_->setEndHandler([owner = Owner, serial = openSerial_] {
    // Producer thread: postEvent is thread-safe; everything else happens on
    // the main thread.
    if (owner != nullptr) QCoreApplication::postEvent(owner, new PlaybackEndedEvent(serial));
  });
}

void Player::Play() {
  if (!Reader) return;
  const AudioError error = stream_ ? stream_->play() : AudioError::Handle;
  if (error != AudioError::None) outputMessage("Error decode audio!", error);
  State = 1;
}

void Player::Pause() {
  if (!Reader) return;
  if (stream_) stream_->pause();
  State = 2;
}

void Player::Stop() {
  if (!Reader) return;
  State = 0;
  if (stream_) stream_->stop();
  SetPositionMs(0);
}

void Player::SetVolume(int32_t value) {
  if (!Reader || !stream_) return;
  stream_->setVolume(float(value) / 10000.0f);
}

uint32_t Player::GetPositionMs() const {
  if (!Reader) return 0;
  return uint32_t(Reader->Position / TicksPerMillisecond);
}

void Player::SetPositionMs(uint32_t ms) {
  if (!Reader) return;
  // The producer must be out of the reader while it moves, and what it read
  // ahead from the old place must not be heard.
  const bool playing = stream_ && stream_->state() == OutputStream::State::Playing;
  if (stream_) stream_->stop();
  Reader->Seek(int64_t(ms) * TicksPerMillisecond);
  if (playing) stream_->play();
}

int32_t Player::GetData(uint32_t length, const void** buffer) {
  if (!Reader) return 0;
  if (buffer) *buffer = AnalysisBuffer.get();
  if (!stream_ || Channels == 0) return -1;
  const size_t frameBytes = size_t(Channels) * sizeof(float);
  const size_t frames = std::min(length, AnalysisBufferSize) / frameBytes;
  const size_t n = stream_->heard(reinterpret_cast<float*>(AnalysisBuffer.get()), frames);
  return int32_t(n * frameBytes);
}

void Player::EndOfPlayback() {
  State = 0;
  SetPositionMs(0);
  if (OnEnd) OnEnd(this);
}

size_t Player::read(float* frames, size_t frameCount) {
  ChainOutputReader* reader = Reader.get();
  if (reader == nullptr || Channels == 0) return 0;
  const size_t frameBytes = size_t(Channels) * sizeof(float);
  const uint32_t bytes = reader->Read(frames, uint32_t(frameCount * frameBytes));
  // A trailing part of a frame (a chain that ends mid-frame) is not sound.
  return bytes / frameBytes;
}
