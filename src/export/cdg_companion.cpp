#include "export/cdg_companion.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "core/file_handle.h"
#include "core/file_names.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kPacketBytes = 24;
constexpr size_t kChunkPackets = 100;
constexpr uint8_t kGraphicsCommand = 9;

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

fs::path FolderOf(const std::string& path) {
  const fs::path folder = fs::path(path).parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

std::string Reason() { return std::strerror(errno); }

// Per chunk of source packets, the packets that go out; a zero-filled entry
// is an inserted empty packet.
class CdgScaler {
 public:
  explicit CdgScaler(int32_t tempoChange) : tempo_(tempoChange) {
    // q is a 32-bit float as in the companion's reference arithmetic; the
    // expression itself is evaluated in double and rounded once.
    q_ = static_cast<float>(std::fabs(100.0 - 100.0 * (100.0 / (100.0 + double(tempoChange)))));
    if (tempo_ < 0 && tempo_ >= -50) {
      interval_ = 100.0f / q_;
      mark_ = interval_;
    }
  }

  // Appends to out what the k whole packets at src become.
  void chunk(const uint8_t* src, size_t k, std::vector<uint8_t>& out) {
    if (tempo_ >= 0) {
      // Faster: drop packets without graphics while the balance allows.
      balance_ += q_;
      for (size_t i = 0; i < k; ++i) {
        const uint8_t* p = src + i * kPacketBytes;
        if (p[0] == kGraphicsCommand || balance_ < 1.0f) {
          out.insert(out.end(), p, p + kPacketBytes);
        } else {
          balance_ -= 1.0f;
        }
      }
    } else if (tempo_ >= -50) {
      // Slower down to half speed: at most one empty packet per source
      // packet, whenever the count reaches the (rounded) insertion mark.
      for (size_t i = 0; i < k; ++i) {
        if (static_cast<double>(counter_) == std::nearbyint(static_cast<double>(mark_))) {
          out.insert(out.end(), kPacketBytes, 0);
          mark_ += interval_;
        }
        const uint8_t* p = src + i * kPacketBytes;
        out.insert(out.end(), p, p + kPacketBytes);
        ++counter_;
      }
    } else {
      // Slower than half speed: exact integer steps, so the graphics keep
      // their place in time however large the stretch is.
      const int64_t den = 100 + int64_t{tempo_};
      for (size_t i = 0; i < k; ++i) {
        if (counter_ > 0) {
          const int64_t zeros = (counter_ * 100) / den - ((counter_ - 1) * 100) / den - 1;
          out.insert(out.end(), size_t(zeros) * kPacketBytes, 0);
        }
        const uint8_t* p = src + i * kPacketBytes;
        out.insert(out.end(), p, p + kPacketBytes);
        ++counter_;
      }
    }
  }

 private:
  int32_t tempo_;
  float q_ = 0.0f;
  float balance_ = 0.0f;
  float interval_ = 0.0f;
  float mark_ = 0.0f;
  int64_t counter_ = 0;
};

}  // namespace

std::string FindCompanion(const std::string& sourceName) {
  for (const char* ext : {".cdg", ".CDG"}) {
    const std::string name = ChangeFileExt(sourceName, ext);
    if (IsRegularFile(name)) return name;
  }
  // Other mixtures of case need the folder's listing.
  const std::string wanted = fs::path(ChangeFileExt(sourceName, ".cdg")).filename().string();
  const fs::path folder = FolderOf(sourceName);
  std::vector<std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (EqualIgnoringCase(name, wanted) && IsRegularFile((folder / name).string())) found.push_back(name);
  }
  if (found.empty()) return {};
  std::sort(found.begin(), found.end());
  return (fs::path(sourceName).parent_path() / found.front()).string();
}

std::string CompanionName(const std::string& outName) { return ChangeFileExt(outName, ".cdg"); }

bool IsSourceCompanion(const std::string& sourceCompanion, const std::string& outputCompanion) {
  if (sourceCompanion.empty()) return false;
  if (SameFile(sourceCompanion, outputCompanion)) return true;
  return EqualIgnoringCase(fs::path(sourceCompanion).filename().string(),
                           fs::path(outputCompanion).filename().string()) &&
         SameFile(FolderOf(sourceCompanion), FolderOf(outputCompanion));
}

std::optional<std::string> WriteScaledCompanion(const std::string& from, const std::string& to, int32_t tempoChange) {
  if (tempoChange <= -100)
    return "Cannot write \"" + to + "\": a tempo change of " + std::to_string(tempoChange) + " % cannot be played";

  FileHandle src(std::fopen(from.c_str(), "rb"));
  if (!src) return "Cannot read \"" + from + "\": " + Reason();
  FileHandle dst(std::fopen(to.c_str(), "wb"));
  if (!dst) return "Cannot write \"" + to + "\": " + Reason();

  CdgScaler scaler(tempoChange);
  std::array<uint8_t, kPacketBytes * kChunkPackets> chunk;
  std::vector<uint8_t> result;
  result.reserve(chunk.size() * 4);
  for (;;) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), src.get());
    if (got < chunk.size() && std::ferror(src.get())) return "Cannot read \"" + from + "\": " + Reason();
    const size_t k = got / kPacketBytes;
    if (k > 0) {
      result.clear();
      scaler.chunk(chunk.data(), k, result);
      if (!result.empty() && std::fwrite(result.data(), 1, result.size(), dst.get()) != result.size())
        return "Cannot write \"" + to + "\": " + Reason();
    }
    if (got < chunk.size()) break;
  }
  // Buffered bytes meet a full disk only here.
  std::FILE* f = dst.release();
  if (std::fflush(f) != 0) {
    const std::string why = Reason();
    std::fclose(f);
    return "Cannot write \"" + to + "\": " + why;
  }
  if (std::fclose(f) != 0) return "Cannot write \"" + to + "\": " + Reason();
  return std::nullopt;
}
