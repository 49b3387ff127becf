#include "services/crash_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "services/stack_trace.h"
#include "services/user_prompt.h"
#include "services/version_checker.h"

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// A signal handler can reach nothing but globals. Both are written once by
// InstallFatalSignalReport before any handler is installed and only read
// (the path) or used by the kernel (the stack) afterwards. The handler's own
// buffers live on that stack, about 17 KiB of it.
char gReportPath[4096];
alignas(16) char gSignalStack[64 * 1024];

// ---- async-signal-safe helpers: no allocation, no locks, no stdio ----

class FixedText {
 public:
  void append(const char* text) {
    while (*text != '\0' && length_ < sizeof(buffer_)) buffer_[length_++] = *text++;
  }
  void appendAddress(const void* address) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    char digits[18];
    digits[0] = '$';
    auto value = reinterpret_cast<uintptr_t>(address);
    for (int i = 16; i >= 1; --i, value >>= 4) digits[i] = kHexDigits[value & 0xF];
    digits[17] = '\0';
    append(digits);
  }
  void appendNumber(int value) {
    char digits[12];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value > 0 && n < 11);
    char reversed[12];
    for (int i = 0; i < n; ++i) reversed[i] = digits[n - 1 - i];
    reversed[n] = '\0';
    append(reversed);
  }
  const char* data() const { return buffer_; }
  size_t size() const { return length_; }

 private:
  char buffer_[64 * 160];
  size_t length_ = 0;
};

const char* SignalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
  }
  return "signal";
}

uintptr_t ParseHex(const char*& p, const char* end) {
  uintptr_t value = 0;
  while (p < end) {
    const char c = *p;
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else break;
    value = value * 16 + static_cast<uintptr_t>(digit);
    ++p;
  }
  return value;
}

// Module file names for the frames, from /proc/self/maps (dladdr may take
// the loader's lock, which the crashed thread may hold).
constexpr size_t kModuleNameSize = 96;

void ModuleNames(const void* const* frames, int count, char (*names)[kModuleNameSize]) {
  for (int i = 0; i < count; ++i) names[i][0] = '\0';
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char chunk[4096];
  char line[512];
  size_t lineLength = 0;
  auto handleLine = [&] {
    const char* p = line;
    const char* end = line + lineLength;
    const uintptr_t start = ParseHex(p, end);
    if (p < end && *p == '-') ++p;
    const uintptr_t stop = ParseHex(p, end);
    const char* path = static_cast<const char*>(std::memchr(line, '/', lineLength));
    if (path == nullptr) return;
    const char* base = path;
    for (const char* q = path; q < end; ++q)
      if (*q == '/') base = q + 1;
    for (int i = 0; i < count; ++i) {
      const auto address = reinterpret_cast<uintptr_t>(frames[i]);
      if (names[i][0] != '\0' || address < start || address >= stop) continue;
      size_t n = 0;
      for (const char* q = base; q < end && n + 1 < kModuleNameSize; ++q) names[i][n++] = *q;
      names[i][n] = '\0';
    }
  };
  while (true) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      if (chunk[i] == '\n') {
        handleLine();
        lineLength = 0;
      } else if (lineLength < sizeof line) {
        line[lineLength++] = chunk[i];
      }
    }
  }
  if (lineLength > 0) handleLine();
  close(fd);
}

const void* FaultAddress(const void* context) {
  const auto* user = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return reinterpret_cast<const void*>(user->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<const void*>(user->uc_mcontext.pc);
#else
  (void)user;
  return nullptr;
#endif
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    size -= static_cast<size_t>(written);
  }
}

void OnFatalSignal(int signal, siginfo_t*, void* context) {
  const int savedErrno = errno;
  // The walk starts in this handler; the report starts where the fault was.
  void* walked[kMaxTraceFrames + 8];
  const int walkedCount = backtrace(walked, kMaxTraceFrames + 8);
  const void* fault = FaultAddress(context);
  int first = -1;
  for (int i = 0; i < walkedCount && fault != nullptr; ++i)
    if (walked[i] == fault) {
      first = i;
      break;
    }
  const void* frames[kMaxTraceFrames];
  int count = 0;
  if (first < 0) {
    // The unwinder did not see through the signal frame: the fault address
    // alone, or the whole walk when even that is unknown.
    if (fault != nullptr) frames[count++] = fault;
    else
      for (int i = 0; i < walkedCount && count < kMaxTraceFrames; ++i) frames[count++] = walked[i];
  } else {
    for (int i = first; i < walkedCount && count < kMaxTraceFrames; ++i) frames[count++] = walked[i];
  }

  char names[kMaxTraceFrames][kModuleNameSize];
  ModuleNames(frames, count, names);
  FixedText text;
  text.append("Pitchwell stopped on signal ");
  text.append(SignalName(signal));
  text.append(" (");
  text.appendNumber(signal);
  text.append("). Stack trace: ");
  for (int i = 0; i < count; ++i) {
    if (i > 0) text.append("\n");
    text.append("  at ");
    if (names[i][0] != '\0') {
      text.append(names[i]);
      text.append(": ");
    }
    text.appendAddress(frames[i]);
  }
  const int fd = open(gReportPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    WriteAll(fd, text.data(), text.size());
    close(fd);
  }

  struct sigaction defaultAction{};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signal, &defaultAction, nullptr);
  errno = savedErrno;
  raise(signal);  // delivered when this handler returns (the signal is blocked until then)
}

bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

std::string DefaultCrashReportPath() {
  const char* stateHome = std::getenv("XDG_STATE_HOME");
  std::string folder;
  if (stateHome != nullptr && stateHome[0] == '/') {
    folder = stateHome;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::string(home != nullptr ? home : "") + "/.local/state";
  }
  return folder + "/pitchwell/crash-report.txt";
}

bool InstallFatalSignalReport(const std::string& reportPath) {
  if (reportPath.empty() || reportPath.size() >= sizeof gReportPath) return false;
  if (!MakeFolders(reportPath)) return false;
  std::memcpy(gReportPath, reportPath.c_str(), reportPath.size() + 1);

  // The first backtrace() loads the unwinder, which allocates: do it now,
  // not inside a handler.
  void* warmUp[2];
  backtrace(warmUp, 2);

  stack_t signalStack{};
  signalStack.ss_sp = gSignalStack;
  signalStack.ss_size = sizeof gSignalStack;
  sigaltstack(&signalStack, nullptr);

  struct sigaction action{};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (const int signal : kFatalSignals) sigaction(signal, &action, nullptr);
  return true;
}

std::string CrashReportOfferText() {
  return "Pitchwell ended unexpectedly the last time it ran.\nDo you want to send the error report to the vendor?";
}

bool OfferCrashReport(const std::string& reportPath, VersionChecker& checker, UserPrompt& prompt) {
  // Nothing could be sent: the report stays where it is for the user to read.
  if (!checker.sendsReports() || !checker.site().networkAllowed()) return false;
  std::ifstream file(reportPath, std::ios::binary);
  if (!file) return false;
  std::ostringstream contents;
  contents << file.rdbuf();
  file.close();
  // Removed before asking: a crash while the question is open must not
  // bring the same report back.
  std::remove(reportPath.c_str());
  const std::string report = contents.str();
  if (report.empty()) return true;
  if (prompt.askYesNo(CrashReportOfferText())) checker.reportError(report);
  return true;
}
