#include "export/writers/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

struct TestLimit {
  int64_t bytes = -1;
  int errorNumber = 0;
};

std::mutex gTestLimitLock;
TestLimit gTestLimitSetting;

TestLimit CurrentTestLimit() {
  std::lock_guard lock(gTestLimitLock);
  return gTestLimitSetting;
}

// Why a path that exists cannot be written as an audio file; empty for a
// regular file.
std::string NotRegularReason(mode_t mode, int& errorNumber) {
  if (S_ISREG(mode)) return {};
  if (S_ISDIR(mode)) {
    errorNumber = EISDIR;
    return std::strerror(EISDIR);
  }
  errorNumber = EINVAL;
  if (S_ISFIFO(mode)) return "Not a regular file (a named pipe)";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "Not a regular file (a device)";
  if (S_ISSOCK(mode)) return "Not a regular file (a socket)";
  return "Not a regular file";
}

}  // namespace

void OutputFile::failAfterBytesForTesting(int64_t bytes, int errorNumber) {
  std::lock_guard lock(gTestLimitLock);
  gTestLimitSetting = bytes < 0 ? TestLimit{} : TestLimit{bytes, errorNumber};
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputFile::open(const std::string& path, Access access) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_ = path;
  position_ = written_ = 0;
  errorNumber_ = 0;
  reason_.clear();
  const TestLimit limit = CurrentTestLimit();
  writeLimit_ = limit.bytes;
  limitError_ = limit.errorNumber;

  struct stat st {};
  int notRegular = 0;
  if (::stat(path.c_str(), &st) == 0) {
    std::string why = NotRegularReason(st.st_mode, notRegular);
    if (!why.empty()) return fail(notRegular, std::move(why));
  }
  // O_NONBLOCK: should the path turn into a pipe between the check and the
  // open, the open fails instead of waiting for a reader. It means nothing
  // for a regular file.
  const int flags = (access == Access::ReadWrite ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK;
  int fd;
  do fd = ::open(path.c_str(), flags, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(errno);
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return fail(e);
  }
  if (std::string why = NotRegularReason(st.st_mode, notRegular); !why.empty()) {
    ::close(fd);
    return fail(notRegular, std::move(why));
  }
  fd_ = fd;
  return true;
}

bool OutputFile::write(const void* data, size_t size) {
  if (failed() || fd_ < 0) return false;
  size_t allowed = size;
  if (writeLimit_ >= 0) allowed = size_t(std::clamp<int64_t>(writeLimit_ - written_, 0, int64_t(size)));
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < allowed;) {
    const ssize_t n = ::write(fd_, p + done, allowed - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += size_t(n);
    position_ += n;
    written_ += n;
  }
  if (allowed < size) return fail(limitError_);
  return true;
}

bool OutputFile::seek(int64_t offset) {
  if (failed() || fd_ < 0) return false;
  if (::lseek(fd_, off_t(offset), SEEK_SET) < 0) return fail(errno);
  position_ = offset;
  return true;
}

int64_t OutputFile::size() {
  if (failed() || fd_ < 0) return -1;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    fail(errno);
    return -1;
  }
  return int64_t(st.st_size);
}

int64_t OutputFile::read(void* data, size_t size) {
  if (failed() || fd_ < 0) return -1;
  auto* p = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd_, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
      return -1;
    }
    if (n == 0) break;
    done += size_t(n);
    position_ += n;
  }
  return int64_t(done);
}

bool OutputFile::close() {
  if (fd_ >= 0) {
    const int r = ::close(fd_);
    fd_ = -1;
    // Linux releases the descriptor even when close reports an error, so
    // it is never retried.
    if (r != 0 && !failed()) fail(errno);
  }
  return !failed();
}

std::string OutputFile::failureText() const { return "Cannot write \"" + path_ + "\": " + reason_; }

std::string OutputFile::reasonLine() const { return path_ + ": " + reason_; }

bool OutputFile::fail(int errorNumber) {
  if (errorNumber == 0) errorNumber = EIO;
  return fail(errorNumber, std::strerror(errorNumber));
}

bool OutputFile::fail(int errorNumber, std::string reason) {
  if (!failed()) {
    errorNumber_ = errorNumber;
    reason_ = std::move(reason);
  }
  return false;
}
