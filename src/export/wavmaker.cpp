#include "wavmaker.h"

#include <bit>
#include <cerrno>
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

TWAVwriter::TWAVwriter(const std::string& iname) {
  fname = ChangeFileExt(iname, ".wav");
  ns = 0;
  FWavType = (OutputFormat.nChannels > 2 || OutputFormat.wBitsPerSample > 16) ? TWavType::wtExtPCM : TWavType::wtPCM;
  fOut.reset(std::fopen(fname.c_str(), "wb"));
  if (!fOut)
    throw WriterError("Cannot create file \"" + fname + "\". " + std::strerror(errno));
  // The header is written last; writing after the gap leaves zeros in it.
  std::fseek(fOut.get(), FWavType == TWavType::wtExtPCM ? sizeof(TWaveHeaderExt) : sizeof(TWaveHeader), SEEK_SET);
}

TWAVwriter::~TWAVwriter() {
  FillHeader();
  if (!fOut) return;
  std::fseek(fOut.get(), 0, SEEK_SET);
  if (FWavType == TWavType::wtExtPCM)
    std::fwrite(&WaveHeaderEx, sizeof WaveHeaderEx, 1, fOut.get());
  else
    std::fwrite(&WaveHeader, sizeof WaveHeader, 1, fOut.get());
  fOut.reset();
}

int32_t TWAVwriter::Write(const void* p, uint32_t size) {
  ns += size;
  std::fwrite(p, 1, size, fOut.get());
  return static_cast<int32_t>(size);
}

void TWAVwriter::FillHeader() {
  const tWAVEFORMATEX& f = OutputFormat;
  if (FWavType == TWavType::wtExtPCM) {
    TWaveHeaderExt& h = WaveHeaderEx;
    SetId(h.RIFF, "RIFF");
    h.FileSize = ns + 72;
    SetId(h.RIFFType, "WAVE");
    SetId(h.FmtChunkId, "fmt ");
    h.FmtChunkSize = 40;
    h.Format.Format.wFormatTag = 0xFFFE;
    h.Format.Format.nChannels = f.nChannels;
    h.Format.Format.nSamplesPerSec = f.nSamplesPerSec;
    // The extensible header rounds bytes per frame over all channels together.
    h.Format.Format.nBlockAlign = static_cast<uint16_t>((f.wBitsPerSample * f.nChannels) >> 3);
    h.Format.Format.nAvgBytesPerSec = f.nSamplesPerSec * h.Format.Format.nBlockAlign;
    h.Format.Format.wBitsPerSample = f.wBitsPerSample;
    h.Format.Format.cbSize = 22;
    h.Format.wValidBitsPerSample = f.wBitsPerSample;
    h.Format.dwChannelMask = ChannelMask(f.nChannels);
    std::memcpy(h.Format.SubFormat, PcmSubFormat, sizeof PcmSubFormat);
    SetId(h.Factchunk, "fact");
    h.FactChunkSize = 4;
    h.FactSamples = h.Format.Format.nBlockAlign ? ns / h.Format.Format.nBlockAlign : 0;
    SetId(h.DataChunkId, "data");
    h.DataSize = ns;
  } else {
    TWaveHeader& h = WaveHeader;
    SetId(h.RIFF, "RIFF");
    h.FileSize = ns + 36;
    SetId(h.RIFFType, "WAVE");
    SetId(h.FmtChunkId, "fmt ");
    h.FmtChunkSize = 16;
    h.FormatTag = f.wFormatTag;
    h.Channels = f.nChannels;
    h.SampleRate = f.nSamplesPerSec;
    h.BytesPerSecond = f.nAvgBytesPerSec;
    h.BlockAlign = static_cast<uint16_t>((f.wBitsPerSample >> 3) * f.nChannels);
    h.BitsPerSample = f.wBitsPerSample;
    SetId(h.DataChunkId, "data");
    h.DataSize = ns;
  }
}
