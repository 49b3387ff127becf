// pitchwell: the window. Holds a lock file while it runs (a second instance
// still starts), builds the main window, runs the event loop. Exceptions that
// escape an event handler are reported to the vendor and shown, and the
// program goes on; a fatal signal leaves a report that the next start offers
// to send. SIGTERM and SIGHUP end it as a close does.
#include <fenv.h>
#include <signal.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLockFile>
#include <QMessageBox>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <functional>

#include "ui/asset_paths.h"
#include "services/crash_report.h"
#include "services/exception_report.h"
#include "services/failure_report.h"
#include "ui/main_window.h"
#include "core/messages.h"
#include "ui/quit_signals.h"
#include "services/user_prompt.h"
#include "services/version_checker.h"

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
  QMessageBox box(IconFor(m.kind), QString::fromStdString(m.caption), QString::fromStdString(m.text), QMessageBox::Ok);
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

// The update check's, the error report's and the crash offer's boxes.
class DialogPrompt : public UserPrompt {
 public:
  void showError(const std::string& text) override { Show(QMessageBox::Critical, text, QMessageBox::Ok); }
  void showNotice(const std::string& text) override { Show(QMessageBox::Question, text, QMessageBox::Ok); }
  bool askYesNo(const std::string& text) override {
    return Show(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  }
  void openUrl(const std::string& url) override {
    QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url)));
  }

 private:
  static int Show(QMessageBox::Icon icon, const std::string& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, QApplication::applicationDisplayName(), QString::fromStdString(text), buttons);
    // A path in the text (the help file's, say) can be copied from the box.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    return box.exec();
  }
};

// The last-chance handler: an exception that leaves an event handler would
// otherwise end the program through std::terminate. Main thread: reported
// and shown at once. An object living on another thread: described there
// (where its trace is) and reported from the main thread.
class PitchwellApplication : public QApplication {
 public:
  using QApplication::QApplication;

  // Main thread; set while the handler's checker and prompt exist.
  void setEscapedExceptionReport(std::function<void(const ExceptionDescription&)> report) {
    report_ = std::move(report);
  }

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      HandleEscapedException(this, [this](const ExceptionDescription& description) {
        if (report_) report_(description);
        else std::fprintf(stderr, "error: %s\n", description.reportText.c_str());
      });
      return false;
    }
  }

 private:
  std::function<void(const ExceptionDescription&)> report_;
};

}  // namespace

int main(int argc, char* argv[]) {
  // Floating-point faults give infinities and NaNs, never traps: the effect
  // chain relies on it. The environment found here is put back at the end.
  fenv_t savedFloatEnvironment;
  fegetenv(&savedFloatEnvironment);
  fedisableexcept(FE_ALL_EXCEPT);

  // Before any other thread starts, so the main thread's handler gets its
  // own stack (a stack overflow is reported too).
  const std::string crashReportPath = DefaultCrashReportPath();
  const bool crashReportInstalled = InstallFatalSignalReport(crashReportPath);

  // The window scales itself from the screen's dots per inch; Qt must not
  // scale it a second time.
  qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");

  int exitCode = 0;
  {
    const QString runtimeDir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    QLockFile instanceLock(QDir(runtimeDir.isEmpty() ? QDir::tempPath() : runtimeDir)
                               .filePath(QStringLiteral("pitchwell.lock")));
    instanceLock.tryLock(0);  // another instance holding it does not stop this one

    PitchwellApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pitchwell"));
    QApplication::setApplicationDisplayName(QStringLiteral("Pitchwell"));
    QApplication::setOrganizationName(QStringLiteral("Corvane"));
    QApplication::setApplicationVersion(QStringLiteral(PW_VERSION));
    QApplication::setWindowIcon(ProgramIcon());
    // The launcher entry's progress and the dock find the program by this.
    QGuiApplication::setDesktopFileName(QStringLiteral("pitchwell"));
    pw::ScopedMessageHandler messages(ShowMessageBox);

    DialogPrompt prompt;
    {
      // Outlives the window, which uses it for About's "Check updates...".
      VersionChecker versionChecker(DefaultVendorSite(), prompt);
      app.setEscapedExceptionReport(
          [&](const ExceptionDescription& description) { ReportFailure(description, versionChecker, prompt); });

      // SIGTERM and SIGHUP end the run as closing the window does: every
      // modal run and the main loop return (a save in progress is called
      // off and its temporary file removed), the window saves the settings
      // as it goes, and the status is the conventional 128 + the signal.
      int quitSignal = 0;
      QuitSignals quitSignals({SIGTERM, SIGHUP});
      QObject::connect(&quitSignals, &QuitSignals::received, &app, [&quitSignal](int signalNumber) {
        if (quitSignal == 0) quitSignal = signalNumber;
        QApplication::exit(128 + quitSignal);
      });
      {
        MainWindow window(SettingsStore{});
        // The name's own bytes: QApplication has taken its options out of
        // argv, and a QString would lose a name that is not UTF-8.
        if (argc > 1 && argv[1][0] != '\0') window.openLocalFile(QByteArray(argv[1]));
        window.setCheckUpdatesAction([&] { versionChecker.checkForUpdates(); });
        // Event reports follow the user's remembered choice; a build
        // without a vendor host has none to offer.
        window.setReportsAvailable(versionChecker.site().networkAllowed());
        versionChecker.setSendReports(window.sendReports());
        window.setSendReportsAction([&](bool on) { versionChecker.setSendReports(on); });
        window.setWorkerFailureReport(
            [&](const ExceptionDescription& failure) { ReportFailure(failure, versionChecker, prompt); });
        window.show();
        // Once the window is up: a report left by a crashed run is offered once.
        if (crashReportInstalled)
          QTimer::singleShot(0, &window, [&] { OfferCrashReport(crashReportPath, versionChecker, prompt); });
        // The session manager asks before the desktop session ends.
        QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window] { window.saveSettings(); });
        // A signal while the window was being made (an error box was open)
        // found no main loop to end yet.
        exitCode = quitSignal != 0 ? 128 + quitSignal : QApplication::exec();
      }
      app.setEscapedExceptionReport({});
    }
    if (instanceLock.isLocked()) instanceLock.unlock();
  }

  fesetenv(&savedFloatEnvironment);
  return exitCode;
}
