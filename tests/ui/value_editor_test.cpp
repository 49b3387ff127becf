#include "ui/value_editor.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QLabel>
#include <QTest>

#include <cmath>
#include <optional>
#include <vector>

#include "ui/slider.h"
#include "widget_app.h"

namespace {

class ValueEditorTest : public ::testing::Test {
 protected:
  void SetUp() override { pwtest::EnsureWidgetApp(); }
};

// A window as the main window lays it out: a slider, its value label under
// it, some other control, and the editor the window owns.
struct Stage {
  QWidget window;
  Slider* slider = new Slider(&window);
  QLabel* label = new QLabel(QStringLiteral("0.0 %"), &window);
  QWidget* elsewhere = new QWidget(&window);
  ValueEditor* editor = new ValueEditor(&window);
  std::vector<double> entered;
  int cancels = 0;

  Stage() {
    window.resize(400, 300);
    slider->setGeometry(115, 20, 25, 154);
    label->setGeometry(110, 180, 36, 14);
    elsewhere->setGeometry(300, 20, 40, 40);
    elsewhere->setFocusPolicy(Qt::StrongFocus);
    QObject::connect(editor, &ValueEditor::valueEntered, [this](double v) { entered.push_back(v); });
    QObject::connect(editor, &ValueEditor::cancelled, [this] { ++cancels; });
    window.show();
    window.activateWindow();
  }
  bool active() { return QTest::qWaitForWindowActive(&window); }
  // As after Tab to the slider and Enter on it.
  void open(const QString& text, double minimum, double maximum, int decimals) {
    slider->setFocus(Qt::TabFocusReason);
    editor->open(label, text, minimum, maximum, decimals);
  }
  void type(const QString& text) { QTest::keyClicks(editor, text); }
};

TEST_F(ValueEditorTest, ParsesNumbersAsPeopleTypeThem) {
  const QLocale english(QLocale::English, QLocale::UnitedStates);
  const QLocale german(QLocale::German, QLocale::Germany);
  const QLocale arabic(QLocale::Arabic, QLocale::Egypt);
  const struct {
    QString text;
    QLocale locale;
    std::optional<double> value;
  } cases[] = {
      {QStringLiteral("\u221230"), english, -30},  // the typographic minus
      {QStringLiteral("-30 %"), english, -30},
      {QStringLiteral("-30%"), english, -30},
      {QStringLiteral("+2 st"), english, 2},
      {QStringLiteral(" 2.5 ST "), english, 2.5},
      {QStringLiteral("12,5"), german, 12.5},
      {QStringLiteral("-12,5 %"), german, -12.5},
      {QStringLiteral("12.5"), german, 12.5},   // "." always works
      {QStringLiteral("1.200"), german, 1.2},   // and is never a group separator
      {QStringLiteral("12,5"), english, std::nullopt},
      {QStringLiteral("1,200"), english, std::nullopt},
      {QStringLiteral(".5"), english, 0.5},
      {QStringLiteral("7."), english, 7},
      {QStringLiteral("150"), english, 150},    // the range is the editor's business
      {QStringLiteral("\u0663\u066B\u0665"), arabic, 3.5},  // Arabic-Indic digits and separator
      {QStringLiteral("abc"), english, std::nullopt},
      {QStringLiteral(""), english, std::nullopt},
      {QStringLiteral("%"), english, std::nullopt},
      {QStringLiteral("--5"), english, std::nullopt},
      {QStringLiteral("+-5"), english, std::nullopt},
      {QStringLiteral("5 kg"), english, std::nullopt},
      {QStringLiteral("5 % %"), english, std::nullopt},
      {QStringLiteral("1e3"), english, std::nullopt},
      {QStringLiteral("inf"), english, std::nullopt},
      {QStringLiteral("1.2.3"), english, std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<double> got = ValueEditor::parse(c.text, c.locale);
    EXPECT_EQ(got, c.value) << c.text.toStdString() << " in " << c.locale.name().toStdString();
  }
  // "-0" comes out as a plain 0, so no label shows "-0.0".
  const std::optional<double> zero = ValueEditor::parse(QStringLiteral("-0"), english);
  ASSERT_TRUE(zero.has_value());
  EXPECT_FALSE(std::signbit(*zero));
}

TEST_F(ValueEditorTest, EnterGivesTheNumberExactAndClampedAndHandsTheFocusBack) {
  const struct {
    QString typed;
    QLocale locale;
    double minimum, maximum;
    double value;
  } cases[] = {
      {QStringLiteral("-30 %"), QLocale(QLocale::English), -50, 100, -30},
      {QStringLiteral("150"), QLocale(QLocale::English), -50, 100, 100},
      {QStringLiteral("-75"), QLocale(QLocale::English), -50, 100, -50},
      {QStringLiteral("12.345"), QLocale(QLocale::English), -50, 100, 12.345},  // not rounded to the tenths shown
      {QStringLiteral("12,5"), QLocale(QLocale::German), -50, 100, 12.5},
      {QStringLiteral("+2 st"), QLocale(QLocale::English), -12, 12, 2},
      {QStringLiteral("3"), QLocale(QLocale::English), 100, -50, 3},  // a range given backwards still works
  };
  for (const auto& c : cases) {
    Stage s;
    ASSERT_TRUE(s.active());
    s.editor->setLocale(c.locale);
    s.open(QStringLiteral("0.0 %"), c.minimum, c.maximum, 1);
    s.type(c.typed);
    EXPECT_EQ(s.editor->text(), c.typed);  // the typing replaced the selected text
    QTest::keyClick(s.editor, Qt::Key_Return);
    SCOPED_TRACE(c.typed.toStdString());
    EXPECT_EQ(s.entered, std::vector<double>{c.value});
    EXPECT_EQ(s.cancels, 0);
    EXPECT_FALSE(s.editor->isOpen());
    EXPECT_FALSE(s.editor->isVisible());
    EXPECT_TRUE(s.slider->hasFocus());
    EXPECT_TRUE(s.slider->focusRingVisible());
  }
}

TEST_F(ValueEditorTest, OpensOverTheLabelWithTheTextSelected) {
  Stage s;
  ASSERT_TRUE(s.active());
  s.editor->setLocale(QLocale(QLocale::English));
  s.open(QStringLiteral("-12.5 %"), -50, 100, 1);
  EXPECT_TRUE(s.editor->isOpen());
  EXPECT_TRUE(s.editor->isVisible());
  EXPECT_TRUE(s.editor->hasFocus());
  EXPECT_EQ(s.editor->selectedText(), QStringLiteral("-12.5 %"));
  EXPECT_EQ(s.editor->toolTip(), QStringLiteral("-50.0 to 100.0"));
  const QRect over = s.editor->geometry();
  EXPECT_GE(over.width(), s.label->width());
  EXPECT_GE(over.height(), s.label->height());
  EXPECT_LE((over.center() - s.label->geometry().center()).manhattanLength(), 1);

  // A label at the window's edge: the editor stays inside the window.
  s.label->move(s.window.width() - s.label->width(), 180);
  s.editor->open(s.label, QStringLiteral("0"), -1200, 1200, 1);
  EXPECT_LE(s.editor->geometry().right(), s.window.rect().right());
  EXPECT_GE(s.editor->geometry().left(), 0);
}

TEST_F(ValueEditorTest, TextThatIsNoNumberGetsARedFrameAndGivesNothing) {
  Stage s;
  ASSERT_TRUE(s.active());
  s.editor->setLocale(QLocale(QLocale::English));
  s.open(QStringLiteral("0.0 %"), -50, 100, 1);
  EXPECT_FALSE(s.editor->isInvalid());
  s.type(QStringLiteral("abc"));
  EXPECT_FALSE(s.editor->isInvalid());  // no red while the user is still typing
  QTest::keyClick(s.editor, Qt::Key_Return);
  EXPECT_TRUE(s.editor->isInvalid());
  EXPECT_TRUE(s.editor->styleSheet().contains(QStringLiteral("#ff4d4d")));
  EXPECT_TRUE(s.entered.empty());
  EXPECT_EQ(s.cancels, 0);
  EXPECT_TRUE(s.editor->isOpen());
  EXPECT_TRUE(s.editor->hasFocus());

  // The frame follows each edit from then on.
  QTest::keyClick(s.editor, Qt::Key_A, Qt::ControlModifier);
  s.type(QStringLiteral("4"));
  EXPECT_FALSE(s.editor->isInvalid());
  EXPECT_FALSE(s.editor->styleSheet().contains(QStringLiteral("#ff4d4d")));
  s.type(QStringLiteral("x"));
  EXPECT_TRUE(s.editor->isInvalid());
  QTest::keyClick(s.editor, Qt::Key_Backspace);
  QTest::keyClick(s.editor, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(s.entered, std::vector<double>{4});
}

TEST_F(ValueEditorTest, EscAndLeavingTheFieldCancel) {
  enum How { Esc, Tab, Click, Popup };
  const struct {
    const char* what;
    How how;
    bool cancelled;
    bool focusBackOnSlider;
  } cases[] = {
      {"Esc", Esc, true, true},
      {"Tab away", Tab, true, false},
      {"a click elsewhere", Click, true, false},
      {"the editor's own context menu", Popup, false, false},
  };
  for (const auto& c : cases) {
    Stage s;
    ASSERT_TRUE(s.active());
    s.open(QStringLiteral("0.0 %"), -50, 100, 1);
    s.type(QStringLiteral("42"));
    switch (c.how) {
      case Esc:
        QTest::keyClick(s.editor, Qt::Key_Escape);
        break;
      case Tab:
        QWidget::setTabOrder(s.editor, s.elsewhere);
        QTest::keyClick(s.editor, Qt::Key_Tab);
        break;
      case Click:
        s.elsewhere->setFocus(Qt::MouseFocusReason);
        break;
      case Popup: {
        QFocusEvent out(QEvent::FocusOut, Qt::PopupFocusReason);
        QApplication::sendEvent(s.editor, &out);
        break;
      }
    }
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(s.entered.empty());
    EXPECT_EQ(s.cancels, c.cancelled ? 1 : 0);
    EXPECT_EQ(s.editor->isOpen(), !c.cancelled);
    EXPECT_EQ(s.editor->isVisible(), !c.cancelled);
    EXPECT_EQ(s.slider->hasFocus(), c.focusBackOnSlider);
    // Closed once: the hiding and the focus moving after it add nothing.
    QApplication::processEvents();
    EXPECT_EQ(s.cancels, c.cancelled ? 1 : 0);
  }
}

TEST_F(ValueEditorTest, KeyboardOnlyFromTheSliderToAnExactValueAndBack) {
  Stage s;
  ASSERT_TRUE(s.active());
  s.editor->setLocale(QLocale(QLocale::German));
  // What the window does: Enter on the slider opens the editor over its
  // label; the number entered becomes the slider's position.
  QObject::connect(s.slider, &Slider::valueEditRequested, [&] {
    s.editor->open(s.label, s.label->text(), s.slider->minimum(), s.slider->maximum(), 1);
  });
  QObject::connect(s.editor, &ValueEditor::valueEntered, [&](double v) { s.slider->setPosition(v); });
  s.slider->setMinimum(-50);
  s.slider->setMaximum(100);

  s.elsewhere->setFocus(Qt::MouseFocusReason);
  QTest::keyClick(s.elsewhere, Qt::Key_Tab);
  ASSERT_TRUE(s.slider->hasFocus());
  QTest::keyClick(s.slider, Qt::Key_Return);
  ASSERT_TRUE(s.editor->hasFocus());
  s.type(QStringLiteral("12,5 %"));
  QTest::keyClick(s.editor, Qt::Key_Return);
  EXPECT_EQ(s.slider->position(), 12.5);
  EXPECT_TRUE(s.slider->hasFocus());
  EXPECT_TRUE(s.slider->focusRingVisible());
  EXPECT_FALSE(s.editor->isVisible());
}

}  // namespace
