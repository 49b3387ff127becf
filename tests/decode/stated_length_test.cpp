// What files state of their own length: real files from the usual encoders
// are whole and decode to what they state, each cut in half is found short;
// the header parsers on hand-made bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "decode/audio_decoder.h"
#include "decode/audio_file_reader.h"
#include "decode/stated_length.h"
#include "testaudio.h"

namespace {

namespace fs = std::filesystem;

struct EncoderCase {
  const char* file;
  int64_t exactSlack;  // frames the decoded length may differ from lengthFrames()
  bool statesLength;   // false: nothing in the file tells a cut on a frame boundary
};

// FAAC's MP4 duration counts padding that FFmpeg's decoder drops: the length
// is within a codec frame, never reported short.
const EncoderCase kEncoderCases[] = {
    {"lame-cbr.mp3", 0, true},         {"lame-vbr.mp3", 0, true}, {"lame-noxing.mp3", 0, false},
    {"ffmpeg-aac.m4a", 0, true},       {"faac-itunes.m4a", 1024, true}, {"oggenc.ogg", 0, true},
    {"opusenc.opus", 0, true},
};

int64_t DecodeAll(AudioDecoder& d) {
  std::vector<float> buffer(size_t(4096) * size_t(d.channels()));
  int64_t total = 0;
  for (int64_t got; (got = d.read(buffer.data(), 4096)) > 0;) total += got;
  return total;
}

class EncoderFiles : public ::testing::TestWithParam<EncoderCase> {};

TEST_P(EncoderFiles, WholeFileIsWholeAndDecodesToItsLength) {
  const std::string path = pwtest::FixtureDir() + "/encoders/" + GetParam().file;
  AudioError error = AudioError::Unknown;
  auto d = AudioDecoder::open(path, &error);
  ASSERT_NE(d, nullptr) << path;
  const int64_t decoded = DecodeAll(*d);
  EXPECT_NEAR(double(decoded), double(d->lengthFrames()), double(GetParam().exactSlack));
  EXPECT_GT(decoded, 0);
  EXPECT_FALSE(d->endedShort());
  EXPECT_FALSE(d->knownTruncated());
  // Where a length is stated it is the decoded length within a codec frame.
  if (GetParam().statesLength) {
    ASSERT_GE(d->statedFrames(), 0);
    EXPECT_NEAR(double(d->statedFrames()), double(decoded), 1024.0);
  }
}

TEST_P(EncoderFiles, CutInHalfIsShortAndSaysWhereAgainstWhat) {
  const std::string path = pwtest::FixtureDir() + "/encoders/" + GetParam().file;
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string dir = pwtest::TempDir("stated-length");
  const std::string cut = dir + "/" + GetParam().file;
  std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size() / 2));

  AudioFileReader reader(cut);
  if (!reader.opened()) {
    // Cut inside its headers (an MP4 whose index comes last, the Vorbis
    // set-up of a tiny file): refused with a reason, never saved short.
    EXPECT_FALSE(reader.openFailure().empty());
  } else if (GetParam().statesLength) {
    const int64_t decoded = DecodeAll(*reader.decoder());
    EXPECT_GT(decoded, 0);
    EXPECT_TRUE(reader.endedShort()) << decoded << " frames decoded";
    const std::string said = reader.shortEndDescription();
    EXPECT_EQ(said.rfind("ended at ", 0), 0u) << said;
    // Never two equal times.
    const size_t of = said.find(" of ");
    if (of != std::string::npos) {
      EXPECT_NE(said.substr(9, of - 9), said.substr(of + 4)) << said;
    }
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Encoders, EncoderFiles, ::testing::ValuesIn(kEncoderCases),
                         [](const ::testing::TestParamInfo<EncoderCase>& i) {
                           std::string name = i.param.file;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

std::vector<uint8_t> Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
std::vector<uint8_t> Be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
std::vector<uint8_t> Bytes(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
std::vector<uint8_t> Text(const char* s) { return std::vector<uint8_t>(s, s + std::char_traits<char>::length(s)); }

TEST(PcmDataFrames, TheDataChunkSizeInWholeFrames) {
  const std::vector<uint8_t> fmt = Bytes({Text("fmt "), Le32(16), std::vector<uint8_t>(16, 0)});
  struct Row {
    const char* what;
    std::vector<uint8_t> head;
    std::optional<int64_t> frames;
  } rows[] = {
      {"wav", Bytes({Text("RIFF"), Le32(0), Text("WAVE"), fmt, Text("data"), Le32(4000)}), 1000},
      {"wav, odd tail", Bytes({Text("RIFF"), Le32(0), Text("WAVE"), fmt, Text("data"), Le32(4003)}), 1000},
      {"wav streamed (size 0)", Bytes({Text("RIFF"), Le32(0), Text("WAVE"), fmt, Text("data"), Le32(0)}), std::nullopt},
      {"rf64 via ds64", Bytes({Text("RF64"), Le32(0xFFFFFFFF), Text("WAVE"), Text("ds64"), Le32(28), Le32(0), Le32(0),
                               Le32(0x00000004), Le32(0x00000002), Le32(0), Le32(0), Le32(0), fmt, Text("data"),
                               Le32(0xFFFFFFFF)}),
       int64_t((uint64_t(2) << 32 | 4) / 4)},
      {"aiff with an offset", Bytes({Text("FORM"), Be32(0), Text("AIFF"), Text("SSND"), Be32(8 + 4 + 400), Be32(4), Be32(0)}),
       100},
      {"not audio", Bytes({Text("OggS"), Le32(0), Le32(0)}), std::nullopt},
  };
  for (const Row& r : rows) EXPECT_EQ(stated_length::PcmDataFrames(r.head.data(), r.head.size(), 4), r.frames) << r.what;
}

TEST(ITunesGaplessFrames, TheFourthFieldOrNothing) {
  EXPECT_EQ(stated_length::ITunesGaplessFrames(" 00000000 00000840 000001CA 00000000003F2CF6 00000000 00000000"),
            int64_t(0x3F2CF6));
  EXPECT_EQ(stated_length::ITunesGaplessFrames(" 00000000 00000840"), std::nullopt);
  EXPECT_EQ(stated_length::ITunesGaplessFrames(" 00000000 00000840 000001CA zz"), std::nullopt);
}

}  // namespace
