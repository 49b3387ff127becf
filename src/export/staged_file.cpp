#include "export/staged_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

std::string CannotWrite(const std::string& name, const std::string& why) {
  return "Cannot write \"" + name + "\": " + why;
}

std::string SystemReason() { return std::strerror(errno); }

std::string NotRegular(mode_t mode) {
  if (S_ISDIR(mode)) return "it is a folder, not a regular file";
  if (S_ISFIFO(mode)) return "it is a named pipe, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
  if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
  return "it is not a regular file";
}

// Permissions of a file we create: what open() would give under this
// process's umask. Read from /proc, since umask() can only be read by
// setting it, which would race with other threads creating files.
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Umask:", 0) == 0) return 0666 & ~mode_t(std::strtoul(line.c_str() + 6, nullptr, 8));
  return 0644;
}

struct MallocFree {
  void operator()(char* p) const noexcept { std::free(p); }
};

std::string FolderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

}  // namespace

std::optional<StagedFile::Refusal> StagedFile::lookAt(const std::string& name, bool replaceAllowed, Target& target) {
  target = Target{name, false, NewFileMode(), std::nullopt};
  struct stat st {};
  if (::lstat(name.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return Refusal{CannotWrite(name, SystemReason())};
  }
  if (S_ISLNK(st.st_mode)) {
    // A link keeps pointing where it did: the file it leads to is replaced.
    if (const std::unique_ptr<char, MallocFree> real(::realpath(name.c_str(), nullptr)); real) {
      target.destination = real.get();
      if (::stat(target.destination.c_str(), &st) != 0) return Refusal{CannotWrite(name, SystemReason())};
    } else if (errno != ENOENT) {
      return Refusal{CannotWrite(name, SystemReason())};
    }  // else a dangling link: the link itself is what gets replaced
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return Refusal{CannotWrite(name, NotRegular(st.st_mode))};
  target.exists = true;
  if (S_ISREG(st.st_mode)) {
    target.mode = st.st_mode & 07777;
    target.owner = std::make_pair(st.st_uid, st.st_gid);
  }
  if (!replaceAllowed) return Refusal{CannotWrite(name, "the file already exists"), true};
  // A write-protected file is left alone even when replacing is allowed.
  if (S_ISREG(st.st_mode) && ::access(target.destination.c_str(), W_OK) != 0)
    return Refusal{CannotWrite(name, SystemReason())};
  return std::nullopt;
}

StagedFile::StagedFile(std::string name, const Target& target)
    : name_(std::move(name)), destination_(target.destination), mode_(target.mode), owner_(target.owner) {}

StagedFile::~StagedFile() { cleanUp(); }

std::optional<std::string> StagedFile::create(const std::string& extension) {
  // Leave room for the additions within the 255 bytes of a name.
  const std::string base = std::filesystem::path(destination_).filename().string().substr(0, 200);
  std::string pattern = FolderOf(destination_) + "/." + base + ".pitchwell-XXXXXX" + extension;
  const int fd = ::mkstemps(pattern.data(), int(extension.size()));
  if (fd < 0) return CannotWrite(name_, SystemReason());
  ::close(fd);
  path_ = pattern;
  return std::nullopt;
}

std::optional<std::string> StagedFile::sync() {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CannotWrite(name_, SystemReason());
  const bool synced = ::fsync(fd) == 0;
  const std::string why = synced ? std::string() : SystemReason();
  ::close(fd);
  if (!synced) return CannotWrite(name_, why);
  return std::nullopt;
}

std::optional<StagedFile::Refusal> StagedFile::commit(bool replace) {
  // Only root, or an owner changing to one of its own groups, may do
  // this; otherwise the new file is the saver's, as any new file is.
  if (owner_ && ::chown(path_.c_str(), owner_->first, owner_->second) != 0)
    static_cast<void>(::chown(path_.c_str(), uid_t(-1), owner_->second));
  if (::chmod(path_.c_str(), mode_) != 0) return Refusal{CannotWrite(name_, SystemReason())};
  if (replace) {
    if (std::rename(path_.c_str(), destination_.c_str()) != 0) return Refusal{CannotWrite(name_, SystemReason())};
  } else if (auto refusal = renameWithoutReplacing()) {
    return refusal;
  }
  path_.clear();
  committed_ = true;
  syncFolder();
  return std::nullopt;
}

void StagedFile::cleanUp() {
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

std::optional<StagedFile::Refusal> StagedFile::renameWithoutReplacing() {
  if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE) == 0)
    return std::nullopt;
  if (errno == EEXIST) return exists();
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Refusal{CannotWrite(name_, SystemReason())};
  // File systems without that rename: a hard link fails as well when the
  // name is taken.
  if (::link(path_.c_str(), destination_.c_str()) == 0) {
    ::unlink(path_.c_str());
    return std::nullopt;
  }
  if (errno == EEXIST) return exists();
  // Nor hard links: check, then rename.
  struct stat st {};
  if (::lstat(destination_.c_str(), &st) == 0) return exists();
  if (std::rename(path_.c_str(), destination_.c_str()) != 0) return Refusal{CannotWrite(name_, SystemReason())};
  return std::nullopt;
}

StagedFile::Refusal StagedFile::exists() const { return Refusal{CannotWrite(name_, "the file already exists"), true}; }

// A failure here changes nothing the user could act on.
void StagedFile::syncFolder() const {
  const int fd = ::open(FolderOf(destination_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}
