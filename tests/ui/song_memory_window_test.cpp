// The window remembers each song by its sound: markers, loop, place,
// trainer plan and (when asked) the sliders come back when the song is
// opened again under another name; a memory that cannot be used is said
// once and the window works on without it.
#include <QFile>
#include <QMenu>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/playback.h"
#include "memory/song_memory.h"
#include "message_capture.h"
#include "ui/main_window.h"
#include "ui/playback_parameters.h"
#include "ui/practice_drawer.h"
#include "ui/skin_button.h"
#include "testaudio.h"
#include "window_test.h"

namespace fs = std::filesystem;

namespace {

class SongMemoryWindowTest : public pwtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    dir_ = pwtest::TempDir("song-memory-window");
    song_ = dir_ + "/song.wav";
    pwtest::WriteWav(song_, pwtest::Sine(440, 8000, 2, 8000 * 60), 8000, 2, 16);
  }
  std::string memoryPath() const { return (fs::path(store_.file).parent_path() / "songs.sqlite").string(); }
  std::string dir_, song_;
};

TEST_F(SongMemoryWindowTest, ARenamedSongComesBackWithItsMarkersLoopPlaceAndPlan) {
  SpeedTrainer plan;
  plan.startPercent = -40;
  plan.stepPercent = 2;
  {
    MainWindow window(store_, QString::fromStdString(song_), 1.0f);
    window.seekTo(12000);
    window.addMarkerHere();
    window.parameters().renameMarker(0, "Solo");
    window.seekTo(30000);
    window.addMarkerHere();
    window.setLoop(12000, 30000);
    window.toggleLoop();  // kept switched off
    window.practiceDrawer()->setTrainerPlan(plan);
    window.parameters().setValue(PlaybackParameters::Effect::Tempo, -27.5);  // not kept: not asked
    window.seekTo(21000);
  }  // the window's end writes it
  const std::string moved = dir_ + "/moved/Take 2.wav";
  fs::create_directories(dir_ + "/moved");
  fs::rename(song_, moved);

  MainWindow window(store_, QString::fromStdString(moved), 1.0f);
  const auto& markers = window.parameters().markers();
  ASSERT_EQ(markers.size(), 2u);
  EXPECT_EQ(markers[0], (SongMarker{12000, "Solo"}));
  EXPECT_EQ(markers[1], (SongMarker{30000, "Marker 1"}));  // the first free name
  EXPECT_EQ(window.loopStartMs(), 12000);
  EXPECT_EQ(window.loopEndMs(), 30000);
  EXPECT_FALSE(window.parameters().loopEnabled());
  EXPECT_EQ(window.playback()->positionMs(), 21000);
  EXPECT_EQ(window.practiceDrawer()->trainerPlan().startPercent, -40);
  EXPECT_EQ(window.practiceDrawer()->trainerPlan().stepPercent, 2);
  EXPECT_EQ(window.parameters().value(PlaybackParameters::Effect::Tempo), 0);
  // The recent list names it where it is now.
  const std::vector<RecentSong> recent = window.songMemory().recent();
  ASSERT_EQ(recent.size(), 1u);
  EXPECT_EQ(recent[0].path.toStdString(), fs::absolute(moved).string());
}

TEST_F(SongMemoryWindowTest, TheSlidersComeBackOnlyForASongThatKeepsThem) {
  const std::string other = dir_ + "/other.wav";
  pwtest::WriteWav(other, pwtest::Sine(330, 8000, 2, 8000 * 30), 8000, 2, 16);
  {
    MainWindow window(store_, QString::fromStdString(song_), 1.0f);
    window.parameters().setValue(PlaybackParameters::Effect::Pitch, -2.37);
    window.parameters().setValue(PlaybackParameters::Effect::Tempo, -30);
    window.practiceDrawer()->findChild<SkinButton*>(QStringLiteral("keepForSongButton"))->click();
    window.openFile(QString::fromStdString(other));  // sliders back to 0 for another song
    EXPECT_EQ(window.parameters().value(PlaybackParameters::Effect::Pitch), 0);
    EXPECT_FALSE(window.practiceDrawer()->keepForSong());
  }
  MainWindow window(store_, QString::fromStdString(song_), 1.0f);
  EXPECT_TRUE(window.practiceDrawer()->keepForSong());
  EXPECT_EQ(window.parameters().value(PlaybackParameters::Effect::Pitch), -2.37);  // exact, not a slider step
  EXPECT_EQ(window.parameters().value(PlaybackParameters::Effect::Tempo), -30);
}

TEST_F(SongMemoryWindowTest, ADamagedMemoryIsSaidOnceAndLeftAsItIs) {
  {
    std::ofstream junk(memoryPath(), std::ios::binary);
    junk << std::string(8192, 'x');
  }
  QFile before(QString::fromStdString(memoryPath()));
  ASSERT_TRUE(before.open(QIODevice::ReadOnly));
  const QByteArray bytes = before.readAll();
  pwtest::MessageCapture messages;
  {
    MainWindow window(store_, QString::fromStdString(song_), 1.0f);
    window.addMarkerHere();
    window.setLoop(1000, 2000);
    window.rememberSong();
    window.openFile(QString::fromStdString(song_));
    EXPECT_EQ(window.parameters().markers().size(), 0u);  // nothing came back: nothing was kept
    QMenu menu;
    window.fillContextMenu(menu);  // "Open recent" is there, empty and greyed
  }
  ASSERT_EQ(messages.seen.size(), 1u);
  EXPECT_NE(messages.seen[0].text.find(memoryPath()), std::string::npos) << messages.seen[0].text;
  QFile after(QString::fromStdString(memoryPath()));
  ASSERT_TRUE(after.open(QIODevice::ReadOnly));
  EXPECT_EQ(after.readAll(), bytes);
}

TEST_F(SongMemoryWindowTest, TheContextMenuOffersEveryCommandWithItsKeys) {
  MainWindow window(store_, QString::fromStdString(song_), 1.0f);
  QMenu menu;
  window.fillContextMenu(menu);
  std::map<QString, QString> keys;
  for (QAction* a : menu.actions())
    if (!a->isSeparator()) keys[a->text()] = a->shortcut().toString();
  const std::map<QString, QString> expected = {
      {"Open...", "Ctrl+O"},        {"Open recent", ""},          {"Save...", "Ctrl+S"},
      {"GET BPM", "Ctrl+B"},        {"Add marker", "M"},          {"Previous marker", ","},
      {"Next marker", "."},         {"Loop this section", "Ctrl+L"}, {"Practice tools", "P"},
      {"Help", "F1"},               {"About", ""},                {"Quit", "Ctrl+Q"},
  };
  for (const auto& [text, shortcut] : expected) {
    ASSERT_TRUE(keys.count(text)) << text.toStdString();
    EXPECT_EQ(keys[text], shortcut) << text.toStdString();
  }
}

}  // namespace
