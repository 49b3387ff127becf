#include "memory/song_memory.h"

#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// One step of the schema: the statements that take a file from the version
// before `to` up to `to`. A new version appends a step; steps never change.
struct Migration {
  int to;
  std::vector<const char*> statements;
};

const Migration kMigrations[] = {
    {1,
     {"CREATE TABLE songs ("
      " id INTEGER PRIMARY KEY,"
      " content_key TEXT UNIQUE NOT NULL,"
      " path TEXT,"
      " last_opened INTEGER,"
      " position_ms INTEGER NOT NULL DEFAULT 0,"
      " loop_start_ms INTEGER,"
      " loop_end_ms INTEGER,"
      " loop_enabled INTEGER NOT NULL DEFAULT 0,"
      " trainer_parameter TEXT,"
      " trainer_start REAL,"
      " trainer_step REAL,"
      " trainer_target REAL,"
      " keep_settings INTEGER NOT NULL DEFAULT 0,"
      " speed REAL, tempo REAL, pitch REAL, treble REAL, bass REAL)",
      "CREATE TABLE markers ("
      " id INTEGER PRIMARY KEY,"
      " song_id INTEGER NOT NULL REFERENCES songs(id) ON DELETE CASCADE,"
      " position_ms INTEGER NOT NULL,"
      " name TEXT NOT NULL)",
      "CREATE INDEX markers_by_song ON markers(song_id, position_ms)",
      "CREATE INDEX songs_by_last_opened ON songs(last_opened)"}},
};
static_assert(std::size(kMigrations) == size_t(SongMemory::kSchemaVersion));

// What this program reads; a newer schema that still has these columns is
// read, one that lost any is not.
const char kSongColumns[] =
    "id, position_ms, loop_start_ms, loop_end_ms, loop_enabled, trainer_parameter, trainer_start, trainer_step,"
    " trainer_target, keep_settings, speed, tempo, pitch, treble, bass, content_key, path, last_opened";
const char kMarkerColumns[] = "id, song_id, position_ms, name";

// SQLite's primary result codes (sqlite3.h stays out of this module: Qt's
// driver hands them over as numbers, possibly extended in the high bits).
constexpr int kSqliteBusy = 5;
constexpr int kSqliteLocked = 6;
constexpr int kSqliteReadOnly = 8;
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteNotADatabase = 26;

std::atomic<uint64_t> ConnectionCount{0};

QString Quoted(const QString& path) { return '"' + QDir::toNativeSeparators(path) + '"'; }

QString ErrnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The first line of SQLite's own words for an error.
QString ReasonOf(const QSqlError& error) {
  QString text = error.databaseText().trimmed();
  if (text.isEmpty()) text = error.driverText().trimmed();
  if (text.isEmpty()) text = QStringLiteral("unknown error");
  return text.section('\n', 0, 0);
}

int PrimaryCode(const QSqlError& error) {
  bool ok = false;
  const int code = error.nativeErrorCode().toInt(&ok);
  return ok ? (code & 0xff) : -1;
}

std::optional<int64_t> Integer(const QVariant& v) {
  if (v.isNull()) return std::nullopt;
  bool ok = false;
  const qlonglong n = v.toLongLong(&ok);
  return ok ? std::optional<int64_t>(n) : std::nullopt;
}

std::optional<double> Real(const QVariant& v) {
  if (v.isNull()) return std::nullopt;
  bool ok = false;
  const double d = v.toDouble(&ok);
  return ok ? std::optional<double>(d) : std::nullopt;
}

QVariant Nullable(double v, bool present) { return present ? QVariant(v) : QVariant(QMetaType::fromType<double>()); }

const char* ParameterName(SpeedTrainer::Parameter p) { return p == SpeedTrainer::Parameter::Speed ? "speed" : "tempo"; }

}  // namespace

std::vector<SongMarker> SongRecord::markersNamed(const QString& name) const {
  std::vector<SongMarker> found;
  for (const SongMarker& m : markers)
    if (m.name == name) found.push_back(m);
  return found;
}

bool SongRecord::operator==(const SongRecord& o) const {
  return positionMs == o.positionMs && loop == o.loop && trainer.parameter == o.trainer.parameter &&
         trainer.startPercent == o.trainer.startPercent && trainer.stepPercent == o.trainer.stepPercent &&
         trainer.targetPercent == o.trainer.targetPercent && keepSettings == o.keepSettings && values == o.values &&
         markers == o.markers;
}

SongMemory::SongMemory(const QString& path, Access access)
    : path_(path), name_(QStringLiteral("pitchwell-song-memory-%1").arg(ConnectionCount.fetch_add(1))) {
  open(access);
}

SongMemory::~SongMemory() {
  disconnect();
  QSqlDatabase::removeDatabase(name_);
}

QString SongMemory::DefaultPath() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (data.isEmpty()) return {};
  return data + QStringLiteral("/pitchwell/songs.sqlite");
}

QString SongMemory::takeNewProblem() {
  if (problemTaken_ || problemText_.isEmpty()) return {};
  problemTaken_ = true;
  return problemText_;
}

// ---- Opening -----------------------------------------------------------------

void SongMemory::open(Access access) {
  if (path_.isEmpty()) {
    fail(Problem::CannotCreate, QStringLiteral("the system names no folder for user data"));
    return;
  }
  namespace fs = std::filesystem;
  const fs::path file(QFile::encodeName(path_).toStdString());
  const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);

  if (fs::exists(status)) {
    if (!fs::is_regular_file(status)) {
      fail(Problem::NotAFile);
      return;
    }
    // Everything about a file that is there is learnt read-only: one that
    // turns out damaged or foreign has had nothing written to it.
    if (!connect(true)) return;
    int version = 0;
    bool empty = false;
    if (!inspect(&version, &empty)) return;
    if (access == Access::ReadOnly) {
      if (empty) {
        fail(Problem::Missing, QStringLiteral("holds no songs yet"));
        return;
      }
      state_ = State::ReadOnly;
      return;
    }
    if (version > kSchemaVersion) {
      state_ = State::ReadOnly;
      fail(Problem::Newer, QString::number(version));
      return;
    }
    int denied = 0;
    if (::access(file.c_str(), W_OK) != 0) denied = errno;
    // SQLite writes its journal beside the file.
    else if (::access(folder.c_str(), W_OK) != 0) denied = errno;
    if (denied != 0) {
      if (empty) {
        fail(Problem::CannotCreate, ErrnoText(denied));
        return;
      }
      state_ = State::ReadOnly;
      fail(Problem::ReadOnlyFile, ErrnoText(denied));
      return;
    }
    disconnect();
    if (!connect(false)) return;
    state_ = State::Ready;
    if (version < kSchemaVersion) migrate();
    return;
  }

  if (access == Access::ReadOnly) {
    fail(Problem::Missing);
    return;
  }
  if (!fs::is_directory(folder, ec)) {
    fs::create_directories(folder, ec);
    if (ec) {
      fail(Problem::CannotCreate, QString::fromLocal8Bit(ec.message()));
      return;
    }
  }
  if (::access(folder.c_str(), W_OK) != 0) {
    fail(Problem::CannotCreate, ErrnoText(errno));
    return;
  }
  if (!connect(false)) return;
  state_ = State::Ready;
  migrate();
}

bool SongMemory::connect(bool readOnly) {
  if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
    fail(Problem::NoDriver);
    return false;
  }
  db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
  db_.setDatabaseName(path_);
  QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs);
  if (readOnly) options += QStringLiteral(";QSQLITE_OPEN_READONLY");
  db_.setConnectOptions(options);
  if (!db_.open()) {
    const QSqlError error = db_.lastError();
    if (readOnly)
      failOn(error, false);
    else
      fail(Problem::CannotCreate, ReasonOf(error));
    return false;
  }
  if (!readOnly) {
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral("PRAGMA foreign_keys = ON"))) {
      failOn(q.lastError(), false);
      return false;
    }
  }
  return true;
}

bool SongMemory::inspect(int* version, bool* empty) {
  QSqlQuery q(db_);
  q.setForwardOnly(true);
  auto number = [&](const QString& sql, int64_t* out) {
    if (!q.exec(sql) || !q.next()) {
      failOn(q.lastError(), false);
      return false;
    }
    *out = q.value(0).toLongLong();
    q.finish();
    return true;
  };
  int64_t applicationId = 0, userVersion = 0, objects = 0;
  if (!number(QStringLiteral("PRAGMA application_id"), &applicationId) ||
      !number(QStringLiteral("PRAGMA user_version"), &userVersion) ||
      !number(QStringLiteral("SELECT count(*) FROM sqlite_master"), &objects))
    return false;
  *empty = applicationId == 0 && userVersion == 0 && objects == 0;
  *version = int(std::clamp<int64_t>(userVersion, 0, INT32_MAX));
  if (*empty) return true;
  if (applicationId != kApplicationId) {
    fail(Problem::Foreign);
    return false;
  }

  if (!q.exec(QStringLiteral("PRAGMA quick_check"))) {
    failOn(q.lastError(), false);
    return false;
  }
  QStringList findings;
  while (q.next()) findings << q.value(0).toString();
  if (q.lastError().isValid()) {
    failOn(q.lastError(), false);
    return false;
  }
  q.finish();
  if (findings != QStringList{QStringLiteral("ok")}) {
    // Its findings ("On tree page 4 cell 103: ...") mean nothing to the user.
    fail(Problem::Damaged, QStringLiteral("its integrity check failed"));
    return false;
  }
  if (*version < 1) {
    fail(Problem::Damaged, QStringLiteral("its schema number is missing"));
    return false;
  }
  for (const QString& sql : {QStringLiteral("SELECT %1 FROM songs LIMIT 0").arg(QLatin1String(kSongColumns)),
                             QStringLiteral("SELECT %1 FROM markers LIMIT 0").arg(QLatin1String(kMarkerColumns))}) {
    if (!q.exec(sql)) {
      if (PrimaryCode(q.lastError()) == kSqliteBusy || PrimaryCode(q.lastError()) == kSqliteLocked)
        failOn(q.lastError(), false);
      else if (*version > kSchemaVersion)
        fail(Problem::Newer, QString::number(*version));  // and cannot even be read
      else
        fail(Problem::Damaged, QStringLiteral("its tables are not the ones Pitchwell made"));
      return false;
    }
    q.finish();
  }
  return true;
}

bool SongMemory::beginWrite(QSqlQuery& q) {
  if (q.exec(QStringLiteral("BEGIN IMMEDIATE"))) return true;
  failOn(q.lastError(), true);
  return false;
}

void SongMemory::rollBack(QSqlQuery& q, const QSqlError& error, bool writing) {
  q.finish();
  QSqlQuery(db_).exec(QStringLiteral("ROLLBACK"));
  failOn(error, writing);
}

bool SongMemory::migrate() {
  QSqlQuery q(db_);
  q.setForwardOnly(true);
  auto abandon = [&](const QSqlError& error) {
    rollBack(q, error, true);
    return false;
  };
  if (!beginWrite(q)) return false;
  // Read again under the write lock: another instance may have set the
  // file up since it was inspected.
  int64_t applicationId = 0, version = 0, objects = 0;
  for (auto [sql, out] : {std::pair{"PRAGMA application_id", &applicationId},
                          std::pair{"PRAGMA user_version", &version},
                          std::pair{"SELECT count(*) FROM sqlite_master", &objects}}) {
    if (!q.exec(QLatin1String(sql)) || !q.next()) return abandon(q.lastError());
    *out = q.value(0).toLongLong();
    q.finish();
  }
  const bool empty = applicationId == 0 && version == 0 && objects == 0;
  if (!empty && applicationId != kApplicationId) {
    q.exec(QStringLiteral("ROLLBACK"));
    fail(Problem::Foreign);
    return false;
  }
  for (const Migration& step : kMigrations) {
    if (step.to <= version) continue;
    for (const char* statement : step.statements)
      if (!q.exec(QLatin1String(statement))) return abandon(q.lastError());
    if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(step.to))) return abandon(q.lastError());
  }
  if (!q.exec(QStringLiteral("PRAGMA application_id = %1").arg(kApplicationId))) return abandon(q.lastError());
  if (!q.exec(QStringLiteral("COMMIT"))) return abandon(q.lastError());
  return true;
}

// ---- Failures ----------------------------------------------------------------

void SongMemory::fail(Problem problem, const QString& reason) {
  const bool keepsReading = problem == Problem::ReadOnlyFile || problem == Problem::Newer;
  // A later problem replaces the first only when it turns a read-only
  // memory off.
  const bool replaces = problem_ == Problem::None || (state_ == State::ReadOnly && !keepsReading);
  state_ = keepsReading && state_ != State::Off ? State::ReadOnly : State::Off;
  // Closed at once, so no lock of ours is left on the file; the connection
  // itself goes with the object (a caller's query may still refer to it).
  if (state_ == State::Off && db_.isOpen()) db_.close();
  if (!replaces) return;
  problem_ = problem;
  problemTaken_ = false;
  const QString file = Quoted(path_);
  switch (problem) {
    case Problem::None:
      problemText_.clear();
      return;
    case Problem::Missing:
      problemText_ = reason.isEmpty() ? QStringLiteral("Song memory is off: %1 does not exist.").arg(file)
                                      : QStringLiteral("Song memory is off: %1 %2.").arg(file, reason);
      return;
    case Problem::CannotCreate:
      problemText_ = path_.isEmpty()
                         ? QStringLiteral("Song memory is off: %1.").arg(reason)
                         : QStringLiteral("Song memory is off: %1 cannot be created (%2).").arg(file, reason);
      return;
    case Problem::NotAFile:
      problemText_ = QStringLiteral("Song memory is off: %1 is not a regular file; it is left as it is.").arg(file);
      return;
    case Problem::Damaged:
      problemText_ = QStringLiteral("Song memory is off: %1 is damaged (%2); it is left as it is.").arg(file, reason);
      return;
    case Problem::Foreign:
      problemText_ =
          QStringLiteral("Song memory is off: %1 is not Pitchwell's song memory; it is left as it is.").arg(file);
      return;
    case Problem::Locked:
      problemText_ = QStringLiteral("Song memory is off: %1 is locked by another program.").arg(file);
      return;
    case Problem::ReadOnlyFile:
      problemText_ = QStringLiteral("Song memory is read-only: %1 cannot be written (%2); songs are restored "
                                    "from it, nothing new is kept.")
                         .arg(file, reason);
      return;
    case Problem::Newer:
      problemText_ = state_ == State::Off
                         ? QStringLiteral("Song memory is off: %1 was written by a newer Pitchwell (schema %2; this "
                                          "one knows %3) and cannot be read; it is left as it is.")
                               .arg(file, reason)
                               .arg(kSchemaVersion)
                         : QStringLiteral("Song memory is read-only: %1 was written by a newer Pitchwell (schema %2; "
                                          "this one knows %3); songs are restored from it, nothing new is kept.")
                               .arg(file, reason)
                               .arg(kSchemaVersion);
      return;
    case Problem::CannotRead:
      problemText_ = QStringLiteral("Song memory is off: %1 cannot be read (%2).").arg(file, reason);
      return;
    case Problem::CannotWrite:
      problemText_ = QStringLiteral("Song memory is off: %1 cannot be written (%2).").arg(file, reason);
      return;
    case Problem::NoDriver:
      problemText_ =
          QStringLiteral("Song memory is off: %1 cannot be opened: Qt's SQLite driver is not installed.").arg(file);
      return;
  }
}

void SongMemory::failOn(const QSqlError& error, bool writing) {
  const QString reason = ReasonOf(error);
  switch (PrimaryCode(error)) {
    case kSqliteBusy:
    case kSqliteLocked:
      fail(Problem::Locked);
      return;
    case kSqliteCorrupt:
    case kSqliteNotADatabase:
      fail(Problem::Damaged, reason);
      return;
    case kSqliteReadOnly:
      // The file turned read-only under us (a remount, a changed mode).
      fail(Problem::CannotWrite, reason);
      return;
    default:
      fail(writing ? Problem::CannotWrite : Problem::CannotRead, reason);
      return;
  }
}

void SongMemory::disconnect() {
  if (!db_.isValid()) return;
  db_.close();
  db_ = QSqlDatabase();
  QSqlDatabase::removeDatabase(name_);
}

// ---- Reading and writing -----------------------------------------------------

std::optional<SongRecord> SongMemory::load(const std::string& contentKey) {
  if (state_ == State::Off || contentKey.empty()) return std::nullopt;
  QSqlQuery q(db_);
  q.setForwardOnly(true);
  auto abandon = [&](const QSqlError& error) {
    rollBack(q, error, false);
    return std::nullopt;
  };
  // One read transaction: the song and its markers as one writer left them.
  if (!q.exec(QStringLiteral("BEGIN"))) return abandon(q.lastError());
  q.prepare(QStringLiteral("SELECT %1 FROM songs WHERE content_key = ?").arg(QLatin1String(kSongColumns)));
  q.addBindValue(QString::fromStdString(contentKey));
  if (!q.exec()) return abandon(q.lastError());
  if (!q.next()) {
    if (q.lastError().isValid()) return abandon(q.lastError());
    q.finish();
    q.exec(QStringLiteral("COMMIT"));
    return std::nullopt;
  }
  SongRecord r;
  const qlonglong id = q.value(0).toLongLong();
  r.positionMs = std::max<int64_t>(0, Integer(q.value(1)).value_or(0));
  const auto loopStart = Integer(q.value(2)), loopEnd = Integer(q.value(3));
  if (loopStart && loopEnd && *loopStart < *loopEnd)
    r.loop = SongLoop{*loopStart, *loopEnd, Integer(q.value(4)).value_or(0) != 0};
  if (q.value(5).toString() == QLatin1String(ParameterName(SpeedTrainer::Parameter::Speed)))
    r.trainer.parameter = SpeedTrainer::Parameter::Speed;
  else if (q.value(5).toString() == QLatin1String(ParameterName(SpeedTrainer::Parameter::Tempo)))
    r.trainer.parameter = SpeedTrainer::Parameter::Tempo;
  r.trainer.startPercent = Real(q.value(6)).value_or(r.trainer.startPercent);
  r.trainer.stepPercent = Real(q.value(7)).value_or(r.trainer.stepPercent);
  r.trainer.targetPercent = Real(q.value(8)).value_or(r.trainer.targetPercent);
  r.keepSettings = Integer(q.value(9)).value_or(0) != 0;
  if (r.keepSettings) {
    r.values.speedPercent = Real(q.value(10)).value_or(0);
    r.values.tempoPercent = Real(q.value(11)).value_or(0);
    r.values.pitchSemitones = Real(q.value(12)).value_or(0);
    r.values.treblePercent = Real(q.value(13)).value_or(0);
    r.values.bassPercent = Real(q.value(14)).value_or(0);
  }
  q.finish();

  q.prepare(QStringLiteral("SELECT position_ms, name FROM markers WHERE song_id = ? ORDER BY position_ms, id"));
  q.addBindValue(id);
  if (!q.exec()) return abandon(q.lastError());
  while (q.next()) r.markers.push_back(SongMarker{Integer(q.value(0)).value_or(0), q.value(1).toString()});
  if (q.lastError().isValid()) return abandon(q.lastError());
  q.finish();
  if (!q.exec(QStringLiteral("COMMIT"))) return abandon(q.lastError());
  return r;
}

bool SongMemory::save(const std::string& contentKey, const QString& path, const SongRecord& record) {
  if (state_ != State::Ready || contentKey.empty()) return false;
  QSqlQuery q(db_);
  q.setForwardOnly(true);
  auto abandon = [&](const QSqlError& error) {
    rollBack(q, error, true);
    return false;
  };
  // The write lock at once: waiting for it mid-way could only end in a
  // deadlock with another writer.
  if (!beginWrite(q)) return false;
  // Strictly after every earlier opening, so the recent list keeps the
  // order of the saves even within one millisecond.
  if (!q.exec(QStringLiteral("SELECT MAX(last_opened) FROM songs")) || !q.next()) return abandon(q.lastError());
  const int64_t latest = Integer(q.value(0)).value_or(0);
  q.finish();
  const int64_t opened = std::max<int64_t>(QDateTime::currentMSecsSinceEpoch(), latest + 1);

  q.prepare(QStringLiteral(
      "INSERT INTO songs (content_key, path, last_opened, position_ms, loop_start_ms, loop_end_ms, loop_enabled,"
      " trainer_parameter, trainer_start, trainer_step, trainer_target, keep_settings, speed, tempo, pitch, treble,"
      " bass) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
      " ON CONFLICT(content_key) DO UPDATE SET path = excluded.path, last_opened = excluded.last_opened,"
      " position_ms = excluded.position_ms, loop_start_ms = excluded.loop_start_ms,"
      " loop_end_ms = excluded.loop_end_ms, loop_enabled = excluded.loop_enabled,"
      " trainer_parameter = excluded.trainer_parameter, trainer_start = excluded.trainer_start,"
      " trainer_step = excluded.trainer_step, trainer_target = excluded.trainer_target,"
      " keep_settings = excluded.keep_settings, speed = excluded.speed, tempo = excluded.tempo,"
      " pitch = excluded.pitch, treble = excluded.treble, bass = excluded.bass"));
  const QVariant noInteger(QMetaType::fromType<qlonglong>());
  const bool keep = record.keepSettings;
  q.addBindValue(QString::fromStdString(contentKey));
  q.addBindValue(path);
  q.addBindValue(qlonglong(opened));
  q.addBindValue(qlonglong(std::max<int64_t>(0, record.positionMs)));
  q.addBindValue(record.loop ? QVariant(qlonglong(record.loop->startMs)) : noInteger);
  q.addBindValue(record.loop ? QVariant(qlonglong(record.loop->endMs)) : noInteger);
  q.addBindValue(record.loop && record.loop->enabled ? 1 : 0);
  q.addBindValue(QString::fromLatin1(ParameterName(record.trainer.parameter)));
  q.addBindValue(record.trainer.startPercent);
  q.addBindValue(record.trainer.stepPercent);
  q.addBindValue(record.trainer.targetPercent);
  q.addBindValue(keep ? 1 : 0);
  q.addBindValue(Nullable(record.values.speedPercent, keep));
  q.addBindValue(Nullable(record.values.tempoPercent, keep));
  q.addBindValue(Nullable(record.values.pitchSemitones, keep));
  q.addBindValue(Nullable(record.values.treblePercent, keep));
  q.addBindValue(Nullable(record.values.bassPercent, keep));
  if (!q.exec()) return abandon(q.lastError());

  q.prepare(QStringLiteral("SELECT id FROM songs WHERE content_key = ?"));
  q.addBindValue(QString::fromStdString(contentKey));
  if (!q.exec() || !q.next()) return abandon(q.lastError());
  const qlonglong id = q.value(0).toLongLong();
  q.finish();

  q.prepare(QStringLiteral("DELETE FROM markers WHERE song_id = ?"));
  q.addBindValue(id);
  if (!q.exec()) return abandon(q.lastError());
  // Stable by place: markers on the same place keep the order given, which
  // their ids then keep on loading.
  std::vector<SongMarker> markers = record.markers;
  std::stable_sort(markers.begin(), markers.end(),
                   [](const SongMarker& a, const SongMarker& b) { return a.ms < b.ms; });
  q.prepare(QStringLiteral("INSERT INTO markers (song_id, position_ms, name) VALUES (?, ?, ?)"));
  for (const SongMarker& m : markers) {
    q.bindValue(0, id);
    q.bindValue(1, qlonglong(m.ms));
    q.bindValue(2, m.name.isNull() ? QString(QLatin1String("")) : m.name);
    if (!q.exec()) return abandon(q.lastError());
  }
  if (!q.exec(QStringLiteral("COMMIT"))) return abandon(q.lastError());
  return true;
}

std::vector<RecentSong> SongMemory::recent(int count) {
  std::vector<RecentSong> songs;
  if (state_ == State::Off || count <= 0) return songs;
  QSqlQuery q(db_);
  q.setForwardOnly(true);
  q.prepare(QStringLiteral(
      "SELECT path, MAX(last_opened) AS opened FROM songs WHERE path IS NOT NULL AND path <> ''"
      " GROUP BY path ORDER BY opened DESC LIMIT ?"));
  q.addBindValue(count);
  if (!q.exec()) {
    failOn(q.lastError(), false);
    return {};
  }
  while (q.next()) {
    const QString path = q.value(0).toString();
    const QFileInfo file(path);
    songs.push_back(RecentSong{path, file.fileName(), Integer(q.value(1)).value_or(0), file.isFile()});
  }
  if (q.lastError().isValid()) {
    const QSqlError error = q.lastError();
    q.finish();
    failOn(error, false);
    return {};
  }
  return songs;
}
