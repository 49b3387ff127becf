// Prints decoding throughput against the ffmpeg command-line decoder, and
// the pitch and speed stages' throughput, for a generated 3-minute stereo
// file. Figures are "× real time" (seconds of audio per second of CPU/wall).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decode/audio_decoder.h"
#include "dsp/pitch_tempo_stage.h"
#include "dsp/speed.h"
#include "bench_material.h"
#include "testaudio.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr double kSeconds = 180;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::vector<float> makeSignal() { return bench::ChordWithBeat(kSeconds, kRate, 7); }

double decodeOurs(const std::string& path) {
  const auto t0 = Clock::now();
  AudioError error = AudioError::None;
  const std::unique_ptr<AudioDecoder> d = AudioDecoder::open(path, &error);
  if (!d) {
    std::printf("  cannot open %s (error %d)\n", path.c_str(), ErrorCode(error));
    return -1;
  }
  std::vector<float> buf(size_t(1 << 14) * size_t(d->channels()));
  int64_t total = 0;
  for (int64_t n; (n = d->read(buf.data(), 1 << 14)) > 0;) total += n;
  const double elapsed = secondsSince(t0);
  if (total != int64_t(kSeconds * kRate)) std::printf("  note: decoded %lld frames\n", static_cast<long long>(total));
  return elapsed;
}

double decodeFfmpeg(const std::string& path) {
  const auto t0 = Clock::now();
  pwtest::Run("ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -i '" + path + "' -f f32le -y /dev/null");
  return secondsSince(t0);
}

struct Source {
  const std::vector<float>* x;
  size_t pos;
};

int readSource(void* user, float* buffer, int floats) {
  auto* s = static_cast<Source*>(user);
  const size_t n = std::min(size_t(floats), s->x->size() - s->pos);
  std::copy_n(s->x->data() + s->pos, n, buffer);
  s->pos += n;
  return int(n);
}

double benchPitch(const std::vector<float>& x, double pitchRatio, double durationRatio) {
  Source src{&x, 0};
  const std::unique_ptr<PitchTempoStage> t = PitchTempoStage::create(kChannels, kRate, readSource, &src);
  if (!t) return -1;
  t->setPitchRatio(pitchRatio);
  t->setDurationRatio(durationRatio);
  std::vector<float> out(4096 * kChannels);
  const auto t0 = Clock::now();
  while (t->process(out.data(), 4096) > 0) {
  }
  return secondsSince(t0);
}

double benchSpeed(const std::vector<float>& x, float percent) {
  SpeedStage d;
  d.setSpeedPercent(percent);
  d.clear();
  d.configure(kChannels);
  std::vector<float> out(2048 * kChannels);
  const auto t0 = Clock::now();
  const size_t block = 4096;
  for (size_t f = 0; f < x.size() / kChannels; f += block) {
    const size_t n = std::min(block, x.size() / kChannels - f);
    d.put(x.data() + f * kChannels, int(n));
    while (d.get(out.data(), 2048) > 0) {
    }
  }
  d.endOfInput();
  while (d.get(out.data(), 2048) > 0) {
  }
  return secondsSince(t0);
}
}  // namespace

int main() {
  const std::string dir = (std::filesystem::temp_directory_path() / "pitchwell-bench").string();
  std::filesystem::create_directories(dir);
  std::printf("Generating a %.0f-second stereo %d Hz signal...\n", kSeconds, kRate);
  const std::vector<float> x = makeSignal();
  const std::string wav = dir + "/bench.wav";
  pwtest::WriteWav(wav, x, kRate, kChannels, 16);

  std::printf("\nDecoding (wall time, one thread each; x real time, higher is better)\n");
  std::printf("  %-6s %12s %12s %10s\n", "format", "ours", "ffmpeg", "ours/ffmpeg");
  const struct { const char* ext; const char* args; } formats[] = {
      {"wav", ""}, {"flac", "-c:a flac"}, {"mp3", "-c:a libmp3lame -b:a 192k"},
      {"m4a", "-c:a aac -b:a 160k"}, {"ogg", "-c:a libvorbis -q:a 5"}};
  for (const auto& f : formats) {
    const std::string path = dir + "/bench." + f.ext;
    if (std::string(f.ext) != "wav" && !pwtest::Ffmpeg(wav, f.args, path)) {
      std::printf("  %-6s (could not encode)\n", f.ext);
      continue;
    }
    decodeOurs(path);  // warm the page cache
    const double ours = decodeOurs(path);
    const double theirs = decodeFfmpeg(path);
    if (ours <= 0) continue;
    std::printf("  %-6s %10.0fx %10.0fx %10.2f\n", f.ext, kSeconds / ours, kSeconds / theirs, theirs / ours);
  }

  std::printf("\nPitch/tempo stage (x real time)\n");
  std::printf("  bypass (0 st, 0 %%)          %8.1fx\n", kSeconds / benchPitch(x, 1.0, 1.0));
  std::printf("  +3 st, tempo +25 %%          %8.1fx\n", kSeconds / benchPitch(x, std::pow(2.0, 3.0 / 12), 1 / 1.25));
  std::printf("  -12 st                      %8.1fx\n", kSeconds / benchPitch(x, 0.5, 1.0));
  std::printf("  tempo -50 %%                 %8.1fx\n", kSeconds / benchPitch(x, 1.0, 2.0));

  std::printf("\nSpeed stage (x real time)\n");
  for (float p : {25.f, -50.f, 100.f})
    std::printf("  speed %+5.0f %%               %8.1fx\n", p, kSeconds / benchSpeed(x, p));
  std::filesystem::remove_all(dir);
  return 0;
}
