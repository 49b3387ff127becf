// Placeholder: speed stage being written.
#include "audiodsp.h"
extern "C" {
HDSP NewDSP(void) { return nullptr; }
void DeleteDSP(HDSP) {}
void DSP_init(HDSP, int, int, int, int, int, int, int) {}
void DSP_speed(HDSP, float) {}
void DSP_putsamples(HDSP, const float*, int) {}
int DSP_getsamples(HDSP, float*, int) { return 0; }
void DSP_flush(HDSP) {}
void DSP_clear(HDSP) {}
}
