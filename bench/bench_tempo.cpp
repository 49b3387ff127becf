// Tempo estimation on generated drum loops: per set, the share read at the
// tempo itself (within 4 %), the share read at the tempo or a metrical
// relative (×/÷ 2 or 3), and the worst hit's error; then click tracks, and
// what noise, drums alone and speech give. Throughput in multiples of real
// time.
//
// bench_tempo [loops per set (default 40)]
// BENCH_TEMPO_VERBOSE=1 lists every loop, not only the misses.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "loopgen.h"
#include "signals.h"
#include "testaudio.h"
#include "dsp/bpm_analyser.h"

namespace {

double busySeconds = 0;

// Fed as the measurement does: whole blocks of 2048 frames, asked for 50 … 250.
float Measure(const std::vector<float>& audio, int channels, int rate) {
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<BpmAnalyser> analyser = BpmAnalyser::create(channels, rate);
  const size_t frames = audio.size() / size_t(channels);
  for (size_t at = 0; at + 2048 <= frames; at += 2048) analyser->write(audio.data() + at * size_t(channels), 2048);
  const float bpm = analyser->estimateBpm(50, 250);
  busySeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return bpm;
}

struct SetRecipe {
  const char* name;
  uint32_t seed;
  int rate;
  loopgen::SetMix mix;
};

}  // namespace

int main(int argc, char** argv) {
  const int perSet = argc > 1 ? std::atoi(argv[1]) : 40;
  const bool verbose = std::getenv("BENCH_TEMPO_VERBOSE") != nullptr;
  const SetRecipe sets[] = {
      {"A: seed 1, 44.1 kHz, default mix", 1, 44100, {0.12, 0.02, 3}},
      {"B: seed 2, 22.05 kHz, loud pad, more noise", 2, 22050, {0.25, 0.04, 4}},
      {"C: seed 3, 48 kHz, dry, tight", 3, 48000, {0.05, 0.01, 1.5}},
      {"D: seed 6, 22.05 kHz, louder pad, most noise", 6, 22050, {0.3, 0.05, 4}},
  };
  double audioSeconds = 0;
  for (const SetRecipe& recipe : sets) {
    const std::vector<loopgen::LoopSettings> set = loopgen::Set(perSet, recipe.seed, recipe.rate, recipe.mix);
    int exact = 0, related = 0;
    double worst = 0;
    for (const loopgen::LoopSettings& loop : set) {
      const float bpm = Measure(loopgen::MakeLoop(loop), loop.channels, loop.rate);
      audioSeconds += loop.seconds;
      double matched = 0;
      for (double f : {1.0, 2.0, 0.5, 3.0, 1.0 / 3.0})
        if (matched == 0 && std::fabs(bpm / (loop.bpm * f) - 1.0) <= 0.04) matched = loop.bpm * f;
      const double error = matched > 0 ? 100.0 * std::fabs(bpm / matched - 1.0) : 0.0;
      if (matched > 0) {
        ++related;
        worst = std::max(worst, error);
      }
      if (matched == loop.bpm) ++exact;
      if (verbose || matched != loop.bpm || error > 0.3)
        std::printf("  %-28s %5.1f s %d ch -> %7.2f  (%s, error %.3f %%)\n", loopgen::Describe(loop).c_str(),
                    loop.seconds, loop.channels, double(bpm),
                    matched == loop.bpm ? "exact" : matched > 0 ? "other level" : "missed", error);
    }
    const double n = double(set.size());
    std::printf("set %s: %zu loops\n", recipe.name, set.size());
    std::printf("  exact tempo %.1f %% (goal >= 85 %%), octave-tolerant %.1f %% (goal 100 %%), worst hit %.3f %% "
                "(goal <= 0.3 %%)\n",
                100.0 * exact / n, 100.0 * related / n, worst);
  }

  std::printf("click tracks (44.1 kHz, 20 s):");
  for (double bpm : {50.0, 60.0, 72.0, 90.0, 120.0, 174.0, 200.0, 240.0}) {
    const float value = Measure(pwtest::ClickTrack(bpm, 20, 44100, 1), 1, 44100);
    audioSeconds += 20;
    std::printf(" %.0f->%.2f", bpm, double(value));
  }
  std::printf("\n");

  std::printf("no beat expected:\n");
  for (uint32_t seed : {1u, 2u, 3u}) {
    const float value = Measure(signals::WhiteNoise(20, 44100, 2, seed), 2, 44100);
    std::printf("  white noise, seed %u: %.2f BPM\n", seed, double(value));
  }
  for (uint32_t seed : {1u, 2u}) {
    const float value = Measure(signals::SpeechLike(30, 22050, 1, seed), 1, 22050);
    std::printf("  speech-like, seed %u: %.2f BPM\n", seed, double(value));
  }
  std::printf("drums alone (a beat, no key):\n");
  for (int s = 0; s < 6; ++s) {
    const double bpm = 70 + 23 * s;
    const float value = Measure(signals::DrumsOnly(loopgen::Style(s), bpm, 20, 44100, 2, 5), 2, 44100);
    std::printf("  %-18s %.0f BPM: %.2f\n", loopgen::StyleName(loopgen::Style(s)), bpm, double(value));
  }
  std::printf("throughput: %.0f x real time (analysis only, one thread)\n", audioSeconds / busySeconds);
  return 0;
}
