// Output writers: one object per output file, fed blocks of interleaved
// integer PCM and completed by its destructor.
//
// Threads: the export job calls a writer from two threads in turn (the write
// thread for the blocks of the loop, the job thread for the last block and the
// destruction), never at the same time, so a writer needs no lock of its own.
//
// Messages: a writer never shows a message box itself (it may run on a worker
// thread). What the user must see (for instance an MP3 file write that came up
// short) is queued on the writer; the job collects it with TakeMessages and
// hands it to the main thread (pw::ShowMessage). Construction failures are
// thrown as WriterError, whose what() is the text for the user.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio_format.h"
#include "file_names.h"
#include "messages.h"

class WriterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AudioWriter {
 public:
  virtual ~AudioWriter() = default;
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  // Appends size bytes of interleaved PCM as described by the ExportFormat
  // the writer was made with.
  // What it returns depends on the writer: WAV the size, MP3 the bytes
  // written or −1, FLAC and M4A 0. The caller only adds the results up.
  virtual int32_t Write(const void* p, uint32_t size) = 0;

  // Messages queued since the last call, oldest first. Thread-safe.
  std::vector<pw::Message> TakeMessages();

  // Path of the file being written, with the writer's own extension.
  std::string fname;

 protected:
  AudioWriter() = default;
  void Report(pw::MessageKind kind, std::string text, std::string caption);

 private:
  std::mutex MessageLock;
  std::vector<pw::Message> Pending;
};

// The save dialog's file types; the number is also the "defaultcodec" setting.
enum FileType : int32_t { FileTypeMp3 = 1, FileTypeWav = 2, FileTypeFlac = 3, FileTypeM4a = 4 };

// What one export writes: the integer PCM the writer receives (16-bit, or
// the source depth for WAV and FLAC) and, for MP3 and M4A, the bit rate.
struct ExportFormat {
  AudioFormat pcm = MakeAudioFormat(SampleEncoding::Integer, 44100, 2, 16);
  int32_t bitrateKbps = 0;  // 0 lets the encoder choose
};

// Constructs a writer for the path; throws WriterError when the file or the
// encoder cannot be set up.
using WriterFactory = std::unique_ptr<AudioWriter> (*)(const std::string& path, const ExportFormat& format);

// Writer per format index: 1 MP3, 2 WAV, 3 FLAC, 4 M4A; entry 0 is empty.
extern const std::array<WriterFactory, 5> WriterClasses;

