// A file written under a temporary name in its destination's folder (so that
// the final rename stays on one file system) and moved into place only when
// complete: whatever happens before commit(), the name the user chose is not
// touched.
//
//   StagedFile::Target target;
//   if (auto refusal = StagedFile::lookAt(name, replaceAllowed, target)) ...;  // nothing opened yet
//   StagedFile staged(name, target);
//   staged.create(".flac");   // the temporary ".<name>.pitchwell-XXXXXX.flac"
//   ... write staged.path() ...
//   staged.sync();            // durable before it replaces anything
//   staged.commit(replace);   // the rename into place
//   // destructor: a temporary that was not committed is removed
//
// Every failure is returned as the text for the user ("Cannot write
// "<name>": <reason>"), naming the file as the caller named it.
//
// Threads: none of its own; one thread at a time uses an object (the export
// job's thread). lookAt may run on any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>

class StagedFile {
 public:
  // What is at an output name, looked at without opening it (opening a
  // named pipe blocks until someone reads it).
  struct Target {
    std::string destination;  // where the file goes: the name, or the file a link there leads to
    bool exists = false;
    mode_t mode = 0;  // for the file that replaces it: the old one's permissions, or a new file's
    // The replaced file's owner and group, kept where the system lets us.
    std::optional<std::pair<uid_t, gid_t>> owner;
  };

  // Why a name cannot take the output.
  struct Refusal {
    std::string text;
    // The refusal is that a file is there and replacing was not allowed.
    bool exists = false;
  };

  // Nothing when name can take the output (target then says what is there);
  // else the refusal: a folder, a named pipe, a device or a socket at the
  // name; an existing file when replaceAllowed is false; a write-protected
  // file even when it is true. A link is followed: the file it leads to is
  // what gets replaced (a dangling link is replaced itself).
  static std::optional<Refusal> lookAt(const std::string& name, bool replaceAllowed, Target& target);

  // name: as the caller gave it, for messages; target: as lookAt saw it.
  StagedFile(std::string name, const Target& target);
  // cleanUp().
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  const std::string& name() const { return name_; }
  // The temporary file; empty before create, after commit and after cleanUp.
  const std::string& path() const { return path_; }
  bool committed() const { return committed_; }

  // Creates ".<name>.pitchwell-XXXXXX<extension>" beside the destination,
  // exclusively (never an existing file). The extension comes last because
  // the writers and the tag library go by it.
  std::optional<std::string> create(const std::string& extension);

  // Makes the data durable before it replaces anything: a delayed write
  // error (full disk, quota) shows up here at the latest.
  std::optional<std::string> sync();

  // Renames the temporary into place, with the permissions (and, where the
  // system allows, the owner) of the file it replaces or of a new file.
  // Without replace an existing file is never replaced, also one that
  // appeared since lookAt; the refusal then has exists set. On a refusal
  // the temporary stays, for cleanUp.
  std::optional<Refusal> commit(bool replace);

  // Removes the temporary unless it was committed; the destination is never
  // touched. Safe to call more than once.
  void cleanUp();

 private:
  std::optional<Refusal> renameWithoutReplacing();
  Refusal exists() const;
  // The rename itself is durable once the folder is.
  void syncFolder() const;

  const std::string name_;
  const std::string destination_;
  const mode_t mode_;
  const std::optional<std::pair<uid_t, gid_t>> owner_;
  std::string path_;
  bool committed_ = false;
};
