// The progress window: its look at two scales, the path shortened in the
// middle, repeated percentages ignored by the bar and the launcher, Cancel
// asked once however often it is pressed, Esc and the window manager's close
// refused, and the job's close from its own thread ending the modal run.
#include <gtest/gtest.h>

#include <QDBusMessage>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVariantMap>

#include <memory>
#include <thread>
#include <vector>

#include "launcher_progress.h"
#include "progress_window.h"
#include "ui_scale.h"
#include "widget_app.h"

namespace {

template <typename T>
T* Find(const QWidget& w, const char* name) {
  return w.findChild<T*>(QString::fromLatin1(name));
}

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pwtest::EnsureWidgetApp();
    launcher_ = std::make_unique<LauncherProgress>(nullptr, [this](const QDBusMessage& m) {
      const QVariantMap p = m.arguments().value(1).toMap();
      progress_.push_back(p.value(QStringLiteral("progress")).toDouble());
      visible_.push_back(p.value(QStringLiteral("progress-visible")).toBool());
    });
    progress_.clear();
    visible_.clear();
  }

  std::unique_ptr<LauncherProgress> launcher_;
  std::vector<double> progress_;  // every signal the launcher sent
  std::vector<bool> visible_;
};

TEST_F(ProgressWindowTest, CaptionControlsAndScaledSize) {
  const struct { float scale; QSize size; } cases[] = {{1.0f, {433, 155}}, {1.25f, {541, 194}}, {2.0f, {866, 310}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scale);
    ProgressWindow w(nullptr, c.scale, *launcher_);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Processing..."));
    EXPECT_EQ(w.size(), c.size);
    EXPECT_TRUE(w.isModal());
    const Qt::WindowFlags flags = w.windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
    EXPECT_EQ(Find<QGroupBox>(w, "outputGroup")->title(), QStringLiteral("  Output File:  "));
    EXPECT_EQ(Find<QGroupBox>(w, "progressGroup")->title(), QStringLiteral("  Progress  "));
    EXPECT_EQ(Find<QLabel>(w, "pathLabel")->text(), QStringLiteral("..."));
    EXPECT_EQ(Find<QLabel>(w, "pathLabel")->size(), ScaledRect(QRect(16, 24, 385, 17), c.scale).size());
    auto* bar = Find<QProgressBar>(w, "progressBar");
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->size(), ScaledRect(QRect(16, 22, 385, 20), c.scale).size());
    EXPECT_EQ(Find<QPushButton>(w, "cancelButton")->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(w.font().pixelSize(), qRound(11 * c.scale));
  }
}

TEST_F(ProgressWindowTest, ALongPathLosesItsMiddle) {
  ProgressWindow w(nullptr, 1.0f, *launcher_);
  auto* label = Find<QLabel>(w, "pathLabel");
  const QString shortPath = QStringLiteral("/music/out.mp3");
  w.prepare(shortPath, {});
  EXPECT_EQ(label->text(), shortPath);

  const QString longPath = QStringLiteral("/home/somebody/") + QString(40, QLatin1Char('x')) + QLatin1Char('/') +
                           QString(40, QLatin1Char('y')) + QStringLiteral("/the final name.flac");
  w.prepare(longPath, {});
  const QString shown = label->text();
  EXPECT_EQ(w.outputPath(), longPath);
  EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
  EXPECT_TRUE(shown.startsWith(QStringLiteral("/home/")));
  EXPECT_TRUE(shown.endsWith(QStringLiteral(".flac")));
  EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(shown), label->width());
  EXPECT_EQ(label->toolTip(), longPath);
}

TEST_F(ProgressWindowTest, RepeatedPercentagesChangeNothing) {
  ProgressWindow w(nullptr, 1.0f, *launcher_);
  auto* bar = Find<QProgressBar>(w, "progressBar");
  std::vector<int> barValues;
  QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) { barValues.push_back(v); });
  progress_.clear();

  for (int percent : {0, 5, 5, 5, 7, 7, 100, 100}) w.reportProgress(percent, 0);
  QCoreApplication::sendPostedEvents(&w);
  // 0 is where the bar already stands.
  EXPECT_EQ(barValues, (std::vector<int>{5, 7, 100}));
  ASSERT_EQ(progress_.size(), 3u);
  EXPECT_DOUBLE_EQ(progress_[0], 0.05);
  EXPECT_DOUBLE_EQ(progress_[1], 0.07);
  EXPECT_DOUBLE_EQ(progress_[2], 1.0);
  EXPECT_EQ(w.percent(), 100);
}

TEST_F(ProgressWindowTest, CancelIsAskedOnceAndOnlyWhenThereIsAJob) {
  ProgressWindow w(nullptr, 1.0f, *launcher_);
  auto* cancel = Find<QPushButton>(w, "cancelButton");
  cancel->click();  // no job: nothing happens

  int asked = 0;
  w.prepare(QStringLiteral("/tmp/a.mp3"), [&] { ++asked; });
  cancel->click();
  cancel->click();
  EXPECT_EQ(asked, 1);

  // The next job can be cancelled again.
  w.prepare(QStringLiteral("/tmp/b.mp3"), [&] { ++asked; });
  cancel->click();
  EXPECT_EQ(asked, 2);
}

// The modal run: Esc, reject and the window manager's close leave it open;
// the job's close, from the job's thread, ends it with the outcome.
TEST_F(ProgressWindowTest, OnlyTheJobClosesTheWindow) {
  QWidget owner;
  owner.resize(600, 400);
  ProgressWindow w(&owner, 1.0f, *launcher_);
  int cancels = 0;
  w.prepare(QStringLiteral("/tmp/out.wav"), [&] { ++cancels; });
  ExportOutcome outcome;
  outcome.failure = "Cannot write \"/tmp/out.wav\": No space left on device";
  outcome.failureCaption = "WAV Writer";
  bool stayedOpen = false;
  std::thread job;
  QTimer::singleShot(0, &w, [&] {
    QTest::keyClick(&w, Qt::Key_Escape);
    w.reject();
    w.close();
    stayedOpen = w.isVisible();
    job = std::thread([&w, outcome] {
      w.reportProgress(40, 0);
      w.reportProgress(100, 0);
      w.reportEnd(outcome);
    });
  });
  visible_.clear();
  EXPECT_EQ(w.exec(), QDialog::Accepted);
  job.join();
  EXPECT_TRUE(stayedOpen);
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(w.percent(), 100);
  EXPECT_EQ(w.outcome().failure, outcome.failure);
  EXPECT_EQ(w.outcome().failureCaption, outcome.failureCaption);
  // Shown while the window was, hidden when it closed.
  ASSERT_GE(visible_.size(), 2u);
  EXPECT_TRUE(visible_.front());
  EXPECT_FALSE(visible_.back());
  EXPECT_FALSE(launcher_->Visible());

  // After the close Cancel asks nothing of the finished job.
  Find<QPushButton>(w, "cancelButton")->click();
  EXPECT_EQ(cancels, 0);
}

}  // namespace
