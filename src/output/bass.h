// The decoder/output service: decodes audio files into interleaved 32-bit
// float samples and plays one pull stream on the default sound device.
//
// Plain C interface over FFmpeg (decoding) and PortAudio (output). Handles
// are 32-bit; positions and lengths are 64-bit byte counts of the float
// samples; seconds are doubles. Every call sets the calling thread's error
// code (BASS_ErrorGetCode); 0 after a success.
//
// Decoding: all inputs decode at the file's own rate and channel count
// (no resampling, no remixing). Lengths are exact: where the container only
// estimates the length it is counted at open; encoder delay and padding
// (LAME tag, AAC priming) are trimmed, so a file decodes to exactly the
// samples it was made from. Positions are sample-accurate.
//
// Output: one pull stream at a time through PortAudio. The stream callback
// runs on the output thread; returning BASS_STREAMPROC_END ends the stream
// and the end sync fires once per end. When no device exists, or with
// PITCHWELL_AUDIO=null, a null device pulls at real-time pace;
// PITCHWELL_AUDIO=null-fast pulls as fast as the stream delivers.
//
// Real-time contract: the output thread never allocates, logs, or waits on
// a lock that another thread holds across anything but a few copies.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int BOOL;
typedef DWORD HSTREAM;
typedef DWORD HSYNC;
typedef DWORD HPLUGIN;

// Interface version: high word 0x0204.
#define BASSVERSION 0x0204

// Error codes (BASS_ErrorGetCode). Shown to users as "(Error code: N)".
#define BASS_OK 0
#define BASS_ERROR_MEM 1        // out of memory
#define BASS_ERROR_FILEOPEN 2   // file not found or cannot be opened
#define BASS_ERROR_DRIVER 3     // the sound device failed to start
#define BASS_ERROR_HANDLE 5     // invalid handle
#define BASS_ERROR_FORMAT 6     // unsupported sample format (rate, channels)
#define BASS_ERROR_POSITION 7   // invalid position
#define BASS_ERROR_INIT 8       // BASS_Init has not succeeded
#define BASS_ERROR_ALREADY 14   // already initialised
#define BASS_ERROR_ILLPARAM 20  // an illegal parameter
#define BASS_ERROR_DEVICE 23    // no such device
#define BASS_ERROR_NOTAVAIL 37  // not available for this kind of handle
#define BASS_ERROR_FILEFORM 41  // unsupported file format
#define BASS_ERROR_CODEC 44     // no decoder for the codec
#define BASS_ERROR_DECODE 45    // the decoder failed
#define BASS_ERROR_UNKNOWN (-1)

// Flags.
#define BASS_SAMPLE_FLOAT 0x100
#define BASS_STREAM_DECODE 0x200000
#define BASS_UNICODE 0x80000000u  // accepted and ignored: paths are UTF-8
#define BASS_POS_BYTE 0
#define BASS_ATTRIB_FREQ 1
#define BASS_ATTRIB_VOL 2
#define BASS_SYNC_END 2
#define BASS_SYNC_MIXTIME 0x40000000u
#define BASS_STREAMPROC_END 0x80000000u

// BASS_ChannelIsActive results.
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 2
#define BASS_ACTIVE_PAUSED 3

typedef struct {
  DWORD freq;     // sample rate
  DWORD chans;    // channel count
  DWORD flags;    // BASS_SAMPLE_FLOAT, BASS_STREAM_DECODE
  DWORD ctype;    // 0
  DWORD origres;  // source resolution in bits: 8/16/24 integer PCM and
                  // lossless, 32 float PCM, 0 lossy (unknown)
  HPLUGIN plugin; // 0
  DWORD sample;   // 0
  const char* filename;  // decoding streams: the path; else NULL
} BASS_CHANNELINFO;

// Stream callback: fill at most `length` bytes, return the count written, or
// BASS_STREAMPROC_END to end the stream. Runs on the output thread.
typedef DWORD(STREAMPROC)(HSTREAM handle, void* buffer, DWORD length, void* user);
// End callback: runs once each time the stream reaches its end.
typedef void(SYNCPROC)(HSYNC handle, DWORD channel, DWORD data, void* user);

DWORD BASS_GetVersion(void);
int BASS_ErrorGetCode(void);

BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* clsid);
BOOL BASS_Free(void);
// Every format is built in: returns 0 (a valid "nothing loaded" answer).
HPLUGIN BASS_PluginLoad(const char* file, DWORD flags);

// Decoding streams. `file` is a UTF-8 path; mem must be 0, offset and length 0.
HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags);
// Output stream: float samples pulled through `proc`.
HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user);
BOOL BASS_StreamFree(HSTREAM handle);

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);  // (QWORD)-1 on error
double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);  // negative on error
QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos);  // whole frames; (QWORD)-1 on error
BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value);
BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
// Decoding stream: decodes the next samples. Output stream: copies the most
// recent samples being heard (at most `length` bytes). Returns the byte
// count, or (DWORD)-1 at the end or on error.
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);
QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode);
BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode);

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC* proc, void* user);
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
BOOL BASS_ChannelPause(DWORD handle);
BOOL BASS_ChannelStop(DWORD handle);
DWORD BASS_ChannelIsActive(DWORD handle);

#ifdef __cplusplus
}
#endif
