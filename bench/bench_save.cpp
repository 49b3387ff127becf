// A whole save on every core: a generated 182 s song (MP3) saved at tempo
// +25 % and pitch +3 st as MP3 128k, whole (one chain, as before the split)
// and split over 1 … N piece threads, beside Rubber Band's own command line
// (`rubberband -R -3`) alone on the same audio and followed by `lame -b 128`.
// Each save runs in a process of its own, so that its peak memory (VmHWM)
// is its own. Then how fast a cancel stops every piece, and the seams: the
// split render against the whole one around each seam, beside the same
// measure in the middle of the pieces (two renderings that differ only in
// where their stretcher started) and between two whole renders read in
// different block sizes.
//
// bench_save [seconds (default 182)] [rounds (default 1)]: with several
// rounds every figure is the best of them, the runs interleaved so that a
// busy moment of the machine weighs on all alike.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "bench_material.h"
#include "dsp/fft.h"
#include "engine/session.h"
#include "export/export_job.h"
#include "export/save_command.h"
#include "export/split_render.h"
#include "testaudio.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

EffectValues Values() {
  EffectValues v;
  v.tempoPercent = 25;
  v.pitchSemitones = 3;
  return v;
}

// ---- child processes: one save each ----

class EndProgress : public ExportProgress {
 public:
  void reportProgress(int, int64_t) override {}
  void reportEnd(const ExportOutcome&) override {
    std::lock_guard lock(m);
    endedAt = Clock::now();
    ended = true;
    cv.notify_all();
  }
  std::mutex m;
  std::condition_variable cv;
  bool ended = false;
  Clock::time_point endedAt;
};

// --child save|cancel INPUT OUTPUT PIECES THREADS: prints "seconds peakKiB"
// (save) or "latency seconds" (cancel).
int Child(const std::string& mode, const std::string& input, const std::string& output, int pieces, int threads) {
  std::string problem;
  std::unique_ptr<Session> session = Session::open(input, &problem);
  if (!session) {
    std::fprintf(stderr, "%s: %s\n", input.c_str(), problem.c_str());
    return 1;
  }
  SaveRequest request{output, FileTypeMp3, Values(), 128, true};
  request.split.pieces = pieces;
  request.split.threads = threads;
  EndProgress progress;
  const auto t0 = Clock::now();
  std::unique_ptr<ExportJob> job = CreateExport(std::move(session), request, &progress);
  if (mode == "save") {
    job->run();
    const double seconds = SecondsSince(t0);
    if (!job->outcome().ok()) {
      std::fprintf(stderr, "save failed: %s\n", job->outcome().failure.c_str());
      return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.3f %ld %.3f\n", seconds, PeakKiB(), cpu);
    return 0;
  }
  job->start();
  std::this_thread::sleep_for(std::chrono::seconds(3));  // well into the pieces
  const auto asked = Clock::now();
  job->cancel();
  {
    std::unique_lock lock(progress.m);
    progress.cv.wait(lock, [&] { return progress.ended; });
  }
  const double latency = std::chrono::duration<double>(progress.endedAt - asked).count();
  job->wait();
  std::printf("%.4f %d\n", latency, job->outcome().cancelled && access(output.c_str(), F_OK) != 0 ? 1 : 0);
  return 0;
}

std::string Self() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "bench_save";
  path[n] = 0;
  return path;
}

std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

struct Run {
  double seconds = -1;
  long peakKiB = -1;
  double cpuSeconds = -1;  // every thread's, the process's whole life
};

Run SaveInChild(const std::string& input, const std::string& output, int pieces, int threads) {
  Run r;
  const std::string line = Capture("'" + Self() + "' --child save '" + input + "' '" + output + "' " +
                                   std::to_string(pieces) + " " + std::to_string(threads));
  if (std::sscanf(line.c_str(), "%lf %ld %lf", &r.seconds, &r.peakKiB, &r.cpuSeconds) != 3) r.seconds = -1;
  return r;
}

double Timed(const std::string& command) {
  const auto t0 = Clock::now();
  if (!pwtest::Run(command)) return -1;
  return SecondsSince(t0);
}

// ---- the seams ----

std::vector<float> ReadAll(Session& session, size_t block) {
  std::vector<float> out, buf(block * size_t(session.channels()));
  while (const size_t n = session.read(buf.data(), block))
    out.insert(out.end(), buf.begin(), buf.begin() + long(n * size_t(session.channels())));
  return out;
}

std::unique_ptr<Session> Prepared(const std::string& path) {
  std::string problem;
  std::unique_ptr<Session> session = Session::open(path, &problem);
  session->chain().setValues(Values());
  PrepareForExport(*session);
  session->chain().setCeilingDb(SaveCeilingDb(FileTypeMp3));
  return session;
}

constexpr int kWindow = 8192;

// Magnitude spectra of both channels of `frames` frames at `at` (Hann).
std::vector<double> Magnitudes(const std::vector<float>& x, int64_t at, RealFft& fft) {
  std::vector<double> mags;
  std::vector<float> in(kWindow), out(kWindow);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kWindow; ++i)
      in[size_t(i)] = float((0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / kWindow)) * x[size_t(at + i) * 2 + size_t(c)]);
    fft.forward(in.data(), out.data());
    for (int b = 0; b < kWindow / 2; ++b) mags.push_back(std::hypot(out[size_t(2 * b)], out[size_t(2 * b + 1)]));
  }
  return mags;
}

// The difference between a and b in a window centred on `centre`, in dB
// against a: of the magnitude spectra (what is heard, whatever the phases)
// and of the waveforms.
struct Difference {
  double spectrum = -200, waveform = -200;
};

Difference Differ(const std::vector<float>& a, const std::vector<float>& b, int64_t centre, RealFft& fft) {
  const int64_t at = centre - kWindow / 2;
  Difference d;
  if (at < 0 || size_t(at + kWindow) * 2 > std::min(a.size(), b.size())) return d;
  const std::vector<double> ma = Magnitudes(a, at, fft), mb = Magnitudes(b, at, fft);
  double e = 0, s = 0;
  for (size_t i = 0; i < ma.size(); ++i) {
    e += ma[i] * ma[i];
    s += (ma[i] - mb[i]) * (ma[i] - mb[i]);
  }
  double we = 0, ws = 0;
  for (int64_t i = at * 2; i < (at + kWindow) * 2; ++i) {
    we += double(a[size_t(i)]) * a[size_t(i)];
    ws += double(a[size_t(i)] - b[size_t(i)]) * (a[size_t(i)] - b[size_t(i)]);
  }
  d.spectrum = 10 * std::log10(s / e + 1e-20);
  d.waveform = 10 * std::log10(ws / we + 1e-20);
  return d;
}

// The worst of windows centred up to 0.1 s either side of `centre`.
Difference Around(const std::vector<float>& a, const std::vector<float>& b, int64_t centre, RealFft& fft) {
  Difference worst;
  for (int k = -4; k <= 4; ++k) {
    const Difference d = Differ(a, b, centre + k * 1100, fft);
    worst.spectrum = std::max(worst.spectrum, d.spectrum);
    worst.waveform = std::max(worst.waveform, d.waveform);
  }
  return worst;
}

void Seams(const std::string& wav) {
  std::printf("\nSeams (WAV source, the same values), split against whole, worst 186 ms window within 0.1 s;\n"
              "spectrum: magnitude spectra (what is heard), waveform: samples (phases included):\n");
  std::vector<float> whole, other;
  {
    std::unique_ptr<Session> s = Prepared(wav);
    whole = ReadAll(*s, 8192);
  }
  {
    std::unique_ptr<Session> s = Prepared(wav);
    other = ReadAll(*s, 1000);
  }
  SplitRender split(Prepared(wav), SplitSettings{}, std::stop_token(), [](const std::string& text) {
    std::printf("  split failed: %s\n", text.c_str());
  });
  split.start();
  std::vector<float> joined;
  {
    std::vector<float> buf(8192 * 2);
    while (const size_t n = split.read(buf.data(), 8192)) joined.insert(joined.end(), buf.begin(), buf.begin() + long(n * 2));
  }
  std::printf("  lengths: whole %zu frames, split %zu frames (%s); %d pieces, whose chains read %.3f x the song\n",
              whole.size() / 2, joined.size() / 2, whole.size() == joined.size() ? "equal" : "DIFFERENT",
              split.pieces(), split.sourceReadShare());
  size_t differing = 0;
  for (size_t i = 0; i < std::min(whole.size(), other.size()); ++i) differing += whole[i] != other[i];
  std::unique_ptr<RealFft> fft = RealFft::create(kWindow);
  const std::vector<SeamReport>& seams = split.seams();
  const int64_t total = int64_t(whole.size() / 2);
  double worstSeam = -200, worstAway = -200, worstBlocks = -200;
  for (size_t k = 0; k < seams.size(); ++k) {
    const int64_t centre = seams[k].outputFrame;
    const int64_t next = k + 1 < seams.size() ? seams[k + 1].outputFrame : total;
    const int64_t middle = (centre + next) / 2;
    const Difference at = Around(whole, joined, centre, *fft);
    const Difference away = Around(whole, joined, middle, *fft);
    const Difference blocks = Around(whole, other, centre, *fft);
    worstSeam = std::max(worstSeam, at.spectrum);
    worstAway = std::max(worstAway, away.spectrum);
    worstBlocks = std::max(worstBlocks, blocks.spectrum);
    std::printf("  seam %zu at %6.2f s (lag %+4lld, correlation %.2f): spectrum %6.1f dB, waveform %6.1f dB | "
                "mid-piece %6.1f / %6.1f dB | whole at two block sizes %s\n",
                k + 1, double(centre) / kRate, static_cast<long long>(seams[k].lag), seams[k].correlation,
                at.spectrum, at.waveform, away.spectrum, away.waveform,
                blocks.spectrum < -190 ? "identical" : std::to_string(blocks.spectrum).c_str());
  }
  std::printf("  worst: at a seam %.1f dB, mid-piece %.1f dB; whole renders at block sizes 8192 and 1000: %s\n",
              worstSeam, worstAway,
              differing == 0 ? "bit-identical (no difference to compare with)"
                             : (std::to_string(differing) + " samples differ, worst " + std::to_string(worstBlocks) + " dB").c_str());
  std::printf("  (goal: a seam no worse than the middle of a piece, where the split render is one unbroken\n"
              "   rendering that started elsewhere; the block size changes nothing in a whole render)\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--child")
    return Child(argv[2], argv[3], argv[4], std::atoi(argv[5]), std::atoi(argv[6]));
  const double seconds = argc > 1 ? std::atof(argv[1]) : 182.0;
  const int rounds = std::max(argc > 2 ? std::atoi(argv[2]) : 1, 1);
  const int cores = int(std::max(std::thread::hardware_concurrency(), 1u));
  const std::string dir = pwtest::TempDir("bench_save");
  const std::string wav = dir + "/song.wav", mp3 = dir + "/song.mp3";
  pwtest::WriteWav(wav, bench::DemoSong(seconds, kRate), kRate, 2, 16);
  if (!pwtest::Ffmpeg(wav, "-c:a libmp3lame -b:a 128k", mp3)) {
    std::printf("bench_save: could not make the MP3\n");
    return 1;
  }
  std::printf("Save of a %.0f s song (MP3 in, MP3 128k out), tempo +25 %%, pitch +3 st, %d cores:\n", seconds, cores);

  const std::string rb = "rubberband -q -R -3 -T1.25 -p3 '" + wav + "' '" + dir + "/rb.wav' > /dev/null 2>&1";
  const std::string lame = "lame --quiet -b 128 '" + dir + "/rb.wav' '" + dir + "/rb.mp3'";
  // The same stretch with Pitchwell's options: channels together
  // (--centre-focus) and high-consistency pitch, which the command line
  // takes from a pitch map (here one that leaves the -p3 as it is).
  {
    std::ofstream map(dir + "/pitchmap.txt");
    map << "0 0\n";
  }
  const std::string rbSame = "rubberband -q -R -3 -T1.25 -p3 --centre-focus --pitchmap '" + dir + "/pitchmap.txt' '" +
                             wav + "' '" + dir + "/rb-same.wav' > /dev/null 2>&1";
  double stretch = 1e9, withLame = 1e9, sameOptions = 1e9;
  Run whole{1e9, 0};
  std::vector<Run> split(size_t(cores), Run{1e9, 0});
  auto best = [](Run& kept, const Run& r) {
    if (r.seconds >= 0 && r.seconds < kept.seconds) kept.seconds = r.seconds, kept.cpuSeconds = r.cpuSeconds;
    kept.peakKiB = std::max(kept.peakKiB, r.peakKiB);
  };
  for (int round = 0; round < rounds; ++round) {
    const double a = Timed(rb);
    if (a >= 0) stretch = std::min(stretch, a);
    const double b = Timed(rb + " && " + lame);
    if (b >= 0) withLame = std::min(withLame, b);
    const double c = Timed(rbSame);
    if (c >= 0) sameOptions = std::min(sameOptions, c);
    best(whole, SaveInChild(mp3, dir + "/whole.mp3", 1, 1));
    for (int threads = 1; threads <= cores; ++threads)
      best(split[size_t(threads - 1)], SaveInChild(mp3, dir + "/split.mp3", 0, threads));
  }
  if (stretch >= 1e9) std::printf("  rubberband did not run (installed as /usr/bin/rubberband?)\n");
  std::printf("  %-40s %6.1f s\n", "rubberband -R -3 alone", stretch);
  std::printf("  %-40s %6.1f s\n", "rubberband -R -3 && lame -b 128", withLame);
  std::printf("  %-40s %6.1f s  (channels together, high-consistency pitch)\n", "rubberband -R -3, Pitchwell's options",
              sameOptions);
  std::printf("  %-40s %6.1f s  %.2f x the stretch alone, %.2f x with lame, %.2f x with its options; peak %.1f MiB\n",
              "Pitchwell, whole (one chain)", whole.seconds, whole.seconds / stretch, whole.seconds / withLame,
              whole.seconds / sameOptions, double(whole.peakKiB) / 1024);
  for (int threads = 1; threads <= cores; ++threads) {
    const Run& r = split[size_t(threads - 1)];
    char label[64];
    std::snprintf(label, sizeof label, "Pitchwell, split, %d thread%s", threads, threads == 1 ? "" : "s");
    std::printf("  %-40s %6.1f s  %.2f x the stretch alone, %.2f x with lame, %.2f x with its options; peak %.1f MiB "
                "(%.2f x whole)\n",
                label, r.seconds, r.seconds / stretch, r.seconds / withLame, r.seconds / sameOptions,
                double(r.peakKiB) / 1024, double(r.peakKiB) / double(whole.peakKiB));
  }
  std::printf("  goals: on 2 cores <= 0.60 x the stretch alone (on N cores about 1.2 / N); peak <= 1.5 x whole\n");
  // Where the time goes: the processor time a save needs, against the
  // cores that share it. No split can end sooner than that work divided by
  // the cores.
  const Run& widest = split[size_t(cores - 1)];
  if (whole.cpuSeconds > 0 && widest.cpuSeconds > 0)
    std::printf("  processor time: whole %.1f s, split %.1f s on %d thread%s (%.2f cores busy); that work over %d cores\n"
                "  is at least %.1f s = %.2f x the stretch alone\n",
                whole.cpuSeconds, widest.cpuSeconds, cores, cores == 1 ? "" : "s", widest.cpuSeconds / widest.seconds,
                cores, widest.cpuSeconds / cores, widest.cpuSeconds / cores / stretch);

  double latency = 0;
  bool clean = true;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::string cancel = Capture("'" + Self() + "' --child cancel '" + mp3 + "' '" + dir + "/cancelled.mp3' 0 0");
    double seconds = -1;
    int left = 0;
    if (std::sscanf(cancel.c_str(), "%lf %d", &seconds, &left) != 2) seconds = 1e9, left = 0;
    latency = std::max(latency, seconds);
    clean = clean && left == 1;
  }
  std::printf("  cancel 3 s into a split save, worst of 3: ended %.3f s after the request (goal < 0.3 s), %s\n",
              latency, clean ? "no file left" : "A FILE WAS LEFT OR THE SAVE FAILED");
  Seams(wav);
  return 0;
}
