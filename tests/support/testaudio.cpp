#include "testaudio.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace pwtest {
namespace fs = std::filesystem;

std::string FixtureDir() { return PW_FIXTURE_DIR; }

std::string TempDir(const std::string& name) {
  fs::path dir = fs::path(PW_TEST_TMP) / (name + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

bool Run(const std::string& command) {
  const int rc = std::system(command.c_str());
  return rc == 0;
}

std::vector<float> ClickTrack(double bpm, double seconds, int rate, int channels) {
  const size_t frames = size_t(seconds * rate);
  std::vector<float> x(frames * size_t(channels), 0.0f);
  const double period = 60.0 / bpm * rate;
  const size_t clickFrames = size_t(0.03 * rate);
  for (double start = 0; start < double(frames); start += period) {
    const size_t s = size_t(std::llround(start));
    for (size_t i = 0; i < clickFrames && s + i < frames; ++i) {
      const double t = double(i) / rate;
      const float v = float(0.8 * std::exp(-t / 0.006) * std::sin(2 * M_PI * 1500 * t));
      for (int c = 0; c < channels; ++c) x[(s + i) * size_t(channels) + size_t(c)] = v;
    }
  }
  return x;
}

std::vector<float> Sine(double freq, int rate, int channels, size_t frames, double amplitude) {
  std::vector<float> out(frames * size_t(channels));
  for (size_t i = 0; i < frames; ++i) {
    const float v = float(amplitude * std::sin(2.0 * M_PI * freq * double(i) / rate));
    for (int c = 0; c < channels; ++c) out[i * size_t(channels) + size_t(c)] = v;
  }
  return out;
}

namespace {
void put16(std::ofstream& f, uint16_t v) { f.put(char(v & 0xff)); f.put(char(v >> 8)); }
void put32(std::ofstream& f, uint32_t v) { put16(f, uint16_t(v & 0xffff)); put16(f, uint16_t(v >> 16)); }

int64_t toInt(float v, int bits) {
  const double scale = std::ldexp(1.0, bits - 1);
  double s = std::nearbyint(double(v) * scale);
  if (s > scale - 1) s = scale - 1;
  if (s < -scale) s = -scale;
  return int64_t(s);
}
}  // namespace

std::vector<float> Quantize(const std::vector<float>& interleaved, int bits) {
  if (bits == 32) return interleaved;
  std::vector<float> out(interleaved.size());
  const double scale = std::ldexp(1.0, bits - 1);
  for (size_t i = 0; i < out.size(); ++i) out[i] = float(double(toInt(interleaved[i], bits)) / scale);
  return out;
}

void WriteWav(const std::string& path, const std::vector<float>& x, int rate, int channels, int bits) {
  std::ofstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot write " + path);
  const uint32_t bytesPerSample = uint32_t(bits / 8);
  const uint32_t dataBytes = uint32_t(x.size()) * bytesPerSample;
  f.write("RIFF", 4); put32(f, 36 + dataBytes); f.write("WAVEfmt ", 8);
  put32(f, 16); put16(f, bits == 32 ? 3 : 1); put16(f, uint16_t(channels));
  put32(f, uint32_t(rate)); put32(f, uint32_t(rate) * uint32_t(channels) * bytesPerSample);
  put16(f, uint16_t(uint32_t(channels) * bytesPerSample)); put16(f, uint16_t(bits));
  f.write("data", 4); put32(f, dataBytes);
  for (float v : x) {
    if (bits == 32) {
      f.write(reinterpret_cast<const char*>(&v), 4);
    } else if (bits == 8) {
      f.put(char(uint8_t(toInt(v, 8) + 128)));
    } else {
      const int64_t s = toInt(v, bits);
      for (uint32_t b = 0; b < bytesPerSample; ++b) f.put(char((s >> (8 * b)) & 0xff));
    }
  }
}

bool Ffmpeg(const std::string& wav, const std::string& args, const std::string& out) {
  return Run("ffmpeg -nostdin -hide_banner -loglevel error -y -i '" + wav + "' " + args + " '" + out + "'");
}

double ZeroCrossingFrequency(const float* x, size_t frames, int channels, int channel, int rate) {
  double first = -1, last = -1;
  long count = 0;
  for (size_t i = 1; i < frames; ++i) {
    const double a = x[(i - 1) * size_t(channels) + size_t(channel)];
    const double b = x[i * size_t(channels) + size_t(channel)];
    if (a < 0 && b >= 0) {
      const double t = double(i - 1) + (-a) / (b - a);
      if (first < 0) first = t; else ++count;
      last = t;
    }
  }
  if (count == 0) return 0;
  return count * double(rate) / (last - first);
}

double Rms(const float* data, size_t count) {
  double s = 0;
  for (size_t i = 0; i < count; ++i) s += double(data[i]) * data[i];
  return count ? std::sqrt(s / double(count)) : 0;
}

double Peak(const float* data, size_t count) {
  double p = 0;
  for (size_t i = 0; i < count; ++i) p = std::max(p, std::fabs(double(data[i])));
  return p;
}

double TruePeakDb(const float* interleaved, size_t frames, int channels, int oversampling) {
  constexpr int kHalf = 32;
  std::vector<std::vector<double>> kernel(static_cast<size_t>(oversampling));
  for (int k = 1; k < oversampling; ++k) {
    for (int j = -kHalf + 1; j <= kHalf; ++j) {
      const double t = double(k) / oversampling - j;
      const double sinc = std::sin(M_PI * t) / (M_PI * t);
      const double w = 0.42 + 0.5 * std::cos(M_PI * t / kHalf) + 0.08 * std::cos(2 * M_PI * t / kHalf);
      kernel[size_t(k)].push_back(sinc * w);
    }
  }
  double peak = 0;
  for (int c = 0; c < channels; ++c) {
    auto at = [&](int64_t i) {
      return i < 0 || i >= int64_t(frames) ? 0.0 : double(interleaved[size_t(i) * size_t(channels) + size_t(c)]);
    };
    for (int64_t i = 0; i < int64_t(frames); ++i) {
      peak = std::max(peak, std::fabs(at(i)));
      for (int k = 1; k < oversampling; ++k) {
        double v = 0;
        for (int j = -kHalf + 1; j <= kHalf; ++j) v += kernel[size_t(k)][size_t(j + kHalf - 1)] * at(i + j);
        peak = std::max(peak, std::fabs(v));
      }
    }
  }
  return 20 * std::log10(peak);
}

std::vector<float> Harmonic(int rate, int channels, size_t frames) {
  std::vector<float> x(frames * size_t(channels));
  for (size_t i = 0; i < frames; ++i) {
    const double t = double(i) / rate;
    const double swell = 0.75 + 0.25 * std::sin(2 * M_PI * 1.3 * t);
    for (int c = 0; c < channels; ++c) {
      double v = 0;
      for (int k = 1; k <= 8; ++k) v += std::sin(2 * M_PI * 220.0 * k * t + 0.7 * c * k) / k;
      x[i * size_t(channels) + size_t(c)] = float(0.18 * swell * v);
    }
  }
  return x;
}

double ResidualDb(const std::vector<float>& x, const std::vector<float>& y, int channels, size_t maxLag,
                  size_t* bestLag) {
  const size_t ch = size_t(channels);
  const size_t frames = x.size() / ch;
  const size_t from = 4096, to = frames - 4096;
  double least = 1e300;
  size_t lagAt = 0;
  for (size_t lag = 0; lag <= maxLag && (to + lag) * ch <= y.size(); ++lag) {
    double r = 0;
    for (size_t i = from; i < to; i += 5) {
      const double d = double(y[(i + lag) * ch]) - x[i * ch];
      r += d * d;
    }
    if (r < least) least = r, lagAt = lag;
  }
  double s = 0, r = 0;
  for (size_t i = from * ch; i < to * ch; ++i) {
    const double d = double(y[i + lagAt * ch]) - x[i];
    s += double(x[i]) * x[i];
    r += d * d;
  }
  if (bestLag) *bestLag = lagAt;
  return 10 * std::log10(s / std::max(r, 1e-30));
}

std::vector<std::string> Temporaries(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (e.path().filename().string().find(".pitchwell-") != std::string::npos)
      out.push_back(e.path().filename().string());
  return out;
}

}  // namespace pwtest
