#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio_file_reader.h"
#include "messages.h"
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
  ChainOutputReader reader("/nonexistent/folder/song.mp3");
  EXPECT_FALSE(reader.Opened);
  EXPECT_EQ(reader.Decoder, nullptr);
  EXPECT_EQ(reader.FileName, "/nonexistent/folder/song.mp3");
  EXPECT_EQ(reader.OpenFailure(), "No such file or directory");
  EXPECT_FALSE(reader.EndedShort());
  EXPECT_EQ(reader.DeclaredSeconds(), 0.0);
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
    EXPECT_FALSE(reader.Opened);
    EXPECT_EQ(reader.OpenFailure(), c.reason);
    ASSERT_EQ(capture.seen.size(), 1u);
    EXPECT_EQ(capture.seen[0].text, pw::WithErrorCode("Could not open audio file!", c.code) + "\n" + c.path + ": " + c.reason);
  }
  std::filesystem::remove_all(dir);
}

// A fake chain on an unopened reader: the block logic does not need a decoder.
class BlockLogic : public ::testing::Test {
 protected:
  MessageCapture capture;  // swallows the open failure
  ChainOutputReader reader{"/nonexistent/x.wav"};
  int fills = 0, processes = 0;
  uint32_t largestFill = 0;
  uint8_t next = 1;  // byte pattern the fake source produces
  uint32_t sourceLeft = 0;
  std::vector<uint8_t> tail;  // what the chain delivers at the end

  void SetUp() override {
    reader.OnFill = [this](void* buffer, int32_t& count) {
      ++fills;
      largestFill = std::max(largestFill, uint32_t(count));
      const uint32_t n = std::min(uint32_t(count), sourceLeft);
      auto* b = static_cast<uint8_t*>(buffer);
      for (uint32_t i = 0; i < n; ++i) b[i] = next++;
      sourceLeft -= n;
      count = int32_t(n);
    };
    reader.OnProcess = [this](void* buffer, int32_t& count) {
      ++processes;
      if (count == 0 && !tail.empty()) {
        std::memcpy(buffer, tail.data(), tail.size());
        count = int32_t(tail.size());
        tail.clear();
      }
    };
  }
};

TEST_F(BlockLogic, ZeroCountCallsNothing) {
  uint8_t b[4];
  EXPECT_EQ(reader.Read(b, 0), 0u);
  EXPECT_EQ(fills, 0);
  EXPECT_EQ(processes, 0);
}

TEST_F(BlockLogic, PartialReadsContinueWhereThePreviousStopped) {
  sourceLeft = 1000;
  std::vector<uint8_t> a(300), b(300);
  EXPECT_EQ(reader.Read(a.data(), 300), 300u);
  EXPECT_EQ(reader.Avail, 0u);  // the whole request was one block
  // Shrink the next request below what a block holds: fake a larger block.
  sourceLeft = 1000;
  std::vector<uint8_t> big(10);
  reader.OnFill = [&](void* buffer, int32_t& count) {
    auto* p = static_cast<uint8_t*>(buffer);
    for (int i = 0; i < 100; ++i) p[i] = next++;
    count = 100;  // more than asked
  };
  EXPECT_EQ(reader.Read(big.data(), 10), 10u);
  EXPECT_EQ(reader.Avail, 90u);
  EXPECT_EQ(reader.Read(b.data(), 50), 50u);
  EXPECT_EQ(b[0], uint8_t(big[9] + 1));
  for (int i = 1; i < 50; ++i) EXPECT_EQ(b[i], uint8_t(b[i - 1] + 1));
  EXPECT_EQ(reader.Avail, 40u);
}

TEST_F(BlockLogic, TailDeliveredWithTheEndStaysForPeekAndNextRead) {
  sourceLeft = 100;
  tail.assign(64, 0xAB);
  std::vector<uint8_t> dest(500, 0xFF);
  EXPECT_EQ(reader.Read(dest.data(), 500), 100u);  // only what was served before the end
  std::vector<uint8_t> peek1(64), peek2(64);
  EXPECT_EQ(reader.PeekRemainder(peek1.data()), 64u);
  EXPECT_EQ(reader.PeekRemainder(peek2.data()), 64u);
  EXPECT_EQ(peek1, std::vector<uint8_t>(64, 0xAB));
  EXPECT_EQ(peek1, peek2);

  std::vector<uint8_t> more(200, 0xFF);
  EXPECT_EQ(reader.Read(more.data(), 200), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(more[i], 0xAB);
  for (int i = 64; i < 200; ++i) EXPECT_EQ(more[i], 0) << i;  // the rest stays zero
  EXPECT_EQ(reader.Avail, 0u);
  EXPECT_EQ(reader.ReadPtr, reader.BlockBuffer());
}

TEST_F(BlockLogic, RequestsAreBoundedSoADoublingChainFitsTheBuffer) {
  sourceLeft = 6 * 1024 * 1024;
  reader.OnProcess = [this](void* buffer, int32_t& count) {
    ++processes;
    // Slowest speed: every block comes back twice as long, plus a held-back
    // remainder of a few thousand frames.
    auto* b = static_cast<uint8_t*>(buffer);
    ASSERT_LE(uint32_t(count) * 2 + 65536, ChainOutputReader::BlockBufferSize);
    std::memcpy(b + count, b, size_t(count));
    count = count * 2 + (count ? 65536 : 0);
  };
  std::vector<uint8_t> dest(4 * 1024 * 1024);
  EXPECT_EQ(reader.Read(dest.data(), uint32_t(dest.size())), dest.size());
  EXPECT_LE(largestFill, ChainOutputReader::MaxFillBytes);
  EXPECT_GT(fills, 1);
}

TEST_F(BlockLogic, DiscardAndSeekEmptyTheBlockBuffer) {
  sourceLeft = 100;
  reader.OnFill = [](void*, int32_t& count) { count = 100; };
  uint8_t b[10];
  reader.Read(b, 10);
  ASSERT_EQ(reader.Avail, 90u);
  reader.DiscardBuffer();
  EXPECT_EQ(reader.Avail, 0u);
  EXPECT_EQ(reader.ReadPtr, reader.BlockBuffer());
  reader.Read(b, 10);
  ASSERT_GT(reader.Avail, 0u);
  reader.Seek(0);
  EXPECT_EQ(reader.Avail, 0u);
  EXPECT_EQ(reader.ReadPtr, reader.BlockBuffer());
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
    ChainOutputReader r(Wav("f" + std::to_string(c.bits) + ".wav", c.rate, c.ch, c.bits, 1.5));
    ASSERT_TRUE(r.Opened) << c.bits;
    EXPECT_TRUE(r.OpenFailure().empty());
    EXPECT_TRUE(capture.seen.empty());
    EXPECT_EQ(r.SourceBits, c.sourceBits);
    EXPECT_EQ(r.SourceResolution, c.resolution);
    EXPECT_EQ(r.Format.encoding, SampleEncoding::Float);
    EXPECT_EQ(r.Format.channels, c.ch);
    EXPECT_EQ(r.Format.sampleRate, uint32_t(c.rate));
    EXPECT_EQ(r.Format.bytesPerSecond, uint32_t(c.rate * c.ch * 4));
    EXPECT_EQ(r.Format.frameBytes, c.ch * 4);
    EXPECT_EQ(r.Format.bitsPerSample, 32);
    EXPECT_EQ(r.Duration, 15000000);  // 1.5 s in 100-ns units
    EXPECT_EQ(r.Position, 0);
  }
}

TEST_F(ReaderOnFile, SeekDropsTheSubMillisecondPartAndReadsFromThere) {
  ChainOutputReader r(Wav("seek.wav", 44100, 2, 16, 1.0));
  ASSERT_TRUE(r.Opened);
  for (int64_t target : {int64_t(1500000), int64_t(1509999)}) {
    r.Seek(target);
    EXPECT_EQ(r.Position, 1500000) << target;
    EXPECT_EQ(r.Decoder->positionFrames(), 6615);
  }
  // Unbuffered reads advance the position; the end reads 0.
  std::vector<float> buf(4410 * 2);
  r.Seek(0);
  EXPECT_EQ(r.UnbufferedRead(buf.data(), uint32_t(buf.size() * 4)), buf.size() * 4);
  EXPECT_EQ(r.Position, 1000000);
  uint32_t total = uint32_t(buf.size() * 4);
  while (uint32_t n = r.UnbufferedRead(buf.data(), uint32_t(buf.size() * 4))) total += n;
  EXPECT_EQ(total, 44100u * 8);
  EXPECT_EQ(r.Position, r.Duration);
  EXPECT_EQ(r.UnbufferedRead(buf.data(), 64), 0u);
}

TEST_F(ReaderOnFile, UnbufferedReadsDeliverWholeFramesOnly) {
  ChainOutputReader r(Wav("frames.wav", 44100, 2, 16, 0.1));
  ASSERT_TRUE(r.Opened);
  std::vector<float> buf(64);
  EXPECT_EQ(r.UnbufferedRead(buf.data(), 7), 0u);  // less than one frame (8 bytes)
  EXPECT_EQ(r.Decoder->positionFrames(), 0);
  EXPECT_EQ(r.UnbufferedRead(buf.data(), 8 * 3 + 5), 24u);
  EXPECT_EQ(r.Decoder->positionFrames(), 3);
}

TEST_F(ReaderOnFile, HeaderWithoutSamplesOpensAsEmpty) {
  const std::string path = dir + "/empty.wav";
  pwtest::WriteWav(path, {}, 44100, 2, 16);
  ASSERT_EQ(std::filesystem::file_size(path), 44u);
  MessageCapture capture;
  ChainOutputReader r(path);
  ASSERT_TRUE(r.Opened);
  EXPECT_TRUE(capture.seen.empty());
  EXPECT_EQ(r.Duration, 0);
  EXPECT_EQ(r.Format.sampleRate, 44100u);
  EXPECT_EQ(r.Format.channels, 2);
  std::vector<float> buf(64);
  EXPECT_EQ(r.UnbufferedRead(buf.data(), 64), 0u);
  EXPECT_FALSE(r.EndedShort());
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
    ChainOutputReader r(c.path);
    ASSERT_TRUE(r.Opened);
    EXPECT_EQ(r.DeclaredSeconds(), 15.0);
    EXPECT_FALSE(r.EndedShort()) << "not known before the end";
    EXPECT_EQ(r.DecodedSeconds(), 15.0);
    std::vector<float> buf(4096 * 2);
    uint64_t bytesRead = 0;
    while (uint32_t n = r.UnbufferedRead(buf.data(), uint32_t(buf.size() * 4))) bytesRead += n;
    const double seconds = double(bytesRead) / (44100.0 * 8);
    EXPECT_EQ(r.EndedShort(), c.shortfall);
    EXPECT_DOUBLE_EQ(r.DecodedSeconds(), seconds);
    if (c.shortfall) {
      EXPECT_NEAR(seconds, 7.5, 0.75);
    } else {
      EXPECT_EQ(seconds, 15.0);
    }
  }
}

}  // namespace
