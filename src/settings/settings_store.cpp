#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaType>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <limits>
#include <memory>


namespace {

constexpr char kOrganisation[] = "Corvane";
constexpr char kApplication[] = "Pitchwell";
constexpr char kGroup[] = "Settings";

std::unique_ptr<QSettings> OpenStore(const SettingsStore& store) {
  std::unique_ptr<QSettings> s;
  if (!store.file.empty()) {
    s = std::make_unique<QSettings>(QString::fromStdString(store.file), QSettings::IniFormat);
  } else {
    s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication);
  }
  // Only this one store counts, as with a single registry key: no
  // organisation-wide or system-wide files mixed in.
  s->setFallbacksEnabled(false);
  return s;
}

// The registry needs no file; every other store is one.
bool FileBacked(const QSettings& s) {
#ifdef Q_OS_WIN
  return s.format() != QSettings::NativeFormat;
#else
  (void)s;
  return true;
#endif
}

// The stored name that matches `name` without regard to case, preferring the
// exact spelling (an INI file may hold several spellings; a registry key not).
QString StoredName(const QStringList& keys, const QString& name) {
  if (keys.contains(name)) return name;
  for (const QString& key : keys) {
    if (key.compare(name, Qt::CaseInsensitive) == 0) return key;
  }
  return {};
}

void ReadText(const QSettings& s, const QStringList& keys, const char* name, std::string& into) {
  const QString key = StoredName(keys, QString::fromLatin1(name));
  if (key.isEmpty()) return;
  const QVariant v = s.value(key);
  if (v.typeId() == QMetaType::QString) into = v.toString().toStdString();
}

// Registry values arrive typed; an INI file holds text, which must be a whole
// decimal number that fits.
void ReadInt(const QSettings& s, const QStringList& keys, const char* name, int32_t& into) {
  const QString key = StoredName(keys, QString::fromLatin1(name));
  if (key.isEmpty()) return;
  const QVariant v = s.value(key);
  bool ok = false;
  qlonglong n = 0;
  switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
      n = v.toLongLong(&ok);
      break;
    case QMetaType::QString:
      n = v.toString().toLongLong(&ok, 10);
      break;
    default:
      return;
  }
  if (ok && n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max()) {
    into = static_cast<int32_t>(n);
  }
}

void WriteValue(QSettings& s, const QStringList& keys, const char* name, const QVariant& value) {
  QString key = StoredName(keys, QString::fromLatin1(name));
  if (key.isEmpty()) key = QString::fromLatin1(name);
  s.setValue(key, value);
}

}  // namespace

std::string UserMusicFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
  return (QDir(folder).absolutePath() + QLatin1Char('/')).toStdString();
}

std::string ProgramFolder() {
  QString dir;
  if (QCoreApplication::instance() != nullptr) {
    dir = QCoreApplication::applicationDirPath();
  } else {
    dir = QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
  }
  if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
  return QDir::toNativeSeparators(dir).toStdString();
}

std::string SettingsLocation() {
  return OpenStore({})->fileName().toStdString();
}

void Load(Settings& settings, const SettingsStore& store) {
  Settings::Folders& folders = settings.folders;
  folders.program = store.programDir.empty() ? ProgramFolder() : store.programDir;
  // The dialogs start in the program's folder only where that is the
  // caller's choice (a portable copy, the tests); an installed program's
  // folder is /usr/bin, no place to look for songs or to save them, so
  // they start in the user's music folder (or home) instead.
  folders.recent = store.programDir.empty() ? UserMusicFolder() : store.programDir;
  folders.recentOut = folders.recent;
  settings.volume = 8000;
  settings.encoder.typeIndex = 0;
  settings.practiceDrawer = 0;
  settings.keepSettings = 0;
  settings.sendReports = 1;

  std::unique_ptr<QSettings> s = OpenStore(store);
  if (FileBacked(*s)) {
    const QFileInfo file(s->fileName());
    if (!file.exists()) {
      // First run: an empty store, so that the save at exit finds one.
      QDir().mkpath(file.absolutePath());
      QFile created(file.absoluteFilePath());
      (void)created.open(QIODevice::WriteOnly | QIODevice::NewOnly);  // on failure Save finds none
      return;  // nothing to read
    }
    if (!file.isFile() || !file.isReadable()) return;
  }
  if (s->status() != QSettings::NoError) return;

  s->beginGroup(QString::fromLatin1(kGroup));
  const QStringList keys = s->childKeys();
  ReadText(*s, keys, "path", folders.program);
  ReadText(*s, keys, "recent", folders.recent);
  ReadText(*s, keys, "recentout", folders.recentOut);
  ReadInt(*s, keys, "volume", settings.volume);
  ReadInt(*s, keys, "defaultcodec", settings.encoder.typeIndex);
  ReadInt(*s, keys, "practicedrawer", settings.practiceDrawer);
  ReadInt(*s, keys, "keepsettings", settings.keepSettings);
  ReadInt(*s, keys, "sendreports", settings.sendReports);
  s->endGroup();
}

void Save(const Settings& settings, const SettingsStore& store) {
  std::unique_ptr<QSettings> s = OpenStore(store);
  if (FileBacked(*s)) {
    const QFileInfo file(s->fileName());
    if (!file.isFile() || !file.isWritable()) return;  // missing or read-only: write nothing
  }
  if (s->status() != QSettings::NoError) return;  // unreadable or malformed: leave it be

  const Settings::Folders& folders = settings.folders;
  s->beginGroup(QString::fromLatin1(kGroup));
  const QStringList keys = s->childKeys();
  WriteValue(*s, keys, "path", QString::fromStdString(folders.program));
  WriteValue(*s, keys, "recent", QString::fromStdString(folders.recent));
  WriteValue(*s, keys, "recentout", QString::fromStdString(folders.recentOut));
  WriteValue(*s, keys, "volume", static_cast<int>(settings.volume));
  WriteValue(*s, keys, "defaultcodec", static_cast<int>(settings.encoder.typeIndex));
  WriteValue(*s, keys, "practicedrawer", static_cast<int>(settings.practiceDrawer));
  WriteValue(*s, keys, "keepsettings", static_cast<int>(settings.keepSettings));
  WriteValue(*s, keys, "sendreports", static_cast<int>(settings.sendReports));
  s->endGroup();
  s->sync();
}
