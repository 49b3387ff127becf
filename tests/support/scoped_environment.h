// Sets environment variables while it lives and puts back what was there
// (a null value unsets one). Header-only.
#pragma once

#include <stdlib.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace pwtest {

class ScopedEnvironment {
 public:
  ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> values) {
    for (const auto& [name, value] : values) {
      const char* old = ::getenv(name);
      saved_.push_back({name, old != nullptr, old != nullptr ? old : ""});
      if (value != nullptr) ::setenv(name, value, 1);
      else ::unsetenv(name);
    }
  }
  // The one variable the sound device is chosen by.
  static ScopedEnvironment Audio(const char* value) { return ScopedEnvironment{{"PITCHWELL_AUDIO", value}}; }
  ~ScopedEnvironment() {
    for (auto s = saved_.rbegin(); s != saved_.rend(); ++s) {
      if (s->had) ::setenv(s->name.c_str(), s->value.c_str(), 1);
      else ::unsetenv(s->name.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  struct Saved {
    std::string name;
    bool had;
    std::string value;
  };
  std::vector<Saved> saved_;
};

}  // namespace pwtest
