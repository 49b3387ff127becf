// Prints the share of one core that playback takes on the real-time null
// device: the whole engine (decoder, chain, output thread) playing a
// generated stereo file, with all sliders at 0 and with pitch +3 st and
// tempo +25 %.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "player.h"
#include "effect_chain.h"
#include "slider_mapping.h"
#include "playerowner.h"
#include "testaudio.h"

namespace {
constexpr int kRate = 44100;
constexpr double kSeconds = 20;

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Plays the whole file once; returns CPU seconds per wall second.
double playOnce(const std::string& path, double tempoPosition, double pitchPosition) {
  pwtest::PlayerOwner owner;
  auto player = std::make_unique<Player>(&owner);
  ActivePlayer.store(player.get());
  auto chain = std::make_unique<EffectChain>(*player);
  player->Open(path);
  if (!player->Loaded || !chain->RebuildForFile(*player)) {
    std::printf("  cannot open %s\n", path.c_str());
    return -1;
  }
  const pw::TempoSetting tempo = pw::TempoFromPosition(tempoPosition);
  const pw::PitchSetting pitch = pw::PitchFromPosition(pitchPosition);
  chain->SetTempo(tempo.steps);
  chain->SetPitch(pitch.semitones);

  QElapsedTimer wall;
  const double cpu0 = cpuSeconds();
  wall.start();
  player->Play();
  // A timer-like main loop: the main thread sleeps between checks, as the
  // window's event loop would.
  while (owner.ends == 0 && wall.elapsed() < kSeconds * 3000) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  const double cpu = cpuSeconds() - cpu0;
  const double elapsed = double(wall.elapsed()) / 1000.0;
  chain.reset();
  ActivePlayer.store(nullptr);
  player.reset();
  return cpu / elapsed;
}
}  // namespace

int main(int argc, char** argv) {
  setenv("PITCHWELL_AUDIO", "null", 1);
  QCoreApplication app(argc, argv);
  const std::string dir = (std::filesystem::temp_directory_path() / "pitchwell-bench-play").string();
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/music.wav";
  {
    std::vector<float> x = pwtest::Sine(220, kRate, 2, size_t(kSeconds * kRate), 0.3);
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.f, 0.02f);
    for (float& v : x) v += noise(rng);
    pwtest::WriteWav(path, x, kRate, 2, 16);
  }
  std::printf("Playback CPU share of one core, %.0f s of 44.1 kHz stereo on the real-time null device\n", kSeconds);
  std::printf("  all sliders at 0            %5.1f %%\n", 100 * playOnce(path, 0, 0));
  // Tempo +25 %: position 1200 × log2(1.25); pitch +3 st: position 30.
  const double tempo25 = *pw::TempoPositionFromPercent(25);
  std::printf("  pitch +3 st, tempo +25 %%    %5.1f %%   (goal: at most 15 %%)\n",
              100 * playOnce(path, std::nearbyint(tempo25), 30));
  std::filesystem::remove_all(dir);
  return 0;
}
