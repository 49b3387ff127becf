// What the window offers about error reports: "Send error reports" in the
// context menu, checked by default, remembered when switched off, and a
// build that never uses the network saying so on the menu item and on
// About's update link.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QTest>

#include <memory>
#include <vector>

#include "ui/about_window.h"
#include "ui/main_window.h"
#include "ui/skin_button.h"
#include "window_test.h"

namespace {

class ReportsTest : public pwtest::WindowTest {
 protected:
  static QAction* ReportsItem(QMenu& menu) { return menu.findChild<QAction*>(QStringLiteral("sendReportsAction")); }
};

TEST_F(ReportsTest, TheMenuSwitchesReportsAndTheChoiceIsRemembered) {
  std::vector<bool> told;
  {
    MainWindow window(store_, QString(), 1.0f);
    window.setSendReportsAction([&](bool on) { told.push_back(on); });
    EXPECT_TRUE(window.sendReports());
    QMenu menu;
    window.fillContextMenu(menu);
    QAction* item = ReportsItem(menu);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("Send error reports"));
    EXPECT_TRUE(item->isCheckable());
    EXPECT_TRUE(item->isEnabled());
    EXPECT_TRUE(item->isChecked());
    item->trigger();
    EXPECT_EQ(told, std::vector<bool>{false});
    EXPECT_FALSE(window.sendReports());
  }
  MainWindow next(store_, QString(), 1.0f);
  EXPECT_FALSE(next.sendReports());
  QMenu menu;
  next.fillContextMenu(menu);
  ASSERT_NE(ReportsItem(menu), nullptr);
  EXPECT_FALSE(ReportsItem(menu)->isChecked());
}

TEST_F(ReportsTest, ABuildWithoutTheNetworkSaysSo) {
  MainWindow window(store_, QString(), 1.0f);
  int checks = 0;
  window.setCheckUpdatesAction([&] { ++checks; });
  window.setReportsAvailable(false);

  QMenu menu;
  window.fillContextMenu(menu);
  QAction* item = ReportsItem(menu);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text(), QStringLiteral("Send error reports (not in this build)"));
  EXPECT_FALSE(item->isEnabled());
  EXPECT_FALSE(item->isChecked());

  auto* about = window.findChild<AboutWindow*>();
  ASSERT_NE(about, nullptr);
  auto* link = about->findChild<QLabel*>(QStringLiteral("updateLabel"));
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->text(), QStringLiteral("No update checks"));
  EXPECT_FALSE(link->isEnabled());
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), link->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), link->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(link, &press);
  QCoreApplication::sendEvent(link, &release);
  EXPECT_EQ(checks, 0);
}

}  // namespace
