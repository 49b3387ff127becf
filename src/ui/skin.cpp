#include "ui/skin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>

#include "ui/asset_paths.h"
#include "ui/ui_scale.h"

Skin::Skin(const QString& svgPath) : renderer_(new QSvgRenderer(svgPath.isEmpty() ? SkinPath() : svgPath)) {}

Skin::~Skin() { delete renderer_; }

bool Skin::isValid() const { return renderer_->isValid(); }

QSize Skin::sizeAt(float scale) { return ScaledRect(QRect(QPoint(0, 0), kSkinDesignSize), scale).size(); }

const QPixmap& Skin::pixmap(float scale) {
  auto found = cache_.find(scale);
  if (found != cache_.end()) return found->second;
  // Drawn straight at the target size: the vector paths are rasterised once,
  // at full resolution, rather than a 96-dpi picture being enlarged.
  QImage image(sizeAt(scale), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  if (renderer_->isValid()) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    renderer_->render(&painter, QRectF(QPointF(0, 0), QSizeF(image.size())));
  }
  return cache_.emplace(scale, QPixmap::fromImage(image)).first->second;
}

QBitmap Skin::shape(float scale) {
  const QImage image = pixmap(scale).toImage().convertToFormat(QImage::Format_ARGB32);
  QImage bits(image.size(), QImage::Format_MonoLSB);
  bits.setColor(0, qRgb(255, 255, 255));  // outside
  bits.setColor(1, qRgb(0, 0, 0));        // inside
  bits.fill(0);
  for (int y = 0; y < image.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if (qAlpha(row[x]) > 0) bits.setPixel(x, y, 1);
  }
  return QBitmap::fromImage(bits);
}

QString SkinPath() { return AssetPath(QStringLiteral("skin.svg")); }

namespace {

// Wine ships Tahoma in its own folder, which fontconfig does not search.
const char* const kWineFonts[] = {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"};

QString FamilyOf(Face face) {
  switch (face) {
    case Face::Tahoma: return QStringLiteral("Tahoma");
    case Face::Arial: return QStringLiteral("Liberation Sans");
    case Face::Verdana: return QStringLiteral("DejaVu Sans");
    case Face::Impact: return QStringLiteral("Bebas Neue");
  }
  return QString();
}

}  // namespace

void RegisterSkinFonts() {
  static bool done = false;
  if (done) return;
  done = true;
  if (QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) return;
  for (const char* file : kWineFonts)
    if (QFileInfo::exists(QString::fromLatin1(file))) QFontDatabase::addApplicationFont(QString::fromLatin1(file));
}

QFont SkinFont(Face face, int designPixelSize, float scale, bool bold) {
  QFont font(FamilyOf(face));
  // Near relatives when a face is missing, so that sizes still roughly hold.
  font.setStyleHint(face == Face::Impact ? QFont::Decorative : QFont::SansSerif);
  font.setPixelSize(std::max(1, int(std::nearbyint(float(designPixelSize) * scale))));
  font.setBold(bold);
  font.setHintingPreference(QFont::PreferFullHinting);
  return font;
}
