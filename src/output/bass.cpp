#include "bass.h"

#include <cmath>

#include "bass_internal.h"

namespace pwbass {
namespace {
thread_local int tError = BASS_OK;

DWORD kindOf(DWORD h) { return h & kTagMask; }
bool isDecode(DWORD h) { return h != 0 && kindOf(h) == kDecodeTag; }
bool isOutput(DWORD h) { return h != 0 && kindOf(h) == kOutputTag; }

// Bytes per second of float samples, or 0 for an unknown handle.
double bytesPerSecond(DWORD h, DWORD* frameBytes) {
  BASS_CHANNELINFO info{};
  if (!BASS_ChannelGetInfo(h, &info) || info.freq == 0 || info.chans == 0) return 0;
  *frameBytes = info.chans * 4;
  return double(info.freq) * info.chans * 4;
}
}  // namespace

void setError(int code) { tError = code; }

}  // namespace pwbass

using namespace pwbass;

extern "C" {

DWORD BASS_GetVersion(void) { return (DWORD(BASSVERSION) << 16) | 0x0001; }

int BASS_ErrorGetCode(void) { return tError; }

BOOL BASS_Init(int device, DWORD freq, DWORD /*flags*/, void* /*win*/, const void* /*clsid*/) {
  return out::init(device, freq);
}

BOOL BASS_Free(void) { return out::freeAll(); }

HPLUGIN BASS_PluginLoad(const char* /*file*/, DWORD /*flags*/) {
  // Every format is decoded by the built-in FFmpeg layer.
  return fail(BASS_ERROR_NOTAVAIL, HPLUGIN(0));
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
  if (mem || offset != 0 || length != 0 || file == nullptr) return fail(BASS_ERROR_ILLPARAM, HSTREAM(0));
  return dec::createFile(static_cast<const char*>(file), flags);
}

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user) {
  return out::create(freq, chans, flags, proc, user);
}

BOOL BASS_StreamFree(HSTREAM h) {
  if (isDecode(h)) return dec::free(h);
  if (isOutput(h)) return out::free(h);
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

QWORD BASS_ChannelGetLength(DWORD h, DWORD mode) {
  if (mode != BASS_POS_BYTE) return fail(BASS_ERROR_ILLPARAM, QWORD(-1));
  if (isDecode(h)) return dec::getLength(h);
  if (isOutput(h)) return fail(BASS_ERROR_NOTAVAIL, QWORD(-1));
  return fail(BASS_ERROR_HANDLE, QWORD(-1));
}

double BASS_ChannelBytes2Seconds(DWORD h, QWORD pos) {
  DWORD frame = 0;
  const double bps = bytesPerSecond(h, &frame);
  if (bps <= 0) return fail(BASS_ERROR_HANDLE, -1.0);
  setError(BASS_OK);
  return double(pos) / bps;
}

QWORD BASS_ChannelSeconds2Bytes(DWORD h, double seconds) {
  DWORD frame = 0;
  const double bps = bytesPerSecond(h, &frame);
  if (bps <= 0) return fail(BASS_ERROR_HANDLE, QWORD(-1));
  if (!(seconds >= 0)) return fail(BASS_ERROR_ILLPARAM, QWORD(-1));
  // Nearest whole frame: 0.150 s at 44100 Hz is frame 6615 however the
  // product rounds in binary.
  const double frames = std::nearbyint(seconds * (bps / frame));
  setError(BASS_OK);
  return QWORD(frames) * frame;
}

BOOL BASS_ChannelGetInfo(DWORD h, BASS_CHANNELINFO* info) {
  if (info == nullptr) return fail(BASS_ERROR_ILLPARAM, BOOL(0));
  if (isDecode(h)) return dec::getInfo(h, info);
  if (isOutput(h)) return out::getInfo(h, info);
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

BOOL BASS_ChannelGetAttribute(DWORD h, DWORD attrib, float* value) {
  if (value == nullptr) return fail(BASS_ERROR_ILLPARAM, BOOL(0));
  if (isDecode(h)) return dec::getAttribute(h, attrib, value);
  if (isOutput(h)) return out::getAttribute(h, attrib, value);
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

BOOL BASS_ChannelSetAttribute(DWORD h, DWORD attrib, float value) {
  if (isOutput(h)) return out::setAttribute(h, attrib, value);
  if (isDecode(h)) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

DWORD BASS_ChannelGetData(DWORD h, void* buffer, DWORD length) {
  if (isDecode(h)) return dec::getData(h, buffer, length);
  if (isOutput(h)) return out::getData(h, buffer, length);
  return fail(BASS_ERROR_HANDLE, DWORD(-1));
}

QWORD BASS_ChannelGetPosition(DWORD h, DWORD mode) {
  if (mode != BASS_POS_BYTE) return fail(BASS_ERROR_ILLPARAM, QWORD(-1));
  if (isDecode(h)) return dec::getPosition(h);
  if (isOutput(h)) return out::getPosition(h);
  return fail(BASS_ERROR_HANDLE, QWORD(-1));
}

BOOL BASS_ChannelSetPosition(DWORD h, QWORD pos, DWORD mode) {
  if (mode != BASS_POS_BYTE) return fail(BASS_ERROR_ILLPARAM, BOOL(0));
  if (isDecode(h)) return dec::setPosition(h, pos);
  if (isOutput(h)) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

HSYNC BASS_ChannelSetSync(DWORD h, DWORD type, QWORD param, SYNCPROC* proc, void* user) {
  if (isOutput(h)) return out::setSync(h, type, param, proc, user);
  if (isDecode(h)) return fail(BASS_ERROR_NOTAVAIL, HSYNC(0));
  return fail(BASS_ERROR_HANDLE, HSYNC(0));
}

BOOL BASS_ChannelPlay(DWORD h, BOOL restart) {
  if (isOutput(h)) return out::play(h, restart);
  if (isDecode(h)) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

BOOL BASS_ChannelPause(DWORD h) {
  if (isOutput(h)) return out::pause(h);
  if (isDecode(h)) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

BOOL BASS_ChannelStop(DWORD h) {
  if (isOutput(h)) return out::stop(h);
  if (isDecode(h)) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

DWORD BASS_ChannelIsActive(DWORD h) {
  if (isOutput(h)) return out::isActive(h);
  if (isDecode(h)) return fail(BASS_ERROR_NOTAVAIL, DWORD(BASS_ACTIVE_STOPPED));
  return fail(BASS_ERROR_HANDLE, DWORD(BASS_ACTIVE_STOPPED));
}

}  // extern "C"
