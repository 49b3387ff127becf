// Reports of runs that ended on a fatal signal. The signal handler can only
// write a file; the next start finds it and offers to send it.
#pragma once

#include <string>

class UserPrompt;
class VersionChecker;

// $XDG_STATE_HOME (or ~/.local/state) + "/pitchwell/crash-report.txt".
std::string DefaultCrashReportPath();

// On SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT: writes
// "Pitchwell stopped on signal <NAME> (<number>). Stack trace: " + frames
// (as StackTraceText writes them, starting at the faulting instruction) to
// `reportPath`, then ends the process by the signal's default action.
// Creates the file's folder now. Call once, on the main thread, early at
// start; a deep recursion on the main thread is reported too (the handler
// runs on its own stack there). Returns false when the folder cannot be
// made or the path is too long; then nothing is installed.
bool InstallFatalSignalReport(const std::string& reportPath);

// The question the next start asks.
std::string CrashReportOfferText();

// At start, main thread: when `reportPath` holds a report, asks
// CrashReportOfferText(); Yes sends it as an event report through
// `checker`. The file is removed either way, so a report is offered once.
// Returns true when there was a report. With reports off (the user's
// setting, or a build without a vendor host) nothing is asked and the
// report stays.
bool OfferCrashReport(const std::string& reportPath, VersionChecker& checker, UserPrompt& prompt);
