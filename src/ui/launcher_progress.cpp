#include "ui/launcher_progress.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantMap>

#include <algorithm>

LauncherProgress::Sender LauncherProgress::SessionBusSender() {
  return [](const QDBusMessage& message) {
    // Asked each time: a desktop without a session bus (a console, a test
    // run) simply gets nothing.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) bus.send(message);
  };
}

QDBusMessage LauncherProgress::UpdateMessage(double progress, bool visible) {
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
  if (visible_) SetVisible(false);
}

void LauncherProgress::SetProgress(int value) {
  value_ = value;
  send();
}

void LauncherProgress::SetMax(int max) {
  max_ = max;
  SetProgress(value_);
}

void LauncherProgress::SetVisible(bool visible) {
  visible_ = visible;
  send();
}

void LauncherProgress::send() {
  if (!sender_) return;
  const double share = max_ > 0 ? double(value_) / double(max_) : 0.0;
  sender_(UpdateMessage(share, visible_));
}
