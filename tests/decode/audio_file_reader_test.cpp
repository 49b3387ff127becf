#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "decode/audio_file_reader.h"
#include "core/messages.h"
#include "message_capture.h"
#include "testaudio.h"

namespace {

using pwtest::MessageCapture;

TEST(MakeAudioFormat, FillsEveryField) {
  struct Case { SampleEncoding tag; uint32_t rate; uint16_t ch; int32_t bits; uint16_t align; uint32_t perSec; };
  const Case cases[] = {
      {SampleEncoding::Float, 44100, 2, 32, 8, 352800},
      {SampleEncoding::Integer, 48000, 2, 24, 6, 288000},
      {SampleEncoding::Integer, 22050, 1, 16, 2, 44100},
      {SampleEncoding::Integer, 8000, 1, 12, 1, 8000},  // bits / 8 truncates
  };
  for (const auto& c : cases) {
    const AudioFormat f = MakeAudioFormat(c.tag, c.rate, c.ch, c.bits);
    EXPECT_EQ(f.encoding, c.tag);
    EXPECT_EQ(f.channels, c.ch);
    EXPECT_EQ(f.sampleRate, c.rate);
    EXPECT_EQ(f.bitsPerSample, c.bits);
    EXPECT_EQ(f.frameBytes, c.align);
    EXPECT_EQ(f.bytesPerSecond, c.perSec);
  }
}

TEST(Reader, MissingFileShowsMessageAndIsNotOpened) {
  MessageCapture capture;
  AudioFileReader reader("/nonexistent/folder/song.mp3");
  EXPECT_FALSE(reader.opened());
  EXPECT_EQ(reader.decoder(), nullptr);
  EXPECT_EQ(reader.fileName(), "/nonexistent/folder/song.mp3");
  EXPECT_EQ(reader.openFailure(), "No such file or directory");
  EXPECT_FALSE(reader.endedShort());
  EXPECT_EQ(reader.declaredSeconds(), 0.0);
  float buffer[8];
  EXPECT_EQ(reader.read(buffer, 4), 0);
  ASSERT_EQ(capture.seen.size(), 1u);
  EXPECT_EQ(capture.seen[0].kind, pw::MessageKind::Plain);
  EXPECT_TRUE(capture.seen[0].caption.empty());
  EXPECT_EQ(capture.seen[0].text,
            "Could not open audio file!\n(Error code: 2)\n/nonexistent/folder/song.mp3: No such file or directory");
}

TEST(Reader, OpenFailuresNameTheFileAndTheReason) {
  const std::string dir = pwtest::TempDir("reader-failures");
  std::ofstream(dir + "/notes.mp3") << "Shopping list: bread, milk, eggs.\n" << std::string(3000, '-') << "\n";
  const struct {
    std::string path;
    int code;
    std::string reason;
  } cases[] = {
      {dir + "/gone.flac", 2, "No such file or directory"},
      {dir, 2, "Is a directory"},
      {"/dev/zero", 2, "not a regular file"},
      {dir + "/notes.mp3", 41, "not an audio file that can be decoded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    MessageCapture capture;
    AudioFileReader reader(c.path);
    EXPECT_FALSE(reader.opened());
    EXPECT_EQ(reader.openFailure(), c.reason);
    ASSERT_EQ(capture.seen.size(), 1u);
    EXPECT_EQ(capture.seen[0].text, pw::WithErrorCode("Could not open audio file!", c.code) + "\n" + c.path + ": " + c.reason);
  }
  std::filesystem::remove_all(dir);
}

// Readers on real files (decoded by AudioDecoder).
class ReaderOnFile : public ::testing::Test {
 protected:
  std::string dir = pwtest::TempDir("reader");
  std::string Wav(const std::string& name, int rate, int channels, int bits, double seconds) {
    const std::string path = dir + "/" + name;
    pwtest::WriteWav(path, pwtest::Sine(440, rate, channels, size_t(seconds * rate)), rate, channels, bits);
    return path;
  }
};

TEST_F(ReaderOnFile, FormatDurationAndSourceBits) {
  // Saving keeps 1..31 bits and makes 16 of the rest; the resolution shown
  // is the source's own (32-bit float here).
  struct Case { int rate, ch, bits; int32_t sourceBits, resolution; };
  const Case cases[] = {{44100, 2, 16, 16, 16}, {48000, 2, 24, 24, 24}, {22050, 1, 8, 8, 8}, {44100, 1, 32, 16, 32}};
  for (const auto& c : cases) {
    MessageCapture capture;
    AudioFileReader r(Wav("f" + std::to_string(c.bits) + ".wav", c.rate, c.ch, c.bits, 1.5));
    ASSERT_TRUE(r.opened()) << c.bits;
    EXPECT_TRUE(r.openFailure().empty());
    EXPECT_TRUE(capture.seen.empty());
    EXPECT_EQ(r.saveBits(), c.sourceBits);
    EXPECT_EQ(r.sourceResolution(), c.resolution);
    EXPECT_EQ(r.format().encoding, SampleEncoding::Float);
    EXPECT_EQ(r.format().channels, c.ch);
    EXPECT_EQ(r.format().sampleRate, uint32_t(c.rate));
    EXPECT_EQ(r.format().bytesPerSecond, uint32_t(c.rate * c.ch * 4));
    EXPECT_EQ(r.format().frameBytes, c.ch * 4);
    EXPECT_EQ(r.format().bitsPerSample, 32);
    EXPECT_EQ(r.durationMs(), 1500);
    EXPECT_EQ(r.lengthFrames(), int64_t(1.5 * c.rate));
    EXPECT_EQ(r.positionMs(), 0);
  }
}

TEST_F(ReaderOnFile, SeeksToTheNearestFrameAndReadsFromThere) {
  AudioFileReader r(Wav("seek.wav", 44100, 2, 16, 1.0));
  ASSERT_TRUE(r.opened());
  r.seekMs(150);
  EXPECT_EQ(r.positionFrames(), 6615);  // 0.15 × 44100, however the product rounds
  EXPECT_EQ(r.positionMs(), 150);
  r.seekFrame(441);
  EXPECT_EQ(r.positionMs(), 10);  // exactly on a millisecond, not 9
  // Reads advance the position; the end reads 0.
  std::vector<float> buf(4410 * 2);
  r.seekFrame(0);
  EXPECT_EQ(r.read(buf.data(), 4410), 4410);
  EXPECT_EQ(r.positionMs(), 100);
  int64_t total = 4410;
  while (int64_t n = r.read(buf.data(), 4410)) total += n;
  EXPECT_EQ(total, 44100);
  EXPECT_EQ(r.positionMs(), r.durationMs());
  EXPECT_EQ(r.read(buf.data(), 8), 0);
}

TEST(FramesAndMilliseconds, TruncateAndRoundAsDocumented) {
  const struct {
    int64_t frames;
    int rate;
    int64_t ms;
  } toMs[] = {{0, 44100, 0}, {44, 44100, 0}, {45, 44100, 1}, {441, 44100, 10}, {44100, 44100, 1000},
              {-45, 44100, -1}, {48000 * 3600, 48000, 3600000}, {10, 0, 0}};
  for (const auto& c : toMs) EXPECT_EQ(FramesToMs(c.frames, c.rate), c.ms) << c.frames << " @ " << c.rate;
  EXPECT_EQ(MsToFrames(150, 44100), 6615);
  EXPECT_EQ(MsToFrames(1, 22050), 22);  // 22.05 rounds down
  EXPECT_EQ(MsToFrames(1, 44100), 44);  // 44.1 rounds down
  EXPECT_EQ(MsToFrames(30, 44100), 1323);
}

TEST_F(ReaderOnFile, HeaderWithoutSamplesOpensAsEmpty) {
  const std::string path = dir + "/empty.wav";
  pwtest::WriteWav(path, {}, 44100, 2, 16);
  ASSERT_EQ(std::filesystem::file_size(path), 44u);
  MessageCapture capture;
  AudioFileReader r(path);
  ASSERT_TRUE(r.opened());
  EXPECT_TRUE(capture.seen.empty());
  EXPECT_EQ(r.durationMs(), 0);
  EXPECT_EQ(r.format().sampleRate, 44100u);
  EXPECT_EQ(r.format().channels, 2);
  std::vector<float> buf(64);
  EXPECT_EQ(r.read(buf.data(), 32), 0);
  EXPECT_FALSE(r.endedShort());
}

TEST_F(ReaderOnFile, ShortfallOfATruncatedFileIsKnownAtTheEnd) {
  const std::string wav = Wav("whole.wav", 44100, 2, 16, 15.0);
  const std::string flac = dir + "/whole.flac";
  ASSERT_TRUE(pwtest::Ffmpeg(wav, "-c:a flac", flac));
  std::ifstream in(flac, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(dir + "/half.flac", std::ios::binary).write(bytes.data(), std::streamsize(bytes.size() / 2));

  const struct {
    std::string path;
    bool shortfall;
  } cases[] = {{flac, false}, {dir + "/half.flac", true}, {wav, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    AudioFileReader r(c.path);
    ASSERT_TRUE(r.opened());
    EXPECT_EQ(r.declaredSeconds(), 15.0);
    EXPECT_FALSE(r.endedShort()) << "not known before the end";
    EXPECT_EQ(r.decodedSeconds(), 15.0);
    std::vector<float> buf(4096 * 2);
    int64_t framesRead = 0;
    while (int64_t n = r.read(buf.data(), 4096)) framesRead += n;
    const double seconds = double(framesRead) / 44100.0;
    EXPECT_EQ(r.endedShort(), c.shortfall);
    EXPECT_DOUBLE_EQ(r.decodedSeconds(), seconds);
    if (c.shortfall) {
      EXPECT_NEAR(seconds, 7.5, 0.75);
    } else {
      EXPECT_EQ(seconds, 15.0);
    }
  }
}

}  // namespace
