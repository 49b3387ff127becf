#include "export_job.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "audio_writer.h"
#include "cdg_companion.h"
#include "effect_chain.h"
#include "pcm_convert.h"
#include "session.h"
#include "save_command.h"
#include "tags.h"

// The session's block buffer hands out exactly what a read asks for until
// the end of the stream, so each read fills its request and the last one
// comes back short; nothing is left behind in the buffer.

double SaveCeilingDb(int32_t formatIndex) {
  return formatIndex == FileTypeWav || formatIndex == FileTypeFlac ? -0.3 : EffectChain::kPlaybackCeilingDb;
}

// ---- SignalEvent ----------------------------------------------------------------

void SignalEvent::Set() {
  {
    std::lock_guard lock(lock_);
    signalled_ = true;
  }
  changed_.notify_all();
}

void SignalEvent::Reset() {
  std::lock_guard lock(lock_);
  signalled_ = false;
}

void SignalEvent::Wait() {
  std::unique_lock lock(lock_);
  changed_.wait(lock, [this] { return signalled_; });
  if (kind_ == Kind::AutoReset) signalled_ = false;
}

// ---- WriteThread ---------------------------------------------------------------

WriteThread::WriteThread(std::function<void()> onWork, SignalEvent& go, SignalEvent& done)
    : OnWork(std::move(onWork)), Go(go), Done(done) {}

WriteThread::~WriteThread() {
  if (Thread.joinable()) {
    Terminate();
    Go.Set();
    Thread.join();
  }
}

void WriteThread::Start() { Thread = std::thread([this] { Execute(); }); }

void WriteThread::WaitFor() {
  if (Thread.joinable()) Thread.join();
}

void WriteThread::Execute() {
  while (!Terminated.load()) {
    Go.Wait();
    if (!Terminated.load()) OnWork();
    Done.Set();
  }
}

// ---- Output names ----------------------------------------------------------------

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

// What is at an output name, looked at without opening it (opening a named
// pipe blocks until someone reads it).
struct Target {
  std::string destination;  // where the file goes: the name, or the file a link there leads to
  bool exists = false;
  mode_t mode = 0;  // for the file that replaces it: the old one's permissions, or a new file's
  // The replaced file's owner and group, kept where the system lets us.
  std::optional<std::pair<uid_t, gid_t>> owner;
};

// Nothing when name can take the output; else the refusal, with *exists set
// when the refusal is that replacing was not allowed.
std::optional<std::string> LookAt(const std::string& name, bool overwriteAllowed, Target& target, bool* exists) {
  target = Target{name, false, NewFileMode(), std::nullopt};
  struct stat st {};
  if (::lstat(name.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return CannotWrite(name, SystemReason());
  }
  if (S_ISLNK(st.st_mode)) {
    // A link keeps pointing where it did: the file it leads to is replaced.
    if (char* real = ::realpath(name.c_str(), nullptr)) {
      target.destination = real;
      std::free(real);
      if (::stat(target.destination.c_str(), &st) != 0) return CannotWrite(name, SystemReason());
    } else if (errno != ENOENT) {
      return CannotWrite(name, SystemReason());
    }  // else a dangling link: the link itself is what gets replaced
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return CannotWrite(name, NotRegular(st.st_mode));
  target.exists = true;
  if (S_ISREG(st.st_mode)) {
    target.mode = st.st_mode & 07777;
    target.owner = std::make_pair(st.st_uid, st.st_gid);
  }
  if (!overwriteAllowed) {
    *exists = true;
    return CannotWrite(name, "the file already exists");
  }
  // A write-protected file is left alone even when replacing is allowed.
  if (S_ISREG(st.st_mode) && ::access(target.destination.c_str(), W_OK) != 0) return CannotWrite(name, SystemReason());
  return std::nullopt;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

// A file written under a temporary name in its destination's folder (so that
// the final rename stays on one file system) and moved into place only when
// complete. Removed when discarded or destroyed before that.
class StagedFile {
 public:
  // name: as the caller gave it, for messages; the target as LookAt saw it.
  StagedFile(std::string name, const Target& target)
      : name_(std::move(name)), destination_(target.destination), mode_(target.mode), owner_(target.owner) {}
  ~StagedFile() { Discard(); }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  const std::string& Name() const { return name_; }
  // The temporary file; empty before Create and after Commit or Discard.
  const std::string& Path() const { return path_; }

  // Creates ".<name>.pitchwell-XXXXXX<extension>" beside the destination,
  // exclusively (never an existing file). The extension comes last because
  // the writers and the tag library go by it.
  std::optional<std::string> Create(const std::string& extension) {
    const std::filesystem::path destination(destination_);
    std::string folder = destination.parent_path().string();
    if (folder.empty()) folder = ".";
    // Leave room for the additions within the 255 bytes of a name.
    const std::string base = destination.filename().string().substr(0, 200);
    std::string pattern = folder + "/." + base + ".pitchwell-XXXXXX" + extension;
    const int fd = ::mkstemps(pattern.data(), int(extension.size()));
    if (fd < 0) return CannotWrite(name_, SystemReason());
    ::close(fd);
    path_ = pattern;
    return std::nullopt;
  }

  // Makes the data durable before it replaces anything: a delayed write
  // error (full disk, quota) shows up here at the latest.
  std::optional<std::string> Sync() {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return CannotWrite(name_, SystemReason());
    const bool synced = ::fsync(fd) == 0;
    const std::string why = synced ? std::string() : SystemReason();
    ::close(fd);
    if (!synced) return CannotWrite(name_, why);
    return std::nullopt;
  }

  // Renames the file into place. Without replace an existing file is never
  // replaced, also one that appeared since the names were checked; *exists
  // then says so.
  std::optional<std::string> Commit(bool replace, bool* exists) {
    // Only root, or an owner changing to one of its own groups, may do
    // this; otherwise the new file is the saver's, as any new file is.
    if (owner_ && ::chown(path_.c_str(), owner_->first, owner_->second) != 0)
      static_cast<void>(::chown(path_.c_str(), uid_t(-1), owner_->second));
    if (::chmod(path_.c_str(), mode_) != 0) return CannotWrite(name_, SystemReason());
    if (replace) {
      if (std::rename(path_.c_str(), destination_.c_str()) != 0) return CannotWrite(name_, SystemReason());
    } else if (auto problem = RenameWithoutReplacing(exists)) {
      return problem;
    }
    path_.clear();
    SyncFolder();
    return std::nullopt;
  }

  void Discard() {
    if (!path_.empty()) ::unlink(path_.c_str());
    path_.clear();
  }

 private:
  std::optional<std::string> RenameWithoutReplacing(bool* exists) {
    if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE) == 0)
      return std::nullopt;
    if (errno == EEXIST) return Exists(exists);
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return CannotWrite(name_, SystemReason());
    // File systems without that rename: a hard link fails as well when the
    // name is taken.
    if (::link(path_.c_str(), destination_.c_str()) == 0) {
      ::unlink(path_.c_str());
      return std::nullopt;
    }
    if (errno == EEXIST) return Exists(exists);
    // Nor hard links: check, then rename.
    struct stat st {};
    if (::lstat(destination_.c_str(), &st) == 0) return Exists(exists);
    if (std::rename(path_.c_str(), destination_.c_str()) != 0) return CannotWrite(name_, SystemReason());
    return std::nullopt;
  }

  std::string Exists(bool* exists) const {
    *exists = true;
    return CannotWrite(name_, "the file already exists");
  }

  // The rename itself is durable once the folder is; a failure here changes
  // nothing the user could act on.
  void SyncFolder() const {
    std::string folder = std::filesystem::path(destination_).parent_path().string();
    if (folder.empty()) folder = ".";
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
  }

  const std::string name_;
  const std::string destination_;
  const mode_t mode_;
  const std::optional<std::pair<uid_t, gid_t>> owner_;
  std::string path_;
};

// ---- ExportJob ----------------------------------------------------------------

ExportJob::ExportJob(std::unique_ptr<Session> session, std::string outName, int32_t formatIndex,
                     const ExportFormat& format)
    : OutName(std::move(outName)), FormatIndex(formatIndex), Format(format), session_(std::move(session)) {}

ExportJob::~ExportJob() {
  if (Thread.joinable()) Thread.join();
}

void ExportJob::Start() {
  if (FreeOnTerminate) {
    std::thread([this] {
      Execute();
      delete this;
    }).detach();
  } else {
    Thread = std::thread([this] { Execute(); });
  }
}

void ExportJob::Wait() {
  if (Thread.joinable()) Thread.join();
}

void ExportJob::Run() { Execute(); }

void ExportJob::Cancel() {
  CancelFlag.store(true);
  Terminated.store(true);
}

std::string ExportJob::UserText(std::string text) const {
  // Writers name the file they were given, which is the temporary one.
  if (Staged) ReplaceAll(text, Staged->Path(), OutName);
  if (StagedCompanion) ReplaceAll(text, StagedCompanion->Path(), StagedCompanion->Name());
  return text;
}

void ExportJob::Fail(const std::string& text, bool exists, const std::string& caption) {
  std::string message = text.empty() ? "Export failed" : UserText(text);
  // Some writers' texts do not say which file they were writing.
  if (message.find(OutName) == std::string::npos) message += "\r\n\"" + OutName + "\" was not saved.";
  std::lock_guard lock(FailureLock);
  if (!ErrorFlag.exchange(true)) {
    Result.failure = std::move(message);
    Result.failureCaption = caption;
    Result.outputExists = exists;
  }
}

void ExportJob::Warn(const std::string& text) {
  Warnings.push_back(pw::Message{pw::MessageKind::Warning, {}, UserText(text)});
}

void ExportJob::FailOnException(const std::function<void()>& step) {
  try {
    step();
  } catch (const WriterError& e) {
    Fail(e.what(), false, e.caption());
  } catch (const std::exception& e) {
    Fail(e.what());
  } catch (...) {
    Fail({});
  }
}

void ExportJob::WriteBlock() {
  FailOnException([this] { TotalWritten.fetch_add(Writer->Write(ConvBuffer.get(), PendingSize)); });
}

void ExportJob::PostProgress() {
  if (!Progress) return;
  int percent = 100;
  const int64_t duration = session_->durationMs();
  const int64_t from = std::max<int64_t>(FromMs, 0);
  const int64_t to = ToMs >= 0 ? std::min<int64_t>(ToMs, duration) : duration;
  const int64_t at = session_->positionMs();
  if ((FromMs >= 0 || ToMs >= 0) && to > from) {
    const int64_t p = (at - from) * 100 / (to - from);
    percent = int(std::clamp<int64_t>(p, 0, 100));
  } else if (duration > 0) {
    const int64_t p = at * 100 / duration;
    // A file that decodes longer than it declared must not show 140 %.
    percent = int(std::clamp<int64_t>(p, 0, 100));
  }
  Progress->Post(percent, TotalWritten.load());
}

void ExportJob::Execute() {
  // A Cancel pressed before the thread ran is kept: the flags start clear at
  // construction and are not cleared again here.
  GoEvent.Reset();
  DoneEvent.Reset();
  FailOnException([this] {
    if (!Terminated.load()) CheckTargets();
    if (Failed() || Terminated.load()) return;
    const uint32_t bytes = BufferBytes(std::max<uint32_t>(Format.pcm.channels, 1));
    ReadBuffer.reset(new uint8_t[bytes]);
    FlushBuffer.reset(new uint8_t[bytes]);
    ConvBuffer.reset(new uint8_t[bytes]);
    Writing = std::make_unique<WriteThread>([this] { WriteBlock(); }, GoEvent, DoneEvent);
    Writing->Start();
    BlockLoopAndRemainder();
  });
  CleanUp();
}

void ExportJob::CheckTargets() {
  if (FormatIndex < 1 || FormatIndex >= int32_t(WriterClasses.size()) || !WriterClasses[size_t(FormatIndex)])
    throw std::runtime_error("Unknown output format");

  Target audio;
  bool exists = false;
  if (auto refusal = LookAt(OutName, OverwriteAllowed, audio, &exists)) return Fail(*refusal, exists);

  // The companion's name is checked now as well: finding a pipe there
  // after the render would be too late.
  const bool wholeFile = FromMs < 0 && ToMs < 0;
  const std::string source =
      TempoChange > -100 && !SourceName.empty() && wholeFile ? FindCompanion(SourceName) : std::string();
  if (!source.empty()) {
    const std::string name = CompanionName(OutName);
    if (IsSourceCompanion(source, name)) {
      Warn("The graphics file was not written: \"" + name + "\" would take the place of the source's own \"" +
           source + "\"");
      CompanionMissing = true;
    } else {
      Target companion;
      if (auto refusal = LookAt(name, OverwriteAllowed, companion, &exists)) return Fail(*refusal, exists);
      CompanionSource = source;
      StagedCompanion = std::make_unique<StagedFile>(name, companion);
    }
  }

  Staged = std::make_unique<StagedFile>(OutName, audio);
  if (auto problem = Staged->Create(OutputExtensions[size_t(FormatIndex - 1)])) return Fail(*problem);
}

void ExportJob::BlockLoopAndRemainder() {
  Session& session = *session_;
  if (uint32_t(session.channels()) != Format.pcm.channels)
    throw std::runtime_error("Output format does not match the file");
  const AudioFileReader& reader = session.reader();

  // The PCM format, the conversion and the byte count must agree: 24-bit
  // packed samples only where the writer takes them (WAV, FLAC), 16-bit
  // otherwise.
  const int32_t depth = Format.pcm.bitsPerSample;
  PcmFormat format = PcmFormat::S16;
  uint32_t sampleBytes = 2;
  if (depth == 24 && (FormatIndex == FileTypeWav || FormatIndex == FileTypeFlac)) {
    format = PcmFormat::S24;
    sampleBytes = 3;
  } else if (depth != 16) {
    throw std::runtime_error("Unsupported output sample format");
  }

  Writer = WriterClasses[size_t(FormatIndex)](Staged->Path(), Format);
  if (Writer->outputPath != Staged->Path()) throw std::runtime_error("The writer wrote to another file name");
  DoneEvent.Set();

  const uint32_t channels = std::max<uint32_t>(Format.pcm.channels, 1);
  const uint32_t request = RequestBytes(channels);
  const auto* samplesIn = reinterpret_cast<const float*>(ReadBuffer.get());

  session.chain().setCeilingDb(SaveCeilingDb(FormatIndex));

  uint32_t n = request;
  while (n == request && !Terminated.load() && !Failed()) {
    const uint32_t frameBytes = channels * 4;
    n = uint32_t(session.read(reinterpret_cast<float*>(ReadBuffer.get()), request / frameBytes)) * frameBytes;
    PostProgress();
    if (n > 0) {
      DoneEvent.Wait();
      const uint32_t samples = n / 4;
      convertToPcm(samplesIn, ConvBuffer.get(), format, int(samples));
      PendingSize = samples * sampleBytes;
      DoneEvent.Reset();
      GoEvent.Set();
    }
  }

  // The last handed-over block must be written before the remainder, also
  // after a failed Write: the writer is never used by two threads at once.
  DoneEvent.Wait();

  n = 0;
  PostProgress();
  if (n > 0 && !Terminated.load() && !Failed()) {
    const uint32_t samples = n / 4;
    convertToPcm(samplesIn, FlushBuffer.get(), format, int(samples));
    TotalWritten.fetch_add(Writer->Write(FlushBuffer.get(), samples * sampleBytes));
  }

  // Saved short: said once, beside the saved file, not instead of it.
  const std::string& input = SourceName.empty() ? reader.fileName() : SourceName;
  if (!Terminated.load() && !Failed() && reader.endedShort()) {
    Warn(input + ": " + reader.shortEndDescription() + ": the file is damaged or truncated");
    InputEndedShort = true;
  }
  // More audio than the header admits: all of it was saved, and the user
  // hears why the length differs from what other programs show.
  if (const std::string more = reader.understatedLengthDescription();
      !Terminated.load() && !Failed() && !more.empty() && !InputEndedShort)
    Notices.push_back(pw::Message{pw::MessageKind::Information, std::string(), input + ": " + more + "; all of it was saved"});
}

void ExportJob::TakeWriterMessages() {
  for (pw::Message& m : Writer->TakeMessages()) {
    // A writer that reports an error did not store what it was given: the
    // file is not saved, and the error is the job's one failure message.
    if (m.kind == pw::MessageKind::Error)
      Fail(m.text, false, m.caption);
    else
      Notices.push_back(std::move(m));
  }
}

bool ExportJob::CompleteOutput() {
  if (Writer) {
    TakeWriterMessages();
    if (!CancelFlag.load() && !Failed()) {
      FailOnException([this] { Writer->Finish(); });
      TakeWriterMessages();
    }
    Writer.reset();
  }
  if (CancelFlag.load() || Failed() || !Staged) return false;

  const std::string& source = session_->fileName();
  // A failed tag save has damaged the temporary file: nothing is put in
  // place. Tags that could not be carried over leave the audio sound.
  const TagCopyResult tags = CopyTags(source, Staged->Path());
  for (const std::string& warning : tags.warnings) Warn(warning);
  if (!tags.ok()) {
    Fail(tags.failure);
    return false;
  }
  if (auto problem = Staged->Sync()) {
    Fail(*problem);
    return false;
  }
  StageCompanion();
  return !CancelFlag.load() && !Failed();
}

void ExportJob::StageCompanion() {
  if (!StagedCompanion) return;
  std::optional<std::string> problem = StagedCompanion->Create(".cdg");
  if (!problem) problem = WriteScaledCompanion(CompanionSource, StagedCompanion->Path(), TempoChange);
  if (!problem) problem = StagedCompanion->Sync();
  if (problem) {
    Warn("The graphics file was not written: " + *problem);
    CompanionMissing = true;
    StagedCompanion.reset();
  }
}

void ExportJob::PutInPlace() {
  bool exists = false;
  if (auto problem = Staged->Commit(OverwriteAllowed, &exists)) return Fail(*problem, exists);
  Saved = true;
  if (StagedCompanion) {
    if (auto problem = StagedCompanion->Commit(OverwriteAllowed, &exists)) {
      Warn("The graphics file was not written: " + *problem);
      CompanionMissing = true;
    }
  }
}

void ExportJob::CleanUp() {
  if (Writing) {
    Writing->Terminate();
    GoEvent.Set();
    Writing->WaitFor();
    Writing.reset();
  }
  GoEvent.Reset();
  DoneEvent.Reset();

  ReadBuffer.reset();
  FlushBuffer.reset();
  ConvBuffer.reset();

  // Completes the file (header, encoder flush, close) and the tags.
  const bool complete = CompleteOutput();

  // A cancel that came in while the file was being completed still counts:
  // nothing has been put in place yet.
  if (complete && !CancelFlag.load()) PutInPlace();

  // Whatever was not put in place goes; an existing file at the output's
  // name was never touched.
  Staged.reset();
  StagedCompanion.reset();

  {
    std::lock_guard lock(FailureLock);
    if (Saved) {
      Result.messages = std::move(Notices);
      Result.messages.insert(Result.messages.end(), Warnings.begin(), Warnings.end());
      Result.inputEndedShort = InputEndedShort;
      Result.companionMissing = CompanionMissing;
    } else if (CancelFlag.load()) {
      Result.cancelled = true;
      Result.failure.clear();
      Result.failureCaption.clear();
      Result.outputExists = false;
    }
  }

  if (Progress) Progress->Close(Result);
}
