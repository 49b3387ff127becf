#include "export/tagging/fd_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pwtag {

namespace {

// Pieces in which data is moved when a tag grows or shrinks in front of the
// audio.
constexpr int64_t kMovePieceBytes = 1 << 20;

}  // namespace

FdStream::FdStream(const std::string& path, Mode mode, int64_t writeBudget, int budgetError)
    : path_(path), mode_(mode), budget_(writeBudget), budgetError_(budgetError) {
  const int flags = (mode == Mode::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
  int fd;
  do fd = ::open(path.c_str(), flags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    fail(errno);
    return;
  }
  struct stat st {};
  const int statError = ::fstat(fd, &st) != 0 ? errno : 0;
  if (statError != 0 || !S_ISREG(st.st_mode)) {
    fail(statError != 0 ? statError : S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    ::close(fd);
    return;
  }
  fd_ = fd;
}

FdStream::~FdStream() {
  if (fd_ >= 0) ::close(fd_);
}

void FdStream::fail(int errorNumber) {
  if (errorNumber == 0) errorNumber = EIO;
  if (errorNumber_ == 0) {
    errorNumber_ = errorNumber;
    reason_ = std::strerror(errorNumber);
  }
}

TagLib::ByteVector FdStream::readBlock(unsigned long length) {
  if (fd_ < 0 || length == 0) return TagLib::ByteVector();
  TagLib::ByteVector out(static_cast<unsigned int>(length), '\0');
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::read(fd_, out.data() + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
      break;
    }
    if (n == 0) break;
    done += size_t(n);
  }
  out.resize(static_cast<unsigned int>(done));
  return out;
}

bool FdStream::writeAt(const char* data, size_t size) {
  if (failed()) return false;
  if (fd_ < 0 || mode_ != Mode::ReadWrite) {
    fail(EBADF);
    return false;
  }
  if (seekError_ != 0) {
    fail(seekError_);
    return false;
  }
  size_t allowed = size;
  if (budget_ >= 0) allowed = size_t(std::min<int64_t>(budget_, int64_t(size)));
  for (size_t done = 0; done < allowed;) {
    const ssize_t n = ::write(fd_, data + done, allowed - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
      return false;
    }
    if (n == 0) {
      fail(EIO);
      return false;
    }
    done += size_t(n);
    if (budget_ >= 0) budget_ -= n;
  }
  if (allowed < size) {
    fail(budgetError_);
    return false;
  }
  return true;
}

void FdStream::writeBlock(const TagLib::ByteVector& data) { writeAt(data.data(), data.size()); }

void FdStream::move(int64_t from, int64_t end, int64_t to) {
  if (from == to || end <= from) return;
  // Towards the end: the last piece first, so nothing is overwritten
  // before it has been read; towards the start the other way round.
  const bool later = to > from;
  for (int64_t done = 0; done < end - from && !failed();) {
    const int64_t n = std::min<int64_t>(kMovePieceBytes, end - from - done);
    const int64_t at = later ? end - done - n : from + done;
    seek(at);
    const TagLib::ByteVector block = readBlock(static_cast<unsigned long>(n));
    if (failed()) return;
    if (int64_t(block.size()) != n) return fail(EIO);  // the file changed under us
    seek(at + (to - from));
    writeBlock(block);
    done += n;
  }
}

void FdStream::insert(const TagLib::ByteVector& data, unsigned long start, unsigned long replace) {
  if (failed()) return;
  const int64_t size = length();
  const int64_t oldEnd = std::min<int64_t>(int64_t(start) + int64_t(replace), size);
  const int64_t newEnd = int64_t(start) + int64_t(data.size());
  if (newEnd != oldEnd) {
    move(oldEnd, size, newEnd);
    if (newEnd < oldEnd) truncate(long(size - (oldEnd - newEnd)));
  }
  seek(long(start));
  writeBlock(data);
}

void FdStream::removeBlock(unsigned long start, unsigned long length) {
  if (failed() || length == 0) return;
  const int64_t size = this->length();
  const int64_t end = std::min<int64_t>(int64_t(start) + int64_t(length), size);
  if (end <= int64_t(start)) return;
  move(end, size, int64_t(start));
  truncate(long(size - (end - int64_t(start))));
}

void FdStream::seek(long offset, Position p) {
  if (fd_ < 0) return;
  const int whence = p == Beginning ? SEEK_SET : p == Current ? SEEK_CUR : SEEK_END;
  // TagLib probes before the start of short files while reading and reads
  // on from wherever it is; only a write at the wrong place would harm, so
  // a failed seek is held against the next write.
  seekError_ = ::lseek(fd_, off_t(offset), whence) < 0 ? errno : 0;
}

long FdStream::tell() const {
  if (fd_ < 0) return 0;
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  return at < 0 ? 0 : long(at);
}

long FdStream::length() {
  if (fd_ < 0) return 0;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    fail(errno);
    return 0;
  }
  return long(st.st_size);
}

void FdStream::truncate(long length) {
  if (failed()) return;
  if (fd_ < 0 || mode_ != Mode::ReadWrite) return fail(EBADF);
  if (seekError_ != 0) return fail(seekError_);
  int r;
  do r = ::ftruncate(fd_, off_t(length));
  while (r != 0 && errno == EINTR);
  if (r != 0) fail(errno);
}

bool FdStream::sync() {
  if (fd_ < 0) {
    if (!failed()) fail(EBADF);
    return false;
  }
  if (::fsync(fd_) != 0) fail(errno);
  return !failed();
}

bool FdStream::close() {
  if (fd_ >= 0) {
    const int r = ::close(fd_);
    fd_ = -1;
    // The descriptor is released even when close reports an error.
    if (r != 0) fail(errno);
  }
  return !failed();
}

}  // namespace pwtag
