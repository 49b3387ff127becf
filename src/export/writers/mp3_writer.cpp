#include "export/writers/mp3_writer.h"

#include <lame/lame.h>

#include <algorithm>
#include <array>
#include <string>


namespace {

constexpr std::array<uint32_t, 9> kMp3Rates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

// LAME's bound for the output of n frames: 1.25 n + 7200 bytes.
constexpr uint32_t kLameSlackBytes = 7200;
constexpr uint32_t kMinBufferBytes = 2 * kLameSlackBytes;

}  // namespace

void Mp3Writer::EncoderCloser::operator()(lame_global_struct* gf) const noexcept { lame_close(gf); }

Mp3EncoderConfig Mp3Writer::makeConfig(const AudioFormat& format, int32_t bitrate) {
  Mp3EncoderConfig c;
  c.sampleRate = format.sampleRate;
  const auto up = std::lower_bound(kMp3Rates.begin(), kMp3Rates.end(), format.sampleRate);
  c.outSampleRate = up == kMp3Rates.end() ? kMp3Rates.back() : *up;
  c.mode = format.channels == 1 ? 3 : 0;
  c.bitrateKbps = static_cast<uint32_t>(std::max(bitrate, 0));
  c.maxBitrateKbps = 320;
  c.mpegVersion = format.sampleRate >= 16000 ? 1 : 0;
  return c;
}

uint32_t Mp3Writer::maxBitrateKbps(uint32_t outSampleRate) {
  if (outSampleRate >= 32000) return 320;  // MPEG-1
  if (outSampleRate >= 16000) return 160;  // MPEG-2
  return 64;                               // MPEG-2.5: LAME's own cap
}

Mp3Writer::Mp3Writer(const std::string& requestedPath, const ExportFormat& format) {
  outputPath_ = ChangeFileExt(requestedPath, ".mp3");
  if (!file_.open(outputPath_)) throw WriterError("Cannot create output file\n" + file_.reasonLine());

  config_ = makeConfig(format.pcm, format.bitrateKbps);
  channels_ = format.pcm.channels;
  encoder_.reset(lame_init());
  lame_global_flags* gf = encoder_.get();
  bool ok = gf != nullptr && channels_ >= 1 && channels_ <= 2 && config_.sampleRate > 0;
  if (ok) {
    ok = lame_set_num_channels(gf, static_cast<int>(channels_)) == 0 &&
         lame_set_in_samplerate(gf, static_cast<int>(config_.sampleRate)) == 0 &&
         // Set explicitly: left at 0, LAME would lower the rate to suit low bit rates.
         lame_set_out_samplerate(gf, static_cast<int>(config_.outSampleRate)) == 0 &&
         lame_set_mode(gf, config_.mode == 3 ? MONO : STEREO) == 0 &&
         lame_set_VBR(gf, vbr_off) == 0 &&
         lame_set_brate(gf, static_cast<int>(config_.bitrateKbps)) == 0 &&
         lame_set_bWriteVbrTag(gf, 0) == 0 &&
         lame_set_error_protection(gf, 0) == 0 &&
         lame_set_copyright(gf, 0) == 0 &&
         lame_set_original(gf, 0) == 0 &&
         lame_set_extension(gf, 0) == 0 &&
         lame_set_emphasis(gf, 0) == 0;
    lame_set_write_id3tag_automatic(gf, 0);
    ok = ok && lame_init_params(gf) >= 0;
  }
  if (!ok) throw WriterError("Error opening encoding stream");

  // LAME settles the bit rate in lame_init_params: the one asked for, or the
  // nearest the output rate allows.
  bitrateUsed_ = static_cast<uint32_t>(std::max(lame_get_brate(gf), 0));
  if (config_.bitrateKbps != 0 && bitrateUsed_ != config_.bitrateKbps) {
    const uint32_t most = maxBitrateKbps(config_.outSampleRate);
    const std::string asked = std::to_string(config_.bitrateKbps) + " kb/s";
    const std::string used = std::to_string(bitrateUsed_) + " kb/s";
    report(pw::MessageKind::Information,
           config_.bitrateKbps > most
               ? "MP3 at " + std::to_string(config_.outSampleRate) + " Hz allows at most " + std::to_string(most) +
                     " kb/s: " + asked + " lowered to " + used + "."
               : "MP3 has no " + asked + " bit rate: " + used + " used.",
           {});
  }

  bufferBytes_ = std::max(config_.sampleRate * 10, kMinBufferBytes);
  buffer_ = std::make_unique<uint8_t[]>(bufferBytes_);
  // Input frames per call whose output fits, allowing for LAME raising the rate.
  const double perInputFrame = 1.25 * config_.outSampleRate / config_.sampleRate;
  chunkFrames_ = std::max(static_cast<uint32_t>((bufferBytes_ - kLameSlackBytes) / perInputFrame), 1u);
}

Mp3Writer::~Mp3Writer() { finishQuietly(); }

void Mp3Writer::complete() {
  if (!stopped()) {
    const int n = lame_encode_flush(encoder_.get(), buffer_.get(), static_cast<int>(bufferBytes_));
    if (n < 0) {
      file_.close();
      stop("Cannot write \"" + outputPath_ + "\": the encoder stopped with error " + std::to_string(n), "MP3 Encoder Error");
    }
    if (!file_.write(buffer_.get(), static_cast<size_t>(n)) || !file_.close()) stopOnFileFailure();
  }
  file_.close();
  encoder_.reset();
  buffer_.reset();
}

void Mp3Writer::stopOnFileFailure() {
  file_.close();
  stop("Data write error!\n" + file_.failureText(), "MP3 Encoder Error");
}

int32_t Mp3Writer::write(const void* p, uint32_t size) {
  if (!accepting()) return -1;
  const auto* pcm = static_cast<const short*>(p);
  uint32_t frames = (size >> 1) / channels_;
  int64_t written = 0;
  while (frames > 0) {
    const uint32_t n = std::min(frames, chunkFrames_);
    // LAME takes non-const pointers but only reads the samples.
    short* in = const_cast<short*>(pcm);
    const int toWrite =
        channels_ == 1
            ? lame_encode_buffer(encoder_.get(), in, in, static_cast<int>(n), buffer_.get(),
                                 static_cast<int>(bufferBytes_))
            : lame_encode_buffer_interleaved(encoder_.get(), in, static_cast<int>(n), buffer_.get(),
                                             static_cast<int>(bufferBytes_));
    if (toWrite < 0)
      stop("Cannot write \"" + outputPath_ + "\": the encoder stopped with error " + std::to_string(toWrite),
           "MP3 Encoder Error");
    if (!file_.write(buffer_.get(), static_cast<size_t>(toWrite))) stopOnFileFailure();
    written += toWrite;
    pcm += size_t{n} * channels_;
    frames -= n;
  }
  return static_cast<int32_t>(written);
}
