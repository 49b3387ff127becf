#include "effect_chain.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "player.h"
#include "messages.h"
#include "slider_mapping.h"

int32_t CornerFrequency(int32_t wanted, int32_t sampleRate) {
  return wanted > sampleRate / 2 ? sampleRate / 4 : wanted;
}

EffectChain::EffectChain(Player& player) : player_(player), ScratchBuffer(new float[ScratchBufferSize / sizeof(float)]) {
  SpeedDSP = std::make_unique<SpeedStage>();
  ReplacePitchStage(44100, 1);
  BassFreq = 200;
  TrebleFreq = 16000;
  BassFilter = std::make_unique<ShelfFilter>(2);
  TrebleFilter = std::make_unique<ShelfFilter>(2);
  Limiter = std::make_unique<PeakLimiter>(2, 44100, CeilingDb());
}

EffectChain::~EffectChain() {
  SpeedDSP.reset();
  OwnedPitchStage.reset();
  BassFilter.reset();
  TrebleFilter.reset();
  Limiter.reset();
}

void EffectChain::ReplacePitchStage(int32_t sampleRate, int32_t channels) {
  OwnedPitchStage.reset();
  auto read = [](void* user, float* buffer, int floats) {
    return int(static_cast<EffectChain*>(user)->ReadSource(buffer, floats));
  };
  OwnedPitchStage = PitchTempoStage::create(channels, sampleRate, read, this);
  if (OwnedPitchStage) OwnedPitchStage->setFormantPreserved(formantPreserved_);
}

std::optional<std::string> EffectChain::ValidateLoaded(const Player& player) {
  if (!player.Loaded) return "This audio format not supported";
  if (player.DurationMs == 0) {
    const int64_t frames = player.Reader && player.Reader->Decoder ? player.Reader->Decoder->lengthFrames() : 0;
    if (frames <= 0) return "Audio file is empty.";
    char text[96];
    std::snprintf(text, sizeof text, "Audio file is too short (%lld sample%s, %.2f ms).", static_cast<long long>(frames),
                  frames == 1 ? "" : "s", player.SampleRate > 0 ? 1000.0 * double(frames) / player.SampleRate : 0.0);
    return std::string(text);
  }
  if (player.SampleRate > 48000) return "Sampling rates higher than 48000 Hz are not supported.";
  if (player.Channels > 2)
    return "Multi-channel audio files are not supported. Please select only STEREO or MONO files.";
  return std::nullopt;
}

bool EffectChain::RebuildForFile(Player& player) {
  try {
    const int32_t rate = int32_t(player.SampleRate);
    const int32_t channels = int32_t(player.Channels);
    if (rate <= 0 || channels <= 0) throw std::runtime_error("no file");

    // Each filter is made anew for the channel count, flat at its corner.
    auto rebuild = [&](std::unique_ptr<ShelfFilter>& filter, ShelfType type, int32_t corner) {
      filter.reset();
      filter = std::make_unique<ShelfFilter>(channels);
      filter->set(type, double(corner) / rate, 0.5, 0);
    };
    BassFreq = CornerFrequency(200, rate);
    rebuild(BassFilter, ShelfType::Low, BassFreq);
    TrebleFreq = CornerFrequency(16000, rate);
    rebuild(TrebleFilter, ShelfType::High, TrebleFreq);

    SpeedDSP->clear();
    SpeedDSP->configure(channels);

    Limiter.reset();
    Limiter = std::make_unique<PeakLimiter>(channels, rate, CeilingDb());
    limiterInPath_ = false;

    ReplacePitchStage(rate, channels);

    if (player.Reader) {
      player.Reader->OnProcess = [this](void* buffer, int32_t& count) { ProcessBlock(buffer, count); };
      player.Reader->OnFill = [this](void* buffer, int32_t& count) { FillBlock(buffer, count); };
    }
    return true;
  } catch (const std::exception&) {
    pw::ShowMessage(pw::MessageKind::Error, "Filters Initialization Failed.");
    return false;
  }
}

void EffectChain::FillBlock(void* buffer, int32_t& count) {
  PitchTempoStage* stage = OwnedPitchStage.get();
  if (count == 0 || stage == nullptr || player_.Channels == 0) {
    count = 0;
    return;
  }
  const int32_t frameBytes = int32_t(player_.Channels) * 4;
  const int32_t frames = count / frameBytes;
  const int32_t got = stage->process(static_cast<float*>(buffer), frames);
  count = got * frameBytes;
}

bool EffectChain::AnyEffectOn() const {
  if (SpeedValue.load(std::memory_order_relaxed) != 0 || BassValue.load(std::memory_order_relaxed) != 0 ||
      TrebleValue.load(std::memory_order_relaxed) != 0)
    return true;
  const PitchTempoStage* stage = OwnedPitchStage.get();
  return stage && (stage->pitchRatio() != 1.0 || stage->durationRatio() != 1.0);
}

void EffectChain::ProcessBlock(void* buffer, int32_t& count) {
  if (player_.Channels == 0) return;
  const int32_t channels = int32_t(player_.Channels);
  const int32_t frameBytes = channels * 4;
  auto* bytes = static_cast<uint8_t*>(buffer);
  const bool ended = count == 0;

  if (SpeedValue.load(std::memory_order_relaxed) != 0) {
    if (!ended)
      SpeedDSP->put(static_cast<const float*>(buffer), count / frameBytes);
    else
      SpeedDSP->endOfInput();
    // The block buffer bounds what one block may hold; whatever does not fit
    // stays in the stage for the next block rather than being lost.
    const int32_t capacity = int32_t(ChainOutputReader::BlockBufferSize);
    int32_t written = 0;
    for (;;) {
      const int32_t room = (capacity - written) / frameBytes;
      const int32_t want = room < 2048 ? room : 2048;
      if (want <= 0) break;
      const int32_t n = SpeedDSP->get(ScratchBuffer.get(), want);
      if (n <= 0) break;
      std::memcpy(bytes + written, ScratchBuffer.get(), size_t(n) * size_t(frameBytes));
      written += n * frameBytes;
    }
    if (ended) SpeedDSP->clear();
    count = written;
  }
  if (BassValue.load(std::memory_order_relaxed) != 0)
    BassFilter->process(static_cast<float*>(buffer), count / frameBytes);
  if (TrebleValue.load(std::memory_order_relaxed) != 0)
    TrebleFilter->process(static_cast<float*>(buffer), count / frameBytes);

  // The limiter joins when an effect comes on: it holds its delay back, so
  // the output goes on without a gap. It leaves once the effects are off and
  // its release has ended, handing back what it held, so nothing repeats
  // and the gain makes no step; at the end of the stream it hands it back
  // as well (what does not fit in the block buffer comes with the next,
  // empty, block).
  const bool on = AnyEffectOn();
  if (on || limiterInPath_) {
    limiterInPath_ = true;
    auto* samples = static_cast<float*>(buffer);
    int32_t frames = Limiter->process(samples, count / frameBytes, on);
    if (ended || (!on && Limiter->atRest())) {
      const int32_t room = int32_t(ChainOutputReader::BlockBufferSize) / frameBytes - frames;
      frames += Limiter->drain(samples + size_t(frames) * size_t(channels), room);
      limiterInPath_ = Limiter->heldFrames() > 0;
    }
    count = frames * frameBytes;
  }
}

int32_t EffectChain::ReadSource(float* buffer, int32_t floats) {
  ChainOutputReader* reader = player_.Reader.get();
  if (!reader) return 0;
  if (const int64_t end = SourceEnd(); end >= 0 && reader->Decoder && player_.Channels > 0) {
    const int64_t left = end - reader->Decoder->positionFrames();
    if (left <= 0) return 0;
    floats = int32_t(std::min<int64_t>(floats, left * int64_t(player_.Channels)));
  }
  if (!Loop.active() || !reader->Decoder || player_.Channels == 0)
    return int32_t(reader->UnbufferedRead(buffer, uint32_t(floats) * 4) / 4);
  const int64_t frames = Loop.read(*reader->Decoder, buffer, floats / int32_t(player_.Channels));
  reader->UpdatePosition();
  return int32_t(frames) * int32_t(player_.Channels);
}

void EffectChain::FlushAll() {
  if (OnClearAnalyser) OnClearAnalyser();
  BassFilter->flush();
  TrebleFilter->flush();
  Limiter->reset();
  limiterInPath_ = false;
  if (OwnedPitchStage) OwnedPitchStage->flush();
  Loop.reset();
  SpeedDSP->clear();
  if (player_.Reader) player_.Reader->DiscardBuffer();
}

void EffectChain::SetCeilingDb(double dBTP) {
  Limiter->setCeilingDb(dBTP);
  ceilingDb_.store(Limiter->ceilingDb(), std::memory_order_relaxed);
}

void EffectChain::SetSpeed(int32_t speedValue, float percent) {
  SpeedValue.store(speedValue);
  SpeedDSP->setSpeedPercent(percent);
}

void EffectChain::SetTempo(float steps) {
  if (OwnedPitchStage) OwnedPitchStage->setTempoSteps(steps);
}

void EffectChain::SetTempoPercent(double percent) {
  if (OwnedPitchStage) OwnedPitchStage->setDurationRatio(100.0 / (100.0 + percent));
}

void EffectChain::SetPitch(double semitones) {
  pitchSemitones_ = semitones;
  // Without a fine offset the slider's value goes to the stage as it is, so
  // renders stay bit-identical to those made before the offset existed.
  if (OwnedPitchStage)
    OwnedPitchStage->setPitchSemitones(fineTuneCents_ == 0 ? semitones : semitones + fineTuneCents_ / 100.0);
}

void EffectChain::SetFineTuneCents(double cents) {
  fineTuneCents_ = std::isfinite(cents) ? std::clamp(cents, -100.0, 100.0) : 0.0;
  SetPitch(pitchSemitones_);
}

void EffectChain::SetFormantPreserved(bool on) {
  formantPreserved_ = on;
  if (OwnedPitchStage) OwnedPitchStage->setFormantPreserved(on);
}

void EffectChain::SetTreble(int32_t trebleValue, double gainDb, uint32_t sampleRate) {
  TrebleValue.store(trebleValue);
  // Before any file is open the rate is 0; the filter stays flat on the
  // invalid corner and is set properly by the next open.
  TrebleFilter->set(ShelfType::High, double(TrebleFreq) / double(sampleRate), 0.5, gainDb);
}

void EffectChain::SetBass(int32_t bassValue, double gainDb, uint32_t sampleRate) {
  BassValue.store(bassValue);
  BassFilter->set(ShelfType::Low, double(BassFreq) / double(sampleRate), 0.5, gainDb);
}

std::string EffectChain::SpeedBarPositionChanged(double x) {
  const pw::SpeedSetting s = pw::SpeedFromPosition(x);
  SetSpeed(s.speedValue, s.percent);
  return s.label;
}

std::string EffectChain::TempoBarPositionChanged(double p) {
  const pw::TempoSetting t = pw::TempoFromPosition(p);
  SetTempo(t.steps);
  return t.label;
}

std::string EffectChain::PitchBarPositionChanged(double p) {
  const pw::PitchSetting s = pw::PitchFromPosition(p);
  SetPitch(s.semitones);
  return s.label;
}

std::string EffectChain::TrebleBarPositionChanged(double x, double p, uint32_t sampleRate) {
  const pw::ToneSetting t = pw::TrebleFromPosition(x, p);
  SetTreble(t.switchValue, t.gainDb, sampleRate);
  return t.label;
}

std::string EffectChain::BassBarPositionChanged(double x, double p, uint32_t sampleRate) {
  const pw::ToneSetting t = pw::BassFromPosition(x, p);
  SetBass(t.switchValue, t.gainDb, sampleRate);
  return t.label;
}
