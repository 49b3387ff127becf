// The four writers: WAV headers, MP3 frame headers, length and bit rate, FLAC
// round trips, M4A structure and length, lossy quality; construction
// failures, paths that are not regular files, and a file that stops taking
// data (a full disk, simulated and real).
// Results are checked by reading the bytes back and with the ffmpeg/ffprobe
// command-line tools.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "export/writers/m4a_writer.h"
#include "export/writers/flac_writer.h"
#include "export/writers/audio_writer.h"
#include "export/writers/writer_factory.h"
#include "export/writers/mp3_writer.h"
#include "export/writers/output_file.h"
#include "testaudio.h"
#include "export/writers/wav_writer.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// What the writers under test are made with; reset before every test.
ExportFormat testFormat;

void SetFormat(uint32_t rate, uint16_t channels, int bits) {
  testFormat.pcm = MakeAudioFormat(SampleEncoding::Integer, rate, channels, bits);
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

uint16_t Le16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t Le32(const Bytes& b, size_t at) { return uint32_t(Le16(b, at)) | uint32_t(Le16(b, at + 2)) << 16; }
uint32_t Be32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
uint64_t Be64(const Bytes& b, size_t at) { return uint64_t(Be32(b, at)) << 32 | Be32(b, at + 4); }
std::string Id(const Bytes& b, size_t at) { return std::string(reinterpret_cast<const char*>(&b[at]), 4); }

// Signed little-endian PCM of `bits` (16 or 24) from float samples.
Bytes Pcm(const std::vector<float>& x, int bits) {
  const int bytes = bits / 8;
  const double scale = std::ldexp(1.0, bits - 1);
  Bytes out;
  out.reserve(x.size() * size_t(bytes));
  for (float v : x) {
    const int64_t s = int64_t(std::clamp(std::nearbyint(double(v) * scale), -scale, scale - 1));
    for (int k = 0; k < bytes; ++k) out.push_back(uint8_t(s >> (8 * k)));
  }
  return out;
}

// Deterministic broadband noise, for tests that want the encoder to spend
// every bit it is given.
std::vector<float> Noise(int channels, size_t frames) {
  std::mt19937 gen(1234);
  std::uniform_real_distribution<float> d(-0.4f, 0.4f);
  std::vector<float> x(frames * size_t(channels));
  for (float& v : x) v = d(gen);
  return x;
}

// Writes the whole block list, then finishes the file.
void WriteAll(std::unique_ptr<AudioWriter> w, const Bytes& data, const std::vector<size_t>& blocks = {}) {
  size_t at = 0;
  for (size_t i = 0; at < data.size(); ++i) {
    const size_t n = blocks.empty() ? data.size() : std::min(blocks[i % blocks.size()], data.size() - at);
    w->write(data.data() + at, uint32_t(n));
    at += n;
  }
  w->finish();
}

// Every file opened while it lives fails as the system would once `bytes`
// bytes have been written to it.
class FailAfterBytes {
 public:
  FailAfterBytes(int64_t bytes, int errorNumber) { OutputFile::failAfterBytesForTesting(bytes, errorNumber); }
  ~FailAfterBytes() { OutputFile::failAfterBytesForTesting(-1, 0); }
  FailAfterBytes(const FailAfterBytes&) = delete;
  FailAfterBytes& operator=(const FailAfterBytes&) = delete;
};

// Decodes a file with ffmpeg into interleaved float samples.
std::vector<float> DecodeF32(const std::string& path) {
  const std::string raw = path + ".f32";
  EXPECT_TRUE(pwtest::Run("ffmpeg -v error -y -i '" + path + "' -f f32le -acodec pcm_f32le '" + raw + "'"));
  const Bytes b = ReadBytes(raw);
  std::vector<float> x(b.size() / 4);
  if (!x.empty()) std::memcpy(x.data(), b.data(), x.size() * 4);
  return x;
}

// Decodes a file with ffmpeg into raw little-endian integers of the given
// ffmpeg format (s16le, s32le).
Bytes DecodeRaw(const std::string& path, const std::string& format) {
  const std::string raw = path + "." + format;
  EXPECT_TRUE(pwtest::Run("ffmpeg -v error -y -i '" + path + "' -f " + format + " '" + raw + "'"));
  return ReadBytes(raw);
}

// ffprobe's key=value lines for the first audio stream (or the packets).
std::map<std::string, std::string> ProbeStream(const std::string& path) {
  const std::string out = path + ".probe";
  EXPECT_TRUE(pwtest::Run("ffprobe -v error -select_streams a:0 -show_streams '" + path + "' > '" + out + "'"));
  std::map<std::string, std::string> kv;
  std::ifstream f(out);
  for (std::string line; std::getline(f, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

std::vector<int64_t> PacketSizes(const std::string& path) {
  const std::string out = path + ".packets";
  EXPECT_TRUE(pwtest::Run("ffprobe -v error -select_streams a:0 -show_entries packet=size -of csv=p=0 '" + path +
                          "' > '" + out + "'"));
  std::vector<int64_t> sizes;
  std::ifstream f(out);
  for (std::string line; std::getline(f, line);)
    if (!line.empty()) sizes.push_back(std::stoll(line));
  return sizes;
}

class WritersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = pwtest::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    testFormat = ExportFormat{};
  }
  std::string Path(const std::string& name) const { return dir + "/" + name; }

  std::string dir;
};

// ---------------------------------------------------------------- WAV

struct WavCase {
  uint32_t rate;
  uint16_t channels;
  int bits;
  size_t headerSize;
  uint16_t blockAlign;
  uint32_t channelMask;  // extensible header only
};

class WavHeaderTest : public WritersTest, public ::testing::WithParamInterface<WavCase> {};

TEST_P(WavHeaderTest, HeaderDescribesTheDataThatFollows) {
  const WavCase c = GetParam();
  SetFormat(c.rate, c.channels, c.bits);
  for (const uint32_t frames : {0u, 1234u}) {
    Bytes data(frames * c.blockAlign);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
    const std::string path = Path("out" + std::to_string(frames) + ".wav");
    {
      // An existing longer file is replaced, not overwritten in place.
      std::ofstream(path, std::ios::binary) << std::string(100000, 'x');
      WavWriter w(path, testFormat);
      EXPECT_EQ(w.outputPath(), path);
      if (!data.empty()) {
        EXPECT_EQ(w.write(data.data(), 1000), 1000);
        EXPECT_EQ(w.write(data.data() + 1000, uint32_t(data.size() - 1000)), int32_t(data.size() - 1000));
      }
      w.finish();
    }
    const Bytes b = ReadBytes(path);
    const uint32_t ns = uint32_t(data.size());
    ASSERT_EQ(b.size(), c.headerSize + ns);
    EXPECT_EQ(Id(b, 0), "RIFF");
    EXPECT_EQ(Id(b, 8), "WAVE");
    EXPECT_EQ(Id(b, 12), "fmt ");
    EXPECT_EQ(Le16(b, 22), c.channels);
    EXPECT_EQ(Le32(b, 24), c.rate);
    EXPECT_EQ(Le32(b, 28), c.rate * c.blockAlign);
    EXPECT_EQ(Le16(b, 32), c.blockAlign);
    EXPECT_EQ(Le16(b, 34), c.bits);
    if (c.headerSize == 44) {
      EXPECT_EQ(Le32(b, 4), ns + 36);
      EXPECT_EQ(Le32(b, 16), 16u);
      EXPECT_EQ(Le16(b, 20), 1);
      EXPECT_EQ(Id(b, 36), "data");
      EXPECT_EQ(Le32(b, 40), ns);
    } else {
      static const uint8_t pcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
      EXPECT_EQ(Le32(b, 4), ns + 72);
      EXPECT_EQ(Le32(b, 16), 40u);
      EXPECT_EQ(Le16(b, 20), 0xFFFE);
      EXPECT_EQ(Le16(b, 36), 22);
      EXPECT_EQ(Le16(b, 38), c.bits);
      EXPECT_EQ(Le32(b, 40), c.channelMask);
      EXPECT_EQ(std::memcmp(&b[44], pcmGuid, 16), 0);
      EXPECT_EQ(Id(b, 60), "fact");
      EXPECT_EQ(Le32(b, 64), 4u);
      EXPECT_EQ(Le32(b, 68), frames);
      EXPECT_EQ(Id(b, 72), "data");
      EXPECT_EQ(Le32(b, 76), ns);
    }
    EXPECT_TRUE(std::equal(data.begin(), data.end(), b.begin() + long(c.headerSize)));
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, WavHeaderTest,
                         ::testing::Values(WavCase{44100, 2, 16, 44, 4, 0}, WavCase{22050, 1, 16, 44, 2, 0},
                                           WavCase{48000, 2, 24, 80, 6, 3}, WavCase{44100, 6, 16, 80, 12, 0x3F},
                                           WavCase{32000, 3, 16, 80, 6, 0}, WavCase{8000, 1, 24, 80, 3, 1},
                                           WavCase{44100, 8, 16, 80, 16, 0xFF}));

// The header arithmetic at the 4 GiB edge, without writing 4 GiB: the
// 32-bit RIFF size holds the header after its first 8 bytes, the audio and
// its pad byte; one byte more and the file is RF64.
TEST(WavSizesTest, RiffUpTo4GiBAndRf64Beyond) {
  constexpr uint64_t G4 = uint64_t(1) << 32;
  constexpr uint32_t M = 0xFFFFFFFFu;
  struct Case {
    WavHeaderKind kind;
    uint64_t data;
    uint32_t blockAlign;
    WavSizes expected;
  };
  const auto riff = [](uint32_t header, uint32_t pad, uint64_t data, uint32_t align, uint32_t fact) {
    const uint64_t size = header - 8 + data + pad;
    return WavSizes{false, header, pad, uint32_t(size), uint32_t(data), fact, size, data, data / align};
  };
  const auto rf64 = [](uint32_t header, uint32_t pad, uint64_t data, uint32_t align, uint32_t fact) {
    return WavSizes{true, header + 36, pad, M, M, fact, header + 36 - 8 + data + pad, data, data / align};
  };
  const WavHeaderKind P = WavHeaderKind::Plain, X = WavHeaderKind::Extensible;
  const Case cases[] = {
      {P, 0, 4, riff(44, 0, 0, 4, 0)},
      {P, 3, 3, riff(44, 1, 3, 3, 1)},  // an odd chunk gets its pad byte
      {P, M - 37, 2, riff(44, 0, M - 37, 2, (M - 37) / 2)},  // RIFF size 0xFFFFFFFE: the largest that fits
      {P, M - 36, 1, rf64(44, 1, M - 36, 1, M - 36)},  // odd: its pad byte would not fit
      {P, M - 35, 4, rf64(44, 0, M - 35, 4, (M - 35) / 4)},  // RIFF size exactly 4 GiB: one past
      {P, G4, 4, rf64(44, 0, G4, 4, M / 4 + 1)},
      {P, G4 * 3 + 6, 6, rf64(44, 0, G4 * 3 + 6, 6, uint32_t((G4 * 3 + 6) / 6))},
      {X, M - 73, 6, riff(80, 0, M - 73, 6, (M - 73) / 6)},
      {X, M - 72, 3, rf64(80, 1, M - 72, 3, (M - 72) / 3)},
      {X, G4 + 3, 3, rf64(80, 1, G4 + 3, 3, uint32_t((G4 + 3) / 3))},
      {X, G4 * 5, 1, rf64(80, 0, G4 * 5, 1, M)},  // more frames than the fact chunk holds
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.data) + (c.kind == X ? " extensible" : " plain"));
    const WavSizes s = PlanWavSizes(c.kind, c.data, c.blockAlign);
    const WavSizes& e = c.expected;
    EXPECT_EQ(s.rf64, e.rf64);
    EXPECT_EQ(s.headerBytes, e.headerBytes);
    EXPECT_EQ(s.padBytes, e.padBytes);
    EXPECT_EQ(s.riffSize, e.riffSize);
    EXPECT_EQ(s.dataSize, e.dataSize);
    EXPECT_EQ(s.factSamples, e.factSamples);
    EXPECT_EQ(s.riffSize64, e.riffSize64);
    EXPECT_EQ(s.dataSize64, e.dataSize64);
    EXPECT_EQ(s.sampleCount, e.sampleCount);
    // What the header says the file holds is the file.
    EXPECT_EQ(s.riffSize64 + 8, s.headerBytes + c.data + s.padBytes);
  }
}

TEST_F(WritersTest, AnOddSizedWavGetsItsPadByteAndTheTagsFollowIt) {
  SetFormat(8000, 1, 24);  // 3 bytes a frame
  const Bytes data(3 * 801, 0x11);
  {
    WavWriter w(Path("odd.wav"), testFormat);
    EXPECT_EQ(w.write(data.data(), uint32_t(data.size())), int32_t(data.size()));
    w.finish();
  }
  const Bytes b = ReadBytes(Path("odd.wav"));
  ASSERT_EQ(b.size(), 80 + data.size() + 1);
  EXPECT_EQ(Le32(b, 4), b.size() - 8);
  EXPECT_EQ(Le32(b, 76), data.size());
  EXPECT_EQ(b.back(), 0);
  // ffmpeg reads every frame and no more.
  const std::string frames = Path("frames.txt");
  ASSERT_TRUE(pwtest::Run("ffprobe -v error -count_packets -show_entries stream=duration_ts -of csv=p=0 '" +
                          Path("odd.wav") + "' > '" + frames + "'"));
  std::ifstream in(frames);
  int64_t n = 0;
  in >> n;
  EXPECT_EQ(n, 801);
}

// Opt-in (PITCHWELL_BIG_TESTS=1): writes a little over 4 GiB.
TEST_F(WritersTest, AWavPast4GiBIsRf64WithItsExactLength) {
  const char* big = std::getenv("PITCHWELL_BIG_TESTS");
  if (!big || std::string(big) != "1") GTEST_SKIP() << "set PITCHWELL_BIG_TESTS=1 to write a 4 GiB file";
  SetFormat(44100, 2, 16);
  const uint64_t frames = (uint64_t(1) << 30) + 12345;  // 4 GiB and 49380 bytes
  const std::string path = Path("big.wav");
  {
    WavWriter w(path, testFormat);
    Bytes block(size_t(4) << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 13 + 5);
    for (uint64_t left = frames * 4; left > 0;) {
      const uint32_t n = uint32_t(std::min<uint64_t>(left, block.size()));
      ASSERT_EQ(w.write(block.data(), n), int32_t(n));
      left -= n;
    }
    w.finish();
  }
  std::ifstream in(path, std::ios::binary);
  Bytes head(96);
  in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
  EXPECT_EQ(Id(head, 0), "RF64");
  EXPECT_EQ(Le32(head, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Id(head, 12), "ds64");
  EXPECT_EQ(Id(head, 48), "fmt ");
  EXPECT_EQ(Id(head, 72), "data");
  EXPECT_EQ(Le32(head, 76), 0xFFFFFFFFu);
  EXPECT_EQ(head[80], 5);  // the audio starts right after the header
  EXPECT_EQ(head[81], 18);
  EXPECT_EQ(fs::file_size(path), 80 + frames * 4);
  const std::string out = Path("big.txt");
  ASSERT_TRUE(pwtest::Run("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 '" + path + "' > '" + out +
                          "'"));
  std::ifstream probed(out);
  uint64_t n = 0;
  probed >> n;
  EXPECT_EQ(n, frames);
  fs::remove(path);
}

TEST_F(WritersTest, OutputNameTakesTheWritersExtension) {
  EXPECT_EQ(ChangeFileExt("/a/b/song.mp3", ".wav"), "/a/b/song.wav");
  EXPECT_EQ(ChangeFileExt("/a/b.dir/song", ".flac"), "/a/b.dir/song.flac");
  EXPECT_EQ(ChangeFileExt("/a/b/my.song.ogg", ".m4a"), "/a/b/my.song.m4a");

  SetFormat(44100, 2, 16);
  testFormat.bitrateKbps = 128;
  const char* const expected[] = {nullptr, ".mp3", ".wav", ".flac", ".m4a"};
  ASSERT_EQ(kWriterFactories[0], nullptr);
  for (int index = 1; index <= 4; ++index) {
    const std::string name = "f" + std::to_string(index);
    auto w = kWriterFactories[size_t(index)](Path(name + ".out"), testFormat);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->outputPath(), Path(name + expected[index]));
    w.reset();
    EXPECT_TRUE(fs::exists(Path(name + expected[index]))) << index;
    EXPECT_FALSE(fs::exists(Path(name + ".out")));
  }
}

// ------------------------------------------------------- construction failures

struct FailureCase {
  int formatIndex;
  uint32_t rate;
  uint16_t channels;
  int bits;
  bool missingFolder;
  std::string message;  // exact; {dir} stands for the folder given
};

class WriterFailureTest : public WritersTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WriterFailureTest, ConstructorThrowsTheUsersMessage) {
  const FailureCase c = GetParam();
  SetFormat(c.rate, c.channels, c.bits);
  testFormat.bitrateKbps = 128;
  const std::string folder = c.missingFolder ? Path("missing") : dir;
  std::string what;
  try {
    kWriterFactories[size_t(c.formatIndex)](folder + "/out.x", testFormat);
    ADD_FAILURE() << "no exception";
  } catch (const WriterError& e) {
    what = e.what();
  }
  std::string expected = c.message;
  if (const size_t at = expected.find("{dir}"); at != std::string::npos) expected.replace(at, 5, folder);
  EXPECT_EQ(what, expected);
  EXPECT_TRUE(fs::is_empty(dir)) << "a file was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriterFailureTest,
    ::testing::Values(
        FailureCase{1, 44100, 2, 16, true, "Cannot create output file\n{dir}/out.mp3: No such file or directory"},
        FailureCase{2, 44100, 2, 16, true, "Cannot create file \"{dir}/out.wav\". No such file or directory"},
        FailureCase{3, 44100, 2, 16, true, "Can not initialize FLAC encoder\n{dir}/out.flac: No such file or directory"},
        FailureCase{3, 44100, 2, 12, false, "Can not initialize FLAC encoder"},
        FailureCase{4, 44100, 2, 16, true, "Unable to create MP4 file\n{dir}/out.m4a: No such file or directory"},
        FailureCase{4, 37800, 2, 16, false, "Unable to set the sample rate"},
        FailureCase{4, 44100, 3, 16, false, "Unable to set the channel mode"}));

TEST_F(WritersTest, WavFailureNamesTheFileAndTheReason) {
  SetFormat(44100, 2, 16);
  try {
    WavWriter w(Path("missing/out.wav"), testFormat);
    FAIL() << "no exception";
  } catch (const WriterError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + Path("missing/out.wav") + "\". " + std::strerror(ENOENT));
  }
}

TEST_F(WritersTest, Mp3EncoderFailureLeavesTheCreatedFile) {
  SetFormat(44100, 3, 16);
  EXPECT_THROW(
      {
        try {
          Mp3Writer w(Path("out.mp3"), testFormat);
        } catch (const WriterError& e) {
          EXPECT_STREQ(e.what(), "Error opening encoding stream");
          throw;
        }
      },
      WriterError);
  EXPECT_TRUE(fs::exists(Path("out.mp3")));
}

// ---------------------------------------------------------------- MP3


struct Mp3Frame {
  int version = 0;  // 1, 2, or 25 for MPEG-2.5
  int bitrate = 0;  // kb/s
  int rate = 0;
  int mode = 0;     // 0 stereo, 1 joint, 2 dual, 3 mono
  bool crc = false;
  size_t size = 0;
  int samples = 0;  // per channel
};

std::optional<Mp3Frame> ParseMp3Frame(const Bytes& b, size_t at) {
  if (at + 4 > b.size()) return std::nullopt;
  const uint32_t h = Be32(b, at);
  if ((h >> 21) != 0x7FF || ((h >> 17) & 3) != 1) return std::nullopt;  // sync, layer III
  static const int versions[4] = {25, 0, 2, 1};
  static const int rates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
  static const int mpeg1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static const int mpeg2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  Mp3Frame f;
  f.version = versions[(h >> 19) & 3];
  const uint32_t bi = (h >> 12) & 15, ri = (h >> 10) & 3;
  if (f.version == 0 || bi == 0 || bi == 15 || ri == 3) return std::nullopt;
  f.bitrate = f.version == 1 ? mpeg1[bi] : mpeg2[bi];
  f.rate = rates[f.version == 1 ? 0 : f.version == 2 ? 1 : 2][ri];
  f.mode = int((h >> 6) & 3);
  f.crc = ((h >> 16) & 1) == 0;
  f.samples = f.version == 1 ? 1152 : 576;
  f.size = size_t((f.version == 1 ? 144 : 72) * f.bitrate * 1000 / f.rate) + ((h >> 9) & 1);
  return f;
}

// Every frame of the file, back to back from the first byte to the last;
// empty (with a test failure) when something else is found.
std::vector<Mp3Frame> Mp3Frames(const std::string& path) {
  const Bytes b = ReadBytes(path);
  std::vector<Mp3Frame> frames;
  for (size_t at = 0; at < b.size();) {
    const auto f = ParseMp3Frame(b, at);
    if (!f) {
      ADD_FAILURE() << "no frame header at byte " << at << " of " << b.size();
      return {};
    }
    frames.push_back(*f);
    at += f->size;
  }
  return frames;
}

struct Mp3Case {
  uint32_t rate;
  uint16_t channels;
  int32_t bitrate;
  int version;
};

std::ostream& operator<<(std::ostream& os, const Mp3Case& c) {
  return os << c.rate << " Hz, " << c.channels << " ch, " << c.bitrate << " kb/s";
}

class Mp3StreamTest : public WritersTest, public ::testing::WithParamInterface<Mp3Case> {};

TEST_P(Mp3StreamTest, PlainConstantBitRateFramesOfTheInputLength) {
  const Mp3Case c = GetParam();
  SetFormat(c.rate, c.channels, 16);
  testFormat.bitrateKbps = c.bitrate;
  const size_t frames = std::max<size_t>(c.rate, 16384);  // about a second
  const auto x = pwtest::Quantize(pwtest::Harmonic(int(c.rate), c.channels, frames), 16);
  const std::string path = Path("out.mp3");
  WriteAll(std::make_unique<Mp3Writer>(path, testFormat), Pcm(x, 16), {4000, size_t(2 * c.channels * 1001), 65536});

  const auto headers = Mp3Frames(path);
  ASSERT_FALSE(headers.empty());
  for (const Mp3Frame& f : headers) {
    ASSERT_EQ(f.version, c.version);
    ASSERT_EQ(f.bitrate, c.bitrate);
    ASSERT_EQ(f.rate, int(c.rate));
    ASSERT_EQ(f.mode, c.channels == 1 ? 3 : 0);
    ASSERT_FALSE(f.crc);
  }
  // The decoder returns every frame: the codec delay (LAME's 576 plus the
  // decoder's 529), the input, and the padding of the last frame.
  const auto y = DecodeF32(path);
  const size_t decoded = y.size() / c.channels;
  EXPECT_EQ(decoded, headers.size() * size_t(headers[0].samples));
  size_t delay = 0;
  const double db = pwtest::ResidualDb(x, y, c.channels, 3000, &delay);
  EXPECT_GE(delay, 576u);
  EXPECT_LE(delay, 576u + 529u);
  EXPECT_GE(decoded, frames + delay);
  EXPECT_LT(decoded, frames + delay + size_t(headers[0].samples));
  if (c.bitrate >= 128) {
    EXPECT_GE(db, 25.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, Mp3StreamTest,
                         ::testing::Values(Mp3Case{8000, 1, 64, 25}, Mp3Case{11025, 2, 64, 25}, Mp3Case{12000, 2, 48, 25},
                                           Mp3Case{16000, 1, 96, 2}, Mp3Case{22050, 2, 160, 2}, Mp3Case{24000, 2, 96, 2},
                                           Mp3Case{32000, 2, 96, 1}, Mp3Case{44100, 1, 128, 1}, Mp3Case{44100, 2, 128, 1},
                                           Mp3Case{48000, 2, 320, 1}));

TEST_F(WritersTest, Mp3ConfigurationFollowsTheFormat) {
  struct Case {
    uint32_t rate;
    uint16_t channels;
    int32_t nMode;
    uint32_t dwMpegVersion;
    uint32_t outRate;
  };
  for (const Case c : {Case{44100, 1, 3, 1, 44100}, Case{11025, 2, 0, 0, 11025}, Case{16000, 2, 0, 1, 16000},
                       Case{12000, 1, 3, 0, 12000}, Case{48000, 2, 0, 1, 48000}, Case{37800, 2, 0, 1, 44100},
                       Case{6000, 1, 3, 0, 8000}}) {
    const Mp3EncoderConfig cfg = Mp3Writer::makeConfig(MakeAudioFormat(SampleEncoding::Integer, c.rate, c.channels, 16), 128);
    EXPECT_EQ(cfg.mode, c.nMode) << c.rate;
    EXPECT_EQ(cfg.mpegVersion, c.dwMpegVersion) << c.rate;
    EXPECT_EQ(cfg.sampleRate, c.rate);
    EXPECT_EQ(cfg.outSampleRate, c.outRate) << c.rate;
    EXPECT_EQ(cfg.bitrateKbps, 128u);
    EXPECT_EQ(cfg.maxBitrateKbps, 320u);
  }
}

TEST_F(WritersTest, Mp3IgnoresAnOddByteAndAnUnpairedSample) {
  SetFormat(44100, 2, 16);
  testFormat.bitrateKbps = 128;
  const Bytes pcm = Pcm(pwtest::Harmonic(44100, 2, 20000), 16);
  const size_t block = 4000;  // 1000 stereo frames
  int64_t returned = 0;
  {
    Mp3Writer w(Path("even.mp3"), testFormat);
    for (size_t at = 0; at < pcm.size(); at += block) {
      const int32_t n = w.write(pcm.data() + at, uint32_t(block));
      ASSERT_GE(n, 0);
      returned += n;
    }
  }
  {
    // The same blocks, each followed by one more sample and a stray byte.
    Mp3Writer w(Path("odd.mp3"), testFormat);
    Bytes b(block + 3, 0x5A);
    for (size_t at = 0; at < pcm.size(); at += block) {
      std::copy_n(pcm.begin() + long(at), block, b.begin());
      ASSERT_GE(w.write(b.data(), uint32_t(b.size())), 0);
    }
  }
  const Bytes even = ReadBytes(Path("even.mp3")), odd = ReadBytes(Path("odd.mp3"));
  EXPECT_EQ(even, odd);
  // Write reports what it wrote; the flush at the end adds the rest.
  EXPECT_GT(returned, 0);
  EXPECT_LT(returned, int64_t(even.size()));
}

TEST_F(WritersTest, Mp3WithNoBlockHoldsOnlyTheFlush) {
  SetFormat(44100, 2, 16);
  testFormat.bitrateKbps = 128;
  { Mp3Writer w(Path("empty.mp3"), testFormat); }
  const auto frames = Mp3Frames(Path("empty.mp3"));
  EXPECT_LE(frames.size(), 3u);
  for (const Mp3Frame& f : frames) EXPECT_EQ(f.bitrate, 128);
}

TEST_F(WritersTest, Mp3FileFailureIsThrownOnceWithTheReason) {
  SetFormat(44100, 2, 16);
  testFormat.bitrateKbps = 128;
  const FailAfterBytes full(1000, ENOSPC);
  Mp3Writer w(Path("full.mp3"), testFormat);
  const Bytes pcm = Pcm(pwtest::Harmonic(44100, 2, 44100), 16);  // encodes to far more than 1000 bytes
  try {
    w.write(pcm.data(), uint32_t(pcm.size()));
    ADD_FAILURE() << "no exception";
  } catch (const WriterError& e) {
    EXPECT_EQ(std::string(e.what()), "Data write error!\nCannot write \"" + Path("full.mp3") + "\": No space left on device");
    EXPECT_EQ(e.caption(), "MP3 Encoder Error");
  }
  EXPECT_TRUE(w.takeMessages().empty());
  // Stopped: later blocks and the completion neither write nor report again.
  EXPECT_EQ(w.write(pcm.data(), uint32_t(pcm.size())), -1);
  EXPECT_NO_THROW(w.finish());
  EXPECT_TRUE(w.takeMessages().empty());
  EXPECT_EQ(fs::file_size(Path("full.mp3")), 1000u);
}

struct Mp3BitrateCase {
  uint32_t rate;
  int32_t requested;
  int used;
  std::string message;  // empty: none queued
};

std::ostream& operator<<(std::ostream& os, const Mp3BitrateCase& c) {
  return os << c.rate << " Hz, " << c.requested << " kb/s";
}

class Mp3BitrateTest : public WritersTest, public ::testing::WithParamInterface<Mp3BitrateCase> {};

TEST_P(Mp3BitrateTest, ALoweredRateIsWrittenAndToldOnce) {
  const Mp3BitrateCase c = GetParam();
  SetFormat(c.rate, 2, 16);
  testFormat.bitrateKbps = c.requested;
  auto w = std::make_unique<Mp3Writer>(Path("out.mp3"), testFormat);
  EXPECT_EQ(w->bitrateKbps(), uint32_t(c.used));
  const auto messages = w->takeMessages();
  if (c.message.empty()) {
    EXPECT_TRUE(messages.empty()) << messages.front().text;
  } else {
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, pw::MessageKind::Information);
    EXPECT_EQ(messages[0].text, c.message);
    EXPECT_EQ(messages[0].caption, "");
  }
  WriteAll(std::move(w), Pcm(pwtest::Harmonic(int(c.rate), 2, 20000), 16));
  const auto frames = Mp3Frames(Path("out.mp3"));
  ASSERT_FALSE(frames.empty());
  for (const Mp3Frame& f : frames) ASSERT_EQ(f.bitrate, c.used);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Mp3BitrateTest,
    ::testing::Values(
        Mp3BitrateCase{22050, 320, 160, "MP3 at 22050 Hz allows at most 160 kb/s: 320 kb/s lowered to 160 kb/s."},
        Mp3BitrateCase{16000, 192, 160, "MP3 at 16000 Hz allows at most 160 kb/s: 192 kb/s lowered to 160 kb/s."},
        Mp3BitrateCase{8000, 96, 64, "MP3 at 8000 Hz allows at most 64 kb/s: 96 kb/s lowered to 64 kb/s."},
        Mp3BitrateCase{11025, 320, 64, "MP3 at 11025 Hz allows at most 64 kb/s: 320 kb/s lowered to 64 kb/s."},
        Mp3BitrateCase{44100, 200, 192, "MP3 has no 200 kb/s bit rate: 192 kb/s used."},
        Mp3BitrateCase{22050, 160, 160, ""}, Mp3BitrateCase{8000, 64, 64, ""}, Mp3BitrateCase{48000, 320, 320, ""}));

// ---------------------------------------------------------------- FLAC

struct FlacCase {
  uint32_t rate;
  uint16_t channels;
  int bits;
};

std::ostream& operator<<(std::ostream& os, const FlacCase& c) {
  return os << c.rate << " Hz, " << c.channels << " ch, " << c.bits << " bit";
}

class FlacRoundTripTest : public WritersTest, public ::testing::WithParamInterface<FlacCase> {};

TEST_P(FlacRoundTripTest, DecodesToTheSameSamples) {
  const FlacCase c = GetParam();
  SetFormat(c.rate, c.channels, c.bits);
  const int bytes = c.bits / 8;
  const size_t frameBytes = size_t(bytes) * c.channels;
  Bytes pcm = Pcm(pwtest::Harmonic(int(c.rate), c.channels, 30000), c.bits);
  // The extremes of the depth and the smallest values, at the start.
  const std::vector<Bytes> edges = c.bits == 24 ? std::vector<Bytes>{{0x01, 0x00, 0x00}, {0xFF, 0xFF, 0xFF},
                                                                     {0x00, 0x00, 0x80}, {0xFF, 0xFF, 0x7F}}
                                                : std::vector<Bytes>{{0x01, 0x00}, {0xFF, 0xFF}, {0x00, 0x80}, {0xFF, 0x7F}};
  for (size_t k = 0; k < edges.size(); ++k) std::copy(edges[k].begin(), edges[k].end(), pcm.begin() + long(k * bytes));

  const std::string path = Path("out.flac");
  {
    FlacWriter w(Path("out.wav"), testFormat);
    EXPECT_EQ(w.outputPath(), path);
    // Blocks of whole frames, then one with a stray byte: the incomplete
    // frame is dropped.
    const std::vector<size_t> blocks = {frameBytes * 1000, frameBytes * 4097, frameBytes * 3};
    size_t at = 0;
    for (size_t i = 0; at < pcm.size(); ++i) {
      const size_t n = std::min(blocks[i % blocks.size()], pcm.size() - at);
      EXPECT_EQ(w.write(pcm.data() + at, uint32_t(n)), 0);
      at += n;
    }
    const Bytes stray(frameBytes + 1, 0x11);
    w.write(stray.data(), uint32_t(stray.size()));
    pcm.insert(pcm.end(), stray.begin(), stray.begin() + long(frameBytes));
  }

  auto info = ProbeStream(path);
  EXPECT_EQ(info["codec_name"], "flac");
  EXPECT_EQ(info["sample_rate"], std::to_string(c.rate));
  EXPECT_EQ(info["channels"], std::to_string(c.channels));
  EXPECT_EQ(info["bits_per_raw_sample"], std::to_string(c.bits));

  // ffmpeg hands 24-bit FLAC out as 32-bit samples with the low byte zero.
  const Bytes decoded = DecodeRaw(path, c.bits == 24 ? "s32le" : "s16le");
  Bytes expected;
  for (size_t i = 0; i < pcm.size(); i += size_t(bytes)) {
    if (c.bits == 24) expected.push_back(0);
    expected.insert(expected.end(), pcm.begin() + long(i), pcm.begin() + long(i) + bytes);
  }
  ASSERT_EQ(decoded.size(), expected.size());
  EXPECT_TRUE(decoded == expected);
}

INSTANTIATE_TEST_SUITE_P(Depths, FlacRoundTripTest,
                         ::testing::Values(FlacCase{44100, 2, 16}, FlacCase{22050, 1, 16}, FlacCase{48000, 2, 24},
                                           FlacCase{44100, 1, 24}));

TEST_F(WritersTest, FlacEightBitSamplesAreUnsigned) {
  SetFormat(8000, 1, 8);
  const Bytes pcm = {0x80, 0x00, 0xFF, 0x81, 0x7F};
  { FlacWriter(Path("out.flac"), testFormat).write(pcm.data(), uint32_t(pcm.size())); }
  auto info = ProbeStream(Path("out.flac"));
  EXPECT_EQ(info["bits_per_raw_sample"], "8");
  // Decoded to 16 bits: value × 256.
  const Bytes decoded = DecodeRaw(Path("out.flac"), "s16le");
  ASSERT_EQ(decoded.size(), 10u);
  const int expected[] = {0, -128, 127, 1, -1};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(int16_t(Le16(decoded, size_t(2 * k))), expected[k] * 256) << k;
}

TEST_F(WritersTest, FlacWithNoBlockIsAValidEmptyStream) {
  SetFormat(44100, 2, 16);
  { FlacWriter w(Path("empty.flac"), testFormat); }
  const Bytes b = ReadBytes(Path("empty.flac"));
  ASSERT_GE(b.size(), 42u);  // "fLaC" and the stream information block
  EXPECT_EQ(Id(b, 0), "fLaC");
  auto info = ProbeStream(Path("empty.flac"));
  EXPECT_EQ(info["sample_rate"], "44100");
  EXPECT_TRUE(DecodeRaw(Path("empty.flac"), "s16le").empty());
}

// ---------------------------------------------------------------- M4A

// Payload [begin, end) of the box at `path` (e.g. {"moov", "trak", "mdia",
// "mdhd"}) inside [begin, end) of the file, or nothing.
std::optional<std::pair<size_t, size_t>> FindBox(const Bytes& b, std::vector<std::string> path, size_t begin = 0,
                                                  size_t end = SIZE_MAX) {
  end = std::min(end, b.size());
  for (size_t at = begin; at + 8 <= end;) {
    uint64_t size = Be32(b, at);
    size_t header = 8;
    if (size == 1) size = Be64(b, at + 8), header = 16;
    if (size == 0) size = end - at;
    if (size < header || at + size > end) return std::nullopt;
    if (Id(b, at + 4) == path.front()) {
      if (path.size() == 1) return std::make_pair(at + header, size_t(at + size));
      path.erase(path.begin());
      return FindBox(b, path, at + header, size_t(at + size));
    }
    at += size;
  }
  return std::nullopt;
}

struct Mp4Facts {
  uint32_t movieTimeScale = 0, trackTimeScale = 0;
  uint64_t movieDuration = 0;                       // mvhd, movie units
  std::vector<uint32_t> sampleDurations;            // stts, one per sample
  std::vector<std::pair<uint64_t, int64_t>> edits;  // (duration in movie units, media time)
};

Mp4Facts ParseMp4(const Bytes& b) {
  Mp4Facts f;
  if (auto mvhd = FindBox(b, {"moov", "mvhd"})) {
    const size_t p = mvhd->first;
    f.movieTimeScale = b[p] == 1 ? Be32(b, p + 20) : Be32(b, p + 12);
    f.movieDuration = b[p] == 1 ? Be64(b, p + 24) : Be32(b, p + 16);
  }
  if (auto mdhd = FindBox(b, {"moov", "trak", "mdia", "mdhd"})) {
    const size_t p = mdhd->first;
    f.trackTimeScale = b[p] == 1 ? Be32(b, p + 20) : Be32(b, p + 12);
  }
  if (auto stts = FindBox(b, {"moov", "trak", "mdia", "minf", "stbl", "stts"})) {
    const size_t p = stts->first;
    for (uint32_t e = 0, n = Be32(b, p + 4); e < n; ++e)
      f.sampleDurations.insert(f.sampleDurations.end(), Be32(b, p + 8 + 8 * e), Be32(b, p + 12 + 8 * e));
  }
  if (auto elst = FindBox(b, {"moov", "trak", "edts", "elst"})) {
    const size_t p = elst->first;
    const bool v1 = b[p] == 1;
    for (uint32_t e = 0, n = Be32(b, p + 4); e < n; ++e) {
      const size_t q = p + 8 + e * (v1 ? 20 : 12);
      if (v1)
        f.edits.emplace_back(Be64(b, q), int64_t(Be64(b, q + 8)));
      else
        f.edits.emplace_back(Be32(b, q), int32_t(Be32(b, q + 4)));
    }
  }
  return f;
}

struct M4aCase {
  uint32_t rate;
  uint16_t channels;
  int32_t bitrate;
  size_t frames;
};

std::ostream& operator<<(std::ostream& os, const M4aCase& c) {
  return os << c.rate << " Hz, " << c.channels << " ch, " << c.bitrate << " kb/s, " << c.frames << " frames";
}

class M4aStreamTest : public WritersTest, public ::testing::WithParamInterface<M4aCase> {};

TEST_P(M4aStreamTest, TrackTimingAndPresentedLength) {
  const M4aCase c = GetParam();
  SetFormat(c.rate, c.channels, 16);
  testFormat.bitrateKbps = c.bitrate;
  const auto x = pwtest::Quantize(pwtest::Harmonic(int(c.rate), c.channels, c.frames), 16);
  const std::string path = Path("out.m4a");
  WriteAll(std::make_unique<M4aWriter>(Path("out.wav"), testFormat), Pcm(x, 16), {10001, 7, 4096, 333});

  auto info = ProbeStream(path);
  EXPECT_EQ(info["codec_name"], "aac");
  EXPECT_EQ(info["profile"], "LC");
  EXPECT_EQ(info["sample_rate"], std::to_string(c.rate));
  EXPECT_EQ(info["channels"], std::to_string(c.channels));
  EXPECT_EQ(info["time_base"], "1/" + std::to_string(c.rate));
  EXPECT_EQ(info["duration_ts"], std::to_string(c.frames));

  const Mp4Facts f = ParseMp4(ReadBytes(path));
  EXPECT_EQ(f.movieTimeScale, 90000u);
  EXPECT_EQ(f.trackTimeScale, c.rate);
  // The input in whole frames, plus the encoder's priming frame.
  EXPECT_EQ(f.sampleDurations.size(), (c.frames + 1023) / 1024 + 1);
  for (uint32_t d : f.sampleDurations) ASSERT_EQ(d, 1024u);
  // One edit: from the end of the priming, for exactly the input's length.
  const uint64_t shown = uint64_t(std::llround(double(c.frames) * 90000 / c.rate));
  ASSERT_EQ(f.edits.size(), 1u);
  EXPECT_EQ(f.edits[0].second, 1024);
  EXPECT_EQ(f.edits[0].first, shown);
  EXPECT_EQ(f.movieDuration, shown);

  // Priming cut (no delay left); the decoder still returns the last frame whole.
  const auto y = DecodeF32(path);
  const size_t decoded = y.size() / c.channels;
  EXPECT_GE(decoded, c.frames);
  EXPECT_LT(decoded, c.frames + 1024);
  size_t delay = 1;
  const double db = pwtest::ResidualDb(x, y, c.channels, 3000, &delay);
  EXPECT_EQ(delay, 0u);
  EXPECT_GE(db, 25.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, M4aStreamTest,
                         ::testing::Values(M4aCase{44100, 2, 128, 57330}, M4aCase{48000, 1, 128, 48000},
                                           M4aCase{32000, 2, 96, 40960}, M4aCase{22050, 1, 96, 30001}));

struct M4aBitrateCase {
  uint32_t rate;
  uint16_t channels;
  int32_t requested;
  uint32_t used;
  std::string message;  // empty: none queued
};

std::ostream& operator<<(std::ostream& os, const M4aBitrateCase& c) {
  return os << c.rate << " Hz, " << c.channels << " ch, " << c.requested << " kb/s";
}

class M4aBitrateTest : public WritersTest, public ::testing::WithParamInterface<M4aBitrateCase> {};

TEST_P(M4aBitrateTest, ALoweredRateIsToldOnceAndBoundsWhatIsDelivered) {
  const M4aBitrateCase c = GetParam();
  SetFormat(c.rate, c.channels, 16);
  testFormat.bitrateKbps = c.requested;
  auto w = std::make_unique<M4aWriter>(Path("rate.m4a"), testFormat);
  EXPECT_EQ(w->bitrateKbps(), c.used);
  const auto messages = w->takeMessages();
  if (c.message.empty()) {
    EXPECT_TRUE(messages.empty()) << messages.front().text;
  } else {
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, pw::MessageKind::Information);
    EXPECT_EQ(messages[0].text, c.message);
    EXPECT_EQ(messages[0].caption, "");
  }
  // Two seconds of a rich tone: the audio delivered stays within the rate
  // told (the media data over the length, with a little for the last frame).
  const int seconds = 2;
  WriteAll(std::move(w), Pcm(pwtest::Harmonic(int(c.rate), c.channels, int(c.rate) * seconds), 16));
  const Bytes b = ReadBytes(Path("rate.m4a"));
  const auto mdat = FindBox(b, {"mdat"});
  ASSERT_TRUE(mdat.has_value());
  const double kbps = double(mdat->second - mdat->first) * 8 / seconds / 1000;
  EXPECT_LE(kbps, c.used * 1.1);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, M4aBitrateTest,
    ::testing::Values(
        M4aBitrateCase{8000, 1, 320, 48, "M4A at 8000 Hz allows at most 48 kb/s: 320 kb/s lowered to 48 kb/s."},
        M4aBitrateCase{8000, 2, 320, 96, "M4A at 8000 Hz allows at most 96 kb/s: 320 kb/s lowered to 96 kb/s."},
        M4aBitrateCase{11025, 1, 96, 66, "M4A at 11025 Hz allows at most 66 kb/s: 96 kb/s lowered to 66 kb/s."},
        M4aBitrateCase{22050, 2, 320, 264, "M4A at 22050 Hz allows at most 264 kb/s: 320 kb/s lowered to 264 kb/s."},
        M4aBitrateCase{8000, 1, 48, 48, ""}, M4aBitrateCase{44100, 2, 320, 320, ""},
        M4aBitrateCase{48000, 1, 128, 128, ""}));

TEST_F(WritersTest, M4aAverageBitRateIsTheChosenOne) {
  for (const int32_t bitrate : {96, 128, 192}) {
    SetFormat(44100, 2, 16);
    testFormat.bitrateKbps = bitrate;
    const size_t frames = 88200;
    const std::string path = Path("noise" + std::to_string(bitrate) + ".m4a");
    WriteAll(std::make_unique<M4aWriter>(path, testFormat), Pcm(Noise(2, frames), 16));
    int64_t bytes = 0;
    for (int64_t size : PacketSizes(path)) bytes += size;
    const double kbps = double(bytes) * 8 / (double(frames) / 44100) / 1000;
    EXPECT_NEAR(kbps, bitrate, 0.1 * bitrate);
  }
}

TEST_F(WritersTest, M4aCarriesPartialFramesOver) {
  SetFormat(44100, 2, 16);
  testFormat.bitrateKbps = 128;
  const Bytes pcm = Pcm(pwtest::Harmonic(44100, 2, 3 * 2048 + 500), 16);
  {
    M4aWriter w(Path("pieces.m4a"), testFormat);
    EXPECT_EQ(w.frameSamples(), 2048u);
    // 10000 bytes: two frames of 4096 bytes encoded, 1808 carried over.
    EXPECT_EQ(w.write(pcm.data(), 10000), 0);
    EXPECT_EQ(w.pendingBytes(), 1808u);
    // A block ending inside a sample, then one completing the frame.
    EXPECT_EQ(w.write(pcm.data() + 10000, 1001), 0);
    EXPECT_EQ(w.pendingBytes(), 2809u);
    w.write(pcm.data() + 11001, 4096 * 3 - 11001);
    EXPECT_EQ(w.pendingBytes(), 0u);
    w.write(pcm.data() + 4096 * 3, uint32_t(pcm.size() - 4096 * 3));
    EXPECT_EQ(w.pendingBytes(), 2000u);
  }
  WriteAll(std::make_unique<M4aWriter>(Path("whole.m4a"), testFormat), pcm);
  const auto pieces = DecodeF32(Path("pieces.m4a"));
  EXPECT_FALSE(pieces.empty());
  EXPECT_TRUE(pieces == DecodeF32(Path("whole.m4a")));
}

TEST_F(WritersTest, M4aMonoFramesAndNoBlockWritten) {
  SetFormat(22050, 1, 16);
  testFormat.bitrateKbps = 96;
  {
    M4aWriter w(Path("empty.m4a"), testFormat);
    EXPECT_EQ(w.frameSamples(), 1024u);
  }
  // An audio track that presents nothing.
  auto info = ProbeStream(Path("empty.m4a"));
  EXPECT_EQ(info["codec_name"], "aac");
  EXPECT_EQ(info["channels"], "1");
  EXPECT_EQ(info["duration_ts"], "0");
  EXPECT_TRUE(DecodeF32(Path("empty.m4a")).empty());
}

// ------------------------------------------------- the file of every writer

const char* const kExtensions[] = {nullptr, ".mp3", ".wav", ".flac", ".m4a"};

std::string FormatName(const ::testing::TestParamInfo<int>& info) {
  return std::string(kExtensions[info.param] + 1);
}

// What each writer says when it cannot create its file for `reason`.
std::string CreateFailure(int formatIndex, const std::string& path, const std::string& reason) {
  switch (formatIndex) {
    case 1: return "Cannot create output file\n" + path + ": " + reason;
    case 2: return "Cannot create file \"" + path + "\". " + reason;
    case 3: return "Can not initialize FLAC encoder\n" + path + ": " + reason;
    default: return "Unable to create MP4 file\n" + path + ": " + reason;
  }
}

// What each writer says when its file stops taking data for `reason`.
std::string WriteFailure(int formatIndex, const std::string& path, const std::string& reason) {
  const std::string text = "Cannot write \"" + path + "\": " + reason;
  return formatIndex == FileTypeMp3 ? "Data write error!\n" + text : text;
}

class WriterFileTest : public WritersTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    WritersTest::SetUp();
    SetFormat(44100, 2, 16);
    testFormat.bitrateKbps = 128;
  }
  std::unique_ptr<AudioWriter> Make(const std::string& name) const {
    return kWriterFactories[size_t(GetParam())](Path(name + kExtensions[GetParam()]), testFormat);
  }
};

TEST_P(WriterFileTest, FinishCompletesTheFileOnceAsDestructionWould) {
  const Bytes pcm = Pcm(pwtest::Harmonic(44100, 2, 30000), 16);
  auto finished = Make("finished");
  auto destroyed = Make("destroyed");
  for (size_t at = 0; at < pcm.size(); at += 16384) {
    const uint32_t n = uint32_t(std::min<size_t>(16384, pcm.size() - at));
    finished->write(pcm.data() + at, n);
    destroyed->write(pcm.data() + at, n);
  }
  const std::string path = finished->outputPath();
  finished->finish();
  const Bytes once = ReadBytes(path);
  finished->finish();
  EXPECT_LE(finished->write(pcm.data(), 16384), 0);  // finished: takes nothing more
  finished.reset();
  destroyed.reset();
  EXPECT_GT(once.size(), 1000u);
  EXPECT_TRUE(ReadBytes(path) == once) << "changed after the first Finish";
  EXPECT_TRUE(ReadBytes(Path(std::string("destroyed") + kExtensions[GetParam()])) == once);
}

TEST_P(WriterFileTest, RefusesAPathThatIsNotARegularFile) {
  struct Kind {
    const char* name;
    std::string reason;
  };
  for (const Kind& k : {Kind{"pipe", "Not a regular file (a named pipe)"}, Kind{"device", "Not a regular file (a device)"},
                        Kind{"folder", std::strerror(EISDIR)}}) {
    const std::string path = Path(std::string(k.name) + kExtensions[GetParam()]);
    if (k.name == std::string("pipe")) {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
    }
    if (k.name == std::string("device")) fs::create_symlink("/dev/null", path);
    if (k.name == std::string("folder")) fs::create_directory(path);
    // A pipe opened for writing without a reader would block here.
    try {
      Make(k.name);
      ADD_FAILURE() << k.name << ": no exception";
    } catch (const WriterError& e) {
      EXPECT_EQ(std::string(e.what()), CreateFailure(GetParam(), path, k.reason));
    }
  }
  EXPECT_TRUE(fs::is_fifo(Path(std::string("pipe") + kExtensions[GetParam()])));
  EXPECT_TRUE(fs::is_empty(Path(std::string("folder") + kExtensions[GetParam()])));
}

// Writes 10 s of noise in blocks of 16384 bytes; the one failure thrown, if
// any, is recorded with where it came from and the file as it was then.
struct Outcome {
  int throws = 0;
  std::string where;  // "construction", "Write", "Finish"
  std::string text, caption;
  Bytes fileAtFailure;
  std::string path;
};

Outcome WriteNoise(int formatIndex, const std::string& path, size_t seconds) {
  static const Bytes pcm = Pcm(Noise(2, 44100 * 10), 16);
  Outcome o;
  o.path = ChangeFileExt(path, kExtensions[formatIndex]);
  auto failed = [&](const WriterError& e, const char* where) {
    if (o.throws++ > 0) return;
    o.where = where;
    o.text = e.what();
    o.caption = e.caption();
    o.fileAtFailure = ReadBytes(o.path);
  };
  std::unique_ptr<AudioWriter> w;
  try {
    w = kWriterFactories[size_t(formatIndex)](path, testFormat);
  } catch (const WriterError& e) {
    failed(e, "construction");
    return o;
  }
  for (size_t round = 0; round * 10 < seconds; ++round) {
    for (size_t at = 0; at < pcm.size(); at += 16384) {
      try {
        w->write(pcm.data() + at, uint32_t(std::min<size_t>(16384, pcm.size() - at)));
      } catch (const WriterError& e) {
        failed(e, "Write");
      }
    }
  }
  for (int i = 0; i < 2; ++i) {
    try {
      w->finish();
    } catch (const WriterError& e) {
      failed(e, "Finish");
    }
  }
  for (const pw::Message& m : w->takeMessages()) o.text += "\nqueued: " + m.text;
  return o;
}

struct FullDiskCase {
  int formatIndex;
  const char* failsAtFirstByte;  // where a file that takes nothing fails
};

std::ostream& operator<<(std::ostream& os, const FullDiskCase& c) { return os << kExtensions[c.formatIndex]; }

class WriterFullDiskTest : public WritersTest, public ::testing::WithParamInterface<FullDiskCase> {
 protected:
  void SetUp() override {
    WritersTest::SetUp();
    SetFormat(44100, 2, 16);
    testFormat.bitrateKbps = 128;
  }
};

TEST_P(WriterFullDiskTest, OneFailureNamingTheCauseAndNothingWrittenAfterIt) {
  const FullDiskCase c = GetParam();
  const Outcome clean = WriteNoise(c.formatIndex, Path("clean.out"), 10);
  ASSERT_EQ(clean.throws, 0) << clean.text;
  ASSERT_TRUE(clean.text.empty()) << clean.text;
  const int64_t cleanSize = int64_t(ReadBytes(clean.path).size());
  // Only the WAV writer leaves a gap (for its header) before the first byte.
  const int64_t gap = c.formatIndex == FileTypeWav ? 44 : 0;

  struct Limit {
    int64_t bytes;
    std::string where;
  };
  // Nothing at all; half of the file, met while blocks are written; all
  // but the last byte, met while completing the file.
  for (const Limit& limit : {Limit{0, c.failsAtFirstByte}, Limit{cleanSize / 2, "Write"}, Limit{cleanSize - 1, "Finish"}}) {
    SCOPED_TRACE("failing after " + std::to_string(limit.bytes) + " bytes");
    const std::string path = Path("full" + std::to_string(limit.bytes) + ".out");
    Outcome o;
    {
      const FailAfterBytes full(limit.bytes, ENOSPC);
      o = WriteNoise(c.formatIndex, path, 10);
    }
    EXPECT_EQ(o.throws, 1);
    EXPECT_EQ(o.where, limit.where);
    const std::string expected = o.where == "construction" ? CreateFailure(c.formatIndex, o.path, "No space left on device")
                                                           : WriteFailure(c.formatIndex, o.path, "No space left on device");
    EXPECT_EQ(o.text, expected);
    EXPECT_EQ(o.caption, c.formatIndex == FileTypeMp3 && o.where != "construction" ? "MP3 Encoder Error" : "");
    const Bytes after = ReadBytes(o.path);
    EXPECT_TRUE(after == o.fileAtFailure) << "written after the failure: " << after.size() << " bytes, "
                                          << o.fileAtFailure.size() << " then";
    EXPECT_LE(int64_t(after.size()), limit.bytes + gap);
  }
}

// FLAC and M4A write their headers while they are made.
INSTANTIATE_TEST_SUITE_P(Formats, WriterFullDiskTest,
                         ::testing::Values(FullDiskCase{FileTypeMp3, "Write"}, FullDiskCase{FileTypeWav, "Write"},
                                           FullDiskCase{FileTypeFlac, "construction"},
                                           FullDiskCase{FileTypeM4a, "construction"}),
                         [](const ::testing::TestParamInfo<FullDiskCase>& info) {
                           return std::string(kExtensions[info.param.formatIndex] + 1);
                         });

// A real full file system: a 256 KiB tmpfs mounted in a child process of its
// own mount namespace (so nothing outside sees it), where the writer gets
// 20 s of noise at 320 kb/s or more. Skipped where mounting is not allowed.
TEST_P(WriterFileTest, RealFullFileSystemStopsTheWriterOnce) {
  testFormat.bitrateKbps = 320;
  const std::string mountPoint = Path("small");
  fs::create_directory(mountPoint);
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeEnds[0]);
    std::string report;
    if (::unshare(CLONE_NEWNS) != 0) {
      report = std::string("skip\nunshare: ") + std::strerror(errno);
    } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
               ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0) {
      report = std::string("skip\nmount: ") + std::strerror(errno);
    } else {
      const Outcome o = WriteNoise(GetParam(), mountPoint + "/out.x", 20);
      const bool unchanged = ReadBytes(o.path) == o.fileAtFailure;
      report = std::to_string(o.throws) + "\n" + o.where + "\n" + (unchanged ? "unchanged" : "changed") + "\n" + o.path +
               "\n" + o.text;
    }
    [[maybe_unused]] const ssize_t n = ::write(pipeEnds[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(pipeEnds[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, size_t(n));
  ::close(pipeEnds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;

  // "skip", the reason; or the count of failures, where, whether the file
  // changed after the failure, the file, the text (which may hold line
  // breaks itself).
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t nl; lines.size() < 4 && (nl = report.find('\n', at)) != std::string::npos;) {
    lines.push_back(report.substr(at, nl - at));
    at = nl + 1;
    if (lines[0] == "skip") break;
  }
  lines.push_back(report.substr(at));
  ASSERT_GE(lines.size(), 2u) << report;
  if (lines[0] == "skip") GTEST_SKIP() << "no tmpfs of our own here: " << lines[1];
  ASSERT_EQ(lines.size(), 5u) << report;
  EXPECT_EQ(lines[0], "1");
  EXPECT_TRUE(lines[1] == "Write" || lines[1] == "Finish") << lines[1];
  EXPECT_EQ(lines[2], "unchanged");
  EXPECT_EQ(lines[4], WriteFailure(GetParam(), lines[3], "No space left on device"));
}

INSTANTIATE_TEST_SUITE_P(Formats, WriterFileTest, ::testing::Values(1, 2, 3, 4), FormatName);

}  // namespace
