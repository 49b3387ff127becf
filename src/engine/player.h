// The output player: owns the decoder/output service from start-up to
// shutdown and the one output stream, which pulls the open file's reader
// (and through it the effect chain) on the service's output thread.
//
// Everything here runs on the main thread except StreamProc and
// EndSyncProc. The end of playback reaches the owner as a posted
// WM_STOPPLAYBACK event; the owner calls EndOfPlayback on the main thread.
#pragma once

#include <QEvent>
#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bass.h"
#include "audio_file_reader.h"

// Window message numbers, kept recognisable as user event types.
constexpr int WM_USER = 0x400;
constexpr QEvent::Type WM_STOPPLAYBACK = QEvent::Type(QEvent::User + 100);

class Player {
 public:
  static constexpr uint32_t AnalysisBufferSize = 176400;

  // Initialises the service. A wrong interface version shows its message and
  // throws VersionError (the program then exits).
  explicit Player(QObject* owner);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  struct VersionError : std::exception {
    const char* what() const noexcept override { return "An incorrect version of BASS.DLL was loaded"; }
  };

  void Open(const std::string& fileName);  // empty: only closes
  void Play();
  void Pause();
  void Stop();
  void SetVolume(int32_t value);  // 1 … 10000
  uint32_t GetPositionMs() const;
  void SetPositionMs(uint32_t ms);
  // The samples being heard: sets *buffer to AnalysisBuffer and returns the
  // byte count (the service's answer, −1 included); 0 without a reader.
  int32_t GetData(uint32_t length, const void** buffer);
  void EndOfPlayback();

  // Service callbacks (output thread).
  static DWORD StreamProc(HSTREAM handle, void* buffer, DWORD length, void* user);
  static void EndSyncProc(HSYNC handle, DWORD channel, DWORD data, void* user);

  QObject* Owner;
  std::string FileName;
  uint32_t SampleRate = 0;
  uint32_t Channels = 0;
  uint32_t BitsPerSample = 32;
  uint32_t BlockAlign = 0;
  int32_t DurationMs = 0;
  // 0 stopped, 1 playing, 2 paused. Written on the main thread (and by the
  // export job when it finishes); atomic because other threads look at it.
  std::atomic<uint8_t> State{0};
  std::function<void(Player*)> OnEnd;
  HSTREAM Stream = 0;
  bool Loaded = false;
  std::unique_ptr<ChainOutputReader> Reader;

 private:
  std::unique_ptr<uint8_t[]> AnalysisBuffer;
};

// The one player of the program; set to null before it is destroyed so that
// a stream callback arriving meanwhile answers 0.
extern std::atomic<Player*> ActivePlayer;
