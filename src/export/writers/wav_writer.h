// WAV writer (format index 2): the blocks are stored as they come; the header
// is written once, by finish, when the sizes are known. Until then the header
// space holds zeros.
//
// Layout: a 44-byte PCM header, or an 80-byte extensible header (with a
// "fact" chunk before "data") when the PCM has more than two channels or
// more than 16 bits per sample. An odd-sized data chunk is followed by a pad
// byte, as RIFF wants, so that chunks added after it (the tags) are read.
//
// Beyond 4 GiB the 32-bit RIFF sizes cannot hold the file: it becomes RF64
// (EBU Tech 3306), "RF64" in place of "RIFF", a "ds64" chunk right after
// "WAVE" with the 64-bit RIFF size, data size and sample count, and
// 0xFFFFFFFF in the 32-bit fields. Only finish knows the size, so the audio
// is then moved 36 bytes further to make room for ds64; smaller files stay
// exactly as they were.
#pragma once

#include <cstdint>
#include <string>

#include "export/writers/audio_writer.h"
#include "export/writers/output_file.h"

// Plain: the 44-byte PCM header. Extensible: the 80-byte header with a fact
// chunk, for more than two channels or more than 16 bits.
enum class WavHeaderKind { Plain, Extensible };

#pragma pack(push, 1)
struct WavPlainHeader {
  char riff[4];
  uint32_t fileSize;
  char riffType[4];
  char fmtChunkId[4];
  uint32_t fmtChunkSize;
  uint16_t formatTag;
  uint16_t channels;
  uint32_t sampleRate;
  uint32_t bytesPerSecond;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  char dataChunkId[4];
  uint32_t dataSize;
};

// The 18-byte format record at the start of an extensible "fmt " chunk.
struct WavFormatRecord {
  uint16_t formatTag;
  uint16_t channels;
  uint32_t sampleRate;
  uint32_t bytesPerSecond;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint16_t extraSize;
};

struct WavFormatExtensible {
  WavFormatRecord format;
  uint16_t validBitsPerSample;
  uint32_t channelMask;
  uint8_t subFormat[16];
};

struct WavExtensibleHeader {
  char riff[4];
  uint32_t fileSize;
  char riffType[4];
  char fmtChunkId[4];
  uint32_t fmtChunkSize;
  WavFormatExtensible format;
  char factChunkId[4];
  uint32_t factChunkSize;
  uint32_t factSamples;
  char dataChunkId[4];
  uint32_t dataSize;
};
#pragma pack(pop)
static_assert(sizeof(WavPlainHeader) == 44);
static_assert(sizeof(WavFormatExtensible) == 40);
static_assert(sizeof(WavExtensibleHeader) == 80);

// The sizes a finished file's header states for dataBytes of audio.
struct WavSizes {
  bool rf64 = false;          // too large for RIFF: RF64 with a ds64 chunk
  uint32_t headerBytes = 0;   // before the audio: 44 or 80, 36 more with ds64
  uint32_t padBytes = 0;      // 1 after odd-sized audio
  uint32_t riffSize = 0;      // the RIFF (RF64) size field
  uint32_t dataSize = 0;      // the data chunk's size field
  uint32_t factSamples = 0;   // the fact chunk's frames (extensible layout)
  uint64_t riffSize64 = 0;    // ds64: the file's size less 8
  uint64_t dataSize64 = 0;    // ds64: the audio's bytes
  uint64_t sampleCount = 0;   // ds64: frames
};

// The size fields for a file of the given layout holding dataBytes of audio
// in frames of blockAlign bytes.
WavSizes PlanWavSizes(WavHeaderKind kind, uint64_t dataBytes, uint32_t blockAlign);

// The ds64 chunk: id, size 28, three 64-bit sizes, an empty table.
constexpr uint32_t kWavDs64ChunkBytes = 36;

class WavWriter : public AudioWriter {
 public:
  // outputPath := requestedPath with ".wav"; creates (or truncates) the file. Throws
  // WriterError "Cannot create file "<outputPath>". <system error>" when it can't.
  WavWriter(const std::string& requestedPath, const ExportFormat& format);
  ~WavWriter() override;

  // Appends the bytes; returns size (0 once the file has failed). Throws
  // WriterError "Cannot write "<outputPath>": <system error>" when the file does
  // not take them.
  int32_t write(const void* p, uint32_t size) override;

  // Header layout chosen at construction.
  WavHeaderKind headerKind() const { return headerKind_; }

 private:
  // Writes the header (after making room for ds64 when the file is RF64)
  // and closes the file.
  void complete() override;
  void fillHeader(const WavSizes& sizes);
  // Moves the audio from `from` to `to` bytes into the file, last piece first.
  bool moveAudio(int64_t from, int64_t to, uint64_t bytes);

  AudioFormat format_;
  WavHeaderKind headerKind_ = WavHeaderKind::Plain;
  WavPlainHeader plainHeader_{};
  WavExtensibleHeader extensibleHeader_{};
  uint64_t dataBytes_ = 0;
  OutputFile file_;
};
