// pitchwell-render: the window's save command from the command line.
//
// One render is what the window does: open the file (the player and its
// reader), validate it with the file-open checks, rebuild the chain, set the
// sliders through the same mappings and setters, then the save command's
// preparation and the export job, run on this thread.
//
// The program has one player and one pitch stage (globals the chain
// reaches), so a process renders one file. A batch runs each file in a
// child process of its own (this program again, with the same options), at
// most N at once.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "player.h"
#include "effect_chain.h"
#include "bpm_measurement.h"
#include "export_job.h"
#include "audio_writer.h"
#include "messages.h"
#include "options.h"
#include "slider_mapping.h"
#include "save_command.h"
#include "settings_store.h"

extern char** environ;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;
constexpr int kExitOutput = 3;
constexpr int kExitInterrupted = 130;

const char* const kProgram = "pitchwell-render";

std::string OneLine(std::string text) {
  for (size_t p; (p = text.find("\r\n")) != std::string::npos;) text.replace(p, 2, " ");
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

void Say(const std::string& text) { std::fprintf(stderr, "%s: %s\n", kProgram, OneLine(text).c_str()); }

int Usage(const std::string& problem) {
  Say(problem);
  std::fputs(render::UsageText().c_str(), stderr);
  std::fprintf(stderr, "Try '%s --help' for more.\n", kProgram);
  return kExitUsage;
}

// ---- Interruption --------------------------------------------------------
// SIGINT and SIGTERM are blocked in every thread and taken by one watcher:
// a render in progress is cancelled like the progress window's Cancel (the
// output is deleted); a batch forwards the signal to its children.

std::atomic<bool> Interrupted{false};
std::mutex InterruptLock;
ExportJob* RunningJob = nullptr;
std::set<pid_t> Children;

void WatchSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      std::lock_guard lock(InterruptLock);
      Interrupted.store(true);
      if (RunningJob) RunningJob->Cancel();
      for (pid_t child : Children) kill(child, SIGINT);
    }
  }).detach();
}

// ---- Progress --------------------------------------------------------------

class BarProgress : public ExportProgress {
 public:
  explicit BarProgress(bool visible) : visible_(visible) {}
  void Post(int percent, int32_t) override {
    if (!visible_ || percent == last_) return;
    last_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", kWidth - filled, "",
                 percent);
    std::fflush(stderr);
  }
  void Close(const ExportOutcome&) override {
    if (visible_ && last_ >= 0) std::fputc('\n', stderr);
  }

 private:
  const bool visible_;
  int last_ = -1;
};

// ---- One file --------------------------------------------------------------

// The window's slider handlers with the sliders at the given positions (the
// labels they return are not shown here).
void ApplySliders(EffectChain& chain, const render::Options& o, uint32_t sampleRate) {
  chain.SpeedBarPositionChanged(o.speed.position);
  chain.TempoBarPositionChanged(o.tempo.position);
  chain.PitchBarPositionChanged(o.pitch.position);
  chain.TrebleBarPositionChanged(o.treble.position, o.treble.position, sampleRate);
  chain.BassBarPositionChanged(o.bass.position, o.bass.position, sampleRate);
}

// The player and chain of this process, as the window has them.
struct Engine {
  Player player{nullptr};
  std::unique_ptr<EffectChain> chain;

  Engine() {
    ActivePlayer.store(&player);
    chain = std::make_unique<EffectChain>();
  }
  ~Engine() {
    chain.reset();
    ActivePlayer.store(nullptr);
  }

  // The file-open step: the message of a file that cannot be used, if any.
  std::optional<std::string> Open(const std::string& input) {
    player.Open(input);
    if (auto problem = EffectChain::ValidateLoaded(player)) return problem;
    if (!chain->RebuildForFile(player)) return std::string("Filters Initialization Failed.");
    return std::nullopt;
  }
};

int RenderOne(const render::Options& o) {
  const std::string& input = o.inputs.front();
  const std::string outName = OutputFileName(o.output, o.formatIndex);
  if (auto refused = CheckOutputName(o.output, o.formatIndex, input)) {
    Say(*refused);
    return kExitUsage;
  }

  Engine engine;
  if (auto problem = engine.Open(input)) {
    Say(*problem);
    return kExitInput;
  }
  ApplySliders(*engine.chain, o, engine.player.SampleRate);
  Settings.Bitrate = o.bitrate;
  Settings.BitrateIndex = BitrateIndexOf(o.bitrate);

  BarProgress progress(!o.quiet && isatty(STDERR_FILENO));
  std::unique_ptr<ExportJob> job = CreateExport(
      engine.player, *engine.chain, SaveRequest{o.output, o.formatIndex, o.speed.position, o.tempo.position});
  job->Progress = &progress;
  {
    std::lock_guard lock(InterruptLock);
    RunningJob = job.get();
    if (Interrupted.load()) job->Cancel();
  }
  job->Run();
  {
    std::lock_guard lock(InterruptLock);
    RunningJob = nullptr;
  }

  const ExportOutcome& outcome = job->Outcome();
  for (const pw::Message& m : outcome.messages) Say(m.caption.empty() ? m.text : m.caption + ": " + m.text);
  if (outcome.cancelled) {
    Say("interrupted; " + outName + " was deleted");
    return kExitInterrupted;
  }
  if (!outcome.failure.empty()) {
    Say(outcome.failure);
    return kExitOutput;
  }
  return outcome.messages.empty() ? kExitOk : kExitOutput;
}

int Info(const render::Options& o) {
  Engine engine;
  if (auto problem = engine.Open(o.inputs.front())) {
    Say(*problem);
    return kExitInput;
  }
  const Player& p = engine.player;
  const uint64_t frames = uint64_t(p.Reader->Decoder->lengthFrames());
  std::printf("file: %s\n", o.inputs.front().c_str());
  std::printf("sample rate: %u Hz\n", p.SampleRate);
  std::printf("channels: %u\n", p.Channels);
  std::printf("bits: %d\n", p.Reader->SourceBits);
  std::printf("duration: %.6f s (%llu frames, %d ms)\n", double(frames) / double(p.SampleRate),
              static_cast<unsigned long long>(frames), p.DurationMs);
  return kExitOk;
}

int Bpm(const render::Options& o) {
  Engine engine;
  if (auto problem = engine.Open(o.inputs.front())) {
    Say(*problem);
    return kExitInput;
  }
  // As GET BPM: stop, rewind, empty the chain, then measure the source.
  PrepareForExport(engine.player, *engine.chain);
  const float value = MeasureBpm(*engine.player.Reader, int32_t(engine.player.Channels),
                                 int32_t(engine.player.SampleRate), Interrupted);
  if (Interrupted.load()) return kExitInterrupted;
  std::printf("%s\n", pw::BpmCaption(MeasuredBpmFrom(value), o.speed.position, o.tempo.position).c_str());
  return kExitOk;
}

// ---- Batch -------------------------------------------------------------------

std::vector<std::string> ChildArguments(const render::Options& o, const std::string& input,
                                        const std::string& output) {
  std::vector<std::string> a = {kProgram};
  const std::pair<const char*, const render::SliderArg*> sliders[] = {
      {"--speed=", &o.speed}, {"--tempo=", &o.tempo}, {"--pitch=", &o.pitch},
      {"--treble=", &o.treble}, {"--bass=", &o.bass}};
  for (const auto& [name, slider] : sliders)
    if (!slider->text.empty()) a.push_back(name + slider->text);
  a.push_back("--bitrate=" + std::to_string(o.bitrate));
  a.push_back("-q");
  a.push_back("--");
  a.push_back(input);
  a.push_back(output);
  return a;
}

int Batch(const render::Options& o) {
  std::error_code ec;
  if (!std::filesystem::is_directory(o.outputDir, ec)) {
    Say(o.outputDir + ": not a folder");
    return kExitOutput;
  }
  std::vector<std::string> outputs;
  std::set<std::string> seen;
  for (const std::string& input : o.inputs) {
    const std::string stem = std::filesystem::path(input).stem().string();
    const std::string out = (std::filesystem::path(o.outputDir) / stem).string() + OutputExtensions[size_t(o.formatIndex - 1)];
    if (!seen.insert(out).second) return Usage("two inputs would both be written to " + out);
    outputs.push_back(out);
  }

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

  const bool report = !o.quiet;
  std::map<pid_t, size_t> running;
  size_t next = 0, finished = 0;
  int worst = kExitOk;
  while (next < o.inputs.size() || !running.empty()) {
    while (running.size() < size_t(o.jobs) && next < o.inputs.size() && !Interrupted.load()) {
      std::vector<std::string> args = ChildArguments(o, o.inputs[next], outputs[next]);
      std::vector<char*> argv;
      for (auto& s : args) argv.push_back(s.data());
      argv.push_back(nullptr);
      std::lock_guard lock(InterruptLock);
      pid_t pid = 0;
      if (posix_spawn(&pid, "/proc/self/exe", nullptr, &attr, argv.data(), environ) != 0) {
        Say(o.inputs[next] + ": cannot start a render process");
        worst = std::max(worst, kExitOutput);
      } else {
        running[pid] = next;
        Children.insert(pid);
      }
      ++next;
    }
    if (running.empty()) {
      if (Interrupted.load()) break;
      continue;
    }
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) continue;
    const auto it = running.find(pid);
    if (it == running.end()) continue;
    const size_t index = it->second;
    running.erase(it);
    {
      std::lock_guard lock(InterruptLock);
      Children.erase(pid);
    }
    ++finished;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kExitInterrupted;
    worst = std::max(worst, code);
    if (code != kExitOk)
      Say(o.inputs[index] + ": failed (exit status " + std::to_string(code) + ")");
    else if (report)
      std::fprintf(stderr, "[%zu/%zu] %s\n", finished, o.inputs.size(), outputs[index].c_str());
  }
  posix_spawnattr_destroy(&attr);
  if (Interrupted.load()) worst = std::max(worst, kExitInterrupted);
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

  // No sound is played: keep the output service off any real device.
  setenv("PITCHWELL_AUDIO", "null", 1);
  pw::SetMessageHandler([](const pw::Message& m) { Say(m.text); });
  WatchSignals();

  try {
    switch (o.mode) {
      case render::Mode::Info:
        return Info(o);
      case render::Mode::Bpm:
        return Bpm(o);
      case render::Mode::Batch:
        return Batch(o);
      default:
        return RenderOne(o);
    }
  } catch (const Player::VersionError& e) {
    Say(e.what());
    return kExitInput;
  } catch (const std::exception& e) {
    Say(e.what());
    return kExitOutput;
  }
}
