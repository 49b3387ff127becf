// The karaoke graphics companion written beside a saved file: copied whole
// at the source tempo, empty packets dropped when faster (never graphics),
// empty packets inserted when slower, by the given intervals down to half
// speed and in time with the audio beyond it; where it is looked for (any
// case of ".cdg") and written; never in the place of the source's own; a
// companion that cannot be written is a warning beside a saved output.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "export/cdg_companion.h"
#include "engine/session.h"
#include "export/export_job.h"
#include "message_capture.h"
#include "export/save_command.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kPacketBytes = 24;
constexpr uint8_t kGraphicsCommand = 9;

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
    for (size_t k = 4; k < kPacketBytes; ++k) out.push_back(uint8_t(i * 7 + k));
  }
  return out;
}

// Source index of each output packet, -1 for an inserted empty packet.
std::vector<long> Indices(const Bytes& cdg) {
  std::vector<long> out;
  for (size_t at = 0; at + kPacketBytes <= cdg.size(); at += kPacketBytes) {
    const uint8_t* p = &cdg[at];
    bool zero = true;
    for (size_t k = 0; k < kPacketBytes; ++k) zero = zero && p[k] == 0;
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
  for (size_t i = 0; i < n; i += 3) c[i] = kGraphicsCommand;
  return c;
}

class CdgCompanion : public ::testing::Test {
 protected:
  void SetUp() override { dir = pwtest::TempDir("cdg"); }

  // Writes song.mp3 (empty) with the companion, converts it for out.flac
  // in another folder and returns the output companion's packets.
  Bytes Convert(const Bytes& companion, int32_t tempoChange) {
    fs::create_directories(dir + "/in");
    fs::create_directories(dir + "/out");
    WriteFile(dir + "/in/song.mp3", {});
    WriteFile(dir + "/in/song.cdg", companion);
    fs::remove(dir + "/out/out.cdg");
    const std::string found = FindCompanion(dir + "/in/song.mp3");
    EXPECT_EQ(found, dir + "/in/song.cdg");
    const auto problem = WriteScaledCompanion(found, CompanionName(dir + "/out/out.flac"), tempoChange);
    EXPECT_FALSE(problem.has_value()) << *problem;
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
        graphicsKept += commands[size_t(i)] == kGraphicsCommand;
      }
      size_t graphics = 0;
      for (uint8_t c : commands) graphics += c == kGraphicsCommand;
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
  std::vector<uint8_t> commands = Commands(100, kGraphicsCommand);
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
  EXPECT_TRUE(std::equal(source.begin(), source.begin() + kPacketBytes, result.begin()));
  EXPECT_TRUE(std::equal(source.begin() + kPacketBytes, source.begin() + 2 * kPacketBytes, result.begin() + 2 * kPacketBytes));
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
  const std::vector<long> out = Indices(Convert(MakeCdg(Commands(size_t(n), kGraphicsCommand)), -75));
  EXPECT_EQ(out.size(), size_t(4 * n - 3));
  for (long i = 0; i < n; ++i) {
    ASSERT_EQ(out[size_t(4 * i)], i);
    for (long k = 1; k <= 3 && i > 0; ++k) {
      EXPECT_EQ(out[size_t(4 * i - k)], -1);
    }
  }
}

TEST_F(CdgCompanion, FoundInAnyCaseLowerCaseFirst) {
  WriteFile(dir + "/plain.mp3", {});
  EXPECT_EQ(FindCompanion(dir + "/plain.mp3"), "");
  struct Case {
    std::vector<std::string> present;  // companions beside song.mp3
    std::string found;
  };
  const Case cases[] = {
      {{"song.cdg"}, "song.cdg"},
      {{"song.CDG"}, "song.CDG"},
      {{"song.Cdg"}, "song.Cdg"},
      {{"song.cDg"}, "song.cDg"},
      {{"song.CDG", "song.cdg"}, "song.cdg"},
      {{"song.Cdg", "song.CDG"}, "song.CDG"},
      {{"song.cdG", "song.Cdg"}, "song.Cdg"},  // byte order: 'C' before 'c'
  };
  for (const Case& c : cases) {
    const std::string folder = dir + "/case" + std::to_string(&c - cases);
    fs::create_directories(folder);
    WriteFile(folder + "/song.mp3", {});
    for (const std::string& name : c.present) WriteFile(folder + "/" + name, MakeCdg(Mixed(3)));
    EXPECT_EQ(FindCompanion(folder + "/song.mp3"), folder + "/" + c.found);
  }
  // Only regular files count, and only the source's own base name.
  fs::create_directories(dir + "/d/song.cdg");
  WriteFile(dir + "/d/song.mp3", {});
  WriteFile(dir + "/d/song2.cdg", MakeCdg(Mixed(3)));
  EXPECT_EQ(FindCompanion(dir + "/d/song.mp3"), "");
}

TEST_F(CdgCompanion, SourceCompanionUnderAnyCaseOfTheName) {
  fs::create_directories(dir + "/other");
  WriteFile(dir + "/Song.CDG", MakeCdg(Mixed(3)));
  struct Case {
    std::string output;
    bool same;
  };
  const Case cases[] = {
      {dir + "/Song.CDG", true},
      {dir + "/Song.cdg", true},
      {dir + "/song.cdg", true},
      {dir + "/./SONG.cdg", true},
      {dir + "/other/Song.cdg", false},
      {dir + "/Song2.cdg", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSourceCompanion(dir + "/Song.CDG", c.output), c.same) << c.output;
  EXPECT_FALSE(IsSourceCompanion("", dir + "/Song.cdg"));
}

TEST_F(CdgCompanion, ImpossibleTempoWritesNothing) {
  WriteFile(dir + "/song.cdg", MakeCdg(Mixed(10)));
  for (const int32_t tempo : {-100, -150}) {
    const auto problem = WriteScaledCompanion(dir + "/song.cdg", dir + "/x.cdg", tempo);
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find(dir + "/x.cdg"), std::string::npos) << *problem;
  }
  EXPECT_FALSE(fs::exists(dir + "/x.cdg"));
}

TEST_F(CdgCompanion, FailuresNameTheFileAndTheReason) {
  const auto missing = WriteScaledCompanion(dir + "/none.cdg", dir + "/x.cdg", 0);
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(*missing, "Cannot read \"" + dir + "/none.cdg\": No such file or directory");
  WriteFile(dir + "/song.cdg", MakeCdg(Mixed(10)));
  const auto nowhere = WriteScaledCompanion(dir + "/song.cdg", dir + "/no/x.cdg", 0);
  ASSERT_TRUE(nowhere.has_value());
  EXPECT_EQ(*nowhere, "Cannot write \"" + dir + "/no/x.cdg\": No such file or directory");
}

// ---- The companion as part of a save ------------------------------------------

// Files in folder whose names contain `part`.
std::vector<std::string> Named(const std::string& folder, const std::string& part) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().find(part) != std::string::npos) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class CdgSave : public ::testing::Test {
 protected:
  pwtest::MessageCapture capture;  // nothing may be shown from a job
  std::string dir = pwtest::TempDir("cdgsave");
  Bytes companion = MakeCdg(Mixed(120));

  void TearDown() override { EXPECT_TRUE(capture.seen.empty()) << capture.seen.front().text; }

  // A short WAV source, with a companion named companionName beside it
  // unless that is empty.
  std::string Source(const std::string& folder, const std::string& name, const std::string& companionName) {
    fs::create_directories(folder);
    const std::string path = folder + "/" + name;
    pwtest::WriteWav(path, pwtest::Sine(440, 22050, 1, 2205), 22050, 1, 16);
    if (!companionName.empty()) WriteFile(folder + "/" + companionName, companion);
    return path;
  }

  ExportOutcome Save(const std::string& source, const std::string& chosen, int32_t type, bool overwrite = false) {
    std::string problem;
    std::unique_ptr<Session> session = Session::open(source, &problem);
    EXPECT_NE(session, nullptr) << source << ": " << problem;
    if (!session) {
      ExportOutcome failed;
      failed.failure = problem;
      return failed;
    }
    std::unique_ptr<ExportJob> job = CreateExport(std::move(session), SaveRequest{chosen, type, {}, 128, overwrite});
    job->run();
    return job->outcome();
  }
};

TEST_F(CdgSave, WrittenBesideTheOutputOnlyWhenTheSourceHasOne) {
  const std::string plain = Source(dir + "/a", "plain.wav", "");
  const std::string song = Source(dir + "/a", "song.wav", "song.cdg");
  fs::create_directories(dir + "/b");

  ExportOutcome outcome = Save(plain, dir + "/b/plain.flac", 3);
  ASSERT_TRUE(outcome.ok()) << outcome.failure;
  EXPECT_FALSE(outcome.companionMissing);
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_FALSE(fs::exists(dir + "/b/plain.cdg"));

  outcome = Save(song, dir + "/b/out.flac", 3);
  ASSERT_TRUE(outcome.ok()) << outcome.failure;
  EXPECT_FALSE(outcome.companionMissing);
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_EQ(ReadFile(dir + "/b/out.cdg"), companion);
  EXPECT_EQ(Named(dir + "/a", "").size(), 3u);  // nothing new beside the source
  EXPECT_EQ(Named(dir + "/b", ".pitchwell-"), std::vector<std::string>{});

  // Named in capitals, or mixed: found; the output's is lower case.
  for (const std::string name : {"LOUD", "Mixed"}) {
    const std::string loud = Source(dir + "/a", name + ".wav", name + (name == "LOUD" ? ".CDG" : ".Cdg"));
    outcome = Save(loud, dir + "/b/" + name + ".m4a", 4);
    ASSERT_TRUE(outcome.ok()) << outcome.failure;
    EXPECT_EQ(ReadFile(dir + "/b/" + name + ".cdg"), companion) << name;
  }
}

TEST_F(CdgSave, NeverTakesThePlaceOfTheSourcesOwn) {
  // Saved beside the source under the same base name: the output's
  // companion would be the source's, or stand beside it in another case
  // and be found instead of it next time. Not written; the audio is.
  struct Case {
    std::string source, companionName, chosen;
    int32_t type;
  };
  const Case cases[] = {
      {"Song.wav", "Song.CDG", "Song.m4a", 4},
      {"song.wav", "song.cdg", "song.flac", 3},
      {"Tune.wav", "Tune.Cdg", "TUNE.mp3", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chosen);
    const std::string folder = dir + "/" + c.chosen;
    const std::string source = Source(folder, c.source, c.companionName);
    const ExportOutcome outcome = Save(source, folder + "/" + c.chosen, c.type);
    ASSERT_TRUE(outcome.ok()) << outcome.failure;
    EXPECT_TRUE(fs::exists(folder + "/" + c.chosen));
    EXPECT_TRUE(outcome.companionMissing);
    ASSERT_EQ(outcome.messages.size(), 1u) << outcome.messages[0].text;
    EXPECT_EQ(outcome.messages[0].kind, pw::MessageKind::Warning);
    EXPECT_EQ(outcome.messages[0].text, "The graphics file was not written: \"" +
                                            CompanionName(folder + "/" + c.chosen) +
                                            "\" would take the place of the source's own \"" + folder + "/" +
                                            c.companionName + "\"");
    EXPECT_EQ(ReadFile(folder + "/" + c.companionName), companion);
    // The source's companion is still the only one.
    std::vector<std::string> companions;
    for (const std::string& name : Named(folder, "")) {
      std::string ext = name.substr(name.size() - 4);
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char x) { return char(std::tolower(x)); });
      if (ext == ".cdg") companions.push_back(name);
    }
    EXPECT_EQ(companions, std::vector<std::string>{c.companionName});
  }
}

TEST_F(CdgSave, ACompanionThatCannotBeWrittenIsAWarningBesideTheSavedOutput) {
  // The file size limit lets the small audio through but not the larger
  // companion: a write failure of the system's own.
  companion = MakeCdg(Mixed(4000));  // 96 000 bytes
  const std::string source = Source(dir + "/in", "song.wav", "song.cdg");
  fs::create_directories(dir + "/out");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 32768;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const ExportOutcome outcome = Save(source, dir + "/out/out.wav", 2);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  ASSERT_TRUE(outcome.ok()) << outcome.failure;
  EXPECT_TRUE(fs::exists(dir + "/out/out.wav"));
  EXPECT_TRUE(outcome.companionMissing);
  ASSERT_EQ(outcome.messages.size(), 1u);
  EXPECT_EQ(outcome.messages[0].kind, pw::MessageKind::Warning);
  EXPECT_EQ(outcome.messages[0].text,
            "The graphics file was not written: Cannot write \"" + dir + "/out/out.cdg\": File too large");
  EXPECT_EQ(Named(dir + "/out", ""), std::vector<std::string>{"out.wav"});
}

TEST_F(CdgSave, AnExistingCompanionIsReplacedOnlyWithPermission) {
  const std::string source = Source(dir + "/in", "song.wav", "song.cdg");
  fs::create_directories(dir + "/out");
  const Bytes older = MakeCdg(Commands(7, 1));
  WriteFile(dir + "/out/out.cdg", older);

  const ExportOutcome refused = Save(source, dir + "/out/out.flac", 3);
  EXPECT_EQ(refused.failure, "Cannot write \"" + dir + "/out/out.cdg\": the file already exists\n\"" + dir +
                                "/out/out.flac\" was not saved.");
  EXPECT_TRUE(refused.outputExists);
  EXPECT_FALSE(fs::exists(dir + "/out/out.flac"));
  EXPECT_EQ(ReadFile(dir + "/out/out.cdg"), older);

  const ExportOutcome replaced = Save(source, dir + "/out/out.flac", 3, true);
  ASSERT_TRUE(replaced.ok()) << replaced.failure;
  EXPECT_EQ(ReadFile(dir + "/out/out.cdg"), companion);
  EXPECT_EQ(Named(dir + "/out", ""), (std::vector<std::string>{"out.cdg", "out.flac"}));
}

}  // namespace
