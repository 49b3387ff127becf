// Message boxes. Code that must tell the user something calls ShowMessage;
// the window installs a handler that shows a real dialog on the main thread,
// tests install one that records what was shown. Without a handler the
// message goes to stderr.
#pragma once

#include <functional>
#include <string>

namespace pw {

// Plain: no icon (an OK box with text only).
enum class MessageKind { Plain, Information, Warning, Error };

struct Message {
  MessageKind kind;
  std::string caption;  // empty: the platform's default caption
  std::string text;     // lines separated by "\n"
};

using MessageHandler = std::function<void(const Message&)>;

// Shows (or hands over) one message. Thread-safe; the handler decides which
// thread actually displays it.
void ShowMessage(MessageKind kind, const std::string& text, const std::string& caption = {});

// Installs a handler and returns the previous one.
MessageHandler SetMessageHandler(MessageHandler handler);

// Installs a handler for its lifetime, then puts the previous one back.
class ScopedMessageHandler {
 public:
  explicit ScopedMessageHandler(MessageHandler handler) : previous_(SetMessageHandler(std::move(handler))) {}
  ~ScopedMessageHandler() { SetMessageHandler(std::move(previous_)); }
  ScopedMessageHandler(const ScopedMessageHandler&) = delete;
  ScopedMessageHandler& operator=(const ScopedMessageHandler&) = delete;

 private:
  MessageHandler previous_;
};

// "text" + "\n" + "(Error code: N)": how service failures are reported.
std::string WithErrorCode(const std::string& text, int code);

}  // namespace pw
