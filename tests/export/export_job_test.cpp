// The export job: bit-exact output at neutral sliders, the speed stage's
// tail, block boundaries, progress, cancel, outputs that cannot be created
// or written, an existing output kept until the end, names that are not
// regular files, a damaged source, jobs running side by side, and the owner
// destroying a started job once it has reported its end, as the window does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "dsp/pcm_convert.h"
#include "engine/effect_chain.h"
#include "export/export_job.h"
#include "export/writers/audio_writer.h"
#include "core/messages.h"
#include "export/writers/output_file.h"
#include "export/save_command.h"
#include "export/tags.h"
#include "engine/session.h"
#include "message_capture.h"
#include "testaudio.h"
#include "open_session.h"

namespace fs = std::filesystem;

namespace {

// A 32-bit counter would wrap past 2 GiB of output.
static_assert(std::is_same_v<decltype(std::declval<const ExportJob&>().totalWrittenBytes()), int64_t>);

constexpr int kRate = 44100;
constexpr uint32_t kBlockFrames = ExportJob::kBlockFrames;  // frames per read request

// Every post and the one close, as the progress window would see them.
class RecordingProgress : public ExportProgress {
 public:
  std::function<void()> onFirstPost;
  std::vector<int> percents;
  int closes = 0;
  ExportOutcome outcome;

  void reportProgress(int percent, int64_t) override {
    std::lock_guard lock(m);
    if (percents.empty() && onFirstPost) onFirstPost();
    percents.push_back(percent);
  }
  void reportEnd(const ExportOutcome& o) override {
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
  EXPECT_TRUE(reader.opened()) << path;
  if (bits) *bits = reader.saveBits();
  std::vector<float> out;
  const size_t channels = size_t(std::max(reader.channels(), 1));
  std::vector<float> buf(4096 * channels);
  for (;;) {
    const int64_t n = reader.read(buf.data(), 4096);
    if (n == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + long(size_t(n) * channels));
  }
  return out;
}

// Integer samples as the job writes them, back as float.
std::vector<float> AsWritten(const std::vector<float>& x, int bits) {
  std::vector<float> out(x.size());
  if (bits == 24) {
    std::vector<uint8_t> packed(x.size() * 3);
    convertToPcm(x.data(), packed.data(), PcmFormat::S24, int(x.size()));
    for (size_t i = 0; i < x.size(); ++i) {
      int32_t v = int32_t(uint32_t(packed[3 * i]) << 8 | uint32_t(packed[3 * i + 1]) << 16 |
                          uint32_t(packed[3 * i + 2]) << 24) >> 8;
      out[i] = float(v) / 8388608.0f;
    }
  } else {
    std::vector<int16_t> pcm(x.size());
    convertToPcm(x.data(), pcm.data(), PcmFormat::S16, int(x.size()));
    for (size_t i = 0; i < x.size(); ++i) out[i] = float(pcm[i]) / 32768.0f;
  }
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every output file fails as a full disk would after `bytes`, while it lives.
struct DiskFullAfter {
  explicit DiskFullAfter(int64_t bytes) { OutputFile::failAfterBytesForTesting(bytes, ENOSPC); }
  ~DiskFullAfter() { OutputFile::failAfterBytesForTesting(-1, 0); }
};

class JobTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture capture;
  std::vector<pw::Message>& shown = capture.seen;
  EffectValues values;  // what the saves render
  std::string dir = pwtest::TempDir("job");
  std::string sourcePath;
  std::vector<float> source;  // what the source decodes to

  void TearDown() override {
    EXPECT_TRUE(shown.empty()) << shown.front().text;  // nothing is shown from the job
  }

  void OpenSource(const std::vector<float>& x, int channels, int bits, const std::string& name = "in.wav") {
    sourcePath = dir + "/" + name;
    pwtest::WriteWav(sourcePath, x, kRate, channels, bits);
    source = pwtest::Quantize(x, bits);
    values = {};
  }

  // The save command for the source with the fixture's values.
  std::unique_ptr<ExportJob> Export(const std::string& chosen, int32_t type, bool overwrite = false,
                                    ExportProgress* progress = nullptr) {
    std::unique_ptr<Session> session = pwtest::OpenSession(sourcePath);
    if (!session) return nullptr;
    return CreateExport(std::move(session), SaveRequest{chosen, type, values, 128, overwrite}, progress);
  }

  // The save command and the job, run to the end on this thread. The tests
  // save over their own earlier outputs.
  ExportOutcome Save(const std::string& chosen, int32_t type, RecordingProgress& progress) {
    std::unique_ptr<ExportJob> job = Export(chosen, type, true, &progress);
    if (!job) {
      ExportOutcome failed;
      failed.failure = "no session";
      return failed;
    }
    job->run();
    EXPECT_EQ(progress.closes, 1);
    return job->outcome();
  }

  // What playback hands out for the same values, read in the job's blocks.
  std::vector<float> PullLikePlayback() {
    std::unique_ptr<Session> session = pwtest::OpenSession(sourcePath);
    if (!session) return {};
    session->chain().setValues(values);
    const size_t channels = size_t(session->channels());
    const size_t frames = ExportJob::requestBytes(uint32_t(channels)) / 4 / channels;
    std::vector<float> out, buf(frames * channels);
    while (const size_t n = session->read(buf.data(), frames)) out.insert(out.end(), buf.begin(), buf.begin() + long(n * channels));
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
  values.speedPercent = -50;
  RecordingProgress progress;
  const ExportOutcome outcome = Save(dir + "/slow.wav", 2, progress);
  ASSERT_TRUE(outcome.ok()) << outcome.failure;
  const std::vector<float> decoded = Decode(dir + "/slow.wav");
  EXPECT_NEAR(double(decoded.size()), 2.0 * double(source.size()), 16.0);

  const std::vector<float> played = PullLikePlayback();
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
      {"speed +100 %", 2 * kBlockFrames + 77, 100, 0},
      {"tempo -50 %", 2 * kBlockFrames + 77, 0, -50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenSource(pwtest::Sine(440, kRate, 2, c.frames), 2, 16);
    values.speedPercent = c.speed;
    values.tempoPercent = c.tempo;
    RecordingProgress progress;
    const ExportOutcome outcome = Save(dir + "/b.wav", 2, progress);
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
  }
}

// Each format's save keeps its own ceiling in true peak: lossless files
// −0.3 dBTP, lossy ones −1 dBTP before encoding. A full-scale low chord
// under the largest bass boost would otherwise clip on about half of its
// samples.
TEST_F(JobTest, EachFormatSavesUnderItsCeiling) {
  struct Case {
    const char* ext;
    int32_t type;
    int sourceBits;
    double ceilingDb;
    // Above the ceiling that the decoded file may reach: rounding to the
    // stored integers (well under 0.001 dB at these levels) for lossless
    // files; for lossy ones the codec's own overshoot, which the 1 dB of
    // room before full scale is there for.
    double toleranceDb;
  };
  const Case cases[] = {
      {"wav", FileTypeWav, 16, -0.3, 0.001},
      {"flac", FileTypeFlac, 24, -0.3, 0.001},
      {"mp3", FileTypeMp3, 16, -1.0, 0.5},
      {"m4a", FileTypeM4a, 16, -1.0, 0.5},
  };
  std::vector<float> chord(size_t(kRate) * 2 * 2);
  for (size_t i = 0; i < chord.size() / 2; ++i) {
    const double t = double(i) / kRate;
    const double v = 0.5 * std::sin(2 * M_PI * 55 * t) + 0.3 * std::sin(2 * M_PI * 82.5 * t) +
                     0.2 * std::sin(2 * M_PI * 440 * t);
    chord[i * 2] = float(v);
    chord[i * 2 + 1] = float(0.9 * v);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ext);
    EXPECT_EQ(SaveCeilingDb(c.type), c.ceilingDb);
    OpenSource(chord, 2, c.sourceBits);
    values.bassPercent = 100;
    RecordingProgress progress;
    const ExportOutcome outcome = Save(dir + "/loud", c.type, progress);
    ASSERT_TRUE(outcome.ok()) << outcome.failure;
    const std::vector<float> decoded = Decode(dir + "/loud." + std::string(c.ext));
    ASSERT_GT(decoded.size(), chord.size() / 2);
    const double tp = pwtest::TruePeakDb(decoded.data(), decoded.size() / 2, 2);
    EXPECT_LE(tp, c.ceilingDb + c.toleranceDb);
    EXPECT_GE(tp, c.ceilingDb - 1.0);
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
  std::unique_ptr<ExportJob> job = Export(dir + "/gone.flac", 3, false, &progress);
  progress.onFirstPost = [&job] { job->cancel(); };
  job->start();
  job->wait();
  EXPECT_TRUE(job->outcome().cancelled);
  EXPECT_TRUE(job->outcome().failure.empty());
  EXPECT_EQ(progress.closes, 1);
  EXPECT_TRUE(progress.outcome.cancelled);
  // The loop stopped before its second read: the first post, the remainder's.
  EXPECT_EQ(progress.percents.size(), 2u);
  EXPECT_FALSE(fs::exists(dir + "/gone.flac"));
  EXPECT_FALSE(fs::exists(dir + "/gone.cdg"));
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
}

TEST_F(JobTest, AnOutputThatCannotBeCreatedEndsTheJobWithOneMessage) {
  OpenSource(pwtest::Sine(440, kRate, 1, kRate / 2), 1, 16);
  const std::string notAFolder = dir + "/plain-file";
  std::ofstream(notAFolder) << "x";
  const char* const extensions[] = {"", ".mp3", ".wav", ".flac", ".m4a"};
  struct Case {
    std::string folder;
    std::string reason;
  };
  const Case cases[] = {
      {notAFolder, "Not a directory"},
      {dir + "/missing", "No such file or directory"},
  };
  for (const Case& c : cases) {
    for (int type = 1; type <= 4; ++type) {
      SCOPED_TRACE(c.folder + " " + std::to_string(type));
      RecordingProgress progress;
      std::unique_ptr<ExportJob> job = Export(c.folder + "/out", type, false, &progress);
      job->start();
      job->wait();
      const ExportOutcome& outcome = job->outcome();
      EXPECT_FALSE(outcome.cancelled);
      EXPECT_FALSE(outcome.outputExists);
      EXPECT_EQ(outcome.failure, "Cannot write \"" + c.folder + "/out" + extensions[type] + "\": " + c.reason);
      EXPECT_TRUE(outcome.messages.empty());
      EXPECT_EQ(progress.closes, 1);
      EXPECT_EQ(progress.outcome.failure, outcome.failure);
      EXPECT_TRUE(progress.percents.empty());
    }
  }
}

TEST_F(JobTest, AnExistingOutputIsReplacedOnlyWithPermissionAndOnlyAtTheEnd) {
  OpenSource(pwtest::Sine(440, kRate, 2, size_t(kRate * 1.5)), 2, 16);
  const std::string out = dir + "/keep.wav";
  const std::string older = "an earlier file the user cares about";
  std::ofstream(out) << older;
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);

  // Not allowed: refused before anything is read or written.
  {
    RecordingProgress progress;
    std::unique_ptr<ExportJob> job = Export(out, 2, false, &progress);
    job->run();
    EXPECT_EQ(job->outcome().failure, "Cannot write \"" + out + "\": the file already exists");
    EXPECT_TRUE(job->outcome().outputExists);
    EXPECT_TRUE(progress.percents.empty());
  }
  EXPECT_EQ(ReadAll(out), older);

  // Allowed, then cancelled mid-way: the old file is as it was.
  {
    RecordingProgress progress;
    std::unique_ptr<ExportJob> job = Export(out, 2, true, &progress);
    progress.onFirstPost = [&job, &out, &older, this] {
      // The render is under way: the old file is still untouched, the new
      // one grows under a temporary name.
      EXPECT_EQ(ReadAll(out), older);
      EXPECT_EQ(pwtest::Temporaries(dir).size(), 1u);
      job->cancel();
    };
    job->run();
    EXPECT_TRUE(job->outcome().cancelled);
  }
  EXPECT_EQ(ReadAll(out), older);
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});

  // Allowed: replaced, keeping the old file's permissions.
  RecordingProgress progress;
  std::unique_ptr<ExportJob> job = Export(out, 2, true);
  job->run();
  ASSERT_TRUE(job->outcome().ok()) << job->outcome().failure;
  EXPECT_TRUE(Decode(out) == source);
  EXPECT_EQ(fs::status(out).permissions(), fs::perms(0640));
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});

  // A new file gets what the umask allows, as any created file does.
  const mode_t mask = ::umask(027);
  RecordingProgress fresh;
  EXPECT_TRUE(Save(dir + "/fresh.wav", 2, fresh).ok());
  ::umask(mask);
  EXPECT_EQ(fs::status(dir + "/fresh.wav").permissions(), fs::perms(0640));
}

TEST_F(JobTest, ALinkAtTheOutputsNameKeepsPointingWhereItDid) {
  OpenSource(pwtest::Sine(440, kRate, 2, kRate / 2), 2, 16);
  fs::create_directory(dir + "/real");
  std::ofstream(dir + "/real/target.wav") << "older";
  fs::create_symlink("real/target.wav", dir + "/link.wav");
  RecordingProgress progress;
  ASSERT_TRUE(Save(dir + "/link.wav", 2, progress).ok());
  EXPECT_TRUE(fs::is_symlink(dir + "/link.wav"));
  EXPECT_TRUE(Decode(dir + "/real/target.wav") == source);
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
  EXPECT_EQ(pwtest::Temporaries(dir + "/real"), std::vector<std::string>{});
}

TEST_F(JobTest, AWriteFailureEndsTheJobWithOneMessageAndSavesNothing) {
  OpenSource(pwtest::Sine(440, kRate, 2, kRate * 2), 2, 16);
  const char* const extensions[] = {"", ".mp3", ".wav", ".flac", ".m4a"};
  for (int type = 1; type <= 4; ++type) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(std::string(extensions[type]) + (existing ? " over an existing file" : ""));
      const std::string out = dir + "/full" + extensions[type];
      fs::remove(out);
      if (existing) std::ofstream(out) << "older";
      ExportOutcome outcome;
      {
        const DiskFullAfter full(4096);
        std::unique_ptr<ExportJob> job = Export(out, type, true);
        job->run();
        outcome = job->outcome();
      }
      EXPECT_FALSE(outcome.cancelled);
      EXPECT_NE(outcome.failure.find("Cannot write \"" + out + "\": No space left on device"), std::string::npos)
          << outcome.failure;
      EXPECT_EQ(outcome.failure.find(".pitchwell-"), std::string::npos) << outcome.failure;
      EXPECT_TRUE(outcome.messages.empty()) << outcome.messages.front().text;
      if (existing) {
        EXPECT_EQ(ReadAll(out), "older");
      } else {
        EXPECT_FALSE(fs::exists(out));
      }
      EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
    }
  }
}

TEST_F(JobTest, AFullDiskWhileTheTagsAreWrittenFailsTheSaveAndKeepsTheEarlierFile) {
  // A source with a title and a picture large enough to take several writes.
  sourcePath = dir + "/tagged.flac";
  const std::string cover = dir + "/cover.png";
  ASSERT_TRUE(pwtest::Run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=s=64x64 -frames:v 1 '" + cover + "'"));
  ASSERT_TRUE(pwtest::Run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=1 -i '" + cover +
                          "' -map 0 -map 1 -c:v copy -disposition:v attached_pic -ar 44100 -ac 2 -c:a flac "
                          "-metadata title=Tagged '" + sourcePath + "'"));
  struct Room {
    int64_t bytes;  // what the tag step may still write
    bool saved;
  };
  const char* const extensions[] = {"", ".mp3", ".wav", ".flac", ".m4a"};
  for (int type = 1; type <= 4; ++type) {
    for (const Room room : {Room{0, false}, Room{1000, false}, Room{-1, true}}) {
      SCOPED_TRACE(std::string(extensions[type]) + " with room for " + std::to_string(room.bytes));
      const std::string out = dir + "/tagged-out" + extensions[type];
      std::ofstream(out, std::ios::trunc) << "older";
      ExportOutcome outcome;
      FailTagWritesAfterBytesForTesting(room.bytes, ENOSPC);
      {
        std::unique_ptr<ExportJob> job = Export(out, type, true);
        job->run();
        outcome = job->outcome();
      }
      FailTagWritesAfterBytesForTesting(-1, 0);
      EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
      if (room.saved) {
        EXPECT_TRUE(outcome.ok()) << outcome.failure;
        EXPECT_TRUE(outcome.messages.empty()) << outcome.messages.front().text;
        EXPECT_NE(ReadAll(out).find("Tagged"), std::string::npos);
      } else {
        EXPECT_EQ(outcome.failure, "Cannot write \"" + out + "\": No space left on device");
        EXPECT_TRUE(outcome.messages.empty()) << outcome.messages.front().text;
        EXPECT_EQ(ReadAll(out), "older");
      }
    }
  }
}

TEST_F(JobTest, NamesThatAreNotRegularFilesAreRefusedBeforeAnythingIsOpened) {
  // Short enough that a job writing into a pipe anyway would not fill it:
  // with a reader held open, a regression fails here instead of hanging.
  OpenSource(pwtest::Sine(440, kRate, 1, 2000), 1, 16, "song.wav");
  std::ofstream(dir + "/song.cdg") << std::string(24 * 10, '\x09');
  ASSERT_EQ(::mkfifo((dir + "/pipe.wav").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir + "/piped.cdg").c_str(), 0600), 0);
  fs::create_directory(dir + "/folder.wav");
  const int reader1 = ::open((dir + "/pipe.wav").c_str(), O_RDONLY | O_NONBLOCK);
  const int reader2 = ::open((dir + "/piped.cdg").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader1, 0);
  ASSERT_GE(reader2, 0);

  struct Case {
    std::string chosen;
    std::string failure;
  };
  const Case cases[] = {
      {dir + "/pipe.wav", "Cannot write \"" + dir + "/pipe.wav\": it is a named pipe, not a regular file"},
      {dir + "/folder.wav", "Cannot write \"" + dir + "/folder.wav\": it is a folder, not a regular file"},
      {dir + "/piped.wav", "Cannot write \"" + dir + "/piped.cdg\": it is a named pipe, not a regular file\n\"" +
                               dir + "/piped.wav\" was not saved."},
  };
  for (const Case& c : cases) {
    for (const bool overwrite : {false, true}) {
      SCOPED_TRACE(c.chosen);
      RecordingProgress progress;
      std::unique_ptr<ExportJob> job = Export(c.chosen, 2, overwrite, &progress);
      job->run();
      EXPECT_EQ(job->outcome().failure, c.failure);
      EXPECT_FALSE(job->outcome().outputExists);
      EXPECT_TRUE(progress.percents.empty());
    }
  }
  char byte;
  EXPECT_LE(::read(reader1, &byte, 1), 0);  // nothing went into the pipes
  EXPECT_LE(::read(reader2, &byte, 1), 0);
  ::close(reader1);
  ::close(reader2);
  EXPECT_TRUE(fs::is_fifo(dir + "/pipe.wav"));
  EXPECT_TRUE(fs::is_fifo(dir + "/piped.cdg"));
  EXPECT_FALSE(fs::exists(dir + "/piped.wav"));
  EXPECT_TRUE(fs::is_directory(dir + "/folder.wav"));
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
}

TEST_F(JobTest, ATruncatedSourceIsSavedAsFarAsItDecodesAndSaysSo) {
  // 3 s of FLAC cut to half its size: the stream header still says 3 s.
  const std::string wav = dir + "/whole.wav";
  pwtest::WriteWav(wav, pwtest::Harmonic(kRate, 2, size_t(kRate * 3)), kRate, 2, 16);
  const std::string flac = dir + "/cut.flac";
  ASSERT_TRUE(pwtest::Ffmpeg(wav, "-c:a flac", flac));
  fs::resize_file(flac, fs::file_size(flac) / 2);
  sourcePath = flac;

  RecordingProgress progress;
  const ExportOutcome outcome = Save(dir + "/saved.wav", 2, progress);
  ASSERT_TRUE(outcome.ok()) << outcome.failure;
  EXPECT_TRUE(outcome.inputEndedShort);
  ASSERT_EQ(outcome.messages.size(), 1u);
  EXPECT_EQ(outcome.messages[0].kind, pw::MessageKind::Warning);
  const std::string& text = outcome.messages[0].text;
  const std::string start = flac + ": ended at ";
  const std::string end = " s of 3.0 s: the file is damaged or truncated";
  ASSERT_EQ(text.substr(0, start.size()), start) << text;
  ASSERT_GT(text.size(), start.size() + end.size());
  EXPECT_EQ(text.substr(text.size() - end.size()), end) << text;
  const double endedAt = std::stod(text.substr(start.size()));
  EXPECT_GT(endedAt, 0.5);
  EXPECT_LT(endedAt, 2.9);
  // What decoded was saved: as long as the message says.
  const double saved = double(Decode(dir + "/saved.wav").size()) / 2 / kRate;
  EXPECT_NEAR(saved, endedAt, 0.06);
}

TEST_F(JobTest, OutputFormatConversionAndByteCountAgree) {
  // 24-bit source: WAV keeps 24 bits, MP3 gets 16; the WAV writer's byte
  // count is what the job handed over.
  OpenSource(pwtest::Sine(440, kRate, 2, kRate / 2), 2, 24);
  for (int type : {2, 1}) {
    SCOPED_TRACE(type);
    std::unique_ptr<ExportJob> job = Export(dir + "/depth", type);
    EXPECT_EQ(job->options().format.pcm.bitsPerSample, type == 2 ? 24 : 16);
    job->run();
    ASSERT_TRUE(job->outcome().ok()) << job->outcome().failure;
    if (type == 2) {
      EXPECT_EQ(job->totalWrittenBytes(), int64_t(source.size() * 3));
      EXPECT_EQ(fs::file_size(dir + "/depth.wav"), source.size() * 3 + 80);  // extensible header
    } else {
      EXPECT_GT(job->totalWrittenBytes(), 0);
      // The MP3 carries the encoder's delay and padding (no Info header).
      const std::vector<float> decoded = Decode(dir + "/depth.mp3");
      EXPECT_GE(decoded.size(), source.size());
      EXPECT_LE(decoded.size(), source.size() + 2 * 4096);
    }
  }
}

// The window's way: the job on its own thread, the end reported once from
// there, and the job destroyed by its owner as soon as the end has been
// reported (its thread may still be returning).
TEST_F(JobTest, AStartedJobReportsItsEndOnceAndItsOwnerMayDestroyItThen) {
  OpenSource(pwtest::Sine(440, kRate, 2, kRate / 2), 2, 16);
  RecordingProgress progress;
  std::unique_ptr<ExportJob> job = Export(dir + "/owned.wav", 2, false, &progress);
  job->start();
  progress.WaitClosed();
  job.reset();
  EXPECT_EQ(progress.closes, 1);
  EXPECT_TRUE(progress.outcome.ok()) << progress.outcome.failure;
  EXPECT_EQ(progress.percents.back(), 100);
  EXPECT_TRUE(Decode(dir + "/owned.wav") == source);
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
}

// Two renders in one process at once, each with its own session and values,
// write what each writes when it runs alone.
TEST(JobsSideBySide, TwoSessionsAtOnceWriteWhatEachWritesAlone) {
  pwtest::MessageCapture capture;
  const std::string dir = pwtest::TempDir("sidebyside");
  pwtest::WriteWav(dir + "/a.wav", pwtest::Harmonic(kRate, 2, size_t(kRate * 3)), kRate, 2, 16);
  pwtest::WriteWav(dir + "/b.wav", pwtest::Sine(330, 22050, 1, 22050 * 3), 22050, 1, 24);
  struct Render {
    std::string source;
    double speed, tempo, semitones, treble, bass;
    int32_t type;
    const char* ext;
  };
  const Render renders[] = {
      {dir + "/a.wav", 20, -10, -3.5, 40, 0, 3, ".flac"},
      {dir + "/b.wav", -25, 30, 2, 0, 60, 1, ".mp3"},
  };
  auto prepare = [](const Render& r, const std::string& out) {
    const EffectValues values{.speedPercent = r.speed, .tempoPercent = r.tempo, .pitchSemitones = r.semitones,
                              .treblePercent = r.treble, .bassPercent = r.bass};
    return CreateExport(pwtest::OpenSession(r.source), SaveRequest{out, r.type, values, 128});
  };

  for (size_t i = 0; i < 2; ++i) {
    std::unique_ptr<ExportJob> job = prepare(renders[i], dir + "/alone" + std::to_string(i));
    job->run();
    ASSERT_TRUE(job->outcome().ok()) << job->outcome().failure;
  }

  std::unique_ptr<ExportJob> jobs[] = {prepare(renders[0], dir + "/together0"), prepare(renders[1], dir + "/together1")};
  for (auto& job : jobs) job->start();
  for (auto& job : jobs) job->wait();

  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(renders[i].ext);
    ASSERT_TRUE(jobs[i]->outcome().ok()) << jobs[i]->outcome().failure;
    const std::string alone = ReadAll(dir + "/alone" + std::to_string(i) + renders[i].ext);
    const std::string together = ReadAll(dir + "/together" + std::to_string(i) + renders[i].ext);
    EXPECT_GT(alone.size(), 10000u);
    EXPECT_TRUE(alone == together) << alone.size() << " vs " << together.size();
  }
  EXPECT_TRUE(capture.seen.empty()) << capture.seen.front().text;
}

}  // namespace
