#include "mp3_writer.h"

#include <lame/lame.h>

#include <algorithm>
#include <array>
#include <string>


namespace {

constexpr std::array<uint32_t, 9> Mp3Rates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

// LAME's bound for the output of n frames: 1.25 n + 7200 bytes.
constexpr uint32_t LameSlack = 7200;
constexpr uint32_t MinBufferSize = 2 * LameSlack;

}  // namespace

void Mp3Writer::EncoderCloser::operator()(lame_global_struct* gf) const noexcept { lame_close(gf); }

Mp3EncoderConfig Mp3Writer::MakeConfig(const AudioFormat& format, int32_t bitrate) {
  Mp3EncoderConfig c;
  c.dwSampleRate = format.sampleRate;
  const auto up = std::lower_bound(Mp3Rates.begin(), Mp3Rates.end(), format.sampleRate);
  c.OutSampleRate = up == Mp3Rates.end() ? Mp3Rates.back() : *up;
  c.nMode = format.channels == 1 ? 3 : 0;
  c.bitrateKbps = static_cast<uint32_t>(std::max(bitrate, 0));
  c.dwMaxBitrate = 320;
  c.dwMpegVersion = format.sampleRate >= 16000 ? 1 : 0;
  return c;
}

uint32_t Mp3Writer::MaxBitrateKbps(uint32_t outSampleRate) {
  if (outSampleRate >= 32000) return 320;  // MPEG-1
  if (outSampleRate >= 16000) return 160;  // MPEG-2
  return 64;                               // MPEG-2.5: LAME's own cap
}

Mp3Writer::Mp3Writer(const std::string& requestedPath, const ExportFormat& format) {
  outputPath = ChangeFileExt(requestedPath, ".mp3");
  if (!file_.Open(outputPath)) throw WriterError("Cannot create output file\r\n" + file_.ReasonLine());

  config_ = MakeConfig(format.pcm, format.bitrateKbps);
  Channels = format.pcm.channels;
  BladeHandle.reset(lame_init());
  lame_global_flags* gf = BladeHandle.get();
  bool ok = gf != nullptr && Channels >= 1 && Channels <= 2 && config_.dwSampleRate > 0;
  if (ok) {
    ok = lame_set_num_channels(gf, static_cast<int>(Channels)) == 0 &&
         lame_set_in_samplerate(gf, static_cast<int>(config_.dwSampleRate)) == 0 &&
         // Set explicitly: left at 0, LAME would lower the rate to suit low bit rates.
         lame_set_out_samplerate(gf, static_cast<int>(config_.OutSampleRate)) == 0 &&
         lame_set_mode(gf, config_.nMode == 3 ? MONO : STEREO) == 0 &&
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
    const uint32_t most = MaxBitrateKbps(config_.OutSampleRate);
    const std::string asked = std::to_string(config_.bitrateKbps) + " kb/s";
    const std::string used = std::to_string(bitrateUsed_) + " kb/s";
    Report(pw::MessageKind::Information,
           config_.bitrateKbps > most
               ? "MP3 at " + std::to_string(config_.OutSampleRate) + " Hz allows at most " + std::to_string(most) +
                     " kb/s: " + asked + " lowered to " + used + "."
               : "MP3 has no " + asked + " bit rate: " + used + " used.",
           {});
  }

  mp3bufferSize = std::max(config_.dwSampleRate * 10, MinBufferSize);
  Mp3Buffer = std::make_unique<uint8_t[]>(mp3bufferSize);
  // Input frames per call whose output fits, allowing for LAME raising the rate.
  const double perInputFrame = 1.25 * config_.OutSampleRate / config_.dwSampleRate;
  ChunkFrames = std::max(static_cast<uint32_t>((mp3bufferSize - LameSlack) / perInputFrame), 1u);
}

Mp3Writer::~Mp3Writer() { FinishQuietly(); }

void Mp3Writer::Complete() {
  if (!Stopped()) {
    const int n = lame_encode_flush(BladeHandle.get(), Mp3Buffer.get(), static_cast<int>(mp3bufferSize));
    if (n < 0) {
      file_.Close();
      Stop("Cannot write \"" + outputPath + "\": the encoder stopped with error " + std::to_string(n), "MP3 Encoder Error");
    }
    if (!file_.Write(Mp3Buffer.get(), static_cast<size_t>(n)) || !file_.Close()) StopOnFileFailure();
  }
  file_.Close();
  BladeHandle.reset();
  Mp3Buffer.reset();
}

void Mp3Writer::StopOnFileFailure() {
  file_.Close();
  Stop("Data write error!\r\n" + file_.FailureText(), "MP3 Encoder Error");
}

int32_t Mp3Writer::Write(const void* p, uint32_t size) {
  if (!Accepting()) return -1;
  const auto* pcm = static_cast<const short*>(p);
  uint32_t frames = (size >> 1) / Channels;
  int64_t written = 0;
  while (frames > 0) {
    const uint32_t n = std::min(frames, ChunkFrames);
    // LAME takes non-const pointers but only reads the samples.
    short* in = const_cast<short*>(pcm);
    const int toWrite =
        Channels == 1
            ? lame_encode_buffer(BladeHandle.get(), in, in, static_cast<int>(n), Mp3Buffer.get(),
                                 static_cast<int>(mp3bufferSize))
            : lame_encode_buffer_interleaved(BladeHandle.get(), in, static_cast<int>(n), Mp3Buffer.get(),
                                             static_cast<int>(mp3bufferSize));
    if (toWrite < 0)
      Stop("Cannot write \"" + outputPath + "\": the encoder stopped with error " + std::to_string(toWrite),
           "MP3 Encoder Error");
    if (!file_.Write(Mp3Buffer.get(), static_cast<size_t>(toWrite))) StopOnFileFailure();
    written += toWrite;
    pcm += size_t{n} * Channels;
    frames -= n;
  }
  return static_cast<int32_t>(written);
}
