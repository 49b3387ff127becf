// Stack traces of C++ exceptions, taken where they were thrown. A program
// that uses these functions (through pw_services' exception reports) links
// stack_trace.cpp, whose __cxa_throw then comes before the runtime's: it
// records up to 64 return addresses and throws. A catch handler on the same
// thread can then ask for the trace of the exception it holds.
#pragma once

#include <array>
#include <optional>
#include <string>

constexpr int kMaxTraceFrames = 64;

struct StackTrace {
  // frames[0] is in the function that threw, frames[1] is the return
  // address into its caller, and so on.
  std::array<const void*, kMaxTraceFrames> frames{};
  int count = 0;
};

// Inside a catch handler: the trace of the exception being handled, taken
// when it was first thrown (rethrowing keeps it). nullopt when none was
// taken: thrown on another thread, made without a throw
// (std::make_exception_ptr), or pushed out of this thread's small table by
// many later throws.
std::optional<StackTrace> CurrentExceptionTrace();

// One frame as "<module file name>: $" + the address as 16 upper-case hex
// digits, e.g. "libQt6Core.so.6: $00007F3A12B4C0D8"; only "$..." when no
// loaded module holds the address.
std::string FrameText(const void* address);

// "  at " + FrameText for each frame, joined with "\n" (none after the
// last). Empty for an empty trace.
std::string StackTraceText(const StackTrace& trace);

// "$" + 16 upper-case hex digits.
std::string AddressText(const void* address);
