// WAV writer (format index 2): the blocks are stored as they come; the header
// is written once, by the destructor, when the sizes are known. Until then the
// header space holds zeros.
//
// Layout: a 44-byte PCM header, or an 80-byte extensible header (with a
// "fact" chunk before "data") when OutputFormat has more than two channels or
// more than 16 bits per sample.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "maker.h"

enum class TWavType { wtUnsupported, wtPCM, wtDVIADPCM, wtMSADPCM, wtACM, wtIEEEFloat, wtExtPCM, wtExtIEEEFloat };

#pragma pack(push, 1)
struct TWaveHeader {
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

struct TWaveFormatExtensible {
  tWAVEFORMATEX Format;
  uint16_t wValidBitsPerSample;
  uint32_t dwChannelMask;
  uint8_t SubFormat[16];
};

struct TWaveHeaderExt {
  char RIFF[4];
  uint32_t FileSize;
  char RIFFType[4];
  char FmtChunkId[4];
  uint32_t FmtChunkSize;
  TWaveFormatExtensible Format;
  char Factchunk[4];
  uint32_t FactChunkSize;
  uint32_t FactSamples;
  char DataChunkId[4];
  uint32_t DataSize;
};
#pragma pack(pop)
static_assert(sizeof(TWaveHeader) == 44);
static_assert(sizeof(TWaveFormatExtensible) == 40);
static_assert(sizeof(TWaveHeaderExt) == 80);

class TWAVwriter : public TAudioWriter {
 public:
  // fname := iname with ".wav"; creates (or truncates) the file. Throws
  // WriterError "Cannot create file "<fname>". <system error>" when it can't.
  explicit TWAVwriter(const std::string& iname);
  // Writes the header and closes the file.
  ~TWAVwriter() override;

  // Appends the bytes unchecked; returns size.
  int32_t Write(const void* p, uint32_t size) override;

  // Header layout chosen at construction.
  TWavType WavType() const { return FWavType; }

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };

  void FillHeader();

  TWavType FWavType = TWavType::wtPCM;
  TWaveHeader WaveHeader{};
  TWaveHeaderExt WaveHeaderEx{};
  uint32_t ns = 0;
  std::unique_ptr<std::FILE, FileCloser> fOut;
};
