// M4A writer (format index 4): AAC Low Complexity with FFmpeg's native AAC
// encoder, stored as one audio track of an MPEG-4 file (FFmpeg's "ipod"
// muxer); no metadata of its own (tags are copied afterwards).
//
// Input is interleaved 16-bit PCM, one or two channels, in blocks of any byte
// length: the blocks are cut into encoder frames of 1024 samples per channel,
// a partial frame (even one ending inside a sample) waiting in a carry-over
// buffer for the next block. At the end the last partial frame is padded with
// silence and the encoder is drained.
//
// File: track time scale = sample rate, every sample lasting 1024; movie time
// scale 90000; the encoder's priming and the padding of the last frame are
// cut by the edit list, so the presented length is the input's. The muxer
// writes through its own I/O context onto an OutputFile, which afterwards
// also serves to correct the edit list in place.
//
// All buffers (carry-over, encoder frame, packet) are allocated at
// construction; write allocates nothing itself (the muxer grows its index).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "export/writers/audio_writer.h"
#include "export/writers/output_file.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct AVStream;

class M4aWriter : public AudioWriter {
 public:
  // Output path: requestedPath with ".m4a". Throws WriterError, in the order of the
  // set-up steps: "Unable to open AAC encoder", "Unable to set the AOT",
  // "Unable to set the sample rate", "Unable to set the channel mode",
  // "Unable to set the wav channel order", "Unable to set the bitrate",
  // "Unable to set the afterburner mode", "Unable to initialize the
  // encoder", "Unable to get the encoder info", "Unable to create MP4 file"
  // (with the file's path and the system's reason on a second line when the
  // file is the cause). The file is created only after the encoder is ready.
  M4aWriter(const std::string& requestedPath, const ExportFormat& format);
  ~M4aWriter() override;

  // Encodes the whole frames now available and keeps the rest. Returns 0.
  // Throws WriterError "Cannot write "<outputPath>": <system error>" when the
  // file does not take the data, or with FFmpeg's text for an encoder or
  // muxer error.
  int32_t write(const void* p, uint32_t size) override;

  // Samples per encoder frame, all channels together.
  uint32_t frameSamples() const { return frameSamples_; }
  // Bytes waiting in the carry-over buffer (always less than one frame).
  uint32_t pendingBytes() const { return carryBytes_; }
  // The bit rate the encoder settled on: the one asked for, or its ceiling
  // for the sample rate and channels (an Information message then says so).
  uint32_t bitrateKbps() const { return bitrateUsed_; }

 private:
  struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const noexcept;
  };
  struct FormatContextDeleter {
    void operator()(AVFormatContext* f) const noexcept;
  };
  struct IoContextDeleter {
    void operator()(AVIOContext* io) const noexcept;
  };
  struct FrameDeleter {
    void operator()(AVFrame* f) const noexcept;
  };
  struct PacketDeleter {
    void operator()(AVPacket* p) const noexcept;
  };

  // Encodes one frame of frameSamples_ interleaved samples (little-endian bytes,
  // any alignment) and stores what the encoder returns.
  void encodeFrame(const uint8_t* bytes);
  // Stores every packet the encoder has ready.
  void storePackets();
  // Pads and encodes the last partial frame, drains the encoder and
  // completes the file.
  void complete() override;
  void completeFile();
  // Throws the file's failure, or else FFmpeg's text for `error`.
  [[noreturn]] void stopOnFailure(const char* what, int error);

  std::unique_ptr<AVCodecContext, CodecContextDeleter> encoder_;
  OutputFile file_;  // outlives the I/O context that writes into it
  std::unique_ptr<AVIOContext, IoContextDeleter> io_;
  std::unique_ptr<AVFormatContext, FormatContextDeleter> muxer_;
  AVStream* track_ = nullptr;  // owned by muxer_
  std::unique_ptr<AVFrame, FrameDeleter> frame_;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  std::unique_ptr<uint8_t[]> carry_;  // one frame
  uint32_t carryBytes_ = 0;
  uint32_t frameSamples_ = 0;
  uint32_t frameLength_ = 0;  // samples per channel per frame
  uint32_t channels_ = 0;
  uint32_t sampleRate_ = 0;
  uint32_t bitrateUsed_ = 0;
  int64_t nextPts_ = 0;      // in samples per channel
  uint64_t inputBytes_ = 0;  // everything given to write
  bool ready_ = false;
};
