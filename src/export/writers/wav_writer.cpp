#include "wav_writer.h"

#include <bit>
#include <cstring>

// The headers are written as their in-memory image.
static_assert(std::endian::native == std::endian::little);

namespace {

// KSDATAFORMAT_SUBTYPE_PCM {00000001-0000-0010-8000-00AA00389B71}: the first
// three fields little-endian, the last eight bytes as they are.
constexpr uint8_t PcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                      0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void SetId(char (&dest)[4], const char* id) { std::memcpy(dest, id, 4); }

uint32_t ChannelMask(uint16_t channels) {
  switch (channels) {
    case 1: return 0x1;
    case 2: return 0x3;
    case 6: return 0x3F;
    case 8: return 0xFF;
    default: return 0;
  }
}

}  // namespace

WavWriter::WavWriter(const std::string& requestedPath, const ExportFormat& format) {
  outputPath = ChangeFileExt(requestedPath, ".wav");
  ns = 0;
  format_ = format.pcm;
  headerKind_ = (format.pcm.channels > 2 || format.pcm.bitsPerSample > 16) ? WavHeaderKind::Extensible : WavHeaderKind::Plain;
  // The header is written last; writing after the gap leaves zeros in it.
  if (!file_.Open(outputPath) ||
      !file_.Seek(headerKind_ == WavHeaderKind::Extensible ? sizeof(WavExtensibleHeader) : sizeof(WavPlainHeader)))
    throw WriterError("Cannot create file \"" + outputPath + "\". " + file_.Reason());
}

WavWriter::~WavWriter() { FinishQuietly(); }

void WavWriter::Complete() {
  if (Stopped()) {
    file_.Close();
    return;
  }
  FillHeader();
  const bool extensible = headerKind_ == WavHeaderKind::Extensible;
  const void* header = extensible ? static_cast<const void*>(&WaveHeaderEx) : &WaveHeader;
  const bool headerWritten = file_.Seek(0) && file_.Write(header, extensible ? sizeof WaveHeaderEx : sizeof WaveHeader);
  // Closed in any case; the failure reported is the first one.
  if (!file_.Close() || !headerWritten) Stop(file_.FailureText());
}

int32_t WavWriter::Write(const void* p, uint32_t size) {
  if (!Accepting()) return 0;
  if (!file_.Write(p, size)) Stop(file_.FailureText());
  ns += size;
  return static_cast<int32_t>(size);
}

void WavWriter::FillHeader() {
  const AudioFormat& f = format_;
  if (headerKind_ == WavHeaderKind::Extensible) {
    WavExtensibleHeader& h = WaveHeaderEx;
    SetId(h.RIFF, "RIFF");
    h.FileSize = ns + 72;
    SetId(h.RIFFType, "WAVE");
    SetId(h.FmtChunkId, "fmt ");
    h.FmtChunkSize = 40;
    h.Format.Format.FormatTag = 0xFFFE;
    h.Format.Format.Channels = f.channels;
    h.Format.Format.SampleRate = f.sampleRate;
    // The extensible header rounds bytes per frame over all channels together.
    h.Format.Format.BlockAlign = static_cast<uint16_t>((f.bitsPerSample * f.channels) >> 3);
    h.Format.Format.BytesPerSecond = f.sampleRate * h.Format.Format.BlockAlign;
    h.Format.Format.BitsPerSample = f.bitsPerSample;
    h.Format.Format.ExtraSize = 22;
    h.Format.wValidBitsPerSample = f.bitsPerSample;
    h.Format.dwChannelMask = ChannelMask(f.channels);
    std::memcpy(h.Format.SubFormat, PcmSubFormat, sizeof PcmSubFormat);
    SetId(h.Factchunk, "fact");
    h.FactChunkSize = 4;
    h.FactSamples = h.Format.Format.BlockAlign ? ns / h.Format.Format.BlockAlign : 0;
    SetId(h.DataChunkId, "data");
    h.DataSize = ns;
  } else {
    WavPlainHeader& h = WaveHeader;
    SetId(h.RIFF, "RIFF");
    h.FileSize = ns + 36;
    SetId(h.RIFFType, "WAVE");
    SetId(h.FmtChunkId, "fmt ");
    h.FmtChunkSize = 16;
    h.FormatTag = static_cast<uint16_t>(f.encoding);
    h.Channels = f.channels;
    h.SampleRate = f.sampleRate;
    h.BytesPerSecond = f.bytesPerSecond;
    h.BlockAlign = static_cast<uint16_t>((f.bitsPerSample >> 3) * f.channels);
    h.BitsPerSample = f.bitsPerSample;
    SetId(h.DataChunkId, "data");
    h.DataSize = ns;
  }
}
