#include "flac_writer.h"

#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <string>
#include <vector>

#include "output_file.h"

namespace {

struct StreamEncoderDeleter {
  void operator()(FLAC__StreamEncoder* e) const noexcept { FLAC__stream_encoder_delete(e); }
};

// Frames converted per call to the encoder.
constexpr uint32_t ChunkFrames = 4096;

FLAC__StreamEncoderWriteStatus WriteToFile(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                           uint32_t, uint32_t, void* file) {
  return static_cast<OutputFile*>(file)->Write(buffer, bytes) ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
                                                              : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus SeekInFile(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* file) {
  return static_cast<OutputFile*>(file)->Seek(int64_t(offset)) ? FLAC__STREAM_ENCODER_SEEK_STATUS_OK
                                                               : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus TellInFile(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* file) {
  auto* f = static_cast<OutputFile*>(file);
  if (f->Failed()) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
  *offset = FLAC__uint64(f->Tell());
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

}  // namespace

struct FlacWriter::Codec {
  // Declared before the encoder, which writes into it until it is deleted
  // (deleting an encoder that was not finished finishes it).
  OutputFile file;
  std::unique_ptr<FLAC__StreamEncoder, StreamEncoderDeleter> handle;
  std::vector<FLAC__int32> samples;  // ChunkFrames × channels
};

void FlacWriter::CodecDeleter::operator()(Codec* c) const noexcept { delete c; }

FlacWriter::FlacWriter(const std::string& requestedPath, const ExportFormat& format) {
  static const char* const InitError = "Can not initialize FLAC encoder";
  encoder.reset(new Codec);
  encoder->handle.reset(FLAC__stream_encoder_new());
  if (!encoder->handle) throw WriterError(InitError);
  FLAC__StreamEncoder* e = encoder->handle.get();

  outputPath = ChangeFileExt(requestedPath, ".flac");
  FLAC__stream_encoder_set_verify(e, false);
  FLAC__stream_encoder_set_streamable_subset(e, false);
  FLAC__stream_encoder_set_compression_level(e, 3);
  FLAC__stream_encoder_set_channels(e, format.pcm.channels);
  bps = format.pcm.bitsPerSample;
  Channels = format.pcm.channels;
  BlockAlign = (bps / 8) * static_cast<int32_t>(Channels);
  FLAC__stream_encoder_set_bits_per_sample(e, static_cast<uint32_t>(bps));
  FLAC__stream_encoder_set_sample_rate(e, format.pcm.sampleRate);

  if (BlockAlign <= 0 || (bps != 8 && bps != 16 && bps != 24)) throw WriterError(InitError);
  OutputFile& file = encoder->file;
  if (!file.Open(outputPath)) throw WriterError(std::string(InitError) + "\r\n" + file.ReasonLine());
  // With a seek callback the encoder goes back at the end to complete the
  // stream information; no metadata callback is needed.
  if (FLAC__stream_encoder_init_stream(e, &WriteToFile, &SeekInFile, &TellInFile, nullptr, &file) !=
      FLAC__STREAM_ENCODER_INIT_STATUS_OK)
    throw WriterError(file.Failed() ? std::string(InitError) + "\r\n" + file.ReasonLine() : InitError);
  encoder->samples.resize(size_t{ChunkFrames} * Channels);
}

FlacWriter::~FlacWriter() { FinishQuietly(); }

void FlacWriter::Complete() {
  OutputFile& file = encoder->file;
  if (Stopped()) {
    file.Close();
    return;
  }
  const bool finished = FLAC__stream_encoder_finish(encoder->handle.get());
  if (!file.Close()) Stop(file.FailureText());
  if (!finished) StopOnEncoderFailure();
}

void FlacWriter::StopOnEncoderFailure() {
  OutputFile& file = encoder->file;
  if (file.Failed()) Stop(file.FailureText());
  const FLAC__StreamEncoderState state = FLAC__stream_encoder_get_state(encoder->handle.get());
  Stop("Cannot write \"" + outputPath + "\": the FLAC encoder stopped (" + FLAC__StreamEncoderStateString[state] + ")");
}

int32_t FlacWriter::Write(const void* p, uint32_t size) {
  if (!Accepting()) return 0;
  const auto* src = static_cast<const uint8_t*>(p);
  uint32_t frames = size / static_cast<uint32_t>(BlockAlign);
  FLAC__int32* dst = encoder->samples.data();
  while (frames > 0) {
    const uint32_t n = std::min(frames, ChunkFrames);
    const size_t count = size_t{n} * Channels;
    switch (bps) {
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
    if (!FLAC__stream_encoder_process_interleaved(encoder->handle.get(), dst, n)) StopOnEncoderFailure();
    frames -= n;
  }
  return 0;
}
