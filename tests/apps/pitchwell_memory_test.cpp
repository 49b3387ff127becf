// The real program remembers a song across runs, by its sound: a loop, two
// markers and the place set with the keyboard are back after the file was
// moved and renamed. The second run quits at once, so what it writes is what
// it restored.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "analysis/song_identity.h"
#include "decode/audio_file_reader.h"
#include "memory/song_memory.h"
#include "testaudio.h"
#include "wait_until.h"
#include "x_session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;

bool Exited(pid_t pid, int seconds) {
  int status = 0;
  return pwtest::WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, seconds);
}

// Starts the program on `file`, gives it the keyboard, presses `keys` one
// by one and quits with Ctrl+Q; true once it has ended.
bool RunAndQuit(pwtest::XSession& x, const std::string& file, const std::string& title, const std::string& dir,
                const std::vector<std::string>& keys, const std::string& log) {
  pwtest::ProcessGuard program = x.Start({PW_WINDOW_EXE, file}, dir + "/config", log);
  if (program.pid <= 0) return false;
  QPoint origin;
  if (!x.FindWindow(title, &origin)) return false;
  const bool focused = pwtest::WaitUntil(
      [&] {
        x.Run("xdotool search --onlyvisible --name '" + title + "' windowfocus");
        return x.FocusedTitle() == title;
      },
      60);
  if (!focused) return false;
  for (const std::string& key : keys) x.Key(key);
  x.Key("ctrl+q");
  if (!Exited(program.pid, 60)) return false;
  program.pid = -1;  // ended: nothing left for the guard
  return true;
}

TEST(PitchwellMemory, LoopMarkersAndPlaceComeBackAfterTheFileWasMoved) {
  const std::string dir = pwtest::TempDir("memory-e2e");
  const std::string first = dir + "/take one.wav";
  pwtest::WriteWav(first, pwtest::Sine(330.0, kRate, 2, size_t(60.0 * kRate), 0.4), kRate, 2, 16);

  pwtest::XSession x(dir);
  if (!x.up()) GTEST_SKIP() << "Xvfb could not start here";

  // 15 s: A; 25 s: B and a marker; 20 s: a marker, and the place left.
  const std::vector<std::string> keys = {"Right", "Right", "Right", "bracketleft", "Right", "Right",
                                         "bracketright", "m", "Left", "m"};
  ASSERT_TRUE(RunAndQuit(x, first, "take one.wav - Pitchwell", dir, keys, dir + "/first.log"))
      << "the first run did not end as asked; see " << dir << "/first.log";

  fs::create_directories(dir + "/moved");
  const std::string second = dir + "/moved/Song we practise.wav";
  fs::rename(first, second);
  ASSERT_TRUE(RunAndQuit(x, second, "Song we practise.wav - Pitchwell", dir, {}, dir + "/second.log"))
      << "the second run did not end as asked; see " << dir << "/second.log";

  AudioFileReader reader(second);
  ASSERT_TRUE(reader.opened());
  SongMemory memory(QString::fromStdString(dir + "/config/data/pitchwell/songs.sqlite"), SongMemory::Access::ReadOnly);
  ASSERT_TRUE(memory.problem().isEmpty()) << memory.problem().toStdString();
  const std::optional<SongRecord> record = memory.load(SongContentKey(reader));
  ASSERT_TRUE(record.has_value()) << "the song is not remembered";
  ASSERT_TRUE(record->loop.has_value());
  EXPECT_EQ(record->loop->startMs, 15000);
  EXPECT_EQ(record->loop->endMs, 25000);
  ASSERT_EQ(record->markers.size(), 2u);
  EXPECT_EQ(record->markers[0].ms, 20000);
  EXPECT_EQ(record->markers[1].ms, 25000);
  EXPECT_EQ(record->positionMs, 20000);
  const std::vector<RecentSong> recent = memory.recent();
  ASSERT_FALSE(recent.empty());
  EXPECT_EQ(recent.front().path.toStdString(), fs::canonical(second).string());
}

}  // namespace
