#include "core/messages.h"

#include <cstdio>
#include <mutex>

namespace pw {
namespace {
std::mutex gMutex;
MessageHandler gHandler;
}  // namespace

void ShowMessage(MessageKind kind, const std::string& text, const std::string& caption) {
  MessageHandler handler;
  {
    std::lock_guard lock(gMutex);
    handler = gHandler;
  }
  const Message message{kind, caption, text};
  if (handler) {
    handler(message);
    return;
  }
  const char* prefix = kind == MessageKind::Error ? "error" : kind == MessageKind::Warning ? "warning" : kind == MessageKind::Information ? "info" : "message";
  std::fprintf(stderr, "%s: %s\n", prefix, text.c_str());
}

MessageHandler SetMessageHandler(MessageHandler handler) {
  std::lock_guard lock(gMutex);
  std::swap(gHandler, handler);
  return handler;
}

std::string WithErrorCode(const std::string& text, int code) {
  return text + "\n(Error code: " + std::to_string(code) + ")";
}

}  // namespace pw
