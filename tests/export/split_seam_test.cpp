// A save split into pieces, heard where it is hardest: held tones, which
// offer no silence and no onset to hide a seam in. Each 60 s tone is saved
// with the product's planning rule (three pieces) and compared with the
// same save rendered whole: through every seam the level stays within
// 0.5 dB of the whole render's, the pitch makes no step, and the spectrum
// around the seam shows nothing above −50 dB (against the tone) that the
// whole render does not have. The output's length is the whole render's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "dsp/fft.h"
#include "engine/effect_chain.h"
#include "engine/session.h"
#include "export/save_command.h"
#include "export/split_render.h"
#include "message_capture.h"
#include "open_session.h"
#include "testaudio.h"

namespace {

constexpr int kRate = 22050;
constexpr double kSeconds = 60.0;

struct Tone {
  const char* name;
  std::vector<double> freqs;  // partials, Hz
  std::vector<double> amps;
};

// A sine; an A-major triad in equal temperament (its partials share no
// period, so no single shift aligns two renderings of it); a held vowel: 40
// harmonics of 150 Hz shaped by three formants.
std::vector<Tone> Tones() {
  std::vector<Tone> tones;
  tones.push_back({"sine", {440.0}, {0.5}});
  tones.push_back({"chord", {200.0, 250.0, 300.0, 400.0}, {0.22, 0.18, 0.18, 0.1}});
  Tone vowel{"vowel", {}, {}};
  for (int h = 1; h <= 30; ++h) {
    const double f = 150.0 * h;
    auto bump = [f](double centre, double width) { return std::exp(-std::pow((f - centre) / width, 2)); };
    vowel.freqs.push_back(f);
    vowel.amps.push_back(0.12 * (bump(700, 180) + 0.6 * bump(1200, 220) + 0.35 * bump(2600, 300) + 0.04));
  }
  tones.push_back(vowel);
  return tones;
}

std::vector<float> Render(const Tone& tone) {
  const size_t frames = size_t(kSeconds * kRate);
  std::vector<float> x(frames);
  for (size_t i = 0; i < frames; ++i) {
    const double t = double(i) / kRate;
    double y = 0;
    for (size_t k = 0; k < tone.freqs.size(); ++k) y += tone.amps[k] * std::sin(2 * M_PI * tone.freqs[k] * t + 0.7 * double(k * k));
    x[i] = float(y);
  }
  return x;
}

struct Saved {
  std::vector<float> whole, split;
  std::vector<SeamReport> seams;
};

// The save's sound, whole and split, read the way the export job reads it.
Saved Save(const std::string& path, const EffectValues& values) {
  Saved saved;
  auto prepare = [&] {
    std::unique_ptr<Session> session = pwtest::OpenSession(path);
    session->chain().setValues(values);
    PrepareForExport(*session);
    session->chain().setCeilingDb(-1.0);
    return session;
  };
  std::vector<float> block(8192);
  {
    std::unique_ptr<Session> session = prepare();
    while (const size_t n = session->read(block.data(), 8192)) saved.whole.insert(saved.whole.end(), block.begin(), block.begin() + long(n));
  }
  std::unique_ptr<Session> session = prepare();
  SplitSettings settings;  // the product's rule
  settings.threads = 2;
  EXPECT_EQ(SplitRender::plannedPieces(*session, settings), 3);
  std::string failure;
  SplitRender split(std::move(session), settings, std::stop_token(), [&](const std::string& text) { failure = text; });
  split.start();
  while (const size_t n = split.read(block.data(), 8192)) saved.split.insert(saved.split.end(), block.begin(), block.begin() + long(n));
  EXPECT_EQ(failure, "");
  saved.seams = split.seams();
  return saved;
}

double WindowDb(const std::vector<float>& x, int64_t from, int64_t frames) {
  double sum = 0;
  for (int64_t i = from; i < from + frames; ++i) sum += double(x[size_t(i)]) * x[size_t(i)];
  return 10 * std::log10(sum / double(frames) + 1e-20);
}

// Magnitude spectrum in dB of `frames` samples from `from`, under a
// 4-term Blackman-Harris window, zero-padded to `size`.
std::vector<double> SpectrumDb(const std::vector<float>& x, int64_t from, int frames, int size) {
  std::unique_ptr<RealFft> fft = RealFft::create(size);
  std::vector<float> in(size_t(size), 0.0f);
  std::vector<float> out(size_t(size), 0.0f);
  for (int i = 0; i < frames; ++i) {
    const double p = 2 * M_PI * (i + 0.5) / frames;
    const double w = 0.35875 - 0.48829 * std::cos(p) + 0.14128 * std::cos(2 * p) - 0.01168 * std::cos(3 * p);
    in[size_t(i)] = float(w * x[size_t(from + i)]);
  }
  fft->forward(in.data(), out.data());
  std::vector<double> db(size_t(size / 2));
  for (size_t b = 0; b < db.size(); ++b)
    db[b] = 10 * std::log10(double(out[2 * b]) * out[2 * b] + double(out[2 * b + 1]) * out[2 * b + 1] + 1e-20);
  return db;
}

// Frequency of the strongest partial (Hz), interpolated between bins.
double PeakFrequency(const std::vector<float>& x, int64_t from, int frames) {
  const int size = 1 << 16;
  const std::vector<double> db = SpectrumDb(x, from, frames, size);
  size_t peak = 1;
  for (size_t b = 1; b + 1 < db.size(); ++b)
    if (db[b] > db[peak]) peak = b;
  const double a = db[peak - 1], b = db[peak], c = db[peak + 1];
  const double shift = 0.5 * (a - c) / (a - 2 * b + c);
  return (double(peak) + shift) * kRate / size;
}

struct Case {
  double tempo, semitones;
};

TEST(SplitSeams, HeldTonesCrossEverySeamWithoutAStepInLevelPitchOrSpectrum) {
  pwtest::MessageCapture capture;
  const std::string dir = pwtest::TempDir("seams");
  // The product's two figures: slower and up 2, faster and up 3.
  const Case cases[] = {{-30, 2}, {25, 3}};
  const std::vector<Tone> tones = Tones();
  for (size_t t = 0; t < tones.size(); ++t) {
    const Tone& tone = tones[t];
    const Case& c = cases[t % 2];
    SCOPED_TRACE(testing::Message() << tone.name << ", tempo " << c.tempo << " %, " << c.semitones << " st");
    const std::string path = dir + "/" + tone.name + ".wav";
    pwtest::WriteWav(path, Render(tone), kRate, 1, 24);
    EffectValues values;
    values.tempoPercent = c.tempo;
    values.pitchSemitones = c.semitones;
    const Saved saved = Save(path, values);
    ASSERT_EQ(saved.split.size(), saved.whole.size());
    ASSERT_EQ(saved.seams.size(), 2u);

    // 20 ms at the source's pitch: whole periods of the beats between the
    // chord's notes and of the vowel's fundamental, so that their ripple
    // does not read as a change of level.
    const int64_t window = std::llround(kRate / 50.0 / std::pow(2.0, c.semitones / 12));
    for (const SeamReport& seam : saved.seams) {
      SCOPED_TRACE(testing::Message() << "seam at output frame " << seam.outputFrame << ", lag " << seam.lag
                                      << ", correlation " << seam.correlation);
      const int64_t centre = seam.outputFrame;
      ASSERT_GT(centre, 2 * kRate);
      ASSERT_LT(centre + 2 * kRate, int64_t(saved.split.size()));

      // Level: every 20 ms window through the seam against the whole render.
      double worst = 0;
      for (int64_t at = centre - kRate / 4; at < centre + kRate / 4; at += window / 4)
        worst = std::max(worst, std::fabs(WindowDb(saved.split, at, window) - WindowDb(saved.whole, at, window)));
      EXPECT_LE(worst, 0.5) << "level";
      // Pitch: the strongest partial before, across and after the seam.
      const int span = kRate / 10;
      const double before = PeakFrequency(saved.split, centre - kRate / 2 - span / 2, span);
      const double across = PeakFrequency(saved.split, centre - span / 2, span);
      const double after = PeakFrequency(saved.split, centre + kRate / 2 - span / 2, span);
      const double whole = PeakFrequency(saved.whole, centre - span / 2, span);
      EXPECT_NEAR(after / before, 1.0, 0.001) << before << " Hz before, " << after << " Hz after";
      // Across the fade the two renderings' phases meet, which may bend
      // the pitch for a moment by a few cents at most.
      EXPECT_NEAR(across / whole, 1.0, 0.003) << across << " Hz across, " << whole << " Hz whole";

      // A window as long as the ear's integration (about 0.19 s). What the
      // renderings have: the whole render there and every 50 ms up to half a
      // second either side, and each piece on its own a second from the
      // seam (the stretcher's floor between partials comes and goes with
      // time, some 35 dB under a held vowel's strongest partial, and differs
      // from one rendering to another).
      auto excessAt = [&](int64_t at, size_t* where) {
        const int size = 1 << 14, frames = 4096;
        const std::vector<double> split = SpectrumDb(saved.split, at - frames / 2, frames, size);
        std::vector<double> reference(split.size(), -400.0);
        auto include = [&](const std::vector<float>& x, double shift) {
          const std::vector<double> other = SpectrumDb(x, at + int64_t(shift * kRate) - frames / 2, frames, size);
          for (size_t b = 0; b < other.size(); ++b) reference[b] = std::max(reference[b], other[b]);
        };
        for (int k = -10; k <= 10; ++k) include(saved.whole, 0.05 * k);
        include(saved.split, -1.0);
        include(saved.split, 1.0);
        const double top = *std::max_element(reference.begin(), reference.end());
        double most = -100;
        const int lobe = 4 * size / frames;
        for (size_t b = 0; b < split.size(); ++b) {
          double present = top - 50;
          for (int d = -lobe; d <= lobe; ++d) {
            const long k = long(b) + d;
            if (k >= 0 && k < long(reference.size())) present = std::max(present, reference[size_t(k)]);
          }
          if (split[b] - present > most) {
            most = split[b] - present;
            *where = b * kRate / size;
          }
        }
        return most;
      };
      // Mixing two renderings leaves their floors where they were; a click
      // or a fade's sidebands would stand far above them.
      size_t where = 0;
      const double excess = excessAt(centre, &where);
      EXPECT_LE(excess, 3.0) << "at " << where << " Hz";
      std::printf("[ figures  ] %s seam %lld: lag %lld, correlation %.3f, level %.3f dB, pitch %.2f/%.2f/%.2f Hz, "
                  "spectrum excess %.1f dB\n",
                  tone.name, static_cast<long long>(centre), static_cast<long long>(seam.lag), seam.correlation, worst,
                  before, across, after, excess);
    }
  }
  EXPECT_TRUE(capture.seen.empty());
}

}  // namespace
