#include "services/exception_report.h"

#include <QObject>
#include <QThread>

#include <exception>

#include "services/stack_trace.h"

namespace {

constexpr char kUnknownException[] = "Unknown exception";

std::string InnermostMessage(const std::exception& outer) {
  try {
    std::rethrow_if_nested(outer);
  } catch (const std::exception& inner) {
    return InnermostMessage(inner);
  } catch (...) {
  }
  return outer.what();
}

}  // namespace

std::string WithFinalPeriod(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') message += '.';
  return message;
}

ExceptionDescription DescribeCurrentException() {
  ExceptionDescription description;
  // The trace first: describing the exception may throw and catch again.
  const std::optional<StackTrace> trace = CurrentExceptionTrace();
  try {
    throw;
  } catch (const std::exception& e) {
    description.message = e.what();
    description.boxText = WithFinalPeriod(InnermostMessage(e));
  } catch (...) {
    description.message = kUnknownException;
    description.boxText = WithFinalPeriod(kUnknownException);
  }
  description.reportText = description.message + " Stack trace: " + (trace ? StackTraceText(*trace) : std::string());
  return description;
}

void HandleEscapedException(QObject* mainThreadContext, std::function<void(const ExceptionDescription&)> report) {
  try {
    ExceptionDescription description = DescribeCurrentException();
    if (QThread::currentThread() == mainThreadContext->thread()) {
      report(description);
      return;
    }
    QMetaObject::invokeMethod(
        mainThreadContext,
        [report = std::move(report), description = std::move(description)] { report(description); },
        Qt::QueuedConnection);
  } catch (...) {
    // Out of memory, or the report itself failed: the program still goes on.
  }
}

std::optional<ExceptionDescription> RunCatching(const std::function<void()>& job) {
  try {
    job();
    return std::nullopt;
  } catch (...) {
    try {
      return DescribeCurrentException();
    } catch (...) {
      // Out of memory while describing: still never let it end the program.
      return ExceptionDescription{kUnknownException, kUnknownException, kUnknownException};
    }
  }
}

bool RunGuarded(const std::function<void()>& job, QObject* mainThreadContext,
                std::function<void(const ExceptionDescription&)> onFailure) {
  std::optional<ExceptionDescription> failure = RunCatching(job);
  if (!failure) return true;
  QMetaObject::invokeMethod(
      mainThreadContext,
      [onFailure = std::move(onFailure), failure = std::move(*failure)] {
        if (onFailure) onFailure(failure);
      },
      Qt::QueuedConnection);
  return false;
}
