// Internal split of the service layer: decoding streams (bass_decode.cpp)
// and the output stream (bass_output.cpp). bass.cpp holds the C entry points,
// the error code and the dispatch by handle kind. Not for use outside src/input.
#pragma once

#include "bass.h"

namespace pwbass {

// Handle kinds live in the top byte so that dispatch needs no lookup.
constexpr DWORD kDecodeTag = 0x10000000u;
constexpr DWORD kOutputTag = 0x20000000u;
constexpr DWORD kTagMask = 0xF0000000u;

// Sets the calling thread's error code; returns `result` for brevity.
void setError(int code);
template <typename T>
T fail(int code, T result) { setError(code); return result; }

namespace dec {
HSTREAM createFile(const char* path, DWORD flags);
BOOL free(HSTREAM h);
QWORD getLength(HSTREAM h);
BOOL getInfo(HSTREAM h, BASS_CHANNELINFO* info);
BOOL getAttribute(HSTREAM h, DWORD attrib, float* value);
DWORD getData(HSTREAM h, void* buffer, DWORD length);
QWORD getPosition(HSTREAM h);
BOOL setPosition(HSTREAM h, QWORD pos);
}  // namespace dec

namespace out {
BOOL init(int device, DWORD freq);
BOOL freeAll();
HSTREAM create(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user);
BOOL free(HSTREAM h);
BOOL getInfo(HSTREAM h, BASS_CHANNELINFO* info);
BOOL getAttribute(HSTREAM h, DWORD attrib, float* value);
BOOL setAttribute(HSTREAM h, DWORD attrib, float value);
DWORD getData(HSTREAM h, void* buffer, DWORD length);
QWORD getPosition(HSTREAM h);  // bytes pulled from the stream callback
HSYNC setSync(HSTREAM h, DWORD type, QWORD param, SYNCPROC* proc, void* user);
BOOL play(HSTREAM h, BOOL restart);
BOOL pause(HSTREAM h);
BOOL stop(HSTREAM h);
DWORD isActive(HSTREAM h);
}  // namespace out

}  // namespace pwbass
