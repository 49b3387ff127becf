// The export job: renders the open file through the effect chain into an
// output file, on two threads in a pipeline. The job thread (ExportJob) reads
// and processes block n+1 through the chain while the write thread (WriteThread)
// encodes and writes block n.
//
// The job reads the reader of the engine's player, which runs the effect
// chain; the caller has stopped playback, rewound the reader and emptied
// the chain (see save_command.h) and keeps the engine to the job until it
// ends. The integer PCM handed to the writer and the bit rate are the job's
// ExportFormat (audio_writer.h).
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
class Engine;

// How a job ended, handed to the owner once, after the output file is
// complete (or deleted).
struct ExportOutcome {
  bool cancelled = false;
  // Empty after success and after a cancel; otherwise the text of the
  // failure that ended the job (for instance the writer's "Cannot create
  // output file"). The output may be partial or missing then.
  std::string failure;
  // What the writer queued for the user during the job, oldest first.
  std::vector<pw::Message> messages;

  bool ok() const { return !cancelled && failure.empty(); }
};

// The progress window's message, posted by the window's ExportProgress:
// WParam the percent, LParam TotalWritten (unused by the window).
constexpr QEvent::Type WM_UPDATEPROGRESS = QEvent::Type(QEvent::User + 1);

class UpdateProgressEvent : public QEvent {
 public:
  UpdateProgressEvent(int percent, int32_t totalWritten)
      : QEvent(WM_UPDATEPROGRESS), WParam(percent), LParam(totalWritten) {}
  const int WParam;
  const int32_t LParam;
};

// Where the job reports to. Both calls come from the job's thread.
class ExportProgress {
 public:
  virtual ~ExportProgress() = default;
  // Once per block: percent of the source read (0 … 100) and the bytes the
  // writer reported so far. Repeats of the same percent are normal.
  virtual void Post(int percent, int32_t totalWritten) = 0;
  // Last step of the job: the output is complete or deleted, the player
  // stopped. The window closes itself here (on its own thread).
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
  // outName already carries the format's extension. The engine's file must
  // be open and its channel count match format.pcm.
  ExportJob(Engine& engine, std::string outName, int32_t formatIndex, const ExportFormat& format);
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

  // The Cancel button: the output is deleted at the end, no companion is
  // written, no tags are copied. Any thread.
  void Cancel();

  // Filled once the job has ended (after Wait or Run).
  const ExportOutcome& Outcome() const { return Result; }

  bool FreeOnTerminate = true;
  // Set by the creator before Start; may be null.
  ExportProgress* Progress = nullptr;
  int32_t TempoChange = 0;
  std::string SourceName;

  // Read by the owner during the job (progress); both threads add to it.
  std::atomic<int32_t> TotalWritten{0};
  const std::string OutName;
  const int32_t FormatIndex;
  const ExportFormat Format;

 private:
  void Execute();
  void BlockLoopAndRemainder();
  void CleanUp();
  void WriteBlock();  // write thread
  void PostProgress();
  void Fail(const std::string& text);

  Engine& engine_;
  std::atomic<bool> Terminated{false};
  std::atomic<bool> CancelFlag{false};
  std::atomic<bool> ErrorFlag{false};

  SignalEvent GoEvent{SignalEvent::Kind::AutoReset};
  SignalEvent DoneEvent{SignalEvent::Kind::ManualReset};
  std::unique_ptr<WriteThread> Writing;
  std::unique_ptr<AudioWriter> Writer;

  std::unique_ptr<uint8_t[]> ReadBuffer;
  std::unique_ptr<uint8_t[]> FlushBuffer;
  std::unique_ptr<uint8_t[]> ConvBuffer;
  uint32_t PendingSize = 0;  // handed over through the events

  std::mutex FailureLock;  // the failure text may come from either thread
  ExportOutcome Result;
  std::thread Thread;
};

