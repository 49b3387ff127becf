#include "export/writers/wav_writer.h"

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
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
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
constexpr size_t kMovePieceBytes = size_t(4) << 20;

}  // namespace

WavSizes PlanWavSizes(WavHeaderKind kind, uint64_t dataBytes, uint32_t blockAlign) {
  WavSizes s;
  const uint32_t header = kind == WavHeaderKind::Extensible ? sizeof(WavExtensibleHeader) : sizeof(WavPlainHeader);
  s.padBytes = uint32_t(dataBytes & 1);
  const uint64_t frames = blockAlign ? dataBytes / blockAlign : 0;
  const uint64_t riff = uint64_t(header) - 8 + dataBytes + s.padBytes;
  s.rf64 = riff > UINT32_MAX;
  s.headerBytes = header + (s.rf64 ? kWavDs64ChunkBytes : 0);
  s.riffSize64 = riff + (s.rf64 ? kWavDs64ChunkBytes : 0);
  s.dataSize64 = dataBytes;
  s.sampleCount = frames;
  s.riffSize = s.rf64 ? UINT32_MAX : uint32_t(riff);
  s.dataSize = s.rf64 ? UINT32_MAX : uint32_t(dataBytes);
  s.factSamples = uint32_t(std::min<uint64_t>(frames, UINT32_MAX));
  return s;
}

WavWriter::WavWriter(const std::string& requestedPath, const ExportFormat& format) {
  outputPath_ = ChangeFileExt(requestedPath, ".wav");
  dataBytes_ = 0;
  format_ = format.pcm;
  headerKind_ = (format.pcm.channels > 2 || format.pcm.bitsPerSample > 16) ? WavHeaderKind::Extensible : WavHeaderKind::Plain;
  // The header is written last; writing after the gap leaves zeros in it.
  // Read and write: a file over 4 GiB has its audio moved at the end.
  if (!file_.open(outputPath_, OutputFile::Access::ReadWrite) ||
      !file_.seek(headerKind_ == WavHeaderKind::Extensible ? sizeof(WavExtensibleHeader) : sizeof(WavPlainHeader)))
    throw WriterError("Cannot create file \"" + outputPath_ + "\". " + file_.reason());
}

WavWriter::~WavWriter() { finishQuietly(); }

void WavWriter::complete() {
  if (stopped()) {
    file_.close();
    return;
  }
  const bool extensible = headerKind_ == WavHeaderKind::Extensible;
  const WavSizes sizes = PlanWavSizes(headerKind_, dataBytes_, uint32_t((format_.bitsPerSample >> 3) * format_.channels));
  fillHeader(sizes);
  const uint32_t fixed = extensible ? sizeof extensibleHeader_ : sizeof plainHeader_;
  std::vector<uint8_t> header(sizes.headerBytes);
  const auto* image = static_cast<const uint8_t*>(extensible ? static_cast<const void*>(&extensibleHeader_) : &plainHeader_);
  if (sizes.rf64) {
    // "RF64", size, "WAVE", then ds64, then the rest as for RIFF.
    std::memcpy(header.data(), image, 12);
    std::memcpy(header.data(), "RF64", 4);
    uint8_t* ds64 = header.data() + 12;
    std::memcpy(ds64, "ds64", 4);
    PutLe32(ds64 + 4, kWavDs64ChunkBytes - 8);
    PutLe64(ds64 + 8, sizes.riffSize64);
    PutLe64(ds64 + 16, sizes.dataSize64);
    PutLe64(ds64 + 24, sizes.sampleCount);
    PutLe32(ds64 + 32, 0);  // no table of other chunk sizes
    std::memcpy(header.data() + 12 + kWavDs64ChunkBytes, image + 12, fixed - 12);
  } else {
    std::memcpy(header.data(), image, fixed);
  }
  static const uint8_t pad = 0;
  const bool written = file_.seek(int64_t(fixed) + int64_t(dataBytes_)) && (sizes.padBytes == 0 || file_.write(&pad, 1)) &&
                       (!sizes.rf64 || moveAudio(fixed, sizes.headerBytes, dataBytes_ + sizes.padBytes)) &&
                       file_.seek(0) && file_.write(header.data(), header.size());
  // Closed in any case; the failure reported is the first one.
  if (!file_.close() || !written) stop(file_.failureText());
}

bool WavWriter::moveAudio(int64_t from, int64_t to, uint64_t bytes) {
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kMovePieceBytes]);
  for (uint64_t left = bytes; left > 0;) {
    const size_t n = size_t(std::min<uint64_t>(left, kMovePieceBytes));
    left -= n;
    if (!file_.seek(from + int64_t(left)) || file_.read(piece.get(), n) != int64_t(n)) return false;
    if (!file_.seek(to + int64_t(left)) || !file_.write(piece.get(), n)) return false;
  }
  return true;
}

int32_t WavWriter::write(const void* p, uint32_t size) {
  if (!accepting()) return 0;
  if (!file_.write(p, size)) stop(file_.failureText());
  dataBytes_ += size;
  return static_cast<int32_t>(size);
}

void WavWriter::fillHeader(const WavSizes& sizes) {
  const AudioFormat& f = format_;
  if (headerKind_ == WavHeaderKind::Extensible) {
    WavExtensibleHeader& h = extensibleHeader_;
    SetId(h.riff, "RIFF");
    h.fileSize = sizes.riffSize;
    SetId(h.riffType, "WAVE");
    SetId(h.fmtChunkId, "fmt ");
    h.fmtChunkSize = 40;
    h.format.format.formatTag = 0xFFFE;
    h.format.format.channels = f.channels;
    h.format.format.sampleRate = f.sampleRate;
    // The extensible header rounds bytes per frame over all channels together.
    h.format.format.blockAlign = static_cast<uint16_t>((f.bitsPerSample * f.channels) >> 3);
    h.format.format.bytesPerSecond = f.sampleRate * h.format.format.blockAlign;
    h.format.format.bitsPerSample = f.bitsPerSample;
    h.format.format.extraSize = 22;
    h.format.validBitsPerSample = f.bitsPerSample;
    h.format.channelMask = ChannelMask(f.channels);
    std::memcpy(h.format.subFormat, kPcmSubFormat, sizeof kPcmSubFormat);
    SetId(h.factChunkId, "fact");
    h.factChunkSize = 4;
    h.factSamples = sizes.factSamples;
    SetId(h.dataChunkId, "data");
    h.dataSize = sizes.dataSize;
  } else {
    WavPlainHeader& h = plainHeader_;
    SetId(h.riff, "RIFF");
    h.fileSize = sizes.riffSize;
    SetId(h.riffType, "WAVE");
    SetId(h.fmtChunkId, "fmt ");
    h.fmtChunkSize = 16;
    h.formatTag = static_cast<uint16_t>(f.encoding);
    h.channels = f.channels;
    h.sampleRate = f.sampleRate;
    h.bytesPerSecond = f.bytesPerSecond;
    h.blockAlign = static_cast<uint16_t>((f.bitsPerSample >> 3) * f.channels);
    h.bitsPerSample = f.bitsPerSample;
    SetId(h.dataChunkId, "data");
    h.dataSize = sizes.dataSize;
  }
}
