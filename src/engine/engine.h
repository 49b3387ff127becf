// One open file's whole sound path: the player (decoder, reader, output
// stream) and the effect chain that the reader runs. The window owns one;
// the renderer makes one per file, so several can work in one process at
// once (they share nothing).
//
// Main thread (the owner's) only, except what Player and EffectChain say of
// their own callbacks.
#pragma once

#include <optional>
#include <string>

#include "effect_chain.h"
#include "player.h"

class QObject;

class Engine {
 public:
  // `owner` receives the end-of-playback event; may be null (no window).
  explicit Engine(QObject* owner = nullptr);
  // Player::Output::None: no sound device at all (rendering, measuring).
  Engine(QObject* owner, Player::Output output);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The file-open step: opens the file, runs the file-open checks and
  // rebuilds the chain for it. Returns the message of a file that cannot be
  // used ("This audio format not supported", "Audio file is empty.", ...),
  // an empty message when the file did not open at all (the reader has
  // shown why), or nothing when it is ready to play or save.
  std::optional<std::string> Open(const std::string& fileName);

  Player player;
  EffectChain chain{player};  // after the player: it reads the player's reader
};
