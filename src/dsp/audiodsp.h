// The DSP library: speed stage, pitch/tempo stage, tone filters, FFT, BPM
// analyser and float-to-integer conversion, behind plain C functions and
// opaque handles. Audio is interleaved 32-bit float, 1 or 2 channels; a frame
// is one sample per channel.
//
// Real-time contract: once a handle is created (and, for the speed stage,
// initialised), no processing call allocates, locks, logs or touches files.
// Parameter setters (DSP_speed, Biquad_set) may be called from another
// thread while processing runs; they hand their value over atomically.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PwSpeedDSP* HDSP;
typedef struct PwTensionDSP* HTENSION;
typedef struct PwBiquad* HBIQUAD;
typedef struct PwFFT* HFFT;
typedef struct PwBPM* HBPM;

// ---- Speed stage: resampling, pitch and duration change together ---------
// Output/input = 100 / (100 + percent). Sinc interpolation (libsamplerate).
// Until DSP_init every call but DSP_speed and DSP_clear does nothing.
HDSP NewDSP(void);
void DeleteDSP(HDSP h);
// Allocates for `channels` (1 or 2) at `sampleRate`; the only call that
// allocates (and only when the channel count changes). The four zeros and
// the final 1 are accepted for compatibility and ignored. Call after
// DSP_clear; starts empty.
void DSP_init(HDSP h, int sampleRate, int channels, int r1, int r2, int r3, int r4, int r5);
// −50 … +100 (clamped; NaN counts as 0); also allowed before DSP_init and
// from another thread while processing. Applied at the next put; the ratio
// then glides from the old to the new value over the next getsamples call.
void DSP_speed(HDSP h, float percent);
// Queues input; the conversion runs in DSP_getsamples. At most 262144
// frames may be pending (put and not yet drained); beyond that the rest of
// a put is dropped. Ignored between DSP_flush and DSP_clear.
void DSP_putsamples(HDSP h, const float* input, int frames);
// Up to maxFrames frames of output; 0 when none is ready. Draining until 0
// leaves only the converter's look-ahead (under a hundred frames) held back.
int DSP_getsamples(HDSP h, float* output, int maxFrames);
// Input has ended: everything still held becomes available to getsamples,
// so N frames put come out as N × ratio frames (±2). DSP_clear before the
// next put.
void DSP_flush(HDSP h);
// Discards everything held (input, output, filter history).
void DSP_clear(HDSP h);

// ---- Pitch/tempo stage (Rubber Band, real-time mode) ---------------------
// Pulls its input through `read`, called only from inside TensionDSP_process:
// fill up to frames × channels floats, return the floats delivered (fewer is
// fine), 0 at the end of input.
typedef int (*TensionReadProc)(float* buffer, int frames, void* user);

// engine 203: Rubber Band's finer (R3) engine. options 301: real-time mode,
// formants not preserved (they shift with the pitch), pitch mode "high
// consistency" so pitch ratios may change smoothly while processing, stereo
// channels processed together. Other values fall back to the same.
// channels 1 or 2 (null otherwise); made for sample rates 8000 … 48000 Hz.
// Every buffer, Rubber Band's included, is allocated here: no later call
// allocates, locks, logs or touches files (DeleteTensionDSP frees).
HTENSION NewTensionDSP(int channels, float sampleRate, int engine, int options,
                       TensionReadProc read, void* user);
void DeleteTensionDSP(HTENSION h);
#define TENSION_PITCH_RATIO 100     // 2^(semitones/12); duration unchanged
#define TENSION_DURATION_RATIO 101  // 0.5 = twice as fast; pitch unchanged
// Takes effect at the next TensionDSP_process; meant for the thread that
// processes. Both ratios start at 1.0 and are kept by a flush. Values are
// clamped to 1/8 … 8 (non-positive or non-finite values mean 1.0); pitch
// ratios are applied within 0.25 cent.
//
// At 1.0/1.0 the stage is a bypass: output samples are the input samples,
// without delay. Otherwise the stretcher runs with its start delay
// compensated: output time = input time × duration ratio (piecewise, as the
// ratios change; a change reaches the output within the stretcher's latency,
// about 50 ms at 44.1 kHz). Moving between bypass and stretcher during
// playback crossfades over 15 ms and keeps the timeline continuous: the
// stretcher starts where the bypass stands, and the bypass resumes at the
// input position the stretcher's output had reached.
void TensionDSP_set(HTENSION h, int param, double value);
// Writes up to `frames` frames; fewer only at the end of input. Returns 0
// once input has ended and everything has been delivered, and for frames
// <= 0. In all, the output runs from the first input frame to the last:
// input length × duration ratio frames at constant ratios. Any request size
// is served (internally in steps of 1024 frames).
int TensionDSP_process(HTENSION h, float* output, int frames);
// Discards everything held (stretcher state, buffered input, end of input):
// the next process starts clean, with the current ratios. `mode` is 1.
void TensionDSP_flush(HTENSION h, int mode);

// ---- Tone filters: RBJ shelving biquads ----------------------------------
#define BIQUAD_LOWSHELF 5
#define BIQUAD_HIGHSHELF 6
// Starts flat (samples pass unchanged). channels 1 … 8.
HBIQUAD NewBiquad(int channels);
void DeleteBiquad(HBIQUAD h);
// corner = corner frequency ÷ sample rate; slope = shelf slope S (0 < S ≤ 1,
// larger is taken as 1); gain in dB (0 = flat, at most 30). An invalid
// corner (≤ 0, ≥ 0.5, infinite, NaN), slope (≤ 0, NaN), gain (NaN) or type
// leaves the filter flat. Safe to call while another thread filters: the
// filter picks the new setting up at its next block and moves to it over
// 1024 frames, without a click.
void Biquad_set(HBIQUAD h, int type, double corner, double slope, double gainDb);
// Filters in place (double-precision state per channel). At gain 0 the
// output is bit-identical to the input once the previous setting's
// history has died away (at once on a fresh or flushed filter).
void Biquad_processinterleaved(HBIQUAD h, float* buffer, int frames);
// Clears the history and jumps to the latest setting. Not while another
// thread is inside Biquad_processinterleaved.
void Biquad_flush(HBIQUAD h);

// ---- FFT: real forward transform, planned once ----------------------------
// NewFFT(1024, 0). FFT_process(h, buf, buf, 0) transforms size real floats in
// place into size/2 (re, im) pairs (bins 0 … size/2−1; the Nyquist bin is
// dropped; bin 0's imaginary part is 0), unnormalised. NewFFT allocates and
// plans (thread-safe) and returns NULL for an odd size or inverse ≠ 0.
// FFT_process needs no alignment, allows input == output, allocates nothing;
// one thread at a time per handle. flags is ignored.
HFFT NewFFT(int size, int inverse);
void DeleteFFT(HFFT h);
void FFT_process(HFFT h, const float* input, float* output, int flags);

// ---- BPM analyser ----------------------------------------------------------
// Streaming tempo estimation from the start of a recording. All memory (about
// 150 kB) is allocated by NewBPM2 and stays fixed whatever the length fed;
// BPM2_write and BPM2_value never allocate. A handle is used by one thread at
// a time; handles are independent, so several may run on different threads.
// channels 1 … 8 (mixed to mono), sampleRate 1000 … 768000 Hz (8000 … 48000
// tested); other values give NULL. Every function accepts NULL.
HBPM NewBPM2(int channels, int sampleRate);
void DeleteBPM2(HBPM h);
// Interleaved frames, any count per call: how the stream is cut into writes
// does not change the result. frames ≤ 0 analyses nothing. Non-finite
// samples count as 0.
void BPM2_write(HBPM h, const float* buffer, int frames);
// Tempo in BPM within [minBpm, maxBpm] (maximum first), precise to a small
// fraction of a percent. Where the beat could as well be heard at half or
// double speed (or a third, or three times), a level nearer 120 BPM is
// preferred. 0 when nothing periodic was found: silence, noise, steady
// tones, less than about two seconds written, or an empty range. May be
// asked any number of times, also between writes.
float BPM2_value(HBPM h, float maxBpm, float minBpm);

// ---- Float to integer PCM -------------------------------------------------
// Scale by 2^15 (2^23), round to nearest (ties to even), clip; never wraps;
// NaN gives 0. Integer samples decoded as v / 2^15 (v / 2^23) come back
// bit-exact. Writes exactly count × 2 (× 3) bytes; an unknown format or
// count ≤ 0 writes nothing.
#define CONVERT_S16LE 16  // signed 16-bit little-endian, 2 bytes a sample
#define CONVERT_S24LE 24  // signed 24-bit little-endian packed, 3 bytes a sample
void convertFromFloat_SSE2(const float* source, void* destination, int format, int count);

#ifdef __cplusplus
}
#endif
