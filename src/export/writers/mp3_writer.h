// MP3 writer (format index 1): LAME, constant bit rate Settings.Bitrate, no
// VBR/Info header and no tags (tags are copied afterwards), mono or plain
// stereo by channel count. Input is interleaved 16-bit PCM, one or two
// channels. Encoded bytes are written to the file as they come.
//
// The output buffer is allocated at construction (one second × 10 bytes);
// Write cuts longer blocks into pieces whose encoded size is sure to fit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "audio_writer.h"

struct lame_global_struct;

// The encoder settings, after LAME's configuration record.
struct Mp3EncoderConfig {
  uint32_t dwSampleRate = 0;    // input rate
  uint32_t OutSampleRate = 0;   // the input rate when MP3 can carry it, else the next rate up that it can
  int32_t nMode = 0;            // 3 mono, 0 stereo
  uint32_t bitrateKbps = 0;       // kb/s; 0 lets LAME pick its default
  uint32_t dwMaxBitrate = 320;  // no effect at constant bit rate
  // 1 (MPEG-1) at 16000 Hz and more, else 0 (MPEG-2). As with LAME's
  // configuration record it does not force anything: the version written
  // follows the output rate (MPEG-1 32000–48000, MPEG-2 16000–24000,
  // MPEG-2.5 8000–12000).
  uint32_t dwMpegVersion = 0;
};

class Mp3Writer : public AudioWriter {
 public:
  // fname := iname with ".mp3". Throws WriterError "Cannot create output
  // file" or, with the file already created, "Error opening encoding stream".
  Mp3Writer(const std::string& iname, const ExportFormat& format);
  // Flushes the encoder's last frames to the file and closes it.
  ~Mp3Writer() override;

  // Encodes size / 2 samples (all channels, interleaved; an odd last byte
  // and, in stereo, an unpaired last sample are ignored) and writes what the
  // encoder produced. Returns the bytes written, or −1: on an encoder error
  // (the writer then closes the file and stays closed; later calls return
  // −1) or when the file took fewer bytes than given (queues "Data write
  // error!" / "MP3 Encoder Error" and goes on with the next block).
  int32_t Write(const void* p, uint32_t size) override;

  static Mp3EncoderConfig MakeConfig(const AudioFormat& format, int32_t bitrate);

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };
  struct EncoderCloser {
    void operator()(lame_global_struct* gf) const noexcept;
  };

  void Close();

  std::unique_ptr<std::FILE, FileCloser> mp3file;
  std::unique_ptr<lame_global_struct, EncoderCloser> BladeHandle;
  std::unique_ptr<uint8_t[]> Mp3Buffer;
  uint32_t mp3bufferSize = 0;
  uint32_t ChunkFrames = 0;  // frames per encoder call whose output surely fits Mp3Buffer
  uint32_t Channels = 2;
  Mp3EncoderConfig config_;
};
