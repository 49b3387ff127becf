// The update check and the event reports: both ask the vendor's server over
// HTTPS on one worker thread at a time. A check's answer comes back to the
// main thread, which shows the offer, the "up to date" notice or the
// failure through a UserPrompt; an event report shows nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "services/program_version.h"
#include "services/report_limiter.h"
#include "services/user_prompt.h"
#include "services/vendor_site.h"

class QObject;

// Whether `candidate` is a newer version than `own`. Both are expected as
// four dot-separated integers A.B.C.D valued A*1000000 + B*10000 + C*100 + D
// in 32-bit arithmetic, so parts of 100 or more spill into the next part
// (1.0.100.0 equals 1.1.0.0). The parts of both strings are taken as one
// list, the candidate's first: entries 1-4 are the candidate, 5-8 the own
// version. A string without "." makes the answer false. nullopt: the
// comparison failed (fewer than eight parts, or a part not an integer).
std::optional<bool> IsNewerVersion(const std::string& candidate, const std::string& own);

// Texts the check shows ("\n" between lines).
std::string UpdateOfferText(const std::string& reply, const std::string& siteName);
std::string UpToDateText(const std::string& ownVersion);
std::string OfflineBuildText();
std::string CheckFailureText(const std::string& versionFileUrl, const std::string& errorText, uint32_t errorCode);

// The request paths the server knows.
std::string CheckRequestPath(const std::string& versionFileUrl, bool firstRun);
std::string EventReportPath(int productId, const std::string& version, const std::string& encodedMessage);

// Threads: made, used and destroyed on the main thread (it must have a Qt
// event loop for a check's answer to arrive by itself). The worker thread
// only reads its own copies of the job's values and writes `pending_` under
// `mutex_`; everything else belongs to the main thread.
class VersionChecker {
 public:
  // `ownVersion`: the four-part version the About window shows; empty when
  // unknown, and then a successful check shows nothing. `prompt` must
  // outlive the checker. `certificateAuthorityFile`: empty for the system's
  // trusted authorities, else the only PEM file trusted (tests).
  VersionChecker(VendorSite site, UserPrompt& prompt, std::string ownVersion = ProgramVersion(),
                 std::string certificateAuthorityFile = {});
  // Waits for a running request (it is not interrupted); an answer that has
  // not been shown yet is dropped.
  ~VersionChecker();
  VersionChecker(const VersionChecker&) = delete;
  VersionChecker& operator=(const VersionChecker&) = delete;

  const std::string& ownVersion() const { return ownVersion_; }
  const VendorSite& site() const { return site_; }

  // Which answers the check shows. All on at creation.
  void setShowFailure(bool show) { showFailure_ = show; }
  void setOfferDownload(bool show) { offerDownload_ = show; }
  void setShowUpToDate(bool show) { showUpToDate_ = show; }
  // Adds "&firstrun=true" to the check request. Off at creation.
  void setFirstRun(bool firstRun) { firstRun_ = firstRun; }

  // Whether event reports are sent at all (the user's "Send error reports"
  // setting). On at creation.
  void setSendReports(bool send) { sendReports_ = send; }
  bool sendsReports() const { return sendReports_; }
  // What keeps reports from storming (ReportLimiter's defaults at creation).
  void setReportLimiter(ReportLimiter limiter) { limiter_ = std::move(limiter); }

  // The About window's "Check updates...": starts a check. Waits first for
  // a running job, showing its answer. A build without a vendor host makes
  // no request and shows OfflineBuildText() instead.
  void checkForUpdates();
  // Sends `info` + " System:" + the operating-system description as an
  // event report. Waits first for a running job, showing its answer.
  // Nothing is sent when reports are off, the build has no vendor host, or
  // the limiter refuses the error `key` (empty: `info` itself).
  void reportError(const std::string& info, const std::string& key = {});

  // Waits for the running job, if any, and shows a check's answer that has
  // not been shown yet. Never dead-locks: the worker never waits for the
  // main thread.
  void waitForWorker();

 private:
  struct CheckAnswer {
    bool failed = false;
    std::string reply;
    uint32_t errorCode = 0;
    std::string errorText;
  };

  void startWorker(std::function<void()> job);
  void showPendingAnswer();
  void showAnswer(const CheckAnswer& answer);
  void showCheckResult(const std::string& reply);

  const VendorSite site_;
  UserPrompt& prompt_;
  const std::string ownVersion_;
  const std::string certificateAuthorityFile_;
  bool showFailure_ = true;
  bool offerDownload_ = true;
  bool showUpToDate_ = true;
  bool firstRun_ = false;
  bool sendReports_ = true;
  ReportLimiter limiter_;

  std::thread worker_;
  // Lives on the main thread; the worker queues "show the answer" to it.
  // Destroyed after the worker is joined, which drops a queued call.
  std::unique_ptr<QObject> mainThreadContext_;

  std::mutex mutex_;
  std::optional<CheckAnswer> pending_;  // guarded by mutex_
};
