// The export job: renders the open file through the effect chain into an
// output file, on two threads in a pipeline. The job thread (ExportJob) reads
// and processes block n+1 through the chain while the write thread (WriteThread)
// encodes and writes block n.
//
// The job owns the session it renders: its own reading of the source file
// through its own effect chain, prepared by the save command (see
// save_command.h), so playback of the same file goes on meanwhile. The integer PCM handed to the writer and the bit rate are the job's
// ExportFormat (audio_writer.h).
//
// Nothing at the output's name is touched until the job has succeeded: the
// writer writes a temporary file in the output's folder, which gets the tags
// and is moved into place (renamed) only when everything has worked; the
// .cdg companion is staged the same way and moved in after the audio. A
// cancel or any failure removes the temporary files and nothing else. The
// names are checked before anything is opened, so a named pipe, a device or
// a folder there is refused at once instead of blocking the job.
//
// Nothing here needs a window: progress and the end leave through
// ExportProgress. Nothing is shown from the job's threads: the writer's
// queued messages and the job's failure text are handed to the owner at the
// end (ExportOutcome), to be shown on the main thread.
//
// All buffers are allocated once per job, before the block loop; the loop
// allocates nothing.
#pragma once

#include <QEvent>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_writer.h"
#include "messages.h"

class AudioWriter;
class Session;
class StagedFile;

// How a job ended, handed to the owner once, after the output file is in
// place (or was never put there).
struct ExportOutcome {
  bool cancelled = false;
  // Empty after success and after a cancel; otherwise the one message of
  // the failure that ended the job, naming the output and the reason
  // ("Cannot write \"/x/out.flac\": No space left on device"). Nothing was
  // saved then, and a file that was at the output's name is as it was.
  std::string failure;
  // The message box caption that goes with the failure; empty for the
  // default (the writer's "MP3 Encoder Error", for instance).
  std::string failureCaption;
  // The failure is that the output, or the companion that would go with it,
  // already exists and the caller did not allow replacing it.
  bool outputExists = false;
  // What the user should read besides: the writer's notices (Information)
  // and the job's warnings (Warning), oldest first. Never the failure.
  std::vector<pw::Message> messages;
  // Saved, but the source ended before the length it states: what could be
  // decoded was saved, and a warning in messages tells where it ended.
  bool inputEndedShort = false;
  // Saved, but the source's .cdg companion was not carried over; a warning
  // in messages tells why.
  bool companionMissing = false;

  bool ok() const { return !cancelled && failure.empty(); }
};

// The limiter's ceiling for a save, in dBTP, by FileType: lossless files
// keep all but a little room for rounding (−0.3); lossy ones (MP3, M4A)
// leave 1 dB for the codec's own overshoot, as playback does.
double SaveCeilingDb(int32_t formatIndex);

// What a window's ExportProgress posts to its progress window: the percent
// of the source read and the job's TotalWritten.
constexpr QEvent::Type kExportProgressEvent = QEvent::Type(QEvent::User + 1);

class ExportProgressEvent : public QEvent {
 public:
  ExportProgressEvent(int percent, int32_t totalWritten)
      : QEvent(kExportProgressEvent), percent(percent), totalWritten(totalWritten) {}
  const int percent;
  const int32_t totalWritten;
};

// Where the job reports to. Both calls come from the job's thread.
class ExportProgress {
 public:
  virtual ~ExportProgress() = default;
  // Once per block: percent of the source read (0 … 100) and the bytes the
  // writer reported so far. Repeats of the same percent are normal.
  virtual void Post(int percent, int32_t totalWritten) = 0;
  // Last step of the job: the output is complete or deleted. The window closes itself here (on its own thread).
  virtual void Close(const ExportOutcome& outcome) = 0;
};

// A Windows-style event on a mutex and a condition variable. Auto-reset:
// a successful Wait consumes the signal. Manual-reset: it stays signalled
// until Reset.
class SignalEvent {
 public:
  enum class Kind { AutoReset, ManualReset };
  explicit SignalEvent(Kind kind) : kind_(kind) {}
  void Set();
  void Reset();
  // Waits without time limit until signalled.
  void Wait();

 private:
  const Kind kind_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool signalled_ = false;
};

// The write thread: runs OnWork once for each "go" signal, then signals
// "done", until terminated.
class WriteThread {
 public:
  // Created suspended.
  WriteThread(std::function<void()> onWork, SignalEvent& go, SignalEvent& done);
  ~WriteThread();  // terminates and joins if still running
  WriteThread(const WriteThread&) = delete;
  WriteThread& operator=(const WriteThread&) = delete;

  void Start();
  // Asks the thread to end after the block in hand; wake it with `go`.
  void Terminate() { Terminated.store(true); }
  void WaitFor();

  std::atomic<bool> Terminated{false};

 private:
  void Execute();

  std::function<void()> OnWork;
  SignalEvent& Go;
  SignalEvent& Done;
  std::thread Thread;
};

class ExportJob {
 public:
  // Per-channel read request in bytes: a block is K / 4 frames (8192, about
  // 0.19 s at 44.1 kHz). Each buffer holds 8 blocks.
  static constexpr uint32_t K = 32768;
  static constexpr uint32_t RequestBytes(uint32_t channels) { return K * channels; }
  static constexpr uint32_t BufferBytes(uint32_t channels) { return 8 * RequestBytes(channels); }

  // Created suspended, with FreeOnTerminate on. formatIndex: a FileType;
  // outName already carries the format's extension. The session's channel
  // count must match format.pcm.
  ExportJob(std::unique_ptr<Session> session, std::string outName, int32_t formatIndex, const ExportFormat& format);
  ~ExportJob();
  ExportJob(const ExportJob&) = delete;
  ExportJob& operator=(const ExportJob&) = delete;

  // Runs the job on its own thread. With FreeOnTerminate the object deletes
  // itself when the job has ended (after Progress->Close); the caller must
  // not touch it after Start. Otherwise call Wait, then destroy it.
  void Start();
  // Waits for a job started with FreeOnTerminate off.
  void Wait();
  // Runs the whole job on the calling thread (FreeOnTerminate is ignored).
  void Run();

  // The Cancel button: the temporary output is removed at the end, nothing
  // is moved into place, no companion is written. Once the output has been
  // moved into place the job is past cancelling (it ends saved). Any thread.
  void Cancel();

  // Filled once the job has ended (after Wait or Run).
  const ExportOutcome& Outcome() const { return Result; }

  bool FreeOnTerminate = true;
  // Set by the creator before Start; may be null.
  ExportProgress* Progress = nullptr;
  int32_t TempoChange = 0;
  std::string SourceName;
  // A region of the source (PrepareForExport has put the reader and the
  // chain there): progress runs over it, and no .cdg companion is written,
  // since its graphics belong to the whole song. Negative: the whole file.
  int64_t FromMs = -1;
  int64_t ToMs = -1;
  // The caller's decision (the window asks the user; the renderer has -y):
  // whether an existing file at OutName, and at its companion's name, may
  // be replaced. Without it the job ends at once with outputExists.
  bool OverwriteAllowed = false;

  // Read by the owner during the job (progress); both threads add to it.
  std::atomic<int32_t> TotalWritten{0};
  const std::string OutName;
  const int32_t FormatIndex;
  const ExportFormat Format;

 private:
  void Execute();
  // The output's and the companion's names, looked at before anything is
  // opened; then the temporary output file.
  void CheckTargets();
  void BlockLoopAndRemainder();
  void CleanUp();
  // Completes the file, copies the tags and stages the companion; true when
  // it is ready to be put in place.
  bool CompleteOutput();
  void StageCompanion();
  void PutInPlace();
  void TakeWriterMessages();
  void WriteBlock();  // write thread
  void PostProgress();
  // The first failure is the job's one message; later ones are dropped.
  void Fail(const std::string& text, bool exists = false, const std::string& caption = {});
  // Runs step; whatever it throws becomes the job's failure.
  void FailOnException(const std::function<void()>& step);
  void Warn(const std::string& text);
  bool Failed() const { return ErrorFlag.load(); }
  // text with the temporary names replaced by the ones the user knows.
  std::string UserText(std::string text) const;

  // Set at construction, read by the job thread.
  std::unique_ptr<Session> session_;

  // Any thread: flags that cross threads as single atomics.
  std::atomic<bool> Terminated{false};
  std::atomic<bool> CancelFlag{false};
  std::atomic<bool> ErrorFlag{false};

  // The hand-over between the job thread and the write thread: the job
  // thread fills ConvBuffer and PendingSize only while the write thread waits
  // on GoEvent, the write thread uses them only between GoEvent and
  // DoneEvent, so the writer and these buffers never have two users at once.
  SignalEvent GoEvent{SignalEvent::Kind::AutoReset};
  SignalEvent DoneEvent{SignalEvent::Kind::ManualReset};
  std::unique_ptr<WriteThread> Writing;
  std::unique_ptr<AudioWriter> Writer;
  std::unique_ptr<uint8_t[]> ConvBuffer;
  uint32_t PendingSize = 0;

  // Job thread only.
  std::unique_ptr<uint8_t[]> ReadBuffer;
  std::unique_ptr<uint8_t[]> FlushBuffer;
  std::unique_ptr<StagedFile> Staged;          // the audio under its temporary name
  std::unique_ptr<StagedFile> StagedCompanion;  // the .cdg, likewise
  std::string CompanionSource;  // the source's companion to carry over; empty: none
  // These go into the outcome when the output was saved.
  std::vector<pw::Message> Notices;   // the writer's
  std::vector<pw::Message> Warnings;  // the job's
  bool InputEndedShort = false;
  bool CompanionMissing = false;
  bool Saved = false;  // the output is in place

  // Either thread, under FailureLock: the failure text may come from both.
  std::mutex FailureLock;
  ExportOutcome Result;

  // The caller's thread: the job thread when started without FreeOnTerminate.
  std::thread Thread;
};

