#include "thread_priority.h"

#include <pthread.h>
#include <sched.h>

bool RaiseThreadPriority(int level) {
  sched_param p{};
  p.sched_priority = sched_get_priority_min(SCHED_FIFO) + level;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
}
