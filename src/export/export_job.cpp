#include "export/export_job.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>

#include "export/writers/audio_writer.h"
#include "export/block_hand_off.h"
#include "export/cdg_companion.h"
#include "engine/effect_chain.h"
#include "dsp/pcm_convert.h"
#include "export/writers/writer_factory.h"
#include "engine/session.h"
#include "export/staged_file.h"
#include "export/tags.h"

// The session's block buffer hands out exactly what a read asks for until
// the end of the stream: each read fills its request, the last comes back
// short, and nothing is left behind.

double SaveCeilingDb(int32_t formatIndex) {
  return formatIndex == FileTypeWav || formatIndex == FileTypeFlac ? -0.3 : EffectChain::kPlaybackCeilingDb;
}

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

ExportJob::ExportJob(std::unique_ptr<Session> session, ExportJobOptions options)
    : sourceFile_(session ? session->fileName() : std::string()),
      options_(std::move(options)),
      session_(std::move(session)) {}

ExportJob::~ExportJob() {
  // Before any member goes: the thread's stop request cancels the job
  // (start), whose end is then waited for.
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

void ExportJob::start() {
  thread_ = std::jthread([this](std::stop_token threadStop) {
    // The job's own stop source also serves run() and a cancel before the
    // start; the thread's stop request is relayed to it.
    const std::stop_callback relay(threadStop, [this] { cancel(); });
    execute();
  });
}

void ExportJob::wait() {
  if (thread_.joinable()) thread_.join();
}

void ExportJob::run() { execute(); }

std::string ExportJob::userText(std::string text) const {
  // Writers name the file they were given, which is the temporary one.
  if (staged_) ReplaceAll(text, staged_->path(), options_.outName);
  if (stagedCompanion_) ReplaceAll(text, stagedCompanion_->path(), stagedCompanion_->name());
  return text;
}

void ExportJob::fail(const std::string& text, bool exists, const std::string& caption) {
  std::string message = text.empty() ? "Export failed" : userText(text);
  // Some writers' texts do not say which file they were writing.
  if (message.find(options_.outName) == std::string::npos)
    message += "\n\"" + options_.outName + "\" was not saved.";
  std::lock_guard lock(failureLock_);
  if (!failed_.exchange(true)) {
    result_.failure = std::move(message);
    result_.failureCaption = caption;
    result_.outputExists = exists;
  }
}

void ExportJob::warn(const std::string& text) {
  warnings_.push_back(pw::Message{pw::MessageKind::Warning, {}, userText(text)});
}

template <class Step>
void ExportJob::failOnException(Step&& step) {
  try {
    step();
  } catch (const WriterError& e) {
    fail(e.what(), false, e.caption());
  } catch (const std::exception& e) {
    fail(e.what());
  } catch (...) {
    fail({});
  }
}

void ExportJob::writeBlock(std::span<const uint8_t> block) {
  failOnException([&] { totalWritten_.fetch_add(writer_->write(block.data(), uint32_t(block.size()))); });
}

void ExportJob::postProgress(const SplitRender* split) {
  ExportProgress* const progress = options_.progress;
  if (!progress) return;
  if (split) return progress->reportProgress(split->percent(), totalWritten_.load());
  const int64_t durationMs = session_->durationMs();
  // Progress runs over the region when there is one, else over the file.
  int64_t fromMs = 0;
  int64_t toMs = durationMs;
  if (options_.fromMs >= 0 || options_.toMs >= 0) {
    const int64_t regionFromMs = std::max<int64_t>(options_.fromMs, 0);
    const int64_t regionToMs = options_.toMs >= 0 ? std::min<int64_t>(options_.toMs, durationMs) : durationMs;
    if (regionToMs > regionFromMs) {
      fromMs = regionFromMs;
      toMs = regionToMs;
    }
  }
  int percent = 100;
  if (toMs > fromMs) {
    const int64_t readMs = session_->positionMs();
    // A file that decodes longer than it declared must not show 140 %.
    percent = int(std::clamp<int64_t>((readMs - fromMs) * 100 / (toMs - fromMs), 0, 100));
  }
  progress->reportProgress(percent, totalWritten_.load());
}

void ExportJob::execute() {
  // A cancel that came before the job began is kept: nothing clears it.
  failOnException([this] {
    if (!cancelled()) checkTargets();
    if (failed() || cancelled()) return;
    const uint32_t bytes = bufferBytes(std::max<uint32_t>(options_.format.pcm.channels, 1));
    readBuffer_.reset(new uint8_t[bytes]);
    handOff_ = std::make_unique<BlockHandOff>(bytes);
    renderBlocks();
  });
  endWriting();
  readBuffer_.reset();
  handOff_.reset();

  // Completes the file (header, encoder flush, close) and the tags.
  const bool complete = completeOutput();
  // A cancel that came in while the file was being completed still counts:
  // nothing has been put in place yet.
  if (complete && !cancelled()) commitOutputs();

  // Whatever was not committed goes; an existing file at the output's name
  // was never touched.
  staged_.reset();
  stagedCompanion_.reset();

  settleOutcome();
  if (options_.progress) options_.progress->reportEnd(result_);
}

void ExportJob::checkTargets() {
  const int32_t formatIndex = options_.formatIndex;
  if (formatIndex < 1 || formatIndex >= int32_t(kWriterFactories.size()) || !kWriterFactories[size_t(formatIndex)])
    throw std::runtime_error("Unknown output format");

  StagedFile::Target audio;
  if (auto refusal = StagedFile::lookAt(options_.outName, options_.overwriteAllowed, audio))
    return fail(refusal->text, refusal->exists);

  // The companion's name is checked now as well: finding a pipe there
  // after the render would be too late.
  const bool wholeFile = options_.fromMs < 0 && options_.toMs < 0;
  const std::string source = options_.tempoChange > -100 && !options_.sourceName.empty() && wholeFile
                                 ? FindCompanion(options_.sourceName)
                                 : std::string();
  if (!source.empty()) {
    const std::string name = CompanionName(options_.outName);
    if (IsSourceCompanion(source, name)) {
      warn("The graphics file was not written: \"" + name + "\" would take the place of the source's own \"" +
           source + "\"");
      companionMissing_ = true;
    } else {
      StagedFile::Target companion;
      if (auto refusal = StagedFile::lookAt(name, options_.overwriteAllowed, companion))
        return fail(refusal->text, refusal->exists);
      companionSource_ = source;
      stagedCompanion_ = std::make_unique<StagedFile>(name, companion);
    }
  }

  staged_ = std::make_unique<StagedFile>(options_.outName, audio);
  if (auto problem = staged_->create(kOutputExtensions[size_t(formatIndex - 1)])) return fail(*problem);
}

void ExportJob::renderBlocks() {
  Session& session = *session_;
  const ExportFormat& outputFormat = options_.format;
  const int32_t formatIndex = options_.formatIndex;
  if (uint32_t(session.channels()) != outputFormat.pcm.channels)
    throw std::runtime_error("Output format does not match the file");
  const AudioFileReader& reader = session.reader();
  // What the reader knows at opening, for the messages at the end.
  const std::string input = options_.sourceName.empty() ? reader.fileName() : options_.sourceName;
  const std::string understated = reader.understatedLengthDescription();

  // The PCM format, the conversion and the byte count must agree: 24-bit
  // packed samples only where the writer takes them (WAV, FLAC), 16-bit
  // otherwise.
  const int32_t depth = outputFormat.pcm.bitsPerSample;
  PcmFormat format = PcmFormat::S16;
  uint32_t sampleBytes = 2;
  if (depth == 24 && (formatIndex == FileTypeWav || formatIndex == FileTypeFlac)) {
    format = PcmFormat::S24;
    sampleBytes = 3;
  } else if (depth != 16) {
    throw std::runtime_error("Unsupported output sample format");
  }

  writer_ = kWriterFactories[size_t(formatIndex)](staged_->path(), outputFormat);
  if (writer_->outputPath() != staged_->path()) throw std::runtime_error("The writer wrote to another file name");
  writeThread_ = std::jthread([this](std::stop_token stop) {
    while (const std::optional<std::span<const uint8_t>> block = handOff_->waitForBlock(stop)) {
      writeBlock(*block);
      handOff_->done();
    }
  });

  const uint32_t channels = std::max<uint32_t>(outputFormat.pcm.channels, 1);
  const uint32_t request = requestBytes(channels);
  auto* samplesIn = reinterpret_cast<float*>(readBuffer_.get());

  session.chain().setCeilingDb(SaveCeilingDb(formatIndex));

  // A long stretched save is rendered in pieces on every core; the job's
  // session goes to the split render, which renders the first piece on it
  // and lets it go. Neither `session` nor `reader` is used after this.
  std::unique_ptr<SplitRender> split;
  if (SplitRender::plannedPieces(session, options_.split) > 1) {
    split = std::make_unique<SplitRender>(std::move(session_), options_.split, stop_.get_token(),
                                          [this](const std::string& text) { fail(text); });
    split->start();
  }

  uint32_t readBytes = request;
  while (readBytes == request && !cancelled() && !failed()) {
    const size_t frames = split ? split->read(samplesIn, kBlockFrames) : session_->read(samplesIn, kBlockFrames);
    readBytes = uint32_t(frames) * channels * uint32_t(sizeof(float));
    postProgress(split.get());
    if (readBytes > 0) {
      const uint32_t samples = readBytes / uint32_t(sizeof(float));
      const std::span<uint8_t> slot = handOff_->waitForSlot();
      convertToPcm(samplesIn, slot.data(), format, int(samples));
      handOff_->handOver(samples * sampleBytes);
    }
  }

  // The last handed-over block is written before anything else touches the
  // writer, also after a failed write: it never has two users at once.
  handOff_->waitUntilDone();
  postProgress(split.get());

  // The pieces' threads end before anything below looks at the session;
  // a split save's end is where its last piece's source ended.
  bool endedShort = false;
  std::string shortEnd;
  if (split) {
    endedShort = split->endedShort();
    shortEnd = split->shortEndDescription();
    split.reset();
  } else if (session_->reader().endedShort()) {
    endedShort = true;
    shortEnd = session_->reader().shortEndDescription();
  }

  // Saved short: said once, beside the saved file, not instead of it.
  if (!cancelled() && !failed() && endedShort) {
    warn(input + ": " + shortEnd + ": the file is damaged or truncated");
    inputEndedShort_ = true;
  }
  // More audio than the header admits: all of it was saved, and the user
  // hears why the length differs from what other programs show.
  if (!cancelled() && !failed() && !understated.empty() && !inputEndedShort_)
    notices_.push_back(
        pw::Message{pw::MessageKind::Information, std::string(), input + ": " + understated + "; all of it was saved"});
}

void ExportJob::endWriting() {
  if (!writeThread_.joinable()) return;
  handOff_->waitUntilDone();
  writeThread_.request_stop();
  writeThread_.join();
}

void ExportJob::takeWriterMessages() {
  for (pw::Message& m : writer_->takeMessages()) {
    // A writer that reports an error did not store what it was given: the
    // file is not saved, and the error is the job's one failure message.
    if (m.kind == pw::MessageKind::Error)
      fail(m.text, false, m.caption);
    else
      notices_.push_back(std::move(m));
  }
}

bool ExportJob::completeOutput() {
  if (writer_) {
    takeWriterMessages();
    if (!cancelled() && !failed()) {
      failOnException([this] { writer_->finish(); });
      takeWriterMessages();
    }
    writer_.reset();
  }
  if (cancelled() || failed() || !staged_) return false;

  const std::string& source = sourceFile_;
  // A failed tag save has damaged the temporary file: nothing is put in
  // place. Tags that could not be carried over leave the audio sound.
  const TagCopyResult tags = CopyTags(source, staged_->path());
  for (const std::string& warning : tags.warnings) warn(warning);
  if (!tags.ok()) {
    fail(tags.failure);
    return false;
  }
  if (auto problem = staged_->sync()) {
    fail(*problem);
    return false;
  }
  stageCompanion();
  return !cancelled() && !failed();
}

void ExportJob::stageCompanion() {
  if (!stagedCompanion_) return;
  std::optional<std::string> problem = stagedCompanion_->create(".cdg");
  if (!problem) problem = WriteScaledCompanion(companionSource_, stagedCompanion_->path(), options_.tempoChange);
  if (!problem) problem = stagedCompanion_->sync();
  if (problem) {
    warn("The graphics file was not written: " + *problem);
    companionMissing_ = true;
    stagedCompanion_.reset();
  }
}

void ExportJob::commitOutputs() {
  if (auto refusal = staged_->commit(options_.overwriteAllowed)) return fail(refusal->text, refusal->exists);
  saved_ = true;
  if (stagedCompanion_) {
    if (auto refusal = stagedCompanion_->commit(options_.overwriteAllowed)) {
      warn("The graphics file was not written: " + refusal->text);
      companionMissing_ = true;
    }
  }
}

void ExportJob::settleOutcome() {
  std::lock_guard lock(failureLock_);
  if (saved_) {
    result_.messages = std::move(notices_);
    result_.messages.insert(result_.messages.end(), warnings_.begin(), warnings_.end());
    result_.inputEndedShort = inputEndedShort_;
    result_.companionMissing = companionMissing_;
  } else if (cancelled()) {
    result_.cancelled = true;
    result_.failure.clear();
    result_.failureCaption.clear();
    result_.outputExists = false;
  }
}
