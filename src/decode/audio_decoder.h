// One audio file decoded by FFmpeg into interleaved 32-bit float frames at
// the file's own rate and channel count. The rest of the program reads files
// through AudioFileReader.
//
// The length is exact: taken from containers that state it (PCM, FLAC, Ogg,
// MP4, APE), counted at open by demuxing where they only estimate it (MPEG
// audio, raw ADTS), or by decoding the whole file at open where timestamps
// cannot place a frame to the sample (ASF, Matroska, raw AC-3, compressed
// WAV). Encoder delay and padding that the file declares are trimmed; raw
// ADTS AAC-LC loses its 1024 priming samples. A file with no samples at all
// (a WAV header without data) opens with length 0.
//
// Damaged files: packets the decoder rejects are dropped and decoding goes
// on with the next, as the ffmpeg tool does, so everything decodable is
// delivered; only a very long run of rejected packets stops it. A file that
// decodes to less than it states (damaged, or cut short) just ends early,
// and endedShort() says so once the end has been reached.
//
// Seeking is sample-accurate: the demuxer seeks to before the target, the
// first decoded frame is placed by its timestamp, and decoding discards up
// to the target. Lossy decoders start the preroll fresh, so output after a
// seek may differ from a continuous decode in the last bits (AAC noise
// substitution); from the start it is identical.
//
// Not thread-safe: one caller at a time. positionFrames(), decodedEnd() and
// endedShort() may be read from any thread. Reading allocates nothing of its
// own once the carry buffer has grown to the largest decoded frame (FFmpeg
// allocates inside decoding).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/audio_error.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;
struct AVCodec;


class AudioDecoder {
 public:
  // Opens `path` (UTF-8) and measures it. Only regular files are opened: a
  // folder, FIFO or device is refused before anything opens it. On failure
  // returns null, sets *error to AudioError::FileOpen, FileFormat, Codec or
  // OutOfMemory and, when `reason` is given, *reason to why in words for the
  // user: the system's reason ("No such file or directory", "Is a
  // directory", "Permission denied"), "not a regular file", or what is wrong
  // with the contents ("not an audio file that can be decoded", ...).
  static std::unique_ptr<AudioDecoder> open(const std::string& path, AudioError* error,
                                            std::string* reason = nullptr);
  ~AudioDecoder();
  AudioDecoder(const AudioDecoder&) = delete;
  AudioDecoder& operator=(const AudioDecoder&) = delete;

  const std::string& path() const { return path_; }
  int rate() const { return rate_; }
  int channels() const { return channels_; }
  // Source resolution: bits of integer PCM / lossless sources (8, 16, 24,
  // 32), 32 for float PCM, 0 for lossy codecs.
  int sourceBits() const { return sourceBits_; }
  // What the file decodes to, measured at open (see above): the range of
  // positions. A PCM file cut short measures what it still holds; a FLAC
  // file whose header states less than it holds measures all of it.
  int64_t lengthFrames() const { return length_; }
  // The length the file's header or index states, where it states one
  // (the Xing/Info or VBRI count of an MP3, the MP4 duration or iTunes'
  // gapless note, FLAC's STREAMINFO, the RIFF/AIFF sizes, the last Ogg
  // page), after the encoder delay and padding it declares; -1 where
  // nothing is stated (the length was counted).
  int64_t statedFrames() const { return stated_; }
  // The header states less audio than the file holds; all of it is
  // delivered (lengthFrames() counts it).
  bool holdsMoreThanStated() const { return stated_ >= 0 && length_ > stated_; }
  // The file lacks its end (a PCM file shorter than its header says, an
  // Ogg stream without its last page), known at open.
  bool knownTruncated() const { return truncated_; }
  int64_t positionFrames() const { return position_.load(std::memory_order_relaxed); }
  // Where decoding last reached its end (read() returning 0 or -1, or a seek
  // finding nothing more to decode), in frames; -1 until it has.
  int64_t decodedEnd() const { return decodedEnd_.load(std::memory_order_relaxed); }
  // True once decoding has ended short: the file is damaged or truncated,
  // and delivered decodedEnd() frames where it states more. Measured
  // against statedFrames() where the file states a length, else against
  // lengthFrames(). A lossy file short by less than two codec frames is not
  // short (encoders disagree on priming and padding by up to a frame each);
  // a known-truncated file is short however much decoded.
  bool endedShort() const;

  // Decodes up to `maxFrames` frames into `out`. Returns the frames written;
  // 0 at the end; -1 once the decoder has failed (frames decoded before a
  // failure are delivered first).
  int64_t read(float* out, int64_t maxFrames);
  // Moves to `frame` (0..length) sample-accurately. Returns 0 or a
  // failure; AudioError::Position beyond the length leaves the
  // position unchanged.
  AudioError seek(int64_t frame);

 private:
  struct FormatCloser { void operator()(AVFormatContext* p) const; };
  struct CodecFreer { void operator()(AVCodecContext* p) const; };
  struct PacketFreer { void operator()(AVPacket* p) const; };
  struct FrameFreer { void operator()(AVFrame* p) const; };

  enum class Next { Frame, End, Error };
  // How a decoded frame's timestamp maps to its first frame index.
  enum class Timing { Linear, Table, None };

  explicit AudioDecoder(std::string path);
  // Records why opening failed; returns `code`.
  AudioError fail(AudioError code, std::string reason);
  AudioError openInput();
  AudioError openCodec();
  AudioError measure();
  AudioError measureEmpty();
  void measureStatedLength();
  AudioError countPackets(bool* ok, int64_t* durationTs, int64_t* skipped);
  AudioError scanDecode(int64_t* frames);
  bool rewind();
  Next decodeFrame();
  int readPacket();
  bool storeFrame();
  bool refill();
  int64_t frameIndex() const;
  int64_t seekTimestamp(int64_t frame) const;
  bool skipFrames(int64_t count);
  void resetDecoder();

  std::string path_;
  std::string failure_;  // why open() failed, for the user
  std::unique_ptr<AVFormatContext, FormatCloser> format_;
  std::unique_ptr<AVCodecContext, CodecFreer> codec_;
  std::unique_ptr<AVPacket, PacketFreer> packet_;
  std::unique_ptr<AVFrame, FrameFreer> frame_;
  const AVCodec* decoder_ = nullptr;
  int stream_ = -1;
  int tbNum_ = 0, tbDen_ = 1;  // stream time base

  int rate_ = 0;
  int channels_ = 0;
  int sourceBits_ = 0;
  int64_t length_ = 0;
  int64_t stated_ = -1;
  int64_t shortTolerance_ = 0;  // frames a lossy decode may fall short of the stated length
  bool truncated_ = false;
  bool pcm_ = false;            // PCM in a PCM container: the sizes are the whole story
  bool lastFrameTorn_ = false;  // MPEG audio whose last frame is cut short
  int64_t preroll_ = 0;  // frames decoded before a seek target to settle the decoder

  Timing timing_ = Timing::Linear;
  int64_t zeroPts_ = 0;  // timestamp of frame 0 (Linear)
  std::vector<std::pair<int64_t, int64_t>> ptsTable_;  // timestamp -> frame index (Table)
  int64_t firstPacketTs_ = INT64_MIN;  // where "the start" is for the demuxer
  int64_t firstPacketPos_ = -1;        // file offset of the first packet
  int64_t landedPos_ = -1;             // file offset of the first packet since the last reset
  bool freshDecoder_ = true;
  int primingSkip_ = 0;  // samples to drop from the first packet (raw ADTS)
  bool trimToLength_ = false;  // end padding goes by the length, not the packets

  // Decoded frames not yet delivered: carry_[carryRead_..carryFrames_) in
  // frames, the first of them at position_.
  std::vector<float> carry_;
  int64_t carryFrames_ = 0;
  int64_t carryRead_ = 0;
  std::atomic<int64_t> position_{0};
  std::atomic<int64_t> decodedEnd_{-1};
  bool draining_ = false;  // the demuxer is exhausted, the decoder flushing
  bool ended_ = false;
  bool failed_ = false;
  int badPackets_ = 0;  // consecutive packets the decoder rejected
};

