#include "ui/launcher_progress.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantMap>

#include <algorithm>

LauncherProgress::Sender LauncherProgress::sessionBusSender() {
  return [](const QDBusMessage& message) {
    // Asked each time: a desktop without a session bus (a console, a test
    // run) simply gets nothing.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) bus.send(message);
  };
}

QDBusMessage LauncherProgress::updateMessage(double progress, bool visible) {
  QDBusMessage message = QDBusMessage::createSignal(QString::fromLatin1(kObjectPath), QString::fromLatin1(kInterface),
                                                    QString::fromLatin1(kSignal));
  QVariantMap properties;
  properties.insert(QStringLiteral("progress"), std::clamp(progress, 0.0, 1.0));
  properties.insert(QStringLiteral("progress-visible"), visible);
  message << QString::fromLatin1(kAppUri) << properties;
  return message;
}

LauncherProgress::LauncherProgress(QObject* parent, Sender sender) : QObject(parent), sender_(std::move(sender)) {
  setObjectName(QStringLiteral("launcherProgress"));
  // A progress left on the dock by an earlier run that ended abruptly goes.
  send();
}

LauncherProgress::~LauncherProgress() {
  if (visible_) setVisible(false);
}

void LauncherProgress::setProgress(int value) {
  value_ = value;
  send();
}

void LauncherProgress::setMax(int max) {
  max_ = max;
  setProgress(value_);
}

void LauncherProgress::setVisible(bool visible) {
  visible_ = visible;
  send();
}

void LauncherProgress::send() {
  if (!sender_) return;
  const double share = max_ > 0 ? double(value_) / double(max_) : 0.0;
  sender_(updateMessage(share, visible_));
}
