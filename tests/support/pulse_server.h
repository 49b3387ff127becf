// A private PulseAudio server with a null sink ("pwtest", 44.1 kHz stereo),
// for the test and the benchmark that play through the real device path.
// While it lives, XDG_RUNTIME_DIR and HOME point into its scratch folders
// and PITCHWELL_AUDIO is unset; helper processes it starts end with it,
// however the caller leaves. Header-only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace pwtest {

// Starts `args` with stdout and stderr in `log`; -1 when it cannot start.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Sends `sig`, waits up to two seconds, then kills.
inline void Kill(pid_t pid, int sig) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Ends a helper process however the caller leaves.
struct ProcessGuard {
  pid_t pid;
  int sig;
  ~ProcessGuard() { Kill(pid, sig); }
  void Stop() {
    Kill(pid, sig);
    pid = -1;
  }
};

// Starts recording the null sink's monitor into `wav` (32-bit float, 44.1 kHz
// stereo) with parecord asking for `latencyMs`; its output goes to `log`.
// The pid, or -1 when it cannot start. Stop it with SIGINT so that it
// finishes the file.
inline pid_t RecordSink(const std::string& wav, const std::string& log, int latencyMs = 20) {
  return Spawn({"parecord", "--device=pwtest.monitor", "--latency-msec=" + std::to_string(latencyMs),
                "--format=float32le", "--rate=44100", "--channels=2", "--file-format=wav", wav},
               log);
}

// Float samples of a WAV that parecord wrote with --format=float32le (it may
// leave the sizes unset: everything after the data header is taken).
inline std::vector<float> ReadRecording(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
  std::vector<float> out;
  for (size_t i = 12; i + 8 <= bytes.size();) {
    uint32_t size;
    std::memcpy(&size, &bytes[i + 4], 4);
    if (std::memcmp(&bytes[i], "data", 4) == 0) {
      const size_t n = (bytes.size() - (i + 8)) / 4;
      out.resize(n);
      std::memcpy(out.data(), &bytes[i + 8], n * 4);
      return out;
    }
    i += 8 + size + (size & 1);
  }
  return out;
}

class PulseServer {
 public:
  // `dir`: a scratch folder for the server's home and logs.
  explicit PulseServer(const std::string& dir) : dir_(dir) {
    // The server's socket lives here: keep the path short, whatever folder
    // the build tree is in (a unix socket path has at most 107 bytes).
    char runtimeTemplate[] = "/tmp/pwpulse-XXXXXX";
    if (::mkdtemp(runtimeTemplate) == nullptr) return;
    runtime_ = runtimeTemplate;
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("HOME", dir.c_str(), 1);  // cookie and state stay in the scratch folder
    unsetenv("PULSE_SERVER");
    unsetenv("PITCHWELL_AUDIO");  // the real device path
    server_.pid = Spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                         "--disable-shm=yes", "--load=module-null-sink sink_name=pwtest rate=44100",
                         "--load=module-native-protocol-unix"},
                        log());
    for (int i = 0; i < 100 && server_.pid > 0 && !up_; ++i) {
      up_ = std::filesystem::exists(runtime_ + "/pulse/native");
      if (!up_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ~PulseServer() {
    Stop();
    std::error_code ec;
    if (!runtime_.empty()) std::filesystem::remove_all(runtime_, ec);
  }
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool up() const { return up_; }
  std::string log() const { return dir_ + "/pulseaudio.log"; }
  void Stop() { server_.Stop(); }

 private:
  std::string dir_;
  std::string runtime_;
  bool up_ = false;
  ProcessGuard server_{-1, SIGTERM};
};

}  // namespace pwtest
