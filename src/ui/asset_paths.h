// Where the program finds its files at run time (skin, icons, help), both in
// the build tree and once installed under a prefix:
//   <prefix>/bin/pitchwell
//   <prefix>/share/pitchwell/{skin.svg, pitchwell.html, icons/…}
// Every function here is stateless and may be called from any thread, except
// those that need a QGuiApplication (ProgramIcon, RenderedIcon), which run on
// the main thread.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <string>

// The help file's name, beside the executable or in the shared data folder.
inline constexpr char kHelpFileName[] = "pitchwell.html";

// The folder of the running executable; empty without a QCoreApplication.
QString ExecutableDir();

// Where a data file named `name` ("skin.svg", "icons/info.svg") is looked
// for, in order: <executableDir>/assets/<name>, <executableDir>/../share/
// pitchwell/<name>, then the source tree's assets folder. An empty
// `executableDir` leaves out the first two.
QStringList AssetCandidates(const QString& executableDir, const QString& name);
// The first candidate that exists; if none does, the source tree's path (so
// that a failure names a real place).
QString FindAsset(const QString& executableDir, const QString& name);
// FindAsset for the running executable.
QString AssetPath(const QString& name);

// Where the help file is looked for, in order: beside the executable, then
// <executableDir>/../share/pitchwell/.
QStringList HelpFileCandidates(const QString& executableDir);
// The first candidate that is a file (links followed), or empty.
QString FindHelpFile(const QString& executableDir);
// "Unable to open help file " + fileName.
std::string HelpOpenErrorText(const QString& fileName);

// Opens the help file found from `executableDir` with `open` (the desktop's
// handler in the program). Throws std::runtime_error with HelpOpenErrorText
// when there is no help file (naming the place beside the executable, where
// it is first looked for) or when `open` returns false (naming the file found).
using UrlOpener = std::function<bool(const QUrl&)>;
void OpenHelpFile(const QString& executableDir, const UrlOpener& open);

// An SVG data file (AssetPath) drawn at `pixels` × `pixels`; a transparent
// pixmap when the file cannot be read.
QPixmap RenderedIcon(const QString& svgName, int pixels);
// The program's icon at the sizes desktops ask for, from icons/pitchwell.svg.
QIcon ProgramIcon();
