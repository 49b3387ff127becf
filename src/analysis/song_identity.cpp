#include "analysis/song_identity.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "decode/audio_file_reader.h"

uint64_t Fnv1a64(const void* data, size_t size, uint64_t hash) {
  constexpr uint64_t kPrime = 0x100000001b3ULL;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= kPrime;
  }
  return hash;
}

namespace {

// A float sample as the 16-bit integer a 16-bit file would hold (scaled by
// 32768, rounded half away from zero, clipped).
int16_t Quantised(float v) {
  if (!std::isfinite(v)) return 0;
  const double scaled = std::round(double(v) * 32768.0);
  return int16_t(std::clamp(scaled, -32768.0, 32767.0));
}

}  // namespace

std::string SongContentKey(AudioFileReader& reader) {
  if (!reader.opened() || reader.sampleRate() <= 0 || reader.channels() <= 0) return {};
  const int64_t rate = reader.sampleRate();
  const int64_t channels = reader.channels();
  constexpr int64_t kBlockFrames = 4096;
  std::vector<float> block(size_t(kBlockFrames * channels));
  // Little-endian bytes of each value, whatever the machine's order, so the
  // key is the same on every machine.
  std::vector<unsigned char> bytes(block.size() * 2);

  reader.seekFrame(0);
  uint64_t hash = kFnv64Offset;
  int64_t left = std::min<int64_t>(reader.lengthFrames(), rate * kSongKeySeconds);
  while (left > 0) {
    const int64_t got = reader.read(block.data(), std::min(left, kBlockFrames));
    if (got <= 0) break;
    const size_t samples = size_t(got * channels);
    for (size_t i = 0; i < samples; ++i) {
      const auto q = uint16_t(Quantised(block[i]));
      bytes[2 * i] = static_cast<unsigned char>(q & 0xff);
      bytes[2 * i + 1] = static_cast<unsigned char>(q >> 8);
    }
    hash = Fnv1a64(bytes.data(), samples * 2, hash);
    left -= got;
  }
  reader.seekFrame(0);

  char key[96];
  std::snprintf(key, sizeof key, "1:%lld:%lld:%lld:%016llx", static_cast<long long>(rate),
                static_cast<long long>(channels), static_cast<long long>(reader.lengthFrames()),
                static_cast<unsigned long long>(hash));
  return key;
}
