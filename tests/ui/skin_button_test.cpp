#include "ui/skin_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QEnterEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QTest>

#include <functional>
#include <memory>
#include <vector>

#include "widget_app.h"

namespace {

// The window's OPEN button, 97 × 26, counting its clicks.
struct OpenButton {
  SkinButton button{QStringLiteral("OPEN")};
  int clicks = 0;

  OpenButton() {
    button.resize(97, 26);
    button.show();
    QObject::connect(&button, &SkinButton::clicked, [this] { ++clicks; });
  }
};

void Enter(QWidget* w, QPoint at) {
  QEnterEvent e(at, at, w->mapToGlobal(at));
  QApplication::sendEvent(w, &e);
}

void Leave(QWidget* w) {
  QEvent e(QEvent::Leave);
  QApplication::sendEvent(w, &e);
}

class SkinButtonTest : public ::testing::Test {
 protected:
  void SetUp() override { pwtest::EnsureWidgetApp(); }
};

TEST_F(SkinButtonTest, NewButtonDefaults) {
  SkinButton b(QStringLiteral("PLAY"));
  EXPECT_EQ(b.caption(), "PLAY");
  EXPECT_EQ(b.size(), QSize(120, 35));
  EXPECT_EQ(b.cornerRadius(), 2);
  EXPECT_EQ(b.corners(), SkinButton::Corners(SkinButton::Corner::All));
  EXPECT_EQ(b.bevelWidth(), 2);
  EXPECT_EQ(b.fontRatio(), 30);
  EXPECT_TRUE(b.focusPolicy() & Qt::TabFocus);
  EXPECT_FALSE(b.isDown());
}

TEST_F(SkinButtonTest, MouseClicksOnlyWhenReleasedWhileStillDown) {
  using Step = std::function<void(SkinButton*)>;
  const Step pressLeft = [](SkinButton* b) { QTest::mousePress(b, Qt::LeftButton, {}, QPoint(40, 13)); };
  const Step releaseInside = [](SkinButton* b) { QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(40, 13)); };
  const Step moveOut = [](SkinButton* b) { QTest::mouseMove(b, QPoint(150, 13)); };
  const Step moveIn = [](SkinButton* b) { QTest::mouseMove(b, QPoint(50, 10)); };
  const Step releaseOutside = [](SkinButton* b) { QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(150, 13)); };
  const Step leave = [](SkinButton* b) { Leave(b); };
  const Step disable = [](SkinButton* b) { b->setEnabled(false); };
  const struct {
    const char* what;
    std::vector<Step> steps;
    int clicks;
  } cases[] = {
      {"press and release inside", {pressLeft, releaseInside}, 1},
      {"moved within before release", {pressLeft, moveIn, releaseInside}, 1},
      {"dragged off, released outside", {pressLeft, moveOut, releaseOutside}, 0},
      {"dragged off and back, released inside", {pressLeft, moveOut, moveIn, releaseInside}, 0},
      {"left while down (leave event)", {pressLeft, leave, releaseInside}, 0},
      {"release without a press", {releaseInside}, 0},
      {"disabled", {disable, pressLeft, releaseInside}, 0},
      {"disabled while down", {pressLeft, disable, releaseInside}, 0},
  };
  for (const auto& c : cases) {
    OpenButton o;
    for (const auto& step : c.steps) step(&o.button);
    EXPECT_EQ(o.clicks, c.clicks) << c.what;
    EXPECT_FALSE(o.button.isDown()) << c.what;
  }
}

TEST_F(SkinButtonTest, AnyMouseButtonPresses) {
  for (Qt::MouseButton which : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
    OpenButton o;
    QTest::mousePress(&o.button, which, {}, QPoint(10, 10));
    EXPECT_TRUE(o.button.isDown()) << which;
    QTest::mouseRelease(&o.button, which, {}, QPoint(10, 10));
    EXPECT_EQ(o.clicks, 1) << which;
  }
}

TEST_F(SkinButtonTest, SignalOrderOfAClick) {
  OpenButton o;
  std::vector<std::string> log;
  QObject::connect(&o.button, &SkinButton::pressed, [&] { log.push_back("pressed"); });
  QObject::connect(&o.button, &SkinButton::released, [&] { log.push_back("released"); });
  QObject::connect(&o.button, &SkinButton::clicked, [&] { log.push_back("clicked"); });
  QTest::mousePress(&o.button, Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(&o.button, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_EQ(log, (std::vector<std::string>{"pressed", "released", "clicked"}));
}

TEST_F(SkinButtonTest, KeyboardClicks) {
  const struct {
    int key;
    bool autoRepeat;
    int clicks;
  } cases[] = {
      {Qt::Key_Space, false, 1}, {Qt::Key_Return, false, 1}, {Qt::Key_Enter, false, 1},
      {Qt::Key_Space, true, 0},  // a held key clicks once, at its first press
      {Qt::Key_A, false, 0},     {Qt::Key_Escape, false, 0},
  };
  for (const auto& c : cases) {
    OpenButton o;
    // Focused from the keyboard (Tab), as the keys reach it then.
    QFocusEvent tab(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(&o.button, &tab);
    QKeyEvent e(QEvent::KeyPress, c.key, Qt::NoModifier, QString(), c.autoRepeat);
    QApplication::sendEvent(&o.button, &e);
    EXPECT_EQ(o.clicks, c.clicks) << c.key << " " << c.autoRepeat;
  }
}

// A button the mouse clicked keeps the focus without a ring, and leaves Space
// and Enter to the window (Space plays and pauses): the last button pressed
// never swallows them.
TEST_F(SkinButtonTest, AfterAMouseClickSpaceAndEnterAreNotTheButtons) {
  for (const int key : {int(Qt::Key_Space), int(Qt::Key_Return)}) {
    OpenButton o;
    QFocusEvent click(QEvent::FocusIn, Qt::MouseFocusReason);
    QApplication::sendEvent(&o.button, &click);
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&o.button, &e);
    EXPECT_EQ(o.clicks, 0) << key;
    EXPECT_FALSE(e.isAccepted()) << key;  // on to the window
    QFocusEvent tab(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(&o.button, &tab);
    QKeyEvent again(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&o.button, &again);
    EXPECT_EQ(o.clicks, 1) << key;
  }
}

// A focused button that gets disabled hands the focus on "by Tab" (Qt's
// way); the next button did not get it from the user and takes neither a
// ring nor Space. A real Tab afterwards still shows the ring.
TEST_F(SkinButtonTest, TheFocusHandedOnByADisabledButtonIsNotKeyboardFocus) {
  QWidget window;
  auto* first = new SkinButton(QStringLiteral("GET BPM"), &window);
  auto* next = new SkinButton(QStringLiteral("ABOUT"), &window);
  int clicks = 0;
  QObject::connect(next, &SkinButton::clicked, [&] { ++clicks; });
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  first->clearFocus();  // the window's activation may have given it already
  first->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(first->focusRingVisible());
  first->setEnabled(false);
  ASSERT_TRUE(next->hasFocus());
  EXPECT_FALSE(next->focusRingVisible());
  QTest::keyClick(next, Qt::Key_Space);
  EXPECT_EQ(clicks, 0);
  next->clearFocus();
  next->setFocus(Qt::TabFocusReason);  // as the user's Tab gives it
  ASSERT_TRUE(next->hasFocus());
  EXPECT_TRUE(next->focusRingVisible());
}

// The caption's accelerator, held down, clicks once per press: the key's
// repeats do not click again (each click may show an error box, and each
// box a report).
TEST_F(SkinButtonTest, AHeldAcceleratorClicksOncePerPress) {
  QWidget window;
  auto* button = new SkinButton(QStringLiteral("&Go"), &window);
  int clicks = 0;
  QObject::connect(button, &SkinButton::clicked, [&] { ++clicks; });
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  // As the keyboard sends them: the shortcut map sees each press first.
  const auto press = [&](bool repeat) {
    QTest::simulateEvent(&window, true, Qt::Key_G, Qt::AltModifier, QStringLiteral("g"), repeat);
  };
  const auto release = [&] { QTest::simulateEvent(&window, false, Qt::Key_G, Qt::AltModifier, QStringLiteral("g"), false); };
  press(false);
  EXPECT_EQ(clicks, 1);
  for (int i = 0; i < 5; ++i) press(true);
  release();
  EXPECT_EQ(clicks, 1);
  press(false);
  release();
  EXPECT_EQ(clicks, 2);
}

TEST_F(SkinButtonTest, HoverFollowsEnterAndLeave) {
  OpenButton o;
  Enter(&o.button, QPoint(5, 5));
  EXPECT_TRUE(o.button.isHovered());
  QTest::mousePress(&o.button, Qt::LeftButton, {}, QPoint(5, 5));
  Leave(&o.button);
  EXPECT_FALSE(o.button.isHovered());
  EXPECT_FALSE(o.button.isDown());
  Enter(&o.button, QPoint(5, 5));
  EXPECT_TRUE(o.button.isHovered());
  EXPECT_FALSE(o.button.isDown());  // coming back does not press it again
}

TEST_F(SkinButtonTest, CaptionFamilyFallsBackToArialWhenNotInstalled) {
  const QStringList installed = QFontDatabase::families();
  ASSERT_FALSE(installed.isEmpty());
  const struct {
    QString requested;
    QString drawn;
  } cases[] = {
      {installed.first(), installed.first()},
      {installed.last(), installed.last()},
      {QStringLiteral("Pitchwell Missing Face"), QStringLiteral("Arial")},
      {QString(), QStringLiteral("Arial")},
  };
  for (const auto& c : cases) {
    SkinButton b(QStringLiteral("OPEN"));
    QFont f(c.requested);
    f.setBold(true);
    b.setCaptionFont(f);
    EXPECT_EQ(b.captionFamily(), c.drawn) << c.requested.toStdString();
  }
  // The window's own faces: kept exactly when installed, else Arial.
  for (const QString& family : {QStringLiteral("Arial Black"), QStringLiteral("Tahoma")}) {
    SkinButton b(QStringLiteral("X"));
    b.setCaptionFont(QFont(family));
    const bool present = installed.contains(family, Qt::CaseInsensitive);
    EXPECT_EQ(b.captionFamily(), present ? family : QStringLiteral("Arial")) << family.toStdString();
  }
}

TEST_F(SkinButtonTest, CaptionSizeFromHeightAndRatio) {
  const struct {
    int height, ratio, pixels;
  } cases[] = {
      {26, 31, 11},  // OPEN: 8 pt
      {28, 30, 11},  // PLAY: 8 pt
      {19, 50, 12},  // X: 9 pt
      {35, 30, 13},  // a new button: 10 pt
      {33, 30, 12},  // 9.9 pt is 9 whole points
      {48, 50, 32},  // the close button at scale 2.5 (24 pt)
  };
  for (const auto& c : cases) {
    SkinButton b(QStringLiteral("?"));
    b.setFontRatio(c.ratio);
    b.resize(60, c.height);
    EXPECT_EQ(b.captionPixelSize(), c.pixels) << c.height << " " << c.ratio;
  }
}

TEST_F(SkinButtonTest, ClickSetsTheDialogResult) {
  QDialog dialog;
  SkinButton ok(QStringLiteral("OK"), &dialog);
  ok.setModalResult(QDialog::Accepted);
  dialog.show();
  int clicks = 0;
  QObject::connect(&ok, &SkinButton::clicked, [&] { ++clicks; });
  ok.click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(clicks, 1);
}

TEST_F(SkinButtonTest, CaptionsOfTheWindow) {
  for (const char* text : {"OPEN", "SAVE", "GET BPM", "ABOUT", "PLAY", "PAUSE", "STOP", "_", "?", "X"}) {
    SkinButton b(QString::fromLatin1(text));
    EXPECT_EQ(b.caption(), QString::fromLatin1(text));
    // No accelerator in these: typing their letters clicks nothing.
    int clicks = 0;
    QObject::connect(&b, &SkinButton::clicked, [&] { ++clicks; });
    QTest::keyClick(&b, Qt::Key_O, Qt::AltModifier);
    EXPECT_EQ(clicks, 0) << text;
  }
}

}  // namespace
