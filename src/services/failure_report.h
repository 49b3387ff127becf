// The last-chance handler's work: an exception nobody handled is reported
// to the vendor (when the user allows reports) and shown to the user.
// Main thread.
#pragma once

#include "services/exception_report.h"

class UserPrompt;
class VersionChecker;

// Inside a catch handler on the main thread: sends one event report through
// `checker` (after any running job of it; none for an error with a message
// already reported, see ReportLimiter) and shows the error box through
// `prompt`.
void ReportEscapedException(VersionChecker& checker, UserPrompt& prompt);
// The same for an exception described earlier (on a worker thread, say).
void ReportFailure(const ExceptionDescription& description, VersionChecker& checker, UserPrompt& prompt);
