// The program's progress on its taskbar or dock entry, through the
// freedesktop launcher API: the signal "Update" of interface
// com.canonical.Unity.LauncherEntry on the session bus, for the application
// "application://pitchwell.desktop", with the properties "progress" (0 … 1)
// and "progress-visible". Docks that do not listen ignore it; without a
// session bus nothing is sent and nothing fails.
//
// The value runs from 0 to Max (100), starts at 10 and is hidden until
// setVisible(true). Every call sends the whole state, so a dock that starts
// listening late still gets it right on the next change.
//
// Main thread only (all members).
#pragma once

#include <QObject>

#include <functional>

class QDBusMessage;

class LauncherProgress : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kObjectPath = "/com/pitchwell/launcher";
  static constexpr const char* kInterface = "com.canonical.Unity.LauncherEntry";
  static constexpr const char* kSignal = "Update";
  static constexpr const char* kAppUri = "application://pitchwell.desktop";

  // Where the signals go: the session bus unless replaced (tests record
  // them). An empty sender makes the indicator inert.
  using Sender = std::function<void(const QDBusMessage&)>;
  static Sender sessionBusSender();

  // The signal for one state: progress as a share of the whole (clamped to
  // 0 … 1) and whether the dock shows it.
  static QDBusMessage updateMessage(double progress, bool visible);

  explicit LauncherProgress(QObject* parent = nullptr, Sender sender = sessionBusSender());
  // Hides the progress if it is still shown.
  ~LauncherProgress() override;

  void setSender(Sender sender) { sender_ = std::move(sender); }

  // Value out of Max; sent at once.
  void setProgress(int value);
  void setMax(int max);
  void setVisible(bool visible);

  int minimum() const { return 0; }
  int maximum() const { return max_; }
  int value() const { return value_; }
  bool isVisible() const { return visible_; }

 private:
  void send();

  Sender sender_;
  int max_ = 100;
  int value_ = 10;
  bool visible_ = false;
};
