#include "export/writers/audio_writer.h"

#include "export/writers/m4a_writer.h"
#include "export/writers/flac_writer.h"
#include "export/writers/mp3_writer.h"
#include "export/writers/wav_writer.h"

namespace {

template <class Writer>
std::unique_ptr<AudioWriter> Make(const std::string& path, const ExportFormat& format) {
  return std::make_unique<Writer>(path, format);
}

}  // namespace

const std::array<WriterFactory, 5> kWriterFactories = {
    nullptr, &Make<Mp3Writer>, &Make<WavWriter>, &Make<FlacWriter>, &Make<M4aWriter>};

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
