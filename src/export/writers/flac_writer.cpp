#include "flac_writer.h"

#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <vector>

namespace {

struct StreamEncoderDeleter {
  void operator()(FLAC__StreamEncoder* e) const noexcept { FLAC__stream_encoder_delete(e); }
};

// Frames converted per call to the encoder.
constexpr uint32_t ChunkFrames = 4096;

}  // namespace

struct FlacWriter::Codec {
  std::unique_ptr<FLAC__StreamEncoder, StreamEncoderDeleter> handle;
  std::vector<FLAC__int32> samples;  // ChunkFrames × channels
};

void FlacWriter::CodecDeleter::operator()(Codec* c) const noexcept { delete c; }

FlacWriter::FlacWriter(const std::string& iname, const ExportFormat& format) {
  static const char* const InitError = "Can not initialize FLAC encoder";
  encoder.reset(new Codec);
  encoder->handle.reset(FLAC__stream_encoder_new());
  if (!encoder->handle) throw WriterError(InitError);
  FLAC__StreamEncoder* e = encoder->handle.get();

  fname = ChangeFileExt(iname, ".flac");
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
  if (FLAC__stream_encoder_init_file(e, fname.c_str(), nullptr, nullptr) != FLAC__STREAM_ENCODER_INIT_STATUS_OK)
    throw WriterError(InitError);
  encoder->samples.resize(size_t{ChunkFrames} * Channels);
}

FlacWriter::~FlacWriter() {
  if (encoder && encoder->handle) FLAC__stream_encoder_finish(encoder->handle.get());
}

int32_t FlacWriter::Write(const void* p, uint32_t size) {
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
    FLAC__stream_encoder_process_interleaved(encoder->handle.get(), dst, n);
    frames -= n;
  }
  return 0;
}
