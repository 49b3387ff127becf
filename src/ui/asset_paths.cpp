#include "ui/asset_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <stdexcept>

namespace {

// The installed layout keeps data in share/pitchwell beside bin/.
QString SharedDataDir(const QString& executableDir) {
  return QDir::cleanPath(QDir(executableDir).filePath(QStringLiteral("../share/pitchwell")));
}

QString SourceAssetPath(const QString& name) { return QDir(QStringLiteral(PW_ASSETS_DIR)).filePath(name); }

}  // namespace

QString ExecutableDir() {
  // applicationDirPath() warns and guesses without an application object.
  return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
}

QStringList AssetCandidates(const QString& executableDir, const QString& name) {
  QStringList candidates;
  if (!executableDir.isEmpty()) {
    candidates << QDir(executableDir).filePath(QStringLiteral("assets/") + name);
    candidates << QDir(SharedDataDir(executableDir)).filePath(name);
  }
  // Last the source tree, so that a program run from its build folder (and
  // every test) finds the artwork without an install step.
  candidates << SourceAssetPath(name);
  return candidates;
}

QString FindAsset(const QString& executableDir, const QString& name) {
  for (const QString& candidate : AssetCandidates(executableDir, name))
    if (QFileInfo::exists(candidate)) return candidate;
  return SourceAssetPath(name);
}

QString AssetPath(const QString& name) { return FindAsset(ExecutableDir(), name); }

QStringList HelpFileCandidates(const QString& executableDir) {
  const QString name = QString::fromLatin1(kHelpFileName);
  return {QDir(executableDir).filePath(name), QDir(SharedDataDir(executableDir)).filePath(name)};
}

QString FindHelpFile(const QString& executableDir) {
  for (const QString& candidate : HelpFileCandidates(executableDir))
    if (QFileInfo(candidate).isFile()) return candidate;
  return QString();
}

std::string HelpOpenErrorText(const QString& fileName) {
  return "Unable to open help file " + fileName.toStdString();
}

void OpenHelpFile(const QString& executableDir, const UrlOpener& open) {
  const QString found = FindHelpFile(executableDir);
  // A missing file is reported under the name it is first looked for: the
  // place beside the program, where a user would put it back.
  if (found.isEmpty()) throw std::runtime_error(HelpOpenErrorText(HelpFileCandidates(executableDir).constFirst()));
  if (!open || !open(QUrl::fromLocalFile(found))) throw std::runtime_error(HelpOpenErrorText(found));
}

QPixmap RenderedIcon(const QString& svgName, int pixels) {
  QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  // Drawn from the vector at the size wanted: small icons stay sharp instead
  // of being shrunk from a large bitmap.
  QSvgRenderer renderer(AssetPath(svgName));
  if (renderer.isValid()) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, pixels, pixels));
  }
  return QPixmap::fromImage(image);
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int pixels : {16, 22, 24, 32, 48, 64, 128, 256})
    icon.addPixmap(RenderedIcon(QStringLiteral("icons/pitchwell.svg"), pixels));
  return icon;
}
