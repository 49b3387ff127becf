#include "player.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>

#include "messages.h"

std::atomic<Player*> ActivePlayer{nullptr};

namespace {
void serviceMessage(const char* text) {
  pw::ShowMessage(pw::MessageKind::Plain, pw::WithErrorCode(text, BASS_ErrorGetCode()));
}
}  // namespace

Player::Player(QObject* owner) : Owner(owner) {
  if ((BASS_GetVersion() >> 16) != BASSVERSION) {
    pw::ShowMessage(pw::MessageKind::Error, "An incorrect version of BASS.DLL was loaded");
    throw VersionError();
  }
  if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) serviceMessage("Error initializing audio!");
  for (const char* plugin : {"bassflac.dll", "basswma.dll", "bassalac.dll", "bass_aac.dll", "bassape.dll"})
    BASS_PluginLoad(plugin, BASS_UNICODE);
  AnalysisBuffer.reset(new uint8_t[AnalysisBufferSize]);
}

Player::~Player() {
  if (State == 1) BASS_ChannelStop(Stream);
  State = 0;
  if (Reader) {
    // Stop the stream before the reader goes, so no callback can reach it.
    BASS_ChannelStop(Stream);
    Reader.reset();
    BASS_StreamFree(Stream);
    Stream = 0;
  }
  BASS_Free();
}

void Player::Open(const std::string& fileName) {
  if (State != 0) Stop();
  if (Reader) {
    // The stream may have ended by itself or be paused: stop it for certain
    // before its reader is released.
    BASS_ChannelStop(Stream);
    Reader.reset();
    BASS_StreamFree(Stream);
    Stream = 0;
  }
  Loaded = false;
  if (fileName.empty()) return;

  Reader = std::make_unique<ChainOutputReader>(fileName);
  if (!Reader->Opened) return;

  SampleRate = Reader->Format.sampleRate;
  Channels = Reader->Format.channels;
  BitsPerSample = Reader->Format.bitsPerSample;
  DurationMs = int32_t(Reader->Duration / TicksPerMillisecond);
  BlockAlign = Reader->Format.frameBytes;
  Loaded = true;

  Stream = BASS_StreamCreate(SampleRate, Channels, BASS_SAMPLE_FLOAT, &Player::StreamProc, nullptr);
  if (Stream == 0) {
    Loaded = false;
    serviceMessage("Can not create playback stream!");
  }
  FileName = fileName;
  BASS_ChannelSetSync(Stream, BASS_SYNC_END | BASS_SYNC_MIXTIME, 0, &Player::EndSyncProc, nullptr);
}

void Player::Play() {
  if (!Reader) return;
  if (!BASS_ChannelPlay(Stream, 0)) serviceMessage("Error decode audio!");
  State = 1;
}

void Player::Pause() {
  if (!Reader) return;
  BASS_ChannelPause(Stream);
  State = 2;
}

void Player::Stop() {
  if (!Reader) return;
  State = 0;
  BASS_ChannelStop(Stream);
  SetPositionMs(0);
}

void Player::SetVolume(int32_t value) {
  if (!Reader) return;
  BASS_ChannelSetAttribute(Stream, BASS_ATTRIB_VOL, float(value) / 10000.0f);
}

uint32_t Player::GetPositionMs() const {
  if (!Reader) return 0;
  return uint32_t(Reader->Position / TicksPerMillisecond);
}

void Player::SetPositionMs(uint32_t ms) {
  if (!Reader) return;
  Reader->Seek(int64_t(ms) * TicksPerMillisecond);
}

int32_t Player::GetData(uint32_t length, const void** buffer) {
  if (!Reader) return 0;
  const DWORD n = BASS_ChannelGetData(Stream, AnalysisBuffer.get(), std::min(length, AnalysisBufferSize));
  if (buffer) *buffer = AnalysisBuffer.get();
  return int32_t(n);
}

void Player::EndOfPlayback() {
  State = 0;
  SetPositionMs(0);
  if (OnEnd) OnEnd(this);
}

DWORD Player::StreamProc(HSTREAM, void* buffer, DWORD length, void*) {
  Player* player = ActivePlayer.load(std::memory_order_acquire);
  if (player == nullptr) return 0;
  ChainOutputReader* reader = player->Reader.get();
  if (reader == nullptr) return BASS_STREAMPROC_END;
  std::memset(buffer, 0, length);
  const uint32_t n = reader->Read(buffer, length);
  return n > 0 ? n : BASS_STREAMPROC_END;
}

void Player::EndSyncProc(HSYNC, DWORD, DWORD, void*) {
  Player* player = ActivePlayer.load(std::memory_order_acquire);
  if (player == nullptr || player->Owner == nullptr) return;
  // postEvent is thread-safe; everything else happens on the main thread.
  QCoreApplication::postEvent(player->Owner, new QEvent(WM_STOPPLAYBACK));
}
