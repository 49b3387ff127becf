// pitchwell: the window. Holds a lock file while it runs (a second instance
// still starts), builds the main window, runs the event loop.
#include <fenv.h>

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QMessageBox>
#include <QStandardPaths>
#include <QThread>

#include "main_window.h"
#include "messages.h"

namespace {

QMessageBox::Icon IconFor(pw::MessageKind kind) {
  switch (kind) {
    case pw::MessageKind::Plain: return QMessageBox::NoIcon;
    case pw::MessageKind::Information: return QMessageBox::Information;
    case pw::MessageKind::Warning: return QMessageBox::Warning;
    case pw::MessageKind::Error: return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

void ShowBox(const pw::Message& m) {
  QString text = QString::fromStdString(m.text);
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QMessageBox box(IconFor(m.kind), QString::fromStdString(m.caption), text, QMessageBox::Ok);
  box.exec();
}

// Messages become dialogs on the main thread; other threads hand theirs over
// and go on.
void ShowMessageBox(const pw::Message& m) {
  if (QThread::currentThread() == qApp->thread()) {
    ShowBox(m);
    return;
  }
  QMetaObject::invokeMethod(qApp, [m] { ShowBox(m); }, Qt::QueuedConnection);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Floating-point faults give infinities and NaNs, never traps: the effect
  // chain relies on it. The environment found here is put back at the end.
  fenv_t savedFloatEnvironment;
  fegetenv(&savedFloatEnvironment);
  fedisableexcept(FE_ALL_EXCEPT);

  // The window scales itself from the screen's dots per inch; Qt must not
  // scale it a second time.
  qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");

  int exitCode = 0;
  {
    const QString runtimeDir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    QLockFile instanceLock(QDir(runtimeDir.isEmpty() ? QDir::tempPath() : runtimeDir)
                               .filePath(QStringLiteral("pitchwell.lock")));
    instanceLock.tryLock(0);  // another instance holding it does not stop this one

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pitchwell"));
    QApplication::setApplicationDisplayName(QStringLiteral("Pitchwell"));
    QApplication::setOrganizationName(QStringLiteral("Corvane"));
    QApplication::setApplicationVersion(QStringLiteral(PW_VERSION));
    pw::ScopedMessageHandler messages(ShowMessageBox);

    const QStringList arguments = QApplication::arguments();
    {
      MainWindow window(SettingsStore{}, arguments.size() > 1 ? arguments.at(1) : QString());
      window.show();
      exitCode = QApplication::exec();
    }
    if (instanceLock.isLocked()) instanceLock.unlock();
  }

  fesetenv(&savedFloatEnvironment);
  return exitCode;
}
