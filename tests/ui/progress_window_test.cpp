// The progress window: its look at two scales, the path shortened in the
// middle, repeated percentages ignored by the bar and the launcher, the
// percent and the time left beside the bar, Cancel asked once however often
// it is pressed, Esc and the window manager's close refused, and the job's
// close from its own thread ending the modal run. And the time-left
// estimate on its own.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVariantMap>

#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "ui/launcher_progress.h"
#include "ui/progress_window.h"
#include "ui/ui_scale.h"
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

  std::vector<double> progress_;  // every signal the launcher sent
  std::vector<bool> visible_;
  // Declared after what its sender records into: a launcher still shown
  // when the test ends signals once more as it goes.
  std::unique_ptr<LauncherProgress> launcher_;
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
    EXPECT_EQ(Find<QLabel>(w, "percentLabel")->text(), QStringLiteral("0 %"));
    EXPECT_EQ(Find<QLabel>(w, "timeLeftLabel")->text(), QString());
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

// The percent follows the bar; the time left appears once it means
// something, counts from prepare() by the window's clock, and goes at the
// end and with the next job. Both sit in the progress group's title row,
// right of its title and above the bar's right end, side by side.
TEST_F(ProgressWindowTest, PercentAndTimeLeftBesideTheBar) {
  ProgressWindow w(nullptr, 1.0f, *launcher_);
  int64_t nowMs = 5000;
  w.clockMs = [&] { return nowMs; };
  w.prepare(QStringLiteral("/tmp/a.mp3"), {});
  auto* percent = Find<QLabel>(w, "percentLabel");
  auto* timeLeft = Find<QLabel>(w, "timeLeftLabel");
  auto* bar = Find<QProgressBar>(w, "progressBar");
  auto* group = Find<QGroupBox>(w, "progressGroup");
  const struct {
    int64_t atMs;  // since prepare()
    int percent;
    const char* percentText;
    const char* timeLeft;
  } steps[] = {
      {500, 2, "2 %", ""},                 // too early to tell
      {10000, 10, "10 %", "about 1:30 left"},
      {20000, 20, "20 %", "about 1:20 left"},  // the same pace: no smoothing to see
      {30000, 20, "20 %", "about 1:20 left"},  // a repeat changes nothing
      {100000, 100, "100 %", ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.percent);
    nowMs = 5000 + step.atMs;
    w.reportProgress(step.percent, 0);
    QCoreApplication::sendPostedEvents(&w);
    EXPECT_EQ(w.percentText(), QString::fromLatin1(step.percentText));
    EXPECT_EQ(w.timeLeftText(), QString::fromLatin1(step.timeLeft));
    EXPECT_EQ(percent->isHidden(), false);
    EXPECT_EQ(timeLeft->isHidden(), *step.timeLeft == '\0');
  }

  // Placed while shown: the title row, right of the title, above the bar.
  nowMs = 200000;
  w.prepare(QStringLiteral("/tmp/b.mp3"), {});
  EXPECT_EQ(w.timeLeftText(), QString());  // a new job, a new estimate
  EXPECT_TRUE(timeLeft->isHidden());
  nowMs += 30000;
  w.reportProgress(25, 0);
  QCoreApplication::sendPostedEvents(&w);
  EXPECT_EQ(w.timeLeftText(), QStringLiteral("about 1:30 left"));
  const QRect titleEnd(QPoint(QFontMetrics(group->font()).horizontalAdvance(group->title()), 0),
                       QPoint(bar->geometry().right(), bar->geometry().top() - 1));
  for (QLabel* label : {percent, timeLeft}) {
    SCOPED_TRACE(label->objectName().toStdString());
    EXPECT_EQ(label->parentWidget(), group);
    EXPECT_TRUE(titleEnd.contains(label->geometry())) << label->geometry().x() << "," << label->geometry().y();
    EXPECT_GE(label->width(), QFontMetrics(label->font()).horizontalAdvance(label->text()));
  }
  EXPECT_EQ(percent->geometry().right(), bar->geometry().right());
  EXPECT_EQ(timeLeft->geometry().right() + 1, percent->geometry().left());
}

TEST(ProgressWindowTimeLeft, TextFromShareDoneAndTimeTaken) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double fraction, elapsed;
    const char* text;
  } cases[] = {
      {0.0, 5, ""},      // nothing done yet
      {0.02, 0.5, ""},   // too early: under a second and under 3 %
      {0.03, 0.3, "about 0:10 left"},
      {0.01, 1.0, "about 1:39 left"},
      {0.5, 35, "about 0:35 left"},
      {0.42, 25.2, "about 0:35 left"},
      {0.1, 59, "about 8:51 left"},
      {0.25, 1199.8, "about 59:59 left"},
      {0.25, 1200, "about 1:00:00 left"},
      {0.1, 500, "about 1:15:00 left"},
      {0.01, 10000, "about 99:00:00 left"},  // beyond reason: capped
      {0.999, 10, "about 0:01 left"},
      {1.0, 60, ""},  // done
      {1.5, 60, ""},
      {-0.1, 10, ""},
      {nan, 10, ""},
      {0.5, nan, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TimeLeftText(c.fraction, c.elapsed), QString::fromLatin1(c.text)) << c.fraction << " " << c.elapsed;
}

// Between updates the estimate counts down; each update moves it part of
// the way to the new pace's, so one slow block does not make it leap.
TEST(ProgressWindowTimeLeft, TheEstimateIsSmoothed) {
  const struct {
    double fraction, elapsed;
    const char* text;
    const char* raw;  // TimeLeftText for the same update
  } steps[] = {
      {0.01, 0.5, "", ""},
      {0.10, 10, "about 1:30 left", "about 1:30 left"},
      {0.20, 20, "about 1:20 left", "about 1:20 left"},  // steady: the same as raw
      // A stall, 10 s for 1 %: counted down to 70 s, raw 112.9 s, shown
      // 70 + 0.3 × 42.9 = 82.9 s.
      {0.21, 30, "about 1:23 left", "about 1:53 left"},
      // 73.9 s counted down, raw 91 s: 79 s.
      {0.30, 39, "about 1:19 left", "about 1:31 left"},
      {1.00, 100, "", ""},  // done: starts afresh
      {0.50, 10, "about 0:10 left", "about 0:10 left"},
  };
  TimeLeftEstimate estimate;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.fraction);
    EXPECT_EQ(estimate.update(step.fraction, step.elapsed), QString::fromLatin1(step.text));
    EXPECT_EQ(TimeLeftText(step.fraction, step.elapsed), QString::fromLatin1(step.raw));
  }
  estimate.reset();
  EXPECT_EQ(estimate.update(0.5, 60), QStringLiteral("about 1:00 left"));
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
  EXPECT_FALSE(launcher_->isVisible());

  // After the close Cancel asks nothing of the finished job.
  Find<QPushButton>(w, "cancelButton")->click();
  EXPECT_EQ(cancels, 0);
}

}  // namespace
