// A session of a test's file: null, with a test failure saying why, when the
// file cannot be used. Header-only: for tests that link the engine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/session.h"

namespace pwtest {

inline std::unique_ptr<Session> OpenSession(const std::string& path) {
  std::string problem;
  std::unique_ptr<Session> session = Session::open(path, &problem);
  EXPECT_NE(session, nullptr) << path << ": " << problem;
  return session;
}

}  // namespace pwtest
