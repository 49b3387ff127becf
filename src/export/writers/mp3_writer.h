// MP3 writer (format index 1): LAME, constant bit rate (the export format's), no
// VBR/Info header and no tags (tags are copied afterwards), mono or plain
// stereo by channel count. Input is interleaved 16-bit PCM, one or two
// channels. Encoded bytes are written to the file as they come.
//
// The bit rate is what LAME makes of the requested one: MPEG-2 (16000–24000
// Hz) allows at most 160 kb/s, and LAME keeps MPEG-2.5 (8000–12000 Hz) at
// 64 kb/s or less. When the rate used differs from the one asked for, an
// Information message says so.
//
// The output buffer is allocated at construction (one second × 10 bytes);
// write cuts longer blocks into pieces whose encoded size is sure to fit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "export/writers/audio_writer.h"
#include "export/writers/output_file.h"

struct lame_global_struct;

// The encoder settings, after LAME's configuration record.
struct Mp3EncoderConfig {
  uint32_t sampleRate = 0;     // input rate
  uint32_t outSampleRate = 0;  // the input rate when MP3 can carry it, else the next rate up that it can
  int32_t mode = 0;            // 3 mono, 0 stereo
  uint32_t bitrateKbps = 0;     // kb/s; 0 lets LAME pick its default
  uint32_t maxBitrateKbps = 320;  // no effect at constant bit rate
  // 1 (MPEG-1) at 16000 Hz and more, else 0 (MPEG-2). As with LAME's
  // configuration record it does not force anything: the version written
  // follows the output rate (MPEG-1 32000–48000, MPEG-2 16000–24000,
  // MPEG-2.5 8000–12000).
  uint32_t mpegVersion = 0;
};

class Mp3Writer : public AudioWriter {
 public:
  // outputPath := requestedPath with ".mp3". Throws WriterError "Cannot create output
  // file" or, with the file already created, "Error opening encoding stream",
  // with the file's path and the system's reason on a second line where
  // there is one.
  Mp3Writer(const std::string& requestedPath, const ExportFormat& format);
  ~Mp3Writer() override;

  // Encodes size / 2 samples (all channels, interleaved; an odd last byte
  // and, in stereo, an unpaired last sample are ignored) and writes what the
  // encoder produced. Returns the bytes written; −1 once the writer has
  // stopped. Throws WriterError "Data write error!" (caption "MP3 Encoder
  // Error") with "Cannot write "<outputPath>": <system error>" beneath when the
  // file does not take the bytes, or a text naming the encoder's error code.
  int32_t write(const void* p, uint32_t size) override;

  static Mp3EncoderConfig makeConfig(const AudioFormat& format, int32_t bitrate);
  // The highest bit rate LAME writes at an output sample rate, in kb/s.
  static uint32_t maxBitrateKbps(uint32_t outSampleRate);
  // The bit rate the encoder actually uses, in kb/s.
  uint32_t bitrateKbps() const { return bitrateUsed_; }

 private:
  struct EncoderCloser {
    void operator()(lame_global_struct* gf) const noexcept;
  };

  // Flushes the encoder's last frames to the file and closes it.
  void complete() override;
  [[noreturn]] void stopOnFileFailure();

  OutputFile file_;
  std::unique_ptr<lame_global_struct, EncoderCloser> encoder_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t bufferBytes_ = 0;
  uint32_t chunkFrames_ = 0;  // frames per encoder call whose output surely fits buffer_
  uint32_t channels_ = 2;
  Mp3EncoderConfig config_;
  uint32_t bitrateUsed_ = 0;
};
