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
HDSP NewDSP(void);
void DeleteDSP(HDSP h);
// Allocates for `channels` (1 or 2) at `sampleRate`. The four zeros and the
// final 1 are accepted for compatibility and ignored. Call after DSP_clear.
void DSP_init(HDSP h, int sampleRate, int channels, int r1, int r2, int r3, int r4, int r5);
// −50 … +100; also allowed before DSP_init and from another thread while
// processing. Applied at the next put; the ratio glides over the next block.
void DSP_speed(HDSP h, float percent);
void DSP_putsamples(HDSP h, const float* input, int frames);
// Up to maxFrames frames of output; 0 when none is ready.
int DSP_getsamples(HDSP h, float* output, int maxFrames);
// Input has ended: everything still held becomes available to getsamples.
void DSP_flush(HDSP h);
// Discards everything held (input, output, filter history).
void DSP_clear(HDSP h);

// ---- Pitch/tempo stage (Rubber Band, real-time mode) ---------------------
// Pulls its input through `read`: fill up to frames × channels floats,
// return the floats delivered, 0 at the end of input.
typedef int (*TensionReadProc)(float* buffer, int frames, void* user);

// engine 203: Rubber Band's finer (R3) engine. options 301: real-time mode,
// formants not preserved, pitch mode "high consistency" so pitch ratios may
// change smoothly while processing. Other values fall back to the same.
HTENSION NewTensionDSP(int channels, float sampleRate, int engine, int options,
                       TensionReadProc read, void* user);
void DeleteTensionDSP(HTENSION h);
#define TENSION_PITCH_RATIO 100     // 2^(semitones/12); duration unchanged
#define TENSION_DURATION_RATIO 101  // 0.5 = twice as fast; pitch unchanged
// Takes effect at the next TensionDSP_process. Both ratios start at 1.0;
// at 1.0/1.0 the stage passes input through unchanged (bypass).
void TensionDSP_set(HTENSION h, int param, double value);
// At most `frames` frames (at most 4096 per call is guaranteed allocation
// free; larger requests are served in steps). 0 once input has ended and
// everything has been delivered.
int TensionDSP_process(HTENSION h, float* output, int frames);
// mode 1: discard everything buffered; the next process starts clean.
void TensionDSP_flush(HTENSION h, int mode);

// ---- Tone filters: RBJ shelving biquads ----------------------------------
#define BIQUAD_LOWSHELF 5
#define BIQUAD_HIGHSHELF 6
HBIQUAD NewBiquad(int channels);
void DeleteBiquad(HBIQUAD h);
// corner = corner frequency ÷ sample rate; slope = shelf slope S; gain in dB
// (0 = flat, at most 30). An invalid corner (≤ 0, ≥ 0.5, infinite, NaN)
// leaves the filter flat. Safe to call while another thread filters.
void Biquad_set(HBIQUAD h, int type, double corner, double slope, double gainDb);
void Biquad_processinterleaved(HBIQUAD h, float* buffer, int frames);
void Biquad_flush(HBIQUAD h);

// ---- FFT: real forward transform, planned once ----------------------------
// NewFFT(1024, 0). FFT_process(h, buf, buf, 0) transforms size real floats in
// place into size/2 (re, im) pairs (bins 0 … size/2−1; the Nyquist bin is
// dropped), unnormalised.
HFFT NewFFT(int size, int inverse);
void DeleteFFT(HFFT h);
void FFT_process(HFFT h, const float* input, float* output, int flags);

// ---- BPM analyser ----------------------------------------------------------
// Streaming: memory stays bounded whatever the length fed.
HBPM NewBPM2(int channels, int sampleRate);
void DeleteBPM2(HBPM h);
// frames = 0 analyses nothing.
void BPM2_write(HBPM h, const float* buffer, int frames);
// Tempo in BPM within [minBpm, maxBpm], or 0 when nothing periodic was found.
float BPM2_value(HBPM h, float maxBpm, float minBpm);

// ---- Float to integer PCM -------------------------------------------------
// Scale by 2^15 (2^23), round to nearest, clip; never wraps.
#define CONVERT_S16LE 16  // signed 16-bit little-endian, 2 bytes a sample
#define CONVERT_S24LE 24  // signed 24-bit little-endian packed, 3 bytes a sample
void convertFromFloat_SSE2(const float* source, void* destination, int format, int count);

#ifdef __cplusplus
}
#endif
