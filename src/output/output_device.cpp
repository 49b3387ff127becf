#include "output/output_device.h"

#include <dlfcn.h>
#include <portaudio.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "output/realtime_pacer.h"
#include "output/thread_priority.h"
#include "output/wake_signal.h"

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

// The device buffer we ask for: the device thread only copies from the ring,
// so it can run with short buffers, and every millisecond here is heard
// after a slider move. Much shorter than this, PulseAudio clients tend to
// glitch when the machine is busy.
constexpr double kSuggestedLatency = 0.040;

class PortAudioSink final : public OutputSink {
 public:
  explicit PortAudioSink(OutputStream& stream) : stream_(stream) {}

  AudioError open(int index) {
    const OutputStream::Format& f = stream_.format();
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    if (info == nullptr) return AudioError::Device;
    PaStreamParameters p{};
    p.device = index;
    p.channelCount = f.deviceChannels;
    p.sampleFormat = paFloat32;
    p.suggestedLatency = std::max(kSuggestedLatency, info->defaultLowOutputLatency);
    PaStream* raw = nullptr;
    if (Pa_OpenStream(&raw, nullptr, &p, f.deviceRate, paFramesPerBufferUnspecified, paNoFlag,
                      &PortAudioSink::callback, this) != paNoError)
      return AudioError::Driver;
    pa_.reset(raw);
    if (const PaStreamInfo* si = Pa_GetStreamInfo(raw)) latency_ = si->outputLatency;
    if (Pa_StartStream(raw) != paNoError) {
      pa_.reset();
      return AudioError::Driver;
    }
    return AudioError::None;
  }

  double now() const override { return pa_ ? Pa_GetStreamTime(pa_.get()) : 0.0; }
  double latency() const override { return latency_; }

 private:
  // PortAudio's callback thread: under OutputStream::render's real-time
  // contract.
  static int callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                      PaStreamCallbackFlags flags, void* user) {
    auto* self = static_cast<PortAudioSink*>(user);
    if (!self->named_) {
      // Once, so that the thread can be told apart (top -H, debuggers).
      pthread_setname_np(pthread_self(), "pw-device");
      self->named_ = true;
    }
    if (flags & paOutputUnderflow) self->stream_.countLateDeviceCall();
    double dac = time != nullptr ? time->outputBufferDacTime : 0.0;
    if (dac <= 0.0 && time != nullptr) dac = time->currentTime + self->latency_;
    self->stream_.render(static_cast<float*>(output), frames, dac);
    return paContinue;
  }

  OutputStream& stream_;
  double latency_ = 0.0;
  bool named_ = false;  // device thread
  std::unique_ptr<PaStream, PaStreamCloser> pa_;  // closes before the rest goes
};

bool supported(int index, int channels, double rate) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
  if (info == nullptr || info->maxOutputChannels < channels) return false;
  PaStreamParameters p{};
  p.device = index;
  p.channelCount = channels;
  p.sampleFormat = paFloat32;
  p.suggestedLatency = std::max(kSuggestedLatency, info->defaultLowOutputLatency);
  return Pa_IsFormatSupported(nullptr, &p, rate) == paFormatIsSupported;
}

// ---- null device ----

class NullSink final : public OutputSink {
 public:
  static constexpr size_t kBlock = 1024;  // frames per call; also its latency

  NullSink(OutputStream& stream, bool fast)
      : stream_(stream),
        fast_(fast),
        rate_(stream.format().deviceRate),
        buffer_(kBlock * size_t(stream.format().deviceChannels)),
        base_(std::chrono::steady_clock::now()) {
    thread_ = std::thread([this] { run(); });
  }

  ~NullSink() override {
    quit_.store(true, std::memory_order_seq_cst);
    wake_.signal();
    thread_.join();
  }

  double now() const override {
    if (fast_) return clock_.load(std::memory_order_acquire);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - base_).count();
  }
  double latency() const override { return double(kBlock) / rate_; }

 private:
  // The device thread: under OutputStream::render's real-time contract.
  void run() {
    pthread_setname_np(pthread_self(), "pw-device");
    if (fast_)
      runFast();
    else
      runRealTime();
  }

  void runFast() {
    // Its clock is the frames it has consumed; one block is buffered.
    const double blockSeconds = double(kBlock) / rate_;
    uint64_t frames = 0;
    int waited = 0;
    while (!quit_.load(std::memory_order_relaxed)) {
      // As fast as the producer delivers, but no faster: a short wait for a
      // full block keeps a source that merely lags from sounding broken up.
      if (!stream_.readyFor(kBlock) && waited < 50) {
        ++waited;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        continue;
      }
      waited = 0;
      const double t = double(frames) / rate_;
      const size_t got = stream_.render(buffer_.data(), kBlock, t + blockSeconds);
      frames += kBlock;
      clock_.store(double(frames) / rate_, std::memory_order_release);
      if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void runRealTime() {
    // Like a sound card's thread: above the producer that feeds it.
    RaiseThreadPriority(2);
    EnableFlushToZero();
    using Clock = std::chrono::steady_clock;
    const double blockSeconds = double(kBlock) / rate_;
    RealTimePacer pacer(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(blockSeconds)),
                        Clock::now());
    while (!quit_.load(std::memory_order_relaxed)) {
      if (pacer.late(Clock::now())) stream_.countLateDeviceCall();
      stream_.render(buffer_.data(), kBlock, now() + blockSeconds);
      const auto next = pacer.advance(Clock::now());
      // One sleep per block; closing wakes it at once.
      for (auto now = Clock::now(); now < next && !quit_.load(std::memory_order_seq_cst); now = Clock::now())
        wake_.wait(0, next - now);
    }
  }

  OutputStream& stream_;
  const bool fast_;
  const int rate_;
  std::vector<float> buffer_;
  const std::chrono::steady_clock::time_point base_;
  std::atomic<double> clock_{0.0};
  std::atomic<bool> quit_{false};
  WakeSignal wake_;     // the destructor wakes the device thread
  std::thread thread_;  // last: starts once the rest is ready
};

// PITCHWELL_AUDIO: "null" or "null-fast", optionally ":RATE".
bool nullFromEnvironment(OutputDevice::Kind* kind, int* rate) {
  const char* env = std::getenv("PITCHWELL_AUDIO");
  if (env == nullptr) return false;
  const std::string value(env);
  const std::string name = value.substr(0, value.find(':'));
  if (name != "null" && name != "null-fast") return false;
  *kind = name == "null" ? OutputDevice::Kind::Null : OutputDevice::Kind::NullFast;
  *rate = 0;
  if (const auto colon = value.find(':'); colon != std::string::npos)
    *rate = std::max(0, std::atoi(value.c_str() + colon + 1));
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

// The PortAudio library from a successful Pa_Initialize to its Pa_Terminate
// (PortAudio counts them, so devices can come and go independently).
struct OutputDevice::PortAudioSession {
  PortAudioSession() = default;
  ~PortAudioSession() { Pa_Terminate(); }
  PortAudioSession(const PortAudioSession&) = delete;
  PortAudioSession& operator=(const PortAudioSession&) = delete;
};

std::unique_ptr<OutputDevice> OutputDevice::open(int device, int preferredRate, AudioError* error) {
  *error = AudioError::None;
  if (device < -1) {
    *error = AudioError::Device;
    return nullptr;
  }
  std::unique_ptr<OutputDevice> d(new OutputDevice);
  d->preferredRate_ = preferredRate >= 8000 && preferredRate <= 384000 ? preferredRate : 44100;
  if (nullFromEnvironment(&d->kind_, &d->nullRate_) || device == 0) {
    if (device == 0) d->kind_ = Kind::Null;  // "no sound"
    return d;
  }

  quietBackends();
  if (Pa_Initialize() != paNoError) {
    if (device > 0) {
      *error = AudioError::Driver;
      return nullptr;
    }
    d->standInReason_ = AudioError::Driver;
    return d;  // no PortAudio: the real-time null device
  }
  auto session = std::make_unique<PortAudioSession>();
  const int index = device == -1 ? Pa_GetDefaultOutputDevice() : nthOutputDevice(device);
  // A default device that takes neither common format is as good as none
  // (headless machines list an ALSA "default" with nothing behind it).
  const bool usable = index != paNoDevice && (supported(index, 2, 44100) || supported(index, 2, 48000) ||
                                              supported(index, 1, 44100) || supported(index, 1, 48000));
  if (!usable) {
    if (device > 0) {
      *error = AudioError::Device;
      return nullptr;
    }
    d->standInReason_ = AudioError::Device;
    return d;
  }
  d->kind_ = Kind::PortAudio;
  d->index_ = index;
  d->portAudio_ = std::move(session);
  return d;
}

OutputDevice::~OutputDevice() = default;

std::string OutputDevice::description() const {
  switch (kind_) {
    case Kind::PortAudio: {
      const PaDeviceInfo* info = Pa_GetDeviceInfo(index_);
      if (info == nullptr) return "PortAudio";
      const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
      return std::string("PortAudio: ") + info->name + (host != nullptr ? std::string(" (") + host->name + ")" : "");
    }
    case Kind::Null:
      return "null device, real time";
    case Kind::NullFast:
      return "null device, as fast as the stream delivers";
  }
  return {};
}

AudioError OutputDevice::chooseFormat(int rate, int channels, OutputStream::Format* format) const {
  format->rate = rate;
  format->channels = channels;
  if (kind_ != Kind::PortAudio) {
    format->deviceRate = nullRate_ > 0 ? nullRate_ : rate;
    format->deviceChannels = std::min(channels, 2);
    return AudioError::None;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index_);
  if (info == nullptr) return AudioError::Device;
  const int otherChannels = channels == 1 ? 2 : 1;
  const int fewerChannels = channels > 2 ? 2 : otherChannels;
  const double rates[] = {double(rate), double(preferredRate_), info->defaultSampleRate, 48000.0, 44100.0};
  for (const int ch : {channels, fewerChannels, otherChannels}) {
    for (const double r : rates) {
      if (r < 8000 || r > 384000 || r != std::floor(r)) continue;
      if (supported(index_, ch, r)) {
        format->deviceRate = int(r);
        format->deviceChannels = ch;
        return AudioError::None;
      }
    }
  }
  return AudioError::SampleFormat;
}

std::unique_ptr<OutputStream> OutputDevice::createStream(int rate, int channels, OutputSource& source,
                                                         AudioError* error) {
  *error = AudioError::None;
  if (rate < 4000 || rate > 384000 || channels < 1 || channels > 8) {
    *error = AudioError::SampleFormat;
    return nullptr;
  }
  OutputStream::Format format{};
  if (const AudioError e = chooseFormat(rate, channels, &format); e != AudioError::None) {
    *error = e;
    return nullptr;
  }
  auto stream = std::make_unique<OutputStream>(format, source);
  if (kind_ != Kind::PortAudio) {
    stream->attach(std::make_unique<NullSink>(*stream, kind_ == Kind::NullFast));
    return stream;
  }
  auto sink = std::make_unique<PortAudioSink>(*stream);
  if (const AudioError e = sink->open(index_); e != AudioError::None) {
    *error = e;
    return nullptr;
  }
  stream->attach(std::move(sink));
  return stream;
}
