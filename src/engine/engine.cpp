#include "engine.h"

Engine::Engine(QObject* owner) : player(owner) {}

Engine::Engine(QObject* owner, Player::Output output) : player(owner, output) {}

// Members go in reverse order, the chain first: the file is closed (its
// stream stopped) before that, so nothing pulls a chain that is gone.
Engine::~Engine() { player.Open(std::string()); }

std::optional<std::string> Engine::Open(const std::string& fileName) {
  player.Open(fileName);
  // The reader has already said why a file did not open.
  if (!player.Loaded && player.Reader && !player.Reader->Opened) return std::string();
  if (auto problem = EffectChain::ValidateLoaded(player)) return problem;
  if (!chain.RebuildForFile(player)) return std::string("Filters Initialization Failed.");
  return std::nullopt;
}
