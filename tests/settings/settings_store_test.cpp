#include "settings_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QSettings>
#include <QStringList>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scoped_environment.h"
#include "testaudio.h"

namespace {

namespace fs = std::filesystem;

const char kProgramDir[] = "/opt/pitchwell/";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A store file in a fresh folder of its own, with the program folder fixed.
SettingsStore StoreIn(const std::string& testName, const std::string& relative = "Pitchwell.conf") {
  return {pwtest::TempDir("settings-" + testName) + "/" + relative, kProgramDir};
}

// Defaults as Load sets them, with Bitrate and BitrateIndex as given.
config Defaults(int32_t bitrate = 0, int32_t bitrateIndex = 3) {
  config c;
  c.path = kProgramDir;
  c.recent = kProgramDir;
  c.recentout = kProgramDir;
  c.volume = 8000;
  c.defaultcodec = 0;
  c.practicedrawer = 0;
  c.sendreports = 1;
  c.Bitrate = bitrate;
  c.BitrateIndex = bitrateIndex;
  return c;
}

void ExpectSame(const config& got, const config& want) {
  EXPECT_EQ(got.path, want.path);
  EXPECT_EQ(got.recent, want.recent);
  EXPECT_EQ(got.recentout, want.recentout);
  EXPECT_EQ(got.volume, want.volume);
  EXPECT_EQ(got.defaultcodec, want.defaultcodec);
  EXPECT_EQ(got.practicedrawer, want.practicedrawer);
  EXPECT_EQ(got.sendreports, want.sendreports);
  EXPECT_EQ(got.Bitrate, want.Bitrate);
  EXPECT_EQ(got.BitrateIndex, want.BitrateIndex);
}

// Garbage in every field, so that Load must set each one.
config Scrambled() {
  config c;
  c.path = c.recent = c.recentout = "garbage";
  c.volume = -7;
  c.defaultcodec = 99;
  c.practicedrawer = 5;
  c.sendreports = 9;
  c.Bitrate = 256;
  c.BitrateIndex = 7;
  return c;
}

QStringList StoredKeys(const std::string& file) {
  QSettings s(QString::fromStdString(file), QSettings::IniFormat);
  s.beginGroup("Settings");
  return s.childKeys();
}

TEST(Settings, FirstRunGivesDefaultsAndCreatesTheStoreForSave) {
  const SettingsStore store = StoreIn("first", "Corvane/Pitchwell.conf");
  ASSERT_FALSE(fs::exists(store.file));

  config c = Scrambled();
  Load(c, store);
  ExpectSame(c, Defaults(256, 7));  // Bitrate and BitrateIndex untouched
  EXPECT_TRUE(fs::is_regular_file(store.file));

  c.recent = "/home/user/Music/";
  c.volume = 2500;
  Save(c, store);
  config again = Scrambled();
  Load(again, store);
  EXPECT_EQ(again.recent, "/home/user/Music/");
  EXPECT_EQ(again.volume, 2500);
  EXPECT_EQ(again.path, kProgramDir);
}

TEST(Settings, RoundTripKeepsTextsAndIntegers) {
  const SettingsStore store = StoreIn("roundtrip");
  config seed;
  Load(seed, store);

  config c;
  c.path = "/srv/Pitchwell Äpp/";
  c.recent = "/music/a, b; c=d/[x]/";  // separators INI files treat specially
  c.recentout = "@Variant(not one)";
  c.volume = 1;
  c.defaultcodec = 4;
  c.practicedrawer = 1;
  c.sendreports = 0;
  c.Bitrate = 320;
  c.BitrateIndex = 8;
  Save(c, store);

  config back = Scrambled();
  Load(back, store);
  config want = c;
  want.Bitrate = 256;  // not stored: Load leaves what the record held
  want.BitrateIndex = 7;
  ExpectSame(back, want);

  QStringList keys = StoredKeys(store.file);
  keys.sort();
  EXPECT_EQ(keys, QStringList({"defaultcodec", "path", "practicedrawer", "recent", "recentout", "sendreports", "volume"}));
  const std::string text = ReadAll(store.file);
  EXPECT_NE(text.find("volume=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("defaultcodec=4\n"), std::string::npos) << text;
  EXPECT_NE(text.find("sendreports=0\n"), std::string::npos) << text;

  c.volume = 10000;
  c.defaultcodec = 0;
  c.path.clear();
  Save(c, store);
  Load(back, store);
  EXPECT_EQ(back.volume, 10000);
  EXPECT_EQ(back.defaultcodec, 0);
  EXPECT_EQ(back.path, "");  // an empty text is a value like any other
}

TEST(Settings, StoreWithOnlyVolume) {
  const SettingsStore store = StoreIn("onlyvolume");
  WriteAll(store.file, "[Settings]\nvolume=2500\n");
  config c = Scrambled();
  Load(c, store);
  config want = Defaults(256, 7);
  want.volume = 2500;
  ExpectSame(c, want);
}

TEST(Settings, NamesMatchWithoutRegardToCase) {
  const SettingsStore store = StoreIn("case");
  WriteAll(store.file,
           "[Settings]\nPATH=/p/\nRecent=/music/\nRECENTOUT=/out/\nVOLUME=1234\nDefaultCodec=3\nPracticeDrawer=1\n"
           "SendReports=0\n");
  config c = Scrambled();
  Load(c, store);
  EXPECT_EQ(c.path, "/p/");
  EXPECT_EQ(c.recent, "/music/");
  EXPECT_EQ(c.recentout, "/out/");
  EXPECT_EQ(c.volume, 1234);
  EXPECT_EQ(c.defaultcodec, 3);
  EXPECT_EQ(c.practicedrawer, 1);
  EXPECT_EQ(c.sendreports, 0);

  // Saving overwrites the values under their stored spelling: no second copy.
  c.volume = 4321;
  c.recent = "/elsewhere/";
  Save(c, store);
  EXPECT_EQ(StoredKeys(store.file).size(), 7);
  config back = Scrambled();
  Load(back, store);
  EXPECT_EQ(back.volume, 4321);
  EXPECT_EQ(back.recent, "/elsewhere/");
}

TEST(Settings, ValueOfWrongTypeCountsAsAbsent) {
  const std::vector<std::string> lines = {
      "volume=abc",           "volume=12.5",       "volume=4294967296", "volume=@Point(1 2)",
      "defaultcodec=3x",      "defaultcodec=",     "path=@Point(1 2)",  "recent=a, b",
      "recentout=@ByteArray(xyz)",
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const SettingsStore store = StoreIn("wrongtype" + std::to_string(i));
    WriteAll(store.file, "[Settings]\n" + lines[i] + "\n");
    config c = Scrambled();
    Load(c, store);
    ExpectSame(c, Defaults(256, 7));
  }

  // The other values still load.
  const SettingsStore store = StoreIn("wrongtype-mixed");
  WriteAll(store.file, "[Settings]\nvolume=abc\nrecent=/ok/\ndefaultcodec=2\n");
  config c = Scrambled();
  Load(c, store);
  EXPECT_EQ(c.volume, 8000);
  EXPECT_EQ(c.recent, "/ok/");
  EXPECT_EQ(c.defaultcodec, 2);
}

TEST(Settings, StoreThatCannotBeOpenedGivesDefaultsAndTakesNothing) {
  // A store whose folder is a file, and a store that is a folder: neither can
  // be opened, not even by root.
  const std::string dir = pwtest::TempDir("settings-unopenable");
  WriteAll(dir + "/plainfile", "x");
  fs::create_directory(dir + "/folder.conf");
  for (const std::string& file : {dir + "/plainfile/Pitchwell.conf", dir + "/folder.conf"}) {
    SCOPED_TRACE(file);
    const SettingsStore store{file, kProgramDir};
    config c = Scrambled();
    Load(c, store);
    ExpectSame(c, Defaults(256, 7));
    c.volume = 2500;
    Save(c, store);
  }
  EXPECT_EQ(ReadAll(dir + "/plainfile"), "x");
  EXPECT_TRUE(fs::is_empty(dir + "/folder.conf"));
}

TEST(Settings, SaveNeverCreatesAMissingStore) {
  const SettingsStore store = StoreIn("missing");
  config c;
  Load(c, store);
  fs::remove(store.file);
  Save(c, store);
  EXPECT_FALSE(fs::exists(store.file));
}

TEST(Settings, ReadOnlyStoreIsReadButNotWritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind root";
  const SettingsStore store = StoreIn("readonly");
  const std::string text = "[Settings]\nvolume=2500\n";
  WriteAll(store.file, text);
  fs::permissions(store.file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  config c = Scrambled();
  Load(c, store);
  EXPECT_EQ(c.volume, 2500);
  c.volume = 100;
  Save(c, store);
  EXPECT_EQ(ReadAll(store.file), text);
}

TEST(Settings, UnreadableStoreGivesDefaults) {
  if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind root";
  const SettingsStore store = StoreIn("unreadable");
  WriteAll(store.file, "[Settings]\nvolume=2500\n");
  fs::permissions(store.file, fs::perms::owner_write);
  config c = Scrambled();
  Load(c, store);
  ExpectSame(c, Defaults(256, 7));
  Save(c, store);
  fs::permissions(store.file, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadAll(store.file), "[Settings]\nvolume=2500\n");
}

// "path" names the program's folder; the dialogs start in the user's music
// folder, or at home without one (an installed program's folder is /usr/bin).
TEST(Settings, DefaultsNameTheProgramAndTheMusicFolders) {
  const std::string exeDir = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
  EXPECT_EQ(ProgramFolder(), exeDir);
  const std::string home = pwtest::TempDir("settings-home");
  pwtest::ScopedEnvironment env{{"HOME", home.c_str()}};
  const std::string file = pwtest::TempDir("settings-programdir") + "/Pitchwell.conf";
  config c;
  Load(c, SettingsStore{file, {}});
  EXPECT_EQ(c.path, exeDir);
  EXPECT_EQ(c.recent, home + "/");  // no Music folder there
  EXPECT_EQ(c.recentout, home + "/");
  fs::create_directory(home + "/Music");
  Load(c, SettingsStore{file, {}});
  EXPECT_EQ(c.recent, home + "/Music/");
  EXPECT_EQ(c.recentout, home + "/Music/");
}

TEST(Settings, PerUserStoreLocation) {
  const std::string where = SettingsLocation();
  const std::string tail = "/Corvane/Pitchwell.conf";
  ASSERT_GE(where.size(), tail.size());
  EXPECT_EQ(where.substr(where.size() - tail.size()), tail);
}

}  // namespace
