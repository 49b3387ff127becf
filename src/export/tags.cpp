#include "tags.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "tagwrapper/tagwrapper.h"

namespace fs = std::filesystem;

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
  // Once loaded it stays: jobs on several threads open and close it, and
  // unloading it under one while another loads it again gains nothing.
  constexpr int Flags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
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

bool CopyTags(const std::string& SourcePath, const std::string& OutputPath) {
  const TagLibrary library;
  if (!library.Loaded()) return true;
  const auto setStringsUnicode = library.Get<decltype(&taglib_set_strings_unicode)>("taglib_set_strings_unicode");
  const auto fileNew = library.Get<decltype(&taglib_file_newu)>("taglib_file_newu");
  const auto tagCopy = library.Get<decltype(&taglib_tag_copy)>("taglib_tag_copy");
  const auto fileSave = library.Get<decltype(&taglib_file_save)>("taglib_file_save");
  const auto fileFree = library.Get<decltype(&taglib_file_free)>("taglib_file_free");
  const auto freeStrings = library.Get<decltype(&taglib_tag_free_strings)>("taglib_tag_free_strings");
  if (!setStringsUnicode || !fileNew || !tagCopy || !fileSave || !fileFree || !freeStrings) return true;

  setStringsUnicode(1);
  bool saved = true;
  TagFilePtr src(fileNew(SourcePath.c_str()), TagFileCloser{fileFree});
  TagFilePtr dst(fileNew(OutputPath.c_str()), TagFileCloser{fileFree});
  if (src && dst) {
    tagCopy(src.get(), dst.get());
    // The library rewrites the file in place: a save that fails may have
    // left it damaged.
    saved = fileSave(dst.get()) != 0;
  }
  dst.reset();
  src.reset();
  freeStrings();
  return saved;
}
