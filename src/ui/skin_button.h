// The window's buttons: a rounded key with a gradient face and a caption,
// pressed by any mouse button and clicked on release inside it; leaving it
// while pressed lets it go without a click. Space, Enter and the caption's
// "&" accelerator click it from the keyboard.
#pragma once

#include <QColor>
#include <QFlags>
#include <QFont>
#include <QPainterPath>
#include <QString>
#include <QWidget>

class SkinButton : public QWidget {
  Q_OBJECT

 public:
  enum class Corner { None = 0, BottomLeft = 1, TopLeft = 2, TopRight = 4, BottomRight = 8, All = 15 };
  Q_DECLARE_FLAGS(Corners, Corner)

  explicit SkinButton(const QString& caption = QString(), QWidget* parent = nullptr);

  QString caption() const { return caption_; }
  void setCaption(const QString& text);  // "&x" underlines x and makes Alt+x click

  // Percent of the face height that the corner arcs span across (100: fully
  // round ends); only the listed corners are rounded.
  int cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(int percent);
  Corners corners() const { return corners_; }
  void setCorners(Corners which);

  void setFaceColors(const QColor& top, const QColor& bottom);
  void setHoverFaceColors(const QColor& top, const QColor& bottom);
  void setDisabledColors(const QColor& face, const QColor& caption);
  QColor fontColor() const { return fontColor_; }
  void setFontColor(const QColor& c);
  void setFontHoverColor(const QColor& c);
  void setBevel(bool on, int width, const QColor& color, const QColor& hoverColor);
  int bevelWidth() const { return bevelWidth_; }
  void setGlass(bool on);
  void setSpacing(int horizontal, int vertical);
  // Caption height in points = face height × ratio / 100, whole points.
  int fontRatio() const { return fontRatio_; }
  void setFontRatio(int percent);
  // Family and bold/italic/underline of the caption; its size comes from
  // the height and the ratio.
  void setCaptionFont(const QFont& font);
  QFont captionFont() const { return captionFont_; }
  // The family drawn: the requested one when installed, else "Arial".
  QString captionFamily() const { return resolvedFamily_; }
  int captionPixelSize() const;
  // Written to the window's dialog result on each click when not 0.
  int modalResult() const { return modalResult_; }
  void setModalResult(int result) { modalResult_ = result; }

  void setScale(float scale);
  float scale() const { return scale_; }

  bool isDown() const { return down_; }
  bool isHovered() const { return hovered_; }

  // What the keyboard and accelerator do: the button goes down, clicks and
  // comes up.
  void click();

  // The focus ring shows when the focus came from the keyboard (Tab, a
  // mnemonic); then, and only then, Space and Enter press the button. A
  // button clicked with the mouse leaves Space to the window (play/pause).
  bool focusRingVisible() const { return hasFocus() && keyboardFocus_; }
  // A lit button shows a state (PLAY while playing): its face glows in the
  // accent colour and its caption turns the accent.
  void setLit(bool on);
  bool isLit() const { return lit_; }
  void setFocusRingColor(const QColor& c) { focusRingColor_ = c; }

  QSize sizeHint() const override { return {120, 35}; }

 signals:
  void pressed();
  void released();
  void clicked();

 protected:
  bool event(QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void resolveFont();
  void rebuildDrawFont();
  void rebuildFacePath();
  void setDown(bool down);
  void setHovered(bool hovered);
  void emitClick();

  QString caption_;
  int cornerRadius_ = 2;
  Corners corners_ = Corner::All;
  QColor startColor_{0xC0, 0xC0, 0xC0};
  QColor endColor_{0x80, 0x80, 0x80};
  QColor startHoverColor_{0xC0, 0xC0, 0xC0};
  QColor endHoverColor_{0x80, 0x80, 0x80};
  QColor disabledColor_{0x80, 0x80, 0x80};
  QColor disabledFontColor_{0xC0, 0xC0, 0xC0};
  QColor fontColor_{Qt::black};
  QColor fontHoverColor_{Qt::black};
  bool bevel_ = true;
  int bevelWidth_ = 2;
  QColor bevelColor_{Qt::white};
  QColor bevelActiveColor_{0x00, 0x00, 0xFF};
  bool glass_ = true;
  int horizontalSpacing_ = 5;
  int verticalSpacing_ = 5;
  int fontRatio_ = 30;
  int modalResult_ = 0;
  QFont captionFont_;
  QString resolvedFamily_;
  float scale_ = 1.0f;

  bool down_ = false;
  bool hovered_ = false;
  bool keyboardFocus_ = false;  // the focus came by Tab or a mnemonic
  bool lit_ = false;
  QColor focusRingColor_{0x51, 0xB5, 0xFC};
  int shortcutId_ = 0;

  // From the size, corners and bevel (resizeEvent and those setters).
  QRectF faceRect_;
  QPainterPath facePath_;
  QFont drawFont_;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SkinButton::Corners)
