#include "export_job.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "audiodsp.h"
#include "player.h"
#include "audio_writer.h"
#include "tags.h"
#include "effect_chain.h"
#include "engine.h"

// Why K = 32768 keeps the 8 × R buffers large enough: R = K × C bytes never
// exceeds ChainOutputReader::MaxFillBytes (512 KiB) for one or two channels,
// so every fill the reader makes for one of our reads asks the chain for at
// most R bytes. What comes back is at most twice that (speed −50 %) plus the
// speed stage's held-back look-ahead (under a hundred input frames, under
// 1.6 KB once doubled), so a block, and with it whatever the reader still
// holds when we stop (the remainder), stays below 2 × R + 2 KB < 8 × R. The
// remainder step still checks the bound before copying.

// ---- SignalEvent ----------------------------------------------------------------

void SignalEvent::Set() {
  {
    std::lock_guard lock(lock_);
    signalled_ = true;
  }
  changed_.notify_all();
}

void SignalEvent::Reset() {
  std::lock_guard lock(lock_);
  signalled_ = false;
}

void SignalEvent::Wait() {
  std::unique_lock lock(lock_);
  changed_.wait(lock, [this] { return signalled_; });
  if (kind_ == Kind::AutoReset) signalled_ = false;
}

// ---- WriteThread ---------------------------------------------------------------

WriteThread::WriteThread(std::function<void()> onWork, SignalEvent& go, SignalEvent& done)
    : OnWork(std::move(onWork)), Go(go), Done(done) {}

WriteThread::~WriteThread() {
  if (Thread.joinable()) {
    Terminate();
    Go.Set();
    Thread.join();
  }
}

void WriteThread::Start() { Thread = std::thread([this] { Execute(); }); }

void WriteThread::WaitFor() {
  if (Thread.joinable()) Thread.join();
}

void WriteThread::Execute() {
  while (!Terminated.load()) {
    Go.Wait();
    if (!Terminated.load()) OnWork();
    Done.Set();
  }
}

// ---- ExportJob ----------------------------------------------------------------

ExportJob::ExportJob(Engine& engine, std::string outName, int32_t formatIndex, const ExportFormat& format)
    : OutName(std::move(outName)), FormatIndex(formatIndex), Format(format), engine_(engine) {}

ExportJob::~ExportJob() {
  if (Thread.joinable()) Thread.join();
}

void ExportJob::Start() {
  if (FreeOnTerminate) {
    std::thread([this] {
      Execute();
      delete this;
    }).detach();
  } else {
    Thread = std::thread([this] { Execute(); });
  }
}

void ExportJob::Wait() {
  if (Thread.joinable()) Thread.join();
}

void ExportJob::Run() { Execute(); }

void ExportJob::Cancel() {
  CancelFlag.store(true);
  Terminated.store(true);
}

void ExportJob::Fail(const std::string& text) {
  ErrorFlag.store(true);
  std::lock_guard lock(FailureLock);
  if (Result.failure.empty()) Result.failure = text.empty() ? "Export failed" : text;
}

void ExportJob::WriteBlock() {
  try {
    TotalWritten.fetch_add(Writer->Write(ConvBuffer.get(), PendingSize));
  } catch (const std::exception& e) {
    Fail(e.what());
  } catch (...) {
    Fail({});
  }
}

void ExportJob::PostProgress() {
  if (!Progress) return;
  const Player& player = engine_.player;
  int percent = 100;
  if (player.Reader && player.DurationMs > 0) {
    const int64_t p = (player.Reader->Position / 100) / int64_t(player.DurationMs);
    // A file that decodes longer than it declared must not show 140 %.
    percent = int(std::clamp<int64_t>(p, 0, 100));
  }
  Progress->Post(percent, TotalWritten.load());
}

void ExportJob::Execute() {
  // A Cancel pressed before the thread ran is kept: the flags start clear at
  // construction and are not cleared again here.
  GoEvent.Reset();
  DoneEvent.Reset();
  try {
    const uint32_t bytes = BufferBytes(std::max<uint32_t>(Format.pcm.channels, 1));
    ReadBuffer.reset(new uint8_t[bytes]);
    FlushBuffer.reset(new uint8_t[bytes]);
    ConvBuffer.reset(new uint8_t[bytes]);
    Writing = std::make_unique<WriteThread>([this] { WriteBlock(); }, GoEvent, DoneEvent);
    Writing->Start();
    BlockLoopAndRemainder();
  } catch (const std::exception& e) {
    Fail(e.what());
  } catch (...) {
    Fail({});
  }
  CleanUp();
}

void ExportJob::BlockLoopAndRemainder() {
  Player& player = engine_.player;
  if (!player.Reader) throw std::runtime_error("No audio file is open");
  if (player.Channels != Format.pcm.channels) throw std::runtime_error("Output format does not match the file");
  ChainOutputReader& reader = *player.Reader;

  // The PCM format, the conversion and the byte count must agree: 24-bit
  // packed samples only where the writer takes them (WAV, FLAC), 16-bit
  // otherwise.
  const int32_t depth = Format.pcm.bitsPerSample;
  int format = CONVERT_S16LE;
  uint32_t sampleBytes = 2;
  if (depth == 24 && (FormatIndex == FileTypeWav || FormatIndex == FileTypeFlac)) {
    format = CONVERT_S24LE;
    sampleBytes = 3;
  } else if (depth != 16) {
    throw std::runtime_error("Unsupported output sample format");
  }

  if (FormatIndex < 1 || FormatIndex >= int32_t(WriterClasses.size()) || !WriterClasses[size_t(FormatIndex)])
    throw std::runtime_error("Unknown output format");
  Writer = WriterClasses[size_t(FormatIndex)](OutName, Format);
  DoneEvent.Set();

  const uint32_t channels = std::max<uint32_t>(Format.pcm.channels, 1);
  const uint32_t request = RequestBytes(channels);
  const uint32_t capacity = BufferBytes(channels);
  const auto* samplesIn = reinterpret_cast<const float*>(ReadBuffer.get());

  uint32_t n = request;
  while (n == request && !Terminated.load() && !ErrorFlag.load()) {
    n = reader.Read(ReadBuffer.get(), request);
    PostProgress();
    if (n > 0) {
      DoneEvent.Wait();
      const uint32_t samples = n / 4;
      convertFromFloat_SSE2(samplesIn, ConvBuffer.get(), format, int(samples));
      PendingSize = samples * sampleBytes;
      DoneEvent.Reset();
      GoEvent.Set();
    }
  }

  // The last handed-over block must be written before the remainder, also
  // after a failed Write: the writer is never used by two threads at once.
  DoneEvent.Wait();

  if (reader.Avail > capacity) throw std::runtime_error("Block larger than the export buffers");
  n = reader.PeekRemainder(ReadBuffer.get());
  PostProgress();
  if (n > 0) {
    const uint32_t samples = n / 4;
    convertFromFloat_SSE2(samplesIn, FlushBuffer.get(), format, int(samples));
    TotalWritten.fetch_add(Writer->Write(FlushBuffer.get(), samples * sampleBytes));
  }
}

void ExportJob::CleanUp() {
  if (Writing) {
    Writing->Terminate();
    GoEvent.Set();
    Writing->WaitFor();
    Writing.reset();
  }
  GoEvent.Reset();
  DoneEvent.Reset();

  ReadBuffer.reset();
  FlushBuffer.reset();
  ConvBuffer.reset();

  if (Writer) {
    std::vector<pw::Message> queued = Writer->TakeMessages();
    Writer.reset();  // completes the file: header, encoder flush, close
    std::lock_guard lock(FailureLock);
    for (auto& m : queued) Result.messages.push_back(std::move(m));
  }

  engine_.player.Stop();
  if (TensionDSP* stage = engine_.chain.PitchStage()) stage->Flush();

  if (CancelFlag.load()) {
    std::remove(OutName.c_str());
    std::lock_guard lock(FailureLock);
    Result.cancelled = true;
    Result.failure.clear();
  } else {
    // Both steps fail quietly by contract; nothing they throw may end the
    // job before the owner hears of it.
    try {
      ConvertCdgFile(SourceName, OutName, TempoChange);
      if (engine_.player.Reader) CopyTags(engine_.player.Reader->FileName, OutName);
    } catch (...) {
    }
  }

  if (Progress) Progress->Close(Result);
}
