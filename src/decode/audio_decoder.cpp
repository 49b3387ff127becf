#include "decode/audio_decoder.h"

#include "decode/stated_length.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/mathematics.h>
}

namespace {

// Packets the decoder rejects are dropped and decoding goes on with the next
// (as the ffmpeg tool does), so a damaged stretch in the middle of a file
// costs only that stretch. Only this many in a row (a minute or more of audio
// in any codec) means nothing more will decode.
constexpr int kMaxBadPackets = 4096;
// Lossy decoders need a few frames after a seek before their output equals
// a continuous decode (MDCT overlap, the MP3 bit reservoir).
constexpr int64_t kLossyPreroll = 8192;
// A forward seek shorter than this (beyond the preroll) decodes on instead
// of seeking the demuxer.
constexpr int64_t kForwardDecode = 4096;
constexpr int64_t kUnknown = INT64_MIN;

void quietLogs() {
  // Failures reach users through error codes; FFmpeg's own log would only
  // clutter the console.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Why a file could not be opened, as users read it beneath the file name.
constexpr const char* kNotRegular = "not a regular file";
constexpr const char* kEmptyFile = "the file is empty (0 bytes)";
constexpr const char* kNotAudio = "not an audio file that can be decoded";
constexpr const char* kNoAudioStream = "the file holds no audio";
constexpr const char* kNoDecoder = "no decoder for its audio format";
constexpr const char* kUndecodable = "its audio data cannot be decoded (damaged or unsupported)";
constexpr const char* kNoMemory = "out of memory";

int64_t packetTs(const AVPacket* p) { return p->pts != AV_NOPTS_VALUE ? p->pts : p->dts; }
int64_t framePts(const AVFrame* f) { return f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp; }

bool isDemuxer(const AVFormatContext* f, const char* name) { return av_match_name(name, f->iformat->name) != 0; }

bool isPcm(const AVCodecParameters* par) { return av_get_exact_bits_per_sample(par->codec_id) >= 8; }

bool isPcmContainer(const AVFormatContext* f) {
  for (const char* name : {"wav", "w64", "aiff", "au", "caf"})
    if (isDemuxer(f, name)) return true;
  return false;
}

// Containers whose stated stream duration is the exact decoded length.
bool containerLengthIsExact(const AVFormatContext* f, const AVStream* st) {
  if (st->duration == AV_NOPTS_VALUE || st->duration <= 0) return false;
  for (const char* name : {"flac", "ogg", "mov", "ape", "wv", "tta"})
    if (isDemuxer(f, name)) return true;
  return isPcmContainer(f) && isPcm(st->codecpar);
}

// Demuxers whose packet timestamps after a seek are the ones a continuous
// read gives, in a time base that holds every sample boundary. Elsewhere
// (ASF and Matroska count milliseconds, raw AC-3 has a 90 kHz clock, WAV
// places compressed blocks by the average byte rate) frames are placed by
// the timestamps noted in a decode at open.
bool timestampsAreExact(const AVFormatContext* f, const AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  if (par->sample_rate <= 0 || st->time_base.den % (int64_t(par->sample_rate) * st->time_base.num) != 0) return false;
  for (const char* name : {"flac", "ogg", "mov", "ape", "wv", "tta", "mp3", "aac"})
    if (isDemuxer(f, name)) return true;
  return isPcmContainer(f) && isPcm(par);
}

int sourceBitsOf(const AVCodecParameters* par, const AVCodecContext* c) {
  const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
  if (d == nullptr || !(d->props & AV_CODEC_PROP_LOSSLESS)) return 0;
  switch (par->codec_id) {
    case AV_CODEC_ID_PCM_F16LE: case AV_CODEC_ID_PCM_F24LE: case AV_CODEC_ID_PCM_F32BE:
    case AV_CODEC_ID_PCM_F32LE: case AV_CODEC_ID_PCM_F64BE: case AV_CODEC_ID_PCM_F64LE:
      return 32;
    default: break;
  }
  int bits = par->bits_per_raw_sample;
  if (bits <= 0) bits = c->bits_per_raw_sample;
  if (bits <= 0) bits = par->bits_per_coded_sample;
  if (bits <= 0) bits = av_get_bits_per_sample(par->codec_id);
  return std::clamp(bits, 0, 32);
}

// Interleaves one decoded frame as float: integers scale by 2^-(bits-1), so
// 8/16/24-bit sources come out exact. A frame with fewer channels than the
// stream (a mid-stream change) repeats its last channel; extra ones drop.
template <typename T, typename Scale>
void interleave(const AVFrame* f, float* out, int channels, Scale scale) {
  const int have = f->ch_layout.nb_channels;
  const int n = f->nb_samples;
  const bool planar = av_sample_fmt_is_planar(AVSampleFormat(f->format));
  for (int c = 0; c < channels; ++c) {
    const int src = std::min(c, have - 1);
    if (planar) {
      const T* p = reinterpret_cast<const T*>(f->extended_data[src]);
      for (int i = 0; i < n; ++i) out[size_t(i) * channels + c] = scale(p[i]);
    } else {
      const T* p = reinterpret_cast<const T*>(f->extended_data[0]) + src;
      for (int i = 0; i < n; ++i) out[size_t(i) * channels + c] = scale(p[size_t(i) * have]);
    }
  }
}

bool convertFrame(const AVFrame* f, float* out, int channels) {
  if (f->ch_layout.nb_channels <= 0) return false;
  switch (av_get_packed_sample_fmt(AVSampleFormat(f->format))) {
    case AV_SAMPLE_FMT_U8:
      interleave<uint8_t>(f, out, channels, [](uint8_t v) { return float(int(v) - 128) * (1.0f / 128); });
      return true;
    case AV_SAMPLE_FMT_S16:
      interleave<int16_t>(f, out, channels, [](int16_t v) { return float(v) * (1.0f / 32768); });
      return true;
    case AV_SAMPLE_FMT_S32:
      interleave<int32_t>(f, out, channels, [](int32_t v) { return float(double(v) * (1.0 / 2147483648.0)); });
      return true;
    case AV_SAMPLE_FMT_S64:
      interleave<int64_t>(f, out, channels, [](int64_t v) { return float(double(v) * (1.0 / 9223372036854775808.0)); });
      return true;
    case AV_SAMPLE_FMT_FLT:
      interleave<float>(f, out, channels, [](float v) { return v; });
      return true;
    case AV_SAMPLE_FMT_DBL:
      interleave<double>(f, out, channels, [](double v) { return float(v); });
      return true;
    default:
      return false;
  }
}

}  // namespace

void AudioDecoder::FormatCloser::operator()(AVFormatContext* p) const { avformat_close_input(&p); }
void AudioDecoder::CodecFreer::operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
void AudioDecoder::PacketFreer::operator()(AVPacket* p) const { av_packet_free(&p); }
void AudioDecoder::FrameFreer::operator()(AVFrame* p) const { av_frame_free(&p); }

AudioDecoder::AudioDecoder(std::string path) : path_(std::move(path)) {}
AudioDecoder::~AudioDecoder() = default;

std::unique_ptr<AudioDecoder> AudioDecoder::open(const std::string& path, AudioError* error, std::string* reason) {
  quietLogs();
  std::unique_ptr<AudioDecoder> s(new AudioDecoder(path));
  AudioError code = s->openInput();
  if (code == AudioError::None) code = s->measure();
  *error = code;
  if (reason != nullptr) *reason = code != AudioError::None ? s->failure_ : std::string();
  if (code != AudioError::None) s.reset();
  return s;
}

AudioError AudioDecoder::fail(AudioError code, std::string reason) {
  failure_ = std::move(reason);
  return code;
}

AudioError AudioDecoder::openInput() {
  // stat() before anything opens the file: opening a FIFO would block, and
  // devices and folders are nothing to decode.
  struct stat sb {};
  if (::stat(path_.c_str(), &sb) != 0) return fail(AudioError::FileOpen, std::strerror(errno));
  if (S_ISDIR(sb.st_mode)) return fail(AudioError::FileOpen, std::strerror(EISDIR));
  if (!S_ISREG(sb.st_mode)) return fail(AudioError::FileOpen, kNotRegular);
  if (std::FILE* f = std::fopen(path_.c_str(), "rb")) std::fclose(f);
  else return fail(AudioError::FileOpen, std::strerror(errno));
  if (sb.st_size == 0) return fail(AudioError::FileFormat, kEmptyFile);

  // "file:" keeps names with a colon from being taken as protocols; the
  // whitelist keeps playlists and the like from reaching the network.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  AVFormatContext* raw = nullptr;
  int r = avformat_open_input(&raw, ("file:" + path_).c_str(), nullptr, &options);
  av_dict_free(&options);
  if (r < 0) {
    if (r == AVERROR(ENOMEM)) return fail(AudioError::OutOfMemory, kNoMemory);
    if (r == AVERROR(ENOENT) || r == AVERROR(EACCES)) return fail(AudioError::FileOpen, std::strerror(AVUNERROR(r)));
    if (r == AVERROR(EIO)) return fail(AudioError::FileFormat, std::strerror(EIO));  // a failing disk
    return fail(AudioError::FileFormat, kNotAudio);
  }
  format_.reset(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) return fail(AudioError::FileFormat, kNotAudio);

  const AVCodec* decoder = nullptr;
  r = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (r == AVERROR_DECODER_NOT_FOUND) return fail(AudioError::Codec, kNoDecoder);
  if (r == AVERROR_STREAM_NOT_FOUND) return fail(AudioError::FileFormat, kNoAudioStream);
  if (r < 0) return fail(AudioError::FileFormat, kNotAudio);
  stream_ = r;
  for (unsigned i = 0; i < raw->nb_streams; ++i)
    if (int(i) != stream_) raw->streams[i]->discard = AVDISCARD_ALL;  // cover art, video
  const AVStream* st = raw->streams[stream_];
  if (st->time_base.num <= 0 || st->time_base.den <= 0) return fail(AudioError::FileFormat, kNotAudio);
  tbNum_ = st->time_base.num;
  tbDen_ = st->time_base.den;

  // MPEG audio: the float decoders, not the 16-bit fixed-point ones.
  const char* floatDecoder = st->codecpar->codec_id == AV_CODEC_ID_MP1   ? "mp1float"
                             : st->codecpar->codec_id == AV_CODEC_ID_MP2 ? "mp2float"
                             : st->codecpar->codec_id == AV_CODEC_ID_MP3 ? "mp3float"
                                                                         : nullptr;
  if (floatDecoder != nullptr)
    if (const AVCodec* alt = avcodec_find_decoder_by_name(floatDecoder)) decoder = alt;
  decoder_ = decoder;

  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!packet_ || !frame_) return fail(AudioError::OutOfMemory, kNoMemory);
  const AudioError code = openCodec();
  return code == AudioError::None ? code : fail(code, code == AudioError::OutOfMemory ? kNoMemory : kNoDecoder);
}

AudioError AudioDecoder::openCodec() {
  codec_.reset(avcodec_alloc_context3(decoder_));
  if (!codec_) return AudioError::OutOfMemory;
  const AVStream* st = format_->streams[stream_];
  if (avcodec_parameters_to_context(codec_.get(), st->codecpar) < 0) return AudioError::Codec;
  codec_->pkt_timebase = st->time_base;  // lets skipped samples move frame timestamps
  codec_->thread_count = 1;
  if (avcodec_open2(codec_.get(), decoder_, nullptr) < 0) return AudioError::Codec;
  freshDecoder_ = true;
  return AudioError::None;
}

AudioError AudioDecoder::measure() {
  const AVFormatContext* f = format_.get();
  const AVStream* st = f->streams[stream_];
  const AVCodecParameters* par = st->codecpar;

  sourceBits_ = sourceBitsOf(par, codec_.get());
  const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
  const bool independentFrames =
      d != nullptr && (d->props & AV_CODEC_PROP_LOSSLESS) && (d->props & AV_CODEC_PROP_INTRA_ONLY);
  preroll_ = independentFrames ? 0 : std::max<int64_t>(kLossyPreroll, 8 * int64_t(par->frame_size));
  // Raw ADTS cannot state the encoder delay; AAC-LC encoders prime with one
  // frame (1024 samples), which this drops so the audio lines up.
  if (isDemuxer(f, "aac") && par->codec_id == AV_CODEC_ID_AAC && par->profile == FF_PROFILE_AAC_LOW)
    primingSkip_ = 1024;

  // The length: stated by the container, or counted by demuxing, or (where
  // timestamps cannot place frames) by decoding, which also notes where
  // every frame lies.
  int64_t counted = -1;     // frames, when decoded at open
  int64_t countedTs = -1;   // time base units, when demuxed at open
  int64_t skipped = 0;      // samples the decoder will drop from that span
  if (!timestampsAreExact(f, st)) {
    timing_ = Timing::Table;
    const AudioError r = scanDecode(&counted);
    if (r != AudioError::None) return fail(r, kNoMemory);
  } else if (containerLengthIsExact(f, st)) {
    trimToLength_ = true;
    // MP4's stated duration can include encoder padding or priming that the
    // demuxer drops; the packets say what really decodes.
    if (isDemuxer(f, "mov")) {
      bool ok = false;
      int64_t ts = 0;
      const AudioError r = countPackets(&ok, &ts, &skipped);
      if (r != AudioError::None) return fail(r, kNoMemory);
      if (ok) countedTs = ts;
      else skipped = 0;
    }
  } else {
    bool ok = false;
    int64_t ts = 0;
    const AudioError r = countPackets(&ok, &ts, &skipped);
    if (r != AudioError::None) return fail(r, kNoMemory);
    if (ok) {
      countedTs = ts;
    } else {
      if (!rewind()) return fail(AudioError::FileFormat, kUndecodable);
      const AudioError r2 = scanDecode(&counted);
      if (r2 != AudioError::None) return fail(r2, kNoMemory);
    }
  }
  if ((counted >= 0 || countedTs >= 0) && !rewind()) return fail(AudioError::FileFormat, kUndecodable);

  // Frame 0 is the first frame the decoder delivers from the start.
  const Next first = decodeFrame();
  // Nothing to decode and no length stated (unknown is negative): an empty
  // file, not a damaged one.
  if (first == Next::End && st->duration <= 0 && counted <= 0 && countedTs <= 0) return measureEmpty();
  if (first != Next::Frame) return fail(AudioError::FileFormat, kUndecodable);
  rate_ = frame_->sample_rate;
  channels_ = frame_->ch_layout.nb_channels;
  if (rate_ <= 0 || channels_ <= 0) return fail(AudioError::FileFormat, kUndecodable);
  const int64_t pts = framePts(frame_.get());
  if (timing_ == Timing::Linear) {
    if (pts == AV_NOPTS_VALUE) timing_ = Timing::None;
    else zeroPts_ = pts;
  }
  if (timing_ == Timing::Table && ptsTable_.empty()) timing_ = Timing::None;
  carry_.resize(size_t(std::max(frame_->nb_samples, 8192)) * size_t(channels_));
  if (!storeFrame()) return fail(AudioError::FileFormat, kUndecodable);

  const AVRational tb{tbNum_, tbDen_};
  if (counted >= 0) length_ = counted;
  else if (countedTs >= 0 && !trimToLength_) length_ = std::max<int64_t>(0, av_rescale_q(countedTs, tb, AVRational{1, rate_}) - skipped);
  else length_ = av_rescale_q(st->duration, tb, AVRational{1, rate_});
  if (countedTs >= 0 && trimToLength_)
    length_ = std::min(length_, std::max<int64_t>(0, av_rescale_q(countedTs, tb, AVRational{1, rate_}) - skipped));
  // Ogg states the end granule; Opus pre-skip comes off it.
  if (trimToLength_ && isDemuxer(f, "ogg") && par->initial_padding > 0)
    length_ = std::max<int64_t>(0, length_ - av_rescale(par->initial_padding, rate_, par->sample_rate > 0 ? par->sample_rate : rate_));
  // PCM cut short: the header states more than the file holds.
  const int pcmBits = av_get_exact_bits_per_sample(par->codec_id);
  if (isPcm(par) && par->block_align == channels_ * (pcmBits / 8) && firstPacketPos_ >= 0 && trimToLength_) {
    const int64_t size = avio_size(f->pb);
    if (size > firstPacketPos_) length_ = std::min(length_, (size - firstPacketPos_) / par->block_align);
  }
  measureStatedLength();
  return AudioError::None;
}

namespace {

// Up to `size` bytes of `path` from `offset` (from the end when negative).
std::vector<uint8_t> ReadBytes(const std::string& path, int64_t offset, size_t size) {
  std::vector<uint8_t> bytes;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return bytes;
  if (offset < 0) {
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return bytes;
    const long end = std::ftell(file.get());
    offset = std::max<int64_t>(0, int64_t(end) + offset);
  }
  if (std::fseek(file.get(), long(offset), SEEK_SET) != 0) return bytes;
  bytes.resize(size);
  bytes.resize(std::fread(bytes.data(), 1, size, file.get()));
  return bytes;
}

// Frames a lossy codec codes at once, for the tolerance of a short end.
int64_t CodecFrameSize(const AVCodecParameters* par) {
  if (par->frame_size > 0) return par->frame_size;
  switch (par->codec_id) {
    case AV_CODEC_ID_MP1: return 384;
    case AV_CODEC_ID_MP2: case AV_CODEC_ID_MP3: return 1152;
    case AV_CODEC_ID_AAC: return 1024;
    case AV_CODEC_ID_OPUS: return 960;
    default: return 2048;
  }
}

}  // namespace

void AudioDecoder::measureStatedLength() {
  const AVFormatContext* f = format_.get();
  const AVStream* st = f->streams[stream_];
  const AVCodecParameters* par = st->codecpar;
  const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
  const bool lossless = d != nullptr && (d->props & AV_CODEC_PROP_LOSSLESS);
  if (!lossless) shortTolerance_ = 2 * CodecFrameSize(par) * rate_ / (par->sample_rate > 0 ? par->sample_rate : rate_);
  const int64_t containerFrames =
      st->duration > 0 ? av_rescale_q(st->duration, AVRational{tbNum_, tbDen_}, AVRational{1, rate_}) : -1;
  constexpr size_t kTail = 72 * 1024;  // more than the largest Ogg page or FLAC frame header search needs

  if (isDemuxer(f, "mp3")) {
    // The ID3v2 tag may hold pictures: read its size, then the frames after it.
    std::vector<uint8_t> head = ReadBytes(path_, 0, 10);
    int64_t skip = 0;
    while (head.size() == 10 && std::memcmp(head.data(), "ID3", 3) == 0 && !((head[6] | head[7] | head[8] | head[9]) & 0x80)) {
      skip += 10 + (int64_t(head[6]) << 21 | int64_t(head[7]) << 14 | int64_t(head[8]) << 7 | head[9]) +
              ((head[5] & 0x10) ? 10 : 0);
      head = ReadBytes(path_, skip, 10);
    }
    head = ReadBytes(path_, skip, 8192);
    if (auto frames = stated_length::Mp3Frames(head.data(), head.size()))
      stated_ = av_rescale(*frames, rate_, par->sample_rate > 0 ? par->sample_rate : rate_);
    truncated_ = lastFrameTorn_;
  } else if (isDemuxer(f, "mov")) {
    const AVDictionaryEntry* note = av_dict_get(f->metadata, "iTunSMPB", nullptr, 0);
    if (note == nullptr) note = av_dict_get(st->metadata, "iTunSMPB", nullptr, 0);
    std::optional<int64_t> gapless;
    if (note != nullptr) gapless = stated_length::ITunesGaplessFrames(note->value);
    stated_ = gapless ? *gapless : containerFrames;
  } else if (isDemuxer(f, "flac")) {
    stated_ = containerFrames;
    // A header may state less than the file holds: the frames' own numbers
    // tell, and all the audio is delivered.
    const int fixedBlock = par->extradata_size >= 4 ? int(AV_RB16(par->extradata)) : 0;
    const std::vector<uint8_t> tail = ReadBytes(path_, -int64_t(kTail), kTail);
    if (auto end = stated_length::FlacLastFrameEnd(tail.data(), tail.size(), fixedBlock))
      if (*end > length_ && *end < length_ * 64 + rate_ * 3600) length_ = *end;
  } else if (isDemuxer(f, "ogg")) {
    stated_ = length_;
    const std::vector<uint8_t> tail = ReadBytes(path_, -int64_t(kTail), kTail);
    if (stated_length::OggEndsWithLastPage(tail.data(), tail.size()) == std::optional<bool>(false)) truncated_ = true;
  } else if (isPcmContainer(f) && isPcm(par) && trimToLength_) {
    // The sizes in the header are the whole story: a file shorter than they
    // say is cut, one whose chunks disagree by a few frames is not.
    pcm_ = true;
    stated_ = containerFrames;
    // The data chunk's own size rules where it and the header disagree
    // (AIFF's frame count may run past its sound chunk).
    const std::vector<uint8_t> head = ReadBytes(path_, 0, 64 * 1024);
    if (auto data = stated_length::PcmDataFrames(head.data(), head.size(), par->block_align)) stated_ = *data;
    length_ = std::min(length_, stated_);
    truncated_ = stated_ > length_;
  } else if (trimToLength_) {
    stated_ = length_;
  }
}

bool AudioDecoder::endedShort() const {
  const int64_t end = decodedEnd();
  if (end < 0) return false;
  if (truncated_) return true;
  if (pcm_) return false;
  const int64_t expected = std::max(stated_, length_);
  return end + shortTolerance_ < expected;
}

// A stream that states no length and holds no packets (a WAV header with an
// empty data chunk): a valid file of length 0 at the rate and channel count
// its header gives.
AudioError AudioDecoder::measureEmpty() {
  const AVCodecParameters* par = format_->streams[stream_]->codecpar;
  rate_ = par->sample_rate;
  channels_ = par->ch_layout.nb_channels;
  if (rate_ <= 0 || channels_ <= 0) return fail(AudioError::FileFormat, kUndecodable);
  timing_ = Timing::None;
  carry_.resize(size_t(8192) * size_t(channels_));
  length_ = 0;
  return AudioError::None;
}

// Sums packet durations from the current (start) position; `ok` is false
// when some packet does not state its duration.
AudioError AudioDecoder::countPackets(bool* ok, int64_t* durationTs, int64_t* skipped) {
  AVCodecParameters* par = format_->streams[stream_]->codecpar;
  const AVRational tb{tbNum_, tbDen_};
  *ok = true;
  for (;;) {
    const int r = readPacket();
    if (r == AVERROR(ENOMEM)) return AudioError::OutOfMemory;
    if (r < 0) break;
    int64_t d = packet_->duration;
    // The demuxer marks priming it drops (an MP4 edit list).
    if (d <= 0 && (packet_->flags & AV_PKT_FLAG_DISCARD)) {
      av_packet_unref(packet_.get());
      continue;
    }
    if (d <= 0 && par->sample_rate > 0) {
      int n = av_get_audio_frame_duration2(par, packet_->size);
      if (n <= 0) n = par->frame_size;  // an MP4 sample whose duration the index leaves open
      if (n > 0) d = av_rescale_q(n, AVRational{1, par->sample_rate}, tb);
    }
    if (d <= 0) {
      av_packet_unref(packet_.get());
      *ok = false;
      break;
    }
    *durationTs += d;
    size_t size = 0;
    const uint8_t* side = av_packet_get_side_data(packet_.get(), AV_PKT_DATA_SKIP_SAMPLES, &size);
    // A last MPEG frame shorter than its header says: the file was cut
    // inside it (each packet checked, the last one counts).
    if (par->codec_id == AV_CODEC_ID_MP3 || par->codec_id == AV_CODEC_ID_MP2 || par->codec_id == AV_CODEC_ID_MP1)
      lastFrameTorn_ = packet_->size >= 4 && packet_->size < stated_length::MpegFrameBytes(packet_->data);
    if (side != nullptr && size >= 10) *skipped += int64_t(AV_RL32(side)) + int64_t(AV_RL32(side + 4));
    else if (primingSkip_ > 0 && packetTs(packet_.get()) == firstPacketTs_) *skipped += primingSkip_;
    av_packet_unref(packet_.get());
  }
  return AudioError::None;
}

// Decodes from the current (start) position to the end, counting frames and,
// for Table timing, noting each decoded frame's timestamp and index.
AudioError AudioDecoder::scanDecode(int64_t* frames) {
  int64_t count = 0;
  ptsTable_.clear();
  for (;;) {
    const Next n = decodeFrame();
    if (n != Next::Frame) break;  // a decoder failure ends the decodable part
    const int64_t pts = framePts(frame_.get());
    if (timing_ == Timing::Table && pts != AV_NOPTS_VALUE && (ptsTable_.empty() || pts > ptsTable_.back().first))
      ptsTable_.emplace_back(pts, count);
    count += frame_->nb_samples;
  }
  *frames = count;
  return AudioError::None;
}

bool AudioDecoder::rewind() {
  const int64_t ts = firstPacketTs_ != INT64_MIN ? firstPacketTs_ : 0;
  int r = av_seek_frame(format_.get(), stream_, ts, AVSEEK_FLAG_BACKWARD);
  if (r < 0) r = avformat_seek_file(format_.get(), stream_, INT64_MIN, ts, INT64_MAX, 0);
  resetDecoder();
  return r >= 0;
}

// A new decoder rather than a flushed one: some keep state across a flush
// (the AAC noise generator, the vorbis window), and a fresh one makes a
// decode from any seek point repeatable, from the start identical to the
// first.
void AudioDecoder::resetDecoder() {
  carryFrames_ = 0;
  carryRead_ = 0;
  draining_ = false;
  ended_ = false;
  badPackets_ = 0;
  failed_ = openCodec() != AudioError::None;
}

int AudioDecoder::readPacket() {
  for (;;) {
    const int r = av_read_frame(format_.get(), packet_.get());
    if (r < 0) return r;
    if (packet_->stream_index == stream_) {
      if (firstPacketTs_ == INT64_MIN) {
        firstPacketTs_ = packetTs(packet_.get());
        firstPacketPos_ = packet_->pos;
      }
      return 0;
    }
    av_packet_unref(packet_.get());
  }
}

AudioDecoder::Next AudioDecoder::decodeFrame() {
  if (!codec_ || !avcodec_is_open(codec_.get())) return Next::Error;  // a failed reopen
  for (;;) {
    int r = avcodec_receive_frame(codec_.get(), frame_.get());
    if (r >= 0) {
      badPackets_ = 0;
      return Next::Frame;
    }
    if (r == AVERROR_EOF) return Next::End;
    if (r != AVERROR(EAGAIN)) {
      if (r != AVERROR(ENOMEM) && ++badPackets_ <= kMaxBadPackets) continue;
      return Next::Error;
    }
    if (draining_) return Next::End;

    r = readPacket();
    if (r < 0) {
      if (r == AVERROR(ENOMEM)) return Next::Error;
      // A read error on the file fails; anything else the demuxer stops at
      // (the end, a truncated last packet) ends the stream.
      if (r != AVERROR_EOF && format_->pb != nullptr && format_->pb->error < 0 && format_->pb->error != AVERROR_EOF)
        return Next::Error;
      draining_ = true;
      avcodec_send_packet(codec_.get(), nullptr);
      continue;
    }
    if (trimToLength_) {
      // The length is exact here; trimming to it beats the padding the
      // demuxer declares (FFmpeg 5.1 cuts Ogg Vorbis 128 samples short).
      size_t size = 0;
      if (uint8_t* side = av_packet_get_side_data(packet_.get(), AV_PKT_DATA_SKIP_SAMPLES, &size); side && size >= 10)
        AV_WL32(side + 4, 0u);
    }
    if (primingSkip_ > 0 && packetTs(packet_.get()) == firstPacketTs_ &&
        av_packet_get_side_data(packet_.get(), AV_PKT_DATA_SKIP_SAMPLES, nullptr) == nullptr) {
      if (uint8_t* side = av_packet_new_side_data(packet_.get(), AV_PKT_DATA_SKIP_SAMPLES, 10)) {
        AV_WL32(side, uint32_t(primingSkip_));
        AV_WL32(side + 4, 0u);
        side[8] = side[9] = 0;
      }
    }
    if (freshDecoder_) {
      landedPos_ = packet_->pos;
      freshDecoder_ = false;
    }
    r = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (r < 0 && r != AVERROR(EAGAIN)) {
      // A damaged packet is dropped; the decoder resynchronises on the next.
      if (r != AVERROR(ENOMEM) && ++badPackets_ <= kMaxBadPackets) continue;
      return Next::Error;
    }
  }
}

bool AudioDecoder::storeFrame() {
  const size_t need = size_t(frame_->nb_samples) * size_t(channels_);
  if (carry_.size() < need) carry_.resize(need);  // only for a frame larger than any before
  carryRead_ = 0;
  carryFrames_ = 0;
  if (!convertFrame(frame_.get(), carry_.data(), channels_)) return false;
  carryFrames_ = frame_->nb_samples;
  return true;
}

// Pulls the next decoded frame into the carry buffer; false at the end or on
// failure (recorded in ended_ / failed_).
bool AudioDecoder::refill() {
  if (ended_ || failed_) return false;
  switch (decodeFrame()) {
    case Next::Frame:
      if (storeFrame()) return true;
      failed_ = true;
      return false;
    case Next::End:
      ended_ = true;
      return false;
    case Next::Error:
      failed_ = true;
      return false;
  }
  return false;
}

int64_t AudioDecoder::frameIndex() const {
  const int64_t pts = framePts(frame_.get());
  if (pts == AV_NOPTS_VALUE) return kUnknown;
  switch (timing_) {
    case Timing::Linear:
      return av_rescale_q_rnd(pts - zeroPts_, AVRational{tbNum_, tbDen_}, AVRational{1, rate_},
                              AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    case Timing::Table: {
      const auto it = std::lower_bound(ptsTable_.begin(), ptsTable_.end(), std::make_pair(pts, INT64_MIN));
      return it != ptsTable_.end() && it->first == pts ? it->second : kUnknown;
    }
    case Timing::None:
      break;
  }
  return kUnknown;
}

int64_t AudioDecoder::seekTimestamp(int64_t frame) const {
  if (timing_ == Timing::Table) {
    auto it = std::upper_bound(ptsTable_.begin(), ptsTable_.end(), frame,
                               [](int64_t v, const std::pair<int64_t, int64_t>& e) { return v < e.second; });
    if (it != ptsTable_.begin()) --it;
    return it->first;
  }
  return zeroPts_ + av_rescale_q_rnd(frame, AVRational{1, rate_}, AVRational{tbNum_, tbDen_}, AV_ROUND_DOWN);
}

int64_t AudioDecoder::read(float* out, int64_t maxFrames) {
  int64_t pos = position_.load(std::memory_order_relaxed);
  int64_t done = 0;
  while (done < maxFrames && pos < length_) {
    if (carryRead_ == carryFrames_ && !refill()) break;
    const int64_t n = std::min({maxFrames - done, carryFrames_ - carryRead_, length_ - pos});
    std::memcpy(out + done * channels_, carry_.data() + carryRead_ * channels_, size_t(n) * size_t(channels_) * sizeof(float));
    carryRead_ += n;
    done += n;
    pos += n;
  }
  position_.store(pos, std::memory_order_relaxed);
  if (pos >= length_ || (carryRead_ == carryFrames_ && (ended_ || failed_)))
    decodedEnd_.store(pos, std::memory_order_relaxed);
  if (done == 0 && failed_) return -1;
  return done;
}

bool AudioDecoder::skipFrames(int64_t count) {
  int64_t pos = position_.load(std::memory_order_relaxed);
  while (count > 0) {
    if (carryRead_ == carryFrames_ && !refill()) {
      decodedEnd_.store(pos, std::memory_order_relaxed);
      break;
    }
    const int64_t n = std::min(count, carryFrames_ - carryRead_);
    carryRead_ += n;
    pos += n;
    count -= n;
  }
  position_.store(pos, std::memory_order_relaxed);
  return count == 0;
}

AudioError AudioDecoder::seek(int64_t target) {
  if (target < 0 || target > length_) return AudioError::Position;
  const int64_t from = position_.load(std::memory_order_relaxed);
  if (target == from && !failed_) return AudioError::None;
  if (target > from && target - from <= preroll_ + kForwardDecode && !failed_ && skipFrames(target - from))
    return AudioError::None;

  // Seek the demuxer to before the target (by the preroll), decode, and
  // place the first frame by its timestamp; landing late widens the margin,
  // and the start of the file is the last resort. Landing on the first
  // packet counts as the start whatever the timestamps say: frame 0 is by
  // definition the first frame decoded from there (the Ogg demuxer numbers
  // its first page differently after a seek).
  int64_t margin = preroll_;
  for (int attempt = 0;; ++attempt) {
    const bool toStart = target - margin <= 0 || timing_ == Timing::None || attempt >= 3;
    bool sought;
    if (toStart) {
      sought = rewind();
    } else {
      sought = av_seek_frame(format_.get(), stream_, seekTimestamp(target - margin), AVSEEK_FLAG_BACKWARD) >= 0;
      resetDecoder();
    }
    if (!sought && toStart) break;
    if (sought) {
      const Next n = decodeFrame();
      if (n == Next::Error) break;
      if (n == Next::Frame) {
        const bool atStart = toStart || (firstPacketPos_ >= 0 && landedPos_ == firstPacketPos_);
        const int64_t index = atStart ? 0 : frameIndex();
        if (index != kUnknown && index <= target) {
          if (!storeFrame()) break;
          position_.store(index, std::memory_order_relaxed);
          if (skipFrames(target - index)) return AudioError::None;
          // The decoder ends before the target: the length was overstated
          // (a damaged file). Go back to where we were.
          if (from != target && seek(from) == AudioError::None) return AudioError::Position;
          break;
        }
      } else if (toStart) {
        break;  // nothing decodes from the start any more
      }
    }
    margin = margin * 4 + rate_;
  }
  failed_ = true;
  return AudioError::Decode;
}

