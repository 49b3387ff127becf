// The window's artwork and type faces. The skin is one vector drawing of the
// whole window (assets/skin.svg, 523 x 382 units = pixels at 96 dpi); it is
// rendered once per scale into a pixmap of the window's exact pixel size, so
// it is never stretched and never blurry. Its alpha channel is the window's
// shape.
#pragma once

#include <QBitmap>
#include <QFont>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <map>

class QSvgRenderer;

inline constexpr QSize kSkinDesignSize{523, 382};

class Skin {
 public:
  // An empty path takes the program's own skin (SkinPath()).
  explicit Skin(const QString& svgPath = QString());
  ~Skin();
  Skin(const Skin&) = delete;
  Skin& operator=(const Skin&) = delete;

  bool isValid() const;
  // The window's pixel size at a scale: each side rounded like every bound.
  static QSize sizeAt(float scale);
  // The whole skin at that size, rendered on first use and kept.
  const QPixmap& pixmap(float scale);
  // Opaque where the skin draws anything at all, so that its anti-aliased rim
  // stays inside the window.
  QBitmap shape(float scale);

 private:
  QSvgRenderer* renderer_;
  std::map<float, QPixmap> cache_;
};

// Where the program's skin lives: beside the executable (assets/), then the
// installed share/pitchwell, then the source tree (asset_paths.h).
QString SkinPath();

// The window's faces, by the names its design uses; each maps to a free face
// that Debian installs (Tahoma comes from Wine's fonts, registered here).
enum class Face {
  Tahoma,   // the window's font; Wine's metric-compatible Tahoma
  Arial,    // big buttons: Liberation Sans
  Verdana,  // DejaVu Sans
  Impact,   // the readouts: Bebas Neue
};

// Registers the faces that fontconfig does not already list. Safe to call
// more than once; needs a QGuiApplication.
void RegisterSkinFonts();

// A face at a design pixel size (at 96 dpi), scaled to the window's scale and
// rounded like every other measure.
QFont SkinFont(Face face, int designPixelSize, float scale, bool bold = false);
