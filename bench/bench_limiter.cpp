// Prints the true-peak limiter's CPU cost per second of stereo 44.1 kHz
// audio (reducing hard, and with nothing to reduce), and what it does for a
// loud generated song with the bass slider at +100 %: the share of samples
// that would clip in a 16-bit save without it (the bass filter alone) and
// with it (the whole chain, as a WAV save runs it), and the true peak.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_material.h"
#include "engine/effect_chain.h"
#include "engine/session.h"
#include "export/export_job.h"
#include "dsp/peak_limiter.h"
#include "dsp/shelf_filter.h"
#include "testaudio.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;
constexpr double kSeconds = 60;

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Seconds of CPU per second of audio, best of three runs.
double LimiterCost(const std::vector<float>& x, bool engaged) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    PeakLimiter limiter(2, kRate, -1.0);
    std::vector<float> y = x;
    const auto t0 = Clock::now();
    for (size_t pos = 0; pos < y.size() / 2; pos += 4096)
      limiter.process(y.data() + pos * 2, int(std::min<size_t>(4096, y.size() / 2 - pos)), engaged);
    best = std::min(best, SecondsSince(t0));
  }
  return best / (double(x.size() / 2) / kRate);
}

// Samples a 16-bit save would clip: at or beyond full scale once rounded.
double ClippedPercent(const std::vector<float>& x) {
  size_t n = 0;
  for (float v : x) n += std::fabs(double(v)) * 32768.0 >= 32767.5;
  return 100.0 * double(n) / double(x.size());
}

}  // namespace

int main() {
  // The demo song brought up to a sample peak of −0.1 dBFS, as mastered
  // records are.
  std::vector<float> song = bench::DemoSong(kSeconds, kRate);
  const double peak = pwtest::Peak(song.data(), song.size());
  for (float& v : song) v = float(v / peak * std::pow(10.0, -0.1 / 20));

  std::printf("limiter, stereo 44.1 kHz, %.0f s:\n", kSeconds);
  std::vector<float> loud = song;
  for (float& v : loud) v *= 4.0f;  // +12 dB: reduced nearly everywhere
  const double reducing = LimiterCost(loud, true);
  const double idle = LimiterCost(song, false);
  std::printf("  reducing:        %.2f ms CPU per second of audio (%.0f x real time)\n", reducing * 1000,
              1 / reducing);
  std::printf("  not engaged:     %.2f ms CPU per second of audio (%.0f x real time)\n", idle * 1000, 1 / idle);

  // --bass 100: the bass filter alone, as the chain ran it before the
  // limiter, against the whole chain pulled as a WAV save pulls it.
  const double bassDb = BassGainDb(100);
  std::vector<float> filtered = song;
  ShelfFilter filter(2);
  filter.set(ShelfType::Low, double(CornerFrequency(200, kRate)) / kRate, 0.5, bassDb);
  filter.process(filtered.data(), int(filtered.size() / 2));

  const std::string path = pwtest::TempDir("bench-limiter") + "/song.wav";
  pwtest::WriteWav(path, song, kRate, 2, 16);
  std::string problem;
  const std::unique_ptr<Session> session = Session::open(path, &problem);
  if (!session) {
    std::printf("cannot open the song: %s\n", problem.c_str());
    return 1;
  }
  session->chain().setValues({.bassPercent = 100});
  session->chain().setCeilingDb(SaveCeilingDb(FileTypeWav));
  const size_t frames = ExportJob::requestBytes(2) / 8;
  std::vector<float> limited, buf(frames * 2);
  for (size_t n; (n = session->read(buf.data(), frames)) > 0;)
    limited.insert(limited.end(), buf.begin(), buf.begin() + long(n * 2));

  std::printf("loud song (%.0f s, sample peak -0.1 dBFS), bass +100 %% (%+.0f dB shelf):\n", kSeconds, bassDb);
  std::printf("  without limiter: %.2f %% of samples clipped, true peak %+.2f dBTP\n", ClippedPercent(filtered),
              pwtest::TruePeakDb(filtered.data(), filtered.size() / 2, 2));
  std::printf("  with limiter:    %.2f %% of samples clipped, true peak %+.2f dBTP (ceiling %.1f), %zu of %zu frames\n",
              ClippedPercent(limited), pwtest::TruePeakDb(limited.data(), limited.size() / 2, 2),
              SaveCeilingDb(FileTypeWav), limited.size() / 2, song.size() / 2);
  return 0;
}
