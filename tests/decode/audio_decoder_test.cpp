// The decoder: every input format at its own rate and channel count, exact
// lengths (gapless trimming, counted lengths), bit-exact lossless decoding,
// sample-accurate seeking, the end, damaged and empty files, and the error
// codes and reasons of files that cannot be decoded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "decode/audio_decoder.h"
#include "testaudio.h"

namespace {

namespace fs = std::filesystem;

// Channel c: a tone of 440 × (1 + c/2) Hz at 0.5 / (1 + c): every channel
// differs, so a swap or a remix shows. 10 ms fades at both ends keep lossy
// encoders from coding an abrupt edge as noise.
double ToneFreq(int c) { return 440.0 * (1.0 + 0.5 * c); }
double ToneAmp(int c) { return 0.5 / (1.0 + c); }

std::vector<float> Tones(int rate, int channels, size_t frames) {
  std::vector<float> out(frames * size_t(channels));
  const double fade = rate / 100.0;
  for (size_t i = 0; i < frames; ++i) {
    const double edge = std::min(double(i), double(frames - 1 - i));
    const double gain = edge >= fade ? 1.0 : 0.5 - 0.5 * std::cos(M_PI * edge / fade);
    for (int c = 0; c < channels; ++c)
      out[i * size_t(channels) + size_t(c)] =
          float(gain * ToneAmp(c) * std::sin(2.0 * M_PI * ToneFreq(c) * double(i) / rate));
  }
  return out;
}

// Opens `path`, failing the test (with the error code) when it cannot.
std::unique_ptr<AudioDecoder> Open(const std::string& path) {
  AudioError error = AudioError::Unknown;
  std::unique_ptr<AudioDecoder> d = AudioDecoder::open(path, &error);
  EXPECT_EQ(d != nullptr, error == AudioError::None) << path;
  if (!d) ADD_FAILURE() << "cannot open " << path << ": error " << ErrorCode(error);
  return d;
}

// Reads to the end in requests of `chunk` frames, checking that the position
// follows the frames delivered.
std::vector<float> ReadAll(AudioDecoder& d, size_t chunk = 3000) {
  const size_t channels = size_t(d.channels());
  std::vector<float> out, buf(chunk * channels);
  int64_t pos = d.positionFrames();
  for (;;) {
    const int64_t got = d.read(buf.data(), int64_t(chunk));
    if (got < 0) { ADD_FAILURE() << "decoder failed at frame " << pos << "; the end is not an error"; break; }
    if (got == 0) break;
    EXPECT_LE(got, int64_t(chunk));
    out.insert(out.end(), buf.begin(), buf.begin() + got * int64_t(channels));
    pos += got;
    EXPECT_EQ(d.positionFrames(), pos);
  }
  return out;
}

std::vector<float> ReadFrames(AudioDecoder& d, size_t frames) {
  std::vector<float> out(frames * size_t(d.channels()));
  const int64_t got = d.read(out.data(), int64_t(frames));
  out.resize(got < 0 ? 0 : size_t(got) * size_t(d.channels()));
  return out;
}

// Normalised correlation of one channel of two interleaved signals over
// frames [from, to).
double Correlation(const std::vector<float>& a, const std::vector<float>& b, int channels, int c, size_t from, size_t to) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = from; i < to; ++i) {
    const double x = a[i * size_t(channels) + size_t(c)], y = b[i * size_t(channels) + size_t(c)];
    ab += x * y; aa += x * x; bb += y * y;
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// The samples of a 16- or 24-bit PCM WAV file, read here rather than by the
// decoder under test.
std::vector<float> ReadPcmWav(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto u16 = [&](size_t at) { return unsigned(uint8_t(b[at])) | unsigned(uint8_t(b[at + 1])) << 8; };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  int bits = 0;
  for (size_t at = 12; at + 8 <= b.size();) {
    const std::string id = b.substr(at, 4);
    const size_t size = u32(at + 4);
    if (id == "fmt ") bits = int(u16(at + 8 + 14));
    if (id == "data") {
      const size_t width = size_t(bits / 8);
      std::vector<float> out;
      for (size_t p = at + 8; p + width <= at + 8 + size && p + width <= b.size(); p += width) {
        int32_t v = 0;
        for (size_t k = 0; k < width; ++k) v |= int32_t(uint8_t(b[p + k])) << (8 * k + 32 - bits);
        out.push_back(float(double(v >> (32 - bits)) / std::ldexp(1.0, bits - 1)));
      }
      return out;
    }
    at += 8 + size + (size & 1);
  }
  ADD_FAILURE() << "no PCM data in " << path;
  return {};
}

enum class Kind {
  Exact,    // lossless: bit-exact to the PCM written
  Gapless,  // lossy with declared delay/padding: exact length, aligned
  Aligned,  // lossy, start aligned, the end padded to whole codec frames
  Framed,   // lossy without gapless information: delayed and padded
};

struct Case {
  const char* name;
  const char* file;  // made from <name>.wav with `args`; an .ape is shared
  const char* args;
  int rate;
  int channels;
  int bits;  // of the source PCM
  size_t frames;
  Kind kind;
  int sourceBits;
};

const Case kCases[] = {
    {"wav8_mono", "wav8_mono.wav", nullptr, 22050, 1, 8, 20000, Kind::Exact, 8},
    {"wav16_stereo", "wav16_stereo.wav", nullptr, 44100, 2, 16, 40000, Kind::Exact, 16},
    {"wav24_stereo", "wav24_stereo.wav", nullptr, 48000, 2, 24, 40000, Kind::Exact, 24},
    {"wavfloat_mono", "wavfloat_mono.wav", nullptr, 44100, 1, 32, 30000, Kind::Exact, 32},
    {"wav32_stereo", "s32_stereo.wav", "-c:a pcm_s32le", 44100, 2, 24, 30000, Kind::Exact, 32},
    {"flac16_stereo", "flac16_stereo.flac", "-c:a flac", 44100, 2, 16, 44111, Kind::Exact, 16},
    {"flac24_mono", "flac24_mono.flac", "-c:a flac", 48000, 1, 24, 30001, Kind::Exact, 24},
    {"flac24_6ch_96k", "flac24_6ch_96k.flac", "-c:a flac", 96000, 6, 24, 24000, Kind::Exact, 24},
    {"aiff16_stereo", "aiff16_stereo.aiff", "-c:a pcm_s16be", 44100, 2, 16, 33333, Kind::Exact, 16},
    {"aiff24_mono", "aiff24_mono.aiff", "-c:a pcm_s24be", 22050, 1, 24, 20000, Kind::Exact, 24},
    {"ape16_stereo", "stereo-44100-16.ape", nullptr, 44100, 2, 16, 88200, Kind::Exact, 16},
    {"ape16_mono", "mono-22050-16.ape", nullptr, 22050, 1, 16, 22050, Kind::Exact, 16},
    {"ape24_stereo", "stereo-48000-24.ape", nullptr, 48000, 2, 24, 48000, Kind::Exact, 24},
    {"mp3_stereo", "mp3_stereo.mp3", "-c:a libmp3lame -b:a 160k", 44100, 2, 16, 40000, Kind::Gapless, 0},
    {"mp3_mono", "mp3_mono.mp3", "-c:a libmp3lame -b:a 64k", 22050, 1, 16, 20001, Kind::Gapless, 0},
    {"mp3_noxing", "mp3_noxing.mp3", "-c:a libmp3lame -b:a 128k -write_xing 0", 48000, 2, 16, 40000, Kind::Framed, 0},
    {"mp2_stereo", "mp2_stereo.mp2", "-c:a mp2 -b:a 192k", 44100, 2, 16, 40000, Kind::Framed, 0},
    {"wma_stereo", "wma_stereo.wma", "-c:a wmav2 -b:a 128k", 44100, 2, 16, 40000, Kind::Framed, 0},
    {"ogg_stereo", "ogg_stereo.ogg", "-c:a libvorbis", 44100, 2, 16, 40000, Kind::Gapless, 0},
    {"ogg_mono", "ogg_mono.ogg", "-c:a libvorbis", 22050, 1, 16, 20001, Kind::Gapless, 0},
    // MP4 files from FFmpeg state their length in whole milliseconds.
    {"m4a_stereo", "m4a_stereo.m4a", "-c:a aac -b:a 160k", 48000, 2, 16, 39984, Kind::Gapless, 0},
    {"m4a_mono", "m4a_mono.m4a", "-c:a aac -b:a 96k", 22050, 1, 16, 19845, Kind::Gapless, 0},
    {"adts_stereo", "adts_stereo.aac", "-c:a aac -b:a 160k -f adts", 44100, 2, 16, 40000, Kind::Aligned, 0},
};

// Test names in listings show the case's name, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

bool IsApe(const Case& c) { return fs::path(c.file).extension() == ".ape"; }


class DecodeTest : public ::testing::TestWithParam<Case> {
 public:
  static void SetUpTestSuite() { dir_ = pwtest::TempDir("decode"); }

  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // The fixture of a case, made on first use: ctest runs every test in a
  // process of its own, which then encodes only the file it needs.
  static std::string PathOf(const Case& c) {
    if (IsApe(c)) return pwtest::FixtureDir() + "/ape/" + c.file;
    const std::string path = dir_ + "/" + c.file;
    std::lock_guard<std::mutex> lock(made_lock_);
    if (made_.insert(c.name).second) {
      const std::string wav = dir_ + "/" + c.name + ".wav";
      pwtest::WriteWav(wav, Tones(c.rate, c.channels, c.frames), c.rate, c.channels, c.bits);
      if (c.args != nullptr) {
        EXPECT_TRUE(pwtest::Ffmpeg(wav, c.args, path)) << c.name;
      }
    }
    return path;
  }

  // The samples an exact decoder returns: the integers stored, over
  // 2^(bits-1). The shared APE files come with the WAV they were made from.
  static std::vector<float> Expected(const Case& c) {
    if (!IsApe(c)) return pwtest::Quantize(Tones(c.rate, c.channels, c.frames), c.bits);
    return ReadPcmWav(fs::path(PathOf(c)).replace_extension(".wav").string());
  }

  static std::string dir_;
  static std::mutex made_lock_;
  static std::set<std::string> made_;
};
std::string DecodeTest::dir_;
std::mutex DecodeTest::made_lock_;
std::set<std::string> DecodeTest::made_;

TEST_P(DecodeTest, FormatRateChannelsAndResolution) {
  const Case& c = GetParam();
  const auto d = Open(PathOf(c));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->rate(), c.rate);
  EXPECT_EQ(d->channels(), c.channels);
  EXPECT_EQ(d->sourceBits(), c.sourceBits);
  EXPECT_EQ(d->path(), PathOf(c));
  EXPECT_EQ(d->positionFrames(), 0);
}

TEST_P(DecodeTest, LengthIsExactlyWhatDecodes) {
  const Case& c = GetParam();
  const auto d = Open(PathOf(c));
  ASSERT_NE(d, nullptr);
  const int64_t length = d->lengthFrames();
  EXPECT_EQ(d->decodedEnd(), -1) << "no end reached yet";
  const std::vector<float> all = ReadAll(*d);
  EXPECT_EQ(int64_t(all.size()), length * c.channels);
  const size_t frames = all.size() / size_t(c.channels);
  // An intact file delivers all it states.
  EXPECT_EQ(d->decodedEnd(), length);
  EXPECT_FALSE(d->endedShort());
  switch (c.kind) {
    case Kind::Exact:
    case Kind::Gapless:
      EXPECT_EQ(frames, c.frames);
      break;
    case Kind::Aligned:
    case Kind::Framed: {
      // No record of the encoder's padding: the length is counted, and is
      // what FFmpeg's own command-line decoder makes of the file (less the
      // 1024 priming samples dropped from raw AAC).
      const std::string raw = dir_ + "/" + c.name + ".f32";
      ASSERT_TRUE(pwtest::Run("ffmpeg -nostdin -v error -y -i '" + PathOf(c) + "' -f f32le '" + raw + "'"));
      const size_t reference = size_t(fs::file_size(raw)) / (4 * size_t(c.channels));
      EXPECT_EQ(frames + (c.kind == Kind::Aligned ? 1024 : 0), reference);
      EXPECT_GE(frames + 2048, c.frames);
      EXPECT_LE(frames, c.frames + 4096);
      break;
    }
  }
}

TEST_P(DecodeTest, ContentMatchesSource) {
  const Case& c = GetParam();
  const auto d = Open(PathOf(c));
  ASSERT_NE(d, nullptr);
  const std::vector<float> all = ReadAll(*d, 4096);
  if (c.kind == Kind::Exact) {
    const std::vector<float> want = Expected(c);
    ASSERT_EQ(all.size(), want.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < all.size(); ++i) mismatches += all[i] != want[i];
    EXPECT_EQ(mismatches, 0u);
    return;
  }
  const size_t frames = std::min(all.size() / size_t(c.channels), c.frames);
  ASSERT_GT(frames, size_t(c.rate / 4));
  const std::vector<float> src = Tones(c.rate, c.channels, c.frames);
  for (int ch = 0; ch < c.channels; ++ch) {
    if (c.kind == Kind::Framed) {
      // Shifted by the codec's delay: the tone itself must come through.
      const double f = pwtest::ZeroCrossingFrequency(all.data() + size_t(c.rate / 10) * c.channels, frames - size_t(c.rate / 5),
                                                    c.channels, ch, c.rate);
      EXPECT_NEAR(f, ToneFreq(ch), 0.5) << "channel " << ch;
    } else {
      // Aligned with the source sample for sample after the first few ms.
      EXPECT_GT(Correlation(all, src, c.channels, ch, size_t(c.rate / 50), frames - size_t(c.rate / 50)), 0.99)
          << "channel " << ch;
    }
  }
}

TEST_P(DecodeTest, SeekIsSampleAccurate) {
  const Case& c = GetParam();
  const auto d = Open(PathOf(c));
  ASSERT_NE(d, nullptr);
  const std::vector<float> all = ReadAll(*d, 5000);
  const size_t frames = all.size() / size_t(c.channels);
  ASSERT_GT(frames, 12000u);
  // Each seek starts where the previous read (3000 frames) left off: from
  // the end to the start, near the start, far forward, a little forward,
  // far back, to the last frames, back to the start, to the middle.
  for (size_t k : {size_t(0), size_t(1000), frames - 10000, frames - 6500, frames / 3, frames - 3001, size_t(7), frames / 2}) {
    SCOPED_TRACE("frame " + std::to_string(k));
    ASSERT_EQ(d->seek(int64_t(k)), AudioError::None);
    EXPECT_EQ(d->positionFrames(), int64_t(k));
    const std::vector<float> got = ReadFrames(*d, 3000);
    ASSERT_EQ(got.size(), size_t(3000) * c.channels);
    // Lossless: bit-exact. Lossy decoders may keep a little state from
    // before the seek point (AAC noise substitution, fixed-point rounding),
    // far below the error of a frame out of place (about 0.02 here).
    const float tolerance = c.kind == Kind::Exact ? 0.0f : 1e-3f;
    float worst = 0;
    for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::fabs(got[i] - all[k * size_t(c.channels) + i]));
    EXPECT_LE(worst, tolerance);
  }
  // After a seek back to the start the whole file decodes again, identically.
  ASSERT_EQ(d->seek(0), AudioError::None);
  EXPECT_TRUE(ReadAll(*d, 7777) == all);
}

TEST_P(DecodeTest, EndAndPositionsBeyondIt) {
  const Case& c = GetParam();
  const auto d = Open(PathOf(c));
  ASSERT_NE(d, nullptr);
  const int64_t length = d->lengthFrames();
  ASSERT_EQ(d->seek(length - 10), AudioError::None);
  std::vector<float> buf(1000 * size_t(c.channels));
  EXPECT_EQ(d->read(buf.data(), 1000), 10);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(d->read(buf.data(), 1000), 0) << "the end stays the end, not a failure";
  EXPECT_EQ(d->positionFrames(), length);

  ASSERT_EQ(d->seek(2), AudioError::None);
  EXPECT_EQ(d->seek(length + 1), AudioError::Position);
  EXPECT_EQ(d->seek(-1), AudioError::Position);
  EXPECT_EQ(d->positionFrames(), 2);
  // The position at the very end is valid and reads nothing.
  ASSERT_EQ(d->seek(length), AudioError::None);
  EXPECT_EQ(d->read(buf.data(), 1000), 0);
}

TEST_P(DecodeTest, TruncatedFileFailsOrDecodesShort) {
  const Case& c = GetParam();
  std::ifstream in(PathOf(c), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string cut = dir_ + "/cut-" + c.file;
  for (double keep : {0.02, 0.5, 0.97}) {
    SCOPED_TRACE(keep);
    std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(double(bytes.size()) * keep));
    AudioError error = AudioError::Unknown;
    const auto d = AudioDecoder::open(cut, &error);
    if (!d) {
      EXPECT_NE(error, AudioError::None);
      continue;
    }
    // Whatever decodes ends cleanly, never passes the length, says that it
    // fell short of what the file states, and can be decoded again from the
    // start. Only streams that state no length and end on a whole frame
    // cannot tell a cut (raw ADTS, WMA's index is read as a length).
    const int64_t length = d->lengthFrames();
    const std::vector<float> first = ReadAll(*d, 4096);
    EXPECT_LE(int64_t(first.size()), length * c.channels);
    const int64_t frames = int64_t(first.size()) / c.channels;
    EXPECT_EQ(d->decodedEnd(), frames);
    const std::string name = c.name;
    if (name != "adts_stereo" && name != "wma_stereo") {
      EXPECT_TRUE(d->endedShort()) << frames << " of " << c.frames;
    }
    float sample[8];
    EXPECT_EQ(d->read(sample, 1), 0);
    ASSERT_EQ(d->seek(0), AudioError::None);
    EXPECT_EQ(ReadAll(*d, 4096).size(), first.size());
  }
  fs::remove(cut);
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodeTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(DecodeRequests, EmptyRequestsReadNothingAndKeepThePosition) {
  const std::string dir = pwtest::TempDir("decode-requests");
  const std::string path = dir + "/a.wav";
  pwtest::WriteWav(path, Tones(44100, 2, 1000), 44100, 2, 16);
  const auto d = Open(path);
  ASSERT_NE(d, nullptr);
  std::vector<float> buf(64);
  EXPECT_EQ(d->read(buf.data(), 0), 0);
  EXPECT_EQ(d->positionFrames(), 0);
  EXPECT_EQ(d->read(buf.data(), 3), 3);
  EXPECT_EQ(d->positionFrames(), 3);
  fs::remove_all(dir);
}

TEST(DecodeErrors, FilesThatCannotBeDecodedAndWhy) {
  const std::string dir = pwtest::TempDir("decode-errors");
  {
    std::ofstream(dir + "/text.mp3") << "This is a text file, not audio at all.\n"
                                     << std::string(4000, 'x') << "\n";
  }
  {
    std::ofstream f(dir + "/noise.wav", std::ios::binary);
    uint32_t x = 12345;
    for (int i = 0; i < 20000; ++i) { x = x * 1664525u + 1013904223u; f.put(char(x >> 24)); }
  }
  {
    // A WAV file of an audio codec nobody knows (format tag 0x7777).
    pwtest::WriteWav(dir + "/unknown.wav", Tones(8000, 1, 4000), 8000, 1, 16);
    std::fstream f(dir + "/unknown.wav", std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(20);
    f.put(char(0x77)).put(char(0x77));
  }
  std::ofstream(dir + "/zero.mp3").close();
  pwtest::WriteWav(dir + "/locked.wav", Tones(8000, 1, 100), 8000, 1, 16);
  fs::permissions(dir + "/locked.wav", fs::perms::none);
  // Root reads whatever the permissions say: that row needs an ordinary user.
  const bool permissionsHold = ::access((dir + "/locked.wav").c_str(), R_OK) != 0;
  struct Row {
    std::string path;
    AudioError error;
    std::string reason;
  };
  std::vector<Row> rows = {
      {dir + "/unknown.wav", AudioError::Codec, "no decoder for its audio format"},
      {dir + "/missing.mp3", AudioError::FileOpen, "No such file or directory"},
      {dir + "/text.mp3/song.mp3", AudioError::FileOpen, "Not a directory"},
      {dir, AudioError::FileOpen, "Is a directory"},
      {"/dev/null", AudioError::FileOpen, "not a regular file"},
      {dir + "/text.mp3", AudioError::FileFormat, "not an audio file that can be decoded"},
      {dir + "/noise.wav", AudioError::FileFormat, "not an audio file that can be decoded"},
      {dir + "/zero.mp3", AudioError::FileFormat, "the file is empty (0 bytes)"},
  };
  if (permissionsHold) rows.push_back({dir + "/locked.wav", AudioError::FileOpen, "Permission denied"});
  for (const Row& c : rows) {
    SCOPED_TRACE(c.path);
    AudioError error = AudioError::None;
    std::string reason = "stale";
    EXPECT_EQ(AudioDecoder::open(c.path, &error, &reason), nullptr);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(reason, c.reason);
    // The reason is optional.
    EXPECT_EQ(AudioDecoder::open(c.path, &error), nullptr);
    EXPECT_EQ(error, c.error);
  }
  // A file that opens leaves no reason behind.
  std::string reason = "stale";
  AudioError error = AudioError::Unknown;
  pwtest::WriteWav(dir + "/fine.wav", Tones(8000, 1, 100), 8000, 1, 16);
  EXPECT_NE(AudioDecoder::open(dir + "/fine.wav", &error, &reason), nullptr);
  EXPECT_EQ(error, AudioError::None);
  EXPECT_EQ(reason, "");
  fs::permissions(dir + "/locked.wav", fs::perms::owner_all);
  fs::remove_all(dir);
}

TEST(DecodeErrors, FifoIsRefusedWithoutWaitingForAWriter) {
  const std::string dir = pwtest::TempDir("decode-fifo");
  const std::string fifo = dir + "/pipe.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto opening = std::async(std::launch::async, [&] {
    AudioError error = AudioError::None;
    std::string reason;
    const bool opened = AudioDecoder::open(fifo, &error, &reason) != nullptr;
    return std::make_tuple(opened, error, reason);
  });
  if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "opening a FIFO blocks";
    // Release the blocked open: a writer lets it return.
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (w >= 0) ::close(w);
  }
  const auto [opened, error, reason] = opening.get();
  EXPECT_FALSE(opened);
  EXPECT_EQ(error, AudioError::FileOpen);
  EXPECT_EQ(reason, "not a regular file");
  fs::remove_all(dir);
}

TEST(DecodeEmpty, FilesWithNoOrOneSampleOpen) {
  const std::string dir = pwtest::TempDir("decode-empty");
  const struct {
    size_t frames;
    int channels, bits;
  } cases[] = {{0, 2, 16}, {0, 1, 24}, {0, 2, 32}, {1, 2, 16}, {1, 1, 24}};
  for (const auto& c : cases) {
    const std::string path = dir + "/e" + std::to_string(c.frames) + "-" + std::to_string(c.bits) + ".wav";
    SCOPED_TRACE(path);
    const std::vector<float> samples(c.frames * size_t(c.channels), 0.25f);
    pwtest::WriteWav(path, samples, 22050, c.channels, c.bits);
    ASSERT_EQ(fs::file_size(path), 44 + c.frames * size_t(c.channels * c.bits / 8));
    const auto d = Open(path);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->rate(), 22050);
    EXPECT_EQ(d->channels(), c.channels);
    EXPECT_EQ(d->sourceBits(), c.bits);
    EXPECT_EQ(d->lengthFrames(), int64_t(c.frames));
    std::vector<float> buf(64, -1.0f);
    EXPECT_EQ(d->read(buf.data(), 8), int64_t(c.frames));
    for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(buf[i], 0.25f);
    EXPECT_EQ(d->read(buf.data(), 8), 0);
    EXPECT_FALSE(d->endedShort());
    EXPECT_EQ(d->seek(0), AudioError::None);
    EXPECT_EQ(d->seek(int64_t(c.frames) + 1), AudioError::Position);
  }
  fs::remove_all(dir);
}

// Damaged and truncated files: everything decodable is delivered (at least
// what the ffmpeg tool gets out of them), and the shortfall against the
// stated length is reported.
class DecodeDamaged : public ::testing::Test {
 protected:
  static constexpr int kRate = 44100;
  static constexpr size_t kFrames = size_t(15 * kRate);
  std::string dir = pwtest::TempDir("decode-damaged");

  void TearDown() override { fs::remove_all(dir); }

  std::string Encode(const std::string& name, const std::string& args) {
    const std::string wav = dir + "/" + name + ".wav";
    pwtest::WriteWav(wav, Tones(kRate, 2, kFrames), kRate, 2, 16);
    const std::string out = dir + "/" + name;
    EXPECT_TRUE(pwtest::Ffmpeg(wav, args, out));
    return out;
  }

  // Frames the ffmpeg tool decodes from `path`.
  size_t FfmpegFrames(const std::string& path) {
    const std::string raw = path + ".f32";
    EXPECT_TRUE(pwtest::Run("ffmpeg -nostdin -v quiet -y -i '" + path + "' -f f32le '" + raw + "'"));
    return size_t(fs::file_size(raw)) / (4 * 2);
  }

  static std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
};

TEST_F(DecodeDamaged, GarbageInTheMiddleSkipsOnlyTheDamage) {
  const std::string intact = Encode("a.m4a", "-c:a aac -b:a 160k");
  std::string bytes = Bytes(intact);
  // About three seconds of audio overwritten at a third of the file: far
  // more packets in a row than a damaged frame or two.
  const size_t from = bytes.size() / 3, count = 60000;
  ASSERT_LT(from + count, bytes.size());
  uint32_t x = 99;
  for (size_t i = from; i < from + count; ++i) { x = x * 1664525u + 1013904223u; bytes[i] = char(x >> 24); }
  const std::string damaged = dir + "/damaged.m4a";
  std::ofstream(damaged, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));

  const size_t reference = FfmpegFrames(damaged);
  ASSERT_LT(reference, kFrames - size_t(kRate)) << "the damage must cost audio";
  const auto d = Open(damaged);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->lengthFrames(), int64_t(kFrames));
  const std::vector<float> all = ReadAll(*d, 4096);
  const size_t frames = all.size() / 2;
  EXPECT_GE(frames + 1024, reference);
  EXPECT_LE(frames, kFrames);
  EXPECT_TRUE(d->endedShort());
  EXPECT_EQ(d->decodedEnd(), int64_t(frames));
  // The audio after the damage came through: the last second is the tone.
  ASSERT_GT(frames, size_t(2 * kRate));
  for (int ch = 0; ch < 2; ++ch)
    EXPECT_NEAR(pwtest::ZeroCrossingFrequency(all.data() + (frames - size_t(kRate)) * 2, size_t(kRate) - 1000, 2, ch, kRate),
                ToneFreq(ch), 0.5)
        << "channel " << ch;
}

TEST_F(DecodeDamaged, FlacCutInHalfDeliversItsFirstHalfAndSaysSo) {
  const std::string intact = Encode("a.flac", "-c:a flac");
  const std::string bytes = Bytes(intact);
  const std::string cut = dir + "/half.flac";
  std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size() / 2));

  const auto d = Open(cut);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->lengthFrames(), int64_t(kFrames));
  EXPECT_FALSE(d->endedShort()) << "not known before the end";
  const std::vector<float> all = ReadAll(*d, 4096);
  const size_t frames = all.size() / 2;
  EXPECT_NEAR(double(frames) / kRate, 7.5, 0.75);
  EXPECT_GE(frames + 1024, FfmpegFrames(cut));
  EXPECT_TRUE(d->endedShort());
  EXPECT_EQ(d->decodedEnd(), int64_t(frames));
  // Bit-exact as far as it goes.
  const std::vector<float> want = pwtest::Quantize(Tones(kRate, 2, kFrames), 16);
  EXPECT_TRUE(std::equal(all.begin(), all.end(), want.begin()));
  // A seek beyond the decodable part finds the end there too.
  EXPECT_EQ(d->seek(int64_t(kFrames) - 1000), AudioError::Position);
  EXPECT_TRUE(d->endedShort());
}

TEST(DecodeThreads, DecodersOnSeveralThreadsAtOnce) {
  const std::string dir = pwtest::TempDir("decode-threads");
  const std::string path = dir + "/a.flac";
  pwtest::WriteWav(dir + "/a.wav", Tones(44100, 2, 20000), 44100, 2, 16);
  ASSERT_TRUE(pwtest::Ffmpeg(dir + "/a.wav", "-c:a flac", path));
  const std::vector<float> want = pwtest::Quantize(Tones(44100, 2, 20000), 16);
  std::vector<int> good(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < good.size(); ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        AudioError error = AudioError::None;
        const auto d = AudioDecoder::open(path, &error);
        std::vector<float> got, chunk(1024);
        for (int64_t n; d && (n = d->read(chunk.data(), 512)) > 0;)
          got.insert(got.end(), chunk.begin(), chunk.begin() + n * 2);
        good[t] += got == want;
      }
    });
  for (std::thread& t : threads) t.join();
  for (int g : good) EXPECT_EQ(g, 5);
  fs::remove_all(dir);
}

}  // namespace
