// The About window: its texts (the version line above all), its size at each
// scale, the two links, Close hiding it, and ABOUT showing one window that
// comes to the front again on a second press.
#include "ui/about_window.h"

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <string>
#include <vector>

#include "ui/main_window.h"
#include "core/messages.h"
#include "services/program_version.h"
#include "settings/settings_store.h"
#include "ui/skin_button.h"
#include "widget_app.h"

namespace {

template <typename T>
T* Find(const QWidget& window, const char* name) {
  return window.findChild<T*>(QString::fromLatin1(name));
}

QString TextOf(const QWidget& window, const char* name) {
  auto* label = Find<QLabel>(window, name);
  return label ? label->text() : QStringLiteral("<no %1>").arg(QString::fromLatin1(name));
}

// The window the application treats as active (QWindow::isActive also counts
// a window whose dialog has the focus, so it cannot tell the two apart).
bool BecomesActive(QWidget* w) {
  return QTest::qWaitFor([w] { return QApplication::activeWindow() == w; });
}

class AboutWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { pwtest::EnsureWidgetApp(); }
};

struct VersionCase {
  std::string version;
  std::string architecture;
  const char* line;
};

TEST_F(AboutWindowTest, VersionLine) {
  const std::vector<VersionCase> cases = {
      {"5.6.0.1", "x86_64", "Product Version: 5.6.0.1 (x86_64)"},
      {"10.0.12.3", "aarch64", "Product Version: 10.0.12.3 (aarch64)"},
      // Version unknown: nothing between the colon's space and the parenthesis.
      {"", "x86_64", "Product Version:  (x86_64)"},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(AboutVersionText(c.version, c.architecture), QString::fromLatin1(c.line));
    AboutWindow about(nullptr, 1.0f, c.version, c.architecture);
    EXPECT_EQ(TextOf(about, "versionLabel"), QString::fromLatin1(c.line));
  }
}

TEST_F(AboutWindowTest, TextsAndLinks) {
  AboutWindow about(nullptr, 1.0f, "5.6.0.1", "x86_64");
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About Pitchwell"));
  EXPECT_FALSE(about.isModal());
  EXPECT_FALSE(about.isVisible());
  EXPECT_EQ(TextOf(about, "nameLabel"), QStringLiteral("Pitchwell"));
  EXPECT_EQ(TextOf(about, "taglineLabel"), QStringLiteral("Pitch shifting and time stretching software for Linux"));
  auto* group = Find<QGroupBox>(about, "informationGroup");
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), QStringLiteral("  Program's Information  "));
  auto* close = Find<QPushButton>(about, "okButton");
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(close->text(), QStringLiteral("Close"));

  const std::vector<std::pair<const char*, const char*>> links = {{"infoLabel", "Product Information"},
                                                                 {"updateLabel", "Check updates..."}};
  for (const auto& [name, text] : links) {
    SCOPED_TRACE(name);
    auto* link = Find<QLabel>(about, name);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->text(), QString::fromLatin1(text));
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(Qt::blue));
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
  }
  // The program's icon is drawn into the header at 64 x 64.
  auto* icon = Find<QLabel>(about, "programIcon");
  ASSERT_NE(icon, nullptr);
  const QImage picture = icon->pixmap().toImage();
  EXPECT_EQ(picture.size(), QSize(64, 64));
  EXPECT_GT(qAlpha(picture.pixel(32, 32)), 0) << "the icon was not drawn";
}

TEST_F(AboutWindowTest, FixedSizeAndFontsFollowTheScale) {
  struct Case {
    float scale;
    QSize client;
    int headerHeight;
    int windowFontPx;
    int nameFontPx;
  };
  const std::vector<Case> cases = {
      {1.0f, {500, 279}, 81, 11, 19},
      {1.5f, {750, 418}, 122, 16, 28},  // 418.5 and 121.5 round to the even pixel
      {2.0f, {1000, 558}, 162, 22, 38},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scale);
    AboutWindow about(nullptr, c.scale, "5.6.0.1", "x86_64");
    EXPECT_EQ(about.size(), c.client);
    EXPECT_EQ(about.minimumSize(), c.client);
    EXPECT_EQ(about.maximumSize(), c.client);
    auto* header = Find<QWidget>(about, "headerPanel");
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->geometry(), QRect(0, 0, c.client.width(), c.headerHeight));
    EXPECT_EQ(about.font().pixelSize(), c.windowFontPx);
    EXPECT_EQ(Find<QLabel>(about, "nameLabel")->font().pixelSize(), c.nameFontPx);
    // Everything stays inside the window.
    for (QWidget* child : about.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      EXPECT_TRUE(about.rect().contains(child->geometry())) << child->objectName().toStdString();
    }
  }
  AboutWindow about(nullptr, 1.0f, "5.6.0.1", "x86_64");
  EXPECT_EQ(QFontInfo(about.font()).family(), QStringLiteral("Tahoma"));
}

TEST_F(AboutWindowTest, LinksRunTheOwnersActions) {
  AboutWindow about(nullptr, 1.0f, "5.6.0.1", "x86_64");
  about.show();
  // Without actions a click does nothing (and does not close the window).
  QTest::mouseClick(Find<QLabel>(about, "infoLabel"), Qt::LeftButton);
  EXPECT_TRUE(about.isVisible());

  int productPage = 0;
  int updateChecks = 0;
  about.setProductInformationAction([&] { ++productPage; });
  about.setCheckUpdatesAction([&] { ++updateChecks; });
  QTest::mouseClick(Find<QLabel>(about, "infoLabel"), Qt::LeftButton);
  EXPECT_EQ(productPage, 1);
  EXPECT_EQ(updateChecks, 0);
  QTest::mouseClick(Find<QLabel>(about, "updateLabel"), Qt::LeftButton);
  QTest::mouseClick(Find<QLabel>(about, "updateLabel"), Qt::RightButton);
  EXPECT_EQ(productPage, 1);
  EXPECT_EQ(updateChecks, 1);
  // The version line is text, not a link.
  QTest::mouseClick(Find<QLabel>(about, "versionLabel"), Qt::LeftButton);
  EXPECT_EQ(productPage + updateChecks, 2);
}

TEST_F(AboutWindowTest, CloseHidesAndKeepsTheWindow) {
  QWidget owner;
  owner.setGeometry(100, 100, 523, 382);
  owner.show();
  auto* about = new AboutWindow(&owner, 1.0f, "", "x86_64");
  QPointer<AboutWindow> alive(about);
  about->showCentredOn(&owner);
  ASSERT_TRUE(about->isVisible());
  QTest::mouseClick(Find<QPushButton>(*about, "okButton"), Qt::LeftButton);
  EXPECT_FALSE(about->isVisible());
  ASSERT_FALSE(alive.isNull());
  about->showCentredOn(&owner);
  EXPECT_TRUE(about->isVisible());
  about->close();  // the window's own close box
  EXPECT_FALSE(about->isVisible());
  ASSERT_FALSE(alive.isNull());
  EXPECT_EQ(TextOf(*about, "versionLabel"), QStringLiteral("Product Version:  (x86_64)"));
}

TEST_F(AboutWindowTest, ShownCentredThenBroughtToTheFront) {
  QWidget owner;
  owner.setGeometry(200, 150, 523, 382);
  owner.show();
  AboutWindow about(&owner, 1.0f, "5.6.0.1", "x86_64");
  about.showCentredOn(&owner);
  ASSERT_TRUE(BecomesActive(&about));
  EXPECT_LE((about.frameGeometry().center() - owner.frameGeometry().center()).manhattanLength(), 2);

  // The user moves it and goes back to the main window; ABOUT again brings
  // the same window forward where the user left it.
  about.move(20, 30);
  owner.activateWindow();
  ASSERT_TRUE(BecomesActive(&owner));
  about.showCentredOn(&owner);
  EXPECT_TRUE(BecomesActive(&about));
  EXPECT_EQ(about.pos(), QPoint(20, 30));

  // Hidden and shown again, it is centred once more.
  about.hide();
  owner.move(300, 200);
  about.showCentredOn(&owner);
  EXPECT_LE((about.frameGeometry().center() - owner.frameGeometry().center()).manhattanLength(), 2);
}

// ABOUT on the main window: one About window, made on the first press, showing
// this build's version; the second press brings that same window forward.
TEST_F(AboutWindowTest, AboutButtonShowsOneWindow) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  SettingsStore store;
  store.file = dir.filePath(QStringLiteral("settings.ini")).toStdString();
  store.programDir = dir.path().toStdString() + "/";
  std::vector<pw::Message> messages;
  pw::ScopedMessageHandler handler([&](const pw::Message& m) { messages.push_back(m); });

  MainWindow window(store, QString(), 1.0f);
  window.show();
  auto* aboutButton = Find<SkinButton>(window, "aboutButton");
  ASSERT_NE(aboutButton, nullptr);
  const size_t shownBefore = messages.size();  // start-up's, e.g. no sound device
  aboutButton->click();
  const QList<AboutWindow*> made = window.findChildren<AboutWindow*>();
  ASSERT_EQ(made.size(), 1);
  AboutWindow* about = made.front();
  ASSERT_TRUE(BecomesActive(about));
  EXPECT_EQ(TextOf(*about, "versionLabel"), QStringLiteral("Product Version: %1 (%2)")
                                                .arg(QString::fromStdString(ProgramVersion()),
                                                     QString::fromStdString(ProgramArchitecture())));

  window.activateWindow();
  ASSERT_TRUE(BecomesActive(&window));
  aboutButton->click();
  EXPECT_EQ(window.findChildren<AboutWindow*>().size(), 1);
  EXPECT_TRUE(BecomesActive(about));
  // ABOUT itself never tells the user anything.
  for (size_t i = shownBefore; i < messages.size(); ++i) ADD_FAILURE() << "message shown: " << messages[i].text;
}

}  // namespace
