// Placeholder: tone filters being written.
#include "audiodsp.h"
extern "C" {
HBIQUAD NewBiquad(int) { return nullptr; }
void DeleteBiquad(HBIQUAD) {}
void Biquad_set(HBIQUAD, int, double, double, double) {}
void Biquad_processinterleaved(HBIQUAD, float*, int) {}
void Biquad_flush(HBIQUAD) {}
}
