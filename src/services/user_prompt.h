// What the update check, the error report and the crash-report offer show
// the user. The window supplies message boxes and the desktop's URL opener;
// tests supply a recorder that answers questions without widgets.
#pragma once

#include <string>

// All calls come on the main thread; an implementation may run a nested
// event loop (a modal box) inside any of them. Texts separate lines with "\n".
class UserPrompt {
 public:
  virtual ~UserPrompt() = default;

  // Error box with an OK button.
  virtual void showError(const std::string& text) = 0;
  // Box with only an OK button, used for "you already have the latest
  // version" (a question-mark icon matches the original look).
  virtual void showNotice(const std::string& text) = 0;
  // Question with Yes and No buttons; true for Yes.
  virtual bool askYesNo(const std::string& text) = 0;
  // Opens an address with the desktop's default handler. Whether that
  // worked is not reported.
  virtual void openUrl(const std::string& url) = 0;
};
