// Help and About from the main window.
#include <QDesktopServices>
#include <QUrl>

#include "ui/about_window.h"
#include "ui/asset_paths.h"
#include "ui/main_window.h"
#include "services/program_version.h"
#include "services/vendor_site.h"

// A missing help file, or one the desktop cannot open, is an error for the
// program's last-chance handler: it reports it once and shows the message.
void MainWindow::showHelp() {
  OpenHelpFile(ExecutableDir(), [](const QUrl& url) { return QDesktopServices::openUrl(url); });
}

// The update link is the version checker's, which the window's start-up
// connects; the product page needs nothing but the desktop's browser (a page
// that cannot be opened shows nothing).
AboutWindow& MainWindow::aboutWindow() {
  if (!aboutWindow_) {
    aboutWindow_ = new AboutWindow(this, scale_, ProgramVersion(), ProgramArchitecture());
    aboutWindow_->setProductInformationAction([] {
      QDesktopServices::openUrl(QUrl(QString::fromStdString(DefaultVendorSite().productPageUrl)));
    });
    aboutWindow_->setCheckUpdatesAction([this] {
      if (checkUpdates_) checkUpdates_();
    });
  }
  return *aboutWindow_;
}

void MainWindow::setCheckUpdatesAction(std::function<void()> action) { checkUpdates_ = std::move(action); }

void MainWindow::setSendReports(bool on) {
  settings_.sendReports = on ? 1 : 0;
  if (sendReportsChanged_) sendReportsChanged_(on);
}

void MainWindow::setReportsAvailable(bool available) {
  reportsAvailable_ = available;
  aboutWindow().setUpdateCheckAvailable(available);
}

void MainWindow::showAbout() { aboutWindow().showCentredOn(this); }
