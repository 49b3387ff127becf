// The save command without its window: names, the refusal to overwrite the
// source, the output format, and the preparation of the save's session.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/session.h"
#include "export/export_job.h"
#include "export/writers/audio_writer.h"
#include "core/messages.h"
#include "decode/audio_decoder.h"
#include "export/save_command.h"
#include "testaudio.h"
#include "message_capture.h"
#include "open_session.h"

namespace fs = std::filesystem;

namespace {

TEST(SaveCommand, OutputNameCarriesTheTypesExtension) {
  struct Case {
    const char* chosen;
    int32_t type;
    const char* expected;
  };
  const Case cases[] = {
      {"song.txt", 3, "song.flac"},
      {"song", 2, "song.wav"},
      {"/music/song.mp3", 4, "/music/song.m4a"},
      {"/music/song.MP3", 1, "/music/song.mp3"},
      {"/music/a.b.c", 1, "/music/a.b.mp3"},
      {"/music.v2/song", 3, "/music.v2/song.flac"},
      {"/music/song.wav", 2, "/music/song.wav"},
  };
  for (const Case& c : cases) EXPECT_EQ(OutputFileName(c.chosen, c.type), c.expected) << c.chosen;
}

TEST(SaveCommand, TablesOfTypesAndBitrates) {
  EXPECT_EQ(std::string(kOutputExtensions[0]) + kOutputExtensions[1] + kOutputExtensions[2] + kOutputExtensions[3],
            ".mp3.wav.flac.m4a");
  const int32_t offered[] = {96, 112, 128, 160, 192, 224, 256, 320};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(BitrateIndexOf(offered[i]), i + 1);
  for (int32_t other : {0, 64, 100, 129, 384}) EXPECT_EQ(BitrateIndexOf(other), 0) << other;

  struct Ext {
    const char* text;
    int32_t index;
  };
  const Ext exts[] = {{".mp3", 1}, {"wav", 2}, {".FLAC", 3}, {"m4a", 4}, {".ogg", 0}, {"", 0}};
  for (const Ext& e : exts) EXPECT_EQ(FormatIndexOfExtension(e.text), e.index) << e.text;
}

TEST(SaveCommand, RefusesToOverwriteTheSourceHoweverTyped) {
  const std::string dir = pwtest::TempDir("savename");
  const std::string source = dir + "/song.wav";
  pwtest::WriteWav(source, pwtest::Sine(440, 8000, 1, 800), 8000, 1, 16);
  fs::create_symlink(source, dir + "/link.wav");
  const std::string message = "You cannot overwrite the original file. Please choose a different file name.";

  struct Case {
    std::string chosen;
    int32_t type;
    bool refused;
  };
  const Case cases[] = {
      {dir + "/song.wav", 2, true},
      {dir + "/song", 2, true},          // typed without extension
      {dir + "/song.txt", 2, true},      // another extension, WAV forced
      {dir + "/./song.wav", 2, true},    // another spelling of the same file
      {dir + "/link", 2, true},          // a link to it
      {dir + "/song", 3, false},         // song.flac
      {dir + "/Song", 2, false},         // names are case-sensitive here
      {dir + "/other.wav", 2, false},
  };
  for (const Case& c : cases) {
    const auto result = CheckOutputName(c.chosen, c.type, source);
    EXPECT_EQ(result.has_value(), c.refused) << c.chosen;
    if (result) {
      EXPECT_EQ(*result, message);
    }
  }
}

TEST(SaveCommand, OutputFormatDepthRule) {
  struct Case {
    int32_t type;
    int32_t sourceBits;
    int expectedBits;
  };
  const Case cases[] = {
      {1, 24, 16}, {4, 24, 16}, {2, 24, 24}, {3, 24, 24},  // MP3, M4A always 16
      {2, 16, 16}, {3, 16, 16}, {2, 8, 16},  {3, 8, 16},   // 8 bits become 16
      {2, 32, 16}, {3, 32, 16}, {1, 16, 16}, {4, 8, 16},
  };
  for (const Case& c : cases) {
    const AudioFormat f = SavePcmFormat(c.type, 44100, 2, c.sourceBits);
    EXPECT_EQ(f.bitsPerSample, c.expectedBits) << c.type << " " << c.sourceBits;
    EXPECT_EQ(f.encoding, SampleEncoding::Integer);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.frameBytes, 2 * c.expectedBits / 8);
    EXPECT_EQ(f.bytesPerSecond, 44100u * f.frameBytes);
  }
}

// Counts what a job reports.
class NoProgress : public ExportProgress {
 public:
  int calls = 0;
  void reportProgress(int, int64_t) override { ++calls; }
  void reportEnd(const ExportOutcome&) override { ++calls; }
};

class SavePreparation : public ::testing::Test {
 protected:
  std::string dir = pwtest::TempDir("saveprep");
  pwtest::MessageCapture messages;  // what the files say is not the subject here

  void SetUp() override {
    pwtest::WriteWav(dir + "/in.wav", pwtest::Sine(440, 22050, 1, 22050), 22050, 1, 24);
  }
  std::unique_ptr<Session> Open(const std::string& path) { return pwtest::OpenSession(path); }
};

TEST_F(SavePreparation, RewindsEmptiesTheChainAndSetsUpTheJob) {
  // Leave the session mid-file with processed samples in its block buffer
  // and a loop set (half speed makes a block twice the request).
  std::unique_ptr<Session> session = Open(dir + "/in.wav");
  ASSERT_NE(session, nullptr);
  session->chain().setValues({.speedPercent = -50});
  ASSERT_TRUE(session->chain().loop().set(1000, 5000, 22050));
  std::vector<float> buf(1000);
  session->read(buf.data(), 1000);
  Session* prepared = session.get();

  const EffectValues values{.speedPercent = 10, .pitchSemitones = 2};
  NoProgress progress;
  std::unique_ptr<ExportJob> job =
      CreateExport(std::move(session), SaveRequest{dir + "/out.txt", 3, values}, &progress);
  EXPECT_EQ(prepared->positionMs(), 0);
  EXPECT_FALSE(prepared->chain().loop().active());  // a practice loop would never let the export end
  EXPECT_EQ(prepared->chain().values(), values);   // the request's values are rendered
  EXPECT_EQ(job->options().outName, dir + "/out.flac");
  EXPECT_EQ(job->options().formatIndex, 3);
  EXPECT_EQ(job->options().tempoChange, 10);  // speed +10 %
  EXPECT_EQ(job->options().sourceName, dir + "/in.wav");
  EXPECT_EQ(job->options().progress, &progress);
  EXPECT_EQ(job->options().format.pcm.bitsPerSample, 24);
  EXPECT_EQ(job->options().format.pcm.sampleRate, 22050u);
  EXPECT_EQ(job->options().format.pcm.channels, 1);
  EXPECT_FALSE(job->options().overwriteAllowed);  // only when the user asked
  EXPECT_EQ(job->options().fromMs, -1);
  EXPECT_EQ(job->options().toMs, -1);
  // The caller owns a job that has not begun: nothing reported, nothing written.
  EXPECT_EQ(progress.calls, 0);
  EXPECT_FALSE(fs::exists(dir + "/out.flac"));
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});

  SaveRequest confirmed{dir + "/out", 2, {}};
  confirmed.overwrite = true;
  EXPECT_TRUE(CreateExport(Open(dir + "/in.wav"), confirmed)->options().overwriteAllowed);
}

// A region of the source (the A–B loop saved alone, or --from/--to):
// exactly its frames, sample for sample through the neutral chain, with no
// companion; a loop set for practice is not in the way.
TEST_F(SavePreparation, ARegionSavesExactlyItsFrames) {
  std::vector<float> ramp(22050);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(int(i % 1000) - 500) / 1024.0f;
  pwtest::WriteWav(dir + "/ramp.wav", ramp, 22050, 1, 16);
  std::unique_ptr<Session> session = Open(dir + "/ramp.wav");
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->chain().loop().set(1000, 5000, 22050));

  SaveRequest request{dir + "/region.wav", 2, {}};
  request.fromMs = 250;  // frame 5512.5 → 5513
  request.toMs = 500;    // frame 11025
  std::unique_ptr<ExportJob> job = CreateExport(std::move(session), request);
  job->run();
  ASSERT_TRUE(job->outcome().ok()) << job->outcome().failure;

  AudioError error = AudioError::None;
  auto saved = AudioDecoder::open(dir + "/region.wav", &error);
  ASSERT_NE(saved, nullptr);
  ASSERT_EQ(saved->lengthFrames(), 11025 - 5513);
  std::vector<float> got(size_t(saved->lengthFrames()));
  ASSERT_EQ(saved->read(got.data(), saved->lengthFrames()), saved->lengthFrames());
  const std::vector<float> want = pwtest::Quantize(ramp, 16);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], want[5513 + i]) << i;
}

}  // namespace
