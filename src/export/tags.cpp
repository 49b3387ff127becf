#include "tags.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "audio_writer.h"
#include "tagwrapper/tagwrapper.h"

namespace fs = std::filesystem;

// ------------------------------------------------------------ companion

namespace {

constexpr size_t PacketSize = 24;
constexpr size_t ChunkPackets = 100;
constexpr uint8_t GraphicsCommand = 9;

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool IsFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(fs::path(path), ec);
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(fs::path(a), fs::path(b), ec) && !ec;
}

// Per chunk of source packets, the packets that go out; a zero-filled entry
// is an inserted empty packet.
class CdgScaler {
 public:
  explicit CdgScaler(int32_t tempoChange) : tempo(tempoChange) {
    // q is a 32-bit float as in the companion's reference arithmetic; the
    // expression itself is evaluated in double and rounded once.
    q = static_cast<float>(std::fabs(100.0 - 100.0 * (100.0 / (100.0 + double(tempoChange)))));
    if (tempo < 0 && tempo >= -50) {
      interval = 100.0f / q;
      mark = interval;
    }
  }

  // Appends to out what the k whole packets at src become.
  void Chunk(const uint8_t* src, size_t k, std::vector<uint8_t>& out) {
    if (tempo >= 0) {
      // Faster: drop packets without graphics while the balance allows.
      balance += q;
      for (size_t i = 0; i < k; ++i) {
        const uint8_t* p = src + i * PacketSize;
        if (p[0] == GraphicsCommand || balance < 1.0f) {
          out.insert(out.end(), p, p + PacketSize);
        } else {
          balance -= 1.0f;
        }
      }
    } else if (tempo >= -50) {
      // Slower down to half speed: at most one empty packet per source
      // packet, whenever the count reaches the (rounded) insertion mark.
      for (size_t i = 0; i < k; ++i) {
        if (static_cast<double>(counter) == std::nearbyint(static_cast<double>(mark))) {
          out.insert(out.end(), PacketSize, 0);
          mark += interval;
        }
        const uint8_t* p = src + i * PacketSize;
        out.insert(out.end(), p, p + PacketSize);
        ++counter;
      }
    } else {
      // Slower than half speed: exact integer steps, so the graphics keep
      // their place in time however large the stretch is.
      const int64_t den = 100 + int64_t{tempo};
      for (size_t i = 0; i < k; ++i) {
        if (counter > 0) {
          const int64_t zeros = (counter * 100) / den - ((counter - 1) * 100) / den - 1;
          out.insert(out.end(), size_t(zeros) * PacketSize, 0);
        }
        const uint8_t* p = src + i * PacketSize;
        out.insert(out.end(), p, p + PacketSize);
        ++counter;
      }
    }
  }

 private:
  int32_t tempo;
  float q = 0.0f;
  float balance = 0.0f;
  float interval = 0.0f;
  float mark = 0.0f;
  int64_t counter = 0;
};

}  // namespace

void ConvertCdgFile(const std::string& SourceName, const std::string& OutName, int32_t TempoChange) {
  std::string in = ChangeFileExt(SourceName, ".cdg");
  if (!IsFile(in)) {
    in = ChangeFileExt(SourceName, ".CDG");
    if (!IsFile(in)) return;
  }
  if (TempoChange <= -100) return;
  const std::string out = ChangeFileExt(OutName, ".cdg");
  // Writing the companion onto itself would truncate it before it is read.
  if (SameFile(in, out)) return;

  FilePtr src(std::fopen(in.c_str(), "rb"));
  if (!src) return;
  FilePtr dst(std::fopen(out.c_str(), "wb"));
  if (!dst) return;

  CdgScaler scaler(TempoChange);
  std::array<uint8_t, PacketSize * ChunkPackets> chunk;
  std::vector<uint8_t> result;
  result.reserve(chunk.size() * 4);
  for (;;) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), src.get());
    const size_t k = got / PacketSize;
    if (k > 0) {
      result.clear();
      scaler.Chunk(chunk.data(), k, result);
      if (!result.empty() && std::fwrite(result.data(), 1, result.size(), dst.get()) != result.size()) return;
    }
    if (got < chunk.size()) break;
  }
}

// ------------------------------------------------------------ tag library

namespace {

std::mutex NameLock;
std::string LibraryName = "libpwtagwrapper.so";

std::string ExecutableDir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

void* OpenLibrary(const std::string& name) {
  constexpr int Flags = RTLD_NOW | RTLD_LOCAL;
  if (name.find('/') != std::string::npos) return dlopen(name.c_str(), Flags);
  std::vector<std::string> candidates;
  const std::string exeDir = ExecutableDir();
  if (!exeDir.empty()) candidates.push_back(exeDir + "/" + name);
#ifdef PW_TAGWRAPPER_DIR
  candidates.push_back(std::string(PW_TAGWRAPPER_DIR) + "/" + name);
#endif
  for (const std::string& path : candidates)
    if (access(path.c_str(), F_OK) == 0)
      if (void* h = dlopen(path.c_str(), Flags)) return h;
  return dlopen(name.c_str(), Flags);
}

}  // namespace

void SetTagLibraryName(const std::string& name) {
  std::lock_guard<std::mutex> lock(NameLock);
  LibraryName = name;
}

std::string TagLibraryName() {
  std::lock_guard<std::mutex> lock(NameLock);
  return LibraryName;
}

void TagLibrary::Closer::operator()(void* h) const noexcept { dlclose(h); }

TagLibrary::TagLibrary() : handle(OpenLibrary(TagLibraryName())) {}

TagLibrary::~TagLibrary() = default;

void* TagLibrary::Symbol(const char* name) const { return handle ? dlsym(handle.get(), name) : nullptr; }

// ------------------------------------------------------------ tag transfer

namespace {

struct TagFileCloser {
  decltype(&taglib_file_free) release;
  void operator()(TagLib_File* f) const noexcept { release(f); }
};
using TagFilePtr = std::unique_ptr<TagLib_File, TagFileCloser>;

}  // namespace

void CopyTags(const std::string& SourcePath, const std::string& OutputPath) {
  const TagLibrary library;
  if (!library.Loaded()) return;
  const auto setStringsUnicode = library.Get<decltype(&taglib_set_strings_unicode)>("taglib_set_strings_unicode");
  const auto fileNew = library.Get<decltype(&taglib_file_newu)>("taglib_file_newu");
  const auto tagCopy = library.Get<decltype(&taglib_tag_copy)>("taglib_tag_copy");
  const auto fileSave = library.Get<decltype(&taglib_file_save)>("taglib_file_save");
  const auto fileFree = library.Get<decltype(&taglib_file_free)>("taglib_file_free");
  const auto freeStrings = library.Get<decltype(&taglib_tag_free_strings)>("taglib_tag_free_strings");
  if (!setStringsUnicode || !fileNew || !tagCopy || !fileSave || !fileFree || !freeStrings) return;

  setStringsUnicode(1);
  TagFilePtr src(fileNew(SourcePath.c_str()), TagFileCloser{fileFree});
  TagFilePtr dst(fileNew(OutputPath.c_str()), TagFileCloser{fileFree});
  if (src && dst) {
    tagCopy(src.get(), dst.get());
    fileSave(dst.get());
  }
  dst.reset();
  src.reset();
  freeStrings();
}
