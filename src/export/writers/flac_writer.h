// FLAC writer (format index 3): libFLAC's stream encoder at compression level
// 3, no verification, streamable subset off, no metadata of its own (tags are
// copied afterwards). Input is packed little-endian PCM at
// the export format's bitsPerSample: 8 (unsigned), 16 or 24 (signed).
//
// The encoder writes through callbacks onto an OutputFile, and at the end
// seeks back to complete the stream information block.
//
// The sample conversion buffer is allocated at construction; write cuts
// blocks of any length into pieces that fit it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "export/writers/audio_writer.h"

class FlacWriter : public AudioWriter {
 public:
  // outputPath := requestedPath with ".flac". Throws WriterError "Can not initialize FLAC
  // encoder" when the encoder cannot be created or the file not opened; in
  // the second case the file's path and the system's reason follow on a
  // second line.
  FlacWriter(const std::string& requestedPath, const ExportFormat& format);
  ~FlacWriter() override;

  // Encodes the whole frames of the block (an incomplete last frame is
  // ignored). Returns 0. Throws WriterError "Cannot write "<outputPath>":
  // <system error>" when the file does not take the encoded bytes, or a text
  // naming the encoder's state when the encoder fails.
  int32_t write(const void* p, uint32_t size) override;

 private:
  struct Codec;
  struct CodecDeleter {
    void operator()(Codec* c) const noexcept;
  };

  // Finishes the stream (which completes the file), closes the file and
  // frees the encoder.
  void complete() override;
  [[noreturn]] void stopOnEncoderFailure();

  int32_t bitsPerSample_ = 16;
  int32_t frameBytes_ = 4;
  uint32_t channels_ = 2;
  std::unique_ptr<Codec, CodecDeleter> codec_;
};
