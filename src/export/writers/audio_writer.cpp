#include "audio_writer.h"

#include "m4a_writer.h"
#include "flac_writer.h"
#include "mp3_writer.h"
#include "wav_writer.h"

namespace {

template <class Writer>
std::unique_ptr<AudioWriter> Make(const std::string& path, const ExportFormat& format) {
  return std::make_unique<Writer>(path, format);
}

}  // namespace

const std::array<WriterFactory, 5> WriterClasses = {
    nullptr, &Make<Mp3Writer>, &Make<WavWriter>, &Make<FlacWriter>, &Make<M4aWriter>};

std::vector<pw::Message> AudioWriter::TakeMessages() {
  std::lock_guard lock(MessageLock);
  std::vector<pw::Message> taken;
  taken.swap(Pending);
  return taken;
}

void AudioWriter::Report(pw::MessageKind kind, std::string text, std::string caption) {
  std::lock_guard lock(MessageLock);
  Pending.push_back(pw::Message{kind, std::move(caption), std::move(text)});
}

void AudioWriter::Finish() {
  if (finished_) return;
  finished_ = true;
  Complete();
}

void AudioWriter::FinishQuietly() noexcept {
  try {
    Finish();
  } catch (...) {
  }
}

void AudioWriter::Stop(const std::string& text, const std::string& caption) {
  stopped_ = true;
  throw WriterError(text, caption);
}
