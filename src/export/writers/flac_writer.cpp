#include "export/writers/flac_writer.h"

#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <string>
#include <vector>

#include "export/writers/output_file.h"

namespace {

struct StreamEncoderDeleter {
  void operator()(FLAC__StreamEncoder* e) const noexcept { FLAC__stream_encoder_delete(e); }
};

// Frames converted per call to the encoder.
constexpr uint32_t kChunkFrames = 4096;

FLAC__StreamEncoderWriteStatus WriteToFile(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                           uint32_t, uint32_t, void* file) {
  return static_cast<OutputFile*>(file)->write(buffer, bytes) ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
                                                              : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus SeekInFile(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* file) {
  return static_cast<OutputFile*>(file)->seek(int64_t(offset)) ? FLAC__STREAM_ENCODER_SEEK_STATUS_OK
                                                               : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus TellInFile(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* file) {
  auto* f = static_cast<OutputFile*>(file);
  if (f->failed()) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
  *offset = FLAC__uint64(f->tell());
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

}  // namespace

struct FlacWriter::Codec {
  // Declared before the encoder, which writes into it until it is deleted
  // (deleting an encoder that was not finished finishes it).
  OutputFile file;
  std::unique_ptr<FLAC__StreamEncoder, StreamEncoderDeleter> handle;
  std::vector<FLAC__int32> samples;  // kChunkFrames × channels
};

void FlacWriter::CodecDeleter::operator()(Codec* c) const noexcept { delete c; }

FlacWriter::FlacWriter(const std::string& requestedPath, const ExportFormat& format) {
  static const char* const kInitError = "Can not initialize FLAC encoder";
  codec_.reset(new Codec);
  codec_->handle.reset(FLAC__stream_encoder_new());
  if (!codec_->handle) throw WriterError(kInitError);
  FLAC__StreamEncoder* e = codec_->handle.get();

  outputPath_ = ChangeFileExt(requestedPath, ".flac");
  FLAC__stream_encoder_set_verify(e, false);
  FLAC__stream_encoder_set_streamable_subset(e, false);
  FLAC__stream_encoder_set_compression_level(e, 3);
  FLAC__stream_encoder_set_channels(e, format.pcm.channels);
  bitsPerSample_ = format.pcm.bitsPerSample;
  channels_ = format.pcm.channels;
  frameBytes_ = (bitsPerSample_ / 8) * static_cast<int32_t>(channels_);
  FLAC__stream_encoder_set_bits_per_sample(e, static_cast<uint32_t>(bitsPerSample_));
  FLAC__stream_encoder_set_sample_rate(e, format.pcm.sampleRate);

  if (frameBytes_ <= 0 || (bitsPerSample_ != 8 && bitsPerSample_ != 16 && bitsPerSample_ != 24)) throw WriterError(kInitError);
  OutputFile& file = codec_->file;
  if (!file.open(outputPath_)) throw WriterError(std::string(kInitError) + "\n" + file.reasonLine());
  // With a seek callback the encoder goes back at the end to complete the
  // stream information; no metadata callback is needed.
  if (FLAC__stream_encoder_init_stream(e, &WriteToFile, &SeekInFile, &TellInFile, nullptr, &file) !=
      FLAC__STREAM_ENCODER_INIT_STATUS_OK)
    throw WriterError(file.failed() ? std::string(kInitError) + "\n" + file.reasonLine() : kInitError);
  codec_->samples.resize(size_t{kChunkFrames} * channels_);
}

FlacWriter::~FlacWriter() { finishQuietly(); }

void FlacWriter::complete() {
  OutputFile& file = codec_->file;
  if (stopped()) {
    file.close();
    return;
  }
  const bool finished = FLAC__stream_encoder_finish(codec_->handle.get());
  if (!file.close()) stop(file.failureText());
  if (!finished) stopOnEncoderFailure();
}

void FlacWriter::stopOnEncoderFailure() {
  OutputFile& file = codec_->file;
  if (file.failed()) stop(file.failureText());
  const FLAC__StreamEncoderState state = FLAC__stream_encoder_get_state(codec_->handle.get());
  stop("Cannot write \"" + outputPath_ + "\": the FLAC encoder stopped (" + FLAC__StreamEncoderStateString[state] + ")");
}

int32_t FlacWriter::write(const void* p, uint32_t size) {
  if (!accepting()) return 0;
  const auto* src = static_cast<const uint8_t*>(p);
  uint32_t frames = size / static_cast<uint32_t>(frameBytes_);
  FLAC__int32* dst = codec_->samples.data();
  while (frames > 0) {
    const uint32_t n = std::min(frames, kChunkFrames);
    const size_t count = size_t{n} * channels_;
    switch (bitsPerSample_) {
      case 8:
        for (size_t i = 0; i < count; ++i) dst[i] = FLAC__int32{src[i]} - 128;
        src += count;
        break;
      case 16:
        for (size_t i = 0; i < count; ++i, src += 2)
          dst[i] = static_cast<int16_t>(static_cast<uint16_t>(src[0] | (src[1] << 8)));
        break;
      default:  // 24: the top byte carries the sign
        for (size_t i = 0; i < count; ++i, src += 3)
          dst[i] = static_cast<int32_t>(uint32_t{src[0]} << 8 | uint32_t{src[1]} << 16 | uint32_t{src[2]} << 24) >> 8;
        break;
    }
    if (!FLAC__stream_encoder_process_interleaved(codec_->handle.get(), dst, n)) stopOnEncoderFailure();
    frames -= n;
  }
  return 0;
}
