#include "ui/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>

namespace {

// The write end, for the handler; -1 while no object is installed.
volatile sig_atomic_t gWriteEnd = -1;

// Async-signal-safe: one write, errno left as it was.
void OnSignal(int signalNumber) {
  const int savedErrno = errno;
  const int fd = gWriteEnd;
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

}  // namespace

QuitSignals::QuitSignals(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent), signals_(signalNumbers) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    pipe_[0] = pipe_[1] = -1;
    return;
  }
  notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::readPipe);
  gWriteEnd = pipe_[1];
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : signals_) ::sigaction(s, &action, nullptr);
}

QuitSignals::~QuitSignals() {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int s : signals_) ::sigaction(s, &action, nullptr);
  gWriteEnd = -1;
  delete notifier_;
  for (int fd : pipe_)
    if (fd >= 0) ::close(fd);
}

void QuitSignals::readPipe() {
  unsigned char byte = 0;
  while (::read(pipe_[0], &byte, 1) == 1) emit received(int(byte));
}
