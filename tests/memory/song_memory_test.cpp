// The song memory: a record comes back exactly as it was saved (markers one
// row each, the sliders only when kept), a moved song is still known, the
// recent list, the default place, the schema number and the migration of
// an empty file; and every way the database can be unusable (no folder,
// not a file, damaged, foreign, locked, read-only, newer) leaves the file
// byte for byte as it was while the memory says so once and carries on.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "analysis/song_identity.h"
#include "decode/audio_file_reader.h"
#include "memory/song_memory.h"
#include "message_capture.h"
#include "scoped_environment.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every entry under a folder with its bytes (folders as "<folder>").
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> all;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    all[it->path().string()] = it->is_regular_file() ? ReadAll(it->path().string()) : "<folder>";
  return all;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A connection of the test's own, beside the memory's.
class Connection {
 public:
  explicit Connection(const std::string& path, bool readOnly = false)
      : name_(QStringLiteral("test-connection-%1").arg(++count_)) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
    db.setDatabaseName(Q(path));
    db.setConnectOptions(readOnly ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=0;QSQLITE_OPEN_READONLY")
                                  : QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    opened_ = db.open();
  }
  ~Connection() {
    {
      QSqlDatabase db = QSqlDatabase::database(name_, false);
      db.close();
    }
    QSqlDatabase::removeDatabase(name_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool opened() const { return opened_; }
  // Runs one statement; the error's text when it fails, else empty.
  std::string run(const std::string& sql) {
    QSqlQuery q(QSqlDatabase::database(name_, false));
    return q.exec(Q(sql)) ? std::string() : q.lastError().text().toStdString() + " in: " + sql;
  }
  // The first column of the first row, as text ("<error>" when it fails).
  std::string value(const std::string& sql) {
    QSqlQuery q(QSqlDatabase::database(name_, false));
    if (!q.exec(Q(sql)) || !q.next()) return "<error>";
    return q.value(0).toString().toStdString();
  }

 private:
  static inline int count_ = 0;
  QString name_;
  bool opened_ = false;
};

// Another program holding the database's exclusive lock while it lives.
class Lock {
 public:
  explicit Lock(const std::string& path) : connection_(path) {
    error_ = connection_.opened() ? connection_.run("BEGIN EXCLUSIVE") : "not opened";
  }
  ~Lock() { connection_.run("ROLLBACK"); }
  const std::string& error() const { return error_; }

 private:
  Connection connection_;
  std::string error_;
};

// A tmpfs of the test's own, made read-only once the files are in place.
class ReadOnlyFileSystem {
 public:
  explicit ReadOnlyFileSystem(const std::string& where) : where_(where) {
    fs::create_directories(where);
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=4m") == 0)
      mounted_ = true;
    else
      why_ = std::strerror(errno);
  }
  ~ReadOnlyFileSystem() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  ReadOnlyFileSystem(const ReadOnlyFileSystem&) = delete;
  ReadOnlyFileSystem& operator=(const ReadOnlyFileSystem&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  bool makeReadOnly() {
    return ::mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m") == 0;
  }

 private:
  std::string where_;
  bool mounted_ = false;
  std::string why_;
};

SongRecord FullRecord() {
  SongRecord r;
  r.positionMs = 83456;
  r.loop = SongLoop{12000, 19500, true};
  r.trainer = SpeedTrainer{SpeedTrainer::Parameter::Speed, -20, 2.5, 5};
  r.keepSettings = true;
  r.values = EffectValues{.speedPercent = 12.3, .tempoPercent = -7.25, .pitchSemitones = -3.5,
                          .treblePercent = 40, .bassPercent = 1.0 / 3};
  r.markers = {{65000, QStringLiteral("Solo")}, {12000, QStringLiteral("Verse")},
               {30000, QStringLiteral("Caf\u00e9 \u2713")}, {12000, QStringLiteral("Verse 2")}};
  return r;
}

// FullRecord() as a load gives it back: the markers by place, equal places
// in the order given.
SongRecord FullRecordLoaded() {
  SongRecord r = FullRecord();
  r.markers = {{12000, QStringLiteral("Verse")}, {12000, QStringLiteral("Verse 2")},
               {30000, QStringLiteral("Caf\u00e9 \u2713")}, {65000, QStringLiteral("Solo")}};
  return r;
}

class SongMemoryTest : public ::testing::Test {
 protected:
  // No QCoreApplication: the renderer has none either.
  std::string dir = pwtest::TempDir("memory");
  std::string path = dir + "/data/pitchwell/songs.sqlite";
};

TEST_F(SongMemoryTest, ARecordComesBackExactlyAndOnlyTheKeptSlidersAreStored) {
  {
    SongMemory memory(Q(path));
    ASSERT_EQ(memory.state(), SongMemory::State::Ready) << memory.problem().toStdString();
    EXPECT_EQ(memory.problem(), QString());
    EXPECT_EQ(memory.takeNewProblem(), QString());
    EXPECT_TRUE(fs::is_regular_file(path));  // the folders were made too
    EXPECT_FALSE(memory.load("1:44100:2:100:00").has_value());

    ASSERT_TRUE(memory.save("song-a", QStringLiteral("/music/a.wav"), FullRecord()));
    SongRecord b = FullRecord();
    b.keepSettings = false;  // the sliders are not kept, whatever they were
    b.loop.reset();
    b.markers.clear();
    ASSERT_TRUE(memory.save("song-b", QStringLiteral("/music/b.wav"), b));
  }

  // Another run of the program.
  SongMemory memory(Q(path));
  ASSERT_EQ(memory.state(), SongMemory::State::Ready);
  const std::optional<SongRecord> a = memory.load("song-a");
  ASSERT_TRUE(a.has_value());
  EXPECT_TRUE(*a == FullRecordLoaded());
  EXPECT_EQ(a->values.bassPercent, 1.0 / 3);  // exact, not rounded
  EXPECT_EQ(a->values.speedPercent, 12.3);
  const std::optional<SongRecord> b = memory.load("song-b");
  ASSERT_TRUE(b.has_value());
  EXPECT_FALSE(b->keepSettings);
  EXPECT_TRUE(b->values == EffectValues{});
  EXPECT_FALSE(b->loop.has_value());
  EXPECT_TRUE(b->markers.empty());
  EXPECT_EQ(b->positionMs, 83456);
  EXPECT_TRUE(b->trainer.parameter == SpeedTrainer::Parameter::Speed);
  EXPECT_EQ(b->trainer.stepPercent, 2.5);

  // Saving again replaces the song's markers, loop and place.
  SongRecord fewer = FullRecord();
  fewer.markers = {{42000, QStringLiteral("Bridge")}};
  fewer.loop = SongLoop{1000, 2000, false};
  fewer.positionMs = 5;
  ASSERT_TRUE(memory.save("song-a", QStringLiteral("/music/a.wav"), fewer));
  const std::optional<SongRecord> again = memory.load("song-a");
  ASSERT_TRUE(again.has_value());
  EXPECT_TRUE(*again == fewer);

  // One row per song and per marker, the schema's number, our mark.
  Connection peek(path, true);
  ASSERT_TRUE(peek.opened());
  EXPECT_EQ(peek.value("PRAGMA user_version"), "1");
  EXPECT_EQ(peek.value("PRAGMA application_id"), std::to_string(SongMemory::kApplicationId));
  EXPECT_EQ(peek.value("SELECT count(*) FROM songs"), "2");
  EXPECT_EQ(peek.value("SELECT count(*) FROM markers"), "1");
  EXPECT_EQ(peek.value("SELECT name FROM markers"), "Bridge");
  EXPECT_EQ(peek.value("SELECT path FROM songs WHERE content_key = 'song-b'"), "/music/b.wav");
  EXPECT_EQ(peek.value("SELECT quote(speed) FROM songs WHERE content_key = 'song-b'"), "NULL");
}

TEST_F(SongMemoryTest, AMovedSongIsKnownByItsContent) {
  pwtest::MessageCapture messages;
  const std::string song = dir + "/Song.wav";
  pwtest::WriteWav(song, pwtest::Harmonic(22050, 2, 22050 * 4), 22050, 2, 16);
  auto keyOf = [](const std::string& file) {
    AudioFileReader reader(file);
    return SongContentKey(reader);
  };
  SongRecord record;
  record.positionMs = 2500;
  record.loop = SongLoop{500, 1500, true};
  record.markers = {{700, QStringLiteral("Intro")}, {3100, QStringLiteral("Outro")}};
  {
    SongMemory memory(Q(path));
    ASSERT_TRUE(memory.save(keyOf(song), Q(song), record));
  }
  fs::create_directories(dir + "/elsewhere");
  const std::string moved = dir + "/elsewhere/Renamed.wav";
  fs::rename(song, moved);

  SongMemory memory(Q(path));
  const std::optional<SongRecord> found = memory.load(keyOf(moved));
  ASSERT_TRUE(found.has_value());
  EXPECT_TRUE(*found == record);
  // Another song is not taken for it.
  pwtest::WriteWav(dir + "/other.wav", pwtest::Harmonic(22050, 2, 22050 * 5), 22050, 2, 16);
  EXPECT_FALSE(memory.load(keyOf(dir + "/other.wav")).has_value());
}

TEST_F(SongMemoryTest, TheRecentListHoldsTheLastTenPathsOnceEachLatestFirst) {
  SongMemory memory(Q(path));
  ASSERT_EQ(memory.state(), SongMemory::State::Ready);
  EXPECT_TRUE(memory.recent().empty());
  // Songs 0 … 11; the odd ones' files are gone.
  auto fileOf = [&](int i) { return dir + "/song " + std::to_string(i) + ".wav"; };
  for (int i = 0; i < 12; ++i) {
    if (i % 2 == 0) std::ofstream(fileOf(i)) << "audio";
    ASSERT_TRUE(memory.save("key-" + std::to_string(i), Q(fileOf(i)), SongRecord{}));
  }
  // Song 3 opened again, and another song from song 10's path.
  ASSERT_TRUE(memory.save("key-3", Q(fileOf(3)), SongRecord{}));
  ASSERT_TRUE(memory.save("key-new", Q(fileOf(10)), SongRecord{}));

  const std::vector<RecentSong> recent = memory.recent();
  const std::vector<int> expected = {10, 3, 11, 9, 8, 7, 6, 5, 4, 2};
  ASSERT_EQ(recent.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(recent[i].path.toStdString(), fileOf(expected[i]));
    EXPECT_EQ(recent[i].title.toStdString(), "song " + std::to_string(expected[i]) + ".wav");
    EXPECT_EQ(recent[i].exists, expected[i] % 2 == 0);
    if (i > 0) {
      EXPECT_LT(recent[i].lastOpenedMs, recent[i - 1].lastOpenedMs);
    }
  }
  EXPECT_EQ(memory.recent(3).size(), 3u);
}

TEST_F(SongMemoryTest, TheDefaultPlaceFollowsXdgDataHome) {
  const pwtest::ScopedEnvironment data({{"XDG_DATA_HOME", dir.c_str()}});
  EXPECT_EQ(SongMemory::DefaultPath().toStdString(), dir + "/pitchwell/songs.sqlite");
}

TEST_F(SongMemoryTest, AnEmptyFileIsSetUpAndAnOlderFileIsMigrated) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path).close();  // an empty file is an empty database
  {
    SongMemory memory(Q(path));
    ASSERT_EQ(memory.state(), SongMemory::State::Ready) << memory.problem().toStdString();
    EXPECT_TRUE(memory.save("k", QStringLiteral("/a.wav"), FullRecord()));
  }
  Connection peek(path, true);
  EXPECT_EQ(peek.value("PRAGMA user_version"), std::to_string(SongMemory::kSchemaVersion));
  EXPECT_EQ(peek.value("SELECT count(*) FROM markers"), "4");
}

TEST_F(SongMemoryTest, TheReadOnlyAccessNeverCreatesNorWrites) {
  {
    SongMemory memory(Q(path), SongMemory::Access::ReadOnly);
    EXPECT_EQ(memory.state(), SongMemory::State::Off);
    EXPECT_EQ(memory.problemKind(), SongMemory::Problem::Missing);
    EXPECT_NE(memory.problem().indexOf(Q("\"" + path + "\" does not exist")), -1) << memory.problem().toStdString();
  }
  EXPECT_FALSE(fs::exists(fs::path(path).parent_path()));

  {
    SongMemory writer(Q(path));
    ASSERT_TRUE(writer.save("k", QStringLiteral("/a.wav"), FullRecord()));
  }
  const std::string before = ReadAll(path);
  SongMemory memory(Q(path), SongMemory::Access::ReadOnly);
  EXPECT_EQ(memory.state(), SongMemory::State::ReadOnly);
  EXPECT_EQ(memory.problem(), QString());
  const std::optional<SongRecord> r = memory.load("k");
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(*r == FullRecordLoaded());
  EXPECT_EQ(memory.recent().size(), 1u);
  EXPECT_FALSE(memory.save("k", QStringLiteral("/b.wav"), SongRecord{}));
  EXPECT_EQ(ReadAll(path), before);
}

// ---- A database that cannot be used -------------------------------------------

// A memory holding FullRecord() as song "key-0" and `more` songs of 300
// markers each (enough to fill many pages), closed again.
void FillMemory(const std::string& path, int more = 0) {
  SongMemory memory(Q(path));
  ASSERT_EQ(memory.state(), SongMemory::State::Ready);
  ASSERT_TRUE(memory.save("key-0", QStringLiteral("/m/0"), FullRecord()));
  SongRecord big;
  for (int m = 0; m < 300; ++m) big.markers.push_back({m * 1000, QStringLiteral("marker %1").arg(m)});
  for (int i = 1; i <= more; ++i)
    ASSERT_TRUE(memory.save("key-" + std::to_string(i), Q("/m/" + std::to_string(i)), big));
}

TEST_F(SongMemoryTest, AnUnusableDatabaseIsLeftAsItWasAndSaidOnce) {
  struct Case {
    const char* name;
    // Makes what is at `path` (a memory holding song "key-0" where it reads).
    std::function<void(const std::string& path)> setUp;
    SongMemory::State state;
    SongMemory::Problem problem;
    std::string says;
    std::function<std::string(const std::string& path)> skip = {};  // why the case cannot run here
  };
  auto folderOf = [](const std::string& p) { return fs::path(p).parent_path().string(); };
  const Case cases[] = {
      {"a file where the folder should be",
       [&](const std::string& p) {
         fs::create_directories(fs::path(folderOf(p)).parent_path());
         std::ofstream(folderOf(p)) << "a file of the user's";
       },
       SongMemory::State::Off, SongMemory::Problem::CannotCreate, "cannot be created (Not a directory)"},
      {"a folder at the file's place", [&](const std::string& p) { fs::create_directories(p); },
       SongMemory::State::Off, SongMemory::Problem::NotAFile, "is not a regular file"},
      {"garbage",
       [&](const std::string& p) {
         fs::create_directories(folderOf(p));
         std::string bytes(8192, '\0');
         for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 7919 + 13) % 251);
         std::ofstream(p, std::ios::binary) << bytes;
       },
       SongMemory::State::Off, SongMemory::Problem::Damaged, "is damaged (file is not a database)"},
      {"truncated to half",
       [&](const std::string& p) {
         FillMemory(p, 10);
         fs::resize_file(p, fs::file_size(p) / 2);
       },
       SongMemory::State::Off, SongMemory::Problem::Damaged, "is damaged ("},
      {"a whole page overwritten",
       [&](const std::string& p) {
         FillMemory(p, 10);
         std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
         f.seekp(4096 * 3);
         f << std::string(4096, '\x5a');
       },
       SongMemory::State::Off, SongMemory::Problem::Damaged, "is damaged ("},
      {"a few bytes changed inside a page",
       [&](const std::string& p) {
         FillMemory(p, 10);
         std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
         // Page 2 is the songs table's first (made first); its cell
         // pointers follow the page's 8-byte header.
         f.seekp(4096 + 8);
         f << std::string(16, '\x5a');
       },
       SongMemory::State::Off, SongMemory::Problem::Damaged, "is damaged (its integrity check failed)"},
      {"another program's database",
       [&](const std::string& p) {
         fs::create_directories(folderOf(p));
         Connection other(p);
         ASSERT_EQ(other.run("CREATE TABLE photos (id INTEGER PRIMARY KEY, taken INTEGER)"), "");
         ASSERT_EQ(other.run("INSERT INTO photos (taken) VALUES (42)"), "");
       },
       SongMemory::State::Off, SongMemory::Problem::Foreign, "is not Pitchwell's song memory"},
      {"a newer Pitchwell's",
       [&](const std::string& p) {
         FillMemory(p);
         Connection newer(p);
         ASSERT_EQ(newer.run("ALTER TABLE songs ADD COLUMN rating INTEGER"), "");
         ASSERT_EQ(newer.run("PRAGMA user_version = 2"), "");
       },
       SongMemory::State::ReadOnly, SongMemory::Problem::Newer,
       "was written by a newer Pitchwell (schema 2; this one knows 1)"},
      {"a newer Pitchwell's that this one cannot read",
       [&](const std::string& p) {
         FillMemory(p);
         Connection newer(p);
         ASSERT_EQ(newer.run("ALTER TABLE songs RENAME COLUMN position_ms TO position_frames"), "");
         ASSERT_EQ(newer.run("PRAGMA user_version = 2"), "");
       },
       SongMemory::State::Off, SongMemory::Problem::Newer, "cannot be read"},
      {"read-only by its mode",
       [&](const std::string& p) {
         FillMemory(p);
         fs::permissions(p, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
       },
       SongMemory::State::ReadOnly, SongMemory::Problem::ReadOnlyFile, "cannot be written (Permission denied)",
       [](const std::string& p) {
         return ::access(p.c_str(), W_OK) == 0 ? std::string("the user may write any file (root)") : std::string();
       }},
      {"in a read-only folder",
       [&](const std::string& p) {
         FillMemory(p);
         fs::permissions(folderOf(p), fs::perms::owner_read | fs::perms::owner_exec);
       },
       SongMemory::State::ReadOnly, SongMemory::Problem::ReadOnlyFile, "cannot be written (Permission denied)",
       [&](const std::string& p) {
         return ::access(folderOf(p).c_str(), W_OK) == 0 ? std::string("the user may write any folder (root)")
                                                         : std::string();
       }},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = pwtest::TempDir(std::string("memory-unusable-") + std::to_string(&c - cases));
    const std::string p = root + "/data/pitchwell/songs.sqlite";
    c.setUp(p);
    if (c.skip) {
      const std::string why = c.skip(p);
      if (!why.empty()) {
        std::printf("[ SKIPPED  ] %s: %s\n", c.name, why.c_str());
        fs::permissions(folderOf(p), fs::perms::owner_all);
        continue;
      }
    }
    const auto before = Snapshot(root);

    {
      SongMemory memory(Q(p));
      EXPECT_EQ(memory.state(), c.state);
      EXPECT_EQ(memory.problemKind(), c.problem);
      const QString problem = memory.problem();
      EXPECT_NE(problem.indexOf(Q("\"" + p + "\"")), -1) << problem.toStdString();
      EXPECT_NE(problem.indexOf(Q(c.says)), -1) << problem.toStdString();
      EXPECT_EQ(problem.startsWith(QStringLiteral("Song memory is read-only: ")),
                c.state == SongMemory::State::ReadOnly) << problem.toStdString();
      // Said once.
      EXPECT_EQ(memory.takeNewProblem(), problem);
      EXPECT_EQ(memory.takeNewProblem(), QString());

      // Carries on: reads where it can, writes nothing.
      const std::optional<SongRecord> known = memory.load("key-0");
      if (c.state == SongMemory::State::ReadOnly) {
        ASSERT_TRUE(known.has_value());
        EXPECT_TRUE(*known == FullRecordLoaded());
        EXPECT_EQ(memory.recent().size(), 1u);
      } else {
        EXPECT_FALSE(known.has_value());
        EXPECT_TRUE(memory.recent().empty());
      }
      EXPECT_FALSE(memory.save("key-0", QStringLiteral("/m/new"), SongRecord{}));
      EXPECT_FALSE(memory.save("key-new", QStringLiteral("/m/new"), FullRecord()));
      EXPECT_EQ(memory.state(), c.state);
      EXPECT_EQ(memory.problem(), problem);
      EXPECT_EQ(memory.takeNewProblem(), QString());
    }
    // Nothing written, nothing made beside it, nothing removed.
    EXPECT_TRUE(Snapshot(root) == before);
    fs::permissions(folderOf(p), fs::perms::owner_all);
  }
}

TEST_F(SongMemoryTest, AFileOnAReadOnlyFileSystemIsReadAndNeverWritten) {
  const std::string mountPoint = dir + "/readonly";
  ReadOnlyFileSystem small(mountPoint);
  if (!small.mounted()) GTEST_SKIP() << "no file system of our own here: " << small.why();
  const std::string p = mountPoint + "/songs.sqlite";
  FillMemory(p);
  ASSERT_TRUE(small.makeReadOnly()) << std::strerror(errno);
  const auto before = Snapshot(mountPoint);

  SongMemory memory(Q(p));
  EXPECT_EQ(memory.state(), SongMemory::State::ReadOnly);
  EXPECT_EQ(memory.problemKind(), SongMemory::Problem::ReadOnlyFile);
  EXPECT_EQ(memory.problem().toStdString(),
            "Song memory is read-only: \"" + p + "\" cannot be written (Read-only file system); songs are restored "
            "from it, nothing new is kept.");
  const std::optional<SongRecord> known = memory.load("key-0");
  ASSERT_TRUE(known.has_value());
  EXPECT_TRUE(*known == FullRecordLoaded());
  EXPECT_FALSE(memory.save("key-0", QStringLiteral("/m/new"), SongRecord{}));
  EXPECT_TRUE(Snapshot(mountPoint) == before);
}

TEST_F(SongMemoryTest, ALockHeldByAnotherProgramTurnsTheMemoryOffWithoutWriting) {
  FillMemory(path);
  struct Case {
    const char* name;
    bool lockBeforeOpening;
  };
  for (const Case c : {Case{"locked when opened", true}, Case{"locked when saving", false}}) {
    SCOPED_TRACE(c.name);
    const auto before = Snapshot(dir);
    std::optional<Lock> lock;
    if (c.lockBeforeOpening) {
      lock.emplace(path);
      ASSERT_EQ(lock->error(), "");
    }
    SongMemory memory(Q(path));
    if (!c.lockBeforeOpening) {
      ASSERT_EQ(memory.state(), SongMemory::State::Ready);
      lock.emplace(path);
      ASSERT_EQ(lock->error(), "");
      EXPECT_FALSE(memory.save("key-0", QStringLiteral("/m/new"), SongRecord{}));
    }
    EXPECT_EQ(memory.state(), SongMemory::State::Off);
    EXPECT_EQ(memory.problemKind(), SongMemory::Problem::Locked);
    EXPECT_EQ(memory.takeNewProblem().toStdString(),
              "Song memory is off: \"" + path + "\" is locked by another program.");
    // Once the lock is gone the memory stays off for this run: a song read
    // as unknown must not be saved over what is kept for it.
    lock.reset();
    EXPECT_FALSE(memory.load("key-0").has_value());
    EXPECT_FALSE(memory.save("key-0", QStringLiteral("/m/new"), SongRecord{}));
    EXPECT_EQ(memory.takeNewProblem(), QString());
    EXPECT_TRUE(Snapshot(dir) == before);
  }
  // The file is sound: the next run reads it.
  SongMemory next(Q(path));
  ASSERT_EQ(next.state(), SongMemory::State::Ready);
  EXPECT_TRUE(next.load("key-0").has_value());
}

}  // namespace
