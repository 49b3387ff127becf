#include "export/writers/audio_writer.h"

std::vector<pw::Message> AudioWriter::takeMessages() {
  std::lock_guard lock(messageLock_);
  std::vector<pw::Message> taken;
  taken.swap(pending_);
  return taken;
}

void AudioWriter::report(pw::MessageKind kind, std::string text, std::string caption) {
  std::lock_guard lock(messageLock_);
  pending_.push_back(pw::Message{kind, std::move(caption), std::move(text)});
}

void AudioWriter::finish() {
  if (finished_) return;
  finished_ = true;
  complete();
}

void AudioWriter::finishQuietly() noexcept {
  try {
    finish();
  } catch (...) {
  }
}

void AudioWriter::stop(const std::string& text, const std::string& caption) {
  stopped_ = true;
  throw WriterError(text, caption);
}
