// Placeholder: FFT being written.
#include "audiodsp.h"
extern "C" {
HFFT NewFFT(int, int) { return nullptr; }
void DeleteFFT(HFFT) {}
void FFT_process(HFFT, const float*, float*, int) {}
}
