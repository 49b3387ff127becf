#include "services/web_request.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace {

struct EasyHandleDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// The vendor's scripts answer a few bytes; anything far larger is not theirs
// and must not fill the memory.
constexpr size_t kMaxReplyBytes = 1 << 20;

size_t AppendBody(char* data, size_t size, size_t count, void* userData) {
  auto* body = static_cast<std::string*>(userData);
  const size_t bytes = size * count;
  if (body->size() + bytes > kMaxReplyBytes) return 0;  // libcurl ends the transfer with a write error
  body->append(data, bytes);
  return bytes;
}

// libcurl's global set-up is not safe to race with the first transfer on
// older versions; do it once, from whichever worker comes first.
void InitialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HeaderList AppendHeader(HeaderList list, const char* header) {
  curl_slist* extended = curl_slist_append(list.get(), header);
  if (extended == nullptr) return list;
  list.release();
  return HeaderList(extended);
}

}  // namespace

std::string TrimBlanksAndControls(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return std::string(text.substr(begin, end - begin));
}

WebReply GetWebData(const std::string& agent, const std::string& host, const std::string& path,
                    const std::string& certificateAuthorityFile) {
  WebReply reply;
  InitialiseCurlOnce();
  EasyHandle handle(curl_easy_init());
  if (!handle) {
    reply.errorCode = CURLE_FAILED_INIT;
    reply.errorText = curl_easy_strerror(CURLE_FAILED_INIT);
    return reply;
  }

  // The version must come from the server, never from a proxy's or the
  // system's cache.
  HeaderList headers = AppendHeader(HeaderList(), "Cache-Control: no-cache");
  headers = AppendHeader(std::move(headers), "Pragma: no-cache");

  const std::string url = "https://" + host + path;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  std::string body;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  // Several threads may use libcurl; its signal-based timeouts are not
  // thread-safe.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // A dead network must end the worker eventually: the checker waits for it
  // before the next job and at shutdown.
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  if (!certificateAuthorityFile.empty()) {
    curl_easy_setopt(h, CURLOPT_CAINFO, certificateAuthorityFile.c_str());
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
  }

  const CURLcode result = curl_easy_perform(h);
  if (result != CURLE_OK) {
    reply.errorCode = static_cast<uint32_t>(result);
    reply.errorText = errorBuffer[0] != '\0' ? std::string(errorBuffer) : std::string(curl_easy_strerror(result));
    return reply;
  }
  reply.body = TrimBlanksAndControls(body);
  reply.succeeded = !reply.body.empty();
  return reply;
}
