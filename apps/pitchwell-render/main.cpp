// pitchwell-render: the window's save command from the command line.
//
// One render is what the window's save does: open a session of the file
// (reader, checks, chain), hand it the effect values, then the save
// command's preparation and the export job, run on this thread. No sound
// device is opened.
//
// Each render has a session of its own, so a batch runs its files on up to
// N threads of this process at once. A long stretched render splits over
// the cores (split_render.h); in a batch of N files at once each file gets
// max(1, cores / N) piece threads, so that files times pieces stay at the
// core count. The output is the same whatever the thread count.
//
// The output is the job's to protect (export_job.h): written under a
// temporary name and renamed into place at the end, so an interruption or a
// failure leaves a file that was already there as it was.
//
// --from-marker / --to-marker are looked up on this (the main) thread before
// any render starts: each input's content key, then its markers in the song
// memory, opened read-only (it is never created or written here).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QFile>
#include <QString>

#include "analysis/bpm_measurement.h"
#include "analysis/key_measurement.h"
#include "analysis/song_identity.h"
#include "decode/audio_file_reader.h"
#include "memory/song_memory.h"
#include "export/export_job.h"
#include "export/writers/audio_writer.h"
#include "core/messages.h"
#include "options.h"
#include "engine/session.h"
#include "engine/effect_values.h"
#include "export/save_command.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;
constexpr int kExitOutput = 3;
constexpr int kExitDamagedInput = 4;
constexpr int kExitWarning = 5;
constexpr int kExitSignalBase = 128;

const char* const kProgram = "pitchwell-render";

// One line of stderr per line of the text, each with the program's name.
void Say(const std::string& text) {
  size_t from = 0;
  for (;;) {
    const size_t end = text.find('\n', from);
    std::fprintf(stderr, "%s: %s\n", kProgram, text.substr(from, end - from).c_str());
    if (end == std::string::npos) break;
    from = end + 1;
  }
}

void Say(const pw::Message& m) { Say(m.caption.empty() ? m.text : m.caption + ": " + m.text); }

// How serious a file's status is, for the batch's overall one.
int Severity(int code) {
  switch (code) {
    case kExitOk: return 0;
    case kExitWarning: return 1;
    case kExitDamagedInput: return 2;
    case kExitUsage: return 3;
    case kExitInput: return 4;
    case kExitOutput: return 5;
    default: return 6;  // a signal
  }
}

int Usage(const std::string& problem) {
  Say(problem);
  std::fputs(render::UsageText().c_str(), stderr);
  std::fprintf(stderr, "Try '%s --help' for more.\n", kProgram);
  return kExitUsage;
}

// ---- Interruption --------------------------------------------------------
// SIGINT, SIGTERM and SIGHUP (the terminal closed) are blocked in every
// thread and taken by one watcher: every render in progress is cancelled
// like the progress window's Cancel (its temporary file is removed, nothing
// is put in place), and no further file is started. The process then exits
// with 128 + the first signal's number.

std::atomic<bool> Interrupted{false};
std::atomic<int> InterruptSignal{0};
std::mutex InterruptLock;
std::set<ExportJob*> RunningJobs;

void WatchSignals() {
  // A closed terminal or pipe on stderr must not kill us before the
  // clean-up (writes then just fail), and a file-size limit is a write
  // failure to report, not a reason to dump core.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      std::lock_guard lock(InterruptLock);
      int none = 0;
      InterruptSignal.compare_exchange_strong(none, sig);
      Interrupted.store(true);
      for (ExportJob* job : RunningJobs) job->cancel();
    }
  }).detach();
}

int InterruptedStatus() { return kExitSignalBase + InterruptSignal.load(); }

// ---- Progress --------------------------------------------------------------

class BarProgress : public ExportProgress {
 public:
  explicit BarProgress(bool visible) : visible_(visible) {}
  void reportProgress(int percent, int64_t) override {
    if (!visible_ || percent == last_) return;
    last_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", kWidth - filled, "",
                 percent);
    std::fflush(stderr);
  }
  void reportEnd(const ExportOutcome&) override {
    if (visible_ && last_ >= 0) std::fputc('\n', stderr);
  }

 private:
  const bool visible_;
  int last_ = -1;
};

// ---- One file --------------------------------------------------------------

// The effect values as typed, exactly.
EffectValues ValuesOf(const render::Options& o) {
  EffectValues v;
  v.speedPercent = o.speed.value;
  v.tempoPercent = o.tempo.value;
  v.pitchSemitones = o.pitch.value;
  v.treblePercent = o.treble.value;
  v.bassPercent = o.bass.value;
  v.fineTuneCents = o.cents;
  v.formantsPreserved = o.formant;
  return v;
}

// INPUT's sound path; null after saying why it cannot be used.
std::unique_ptr<Session> OpenInput(const std::string& input) {
  std::string problem;
  std::unique_ptr<Session> session = Session::open(input, &problem);
  if (!session && !problem.empty()) Say(input + ": " + problem);
  return session;
}

// The stretch of one input to render, in ms (-1: its start / its end).
struct Region {
  int64_t fromMs = -1;
  int64_t toMs = -1;
};

// ---- Markers -----------------------------------------------------------------

std::string Local(const QString& text) { return text.toLocal8Bit().toStdString(); }

std::string Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", double(ms) / 1000.0);
  return text;
}

// The place of the one marker named `name` in `record`; nothing after
// saying why there is none or more than one.
std::optional<int64_t> MarkerMs(const std::string& input, const SongRecord& record, const std::string& name) {
  const std::vector<SongMarker> named = record.markersNamed(QString::fromLocal8Bit(name));
  if (named.size() == 1) return named.front().ms;
  if (named.empty()) {
    std::string known;
    for (const SongMarker& m : record.markers) known += (known.empty() ? "\"" : ", \"") + Local(m.name) + "\"";
    Say(input + ": no marker named \"" + name + "\"; " +
        (known.empty() ? std::string("it has no markers") : "its markers: " + known));
    return std::nullopt;
  }
  std::string places;
  for (size_t i = 0; i < named.size(); ++i)
    places += (i == 0 ? "" : i + 1 == named.size() ? " and " : ", ") + Seconds(named[i].ms);
  Say(input + ": " + std::to_string(named.size()) + " markers are named \"" + name + "\" (at " + places +
      "); rename all but one in Pitchwell");
  return std::nullopt;
}

// Each input's stretch: --from/--to as given, a marker's place for
// --from-marker/--to-marker. kExitOk, or the status after saying why not.
int ResolveRegions(const render::Options& o, std::vector<Region>* regions) {
  regions->assign(o.inputs.size(), Region{o.fromMs, o.toMs});
  if (o.fromMarker.empty() && o.toMarker.empty()) return kExitOk;

  SongMemory memory(SongMemory::DefaultPath(), SongMemory::Access::ReadOnly);
  const std::string where = Local(QStringLiteral("\"%1\"").arg(memory.path()));
  for (size_t i = 0; i < o.inputs.size(); ++i) {
    const std::string& input = o.inputs[i];
    if (memory.problemKind() == SongMemory::Problem::Missing) {
      std::error_code ec;
      const bool exists = std::filesystem::exists(QFile::encodeName(memory.path()).toStdString(), ec);
      Say(input + " is not in the song memory (" + where + (exists ? ")" : " does not exist)"));
      return kExitUsage;
    }
    if (memory.state() == SongMemory::State::Off) {
      Say(Local(memory.problem()));
      return kExitInput;
    }
    std::string key;
    {
      AudioFileReader reader(input);  // says why when it does not open
      if (!reader.opened()) return kExitInput;
      key = SongContentKey(reader);
    }
    const std::optional<SongRecord> record = memory.load(key);
    if (memory.state() == SongMemory::State::Off) {
      Say(Local(memory.problem()));
      return kExitInput;
    }
    if (!record) {
      Say(input + " is not in the song memory (" + where + ")");
      return kExitUsage;
    }
    Region& region = (*regions)[i];
    for (auto [name, ms] : {std::pair{&o.fromMarker, &region.fromMs}, std::pair{&o.toMarker, &region.toMs}}) {
      if (name->empty()) continue;
      const std::optional<int64_t> at = MarkerMs(input, *record, *name);
      if (!at) return kExitUsage;
      *ms = *at;
    }
    const int64_t from = std::max<int64_t>(region.fromMs, 0);
    if (region.toMs >= 0 && region.toMs <= from) {
      const std::string start = o.fromMarker.empty()
                                    ? (o.fromMs >= 0 ? "--from (" + Seconds(from) + ")" : std::string("the start"))
                                    : "\"" + o.fromMarker + "\" (" + Seconds(from) + ")";
      const std::string end = o.toMarker.empty() ? "--to (" + Seconds(region.toMs) + ")"
                                                 : "\"" + o.toMarker + "\" (" + Seconds(region.toMs) + ")";
      Say(input + ": " + end + " does not come after " + start);
      return kExitUsage;
    }
  }
  return kExitOk;
}

// ---- Rendering ---------------------------------------------------------------

// Renders input to output with the options' sliders and format, `region`
// of it, splitting over pieceThreads threads (0: one per core).
int RenderFile(const render::Options& o, const std::string& input, const std::string& output, const Region& region,
               bool showProgress, int pieceThreads = 0) {
  const std::string outName = OutputFileName(output, o.formatIndex);
  if (auto refused = CheckOutputName(output, o.formatIndex, input)) {
    Say(*refused);
    return kExitUsage;
  }

  std::unique_ptr<Session> session = OpenInput(input);
  if (!session) return kExitInput;
  const int64_t durationMs = session->durationMs();

  if (region.fromMs >= 0 && region.fromMs >= durationMs) {
    char length[32];
    std::snprintf(length, sizeof length, "%.1f", double(durationMs) / 1000.0);
    Say(input + ": " + (o.fromMarker.empty() ? "--from" : "\"" + o.fromMarker + "\"") +
        " lies at or beyond its end (" + length + " s)");
    return kExitUsage;
  }
  BarProgress progress(showProgress);
  SaveRequest request{output, o.formatIndex, ValuesOf(o), o.bitrate, o.overwrite};
  request.fromMs = region.fromMs;
  request.toMs = region.toMs >= 0 ? std::min<int64_t>(region.toMs, durationMs) : -1;
  request.split.threads = pieceThreads;
  std::unique_ptr<ExportJob> job = CreateExport(std::move(session), request, &progress);
  {
    std::lock_guard lock(InterruptLock);
    RunningJobs.insert(job.get());
    if (Interrupted.load()) job->cancel();
  }
  job->run();
  {
    std::lock_guard lock(InterruptLock);
    RunningJobs.erase(job.get());
  }

  const ExportOutcome& outcome = job->outcome();
  if (outcome.cancelled) {
    Say("interrupted; " + outName + " was not written");
    return InterruptedStatus();
  }
  if (!outcome.failure.empty()) {
    Say(pw::Message{pw::MessageKind::Error, outcome.failureCaption, outcome.failure});
    if (outcome.outputExists) {
      Say("add -y (--overwrite) to replace it");
      return kExitUsage;
    }
    return kExitOutput;
  }
  bool warned = false;
  for (const pw::Message& m : outcome.messages) {
    Say(m);
    warned = warned || m.kind == pw::MessageKind::Warning || m.kind == pw::MessageKind::Error;
  }
  if (outcome.inputEndedShort) return kExitDamagedInput;
  return warned || outcome.companionMissing ? kExitWarning : kExitOk;
}

int Info(const render::Options& o) {
  const std::unique_ptr<Session> session = OpenInput(o.inputs.front());
  if (!session) return kExitInput;
  const AudioFileReader& reader = session->reader();
  const uint64_t frames = uint64_t(reader.lengthFrames());
  std::printf("file: %s\n", o.inputs.front().c_str());
  std::printf("sample rate: %d Hz\n", reader.sampleRate());
  std::printf("channels: %d\n", reader.channels());
  // The source's own resolution, not the depth a save would use.
  if (reader.sourceResolution() > 0)
    std::printf("bits: %d\n", reader.sourceResolution());
  else
    std::printf("bits: none (lossy)\n");
  std::printf("duration: %.6f s (%llu frames, %lld ms)\n", double(frames) / double(reader.sampleRate()),
              static_cast<unsigned long long>(frames), static_cast<long long>(reader.durationMs()));
  return kExitOk;
}

int Bpm(const render::Options& o) {
  const std::unique_ptr<Session> session = OpenInput(o.inputs.front());
  if (!session) return kExitInput;
  AudioFileReader& reader = session->reader();
  const float value = MeasureBpm(reader, reader.channels(), reader.sampleRate(), Interrupted);
  if (Interrupted.load()) return InterruptedStatus();
  std::printf("%s\n", BpmCaption(MeasuredBpmFrom(value), o.speed.value, o.tempo.value).c_str());
  return kExitOk;
}

int Key(const render::Options& o) {
  const std::unique_ptr<Session> session = OpenInput(o.inputs.front());
  if (!session) return kExitInput;
  AudioFileReader& reader = session->reader();
  const KeyEstimate key = MeasureKey(reader, reader.channels(), reader.sampleRate(), Interrupted);
  if (Interrupted.load()) return InterruptedStatus();
  std::printf("%s\n", KeyAndTuningCaption(key).c_str());
  return kExitOk;
}

// ---- Batch -------------------------------------------------------------------

int Batch(const render::Options& o, const std::vector<Region>& regions) {
  std::error_code ec;
  if (!std::filesystem::is_directory(o.outputDir, ec)) {
    Say(o.outputDir + ": not a folder");
    return kExitOutput;
  }
  std::vector<std::string> outputs;
  std::set<std::string> seen;
  for (const std::string& input : o.inputs) {
    const std::string stem = std::filesystem::path(input).stem().string();
    const std::string out = (std::filesystem::path(o.outputDir) / stem).string() + kOutputExtensions[size_t(o.formatIndex - 1)];
    if (!seen.insert(out).second) return Usage("two inputs would both be written to " + out);
    outputs.push_back(out);
  }

  const bool report = !o.quiet;
  const size_t threads = std::min(size_t(std::max(o.jobs, 1)), o.inputs.size());
  const int cores = int(std::max(std::thread::hardware_concurrency(), 1u));
  const int pieceThreads = std::max(1, cores / int(std::max<size_t>(threads, 1)));
  std::mutex lock;  // guards next, finished, worst and the report lines
  size_t next = 0, finished = 0;
  int worst = kExitOk;
  auto worker = [&] {
    for (;;) {
      size_t index;
      {
        std::lock_guard guard(lock);
        if (next >= o.inputs.size() || Interrupted.load()) return;
        index = next++;
      }
      const int code = RenderFile(o, o.inputs[index], outputs[index], regions[index], false, pieceThreads);
      std::lock_guard guard(lock);
      ++finished;
      if (Severity(code) > Severity(worst)) worst = code;
      const bool saved = code == kExitOk || code == kExitDamagedInput || code == kExitWarning;
      if (!saved)
        Say(o.inputs[index] + ": failed (exit status " + std::to_string(code) + ")");
      else if (report)
        std::fprintf(stderr, "[%zu/%zu] %s\n", finished, o.inputs.size(), outputs[index].c_str());
    }
  };
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) pool.emplace_back(worker);
  for (std::thread& t : pool) t.join();
  if (Interrupted.load()) worst = InterruptedStatus();
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  const render::ParseResult parsed = render::Parse(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) return Usage(parsed.error);
  const render::Options& o = *parsed.options;

  switch (o.mode) {
    case render::Mode::Help:
      std::fputs(render::HelpText().c_str(), stdout);
      return kExitOk;
    case render::Mode::Version:
      std::printf("%s %s\n", kProgram, PW_VERSION);
      return kExitOk;
    default:
      break;
  }

  pw::SetMessageHandler([](const pw::Message& m) { Say(m.text); });
  WatchSignals();

  try {
    switch (o.mode) {
      case render::Mode::Info:
        return Info(o);
      case render::Mode::Bpm:
        return Bpm(o);
      case render::Mode::Key:
        return Key(o);
      default:
        break;
    }
    std::vector<Region> regions;
    if (const int status = ResolveRegions(o, &regions); status != kExitOk) return status;
    if (o.mode == render::Mode::Batch) return Batch(o, regions);
    return RenderFile(o, o.inputs.front(), o.output, regions.front(), !o.quiet && isatty(STDERR_FILENO));
  } catch (const std::exception& e) {
    Say(e.what());
    return kExitOutput;
  }
}
