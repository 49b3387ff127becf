// Decoding streams of the service layer: every input format at its own rate
// and channel count, exact lengths (gapless trimming, counted lengths),
// bit-exact lossless decoding, sample-accurate seeking, the end, and the
// error codes of files that cannot be decoded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "testaudio.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kOpenFlags = BASS_UNICODE | BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;

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

struct Stream {
  HSTREAM h = 0;
  explicit Stream(const std::string& path) : h(BASS_StreamCreateFile(0, path.c_str(), 0, 0, kOpenFlags)) {}
  ~Stream() { if (h != 0) BASS_StreamFree(h); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  DWORD chans() const { BASS_CHANNELINFO i{}; BASS_ChannelGetInfo(h, &i); return i.chans; }
  DWORD frameBytes() const { return chans() * 4; }
};

// Reads to the end in requests of `chunk` frames, checking that the position
// follows the bytes delivered.
std::vector<float> ReadAll(const Stream& s, size_t chunk = 3000) {
  const DWORD frame = s.frameBytes();
  std::vector<float> out, buf(chunk * frame / 4);
  QWORD pos = BASS_ChannelGetPosition(s.h, BASS_POS_BYTE);
  for (;;) {
    const DWORD got = BASS_ChannelGetData(s.h, buf.data(), DWORD(chunk) * frame);
    if (got == DWORD(-1)) break;
    EXPECT_EQ(got % frame, 0u);
    EXPECT_LE(got, DWORD(chunk) * frame);
    out.insert(out.end(), buf.begin(), buf.begin() + got / 4);
    pos += got;
    EXPECT_EQ(BASS_ChannelGetPosition(s.h, BASS_POS_BYTE), pos);
    if (got == 0) { ADD_FAILURE() << "empty read before the end"; break; }
  }
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK) << "the end is not an error";
  return out;
}

std::vector<float> ReadFrames(const Stream& s, size_t frames) {
  std::vector<float> out(frames * s.chans());
  const DWORD got = BASS_ChannelGetData(s.h, out.data(), DWORD(out.size() * 4));
  out.resize(got == DWORD(-1) ? 0 : got / 4);
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
  DWORD origres;
};

const Case kCases[] = {
    {"wav8_mono", "wav8_mono.wav", nullptr, 22050, 1, 8, 20000, Kind::Exact, 8},
    {"wav16_stereo", "wav16_stereo.wav", nullptr, 44100, 2, 16, 40000, Kind::Exact, 16},
    {"wav24_stereo", "wav24_stereo.wav", nullptr, 48000, 2, 24, 40000, Kind::Exact, 24},
    {"wavfloat_mono", "wavfloat_mono.wav", nullptr, 44100, 1, 32, 30000, Kind::Exact, 32},
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
  Stream s(PathOf(c));
  ASSERT_NE(s.h, 0u) << "error " << BASS_ErrorGetCode();
  BASS_CHANNELINFO info{};
  ASSERT_TRUE(BASS_ChannelGetInfo(s.h, &info));
  EXPECT_EQ(info.freq, DWORD(c.rate));
  EXPECT_EQ(info.chans, DWORD(c.channels));
  EXPECT_EQ(info.flags, DWORD(BASS_SAMPLE_FLOAT | BASS_STREAM_DECODE));
  EXPECT_EQ(info.origres, c.origres);
  EXPECT_STREQ(info.filename, PathOf(c).c_str());
  float rate = 0;
  ASSERT_TRUE(BASS_ChannelGetAttribute(s.h, BASS_ATTRIB_FREQ, &rate));
  EXPECT_EQ(rate, float(c.rate));
  EXPECT_FALSE(BASS_ChannelGetAttribute(s.h, BASS_ATTRIB_VOL, &rate));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

TEST_P(DecodeTest, LengthIsExactlyWhatDecodes) {
  const Case& c = GetParam();
  Stream s(PathOf(c));
  ASSERT_NE(s.h, 0u) << "error " << BASS_ErrorGetCode();
  const QWORD length = BASS_ChannelGetLength(s.h, BASS_POS_BYTE);
  const std::vector<float> all = ReadAll(s);
  EXPECT_EQ(QWORD(all.size()) * 4, length);
  const size_t frames = all.size() / size_t(c.channels);
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
  Stream s(PathOf(c));
  ASSERT_NE(s.h, 0u);
  const std::vector<float> all = ReadAll(s, 4096);
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
  Stream s(PathOf(c));
  ASSERT_NE(s.h, 0u);
  const std::vector<float> all = ReadAll(s, 5000);
  const DWORD frame = s.frameBytes();
  const size_t frames = all.size() / size_t(c.channels);
  ASSERT_GT(frames, 12000u);
  // Each seek starts where the previous read (3000 frames) left off: from
  // the end to the start, near the start, far forward, a little forward,
  // far back, to the last frames, back to the start, to the middle.
  for (size_t k : {size_t(0), size_t(1000), frames - 10000, frames - 6500, frames / 3, frames - 3001, size_t(7), frames / 2}) {
    SCOPED_TRACE("frame " + std::to_string(k));
    ASSERT_TRUE(BASS_ChannelSetPosition(s.h, QWORD(k) * frame, BASS_POS_BYTE)) << BASS_ErrorGetCode();
    EXPECT_EQ(BASS_ChannelGetPosition(s.h, BASS_POS_BYTE), QWORD(k) * frame);
    const std::vector<float> got = ReadFrames(s, 3000);
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
  ASSERT_TRUE(BASS_ChannelSetPosition(s.h, 0, BASS_POS_BYTE));
  EXPECT_TRUE(ReadAll(s, 7777) == all);
}

TEST_P(DecodeTest, EndAndPositionsBeyondIt) {
  const Case& c = GetParam();
  Stream s(PathOf(c));
  ASSERT_NE(s.h, 0u);
  const QWORD length = BASS_ChannelGetLength(s.h, BASS_POS_BYTE);
  const DWORD frame = s.frameBytes();
  ASSERT_TRUE(BASS_ChannelSetPosition(s.h, length - 10 * frame, BASS_POS_BYTE));
  std::vector<float> buf(1000 * size_t(c.channels));
  EXPECT_EQ(BASS_ChannelGetData(s.h, buf.data(), DWORD(buf.size() * 4)), 10 * frame);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(BASS_ChannelGetData(s.h, buf.data(), DWORD(buf.size() * 4)), DWORD(-1));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  }
  EXPECT_EQ(BASS_ChannelGetPosition(s.h, BASS_POS_BYTE), length);

  ASSERT_TRUE(BASS_ChannelSetPosition(s.h, 2 * frame, BASS_POS_BYTE));
  EXPECT_FALSE(BASS_ChannelSetPosition(s.h, length + frame, BASS_POS_BYTE));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
  EXPECT_EQ(BASS_ChannelGetPosition(s.h, BASS_POS_BYTE), QWORD(2) * frame);
  // The position at the very end is valid and reads nothing.
  ASSERT_TRUE(BASS_ChannelSetPosition(s.h, length, BASS_POS_BYTE));
  EXPECT_EQ(BASS_ChannelGetData(s.h, buf.data(), DWORD(buf.size() * 4)), DWORD(-1));
}

TEST_P(DecodeTest, TruncatedFileFailsOrDecodesShort) {
  const Case& c = GetParam();
  std::ifstream in(PathOf(c), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string cut = dir_ + "/cut-" + c.file;
  for (double keep : {0.02, 0.5, 0.97}) {
    SCOPED_TRACE(keep);
    std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(double(bytes.size()) * keep));
    Stream s(cut);
    if (s.h == 0) {
      EXPECT_NE(BASS_ErrorGetCode(), BASS_OK);
      continue;
    }
    // Whatever decodes ends cleanly, never passes the stated length, and
    // can be decoded again from the start.
    const QWORD length = BASS_ChannelGetLength(s.h, BASS_POS_BYTE);
    const std::vector<float> first = ReadAll(s, 4096);
    EXPECT_LE(QWORD(first.size()) * 4, length);
    float sample[8];
    EXPECT_EQ(BASS_ChannelGetData(s.h, sample, sizeof sample), DWORD(-1));
    ASSERT_TRUE(BASS_ChannelSetPosition(s.h, 0, BASS_POS_BYTE));
    EXPECT_EQ(ReadAll(s, 4096).size(), first.size());
  }
  fs::remove(cut);
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodeTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(DecodeRequests, PartialFramesRoundDownAndSmallRequestsReturnZero) {
  const std::string dir = pwtest::TempDir("decode-requests");
  const std::string path = dir + "/a.wav";
  pwtest::WriteWav(path, Tones(44100, 2, 1000), 44100, 2, 16);
  Stream s(path);
  ASSERT_NE(s.h, 0u);
  std::vector<float> buf(64);
  EXPECT_EQ(BASS_ChannelGetData(s.h, buf.data(), 7), 0u);
  EXPECT_EQ(BASS_ChannelGetData(s.h, buf.data(), 8 * 3 + 5), 24u);
  EXPECT_EQ(BASS_ChannelGetPosition(s.h, BASS_POS_BYTE), 24u);
  // Byte positions inside a frame go to its start.
  ASSERT_TRUE(BASS_ChannelSetPosition(s.h, 8 * 10 + 3, BASS_POS_BYTE));
  EXPECT_EQ(BASS_ChannelGetPosition(s.h, BASS_POS_BYTE), 80u);
  fs::remove_all(dir);
}

TEST(DecodeErrors, FilesThatCannotBeDecoded) {
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
  const struct {
    std::string path;
    int error;
  } cases[] = {
      {dir + "/unknown.wav", BASS_ERROR_CODEC},
      {dir + "/missing.mp3", BASS_ERROR_FILEOPEN},
      {dir, BASS_ERROR_FILEOPEN},
      {dir + "/text.mp3", BASS_ERROR_FILEFORM},
      {dir + "/noise.wav", BASS_ERROR_FILEFORM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(BASS_StreamCreateFile(0, c.path.c_str(), 0, 0, kOpenFlags), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), c.error);
  }
  fs::remove_all(dir);
}

TEST(DecodeHandles, UnknownAndFreedHandles) {
  const std::string dir = pwtest::TempDir("decode-handles");
  const std::string path = dir + "/a.wav";
  pwtest::WriteWav(path, Tones(22050, 1, 500), 22050, 1, 16);
  const HSTREAM a = BASS_StreamCreateFile(0, path.c_str(), 0, 0, kOpenFlags);
  const HSTREAM b = BASS_StreamCreateFile(0, path.c_str(), 0, 0, kOpenFlags);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(BASS_StreamFree(a));
  EXPECT_EQ(BASS_ChannelGetLength(a, BASS_POS_BYTE), QWORD(-1));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  EXPECT_FALSE(BASS_StreamFree(a));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  EXPECT_EQ(BASS_ChannelGetLength(b, BASS_POS_BYTE), QWORD(500 * 4));
  EXPECT_TRUE(BASS_StreamFree(b));
  fs::remove_all(dir);
}

TEST(DecodeHandles, StreamsOnSeveralThreadsAtOnce) {
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
        Stream s(path);
        std::vector<float> got, chunk(1024);
        for (DWORD n; s.h != 0 && (n = BASS_ChannelGetData(s.h, chunk.data(), 4096)) != DWORD(-1);)
          got.insert(got.end(), chunk.begin(), chunk.begin() + n / 4);
        good[t] += got == want;
      }
    });
  for (std::thread& t : threads) t.join();
  for (int g : good) EXPECT_EQ(g, 5);
  fs::remove_all(dir);
}

}  // namespace
