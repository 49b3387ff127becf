// Helpers shared by the tests: scratch folders, generated signals, WAV files
// written directly, fixtures made with the ffmpeg command-line tool, and a
// few measurements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pwtest {

// The fixtures folder inside the tests (files no Debian tool can make).
std::string FixtureDir();
// A fresh empty folder under the build tree, unique to this process and name.
std::string TempDir(const std::string& name);
// The names of the save's temporary files (".NAME.pitchwell-XXXXXX.EXT")
// left in a folder; there should be none once a save or render has ended.
std::vector<std::string> Temporaries(const std::string& folder);
// Runs a shell command; true when it exits 0. Output goes to the test log.
bool Run(const std::string& command);

// Interleaved sine, the same tone on every channel.
std::vector<float> Sine(double freq, int rate, int channels, size_t frames, double amplitude = 0.5);
// Short decaying 1.5 kHz clicks on every beat, the same on every channel.
std::vector<float> ClickTrack(double bpm, double seconds, int rate, int channels);

// Writes a RIFF WAV: bits 8, 16 or 24 (integer PCM, samples scaled by
// 2^(bits-1) and rounded, clipped) or 32 (IEEE float).
void WriteWav(const std::string& path, const std::vector<float>& interleaved, int rate, int channels, int bits);
// Integer samples as they would be stored at `bits`, back as float
// (value / 2^(bits-1)): what a bit-exact decoder must return.
std::vector<float> Quantize(const std::vector<float>& interleaved, int bits);

// Encodes `wav` into `out` with ffmpeg; `args` go before the output name.
bool Ffmpeg(const std::string& wav, const std::string& args, const std::string& out);

// Frequency of a steady tone on one channel, from interpolated upward zero
// crossings between the first and last crossing (precise over long spans).
double ZeroCrossingFrequency(const float* interleaved, size_t frames, int channels, int channel, int rate);
double Rms(const float* data, size_t count);

// A harmonic tone (eight partials of 220 Hz, amplitudes 1/k), the channels
// differing in phase, under a slow swell (1.3 Hz) so that a codec's delay
// can be found without ambiguity; peak about 0.5.
std::vector<float> Harmonic(int rate, int channels, size_t frames);

// Residual of y against x after the best alignment (y[i + lag] against x[i],
// lag in [0, maxLag], the one leaving the least residual), in dB below the
// signal, measured away from both ends (4096 frames).
double ResidualDb(const std::vector<float>& x, const std::vector<float>& y, int channels, size_t maxLag,
                  size_t* bestLag = nullptr);
double Peak(const float* data, size_t count);
// The true peak of interleaved audio in dBTP (−inf for silence): the
// largest magnitude among the samples and `oversampling` − 1 points between
// each two, interpolated in double with a long (64-tap) Blackman-windowed
// sinc, as ITU-R BS.1770 estimates it; beyond both ends the signal is 0.
double TruePeakDb(const float* interleaved, size_t frames, int channels, int oversampling = 4);

}  // namespace pwtest
