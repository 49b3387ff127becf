// Shared by the services tests: a Qt core application for queued hand-overs,
// a prompt that records what it was asked to show, and the local HTTPS
// server (https_test_server.py) with a certificate made for the test run.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "services/user_prompt.h"

namespace pwtest {

inline QCoreApplication* EnsureCoreApp() {
  static int argc = 1;
  static char name[] = "test_services";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app =
      QCoreApplication::instance() ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
  return app;
}

class RecordingPrompt : public UserPrompt {
 public:
  void showError(const std::string& text) override { errors.push_back(text); }
  void showNotice(const std::string& text) override { notices.push_back(text); }
  bool askYesNo(const std::string& text) override {
    questions.push_back(text);
    if (whileAsking) whileAsking();  // what the user might do while the box is open
    return answerYes;
  }
  void openUrl(const std::string& url) override { opened.push_back(url); }

  size_t shownCount() const { return errors.size() + notices.size() + questions.size(); }

  bool answerYes = false;
  std::function<void()> whileAsking;
  std::vector<std::string> errors;
  std::vector<std::string> notices;
  std::vector<std::string> questions;
  std::vector<std::string> opened;
};

struct ServerRequest {
  std::string path;
  std::string agent;
  std::string cacheControl;
  std::string pragma;
};

// The value of query key `key` in `path`, percent-decoded.
inline std::string DecodedQueryValue(const std::string& path, const std::string& key) {
  const std::string marker = key + "=";
  size_t at = path.find("?" + marker);
  if (at == std::string::npos) at = path.find("&" + marker);
  if (at == std::string::npos) return {};
  const size_t begin = at + 1 + marker.size();
  const size_t end = path.find('&', begin);
  const std::string raw = path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  return QUrl::fromPercentEncoding(QByteArray::fromStdString(raw)).toStdString();
}

// A port on 127.0.0.1 where nothing listens (bound once, then released).
inline int ClosedLocalPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

// The HTTPS server on 127.0.0.1. `problem` is empty when it runs.
class LocalHttpsServer {
 public:
  LocalHttpsServer() {
    EnsureCoreApp();
    // A proxy from the tester's environment must not stand between the
    // checker and the local server.
    qputenv("no_proxy", "127.0.0.1");
    qputenv("NO_PROXY", "127.0.0.1");
    if (!dir_.isValid()) {
      problem = "no temporary folder";
      return;
    }
    const QString key = dir_.filePath("key.pem");
    const QString cert = dir_.filePath("cert.pem");
    const int made = QProcess::execute("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                                   "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out",
                                                   cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                                                   "subjectAltName=IP:127.0.0.1"});
    if (made != 0) {
      problem = "openssl could not make the test certificate";
      return;
    }
    caFile_ = cert.toStdString();
    server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server_.start("python3", {QStringLiteral(PW_SERVICES_TEST_DIR "/https_test_server.py"), "--cert", cert, "--key",
                              key, "--reply", replyPath(), "--log", logPath()});
    if (!server_.waitForStarted(30000) || !server_.waitForReadyRead(30000)) {
      problem = "the test server did not start";
      return;
    }
    const int port = server_.readLine().trimmed().toInt();
    if (port <= 0) {
      problem = "the test server named no port";
      return;
    }
    host_ = "127.0.0.1:" + std::to_string(port);
  }

  ~LocalHttpsServer() {
    if (server_.state() == QProcess::NotRunning) return;
    server_.closeWriteChannel();  // the server ends when its input closes
    if (!server_.waitForFinished(10000)) {
      server_.kill();
      server_.waitForFinished(10000);
    }
  }

  LocalHttpsServer(const LocalHttpsServer&) = delete;
  LocalHttpsServer& operator=(const LocalHttpsServer&) = delete;

  const std::string& host() const { return host_; }
  const std::string& caFile() const { return caFile_; }

  void setReply(const std::string& body) {
    QFile file(replyPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(body.data(), qint64(body.size()));
  }

  void clearRequests() { QFile::remove(logPath()); }

  std::vector<ServerRequest> requests() const {
    std::vector<ServerRequest> seen;
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly)) return seen;
    while (!file.atEnd()) {
      const QJsonObject record = QJsonDocument::fromJson(file.readLine()).object();
      seen.push_back({record.value("path").toString().toStdString(), record.value("agent").toString().toStdString(),
                      record.value("cache_control").toString().toStdString(),
                      record.value("pragma").toString().toStdString()});
    }
    return seen;
  }

  std::string problem;

 private:
  QString replyPath() const { return dir_.filePath("reply.txt"); }
  QString logPath() const { return dir_.filePath("requests.jsonl"); }

  QTemporaryDir dir_;
  QProcess server_;
  std::string host_;
  std::string caFile_;
};

// One server for the whole test program: making the certificate and
// starting python take a moment. Stopped at exit.
inline LocalHttpsServer& SharedServer() {
  static LocalHttpsServer server;
  return server;
}

}  // namespace pwtest
