// SIGTERM and SIGHUP (the session logging out, the terminal closing) end
// the window as a close does, instead of killing it where it stands: the
// handler only writes the signal's number into a pipe, and the main
// thread, woken by the pipe's notifier, does the rest.
//
// One object at a time; made, used and destroyed on the main thread.
#pragma once

#include <QObject>

#include <initializer_list>
#include <vector>

class QSocketNotifier;

class QuitSignals : public QObject {
  Q_OBJECT

 public:
  // Catches `signalNumbers` from now on. ok() is false when the pipe could
  // not be made; the signals then keep their default action.
  explicit QuitSignals(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
  // The signals go back to their default action.
  ~QuitSignals() override;
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

  bool ok() const { return notifier_ != nullptr; }

 signals:
  // On the main thread, once per signal delivered.
  void received(int signalNumber);

 private:
  void readPipe();

  std::vector<int> signals_;
  int pipe_[2] = {-1, -1};
  QSocketNotifier* notifier_ = nullptr;
};
