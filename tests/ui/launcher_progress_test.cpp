// The launcher entry's progress: the D-Bus signal it sends for each state,
// its value, maximum and visibility, and the signal as a listener on a real
// session bus receives it.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcess>
#include <QVariantMap>

#include <vector>

#include "ui/launcher_progress.h"
#include "widget_app.h"

namespace {

struct Sent {
  double progress;
  bool visible;
};

// What a sender was given, or a listener received, as the dock reads it.
Sent Read(const QDBusMessage& m) {
  const QVariant argument = m.arguments().value(1);
  const QVariantMap properties = argument.canConvert<QDBusArgument>()
                                     ? qdbus_cast<QVariantMap>(argument.value<QDBusArgument>())
                                     : argument.toMap();
  return {properties.value(QStringLiteral("progress")).toDouble(),
          properties.value(QStringLiteral("progress-visible")).toBool()};
}

TEST(LauncherProgressTest, TheUpdateSignalCarriesTheAppAndBothProperties) {
  const QDBusMessage m = LauncherProgress::updateMessage(0.37, true);
  EXPECT_EQ(m.type(), QDBusMessage::SignalMessage);
  EXPECT_EQ(m.path(), QStringLiteral("/com/pitchwell/launcher"));
  EXPECT_EQ(m.interface(), QStringLiteral("com.canonical.Unity.LauncherEntry"));
  EXPECT_EQ(m.member(), QStringLiteral("Update"));
  ASSERT_EQ(m.arguments().size(), 2);
  EXPECT_EQ(m.arguments()[0].toString(), QStringLiteral("application://pitchwell.desktop"));
  const QVariantMap properties = m.arguments()[1].toMap();
  EXPECT_EQ(properties.size(), 2);
  EXPECT_EQ(properties.value(QStringLiteral("progress")).typeId(), QMetaType::Double);
  EXPECT_DOUBLE_EQ(properties.value(QStringLiteral("progress")).toDouble(), 0.37);
  EXPECT_EQ(properties.value(QStringLiteral("progress-visible")).typeId(), QMetaType::Bool);
  EXPECT_TRUE(properties.value(QStringLiteral("progress-visible")).toBool());

  EXPECT_DOUBLE_EQ(Read(LauncherProgress::updateMessage(1.5, false)).progress, 1.0);
  EXPECT_DOUBLE_EQ(Read(LauncherProgress::updateMessage(-0.5, false)).progress, 0.0);
}

TEST(LauncherProgressTest, ValueOutOfMaxHiddenUntilShown) {
  pwtest::EnsureWidgetApp();
  std::vector<Sent> sent;
  {
    LauncherProgress launcher(nullptr, [&](const QDBusMessage& m) { sent.push_back(Read(m)); });
    EXPECT_EQ(launcher.minimum(), 0);
    EXPECT_EQ(launcher.maximum(), 100);
    EXPECT_EQ(launcher.value(), 10);
    EXPECT_FALSE(launcher.isVisible());
    ASSERT_EQ(sent.size(), 1u);  // whatever an earlier run left is hidden
    EXPECT_FALSE(sent[0].visible);

    launcher.setVisible(true);
    launcher.setProgress(42);
    launcher.setMax(200);
    launcher.setProgress(200);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_TRUE(sent[1].visible);
    EXPECT_DOUBLE_EQ(sent[1].progress, 0.10);
    EXPECT_DOUBLE_EQ(sent[2].progress, 0.42);
    EXPECT_DOUBLE_EQ(sent[3].progress, 0.21);
    EXPECT_DOUBLE_EQ(sent[4].progress, 1.0);
    EXPECT_TRUE(sent[4].visible);
  }
  // Gone while shown: hidden on the way out.
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_FALSE(sent[5].visible);

  // No sender: inert, and nothing fails.
  LauncherProgress inert(nullptr, LauncherProgress::Sender());
  inert.setVisible(true);
  inert.setProgress(50);
  EXPECT_EQ(inert.value(), 50);
}

// A private session bus: the dock's view of the signal, marshalled for real.
class Listener : public QObject {
  Q_OBJECT

 public:
  std::vector<QDBusMessage> received;

 public slots:
  void update(const QDBusMessage& m) { received.push_back(m); }
};

TEST(LauncherProgressTest, AListenerOnTheSessionBusReceivesTheUpdate) {
  pwtest::EnsureWidgetApp();
  QProcess daemon;
  daemon.start(QStringLiteral("dbus-daemon"),
               {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
  ASSERT_TRUE(daemon.waitForStarted(10000)) << "dbus-daemon (package dbus) is needed";
  ASSERT_TRUE(daemon.waitForReadyRead(10000));
  const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
  ASSERT_FALSE(address.isEmpty());

  {
    QDBusConnection dock = QDBusConnection::connectToBus(address, QStringLiteral("pitchwell-test-dock"));
    QDBusConnection program = QDBusConnection::connectToBus(address, QStringLiteral("pitchwell-test-program"));
    ASSERT_TRUE(dock.isConnected());
    ASSERT_TRUE(program.isConnected());
    Listener listener;
    ASSERT_TRUE(dock.connect(QString(), QStringLiteral("/com/pitchwell/launcher"),
                             QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"), &listener,
                             SLOT(update(QDBusMessage))));

    // The bus installs the listener's match rule on its own time: a probe is
    // sent until one arrives, so the launcher's signals are not sent before
    // anyone can hear them (a busy machine delays the rule).
    // One probe a second: a flood of them would only slow a checked build.
    QDeadlineTimer ready(20000);
    while (listener.received.empty() && !ready.hasExpired()) {
      QDBusMessage probe = QDBusMessage::createSignal(QStringLiteral("/com/pitchwell/launcher"),
                                                      QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                      QStringLiteral("Update"));
      probe << QStringLiteral("probe") << QVariantMap();
      program.send(probe);
      QDeadlineTimer second(1000);
      while (listener.received.empty() && !second.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    ASSERT_FALSE(listener.received.empty()) << "the listener never heard the bus";

    LauncherProgress launcher(nullptr, [&](const QDBusMessage& m) { program.send(m); });
    launcher.setVisible(true);
    launcher.setProgress(75);

    // The launcher's own signals, probes still on their way left out.
    const auto updates = [&] {
      std::vector<QDBusMessage> own;
      for (const QDBusMessage& m : listener.received)
        if (m.arguments().value(0).toString() != QStringLiteral("probe")) own.push_back(m);
      return own;
    };
    QDeadlineTimer deadline(30000);
    while (updates().size() < 3 && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const std::vector<QDBusMessage> received = updates();
    ASSERT_EQ(received.size(), 3u);
    const QDBusMessage& last = received.back();
    EXPECT_EQ(last.signature(), QStringLiteral("sa{sv}"));
    EXPECT_EQ(last.arguments().value(0).toString(), QStringLiteral("application://pitchwell.desktop"));
    const Sent state = Read(last);
    EXPECT_DOUBLE_EQ(state.progress, 0.75);
    EXPECT_TRUE(state.visible);
    EXPECT_FALSE(Read(received[0]).visible);
  }
  QDBusConnection::disconnectFromBus(QStringLiteral("pitchwell-test-dock"));
  QDBusConnection::disconnectFromBus(QStringLiteral("pitchwell-test-program"));
  daemon.terminate();
  EXPECT_TRUE(daemon.waitForFinished(10000));
}

}  // namespace

#include "launcher_progress_test.moc"
