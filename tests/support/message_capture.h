// Records every message shown while it lives (tests assert texts and kinds).
#pragma once

#include <vector>

#include "core/messages.h"

namespace pwtest {

struct MessageCapture {
  std::vector<pw::Message> seen;
  pw::ScopedMessageHandler scope{[this](const pw::Message& m) { seen.push_back(m); }};
};

}  // namespace pwtest
