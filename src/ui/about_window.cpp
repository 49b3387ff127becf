#include "ui/about_window.h"

#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>

#include <utility>

#include "ui/asset_paths.h"
#include "ui/skin.h"
#include "ui/ui_scale.h"

namespace {

// Bounds at 96 dpi, in the parent's coordinates.
constexpr QSize kClientSize{500, 279};
constexpr QRect kHeaderBounds{0, 0, 500, 81};
constexpr QRect kIconBounds{12, 9, 64, 64};
constexpr QRect kNameBounds{88, 12, 400, 24};
constexpr QRect kTaglineBounds{90, 46, 400, 16};
constexpr QRect kGroupBounds{13, 92, 473, 133};
// Inside the group box.
constexpr QRect kInfoIconBounds{16, 32, 16, 16};
constexpr QRect kInfoLinkBounds{38, 32, 160, 16};
constexpr QRect kUpdateIconBounds{16, 62, 16, 16};
constexpr QRect kUpdateLinkBounds{38, 62, 160, 16};
constexpr QRect kVersionBounds{220, 32, 245, 16};
constexpr QRect kCloseBounds{390, 241, 97, 28};

constexpr int kWindowFontPx = 11;  // Tahoma 8 pt at 96 dpi
constexpr int kNameFontPx = 19;

// Delphi's sky blue, the header's colour in the window's design.
const QColor kHeaderColour{0xA6, 0xCA, 0xF0};
const QColor kLinkColour{0x00, 0x00, 0xFF};

// A text that acts like a web link: blue, underlined, hand cursor; a left
// click released over it runs its action.
class LinkLabel : public QLabel {
 public:
  LinkLabel(const QString& text, QWidget* parent, std::function<void()> action)
      : QLabel(text, parent), action_(std::move(action)) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, kLinkColour);
    setPalette(p);
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) action_();
    QLabel::mouseReleaseEvent(event);
  }

 private:
  std::function<void()> action_;
};

QLabel* IconLabel(QWidget* parent, const QString& svgName, const QRect& designed, float scale) {
  auto* label = new QLabel(parent);
  const QRect bounds = ScaledRect(designed, scale);
  label->setGeometry(bounds);
  label->setPixmap(RenderedIcon(svgName, bounds.width()));
  return label;
}

}  // namespace

QString AboutVersionText(const std::string& version, const std::string& architecture) {
  return QStringLiteral("Product Version: ") + QString::fromStdString(version) + QStringLiteral(" (") +
         QString::fromStdString(architecture) + QStringLiteral(")");
}

AboutWindow::AboutWindow(QWidget* owner, float scale, const std::string& version, const std::string& architecture)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("AboutForm"));
  setWindowTitle(QStringLiteral("About Pitchwell"));
  setModal(false);
  setFixedSize(ScaledRect(QRect(QPoint(0, 0), kClientSize), scale).size());
  RegisterSkinFonts();
  setFont(SkinFont(Face::Tahoma, kWindowFontPx, scale));

  QPalette background = palette();
  background.setColor(QPalette::Window, background.color(QPalette::Light));
  setPalette(background);
  setAutoFillBackground(true);

  auto* header = new QWidget(this);
  header->setObjectName(QStringLiteral("headerPanel"));
  header->setGeometry(ScaledRect(kHeaderBounds, scale));
  QPalette sky = header->palette();
  sky.setColor(QPalette::Window, kHeaderColour);
  header->setPalette(sky);
  header->setAutoFillBackground(true);

  IconLabel(header, QStringLiteral("icons/pitchwell.svg"), kIconBounds, scale)
      ->setObjectName(QStringLiteral("programIcon"));

  auto* name = new QLabel(QStringLiteral("Pitchwell"), header);
  name->setObjectName(QStringLiteral("nameLabel"));
  name->setFont(SkinFont(Face::Verdana, kNameFontPx, scale));
  name->setGeometry(ScaledRect(kNameBounds, scale));

  auto* tagline = new QLabel(QStringLiteral("Pitch shifting and time stretching software for Linux"), header);
  tagline->setObjectName(QStringLiteral("taglineLabel"));
  tagline->setGeometry(ScaledRect(kTaglineBounds, scale));

  auto* group = new QGroupBox(QStringLiteral("  Program's Information  "), this);
  group->setObjectName(QStringLiteral("informationGroup"));
  group->setGeometry(ScaledRect(kGroupBounds, scale));

  IconLabel(group, QStringLiteral("icons/info.svg"), kInfoIconBounds, scale);
  QFont linkFont = font();
  linkFont.setUnderline(true);
  auto* info = new LinkLabel(QStringLiteral("Product Information"), group, [this] {
    if (productInformation_) productInformation_();
  });
  info->setObjectName(QStringLiteral("infoLabel"));
  info->setFont(linkFont);
  info->setGeometry(ScaledRect(kInfoLinkBounds, scale));

  IconLabel(group, QStringLiteral("icons/update.svg"), kUpdateIconBounds, scale);
  auto* update = new LinkLabel(QStringLiteral("Check updates..."), group, [this] {
    if (checkUpdates_ && updateCheckAvailable_) checkUpdates_();
  });
  updateLink_ = update;
  update->setObjectName(QStringLiteral("updateLabel"));
  update->setFont(linkFont);
  update->setGeometry(ScaledRect(kUpdateLinkBounds, scale));

  // Read once: the window shows the same version for the whole run.
  auto* versionLabel = new QLabel(AboutVersionText(version, architecture), group);
  versionLabel->setObjectName(QStringLiteral("versionLabel"));
  versionLabel->setGeometry(ScaledRect(kVersionBounds, scale));

  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setObjectName(QStringLiteral("okButton"));
  close->setGeometry(ScaledRect(kCloseBounds, scale));
  close->setDefault(true);
  // Closing only hides: the window is made once and shown again by ABOUT.
  connect(close, &QPushButton::clicked, this, &QWidget::hide);
}

void AboutWindow::setUpdateCheckAvailable(bool available) {
  updateCheckAvailable_ = available;
  updateLink_->setText(available ? QStringLiteral("Check updates...") : QStringLiteral("No update checks"));
  updateLink_->setToolTip(available ? QString() : QStringLiteral("This build of the program does not use the network."));
  updateLink_->setEnabled(available);
}

void AboutWindow::showCentredOn(const QWidget* owner) {
  const QWidget* centre = owner ? owner : parentWidget();
  if (!isVisible()) {
    const auto placeOverCentre = [&] {
      if (!centre) return;
      const QRect area = centre->window()->frameGeometry();
      const QSize frame = frameGeometry().size();
      move(area.x() + (area.width() - frame.width()) / 2, area.y() + (area.height() - frame.height()) / 2);
    };
    // Placed before showing so that it appears in its place; placed again
    // once shown, when the frame around it has its final size.
    placeOverCentre();
    show();
    placeOverCentre();
  }
  raise();
  activateWindow();
}
