// Prints, for a generated 44.1 kHz stereo file played through the whole
// engine (decoder, effect chain on the stream's producer, device thread):
//  - the share of one core that playback takes on the real-time null device,
//    with all sliders at 0 and with pitch +3 st and tempo +25 %, beside the
//    pitch/tempo stage alone with the same options on the same material,
//    offline and paced as playback paces it;
//  - the latency budget: sound kept ahead of the device plus the device's
//    own latency, on the null device and on PulseAudio (a private server
//    with a null sink, where pulseaudio is installed);
//  - underruns in 30 s of real-time playback with every stage active while
//    another thread keeps a core busy.
// Figures only: nothing here passes or fails.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "dsp/pitch_tempo_stage.h"
#include "engine/playback.h"
#include "playback_owner.h"
#include "pulse_server.h"
#include "engine/session.h"
#include "bench_material.h"
#include "testaudio.h"
#include "output/thread_priority.h"

namespace {
constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr double kMaterialSeconds = 60;
constexpr double kCpuSeconds = 5;        // wall time of each CPU run
constexpr int kRounds = 3;
constexpr double kUnderrunSeconds = 30;  // wall time of the underrun run

double processCpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double threadCpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// CPU seconds so far of this process's threads named `name` (the producer,
// the device thread), from /proc: 10 ms resolution, plenty over seconds.
double namedThreadsCpu(const std::string& name) {
  double seconds = 0;
  const double tick = double(sysconf(_SC_CLK_TCK));
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream f(task.path() / "stat");
    std::string line;
    std::getline(f, line);
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || line.substr(open + 1, close - open - 1) != name)
      continue;
    // Fields after the name: state is the 3rd, utime the 14th, stime the 15th.
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stod(field);
      if (i == 15) stime = std::stod(field);
    }
    seconds += (utime + stime) / tick;
  }
  return seconds;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// A chord with a beat and a little noise: material the stretcher has to work on.
std::vector<float> makeMaterial() { return bench::ChordWithBeat(kMaterialSeconds, kRate, 3); }

struct Sliders {
  double speedPercent = 0;
  double tempoPercent = 0;
  double pitchSemitones = 0;
  double bassPercent = 0;
  double treblePercent = 0;
};

EffectValues ValuesOf(const Sliders& s) {
  return {.speedPercent = s.speedPercent, .tempoPercent = s.tempoPercent, .pitchSemitones = s.pitchSemitones,
          .treblePercent = s.treblePercent, .bassPercent = s.bassPercent};
}

struct Run {
  bool ok = false;
  double cpuShare = 0;  // CPU seconds per wall second
  double producerShare = 0;
  double deviceShare = 0;
  OutputStream::Underruns underruns;
  double aheadMs = 0;
  double deviceMs = 0;
  std::string device;
};

// Plays `path` for `seconds` of wall time (or to its end); a timer-like main
// loop sleeps between checks, as the window's event loop would.
Run play(const std::string& path, const Sliders& sliders, double seconds) {
  Run run;
  std::string problem;
  const std::unique_ptr<Session> session = Session::open(path, &problem);
  if (!session) {
    std::printf("  cannot open %s: %s\n", path.c_str(), problem.c_str());
    return run;
  }
  session->chain().setValues(ValuesOf(sliders));
  Playback playback;
  pwtest::PlaybackOwner owner(playback);
  if (!playback.attach(session.get())) return run;
  const double producer0 = namedThreadsCpu("pw-producer");
  const double device0 = namedThreadsCpu("pw-device");
  const double cpu0 = processCpu();
  const auto start = std::chrono::steady_clock::now();
  auto wallSeconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  playback.play();
  while (owner.ends() == 0 && wallSeconds() < seconds) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  const double cpu = processCpu() - cpu0;
  const double elapsed = wallSeconds();
  run.producerShare = (namedThreadsCpu("pw-producer") - producer0) / elapsed;
  run.deviceShare = (namedThreadsCpu("pw-device") - device0) / elapsed;
  const OutputStream* stream = playback.stream();
  run.ok = stream != nullptr;
  run.cpuShare = cpu / elapsed;
  if (stream != nullptr) {
    run.underruns = stream->underruns();
    run.aheadMs = stream->aheadSeconds() * 1000;
    run.deviceMs = stream->deviceLatency() * 1000;
  }
  if (playback.device() != nullptr) run.device = playback.device()->description();
  playback.stop();
  playback.attach(nullptr);
  return run;
}

// The pitch/tempo stage alone over the material on this thread: CPU
// seconds per second of output. Offline (as fast as it goes, in blocks of
// 4096 frames) or paced as playback paces it (1024 frames per 1024 frames
// of time), where its memory has gone cold between blocks.
double stageAlone(const std::vector<float>& x, const Sliders& s, bool paced = false) {
  struct Feed {
    const std::vector<float>* x;
    size_t pos;
  } feed{&x, 0};
  auto read = [](void* user, float* buffer, int floats) -> int {
    auto* f = static_cast<Feed*>(user);
    const size_t n = std::min(size_t(floats), f->x->size() - f->pos);
    std::copy_n(f->x->data() + f->pos, n, buffer);
    f->pos += n;
    return int(n);
  };
  auto stage = PitchTempoStage::create(kChannels, kRate, read, &feed);
  if (!stage) return -1;
  stage->setPitchSemitones(s.pitchSemitones);
  stage->setDurationRatio(100.0 / (100.0 + s.tempoPercent));
  std::vector<float> out(4096 * kChannels);
  int64_t frames = 0;
  const int block = paced ? 1024 : 4096;
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(double(block) / kRate));
  auto next = std::chrono::steady_clock::now();
  const double cpu0 = threadCpu();
  for (int n; (n = stage->process(out.data(), block)) > 0;) {
    frames += n;
    if (paced) std::this_thread::sleep_until(next += period);
  }
  const double cpu = threadCpu() - cpu0;
  return cpu / (double(frames) / kRate);
}

void printLatency(const char* label, const Run& r) {
  if (!r.ok) {
    std::printf("    %-44s not available\n", label);
    return;
  }
  std::printf("    %-44s %3.0f ms ahead + %3.0f ms device = %3.0f ms   [%s]\n", label, r.aheadMs, r.deviceMs,
              r.aheadMs + r.deviceMs, r.device.c_str());
}

}  // namespace

int main() {
  setenv("PITCHWELL_AUDIO", "null", 1);
  const std::string dir = (std::filesystem::temp_directory_path() / "pitchwell-bench-play").string();
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/music.wav";
  const std::vector<float> material = makeMaterial();
  pwtest::WriteWav(path, material, kRate, kChannels, 16);

  const Sliders flat;
  Sliders pitchTempo;
  pitchTempo.pitchSemitones = 3;
  pitchTempo.tempoPercent = 25;
  Sliders every = pitchTempo;
  every.speedPercent = 10;
  every.bassPercent = 30;
  every.treblePercent = 40;

  std::printf("Playback of 44.1 kHz stereo through the whole engine on the real-time null device\n");
  std::printf("  CPU share of one core (medians of %d rounds of %.0f s, each measured in turn, so that the\n"
              "  machine's other work weighs on all alike)\n",
              kRounds, kCpuSeconds);
  // The material that playback reaches in one round at +25 % tempo.
  const std::vector<float> part(material.begin(), material.begin() + long(kCpuSeconds * 1.25 * kRate) * kChannels);
  std::vector<double> flatShare, playShare, producerShare, deviceShare, offline, paced;
  OutputStream::Underruns underruns;
  bool ok = true;
  for (int round = 0; round < kRounds; ++round) {
    const Run f = play(path, flat, kCpuSeconds);
    const Run r = play(path, pitchTempo, kCpuSeconds);
    ok = ok && f.ok && r.ok;
    flatShare.push_back(f.cpuShare);
    playShare.push_back(r.cpuShare);
    producerShare.push_back(r.producerShare);
    deviceShare.push_back(r.deviceShare);
    underruns.ringShort += r.underruns.ringShort;
    underruns.deviceLate += r.underruns.deviceLate;
    offline.push_back(stageAlone(part, pitchTempo));
    paced.push_back(stageAlone(part, pitchTempo, true));
  }
  std::printf("    all sliders at 0                             %5.1f %%\n", 100 * median(flatShare));
  std::printf("    pitch +3 st, tempo +25 %%                     %5.1f %%   (producer %.1f %%, device thread %.1f %%; "
              "underruns: %llu ring short, %llu device late)\n",
              100 * median(playShare), 100 * median(producerShare), 100 * median(deviceShare),
              static_cast<unsigned long long>(underruns.ringShort),
              static_cast<unsigned long long>(underruns.deviceLate));
  std::printf("    the pitch/tempo stage alone, same options:\n");
  std::printf("      paced like playback (1024 frames a block)  %5.1f %%\n", 100 * median(paced));
  std::printf("      offline (as fast as it goes)               %5.1f %%\n", 100 * median(offline));
  if (ok) {
    // Paced, the stage does the same work at the same times as in playback:
    // what is left is the chain and the buffering. Offline, it also gains
    // from memory kept warm between blocks, which no real-time player has.
    std::printf("    chain and buffering over the stage alone     %+5.1f %%   (against the paced figure; goal: at most "
                "+10 %%)\n",
                100 * (median(playShare) / median(paced) - 1));
    std::printf("                                                 %+5.1f %%   (against the offline figure)\n",
                100 * (median(playShare) / median(offline) - 1));
  }

  std::printf("  Underruns in %.0f s of real-time playback, every stage active (speed +10 %%, tempo +25 %%,\n"
              "  pitch +3 st, bass +30 %%, treble +40 %%), one other thread keeping a core busy\n",
              kUnderrunSeconds);
  {
    std::atomic<bool> done{false};
    std::thread busy([&] {
      volatile double sink = 1.0;
      while (!done.load(std::memory_order_relaxed))
        for (int i = 0; i < 100000; ++i) sink = sink * 1.0000001 + 1e-9;
    });
    const Run r = play(path, every, kUnderrunSeconds);
    done = true;
    busy.join();
    bool realTime = false;
    std::thread([&] { realTime = RaiseThreadPriority(1); }).join();
    std::printf("    ring short %llu, device late %llu   (goal: 0; real-time scheduling %s)\n",
                static_cast<unsigned long long>(r.underruns.ringShort),
                static_cast<unsigned long long>(r.underruns.deviceLate),
                realTime ? "granted" : "not granted: ordinary priority");
  }

  std::printf("  Latency budget: sound kept ahead of the device + the device's latency (goal on PulseAudio: at most 150 ms)\n");
  printLatency("real-time null device", play(path, flat, 1.0));
  {
    pwtest::PulseServer server(dir);  // unsets PITCHWELL_AUDIO while it runs
    if (server.up())
      printLatency("private PulseAudio server, null sink", play(path, flat, 3.0));
    else
      std::printf("    private PulseAudio server: could not start (see %s)\n", server.log().c_str());
  }
  std::filesystem::remove_all(dir);
  return 0;
}
