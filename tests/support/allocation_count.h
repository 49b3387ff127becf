// Counts heap allocations made on threads of a given name, for tests that
// show a real-time thread allocates nothing. malloc and its relatives are
// interposed in the test executable (the dynamic linker finds them there
// before the C library, for every library), so operator new, FFmpeg, Rubber
// Band and the C library itself are all seen.
//
// The functions are defined in exactly one source file of a test
// executable; any other file of it that counts defines
// PW_ALLOCATION_COUNT_ELSEWHERE before including this. Not under the
// sanitizers, which interpose malloc themselves: available() is false there.
#pragma once

#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PW_ALLOCATION_COUNT 0
#else
#define PW_ALLOCATION_COUNT 1
#endif

namespace pwtest {

class AllocationCount {
 public:
  static constexpr int kSlots = 4;

  static bool available() { return PW_ALLOCATION_COUNT != 0; }

  // Counts from now on, on every thread whose name (pthread_setname_np) is
  // `threadName`, at most 15 characters.
  explicit AllocationCount(const char* threadName) {
    std::strncpy(name_, threadName, sizeof name_ - 1);
    for (int i = 0; i < kSlots; ++i) {
      AllocationCount* expected = nullptr;
      if (table()[i].compare_exchange_strong(expected, this)) {
        slot_ = i;
        return;
      }
    }
  }
  ~AllocationCount() {
    if (slot_ >= 0) table()[slot_].store(nullptr);
  }
  AllocationCount(const AllocationCount&) = delete;
  AllocationCount& operator=(const AllocationCount&) = delete;

  uint64_t count() const { return count_.load(); }
  // Size of the first allocation counted (for the failure message).
  size_t firstSize() const { return firstSize_.load(); }

  // Called by the interposed functions.
  static void note(size_t size) {
    bool any = false;
    for (int i = 0; i < kSlots && !any; ++i) any = table()[i].load(std::memory_order_relaxed) != nullptr;
    if (!any) return;
    char name[16] = {};
    // For the calling thread this is one prctl: no allocation.
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return;
    for (int i = 0; i < kSlots; ++i) {
      AllocationCount* c = table()[i].load(std::memory_order_acquire);
      if (c != nullptr && std::strcmp(c->name_, name) == 0) {
        if (c->count_.fetch_add(1) == 0) c->firstSize_.store(size);
      }
    }
  }

 private:
  static std::atomic<AllocationCount*>* table() {
    static std::atomic<AllocationCount*> counts[kSlots] = {};
    return counts;
  }

  char name_[16] = {};
  int slot_ = -1;
  std::atomic<uint64_t> count_{0};
  std::atomic<size_t> firstSize_{0};
};

}  // namespace pwtest

#if PW_ALLOCATION_COUNT && !defined(PW_ALLOCATION_COUNT_ELSEWHERE)
extern "C" {
// glibc's own allocator under its internal names.
void* __libc_malloc(size_t size) noexcept;
void* __libc_calloc(size_t count, size_t size) noexcept;
void* __libc_realloc(void* p, size_t size) noexcept;
void* __libc_memalign(size_t alignment, size_t size) noexcept;
void __libc_free(void* p) noexcept;

void* malloc(size_t size) noexcept {
  pwtest::AllocationCount::note(size);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
  pwtest::AllocationCount::note(count * size);
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) noexcept {
  pwtest::AllocationCount::note(size);
  return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) noexcept {
  pwtest::AllocationCount::note(size);
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
  pwtest::AllocationCount::note(size);
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  pwtest::AllocationCount::note(size);
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) noexcept { __libc_free(p); }
}
#endif
