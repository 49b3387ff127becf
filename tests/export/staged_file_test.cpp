// The staged output file on its own: what lookAt refuses before anything is
// opened, the temporary beside the destination, commit (the rename into
// place, with the old file's permissions and owner) against clean-up (the
// temporary removed, the destination untouched), and a file that appears at
// the name after lookAt.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "export/staged_file.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

std::string Contents(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void Put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class StagedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = pwtest::TempDir(std::string("StagedFile") +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  std::string Path(const std::string& name) const { return dir + "/" + name; }

  // lookAt that must accept, then the staged file with its temporary made.
  std::unique_ptr<StagedFile> Staged(const std::string& name, bool replace, const std::string& text) {
    StagedFile::Target target;
    const std::optional<StagedFile::Refusal> refusal = StagedFile::lookAt(name, replace, target);
    EXPECT_FALSE(refusal) << refusal->text;
    auto staged = std::make_unique<StagedFile>(name, target);
    const std::optional<std::string> problem = staged->create(".wav");
    EXPECT_FALSE(problem) << *problem;
    Put(staged->path(), text);
    return staged;
  }

  std::string dir;
};

TEST_F(StagedFileTest, TheTemporarySitsBesideTheDestinationUnderAHiddenName) {
  const std::string name = Path("song.wav");
  auto staged = Staged(name, false, "new");
  EXPECT_EQ(staged->name(), name);
  const fs::path temporary(staged->path());
  EXPECT_EQ(temporary.parent_path(), fs::path(dir));
  const std::string file = temporary.filename().string();
  EXPECT_EQ(file.rfind(".song.wav.pitchwell-", 0), 0u) << file;
  EXPECT_EQ(temporary.extension(), ".wav");  // the writers and the tag library go by it
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{file});
  EXPECT_FALSE(fs::exists(name));
  EXPECT_FALSE(staged->sync());
}

TEST_F(StagedFileTest, CleanUpRemovesOnlyAnUncommittedTemporary) {
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an existing file" : "new file");
    const std::string name = Path("out.wav");
    fs::remove(name);
    if (existing) Put(name, "older");
    {
      auto staged = Staged(name, true, "new");
      staged->cleanUp();
      EXPECT_TRUE(staged->path().empty());
      EXPECT_FALSE(staged->committed());
      EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
      staged->cleanUp();  // twice is harmless
    }
    {
      auto staged = Staged(name, true, "new");
      staged.reset();  // the destructor cleans up as well
      EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
    }
    if (existing) {
      EXPECT_EQ(Contents(name), "older");
    } else {
      EXPECT_FALSE(fs::exists(name));
    }
  }
}

TEST_F(StagedFileTest, CommitRenamesIntoPlaceAndCleanUpThenLeavesItAlone) {
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an existing file" : "new file");
    const std::string name = Path("out.wav");
    fs::remove(name);
    if (existing) Put(name, "older");
    auto staged = Staged(name, existing, "new");
    const std::string temporary = staged->path();
    ASSERT_FALSE(staged->sync());
    const std::optional<StagedFile::Refusal> refusal = staged->commit(existing);
    ASSERT_FALSE(refusal) << refusal->text;
    EXPECT_TRUE(staged->committed());
    EXPECT_TRUE(staged->path().empty());
    EXPECT_FALSE(fs::exists(temporary));
    staged->cleanUp();
    staged.reset();
    EXPECT_EQ(Contents(name), "new");
    EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});
  }
}

// The replacement takes the old file's permissions and, where the system
// lets it (root), its owner; a new file gets what the umask allows.
TEST_F(StagedFileTest, CommitKeepsTheReplacedFilesPermissionsAndOwner) {
  const std::string name = Path("kept.wav");
  Put(name, "older");
  ASSERT_EQ(::chmod(name.c_str(), 0604), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(name.c_str(), 4321, 4321), 0);
  }
  auto staged = Staged(name, true, "new");
  ASSERT_FALSE(staged->commit(true));
  struct stat st {};
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_uid, root ? 4321u : ::geteuid());
  EXPECT_EQ(Contents(name), "new");

  const mode_t mask = ::umask(027);
  auto fresh = Staged(Path("fresh.wav"), false, "new");
  ::umask(mask);
  ASSERT_FALSE(fresh->commit(false));
  ASSERT_EQ(::stat(Path("fresh.wav").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A file that appears at the name after lookAt is not replaced without
// permission: the refusal says it exists, the temporary stays for the
// clean-up, and the newcomer is untouched.
TEST_F(StagedFileTest, AFileThatAppearedMeanwhileIsNotReplacedWithoutPermission) {
  const std::string name = Path("raced.wav");
  auto staged = Staged(name, false, "new");
  Put(name, "appeared");
  const std::optional<StagedFile::Refusal> refusal = staged->commit(false);
  ASSERT_TRUE(refusal);
  EXPECT_TRUE(refusal->exists);
  EXPECT_EQ(refusal->text, "Cannot write \"" + name + "\": the file already exists");
  EXPECT_FALSE(staged->committed());
  EXPECT_TRUE(fs::exists(staged->path()));
  staged.reset();
  EXPECT_EQ(Contents(name), "appeared");
  EXPECT_EQ(pwtest::Temporaries(dir), std::vector<std::string>{});

  // With permission it is replaced.
  auto allowed = Staged(name, true, "new");
  ASSERT_FALSE(allowed->commit(true));
  EXPECT_EQ(Contents(name), "new");
}

TEST_F(StagedFileTest, LookAtRefusesWhatCannotTakeTheOutputBeforeOpeningIt) {
  ASSERT_EQ(::mkfifo(Path("pipe.wav").c_str(), 0600), 0) << std::strerror(errno);
  fs::create_directory(Path("folder.wav"));
  fs::create_symlink("/dev/null", Path("device.wav"));
  Put(Path("existing.wav"), "older");
  Put(Path("protected.wav"), "older");
  ASSERT_EQ(::chmod(Path("protected.wav").c_str(), 0444), 0);
  // A socket, in a folder whose name fits a socket address, reached through
  // a link at the output's name.
  std::string socketFolder = "/tmp/pw-staged-XXXXXX";
  ASSERT_NE(::mkdtemp(socketFolder.data()), nullptr) << std::strerror(errno);
  {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = socketFolder + "/socket";
    std::strcpy(address.sun_path, socketPath.c_str());
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
    ASSERT_EQ(bound, 0) << std::strerror(errno);
    fs::create_symlink(socketPath, Path("socket.wav"));
  }
  struct Case {
    std::string name;
    bool replaceAllowed;
    std::optional<std::string> reason;  // nothing: accepted
    bool exists;
  };
  const bool root = ::geteuid() == 0;  // root may write anything
  const Case cases[] = {
      {"pipe.wav", true, "it is a named pipe, not a regular file", false},
      {"folder.wav", true, "it is a folder, not a regular file", false},
      {"device.wav", true, "it is a device, not a regular file", false},
      {"socket.wav", true, "it is a socket, not a regular file", false},
      {"existing.wav", false, "the file already exists", true},
      {"existing.wav", true, std::nullopt, false},
      {"protected.wav", true, root ? std::nullopt : std::optional<std::string>("Permission denied"), false},
      {"new.wav", false, std::nullopt, false},
      {"missing/new.wav", true, std::nullopt, false},  // found out when the temporary is made
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + (c.replaceAllowed ? " (replace allowed)" : ""));
    StagedFile::Target target;
    const std::optional<StagedFile::Refusal> refusal = StagedFile::lookAt(Path(c.name), c.replaceAllowed, target);
    if (!c.reason) {
      EXPECT_FALSE(refusal) << refusal->text;
      continue;
    }
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->text, "Cannot write \"" + Path(c.name) + "\": " + *c.reason);
    EXPECT_EQ(refusal->exists, c.exists);
  }
  EXPECT_TRUE(fs::is_fifo(Path("pipe.wav")));
  EXPECT_EQ(Contents(Path("existing.wav")), "older");
  fs::remove_all(socketFolder);

  // A folder that is not there: the temporary cannot be made.
  StagedFile::Target target;
  ASSERT_FALSE(StagedFile::lookAt(Path("missing/new.wav"), false, target));
  StagedFile staged(Path("missing/new.wav"), target);
  EXPECT_EQ(staged.create(".wav"), "Cannot write \"" + Path("missing/new.wav") + "\": No such file or directory");
  EXPECT_TRUE(staged.path().empty());
}

// A link keeps pointing where it did: the file it leads to is replaced. A
// dangling link is itself replaced.
TEST_F(StagedFileTest, ALinkLeadsTheCommitToItsTarget) {
  fs::create_directory(Path("real"));
  Put(Path("real/target.wav"), "older");
  fs::create_symlink("real/target.wav", Path("link.wav"));
  StagedFile::Target target;
  ASSERT_FALSE(StagedFile::lookAt(Path("link.wav"), true, target));
  EXPECT_EQ(fs::path(target.destination), fs::canonical(Path("real/target.wav")));
  EXPECT_TRUE(target.exists);
  {
    StagedFile staged(Path("link.wav"), target);
    ASSERT_FALSE(staged.create(".wav"));
    EXPECT_EQ(fs::path(staged.path()).parent_path(), fs::canonical(Path("real")));
    Put(staged.path(), "new");
    ASSERT_FALSE(staged.commit(true));
  }
  EXPECT_TRUE(fs::is_symlink(Path("link.wav")));
  EXPECT_EQ(Contents(Path("real/target.wav")), "new");

  fs::create_symlink("nowhere.wav", Path("dangling.wav"));
  ASSERT_FALSE(StagedFile::lookAt(Path("dangling.wav"), true, target));
  EXPECT_EQ(target.destination, Path("dangling.wav"));
  StagedFile staged(Path("dangling.wav"), target);
  ASSERT_FALSE(staged.create(".wav"));
  Put(staged.path(), "new");
  ASSERT_FALSE(staged.commit(true));
  EXPECT_FALSE(fs::is_symlink(Path("dangling.wav")));
  EXPECT_EQ(Contents(Path("dangling.wav")), "new");
}

}  // namespace
