// The export job: renders the open file through the effect chain into an
// output file, on two threads in a pipeline. The job's thread reads and
// processes block n+1 through the chain while the write thread encodes and
// writes block n; one BlockHandOff carries the blocks between them.
//
// The job owns the session it renders: its own reading of the source through
// its own effect chain, prepared by the save command (save_command.h), so
// playback of the same file goes on meanwhile. A split save hands it to the
// split render, which lets it go once it has rendered the first piece. The integer PCM handed to the writer and the bit rate are the job's
// ExportFormat (audio_writer.h).
//
// Nothing at the output's name is touched until the job has succeeded: the
// writer writes a StagedFile (a temporary file in the output's folder),
// which gets the tags and is committed (renamed into place) only when
// everything has worked; the .cdg companion is staged the same way and
// committed after the audio. A cancel or any failure removes the temporary
// files and nothing else. The names are checked before anything is opened,
// so a named pipe, a device or a folder there is refused at once instead of
// blocking the job.
//
// Nothing here needs a window: progress and the end leave through
// ExportProgress. Nothing is shown from the job's threads: the writer's
// queued messages and the job's failure text are handed to the owner at the
// end (ExportOutcome), to be shown on the main thread.
//
// A long save whose sound is stretched is rendered in pieces on several
// threads and joined (split_render.h); options.split says how. Otherwise,
// and always when nothing stretches or the file is short, the job's own
// session renders it whole, as it always has.
//
// All buffers are allocated once per job, before the block loop; the loop
// allocates nothing (a split save's pieces hold their output as it comes).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "export/split_render.h"
#include "export/writers/audio_writer.h"
#include "core/messages.h"

class BlockHandOff;
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

// Where the job reports to. Both calls come from the job's thread (the
// caller's with ExportJob::run).
class ExportProgress {
 public:
  virtual ~ExportProgress() = default;
  // Once per block: percent of the source read (0 … 100) and the bytes the
  // writer reported so far. Repeats of the same percent are normal.
  virtual void reportProgress(int percent, int64_t totalWrittenBytes) = 0;
  // Exactly once, the job's last step: the output is complete or deleted.
  // The owner may destroy the job from here on (its
  // destructor waits for the thread's last instructions).
  virtual void reportEnd(const ExportOutcome& outcome) = 0;
};

// What a job writes and how, fixed when it is made (CreateExport fills it).
struct ExportJobOptions {
  // Already carries the format's extension.
  std::string outName;
  int32_t formatIndex = 0;  // a FileType
  ExportFormat format;
  // The change of tempo in whole percent, for the .cdg companion.
  int32_t tempoChange = 0;
  // The source as the user opened it: its companion and the messages'
  // name; empty: the reader's.
  std::string sourceName;
  // A region of the source (PrepareForExport has put the reader and the
  // chain there): progress runs over it, and no .cdg companion is written,
  // since its graphics belong to the whole song. Negative: the whole file.
  int64_t fromMs = -1;
  int64_t toMs = -1;
  // The caller's decision (the window asks the user; the renderer has -y):
  // whether an existing file at outName, and at its companion's name, may
  // be replaced. Without it the job ends at once with outputExists.
  bool overwriteAllowed = false;
  // May be null. Must outlive the job's end report.
  ExportProgress* progress = nullptr;
  // Whether and how the stretch is split over cores.
  SplitSettings split = {};
};

class ExportJob {
 public:
  // Frames per read request (about 0.19 s at 44.1 kHz); each buffer holds 8
  // requests. The reader delivers 32-bit float samples.
  static constexpr uint32_t kBlockFrames = 8192;
  static constexpr uint32_t requestBytes(uint32_t channels) {
    return kBlockFrames * channels * uint32_t(sizeof(float));
  }
  static constexpr uint32_t bufferBytes(uint32_t channels) { return 8 * requestBytes(channels); }

  // The session's channel count must match options.format.pcm. Nothing
  // runs until start or run.
  ExportJob(std::unique_ptr<Session> session, ExportJobOptions options);
  // A job still running is cancelled and waited for: its temporary files go.
  ~ExportJob();
  ExportJob(const ExportJob&) = delete;
  ExportJob& operator=(const ExportJob&) = delete;

  // Runs the job on a thread of its own; returns at once. Once only.
  void start();
  // Waits for the end of a job started with start.
  void wait();
  // Runs the whole job on the calling thread. Instead of start, once only.
  void run();

  // The Cancel button: the temporary output is removed at the end, nothing
  // is moved into place, no companion is written. Before the job has begun
  // it ends at once; once the output has been moved into place it is past
  // cancelling (it ends saved). Any thread.
  void cancel() { stop_.request_stop(); }

  // Filled once the job has ended (after wait or run, or from reportEnd on).
  const ExportOutcome& outcome() const { return result_; }
  const ExportJobOptions& options() const { return options_; }
  // What the writer reported so far; any thread.
  int64_t totalWrittenBytes() const { return totalWritten_.load(); }

 private:
  void execute();
  // The output's and the companion's names, looked at before anything is
  // opened; then the temporary output file.
  void checkTargets();
  // The block loop and the remainder; starts the write thread.
  void renderBlocks();
  // Write thread.
  void writeBlock(std::span<const uint8_t> block);
  // The write thread's last block is written, then the thread has ended.
  void endWriting();
  // Completes the file, copies the tags and stages the companion; true when
  // it is ready to be put in place.
  bool completeOutput();
  void stageCompanion();
  // Commits the output, then the companion.
  void commitOutputs();
  void settleOutcome();
  void takeWriterMessages();
  // Percent from the split render when there is one, else from the session.
  void postProgress(const SplitRender* split);
  bool cancelled() const { return stop_.stop_requested(); }
  bool failed() const { return failed_.load(); }
  // The first failure is the job's one message; later ones are dropped.
  void fail(const std::string& text, bool exists = false, const std::string& caption = {});
  // Runs step; whatever it throws becomes the job's failure.
  template <class Step>
  void failOnException(Step&& step);
  void warn(const std::string& text);
  // text with the temporary names replaced by the ones the user knows.
  std::string userText(std::string text) const;

  // Set at construction; read by the job's thread.
  const std::string sourceFile_;  // the session's file
  const ExportJobOptions options_;
  // The job's thread: the session it renders; a split save hands it over
  // to the split render (null from then on).
  std::unique_ptr<Session> session_;

  // Any thread: the cancel, a failure, the bytes written.
  std::stop_source stop_;
  std::atomic<bool> failed_{false};
  std::atomic<int64_t> totalWritten_{0};

  // Shared by the job's thread and the write thread as the hand-off's
  // contract says (block_hand_off.h): the write thread uses writer_ only
  // between taking a block and giving it back, the job's thread only while
  // the write thread holds none, so the writer never has two users at once.
  std::unique_ptr<BlockHandOff> handOff_;
  std::unique_ptr<AudioWriter> writer_;

  // Job's thread only.
  std::jthread writeThread_;
  std::unique_ptr<uint8_t[]> readBuffer_;
  std::unique_ptr<StagedFile> staged_;           // the audio under its temporary name
  std::unique_ptr<StagedFile> stagedCompanion_;  // the .cdg, likewise
  std::string companionSource_;  // the source's companion to carry over; empty: none
  // These go into the outcome when the output was saved.
  std::vector<pw::Message> notices_;   // the writer's
  std::vector<pw::Message> warnings_;  // the job's
  bool inputEndedShort_ = false;
  bool companionMissing_ = false;
  bool saved_ = false;  // the output is in place

  // Either thread, under failureLock_: the failure text may come from both.
  std::mutex failureLock_;
  ExportOutcome result_;

  // The owner's thread: the job's thread after start.
  std::jthread thread_;
};
