// One HTTPS GET whose whole body is the answer (the vendor's version and
// event scripts). Blocking: call it on a worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct WebReply {
  bool succeeded = false;  // false: the request failed or the body was empty
  std::string body;        // the body, trimmed (see TrimBlanksAndControls)
  uint32_t errorCode = 0;  // the transfer's error code (libcurl's); 0 for an empty body
  std::string errorText;   // why it failed; empty for an empty body
};

// Sends GET "https://" + host + path with `agent` as User-Agent, asking
// every cache on the way to pass the request to the server. `host` may carry
// ":port". `path` is used as given, so it must already be URL-safe.
// `certificateAuthorityFile`: empty for the system's trusted authorities,
// else a PEM file trusted instead of them (tests use a local server).
// The HTTP status is not examined: any response's body is the reply.
WebReply GetWebData(const std::string& agent, const std::string& host, const std::string& path,
                    const std::string& certificateAuthorityFile = {});

// `text` without the leading and trailing characters with codes 0 to 32.
std::string TrimBlanksAndControls(std::string_view text);
