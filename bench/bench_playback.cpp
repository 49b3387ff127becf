// Prints, for a generated 44.1 kHz stereo file played through the whole
// engine (decoder, effect chain on the stream's producer, device thread):
//  - the share of one core that playback takes on the real-time null device,
//    with all sliders at 0 and with pitch +3 st and tempo +25 %, beside the
//    pitch/tempo stage alone with the same options on the same material,
//    offline and paced as playback paces it;
//  - underruns in 30 s of real-time playback with every stage active while
//    another thread keeps a core busy, on the null device and on PulseAudio
//    (a private server with a null sink, where pulseaudio is installed);
//  - slider-to-ear latency, term by term: how long the producer takes to
//    see a new value, the sound queued ahead of it then, the device's
//    latency as reported, the stretcher's lead and the limiter's look-ahead,
//    and their sum; on the null device and on PulseAudio;
//  - the same delay measured on the real program: a key on its pitch slider
//    under Xvfb, the new pitch found in a recording of the private server's
//    null sink.
// Figures only: nothing here passes or fails.
#include <algorithm>
#include <array>
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
#include "engine/effect_chain.h"
#include "engine/playback.h"
#include "output/output_device.h"
#include "playback_owner.h"
#include "pulse_server.h"
#include "engine/session.h"
#include "bench_material.h"
#include "testaudio.h"
#include "output/thread_priority.h"
#include "window_layout.h"
#include "x_session.h"

namespace {
constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr double kMaterialSeconds = 60;
constexpr double kCpuSeconds = 5;        // wall time of each CPU run
constexpr int kRounds = 3;
constexpr double kUnderrunSeconds = 30;  // wall time of each underrun run
constexpr int kTermChanges = 24;         // slider moves timed for the latency terms

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
  // The machine's own stalls over the same time (playBusy only).
  int stallsOver10Ms = 0, stallsOverRing = 0;
  double worstStallMs = 0;
  int underrunsAtStalls = 0;  // seen within kNearStall of one
  // When the main loop saw the underrun count grow (steady seconds).
  std::vector<double> underrunTimes;
};

constexpr double kNearStall = 0.2;

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

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
  uint64_t underrunsSeen = 0;
  while (owner.ends() == 0 && wallSeconds() < seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (const OutputStream* stream = playback.stream()) {
      const uint64_t total = stream->underruns().total();
      for (; underrunsSeen < total; ++underrunsSeen) run.underrunTimes.push_back(SteadySeconds());
    }
  }
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

// Plays like play() while another thread keeps a core busy. Beside it, a
// real-time thread above the producer that only sleeps 5 ms and wakes
// tells how late the machine itself let a thread run: a virtual machine
// whose host takes its processors away now and then stalls every thread
// alike, and no buffer shorter than such a stall can keep the sound going.
Run playBusy(const std::string& path, const Sliders& sliders, double seconds) {
  std::atomic<bool> done{false};
  std::thread busy([&] {
    volatile double sink = 1.0;
    while (!done.load(std::memory_order_relaxed))
      for (int i = 0; i < 100000; ++i) sink = sink * 1.0000001 + 1e-9;
  });
  int over10 = 0;
  std::vector<double> stalls, stallTimes;
  std::thread watcher([&] {
    RaiseThreadPriority(3);
    using Clock = std::chrono::steady_clock;
    while (!done.load(std::memory_order_relaxed)) {
      const Clock::time_point due = Clock::now() + std::chrono::milliseconds(5);
      std::this_thread::sleep_until(due);
      const double lateMs = std::chrono::duration<double, std::milli>(Clock::now() - due).count();
      if (lateMs > 10) {
        ++over10;
        stalls.push_back(lateMs);
        stallTimes.push_back(SteadySeconds());
      }
    }
  });
  Run r = play(path, sliders, seconds);
  done = true;
  busy.join();
  watcher.join();
  r.stallsOver10Ms = over10;
  for (const double ms : stalls) {
    r.worstStallMs = std::max(r.worstStallMs, ms);
    if (ms > r.aheadMs) ++r.stallsOverRing;
  }
  for (const double t : r.underrunTimes)
    if (std::any_of(stallTimes.begin(), stallTimes.end(), [&](double s) { return std::fabs(t - s) <= kNearStall; }))
      ++r.underrunsAtStalls;
  return r;
}

void printUnderruns(const char* label, const Run& r) {
  if (!r.ok) {
    std::printf("    %-38s not available\n", label);
    return;
  }
  std::printf("    %-38s ring short %llu, device late %llu   (goal: 0; %.0f ms ahead, device %.0f ms)  [%s]\n", label,
              static_cast<unsigned long long>(r.underruns.ringShort),
              static_cast<unsigned long long>(r.underruns.deviceLate), r.aheadMs, r.deviceMs, r.device.c_str());
  std::printf("    %-38s the machine stalled a real-time thread %d times by over 10 ms, %d of them longer than\n"
              "    %-38s the ring's %.0f ms; worst %.0f ms; underruns within %.1f s of such a stall: %d of %zu\n",
              "", r.stallsOver10Ms, r.stallsOverRing, "", r.aheadMs, r.worstStallMs, kNearStall, r.underrunsAtStalls,
              r.underrunTimes.size());
}


// A session fed to a stream that notes, at the producer's first read after a
// slider moved, how long it took to see the move and how much sound was
// queued ahead of the first block made with it.
class ProbeSource final : public OutputSource {
 public:
  static constexpr int kMaxChanges = 64;

  explicit ProbeSource(Session& session) : session_(session) {}
  void setStream(const OutputStream* stream) { stream_ = stream; }
  // Control thread, right after the value was set.
  void moved() { movedAt_.store(SteadySeconds(), std::memory_order_seq_cst); }
  int count() const { return count_.load(std::memory_order_acquire); }
  double wait(int i) const { return waits_[size_t(i)]; }
  size_t queued(int i) const { return queued_[size_t(i)]; }

  size_t read(float* frames, size_t frameCount) override {
    const double at = movedAt_.exchange(-1.0, std::memory_order_seq_cst);
    if (at >= 0 && stream_ != nullptr) {
      const int n = count_.load(std::memory_order_relaxed);
      if (n < kMaxChanges) {
        waits_[size_t(n)] = SteadySeconds() - at;
        queued_[size_t(n)] = stream_->queuedFrames();
        count_.store(n + 1, std::memory_order_release);
      }
    }
    return session_.read(frames, frameCount);
  }

 private:
  Session& session_;
  const OutputStream* stream_ = nullptr;
  std::atomic<double> movedAt_{-1.0};
  std::atomic<int> count_{0};
  std::array<double, kMaxChanges> waits_{};
  std::array<size_t, kMaxChanges> queued_{};
};

// The pitch/tempo stage alone, running at +1 st on a 440 Hz tone: output
// frames from a move to +2 st until the output's frequency (zero crossings
// over 10 ms) has crossed the middle between the two. A pitch move acts on
// the resampler after the stretcher, so it does not wait for the analysis
// window (latencyFrames(), which a tempo move does wait for).
double stagePitchDelayMs() {
  struct Feed {
    std::vector<float> x;
    size_t pos = 0;
  } feed;
  feed.x = pwtest::Sine(440.0, kRate, 1, size_t(3 * kRate));
  auto read = [](void* user, float* buffer, int floats) -> int {
    auto* f = static_cast<Feed*>(user);
    const size_t n = std::min(size_t(floats), f->x.size() - f->pos);
    std::copy_n(f->x.data() + f->pos, n, buffer);
    f->pos += n;
    return int(n);
  };
  auto stage = PitchTempoStage::create(1, kRate, read, &feed);
  if (!stage) return -1;
  stage->setPitchSemitones(1);
  std::vector<float> out, block(512);
  const auto run = [&](size_t until) {
    while (out.size() < until) {
      const int n = stage->process(block.data(), 512);
      if (n <= 0) return;
      out.insert(out.end(), block.begin(), block.begin() + n);
    }
  };
  run(size_t(kRate));
  const size_t at = out.size();
  stage->setPitchSemitones(2);
  run(at + size_t(kRate / 2));
  const size_t window = size_t(kRate / 100);
  const double middle = 440.0 * std::pow(2.0, 1.5 / 12);
  for (size_t c = at; c + window < out.size(); c += 22) {
    if (pwtest::ZeroCrossingFrequency(out.data() + c, window, 1, 0, kRate) > middle)
      return (double(c + window / 2) - double(at)) * 1000.0 / kRate;
  }
  return -1;
}

struct Terms {
  bool ok = false;
  std::string device;
  int changes = 0;
  double waitMs = 0, waitMaxMs = 0;      // the producer seeing the new value
  double queuedMs = 0, queuedMaxMs = 0;  // sound ahead of it then
  double aheadMs = 0;                    // the ring's target depth
  double deviceMs = 0;                   // as the device reports it
  double stretcherMs = 0;                // a pitch move through the stage
  double leadMs = 0;                     // the stretcher's lead (tempo moves)
  double limiterMs = 0;                  // the limiter's look-ahead
  double sum() const { return waitMs + queuedMs + deviceMs + stretcherMs + limiterMs; }
  double worst() const { return waitMaxMs + queuedMaxMs + deviceMs + stretcherMs + limiterMs; }
};

// Plays `path` with the pitch at +1 st (the stretcher running) and moves it
// between +1 and +2 st every 200 … 400 ms, `changes` times.
Terms measureTerms(const std::string& path, int changes) {
  Terms t;
  std::string problem;
  const std::unique_ptr<Session> session = Session::open(path, &problem);
  if (!session) return t;
  Sliders s;
  s.pitchSemitones = 1;
  session->chain().setValues(ValuesOf(s));
  AudioError error = AudioError::None;
  const std::unique_ptr<OutputDevice> device = OutputDevice::open(-1, kRate, &error);
  if (!device || device->standInReason() != AudioError::None) return t;
  ProbeSource probe(*session);
  const std::unique_ptr<OutputStream> stream =
      device->createStream(session->sampleRate(), session->channels(), probe, &error);
  if (!stream) return t;
  probe.setStream(stream.get());
  stream->play();
  std::mt19937 random(7);
  std::uniform_int_distribution<int> pause(200, 400);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the start
  for (int i = 0; i < changes; ++i) {
    s.pitchSemitones = i % 2 == 0 ? 2 : 1;
    session->chain().setValues(ValuesOf(s));
    probe.moved();
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
  }
  stream->stop();
  t.ok = true;
  t.device = device->description();
  t.changes = probe.count();
  for (int i = 0; i < t.changes; ++i) {
    const double w = probe.wait(i) * 1000, q = double(probe.queued(i)) * 1000 / kRate;
    t.waitMs += w / t.changes;
    t.queuedMs += q / t.changes;
    t.waitMaxMs = std::max(t.waitMaxMs, w);
    t.queuedMaxMs = std::max(t.queuedMaxMs, q);
  }
  t.aheadMs = stream->aheadSeconds() * 1000;
  t.deviceMs = stream->deviceLatency() * 1000;
  t.stretcherMs = stagePitchDelayMs();
  t.leadMs = session->chain().pitchStage().latencyFrames() * 1000.0 / kRate;
  t.limiterMs = session->chain().limiterLatencyFrames() * 1000.0 / kRate;
  return t;
}

void printTerms(const char* label, const Terms& t) {
  if (!t.ok) {
    std::printf("    %s: not available\n", label);
    return;
  }
  std::printf("    %s   [%s]\n", label, t.device.c_str());
  std::printf("      producer sees the new value       %5.1f ms  (worst %5.1f; %d moves)\n", t.waitMs, t.waitMaxMs,
              t.changes);
  std::printf("      queued ahead of it in the ring    %5.1f ms  (worst %5.1f; the ring's target depth %.1f)\n",
              t.queuedMs, t.queuedMaxMs, t.aheadMs);
  std::printf("      device latency, as reported       %5.1f ms\n", t.deviceMs);
  std::printf("      pitch/tempo stage, a pitch move   %5.1f ms  (a tempo move waits for the stretcher's lead, "
              "%.1f ms)\n",
              t.stretcherMs, t.leadMs);
  std::printf("      chain: limiter look-ahead         %5.1f ms\n", t.limiterMs);
  std::printf("      sum                               %5.1f ms  (worst %5.1f)\n", t.sum(), t.worst());
}

// ---- the real program ----

// The left channel's frequency over `window` seconds centred on each
// `hop`, from frame `from` on.
double FrequencyAt(const std::vector<float>& x, size_t centre, size_t window) {
  if (centre < window / 2 || (centre + window / 2) * 2 > x.size()) return 0;
  return pwtest::ZeroCrossingFrequency(x.data() + (centre - window / 2) * 2, window, 2, 0, kRate);
}

// Where the samples start in a WAV file (after the "data" chunk's header).
size_t DataOffset(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::string head(4096, '\0');
  f.read(head.data(), long(head.size()));
  const size_t at = head.find("data");
  return at == std::string::npos ? 0 : at + 8;
}

// Recorded frames at a wall time: the recording's length (its file size,
// read in microseconds, not its samples) against the steady clock, over a
// second of polls; the largest lead seen is the one with the least write
// delay.
struct RecordingClock {
  double offset = -1e9;  // recording seconds minus steady seconds
  void poll(const std::string& recording, size_t dataOffset) {
    std::error_code ec;
    const double t = SteadySeconds();
    const auto bytes = std::filesystem::file_size(recording, ec);
    if (ec || bytes < dataOffset) return;
    const double frames = double((bytes - dataOffset) / 8);
    offset = std::max(offset, frames / kRate - t);
  }
  double frameAt(double steady) const { return (steady + offset) * kRate; }
};

// Starts the program under Xvfb on a 440 Hz tone with sound through a
// private PulseAudio server, plays, moves the pitch to +0.1 st (the
// stretcher running), then jumps it with End, Home, End (+12, −12, +12
// semitones). For each key: from the key's X event to the first of five
// 10 ms steps running where the recorded frequency has crossed the middle
// between the old pitch and the new. Milliseconds; empty when the program
// could not be run.
std::vector<double> measureRealProgram(const pwtest::WindowLayout& layout, const std::string& dir, std::string* why) {
  std::vector<double> delays;
  const auto fail = [&](const char* step) {
    *why = step;
    return delays;
  };
  std::filesystem::create_directories(dir);
  const std::string tone = dir + "/tone.wav";
  pwtest::WriteWav(tone, pwtest::Sine(440.0, kRate, 2, size_t(120.0 * kRate), 0.5), kRate, 2, 16);
  pwtest::XSession x(dir);
  if (!x.up()) return fail("Xvfb did not start");
  pwtest::PulseServer server(dir);
  if (!server.up()) return fail("pulseaudio did not start");
  const std::string recording = dir + "/monitor.wav";
  pwtest::ProcessGuard recorder{pwtest::RecordSink(recording, dir + "/parecord.log", 10), SIGINT};
  pwtest::ProcessGuard program = x.Start({PW_WINDOW_EXE, tone}, dir + "/config", dir + "/pitchwell.log");
  QPoint origin;
  if (recorder.pid <= 0 || program.pid <= 0 || !x.FindWindow("tone.wav - Pitchwell", &origin))
    return fail("the recorder or the program did not start");
  const size_t window = size_t(0.02 * kRate), hop = size_t(0.01 * kRate);
  const auto frequencyNow = [&] {
    const std::vector<float> r = pwtest::ReadRecording(recording);
    const size_t frames = r.size() / 2;
    const size_t span = size_t(0.1 * kRate);  // long enough to tell 220 Hz within 2 %
    return frames > span ? FrequencyAt(r, frames - span / 2 - 1, span) : 0.0;
  };
  const auto near = [](double f, double hz) { return std::fabs(f - hz) < hz * 0.02; };
  x.Click(origin + layout.play);
  if (!pwtest::WaitUntil([&] { return near(frequencyNow(), 440.0); }, 120, 100))
    return fail("the tone was never heard");
  if (!pwtest::WaitUntil(
          [&] {
            x.Run("xdotool search --onlyvisible --name 'tone.wav - Pitchwell' windowfocus");
            return x.FocusedTitle() == "tone.wav - Pitchwell";
          },
          60))
    return fail("the window never had the keyboard");
  x.Click(origin + layout.pitchThumb);
  x.Key("Up");  // +0.1 st
  const double slightlyUp = 440.0 * std::pow(2.0, 0.1 / 12);
  if (!pwtest::WaitUntil([&] { return near(frequencyNow(), slightlyUp) && !near(frequencyNow(), 440.0); }, 60, 100))
    return fail("the pitch key was not heard");
  struct Jump {
    const char* key;
    double from, to;
  };
  const Jump jumps[] = {{"End", slightlyUp, 880.0}, {"Home", 880.0, 220.0}, {"End", 220.0, 880.0}};
  for (const Jump& j : jumps) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // settled, and sound to compare against
    RecordingClock clock;
    const size_t dataOffset = DataOffset(recording);
    for (int i = 0; i < 500; ++i) {
      clock.poll(recording, dataOffset);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    x.Run("xdotool key --delay 0 " + std::string(j.key));
    const double keyAt = SteadySeconds();  // the event went out just before xdotool returned
    if (!pwtest::WaitUntil([&] { return near(frequencyNow(), j.to); }, 60, 100))
      return fail("a jump of the pitch was not heard");
    const std::vector<float> r = pwtest::ReadRecording(recording);
    const double middle = std::sqrt(j.from * j.to);
    const auto crossed = [&](double f) { return j.to > j.from ? f > middle : (f > 0 && f < middle); };
    size_t at = size_t(std::max(0.0, clock.frameAt(keyAt) - 0.5 * kRate));
    int run = 0;
    for (size_t c = at; (c + window) * 2 < r.size(); c += hop) {
      run = crossed(FrequencyAt(r, c, window)) ? run + 1 : 0;
      if (run == 5) {
        const double heard = double(c - 4 * hop);
        const double delay = (heard - clock.frameAt(keyAt)) * 1000.0 / kRate;
        // Heard before the key: the recording's clock was misread; no figure.
        if (delay > 0) delays.push_back(delay);
        break;
      }
    }
  }
  program.Stop();
  recorder.Stop();
  return delays;
}

}  // namespace

int main() {
  setenv("PITCHWELL_AUDIO", "null", 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The real window's layout, before any sound server is reachable.
  const pwtest::WindowLayout layout = pwtest::MainWindowLayout();
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

  bool realTime = false;
  std::thread([&] { realTime = RaiseThreadPriority(1); }).join();
  std::printf("  Underruns in %.0f s of real-time playback, every stage active (speed +10 %%, tempo +25 %%,\n"
              "  pitch +3 st, bass +30 %%, treble +40 %%), one other thread keeping a core busy (real-time\n"
              "  scheduling %s)\n",
              kUnderrunSeconds, realTime ? "granted" : "not granted: ordinary priority");
  printUnderruns("real-time null device", playBusy(path, every, kUnderrunSeconds));
  Terms nullTerms = measureTerms(path, kTermChanges);
  Terms pulseTerms;
  {
    pwtest::PulseServer server(dir);  // unsets PITCHWELL_AUDIO while it runs
    if (server.up()) {
      printUnderruns("private PulseAudio server, null sink", playBusy(path, every, kUnderrunSeconds));
      pulseTerms = measureTerms(path, kTermChanges);
    } else {
      std::printf("    private PulseAudio server: could not start (see %s)\n", server.log().c_str());
    }
  }
  std::printf("  Slider-to-ear latency, term by term: the pitch moved between +1 and +2 st (the stretcher\n"
              "  running) at random times while playing; means over the moves\n");
  printTerms("real-time null device", nullTerms);
  printTerms("private PulseAudio server, null sink", pulseTerms);

  std::printf("  Slider-to-ear latency of the real program (goal: at most 120 ms): a key on the pitch slider\n"
              "  under Xvfb to the new pitch in a recording of the private PulseAudio server's null sink\n"
              "  (the recording's own delay, up to about 10 ms, included)\n");
  std::string why = "no jump was timed";
  const std::vector<double> real = measureRealProgram(layout, dir + "/real", &why);
  if (real.empty()) {
    std::printf("    not available: %s\n", why.c_str());
  } else {
    std::printf("    measured:");
    for (const double d : real) std::printf(" %.0f ms", d);
    std::printf("   median %.0f ms   (sum of terms on PulseAudio: %.0f ms, worst %.0f)\n", median(real),
                pulseTerms.ok ? pulseTerms.sum() : 0.0, pulseTerms.ok ? pulseTerms.worst() : 0.0);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
