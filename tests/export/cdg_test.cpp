// The karaoke graphics companion written beside a saved file: copied whole
// at the source tempo, empty packets dropped when faster (never graphics),
// empty packets inserted when slower, by the given intervals down to half
// speed and in time with the audio beyond it; where it is looked for and
// written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tags.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t Packet = 24;
constexpr uint8_t Graphics = 9;

// A companion whose packet i has command commands[i] and a payload naming i,
// so packets can be told apart from each other and from inserted (all-zero)
// ones.
Bytes MakeCdg(const std::vector<uint8_t>& commands) {
  Bytes out;
  for (size_t i = 0; i < commands.size(); ++i) {
    out.push_back(commands[i]);
    out.push_back(uint8_t(0xA0 | (i >> 16 & 0x0F)));
    out.push_back(uint8_t(i >> 8));
    out.push_back(uint8_t(i));
    for (size_t k = 4; k < Packet; ++k) out.push_back(uint8_t(i * 7 + k));
  }
  return out;
}

// Source index of each output packet, -1 for an inserted empty packet.
std::vector<long> Indices(const Bytes& cdg) {
  std::vector<long> out;
  for (size_t at = 0; at + Packet <= cdg.size(); at += Packet) {
    const uint8_t* p = &cdg[at];
    bool zero = true;
    for (size_t k = 0; k < Packet; ++k) zero = zero && p[k] == 0;
    out.push_back(zero ? -1 : long(p[1] & 0x0F) << 16 | long(p[2]) << 8 | long(p[3]));
  }
  return out;
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

std::vector<uint8_t> Commands(size_t n, uint8_t command) { return std::vector<uint8_t>(n, command); }

// Every third packet carries graphics.
std::vector<uint8_t> Mixed(size_t n) {
  std::vector<uint8_t> c(n, 1);
  for (size_t i = 0; i < n; i += 3) c[i] = Graphics;
  return c;
}

class CdgCompanion : public ::testing::Test {
 protected:
  void SetUp() override { dir = pwtest::TempDir("cdg"); }

  // Writes song.mp3 (empty) with the companion, converts to out.flac in
  // another folder and returns the output companion's packets.
  Bytes Convert(const Bytes& companion, int32_t tempoChange) {
    fs::create_directories(dir + "/in");
    fs::create_directories(dir + "/out");
    WriteFile(dir + "/in/song.mp3", {});
    WriteFile(dir + "/in/song.cdg", companion);
    fs::remove(dir + "/out/out.cdg");
    ConvertCdgFile(dir + "/in/song.mp3", dir + "/out/out.flac", tempoChange);
    EXPECT_TRUE(fs::exists(dir + "/out/out.cdg"));
    return ReadFile(dir + "/out/out.cdg");
  }

  std::string dir;
};

TEST_F(CdgCompanion, SameTempoCopiesWholePackets) {
  for (const size_t packets : {size_t(0), size_t(1), size_t(100), size_t(250), size_t(300)}) {
    for (const size_t extra : {size_t(0), size_t(10), size_t(23)}) {
      SCOPED_TRACE(std::to_string(packets) + " packets + " + std::to_string(extra) + " bytes");
      const Bytes whole = MakeCdg(Mixed(packets));
      Bytes source = whole;
      source.insert(source.end(), extra, 0x55);
      EXPECT_EQ(Convert(source, 0), whole);
    }
  }
}

TEST_F(CdgCompanion, FasterDropsEmptyPacketsOnlyAndKeepsOrder) {
  const size_t n = 2000;
  for (const int32_t tempo : {1, 10, 25, 100, 300}) {
    for (const bool mixed : {false, true}) {
      SCOPED_TRACE("TempoChange " + std::to_string(tempo) + (mixed ? " mixed" : " all droppable"));
      const std::vector<uint8_t> commands = mixed ? Mixed(n) : Commands(n, 0);
      const std::vector<long> out = Indices(Convert(MakeCdg(commands), tempo));

      // In order, nothing inserted, every graphics packet kept.
      long last = -1;
      size_t graphicsKept = 0;
      for (long i : out) {
        ASSERT_GT(i, last);
        last = i;
        graphicsKept += commands[size_t(i)] == Graphics;
      }
      size_t graphics = 0;
      for (uint8_t c : commands) graphics += c == Graphics;
      EXPECT_EQ(graphicsKept, graphics);

      // q packets per 100 go while enough droppable packets are at hand.
      const double q = 100.0 - 100.0 * 100.0 / (100.0 + tempo);
      const double wanted = q * double(n) / 100.0;
      const double droppable = double(n - graphics);
      const double dropped = double(n - out.size());
      if (wanted <= droppable) {
        EXPECT_GT(dropped, wanted - 1.0 - 1e-3);
        EXPECT_LE(dropped, wanted + 1e-3);
      } else {
        EXPECT_LE(dropped, droppable);
        EXPECT_GT(dropped, droppable - q - 1.0);
      }
    }
  }
}

TEST_F(CdgCompanion, TenPercentFasterDropsAboutNinePerHundredInEveryChunk) {
  const size_t chunks = 30;
  const std::vector<long> out = Indices(Convert(MakeCdg(Commands(chunks * 100, 0)), 10));
  const double q = 100.0 - 100.0 * 100.0 / 110.0;  // 9.0909...
  // After chunk c (of 100 source packets), c * q packets have gone, give or
  // take the fraction still on the balance.
  size_t kept = 0;
  for (size_t c = 1; c <= chunks; ++c) {
    while (kept < out.size() && out[kept] < long(c * 100)) ++kept;
    const double dropped = double(c * 100 - kept);
    EXPECT_GT(dropped, double(c) * q - 1.0 - 1e-3) << "chunk " << c;
    EXPECT_LE(dropped, double(c) * q + 1e-3) << "chunk " << c;
  }
}

TEST_F(CdgCompanion, TwiceAsFastCarriesTheShortfallOver) {
  // Chunk 0 is all graphics (nothing may go, the balance grows to 50),
  // chunk 1 loses all 100 (balance 100), chunk 2 its first 50, chunk 3 its
  // first 50.
  std::vector<uint8_t> commands = Commands(100, Graphics);
  const std::vector<uint8_t> empty = Commands(300, 0);
  commands.insert(commands.end(), empty.begin(), empty.end());
  const std::vector<long> out = Indices(Convert(MakeCdg(commands), 100));
  std::vector<long> expected;
  for (long i = 0; i < 100; ++i) expected.push_back(i);
  for (long i = 250; i < 300; ++i) expected.push_back(i);
  for (long i = 350; i < 400; ++i) expected.push_back(i);
  EXPECT_EQ(out, expected);
}

TEST_F(CdgCompanion, TwentyPercentSlowerInsertsBeforeEveryFourthPacket) {
  const long n = 250;  // crosses chunk boundaries
  const std::vector<long> out = Indices(Convert(MakeCdg(Mixed(size_t(n))), -20));
  std::vector<long> expected;
  for (long i = 0; i < n; ++i) {
    if (i > 0 && i % 4 == 0) expected.push_back(-1);
    expected.push_back(i);
  }
  EXPECT_EQ(out, expected);
}

TEST_F(CdgCompanion, HalfSpeedInsertsBeforeEveryPacketButTheFirst) {
  const long n = 230;
  const Bytes source = MakeCdg(Mixed(size_t(n)));
  const Bytes result = Convert(source, -50);
  const std::vector<long> out = Indices(result);
  ASSERT_EQ(out.size(), size_t(2 * n - 1));
  for (long i = 0; i < n; ++i) {
    EXPECT_EQ(out[size_t(i > 0 ? 2 * i : 0)], i);
    if (i > 0) {
      EXPECT_EQ(out[size_t(2 * i - 1)], -1);
    }
  }
  // Inserted packets are 24 zero bytes, source packets unchanged.
  EXPECT_TRUE(std::equal(source.begin(), source.begin() + Packet, result.begin()));
  EXPECT_TRUE(std::equal(source.begin() + Packet, source.begin() + 2 * Packet, result.begin() + 2 * Packet));
}

TEST_F(CdgCompanion, SlowerKeepsEverySourcePacketInTime) {
  // Source packet i must come out near i * 100 / (100 + TempoChange), in
  // order, with only empty packets between; beyond half speed exactly at
  // floor(i * 100 / (100 + TempoChange)).
  const long n = 1000;
  for (const int32_t tempo : {-1, -10, -20, -33, -49, -50, -51, -60, -75, -90}) {
    SCOPED_TRACE("TempoChange " + std::to_string(tempo));
    const std::vector<long> out = Indices(Convert(MakeCdg(Mixed(size_t(n))), tempo));
    const double factor = 100.0 / (100.0 + tempo);
    std::vector<long> position(size_t(n), -1);
    long next = 0;
    for (size_t at = 0; at < out.size(); ++at) {
      if (out[at] < 0) continue;
      ASSERT_EQ(out[at], next);
      position[size_t(next++)] = long(at);
    }
    ASSERT_EQ(next, n);
    EXPECT_EQ(out.front(), 0);
    for (long i = 0; i < n; ++i) {
      EXPECT_LE(std::fabs(double(position[size_t(i)]) - double(i) * factor), 1.0 + 1e-9) << "packet " << i;
      if (tempo < -50) {
        EXPECT_EQ(position[size_t(i)], i * 100 / (100 + tempo)) << "packet " << i;
      }
    }
    if (tempo < -50) {
      EXPECT_EQ(out.size(), size_t(1 + (n - 1) * 100 / (100 + tempo)));
    }
  }
}

TEST_F(CdgCompanion, QuarterSpeedMakesFourTimesAsManyPackets) {
  const long n = 500;
  const std::vector<long> out = Indices(Convert(MakeCdg(Commands(size_t(n), Graphics)), -75));
  EXPECT_EQ(out.size(), size_t(4 * n - 3));
  for (long i = 0; i < n; ++i) {
    ASSERT_EQ(out[size_t(4 * i)], i);
    for (long k = 1; k <= 3 && i > 0; ++k) {
      EXPECT_EQ(out[size_t(4 * i - k)], -1);
    }
  }
}

TEST_F(CdgCompanion, WrittenBesideTheOutputOnlyWhenTheSourceHasOne) {
  fs::create_directories(dir + "/a");
  fs::create_directories(dir + "/b");
  WriteFile(dir + "/a/song.mp3", {});
  WriteFile(dir + "/a/plain.mp3", {});
  const Bytes companion = MakeCdg(Mixed(120));
  WriteFile(dir + "/a/song.cdg", companion);

  ConvertCdgFile(dir + "/a/plain.mp3", dir + "/b/plain.flac", 0);
  EXPECT_FALSE(fs::exists(dir + "/b/plain.cdg"));

  ConvertCdgFile(dir + "/a/song.mp3", dir + "/b/out.flac", 0);
  EXPECT_EQ(ReadFile(dir + "/b/out.cdg"), companion);
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir + "/a")) files += e.is_regular_file();
  EXPECT_EQ(files, 3u);

  // A companion named in capitals is found too; the output's is lower case.
  WriteFile(dir + "/a/LOUD.mp3", {});
  WriteFile(dir + "/a/LOUD.CDG", companion);
  ConvertCdgFile(dir + "/a/LOUD.mp3", dir + "/b/loud.m4a", 0);
  EXPECT_EQ(ReadFile(dir + "/b/loud.cdg"), companion);
}

TEST_F(CdgCompanion, NeverOverwritesTheSourceCompanion) {
  // Saved beside the source under the same base name: both companions are
  // one file, which must survive.
  WriteFile(dir + "/song.mp3", {});
  const Bytes companion = MakeCdg(Mixed(150));
  WriteFile(dir + "/song.cdg", companion);
  for (const int32_t tempo : {0, 10, -20, -75}) {
    ConvertCdgFile(dir + "/song.mp3", dir + "/song.flac", tempo);
    EXPECT_EQ(ReadFile(dir + "/song.cdg"), companion) << "TempoChange " << tempo;
  }
}

TEST_F(CdgCompanion, ImpossibleTempoWritesNothing) {
  WriteFile(dir + "/song.mp3", {});
  WriteFile(dir + "/song.cdg", MakeCdg(Mixed(10)));
  fs::create_directories(dir + "/out");
  for (const int32_t tempo : {-100, -150}) ConvertCdgFile(dir + "/song.mp3", dir + "/out/x.wav", tempo);
  EXPECT_FALSE(fs::exists(dir + "/out/x.cdg"));
}

}  // namespace
