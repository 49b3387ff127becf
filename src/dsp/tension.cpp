// Placeholder: pitch/tempo stage being written.
#include "audiodsp.h"
extern "C" {
HTENSION NewTensionDSP(int, float, int, int, TensionReadProc, void*) { return nullptr; }
void DeleteTensionDSP(HTENSION) {}
void TensionDSP_set(HTENSION, int, double) {}
int TensionDSP_process(HTENSION, float*, int) { return 0; }
void TensionDSP_flush(HTENSION, int) {}
}
