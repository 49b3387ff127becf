// What the program remembers of each song between runs: its markers, the
// A–B loop, where it was left, the speed trainer's plan and, when the user
// asks for it, the five sliders. A song is found by its content key
// (analysis/song_identity.h), so a renamed or moved file is still known; the
// path it was last opened from is kept for the recent list.
//
// The memory is a per-user SQLite database (DefaultPath()) reached through
// Qt's SQL module: one row per song in `songs`, one row per marker in
// `markers`, the schema's number in PRAGMA user_version (kSchemaVersion)
// and Pitchwell's mark in PRAGMA application_id, so that another program's
// database is never taken for ours. Every write is one transaction.
//
// A memory that cannot be used never stops the program and is never made
// worse: a folder that cannot be created, a file that is damaged, foreign,
// locked by another program or read-only is left exactly as it was. The
// memory then says so once (problem(), takeNewProblem()) and goes on
// without it: every later call is a harmless no-op returning nothing. A
// read-only file, or one written by a newer Pitchwell, is still read (songs
// are restored) but nothing is written to it.
//
// Threads: the thread that constructs a SongMemory (the main thread in the
// window, main() in the renderer) owns every member and is the only one to
// call it; its database connection belongs to that thread. No call waits
// for another program's lock longer than kBusyTimeoutMs.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QSqlDatabase>

#include "memory/song_record.h"

class QSqlError;
class QSqlQuery;

class SongMemory {
 public:
  // The schema this program writes; older ones are migrated up to it.
  static constexpr int kSchemaVersion = 1;
  // PRAGMA application_id of a Pitchwell song memory ("PwSm").
  static constexpr int32_t kApplicationId = 0x5077536d;
  // The longest any call waits for another connection's lock.
  static constexpr int kBusyTimeoutMs = 250;
  static constexpr int kRecentCount = 10;

  enum class Access {
    ReadWrite,  // creates the folder and the file when missing (the window)
    ReadOnly,   // never creates, never writes (the renderer)
  };
  enum class State {
    Ready,     // reads and writes
    ReadOnly,  // reads; save() writes nothing (Access::ReadOnly, a read-only file, a newer schema)
    Off,       // nothing: every call is a no-op
  };
  // Why the memory is not Ready.
  enum class Problem {
    None,
    Missing,          // Access::ReadOnly and no file (or no place for one)
    CannotCreate,     // the folder or the file cannot be made
    NotAFile,         // something other than a regular file at the path
    Damaged,          // not a database, or one that fails its check
    Foreign,          // a database, but not a Pitchwell song memory
    Locked,           // another program held a lock for longer than kBusyTimeoutMs
    ReadOnlyFile,     // the file or its folder cannot be written: read, never written
    Newer,            // written by a newer Pitchwell: read, never written
    CannotRead,       // any other failure while reading
    CannotWrite,      // any other failure while writing (full disk, I/O error)
    NoDriver,         // Qt's SQLite driver is not installed
  };

  // Opens (Access::ReadWrite: creates when missing, migrating an empty or
  // older file up to kSchemaVersion) the memory at `path`. Checks an
  // existing file through a read-only connection first (its application id,
  // schema number and tables, PRAGMA quick_check) and writes nothing to one
  // that fails. Never throws; a failure shows in state() and problem().
  explicit SongMemory(const QString& path, Access access = Access::ReadWrite);
  ~SongMemory();
  SongMemory(const SongMemory&) = delete;
  SongMemory& operator=(const SongMemory&) = delete;

  // $XDG_DATA_HOME/pitchwell/songs.sqlite (QStandardPaths'
  // GenericDataLocation: ~/.local/share on Linux); empty when the system
  // names no such folder.
  static QString DefaultPath();

  const QString& path() const { return path_; }
  State state() const { return state_; }
  Problem problemKind() const { return problem_; }
  // The first problem met, for the user, naming the file and the reason:
  // 'Song memory is off: "/home/u/.local/share/pitchwell/songs.sqlite" is
  // damaged (file is not a database); it is left as it is.' Empty while all
  // is well. A later problem replaces it only when it turns a read-only
  // memory off.
  const QString& problem() const { return problemText_; }
  // problem() the first time it is asked for after the problem arose, then
  // empty: the window shows it once.
  QString takeNewProblem();

  // The song's record; nothing when the song is not known or the memory is
  // Off (or turns Off on this read).
  std::optional<SongRecord> load(const std::string& contentKey);
  // Keeps `record` for the song, with `path` for the recent list and now as
  // its last opening, replacing what was kept for it (all its markers
  // included), in one transaction. A negative position is kept as 0. True once committed; false (nothing
  // written) when the memory is not Ready, or turns Off on this write.
  bool save(const std::string& contentKey, const QString& path, const SongRecord& record);
  // The last `count` paths songs were opened from, the latest first, each
  // path once.
  std::vector<RecentSong> recent(int count = kRecentCount);

 private:
  void open(Access access);
  // Opens the connection `name_` on the file; readOnly: SQLite's read-only mode.
  bool connect(bool readOnly);
  // Checks the existing file; false after turning Off.
  bool inspect(int* version, bool* empty);
  bool migrate();
  // Turns the memory off (or read-only) for `problem` unless it already has one.
  void fail(Problem problem, const QString& reason = {});
  void failOn(const QSqlError& error, bool writing);
  // Takes the write lock (BEGIN IMMEDIATE); false, after failOn, when it
  // cannot be had within kBusyTimeoutMs.
  bool beginWrite(QSqlQuery& q);
  // Ends the transaction in `q` without a trace, then fails on `error`.
  void rollBack(QSqlQuery& q, const QSqlError& error, bool writing);
  void disconnect();

  const QString path_;
  const QString name_;  // the connection's name, unique to this object
  QSqlDatabase db_;
  State state_ = State::Off;
  Problem problem_ = Problem::None;
  QString problemText_;
  bool problemTaken_ = false;
};
