#include "output_device.h"

#include <dlfcn.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace pwbass::out {
namespace {

// ---- quiet probing ----

// PortAudio's ALSA and JACK back ends print pages of diagnostics on stderr
// while they probe (missing cards, no JACK server). Both libraries are loaded
// with PortAudio, so their handlers can be silenced without linking them.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
void quietJack(const char*) {}

void quietBackends() {
  using AlsaSetter = int (*)(void (*)(const char*, int, const char*, int, const char*, ...));
  using JackSetter = void (*)(void (*)(const char*));
  if (auto set = reinterpret_cast<AlsaSetter>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler"))) set(quietAlsa);
  if (auto set = reinterpret_cast<JackSetter>(dlsym(RTLD_DEFAULT, "jack_set_error_function"))) set(quietJack);
  if (auto set = reinterpret_cast<JackSetter>(dlsym(RTLD_DEFAULT, "jack_set_info_function"))) set(quietJack);
}

// ---- PortAudio ----

struct PaStreamCloser {
  void operator()(PaStream* s) const {
    Pa_AbortStream(s);
    Pa_CloseStream(s);
  }
};

class PortAudioSink final : public Sink {
 public:
  explicit PortAudioSink(Stream& stream) : stream_(stream) {}

  int open(int index) {
    const StreamFormat& f = stream_.format();
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    if (info == nullptr) return BASS_ERROR_DEVICE;
    PaStreamParameters p{};
    p.device = index;
    p.channelCount = f.deviceChannels;
    p.sampleFormat = paFloat32;
    // The generous default: a stream callback that reads files must not
    // underrun, and nothing here needs a short round trip.
    p.suggestedLatency = info->defaultHighOutputLatency;
    PaStream* raw = nullptr;
    if (Pa_OpenStream(&raw, nullptr, &p, f.deviceRate, paFramesPerBufferUnspecified, paNoFlag, &PortAudioSink::callback,
                      this) != paNoError)
      return BASS_ERROR_DRIVER;
    pa_.reset(raw);
    if (const PaStreamInfo* si = Pa_GetStreamInfo(raw)) latency_ = si->outputLatency;
    if (Pa_StartStream(raw) != paNoError) {
      pa_.reset();
      return BASS_ERROR_DRIVER;
    }
    return BASS_OK;
  }

  double now() const override { return pa_ ? Pa_GetStreamTime(pa_.get()) : 0.0; }

 private:
  static int callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                      PaStreamCallbackFlags, void* user) {
    auto* self = static_cast<PortAudioSink*>(user);
    double dac = time != nullptr ? time->outputBufferDacTime : 0.0;
    if (dac <= 0.0 && time != nullptr) dac = time->currentTime + self->latency_;
    self->stream_.render(static_cast<float*>(output), frames, dac);
    return paContinue;
  }

  Stream& stream_;
  double latency_ = 0.0;
  std::unique_ptr<PaStream, PaStreamCloser> pa_;  // closes before the rest goes
};

bool supported(int index, int channels, double rate) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
  if (info == nullptr || info->maxOutputChannels < channels) return false;
  PaStreamParameters p{};
  p.device = index;
  p.channelCount = channels;
  p.sampleFormat = paFloat32;
  p.suggestedLatency = info->defaultHighOutputLatency;
  return Pa_IsFormatSupported(nullptr, &p, rate) == paFormatIsSupported;
}

// ---- null device ----

class NullSink final : public Sink {
 public:
  static constexpr size_t kBlock = 1024;  // frames per pull; also its latency

  NullSink(Stream& stream, bool fast)
      : stream_(stream),
        fast_(fast),
        rate_(stream.format().deviceRate),
        buffer_(kBlock * size_t(stream.format().deviceChannels)),
        base_(std::chrono::steady_clock::now()) {
    thread_ = std::thread([this] { run(); });
  }

  ~NullSink() override {
    quit_.store(true, std::memory_order_relaxed);
    thread_.join();
  }

  double now() const override {
    if (fast_) return clock_.load(std::memory_order_acquire);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - base_).count();
  }

 private:
  void run() {
    using Clock = std::chrono::steady_clock;
    const double blockSeconds = double(kBlock) / rate_;
    const auto blockTime = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(blockSeconds));
    uint64_t frames = 0;
    auto next = Clock::now();
    while (!quit_.load(std::memory_order_relaxed)) {
      if (fast_) {
        // Its clock is the frames it has consumed; one block is buffered.
        const double t = double(frames) / rate_;
        const size_t got = stream_.render(buffer_.data(), kBlock, t + blockSeconds);
        frames += kBlock;
        clock_.store(double(frames) / rate_, std::memory_order_release);
        if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      stream_.render(buffer_.data(), kBlock, now() + blockSeconds);
      next += blockTime;
      const auto t = Clock::now();
      if (next < t - 4 * blockTime) next = t;  // fell far behind: don't burst
      // Sleep in short steps so that closing does not wait for a whole block.
      while (!quit_.load(std::memory_order_relaxed) && Clock::now() < next)
        std::this_thread::sleep_until(std::min(next, Clock::now() + std::chrono::milliseconds(5)));
    }
  }

  Stream& stream_;
  const bool fast_;
  const int rate_;
  std::vector<float> buffer_;
  const std::chrono::steady_clock::time_point base_;
  std::atomic<double> clock_{0.0};
  std::atomic<bool> quit_{false};
  std::thread thread_;  // last: starts once the rest is ready
};

// PITCHWELL_AUDIO: "null" or "null-fast", optionally ":RATE".
bool nullFromEnvironment(Device* out) {
  const char* env = std::getenv("PITCHWELL_AUDIO");
  if (env == nullptr) return false;
  const std::string value(env);
  const std::string kind = value.substr(0, value.find(':'));
  if (kind != "null" && kind != "null-fast") return false;
  out->kind = kind == "null" ? Device::kNull : Device::kNullFast;
  out->nullRate = 0;
  if (const auto colon = value.find(':'); colon != std::string::npos)
    out->nullRate = std::max(0, std::atoi(value.c_str() + colon + 1));
  return true;
}

// The index of the n-th (1-based) device that has outputs, or paNoDevice.
int nthOutputDevice(int n) {
  const int count = Pa_GetDeviceCount();
  for (int i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info != nullptr && info->maxOutputChannels > 0 && --n == 0) return i;
  }
  return paNoDevice;
}

}  // namespace

int openDevice(int device, DWORD freq, Device* out) {
  Device d;
  d.preferredRate = freq >= 8000 && freq <= 384000 ? int(freq) : 44100;
  if (device < -1) return BASS_ERROR_DEVICE;
  if (nullFromEnvironment(&d) || device == 0) {
    if (device == 0) d.kind = Device::kNull;  // "no sound"
    *out = d;
    return BASS_OK;
  }

  quietBackends();
  if (Pa_Initialize() != paNoError) {
    if (device > 0) return BASS_ERROR_DRIVER;
    *out = d;  // no PortAudio: the real-time null device
    return BASS_OK;
  }
  const int index = device == -1 ? Pa_GetDefaultOutputDevice() : nthOutputDevice(device);
  // A default device that takes neither common format is as good as none
  // (headless machines list an ALSA "default" with nothing behind it).
  const bool usable = index != paNoDevice && (supported(index, 2, 44100) || supported(index, 2, 48000) ||
                                              supported(index, 1, 44100) || supported(index, 1, 48000));
  if (!usable) {
    Pa_Terminate();
    if (device > 0) return BASS_ERROR_DEVICE;
    *out = d;
    return BASS_OK;
  }
  d.kind = Device::kPortAudio;
  d.index = index;
  *out = d;
  return BASS_OK;
}

void closeDevice(const Device& device) {
  if (device.kind == Device::kPortAudio) Pa_Terminate();
}

int chooseFormat(const Device& device, int rate, int channels, StreamFormat* format) {
  format->rate = rate;
  format->channels = channels;
  if (device.kind != Device::kPortAudio) {
    format->deviceRate = device.nullRate > 0 ? device.nullRate : rate;
    format->deviceChannels = channels;
    return BASS_OK;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device.index);
  if (info == nullptr) return BASS_ERROR_DEVICE;
  const int otherChannels = channels == 1 ? 2 : 1;
  const int fewerChannels = channels > 2 ? 2 : otherChannels;
  const double rates[] = {double(rate), double(device.preferredRate), info->defaultSampleRate, 48000.0, 44100.0};
  for (const int ch : {channels, fewerChannels, otherChannels}) {
    for (const double r : rates) {
      if (r < 8000 || r > 384000 || r != std::floor(r)) continue;
      if (supported(device.index, ch, r)) {
        format->deviceRate = int(r);
        format->deviceChannels = ch;
        return BASS_OK;
      }
    }
  }
  return BASS_ERROR_FORMAT;
}

int startSink(const Device& device, Stream& stream) {
  if (device.kind != Device::kPortAudio) {
    stream.attach(std::make_unique<NullSink>(stream, device.kind == Device::kNullFast));
    return BASS_OK;
  }
  auto sink = std::make_unique<PortAudioSink>(stream);
  if (const int error = sink->open(device.index); error != BASS_OK) return error;
  stream.attach(std::move(sink));
  return BASS_OK;
}

}  // namespace pwbass::out
