// Output writers: one object per output file, fed blocks of interleaved
// integer PCM and completed by finish.
//
// Threads: the export job calls a writer from two threads in turn (the write
// thread for the blocks of the loop, the job thread for the last block,
// finish and the destruction), never at the same time, so a writer needs no
// lock of its own; only the message queue (messageLock_) is shared.
//
// Failures: the first failure of the file or the encoder stops the writer. It
// is thrown once as WriterError, from the write or finish that met it; later
// write calls do nothing and finish only lets go of the file. Construction
// failures are thrown as WriterError too. A WriterError's what() is the text
// for the user.
//
// Messages: a writer never shows a message box itself (it may run on a worker
// thread). What the user should also hear of (for instance an MP3 bit rate the
// format does not allow at that sample rate) is queued on the writer; the job
// collects it with takeMessages and hands it to the main thread
// (pw::ShowMessage).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/audio_format.h"
#include "core/file_names.h"
#include "core/messages.h"

class WriterError : public std::runtime_error {
 public:
  explicit WriterError(const std::string& text, std::string caption = {})
      : std::runtime_error(text), caption_(std::move(caption)) {}
  // The message box caption that goes with the text; empty for the default.
  const std::string& caption() const noexcept { return caption_; }

 private:
  std::string caption_;
};

class AudioWriter {
 public:
  // A writer not finished yet finishes here, quietly: a failure is lost, so
  // the owner calls finish first.
  virtual ~AudioWriter() = default;
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  // Appends size bytes of interleaved PCM as described by the ExportFormat
  // the writer was made with.
  // What it returns depends on the writer: WAV the size, MP3 the bytes
  // written or −1, FLAC and M4A 0. The caller only adds the results up.
  // Throws WriterError on the first failure; does nothing after one, or
  // after finish.
  virtual int32_t write(const void* p, uint32_t size) = 0;

  // Completes the file (header, encoder flush, trailer) and closes it.
  // Throws WriterError when that fails. Only the first call does anything.
  void finish();

  // Messages queued since the last call, oldest first. Thread-safe.
  std::vector<pw::Message> takeMessages();

  // Path of the file being written, with the writer's own extension.
  const std::string& outputPath() const { return outputPath_; }

 protected:
  AudioWriter() = default;
  void report(pw::MessageKind kind, std::string text, std::string caption);

  // The writer's own completion, called once by finish; after a failure it
  // only releases the file.
  virtual void complete() = 0;
  // For the destructors of the writers: finish unless done, ignoring a
  // failure (a destructor must not throw).
  void finishQuietly() noexcept;

  // Remembers the failure and throws it; the one report of it.
  [[noreturn]] void stop(const std::string& text, const std::string& caption = {});
  bool stopped() const { return stopped_; }
  // Neither stopped nor finished: write has something to do.
  bool accepting() const { return !stopped_ && !finished_; }

  // Set by the writer's constructor.
  std::string outputPath_;

 private:
  std::mutex messageLock_;
  std::vector<pw::Message> pending_;
  bool finished_ = false;
  bool stopped_ = false;
};

// The save dialog's file types; the number is also the "defaultcodec" setting.
enum FileType : int32_t { FileTypeMp3 = 1, FileTypeWav = 2, FileTypeFlac = 3, FileTypeM4a = 4 };

// What one export writes: the integer PCM the writer receives (16-bit, or
// the source depth for WAV and FLAC) and, for MP3 and M4A, the bit rate.
struct ExportFormat {
  AudioFormat pcm = MakeAudioFormat(SampleEncoding::Integer, 44100, 2, 16);
  int32_t bitrateKbps = 0;  // 0 lets the encoder choose
};

// Extension forced on the output, by format index − 1 (1 MP3, 2 WAV, 3 FLAC,
// 4 M4A).
inline constexpr std::array<const char*, 4> kOutputExtensions = {".mp3", ".wav", ".flac", ".m4a"};

