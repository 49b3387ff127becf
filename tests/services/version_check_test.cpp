#include "services/version_checker.h"

#include <gtest/gtest.h>

#include <QTest>

#include <chrono>
#include <vector>

#include "services_test_support.h"
#include "services/system_description.h"
#include "services/url_encoding.h"
#include "services/web_request.h"

namespace {

using pwtest::RecordingPrompt;
using pwtest::SharedServer;

TEST(VersionComparison, FollowsTheVendorsArithmetic) {
  struct Case {
    const char* candidate;
    const char* own;
    std::optional<bool> newer;
  };
  const Case cases[] = {
      {"5.6.0.2", "5.6.0.1", true},
      {"5.6.0.1", "5.6.0.1", false},
      {"5.6.0.0", "5.6.0.1", false},
      {"5.10.0.0", "5.6.0.1", true},     // 5,100,000 against 5,060,001
      {"1.0.100.0", "1.1.0.0", false},   // a part of 100 spills into the next one
      {"1.0.100.1", "1.1.0.0", true},
      {"6", "5.6.0.1", false},           // no "." at all: not newer
      {"5.6.0.2", "5", false},
      {"5.6.x.2", "5.6.0.1", std::nullopt},
      {"5.6.0.2 beta", "5.6.0.1", std::nullopt},
      {"5.6.0", "5.6.0.1", std::nullopt},  // seven parts in all
      {"5..0.2", "5.6.0.1", std::nullopt},
      {"3000.0.0.0", "5.6.0.1", false},  // 32-bit: 3,000,000,000 wraps negative
      {"1.2.3.4.5", "0.0.0.1", false},   // one list: the own half becomes 5.0.0.0
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsNewerVersion(c.candidate, c.own), c.newer) << c.candidate << " vs " << c.own;
  }
}

TEST(UrlEncoding, KeepsUnreservedAndEncodesUtf8Bytes) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"AZaz09-._~", "AZaz09-._~"},
      {"a b", "a%20b"},
      {"Tom & Jerry", "Tom%20%26%20Jerry"},
      {"\xC3\xA9t\xC3\xA9", "%C3%A9t%C3%A9"},         // été
      {"\xE2\x82\xAC", "%E2%82%AC"},                   // euro sign
      {"/?#[]@!$'()*+,;=%:", "%2F%3F%23%5B%5D%40%21%24%27%28%29%2A%2B%2C%3B%3D%25%3A"},
      {"line\r\nnext", "line%0D%0Anext"},
  };
  for (const auto& [text, encoded] : cases) EXPECT_EQ(UriEncode(text), encoded) << text;
}

TEST(SystemDescription, NameVersionBuildAndEdition) {
  EXPECT_EQ(OperatingSystemDescription("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n",
                                       "Linux", "6.1.0-13-amd64", "x86_64"),
            "Debian GNU/Linux 12 (bookworm) (Version 6.1, Build 0, 64-bit Edition)");
  EXPECT_EQ(OperatingSystemDescription("", "Linux", "5.10.123-foo", "i686"),
            "Linux (Version 5.10, Build 123, 32-bit Edition)");
  EXPECT_EQ(OperatingSystemDescription("PRETTY_NAME=Plain\n", "Linux", "6.8", "aarch64"),
            "Plain (Version 6.8, Build 0, 64-bit Edition)");
  const std::string own = OperatingSystemDescription();
  EXPECT_NE(own.find(" (Version "), std::string::npos) << own;
  EXPECT_NE(own.find("-bit Edition)"), std::string::npos) << own;
}

TEST(WebReply, TrimsCodesUpTo32AtBothEnds) {
  EXPECT_EQ(TrimBlanksAndControls(" \t\r\n5.6.0.2\r\n \x01"), "5.6.0.2");
  EXPECT_EQ(TrimBlanksAndControls("a b"), "a b");
  EXPECT_EQ(TrimBlanksAndControls(" \n "), "");
}

class UpdateCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SharedServer().problem, "");
    SharedServer().clearRequests();
  }

  std::unique_ptr<VersionChecker> MakeChecker(const std::string& ownVersion = "5.6.0.1") {
    return std::make_unique<VersionChecker>(VendorSiteAt(SharedServer().host()), prompt, ownVersion,
                                            SharedServer().caFile());
  }

  // One check against `reply`, waited for.
  void Check(const std::string& reply, const std::string& ownVersion = "5.6.0.1") {
    SharedServer().setReply(reply);
    auto checker = MakeChecker(ownVersion);
    checker->checkForUpdates();
    checker->waitForWorker();
  }

  std::string VersionFileUrl() const { return "https://" + SharedServer().host() + "/pitchwell/pitchwell.xml"; }

  RecordingPrompt prompt;
};

TEST_F(UpdateCheck, RepliesGiveOfferNoticeOrNothing) {
  const std::string offer = "There is a new version %s of this program\navailable at " + SharedServer().host() +
                            "\nDo you want to download it now?";
  const std::string upToDate = "You already have the latest version 5.6.0.1 of this program";
  struct Case {
    const char* reply;
    std::string question;  // empty: none
    std::string notice;    // empty: none
  };
  auto offerFor = [&](const std::string& version) {
    std::string text = offer;
    return text.replace(text.find("%s"), 2, version);
  };
  const Case cases[] = {
      {"5.6.0.2", offerFor("5.6.0.2"), ""},
      {"5.6.0.1", "", upToDate},
      {"5.10.0.0", offerFor("5.10.0.0"), ""},
      {"5.6.0.2\r\n  \t", offerFor("5.6.0.2"), ""},  // the offer shows the trimmed reply
      {"\n 5.6.0.0 \n", "", upToDate},
      {"5", "", upToDate},          // no "." : not newer
      {"5.6.x.2", "", ""},          // not integers: no message at all
      {"<html>error</html>", "", upToDate},  // no "." either
      {"<p>Error 5.0</p>", "", ""},  // six parts in all: no message
  };
  for (const Case& c : cases) {
    prompt = RecordingPrompt{};
    Check(c.reply);
    SCOPED_TRACE(c.reply);
    EXPECT_TRUE(prompt.errors.empty());
    if (c.question.empty()) {
      EXPECT_TRUE(prompt.questions.empty());
    } else {
      ASSERT_EQ(prompt.questions.size(), 1u);
      EXPECT_EQ(prompt.questions[0], c.question);
    }
    if (c.notice.empty()) {
      EXPECT_TRUE(prompt.notices.empty());
    } else {
      ASSERT_EQ(prompt.notices.size(), 1u);
      EXPECT_EQ(prompt.notices[0], c.notice);
    }
    EXPECT_TRUE(prompt.opened.empty());  // the recorder answers No
  }
}

TEST_F(UpdateCheck, SpilledPartsCountAsEqual) {
  Check("1.0.100.0", "1.1.0.0");
  ASSERT_EQ(prompt.notices.size(), 1u);
  EXPECT_EQ(prompt.notices[0], "You already have the latest version 1.1.0.0 of this program");
  EXPECT_TRUE(prompt.questions.empty());
}

TEST_F(UpdateCheck, YesOpensTheDownloadPage) {
  prompt.answerYes = true;
  Check("5.6.0.2");
  ASSERT_EQ(prompt.questions.size(), 1u);
  ASSERT_EQ(prompt.opened.size(), 1u);
  EXPECT_EQ(prompt.opened[0], "https://" + SharedServer().host() + "/download.shtml?ref=pwupdate");
}

TEST_F(UpdateCheck, RequestPathAgentAndNoCaching) {
  SharedServer().setReply("5.6.0.1");
  auto checker = MakeChecker();
  checker->checkForUpdates();
  checker->setFirstRun(true);
  checker->checkForUpdates();
  checker->waitForWorker();
  const auto requests = SharedServer().requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/pad/getpad.php?pad=/pitchwell/pitchwell.xml&field=version");
  EXPECT_EQ(requests[1].path, "/pad/getpad.php?pad=/pitchwell/pitchwell.xml&field=version&firstrun=true");
  for (const auto& request : requests) {
    EXPECT_EQ(request.agent, "CheckUpdates/1.0");
    EXPECT_EQ(request.cacheControl, "no-cache");
    EXPECT_EQ(request.pragma, "no-cache");
  }
  EXPECT_EQ(prompt.notices.size(), 2u);
}

TEST_F(UpdateCheck, EmptyReplyIsAFailureNamingTheVersionFile) {
  Check(" \r\n");
  ASSERT_EQ(prompt.errors.size(), 1u);
  EXPECT_EQ(prompt.errors[0], "Could not download file version information from:\n" + VersionFileUrl() + "\n (0)");
  EXPECT_EQ(prompt.shownCount(), 1u);
}

TEST_F(UpdateCheck, UnreachableServerShowsTheTransferError) {
  const int port = pwtest::ClosedLocalPort();
  ASSERT_GT(port, 0);
  const VendorSite site = VendorSiteAt("127.0.0.1:" + std::to_string(port));
  VersionChecker checker(site, prompt, "5.6.0.1", SharedServer().caFile());
  checker.checkForUpdates();
  checker.waitForWorker();
  ASSERT_EQ(prompt.errors.size(), 1u);
  const std::string& text = prompt.errors[0];
  const std::string head = "Could not download file version information from:\n" + site.versionFileUrl + "\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_GT(text.size(), head.size() + 4);  // the transfer's own explanation
  EXPECT_EQ(text.substr(text.size() - 4), " (7)") << text;  // couldn't connect
}

TEST_F(UpdateCheck, UntrustedCertificateIsAFailure) {
  SharedServer().setReply("5.6.0.2");
  // The system's authorities only: the test certificate is not among them.
  VersionChecker checker(VendorSiteAt(SharedServer().host()), prompt, "5.6.0.1");
  checker.checkForUpdates();
  checker.waitForWorker();
  ASSERT_EQ(prompt.errors.size(), 1u);
  EXPECT_EQ(prompt.errors[0].substr(prompt.errors[0].size() - 5), " (60)") << prompt.errors[0];
  EXPECT_TRUE(prompt.questions.empty());
}

TEST_F(UpdateCheck, FailureBoxCanBeSwitchedOff) {
  SharedServer().setReply("");
  auto checker = MakeChecker();
  checker->setShowFailure(false);
  checker->checkForUpdates();
  checker->waitForWorker();
  EXPECT_EQ(prompt.shownCount(), 0u);
  EXPECT_EQ(SharedServer().requests().size(), 1u);
}

TEST_F(UpdateCheck, UnknownOwnVersionShowsNothingAfterASuccessfulCheck) {
  Check("5.6.0.2", "");
  EXPECT_EQ(prompt.shownCount(), 0u);
  EXPECT_EQ(SharedServer().requests().size(), 1u);
}

TEST_F(UpdateCheck, AnswerArrivesThroughTheEventLoop) {
  SharedServer().setReply("5.6.0.2");
  auto checker = MakeChecker();
  checker->checkForUpdates();
  // Nothing is shown from the worker thread itself; the main thread's event
  // loop brings the answer.
  EXPECT_TRUE(QTest::qWaitFor([&] { return prompt.shownCount() > 0; }, 30000));
  ASSERT_EQ(prompt.questions.size(), 1u);
  checker->waitForWorker();
  EXPECT_EQ(prompt.questions.size(), 1u);  // shown once, not again when waited for
}

TEST_F(UpdateCheck, NextJobWaitsAndShowsThePreviousAnswerFirst) {
  SharedServer().setReply("5.6.0.2");
  auto checker = MakeChecker();
  checker->checkForUpdates();
  // Starting a report while the check runs: the main thread waits for the
  // check, shows its answer and only then sends the report.
  checker->reportError("second");
  EXPECT_EQ(prompt.questions.size(), 1u);
  checker->waitForWorker();
  const auto requests = SharedServer().requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].agent, "CheckUpdates/1.0");
  EXPECT_EQ(requests[1].agent, "AppEvents/1.1");
  // The queued hand-over of the first answer finds nothing left to show.
  QCoreApplication::processEvents();
  EXPECT_EQ(prompt.questions.size(), 1u);
}

TEST_F(UpdateCheck, JobStartedWhileAnAnswerIsShownIsWaitedForToo) {
  SharedServer().setReply("5.6.0.2");
  auto checker = MakeChecker();
  // The offer's box is open (a nested event loop) when the user makes
  // another job start; the job that was being started must still wait.
  prompt.whileAsking = [&] { checker->reportError("nested"); };
  checker->checkForUpdates();
  checker->reportError("outer");
  checker->waitForWorker();
  const auto requests = SharedServer().requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].agent, "CheckUpdates/1.0");
  EXPECT_EQ(pwtest::DecodedQueryValue(requests[1].path, "msg").rfind("E: nested System:", 0), 0u);
  EXPECT_EQ(pwtest::DecodedQueryValue(requests[2].path, "msg").rfind("E: outer System:", 0), 0u);
  EXPECT_EQ(prompt.questions.size(), 1u);
}

TEST_F(UpdateCheck, EventReportPathAndAgentShowNothing) {
  SharedServer().setReply("ignored");
  auto checker = MakeChecker();
  const std::string info = "Disk full & more \xC3\xA9";
  checker->reportError(info);
  checker->waitForWorker();
  const auto requests = SharedServer().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].agent, "AppEvents/1.1");
  EXPECT_EQ(requests[0].cacheControl, "no-cache");
  EXPECT_EQ(requests[0].path, "/pad/appevents.php?product=5601&version=5.6.0.1&type=1&msg=E:%20" +
                                  UriEncode(info + " System:" + OperatingSystemDescription()));
  EXPECT_EQ(requests[0].path.find("&msg=E:%20Disk%20full%20%26%20more%20%C3%A9%20System%3A"),
            requests[0].path.find("&msg="));
  EXPECT_EQ(pwtest::DecodedQueryValue(requests[0].path, "msg"),
            "E: " + info + " System:" + OperatingSystemDescription());
  EXPECT_EQ(prompt.shownCount(), 0u);
  QCoreApplication::processEvents();
  EXPECT_EQ(prompt.shownCount(), 0u);
}

// A storm of failures (a held key re-running a failing action) sends one
// report per distinct error, and no more than three a minute.
TEST_F(UpdateCheck, RepeatedErrorsAreReportedOnceAndAFewAMinute) {
  auto checker = MakeChecker();
  const auto frozen = std::chrono::steady_clock::now();
  checker->setReportLimiter(ReportLimiter([frozen] { return frozen; }));
  for (int i = 0; i < 89; ++i) checker->reportError("Unable to open help file /x/pitchwell.html");
  // The same error reached from elsewhere (another trace) is still the same.
  checker->reportError("Disk full Stack trace: one", "Disk full");
  checker->reportError("Disk full Stack trace: two", "Disk full");
  for (const char* other : {"third", "fourth", "fifth"}) checker->reportError(other);
  checker->waitForWorker();
  const auto requests = SharedServer().requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(pwtest::DecodedQueryValue(requests[0].path, "msg").rfind("E: Unable to open help file", 0), 0u);
  EXPECT_EQ(pwtest::DecodedQueryValue(requests[1].path, "msg").rfind("E: Disk full Stack trace: one", 0), 0u);
  EXPECT_EQ(pwtest::DecodedQueryValue(requests[2].path, "msg").rfind("E: third", 0), 0u);
}

TEST_F(UpdateCheck, ReportsSwitchedOffSendNothing) {
  auto checker = MakeChecker();
  checker->setSendReports(false);
  checker->reportError("not sent");
  checker->waitForWorker();
  EXPECT_TRUE(SharedServer().requests().empty());
  checker->setSendReports(true);
  checker->reportError("sent");
  checker->waitForWorker();
  EXPECT_EQ(SharedServer().requests().size(), 1u);
}

// A build with an empty vendor host makes no request at all: the check says
// so instead of failing on the network, and reports are dropped.
TEST(OfflineBuild, AnEmptyHostMakesNoRequest) {
  pwtest::EnsureCoreApp();
  const VendorSite site = VendorSiteAt("");
  EXPECT_FALSE(site.networkAllowed());
  EXPECT_TRUE(site.versionFileUrl.empty());
  EXPECT_TRUE(site.downloadUrl.empty());
  EXPECT_TRUE(site.productPageUrl.empty());
  RecordingPrompt prompt;
  VersionChecker checker(site, prompt, "5.6.0.1");
  checker.checkForUpdates();
  checker.reportError("never sent");
  checker.waitForWorker();
  QCoreApplication::processEvents();
  EXPECT_TRUE(prompt.errors.empty()) << prompt.errors.front();
  EXPECT_EQ(prompt.notices, (std::vector<std::string>{OfflineBuildText()}));
  EXPECT_TRUE(prompt.questions.empty());
}

TEST(VendorSiteAddresses, DerivedFromTheHost) {
  const VendorSite site = VendorSiteAt("example.test");
  EXPECT_EQ(site.versionFileUrl, "https://example.test/pitchwell/pitchwell.xml");
  EXPECT_EQ(site.downloadUrl, "https://example.test/download.shtml?ref=pwupdate");
  EXPECT_EQ(site.productPageUrl, "https://example.test/pitchwell/");
  EXPECT_EQ(site.siteName, "example.test");
  EXPECT_EQ(DefaultVendorSite().host, "www.pitchwell.app");
  EXPECT_EQ(CheckRequestPath(site.versionFileUrl, false), "/pad/getpad.php?pad=/pitchwell/pitchwell.xml&field=version");
}

}  // namespace
