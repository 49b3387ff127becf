// The song's content key: the same for a copy under another name and
// folder (or another encoding of exactly the same samples), another for any
// change in the audio it covers or in the length; the reader is left at 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "analysis/song_identity.h"
#include "decode/audio_file_reader.h"
#include "message_capture.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

std::string KeyOf(const std::string& path) {
  AudioFileReader reader(path);
  EXPECT_TRUE(reader.opened()) << path;
  return SongContentKey(reader);
}

TEST(SongContentKeyTest, FollowsTheAudioNotTheFile) {
  pwtest::MessageCapture messages;
  const std::string dir = pwtest::TempDir("song-key");
  const int rate = 44100;
  const std::vector<float> song = pwtest::Harmonic(rate, 2, size_t(rate) * 12);
  const std::string original = dir + "/song.wav";
  pwtest::WriteWav(original, song, rate, 2, 16);
  const std::string key = KeyOf(original);
  ASSERT_FALSE(key.empty());

  // The same samples elsewhere.
  fs::create_directories(dir + "/moved/away");
  const std::string moved = dir + "/moved/away/Renamed Song.wav";
  fs::copy_file(original, moved);
  // The same 16-bit values in a float file, with noise far below half a step.
  std::vector<float> noisy = pwtest::Quantize(song, 16);
  for (size_t i = 0; i < noisy.size(); ++i) noisy[i] += (i % 2 ? 1e-7f : -1e-7f);
  const std::string asFloat = dir + "/float.wav";
  pwtest::WriteWav(asFloat, noisy, rate, 2, 32);

  // One sample changed by a step, at 3 s, on the right channel.
  std::vector<float> touched = pwtest::Quantize(song, 16);
  touched[size_t(3 * rate) * 2 + 1] += 1.0f / 32768;
  const std::string oneSample = dir + "/one-sample.wav";
  pwtest::WriteWav(oneSample, touched, rate, 2, 16);
  // The same first 12 s, then one more second.
  std::vector<float> longer = song;
  const std::vector<float> tail = pwtest::Sine(330, rate, 2, size_t(rate));
  longer.insert(longer.end(), tail.begin(), tail.end());
  const std::string extended = dir + "/longer.wav";
  pwtest::WriteWav(extended, longer, rate, 2, 16);
  // The same samples at another rate, and as one channel of the left.
  const std::string otherRate = dir + "/rate.wav";
  pwtest::WriteWav(otherRate, song, 48000, 2, 16);
  std::vector<float> left(song.size() / 2);
  for (size_t i = 0; i < left.size(); ++i) left[i] = song[2 * i];
  const std::string mono = dir + "/mono.wav";
  pwtest::WriteWav(mono, left, rate, 1, 16);
  // A lossless re-encoding holds the same samples.
  const std::string flac = dir + "/song.flac";
  ASSERT_TRUE(pwtest::Ffmpeg(original, "-c:a flac", flac));

  struct Case {
    std::string file;
    bool same;
  };
  const Case cases[] = {
      {moved, true}, {asFloat, true}, {flac, true},
      {oneSample, false}, {extended, false}, {otherRate, false}, {mono, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string other = KeyOf(c.file);
    ASSERT_FALSE(other.empty());
    if (c.same) {
      EXPECT_EQ(other, key);
    } else {
      EXPECT_NE(other, key);
    }
  }
  EXPECT_TRUE(messages.seen.empty());
}

TEST(SongContentKeyTest, LeavesTheReaderAtTheStartAndGivesTheSameKeyAgain) {
  pwtest::MessageCapture messages;
  const std::string dir = pwtest::TempDir("song-key-reader");
  const std::string path = dir + "/song.wav";
  pwtest::WriteWav(path, pwtest::Sine(440, 22050, 1, 22050 * 3), 22050, 1, 16);
  AudioFileReader reader(path);
  ASSERT_TRUE(reader.opened());
  reader.seekMs(1500);
  const std::string first = SongContentKey(reader);
  EXPECT_EQ(reader.positionFrames(), 0);
  reader.seekMs(2000);
  EXPECT_EQ(SongContentKey(reader), first);
  EXPECT_EQ(reader.positionFrames(), 0);
  // Rate, channels and length are in the key as they are.
  EXPECT_EQ(first.rfind("1:22050:1:66150:", 0), 0u) << first;
}

TEST(SongContentKeyTest, AReaderThatDidNotOpenHasNoKey) {
  pwtest::MessageCapture messages;  // the reader says it could not open
  AudioFileReader reader(pwtest::TempDir("song-key-missing") + "/missing.wav");
  ASSERT_FALSE(reader.opened());
  EXPECT_EQ(SongContentKey(reader), "");
}

TEST(Fnv1a64Test, KnownValues) {
  // The published FNV-1a 64 test vectors.
  EXPECT_EQ(Fnv1a64("", 0), 0xcbf29ce484222325ULL);
  EXPECT_EQ(Fnv1a64("a", 1), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(Fnv1a64("foobar", 6), 0x85944171f73967e8ULL);
  // Continuing a hash equals hashing the whole at once.
  EXPECT_EQ(Fnv1a64("bar", 3, Fnv1a64("foo", 3)), Fnv1a64("foobar", 6));
}

}  // namespace
