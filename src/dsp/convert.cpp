// Placeholder: PCM conversion being written.
#include "audiodsp.h"
extern "C" {
void convertFromFloat_SSE2(const float*, void*, int, int) {}
}
