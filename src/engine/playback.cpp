#include "engine/playback.h"

#include "core/messages.h"
#include "engine/session.h"

namespace {
void OutputMessage(const char* text, AudioError error) {
  pw::ShowMessage(pw::MessageKind::Plain, pw::WithErrorCode(text, ErrorCode(error)));
}
}  // namespace

Playback::Playback(Output output) {
  if (output == Output::None) return;
  AudioError error = AudioError::None;
  device_ = OutputDevice::open(-1, 44100, &error);
  if (!device_) {
    OutputMessage("Error initializing audio!", error);
  } else if (device_->standInReason() != AudioError::None) {
    OutputMessage("Error initializing audio!", device_->standInReason());
  }
}

Playback::~Playback() {
  // The stream (and its producer) goes before the device.
  closeStream();
  device_.reset();
}

void Playback::closeStream() {
  if (stream_) stream_->stop();
  stream_.reset();
}

bool Playback::attach(Session* session) {
  closeStream();
  state_ = State::Stopped;
  session_ = nullptr;
  ++attachSerial_;
  if (session == nullptr) return true;
  if (device_) {
    AudioError error = AudioError::NotInitialised;
    stream_ = device_->createStream(session->sampleRate(), session->channels(), *this, &error);
    if (!stream_) {
      OutputMessage("Can not create playback stream!", error);
      return false;
    }
    stream_->setEndHandler([this, serial = attachSerial_] {
      if (endHandler_) endHandler_(serial);
    });
  }
  session_ = session;
  return true;
}

void Playback::play() {
  if (!session_) return;
  const AudioError error = stream_ ? stream_->play() : AudioError::Handle;
  if (error != AudioError::None) OutputMessage("Error decode audio!", error);
  state_ = State::Playing;
}

void Playback::pause() {
  if (!session_) return;
  if (stream_) stream_->pause();
  state_ = State::Paused;
}

void Playback::stop() {
  if (!session_) return;
  state_ = State::Stopped;
  if (stream_) stream_->stop();
  session_->seekMs(0);
  session_->flush();
}

void Playback::setVolume(int32_t value) {
  if (stream_) stream_->setVolume(float(value) / 10000.0f);
}

int64_t Playback::positionMs() const { return session_ ? session_->positionMs() : 0; }

void Playback::whileHeld(const std::function<void()>& change) {
  // The producer must be out of the session while it changes, and what it
  // read ahead must not be heard.
  const bool playing = stream_ && stream_->state() == OutputStream::State::Playing;
  if (stream_) stream_->stop();
  change();
  if (playing) stream_->play();
}

void Playback::seekMs(int64_t ms) {
  if (!session_) return;
  whileHeld([&] {
    session_->seekMs(ms);
    session_->flush();
  });
}

void Playback::endOfPlayback() {
  state_ = State::Stopped;
  seekMs(0);
}

size_t Playback::heard(float* out, size_t frames) const { return stream_ ? stream_->heard(out, frames) : 0; }

size_t Playback::read(float* frames, size_t frameCount) {
  Session* session = session_;
  return session ? session->read(frames, frameCount) : 0;
}
