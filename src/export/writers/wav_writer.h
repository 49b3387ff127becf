// WAV writer (format index 2): the blocks are stored as they come; the header
// is written once, by Finish, when the sizes are known. Until then the header
// space holds zeros.
//
// Layout: a 44-byte PCM header, or an 80-byte extensible header (with a
// "fact" chunk before "data") when the PCM has more than two channels or
// more than 16 bits per sample.
#pragma once

#include <cstdint>
#include <string>

#include "audio_writer.h"
#include "output_file.h"

// Plain: the 44-byte PCM header. Extensible: the 80-byte header with a fact
// chunk, for more than two channels or more than 16 bits.
enum class WavHeaderKind { Plain, Extensible };

#pragma pack(push, 1)
struct WavPlainHeader {
  char RIFF[4];
  uint32_t FileSize;
  char RIFFType[4];
  char FmtChunkId[4];
  uint32_t FmtChunkSize;
  uint16_t FormatTag;
  uint16_t Channels;
  uint32_t SampleRate;
  uint32_t BytesPerSecond;
  uint16_t BlockAlign;
  uint16_t BitsPerSample;
  char DataChunkId[4];
  uint32_t DataSize;
};

// The 18-byte format record at the start of an extensible "fmt " chunk.
struct WavFormatRecord {
  uint16_t FormatTag;
  uint16_t Channels;
  uint32_t SampleRate;
  uint32_t BytesPerSecond;
  uint16_t BlockAlign;
  uint16_t BitsPerSample;
  uint16_t ExtraSize;
};

struct WavFormatExtensible {
  WavFormatRecord Format;
  uint16_t wValidBitsPerSample;
  uint32_t dwChannelMask;
  uint8_t SubFormat[16];
};

struct WavExtensibleHeader {
  char RIFF[4];
  uint32_t FileSize;
  char RIFFType[4];
  char FmtChunkId[4];
  uint32_t FmtChunkSize;
  WavFormatExtensible Format;
  char Factchunk[4];
  uint32_t FactChunkSize;
  uint32_t FactSamples;
  char DataChunkId[4];
  uint32_t DataSize;
};
#pragma pack(pop)
static_assert(sizeof(WavPlainHeader) == 44);
static_assert(sizeof(WavFormatExtensible) == 40);
static_assert(sizeof(WavExtensibleHeader) == 80);

class WavWriter : public AudioWriter {
 public:
  // outputPath := requestedPath with ".wav"; creates (or truncates) the file. Throws
  // WriterError "Cannot create file "<outputPath>". <system error>" when it can't.
  WavWriter(const std::string& requestedPath, const ExportFormat& format);
  ~WavWriter() override;

  // Appends the bytes; returns size (0 once the file has failed). Throws
  // WriterError "Cannot write "<outputPath>": <system error>" when the file does
  // not take them.
  int32_t Write(const void* p, uint32_t size) override;

  // Header layout chosen at construction.
  WavHeaderKind HeaderKind() const { return headerKind_; }

 private:
  // Writes the header and closes the file.
  void Complete() override;
  void FillHeader();

  AudioFormat format_;
  WavHeaderKind headerKind_ = WavHeaderKind::Plain;
  WavPlainHeader WaveHeader{};
  WavExtensibleHeader WaveHeaderEx{};
  uint32_t ns = 0;
  OutputFile file_;
};
