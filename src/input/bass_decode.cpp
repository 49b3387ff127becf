// Placeholder: decoding streams are being written.
#include "bass_internal.h"

namespace pwbass::dec {
HSTREAM createFile(const char*, DWORD) { return fail(BASS_ERROR_NOTAVAIL, HSTREAM(0)); }
BOOL free(HSTREAM) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
QWORD getLength(HSTREAM) { return fail(BASS_ERROR_HANDLE, QWORD(-1)); }
BOOL getInfo(HSTREAM, BASS_CHANNELINFO*) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
BOOL getAttribute(HSTREAM, DWORD, float*) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
DWORD getData(HSTREAM, void*, DWORD) { return fail(BASS_ERROR_HANDLE, DWORD(-1)); }
QWORD getPosition(HSTREAM) { return fail(BASS_ERROR_HANDLE, QWORD(-1)); }
BOOL setPosition(HSTREAM, QWORD) { return fail(BASS_ERROR_HANDLE, BOOL(0)); }
}  // namespace pwbass::dec
