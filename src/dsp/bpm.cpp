// Placeholder: BPM analyser being written.
#include "audiodsp.h"
extern "C" {
HBPM NewBPM2(int, int) { return nullptr; }
void DeleteBPM2(HBPM) {}
void BPM2_write(HBPM, const float*, int) {}
float BPM2_value(HBPM, float, float) { return 0; }
}
