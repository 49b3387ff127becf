#include "services/exception_report.h"
#include "services/failure_report.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QThread>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "services_test_support.h"
#include "services/stack_trace.h"
#include "services/version_checker.h"

namespace {

using pwtest::RecordingPrompt;
using pwtest::SharedServer;

// Where the throwing functions were called from: the trace's second frame
// must be exactly this return address.
const void* gThrowerReturnAddress = nullptr;

__attribute__((noinline)) void ThrowRuntimeError(const char* message) {
  gThrowerReturnAddress = __builtin_return_address(0);
  throw std::runtime_error(message);
}

__attribute__((noinline)) int Recurse(int depth) {
  if (depth < 0) return 0;
  if (depth == 0) ThrowRuntimeError("deep");
  const int below = Recurse(depth - 1);
  asm volatile("" ::: "memory");  // keeps the call a real call, not a loop
  return below + 1;
}

__attribute__((noinline)) void CatchAndRethrow() {
  try {
    ThrowRuntimeError("first");
  } catch (const std::exception&) {
    throw;
  }
}

__attribute__((noinline)) std::exception_ptr CaptureElsewhere() {
  try {
    ThrowRuntimeError("stored");
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

std::string ModuleOfTestProgram() { return pwtest::EnsureCoreApp()->applicationFilePath().section('/', -1).toStdString(); }

int LineCount(const std::string& text) {
  if (text.empty()) return 0;
  return int(std::count(text.begin(), text.end(), '\n')) + 1;
}

TEST(StackTraceAtThrow, StartsInTheThrowingFunction) {
  pwtest::EnsureCoreApp();
  try {
    ThrowRuntimeError("here");
  } catch (const std::exception&) {
    const auto trace = CurrentExceptionTrace();
    ASSERT_TRUE(trace.has_value());
    ASSERT_GE(trace->count, 2);
    EXPECT_EQ(trace->frames[1], gThrowerReturnAddress);
    EXPECT_EQ(FrameText(trace->frames[0]), ModuleOfTestProgram() + ": " + AddressText(trace->frames[0]));
    const std::string text = StackTraceText(*trace);
    EXPECT_EQ(text.substr(0, 5 + ModuleOfTestProgram().size() + 2), "  at " + ModuleOfTestProgram() + ": ");
    EXPECT_EQ(LineCount(text), trace->count);
    EXPECT_NE(text.back(), '\n');
  }
}

TEST(StackTraceAtThrow, DeepRecursionGivesExactly64Frames) {
  try {
    Recurse(200);
  } catch (const std::exception&) {
    const auto trace = CurrentExceptionTrace();
    ASSERT_TRUE(trace.has_value());
    EXPECT_EQ(trace->count, 64);
    EXPECT_EQ(trace->frames[1], gThrowerReturnAddress);
    const std::string text = StackTraceText(*trace);
    EXPECT_EQ(LineCount(text), 64);
    size_t at = 0;
    int lines = 0;
    while ((at = text.find("  at ", at)) != std::string::npos) ++lines, at += 5;
    EXPECT_EQ(lines, 64);
  }
}

TEST(StackTraceAtThrow, RethrowKeepsTheFirstTrace) {
  gThrowerReturnAddress = nullptr;
  try {
    CatchAndRethrow();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "first");
    const auto trace = CurrentExceptionTrace();
    ASSERT_TRUE(trace.has_value());
    EXPECT_EQ(trace->frames[1], gThrowerReturnAddress);  // inside CatchAndRethrow's try, not its "throw;"
  }
}

TEST(StackTraceAtThrow, RethrownExceptionPointerKeepsItsTrace) {
  const std::exception_ptr stored = CaptureElsewhere();
  const void* storedThrowSite = gThrowerReturnAddress;
  try {
    ThrowRuntimeError("another one");
  } catch (...) {
  }
  ASSERT_NE(storedThrowSite, gThrowerReturnAddress);
  try {
    std::rethrow_exception(stored);
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "stored");
    const auto trace = CurrentExceptionTrace();
    ASSERT_TRUE(trace.has_value());
    EXPECT_EQ(trace->frames[1], storedThrowSite);
  }
}

TEST(StackTraceAtThrow, UnknownAddressHasNoModule) {
  EXPECT_EQ(FrameText(reinterpret_cast<const void*>(uintptr_t{0x10})), "$0000000000000010");
  EXPECT_EQ(AddressText(reinterpret_cast<const void*>(uintptr_t{0xABCDEF0123456789})), "$ABCDEF0123456789");
}

TEST(ErrorBoxText, PeriodAfterCodesAbove46) {
  const std::pair<const char*, const char*> cases[] = {
      {"Unable to open help file x.chm", "Unable to open help file x.chm."},
      {"Code 7", "Code 7."},
      {"Really?", "Really?."},
      {"Done.", "Done."},
      {"Stop!", "Stop!"},
      {"a,", "a,"},
      {"dash-", "dash-"},
      {"path/", "path/."},
      {"", ""},
  };
  for (const auto& [message, shown] : cases) EXPECT_EQ(WithFinalPeriod(message), shown) << message;
}

TEST(DescribeException, MessageTraceAndInnermostBoxText) {
  try {
    try {
      ThrowRuntimeError("inner cause");
    } catch (...) {
      std::throw_with_nested(std::runtime_error("outer failure!"));
    }
  } catch (...) {
    const ExceptionDescription description = DescribeCurrentException();
    EXPECT_EQ(description.message, "outer failure!");
    EXPECT_EQ(description.boxText, "inner cause.");
    const std::string head = "outer failure! Stack trace:   at " + ModuleOfTestProgram() + ": $";
    EXPECT_EQ(description.reportText.substr(0, head.size()), head);
  }
  try {
    throw 42;
  } catch (...) {
    const ExceptionDescription description = DescribeCurrentException();
    EXPECT_EQ(description.boxText, "Unknown exception.");
    EXPECT_EQ(description.reportText.rfind("Unknown exception Stack trace:   at ", 0), 0u);
  }
}

TEST(WorkerFailures, RunCatchingDescribesWhatEscaped) {
  EXPECT_FALSE(RunCatching([] {}).has_value());
  std::optional<ExceptionDescription> failure;
  std::thread worker([&] { failure = RunCatching([] { ThrowRuntimeError("worker broke"); }); });
  worker.join();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->message, "worker broke");
  // The trace was taken on the worker, where it was thrown.
  EXPECT_EQ(failure->reportText.rfind("worker broke Stack trace:   at " + ModuleOfTestProgram() + ": $", 0), 0u);
}

TEST(WorkerFailures, RunGuardedHandsTheFailureToTheMainThread) {
  QCoreApplication* app = pwtest::EnsureCoreApp();
  QObject context;
  std::vector<std::string> failures;
  QThread* failureThread = nullptr;
  bool returned = true;
  std::thread worker([&] {
    returned = RunGuarded([] { throw std::logic_error("bad state"); }, &context,
                          [&](const ExceptionDescription& d) {
                            failures.push_back(d.boxText);
                            failureThread = QThread::currentThread();
                          });
  });
  worker.join();
  EXPECT_FALSE(returned);
  EXPECT_TRUE(failures.empty());  // not on the worker
  QCoreApplication::processEvents();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], "bad state.");
  EXPECT_EQ(failureThread, app->thread());
}

TEST(LastChanceHandler, EscapedExceptionReachesTheMainThread) {
  QCoreApplication* app = pwtest::EnsureCoreApp();
  QObject context;
  std::vector<std::pair<std::string, QThread*>> reported;
  auto report = [&](const ExceptionDescription& d) { reported.emplace_back(d.reportText, QThread::currentThread()); };

  // Caught on the main thread: reported at once.
  try {
    ThrowRuntimeError("on main");
  } catch (...) {
    HandleEscapedException(&context, report);
  }
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].first.rfind("on main Stack trace:   at " + ModuleOfTestProgram() + ": $", 0), 0u);
  EXPECT_EQ(reported[0].second, app->thread());

  // Caught on another thread: described there, reported on the main thread.
  std::thread worker([&] {
    try {
      ThrowRuntimeError("on worker");
    } catch (...) {
      HandleEscapedException(&context, report);
    }
  });
  worker.join();
  EXPECT_EQ(reported.size(), 1u);
  QCoreApplication::processEvents();
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[1].first.rfind("on worker Stack trace:   at " + ModuleOfTestProgram() + ": $", 0), 0u);
  EXPECT_EQ(reported[1].second, app->thread());
}

TEST(LastChanceHandler, SendsOneReportAndShowsTheBox) {
  ASSERT_EQ(SharedServer().problem, "");
  SharedServer().clearRequests();
  SharedServer().setReply("");
  RecordingPrompt prompt;
  VersionChecker checker(VendorSiteAt(SharedServer().host()), prompt, "5.6.0.1", SharedServer().caFile());
  try {
    Recurse(3);
  } catch (...) {
    ReportEscapedException(checker, prompt);
  }
  checker.waitForWorker();
  QCoreApplication::processEvents();
  ASSERT_EQ(prompt.errors.size(), 1u);
  EXPECT_EQ(prompt.errors[0], "deep.");
  EXPECT_EQ(prompt.shownCount(), 1u);
  const auto requests = SharedServer().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].agent, "AppEvents/1.1");
  const std::string message = pwtest::DecodedQueryValue(requests[0].path, "msg");
  const std::string head = "E: deep Stack trace:   at " + ModuleOfTestProgram() + ": $";
  EXPECT_EQ(message.substr(0, head.size()), head);
  EXPECT_NE(message.find("\n  at "), std::string::npos);
  EXPECT_NE(message.find(" System:"), std::string::npos);
}

// The same failure again and again (a held key re-running it): every time
// the box, but one report, whatever trace each time had.
TEST(LastChanceHandler, TheSameErrorIsReportedOnceButShownEachTime) {
  ASSERT_EQ(SharedServer().problem, "");
  SharedServer().clearRequests();
  RecordingPrompt prompt;
  VersionChecker checker(VendorSiteAt(SharedServer().host()), prompt, "5.6.0.1", SharedServer().caFile());
  for (int depth = 1; depth <= 5; ++depth) {
    try {
      Recurse(depth);  // a different trace each time
    } catch (...) {
      ReportEscapedException(checker, prompt);
    }
  }
  checker.waitForWorker();
  EXPECT_EQ(prompt.errors, std::vector<std::string>(5, "deep."));
  EXPECT_EQ(SharedServer().requests().size(), 1u);
}

}  // namespace
