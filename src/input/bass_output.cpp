// Placeholder: the output stream is being written.
#include "bass_internal.h"

namespace pwbass::out {
BOOL init(int, DWORD) { return fail(BASS_ERROR_NOTAVAIL, BOOL(0)); }
BOOL freeAll() { return fail(BASS_ERROR_INIT, BOOL(0)); }
HSTREAM create(DWORD, DWORD, DWORD, STREAMPROC*, void*) { return fail(BASS_ERROR_INIT, HSTREAM(0)); }
BOOL free(HSTREAM) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
BOOL getInfo(HSTREAM, BASS_CHANNELINFO*) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
BOOL getAttribute(HSTREAM, DWORD, float*) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
BOOL setAttribute(HSTREAM, DWORD, float) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
DWORD getData(HSTREAM, void*, DWORD) { return fail(BASS_ERROR_HANDLE, DWORD(-1)); }
QWORD getPosition(HSTREAM) { return fail(BASS_ERROR_HANDLE, QWORD(-1)); }
HSYNC setSync(HSTREAM, DWORD, QWORD, SYNCPROC*, void*) { return fail(BASS_ERROR_HANDLE, HSYNC(0)); }
BOOL play(HSTREAM, BOOL) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
BOOL pause(HSTREAM) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
BOOL stop(HSTREAM) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
DWORD isActive(HSTREAM) { return fail(BASS_ERROR_HANDLE, DWORD(BASS_ACTIVE_STOPPED)); }
}  // namespace pwbass::out
