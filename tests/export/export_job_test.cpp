// The export job: bit-exact output at neutral sliders, the speed stage's
// tail, block boundaries, progress, cancel, a writer that cannot be built,
// and the self-freeing form the window uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audiodsp.h"
#include "player.h"
#include "effect_chain.h"
#include "export_job.h"
#include "audio_writer.h"
#include "messages.h"
#include "save_command.h"
#include "engine.h"
#include "message_capture.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;
constexpr uint32_t kBlockFrames = ExportJob::K / 4;  // frames per read request

// Every post and the one close, as the progress window would see them.
class RecordingProgress : public ExportProgress {
 public:
  std::function<void()> onFirstPost;
  std::vector<int> percents;
  int closes = 0;
  ExportOutcome outcome;

  void Post(int percent, int32_t) override {
    std::lock_guard lock(m);
    if (percents.empty() && onFirstPost) onFirstPost();
    percents.push_back(percent);
  }
  void Close(const ExportOutcome& o) override {
    std::lock_guard lock(m);
    ++closes;
    outcome = o;
    closed.notify_all();
  }
  void WaitClosed() {
    std::unique_lock lock(m);
    closed.wait(lock, [this] { return closes > 0; });
  }

 private:
  std::mutex m;
  std::condition_variable closed;
};

// Whatever a file decodes to, through our own reader.
std::vector<float> Decode(const std::string& path, int* bits = nullptr) {
  AudioFileReader reader(path);
  EXPECT_TRUE(reader.Opened) << path;
  if (bits) *bits = reader.SourceBits;
  std::vector<float> out;
  std::vector<float> buf(16384);
  for (;;) {
    const uint32_t n = reader.UnbufferedRead(buf.data(), uint32_t(buf.size() * 4));
    if (n == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + n / 4);
  }
  return out;
}

// Integer samples as the job writes them, back as float.
std::vector<float> AsWritten(const std::vector<float>& x, int bits) {
  std::vector<float> out(x.size());
  if (bits == 24) {
    std::vector<uint8_t> packed(x.size() * 3);
    convertFromFloat_SSE2(x.data(), packed.data(), CONVERT_S24LE, int(x.size()));
    for (size_t i = 0; i < x.size(); ++i) {
      int32_t v = int32_t(uint32_t(packed[3 * i]) << 8 | uint32_t(packed[3 * i + 1]) << 16 |
                          uint32_t(packed[3 * i + 2]) << 24) >> 8;
      out[i] = float(v) / 8388608.0f;
    }
  } else {
    std::vector<int16_t> pcm(x.size());
    convertFromFloat_SSE2(x.data(), pcm.data(), CONVERT_S16LE, int(x.size()));
    for (size_t i = 0; i < x.size(); ++i) out[i] = float(pcm[i]) / 32768.0f;
  }
  return out;
}

class JobTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture capture;
  std::vector<pw::Message>& shown = capture.seen;
  std::unique_ptr<Engine> engine;
  Player* player = nullptr;
  EffectChain* chain = nullptr;
  std::string dir = pwtest::TempDir("job");
  std::string sourcePath;
  std::vector<float> source;  // what the source decodes to

  void SetUp() override {
    engine = std::make_unique<Engine>();
    player = &engine->player;
    chain = &engine->chain;
  }
  void TearDown() override {
    engine.reset();
    EXPECT_TRUE(shown.empty()) << shown.front().text;  // nothing is shown from the job
  }

  void OpenSource(const std::vector<float>& x, int channels, int bits, const std::string& name = "in.wav") {
    sourcePath = dir + "/" + name;
    pwtest::WriteWav(sourcePath, x, kRate, channels, bits);
    source = pwtest::Quantize(x, bits);
    player->Open(sourcePath);
    ASSERT_TRUE(player->Loaded);
    ASSERT_FALSE(EffectChain::ValidateLoaded(*player).has_value());
    ASSERT_TRUE(chain->RebuildForFile(*player));
  }

  void SetSpeed(double position) { chain->SpeedBarPositionChanged(position); }
  void SetTempo(double position) { chain->TempoBarPositionChanged(position); }

  // The save command and the job, run to the end on this thread.
  ExportOutcome Save(const std::string& chosen, int32_t type, RecordingProgress& progress,
                     double speedPosition = 0, double tempoPosition = 0) {
    std::unique_ptr<ExportJob> job =
        CreateExport(*engine, SaveRequest{chosen, type, speedPosition, tempoPosition, 128});
    job->Progress = &progress;
    job->Run();
    EXPECT_EQ(progress.closes, 1);
    return job->Outcome();
  }

  // What playback hands out for the same chain and request size, the speed
  // stage's tail included. tailBytes: what came after the first short read.
  std::vector<float> PullLikePlayback(uint32_t* tailBytes) {
    PrepareForExport(*player, *chain);
    const uint32_t request = ExportJob::RequestBytes(player->Channels);
    std::vector<float> out, buf(request / 4);
    bool shortSeen = false;
    *tailBytes = 0;
    for (;;) {
      const uint32_t n = player->Reader->Read(buf.data(), request);
      if (n == 0) break;
      if (shortSeen) *tailBytes += n;
      if (n < request) shortSeen = true;
      out.insert(out.end(), buf.begin(), buf.begin() + n / 4);
    }
    return out;
  }
};

TEST_F(JobTest, WavAndFlacAtNeutralAreTheDecodedSourceBitForBit) {
  struct Case {
    int bits, channels, type;
  };
  const Case cases[] = {{16, 2, 2}, {24, 1, 2}, {16, 1, 3}, {24, 2, 3}, {8, 2, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.channels << " ch, type " << c.type);
    OpenSource(pwtest::Sine(997, kRate, c.channels, size_t(kRate * 1.1), 0.7), c.channels, c.bits);
    RecordingProgress progress;
    const ExportOutcome outcome = Save(dir + "/out", c.type, progress);
    EXPECT_TRUE(outcome.ok()) << outcome.failure;
    const std::string out = dir + (c.type == 2 ? "/out.wav" : "/out.flac");
    int bits = 0;
    const std::vector<float> decoded = Decode(out, &bits);
    EXPECT_EQ(bits, c.bits == 24 ? 24 : 16);
    ASSERT_EQ(decoded.size(), source.size());
    EXPECT_TRUE(decoded == source);
    EXPECT_EQ(player->State.load(), 0);
    EXPECT_EQ(player->GetPositionMs(), 0u);
  }
}

TEST_F(JobTest, Mp3AndM4aThroughOurReaderKeepTheLengthAndMatchTheSource) {
  const size_t frames = size_t(kRate * 1.5);
  OpenSource(pwtest::Harmonic(kRate, 2, frames), 2, 16);
  const struct { int32_t type; const char* ext; size_t slack; } cases[] = {
      // MP3 carries no gapless header here: the decoder's delay (1105) and
      // the last frame's padding come along.
      {1, "mp3", 1105 + 1152},
      // M4A describes its priming and length: it decodes to the source's length.
      {4, "m4a", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ext);
    RecordingProgress progress;
    const ExportOutcome outcome = Save(dir + "/coded", c.type, progress);
    ASSERT_TRUE(outcome.ok()) << outcome.failure;
    const std::vector<float> decoded = Decode(dir + "/coded." + std::string(c.ext));
    const size_t got = decoded.size() / 2;
    EXPECT_GE(got, frames);
    EXPECT_LE(got, frames + c.slack);
    size_t lag = 0;
    EXPECT_GE(pwtest::ResidualDb(source, decoded, 2, 3000, &lag), 25.0);
    if (c.slack == 0) {
      EXPECT_EQ(lag, 0u);
    }
  }
}

TEST_F(JobTest, SpeedTailIsWrittenAndHalfSpeedDoublesTheLength) {
  OpenSource(pwtest::Sine(300, kRate, 2, size_t(kRate * 1.3)), 2, 16);
  SetSpeed(-1000);  // -50 %
  RecordingProgress progress;
  const ExportOutcome outcome = Save(dir + "/slow.wav", 2, progress, -1000, 0);
  ASSERT_TRUE(outcome.ok()) << outcome.failure;
  const std::vector<float> decoded = Decode(dir + "/slow.wav");
  EXPECT_NEAR(double(decoded.size()), 2.0 * double(source.size()), 16.0);

  uint32_t tail = 0;
  const std::vector<float> played = PullLikePlayback(&tail);
  EXPECT_GT(tail, 0u);  // the chain does deliver a tail after the last short read
  ASSERT_EQ(decoded.size(), played.size());
  EXPECT_TRUE(decoded == AsWritten(played, 16));
}

TEST_F(JobTest, BlockBoundariesAndProgress) {
  struct Case {
    const char* name;
    size_t frames;
    double speed, tempo;
  };
  const Case cases[] = {
      {"exact multiple of the request", 3 * kBlockFrames, 0, 0},
      {"one frame past a multiple", 3 * kBlockFrames + 1, 0, 0},
      {"shorter than one request (2 ms)", 100, 0, 0},
      {"speed +100 %", 2 * kBlockFrames + 77, 1000, 0},
      {"tempo -50 %", 2 * kBlockFrames + 77, 0, -1200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenSource(pwtest::Sine(440, kRate, 2, c.frames), 2, 16);
    SetSpeed(c.speed);
    SetTempo(c.tempo);
    RecordingProgress progress;
    const ExportOutcome outcome = Save(dir + "/b.wav", 2, progress, c.speed, c.tempo);
    ASSERT_TRUE(outcome.ok()) << outcome.failure;
    ASSERT_FALSE(progress.percents.empty());
    EXPECT_EQ(progress.percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.percents.begin(), progress.percents.end()));
    for (int p : progress.percents) EXPECT_TRUE(p >= 0 && p <= 100) << p;

    const std::vector<float> decoded = Decode(dir + "/b.wav");
    if (c.speed == 0 && c.tempo == 0) {
      EXPECT_TRUE(decoded == source);
      // One post per read (the full ones, then a short or empty one) and
      // one for the remainder.
      EXPECT_EQ(progress.percents.size(), c.frames / kBlockFrames + 2);
    } else {
      const double factor = c.speed != 0 ? 0.5 : 2.0;
      EXPECT_NEAR(double(decoded.size()) / 2, double(c.frames) * factor, 64.0);
    }
    SetSpeed(0);
    SetTempo(0);
  }
}

TEST_F(JobTest, CancelDeletesTheOutputAndWritesNoCompanion) {
  OpenSource(pwtest::Sine(440, kRate, 2, size_t(kRate * 1.5)), 2, 16, "song.wav");
  {  // a companion beside the source: 50 packets of graphics
    std::ofstream cdg(dir + "/song.cdg", std::ios::binary);
    std::vector<char> packet(24, 0);
    packet[0] = 9;
    for (int i = 0; i < 50; ++i) cdg.write(packet.data(), 24);
  }

  // Not cancelled: the companion follows the output.
  RecordingProgress full;
  ASSERT_TRUE(Save(dir + "/kept.flac", 3, full).ok());
  EXPECT_TRUE(fs::exists(dir + "/kept.flac"));
  EXPECT_TRUE(fs::exists(dir + "/kept.cdg"));

  // Cancelled from the first progress post, the job on its own thread.
  RecordingProgress progress;
  std::unique_ptr<ExportJob> job = CreateExport(*engine, SaveRequest{dir + "/gone.flac", 3, 0, 0, 128});
  progress.onFirstPost = [&job] { job->Cancel(); };
  job->Progress = &progress;
  job->Start();
  job->Wait();
  EXPECT_TRUE(job->Outcome().cancelled);
  EXPECT_TRUE(job->Outcome().failure.empty());
  EXPECT_EQ(progress.closes, 1);
  EXPECT_TRUE(progress.outcome.cancelled);
  // The loop stopped before its second read: the first post, the remainder's.
  EXPECT_EQ(progress.percents.size(), 2u);
  EXPECT_FALSE(fs::exists(dir + "/gone.flac"));
  EXPECT_FALSE(fs::exists(dir + "/gone.cdg"));
  EXPECT_EQ(player->State.load(), 0);
  EXPECT_EQ(player->GetPositionMs(), 0u);
}

TEST_F(JobTest, AWriterThatCannotBeBuiltEndsTheJobWithItsMessage) {
  OpenSource(pwtest::Sine(440, kRate, 1, kRate / 2), 1, 16);
  const std::string notAFolder = dir + "/plain-file";
  std::ofstream(notAFolder) << "x";
  struct Case {
    int type;
    std::string message;  // the writer's text, or its start
  };
  const Case cases[] = {
      {1, "Cannot create output file"},
      {2, "Cannot create file \"" + notAFolder + "/out.wav\"."},
      {3, "Can not initialize FLAC encoder"},
      {4, "Unable to create MP4 file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    std::unique_ptr<ExportJob> job = CreateExport(*engine, SaveRequest{notAFolder + "/out", c.type, 0, 0, 128});
    player->SetPositionMs(300);  // the job's clean-up must bring it back
    RecordingProgress progress;
    job->Progress = &progress;
    job->Start();
    job->Wait();
    const ExportOutcome& outcome = job->Outcome();
    EXPECT_FALSE(outcome.cancelled);
    EXPECT_EQ(outcome.failure.substr(0, c.message.size()), c.message);
    EXPECT_EQ(progress.closes, 1);
    EXPECT_EQ(progress.outcome.failure, outcome.failure);
    EXPECT_TRUE(progress.percents.empty());
    EXPECT_EQ(player->State.load(), 0);
    EXPECT_EQ(player->GetPositionMs(), 0u);
  }
}

TEST_F(JobTest, OutputFormatConversionAndByteCountAgree) {
  // 24-bit source: WAV keeps 24 bits, MP3 gets 16; the WAV writer's byte
  // count is what the job handed over.
  OpenSource(pwtest::Sine(440, kRate, 2, kRate / 2), 2, 24);
  for (int type : {2, 1}) {
    SCOPED_TRACE(type);
    std::unique_ptr<ExportJob> job = CreateExport(*engine, SaveRequest{dir + "/depth", type, 0, 0, 128});
    EXPECT_EQ(job->Format.pcm.bitsPerSample, type == 2 ? 24 : 16);
    job->Run();
    ASSERT_TRUE(job->Outcome().ok()) << job->Outcome().failure;
    if (type == 2) {
      EXPECT_EQ(job->TotalWritten.load(), int32_t(source.size() * 3));
      EXPECT_EQ(fs::file_size(dir + "/depth.wav"), source.size() * 3 + 80);  // extensible header
    } else {
      EXPECT_GT(job->TotalWritten.load(), 0);
      // The MP3 carries the encoder's delay and padding (no Info header).
      const std::vector<float> decoded = Decode(dir + "/depth.mp3");
      EXPECT_GE(decoded.size(), source.size());
      EXPECT_LE(decoded.size(), source.size() + 2 * 4096);
    }
  }
}

TEST_F(JobTest, AJobStartedFreeOnTerminateReportsAndFreesItself) {
  OpenSource(pwtest::Sine(440, kRate, 2, kRate / 2), 2, 16);
  RecordingProgress progress;
  std::unique_ptr<ExportJob> job = CreateExport(*engine, SaveRequest{dir + "/free.wav", 2, 0, 0, 128});
  job->Progress = &progress;
  job->FreeOnTerminate = true;
  job.release()->Start();
  progress.WaitClosed();
  EXPECT_TRUE(progress.outcome.ok());
  EXPECT_EQ(progress.percents.back(), 100);
  EXPECT_TRUE(Decode(dir + "/free.wav") == source);
}

}  // namespace
