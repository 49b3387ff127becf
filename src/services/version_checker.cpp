#include "services/version_checker.h"

#include <QObject>
#include <QUrl>

#include <charconv>
#include <vector>
#include <cstdint>

#include "services/exception_report.h"
#include "services/system_description.h"
#include "services/url_encoding.h"
#include "services/web_request.h"

namespace {

constexpr char kCheckAgent[] = "CheckUpdates/1.0";
constexpr char kReportAgent[] = "AppEvents/1.1";
constexpr char kErrorEventType[] = "1";

std::optional<int32_t> ToInteger(const std::string& text) {
  int32_t value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;
  const auto [stop, error] = std::from_chars(begin, end, value);
  if (begin == end || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

void SplitAtDots(const std::string& text, std::vector<std::string>& parts) {
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) return;
    start = dot + 1;
  }
}

// The vendor's version arithmetic: 32-bit, wrapping like the original.
int32_t VersionValue(const int32_t parts[4]) {
  const uint32_t value = static_cast<uint32_t>(parts[0]) * 1000000u + static_cast<uint32_t>(parts[1]) * 10000u +
                         static_cast<uint32_t>(parts[2]) * 100u + static_cast<uint32_t>(parts[3]);
  return static_cast<int32_t>(value);
}

}  // namespace

std::optional<bool> IsNewerVersion(const std::string& candidate, const std::string& own) {
  if (candidate.find('.') == std::string::npos || own.find('.') == std::string::npos) return false;
  // One list for both, as the server's own tools compare: a candidate with
  // too many parts shifts into the own version's half.
  std::vector<std::string> parts;
  SplitAtDots(candidate, parts);
  SplitAtDots(own, parts);
  if (parts.size() < 8) return std::nullopt;
  int32_t numbers[8];
  for (int i = 0; i < 8; ++i) {
    const auto number = ToInteger(parts[i]);
    if (!number) return std::nullopt;
    numbers[i] = *number;
  }
  return VersionValue(numbers + 4) < VersionValue(numbers);
}

std::string UpdateOfferText(const std::string& reply, const std::string& siteName) {
  return "There is a new version " + reply + " of this program\navailable at " + siteName +
         "\nDo you want to download it now?";
}

std::string UpToDateText(const std::string& ownVersion) {
  return "You already have the latest version " + ownVersion + " of this program";
}

std::string OfflineBuildText() { return "This build of the program does not use the network."; }

std::string CheckFailureText(const std::string& versionFileUrl, const std::string& errorText, uint32_t errorCode) {
  return "Could not download file version information from:\n" + versionFileUrl + "\n" + errorText + " (" +
         std::to_string(errorCode) + ")";
}

std::string CheckRequestPath(const std::string& versionFileUrl, bool firstRun) {
  const std::string filePath = QUrl(QString::fromStdString(versionFileUrl)).path(QUrl::FullyEncoded).toStdString();
  std::string path = "/pad/getpad.php?pad=" + filePath + "&field=version";
  if (firstRun) path += "&firstrun=true";
  return path;
}

std::string EventReportPath(int productId, const std::string& version, const std::string& encodedMessage) {
  // "E: " goes on the wire with its space as %20: a raw space is not valid
  // in a URL and libcurl refuses it.
  return "/pad/appevents.php?product=" + std::to_string(productId) + "&version=" + version + "&type=" +
         kErrorEventType + "&msg=E:%20" + encodedMessage;
}

VersionChecker::VersionChecker(VendorSite site, UserPrompt& prompt, std::string ownVersion,
                               std::string certificateAuthorityFile)
    : site_(std::move(site)),
      prompt_(prompt),
      ownVersion_(std::move(ownVersion)),
      certificateAuthorityFile_(std::move(certificateAuthorityFile)),
      mainThreadContext_(std::make_unique<QObject>()) {}

VersionChecker::~VersionChecker() {
  if (worker_.joinable()) worker_.join();
}

void VersionChecker::checkForUpdates() {
  if (!site_.networkAllowed()) {
    prompt_.showNotice(OfflineBuildText());
    return;
  }
  startWorker([this, host = site_.host, path = CheckRequestPath(site_.versionFileUrl, firstRun_),
               caFile = certificateAuthorityFile_] {
    CheckAnswer answer;
    const auto failure = RunCatching([&] {
      const WebReply reply = GetWebData(kCheckAgent, host, path, caFile);
      answer.failed = !reply.succeeded;
      answer.reply = reply.body;
      answer.errorCode = reply.errorCode;
      answer.errorText = reply.errorText;
    });
    if (failure) answer = CheckAnswer{true, {}, 0, failure->message};
    {
      std::lock_guard lock(mutex_);
      pending_ = std::move(answer);
    }
    // Queued, never blocking: the main thread may be joining this worker.
    QMetaObject::invokeMethod(mainThreadContext_.get(), [this] { showPendingAnswer(); }, Qt::QueuedConnection);
  });
}

void VersionChecker::reportError(const std::string& info, const std::string& key) {
  if (!sendReports_ || !site_.networkAllowed() || !limiter_.allow(key.empty() ? info : key)) return;
  const std::string path =
      EventReportPath(site_.productId, ownVersion_, UriEncode(info + " System:" + OperatingSystemDescription()));
  startWorker([host = site_.host, path, caFile = certificateAuthorityFile_] {
    // Nobody is told whether the report arrived.
    RunCatching([&] { GetWebData(kReportAgent, host, path, caFile); });
  });
}

void VersionChecker::startWorker(std::function<void()> job) {
  // One worker at a time, and the previous check's answer is shown before
  // the next job starts, as if the main thread had waited for it in place.
  // Showing it may run a modal box's event loop in which yet another job
  // starts: wait for that one as well.
  do {
    waitForWorker();
  } while (worker_.joinable());
  worker_ = std::thread(std::move(job));
}

void VersionChecker::waitForWorker() {
  if (worker_.joinable()) worker_.join();
  showPendingAnswer();
}

void VersionChecker::showPendingAnswer() {
  std::optional<CheckAnswer> answer;
  {
    std::lock_guard lock(mutex_);
    answer.swap(pending_);
  }
  if (answer) showAnswer(*answer);
}

void VersionChecker::showAnswer(const CheckAnswer& answer) {
  if (answer.failed) {
    if (showFailure_) prompt_.showError(CheckFailureText(site_.versionFileUrl, answer.errorText, answer.errorCode));
    return;
  }
  showCheckResult(answer.reply);
}

void VersionChecker::showCheckResult(const std::string& reply) {
  if (ownVersion_.empty()) return;
  const auto newer = IsNewerVersion(TrimBlanksAndControls(reply), ownVersion_);
  if (!newer) return;  // a reply that is no version: nothing to say
  if (*newer && offerDownload_) {
    if (prompt_.askYesNo(UpdateOfferText(reply, site_.siteName))) prompt_.openUrl(site_.downloadUrl);
    return;
  }
  if (showUpToDate_) prompt_.showNotice(UpToDateText(ownVersion_));
}
