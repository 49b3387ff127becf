#include "settings/settings_store.h"

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

// Defaults as Load sets them, with the bit rate and its index as given.
Settings Defaults(int32_t bitrate = 0, int32_t bitrateIndex = 3) {
  Settings c;
  c.folders.program = kProgramDir;
  c.folders.recent = kProgramDir;
  c.folders.recentOut = kProgramDir;
  c.volume = 8000;
  c.encoder.typeIndex = 0;
  c.practiceDrawer = 0;
  c.keepSettings = 0;
  c.sendReports = 1;
  c.encoder.bitrateKbps = bitrate;
  c.encoder.bitrateIndex = bitrateIndex;
  return c;
}

void ExpectSame(const Settings& got, const Settings& want) {
  EXPECT_EQ(got.folders.program, want.folders.program);
  EXPECT_EQ(got.folders.recent, want.folders.recent);
  EXPECT_EQ(got.folders.recentOut, want.folders.recentOut);
  EXPECT_EQ(got.volume, want.volume);
  EXPECT_EQ(got.encoder.typeIndex, want.encoder.typeIndex);
  EXPECT_EQ(got.practiceDrawer, want.practiceDrawer);
  EXPECT_EQ(got.keepSettings, want.keepSettings);
  EXPECT_EQ(got.sendReports, want.sendReports);
  EXPECT_EQ(got.encoder.bitrateKbps, want.encoder.bitrateKbps);
  EXPECT_EQ(got.encoder.bitrateIndex, want.encoder.bitrateIndex);
}

// Garbage in every field, so that Load must set each one.
Settings Scrambled() {
  Settings c;
  c.folders.program = c.folders.recent = c.folders.recentOut = "garbage";
  c.volume = -7;
  c.encoder.typeIndex = 99;
  c.practiceDrawer = 5;
  c.keepSettings = 5;
  c.sendReports = 9;
  c.encoder.bitrateKbps = 256;
  c.encoder.bitrateIndex = 7;
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

  Settings c = Scrambled();
  Load(c, store);
  ExpectSame(c, Defaults(256, 7));  // the bit rate and its index untouched
  EXPECT_TRUE(fs::is_regular_file(store.file));

  c.folders.recent = "/home/user/Music/";
  c.volume = 2500;
  Save(c, store);
  Settings again = Scrambled();
  Load(again, store);
  EXPECT_EQ(again.folders.recent, "/home/user/Music/");
  EXPECT_EQ(again.volume, 2500);
  EXPECT_EQ(again.folders.program, kProgramDir);
}

TEST(Settings, RoundTripKeepsTextsAndIntegers) {
  const SettingsStore store = StoreIn("roundtrip");
  Settings seed;
  Load(seed, store);

  Settings c;
  c.folders.program = "/srv/Pitchwell Äpp/";
  c.folders.recent = "/music/a, b; c=d/[x]/";  // separators INI files treat specially
  c.folders.recentOut = "@Variant(not one)";
  c.volume = 1;
  c.encoder.typeIndex = 4;
  c.practiceDrawer = 1;
  c.keepSettings = 1;
  c.sendReports = 0;
  c.encoder.bitrateKbps = 320;
  c.encoder.bitrateIndex = 8;
  Save(c, store);

  Settings back = Scrambled();
  Load(back, store);
  Settings want = c;
  want.encoder.bitrateKbps = 256;  // not stored: Load leaves what the record held
  want.encoder.bitrateIndex = 7;
  ExpectSame(back, want);

  QStringList keys = StoredKeys(store.file);
  keys.sort();
  EXPECT_EQ(keys, QStringList({"defaultcodec", "keepsettings", "path", "practicedrawer", "recent", "recentout",
                               "sendreports", "volume"}));
  const std::string text = ReadAll(store.file);
  EXPECT_NE(text.find("volume=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("defaultcodec=4\n"), std::string::npos) << text;
  EXPECT_NE(text.find("sendreports=0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("keepsettings=1\n"), std::string::npos) << text;

  c.volume = 10000;
  c.encoder.typeIndex = 0;
  c.folders.program.clear();
  Save(c, store);
  Load(back, store);
  EXPECT_EQ(back.volume, 10000);
  EXPECT_EQ(back.encoder.typeIndex, 0);
  EXPECT_EQ(back.folders.program, "");  // an empty text is a value like any other
}

TEST(Settings, StoreWithOnlyVolume) {
  const SettingsStore store = StoreIn("onlyvolume");
  WriteAll(store.file, "[Settings]\nvolume=2500\n");
  Settings c = Scrambled();
  Load(c, store);
  Settings want = Defaults(256, 7);
  want.volume = 2500;
  ExpectSame(c, want);
}

TEST(Settings, NamesMatchWithoutRegardToCase) {
  const SettingsStore store = StoreIn("case");
  WriteAll(store.file,
           "[Settings]\nPATH=/p/\nRecent=/music/\nRECENTOUT=/out/\nVOLUME=1234\nDefaultCodec=3\nPracticeDrawer=1\n"
           "SendReports=0\nKeepSettings=1\n");
  Settings c = Scrambled();
  Load(c, store);
  EXPECT_EQ(c.folders.program, "/p/");
  EXPECT_EQ(c.folders.recent, "/music/");
  EXPECT_EQ(c.folders.recentOut, "/out/");
  EXPECT_EQ(c.volume, 1234);
  EXPECT_EQ(c.encoder.typeIndex, 3);
  EXPECT_EQ(c.practiceDrawer, 1);
  EXPECT_EQ(c.sendReports, 0);
  EXPECT_EQ(c.keepSettings, 1);

  // Saving overwrites the values under their stored spelling: no second copy.
  c.volume = 4321;
  c.folders.recent = "/elsewhere/";
  Save(c, store);
  EXPECT_EQ(StoredKeys(store.file).size(), 8);
  Settings back = Scrambled();
  Load(back, store);
  EXPECT_EQ(back.volume, 4321);
  EXPECT_EQ(back.folders.recent, "/elsewhere/");
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
    Settings c = Scrambled();
    Load(c, store);
    ExpectSame(c, Defaults(256, 7));
  }

  // The other values still load.
  const SettingsStore store = StoreIn("wrongtype-mixed");
  WriteAll(store.file, "[Settings]\nvolume=abc\nrecent=/ok/\ndefaultcodec=2\n");
  Settings c = Scrambled();
  Load(c, store);
  EXPECT_EQ(c.volume, 8000);
  EXPECT_EQ(c.folders.recent, "/ok/");
  EXPECT_EQ(c.encoder.typeIndex, 2);
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
    Settings c = Scrambled();
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
  Settings c;
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
  Settings c = Scrambled();
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
  Settings c = Scrambled();
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
  Settings c;
  Load(c, SettingsStore{file, {}});
  EXPECT_EQ(c.folders.program, exeDir);
  EXPECT_EQ(c.folders.recent, home + "/");  // no Music folder there
  EXPECT_EQ(c.folders.recentOut, home + "/");
  fs::create_directory(home + "/Music");
  Load(c, SettingsStore{file, {}});
  EXPECT_EQ(c.folders.recent, home + "/Music/");
  EXPECT_EQ(c.folders.recentOut, home + "/Music/");
}

TEST(Settings, PerUserStoreLocation) {
  const std::string where = SettingsLocation();
  const std::string tail = "/Corvane/Pitchwell.conf";
  ASSERT_GE(where.size(), tail.size());
  EXPECT_EQ(where.substr(where.size() - tail.size()), tail);
}

}  // namespace
