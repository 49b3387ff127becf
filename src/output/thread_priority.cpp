#include "output/thread_priority.h"

#include <pthread.h>
#include <sched.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

bool RaiseThreadPriority(int level) {
  sched_param p{};
  p.sched_priority = sched_get_priority_min(SCHED_FIFO) + level;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
}

void EnableFlushToZero() {
#if defined(__SSE__)
  constexpr unsigned kFlushToZero = 0x8000;       // MXCSR.FTZ
  constexpr unsigned kDenormalsAreZero = 0x0040;  // MXCSR.DAZ
  _mm_setcsr(_mm_getcsr() | kFlushToZero | kDenormalsAreZero);
#endif
}
