#include "output/wake_signal.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace {
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the futex works on the counter's own four bytes");

long futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}
}  // namespace

void WakeSignal::signal() {
  count_.fetch_add(1, std::memory_order_seq_cst);
  // Both sides use sequentially consistent order: either the waiter sees the
  // new count before it sleeps, or we see the waiter and wake it.
  if (waiters_.load(std::memory_order_seq_cst) != 0) futex(&count_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void WakeSignal::wait(uint32_t seen, std::chrono::nanoseconds timeout) {
  if (timeout.count() <= 0) return;
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  if (count_.load(std::memory_order_seq_cst) == seen) {
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec ts{};
    ts.tv_sec = time_t(whole.count());
    ts.tv_nsec = long((timeout - whole).count());
    futex(&count_, FUTEX_WAIT_PRIVATE, seen, &ts);
  }
  waiters_.fetch_sub(1, std::memory_order_seq_cst);
}
