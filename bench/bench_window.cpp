// Prints what the real window costs while it plays: the program started
// under Xvfb (96 dpi, scale 1.0) with a generated minute of music-like
// material, PLAY clicked, all sliders at 0, the spectrum display running,
// sound on the real-time null device. Over ten seconds of playing:
//  - the program's CPU share of one core (all its threads);
//  - the main thread's CPU time per 25 ms tick (the window's clock, the
//    analyser, the display and every paint it causes).
// Figures only: nothing here passes or fails.
#include <QImage>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <unistd.h>

#include "bench_material.h"
#include "testaudio.h"
#include "window_layout.h"
#include "x_session.h"

namespace {
constexpr int kRate = 44100;
constexpr double kMeasureSeconds = 10;
constexpr double kTickSeconds = 0.025;

// utime + stime of a process or one of its threads, in seconds, from /proc.
double CpuSeconds(const std::string& statFile) {
  std::ifstream f(statFile);
  std::string line;
  std::getline(f, line);
  const auto close = line.rfind(')');  // the command name may hold spaces
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main() {
  setenv("PITCHWELL_AUDIO", "null", 1);  // real-time pacing, no sound server needed
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const pwtest::WindowLayout layout = pwtest::MainWindowLayout();
  const std::string dir = pwtest::TempDir("bench-window");
  const std::string song = dir + "/material.wav";
  pwtest::WriteWav(song, bench::ChordWithBeat(60, kRate, 7), kRate, 2, 16);

  pwtest::XSession x(dir);
  if (!x.up()) {
    std::printf("window: Xvfb could not start; nothing measured\n");
    return 0;
  }
  pwtest::ProcessGuard program = x.Start({PW_WINDOW_EXE, song}, dir + "/config", dir + "/pitchwell.log");
  QPoint origin;
  if (program.pid <= 0 || !x.FindWindow("material.wav - Pitchwell", &origin)) {
    std::printf("window: the program did not show its window (see %s/pitchwell.log)\n", dir.c_str());
    return 0;
  }
  const QRect label = layout.timeLabel.translated(origin);
  const QImage before = x.Grab(label, dir + "/time-0.png");
  x.Click(origin + layout.play);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // warmed up

  const std::string process = "/proc/" + std::to_string(program.pid) + "/stat";
  const std::string mainThread = "/proc/" + std::to_string(program.pid) + "/task/" + std::to_string(program.pid) + "/stat";
  const double process0 = CpuSeconds(process), main0 = CpuSeconds(mainThread);
  const auto wall0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(kMeasureSeconds));
  const double process1 = CpuSeconds(process), main1 = CpuSeconds(mainThread);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  const bool playing = x.Grab(label, dir + "/time-1.png") != before;

  std::printf("window playing (sliders at 0, display running, null device, scale 1.0, %.0f s)%s:\n", wall,
              playing ? "" : " -- WARNING: the time label did not move, PLAY may have missed");
  std::printf("  program CPU share of one core: %5.1f %%   (goal <= 5 %%)\n", 100.0 * (process1 - process0) / wall);
  std::printf("  main thread per 25 ms tick:    %5.2f ms  (goal <= 2 ms)\n",
              1000.0 * (main1 - main0) / (wall / kTickSeconds));
  return 0;
}
