#include "services/crash_report.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>

#include "scoped_environment.h"
#include "services_test_support.h"
#include "services/version_checker.h"

namespace {

using pwtest::RecordingPrompt;
using pwtest::SharedServer;

__attribute__((noinline)) void WriteThroughNull() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

std::string ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll().toStdString();
}

std::string ModuleOfTestProgram() { return pwtest::EnsureCoreApp()->applicationFilePath().section('/', -1).toStdString(); }

// Runs `crash` in a child process that installed the report first; returns
// the signal that ended the child (0 when it exited).
int CrashInChild(const std::string& reportPath, void (*crash)()) {
  const pid_t child = fork();
  if (child == 0) {
    if (!InstallFatalSignalReport(reportPath)) _exit(3);
    crash();
    _exit(4);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

class CrashReport : public ::testing::Test {
 protected:
  void SetUp() override {
    pwtest::EnsureCoreApp();
    ASSERT_TRUE(dir.isValid());
    reportPath = dir.filePath("state/pitchwell/crash-report.txt");
  }
  QTemporaryDir dir;
  QString reportPath;
};

TEST_F(CrashReport, FaultWritesTheReportAndStillEndsBySignal) {
  struct Case {
    int signal;
    void (*crash)();
    std::string firstModule;  // the module of the first frame
  };
  const Case cases[] = {
      {SIGSEGV, WriteThroughNull, ModuleOfTestProgram()},
      {SIGABRT, [] { std::abort(); }, "libc.so.6"},
      {SIGFPE, [] { raise(SIGFPE); }, "libc.so.6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    QFile::remove(reportPath);
    ASSERT_EQ(CrashInChild(reportPath.toStdString(), c.crash), c.signal);
    const std::string report = ReadAll(reportPath);
    const std::string expectedHead = "Pitchwell stopped on signal " +
                                     std::string(c.signal == SIGSEGV ? "SIGSEGV" : c.signal == SIGABRT ? "SIGABRT" : "SIGFPE") +
                                     " (" + std::to_string(c.signal) + "). Stack trace:   at " + c.firstModule + ": $";
    EXPECT_EQ(report.substr(0, expectedHead.size()), expectedHead) << report;
    const auto lines = std::count(report.begin(), report.end(), '\n') + 1;
    EXPECT_GE(lines, 2);
    EXPECT_LE(lines, 64);
    EXPECT_NE(report.back(), '\n');
  }
}

TEST_F(CrashReport, DeepRecursionOverflowIsReportedWith64Frames) {
  static int (*recurse)(int) = nullptr;
  recurse = [](int depth) -> int {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    return recurse(depth + 1) + pad[0];
  };
  ASSERT_EQ(CrashInChild(reportPath.toStdString(), [] { recurse(0); }), SIGSEGV);
  const std::string report = ReadAll(reportPath);
  EXPECT_EQ(report.rfind("Pitchwell stopped on signal SIGSEGV (11). Stack trace:   at " + ModuleOfTestProgram(), 0), 0u)
      << report.substr(0, 200);
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n') + 1, 64);
}

TEST_F(CrashReport, NextStartOffersItOnceAndYesSendsIt) {
  ASSERT_EQ(SharedServer().problem, "");
  ASSERT_EQ(CrashInChild(reportPath.toStdString(), WriteThroughNull), SIGSEGV);
  const std::string report = ReadAll(reportPath);
  ASSERT_FALSE(report.empty());

  SharedServer().clearRequests();
  RecordingPrompt prompt;
  prompt.answerYes = true;
  VersionChecker checker(VendorSiteAt(SharedServer().host()), prompt, "5.6.0.1", SharedServer().caFile());
  EXPECT_TRUE(OfferCrashReport(reportPath.toStdString(), checker, prompt));
  checker.waitForWorker();
  ASSERT_EQ(prompt.questions.size(), 1u);
  EXPECT_EQ(prompt.questions[0], CrashReportOfferText());
  EXPECT_FALSE(QFile::exists(reportPath));
  const auto requests = SharedServer().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].agent, "AppEvents/1.1");
  const std::string message = pwtest::DecodedQueryValue(requests[0].path, "msg");
  EXPECT_EQ(message.rfind("E: " + report + " System:", 0), 0u);

  // Offered once: the next start finds nothing.
  EXPECT_FALSE(OfferCrashReport(reportPath.toStdString(), checker, prompt));
  checker.waitForWorker();
  EXPECT_EQ(prompt.questions.size(), 1u);
  EXPECT_EQ(SharedServer().requests().size(), 1u);
}

TEST_F(CrashReport, NoSendsNothingAndStillRemovesIt) {
  ASSERT_EQ(SharedServer().problem, "");
  ASSERT_EQ(CrashInChild(reportPath.toStdString(), WriteThroughNull), SIGSEGV);
  SharedServer().clearRequests();
  RecordingPrompt prompt;
  VersionChecker checker(VendorSiteAt(SharedServer().host()), prompt, "5.6.0.1", SharedServer().caFile());
  EXPECT_TRUE(OfferCrashReport(reportPath.toStdString(), checker, prompt));
  checker.waitForWorker();
  EXPECT_EQ(prompt.questions.size(), 1u);
  EXPECT_FALSE(QFile::exists(reportPath));
  EXPECT_TRUE(SharedServer().requests().empty());
}

// With reports off (the user's choice, or a build without a vendor host)
// nothing is asked and the report stays for the user to read.
TEST_F(CrashReport, WithReportsOffNothingIsAskedAndTheReportStays) {
  ASSERT_EQ(SharedServer().problem, "");
  ASSERT_EQ(CrashInChild(reportPath.toStdString(), WriteThroughNull), SIGSEGV);
  for (const bool offlineBuild : {false, true}) {
    SharedServer().clearRequests();
    RecordingPrompt prompt;
    prompt.answerYes = true;
    VersionChecker checker(VendorSiteAt(offlineBuild ? std::string() : SharedServer().host()), prompt, "5.6.0.1",
                           SharedServer().caFile());
    if (!offlineBuild) checker.setSendReports(false);
    EXPECT_FALSE(OfferCrashReport(reportPath.toStdString(), checker, prompt));
    checker.waitForWorker();
    EXPECT_TRUE(prompt.questions.empty());
    EXPECT_TRUE(QFile::exists(reportPath));
    EXPECT_TRUE(SharedServer().requests().empty());
  }
}

TEST(CrashReportPath, StateFolderFromTheEnvironment) {
  {
    pwtest::ScopedEnvironment state{{"XDG_STATE_HOME", "/somewhere/state"}};
    EXPECT_EQ(DefaultCrashReportPath(), "/somewhere/state/pitchwell/crash-report.txt");
  }
  pwtest::ScopedEnvironment noState{{"XDG_STATE_HOME", nullptr}};
  const char* home = std::getenv("HOME");
  EXPECT_EQ(DefaultCrashReportPath(), std::string(home ? home : "") + "/.local/state/pitchwell/crash-report.txt");
}

TEST(CrashReportInstall, RefusesAFolderThatCannotBeMade) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile blocker(dir.filePath("file"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  // A folder below a plain file cannot exist; nothing may be installed.
  EXPECT_FALSE(InstallFatalSignalReport(dir.filePath("file/pitchwell/crash-report.txt").toStdString()));
  EXPECT_FALSE(InstallFatalSignalReport(""));
}

}  // namespace
