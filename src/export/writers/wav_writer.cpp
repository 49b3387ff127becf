#include "wav_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

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

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void PutLe64(uint8_t* p, uint64_t v) {
  PutLe32(p, uint32_t(v));
  PutLe32(p + 4, uint32_t(v >> 32));
}

// Pieces in which the audio is moved to make room for ds64.
constexpr size_t MovePiece = size_t(4) << 20;

}  // namespace

WavSizes PlanWavSizes(WavHeaderKind kind, uint64_t dataBytes, uint32_t blockAlign) {
  WavSizes s;
  const uint32_t header = kind == WavHeaderKind::Extensible ? sizeof(WavExtensibleHeader) : sizeof(WavPlainHeader);
  s.padBytes = uint32_t(dataBytes & 1);
  const uint64_t frames = blockAlign ? dataBytes / blockAlign : 0;
  const uint64_t riff = uint64_t(header) - 8 + dataBytes + s.padBytes;
  s.rf64 = riff > UINT32_MAX;
  s.headerBytes = header + (s.rf64 ? WavDs64ChunkBytes : 0);
  s.riffSize64 = riff + (s.rf64 ? WavDs64ChunkBytes : 0);
  s.dataSize64 = dataBytes;
  s.sampleCount = frames;
  s.riffSize = s.rf64 ? UINT32_MAX : uint32_t(riff);
  s.dataSize = s.rf64 ? UINT32_MAX : uint32_t(dataBytes);
  s.factSamples = uint32_t(std::min<uint64_t>(frames, UINT32_MAX));
  return s;
}

WavWriter::WavWriter(const std::string& requestedPath, const ExportFormat& format) {
  outputPath = ChangeFileExt(requestedPath, ".wav");
  ns = 0;
  format_ = format.pcm;
  headerKind_ = (format.pcm.channels > 2 || format.pcm.bitsPerSample > 16) ? WavHeaderKind::Extensible : WavHeaderKind::Plain;
  // The header is written last; writing after the gap leaves zeros in it.
  // Read and write: a file over 4 GiB has its audio moved at the end.
  if (!file_.Open(outputPath, OutputFile::Access::ReadWrite) ||
      !file_.Seek(headerKind_ == WavHeaderKind::Extensible ? sizeof(WavExtensibleHeader) : sizeof(WavPlainHeader)))
    throw WriterError("Cannot create file \"" + outputPath + "\". " + file_.Reason());
}

WavWriter::~WavWriter() { FinishQuietly(); }

void WavWriter::Complete() {
  if (Stopped()) {
    file_.Close();
    return;
  }
  const bool extensible = headerKind_ == WavHeaderKind::Extensible;
  const WavSizes sizes = PlanWavSizes(headerKind_, ns, uint32_t((format_.bitsPerSample >> 3) * format_.channels));
  FillHeader(sizes);
  const uint32_t fixed = extensible ? sizeof WaveHeaderEx : sizeof WaveHeader;
  std::vector<uint8_t> header(sizes.headerBytes);
  const auto* image = static_cast<const uint8_t*>(extensible ? static_cast<const void*>(&WaveHeaderEx) : &WaveHeader);
  if (sizes.rf64) {
    // "RF64", size, "WAVE", then ds64, then the rest as for RIFF.
    std::memcpy(header.data(), image, 12);
    std::memcpy(header.data(), "RF64", 4);
    uint8_t* ds64 = header.data() + 12;
    std::memcpy(ds64, "ds64", 4);
    PutLe32(ds64 + 4, WavDs64ChunkBytes - 8);
    PutLe64(ds64 + 8, sizes.riffSize64);
    PutLe64(ds64 + 16, sizes.dataSize64);
    PutLe64(ds64 + 24, sizes.sampleCount);
    PutLe32(ds64 + 32, 0);  // no table of other chunk sizes
    std::memcpy(header.data() + 12 + WavDs64ChunkBytes, image + 12, fixed - 12);
  } else {
    std::memcpy(header.data(), image, fixed);
  }
  static const uint8_t pad = 0;
  const bool written = file_.Seek(int64_t(fixed) + int64_t(ns)) && (sizes.padBytes == 0 || file_.Write(&pad, 1)) &&
                       (!sizes.rf64 || MoveAudio(fixed, sizes.headerBytes, ns + sizes.padBytes)) &&
                       file_.Seek(0) && file_.Write(header.data(), header.size());
  // Closed in any case; the failure reported is the first one.
  if (!file_.Close() || !written) Stop(file_.FailureText());
}

bool WavWriter::MoveAudio(int64_t from, int64_t to, uint64_t bytes) {
  std::unique_ptr<uint8_t[]> piece(new uint8_t[MovePiece]);
  for (uint64_t left = bytes; left > 0;) {
    const size_t n = size_t(std::min<uint64_t>(left, MovePiece));
    left -= n;
    if (!file_.Seek(from + int64_t(left)) || file_.Read(piece.get(), n) != int64_t(n)) return false;
    if (!file_.Seek(to + int64_t(left)) || !file_.Write(piece.get(), n)) return false;
  }
  return true;
}

int32_t WavWriter::Write(const void* p, uint32_t size) {
  if (!Accepting()) return 0;
  if (!file_.Write(p, size)) Stop(file_.FailureText());
  ns += size;
  return static_cast<int32_t>(size);
}

void WavWriter::FillHeader(const WavSizes& sizes) {
  const AudioFormat& f = format_;
  if (headerKind_ == WavHeaderKind::Extensible) {
    WavExtensibleHeader& h = WaveHeaderEx;
    SetId(h.RIFF, "RIFF");
    h.FileSize = sizes.riffSize;
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
    h.FactSamples = sizes.factSamples;
    SetId(h.DataChunkId, "data");
    h.DataSize = sizes.dataSize;
  } else {
    WavPlainHeader& h = WaveHeader;
    SetId(h.RIFF, "RIFF");
    h.FileSize = sizes.riffSize;
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
    h.DataSize = sizes.dataSize;
  }
}
