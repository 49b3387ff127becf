#include "services/failure_report.h"

#include "services/user_prompt.h"
#include "services/version_checker.h"

void ReportEscapedException(VersionChecker& checker, UserPrompt& prompt) {
  ReportFailure(DescribeCurrentException(), checker, prompt);
}

void ReportFailure(const ExceptionDescription& description, VersionChecker& checker, UserPrompt& prompt) {
  // The same error again (its message) is not reported again.
  checker.reportError(description.reportText, description.message);
  prompt.showError(description.boxText);
}
