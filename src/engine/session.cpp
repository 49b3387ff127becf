#include "engine/session.h"

#include <cstdio>

#include "core/messages.h"

std::optional<std::string> Session::checkUsable(const AudioFileReader& reader) {
  if (!reader.opened()) return "This audio format not supported";
  if (reader.durationMs() == 0) {
    const int64_t frames = reader.lengthFrames();
    if (frames <= 0) return "Audio file is empty.";
    char text[96];
    std::snprintf(text, sizeof text, "Audio file is too short (%lld sample%s, %.2f ms).", static_cast<long long>(frames),
                  frames == 1 ? "" : "s", reader.sampleRate() > 0 ? 1000.0 * double(frames) / reader.sampleRate() : 0.0);
    return std::string(text);
  }
  if (reader.sampleRate() > 48000) return "Sampling rates higher than 48000 Hz are not supported.";
  if (reader.channels() > 2)
    return "Multi-channel audio files are not supported. Please select only STEREO or MONO files.";
  return std::nullopt;
}

std::unique_ptr<Session> Session::open(const std::string& fileName, std::string* problem) {
  problem->clear();
  auto reader = std::make_unique<AudioFileReader>(fileName);
  if (!reader->opened()) return nullptr;  // the reader has said why
  if (auto refusal = checkUsable(*reader)) {
    *problem = *refusal;
    return nullptr;
  }
  std::unique_ptr<EffectChain> chain = EffectChain::create(*reader);
  if (!chain) {
    *problem = "Filters Initialization Failed.";
    return nullptr;
  }
  return std::unique_ptr<Session>(new Session(std::move(reader), std::move(chain)));
}

Session::Session(std::unique_ptr<AudioFileReader> reader, std::unique_ptr<EffectChain> chain)
    : reader_(std::move(reader)), chain_(std::move(chain)), buffer_(*chain_, reader_->channels()) {}

Session::~Session() = default;

void Session::seekMs(int64_t ms) {
  buffer_.clear();
  reader_->seekMs(ms);
}

void Session::seekFrame(int64_t frame) {
  buffer_.clear();
  reader_->seekFrame(frame);
}

void Session::flush() {
  chain_->flush();
  buffer_.clear();
}
