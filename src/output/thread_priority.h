// Real-time scheduling for the threads that keep sound going (the producer,
// the real-time null device's thread), where the system allows it: without
// it, a machine busy with other work can leave them waiting longer than the
// sound buffered ahead. PortAudio does the same for its own device threads.
#pragma once

// Asks for SCHED_FIFO at `level` steps above its lowest priority for the
// calling thread; true when granted. Without the right (no CAP_SYS_NICE, no
// RLIMIT_RTPRIO) the thread keeps its ordinary priority.
bool RaiseThreadPriority(int level);

// Flush-to-zero and denormals-are-zero for the calling thread's SSE
// arithmetic: the filters' and the stretcher's decaying tails would
// otherwise reach denormal numbers, which cost many times a normal
// operation and can make a sound thread miss its turn. No effect where the
// processor has no SSE.
void EnableFlushToZero();
