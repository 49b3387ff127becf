// Catching and describing an exception nobody handled: on a worker thread
// RunCatching/RunGuarded keep it from ending the program; on the main
// thread HandleEscapedException hands it to a report (failure_report.h
// sends and shows it).
#pragma once

#include <functional>
#include <optional>
#include <string>

class QObject;

struct ExceptionDescription {
  // The exception's own message ("Unknown exception" for a non-standard one).
  std::string message;
  // message + " Stack trace: " + the trace taken at the throw (nothing after
  // the colon and space when there is none): what the event report sends.
  std::string reportText;
  // The innermost message of a std::nested_exception chain with
  // WithFinalPeriod applied: what the error box shows.
  std::string boxText;
};

// Call inside a catch handler, on the thread that threw.
ExceptionDescription DescribeCurrentException();

// `message` with "." appended when its last character's code is above 46
// ("."), so a letter, digit or "?" gets one and ".", "!", "," do not.
std::string WithFinalPeriod(std::string message);

// For a QCoreApplication::notify override, inside its catch handler:
// describes the exception where it was caught and passes the description to
// `report` on the thread `mainThreadContext` lives on, at once when that is
// this thread, else queued (dropped if the context is gone by then). Never
// throws. `report` should look up whatever it reports through when it runs,
// not when it is made: a queued call may run late.
void HandleEscapedException(QObject* mainThreadContext, std::function<void(const ExceptionDescription&)> report);

// For worker threads: runs `job`; an exception escaping it is caught and
// described (with the trace taken where it was thrown) instead of ending
// the program. nullopt when the job returned normally.
std::optional<ExceptionDescription> RunCatching(const std::function<void()>& job);

// RunCatching, then hands a failure to the thread `mainThreadContext` lives
// on: `onFailure` runs there, queued, unless the context is gone by then.
// The context must not be destroyed while this call is running (join the
// worker first). Returns true when the job returned normally.
bool RunGuarded(const std::function<void()>& job, QObject* mainThreadContext,
                std::function<void(const ExceptionDescription&)> onFailure);
