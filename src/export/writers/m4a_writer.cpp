#include "export/writers/m4a_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>


namespace {

constexpr int kMovieTimeScale = 90000;

template <class T, class Pred>
bool ListContains(const T* list, T end, Pred match) {
  if (!list) return false;
  for (; *list != end; ++list)
    if (match(*list)) return true;
  return false;
}

uint32_t GetBe32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t GetBe64(const uint8_t* p) { return uint64_t(GetBe32(p)) << 32 | GetBe32(p + 4); }
void PutBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
void PutBe64(uint8_t* p, uint64_t v) {
  PutBe32(p, uint32_t(v >> 32));
  PutBe32(p + 4, uint32_t(v));
}

struct Box {
  size_t payload = 0, end = 0;  // offsets in the buffer
};

// The first child box of the given type in [begin, end) of a box payload.
std::optional<Box> Child(const std::vector<uint8_t>& b, size_t begin, size_t end, const char* type) {
  for (size_t at = begin; at + 8 <= end;) {
    uint64_t size = GetBe32(&b[at]);
    size_t header = 8;
    if (size == 1 && at + 16 <= end) size = GetBe64(&b[at + 8]), header = 16;
    if (size < header || size > end - at) return std::nullopt;
    if (std::memcmp(&b[at + 4], type, 4) == 0) return Box{at + header, size_t(at + size)};
    at += size_t(size);
  }
  return std::nullopt;
}

// A duration field of a full box: 32-bit at off32 for version 0, 64-bit at
// off64 for version 1 (offsets from the payload start).
void SetDuration(std::vector<uint8_t>& b, const Box& box, size_t off32, size_t off64, uint64_t value) {
  if (b[box.payload] == 1) {
    if (box.payload + off64 + 8 <= box.end) PutBe64(&b[box.payload + off64], value);
  } else if (box.payload + off32 + 4 <= box.end) {
    PutBe32(&b[box.payload + off32], uint32_t(std::min<uint64_t>(value, UINT32_MAX)));
  }
}

// The muxer's edit list shows whole frames: from the end of the encoder's
// priming to the end of the padded last frame. Shortens the edit that shows
// the media to `samples` (track units), so the padding is not presented, and
// makes the movie and track durations agree. Works on the finished file,
// whose index ("moov") follows the media data. False only when the file
// fails; a layout it does not know is left as it is.
bool TrimPresentation(OutputFile& f, uint64_t samples, uint32_t trackTimeScale) {
  uint8_t head[16];
  for (int64_t at = 0;;) {
    if (!f.seek(at)) return false;
    int64_t got = f.read(head, 8);
    if (got != 8) return got >= 0;
    uint64_t size = GetBe32(head);
    int64_t header = 8;
    if (size == 1) {
      got = f.read(head + 8, 8);
      if (got != 8) return got >= 0;
      size = GetBe64(head + 8);
      header = 16;
    }
    if (size < uint64_t(header)) return true;
    if (std::memcmp(head + 4, "moov", 4) != 0) {
      at += int64_t(size);
      continue;
    }
    std::vector<uint8_t> moov(size_t(size - uint64_t(header)));
    got = f.read(moov.data(), moov.size());
    if (got != int64_t(moov.size())) return got >= 0;
    const auto mvhd = Child(moov, 0, moov.size(), "mvhd");
    const auto trak = Child(moov, 0, moov.size(), "trak");
    if (!mvhd || !trak || mvhd->end - mvhd->payload < 32) return true;
    const auto tkhd = Child(moov, trak->payload, trak->end, "tkhd");
    const auto edts = Child(moov, trak->payload, trak->end, "edts");
    const auto elst = edts ? Child(moov, edts->payload, edts->end, "elst") : std::nullopt;
    if (!tkhd || !elst || elst->end - elst->payload < 8) return true;
    const bool v1 = moov[mvhd->payload] == 1;
    const uint32_t movieTimeScale = GetBe32(&moov[mvhd->payload + (v1 ? 20 : 12)]);

    const bool e1 = moov[elst->payload] == 1;
    const size_t entrySize = e1 ? 20 : 12;
    const uint32_t count = GetBe32(&moov[elst->payload + 4]);
    if (count == 0 || elst->payload + 8 + count * entrySize > elst->end) return true;
    uint64_t total = 0;
    for (uint32_t e = 0; e < count; ++e) {
      uint8_t* entry = &moov[elst->payload + 8 + e * entrySize];
      if (e + 1 == count) {
        const uint64_t shown = uint64_t(av_rescale(int64_t(samples), movieTimeScale, trackTimeScale));
        if (e1)
          PutBe64(entry, shown);
        else
          PutBe32(entry, uint32_t(std::min<uint64_t>(shown, UINT32_MAX)));
      }
      total += e1 ? GetBe64(entry) : GetBe32(entry);
    }
    SetDuration(moov, *mvhd, 16, 24, total);
    SetDuration(moov, *tkhd, 20, 28, total);
    return f.seek(at + header) && f.write(moov.data(), moov.size());
  }
}

// The muxer's I/O onto the OutputFile.
int IoError(const OutputFile& f) { return AVERROR(f.failed() ? f.errorNumber() : EBADF); }

#if LIBAVFORMAT_VERSION_MAJOR >= 61
int WritePacket(void* file, const uint8_t* data, int size) {
#else
int WritePacket(void* file, uint8_t* data, int size) {
#endif
  auto* f = static_cast<OutputFile*>(file);
  return f->write(data, size_t(size)) ? size : IoError(*f);
}

int64_t SeekPacket(void* file, int64_t offset, int whence) {
  auto* f = static_cast<OutputFile*>(file);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) {
    const int64_t size = f->size();
    return size >= 0 ? size : IoError(*f);
  }
  int64_t target = offset;
  if (whence == SEEK_CUR) {
    target += f->tell();
  } else if (whence == SEEK_END) {
    const int64_t size = f->size();
    if (size < 0) return IoError(*f);
    target += size;
  } else if (whence != SEEK_SET) {
    return AVERROR(EINVAL);
  }
  return f->seek(target) ? target : IoError(*f);
}

// Large enough that the muxer hands the file few, large pieces.
constexpr int kIoBufferBytes = 64 * 1024;

}  // namespace

void M4aWriter::CodecContextDeleter::operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }

void M4aWriter::FormatContextDeleter::operator()(AVFormatContext* f) const noexcept { avformat_free_context(f); }

void M4aWriter::IoContextDeleter::operator()(AVIOContext* io) const noexcept {
  av_freep(&io->buffer);
  avio_context_free(&io);
}

void M4aWriter::FrameDeleter::operator()(AVFrame* f) const noexcept { av_frame_free(&f); }

void M4aWriter::PacketDeleter::operator()(AVPacket* p) const noexcept { av_packet_free(&p); }

M4aWriter::M4aWriter(const std::string& requestedPath, const ExportFormat& format) {
  ready_ = false;
  carryBytes_ = 0;
  frameSamples_ = 0;
  channels_ = format.pcm.channels;
  sampleRate_ = format.pcm.sampleRate;

  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec) encoder_.reset(avcodec_alloc_context3(codec));
  if (!encoder_) throw WriterError("Unable to open AAC encoder");
  AVCodecContext* ctx = encoder_.get();

  // The encoder parameters, each checked against what the encoder offers.
  if (av_opt_set(ctx, "profile", "aac_low", 0) < 0 || ctx->profile != FF_PROFILE_AAC_LOW)
    throw WriterError("Unable to set the AOT");

  if (!ListContains(codec->supported_samplerates, 0, [&](int r) { return r == static_cast<int>(sampleRate_); }))
    throw WriterError("Unable to set the sample rate");
  ctx->sample_rate = static_cast<int>(sampleRate_);
  ctx->time_base = AVRational{1, ctx->sample_rate};

  if (channels_ != 1 && channels_ != 2) throw WriterError("Unable to set the channel mode");
  av_channel_layout_default(&ctx->ch_layout, static_cast<int>(channels_));

  // Channel order: WAV order is the encoder's own for mono and stereo; what
  // has to match is the planar float layout the frames are converted into.
  if (!ListContains(codec->sample_fmts, AV_SAMPLE_FMT_NONE, [](AVSampleFormat f) { return f == AV_SAMPLE_FMT_FLTP; }))
    throw WriterError("Unable to set the wav channel order");
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;

  if (format.bitrateKbps < 0) throw WriterError("Unable to set the bitrate");
  ctx->bit_rate = int64_t{format.bitrateKbps} * 1000;

  // Transport: raw frames for the MP4 track, the decoder configuration
  // going into the track's description instead of a header on every frame.
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  // Quantiser search: "fast" rather than the default "twoloop", which keeps
  // the waveform far less faithfully at the rates offered (96 kb/s and up;
  // about 16 against 39 dB signal-to-residual on a stereo harmonic tone at
  // 128 kb/s) for the same bit rate.
  if (av_opt_set(ctx, "aac_coder", "fast", AV_OPT_SEARCH_CHILDREN) < 0)
    throw WriterError("Unable to set the afterburner mode");

  if (avcodec_open2(ctx, codec, nullptr) < 0) throw WriterError("Unable to initialize the encoder");

  // The encoder caps the rate at 6144 bits per channel and 1024-sample
  // frame, and lowers a higher one when it opens: at low sample rates far
  // below the rates offered. Said once, like the MP3 writer's notice.
  bitrateUsed_ = static_cast<uint32_t>(std::max<int64_t>(ctx->bit_rate, 0) / 1000);
  if (format.bitrateKbps > 0 && ctx->bit_rate < int64_t{format.bitrateKbps} * 1000) {
    const std::string used = std::to_string(bitrateUsed_) + " kb/s";
    report(pw::MessageKind::Information,
           "M4A at " + std::to_string(sampleRate_) + " Hz allows at most " + used + ": " +
               std::to_string(format.bitrateKbps) + " kb/s lowered to " + used + ".",
           {});
  }

  if (ctx->frame_size <= 0 || ctx->extradata_size <= 0) throw WriterError("Unable to get the encoder info");
  frameLength_ = static_cast<uint32_t>(ctx->frame_size);
  frameSamples_ = channels_ * frameLength_;

  frame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (!frame_ || !packet_) throw WriterError("Unable to initialize the encoder");
  frame_->nb_samples = ctx->frame_size;
  frame_->format = ctx->sample_fmt;
  frame_->sample_rate = ctx->sample_rate;
  if (av_channel_layout_copy(&frame_->ch_layout, &ctx->ch_layout) < 0 || av_frame_get_buffer(frame_.get(), 0) < 0)
    throw WriterError("Unable to initialize the encoder");
  carry_ = std::make_unique<uint8_t[]>(size_t{frameSamples_} * 2);

  outputPath_ = ChangeFileExt(requestedPath, ".m4a");
  AVFormatContext* fmt = nullptr;
  if (avformat_alloc_output_context2(&fmt, nullptr, "ipod", outputPath_.c_str()) < 0 || !fmt)
    throw WriterError("Unable to create MP4 file");
  muxer_.reset(fmt);
  // No "encoder" tag: the file carries only the tags copied from the source.
  fmt->flags |= AVFMT_FLAG_BITEXACT;
  track_ = avformat_new_stream(fmt, nullptr);
  if (!track_ || avcodec_parameters_from_context(track_->codecpar, ctx) < 0)
    throw WriterError("Unable to create MP4 file");
  // The muxer gives an audio track the sample rate as its time scale.
  track_->time_base = ctx->time_base;
  av_opt_set_int(fmt->priv_data, "movie_timescale", kMovieTimeScale, 0);
  // Read and write: the edit list is corrected in place at the end.
  if (!file_.open(outputPath_, OutputFile::Access::ReadWrite))
    throw WriterError("Unable to create MP4 file\n" + file_.reasonLine());
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
  if (buffer) io_.reset(avio_alloc_context(buffer, kIoBufferBytes, 1, &file_, nullptr, &WritePacket, &SeekPacket));
  if (!io_) {
    av_free(buffer);
    throw WriterError("Unable to create MP4 file");
  }
  fmt->pb = io_.get();
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_write_header(fmt, nullptr) < 0)
    throw WriterError(file_.failed() ? "Unable to create MP4 file\n" + file_.reasonLine() : "Unable to create MP4 file");
  ready_ = true;
}

M4aWriter::~M4aWriter() { finishQuietly(); }

int32_t M4aWriter::write(const void* p, uint32_t size) {
  if (!ready_ || !accepting()) return 0;
  const auto* src = static_cast<const uint8_t*>(p);
  const uint32_t frameBytes = frameSamples_ * 2;
  inputBytes_ += size;
  if (carryBytes_ > 0 && size > 0) {
    const uint32_t n = std::min(frameBytes - carryBytes_, size);
    std::memcpy(carry_.get() + carryBytes_, src, n);
    carryBytes_ += n;
    src += n;
    size -= n;
    if (carryBytes_ < frameBytes) return 0;
    encodeFrame(carry_.get());
    carryBytes_ = 0;
  }
  for (; size >= frameBytes; src += frameBytes, size -= frameBytes) encodeFrame(src);
  if (size > 0) std::memcpy(carry_.get(), src, size);
  carryBytes_ = size;
  return 0;
}

void M4aWriter::encodeFrame(const uint8_t* bytes) {
  AVFrame* f = frame_.get();
  // Copies only if the encoder still held the buffer; it lets go of it
  // within avcodec_send_frame, so in practice this never allocates.
  if (const int r = av_frame_make_writable(f); r < 0) stopOnFailure("the AAC encoder stopped", r);
  for (uint32_t c = 0; c < channels_; ++c) {
    float* dst = reinterpret_cast<float*>(f->extended_data[c]);
    const uint8_t* s = bytes + 2 * c;
    for (uint32_t i = 0; i < frameLength_; ++i, s += 2 * channels_)
      dst[i] = static_cast<int16_t>(static_cast<uint16_t>(s[0] | s[1] << 8)) * (1.0f / 32768.0f);
  }
  f->pts = nextPts_;
  nextPts_ += frameLength_;
  if (const int r = avcodec_send_frame(encoder_.get(), f); r < 0) stopOnFailure("the AAC encoder stopped", r);
  storePackets();
}

void M4aWriter::storePackets() {
  AVPacket* pkt = packet_.get();
  for (;;) {
    const int r = avcodec_receive_packet(encoder_.get(), pkt);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    if (r < 0) stopOnFailure("the AAC encoder stopped", r);
    pkt->stream_index = track_->index;
    av_packet_rescale_ts(pkt, encoder_->time_base, track_->time_base);
    const int written = av_write_frame(muxer_.get(), pkt);
    av_packet_unref(pkt);
    // The muxer's buffer reaches the file now and then; a failure of the
    // file shows on the packet that filled the buffer.
    if (written < 0 || file_.failed()) stopOnFailure("the MP4 muxer stopped", written);
  }
}

void M4aWriter::stopOnFailure(const char* what, int error) {
  if (file_.failed()) stop(file_.failureText());
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  stop("Cannot write \"" + outputPath_ + "\": " + what + " (" + text + ")");
}

void M4aWriter::complete() {
  if (!ready_ || stopped()) {
    file_.close();
    return;
  }
  try {
    completeFile();
  } catch (...) {
    file_.close();
    throw;
  }
  if (!file_.close()) stop(file_.failureText());
}

void M4aWriter::completeFile() {
  // With no input at all one silent frame is still stored, since the muxer
  // leaves out a track without samples; the edit list then shows none of it.
  if (carryBytes_ > 0 || nextPts_ == 0) {
    std::memset(carry_.get() + carryBytes_, 0, size_t{frameSamples_} * 2 - carryBytes_);
    encodeFrame(carry_.get());
    carryBytes_ = 0;
  }
  if (const int r = avcodec_send_frame(encoder_.get(), nullptr); r < 0) stopOnFailure("the AAC encoder stopped", r);
  storePackets();
  // The trailer flushes the muxer's buffer to the file.
  if (const int r = av_write_trailer(muxer_.get()); r < 0 || file_.failed()) stopOnFailure("the MP4 muxer stopped", r);
  if (!TrimPresentation(file_, inputBytes_ / (2 * channels_), sampleRate_)) stop(file_.failureText());
}
