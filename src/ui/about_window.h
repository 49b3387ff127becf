// The About window: the program's name, icon and version, and two links (the
// product's web page and the manual update check). It is made once, shown
// modeless beside the main window, and only hidden when closed, so it keeps
// its version text for the whole run. Everything here, members included,
// belongs to the main thread.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <string>
#include <utility>

// "Product Version: " + version + " (" + architecture + ")". An unknown
// (empty) version leaves two spaces before the parenthesis.
QString AboutVersionText(const std::string& version, const std::string& architecture);

class AboutWindow : public QDialog {
  Q_OBJECT

 public:
  // `scale`: the main window's skin scale (the design is for 96 dpi).
  // `version`, `architecture`: what the version line shows; the program
  // passes ProgramVersion() and ProgramArchitecture().
  AboutWindow(QWidget* owner, float scale, const std::string& version, const std::string& architecture);

  // What the two links do; an unset link does nothing.
  void setProductInformationAction(std::function<void()> action) { productInformation_ = std::move(action); }
  void setCheckUpdatesAction(std::function<void()> action) { checkUpdates_ = std::move(action); }
  // False in a build that never touches the network: the update link says
  // so and does nothing.
  void setUpdateCheckAvailable(bool available);

  // ABOUT: a hidden window is placed at the centre of `owner` (or of its
  // parent when `owner` is null) and shown; a visible one stays where the
  // user put it. Either way it comes to the front and takes the focus.
  void showCentredOn(const QWidget* owner);

 private:
  std::function<void()> productInformation_;
  std::function<void()> checkUpdates_;
  class QLabel* updateLink_ = nullptr;
  bool updateCheckAvailable_ = true;
};
