// The waveform outline: for a 3-minute and a 60-minute song (44.1 kHz
// stereo, as WAV, FLAC and MP3), the time from WaveformOverview::start() to
// a complete summary, with one reading thread and with one per core, the
// bytes the summary holds and the growth of the process's peak resident
// memory while it is made. Each measurement runs in a process of its own
// (forked), so one file's memory does not hide the next one's.
//
// bench_waveform [minutes ...]   (default: 3 60)
// The files are made with the ffmpeg tool in a temporary folder and removed;
// they are read back warm from the page cache.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "analysis/waveform_overview.h"

namespace {

namespace fs = std::filesystem;
constexpr int kRate = 44100;

// Something like music, made as it is written so the longest file needs no
// memory: a chord, a beat every half second and a little noise.
bool Generate(const std::string& path, double minutes, const std::string& codec) {
  const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y -f f32le -ar " +
                              std::to_string(kRate) + " -ac 2 -i - " + codec + " '" + path + "'";
  FILE* pipe = popen(command.c_str(), "w");
  if (!pipe) return false;
  const int64_t frames = int64_t(minutes * 60 * kRate);
  std::vector<float> block(2 * 65536);
  uint32_t seed = 12345;
  for (int64_t at = 0; at < frames;) {
    const int64_t n = std::min<int64_t>(65536, frames - at);
    for (int64_t i = 0; i < n; ++i) {
      const double t = double(at + i) / kRate;
      const double chord = 0.2 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 277.2 * t) +
                           0.1 * std::sin(2 * M_PI * 329.6 * t);
      const double beat = std::fmod(t, 0.5) < 0.05 ? 0.3 * std::sin(2 * M_PI * 60 * t) : 0.0;
      seed = seed * 1664525u + 1013904223u;
      const double noise = 0.02 * (double(seed >> 8) / double(1u << 24) - 0.5);
      block[size_t(2 * i)] = float(chord + beat + noise);
      block[size_t(2 * i + 1)] = float(0.8 * chord + beat - noise);
    }
    if (std::fwrite(block.data(), sizeof(float), size_t(2 * n), pipe) != size_t(2 * n)) break;
    at += n;
  }
  return pclose(pipe) == 0;
}

// A field of /proc/self/status in kB ("VmHWM", "VmRSS"); -1 when missing.
long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  return -1;
}

// Sets the peak resident memory back to what is resident now.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

struct Figures {
  double openMs = 0, completeS = 0;
  double summaryMb = 0, peakGrowthMb = 0;
  int parts = 0;
  bool ok = false;
};

// Runs in the forked child.
Figures Measure(const std::string& path, int threads) {
  Figures f;
  ResetPeak();
  const long before = StatusKb("VmRSS");
  const auto t0 = std::chrono::steady_clock::now();
  std::string problem;
  std::unique_ptr<WaveformOverview> overview = WaveformOverview::start(path, &problem, threads);
  const auto t1 = std::chrono::steady_clock::now();
  if (!overview) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return f;
  }
  while (!overview->finished()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto t2 = std::chrono::steady_clock::now();
  f.openMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
  f.completeS = std::chrono::duration<double>(t2 - t0).count();
  f.summaryMb = double(overview->summary().memoryBytes()) / 1e6;
  f.parts = overview->summary().parts();
  f.peakGrowthMb = double(StatusKb("VmHWM") - before) / 1e3;
  f.ok = overview->summary().framesDone() == overview->lengthFrames();
  return f;
}

// Measure() in a process of its own; the figures come back through a pipe.
Figures MeasureApart(const std::string& path, int threads) {
  int fds[2];
  Figures f;
  if (pipe(fds) != 0) return f;
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const Figures got = Measure(path, threads);
    const ssize_t written = write(fds[1], &got, sizeof got);
    _exit(written == ssize_t(sizeof got) ? 0 : 1);
  }
  close(fds[1]);
  if (child > 0) {
    if (read(fds[0], &f, sizeof f) != ssize_t(sizeof f)) f = Figures{};
    int status = 0;
    waitpid(child, &status, 0);
  }
  close(fds[0]);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> lengths;
  for (int i = 1; i < argc; ++i) lengths.push_back(std::atof(argv[i]));
  if (lengths.empty()) lengths = {3, 60};

  const fs::path dir = fs::temp_directory_path() / ("pitchwell-bench-waveform-" + std::to_string(getpid()));
  fs::create_directories(dir);
  struct Format {
    const char* name;
    const char* extension;
    const char* codec;
  };
  const Format formats[] = {{"WAV 16-bit", "wav", "-c:a pcm_s16le"},
                            {"FLAC", "flac", "-c:a flac"},
                            {"MP3 192k", "mp3", "-c:a libmp3lame -b:a 192k"}};
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());

  std::printf("waveform outline: start() to a complete summary, 44.1 kHz stereo, %u cores\n", cores);
  std::printf("  %-10s %6s %7s %5s %9s %10s %10s %12s\n", "format", "min", "threads", "parts", "open ms",
              "complete s", "summary MB", "peak +RSS MB");
  double worst60 = 0, growth3 = -1, growth60 = -1;
  for (const Format& format : formats) {
    for (double minutes : lengths) {
      const std::string path = (dir / ("song." + std::string(format.extension))).string();
      if (!Generate(path, minutes, format.codec)) {
        std::printf("  %-10s %6.0f   could not be made with ffmpeg\n", format.name, minutes);
        continue;
      }
      for (int threads : {1, 0}) {
        const Figures f = MeasureApart(path, threads);
        if (!f.ok) {
          std::printf("  %-10s %6.0f %7d   failed\n", format.name, minutes, threads ? threads : int(cores));
          continue;
        }
        std::printf("  %-10s %6.0f %7d %5d %9.1f %10.2f %10.2f %12.1f\n", format.name, minutes,
                    threads ? threads : int(cores), f.parts, f.openMs, f.completeS, f.summaryMb, f.peakGrowthMb);
        if (threads == 0 && minutes == 60) worst60 = std::max(worst60, f.completeS);
        if (threads == 0 && minutes == 3) growth3 = std::max(growth3, f.peakGrowthMb);
        if (threads == 0 && minutes == 60) growth60 = std::max(growth60, f.peakGrowthMb);
      }
      fs::remove(path);
    }
  }
  fs::remove_all(dir);
  if (worst60 > 0) std::printf("60-minute overview, slowest format: %.2f s (goal <= 5 s)\n", worst60);
  if (growth3 >= 0 && growth60 >= 0)
    std::printf("peak memory growth, 60 minutes over 3 minutes: %+.1f MB (goal <= 8 MB)\n", growth60 - growth3);
  return 0;
}
