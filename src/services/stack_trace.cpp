#include "services/stack_trace.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

// A few traces per thread, keyed by the thrown object's address. A new
// throw takes the oldest slot: by then its exception has long been handled
// in any sensible program. Fixed size and trivially constructed, so it costs
// no allocation and no thread-exit work.
constexpr int kTracesPerThread = 8;

struct ThrowRecord {
  const void* object;
  int count;
  const void* frames[kMaxTraceFrames];
};

struct ThreadTraces {
  ThrowRecord records[kTracesPerThread];
  unsigned next;
};

thread_local ThreadTraces tThreadTraces;

// `throwSite`: the return address into the function that threw. The walk
// also holds this function's frame, __cxa_throw's and, in instrumented
// builds, a sanitizer's; the trace starts at the throw site wherever it
// turns up.
void RecordThrow(void* object, const void* throwSite) {
  constexpr int kSpareFrames = 8;
  void* frames[kMaxTraceFrames + kSpareFrames];
  const int total = backtrace(frames, kMaxTraceFrames + kSpareFrames);
  int first = 0;
  while (first < total && frames[first] != throwSite) ++first;
  ThreadTraces& traces = tThreadTraces;
  ThrowRecord& record = traces.records[traces.next++ % kTracesPerThread];
  record.object = object;
  record.count = 0;
  if (first == total) {
    record.frames[record.count++] = throwSite;  // the walk missed it: the throw site alone
    return;
  }
  for (int i = first; i < total && record.count < kMaxTraceFrames; ++i) record.frames[record.count++] = frames[i];
}

// The thrown object behind the exception being handled. libstdc++ and libc++
// both hold exactly that pointer in std::exception_ptr.
const void* CurrentExceptionObject() {
  const std::exception_ptr current = std::current_exception();
  static_assert(sizeof(current) == sizeof(void*));
  const void* object = nullptr;
  std::memcpy(&object, static_cast<const void*>(&current), sizeof object);
  return object;
}

}  // namespace

// Every throw, in this executable and in shared libraries, comes here first
// (a definition in the executable wins over libstdc++'s). Rethrows take
// another route, so a trace stays the one of the first throw. The type
// argument is spelled void* as the compiler declares it implicitly; the ABI
// passes a std::type_info*. This file must not include <cxxabi.h>.
extern "C" [[noreturn]] void __cxa_throw(void* object, void* type, void (*destroy)(void*)) {
  RecordThrow(object, __builtin_return_address(0));
  using ThrowFunction = void (*)(void*, void*, void (*)(void*));
  static const auto runtimeThrow = reinterpret_cast<ThrowFunction>(dlsym(RTLD_NEXT, "__cxa_throw"));
  if (runtimeThrow == nullptr) std::abort();
  runtimeThrow(object, type, destroy);
  __builtin_unreachable();
}

std::optional<StackTrace> CurrentExceptionTrace() {
  const void* object = CurrentExceptionObject();
  if (object == nullptr) return std::nullopt;
  const ThreadTraces& traces = tThreadTraces;
  // Newest first: an address reused by a later exception must find the later trace.
  for (int back = 1; back <= kTracesPerThread; ++back) {
    const ThrowRecord& record = traces.records[(traces.next - back) % kTracesPerThread];
    if (record.object != object) continue;
    StackTrace trace;
    trace.count = record.count;
    for (int i = 0; i < record.count; ++i) trace.frames[i] = record.frames[i];
    return trace;
  }
  return std::nullopt;
}

std::string AddressText(const void* address) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  auto value = reinterpret_cast<uintptr_t>(address);
  std::string text(17, '0');
  text[0] = '$';
  for (int i = 16; i >= 1; --i, value >>= 4) text[i] = kHexDigits[value & 0xF];
  return text;
}

std::string FrameText(const void* address) {
  Dl_info info{};
  std::string module;
  if (dladdr(address, &info) != 0 && info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
    const char* slash = std::strrchr(info.dli_fname, '/');
    module = std::string(slash ? slash + 1 : info.dli_fname) + ": ";
  }
  return module + AddressText(address);
}

std::string StackTraceText(const StackTrace& trace) {
  std::string text;
  for (int i = 0; i < trace.count; ++i) {
    if (i > 0) text += '\n';
    text += "  at " + FrameText(trace.frames[i]);
  }
  return text;
}
